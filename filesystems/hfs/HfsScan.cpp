#include "filesystems/hfs/HfsScan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filesystems/hfs/Definitions.h"
#include "filesystems/hfs/HfsBTree.h"
#include "filesystems/hfs/HfsCatalog.h"
#include "filesystems/hfs/HfsExtentsRecord.h"
#include "filesystems/hfs/HfsNode.h"
#include "filesystems/hfs/HfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileFilter.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/IoTrace.h"
#include "volumes/FileTypes.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeSearch.h"

using namespace hfs;

namespace {

constexpr size_t kMaxFolderDepth = 1024;
constexpr uint32_t kLongScanReadBytes = 0x100000;

// Folders by CNID (parent, name), and the paths built from them. The
// catalog is read in node order, so a folder may come after what it holds:
// a path is kept only once its chain reaches the root (or, at the end,
// whatever it is then).
class FolderTree {
 public:
  void Add(uint32_t id, uint32_t parent, WString name) { folders_.try_emplace(id, Folder{parent, std::move(name)}); }
  // No more folders will come: broken chains are kept too.
  void Finish() { final_ = true; }
  // "\a\b\" of the folder `id`; `complete` false when the chain broke
  // (it then starts at "\Extra files\Folder<CNID>\" with the CNID where
  // it broke).
  const WString& Path(uint32_t id, bool* complete) {
    if (auto hit = paths_.find(id); hit != paths_.end()) {
      *complete = hit->second.complete;
      return hit->second.path;
    }
    chain_.clear();
    onChain_.clear();
    uint32_t at = id;
    WString top;
    bool whole = false;
    while (true) {
      if (at == kRootFolderId) {
        top.assign(1, u'\\');
        whole = true;
        break;
      }
      if (auto hit = paths_.find(at); hit != paths_.end()) {
        top = hit->second.path;
        whole = hit->second.complete;
        break;
      }
      auto f = folders_.find(at);
      if (f == folders_.end() || chain_.size() >= kMaxFolderDepth || !onChain_.insert(at).second) {
        top = FormatW(u"\\%s\\%s%u\\", Msg(15), Msg(39), at);
        break;
      }
      chain_.push_back(at);
      at = f->second.parent;
    }
    *complete = whole;
    const bool keep = whole || final_;
    WString path = std::move(top);
    const WString* last = nullptr;
    for (size_t i = chain_.size(); i-- > 0;) {
      const Folder& f = folders_.at(chain_[i]);
      path.append(f.name);
      path.push_back(u'\\');
      if (keep) last = &(paths_[chain_[i]] = Known{path, whole}).path;
    }
    if (last) return *last;
    if (keep) return paths_[id] = Known{std::move(path), whole}, paths_[id].path;
    scratch_ = std::move(path);
    return scratch_;
  }

 private:
  struct Folder {
    uint32_t parent;
    WString name;
  };
  struct Known {
    WString path;
    bool complete;
  };
  std::unordered_map<uint32_t, Folder> folders_;
  std::unordered_map<uint32_t, Known> paths_;
  std::vector<uint32_t> chain_;
  std::unordered_set<uint32_t> onChain_;
  WString scratch_;
  bool final_ = false;
};

// A file whose eight extents cover fewer blocks than its size, waiting for
// the extents walk: its extents so far and the chunks that do not follow
// on yet, by their first block.
struct Incomplete {
  int64_t index = -1;
  uint64_t blocks = 0;
  uint64_t needed = 0;
  std::vector<HfsExtent> extents;
  std::vector<HfsExtentsRecord> waiting;
  bool changed = false;
};

uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h * 0x100000001B3ull;
}

