// exFAT boot sectors, the volume locator, entry sets and node times on
// hand-made bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatBoot.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatScan.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "tests/filesystems/exfat/ExFatSink.h"
#include "tests/support/ByteWriter.h"
#include "volumes/FolderWalk.h"

using namespace testbytes;
using Bytes = std::vector<uint8_t>;

namespace {

// A boot sector of a 64 MiB volume: 512-byte sectors, 4 KiB clusters.
Bytes Boot(uint64_t partitionOffset = 0) {
  Bytes b(512, 0);
  memcpy(b.data(), "\xEB\x76\x90" "EXFAT   ", 11);
  Put64(b, 64, partitionOffset);
  Put64(b, 72, 131072);  // sectors
  Put32(b, 80, 2048);    // FAT offset
  Put32(b, 84, 128);     // FAT length: 16,384 entries
  Put32(b, 88, 4096);    // heap
  Put32(b, 92, 15872);   // clusters
  Put32(b, 96, 5);       // root
  b[108] = 9;
  b[109] = 3;
  b[110] = 1;
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

TEST(ExFatBoot, ChecksTheGeometry) {
  struct Case {
    const char* what;
    void (*change)(Bytes&);
    bool ok;
  } cases[] = {
      {"as made", [](Bytes&) {}, true},
      {"sector shift 12 and cluster shift 14", [](Bytes& b) { b[108] = 12, b[109] = 14; }, false},
      {"sector shift 12 and cluster shift 13", [](Bytes& b) { b[108] = 12, b[109] = 13, Put32(b, 92, 100), Put64(b, 72, 1000000); }, true},
      {"256-byte sectors", [](Bytes& b) { b[108] = 8; }, false},
      {"8 KiB sectors", [](Bytes& b) { b[108] = 13; }, false},
      {"no FAT", [](Bytes& b) { b[110] = 0; }, false},
      {"three FATs", [](Bytes& b) { b[110] = 3; }, false},
      {"volume shorter than its heap", [](Bytes& b) { Put64(b, 72, 1000); }, false},
      {"volume length above 2^32 sectors", [](Bytes& b) { Put64(b, 72, 1ull << 33); }, true},
      {"root past the clusters", [](Bytes& b) { Put32(b, 96, 15874); }, false},
      {"heap inside the FAT", [](Bytes& b) { Put32(b, 88, 2100); }, false},
      {"FAT too short for the clusters", [](Bytes& b) { Put32(b, 84, 10); }, false},
      {"FAT length 0", [](Bytes& b) { Put32(b, 84, 0); }, false},
  };
  for (const Case& c : cases) {
    Bytes b = Boot();
    c.change(b);
    EXPECT_EQ(CheckExFatBoot(ReadExFatBoot(b.data())), c.ok) << c.what;
    CExFATVol v;
    EXPECT_EQ(v.BootParse(b.data()), c.ok ? 1 : -1) << c.what;
  }
}

TEST(ExFatBoot, VolumeGeometry) {
  CExFATVol v;
  ASSERT_EQ(v.BootParse(Boot().data()), 1);
  EXPECT_EQ(v.sectorSize, 512u);
  EXPECT_EQ(v.clusterSize, 4096u);
  EXPECT_EQ(v.rootNode->id, 5u);
  EXPECT_TRUE(v.rootNode->IsDirectory());
  // Cluster 2 is the heap's first.
  EXPECT_EQ(int64_t(v.dataAreaSector) + 2 * 8, 4096);
  // 32 MiB clusters on a heap at 32 MiB: cluster 0 lies before the volume.
  Bytes b = Boot();
  b[109] = 16;
  Put32(b, 88, 65536);
  Put32(b, 92, 2);
  Put32(b, 96, 2);
  Put64(b, 72, 4 * 65536);
  CExFATVol big;
  ASSERT_EQ(big.BootParse(b.data()), 1);
  EXPECT_EQ(int64_t(big.dataAreaSector), 65536 - 2 * 65536);
}

// A drive's first sectors as a chunk: boot copies placed where a case
// wants them.
struct Chunk {
  int64_t start;
  std::vector<Bytes> sectors;
  Chunk(int64_t s, size_t n) : start(s), sectors(n, Bytes(512, 0)) {}
  Bytes& At(int64_t sector) { return sectors[size_t(sector - start)]; }
  Bytes Flat() const {
    Bytes all;
    for (const Bytes& s : sectors) all.insert(all.end(), s.begin(), s.end());
    return all;
  }
};

int64_t Locate(const Chunk& c, int64_t v) {
  const Bytes flat = c.Flat();
  return LocateExFATVolume(nullptr, v, flat.data(), c.start, uint32_t(c.sectors.size()), 512);
}

TEST(ExFatLocate, FromTheBootSectorsAndTheTable) {
  {
    Chunk c(0, 40);
    c.At(20) = Boot(20);
    EXPECT_EQ(Locate(c, 20), 20) << "partition offset names the sector";
  }
  {
    Chunk c(0, 40);
    c.At(32) = Boot(20);
    EXPECT_EQ(Locate(c, 32), 20) << "partition offset names the sector 12 before (a backup)";
  }
  {
    Chunk c(0, 40);
    c.At(3) = Boot(7);
    c.At(15) = Boot(7);
    EXPECT_EQ(Locate(c, 3), 3) << "the copy 12 sectors after is equal";
  }
  {
    Chunk c(0, 40);
    c.At(15) = Boot(7);
    c.At(3) = Boot(7);
    EXPECT_EQ(Locate(c, 15), 3) << "the copy 12 sectors before is equal";
  }
  {
    // Below sector 12 no sector 12 before is looked at, whatever the
    // offset field says.
    Chunk c(0, 40);
    c.At(5) = Boot(uint64_t(int64_t(5) - 12));
    EXPECT_EQ(Locate(c, 5), -1);
  }
  {
    Chunk c(2040, 40);
    c.At(2060) = Boot(0);
    EXPECT_EQ(Locate(c, 2060), 2048) << "2060 with offset 0 and no equal copy";
    EXPECT_EQ(Locate(c, 2048), 2048);
  }
  {
    Chunk c(50, 40);
    c.At(75) = Boot(0);
    EXPECT_EQ(Locate(c, 75), 63);
  }
  {
    // The table found behind the main boot sector the search did not see.
    Bytes b = Boot(0);
    Put32(b, 80, 24);
    Chunk c(100, 60);
    c.At(112) = b;
    Bytes& fat = c.At(100 + 24);
    memcpy(fat.data(), "\xF8\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
    Put32(fat, 8, 0xFFFFFFFF);
    Put32(fat, 12, 4);
    Put32(fat, 16, 0xFFFFFFFF);
    EXPECT_EQ(Locate(c, 112), 100) << "table at v - 12 + FAT offset";
    Put32(fat, 12, 1);
    EXPECT_EQ(Locate(c, 112), -1) << "a table entry of 1";
  }
}

// ---- entry sets ----

uint32_t Stamp(int year, int month, int day, int hour, int minute, int second) {
  const uint32_t date = uint32_t((year - 1980) << 9 | month << 5 | day);
  const uint32_t time = uint32_t(hour << 11 | minute << 5 | second / 2);
  return date << 16 | time;
}

struct SetSpec {
  std::u16string name;
  uint32_t cluster = 10;
  uint64_t size = 100;
  bool folder = false;
  bool deleted = false;
  uint8_t tenMs = 0;
  uint8_t flags = 0x03;
  int nameEntries = -1;  // -1: as many as the name needs
};

void AppendSet(Bytes& out, const SetSpec& s) {
  const size_t names = s.nameEntries >= 0 ? size_t(s.nameEntries) : (s.name.size() + 14) / 15;
  Bytes e(32 * (2 + names), 0);
  e[0] = s.deleted ? 0x05 : 0x85;
  e[1] = uint8_t(1 + names);
  Put16(e, 4, s.folder ? 0x10 : 0x20);
  Put32(e, 8, Stamp(2021, 3, 4, 5, 6, 8));
  Put32(e, 12, Stamp(2022, 7, 8, 9, 10, 12));
  Put32(e, 16, Stamp(2023, 1, 2, 0, 0, 0));
  e[20] = 150;
  e[21] = s.tenMs;
  e[32] = s.deleted ? 0x40 : 0xC0;
  e[33] = s.flags;
  e[35] = uint8_t(s.name.size());
  Put32(e, 32 + 20, s.cluster);
  Put64(e, 32 + 24, s.size);
  for (size_t i = 0; i < names; ++i) {
    uint8_t* n = e.data() + 64 + 32 * i;
    n[0] = s.deleted ? 0x41 : 0xC1;
    for (size_t k = 0; k < 15 && i * 15 + k < s.name.size(); ++k) Put16(n + 2 + 2 * k, s.name[i * 15 + k]);
  }
  out.insert(out.end(), e.begin(), e.end());
}

class ExFatEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vol.BootParse(Boot().data()), 1);
    vol.engine = &sink;
    TheFolderWalk() = FolderWalk{};
    TheFolderWalk().volume = &vol;
    TheFolderWalk().path = u"\\";
  }
  void TearDown() override {
    for (auto* q : {&TheFolderWalk().live, &TheFolderWalk().deleted})
      for (FolderWalk::Entry& e : *q) DeleteNode(&e.node);
    TheFolderWalk() = FolderWalk{};
  }
  int Parse(const Bytes& b, size_t piece = 0) {
    if (!piece) piece = b.size();
    int made = 0;
    for (size_t at = 0; at < b.size(); at += piece)
      made += ParseExFATEntries(&vol, b.data() + at, std::min(piece, b.size() - at), 5);
    return made;
  }
  std::vector<const ExFatNode*> Folders() const {
    std::vector<const ExFatNode*> out;
    for (const FolderWalk::Entry& e : TheFolderWalk().live) out.push_back(static_cast<const ExFatNode*>(e.node));
    for (const FolderWalk::Entry& e : TheFolderWalk().deleted) out.push_back(static_cast<const ExFatNode*>(e.node));
    return out;
  }
  CExFATVol vol;
  ExFatSink sink;
};

