#include "storage/DiskList.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/FixtureRun.h"
#include "tests/support/LoopDevice.h"
#include "tests/support/TestUtil.h"
#include "SysfsFixture.h"
#include "foundation/Globals.h"
#include "foundation/SectRanges.h"
#include "foundation/Utilities.h"
#include "storage/SysBlock.h"

namespace {

std::vector<uint8_t> SerialPage(const std::string& text) {
  std::vector<uint8_t> p(4 + text.size(), 0);
  p[1] = 0x80;
  p[3] = uint8_t(text.size());
  for (size_t i = 0; i < text.size(); ++i) p[4 + i] = uint8_t(text[i]);
  return p;
}

// A machine with one of everything the list must take or leave.
void BuildMachine(SysfsFixture& fx) {
  auto disk = [&](const std::string& name, uint32_t major, uint32_t minor, uint64_t size512) {
    SysfsFixture::DiskSpec d;
    d.name = name;
    d.major = major;
    d.minor = minor;
    d.size512 = size512;
    return d;
  };
  SysfsFixture::DiskSpec sda = disk("sda", 240, 0, 2000000);
  sda.model = "Samsung SSD 870  ";
  sda.vendor = "ATA     ";
  sda.vpdPage80 = SerialPage("  S5SUNF0R123456A ");
  sda.maxHwSectorsKb = 32767;
  fx.AddDisk(sda);
  fx.AddPartition("sda", "sda1", 1, 240, 1, 2048, 1000000);
  fx.AddPartition("sda", "sda2", 2, 240, 2, 1002048, 997952);
  fx.AddPartition("sda", "sda3", 3, 240, 3, 3000000, 100);        // starts past the end: dropped
  SysfsFixture::DiskSpec sdb = disk("sdb", 240, 16, 8000000);      // 4096-byte sectors
  sdb.logical = 4096;
  sdb.model = "WDC WD40EFRX";
  sdb.serial = "WD-WCC7K1234567";
  fx.AddDisk(sdb);
  fx.AddPartition("sdb", "sdb1", 1, 240, 17, 2048, 4000000);
  fx.AddPartition("sdb", "sdb2", 2, 240, 18, 4002048, 9999999);    // runs past the end: clipped
  fx.AddDisk(disk("sdz", 240, 32, 1000));
  fx.AddDisk(disk("sdaa", 240, 48, 1000));
  SysfsFixture::DiskSpec nvme = disk("nvme0n1", 241, 0, 4000000);
  nvme.model = "Samsung SSD 980 PRO 1TB";
  nvme.serial = "S5GXNF0R000000X";
  fx.AddDisk(nvme);
  fx.AddPartition("nvme0n1", "nvme0n1p1", 1, 241, 1, 2048, 409600);
  fx.AddDisk(disk("nvme0c0n1", 241, 9, 4000000));                  // hidden multipath node
  SysfsFixture::DiskSpec vda = disk("vda", 242, 0, 500000);
  vda.diskSerial = "virtio-serial-1";
  fx.AddDisk(vda);
  SysfsFixture::DiskSpec mmc = disk("mmcblk0", 243, 0, 300000);
  mmc.mmcName = "SD32G";
  fx.AddDisk(mmc);
  fx.AddDisk(disk("mmcblk0boot0", 243, 8, 8192));
  SysfsFixture::DiskSpec loop = disk("loop0", 7, 0, 2048);
  loop.deviceLink = false;
  loop.backingFile = "/images/a disk.img";
  fx.AddDisk(loop);
  loop = disk("loop10", 7, 10, 4096);
  loop.deviceLink = false;
  loop.backingFile = "/images/b.img";
  fx.AddDisk(loop);
  loop = disk("loop9", 7, 9, 4096);
  loop.deviceLink = false;
  loop.backingFile = "/images/c.img";
  fx.AddDisk(loop);
  loop = disk("loop1", 7, 1, 0);                                   // unbound
  loop.deviceLink = false;
  fx.AddDisk(loop);
  SysfsFixture::DiskSpec ram = disk("ram0", 1, 0, 8192);
  ram.deviceLink = false;
  fx.AddDisk(ram);
  SysfsFixture::DiskSpec zram = disk("zram0", 252, 0, 8192);
  zram.deviceLink = false;
  fx.AddDisk(zram);
  fx.AddDisk(disk("sdc", 240, 64, 0));                             // reader without a medium
  SysfsFixture::DiskSpec orphan = disk("sdd", 240, 80, 1000);      // no device link
  orphan.deviceLink = false;
  fx.AddDisk(orphan);
  fx.AddStacked("dm-0", 253, 0, 1997952, {"sda2", "sdb1"}, "vg-data");
  fx.AddStacked("md0", 9, 0, 409600, {"nvme0n1p1"});
  fx.AddPartition("md0", "md0p1", 1, 259, 0, 2048, 100000);
  fx.AddMount(240, 18, "/mnt/big\\040disk", "ext4", "/dev/sdb2");
  fx.AddMount(0, 50, "/home", "btrfs", "/dev/sda1", "rw,subvol=/@home", "/@home");
  fx.AddMount(0, 50, "/", "btrfs", "/dev/sda1", "rw,subvol=/", "/");
  fx.AddMount(240, 18, "/bind", "ext4", "/dev/sdb2", "rw", "/some/folder");
  fx.AddMount(253, 0, "/srv", "xfs", "/dev/mapper/vg-data");
  fx.Refresh();
}

}  // namespace

