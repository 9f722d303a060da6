// Sessions of exFAT and ext scans: a scan saved by dvscan and loaded by a
// new process lists and recovers the same files with the same bytes, and
// the loaded volume has the geometry its boot sector or superblock gives.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Session.h"
#include "engine/SessionService.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/fat/FatCache.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "tests/engine/SessionRead.h"
#include "tests/support/ExFatFixture.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"

namespace {

const bool kMessages = (InitMessageTable(), true);

std::string Dv(const std::string& args, int* rc) {
  const CommandRun run = RunCommandStatus(std::string("'") + DV_BINARY_DIR + "/bin/dvscan' " + args + " 2>&1");
  *rc = run.rc;
  return run.out;
}

std::string TreeMd5s(const std::string& dir) {
  return RunCommand("cd '" + dir + "' && find . -type f ! -name Recovery.log -print0 | sort -z | xargs -0 -r md5sum");
}

// The summary's counts without the times.
std::string Counts(const std::string& out) {
  const size_t at = out.rfind("items=");
  if (at == std::string::npos) return "";
  std::istringstream words(out.substr(at, out.find('\n', at) - at));
  std::string kept;
  for (std::string w; words >> w;)
    if (w.find("seconds") == std::string::npos) kept += w + " ";
  return kept;
}

std::unique_ptr<SLSession> Load(const std::string& path) {
  std::unique_ptr<SLSession> s;
  const std::string error = ReadSessionFile(path, &s);
  EXPECT_EQ(error, "");
  return s;
}

// Scans and recovers the image saving the session, then loads it in a new
// process and recovers again: same list, same bytes. The session's path.
std::string RoundTrip(const std::string& image, const TempFolder& temp, size_t minFiles) {
  const std::string t = temp.Path();
  int rc1 = -1, rc2 = -1;
  const std::string out1 =
      Dv("--save-session '" + t + "/s.dvs' --list '" + t + "/a.tsv' --recover '" + t + "/scan' '" + image + "'", &rc1);
  const std::string out2 =
      Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv' --recover '" + t + "/load'", &rc2);
  EXPECT_EQ(rc1, rc2) << out1 << out2;
  EXPECT_EQ(out2.find("Invalid file"), std::string::npos) << out2;
  EXPECT_EQ(Counts(out1), Counts(out2));
  const std::string a = ReadFileText(t + "/a.tsv");
  EXPECT_EQ(a, ReadFileText(t + "/b.tsv"));
  const std::string md5s = TreeMd5s(t + "/load");
  size_t lines = 0;
  for (char c : md5s) lines += c == '\n';
  EXPECT_GE(lines, minFiles);
  EXPECT_EQ(TreeMd5s(t + "/scan"), md5s);
  return t + "/s.dvs";
}

std::string ExtFolder() {
  static const int status = RunFixtureScript("make_ext.sh", FixtureCache() + "/ext", ">/dev/null 2>&1");
  return status == 0 ? FixtureCache() + "/ext" : "";
}

}  // namespace

