#include "filesystems/ntfs/Inode.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/Lznt1.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/IoTrace.h"
#include "volumes/FileTypes.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

using namespace ntfs;

namespace {

inline void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

WString Utf16Le(const uint8_t* p, uint32_t chars) {
  WString s(chars, u'\0');
  std::memcpy(s.data(), p, size_t(chars) * 2);
  return s;
}


}  // namespace

bool CheckFILERecord(const uint8_t* b) {
  if (!b || std::memcmp(b, "FILE", 4) != 0) return false;
  const uint32_t usa = Le16(b + kRecUsaOffset);
  if (usa < 1 || usa > 255) return false;
  const uint32_t first = Le16(b + kRecFirstAttr);
  if (first < 1 || first > 255 || (first & 7)) return false;
  const uint32_t alloc = Le32(b + kRecAllocated);
  if (alloc != 1024 && alloc != 2048 && alloc != 4096) return false;
  const uint32_t type = Le32(b + first);
  return (b[first] & 0x0F) == 0 || type == kAttrEnd;
}

const char16_t* InternStreamName(WStringView name) {
  if (name.empty()) return nullptr;
  static std::mutex mutex;
  static std::unordered_set<WString>* pool = new std::unordered_set<WString>();
  std::lock_guard<std::mutex> lock(mutex);
  return pool->emplace(name).first->c_str();
}

inode::inode() { Init(nullptr, nullptr); }

inode::inode(uint8_t* rec, NTFSVol* vol) { Init(rec, vol); }

inode::~inode() {
  FreeParsed();
  FreeWorkBuffer();
}

void inode::FreeParsed() {
  DeleteXEntryChain(pieces);
  pieces = nullptr;
  pairTable.reset();
  volumeName.reset();
  std::free(residentData);
  residentData = nullptr;
  residentSize = 0;
}

void inode::Init(uint8_t* rec, NTFSVol* vol) {
  FreeParsed();
  FreeWorkBuffer();
  if (HasPieces()) {
    DeleteXEntryChain(Pieces());
  } else {
    FreeRunList(runs);
  }
  runs = nullptr;
  FreeStreamChain(streams);
  streams = nullptr;
  flags = flags2 = 0;
  volumeIndex = kNoVolume;
  kind = kNodeNtfs;
  typeIndex = kNoType;
  name = nullptr;
  parentId = 0;
  id = kNoNodeId;
  size = validSize = allocatedSize = 0;
  creationTime = writeTime = 0;
  position = 0;

  record = rec;
  volume = vol;
  bytesInUse = recordBytes = 0;
  recordSizeHint = 0;
  drive = nullptr;
  keepIndexRoot = false;
  indexRoot.clear();
  baseRefLow = baseRefHigh = sequence = 0;
  std::memset(attrPos, 0, sizeof attrPos);
  firstVcn = lastVcn = clusterCount = 0;
  errors = 0;
  versionMajor = versionMinor = 0;
  fileName.clear();
  nameSpace = 0;
  hasName = false;
  nameRecord = 0;
  lastError.clear();
  reader_.ForgetMap();
}

bool inode::CopyInode(const inode* from) {
  if (!from || from == this) return from != nullptr;
  bool ok = CopyNode(from) && CopySnodeFields(from);
  volume = from->volume;
  bytesInUse = from->bytesInUse;
  recordBytes = from->recordBytes;
  drive = from->drive;
  baseRefLow = from->baseRefLow;
  baseRefHigh = from->baseRefHigh;
  sequence = from->sequence;
  std::memcpy(attrPos, from->attrPos, sizeof attrPos);
  firstVcn = from->firstVcn;
  lastVcn = from->lastVcn;
  clusterCount = from->clusterCount;
  errors = from->errors;
  fileName = from->fileName;
  nameSpace = from->nameSpace;
  hasName = from->hasName;
  std::free(residentData);
  residentData = nullptr;
  residentSize = 0;
  if (from->residentData && from->residentSize) {
    residentData = static_cast<uint8_t*>(std::malloc(from->residentSize));
    if (residentData) {
      std::memcpy(residentData, from->residentData, from->residentSize);
      residentSize = from->residentSize;
    } else {
      ok = false;
    }
  }
  reader_.ForgetMap();
  return ok;
}

