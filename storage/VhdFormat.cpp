#include "storage/VhdFormat.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Format.h"

namespace {

constexpr char16_t kInvalidVhd[] = u"Invalid VHD header";
constexpr char16_t kInvalidVhdx[] = u"Invalid VHDX. Could not parse VHDX's Region";

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint32_t Log2(uint64_t v) {
  uint32_t n = 0;
  while (v > 1) {
    v >>= 1;
    ++n;
  }
  return n;
}

// A GUID as it is stored: the first three fields little-endian.
using Guid = std::array<uint8_t, 16>;
constexpr Guid MakeGuid(const char (&text)[37]) {
  auto hex = [](char c) { return uint8_t(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); };
  auto byteAt = [&](int i) { return uint8_t(hex(text[i]) << 4 | hex(text[i + 1])); };
  // Text positions of the 16 bytes in storage order.
  constexpr int at[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
  Guid g{};
  for (int i = 0; i < 16; ++i) g[size_t(i)] = byteAt(at[i]);
  return g;
}
constexpr Guid kBatRegion = MakeGuid("2DC27766-F623-4200-9D64-115E9BFD4A08");
constexpr Guid kMetadataRegion = MakeGuid("8B7CA206-4790-4B9A-B8FE-575F050F886E");
constexpr Guid kFileParameters = MakeGuid("CAA16737-FA36-4D43-B3B6-33F0AA44E76B");
constexpr Guid kVirtualDiskSize = MakeGuid("2FA54224-CD1B-4876-B211-5DBED83BF4B8");
constexpr Guid kLogicalSectorSize = MakeGuid("8141BF1D-A96F-4709-BA47-F233A8FAAB5F");
constexpr Guid kParentLocator = MakeGuid("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C");

std::string HexText(const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHex[p[i] >> 4];
    out += kHex[p[i] & 15];
  }
  return out;
}

// A locator's path, as the format keeps it: UTF-16 little-endian, or UTF-8
// for the Mac kinds; at most `bytes`, up to the first zero.
WString LocatorText(const uint8_t* p, uint32_t bytes, bool utf8) {
  if (utf8) {
    size_t n = 0;
    while (n < bytes && p[n]) ++n;
    return FromUtf8(std::string_view(reinterpret_cast<const char*>(p), n));
  }
  WString w;
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    const char16_t c = char16_t(p[i] | p[i + 1] << 8);
    if (!c) break;
    w += c;
  }
  return w;
}

bool SameGuid(const uint8_t* p, const Guid& g) { return memcmp(p, g.data(), g.size()) == 0; }

// Length of the run of equal bits from bit i (below limit) and its value.
// VHD bitmaps count from the most significant bit of a byte, VHDX ones from
// the least. Whole bytes and 64-bit words are stepped over when aligned.
uint32_t EqualBits(const uint8_t* bits, uint32_t i, uint32_t limit, bool msbFirst, bool* value) {
  auto bit = [&](uint32_t k) {
    const uint8_t b = bits[k >> 3];
    return ((msbFirst ? b >> (7 - (k & 7)) : b >> (k & 7)) & 1) != 0;
  };
  const bool v = bit(i);
  const uint8_t fill = v ? 0xFF : 0x00;
  uint32_t j = i + 1;
  while (j < limit) {
    if ((j & 63) == 0 && limit - j >= 64) {
      uint64_t word;
      memcpy(&word, bits + (j >> 3), 8);
      if (word == (v ? ~0ull : 0ull)) {
        j += 64;
        continue;
      }
    }
    if ((j & 7) == 0 && limit - j >= 8 && bits[j >> 3] == fill) {
      j += 8;
      continue;
    }
    if (bit(j) != v) break;
    ++j;
  }
  *value = v;
  return j - i;
}

}  // namespace

// ---- VHD ----

VhdFooter ParseVhdFooter(const uint8_t* s) {
  VhdFooter f;
  f.cookie = memcmp(s + vhd::kCookie, "conectix", 8) == 0;
  f.features = GetBigEndian(s + vhd::kFeatures, 4);
  f.dataOffset = GetBigEndian64(s + vhd::kDataOffset, 8);
  f.originalSize = GetBigEndian64(s + vhd::kOriginalSize, 8);
  f.currentSize = GetBigEndian64(s + vhd::kCurrentSize, 8);
  f.diskType = GetBigEndian(s + vhd::kDiskType, 4);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < vhd::kFooterBytes; ++i)
    if (i < vhd::kChecksum || i >= vhd::kChecksum + 4) sum += s[i];
  f.checksumOk = ~sum == GetBigEndian(s + vhd::kChecksum, 4);
  return f;
}

