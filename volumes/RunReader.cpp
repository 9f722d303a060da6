#include "volumes/RunReader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "volumes/Node.h"
#include "volumes/Streams.h"
#include "volumes/Volume.h"

namespace {
// The work buffer never grows past this, whatever a caller asks for.
constexpr uint64_t kMaxWorkBytes = uint64_t(64) << 20;
}  // namespace

RunReader::~RunReader() { FreeWorkBuffer(); }

void RunReader::Bind(const Source& source) { src_ = source; }

void RunReader::Reset() {
  FreeWorkBuffer();
  ForgetMap();
}

void RunReader::ForgetMap() {
  map.FreeAll();
  map.Reset();
  mapBuilt = false;
}

int64_t RunReader::BuildMappingTablesAll() {
  map.FreeAll();
  map.Reset();
  const uint32_t cs = src_.clusterBytes;
  map.SetSectorSize(src_.sectorBytes);
  map.SetClusterSize(cs);
  mapBuilt = true;
  const cnode* node = src_.node;
  if (!node) return -1;
  if (node->HasPieces()) {
    const uint64_t streamEnd = src_.allocatedSize ? src_.allocatedSize / cs : (node->size + cs - 1) / cs;
    for (const XEntry* p = node->Pieces(); p; p = p->next) {
      if (p->firstVcn < map.TotalClusters()) continue;  // overlapping piece: the first one wins
      if (p->runs) {
        if (p->firstVcn > map.TotalClusters()) {
          const uint64_t gap = p->firstVcn - map.TotalClusters();
          const uint64_t lcn = map.RunCount() ? map.Runs()[map.RunCount() - 1].lcnEnd : 0;
          if (!map.AppendRun(map.TotalClusters(), lcn, gap, true)) return -1;
        }
        if (map.BuildVCNMappingTable(p->runs) < 0) return -1;
      } else {
        const uint64_t end = p->next ? p->next->firstVcn : streamEnd;
        if (end <= p->firstVcn) continue;
        const uint64_t length = end - p->firstVcn;
        if (length < 1 || length > 0xFFFFFFFFull) continue;
        const uint64_t lcn = map.RunCount() ? map.Runs()[map.RunCount() - 1].lcnEnd : 0;
        if (p->firstVcn > map.TotalClusters() &&
            !map.AppendRun(map.TotalClusters(), lcn, p->firstVcn - map.TotalClusters(), true))
          return -1;
        if (!map.AppendRun(p->firstVcn, lcn, length, true)) return -1;
      }
    }
  } else if (node->runs) {
    if (map.BuildVCNMappingTable(node->runs) < 0) return -1;
  }
  return int64_t(map.RunCount());
}

int64_t RunReader::Offset2LSN(int64_t offset) {
  if (offset < 0) return 0;
  if (!mapBuilt && BuildMappingTablesAll() <= 0) return 0;
  const uint32_t cs = src_.clusterBytes, ss = src_.sectorBytes;
  const uint64_t cluster = uint64_t(offset) / cs;
  const uint64_t sectorInCluster = (uint64_t(offset) % cs) / ss;
  uint64_t left = 0;
  const uint64_t lcn = map.VcnToLcn(cluster, &left);
  if (left == 0) return 0;
  return int64_t(lcn * (cs / ss) + sectorInCluster);
}

bool RunReader::GrowWork(uint32_t clusters) {
  const uint32_t cs = src_.clusterBytes;
  if (clusters <= workClusters && work) return true;
  if (uint64_t(clusters) * cs > kMaxWorkBytes) clusters = uint32_t(kMaxWorkBytes / cs);
  if (clusters <= workClusters && work) return true;
  AlignedFree(work);
  workClusters = 0;
  workFirst = -1;
  workHeld = 0;
  work = static_cast<uint8_t*>(AlignedAlloc(size_t(clusters) * cs));
  if (!work) return false;
  workClusters = clusters;
  return true;
}

void RunReader::FreeWorkBuffer() {
  AlignedFree(work);
  AlignedFree(copy);
  AlignedFree(unitIn);
  AlignedFree(unitOut);
  work = copy = unitIn = unitOut = nullptr;
  workClusters = copySize = 0;
  workFirst = -1;
  workHeld = 0;
  seqPos = 0;
  nextUnitCluster = -1;
}

