#include "storage/VolumeDefinition.h"

#include <algorithm>

#include "foundation/PathUtil.h"
#include "platform/Errors.h"
#include "platform/Format.h"

namespace {

bool StartsAt(WStringView text, size_t at, WStringView what) {
  return at <= text.size() && text.substr(at).starts_with(what);
}

// One of the nested-set keywords after the first character.
bool HoldsAnyAfterFirst(WStringView text, std::initializer_list<WStringView> keys) {
  if (text.size() < 2) return false;
  WStringView rest = text.substr(1);
  for (WStringView k : keys)
    if (rest.find(k) != WStringView::npos) return true;
  return false;
}

// "<first:last>" at `lt` running to the end of the text.
bool ParseRangeAt(WStringView text, size_t lt, int64_t* first, int64_t* last) {
  if (lt >= text.size() || text[lt] != u'<' || text.back() != u'>') return false;
  WStringView inner = text.substr(lt + 1, text.size() - lt - 2);
  const size_t colon = inner.find(u':');
  if (colon == WStringView::npos) return false;
  return ParseSectorNumber(inner.substr(0, colon), first) && ParseSectorNumber(inner.substr(colon + 1), last);
}

// The index after the ")" that closes the "(" at `open`, or npos.
size_t CloseOf(WStringView text, size_t open) {
  int depth = 0;
  for (size_t i = open; i < text.size(); ++i) {
    if (text[i] == u'(') ++depth;
    else if (text[i] == u')' && --depth == 0) return i + 1;
  }
  return WStringView::npos;
}

}  // namespace

int GetRaidType(WStringView t) {
  if (t.size() < 5 || t.substr(0, 4) != u"RAID") return kRaidNone;
  switch (t[4]) {
    case u'(': return kRaidCustom;
    case u'0': return kRaid0;
    case u'5': return kRaid5;
    case u'6': return kRaid6;
    case u'Z':
      if (t.size() > 5 && t[5] == u'1') return kRaidZ1;
      if (t.size() > 5 && t[5] == u'2') return kRaidZ2;
      return kRaidNone;
    default: return kRaidNone;
  }
}

int GetSpanType(WStringView t) {
  if (!t.starts_with(u"SPAN")) return 0;
  return t.find(u',') != WStringView::npos ? 2 : 1;
}

bool IsMultiDiskDefinition(WStringView t) { return GetSpanType(t) == 2 || GetRaidType(t) != kRaidNone; }

bool HasNestedRaid(WStringView t) {
  return GetSpanType(t) != 0 &&
         HoldsAnyAfterFirst(t, {u"RAID0(", u"RAID5(", u"RAIDZ1(", u"RAID6(", u"RAIDZ2(", u"RAID("});
}

bool IsRaid0OverRaid(WStringView t) {
  return GetRaidType(t) == kRaid0 && HoldsAnyAfterFirst(t, {u"RAID0(", u"RAID5(", u"RAID6("});
}

bool IsDriveOrSharePath(WStringView p) {
  if (p.size() >= 2 && p[0] == u'/') return true;
  if (p.size() < 3) return false;
  const char16_t c = AsciiUpper(p[0]);
  if (c >= u'A' && c <= u'Z' && p[1] == u':' && p[2] == u'\\') return true;
  if (p[0] != u'\\' || p[1] != u'\\') return false;
  const size_t slash = p.find(u'\\', 2);
  return slash != WStringView::npos && slash > 2 && slash + 1 < p.size();
}

bool ParseSectorNumber(WStringView digits, int64_t* out) {
  if (digits.empty() || digits.size() > 19) return false;
  uint64_t v = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + uint64_t(c - u'0');
  }
  if (v > uint64_t(INT64_MAX)) return false;
  *out = int64_t(v);
  return true;
}

uint64_t ParseGroupedNumber(WStringView t) {
  uint64_t v = 0;
  for (char16_t c : t) {
    if (c == u',') continue;
    if (c < u'0' || c > u'9') return ~0ull;
    // A mistyped long number must not wrap into a plausible small one.
    if (__builtin_mul_overflow(v, uint64_t(10), &v) || __builtin_add_overflow(v, uint64_t(c - u'0'), &v))
      return ~0ull;
  }
  return v;
}

std::vector<WStringView> SplitDefinitionMembers(WStringView d, size_t from, bool* closed, size_t* end) {
  std::vector<WStringView> members;
  if (closed) *closed = false;
  size_t i = std::min(from, d.size());
  size_t start = i;
  int depth = 0;
  for (; i <= d.size(); ++i) {
    const bool atEnd = i == d.size();
    const char16_t c = atEnd ? u'\0' : d[i];
    if (!atEnd && c == u'(') {
      ++depth;
      continue;
    }
    if (!atEnd && c == u')' && depth > 0) {
      --depth;
      continue;
    }
    if (!atEnd && !(depth == 0 && (c == u',' || c == u')'))) continue;
    WStringView m = d.substr(start, i - start);
    if (m.empty() || m.size() >= kMaxMemberChars) break;
    members.push_back(m);
    if (atEnd) break;
    if (c == u')') {
      if (closed) *closed = true;
      ++i;
      break;
    }
    start = i + 1;
  }
  if (end) *end = std::min(i, d.size());
  return members;
}

