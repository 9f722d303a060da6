// Finding rows of the file list: the Find dialog's search over the seven
// column texts (a cell is formatted only when the search reaches it; nothing
// is kept per row), and the type-ahead search by name. Also the list's row
// selection, kept as ranges so that selecting ten million rows costs a few
// bytes.
#pragma once
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "platform/Text.h"

// ---- cell matching ----
struct FindOptions {
  WString text;
  bool matchCase = false;
  bool wholeWord = false;  // the cell text must equal the search text
  bool down = true;
};
// Whole word: the cell equals the text; otherwise it contains it. Without
// match case letters A-Z are compared in one case.
bool CellMatches(WStringView cell, const FindOptions& options);

// ---- Find Next ----
struct FindPlan {
  int64_t row = 0;  // the start cell
  int column = 0;
  bool wholeList = true;  // a miss ends the search; no question to continue
  bool empty = true;      // no row to search
};
// Where Find Next starts: with no row selected, the first cell (down) or the
// last (up) and the whole list; otherwise the cell after (down) or before
// (up) the find column in the first selected row, moving to the next (or
// previous) row past the last (or first) column.
FindPlan PlanFind(int64_t rows, int64_t firstSelected, int findColumn, bool down);

// The search: cells in order from the plan's start to the end (down: rows
// upwards from the start, columns 0 to 6; up: rows downwards, columns 6 to
// 0). cellText(row, column, out) formats one cell; it is called from several
// threads at once (the caller must keep the list unchanged meanwhile).
// Rows are searched in slices of sliceRows, each split over threads;
// keepGoing is asked between slices (false abandons the search). Returns the
// matching (row, column) or (-1, -1).
using CellTextFn = std::function<void(int64_t row, int column, WString& out)>;
std::pair<int64_t, int> FindNextCell(int64_t rows, const FindPlan& plan, const FindOptions& options,
                                     const CellTextFn& cellText, const std::function<bool()>& keepGoing = {},
                                     int64_t sliceRows = 1 << 16);

// ---- type-ahead ----
// The first row from start (wrapping round at the end) whose text begins
// with the typed text, letters A-Z in one case; -1 when none, or when the
// typed text begins with "+" or "-". A start past the last row means row 0.
int64_t TypeAheadRow(int64_t rows, int64_t start, WStringView typed,
                     const std::function<void(int64_t row, WString& out)>& rowText);

// ---- selection ----
class RowSelection {
 public:
  void Clear() { ranges_.clear(); }
  bool Empty() const { return ranges_.empty(); }
  bool IsSelected(int64_t row) const;
  // Rows selected.
  int64_t Count() const;
  int64_t First() const;  // -1 when none
  int64_t Last() const;   // -1 when none
  void Select(int64_t first, int64_t last);    // adds the rows
  void Deselect(int64_t first, int64_t last);  // removes them
  void Toggle(int64_t row);
  void SelectOnly(int64_t row) {
    Clear();
    Select(row, row);
  }
  // Drops rows at and past count.
  void Truncate(int64_t count);
  const std::vector<std::pair<int64_t, int64_t>>& Ranges() const { return ranges_; }

 private:
  std::vector<std::pair<int64_t, int64_t>> ranges_;  // sorted, disjoint, not adjacent
};
