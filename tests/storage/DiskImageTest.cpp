// The disk-image copy on images made by real tools: the raw copy of a range
// equals what dd reads there, a hex listing equals one written by an
// independent script from dd's bytes, and a missing RAID 5 or 6 member
// rebuilt through the set equals the member file tests/tools/mkraid.py cut.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/DiskImage.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "storage/RaidSettings.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

std::string Md5Of(const std::string& shell) { return RunCommand(shell + " | md5sum").substr(0, 32); }

std::unique_ptr<Drive> Open(const std::string& name) {
  const WString w = FromUtf8(name);
  std::unique_ptr<Drive> d;
  try {
    d.reset(CreateDrive(w));
    d->InitDrive(w);
  } catch (const DvCodeError&) {
    ADD_FAILURE() << "cannot open " << name << ": " << ToUtf8(LastErrorText());
    return nullptr;
  }
  return d;
}

// Runs the copy of [first, last] into `out` (binary, or a listing).
int Copy(Drive& d, int64_t first, int64_t last, const std::string& out, bool binary, int regenerate = 0,
         const std::string& second = "") {
  DumpJob job;
  job.first = first;
  job.last = last;
  job.binary = binary;
  job.regenerate = regenerate;
  if (binary) {
    EXPECT_GE(theTrace().OpenSectorFile(out, 0, nullptr), 0) << ToUtf8(LastErrorText());
    if (!second.empty()) {
      EXPECT_GE(theTrace().OpenSectorFile(second, 1, nullptr), 0);
    }
  } else {
    job.text = std::fopen(out.c_str(), "a");
  }
  const int status = CopyDiskImageThread(d, job);
  EXPECT_EQ(job.error, status) << ToUtf8(LastErrorText());
  return status;
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace

TEST(DiskImageSizes, SpaceAndMemberNames) {
  struct Space {
    int64_t first, last;
    bool binary;
    uint32_t sector;
    int64_t mib;
  } spaces[] = {
      {0, 0, true, 512, 1},          {0, 2047, false, 512, 5},  // 4,943,872 bytes
      {0, 2047, true, 512, 1},       {0, 2048, true, 512, 2},       {5, 4, true, 512, 0},
      {-1, 4, true, 512, 0},         {0, 0, false, 4096, 1},        {0, 99, false, 4096, 2},
      {0, INT64_MAX - 1, true, 4096, INT64_MAX / 256 + 1},
  };
  for (const Space& s : spaces)
    EXPECT_EQ(DiskImageSpaceMiB(s.first, s.last, s.binary, s.sector), s.mib) << s.first << " " << s.last;
  EXPECT_EQ(ToUtf8(RebuildMemberPath(u"/out/raid6gen.dsk", 0)), "/out/raid6_01.dsk");
  EXPECT_EQ(ToUtf8(RebuildMemberPath(u"/out/raid6gen.dsk", 1)), "/out/raid6_02.dsk");
  EXPECT_TRUE(RebuildMemberPath(u"a.dsk", 0).empty());
  EXPECT_EQ(RebuildKindOfName(u"/x/raid6gen.dsk"), 2);
  EXPECT_EQ(RebuildKindOfName(u"/x/raid5gen.dsk"), 1);
  EXPECT_EQ(RebuildKindOfName(u"/x/RAID5gen.dsk"), 0);
  EXPECT_EQ(RebuildKindOfName(u"/x/raid5gen.dsk.bak"), 0);
}

class DiskImageCopy : public testing::Test {
 protected:
  TempFolder temp_{"diskimage"};
  GlobalObjectsScope scope_;
  std::string dir = temp_.Path();
};

TEST_F(DiskImageCopy, RawRangeEqualsDd) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  auto d = Open(image);
  ASSERT_TRUE(d);
  // A range crossing several transfer pieces, starting off any boundary,
  // and the drive's last sector alone.
  const int64_t last = int64_t(d->SectorCount()) - 1;
  struct Range {
    int64_t first, last;
  } ranges[] = {{0, 0}, {37, 37 + 3 * 2048 + 100}, {last, last}};
  for (const Range& r : ranges) {
    const std::string out = dir + "/dump_" + std::to_string(r.first) + ".dsk";
    ASSERT_EQ(Copy(*d, r.first, r.last, out, true), 0);
    EXPECT_EQ(FileSize(out), uint64_t(r.last - r.first + 1) * 512);
    EXPECT_EQ(Md5Of("cat '" + out + "'"), Md5Of("dd if='" + image + "' bs=512 skip=" + std::to_string(r.first) +
                                                " count=" + std::to_string(r.last - r.first + 1) + " status=none"));
  }
  // Appended at the file's end without a start sector; written at a start
  // sector with one.
  const std::string out = dir + "/twice.dsk";
  ASSERT_EQ(Copy(*d, 0, 7, out, true), 0);
  ASSERT_EQ(Copy(*d, 8, 15, out, true), 0);
  EXPECT_EQ(Md5Of("cat '" + out + "'"), Md5Of("dd if='" + image + "' bs=512 count=16 status=none"));
  int64_t at = 4;
  ASSERT_GE(theTrace().OpenSectorFile(out, 0, &at), 0);
  DumpJob job;
  job.first = 100;
  job.last = 101;
  ASSERT_EQ(CopyDiskImageThread(*d, job), 0);
  EXPECT_EQ(FileSize(out), 16u * 512);
  EXPECT_EQ(Md5Of("dd if='" + out + "' bs=512 skip=4 count=2 status=none"),
            Md5Of("dd if='" + image + "' bs=512 skip=100 count=2 status=none"));
}

