// The volume search over a disk image holding FAT32, NTFS, FAT16 and FAT12
// volumes made by mkfs.fat and mkntfs (tests/fixtures/make_volume_search.sh),
// compared with what mmls and fsstat report; then with the partition table,
// a boot sector, or a boot sector and its FAT gone.
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "filesystems/fat/FatVolume.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/Globals.h"
#include "platform/Format.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "storage/PartitionTable.h"
#include "tests/storage/SysfsFixture.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/LoopDevice.h"
#include "tests/support/TestUtil.h"
#include "volumes/BootVolume.h"
#include "volumes/Volume.h"

namespace {

// (start, type code, size in sectors)
using Vols = std::vector<std::tuple<uint64_t, int, uint64_t>>;

int TypeCode(const std::string& text) {
  if (text == "NTFS") return kVolNtfs;
  if (text == "FAT32") return kVolFat32;
  if (text == "FAT16" || text == "FAT12") return kVolFat16;
  return -1;
}

Vols ReadFsstat(const std::string& path) {
  Vols out;
  std::ifstream in(path);
  uint64_t start, size;
  std::string type;
  while (in >> start >> type >> size) out.emplace_back(start, TypeCode(type), size);
  std::sort(out.begin(), out.end());
  return out;
}

std::unique_ptr<Drive> Open(const WString& name) {
  std::unique_ptr<Drive> d(CreateDrive(name));
  d->InitDrive(name);
  return d;
}

Vols VolumesOf(const Drive& d) {
  Vols out;
  for (uint32_t i = 0; i < VolumeCount(d); ++i) {
    const CVol* v = VolumeAt(d, i);
    out.emplace_back(v->startSector, v->type, v->sizeSectors);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class VolumeSearchImages : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST(VolumeSearch, PartitionTableMatchesMmls) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, ntfs-3g, fdisk or sleuthkit missing";
  auto d = Open(FromUtf8(folder + "/vs_disk.img"));
  ScanPartitions(*d);
  ASSERT_TRUE(d->partitionTable);
  std::vector<std::pair<uint64_t, uint64_t>> ours, theirs;
  for (const PartitionEntry& e : *d->partitionTable) ours.emplace_back(e.Start(), e.Length());
  std::ifstream in(folder + "/vs_disk.mmls.txt");
  uint64_t s, l;
  while (in >> s >> l) theirs.emplace_back(s, l);
  EXPECT_EQ(ours, theirs);
  // Each partition's search found its volume.
  for (const PartitionEntry& e : *d->partitionTable) EXPECT_GE(e.searchResult, 1) << e.Start();
}

// Every image lists the volumes fsstat reports, whatever was damaged.
TEST_P(VolumeSearchImages, VolumesMatchFsstat) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, ntfs-3g, fdisk or sleuthkit missing";
  const Vols expected = ReadFsstat(folder + "/vs_disk.fsstat.txt");
  ASSERT_EQ(expected.size(), 4u);
  auto d = Open(FromUtf8(folder + "/" + GetParam()));
  ScanPartitions(*d);
  EXPECT_EQ(VolumesOf(*d), expected);
  // Numbered in table order, each bound to the drive.
  for (uint32_t i = 0; i < VolumeCount(*d); ++i) {
    EXPECT_EQ(VolumeAt(*d, i)->volumeNumber, i);
    EXPECT_EQ(VolumeAt(*d, i)->drive, d.get());
  }
  // A second search adds nothing.
  ScanPartitions(*d);
  EXPECT_EQ(VolumeCount(*d), 4u);
}

INSTANTIATE_TEST_SUITE_P(Images, VolumeSearchImages,
                         ::testing::Values("vs_disk.img", "vs_nombr.img", "vs_ntfsbak.img", "vs_fat32gone.img",
                                           "vs_fat32nofat.img"));

TEST(VolumeSearch, NtfsFoundFromItsBackupKeepsItsGeometry) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const auto layout = ReadNameValues(folder + "/vs_layout.txt");
  auto d = Open(FromUtf8(folder + "/vs_ntfsbak.img"));
  ScanPartitions(*d);
  const NTFSVol* ntfs = nullptr;
  for (uint32_t i = 0; i < VolumeCount(*d); ++i)
    if (VolumeAt(*d, i)->type == kVolNtfs) ntfs = static_cast<const NTFSVol*>(VolumeAt(*d, i));
  ASSERT_NE(ntfs, nullptr);
  EXPECT_EQ(ntfs->startSector, layout.at("ntfs"));
  EXPECT_GT(ntfs->mftSector, 0);
  EXPECT_EQ(ntfs->index, int32_t(ntfs->volumeNumber));
}

