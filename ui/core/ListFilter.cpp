#include "ui/core/ListFilter.h"

#include <algorithm>
#include <atomic>
#include <ctime>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Wildcard.h"
#include "platform/Format.h"
#include "ui/core/ListText.h"
#include "ui/core/Parallel.h"

namespace {

// File-time units between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;
constexpr int64_t kUnitsPerSecond = 10000000LL;

}  // namespace

void FilterCriterion::SetPattern(WStringView text) {
  pattern.clear();
  for (char16_t c : text)
    if (!(c == u'*' && !pattern.empty() && pattern.back() == u'*')) pattern.push_back(c);
  contains = u"*" + pattern;
  if (contains.back() != u'*') contains.push_back(u'*');
  if (contains.size() > 1 && contains[1] == u'*') contains.erase(0, 1);
}

bool FilterCriterion::MatchText(WStringView text) const {
  if (kind != kFilterText) return false;
  switch (op) {
    case 0:
      return WildcardMatch(pattern, text) != 0;
    case 1:
      return WildcardMatch(pattern, text) == 0;
    case 2:
      return WildcardMatch(contains, text) != 0;
    case 3:
      return WildcardMatch(contains, text) == 0;
    default:
      return false;
  }
}

bool FilterCriterion::MatchSize(uint64_t size) const {
  if (kind != kFilterSize) return false;
  switch (op) {
    case 0: return size == value;
    case 1: return size != value;
    case 2: return size > value;
    case 3: return size >= value;
    case 4: return size < value;
    case 5: return size <= value;
    default: return false;
  }
}

bool FilterCriterion::MatchDate(uint64_t fileTime) const {
  if (kind != kFilterDate) return false;
  const int64_t t = int64_t(fileTime);
  // The day's end, without overflowing for days near the end of time.
  const int64_t end = day > INT64_MAX - kFileTimeDay ? INT64_MAX : day + kFileTimeDay;
  switch (op) {
    case 0: return day <= t && t < end;
    case 1: return t < day || t >= end;
    case 2: return t >= end;
    case 3: return t >= day;
    case 4: return t < day;
    case 5: return t < end;
    default: return false;
  }
}

int FilterKindOfColumn(int column) {
  if (column == kColSize) return kFilterSize;
  if (column == kColDate) return kFilterDate;
  return kFilterText;
}

std::vector<WString> FilterOperatorTexts(int kind) {
  switch (kind) {
    case kFilterSize:
      return {u"equals", u"does not equal", u"is greater than", u"is greater than or equal to", u"is less than",
              u"is less than or equal to"};
    case kFilterDate:
      return {u"is on", u"is not on", u"is after", u"is on or after", u"is before", u"is on or before"};
    default:
      return {u"equals", u"does not equal", u"contains", u"does not contain"};
  }
}

bool FilterColumnText(int column, const ListStore& store, size_t record, const ListNodeInfo& node, WString& out) {
  switch (column) {
    case kColName:
      out.assign(node.name);
      return true;
    case kColType:
      out = store.Type(record);
      return true;
    case kColFolder: {
      const WString& p = store.Path(record);
      out = p.size() >= 2 && p[1] == u':' ? p.substr(2) : p;
      return true;
    }
    case kColVolume: {
      const WString& p = store.Path(record);
      if (p.empty() || p[0] == u'\\') return false;
      const char16_t code = p[0];
      if (code >= u'A' && code <= u'Z') {
        out = WString(1, code) + u':';
        return true;
      }
      if (code >= 93 && code <= 255) {
        out = FormatW(u"%d", int(code) - 93);
        return true;
      }
      return false;
    }
    case kColStatus: {
      const int code = (node.flags >> 8) & 7;
      if (code == 0) {
        out.clear();
        return true;
      }
      const int id = g_appState ? g_appState->statusWordIds[size_t(code)]
                                : std::array<int, 8>{0, 155, 162, 328, 329, 231, 200, 0}[size_t(code)];
      out = Msg(id);
      return true;
    }
    default:
      return false;
  }
}

bool RecordPasses(const std::array<std::unique_ptr<FilterCriterion>, kFilterColumns>& criteria, const ListStore& store,
                  size_t record, const ListNodeSource* nodes, bool skipApplied) {
  const int32_t nodeIndex = store.At(record).nodeIndex;
  ListNodeInfo node;
  if (nodeIndex == -1 || !nodes || !nodes->GetNode(nodeIndex, node)) return true;
  WString text;
  for (int c = 0; c < kFilterColumns; ++c) {
    const FilterCriterion* k = criteria[size_t(c)].get();
    if (!k || (skipApplied && k->applied)) continue;
    bool ok;
    if (c == kColSize) {
      ok = k->MatchSize(node.size);
    } else if (c == kColDate) {
      ok = k->MatchDate(node.time);
    } else {
      ok = FilterColumnText(c, store, record, node, text) && k->MatchText(text);
    }
    if (!ok) return false;
  }
  return true;
}

SizeInUnits SizeForDialog(uint64_t bytes) {
  SizeInUnits s;
  if (bytes == 0) {
    s.unit = 4;
    return s;
  }
  for (int u = 4; u >= 0; --u) {
    const uint64_t unit = uint64_t(1) << (10 * u);
    if (bytes % unit == 0) {
      s.unit = u;
      s.quotient = bytes / unit;
      return s;
    }
  }
  return s;
}

