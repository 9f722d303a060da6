#include "filesystems/ext/LongScan.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/DirBlocks.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/NameTrees.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileFilter.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

namespace {

// The sweeps read this much at a time.
constexpr uint32_t kSweepBytes = 0x100000;
constexpr size_t kMaxFolderPath = 1023;

// Progress of a sweep over [from, to) (steps of a 98th, never 99 or more).
class SweepProgress {
 public:
  SweepProgress(ScanSink& engine, int from, int to, uint64_t total)
      : engine_(engine), from_(from), to_(to), total_(total ? total : 1) {}
  void At(uint64_t done) {
    if (from_ < 0) return;
    const int p = std::min(98, from_ + int((unsigned __int128)done * uint64_t(to_ - from_) / total_));
    if (p != last_) {
      last_ = p;
      engine_.SetPercentComplete(p, 1);
    }
  }

 private:
  ScanSink& engine_;
  int from_, to_, last_ = -1;
  uint64_t total_;
};

bool Shown(uint8_t show, bool deleted) { return deleted ? (show & 1) : (show & 2); }

// The folder path of a file whose folder is `parent` ("\Extra files\" when
// it has none, "\Extra files\Folder<N>\..." below the folder where the
// chain breaks); *complete when it reaches the root.
WString SweptFolder(const UnixNameTrees* trees, uint32_t parent, bool* complete) {
  const WString extra = u"\\" + Msg(15) + u"\\";
  *complete = false;
  if (!parent) return extra;
  if (parent == kRootInode) {
    *complete = true;
    return u"\\";
  }
  uint32_t broken = parent;
  WString below;
  if (trees) below = trees->FolderPath(parent, kRootInode, &broken);
  if (!broken) {
    *complete = true;
    return below;
  }
  WString path = extra + Msg(39) + FormatW(u"%u\\", broken) + below;
  if (path.size() > kMaxFolderPath) path = extra + Msg(39) + FormatW(u"%u\\", broken);
  return path;
}

// Hands the node over under its folder when the filters admit it; false
// when it was not handed over (filtered, or past the list's window).
bool HandOver(ScanSink& engine, CUnixVol& v, cnode* node, int64_t index, const WString& folder, const WString& name) {
  const AppState& options = engine.Options();
  if (options.fileFilter && !options.fileFilter->ContainsW(name)) return false;
  if (engine.PathFilterMatch((folder + name).c_str()) != 0) return false;
  node->flags |= kNodeHandedOver;
  engine.CountStat(kStatItemsFound);
  if (node->flags & kNodeDeleted) engine.CountStat(kStatDeletedFound);
  engine.StoreFileItem(WString(v.driveLetter), folder, index);
  return true;
}

// The entries of a folder found by its inode, named into the trees.
void NameFolderData(CUnixVol& v, UnixNode* folder, std::vector<uint8_t>& buffer) {
  if (!v.BuildNodeExtents(folder)) return;
  const uint64_t volumeBytes = v.sizeSectors * uint64_t(v.sectorSize);
  const uint64_t size = std::min<uint64_t>(folder->size, volumeBytes);
  uint32_t parent = folder->id;
  UnixNameTrees& trees = v.Trees();
  trees.AddFolder(folder->id, 0, nullptr, 0, kNameHidden);
  if (folder->inlineData) {
    // The parent's number, then the records of the block area and of the
    // attribute's part.
    const int64_t got = v.ReadNodeData(*folder, 0, size, buffer.data(), buffer.size());
    if (got <= int64_t(kInlineParentBytes)) return;
    trees.SetFolderParent(folder->id, Le32(buffer.data()));
    const size_t first = std::min<size_t>(size_t(got), kInodeBlockAreaBytes);
    NameUnixEntries(v, buffer.data() + kInlineParentBytes, first - kInlineParentBytes, &parent);
    if (size_t(got) > first) NameUnixEntries(v, buffer.data() + first, size_t(got) - first, &parent);
    return;
  }
  for (uint64_t at = 0; at < size && !v.StopRequested();) {
    const uint64_t want = std::min<uint64_t>(size - at, buffer.size());
    const int64_t got = v.ReadNodeData(*folder, at, want, buffer.data(), buffer.size());
    if (got <= 0) break;
    NameUnixEntries(v, buffer.data(), size_t(std::min<uint64_t>(uint64_t(got), want)), &parent);
    at += uint64_t(got);
  }
}

}  // namespace

