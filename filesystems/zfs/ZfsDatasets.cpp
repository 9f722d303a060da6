// The pool's datasets: each one's DSL directory in the MOS, its head
// dataset, object set and master node, and the order the walk takes them.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "filesystems/zfs/Dnode.h"
#include "filesystems/zfs/Zap.h"
#include "filesystems/zfs/ZfsEntries.h"
#include "filesystems/zfs/ZfsNode.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "volumes/FolderWalk.h"
#include "volumes/Node.h"

using namespace zfs;

namespace {

// A bonus field of `bytes` at `at` that the dnode's bonus holds.
bool BonusField(const uint8_t* dnode, size_t at, size_t bytes, const uint8_t** out) {
  const ZfsDnode d = ParseZfsDnode(dnode);
  const size_t bonus = d.BonusOffset();
  if (bonus + d.bonusLength > kDnodeBytes || at + bytes > d.bonusLength) return false;
  *out = dnode + bonus + at;
  return true;
}

bool ReadMosDnode(CZFSVol& v, uint64_t object, uint8_t* out) { return v.mos && v.mos->ReadDnode(object, out); }

WString PathPart(const std::string& name) {
  return ConvertNameToWide(reinterpret_cast<const uint8_t*>(name.data()), name.size());
}

}  // namespace

