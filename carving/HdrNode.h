// The base of every carving parser, and the read interface through which a
// parser reaches data beyond the buffers it is handed.
//
// A parser is started on the sector where a file of its kind begins, is then
// handed the following buffers of the disk one after another, and decides at
// some point that the file is complete (and how long it is) or that the data
// is no file of its kind. `Parse` answers 1 (complete: state 255, size set),
// 0 (pending: the buffer was taken, the next one is wanted) or -1 (rejected:
// state 254). Parsers never throw.
#pragma once
#include <cstddef>
#include <cstdint>

// Whole-sector reads of the drive being scanned, for the parsers that follow
// offsets (TIFF directories). The engine hands one to the driver; parsers read
// into buffers of their own, never into the pass's chunk buffer.
class HdrReader {
 public:
  virtual ~HdrReader() = default;
  // Reads `count` sectors from `sector` into `buffer`. False when the read
  // fails or any of the sectors lies outside the drive.
  virtual bool ReadSectors(int64_t sector, uint32_t count, uint8_t* buffer) = 0;
  // The drive's size in sectors.
  virtual int64_t SectorCount() const = 0;
  virtual uint32_t SectorSize() const = 0;
};

// Parser states (other values between 2 and 253 are a parser's own).
inline constexpr uint8_t kHdrIdle = 0;
inline constexpr uint8_t kHdrActive = 1;
inline constexpr uint8_t kHdrActiveId3 = 4;
inline constexpr uint8_t kHdrRejected = 254;
inline constexpr uint8_t kHdrComplete = 255;

// Class bytes stored with every hit: a hit of class 2 is never shown by
// itself (the engine's own bookkeeping kinds), one of class 4 is never rated
// Good (its size comes from a header field alone).
inline constexpr uint8_t kHdrClassInternal = 2;
inline constexpr uint8_t kHdrClassHeaderSized = 4;

class HdrNode {
 public:
  HdrNode() = default;
  virtual ~HdrNode() = default;
  HdrNode(const HdrNode&) = delete;
  HdrNode& operator=(const HdrNode&) = delete;

  // Back to idle: state 0, enabled, counts, sizes and the header sector
  // cleared; the sector size from the reader (512 without one). The start
  // limit stays. Returns 0.
  virtual int Reset();
  // The base rejects every header (kinds that are recognised but never
  // carved keep it).
  virtual int Parse(const uint8_t* buffer, size_t length);

  // False while the parser runs; otherwise whether `sector` is at or after
  // the start limit (-1 admits every sector).
  bool IsAtOrAfterStart(int64_t sector) const;

  uint8_t state = kHdrIdle;
  uint8_t enabled = 1;
  uint8_t refinedType = 0;  // a more precise type found inside the file, or 0
  uint8_t classByte = 0;
  uint64_t size = 0;          // valid in state 255
  uint64_t consumed = 0;      // bytes of the file before the current buffer
  int64_t startLimit = -1;    // no restart before this sector
  int64_t lastSector = -1;    // end sector of the last buffer handed over
  int64_t headerSector = -1;  // set by the engine before the start call
  uint32_t sectorSize = 512;
  // Where parsing resumes in the current buffer. It may lie past the buffer
  // (a skip); a pending call takes the buffer's length off, so the skip
  // carries into the next buffer. 64 bits: skips come from the disk.
  uint64_t cursor = 0;
  uint32_t counter = 0;  // stored with the hit (16 bits)
  // The size is the parser's best guess, not what the file says (a hit
  // that is never rated Good, as one sized from a header field alone).
  bool sizeUnsure = false;
  HdrReader* reader = nullptr;  // the driver's, not owned

 protected:
  // The end of a call that leaves the file open: the buffer counts as
  // consumed and the cursor moves into the next buffer. A file that would
  // pass 2^64 bytes is rejected. Returns 0 or -1.
  int Pending(size_t length);
  // State 255 with the size; returns 1. A size of 0 rejects.
  int Complete(uint64_t fileSize);
  // State 254; returns -1.
  int Reject();
  // The file offset of a position in the current buffer; false when it
  // would pass 2^64.
  bool FileOffset(uint64_t position, uint64_t* offset) const;
};
