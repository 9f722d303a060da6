#include "filesystems/zfs/ZfsVolume.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filesystems/zfs/Compression.h"
#include "filesystems/zfs/Zap.h"
#include "filesystems/zfs/ZfsEntries.h"
#include "filesystems/zfs/ZfsNode.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "volumes/VolumeSearch.h"

using namespace zfs;

namespace {

constexpr char kBootTag[8] = {'D', 'V', 'Z', 'F', 'S', 'L', 'B', '1'};
// The boot block: tag, asize, ashift, label sector, probe sector, slot,
// txg, then the uberblock.
constexpr size_t kBootAsize = 8, kBootAshift = 16, kBootLabel = 24, kBootProbe = 32, kBootSlot = 40, kBootTxg = 48;
constexpr size_t kBootUberblock = 64;
constexpr size_t kBootBytes = kBootUberblock + kUberblockSlotBytes;

RDrive* RaidzOf(Drive* d) {
  auto* set = dynamic_cast<RDrive*>(d);
  return set && set->IsRaidz() ? set : nullptr;
}

// The largest allocation of a 128 KiB block: on RAID-Z its data columns
// with their parity, rounded to whole rows of parity + 1 units.
uint32_t MaxDvaSectors(Drive* d, uint32_t ashift, uint32_t sectorSize) {
  const uint64_t unit = std::max<uint64_t>(uint64_t(1) << std::min<uint32_t>(ashift, 20), sectorSize);
  uint64_t bytes = kMaxBlockBytes;
  if (RDrive* set = RaidzOf(d)) {
    const uint64_t p = uint64_t(set->ParityCount()), n = set->MemberCount();
    const uint64_t data = n > p ? n - p : 1;
    const uint64_t units = (kMaxBlockBytes + unit - 1) / unit;
    uint64_t total = units + p * ((units + data - 1) / data);
    total = (total + p) / (p + 1) * (p + 1);
    bytes = total * unit;
  } else {
    bytes = (bytes + unit - 1) / unit * unit;
  }
  return uint32_t(std::min<uint64_t>(bytes / sectorSize, UINT32_MAX));
}

bool Verifies(const ZfsBlockPointer& bp, const uint8_t* data, bool* checked) {
  *checked = true;
  switch (bp.checksum) {
    case kCksumOn:
    case kCksumFletcher2: return Fletcher2(data, bp.psize, !bp.littleEndian) == bp.cksum;
    case kCksumFletcher4: return Fletcher4(data, bp.psize, !bp.littleEndian) == bp.cksum;
    case kCksumLabel:
    case kCksumGangHeader:
    case kCksumSha256:
      if (traceZfs) TracePrintfA(" *** Error - TBD: Need to handle SHA-256 Checksum %d.\n", int(bp.checksum));
      [[fallthrough]];
    default: *checked = false; return true;
  }
}

}  // namespace

CZFSVol::CZFSVol() { type = kVolZfs; }

CZFSVol::~CZFSVol() = default;

std::vector<uint8_t> MakeZfsBootBlock(const ZfsLabel& label, int64_t probeSector) {
  std::vector<uint8_t> b(kBootBytes, 0);
  std::memcpy(b.data(), kBootTag, sizeof kBootTag);
  PutLittleEndian64(b.data() + kBootAsize, label.asize, 8);
  PutLittleEndian(b.data() + kBootAshift, label.ashift, 4);
  PutLittleEndian64(b.data() + kBootLabel, uint64_t(label.labelSector), 8);
  PutLittleEndian64(b.data() + kBootProbe, uint64_t(probeSector), 8);
  PutLittleEndian(b.data() + kBootSlot, uint32_t(label.slot), 4);
  PutLittleEndian64(b.data() + kBootTxg, label.txg, 8);
  std::memcpy(b.data() + kBootUberblock, label.uberblock, kUberblockSlotBytes);
  return b;
}

