// ext2/3/4's registration with the volume model: its volume class, the
// superblock test and where the volume lies, its node records, the entry
// parser of the folder walk and the reading of a file's data through its
// extent tree or block map.
#include "filesystems/ext/ExtFamily.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/DirEntries.h"
#include "filesystems/ext/ExtSession.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/ExtentTree.h"
#include "filesystems/ext/SuperBlock.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

namespace {

ExtentTreeTest g_extentTreeTest = nullptr;

const UnixNode* AsExtNode(const cnode* node) {
  return node && node->Family() == kNodeExt ? static_cast<const UnixNode*>(node) : nullptr;
}

// ---- volumes ----

CVol* CreateExtVolume(uint8_t) { return new (std::nothrow) CExt3Vol(); }

bool InitExtVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  auto* v = dynamic_cast<CUnixVol*>(&volume);
  if (!v) return false;
  Drive* d = drive ? drive : volume.drive;
  const uint32_t ss = d && d->SectorSize() ? d->SectorSize() : 512;
  if (!InitUnixVol(v, boot, sector, ss)) return false;
  if (!InitRootNode(v) && traceUnixFsA) TracePrintfA("Ext root inode not valid\n");
  return true;
}

// A superblock the search found stands when its backups agree.
bool ConfirmExtVolume(CVol& volume, const uint8_t* boot, Drive& drive) {
  return FindExt3BackupSuperBlock(drive, int64_t(volume.startSector), boot);
}

bool IsExtRoot(const CVol&, uint32_t id) { return id == kRootInode; }

// A volume that runs past the end of a cut image is kept when its
// superblock and group descriptors are on the drive: what lies past the
// end reads as unreadable sectors.
bool KeepsExtPastDriveEnd(CVol& volume, Drive& drive) {
  const auto* v = dynamic_cast<const CUnixVol*>(&volume);
  if (!v || !v->clusterSize || !v->groupCount) return false;
  const uint32_t dss = drive.SectorSize() ? drive.SectorSize() : 512;
  const unsigned __int128 driveBytes = (unsigned __int128)drive.SectorCount() * dss;
  const unsigned __int128 base = (unsigned __int128)v->startSector * dss;
  if (base + kSuperBlockOffset + kSuperBlockBytes > driveBytes) return false;
  const uint64_t perBlock = uint64_t(v->clusterSize) >> v->descShift;
  if (!perBlock) return false;
  const uint64_t blocks = (v->groupCount + perBlock - 1) / perBlock;
  if (base + (unsigned __int128)(v->DescriptorBlock(blocks - 1) + 1) * v->clusterSize > driveBytes) return false;
  // The first group's descriptor names its inode table inside the volume.
  std::vector<uint8_t> desc(v->clusterSize);
  uint32_t got = 0;
  if (!volume.ReadClusters(desc.data(), int64_t(v->DescriptorBlock(0)), 1, v->clusterSize, desc.size(), &got) ||
      got != 1)
    return false;
  const uint64_t table = Le32(desc.data() + kGdInodeTable);
  return table != 0 && table < v->totalBlocks;
}

// ---- the volume search ----

// Only the superblock of block group 0 starts a volume.
int ProbeExt(const uint8_t* s) { return IsExt3SuperBlock(s) == 0 ? kVolExt : 0; }

// The superblock lies 1024 bytes into the volume.
void LocateExt(BootLocate& w) {
  const uint32_t ss = w.sectorBytes;
  if (!ss || ss > kSuperBlockOffset) return;
  const ExtSuperBlock sb = ParseExtSuperBlock(w.sector);
  if (sb.logBlockSize > kMaxLogBlockSize) return;
  const uint64_t blockBytes = uint64_t(sb.BlockSize());
  if (blockBytes < ss || __builtin_mul_overflow(blockBytes / ss, sb.blockCount, &w.size)) return;
  const int64_t back = int64_t(kSuperBlockOffset / ss);
  if (w.position < back) return;
  w.start = w.position - back;
}

bool IsExtSuperKind(const uint8_t* s, const ClassifyContext*) { return IsExt3SuperBlock(s) >= 0; }

WString ExtFileSystemName(const CVol& volume) {
  const auto* v = dynamic_cast<const CExt3Vol*>(&volume);
  if (!v || !v->flavour) return WString();
  return FormatW(u"Ext%d", int(v->flavour));
}

