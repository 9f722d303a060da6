#include "engine/SendObj.h"

#include <algorithm>

#include "engine/ProgressStats.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"

RecoveryCounters g_recoveryCounters;
std::atomic<int> g_percentDone{0};

SendObj::SendObj() {
  if (g_eventHandover) g_eventHandover->Reset();
}

SendObj::~SendObj() {
  batches_[0].FreeItems();
  batches_[1].FreeItems();
}

void SendObj::SendMsg2(int waitMs, int code, bool /*post*/) {
  if (waitMs != 0 && g_eventHandover) {
    while (!g_eventHandover->Wait(waitMs)) {
      if (abandoned_ || !view_ || (g_appState && g_appState->stopRequested)) break;
    }
  }
  if (code == 0) return;
  SendBatch& b = batches_[current_];
  b.percent = percent_;
  if (view_) {
    if (code == kCodeFoundItems) view_->FoundItems(b.items, b.percent);
    else view_->StatusItems(b.statuses, code);
  } else if (g_eventHandover) {
    g_eventHandover->Set();  // nobody takes it: release the next hand-over ourselves
  }
  b.FreeItems();
  current_ ^= 1;
}

void SendObj::SetPercentComplete(int percent, int code, int mode) {
  const bool changed = percent != percent_;
  percent_ = percent;
  g_percentDone = percent;
  // The status window and the frame's title read it from the shared counters.
  theProgressAndStats().percent = percent;
  if (mode == 2 || (mode == 1 && changed)) SendMsg2(6000, code, true);
}

namespace {
// The view's list window: first ordinal and size (settings words the view
// writes). Summed in 64 bits: first + size must not wrap.
uint64_t WindowFirst() { return g_appState ? uint64_t(std::max<int32_t>(0, g_appState->searchFirst)) : 0; }
uint64_t WindowEnd() {
  return g_appState ? WindowFirst() + uint64_t(g_appState->searchLimit) : UINT64_MAX;
}
}  // namespace

int SendObj::AddItem(FoundItem&& item) {
  count_++;
  const uint64_t first = WindowFirst();
  const uint64_t end = WindowEnd();
  if (count_ > first && count_ <= end) {
    SendBatch& b = batches_[current_];
    b.items.push_back(std::move(item));
    if (b.items.size() >= size_t(kBatchSize) || count_ == end) SendMsg2(6000, kCodeFoundItems, true);
    return 1;
  }
  return count_ > first ? 2 : 0;
}

void SendObj::AddItemStatus(int32_t listIndex, int16_t status) {
  SendBatch& b = batches_[current_];
  b.statuses.push_back(StatusItem{listIndex, status});
  if (b.statuses.size() >= size_t(kBatchSize)) SendMsg2(6000, kCodeStatusFull, true);
  if (status == kStatusSaved) g_recoveryCounters.saved++;
  else if (status == kStatusSkipped) g_recoveryCounters.skipped++;
  else if (status == kStatusFailed || status == kStatusCorrupt) g_recoveryCounters.failedOrCorrupt++;
}

uint64_t SendObj::ItemsBeforeWindow() const {
  const uint64_t first = WindowFirst();
  return count_ < first ? count_ : first;
}
