#include "foundation/Utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/RegKey.h"
#include "foundation/Trace.h"

namespace {

constexpr int64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10, kTiB = kGiB << 10;

// Message ids of the unit and time words.
constexpr int kMsgKB = 449, kMsgMB = 450, kMsgGB = 451, kMsgTB = 452;
constexpr int kMsgHour = 259, kMsgHours = 392, kMsgMinute = 374, kMsgMinutes = 375, kMsgSecond = 360,
              kMsgSeconds = 177;

const WString& Word(int64_t count, int singular, int plural) {
  return Msg(UsesPluralForm(count) ? plural : singular);
}

}  // namespace

// ---- sizes, numbers and durations ----

WString FormatSize(int64_t bytes, bool exact) {
  WString s;
  if (bytes == 0) s = u"0 " + Msg(kMsgKB);
  else if (bytes <= kKiB) s = u"1 " + Msg(kMsgKB);
  else if (bytes < kMiB) s = FormatW(u"%3.2f %s", double(bytes) / double(kKiB), Msg(kMsgKB));
  else if (bytes < kGiB) s = FormatW(u"%3.2f %s", double(bytes) / double(kMiB), Msg(kMsgMB));
  else if (bytes < kTiB) s = FormatW(u"%3.2f %s", double(bytes) / double(kGiB), Msg(kMsgGB));
  else s = FormatW(u"%3.2f %s", double(bytes) / double(kTiB), Msg(kMsgTB));
  if (exact) s += FormatW(u" (%I64d)", bytes);
  return s;
}

WString FormatNumber64(int64_t value) {
  // The magnitude as unsigned: negating the most negative value overflows.
  uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
  std::string digits = std::to_string(magnitude);
  WString separator = g_appState ? g_appState->thousandsSeparator : WString(u",");
  WString out;
  if (value < 0) out.push_back(u'-');
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
    out.push_back(char16_t(digits[i]));
  }
  return out;
}

WString FormatDuration(int64_t seconds, bool rounded) {
  if (seconds < 0) seconds = 0;
  int64_t h = seconds / 3600, m = seconds % 3600 / 60, s = seconds % 60;
  if (h != 0) {
    if (rounded && h >= 10) {
      if (m > 30) ++h;
      return FormatW(u"%I64d %s", h, Word(h, kMsgHour, kMsgHours));
    }
    return FormatW(u"%I64d %s %I64d %s", h, Word(h, kMsgHour, kMsgHours), m, Word(m, kMsgMinute, kMsgMinutes));
  }
  if (m != 0) {
    if (rounded) {
      if (s > 30) ++m;
      return FormatW(u"%I64d %s", m, Word(m, kMsgMinute, kMsgMinutes));
    }
    return FormatW(u"%I64d %s %I64d %s", m, Word(m, kMsgMinute, kMsgMinutes), s, Word(s, kMsgSecond, kMsgSeconds));
  }
  return FormatW(u"%I64d %s", s, Word(s, kMsgSecond, kMsgSeconds));
}

WString FormatByteCount(int64_t bytes, bool perSecond) {
  WString s;
  if (bytes >= kTiB) s = FormatW(u"%0.2f %s", double(bytes) / double(kTiB), Msg(kMsgTB));
  else if (bytes >= kGiB) s = FormatW(u"%0.2f %s", double(bytes) / double(kGiB), Msg(kMsgGB));
  else if (bytes >= kMiB) s = FormatW(u"%0.2f %s", double(bytes) / double(kMiB), Msg(kMsgMB));
  else if (bytes >= kKiB) s = FormatW(u"%0.2f %s", double(bytes) / double(kKiB), Msg(kMsgKB));
  else s = FormatW(u"%I64d %s", bytes, bytes < 2 ? u"byte" : u"bytes");
  if (perSecond) s += u"/" + Msg(kMsgSecond);
  return s;
}

