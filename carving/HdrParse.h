// The carving driver: one parser per file type index, started at header
// sectors and handed every later buffer of the disk while it runs.
//
// The scan engine drives it once per read buffer: ParseMore until it
// answers 31 (each index below 31 is a file that finished), then for each
// header sector the probe names, Parse on the bytes from the header to the
// end of the read. CarveScan (CarveScan.h) does exactly that and keeps the
// hits; the engine's sector pass calls it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "carving/HdrNode.h"
#include "volumes/FileTypes.h"

class HdrParse {
 public:
  explicit HdrParse(HdrReader* reader = nullptr);
  ~HdrParse();
  HdrParse(const HdrParse&) = delete;
  HdrParse& operator=(const HdrParse&) = delete;

  // Gives every parser the reader (null: no reads beyond the buffers) and
  // takes its sector size.
  void SetReader(HdrReader* reader);
  HdrReader* Reader() const { return reader_; }

  // Starts the parser of `type` on a header: `buffer` is the header sector,
  // `bytes` run from there to the end of the current read. The caller has
  // set the parser's header sector and sector size. The type when it
  // completed at once, 31 when it is pending, below 0 when it rejected the
  // header (it has then been reset).
  int Parse(int type, const uint8_t* buffer, size_t bytes);
  // Hands one more read to the running parsers, each at most once per end
  // sector (the sector just past the read). The index of the first parser
  // that completed in this call, or 31.
  int ParseMore(const uint8_t* buffer, size_t bytes, int64_t endSector);
  // The index of the first parser still running (it no longer counts as
  // active; the caller resets it), or 31.
  int Flush();

  // Parsers that took a header and wait for more data.
  int ActiveCount() const { return active_; }
  // The parser of a type index; null outside 0..30.
  HdrNode* Slot(int type) const;
  // Resets one parser; a running one stops counting as active.
  void ResetSlot(int type);

 private:
  std::unique_ptr<HdrNode> slots_[kFileTypeCount];
  bool counted_[kFileTypeCount] = {};
  int active_ = 0;
  HdrReader* reader_ = nullptr;
};