TEST_F(ExFatEntries, LiveAndDeletedSets) {
  Bytes b;
  AppendSet(b, {u"readme.txt"});
  AppendSet(b, {u"a name of more than fifteen characters.bin", 11, 5000});
  AppendSet(b, {u"gone.dat", 12, 7, false, true});
  AppendSet(b, {u"sub", 13, 4096, true});
  AppendSet(b, {u"empty", 0, 0});
  EXPECT_EQ(Parse(b), 5);
  // The folder is an item too (a copy: the walk keeps its node).
  ASSERT_EQ(sink.files.size(), 5u);
  EXPECT_EQ(sink.files[0].name, u"readme.txt");
  EXPECT_EQ(sink.files[0].node->id, 10u);
  EXPECT_EQ(sink.files[0].node->size, 100u);
  EXPECT_EQ(sink.files[0].node->parentId, 5u);
  EXPECT_EQ(sink.files[0].path, u"\\");
  EXPECT_EQ(sink.files[1].name, u"a name of more than fifteen characters.bin");
  EXPECT_EQ(sink.files[2].name, u"gone.dat");
  EXPECT_TRUE(sink.files[2].node->flags & kNodeDeleted);
  EXPECT_FALSE(sink.files[0].node->flags & kNodeDeleted);
  EXPECT_EQ(sink.files[3].name, u"sub");
  EXPECT_TRUE(sink.files[3].node->IsDirectory());
  EXPECT_EQ(sink.files[3].path, u"\\");
  EXPECT_EQ(sink.files[4].name, u"empty");
  EXPECT_EQ(sink.files[4].node->id, 0u);
  const auto folders = Folders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0]->GetNameW(), u"sub");
  EXPECT_NE(static_cast<const cnode*>(folders[0]), sink.files[3].node);
  EXPECT_EQ(TheFolderWalk().live.front().path, u"\\sub\\");
}

