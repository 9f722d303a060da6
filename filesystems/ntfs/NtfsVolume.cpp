#include "filesystems/ntfs/NtfsVolume.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "filesystems/ntfs/DevBitmap.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/Definitions.h"

using namespace ntfs;

namespace {


// Clusters above 64 KiB are not read: say so rather than only "invalid".
void ReportLargeClusters(uint64_t bytes) {
  ErrorMsg(Msg(186) + FormatW(u" Clusters of %I64d bytes are larger than the 65536 bytes NTFS volumes are read with.",
                              int64_t(bytes)));
}

// Reads `bytes` from volume byte `at` through whole clusters.
bool ReadVolumeBytes(CVol* vol, uint64_t at, uint32_t bytes, uint8_t* out) {
  const uint32_t cs = vol->clusterSize;
  const uint64_t first = at / cs;
  const uint64_t last = (at + bytes - 1) / cs;
  const uint64_t count = last - first + 1;
  if (count > 0xFFFFFFFFull) return false;
  std::vector<uint8_t> tmp;
  try {
    tmp.resize(size_t(count) * cs);
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint32_t got = 0;
  if (!vol->ReadClusters(tmp.data(), int64_t(first), uint32_t(count), cs, tmp.size(), &got) || got != count)
    return false;
  std::memcpy(out, tmp.data() + (at - first * cs), bytes);
  return true;
}

}  // namespace

// ---- MFTRunMap ----

MFTRunMap::MFTRunMap() = default;
MFTRunMap::~MFTRunMap() { FreeAll(); }

void MFTRunMap::SetRecordSize(uint32_t bytes) {
  recordSize = bytes;
  recordShift = uint32_t(Log2Ceil(bytes));
}

uint64_t MFTRunMap::MapByte(uint64_t offset, uint64_t* contiguous) {
  uint64_t left = 0;
  const uint64_t lcn = VcnToLcn(offset >> clusterShift, &left);
  if (contiguous) *contiguous = left ? left * clusterSize - (offset & clusterMask) : 0;
  if (!left) return 0;
  return lcn * clusterSize + (offset & clusterMask);
}

uint64_t MFTRunMap::MapRecord(uint64_t r) {
  // Byte offset first: a record may be smaller or larger than a cluster.
  if (recordSize && r > UINT64_MAX / recordSize) return 0;
  return MapByte(r * recordSize);
}

// ---- NTFSVol ----

NTFSVol::NTFSVol(ScanSink* e) {
  type = kVolNtfs;
  engine = e;
}

NTFSVol::~NTFSVol() {
  bitmap.reset();
  mftNode.reset();
}

void NTFSVol::SetVolumeNumber(uint16_t n) {
  CVol::SetVolumeNumber(n);
  index = int32_t(n);
}

void NTFSVol::CompleteFrom(const NTFSVol& found) {
  if (!mftSector) mftSector = found.mftSector;
  if (!mirrorSector) mirrorSector = found.mirrorSector;
}

int NTFSVol::SetRecordSize(uint32_t bytes) {
  recordSize = bytes;
  recordShift = uint32_t(Log2Ceil(bytes));
  recordMask = bytes - 1;
  if (mftMap) mftMap->SetRecordSize(bytes);
  return int(recordShift);
}

bool NTFS::BootParse(NTFSVol* v, const uint8_t* s) {
  const uint32_t ss = Le16(s + kBootBytesPerSector);
  if (!IsSectorSize(int64_t(ss), 4096) || !v->SetSectorSize(ss)) return false;
  // Sectors per cluster; values above 0x80 are a negative power of two
  // (clusters over 128 sectors).
  const uint8_t spcByte = s[kBootSectorsPerCluster];
  uint64_t spc = spcByte;
  if (spcByte > 0x80) {
    const uint32_t shift = 256u - spcByte;
    spc = shift < 32 ? (uint64_t(1) << shift) : 0;
  }
  const uint64_t cs = uint64_t(ss) * spc;
  v->mftCluster = Le64(s + kBootMftCluster);
  v->mirrorCluster = Le64(s + kBootMirrorCluster);
  v->totalSectors = Le64(s + kBootTotalSectors);
  if (cs > 65536 && (cs & (cs - 1)) == 0) {
    ReportLargeClusters(cs);
    return false;
  }
  if (!IsSectorSize(int64_t(cs), 65536)) return false;
  v->SetClusterSize(uint32_t(cs));
  uint64_t mft = 0, mirror = 0;
  if (__builtin_mul_overflow(v->mftCluster, spc, &mft) || __builtin_mul_overflow(v->mirrorCluster, spc, &mirror) ||
      mft > uint64_t(INT64_MAX) || mirror > uint64_t(INT64_MAX))
    return false;
  v->mftSector = int64_t(mft);
  v->mirrorSector = int64_t(mirror);
  v->sizeSectors = v->totalSectors;
  const int8_t n = int8_t(s[kBootClustersPerRecord]);
  if (n != -10) {
    uint64_t bytes = 0;
    if (n < 0) {
      if (-n < 32) bytes = uint64_t(1) << (-n);
    } else {
      bytes = uint64_t(n) * cs;
    }
    if (bytes == 1024 || bytes == 2048 || bytes == 4096) v->SetRecordSize(uint32_t(bytes));
  }
  return mft != 0 && mirror != 0 && v->totalSectors >= kBootMinTotalSectors && mft < v->totalSectors &&
         mirror < v->totalSectors;
}

bool NTFSVol::ReadMftRecord(uint64_t r, uint8_t* buffer, uint64_t* positionOut) {
  if (!mftMap || !buffer) return false;
  if (recordSize && r > UINT64_MAX / recordSize) return false;
  const uint64_t offset = r * recordSize;
  uint32_t done = 0;
  while (done < recordSize) {
    uint64_t contiguous = 0;
    const uint64_t at = mftMap->MapByte(offset + done, &contiguous);
    if (!at || !contiguous) return false;
    if (done == 0 && positionOut) *positionOut = startSector + at / sectorSize;
    const uint32_t k = uint32_t(contiguous < recordSize - done ? contiguous : recordSize - done);
    if (!ReadVolumeBytes(this, at, k, buffer + done)) return false;
    done += k;
  }
  return true;
}

bool NTFSVol::LoadPieces(inode* node) {
  if (!node || !node->HasPieces()) return true;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[recordSize]);
  if (!buf) return false;
  bool ok = true;
  auto load = [&](XEntry* p, const char16_t* wanted, uint64_t* sizes) {
    const uint64_t r = p->recordNumber & XEntry::kRecordMask;
    uint64_t at = 0;
    if (!ReadMftRecord(r, buf.get(), &at)) return false;
    inode ext(buf.get(), this);
    ext.followNameRecord = false;
    ext.position = at;
    if (ext.parseEntry(wanted) != 0 || ext.HasPieces() || ext.firstVcn != p->firstVcn) return false;
    p->runs = ext.runs;
    ext.runs = nullptr;
    p->clusterCount = ext.clusterCount;
    p->lastVcn = ext.lastVcn;
    p->position = at;
    if (p->firstVcn == 0 && sizes) {
      sizes[0] = ext.size;
      sizes[1] = ext.validSize;
      sizes[2] = ext.allocatedSize;
    }
    return true;
  };
  for (XEntry* p = node->Pieces(); p; p = p->next) {
    if (p->runs) continue;
    uint64_t sizes[3] = {0, 0, 0};
    if (!load(p, nullptr, sizes)) {
      VErrorMsg(Msg(338).c_str(), int32_t(p->recordNumber), LastErrorText());
      ok = false;
      continue;
    }
    if (p->firstVcn == 0 && node->size == 0) {
      node->size = sizes[0];
      node->validSize = sizes[1];
      node->allocatedSize = sizes[2];
    }
  }
  for (NTFSStream* s = node->streams; s; s = s->next) {
    for (XEntry* p = s->pieces; p; p = p->next) {
      if (p->runs) continue;
      uint64_t sizes[3] = {0, 0, 0};
      if (!load(p, s->name, sizes)) {
        ok = false;
        continue;
      }
      if (p->firstVcn == 0 && s->realSize == 0) {
        s->realSize = sizes[0];
        s->initializedSize = sizes[1];
      }
    }
  }
  node->BuildMappingTablesAll();
  return ok;
}