TEST_F(DiskImageCopy, ListingOfASmallRange) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  auto d = Open(image);
  ASSERT_TRUE(d);
  const std::string out = dir + "/dump.txt";
  ASSERT_EQ(Copy(*d, 0, 2, out, false), 0);
  // The same listing written by a script from dd's bytes.
  const std::string expected = dir + "/expected.txt";
  const std::string script = "dd if='" + image + "' bs=512 count=3 status=none | python3 -c '\n"
                             "import sys\n"
                             "b = sys.stdin.buffer.read()\n"
                             "o = []\n"
                             "for s in range(len(b) // 512):\n"
                             "    o.append(\"\\nSector %d\\n\\n\" % s)\n"
                             "    for l in range(0, 512, 16):\n"
                             "        row = b[s * 512 + l:s * 512 + l + 16]\n"
                             "        o.append(\"%04x \" % l + \"\".join(\"%02x \" % c for c in row) + \"    \" +\n"
                             "                 \"\".join(chr(c) if 32 <= c < 127 else \".\" for c in row) + \"\\n\")\n"
                             "sys.stdout.write(\"\".join(o))\n' > '" +
                             expected + "'";
  ASSERT_EQ(std::system(script.c_str()), 0);
  EXPECT_EQ(RunCommand("cmp '" + out + "' '" + expected + "' && echo same"), "same\n");
  EXPECT_EQ(FileSize(out), FileSize(expected));
  // The space estimate covers it.
  EXPECT_LE(FileSize(out), 3 * ListingBytesPerSector(512));
}

TEST_F(DiskImageCopy, CancelKeepsWhatWasWritten) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  auto d = Open(image);
  ASSERT_TRUE(d);
  const std::string out = dir + "/cancel.dsk";
  ASSERT_GE(theTrace().OpenSectorFile(out, 0, nullptr), 0);
  std::atomic<int> cancel{0};
  DumpJob job;
  job.first = 0;
  job.last = int64_t(d->SectorCount()) - 1;
  job.cancel = &cancel;
  uint64_t reported = 0;
  job.progress = [&](uint64_t total) {
    reported = total;
    cancel = 1;  // after the first piece
  };
  EXPECT_EQ(CopyDiskImageThread(*d, job), 0);
  EXPECT_EQ(job.error, 0);
  ASSERT_GT(reported, 0u);
  EXPECT_EQ(FileSize(out), reported);
  EXPECT_LT(reported, d->SectorCount() * 512);
  EXPECT_EQ(Md5Of("cat '" + out + "'"),
            Md5Of("head -c " + std::to_string(reported) + " '" + image + "'"));
}

namespace {

struct RaidCase {
  const char* name;
  int level, members, stripe, delay, rotation, mode, order;
  std::vector<int> missing;
};

std::string SettingsText(const RaidCase& c) {
  return std::to_string(c.stripe / 1024) + ":" + std::to_string(c.delay) + ":" + std::to_string(c.rotation) + ":" +
         std::to_string(c.mode) + ":" + std::to_string(c.order);
}

}  // namespace

