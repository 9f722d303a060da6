// The program-wide activity code and busy counter. The view writes them on
// the user-interface thread; workers and list threads read them, so both
// are atomics.
#pragma once
#include <atomic>
#include <cstdint>

enum ActivityCode : int32_t {
  kActivityIdle = -1,
  kActivityScan = 0,  // scan or session load
  kActivityRecovery = 1,
  kActivitySorting = 2,
  kActivityFolderRows = 3,
  kActivityFiltering = 4,
};

extern std::atomic<int32_t> g_activityCode;
// Raised when a compute-worker run starts, lowered when it ends; the main
// frame refuses to close while it is above 0.
extern std::atomic<int32_t> g_busyCounter;
// Scan mode: 0 Quick, 1 Long.
extern std::atomic<int32_t> g_scanMode;
