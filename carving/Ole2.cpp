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
constexpr size_t kFatList = 76;
constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
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
  if (directorySector_ >= bound_ || Le32(h + kFirstDifat) != kEndOfChain) return Reject();
  fats_.resize(fatCount_);
  for (uint32_t i = 0; i < fatCount_; ++i) {
    fats_[i] = Le32(h + kFatList + 4 * i);
    if (fats_[i] >= bound_) return Reject();
  }
  lastFat_ = fats_.back();
  std::sort(fats_.begin(), fats_.end());
  next_ = 0;
  state = kChecking;
  return 0;
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
  return i == 128 || e[i] == kFatSector || e[i] == kEndOfChain || e[i] == kFree;
}

bool HdrMSO::ParseRoot(const uint8_t* s) {
  if (!EntryNameIs(s, "Root Entry", false)) return false;
  uint8_t kind = kTypeDoc;
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
  (void)kEntryNameLength;
  refinedType = kind;
  return true;
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
