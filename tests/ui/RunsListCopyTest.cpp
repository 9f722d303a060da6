// The "D:" command: a runs list written from debugfs's extent report of a
// fragmented file (make_fragmented_ext.sh) copies to a file equal to
// debugfs's dump; names that would leave the destination folder are refused.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "ui/core/RunsListCopy.h"

TEST(RunsListCopy, CopiesTheListedRuns) {
  GlobalObjectsScope scope;
  const std::string folder = FixtureFolder("make_fragmented_ext.sh");
  if (folder.empty() || !HaveTool("debugfs")) GTEST_SKIP() << "e2fsprogs missing";
  const std::string image = folder + "/frag-ext4.img";
  const TempFolder temp("runslist");
  // The leaf extents of "big": level = depth, "logical - end physical - end length".
  std::ifstream ex(folder + "/frag-ext4.ex.txt");
  const std::regex leaf(R"(^\s*(\d+)/\s*(\d+)\s+\d+/\s*\d+\s+(\d+)\s*-\s*\d+\s+(\d+)\s*-\s*\d+\s+(\d+))");
  std::ostringstream runs;
  int count = 0;
  for (std::string line; std::getline(ex, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, leaf) || m[1] != m[2]) continue;
    runs << m[3] << "," << m[4] << "," << m[5] << ",0\r\n";
    ++count;
  }
  ASSERT_GT(count, 10);
  // The file as debugfs dumps it (icat refuses this extent tree).
  const std::string want = temp.Path() + "/want";
  RunCommand("debugfs -R 'dump big " + want + "' '" + image + "' 2>/dev/null");
  const uint64_t bytes = uint64_t(std::stoull(RunCommand("stat -c %s '" + want + "'")));
  ASSERT_GT(bytes, 0u);
  const std::string list = temp.Path() + "/runs.csv";
  std::ofstream(list) << "0,1024\r\n" << bytes << "," << count << "\r\n" << runs.str();

  Drive d;
  d.InitDrive(FromUtf8(image));
  const std::string out = temp.Path() + "/out";
  RunCommand("mkdir -p '" + out + "'");
  ASSERT_EQ(RunsListCopy::Run(d, FromUtf8(out), u"big.copy", FromUtf8(list)), 0) << ToUtf8(LastErrorText());
  EXPECT_EQ(RunCommand("cmp '" + want + "' '" + out + "/big.copy' && echo same"), "same\n");

  // Only one plain name inside the folder.
  for (const char16_t* bad : {u"", u".", u"..", u"../escape", u"a/b", u"/tmp/x", u"a\\b"}) {
    EXPECT_EQ(RunsListCopy::Run(d, FromUtf8(out), bad, FromUtf8(list)), -1) << ToUtf8(bad);
    EXPECT_FALSE(LastErrorText().empty());
  }
  EXPECT_EQ(RunCommand("ls -A '" + temp.Path() + "' | sort | tr '\\n' ' '"), "out runs.csv want ");
  EXPECT_EQ(RunCommand("ls -A '" + out + "'"), "big.copy\n");
  // A list naming clusters past the source's end is refused.
  const std::string far = temp.Path() + "/far.csv";
  std::ofstream(far) << "0,1024\r\n1024,1\r\n0,99999999,1,0\r\n";
  EXPECT_EQ(RunsListCopy::Run(d, FromUtf8(out), u"far", FromUtf8(far)), -1);
}
