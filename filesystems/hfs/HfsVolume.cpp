#include "filesystems/hfs/HfsVolume.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filesystems/hfs/Definitions.h"
#include "filesystems/hfs/HfsBTree.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"

using namespace hfs;

void HfsFork::Set(const HfsForkData& data) {
  logicalSize = data.logicalSize;
  totalBlocks = data.totalBlocks;
  pieces.clear();
  Append(data.extents, kExtentsPerRecord);
}

void HfsFork::Append(const HfsExtent* extents, size_t count) {
  uint64_t at = MappedBlocks();
  for (size_t i = 0; i < count; ++i) {
    if (extents[i].startBlock == 0 || extents[i].blockCount == 0) break;
    pieces.push_back(Piece{at, extents[i].startBlock, extents[i].blockCount});
    at += extents[i].blockCount;
  }
}

uint64_t HfsFork::MappedBlocks() const {
  return pieces.empty() ? 0 : pieces.back().fileBlock + pieces.back().blockCount;
}

CHFSPlusVol::CHFSPlusVol() { type = kVolHfs; }
CHFSPlusVol::~CHFSPlusVol() = default;

uint8_t* CHFSPlusVol::ReadBuffer() {
  if (!readBuffer_) readBuffer_.reset(new (std::nothrow) uint8_t[kReadBufferBytes]);
  return readBuffer_.get();
}

size_t CHFSPlusVol::ReadForkData(const HfsFork& fork, uint64_t offset, size_t bytes, uint8_t* out) {
  const uint32_t bs = clusterSize;
  if (!bs || offset % bs || !drive) return 0;
  uint64_t block = offset / bs;
  size_t done = 0;
  // Blocks past the drive's end (a cut image, or a fork that claims more
  // than there is) are not read: they hold nothing of the volume.
  const uint32_t dss = drive->SectorSize() ? drive->SectorSize() : 512;
  const uint64_t driveBlocks = drive->SectorCount() > startSector
                                   ? uint64_t((unsigned __int128)(drive->SectorCount() - startSector) * dss / bs)
                                   : 0;
  auto piece = std::upper_bound(fork.pieces.begin(), fork.pieces.end(), block,
                                [](uint64_t b, const HfsFork::Piece& p) { return b < p.fileBlock; });
  if (piece == fork.pieces.begin()) return 0;
  --piece;
  while (done < bytes && piece != fork.pieces.end()) {
    if (block >= piece->fileBlock + piece->blockCount) {
      ++piece;
      continue;
    }
    const uint64_t within = block - piece->fileBlock;
    const uint64_t at = uint64_t(piece->startBlock) + within;
    if (at >= driveBlocks) break;
    const uint32_t n =
        uint32_t(std::min<uint64_t>({piece->blockCount - within, (bytes - done) / bs, driveBlocks - at}));
    if (n == 0) break;
    uint32_t got = 0;
    if (!ReadClusters(out + done, int64_t(piece->startBlock + within), n, bs, bytes - done, &got) || got == 0) break;
    done += size_t(got) * bs;
    block += got;
    if (got < n) break;
  }
  return done;
}

bool InitHFSPlusVol(CHFSPlusVol& v, const uint8_t* header, int64_t start) {
  if (!header || start < 0 || !IsHFSPlusVolumeHeader(header)) return false;
  const HfsVolumeHeader h = ReadHfsVolumeHeader(header);
  const uint32_t ss = v.drive && v.drive->SectorSize() ? v.drive->SectorSize() : 512;
  if (!v.SetSectorSize(ss) || h.blockSize < ss || !v.SetClusterSize(h.blockSize)) return false;
  v.type = kVolHfs;
  v.header = h;
  v.startSector = uint64_t(start);
  v.totalBlocks = h.totalBlocks;
  v.dataAreaSector = 0;
  // The catalog must be readable for the volume to be of any use; an
  // extents file that does not hold together is taken as empty.
  const HfsForkData& cat = h.forks[kForkCatalogFile];
  if (CheckHfsFork(cat, h.blockSize, h.totalBlocks, false) < 0 || cat.logicalSize == 0) return false;
  v.catalogFork.Set(cat);
  v.catalogFork.valid = true;
  const HfsForkData& ext = h.forks[kForkExtentsFile];
  v.extentsFork = HfsFork();
  if (CheckHfsFork(ext, h.blockSize, h.totalBlocks, false) >= 0) {
    v.extentsFork.Set(ext);
    v.extentsFork.valid = ext.logicalSize != 0;
  }
  v.sizeSectors = uint64_t(h.totalBlocks) * (h.blockSize / ss);
  return true;
}

namespace {

// The fork's first node, read at a volume starting at `start`, is a B-tree
// header node.
bool HeaderNodeAt(CHFSPlusVol& v, const HfsFork& fork, std::vector<uint8_t>& block) {
  if (fork.pieces.empty()) return false;
  block.assign(v.clusterSize, 0);
  uint32_t got = 0;
  if (!v.ReadClusters(block.data(), fork.pieces[0].startBlock, 1, v.clusterSize, block.size(), &got) || got != 1)
    return false;
  return IsHFSBTreeHeaderNode(block.data(), block.size());
}

bool VolumeHoldsAt(Drive* drive, const uint8_t* header, int64_t start, uint64_t* sizeOut) {
  CHFSPlusVol v;
  v.drive = drive;
  if (!InitHFSPlusVol(v, header, start)) return false;
  // Either tree's header node in its place confirms the volume: one whose
  // catalog header node is destroyed is still found (the HFS+ Long Scan
  // reads its leaf nodes without it).
  std::vector<uint8_t> block;
  if (!HeaderNodeAt(v, v.catalogFork, block) && !(v.extentsFork.valid && HeaderNodeAt(v, v.extentsFork, block)))
    return false;
  if (sizeOut) *sizeOut = v.sizeSectors;
  return true;
}

}  // namespace

int64_t LocateHFSPlusVolume(Drive* drive, int64_t sector, const uint8_t* header, uint32_t sectorSize,
                            uint64_t* sizeOut) {
  if (!drive || !header || sector < 0 || !sectorSize || sectorSize > kHeaderOffset || !IsHFSPlusVolumeHeader(header))
    return -1;
  const int64_t headerSectors = kHeaderOffset / sectorSize;
  const uint64_t driveSectors = drive->SectorCount();
  if (sector >= headerSectors && VolumeHoldsAt(drive, header, sector - headerSectors, sizeOut))
    return sector - headerSectors;
  // The alternate header lies 1024 bytes before the volume's end.
  const HfsVolumeHeader h = ReadHfsVolumeHeader(header);
  if (h.blockSize < sectorSize) return -1;
  const unsigned __int128 size = (unsigned __int128)h.totalBlocks * (h.blockSize / sectorSize);
  const __int128 start = __int128(sector) + headerSectors - __int128(size);
  if (start < 0 || uint64_t(start) >= driveSectors) return -1;
  if (VolumeHoldsAt(drive, header, int64_t(start), sizeOut)) return int64_t(start);
  return -1;
}
