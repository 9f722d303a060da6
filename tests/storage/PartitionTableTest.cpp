#include "storage/PartitionTable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <map>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace {

using Spans = std::vector<std::pair<uint64_t, uint64_t>>;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

Spans ReadMmls(const std::string& path) {
  Spans out;
  std::ifstream in(path);
  uint64_t start, length;
  while (in >> start >> length) out.emplace_back(start, length);
  return out;
}

Spans SpansOf(const PartitionTable& t) {
  Spans out;
  for (const PartitionEntry& e : t) out.emplace_back(e.Start(), e.Length());
  return out;
}

// Reads an image file through a descriptor, as the handle form does.
struct ImageTable {
  explicit ImageTable(const std::string& path, uint32_t sectorSize) : table(nullptr, sectorSize) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) sectors = uint64_t(st.st_size) / sectorSize;
  }
  ~ImageTable() {
    if (fd >= 0) close(fd);
  }
  bool Read() { return table.ReadPartitionTable(fd, sectors); }
  PartitionTable table;
  int fd = -1;
  uint64_t sectors = 0;
};

// A sparse disk in memory that counts reads and remembers the furthest
// sector read.
class MemoryDisk : public SectorReader {
 public:
  MemoryDisk(uint64_t sectors, uint32_t sectorSize) : sectors_(sectors), ss_(sectorSize) {}
  bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override {
    ++reads;
    if (sector + count > sectors_) return false;
    if (sector + count - 1 > furthest) furthest = sector + count - 1;
    for (uint32_t i = 0; i < count; ++i) {
      auto it = data_.find(sector + i);
      if (it == data_.end()) std::memset(out + size_t(i) * ss_, 0, ss_);
      else std::memcpy(out + size_t(i) * ss_, it->second.data(), ss_);
    }
    return true;
  }
  uint8_t* At(uint64_t sector) {
    std::vector<uint8_t>& v = data_[sector];
    v.resize(ss_);
    return v.data();
  }
  uint64_t Sectors() const { return sectors_; }
  uint64_t furthest = 0;
  int reads = 0;

 private:
  uint64_t sectors_;
  uint32_t ss_;
  std::map<uint64_t, std::vector<uint8_t>> data_;
};

using testbytes::Put32;
using testbytes::Put64;

void SetEntry(uint8_t* sector, int index, uint8_t type, uint32_t first, uint32_t count) {
  uint8_t* e = sector + 446 + 16 * index;
  e[4] = type;
  Put32(e + 8, first);
  Put32(e + 12, count);
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

// A GPT disk: protective MBR, header at 1, entries from 2.
void MakeGpt(MemoryDisk& d, uint32_t entryCount, uint32_t entrySize) {
  SetEntry(d.At(0), 0, 0xEE, 1, uint32_t(d.Sectors() - 1));
  std::memcpy(d.At(1), "EFI PART", 8);
  Put32(d.At(1) + 80, entryCount);
  Put32(d.At(1) + 84, entrySize);
}
void SetGptEntry(MemoryDisk& d, uint32_t entrySize, uint32_t sectorSize, uint32_t index, uint64_t first,
                 uint64_t last) {
  const uint64_t byte = uint64_t(index) * entrySize;
  uint8_t* e = d.At(2 + byte / sectorSize) + byte % sectorSize;
  e[0] = 0xAF;  // any non-zero type GUID
  Put64(e + 32, first);
  Put64(e + 40, last);
}

}  // namespace

// ------------------------------------------------------------ peer images

TEST(PartitionTable, MbrWithLogicalPartitionsAsMmls) {
  const std::string folder = FixtureFolder("make_partition_images.sh");
  if (folder.empty()) GTEST_SKIP() << "fdisk or sleuthkit missing";
  ImageTable img(folder + "/mbr.img", 512);
  ASSERT_TRUE(img.Read());
  const Spans want = ReadMmls(folder + "/mbr.mmls.txt");
  ASSERT_EQ(want.size(), 6u);
  EXPECT_EQ(SpansOf(img.table), want);
  const uint16_t types[] = {0x83, 0x07, 0x0C, 0x83, 0x07, 0x83};
  for (uint32_t i = 0; i < img.table.Count(); ++i) EXPECT_EQ(img.table.Entry(i).type, types[i]) << i;
}