uint64_t MixBytes(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

// A run list of the extents (up to the first empty one); null for none.
RunList ExtentRuns(const HfsExtent* e, size_t count) {
  size_t used = 0;
  while (used < count && e[used].startBlock && e[used].blockCount) ++used;
  if (used == 0) return nullptr;
  if (used == 1) return MakeRuns(e[0].startBlock, e[0].blockCount);
  RunListEncoder enc;
  for (size_t i = 0; i < used; ++i)
    if (enc.AddRun(e[i].startBlock, e[i].blockCount) < 0) return nullptr;
  return enc.Export();
}

class HfsParse {
 public:
  HfsParse(CHFSPlusVol& v, ScanSink& e, int progressStart)
      : v_(v), e_(e), options_(e.Options()), progressStart_(progressStart), prefix_(v.driveLetter) {}

  void Run() {
    const uint32_t bs = v_.clusterSize;
    const uint64_t catalogNeeds = bs ? (v_.catalogFork.logicalSize + bs - 1) / bs : 0;
    if (options_.hfsLongScan) {
      LongScan();
    } else {
      if (v_.catalogFork.MappedBlocks() < catalogNeeds && v_.extentsFork.valid) WalkTree(v_.extentsFork, false, true);
      WalkTree(v_.catalogFork, true, false);
    }
    // Files of more than eight extents are completed whichever way the
    // catalog was read.
    if (v_.extentsFork.valid && !Stopped()) WalkTree(v_.extentsFork, false, false);
    for (auto& [id, w] : incomplete_)
      if (w.changed) Remap(w);
    Finish();
  }

  // One catalog leaf node (and an extents leaf node) alone.
  void Leaves(const uint8_t* node, uint32_t nodeSize, const uint8_t* extents, uint32_t extentsSize) {
    if (node && nodeSize >= kMinNodeSize) CatalogLeaf(node, nodeSize, 0);
    if (extents && extentsSize >= kMinNodeSize) ExtentsLeaf(extents, extentsSize, false);
    for (auto& [id, w] : incomplete_)
      if (w.changed) Remap(w);
    Finish();
  }

  // The records of one catalog leaf node.
  void CatalogLeaf(const uint8_t* node, uint32_t nodeSize, int64_t position) {
    const HfsNodeDescriptor d = ReadHfsNodeDescriptor(node);
    const uint64_t table = uint64_t(nodeSize) - 2 * (uint64_t(d.records) + 1);
    if (uint64_t(d.records) * 2 + 2 >= nodeSize) return;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < d.records; ++i) {
      if (Stopped()) return;
      const uint32_t at = HfsRecordOffset(node, nodeSize, i);
      if (at < kNodeDescriptorBytes || at <= previous || at >= table) return;
      previous = at;
      const uint32_t next = HfsRecordOffset(node, nodeSize, i + 1);
      const uint64_t limit = next > at && next <= table ? next : table;
      const uint8_t* rec = node + at;
      const size_t left = size_t(limit - at);
      HfsCatalogKey key;
      if (!ParseHfsCatalogKey(rec, left, &key)) return;
      const size_t keyBytes = size_t(key.keyLength) + 2;
      HfsCatalogRecord r;
      if (!ParseHfsCatalogRecord(rec + keyBytes, left - keyBytes, &r)) return;
      if (r.type != kRecFolder && r.type != kRecFile) continue;
      if (key.nameLength == 0) continue;
      if (r.type == kRecFile) File(key, r, position);
      else Folder(key, r);
    }
  }

  // The records of one extents leaf node: in catalog mode the catalog's
  // own overflow extents, else chunks of the files that wait for them.
  void ExtentsLeaf(const uint8_t* node, uint32_t nodeSize, bool catalogMode) {
    const HfsNodeDescriptor d = ReadHfsNodeDescriptor(node);
    if (uint64_t(d.records) * 2 + 2 >= nodeSize) return;
    const uint64_t table = uint64_t(nodeSize) - 2 * (uint64_t(d.records) + 1);
    uint32_t previous = 0;
    for (uint32_t i = 0; i < d.records; ++i) {
      const uint32_t at = HfsRecordOffset(node, nodeSize, i);
      if (at < kNodeDescriptorBytes || at <= previous || at >= table) return;
      previous = at;
      HfsExtentsRecord r;
      if (!ParseHfsExtentsRecord(node + at, size_t(table - at), &r)) return;
      if (r.forkType != kForkData || r.startBlock >= v_.totalBlocks || !ExtentsValid(r.extents)) continue;
      if (catalogMode) {
        if (r.fileId == kCatalogFileId) catalogChunks_.push_back(r);
        continue;
      }
      auto w = incomplete_.find(r.fileId);
      if (w == incomplete_.end()) continue;
      Incomplete& f = w->second;
      auto place = std::lower_bound(f.waiting.begin(), f.waiting.end(), r.startBlock,
                                    [](const HfsExtentsRecord& c, uint32_t b) { return c.startBlock < b; });
      if (place != f.waiting.end() && place->startBlock == r.startBlock) continue;
      f.waiting.insert(place, r);
      while (!f.waiting.empty() && f.waiting.front().startBlock == f.blocks && f.blocks < f.needed) {
        const HfsExtentsRecord& c = f.waiting.front();
        for (const HfsExtent& x : c.extents) {
          if (!x.startBlock || !x.blockCount) break;
          f.extents.push_back(x);
          f.blocks += x.blockCount;
        }
        f.changed = true;
        f.waiting.erase(f.waiting.begin());
      }
    }
  }

 private:
  bool Stopped() const { return v_.StopRequested(); }

  bool ExtentsValid(const HfsExtent* e) const {
    for (size_t i = 0; i < kExtentsPerRecord; ++i) {
      if (!e[i].startBlock && !e[i].blockCount) break;
      if (!e[i].startBlock || !e[i].blockCount || uint64_t(e[i].startBlock) + e[i].blockCount > v_.totalBlocks)
        return false;
    }
    return true;
  }

  void Progress(double fraction) {
    const double steps = v_.progressSteps ? double(v_.progressSteps - 1) : 0.0;
    const int pc = progressStart_ + int(steps * std::min(1.0, std::max(0.0, fraction)));
    if (pc != lastPercent_) {
      lastPercent_ = pc;
      e_.SetPercentComplete(std::min(pc, 99), 1);
    }
  }

  // A record met before (a stale or second copy of its node) is listed
  // once; one that differs in any of these stays (an earlier state).
  bool SeenBefore(const HfsCatalogKey& key, const HfsCatalogRecord& r, uint16_t type) {
    uint64_t h = Mix(0xCBF29CE484222325ull, type);
    h = Mix(h, r.id);
    h = Mix(h, key.parentId);
    h = MixBytes(h, key.name, size_t(key.nameLength) * 2);
    if (type == kRecFile) {
      h = Mix(h, r.dataFork.logicalSize);
      for (const HfsExtent& x : r.dataFork.extents) h = Mix(Mix(h, x.startBlock), x.blockCount);
    }
    h |= 1;  // 0 marks a CNID not met yet
    // The first version of each CNID in a table by CNID (ids are handed
    // out in order: dense), the others beside it.
    uint64_t* first = nullptr;
    if (r.id < denseIds_) {
      if (r.id >= firstSeen_.size())
        firstSeen_.resize(std::min<size_t>(std::max<size_t>(r.id + 1, firstSeen_.size() * 2), denseIds_), 0);
      first = &firstSeen_[r.id];
    } else {
      first = &farSeen_[r.id];
    }
    if (*first == 0) {
      *first = h;
      return false;
    }
    if (*first == h) return true;
    std::vector<uint64_t>& more = moreSeen_[r.id];
    if (std::find(more.begin(), more.end(), h) != more.end()) return true;
    more.push_back(h);
    return false;
  }

  bool NamePasses(const WString& name) const { return !options_.fileFilter || options_.fileFilter->ContainsW(name); }

  HfsNode* NewNode(const HfsCatalogKey& key, const HfsCatalogRecord& r, const WString& name) {
    auto* n = static_cast<HfsNode*>(CreateHfsNode());
    if (!n) ShowErrorAndThrow();
    n->volumeIndex = v_.volumeNumber;
    v_.SetNodeClusterCode(n);
    n->name = e_.Nodes().InternName(name);
    n->parentId = key.parentId;
    n->id = r.id;
    n->createDate = r.createDate;
    n->modifyDate = r.contentModDate;
    n->accessDate = r.accessDate;
    return n;
  }

  void File(const HfsCatalogKey& key, const HfsCatalogRecord& r, int64_t position) {
    if (!(options_.scanFlag.load() & 2)) return;
    const WString name = HfsNameToWide(key.name, key.nameLength);
    if (name.empty() || !NamePasses(name)) return;
    uint64_t blocks = 0;
    if (CheckHfsFork(r.dataFork, v_.clusterSize, v_.totalBlocks, false, &blocks) < 0) return;
    const uint64_t needed = (r.dataFork.logicalSize + v_.clusterSize - 1) / v_.clusterSize;
    if (blocks > needed) return;
    if (SeenBefore(key, r, kRecFile)) return;
    HfsNode* n = NewNode(key, r, name);
    n->size = r.dataFork.logicalSize;
    n->typeIndex = ExtensionToType(name);
    n->runs = ExtentRuns(r.dataFork.extents, kExtentsPerRecord);
    if (blocks && !n->runs) {
      DestroyHfsNode(n);
      ShowErrorAndThrow();
    }
    n->blocks = uint32_t(blocks);
    if (traceHfs)
      TracePrintfW(u"HFS+ %s %s (%ld) @ %I64d, parent CNID %ld, ISize %I64d, %s, %s\n", u"file", name, int32_t(r.id),
                   position, int32_t(key.parentId), int64_t(n->size), n->GetTimeText(0), n->GetTimeText(1));
    int64_t index = -1;
    cnode* stored = e_.AddNewNode(n, false, &index);
    if (!stored) return;
    if (blocks < needed) {
      Incomplete w;
      w.index = index;
      w.blocks = blocks;
      w.needed = needed;
      for (const HfsExtent& x : r.dataFork.extents) {
        if (!x.startBlock || !x.blockCount) break;
        w.extents.push_back(x);
      }
      incomplete_.try_emplace(r.id, std::move(w));
    }
    Hand(index, key.parentId, name);
  }

  void Folder(const HfsCatalogKey& key, const HfsCatalogRecord& r) {
    if (r.id == kRootFolderId || r.id == kRootParentId) return;
    const WString name = HfsNameToWide(key.name, key.nameLength);
    if (name.empty()) return;
    if (SeenBefore(key, r, kRecFolder)) return;
    folders_.Add(r.id, key.parentId, name);
    if (!(options_.scanFlag.load() & 2) || !NamePasses(name)) return;
    HfsNode* n = NewNode(key, r, name);
    n->flags2 |= kNode2Directory;
    int64_t index = -1;
    if (!e_.AddNewNode(n, false, &index)) return;
    Hand(index, key.parentId, name);
  }

  // Hands the node over under its folder's path when that is known, else
  // at the end.
  void Hand(int64_t index, uint32_t parent, const WString& name) {
    bool complete = false;
    const WString& path = folders_.Path(parent, &complete);
    if (!complete) {
      deferred_.push_back(Deferred{index, parent});
      e_.AddFoundCount(1);
      return;
    }
    Store(index, path, name);
  }

  void Store(int64_t index, const WString& path, const WString& name) {
    cnode* n = e_.Nodes().GetAt(index);
    if (!n) return;
    if (e_.PathFilterMatch((path + name).c_str()) != 0) return;
    n->flags |= kNodeHandedOver;
    e_.StoreFileItem(prefix_, path, index);
  }

  void Finish() {
    folders_.Finish();
    for (const Deferred& d : deferred_) {
      e_.AddFoundCount(-1);
      if (Stopped()) continue;
      cnode* n = e_.Nodes().GetAt(d.index);
      if (!n) continue;
      bool complete = false;
      const WString path = folders_.Path(d.parent, &complete);
      Store(d.index, path, n->GetNameW());
    }
    deferred_.clear();
  }

  // A waiting file's run list from the extents it has now.
  void Remap(Incomplete& w) {
    auto* n = static_cast<HfsNode*>(e_.Nodes().GetAt(w.index));
    if (!n || w.extents.empty()) return;
    RunListEncoder enc;
    for (const HfsExtent& x : w.extents)
      if (enc.AddRun(x.startBlock, x.blockCount) < 0) return;
    RunList runs = enc.Export();
    if (!runs) ShowErrorAndThrow();
    FreeRunList(&n->runs);
    n->runs = runs;
    n->blocks = uint32_t(std::min<uint64_t>(w.blocks, UINT32_MAX));
  }

  // The catalog's overflow chunks, in block order, while they follow on.
  void AppendCatalogChunks() {
    std::sort(catalogChunks_.begin(), catalogChunks_.end(),
              [](const HfsExtentsRecord& a, const HfsExtentsRecord& b) { return a.startBlock < b.startBlock; });
    for (const HfsExtentsRecord& c : catalogChunks_)
      if (c.startBlock == v_.catalogFork.MappedBlocks()) v_.catalogFork.Append(c.extents, kExtentsPerRecord);
    catalogChunks_.clear();
  }

  // A B-tree walk over every node of the fork after its header node.
  bool WalkTree(const HfsFork& fork, bool catalog, bool catalogMode) {
    uint8_t* buf = v_.ReadBuffer();
    if (!buf) ShowErrorAndThrow();
    const uint32_t bs = v_.clusterSize;
    if (!bs || bs > CHFSPlusVol::kReadBufferBytes) return false;
    HfsBTreeHeader h;
    if (v_.ReadForkData(fork, 0, bs, buf) != bs || !IsHFSBTreeHeaderNode(buf, bs, &h)) return false;
    if (traceHfs)
      TracePrintfA(
          "HFS+ BTree @ %I64d %d - Depth %d - Root %ld - LeafRec %ld - 1st Leaf %ld - Last leaf %ld - nodeSize %ld - "
          "maxKeyLength %ld - totalNodes %ld - freeNodes %ld\n",
          int64_t(fork.pieces.empty() ? 0 : fork.pieces[0].startBlock), catalog ? 2 : 1, int(h.depth), int32_t(h.root),
          int32_t(h.leafRecords), int32_t(h.firstLeaf), int32_t(h.lastLeaf), int32_t(h.nodeSize),
          int32_t(h.maxKeyLength), int32_t(h.totalNodes), int32_t(h.freeNodes));
    const uint32_t ns = h.nodeSize;
    const uint64_t mapped = fork.MappedBlocks() * bs;
    const uint64_t bytes = std::min(fork.logicalSize, mapped) / ns * ns;
    const uint64_t nodes = bytes / ns;
    const size_t batch = CHFSPlusVol::kReadBufferBytes;
    const double share = catalog ? 0.85 : 0.15, base = catalog ? 0.0 : 0.85;
    for (uint64_t off = 0; off < bytes && !Stopped(); off += batch) {
      const uint64_t rest = bytes - off;
      const size_t want = size_t(std::min<uint64_t>(batch, (rest + bs - 1) / bs * bs));
      const size_t got = v_.ReadForkData(fork, off, want, buf);
      for (size_t in = 0; in + ns <= got; in += ns) {
        const uint64_t index = (off + in) / ns;
        if (index == 0 || index >= nodes) continue;
        const HfsNodeDescriptor d = ReadHfsNodeDescriptor(buf + in);
        if (traceHfs) TraceHFSNodeDescriptor(buf + in, int64_t(index));
        if (d.kind != kKindLeaf) continue;
        if (catalog) CatalogLeaf(buf + in, ns, int64_t(off + in));
        else ExtentsLeaf(buf + in, ns, catalogMode);
      }
      Progress(base + share * double(off + got) / double(bytes));
      if (got < want) break;
    }
    if (catalogMode) AppendCatalogChunks();
    return true;
  }

  // Catalog leaf nodes at every sector of the volume (within the scan
  // range): a node of the catalog header's size, else of the size its
  // offsets give.
  void LongScan() {
    Drive* d = v_.drive;
    if (!d) return;
    const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
    uint32_t nodeSize = 0;
    {
      uint8_t* buf = v_.ReadBuffer();
      if (!buf) ShowErrorAndThrow();
      HfsBTreeHeader h;
      if (v_.clusterSize && v_.ReadForkData(v_.catalogFork, 0, v_.clusterSize, buf) == v_.clusterSize &&
          IsHFSBTreeHeaderNode(buf, v_.clusterSize, &h))
        nodeSize = h.nodeSize;
    }
    const int64_t volumeFirst = int64_t(v_.startSector);
    uint64_t length = 0;
    ToDriveSectors(v_.sizeSectors, v_.sectorSize, ss, &length);
    int64_t first = volumeFirst, last = volumeFirst + int64_t(std::min<uint64_t>(length, INT64_MAX / 2)) - 1;
    first = std::max(first, options_.longScanFirstSector);
    last = std::min({last, options_.longScanLastSector, int64_t(d->SectorCount()) - 1});
    if (last < first) return;
    // A node that starts in one read and ends in the next is carried over:
    // the last 32 KiB stay in front of the next read.
    const size_t carry = kMaxNodeSize;
    // Aligned, so that the drive reads straight into it (the carry is
    // whole pages).
    std::unique_ptr<uint8_t, void (*)(void*)> buf(static_cast<uint8_t*>(AlignedAlloc(carry + kLongScanReadBytes)),
                                                  AlignedFree);
    if (!buf) ShowErrorAndThrow();
    const uint64_t span = uint64_t(last - first) + 1;
    size_t held = 0;  // bytes in front of the read, from sector `heldAt`
    int64_t heldAt = first;
    int64_t skipTo = first;  // sectors before it belong to a node parsed already
    for (int64_t at = first; at <= last && !Stopped();) {
      const uint32_t sectors = uint32_t(std::min<uint64_t>(kLongScanReadBytes / ss, uint64_t(last - at) + 1));
      if (!ReadSectorsWaited(*d, at, sectors * ss, buf.get() + held)) {
        if (traceHfs) TracePrintfA("HFS Read error %d\n", 0);
        return;
      }
      const size_t have = held + size_t(sectors) * ss;
      const bool end = at + sectors > last;
      // Nodes starting in what is held and read, except the tail kept for
      // the next read (all of it at the end).
      const size_t scanEnd = end ? have : have - std::min(have, carry);
      for (size_t o = 0; o + ss <= scanEnd; o += ss) {
        const int64_t sector = heldAt + int64_t(o / ss);
        if (sector < skipTo) continue;
        const uint8_t* p = buf.get() + o;
        if (p[kNodeKind] != 0xFF || p[kNodeHeight] != 0x01) continue;
        const size_t left = have - o;
        uint32_t ns = nodeSize;
        if (!ns) ns = FindHFSBTreeNodeSize(p, left);
        if (!ns || ns > left) continue;
        const uint32_t bound = uint32_t(std::min<uint64_t>(v_.catalogFork.logicalSize / ns, UINT32_MAX));
        if (!IsHFSCatalogLeafNode(p, ns, bound)) continue;
        CatalogLeaf(p, ns, sector);
        skipTo = sector + int64_t(ns / ss);
      }
      if (!end) {
        const size_t keep = have - scanEnd;
        std::memmove(buf.get(), buf.get() + scanEnd, keep);
        held = keep;
        heldAt = heldAt + int64_t(scanEnd / ss);
      }
      at += sectors;
      Progress(0.85 * double(uint64_t(at - first)) / double(span));
    }
  }

  CHFSPlusVol& v_;
  ScanSink& e_;
  const AppState& options_;
  int progressStart_;
  int lastPercent_ = -1;
  WString prefix_;
  FolderTree folders_;
  // CNIDs below the header's next one, and at least the first 65,536.
  const uint32_t denseIds_ = std::min<uint32_t>(1u << 22, std::max<uint32_t>(v_.header.nextCatalogId, 1u << 16));
  std::vector<uint64_t> firstSeen_;
  std::unordered_map<uint32_t, uint64_t> farSeen_;
  std::unordered_map<uint32_t, std::vector<uint64_t>> moreSeen_;
  std::unordered_map<uint32_t, Incomplete> incomplete_;
  std::vector<HfsExtentsRecord> catalogChunks_;
  struct Deferred {
    int64_t index;
    uint32_t parent;
  };
  std::vector<Deferred> deferred_;
};

}  // namespace

