// RAID and spanned sets over member files: images made by real tools (the
// NTFS fixtures, an ext4 image from mke2fs -d) cut into members by
// tests/tools/mkraid.py, read back through the set and compared with the
// source's md5 and with dvscan's list of the plain image; RAID-Z pools
// written by zfs-fuse (tests/fixtures/raidz) read block by block against
// the blocks zdb names; faults, caches and the volume search of a set.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "storage/RDrive.h"
#include "storage/SDrive.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/RaidMembers.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"
#include "volumes/VolumeSearch.h"

using namespace raid_test;

namespace {

constexpr uint32_t kMiB = 0x100000;

std::string Md5Hex(Md5& md5) {
  uint8_t digest[kMd5DigestSize];
  md5.Final(digest);
  char hex[2 * kMd5DigestSize + 1] = {};
  HexEncode(hex, digest, kMd5DigestSize);
  std::string s(hex);
  for (char& c : s) c = AsciiLower(c);
  return s;
}

std::string Md5OfFile(const std::string& path) { return RunCommand("md5sum < '" + path + "'").substr(0, 32); }

// The md5 of the first `bytes` bytes of the drive, read in requests of up
// to 1 MiB at an odd start (so that requests cross stripes and rows).
std::string Md5OfDrive(Drive& d, uint64_t bytes, bool ownBuffer = false) {
  Md5 md5;
  const uint32_t ss = d.SectorSize();
  const uint32_t request = std::min<uint32_t>(kMiB, d.TransferSize()) / ss * ss;
  std::vector<uint8_t> mine(request);
  for (uint64_t at = 0; at < bytes;) {
    // The first request is short, so the rest start in the middle of rows.
    const uint32_t want = at == 0 ? 7 * ss : request;
    const uint32_t n = uint32_t(std::min<uint64_t>(want, bytes - at));
    uint8_t* data = d.ReadSectors(int64_t(at / ss), n, 0x10000, ownBuffer ? nullptr : mine.data(), true);
    if (!data) return "read failed: " + ToUtf8(LastErrorText());
    md5.Update(data, n);
    at += n;
  }
  return Md5Hex(md5);
}

// dvscan's exit status, messages and list of a source (without the node
// column, which numbers the nodes in the order found).
std::string DvscanList(const std::string& source, const std::string& raid = "") {
  const TempFolder temp("raidlist");
  const std::string out = temp.Path() + "/list.tsv";
  std::string cmd = "'" DV_BINARY_DIR "/bin/dvscan' --list '" + out + "' ";
  if (!raid.empty()) cmd += "--raid " + raid + " ";
  cmd += "'" + source + "' 2>&1 >/dev/null";
  const CommandRun run = RunCommandStatus(cmd);
  return "rc " + std::to_string(run.rc) + "\n" + run.out + RunCommand("cut -f1-4 '" + out + "' | sort");
}

std::string SettingsText(const Layout& l) {
  const std::string stripe = l.stripe == 512 ? "0.5" : std::to_string(l.stripe / 1024);
  return stripe + ":" + std::to_string(l.delay) + ":" + std::to_string(l.rotation) + ":" + std::to_string(l.mode) +
         ":" + std::to_string(l.order);
}

RaidSettings SettingsOf(const Layout& l) {
  RaidSettings s;
  EXPECT_TRUE(ParseRaidSettingsText(FromUtf8(SettingsText(l)), &s));
  return s;
}

class RaidSetTest : public testing::TestWithParam<Layout> {
 protected:
  TempFolder temp_{std::string("raidset_") + GetParam().name};
  void SetUp() override { dir = temp_.Path(); }
  void TearDown() override { ClearRaidSettings(); }
  std::string dir;
  GlobalObjectsScope scope;
};

// Every set reads the image's md5 with all members, with one "Missing" and
// (RAID 6) with two, and dvscan lists through it what it lists of the image.
TEST_P(RaidSetTest, ReadsTheStripedImage) {
  const Layout& l = GetParam();
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  const std::string prefix = dir + "/m";
  ASSERT_TRUE(MkRaid(l, image, prefix));
  const uint64_t memberBytes = FileSize(prefix + "0");
  const uint64_t bytes = FileSize(image);
  const std::string md5 = Md5OfFile(image);
  const std::string plainList = DvscanList(image);
  ASSERT_NE(plainList.find("small.txt"), std::string::npos) << plainList;

  std::vector<std::vector<int>> variants = {{}};
  if (l.level >= 5) variants.push_back({l.members / 2});
  if (l.level == 6) variants.push_back({0, l.members - 1});
  if (l.level == 6) variants.push_back({1, 2});
  for (const auto& missing : variants) {
    const std::string def = Definition(l, prefix, memberBytes, missing);
    SCOPED_TRACE(def);
    const RaidSettings s = SettingsOf(l);
    SetRaidSettings(FromUtf8(def), s);
    auto d = OpenSet(def);
    ASSERT_TRUE(d);
    EXPECT_GE(d->SectorCount() * 512, bytes);
    EXPECT_EQ(Md5OfDrive(*d, bytes), md5);
    EXPECT_EQ(d->TotalErrors(), 0u);
    d.reset();
    EXPECT_EQ(DvscanList(def, SettingsText(l)), plainList);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RaidSetTest,
    testing::Values(Layout{"r0_2x64k", 0, 2, 65536, 1, 1, 0, 0}, Layout{"r0_3x16k", 0, 3, 16384, 1, 1, 0, 0},
                    Layout{"r5_fa", 5, 4, 65536, 1, 0, 0, 0}, Layout{"r5_ba", 5, 4, 65536, 1, 1, 0, 0},
                    Layout{"r5_bs", 5, 4, 65536, 1, 2, 0, 0}, Layout{"r5_fs", 5, 4, 65536, 1, 3, 0, 0},
                    Layout{"r5_fa16", 5, 4, 65536, 16, 0, 0, 0}, Layout{"r5_ba16", 5, 4, 65536, 16, 1, 0, 0},
                    Layout{"r5_bs16", 5, 3, 65536, 16, 2, 0, 0}, Layout{"r5_fs16", 5, 5, 65536, 16, 3, 0, 0},
                    Layout{"r5_bs_32k", 5, 4, 32768, 1, 2, 0, 0}, Layout{"r6_ba_m0", 6, 5, 65536, 1, 1, 0, 0},
                    Layout{"r6_bs_m0", 6, 5, 65536, 1, 2, 0, 0}, Layout{"r6_ba2_m0", 6, 5, 65536, 1, 4, 0, 0},
                    Layout{"r6_bs2_m0", 6, 6, 65536, 1, 5, 0, 0}, Layout{"r6_ba_m1", 6, 5, 65536, 1, 1, 1, 0},
                    Layout{"r6_bs_m1", 6, 4, 65536, 1, 2, 1, 0}, Layout{"r6_ba2_m1", 6, 5, 65536, 2, 4, 1, 1},
                    Layout{"r6_bs2_m1", 6, 6, 32768, 1, 5, 1, 2}),
    [](const testing::TestParamInfo<Layout>& i) { return std::string(i.param.name); });

class RaidSetFixture : public testing::Test {
 protected:
  TempFolder temp_{"raidsets"};
  void SetUp() override { dir = temp_.Path(); }
  void TearDown() override {
    SetBlockSourceOpener(nullptr);
    ClearRaidSettings();
    if (g_appState) g_appState->zfsRaidz = 0;
  }
  std::string Ext4Image() {
    const std::string folder = FixtureFolder("make_raid_sources.sh");
    return folder.empty() ? std::string() : folder + "/raid-ext4.img";
  }
  std::string dir;
  GlobalObjectsScope scope;
};

TEST_F(RaidSetFixture, Ext4ImageThroughSets) {
  const std::string image = Ext4Image();
  if (image.empty()) GTEST_SKIP() << "mke2fs missing";
  const std::string md5 = Md5OfFile(image);
  const std::string plainList = DvscanList(image);
  for (const Layout& l : {Layout{"r0", 0, 3, 65536, 1, 1, 0, 0}, Layout{"r5", 5, 4, 16384, 1, 2, 0, 0},
                          Layout{"r6", 6, 6, 65536, 1, 5, 1, 0}}) {
    const std::string prefix = dir + "/" + l.name + "-";
    ASSERT_TRUE(MkRaid(l, image, prefix));
    for (std::vector<int> missing : {std::vector<int>{}, std::vector<int>{1}, std::vector<int>{2, 3}}) {
      if (int(missing.size()) > (l.level == 6 ? 2 : l.level == 5 ? 1 : 0)) continue;
      const std::string def = Definition(l, prefix, FileSize(prefix + "0"), missing);
      SCOPED_TRACE(def);
      SetRaidSettings(FromUtf8(def), SettingsOf(l));
      auto d = OpenSet(def);
      ASSERT_TRUE(d);
      EXPECT_EQ(Md5OfDrive(*d, FileSize(image), true), md5);
      d.reset();
      EXPECT_EQ(DvscanList(def, SettingsText(l)), plainList);
    }
  }
}

// A schema spelling out RAID 5 "Backward symmetric" reads what the built-in
// map reads; a two-range schema switching layout reads across its boundary.
TEST_F(RaidSetFixture, SchemaFiles) {
  const std::string image = Ext4Image();
  if (image.empty()) GTEST_SKIP() << "mke2fs missing";
  const std::string md5 = Md5OfFile(image);
  const Layout l{"r5", 5, 4, 65536, 1, 2, 0, 0};
  const std::string prefix = dir + "/schema";
  ASSERT_TRUE(MkRaid(l, image, prefix));
  const uint64_t memberBytes = FileSize(prefix + "0");
  // Backward symmetric, 4 members, 128-sector stripes: row r has parity on
  // member 3 - r and data from the member after it.
  std::ostringstream s;
  s << "; RAID 5 backward symmetric\nRangeCount 1\nLogicalGroupSizeInSectors " << 12 * 128
    << "\nPhysicalGroupSizeInSectors 512\nLogicalExtentCount 12\n";
  for (int r = 0, k = 0; r < 4; ++r)
    for (int c = 0; c < 3; ++c, ++k) s << "LE " << k << " 128 XOR(" << (3 - r + 1 + c) % 4 << ":" << 128 * r << ")\n";
  s << "RangeStart 0 " << memberBytes / 512 * 3 << "\n";
  WriteFileText(dir + "/bs.txt", s.str());
  std::string def = "RAID(";
  for (int i = 0; i < 4; ++i) def += (i ? "," : "") + prefix + std::to_string(i) + "<0:" + std::to_string(memberBytes / 512 - 1) + ">";
  def += ")";
  RaidSettings settings;
  settings.schemaPath = FromUtf8(dir + "/bs.txt");
  SetRaidSettings(FromUtf8(def), settings);
  auto d = OpenSet(def);
  ASSERT_TRUE(d);
  EXPECT_EQ(Md5OfDrive(*d, FileSize(image)), md5);
  // The member sectors of a logical sector: sector 128 is member 1, row 0.
  EXPECT_EQ(ToUtf8(static_cast<RDrive*>(d.get())->FormatMemberSectors(1, 130)), " 2");
  d.reset();
  // Without its schema a custom set cannot be read.
  ClearRaidSettings();
  std::string error;
  EXPECT_FALSE(OpenSet(def, &error));
  EXPECT_EQ(error, ToUtf8(Msg(668)));

  // Two ranges: the first half of the image as RAID 0 of members 0 and 1,
  // the rest as RAID 0 of members 1 and 0, after the first range's sectors.
  const uint64_t half = FileSize(image) / 2 / 512;  // sectors, a multiple of 256
  std::vector<std::string> member(2);
  {
    std::ifstream in(image, std::ios::binary);
    std::vector<char> chunk(65536);
    for (uint64_t s0 = 0; in.read(chunk.data(), chunk.size()); s0 += 128) {
      const int stripe = int(s0 / 128);
      const int m = s0 < half ? stripe % 2 : 1 - stripe % 2;
      member[size_t(m)].append(chunk.data(), chunk.size());
    }
  }
  for (int m = 0; m < 2; ++m) WriteFileText(dir + "/two" + std::to_string(m), member[size_t(m)]);
  std::ostringstream t;
  t << "RangeCount 2\nLogicalGroupSizeInSectors 256\nPhysicalGroupSizeInSectors 128\nLogicalExtentCount 2\n"
    << "LE 0 128 XOR(0:0)\nLE 1 128 XOR(1:0)\nRangeStart 0 " << half << "\n"
    << "LogicalExtentCount 2\nLE 0 128 XOR(1:0)\nLE 1 128 XOR(0:0)\n";
  WriteFileText(dir + "/two.txt", t.str());
  const std::string two = "RAID0(" + dir + "/two0<0:" + std::to_string(member[0].size() / 512 - 1) + ">," + dir +
                          "/two1<0:" + std::to_string(member[1].size() / 512 - 1) + ">)";
  settings.schemaPath = FromUtf8(dir + "/two.txt");
  SetRaidSettings(FromUtf8(two), settings);
  d = OpenSet(two);
  ASSERT_TRUE(d);
  // The last range ends with the file: its start and size stay 0, and so
  // does the set's size; with its "RangeStart" the set reads across it.
  EXPECT_EQ(d->SectorCount(), 0u);
  t << "RangeStart " << half << " " << FileSize(image) / 512 - half << "\n";
  WriteFileText(dir + "/two.txt", t.str());
  d = OpenSet(two);
  ASSERT_TRUE(d);
  EXPECT_EQ(Md5OfDrive(*d, FileSize(image)), md5);
  // One request across the boundary.
  std::vector<uint8_t> got(kMiB), want(kMiB);
  ASSERT_TRUE(d->ReadSectors(int64_t(half) - 1000, kMiB, 0x10000, got.data(), true));
  std::ifstream in(image, std::ios::binary);
  in.seekg(std::streamoff((half - 1000) * 512));
  in.read(reinterpret_cast<char*>(want.data()), kMiB);
  EXPECT_EQ(got, want);
}

// The Part's edge cases of the RAID drive on small members.
TEST_F(RaidSetFixture, RaidDriveEdges) {
  // Three members of a RAID 5 ("Backward asymmetric", the default) over
  // 12 MiB of random bytes, 6 MiB each; the last two made longer.
  const std::string source = dir + "/source";
  RunCommand("head -c " + std::to_string(12 * kMiB) + " /dev/urandom > '" + source + "'");
  ASSERT_TRUE(MkRaid(Layout{"r5", 5, 3, 65536, 1, 1, 0, 0}, source, dir + "/e"));
  std::vector<std::string> m;
  for (int i = 0; i < 3; ++i) {
    m.push_back(dir + "/e" + std::to_string(i));
    if (i) RunCommand("truncate -s +" + std::to_string(i * kMiB + 5000) + " '" + m.back() + "'");
  }
  auto def = [&](const std::string& kind, std::vector<std::string> members) {
    std::string d = kind + "(";
    for (size_t i = 0; i < members.size(); ++i) d += (i ? "," : "") + members[i];
    return d + ")";
  };
  // Unequal members: the smallest, cut to whole stripes; 2 data members.
  auto d = OpenSet(def("RAID5", {m[0] + "<0:12299>", m[1], m[2]}));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->SectorCount(), 12288u * 2);
  // A read past the end comes back with zeros for the part beyond it.
  std::vector<uint8_t> b(8 * 512, 0xEE);
  const int64_t last = int64_t(d->SectorCount()) - 2;
  ASSERT_TRUE(d->ReadSectors(last, 8 * 512, 0x10000, b.data(), true));
  for (size_t i = 2 * 512; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
  EXPECT_FALSE(d->ReadSectors(int64_t(d->SectorCount()), 512, 0x10000, b.data(), true));
  EXPECT_EQ(LastErrorText(), FormatW(Msg(228), int64_t(d->SectorCount())));
  EXPECT_FALSE(d->ReadSectors(-1, 512, 0x10000, b.data(), true));
  EXPECT_FALSE(d->ReadSectors(0, d->TransferSize() + 512, 0x10000, nullptr, true));
  EXPECT_EQ(LastErrorText(), Msg(138));

  // One "Missing" member reads what the full set reads (three members).
  const std::string full = Md5OfFile(source);
  EXPECT_EQ(Md5OfDrive(*d, d->SectorCount() * 512), full);
  d = OpenSet(def("RAID5", {m[0] + "<0:12299>", "Missing", m[2]}));
  ASSERT_TRUE(d);
  EXPECT_EQ(Md5OfDrive(*d, d->SectorCount() * 512), full);
  // "<9999:" counts as missing for RAID 5 and is opened for RAID 0.
  d = OpenSet(def("RAID5", {m[0] + "<0:12299>", m[1] + "<9999:12000>", m[2]}));
  ASSERT_TRUE(d);
  EXPECT_EQ(static_cast<RDrive*>(d.get())->MissingCount(), 1);
  EXPECT_EQ(Md5OfDrive(*d, d->SectorCount() * 512), full);
  d = OpenSet(def("RAID0", {m[0], m[1] + "<9999:12000>"}));
  ASSERT_TRUE(d);
  EXPECT_EQ(static_cast<RDrive*>(d.get())->MissingCount(), 0);

  // Refused definitions.
  std::string error;
  std::vector<std::string> sixtyFive(65, m[0]);
  EXPECT_FALSE(OpenSet(def("RAID0", sixtyFive), &error));
  EXPECT_EQ(error.substr(0, 90), ToUtf8(FormatW(Msg(180), FromUtf8(def("RAID0", sixtyFive)))).substr(0, 90));
  // More missing members than parity.
  EXPECT_FALSE(OpenSet(def("RAID5", {m[0], "Missing", "Missing"}), &error));
  EXPECT_EQ(error, ToUtf8(Msg(672)));
  EXPECT_FALSE(OpenSet(def("RAID6", {m[0], "Missing", m[1] + "<9999:12000>", "Missing", m[2]}), &error));
  EXPECT_EQ(error, ToUtf8(Msg(672)));
  EXPECT_FALSE(OpenSet(def("RAID0", {m[0], "Missing"}), &error));
  EXPECT_EQ(error, ToUtf8(Msg(672)));
  for (const std::string& bad : {def("RAID5", {m[0], m[1], m[2]}) + "x", "RAID5(" + m[0] + "," + m[1],
                                 def("RAID5", {m[0], m[1] + "<0:", m[2]}), def("RAID5", {m[0], "/a|b<0:1>", m[2]})}) {
    EXPECT_FALSE(OpenSet(bad, &error)) << bad;
    EXPECT_EQ(error, ToUtf8(FormatW(Msg(180), FromUtf8(bad))));
  }
  // A spanned set says why and where; a member without a range spans all of it.
  const std::string backwards = def("SPAN", {m[0] + "<5:4>"});
  EXPECT_FALSE(OpenSet(backwards, &error));
  EXPECT_EQ(error, "The spanned set " + backwards +
                       " cannot be read: the range of member 1 ends before it begins (at character 6).");
  d = OpenSet(def("SPAN", {m[0]}));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->SectorCount(), uint64_t(FileSize(m[0]) / 512));
  EXPECT_FALSE(OpenSet(def("RAID5", {m[0], m[1]}), &error));
  EXPECT_EQ(error, ToUtf8(Msg(225)));
  RaidSettings s;
  s.rotation = 4;
  SetRaidSettings(FromUtf8(def("RAID5", {m[0], m[1], m[2]})), s);
  EXPECT_FALSE(OpenSet(def("RAID5", {m[0], m[1], m[2]}), &error));
  EXPECT_EQ(error, ToUtf8(Msg(376)));
}

TEST_F(RaidSetFixture, CacheAndMemberReadsInParallel) {
  std::vector<std::string> m;
  for (int i = 0; i < 4; ++i) {
    m.push_back(dir + "/c" + std::to_string(i));
    RunCommand("head -c " + std::to_string(4 * kMiB) + " /dev/urandom > '" + m.back() + "'");
  }
  auto state = std::make_shared<FaultState>();
  FaultyOpener opener(state);
  auto d = OpenSet("RAID5(" + m[0] + "," + m[1] + "," + m[2] + "," + m[3] + ")");
  ASSERT_TRUE(d);
  const size_t before = state->CallCount();
  const uint8_t* a = d->ReadSectors(100, 64 * 1024, 0x10000, nullptr, true);
  ASSERT_TRUE(a);
  const size_t afterFirst = state->CallCount();
  EXPECT_GT(afterFirst, before);
  std::vector<uint8_t> copy(a, a + 64 * 1024), again(64 * 1024);
  // Served from the cache, into the drive's buffer or the caller's.
  ASSERT_TRUE(d->ReadSectors(110, 512, 0x10000, nullptr, true));
  ASSERT_TRUE(d->ReadSectors(100, 64 * 1024, 0x10000, again.data(), true));
  EXPECT_EQ(state->CallCount(), afterFirst);
  EXPECT_EQ(again, copy);
  // Zeros of a read error are never kept: the same sectors are read from
  // the members again.
  state->bad.push_back({0, 4 * kMiB});
  ASSERT_TRUE(d->ReadSectors(8000, 512, 0x10000, nullptr, true));
  EXPECT_GT(d->TotalErrors(), 0u);
  state->bad.clear();
  const size_t n = state->CallCount();
  ASSERT_TRUE(d->ReadSectors(8000, 512, 0x10000, nullptr, true));
  EXPECT_GT(state->CallCount(), n);
}

TEST_F(RaidSetFixture, SpannedSets) {
  // The 150-sector example: ranges 0..99 and 0..49 of two images.
  const std::string a = dir + "/a", b = dir + "/b";
  RunCommand("head -c 102400 /dev/urandom > '" + a + "'; head -c 51200 /dev/urandom > '" + b + "'");
  auto state = std::make_shared<FaultState>();
  {
    FaultyOpener opener(state);
    auto d = OpenSet("SPAN(" + a + "<0:99>," + b + "<0:49>)");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->SectorCount(), 150u);
    std::vector<uint8_t> got(4 * 512);
    ASSERT_TRUE(d->ReadSectors(98, 4 * 512, 0x10000, got.data(), true));
    const std::string ta = ReadFileText(a), tb = ReadFileText(b);
    EXPECT_EQ(0, memcmp(got.data(), ta.data() + 98 * 512, 1024));
    EXPECT_EQ(0, memcmp(got.data() + 1024, tb.data(), 1024));
    ASSERT_TRUE(d->ReadSectors(149, 1024, 0x10000, got.data(), true));
    EXPECT_EQ(0, memcmp(got.data(), tb.data() + 49 * 512, 512));
    for (int i = 512; i < 1024; ++i) ASSERT_EQ(got[size_t(i)], 0);
    ASSERT_TRUE(d->ReadSectors(10, 4096, 0x10000, nullptr, true));
    const size_t calls = state->CallCount();
    ASSERT_TRUE(d->ReadSectors(10, 4096, 0x10000, nullptr, true));
    EXPECT_EQ(state->CallCount(), calls);
    // A range past a member's end.
    std::string error;
    EXPECT_FALSE(OpenSet("SPAN(" + a + "<0:200>," + b + "<0:49>)", &error));
  }
  // An NTFS image cut by split -b 20M.
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image";
  ASSERT_EQ(std::system(("cd '" + dir + "' && split -b 20M '" + image + "' piece.").c_str()), 0);
  std::string span = "SPAN(";
  for (const char* p : {"piece.aa", "piece.ab", "piece.ac", "piece.ad"}) {
    const std::string path = dir + "/" + p;
    span += std::string(span.size() > 5 ? "," : "") + path + "<0:" + std::to_string(FileSize(path) / 512 - 1) + ">";
  }
  span += ")";
  auto d = OpenSet(span);
  ASSERT_TRUE(d);
  EXPECT_EQ(Md5OfDrive(*d, FileSize(image)), Md5OfFile(image));
  d.reset();
  EXPECT_EQ(DvscanList(span), DvscanList(image));
  // A span whose first member is a RAID 5 set: the first 32 MiB striped.
  RunCommand("head -c " + std::to_string(32 * kMiB) + " '" + image + "' > '" + dir + "/head'; tail -c +" +
             std::to_string(32 * kMiB + 1) + " '" + image + "' > '" + dir + "/tail'");
  const Layout l{"r5", 5, 3, 65536, 1, 2, 0, 0};
  ASSERT_TRUE(MkRaid(l, dir + "/head", dir + "/h"));
  const std::string raid = Definition(l, dir + "/h", FileSize(dir + "/h0"), {1});
  const std::string nested = "SPAN(" + raid + "<0:" + std::to_string(32 * kMiB / 512 - 1) + ">," + dir + "/tail<0:" +
                             std::to_string(FileSize(dir + "/tail") / 512 - 1) + ">)";
  SetRaidSettings(FromUtf8(raid), SettingsOf(l));
  d = OpenSet(nested);
  ASSERT_TRUE(d);
  EXPECT_EQ(Md5OfDrive(*d, FileSize(image)), Md5OfFile(image));
}

