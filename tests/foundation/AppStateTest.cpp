#include "foundation/AppState.h"

#include <gtest/gtest.h>

#include "tests/support/TestUtil.h"
#include "foundation/Globals.h"
#include "foundation/SpecialOptions.h"

namespace {

TEST(AppState, ReadBufferGrowsInSteps) {
  GlobalObjectsScope scope;
  AppState& s = *g_appState;
  uint8_t* a = s.GetReadBuffer(1);
  EXPECT_EQ(s.readBufferSize(), 65536u);
  EXPECT_TRUE(std::all_of(a, a + 65536, [](uint8_t b) { return b == 0; }));
  a[0] = 1;
  uint8_t* b = s.GetReadBuffer(65537);
  EXPECT_EQ(s.readBufferSize(), 131072u);
  EXPECT_TRUE(std::all_of(b, b + 131072, [](uint8_t x) { return x == 0; }));
  b[5] = 9;
  uint8_t* c = s.GetReadBuffer(100);
  EXPECT_EQ(c, b);  // large enough: returned as it stands
  EXPECT_EQ(c[5], 9);
}

TEST(AppState, RememberFolder) {
  GlobalObjectsScope scope;
  AppState& s = *g_appState;
  s.defaultFolder = u"/home/user/Documents";
  s.RememberFolder(u"/home/user/Documents/x.dvs", 0);
  EXPECT_EQ(s.lastFolders[0], u"");
  s.RememberFolder(u"/mnt/backup/disk.img", 1);
  EXPECT_EQ(s.lastFolders[1], u"/mnt/backup");
  s.RememberFolder(u"nofolder", 1);
  EXPECT_EQ(s.lastFolders[1], u"/mnt/backup");
  s.RememberFolder(u"/a/b", 7);  // no such slot
}

TEST(AppState, ProgramName) {
  struct Case {
    const char* path;
    WString name;
  } cases[] = {{"/usr/bin/delvora", u"delvora"},
               {"/opt/x/recover.bin", u"recover"},
               {"/opt/x/.hidden", u"delvora"},
               {"/opt/x/averyveryverylongname", u"delvora"},
               {"/opt/x/fifteen_chars_x", u"fifteen_chars_x"}};
  for (const auto& c : cases) EXPECT_EQ(ProgramNameFromPath(c.path), c.name) << c.path;
}

TEST(AppState, PlatformDefaults) {
  GlobalObjectsScope scope;
  AppState& s = *g_appState;
  EXPECT_EQ(s.platformId, 2u);
  EXPECT_EQ(s.majorVersion, 6u);
  EXPECT_EQ(s.isNewPlatform, 1);
  EXPECT_EQ(s.isOldPlatform, 0);
  EXPECT_EQ(s.screenDpi, 96);  // no screen here
  EXPECT_DOUBLE_EQ(s.displayScale, 1.0);
  EXPECT_EQ(s.fileNameCharOk[size_t('a')], 1);
  for (unsigned char c : std::string("\"*/:<>?\\|\x01\x1f")) EXPECT_EQ(s.fileNameCharOk[c], 0) << int(c);
  EXPECT_EQ(s.statusWordIds[3], 328);
  EXPECT_EQ(s.searchLimit, 2147483647u);
  EXPECT_FALSE(s.thousandsSeparator.empty());
}

TEST(AppState, ScreenOf120DpiScalesBy125) {
  SetScreenDpiQuery([] { return 120; });
  GlobalObjectsScope scope;
  EXPECT_EQ(g_appState->screenDpi, 120);
  EXPECT_DOUBLE_EQ(g_appState->displayScale, 1.25);
  SetScreenDpiQuery(nullptr);
}

TEST(AppState, RestartListNeedsAnExistingNonEmptyFile) {
  GlobalObjectsScope scope;
  const TempFolder dirTemp("restart");
  std::string dir = dirTemp.Path();
  WriteFileText(dir + "/full.bin", "data");
  WriteFileText(dir + "/empty.bin", "");
  g_appState->restartFiles = {FromUtf8(dir + "/full.bin"), FromUtf8(dir + "/empty.bin")};
  int64_t size = -1;
  EXPECT_EQ(g_appState->IsListedFileWithSize(FromUtf8(dir + "/full.bin"), &size), 1);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(g_appState->IsListedFileWithSize(FromUtf8(dir + "/empty.bin"), &size), 0);
  EXPECT_EQ(g_appState->IsListedFileWithSize(u"/elsewhere/full.bin", &size), 0);
}

}  // namespace