// ext4 with 1 KiB and 4 KiB blocks (extent trees), ext2 (block maps up to
// the triple-indirect level), ext4 without 64bit: the volume line keeps the
// group geometry, the node lines the time, flags and block list.
TEST(FamilySessionTest, ExtScansLoadWithTheirGeometryAndBytes) {
  const std::string folder = ExtFolder();
  if (folder.empty()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  for (const char* name : {"e4", "e4k", "e2", "e4old"}) {
    SCOPED_TRACE(name);
    const std::string image = folder + "/ext-" + name + ".img";
    const TempFolder temp(std::string("extsession_") + name);
    const std::string session = RoundTrip(image, temp, 2000);
    std::unique_ptr<SLSession> s = Load(session);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->volumes.size(), 1u);
    const auto* loaded = dynamic_cast<const CUnixVol*>(s->volumes[0]);
    ASSERT_NE(loaded, nullptr);
    // The superblock's own parse.
    const std::string sb = ReadFileText(image).substr(1024, 1024);
    CExt3Vol parsed;
    ASSERT_TRUE(InitUnixVol(&parsed, reinterpret_cast<const uint8_t*>(sb.data()), 0, 512));
    EXPECT_EQ(loaded->clusterSize, parsed.clusterSize);
    EXPECT_EQ(loaded->sizeSectors, parsed.sizeSectors);
    EXPECT_EQ(loaded->inodesPerGroup, parsed.inodesPerGroup);
    EXPECT_EQ(loaded->blocksPerGroup, parsed.blocksPerGroup);
    EXPECT_EQ(loaded->groupCount, parsed.groupCount);
    EXPECT_EQ(loaded->totalBlocks, parsed.totalBlocks);
    EXPECT_EQ(loaded->inodeCount, parsed.inodeCount);
    EXPECT_EQ(loaded->inodeSize, parsed.inodeSize);
    EXPECT_EQ(loaded->inodesPerBlock, parsed.inodesPerBlock);
    EXPECT_EQ(loaded->fragmentSize, parsed.fragmentSize);
    EXPECT_EQ(loaded->pointersPerBlock, parsed.pointersPerBlock);
    EXPECT_EQ(loaded->singleLimit, parsed.singleLimit);
    EXPECT_EQ(loaded->doubleLimit, parsed.doubleLimit);
    EXPECT_EQ(loaded->sectorsPerBlock, parsed.sectorsPerBlock);
    EXPECT_EQ(loaded->descTableBlock, parsed.descTableBlock);
    const auto* loaded3 = dynamic_cast<const CExt3Vol*>(loaded);
    ASSERT_NE(loaded3, nullptr);
    EXPECT_EQ(loaded3->firstMetaBg, parsed.firstMetaBg);
    EXPECT_EQ(loaded3->firstDataBlock, parsed.firstDataBlock);
    EXPECT_EQ(loaded3->sparseSuper, parsed.sparseSuper);
    // Every node is an ext node with its time; extent files keep their
    // tree's root, block-mapped ones their pointers.
    size_t nodes = 0, lists = 0;
    for (uint32_t i = 0; i < s->nodes->Count(); i++) {
      const cnode* n = s->nodes->GetAt(i);
      if (!n) continue;
      ++nodes;
      ASSERT_EQ(n->Family(), kNodeExt);
      const auto* u = static_cast<const UnixNode*>(n);
      if (u->listLength) ++lists;
      EXPECT_EQ(u->listLength % 4, 0);
    }
    EXPECT_GT(nodes, 2000u);
    EXPECT_GT(lists, 2000u);
  }
}