TEST(DiskListTest, ListsWholeDisksInKernelOrderAndSkipsTheRest) {
  SysfsFixture fx("order");
  BuildMachine(fx);
  CDiskList& list = theDiskList();
  std::vector<std::string> names;
  for (size_t i = 0; i < list.Count(); ++i) names.push_back(list.Disk(i)->kernelName);
  // Kinds in order, kernel order inside a kind, loop devices last.
  std::vector<std::string> expected = {"mmcblk0", "nvme0n1", "sda", "sdb", "sdz", "sdaa", "vda", "loop0", "loop9", "loop10"};
  EXPECT_EQ(names, expected);
  for (size_t i = 0; i < list.Count(); ++i) {
    const CPhysDisk* d = list.Disk(i);
    EXPECT_EQ(d->deviceName, "PhysicalDrive" + std::to_string(i));
    EXPECT_EQ(d->DiskNumber(), int(i));
    EXPECT_EQ(d->devicePath, "/dev/" + d->kernelName);
  }
  EXPECT_EQ(list.Disk(list.Count()), nullptr);
  EXPECT_EQ(list.FindByKernelName("loop0")->backingFile, "/images/a disk.img");
}

TEST(DiskListTest, SizesAndSectorSizes) {
  SysfsFixture fx("sizes");
  BuildMachine(fx);
  const CPhysDisk* sda = theDiskList().FindByKernelName("sda");
  const CPhysDisk* sdb = theDiskList().FindByKernelName("/dev/sdb");
  ASSERT_TRUE(sda && sdb);
  EXPECT_EQ(sda->sectorSize, 512u);
  EXPECT_EQ(sda->sectorCount, 2000000u);
  EXPECT_EQ(sda->diskBytes, 2000000ull * 512);
  EXPECT_EQ(sda->maxTransferBytes, 32767ull * 1024);
  EXPECT_EQ(sda->devMajor, 240u);
  // sysfs sizes are 512-byte units whatever the logical block size.
  EXPECT_EQ(sdb->sectorSize, 4096u);
  EXPECT_EQ(sdb->physicalSectorSize, 4096u);
  EXPECT_EQ(sdb->sectorCount, 8000000ull * 512 / 4096);
  EXPECT_EQ(sdb->SizeBytes(), 8000000ull * 512);
  EXPECT_EQ(sdb->geometry.tracksPerCylinder, 255u);
  EXPECT_EQ(sdb->geometry.sectorsPerTrack, 63u);
  EXPECT_EQ(sdb->geometry.cylinders, 1000000u / (255 * 63));
}

