// The carving driver: the parser set that recognises files by their header
// and sizes them by their content. A stand-in until the carving parsers
// exist (CarvingStandIns.cpp): every header is refused, nothing is ever
// open.
#pragma once
#include <cstddef>
#include <cstdint>

class HdrParse {
 public:
  explicit HdrParse(void* engine) : engine_(engine) {}
  HdrParse(const HdrParse&) = delete;
  HdrParse& operator=(const HdrParse&) = delete;

  // Below 0: the header of `type` is refused.
  int Parse(int type, const uint8_t* buffer, size_t bytes);
  // The slot of a hit that finished, or 31 when none did.
  int ParseMore(const uint8_t* buffer, size_t bytes, int64_t endSector);
  // The slot of the next open hit to close, or 31 when none is open.
  int Flush();
  int ActiveCount() const { return 0; }

 private:
  [[maybe_unused]] void* engine_;
};
