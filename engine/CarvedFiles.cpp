#include "engine/CarvedFiles.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "carving/CarveScan.h"
#include "carving/CarvedNames.h"
#include "carving/DriveReader.h"
#include "carving/HdrNode.h"
#include "engine/Engine.h"
#include "engine/RecoverNtfs.h"
#include "filesystems/ntfs/GuessVolume.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/FileFilter.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/FileTypes.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"

namespace {

uint32_t DriveSectorSize(const NTFSObj& engine) {
  return engine.drive && engine.drive->SectorSize() ? engine.drive->SectorSize() : 512;
}

// Cameras' raw files keep data past what their directories claim.
bool SizeAgrees(uint8_t type, uint64_t hitSize, uint64_t fileSize, uint32_t ss) {
  if (hitSize == 0) return false;
  const uint64_t diff = hitSize > fileSize ? hitSize - fileSize : fileSize - hitSize;
  if (diff <= uint64_t(2) * ss) return true;
  const bool camera = type == kTypeCr2 || type == kTypeNef || type == kTypeTif;
  return camera && diff >= uint64_t(3) * ss && diff <= uint64_t(99) * ss;
}

// The kinds of a file and of a hit are one when either may be written as
// the other (a LibreOffice ppt carves as doc, a nef's header is a tif's).
bool TypesAgree(uint8_t fileType, uint8_t hitType) {
  return CarvedTypeAccepts(fileType, hitType) || CarvedTypeAccepts(hitType, fileType);
}

// The one volume that holds a carved node: among volumes with a drive
// letter first, then among the others; -1 when none or several do.
int32_t CarvedFileVolume(const NTFSObj& engine, const cnode* node) {
  const std::vector<CVol*>& vols = engine.volumes;
  for (int lettered = 1; lettered >= 0; lettered--) {
    std::vector<uint8_t> mark(vols.size(), 0);
    for (size_t i = 0; i < vols.size(); i++)
      if (vols[i] && vols[i]->HasDriveLetter() == bool(lettered)) mark[i] = kGuessUpToDriveEnd;
    const int kept = GuessVolume(vols, engine.drive, node, mark);
    if (kept > 1) return -1;
    if (kept == 1) return int32_t(std::find_if(mark.begin(), mark.end(), [](uint8_t m) { return m != 0; }) - mark.begin());
  }
  return -1;
}

// The hits that start at `sector` (one per header sector).
const HdrHit* HitAt(std::vector<HdrHit>& hits, int64_t sector) {
  auto it = std::lower_bound(hits.begin(), hits.end(), sector,
                             [](const HdrHit& h, int64_t s) { return h.start < s; });
  return it != hits.end() && it->start == sector ? &*it : nullptr;
}

}  // namespace

int64_t AddHdrNode(NTFSObj& engine, const HdrHit& hit, WStringView name, uint64_t fileTime) {
  inode n;
  n.CreateHdrNode(hit.start, hit.size, DriveSectorSize(engine), fileTime ? fileTime : engine.scanStart);
  if (!n.runs) return -1;
  n.name = engine.Nodes().InternName(name);
  n.typeIndex = hit.type;
  if (!(hit.flags & kHdrClassHeaderSized)) n.flags |= GradeBits(kGradeGood);
  if (hit.type < kExtTableSize) engine.extTable[hit.type].nextNumber++;
  int64_t index = -1;
  return engine.AddNewNode(&n, true, &index) ? index : -1;
}

int MapFilesToHdr(NTFSObj& engine) {
  TRACE_FN("MapFilesToHdr");
  std::vector<HdrHit>& hits = engine.carvedHits;
  if (hits.empty() || !engine.nodes) return 0;
  const uint32_t ss = DriveSectorSize(engine);
  CNdArray& nodes = engine.Nodes();
  int matched = 0;
  for (int64_t i = 0, count = nodes.Count(); i < count; i++) {
    cnode* c = nodes.GetAt(i);
    if (!c || !c->IsSnode() || c->IsDirectory() || (c->flags & kInodeCarved)) continue;
    const uint8_t* runs = c->RunBuffer();
    if (!runs || c->size == 0) continue;
    int64_t firstCluster = 0;
    if (GetClusterCount(runs, &firstCluster) <= 0 || firstCluster <= 0) continue;
    uint8_t type = c->typeIndex;
    if (type == kNoType) type = ExtensionToType(c->GetNameW());
    // The node's volume, or for a record no volume explained every NTFS
    // volume whose clusters could hold it.
    std::vector<uint8_t> mark(engine.volumes.size(), 0);
    for (size_t k = 0; k < engine.volumes.size(); k++) {
      if (c->volumeIndex != kNoVolume && k != c->volumeIndex) continue;
      const CVol* v = engine.volumes[k];
      if (!v || v->type != kVolNtfs || !v->clusterSize) continue;
      mark[k] = 1;
      if (!GuessVolume(engine.volumes, engine.drive, c, mark, uint32_t(k))) continue;
      const unsigned __int128 at =
          v->startSector + (unsigned __int128)uint64_t(firstCluster) * v->clusterSize / ss;
      if (at > (unsigned __int128)INT64_MAX) continue;
      const int64_t sector = int64_t(at);
      HdrHit* hit = const_cast<HdrHit*>(HitAt(hits, sector));
      if (!hit || (hit->flags & kHitMatched)) continue;
      // A file of no carving type is the same file when the hit's size agrees.
      if (type != kNoType && !TypesAgree(type, hit->type)) continue;
      if (!SizeAgrees(hit->type, uint64_t(hit->size), c->size, ss)) continue;
      hit->flags |= kHitMatched;
      if (c->volumeIndex == kNoVolume) c->volumeIndex = uint16_t(k);
      if (!(hit->flags & kHdrClassHeaderSized)) c->flags = uint16_t((c->flags & ~kNodeGradeMask) | GradeBits(kGradeGood));
      TracePrintfW(u"Hdr,%I64d,%ld,%I64d,%s\n", sector, int32_t(i), int64_t(hit->size), c->GetNameW());
      matched++;
      break;
    }
  }
  return matched;
}

