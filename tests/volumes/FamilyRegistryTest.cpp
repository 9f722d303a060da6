// What the family registry answers for every registered type: the names
// lists and dialogs show, the volume dialog's facts, and the file system a
// volume is, on volumes mkfs made.
#include "volumes/VolumeFamily.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Format.h"
#include "storage/Drive.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeSearch.h"

namespace {

TEST(FamilyRegistry, EveryTypeHasItsNameAndDialogFacts) {
  const struct {
    uint8_t type;
    const char16_t* name;
    std::array<uint16_t, 4> rows;
    bool typed, readOnly, block, inodeSize;
    int64_t bootOffset;
    uint32_t bootBytes;
    bool bootReadable;
    uint32_t clusterLow, clusterHigh;
    uint8_t nodeFamily;
  } cases[] = {
      {kVolNtfs, u"NTFS", {413, 414, 0, 0}, true, false, false, false, 0, 0, true, 512, 65536, kNodeNtfs},
      {kVolFat16, u"FAT", {429, 566, 592, 0}, true, false, false, false, 0, 0, true, 512, 65536, kNodeFat},
      {kVolFat32, u"FAT32", {429, 566, 0, 0}, true, false, false, false, 0, 0, true, 512, 65536, kNodeFat},
      {kVolExt, u"Ext 3/4", {585, 586, 587, 588}, false, true, true, true, 2, 0, true, 512, 65536, kNodeExt},
      {kVolUfs1, u"UFS1", {585, 586, 587, 588}, false, true, true, true, 16, 2048, true, 512, 65536, kNodeUfs},
      {kVolUfs2, u"UFS2", {585, 586, 587, 588}, false, true, true, true, 128, 2048, true, 512, 65536, kNodeUfs},
      {kVolHfs, u"HFS+", {0, 0, 0, 0}, false, false, false, false, 2, 0, true, 512, 65536, kNodeHfs},
      {kVolXfs, u"XFS", {585, 586, 587, 588}, false, true, true, false, 0, 0, true, 512, 65536, kNodeXfs},
      {kVolExFat, u"exFAT", {429, 631, 632, 633}, false, true, false, false, 0, 0, true, 512, 33554432, kNodeExFat},
      {kVolVmfs, u"VMFS", {0, 0, 0, 0}, false, false, false, false, 2048, 0, true, 1048576, 8388608, kNodeVmfs},
      {kVolRefs, u"ReFS", {0, 0, 0, 0}, false, false, false, false, 0, 0, true, 65536, 65536, kNodeRefs},
      {kVolZfs, u"ZFS", {0, 0, 0, 0}, false, false, false, false, 0, 0, false, 512, 65536, kNodeZfs},
  };
  ASSERT_EQ(std::size(cases), size_t(kVolLastType));
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.type));
    const FamilyType* t = FindFamilyType(c.type);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->code, c.type);
    EXPECT_EQ(FileSystemTypeName(c.type), c.name);
    const VolumeDialogFacts& d = t->dialog;
    EXPECT_EQ(d.rowMessages, c.rows);
    EXPECT_EQ(d.rowsTyped, c.typed);
    EXPECT_EQ(d.rowsReadOnly, c.readOnly);
    EXPECT_EQ(d.blockLabelled, c.block);
    EXPECT_EQ(d.checksInodeSize, c.inodeSize);
    EXPECT_EQ(d.bootBlockOffset, c.bootOffset);
    EXPECT_EQ(d.bootBlockBytes, c.bootBytes);
    EXPECT_EQ(d.bootBlockReadable, c.bootReadable);
    EXPECT_EQ(d.clusterLow, c.clusterLow);
    EXPECT_EQ(d.clusterHigh, c.clusterHigh);
    const VolumeFamily* f = FindVolumeFamily(c.type);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->nodeFamily, c.nodeFamily);
    // A volume of the type whose family knows nothing more of it yet is
    // named by its type.
    CVol* v = CreateVol(c.type);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, c.type);
    if (c.type != kVolExt && c.type != kVolFat16) {
      EXPECT_EQ(VolumeFileSystemName(*v), c.name);
    }
    DeleteVol(&v);
  }
  EXPECT_EQ(FindFamilyType(0), nullptr);
  EXPECT_EQ(FileSystemTypeName(0), u"");
  EXPECT_EQ(FileSystemTypeName(kVolLastType + 1), u"");
}

// The file system a volume is, as mkfs made it: ext2, ext3 and ext4 by
// their features, FAT12 and FAT16 (one type code) by their cluster count.
TEST(FamilyRegistry, VolumesAreNamedAsTheyAre) {
  if (!HaveTool("mke2fs") || !HaveTool("mkfs.fat")) GTEST_SKIP() << "e2fsprogs or dosfstools missing";
  const TempFolder temp("fsnames");
  const struct {
    const char* make;
    const char16_t* name;
  } cases[] = {
      {"mke2fs -q -F -t ext2 IMG 4M", u"Ext2"},   {"mke2fs -q -F -t ext3 IMG 4M", u"Ext3"},
      {"mke2fs -q -F -t ext4 IMG 4M", u"Ext4"},   {"truncate -s 4M IMG && mkfs.fat -F 12 IMG", u"FAT12"},
      {"truncate -s 20M IMG && mkfs.fat -F 16 IMG", u"FAT16"},
      {"truncate -s 40M IMG && mkfs.fat -F 32 IMG", u"FAT32"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    const std::string img = temp.Path() + "/v" + std::to_string(n++) + ".img";
    std::string command = c.make;
    for (size_t at; (at = command.find("IMG")) != std::string::npos;) command.replace(at, 3, "'" + img + "'");
    ASSERT_EQ(RunCommandStatus(command + " >/dev/null 2>&1").rc, 0);
    std::unique_ptr<Drive> d(CreateDrive(FromUtf8(img)));
    ASSERT_NE(d, nullptr);
    d->InitDrive(FromUtf8(img));
    ScanPartitions(*d);
    ASSERT_EQ(VolumeCount(*d), 1u);
    EXPECT_EQ(VolumeFileSystemName(*VolumeAt(*d, 0)), c.name);
  }
}

}  // namespace