TEST(DiskListTest, PartitionsInBytesCheckedAgainstTheDisk) {
  SysfsFixture fx("parts");
  BuildMachine(fx);
  const CPhysDisk* sda = theDiskList().FindByKernelName("sda");
  ASSERT_EQ(sda->partitions.size(), 2u);  // sda3 starts past the end
  EXPECT_EQ(sda->partitions[0].devicePath, "/dev/sda1");
  EXPECT_EQ(sda->partitions[0].extents[0], (DiskExtent{2, 2048ull * 512, 1000000ull * 512}));
  EXPECT_EQ(sda->defaultBootSector, 2048u);
  const CPhysDisk* sdb = theDiskList().FindByKernelName("sdb");
  ASSERT_EQ(sdb->partitions.size(), 2u);
  EXPECT_EQ(sdb->partitions[0].extents[0].startByte, 2048ull * 512);
  EXPECT_EQ(sdb->defaultBootSector, 2048u * 512 / 4096);
  // Clipped to the disk's end.
  EXPECT_EQ(sdb->partitions[1].extents[0].lengthBytes, (8000000ull - 4002048) * 512);
  EXPECT_EQ(theDiskList().FindByKernelName("vda")->defaultBootSector, 63u);
}

TEST(DiskListTest, ModelAndSerialFromSysfs) {
  SysfsFixture fx("ident");
  BuildMachine(fx);
  struct Case {
    const char* name;
    const char16_t* model;
    const char16_t* serial;
  } cases[] = {
      {"sda", u"Samsung SSD 870", u"S5SUNF0R123456A"},  // serial from page 0x80
      {"sdb", u"WDC WD40EFRX", u"WD-WCC7K1234567"},
      {"nvme0n1", u"Samsung SSD 980 PRO 1TB", u"S5GXNF0R000000X"},
      {"vda", u"", u"virtio-serial-1"},
      {"mmcblk0", u"SD32G", u""},
      {"loop0", u"", u""},
  };
  for (const Case& c : cases) {
    const CPhysDisk* d = theDiskList().FindByKernelName(c.name);
    ASSERT_NE(d, nullptr) << c.name;
    EXPECT_EQ(d->model, c.model) << c.name;
    EXPECT_EQ(d->serial, c.serial) << c.name;
  }
  EXPECT_EQ(theDiskList().FindByKernelName("sda")->vendor, u"ATA");
}

TEST(DiskListTest, DisplayNames) {
  GlobalObjectsScope scope;
  CPhysDisk d;
  d.deviceName = "PhysicalDrive3";
  d.sectorSize = 512;
  d.sectorCount = 2097152;  // 1 GiB
  struct Case {
    const char16_t* model;
    const char16_t* serial;
    const char16_t* expected;
  } cases[] = {
      {u"WDC WD10EZEX", u"WD-123456", u"Disk 3 (1.00 GB) - WDC WD10EZEX - WD-123456"},
      {u"WDC WD10EZEX", u"", u"Disk 3 (1.00 GB) - WDC WD10EZEX"},
      {u"", u"WD-123456", u"Disk 3 - 1.00 GB"},
      {u"", u"", u"Disk 3 - 1.00 GB"},
  };
  for (const Case& c : cases) {
    d.model = c.model;
    d.serial = c.serial;
    EXPECT_EQ(d.GetDisplayName(), c.expected);
  }
  d.sectorSize = 4096;
  d.model = u"M";
  d.serial.clear();
  EXPECT_EQ(d.GetDisplayName(), u"Disk 3 (" + FormatSize(int64_t(2097152) * 4096) + u") - M");
  CPhysDisk unnamed;
  EXPECT_EQ(unnamed.DiskNumber(), -1);
}

