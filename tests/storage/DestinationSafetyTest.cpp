#include "storage/DestinationSafety.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "tests/support/TestUtil.h"
#include "SysfsFixture.h"
#include "storage/DiskList.h"
#include "storage/SysBlock.h"

namespace {

constexpr uint64_t kS = 512;

struct DevNo {
  uint32_t major = 0, minor = 0;
};

DevNo DevOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return DevNo{major(st.st_dev), minor(st.st_dev)};
}

// Two disks; the test folder's real device number is made to be sdb2 (or
// whatever `home` names), so the real destination lands on a fixture device.
void BuildTwoDisks(SysfsFixture& fx, const std::string& folder, const std::string& home) {
  DevNo real = DevOf(folder);
  ASSERT_NE(real.major, 240u) << "the fixture's device numbers clash with this machine's";
  SysfsFixture::DiskSpec a;
  a.name = "sda";
  a.major = 240;
  a.minor = 0;
  a.size512 = 2000000;
  fx.AddDisk(a);
  fx.AddPartition("sda", "sda1", 1, 240, 1, 2048, 1000000);
  fx.AddPartition("sda", "sda2", 2, 240, 2, 1002048, 997952);
  SysfsFixture::DiskSpec b = a;
  b.name = "sdb";
  b.minor = 16;
  b.size512 = 4000000;
  fx.AddDisk(b);
  fx.AddPartition("sdb", "sdb1", 1, 240, 17, 2048, 1000000);
  fx.AddPartition("sdb", "sdb2", 2, 240, 18, 1002048, 2997952);
  fx.AddStacked("dm-0", 245, 0, 2997952, {"sdb2"}, "vg-b");
  fx.AddStacked("dm-1", 245, 1, 1000000, {"sda1"}, "vg-a");
  fx.AliasDevNumber(real.major, real.minor, home);
  fx.Refresh();
}

int DiskNo(const char* name) { return theDiskList().FindByKernelName(name)->DiskNumber(); }

}  // namespace

TEST(DestinationSafetyTest, OverlapWithTheSourceIsRefused) {
  const TempFolder dirTemp("dest_overlap");
  std::string dir = dirTemp.Path();
  SysfsFixture fx("dest_overlap");
  BuildTwoDisks(fx, dir, "sdb2");
  const std::string dest = dir + "/not/yet/made";
  struct Case {
    const char* what;
    SourceIdentity source;
    bool safe;
  } cases[] = {
      {"whole disk holding it", SourceOfDevice("/dev/sdb"), false},
      {"the partition itself", SourceOfDevice("/dev/sdb2"), false},
      {"the other partition", SourceOfDevice("/dev/sdb1"), true},
      {"the other disk", SourceOfDevice("/dev/sda"), true},
      {"window ending where sdb2 starts", SourceOfDevice("/dev/sdb", 0, 1002048 * kS), true},
      {"window one sector into sdb2", SourceOfDevice("/dev/sdb", 0, 1002049 * kS), false},
      {"window inside sdb2", SourceOfDevice("/dev/sdb", 1002048 * kS + 4096, 4096), false},
      {"last sector of sdb1", SourceOfDevice("/dev/sdb1", 999999 * kS), true},
      {"dm over sdb2", SourceOfDevice("/dev/dm-0"), false},
      {"dm over sda1", SourceOfDevice("/dev/dm-1"), true},
      {"a device nobody lists", SourceOfDevice("/dev/unknown"), true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsDestinationSafe(dest, c.source), c.safe) << c.what;
  EXPECT_EQ(IsDestinationSafe(dir, SourceOfDevice("/dev/sdb")), false);
  EXPECT_FALSE(IsDestinationSafe("", SourceOfDevice("/dev/sda")));

  // The source as the drive builds it: in disk coordinates.
  SourceIdentity s = SourceOfDevice("/dev/sdb2", 4096, 8192);
  EXPECT_EQ(s.diskNumber, DiskNo("sdb"));
  EXPECT_EQ(s.firstByte, 1002048 * kS + 4096);
  EXPECT_EQ(s.byteCount, 8192u);
  EXPECT_EQ(s.devicePath, "/dev/sdb2");
  s = SourceOfDevice("/dev/sdb1", 0, 1ull << 40);  // clipped to the partition
  EXPECT_EQ(s.byteCount, 1000000 * kS);
  s = SourceOfDevice("/dev/dm-0");
  EXPECT_EQ(s.diskNumber, DiskNo("sdb"));  // one device below it: one extent
  SourceIdentity raw;
  raw.diskNumber = DiskNo("sdb");
  raw.firstByte = 0;
  raw.byteCount = 0;  // to the disk's end
  EXPECT_FALSE(IsDestinationSafe(dest, raw));
  raw.diskNumber = -1;
  raw.devicePath = "/dev/sdb2";  // no range: every extent of the device
  EXPECT_FALSE(IsDestinationSafe(dest, raw));
}

TEST(DestinationSafetyTest, DestinationOnAStackedDevice) {
  const TempFolder dirTemp("dest_dm");
  std::string dir = dirTemp.Path();
  SysfsFixture fx("dest_dm");
  BuildTwoDisks(fx, dir, "dm-0");
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfDevice("/dev/sdb")));
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfDevice("/dev/sdb2")));
  EXPECT_TRUE(IsDestinationSafe(dir, SourceOfDevice("/dev/sdb1")));
  EXPECT_TRUE(IsDestinationSafe(dir, SourceOfDevice("/dev/sda")));
}