bool IsVhdFooterCopy(const VhdFooter& f) {
  return f.cookie && f.features <= 2 && f.dataOffset % vhd::kSector == 0 && f.diskType <= 6;
}

bool IsFixedVhdFooter(const uint8_t* last, uint64_t fileSize, uint64_t* diskBytes) {
  const VhdFooter f = ParseVhdFooter(last);
  if (!f.cookie || f.diskType != vhd::kDiskFixed || !f.checksumOk) return false;
  if (fileSize < vhd::kFooterBytes || f.currentSize > fileSize - vhd::kFooterBytes) return false;
  *diskBytes = f.currentSize;
  return true;
}

bool ParseVhdDynamicHeader(const uint8_t* h, uint64_t fileSize, uint64_t diskBytes, VhdDynamicHeader* out) {
  if (memcmp(h + vhd::kHeaderCookie, "cxsparse", 8) != 0) return false;
  if (GetBigEndian64(h + vhd::kHeaderDataOffset, 8) != ~0ull) return false;
  const uint64_t table = GetBigEndian64(h + vhd::kTableOffset, 8);
  const uint32_t entries = GetBigEndian(h + vhd::kMaxTableEntries, 4);
  const uint32_t block = GetBigEndian(h + vhd::kBlockSize, 4);
  // A block size of 0 or one that is no power of two cannot be divided by.
  if (!IsPowerOfTwo(block) || block < 4096 || block > vhd::kMaxBlockSize) return false;
  if (table % vhd::kSector != 0 || table >= fileSize || uint64_t(entries) * 4 > fileSize - table) return false;
  if (uint64_t(entries) * block < diskBytes) return false;  // blocks past the table would read as zeros
  out->tableOffset = table;
  out->maxTableEntries = entries;
  out->blockSize = block;
  return true;
}

// ---- VHDX ----

bool ParseVhdxRegionTable(const uint8_t* t, uint64_t fileSize, VhdxGeometry* out) {
  if (memcmp(t, "regi", 4) != 0) return false;
  const uint32_t count = Le32(t + vhdx::kRegionCount);
  if (count > vhdx::kMaxEntries) return false;
  bool bat = false, metadata = false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = t + vhdx::kRegionEntries + size_t(i) * vhdx::kEntryBytes;
    const uint64_t offset = Le64(e + 16);
    const uint64_t length = Le32(e + 24);
    const bool isBat = SameGuid(e, kBatRegion), isMetadata = SameGuid(e, kMetadataRegion);
    if (!isBat && !isMetadata) continue;
    if ((isBat && bat) || (isMetadata && metadata)) return false;
    if (offset < vhdx::kMiB || offset % vhdx::kMiB || length == 0 || length % vhdx::kMiB) return false;
    if (offset >= fileSize || length > fileSize - offset) return false;
    if (isBat) {
      out->batOffset = offset;
      out->batLength = length;
      bat = true;
    } else {
      out->metadataOffset = offset;
      out->metadataLength = length;
      metadata = true;
    }
  }
  return bat && metadata;
}

bool ParseVhdxMetadataTable(const uint8_t* t, uint64_t regionLength, VhdxItems* out) {
  if (memcmp(t, "metadata", 8) != 0) return false;
  const uint32_t count = Le16(t + vhdx::kMetadataCount);
  if (count > vhdx::kMaxEntries) return false;
  *out = VhdxItems{};
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = t + vhdx::kMetadataEntries + size_t(i) * vhdx::kEntryBytes;
    VhdxItem* item = nullptr;
    uint32_t need = 0;
    if (SameGuid(e, kFileParameters)) item = &out->fileParameters, need = 8;
    else if (SameGuid(e, kVirtualDiskSize)) item = &out->virtualDiskSize, need = 8;
    else if (SameGuid(e, kLogicalSectorSize)) item = &out->logicalSectorSize, need = 4;
    else if (SameGuid(e, kParentLocator)) item = &out->parentLocator, need = vhdx::kLocatorEntries;
    else continue;
    const uint32_t offset = Le32(e + 16), length = Le32(e + 20);
    if (item->found || length < need || offset < vhdx::kTableBytes || uint64_t(offset) + length > regionLength)
      return false;
    item->offset = offset;
    item->length = length;
    item->found = true;
  }
  return out->fileParameters.found && out->virtualDiskSize.found && out->logicalSectorSize.found;
}

