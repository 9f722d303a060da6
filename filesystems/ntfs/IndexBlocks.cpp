#include "filesystems/ntfs/IndexBlocks.h"

#include <algorithm>
#include <memory>

#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsIndex.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/FileTypes.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"

namespace {
constexpr uint32_t kBlockBytes = 4096;
constexpr int64_t kMaxIndexClusters = 10000000;

// The drive sector of byte `offset` of the stream; -1 when unmapped (a
// hole or past the runs).
int64_t MapOffset(const CVol& vol, const uint8_t* runs, uint64_t offset, uint32_t driveSectorSize) {
  if (!runs || !vol.clusterSize) return -1;
  const uint64_t vcn = offset / vol.clusterSize;
  uint64_t at = 0;
  int64_t lcn = 0, delta = 0;
  uint32_t length = 0, position = 0;
  while (ReadNextRun(&delta, &length, runs, &position) == 1) {
    lcn += delta;
    if (vcn < at + length) {
      if (delta == 0 || lcn < 0) return -1;
      const unsigned __int128 byte =
          (unsigned __int128)uint64_t(lcn + int64_t(vcn - at)) * vol.clusterSize + offset % vol.clusterSize;
      const unsigned __int128 sector = vol.startSector + byte / driveSectorSize;
      return sector > (unsigned __int128)INT64_MAX ? -1 : int64_t(sector);
    }
    at += length;
  }
  return -1;
}

// The unused index-buffer hit at `sector` whose VCN (low 16 bits kept by
// the scan) is vcn.
const HdrHit* IndexHitAt(const std::vector<HdrHit>& hits, int64_t sector, uint64_t vcn) {
  auto it = std::lower_bound(hits.begin(), hits.end(), sector,
                             [](const HdrHit& h, int64_t s) { return h.start < s; });
  for (; it != hits.end() && it->start == sector; ++it)
    if (it->type == kTypeIdx && !(it->flags & kHitMatched) && it->value == uint16_t(vcn)) return &*it;
  return nullptr;
}

class BlockReader {
 public:
  explicit BlockReader(Drive& drive) : drive_(drive) {
    ss_ = drive.SectorSize() ? drive.SectorSize() : 512;
    bytes_ = std::max(kBlockBytes, ss_);
    buffer_ = static_cast<uint8_t*>(AlignedAlloc(bytes_));
  }
  ~BlockReader() { AlignedFree(buffer_); }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;
  uint32_t SectorSize() const { return ss_; }
  // Reads the block at sector; its owner and VCN when it is an index buffer.
  uint8_t* Read(int64_t sector, uint32_t* owner, uint32_t* vcn) {
    if (!buffer_ || sector < 0 || uint64_t(sector) + bytes_ / ss_ > drive_.SectorCount()) return nullptr;
    if (!drive_.ReadSectors(sector, bytes_, drive_.RetryPiece(), buffer_, true)) return nullptr;
    if (!CheckINDXSector(buffer_, kBlockBytes, owner, vcn)) return nullptr;
    return buffer_;
  }

 private:
  Drive& drive_;
  uint32_t ss_ = 512, bytes_ = kBlockBytes;
  uint8_t* buffer_ = nullptr;
};

}  // namespace

int GetMatchingINDXCount(Drive& drive, const CVol& vol, const FolderIndexStream& folder,
                         const std::vector<HdrHit>& hits) {
  if (!folder.runs || folder.clusterCount <= 0 || !vol.clusterSize) return 0;
  BlockReader reader(drive);
  const uint64_t streamBytes = uint64_t(folder.clusterCount) * vol.clusterSize;
  int64_t lastSector = -1;
  uint32_t lastOwner = 0;
  for (uint64_t off = 0; off < 3ull * kBlockBytes && off < streamBytes; off += kBlockBytes) {
    const uint64_t vcn = off / vol.clusterSize;
    const int64_t sector = MapOffset(vol, folder.runs, off, reader.SectorSize());
    uint32_t owner = 0, readVcn = 0;
    if (sector < 0 || !IndexHitAt(hits, sector, vcn) || !reader.Read(sector, &owner, &readVcn) || readVcn != vcn) {
      lastSector = -1;
      continue;
    }
    if (folder.record >= 0) {
      if (owner == uint64_t(folder.record)) return 2;
    } else if (lastSector >= 0 && owner == lastOwner &&
               sector - lastSector != int64_t(kBlockBytes / reader.SectorSize())) {
      return 2;
    }
    lastSector = sector;
    lastOwner = owner;
  }
  return 0;
}

std::vector<uint8_t> ReadFolderIndexRoot(Drive& drive, NTFSVol& vol, const FolderIndexStream& folder) {
  const uint32_t ss = drive.SectorSize() ? drive.SectorSize() : 512;
  const uint32_t recordBytes = vol.recordSize;
  if (folder.position < 0 || folder.record < 0 || recordBytes < 512 || recordBytes > 4096) return {};
  const uint32_t bytes = (recordBytes + ss - 1) / ss * ss;
  if (uint64_t(folder.position) + bytes / ss > drive.SectorCount()) return {};
  std::unique_ptr<uint8_t, void (*)(void*)> buf(static_cast<uint8_t*>(AlignedAlloc(bytes)), AlignedFree);
  if (!buf || !drive.ReadSectors(folder.position, bytes, drive.RetryPiece(), buf.get(), true)) return {};
  if (!CheckFILERecord(buf.get())) return {};
  inode rec;
  rec.Init(buf.get(), &vol);
  rec.followNameRecord = false;
  rec.keepIndexRoot = true;
  rec.position = uint64_t(folder.position);
  if (rec.parseEntry() != 0 || !rec.IsDirectory()) return {};
  // The place may hold another record by now.
  if ((rec.flags & kInodeNumberFromHeader) && rec.id != uint64_t(folder.record)) return {};
  return std::move(rec.indexRoot);
}

int VolFilesToParent(Drive& drive, NTFSVol& vol, const FolderIndexStream& folder, std::vector<HdrHit>& hits,
                     const std::function<void(uint8_t* block, size_t size)>& takeEntries,
                     const std::function<void(const uint8_t* root, size_t size)>& takeRoot) {
  if (takeRoot) {
    const std::vector<uint8_t> root = ReadFolderIndexRoot(drive, vol, folder);
    if (!root.empty()) takeRoot(root.data(), root.size());
  }
  if (!folder.runs || folder.record < 0 || folder.clusterCount < 1 || folder.clusterCount > kMaxIndexClusters ||
      !vol.clusterSize)
    return 0;
  BlockReader reader(drive);
  const uint64_t streamBytes = uint64_t(folder.clusterCount) * vol.clusterSize;
  int handed = 0;
  for (uint64_t off = 0; off < streamBytes; off += kBlockBytes) {
    const uint64_t vcn = off / vol.clusterSize;
    const int64_t sector = MapOffset(vol, folder.runs, off, reader.SectorSize());
    if (sector < 0) continue;
    HdrHit* hit = const_cast<HdrHit*>(IndexHitAt(hits, sector, vcn));
    if (!hit) continue;
    uint32_t owner = 0, readVcn = 0;
    uint8_t* block = reader.Read(sector, &owner, &readVcn);
    if (!block || readVcn != vcn || owner != uint64_t(folder.record)) continue;
    hit->flags |= kHitMatched;
    takeEntries(block, kBlockBytes);
    handed++;
  }
  return handed;
}