TEST(DestinationSafetyTest, FileSystemsWithoutADisk) {
  const TempFolder dirTemp("dest_nodisk");
  std::string dir = dirTemp.Path();
  DevNo proc = DevOf("/proc");
  struct Case {
    const char* what;
    std::string fsType, source, options;
    bool safeFromSdb, safeFromSda;
  } cases[] = {
      {"tmpfs", "tmpfs", "tmpfs", "rw", true, true},
      {"network", "nfs4", "server:/export", "rw", true, true},
      {"not in the mount table", "", "", "", true, true},
      {"overlay with its upper layer on sdb2", "overlay", "overlay",
       "rw,lowerdir=/nonexistent-lower,upperdir=" + dir + "/upper,workdir=" + dir + "/work", false, true},
      {"anonymous number, source sda1 (btrfs)", "btrfs", "/dev/sda1", "rw", true, false},
      {"FUSE over an image file on sdb2", "fuseblk", dir + "/on-sdb2.img", "rw", false, true},
  };
  WriteFileText(dir + "/on-sdb2.img", "image");
  for (const Case& c : cases) {
    SysfsFixture fx(std::string("dest_nodisk_") + std::to_string(&c - cases));
    BuildTwoDisks(fx, dir, "sdb2");
    if (!c.fsType.empty()) fx.AddMount(proc.major, proc.minor, "/proc", c.fsType, c.source, c.options);
    EXPECT_EQ(IsDestinationSafe("/proc/delvora-out", SourceOfDevice("/dev/sdb")), c.safeFromSdb) << c.what;
    EXPECT_EQ(IsDestinationSafe("/proc/delvora-out", SourceOfDevice("/dev/sda")), c.safeFromSda) << c.what;
  }
}

TEST(DestinationSafetyTest, LoopDevicesLeadToTheirBackingFile) {
  const TempFolder dirTemp("dest_loop");
  std::string dir = dirTemp.Path();
  DevNo proc = DevOf("/proc");
  SysfsFixture fx("dest_loop");
  SysfsFixture::DiskSpec loop;
  loop.name = "loop0";
  loop.major = 247;
  loop.size512 = 20480;
  loop.deviceLink = false;
  loop.backingFile = "/proc/delvora-images/disk.img";  // on the file system mounted from sda1
  fx.AddDisk(loop);
  BuildTwoDisks(fx, dir, "loop0");  // the destination lives on loop0
  fx.AddMount(proc.major, proc.minor, "/proc", "ext4", "/dev/sda1");
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfDevice("/dev/sda")));
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfDevice("/dev/sda1")));
  EXPECT_TRUE(IsDestinationSafe(dir, SourceOfDevice("/dev/sda2")));
  EXPECT_TRUE(IsDestinationSafe(dir, SourceOfDevice("/dev/sdb")));
  // An image source: its own loop device is refused, others are not.
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfImage("/proc/delvora-images/disk.img")));
  EXPECT_TRUE(IsDestinationSafe(dir, SourceOfImage("/proc/delvora-images/other.img")));

  int loopDisk = DiskNo("loop0");
  EXPECT_FALSE(IsDiskSafe(loopDisk, SourceOfDevice("/dev/sda1")));
  EXPECT_TRUE(IsDiskSafe(loopDisk, SourceOfDevice("/dev/sdb")));
  EXPECT_FALSE(IsDiskSafe(loopDisk, SourceOfImage("/proc/delvora-images/disk.img")));
  EXPECT_TRUE(IsDiskSafe(loopDisk, SourceOfImage("/elsewhere.img")));
}

