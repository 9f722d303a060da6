// Volume affiliation in recovery, on the NTFS fixture image (mkntfs +
// ntfs-3g): with the files tied to a volume, a file is read from that
// volume when its record lies within the volume's reach, and the size the
// user gave the volume (its size override) extends that reach.
#include <gtest/gtest.h>

#include "engine/Engine.h"
#include "engine/RecoverNtfs.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

TEST(AffiliationTest, SizeOverrideExtendsTheChosenVolume) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  GlobalObjectsScope scope;
  HeadlessView view;
  g_appState->view = &view;
  Drive* drive = ScanDriveImage(img, view);
  ASSERT_NE(g_engine, nullptr);
  int32_t small = -1;
  for (const FoundItem& f : view.found)
    if (f.name == u"small.txt") small = f.nodeIndex;
  ASSERT_GE(small, 0);
  ASSERT_FALSE(g_engine->volumes.empty());
  CVol* v = g_engine->volumes[0];
  const uint64_t size = v->sizeSectors;
  EXPECT_EQ(VolumeLengthOnDrive(*v, *drive), size);
  const TempFolder temp("affiliation");
  const std::string target = temp.Path() + "/small.txt";
  auto recover = [&] {
    ::unlink(target.c_str());
    return RecoverNtfsNode(g_engine, small, FromUtf8(target), {}, false, nullptr);
  };

  // A volume that, as recorded, ends before its $MFT (fsstat: cluster 4 of
  // 4096 bytes): tied to it, the file is not on it.
  v->sizeSectors = 32;
  g_engine->SelectPartition(1, 0, 0, 0);
  EXPECT_LT(recover(), 0);
  EXPECT_EQ(ToUtf8(LastErrorText()), ToUtf8(Msg(344)));
  // The size the user gave it reaches the record (record 64 at sector 160,
  // two sectors long) or not: the file is icat's.
  struct Case {
    uint64_t override;
    bool found;
  } cases[] = {{32, false}, {161, false}, {162, true}, {drive->SectorCount(), true}};
  for (const Case& c : cases) {
    v->sizeOverride = c.override;
    EXPECT_EQ(VolumeLengthOnDrive(*v, *drive), c.override);
    SCOPED_TRACE(c.override);
    if (c.found) {
      EXPECT_GE(recover(), 0) << ToUtf8(LastErrorText());
      EXPECT_EQ(Md5File(target), "5ddc2c90a4195dab6ddf7149ed34ebce");
    } else {
      EXPECT_LT(recover(), 0);
    }
  }
  // Letting the program decide reads it from its own volume, which holds
  // the record at its recorded size.
  v->sizeOverride = 0;
  v->sizeSectors = size;
  g_engine->SelectPartition(0, 0, 0, 0);
  EXPECT_GE(recover(), 0) << ToUtf8(LastErrorText());
  EXPECT_EQ(Md5File(target), "5ddc2c90a4195dab6ddf7149ed34ebce");

  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
}
