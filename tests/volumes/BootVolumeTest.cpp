// From boot sector to volume: the FAT geometry against fsstat, a volume
// found twice added once, boot sectors that claim more than the drive
// holds, the NTFS recent-format check, and the slot cache.
#include "volumes/BootVolume.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "platform/Format.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "volumes/Volume.h"
#include "volumes/SlotCache.h"
#include "filesystems/ntfs/NtfsBoot.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

std::unique_ptr<Drive> Open(const WString& name) {
  std::unique_ptr<Drive> d(CreateDrive(name));
  d->InitDrive(name);
  return d;
}

struct FsstatRow {
  uint64_t start;
  std::string type;
  uint64_t size;
};

std::vector<FsstatRow> Fsstat(const std::string& folder) {
  std::vector<FsstatRow> out;
  std::ifstream in(folder + "/vs_disk.fsstat.txt");
  FsstatRow r;
  while (in >> r.start >> r.type >> r.size) out.push_back(r);
  return out;
}

}  // namespace

TEST(BootVolume, FatBootSectorsBecomeVolumesOnce) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, ntfs-3g, fdisk or sleuthkit missing";
  const std::string img = folder + "/vs_disk.img";
  auto d = Open(FromUtf8(img));
  int made = 0;
  for (const FsstatRow& r : Fsstat(folder)) {
    if (r.type == "NTFS") continue;
    const auto boot = SectorAt(img, r.start);
    const int kind = ProbeVolumeKind(boot.data());
    ASSERT_EQ(kind, r.type == "FAT32" ? kVolFat32 : kVolFat16) << r.type;
    const int index = ProcBootCm(int64_t(r.start), boot.data(), uint8_t(kind), nullptr, d.get());
    ASSERT_GE(index, 0) << r.type;
    const CVol* v = VolumeAt(*d, uint32_t(index));
    EXPECT_EQ(v->startSector, r.start);
    EXPECT_EQ(v->sizeSectors, r.size) << r.type;
    EXPECT_EQ(v->type, kind);
    EXPECT_EQ(v->sectorSize, 512u);
    ++made;
    // Found again (also through its FAT32 backup copy): not added.
    EXPECT_EQ(ProcBootCm(int64_t(r.start), boot.data(), uint8_t(kind), nullptr, d.get()), -1);
    if (kind == kVolFat32) {
      const auto copy = SectorAt(img, r.start + 6);
      EXPECT_EQ(ProcBootCm(int64_t(r.start), copy.data(), uint8_t(kind), nullptr, d.get()), -1);
    }
  }
  EXPECT_EQ(made, 3);
  EXPECT_EQ(VolumeCount(*d), 3u);
}

TEST(BootVolume, VolumesThatDoNotFitTheDriveAreRefused) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const std::string img = folder + "/vs_disk.img";
  auto d = Open(FromUtf8(img));
  const auto rows = Fsstat(folder);
  ASSERT_EQ(rows.size(), 4u);
  const FsstatRow& fat16 = rows[2];
  const FsstatRow& ntfs = rows[1];
  // The right boot sector at a place too near the end of the drive.
  const int64_t late = int64_t(d->SectorCount() - fat16.size / 2);
  auto boot = SectorAt(img, fat16.start);
  EXPECT_EQ(ProcBootCm(late, boot.data(), kVolFat16, nullptr, d.get()), -1);
  // A total of 2^32 - 1 sectors, placed where its tables are not.
  auto big = boot;
  memset(big.data() + 19, 0, 2);
  memset(big.data() + 32, 0xFF, 4);
  EXPECT_EQ(ProcBootCm(int64_t(fat16.start) + 64, big.data(), kVolFat16, nullptr, d.get()), -1);
  // A FAT area larger than the volume.
  auto fatHuge = boot;
  fatHuge[22] = 0xFF;
  fatHuge[23] = 0xFF;
  EXPECT_EQ(ProcBootCm(int64_t(fat16.start), fatHuge.data(), kVolFat16, nullptr, d.get()), -1);
  // NTFS: the real one placed too late (its $MFT past the drive's end).
  auto nboot = SectorAt(img, ntfs.start);
  auto nbig = nboot;
  memset(nbig.data() + 0x28, 0, 8);
  nbig[0x2E] = 0x01;  // 2^48 sectors
  EXPECT_EQ(NTFS::ProcBoot(int64_t(d->SectorCount() - 100), nboot.data(), d.get()), -1);
  EXPECT_EQ(VolumeCount(*d), 0u);
  // A total past the drive whose $MFT is on it reads as a partial image of
  // a larger disk: kept, as large as its boot sector says; so does a FAT
  // volume whose tables and root folder are on it.
  {
    auto partial = Open(FromUtf8(img));
    const int index = NTFS::ProcBoot(int64_t(ntfs.start), nbig.data(), partial.get());
    ASSERT_GE(index, 0);
    EXPECT_EQ(VolumeAt(*partial, uint32_t(index))->sizeSectors, uint64_t(1) << 48);
    const int fat = ProcBootCm(int64_t(fat16.start), big.data(), kVolFat16, nullptr, partial.get());
    ASSERT_GE(fat, 0);
    EXPECT_EQ(VolumeAt(*partial, uint32_t(fat))->sizeSectors, 0xFFFFFFFFu);
  }
  // The other families are not recognised yet.
  EXPECT_EQ(ProcBootCm(0, boot.data(), kVolExt, nullptr, d.get()), -1);
  EXPECT_EQ(ProcBootCm(0, boot.data(), kVolNtfs, nullptr, d.get()), -1);
  // The real NTFS boot sector in its place.
  const int index = NTFS::ProcBoot(int64_t(ntfs.start), nboot.data(), d.get());
  ASSERT_GE(index, 0);
  EXPECT_EQ(VolumeAt(*d, uint32_t(index))->sizeSectors, ntfs.size);
  EXPECT_EQ(NTFS::ProcBoot(int64_t(ntfs.start), nboot.data(), d.get()), -1);
}

