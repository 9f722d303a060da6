#include "foundation/SpecialOptions.h"

#include <gtest/gtest.h>

#include "carving/PhraseList.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "tests/support/TestUtil.h"

namespace {

class SpecialOptionsTest : public testing::Test {
 protected:
  TempFolder temp_{"options"};
  void SetUp() override {
    SetPromptService(&prompt);
    SetPhraseListLoader(&LoadPhraseListFile);
    dir = temp_.Path();
    path = dir + "/$DVOPTS$.txt";
  }
  void TearDown() override {
    SetPromptService(nullptr);
    SetPhraseListLoader(nullptr);
    traceZip = 0;
  }
  // Loads the file into a fresh settings object.
  void Load(const std::string& text) {
    WriteFileText(path, text);
    LoadSpecialOptions(*g_appState, path);
  }
  std::vector<std::string> Questions() const {
    std::vector<std::string> q;
    for (const auto& a : prompt.asked()) q.push_back(ToUtf8(a.text));
    return q;
  }
  GlobalObjectsScope scope;
  ScriptedPrompt prompt;
  std::string dir, path;
};

TEST_F(SpecialOptionsTest, NoFileKeepsEveryDefaultWithoutABox) {
  LoadSpecialOptions(*g_appState, dir + "/missing.txt");
  AppState& s = *g_appState;
  EXPECT_TRUE(prompt.asked().empty());
  EXPECT_EQ(s.writeEmptyFiles, 0);
  EXPECT_EQ(s.longScanLastSector, 9223372036854775807LL);
  EXPECT_EQ(s.extIgnoreBadPointer, 1);
  EXPECT_EQ(s.extLastInode, -1);
  EXPECT_EQ(s.extScanEt4ClusterSize, 512);
  EXPECT_FALSE(s.inodeRange);
  EXPECT_FALSE(s.rawRecovery);
}

TEST_F(SpecialOptionsTest, RefusedConfirmationKeepsTheDefault) {
  prompt.Push(kIdNo);
  Load("[Options]\nWrite Empty Files=1\n");
  ASSERT_EQ(Questions(), std::vector<std::string>{"[Options] Write Empty Files=1"});
  EXPECT_EQ(prompt.asked()[0].style, unsigned(kMbYesNo | kMbIconQuestion));
  EXPECT_EQ(prompt.asked()[0].caption, u"Delvora");
  EXPECT_EQ(g_appState->writeEmptyFiles, 0);

  prompt.Push(kIdYes);
  Load("[Options]\nWrite Empty Files=1\n");
  EXPECT_EQ(g_appState->writeEmptyFiles, 1);
}

TEST_F(SpecialOptionsTest, InodeRange) {
  prompt.Push(kIdYes);
  Load("[Options]\nEnding Inode Number=50\n");
  EXPECT_FALSE(g_appState->inodeRange);  // an end without a start does nothing

  prompt.Push(kIdYes);
  prompt.Push(kIdYes);
  Load("[Options]\nStarting Inode Number=12\nEnding Inode Number=50\n");
  ASSERT_TRUE(g_appState->inodeRange);
  EXPECT_EQ(g_appState->inodeRange->first, 12);
  EXPECT_EQ(g_appState->inodeRange->second, 50);
}

TEST_F(SpecialOptionsTest, ForcedSectionNamesKeepTheirLeadingBlank) {
  for (int i = 0; i < 4; ++i) prompt.Push(kIdYes);
  Load("[Forced 512]\nCount=1\nDevice 1=/dev/sdz\n"
       "[ Forced 512]\nCount=2\nDevice 1=/dev/sdb\nDevice 2=/dev/sdc\n"
       "[Forced 4K]\nCount=1\nDevice 1=/dev/sdd\n");
  EXPECT_EQ(Questions(), (std::vector<std::string>{"Force 512 sector size for /dev/sdb?",
                                                   "Force 512 sector size for /dev/sdc?",
                                                   "Force 4096 sector size for /dev/sdd?"}));
  EXPECT_EQ(g_appState->forcedDevices[0], (std::vector<WString>{u"/dev/sdb", u"/dev/sdc"}));
  EXPECT_EQ(g_appState->forcedDevices[1], (std::vector<WString>{u"/dev/sdd"}));
}

// Questions come in the fixed order of the loader, whatever the file's order.
TEST_F(SpecialOptionsTest, QuestionsFollowTheLoadersOrder) {
  std::string phrases = dir + "/phrases.txt";
  WriteFileText(phrases, "alpha beta\ngamma\n");
  for (int i = 0; i < 40; ++i) prompt.Push(kIdYes);
  Load("[Restart List]\nCount=1\nfile 1=/tmp/r.bin\n"
       "[Trace Options]\nZIP match list=" + phrases + "\nZIP=2\n"
       "[ZFS Options]\nRAIDZ=1\n"
       "[Ext Options]\nExt Long Scan=1\n"
       "[XFS Options]\nXFS Long Scan=1\n"
       "[Scan and Save]\nEnabled=1\nSave to=/mnt/out\n"
       "[Options]\nSilence=1\nLong Scan Starting Sector=2048\nSkip Files on Bad Extents=1\n"
       "Folder Storing Corrupt Files=/mnt/corrupt\n");
  EXPECT_EQ(Questions(), (std::vector<std::string>{
                             "[Options] Long Scan Starting Sector=2048",
                             "[Options] Skip Files on Bad Extents=1",
                             "[Options] Folder Storing Corrupt Files=/mnt/corrupt",
                             "[Scan and Save] Enabled=1",
                             "[Scan and Save] Save to=/mnt/out",
                             // "Silence" turns off the XFS confirmations only
                             "[Ext Options] Ext Long Scan=1",
                             "[Trace Options] ZIP=2",
                             "[ZFS Options] RAIDZ=1",
                             "[Trace Options] ZIP match list=" + ShortenOptionValue(phrases),
                             "2 match phrases",
                             "Restart recovery for /tmp/r.bin?",
                         }));
  AppState& s = *g_appState;
  EXPECT_EQ(s.longScanFirstSector, 2048);
  EXPECT_EQ(s.skipFilesOnBadExtents, 1);
  EXPECT_EQ(s.corruptFilesFolder, u"/mnt/corrupt");
  EXPECT_EQ(s.scanAndSave, 1);
  EXPECT_EQ(GlobalTextRef(kDestinationFolder), u"/mnt/out");
  EXPECT_EQ(s.xfsLongScan, 1);
  EXPECT_EQ(s.extLongScan, 1);
  EXPECT_EQ(traceZip.load(), 2);
  EXPECT_EQ(s.zfsRaidz, 1);
  ASSERT_TRUE(s.phraseList);
  EXPECT_EQ(s.restartFiles, std::vector<WString>{u"/tmp/r.bin"});
}

TEST_F(SpecialOptionsTest, CorruptFolderIsReadOnlyWhenAskedFor) {
  Load("[Options]\nFolder Storing Corrupt Files=/mnt/corrupt\n");
  EXPECT_TRUE(prompt.asked().empty());
  EXPECT_EQ(g_appState->corruptFilesFolder, u"");
}

TEST_F(SpecialOptionsTest, LongPathsAreKeptWholeAndShortenedOnlyInTheQuestion) {
  std::string longPath = "/mnt/" + std::string(300, 'p');
  prompt.Push(kIdYes);
  prompt.Push(kIdYes);
  Load("[Options]\nVerify Known Extensions=1\nFolder Storing Corrupt Files=" + longPath + "\n");
  EXPECT_EQ(g_appState->corruptFilesFolder, FromUtf8(longPath));
  ASSERT_EQ(prompt.asked().size(), 2u);
  EXPECT_EQ(ToUtf8(prompt.asked()[1].text), "[Options] Folder Storing Corrupt Files=" + longPath.substr(0, 32) + "...");
}

TEST_F(SpecialOptionsTest, OverlongLinesAreRefusedWhole) {
  // A line past the limit is dropped, never read as two lines.
  prompt.Push(kIdYes);
  Load("[Options]\nRepeated Path=" + std::string(IniFile::kMaxIniLine, 'x') + "\nWrite Empty Files=1\n");
  EXPECT_EQ(Questions(), std::vector<std::string>{"[Options] Write Empty Files=1"});
}

TEST_F(SpecialOptionsTest, CountsAreBounded) {
  for (int i = 0; i < 200; ++i) prompt.Push(kIdYes);
  std::string text = "[Restart List]\nCount=1000000000\n";
  for (int k = 1; k <= 100; ++k) text += "file " + std::to_string(k) + "=/f" + std::to_string(k) + "\n";
  Load(text);
  EXPECT_EQ(g_appState->restartFiles.size(), size_t(kMaxOptionListCount));
}

TEST_F(SpecialOptionsTest, RawRecoveryNeedsSaveTo) {
  for (int i = 0; i < 10; ++i) prompt.Push(kIdYes);
  Load("[Unix Raw Recovery]\nBlock Size=4096\n");
  EXPECT_FALSE(g_appState->rawRecovery);
  EXPECT_EQ(theTrace().LastErrorText(), u"Missing or invalid'Save To' in 'Unix Raw Recovery'");
  EXPECT_EQ(prompt.asked().back().style, unsigned(kMbIconError));

  for (int i = 0; i < 10; ++i) prompt.Push(kIdYes);
  Load("[Unix Raw Recovery]\nBlock Size=4096\nSave To=/mnt/raw\n");
  ASSERT_TRUE(g_appState->rawRecovery);
  EXPECT_EQ(g_appState->rawRecovery->saveTo, u"/mnt/raw/");
  EXPECT_EQ(g_appState->rawRecovery->sectorSize, 512);
  EXPECT_EQ(g_appState->rawRecovery->blockSize, 4096);
}

TEST_F(SpecialOptionsTest, SegmentProfileDroppedOnFirstMissingKey) {
  for (int i = 0; i < 10; ++i) prompt.Push(kIdYes);
  Load("[Trace Options]\nSegment Profile=1\n[Segment Profile Trace]\nFirst Sector=5\nSegment Size In Sectors=8\n");
  EXPECT_FALSE(g_appState->segmentProfile);
  EXPECT_EQ(Questions().back(), "Invalid Block Size In Sectors in Segment Profile Trace");
  EXPECT_EQ(prompt.asked().back().style, unsigned(kMbIconWarning));
}

// Sizes that would divide by zero, or a segment that is not whole blocks,
// are refused with the name of the key.
TEST_F(SpecialOptionsTest, SegmentProfileSizesChecked) {
  const struct {
    const char* segment;
    const char* block;
    const char* key;  // null: accepted
  } cases[] = {{"8", "0", "Block Size In Sectors"},
               {"0", "4", "Segment Size In Sectors"},
               {"10", "4", "Segment Size In Sectors"},
               {"-8", "4", "Segment Size In Sectors"},
               {"16", "4", nullptr}};
  for (const auto& c : cases) {
    for (int i = 0; i < 10; ++i) prompt.Push(kIdYes);
    const size_t before = prompt.asked().size();
    Load(std::string("[Trace Options]\nSegment Profile=1\n[Segment Profile Trace]\nFirst Sector=5\n") +
         "Segment Size In Sectors=" + c.segment + "\nBlock Size In Sectors=" + c.block + "\nVolume Modulo=0\n");
    if (c.key) {
      EXPECT_FALSE(g_appState->segmentProfile) << c.segment << "/" << c.block;
      ASSERT_GT(prompt.asked().size(), before);
      EXPECT_EQ(Questions().back(), std::string("Invalid ") + c.key + " in Segment Profile Trace");
    } else {
      ASSERT_TRUE(g_appState->segmentProfile);
      EXPECT_EQ(g_appState->segmentProfile->blockSizeInSectors, 4);
    }
  }
}

TEST_F(SpecialOptionsTest, MissingFilterFileShowsTheSystemError) {
  Load("[Options]\nFilter File=" + dir + "/nope.txt\n");
  ASSERT_EQ(prompt.asked().size(), 2u);
  EXPECT_EQ(ToUtf8(prompt.asked()[0].text), "Reading filenames to search for from " + dir + "/nope.txt");
  EXPECT_EQ(ToUtf8(prompt.asked()[1].text), "File filter " + dir + "/nope.txt not found");
  EXPECT_EQ(prompt.asked()[1].style, unsigned(kMbOk | kMbIconError));
  EXPECT_EQ(g_appState->fileFilterPath, u"");
  EXPECT_FALSE(g_appState->fileFilter);
}

TEST_F(SpecialOptionsTest, ReadersReportAbsentAndEmptyValues) {
  WriteFileText(path, "[Options]\nEmpty=\nNumber= -42 \nText=\"quoted value\"\n");
  IniFile ini;
  ASSERT_TRUE(ini.Load(path));
  int64_t v = 7;
  EXPECT_EQ(ReadOptionInt("Options", "Missing", ini, &v, false), 0);
  EXPECT_EQ(ReadOptionInt("Options", "Empty", ini, &v, false), 0);
  EXPECT_EQ(ReadOptionInt("options", "NUMBER", ini, &v, false), 1);
  EXPECT_EQ(v, -42);
  std::string s;
  EXPECT_EQ(ReadOptionString("Options", "Text", ini, &s, false), 1);
  EXPECT_EQ(s, "quoted value");
}

}  // namespace