TEST(DiskListTest, FindDiskAcceptsTheDeviceSpellings) {
  SysfsFixture fx("find");
  BuildMachine(fx);
  const CPhysDisk* d2 = theDiskList().Disk(2);
  struct Case {
    const char* name;
    const CPhysDisk* expected;
  } cases[] = {
      {"PhysicalDrive2", d2},        {"\\\\.\\PhysicalDrive2", d2}, {"physicaldrive2", d2},
      {"PhysicalDrive99", nullptr}, {"PhysicalDrive", nullptr},     {"PhysicalDriveX", nullptr},
      {"sda", nullptr},             {"", nullptr},                  {"PhysicalDrive2x", nullptr},
  };
  for (const Case& c : cases) EXPECT_EQ(theDiskList().FindDisk(std::string_view(c.name)), c.expected) << c.name;
  EXPECT_EQ(theDiskList().FindDisk(WStringView(u"\\\\.\\PhysicalDrive2")), d2);
  EXPECT_EQ(theDiskList().DiskOfDriveName(u"\\\\.\\PhysicalDrive2<0:99>"), d2);
  EXPECT_EQ(theDiskList().DiskOfDriveName(u"relative/name"), nullptr);
  std::vector<WString> combo;
  theDiskList().PopulateCombo(combo);
  EXPECT_EQ(combo.size(), theDiskList().Count());
}

