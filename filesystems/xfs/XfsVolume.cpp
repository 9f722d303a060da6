#include "filesystems/xfs/XfsVolume.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/XfsNode.h"
#include "foundation/AppState.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "volumes/Extents.h"
#include "volumes/VolumeSearch.h"

using namespace xfs;

namespace {

// Inodes are read in windows of this many bytes: a folder's files lie in
// few inode chunks.
constexpr uint32_t kWindowBytes = 0x10000;

bool PowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }

// log2 rounded up.
uint32_t Log2Up(uint64_t v) {
  uint32_t n = 0;
  while (n < 64 && (uint64_t(1) << n) < v) n++;
  return n;
}

WString IncompatNames(uint32_t bits) {
  WString out;
  for (uint32_t bit = 1; bit; bit <<= 1) {
    if (!(bits & bit)) continue;
    if (!out.empty()) out += u", ";
    out += bit == kIncompatNrext64 ? FormatW(u"nrext64 (0x%x)", bit) : FormatW(u"0x%x", bit);
  }
  return out;
}

}  // namespace

CXFSVol::CXFSVol() {
  type = kVolXfs;
  sectorSize = 512;
}

CXFSVol::~CXFSVol() {
  if (rootNode) DeleteNode(&rootNode);
}

int CXFSVol::Init(const uint8_t* s, int64_t start, Drive* d) {
  if (!s || start < 0) return 0;
  if (!d) d = drive;
  if (!IsXFSSuperBlock(s)) return 0;
  sb = ParseXfsSuperBlock(s);
  // 1. The superblock's sector size.
  if (!PowerOfTwo(sb.sectorSize) || sb.sectorSize < 512 || sb.sectorSize > 4096) {
    VErrorMsg(u"XFS sector size %d is not read.", int32_t(sb.sectorSize));
    return 0;
  }
  // 2. The volume's sectors are the drive's.
  const uint32_t ss = d && d->SectorSize() ? d->SectorSize() : 512;
  if (!SetSectorSize(ss)) return 0;
  // 3. The groups.
  if (sb.agCount == 0 || sb.agCount > 65536 || sb.agBlocks == 0) return 0;
  if (Log2Up(sb.agBlocks) != sb.logAgBlocks) return 0;
  agCount = sb.agCount;
  agBlocks = sb.agBlocks;
  // 4. Inodes.
  if (!PowerOfTwo(sb.inodeSize) || sb.inodeSize < 256 || sb.blockSize % sb.inodeSize) return 0;
  inodeSize = sb.inodeSize;
  // 5. Blocks are clusters.
  if (sb.blockSize < ss || !SetClusterSize(sb.blockSize)) return 0;
  // 6. log2 inodes per block.
  if (Log2Up(sb.blockSize / sb.inodeSize) != sb.logInodesPerBlock) return 0;
  // 7. Size, root, used inodes, label.
  if (sb.dataBlocks == 0 || sb.dataBlocks > UINT64_MAX / sectorsPerCluster) return 0;
  sizeSectors = sb.dataBlocks * sectorsPerCluster;
  rootInode = sb.rootInode == kNullInode ? kDefaultRootInode : sb.rootInode;
  usedInodes = sb.freeInodes > sb.inodeCount ? 0 : sb.inodeCount - sb.freeInodes;
  label = AnsiPrintableToWide(sb.name, kSbNameBytes);
  v5 = sb.IsV5();
  ftype = sb.HasFtype();
  dirBlockBytes = sb.dirBlockLog < 16 && (uint64_t(sb.blockSize) << sb.dirBlockLog) <= 65536
                      ? sb.blockSize << sb.dirBlockLog
                      : sb.blockSize;
  refusal.clear();
  if (const uint32_t unknown = sb.UnknownIncompat())
    refusal = FormatW(
        u"The XFS volume at sector %I64d uses features this program does not read (%s): its files "
        u"are not listed.",
        start, IncompatNames(unknown));
  startSector = uint64_t(start);
  drive = d;
  // 8. The rest of the geometry.
  if (!SetGeometry()) return 0;
  if (rootNode) DeleteNode(&rootNode);
  auto* root = new (std::nothrow) XfsNode();
  if (!root) return 0;
  root->SetInode(rootInode);
  root->flags2 |= kNode2Directory;
  // The root's size (a shortform folder's is its fork's) when it can be read.
  if (refusal.empty() && IsValidInode(rootInode)) {
    if (const uint8_t* raw = ReadInode(rootInode)) {
      const XfsInodeCore c = ParseXfsInode(raw, inodeSize);
      if (c.Valid() && c.IsDirectory()) {
        root->size = c.size;
        root->time = c.modifySeconds;
        if (c.format == kFormatLocal && XfsForkBytes(c, inodeSize) > 0)
          root->size = uint64_t(XfsForkBytes(c, inodeSize));
      }
    }
  }
  rootNode = root;
  return 1;
}