bool CZFSVol::ReadDva(const ZfsDva& dva, uint32_t bytes, uint8_t* out) {
  Drive* d = drive;
  if (!d || bytes == 0) return false;
  const uint32_t errors = d->TotalErrors();
  if (RDrive* set = RaidzOf(d)) {
    // RAID-Z lays the block over its members in units of the vdev's
    // sectors, from each member's data area.
    const uint64_t at = (dva.offset << kSectorUnitShift) >> d->Shift();
    const uint32_t unit = std::max<uint32_t>(ashift, d->Shift());
    const uint64_t rounded = (uint64_t(bytes) + (uint64_t(1) << unit) - 1) >> unit << unit;
    uint8_t* into = out;
    if (rounded != bytes) {
      try {
        bounce_.resize(size_t(rounded));
      } catch (const std::bad_alloc&) {
        return false;
      }
      into = bounce_.data();
    }
    if (!set->RAIDZRead(into, at, bytes, ashift)) return false;
    if (into != out) std::memcpy(out, into, bytes);
    return d->TotalErrors() == errors;
  }
  const uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  unsigned __int128 byte =
      (unsigned __int128)startSector * dss + kVdevDataOffset + ((unsigned __int128)dva.offset << 9);
  const uint64_t first = uint64_t(byte / dss);
  const uint64_t within = uint64_t(byte % dss);
  const uint64_t span = (within + bytes + dss - 1) / dss * dss;
  if (byte / dss > INT64_MAX || first >= d->SectorCount() || span / dss > d->SectorCount() - first) return false;
  if (within == 0 && span == bytes)
    return ReadSectorsWaited(*d, int64_t(first), bytes, out) && d->TotalErrors() == errors;
  try {
    bounce_.resize(size_t(span));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadSectorsWaited(*d, int64_t(first), uint32_t(span), bounce_.data())) return false;
  std::memcpy(out, bounce_.data() + within, bytes);
  return d->TotalErrors() == errors;
}

int CZFSVol::BlkPtrDvaRead(const uint8_t* pointer, uint8_t* out, size_t capacity) {
  const int check = ZFSBlkPtrCheck(pointer, sizeSectors, sectorSize);
  if (check == kBpInvalid) return kZfsReadFailed;
  const ZfsBlockPointer bp = ParseZfsBlockPointer(pointer);
  if (check == kBpHole) {
    std::memset(out, 0, std::min<size_t>(capacity, bp.lsize));
    if (traceZfs) TracePrintfA("Sparse block\n");
    return kZfsReadHole;
  }
  // Never more than a block this reader takes, nor past the caller's room.
  if (bp.lsize > kMaxBlockBytes || bp.psize > kMaxBlockBytes || bp.lsize > capacity) return kZfsReadFailed;
  try {
    if (raw_.size() < kMaxBlockBytes) raw_.resize(kMaxBlockBytes);
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
  int firstReadable = -1;
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < kBpDvas; ++i) {
      // The second pass takes the first readable copy when none verified.
      if (pass == 1 && i != firstReadable) continue;
      const ZfsDva& dva = bp.dva[i];
      if (dva.asize == 0) continue;
      if (dva.gang) {
        if (traceZfs) TracePrintfA("*** Gang block at DVA[%d]: not read\n", i);
        continue;
      }
      if (dva.SizeSectors(sectorSize) > maxDvaSectors) {
        if (traceZfs)
          TracePrintfA("*** Corrupted DVA[%d]: size too large dvaSize/pSize/lSize/: %d/%d/%d\n", i,
                       int(dva.SizeSectors(sectorSize)), int(bp.psize), int(bp.lsize));
        continue;
      }
      // A block stored as it is can land in the caller's buffer at once.
      const bool direct = bp.compression == kCompressOff && bp.psize <= capacity;
      uint8_t* data = direct ? out : raw_.data();
      if (!ReadDva(dva, bp.psize, data)) {
        if (traceZfs) TracePrintfA("*** Read error at DVA[%d]\n", i);
        continue;
      }
      bool checked = false;
      if (pass == 0 && !Verifies(bp, data, &checked)) {
        if (traceZfs) {
          TracePrintfA("*** Checksum mismatch at ");
          ZFSDumpDVA(dva, i);
          TracePrintfA("\n");
        }
        if (firstReadable < 0) firstReadable = i;
        continue;
      }
      const int decoded = ZfsDecompress(bp.compression, data, out, bp.psize, bp.lsize);
      if (decoded == -2 && traceZfs)
        TracePrintfA(" *** Error - TBD: Need to handle this compression %d.\n", int(bp.compression));
      if (decoded != 0) continue;
      if (pass == 1) {
        if (traceZfs) TracePrintfA("*** No copy passed its checksum: DVA[%d] used\n", i);
        return kZfsReadUnverified;
      }
      return kZfsReadData;
    }
    if (firstReadable < 0) break;
  }
  return kZfsReadFailed;
}