// Each missing member rebuilt through the set equals the member file cut
// by mkraid.py; the range is cut to the member's length.
TEST_F(DiskImageCopy, RebuiltRaidMembersEqualTheRealOnes) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  const RaidCase cases[] = {
      {"r5_ba", 5, 4, 65536, 1, 1, 0, 0, {2}},          {"r5_fs", 5, 3, 65536, 1, 3, 0, 0, {0}},
      {"r5_bs16", 5, 4, 32768, 16, 2, 0, 0, {3}},       {"r6_ba", 6, 5, 65536, 1, 1, 0, 0, {1}},
      {"r6_bs_two", 6, 5, 65536, 1, 2, 0, 0, {0, 3}},   {"r6_ba2_exp", 6, 5, 65536, 2, 4, 1, 1, {4}},
      {"r6_bs2_skip", 6, 6, 32768, 1, 5, 1, 2, {2, 5}},
  };
  for (const RaidCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prefix = dir + "/" + c.name + "_m";
    std::ostringstream cmd;
    cmd << "python3 '" DV_SOURCE_DIR "/tests/tools/mkraid.py' --level " << c.level << " --members " << c.members
        << " --stripe " << c.stripe << " --delay " << c.delay << " --rotation " << c.rotation << " --mode " << c.mode
        << " --order " << c.order << " '" << image << "' '" << prefix << "'";
    ASSERT_EQ(std::system(cmd.str().c_str()), 0);
    const uint64_t memberBytes = FileSize(prefix + "0");
    std::string def = c.level == 5 ? "RAID5(" : "RAID6(";
    for (int i = 0; i < c.members; ++i) {
      if (i) def += ",";
      if (std::find(c.missing.begin(), c.missing.end(), i) != c.missing.end()) def += "Missing";
      else def += prefix + std::to_string(i) + "<0:" + std::to_string(memberBytes / 512 - 1) + ">";
    }
    def += ")";
    RaidSettings s;
    ASSERT_TRUE(ParseRaidSettingsText(FromUtf8(SettingsText(c)), &s));
    SetRaidSettings(FromUtf8(def), s);
    auto d = Open(def);
    ASSERT_TRUE(d);
    auto* set = dynamic_cast<RDrive*>(d.get());
    ASSERT_TRUE(set);
    const int64_t memberSectors = int64_t(d->SectorCount()) / set->DataMembers();
    ASSERT_EQ(uint64_t(memberSectors) * 512, memberBytes);
    const std::string out0 = dir + "/" + c.name + "_01.dsk", out1 = dir + "/" + c.name + "_02.dsk";
    const int kind = c.level == 6 ? 2 : 1;
    ASSERT_EQ(Copy(*d, 0, memberSectors - 1, out0, true, kind, c.missing.size() > 1 ? out1 : ""), 0);
    EXPECT_EQ(Md5Of("cat '" + out0 + "'"), Md5Of("cat '" + prefix + std::to_string(c.missing[0]) + "'"));
    if (c.missing.size() > 1) {
      EXPECT_EQ(Md5Of("cat '" + out1 + "'"), Md5Of("cat '" + prefix + std::to_string(c.missing[1]) + "'"));
    }
    // A range in the middle, off the stripes.
    const std::string part = dir + "/" + c.name + "_part.dsk";
    ASSERT_EQ(Copy(*d, 77, 77 + 300, part, true, kind, c.missing.size() > 1 ? part + "2" : ""), 0);
    EXPECT_EQ(Md5Of("cat '" + part + "'"), Md5Of("dd if='" + prefix + std::to_string(c.missing[0]) +
                                                 "' bs=512 skip=77 count=301 status=none"));
    EXPECT_EQ(d->TotalErrors(), 0u);
    d.reset();
    ClearRaidSettings();
  }
}

TEST_F(DiskImageCopy, RebuildNeedsAMissingMember) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
  auto d = Open(image);
  ASSERT_TRUE(d);
  const std::string out = dir + "/none.dsk";
  EXPECT_EQ(Copy(*d, 0, 10, out, true, 1), 1);
  EXPECT_NE(ToUtf8(LastErrorText()).find("missing"), std::string::npos) << ToUtf8(LastErrorText());
  EXPECT_EQ(FileSize(out), 0u);
}
