#include "filesystems/vmfs/VmfsVolume.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "filesystems/vmfs/VmfsAddress.h"
#include "filesystems/vmfs/VmfsDescriptor.h"
#include "filesystems/vmfs/VmfsDirEntry.h"
#include "filesystems/vmfs/VmfsHeader.h"
#include "filesystems/vmfs/VmfsNode.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/IoTrace.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

using namespace vmfs;

namespace {

void LogLine(const CVol& v, WStringView text) {
  if (ViewSink* view = v.Options().view) view->LogLine(WString(text));
}

bool IsName(const VmfsDirEntry& e, const char* name) {
  const size_t n = strlen(name);
  return e.nameBytes == n && memcmp(e.name, name, n) == 0;
}

uint64_t DivUp(uint64_t a, uint64_t b) { return a / b + (a % b ? 1 : 0); }

}  // namespace

CVMFSVol::CVMFSVol() {
  type = kVolVmfs;
  SetClusterSize(kClusterBytes);
  auto* root = new VmfsNode();
  root->flags2 |= kNode2Directory;
  root->id = kRootAddress;
  root->type = kTypeDirectory;
  rootNode = root;
}

CVMFSVol::~CVMFSVol() {
  DeleteNode(&rootNode);
  AlignedFree(scratch_);
}

bool CVMFSVol::SetBlockSize(uint32_t bytes) {
  if (bytes < kMinBlockSize || bytes > kMaxBlockSize || (bytes & (bytes - 1))) return false;
  blockSize = bytes;
  blockShift = 0;
  while ((uint32_t(1) << blockShift) < bytes) ++blockShift;
  blockMask = bytes - 1;
  clustersPerBlock = bytes / kClusterBytes;
  clustersPerBlockShift = blockShift - 12;
  dataAreaSector = kAreaAt >> sectorShift;
  return true;
}

void CVMFSVol::FillNode(VmfsNode& n, const VmfsDescriptor& d) {
  n.size = d.size;
  n.type = d.type;
  n.modifyTime = d.modifyTime;
  n.changeTime = d.changeTime;
  n.mode = d.mode;
  n.word584 = d.word584;
}

// ---------------------------------------------------------------- set-up

int CVMFSVol::Init(const uint8_t* header, int64_t start) {
  if (!header || start < 0) return 0;
  startSector = uint64_t(start);
  if (drive && drive->SectorSize()) SetSectorSize(drive->SectorSize());
  std::vector<uint8_t> super(kSuperBlockBytes);
  const VmfsVolumeHeader lvm = ReadVmfsVolumeHeader(header);
  if (lvm.valid) {
    if (lvm.version >= kVersionSix) {
      LogLine(*this, u"VMFS 6 is not read: the volume is left out.");
      return 0;
    }
    sizeSectors = lvm.SizeSectors(sectorSize);
    version = lvm.version;
    uint32_t got = 0;
    if (!drive) return 0;
    dataAreaSector = kAreaAt >> sectorShift;
    const int64_t cluster = int64_t(kSuperBlockInArea / kClusterBytes);
    if (!ReadClusters(super.data(), cluster, 1, kClusterBytes, super.size(), &got) || got != 1) return 0;
  } else if (Le32(header) == kSuperMagic) {
    memcpy(super.data(), header, 512);
    sizeSectors = 0;
  } else {
    return 0;
  }
  const VmfsSuperBlock sb = ReadVmfsSuperBlock(super.data());
  if (!sb.valid) return 0;
  if (sb.IsVmfs6()) {
    LogLine(*this, u"VMFS 6 is not read: the volume is left out.");
    return 0;
  }
  if (!SetBlockSize(sb.blockSize)) return 0;
  SetNodeClusterCode(rootNode);
  label = sb.label;
  if (!Bootstrap()) return 0;
  uint8_t fd[kFdBytes];
  if (!ReadDescriptor(kRootAddress, fd)) return 0;
  const VmfsDescriptor root = ReadVmfsDescriptor(fd);
  if (root.type != kTypeDirectory) return 0;
  FillNode(*static_cast<VmfsNode*>(rootNode), root);
  rootNode->id = kRootAddress;
  rootNode->flags2 |= kNode2Directory;
  return 1;
}