ExtRunState& ExtRun(ScanSink& engine) {
  std::shared_ptr<void>& slot = engine.FamilyState(kNodeExt);
  if (!slot) {
    auto state = std::make_shared<ExtRunState>();
    state->exitCounter = engine.Options().extExitAfterLongScan;
    slot = state;
  }
  return *static_cast<ExtRunState*>(slot.get());
}

int Ext3LongScan(CExt3Vol& v, ScanSink& engine, int progressFrom, int progressTo) {
  TRACE_FN("Ext3LongScan");
  if (traceUnixFsA)
    TracePrintfA("Ext3 long scan - Vol @ %I64d - size %I64d - groups %ld\n", int64_t(v.startSector),
                 int64_t(v.sizeSectors), int32_t(v.groupCount));
  ExtRunState& run = ExtRun(engine);
  const AppState& options = engine.Options();
  const uint8_t show = options.scanFlag.load();
  // The reserved inodes (journal, resize inode) are the file system's own.
  uint64_t first = std::max<int64_t>(options.extStartInode, 1);
  first = std::max<uint64_t>(first, v.firstInode);
  // The end is exclusive: the last inode is scanned.
  uint64_t end = uint64_t(v.inodeCount) + 1;
  if (options.extLastInode > 0) end = std::min<uint64_t>(end, uint64_t(options.extLastInode));
  UnixNameTrees& trees = v.Trees();
  UnixInodeCache cache(kSweepBytes);
  std::vector<uint8_t> buffer(kSweepBytes);
  const ExtInodeContext context = v.InodeContext();
  SweepProgress progress(engine, progressFrom, progressTo, end > first ? end - first : 1);
  // The root folder is among the reserved inodes: its entries name the
  // files at the top.
  if (!trees.Listed(kRootInode) && v.rootNode && v.rootNode->IsDirectory())
    NameFolderData(v, static_cast<UnixNode*>(v.rootNode), buffer);
  for (uint64_t i = first; i < end; ++i) {
    if ((i - first) % std::max<uint32_t>(1, v.inodesPerGroup) == 0) {
      if (engine.StopRequested()) break;
      engine.WaitWhilePaused();
      if (traceUnixFsA) TracePrintfA("Scan group %ld\n", int32_t((i - 1) / v.inodesPerGroup));
      progress.At(i - first);
    }
    if (trees.Listed(i)) continue;
    const uint8_t* raw = v.GetInode(i, nullptr, cache);
    if (!raw || !IsExtInode(raw, context, false)) continue;
    const ExtInode n = ParseExtInode(raw);
    if (!n.IsRegular() && !n.IsDirectory() && !n.IsSymlink()) continue;
    auto* node = static_cast<UnixNode*>(CreateExtNode());
    if (!node) continue;
    cnode* holder = node;
    if (!FromExtInode(node, n, &v)) {
      DeleteNode(&holder);
      continue;
    }
    if (node->extents) v.sawExtents = true;
    node->id = uint32_t(i);
    node->volumeIndex = v.volumeNumber;
    v.SetNodeClusterCode(node);
    // Unlinked, or in a slot the bitmap gives no file (a reformatted
    // volume's old files).
    if (n.IsDeleted() || !v.InodeAllocated(i)) node->flags |= kNodeDeleted;
    else node->flags &= uint16_t(~kNodeDeleted);
    if (traceUnixFsA)
      TracePrintfA("Ext3 %s inode %ld @ %I64d size %I64d\n", node->IsDirectory() ? "dir" : "file", int32_t(i),
                   int64_t(v.startSector), int64_t(node->size));
    if (node->IsDirectory()) {
      if (node->inlineData || node->size % v.clusterSize == 0) NameFolderData(v, node, buffer);
      DeleteNode(&holder);
      continue;
    }
    const bool deleted = (node->flags & kNodeDeleted) != 0;
    if (!Shown(show, deleted)) {
      DeleteNode(&holder);
      continue;
    }
    // Named and listed when every name is known: folders found later (by
    // their inodes, or their blocks anywhere) may still name it, or give
    // it a further name.
    int64_t index = -1;
    if (!engine.AddNewNode(node, false, &index)) continue;
    run.pending.push_back(index);
    engine.AddFoundCount(1);
  }
  progress.At(end > first ? end - first : 1);
  if (run.exitCounter != 0) run.exitCounter++;
  return -1;
}

