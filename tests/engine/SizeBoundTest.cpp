// Sizes that say more than a file holds, seen from dvscan as a user runs it:
// a FAT entry, an exFAT stream (its set checksum made again), an ext4 inode
// (its checksum made again by debugfs) and ext2 inodes whose block maps end
// long before, that claim up to a TiB on volumes of a few MiB. The file ends
// where its map ends (and the volume), is counted corrupt and the log says
// why; holes are written as holes, so a sparse 1 TiB file and a file that
// is all hole cost the destination next to nothing. Images: tests/fixtures/make_size_bounds.sh, with The Sleuth Kit's
// sizes and icat's md5s of the clean volumes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

std::string Folder() {
  static const int status = RunFixtureScript("make_size_bounds.sh", FixtureCache() + "/size-bounds", ">/dev/null 2>&1");
  return status == 0 ? FixtureCache() + "/size-bounds" : "";
}

// A line of NAME.facts.txt.
struct Facts {
  uint64_t size = 0, cluster = 0, toEnd = 0;
  std::string md5;
};

std::map<std::string, Facts> ReadFacts(const std::string& path) {
  std::map<std::string, Facts> m;
  std::istringstream in(ReadFileText(path));
  std::string name, inode, toEnd;
  Facts f;
  while (in >> name >> inode >> f.size >> f.cluster >> toEnd >> f.md5) {
    f.toEnd = toEnd == "-" ? 0 : std::stoull(toEnd);
    m[name] = f;
  }
  return m;
}

struct Recovery {
  int rc = -1;
  std::string out, log, dest;
};

// One recovery of every file of the image into `folder`/out, on a tmpfs of
// 64 MiB mounted there: a recovery that writes what it should not fills it
// and ends, never the machine's disk. Empty `dest` when it cannot be
// mounted.
Recovery Recover(const std::string& image, const std::string& folder) {
  Recovery r;
  std::filesystem::create_directories(folder);
  if (std::system(("mount -t tmpfs -o size=64m tmpfs '" + folder + "'").c_str()) != 0) return r;
  r.dest = folder + "/out";
  const CommandRun run = RunCommandStatus("timeout 60 '" + std::string(DV_BINARY_DIR) + "/bin/dvscan' --recover '" +
                                          r.dest + "' '" + image + "' 2>&1");
  r.rc = run.rc;
  r.out = run.out;
  r.log = ReadFileText(r.dest + "/Recovery.log");
  return r;
}

long Count(const std::string& out, const std::string& key) {
  const size_t at = out.rfind(" " + key + "=");
  return at == std::string::npos ? -1 : std::stol(out.substr(at + key.size() + 2));
}

// The md5 of the first n bytes of a file.
std::string HeadMd5(const std::string& path, uint64_t n) {
  return RunCommand("head -c " + std::to_string(n) + " '" + path + "' | md5sum | cut -d' ' -f1").substr(0, 32);
}

}  // namespace

// Each row: a file of an image, whether its size passes what it holds, and
// the most its output may be: its allocation (the clean volume's size
// rounded up to clusters) or, where the map is made from the size or its
// chain is followed by the clusters behind it, the rest of the volume from
// its first sector; plus a cluster either way.
TEST(SizeBoundTest, SizesPastTheMapEndWhereTheDataEnds) {
  const std::string folder = Folder();
  if (folder.empty())
    GTEST_SKIP() << "needs root, FUSE, dosfstools, mtools, exfatprogs, exfat-fuse, e2fsprogs, "
                    "sleuthkit";
  enum Bound { kAllocation, kToEnd };
  struct Row {
    const char* image;
    const char* facts;
    const char* file;
    bool damaged;
    Bound bound;
  };
  const Row rows[] = {
      // The last file of the volume: nothing follows its chain.
      {"sb-fat12-size", "sb-fat12", "END.BIN", true, kAllocation},
      // The first: the clusters behind its chain are read, up to the
      // volume's end and never past it.
      {"sb-fat12-size", "sb-fat12", "MID.BIN", true, kToEnd},
      // No FAT chain: the map comes from the size, held to the volume.
      {"sb-exfat-size", "sb-exfat", "contig.bin", true, kToEnd},
      {"sb-exfat-size", "sb-exfat", "frag.bin", true, kToEnd},
      {"sb-ext4-size", "sb-ext4", "sized.bin", true, kAllocation},
      // Block maps: where the last pointer set leads, down the indirect
      // levels.
      {"sb-ext2-size", "sb-ext2", "sized.bin", true, kAllocation},
      {"sb-ext2-size", "sb-ext2", "big.bin", true, kAllocation},
      // The clean volumes give each file whole.
      {"sb-fat12", "sb-fat12", "END.BIN", false, kAllocation},
      {"sb-exfat", "sb-exfat", "frag.bin", false, kAllocation},
      {"sb-ext4", "sb-ext4", "sized.bin", false, kAllocation},
  };
  const TempFolder temp("sizebound");
  std::map<std::string, Recovery> runs;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.image) + " " + row.file);
    if (!runs.count(row.image))
      runs[row.image] = Recover(folder + "/" + row.image + ".img", temp.Path() + "/" + row.image);
    const Recovery& run = runs[row.image];
    ASSERT_FALSE(run.dest.empty()) << "no tmpfs";
    // Corrupt files leave the run incomplete (README.md's exit statuses).
    EXPECT_EQ(run.rc, row.damaged ? 1 : 0) << run.out;
    EXPECT_EQ(Count(run.out, "failed"), 0) << run.out;
    const Facts f = ReadFacts(folder + "/" + row.facts + ".facts.txt").at(row.file);
    const std::string path = RunCommand("find '" + run.dest + "' -name '" + row.file + "' -type f | head -n 1");
    ASSERT_FALSE(path.empty()) << run.out << run.log;
    const std::string file = path.substr(0, path.size() - 1);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const uint64_t allocation = (f.size + f.cluster - 1) / f.cluster * f.cluster;
    const uint64_t bound = (row.bound == kAllocation ? allocation : f.toEnd) + f.cluster;
    EXPECT_LE(uint64_t(st.st_size), bound);
    // The destination allocates in blocks of its own.
    const uint64_t block = st.st_blksize > 0 ? uint64_t(st.st_blksize) : 4096;
    EXPECT_LE(uint64_t(st.st_blocks) * 512, (bound + block - 1) / block * block);
    // The file's own bytes come first, as icat gives them from the clean
    // volume.
    EXPECT_EQ(HeadMd5(file, f.size), f.md5);
    if (row.damaged) {
      EXPECT_GE(uint64_t(st.st_size), f.size);
      EXPECT_NE(run.log.find("Corrupt: " + file), std::string::npos) << run.log;
      EXPECT_NE(run.log.find("is more than its map holds"), std::string::npos) << run.log;
    } else {
      EXPECT_EQ(uint64_t(st.st_size), f.size);
      EXPECT_NE(run.log.find("Saved: " + file), std::string::npos) << run.log;
    }
  }
  EXPECT_EQ(Count(runs["sb-fat12-size"].out, "corrupt"), 2) << runs["sb-fat12-size"].out;
  EXPECT_EQ(Count(runs["sb-exfat-size"].out, "corrupt"), 2) << runs["sb-exfat-size"].out;
  EXPECT_EQ(Count(runs["sb-ext4-size"].out, "corrupt"), 1) << runs["sb-ext4-size"].out;
  EXPECT_EQ(Count(runs["sb-ext2-size"].out, "corrupt"), 2) << runs["sb-ext2-size"].out;
}

