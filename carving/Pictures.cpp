#include "carving/Pictures.h"

#include <algorithm>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "platform/Memory.h"
#include "volumes/FileTypes.h"

namespace {

constexpr size_t kLongRun = 1000;

bool IsAsciiLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsPngChunkType(const uint8_t* type) {
  return IsAsciiLetter(type[0]) && IsAsciiLetter(type[1]) && IsAsciiLetter(type[2]) && IsAsciiLetter(type[3]);
}

}  // namespace

// ---------------------------------------------------------------- JPEG

int HdrJPG::Reset() {
  HdrNode::Reset();
  segmentLength_ = 0;
  runLength_ = 0;
  return 0;
}

bool HdrJPG::RunTooLong(const uint8_t* b, size_t from, size_t to) {
  if (from >= to) return false;
  size_t start = from;
  if (runLength_ > 0) {
    size_t k = from;
    while (k < to && b[k] == runByte_) ++k;
    if (runLength_ + (k - from) >= kLongRun) return true;
    if (k == to) {
      runLength_ += k - from;
      return false;
    }
    start = k;
  }
  if (HasLongRun(b, start, to)) return true;
  const uint8_t last = b[to - 1];
  size_t k = to;
  while (k > start && b[k - 1] == last) --k;
  runByte_ = last;
  runLength_ = to - k;
  return false;
}

bool HdrJPG::HasLongRun(const uint8_t* b, size_t from, size_t to) {
  if (to - from < kLongRun) return false;
  // Any run of kLongRun equal bytes holds one of these samples, kLongRun / 2
  // apart; only a sample's neighbourhood is looked at.
  size_t q = from + kLongRun / 2 - 1;
  while (q < to) {
    const uint8_t v = b[q];
    size_t l = q, r = q + 1;
    while (l > from && b[l - 1] == v) --l;
    while (r < to && b[r] == v) ++r;
    if (r - l >= kLongRun) return true;
    q = r + kLongRun / 2 - 1;
  }
  return false;
}

int HdrJPG::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  uint64_t c = cursor;
  while (c < length) {
    switch (state) {
      case 1:
        if (b[c] != 0xFF) return Reject();
        ++c;
        state = 2;
        break;
      case 2: {
        const uint8_t m = b[c];
        if (m == 0x00) return Reject();
        ++c;
        if (m == 0xDA) {
          state = 5;
          runLength_ = 0;
        } else if (m >= 0xD0 && m <= 0xD7) {
          state = 1;
        } else if (m == 0xD8) {
          // Start of image only as the file's own marker; an embedded
          // thumbnail's lies inside a segment and is skipped with it.
          if (consumed + c != 2) return Reject();
          state = 1;
        } else {
          state = 3;
        }
        break;
      }
      case 3:
        segmentLength_ = uint32_t(b[c]) << 8;
        ++c;
        state = 4;
        break;
      case 4:
        segmentLength_ |= b[c];
        ++c;
        // The length counts its own two bytes: below 2 it would move the
        // cursor back, into bytes already passed.
        if (segmentLength_ < 2) return Reject();
        c += segmentLength_ - 2;
        state = 1;
        break;
      case 5: {
        const void* ff = std::memchr(b + c, 0xFF, size_t(length - c));
        const size_t to = ff ? size_t(static_cast<const uint8_t*>(ff) - b) : length;
        if (RunTooLong(b, size_t(c), to)) return Reject();
        if (!ff) {
          c = length;
        } else {
          c = to + 1;
          state = 6;
          runLength_ = 0;
        }
        break;
      }
      case 6: {
        const uint8_t m = b[c];
        if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) {
          ++c;
          state = 5;
        } else if (m == 0xD9) {
          uint64_t end;
          if (!FileOffset(c + 1, &end)) return Reject();
          cursor = 0;
          return Complete(end);
        } else {
          state = 2;  // a marker: a further scan, tables or restart
        }
        break;
      }
      default:
        return Reject();
    }
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- PNG

int HdrPNG::Reset() {
  HdrNode::Reset();
  carried_ = 0;
  carryStart_ = 0;
  return 0;
}

// 1 complete, -1 rejected, 0 go on past the chunk (whose data and CRC
// follow the header).
int HdrPNG::ChunkHeader(const uint8_t* header, uint64_t chunkStart) {
  if (!IsPngChunkType(header + 4)) return Reject();
  if (std::memcmp(header + 4, "IEND", 4) == 0) {
    if (chunkStart > UINT64_MAX - 12) return Reject();
    cursor = 0;
    return Complete(chunkStart + 12);
  }
  return 0;
}

