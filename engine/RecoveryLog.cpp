#include "engine/RecoveryLog.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/ProgressStats.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "platform/Platform.h"

namespace {

std::mutex g_logMutex;
int g_lastDay = -1;  // y*10000+m*100+d of the last date line
// The open log: kept open for the whole run and written through a large
// buffer, flushed at the end of the run (and whenever asked).
FILE* g_logFile = nullptr;
char g_logBuffer[1 << 16];

void CloseLocked() {
  if (g_logFile) std::fclose(g_logFile);
  g_logFile = nullptr;
}

bool OpenLocked(const WString& path) {
  CloseLocked();
  g_logFile = std::fopen(ToUtf8(path).c_str(), "ab");
  if (!g_logFile) return false;
  std::setvbuf(g_logFile, g_logBuffer, _IOFBF, sizeof g_logBuffer);
  return true;
}

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

}  // namespace

bool OpenRecoveryLog(WStringView folder) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  CProgressAndStats& stats = theProgressAndStats();
  stats.recoveryLogPath.clear();
  CloseLocked();
  g_lastDay = -1;
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
      if (!OpenLocked(candidate)) {
        ErrorMsg(nullptr, candidate.c_str());
        return false;
      }
      stats.recoveryLogPath = candidate;
      return true;
    }
    if (i >= 1000) return false;
    candidate = FormatW(u"%s/%s[%03d].log", base, u"Recovery", i);
  }
  // No length limit on the path: a long destination gets its log too.
  if (!OpenLocked(candidate)) {
    ErrorMsg(nullptr, candidate.c_str());
    return false;
  }
  const bool ok = std::fputs("\xEF\xBB\xBF", g_logFile) >= 0 && std::fputs(kRecoveryLogHeader, g_logFile) >= 0 &&
                  std::fputc('\n', g_logFile) != EOF && std::fflush(g_logFile) == 0;
  if (!ok) {
    ErrorMsg(nullptr, candidate.c_str());
    CloseLocked();
    return false;
  }
  stats.recoveryLogPath = candidate;
  return true;
}

void AppendRecoveryLog(WStringView text) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  FILE* f = g_logFile;
  if (!f) return;
  const plat::LocalTime t = plat::Now();
  const int day = t.year * 10000 + t.month * 100 + t.day;
  if (day != g_lastDay) {
    g_lastDay = day;
    std::fprintf(f, "========== %s %d, %d ==========\n", kMonths[(t.month - 1) % 12], t.day, t.year);
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
  return g_logFile != nullptr;
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