bool ReadZfsObjectBlock0(CZFSVol& v, ZfsOpenNode& set, uint64_t object, std::vector<uint8_t>* block) {
  uint8_t dnode[kDnodeBytes];
  if (!set.ReadDnode(object, dnode)) return false;
  ZfsOpenNode node(v);
  if (!node.Load(dnode, false)) return false;
  try {
    block->assign(node.BlockBytes(), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const int r = node.ReadBlock(0, block->data());
  return r != kZfsReadFailed;
}

int32_t OpenZfsDataset(CZFSVol& v, uint64_t dslDir, const std::string& name, uint64_t* childZap) {
  uint8_t dir[kDnodeBytes], head[kDnodeBytes];
  const uint8_t* field = nullptr;
  if (!ReadMosDnode(v, dslDir, dir) || !BonusField(dir, kDdHeadDataset, 8, &field)) return -1;
  const uint64_t headObject = Le64(field);
  if (childZap) *childZap = BonusField(dir, kDdChildDirZap, 8, &field) ? Le64(field) : 0;
  if (!ReadMosDnode(v, headObject, head) || !BonusField(head, kDsBlkPtr, kBlkPtrBytes, &field)) return -1;
  uint8_t bp[kBlkPtrBytes];
  std::memcpy(bp, field, kBlkPtrBytes);
  if (ZFSBlkPtrCheck(bp, v.sizeSectors, v.sectorSize) != kBpValid) return -1;
  const ZfsBlockPointer osp = ParseZfsBlockPointer(bp);
  std::vector<uint8_t> objset(osp.lsize);
  if (v.BlkPtrDvaRead(bp, objset.data(), objset.size()) == kZfsReadFailed) {
    if (traceZfs) TracePrintfA("Could not read DVA.\n");
    return -1;
  }
  ZfsDataset ds;
  ds.name = name;
  ds.objects = std::make_unique<ZfsOpenNode>(v);
  if (!ds.objects->Load(objset.data() + kObjsetMetaDnode, false)) return -1;
  uint8_t master[kDnodeBytes];
  if (!ds.objects->ReadDnode(kMasterNodeObject, master)) return -1;
  const ZfsDnode m = ParseZfsDnode(master);
  if (m.type == kOtZvol) {
    ds.zvol = true;
  } else {
    std::vector<uint8_t> block;
    if (!ReadZfsObjectBlock0(v, *ds.objects, kMasterNodeObject, &block)) return -1;
    uint64_t root = 0;
    if (!LookupMicroZap(block.data(), block.size(), "ROOT", &root) || root == 0 || root >= ds.objects->ObjectCount()) {
      if (traceZfs) TracePrintfA("Could not find \"ROOT\" in the ZAP.\n");
      return -1;
    }
    ds.rootObject = root;
    LookupMicroZap(block.data(), block.size(), "VERSION", &ds.zplVersion);
  }
  if (traceZfs) TracePrintfA("  DatasetArrayNext: %d\n", int(v.datasets.size()));
  v.datasets.push_back(std::move(ds));
  return int32_t(v.datasets.size() - 1);
}

std::vector<CZFSVol::Child> ReadZfsChildDatasets(CZFSVol& v, uint64_t zapObject) {
  std::vector<CZFSVol::Child> out;
  std::vector<uint8_t> block;
  if (!zapObject || !v.mos || !ReadZfsObjectBlock0(v, *v.mos, zapObject, &block)) return out;
  if (ZapBlockType(block.data(), block.size()) != kZbtMicro) return out;
  ForEachMicroZapEntry(
      block.data(), block.size(), kMzHeaderBytes,
      [](const ZapEntry& e, void* c) {
        const std::string name(reinterpret_cast<const char*>(e.name), e.nameBytes);
        for (const char* hidden : kHiddenDatasets)
          if (name == hidden) return true;
        static_cast<std::vector<CZFSVol::Child>*>(c)->push_back(CZFSVol::Child{name, e.value});
        return true;
      },
      &out);
  return out;
}

namespace {

// One dataset's root (or a volume dataset's one file) on the walk under
// `path`; false when it cannot be read.
bool QueueDataset(CZFSVol& v, FolderWalk& walk, int32_t index, const WString& path) {
  ZfsDataset& ds = v.datasets[size_t(index)];
  if (ds.zvol) {
    // The whole volume is one file named after the dataset, at the root.
    const size_t slash = ds.name.rfind('/');
    const std::string leaf = slash == std::string::npos ? ds.name : ds.name.substr(slash + 1);
    WString here = std::move(walk.path);
    walk.path = u"\\";
    AddZfsVolumeDatasetNode(v, index, reinterpret_cast<const uint8_t*>(leaf.data()), leaf.size());
    walk.path = std::move(here);
    return true;
  }
  cnode* root = MakeZfsFolderNode(v, index, ds.rootObject);
  if (!root) return false;
  walk.live.push_back(FolderWalk::Entry{root, path});
  return true;
}

}  // namespace

bool ScanZfsDatasets(CZFSVol& v, FolderWalk& walk, bool restart) {
  if (restart) {
    // A walk again (a second scan): the datasets opened by the last one go.
    if (v.datasets.size() > 1) v.datasets.resize(1);
    v.nextChild = 0;
    if (!v.rootNode) return false;
    walk.live.push_back(FolderWalk::Entry{v.rootNode, u"\\RootDataset\\"});
    return true;
  }
  while (v.nextChild < v.topChildren.size()) {
    const CZFSVol::Child child = v.topChildren[v.nextChild++];
    uint64_t childZap = 0;
    const int32_t index = OpenZfsDataset(v, child.dslDir, child.name, &childZap);
    const WString name = PathPart(child.name);
    if (index < 0 || !QueueDataset(v, walk, index, u"\\" + name + u"\\")) {
      // The datasets after it are still read.
      if (traceZfs) TracePrintfA("Dataset %s could not be read\n", child.name.c_str());
      continue;
    }
    // Its children under its name; theirs are not visited.
    for (const CZFSVol::Child& grand : ReadZfsChildDatasets(v, childZap)) {
      const int32_t g = OpenZfsDataset(v, grand.dslDir, child.name + "/" + grand.name, nullptr);
      if (g < 0 || !QueueDataset(v, walk, g, u"\\" + name + u"\\" + PathPart(grand.name) + u"\\")) {
        if (traceZfs) TracePrintfA("Dataset %s/%s could not be read\n", child.name.c_str(), grand.name.c_str());
      }
    }
    return true;
  }
  return false;
}
