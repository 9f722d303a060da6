#include "engine/RecoveryLog.h"

#include <errno.h>

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

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

}  // namespace

bool OpenRecoveryLog(WStringView folder) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  CProgressAndStats& stats = theProgressAndStats();
  stats.recoveryLogPath.clear();
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
      stats.recoveryLogPath = candidate;  // an earlier recovery's log: appended to
      return true;
    }
    if (i >= 1000) return false;
    candidate = FormatW(u"%s/%s[%03d].log", base, u"Recovery", i);
  }
  // No length limit on the path: a long destination gets its log too.
  FILE* f = std::fopen(ToUtf8(candidate).c_str(), "ab");
  if (!f) {
    ErrorMsg(nullptr, candidate.c_str());
    return false;
  }
  const bool ok = std::fputs("\xEF\xBB\xBF", f) >= 0 && std::fputs(kRecoveryLogHeader, f) >= 0 &&
                  std::fputc('\n', f) != EOF;
  if (std::fclose(f) != 0 || !ok) return false;
  stats.recoveryLogPath = candidate;
  return true;
}

void AppendRecoveryLog(WStringView text) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  const WString path = theProgressAndStats().recoveryLogPath;
  if (path.empty()) return;
  FILE* f = std::fopen(ToUtf8(path).c_str(), "ab");
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
  std::fclose(f);
}

void CloseRecoveryLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  theProgressAndStats().recoveryLogPath.clear();
  g_lastDay = -1;
}
