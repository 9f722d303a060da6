// Column filters of the file list: one criterion per column (a wildcard
// pattern, a size comparison or a day comparison), all of which a record
// has to meet; the result is one pass bit per record. A pass works on a
// snapshot of the criteria and gives its bits, rows and totals back, so it
// can run on worker threads while the window paints the old result.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Text.h"
#include "ui/core/ListStore.h"

enum FilterKind : int { kFilterText = 0, kFilterSize = 1, kFilterDate = 2 };
inline constexpr int kFilterColumns = 7;
// One day in file-time units.
inline constexpr int64_t kFileTimeDay = 864000000000LL;

struct FilterCriterion {
  bool applied = false;  // already in the current result (an incremental pass skips it)
  int kind = kFilterText;
  int op = 2;            // the operator's place in the dialog's list
  WString pattern;       // as typed, runs of "*" made one
  WString contains;      // "*" pattern "*"
  uint64_t value = 0;    // size in bytes
  int64_t day = 0;       // start of the day as a UTC file time

  void SetPattern(WStringView text);
  void SetValue(uint64_t bytes) { value = bytes; }
  void SetDay(int64_t fileTime) { day = fileTime; }
  bool MatchText(WStringView text) const;
  bool MatchSize(uint64_t size) const;
  bool MatchDate(uint64_t fileTime) const;
};

// The kind of criterion a column takes: Size 1, Modified Date 2, others 0.
int FilterKindOfColumn(int column);
// The operator texts of a kind, in the dialog's order.
std::vector<WString> FilterOperatorTexts(int kind);

// The value a column's criterion is tested against, for a record.
// Volume: "X:" for a drive letter, the number for a numbered volume; a path
// beginning with "\" (or of another volume code) has none and fails.
// Status: the status message as stored (with its colon), empty for 0.
// Folder: the path after the volume code and colon.
bool FilterColumnText(int column, const ListStore& store, size_t record, const ListNodeInfo& node, WString& out);
// Whether a record meets the criteria of columns 0 to 6 (in that order;
// those marked applied are skipped when skipApplied). A record without a
// node passes.
bool RecordPasses(const std::array<std::unique_ptr<FilterCriterion>, kFilterColumns>& criteria, const ListStore& store,
                  size_t record, const ListNodeSource* nodes, bool skipApplied);

// The filter dialog's size: the largest unit (0 bytes .. 4 TB, powers of
// 1024) that divides the value exactly and the quotient; 0 shows as 0 TB.
struct SizeInUnits {
  uint64_t quotient = 0;
  int unit = 0;
};
SizeInUnits SizeForDialog(uint64_t bytes);
// The value typed (thousands separators allowed) times the unit; false when
// it is not a whole number or the product does not fit in 64 bits.
bool SizeFromDialog(WStringView text, int unit, uint64_t& bytes);
// The start of a local calendar day as a UTC file time, and back.
int64_t FileTimeOfLocalDay(int year, int month, int day);
void LocalDayOfFileTime(int64_t fileTime, int& year, int& month, int& day);

// One filter pass. Full: every record against every criterion. Incremental
// (one criterion added to an active filter): only records that still pass
// (in flat display the displayed rows, in their order), only the new
// criterion.
struct FilterPass {
  enum Mode { kFull, kIncrementalFlat, kIncrementalFolder } mode = kFull;
  std::array<std::unique_ptr<FilterCriterion>, kFilterColumns> criteria;  // a copy
  std::vector<uint32_t> candidates;  // incremental flat: the displayed rows
  std::vector<uint8_t> passBits;     // in: the current bits (incremental); out: the new bits
  int64_t passCount = 0;             // in: the current count (incremental); out
  // out: the rows to display in flat display (passing records in record
  // order, or the displayed rows that still pass).
  std::vector<uint32_t> rows;
  // out: full pass the checked totals of the passing records; incremental
  // the change of the totals.
  int64_t checkedFiles = 0;
  __int128 checkedBytes = 0;
  // Memory for the pass's own bits, which a caller may hand from pass to
  // pass (its contents do not matter): fresh memory costs a page fault per
  // 4 KiB, more than the pass spends on the page.
  std::vector<uint8_t> scratch;
};
void RunFilterPass(FilterPass& pass, const ListStore& store, const ListNodeSource* nodes);
