#include "ui/core/ExclusionRules.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/Messages.h"
#include "platform/Format.h"
#include "storage/Drive.h"

namespace {

bool IsSeparator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '|'; }

// One field as a 64-bit integer: a sign and the leading digits; text that
// is not a number reads as 0. False when the digits pass the range.
bool ReadField(const char*& p, const char* end, int64_t* out) {
  while (p < end && IsSeparator(*p)) p++;
  const char* fieldEnd = p;
  while (fieldEnd < end && !IsSeparator(*fieldEnd)) fieldEnd++;
  bool negative = false;
  const char* q = p;
  if (q < fieldEnd && (*q == '-' || *q == '+')) negative = *q++ == '-';
  uint64_t v = 0;
  const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  for (; q < fieldEnd && *q >= '0' && *q <= '9'; q++) {
    const uint64_t digit = uint64_t(*q - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  p = fieldEnd;
  *out = negative ? (v == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(v)) : int64_t(v);
  return true;
}

}  // namespace

void ExclusionFileReader::Line(const char* begin, const char* end) {
  if (begin == end) return;
  int64_t first = 0, last = 0;
  const char* p = begin;
  if (!ReadField(p, end, &first) || !ReadField(p, end, &last)) return;
  if (last == 0 || (first == 0 && taken_ > 0)) return;
  // A range that cannot be one is dropped: before sector 0, ending before
  // it begins, or past the 64-bit byte range.
  if (first < 0 || last < first) return;
  int64_t start = 0, stop = 0;
  if (__builtin_mul_overflow(first, int64_t(unit_), &start) || last == INT64_MAX ||
      __builtin_mul_overflow(last + 1, int64_t(unit_), &stop))
    return;
  set_.AddRange(uint64_t(start), uint64_t(stop));
  taken_++;
}

namespace {
// Only a line's first two fields count: a line is read from its first
// 64 KiB, so a file without line ends cannot fill the memory.
constexpr size_t kLineKept = 65536;
}  // namespace

void ExclusionFileReader::Feed(const char* data, size_t bytes) {
  const char* p = data;
  const char* end = data + bytes;
  while (p < end) {
    const char* eol = p;
    while (eol < end && *eol != '\n' && *eol != '\r') eol++;
    if (eol == end) {
      carry_.append(p, std::min(size_t(end - p), kLineKept - std::min(kLineKept, carry_.size())));
      return;
    }
    if (!carry_.empty()) {
      carry_.append(p, std::min(size_t(eol - p), kLineKept - std::min(kLineKept, carry_.size())));
      Line(carry_.data(), carry_.data() + carry_.size());
      carry_.clear();
    } else {
      Line(p, std::min(eol, p + kLineKept));
    }
    p = eol + 1;
  }
}

void ExclusionFileReader::Finish() {
  if (!carry_.empty()) Line(carry_.data(), carry_.data() + carry_.size());
  carry_.clear();
}

bool LoadExclusionFile(const std::string& path, CSectRanges& set, uint32_t unit, uint64_t* taken) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  constexpr size_t kPiece = 1048576;
  std::vector<char> buffer(kPiece);
  ExclusionFileReader reader(set, unit);
  for (;;) {
    const size_t n = std::fread(buffer.data(), 1, kPiece, f);
    if (n > 0) reader.Feed(buffer.data(), n);
    if (n < kPiece) break;
  }
  // A read that failed keeps what was taken before it; only a whole file
  // completes its last line.
  if (!std::ferror(f)) reader.Finish();
  std::fclose(f);
  if (taken) *taken = reader.Taken();
  return true;
}

// ---------------------------------------------------------------------------

ExclusionRules::ExclusionRules() : set_(std::make_unique<CSectRanges>()) {}

void ExclusionRules::SetRanges(const CSectRanges* ranges) {
  set_ = std::make_unique<CSectRanges>();
  if (ranges) set_->CopyFrom(*ranges);
}

void ExclusionRules::SetBounds(uint64_t startByte, uint64_t endByte, uint32_t unit) {
  boundStart_ = startByte;
  boundEnd_ = endByte == ~0ull ? endByte : endByte + 1;
  if (unit) unit_ = unit;
}