TEST(VolumeSearch, Fat32BackupBootSectorGivesTheVolumeStart) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const auto layout = ReadNameValues(folder + "/vs_layout.txt");
  // The first FAT gone, the second one is found; then both gone, the backup
  // at sector 2054 stands for a volume at 2048.
  for (const char* image : {"vs_fat32gone.img", "vs_fat32nofat.img"}) {
    auto d = Open(FromUtf8(folder + "/" + image));
    EXPECT_FALSE(IsFat32TableStart(*d, int64_t(layout.at("fat32") + layout.at("fat32reserved")), 0xF8));
    BootHit hit;
    const int32_t passed = LookForBootSector(*d, 2048, 2048, &hit);
    EXPECT_EQ(passed, 6) << image << ": the backup boot sector 6 sectors in";
    EXPECT_EQ(hit.kind, kVolFat32) << image;
    EXPECT_EQ(hit.start, int64_t(layout.at("fat32"))) << image;
    EXPECT_EQ(hit.foundAt, int64_t(layout.at("fat32") + 6)) << image;
    // A search starting past the volume's start finds the same start.
    BootHit again;
    EXPECT_EQ(LookForBootSector(*d, 2049, 2048, &again), 5) << image;
    EXPECT_EQ(again.start, hit.start) << image;
  }
}

// A drive cut short by an extent suffix: a volume running past its end is
// kept, as large as it says, when its metadata is on the drive (a partial
// image), and refused when it is not; the ones inside are kept.
TEST(VolumeSearch, VolumesPastTheDriveEndKeptOnlyWithTheirMetadata) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const auto layout = ReadNameValues(folder + "/vs_layout.txt");
  const Vols all = ReadFsstat(folder + "/vs_disk.fsstat.txt");
  struct Case {
    int64_t keep;  // sectors of the FAT12 volume left on the drive
    bool kept;
  };
  // Its boot sector alone; its tables and root folder and some data.
  for (const Case c : {Case{2, false}, Case{4000, true}}) {
    SCOPED_TRACE(c.keep);
    const int64_t last = int64_t(layout.at("fat12")) + c.keep - 1;
    auto d = Open(FormatW(u"%s<0:%I64d>", FromUtf8(folder + "/vs_disk.img"), last));
    ASSERT_EQ(d->SectorCount(), uint64_t(last + 1));
    ScanPartitions(*d);
    Vols expected = all;
    if (!c.kept) expected.pop_back();  // the FAT12 volume
    EXPECT_EQ(VolumesOf(*d), expected);
  }
  // The same with the NTFS volume cut: only a partial image whose $MFT
  // is on the drive keeps its volume at its own start; any other reading
  // lies inside the drive.
  const int64_t inNtfs = int64_t(layout.at("ntfs")) + 1000;
  auto cut = Open(FormatW(u"%s<0:%I64d>", FromUtf8(folder + "/vs_disk.img"), inNtfs));
  ScanPartitions(*cut);
  for (uint32_t i = 0; i < VolumeCount(*cut); ++i) {
    const CVol* v = VolumeAt(*cut, i);
    if (v->startSector + v->sizeSectors <= cut->SectorCount()) continue;
    EXPECT_EQ(v->startSector, layout.at("ntfs")) << int(v->type) << " at " << v->startSector;
    const FamilySearchOps* f = FindSearchOps(v->type);
    ASSERT_TRUE(f && f->keepsPastDriveEnd);
    EXPECT_TRUE(f->keepsPastDriveEnd(*const_cast<CVol*>(v), *cut));
  }
}

TEST(VolumeSearch, TableHoldsAtMost163Volumes) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  auto d = Open(FromUtf8(folder + "/vs_disk.img"));
  int added = 0;
  for (int i = 0; i < 170; ++i) {
    auto* v = new CUnknownVol(kVolRefs);
    v->startSector = uint64_t(i);
    int32_t index = 0;
    if (AddVolume(*d, v, 0, &index)) {
      ++added;
      EXPECT_EQ(index, i);
      EXPECT_EQ(v->driveLetter[0], char16_t(kNoLetterBase + i));
    } else {
      EXPECT_EQ(index, -1);
      delete v;
    }
  }
  EXPECT_EQ(added, 163);
  // The same volume again completes the known one instead.
  auto* again = new CUnknownVol(kVolRefs);
  again->startSector = 5;
  again->sizeSectors = 77;
  int32_t index = -1;
  EXPECT_FALSE(AddVolume(*d, again, 0, &index));
  EXPECT_EQ(index, 5);
  EXPECT_EQ(VolumeAt(*d, 5)->sizeSectors, 77u);
  delete again;
}