bool ParseMemberText(WStringView m, MemberText* out) {
  *out = MemberText{};
  if (m == u"Missing") {
    out->device = m;
    return true;
  }
  size_t rangeAt;
  if (GetRaidType(m) != kRaidNone) {
    const size_t open = m.find(u'(');
    const size_t close = open == WStringView::npos ? open : CloseOf(m, open);
    if (close == WStringView::npos) return false;
    out->nested = true;
    out->device = m.substr(0, close);
    rangeAt = close;
  } else {
    rangeAt = m.find(u'<');
    out->device = m.substr(0, rangeAt);
    if (out->device.find_first_of(u",()<>|") != WStringView::npos) return false;
  }
  if (rangeAt >= m.size()) return true;
  out->hasRange = true;
  return ParseRangeAt(m, rangeAt, &out->first, &out->last);
}

// ---- VolSpec ----

int VolSpec::ParseString(const WString& definition) {
  return Parse(WStringView(definition).substr(0, std::min<size_t>(definition.size(), 1024)));
}

int VolSpec::Parse(WStringView t) {
  children.clear();
  text.clear();
  first = last = 0;
  size_t keyword = 0;
  if (t.starts_with(u"RAID5")) kind = kRaid5, keyword = 5;
  else if (t.starts_with(u"RAID0")) kind = kRaid0, keyword = 5;
  else if (t.starts_with(u"RAIDZ1")) kind = kRaidZ1, keyword = 6;
  else if (t.starts_with(u"RAIDZ2")) kind = kRaidZ2, keyword = 6;
  else if (t.starts_with(u"SPAN")) kind = kSpanKind, keyword = 4;
  else if (t.starts_with(u"PhysicalDrive")) kind = 7;
  else if (t.size() == 2 && t[1] == u':') return kind = 1;
  else if ((t.size() > 1 && t[1] == u':') || t.starts_with(u"\\\\") || t.starts_with(u"/")) kind = 6;
  else return kind = 0;

  if (kind == 6 || kind == 7) {
    const size_t lt = t.find(u'<');
    text = WString(t.substr(0, lt));
    // A device name holding a character of the grammar cannot be told
    // from the definition around it.
    if (text.find_first_of(u",()<>|") != WString::npos) throw DvCodeError{0};
    if (lt == WStringView::npos) return kind;
    WStringView rest = t.substr(lt + 1);
    const size_t colon = rest.find(u':');
    const size_t gt = colon == WStringView::npos ? colon : rest.find(u'>', colon);
    if (gt == WStringView::npos || !ParseSectorNumber(rest.substr(0, colon), &first) ||
        !ParseSectorNumber(rest.substr(colon + 1, gt - colon - 1), &last))
      throw DvCodeError{0};
    return kind;
  }
  if (!StartsAt(t, keyword, u"(")) throw DvCodeError{0};
  // A range written after a nested set is part of its member text; compound
  // nodes carry none.
  for (WStringView m : SplitDefinitionMembers(t, keyword + 1)) {
    auto child = std::make_unique<VolSpec>();
    child->Parse(m);
    children.push_back(std::move(child));
  }
  return kind;
}

size_t VolSpec::Format(char16_t* buffer, size_t capacity) const {
  if (!buffer || capacity <= 9) return 0;
  WStringView keyword;
  switch (kind) {
    case kSpanKind: keyword = u"SPAN"; break;
    case kRaid0: keyword = u"RAID0"; break;
    case kRaid5: keyword = u"RAID5"; break;
    case kRaidZ1: keyword = u"RAIDZ1"; break;
    case kRaidZ2: keyword = u"RAIDZ2"; break;
    default: break;
  }
  if (!keyword.empty()) {
    size_t n = keyword.size();
    if (n + 2 > capacity) return 0;
    std::copy(keyword.begin(), keyword.end(), buffer);
    buffer[n++] = u'(';
    for (size_t i = 0; i < children.size(); ++i) {
      if (i > 0) buffer[n++] = u',';
      const size_t w = children[i]->Format(buffer + n, capacity - n);
      if (w == 0) return 0;
      n += w;
      if (capacity - n < 2) return 0;
    }
    buffer[n++] = u')';
    buffer[n] = u'\0';
    return n;
  }
  // Nodes without a text (not recognised, a drive letter) have no form.
  if (text.empty() || text.size() >= capacity) return 0;
  std::copy(text.begin(), text.end(), buffer);
  size_t n = text.size();
  buffer[n] = u'\0';
  if (first == 0 && last == 0) return n;
  const WString range = FormatW(u"<%I64d:%I64d>", first, last);
  if (n + range.size() >= capacity) return 0;
  std::copy(range.begin(), range.end(), buffer + n);
  n += range.size();
  buffer[n] = u'\0';
  return n;
}

WString VolSpec::Format() const {
  std::vector<char16_t> b(4096);
  const size_t n = Format(b.data(), b.size());
  return WString(b.data(), n);
}

WString MemberExtent::Format() const { return name + FormatW(u"<%I64d:%I64d>", first, last); }