RunReader& inode::Reader() {
  RunReader::Source source;
  source.node = this;
  source.volume = volume;
  source.clusterBytes = ClusterBytes();
  source.sectorBytes = SectorBytes();
  source.allocatedSize = allocatedSize;
  source.compressed = (flags2 & kNode2Compressed) && !(flags2 & kNode2Directory);
  source.unitClusters = ntfs::kUnitClusters;
  source.expand = Lznt1Decompress;
  reader_.Bind(source);
  return reader_;
}

uint32_t inode::RecordSize() const {
  if (volume) return volume->recordSize;
  if (recordSizeHint) return recordSizeHint;
  uint32_t s = drive ? drive->SectorSize() : 512;
  return s < 1024 ? 1024 : s;
}

uint32_t inode::SectorBytes() const {
  if (volume) return volume->sectorSize;
  return drive && drive->SectorSize() ? drive->SectorSize() : 512;
}

uint32_t inode::ClusterBytes() const {
  if (volume) return volume->clusterSize;
  uint32_t c = GetClusterBytes(SectorBytes());
  return c ? c : 4096;
}

void inode::Report(const char16_t* text) {
  lastError = text;
  TracePrintfW(u"Err @ %I64d: %s\n", int64_t(position), text);
}

void inode::ReportThunk(void* self, const char16_t* text) { static_cast<inode*>(self)->Report(text); }

int inode::Fail(const char16_t* text) {
  Report(text);
  return -1;
}

bool inode::ExtendedAttr() const {
  uint32_t pos = record[kRecFirstAttr];
  while (pos + 8 <= bytesInUse) {
    const uint32_t type = Le32(record + pos);
    if (type == 0 || type == kAttrEnd) return false;
    if (type == kTypeAttrList) return true;
    const uint32_t len = Le32(record + pos + 4);
    // In 64 bits: a huge length must not wrap back to an earlier attribute.
    if (len == 0 || (len & 7) || uint64_t(pos) + len > bytesInUse) return false;
    pos += len;
  }
  return false;
}

int inode::parseEntry(const char16_t* wantedText) {
  if (!record) return -1;
  const WString wanted = wantedText ? WString(wantedText) : WString();
  const uint32_t recSize = RecordSize();
  const uint32_t strides = ReadHeader(recSize);
  // Fix-up; restored on every return so the buffer can be parsed again.
  struct Restore {
    uint8_t* rec;
    uint16_t usn;
    uint32_t fixed = 0;
    ~Restore() {
      for (uint32_t i = 0; i < fixed; i++) Put16(rec + i * kStride + kStride - 2, usn);
    }
  } restore{record, strides ? Le16(record + record[kRecUsaOffset]) : uint16_t(0)};
  restore.fixed = ApplyFixup(strides, restore.usn);
  struct DropTable {
    std::unique_ptr<KeyPairTable>& t;
    ~DropTable() { t.reset(); }
  } dropTable{pairTable};

  bytesInUse = Le32(record + kRecBytesInUse);
  if ((bytesInUse & 7) || bytesInUse < kRecMinBytesInUse || bytesInUse > recSize)
    return Fail(FormatW(u"Invalid MFT record length %d.", int32_t(bytesInUse)).c_str());
  if (Le32(record + bytesInUse - 8) != kAttrEnd) {
    errors |= kInodeErrGhost;
    Report(u"Corrupted or ghost MFT entry.");
  }
  if (!(flags & kInodeNumberKnown) && ExtendedAttr()) pairTable = std::make_unique<KeyPairTable>();

  flags2 = Le16(record + kRecFlags);
  sequence = uint32_t(Le16(record + kRecSequence)) << 16;
  baseRefLow = Le32(record + kRecBaseRef);
  baseRefHigh = Le32(record + kRecBaseRef + 4);

  if (WalkAttributes(record[kRecFirstAttr], wanted) < 0) return -1;
  if (!hasName && nameRecord && followNameRecord) FollowNameRecord();
  TakePieces();
  if ((kind & kNodeClusterCodeMask) == 0) {
    uint32_t cs = volume ? volume->clusterSize : 0;
    SetClusterBytes(cs ? cs : 4096, SectorBytes());
  }
  return 0;
}

