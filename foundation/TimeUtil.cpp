#include "foundation/TimeUtil.h"

#include <chrono>

#include <cerrno>
#include <climits>
#include <ctime>

namespace {

constexpr int64_t kSecondsPerDay = 86400;

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Value of n decimal digits, -1 when one of them is not a digit.
int Digits(std::string_view text, size_t pos, size_t n) {
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

uint64_t UnixTimeToFileTime(int64_t seconds) noexcept {
  constexpr int64_t kMaxSeconds = int64_t(UINT64_MAX / uint64_t(kFileTimeUnitsPerSecond)) - kFileTimeUnixEpochSeconds;
  if (seconds < -kFileTimeUnixEpochSeconds || seconds > kMaxSeconds) return 0;
  return uint64_t(seconds + kFileTimeUnixEpochSeconds) * uint64_t(kFileTimeUnitsPerSecond);
}

int64_t FileTimeToUnixTime(uint64_t fileTime) noexcept {
  if (fileTime > uint64_t(INT64_MAX))
    return int64_t(fileTime / uint64_t(kFileTimeUnitsPerSecond)) - kFileTimeUnixEpochSeconds;
  return (int64_t(fileTime) - kFileTimeUnixEpochSeconds * kFileTimeUnitsPerSecond) / kFileTimeUnitsPerSecond;
}

uint64_t CivilTimeToFileTime(int year, int month, int day, int hour, int minute, int second,
                             int millisecond) noexcept {
  if (year < 1601 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999)
    return 0;
  int64_t seconds = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  uint64_t ft = UnixTimeToFileTime(seconds);
  return ft + uint64_t(millisecond) * 10000u;
}

uint64_t DateTextToFileTime(std::string_view text) noexcept {
  if (text.size() < 19) return 0;
  for (size_t sep : {4u, 7u, 10u, 13u, 16u}) {
    char c = text[sep];
    if ((c >= '0' && c <= '9') || c == '\0') return 0;
  }
  int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) return 0;
  return CivilTimeToFileTime(year, month, day, hour, minute, second);
}

std::optional<int64_t> DateTextToUnixTime(std::string_view text) noexcept {
  uint64_t ft = DateTextToFileTime(text);
  if (ft == 0) return std::nullopt;
  return FileTimeToUnixTime(ft);
}

uint64_t BuildDateToFileTime(std::string_view date, std::string_view time) noexcept {
  static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  auto skipBlanks = [](std::string_view s, size_t& i) {
    while (i < s.size() && s[i] == ' ') ++i;
  };
  auto number = [](std::string_view s, size_t& i, int maxDigits) {
    int v = 0, n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && n < maxDigits) v = v * 10 + (s[i++] - '0'), ++n;
    return n ? v : -1;
  };
  size_t i = 0;
  skipBlanks(date, i);
  if (date.size() < i + 3) return 0;
  size_t pos = kMonths.find(date.substr(i, 3));
  if (pos == std::string_view::npos || pos % 3 != 0) return 0;
  int month = int(pos / 3) + 1;
  i += 3;
  skipBlanks(date, i);
  int day = number(date, i, 2);
  skipBlanks(date, i);
  int year = number(date, i, 4);
  size_t j = 0;
  int hour = number(time, j, 2);
  if (j >= time.size() || time[j++] != ':') return 0;
  int minute = number(time, j, 2);
  if (j >= time.size() || time[j++] != ':') return 0;
  int second = number(time, j, 2);
  // Range-check before mktime, which would silently normalise.
  if (CivilTimeToFileTime(year, month, day, hour, minute, second) == 0) return 0;
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  errno = 0;
  time_t t = mktime(&tm);
  if (t == time_t(-1) && errno != 0) return 0;
  return UnixTimeToFileTime(int64_t(t));
}

int ParseBuildDate(uint64_t* out) noexcept {
  uint64_t ft = BuildDateToFileTime(__DATE__, __TIME__);
  if (out) *out = ft;
  return ft != 0 ? 1 : 0;
}

uint64_t CurrentFileTime() noexcept {
  using namespace std::chrono;
  int64_t ticks = duration_cast<duration<int64_t, std::ratio<1, kFileTimeUnitsPerSecond>>>(
                      system_clock::now().time_since_epoch())
                      .count();
  return uint64_t(ticks + kFileTimeUnixEpochSeconds * kFileTimeUnitsPerSecond);
}
