#include "diagnostics/Macro.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/RaidMembers.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

using raid_test::FileSize;

namespace {

struct Prompts {
  ScriptedPrompt prompt;
  Prompts() { SetPromptService(&prompt); }
  ~Prompts() { SetPromptService(nullptr); }
};

std::string FileMd5(const std::string& path) { return RunCommand("md5sum '" + path + "' | cut -c1-32 | tr -d '\\n'"); }

}  // namespace

// The command text, as a table; nothing is written but where a block was
// asked for.
TEST(Macro, CommandText) {
  const GlobalObjectsScope scope;
  const TempFolder temp("macro");
  const std::string image = temp.Path() + "/disk.img";
  ASSERT_EQ(RunCommandStatus("truncate -s 8M '" + image + "'").rc, 0);
  std::unique_ptr<Drive> drive = raid_test::OpenSet(image);
  ASSERT_TRUE(drive);
  const std::string out = temp.Path() + "/out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  struct Case {
    std::string text;
    int result;
    const char16_t* message;
    bool file;
  } cases[] = {
      {"dumpzdva 0 0 512 512 " + out, CMacro::kFailed, u"Wrong usage.", false},
      {"DumpZDVA 0 0 512 512", CMacro::kFailed, u"Missing parameters for DumpZDVA", false},
      {"DumpZDVA", CMacro::kFailed, u"Missing parameters for DumpZDVA", false},
      {"DumpZDVA 0 0 512 1024 " + out, CMacro::kFailed, u"Wrong usage.", false},      // physical above logical
      {"DumpZDVA 0 0 33554432 512 " + out, CMacro::kFailed, u"Wrong usage.", false},  // above 16 MiB
      {"DumpZDVA 0 0 500 500 " + out, CMacro::kFailed, u"Wrong usage.", false},       // not whole units
      {"DumpZDVA x 0 512 512 " + out, CMacro::kFailed, u"Wrong usage.", false},
      {"DumpZDVA 0 0 1024 1024 relative/folder", CMacro::kFailed, nullptr, false},
      {"DumpZDVA 0 0 1024 1024 " + out, CMacro::kSparse, u"Sparse block.  No output.", true},
      {"DumpZDVA 4096 512 512 512 " + out, CMacro::kRead, u"done", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RunCommand("rm -f '" + out + "'/*");
    Prompts p;
    CMacro m;
    EXPECT_EQ(m.RunCommand(FromUtf8(c.text), drive.get()), c.result);
    if (c.message) {
      EXPECT_EQ(m.message, c.message);
    }
    EXPECT_EQ(RunCommand("ls '" + out + "' | wc -l | tr -d '\\n'"), c.file ? "1" : "0");
  }
  // The sparse block: its logical size of zeros, named by sector and size.
  EXPECT_EQ(FileSize(out + "/dumpz_0_0.dsk"), 0u);
  Prompts p;
  CMacro m;
  EXPECT_EQ(m.RunCommand(FromUtf8("DumpZDVA 0 0 1024 1024 " + out), drive.get()), CMacro::kSparse);
  EXPECT_EQ(FileSize(out + "/dumpz_0_0.dsk"), 1024u);
}

// The blocks of a real RAID-Z1 pool (zfs-fuse, tests/fixtures/raidz):
// each, dumped through the set, has the md5 its table gives.
TEST(Macro, DumpsRaidzBlocks) {
  const GlobalObjectsScope scope;
  if (!HaveTool("xz")) GTEST_SKIP() << "xz missing";
  const std::string src = std::string(DV_SOURCE_DIR) + "/tests/fixtures/raidz/";
  const std::string cache = FixtureCache() + "/raidz";
  RunCommand("mkdir -p '" + cache + "'");
  std::string def = "RAIDZ1(";
  for (int i = 0; i < 4; ++i) {
    const std::string f = "raidz1.f" + std::to_string(i), dst = cache + "/" + f;
    if (FileSize(dst) != 96ull << 20) {
      const std::string cmd = "flock '" + cache + "/.lock' sh -c \"xz -dc '" + src + f + ".xz' | dd of='" + dst +
                              ".tmp' bs=64K conv=sparse status=none && mv '" + dst + ".tmp' '" + dst + "'\"";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    def += (i ? "," : "") + dst + "<0:196607>";
  }
  std::unique_ptr<Drive> set = raid_test::OpenSet(def + ")");
  ASSERT_TRUE(set);
  const TempFolder temp("macro");
  std::istringstream in(ReadFileText(src + "raidz1.blocks.txt"));
  std::string obj, md5;
  uint64_t logical, offset, size;
  int blocks = 0;
  while (in >> obj >> logical >> offset >> size >> md5) {
    SCOPED_TRACE(offset);
    Prompts p;
    CMacro m;
    const std::string cmd =
        FormatA("DumpZDVA %llu %llu %llu %llu %s", (unsigned long long)offset, (unsigned long long)size,
                (unsigned long long)size, (unsigned long long)size, temp.Path().c_str());
    ASSERT_EQ(m.RunCommand(FromUtf8(cmd), set.get()), CMacro::kRead) << ToUtf8(m.message);
    const std::string file = FormatA("%s/dumpz_%llu_%llu.dsk", temp.Path().c_str(), (unsigned long long)(offset / 512),
                                     (unsigned long long)(size / 512));
    EXPECT_EQ(FileMd5(file), md5);
    ++blocks;
  }
  EXPECT_GT(blocks, 5);
}