uint8_t* RunReader::ReadMapped(int64_t vcn0, uint32_t n, uint8_t* out, uint32_t* read) {
  const uint32_t cs = src_.clusterBytes;
  uint32_t done = 0;
  while (done < n) {
    const uint64_t vcn = uint64_t(vcn0) + done;
    uint64_t left = 0, next = 0;
    uint64_t lcn = map.VcnToLcn(vcn, &left, &next);
    uint64_t k;
    if (left == 0 && next > 0) {
      k = std::min<uint64_t>(next, n - done);
      std::memset(out + size_t(done) * cs, 0, size_t(k) * cs);
      done += uint32_t(k);
      continue;
    }
    if (left == 0) {
      // Past the table: the clusters after the last entry on disk, unless
      // the table says nothing about the disk there.
      const size_t count = map.RunCount();
      if (count == 0) break;
      const ExtentRun& last = map.Runs()[count - 1];
      if (vcn < map.TotalClusters() || (count == 1 && last.lcn == 0) || last.IsHole()) {
        std::memset(out + size_t(done) * cs, 0, size_t(n - done) * cs);
        done = n;
        break;
      }
      lcn = last.lcnEnd + (vcn - map.TotalClusters());
      k = n - done;
    } else {
      k = std::min<uint64_t>(left, n - done);
    }
    if (!src_.volume) break;
    uint32_t got = 0;
    if (!src_.volume->ReadClusters(out + size_t(done) * cs, int64_t(lcn), uint32_t(k), cs, size_t(k) * cs, &got) ||
        got == 0)
      break;
    done += got;
    if (got < k) break;
  }
  *read = done;
  return done ? out : nullptr;
}

uint8_t* RunReader::ReadClusters(int64_t vcn, uint32_t count, uint32_t* read) {
  uint32_t dummy = 0;
  if (!read) read = &dummy;
  *read = 0;
  if (vcn < 0 || count == 0) return nullptr;
  if (!mapBuilt || map.RunCount() == 0) {
    if (BuildMappingTablesAll() <= 0) return nullptr;
  }
  if (!GrowWork(count)) ShowErrorAndThrow();
  if (count > workClusters) count = workClusters;
  uint8_t* r;
  if (src_.compressed && src_.expand) {
    r = ReadCompressedClusters(vcn, count, read, work);
  } else {
    r = ReadMapped(vcn, count, work, read);
  }
  workFirst = r ? vcn : -1;
  workHeld = r ? *read : 0;
  return r;
}

uint8_t* RunReader::ReadCompressedClusters(int64_t vcn, uint32_t count, uint32_t* read, uint8_t* buffer) {
  *read = 0;
  const uint32_t cs = src_.clusterBytes;
  const int64_t unitClusters = src_.unitClusters;
  const int64_t end = vcn + count;
  for (int64_t u = vcn & ~(unitClusters - 1); u < end; u += unitClusters) {
    const uint8_t* unit = ReadCompressionGroup(u);
    if (!unit) return nullptr;
    const int64_t from = std::max(vcn, u), to = std::min(end, u + unitClusters);
    std::memcpy(buffer + size_t(from - vcn) * cs, unit + size_t(from - u) * cs, size_t(to - from) * cs);
  }
  *read = count;
  return buffer;
}

