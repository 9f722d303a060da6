#include "volumes/FolderWalk.h"

#include "foundation/AppState.h"
#include "foundation/FileFilter.h"
#include "foundation/Globals.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

constexpr size_t kMaxFolderPath = 1023;

}  // namespace

FolderWalk& TheFolderWalk() {
  static FolderWalk walk;
  return walk;
}

const WString& CurrentFolderPath(const CVol*) { return TheFolderWalk().path; }

int64_t AddFolderItem(ScanSink& engine, cnode* folder, WStringView parentPath) {
  // Scan and Save lists nothing: the files go to the destination as they
  // are found and their folders are made there as they need them.
  const AppState& options = engine.Options();
  if (engine.SavesFoundFiles()) return -1;
  const uint8_t show = options.scanFlag.load();
  const bool deleted = (folder->flags & kNodeDeleted) != 0;
  if (!(show & (deleted ? 1 : 2))) return -1;
  const WString name = folder->GetNameW();
  if (name.empty()) return -1;
  if (options.fileFilter && !options.fileFilter->ContainsW(name)) return -1;
  if (engine.PathFilterMatch((WString(parentPath) + name).c_str()) != 0) return -1;
  int64_t index = -1;
  if (!engine.AddNewNode(folder, true, &index)) return -1;
  return index;
}

int AddDirEntryNode(CVol* v, cnode* node) {
  if (!node) return 1;
  FolderWalk& walk = TheFolderWalk();
  node->volumeIndex = v->volumeNumber;
  v->SetNodeClusterCode(node);
  const AppState& options = v->Options();
  const uint8_t show = options.scanFlag.load();
  const bool deleted = (node->flags & kNodeDeleted) != 0;
  const bool dir = node->IsDirectory();
  if (!((dir || (show & 2) || deleted) && ((show & 1) || !deleted))) {
    DeleteNode(&node);
    return 1;
  }
  const WString name = node->GetNameW();
  if (!dir) {
    if (options.fileFilter && !options.fileFilter->ContainsW(name)) {
      DeleteNode(&node);
      return 1;
    }
    ScanSink* engine = v->engine;
    if (!engine) {
      DeleteNode(&node);
      return 1;
    }
    node->typeIndex = ExtensionToType(name);
    if (engine->SaveFoundFile(*v, *node, name)) {
      DeleteNode(&node);
      return 1;
    }
    int64_t index = -1;
    cnode* stored = engine->AddNewNode(node, false, &index);
    if (!stored) return 1;
    stored->flags |= kNodeHandedOver;
    engine->StoreFileItem(WString(v->driveLetter), walk.path, index);
    return 1;
  }
  const FamilyScanOps* scans = FindScanOps(v->type);
  if (scans && scans->folderSizeInClusters && v->clusterSize && node->size % v->clusterSize) {
    DeleteNode(&node);
    return 1;
  }
  if (ScanSink* engine = v->engine) {
    const int64_t item = AddFolderItem(*engine, node, walk.path);
    if (item >= 0) {
      engine->Nodes().GetAt(item)->flags |= kNodeHandedOver;
      engine->StoreFileItem(WString(v->driveLetter), walk.path, item);
    }
  }
  WString path = walk.path + name + u"\\";
  if (path.size() > kMaxFolderPath) path = u"\\" + name + u"\\";
  if (deleted) walk.deleted.push_front(FolderWalk::Entry{node, std::move(path)});
  else walk.live.push_back(FolderWalk::Entry{node, std::move(path)});
  return 1;
}
