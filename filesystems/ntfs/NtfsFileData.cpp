#include "filesystems/ntfs/NtfsFileData.h"

#include <algorithm>
#include <cstring>

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/Lznt1.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/IoThread.h"
#include "volumes/RunList.h"
#include "volumes/Streams.h"

namespace {

// The thread's buffer of record reads (platform/Memory.h).
constexpr int kRecordSlot = 5;

Drive* DriveOf(const CVol* v) { return v->drive; }

}  // namespace

namespace {
bool ReadClustersCounted(NTFSVol* v, uint8_t* out, uint64_t lcn, uint32_t count, uint32_t cs, uint32_t* corrupt);
}  // namespace

// Clusters past the end of a drive shorter than its volume (a partial
// image) come back as zeros and count as unreadable.
bool NTFS::ReadVolumeClusters(NTFSVol* v, uint8_t* out, uint64_t lcn, uint32_t count, uint32_t cs, uint32_t* corrupt) {
  Drive* d = DriveOf(v);
  // A read error and an excluded range both leave zeros the file never held.
  auto misses = [d] { return d ? d->TotalErrors() + d->ExcludedFills() : 0u; };
  const uint32_t before = misses();
  const uint32_t were = corrupt ? *corrupt : 0;
  if (!ReadClustersCounted(v, out, lcn, count, cs, corrupt)) return false;
  if (d && corrupt && *corrupt == were && misses() == before && cs) {
    const uint64_t dss = d->SectorSize() ? d->SectorSize() : 512;
    const unsigned __int128 driveEnd = (unsigned __int128)d->SectorCount() * dss;
    const unsigned __int128 first = (unsigned __int128)v->startSector * dss + (unsigned __int128)lcn * cs;
    const unsigned __int128 end = first + (unsigned __int128)count * cs;
    if (end > driveEnd) {
      const unsigned __int128 from = first > driveEnd ? first : driveEnd;
      *corrupt += uint32_t((end - from + cs - 1) / cs);
    }
  }
  return true;
}

namespace {
bool ReadClustersCounted(NTFSVol* v, uint8_t* out, uint64_t lcn, uint32_t count, uint32_t cs, uint32_t* corrupt) {
  Drive* d = DriveOf(v);
  // A read error and an excluded range both leave zeros the file never held.
  auto misses = [d] { return d ? d->TotalErrors() + d->ExcludedFills() : 0u; };
  const uint32_t before = misses();
  uint32_t got = 0;
  const uint32_t transfer = d ? d->TransferSize() : 0;
  if (d && transfer && transfer < cs) {
    // The drive reads less than a cluster at a time: the clusters go in
    // pieces of its transfer size (in whole drive sectors).
    const uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
    const uint32_t piece = std::max(dss, transfer / dss * dss);
    const uint64_t first = v->startSector * uint64_t(dss) + lcn * uint64_t(cs);
    const uint64_t total = uint64_t(count) * cs;
    if (first % dss) {
      ErrorMsg(Msg(630));
      return false;
    }
    for (uint64_t off = 0; off < total; off += piece) {
      const uint32_t n = uint32_t(std::min<uint64_t>(piece, total - off));
      if (!d->ReadSectors(int64_t((first + off) / dss), n, 0, out + off, true)) {
        if (LastErrorText().empty()) ErrorMsg(Msg(630));
        return false;
      }
    }
    if (misses() != before && corrupt) *corrupt += count;
    return true;
  }
  if (!v->ReadClusters(out, int64_t(lcn), count, cs, size_t(count) * cs, &got) || got < count) {
    if (LastErrorText().empty()) ErrorMsg(Msg(630));
    return false;
  }
  if (d && misses() != before) {
    // Count the clusters that hold a sector the drive zero-filled; when the
    // read took more than one request only the whole count is known.
    uint32_t bad = 0;
    IOThread* io = d->IoThread();
    const uint32_t ss = d->SectorSize();
    const bool oneRequest = uint64_t(count) * cs <= d->TransferSize() && v->sectorSize == ss && io &&
                            misses() - before == 1;
    if (oneRequest) {
      const uint32_t perCluster = cs / ss;
      for (uint32_t c = 0; c < count; c++) {
        for (uint32_t s = 0; s < perCluster; s++) {
          if (io->BitSet(kBitmapZero, c * perCluster + s) || io->BitSet(kBitmapExc, c * perCluster + s)) {
            bad++;
            break;
          }
        }
      }
    }
    if (bad == 0) bad = count;
    if (corrupt) *corrupt += bad;
  }
  return true;
}
}  // namespace

