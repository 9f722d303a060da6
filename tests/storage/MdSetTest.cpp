// Linux md sets made by mdadm and the md driver (tests/fixtures/
// make_md_sets.sh), read with the settings their "mdadm --examine" implies
// (docs/DESIGN.md, "md sets"): every file of the set's manifest recovered
// md5-exact, with members missing too; a wrong member order warned about
// or failed, never listed silently.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <sstream>

#include "foundation/Globals.h"
#include "platform/Format.h"
#include "storage/RDrive.h"
#include "storage/RaidSettings.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/RaidMembers.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

struct MdCase {
  const char* name;
  int level;  // 0, 5, 6, or -1 linear
  int chunkKiB;
  int members;
  const char* settings;  // --raid, empty for none
};

// md's layouts in this program's terms: RAID 5 left-symmetric rotation 2,
// left-asymmetric 1, right-asymmetric 0, right-symmetric 3; RAID 6
// left-symmetric rotation 2, mode 1, order 0 with the members in role order
// 1, ..., n-1, 0.
const MdCase kCases[] = {
    {"r5-ls-12-64-4-ext4", 5, 64, 4, "64:1:2"},
    {"r5-la-090-512-3-ntfs", 5, 512, 3, "512:1:1"},
    {"r5-ra-10-64-5-ext4", 5, 64, 5, "64:1:0"},
    {"r5-rs-12-512-4-ntfs", 5, 512, 4, "512:1:3"},
    {"r5-ls-090-64-3-ntfs", 5, 64, 3, "64:1:2"},
    {"r5-rs-12-64-5-ext4", 5, 64, 5, "64:1:3"},
    {"r6-ls-12-64-4-ext4", 6, 64, 4, "64:1:2:1:0"},
    {"r6-ls-090-512-5-ntfs", 6, 512, 5, "512:1:2:1:0"},
    {"r0-12-64-3-ext4", 0, 64, 3, "64:1:1"},
    {"r0-10-512-4-ntfs", 0, 512, 4, "512:1:1"},
    {"linear-12-3-ext4", -1, 0, 3, ""},
    {"linear-10-2-ntfs", -1, 0, 2, ""},
};

struct Member {
  std::string file;
  int role = -1;
  uint64_t dataOffset = 0;  // sectors
};

// Roles and data offsets of the members from "mdadm --examine": "Device
// Role : Active device K" and "Data Offset : N sectors" (metadata 1.x),
// the "this" row's RaidDevice column (0.90, whose data starts at 0).
std::vector<Member> ReadExamine(const std::string& dir, const MdCase& c) {
  std::ifstream in(dir + "/" + c.name + ".examine.txt");
  std::vector<Member> out;
  std::string line;
  const std::regex head("^===== (\\S+)$"), role("Device Role : Active device (\\d+)"),
      offset("Data Offset : (\\d+) sectors"), self("^this\\s+\\d+\\s+\\d+\\s+\\d+\\s+(\\d+)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, head)) out.push_back({dir + "/" + m[1].str()});
    else if (out.empty()) continue;
    else if (std::regex_search(line, m, role) || std::regex_search(line, m, self)) out.back().role = std::stoi(m[1]);
    else if (std::regex_search(line, m, offset)) out.back().dataOffset = std::stoull(m[1]);
  }
  return out;
}

uint64_t SizeOf(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  return f ? uint64_t(f.tellg()) : 0;
}

// The definition in the order the settings read: role order, RAID 6 rotated
// by one. `missing` are positions in that order.
std::string Definition(const MdCase& c, std::vector<Member> members, const std::vector<int>& missing,
                       const std::vector<int>& swap, uint64_t perMember) {
  std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.role < b.role; });
  if (c.level == 6) std::rotate(members.begin(), members.begin() + 1, members.end());
  if (swap.size() == 2) std::swap(members[size_t(swap[0])], members[size_t(swap[1])]);
  std::string def = c.level == -1 ? "SPAN(" : "RAID" + std::to_string(c.level) + "(";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i) def += ",";
    if (std::find(missing.begin(), missing.end(), int(i)) != missing.end()) {
      def += "Missing";
      continue;
    }
    const Member& m = members[i];
    def += m.file + "<" + std::to_string(m.dataOffset) + ":" + std::to_string(m.dataOffset + perMember - 1) + ">";
  }
  return def + ")";
}