void ExclusionRules::SetDriveName(WStringView name) {
  path_.clear();
  if (!name.empty() && name[0] == u'/') {
    kind_ = 2;
    path_ = WString(name);
  } else if ((name.size() == 2 || (name.size() > 2 && name[2] == u' ')) && name[1] == u':' &&
             ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'))) {
    kind_ = 1;
    diskOrLetter_ = name[0];
  } else {
    kind_ = 0;
    diskOrLetter_ = Drive::PhysicalDriveNumber(name);
  }
}

void ExclusionRules::Init() {
  set_->MakeArrayFromTree();
  firstText = lastText = u"0";
  changed_ = false;
}

WString ExclusionRules::DriveText() const {
  switch (kind_) {
    case 0:
      return FormatW(u"%s%d", Msg(351), diskOrLetter_);
    case 1:
      return FormatW(u"%c:", char16_t(diskOrLetter_));
    case 2:
      return path_;
    default:
      return {};
  }
}

WString ExclusionRules::RangeText() const {
  return FormatW(u"%I64d - %I64d", int64_t(boundStart_ / unit_), int64_t(boundEnd_ / unit_) - 1);
}

size_t ExclusionRules::LineCount() const { return set_->Array().size(); }

WString ExclusionRules::Line(size_t index) const {
  const std::vector<CSectRanges::Range>& a = set_->Array();
  if (index >= a.size()) return {};
  return FormatW(u"%I64d - %I64d", int64_t(a[index].first / unit_), int64_t(a[index].end / unit_) - 1);
}

bool ExclusionRules::AcceptNumberText(WStringView text) { return ParseGroupedSigned(text).has_value(); }

DialogVerdict ExclusionRules::Add(WStringView first, WStringView last) {
  firstText = WString(first);
  lastText = WString(last);
  const std::optional<int64_t> a = ParseGroupedSigned(first);
  const std::optional<int64_t> b = ParseGroupedSigned(last);
  // Products that pass the 64-bit range are as invalid as a last sector
  // before the first.
  const std::optional<int64_t> start = a ? CheckedMul(*a, unit_) : std::nullopt;
  const std::optional<int64_t> end = b && *b < INT64_MAX ? CheckedMul(*b + 1, unit_) : std::nullopt;
  if (!start) return DialogVerdict::Refuse(183, kFirstEdit);
  if (!end) return DialogVerdict::Refuse(183, kLastEdit);
  if (*end < *start || *start < 0) return DialogVerdict::Refuse(183, kFirstEdit);
  if (uint64_t(*end) > boundEnd_) return DialogVerdict::Refuse(183, kLastEdit);
  set_->AddRange(uint64_t(*start), uint64_t(*end));
  set_->MakeArrayFromTree();
  firstText = lastText = u"0";
  changed_ = true;
  DialogVerdict v;
  v.focus = kFirstEdit;
  return v;
}

bool ExclusionRules::Remove(size_t index, WString* first, WString* last) {
  set_->MakeArrayFromTree();
  const std::vector<CSectRanges::Range>& a = set_->Array();
  if (index >= a.size()) return false;
  firstText = DecimalText(int64_t(a[index].first / unit_));
  lastText = DecimalText(int64_t(a[index].end / unit_) - 1);
  set_->RemoveRange(uint32_t(index));
  if (first) *first = firstText;
  if (last) *last = lastText;
  changed_ = true;
  return true;
}

bool ExclusionRules::LoadFile(const std::string& path) {
  if (!LoadExclusionFile(path, *set_, unit_)) return false;
  set_->MakeArrayFromTree();
  changed_ = true;
  return true;
}

std::unique_ptr<CSectRanges> ExclusionRules::TakeResult() {
  set_->MakeArrayFromTree();
  if (set_->Count() == 0 && set_->Array().empty()) {
    set_ = std::make_unique<CSectRanges>();
    return nullptr;
  }
  std::unique_ptr<CSectRanges> out = std::move(set_);
  set_ = std::make_unique<CSectRanges>();
  return out;
}
