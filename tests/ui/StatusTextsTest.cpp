#include <gtest/gtest.h>

#include "foundation/Globals.h"
#include "foundation/Utilities.h"
#include "ui/core/StatusTexts.h"

namespace {

class StatusTexts : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
  static constexpr int64_t kMiB = 1 << 20;
  // A sector pass `seconds` in, with done of total MiB.
  static StatusReading Scan(double seconds, int64_t doneMiB, int64_t totalMiB) {
    StatusReading r;
    r.activity = 0;
    r.rateFlag = true;
    r.ticksPerSecond = 1000;
    r.startTicks = 5000;
    r.nowTicks = 5000 + int64_t(seconds * 1000);
    r.bytesScanned = doneMiB * kMiB;
    r.bytesToScan = totalMiB * kMiB;
    return r;
  }
};

TEST_F(StatusTexts, RateAndRemainingTime) {
  const auto t = ComputeRateTexts(Scan(30, 300, 1200));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rate, FormatByteCount(10 * kMiB, true) + u" (" + FormatByteCount(300 * kMiB) + u" in " +
                         FormatDuration(30, true) + u")");
  EXPECT_EQ(t->rate, u"10.00 MB/second (300.00 MB in 30 seconds)");
  EXPECT_EQ(t->remaining, FormatDuration(90, true));  // r = 90
  EXPECT_EQ(ComputeRateTexts(Scan(30, 300, 1190))->remaining, u"About 1 minute");  // r = 89
}

TEST_F(StatusTexts, CalculatingDuringTheFirstTenSeconds) {
  EXPECT_EQ(ComputeRateTexts(Scan(9.9, 100, 1200))->remaining, u"Calculating...");
  EXPECT_NE(ComputeRateTexts(Scan(10, 100, 1200))->remaining, u"Calculating...");
}

TEST_F(StatusTexts, NoRateGivesNoEstimate) {
  const auto t = ComputeRateTexts(Scan(20, 0, 1200));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rate, u"0 byte/second (0 byte in 20 seconds)");
  EXPECT_EQ(t->remaining, u"");
}

TEST_F(StatusTexts, EmptyBeforeOneSecondOrWhenNotScanningOrSaving) {
  auto t = ComputeRateTexts(Scan(0.5, 1, 10));
  EXPECT_EQ(t->rate, u"");
  EXPECT_EQ(t->remaining, u"");
  StatusReading r = Scan(30, 300, 1200);
  r.activity = 2;
  EXPECT_EQ(ComputeRateTexts(r)->rate, u"");
  r.activity = -1;
  EXPECT_EQ(ComputeRateTexts(r)->remaining, u"");
}

TEST_F(StatusTexts, PausedLeavesTheTextsAndPausedTimeIsNotCounted) {
  StatusReading r = Scan(40, 300, 1200);
  r.paused = true;
  EXPECT_FALSE(ComputeRateTexts(r));
  r.paused = false;
  r.pausedSeconds = 10;  // 30 seconds of work
  EXPECT_EQ(ComputeRateTexts(r)->rate, u"10.00 MB/second (300.00 MB in 30 seconds)");
  r.pausedSeconds = 100;  // elapsed never below 0
  EXPECT_EQ(ComputeRateTexts(r)->rate, u"");
}

TEST_F(StatusTexts, RecoveryUsesTheSavedBytes) {
  StatusReading r;
  r.activity = 1;
  r.ticksPerSecond = 1;
  r.nowTicks = 20;
  r.checkedBytes = 2000 * kMiB;
  r.savedBytes = 200 * kMiB;
  r.bytesScanned = 1;
  EXPECT_EQ(ComputeRateTexts(r)->rate, u"10.00 MB/second (200.00 MB in 20 seconds)");
  EXPECT_EQ(ComputeRateTexts(r)->remaining, FormatDuration(180, true));
}

TEST_F(StatusTexts, RecoveryPercentNeverPasses99) {
  StatusReading r;
  r.activity = 1;
  r.percent = 57;
  EXPECT_EQ(BarPercent(r), 0);  // nothing checked
  r.checkedBytes = 1000;
  r.savedBytes = 505;
  EXPECT_EQ(BarPercent(r), 50);
  r.savedBytes = 1000;
  EXPECT_EQ(BarPercent(r), 99);
  r.savedBytes = 5000;
  EXPECT_EQ(BarPercent(r), 99);
  r.activity = 0;
  EXPECT_EQ(BarPercent(r), 57);
  EXPECT_EQ(PercentText(57), u"57%");
}

TEST_F(StatusTexts, ProgressLines) {
  StatusReading r;
  r.activity = 1;
  r.progressText = u"Saving\r\nC:\\a.txt";
  ProgressLines l = SplitProgressLines(r);
  EXPECT_EQ(l.line1, u"Saving");
  EXPECT_EQ(l.line2, u"C:\\a.txt");
  r.progressText = u"one line";
  l = SplitProgressLines(r);
  EXPECT_EQ(l.line1, u"");
  EXPECT_EQ(l.line2, u"one line");
  r.activity = 0;
  r.progressText = u"Scanning\nmore";
  l = SplitProgressLines(r);
  EXPECT_EQ(l.line1, u"Scanning\nmore");
  EXPECT_EQ(l.line2, u"");
}

TEST_F(StatusTexts, Counters) {
  StatusReading r;
  r.total = 1234567;
  r.displayed = 1000;
  r.inProgress = 7;
  r.selected = 12;
  r.saved = 3;
  r.failed = 2;
  r.skipped = 1;
  r.phase = 1;
  CounterTexts c = ComputeCounterTexts(r);
  EXPECT_EQ(c.total, u"1,234,567");
  EXPECT_EQ(c.displayed, u"1,000");
  EXPECT_EQ(c.third, u"7");
  EXPECT_EQ(c.saved, u"3");
  EXPECT_EQ(c.failed, u"2");
  EXPECT_EQ(c.skipped, u"1");
  r.phase = 2;
  EXPECT_EQ(ComputeCounterTexts(r).third, u"12");
  r.checkedBytes = 3 * kMiB;
  EXPECT_EQ(ComputeCounterTexts(r).third, u"12 (3.00 MB)");
  EXPECT_EQ(ThirdCounterLabelId(1), 120);
  EXPECT_EQ(ThirdCounterLabelId(2), 563);
  EXPECT_EQ(ThirdCounterLabelId(3), 0);
}

TEST_F(StatusTexts, LogLines) {
  EXPECT_EQ(TrimLogLine(u"text\r\n\t "), u"text");
  EXPECT_EQ(TrimLogLine(u" lead stays"), u" lead stays");
  EXPECT_EQ(TrimLogLine(u"\r\n"), u"");
  EXPECT_EQ(LogTimeText(7, 5, 9), u"07:05:09");
  EXPECT_EQ(LogDateLine(2024, 3, 1), u"========== Friday, March 1, 2024 ==========\n");
}

}  // namespace