namespace {

// The volume's blocks read in order, each chunk read while the one before
// is looked at: the drive's read of the next chunk is started before the
// caller goes through this one. A chunk that cannot be read comes back as
// zeros (the drive counted it).
class BlockStream {
 public:
  BlockStream(CUnixVol& v, uint32_t chunkBytes) : v_(v), d_(*v.drive) {
    ds_ = d_.SectorSize() ? d_.SectorSize() : 512;
    chunk_ = std::max<uint32_t>(v.clusterSize, chunkBytes / v.clusterSize * v.clusterSize);
    const unsigned __int128 bytes = (unsigned __int128)v.totalBlocks * v.clusterSize;
    end_ = uint64_t(std::min<unsigned __int128>(bytes, (unsigned __int128)v.sizeSectors * v.sectorSize));
    for (auto& b : buffers_) b.assign(chunk_, 0);
    aligned_ = uint64_t(v.startSector) * ds_ % ds_ == 0 && chunk_ % ds_ == 0;
  }
  ~BlockStream() {
    if (pending_) {
      try {
        d_.FinishRead();
      } catch (const DvCodeError&) {
      }
    }
  }
  // The next chunk: its first block, its blocks, its bytes; false at the
  // end.
  bool Next(uint64_t* firstBlock, uint32_t* blocks, const uint8_t** data) {
    if (at_ >= end_) return false;
    const uint32_t n = uint32_t(std::min<uint64_t>(chunk_, end_ - at_));
    uint8_t* into = buffers_[which_].data();
    if (pending_) {
      pending_ = false;
      if (!d_.FinishRead()) Zero(into, n);
    } else if (!Read(at_, n, into, true)) {
      Zero(into, n);
    }
    // The read of the chunk after this one runs meanwhile.
    const uint64_t next = at_ + n;
    if (next < end_ && aligned_) {
      const uint32_t m = uint32_t(std::min<uint64_t>(chunk_, end_ - next));
      pending_ = Read(next, m, buffers_[1 - which_].data(), false);
    }
    *firstBlock = at_ / v_.clusterSize;
    *blocks = n / v_.clusterSize;
    *data = into;
    at_ = next;
    which_ = 1 - which_;
    return true;
  }

 private:
  bool Read(uint64_t byte, uint32_t n, uint8_t* into, bool wait) {
    if (!aligned_ || n % ds_) {
      if (!wait) return false;
      uint32_t got = 0;
      return v_.ReadClusters(into, int64_t(byte / v_.clusterSize), n / v_.clusterSize, v_.clusterSize, n, &got) &&
             got == n / v_.clusterSize;
    }
    const int64_t sector = int64_t(v_.startSector + byte / ds_);
    uint8_t* r = d_.ReadSectors(sector, n, d_.RetryPiece(), into, wait);
    return wait ? r != nullptr : r == Drive::kReadStarted;
  }
  void Zero(uint8_t* into, uint32_t n) {
    if (traceUnixFsA) TracePrintfA("Ext Read error %d\n", int32_t(n));
    memset(into, 0, n);
  }
  CUnixVol& v_;
  Drive& d_;
  uint32_t ds_ = 512, chunk_ = 0;
  uint64_t at_ = 0, end_ = 0;
  std::vector<uint8_t> buffers_[2];
  int which_ = 0;
  bool pending_ = false, aligned_ = false;
};

}  // namespace

int ScanDirBlocks(CExt3Vol& v, ScanSink& engine, int progressFrom, int progressTo) {
  TRACE_FN("CExt3Vol::ScanDirBlocks");
  const uint32_t cs = v.clusterSize;
  if (!cs || !v.drive) return 1;
  const uint32_t transfer = v.drive->TransferSize() ? v.drive->TransferSize() : kSweepBytes;
  BlockStream stream(v, std::min(transfer, kSweepBytes));
  SweepProgress progress(engine, progressFrom, progressTo, v.totalBlocks);
  uint32_t parent = 0;
  bool inRun = false;
  int found = 0;
  const uint64_t inodes = uint64_t(v.inodeCount) + v.inodeBase;
  const int kind = v.DirBlockKind();
  uint64_t first = 0;
  uint32_t n = 0;
  const uint8_t* data = nullptr;
  while (!engine.StopRequested() && stream.Next(&first, &n, &data)) {
    engine.WaitWhilePaused();
    if (traceUnixFsA) TracePrintfA("Ext Reading %I64d\n", int64_t(first));
    for (uint32_t k = 0; k < n; ++k) {
      const uint8_t* block = data + size_t(k) * cs;
      const bool opens = IsUnixDirBlock(block, nullptr, nullptr) == kind;
      if (opens || IsUnixDirEntryRun(block, cs, inodes)) {
        // A run of entries right after a folder's blocks continues that
        // folder.
        if (opens || !inRun) parent = 0;
        NameUnixEntries(v, block, cs, &parent);
        inRun = true;
        ++found;
      } else {
        inRun = false;
      }
    }
    progress.At(first + n);
  }
  if (traceUnixFsA) TracePrintfA("Ext iRetCode %ld\n", int32_t(found));
  return 1;
}

