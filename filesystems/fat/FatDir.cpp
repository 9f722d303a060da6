#include "filesystems/fat/FatDir.h"

#include <cstring>
#include <algorithm>
#include <deque>
#include <string>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filesystems/fat/Definitions.h"
#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatNode.h"
#include "filesystems/fat/FatRuns.h"
#include "filesystems/fat/FatVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileFilter.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "volumes/Extents.h"
#include "volumes/FileTypes.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/Recycler.h"
#include "volumes/RunList.h"
#include "volumes/ScanSink.h"

using namespace fat;

namespace {

// Folder paths are kept whole (the destination refuses what it cannot
// hold); only past this, which no real tree reaches, does a path restart
// at the folder's own name, so that a crafted chain of folders cannot make
// every path of it huge.
constexpr size_t kMaxFolderPath = 32767;
// A folder holds at most 65,536 entries: a folder's data past a lost chain
// is looked for that far.
constexpr uint64_t kMaxFolderBytes = 65536 * kDirEntryBytes;
// Subfolders of an orphaned cluster asked for the folder it belongs to.
constexpr int kParentProbes = 4;
// One read of a folder's data.
constexpr uint64_t kPieceBytes = 1u << 20;
// Nine pieces in a row without a genuine entry end a folder.
constexpr int kEmptyPiecesEnd = 9;
// An INFO2 file holds 800 bytes a deleted item; anything past this is none.
constexpr uint64_t kMaxInfo2Bytes = 16u << 20;

bool PassesFileFilter(const AppState& options, WStringView name) {
  return !options.fileFilter || options.fileFilter->ContainsW(name);
}

const uint8_t* Intern(WStringView name, void* context) {
  return static_cast<ScanSink*>(context)->Nodes().InternName(name);
}

bool IsOlderBin(WStringView folder) {
  auto starts = [&](WStringView bin) {
    return folder.size() >= bin.size() && EqualsNoCase(folder.substr(0, bin.size()), bin);
  };
  return starts(u"\\RECYCLER\\") || starts(u"\\Recycled\\");
}

// The node's data into memory (small files: $I records, INFO2).
bool ReadNodeBytes(FATVol* v, const cnode* node, std::vector<uint8_t>* out) {
  if (!node->RunBuffer() || !v->BuildNodeExtents(node)) return false;
  out->assign(size_t(node->size), 0);
  for (uint64_t done = 0; done < node->size;) {
    uint64_t got = 0;
    const uint8_t* p = v->ReadInodeDataCm(done, node->size - done, &got);
    if (!p || got == 0) return false;
    const uint64_t n = std::min<uint64_t>(got, node->size - done);
    std::memcpy(out->data() + done, p, size_t(n));
    done += n;
  }
  return true;
}

struct Folder {
  cnode* node;  // owned (the root is the volume's)
  WString path;
};

// One walk over a volume: the queues, the folders parsed, the files whose
// folder is a recycle bin (handed over at the end, once every record of
// the bin is known).
class Walk {
 public:
  Walk(FATVol* v, ScanSink& e) : vol_(v), engine_(e) {}
  ~Walk() {
    for (auto* q : {&live_, &deleted_})
      for (Folder& f : *q)
        if (f.node != vol_->rootNode) DeleteNode(&f.node);
  }

  void Run();
  int ParseAt(uint32_t cluster, const uint8_t* data);
  int ParseOrphans(uint32_t cluster);

 private:
  int ParseDir(cnode* node, const WString* path, const uint8_t* buffer, bool continuation = false);
  void Drain();
  // The clusters after `last` that still hold this folder's entries, where
  // its chain was lost (the cluster after it free, not walked, entries
  // that belong to no folder's first cluster).
  void ParseLostTail(uint32_t last, uint64_t offset, uint32_t parent, uint64_t done);
  void KeepPath(uint32_t cluster, const WString& path);
  // The first cluster of the folder an orphaned cluster's entries belong
  // to, as its subfolders' ".." entries name it; 0 when none tells.
  uint32_t OwnerOf(const uint8_t* data, size_t bytes);
  int ParseEntries(const uint8_t* entries, size_t count, uint64_t offset, uint32_t parent);
  void TakeNamed(FATInode* node, const WString& name, bool deleted);
  void ListFolder(cnode* folder);
  void Finish();
  bool Parsed(uint32_t cluster) { return !vol_->parsedFolders.insert(cluster).second; }

