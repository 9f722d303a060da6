// The schema file of a custom RAID layout: ranges, each a repeating logical
// group of extents with their operations over member sectors.
//
//   ; comment
//   RangeCount 1
//   LogicalGroupSizeInSectors 384
//   PhysicalGroupSizeInSectors 128          (every member, or "128 2": member 2)
//   LogicalExtentCount 3
//   LE 0 128 XOR(0:0)                       (index, length, operation)
//   LE 1 128 XOR,BAD(1:0,2:0)
//   LE 2 128 Q(0:0:P,1:0:Q,3:0:2,M:0:1)
//   StartingPSN 1 2048                      (member, sector)
//   RangeStart 0 1048576                    (start, size; ends the range)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "storage/RDrive.h"

namespace {

constexpr size_t kMaxLineChars = 1024;
constexpr uint32_t kMiB = 0x100000;

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> t;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) t.push_back(line.substr(start, i - start));
  }
  return t;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool Number(std::string_view t, uint64_t max, uint64_t* out) {
  if (t.empty() || t.size() > 20) return false;
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(v, uint64_t(10), &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v)) return false;
  }
  if (v > max) return false;
  *out = v;
  return true;
}

bool SignedNumber(std::string_view t, int* out) {
  bool negative = !t.empty() && t[0] == '-';
  uint64_t v;
  if (!Number(negative ? t.substr(1) : t, 0x7FFFFFFF, &v)) return false;
  *out = negative ? -int(v) : int(v);
  return true;
}

// The file's lines (at most 1024 characters each, line ends removed);
// false when it cannot be read.
bool ReadLines(WStringView path, std::vector<std::string>* lines) {
  std::ifstream f(ToUtf8(path), std::ios::binary);
  if (!f) return false;
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineChars) line.resize(kMaxLineChars);
    lines->push_back(line);
  }
  return !f.bad();
}

}  // namespace

int RDrive::ParseRaidOperation(RaidExtent* e, std::string_view text, int* maxMember) {
  RaidExtent x;
  if (text == "ZERO") {
    x.op = kRaidOpZero;
    *e = std::move(x);
    return 1;
  }
  const size_t open = text.find('(');
  if (open == std::string_view::npos || text.back() != ')') return 0;
  const size_t items = size_t(std::count(text.begin() + long(open), text.end(), ',')) + 1;
  if (items > kMaxRaidItems) return 0;
  std::string_view head = text.substr(0, open);
  if (head.starts_with("XOR")) {
    x.op = kRaidOpXor;
    head.remove_prefix(3);
    while (head.starts_with(",BAD")) {
      x.flags |= kRaidFlagBad;
      head.remove_prefix(4);
    }
    if (!head.empty()) return 0;
  } else if (head == "Q") {
    x.op = kRaidOpQ1;
  } else {
    return 0;
  }
  std::string_view body = text.substr(open + 1, text.size() - open - 2);
  int highest = -1;
  bool sawGx = false;
  for (size_t at = 0; at <= body.size();) {
    size_t stop = body.find_first_of(",()", at);
    if (stop == std::string_view::npos) stop = body.size();
    std::string_view item = body.substr(at, stop - at);
    at = stop + 1;
    if (item.empty()) {
      if (stop == body.size()) break;
      return 0;
    }
    std::vector<std::string_view> f;
    for (size_t p = 0;;) {
      const size_t c = item.find(':', p);
      f.push_back(item.substr(p, c == std::string_view::npos ? std::string_view::npos : c - p));
      if (c == std::string_view::npos) break;
      p = c + 1;
    }
    RaidItem it;
    uint64_t v;
    if (x.op == kRaidOpXor) {
      if (f.size() < 2 || !Number(f[0], 0x7FFFFFFF, &v)) return 0;
      it.member = int(v);
      if (!Number(f[1], UINT32_MAX, &v)) return 0;
      it.offset = uint32_t(v);
    } else {
      if (f.size() != 3) return 0;
      if (!f[0].empty() && (f[0][0] == 'M' || f[0][0] == 'm')) {
        std::string_view which = f[0].substr(1);
        int g;
        if (!SignedNumber(f[2], &g)) return 0;
        if (which.empty() || which == "1") {
          x.gx = g;
          sawGx = true;
        } else if (which == "2") {
          x.op = kRaidOpQ2;
          x.gy = g;
        } else {
          return 0;
        }
        continue;
      }
      if (!Number(f[0], 0x7FFFFFFF, &v)) return 0;
      it.member = int(v);
      if (!Number(f[1], UINT32_MAX, &v)) return 0;
      it.offset = uint32_t(v);
      if (f[2] == "P" || f[2] == "p") it.coefficient = 0;
      else if (f[2] == "Q" || f[2] == "q") it.coefficient = -1;
      else if (!SignedNumber(f[2], &it.coefficient)) return 0;
    }
    highest = std::max(highest, it.member);
    x.items.push_back(it);
  }
  if (x.items.empty() || (x.op != kRaidOpXor && !sawGx)) return 0;
  if (maxMember) *maxMember = std::max(*maxMember, highest);
  *e = std::move(x);
  return 1;
}

