// Read errors under compound drives, through the engine's scan and
// recovery as the view runs them: a RAID member's unreadable sectors (the
// members cut by tests/tools/mkraid.py from the NTFS fixture) and the
// unreadable data of a dynamic VHD (qemu-img) raise the drive's error count,
// and the found file over them is recovered as Corrupt.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/RecoverDriver.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "storage/BlockSource.h"
#include "storage/RaidSettings.h"
#include "storage/VhdDrive.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/RaidMembers.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

using namespace raid_test;

namespace {

class CompoundDriveFaultTest : public testing::Test {
 protected:
  void TearDown() override {
    g_appState->view = nullptr;
    SetBlockSourceOpener(nullptr);
    ClearRaidSettings();
  }
  GlobalObjectsScope scope;
  HeadlessView view;
  TempFolder temp_{"compound_faults"};
};

// A member's unreadable sectors raise the set's read-error count, and the
// file over them is recovered as Corrupt.
TEST_F(CompoundDriveFaultTest, RaidMemberReadErrorsMakeCorruptFiles) {
  const std::string dir = temp_.Path();
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image";
  const Layout l{"r0", 0, 2, 65536, 1, 1, 0, 0};
  // Image sizes are registered by path once per process: paths of their own.
  const std::string prefix = dir + "/fault";
  ASSERT_TRUE(MkRaid(l, image, prefix));
  const std::string def = Definition(l, prefix, FileSize(prefix + "0"), {});
  // plain.bin's first cluster (istat: 8704) is stripe 544, on member 0 at
  // stripe row 272.
  auto state = std::make_shared<FaultState>();
  state->bad.push_back({272ull * 65536, 272ull * 65536 + 4096});
  const std::string bad = prefix + "0";
  SetBlockSourceOpener([state, bad](const std::string& path, bool direct) -> std::unique_ptr<BlockSource> {
    auto inner = FileBlockSource::Open(path, direct);
    if (!inner || path != bad) return inner;
    return std::make_unique<FaultySource>(state, std::move(inner));
  });
  {
    auto d = OpenSet(def);
    ASSERT_TRUE(d);
    std::vector<uint8_t> b(65536);
    ASSERT_TRUE(d->ReadSectors(8704 * 8, 65536, 0x10000, b.data(), true)) << ToUtf8(LastErrorText());
    EXPECT_EQ(d->TotalErrors(), 1u);
    // A read elsewhere stays clean.
    ASSERT_TRUE(d->ReadSectors(0, 65536, 0x10000, b.data(), true));
    EXPECT_EQ(d->TotalErrors(), 1u);
  }
  g_appState->view = &view;
  Drive* drive = ScanDriveImage(def, view);
  ASSERT_TRUE(RecoverListed(dir + "/out", view));
  EXPECT_EQ(g_recoveryTotals.corrupt.load(), 1u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  DropSendObjs();
  delete g_engine;
  g_engine = nullptr;
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
}

TEST_F(CompoundDriveFaultTest, UnreadableDataOfAVirtualDiskFileMakesTheFileOverItCorrupt) {
  const std::string folder = FixtureFolder("make_vdisk_images.sh");
  if (folder.empty()) GTEST_SKIP() << "make_vdisk_images.sh: qemu-utils, sleuthkit or xz missing";
  const std::string dir = folder + "/vdisk";
  g_appState->view = &view;
  // plain.bin's first cluster is 8704 (istat), 4096-byte clusters: virtual
  // byte 8704 x 4096, block 17 of 2 MiB, at its start; its data follow the
  // block's one-sector bitmap.
  const std::string vhd = ReadFileText(dir + "/dyn.vhd");
  const uint64_t table = GetBigEndian64(vhd.data() + 512 + 16, 8);
  const uint32_t entry = GetBigEndian(vhd.data() + table + 4 * 17, 4);
  ASSERT_NE(entry, 0xFFFFFFFFu);
  const uint64_t data = (uint64_t(entry) + 1) * 512;
  auto state = std::make_shared<FaultState>();
  state->bad.push_back({data, data + 4096});
  FaultyOpener opener(state);
  Drive* drive = ScanDriveImage(dir + "/dyn.vhd", view);
  ASSERT_TRUE(dynamic_cast<VHDDrive*>(drive));
  const TempFolder destTemp("vdisk_corrupt");
  const std::string dest = destTemp.Path();
  ASSERT_TRUE(RecoverListed(dest, view));
  EXPECT_EQ(g_recoveryTotals.corrupt.load(), 1u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  const std::string file = ReadFileText(dest + "/plain-link.bin");
  ASSERT_EQ(file.size(), 100000u);
  EXPECT_EQ(file.substr(0, 4096), std::string(4096, '\0'));
  EXPECT_EQ(Md5File(dest + "/small.txt"), "5ddc2c90a4195dab6ddf7149ed34ebce");
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_appState->view = &view;
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
}

}  // namespace
