#include "volumes/Recycler.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/HTree.h"
#include "foundation/Trace.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsUpperLetter(char16_t c) { return c >= u'A' && c <= u'Z'; }
bool IsLetter(char16_t c) { return IsUpperLetter(AsciiUpper(c)); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool StartsNoCase(WStringView text, WStringView prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

WString Upper(WStringView text) {
  WString out(text);
  for (char16_t& c : out) c = AsciiUpper(c);
  return out;
}

// "X:\" at the start of a recorded path.
bool HasDriveStart(WStringView path) {
  return path.size() >= 3 && IsUpperLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

// The components of a "\"-separated path (empty ones skipped), as views
// into it.
std::vector<WStringView> Components(WStringView path) {
  std::vector<WStringView> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find(u'\\', i);
    if (j == WStringView::npos) j = path.size();
    if (j > i) out.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

// "S-" followed only by digits and "-".
bool IsSidComponent(WStringView c) {
  if (c.size() < 2 || AsciiUpper(c[0]) != u'S' || c[1] != u'-') return false;
  return std::all_of(c.begin() + 2, c.end(), [](char16_t ch) { return IsDigit(ch) || ch == u'-'; });
}

// The second component of a path that begins with "\".
WStringView SecondComponent(WStringView path) {
  if (path.empty() || path[0] != u'\\') return {};
  size_t a = path.find(u'\\', 1);
  if (a == WStringView::npos) return {};
  size_t b = path.find(u'\\', a + 1);
  return path.substr(a + 1, (b == WStringView::npos ? path.size() : b) - a - 1);
}

// Splits a recorded path into its folder (up to and with the last "\") and
// its last component; false when there is no last component.
bool SplitOriginal(WStringView path, WString* folder, WString* name) {
  size_t slash = path.rfind(u'\\');
  if (slash == WStringView::npos || slash + 1 >= path.size()) return false;
  *folder = WString(path.substr(0, slash + 1));
  *name = WString(path.substr(slash + 1));
  return true;
}

// The UTF-16 text at p of at most maxBytes bytes, up to its terminator.
WString WideText(const uint8_t* p, size_t maxBytes) {
  WString out;
  for (size_t i = 0; i + 2 <= maxBytes; i += 2) {
    char16_t c = Le16(p + i);
    if (!c) break;
    out.push_back(c);
  }
  return out;
}

// Volumes of the FAT kind keep "$RECYCLE.BIN" items by their $R names and
// recycled folders of any size.
bool IsFatFamily(uint8_t family) {
  const NodeOps* ops = FindNodeOps(family);
  return ops && (ops->traits & kNodeTraitFatRecycleBin);
}

}  // namespace

// ---- name tests ----

bool IsRecycledPath(WStringView path) {
  return StartsNoCase(path, u"\\Recycled\\") || StartsNoCase(path, u"\\$RECYCLE.BIN\\");
}

bool IsRecyclerSidPath(WStringView path) {
  if (!StartsNoCase(path, u"\\Recycler\\") && !StartsNoCase(path, u"\\$RECYCLE.BIN\\")) return false;
  if (path.size() < 48) return false;
  return IsSidComponent(SecondComponent(path));
}

bool IsRecycleBinName(WStringView name, char16_t letter) {
  if (name.size() < 2 || name[0] != u'$') return false;
  const char16_t second = AsciiUpper(name[1]);
  if (letter ? second != AsciiUpper(letter) : (second != u'R' && second != u'I')) return false;
  size_t dot = name.find(u'.');
  if (dot != WStringView::npos) return dot == 8;
  return name.size() == 8 && !EqualsNoCase(name, u"$Reparse");
}

bool IsInfo2DeletedName(WStringView name) {
  if (name.size() < 3 || AsciiUpper(name[0]) != u'D' || !IsLetter(name[1])) return false;
  size_t digits = 0;
  while (2 + digits < name.size() && IsDigit(name[2 + digits])) ++digits;
  if (digits < 1 || digits > 249) return false;
  return 2 + digits == name.size() || name[2 + digits] == u'.';
}

bool IsRecycleBinEntry(WStringView name, WStringView path) {
  return (IsInfo2DeletedName(name) || IsRecycleBinName(name, 0)) && IsRecyclerSidPath(path);
}

bool IsRecycledItemPath(WStringView path) {
  WStringView second = SecondComponent(path);
  return IsInfo2DeletedName(second) || IsRecycleBinName(second, u'R');
}

int64_t BufferInfo2Source::Read(uint8_t* buffer, size_t bytes) {
  size_t n = std::min(bytes, size_ - pos_);
  if (n) std::memcpy(buffer, data_ + pos_, n);
  pos_ += n;
  return static_cast<int64_t>(n);
}

// ---- the map ----

Recycler::Recycler() : map_(std::make_unique<HTree>(0, 1024, 4, 3, 0x1100100, 0)) {}
Recycler::~Recycler() = default;

bool Recycler::Add(WStringView key, WStringView path, uint64_t size) {
  WString k = Upper(key);
  WString p(path);
  bool found = false;
  map_->AddPair(k.c_str(), p.c_str(), size, &found);
  if (found) return false;
  ++count_;
  return true;
}

const char16_t* Recycler::Find(WStringView key, uint64_t size) const {
  WString k = Upper(key);
  return reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(map_->FindNameValue(k.c_str(), size)));
}

bool Recycler::AddRBI(const uint8_t* content, size_t size, WStringView fileName) {
  if (!content || size < kRbiPathOffset || !IsRecycleBinName(fileName, u'I')) return false;
  // The path ends at its terminator, at the end of its 520 bytes, or where
  // the content does, whichever comes first.
  WString path = WideText(content + kRbiPathOffset, std::min(kRbiPathBytes, size - kRbiPathOffset));
  if (!HasDriveStart(path) || path.size() >= kRecyclerMaxPath) return false;
  return Add(fileName, path, Le32(content + kRbiSizeOffset));
}

int Recycler::AddInfo2QS(const cnode* node, uint8_t volumeType, Info2Source& source, WStringView prefix,
                         uint32_t clusterBytes) {
  if (!node || RunListBytes(node->RunBuffer()) <= 2) return -1;
  // INFO2 is the recycle bin of Windows volumes: NTFS and FAT.
  if (volumeType != kVolNtfs && !IsFATType(volumeType)) return -1;
  return AddInfo2Records(source, prefix, clusterBytes);
}

int Recycler::AddInfo2Records(Info2Source& source, WStringView prefix, uint32_t clusterBytes) {
  TRACE_FN("Recycler::AddInfo2QS");
  uint8_t header[kInfo2HeaderBytes];
  if (source.Read(header, sizeof header) != int64_t(sizeof header)) return -1;
  if (Le32(header + 12) != kInfo2RecordBytes) return -1;

  constexpr size_t kBlock = 5 * kInfo2RecordBytes;
  std::vector<uint8_t> block(kBlock);
  int added = 0;
  int failuresInARow = 0;
  for (;;) {
    // Fill a block of five records; a short read ends the file.
    size_t got = 0;
    while (got < kBlock) {
      int64_t n = source.Read(block.data() + got, kBlock - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    const size_t records = got / kInfo2RecordBytes;
    for (size_t i = 0; i < records; ++i) {
      const uint8_t* r = block.data() + i * kInfo2RecordBytes;
      const bool path8Ok = r[0] == 0 || (r[0] >= 'A' && r[0] <= 'Z' && r[1] == ':' && r[2] == '\\');
      const uint32_t sizeOnDisk = Le32(r + 276);
      // The UTF-16 path: at most 255 characters, cut there when longer.
      WString path = WideText(r + 280, 520);
      if (path.size() > kRecyclerMaxPath - 1) path.resize(kRecyclerMaxPath - 1);
      if (!path8Ok || sizeOnDisk % 512 != 0 || !HasDriveStart(path)) {
        ++failuresInARow;
        continue;
      }
      uint64_t size = sizeOnDisk;
      if (clusterBytes) size = (size + clusterBytes - 1) / clusterBytes * clusterBytes;
      // The extension: from the last dot of the last component.
      WStringView pv(path);
      size_t slash = pv.rfind(u'\\');
      size_t dot = pv.rfind(u'.');
      WStringView extension = (dot != WStringView::npos && dot > slash) ? pv.substr(dot) : WStringView();
      WString key = FormatW(u"%sd%c%d%s", prefix, path[0], static_cast<int32_t>(Le32(r + 260)), extension);
      failuresInARow = 0;
      if (key.size() < kRecyclerMaxPath && Add(key, path, size)) ++added;
    }
    if (records < 5 || failuresInARow > 4) break;
  }
  return added;
}

// ---- remapping ----

int Recycler::Remap(WString* folderPath, RecycledItem* item, uint64_t size, int flag) {
  if (!folderPath || !item || item->name.empty() || folderPath->size() > kRecyclerMaxPath) return 0;
  const WString& p = *folderPath;
  const size_t start = (p.size() >= 2 && IsLetter(p[0]) && p[1] == u':') ? 2 : 0;
  WStringView rest = WStringView(p).substr(start);
  if (rest.empty() || rest[0] != u'\\') return 0;
  std::vector<WStringView> parts = Components(rest);
  if (parts.empty()) return 0;

  // The bins of every family, in any case: "Recycled" (FAT) and "RECYCLER"
  // (NTFS) of the older bin, "$RECYCLE.BIN" of the newer one.
  bool newBin;
  if (EqualsNoCase(parts[0], u"Recycled") || EqualsNoCase(parts[0], u"RECYCLER")) {
    newBin = false;
  } else if (EqualsNoCase(parts[0], u"$RECYCLE.BIN")) {
    newBin = true;
  } else {
    return 0;
  }
  // Where the items of the bin are: below the bin, or below its SID folder.
  size_t itemLevel = 1;
  if (parts.size() > 1 && IsSidComponent(parts[1])) itemLevel = 2;

  WString original;
  WString below;  // the path under a recycled folder, "\"-terminated
  if (parts.size() <= itemLevel) {
    // Directly in the bin.
    if (p.size() + item->name.size() >= kRecyclerMaxPath) return 0;
    WString key;
    if (newBin) {
      if (!IsRecycleBinName(item->name, u'R')) return 0;
      key = item->name;
      key[1] = u'I';
    } else {
      key = Upper(p + item->name);
    }
    if (flag != 0 && !newBin) return 0;
    const bool anySize = item->isDirectory && IsFatFamily(item->family);
    const char16_t* found = Find(key, anySize ? 0 : size);
    if (!found) return 0;
    original = found;
  } else {
    // Deeper inside a recycled folder.
    WStringView folder = parts[itemLevel];
    if (newBin && !IsRecycleBinName(folder, u'R')) return 0;
    const size_t folderEnd = static_cast<size_t>(folder.data() - p.data()) + folder.size();
    WString key;
    if (newBin) {
      key = WString(folder);
      key[1] = u'I';
    } else {
      key = Upper(WStringView(p).substr(0, folderEnd));
    }
    const char16_t* found = Find(key, 0);
    if (!found) return 0;
    if (folderEnd + 1 < p.size()) below = p.substr(folderEnd + 1);
    if (!below.empty() && below.back() != u'\\') below.push_back(u'\\');
    original = FormatW(u"%s\\%s%s", found, below, item->name);
    if (original.size() >= kRecyclerMaxPath) return 0;
  }
  WString newFolder, newName;
  if (!SplitOriginal(original, &newFolder, &newName)) return 0;
  *folderPath = std::move(newFolder);
  item->name = std::move(newName);
  return 1;
}

int Recycler::Remap(WString* folderPath, cnode* node, uint64_t size, int flag,
                    const uint8_t* (*internName)(WStringView name, void* context), void* context) {
  if (!node) return 0;
  RecycledItem item;
  item.name = node->GetNameW();
  item.family = node->Family();
  item.isDirectory = node->IsDirectory();
  if (!Remap(folderPath, &item, size, flag)) return 0;
  if (internName) {
    if (const uint8_t* name = internName(item.name, context)) node->name = name;
  }
  return 1;
}
