#include "foundation/TimeUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "tests/support/TestUtil.h"

namespace {

// Seconds since 1970 of a UTC date text as `date` computes them.
bool DateCommandSeconds(const std::string& iso, int64_t* out) {
  std::string r = RunCommand("date -u -d '" + iso + "' +%s 2>/dev/null");
  if (r.empty()) return false;
  *out = std::stoll(r);
  return true;
}

TEST(TimeUtil, DateTextAgreesWithDateCommand) {
  if (RunCommand("date -u -d '2000-01-01 00:00:00' +%s 2>/dev/null").empty()) GTEST_SKIP() << "no date command";
  // Leap days (2000 is a leap year, 1900 is not), both ends of the range, the
  // Unix epoch and its neighbours, the 32-bit wrap, month ends.
  const char* dates[] = {"2000-02-29 00:00:00", "2024-02-29 23:59:59", "1900-03-01 00:00:00", "1900-02-28 12:30:45",
                         "2100-03-01 00:00:00", "1601-01-01 00:00:01", "1969-12-31 23:59:59",
                         "1970-01-01 00:00:00", "1970-01-01 00:00:01", "2038-01-19 03:14:08", "1999-12-31 23:59:59",
                         "2023-04-30 07:08:09", "9999-12-31 23:59:59", "1752-09-14 00:00:00", "2400-02-29 11:11:11"};
  for (const char* iso : dates) {
    int64_t expected = 0;
    ASSERT_TRUE(DateCommandSeconds(iso, &expected)) << iso;
    std::string exif = iso;  // the form cameras write: "YYYY:MM:DD hh:mm:ss"
    exif[4] = exif[7] = ':';
    std::string isoT = iso;
    isoT[10] = 'T';
    for (const std::string& text : {exif, std::string(iso), isoT}) {
      auto seconds = DateTextToUnixTime(text);
      ASSERT_TRUE(seconds.has_value()) << text;
      EXPECT_EQ(*seconds, expected) << text;
      EXPECT_EQ(DateTextToFileTime(text), UnixTimeToFileTime(expected)) << text;
    }
  }
}

TEST(TimeUtil, BadDateTextsGiveNoTime) {
  const char* bad[] = {
      "0000:00:00 00:00:00",  // the EXIF null date
      "    :  :     :  :  ",  // blank EXIF date
      "1900:02:29 00:00:00",  // 1900 is not a leap year
      "2023:02:29 00:00:00", "2024:02:30 00:00:00", "2024:04:31 00:00:00", "2024:13:01 00:00:00",
      "2024:00:10 00:00:00", "2024:01:00 00:00:00", "2024:01:32 00:00:00", "2024:01:01 24:00:00",
      "2024:01:01 23:60:00", "2024:01:01 23:59:60", "1600:12:31 23:59:59",
      "2024:1a:01 00:00:00", "+024:01:01 00:00:00", "2024:-1:01 00:00:00", "2024:01:01 0x:00:00",
      "2024001001012000000",  // digits where the separators belong
      "2024:01:01 12:00:0",   // 18 characters
      "", "2024"};
  for (const char* t : bad) {
    EXPECT_EQ(DateTextToFileTime(t), 0u) << t;
    EXPECT_FALSE(DateTextToUnixTime(t).has_value()) << t;
  }
  // The very first instant is file time 0 itself, which reads as no time.
  EXPECT_EQ(DateTextToFileTime("1601:01:01 00:00:00"), 0u);
  // A zero byte inside the text (a cut-off buffer) is no separator.
  std::string withNul("2024:01:01\0" "12:00:00", 19);
  EXPECT_EQ(DateTextToFileTime(withNul), 0u);
}

TEST(TimeUtil, DateTextIsOnlyRead) {
  // A sector buffer with the date in the middle, as the carving code passes it.
  char sector[512];
  memset(sector, 0x5A, sizeof sector);
  memcpy(sector + 100, "2024-02-29T10:11:12", 19);
  char copy[512];
  memcpy(copy, sector, sizeof sector);
  auto seconds = DateTextToUnixTime(std::string_view(sector + 100, 19));
  ASSERT_TRUE(seconds.has_value());
  EXPECT_EQ(*seconds, 1709201472);
  EXPECT_EQ(memcmp(sector, copy, sizeof sector), 0);  // separators untouched
  // Only the first 19 characters count.
  EXPECT_EQ(DateTextToUnixTime("2024:02:29 10:11:12+02:00"), seconds);
}

TEST(TimeUtil, UnixAndFileTimes) {
  struct Case {
    int64_t unix;
    uint64_t file;
  } cases[] = {{0, 116444736000000000ULL},
               {1, 116444736010000000ULL},
               {-1, 116444735990000000ULL},
               {-11644473600LL, 0},
               {1709201472, 133536750720000000ULL},
               {253402300799LL, 2650467743990000000ULL}};  // 9999-12-31 23:59:59
  for (const auto& c : cases) {
    EXPECT_EQ(UnixTimeToFileTime(c.unix), c.file) << c.unix;
    EXPECT_EQ(FileTimeToUnixTime(c.file), c.unix) << c.unix;
  }
  // Out of the file-time range: no time, never a wrapped value.
  EXPECT_EQ(UnixTimeToFileTime(-11644473601LL), 0u);
  EXPECT_EQ(UnixTimeToFileTime(INT64_MIN), 0u);
  EXPECT_EQ(UnixTimeToFileTime(INT64_MAX), 0u);
  EXPECT_NE(UnixTimeToFileTime(1844674407370LL - 11644473600LL), 0u);  // the last one that fits
  EXPECT_EQ(UnixTimeToFileTime(1844674407370LL - 11644473600LL + 1), 0u);
  // Sub-second parts are cut toward zero, as the formula says.
  EXPECT_EQ(FileTimeToUnixTime(116444736000000000ULL + 9999999), 0);
  EXPECT_EQ(FileTimeToUnixTime(116444736000000000ULL - 5000000), 0);
  EXPECT_EQ(FileTimeToUnixTime(0), -11644473600LL);
  EXPECT_EQ(FileTimeToUnixTime(UINT64_MAX), int64_t(UINT64_MAX / 10000000) - 11644473600LL);
}

TEST(TimeUtil, CivilTimeMilliseconds) {
  EXPECT_EQ(CivilTimeToFileTime(1970, 1, 1, 0, 0, 0, 999), 116444736000000000ULL + 9990000);
  EXPECT_EQ(CivilTimeToFileTime(1970, 1, 1, 0, 0, 0, 1000), 0u);
  EXPECT_EQ(CivilTimeToFileTime(1970, 1, 1, 0, 0, 0, -1), 0u);
  EXPECT_EQ(CivilTimeToFileTime(10000, 1, 1, 0, 0, 0), 0u);
}

TEST(TimeUtil, BuildDateIsLocalTime) {
  {
    ScopedTimeZone tz("UTC");
    EXPECT_EQ(BuildDateToFileTime("Feb 29 2024", "12:34:56"), CivilTimeToFileTime(2024, 2, 29, 12, 34, 56));
    EXPECT_EQ(BuildDateToFileTime("Jan  5 2024", "00:00:00"), CivilTimeToFileTime(2024, 1, 5, 0, 0, 0));
    EXPECT_EQ(BuildDateToFileTime("Dec 31 1999", "23:59:59"), CivilTimeToFileTime(1999, 12, 31, 23, 59, 59));
  }
  {
    ScopedTimeZone tz("EST5");  // five hours behind UTC, no daylight saving
    EXPECT_EQ(BuildDateToFileTime("Jul  4 2023", "20:00:00"), CivilTimeToFileTime(2023, 7, 5, 1, 0, 0));
  }
  ScopedTimeZone tz("UTC");
  const char* badDates[] = {"??? ?? ????", "Foo  1 2024", "anF 1 2024", "Feb 30 2024", "Jan 32 2024", "Jan", "",
                            "Jan 1"};
  for (const char* d : badDates) EXPECT_EQ(BuildDateToFileTime(d, "12:00:00"), 0u) << d;
  const char* badTimes[] = {"??:??:??", "25:00:00", "12:60:00", "12:00", "12-00-00", ""};
  for (const char* t : badTimes) EXPECT_EQ(BuildDateToFileTime("Jan 1 2024", t), 0u) << t;
}

TEST(TimeUtil, ParseBuildDate) {
  uint64_t built = 0;
  ASSERT_EQ(ParseBuildDate(&built), 1);
  uint64_t now = UnixTimeToFileTime(int64_t(time(nullptr)));
  EXPECT_GT(built, CivilTimeToFileTime(2024, 1, 1, 0, 0, 0));
  EXPECT_LE(built, now + 86400ULL * 10000000ULL);  // allows for a build machine's clock skew
  EXPECT_EQ(ParseBuildDate(nullptr), 1);
}

}  // namespace