bool SetVhdxParameters(const uint8_t* fileParameters, const uint8_t* virtualDiskSize, const uint8_t* logicalSectorSize,
                       VhdxGeometry* g) {
  g->blockSize = Le32(fileParameters);
  g->hasParent = (Le32(fileParameters + 4) & 2) != 0;
  g->virtualSize = Le64(virtualDiskSize);
  g->logicalSectorSize = Le32(logicalSectorSize);
  if (!IsPowerOfTwo(g->blockSize) || g->blockSize < vhdx::kMiB || g->blockSize > 256 * vhdx::kMiB) return false;
  if (g->logicalSectorSize != 512 && g->logicalSectorSize != 4096) return false;
  return g->virtualSize >= g->logicalSectorSize && g->virtualSize <= vhdx::kMaxVirtualSize;
}

std::string GuidText(const uint8_t* g) {
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += HexText(g + kOrder[i], 1);
  }
  return out;
}

bool ParseVhdxParentLocator(const uint8_t* item, uint32_t bytes, ChainLink* link) {
  if (bytes < vhdx::kLocatorEntries) return false;
  const uint32_t count = Le16(item + vhdx::kLocatorEntryCount);
  if (uint64_t(count) * vhdx::kLocatorEntryBytes > bytes - vhdx::kLocatorEntries) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = item + vhdx::kLocatorEntries + size_t(i) * vhdx::kLocatorEntryBytes;
    const uint32_t keyOffset = Le32(e), valueOffset = Le32(e + 4);
    const uint32_t keyLength = Le16(e + 8), valueLength = Le16(e + 10);
    if (uint64_t(keyOffset) + keyLength > bytes || uint64_t(valueOffset) + valueLength > bytes) return false;
    const WString key = LocatorText(item + keyOffset, keyLength, false);
    WString value = LocatorText(item + valueOffset, valueLength, false);
    if (key == u"parent_linkage" || key == u"parent_linkage2") {
      // "{GUID}", in any letter case.
      std::string id;
      for (char16_t c : value)
        if (c != u'{' && c != u'}') id += char(c >= u'A' && c <= u'F' ? c + 32 : c & 0x7F);
      if (!id.empty()) link->parentIds.push_back(id);
    } else if (key == u"relative_path" || key == u"absolute_win32_path" || key == u"volume_path") {
      if (!value.empty()) link->parentNames.push_back(std::move(value));
    }
  }
  return true;
}

void ReadVhdParentNames(ImageFile& file, const uint8_t* h, ChainLink* link) {
  WString name;
  for (uint32_t i = 0; i + 1 < vhd::kParentNameBytes; i += 2) {
    const char16_t c = char16_t(h[vhd::kParentName + i] << 8 | h[vhd::kParentName + i + 1]);
    if (!c) break;
    name += c;
  }
  if (!name.empty()) link->parentNames.push_back(std::move(name));
  const uint64_t size = file.Size();
  for (uint32_t k = 0; k < vhd::kLocatorCount; ++k) {
    const uint8_t* e = h + vhd::kParentLocators + size_t(k) * vhd::kLocatorBytes;
    const bool utf16 = memcmp(e, "W2ru", 4) == 0 || memcmp(e, "W2ku", 4) == 0;
    const bool utf8 = memcmp(e, "MacX", 4) == 0;
    if (!utf16 && !utf8) continue;
    const uint32_t length = GetBigEndian(e + vhd::kLocatorDataLength, 4);
    const uint64_t offset = GetBigEndian64(e + vhd::kLocatorDataOffset, 8);
    if (!length || length > vhd::kMaxLocatorData || offset >= size || length > size - offset) continue;
    std::vector<uint8_t> data(length);
    if (file.Read(offset, length, data.data()) != ImageFile::kReadOk) continue;
    WString path = LocatorText(data.data(), length, utf8);
    if (!path.empty()) link->parentNames.push_back(std::move(path));
  }
}