bool CVMFSVol::Bootstrap() {
  // The descriptor cluster's first block: its header, then cluster 0 from
  // that block alone.
  const uint64_t block = 1 + (kFdcAfter - 1) / blockSize;
  std::vector<uint8_t> head(kClusterBytes);
  uint32_t got = 0;
  if (!ReadClusters(head.data(), int64_t(block << clustersPerBlockShift), 1, kClusterBytes, head.size(), &got) ||
      got != 1)
    return false;
  auto reader = std::make_unique<VmfsResourceReader>(kVmfsResourceDescriptors);
  if (!ReadVmfsResourceHeader(head.data(), &reader->header)) return false;
  const VmfsResourceHeader& h = reader->header;
  const uint64_t before = uint64_t(h.clustersPerGroup) * kResClusterHeaderBytes + h.headerSize;
  // A header that leaves no room in the block holds no descriptor.
  if (before >= blockSize || h.resourceSize < kFdBytes) return false;
  const uint64_t n = std::min<uint64_t>(blockSize - before, h.ClusterBytes());
  if (n < kFdBytes) return false;
  std::vector<uint8_t> first;
  try {
    first.resize(size_t(n));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadClusterBytes(first.data(), int64_t(block << clustersPerBlockShift), before, uint32_t(n))) return false;
  if (!reader->Prime(first.data(), size_t(n / kFdBytes * kFdBytes))) return false;
  descriptors = std::move(reader);
  resourcesLoaded = true;
  return true;
}

bool CVMFSVol::ReadDescriptor(uint32_t address, uint8_t* out) {
  if (AddressKind(address) != kAddrDescriptor || !descriptors) return false;
  const ResourcePlace p = DescriptorPlace(address);
  const uint8_t* d = descriptors->Item(*this, p.cluster, p.item);
  if (!d || Le32(d) != kFdMagic) return false;
  memcpy(out, d, kFdBytes);
  return true;
}

// A resource file named in the root: its runs from its descriptor, kept in
// the reader, and its header checked.
bool CVMFSVol::LoadReader(uint32_t kind, const uint8_t* descriptor) {
  VmfsNode node;
  FillNode(node, ReadVmfsDescriptor(descriptor));
  node.SetClusterBytes(kClusterBytes, sectorSize);
  uint32_t bad = 0;
  // Its own map: the volume's extents object may be the folder's being
  // read.
  auto reader = std::make_unique<VmfsResourceReader>(kind);
  reader->runs = std::make_unique<VmfsExtents>();
  if (!BuildMap(node, descriptor, *reader->runs, &bad) || bad) return false;
  if (reader->runs->subBlocks || reader->runs->inlineData) return false;
  reader->fileSize = node.size;
  std::vector<uint8_t> head(kClusterBytes);
  if (ReadMapped(*reader->runs, 0, head.data(), head.size()) < int64_t(kResHeaderBytes)) return false;
  if (!ReadVmfsResourceHeader(head.data(), &reader->header)) return false;
  const VmfsResourceHeader& h = reader->header;
  // A cluster of resources is read whole: it lies in the file.
  if (h.ClusterBytes() > node.size || h.ClusterBytes() > kMaxResClusterBytes) return false;
  if (kind == kVmfsResourceDescriptors && h.resourceSize < kFdBytes) return false;
  if (kind == kVmfsResourcePointers && h.resourceSize < kPointerBlockAddresses * 4) return false;
  if (kind == kVmfsResourceSubBlocks && h.perCluster > kVmfs5SubBlocksPerCluster) version = 5;
  switch (kind) {
    case kVmfsResourceDescriptors: descriptors = std::move(reader); break;
    case kVmfsResourcePointers: pointers = std::move(reader); break;
    default: subBlocks = std::move(reader); break;
  }
  return true;
}