uint32_t inode::ReadHeader(uint32_t recSize) {
  const uint32_t usaOffset = record[kRecUsaOffset];
  const uint32_t usaCount = record[kRecUsaCount];
  const uint32_t alloc = Le32(record + kRecAllocated);
  recordBytes = (alloc == 1024 || alloc == 2048 || alloc == 4096) ? alloc : 0;

  // One stride per 512 bytes of the record, as many as the array holds; the
  // array itself must lie in the first stride.
  uint32_t strides = 0;
  if (usaCount >= 1 && usaOffset >= 1 && usaOffset + 2 * usaCount <= kStride - 2) {
    strides = usaCount - 1;
    if (strides > recSize / kStride) strides = recSize / kStride;
  } else if (usaCount != 0) {
    errors |= kInodeErrFixup;
  }

  if (usaOffset == kRecNewUsaOffset) {
    id = Le32(record + kRecNumber);
    flags |= kInodeNumberFromHeader | kInodeNumberKnown;
  }
  if (usaCount == 3 && recSize >= 1024 && Le16(record + 510) != Le16(record + 1022)) {
    errors |= kInodeErrFixup;
    theIoTrace().LogOp6(int64_t(position), Le16(record + 510), Le16(record + 1022));
  }
  return strides;
}

uint32_t inode::ApplyFixup(uint32_t strides, uint16_t usn) {
  const uint32_t usaOffset = record[kRecUsaOffset];
  for (uint32_t i = 0; i < strides; i++) {
    uint8_t* word = record + i * kStride + kStride - 2;
    if (Le16(word) != usn) {
      errors |= kInodeErrFixup;
      return i;
    }
    Put16(word, Le16(record + usaOffset + 2 * (i + 1)));
  }
  return strides;
}

int inode::WalkAttributes(uint32_t firstAttr, const WString& wanted) {
  uint32_t pos = firstAttr;
  while (pos < bytesInUse && bytesInUse - pos >= 8) {
    const uint32_t type = Le32(record + pos);
    if (type == 0 || type == kAttrEnd) break;
    const uint32_t len = Le32(record + pos + 4);
    if (len & 7) return Fail(FormatW(u"Attribute length is %d, not a multiple of 8.", int32_t(len)).c_str());
    if (uint64_t(pos) + len > bytesInUse) return Fail(u"Attribute leng > Length in use.");
    if (len == 0) {
      if (hasName) break;
      return Fail(u"Zero length attribute");
    }
    if (type < 0x100) attrPos[type >> 4] = uint16_t(pos);
    if (pairTable && type != kTypeAttrList && len >= 16) {
      uint64_t ref = 0;
      if (pairTable->MarkSeenAndGet(type, uint32_t(record[pos + kAttrId]) * 257, &ref)) {
        id = uint32_t(ref);
        flags |= kInodeNumberKnown;
        pairTable.reset();
      }
    }
    if (ParseAttribute(type, pos, len, wanted) < 0) return -1;
    pos += len;
  }
  return 0;
}

int inode::ParseAttribute(uint32_t type, uint32_t pos, uint32_t len, const WString& wanted) {
  switch (type) {
    case kTypeStandard:
      return parseStandard(pos, len);
    case kTypeAttrList:
      if (len >= 9 && (record[pos + kAttrNonResident] & 1)) {
        ReadAndParse0x20(pos, len);
      } else if (len >= 40) {
        parseAttributeList(pos, len);
      }
      return 0;
    case kTypeFileName:
      return parseName(pos, len);
    case kTypeIndexRoot:
      // The walk checked the attribute lies inside the bytes in use.
      if (keepIndexRoot && indexRoot.empty()) indexRoot.assign(record + pos, record + bytesInUse);
      return 0;
    case kTypeObjectId:
    case kTypeSecurity:
    case kTypeReparse:
    case kTypeEaInfo:
    case kTypeEa:
    case kTypePropertySet:
    case kTypeLoggedStream:
      return 0;
    case kTypeVolumeName:
      ParseVolumeName(pos, len);
      return 0;
    case kTypeVolumeInfo:
      if (len >= kAttrResidentHeader) {
        const uint32_t vo = Le16(record + pos + kAttrValueOffset);
        if (uint64_t(vo) + kVolInfoMinor + 1 <= len) {
          versionMajor = record[pos + vo + kVolInfoMajor];
          versionMinor = record[pos + vo + kVolInfoMinor];
        }
      }
      return 0;
    case kTypeData:
    case kTypeIndexAlloc:
      return parseData(type, pos, len, wanted);
    case kTypeBitmap:
      if (len >= 9 && (record[pos + kAttrNonResident] & 1)) {
        ParsedRuns pr;
        if (parseRuns(record + pos, len, &pr, &ReportThunk, this) == 0 && (kind & kNodeClusterCodeMask) == 0 &&
            pr.clusterCount != 0) {
          const uint64_t cb = pr.allocatedSize / pr.clusterCount;
          if (IsSectorSize(int64_t(cb), 65536)) SetClusterBytes(uint32_t(cb), SectorBytes());
        }
        FreeRunList(pr.list);
      }
      return 0;
    default:
      return Fail(FormatW(u"Unknown attribute: %02X\n", type).c_str());
  }
}