// ---- reading ----

// Blocks lie past the end of a drive shorter than the volume from this
// block on (UINT64_MAX: the volume is on the drive whole).
uint64_t FirstBlockPastDriveEnd(const CVol& v) {
  const Drive* d = v.drive;
  if (!d || !v.clusterSize) return UINT64_MAX;
  const uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  const unsigned __int128 room = (unsigned __int128)d->SectorCount() * dss;
  const unsigned __int128 base = (unsigned __int128)v.startSector * dss;
  if ((unsigned __int128)v.sizeSectors * v.sectorSize + base <= room) return UINT64_MAX;
  return room <= base ? 0 : uint64_t((room - base) / v.clusterSize);
}

uint64_t Overlap(uint64_t first, uint64_t end, uint64_t limit) {
  return end > limit ? end - std::max(first, limit) : 0;
}

// Blocks of a block-mapped file at or past `limit`, by its block map.
uint64_t MappedBlocksPast(CUnixVol& v, const UnixNode& u, uint64_t limit) {
  const uint64_t blocks = (u.size + v.clusterSize - 1) / v.clusterSize;
  uint64_t past = 0;
  for (uint64_t at = 0; at < blocks;) {
    uint64_t first = 0;
    uint32_t corrupt = 0;
    const uint32_t n =
        v.CollectRun(u.List(), u.listLength, at, uint32_t(std::min<uint64_t>(blocks - at, 1u << 20)), &first, &corrupt);
    if (!n) break;
    if (first) past += Overlap(first, first + n, limit);
    at += n;
  }
  return past;
}

// The mapping of an extent-tree node: `aux` is the inode's 60-byte block
// area, else the node's own copy of it. Block-mapped nodes need none.
// Blocks past the end of a cut image are known to be wrong.
bool MapExtNode(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut) {
  uint8_t area[kInodeBlockAreaBytes];
  const UnixNode* u = AsExtNode(&node);
  const uint64_t limit = corruptOut ? FirstBlockPastDriveEnd(volume) : UINT64_MAX;
  if (!aux && u) {
    if (u->inlineData) return true;
    if (!u->extents) {
      auto* v = dynamic_cast<CUnixVol*>(&volume);
      if (v && limit != UINT64_MAX)
        *corruptOut = uint32_t(std::min<uint64_t>(MappedBlocksPast(*v, *u, limit), UINT32_MAX));
      return true;
    }
    u->BlockArea(area);
    aux = area;
  }
  if (!aux) return true;
  auto* reader = new (std::nothrow) ExtExtentReader(&volume);
  if (!reader) return false;
  volume.CreateExtents(reader);
  if (!reader->SetClusterSize(node.GetClusterBytes(volume.sectorSize))) return false;
  reader->Reset();
  if (!ExtLoadExtents(reader, static_cast<const uint8_t*>(aux), kInodeBlockAreaBytes)) return false;
  const uint32_t bytes = reader->clusterSize;
  reader->SetTotalClusters(node.size / bytes + (node.size % bytes ? 1 : 0));
  if (limit != UINT64_MAX) {
    uint64_t past = 0;
    for (size_t i = 0; i < reader->RunCount(); ++i) {
      const ExtentRun& r = reader->Runs()[i];
      if (!r.IsHole()) past += Overlap(r.lcn, r.lcnEnd, limit);
    }
    *corruptOut = uint32_t(std::min<uint64_t>(past, UINT32_MAX));
  }
  return true;
}

// Bytes of an extent-mapped node through the prepared extents: whole
// clusters into the buffer, a cut last one through a scratch cluster.
int64_t ReadThroughExtents(CVol* v, uint64_t offset, uint8_t* buffer, size_t capacity) {
  const uint32_t cs = v->extents ? v->extents->clusterSize : 0;
  if (!cs || offset % cs) return -1;
  const size_t whole = capacity / cs * cs;
  uint64_t done = 0;
  if (whole) {
    uint64_t got = 0;
    if (!v->ReadInodeDataCm(offset, whole, &got, nullptr, buffer, whole)) return -1;
    done = std::min<uint64_t>(got, whole);
    if (done < whole) return int64_t(done);
  }
  if (done < capacity) {
    std::vector<uint8_t> scratch(cs);
    uint64_t got = 0;
    if (!v->ReadInodeDataCm(offset + done, cs, &got, nullptr, scratch.data(), cs) || got == 0)
      return done ? int64_t(done) : -1;
    const size_t k = size_t(std::min<uint64_t>(capacity - done, got));
    memcpy(buffer + done, scratch.data(), k);
    done += k;
  }
  return int64_t(done);
}

