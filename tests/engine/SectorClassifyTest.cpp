// The sector classifier and the volume kind it gives, on sectors cut from
// the volume-search disk image (mkfs.fat and mkntfs volumes) and on damaged
// copies of them; where an NTFS boot sector or its backup puts the volume.
#include "engine/SectorClassify.h"

#include "filesystems/ntfs/NtfsBoot.h"
#include "volumes/VolumeFamily.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "platform/Format.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "volumes/BootVolume.h"
#include "volumes/Volume.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {

std::vector<uint8_t> Made(const std::function<void(uint8_t*)>& fill) {
  std::vector<uint8_t> s(512, 0);
  fill(s.data());
  return s;
}

struct Case {
  const char* what;
  std::vector<uint8_t> sector;
  int kind;
  int volume;
};

}  // namespace

TEST(SectorClassify, SectorsOfRealVolumesAndDamagedCopies) {
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, ntfs-3g, fdisk or sleuthkit missing";
  const auto at = ReadNameValues(folder + "/vs_layout.txt");
  const std::string img = folder + "/vs_disk.img";
  const uint64_t ntfs = at.at("ntfs"), fat32 = at.at("fat32"), fat16 = at.at("fat16"), fat12 = at.at("fat12");
  const auto ntfsBoot = SectorAt(img, ntfs);
  NTFSVol v;
  ASSERT_TRUE(NTFS::BootParse(&v, ntfsBoot.data()));
  const auto fat32Boot = SectorAt(img, fat32);
  const auto fat16Boot = SectorAt(img, fat16);
  const uint64_t fat32Fat = fat32 + Le16(fat32Boot.data() + 14);
  const uint64_t fat16Fat = fat16 + Le16(fat16Boot.data() + 14);
  const uint64_t fat12Fat = fat12 + Le16(SectorAt(img, fat12).data() + 14);
  auto damaged = [](std::vector<uint8_t> s, size_t offset, uint8_t value) {
    s[offset] = value;
    return s;
  };
  std::vector<Case> cases = {
      {"partition table", SectorAt(img, 0), kSectNone, kVolUnknown},
      {"empty sector", SectorAt(img, 1), kSectNone, kVolUnknown},
      {"NTFS boot sector", ntfsBoot, kSectNtfsBoot, kVolNtfs},
      {"NTFS backup boot sector", SectorAt(img, ntfs + v.totalSectors), kSectNtfsBoot, kVolNtfs},
      {"$MFT record 0", SectorAt(img, ntfs + uint64_t(v.mftSector)), kSectNtfsRecord, kVolUnknown},
      {"$MFTMirr copy of record 0", SectorAt(img, ntfs + uint64_t(v.mirrorSector)), kSectNtfsRecord, kVolUnknown},
      {"FAT32 boot sector", fat32Boot, kSectFatBoot, kVolFat32},
      {"FAT32 backup boot sector", SectorAt(img, fat32 + 6), kSectFatBoot, kVolFat32},
      {"FAT32 information sector", SectorAt(img, fat32 + 1), kSectNone, kVolUnknown},
      {"FAT32 first FAT sector", SectorAt(img, fat32Fat), kSectFat32Table, kVolUnknown},
      {"FAT16 boot sector", fat16Boot, kSectFatBoot, kVolFat16},
      {"FAT16 first FAT sector", SectorAt(img, fat16Fat), kSectFat16Table, kVolUnknown},
      {"FAT12 boot sector", SectorAt(img, fat12), kSectFatBoot, kVolFat16},
      {"FAT12 first FAT sector", SectorAt(img, fat12Fat), kSectNone, kVolUnknown},
      // Damaged copies.
      {"NTFS boot, no jump", damaged(ntfsBoot, 0, 0), kSectNone, kVolUnknown},
      {"NTFS boot, bytes per sector 513", damaged(ntfsBoot, 11, 1), kSectNone, kVolUnknown},
      {"NTFS boot, name cut", damaged(ntfsBoot, 6, 'X'), kSectNone, kVolUnknown},
      {"FAT32 boot, no signature", damaged(fat32Boot, 510, 0), kSectNone, kVolUnknown},
      {"FAT32 boot, 3 sectors per cluster", damaged(fat32Boot, 13, 3), kSectNone, kVolUnknown},
      {"FAT32 boot, no reserved sectors", damaged(damaged(fat32Boot, 14, 0), 15, 0), kSectNone, kVolUnknown},
      {"FAT16 boot, 3 FATs", damaged(fat16Boot, 16, 3), kSectNone, kVolUnknown},
      {"FAT16 boot, jump E9", damaged(fat16Boot, 0, 0xE9), kSectFatBoot, kVolFat16},
      // Structures of formats known by their magic alone.
      {"exFAT boot sector", Made([](uint8_t* s) { memcpy(s, "\xEB\x76\x90" "EXFAT   ", 11); }), kSectExFatBoot,
       kVolExFat},
      {"VMFS volume header", Made([](uint8_t* s) { memcpy(s, "\x0D\xD0\x01\xC0", 4); }), kSectVmfsHeader, kVolVmfs},
      {"VMFS descriptor", Made([](uint8_t* s) { memcpy(s, "\x5E\xF1\xAB\x2F", 4); }), kSectVmfsDescriptor, kVolVmfs},
      {"ZFS uberblock", Made([](uint8_t* s) { memcpy(s, "\x0C\xB1\xBA\x00", 4); }), kSectZfsUberblock, kVolZfs},
      {"ZFS uberblock, big-endian", Made([](uint8_t* s) { memcpy(s + 4, "\x00\xBA\xB1\x0C", 4); }),
       kSectZfsUberblock, kVolZfs},
      {"VHDX file identifier", Made([](uint8_t* s) { memcpy(s, "vhdxfile", 8); }), kSectVhdxFile, kVolUnknown},
      {"VHDX header", Made([](uint8_t* s) {
         memcpy(s, "head", 4);
         s[66] = 1;
       }),
       kSectVhdxHeader, kVolUnknown},
      {"LDM VBLK", Made([](uint8_t* s) {
         memcpy(s, "VBLK", 4);
         memcpy(s + 128, "VBLK", 4);
       }),
       kSectVblk, kVolUnknown},
      {"log record page", Made([](uint8_t* s) { memcpy(s, "RCRD", 4); }), kSectRcrd, kVolUnknown},
      // Superblocks whose checks come with their file systems: not yet.
      {"ext superblock", Made([](uint8_t* s) {
         s[56] = 0x53;
         s[57] = 0xEF;
         s[88] = 128;
       }),
       kSectNone, kVolUnknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifySector(c.sector.data(), nullptr, nullptr), c.kind) << c.what;
    EXPECT_EQ(ProbeVolumeKind(c.sector.data()), c.volume) << c.what;
  }

  // The sectors after a FAT32 table start count as table with a context.
  ClassifyContext ctx;
  ctx.sector = int64_t(fat32Fat);
  EXPECT_EQ(ClassifySector(SectorAt(img, fat32Fat).data(), nullptr, &ctx), kSectFat32Table);
  ctx.sector = int64_t(fat32Fat + 1);
  const auto next = SectorAt(img, fat32Fat + 1);
  EXPECT_EQ(ClassifySector(next.data(), nullptr, &ctx), kSectFat32Table);
  EXPECT_EQ(ClassifySector(next.data(), nullptr, nullptr), kSectNone);
  ClassifyContext far;
  far.lastSector[kSectFat32Table] = int64_t(fat32Fat);
  far.sector = int64_t(fat32Fat + 3);
  EXPECT_EQ(ClassifySector(next.data(), nullptr, &far), kSectNone);
}

