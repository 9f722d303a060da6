#include "volumes/Node.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/HTree.h"
#include "foundation/TimeUtil.h"
#include "platform/Format.h"
#include "volumes/ScanSink.h"
#include "volumes/Streams.h"
#include "volumes/VolumeFamily.h"

// ---------------------------------------------------------------- cnode

cnode::~cnode() {
  // An NTFS chain was freed by ~snode, which cleared the flag.
  if (!HasPieces()) FreeRunList(runs);
  runs = nullptr;
}

void cnode::SetClusterBytes(uint32_t bytes, uint32_t sectorSize) {
  uint8_t code = 4;
  if (sectorSize != 0 && bytes >= sectorSize && bytes % sectorSize == 0) {
    uint32_t q = bytes / sectorSize;
    if ((q & (q - 1)) == 0 && q != 8) {
      int log = 0;
      while ((1u << log) < q) ++log;
      // A code above 15 does not fit the nibble: such clusters don't exist.
      if (log + 1 <= 15) code = uint8_t(log + 1);
    }
  }
  kind = uint8_t((kind & kNodeFamilyMask) | code);
}

uint32_t cnode::GetClusterBytes(uint32_t sectorSize) const {
  int code = kind & kNodeClusterCodeMask;
  int shift = code == 0 ? 3 : code - 1;
  uint64_t bytes = uint64_t(sectorSize) << shift;
  return bytes > 0xFFFFFFFFu ? 0 : uint32_t(bytes);
}

WString cnode::GetNameW() const {
  WString text;
  GetNameW(&text);
  return text;
}

bool cnode::GetNameW(WString* holder) const {
  holder->clear();
  if (!name || name[0] == 0) return false;
  size_t count = name[0];
  const uint8_t* chars = name + 2;
  holder->resize(count);
  if (name[1] & kCountedNameWide) {
    for (size_t i = 0; i < count; ++i) (*holder)[i] = char16_t(chars[2 * i] | chars[2 * i + 1] << 8);
  } else {
    for (size_t i = 0; i < count; ++i) (*holder)[i] = char16_t(chars[i]);
  }
  return true;
}

bool cnode::CopyNode(const cnode* from) {
  if (!from) return false;
  if (from == this) return true;
  name = from->name;
  flags2 = from->flags2;
  size = from->size;
  typeIndex = from->typeIndex;
  parentId = from->parentId;
  id = from->id;
  volumeIndex = from->volumeIndex;

  if (HasPieces()) {
    DeleteXEntryChain(Pieces());
  } else {
    FreeRunList(runs);
  }
  runs = nullptr;
  uint8_t family = Family();
  flags = from->flags;
  kind = uint8_t(family | (from->kind & kNodeClusterCodeMask));
  if (family != from->Family() || !IsSnode()) flags &= uint16_t(~kNodeStreams);

  bool ok = true;
  if (from->HasPieces()) {
    if (HasPieces()) {
      // The copy gets its own chain: sharing one would free it twice.
      XEntry* chain = CopyXEntryChain(from->Pieces());
      runs = reinterpret_cast<uint8_t*>(chain);
      if (!chain) {
        flags &= uint16_t(~kNodeStreams);
        ok = false;
      }
    }
  } else if (from->runs) {
    runs = CopyRunList(from->runs);
    ok = runs != nullptr;
  }
  // The family's own fields, when both records are the family's.
  if (family == from->Family())
    if (const NodeOps* ops = FindNodeOps(kind); ops && ops->copyFields) ok = ops->copyFields(this, from) && ok;
  return ok;
}

bool cnode::GetFileTime(uint64_t* out, int which) const {
  // A family without a time reader yet, and an invalid kind, has no time.
  const NodeOps* ops = FindNodeOps(kind);
  return ops && ops->fileTime && ops->fileTime(this, out, which);
}

WString cnode::GetTimeText(int which) const {
  const NodeOps* ops = FindNodeOps(kind);
  if (!ops) return WString();
  if (ops->timeText) return ops->timeText(this, which);
  if (!ops->fileTime) return WString();
  uint64_t t = 0;
  ops->fileTime(this, &t, which);
  return FormatDateTime(t);
}

namespace {

// First start cluster of a list; false without a data pair.
bool FirstRunStart(const uint8_t* list, int64_t* lcn) {
  int64_t delta = 0;
  uint32_t length = 0, position = 0;
  if (!list || ReadNextRun(&delta, &length, list, &position) != 1) return false;
  *lcn = delta;
  return true;
}

int64_t ClustersToSectors(int64_t lcn, uint32_t clusterBytes, uint32_t sectorSize) {
  if (lcn <= 0 || sectorSize == 0 || clusterBytes < sectorSize) return 0;
  int64_t factor = clusterBytes / sectorSize;
  if (lcn > INT64_MAX / factor) return 0;
  return lcn * factor;
}

}  // namespace