// A volume's own device: opening it checks an NTFS volume's format time,
// and its search finds the one volume at sector 0, also from the backup
// boot sector.
TEST(VolumeSearch, VolumeDevices) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  if (getuid() != 0) GTEST_SKIP() << "needs root for losetup";
  const auto layout = ReadNameValues(folder + "/vs_layout.txt");
  const Vols expected = ReadFsstat(folder + "/vs_disk.fsstat.txt");
  SysfsFixture noDisks("volume_search");
  theDiskList().Refresh();
  SetDriveOpenProbe(&ProbeOpenedDrive);
  // mkntfs stamped the $MFT when the fixture was made.
  struct stat st{};
  ASSERT_EQ(stat((folder + "/vs_disk.img").c_str(), &st), 0);
  const uint32_t fresh = std::time(nullptr) - st.st_mtime < 13 * 24 * 3600 ? 1 : 0;
  struct Case {
    const char* image;
    uint64_t start, length;
    int type;
    uint32_t recent;
  };
  const Case cases[] = {
      {"vs_disk.img", layout.at("ntfs"), layout.at("ntfslength"), kVolNtfs, fresh},
      {"vs_ntfsbak.img", layout.at("ntfs"), layout.at("ntfslength"), kVolNtfs, 0},
      {"vs_disk.img", layout.at("fat32"), std::get<2>(expected[0]), kVolFat32, 0},
  };
  for (const Case& c : cases) {
    // Read-only, over the volume's sectors only.
    LoopDevice loop(folder + "/" + c.image, "-r -o " + std::to_string(c.start * 512) + " --sizelimit " +
                                                std::to_string(c.length * 512));
    if (loop.path().empty()) GTEST_SKIP() << "no loop device";
    auto d = Open(FromUtf8(loop.path()));
    ASSERT_TRUE(d->IsVolumeDevice()) << loop.path();
    EXPECT_EQ(d->recentlyFormatted, c.recent) << c.image << " " << c.start;
    ScanPartitions(*d);
    ASSERT_GE(VolumeCount(*d), 1u) << c.image << " " << c.start;
    EXPECT_EQ(VolumeAt(*d, 0)->type, c.type);
    EXPECT_EQ(VolumeAt(*d, 0)->startSector, 0u);
  }
  SetDriveOpenProbe(nullptr);
}

// A file system whose reader is not built yet: its volume header is found
// and counted at its partition, but no volume is made.
TEST(VolumeSearch, UnrecognisedFileSystemsAreCountedNotAdded) {
  GlobalObjectsScope scope;
  const TempFolder dirTemp("volume_search_vmfs");
  const std::string dir = dirTemp.Path();
  const std::string path = dir + "/vmfs.img";
  std::vector<uint8_t> disk(40u << 20, 0);
  uint8_t* mbr = disk.data();
  mbr[446 + 4] = 0xFB;  // VMFS
  const uint32_t first = 2048, count = 40960;
  memcpy(mbr + 446 + 8, &first, 4);
  memcpy(mbr + 446 + 12, &count, 4);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  // The volume header 1 MiB into the partition: inside the 2 MiB search of
  // a VMFS partition, past the 1 MiB of any other.
  const uint32_t magic = 0xC001D00D;
  memcpy(disk.data() + size_t(first + 2048) * 512, &magic, 4);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(disk.data()), std::streamsize(disk.size()));
  }
  auto d = Open(FromUtf8(path));
  EXPECT_EQ(ScanPartitions(*d), 1);
  EXPECT_EQ(d->partitionTable->Entry(0).type, 0xFB);
  EXPECT_EQ(d->partitionTable->Entry(0).searchResult, 1);
  EXPECT_EQ(VolumeCount(*d), 0u);
  BootHit hit;
  EXPECT_EQ(LookForBootSector(*d, first, 4096, &hit), 2048);
  EXPECT_EQ(hit.kind, kVolVmfs);
  EXPECT_EQ(hit.start, int64_t(first));
}
