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
}

CProgressAndStats& theProgressAndStats() {
  static CProgressAndStats stats;
  return stats;
}