std::string FormatUInt64(uint64_t value) { return std::to_string(value); }

int FormatMaxPathArgs(WString& out, WStringView format, FmtArgs args) {
  out = FormatWArgs(format, args);
  if (out.size() < kMaxPathChars) return int(out.size());
  out.resize(kMaxPathChars - 1);
  return -1;
}

WString ConcatString(WStringView text, WStringView tail) {
  WString s;
  s.reserve(text.size() + tail.size());
  s.append(text);
  s.append(tail);
  return s;
}

bool UsesPluralForm(int64_t count) {
  if (count > 1) return true;
  if (count == 1) return false;
  return g_appState && g_appState->language == 1;
}

// ---- powers of two ----

SectorSizeCheck IsSectorSize(int64_t size, int64_t limit) {
  if (size > limit) return {512};
  if (size <= 512) return {512 + (size == 512 ? 1 : 0)};
  uint64_t p = 512;
  while (p < uint64_t(size)) p <<= 1;  // size <= INT64_MAX, so p stays below 2^63
  return {int64_t(p & ~uint64_t(0xFF)) + (p == uint64_t(size) ? 1 : 0)};
}

int Log2Exact(int64_t n) {
  if (n <= 1) return 0;
  if ((n & (n - 1)) != 0) return -1;
  return __builtin_ctzll(uint64_t(n));
}

int Log2Ceil(int64_t n, int* exact) {
  int i = 0;
  int64_t p = 1;
  while (p < n && i < 32) {
    p <<= 1;
    ++i;
  }
  if (exact) *exact = p == n ? 1 : 0;
  return i;
}

void FreeStringArray(char16_t** array, int count) {
  if (!array) return;
  for (int i = 0; i < count; ++i) delete[] array[i];
  delete[] array;
}

// ---- run-list file ----

namespace {

enum class Num { Ok, Missing, Overflow };

// A decimal number after leading blanks, with an optional sign, read up to
// its first other character.
Num ParseNumber(std::string_view s, int64_t* out) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return Num::Missing;
  uint64_t v = 0;
  const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    uint64_t d = uint64_t(s[i] - '0');
    if (v > (limit - d) / 10) return Num::Overflow;
    v = v * 10 + d;
  }
  *out = negative ? int64_t(uint64_t(0) - v) : int64_t(v);
  return Num::Ok;
}

// "a,b" of a header line; false when there is no comma or a number is bad.
bool ParsePair(std::string_view line, int64_t* a, int64_t* b) {
  size_t comma = line.find(',');
  if (comma == std::string_view::npos) return false;
  return ParseNumber(line, a) == Num::Ok && ParseNumber(line.substr(comma + 1), b) == Num::Ok;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) errno = EISDIR, ok = false;
  if (ok && st.st_size > kMaxRunListFileBytes) errno = EFBIG, ok = false;
  if (ok) {
    text->resize(size_t(st.st_size));
    size_t done = 0;
    while (done < text->size()) {
      ssize_t n = read(fd, text->data() + done, text->size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += size_t(n);
    }
    if (done != text->size() && errno == 0) errno = EIO;
    ok = done == text->size();
  }
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

}  // namespace