bool NTFSVol::MftRecordAt(int64_t sector) {
  if (sector <= 0 || !recordSize || !clusterSize) return false;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[recordSize]);
  if (!buf || !ReadVolumeBytes(this, uint64_t(sector) * sectorSize, recordSize, buf.get())) return false;
  if (std::memcmp(buf.get(), "FILE", 4) != 0) return false;
  inode node(buf.get(), this);
  const bool ok = node.parseEntry(nullptr) == 0 && node.fileName == u"$MFT" && node.runs;
  node.record = nullptr;
  return ok;
}

int NTFSVol::LoadMftFrom(int64_t sector) {
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[recordSize]);
  if (!buf) ShowErrorAndThrow();
  if (!ReadVolumeBytes(this, uint64_t(sector) * sectorSize, recordSize, buf.get())) return -1;
  if (std::memcmp(buf.get(), "FILE", 4) != 0) return -1;
  auto node = std::make_unique<inode>(buf.get(), this);
  node->position = startSector + uint64_t(sector);
  if (node->parseEntry(nullptr) != 0 || node->fileName != u"$MFT") return -1;
  node->record = nullptr;
  if (!node->runs) {
    ErrorMsg(Msg(206));
    return -1;
  }
  mftMap = std::make_unique<MFTRunMap>();
  mftMap->SetSectorSize(sectorSize);
  mftMap->SetClusterSize(clusterSize);
  mftMap->SetRecordSize(recordSize);
  auto loadMap = [&]() {
    mftMap->Reset();
    if (node->BuildMappingTablesAll() <= 0) return false;
    RunArray copy = node->Map().Table();
    return mftMap->AppendRunArray(copy);
  };
  if (!loadMap()) {
    ErrorMsg(Msg(186));
    return -1;
  }
  if (node->HasPieces()) {
    if (!LoadPieces(node.get()) || !loadMap()) return -1;
  }
  const uint64_t mapped = mftMap->TotalClusters() * clusterSize;
  if (mapped < node->allocatedSize || mapped == 0) {
    ErrorMsg(Msg(186));
    return -1;
  }
  mftBytes = node->size > mapped ? node->size : mapped;
  node->id = 0;
  node->flags |= kInodeAtHome | kInodeNumberKnown;
  mftNode = std::move(node);
  return 0;
}