int ParseHFSPlus(CHFSPlusVol& volume, ScanSink& engine, int progressStart) {
  TRACE_FN("CHFSPlusVol::ParseHFSPlus");
  HfsParse parse(volume, engine, progressStart);
  parse.Run();
  return -1;
}

void ParseCatalogLeafNode(CHFSPlusVol& volume, ScanSink& engine, const uint8_t* node, uint32_t nodeSize,
                          const uint8_t* extentsNode, uint32_t extentsNodeSize) {
  HfsParse parse(volume, engine, 0);
  parse.Leaves(node, nodeSize, extentsNode, extentsNodeSize);
}

void TraceHFSNodeDescriptor(const uint8_t* node, int64_t number) {
  const HfsNodeDescriptor d = ReadHfsNodeDescriptor(node);
  const char* kind = d.kind == kKindLeaf     ? "leaf"
                     : d.kind == kKindIndex  ? "index"
                     : d.kind == kKindHeader ? "header"
                     : d.kind == kKindMap    ? "map"
                                             : "invalid";
  TracePrintfA("Node %ld - fLink %ld - nbLink %ld - ", int32_t(number), int32_t(d.forward), int32_t(d.backward));
  TracePrintfA("Node type: %s - ", kind);
  TracePrintfA("height: %d - numRecords %d\n", int(d.height), int(d.records));
  if (d.kind > kKindMap && d.kind != kKindLeaf)
    TracePrintfA("Invalid node desc type %d @ %I64d\n", int(d.kind), number);
}