bool IsVHDXHeader(const uint8_t* h) {
  return memcmp(h, "head", 4) == 0 && Le16(h + vhdx::kHeaderLogVersion) == 0 &&
         Le32(h + vhdx::kHeaderLogLength) % vhdx::kMiB == 0 && Le64(h + vhdx::kHeaderLogOffset) % vhdx::kMiB == 0;
}

void DumpVHDXHeader(const uint8_t* h) {
  TracePrintfA("VHDX head seq %x - log leng %u - log offset %x, -log version %u\n",
               uint32_t(Le64(h + vhdx::kHeaderSequence)), Le32(h + vhdx::kHeaderLogLength),
               uint32_t(Le64(h + vhdx::kHeaderLogOffset)), uint32_t(Le16(h + vhdx::kHeaderLogVersion)));
}

// ---- block map ----

bool VhdBlockMap::InitVhd(ImageFile& file, const VhdDynamicHeader& h) {
  file_ = &file;
  fileSize_ = file.Size();
  isVhdx = false;
  sectorSize = vhd::kSector;
  tableEntries = h.maxTableEntries;
  tableByte = h.tableOffset;
  blockSectors = h.blockSize / vhd::kSector;
  blockShift = Log2(blockSectors);
  bitmapSectors = (blockSectors + 8 * vhd::kSector - 1) / (8 * vhd::kSector);
  firstDataByte = (tableByte + tableEntries * 4 + vhd::kSector - 1) / vhd::kSector * vhd::kSector;
  page_.assign(vhd::kSector, 0);
  pageIndex_ = bitmapSector_ = chunkIndex_ = ~0ull;
  uint64_t entry;
  if (tableEntries && Entry(0, &entry) < 0) return false;
  return true;
}

bool VhdBlockMap::InitVhdx(ImageFile& file, const VhdxGeometry& g) {
  file_ = &file;
  fileSize_ = file.Size();
  isVhdx = true;
  sectorSize = g.logicalSectorSize;
  blockSectors = g.blockSize / g.logicalSectorSize;
  blockShift = Log2(blockSectors);
  chunkRatio = uint32_t((uint64_t(1) << 23) * g.logicalSectorSize / g.blockSize);
  const uint64_t blocks = (g.virtualSize + g.blockSize - 1) / g.blockSize;
  const uint64_t full = (blocks + chunkRatio - 1) / chunkRatio * (uint64_t(chunkRatio) + 1);
  // The entry of the last data block must lie inside the BAT; the bitmap
  // entries after it may be left out of a file without a parent.
  const uint64_t lastData = (blocks - 1) + (blocks - 1) / chunkRatio;
  if (lastData >= g.batLength / 8) return false;
  tableEntries = std::min(full, g.batLength / 8);
  tableByte = g.batOffset;
  firstDataByte = vhdx::kMiB;
  page_.assign(4096, 0);
  pageIndex_ = bitmapSector_ = chunkIndex_ = ~0ull;
  uint64_t entry;
  return Entry(0, &entry) >= 0;
}

int VhdBlockMap::Entry(uint64_t index, uint64_t* entry) {
  const uint32_t width = isVhdx ? 8 : 4;
  const uint64_t perPage = page_.size() / width;
  const uint64_t page = index / perPage;
  if (page != pageIndex_) {
    const ImageFile::ReadResult r = file_->Read(tableByte + page * page_.size(), uint32_t(page_.size()), page_.data());
    if (r == ImageFile::kReadFailed) return -1;
    if (r == ImageFile::kReadDamaged) {
      pageIndex_ = ~0ull;
      return 1;
    }
    pageIndex_ = page;
  }
  const uint8_t* p = page_.data() + (index % perPage) * width;
  *entry = isVhdx ? Le64(p) : GetBigEndian(p, 4);
  return 0;
}

const uint8_t* VhdBlockMap::VhdBitmapSector(uint64_t fileSector, int* status) {
  if (fileSector != bitmapSector_) {
    const ImageFile::ReadResult r = file_->Read(fileSector * vhd::kSector, vhd::kSector, bitmap_);
    if (r != ImageFile::kReadOk) {
      bitmapSector_ = ~0ull;
      *status = r == ImageFile::kReadFailed ? -1 : 1;
      return nullptr;
    }
    bitmapSector_ = fileSector;
  }
  return bitmap_;
}

