#include "foundation/Utilities.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TestUtil.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/RegKey.h"
#include "foundation/Trace.h"

namespace {

TEST(Utilities, FormatSize) {
  GlobalObjectsScope scope;
  struct Case {
    int64_t bytes;
    bool exact;
    WString text;
  } cases[] = {{0, false, u"0 KB"},
               {1, false, u"1 KB"},
               {500, false, u"1 KB"},
               {1024, false, u"1 KB"},
               {-5, false, u"1 KB"},
               {1025, false, u"1.00 KB"},
               {1536, false, u"1.50 KB"},
               {1536, true, u"1.50 KB (1536)"},
               {1048575, false, u"1024.00 KB"},
               {1048576, false, u"1.00 MB"},
               {1073741824, false, u"1.00 GB"},
               {1099511627775, false, u"1024.00 GB"},
               {1099511627776, false, u"1.00 TB"},
               {INT64_MAX, true, u"8388608.00 TB (9223372036854775807)"}};
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes, c.exact), c.text) << c.bytes;
}

TEST(Utilities, FormatByteCount) {
  GlobalObjectsScope scope;
  struct Case {
    int64_t bytes;
    bool rate;
    WString text;
  } cases[] = {{0, false, u"0 byte"},          {1, false, u"1 byte"},
               {2, false, u"2 bytes"},         {1023, true, u"1023 bytes/second"},
               {1024, false, u"1.00 KB"},      {1572864, true, u"1.50 MB/second"},
               {1073741824, false, u"1.00 GB"}, {3298534883328, false, u"3.00 TB"}};
  for (const auto& c : cases) EXPECT_EQ(FormatByteCount(c.bytes, c.rate), c.text) << c.bytes;
}

TEST(Utilities, FormatNumber64) {
  GlobalObjectsScope scope;
  struct Case {
    int64_t value;
    WString text;
  } cases[] = {{-1234567, u"-1,234,567"},
               {0, u"0"},
               {999, u"999"},
               {1000, u"1,000"},
               {-100, u"-100"},
               {123456, u"123,456"},
               {INT64_MAX, u"9,223,372,036,854,775,807"},
               {INT64_MIN, u"-9,223,372,036,854,775,808"}};  // no overflow on negation
  g_appState->thousandsSeparator = u",";
  for (const auto& c : cases) EXPECT_EQ(FormatNumber64(c.value), c.text) << c.value;
  g_appState->thousandsSeparator = u"\u202f";  // narrow no-break space, as some locales use
  EXPECT_EQ(FormatNumber64(-1234567), u"-1\u202f234\u202f567");
  g_appState->thousandsSeparator = u"";
  EXPECT_EQ(FormatNumber64(1234567), u"1234567");
}

TEST(Utilities, FormatDuration) {
  GlobalObjectsScope scope;
  struct Case {
    int64_t seconds;
    bool rounded;
    WString text;
  } cases[] = {{3725, false, u"1 hour 2 minutes"},
               {36000 + 1860, true, u"11 hours"},
               {36000 + 1800, true, u"10 hours"},
               {36000 + 1860, false, u"10 hours 31 minutes"},
               {5 * 3600 + 31 * 60, true, u"5 hours 31 minutes"},  // rounding starts at 10 hours
               {1, false, u"1 second"},
               {59, true, u"59 seconds"},
               {61, false, u"1 minute 1 second"},
               {125, false, u"2 minutes 5 seconds"},
               {125, true, u"2 minutes"},
               {150, true, u"2 minutes"},
               {151, true, u"3 minutes"},
               {89, true, u"1 minute"},
               {91, true, u"2 minutes"},
               {2 * 3600 + 60, false, u"2 hours 1 minute"},
               // English takes the singular for 0, by the plural rule.
               {0, false, u"0 second"},
               {-7, false, u"0 second"}};
  for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.seconds, c.rounded), c.text) << c.seconds;
}

TEST(Utilities, UsesPluralForm) {
  EXPECT_FALSE(UsesPluralForm(0));  // no settings object
  GlobalObjectsScope scope;
  struct Case {
    int64_t count;
    bool english, language1;
  } cases[] = {{2, true, true}, {INT64_MAX, true, true}, {1, false, false},
               {0, false, true}, {-1, false, true},       {INT64_MIN, false, true}};
  for (const auto& c : cases) {
    g_appState->language = 0;
    EXPECT_EQ(UsesPluralForm(c.count), c.english) << c.count;
    g_appState->language = 1;
    EXPECT_EQ(UsesPluralForm(c.count), c.language1) << c.count;
  }
  g_appState->language = 0;
}

