#include <gtest/gtest.h>

#include <climits>

#include "platform/Format.h"

TEST(Format, ConversionsOfTheMessageTexts) {
  EXPECT_EQ(FormatW(u"%s=%d", u"x", 5), u"x=5");
  EXPECT_EQ(FormatW(u"%S and %s", "narrow", WString(u"wide")), u"narrow and wide");
  EXPECT_EQ(FormatW(u"%c:", u'E'), u"E:");
  EXPECT_EQ(FormatW(u"%ld %lu", -3L, 7UL), u"-3 7");
  EXPECT_EQ(FormatW(u"%u", -1), u"4294967295");
  EXPECT_EQ(FormatW(u"%x %02x %08x %X", 255, 10, 0xbeef, 0xab), u"ff 0a 0000beef AB");
  EXPECT_EQ(FormatW(u"%I64d", INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(FormatW(u"%I64u", UINT64_MAX), u"18446744073709551615");
  EXPECT_EQ(FormatW(u"%I64x", 0x123456789abcLL), u"123456789abc");
  EXPECT_EQ(FormatW(u"%0.2f%%", 12.345), u"12.35%");  // rounded like printf
  EXPECT_EQ(FormatW(u"%3.2f %s", 1.5, u"KB"), u"1.50 KB");
  EXPECT_EQ(FormatW(u"[%5d|%-5d|%05d]", 42, 42, 42), u"[   42|42   |00042]");
  EXPECT_EQ(FormatW(u"[%6s|%-6s|%.2s]", u"ab", u"ab", u"abcdef"), u"[    ab|ab    |ab]");
  EXPECT_EQ(FormatW(u"%02d/%02d/%02d", 26, 1, 9), u"26/01/09");
  EXPECT_EQ(FormatW(u"%d truncates to 32 bits", int64_t(0x100000001LL)), u"1 truncates to 32 bits");
}

TEST(Format, MismatchesShowAMarker) {
  EXPECT_EQ(FormatW(u"%d", u"text"), u"<?>");
  EXPECT_EQ(FormatW(u"%s", 12), u"<?>");
  EXPECT_EQ(FormatW(u"%d and %d", 1), u"1 and <?>");   // missing argument
  EXPECT_EQ(FormatW(u"%f", u"x"), u"<?>");
  EXPECT_EQ(FormatW(u"no conversion", 1, 2), u"no conversion");  // extra arguments are ignored
}

TEST(Format, TextFromOutsideIsNeverAFormat) {
  // A name read from a disk goes in as an argument, so its "%s" stays text.
  WString diskName = u"evil%s%n%d.txt";
  EXPECT_EQ(FormatW(u"%s", diskName), diskName);
}

TEST(Format, UnknownConversionIsKeptAsText) {
  EXPECT_EQ(FormatW(u"100%R", 1), u"100%R");
  EXPECT_EQ(CountFormatArgs(u"%s %d %%"), 2);
  EXPECT_EQ(CountFormatArgs(u"%I64d of %I64u, %0.2f%%"), 3);
  EXPECT_EQ(CountFormatArgs(u"50%R"), -1);
}

TEST(Format, NarrowFormatterMatchesWide) {
  EXPECT_EQ(FormatA("%s %I64d_%ld.%s", "dir", int64_t(5), 8L, "dsk"), "dir 5_8.dsk");
  EXPECT_EQ(FormatA("%s", u"\u00e9"), "\xC3\xA9");
}
