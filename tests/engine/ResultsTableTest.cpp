// Every result true on the newer roads, as a new user meets them with
// dvscan: sources made by the real tools (tests/fixtures/
// make_results_sources.sh) listed and recovered, their messages and exit
// statuses; deliberate skips, two volumes of one disk, a relative
// destination, spanned sets, a stop in the middle of a write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "DvscanRun.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

// The folder of make_results_sources.sh; empty when it cannot be made.
std::string Sources() {
  static std::string folder = [] {
    const std::string cache = FixtureCache();
    if (RunFixtureScript("make_results_sources.sh", cache, ">/dev/null 2>&1") != 0) return std::string();
    return cache + "/results";
  }();
  return folder;
}

#define SOURCES_OR_SKIP(var)         \
  const std::string var = Sources(); \
  if (var.empty()) GTEST_SKIP() << "make_results_sources.sh: qemu-utils, xfsprogs or xz missing"

// The files the peer's icat reads from basic.img, by path: what every
// source made from it must give back.
std::map<std::string, std::string> PeerMd5s() {
  std::map<std::string, std::string> out;
  std::istringstream md5s(ntfs_fixture::Report("basic", "icat-md5"));
  for (std::string line; std::getline(md5s, line);) {
    const size_t a = line.find("  "), b = line.find(' ', a + 2);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string path = line.substr(b + 1);
    if (path[0] == '$' || path.find("$RECYCLE.BIN") != std::string::npos) continue;
    out[path] = line.substr(0, a);
  }
  return out;
}

// The list without its header, cut to path, size and deleted.
std::string ListOf(const DvscanRun& r) {
  std::string out;
  for (const Listed& l : r.items) out += l.path + "\t" + std::to_string(l.size) + (l.deleted ? "\t1\n" : "\t0\n");
  return out;
}

int Count(const std::string& out, const std::string& key) {
  const size_t at = out.find(" " + key + "=");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + key.size() + 2);
}

struct ResultsTable : testing::Test {
  const TempFolder temp{"results"};
  std::string Out(const std::string& name) const { return temp.Path() + "/" + name; }
};

