// The on-disk structures of VMDK extents: the hosted sparse header ("KDMV",
// little-endian), the ESX copy-on-write header ("COWD"), the grain
// directory and grain tables of 32-bit sector numbers; and the grain map
// that turns virtual sectors into runs of the file. Text descriptors and
// compressed (stream-optimized) extents are refused; any other file is a
// flat extent of raw sectors.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/VirtualDisk.h"

namespace vmdk {
inline constexpr uint32_t kSector = 512;
inline constexpr uint32_t kHeaderBytes = 2048;
inline constexpr uint32_t kMagicSparse = 0x564D444B;  // "KDMV"
inline constexpr uint32_t kMagicCow = 0x44574F43;     // "COWD"
// Hosted sparse header.
inline constexpr size_t kFlags = 8;
inline constexpr size_t kCapacity = 12;
inline constexpr size_t kGrainSize = 20;
inline constexpr size_t kTableEntries = 44;
inline constexpr size_t kDescriptorOffset = 28;  // the embedded descriptor, in sectors
inline constexpr size_t kDescriptorSize = 36;
inline constexpr size_t kDirectoryOffset = 56;
inline constexpr size_t kOverhead = 64;  // sectors before the first grain
inline constexpr uint32_t kMaxDescriptorBytes = 65536;
inline constexpr uint32_t kNoParentCid = 0xFFFFFFFF;
inline constexpr size_t kCompressAlgorithm = 77;
inline constexpr uint32_t kFlagCompressed = 0x10000;
inline constexpr uint64_t kDirectoryAtEnd = ~0ull;
// Copy-on-write header.
inline constexpr size_t kCowSectors = 12;
inline constexpr size_t kCowGrainSize = 16;
inline constexpr size_t kCowDirectoryOffset = 20;
inline constexpr size_t kCowDirectoryEntries = 24;
inline constexpr uint32_t kCowTableEntries = 4096;
// Limits that keep a damaged header from sizing the buffers.
inline constexpr uint64_t kMaxGrainSectors = uint64_t(1) << 18;  // 128 MiB
inline constexpr uint32_t kMaxTableEntries = 65536;
inline constexpr uint64_t kMaxDirectoryBytes = uint64_t(64) << 20;
inline constexpr uint64_t kMaxCapacity = uint64_t(1) << 50;  // sectors
}  // namespace vmdk

// The fields of a sparse extent's header.
struct VmdkSparseHeader {
  int kind = 0;  // 1 hosted sparse, 2 copy-on-write
  uint64_t capacity = 0;        // sectors
  uint64_t grainSectors = 0;
  uint32_t tableEntries = 0;    // grain entries per table
  uint64_t directorySector = 0;
  uint64_t directoryEntries = 0;
  uint64_t overheadSectors = 0;  // hosted sparse: where the grains begin
  bool compressed = false;
  uint64_t descriptorSector = 0, descriptorSectors = 0;  // hosted sparse: the embedded descriptor
};

// What a descriptor's text says (a text descriptor file, or the one a
// hosted sparse extent embeds): its content id, its parent's ("ffffffff"
// for none), the parent's file name hint and each extent line's file.
struct VmdkDescriptor {
  std::string cid, parentCid;
  WString parentHint;
  std::vector<WString> extents;
};
// Parses descriptor text (`bytes` of it, up to a zero byte); the fields it
// does not find stay empty.
void ParseVmdkDescriptor(const char* text, size_t bytes, VmdkDescriptor* out);
// Parses the first kHeaderBytes of a file (zeros past its end). Returns the
// extent kind: 0 flat, 1 hosted sparse, 2 copy-on-write.
int ParseVmdkHeader(const uint8_t* header, VmdkSparseHeader* out);
// Whether the sparse header can be read: a grain size that is a power of
// two, grain tables of at least one entry, a capacity of at least one
// sector, and a grain directory inside the file.
bool CheckVmdkHeader(const VmdkSparseHeader& header, uint64_t fileSize);
// Whether the grain directory the capacity needs fits before the grains,
// where a hosted sparse extent keeps it: a capacity past that is one the
// directory cannot map.
bool VmdkDirectoryFits(const VmdkSparseHeader& header);

class VmdkGrainMap : public ImageMap {
 public:
  // Reads the whole grain directory; false with the last error set.
  bool Init(ImageFile& file, const VmdkSparseHeader& header);
  bool Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) override;

  std::unique_ptr<uint32_t[]> gd;  // gdEntries entries
  uint64_t gdEntries = 0;
  uint64_t sectorsPerTable = 0;
  uint64_t grainSectors = 0;
  uint32_t grainsPerTable = 0;

 private:
  // The table of directory entry t; 1 damaged, -1 failed.
  int Table(uint64_t t);

  ImageFile* file_ = nullptr;
  uint64_t fileSize_ = 0;
  std::vector<uint8_t> table_;
  uint64_t tableIndex_ = ~0ull;
};

struct VmdkLayout {
  int extentKind = 0;  // 0 flat, 1 hosted sparse, 2 copy-on-write
  uint64_t sectorCount = 0;
  std::unique_ptr<ImageMap> map;
  ChainLink link;               // a hosted sparse extent's CID and parentCID
  bool textDescriptor = false;  // refused: the file is a text descriptor
  VmdkDescriptor descriptor;    // what it (or the embedded one) says
};
// Reads the format of a file; false with the last error set (a damaged
// header, a compressed extent, a text descriptor).
bool OpenVmdkLayout(ImageFile& file, VmdkLayout* out);