void VhdBlockMap::VhdBlockRuns(uint64_t entry, uint32_t inBlock, uint32_t n, std::vector<ImageRun>& runs,
                               int* status) {
  const uint64_t bitmapByte = entry * vhd::kSector;
  if (entry == vhd::kUnused || bitmapByte < firstDataByte) {
    AppendRun(runs, ImageRun::kParent, 0, n * vhd::kSector);
    return;
  }
  if (bitmapByte >= fileSize_ || uint64_t(bitmapSectors) * vhd::kSector > fileSize_ - bitmapByte) {
    // The table holds the block, the file no longer does: cut short.
    AppendRun(runs, ImageRun::kBad, 0, n * vhd::kSector);
    return;
  }
  const uint64_t data = bitmapByte + uint64_t(bitmapSectors) * vhd::kSector;
  constexpr uint32_t kBitsPerSector = 8 * vhd::kSector;
  for (uint32_t i = inBlock; i < inBlock + n;) {
    const uint64_t sector = entry + i / kBitsPerSector;
    const uint32_t base = i / kBitsPerSector * kBitsPerSector;
    const uint32_t limit = std::min(inBlock + n, base + kBitsPerSector) - base;
    const uint8_t* bits = VhdBitmapSector(sector, status);
    if (!bits) {
      if (*status < 0) return;
      *status = 0;
      AppendRun(runs, ImageRun::kBad, 0, (base + limit - i) * vhd::kSector);
      i = base + limit;
      continue;
    }
    bool set;
    const uint32_t k = EqualBits(bits, i - base, limit, true, &set);
    AppendRun(runs, set ? ImageRun::kFile : ImageRun::kParent, data + uint64_t(i) * vhd::kSector, k * vhd::kSector);
    i += k;
  }
}

const uint8_t* VhdBlockMap::ChunkBitmap(uint64_t chunk, int* status) {
  if (chunk == chunkIndex_) return chunkPresent_ ? chunk_.data() : nullptr;
  chunkIndex_ = ~0ull;
  const uint64_t index = chunk * (uint64_t(chunkRatio) + 1) + chunkRatio;
  chunkPresent_ = false;
  if (index < tableEntries) {
    // The bitmap entry usually lies on another table page than the data
    // entry: it is read on its own, leaving the page cache alone.
    uint8_t raw[8];
    const ImageFile::ReadResult r = file_->Read(tableByte + index * 8, 8, raw);
    if (r != ImageFile::kReadOk) {
      *status = r == ImageFile::kReadFailed ? -1 : 1;
      return nullptr;
    }
    const uint64_t entry = Le64(raw);
    const uint64_t offset = (entry >> 20) << 20;
    if ((entry & 7) == vhdx::kStateFullyPresent && offset >= firstDataByte) {
      if (offset >= fileSize_ || fileSize_ - offset < vhdx::kBitmapBlockBytes) {
        *status = 1;  // cut off: the block's sectors cannot be told apart
        return nullptr;
      }
      chunk_.resize(vhdx::kBitmapBlockBytes);
      const ImageFile::ReadResult b = file_->Read(offset, vhdx::kBitmapBlockBytes, chunk_.data());
      if (b != ImageFile::kReadOk) {
        *status = b == ImageFile::kReadFailed ? -1 : 1;
        return nullptr;
      }
      chunkPresent_ = true;
    }
  }
  chunkIndex_ = chunk;
  return chunkPresent_ ? chunk_.data() : nullptr;
}

