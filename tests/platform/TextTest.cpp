#include <gtest/gtest.h>

#include <cstring>

#include "platform/Text.h"

TEST(Utf8, RoundTripsEveryPlane) {
  // ASCII, 2-byte, 3-byte and a surrogate pair (U+1F600).
  WString w = u"a\u00e9\u20ac\U0001F600";
  std::string s = ToUtf8(w);
  EXPECT_EQ(s, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8(s), w);
}

TEST(Utf8, LoneSurrogatesBecomeReplacement) {
  const char16_t high[] = {u'x', 0xD800, u'y', 0};
  const char16_t low[] = {0xDC00, 0};
  EXPECT_EQ(ToUtf8(high), "x\xEF\xBF\xBDy");
  EXPECT_EQ(ToUtf8(low), "\xEF\xBF\xBD");
}

TEST(Utf8, MalformedInputBecomesReplacement) {
  struct Case {
    const char* in;
    WString out;
  } cases[] = {
      {"\xC3", u"\uFFFD"},                   // truncated
      {"\xC0\xAF", u"\uFFFD\uFFFD"},         // overlong "/"
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"a\xFF" "b", u"a\uFFFDb"},
  };
  for (const auto& c : cases) EXPECT_EQ(FromUtf8(c.in), c.out) << c.in;
}

TEST(Utf8, HeapFormFitsSurrogatePairs) {
  WString w = u"\U0001F600\U0001F600";
  char* out = nullptr;
  int n = WideToUtf8(w.data(), int(w.size()), &out);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(std::string(out), ToUtf8(w));
  delete[] out;
}

TEST(CaseFolding, AsciiOnlyAndLocaleFree) {
  EXPECT_TRUE(EqualsNoCase(WStringView(u"Hello"), WStringView(u"hELLO")));
  EXPECT_FALSE(EqualsNoCase(WStringView(u"\u00c9"), WStringView(u"\u00e9")));  // no folding outside ASCII
  EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareNoCase(u"abcd", u"ABC"), 0);
}
