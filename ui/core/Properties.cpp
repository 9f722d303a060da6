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

uint64_t NodeLocation(const cnode& node) {
  const uint8_t kind = node.kind;
  if (kind >= 0x20 && kind <= 0x2F) {
    int64_t first = 0;
    const uint8_t* runs = node.RunBuffer();
    if (!runs || GetClusterCount(runs, &first) < 0) return 0;
    return uint64_t(first);
  }
  if (kind <= 15) return static_cast<const snode&>(node).position;
  return node.id;
}

bool IsLinkWithoutData(const cnode& node) {
  const uint8_t kind = node.kind;
  return ((kind >= 0x30 && kind <= 0x5F) || (kind >= 0x70 && kind <= 0x7F)) && (node.flags & kNodeSymlink);
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
