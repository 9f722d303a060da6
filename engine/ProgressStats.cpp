#include "engine/ProgressStats.h"

#include <ctime>

CProgressAndStats::CProgressAndStats() {
  Reset();
  persistent.fill(0);
  constructedAt = int64_t(std::time(nullptr));
}

void CProgressAndStats::Reset() {
  ClearLogName();
  for (auto& w : block) w = 0;
  single = 0;
  for (auto& w : quad1) w = 0;
  for (auto& w : quad2) w = 0;
  SetProgressText(u"");
  percent = 0;
  phase = 0;
  for (auto* c : {&totalItems, &inProgressItems, &displayedItems, &selectedItems, &savedItems, &failedItems,
                  &skippedItems})
    *c = 0;
  for (auto* c : {&checkedBytes, &savedBytes, &startTicks, &bytesToScan, &bytesScanned}) *c = 0;
  pausedSeconds = 0;
  progressShown = false;
  rateShown = false;
}

void CProgressAndStats::SetProgressText(WStringView text) {
  std::lock_guard<std::mutex> lock(textMutex_);
  progressText_.assign(text);
}

WString CProgressAndStats::ProgressText() const {
  std::lock_guard<std::mutex> lock(textMutex_);
  return progressText_;
}

CProgressAndStats& theProgressAndStats() {
  static CProgressAndStats stats;
  return stats;
}
