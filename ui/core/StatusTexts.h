// The status window's figures as texts: percentage, the two progress
// lines, rate and remaining time from a reading of the progress object and
// a clock, the counters, and the log's line rules. Qt-free.
#pragma once
#include <cstdint>
#include <optional>

#include "platform/Text.h"

// One reading of the progress object, the activity code and the clock.
struct StatusReading {
  int activity = -1;  // -1 idle, 0 scan or session load, 1 recovery, 2..4 list workers
  bool paused = false;
  bool rateFlag = false;
  int phase = 0;  // 0 nothing yet, 1 scan running, 2 scan finished, 3 recovery
  int percent = 0;
  WString progressText;
  int64_t nowTicks = 0, startTicks = 0, ticksPerSecond = 1;
  double pausedSeconds = 0;
  int64_t bytesToScan = 0, bytesScanned = 0;  // sector pass
  int64_t checkedBytes = 0, savedBytes = 0;   // recovery
  uint32_t total = 0, inProgress = 0, displayed = 0, selected = 0, saved = 0, failed = 0, skipped = 0;
};

// The bar's value: during a recovery saved/checked bytes in percent (0
// while nothing is checked), never above 99; otherwise the percentage.
int BarPercent(const StatusReading& r);
// "%d%%" of the progress object's percentage.
WString PercentText(int percent);

// Line 1 and line 2. During a recovery the text is split at its first line
// break; a text without one goes whole to line 2.
struct ProgressLines {
  WString line1, line2;
};
ProgressLines SplitProgressLines(const StatusReading& r);

struct RateTexts {
  WString rate, remaining;
};
// Rate and remaining time; nullopt while paused (the texts stay as they
// are). Empty texts when not scanning or recovering or before one second.
// No rate (nothing done yet) gives no estimate.
std::optional<RateTexts> ComputeRateTexts(const StatusReading& r);

struct CounterTexts {
  WString total, displayed, third, saved, failed, skipped;
};
CounterTexts ComputeCounterTexts(const StatusReading& r);
// Label of the third counter for the phase: 120 "In progress:" in phase 1,
// 563 "Selected:" in phase 2, unchanged (0) otherwise.
int ThirdCounterLabelId(int phase);

// A log line without its trailing tabs, line feeds, carriage returns and
// spaces.
WString TrimLogLine(WStringView text);
// "HH:MM:SS", 24-hour.
WString LogTimeText(int hour, int minute, int second);
// The recovery log's date line "========== %s ==========\n" (long date).
WString LogDateLine(int year, int month, int day);

// The log's window text: at most kLogMaxLines lines; adding one past it
// drops the first.
inline constexpr int kLogMaxLines = 1000;
