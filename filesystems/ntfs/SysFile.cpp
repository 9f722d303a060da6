#include "filesystems/ntfs/SysFile.h"

#include "storage/Drive.h"
#include "volumes/VolumeSearch.h"
#include "volumes/RunList.h"
#include "volumes/Streams.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {

// First cluster of the node's data: the first pair of its list or of the
// first piece of its chain; -1 without one.
int64_t FirstCluster(const inode* node) {
  int64_t delta = 0;
  uint32_t length = 0, pos = 0;
  if (const XEntry* chain = node->Pieces()) {
    for (const XEntry* p = chain; p; p = p->next) {
      if (p->firstVcn == 0 && p->runs) return ReadNextRunExt(&delta, &length, p, &pos) == 1 ? delta : -1;
    }
    return -1;
  }
  if (!node->runs) return -1;
  return ReadNextRun(&delta, &length, node->runs, &pos) == 1 ? delta : -1;
}

}  // namespace

SysFile::SysFile(ScanSink* o, Drive* d) : owner(o), drive(d) { Reset(); }

SysFile::~SysFile() = default;

void SysFile::Reset() {
  started = false;
  base = 0;
  for (auto& s : slots) s = nullptr;
  first = -1;
  Drive* d = drive;
  sectorSize = d && d->SectorSize() ? d->SectorSize() : 512;
  const uint32_t readSize = d && d->TransferSize() ? d->TransferSize() : Drive::kTransferSize;
  hint = readSize / sectorSize ? readSize / sectorSize : 1;
}

bool SysFile::ProcSysFile(uint32_t n, inode* node) {
  if (!node || n >= slotCount) return false;
  if (!started) {
    const uint32_t bytes = node->recordBytes ? node->recordBytes : node->RecordSize();
    recordSpan = bytes / sectorSize ? bytes / sectorSize : 1;
  } else if (int64_t(node->position) - base != int64_t(n) * recordSpan) {
    return false;
  }
  slots[n] = node;
  base = int64_t(node->position) - int64_t(n) * recordSpan;
  started = true;
  if (n == ntfs::kRecordVolume && node->volumeName && !node->volumeName->empty())
    label = std::make_unique<WString>(*node->volumeName);
  return true;
}

NTFSVol* SysFile::FlushSysFile(int32_t* tableIndex) {
  if (tableIndex) *tableIndex = -1;
  auto* vol = new (std::nothrow) NTFSVol(owner);
  if (!vol) return nullptr;
  vol->drive = drive;
  vol->SetSectorSize(sectorSize);
  const uint32_t ss = sectorSize;
  inode* mft = slots[ntfs::kRecordMft];
  inode* mirror = slots[ntfs::kRecordMirror];
  if (mft && mirror && (mirror->kind & kNodeClusterCodeMask) != (mft->kind & kNodeClusterCodeMask))
    mft->kind = uint8_t((mft->kind & ~kNodeClusterCodeMask) | (mirror->kind & kNodeClusterCodeMask));

  uint32_t cs = 0;
  for (int pass = 0; pass < 2 && !cs; pass++) {
    for (inode* s : slots) {
      if (!s || (s->kind & kNodeClusterCodeMask) == 0) continue;
      if ((pass == 0) == ((s->flags & kNodeStreams) != 0)) continue;
      cs = s->GetClusterBytes(ss);
      if (cs) break;
    }
  }
  if (cs) vol->SetClusterSize(cs);
  const uint64_t spc = vol->clusterSize / ss ? vol->clusterSize / ss : 1;
  const uint32_t recordBytes = recordSpan * ss;
  if (recordBytes == 1024 || recordBytes == 2048 || recordBytes == 4096) vol->SetRecordSize(recordBytes);

  if (mft) {
    const int64_t c = FirstCluster(mft);
    if (c > 0) vol->mftSector = int64_t(uint64_t(c) * spc);
  }
  if (mirror) {
    const int64_t c = FirstCluster(mirror);
    if (c > 0) vol->mirrorSector = int64_t(uint64_t(c) * spc);
  }

  // Total sectors: the first rule that gives a value.
  const int64_t oldLayout = int64_t(32) * 512 / ss, newLayout = int64_t(6291456) * 512 / ss;
  uint64_t total = 0;
  if ((vol->mftSector == oldLayout || vol->mftSector == newLayout) && vol->mirrorSector > vol->mftSector) {
    total = uint64_t(vol->mirrorSector) * 2;
  }
  if (!total && slots[ntfs::kRecordBadClus]) {
    const NTFSStream* bad = FindStream(slots[ntfs::kRecordBadClus]->streams, InternStreamName(u"$Bad"));
    if (bad && bad->realSize) total = bad->realSize / ss;
  }
  if (!total && slots[ntfs::kRecordBitmap] && slots[ntfs::kRecordBitmap]->size)
    total = slots[ntfs::kRecordBitmap]->size * 8 * spc;
  if (!total && vol->mirrorSector > vol->mftSector) total = uint64_t(vol->mirrorSector) * 2;
  // Twice the mirror's place counts the clusters its formatter halved,
  // rounded down: the volume's last cluster can fall outside. $Bad's length
  // is every cluster; taken when it is at most a few clusters more.
  const bool fromMirror = total && total == uint64_t(vol->mirrorSector) * 2;
  if (fromMirror && slots[ntfs::kRecordBadClus]) {
    const NTFSStream* bad = FindStream(slots[ntfs::kRecordBadClus]->streams, InternStreamName(u"$Bad"));
    const uint64_t exact = bad ? bad->realSize / ss : 0;
    if (exact > total && exact - total <= 4 * spc) total = exact;
  }
  vol->totalSectors = vol->sizeSectors = total;

  int filled = 0, lastFilled = -1;
  bool beyondMirror = false;
  for (int i = 0; i < int(slotCount); i++) {
    if (!slots[i]) continue;
    if (i > 3 && filled > 0) beyondMirror = true;
    filled++;
    lastFilled = i;
  }
  (void)lastFilled;
  if (filled < 2) {
    delete vol;
    return nullptr;
  }
  int64_t start;
  if (beyondMirror) {
    int64_t mftAt = vol->mftSector;
    if (mftAt == 0) mftAt = fromMirror ? oldLayout : newLayout;
    start = base - mftAt;
    vol->statusFromMft = 1;
  } else {
    if (!vol->mirrorSector) {
      delete vol;
      return nullptr;
    }
    start = base - vol->mirrorSector;
    vol->statusFromMirror = 1;
  }
  if (start < 0) {
    delete vol;
    return nullptr;
  }
  vol->startSector = uint64_t(start);
  if (label) vol->label = *label;
  label.reset();
  for (inode* s : slots) {
    if (s) s->flags |= kInodeAtHome | kInodeNumberKnown;
  }
  return HandVolumeToDrive(vol, tableIndex);
}

NTFSVol* SysFile::HandVolumeToDrive(NTFSVol* vol, int32_t* tableIndex) {
  if (!tableIndex || !drive) return vol;
  int32_t index = -1;
  if (!AddVolume(*drive, vol, 0, &index)) {
    // Known already (its records were read with it) or the table is full.
    delete vol;
    *tableIndex = -1;
    return nullptr;
  }
  *tableIndex = index;
  for (inode* s : slots)
    if (s) s->volumeIndex = uint16_t(index);
  return vol;
}