TEST(DiskListTest, VolumeExtentsOfPartitionsAndStackedDevices) {
  SysfsFixture fx("extents");
  BuildMachine(fx);
  int sda = theDiskList().FindByKernelName("sda")->DiskNumber();
  int sdb = theDiskList().FindByKernelName("sdb")->DiskNumber();
  int nvme = theDiskList().FindByKernelName("nvme0n1")->DiskNumber();
  DiskExtent sda2{sda, 1002048ull * 512, 997952ull * 512};
  DiskExtent sdb1{sdb, 2048ull * 512, 4000000ull * 512};
  DiskExtent nvmeP1{nvme, 2048ull * 512, 409600ull * 512};
  struct Case {
    const char* device;
    std::vector<DiskExtent> expected;
  } cases[] = {
      {"/dev/sda2", {sda2}},
      {"sdb1", {sdb1}},
      {"/dev/sda", {DiskExtent{sda, 0, 2000000ull * 512}}},
      {"/dev/dm-0", {sda2, sdb1}},   // both devices below it, whole
      {"/dev/md0", {nvmeP1}},
      {"/dev/md0p1", {nvmeP1}},      // a partition of md0 lies somewhere on all of it
      {"/dev/sda3", {}},             // dropped: past the disk's end
      {"/dev/nonexistent", {}},
      {"/dev/ram0", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(theDrvList().GetVolumeExtents(c.device), c.expected) << c.device;

  std::vector<DiskExtent> ext;
  EXPECT_EQ(theDiskList().DiskOfDevice("/dev/dm-0", &ext), theDiskList().Disk(size_t(sda)));
  EXPECT_EQ(ext.size(), 2u);
  EXPECT_EQ(theDiskList().DiskOfDevice("/dev/ram0", &ext), nullptr);
  EXPECT_TRUE(ext.empty());

  // The volume that starts at a place, with the sum of its extents.
  uint64_t total = 0;
  EXPECT_EQ(theDrvList().GetDriveLetter(sda, 1002048ull * 512, &total), "/dev/sda2");
  EXPECT_EQ(total, 997952ull * 512);
  // dm-0 starts where sda2 does, but sda2 comes first; an off-by-one start finds nothing.
  EXPECT_EQ(theDrvList().GetDriveLetter(sda, 1002048ull * 512 + 512, &total), "");
  EXPECT_EQ(total, 0u);
  std::vector<VolumeInfo> volumes = theDiskList().Volumes();
  const VolumeInfo* dm = nullptr;
  for (const VolumeInfo& v : volumes)
    if (v.kernelName == "dm-0") dm = &v;
  ASSERT_NE(dm, nullptr);
  EXPECT_EQ(dm->mapperName, "vg-data");
  EXPECT_EQ(dm->kind, VolumeInfo::kDeviceMapper);
  uint64_t sum = 0;
  for (const DiskExtent& e : dm->extents) sum += e.lengthBytes;
  EXPECT_EQ(sum, sda2.lengthBytes + sdb1.lengthBytes);  // two extents: both lengths
}

TEST(DiskListTest, MountPointsFromTheMountTable) {
  SysfsFixture fx("mounts");
  BuildMachine(fx);
  std::map<std::string, std::pair<std::string, std::string>> seen;
  for (const VolumeInfo& v : theDiskList().Volumes()) seen[v.kernelName] = {v.mountPoint, v.fsType};
  EXPECT_EQ(seen["sdb2"], std::make_pair(std::string("/mnt/big disk"), std::string("ext4")));
  // btrfs shows an anonymous device number: matched by its source device,
  // and the mount of the whole file system wins over a subvolume.
  EXPECT_EQ(seen["sda1"], std::make_pair(std::string("/"), std::string("btrfs")));
  EXPECT_EQ(seen["dm-0"], std::make_pair(std::string("/srv"), std::string("xfs")));
  EXPECT_EQ(seen["sda2"].first, "");
}

TEST(DiskListTest, SectorCountTakesTheLargerOfGeometryAndBytes) {
  DiskGeometry g;
  g.cylinders = 100;
  g.tracksPerCylinder = 255;
  g.sectorsPerTrack = 63;
  g.bytesPerSector = 512;
  EXPECT_EQ(SectorCountFromGeometry(g, 100ull * 255 * 63 * 512 + 5 * 512), 100ull * 255 * 63 + 5);
  EXPECT_EQ(SectorCountFromGeometry(g, 512), 100ull * 255 * 63);
  g.bytesPerSector = 0;
  EXPECT_EQ(SectorCountFromGeometry(g, 1 << 20), 100ull * 255 * 63);
}

TEST(DiskListTest, KernelOrder) {
  struct Case {
    const char* a;
    const char* b;
  } ordered[] = {{"sda", "sdb"}, {"sdz", "sdaa"}, {"sdaa", "sdab"}, {"loop9", "loop10"},
                 {"nvme0n1", "nvme0n2"}, {"nvme2n1", "nvme10n1"}, {"sda1", "sda2"}, {"sda9", "sda10"},
                 {"md0", "md0p1"}, {"loop01", "loop2"}};
  for (const Case& c : ordered) {
    EXPECT_TRUE(sysblock::KernelNameLess(c.a, c.b)) << c.a << " < " << c.b;
    EXPECT_FALSE(sysblock::KernelNameLess(c.b, c.a)) << c.b << " !< " << c.a;
  }
  EXPECT_FALSE(sysblock::KernelNameLess("sda", "sda"));
}

// ---------------------------------------------------------------- drive attributes

namespace {
int g_rangesDestroyed = 0;
struct CountedRanges : CSectRanges {
  ~CountedRanges() override { ++g_rangesDestroyed; }
};
}  // namespace

TEST(DiskListTest, DrvAttrReplacesAndFindsBySpelling) {
  SysfsFixture fx("attr");
  BuildMachine(fx);
  CDrvAttr attr;
  auto first = std::make_unique<DrvInfo>(u"PhysicalDrive2");
  EXPECT_EQ(first->retryPiece, 0x10000u);
  EXPECT_EQ(first->values64[0], -1);
  EXPECT_EQ(first->values32[3], ~0u);
  EXPECT_EQ(first->flags[0], 1);
  EXPECT_EQ(first->exclusions, nullptr);
  first->exclusions = std::make_unique<CountedRanges>();
  DrvInfo* firstPtr = attr.AddDrvInfo(std::move(first));
  EXPECT_TRUE(attr.FindDrvInfoPtr(firstPtr));
  g_rangesDestroyed = 0;
  // Another spelling of the same disk replaces the entry and deletes the old one.
  auto second = std::make_unique<DrvInfo>(u"\\\\.\\physicaldrive2");
  second->exclusions = std::make_unique<CSectRanges>();
  second->exclusions->AddRange(100, 200);
  DrvInfo* secondPtr = attr.AddDrvInfo(std::move(second));
  EXPECT_EQ(g_rangesDestroyed, 1);
  EXPECT_EQ(attr.Count(), 1u);
  EXPECT_TRUE(attr.FindDrvInfoPtr(secondPtr));

  // PhysicalDrive2 is sda in this machine.
  for (const char16_t* name : {u"PhysicalDrive2", u"\\\\.\\PhysicalDrive2", u"/dev/sda", u"sda", u"PHYSICALDRIVE2"})
    EXPECT_EQ(attr.FindDrvInfo(name), secondPtr) << ToUtf8(name);
  EXPECT_EQ(attr.FindDrvInfo(u"PhysicalDrive3"), nullptr);
  EXPECT_EQ(attr.FindDrvInfo(u"/dev/sdb"), nullptr);
  CSectRanges copy;
  EXPECT_TRUE(attr.CopyExclusions(u"/dev/sda", &copy));
  EXPECT_EQ(copy.List(), (std::vector<CSectRanges::Range>{{100, 200}}));
  EXPECT_FALSE(attr.CopyExclusions(u"PhysicalDrive3", &copy));

  // Image paths keep their case; other names fold ASCII letters.
  attr.AddDrvInfo(std::make_unique<DrvInfo>(u"/images/Disk.img"));
  EXPECT_NE(attr.FindDrvInfo(u"/images/Disk.img"), nullptr);
  EXPECT_EQ(attr.FindDrvInfo(u"/images/disk.img"), nullptr);
  attr.AddDrvInfo(std::make_unique<DrvInfo>(u"RAID5(a,b,c)"));
  EXPECT_NE(attr.FindDrvInfo(u"raid5(A,B,C)"), nullptr);
  EXPECT_EQ(attr.Count(), 3u);
  EXPECT_TRUE(attr.DeleteDrvInfo(u"sda"));
  EXPECT_FALSE(attr.DeleteDrvInfo(u"sda"));
  EXPECT_FALSE(attr.FindDrvInfoPtr(secondPtr));
  EXPECT_EQ(attr.Count(), 2u);
}

// ---------------------------------------------------------------- mount table and labels

TEST(SysBlockTest, ParsesTheMountTable) {
  std::string text =
      "22 28 0:21 / /proc rw,relatime - proc proc rw\n"
      "28 1 254:0 / / rw,relatime shared:1 master:2 - ext4 /dev/vda rw,discard\n"
      "40 28 8:17 /sub /mnt/my\\040disk\\011tab rw - vfat /dev/sdb1 rw,fmask=0022\n"
      "garbage line\n"
      "41 28 x:y / /bad rw - ext4 /dev/x rw\n"
      "42 28 0:60 / /merged rw - overlay overlay rw,lowerdir=/l1:/l\\:2,upperdir=/up\\,per,workdir=/work\n"
      "43 28 8:1 / /short rw -\n";
  std::vector<sysblock::MountEntry> m = sysblock::ParseMountInfo(text);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[1].mountPoint, "/");
  EXPECT_EQ(m[1].source, "/dev/vda");
  EXPECT_EQ(m[1].fsType, "ext4");
  EXPECT_EQ(m[1].major, 254u);
  EXPECT_EQ(m[2].mountPoint, "/mnt/my disk\ttab");
  EXPECT_EQ(m[2].root, "/sub");
  EXPECT_EQ(m[2].minor, 17u);
  EXPECT_EQ(sysblock::OverlayLayers(m[3].superOptions),
            (std::vector<std::string>{"/l1", "/l:2", "/up,per", "/work"}));
  EXPECT_EQ(sysblock::UnescapeMountField("a\\040b\\"), "a b\\");
  EXPECT_EQ(sysblock::UnescapeMountField("\\09x"), "\\09x");
}

TEST(SysBlockTest, LabelsAsBlkidReadsThem) {
  const std::string folder = FixtureCache();
  const char* kinds[] = {"ext4", "ntfs", "fat16", "fat32", "exfat", "xfs"};
  for (const char* kind : kinds) {
    const int status = RunFixtureScript("make_label_images.sh", folder, kind);
    if (status == 77) GTEST_SKIP() << "a file-system tool is missing for " << kind;
    ASSERT_EQ(status, 0) << "make_label_images.sh " << kind;
    std::map<std::string, std::string> report;
    std::ifstream in(folder + "/" + kind + ".label.txt");
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string value;
      for (size_t i = eq + 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;  // blkid escapes blanks
        value.push_back(line[i]);
      }
      report.emplace(line.substr(0, eq), value);
    }
    sysblock::FsLabel l = sysblock::ProbeLabelOfPath(folder + "/" + kind + ".label.img");
    EXPECT_EQ(ToUtf8(l.label), report["LABEL"]) << kind;
    EXPECT_EQ(l.fsType, report["TYPE"]) << kind;
  }
}