// A folder's blocks are written as it grows, between the data of the files
// made in it meanwhile: read one by one they cost a drive request each.
// Blocks that lie within one transfer of each other, with little between
// them, are read in one request and taken out of it: a request costs about
// as much as copying 64 KiB, so each piece joins a request only when it
// brings at most that much unwanted data along. A request that met a read
// error is read again piece by piece, so that each block gets the reading
// (and zeros) it gets alone.
constexpr uint64_t kGatherBytes = 0x100000;
constexpr uint64_t kGatherGapBytes = 0x10000;
constexpr int kGatherSlot = 6;

int64_t ReadFolderThroughExtents(CVol* v, uint64_t offset, uint8_t* buffer, size_t capacity) {
  CExtents* map = v->extents.get();
  const uint32_t cs = map ? map->clusterSize : 0;
  Drive* drive = v->drive;
  if (!cs || !drive || cs != v->clusterSize || offset % cs || capacity % cs || cs > kGatherBytes)
    return ReadThroughExtents(v, offset, buffer, capacity);
  struct Piece {
    uint64_t at, lcn, count;  // at: the first cluster's place in the buffer
  };
  thread_local std::vector<Piece> pieces;
  pieces.clear();
  const uint64_t first = offset / cs, clusters = capacity / cs;
  uint64_t done = 0;
  while (done < clusters) {
    uint64_t left = 0, next = 0;
    const uint64_t lcn = map->VcnToLcn(first + done, &left, &next);
    const uint64_t want = clusters - done;
    if (left > 0) {
      // What the plain read refuses, it refuses itself.
      if (lcn > uint64_t(INT64_MAX) / cs) return ReadThroughExtents(v, offset, buffer, capacity);
      const uint64_t n = std::min(left, want);
      pieces.push_back(Piece{done, lcn, n});
      done += n;
    } else {
      if (next == 0) {
        if (done == 0) return ReadThroughExtents(v, offset, buffer, capacity);
        break;  // past the mapping: what lies before it
      }
      const uint64_t n = std::min(next, want);
      memset(buffer + done * cs, 0, size_t(n * cs));
      done += n;
    }
  }
  auto readAlone = [&](const Piece& p) {
    uint32_t got = 0;
    return v->ReadClusters(buffer + p.at * cs, int64_t(p.lcn), uint32_t(p.count), cs, size_t(p.count * cs), &got) &&
           got == p.count;
  };
  const uint64_t spanLimit = kGatherBytes / cs, gapLimit = kGatherGapBytes / cs;
  for (size_t i = 0; i < pieces.size();) {
    // The pieces from i whose blocks lie within one transfer, with at most
    // gapLimit blocks not theirs per piece.
    uint64_t lo = pieces[i].lcn, hi = pieces[i].lcn + pieces[i].count, wanted = pieces[i].count;
    size_t end = i + 1;
    while (end < pieces.size()) {
      const uint64_t a = std::min(lo, pieces[end].lcn), b = std::max(hi, pieces[end].lcn + pieces[end].count);
      const uint64_t w = wanted + pieces[end].count;
      if (b - a > spanLimit || b - a > w + (end - i) * gapLimit) break;
      lo = a, hi = b, wanted = w;
      ++end;
    }
    bool gathered = false;
    if (end - i > 1) {
      uint8_t* scratch = ThreadScratchBuffer(kGatherSlot, kGatherBytes);
      const uint32_t errors = drive->TotalErrors();
      uint32_t got = 0;
      if (scratch && v->ReadClusters(scratch, int64_t(lo), uint32_t(hi - lo), cs, kGatherBytes, &got) &&
          got == hi - lo && drive->TotalErrors() == errors) {
        for (size_t k = i; k < end; ++k)
          memcpy(buffer + pieces[k].at * cs, scratch + (pieces[k].lcn - lo) * cs, size_t(pieces[k].count * cs));
        gathered = true;
      }
    }
    if (!gathered)
      for (size_t k = i; k < end; ++k)
        if (!readAlone(pieces[k])) return -1;
    i = end;
  }
  return int64_t(done * cs);
}