void VhdBlockMap::VhdxBlockRuns(uint64_t block, uint64_t entry, uint32_t inBlock, uint32_t n,
                                std::vector<ImageRun>& runs, int* status) {
  const uint32_t state = uint32_t(entry & 7);
  const uint64_t offset = (entry >> 20) << 20;
  const bool where = offset >= firstDataByte && offset < fileSize_;
  const uint64_t data = offset + uint64_t(inBlock) * sectorSize;
  const bool present = state == vhdx::kStateFullyPresent || state == 7;
  if (present && offset >= firstDataByte && offset >= fileSize_) {
    // The table holds the block, the file no longer does: cut short.
    AppendRun(runs, ImageRun::kBad, 0, n * sectorSize);
    return;
  }
  if (state == vhdx::kStateFullyPresent && where) {
    AppendRun(runs, ImageRun::kFile, data, n * sectorSize);
    return;
  }
  if ((state != 3 && state != 4 && state != 7) || !where) {
    AppendRun(runs, ImageRun::kParent, 0, n * sectorSize);
    return;
  }
  const uint8_t* bits = ChunkBitmap(block / chunkRatio, status);
  if (!bits) {
    if (*status < 0) return;
    AppendRun(runs, *status ? ImageRun::kBad : ImageRun::kParent, 0, n * sectorSize);
    *status = 0;
    return;
  }
  const uint32_t base = uint32_t(block % chunkRatio) * blockSectors;
  for (uint32_t i = inBlock; i < inBlock + n;) {
    bool set;
    const uint32_t k = EqualBits(bits, base + i, base + inBlock + n, false, &set);
    AppendRun(runs, set ? ImageRun::kFile : ImageRun::kParent, offset + uint64_t(i) * sectorSize, k * sectorSize);
    i += k;
  }
}

bool VhdBlockMap::ScanTable(uint64_t diskSectors, CutBlocks* cut, bool* overlap) {
  *overlap = false;
  const uint32_t width = isVhdx ? 8 : 4;
  if (tableEntries * width > kMaxScannedTable) return true;
  std::vector<uint8_t> table(size_t(tableEntries * width));
  for (uint64_t done = 0; done < table.size();) {
    const uint32_t n = uint32_t(std::min<uint64_t>(table.size() - done, kIoBufferBytes));
    if (file_->Read(tableByte + done, n, table.data() + done) != ImageFile::kReadOk) return false;
    done += n;
  }
  // Each present block's bytes in the file: [start, start + span).
  struct Span {
    uint64_t start, end;
  };
  std::vector<Span> spans;
  const uint64_t blockBytes = uint64_t(blockSectors) * sectorSize;
  for (uint64_t i = 0; i < tableEntries; ++i) {
    const uint8_t* p = table.data() + i * width;
    uint64_t start = 0, span = 0, block = i;
    if (isVhdx) {
      const uint64_t entry = Le64(p);
      const uint32_t state = uint32_t(entry & 7);
      start = (entry >> 20) << 20;
      const bool bitmapEntry = chunkRatio && i % (uint64_t(chunkRatio) + 1) == chunkRatio;
      if (bitmapEntry) {
        if (state != vhdx::kStateFullyPresent) continue;
        span = vhdx::kBitmapBlockBytes;
      } else {
        // Only fully and partially present blocks certainly have their data
        // where the entry says (an unmapped one may name an old place).
        if (state != vhdx::kStateFullyPresent && state != 7) continue;
        span = blockBytes;
        block = i - i / (uint64_t(chunkRatio) + 1);
      }
      if (start < firstDataByte) continue;
      if (bitmapEntry) {
        spans.push_back({start, start + span});
        continue;
      }
    } else {
      const uint32_t entry = GetBigEndian(p, 4);
      if (entry == vhd::kUnused) continue;
      start = uint64_t(entry) * vhd::kSector;
      if (start < firstDataByte) continue;
      span = uint64_t(bitmapSectors) * vhd::kSector + blockBytes;
    }
    spans.push_back({start, start + span});
    // Data past the end of the file: the disk's sectors there are gone.
    const uint64_t first = block * blockSectors;
    if (start + span > fileSize_ && first < diskSectors)
      cut->Add(first, std::min(first + blockSectors, diskSectors) - 1);
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  for (size_t k = 1; k < spans.size(); ++k)
    if (spans[k].start < spans[k - 1].end) *overlap = true;
  return true;
}

bool VhdBlockMap::Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) {
  uint64_t s = sector;
  uint32_t left = sectors;
  while (left > 0) {
    const uint64_t block = s >> blockShift;
    const uint32_t inBlock = uint32_t(s & (blockSectors - 1));
    const uint32_t n = std::min(left, blockSectors - inBlock);
    const uint64_t index = isVhdx ? block + block / chunkRatio : block;
    if (index >= tableEntries) {
      AppendRun(runs, ImageRun::kParent, 0, left * sectorSize);
      break;
    }
    uint64_t entry = 0;
    int status = Entry(index, &entry);
    if (status < 0) return false;
    if (status > 0) {
      AppendRun(runs, ImageRun::kBad, 0, n * sectorSize);
    } else {
      if (isVhdx) VhdxBlockRuns(block, entry, inBlock, n, runs, &status);
      else VhdBlockRuns(entry, inBlock, n, runs, &status);
      if (status < 0) return false;
    }
    s += n;
    left -= n;
  }
  return true;
}