void inode::TakePieces() {
  if (!pieces) return;
  // Resident data has no extents: the list's $DATA entry names this record
  // itself (a file with many links gets a list while its data stays here).
  if (residentData && !runs && !HasPieces()) {
    DeleteXEntryChain(pieces);
    pieces = nullptr;
    return;
  }
  XEntry* match = nullptr;
  for (XEntry* p = pieces; p; p = p->next) {
    if (p->firstVcn == firstVcn && !p->runs) {
      match = p;
      break;
    }
  }
  if (match && !HasPieces()) {
    match->runs = runs;
    match->clusterCount = clusterCount;
    match->lastVcn = lastVcn;
    match->realSize = match->initializedSize = match->allocatedSize = 0;
    match->position = position;
  } else if (!HasPieces()) {
    FreeRunList(runs);
  }
  runs = nullptr;
  for (XEntry* p = pieces; p; p = p->next) p->baseRecord = id;
  runs = reinterpret_cast<uint8_t*>(pieces);
  pieces = nullptr;
  flags |= kNodeStreams;
}

int inode::parseStandard(uint32_t pos, uint32_t len) {
  if (len < kAttrResidentHeader) return Fail(u"Invalid offset to file times.");
  const uint32_t vo = Le16(record + pos + kAttrValueOffset);
  if (len < uint64_t(vo) + kStdMinLength) return Fail(u"Invalid offset to file times.");
  const uint8_t* v = record + pos + vo;
  creationTime = Le64(v + kStdCreation);
  writeTime = Le64(v + kStdModification);
  if (Le32(v + kStdAttributes) & kFileAttrCompressed) flags2 |= kNode2Compressed;
  return 0;
}

void inode::TakeName(const uint8_t* p, uint32_t chars, uint8_t space) {
  if (space == kNameSpaceDos && hasName) return;
  fileName = Utf16Le(p, chars);
  nameSpace = space;
  hasName = true;
  if (names) name = names->InternName(fileName);
  if (chars > 4) typeIndex = ExtensionToType(fileName);
}

int inode::parseName(uint32_t pos, uint32_t len) {
  const uint32_t vo = len >= kAttrResidentHeader ? Le16(record + pos + kAttrValueOffset) : len;
  if (uint64_t(vo) + 8 > len) return Fail(u"Invalid offset to parent pointer.");
  const uint8_t* v = record + pos + vo;
  if (parentId == 0) parentId = Le32(v + kFnParent);
  if (len < uint64_t(vo) + 40) return Fail(u"Invalid offset to file times.");
  if (len < uint64_t(vo) + kFnName) return Fail(u"Invalid offset to filename length.");
  const uint32_t attributes = Le32(v + kFnAttributes);
  if (attributes & kFileAttrCompressed) flags2 |= kNode2Compressed;
  const uint32_t chars = v[kFnNameLength];
  if (uint64_t(vo) + kFnName + 2 * uint64_t(chars) > len) return Fail(u"Invalid offset to filename.");
  if (creationTime == 0 && writeTime == 0) {
    creationTime = Le64(v + kFnCreation);
    writeTime = Le64(v + kFnModification);
  }
  const uint64_t alloc = Le64(v + kFnAllocated), real = Le64(v + kFnRealSize);
  if (real > alloc && !(attributes & kFileAttrCompressed) && !(flags2 & kNode2Compressed)) {
    errors |= kInodeErrGhost;
    Report(u"Corrupted or ghost MFT entry.");
  }
  TakeName(v + kFnName, chars, v[kFnNameSpace]);
  return 0;
}

