// Picture parsers: JPEG (marker walk), PNG (chunk walk to IEND), BMP and MRW
// (size from the header), TIFF with its raw relatives cr2 and nef (measured
// from the image file directories). GIF and WMF are recognised by the sector
// probe but keep the base parse, so they are never carved.
#pragma once
#include <cstddef>
#include <cstdint>

#include "carving/HdrNode.h"

class HdrJPG : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

 private:
  // Sub-states: 1 expect 0xFF, 2 marker byte, 3 and 4 segment length, 5
  // entropy-coded data, 6 the byte after 0xFF in entropy-coded data.
  uint32_t segmentLength_ = 0;
  // The run of equal bytes at the end of the last buffer's scan data: a run
  // goes on across reads, so where a read ends does not decide.
  uint64_t runLength_ = 0;
  uint8_t runByte_ = 0;
  // Whether scan data [from, to) makes a run of 1,000 equal bytes (with the
  // run carried in); keeps the run at its end.
  bool RunTooLong(const uint8_t* buffer, size_t from, size_t to);
  static bool HasLongRun(const uint8_t* buffer, size_t from, size_t to);
};

class HdrPNG : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

 private:
  // A chunk header cut by the end of a buffer: its bytes so far and the file
  // offset at which the chunk starts.
  uint8_t carry_[8] = {};
  uint32_t carried_ = 0;
  uint64_t carryStart_ = 0;
  int ChunkHeader(const uint8_t* header, uint64_t chunkStart);
};

class HdrBMP : public HdrNode {
 public:
  int Parse(const uint8_t* buffer, size_t length) override;
};

class HdrMRW : public HdrNode {
 public:
  int Parse(const uint8_t* buffer, size_t length) override;
};

class HdrGIF : public HdrNode {};
class HdrWMF : public HdrNode {};

class HdrTIF : public HdrNode {
 public:
  HdrTIF() = default;
  ~HdrTIF() override;
  int Reset() override;
  // Complete or rejected in one call; directories and arrays outside the
  // first buffer are read through the reader.
  int Parse(const uint8_t* buffer, size_t length) override;

  // Byte order of the file: 1 little-endian ("II"), 0 big-endian ("MM").
  uint8_t littleEndian = 1;

  // The most directories one file may have, chain and sub-directories
  // together.
  static constexpr uint32_t kMaxDirectories = 1024;
  // Bytes read for a directory that lies outside the first buffer: the most
  // entries a directory may have, its count and its next offset.
  static constexpr uint32_t kDirectoryReadBytes = 12282;
  // The largest file the parser sizes: offsets are 32-bit.
  static constexpr uint64_t kMaxFileBytes = uint64_t(1) << 32;

 private:
  struct Work {
    uint8_t* data = nullptr;
    size_t capacity = 0;
    uint64_t start = 0;  // file offset of data[0]
    uint64_t valid = 0;  // bytes read there
  };
  Work work_[2];  // 0 directories, 1 arrays
  const uint8_t* first_ = nullptr;
  size_t firstLength_ = 0;
  bool readFailed_ = false;

  // The bytes of the file at offset..offset + length: from the first buffer
  // when they lie inside it, else read from the disk into work buffer
  // `slot`. Null when they lie past the drive or the read fails (then
  // readFailed_ is set).
  const uint8_t* ReadTiffData(int slot, uint64_t offset, uint64_t length);
  uint16_t U16(const uint8_t* p) const;
  uint32_t U32(const uint8_t* p) const;
  // Whether strips or tiles at offsets o with lengths s (n of each) lie as
  // a writer lays them out: in order without overlapping, past the header,
  // below the parser's limit and on the drive, and together no more than
  // `most` bytes (0: not known); *end gets their end.
  bool PlausibleImageData(const uint8_t* o, uint32_t offsetBytes, const uint8_t* s, uint32_t sizeBytes, uint32_t n,
                          uint64_t most, uint64_t* end) const;
  // Walks one directory; false when the walk must end here.
  bool WalkDirectory(uint32_t offset, uint64_t* extent, uint32_t* next, uint32_t* subDirs, uint32_t* subCount);
  void FreeWork();
};
