#include "engine/RecoveryLog.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/ProgressStats.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "platform/Platform.h"

namespace {

std::mutex g_logMutex;
int g_lastDay = -1;  // y*10000+m*100+d of the last date line
// The headless writer's file: opened at its first line, kept open for the
// run and written through a large buffer, flushed at the end of the run
// (and whenever asked).
FILE* g_logFile = nullptr;
WString g_logFilePath;
char g_logBuffer[1 << 16];

void CloseLocked() {
  if (g_logFile) std::fclose(g_logFile);
  g_logFile = nullptr;
  g_logFilePath.clear();
}

}  // namespace

WString RecoveryLogDateLine(int year, int month, int day) {
  static const char16_t* const kDays[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                          u"Thursday", u"Friday", u"Saturday"};
  static const char16_t* const kMonths[] = {u"January", u"February", u"March",     u"April",   u"May",      u"June",
                                            u"July",    u"August",   u"September", u"October", u"November", u"December"};
  using namespace std::chrono;
  const year_month_day ymd{std::chrono::year(year), std::chrono::month(unsigned(month)), std::chrono::day(unsigned(day))};
  const unsigned weekday = ymd.ok() ? std::chrono::weekday(sys_days(ymd)).c_encoding() : 0;
  const char16_t* monthName = (month >= 1 && month <= 12) ? kMonths[month - 1] : u"";
  const WString date = FormatW(u"%s, %s %d, %d", kDays[weekday], monthName, day, year);
  return FormatW(u"========== %s ==========\n", date);
}

bool OpenRecoveryLog(WStringView folder) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  CProgressAndStats& stats = theProgressAndStats();
  stats.recoveryLogPath.clear();
  CloseLocked();
  g_lastDay = -1;
  // A headless view's lines reach the log through the writer below.
  SetHeadlessLogWriter(&AppendRecoveryLog);
  if (folder.empty()) return false;
  WString base(folder);
  while (base.size() > 1 && base.back() == u'/') base.pop_back();
  WString candidate = FormatW(u"%s/%s.log", base, u"Recovery");
  for (int i = 1;; i++) {
    FILE* f = std::fopen(ToUtf8(candidate).c_str(), "rb");
    if (!f) {
      if (errno != ENOENT) return false;
      break;  // a new log under this name
    }
    char head[512];
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (n >= 27 && std::memcmp(head + 3, kRecoveryLogHeader, 24) == 0) {
      // An earlier recovery's log: appended to.
      stats.recoveryLogPath = candidate;
      return true;
    }
    if (i >= 1000) return false;
    candidate = FormatW(u"%s/%s[%03d].log", base, u"Recovery", i);
  }
  // No length limit on the path: a long destination gets its log too.
  FILE* f = std::fopen(ToUtf8(candidate).c_str(), "ab");
  bool ok = f && std::fputs("\xEF\xBB\xBF", f) >= 0 && std::fputs(kRecoveryLogHeader, f) >= 0 &&
            std::fputc('\n', f) != EOF;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) {
    ErrorMsg(nullptr, candidate.c_str());
    return false;
  }
  stats.recoveryLogPath = candidate;
  return true;
}

void AppendRecoveryLog(WStringView text) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  const WString& path = theProgressAndStats().recoveryLogPath;
  if (path.empty()) return;
  if (!g_logFile || g_logFilePath != path) {
    CloseLocked();
    g_logFile = std::fopen(ToUtf8(path).c_str(), "ab");
    if (!g_logFile) return;  // this line is lost; the next one tries again
    std::setvbuf(g_logFile, g_logBuffer, _IOFBF, sizeof g_logBuffer);
    g_logFilePath = path;
  }
  FILE* f = g_logFile;
  const plat::LocalTime t = plat::Now();
  const int day = t.year * 10000 + t.month * 100 + t.day;
  if (day != g_lastDay) {
    g_lastDay = day;
    std::fputs(ToUtf8(RecoveryLogDateLine(t.year, t.month, t.day)).c_str(), f);
  }
  // One message is one line: line breaks inside it become blanks.
  std::string line = ToUtf8(text);
  for (char& ch : line)
    if (ch == '\n' || ch == '\r') ch = ' ';
  std::fprintf(f, "%02d:%02d:%02d  %s\n", t.hour, t.minute, t.second, line.c_str());
}

void FlushRecoveryLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_logFile) std::fflush(g_logFile);
}

bool RecoveryLogIsOpen() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return !theProgressAndStats().recoveryLogPath.empty();
}

void CloseRecoveryLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  CloseLocked();
  theProgressAndStats().recoveryLogPath.clear();
  g_lastDay = -1;
}

int Checkpoint::Load(WStringView path) {
  path_ = ToUtf8(path);
  FILE* f = std::fopen(path_.c_str(), "r");
  if (!f) return 0;
  long v = 0;
  const bool ok = std::fscanf(f, "%ld", &v) == 1 && v >= 0 && v <= INT32_MAX;
  std::fclose(f);
  if (!ok) return 0;
  saved_ = int32_t(v);
  return 1;
}

void Checkpoint::SetInterval(int32_t n) { next_ = int32_t(std::min<int64_t>(INT32_MAX, int64_t(saved_) + n)); }

int Checkpoint::Advance(int32_t n) {
  count_ += n;
  if (count_ < saved_) return -1;
  if (count_ < next_) return 0;
  next_ = int32_t(std::min<int64_t>(INT32_MAX, int64_t(next_) + count_ - saved_));
  saved_ = count_;
  // A checkpoint file that cannot be written is ignored.
  if (!path_.empty()) {
    if (FILE* f = std::fopen(path_.c_str(), "w")) {
      std::fprintf(f, "%ld", long(count_));
      std::fclose(f);
    }
  }
  return 1;
}
