#include "carving/Ole2.h"

#include <algorithm>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "volumes/FileTypes.h"

namespace {

constexpr uint8_t kChecking = 2;
constexpr uint8_t kWaitingForEnd = 3;
constexpr size_t kUnit = 512;
constexpr size_t kSectorShift = 30;
constexpr size_t kFatCount = 44;
constexpr size_t kFirstDirectory = 48;
constexpr size_t kFirstDifat = 68;
constexpr size_t kDifatCount = 72;
constexpr size_t kFatList = 76;
constexpr uint32_t kHeaderFats = 109;
constexpr uint32_t kFatsPerDifat = 127;
constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr size_t kEntryLeft = 68, kEntryRight = 72, kEntryChild = 76;
constexpr uint32_t kNoEntry = 0xFFFFFFFF;
constexpr size_t kEntryBytes = 128;
constexpr size_t kEntryNameLength = 64;

// Whether a directory entry's UTF-16 name begins with an ASCII text (and,
// with `whole`, is that text).
bool EntryNameIs(const uint8_t* entry, const char* text, bool whole) {
  const size_t n = std::strlen(text);
  for (size_t i = 0; i < n; ++i)
    if (Le16(entry + 2 * i) != uint8_t(text[i])) return false;
  if (!whole) return true;
  return n >= 32 || Le16(entry + 2 * n) == 0;
}

}  // namespace

int HdrMSO::Reset() {
  HdrNode::Reset();
  fatCount_ = bound_ = directorySector_ = 0;
  directoryDone_ = false;
  next_ = 0;
  lastFat_ = 0;
  fats_.clear();
  inOrder_.clear();
  fatCarry_ = Carry();
  directoryCarry_ = Carry();
  return 0;
}

int HdrMSO::ParseHeader(const uint8_t* h) {
  // Sectors of 4,096 bytes would be measured in 512-byte units: a wrong
  // size, so only 512-byte sectors are taken.
  if (Le16(h + kSectorShift) != 9) return Reject();
  fatCount_ = Le32(h + kFatCount);
  if (fatCount_ < 1 || fatCount_ > kMaxFatSectors) return Reject();
  bound_ = fatCount_ * 128 + 1;
  directorySector_ = Le32(h + kFirstDirectory);
  if (directorySector_ >= bound_) return Reject();
  fats_.resize(fatCount_);
  const uint32_t inHeader = std::min(fatCount_, kHeaderFats);
  for (uint32_t i = 0; i < inHeader; ++i) fats_[i] = Le32(h + kFatList + 4 * i);
  if (fatCount_ <= kHeaderFats) {
    if (Le32(h + kFirstDifat) != kEndOfChain) return Reject();
  } else if (!ReadDifat(Le32(h + kFirstDifat), Le32(h + kDifatCount))) {
    return Reject();
  }
  for (uint32_t f : fats_)
    if (f >= bound_) return Reject();
  inOrder_ = fats_;
  lastFat_ = fats_.back();
  std::sort(fats_.begin(), fats_.end());
  next_ = 0;
  state = kChecking;
  return 0;
}

bool HdrMSO::ReadUnit(uint32_t n, uint8_t* out) {
  // The file's 512-byte sector n, straight from the disk: the header lies
  // at the start of a drive sector, so a unit never straddles two.
  if (!reader || headerSector < 0) return false;
  const uint32_t ss = reader->SectorSize();
  if (ss < kUnit || ss % kUnit) return false;
  const uint64_t at = (uint64_t(n) + 1) * kUnit;
  const int64_t sector = headerSector + int64_t(at / ss);
  if (sector >= reader->SectorCount()) return false;
  scratch_.resize(ss);
  if (!reader->ReadSectors(sector, 1, scratch_.data())) return false;
  std::memcpy(out, scratch_.data() + at % ss, kUnit);
  return true;
}

bool HdrMSO::ReadDifat(uint32_t first, uint32_t count) {
  // The FAT sectors past the header's 109 are listed in a chain of DIFAT
  // sectors, 127 to a sector and the next one's number last. They are read
  // from the disk at once: the list must be whole before any FAT sector
  // can be checked as it passes.
  const uint32_t need = (fatCount_ - kHeaderFats + kFatsPerDifat - 1) / kFatsPerDifat;
  if (count != need) return false;
  uint8_t unit[kUnit];
  uint32_t at = kHeaderFats, sector = first;
  for (uint32_t k = 0; k < need; ++k) {
    if (sector >= bound_ || !ReadUnit(sector, unit)) return false;
    for (uint32_t i = 0; i < kFatsPerDifat && at < fatCount_; ++i) fats_[at++] = Le32(unit + 4 * i);
    sector = Le32(unit + 4 * kFatsPerDifat);
  }
  // The chain ends where the count says (some writers leave the last
  // pointer free).
  return sector == kEndOfChain || sector == kFree;
}

bool HdrMSO::ParseBATBlock(const uint8_t* s, uint32_t* used) const {
  uint32_t e[128];
  int last = -1;
  for (int i = 0; i < 128; ++i) {
    e[i] = Le32(s + 4 * i);
    if (e[i] != kFree) last = i;
  }
  *used = uint32_t(last + 1);
  std::sort(e, e + 128);
  int i = 0;
  for (; i < 128 && e[i] < bound_; ++i)
    if (i > 0 && e[i] == e[i - 1]) return false;
  return i == 128 || e[i] == kDifatSector || e[i] == kFatSector || e[i] == kEndOfChain || e[i] == kFree;
}

