// The allocation-table cache over hand-made tables: chains to runs and
// statuses, the FAT12/16 choice, a damaged first copy outvoted, loops cut,
// FAT32 pages and exFAT's unmasked entries.
#include "filesystems/fat/FatCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "filesystems/fat/FatHelpers.h"
#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "storage/Drive.h"
#include "tests/support/TempFolder.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"

namespace {

using Runs = std::vector<std::pair<int64_t, uint32_t>>;  // (start, length); start -1 for a hole

Runs Decode(const uint8_t* list) {
  Runs out;
  uint32_t pos = 0;
  int64_t delta = 0, at = 0;
  uint32_t length = 0;
  bool firstRun = true;
  while (list && ReadNextRun(&delta, &length, list, &pos) == 1) {
    at += delta;
    out.push_back({(delta == 0 && !firstRun) || (firstRun && at == 0) ? -1 : at, length});
    firstRun = false;
  }
  return out;
}

// A volume of 512-byte sectors and one-sector clusters on an image file:
// tables at `fat1` and fat1 + fatSectors, cluster 2 at `firstData`.
struct TableImage {
  TempFolder tmp{"fatcache"};
  std::vector<uint8_t> bytes;
  uint64_t fat1, fatSectors, firstData;
  int width;
  Drive drive;
  CUnknownVol vol;

  TableImage(int w, uint64_t fat, uint64_t fatSecs, uint64_t data, uint64_t clusters, uint8_t type)
      : fat1(fat), fatSectors(fatSecs), firstData(data), width(w), vol(type) {
    bytes.assign(size_t((data + clusters) * 512), 0);
    vol.SetSectorSize(512);
    vol.SetClusterSize(512);
    vol.sizeSectors = data + clusters;
    vol.dataAreaSector = data - 2;
    // Media and end marks.
    Set(0, w == 12 ? 0xFF8 : w == 16 ? 0xFFF8 : 0x0FFFFFF8);
    Set(1, w == 12 ? 0xFFF : w == 16 ? 0xFFFF : 0x0FFFFFFF);
  }
  void SetIn(int copy, uint32_t c, uint32_t v) {
    uint8_t* t = bytes.data() + (fat1 + copy * fatSectors) * 512;
    if (width == 16) PutLittleEndian(t + c * 2, v, 2);
    else if (width == 32) PutLittleEndian(t + c * 4, v, 4);
    else {
      uint8_t* p = t + c * 3 / 2;
      if (c & 1) {
        p[0] = uint8_t((p[0] & 0x0F) | ((v & 0x0F) << 4));
        p[1] = uint8_t(v >> 4);
      } else {
        p[0] = uint8_t(v);
        p[1] = uint8_t((p[1] & 0xF0) | ((v >> 8) & 0x0F));
      }
    }
  }
  void Set(uint32_t c, uint32_t v) {
    SetIn(0, c, v);
    SetIn(1, c, v);
  }
  // first .. last chained, last ends with `end`.
  void Chain(uint32_t first, uint32_t last, uint32_t end) {
    for (uint32_t c = first; c < last; ++c) Set(c, c + 1);
    Set(last, end);
  }
  void Write() {
    const std::string path = tmp.Path() + "/t.img";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    drive.InitDrive(FromUtf8(path));
    vol.drive = &drive;
  }
};

uint32_t Eoc(int width) { return width == 12 ? 0xFFF : width == 16 ? 0xFFFF : 0x0FFFFFFF; }

}  // namespace

TEST(FatCache, WidthFollowsTheClusterCount) {
  GlobalObjectsScope scope;
  struct Case {
    uint64_t clusters;
    int type;
    uint32_t width;
    uint32_t maxCluster;
  };
  // FAT of 16 sectors: 5461 12-bit or 4096 16-bit entries.
  const Case cases[] = {{3000, 2, 12, 3002}, {4084, 2, 12, 4086}, {4085, 2, 16, 4087}, {6000, 2, 16, 4096},
                        {6000, 3, 32, 2048}, {1000, 9, 32, 1002}};
  for (const Case& c : cases) {
    TableImage img(c.width, 1, 16, 33, c.clusters, uint8_t(c.type == 9 ? kVolExFat : c.type));
    img.Write();
    FATCache cache(&img.vol);
    ASSERT_TRUE(cache.Init(c.type, 16 * 512, 1)) << c.clusters;
    EXPECT_EQ(cache.Width(), c.width) << c.clusters;
    EXPECT_EQ(cache.MaxCluster(), c.maxCluster) << c.clusters;
    EXPECT_EQ(cache.FirstSector(1), 17u);
  }
}