int64_t cnode::GetFirstSector(uint32_t sectorSize) const {
  if (const NodeOps* ops = FindNodeOps(kind); ops && ops->firstSector) return ops->firstSector(this, sectorSize);
  if (Family() >= kNodeFirstInvalid) return 0;
  int64_t lcn = 0;
  if (!FirstRunStart(RunBuffer(), &lcn)) return 0;
  return ClustersToSectors(lcn, GetClusterBytes(sectorSize), sectorSize);
}

// ---------------------------------------------------------------- snode

snode::~snode() {
  FreeStreamChain(streams);
  streams = nullptr;
  if (HasPieces()) {
    DeleteXEntryChain(Pieces());
    runs = nullptr;
    flags &= uint16_t(~kNodeStreams);
  }
}

bool snode::CopySnodeFields(const snode* from) {
  creationTime = from->creationTime;
  writeTime = from->writeTime;
  validSize = from->validSize;
  allocatedSize = from->allocatedSize;
  position = from->position;
  FreeStreamChain(streams);
  streams = from->streams ? CopyStreamChain(from->streams) : nullptr;
  return !from->streams || streams;
}

bool snode::IsEmpty() const {
  if (runs) return false;
  for (const NTFSStream* s = streams; s; s = s->next) {
    if (s->runs || s->pieces) return false;
  }
  return true;
}

bool snode::CopyFATInode(const cnode* fat) {
  if (!fat) return false;
  name = fat->name;
  parentId = fat->parentId;
  size = validSize = allocatedSize = fat->size;
  if (HasPieces()) {
    DeleteXEntryChain(Pieces());
  } else {
    FreeRunList(runs);
  }
  runs = nullptr;
  flags = uint16_t(fat->flags & ~kNodeStreams);
  if (fat->RunBuffer()) runs = CopyRunList(fat->RunBuffer());
  id = fat->id;
  typeIndex = fat->typeIndex;
  volumeIndex = fat->volumeIndex;
  kind = uint8_t(kNodeNtfs | (fat->kind & kNodeClusterCodeMask));
  return !fat->RunBuffer() || runs;
}

int64_t snode::GetFirstSector(uint32_t sectorSize) const {
  const XEntry* first = Pieces();
  const uint8_t* list = HasPieces() ? (first ? first->runs : nullptr) : RunBuffer();
  int64_t lcn = 0;
  if (!FirstRunStart(list, &lcn)) return 0;
  return ClustersToSectors(lcn, GetClusterBytes(sectorSize), sectorSize);
}

// ---------------------------------------------------------------- factory

cnode* CreateNode(uint8_t kind) {
  // A family whose records are not built yet, and an invalid kind, gets none.
  if ((kind & kNodeFamilyMask) >= kNodeFirstInvalid) return nullptr;
  const NodeOps* ops = FindNodeOps(kind);
  return ops && ops->create ? ops->create() : nullptr;
}

void DeleteNode(cnode** holder) {
  if (!holder || !*holder) return;
  cnode* node = *holder;
  *holder = nullptr;
  // Invalid kinds are left alone: the family that made them frees them.
  if (node->Family() >= kNodeFirstInvalid) return;
  const NodeOps* ops = FindNodeOps(node->kind);
  if (ops && ops->destroy) {
    ops->destroy(node);
  } else {
    // A head made by a caller with a family byte that has no records of
    // its own owns nothing but its run list.
    delete node;
  }
}

bool IsBlockMapNode(const cnode* node) {
  if (!node) return false;
  const NodeOps* ops = FindNodeOps(node->kind);
  return ops && ops->blockMapped && ops->blockMapped(node);
}

XEntry* FindExtInNode(const cnode* node, uint64_t recordNumber) {
  if (!node) return nullptr;
  for (XEntry* e = node->Pieces(); e; e = e->next) {
    if ((e->recordNumber & XEntry::kRecordMask) == (recordNumber & XEntry::kRecordMask)) return e;
  }
  return nullptr;
}