bool CXFSVol::SetGeometry() {
  if (!agBlocks || !inodeSize || !PowerOfTwo(inodeSize) || !clusterSize || clusterSize % inodeSize) return false;
  if (agBlocks > UINT32_MAX / 2) return false;
  logAgBlocks = Log2Up(agBlocks);
  agBlockMask = (uint64_t(1) << logAgBlocks) - 1;
  inodeLog = Log2Up(inodeSize);
  inodeMask = inodeSize - 1;
  inodesPerBlock = clusterSize / inodeSize;
  inopbLog = Log2Up(inodesPerBlock);
  inopbMask = inodesPerBlock - 1;
  inodesPerGroup = uint64_t(inodesPerBlock) * agBlocks;
  aginoWidth = Log2Up(inodesPerGroup);
  if (aginoWidth > 32) return false;
  aginoMask = aginoWidth == 32 ? 0xFFFFFFFFull : (uint64_t(1) << aginoWidth) - 1;
  sectorsPerGroup = uint64_t(sectorsPerCluster) * agBlocks;
  if (!sectorsPerCluster) return false;
  totalBlocks = sizeSectors / sectorsPerCluster;
  blocksInLastGroup = totalBlocks % agBlocks;
  if (agCount == 0) agCount = uint32_t(std::min<uint64_t>(65536, totalBlocks / agBlocks + (blocksInLastGroup ? 1 : 0)));
  if (agCount == 0) return false;
  inodesInLastGroup = uint64_t(inodesPerBlock) * blocksInLastGroup;
  lastSector_ = UINT64_MAX;
  for (Window& w : windows_) w.first = UINT64_MAX;
  return true;
}

bool CXFSVol::IsValidInode(uint64_t n) const {
  if (!n || !aginoWidth || aginoWidth >= 64) return false;
  const uint64_t group = n >> aginoWidth, agino = n & aginoMask;
  if (group >= agCount || agino >= inodesPerGroup) return false;
  if (group == agCount - 1 && inodesInLastGroup && agino >= inodesInLastGroup) return false;
  return true;
}

bool CXFSVol::InodePlace(uint64_t n, uint64_t* block, uint32_t* byte) const {
  if (!IsValidInode(n)) return false;
  const uint64_t group = n >> aginoWidth, agino = n & aginoMask;
  *block = group * agBlocks + (agino >> inopbLog);
  *byte = uint32_t((agino & inopbMask) << inodeLog);
  return true;
}

uint64_t CXFSVol::SectorToInode(uint64_t s) {
  if (s == lastSector_) return lastSectorInode_;
  uint64_t n = 0;
  if (s < sizeSectors && sectorsPerGroup) {
    const uint64_t group = s / sectorsPerGroup, within = s % sectorsPerGroup;
    n = (group << aginoWidth) + ((within * sectorSize) >> inodeLog);
  }
  lastSector_ = s;
  lastSectorInode_ = n;
  return n;
}

