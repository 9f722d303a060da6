// The RAID scan over sets cut from real images by tests/tools/mkraid.py and
// over the zfs-fuse RAID-Z pool of tests/fixtures/raidz: what a recording
// double is handed, against where FormatMemberSectors says each structure
// of the plain image lies; the members read side by side against the
// member files; the sampler's decisions.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <tuple>

#include "engine/Engine.h"
#include "engine/RaidSampler.h"
#include "engine/RaidScan.h"
#include "engine/SectorClassify.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "storage/RDrive.h"
#include "storage/RaidSettings.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/RaidMembers.h"
#include "tests/support/TestUtil.h"

using namespace raid_test;

namespace {

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Found {
  int member, kind;
  int64_t sector;
  bool operator<(const Found& o) const { return std::tie(member, kind, sector) < std::tie(o.member, o.kind, o.sector); }
};

// Keeps what the scan hands over.
class RecordingSink : public RaidScanSink {
 public:
  bool Begin(const RDrive&) override {
    ++begun;
    return true;
  }
  void End() override { ++ended; }
  void Pause() override {
    ++paused;
    if (g_appState) g_appState->pauseRequested = 0;
  }
  void Resume() override { ++resumed; }
  int Channel(int member) override {
    channels.push_back(member);
    if (stopAfterChannels && channels.size() >= stopAfterChannels && g_appState) g_appState->stopRequested = 1;
    if (pauseAtChannel && channels.size() == pauseAtChannel && g_appState) g_appState->pauseRequested = 1;
    return 0;
  }
  int Structure(int member, int kind, int64_t sector, const uint8_t*, uint32_t) override {
    EXPECT_EQ(member, channels.empty() ? -1 : channels.back());
    found.insert({member, kind, sector});
    return 0;
  }
  int FileRecord(int member, int64_t sector, const RaidScanRecord& r) override {
    if (!r.refused) records.insert({member, kSectNtfsRecord, sector});
    if (!r.refused) names.insert(ToUtf8(r.name));
    return 0;
  }
  int ContentSample(int, int64_t, int, int) override {
    ++samples;
    return 0;
  }
  int Block(int member, const uint32_t*, const uint8_t*, uint32_t) override {
    blocks.push_back(member);
    return 0;
  }
  int begun = 0, ended = 0, paused = 0, resumed = 0, samples = 0;
  size_t stopAfterChannels = 0, pauseAtChannel = 0;
  std::vector<int> channels, blocks;
  std::set<Found> found, records;
  std::set<std::string> names;
};

class RaidScanTest : public testing::Test {
 protected:
  TempFolder temp_{"raidscan"};
  GlobalObjectsScope scope;
  void TearDown() override {
    ClearRaidSettings();
    SetBlockSourceOpener(nullptr);
    if (g_appState) g_appState->stopRequested = g_appState->pauseRequested = 0;
  }
  // basic.img as a RAID 5 set of four members, rotation 2, 64 KiB.
  std::unique_ptr<Drive> Raid5(std::vector<int> missing = {}, std::string* prefix = nullptr) {
    const std::string image = ntfs_fixture::Image("basic");
    if (image.empty()) return nullptr;
    image_ = image;
    const Layout l{"r5", 5, 4, 65536, 1, 2, 0, 0};
    const std::string p = temp_.Path() + "/m";
    if (FileSize(p + "0") == 0 && !MkRaid(l, image, p)) return nullptr;
    if (prefix) *prefix = p;
    const std::string def = Definition(l, p, FileSize(p + "0"), missing);
    RaidSettings s;
    s.stripeBytes = 65536;
    s.rotation = 2;
    SetRaidSettings(FromUtf8(def), s);
    return OpenSet(def);
  }
  std::string image_;
};

}  // namespace