TEST(Utilities, SmallTexts) {
  EXPECT_EQ(FormatUInt64(0), "0");
  EXPECT_EQ(FormatUInt64(UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(ConcatString(u"Disk ", u"3"), u"Disk 3");
  EXPECT_EQ(ConcatString(u"", u""), u"");

  WString out;
  EXPECT_EQ(FormatMaxPath(out, u"%s/%s", u"/home", u"file.txt"), 14);
  EXPECT_EQ(out, u"/home/file.txt");
  WString longName(300, u'n');
  EXPECT_EQ(FormatMaxPath(out, u"/%s", longName), -1);  // the caller learns that it was cut
  EXPECT_EQ(out.size(), kMaxPathChars - 1);
  EXPECT_EQ(FormatMaxPath(out, u"%s", WString(259, u'x')), 259);
}

TEST(Utilities, IsSectorSize) {
  struct Case {
    int64_t size, limit, code;
    bool ok;
  } cases[] = {{512, 4096, 513, true},      {1024, 4096, 1025, true},   {4096, 4096, 4097, true},
               {8192, 4096, 512, false},    {511, 4096, 512, false},    {0, 4096, 512, false},
               {-512, 4096, 512, false},    {513, 4096, 1024, false},   {2049, 4096, 4096, false},
               {3000, 4096, 4096, false},   {1024, 512, 512, false},    {int64_t(1) << 40, INT64_MAX, (int64_t(1) << 40) + 1, true},
               {(int64_t(1) << 40) + 1, INT64_MAX, int64_t(1) << 41, false}};
  for (const auto& c : cases) {
    SectorSizeCheck r = IsSectorSize(c.size, c.limit);
    EXPECT_EQ(r.code, c.code) << c.size;
    EXPECT_EQ(bool(r), c.ok) << c.size;
    EXPECT_EQ(r & 1, c.ok ? 1 : 0) << c.size;  // the old callers' test
  }
  EXPECT_EQ(IsSectorSize(3000, 4096).RoundedUp(), 4096);
  EXPECT_FALSE(IsSectorSize(INT64_MAX, INT64_MAX));  // no endless doubling
  // Every power of two from 512 to the limit, and nothing else.
  for (int64_t v = 0; v <= 70000; ++v) {
    bool power = v >= 512 && v <= 65536 && std::has_single_bit(uint64_t(v));
    ASSERT_EQ(bool(IsSectorSize(v, 65536)), power) << v;
  }
}

TEST(Utilities, Log2) {
  struct Exact {
    int64_t n;
    int log;
  } exact[] = {{4096, 12}, {4097, -1}, {1, 0},  {0, 0},           {-8, 0},
               {2, 1},     {3, -1},    {512, 9}, {int64_t(1) << 62, 62}, {INT64_MAX, -1}};
  for (const auto& c : exact) EXPECT_EQ(Log2Exact(c.n), c.log) << c.n;

  struct Ceil {
    int64_t n;
    int log, exactFlag;
  } ceil[] = {{1, 0, 1},  {2, 1, 1},  {3, 2, 0},  {4096, 12, 1}, {4097, 13, 0}, {0, 0, 0}, {-5, 0, 0},
              {int64_t(1) << 32, 32, 1}, {(int64_t(1) << 32) + 1, 32, 0}, {int64_t(1) << 40, 32, 0}};
  for (const auto& c : ceil) {
    int flag = -1;
    EXPECT_EQ(Log2Ceil(c.n, &flag), c.log) << c.n;
    EXPECT_EQ(flag, c.exactFlag) << c.n;
    EXPECT_EQ(Log2Ceil(c.n), c.log) << c.n;
  }
  // Against the standard library over a range.
  for (int64_t n = 1; n <= 70000; ++n) {
    int flag = 0;
    ASSERT_EQ(Log2Ceil(n, &flag), int(std::bit_width(uint64_t(n - 1)))) << n;
    ASSERT_EQ(flag, std::has_single_bit(uint64_t(n)) ? 1 : 0) << n;
  }
}

TEST(Utilities, HexEncode) {
  const uint8_t two[] = {0x00, 0xAB};
  char out[6] = {'Z', 'Z', 'Z', 'Z', 'Z', 'Z'};
  EXPECT_EQ(HexEncode(out, two, 2), 0);
  EXPECT_EQ(std::string(out, 4), "00ab");
  EXPECT_EQ(out[4], 'Z');  // no terminator
  // Every byte value, in both widths, against printf.
  uint8_t all[256];
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  std::string narrow(512, '?');
  WString wide(512, u'?');
  HexEncode(narrow.data(), all, 256);
  HexEncode(wide.data(), all, 256);
  std::string expected;
  for (int i = 0; i < 256; ++i) {
    char b[3];
    snprintf(b, sizeof b, "%02x", i);
    expected += b;
  }
  EXPECT_EQ(narrow, expected);
  EXPECT_EQ(ToUtf8(wide), expected);
  EXPECT_EQ(HexEncode(out, nullptr, 0), 0);
}

TEST(Utilities, FreeStringArray) {
  FreeStringArray(nullptr, 5);
  char16_t** a = new char16_t*[3];
  for (int i = 0; i < 3; ++i) a[i] = new char16_t[4]{u'a', u'b', u'c', 0};
  FreeStringArray(a, 3);  // the sanitizer build checks that all four blocks go
}

// ---- run-list file ----

struct RunListResult {
  int ok = -1;
  int64_t first = -7;
  int32_t second = 4096;  // preset, as the disk-image dialog does
  int64_t third = -9;
  std::vector<RunListRun> runs{{1, 2, 3}};  // must be replaced or cleared
  std::vector<int64_t> values{42};
};

RunListResult ReadRunList(const std::string& dir, const std::string& text) {
  std::string path = dir + "/runs_list.csv";
  WriteFileText(path, text);
  RunListResult r;
  r.ok = ReadTextFile(FromUtf8(path), &r.first, &r.second, &r.runs, &r.third, &r.values);
  return r;
}

TEST(Utilities, ReadTextFileExample) {
  const TempFolder dirTemp("runlist");
  std::string dir = dirTemp.Path();
  for (const char* eol : {"\r\n", "\n", "\r", "\r\n\r\n"}) {
    std::string e = eol;
    RunListResult r = ReadRunList(dir, "0,4096" + e + "1048576,2" + e + "10,100,8,0" + e + "20,200,8,1" + e);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.second, 4096);
    EXPECT_EQ(r.third, 1048576);
    EXPECT_EQ(r.runs, (std::vector<RunListRun>{{10, 100, 108}, {20, 200, 208}}));
    EXPECT_EQ(r.values, (std::vector<int64_t>{0, 1}));
  }
  // A run line of three numbers between the two is skipped without effect,
  // and so is a line whose field has no digits.
  RunListResult r = ReadRunList(dir, "0,4096\n1048576,2\n10,100,8,0\n15,150,8\n16,x,1,1\n20,200,8,1\n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.runs, (std::vector<RunListRun>{{10, 100, 108}, {20, 200, 208}}));
  EXPECT_EQ(r.values, (std::vector<int64_t>{0, 1}));
  // Blanks, signs and trailing text of a number.
  r = ReadRunList(dir, "  +7 , 512\n 64,1\n 1 ,  +2, 3 bytes, -1 \n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.first, 7);
  EXPECT_EQ(r.second, 512);
  EXPECT_EQ(r.third, 64);
  EXPECT_EQ(r.runs, (std::vector<RunListRun>{{1, 2, 5}}));
  EXPECT_EQ(r.values, (std::vector<int64_t>{-1}));
}

TEST(Utilities, ReadTextFileCounts) {
  const TempFolder dirTemp("runlist_counts");
  std::string dir = dirTemp.Path();
  // The count claims far more runs than there are lines: the lines decide.
  RunListResult r = ReadRunList(dir, "0,4096\n100,9223372036854775807\n1,2,3,4\n5,6,7,8\n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.runs.size(), 2u);
  EXPECT_LE(r.runs.capacity(), 2u);
  // More lines than the count: the read stops at the count.
  r = ReadRunList(dir, "0,4096\n100,1\n1,2,3,4\n5,6,7,8\n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.runs, (std::vector<RunListRun>{{1, 2, 5}}));
  // The text ends before any run line: success, no runs.
  r = ReadRunList(dir, "3,4096\n100,5\n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_TRUE(r.runs.empty());
  EXPECT_TRUE(r.values.empty());
  EXPECT_EQ(r.third, 100);
  // Missing lines keep the caller's values.
  r = ReadRunList(dir, "3,8192\n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.first, 3);
  EXPECT_EQ(r.second, 8192);
  EXPECT_EQ(r.third, -9);
  r = ReadRunList(dir, "\r\n\n");
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.first, -7);
  EXPECT_EQ(r.second, 4096);
  EXPECT_TRUE(r.runs.empty());
}

TEST(Utilities, ReadTextFileFailures) {
  const TempFolder dirTemp("runlist_bad");
  std::string dir = dirTemp.Path();
  const char* bad[] = {
      "0,4096\n1048576,0\n10,100,8,0\n",                    // run count 0
      "0 4096\n1048576,2\n10,100,8,0\n",                    // line 1 without a comma
      "0,4096\n1048576 2\n10,100,8,0\n",                    // line 2 without a comma
      "0,4096\n1048576,-2\n10,100,8,0\n",                   // negative count
      "0,4096\n1048576,99999999999999999999\n1,2,3,4\n",    // count beyond 64 bits
      "0,4096\n-1,2\n10,100,8,0\n",                         // negative length to copy
      "-1,4096\n1048576,2\n10,100,8,0\n",                   // negative start
      "0,0\n1048576,2\n10,100,8,0\n",                       // no cluster size
      "0,4294967296\n1048576,2\n10,100,8,0\n",              // cluster size beyond 32 bits
      "0,4096\n1048576,2\n-10,100,8,0\n",                   // negative run fields
      "0,4096\n1048576,2\n10,-100,8,0\n",
      "0,4096\n1048576,2\n10,100,-8,0\n",
      "0,4096\n1048576,2\n10,9223372036854775807,1,0\n",    // end beyond 64 bits
      "0,4096\n1048576,2\n10,100,8,99999999999999999999\n",  // value beyond 64 bits
      "x,4096\n1048576,2\n",                                // no number at all
  };
  for (const char* text : bad) {
    RunListResult r = ReadRunList(dir, text);
    EXPECT_EQ(r.ok, 0) << text;
    EXPECT_TRUE(r.runs.empty()) << text;
    EXPECT_TRUE(r.values.empty()) << text;
    EXPECT_EQ(r.first, -7) << text;  // nothing half-written
    EXPECT_EQ(r.third, -9) << text;
  }
  // Missing file, a folder, an oversized (sparse) file.
  RunListResult r;
  EXPECT_EQ(ReadTextFile(FromUtf8(dir + "/missing.csv"), &r.first, &r.second, &r.runs, &r.third, &r.values), 0);
  EXPECT_TRUE(r.runs.empty());
  EXPECT_EQ(theTrace().LastErrorCode(), ENOENT);
  EXPECT_EQ(ReadTextFile(FromUtf8(dir), &r.first, &r.second, &r.runs, &r.third, &r.values), 0);
  std::string big = dir + "/big.csv";
  ASSERT_EQ(truncate((WriteFileText(big, "0,4096\n"), big.c_str()), kMaxRunListFileBytes + 1), 0);
  EXPECT_EQ(ReadTextFile(FromUtf8(big), &r.first, &r.second, &r.runs, &r.third, &r.values), 0);
  EXPECT_EQ(theTrace().LastErrorCode(), EFBIG);
  // Null outputs are allowed.
  WriteFileText(dir + "/ok.csv", "0,4096\n10,1\n1,2,3,4\n");
  EXPECT_EQ(ReadTextFile(FromUtf8(dir + "/ok.csv"), nullptr, nullptr, nullptr, nullptr, nullptr), 1);
}

TEST(Utilities, QueryRegString) {
  const TempFolder cfgTemp("regstring");
  std::string cfg = cfgTemp.Path();
  const char* old = getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
  CMyRegKey key;
  ASSERT_EQ(key.CreateW(kKeyRootUser, u"Software\\Delvora\\View"), 0);
  const char16_t text[] = u"caf\u00e9 \U0001F600 tips";
  ASSERT_EQ(key.SetValueW(u"Tips", REG_SZ, text), 0);
  ASSERT_EQ(key.SetValueW(nullptr, REG_EXPAND_SZ, u"$HOME/x"), 0);
  ASSERT_EQ(key.SetValueW(u"Empty", REG_SZ, u""), 0);
  uint32_t number = 7;
  ASSERT_EQ(key.SetValueW(u"Count", REG_DWORD, &number), 0);

  WString out = u"untouched";
  EXPECT_EQ(QueryRegString(key.key, u"tips", &out), 0);  // value names ignore case
  EXPECT_EQ(out, text);
  EXPECT_EQ(QueryRegString(key.key, u"", &out), 0);
  EXPECT_EQ(out, u"$HOME/x");
  EXPECT_EQ(QueryRegString(key.key, u"Empty", &out), 0);
  EXPECT_EQ(out, u"");
  out = u"untouched";
  EXPECT_EQ(QueryRegString(key.key, u"Count", &out), kEInvalidArg);  // not a string
  EXPECT_EQ(QueryRegString(key.key, u"Missing", &out), kEInvalidArg);
  EXPECT_EQ(QueryRegString(KeyHandle{}, u"Tips", &out), kEInvalidArg);  // no key open
  EXPECT_EQ(out, u"untouched");
  // The classes root has no store here.
  EXPECT_EQ(QueryClassesRootValue(u".jpg", u"shell\\open\\command", &out), kEInvalidArg);
  EXPECT_EQ(out, u"untouched");
  if (old) setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else unsetenv("XDG_CONFIG_HOME");
}

TEST(Utilities, StandIns) {
  EXPECT_FALSE(LoadUxTheme());
  EXPECT_FALSE(UxThemeAvailable());
  FreeUxTheme();
  EXPECT_FALSE(UxThemeAvailable());
  WString out;
  GlobalObjectsScope scope;
  FitControlToText(nullptr, 1001, 1002);  // English: nothing moves, nothing to reach
  FitControlToText(&out, 0, 0);
}

}  // namespace