int RDrive::CountSchemaMembers(WStringView path) {
  std::vector<std::string> lines;
  if (!ReadLines(path, &lines)) return 0;
  int highest = -1;
  for (const std::string& line : lines) {
    if (line.empty() || line[0] == ';') continue;
    const std::vector<std::string_view> t = Tokens(line);
    if (t.size() < 1 || t[0] != "LE") continue;
    RaidExtent e;
    if (t.size() < 4 || !ParseRaidOperation(&e, t[3], &highest)) {
      ShowError(u"%s: %s", Msg(668), FromUtf8(line));
      return 0;
    }
  }
  return highest + 1;
}

int RDrive::LoadSchema(WStringView path) {
  TRACE_FN("RDrive::LoadSchema");
  std::vector<std::string> lines;
  if (!ReadLines(path, &lines)) {
    ErrorMsg(nullptr, WString(path).c_str());
    ShowError(u"%s", LastErrorText());
    return 0;
  }
  const size_t n = members_.size();
  std::vector<RaidRange> ranges;
  size_t current = 0;
  uint32_t extentsRead = 0;
  uint64_t logicalBuffer = 0, physicalBuffer = 0;
  bool complete = false;
  auto fail = [&](const WString& text) {
    ErrorMsg(text);
    ShowError(u"%s", text);
    ranges_.clear();
    return 0;
  };
  auto invalid = [&](const std::string& line) { return fail(FormatW(u"Invalid data: %s", FromUtf8(line))); };
  // The sum check of a range whose extents are all read.
  auto rangeDone = [&](size_t ri) {
    const RaidRange& r = ranges[ri];
    if (r.extents.empty() || extentsRead != r.extents.size()) return false;
    const RaidExtent& last = r.extents.back();
    return uint64_t(last.lso) + last.length == r.logicalGroupSectors;
  };
  for (const std::string& line : lines) {
    if (line.empty() || line[0] == ';') continue;
    const std::vector<std::string_view> t = Tokens(line);
    if (t.empty()) continue;
    const std::string_view key = t[0];
    uint64_t a = 0, b = 0;
    if (SameNoCase(key, "RangeCount")) {
      if (!ranges.empty() || t.size() < 2 || !Number(t[1], UINT64_MAX, &a)) return invalid(line);
      if (a == 0 || a > 0x400000) return fail(u"Invalid RangeCount");
      // Every range takes at least one line of the file.
      if (a > lines.size()) return invalid(line);
      ranges.resize(size_t(a));
      for (RaidRange& r : ranges) r.Resize(n);
      current = 0;
      continue;
    }
    if (ranges.empty() || complete) return invalid(line);
    RaidRange& r = ranges[current];
    if (SameNoCase(key, "LogicalGroupSizeInSectors")) {
      if (t.size() < 2 || !Number(t[1], UINT32_MAX, &a) || a == 0) return invalid(line);
      r.logicalGroupSectors = uint32_t(a);
    } else if (SameNoCase(key, "PhysicalGroupSizeInSectors")) {
      if (t.size() < 2 || !Number(t[1], UINT32_MAX, &a) || a == 0) return invalid(line);
      if (t.size() >= 3) {
        if (!Number(t[2], n ? n - 1 : 0, &b) || n == 0) return invalid(line);
        r.physicalGroupSectors[size_t(b)] = uint32_t(a);
      } else {
        for (uint32_t& pg : r.physicalGroupSectors) pg = uint32_t(a);
      }
    } else if (SameNoCase(key, "LogicalBufferSizeInSectors")) {
      if (t.size() < 2 || !Number(t[1], (64 * kMiB) >> shift_, &logicalBuffer)) return invalid(line);
    } else if (SameNoCase(key, "PhysicalBufferSizeInSectors")) {
      if (t.size() < 2 || !Number(t[1], (64 * kMiB) >> shift_, &physicalBuffer)) return invalid(line);
    } else if (SameNoCase(key, "LogicalExtentCount")) {
      // Every extent takes a line of its own.
      if (t.size() < 2 || !Number(t[1], lines.size(), &a)) return invalid(line);
      r.extents.assign(size_t(a), RaidExtent{});
      r.lastExtent = 0;
      extentsRead = 0;
    } else if (key == "LE" || SameNoCase(key, "LE")) {
      uint64_t index = 0, length = 0;
      if (t.size() < 4 || !Number(t[1], UINT32_MAX, &index) || !Number(t[2], UINT32_MAX, &length))
        return invalid(line);
      const long ri = long(current), li = long(index);
      if (index >= r.extents.size()) return fail(FormatW(u"Range %ld, LE %ld: Out of bound", ri, li));
      if (index != extentsRead) return fail(FormatW(u"Range %ld, LE %ld: Out of order", ri, li));
      RaidExtent e;
      if (!ParseRaidOperation(&e, t[3], nullptr))
        return fail(FormatW(u"Range %ld, LE %ld: Invalid RAID operation", ri, li));
      for (const RaidItem& it : e.items)
        if (it.member < 0 || size_t(it.member) >= n) return invalid(line);
      if (length == 0) return invalid(line);
      e.length = uint32_t(length);
      if (index == 0) {
        e.lso = 0;
      } else {
        const RaidExtent& prev = r.extents[index - 1];
        const uint64_t lso = uint64_t(prev.lso) + prev.length;
        if (lso > UINT32_MAX) return invalid(line);
        e.lso = uint32_t(lso);
      }
      if (index + 1 == r.extents.size() && index != 0 && uint64_t(e.lso) + e.length != r.logicalGroupSectors)
        return fail(FormatW(u"Range %ld, LE %ld: nLogicalBufferSizeInSectors does not match the sum in the LEs.", ri,
                            li));
      r.extents[index] = std::move(e);
      ++extentsRead;
    } else if (SameNoCase(key, "StartingPSN")) {
      if (t.size() < 3 || n == 0 || !Number(t[1], n - 1, &a) || !Number(t[2], uint64_t(INT64_MAX), &b))
        return invalid(line);
      r.startingPsn[size_t(a)] = b;
    } else if (SameNoCase(key, "RangeStart")) {
      if (t.size() < 3 || !Number(t[1], uint64_t(INT64_MAX), &a) || !Number(t[2], uint64_t(INT64_MAX), &b))
        return invalid(line);
      if (!rangeDone(current))
        return fail(FormatW(u"Range %ld, LE %ld: nLogicalBufferSizeInSectors does not match the sum in the LEs.",
                            long(current), long(extentsRead)));
      r.startLsn = a;
      r.sizeSectors = b;
      if (current == 0) {
        if (a != 0) return fail(u"The first range must start from zero.");
        for (uint64_t& psn : r.startingPsn)
          if (psn == ~0ull) psn = 0;
      } else {
        const RaidRange& p = ranges[current - 1];
        if (a != p.startLsn + p.sizeSectors) return fail(u"Range intervals not contiguous");
        for (size_t m = 0; m < n; ++m)
          if (r.startingPsn[m] == ~0ull)
            r.startingPsn[m] = p.startingPsn[m] + (p.sizeSectors / p.logicalGroupSectors) * p.physicalGroupSectors[m];
      }
      if (current + 1 == ranges.size()) {
        complete = true;
      } else {
        RaidRange& next = ranges[++current];
        next.logicalGroupSectors = r.logicalGroupSectors;
        next.physicalGroupSectors = r.physicalGroupSectors;
        extentsRead = 0;
      }
    } else {
      return invalid(line);
    }
  }
  if (ranges.empty() || current + 1 != ranges.size()) return fail(u"RangeCount and actual number of ranges do not match.");
  if (!complete) {
    // The last range may end with the file; its start and size stay 0.
    if (!rangeDone(current))
      return fail(FormatW(u"Range %ld, LE %ld: nLogicalBufferSizeInSectors does not match the sum in the LEs.",
                          long(current), long(extentsRead)));
    for (uint64_t& psn : ranges[current].startingPsn)
      if (psn == ~0ull) psn = 0;
  }
  const RaidRange& last = ranges.back();
  sectorCount_ = last.startLsn + last.sizeSectors;
  transferSize_ = logicalBuffer ? uint32_t(logicalBuffer << shift_) : kMiB;
  if (physicalBuffer)
    for (auto& m : members_)
      if (m && !dynamic_cast<RDrive*>(m.get())) m->FixSize(uint32_t(physicalBuffer << shift_));
  for (RaidRange& r : ranges) r.ComputeWindows(n, shift_);
  ranges_ = std::move(ranges);
  currentRange_ = 0;
  if (traceRaid) RaidMap::TraceRanges(ranges_, n);
  return 1;
}
