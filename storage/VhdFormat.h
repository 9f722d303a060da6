// The on-disk structures of VHD files (big-endian footer, dynamic header,
// block allocation table of 32-bit sector numbers, per-block sector bitmaps
// most significant bit first) and VHDX files (region table, metadata
// region, block allocation table of 64-bit entries with a sector-bitmap
// entry after every chunk of data entries, bitmaps least significant bit
// first), parsed into plain values, and the block map that turns virtual
// sectors into runs of the file.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/VirtualDisk.h"

namespace vhd {
// Footer (a copy at byte 0 of dynamic and differencing files; at the end).
inline constexpr uint32_t kFooterBytes = 512;
inline constexpr size_t kCookie = 0;  // "conectix"
inline constexpr size_t kFeatures = 8;
inline constexpr size_t kDataOffset = 16;
inline constexpr size_t kOriginalSize = 40;
inline constexpr size_t kCurrentSize = 48;
inline constexpr size_t kDiskType = 60;
inline constexpr size_t kChecksum = 64;
inline constexpr size_t kUniqueId = 68;
inline constexpr uint32_t kDiskFixed = 2, kDiskDynamic = 3, kDiskDifferencing = 4;
// Dynamic header, at the footer's data offset.
inline constexpr uint32_t kHeaderBytes = 1024;
inline constexpr size_t kHeaderCookie = 0;  // "cxsparse"
inline constexpr size_t kHeaderDataOffset = 8;
inline constexpr size_t kTableOffset = 16;
inline constexpr size_t kMaxTableEntries = 28;
inline constexpr size_t kBlockSize = 32;
inline constexpr size_t kParentUniqueId = 40;
inline constexpr size_t kParentName = 64;  // UTF-16 big-endian, 512 bytes
inline constexpr uint32_t kParentNameBytes = 512;
inline constexpr size_t kParentLocators = 576;  // 8 entries of 24 bytes
inline constexpr uint32_t kLocatorCount = 8, kLocatorBytes = 24;
inline constexpr size_t kLocatorCode = 0, kLocatorDataLength = 8, kLocatorDataOffset = 16;
inline constexpr uint32_t kMaxLocatorData = 4096;
inline constexpr uint32_t kUniqueIdBytes = 16;
// Blocks larger than this are no VHD any tool writes (2 MiB is the rule).
inline constexpr uint32_t kMaxBlockSize = 256u << 20;
// Table entries, bitmaps and sizes count 512-byte sectors.
inline constexpr uint32_t kSector = 512;
inline constexpr uint32_t kUnused = 0xFFFFFFFF;
}  // namespace vhd

namespace vhdx {
inline constexpr uint64_t kMiB = 0x100000;
inline constexpr uint64_t kHeaderOffsets[2] = {0x10000, 0x20000};  // the two "head" headers
inline constexpr size_t kHeaderSequence = 8;  // in a "head" header
inline constexpr size_t kHeaderDataWriteGuid = 32;
inline constexpr size_t kHeaderLogVersion = 64;
inline constexpr size_t kHeaderVersion = 66;
inline constexpr size_t kHeaderLogLength = 68;
inline constexpr size_t kHeaderLogOffset = 72;
inline constexpr uint64_t kRegionTableOffset = 0x30000;
inline constexpr uint32_t kTableBytes = 0x10000;  // region and metadata tables
inline constexpr size_t kRegionCount = 8;
inline constexpr size_t kRegionEntries = 16;
inline constexpr size_t kMetadataCount = 10;
inline constexpr size_t kMetadataEntries = 32;
inline constexpr uint32_t kEntryBytes = 32;
inline constexpr uint32_t kMaxEntries = (kTableBytes - 32) / kEntryBytes;  // 2047 either table
inline constexpr uint64_t kMaxVirtualSize = uint64_t(64) << 40;
inline constexpr uint32_t kBitmapBlockBytes = 0x100000;  // sector bitmap block: 2^23 bits
// Payload states; 6 fully present; 3, 4 and 7 decided by the sector bitmap.
inline constexpr uint32_t kStateFullyPresent = 6;
// The parent locator item: locator type GUID, 2 reserved bytes, the count
// of key-value entries (12 bytes each: key offset, value offset, key
// length, value length; offsets from the item's start), UTF-16LE texts.
inline constexpr size_t kLocatorEntryCount = 18;
inline constexpr size_t kLocatorEntries = 20;
inline constexpr uint32_t kLocatorEntryBytes = 12;
inline constexpr uint32_t kMaxLocatorBytes = 0x10000;
}  // namespace vhdx

