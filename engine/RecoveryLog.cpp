#include "engine/RecoveryLog.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
// The first failed write of the log this run (empty while all went well).
WString g_logError;

void NoteFailureLocked() {
  if (!g_logError.empty()) return;
  const int e = errno ? errno : EIO;
  g_logError = (g_logFilePath.empty() ? theProgressAndStats().recoveryLogPath : g_logFilePath) + u": " +
               FromUtf8(std::strerror(e));
}

void CloseLocked() {
  if (g_logFile) {
    errno = 0;
    if (std::fclose(g_logFile) != 0) NoteFailureLocked();
  }
  g_logFile = nullptr;
  g_logFilePath.clear();
}

// Opens the log file for appending without following a link planted under
// its name; `create` makes a new file and never takes an existing one.
FILE* OpenLogFile(const WString& path, bool create) {
  int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  if (create) flags |= O_CREAT | O_EXCL;
  const int fd = ::open(ToUtf8(path).c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE* f = ::fdopen(fd, "a");
  if (!f) ::close(fd);
  return f;
}

// Whether the file at path is a recovery log (a regular file, not a link,
// starting with the header); ENOENT in *err when nothing is there.
bool IsRecoveryLog(const WString& path, int* err) {
  *err = 0;
  const int fd = ::open(ToUtf8(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return false;
  }
  struct stat st;
  char head[512];
  ssize_t n = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, head, sizeof head);
  ::close(fd);
  return n >= 27 && std::memcmp(head + 3, kRecoveryLogHeader, 24) == 0;
}

}  // namespace

WString RecoveryLogDateLine(int year, int month, int day) {
  static const char16_t* const kDays[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                          u"Thursday", u"Friday", u"Saturday"};
  static const char16_t* const kMonths[] = {u"January",   u"February", u"March",    u"April",
                                            u"May",       u"June",     u"July",     u"August",
                                            u"September", u"October",  u"November", u"December"};
  using namespace std::chrono;
  const year_month_day ymd{std::chrono::year(year), std::chrono::month(unsigned(month)),
                           std::chrono::day(unsigned(day))};
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
  g_logError.clear();
  g_lastDay = -1;
  // A headless view's lines reach the log through the writer below.
  SetHeadlessLogWriter(&AppendRecoveryLog);
  if (folder.empty()) return false;
  WString base(folder);
  while (base.size() > 1 && base.back() == u'/') base.pop_back();
  WString candidate = FormatW(u"%s/%s.log", base, u"Recovery");
  // The file stays open for the run: whatever a recovered item later meets
  // under the log's name, the lines go to this file. A link under the name
  // is never followed (no log then); a folder or another file is passed
  // over for the next name, never replaced.
  bool create = false;
  for (int i = 1;; i++) {
    int err = 0;
    if (IsRecoveryLog(candidate, &err)) break;  // an earlier recovery's log: appended to
    if (err == ENOENT) {
      create = true;  // a new log under this name
      break;
    }
    if (err != 0) return false;
    if (i >= 1000) return false;
    candidate = FormatW(u"%s/%s[%03d].log", base, u"Recovery", i);
  }
  // No length limit on the path: a long destination gets its log too.
  errno = 0;
  FILE* f = OpenLogFile(candidate, create);
  bool ok = f != nullptr;
  if (ok && create)
    ok = std::fputs("\xEF\xBB\xBF", f) >= 0 && std::fputs(kRecoveryLogHeader, f) >= 0 && std::fputc('\n', f) != EOF &&
         std::fflush(f) == 0;
  if (!ok) {
    const int e = errno ? errno : EIO;
    if (f) std::fclose(f);
    if (f && create) ::unlink(ToUtf8(candidate).c_str());  // no header: not a log
    errno = e;
    ErrorMsg(nullptr, candidate.c_str());
    return false;
  }
  std::setvbuf(f, g_logBuffer, _IOFBF, sizeof g_logBuffer);
  g_logFile = f;
  g_logFilePath = candidate;
  stats.recoveryLogPath = candidate;
  return true;
}

namespace {

// The open log for the path in the progress object (opened again only when
// that path changed); null when there is none or it cannot be opened.
FILE* LogFileLocked() {
  const WString& path = theProgressAndStats().recoveryLogPath;
  if (path.empty()) return nullptr;
  if (!g_logFile || g_logFilePath != path) {
    CloseLocked();
    errno = 0;
    g_logFile = OpenLogFile(path, false);
    if (!g_logFile) {  // this line is lost; the next one tries again
      g_logFilePath = path;
      NoteFailureLocked();
      g_logFilePath.clear();
      return nullptr;
    }
    std::setvbuf(g_logFile, g_logBuffer, _IOFBF, sizeof g_logBuffer);
    g_logFilePath = path;
  }
  return g_logFile;
}

}  // namespace

void AppendRecoveryLogText(std::string_view utf8) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  FILE* f = LogFileLocked();
  if (!f) return;
  errno = 0;
  if (std::fwrite(utf8.data(), 1, utf8.size(), f) != utf8.size() || std::ferror(f)) NoteFailureLocked();
}

void AppendRecoveryLog(WStringView text) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  FILE* f = LogFileLocked();
  if (!f) return;
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
  errno = 0;
  if (std::fprintf(f, "%02d:%02d:%02d  %s\n", t.hour, t.minute, t.second, line.c_str()) < 0 || std::ferror(f))
    NoteFailureLocked();
}

void FlushRecoveryLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  errno = 0;
  if (g_logFile && std::fflush(g_logFile) != 0) NoteFailureLocked();
}

WString RecoveryLogError() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_logError;
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