TEST(SectorClassify, NtfsBootCopyResolvesToTheVolumeStart) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_volume_search.sh");
  if (folder.empty()) GTEST_SKIP() << "tools missing";
  const auto at = ReadNameValues(folder + "/vs_layout.txt");
  const uint64_t ntfs = at.at("ntfs");
  const uint64_t length = at.at("ntfslength");
  auto open = [](const WString& name) {
    std::unique_ptr<Drive> d(CreateDrive(name));
    d->InitDrive(name);
    return d;
  };
  const std::string img = folder + "/vs_disk.img";
  const auto boot = SectorAt(img, ntfs);
  const auto backup = SectorAt(img, ntfs + length - 1);
  auto d = open(FromUtf8(img));
  EXPECT_EQ(ResolveNtfsBootCopy(int64_t(ntfs), boot.data(), d.get()), int64_t(ntfs));
  EXPECT_EQ(ResolveNtfsBootCopy(int64_t(ntfs + length - 1), backup.data(), d.get()), int64_t(ntfs));
  // The primary copy gone: the backup still gives the start.
  auto bak = open(FromUtf8(folder + "/vs_ntfsbak.img"));
  EXPECT_EQ(ResolveNtfsBootCopy(int64_t(ntfs + length - 1), backup.data(), bak.get()), int64_t(ntfs));
  // A copy near the start of the drive: the backup reading would start
  // before sector 0, so the primary reading is taken.
  EXPECT_EQ(ResolveNtfsBootCopy(100, boot.data(), d.get()), 100);
  // Neither reading fits a drive of 50000 sectors at sector 1000.
  auto small = open(FormatW(u"%s<0:49999>", FromUtf8(img)));
  EXPECT_EQ(ResolveNtfsBootCopy(1000, boot.data(), small.get()), -1);
  // Not a usable boot sector.
  std::vector<uint8_t> bad = boot;
  bad[0x0D] = 3;  // 3 sectors per cluster
  EXPECT_EQ(ResolveNtfsBootCopy(int64_t(ntfs), bad.data(), d.get()), -1);
  EXPECT_EQ(ResolveNtfsBootCopy(-5, boot.data(), d.get()), -1);
}