struct Outcome {
  int rc = -1;
  std::string err;
  std::multiset<std::string> md5s;  // of the files recovered
};

Outcome Recover(const std::string& def, const char* settings) {
  const TempFolder temp("mdset");
  std::string cmd = "'" DV_BINARY_DIR "/bin/dvscan' --recover '" + temp.Path() + "/out' ";
  if (*settings) cmd += std::string("--raid ") + settings + " ";
  cmd += "'" + def + "' 2>&1 >/dev/null";
  Outcome o;
  const CommandRun run = RunCommandStatus(cmd);
  o.rc = run.rc;
  o.err = run.out;
  std::istringstream sums(RunCommand(
      "cd '" + temp.Path() + "' && find out -type f ! -name Recovery.log -exec md5sum {} + 2>/dev/null | cut -c1-32"));
  for (std::string s; std::getline(sums, s);) o.md5s.insert(s);
  return o;
}

std::vector<std::string> Manifest(const std::string& dir, const MdCase& c) {
  std::ifstream in(dir + "/" + c.name + ".manifest.txt");
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    if (line.size() > 32) out.push_back(line.substr(0, 32));
  return out;
}

class MdSetTest : public testing::TestWithParam<MdCase> {
 protected:
  void TearDown() override { ClearRaidSettings(); }
  GlobalObjectsScope scope;
};

// The file's bytes [offset, offset + n).
std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t n) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(std::streamoff(offset));
  std::vector<uint8_t> out(n);
  f.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  return out;
}

// In process: the parity sample passes, the i-th present member skips a
// missing one, and a missing member reads back as the driver wrote it.
TEST_P(MdSetTest, RebuildsAMissingMemberAsTheDriverWroteIt) {
  const MdCase& c = GetParam();
  if (c.level < 5) GTEST_SKIP() << "no parity";
  DV_NEED_FIXTURE("make_md_sets.sh");
  const std::string dir = FixtureCache();
  std::vector<Member> members = ReadExamine(dir, c);
  ASSERT_EQ(members.size(), size_t(c.members));
  const uint64_t perMember = SizeOf(dir + "/" + c.name + ".array") / 512 / uint64_t(c.members - (c.level == 5 ? 1 : 2));
  RaidSettings settings;
  ASSERT_TRUE(ParseRaidSettingsText(FromUtf8(c.settings), &settings));
  {
    const std::string def = Definition(c, members, {}, {}, perMember);
    SetRaidSettings(FromUtf8(def), settings);
    auto d = raid_test::OpenSet(def);
    ASSERT_TRUE(d);
    auto* set = dynamic_cast<RDrive*>(d.get());
    RDrive::ParitySample sample;
    ASSERT_TRUE(set->SampleParity(&sample));
    EXPECT_GT(sample.sampled, 3);
    EXPECT_EQ(sample.mismatched, 0);
    EXPECT_TRUE(set->notes.empty());
  }
  std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.role < b.role; });
  if (c.level == 6) std::rotate(members.begin(), members.begin() + 1, members.end());
  std::vector<int> missing = {1};
  if (c.level == 6) missing.push_back(c.members - 1);
  const std::string def = Definition(c, members, missing, {}, perMember);
  SCOPED_TRACE(def);
  SetRaidSettings(FromUtf8(def), settings);
  auto d = raid_test::OpenSet(def);
  ASSERT_TRUE(d);
  auto* set = dynamic_cast<RDrive*>(d.get());
  EXPECT_EQ(set->NextMemberIndex(0), 0);
  EXPECT_EQ(set->NextMemberIndex(1), 2);
  EXPECT_EQ(set->NextMemberIndex(c.members - int(missing.size())), -1);
  RDrive::ParitySample sample;
  EXPECT_FALSE(set->SampleParity(&sample));
  const uint32_t piece = 3 * 65536 + 4096;  // across stripes
  for (size_t w = 0; w < missing.size(); ++w) {
    const Member& lost = members[size_t(missing[w])];
    for (uint64_t at = 0; at < perMember; at += piece / 512) {
      const uint32_t n = uint32_t(std::min<uint64_t>(piece, (perMember - at) * 512));
      const uint8_t* got = set->ReadMissing(at, n, c.level == 5 ? 1 : 2, int(w));
      ASSERT_TRUE(got) << ToUtf8(LastErrorText());
      const std::vector<uint8_t> want = FileBytes(lost.file, (lost.dataOffset + at) * 512, n);
      ASSERT_TRUE(std::equal(want.begin(), want.end(), got)) << "member " << missing[w] << " sector " << at;
    }
  }
  EXPECT_FALSE(set->ReadMissing(0, 4096, c.level == 5 ? 2 : 1));
}