// The name of the extension record that holds $FILE_NAME: read it, parse it
// alone and take its name and parent.
void inode::FollowNameRecord() {
  if (!volume || (nameRecord & XEntry::kRecordMask) == (id & XEntry::kRecordMask)) return;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[volume->recordSize]);
  uint64_t at = 0;
  if (!buf || !volume->ReadMftRecord(nameRecord & XEntry::kRecordMask, buf.get(), &at)) return;
  inode ext(buf.get(), volume);
  ext.followNameRecord = false;
  ext.position = at;
  if (ext.parseEntry(nullptr) != 0 || !ext.hasName) return;
  // Only an extension record of this file counts.
  if (id != kNoNodeId && ext.baseRefLow != id) return;
  const uint32_t chars = uint32_t(ext.fileName.size());
  fileName = ext.fileName;
  nameSpace = ext.nameSpace;
  hasName = true;
  if (names) name = names->InternName(fileName);
  if (chars > 4) typeIndex = ExtensionToType(fileName);
  if (parentId == 0) parentId = ext.parentId;
  if (creationTime == 0 && writeTime == 0) {
    creationTime = ext.creationTime;
    writeTime = ext.writeTime;
  }
  if (ext.flags2 & kNode2Compressed) flags2 |= kNode2Compressed;
}

bool inode::ParseStreamName(uint32_t pos, uint32_t len, WString* out) const {
  const uint32_t chars = record[pos + kAttrNameLength];
  const uint32_t off = Le16(record + pos + kAttrNameOffset);
  if (off == 0 || (off & 7) || uint64_t(off) + 2 * uint64_t(chars) > len) return false;
  *out = Utf16Le(record + pos + off, chars);
  return true;
}

void inode::ParseVolumeName(uint32_t pos, uint32_t len) {
  if (len < kAttrResidentHeader) return;
  const uint32_t vo = Le16(record + pos + kAttrValueOffset);
  uint32_t vl = Le16(record + pos + kAttrValueLength);
  if (vl > kVolumeNameMaxBytes) vl = kVolumeNameMaxBytes;
  if (uint64_t(vo) + vl > len) return;
  volumeName = std::make_unique<WString>(Utf16Le(record + pos + vo, vl / 2));
}

int inode::parseResData(uint32_t pos, uint32_t len, uint8_t** data, uint32_t* sizeOut) {
  if (len < 16 || (record[pos + kAttrNonResident] & 1)) return -1;
  if (len < kAttrResidentHeader) return Fail(u"Resident data + offset  > attribute leng");
  const uint32_t vo = Le16(record + pos + kAttrValueOffset);
  const uint32_t vl = Le16(record + pos + kAttrValueLength);
  if (uint64_t(vo) + vl > len) return Fail(u"Resident data + offset  > attribute leng");
  *data = static_cast<uint8_t*>(std::malloc(vl ? vl : 1));
  if (!*data) return -1;
  std::memcpy(*data, record + pos + vo, vl);
  *sizeOut = vl;
  return 0;
}

int inode::parseData(uint32_t type, uint32_t pos, uint32_t len, const WString& wanted) {
  if (len == 24) return 0;
  if (type == kTypeData && (flags2 & kNode2Directory)) return 0;
  if (len < 16) return type == kTypeData ? Fail(u"Zero length attribute") : 0;
  WString sname;
  if (record[pos + kAttrNameLength]) {
    if (!ParseStreamName(pos, len, &sname)) return 0;
    if (sname == u"$I30") sname.clear();
  }
  const bool nonResident = record[pos + kAttrNonResident] & 1;
  RunList list = nullptr;
  uint8_t* data = nullptr;
  uint32_t dataSize = 0;
  uint64_t real = 0, init = 0, alloc = 0, count = 0;
  uint32_t fv = 0, lv = 0;
  if (nonResident) {
    ParsedRuns pr;
    if (parseRuns(record + pos, len, &pr, &ReportThunk, this) < 0) {
      FreeRunList(pr.list);
      return type == kTypeIndexAlloc ? 0 : -1;
    }
    if (len >= 32) {
      fv = uint32_t(Le64(record + pos + kAttrFirstVcn));
      lv = uint32_t(Le64(record + pos + kAttrLastVcn));
    }
    if (pr.clusterCount != uint64_t(lv) - fv + 1) {
      errors |= kInodeErrGhost;
      Report(u"Corrupted or ghost MFT entry.");
    }
    if (!pr.list || RunListBytes(pr.list) == 0) {
      FreeRunList(pr.list);
      return 0;
    }
    list = pr.list;
    real = pr.realSize;
    init = pr.initializedSize;
    alloc = pr.allocatedSize;
    count = pr.clusterCount;
  } else {
    if (parseResData(pos, len, &data, &dataSize) < 0) return -1;
    real = init = alloc = dataSize;
  }

  if (sname != wanted) {
    if (wanted.empty() && !sname.empty()) {
      const char16_t* interned = InternStreamName(sname);
      NTFSStream* s = FindStream(streams, interned);
      if (s && !s->runs && list) {
        s->runs = list;
        if (!s->realSize) s->realSize = real;
        if (!s->initializedSize) s->initializedSize = init;
      } else if (!s) {
        streams = AddStreamSorted(streams, list, interned, real, init);
      } else {
        FreeRunList(list);
      }
      list = nullptr;
    }
    FreeRunList(list);
    std::free(data);
    return 0;
  }
  if (runs || residentData || HasPieces()) {
    FreeRunList(list);
    std::free(data);
    return 0;
  }
  runs = list;
  residentData = data;
  residentSize = dataSize;
  clusterCount = uint32_t(count);
  size = real;
  validSize = init;
  allocatedSize = alloc;
  firstVcn = fv;
  lastVcn = lv;
  if (count) {
    const uint64_t cb = alloc / count;
    if (IsSectorSize(int64_t(cb), 65536)) SetClusterBytes(uint32_t(cb), SectorBytes());
  }
  return 0;
}