int TraceHFSLeafRecords(const uint8_t* node, uint32_t nodeSize, int* status) {
  *status = 0;
  if (!node || nodeSize < kMinNodeSize) return 0;
  const HfsNodeDescriptor d = ReadHfsNodeDescriptor(node);
  if (uint64_t(d.records) * 2 + 2 >= nodeSize) return 0;
  int count = 0;
  for (uint32_t i = 0; i < d.records; ++i) {
    const uint32_t at = HfsRecordOffset(node, nodeSize, i);
    if (at < kNodeDescriptorBytes || at + kCatKeyName > nodeSize) {
      *status = 1000002;
      break;
    }
    const uint32_t nameLength = GetBigEndian16(node + at + kCatKeyNameLength);
    const uint32_t keyLength = GetBigEndian16(node + at + kCatKeyLength);
    if (nameLength > kMaxNameLength) {
      *status = 1000001;
      break;
    }
    const uint64_t data = uint64_t(at) + 2 + keyLength;
    if (data + 2 > nodeSize) {
      *status = 1000002;
      break;
    }
    const uint16_t type = GetBigEndian16(node + data);
    uint64_t bytes = 0;
    if (type == kRecFolder) bytes = kFolderRecordBytes;
    else if (type == kRecFile) bytes = kFileRecordBytes;
    else if (type == kRecFolderThread || type == kRecFileThread) {
      if (data + kThreadFixedBytes > nodeSize) {
        *status = 1000002;
        break;
      }
      const uint32_t units = GetBigEndian16(node + data + kThreadName);
      if (units > kMaxNameLength) {
        *status = 1000001;
        break;
      }
      bytes = kThreadFixedBytes + 2ull * units;
    } else {
      *status = 1000001;
      break;
    }
    if (data + bytes > nodeSize) {
      *status = 1000002;
      break;
    }
    theIoTrace().LogFileRecord(node + at, int(data + bytes - at));
    ++count;
  }
  return count;
}