TEST(PartitionTable, GptAsMmls) {
  const std::string folder = FixtureFolder("make_partition_images.sh");
  if (folder.empty()) GTEST_SKIP() << "gdisk or sleuthkit missing";
  struct Case {
    const char* name;
    uint32_t sectorSize;
    std::vector<uint16_t> types;
  };
  const Case cases[] = {{"gpt", 512, {0, kPartitionVmfs, 0}}, {"gpt4k", 4096, {0, kPartitionVmfs}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder + "/" + c.name + ".img";
    if (!Exists(path)) {
      // Made only as root with loop devices.
      std::cerr << "no " << c.name << ".img (needs root and a loop device)\n";
      continue;
    }
    ImageTable img(path, c.sectorSize);
    ASSERT_TRUE(img.Read());
    EXPECT_EQ(SpansOf(img.table), ReadMmls(folder + "/" + c.name + ".mmls.txt"));
    ASSERT_EQ(img.table.Count(), c.types.size());
    for (uint32_t i = 0; i < img.table.Count(); ++i) EXPECT_EQ(img.table.Entry(i).type, c.types[i]) << i;
  }
}

TEST(PartitionTable, ThroughTheDrive) {
  const std::string folder = FixtureFolder("make_partition_images.sh");
  if (folder.empty()) GTEST_SKIP() << "fdisk or sleuthkit missing";
  GlobalObjectsScope scope;
  Drive drive;
  drive.InitDrive(FromUtf8(folder + "/mbr.img"));
  PartitionTable table(&drive, drive.SectorSize());
  ASSERT_TRUE(table.ReadPartitionTable(-1, drive.SectorCount()));
  EXPECT_EQ(SpansOf(table), ReadMmls(folder + "/mbr.mmls.txt"));
  PartitionTable none(nullptr, 512);
  EXPECT_FALSE(none.ReadPartitionTable(-1, drive.SectorCount()));
}

TEST(PartitionTable, DamagedTablesEndCleanly) {
  const std::string folder = FixtureFolder("make_partition_images.sh");
  if (folder.empty()) GTEST_SKIP() << "fdisk or sleuthkit missing";
  const Spans mbr = ReadMmls(folder + "/mbr.mmls.txt");
  ASSERT_EQ(mbr.size(), 6u);
  struct Case {
    const char* name;
    bool valid;
    Spans want;
  };
  const Case cases[] = {
      // The second entry overlaps the first: the whole table is refused.
      {"overlap", false, {}},
      // The last EBR links back to the second; its link now overlaps its
      // logical entry, so that EBR is refused whole and the chain ends.
      {"ebrcycle", true, {mbr[0], mbr[1], mbr[2], mbr[3], mbr[4]}},
      // The first EBR links to itself (and so overlaps its own logical).
      {"ebrself", true, {mbr[0], mbr[1], mbr[2]}},
      // 0xEE without a protective MBR is no GPT; reaching past the disk,
      // it is not a partition either.
      {"eenoprot", true, {{2048, 4096}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageTable img(folder + "/" + c.name + ".img", 512);
    ASSERT_GE(img.fd, 0);
    EXPECT_EQ(img.Read(), c.valid);
    EXPECT_EQ(SpansOf(img.table), c.want);
  }
}

// ------------------------------------------------------------ table rules

TEST(PartitionTable, AddPartitionKeepsOrderAndRefusesRepeats) {
  PartitionTable t(nullptr, 512);
  EXPECT_EQ(t.AddPartition(5000, 100, 7), 0);
  EXPECT_EQ(t.AddPartition(100, 100, 7), 0);
  EXPECT_EQ(t.AddPartition(100, 200, 7), 1);
  EXPECT_EQ(t.AddPartition(100, 100, 0x83), 0);  // same start and length
  for (uint64_t s = 10; s < 20; ++s) EXPECT_GE(t.AddPartition(s * 1000, 10, 0), 0);
  EXPECT_EQ(t.Count(), 13u);
  EXPECT_EQ(t.Capacity() % 4, 0u);
  for (uint32_t i = 1; i < t.Count(); ++i) EXPECT_LE(t.Entry(i - 1).Start(), t.Entry(i).Start());
  // 48-bit fields.
  EXPECT_GE(t.AddPartition(kPartitionMaxSector, 1, 0), 0);
  EXPECT_EQ(t.Entry(t.Count() - 1).Start(), kPartitionMaxSector);
  EXPECT_EQ(t.AddPartition(kPartitionMaxSector + 1, 1, 0), -1);
  EXPECT_EQ(t.AddPartition(0, kPartitionMaxSector + 1, 0), -1);
  EXPECT_EQ(t.AddPartition(0, 0, 0), -1);
}

TEST(PartitionTable, CheckAndCopy) {
  struct Entry {
    uint8_t type;
    uint32_t first, count;
  };
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    bool ok;
  };
  const uint64_t device = 100000;
  const Case cases[] = {
      {"two apart", {{0x83, 2048, 1000}, {7, 4096, 1000}}, true},
      {"touching", {{0x83, 2048, 1000}, {7, 3048, 1000}}, true},
      {"overlap", {{0x83, 2048, 1000}, {7, 3047, 1000}}, false},
      {"inside", {{0x83, 2048, 10000}, {7, 4000, 10}}, false},
      {"last sector inside", {{0x83, 2048, 97952}}, true},
      {"past the end", {{0x83, 2048, 97953}}, false},
      {"0xEE past the end", {{0xEE, 1, 0xFFFFFFFF}}, true},
      {"empty", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t sector[512] = {};
    sector[510] = 0x55;
    sector[511] = 0xAA;
    for (size_t i = 0; i < c.entries.size(); ++i)
      SetEntry(sector, int(i), c.entries[i].type, c.entries[i].first, c.entries[i].count);
    MbrEntry out[4];
    EXPECT_EQ(PartitionTable::CheckAndCopyParTable(sector, device, out), c.ok);
    if (c.ok) {
      for (size_t i = 0; i < c.entries.size(); ++i) EXPECT_EQ(out[i].first, c.entries[i].first);
    } else {
      for (const MbrEntry& e : out) EXPECT_EQ(e.count, 0u);
    }
  }
  uint8_t unsigned_[512] = {};
  MbrEntry out[4];
  EXPECT_FALSE(PartitionTable::CheckAndCopyParTable(unsigned_, device, out));
}

TEST(PartitionTable, ExtendedChainRules) {
  // Extended partition at 10000 of 200000 sectors; EBRs at relative 0, 10000,
  // 20000, ...
  {
    MemoryDisk d(300000, 512);
    SetEntry(d.At(0), 0, 5, 10000, 200000);
    SetEntry(d.At(10000), 0, 0x83, 100, 2048);  // 2048 sectors: not taken
    SetEntry(d.At(10000), 1, 5, 5000, 4000);
    SetEntry(d.At(15000), 0, 0x83, 100, 2049);
    PartitionTable t(nullptr, 512);
    EXPECT_TRUE(t.ReadPartitionTable(d, d.Sectors()));
    EXPECT_EQ(SpansOf(t), (Spans{{15100, 2049}}));
  }
  {
    // A link of 2048 sectors or one beyond the extended size ends the chain.
    MemoryDisk d(300000, 512);
    SetEntry(d.At(0), 0, 5, 10000, 200000);
    SetEntry(d.At(10000), 0, 0x83, 100, 3000);
    SetEntry(d.At(10000), 1, 5, 5000, 2048);
    SetEntry(d.At(15000), 0, 0x83, 100, 3000);
    PartitionTable t(nullptr, 512);
    t.ReadPartitionTable(d, d.Sectors());
    EXPECT_EQ(t.Count(), 1u);
  }
  {
    // A long chain that keeps going forward stops at the cap.
    MemoryDisk d(1000000, 512);
    SetEntry(d.At(0), 0, 5, 10000, 900000);
    for (uint32_t i = 0; i < 190; ++i) {
      uint8_t* ebr = d.At(10000 + uint64_t(i) * 3000);
      SetEntry(ebr, 0, 0x83, 1, 2100 + i);
      SetEntry(ebr, 1, 5, (i + 1) * 3000, 2100);
    }
    PartitionTable t(nullptr, 512);
    EXPECT_TRUE(t.ReadPartitionTable(d, d.Sectors()));
    EXPECT_EQ(t.Count(), kMaxLogicalPartitions);
    EXPECT_LE(d.reads, int(kMaxLogicalPartitions) + 1);
  }
  {
    // A link that turns back ends the chain after the partitions so far.
    MemoryDisk d(300000, 512);
    SetEntry(d.At(0), 0, 5, 10000, 200000);
    SetEntry(d.At(10000), 0, 0x83, 1, 2100);
    SetEntry(d.At(10000), 1, 5, 9000, 2100);
    SetEntry(d.At(19000), 0, 0x83, 1, 2200);
    SetEntry(d.At(19000), 1, 5, 5000, 2100);
    SetEntry(d.At(15000), 0, 0x83, 1, 2300);
    SetEntry(d.At(15000), 1, 5, 9000, 2100);
    PartitionTable t(nullptr, 512);
    EXPECT_TRUE(t.ReadPartitionTable(d, d.Sectors()));
    EXPECT_EQ(SpansOf(t), (Spans{{10001, 2100}, {19001, 2200}}));
  }
}

TEST(PartitionTable, GptBoundsAndEnd) {
  struct Case {
    const char* what;
    uint32_t sectorSize, entryCount, entrySize;
    uint32_t filled;      // entries 0..filled-1 valid
    uint32_t wantCount;   // entries taken
    uint64_t maxSector;   // furthest sector the reader may reach
  };
  const Case cases[] = {
      {"128 entries of 128", 512, 128, 128, 5, 5, 33},
      {"count bounds the walk", 512, 3, 128, 5, 3, 2},
      {"count above 1024 reads none", 512, 1025, 128, 5, 0, 1},
      {"entry size 96", 512, 128, 96, 5, 0, 1},
      {"entry size 1024", 512, 128, 1024, 5, 0, 1},
      {"256-byte entries", 512, 20, 256, 20, 20, 11},
      {"512-byte entries", 512, 7, 512, 7, 7, 8},
      {"4096-byte sectors", 4096, 64, 128, 40, 40, 3},
      {"none valid", 512, 128, 128, 0, 0, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryDisk d(4096, c.sectorSize);
    MakeGpt(d, c.entryCount, c.entrySize);
    for (uint32_t i = 0; i < c.filled; ++i) SetGptEntry(d, c.entrySize, c.sectorSize, i, 100 + i * 10, 105 + i * 10);
    PartitionTable t(nullptr, c.sectorSize);
    EXPECT_TRUE(t.ReadPartitionTable(d, d.Sectors()));
    EXPECT_EQ(t.Count(), c.wantCount);
    EXPECT_LE(d.furthest, c.maxSector);
  }
  {
    // The first invalid entry ends the walk: an entry reaching the drive's
    // end, one with first > last, one with a zero type.
    for (int bad = 0; bad < 3; ++bad) {
      MemoryDisk d(4096, 512);
      MakeGpt(d, 128, 128);
      SetGptEntry(d, 128, 512, 0, 100, 200);
      if (bad == 0) SetGptEntry(d, 128, 512, 1, 300, 4096);
      if (bad == 1) SetGptEntry(d, 128, 512, 1, 300, 299);
      SetGptEntry(d, 128, 512, 2, 400, 500);
      PartitionTable t(nullptr, 512);
      t.ReadPartitionTable(d, d.Sectors());
      EXPECT_EQ(SpansOf(t), (Spans{{100, 101}})) << bad;
    }
  }
  {
    // A header that is not one, or placed past the drive: no entries.
    MemoryDisk d(64, 512);
    MakeGpt(d, 4, 128);
    std::memcpy(d.At(1), "EFI PARX", 8);
    PartitionTable t(nullptr, 512);
    EXPECT_TRUE(t.ReadPartitionTable(d, d.Sectors()));
    EXPECT_EQ(t.Count(), 0u);
    MemoryDisk e(64, 512);
    SetEntry(e.At(0), 0, 0xEE, 1000, 10);
    PartitionTable u(nullptr, 512);
    EXPECT_TRUE(u.ReadPartitionTable(e, e.Sectors()));
    EXPECT_EQ(u.Count(), 0u);
  }
}

// A registered image carries the table read from its file; a file with
// none carries an empty one.
TEST(PartitionTable, RegisteredImagesCarryTheirTables) {
  const std::string folder = FixtureFolder("make_partition_images.sh");
  if (folder.empty()) GTEST_SKIP() << "fdisk or sleuthkit missing";
  CImgFile images;
  for (const char* name : {"mbr", "gpt"}) {
    const std::string path = folder + "/" + name + ".img";
    ASSERT_EQ(images.AddW(FromUtf8(path)), 0);
    std::shared_ptr<PartitionTable> t = images.GetPartitionTable(FromUtf8(path));
    ASSERT_TRUE(t) << name;
    EXPECT_EQ(SpansOf(*t), ReadMmls(folder + "/" + name + ".mmls.txt")) << name;
  }
  const TempFolder temp("imgtable");
  const std::string blank = temp.Path() + "/blank.img";
  RunCommand("head -c 1000 /dev/zero > '" + blank + "'");
  ASSERT_EQ(images.AddW(FromUtf8(blank)), 0);
  ASSERT_TRUE(images.GetPartitionTable(FromUtf8(blank)));
  EXPECT_EQ(images.GetPartitionTable(FromUtf8(blank))->Count(), 0u);
  EXPECT_EQ(images.GetTableDeviceSectors(FromUtf8(blank)), 2u);
}