int ReadTextFile(WStringView path, int64_t* firstValue, int32_t* secondValue, std::vector<RunListRun>* runs,
                 int64_t* thirdValue, std::vector<int64_t>* runValues) {
  auto fail = [&]() {
    if (runs) runs->clear();
    if (runValues) runValues->clear();
    return 0;
  };
  std::string text;
  errno = 0;
  if (!ReadWholeFile(ToUtf8(path), &text)) {
    ErrorMsg(nullptr, WString(path).c_str());
    return fail();
  }
  std::vector<std::string_view> lines;
  {
    std::string_view all(text);
    size_t i = 0;
    while (i < all.size()) {
      size_t j = all.find_first_of("\r\n", i);
      if (j == std::string_view::npos) j = all.size();
      if (j > i) lines.push_back(all.substr(i, j - i));
      i = j + 1;
    }
  }

  bool haveLine1 = false, haveLine2 = false;
  int64_t first = 0, second = 0, third = 0, count = 0;
  std::vector<RunListRun> readRuns;
  std::vector<int64_t> readValues;
  if (lines.size() >= 1) {
    if (!ParsePair(lines[0], &first, &second) || first < 0 || second <= 0 || second > INT32_MAX) return fail();
    haveLine1 = true;
  }
  if (lines.size() >= 2) {
    if (!ParsePair(lines[1], &third, &count) || third < 0 || count <= 0) return fail();
    haveLine2 = true;
  }
  if (lines.size() >= 3) {
    // The count comes from the file: never size anything beyond the lines present.
    size_t room = std::min<uint64_t>(uint64_t(count), lines.size() - 2);
    readRuns.reserve(room);
    readValues.reserve(room);
    for (size_t l = 2; l < lines.size() && readRuns.size() < room; ++l) {
      int64_t v[4];
      std::string_view rest = lines[l];
      bool complete = true;
      for (int k = 0; k < 4; ++k) {
        Num r = ParseNumber(rest, &v[k]);
        if (r == Num::Overflow) return fail();
        if (r == Num::Missing) {
          complete = false;
          break;
        }
        size_t comma = rest.find(',');
        if (k < 3 && comma == std::string_view::npos) {
          complete = false;
          break;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      }
      if (!complete) continue;  // fewer than four numbers: the next line takes its place
      if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[1] > INT64_MAX - v[2]) return fail();
      readRuns.push_back({v[0], v[1], v[1] + v[2]});
      readValues.push_back(v[3]);
    }
  }

  if (haveLine1) {
    if (firstValue) *firstValue = first;
    if (secondValue) *secondValue = int32_t(second);
  }
  if (haveLine2 && thirdValue) *thirdValue = third;
  if (runs) *runs = std::move(readRuns);
  if (runValues) *runValues = std::move(readValues);
  return 1;
}

// ---- stand-ins ----

namespace {
bool g_uxThemeAvailable = false;
}

int32_t QueryRegString(const KeyHandle& key, WStringView valueName, WString* out) {
  CMyRegKey k;
  k.key = key;
  WString name(valueName);
  const char16_t* n = name.empty() ? nullptr : name.c_str();
  auto isText = [](uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; };
  // Twice: the value may grow between asking for its size and reading it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t type = 0, size = 0;
    if (k.QueryValueW(n, &type, nullptr, &size) != 0 || !isText(type)) return kEInvalidArg;
    std::vector<char16_t> buffer(size / 2 + 2, 0);
    uint32_t room = uint32_t(buffer.size() * sizeof(char16_t)) - 1;  // the reader adds one zero byte
    int e = k.QueryValueW(n, &type, buffer.data(), &room);
    if (e == ERANGE) continue;
    if (e != 0 || !isText(type)) return kEInvalidArg;
    size_t chars = std::min<size_t>(room / 2, buffer.size());
    while (chars > 0 && buffer[chars - 1] == 0) --chars;
    if (out) out->assign(buffer.data(), chars);
    return 0;
  }
  return kEInvalidArg;
}

int32_t QueryClassesRootValue(WStringView keyName, WStringView subKey, WString* out) {
  CMyRegKey k;
  WString path = ConcatString(ConcatString(keyName, u"\\"), subKey);
  if (k.OpenW(kKeyRootClasses, path.c_str()) != 0) return kEInvalidArg;
  return QueryRegString(k.key, u"", out);
}

bool LoadUxTheme() {
  g_uxThemeAvailable = false;
  return false;
}
void FreeUxTheme() { g_uxThemeAvailable = false; }
bool UxThemeAvailable() { return g_uxThemeAvailable; }

void FitControlToText(const void*, int, int) {}
