#include "carving/OfficeProps.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "carving/HdrNode.h"
#include "carving/Inflate.h"
#include "carving/SectorProbe.h"
#include "carving/TextHelpers.h"
#include "carving/ZipFormat.h"
#include "foundation/ByteOrder.h"
#include "foundation/TimeUtil.h"
#include "platform/Memory.h"
#include "volumes/Extents.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"

using namespace zipfmt;

namespace {

constexpr size_t kPiece = size_t(1) << 20;
constexpr uint64_t kTailSectors = 64;
constexpr size_t kMaxDirectoryBytes = 65536;
constexpr size_t kMaxPropertiesData = 65536;
constexpr size_t kMaxPropertiesText = size_t(1) << 20;
constexpr size_t kMaxAuthorBytes = 254;

// An aligned scratch buffer of at most one piece, grown as reads need.
class Scratch {
 public:
  ~Scratch() { AlignedFree(data_); }
  uint8_t* Get(size_t bytes) {
    if (bytes > size_) {
      AlignedFree(data_);
      size_ = 0;
      data_ = static_cast<uint8_t*>(AlignedAlloc(bytes));
      if (data_) size_ = bytes;
    }
    return data_;
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

class DriveFileBytes : public FileByteSource {
 public:
  DriveFileBytes(HdrReader* drive, int64_t start, uint64_t size) : drive_(drive), start_(start), size_(size) {}
  bool ReadFileBytes(uint64_t offset, size_t length, uint8_t* out) override {
    if (!drive_ || start_ < 0 || offset > size_ || length > size_ - offset) return false;
    const uint32_t ss = drive_->SectorSize() ? drive_->SectorSize() : 512;
    if (ss > kPiece) return false;
    while (length > 0) {
      const uint64_t first = offset / ss;
      const size_t skip = size_t(offset % ss);
      const uint32_t sectors = uint32_t(std::min<uint64_t>((skip + length + ss - 1) / ss, kPiece / ss));
      uint8_t* buffer = scratch_.Get(size_t(sectors) * ss);
      if (!buffer || first > uint64_t(INT64_MAX - start_)) return false;
      if (!drive_->ReadSectors(start_ + int64_t(first), sectors, buffer)) return false;
      const size_t n = std::min(length, size_t(sectors) * ss - skip);
      std::memcpy(out, buffer + skip, n);
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

 private:
  HdrReader* drive_;
  int64_t start_;
  uint64_t size_;
  Scratch scratch_;
};

class NodeFileBytes : public FileByteSource {
 public:
  NodeFileBytes(CVol* volume, const cnode* node, uint64_t size) : volume_(volume), size_(size) {
    if (!volume_ || !node) return;
    if (const uint8_t* runs = node->RunBuffer()) {
      // A node with a run list maps its clusters through it, whatever the
      // volume's family.
      map_ = std::make_unique<CExtents>();
      map_->SetSectorSize(volume_->sectorSize);
      ready_ = map_->SetClusterSize(node->GetClusterBytes(volume_->sectorSize)) &&
               map_->BuildVCNMappingTable(runs) >= 0;
    } else {
      // The family's own road (extents, or a block map read by the family).
      ready_ = volume_->BuildNodeExtents(node);
      node_ = node;
    }
  }
  bool ReadFileBytes(uint64_t offset, size_t length, uint8_t* out) override {
    if (!ready_ || offset > size_ || length > size_ - offset) return false;
    if (!map_) return ReadThroughFamily(offset, length, out);
    CExtents* map = map_.get();
    const uint64_t unit = uint64_t(1) << map->clusterShift;
    uint8_t* buffer = scratch_.Get(kPiece);
    if (!buffer || unit > kPiece) return false;
    while (length > 0) {
      uint64_t got = 0;
      const uint8_t* data = volume_->ReadInodeDataCm(offset, length, &got, map, buffer, kPiece);
      const uint64_t skip = offset & (unit - 1);
      if (!data || got <= skip) return false;
      const size_t n = size_t(std::min<uint64_t>(length, got - skip));
      std::memcpy(out, data + skip, n);
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

 private:
  bool ReadThroughFamily(uint64_t offset, size_t length, uint8_t* out) {
    const uint64_t unit = volume_->clusterSize ? volume_->clusterSize : 4096;
    uint8_t* buffer = scratch_.Get(kPiece);
    if (!buffer || unit > kPiece) return false;
    while (length > 0) {
      const uint64_t skip = offset % unit;
      const uint64_t want = std::min<uint64_t>(kPiece / unit * unit, (skip + length + unit - 1) / unit * unit);
      const int64_t got = volume_->ReadNodeData(*node_, offset - skip, want, buffer, kPiece);
      if (got <= int64_t(skip)) return false;
      const size_t n = size_t(std::min<uint64_t>(length, uint64_t(got) - skip));
      std::memcpy(out, buffer + skip, n);
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

  CVol* volume_;
  const cnode* node_ = nullptr;
  uint64_t size_;
  std::unique_ptr<CExtents> map_;
  bool ready_ = false;
  Scratch scratch_;
};

// The end record within the file's last sectors (a signature split across
// two sectors included); its offset, or false.
bool FindEndRecord(FileByteSource& file, uint64_t size, uint64_t* at, uint8_t* record) {
  if (size < kEndBytes) return false;
  const uint64_t lastSector = (size - 1) / 512;
  const uint64_t from = lastSector >= kTailSectors - 1 ? (lastSector - (kTailSectors - 1)) * 512 : 0;
  std::vector<uint8_t> tail(size_t(size - from));
  if (!file.ReadFileBytes(from, tail.size(), tail.data())) return false;
  // From the end backwards: the last record is the archive's own.
  for (size_t i = tail.size() - kEndBytes + 1; i-- > 0;) {
    if (tail[i] == 'P' && Le32(&tail[i]) == kEndSig) {
      *at = from + i;
      std::memcpy(record, &tail[i], kEndBytes);
      return true;
    }
  }
  return false;
}

// The local header offset of a central header's member, from its Zip64
// field when the 32-bit one is escaped.
bool LocalOffsetOf(const uint8_t* h, const uint8_t* extra, size_t extraBytes, uint64_t* offset) {
  *offset = Le32(h + kCentralLocalOffset);
  if (*offset != kSize32Escape) return true;
  for (size_t at = 0; at + 4 <= extraBytes;) {
    const uint16_t id = Le16(extra + at);
    const size_t n = Le16(extra + at + 2);
    if (n > extraBytes - at - 4) return false;
    if (id == kZip64ExtraId) {
      // The escaped values in order: uncompressed size, compressed size,
      // local header offset.
      size_t k = 0;
      if (Le32(h + kCentralUncompressed) == kSize32Escape) k += 8;
      if (Le32(h + kCentralCompressed) == kSize32Escape) k += 8;
      if (k + 8 > n) return false;
      *offset = Le64(extra + at + 4 + k);
      return true;
    }
    at += 4 + n;
  }
  return false;
}

std::string CutUtf8(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  size_t n = maxBytes;
  // Never half a character.
  while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n));
}

}  // namespace

int ReadOfficeXmlProps(FileByteSource& file, uint64_t fileSize, OfficeProps* props) {
  OfficeProps local;
  OfficeProps& p = props ? *props : local;
  p = OfficeProps();
  p.fileTime = CurrentFileTime();
  if (fileSize == 0) return 0;

  uint64_t endAt = 0;
  uint8_t end[kEndBytes];
  if (!FindEndRecord(file, fileSize, &endAt, end)) return 0;
  const uint64_t directory = Le32(end + kEndDirectoryOffset);
  if (directory == kSize32Escape || directory >= fileSize) return 0;
  const uint64_t limit = directory < endAt ? endAt : fileSize;
  std::vector<uint8_t> dir(size_t(std::min<uint64_t>(kMaxDirectoryBytes, limit - directory)));
  if (!file.ReadFileBytes(directory, dir.size(), dir.data())) return 0;

  // Every header is held to the bytes read.
  bool haveProperties = false;
  uint64_t propertiesAt = 0;
  uint64_t propertiesCompressed = 0;
  uint16_t propertiesMethod = 0;
  for (size_t at = 0; at + kCentralBytes <= dir.size();) {
    const uint8_t* h = &dir[at];
    if (Le32(h) != kCentralSig) break;
    const size_t nameBytes = Le16(h + kCentralNameLength);
    const size_t extraBytes = Le16(h + kCentralExtraLength);
    const size_t commentBytes = Le16(h + kCentralCommentLength);
    if (nameBytes > dir.size() - at - kCentralBytes) break;
    const uint8_t* name = h + kCentralBytes;
    if (!haveProperties && NameEqualsNoCase(name, nameBytes, "docProps/core.xml")) {
      const size_t extraHere = std::min(extraBytes, dir.size() - at - kCentralBytes - nameBytes);
      haveProperties = LocalOffsetOf(h, name + nameBytes, extraHere, &propertiesAt);
      propertiesCompressed = Le32(h + kCentralCompressed);
      propertiesMethod = Le16(h + kCentralMethod);
    }
    if (p.refinedType == 0) {
      if (NameStartsNoCase(name, nameBytes, "xl/_rels/")) p.refinedType = kTypeXlsx;
      else if (NameStartsNoCase(name, nameBytes, "ppt/_rels/")) p.refinedType = kTypePptx;
      else if (NameStartsNoCase(name, nameBytes, "word/_rels/")) p.refinedType = kTypeDocx;
    }
    if (haveProperties && p.refinedType != 0) break;
    at += kCentralBytes + nameBytes + extraBytes + commentBytes;
  }
  if (!haveProperties || propertiesAt >= fileSize) return 0;

  uint8_t header[kLocalBytes + 17];
  if (fileSize - propertiesAt < sizeof header || !file.ReadFileBytes(propertiesAt, sizeof header, header)) return 0;
  if (Le32(header) != kLocalSig || Le16(header + kLocalNameLength) != 17 ||
      !NameEqualsNoCase(header + kLocalBytes, 17, "docProps/core.xml"))
    return 0;
  // A member written as a stream has no sizes in its local header: the
  // central header's count.
  uint64_t compressed = Le32(header + kLocalCompressed);
  uint16_t method = Le16(header + kLocalMethod);
  if (compressed == 0 || compressed == kSize32Escape) {
    compressed = propertiesCompressed;
    method = propertiesMethod;
  }
  const uint64_t dataAt = propertiesAt + kLocalBytes + 17 + Le16(header + kLocalExtraLength);
  if (compressed == 0 || compressed > kMaxPropertiesData || dataAt > fileSize || compressed > fileSize - dataAt)
    return 0;
  std::vector<uint8_t> data(static_cast<size_t>(compressed));
  if (!file.ReadFileBytes(dataAt, data.size(), data.data())) return 0;
  std::string text;
  if (method == kMethodDeflated) {
    if (!InflateRaw(data.data(), data.size(), kMaxPropertiesText, &text)) return 0;
  } else if (method == kMethodStored) {
    text.assign(data.begin(), data.end());
  } else {
    return 0;
  }
  if (auto author = GetCoreXmlLastModifiedBy(text.data(), text.size())) {
    if (!author->empty()) p.name = FromUtf8(CutUtf8(*author, kMaxAuthorBytes));
  }
  p.fileTime = GetCoreXmlModified(text.data(), text.size());
  return 1;
}

int ReadOfficeXmlProps(HdrReader* drive, int64_t startSector, uint64_t fileSize, OfficeProps* props) {
  DriveFileBytes file(drive, startSector, fileSize);
  return ReadOfficeXmlProps(file, fileSize, props);
}

int ReadOfficeXmlProps(CVol* volume, const cnode* node, uint64_t fileSize, OfficeProps* props) {
  if (fileSize == 0 && node) fileSize = node->size;
  NodeFileBytes file(volume, node, fileSize);
  return ReadOfficeXmlProps(file, node ? fileSize : 0, props);
}

uint8_t SniffNodeCarvedType(CVol* volume, const cnode* node, const uint8_t* data, size_t count) {
  const uint8_t type = CarvedHeaderType(data, count);
  if (type != kTypeZip || !volume || !node) return type;
  OfficeProps props;
  ReadOfficeXmlProps(volume, node, 0, &props);
  return props.refinedType ? props.refinedType : type;
}