// Extents count in the first member's sectors: a member of another sector
// size is refused (a loop device of 4096-byte sectors after an image).
TEST_F(RaidSetFixture, SpanOfMixedSectorSizesIsRefused) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  const std::string a = dir + "/mixed-a", b = dir + "/mixed-b";
  RunCommand("truncate -s 1M '" + a + "' '" + b + "'");
  std::string loop = RunCommand("losetup -f --show --sector-size 4096 '" + b + "' 2>/dev/null");
  while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
  if (loop.empty()) GTEST_SKIP() << "no loop device here";
  std::string error;
  const std::string def = "SPAN(" + a + "<0:99>," + loop + "<0:9>)";
  EXPECT_FALSE(OpenSet(def, &error));
  EXPECT_EQ(error, "The spanned set " + def +
                       " cannot be read: member 2 has sectors of 4096 bytes, the first member "
                       "512 (at character " +
                       std::to_string(a.size() + 13) + ").");
  RunCommand("losetup -d '" + loop + "'");
}

// A destination inside a loop mount of a member is refused.
TEST_F(RaidSetFixture, DestinationOnAMemberIsRefused) {
  const std::string image = Ext4Image();
  if (image.empty() || getuid() != 0) GTEST_SKIP() << "needs root and mke2fs";
  const std::string member = dir + "/member.img", other = dir + "/other.img", mnt = dir + "/mnt";
  RunCommand("cp '" + image + "' '" + member + "'; head -c 16777216 /dev/zero > '" + other + "'; mkdir -p '" + mnt + "'");
  if (std::system(("mount -o loop,ro '" + member + "' '" + mnt + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no loop mount here";
  {
    auto d = OpenSet("RAID0(" + other + "," + member + ")");
    auto s = OpenSet("SPAN(" + member + "<0:100>," + other + "<0:100>)");
    EXPECT_TRUE(d && s);
    if (d && s) {
      EXPECT_FALSE(d->IsSafeVolume(FromUtf8(mnt + "/out")));
      EXPECT_FALSE(s->IsSafeVolume(FromUtf8(mnt + "/out")));
      EXPECT_FALSE(d->IsSafeVolume(FromUtf8(member)));
      EXPECT_TRUE(d->IsSafeVolume(FromUtf8(dir + "/out")));
    }
  }
  RunCommand("umount '" + mnt + "'");
}

// ---- RAID-Z pools written by zfs-fuse ----

struct ZBlock {
  uint64_t offset, psize;
  std::string md5;
};

class RaidzTest : public RaidSetFixture {
 protected:
  // The pool's members unpacked (sparse) into the cache; empty when xz is
  // missing.
  std::vector<std::string> Members(const std::string& pool, int n) {
    const std::string src = std::string(DV_SOURCE_DIR) + "/tests/fixtures/raidz/";
    const std::string out = FixtureCache() + "/raidz";
    std::vector<std::string> paths;
    if (!HaveTool("xz")) return paths;
    RunCommand("mkdir -p '" + out + "'");
    for (int i = 0; i < n; ++i) {
      const std::string f = pool + ".f" + std::to_string(i);
      const std::string dst = out + "/" + f;
      if (FileSize(dst) != 96ull * kMiB) {
        const std::string cmd = "flock '" + out + "/.lock' sh -c \"xz -dc '" + src + f + ".xz' | dd of='" + dst +
                                ".tmp' bs=64K conv=sparse status=none && mv '" + dst + ".tmp' '" + dst + "'\"";
        if (std::system(cmd.c_str()) != 0) return {};
      }
      paths.push_back(dst);
    }
    return paths;
  }
  std::vector<ZBlock> Blocks(const std::string& pool) {
    std::vector<ZBlock> blocks;
    const std::string dir = std::string(DV_SOURCE_DIR) + "/tests/fixtures/raidz/";
    const std::string zdb = ReadFileText(dir + pool + ".zdb.txt");
    std::istringstream in(ReadFileText(dir + pool + ".blocks.txt"));
    std::string obj;
    uint64_t logical;
    ZBlock b;
    while (in >> obj >> logical >> b.offset >> b.psize >> b.md5) {
      // The block as zdb printed it: "L0 0:OFFSET:ASIZE LSIZEL/PSIZEP".
      const std::string dva = FormatA(" L0 0:%llx:", (unsigned long long)b.offset);
      const std::string sizes = FormatA(" %llxL/%llxP", (unsigned long long)b.psize, (unsigned long long)b.psize);
      const size_t at = zdb.find(dva);
      EXPECT_NE(at, std::string::npos) << dva;
      if (at != std::string::npos) {
        EXPECT_EQ(zdb.substr(zdb.find(' ', at + dva.size()), sizes.size()), sizes);
      }
      blocks.push_back(b);
    }
    return blocks;
  }
  std::string Definition(const std::string& kind, const std::vector<std::string>& m, std::vector<int> missing) {
    std::string d = kind + "(";
    for (size_t i = 0; i < m.size(); ++i) {
      d += i ? "," : "";
      d += std::find(missing.begin(), missing.end(), int(i)) != missing.end() ? "Missing" : m[i] + "<0:196607>";
    }
    return d + ")";
  }
  void CheckBlocks(const std::string& kind, const std::vector<std::string>& m, const std::vector<ZBlock>& blocks,
                   std::vector<int> missing) {
    const std::string def = Definition(kind, m, missing);
    SCOPED_TRACE(def);
    auto d = OpenSet(def);
    ASSERT_TRUE(d);
    RDrive* r = static_cast<RDrive*>(d.get());
    for (const ZBlock& b : blocks) {
      std::vector<uint8_t> data(b.psize);
      ASSERT_EQ(r->RAIDZRead(data.data(), b.offset / 512, b.psize), 1) << b.offset;
      Md5 md5;
      md5.Update(data.data(), data.size());
      EXPECT_EQ(Md5Hex(md5), b.md5) << "block at " << b.offset;
      // Into the drive's own buffer.
      ASSERT_EQ(r->RAIDZRead(nullptr, b.offset / 512, b.psize), 1);
    }
  }
};

TEST_F(RaidzTest, Raidz1BlocksOfARealPool) {
  const auto m = Members("raidz1", 4);
  if (m.empty()) GTEST_SKIP() << "xz missing";
  const auto blocks = Blocks("raidz1");
  ASSERT_GE(blocks.size(), 5u);
  // Blocks past the first MiB of the vdev swap the first two columns.
  EXPECT_TRUE(std::any_of(blocks.begin(), blocks.end(), [](const ZBlock& b) { return b.offset & kMiB; }));
  CheckBlocks("RAIDZ1", m, blocks, {});
  for (int gone = 0; gone < 4; ++gone) CheckBlocks("RAIDZ1", m, blocks, {gone});
}

TEST_F(RaidzTest, Raidz2BlocksOfARealPool) {
  const auto m = Members("raidz2", 6);
  if (m.empty()) GTEST_SKIP() << "xz missing";
  const auto blocks = Blocks("raidz2");
  ASSERT_GE(blocks.size(), 3u);
  CheckBlocks("RAIDZ2", m, blocks, {});
  for (std::vector<int> gone : {std::vector<int>{0}, {3}, {0, 1}, {1, 2}, {2, 5}, {4, 5}, {0, 4}})
    CheckBlocks("RAIDZ2", m, blocks, gone);
}

// With the "RAIDZ" option the volume search reads no partition table and
// reads a RAID-Z set through its first member only.
TEST_F(RaidzTest, VolumeSearchReadsTheFirstMember) {
  const auto m = Members("raidz1", 4);
  if (m.empty()) GTEST_SKIP() << "xz missing";
  std::map<std::string, std::shared_ptr<FaultState>> states;
  for (const auto& p : m) states[p] = std::make_shared<FaultState>();
  SetBlockSourceOpener([states](const std::string& path, bool direct) -> std::unique_ptr<BlockSource> {
    auto inner = FileBlockSource::Open(path, direct);
    auto it = states.find(path);
    if (!inner || it == states.end()) return inner;
    return std::make_unique<FaultySource>(it->second, std::move(inner));
  });
  g_appState->zfsRaidz = 1;
  for (std::vector<int> missing : {std::vector<int>{}, std::vector<int>{0}}) {
    for (auto& s : states) s.second->calls.clear();
    auto d = OpenSet(Definition("RAIDZ1", m, missing));
    ASSERT_TRUE(d);
    ScanPartitions(*d);
    const std::string first = m[missing.empty() ? 0 : 1];
    EXPECT_GT(states[first]->CallCount(), 0u);
    for (const auto& p : m)
      if (p != first) {
        EXPECT_EQ(states[p]->CallCount(), 0u) << p;
      }
  }
}

}  // namespace