// ext4 with inline data: files whose bytes live in their inodes, of every
// length modulo 4, keep them through a session, and a recovery from the
// loaded session gives what icat gives of the same inode.
TEST(FamilySessionTest, ExtInlineFilesKeepTheirBytes) {
  const std::string folder = ExtFolder();
  if (folder.empty()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  const std::string image = folder + "/ext-inline.img";
  const TempFolder temp("extsession_inline");
  RoundTrip(image, temp, 2000);
  const std::string t = temp.Path();
  // Files of 2 ("0\n"), 3, 4 and 5 bytes, and the other small ones.
  const char* files[] = {"many/f0000", "many/f0010", "many/f0100", "many/f1000", "small.txt", "d/a/b/c/e/deep.txt"};
  std::istringstream fls(ReadFileText(folder + "/ext-inline.fls.txt"));
  std::map<std::string, std::string> inodes;
  for (std::string line; std::getline(fls, line);) {
    const size_t colon = line.find(":\t");
    const size_t space = line.rfind(' ', colon);
    if (line.rfind("r/r ", 0) != 0 || colon == std::string::npos || space == std::string::npos) continue;
    inodes[line.substr(colon + 2)] = line.substr(space + 1, colon - space - 1);
  }
  std::set<size_t> lengths;
  for (const char* f : files) {
    SCOPED_TRACE(f);
    ASSERT_TRUE(inodes.count(f));
    const std::string stat = RunCommand("debugfs -R 'stat <" + inodes[f] + ">' '" + image + "' 2>/dev/null");
    EXPECT_NE(stat.find("Size of inline data"), std::string::npos) << stat;
    const std::string recovered = RunCommand("find '" + t + "/load' -path '*/" + f + "' -type f | head -n 1");
    ASSERT_FALSE(recovered.empty());
    const std::string path = recovered.substr(0, recovered.size() - 1);
    EXPECT_EQ(Md5File(path), RunCommand("icat '" + image + "' " + inodes[f] + " | md5sum | cut -c1-32").substr(0, 32));
    lengths.insert(ReadFileText(path).size() % 4);
  }
  EXPECT_EQ(lengths.size(), 4u);
}

// Geometry values the volume cannot take end the load with the format
// error.
TEST(FamilySessionTest, ImplausibleExtGeometryIsRefused) {
  const std::string folder = ExtFolder();
  if (folder.empty()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  const TempFolder temp("extsession_damaged");
  const std::string t = temp.Path();
  int rc = -1;
  Dv("--save-session '" + t + "/s.dvs' '" + folder + "/ext-e4one.img'", &rc);
  const std::string text = ReadFileText(t + "/s.dvs");
  ASSERT_FALSE(text.empty());
  // The volume line: type 4 and the four geometry values at its end.
  const size_t line = text.find("\r\n4 ");
  ASSERT_NE(line, std::string::npos);
  const size_t end = text.find("\r\n", line + 2);
  std::istringstream words(text.substr(line + 2, end - line - 2));
  std::vector<std::string> w;
  for (std::string x; words >> x;) w.push_back(x);
  ASSERT_EQ(w.size(), 10u);
  // The line with other geometry values.
  auto with = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
    std::string out;
    for (size_t i = 0; i < 6; i++) out += w[i] + " ";
    return out + a + " " + b + " " + c + " " + d;
  };
  struct Case {
    const char* what;
    std::string line;
    bool loads;
  };
  const Case cases[] = {
      {"as saved", with(w[6], w[7], w[8], w[9]), true},
      {"no inodes per group", with("0", w[7], w[8], w[9]), false},
      {"fragment above the block", with(w[6], "131072", w[8], w[9]), false},
      {"inode size 100", with(w[6], w[7], w[8], "100"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string changed = text;
    changed.replace(line + 2, end - line - 2, c.line);
    WriteFileText(t + "/c.dvs", changed);
    const std::string error = ReadSessionFile(t + "/c.dvs");
    const bool loaded = error.empty();
    if (!loaded) {
      EXPECT_NE(error.find("Invalid file"), std::string::npos) << error;
    }
    EXPECT_EQ(loaded, c.loads);
  }
}

// exFAT (the committed image; the 32 MiB-cluster one where FUSE makes it):
// the volume line keeps the table and heap
// geometry, the node lines the stamps, flags and first cluster from which a
// file's chain is followed again.
TEST(FamilySessionTest, ExFatScansLoadWithTheirGeometryAndBytes) {
  for (const char* name : {"exfat", "exfat32m"}) {
    SCOPED_TRACE(name);
    // The 2 GiB image is made at test time through exfat-fuse.
    const bool made = std::string(name) == "exfat32m";
    const std::string folder = made ? FixtureFolder("make_exfat.sh") : CommittedExFatFolder();
    if (folder.empty()) {
      if (made) continue;
      GTEST_SKIP() << "xz missing";
    }
    const std::string image = folder + "/" + name + ".img";
    const TempFolder temp(std::string("exfatsession_") + name);
    const std::string session = RoundTrip(image, temp, 3);
    std::unique_ptr<SLSession> s = Load(session);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->volumes.size(), 1u);
    const auto* loaded = dynamic_cast<const CExFATVol*>(s->volumes[0]);
    ASSERT_NE(loaded, nullptr);
    const std::string boot = ReadFileText(image).substr(0, 512);
    CExFATVol parsed;
    ASSERT_EQ(InitExFATVol(&parsed, reinterpret_cast<const uint8_t*>(boot.data()), 0), 1);
    EXPECT_EQ(loaded->clusterSize, parsed.clusterSize);
    EXPECT_EQ(loaded->fatCount, parsed.fatCount);
    EXPECT_EQ(loaded->rootCluster, parsed.rootCluster);
    EXPECT_EQ(loaded->clusterCount, parsed.clusterCount);
    EXPECT_EQ(loaded->fatOffset, parsed.fatOffset);
    EXPECT_EQ(loaded->fatLength, parsed.fatLength);
    EXPECT_EQ(loaded->volumeLength, parsed.volumeLength);
    EXPECT_EQ(loaded->dataAreaSector, parsed.dataAreaSector);
    EXPECT_NE(loaded->fat, nullptr);
    size_t nodes = 0;
    for (uint32_t i = 0; i < s->nodes->Count(); i++) {
      const cnode* n = s->nodes->GetAt(i);
      if (!n) continue;
      ++nodes;
      ASSERT_EQ(n->Family(), kNodeExFat);
      EXPECT_NE(static_cast<const ExFatNode*>(n)->modifyTime, 0u);
    }
    EXPECT_GT(nodes, 2u);
  }
}