int inode::parseAttributeList(uint32_t pos, uint32_t len) {
  return parseAttributeList2(record + pos + kAttrResidentHeader, len - kAttrResidentHeader);
}

int inode::parseAttributeList2(const uint8_t* list, uint32_t length) {
  if (length <= 15) return -1;
  int walked = 0;
  uint32_t pos = 0;
  while (length - pos >= kAlMinEntry) {
    const uint8_t* e = list + pos;
    const uint32_t type = Le32(e + kAlType);
    if (type == 0 || type == 0xFF || type == kAttrEnd) break;
    const uint32_t elen = Le16(e + kAlLength);
    if (elen & 7) {
      Report(FormatW(u"Attribute length is %d, not a multiple of 8.", int32_t(elen)).c_str());
      break;
    }
    if (uint64_t(pos) + elen > length) {
      Report(u"AttrList: Attribute leng > Length in use.");
      break;
    }
    if (elen == 0) {
      Report(u"AttrList: Zero length attribute");
      break;
    }
    // An entry's fixed part runs to byte 26; its name follows inside it.
    const uint32_t nameChars = e[kAlNameLength];
    const uint32_t nameOff = e[kAlNameOffset];
    if (elen < kAlMinEntry || (nameChars && uint64_t(nameOff) + 2 * nameChars > elen)) {
      Report(u"AttrList: Attribute leng > Length in use.");
      break;
    }
    walked++;
    const uint64_t recordRef = uint64_t(Le32(e + kAlRecord)) | (uint64_t(e[kAlRecordHigh]) << 32);
    if (pairTable && (type & 0x0F) == 0) {
      if (pairTable->AddValueAndCheckSeen(type, uint32_t(e[kAlId]) * 257, recordRef)) {
        id = uint32_t(recordRef);
        flags |= kInodeNumberKnown;
        pairTable.reset();
      }
    }
    if (type == kTypeFileName && !nameRecord) nameRecord = recordRef;
    if (type == kTypeData) {
      auto* piece = new (std::nothrow) XEntry();
      if (piece) {
        piece->baseRecord = id;
        piece->firstVcn = Le64(e + kAlFirstVcn);
        piece->recordNumber = recordRef;
        if (nameChars == 0) {
          if (pieces) {
            pieces->Add(piece);
          } else {
            pieces = piece;
          }
          if (traceMft.load(std::memory_order_relaxed))
            TracePrintfW(u"EE base %ld - Inode %ld - VCN %I64d\n", int32_t(id), int32_t(recordRef),
                         int64_t(piece->firstVcn));
        } else {
          const WString sname = Utf16Le(e + nameOff, nameChars);
          const char16_t* interned = InternStreamName(sname);
          NTFSStream* s = FindStream(streams, interned);
          if (!s) {
            streams = AddStreamSorted(streams, nullptr, interned, 0, 0);
            s = FindStream(streams, interned);
          }
          if (s) {
            if (s->pieces) {
              s->pieces->Add(piece);
            } else {
              s->pieces = piece;
            }
            s->flags |= NTFSStream::kDataInPieces;
          } else {
            delete piece;
          }
        }
      }
    }
    pos += elen;
  }
  return walked ? 0 : -1;
}