int ProcUnknown(NTFSObj& engine) {
  TRACE_FN("ProcUnknown");
  if (engine.carvedHits.empty() || !engine.drive) return 0;
  const uint32_t ss = DriveSectorSize(engine);
  DriveHdrReader reader(engine.drive);
  uint8_t* first = static_cast<uint8_t*>(AlignedAlloc(ss));
  if (!first) return 0;
  const WString extra = FormatW(u"\\%s\\", Msg(15));
  int shown = 0;
  for (HdrHit& hit : engine.carvedHits) {
    if (engine.StopRequested()) break;
    if ((hit.flags & (kHitMatched | kHdrClassInternal)) || hit.size <= 0) continue;
    if (FileTypeExtension(hit.type).empty()) continue;
    // The first sector holds a picture's EXIF date.
    const bool read = reader.ReadSectors(hit.start, 1, first);
    const uint32_t number = engine.extTable[hit.type].nextNumber;
    const CarvedPlace place =
        PlaceCarvedFile(&reader, hit.type, hit.start, uint64_t(hit.size), number, read ? first : nullptr, ss);
    if (place.name.empty()) continue;
    if (g_appState && g_appState->fileFilter && !g_appState->fileFilter->ContainsW(place.name)) continue;
    const WString folder = extra + place.folder + u"\\";
    if (engine.PathFilterMatch((folder + place.name).c_str()) != 0) continue;
    const int64_t index = AddHdrNode(engine, hit, place.name, place.fileTime);
    if (index < 0) continue;
    hit.flags |= kHitMatched;
    cnode* node = engine.Nodes().GetAt(index);
    WString prefix;
    const int32_t v = CarvedFileVolume(engine, node);
    if (v >= 0) {
      node->volumeIndex = uint16_t(v);
      prefix.assign(engine.volumes[size_t(v)]->driveLetter);
    }
    node->flags |= kNodeHandedOver;
    engine.CountStat(kStatItemsFound);
    shown++;
    if (engine.StoreFileItem(prefix, folder, index) == 2) break;
  }
  AlignedFree(first);
  return shown;
}

int RecoverHdr(NTFSObj* engine, int64_t nodeIndex, WStringView target, WStringView temporary, CHashFile* hash) {
  TRACE_FN("NTFSObj::RecoverHdr");
  if (!engine || !engine->nodes || !engine->drive) return -1;
  cnode* c = engine->nodes->GetAt(nodeIndex);
  if (!c || !c->IsSnode() || !(c->flags & kInodeCarved)) {
    ErrorMsg(Msg(182));
    return -1;
  }
  auto* node = static_cast<snode*>(c);
  if (!engine->defaultVolume) {
    // A carved file's runs count the drive's sectors from its start.
    engine->defaultVolume.reset(engine->CreateDefaultVolume());
    engine->defaultVolume->SetSectorSize(DriveSectorSize(*engine));
    engine->defaultVolume->SetClusterSize(DriveSectorSize(*engine));
  }
  if (hash && hash->existingSize() != int64_t(node->size)) hash = nullptr;
  const WString writeTo(temporary.empty() ? target : temporary);
  uint32_t corrupt = 0;
  int r = NtfsRecoverFile(engine->defaultVolume.get(), node, writeTo, nullptr, nullptr, hash, &corrupt);
  if (r == kRecIdentical || (r < 0 && r != kRecUnreadable)) {
    // An identical copy already there is left as it is.
    if (r != kRecIdentical || !temporary.empty()) ::unlink(ToUtf8(writeTo).c_str());
    return -1;
  }
  if (!temporary.empty() && MoveFileLong(temporary, target) < 0) {
    ::unlink(ToUtf8(temporary).c_str());
    return -1;
  }
  if (r == kRecUnreadable || corrupt) {
    if (corrupt == 0) corrupt = 1;
    VErrorMsg(Msg(476).c_str(), int32_t(corrupt));
    return int(corrupt);
  }
  return 0;
}

std::vector<int64_t> NTFSObj::IndexBufferSectors() const {
  std::vector<int64_t> out;
  for (const HdrHit& h : carvedHits)
    if (h.type == kTypeIdx && !(h.flags & kHitMatched)) out.push_back(h.start);
  return out;
}
