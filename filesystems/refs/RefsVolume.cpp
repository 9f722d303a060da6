#include "filesystems/refs/RefsVolume.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_set>
#include <vector>

#include "filesystems/refs/Definitions.h"
#include "filesystems/refs/RefsBoot.h"
#include "filesystems/refs/RefsFileEntry.h"
#include "filesystems/refs/RefsNode.h"
#include "filesystems/refs/RefsPage.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileFilter.h"
#include "foundation/HTree.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/Extents.h"
#include "volumes/FileTypes.h"
#include "volumes/FolderPath.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

using namespace refs;

namespace {

int Log2(uint64_t v) {
  int s = 0;
  while ((uint64_t(1) << s) < v) ++s;
  return s;
}

// A page buffer of the volume's reads, freed with the scope.
struct PageBuffer {
  uint8_t* bytes = static_cast<uint8_t*>(AlignedAlloc(kPageBytes));
  ~PageBuffer() { AlignedFree(bytes); }
};

const char16_t* const kDroppedEmpty[] = {u"Security Descriptor Stream", u"Volume Direct IO File"};

}  // namespace

CReFSVol::CReFSVol() {
  type = kVolRefs;
  CVol::SetClusterSize(kPageBytes);
}

bool CReFSVol::SetClusterSize(uint32_t bytes) {
  if (bytes < kMinClusterBytes || bytes > kMaxClusterBytes || (bytes & (bytes - 1))) return false;
  refsClusterSize = bytes;
  refsClusterShift = uint32_t(Log2(bytes));
  refsClusterMask = bytes - 1;
  pagesPerCluster = bytes >> kPageShift;
  pagesPerClusterShift = refsClusterShift - kPageShift;
  return true;
}

bool CReFSVol::ReadPage(uint64_t page, uint8_t* out) {
  if (page >= pageCount || page > uint64_t(INT64_MAX)) return false;
  uint32_t got = 0;
  return ReadClusters(out, int64_t(page), 1, kPageBytes, kPageBytes, &got) && got == 1;
}

// A checkpoint page: its own number, a self-reference naming it, and the
// object table's root 0x18 bytes after the self-reference.
bool CReFSVol::CheckpointRoot(uint64_t page, uint64_t* sequence, uint64_t* root) {
  PageBuffer buf;
  if (!buf.bytes || !ReadPage(page, buf.bytes)) return false;
  const RefsPageHeader h = ReadRefsPageHeader(buf.bytes);
  if (h.number != page) return false;
  const uint32_t self = Le32(buf.bytes + kCheckpointSelfRef);
  uint64_t named = 0;
  if (!ReadRefsPageRef(buf.bytes, self, &named) || named != page) return false;
  *sequence = h.sequence;
  uint64_t r = 0;
  if (!ReadRefsPageRef(buf.bytes, size_t(self) + kCheckpointRootAfterSelf, &r) || r >= pageCount) return false;
  *root = r;
  return true;
}

int CReFSVol::Init(const uint8_t* boot, int64_t start) {
  if (!boot || start < 0) return 0;
  const RefsBoot b = ReadRefsBoot(boot);
  if (!b.signature) return 0;
  if (b.major != kReadMajor) {
    const WString text = FormatW(u"ReFS version %d.%d is not read.", int(b.major), int(b.minor));
    TracePrintfW(u"%s\n", text);
    if (ViewSink* view = Options().view) view->LogLine(text);
    return 0;
  }
  if (!b.GeometryUsable() || b.ClusterBytes() > kMaxClusterBytes || !SetClusterSize(uint32_t(b.ClusterBytes())))
    return 0;
  SetSectorSize(b.sectorBytes);
  CVol::SetClusterSize(kPageBytes);
  startSector = uint64_t(start);
  sizeSectors = b.totalSectors;
  pageCount = b.totalSectors * b.sectorBytes / kPageBytes;
  PageBuffer buf;
  if (!buf.bytes) return 0;
  // The superblock: page 30, else its copies near the end.
  bool super = false;
  const uint64_t places[] = {kSuperBlockPage, pageCount >= 3 ? pageCount - 3 : UINT64_MAX,
                             pageCount >= 2 ? pageCount - 2 : UINT64_MAX};
  for (uint64_t p : places) {
    if (p >= pageCount || !ReadPage(p, buf.bytes)) continue;
    if (ReadRefsPageHeader(buf.bytes).number != p) continue;
    const uint32_t refs = Le32(buf.bytes + kSuperCheckpoints), self = Le32(buf.bytes + kSuperSelfRef);
    uint64_t named = 0;
    if (refs > kSuperCheckpointsMax || self > kSuperSelfRefMax ||
        Le32(buf.bytes + kSuperSelfRefLength) != kSuperSelfRefBytes || !ReadRefsPageRef(buf.bytes, self, &named) ||
        named != p)
      continue;
    super = true;
    break;
  }
  if (!super) return 0;
  const uint32_t refs = Le32(buf.bytes + kSuperCheckpoints);
  const uint64_t checkpoints[2] = {Le64(buf.bytes + refs), Le64(buf.bytes + refs + 8)};
  uint64_t seq[2] = {}, root[2] = {};
  bool ok[2] = {};
  for (int i = 0; i < 2; ++i) ok[i] = CheckpointRoot(checkpoints[i], &seq[i], &root[i]);
  if (!ok[0] && !ok[1]) return 0;
  // The newer checkpoint; equal sequences take the second.
  const int use = ok[0] && ok[1] ? (seq[0] > seq[1] ? 0 : 1) : (ok[0] ? 0 : 1);
  rootPage = root[use];
  return 1;
}