int NTFS::ReadResidentRecord(NTFSVol* v, const snode* node, const NTFSStream* stream, inode* r) {
  Drive* d = DriveOf(v);
  if (!d) return -1;
  const uint32_t recSize = v->recordSize ? v->recordSize : 1024;
  const uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  if (node->position < v->startSector) {
    ErrorMsg(u"Could not read MFT entry");
    return -1;
  }
  const uint64_t volByte = (node->position - v->startSector) * uint64_t(v->sectorSize);
  const uint64_t driveByte = v->startSector * uint64_t(dss) + volByte;
  const uint64_t first = driveByte / dss;
  const uint32_t skip = uint32_t(driveByte % dss);
  const uint32_t bytes = (skip + recSize + dss - 1) / dss * dss;
  uint8_t* const buf = ThreadScratchBuffer(kRecordSlot, bytes);
  if (!buf) ShowErrorAndThrow();
  if (!d->ReadSectors(int64_t(first), bytes, 0, buf, true)) {
    TracePrintfA("Could not read MFT entry\n");
    ErrorMsg(u"Could not read MFT entry");
    return -1;
  }
  r->Init(buf + skip, v);
  const WString wanted = stream && stream->name ? WString(stream->name) : WString();
  const int parsed = r->parseEntry(wanted.empty() ? nullptr : wanted.c_str());
  // The record's bytes are the thread's buffer: only what was parsed stays.
  r->record = nullptr;
  if (parsed != 0) {
    if (LastErrorText().empty()) ErrorMsg(u"Could not read MFT entry");
    return -1;
  }
  if (r->runs || r->HasPieces()) {
    TracePrintfA("File has been modified since it was scanned.\n");
    ErrorMsg(u"File has been modified since it was scanned.");
    return -1;
  }
  return 0;
}

bool NTFS::MakeDataReader(NTFSVol* v, const snode* node, const NTFSStream* stream, inode* w) {
  w->Init(nullptr, v);
  if (!w->CopyNode(node)) return false;
  w->volume = v;
  if (stream) {
    if (w->HasPieces()) {
      DeleteXEntryChain(w->Pieces());
    } else {
      FreeRunList(w->runs);
    }
    w->runs = nullptr;
    w->flags &= uint16_t(~kNodeStreams);
    if (stream->pieces) {
      w->runs = reinterpret_cast<uint8_t*>(CopyXEntryChain(stream->pieces));
      if (!w->runs) return false;
      w->flags |= kNodeStreams;
    } else if (stream->runs) {
      w->runs = CopyRunList(stream->runs);
      if (!w->runs) return false;
    }
    w->size = stream->realSize;
    w->validSize = stream->initializedSize;
    w->allocatedSize = 0;
  }
  return true;
}

bool NTFS::IsBootFile(const snode* node) {
  const WString n = node->GetNameW();
  return n == u"$Boot";
}


int NTFS::ReadCompressionUnit(NTFSVol* v, CExtents& map, uint64_t u, uint8_t* in, uint8_t* out, bool lastUnit,
                              uint32_t* corrupt, const uint8_t** unit) {
  *unit = nullptr;
  const uint32_t cs = v->clusterSize ? v->clusterSize : 4096;
  const size_t unitBytes = size_t(cs) * ntfs::kUnitClusters;
  uint32_t data = 0;
  bool holeSeen = false;
  uint64_t vcn = u;
  const uint64_t end = u + ntfs::kUnitClusters;
  while (vcn < end) {
    uint64_t left = 0, next = 0;
    const uint64_t lcn = map.VcnToLcn(vcn, &left, &next);
    if (left == 0) {
      // A hole (or the end of the table) covers the rest of the unit.
      holeSeen = true;
      const uint64_t k = next ? std::min<uint64_t>(next, end - vcn) : end - vcn;
      vcn += k;
      continue;
    }
    if (holeSeen) {
      ErrorMsg(u"Group does not add up to 16 clusters");
      TracePrintfA("Group does not add up to 16 clusters\n");
      return -1;
    }
    const uint32_t k = uint32_t(std::min<uint64_t>(left, end - vcn));
    if (traceMft) TracePrintfA("Reading %ld clusters from %I64d\n", int32_t(k), int64_t(lcn));
    if (!ReadVolumeClusters(v, in + size_t(data) * cs, lcn, k, cs, corrupt)) return -1;
    data += k;
    vcn += k;
  }
  if (data == 0) return 0;
  if (data == ntfs::kUnitClusters) {
    *unit = in;
    return 0;
  }
  int consumed = 0;
  const int64_t got = Lznt1Decompress(in, int(data), int(cs), &consumed, out);
  if (got < 0) {
    VErrorMsg(Msg(147).c_str(), int32_t(u), int32_t(data));
    return -1;
  }
  if (size_t(got) < unitBytes) {
    if (!lastUnit) {
      ErrorMsg(u"Decompressed data length < 16 clusters");
      return -1;
    }
    std::memset(out + got, 0, unitBytes - size_t(got));
  }
  *unit = out;
  return 0;
}