bool SizeFromDialog(WStringView text, int unit, uint64_t& bytes) {
  if (unit < 0 || unit > 4) return false;
  const WString sep = g_appState ? g_appState->thousandsSeparator : WString(u",");
  uint64_t v = 0;
  bool digits = false;
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  size_t end = text.size();
  while (end > i && text[end - 1] == u' ') --end;
  for (; i < end; ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      if (v > (UINT64_MAX - 9) / 10) return false;
      v = v * 10 + uint64_t(c - u'0');
      digits = true;
    } else if (!sep.empty() && c == sep[0] && digits) {
      continue;
    } else {
      return false;
    }
  }
  if (!digits) return false;
  const uint64_t mult = uint64_t(1) << (10 * unit);
  if (v != 0 && v > UINT64_MAX / mult) return false;
  bytes = v * mult;
  return true;
}

int64_t FileTimeOfLocalDay(int year, int month, int day) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  const time_t t = mktime(&tm);
  return int64_t(t) * kUnitsPerSecond + kUnixEpochFileTime;
}

void LocalDayOfFileTime(int64_t fileTime, int& year, int& month, int& day) {
  const int64_t seconds = (fileTime - kUnixEpochFileTime) / kUnitsPerSecond;
  const time_t t = time_t(seconds);
  struct tm tm {};
  localtime_r(&t, &tm);
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  day = tm.tm_mday;
}

void RunFilterPass(FilterPass& pass, const ListStore& store, const ListNodeSource* nodes) {
  const size_t n = store.Count();
  if (pass.mode == FilterPass::kFull) {
    // Whole bytes of bits per part: no two parts share a byte.
    pass.passBits.assign((n + 7) / 8, 0);
    const size_t bytes = pass.passBits.size();
    const unsigned parts = ParallelParts(bytes, 1 << 13);
    std::vector<std::vector<uint32_t>> rows(parts);
    std::vector<int64_t> count(parts, 0), files(parts, 0);
    std::vector<__int128> sizes(parts, 0);
    ParallelFor(bytes, 1 << 13, [&](size_t b, size_t e, unsigned part) {
      ListNodeInfo info;
      for (size_t i = b * 8; i < std::min(e * 8, n); ++i) {
        if (!RecordPasses(pass.criteria, store, i, nodes, false)) continue;
        pass.passBits[i >> 3] |= uint8_t(0x80u >> (i & 7));
        rows[part].push_back(uint32_t(i));
        ++count[part];
        if (store.CheckState(i) == kCheckOn) {
          ++files[part];
          const int32_t node = store.At(i).nodeIndex;
          if (node != -1 && nodes && nodes->GetNode(node, info)) sizes[part] += info.size;
        }
      }
    });
    pass.passCount = 0;
    pass.checkedFiles = 0;
    pass.checkedBytes = 0;
    pass.rows.clear();
    size_t total = 0;
    for (auto& r : rows) total += r.size();
    pass.rows.reserve(total);
    for (unsigned p = 0; p < parts; ++p) {
      pass.rows.insert(pass.rows.end(), rows[p].begin(), rows[p].end());
      pass.passCount += count[p];
      pass.checkedFiles += files[p];
      pass.checkedBytes += sizes[p];
    }
    return;
  }
  // Incremental: the candidates that still pass, against the new criterion.
  pass.passBits.resize((n + 7) / 8, 0xFF);
  const bool flat = pass.mode == FilterPass::kIncrementalFlat;
  std::vector<uint32_t> all;
  const std::vector<uint32_t>* candidates = &pass.candidates;
  if (!flat) {
    all.reserve(size_t(pass.passCount));
    for (size_t i = 0; i < n; ++i)
      if (pass.passBits[i >> 3] & (0x80u >> (i & 7))) all.push_back(uint32_t(i));
    candidates = &all;
  }
  const size_t m = candidates->size();
  const unsigned parts = ParallelParts(m, 1 << 16);
  std::vector<std::vector<uint32_t>> rows(parts);
  std::vector<int64_t> failed(parts, 0), files(parts, 0);
  std::vector<__int128> sizes(parts, 0);
  ParallelFor(m, 1 << 16, [&](size_t b, size_t e, unsigned part) {
    ListNodeInfo info;
    for (size_t k = b; k < e; ++k) {
      const uint32_t i = (*candidates)[k];
      if (i >= n) continue;
      if (RecordPasses(pass.criteria, store, i, nodes, true)) {
        rows[part].push_back(i);
        continue;
      }
      // Displayed rows may come in any order: two parts can share a byte.
      std::atomic_ref<uint8_t>(pass.passBits[i >> 3]).fetch_and(uint8_t(~(0x80u >> (i & 7))));
      ++failed[part];
      if (store.CheckState(i) == kCheckOn) {
        --files[part];
        const int32_t node = store.At(i).nodeIndex;
        if (node != -1 && nodes && nodes->GetNode(node, info)) sizes[part] -= info.size;
      }
    }
  });
  pass.rows.clear();
  pass.checkedFiles = 0;
  pass.checkedBytes = 0;
  for (unsigned p = 0; p < parts; ++p) {
    pass.rows.insert(pass.rows.end(), rows[p].begin(), rows[p].end());
    pass.passCount -= failed[p];
    pass.checkedFiles += files[p];
    pass.checkedBytes += sizes[p];
  }
}