// A volume a session made: the readers come from the resource nodes of the
// run's node table.
bool CVMFSVol::ReloadReaders() {
  ScanSink* sink = engine;
  if (!sink) return false;
  CNdArray& nodes = sink->Nodes();
  const cnode* found[5] = {};
  for (uint32_t i = 0; i < nodes.Count(); ++i) {
    const cnode* c = nodes.GetAt(i);
    if (!c || c->Family() != kNodeVmfs || c->volumeIndex != volumeNumber) continue;
    const uint32_t r = static_cast<const VmfsNode*>(c)->resource;
    if (r >= kVmfsResourceDescriptors && r <= kVmfsResourceSubBlocks && !found[r]) found[r] = c;
  }
  const cnode* fdc = found[kVmfsResourceDescriptors];
  if (!fdc) return false;
  // The descriptor file's own descriptor lies in its first cluster, which
  // the bootstrap reads.
  if (!Bootstrap()) {
    LogLine(*this, FormatW(Msg(636), fdc->GetNameW()));
    return false;
  }
  resourcesLoaded = true;
  for (uint32_t kind : {kVmfsResourceDescriptors, kVmfsResourcePointers, kVmfsResourceSubBlocks}) {
    const cnode* c = found[kind];
    if (!c) continue;
    uint8_t fd[kFdBytes];
    if (!ReadDescriptor(c->id, fd) || !LoadReader(kind, fd)) {
      LogLine(*this, FormatW(Msg(636), c->GetNameW()));
      if (kind == kVmfsResourceDescriptors) {
        resourcesLoaded = false;
        descriptors.reset();
        return false;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------- mapping

uint64_t CVMFSVol::InFile(const VmfsExtents& map, uint64_t vcn, uint64_t count) const {
  const uint64_t total = map.TotalClusters();
  if (vcn >= total) return 0;
  return std::min(count, total - vcn);
}

uint64_t CVMFSVol::ClustersOnDrive(uint64_t block) const {
  if (!drive) return 0;
  const uint32_t dss = drive->SectorSize() ? drive->SectorSize() : 512;
  const unsigned __int128 end = (unsigned __int128)drive->SectorCount() * dss;
  const unsigned __int128 at =
      (unsigned __int128)startSector * dss + kAreaAt + ((unsigned __int128)block << blockShift);
  if (at >= end) return 0;
  const unsigned __int128 left = (end - at) / kClusterBytes;
  return left >= clustersPerBlock ? clustersPerBlock : uint64_t(left);
}

void CVMFSVol::AddressRuns(VmfsExtents& map, const uint8_t* list, uint32_t count, uint64_t vcn, uint64_t* bad) {
  RunArray& runs = map.Table();
  for (uint32_t i = 0; i < count; ++i, vcn += clustersPerBlock) {
    const uint32_t a = Le32(list + size_t(i) * 4);
    if (a == 0) continue;
    if (!IsFileBlock(a)) {
      *bad += InFile(map, vcn, clustersPerBlock);
      continue;
    }
    if (ToBeZeroed(a)) continue;
    const uint64_t block = FileBlock(a);
    const uint64_t on = ClustersOnDrive(block);
    if (on < clustersPerBlock) *bad += InFile(map, vcn + on, clustersPerBlock - on);
    if (!on) continue;
    const uint64_t lcn = block << clustersPerBlockShift;
    if (!runs.empty()) {
      ExtentRun& last = runs.back();
      if (last.vcn + last.Length() == vcn && last.lcnEnd == lcn && last.lcn != kRunExtendLimit) {
        last.lcnEnd += on;
        continue;
      }
    }
    runs.push_back(ExtentRun{vcn, lcn, lcn + on, 0, 0});
  }
}

bool CVMFSVol::BuildNodeExtents(const cnode& node, const uint8_t* descriptor, uint32_t* badOut) {
  if (badOut) *badOut = 0;
  if (!blockSize) return false;
  if (!resourcesLoaded && !ReloadReaders()) return false;
  // Past the root only once the descriptor file itself is loaded.
  if (node.IsDirectory() && node.id != kRootAddress && descriptors && !descriptors->runs) return false;
  auto* map = new (std::nothrow) VmfsExtents();
  if (!map) return false;
  CreateExtents(map);
  return BuildMap(node, descriptor, *map, badOut);
}

bool CVMFSVol::BuildMap(const cnode& node, const uint8_t* descriptor, VmfsExtents& mapping, uint32_t* badOut) {
  if (badOut) *badOut = 0;
  VmfsExtents* map = &mapping;
  map->Reset();
  map->SetSectorSize(sectorSize);
  map->SetClusterSize(kClusterBytes);
  uint8_t fd[kFdBytes];
  if (!descriptor) {
    if (!ReadDescriptor(node.id, fd)) return false;
    descriptor = fd;
  }
  const VmfsDescriptor d = ReadVmfsDescriptor(descriptor);
  if (!d.valid) return false;
  const uint64_t size = node.size;
  map->fileSize = size;
  map->SetTotalClusters(DivUp(size, kClusterBytes));
  uint64_t bad = 0;
  const uint64_t blocks = DivUp(size, blockSize);
  if (d.type == kTypeRdm || size == 0) {
    // No data here.
  } else if (d.mode == kModeFileBlocks) {
    const uint64_t n = std::min<uint64_t>(blocks, kFdAddressCount);
    AddressRuns(*map, d.data, uint32_t(n), 0, &bad);
    bad += InFile(*map, n << clustersPerBlockShift, (blocks - n) << clustersPerBlockShift);
  } else if (d.mode == kModeSubBlocks) {
    if (!subBlocks) return false;
    const uint64_t s = subBlocks->header.resourceSize;
    const uint64_t count = DivUp(size, s);
    const uint32_t n = uint32_t(std::min<uint64_t>(count, kFdAddressCount));
    memcpy(map->buffer, d.data, size_t(n) * 4);
    map->subBlockCount = n;
    map->subBlocks = true;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = Le32(d.data + size_t(i) * 4);
      if (a && AddressKind(a) != kAddrSubBlock) bad += InFile(*map, i * s / kClusterBytes, DivUp(s, kClusterBytes));
    }
    if (count > n) bad += InFile(*map, n * s / kClusterBytes, DivUp((count - n) * s, kClusterBytes));
  } else if (d.mode == kModeInline) {
    map->inlineData = true;
    map->inlineBytes = uint32_t(std::min<uint64_t>(size, kFdInlineBytes));
    memcpy(map->buffer, d.data, map->inlineBytes);
    if (size > kFdInlineBytes) bad += DivUp(size, kClusterBytes) - DivUp(kFdInlineBytes, kClusterBytes);
  } else if (d.mode == kModePointerBlocks || d.mode == kModeDoublePointers) {
    if (!pointers) return false;
    const bool twice = d.mode == kModeDoublePointers;
    // Blocks one address of the descriptor covers.
    const uint64_t per = twice ? uint64_t(kPointerBlockAddresses) * kPointerBlockAddresses : kPointerBlockAddresses;
    const uint64_t count = DivUp(blocks, per);
    const uint64_t n = std::min<uint64_t>(count, kFdAddressCount);
    auto readPointers = [&](uint32_t a, uint64_t firstBlock, uint64_t span) -> const uint8_t* {
      const uint64_t covered = std::min(span, blocks - firstBlock) << clustersPerBlockShift;
      if (a == 0) return nullptr;
      const uint8_t* pb = nullptr;
      if (AddressKind(a) == kAddrPointerBlock) {
        const ResourcePlace p = PointerBlockPlace(a);
        pb = pointers->Item(*this, p.cluster, p.item);
      }
      if (!pb) bad += InFile(*map, firstBlock << clustersPerBlockShift, covered);
      return pb;
    };
    std::vector<uint8_t> first(kPointerBlockAddresses * 4);
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t b0 = i * per;
      const uint8_t* pb = readPointers(Le32(d.data + i * 4), b0, per);
      if (!pb) continue;
      const uint64_t left = blocks - b0;
      if (!twice) {
        AddressRuns(*map, pb, uint32_t(std::min<uint64_t>(left, kPointerBlockAddresses)), b0 << clustersPerBlockShift,
                    &bad);
        continue;
      }
      // The second level reads through the same cluster cache: the first
      // level is kept aside.
      memcpy(first.data(), pb, first.size());
      const uint64_t entries = std::min<uint64_t>(DivUp(left, kPointerBlockAddresses), kPointerBlockAddresses);
      for (uint64_t e = 0; e < entries; ++e) {
        const uint64_t b1 = b0 + e * kPointerBlockAddresses;
        const uint8_t* second = readPointers(Le32(first.data() + e * 4), b1, kPointerBlockAddresses);
        if (!second) continue;
        AddressRuns(*map, second, uint32_t(std::min<uint64_t>(blocks - b1, kPointerBlockAddresses)),
                    b1 << clustersPerBlockShift, &bad);
      }
    }
    if (count > n) bad += InFile(*map, (n * per) << clustersPerBlockShift, (blocks - n * per) << clustersPerBlockShift);
  } else {
    return false;
  }
  if (badOut) *badOut = uint32_t(std::min<uint64_t>(bad, UINT32_MAX));
  return true;
}

// ---------------------------------------------------------------- reading

int64_t CVMFSVol::ReadMapped(VmfsExtents& map, uint64_t offset, uint8_t* out, size_t count) {
  const uint64_t skip = offset % kClusterBytes;
  uint64_t got = 0;
  if (!skip && count % kClusterBytes == 0) {
    if (!ReadInodeDataCm(offset, count, &got, &map, out, count)) return -1;
    return int64_t(std::min<uint64_t>(got, count));
  }
  // Part of a cluster at either end (a file's last piece, a directory read
  // in whole entries): through a scratch buffer.
  const size_t room = size_t(DivUp(skip + count, kClusterBytes) * kClusterBytes);
  if (room > scratchBytes_) {
    AlignedFree(scratch_);
    scratchBytes_ = 0;
    scratch_ = static_cast<uint8_t*>(AlignedAlloc(room));
    if (!scratch_) return -1;
    scratchBytes_ = room;
  }
  uint8_t* scratch = scratch_;
  if (!ReadInodeDataCm(offset - skip, skip + count, &got, &map, scratch, room)) return -1;
  if (got <= skip) return 0;
  const size_t n = size_t(std::min<uint64_t>(got - skip, count));
  memcpy(out, scratch + skip, n);
  return int64_t(n);
}

int64_t CVMFSVol::ReadFileData(uint64_t offset, uint8_t* buffer, size_t capacity, VmfsExtents* map, bool directory) {
  if (!map) map = dynamic_cast<VmfsExtents*>(extents.get());
  if (!map || !buffer) return -1;
  // Up to the file's size rounded up to a cluster.
  const uint64_t end = DivUp(map->fileSize, kClusterBytes) * kClusterBytes;
  if (offset >= end) return 0;
  size_t n = size_t(std::min<uint64_t>(capacity, end - offset));
  if (directory) {
    // Whole entries: the next piece starts with an entry.
    const uint64_t left = map->fileSize > offset ? map->fileSize - offset : 0;
    n = size_t(std::min<uint64_t>(n, left));
    if (n >= kDirEntryBytes) n -= n % kDirEntryBytes;
  }
  if (map->inlineData) {
    memset(buffer, 0, n);
    if (offset < map->inlineBytes)
      memcpy(buffer, map->buffer + offset, size_t(std::min<uint64_t>(n, map->inlineBytes - offset)));
    return int64_t(n);
  }
  if (map->subBlocks) {
    if (!subBlocks) return -1;
    const uint64_t s = subBlocks->header.resourceSize;
    for (size_t done = 0; done < n;) {
      const uint64_t at = offset + done;
      const uint64_t index = at / s, within = at % s;
      const size_t k = size_t(std::min<uint64_t>(n - done, s - within));
      // Addresses past the list or of another kind were counted missing
      // when the file was mapped: zeros.
      const uint32_t a = index < map->subBlockCount ? Le32(map->buffer + index * 4) : 0;
      if (a && AddressKind(a) == kAddrSubBlock) {
        const ResourcePlace p = SubBlockPlace(a, Vmfs5SubBlocks());
        const uint8_t* item = subBlocks->Item(*this, p.cluster, p.item);
        if (!item) return done ? int64_t(done) : -1;
        memcpy(buffer + done, item + within, k);
      } else {
        memset(buffer + done, 0, k);
      }
      done += k;
    }
    return int64_t(n);
  }
  if (!n) return 0;
  return ReadMapped(*map, offset, buffer, n);
}

uint64_t CVMFSVol::MappedDataEnd() {
  auto* map = dynamic_cast<VmfsExtents*>(extents.get());
  if (!map) return UINT64_MAX;
  if (map->inlineData) return map->inlineBytes;
  if (map->subBlocks) {
    if (!subBlocks) return 0;
    uint32_t last = 0;
    for (uint32_t i = 0; i < map->subBlockCount; ++i) {
      const uint32_t a = Le32(map->buffer + size_t(i) * 4);
      if (a && AddressKind(a) == kAddrSubBlock) last = i + 1;
    }
    return uint64_t(last) * subBlocks->header.resourceSize;
  }
  uint64_t end = 0;
  for (const ExtentRun& r : map->Table()) end = std::max(end, r.vcn + r.Length());
  return end > UINT64_MAX / kClusterBytes ? UINT64_MAX : end * kClusterBytes;
}

// ---------------------------------------------------------------- folders

int CVMFSVol::ParseEntries(const cnode& folder, const uint8_t* data, size_t bytes) {
  int made = 0;
  const bool root = folder.id == kRootAddress;
  for (size_t at = 0; at + kDirEntryBytes <= bytes; at += kDirEntryBytes) {
    const VmfsDirEntry e = ReadVmfsDirEntry(data + at);
    if (e.type < kDirFirstType || e.type > kDirLastType) break;
    if (e.type == kDirSkippedType || AddressKind(e.address) != kAddrDescriptor) continue;
    // A name that does not end inside its entry is damage.
    if (!e.nameEnds || e.nameBytes == 0) continue;
    if (IsName(e, ".") || IsName(e, "..")) continue;
    uint8_t fd[kFdBytes];
    if (!ReadDescriptor(e.address, fd)) continue;
    const VmfsDescriptor d = ReadVmfsDescriptor(fd);
    uint32_t resource = kVmfsResourceNone;
    if (root && IsName(e, ".fdc.sf")) resource = kVmfsResourceDescriptors;
    if (root && IsName(e, ".pbc.sf")) resource = kVmfsResourcePointers;
    if (root && IsName(e, ".sbc.sf")) resource = kVmfsResourceSubBlocks;
    if (resource && !LoadReader(resource, fd)) continue;
    if (!engine) continue;
    auto* n = new (std::nothrow) VmfsNode();
    if (!n) continue;
    FillNode(*n, d);
    n->resource = resource;
    n->parentId = folder.id;
    n->id = e.address;
    if (e.type == kTypeDirectory) n->flags2 |= kNode2Directory;
    if (e.type == kTypeSymlink) n->flags |= kNodeSymlink;
    n->name = engine->Nodes().InternName(ConvertNameToWide(e.name, e.nameBytes));
    AddDirEntryNode(this, n);
    ++made;
  }
  return made;
}

int TraceVMFSRecords(const uint8_t* buffer, size_t bytes, int64_t sector) {
  int r = 0;
  for (size_t at = 0; buffer && at + kDirEntryBytes <= bytes; at += kDirEntryBytes) {
    const uint32_t t = Le32(buffer + at);
    if (t >= kDirFirstType && t <= kDirLastType) r = theIoTrace().LogVmfsRecord(sector, buffer + at);
  }
  return r;
}