TEST_P(MdSetTest, RecoversTheManifestAndWarnsOfAWrongOrder) {
  DV_NEED_FIXTURE("make_md_sets.sh");
  const MdCase& c = GetParam();
  const std::string dir = FixtureCache();
  const std::vector<Member> members = ReadExamine(dir, c);
  ASSERT_EQ(members.size(), size_t(c.members));
  for (const Member& m : members) ASSERT_GE(m.role, 0) << m.file;
  const int data = c.level == 5 ? c.members - 1 : c.level == 6 ? c.members - 2 : c.members;
  const uint64_t perMember = SizeOf(dir + "/" + c.name + ".array") / 512 / uint64_t(data);
  ASSERT_GT(perMember, 0u);
  const std::vector<std::string> manifest = Manifest(dir, c);
  ASSERT_GT(manifest.size(), 20u);

  std::vector<std::vector<int>> variants = {{}};
  if (c.level >= 5) variants.push_back({1});
  if (c.level == 6) variants.push_back({0, c.members - 1});
  for (const std::vector<int>& missing : variants) {
    const std::string def = Definition(c, members, missing, {}, perMember);
    SCOPED_TRACE(def);
    const Outcome o = Recover(def, c.settings);
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.err.find("may be wrong"), std::string::npos) << o.err;
    for (const std::string& md5 : manifest) EXPECT_EQ(o.md5s.count(md5), 1u) << md5 << "\n" << o.err;
  }
  if (c.level >= 5) {
    // Two members exchanged: never a silent complete recovery.
    const std::string def = Definition(c, members, {}, {0, 1}, perMember);
    SCOPED_TRACE(def);
    const Outcome o = Recover(def, c.settings);
    size_t found = 0;
    for (const std::string& md5 : manifest) found += o.md5s.count(md5) ? 1 : 0;
    // RAID 5's parity holds in any order: there the Poor count or the
    // volume's structure tells.
    if (c.level == 6) {
      EXPECT_NE(o.err.find("Parity does not match in"), std::string::npos) << o.err;
    }
    if (found < manifest.size()) {
      EXPECT_TRUE(o.rc != 0 || o.err.find("may be wrong") != std::string::npos) << o.err;
    }
  }
}