// The footer fields that the drive reads, from a 512-byte sector.
struct VhdFooter {
  bool cookie = false;  // "conectix"
  uint32_t features = 0;
  uint64_t dataOffset = 0;
  uint64_t originalSize = 0;
  uint64_t currentSize = 0;
  uint32_t diskType = 0;
  bool checksumOk = false;
};
VhdFooter ParseVhdFooter(const uint8_t* sector);
// A footer copy at the start that opens a dynamic or differencing file (or
// another type, read straight through): features at most 2, a data offset
// of whole sectors, a disk type at most 6.
bool IsVhdFooterCopy(const VhdFooter& footer);
// The footer at the end of a fixed disk: type 2, a good checksum and a size
// that fits before it. *diskBytes is its current size.
bool IsFixedVhdFooter(const uint8_t* lastSector, uint64_t fileSize, uint64_t* diskBytes);

struct VhdDynamicHeader {
  uint64_t tableOffset = 0;
  uint32_t maxTableEntries = 0;
  uint32_t blockSize = 0;
};
// The dynamic header of a disk of diskBytes in a file of fileSize bytes:
// "cxsparse", its own data offset all ones, a block size that is a power of
// two from 4 KiB, a table of whole sectors inside the file that covers the
// disk. False when it is not one.
bool ParseVhdDynamicHeader(const uint8_t* header, uint64_t fileSize, uint64_t diskBytes, VhdDynamicHeader* out);

// What the region and metadata tables of a VHDX give.
struct VhdxGeometry {
  uint64_t batOffset = 0, batLength = 0;
  uint64_t metadataOffset = 0, metadataLength = 0;
  uint32_t blockSize = 0;
  uint32_t logicalSectorSize = 0;
  uint64_t virtualSize = 0;
  bool hasParent = false;
};
// The region table (kTableBytes at kRegionTableOffset): the BAT and the
// metadata region, each whole MiB inside the file. False when it cannot be
// read so.
bool ParseVhdxRegionTable(const uint8_t* table, uint64_t fileSize, VhdxGeometry* out);
// Where a metadata item lies inside the metadata region.
struct VhdxItem {
  uint32_t offset = 0, length = 0;
  bool found = false;
};
struct VhdxItems {
  VhdxItem fileParameters, virtualDiskSize, logicalSectorSize, parentLocator;
};
// The metadata table (the region's first kTableBytes): each needed item,
// inside the region and long enough. False when it cannot be read so.
bool ParseVhdxMetadataTable(const uint8_t* table, uint64_t regionLength, VhdxItems* out);
// Sets the geometry from the items' values and checks it: a block size that
// is a power of two from 1 MiB to 256 MiB, a logical sector size of 512 or
// 4096, a virtual size from one sector to 64 TiB.
bool SetVhdxParameters(const uint8_t* fileParameters, const uint8_t* virtualDiskSize,
                       const uint8_t* logicalSectorSize, VhdxGeometry* geometry);

// True when a sector holds a VHDX header ("head", log version 0, log
// length and log offset whole MiB).
bool IsVHDXHeader(const uint8_t* header);
// A GUID as it is stored (first three fields little-endian) as lower-case
// text without braces, the form parent locators write.
std::string GuidText(const uint8_t* guid);
// The parent linkage and names of a VHDX parent locator item (`bytes` of
// it): the parent_linkage and parent_linkage2 values into parentIds, the
// path values into parentNames. False when it is no readable locator.
bool ParseVhdxParentLocator(const uint8_t* item, uint32_t bytes, ChainLink* link);
// The parent names a VHD's dynamic header keeps (its name, then each
// locator's path, read through `file`).
void ReadVhdParentNames(ImageFile& file, const uint8_t* header, ChainLink* link);
// Writes the header's sequence number and log fields to the trace.
void DumpVHDXHeader(const uint8_t* header);

