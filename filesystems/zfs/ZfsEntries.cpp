#include "filesystems/zfs/ZfsEntries.h"

#include <new>

#include "filesystems/zfs/Definitions.h"
#include "filesystems/zfs/Dnode.h"
#include "filesystems/zfs/Zap.h"
#include "filesystems/zfs/ZfsNode.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

using namespace zfs;

namespace {

constexpr uint64_t kModeFormat = 0170000, kModeLink = 0120000;

// Size, times and kind of a file or folder from its dnode; false for
// other objects.
bool FillFromDnode(CZFSVol& v, ZfsNode& n, const uint8_t* dnode, bool folder) {
  const ZfsDnode d = ParseZfsDnode(dnode);
  const ZfsDataset& ds = v.datasets[size_t(n.datasetIndex)];
  const bool sa = d.bonusType == kOtSa || (d.bonusType != kOtZnode && ds.zplVersion > kZplVersionZnode);
  const ZfsFileAttributes a = ReadZfsFileAttributes(dnode, sa);
  const uint64_t span = d.dataBlockBytes ? (d.maxBlkId + 1) * d.dataBlockBytes : 0;
  n.time0 = a.mtime;
  n.time1 = a.ctime;
  if (folder) {
    if (d.type != kOtDirectory) return false;
    n.flags2 |= kNode2Directory;
    // A folder's size field counts its entries.
    const uint64_t unit = ds.zplVersion == kZplVersionZnode ? v.sectorSize : kSectorUnit;
    n.size = a.size && a.size <= UINT64_MAX / unit ? a.size * unit : span;
  } else if (d.type == kOtPlainFile) {
    n.size = a.size;
    if (!sa && (a.mode & kModeFormat) == kModeLink) n.flags |= kNodeSymlink;
  } else {
    return false;
  }
  return true;
}

bool Named(CZFSVol& v, cnode& n, const uint8_t* name, size_t bytes) {
  if (!v.engine || bytes == 0) return false;
  n.name = v.engine->Nodes().InternName(ConvertNameToWide(name, bytes));
  return n.name != nullptr;
}

}  // namespace

cnode* MakeZfsFolderNode(CZFSVol& v, int32_t index, uint64_t object) {
  uint8_t dnode[kDnodeBytes];
  if (!v.ReadObjectDnode(index, object, dnode)) return nullptr;
  auto* n = new (std::nothrow) ZfsNode();
  if (!n) return nullptr;
  n->datasetIndex = index;
  n->object = object;
  n->id = uint32_t(object);
  n->volumeIndex = v.volumeNumber;
  if (!FillFromDnode(v, *n, dnode, true)) {
    delete n;
    return nullptr;
  }
  v.SetNodeClusterCode(n);
  return n;
}

int ZfsAddEntryNode(CZFSVol& v, const ZfsNode& parent, uint64_t value, const uint8_t* name, size_t nameBytes) {
  const uint64_t object = value & kDirentObjectMask;
  const uint8_t type = uint8_t(value >> kDirentTypeShift);
  uint8_t dnode[kDnodeBytes];
  if (!v.engine || !v.ReadObjectDnode(parent.datasetIndex, object, dnode)) return 0;
  const ZfsDnode d = ParseZfsDnode(dnode);
  auto* n = new (std::nothrow) ZfsNode();
  if (!n) return 0;
  n->datasetIndex = parent.datasetIndex;
  n->object = object;
  n->id = uint32_t(object);
  n->parentId = parent.id;
  // A folder is an entry of the directory type whose object is one (a
  // socket's or a device's type shares its bits).
  const bool folder = d.type == kOtDirectory && (type == kDirentDirectory || type == 0);
  if (!FillFromDnode(v, *n, dnode, folder) || !Named(v, *n, name, nameBytes)) {
    delete n;
    return 0;
  }
  if (type == kDirentLink) n->flags |= kNodeSymlink;
  cnode* node = n;
  AddDirEntryNode(&v, node);
  return 1;
}

int AddZfsVolumeDatasetNode(CZFSVol& v, int32_t index, const uint8_t* name, size_t nameBytes) {
  uint8_t dnode[kDnodeBytes];
  if (!v.engine || !v.ReadObjectDnode(index, kMasterNodeObject, dnode)) return 0;
  const ZfsDnode d = ParseZfsDnode(dnode);
  if (d.type != kOtZvol || !d.dataBlockBytes) return 0;
  auto* n = new (std::nothrow) ZfsNode();
  if (!n) return 0;
  n->datasetIndex = index;
  n->object = kMasterNodeObject;
  n->id = uint32_t(kMasterNodeObject);
  n->size = d.maxBlkId < UINT64_MAX / d.dataBlockBytes ? (d.maxBlkId + 1) * d.dataBlockBytes : 0;
  if (const ZfsNode* root = AsZfsNode(v.rootNode)) n->time0 = root->time0, n->time1 = root->time1;
  if (!Named(v, *n, name, nameBytes)) {
    delete n;
    return 0;
  }
  cnode* node = n;
  AddDirEntryNode(&v, node);
  return 1;
}

namespace {

struct EntryContext {
  CZFSVol* volume;
  const ZfsNode* folder;
  int made = 0;
};

bool AddEntry(const ZapEntry& e, void* c) {
  auto* x = static_cast<EntryContext*>(c);
  if (traceZfs)
    TracePrintfA("%s=%I64d\n", std::string(reinterpret_cast<const char*>(e.name), e.nameBytes).c_str(),
                 int64_t(e.value));
  x->made += ZfsAddEntryNode(*x->volume, *x->folder, e.value, e.name, e.nameBytes);
  return !x->volume->StopRequested();
}

}  // namespace

int ParseZFSEntries(CZFSVol& v, const uint8_t* block, size_t bytes, const ZfsNode& folder) {
  EntryContext c{&v, &folder};
  int damaged = 0;
  ForEachMicroZapEntry(block, bytes, kMzHeaderBytes, AddEntry, &c, &damaged);
  if (damaged && traceZfs) TracePrintfA("****** Corrupted ZAP Entry: %d\n", damaged);
  return c.made;
}

int ParseZFSFatEntries(CZFSVol& v, const uint8_t* leaf, size_t bytes, const ZfsNode& folder) {
  EntryContext c{&v, &folder};
  ForEachFatZapLeafEntry(leaf, bytes, AddEntry, &c);
  return c.made;
}

int ParseZfsFolderPiece(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  const ZfsNode* z = AsZfsNode(&folder);
  if (!v || !z || !data || ZfsFolderKey(folder) != v->walkKey) return 0;
  // Taken before any entry: saving a file found here (Scan and Save) maps
  // that file on the volume.
  const uint32_t bs = v->walkBlockBytes;
  if (!bs) return 0;
  if (v->walkForm == ZapForm::kUndecided) {
    const uint64_t first = ZapBlockType(data, bytes);
    v->walkForm = first == kZbtMicro ? ZapForm::kMicro : first == kZbtHeader ? ZapForm::kFat : ZapForm::kNone;
  }
  int made = 0;
  for (size_t at = 0; at + bs <= bytes || (at == 0 && bytes > 0); at += bs) {
    const uint8_t* block = data + at;
    const size_t n = bytes - at < bs ? bytes - at : bs;
    const uint64_t type = ZapBlockType(block, n);
    if (v->walkForm == ZapForm::kMicro && type == kZbtMicro) made += ParseZFSEntries(*v, block, n, *z);
    else if (v->walkForm == ZapForm::kFat && type == kZbtLeaf) made += ParseZFSFatEntries(*v, block, n, *z);
    if (v->StopRequested()) break;
  }
  return made;
}