bool inode::ReadNR(uint32_t pos, uint32_t len, std::unique_ptr<uint8_t[]>* out, uint32_t* outLength) {
  if (!volume || len < 32) return false;
  const uint32_t pairsAt = Le16(record + pos + kAttrPairsOffset);
  if ((pairsAt & 7) || pairsAt >= len) return false;
  ParsedRuns pr;
  if (parseRuns(record + pos, len, &pr, &ReportThunk, this) < 0 || !pr.list) {
    FreeRunList(pr.list);
    return false;
  }
  std::unique_ptr<uint8_t, void (*)(uint8_t*)> hold(pr.list, [](uint8_t* p) { FreeRunList(p); });
  if (pr.allocatedSize == 0 || pr.clusterCount == 0) return false;
  const uint64_t cb = pr.allocatedSize / pr.clusterCount;
  if (!IsSectorSize(int64_t(cb), 65536) || cb < SectorBytes()) return false;
  if (pr.allocatedSize > 1048576) {
    ErrorMsg(u"Attribute list is too long.");
    return false;
  }
  inode reader(nullptr, volume);
  reader.runs = hold.release();
  reader.allocatedSize = pr.allocatedSize;
  reader.size = pr.realSize;
  // The runs count the volume's clusters, which is what the reader's buffer
  // holds; the sizes' own cluster size may disagree on a damaged record.
  const uint32_t cs = reader.ClusterBytes();
  uint64_t want = 1048576 / cs;
  if (want > pr.clusterCount) want = pr.clusterCount;
  uint32_t got = 0;
  const uint8_t* data = reader.ReadClusters(0, uint32_t(want), &got);
  if (!data || got == 0) return false;
  if (traceMft.load(std::memory_order_relaxed)) TracePrintfW(u"ReadNR %I64d\n", reader.Offset2LSN(0));
  uint64_t bytes = uint64_t(got) * cs;
  // The list ends at its real size; what follows in the cluster is slack.
  if (pr.realSize && pr.realSize < bytes) bytes = pr.realSize;
  out->reset(new (std::nothrow) uint8_t[bytes]);
  if (!*out) return false;
  std::memcpy(out->get(), data, bytes);
  *outLength = uint32_t(bytes);
  return true;
}

int inode::ReadAndParse0x20(uint32_t pos, uint32_t len) {
  std::unique_ptr<uint8_t[]> list;
  uint32_t length = 0;
  if (volume && ReadNR(pos, len, &list, &length) && parseAttributeList2(list.get(), length) == 0) return 0;
  // A loose record (or one whose own volume cannot give the list): the
  // list's clusters may belong to another NTFS volume of the drive, last
  // first. A list counts only when it parses on its own.
  NTFSVol* const own = volume;
  const Drive* d = own ? own->drive : drive;
  if (!d || !record) return -1;
  int result = -1;
  for (uint32_t i = VolumeCount(*d); i-- > 0;) {
    CVol* v = VolumeAt(*d, i);
    if (!v || v == own || v->type != kVolNtfs) continue;
    volume = static_cast<NTFSVol*>(v);
    list.reset();
    const bool read = ReadNR(pos, len, &list, &length);
    volume = own;
    if (!read) continue;
    inode probe;
    probe.id = id;
    if (probe.parseAttributeList2(list.get(), length) != 0) continue;
    result = parseAttributeList2(list.get(), length);
    break;
  }
  volume = own;
  return result;
}

void inode::CreateHdrNode(int64_t startSector, int64_t sz, uint32_t sectorSize, uint64_t scanTime) {
  if (sectorSize == 0) sectorSize = 512;
  creationTime = writeTime = scanTime;
  size = validSize = uint64_t(sz);
  allocatedSize = (uint64_t(sz) + sectorSize - 1) / sectorSize * sectorSize;
  if (HasPieces()) {
    DeleteXEntryChain(Pieces());
  } else {
    FreeRunList(runs);
  }
  runs = MakeRuns(startSector, allocatedSize / sectorSize);
  flags = kInodeCarved;
  flags2 = 0;
  position = uint64_t(startSector);
  FreeStreamChain(streams);
  streams = nullptr;
  SetClusterBytes(sectorSize, sectorSize);
}
