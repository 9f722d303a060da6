#include "foundation/WordSplitter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct SplitCase {
  std::string text;
  std::vector<std::string> words;
  std::string enders;  // one byte per word
};

class WordSplitterCases : public testing::TestWithParam<SplitCase> {};

TEST_P(WordSplitterCases, GivesWordsAndEnders) {
  const SplitCase& c = GetParam();
  std::vector<char> buffer(c.text.begin(), c.text.end());
  buffer.push_back(0);
  WordSplitter s;
  s.Init();
  ASSERT_EQ(s.Split(buffer.data()), int(c.words.size()));
  ASSERT_EQ(s.wordCount, int(c.words.size()));
  for (size_t i = 0; i < c.words.size(); ++i) {
    EXPECT_EQ(std::string(s.words[i]), c.words[i]) << "word " << i;
    EXPECT_EQ(s.enders[i], c.enders[i]) << "ender " << i;
    EXPECT_GE(s.words[i], buffer.data());
    EXPECT_LT(s.words[i], buffer.data() + buffer.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WordSplitterCases,
    testing::Values(SplitCase{"two  words.", {"two", "words"}, std::string(" .")},
                    SplitCase{"", {}, ""}, SplitCase{" .,;-\t\r\n!", {}, ""},
                    SplitCase{"caf\xE9", {"caf\xE9"}, std::string(1, '\0')},
                    SplitCase{"\xC3\xA9t\xC3\xA9 ok", {"\xC3\xA9t\xC3\xA9", "ok"}, std::string(" ") + '\0'},
                    SplitCase{"a1-B2_c3", {"a1", "B2", "c3"}, std::string("-_") + '\0'},
                    SplitCase{"  lead", {"lead"}, std::string(1, '\0')},
                    SplitCase{"x", {"x"}, std::string(1, '\0')}));

TEST(WordSplitter, CutsTheTextInPlace) {
  char text[] = "two  words.";
  WordSplitter s;
  s.Init();
  ASSERT_EQ(s.Split(text), 2);
  const char expected[] = {'t', 'w', 'o', 0, ' ', 'w', 'o', 'r', 'd', 's', 0, 0};
  EXPECT_EQ(0, memcmp(text, expected, sizeof(expected)));
  EXPECT_EQ(s.words[0], text);
  EXPECT_EQ(s.words[1], text + 5);
}

TEST(WordSplitter, WordClassTable) {
  WordSplitter s;
  s.Init();
  for (int c = 0; c < 256; ++c) {
    bool word = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128;
    EXPECT_EQ(s.wordClass[c], word ? 1 : 0) << "byte " << c;
  }
}

TEST(WordSplitter, CapacityGrowsBy64AndIsKeptAcrossSplits) {
  WordSplitter s;
  s.Init();
  EXPECT_EQ(s.capacity, 0);
  struct Step {
    int words;
    int capacity;
  };
  for (Step step : {Step{64, 64}, Step{65, 128}, Step{3, 128}, Step{129, 192}}) {
    std::string text;
    for (int i = 0; i < step.words; ++i) text += "w" + std::to_string(i) + " ";
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    ASSERT_EQ(s.Split(buffer.data()), step.words);
    EXPECT_EQ(s.capacity, step.capacity);
    EXPECT_EQ(std::string(s.words[size_t(step.words - 1)]), "w" + std::to_string(step.words - 1));
  }
  s.Init();
  EXPECT_EQ(s.wordCount, 0);
  EXPECT_EQ(s.capacity, 0);
}

TEST(WordSplitter, NullTextGivesNoWords) {
  WordSplitter s;
  s.Init();
  EXPECT_EQ(s.Split(nullptr), 0);
}

}  // namespace