// ---- opening ----

namespace {

bool Fail(const char16_t* text) {
  ErrorMsg(text);
  return false;
}

// Reads bytes the format needs; a damaged or failed read refuses the file.
bool ReadHeader(ImageFile& file, uint64_t offset, uint32_t bytes, uint8_t* out) {
  const ImageFile::ReadResult r = file.Read(offset, bytes, out);
  if (r == ImageFile::kReadOk) return true;
  if (r == ImageFile::kReadDamaged) ErrorMsg(u"The headers of the virtual disk file cannot be read.");
  return false;
}

bool OpenVhdx(ImageFile& file, VhdLayout* out) {
  const uint64_t size = file.Size();
  if (size < vhdx::kRegionTableOffset + vhdx::kTableBytes) return Fail(kInvalidVhdx);
  std::vector<uint8_t> table(vhdx::kTableBytes);
  if (!ReadHeader(file, vhdx::kRegionTableOffset, vhdx::kTableBytes, table.data())) return false;
  VhdxGeometry g;
  if (!ParseVhdxRegionTable(table.data(), size, &g)) return Fail(kInvalidVhdx);
  if (g.metadataLength < vhdx::kTableBytes) return Fail(kInvalidVhdx);
  if (!ReadHeader(file, g.metadataOffset, vhdx::kTableBytes, table.data())) return false;
  VhdxItems items;
  if (!ParseVhdxMetadataTable(table.data(), g.metadataLength, &items)) return Fail(kInvalidVhdx);
  uint8_t params[8], disk[8], logical[4];
  if (!ReadHeader(file, g.metadataOffset + items.fileParameters.offset, 8, params) ||
      !ReadHeader(file, g.metadataOffset + items.virtualDiskSize.offset, 8, disk) ||
      !ReadHeader(file, g.metadataOffset + items.logicalSectorSize.offset, 4, logical))
    return false;
  if (!SetVhdxParameters(params, disk, logical, &g)) return Fail(kInvalidVhdx);
  auto map = std::make_unique<VhdBlockMap>();
  if (!map->InitVhdx(file, g)) return Fail(kInvalidVhdx);
  // The current header (the higher sequence number) names the file to its
  // children by its data-write GUID.
  uint64_t sequence = 0;
  out->link.known = true;
  for (const uint64_t at : vhdx::kHeaderOffsets) {
    uint8_t h[512];
    if (file.Read(at, sizeof h, h) != ImageFile::kReadOk || memcmp(h, "head", 4) != 0) continue;
    const uint64_t seq = Le64(h + vhdx::kHeaderSequence);
    if (out->link.ownId.empty() || seq > sequence) {
      sequence = seq;
      out->link.ownId = GuidText(h + vhdx::kHeaderDataWriteGuid);
    }
  }
  if (g.hasParent) {
    out->link.differencing = true;
    const VhdxItem& loc = items.parentLocator;
    if (loc.found && loc.length <= vhdx::kMaxLocatorBytes) {
      std::vector<uint8_t> item(loc.length);
      if (file.Read(g.metadataOffset + loc.offset, loc.length, item.data()) == ImageFile::kReadOk)
        ParseVhdxParentLocator(item.data(), loc.length, &out->link);
    }
  }
  // VHDX entries name their places in whole MiB: only a cut file is told
  // here (a block size patched is refused by its own bounds).
  bool overlap = false;
  map->ScanTable(g.virtualSize / g.logicalSectorSize, &out->cut, &overlap);
  out->diskType = 5;
  out->sectorSize = g.logicalSectorSize;
  out->sectorCount = g.virtualSize / g.logicalSectorSize;
  out->map = std::move(map);
  if (traceIo)
    TracePrintfA("VHDX block %u, sector %u, size %I64d, BAT @ %I64d, %I64d entries%s\n", g.blockSize,
                 g.logicalSectorSize, int64_t(g.virtualSize), int64_t(g.batOffset),
                 int64_t(static_cast<VhdBlockMap*>(out->map.get())->tableEntries), g.hasParent ? ", has parent" : "");
  return true;
}

}  // namespace