void CZFSVol::ReadBlocks(const uint8_t* const* pointers, uint8_t* const* outs, size_t count, size_t capacity,
                         int* results) {
  constexpr uint64_t kGatherBytes = 0x100000;
  std::vector<ZfsBlockPointer> bps(count);
  // A block joins a run when its first copy is a plain one that starts
  // where the last one's allocation ends.
  std::vector<bool> plain(count, false);
  for (size_t i = 0; i < count; ++i) {
    results[i] = kZfsReadFailed;
    if (ZFSBlkPtrCheck(pointers[i], sizeSectors, sectorSize) != kBpValid) continue;
    bps[i] = ParseZfsBlockPointer(pointers[i]);
    const ZfsDva& d = bps[i].dva[0];
    plain[i] = !RaidzOf(drive) && !d.gang && d.vdev == 0 && bps[i].psize <= uint64_t(d.asize) * kSectorUnit &&
               bps[i].lsize <= capacity && bps[i].lsize <= kMaxBlockBytes && d.SizeSectors(sectorSize) <= maxDvaSectors;
  }
  std::vector<bool> done(count, false);
  for (size_t i = 0; i < count;) {
    size_t end = i + 1;
    uint64_t bytes = plain[i] ? uint64_t(bps[i].dva[0].asize) * kSectorUnit : 0;
    while (plain[i] && end < count && plain[end] &&
           bps[end].dva[0].offset == bps[end - 1].dva[0].offset + bps[end - 1].dva[0].asize &&
           bytes + uint64_t(bps[end].dva[0].asize) * kSectorUnit <= kGatherBytes) {
      bytes += uint64_t(bps[end].dva[0].asize) * kSectorUnit;
      ++end;
    }
    if (end - i > 1) {
      // Stored as they are and filling their rooms end to end: read
      // straight into them.
      bool inPlace = true;
      for (size_t k = i; k < end && inPlace; ++k)
        inPlace = bps[k].compression == kCompressOff && bps[k].psize == bps[k].lsize &&
                  uint64_t(bps[k].dva[0].asize) * kSectorUnit == bps[k].psize && bps[k].psize == capacity &&
                  (k == i || outs[k] == outs[k - 1] + capacity);
      uint8_t* span = nullptr;
      if (inPlace) {
        span = outs[i];
      } else {
        try {
          if (gather_.size() < kGatherBytes) gather_.resize(kGatherBytes);
          span = gather_.data();
        } catch (const std::bad_alloc&) {
          span = nullptr;
        }
      }
      if (span && ReadDva(bps[i].dva[0], uint32_t(bytes), span)) {
        for (size_t k = i; k < end; ++k) {
          const uint8_t* data = span + (bps[k].dva[0].offset - bps[i].dva[0].offset) * kSectorUnit;
          bool checked = false;
          if (!Verifies(bps[k], data, &checked)) continue;
          if (!inPlace && ZfsDecompress(bps[k].compression, data, outs[k], bps[k].psize, bps[k].lsize) != 0) continue;
          results[k] = kZfsReadData;
          done[k] = true;
        }
      }
    }
    for (size_t k = i; k < end; ++k)
      if (!done[k]) results[k] = BlkPtrDvaRead(pointers[k], outs[k], capacity);
    i = end;
  }
}