// Every member's bytes as TRead and TGetNext give them equal the member
// file; a missing member's (RAID 5 one, RAID 6 two) the removed file.
TEST_F(RaidScanTest, MembersSideBySideEqualTheFiles) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image";
  for (const Layout& l : {Layout{"r5", 5, 4, 65536, 1, 2, 0, 0}, Layout{"r6", 6, 5, 65536, 1, 1, 0, 0}}) {
    const std::string p = temp_.Path() + "/" + l.name;
    ASSERT_TRUE(MkRaid(l, image, p));
    std::vector<std::vector<uint8_t>> files;
    for (int i = 0; i < l.members; ++i) files.push_back(FileBytes(p + std::to_string(i)));
    const uint64_t memberBytes = files[0].size();
    std::vector<std::vector<int>> variants = {{}, {1}};
    if (l.level == 6) variants.push_back({0, 3});
    for (const auto& missing : variants) {
      const std::string def = Definition(l, p, memberBytes, missing);
      SCOPED_TRACE(def);
      RaidSettings s;
      s.stripeBytes = l.stripe;
      s.rotation = l.rotation;
      SetRaidSettings(FromUtf8(def), s);
      auto d = OpenSet(def);
      ASSERT_TRUE(d);
      RDrive& set = static_cast<RDrive&>(*d);
      // The last piece past the members' end; with every member there, one
      // reads less than the others (a rebuild needs all of them whole).
      const uint32_t piece = 3 * 65536 + 4096;
      for (uint64_t at = 0; at < memberBytes; at += piece) {
        std::vector<uint32_t> bytes(size_t(l.members), piece);
        if (missing.empty()) bytes[2] = 4096;
        const uint8_t* got = set.TRead(at / 512, bytes);
        for (int i = 0; i < l.members; ++i) {
          if (i) got = set.TGetNext();
          ASSERT_TRUE(got);
          EXPECT_EQ(set.TMember(), i);
          const uint64_t want = std::min<uint64_t>(bytes[size_t(i)], memberBytes - at);
          ASSERT_EQ(memcmp(got, files[size_t(i)].data() + at, want), 0) << "member " << i << " at " << at;
          for (uint64_t k = want; k < piece; ++k) ASSERT_EQ(got[k], 0) << "member " << i << " at " << at + k;
        }
        EXPECT_FALSE(set.TGetNext());
        EXPECT_FALSE(set.TFailed());
      }
    }
  }
}