TEST(BootVolume, VolumeGivenByTheCallerIsInitialisedInPlace) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const std::string img = folder + "/vs_disk.img";
  auto d = Open(FromUtf8(img));
  const FsstatRow fat32 = Fsstat(folder)[0];
  CUnknownVol v(kVolFat32);
  EXPECT_EQ(ProcBootCm(int64_t(fat32.start), SectorAt(img, fat32.start).data(), kVolFat32, &v, d.get()),
            d->DiskNumber());
  EXPECT_EQ(v.sizeSectors, fat32.size);
  EXPECT_EQ(VolumeCount(*d), 0u) << "the caller keeps it";
}

TEST(BootVolume, RecentFormatCheckReadsTheMftRecordTime) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const std::string img = folder + "/vs_disk.img";
  const FsstatRow ntfs = Fsstat(folder)[1];
  // The NTFS volume alone, as its own device would show it.
  auto d = Open(FormatW(u"%s<%I64d:%I64d>", FromUtf8(img), int64_t(ntfs.start), int64_t(ntfs.start + ntfs.size)));
  std::vector<uint8_t> first(8 * 512);
  ASSERT_TRUE(d->ReadSectors(0, uint32_t(first.size()), 512, first.data(), true));
  struct stat st{};
  ASSERT_EQ(stat(img.c_str(), &st), 0);
  const bool fresh = std::time(nullptr) - st.st_mtime < 13 * 24 * 3600;
  EXPECT_EQ(NTFS::RecentlyFormatted(*d, first.data(), uint32_t(first.size())), fresh);
  // A FAT volume is never "recently formatted" NTFS.
  auto f = Open(FromUtf8(img));
  const auto fat = SectorAt(img, Fsstat(folder)[0].start);
  EXPECT_FALSE(NTFS::RecentlyFormatted(*f, fat.data(), 512));
  SetDriveOpenProbe(&ProbeOpenedDrive);
  SetDriveOpenProbe(nullptr);
}

TEST(BootVolume, SlotCacheEvictsTheLowestAge) {
  SlotCache cache(4, 64);
  uint32_t slot = 99;
  for (int64_t key = 1; key <= 4; ++key) {
    EXPECT_FALSE(cache.Lookup(key, &slot));
    cache.SetKey(key, slot);
    memset(cache.Slot(slot), int(key), 64);
  }
  // Keys 1-4 each in a slot of their own.
  for (int64_t key = 1; key <= 4; ++key) {
    ASSERT_TRUE(cache.Lookup(key, &slot)) << key;
    EXPECT_EQ(cache.Slot(slot)[0], uint8_t(key));
  }
  EXPECT_EQ(cache.hits, 4u);
  // Key 2 used again: it is the youngest, so a miss takes another slot.
  ASSERT_TRUE(cache.Lookup(2, &slot));
  const uint32_t slot2 = slot;
  EXPECT_FALSE(cache.Lookup(5, &slot));
  EXPECT_NE(slot, slot2);
  EXPECT_EQ(cache.misses, 5u);
  cache.SetKey(5, slot);
  EXPECT_TRUE(cache.Lookup(5, &slot));
  EXPECT_TRUE(cache.Lookup(2, &slot));
  cache.Free();
  EXPECT_FALSE(cache.Lookup(2, &slot));
}