int HdrPNG::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  if (state == kHdrIdle) {
    state = kHdrActive;
    cursor = 8;  // the signature
    carried_ = 0;
  }
  uint64_t c = cursor;
  if (carried_ > 0) {
    const size_t take = std::min<size_t>(8 - carried_, length);
    std::memcpy(carry_ + carried_, b, take);
    carried_ += uint32_t(take);
    if (carried_ < 8) {
      cursor = length;
      return Pending(length);
    }
    carried_ = 0;
    if (int r = ChunkHeader(carry_, carryStart_)) return r;
    c = take + uint64_t(GetBigEndian(carry_, 4)) + 4;
  }
  while (c < length) {
    if (length - c < 8) {
      if (!FileOffset(c, &carryStart_)) return Reject();
      carried_ = uint32_t(length - c);
      std::memcpy(carry_, b + c, carried_);
      c = length;
      break;
    }
    uint64_t start;
    if (!FileOffset(c, &start)) return Reject();
    if (int r = ChunkHeader(b + c, start)) return r;
    c += 12 + uint64_t(GetBigEndian(b + c, 4));
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- BMP, MRW

int HdrBMP::Parse(const uint8_t* b, size_t length) {
  if (!b || length < 6) return Reject();
  const uint32_t fileSize = Le32(b + 2);
  // Below the two headers no picture fits.
  const uint32_t infoBytes = length >= 18 ? Le32(b + 14) : 40;
  if (infoBytes > 124 || fileSize < 14 + std::max<uint32_t>(infoBytes, 12)) return Reject();
  return Complete(fileSize);
}

int HdrMRW::Parse(const uint8_t* b, size_t length) {
  if (!b || length < 28) return Reject();
  // Header blocks, then the raw picture of 12-bit samples; 64 bits, as the
  // product of the two 16-bit sides passes 32.
  const uint64_t fileSize =
      uint64_t(GetBigEndian(b + 4, 4)) + uint64_t(GetBigEndian16(b + 24)) * GetBigEndian16(b + 26) * 3 / 2 + 8;
  return Complete(fileSize);
}

// ---------------------------------------------------------------- TIFF

namespace {

constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagBitsPerSample = 258;
constexpr uint16_t kTagSamplesPerPixel = 277;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagTileOffsets = 324;
constexpr uint16_t kTagTileByteCounts = 325;
constexpr uint16_t kTagSubIfds = 330;
constexpr uint16_t kTagJpegOffset = 513;
constexpr uint16_t kTagJpegLength = 514;
constexpr uint32_t kMaxSubDirectories = 1024;

// Bytes per element of a TIFF field type; 0 for a type that is not one.
// Type 13 (IFD) is a 4-byte offset like LONG.
uint32_t TiffElementSize(uint16_t type) {
  switch (type) {
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;
    case 5:
    case 10:
    case 12:
      return 8;
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;
    default:
      return 0;
  }
}

struct ArrayEntry {
  bool present = false;
  uint32_t elementSize = 0;
  uint32_t count = 0;
  uint8_t value[4] = {};
};

}  // namespace

HdrTIF::~HdrTIF() { FreeWork(); }

void HdrTIF::FreeWork() {
  for (Work& w : work_) {
    AlignedFree(w.data);
    w.data = nullptr;
    w.capacity = 0;
    w.start = w.valid = 0;
  }
}

int HdrTIF::Reset() {
  HdrNode::Reset();
  FreeWork();
  first_ = nullptr;
  firstLength_ = 0;
  readFailed_ = false;
  return 0;
}

uint16_t HdrTIF::U16(const uint8_t* p) const { return littleEndian ? Le16(p) : GetBigEndian16(p); }
uint32_t HdrTIF::U32(const uint8_t* p) const { return littleEndian ? Le32(p) : GetBigEndian(p, 4); }

const uint8_t* HdrTIF::ReadTiffData(int slot, uint64_t offset, uint64_t length) {
  if (offset + length <= firstLength_) return first_ + offset;
  Work& w = work_[slot];
  if (w.data && offset >= w.start && offset + length <= w.start + w.valid) return w.data + (offset - w.start);
  const uint32_t ss = sectorSize ? sectorSize : 512;
  if (!reader || headerSector < 0) {
    readFailed_ = true;
    return nullptr;
  }
  // A directory is read with room for the most entries one can have, so
  // its count and entries come from one read.
  const uint64_t want = std::max<uint64_t>(length, slot == 0 ? kDirectoryReadBytes : length);
  const uint64_t firstRel = offset / ss;
  const uint64_t needEnd = (offset + length + ss - 1) / ss;
  const uint64_t wantEnd = (offset + want + ss - 1) / ss;
  const int64_t driveSectors = reader->SectorCount();
  if (uint64_t(headerSector) > uint64_t(INT64_MAX) - firstRel || driveSectors <= 0) {
    readFailed_ = true;
    return nullptr;
  }
  const int64_t at = headerSector + int64_t(firstRel);
  const uint64_t left = at < driveSectors ? uint64_t(driveSectors - at) : 0;
  if (needEnd - firstRel > left) {
    // The data would lie past the drive's end.
    readFailed_ = true;
    return nullptr;
  }
  const uint64_t count = std::min(wantEnd - firstRel, left);
  const uint64_t bytes = count * ss;
  if (bytes > w.capacity) {
    const size_t capacity = size_t((bytes + kPageAlign - 1) & ~uint64_t(kPageAlign - 1));
    void* grown = AlignedAlloc(capacity);
    if (!grown) {
      readFailed_ = true;
      return nullptr;
    }
    AlignedFree(w.data);
    w.data = static_cast<uint8_t*>(grown);
    w.capacity = capacity;
  }
  w.valid = 0;
  if (!reader->ReadSectors(at, uint32_t(count), w.data)) {
    readFailed_ = true;
    return nullptr;
  }
  w.start = firstRel * ss;
  w.valid = bytes;
  return w.data + (offset - w.start);
}

bool HdrTIF::PlausibleImageData(const uint8_t* o, uint32_t offsetBytes, const uint8_t* s, uint32_t sizeBytes,
                                uint32_t n, uint64_t most, uint64_t* end) const {
  const uint64_t ss = sectorSize ? sectorSize : 512;
  uint64_t limit = kMaxFileBytes;
  if (reader && headerSector >= 0) {
    const int64_t sectors = reader->SectorCount();
    const uint64_t room = sectors > headerSector ? uint64_t(sectors - headerSector) * ss : 0;
    limit = std::min(limit, room);
  }
  uint64_t last = 8, total = 0;
  for (uint32_t k = 0; k < n; ++k) {
    const uint64_t at = offsetBytes == 4 ? U32(o + 4 * k) : U16(o + 2 * k);
    const uint64_t length = sizeBytes == 4 ? U32(s + 4 * k) : U16(s + 2 * k);
    if (length == 0) continue;  // an empty strip may have any offset
    if (at < last || at + length > limit) return false;
    last = at + length;
    total += length;
  }
  if (most && total > most) return false;
  *end = last;
  return true;
}

bool HdrTIF::WalkDirectory(uint32_t offset, uint64_t* extent, uint32_t* next, uint32_t* subDirs,
                           uint32_t* subCount) {
  const uint8_t* d = ReadTiffData(0, offset, 2);
  if (!d) return false;
  const uint32_t count = U16(d);
  if (count < 1 || count > 1022) return false;
  const uint64_t dirBytes = 12ull * count + 6;
  d = ReadTiffData(0, offset, dirBytes);
  if (!d) return false;
  *extent = std::max<uint64_t>(*extent, uint64_t(offset) + dirBytes);
  *next = U32(d + 2 + 12ull * count);

  const bool nef = refinedType == kTypeNef;
  ArrayEntry offsets, sizes;
  bool strips = false, tiles = false;
  // The picture's own measure, where the directory gives it in its entries.
  uint64_t width = 0, height = 0, bits = 0, samples = 1;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = d + 2 + 12ull * i;
    const uint16_t tag = U16(e);
    const uint32_t elementSize = TiffElementSize(U16(e + 2));
    const uint32_t n = U32(e + 4);
    if (elementSize == 0) return false;
    const uint64_t bytes = uint64_t(n) * elementSize;
    if (tag == kTagSubIfds && n >= 1 && n <= 4) {
      refinedType = kTypeNef;
      if (elementSize != 4 && elementSize != 2) return false;
      const uint8_t* list = bytes <= 4 ? e + 8 : ReadTiffData(1, U32(e + 8), bytes);
      if (!list) return false;
      for (uint32_t k = 0; k < n && *subCount < kMaxSubDirectories; ++k)
        subDirs[(*subCount)++] = elementSize == 4 ? U32(list + 4 * k) : U16(list + 2 * k);
      continue;
    }
    const bool isOffsets = tag == kTagStripOffsets || tag == kTagTileOffsets || (nef && tag == kTagJpegOffset);
    const bool isSizes = tag == kTagStripByteCounts || tag == kTagTileByteCounts || (nef && tag == kTagJpegLength);
    if (isOffsets || isSizes) {
      if (tag == kTagStripOffsets || tag == kTagStripByteCounts) strips = true;
      if (tag == kTagTileOffsets || tag == kTagTileByteCounts) tiles = true;
      if (!nef && strips && tiles) return false;
      ArrayEntry& a = isOffsets ? offsets : sizes;
      if (a.present) return false;
      const ArrayEntry& other = isOffsets ? sizes : offsets;
      if (n < 1 || n > 65535 || (other.present && other.count != n)) return false;
      if (elementSize != 2 && elementSize != 4) return false;
      a.present = true;
      a.elementSize = elementSize;
      a.count = n;
      std::memcpy(a.value, e + 8, 4);
      continue;
    }
    if (bytes <= 4 && n >= 1 && (elementSize == 2 || elementSize == 4)) {
      const uint64_t value = elementSize == 2 ? U16(e + 8) : U32(e + 8);
      if (tag == kTagImageWidth) width = value;
      if (tag == kTagImageLength) height = value;
      if (tag == kTagBitsPerSample) bits = value;
      if (tag == kTagSamplesPerPixel) samples = value;
    } else if (tag == kTagBitsPerSample) {
      bits = 16;  // per sample, out of line: taken at its most common largest
    }
    if (bytes > 4) {
      const uint32_t at = U32(e + 8);
      if (at < 8) return false;
      *extent = std::max<uint64_t>(*extent, uint64_t(at) + bytes);
    }
  }

  bool image = false;
  if (offsets.present || sizes.present) {
    if (!offsets.present || !sizes.present) return false;
    const uint32_t n = offsets.count;
    const uint64_t offBytes = uint64_t(n) * offsets.elementSize, sizeBytes = uint64_t(n) * sizes.elementSize;
    // The directory is no longer needed: its buffer takes the offsets.
    const uint8_t* o = offBytes <= 4 ? offsets.value : ReadTiffData(0, U32(offsets.value), offBytes);
    if (!o) return false;
    const uint8_t* s = sizeBytes <= 4 ? sizes.value : ReadTiffData(1, U32(sizes.value), sizeBytes);
    if (!s) return false;
    // Arrays that are not laid out as a writer lays them out (random bytes,
    // a damaged directory) say nothing of the size: the file then ends
    // with its directories, and that size is a guess.
    uint64_t end = 0;
    // Strips hold at most twice the picture's raw bytes (what a compressor
    // may add), and a little for their headers.
    uint64_t most = 0;
    if (strips && width && height && bits && samples && width <= 0xFFFFFFFF && height <= 0xFFFFFFFF && bits <= 64 &&
        samples <= 64)
      most = std::min<unsigned __int128>((unsigned __int128)width * height * bits * samples / 4 + (1u << 20),
                                         kMaxFileBytes);
    if (PlausibleImageData(o, offsets.elementSize, s, sizes.elementSize, n, most, &end))
      *extent = std::max(*extent, end);
    else sizeUnsure = true;
    image = true;
  }
  if (*extent > 64 && *extent > size && (image || state == kHdrComplete)) {
    size = *extent;
    state = kHdrComplete;
  }
  return true;
}