uint64_t CXFSVol::FsBlockToVolume(uint64_t f) {
  const uint64_t group = logAgBlocks < 64 ? f >> logAgBlocks : 0, rel = f & agBlockMask;
  if (group >= agCount) {
    VErrorMsg(u"XFS AG number out of bound: %ld", int32_t(group));
    return 0;
  }
  if (rel >= agBlocks) {
    VErrorMsg(u"XFS AG relative number out of bound: %ld", int32_t(rel));
    return 0;
  }
  return group * agBlocks + rel;
}

bool CXFSVol::ReadFsBlock(uint64_t fsblock, uint8_t* out) {
  const uint64_t v = FsBlockToVolume(fsblock);
  if (!v || v >= totalBlocks) return false;
  uint32_t got = 0;
  return ReadClusters(out, int64_t(v), 1, clusterSize, clusterSize, &got) && got == 1;
}

const uint8_t* CXFSVol::ReadInode(uint64_t n) {
  uint64_t block = 0;
  uint32_t byte = 0;
  if (!InodePlace(n, &block, &byte) || block >= totalBlocks) return nullptr;
  const uint64_t at = block * clusterSize + byte;
  for (Window& w : windows_) {
    if (w.first != UINT64_MAX && at >= w.first && at + inodeSize <= w.first + w.bytes) {
      w.used = ++clock_;
      return w.data.get() + (at - w.first);
    }
  }
  Window* victim = &windows_[0];
  for (Window& w : windows_)
    if (w.used < victim->used) victim = &w;
  const uint32_t span = std::max(kWindowBytes, clusterSize);
  const uint64_t volumeBytes = totalBlocks * clusterSize;
  const uint64_t first = at / span * span;
  const uint32_t bytes = uint32_t(std::min<uint64_t>(span, volumeBytes - first));
  if (!victim->data) {
    victim->data.reset(new (std::nothrow) uint8_t[span]);
    if (!victim->data) return nullptr;
  }
  victim->first = UINT64_MAX;
  const uint32_t blocks = bytes / clusterSize;
  uint32_t got = 0;
  if (!blocks || !ReadClusters(victim->data.get(), int64_t(first / clusterSize), blocks, clusterSize, span, &got) ||
      got != blocks)
    return nullptr;
  victim->first = first;
  victim->bytes = bytes;
  victim->used = ++clock_;
  if (at + inodeSize > first + bytes) return nullptr;
  return victim->data.get() + (at - first);
}

XfsForkResult CXFSVol::InodeRuns(const uint8_t* inode, const XfsInodeCore& core) {
  return XfsInodeGetRuns(inode, inodeSize, core, *this, Options().xfsIgnoreMissingBmap != 0);
}

XfsNode* CXFSVol::NodeFromInode(uint64_t n, const uint8_t* raw) {
  if (!raw) return nullptr;
  const XfsInodeCore c = ParseXfsInode(raw, inodeSize);
  if (!c.Valid() || !c.Type()) return nullptr;
  auto* node = new (std::nothrow) XfsNode();
  if (!node) return nullptr;
  node->SetInode(n);
  if (c.IsDirectory()) node->flags2 |= kNode2Directory;
  if (c.IsSymlink()) node->flags |= kNodeSymlink;
  node->time = c.modifySeconds;
  node->size = c.size;
  if (c.IsDirectory() && c.format == kFormatLocal) {
    const int64_t fork = XfsForkBytes(c, inodeSize);
    node->size = fork > 0 ? uint64_t(fork) : 0;
  }
  node->volumeIndex = volumeNumber;
  SetNodeClusterCode(node);
  return node;
}

