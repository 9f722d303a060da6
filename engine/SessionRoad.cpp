// The scan driver's session road: the engine takes a loaded session's
// tables and hands its list over as a scan hands over what it finds.
#include <algorithm>
#include <vector>

#include "engine/Engine.h"
#include "engine/SendObj.h"
#include "engine/Session.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/NtfsBoot.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/SectRanges.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeSearch.h"

namespace {

// The file keeps no record size for an NTFS volume: its boot sector has it.
// A volume whose boot sector cannot be read keeps records of 1024 bytes.
void TakeRecordSize(NTFSVol* v, Drive* drive) {
  if (!drive) return;
  const uint32_t ss = drive->SectorSize();
  std::vector<uint8_t> boot(std::max<uint32_t>(ss, 512));
  try {
    if (!drive->ReadSectors(int64_t(v->startSector), ss, drive->RetryPiece(), boot.data(), true)) return;
  } catch (const DvCodeError&) {
    return;
  }
  if (!NTFS::IsBootSector(boot.data())) return;
  const int8_t n = int8_t(boot[ntfs::kBootClustersPerRecord]);
  const uint64_t bytes = n < 0 ? (-n < 32 ? uint64_t(1) << -n : 0) : uint64_t(n) * v->clusterSize;
  if (bytes == 1024 || bytes == 2048 || bytes == 4096) v->SetRecordSize(uint32_t(bytes));
}

}  // namespace

void NTFSObj::TakeSession(SLSession& session) {
  if (drive && session.exclusions) drive->SetExclusionSet(session.exclusions);
  session.exclusions.reset();
  if (session.nodes) nodes = std::move(session.nodes);
  // The drive's volumes give way to the session's; the table stays the one
  // the engine shares with the drive.
  volumeTable->Clear();
  volumes.reserve(session.volumes.size());
  for (size_t k = 0; k < session.volumes.size(); k++) {
    CVol* v = session.volumes[k];
    v->SetVolumeNumber(uint16_t(k));
    v->drive = drive;
    v->engine = this;
    if (auto* ntfs = dynamic_cast<NTFSVol*>(v)) TakeRecordSize(ntfs, drive);
    volumes.push_back(v);
  }
  session.volumes.clear();
}

int NTFSObj::ReadDVS(SLSession& session) {
  const int64_t count = session.listCount;
  int step = 0;
  WString path;
  for (int64_t k = 0; k < count; k++) {
    if (StopRequested()) break;
    const int64_t index = session.ReadNextNode(&path);
    const cnode* n = nodes->GetAt(index);
    WString prefix;
    if (n && n->volumeIndex < volumes.size() && volumes[n->volumeIndex]) prefix = volumes[n->volumeIndex]->driveLetter;
    if (StoreFileItem(prefix, path, index) == 2) break;
    // Progress in at most 100 steps.
    const int now = int((k + 1) * 100 / count);
    if (now > step) {
      step = now;
      if (sendObj) sendObj->SetPercentComplete(step, kCodeFoundItems, 2);
    }
  }
  return 0;
}
