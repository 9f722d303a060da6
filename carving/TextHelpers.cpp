#include "carving/TextHelpers.h"

#include <chrono>
#include <cstring>

#include "carving/FileTypes.h"

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr int64_t kFileTimeTicksPerSecond = 10000000LL;

uint64_t FileTimeNow() {
  using namespace std::chrono;
  auto ticks = duration_cast<duration<int64_t, std::ratio<1, kFileTimeTicksPerSecond>>>(
                   system_clock::now().time_since_epoch())
                   .count();
  return uint64_t(ticks + kSecondsFrom1601To1970 * kFileTimeTicksPerSecond);
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool TwoDigits(std::string_view text, size_t at, int* value) {
  char a = text[at], b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  *value = (a - '0') * 10 + (b - '0');
  return true;
}

// Fixed positions: year 0-3, then month, day, hour, minute and second of two
// digits each, every field followed by one separator of any kind. Nothing
// for a text that is not a real date from 1601 on.
std::optional<uint64_t> DateTextToFileTime(std::string_view text) {
  if (text.size() < 19) return std::nullopt;
  int hi, lo, month, day, hour, minute, second;
  if (!TwoDigits(text, 0, &hi) || !TwoDigits(text, 2, &lo) || !TwoDigits(text, 5, &month) ||
      !TwoDigits(text, 8, &day) || !TwoDigits(text, 11, &hour) || !TwoDigits(text, 14, &minute) ||
      !TwoDigits(text, 17, &second))
    return std::nullopt;
  int year = hi * 100 + lo;
  static constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] || hour > 23 ||
      minute > 59 || second > 59)
    return std::nullopt;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return uint64_t((seconds + kSecondsFrom1601To1970) * kFileTimeTicksPerSecond);
}

}  // namespace

TextCharCounts CountTextChars(const void* buffer, size_t length) {
  TextCharCounts counts;
  if (!buffer) return counts;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    if (p[i] != 0) {
      ++counts.nonZero;
      counts.trailingZeros = 0;
    } else {
      ++counts.trailingZeros;
    }
    counts.printable += kPrintableByte[p[i]];
  }
  return counts;
}

const char* FindExifDateTime(const void* buffer, size_t length) {
  static constexpr char kLow[] = "0000:00:00 00:00:00";
  static constexpr char kHigh[] = "9999:99:99 99:99:99";
  constexpr size_t kChars = sizeof(kLow) - 1;
  if (!buffer || length < kChars) return nullptr;
  const char* p = static_cast<const char*>(buffer);
  size_t k = 0;
  for (size_t i = 0; i < length; ++i) {
    // A byte that breaks a partial match is not tried again as a first one.
    if (p[i] >= kLow[k] && p[i] <= kHigh[k]) {
      if (++k == kChars) return p + i + 1 - kChars;
    } else {
      k = 0;
    }
  }
  return nullptr;
}

std::optional<std::string_view> FindXmlTagText(const char* data, size_t length, std::string_view tag) {
  if (!data || tag.empty()) return std::nullopt;
  const void* nul = memchr(data, 0, length);
  std::string_view text(data, nul ? size_t(static_cast<const char*>(nul) - data) : length);
  size_t at = text.find(tag);
  if (at == std::string_view::npos) return std::nullopt;
  size_t open = text.find('>', at + tag.size());
  if (open == std::string_view::npos) return std::nullopt;
  size_t close = text.find('<', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return text.substr(open + 1, close - open - 1);
}

void AppendTextLine(std::string_view text, std::string* out) {
  if (!out || text == "\r\n") return;
  out->append(text);
  out->append("\r\n");
}

uint64_t GetCoreXmlModified(const char* data, size_t length) {
  if (auto text = FindXmlTagText(data, length, "<dcterms:modified")) {
    if (auto time = DateTextToFileTime(*text)) return *time;
  }
  return FileTimeNow();
}

std::optional<std::string_view> GetCoreXmlLastModifiedBy(const char* data, size_t length) {
  return FindXmlTagText(data, length, "<cp:lastModifiedBy");
}

int ClassifyTiffKind(const uint8_t* header, size_t length) {
  if (header && length >= 10 && header[8] == 'C' && header[9] == 'R') return kTypeCr2;
  return kTypeTif;
}