int NTFSVol::LoadMftNode() {
  if (clusterSize > 65536) {
    ReportLargeClusters(clusterSize);
    return -1;
  }
  if (mftNode) return 0;
  if (mftSector && LoadMftFrom(mftSector) == 0) {
    statusFromMft = 1;
    return 0;
  }
  if (mirrorSector && LoadMftFrom(mirrorSector) == 0) {
    statusFromMirror = 1;
    return 0;
  }
  if (LastErrorText().empty()) ErrorMsg(Msg(424));
  return -1;
}

WString NTFSVol::ReadVolumeLabel() {
  bool loaded = false;
  try {
    if (!mftNode) {
      if (LoadMftNode() != 0) return label;
      loaded = true;
    }
  } catch (...) {
    return label;
  }
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[recordSize]);
  uint64_t at = 0;
  if (buf && ReadMftRecord(kRecordVolume, buf.get(), &at)) {
    inode vol(buf.get(), this);
    vol.position = at;
    vol.followNameRecord = false;
    if (vol.parseEntry(nullptr) == 0 && vol.volumeName) label = *vol.volumeName;
    vol.record = nullptr;
  }
  if (loaded) mftNode.reset();
  return label;
}

void NTFSVol::ProcBitmap(const inode* node) {
  bitmap.reset();
  if (!node) return;
  std::unique_ptr<CDevBitmap> bm(new (std::nothrow) CDevBitmap(this));
  if (!bm || !bm->CopyInode(node)) return;
  bm->volume = this;
  const bool ok = bm->InitBM();
  const int64_t clusters = GetClusterCountAll(node);
  if (!ok || clusters == -1 || clusters > int64_t(UINT32_MAX) || uint64_t(clusters) != bm->count) return;
  bitmap = std::move(bm);
}
