#include "foundation/FileFilter.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/TestUtil.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/SpecialOptions.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"

namespace {

class FileFilterTest : public testing::Test {
 protected:
  TempFolder temp_{"filefilter"};
  void SetUp() override { dir = temp_.Path(); }
  std::string Write(const std::string& text, const std::string& name = "list.txt") {
    std::string path = dir + "/" + name;
    WriteFileText(path, text);
    return path;
  }
  // The recorded message of a load that must fail, "" when it loaded.
  static std::string LoadError(const std::string& path) {
    try {
      FileFilter f(path);
    } catch (const DvCodeError& e) {
      EXPECT_EQ(e.code, theTrace().LastErrorCode());
      return ToUtf8(LastErrorText());
    }
    return "";
  }
  std::string dir;
};

TEST_F(FileFilterTest, TrimLine) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"name.txt", "name.txt"},     {"  \tname.txt \t", "name.txt"}, {"name.txt\r\n", "name.txt"},
      {"a b.txt\rrest", "a b.txt"}, {" \r\n", ""},                   {"", ""},
      {"x\n y", "x"},
  };
  for (const Case& c : cases) EXPECT_EQ(FileFilter::TrimLine(c.in), c.out) << c.in;
}

TEST_F(FileFilterTest, LoadsTrimmedSortedNamesAndFindsThemInAnyCase) {
  FileFilter f(Write("\xEF\xBB\xBF  A.txt\r\n\n   \nb.TXT\t\r\nc d.jpg\nIMG_0001.JPG\n\xC3\x9C" "ber.doc"));
  ASSERT_EQ(f.count(), 5u);
  EXPECT_EQ(f.At(0), "A.txt");
  EXPECT_EQ(f.At(2), "c d.jpg");
  EXPECT_EQ(f.At(4), "\xC3\x9C" "ber.doc");
  struct Case {
    const char16_t* name;
    bool expected;
  } cases[] = {
      {u"a.txt", true},        {u"A.TXT", true},       {u"B.txt", true},         {u"C D.JPG", true},
      {u"img_0001.jpg", true}, {u"\u00dcBER.DOC", true}, {u"\u00fcber.doc", false},  // only ASCII folds
      {u"a.tx", false},        {u"a.txtx", false},     {u"", false},             {u" A.txt", false},
      {u"d", false},           {u"0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(f.ContainsW(c.name), c.expected) << ToUtf8(c.name);
  EXPECT_TRUE(f.Contains("c D.JPG"));
  EXPECT_FALSE(f.ContainsW(WString(5000, u'a')));
  EXPECT_TRUE(FileFilterAdmits(&f, u"B.TXT"));
  EXPECT_FALSE(FileFilterAdmits(&f, u"other"));
  EXPECT_TRUE(FileFilterAdmits(nullptr, u"other"));
}

TEST_F(FileFilterTest, FailuresRecordTheirMessage) {
  struct Case {
    std::string text, expected;  // "%p" stands for the file's path
  } cases[] = {
      {"b.txt\nA.txt\n", "Filename out of order A.txt"},
      {"a.txt\nA.TXT\n", "Filename out of order A.TXT"},  // equal without case is out of order too
      {"a\nb\n  b  \n", "Filename out of order b"},
      {"\n  \n\t\r\n", "No valid data in %p"},
      {"", "No valid data in %p"},
      {std::string(2000, 'x') + "\n", "No valid data in %p"},
  };
  for (const Case& c : cases) {
    std::string path = Write(c.text);
    std::string expected = c.expected;
    if (size_t at = expected.find("%p"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_EQ(LoadError(path), expected) << c.text.substr(0, 40);
  }
  EXPECT_EQ(LoadError(dir + "/missing.txt"), "File filter " + dir + "/missing.txt not found");
  EXPECT_EQ(LoadError(dir), "File filter " + dir + " not found");
}

TEST_F(FileFilterTest, OverLongLinesAreDroppedWhole) {
  // Each over-long line ends in a valid, well-ordered name: it must not come
  // back as a line of its own.
  std::string text = "a.txt\n";
  text += std::string(1024, 'b') + "\n";  // exactly the limit
  text += std::string(1020, 'c') + " tail1.txt\n";
  text += std::string(200000, 'd') + "\r\n";
  text += std::string(1023, 'e') + "\r\n";  // one under: kept
  text += std::string(1024, 'f') + "\r\n";  // CR not counted, still at the limit
  text += std::string(1023, 'f') + "\n";
  text += "z.txt";
  FileFilter f(Write(text));
  ASSERT_EQ(f.count(), 4u);
  EXPECT_EQ(f.At(0), "a.txt");
  EXPECT_EQ(f.At(1), std::string(1023, 'e'));
  EXPECT_EQ(f.At(2), std::string(1023, 'f'));
  EXPECT_EQ(f.At(3), "z.txt");
  EXPECT_FALSE(f.Contains("tail1.txt"));
  EXPECT_FALSE(f.Contains(std::string(1024, 'b')));
}

TEST_F(FileFilterTest, RealFolderListing) {
  // Names of a system folder, folded and sorted by the standard tools; every
  // name as listed (mixed case) must be found, and no near miss.
  std::string listing = RunCommand("ls -1 /usr/bin");
  std::string sorted = RunCommand("ls -1 /usr/bin | LC_ALL=C tr A-Z a-z | LC_ALL=C sort -u");
  if (listing.empty()) GTEST_SKIP() << "no /usr/bin listing";
  FileFilter f(Write(sorted));
  std::istringstream in(listing);
  std::string name;
  size_t n = 0;
  while (std::getline(in, name)) {
    if (FileFilter::TrimLine(name) != name || name.empty()) continue;
    ++n;
    EXPECT_TRUE(f.ContainsW(FromUtf8(name))) << name;
    EXPECT_FALSE(f.Contains(name + "~")) << name;
  }
  EXPECT_GT(n, 50u);
  EXPECT_LE(f.count(), n);
}

class FilterFileOptionTest : public FileFilterTest {
 protected:
  void SetUp() override {
    FileFilterTest::SetUp();
    SetPromptService(&prompt);
  }
  void TearDown() override { SetPromptService(nullptr); }
  void LoadOptions(const std::string& listPath) {
    std::string options = Write("[Options]\nFilter File=" + listPath + "\n", "$DVOPTS$.txt");
    LoadSpecialOptions(*g_appState, options);
  }
  GlobalObjectsScope scope;
  ScriptedPrompt prompt;
};

TEST_F(FilterFileOptionTest, LoaderBuildsTheList) {
  std::string list = Write("alpha.doc\nBeta.doc\n");
  LoadOptions(list);
  ASSERT_EQ(prompt.asked().size(), 1u);
  EXPECT_EQ(ToUtf8(prompt.asked()[0].text), "Reading filenames to search for from " + list);
  ASSERT_TRUE(g_appState->fileFilter);
  EXPECT_EQ(g_appState->fileFilter->count(), 2u);
  EXPECT_TRUE(FileFilterAdmits(g_appState->fileFilter.get(), u"BETA.DOC"));
  EXPECT_EQ(g_appState->fileFilterPath, FromUtf8(list));
}

TEST_F(FilterFileOptionTest, BadListShowsItsMessageWithAStopIconAndKeepsNoList) {
  LoadOptions(Write("alpha.doc\nBeta.doc\n"));
  ASSERT_TRUE(g_appState->fileFilter);
  LoadOptions(Write("b.txt\nA.txt\n", "bad.txt"));
  ASSERT_EQ(prompt.asked().size(), 3u);
  EXPECT_EQ(ToUtf8(prompt.asked()[2].text), "Filename out of order A.txt");
  EXPECT_EQ(prompt.asked()[2].style, unsigned(kMbOk | kMbIconError));
  EXPECT_FALSE(g_appState->fileFilter);
  EXPECT_EQ(g_appState->fileFilterPath, u"");
}

}  // namespace
