#include "ui/core/StatusTexts.h"

#include <chrono>

#include "engine/RecoveryLog.h"
#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"

int BarPercent(const StatusReading& r) {
  if (r.activity != 1) return r.percent;
  if (r.checkedBytes <= 0) return 0;
  int64_t p = int64_t(double(r.savedBytes) / double(r.checkedBytes) * 100.0);
  if (p > 99) p = 99;
  if (p < 0) p = 0;
  return int(p);
}

WString PercentText(int percent) { return FormatW(u"%d%%", percent); }

ProgressLines SplitProgressLines(const StatusReading& r) {
  ProgressLines lines;
  if (r.activity != 1) {
    lines.line1 = r.progressText;
    return lines;
  }
  const size_t br = r.progressText.find(u'\n');
  if (br == WString::npos) {
    lines.line2 = r.progressText;
    return lines;
  }
  size_t end1 = br;
  if (end1 > 0 && r.progressText[end1 - 1] == u'\r') --end1;
  lines.line1 = r.progressText.substr(0, end1);
  lines.line2 = r.progressText.substr(br + 1);
  return lines;
}

std::optional<RateTexts> ComputeRateTexts(const StatusReading& r) {
  if (r.paused) return std::nullopt;
  RateTexts t;
  const double perSecond = r.ticksPerSecond > 0 ? double(r.ticksPerSecond) : 1.0;
  double elapsed = double(r.nowTicks - r.startTicks) / perSecond - r.pausedSeconds;
  if (elapsed < 0) elapsed = 0;
  if ((r.activity != 0 && r.activity != 1) || elapsed < 1.0) return t;
  const int64_t total = r.activity == 0 ? r.bytesToScan : r.checkedBytes;
  const int64_t done = r.activity == 0 ? r.bytesScanned : r.savedBytes;
  const double rate = double(done) / elapsed;
  t.rate = FormatByteCount(int64_t(rate), true) +
           FormatW(u" (%s in %s)", FormatByteCount(done), FormatDuration(int64_t(elapsed), true));
  // A scan with no percentage yet has nothing to measure the rest by.
  if (elapsed < 10.0 || (r.activity == 0 && total <= 0)) {
    t.remaining = Msg(635);
  } else if (rate > 0) {
    // Nothing done yet means no rate to divide by: no estimate then.
    const int64_t left = int64_t(double(total - done) / rate);
    t.remaining = left > 89 ? FormatDuration(left, true) : Msg(634);
  }
  return t;
}

CounterTexts ComputeCounterTexts(const StatusReading& r) {
  CounterTexts c;
  c.total = FormatNumber64(r.total);
  c.displayed = FormatNumber64(r.displayed);
  if (r.phase == 1) {
    c.third = FormatNumber64(r.inProgress);
  } else {
    c.third = FormatNumber64(r.selected);
    if (r.checkedBytes != 0) c.third += u" (" + FormatByteCount(r.checkedBytes) + u")";
  }
  c.saved = FormatNumber64(r.saved);
  c.failed = FormatNumber64(r.failed);
  c.skipped = FormatNumber64(r.skipped);
  return c;
}

int ThirdCounterLabelId(int phase) {
  if (phase == 1) return 120;
  if (phase == 2) return 563;
  return 0;
}

WString TrimLogLine(WStringView text) {
  while (!text.empty()) {
    const char16_t c = text.back();
    if (c != u'\t' && c != u'\n' && c != u'\r' && c != u' ') break;
    text.remove_suffix(1);
  }
  return WString(text);
}

WString LogTimeText(int hour, int minute, int second) { return FormatW(u"%02d:%02d:%02d", hour, minute, second); }

// One date line for both of the log's writers.
WString LogDateLine(int year, int month, int day) { return RecoveryLogDateLine(year, month, day); }
