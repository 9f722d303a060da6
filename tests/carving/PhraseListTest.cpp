#include "carving/PhraseList.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TraceFolder.h"
#include "foundation/Trace.h"
#include "tests/support/TempFolder.h"

namespace {

using namespace std::string_literals;

std::string WritePhraseFile(const TempFolder& folder, const std::string& name, const std::string& content) {
  std::string path = folder.Path() + "/" + name + ".txt";
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::vector<std::string> Tokens(const PhraseList& list, int i) { return list.At(i).tokens; }

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

TEST(PhraseToken, Comparison) {
  struct Case {
    const char* token;
    const char* word;
    int sign;
  };
  const Case cases[] = {
      {"abc", "abc", 0},
      {"ABC", "abc", 0},
      {"abc", "AbC", 0},
      {"ab", "abc", -1},                                  // token ends first: smaller
      {"abc", "ab", 1},                                   // word ends first: token larger
      {"abd", "abc", 1},
      {"abc", "abd", -1},
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89", 0},      // capital and small accented letters
      {"\xC3\x80", "\xC3\xA0", 0},
      {"\xC3\x9E", "\xC3\xBE", 0},
      {"\xC3\x97", "\xC3\xB7", -1},                       // the division sign does not fold
      {"\xC2\x89", "\xC2\xA9", -1},                       // only after 0xC3
      {"\xC3\xBF", "\xC3\x9F", 1},                        // 0xBF is beyond the folded range
      {"\xC3\xA9", "z", 1},                               // bytes compare unsigned
      {"", "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(ComparePhraseToken(c.token, c.word)), c.sign)
        << testing::PrintToString(std::string(c.token)) << " vs " << testing::PrintToString(std::string(c.word));
  }
}

TEST(PhraseList, LoadSkipsByteOrderMarkOnlyOnFirstLine) {
  const TempFolder temp("phrases");
  PhraseList list;
  std::string path = WritePhraseFile(temp, "bom", "\xEF\xBB\xBF" "alpha beta\n\xEF\xBB\xBF" "gamma\n");
  ASSERT_EQ(list.Load(path), 2);
  EXPECT_EQ(Tokens(list, 0), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(Tokens(list, 1), (std::vector<std::string>{"\xEF\xBB\xBF" "gamma"}));
  EXPECT_EQ(list.Match("Alpha beta"), 1);
}

TEST(PhraseList, LoadSplitsAtBlanksTabsAndLineEnds) {
  const TempFolder temp("phrases");
  PhraseList list;
  std::string path = WritePhraseFile(temp, "split", "  one\ttwo  \r\n\n \t \r\nthree,four\nlast");
  ASSERT_EQ(list.Load(path), 3);
  // In ascending order.
  EXPECT_EQ(Tokens(list, 0), (std::vector<std::string>{"last"}));
  EXPECT_EQ(Tokens(list, 1), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(Tokens(list, 2), (std::vector<std::string>{"three,four"}));
  EXPECT_EQ(list.Count(), 3);
}

TEST(PhraseList, LoadMissingFileGivesNothing) {
  const TempFolder temp("phrases");
  PhraseList list;
  ASSERT_EQ(list.Load(WritePhraseFile(temp, "first", "x\n")), 1);
  EXPECT_EQ(list.Load(temp.Path() + "/no_such_phrase_file.txt"), 0);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Match("x"), 0);
}

TEST(PhraseList, LoadReadsLongLinesWhole) {
  const TempFolder temp("phrases");
  std::string longToken(1500, 'q');
  std::string manyTokens;
  for (int i = 0; i < 200; ++i) manyTokens += "t" + std::to_string(1000 + i) + " ";  // > 1024 bytes
  std::string path = WritePhraseFile(temp, "long", longToken + " end\n" + manyTokens + "\nshort\n");
  PhraseList list;
  ASSERT_EQ(list.Load(path), 3);
  ASSERT_EQ(list.At(0).TokenCount(), 2);
  EXPECT_EQ(list.At(0).tokens[0], longToken);
  EXPECT_EQ(Tokens(list, 1), (std::vector<std::string>{"short"}));
  ASSERT_EQ(list.At(2).TokenCount(), 200);
  EXPECT_EQ(list.At(2).tokens[199], "t1199");
}

TEST(PhraseList, LoadDropsLinesBeyondTheLimits) {
  const TempFolder temp("phrases");
  std::string tooManyTokens;
  for (int i = 0; i <= PhraseList::kMaxTokensPerPhrase; ++i) tooManyTokens += "w ";
  std::string tooLong(PhraseList::kMaxLineBytes + 1, 'x');
  std::string path = WritePhraseFile(temp, "limits", "a\n" + tooManyTokens + "\n" + tooLong + "\nb\n");
  PhraseList list;
  ASSERT_EQ(list.Load(path), 2);
  EXPECT_EQ(Tokens(list, 0), (std::vector<std::string>{"a"}));
  EXPECT_EQ(Tokens(list, 1), (std::vector<std::string>{"b"}));
}

class PhraseMatch : public testing::Test {
 protected:
  void SetUp() override {
    // Ascending under the token comparison.
    ASSERT_EQ(list_.Load(WritePhraseFile(temp_, "match",
                                         "cat\n"
                                         "dog house\n"
                                         "end of text\n"
                                         "hello world\n"
                                         "zebra\n"
                                         "\xC3\x89T\xC3\x89\n")),  // ÉTÉ: 0xC3 sorts after ASCII
              6);
  }
  TempFolder temp_{"phrases"};
  PhraseList list_;
};

TEST_F(PhraseMatch, CountsWordPositions) {
  struct Case {
    std::string text;
    int matches;
  };
  const Case cases[] = {
      {"HELLO World!", 1},
      {"hello big world", 0},               // words must follow one another
      {"world hello", 0},
      {"Cat and dog house, cat!", 3},
      {"dog-house", 1},                     // separators between the words do not matter
      {"doghouse", 0},
      {"cats", 0},                          // a token does not match a longer word
      {"the end of", 0},                    // running out of words
      {"the end of text", 1},
      {"l'\xC3\xA9t\xC3\xA9 dernier", 1},   // été against ÉTÉ
      {"", 0},
      {" ,.;", 0},
      {"zebra\0cat"s, 1},                   // the text ends at its zero byte
  };
  for (const Case& c : cases) EXPECT_EQ(list_.Match(c.text), c.matches) << c.text;
}

TEST_F(PhraseMatch, ScoreTextScoresRunsBetweenTags) {
  std::string out;
  const std::string xml =
      "hello world<w:p><w:t>hello world</w:t><w:t></w:t><w:t>\r\n</w:t>"
      "<w:t>a cat</w:t>tail>zebra";
  EXPECT_EQ(list_.ScoreText(xml, &out), 3);
  EXPECT_EQ(out, "hello world\r\na cat\r\ntail>zebra\r\n");
  EXPECT_EQ(list_.ScoreText(xml), 3);
  EXPECT_EQ(list_.ScoreText("no tags at all hello world"), 0);
}

// A file out of order loads as the sorted one: matching bisects the list,
// and no match is lost to the order of the lines.
TEST(PhraseList, AnUnsortedFileMatchesAsTheSortedOne) {
  const std::string sorted = "cat\ndog house\nend of text\nhello world\nzebra\n\xC3\x89T\xC3\x89\n";
  const std::string unsorted = "zebra\n\xC3\x89T\xC3\x89\nhello world\ncat\nend of text\ndog house\n";
  const TempFolder temp("phrases");
  PhraseList a, b;
  ASSERT_EQ(a.Load(WritePhraseFile(temp, "sorted", sorted)), 6);
  ASSERT_EQ(b.Load(WritePhraseFile(temp, "unsorted", unsorted)), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Tokens(a, i), Tokens(b, i)) << i;
  // Both match alike.
  for (const char* text : {"zebra", "cat", "HELLO world", "the end of text", "\xC3\xA9t\xC3\xA9", "dog house cat"})
    EXPECT_EQ(b.Match(text), a.Match(text)) << text;
  EXPECT_EQ(b.Match("zebra cat hello world dog house"), 4);
  // Many phrases in reverse order.
  std::string reversed;
  for (int i = 499; i >= 0; --i) reversed += "w" + std::to_string(1000 + i) + " x\n";
  PhraseList c;
  ASSERT_EQ(c.Load(WritePhraseFile(temp, "reversed", reversed)), 500);
  EXPECT_EQ(c.Match("w1000 x w1250 x w1499 x w1499 y w1500 x W1333 X"), 4);
}

TEST(PhraseList, BisectsALargeList) {
  const TempFolder temp("phrases");
  std::string content;
  for (int i = 0; i < 500; ++i) content += "w" + std::to_string(1000 + i) + " x\n";
  PhraseList list;
  ASSERT_EQ(list.Load(WritePhraseFile(temp, "large", content)), 500);
  EXPECT_EQ(list.Match("w1000 x w1250 x w1499 x w1499 y w1500 x W1333 X"), 4);
}

TEST(PhraseList, TracesMatchesWhenZipTraceIsOn) {
  const TempFolder temp("phrases");
  std::string longPhrase;
  for (int i = 0; i < 20; ++i) longPhrase += "p" + std::to_string(10 + i) + " ";
  PhraseList list;
  ASSERT_EQ(list.Load(WritePhraseFile(temp, "trace", "hello world\n" + longPhrase + "\n")), 2);
  std::string text;
  {
    carve_test::TraceFolder capture(1);
    EXPECT_EQ(list.Match("Hello world and " + longPhrase), 2);
    text = capture.Text();
  }
  EXPECT_NE(text.find("Match: Hello world and p10 "), std::string::npos) << text;
  EXPECT_NE(text.find("Matched hello world\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Matched p10 p11 p12 p13 p14 p15 p16 p17 p18 p19 p20 p21 p22 p23 p24 p25\n"),
            std::string::npos)
      << text;

  // Off: nothing is written.
  carve_test::TraceFolder capture(0);
  list.Match("hello world");
  EXPECT_EQ(capture.Text(), "");
}

}  // namespace