TEST(DestinationSafetyTest, WholeDisks) {
  const TempFolder dirTemp("dest_disks");
  std::string dir = dirTemp.Path();
  SysfsFixture fx("dest_disks");
  BuildTwoDisks(fx, dir, "sdb2");
  int sda = DiskNo("sda"), sdb = DiskNo("sdb");
  struct Case {
    const char* what;
    SourceIdentity source;
    bool sdaSafe, sdbSafe;
  } cases[] = {
      {"partition of sdb", SourceOfDevice("/dev/sdb1"), true, false},
      {"whole sda", SourceOfDevice("/dev/sda"), false, true},
      {"dm over sda1", SourceOfDevice("/dev/dm-1"), false, true},
      {"an image", SourceOfImage(dir + "/x.img"), true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsDiskSafe(sda, c.source), c.sdaSafe) << c.what;
    EXPECT_EQ(IsDiskSafe(sdb, c.source), c.sdbSafe) << c.what;
    EXPECT_TRUE(IsDiskSafe(-1, c.source));
    EXPECT_TRUE(IsDiskSafe(99, c.source));
  }
}

TEST(DestinationSafetyTest, ImageSourceRefusesOnlyTheImage) {
  const TempFolder dirTemp("dest_image");
  std::string dir = dirTemp.Path();
  std::string img = dir + "/disk.img";
  WriteFileText(img, std::string(4096, 'i'));
  ASSERT_EQ(symlink(img.c_str(), (dir + "/alias.img").c_str()), 0);
  SourceIdentity s = SourceOfImage(img);
  EXPECT_TRUE(IsDestinationSafe(dir, s));
  EXPECT_TRUE(IsDestinationSafe(dir + "/new/folder", s));
  EXPECT_FALSE(IsDestinationSafe(img, s));
  EXPECT_FALSE(IsDestinationSafe(dir + "/alias.img", s));
  EXPECT_FALSE(IsDestinationSafe(dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/disk.img", s));
  EXPECT_EQ(ReadFileText(img), std::string(4096, 'i'));
}

// ntfs-3g mounts an image without a loop device: the mount table's source
// is the image file, and writing into the mount writes into the image.
TEST(DestinationSafetyTest, FuseMountOfTheSourceImageIsRefused) {
  if (geteuid() != 0 || RunCommand("command -v mkntfs ntfs-3g >/dev/null 2>&1 && echo ok").find("ok") == std::string::npos)
    GTEST_SKIP() << "needs root, mkntfs and ntfs-3g";
  const TempFolder dirTemp("dest_fuse");
  std::string dir = dirTemp.Path();
  const std::string img = dir + "/vol.img", mnt = dir + "/mnt";
  RunCommand("truncate -s 8M '" + img + "' && mkntfs -F -Q -q '" + img + "' >/dev/null 2>&1 && mkdir -p '" + mnt +
             "' && ntfs-3g '" + img + "' '" + mnt + "' 2>&1");
  if (RunCommand("mountpoint -q '" + mnt + "' && echo ok").find("ok") == std::string::npos)
    GTEST_SKIP() << "FUSE mount not available";
  EXPECT_FALSE(IsDestinationSafe(mnt + "/out", SourceOfImage(img)));
  EXPECT_TRUE(IsDestinationSafe(mnt + "/out", SourceOfImage(dir + "/other.img")));
  RunCommand("umount '" + mnt + "'");
}

TEST(DestinationSafetyTest, ThisMachine) {
  theDiskList().Refresh();
  const TempFolder dirTemp("dest_real");
  std::string dir = dirTemp.Path();
  DevNo dev = DevOf(dir);
  std::string name;
  if (!sysblock::ResolveDevNumber(dev.major, dev.minor, &name, nullptr) ||
      theDrvList().GetVolumeExtents("/dev/" + name).empty())
    GTEST_SKIP() << "the test folder is not on a listed disk";
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfDevice("/dev/" + name)));
  const CPhysDisk* disk = theDiskList().DiskOfDevice("/dev/" + name);
  ASSERT_NE(disk, nullptr);
  EXPECT_FALSE(IsDestinationSafe(dir, SourceOfDevice(disk->devicePath)));
  EXPECT_FALSE(IsDiskSafe(disk->DiskNumber(), SourceOfDevice("/dev/" + name)));
  // /dev/shm and /proc have no disk.
  EXPECT_TRUE(IsDestinationSafe("/proc/x", SourceOfDevice(disk->devicePath)));
}