void PlaceSweptFiles(ScanSink& engine, Drive* drive, const CUnixVol* only) {
  ExtRunState& run = ExtRun(engine);
  CNdArray& nodes = engine.Nodes();
  const uint8_t show = engine.Options().scanFlag.load();
  std::vector<int64_t> left, pending;
  pending.swap(run.pending);
  // Folder paths are made once per folder.
  std::unordered_map<uint64_t, WString> folders;
  auto place = [&](CUnixVol& v, const UnixNameTrees* trees, cnode* node, int64_t index, const WString& name,
                   uint32_t parent) {
    const uint64_t key = uint64_t(node->volumeIndex) << 32 | parent;
    auto it = folders.find(key);
    if (it == folders.end()) {
      bool complete = false;
      it = folders.emplace(key, SweptFolder(trees, parent, &complete)).first;
    }
    node->parentId = parent;
    node->name = nodes.InternName(name);
    node->typeIndex = ExtensionToType(name);
    HandOver(engine, v, node, index, it->second, name);
  };
  for (size_t k = 0; k < pending.size(); ++k) {
    const int64_t index = pending[k];
    cnode* node = nodes.GetAt(index);
    if (!node || (node->flags & kNodeHandedOver) || node->Family() != kNodeExt) continue;
    CVol* base = drive && node->volumeIndex != kNoVolume ? VolumeAt(*drive, node->volumeIndex) : nullptr;
    auto* v = dynamic_cast<CUnixVol*>(base);
    if (!v || (only && v != only) || engine.StopRequested()) {
      left.push_back(index);
      continue;
    }
    engine.AddFoundCount(-1);
    if (!Shown(show, (node->flags & kNodeDeleted) != 0)) continue;
    const UnixNameTrees* trees = v->HasTrees() ? &v->Trees() : nullptr;
    WString name = node->GetNameW();
    if (!name.empty()) {
      place(*v, trees, node, index, name, node->parentId);
      continue;
    }
    const UnixNameTrees::Name* known = trees ? trees->File(node->id) : nullptr;
    if (!known) {
      // No name anywhere: an empty file is nothing to show.
      if (!node->size) continue;
      const WString ext = v->SniffNodeType(node);
      place(*v, trees, node, index, FormatW(u"file%u", node->id) + (ext.empty() ? WString() : u"." + ext), 0);
      continue;
    }
    // Each further name (a hard link's) gets a copy.
    for (const UnixNameTrees::Name* more = trees->NextName(*known); more; more = trees->NextName(*more)) {
      int64_t at = -1;
      cnode* copy = engine.AddNewNode(node, true, &at);
      if (!copy) break;
      place(*v, trees, copy, at, trees->NameText(*more), more->parent);
    }
    place(*v, trees, node, index, trees->NameText(*known), known->parent);
  }
  left.insert(left.end(), run.pending.begin(), run.pending.end());
  run.pending.swap(left);
}

void ExtAfterLongScanWalk(CVol& volume, ScanSink& engine) {
  auto* v = dynamic_cast<CExt3Vol*>(&volume);
  // "Scan Ext4 ET Only" leaves the sweep out.
  if (!v || engine.Options().extScanEt4Only) return;
  // The walk read the root.
  v->Trees().MarkListed(kRootInode);
  Ext3LongScan(*v, engine);
}

void ExtFinishLongScan(ScanSink& engine, Drive* drive) { PlaceSweptFiles(engine, drive, nullptr); }

int ExtOwnVolumePass(CVol& volume, ScanSink& engine) {
  auto* v = dynamic_cast<CExt3Vol*>(&volume);
  if (!v || !volume.Options().extLongScan) return 0;
  Ext3LongScan(*v, engine, 0, 49);
  if (!engine.StopRequested()) ScanDirBlocks(*v, engine, 49, 98);
  if (!engine.StopRequested()) PlaceSweptFiles(engine, v->drive, v);
  return 1;
}

bool ExtEndsBeforeSectorPass(ScanSink& engine) {
  const AppState& options = engine.Options();
  return !options.extScanEt4Only && ExtRun(engine).exitCounter >= 2;
}