// ---------------------------------------------------------------- the walk

namespace {

bool IsDroppedEmpty(WStringView name) {
  for (const char16_t* n : kDroppedEmpty)
    if (name == n) return true;
  return false;
}

}  // namespace

int CReFSVol::Search(ScanSink& sink) {
  TRACE_FN("CReFSVol::Search");
  if (!rootPage || rootPage >= pageCount) return 0;
  PageBuffer buf;
  if (!buf.bytes) return 0;
  const AppState& options = Options();
  const uint8_t show = options.scanFlag.load();
  const bool skipDeleted = options.skipDeleted.load() != 0;
  const WString prefix(driveLetter);
  std::deque<uint64_t> queue{rootPage};
  // Each page once, and only pages of the volume: a page that names itself
  // or a page already queued (a cycle, a shared child) is not read again.
  std::unordered_set<uint64_t> queued{rootPage};
  std::vector<int64_t> unplaced;
  auto enqueue = [&](uint64_t page) {
    if (page < pageCount && queued.size() < pageCount && queued.insert(page).second) queue.push_back(page);
  };
  cachedParentKey = -1;
  while (!queue.empty()) {
    if (!ContinueAfterPause()) break;
    const uint64_t page = queue.front();
    queue.pop_front();
    if (!ReadPage(page, buf.bytes)) break;
    const RefsPageHeader h = ReadRefsPageHeader(buf.bytes);
    if (h.number != page) continue;
    const bool objectTable = h.kind == kKindObjectTable;
    const uint32_t parent = uint32_t(h.table);
    RefsEntries entries(buf.bytes, size_t(kPageIndexOffset) + h.indexOffset);
    RefsEntry e;
    while (entries.Next(&e)) {
      if (e.deleted && skipDeleted) continue;
      if (objectTable || e.valueLength == kChildValueBytes) {
        uint64_t child = 0;
        if (e.value && ReadRefsPageRef(buf.bytes, e.at + e.valueOffset, &child)) enqueue(child);
        continue;
      }
      if (e.keyType == kKeyLabel) {
        if (e.value) label = WString(reinterpret_cast<const char16_t*>(e.value), e.valueLength / 2);
        continue;
      }
      if (e.keyType != kKeyFile && e.keyType != kKeyDirectory) continue;
      if (!e.valid || e.valueOffset < e.keyLength + 16 || e.valueLength <= 7 || !e.value || !e.name) continue;
      WString name;
      for (size_t i = 0; i + 2 <= e.nameBytes; i += 2) name += char16_t(Le16(e.name + i));
      if (name.empty()) continue;
      const bool dir = e.keyType == kKeyDirectory;
      // The scan's choice of live and deleted entries, and the name filter
      // for files; folders are always entered (files may sit below them).
      if (!dir && !((show & 2) || e.deleted)) continue;
      if (e.deleted && !(show & 1) && !dir) continue;
      if (!dir && options.fileFilter && !options.fileFilter->ContainsW(name)) continue;
      auto* n = new (std::nothrow) RefsNode();
      if (!n) continue;
      cnode* holder = n;  // destroyed through the family when not kept
      n->parentId = parent;
      n->volumeIndex = volumeNumber;
      SetNodeClusterCode(n);
      if (e.deleted) n->flags |= kNodeDeleted;
      n->name = sink.Nodes().InternName(name);
      WString path;
      if (dir) {
        n->flags2 |= kNode2Directory;
        n->id = Le32(e.value);
        if (nodeIndex) nodeIndex->AddItem(n->id, parent, name.c_str());
        cachedParentKey = -1;
        const bool placed = GetHashDir(*this, *n, &path);
        const int64_t item = AddFolderItem(sink, n, placed ? WStringView(path) : WStringView());
        if (item >= 0) {
          if (placed) {
            sink.Nodes().GetAt(item)->flags |= kNodeHandedOver;
            sink.StoreFileItem(prefix, path, item);
          } else {
            unplaced.push_back(item);
          }
        }
        DeleteNode(&holder);
        continue;
      }
      const RefsFileEntry f = ReadRefsFileEntry(buf.bytes, e);
      if (!f.ok || (f.size == 0 && IsDroppedEmpty(name))) {
        DeleteNode(&holder);
        continue;
      }
      n->size = f.size;
      n->time1 = f.time1;
      n->time2 = f.time2;
      n->typeIndex = ExtensionToType(name);
      if (f.size) {
        n->extentPage = page;
        n->rootOffset = f.rootOffset;
      }
      int64_t index = -1;
      cnode* stored = sink.AddNewNode(n, false, &index);
      if (!stored) continue;
      if (GetHashDir(*this, *stored, &path)) {
        stored->flags |= kNodeHandedOver;
        sink.StoreFileItem(prefix, path, index);
      } else {
        unplaced.push_back(index);
        sink.AddFoundCount(1);
      }
    }
  }
  // What was met before its folder: placed now that every folder has been
  // seen (or under "Extra files" when its folder never was).
  for (int64_t index : unplaced) {
    if (sink.StopRequested()) break;
    cnode* c = sink.Nodes().GetAt(index);
    if (!c || (c->flags & kNodeHandedOver)) continue;
    WString path;
    GetHashDir(*this, *c, &path);
    c->flags |= kNodeHandedOver;
    if (!c->IsDirectory()) sink.AddFoundCount(-1);
    sink.StoreFileItem(prefix, path, index);
  }
  return 1;
}

