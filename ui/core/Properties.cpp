#include "ui/core/Properties.h"

#include "engine/Engine.h"
#include "engine/RecoverNtfs.h"
#include "engine/VolumeRecovery.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

uint64_t NodeLocation(const cnode& node) {
  if (const NodeOps* ops = FindNodeOps(node.kind); ops && ops->location) return ops->location(node);
  return node.id;
}

bool IsLinkWithoutData(const cnode& node) {
  return (node.flags & kNodeSymlink) && NodeHasTrait(node.kind, kNodeTraitNoSymlinks);
}

CVol* NodeVolume(const NTFSObj* engine, const cnode& node) {
  if (!engine || node.volumeIndex == kNoVolume || node.volumeIndex >= engine->volumes.size()) return nullptr;
  return engine->volumes[node.volumeIndex];
}

CVol* VolumeOfRow(const NTFSObj* engine, int32_t nodeIndex, WStringView path) {
  if (!engine) return nullptr;
  if (nodeIndex >= 0 && engine->nodes)
    if (const cnode* c = engine->nodes->GetAt(nodeIndex); c && c->volumeIndex != kNoVolume)
      return NodeVolume(engine, *c);
  if (!path.empty() && path[0] >= 93 && path[0] <= 255) {
    const size_t v = size_t(path[0] - 93);
    if (v < engine->volumes.size()) return engine->volumes[v];
  }
  return nullptr;
}

bool ReadPreviewBytes(NTFSObj* engine, Drive* drive, int64_t nodeIndex, std::vector<uint8_t>& out) {
  out.clear();
  if (!engine || !engine->nodes || nodeIndex < 0) {
    ErrorMsg(Msg(182));
    return false;
  }
  cnode* node = engine->nodes->GetAt(nodeIndex);
  if (!node || node->size == 0 || node->size > kPreviewMaxBytes || IsLinkWithoutData(*node) || node->IsDirectory()) {
    ErrorMsg(Msg(182));
    return false;
  }
  // Excluded sectors are never read, for a preview as for a recovery.
  if (drive) drive->HookExclusiveRanges(theDrvAttr());
  out.assign(size_t(node->size), 0);
  RecMemory memory{out.data(), out.size(), 0};
  int r = -1;
  try {
    if (node->IsSnode()) {
      r = RecoverNtfsNodeToMemory(engine, nodeIndex, &memory);
    } else if (CVol* v = NodeVolume(engine, *node)) {
      uint32_t corrupt = 0;
      r = RecoverVolumeNode(v, node, u"", &memory, &corrupt, nullptr);
    } else {
      ErrorMsg(Msg(344));
    }
  } catch (...) {
    r = -1;
  }
  if (drive) drive->CloseDevice();
  if (r < 0 && r != kRecUnreadable) {
    out.clear();
    return false;
  }
  out.resize(std::min(out.size(), memory.used));
  return true;
}