bool CZFSVol::ReadObjectDnode(int32_t index, uint64_t object, uint8_t* out) {
  if (index < 0 || size_t(index) >= datasets.size() || !datasets[size_t(index)].objects) return false;
  return datasets[size_t(index)].objects->ReadDnode(object, out);
}

bool CZFSVol::LoadNodeDnode(const ZfsNode& node) {
  uint8_t dnode[kDnodeBytes];
  if (!ReadObjectDnode(node.datasetIndex, node.object, dnode)) return false;
  auto open = std::make_unique<ZfsOpenNode>(*this);
  if (!open->Load(dnode)) return false;
  mapped = std::move(open);
  mappedDataset = node.datasetIndex;
  mappedObject = node.object;
  mappedFolder = node.IsDirectory();
  if (mappedFolder) {
    const uint64_t key = ZfsFolderKey(node);
    if (key != walkKey) {
      walkKey = key;
      walkForm = ZapForm::kUndecided;
    }
    walkBlockBytes = mapped->BlockBytes();
  }
  return true;
}

uint64_t ZfsFolderKey(const cnode& folder) {
  const ZfsNode* z = AsZfsNode(&folder);
  return (uint64_t(uint32_t(z ? z->datasetIndex : -1)) << 32) | folder.id;
}

uint64_t ZfsFolderBytes(CVol& volume, const cnode& folder) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  if (!v || !v->mapped || !v->mappedFolder || ZfsFolderKey(folder) != v->walkKey) return 0;
  return v->mapped->SpanBytes();
}

uint64_t ZfsRootDatasetDir(const uint8_t* block, size_t bytes) {
  uint64_t object = 0;
  switch (ZapBlockType(block, bytes)) {
    case kZbtMicro: return LookupMicroZap(block, bytes, "root_dataset", &object) ? object : 0;
    case kZbtHeader: return kFatObjectDirRootDataset;
    default: return 0;
  }
}

namespace {

bool InitFromUberblock(CZFSVol& v, const uint8_t* boot, int64_t start);

}  // namespace

// An uberblock whose pool cannot be set up (a torn last write) gives way to
// the next older one, unless an earlier version was asked for.
bool InitZFSVol(CZFSVol& v, const uint8_t* boot, int64_t start) {
  if (InitFromUberblock(v, boot, start)) return true;
  if (!boot || std::memcmp(boot, kBootTag, sizeof kBootTag) != 0 || !v.drive || v.Options().uberblockBackVersion > 0)
    return false;
  std::vector<uint8_t> slots(kUberblockArrayBytes);
  const int64_t label = int64_t(Le64(boot + kBootLabel));
  if (!ReadZfsUberblockArray(*v.drive, label, slots.data())) return false;
  const uint64_t failed = Le64(boot + kBootUberblock + kUbTxg);
  std::vector<uint8_t> older(boot, boot + kBootBytes);
  int tries = 0;
  for (int slot : ZfsUberblocksByTxg(slots.data(), kUberblockSlots)) {
    const uint8_t* u = slots.data() + size_t(slot) * kUberblockSlotBytes;
    if (Le64(u + kUbTxg) >= failed) continue;
    if (++tries > 8) break;
    if (traceZfs)
      TracePrintfA("Uberblock of txg %I64d unusable: txg %I64d tried\n", int64_t(failed), int64_t(Le64(u + kUbTxg)));
    std::memcpy(older.data() + kBootUberblock, u, kUberblockSlotBytes);
    PutLittleEndian(older.data() + kBootSlot, uint32_t(slot), 4);
    PutLittleEndian64(older.data() + kBootTxg, Le64(u + kUbTxg), 8);
    if (InitFromUberblock(v, older.data(), start)) return true;
  }
  return false;
}