bool HdrMSO::ParseRoot(const uint8_t* s) {
  if (!EntryNameIs(s, "Root Entry", false)) return false;
  uint8_t kind = 0;
  for (int k = 1; k <= 3; ++k) {
    const uint8_t* entry = s + kEntryBytes * size_t(k);
    if (EntryNameIs(entry, "Workbook", true) || EntryNameIs(entry, "Book", true)) {
      kind = kTypeXls;
    } else if (EntryNameIs(entry, "PowerPoint", false) || EntryNameIs(entry, "Pictures", true)) {
      kind = kTypePpt;
    } else if (EntryNameIs(entry, "Word", false)) {
      kind = kTypeDoc;
    } else {
      continue;
    }
    break;
  }
  // Writers put the main stream anywhere in the directory (LibreOffice's
  // slides stand at entries 4 and 5): the root's own streams tell.
  if (kind == 0) kind = KindFromDirectory(s);
  (void)kEntryNameLength;
  refinedType = kind ? kind : uint8_t(kTypeDoc);
  return true;
}

uint8_t HdrMSO::KindFromDirectory(const uint8_t* first) {
  // The directory's sectors by its FAT chain, read from the disk.
  std::vector<uint8_t> entries(first, first + kUnit);
  uint8_t unit[kUnit];
  uint32_t sector = directorySector_;
  for (uint32_t k = 1; k < kMaxDirectorySectors; ++k) {
    const uint32_t fat = sector / 128;
    if (fat >= inOrder_.size() || !ReadUnit(inOrder_[fat], unit)) break;
    sector = Le32(unit + 4 * (sector % 128));
    if (sector >= bound_ || !ReadUnit(sector, unit)) break;
    entries.insert(entries.end(), unit, unit + kUnit);
  }
  // The root's children: its child entry and that one's siblings (a tree
  // by left and right), each entry visited once.
  const uint32_t count = uint32_t(entries.size() / kEntryBytes);
  std::vector<uint8_t> seen(count, 0);
  std::vector<uint32_t> todo{Le32(entries.data() + kEntryChild)};
  bool word = false, slides = false, book = false;
  while (!todo.empty()) {
    const uint32_t id = todo.back();
    todo.pop_back();
    if (id == kNoEntry || id >= count || seen[id]) continue;
    seen[id] = 1;
    const uint8_t* e = entries.data() + kEntryBytes * size_t(id);
    word = word || EntryNameIs(e, "WordDocument", true);
    slides = slides || EntryNameIs(e, "PowerPoint Document", true);
    book = book || EntryNameIs(e, "Workbook", true) || EntryNameIs(e, "Book", true);
    todo.push_back(Le32(e + kEntryLeft));
    todo.push_back(Le32(e + kEntryRight));
  }
  if (word) return kTypeDoc;
  if (slides) return kTypePpt;
  return book ? uint8_t(kTypeXls) : uint8_t(0);
}

const uint8_t* HdrMSO::SectorOf(uint32_t n, const uint8_t* b, size_t length, Carry* carry) {
  const uint64_t start = (uint64_t(n) + 1) * kUnit;
  const uint64_t end = start + kUnit;
  const uint64_t from = consumed, to = consumed + length;
  if (carry->sector == int64_t(n)) {
    // Its first bytes came with an earlier buffer.
    if (from != start + carry->have) return nullptr;
    const size_t take = size_t(std::min<uint64_t>(kUnit - carry->have, length));
    std::memcpy(carry->bytes + carry->have, b, take);
    carry->have += uint32_t(take);
    if (carry->have < kUnit) return nullptr;
    carry->sector = -2;
    return carry->bytes;
  }
  if (start < from || start >= to) return nullptr;
  if (end <= to) return b + (start - from);
  carry->sector = int64_t(n);
  carry->have = uint32_t(to - start);
  std::memcpy(carry->bytes, b + (start - from), carry->have);
  return nullptr;
}

int HdrMSO::Parse(const uint8_t* b, size_t length) {
  if (!b || length == 0) return Reject();
  if (state == kHdrActive || state == kHdrIdle) {
    if (length < kUnit) return Reject();
    if (ParseHeader(b) < 0) return -1;
  }
  const uint64_t to = consumed + length;
  if (state == kChecking) {
    // FAT sectors in ascending order, each once it is whole.
    while (next_ < fats_.size()) {
      const uint32_t n = fats_[next_];
      const uint64_t start = (uint64_t(n) + 1) * kUnit;
      if (start >= to) break;
      const uint8_t* s = SectorOf(n, b, length, &fatCarry_);
      if (!s) {
        // Straddling into the next buffer: wait for it. A sector wholly
        // behind this buffer (listed twice) is not checked again.
        if (fatCarry_.sector == int64_t(n)) break;
        ++next_;
        continue;
      }
      uint32_t used = 0;
      if (!ParseBATBlock(s, &used)) return Reject();
      if (n == lastFat_) bound_ = bound_ + used - 128;
      ++next_;
    }
    if (!directoryDone_ && (uint64_t(directorySector_) + 1) * kUnit < to) {
      if (const uint8_t* s = SectorOf(directorySector_, b, length, &directoryCarry_)) {
        if (!ParseRoot(s)) return Reject();
        directoryDone_ = true;
      } else if (directoryCarry_.sector != int64_t(directorySector_)) {
        // Passed without being whole in any buffer: cannot happen with
        // buffers that follow one another.
        return Reject();
      }
    }
    if (directoryDone_ && next_ == fats_.size()) state = kWaitingForEnd;
  }
  if (state == kWaitingForEnd && to >= uint64_t(bound_) * kUnit) {
    cursor = 0;
    return Complete(uint64_t(bound_) * kUnit);
  }
  return Pending(length);
}