// Where the sectors of a dynamic or differencing VHD, or of a VHDX, are.
// Sectors the file does not hold come back as parent runs.
class VhdBlockMap : public ImageMap {
 public:
  // A VHD's table; false with the last error set when its first page
  // cannot be read.
  bool InitVhd(ImageFile& file, const VhdDynamicHeader& header);
  // A VHDX's table; false when the BAT cannot hold the disk's entries.
  bool InitVhdx(ImageFile& file, const VhdxGeometry& geometry);
  bool Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) override;
  // Reads the whole table (when it is at most kMaxScannedTable bytes):
  // the blocks whose data lies past the end of a file cut short, and
  // whether two blocks' data overlap in the file (a table that does not
  // fit its block size). False when the table cannot be read.
  bool ScanTable(uint64_t diskSectors, CutBlocks* cut, bool* overlap);
  static constexpr uint64_t kMaxScannedTable = uint64_t(16) << 20;

  bool isVhdx = false;
  uint64_t tableEntries = 0;
  uint64_t tableByte = 0;       // file byte of the table
  uint32_t sectorSize = vhd::kSector;
  uint32_t blockSectors = 0;    // a power of two
  uint32_t blockShift = 0;
  uint32_t chunkRatio = 0;      // VHDX: data blocks per sector-bitmap block
  uint32_t bitmapSectors = 0;   // VHD: sectors of a block's bitmap
  uint64_t firstDataByte = 0;   // an entry below it is not present

 private:
  // The table entry; 1 damaged (not cached), -1 failed.
  int Entry(uint64_t index, uint64_t* entry);
  // A sector of a VHD block's bitmap, cached.
  const uint8_t* VhdBitmapSector(uint64_t fileSector, int* status);
  // The sector bitmap block of a VHDX chunk: its bits, or null when not
  // present; *status 1 damaged, -1 failed.
  const uint8_t* ChunkBitmap(uint64_t chunk, int* status);
  void VhdBlockRuns(uint64_t entry, uint32_t inBlock, uint32_t n, std::vector<ImageRun>& runs, int* status);
  void VhdxBlockRuns(uint64_t block, uint64_t entry, uint32_t inBlock, uint32_t n, std::vector<ImageRun>& runs,
                     int* status);

  ImageFile* file_ = nullptr;
  uint64_t fileSize_ = 0;
  std::vector<uint8_t> page_;  // one table page: 512 bytes VHD, 4096 VHDX
  uint64_t pageIndex_ = ~0ull;
  uint8_t bitmap_[vhd::kSector] = {};
  uint64_t bitmapSector_ = ~0ull;
  std::vector<uint8_t> chunk_;  // VHDX: the cached chunk's bitmap block
  uint64_t chunkIndex_ = ~0ull;
  bool chunkPresent_ = false;
};

// How a VHD or VHDX file is read.
struct VhdLayout {
  int diskType = 2;  // 2 read straight through, 3 dynamic, 4 differencing, 5 VHDX
  uint32_t sectorSize = 512;
  uint64_t sectorCount = 0;
  bool fixedFooter = false;  // a fixed disk: its footer is not part of the disk
  std::unique_ptr<ImageMap> map;
  ChainLink link;  // its own id, and for a differencing file its parent's
  CutBlocks cut;   // data the table places past the end of a cut file
};
// Reads the format of a file. hostSectorSize is the sector size of the
// disk the file lives on (0 when unknown), only traced: VHD sectors are 512
// bytes and image files are read buffered. False with the last error set:
// "Invalid VHD header", "Invalid VHDX. Could not parse VHDX's Region", or
// why the file could not be read.
bool OpenVhdLayout(ImageFile& file, uint32_t hostSectorSize, VhdLayout* out);