// The scan hands over the boot sector and each FILE record of the image at
// the member sector FormatMemberSectors gives, records cut by a row's end
// whole; a missing member's are found in its rebuilt bytes.
TEST_F(RaidScanTest, StructuresWhereTheLayoutPutsThem) {
  auto d = Raid5();
  if (!d) GTEST_SKIP() << "no NTFS fixture image";
  RDrive& set = static_cast<RDrive&>(*d);
  // Where the plain image's structures lie on the members.
  const std::vector<uint8_t> plain = FileBytes(image_);
  std::set<Found> want;
  ClassifyContext context;
  for (size_t off = 0; off + 512 <= plain.size(); off += 512) {
    context.sector = int64_t(off / 512);
    const int kind = ClassifySector(plain.data() + off, nullptr, &context);
    if (kind != kSectNtfsBoot && kind != kSectNtfsRecord) continue;
    for (int m = 0; m < 4; ++m) {
      const std::string at = ToUtf8(set.FormatMemberSectors(m, int64_t(off / 512)));
      if (!at.empty()) want.insert({m, kind, std::stoll(at)});
    }
    if (kind == kSectNtfsRecord) off += 512;
  }
  ASSERT_GT(want.size(), 20u);
  NTFSObj engine(d.get());
  for (const uint32_t row : {0u, 3584u}) {
    SCOPED_TRACE(row);
    RecordingSink sink;
    RaidScanOptions options;
    options.rowBytes = row;  // 3.5 KiB: records cross the parts' ends
    options.interval = 0;    // taken as every row
    ASSERT_EQ(ScanRAID(engine, set, sink, options), 0) << ToUtf8(LastErrorText());
    EXPECT_EQ(sink.begun, 1);
    EXPECT_EQ(sink.ended, 1);
    const uint64_t rowBytes = row ? row : 3 * 65536, memberBytes = set.MemberLength(0) * 512;
    EXPECT_EQ(uint64_t(sink.samples), 4 * ((memberBytes + rowBytes - 1) / rowBytes));
    std::set<Found> got = sink.records;
    for (const Found& f : sink.found)
      if (f.kind == kSectNtfsBoot) got.insert(f);
    for (const Found& f : want)
      EXPECT_TRUE(got.count(f)) << "member " << f.member << " kind " << f.kind << " sector " << f.sector;
    EXPECT_TRUE(sink.names.count("small.txt"));
    // The first row whole, every member under its own channel (the
    // sampler's blocks follow).
    ASSERT_GE(sink.blocks.size(), 4u);
    EXPECT_EQ(std::vector<int>(sink.blocks.begin(), sink.blocks.begin() + 4), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(std::vector<int>(sink.channels.begin(), sink.channels.begin() + 4), (std::vector<int>{0, 1, 2, 3}));
  }
  // A member missing: its structures come from its rebuilt bytes.
  d.reset();
  auto degraded = Raid5({1});
  ASSERT_TRUE(degraded);
  NTFSObj e2(degraded.get());
  RecordingSink sink;
  ASSERT_EQ(ScanRAID(e2, static_cast<RDrive&>(*degraded), sink, RaidScanOptions{}), 0);
  std::set<Found> got = sink.records;
  for (const Found& f : sink.found)
    if (f.kind == kSectNtfsBoot) got.insert(f);
  for (const Found& f : want) EXPECT_TRUE(got.count(f)) << "member " << f.member << " sector " << f.sector;
}

// Stop ends the scan at once, pause closes and reopens the recording, a
// member that cannot be read ends it with -1 and its error.
TEST_F(RaidScanTest, StopPauseAndReadError) {
  auto state = std::make_shared<FaultState>();
  FaultyOpener opener(state);
  auto d = Raid5();
  if (!d) GTEST_SKIP() << "no NTFS fixture image";
  RDrive& set = static_cast<RDrive&>(*d);
  NTFSObj engine(d.get());
  {
    RecordingSink sink;
    sink.pauseAtChannel = 6;
    sink.stopAfterChannels = 9;
    EXPECT_EQ(ScanRAID(engine, set, sink, RaidScanOptions{}), 0);
    EXPECT_EQ(sink.channels.size(), 12u);  // the row under way ends
    EXPECT_EQ(sink.paused, 1);
    EXPECT_EQ(sink.resumed, 1);
    EXPECT_EQ(sink.ended, 1);
  }
  g_appState->stopRequested = 0;
  state->bad.push_back({2u << 20, 3u << 20});
  RecordingSink sink;
  EXPECT_EQ(ScanRAID(engine, set, sink, RaidScanOptions{}), -1);
  EXPECT_FALSE(LastErrorText().empty());
  EXPECT_EQ(sink.ended, 1);
}

// The sampler: with four members (tolerance 2) two blocks at or above the
// threshold are enough, one is not; its channels skip a missing member.
TEST_F(RaidScanTest, SamplerDecisions) {
  auto d = Raid5();
  if (!d) GTEST_SKIP() << "no NTFS fixture image";
  RecordingSink sink;
  RaidSampler sampler(static_cast<RDrive&>(*d), sink, 100);
  EXPECT_EQ(sampler.Tolerance(), 2);
  const uint8_t block[4] = {};
  struct Case {
    uint32_t values[4];
    int result;
  };
  for (const Case& c :
       {Case{{100, 200, 0, 0}, 1}, Case{{0, 0, 0, 100}, 0}, Case{{99, 99, 99, 99}, 0}, Case{{100, 100, 100, 100}, 1}}) {
    int r = -1;
    for (int i = 0; i < 4; ++i) {
      r = sampler.Add(block, c.values[i], i, 4);
      if (i < 3) EXPECT_EQ(r, 0);
    }
    EXPECT_EQ(r, c.result) << c.values[0] << " " << c.values[1] << " " << c.values[2] << " " << c.values[3];
  }
  d.reset();
  auto degraded = Raid5({1});
  ASSERT_TRUE(degraded);
  RaidSampler three(static_cast<RDrive&>(*degraded), sink, 100);
  EXPECT_EQ(three.Members(), 3);
  for (int i = 0; i < 3; ++i) three.Add(block, 100, i, 4);
  const uint32_t position[3] = {0, 0, 4};
  sink.channels.clear();
  sink.blocks.clear();
  three.Record(position);
  EXPECT_EQ(sink.channels, (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(sink.blocks, (std::vector<int>{0, 2, 3}));
}

// A RAID-Z1 pool of zfs-fuse (tests/fixtures/raidz): every member shows
// uberblocks in each of its four labels (two at its start, two at its end).
TEST_F(RaidScanTest, RaidzMembersShowTheirLabels) {
  if (!HaveTool("xz")) GTEST_SKIP() << "xz missing";
  const std::string src = std::string(DV_SOURCE_DIR) + "/tests/fixtures/raidz/";
  const std::string out = FixtureCache() + "/raidz";
  RunCommand("mkdir -p '" + out + "'");
  std::string def = "RAIDZ1(";
  const uint64_t memberBytes = 96ull << 20;
  for (int i = 0; i < 4; ++i) {
    const std::string f = "raidz1.f" + std::to_string(i), dst = out + "/" + f;
    if (FileSize(dst) != memberBytes) {
      const std::string cmd = "flock '" + out + "/.lock' sh -c \"xz -dc '" + src + f + ".xz' | dd of='" + dst +
                              ".tmp' bs=64K conv=sparse status=none && mv '" + dst + ".tmp' '" + dst + "'\"";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    def += (i ? "," : "") + dst + "<0:196607>";
  }
  auto d = OpenSet(def + ")");
  ASSERT_TRUE(d);
  NTFSObj engine(d.get());
  RecordingSink sink;
  RaidScanOptions options;
  options.rowBytes = 1u << 20;
  ASSERT_EQ(ScanRAID(engine, static_cast<RDrive&>(*d), sink, options), 0) << ToUtf8(LastErrorText());
  const int64_t label = 256 * 1024 / 512, end = int64_t(memberBytes / 512);
  for (int m = 0; m < 4; ++m) {
    for (const int64_t start : {int64_t(0), label, end - 2 * label, end - label}) {
      const bool seen = std::any_of(sink.found.begin(), sink.found.end(), [&](const Found& f) {
        return f.member == m && f.kind == kSectZfsUberblock && f.sector >= start && f.sector < start + label;
      });
      EXPECT_TRUE(seen) << "member " << m << " label at " << start;
    }
  }
}

// dvscan with the "raid" trace switch on a RAID set runs the RAID scan in
// place of the volume scans: no volume search message, nothing listed.
TEST_F(RaidScanTest, TheRaidSwitchRunsTheScan) {
  std::string prefix;
  auto d = Raid5({}, &prefix);
  if (!d) GTEST_SKIP() << "no NTFS fixture image";
  const std::string def = ToUtf8(d->Name());
  d.reset();
  const DvscanRun plain = Dvscan("--raid 64:1:2 '" + def + "'");
  EXPECT_EQ(plain.rc, 0) << plain.err;
  EXPECT_FALSE(plain.items.empty());
  const DvscanRun r =
      Dvscan("--raid 64:1:2 --trace '" + temp_.Path() + "/trace.txt' --trace-switches raid '" + def + "'");
  EXPECT_EQ(r.rc, 2) << r.err;
  EXPECT_EQ(r.err.find("Boot sector not found"), std::string::npos) << r.err;
  EXPECT_TRUE(r.items.empty());
}
