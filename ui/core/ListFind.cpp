#include "ui/core/ListFind.h"

#include <algorithm>
#include <thread>

#include "ui/core/Parallel.h"

namespace {

constexpr char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

struct Matcher {
  WString needle;
  bool matchCase, wholeWord;
  explicit Matcher(const FindOptions& o) : needle(o.text), matchCase(o.matchCase), wholeWord(o.wholeWord) {
    if (!matchCase)
      for (char16_t& c : needle) c = Fold(c);
  }
  bool Equal(char16_t a, char16_t b) const { return (matchCase ? a : Fold(a)) == b; }
  bool operator()(WStringView cell) const {
    const size_t n = needle.size();
    if (wholeWord) {
      if (cell.size() != n) return false;
      for (size_t i = 0; i < n; ++i)
        if (!Equal(cell[i], needle[i])) return false;
      return true;
    }
    if (n == 0) return true;
    if (cell.size() < n) return false;
    const char16_t first = needle[0];
    for (size_t at = 0; at + n <= cell.size(); ++at) {
      if (!Equal(cell[at], first)) continue;
      size_t i = 1;
      while (i < n && Equal(cell[at + i], needle[i])) ++i;
      if (i == n) return true;
    }
    return false;
  }
};

}  // namespace

bool CellMatches(WStringView cell, const FindOptions& options) { return Matcher(options)(cell); }

FindPlan PlanFind(int64_t rows, int64_t firstSelected, int findColumn, bool down) {
  FindPlan p;
  p.empty = rows <= 0;
  if (p.empty) return p;
  if (firstSelected < 0 || firstSelected >= rows) {
    p.row = down ? 0 : rows - 1;
    p.column = down ? 0 : 6;
    p.wholeList = true;
    return p;
  }
  p.row = firstSelected;
  p.column = down ? findColumn + 1 : findColumn - 1;
  p.wholeList = down ? firstSelected == 0 : firstSelected == rows - 1;
  if (down && p.column > 6) {
    p.column = 0;
    ++p.row;
  } else if (!down && p.column < 0) {
    p.column = 6;
    --p.row;
  }
  if (p.column < 0) p.column = 0;
  if (p.column > 6) p.column = 6;
  if (p.row < 0 || p.row >= rows) p.empty = true;
  return p;
}

std::pair<int64_t, int> FindNextCell(int64_t rows, const FindPlan& plan, const FindOptions& options,
                                     const CellTextFn& cellText, const std::function<bool()>& keepGoing,
                                     int64_t sliceRows) {
  if (plan.empty || rows <= 0) return {-1, -1};
  const Matcher match(options);
  const bool down = options.down;
  // Search steps: step k is row start + k (down) or start - k (up).
  const int64_t steps = down ? rows - plan.row : plan.row + 1;
  if (sliceRows < 1) sliceRows = 1;
  for (int64_t sliceStart = 0; sliceStart < steps; sliceStart += sliceRows) {
    if (sliceStart > 0 && keepGoing && !keepGoing()) return {-1, -1};
    const int64_t sliceEnd = std::min(steps, sliceStart + sliceRows);
    const unsigned parts = ParallelParts(size_t(sliceEnd - sliceStart), 2048);
    std::vector<std::pair<int64_t, int>> found(parts, {-1, -1});
    ParallelFor(size_t(sliceEnd - sliceStart), 2048, [&](size_t b, size_t e, unsigned part) {
      WString cell;
      for (size_t k = b; k < e; ++k) {
        const int64_t step = sliceStart + int64_t(k);
        const int64_t row = down ? plan.row + step : plan.row - step;
        const int firstCol = step == 0 ? plan.column : (down ? 0 : 6);
        for (int c = firstCol; down ? c <= 6 : c >= 0; c += down ? 1 : -1) {
          cellText(row, c, cell);
          if (match(cell)) {
            found[part] = {row, c};
            return;
          }
        }
      }
    });
    for (const auto& f : found)
      if (f.first >= 0) return f;
  }
  return {-1, -1};
}

int64_t TypeAheadRow(int64_t rows, int64_t start, WStringView typed,
                     const std::function<void(int64_t row, WString& out)>& rowText) {
  if (rows <= 0 || typed.empty() || typed[0] == u'+' || typed[0] == u'-') return -1;
  if (start < 0 || start >= rows) start = 0;
  WString text;
  for (int64_t k = 0; k < rows; ++k) {
    const int64_t row = (start + k) % rows;
    rowText(row, text);
    if (text.size() < typed.size()) continue;
    bool ok = true;
    for (size_t i = 0; i < typed.size() && ok; ++i) ok = Fold(text[i]) == Fold(typed[i]);
    if (ok) return row;
  }
  return -1;
}

// ---- selection ----

bool RowSelection::IsSelected(int64_t row) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), row,
                             [](int64_t r, const std::pair<int64_t, int64_t>& range) { return r < range.first; });
  if (it == ranges_.begin()) return false;
  --it;
  return row >= it->first && row <= it->second;
}

int64_t RowSelection::Count() const {
  int64_t n = 0;
  for (const auto& r : ranges_) n += r.second - r.first + 1;
  return n;
}

int64_t RowSelection::First() const { return ranges_.empty() ? -1 : ranges_.front().first; }
int64_t RowSelection::Last() const { return ranges_.empty() ? -1 : ranges_.back().second; }

void RowSelection::Select(int64_t first, int64_t last) {
  if (first > last) std::swap(first, last);
  if (first < 0) first = 0;
  if (last < first) return;
  std::vector<std::pair<int64_t, int64_t>> out;
  out.reserve(ranges_.size() + 1);
  bool placed = false;
  for (const auto& r : ranges_) {
    if (r.second + 1 < first) {
      out.push_back(r);
    } else if (last + 1 < r.first) {
      if (!placed) {
        out.emplace_back(first, last);
        placed = true;
      }
      out.push_back(r);
    } else {
      first = std::min(first, r.first);
      last = std::max(last, r.second);
    }
  }
  if (!placed) out.emplace_back(first, last);
  std::sort(out.begin(), out.end());
  ranges_.swap(out);
}

void RowSelection::Deselect(int64_t first, int64_t last) {
  if (first > last) std::swap(first, last);
  std::vector<std::pair<int64_t, int64_t>> out;
  out.reserve(ranges_.size() + 1);
  for (const auto& r : ranges_) {
    if (r.second < first || r.first > last) {
      out.push_back(r);
      continue;
    }
    if (r.first < first) out.emplace_back(r.first, first - 1);
    if (r.second > last) out.emplace_back(last + 1, r.second);
  }
  ranges_.swap(out);
}

void RowSelection::Toggle(int64_t row) {
  if (IsSelected(row)) Deselect(row, row);
  else Select(row, row);
}

void RowSelection::Truncate(int64_t count) {
  if (count <= 0) {
    ranges_.clear();
    return;
  }
  Deselect(count, INT64_MAX);
}
