#include "volumes/Volume.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/HTree.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/Extents.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeFamily.h"

namespace {

int Log2(uint32_t v) {
  int s = 0;
  while ((uint32_t(1) << s) < v) ++s;
  return s;
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

const AppState& CVol::Options() const { return engine ? engine->Options() : ProgramOptions(); }

bool CVol::StopRequested() const {
  return engine ? engine->StopRequested() : ProgramOptions().stopRequested.load() != 0;
}

bool CVol::ContinueAfterPause() const {
  if (engine) {
    engine->WaitWhilePaused();
    return !engine->StopRequested();
  }
  const AppState& o = ProgramOptions();
  while (o.pauseRequested.load() && !o.stopRequested.load()) {
    if (g_eventPause) {
      g_eventPause->Wait(200);
    } else {
      usleep(200 * 1000);
    }
  }
  return !o.stopRequested.load();
}

void CVol::ReportBadExtent() const {
  if (engine) engine->ReportBadExtent();
}

namespace {

// Cluster buffers a volume gives back serve the next volume: a scan makes
// and drops volumes (the volume search's candidates, a session's), and a
// fresh megabyte from the system is paid for in page faults each time.
// They are handed out zero-filled, as AlignedAlloc's are.
constexpr size_t kPooledBuffers = 4;
struct BufferPool {
  BufferPool() { free.reserve(kPooledBuffers); }
  std::mutex mutex;
  std::vector<uint8_t*> free;
};
// Never destroyed: volumes may go after the statics do.
BufferPool& ThePool() {
  static BufferPool* pool = new BufferPool;
  return *pool;
}

uint8_t* TakeClusterBuffer() {
  uint8_t* b = nullptr;
  {
    BufferPool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (!pool.free.empty()) {
      b = pool.free.back();
      pool.free.pop_back();
    }
  }
  if (b) {
    std::memset(b, 0, kClusterBufferBytes);
    return b;
  }
  return static_cast<uint8_t*>(AlignedAlloc(kClusterBufferBytes));
}

void GiveClusterBuffer(uint8_t* b) {
  if (!b) return;
  {
    BufferPool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.free.size() < kPooledBuffers) {
      pool.free.push_back(b);
      return;
    }
  }
  AlignedFree(b);
}

}  // namespace

CVol::CVol() : nodeIndex(std::make_unique<HTree>(4096, 4096, 3, 2, HtTypes(kHtInt, kHtText, kHtInt))) {}

CVol::~CVol() {
  FreeBuf();
  nodeIndex.reset();
  folderPaths.reset();
  DeleteNode(&rootNode);
  FreeExtents();
}

void CVol::FreeBuf() {
  cachedParentKey = -1;
  cachedPath.clear();
  cachedPath.shrink_to_fit();
  cachedFound = cachedNamed = false;
  cachedTableParent = -1;
  dirIndex.reset();
  for (uint8_t*& b : clusterBuffers_) {
    GiveClusterBuffer(b);
    b = nullptr;
  }
}

// ---------------------------------------------------------------- geometry

bool CVol::SetSectorSize(uint32_t bytes) {
  if (!IsPowerOfTwo(bytes)) return false;
  sectorSize = bytes;
  sectorShift = uint32_t(Log2(bytes));
  sectorMask = bytes - 1;
  if (clusterSize >= sectorSize) {
    sectorsPerCluster = clusterSize / sectorSize;
    sectorsPerClusterShift = clusterShift - sectorShift;
    sectorsPerClusterMask = sectorsPerCluster - 1;
  }
  return true;
}

bool CVol::SetClusterSize(uint32_t bytes) {
  if (!IsPowerOfTwo(bytes)) return false;
  clusterSize = bytes;
  clusterShift = uint32_t(Log2(bytes));
  clusterMask = bytes - 1;
  if (clusterSize >= sectorSize) {
    sectorsPerCluster = clusterSize / sectorSize;
    sectorsPerClusterShift = clusterShift - sectorShift;
    sectorsPerClusterMask = sectorsPerCluster - 1;
  }
  return true;
}

void CVol::CopyGeometry(const CVol& other) {
  startSector = other.startSector;
  sizeSectors = other.sizeSectors;
  SetSectorSize(other.sectorSize);
  SetClusterSize(other.clusterSize);
}

void CVol::SetNodeClusterCode(cnode* node) const {
  if (node) node->SetClusterBytes(clusterSize, sectorSize);
}

// ---------------------------------------------------------------- names

void CVol::SetDriveLetter(WStringView path) {
  driveLetter[0] = 0;
  if (path.size() >= 2 && path[1] == u':') {
    char16_t c = AsciiUpper(path[0]);
    if (c >= u'A' && c <= u'Z') driveLetter[0] = c;
  }
  driveLetter[1] = u':';
  driveLetter[2] = 0;
}

WString CVol::GetDisplayName() const {
  WString text = Msg(90);
  char16_t code = driveLetter[0];
  if (code >= u'A' && code <= u'Z') {
    text += FormatW(u" %c:", code);
  } else if (code >= kNoLetterBase && code <= 255) {
    text += FormatW(u" %d", int(code - kNoLetterBase));
  }
  return text;
}

const WString& CVol::GetVolumeLabel() {
  // A family that reads its label from its folders (FAT's root) does it on
  // first use; the others set it when they start.
  if (label.empty())
    if (const FamilyVolumeOps* ops = FindVolumeOps(type); ops && ops->readLabel) ops->readLabel(*this);
  return label;
}

bool CVol::IsRootInode(uint32_t id) const {
  if (const FamilyVolumeOps* ops = FindVolumeOps(type); ops && ops->isRootId) return ops->isRootId(*this, id);
  // A volume whose file system is not known yet takes any id.
  return type == kVolUnknown && id != 0;
}

const char16_t* CVol::NodeKindName(uint32_t mode) {
  switch (mode & 0xF000) {
    case 0x8000:
      return u"file";
    case 0x4000:
      return u"dir";
    default:
      return u"";
  }
}

// ---------------------------------------------------------------- reading

uint8_t* CVol::GetClusterBuffer() {
  uint8_t*& b = clusterBuffers_[bufferSlot_];
  if (!b) {
    b = TakeClusterBuffer();
    if (!b) ShowErrorAndThrow();
  }
  return b;
}

Drive* CVol::SourceDrive() const { return drive; }

uint8_t* CVol::ReadBounced(uint8_t* out, uint64_t volumeByte, uint32_t bytes, Drive* d) {
  uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  uint64_t first = volumeByte / dss;
  uint64_t end = (volumeByte + bytes + dss - 1) / dss;
  uint64_t span = (end - first) * dss;
  size_t skip = size_t(volumeByte - first * dss);
  if (span > 0xFFFFFFFFu || first > uint64_t(INT64_MAX)) {
    errno = ERANGE;
    ErrorMsg(nullptr);
    return nullptr;
  }
  if (!out) {
    // Without a caller's buffer the data stays in the drive's own buffer.
    if (span > d->TransferSize()) {
      errno = EINVAL;
      ErrorMsg(nullptr);
      return nullptr;
    }
    uint8_t* data = d->ReadSectors(int64_t(first), uint32_t(span), d->RetryPiece(), nullptr, true);
    return data ? data + skip : nullptr;
  }
  uint8_t* bounce = static_cast<uint8_t*>(AlignedAlloc(size_t(span)));
  if (!bounce) ShowErrorAndThrow();
  uint8_t* data = nullptr;
  try {
    data = d->ReadSectors(int64_t(first), uint32_t(span), d->RetryPiece(), bounce, true);
  } catch (...) {
    AlignedFree(bounce);
    throw;
  }
  if (data) std::memcpy(out, data + skip, bytes);
  AlignedFree(bounce);
  return data ? out : nullptr;
}

uint8_t* CVol::ReadAt(void* buffer, int64_t cluster, uint64_t within, uint32_t bytes, Drive* d) {
  // Volume sector of the cluster, then drive bytes: 128 bits, so no value a
  // corrupt run gives can wrap.
  __int128 sector = cluster;
  if (clusterShift >= sectorShift) {
    sector <<= (clusterShift - sectorShift);
  } else {
    sector >>= (sectorShift - clusterShift);
  }
  // FAT, exFAT and VMFS count clusters from their data area; 0 elsewhere.
  // FAT's cluster 0 may lie before the volume's first sector (signed).
  sector += __int128(int64_t(dataAreaSector));
  uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  __int128 byte = (sector << sectorShift) + __int128(startSector) * dss + within;
  if (byte < 0) {
    __int128 driveSector = (byte - (dss - 1)) / dss;
    VErrorMsg(Msg(362).c_str(), int64_t(driveSector < INT64_MIN ? INT64_MIN : driveSector));
    return nullptr;
  }
  if (byte + bytes > __int128(INT64_MAX)) {
    errno = ERANGE;
    ErrorMsg(nullptr);
    return nullptr;
  }
  uint64_t at = uint64_t(byte);
  uint8_t* data;
  if (at % dss == 0 && bytes % dss == 0) {
    data = d->ReadSectors(int64_t(at / dss), bytes, d->RetryPiece(), buffer, true);
  } else {
    data = ReadBounced(static_cast<uint8_t*>(buffer), at, bytes, d);
  }
  return data;
}

uint8_t* CVol::ReadClusterBytes(void* buffer, int64_t cluster, uint64_t within, uint32_t bytes) {
  Drive* d = SourceDrive();
  if (!d || bytes == 0) {
    errno = d ? EINVAL : ENODEV;
    ErrorMsg(nullptr);
    return nullptr;
  }
  return ReadAt(buffer, cluster, within, bytes, d);
}

uint8_t* CVol::ReadClusters(void* buffer, int64_t cluster, uint32_t count, uint32_t bytesPerCluster,
                            size_t bufferBytes, uint32_t* clustersRead) {
  if (clustersRead) *clustersRead = 0;
  if (bytesPerCluster == 0) bytesPerCluster = clusterSize;
  Drive* d = SourceDrive();
  if (!d) {
    errno = ENODEV;
    ErrorMsg(nullptr);
    return nullptr;
  }
  size_t room = buffer ? bufferBytes : (d->TransferSize() ? d->TransferSize() : kClusterBufferBytes);
  if (room > 0x80000000u) room = 0x80000000u;  // one request's byte count is 32-bit
  uint64_t fits = room / bytesPerCluster;
  if (fits < count) count = uint32_t(fits);
  if (count == 0) {
    errno = EINVAL;
    ErrorMsg(nullptr);
    return nullptr;
  }

  uint8_t* data = ReadAt(buffer, cluster, 0, count * bytesPerCluster, d);
  if (data && clustersRead) *clustersRead = count;
  return data;
}

uint8_t* CVol::ReadInodeDataCm(uint64_t offset, uint64_t length, uint64_t* outBytes, CExtents* ext, uint8_t* buffer,
                               size_t bufferBytes) {
  if (outBytes) *outBytes = 0;
  if (!ext) ext = extents.get();
  if (!buffer) {
    buffer = GetClusterBuffer();
    bufferBytes = kClusterBufferBytes;
  }
  if (length == 0) return buffer;
  if (!ext) {
    ErrorMsg(Msg(630));
    return nullptr;
  }
  uint32_t shift = ext->clusterShift;
  uint64_t unit = uint64_t(1) << shift;
  uint64_t last = offset + (length - 1);
  if (last < offset) last = UINT64_MAX;  // a length past the end of 64 bits
  uint64_t first = offset >> shift;
  uint64_t clusters = (last >> shift) - first + 1;
  uint64_t fits = bufferBytes / unit;
  if (clusters > fits) clusters = fits;
  if (clusters == 0) {
    errno = EINVAL;
    ErrorMsg(nullptr);
    return nullptr;
  }

  uint64_t done = 0;
  while (done < clusters) {
    uint64_t left = 0, next = 0;
    uint64_t lcn = ext->VcnToLcn(first + done, &left, &next);
    uint64_t want = clusters - done;
    uint8_t* at = buffer + done * unit;
    if (left > 0) {
      uint64_t n = left < want ? left : want;
      if (lcn > uint64_t(INT64_MAX)) {
        errno = ERANGE;
        ErrorMsg(nullptr);
        return nullptr;
      }
      uint32_t got = 0;
      if (!ReadClusters(at, int64_t(lcn), uint32_t(n), uint32_t(unit), size_t(n * unit), &got) || got != n)
        return nullptr;
      done += n;
    } else {
      if (next == 0) {
        // Past the mapping: what was read so far is delivered; nothing at
        // all is the caller's error.
        if (done > 0) break;
        ErrorMsg(Msg(630));
        return nullptr;
      }
      uint64_t n = next < want ? next : want;
      std::memset(at, 0, size_t(n * unit));
      done += n;
    }
  }
  if (outBytes) *outBytes = done << shift;
  return buffer;
}

uint8_t* CVol::ReadNodeClusters(const cnode* node, int64_t cluster, uint32_t count, uint64_t* outBytes) {
  if (outBytes) *outBytes = 0;
  if (!node || cluster < 0) return nullptr;
  const uint32_t cs = extents ? extents->clusterSize : clusterSize;
  if (!cs || uint64_t(cluster) > UINT64_MAX / cs) return nullptr;
  uint8_t* buffer = GetClusterBuffer();
  const uint64_t want = std::min<uint64_t>(uint64_t(count) * cs, kClusterBufferBytes);
  const int64_t got = ReadNodeData(*node, uint64_t(cluster) * cs, want, buffer, kClusterBufferBytes);
  if (got <= 0) return nullptr;
  if (outBytes) *outBytes = uint64_t(got);
  return buffer;
}

int64_t CVol::ReadNodeData(const cnode& node, uint64_t offset, uint64_t length, uint8_t* buffer, size_t capacity) {
  if (const FamilyDataOps* ops = FindDataOps(type); ops && ops->read)
    return ops->read(*this, node, offset, buffer, size_t(std::min<uint64_t>(capacity, length)));
  uint64_t got = 0;
  if (!ReadInodeDataCm(offset, length, &got, nullptr, buffer, capacity)) return -1;
  return int64_t(got);
}

// ---------------------------------------------------------------- extents

uint64_t CVol::ClusterLimit(uint32_t clusterBytes) const {
  if (!clusterBytes) clusterBytes = clusterSize;
  if (!sizeSectors || !clusterBytes) return UINT64_MAX;
  // The volume's bytes from cluster 0 of the numbering on (FAT's cluster 0
  // may lie before the volume's first sector).
  const __int128 bytes = (__int128(sizeSectors) - __int128(int64_t(dataAreaSector))) * sectorSize;
  if (bytes <= 0) return 0;
  const __int128 clusters = bytes / clusterBytes;
  return clusters > __int128(UINT64_MAX) ? UINT64_MAX : uint64_t(clusters);
}

CExtents* CVol::CreateExtents(CExtents* made) {
  FreeExtents();
  extents.reset(made ? made : new CExtents());
  extents->SetSectorSize(sectorSize);
  extents->SetClusterSize(clusterSize);
  return extents.get();
}

void CVol::FreeExtents() { extents.reset(); }

bool CVol::BuildNodeExtents(const cnode* node, const void* aux, uint32_t* corruptOut) {
  if (corruptOut) *corruptOut = 0;
  if (!node) return false;
  // No other node's map may pass for this one's.
  FreeExtents();
  if (const FamilyDataOps* ops = FindDataOps(type); ops && ops->map) return ops->map(*this, *node, aux, corruptOut);
  // No reader of the family's mappings yet.
  PrepareNodeExtents(*this, *node);
  return false;
}

int CVol::LoadNodeRuns(const cnode* node) {
  (void)node;
  // Seam: the work inode (the NTFS file record) takes the node's runs here.
  return 0;
}

// ---------------------------------------------------------------- others

namespace {
std::atomic<NodeTypeSniffer> g_nodeTypeSniffer{nullptr};
}

void SetNodeTypeSniffer(NodeTypeSniffer sniffer) { g_nodeTypeSniffer.store(sniffer); }

WString CVol::SniffNodeType(const cnode* node) {
  const NodeTypeSniffer sniff = g_nodeTypeSniffer.load();
  if (!sniff || !node) return WString();
  const uint32_t bytes = node->GetClusterBytes(sectorSize);
  uint64_t got = 0;
  const uint8_t* data = nullptr;
  if (const uint8_t* runs = node->RunBuffer()) {
    // A node with a run list (NTFS, FAT, exFAT, carved) maps its first
    // cluster through it, whatever the volume's family.
    CExtents map;
    map.SetSectorSize(sectorSize);
    if (!map.SetClusterSize(bytes) || map.BuildVCNMappingTable(runs) < 0) return WString();
    data = ReadInodeDataCm(0, bytes, &got, &map);
  } else if (BuildNodeExtents(node)) {
    data = ReadNodeClusters(node, 0, 1, &got);
  }
  if (!data || got == 0) return WString();
  const uint8_t type = sniff(this, node, data, size_t(std::min<uint64_t>(got, bytes)));
  return WString(FileTypeExtension(type));
}

int CVol::Remap(cnode* node, WString* path) {
  (void)node;
  (void)path;
  return 0;  // seam: the recycler
}

int CVol::ScanInfo2(cnode* node) {
  (void)node;
  return 0;  // seam: the recycler
}

int CVol::CopyClusterRange(const uint8_t* runList, uint64_t clusters, WStringView fileName) {
  CExtents map;
  map.SetSectorSize(sectorSize);
  map.SetClusterSize(clusterSize);
  if (map.BuildVCNMappingTable(runList) < 0) return -1;
  int fd = CreateFileLongPath(fileName, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    ErrorMsg(nullptr, WString(fileName).c_str());
    return -1;
  }
  uint8_t* buffer = GetClusterBuffer();
  const uint64_t perPiece = kClusterBufferBytes / clusterSize;
  uint64_t done = 0;
  int result = 0;
  while (done < clusters && ContinueAfterPause()) {
    uint64_t n = clusters - done < perPiece ? clusters - done : perPiece;
    uint64_t got = 0;
    if (!ReadInodeDataCm(done * clusterSize, n * clusterSize, &got, &map, buffer, kClusterBufferBytes) ||
        got < n * clusterSize) {
      ShowError(u"Error reading cluster %I64d. Only %d out of %d clusters read", int64_t(done), int(got / clusterSize),
                int(n));
      result = -1;
      break;
    }
    size_t want = size_t(n * clusterSize), written = 0;
    while (written < want) {
      ssize_t w = write(fd, buffer + written, want - written);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      written += size_t(w);
    }
    if (written != want) {
      ErrorMsg(nullptr);
      ShowError(u"Error writing cluster %I64d. Only %d out of %d bytes written", int64_t(done), int(written),
                int(want));
      result = -1;
      break;
    }
    done += n;
  }
  close(fd);
  return result;
}

// ---------------------------------------------------------------- helpers

bool MatchesUnitCount(uint64_t size, uint64_t count, uint64_t lo, uint64_t hi) {
  if (count == 0) return size == 0;
  for (unsigned __int128 u = lo; u != 0 && u <= hi; u <<= 1) {
    unsigned __int128 top = u * count;
    if (top - u < size && size <= top) return true;
  }
  return false;
}

WString AnsiPrintableToWide(const uint8_t* bytes, size_t length) {
  if (!bytes) return WString();
  size_t n = 0;
  while (n < length && bytes[n] >= 0x20 && bytes[n] != 0x7F) ++n;
  return FromUtf8(std::string_view(reinterpret_cast<const char*>(bytes), n));
}