uint8_t* RunReader::ReadCompressionGroup(int64_t u) {
  const uint32_t unitClusters = src_.unitClusters;
  if (u < 0 || unitClusters == 0 || (u % unitClusters) != 0) {
    VErrorMsg(Msg(147).c_str(), 2, 1);
    return nullptr;
  }
  const uint32_t cs = src_.clusterBytes;
  const size_t unitBytes = size_t(cs) * unitClusters;
  if (!unitIn) unitIn = static_cast<uint8_t*>(AlignedAlloc(unitBytes));
  if (!unitOut) unitOut = static_cast<uint8_t*>(AlignedAlloc(unitBytes));
  if (!unitIn || !unitOut) ShowErrorAndThrow();
  if (!mapBuilt && BuildMappingTablesAll() <= 0) return nullptr;
  const bool trace = traceMft.load(std::memory_order_relaxed) != 0;

  uint32_t data = 0, holes = 0;
  bool tableEnded = false;
  uint64_t vcn = uint64_t(u);
  const uint64_t unitEnd = uint64_t(u) + unitClusters;
  while (vcn < unitEnd) {
    uint64_t left = 0, next = 0;
    uint64_t lcn = map.VcnToLcn(vcn, &left, &next);
    uint64_t k;
    if (left == 0 && next > 0) {
      k = std::min<uint64_t>(next, unitEnd - vcn);
      holes += uint32_t(k);
      vcn += k;
      if (trace) TracePrintfW(u"EmptyClusters %ld\n", int32_t(k));
      continue;
    }
    if (left == 0) {
      tableEnded = true;
      if (data == 0 || nextUnitCluster < 0) {
        holes += uint32_t(unitEnd - vcn);
        break;
      }
      lcn = uint64_t(nextUnitCluster);
      k = unitEnd - vcn;
    } else {
      k = std::min<uint64_t>(left, unitEnd - vcn);
    }
    if (trace) TracePrintfW(u"Run # %ld\n", int32_t(k));
    uint32_t got = 0;
    uint8_t* at = unitIn + size_t(data) * cs;
    if (!src_.volume || !src_.volume->ReadClusters(at, int64_t(lcn), uint32_t(k), cs, size_t(k) * cs, &got)) got = 0;
    if (got < k) std::memset(at + size_t(got) * cs, 0, size_t(k - got) * cs);
    data += uint32_t(k);
    nextUnitCluster = int64_t(lcn + k);
    vcn += k;
  }

  if (data == 0) {
    std::memset(unitOut, 0, unitBytes);
    return unitOut;
  }
  // A unit whose clusters all hold data is stored as it is.
  if (data == unitClusters && !tableEnded) return unitIn;
  const bool lastUnit = tableEnded || unitEnd >= map.TotalClusters();
  int consumed = 0;
  const int64_t produced = src_.expand ? src_.expand(unitIn, int(data), int(cs), &consumed, unitOut) : -1;
  if (trace) TracePrintfW(u"dLeng %ld\n", int32_t(produced));
  if (produced < 0) {
    if (!lastUnit) return nullptr;
    std::memset(unitOut, 0, unitBytes);
    return unitOut;
  }
  if (size_t(produced) < unitBytes) std::memset(unitOut + produced, 0, unitBytes - size_t(produced));
  return unitOut;
}

uint8_t* RunReader::SequentialRead(uint32_t bytes) {
  if (bytes == 0) return nullptr;
  const uint32_t cs = src_.clusterBytes;
  const uint64_t first = seqPos / cs, off = seqPos % cs;
  const uint64_t need = (off + bytes + cs - 1) / cs;
  if (workFirst >= 0 && first >= uint64_t(workFirst) && first + need <= uint64_t(workFirst) + workHeld) {
    uint8_t* p = work + size_t(first - uint64_t(workFirst)) * cs + off;
    seqPos += bytes;
    return p;
  }
  if (copySize < bytes) {
    AlignedFree(copy);
    copy = static_cast<uint8_t*>(AlignedAlloc(bytes));
    copySize = copy ? bytes : 0;
    if (!copy) ShowErrorAndThrow();
  }
  uint32_t filled = 0;
  while (filled < bytes) {
    const uint64_t at = seqPos + filled;
    const uint64_t cl = at / cs, o = at % cs;
    if (workFirst >= 0 && cl >= uint64_t(workFirst) && cl < uint64_t(workFirst) + workHeld) {
      const uint64_t avail = (uint64_t(workFirst) + workHeld - cl) * cs - o;
      const uint32_t take = uint32_t(std::min<uint64_t>(avail, bytes - filled));
      std::memcpy(copy + filled, work + size_t(cl - uint64_t(workFirst)) * cs + o, take);
      filled += take;
      continue;
    }
    const uint64_t clusters = (o + (bytes - filled) + cs - 1) / cs;
    uint32_t got = 0;
    if (!ReadClusters(int64_t(cl), uint32_t(std::min<uint64_t>(clusters, 0xFFFFFFFFu)), &got) || got == 0) {
      std::memset(copy + filled, 0, bytes - filled);
      filled = bytes;
    }
  }
  seqPos += bytes;
  return copy;
}
