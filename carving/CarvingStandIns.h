// Neutral stand-ins for the carving driver and the Office property reader,
// so that the engine and the file-system readers can be built and run
// before the carving parsers exist. The carving parsers replace them: every
// header is refused, nothing is ever open, no text type is recognised.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

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

class HdrAscii {
 public:
  // 242 (HTML), 29 (xml) or 255 (neither).
  static uint16_t SigFind(const uint8_t* text, size_t length);
};

// Fills the defaults (type 0, name "Unknown", the current time) and returns
// 0: the document properties were not read.
int ReadOfficeXmlProps(int64_t startSector, int64_t fileSize, const void* node, uint8_t* refinedType,
                       WString* name, uint64_t* fileTime);