bool FindExt(snode* node, const HTree* pieceTable, uint32_t sectorSize) {
  if (!node || !node->HasPieces()) return false;
  XEntry* first = node->Pieces();
  bool missing = false, firstMissing = false;
  uint64_t sumReal = 0, sumInit = 0, sumAllocated = 0;
  for (XEntry* e = first; e; e = e->next) {
    if (!e->runs) {
      const XEntry* found = pieceTable ? FindPiece(*pieceTable, *e) : nullptr;
      if (found && found->runs) {
        e->runs = CopyRunList(found->runs);
        e->lastVcn = found->lastVcn;
        e->realSize = found->realSize;
        e->initializedSize = found->initializedSize;
        e->allocatedSize = found->allocatedSize;
        e->position = found->position;
        e->volumeIndex = found->volumeIndex;
        e->clusterCount = found->clusterCount;
      }
      if (!e->runs) {
        e->realSize = e->initializedSize = e->allocatedSize = 0;
        e->clusterCount = 0;
        missing = true;
        if (e == first) firstMissing = true;
      }
    }
    sumReal += e->realSize;
    sumInit += e->initializedSize;
    sumAllocated += e->allocatedSize;
  }
  if (node->size == 0) node->size = sumReal;
  if (node->validSize == 0) node->validSize = sumInit;

  // An unknown (-1) or empty (0) count leaves the cluster size alone.
  int64_t clusters = GetClusterCountAll(node);
  uint64_t clusterSize = 0;
  if (clusters > 0) {
    uint64_t c = sumAllocated / uint64_t(clusters);
    if (c != 0 && (c & (c - 1)) == 0 && c <= 65536 && c * uint64_t(clusters) == sumAllocated) {
      clusterSize = c;
      node->SetClusterBytes(uint32_t(c), sectorSize);
      node->allocatedSize = sumAllocated;
    }
  }
  if (firstMissing && node->size == 0) {
    const XEntry* last = first;
    while (last && last->next) last = last->next;
    uint64_t unit = clusterSize ? clusterSize : node->GetClusterBytes(sectorSize);
    if (last && last->lastVcn < (UINT64_MAX / unit) - 1) {
      node->size = node->validSize = node->allocatedSize = (last->lastVcn + 1) * unit;
    }
  }
  return missing;
}

// ---------------------------------------------------------------- names