// ---------------------------------------------------------------- runs

bool CReFSVol::ReadObjectTable(const cnode& node, uint32_t* corruptOut) {
  if (corruptOut) *corruptOut = 0;
  if (node.Family() != kNodeRefs || !pagesPerCluster) return false;
  const auto& n = static_cast<const RefsNode&>(node);
  CExtents* map = CreateExtents();
  map->Reset();
  const uint64_t total = node.size / kPageBytes + (node.size % kPageBytes ? 1 : 0);
  if (!n.extentPage || !node.size) {
    map->SetTotalClusters(total);
    return true;
  }
  PageBuffer buf;
  if (!buf.bytes) return false;
  // Pages past the drive's end (a cut image) are missing, not zeros.
  uint64_t onDrive = pageCount;
  if (drive) {
    const uint32_t dss = drive->SectorSize() ? drive->SectorSize() : 512;
    const unsigned __int128 end = (unsigned __int128)drive->SectorCount() * dss;
    const unsigned __int128 first = (unsigned __int128)startSector * dss;
    onDrive = end > first ? uint64_t(std::min<unsigned __int128>((end - first) / kPageBytes, pageCount)) : 0;
  }
  struct Run {
    uint64_t logical, physical, count;
  };
  std::vector<Run> runs;
  uint64_t bad = 0;
  std::deque<std::pair<uint64_t, uint32_t>> queue{{n.extentPage, n.rootOffset}};
  std::unordered_set<uint64_t> seen{n.extentPage};
  while (!queue.empty()) {
    const auto [page, offset] = queue.front();
    queue.pop_front();
    if (!ReadPage(page, buf.bytes)) return false;
    RefsEntries entries(buf.bytes, offset);
    RefsEntry e;
    while (entries.Next(&e)) {
      if (!e.value) continue;
      if (e.valueLength == kChildValueBytes) {
        uint64_t child = 0;
        if (ReadRefsPageRef(buf.bytes, e.at + e.valueOffset, &child) && child < pageCount && seen.size() < pageCount &&
            seen.insert(child).second)
          queue.emplace_back(child, kExtentChildRoot);
      } else if (e.valueLength == kExtentValueBytes) {
        const RefsExtent x = ReadRefsExtent(e.value);
        if (!x.count) continue;
        // In pages; an extent whose clusters overflow or lie past the volume
        // is never read: the file is missing them.
        const unsigned __int128 vcn = (unsigned __int128)x.logical << pagesPerClusterShift;
        const unsigned __int128 lcn = (unsigned __int128)x.physical << pagesPerClusterShift;
        const unsigned __int128 len = (unsigned __int128)x.count << pagesPerClusterShift;
        if (vcn + len > UINT64_MAX / 2) continue;
        if (lcn + len > pageCount) {
          if (uint64_t(vcn) < total) bad += std::min<uint64_t>(uint64_t(len), total - uint64_t(vcn));
          continue;
        }
        // The part past the drive's end.
        const uint64_t kept = lcn >= onDrive ? 0 : uint64_t(std::min<unsigned __int128>(len, onDrive - lcn));
        if (kept < len && uint64_t(vcn) + kept < total)
          bad += std::min<uint64_t>(uint64_t(len) - kept, total - (uint64_t(vcn) + kept));
        if (kept) runs.push_back(Run{uint64_t(vcn), uint64_t(lcn), kept});
      }
    }
  }
  // Logical order, whatever order the pages were visited in.
  std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.logical < b.logical; });
  for (const Run& r : runs) {
    // Extents that overlap ones already mapped are not taken twice.
    if (r.logical < map->TotalClusters() || !map->AppendRun(r.logical, r.physical, r.count)) continue;
  }
  if (map->TotalClusters() < total) map->SetTotalClusters(total);
  if (corruptOut) *corruptOut = uint32_t(std::min<uint64_t>(bad, UINT32_MAX));
  return true;
}