// basic.img cut into members by mkraid.py (RAID 5 rotation 2; RAID 6
// rotation 2, mode 1, order 0; 64 KiB stripes), read with the right
// settings and with one kind of setting wrong: the reproducer (the
// defaults), the member order, the rotation, the stripe size, the parity
// delay, RAID 6's coefficient mode and order. A wrong one warns, fails
// (exit 1), or reads the very files the right one reads (on four RAID 6
// members the coefficient mode changes nothing that is read). Where neither
// parity nor the Poor count can tell (members exchanged, rotation 0 or
// 128 KiB stripes on RAID 5, RAID 6's data chunks exchanged within their
// rows), the volume's own structure read through the set does. The runs go
// side by side.
TEST(RaidLayoutWarningTest, WarnsOfAWrongLayoutOnlyWhenItIsWrong) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  const TempFolder temp("raidwarn");
  const std::string p = temp.Path() + "/m";
  std::vector<std::future<int>> cuts;
  for (const char* cut : {"--level 5 --rotation 2", "--level 6 --rotation 2 --mode 1 --order 0"})
    cuts.push_back(std::async(std::launch::async, [&, cut] {
      return RunCommandStatus("python3 '" DV_SOURCE_DIR "/tests/tools/mkraid.py' " + std::string(cut) +
                              " --members 4 '" + image + "' '" + p + cut[8] + "'")
          .rc;
    }));
  for (auto& c : cuts) ASSERT_EQ(c.get(), 0);
  enum Expect { kRight, kWarns, kFails };
  const char* const kStructure = "log pages are not what the volume wrote there";
  struct Case {
    int level;
    const char* settings;  // --raid given to dvscan
    std::vector<int> order;
    Expect expect;
    const char* warning = "may be wrong";
  } cases[] = {
      {5, "64:1:2", {0, 1, 2, 3}, kRight},
      {5, "", {0, 1, 2, 3}, kWarns, "files in use are graded Poor"},
      {5, "64:1:2", {1, 0, 2, 3}, kWarns, kStructure},
      {5, "64:1:2", {0, 1, 3, 2}, kFails},
      {5, "64:1:1", {0, 1, 2, 3}, kWarns},
      {5, "64:1:0", {0, 1, 2, 3}, kWarns, kStructure},
      {5, "64:1:3", {0, 1, 2, 3}, kWarns},
      {5, "128:1:2", {0, 1, 2, 3}, kWarns, kStructure},
      {5, "32:1:2", {0, 1, 2, 3}, kWarns},
      {5, "64:2:2", {0, 1, 2, 3}, kFails},
      {6, "64:1:2:1:0", {0, 1, 2, 3}, kRight},
      {6, "64:1:2:1:0", {1, 0, 2, 3}, kWarns, "Parity does not match in"},
      {6, "64:1:1:1:0", {0, 1, 2, 3}, kWarns, kStructure},
      {6, "128:1:2:1:0", {0, 1, 2, 3}, kWarns, "Parity does not match in"},
      {6, "64:1:2:0:0", {0, 1, 2, 3}, kRight},
      {6, "64:1:2:1:1", {0, 1, 2, 3}, kWarns, "Parity does not match in"},
  };
  std::vector<std::future<Outcome>> runs;
  for (const Case& c : cases) {
    std::string def = "RAID" + std::to_string(c.level) + "(";
    for (size_t i = 0; i < c.order.size(); ++i)
      def += (i ? "," : "") + p + std::to_string(c.level) + std::to_string(c.order[i]);
    def += ")";
    runs.push_back(std::async(std::launch::async, [def, &c] { return Recover(def, c.settings); }));
  }
  std::map<int, std::multiset<std::string>> right;
  std::vector<Outcome> out;
  for (size_t i = 0; i < runs.size(); ++i) {
    out.push_back(runs[i].get());
    if (cases[i].expect == kRight && !right.count(cases[i].level)) right[cases[i].level] = out.back().md5s;
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const Case& c = cases[i];
    const Outcome& o = out[i];
    SCOPED_TRACE(std::to_string(c.level) + " " + c.settings + " case " + std::to_string(i));
    const bool warned = o.err.find(c.warning) != std::string::npos;
    const bool sameFiles = o.md5s == right[c.level];
    switch (c.expect) {
      case kRight:
        EXPECT_EQ(o.err.find("may be wrong"), std::string::npos) << o.err;
        EXPECT_EQ(o.rc, 0) << o.err;
        EXPECT_TRUE(sameFiles);
        EXPECT_GT(o.md5s.size(), 15u);
        break;
      case kWarns: EXPECT_TRUE(warned) << o.err; break;
      case kFails:  // items that cannot be saved: exit 1
        EXPECT_FALSE(sameFiles);
        EXPECT_NE(o.rc, 0) << o.err;
        break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Md, MdSetTest, testing::ValuesIn(kCases), [](const testing::TestParamInfo<MdCase>& i) {
  std::string n = i.param.name;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
});

}  // namespace
