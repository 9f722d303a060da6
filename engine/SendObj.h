// Hand-over of found items, recovery statuses and the percentage done from
// the worker to the view: two batches of up to 500 records turn about, and
// the worker never has more than one batch in the view's hands. Only the
// items inside the view's list window are kept; the rest are counted and
// dropped at once, so memory stays bounded however many files a scan finds.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/UiServices.h"
#include "platform/Text.h"

struct SendBatch {
  std::vector<FoundItem> items;
  std::vector<StatusItem> statuses;
  int percent = 0;
  size_t Count() const { return items.size() + statuses.size(); }
  void FreeItems() {
    items.clear();
    statuses.clear();
  }
};

// Hand-over codes.
inline constexpr int kCodeFoundItems = 11;
inline constexpr int kCodeStatusFull = 7;
inline constexpr int kCodeStatusEdge = 2;

// Status message ids of a recovered item.
inline constexpr int16_t kStatusSaved = 231;
inline constexpr int16_t kStatusSkipped = 200;
inline constexpr int16_t kStatusFailed = 162;
inline constexpr int16_t kStatusCorrupt = 155;

class SendObj {
 public:
  SendObj();
  ~SendObj();
  SendObj(const SendObj&) = delete;
  SendObj& operator=(const SendObj&) = delete;

  void SetView(ViewSink* view) { view_ = view; }
  ViewSink* View() const { return view_; }

  // Waits (when wait is not 0, in steps of `wait` ms) until the view has
  // released the previous batch, then hands the current one over with the
  // code and switches batches. The wait also ends when a stop is requested
  // or the view has gone, so a vanished consumer never hangs the worker.
  void SendMsg2(int waitMs, int code, bool post = true);
  // Mode 0 records only; 1 hands over when the value changed; 2 always.
  void SetPercentComplete(int percent, int code, int mode);
  // 1 kept, 0 before the window, 2 past the window (the item is dropped).
  int AddItem(FoundItem&& item);
  void AddItemStatus(int32_t listIndex, int16_t status);
  // The smaller of the item count and the window's first ordinal.
  uint64_t ItemsBeforeWindow() const;
  uint64_t ItemCount() const { return count_; }
  int Percent() const { return percent_; }
  // The view is going away: hand-overs no longer wait for it.
  void Abandon() { abandoned_ = true; }

 private:
  SendBatch batches_[2];
  int current_ = 0;
  uint64_t count_ = 0;
  ViewSink* view_ = nullptr;
  int percent_ = 0;
  std::atomic<bool> abandoned_{false};
};

// Counters of recovery statuses for the current run.
struct RecoveryCounters {
  std::atomic<uint32_t> saved{0}, skipped{0}, failedOrCorrupt{0}, processed{0};
  void Reset() { saved = skipped = failedOrCorrupt = processed = 0; }
};
extern RecoveryCounters g_recoveryCounters;
// The percentage done, read by the status display.
extern std::atomic<int> g_percentDone;