TEST(SysBlockTest, LabelProbeSurvivesDamagedBlocks) {
  // Boot blocks that claim each file system with nonsense numbers.
  std::vector<uint8_t> img(1 << 16, 0);
  auto reader = [&](uint64_t offset, void* buf, size_t len) {
    if (offset > img.size() || len > img.size() - offset) return false;
    memcpy(buf, img.data() + offset, len);
    return true;
  };
  EXPECT_EQ(sysblock::ProbeLabel(reader, img.size()).fsType, "");
  EXPECT_EQ(sysblock::ProbeLabel(reader, 100).fsType, "");
  memcpy(&img[3], "NTFS    ", 8);
  img[0x0B] = 0x00;
  img[0x0C] = 0x02;
  img[0x0D] = 8;
  img[0x30] = 0xFF;  // $MFT far past the end
  img[0x37] = 0x7F;
  img[0x40] = 0xF6;
  EXPECT_EQ(sysblock::ProbeLabel(reader, img.size()).fsType, "");
  img[0x30] = 2;  // $MFT at 8 KiB, but no FILE record there
  img[0x37] = 0;
  EXPECT_EQ(sysblock::ProbeLabel(reader, img.size()).fsType, "");
  memcpy(&img[8192 + 3 * 1024], "FILE", 4);  // record 3 with a bad update sequence
  img[8192 + 3 * 1024 + 4] = 0xF0;
  img[8192 + 3 * 1024 + 5] = 0x03;
  img[8192 + 3 * 1024 + 6] = 3;
  img[8192 + 3 * 1024 + 0x3F0] = 0x12;  // sequence number the blocks do not end with
  EXPECT_EQ(sysblock::ProbeLabel(reader, img.size()).fsType, "");
  std::fill(img.begin(), img.end(), 0);
  memcpy(&img[3], "EXFAT   ", 8);
  img[0x6C] = 9;
  img[0x6D] = 30;  // cluster shift too large
  EXPECT_EQ(sysblock::ProbeLabel(reader, img.size()).fsType, "");
  img[0x6D] = 3;
  img[0x58] = 0xFF;  // heap far past the end
  img[0x5B] = 0x7F;
  img[0x60] = 5;
  EXPECT_EQ(sysblock::ProbeLabel(reader, img.size()).fsType, "");
}