int64_t ReadExtData(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity) {
  const UnixNode* u = AsExtNode(&node);
  auto* v = dynamic_cast<CUnixVol*>(&volume);
  if (!u || !v) return -1;
  if (u->inlineData) {
    // The data kept from the inode; an inode whose data the node could not
    // keep whole is not read.
    if (u->size > u->listLength) {
      ErrorMsg(u"The file's data is inside its inode (inline data), which could not be read whole.");
      return -1;
    }
    if (offset >= u->size) return 0;
    const size_t n = size_t(std::min<uint64_t>(capacity, u->size - offset));
    memcpy(buffer, u->List() + offset, n);
    return int64_t(n);
  }
  if (u->extents)
    return u->IsDirectory() ? ReadFolderThroughExtents(v, offset, buffer, capacity)
                            : ReadThroughExtents(v, offset, buffer, capacity);
  uint32_t corrupt = 0;
  return v->ReadFileData(offset, capacity, buffer, capacity, u->List(), u->listLength, &corrupt);
}

bool ExtBlockMapped(const cnode* node) {
  if (g_extentTreeTest) return !g_extentTreeTest(node);
  return IsUnixBlockMapped(node);
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateExtNode;
  ops.destroy = DestroyUnixNode;
  ops.copyFields = CopyUnixNodeFields;
  ops.fileTime = GetUnixNodeFileTime;
  ops.firstSector = GetUnixNodeFirstSector;
  ops.blockMapped = ExtBlockMapped;
  ops.traits = kNodeTraitNoSymlinks | kNodeTraitSparseFiles;
  return ops;
}();

// A superblock the Long Scan meets, the primary or a group's copy: the
// volume it belongs to joins the table when its backups confirm it (a
// volume whose primary superblock is gone is found from a copy).
int TakeExtSuper(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d || visit.bytesLeft < kSuperBlockHeadBytes) return 0;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  const int64_t start = Ext3SuperBlockStart(visit.position, visit.sector, ss);
  if (start < 0) return 0;
  // Every copy of a known volume names it again: nothing to read then.
  for (uint32_t i = 0; i < VolumeCount(*d); ++i) {
    const CVol* v = VolumeAt(*d, i);
    if (v && v->type == kVolExt && int64_t(v->startSector) == start) return 1;
  }
  visit.volumeFound = ProcBootCm(start, visit.sector, kVolExt, nullptr, d);
  return 1;
}

const SectorKindEntry kSectorKinds[] = {
    {kSectExtSuper, IsExtSuperKind, TakeExtSuper, 60},
    // A directory block wins over whatever its first bytes looked like.
    {kSectUnixDir, nullptr, nullptr, 200, kKindOverrides},
};

const FamilyType kTypes[] = {
    {.code = kVolExt,
     .name = u"Ext 3/4",
     .dialog = {.rowMessages = {585, 586, 587, 588},
                .rowsReadOnly = true,
                .blockLabelled = true,
                .checksInodeSize = true,
                .bootBlockOffset = 2}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateExtVolume,
    .init = InitExtVolume,
    .confirm = ConfirmExtVolume,
    .isRootId = IsExtRoot,
    .fileSystemName = ExtFileSystemName,
};

const FamilySearchOps kSearch = {.probe = ProbeExt, .locate = LocateExt, .keepsPastDriveEnd = KeepsExtPastDriveEnd};

const FamilyDataOps kData = {.map = MapExtNode, .read = ReadExtData};

const FamilyScanOps kScans = {
    .walkFolders = kWalkInQuickScan | kWalkInLongScan,
    .parseEntries = ParseExtEntries,
    // A folder's size is whole blocks unless its data is inline: the entry
    // parser applies the rule.
    .folderSizeInClusters = false,
    .sectorKinds = kSectorKinds,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = ExtWriteVolumeTail,
    .readVolumeTail = ExtReadVolumeTail,
    .writeNodeTail = ExtWriteNodeTail,
    .readNodeTail = ExtReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "ext",
    .types = kTypes,
    .nodeFamily = kNodeExt,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void SetExtentTreeTest(ExtentTreeTest test) { g_extentTreeTest = test; }

void RegisterExtFamily() { RegisterVolumeFamily(kFamily); }