namespace {

// Decodes one well-formed UTF-8 sequence at bytes[i]; 0 when there is none.
size_t DecodeUtf8(const uint8_t* s, size_t n, uint32_t* cp) {
  uint8_t b = s[0];
  size_t len;
  uint32_t min;
  if (b >= 0xC2 && b <= 0xDF) { len = 2; *cp = b & 0x1F; min = 0x80; }
  else if (b >= 0xE0 && b <= 0xEF) { len = 3; *cp = b & 0x0F; min = 0x800; }
  else if (b >= 0xF0 && b <= 0xF4) { len = 4; *cp = b & 0x07; min = 0x10000; }
  else return 0;
  if (len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (s[k] & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return len;
}

size_t NulLength(const uint8_t* bytes, size_t count) {
  const void* nul = std::memchr(bytes, 0, count);
  return nul ? size_t(static_cast<const uint8_t*>(nul) - bytes) : count;
}

WString DecodeUtf8Name(const uint8_t* bytes, size_t count) {
  WString out;
  out.reserve(count);
  for (size_t i = 0; i < count;) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(bytes + i, count - i, &cp);
    if (len == 0) {
      out += char16_t(bytes[i]);  // the byte as itself (Latin-1)
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    i += len;
  }
  return out;
}

// The system converter for a code page, kept per thread: names come by the
// hundred thousand and opening a converter is not cheap.
struct CodePageConverter {
  int codePage = 0;
  iconv_t cd = iconv_t(-1);
  ~CodePageConverter() {
    if (cd != iconv_t(-1)) iconv_close(cd);
  }
  bool Open(int cp) {
    if (cp == codePage && cd != iconv_t(-1)) return true;
    if (cd != iconv_t(-1)) iconv_close(cd);
    cd = iconv_t(-1);
    codePage = cp;
    std::string from = (cp >= 28591 && cp <= 28606) ? "ISO-8859-" + std::to_string(cp - 28590)
                                                   : "CP" + std::to_string(cp);
    cd = iconv_open("UTF-16LE", from.c_str());
    return cd != iconv_t(-1);
  }
};

bool ConvertWithCodePage(int cp, const uint8_t* bytes, size_t count, WString* out) {
  thread_local CodePageConverter conv;
  if (!conv.Open(cp)) return false;
  iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
  // A byte becomes at most two UTF-16 units in any code page.
  std::string buffer(count * 4 + 8, '\0');
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  size_t inLeft = count;
  char* o = buffer.data();
  size_t outLeft = buffer.size();
  if (iconv(conv.cd, &in, &inLeft, &o, &outLeft) == size_t(-1) || inLeft != 0) return false;
  size_t produced = buffer.size() - outLeft;
  out->resize(produced / 2);
  for (size_t i = 0; i < out->size(); ++i)
    (*out)[i] = char16_t(uint8_t(buffer[2 * i]) | uint8_t(buffer[2 * i + 1]) << 8);
  return true;
}

int ConfiguredCodePage() { return ProgramOptions().extCodePage; }

bool IsReservedDeviceName(const char16_t* t, int n) {
  auto eq = [&](const char16_t* w) {
    for (int i = 0; i < 3; ++i)
      if (AsciiLower(t[i]) != w[i]) return false;
    return true;
  };
  if (n == 3) return eq(u"con") || eq(u"prn") || eq(u"aux") || eq(u"nul");
  if (n == 4) return (eq(u"com") || eq(u"lpt")) && t[3] >= u'1' && t[3] <= u'9';
  return false;
}

}  // namespace

WString ConvertNameToWide(const uint8_t* bytes, size_t count) {
  if (!bytes) return WString();
  count = NulLength(bytes, count);
  int cp = ConfiguredCodePage();
  if (cp != 0 && cp != 65001) {
    WString out;
    // The original converter took at most 254 bytes of a name.
    if (ConvertWithCodePage(cp, bytes, count < 254 ? count : 254, &out)) return out;
  }
  return DecodeUtf8Name(bytes, count);
}

int ConvertNameToWide(const uint8_t* bytes, size_t count, char16_t* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  WString text = ConvertNameToWide(bytes, count);
  size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  // Never end on half a surrogate pair.
  if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  std::memcpy(out, text.data(), n * sizeof(char16_t));
  out[n] = 0;
  return int(n);
}

WString ConvertPathToWide(const uint8_t* bytes, size_t count) {
  WString out;
  if (!bytes) return out;
  count = NulLength(bytes, count);
  size_t start = 0;
  while (start <= count) {
    const void* bs = start < count ? std::memchr(bytes + start, '\\', count - start) : nullptr;
    size_t end = bs ? size_t(static_cast<const uint8_t*>(bs) - bytes) : count;
    out += ConvertNameToWide(bytes + start, end - start);
    if (!bs) break;
    out += u'\\';
    start = end + 1;
  }
  return out;
}

int SanitizeName(char16_t* text, int count) {
  if (!text || count <= 0) return 0;
  int n = 0;
  while (n < count && text[n] != 0) ++n;
  for (int i = 0; i < n; ++i) {
    char16_t c = text[i];
    if (c < 0x20 || c == 0x7F || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' ||
        c == u'?' || c == u'\\' || c == u'|')
      text[i] = u'_';
  }
  bool allDots = n > 0;
  for (int i = 0; i < n && allDots; ++i) allDots = text[i] == u'.';
  if (allDots && n <= 2 && n < count) {
    // "." and ".." must never reach a path: they become "_." and "_..".
    std::memmove(text + 1, text, size_t(n) * sizeof(char16_t));
    text[0] = u'_';
    ++n;
  } else if (allDots || IsReservedDeviceName(text, n)) {
    text[0] = u'_';
  } else if (n > 0 && (text[n - 1] == u' ' || text[n - 1] == u'.')) {
    text[n - 1] = u'_';
  }
  text[n] = 0;
  return n;
}

WString SanitizeName(WStringView text) {
  WString buffer(text);
  buffer.push_back(0);
  buffer.push_back(0);
  int n = SanitizeName(buffer.data(), int(text.size()) + 1);
  buffer.resize(size_t(n));
  return buffer;
}

// ---------------------------------------------------------------- times

WString FormatDateTime(uint64_t fileTime) {
  static const char16_t kInvalid[] = u"0000/00/00 00:00:00";
  // Whole seconds first (the time is unsigned), then the epoch: times before
  // 1970 stay whole seconds below zero.
  int64_t seconds = int64_t(fileTime / uint64_t(kFileTimeUnitsPerSecond)) - kFileTimeUnixEpochSeconds;
  time_t t = time_t(seconds);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return kInvalid;
  int year = tm.tm_year + 1900;
  if (year > 9999 || tm.tm_mon > 11 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
    return kInvalid;
  return FormatW(u"%04d/%02d/%02d %02d:%02d:%02d", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                 tm.tm_sec);
}