// The scan flags leave out live or deleted folders as they do files; a
// live folder is walked all the same (deleted items may lie in it).
TEST_F(ExFatEntries, FoldersListedByTheScanFlags) {
  GlobalObjectsScope scope;
  const struct {
    int flags;
    std::vector<std::u16string> listed;
    size_t walked;
  } cases[] = {
      {3, {u"live.txt", u"livedir", u"gone.txt", u"gonedir"}, 2},
      {2, {u"live.txt", u"livedir"}, 1},
      {1, {u"gone.txt", u"gonedir"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    TearDown();
    SetUp();
    sink.files.clear();
    g_appState->scanFlag = uint8_t(c.flags);
    Bytes b;
    AppendSet(b, {u"live.txt", 10, 100});
    AppendSet(b, {u"livedir", 11, 4096, true});
    AppendSet(b, {u"gone.txt", 12, 100, false, true});
    AppendSet(b, {u"gonedir", 13, 4096, true, true});
    Parse(b);
    std::vector<std::u16string> listed;
    for (const auto& f : sink.files) listed.push_back(f.name);
    EXPECT_EQ(listed, c.listed);
    EXPECT_EQ(Folders().size(), c.walked);
  }
}

TEST_F(ExFatEntries, SetsAcrossPieces) {
  Bytes b;
  for (int i = 0; i < 20; ++i)
    AppendSet(b, {u"file number " + std::u16string(1, char16_t(u'a' + i)) + u" of the folder", uint32_t(20 + i)});
  EXPECT_EQ(Parse(b, 32), 20);
  ASSERT_EQ(sink.files.size(), 20u);
  EXPECT_EQ(sink.files[19].name, u"file number t of the folder");
}

TEST_F(ExFatEntries, DamagedSetsAreDropped) {
  struct Case {
    const char* what;
    SetSpec set;
    bool kept;
  } cases[] = {
      {"10-ms count 200", {u"bad.txt", 10, 100, false, false, 200}, false},
      {"10-ms count 199", {u"good.txt", 10, 100, false, false, 199}, true},
      {"first cluster past the heap", {u"far.txt", 15874, 100}, false},
      {"first cluster 1", {u"one.txt", 1, 100}, false},
      {"first cluster 0 with a size", {u"zero.txt", 0, 100}, false},
      {"a folder at cluster 0", {u"zdir", 0, 0, true}, false},
      {"a control character", {u"c\x01l.txt"}, false},
      {"a colon below 128", {u"a:b"}, false},
      {"a name of \"..\"", {u".."}, true},
  };
  for (const Case& c : cases) {
    sink.files.clear();
    Bytes b;
    AppendSet(b, c.set);
    AppendSet(b, {u"after"});
    Parse(b);
    const bool folder = c.set.folder;
    const size_t kept = folder ? Folders().size() : sink.files.size() - 1;
    EXPECT_EQ(kept, c.kept ? 1u : 0u) << c.what;
    ASSERT_FALSE(sink.files.empty()) << c.what;
    EXPECT_EQ(sink.files.back().name, u"after") << c.what;
  }
}

TEST_F(ExFatEntries, NamelessSetIsNamedByItsCluster) {
  Bytes b;
  SetSpec s{u"", 30, 100};
  s.nameEntries = 1;
  AppendSet(b, s);
  Parse(b);
  ASSERT_EQ(sink.files.size(), 1u);
  // No sniffer is installed: no extension.
  EXPECT_EQ(sink.files[0].name, u"file30");
}

TEST_F(ExFatEntries, VolumeEntries) {
  Bytes b(96, 0);
  b[0] = 0x83;
  b[1] = 3;
  PutUtf16(b, 2, u"LBL");
  b[32] = 0x81;
  b[33] = 1;
  Put32(b, 32 + 20, 2);
  Put64(b, 32 + 24, 2000);
  b[64] = 0x82;
  Put32(b, 64 + 4, 0xE619D30D);
  Put32(b, 64 + 20, 3);
  Put64(b, 64 + 24, 5836);
  Parse(b);
  EXPECT_EQ(vol.label, u"LBL");
  EXPECT_EQ(vol.bitmaps[1].firstCluster, 2u);
  EXPECT_EQ(vol.bitmaps[1].length, 2000u);
  EXPECT_EQ(vol.upcase.firstCluster, 3u);
  EXPECT_EQ(vol.upcaseChecksum, 0xE619D30Du);
}

TEST(ExFatNodeTimes, DecodesTheStamps) {
  ExFatNode n;
  n.modifyTime = Stamp(2022, 7, 8, 9, 10, 12);
  n.tenMs[1] = 150;
  n.createTime = Stamp(2021, 2, 29, 0, 0, 0);  // no such day
  n.accessTime = Stamp(2023, 1, 2, 0, 0, 0);
  EXPECT_EQ(n.GetTimeText(0), u"2022/07/08 09:10:13");
  EXPECT_EQ(n.GetTimeText(1), u"0000/00/00 00:00:00");
  EXPECT_EQ(n.GetTimeText(2), u"2023/01/02 00:00:00");
  // 2022-07-08 09:10:13.500 UTC.
  EXPECT_EQ(n.GetTime(0), (uint64_t(1657271413) + 11644473600ull) * 10000000ull + 5000000ull);
  EXPECT_EQ(n.GetTime(1), 0u);
}

}  // namespace