namespace {

bool InitFromUberblock(CZFSVol& v, const uint8_t* boot, int64_t start) {
  if (!boot || std::memcmp(boot, kBootTag, sizeof kBootTag) != 0 || start < 0 || !v.drive) return false;
  Drive* d = v.drive;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  v.SetSectorSize(ss);
  v.SetClusterSize(ss);
  v.startSector = uint64_t(start);
  v.asize = Le64(boot + kBootAsize);
  v.ashift = Le32(boot + kBootAshift);
  if (v.ashift > 16) v.ashift = 0;
  v.labelSector = int64_t(Le64(boot + kBootLabel));
  v.labelProbe = int64_t(Le64(boot + kBootProbe)) - start;
  v.uberblockSlot = int(Le32(boot + kBootSlot));
  v.txg = Le64(boot + kBootTxg);
  v.sizeSectors = v.asize / ss;
  // A RAID-Z vdev's allocatable size counts its parity: the set shows its
  // data share.
  if (RDrive* set = RaidzOf(d); set && set->MemberCount() > uint32_t(set->ParityCount()))
    v.sizeSectors = v.sizeSectors / set->MemberCount() * (set->MemberCount() - uint32_t(set->ParityCount()));
  v.maxDvaSectors = MaxDvaSectors(d, v.ashift, ss);
  const uint8_t* uberblock = boot + kBootUberblock;
  if (Le64(uberblock + kUbMagic) != kUberblockMagic) return false;
  std::memcpy(v.rootBp, uberblock + kUbRootBp, kBlkPtrBytes);
  if (traceZfs) {
    TracePrintfA("\n--- Uberblock rootbp ---\n");
    ZFSDumpBlkPtrs(v.rootBp, 1);
  }
  v.mos.reset();
  v.datasets.clear();
  v.topChildren.clear();
  v.nextChild = 0;
  v.mapped.reset();
  // The MOS object set, its meta-dnode first.
  if (Le16(v.rootBp + kBpLsize) >= kMaxObjsetLsizeField || ZFSBlkPtrCheck(v.rootBp) != kBpValid) return false;
  std::vector<uint8_t> objset(ParseZfsBlockPointer(v.rootBp).lsize);
  if (v.BlkPtrDvaRead(v.rootBp, objset.data(), objset.size()) == kZfsReadFailed) {
    if (traceZfs) TracePrintfA("Could not read DVA.\n");
    return false;
  }
  auto mos = std::make_unique<ZfsOpenNode>(v);
  if (!mos->Load(objset.data() + kObjsetMetaDnode, false)) return false;
  v.mos = std::move(mos);
  // The object directory names the root dataset's DSL directory; a fat
  // one is not looked into: the root dataset is then object 2.
  std::vector<uint8_t> block;
  if (!ReadZfsObjectBlock0(v, *v.mos, kObjectDirectoryObject, &block)) return false;
  const uint64_t rootDir = ZfsRootDatasetDir(block.data(), block.size());
  if (!rootDir) return false;
  uint64_t childZap = 0;
  if (OpenZfsDataset(v, rootDir, std::string(), &childZap) != 0) {
    v.mos.reset();
    v.datasets.clear();
    return false;
  }
  cnode* root = MakeZfsFolderNode(v, 0, v.datasets[0].rootObject);
  if (!root) {
    v.mos.reset();
    v.datasets.clear();
    return false;
  }
  if (v.rootNode) DeleteNode(&v.rootNode);
  v.rootNode = root;
  v.topChildren = ReadZfsChildDatasets(v, childZap);
  return true;
}

}  // namespace