bool OpenVhdLayout(ImageFile& file, uint32_t hostSectorSize, VhdLayout* out) {
  const uint64_t size = file.Size();
  *out = VhdLayout{};
  uint8_t first[vhd::kFooterBytes] = {};
  if (size >= 8 && !ReadHeader(file, 0, uint32_t(std::min<uint64_t>(size, sizeof first)), first)) return false;
  if (size >= 8 && memcmp(first, "vhdxfile", 8) == 0) return OpenVhdx(file, out);

  const VhdFooter footer = ParseVhdFooter(first);
  if (size >= vhd::kFooterBytes && IsVhdFooterCopy(footer)) {
    if (hostSectorSize > vhd::kSector && footer.dataOffset == vhd::kSector && traceIo)
      TracePrintfA("VHD on a disk of %u-byte sectors: read in 512-byte sectors, buffered\n", hostSectorSize);
    if (footer.currentSize > (uint64_t(INT64_MAX) >> 12)) return Fail(kInvalidVhd);
    out->diskType = int(footer.diskType);
    out->sectorSize = vhd::kSector;
    out->sectorCount = footer.currentSize / vhd::kSector;
    if (footer.diskType != vhd::kDiskDynamic && footer.diskType != vhd::kDiskDifferencing) {
      out->diskType = 2;
      out->map = std::make_unique<RawImageMap>(vhd::kSector, size);
      return true;
    }
    if (footer.dataOffset >= size || size - footer.dataOffset < vhd::kHeaderBytes) return Fail(kInvalidVhd);
    uint8_t header[vhd::kHeaderBytes];
    if (!ReadHeader(file, footer.dataOffset, vhd::kHeaderBytes, header)) return false;
    VhdDynamicHeader h;
    if (!ParseVhdDynamicHeader(header, size, footer.currentSize, &h)) {
      const uint32_t block = GetBigEndian(header + vhd::kBlockSize, 4);
      if (!IsPowerOfTwo(block) || block < 4096 || block > vhd::kMaxBlockSize) {
        ErrorMsg(
            FormatW(u"Invalid VHD header: a block size of %u bytes (a power of two from 4 KiB to 256 MiB "
                    u"is needed).",
                    block));
        return false;
      }
      return Fail(kInvalidVhd);
    }
    auto map = std::make_unique<VhdBlockMap>();
    if (!map->InitVhd(file, h)) return false;
    out->link.known = true;
    out->link.ownId = HexText(first + vhd::kUniqueId, vhd::kUniqueIdBytes);
    if (footer.diskType == vhd::kDiskDifferencing) {
      out->link.differencing = true;
      out->link.parentIds.push_back(HexText(header + vhd::kParentUniqueId, vhd::kUniqueIdBytes));
      ReadVhdParentNames(file, header, &out->link);
    }
    bool overlap = false;
    map->ScanTable(out->sectorCount, &out->cut, &overlap);
    if (overlap) {
      ErrorMsg(
          FormatW(u"Invalid VHD header: its blocks of %u bytes overlap in the file (the block size does not "
                  u"fit the block allocation table).",
                  h.blockSize));
      return false;
    }
    if (traceIo)
      TracePrintfA("VHD type %u, block %u, %u entries @ %I64d, size %I64d\n", footer.diskType, h.blockSize,
                   h.maxTableEntries, int64_t(h.tableOffset), int64_t(footer.currentSize));
    out->map = std::move(map);
    return true;
  }

  // Read straight through. A fixed disk ends with its footer, which is not
  // one of the disk's sectors.
  out->diskType = 2;
  out->sectorSize = vhd::kSector;
  uint64_t diskBytes = size;
  if (size >= vhd::kFooterBytes) {
    uint8_t last[vhd::kFooterBytes];
    if (!ReadHeader(file, size - vhd::kFooterBytes, vhd::kFooterBytes, last)) return false;
    if (IsFixedVhdFooter(last, size, &diskBytes)) {
      out->fixedFooter = true;
      out->link.known = true;
      out->link.ownId = HexText(last + vhd::kUniqueId, vhd::kUniqueIdBytes);
    }
  }
  out->sectorCount = (diskBytes + vhd::kSector - 1) / vhd::kSector;
  out->map = std::make_unique<RawImageMap>(vhd::kSector, diskBytes);
  return true;
}