  FATVol* vol_;
  ScanSink& engine_;
  std::deque<Folder> live_, deleted_;
  struct Pending {
    int64_t index;
    WString path;
  };
  std::vector<Pending> pending_;
  std::vector<int64_t> info2_;
  // The folder being parsed.
  const cnode* dir_ = nullptr;
  const WString* path_ = nullptr;
  bool dirDeleted_ = false;
  bool recycled_ = false;
};

void Walk::Run() {
  KeepPath(vol_->rootNode->id, u"\\");
  live_.push_back(Folder{vol_->rootNode, u"\\"});
  while (!engine_.StopRequested()) {
    if (live_.empty()) {
      if (deleted_.empty()) break;
      live_.swap(deleted_);
    }
    Folder f = std::move(live_.front());
    live_.pop_front();
    const uint32_t cluster = f.node->id;
    if (!Parsed(f.node == vol_->rootNode ? 0 : cluster)) {
      if (traceContent.load(std::memory_order_relaxed))
        TracePrintfW(u"Parsing FAT dnode %ld @ %I64d\n", int32_t(cluster),
                     int64_t(f.node == vol_->rootNode && vol_->type != kVolFat32 ? vol_->startSector + vol_->rootStart
                                                                                : vol_->ClusterToSector(cluster)));
      vol_->largeFat32Dir = vol_->type == kVolFat32 && cluster > 0xFFFF;
      ParseDir(f.node, &f.path, nullptr);
    }
    if (f.node != vol_->rootNode) DeleteNode(&f.node);
  }
  Finish();
}

int Walk::ParseAt(uint32_t cluster, const uint8_t* data) {
  if (cluster < 2 || cluster >= vol_->MaxCluster() || Parsed(cluster)) return 0;
  FATInode node;
  node.flags2 |= kNode2Directory;
  node.id = cluster;
  vol_->SetNodeClusterCode(&node);
  vol_->cache->SetNodeRuns(&node, vol_->clusterSize);
  // Its files go under a folder named for its cluster, the walk below it
  // as usual.
  const WString path = u"\\Lost Folder " + FromUtf8(std::to_string(cluster)) + u"\\";
  KeepPath(cluster, path);
  const int r = ParseDir(&node, &path, data);
  Drain();
  Finish();
  return r == 0 ? 1 : 0;
}

// The folders queued by what was parsed, deleted ones after live ones.
void Walk::Drain() {
  while (!live_.empty() || !deleted_.empty()) {
    if (engine_.StopRequested()) break;
    if (live_.empty()) live_.swap(deleted_);
    Folder f = std::move(live_.front());
    live_.pop_front();
    if (!Parsed(f.node->id)) ParseDir(f.node, &f.path, nullptr);
    DeleteNode(&f.node);
  }
}

void Walk::KeepPath(uint32_t cluster, const WString& path) {
  if (engine_.ScanMode() == kScanLong) vol_->folderPaths.emplace(cluster, path);
}

uint32_t Walk::OwnerOf(const uint8_t* data, size_t bytes) {
  const uint32_t ss = vol_->sectorSize;
  std::vector<uint8_t> sector(ss);
  int probes = 0;
  for (size_t at = 0; at + kDirEntryBytes <= bytes && probes < kParentProbes; at += kDirEntryBytes) {
    const uint8_t* e = data + at;
    if (e[0] == 0 || e[kDirAttributes] == kAttrLongName || !(e[kDirAttributes] & kAttrDirectory) || FATDotEntry(e))
      continue;
    const uint32_t sub = FATDirEntry::FirstCluster(e);
    if (sub < 2 || sub >= vol_->MaxCluster()) continue;
    ++probes;
    uint32_t dot = 0, dotDot = 0;
    if (!vol_->ReadSectors(vol_->ClusterToVolumeSector(sub), 1, sector.data()) ||
        FATDotEntry(sector.data(), &dot) != 2 || dot != sub ||
        FATDotEntry(sector.data() + kDirEntryBytes, &dotDot) != 3)
      continue;
    // ".." of 0 names the root.
    return dotDot ? dotDot : vol_->rootNode->id;
  }
  return 0;
}

int Walk::ParseOrphans(uint32_t cluster) {
  if (cluster < 2 || cluster >= vol_->MaxCluster() || vol_->IsWalked(cluster)) return 0;
  // A cluster a file owns now holds that file's data.
  if (vol_->cache->GetEntry(cluster) != 0) return 0;
  const uint32_t cs = vol_->clusterSize;
  std::vector<uint8_t> data(cs);
  if (!vol_->ReadSectors(vol_->ClusterToVolumeSector(cluster), cs / vol_->sectorSize, data.data()) ||
      !FATEntriesLookLikeFolder(data.data(), cs))
    return 0;
  // Under the folder the entries belong to when its subfolders say which
  // and it is known; else under a lost folder of that name (where the
  // folder itself, found later, lists its own first cluster's files).
  const uint32_t owner = OwnerOf(data.data(), cs);
  const uint32_t id = owner ? owner : cluster;
  WString path;
  if (auto it = vol_->folderPaths.find(id); it != vol_->folderPaths.end()) path = it->second;
  else path = u"\\Lost Folder " + FromUtf8(std::to_string(id)) + u"\\";
  KeepPath(id, path);
  if (traceContent.load(std::memory_order_relaxed))
    TracePrintfW(u"FAT orphaned entries at cluster %ld, folder %ld: %s\n", int32_t(cluster), int32_t(id), path);
  FATInode node;
  node.flags2 |= kNode2Directory;
  node.id = id;
  node.size = cs;
  vol_->SetNodeClusterCode(&node);
  node.runs = MakeRuns(int64_t(cluster), 1);
  ParseDir(&node, &path, nullptr, true);
  Drain();
  Finish();
  return 1;
}

// 0, or -1 when the data is not the folder it should be. A continuation
// (entries past a folder's first cluster) has no "." and "..".
int Walk::ParseDir(cnode* node, const WString* path, const uint8_t* buffer, bool continuation) {
  const bool fixedRoot = node == vol_->rootNode && vol_->type != kVolFat32;
  const bool isRoot = node == vol_->rootNode;
  dir_ = node;
  path_ = path;
  dirDeleted_ = (node->flags & kNodeDeleted) != 0;
  recycled_ = path && (IsRecycledPath(*path) || IsOlderBin(*path));
  vol_->longName.Reset();
  if (fixedRoot) {
    const uint32_t sectors = vol_->rootSectors;
    if (sectors == 0) return 0;
    std::vector<uint8_t> data(size_t(sectors) * vol_->sectorSize);
    if (!vol_->ReadSectors(vol_->rootStart, sectors, data.data())) return 0;
    ParseEntries(data.data(), data.size() / kDirEntryBytes, 0, 0);
    return 0;
  }
  const uint64_t size = buffer ? vol_->clusterSize : node->size;
  int emptyPieces = 0;
  // Entries may read files of their own ($I records, INFO2) through the
  // volume's extents and cluster buffer: each piece is copied out first.
  std::vector<uint8_t> piece;
  uint64_t offset = 0;
  bool whole = true;
  for (; offset < size;) {
    engine_.WaitWhilePaused();
    if (engine_.StopRequested()) return 0;
    uint64_t got = 0;
    const uint8_t* data;
    if (buffer) {
      data = buffer;
      got = vol_->clusterSize;
    } else {
      if (!vol_->BuildNodeExtents(node)) break;
      const uint8_t* read = vol_->ReadInodeDataCm(offset, std::min<uint64_t>(kPieceBytes, size - offset), &got);
      if (!read || got == 0) break;
      if (got > size - offset) got = size - offset;
      piece.assign(read, read + got);
      data = piece.data();
    }
    if (got > size - offset) got = size - offset;
    if (offset == 0 && node->id != 0 && !continuation) {
      uint32_t dotCluster = 0;
      const int first = FATDotEntry(data, &dotCluster);
      const int second = got >= 64 ? FATDotEntry(data + kDirEntryBytes) : 0;
      if (isRoot) {
        if (second == 3 || first == 2) return -1;
      } else if (first != 2 || dotCluster != node->id || second != 3) {
        return -1;
      }
    }
    const int r = ParseEntries(data, size_t(got / kDirEntryBytes), offset, node->id);
    offset += got;
    if (r > 0) emptyPieces = 0;
    else if (++emptyPieces >= kEmptyPiecesEnd) {
      whole = false;
      break;
    }
    if (buffer) break;
  }
  if (offset < size) whole = false;
  // The clusters parsed are this folder's.
  uint32_t last = 0;
  uint64_t clusters = 0;
  if (const uint8_t* runs = node->RunBuffer()) {
    uint32_t at = 0, length = 0;
    int64_t start = 0, delta = 0;
    uint64_t left = (offset + vol_->clusterSize - 1) / vol_->clusterSize;
    while (left && ReadNextRun(&delta, &length, runs, &at) == 1 && delta) {
      start += delta;
      if (start < 2) break;
      const uint32_t n = uint32_t(std::min<uint64_t>(length, left));
      vol_->AddWalked(uint32_t(start), n);
      last = uint32_t(start + n - 1);
      clusters += n;
      left -= n;
    }
  }
  // A folder whose chain the table lost (its last cluster's entry free):
  // the entries it had further on may follow.
  if (whole && last && vol_->cache->GetEntry(last) == 0) ParseLostTail(last, offset, node->id, clusters);
  return 0;
}

void Walk::ParseLostTail(uint32_t last, uint64_t offset, uint32_t parent, uint64_t done) {
  const uint32_t cs = vol_->clusterSize;
  const uint32_t spc = cs / vol_->sectorSize;
  std::vector<uint8_t> data(cs);
  for (uint64_t c = uint64_t(last) + 1; c < vol_->MaxCluster() && (done + 1) * cs <= kMaxFolderBytes; ++c, ++done) {
    if (engine_.StopRequested() || vol_->cache->GetEntry(uint32_t(c)) != 0 || vol_->IsWalked(uint32_t(c))) break;
    if (!vol_->ReadSectors(vol_->ClusterToVolumeSector(uint32_t(c)), spc, data.data()) ||
        !FATEntriesLookLikeFolder(data.data(), cs))
      break;
    if (traceContent.load(std::memory_order_relaxed))
      TracePrintfW(u"FAT folder %ld goes on at cluster %ld\n", int32_t(parent), int32_t(c));
    vol_->AddWalked(uint32_t(c), 1);
    ParseEntries(data.data(), cs / kDirEntryBytes, offset, parent);
    offset += cs;
  }
}

int Walk::ParseEntries(const uint8_t* entries, size_t count, uint64_t offset, uint32_t parent) {
  const uint32_t ss = vol_->sectorSize;
  const size_t perSector = ss / kDirEntryBytes;
  const bool skipToSectorEnd = ss == 512 || ss == 4096;
  int genuine = 0;
  for (size_t i = 0; i < count; ++i) {
    if ((i & 63) == 0 && engine_.StopRequested()) break;
    const uint8_t* e = entries + i * kDirEntryBytes;
    const uint64_t at = offset + i * kDirEntryBytes;
    if (e[0] == 0) {
      vol_->longName.Reset();
      // Entries after an end mark in later sectors are still read.
      if (skipToSectorEnd) {
        const size_t inSector = size_t((at / kDirEntryBytes) % perSector);
        i += perSector - 1 - inSector;
      }
      continue;
    }
    if (e[kDirAttributes] == kAttrLongName) {
      if (vol_->longName.CheckLFN(e)) ++genuine;
      continue;
    }
    auto* node = static_cast<FATInode*>(CreateFATNode());
    if (!node) ShowErrorAndThrow();
    node->parentId = dir_ ? dir_->id : parent;
    if (dirDeleted_) node->flags |= kNodeDeleted;
    WString name;
    const int r = ParseFATEntry(node, e, vol_, &name);
    if (node->confidence) ++genuine;
    const bool useLong = vol_->longName.Names(node->nameChecksum);
    const WString longName = useLong ? vol_->longName.Text() : WString();
    vol_->longName.Reset();
    if (r == kFATEntryDot || r == kFATEntryDotDot) {
      DeleteNode(reinterpret_cast<cnode**>(&node));
      // "." first, ".." second; anywhere else ends the folder.
      if ((r == kFATEntryDot && at != 0) || (r == kFATEntryDotDot && at != kDirEntryBytes)) break;
      continue;
    }
    if (r != kFATEntryFolder && r != kFATEntryFile) {
      DeleteNode(reinterpret_cast<cnode**>(&node));
      continue;
    }
    TakeNamed(node, useLong && !longName.empty() ? longName : name, (node->flags & kNodeDeleted) != 0);
  }
  return genuine;
}

// A file or folder entry with its name: filtered, given its runs, queued or
// handed over. Takes the node.
void Walk::TakeNamed(FATInode* node, const WString& name, bool deleted) {
  cnode* n = node;
  const uint8_t flags = engine_.Options().scanFlag.load();
  const bool folder = n->IsDirectory();
  const bool info2 = EqualsNoCase(name, u"INFO2");
  if (!deleted && !(flags & 2) && !info2 && !folder) return DeleteNode(&n);
  if (deleted && !(flags & 1)) return DeleteNode(&n);
  if (path_ && engine_.PathFilterMatch(path_->c_str()) != 0 && !folder) return DeleteNode(&n);
  n->volumeIndex = vol_->volumeNumber;
  vol_->SetNodeClusterCode(n);
  n->name = engine_.Nodes().InternName(name);
  // Runs: a live chain from the table; a deleted file's free clusters;
  // a chain the table lost goes on as a deleted file's.
  if (folder) GiveFatFolderRuns(vol_, n, deleted);
  else if (n->size != 0) GiveFatFileRuns(vol_, n, deleted);
  if (folder) {
    if (!path_) return DeleteNode(&n);
    if (vol_->clusterSize && n->size % vol_->clusterSize) return DeleteNode(&n);
    ListFolder(n);
    WString path = *path_ + name + u"\\";
    if (path.size() > kMaxFolderPath) path = u"\\" + name + u"\\";
    KeepPath(n->id, path);
    if (traceContent.load(std::memory_order_relaxed))
      TracePrintfW(u"Adding dnode %s (%ld) size %ld\n", path, int32_t(n->id), int32_t(n->size));
    if (deleted) deleted_.push_front(Folder{n, std::move(path)});
    else live_.push_back(Folder{n, std::move(path)});
    return;
  }
  // A $I record of the newer bin: its data feeds the recycler.
  if (n->size == kRbiRecordBytes && IsRecycleBinName(name, u'I')) {
    std::vector<uint8_t> data;
    if (!vol_->recycler) vol_->recycler = std::make_shared<Recycler>();
    if (ReadNodeBytes(vol_, n, &data) && vol_->recycler->AddRBI(data.data(), data.size(), name))
      return DeleteNode(&n);
  }
  n->typeIndex = ExtensionToType(name);
  const bool binItem = recycled_ || info2 || IsInfo2DeletedName(name) || IsRecycleBinName(name, u'R');
  if (!binItem && !PassesFileFilter(engine_.Options(), name)) return DeleteNode(&n);
  if (!path_) return DeleteNode(&n);
  if (traceContent.load(std::memory_order_relaxed))
    TracePrintfW(u"Adding inode %s(%ld) parent %ld - size %ld\n", name, int32_t(n->id), int32_t(n->parentId),
                 int32_t(n->size));
  int64_t index = -1;
  cnode* stored = engine_.AddNewNode(n, false, &index);
  if (!stored) return;
  if (recycled_) {
    // Handed over once the bin's records are all known.
    pending_.push_back(Pending{index, *path_});
    if (info2) info2_.push_back(index);
    engine_.AddFoundCount(1);
    return;
  }
  stored->flags |= kNodeHandedOver;
  engine_.StoreFileItem(WString(vol_->driveLetter), *path_, index);
}

// A folder is an item of the list too, under the folder holding it (in a
// bin, once the bin's records are known).
void Walk::ListFolder(cnode* n) {
  const int64_t index = AddFolderItem(engine_, n, *path_);
  if (index < 0) return;
  if (recycled_) {
    pending_.push_back(Pending{index, *path_});
    engine_.AddFoundCount(1);
    return;
  }
  engine_.Nodes().GetAt(index)->flags |= kNodeHandedOver;
  engine_.StoreFileItem(WString(vol_->driveLetter), *path_, index);
}

void Walk::Finish() {
  ScanSink& e = engine_;
  // INFO2 files of the older bin first: their records name the D files.
  for (int64_t index : info2_) {
    cnode* n = e.Nodes().GetAt(index);
    if (!n) continue;
    const Pending* p = nullptr;
    for (const Pending& q : pending_)
      if (q.index == index) p = &q;
    if (!p || !IsOlderBin(p->path) || n->size < kInfo2HeaderBytes || n->size > kMaxInfo2Bytes) continue;
    std::vector<uint8_t> data;
    if (!ReadNodeBytes(vol_, n, &data)) continue;
    if (!vol_->recycler) vol_->recycler = std::make_shared<Recycler>();
    BufferInfo2Source source(data.data(), data.size());
    if (vol_->recycler->AddInfo2Records(source, p->path, vol_->clusterSize) > 0) {
      // The INFO2 file itself is not shown.
      n->flags |= kNodeHandedOver;
      e.AddFoundCount(-1);
    }
  }
  const bool remap = (engine_.Options().scanFlag.load() & 1) != 0;
  for (const Pending& p : pending_) {
    cnode* n = e.Nodes().GetAt(p.index);
    if (!n || (n->flags & kNodeHandedOver)) continue;
    n->flags |= kNodeHandedOver;
    e.AddFoundCount(-1);
    WString path = p.path;
    if (remap && vol_->recycler && path.size() < 253) {
      uint64_t size = n->size;
      if (IsOlderBin(path) && vol_->clusterSize)
        size = (size + vol_->clusterSize - 1) / vol_->clusterSize * vol_->clusterSize;
      WString mapped = path;
      if (vol_->recycler->Remap(&mapped, n, size, 0, Intern, &e)) {
        if (mapped.size() >= 2 && mapped[1] == u':') mapped.erase(0, 2);
        path = mapped;
      }
    }
    if (!PassesFileFilter(engine_.Options(), n->GetNameW())) continue;
    e.StoreFileItem(WString(vol_->driveLetter), path, p.index);
  }
  pending_.clear();
  info2_.clear();
}

}  // namespace

int ParseFAT(FATVol* volume, ScanSink& engine) {
  if (!volume || !volume->cache || !volume->rootNode) return -1;
  volume->parsedFolders.clear();
  volume->walkedClusters.clear();
  volume->folderPaths.clear();
  Walk walk(volume, engine);
  walk.Run();
  volume->FreeBuf();
  return -1;
}

int ParseFATDirAtCluster(FATVol* volume, ScanSink& engine, uint32_t cluster, const uint8_t* data) {
  if (!volume || !volume->cache) return 0;
  Walk walk(volume, engine);
  return walk.ParseAt(cluster, data);
}

int ParseFATOrphans(FATVol* volume, ScanSink& engine, uint32_t cluster) {
  if (!volume || !volume->cache) return 0;
  Walk walk(volume, engine);
  return walk.ParseOrphans(cluster);
}
