// The HFS+/HFSX volume: the header's geometry, the extents and catalog
// files as forks mapped through their extents, the read buffer of the
// B-tree walks, and the locator that places a volume from its header or
// its alternate header.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/hfs/HfsHeader.h"
#include "volumes/Volume.h"

class Drive;

// A special file (the extents or the catalog file) mapped through its
// extents: the first eight from the header, more from the extents tree.
struct HfsFork {
  struct Piece {
    uint64_t fileBlock = 0;  // the fork's block the piece maps
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
  };
  uint64_t logicalSize = 0;
  uint32_t totalBlocks = 0;
  std::vector<Piece> pieces;
  bool valid = false;

  void Set(const HfsForkData& data);
  // Appends extents (up to the first empty one) after the blocks mapped.
  void Append(const HfsExtent* extents, size_t count);
  uint64_t MappedBlocks() const;
};

class CHFSPlusVol : public CVol {
 public:
  CHFSPlusVol();
  ~CHFSPlusVol() override;

  // Reads `bytes` bytes of the fork from byte `offset` (a multiple of the
  // block size) into `out`: the bytes read, fewer where the fork's mapping
  // or the volume ends, or a read fails.
  size_t ReadForkData(const HfsFork& fork, uint64_t offset, size_t bytes, uint8_t* out);
  // The 1 MiB buffer of the walks, made on first use (null when out of
  // memory).
  uint8_t* ReadBuffer();
  static constexpr size_t kReadBufferBytes = 0x100000;

  HfsVolumeHeader header;
  uint32_t totalBlocks = 0;
  HfsFork extentsFork, catalogFork;

 private:
  std::unique_ptr<uint8_t[]> readBuffer_;
};

// Fills the volume from its header (512 bytes) for a volume starting at
// drive sector `start` of the volume's drive: geometry, forks, size. False
// when the header fails its test or the catalog fork does not hold
// together (then no volume is made).
bool InitHFSPlusVol(CHFSPlusVol& volume, const uint8_t* header, int64_t start);

// Where the volume whose header (or alternate header) lies at drive
// sector `sector` of `drive` starts: the main header's place when the
// catalog's or the extents file's first node is a B-tree header node
// there, else the alternate header's (1024 bytes before the volume's
// end); -1 when neither holds or the start would lie outside the drive.
// `sizeOut` (may be null) gets the volume's size in drive sectors.
int64_t LocateHFSPlusVolume(Drive* drive, int64_t sector, const uint8_t* header, uint32_t sectorSize,
                            uint64_t* sizeOut = nullptr);
