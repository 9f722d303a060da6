#include "foundation/Wildcard.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// The pattern-list rules written as plain recursion, the way they read:
// exponential, so only for short texts.
bool SlowMatch1(WStringView name, WStringView pattern) {
  if (pattern.size() == 1 && pattern[0] == u'*') return true;
  if (name.empty()) {
    if (pattern.empty()) return true;
    if (pattern[0] == u'*') return SlowMatch1(name, pattern.substr(1));
    return false;
  }
  if (pattern.empty()) return false;
  if (pattern[0] == u'*')
    return SlowMatch1(name.substr(1), pattern) || SlowMatch1(name.substr(1), pattern.substr(1));
  if (pattern[0] == u'?' || AsciiLower(pattern[0]) == AsciiLower(name[0]))
    return SlowMatch1(name.substr(1), pattern.substr(1));
  return false;
}

// The file-search matcher's rules as recursion (patterns hold no "**").
bool SlowWildcard(WStringView pattern, WStringView name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == u'*')
    return SlowWildcard(pattern.substr(1), name) || (!name.empty() && SlowWildcard(pattern, name.substr(1)));
  if (name.empty()) return false;
  bool same = pattern[0] == u'?' ? name[0] != u'.' : AsciiLower(pattern[0]) == AsciiLower(name[0]);
  return same && SlowWildcard(pattern.substr(1), name.substr(1));
}

WString RandomText(std::mt19937& rng, const std::u16string& alphabet, int maxLen, bool noDoubleStar) {
  int len = int(rng() % unsigned(maxLen + 1));
  WString s;
  while (int(s.size()) < len) {
    char16_t c = alphabet[rng() % alphabet.size()];
    if (noDoubleStar && c == u'*' && !s.empty() && s.back() == u'*') continue;
    s.push_back(c);
  }
  return s;
}