TEST_F(ResultsTable, SourcesAreReadAsWhatTheyAreAndSayWhatIsWrong) {
  SOURCES_OR_SKIP(dir);
  const std::map<std::string, std::string> peer = PeerMd5s();
  ASSERT_GT(peer.size(), 5u);
  const DvscanRun raw = Dvscan("'" + dir + "/basic.img'");
  ASSERT_EQ(raw.rc, 0) << raw.err;
  const std::string d = dir + "/";
  struct Case {
    std::string source;
    int rc;
    std::string message;  // in the error output; empty: none expected
    bool listed;          // the raw image's list, and its files whole
    bool corrupt;         // files over the missing half come out Corrupt
  } cases[] = {
      // A VHD is a VHD whatever its name.
      {d + "dyn.vpc", 0, "", true, false},
      {d + "dyn.img", 0, "", true, false},
      {d + "dyn.vhd", 0, "", true, false},
      {d + "x.vhdx", 0, "", true, false},
      // Cut short: the missing blocks are unreadable, their files Corrupt.
      {d + "half.vhd", 1, d + "half.vhd is cut short: it ends at byte", false, true},
      {d + "half.vhdx", 1, d + "half.vhdx is cut short: it ends at byte", false, true},
      {d + "bigblock.vhd", 3, "Invalid VHD header: a block size of 2147483648 bytes", false, false},
      // A child needs its parent, and a chain its order.
      {d + "c.vhd", 3, d + "c.vhd is a differencing image: its parent \"p.vhd\" or \".\\p.vhd\" is needed", false,
       false},
      {"VHD(" + d + "p.vhd|" + d + "c.vhd)", 0, "", true, false},
      {"VHD(" + d + "c.vhd|" + d + "p.vhd)", 3, "Oldest first, they are VHD(" + d + "p.vhd|" + d + "c.vhd)", false,
       false},
      {d + "c.vmdk", 3, d + "c.vmdk is a differencing image: its parent \"base.vmdk\" is needed", false, false},
      {"VMDK(" + d + "base.vmdk|" + d + "c.vmdk)", 0, "", true, false},
      {"VMDK(" + d + "c.vmdk|" + d + "base.vmdk)", 3, "Oldest first, they are VMDK(" + d + "base.vmdk|" + d + "c.vmdk)",
       false, false},
      {d + "desc.vmdk", 3,
       d + "desc.vmdk is a VMDK text descriptor naming the extent file " + d + "desc-flat.vmdk, which is missing",
       false, false},
      // What this version does not read is named, with no Long Scan advice.
      {d + "basic.qcow2", 2, d + "basic.qcow2 is a QEMU qcow2 disk image, which this version does not read", false,
       false},
      {d + "xfs.img", 2, d + "xfs.img holds an XFS volume, which this version does not read.", false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string out = Out("r" + std::to_string(n++));
    const DvscanRun r = Dvscan("--recover '" + out + "' '" + c.source + "'");
    EXPECT_EQ(r.rc, c.rc) << r.err << r.out;
    if (!c.message.empty()) {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(r.err.find("Please use the Long Scan"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Internal error"), std::string::npos) << r.err;
    if (c.listed) {
      EXPECT_EQ(ListOf(r), ListOf(raw));
      EXPECT_EQ(Count(r.out, "failed"), 0) << r.out;
      EXPECT_EQ(Count(r.out, "corrupt"), 0) << r.out;
    }
    if (c.listed || c.corrupt) {
      // Each file is what the peer reads, or logged Corrupt; never "Saved"
      // with other bytes.
      const std::string log = ReadFileText(out + "/Recovery.log");
      int whole = 0, corrupt = 0;
      for (const auto& [path, md5] : peer) {
        const std::string f = out + "/" + path;
        struct stat st;
        if (stat(f.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        if (Md5File(f) == md5) {
          whole++;
        } else {
          corrupt++;
          EXPECT_NE(log.find("Corrupt: " + f), std::string::npos) << path << " differs from the peer's, not Corrupt";
        }
      }
      EXPECT_GT(whole, 3);
      EXPECT_EQ(corrupt > 0, c.corrupt);
      EXPECT_EQ(Count(r.out, "corrupt") > 0, c.corrupt) << r.out;
    }
  }
}

// Deliberate skips are skips: the NTFS system files a Long Scan lists and
// an ext link; the run is complete.
TEST_F(ResultsTable, SkipsAreNoFailures) {
  const std::string basic = ntfs_fixture::Image("basic");
  if (basic.empty() || !HaveTool("mke2fs")) GTEST_SKIP() << "xz or mke2fs missing";
  const DvscanRun ntfs = Dvscan("--long --recover '" + Out("ntfs") + "' '" + basic + "'");
  EXPECT_EQ(ntfs.rc, 0) << ntfs.err << ntfs.out;
  EXPECT_EQ(Count(ntfs.out, "skipped"), 8) << ntfs.out;
  EXPECT_EQ(Count(ntfs.out, "failed"), 0) << ntfs.out;
  const std::string log = ReadFileText(Out("ntfs") + "/Recovery.log");
  EXPECT_NE(log.find("Skipped: " + Out("ntfs") + "/$MFT\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Cannot save a system file."), std::string::npos) << log;

  const std::string tree = Out("tree"), image = Out("link.img");
  ASSERT_EQ(RunCommandStatus("mkdir -p '" + tree + "' && echo data > '" + tree + "/a.txt' && ln -s /some/where '" +
                             tree + "/link' && mke2fs -q -F -t ext4 -d '" + tree + "' '" + image + "' 8M 2>/dev/null")
                .rc,
            0);
  const DvscanRun ext = Dvscan("--recover '" + Out("ext") + "' '" + image + "'");
  EXPECT_EQ(ext.rc, 0) << ext.err << ext.out;
  EXPECT_EQ(Count(ext.out, "skipped"), 1) << ext.out;
  EXPECT_EQ(Count(ext.out, "failed"), 0) << ext.out;
  bool linkListed = false;
  for (const Listed& l : ext.items)
    if (l.path == "link") linkListed = l.kind == "link";
  EXPECT_TRUE(linkListed) << "the link is listed as a link";
  EXPECT_NE(ReadFileText(Out("ext") + "/Recovery.log").find("Skip symbolic link: " + Out("ext") + "/link"),
            std::string::npos);
}

// Two FAT32 volumes of one MBR disk, each with same.txt: the list tells
// them apart by volume, the log names the file actually written, and a
// second save finds both already there.
TEST_F(ResultsTable, TwoVolumesFilesOfOneName) {
  if (!HaveTool("sfdisk") || !HaveTool("mkfs.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "fdisk, dosfstools, mtools";
  const std::string img = Out("two.img");
  const std::string make = "cd '" + temp.Path() +
                           "' && truncate -s 80M two.img && printf 'label: dos\\n2048,70000,c\\n73728,,c\\n' | "
                           "sfdisk -q two.img && mkfs.fat -F32 --offset 2048 two.img 35000 >/dev/null && "
                           "mkfs.fat -F32 --offset 73728 two.img 40000 >/dev/null && echo one > same.txt && "
                           "mcopy -i two.img@@1048576 same.txt ::same.txt && echo two > same.txt && "
                           "mcopy -i two.img@@37748736 same.txt ::same.txt";
  ASSERT_EQ(RunCommandStatus(make + " 2>&1").rc, 0);
  const std::string dest = Out("two");
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::vector<std::string> volumes;
  for (const Listed& l : r.items)
    if (l.path == "same.txt") volumes.push_back(l.volume);
  EXPECT_EQ(volumes, (std::vector<std::string>{"0", "1"}));
  const std::string log = ReadFileText(dest + "/Recovery.log");
  EXPECT_NE(log.find("Saved: " + dest + "/same.txt\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Saved: " + dest + "/same[1].txt\n"), std::string::npos) << log;
  EXPECT_EQ(ReadFileText(dest + "/same.txt") + ReadFileText(dest + "/same[1].txt"), "one\ntwo\n");
  // Saved again by new names: both are there already, a skip each.
  const DvscanRun again = Dvscan("--overwrite rename --recover '" + dest + "' '" + img + "'");
  EXPECT_EQ(again.rc, 0) << again.err;
  EXPECT_EQ(Count(again.out, "skipped"), 2) << again.out;
  EXPECT_EQ(Count(again.out, "identical"), 2) << again.out;
  EXPECT_EQ(Count(again.out, "failed"), 0) << again.out;
  struct stat st;
  EXPECT_NE(stat((dest + "/same[2].txt").c_str(), &st), 0) << "no third copy";
}

// A relative destination lies below the working folder; spanned sets of
// members without ranges; a stop in the middle of a file's write.
TEST_F(ResultsTable, RelativeDestinationAndSpannedMembers) {
  const std::string basic = ntfs_fixture::Image("basic");
  if (basic.empty()) GTEST_SKIP() << "xz missing";
  const CommandRun rel =
      RunCommandStatus("cd '" + temp.Path() + "' && '" DV_BINARY_DIR "/bin/dvscan' --recover out '" + basic + "' 2>&1");
  EXPECT_EQ(rel.rc, 0) << rel.out;
  struct stat st;
  EXPECT_EQ(stat(Out("out/Recovery.log").c_str(), &st), 0) << rel.out;

  // Halves of whole sectors, spanned with and without their ranges.
  const std::string a = Out("a.part"), b = Out("b.part");
  ASSERT_EQ(RunCommandStatus("head -c 31457280 '" + basic + "' > '" + a + "' && tail -c +31457281 '" + basic + "' > '" +
                             b + "'")
                .rc,
            0);
  const DvscanRun raw = Dvscan("'" + basic + "'");
  for (const std::string& def : {"SPAN(" + a + "," + b + ")", "SPAN(" + a + "<0:61439>," + b + ")"}) {
    const DvscanRun span = Dvscan("'" + def + "'");
    EXPECT_EQ(span.rc, 0) << def << span.err;
    EXPECT_EQ(ListOf(span), ListOf(raw)) << def;
  }
  struct Bad {
    std::string def, message;
  } bad[] = {
      {"SPAN(" + a + "," + b, "its closing \")\" is missing (at character " + std::to_string(a.size() + b.size() + 7)},
      {"SPAN(" + a + "<5:4>)", "the range of member 1 ends before it begins (at character 6)"},
      {"SPAN(" + a + "<5:x>)", "member 1 (\"" + a + "<5:x>\") is not a path with an optional range"},
      {"SPAN(" + a + ",Missing)", "member 2 is \"Missing\" (at character " + std::to_string(a.size() + 7) + ")"},
  };
  for (const Bad& c : bad) {
    const DvscanRun r = Dvscan("'" + c.def + "'");
    EXPECT_EQ(r.rc, 3) << c.def;
    EXPECT_NE(r.err.find("The spanned set " + c.def + " cannot be read: " + c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Internal error"), std::string::npos) << r.err;
  }
}

TEST_F(ResultsTable, StopDuringALargeWriteRemovesThePartialFile) {
  if (!HaveTool("mke2fs")) GTEST_SKIP() << "mke2fs missing";
  const std::string tree = Out("tree"), image = Out("big.img"), dest = Out("dest");
  // 384 MiB of data that is no hole: the copy takes a while.
  ASSERT_EQ(RunCommandStatus("mkdir -p '" + tree + "' && yes 0123456789abcdef | head -c 402653184 > '" + tree +
                             "/big.bin' && mke2fs -q -F -t ext4 -d '" + tree + "' '" + image +
                             "' 480M 2>/dev/null && "
                             "rm -f '" +
                             tree + "/big.bin'")
                .rc,
            0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string bin = DV_BINARY_DIR "/bin/dvscan";
    freopen("/dev/null", "w", stdout);
    execl(bin.c_str(), bin.c_str(), "--recover", dest.c_str(), image.c_str(), (char*)nullptr);
    _exit(127);
  }
  // SIGINT once part of the file is written (a temporary file or the file
  // itself, whichever the recovery writes).
  bool sent = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int status = 0;
  while (std::chrono::steady_clock::now() < until) {
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    const std::string sizes = RunCommand("find '" + dest + "' -type f ! -name Recovery.log -size +4M 2>/dev/null");
    if (!sent && !sizes.empty()) {
      kill(pid, SIGINT);
      sent = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!sent) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    GTEST_SKIP() << "the copy ended before it could be stopped";
  }
  if (!WIFEXITED(status)) waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4) << "the documented status of a stopped run";
  EXPECT_EQ(RunCommand("find '" + dest + "' -type f ! -name Recovery.log"), "") << "the partial file is removed";
}

}  // namespace