int HdrTIF::Parse(const uint8_t* b, size_t length) {
  state = kHdrRejected;
  size = 0;
  sizeUnsure = false;
  readFailed_ = false;
  for (Work& w : work_) w.valid = 0;
  if (!b || length < 8) return -1;
  first_ = b;
  firstLength_ = length;
  // Every header sets the byte order: a parser that has measured a
  // big-endian file must read the next little-endian one as such.
  littleEndian = b[0] == 'I' ? 1 : 0;
  if (length >= 10 && b[8] == 'C' && b[9] == 'R') refinedType = kTypeCr2;

  // Offsets of the directories walked (chain and sub-directories share
  // them, so no loop walks twice) and of the sub-directories to walk.
  uint32_t visited[kMaxDirectories];
  uint32_t visitedCount = 0;
  uint32_t subDirs[kMaxSubDirectories];
  uint32_t subCount = 0, subNext = 0;
  uint64_t extent = 0;
  uint32_t offset = U32(b + 4);
  bool walking = true;
  while (walking) {
    while (offset > 7 && visitedCount < kMaxDirectories) {
      if (std::find(visited, visited + visitedCount, offset) != visited + visitedCount) break;
      visited[visitedCount++] = offset;
      uint32_t next = 0;
      if (!WalkDirectory(offset, &extent, &next, subDirs, &subCount)) break;
      offset = next;
    }
    if (readFailed_) break;
    walking = subNext < subCount && visitedCount < kMaxDirectories;
    if (walking) offset = subDirs[subNext++];
  }
  first_ = nullptr;
  firstLength_ = 0;
  if (readFailed_ || state != kHdrComplete) {
    // A read that failed or would pass the drive's end rejects the file.
    size = 0;
    return Reject();
  }
  return 1;
}