TEST(WildcardTest, Match1Cases) {
  struct Case {
    const char16_t *name, *pattern;
    bool expected;
  } cases[] = {
      {u"ab", u"a*b", false},  // a star inside the name takes at least one character
      {u"a", u"a*", true},
      {u"", u"*", true},
      {u"ABC", u"a?c", true},
      {u"axb", u"a*b", true},
      {u"axxb", u"a*b", true},
      {u"a.c", u"a?c", true},  // "?" takes a dot here
      {u"ab", u"ab*", true},
      {u"ab", u"ab**", true},  // stars after a used-up name need nothing
      {u"ab", u"a**", true},
      {u"a", u"a*b", false},
      {u"", u"", true},
      {u"a", u"", false},
      {u"", u"?", false},
      {u"abc", u"*", true},
      {u"report.doc", u"*.doc", true},
      {u"report.doc", u"*.DOC", true},
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", false},  // only ASCII letters fold
      {u"aaab", u"*a*b", true},
      {u"ab", u"*a*b", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Match1(c.name, c.pattern), c.expected) << ToUtf8(c.name) << " ~ " << ToUtf8(c.pattern);
}

TEST(WildcardTest, Match1AgreesWithTheRecursiveRules) {
  std::mt19937 rng(1234);
  for (int k = 0; k < 200000; ++k) {
    WString name = RandomText(rng, u"abA.", 8, false);
    WString pattern = RandomText(rng, u"ab*?*B.", 7, false);
    ASSERT_EQ(Match1(name, pattern), SlowMatch1(name, pattern)) << ToUtf8(name) << " ~ " << ToUtf8(pattern);
  }
}

TEST(WildcardTest, ManyStarsOnALongNameFinish) {
  // Exponential for a recursive matcher; this must end at once.
  WString name(255, u'a');
  EXPECT_FALSE(Match1(name, u"*a*a*a*a*a*b"));
  EXPECT_EQ(WildcardMatch(u"*a*a*a*a*a*b", name.c_str()), 0);
  name.back() = u'b';
  EXPECT_TRUE(Match1(name, u"*a*a*a*a*a*b"));
  EXPECT_EQ(WildcardMatch(u"*a*a*a*a*a*b", name.c_str()), 1);
  WString many;
  for (int k = 0; k < 100; ++k) many += u"*a";
  many += u"*c";
  EXPECT_FALSE(Match1(WString(4000, u'a'), many));
}

TEST(WildcardTest, WildcardMatchCases) {
  struct Case {
    const char16_t *pattern, *name;
    int expected;
  } cases[] = {
      {u"a*b", u"ab", 1},  // unlike Match1, a star may be empty
      {u"a?c", u"abc", 1},
      {u"a?c", u"a.c", 0},
      {u"*abc*", u"xxABCyy", 1},
      {u"*.*", u"readme", 0},
      {u"*.*", u"readme.txt", 1},
      {u"*", u"", 1},
      {u"?", u"", 0},
      {u"", u"x", 0},
      {u"", u"", 1},
      {u"a*", u"a", 1},
      {u"*a", u"aba", 1},
      {u"*a", u"abab", 0},
      {u"a*b*", u"ab", 1},
      {u"*a*", u"", 0},
      {u"\u00c9", u"\u00e9", 0},  // only A-Z fold
      {u"[", u"{", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.expected) << ToUtf8(c.pattern) << " ~ " << ToUtf8(c.name);
  EXPECT_EQ(WildcardMatch(nullptr, u"x"), 0);
  EXPECT_EQ(WildcardMatch(u"*", nullptr), 0);
}

TEST(WildcardTest, WildcardMatchAgreesWithTheRecursiveRules) {
  std::mt19937 rng(99);
  for (int k = 0; k < 200000; ++k) {
    WString name = RandomText(rng, u"abA.", 8, false);
    WString pattern = RandomText(rng, u"ab*?B.", 7, true);
    ASSERT_EQ(WildcardMatch(pattern, name), SlowWildcard(pattern, name) ? 1 : 0)
        << ToUtf8(pattern) << " ~ " << ToUtf8(name);
  }
}

TEST(WildcardTest, PatternListParsesPiecesAndMarks) {
  PatternList list;
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.openMark, u'<');
  EXPECT_EQ(list.closeMark, u'>');

  const WString text = u",*.doc,,<~*>,<>,<x,a b,";
  list.Set(text);
  EXPECT_EQ(text, u",*.doc,,<~*>,<>,<x,a b,");  // the caller's text is left alone
  ASSERT_EQ(list.count, 5);
  EXPECT_EQ(list.patterns, (std::vector<WString>{u"*.doc", u"~*", u"<>", u"<x", u"a b"}));
  EXPECT_EQ(list.isExclusion, (std::vector<uint8_t>{0, 1, 0, 0, 0}));
  EXPECT_EQ(list.hasExclusions, 1);

  list.Set(u"*");
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.hasExclusions, 0);
  list.Set(u"*.jpg");
  EXPECT_EQ(list.hasExclusions, 0);
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_TRUE(list.patterns.empty());
}

TEST(WildcardTest, PatternListMatch) {
  struct Case {
    const char16_t *list, *name;
    bool expected;
  } cases[] = {
      {u"*.doc,<~*>", u"report.doc", true},
      {u"*.doc,<~*>", u"~report.doc", false},
      {u"*.doc,<~*>", u"image.jpg", false},
      {u"<~*>,*.doc", u"~report.doc", false},  // an exclusion wins in any place
      {u"*.doc,*.jpg", u"IMAGE.JPG", true},
      {u"<*.tmp>", u"a.doc", false},  // exclusions alone admit nothing
      {u"*", u"anything", true},
      {u"", u"anything", true},
      {u",,", u"anything", true},
  };
  for (const Case& c : cases) {
    PatternList list;
    list.Set(c.list);
    EXPECT_EQ(list.Match(c.name), c.expected) << ToUtf8(c.list) << " / " << ToUtf8(c.name);
    EXPECT_EQ(Match(&list, c.name), c.expected);
  }
  EXPECT_TRUE(Match(nullptr, u"x"));
}

}  // namespace
