#include "volumes/DestinationPath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>

#include "foundation/Globals.h"
#include "tests/support/TestUtil.h"

namespace {

TEST(DestinationPath, Components) {
  struct Case {
    std::u16string in, out;
  };
  const Case cases[] = {
      {u"plain.txt", u"plain.txt"},
      {u".", u"_."},
      {u"..", u"_.."},
      {u"...", u"..."},
      {u"a/b", u"a_b"},
      {u"a\\b", u"a_b"},
      {u"../../etc/passwd", u".._.._etc_passwd"},
      {std::u16string(u"a\0b", 3), u"a_b"},
      {u"tab\there\n", u"tab_here_"},
      {u"del\x7F c1\x85", u"del_ c1_"},
      {u"con", u"con"},
      {u"trail. ", u"trail. "},
      {u"C:", u"C:"},
      {u"what?*<>|\"", u"what?*<>|\""},
      {u"", u"_"},
      {u"\U0001F600.png", u"\U0001F600.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.in));
    EXPECT_EQ(DestinationComponent(c.in), c.out);
  }
}

TEST(DestinationPath, LongComponentsKeepTheirExtension) {
  // 300 bytes of ASCII; 200 two-byte characters; 100 emoji (4 bytes each).
  const std::u16string ascii = std::u16string(296, u'n') + u".jpg";
  std::u16string twoByte;
  for (int i = 0; i < 200; ++i) twoByte += u'\u00E9';
  twoByte += u".txt";
  std::u16string emoji;
  for (int i = 0; i < 100; ++i) emoji += u"\U0001F600";
  emoji += u".doc";
  for (const std::u16string& name : {ascii, twoByte, emoji}) {
    SCOPED_TRACE(Utf8Length(name));
    const WString out = DestinationComponent(name);
    EXPECT_LE(Utf8Length(out), kMaxComponentBytes);
    EXPECT_GE(Utf8Length(out), kMaxComponentBytes - 3);  // cut at a character boundary
    EXPECT_EQ(out.substr(out.size() - 4), name.substr(name.size() - 4));
    EXPECT_EQ(out[out.size() - 13], u'~');
    EXPECT_EQ(out.substr(0, 8), name.substr(0, 8));
    // Never half a surrogate pair.
    const std::string utf8 = ToUtf8(out);
    EXPECT_EQ(FromUtf8(utf8), out);
  }
  // Two long names with the same start stay apart; the same name gives the
  // same result every time.
  const std::u16string other = std::u16string(295, u'n') + u"x.jpg";
  EXPECT_NE(DestinationComponent(ascii), DestinationComponent(other));
  EXPECT_EQ(DestinationComponent(ascii), DestinationComponent(ascii));
  // A long extension is no extension.
  const std::u16string longExt = u"a." + std::u16string(300, u'e');
  EXPECT_LE(Utf8Length(DestinationComponent(longExt)), kMaxComponentBytes);
  EXPECT_EQ(DestinationComponent(u"x", 5), u"x");
  EXPECT_TRUE(DestinationComponent(u"abcdefgh.txt", 5).empty());
}

TEST(DestinationPath, Paths) {
  GlobalObjectsScope scope;
  struct Case {
    const char* what;
    std::u16string root, folder, name, stream;
    bool ok;
    std::u16string out;
  };
  const Case cases[] = {
      {"plain", u"/d", u"\\a\\b\\", u"f.txt", u"", true, u"/d/a/b/f.txt"},
      {"root with slash", u"/d/", u"\\", u"f", u"", true, u"/d/f"},
      {"root is /", u"/", u"\\a\\", u"f", u"", true, u"/a/f"},
      {"dot folders", u"/d", u"\\..\\.\\x\\", u"..", u"", true, u"/d/_../_./x/_.."},
      {"empty components", u"/d", u"\\\\a\\\\", u"f", u"", true, u"/d/a/f"},
      {"slash in a folder name", u"/d", u"\\a/..\\", u"f", u"", true, u"/d/a_../f"},
      {"recycle-bin path loses the colon", u"/d", u"C:\\work\\", u"plan.txt", u"", true, u"/d/C/work/plan.txt"},
      {"colon folder inside the model", u"/d", u"\\C:\\", u"f", u"", true, u"/d/C:/f"},
      {"stream", u"/d", u"\\a\\", u"f.txt", u"Zone.Identifier", true, u"/d/a/f.txt:Zone.Identifier"},
      {"hostile stream", u"/d", u"\\a\\", u"f", u"../x", true, u"/d/a/f:.._x"},
      {"empty name", u"/d", u"\\a\\", u"", u"", false, u""},
      {"empty root", u"", u"\\a\\", u"f", u"", false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WString out = u"unchanged";
    EXPECT_EQ(BuildDestinationPath(c.root, c.folder, c.name, &out, c.stream), c.ok);
    EXPECT_EQ(out, c.ok ? c.out : u"unchanged");
    if (c.ok) {
      EXPECT_TRUE(IsBelowRoot(c.root, out));
    }
  }
  // A long stream name is shortened so file and stream fit one component;
  // a file name that leaves no room for any stream is refused.
  WString out;
  const std::u16string longName = std::u16string(196, u'n') + u".txt";
  ASSERT_TRUE(BuildDestinationPath(u"/d", u"\\", longName, &out, std::u16string(100, u's')));
  EXPECT_EQ(Utf8Length(out.substr(3)), kMaxComponentBytes);
  EXPECT_EQ(out.substr(0, 204), u"/d/" + longName + u":");
  EXPECT_FALSE(BuildDestinationPath(u"/d", u"\\", std::u16string(254, u'n'), &out, u"s"));
  // A path that would reach PATH_MAX is refused, never cut.
  std::u16string deep = u"\\";
  for (int i = 0; i < 40; ++i) deep += std::u16string(200, u'd') + u"\\";
  EXPECT_FALSE(BuildDestinationPath(u"/d", deep, u"f", &out));
}

// The cache gives what BuildDestinationPath gives, for names it appends
// itself and for the names it hands on, in every order of folders.
TEST(DestinationPath, CacheGivesTheRulesPaths) {
  GlobalObjectsScope scope;
  std::u16string deep = u"\\";
  for (int i = 0; i < 19; ++i) deep += std::u16string(200, u'd') + u"\\";
  const std::u16string folders[] = {
      u"\\a\\b\\", u"\\", u"", u"\\..\\.\\x\\", u"\\a/..\\", u"C:\\work\\", u"\\C:\\",
      std::u16string(u"\\n\0l\\", 6), u"\\\u00E9t\u00E9\\", u"\\tab\there\\", deep,
  };
  const std::u16string names[] = {
      u"f.txt", u"", u".", u"..", u"...", u"a/b", u"a\\b", u"../../etc/passwd", std::u16string(u"a\0b", 3),
      u"tab\there", u"del\x7F", u"c1\x85", u"~!@#$%^&*()_+{}|:<>?", u" ", u"\u00E9.txt", u"\U0001F600",
      std::u16string(1, char16_t(0xD800)), std::u16string(255, u'n'), std::u16string(256, u'n'),
      std::u16string(260, u'x') + u".jpg", std::u16string(200, u'p'),
  };
  for (const std::u16string root : {u"/r", u"/r/", u"/", u""}) {
    DestinationPathCache cache(root);
    for (int pass = 0; pass < 2; ++pass) {
      for (const std::u16string& folder : folders) {
        for (const std::u16string& name : names) {
          SCOPED_TRACE(ToUtf8(root) + " | " + ToUtf8(folder).substr(0, 40) + " | " + ToUtf8(name).substr(0, 40));
          WString expected;
          const bool ok = BuildDestinationPath(root, folder, name, &expected);
          std::string out = "unchanged";
          EXPECT_EQ(cache.Build(folder, name, &out), ok);
          EXPECT_EQ(out, ok ? ToUtf8(expected) : "unchanged");
        }
      }
    }
  }
  // Near PATH_MAX: the longest name that fits, and one more character.
  DestinationPathCache cache(u"/r");
  const std::u16string folder = deep + std::u16string(100, u'e') + u"\\";
  WString probe;
  ASSERT_TRUE(BuildDestinationPath(u"/r", folder, u"f", &probe));
  const size_t folderBytes = probe.size() - 2;  // without "/f"
  const size_t fits = size_t(PATH_MAX) - 2 - folderBytes;
  ASSERT_LT(fits, kMaxComponentBytes);
  for (const size_t n : {fits - 1, fits, fits + 1}) {
    const std::u16string name(n, u'm');
    WString expected;
    const bool ok = BuildDestinationPath(u"/r", folder, name, &expected);
    EXPECT_EQ(ok, n <= fits) << n;
    std::string out;
    EXPECT_EQ(cache.Build(folder, name, &out), ok) << n;
    if (ok) {
      EXPECT_EQ(out, ToUtf8(expected));
    }
  }
}

TEST(DestinationPath, BelowRoot) {
  EXPECT_TRUE(IsBelowRoot(u"/d", u"/d/x"));
  EXPECT_TRUE(IsBelowRoot(u"/d/", u"/d/x/y"));
  EXPECT_FALSE(IsBelowRoot(u"/d", u"/d"));
  EXPECT_FALSE(IsBelowRoot(u"/d", u"/d/"));
  EXPECT_FALSE(IsBelowRoot(u"/d", u"/dx/y"));
  EXPECT_FALSE(IsBelowRoot(u"/d", u"/d/../e"));
  EXPECT_FALSE(IsBelowRoot(u"/d", u"/d/x/./y"));
  EXPECT_FALSE(IsBelowRoot(u"/d", u"/d//x"));
  EXPECT_FALSE(IsBelowRoot(u"/d", std::u16string(u"/d/a\0b", 6)));

  // A link planted in the destination that leads out of it.
  const TempFolder dirTemp("below");
  const std::string dir = dirTemp.Path();
  ASSERT_EQ(mkdir((dir + "/dest").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir + "/outside").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir + "/outside").c_str(), (dir + "/dest/link").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/dest/sub").c_str(), 0755), 0);
  const WString root = FromUtf8(dir + "/dest");
  EXPECT_FALSE(ResolvesBelowRoot(root, root + u"/link/f"));
  EXPECT_TRUE(ResolvesBelowRoot(root, root + u"/sub/new/f"));
  EXPECT_TRUE(ResolvesBelowRoot(root, root + u"/f"));
}

}  // namespace