TEST(FatCache, ChainsBecomeRunsWithTheirStatus) {
  GlobalObjectsScope scope;
  for (int width : {12, 16, 32}) {
    const uint64_t clusters = width == 12 ? 3000 : 6000;
    TableImage img(width, 1, 32, 65, clusters, width == 32 ? kVolFat32 : kVolFat16);
    const uint32_t eoc = Eoc(width);
    const uint32_t bad = width == 12 ? 0xFF7 : width == 16 ? 0xFFF7 : 0x0FFFFFF7;
    img.Chain(10, 19, eoc);                       // contiguous, 10 clusters
    img.Chain(30, 32, 50), img.Chain(50, 51, 40), img.Chain(40, 40, eoc);  // 30-32, 50-51, 40
    img.Chain(60, 62, bad);                       // bad mark: broken
    img.Chain(70, 71, width == 12 ? 0xFF8 : width == 16 ? 0xFFF8 : 0x0FFFFFF8);  // lowest end mark
    img.Chain(80, 81, 0);                         // free entry: broken
    img.Chain(90, 91, 90);                        // loop back
    img.Chain(100, 100, eoc);                     // one cluster
    img.Write();
    FATCache cache(&img.vol);
    ASSERT_TRUE(cache.Init(2 + (width == 32), 32 * 512, 1));
    struct Case {
      uint32_t first, wanted;
      int status;
      uint32_t gathered;
      Runs runs;
    };
    const std::vector<Case> cases = {
        {10, 10, kChainComplete, 10, {{10, 10}}},
        {10, 0, kChainComplete, 10, {{10, 10}}},
        {10, 4, kChainComplete, 4, {{10, 4}}},
        {30, 6, kChainFragmented, 6, {{30, 3}, {50, 2}, {40, 1}}},
        {60, 0, kChainBroken, 3, {{60, 3}}},
        {70, 0, kChainComplete, 2, {{70, 2}}},
        {80, 0, kChainBroken, 2, {{80, 2}}},
        // Short chain padded with the clusters that follow on disk.
        {100, 3, kChainShort, 1, {{100, 1}, {101, 2}}},
        {80, 5, kChainBroken, 2, {{80, 2}}},
        // A loop ends the chain where it comes round.
        {90, 7, kChainBroken, 2, {{90, 2}}},
        {90, 0, kChainBroken, 2, {{90, 2}}},
        // First clusters that name no table entry.
        {0, 1, kChainBroken, 0, {}},
        {1, 1, kChainBroken, 0, {}},
        {cache.MaxCluster(), 1, kChainBroken, 0, {}},
        {0xFFFFFFFFu, 1, kChainBroken, 0, {}},
    };
    for (const Case& c : cases) {
      RunList runs = nullptr;
      int status = -1;
      EXPECT_EQ(cache.GetRuns(c.first, &runs, &status, c.wanted), c.gathered) << width << " " << c.first;
      EXPECT_EQ(status, c.status) << width << " " << c.first;
      EXPECT_EQ(Decode(runs), c.runs) << width << " " << c.first;
      FreeRunList(&runs);
    }
  }
}

// A FAT12/16 sector the two copies disagree on: the plausible copy wins;
// when neither is, the sector's entries become bad marks (chains through it
// end broken rather than run wild).
TEST(FatCache, DamagedCopyIsOutvoted) {
  GlobalObjectsScope scope;
  for (int width : {12, 16}) {
    for (int damaged : {1, 2, 3}) {  // bit 0: copy 1, bit 1: copy 2
      TableImage img(width, 1, 16, 33, width == 12 ? 3000 : 6000, kVolFat16);
      img.Chain(300, 700, Eoc(width));  // spans table sectors 1 and 2 (and 0 on FAT12)
      uint32_t seed = 12345;
      const uint64_t sector = 2;  // a sector inside the chain on both widths
      for (int copy = 0; copy < 2; ++copy) {
        if (!(damaged & (1 << copy))) continue;
        uint8_t* s = img.bytes.data() + (img.fat1 + copy * 16 + sector) * 512;
        for (int i = 0; i < 512; ++i) s[i] = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
      }
      img.Write();
      FATCache cache(&img.vol);
      ASSERT_TRUE(cache.Init(2, 16 * 512, 1));
      RunList runs = nullptr;
      int status = -1;
      const uint32_t got = cache.GetRuns(300, &runs, &status, 401);
      FreeRunList(&runs);
      if (damaged != 3) {
        EXPECT_EQ(status, kChainComplete) << width << " " << damaged;
        EXPECT_EQ(got, 401u);
      } else {
        EXPECT_EQ(status, kChainBroken) << width;
        EXPECT_LT(got, 401u);
        // The chain ends in the replaced sector, never beyond it.
        const uint32_t perSector = width == 12 ? 341 : 256;
        EXPECT_LE(300 + got, 3 * perSector + 2);
      }
    }
  }
}

