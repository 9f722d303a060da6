// The statistics counters of the current operation and the recovery log's
// path, one object for the whole run.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Text.h"
#include "volumes/ScanSink.h"

class CProgressAndStats {
 public:
  CProgressAndStats();
  virtual ~CProgressAndStats() = default;
  // Clears the log name and every counter of the operation.
  void Reset();
  void ClearLogName() { logName.clear(); }

  WString logName;
  // Counters of the operation: a block of ten, one, four and four words.
  std::array<std::atomic<uint32_t>, 10> block{};
  std::atomic<uint32_t> single{0};
  std::array<std::atomic<uint32_t>, 4> quad1{};
  std::array<std::atomic<uint32_t>, 4> quad2{};
  // Cleared once at construction only.
  std::array<uint32_t, 3> persistent{};
  int64_t constructedAt = 0;  // local time, seconds since 1970
  WString recoveryLogPath;    // empty when no log is open

  // ---- what the status window, the frame and the status bar read ----
  // Workers write these while the window reads them: the counters are
  // atomics, the progress text is guarded by its own mutex. Reset clears
  // them with the rest.
  void SetProgressText(WStringView text);
  WString ProgressText() const;
  std::atomic<int32_t> percent{0};
  std::atomic<int32_t> phase{0};  // 0 nothing yet, 1 scan running, 2 scan finished, 3 recovery
  std::atomic<uint32_t> totalItems{0}, inProgressItems{0}, displayedItems{0}, selectedItems{0};
  std::atomic<uint32_t> savedItems{0}, failedItems{0}, skippedItems{0};
  std::atomic<int64_t> checkedBytes{0};  // total size of the checked files
  std::atomic<int64_t> savedBytes{0};    // written so far by the recovery writer
  std::atomic<int64_t> startTicks{0};    // SteadyNowNs() at the worker's start
  std::atomic<double> pausedSeconds{0};  // time the abort question was open
  std::atomic<int64_t> bytesToScan{0}, bytesScanned{0};  // the sector pass
  std::atomic<bool> progressShown{false};
  std::atomic<bool> rateShown{false};  // show rate and remaining time

 private:
  mutable std::mutex textMutex_;
  WString progressText_;
};

// The scan's counters are the ScanStat slots of `block` (volumes/ScanSink.h).

CProgressAndStats& theProgressAndStats();
