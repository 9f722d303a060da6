#include "filesystems/zfs/ZfsSession.h"

#include "filesystems/zfs/Label.h"
#include "filesystems/zfs/ZfsNode.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"

void ZfsWriteVolumeTail(const CVol& volume, SessionTail& tail) {
  const auto* v = dynamic_cast<const CZFSVol*>(&volume);
  if (!v) return;  // written as zeros, refused on load
  if (v->datasets.size() > 1) {
    ErrorMsg(u"This version does not support saving session for a ZFS volume with multiple datasets.");
    throw DvCodeError{0};
  }
  tail.numbers = {v->labelProbe * int64_t(v->sectorSize)};
}

bool ZfsReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  if (!v || !v->drive || tail.numbers.size() != 1 || tail.numbers[0] < 0) return false;
  const int64_t probe = int64_t(v->startSector) + (tail.numbers[0] >> v->clusterShift);
  if (probe < 0 || uint64_t(probe) >= v->drive->SectorCount()) return false;
  ZfsLabel label;
  ZFSReadLabel(*v->drive, probe, v->Options().uberblockBackVersion, &label);
  if (!label.listFound || !label.haveUberblock) return false;
  const std::vector<uint8_t> boot = MakeZfsBootBlock(label, probe);
  return InitZFSVol(*v, boot.data(), int64_t(v->startSector));
}

void ZfsWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const ZfsNode* z = AsZfsNode(&node);
  if (!z) return;
  out.Number(int64_t(z->object));
  out.Number(z->datasetIndex);
  out.Number(int64_t(z->time0));
  out.Number(int64_t(z->time1));
  out.Number(0);  // the fifth field of the format, unused
  out.EndLine();
}

void ZfsReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& z = static_cast<ZfsNode&>(node);
  const int64_t object = in.Number(), dataset = in.Number(), time0 = in.Number(), time1 = in.Number();
  in.Number();
  in.SkipLine();
  if (object < 0 || object > int64_t(zfs::kDirentObjectMask) || dataset < -1 || dataset > INT32_MAX || time0 < 0 ||
      time1 < 0)
    in.Fail();
  z.object = uint64_t(object);
  z.id = uint32_t(object);
  z.datasetIndex = int32_t(dataset);
  z.time0 = uint64_t(time0);
  z.time1 = uint64_t(time1);
}