// ---------------------------------------------------------------- this machine

namespace {

// lsblk -P output: one map per line.
std::vector<std::map<std::string, std::string>> Lsblk() {
  std::string out = RunCommand("lsblk -b -d -n -P -o NAME,SIZE,LOG-SEC,MODEL,SERIAL 2>/dev/null");
  std::vector<std::map<std::string, std::string>> rows;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::map<std::string, std::string> row;
    size_t p = 0;
    while (p < line.size()) {
      size_t eq = line.find("=\"", p);
      if (eq == std::string::npos) break;
      size_t end = line.find('"', eq + 2);
      if (end == std::string::npos) break;
      std::string key = line.substr(p, eq - p);
      while (!key.empty() && key.front() == ' ') key.erase(0, 1);
      row[key] = line.substr(eq + 2, end - eq - 2);
      p = end + 1;
    }
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  size_t e = s.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

void CompareWithLsblk() {
  // Other tests bind and free loop devices meanwhile: a loop device counts
  // only when lsblk shows it the same before and after the list was read.
  auto before = Lsblk();
  theDiskList().Refresh();
  auto rows = Lsblk();
  if (rows.empty()) GTEST_SKIP() << "lsblk gives nothing here";
  std::map<std::string, std::map<std::string, std::string>> byName, stable;
  for (auto& r : rows) byName[r["NAME"]] = r;
  for (auto& r : before)
    if (byName.count(r["NAME"]) && byName[r["NAME"]] == r) stable[r["NAME"]] = r;
  for (size_t i = 0; i < theDiskList().Count(); ++i) {
    const CPhysDisk* d = theDiskList().Disk(i);
    const bool loop = d->kernelName.rfind("loop", 0) == 0;
    auto it = loop ? stable.find(d->kernelName) : byName.find(d->kernelName);
    if (loop && it == stable.end()) continue;
    ASSERT_NE(it, byName.end()) << d->kernelName << " is not a disk to lsblk";
    auto& r = it->second;
    EXPECT_EQ(std::to_string(d->diskBytes), r["SIZE"]) << d->kernelName;
    EXPECT_EQ(std::to_string(d->sectorSize), r["LOG-SEC"]) << d->kernelName;
    EXPECT_EQ(d->SizeBytes(), d->diskBytes) << d->kernelName;
    if (!Trim(r["MODEL"]).empty()) {
      EXPECT_EQ(ToUtf8(d->model), Trim(r["MODEL"])) << d->kernelName;
    }
    if (!Trim(r["SERIAL"]).empty()) {
      EXPECT_EQ(ToUtf8(d->serial), Trim(r["SERIAL"])) << d->kernelName;
    }
  }
  // Every disk of the kinds we list is there.
  for (auto& r : rows) {
    const std::string& name = r["NAME"];
    bool kind = name.rfind("sd", 0) == 0 || name.rfind("vd", 0) == 0 || name.rfind("nvme", 0) == 0;
    if (!kind || r["SIZE"] == "0" || name.find('c') != std::string::npos) continue;
    EXPECT_NE(theDiskList().FindByKernelName(name), nullptr) << name;
  }
  for (size_t i = 0; i < theDiskList().Count(); ++i)
    EXPECT_NE(theDiskList().Disk(i)->kernelName.rfind("zram", 0), 0u);
}

}  // namespace

TEST(DiskListTest, MatchesLsblkOnThisMachine) { CompareWithLsblk(); }

TEST(DiskListTest, LoopDevicesJoinTheListWithTheirSectorSize) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for losetup";
  const TempFolder dirTemp("loopdisk");
  std::string dir = dirTemp.Path();
  std::string img = dir + "/disk.img";
  RunCommand("truncate -s 8M '" + img + "'");
  for (int sectorSize : {512, 4096}) {
    LoopDevice loop(img, "--sector-size " + std::to_string(sectorSize));
    const std::string dev = loop.path();
    if (dev.empty()) GTEST_SKIP() << "no loop device available";
    theDiskList().Refresh();
    const CPhysDisk* d = theDiskList().FindByKernelName(dev);
    EXPECT_NE(d, nullptr) << dev;
    if (d) {
      EXPECT_EQ(d->sectorSize, uint32_t(sectorSize));
      EXPECT_EQ(d->diskBytes, 8u << 20);
      EXPECT_EQ(d->sectorCount, (8u << 20) / uint32_t(sectorSize));
      EXPECT_EQ(d->backingFile, img);
      EXPECT_EQ(theDiskList().DiskOfDevice(dev), d);
      // Loop devices come after every real disk.
      EXPECT_EQ(theDiskList().Disk(theDiskList().Count() - 1)->kernelName.rfind("loop", 0), 0u);
    }
    CompareWithLsblk();
    loop.Detach();
  }
  theDiskList().Refresh();
}
