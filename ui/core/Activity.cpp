#include "ui/core/Activity.h"

std::atomic<int32_t> g_activityCode{kActivityIdle};
std::atomic<int32_t> g_busyCounter{0};
std::atomic<int32_t> g_scanMode{0};