// Holes are written as holes: a 1 TiB file with 4 bytes at each end, and a
// file that is nothing but a hole (truncate -s 100K), are saved whole, as
// icat reads them, in next to no space and time.
TEST(SizeBoundTest, HolesAreWrittenAsHoles) {
  const std::string folder = Folder();
  if (folder.empty()) GTEST_SKIP() << "needs root, FUSE, e2fsprogs, sleuthkit";
  const std::map<std::string, Facts> facts = ReadFacts(folder + "/sb-ext4.facts.txt");
  // A 1 TiB file must fit the 64 MiB destination.
  const TempFolder temp("sizehole");
  const Recovery run = Recover(folder + "/sb-ext4.img", temp.Path() + "/d");
  ASSERT_FALSE(run.dest.empty());
  EXPECT_EQ(run.rc, 0) << run.out;
  EXPECT_EQ(Count(run.out, "corrupt"), 0) << run.out;
  EXPECT_EQ(Count(run.out, "failed"), 0) << run.out;
  for (const char* name : {"sparse.bin", "hole.bin"}) {
    SCOPED_TRACE(name);
    const std::string path = RunCommand("find '" + run.dest + "' -name '" + name + "' -type f | head -n 1");
    ASSERT_FALSE(path.empty()) << run.out << run.log;
    const std::string file = path.substr(0, path.size() - 1);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const Facts& f = facts.at(name);
    EXPECT_EQ(uint64_t(st.st_size), f.size);
    // The data's blocks and what the destination keeps for its own use.
    EXPECT_LE(uint64_t(st.st_blocks) * 512, 64u << 10);
    EXPECT_NE(run.log.find("Saved: " + file), std::string::npos) << run.log;
    if (f.md5 != "-") {
      EXPECT_EQ(Md5File(file), f.md5);
    }
  }
  const std::string sparse = RunCommand("find '" + run.dest + "' -name sparse.bin -type f | head -n 1");
  const std::string file = sparse.substr(0, sparse.size() - 1);
  EXPECT_EQ(RunCommand("head -c 4 '" + file + "'"), "HEAD");
  EXPECT_EQ(RunCommand("tail -c 4 '" + file + "'"), "TAIL");
}

// A $BadClus renamed so that nothing knows it for a system file: a Long
// Scan finds it and saves its $Bad stream, as large as the volume and all
// hole, as a hole.
TEST(SizeBoundTest, ARenamedBadClusterFileIsSavedAsAHole) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder temp("sizebadclus");
  std::string bytes = ReadFileText(img);
  const std::string name = {'$', 0, 'B', 0, 'a', 0, 'd', 0, 'C', 0, 'l', 0, 'u', 0, 's', 0};
  int renamed = 0;
  for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 2), ++renamed) bytes[at] = 'Q';
  ASSERT_GT(renamed, 0);
  const std::string image = temp.Path() + "/renamed.img";
  std::ofstream(image, std::ios::binary) << bytes;
  const std::string dest = temp.Path() + "/out";
  const CommandRun run = RunCommandStatus("timeout 60 '" + std::string(DV_BINARY_DIR) +
                                          "/bin/dvscan' --long --recover '" + dest + "' '" + image + "' 2>&1");
  EXPECT_EQ(run.rc, 0) << run.out;
  const std::string path = RunCommand("find '" + dest + "' -name 'QBadClus:$Bad' -type f | head -n 1");
  ASSERT_FALSE(path.empty()) << run.out;
  struct stat st {};
  ASSERT_EQ(::stat(path.substr(0, path.size() - 1).c_str(), &st), 0);
  EXPECT_GT(uint64_t(st.st_size), uint64_t(bytes.size()) / 2);
  EXPECT_LE(uint64_t(st.st_blocks) * 512, 64u << 10);
}