bool CXFSVol::MapNode(const XfsNode& node) {
  mappedLocal_ = false;
  mappedFork_.clear();
  CExtents* map = CreateExtents();
  if (!refusal.empty()) {
    if (!refusalTold && Options().view) Options().view->LogLine(refusal);
    refusalTold = true;
    ErrorMsg(refusal);
    return false;
  }
  const uint64_t n = node.Inode();
  const uint8_t* raw = ReadInode(n);
  if (!raw) {
    ErrorMsg(u"Invalid XFS inode number");
    return false;
  }
  const XfsInodeCore core = ParseXfsInode(raw, inodeSize);
  if (!core.Valid()) return false;
  XfsForkResult r = InodeRuns(raw, core);
  if (!r.ok) return false;
  if (r.local) {
    mappedLocal_ = true;
    mappedFork_.assign(raw + r.forkStart, raw + r.forkStart + r.forkBytes);
    return true;
  }
  std::sort(r.runs.begin(), r.runs.end(), [](const ExtentRun& a, const ExtentRun& b) { return a.vcn < b.vcn; });
  for (const ExtentRun& run : r.runs)
    if (!map->AppendRun(run.vcn, run.lcn, run.Length())) return false;
  // Past its last block a file reads as a hole, but only as far as the
  // volume could hold it: a larger size is damage, and reading ends with
  // the blocks mapped (a failed, never a zero-filled, copy).
  const uint64_t cs = clusterSize;
  if (node.size <= totalBlocks * cs)
    map->SetTotalClusters(std::max<uint64_t>(map->TotalClusters(), node.size / cs + (node.size % cs ? 1 : 0)));
  return true;
}

int64_t CXFSVol::ReadMapped(uint64_t offset, uint8_t* buffer, size_t capacity) {
  if (mappedLocal_) {
    if (offset >= mappedFork_.size()) return 0;
    const size_t n = std::min<size_t>(capacity, mappedFork_.size() - size_t(offset));
    std::memcpy(buffer, mappedFork_.data() + offset, n);
    return int64_t(n);
  }
  // Whole blocks into the buffer, a cut last one through a scratch block.
  const uint32_t cs = extents ? extents->clusterSize : 0;
  if (!cs || offset % cs) return -1;
  const size_t whole = capacity / cs * cs;
  uint64_t done = 0;
  if (whole) {
    uint64_t got = 0;
    if (!ReadInodeDataCm(offset, whole, &got, nullptr, buffer, whole)) return -1;
    done = std::min<uint64_t>(got, whole);
    if (done < whole) return int64_t(done);
  }
  if (done < capacity) {
    if (scratch_.size() < cs) scratch_.resize(cs);
    uint64_t got = 0;
    if (!ReadInodeDataCm(offset + done, cs, &got, nullptr, scratch_.data(), cs) || got == 0)
      return done ? int64_t(done) : -1;
    const size_t k = size_t(std::min<uint64_t>(capacity - done, got));
    std::memcpy(buffer + done, scratch_.data(), k);
    done += k;
  }
  return int64_t(done);
}

int64_t XFSVolumeStart(int64_t sector, const uint8_t* buffer, uint32_t sectors, Drive* drive) {
  if (!buffer || sector < 0) return -1;
  if (sector == 63 || sector == 2048) return sector;
  const XfsSuperBlock sb = ParseXfsSuperBlock(buffer);
  const uint32_t ss = drive && drive->SectorSize() ? drive->SectorSize() : 512;
  const uint32_t look = sb.blockSize / ss;
  if (!look || !sb.agBlocks) return -1;
  std::vector<uint8_t> more;
  for (uint32_t k = 1; k <= look; ++k) {
    const uint8_t* s = nullptr;
    if (k < sectors) {
      s = buffer + size_t(k) * ss;
    } else {
      if (!drive) return -1;
      more.resize(ss);
      if (!ReadSectorsWaited(*drive, sector + k, ss, more.data())) return -1;
      s = more.data();
    }
    if (!IsXFSAGF(s)) continue;
    const unsigned __int128 back = (unsigned __int128)XfsAgfSequence(s) * sb.agBlocks * (sb.blockSize / ss);
    if (back > uint64_t(sector)) return -1;
    return sector - int64_t(back);
  }
  return -1;
}