TEST(FatCache, Fat32PagesAndTheirCopies) {
  GlobalObjectsScope scope;
  // 64 table sectors = 8 pages of 1024 entries.
  TableImage img(32, 32, 64, 160, 10000, kVolFat32);
  img.Chain(2, 2, Eoc(32));
  img.Chain(5, 5000, Eoc(32));   // crosses five pages
  img.Chain(6000, 6002, 7000), img.Chain(7000, 7000, 0xFFFFFFFF);  // top nibble ignored
  // Copy 1 of table sector 12 (page 1) overwritten with text.
  uint8_t* s = img.bytes.data() + (32 + 12) * 512;
  for (int i = 0; i < 512; ++i) s[i] = uint8_t("The quick brown fox "[i % 20]);
  img.Write();
  FATCache cache(&img.vol);
  cache.SetSectorCheck(CheckFATSector);
  ASSERT_TRUE(cache.Init(3, 64 * 512, 32));
  RunList runs = nullptr;
  int status = -1;
  EXPECT_EQ(cache.GetRuns(5, &runs, &status, 0), 4996u);
  EXPECT_EQ(status, kChainComplete);
  EXPECT_EQ(Decode(runs), (Runs{{5, 4996}}));
  FreeRunList(&runs);
  EXPECT_EQ(cache.GetRuns(6000, &runs, &status, 0), 4u);
  EXPECT_EQ(status, kChainFragmented);
  FreeRunList(&runs);
  EXPECT_EQ(cache.GetEntry(2), 0x0FFFFFFFu);
  EXPECT_GT(cache.PageHits(), 0u);
  EXPECT_LE(cache.PageMisses(), 8u);

  // Without a sector judge the first copy is taken as it stands.
  FATCache plain(&img.vol);
  ASSERT_TRUE(plain.Init(3, 64 * 512, 32));
  EXPECT_EQ(plain.GetRuns(5, nullptr, &status, 0), 1536u - 5u + 1u);  // up to the last entry before the text
  EXPECT_EQ(status, kChainBroken);
}

TEST(FatCache, ExFatEntriesAreUnmasked) {
  GlobalObjectsScope scope;
  TableImage img(32, 32, 8, 64, 900, kVolExFat);
  img.Chain(10, 12, 0xFFFFFFFF);
  img.Chain(20, 21, 0x0FFFFFFF);  // an end mark on FAT32, not on exFAT
  img.Write();
  FATCache cache(&img.vol);
  ASSERT_TRUE(cache.Init(9, 8 * 512, 32));
  int status = -1;
  EXPECT_EQ(cache.GetRuns(10, nullptr, &status, 0), 3u);
  EXPECT_EQ(status, kChainComplete);
  EXPECT_EQ(cache.GetRuns(20, nullptr, &status, 0), 2u);
  EXPECT_EQ(status, kChainBroken);
}

TEST(FatCache, NodeRuns) {
  GlobalObjectsScope scope;
  TableImage img(16, 1, 16, 33, 6000, kVolFat16);
  img.Chain(40, 42, 60), img.Chain(60, 60, 0xFFFF);
  img.Write();
  FATCache cache(&img.vol);
  ASSERT_TRUE(cache.Init(2, 16 * 512, 1));

  cnode folder(kNodeFat);
  folder.flags2 |= kNode2Directory;
  folder.id = 40;
  EXPECT_EQ(cache.SetNodeRuns(&folder, 512), kChainFragmented);
  EXPECT_EQ(folder.size, 4u * 512);
  EXPECT_EQ(Decode(folder.runs), (Runs{{40, 3}, {60, 1}}));

  cnode file(kNodeFat);
  file.id = 40;
  file.size = 1000;  // two clusters of a four-cluster chain
  EXPECT_EQ(cache.SetNodeRuns(&file, 512), kChainComplete);
  EXPECT_EQ(file.size, 1000u);
  EXPECT_EQ(Decode(file.runs), (Runs{{40, 2}}));

  // exFAT's no-chain flag: one run, no table; an empty folder gets a cluster.
  cnode flat(kNodeExFat);
  flat.id = 500;
  flat.size = 5000;
  EXPECT_EQ(cache.SetNodeRuns(&flat, 512, true), kChainComplete);
  EXPECT_EQ(Decode(flat.runs), (Runs{{500, 10}}));
  cnode emptyFolder(kNodeExFat);
  emptyFolder.flags2 |= kNode2Directory;
  emptyFolder.id = 7;
  cache.SetNodeRuns(&emptyFolder, 4096, true);
  EXPECT_EQ(emptyFolder.size, 4096u);
  EXPECT_EQ(Decode(emptyFolder.runs), (Runs{{7, 1}}));
}

// A boot sector may claim a table far larger than the volume's clusters
// need: only what the clusters need is held and read.
TEST(FatCache, HugeClaimedTableIsNotHeld) {
  GlobalObjectsScope scope;
  TableImage img(16, 1, 16, 33, 6000, kVolFat16);
  img.Chain(10, 11, 0xFFFF);
  img.Write();
  FATCache cache(&img.vol);
  ASSERT_TRUE(cache.Init(2, uint64_t(0xFFFF) * 512, 1));
  EXPECT_EQ(cache.MaxCluster(), 6002u);
  int status = -1;
  EXPECT_EQ(cache.GetRuns(10, nullptr, &status, 0), 2u);
  EXPECT_EQ(status, kChainComplete);
  EXPECT_FALSE(FATCache(&img.vol).Init(5, 512, 1));
}
