// ext2, ext3 and ext4 images made by mke2fs -d and debugfs
// (tests/fixtures/make_ext.sh), scanned and recovered through the headless
// driver and compared with The Sleuth Kit and debugfs run on the same
// images.
//
// Normalisation of the comparison with `fls -r -p`: files, links and
// folders ("r/r", "l/l", "d/d") are compared; fls's "$OrphanFiles" is its
// own invention. fls paths become destination paths
// the way Save makes them (a "\" in a name becomes "_"). Symbolic links are
// listed and never recovered.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <vector>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "volumes/Extents.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"

namespace {

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string ExtImages(std::string* skip) {
  static int status = RunFixtureScript("make_ext.sh", FixtureCache() + "/ext", ">/dev/null 2>&1");
  if (status == 77) *skip = "e2fsprogs or sleuthkit missing";
  return status == 0 ? FixtureCache() + "/ext" : "";
}

#define EXT_IMAGES_OR_SKIP(var)                             \
  std::string skip_;                                        \
  const std::string var = ExtImages(&skip_);                \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_; \
  ASSERT_FALSE(var.empty()) << "make_ext.sh failed"

// An fls path ("a/b/name") as Save writes it below the destination.
std::string DestinationOf(const std::string& flsPath) {
  const size_t slash = flsPath.rfind('/');
  std::string folder = "\\";
  if (slash != std::string::npos) {
    folder += flsPath.substr(0, slash);
    for (char& c : folder)
      if (c == '/') c = '\\';
    folder += "\\";
  }
  const std::string name = slash == std::string::npos ? flsPath : flsPath.substr(slash + 1);
  WString out;
  if (!BuildDestinationPath(u"/r", FromUtf8(folder), FromUtf8(name), &out)) return "";
  return ToUtf8(out).substr(3);
}

// fls's files and links (or its folders): destination path -> deleted.
// With unreadInodes, also the files and links whose inodes fls could not
// read ("r/-", "l/-" with an inode number).
std::map<std::string, bool> FlsFiles(const std::string& text, bool folders = false, bool unreadInodes = false) {
  std::map<std::string, bool> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    auto is = [&](const char* kind) { return line.rfind(kind, 0) == 0; };
    const bool unread = unreadInodes && (is("r/- ") || is("l/- ")) && line.find(" 0:") == std::string::npos;
    if (folders ? !is("d/d") : !(is("r/r") || is("l/l") || unread)) continue;
    const std::string path = line.substr(tab + 1);
    if (path.rfind("$OrphanFiles", 0) == 0) continue;
    out[DestinationOf(path)] = line.compare(4, 2, "* ") == 0;
  }
  return out;
}

// "<md5>  <path>" lines.
std::map<std::string, std::string> SourceMd5s(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadFileText(folder + "/ext-src.md5.txt"));
  std::string line;
  while (std::getline(in, line)) out[DestinationOf(line.substr(34))] = line.substr(0, 32);
  return out;
}

struct Image {
  const char* name;
  // fls reads no group descriptor past the first meta group: the names of
  // files whose inodes lie there count as its files.
  bool unreadInodes = false;
  // debugfs zeroes the inode number of the record it unlinks from an
  // inline folder: no peer finds that deleted file.
  bool inlineFolders = false;
};

const Image kImages[] = {{"e4"},      {"e4k"},        {"e2"},      {"e3"},    {"e4old"},
                         {"e4small"}, {"e4one"},      {"metabg"},  {"metabig", true},
                         {"e4mid"},   {"inline", false, true}};

// Opens the image as *drive (for DeleteDrive), the ext volume that fills
// it, and the node of one of its inodes.
void OpenExtNode(const std::string& img, uint32_t inode, Drive** drive, CExt3Vol* v, UnixNode* node) {
  *drive = CreateDrive(FromUtf8(img));
  ASSERT_NE(*drive, nullptr);
  (*drive)->InitDrive(FromUtf8(img));
  v->drive = *drive;
  std::vector<uint8_t> sb(1024);
  ASSERT_TRUE(ReadSectorsWaited(**drive, 2, 1024, sb.data()));
  ASSERT_EQ(InitUnixVol(v, sb.data(), 0, 512), 1);
  UnixInodeCache cache;
  const uint8_t* raw = v->GetInode(inode, nullptr, cache);
  ASSERT_NE(raw, nullptr);
  ASSERT_TRUE(FromExtInode(node, ParseExtInode(raw), v));
  v->SetNodeClusterCode(node);
}

}  // namespace

TEST(ExtImages, ListAndRecoverAsThePeersDo) {
  EXT_IMAGES_OR_SKIP(folder);
  const auto sources = SourceMd5s(folder);
  ASSERT_GT(sources.size(), 2000u);
  // The runs wait on the driver's hand-overs more than they work: all at
  // once.
  std::vector<std::unique_ptr<TempFolder>> temps;
  std::vector<std::future<DvscanRun>> runs;
  for (const Image& image : kImages) {
    temps.push_back(std::make_unique<TempFolder>("ext-recover"));
    const std::string args = "--recover '" + temps.back()->Path() + "/out' '" + folder + "/ext-" + image.name + ".img'";
    runs.push_back(std::async(std::launch::async, [args] { return Dvscan(args); }));
  }
  for (size_t k = 0; k < std::size(kImages); ++k) {
    const Image& image = kImages[k];
    SCOPED_TRACE(image.name);
    const std::string dest = temps[k]->Path() + "/out";
    const DvscanRun r = runs[k].get();
    // The two symbolic links are listed and skipped, not failed.
    ASSERT_EQ(r.rc, 0) << r.err << r.out;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    std::smatch failed;
    ASSERT_TRUE(std::regex_search(r.out, failed, std::regex(R"(skipped=(\d+) failed=(\d+))"))) << r.out;
    EXPECT_EQ(failed[1], "2");
    EXPECT_EQ(failed[2], "0");
    std::map<std::string, bool> listed;
    for (const Listed& l : r.items) EXPECT_TRUE(listed.emplace(l.path, l.deleted).second) << "twice: " << l.path;
    const std::string flsText = ReadFileText(folder + "/ext-" + image.name + ".fls.txt");
    const auto fls = FlsFiles(flsText, false, image.unreadInodes);
    const auto flsFolders = FlsFiles(flsText, true);

    // Every file and folder fls names is listed as fls lists it (live or
    // deleted), and nothing else (inline folders included); a folder is made
    // only where a file lies inside.
    EXPECT_TRUE(flsFolders.count("emptydir") && flsFolders.count("lost+found") && flsFolders.count("d/gonedir") &&
                flsFolders.at("d/gonedir"));
    for (const auto& [path, deleted] : flsFolders) {
      auto it = listed.find(path);
      ASSERT_NE(it, listed.end()) << "folder not listed: " << path;
      EXPECT_EQ(it->second, deleted) << path;
      EXPECT_FALSE(std::filesystem::is_regular_file(dest + "/" + path)) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(dest + "/emptydir"));
    for (const auto& [path, deleted] : fls) {
      auto it = listed.find(path);
      ASSERT_NE(it, listed.end()) << "not listed: " << path;
      EXPECT_EQ(it->second, deleted) << path;
    }
    for (const auto& [path, deleted] : listed)
      EXPECT_TRUE(fls.count(path) || flsFolders.count(path)) << "not in fls: " << path;

    // Live files equal their sources, inline data included (links are not
    // written).
    size_t written = 0;
    for (const auto& [path, md5] : sources) {
      if (path.rfind("d/gone", 0) == 0) continue;
      const std::string file = dest + "/" + path;
      ASSERT_TRUE(FileExists(file)) << path;
      EXPECT_EQ(Md5File(file), md5) << path;
      ++written;
    }
    EXPECT_EQ(written, sources.size() - 3);

    // Deleted files equal what icat -r gives of their inodes.
    std::istringstream deleted(ReadFileText(folder + "/ext-" + image.name + ".deleted.txt"));
    std::string inode, md5, path;
    int gone = 0;
    while (deleted >> inode >> md5 >> path) {
      SCOPED_TRACE(path);
      if (image.inlineFolders && path == "d/gonedir/inside.txt") continue;
      EXPECT_TRUE(listed.count(path) && listed[path]);
      EXPECT_EQ(Md5File(dest + "/" + path), md5);
      ++gone;
    }
    EXPECT_EQ(gone, image.inlineFolders ? 2 : 3);

    // The recovered modification time is the inode's (debugfs stat).
    std::smatch m;
    const std::string stat = ReadFileText(folder + "/ext-" + image.name + ".stat.txt");
    ASSERT_TRUE(std::regex_search(stat, m, std::regex("mtime: 0x([0-9a-f]{8})")));
    EXPECT_EQ(RunCommand("stat -c %Y '" + dest + "/thirteen.bin'"), std::to_string(std::stoul(m[1], nullptr, 16)) + "\n");
  }
}

// Names a crafted source holds ("..", "../../escape", "a/b", control
// characters): every file is listed and recovered strictly inside the
// destination, nothing lands beside it.
TEST(ExtImages, HostileNamesStayInsideTheDestination) {
  DV_NEED_FIXTURE("make_hostile_names.sh", "names");
  const std::string folder = FixtureCache();
  size_t files = 0;
  {
    std::istringstream in(ReadFileText(folder + "/hostile-names.names.txt"));
    std::string dir, kind, hex;
    while (in >> dir >> kind >> hex) files += kind == "r";
  }
  ASSERT_GT(files, 10u);
  // The folders are listed too (fls lists each of them).
  const size_t folders = FlsFiles(ReadFileText(folder + "/hostile-names.fls.txt"), true).size();
  EXPECT_EQ(folders, 4u);
  const TempFolder temp("ext-hostile");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + folder + "/hostile-names.img'");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.items.size(), files + folders);
  EXPECT_EQ(RunCommand("ls -A '" + temp.Path() + "'"), "out\n");
  // Every file written (the recovery log aside) is a regular file below it.
  EXPECT_EQ(RunCommand("find '" + dest + "' -type f ! -name Recovery.log | wc -l"), std::to_string(files) + "\n");
  EXPECT_EQ(RunCommand("find '" + dest + "' -type l | wc -l"), "0\n");
}

// A disk with two ext4 partitions: the volume table holds the two that
// mmls shows, each listing what fls lists at its start.
TEST(ExtImages, TwoPartitionsAsMmlsAndFlsSeeThem) {
  EXT_IMAGES_OR_SKIP(folder);
  const std::string img = folder + "/ext-disk.img";
  const std::string mmls = ReadFileText(folder + "/ext-disk.mmls.txt");
  std::vector<std::string> starts;
  const std::regex linux(R"(\d+:\s+\d+:\d+\s+0*(\d+)\s+\d+\s+\d+\s+Linux)");
  for (auto it = std::sregex_iterator(mmls.begin(), mmls.end(), linux); it != std::sregex_iterator(); ++it)
    starts.push_back((*it)[1]);
  ASSERT_EQ(starts, (std::vector<std::string>{"2048", "45056"}));
  for (size_t k = 0; k < starts.size(); ++k) {
    SCOPED_TRACE(starts[k]);
    const DvscanRun r = Dvscan("--volume " + std::to_string(k) + " '" + img + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    std::map<std::string, bool> listed;
    for (const Listed& l : r.items) listed[l.path] = l.deleted;
    const std::string fls = ReadFileText(folder + "/ext-disk." + starts[k] + ".fls.txt");
    std::map<std::string, bool> items = FlsFiles(fls);
    items.merge(FlsFiles(fls, true));
    EXPECT_EQ(listed, items);
  }
  const DvscanRun none = Dvscan("--volume 2 '" + img + "'");
  EXPECT_NE(none.rc, 0);
  EXPECT_NE(none.err.find("(2 volumes)"), std::string::npos) << none.err;
}

// Unwritten (preallocated) extents are read as data, as the volume model
// reads every extent: the recovered file holds what the disk holds there
// (icat gives zeros), old content on a used disk.
TEST(ExtImages, UnwrittenExtentsReadAsData) {
  DV_NEED_FIXTURE("make_ext4_hole.sh");
  const std::string folder = FixtureCache();
  const std::string img = folder + "/ext4-hole.img";
  const std::string ex = ReadFileText(folder + "/ext4-hole.prealloc.ex.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(ex, m, std::regex(R"((\d+) -\s+(\d+)\s+(\d+) -\s+(\d+)\s+(\d+) Uninit)")));
  const uint64_t logical = std::stoull(m[1]), physical = std::stoull(m[3]), blocks = std::stoull(m[5]);
  const TempFolder temp("ext-prealloc");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string got = ReadFileText(dest + "/prealloc");
  ASSERT_EQ(got.size(), (logical + blocks) * 1024);
  EXPECT_EQ(got.substr(0, 16), "prealloc block 0");
  const std::string disk = RunCommand("dd if='" + img + "' bs=1024 skip=" + std::to_string(physical) +
                                      " count=" + std::to_string(blocks) + " status=none");
  EXPECT_EQ(got.substr(logical * 1024), disk);
}

// The blocks the volume maps for the 13-block file are those debugfs
// lists: through the indirect block on block-mapped volumes, through the
// extent tree on the others.
TEST(ExtImages, BlocksOfAFileAsDebugfsListsThem) {
  EXT_IMAGES_OR_SKIP(folder);
  GlobalObjectsScope scope;
  for (const char* name : {"e2", "e3", "e4", "e4k", "e4old"}) {
    SCOPED_TRACE(name);
    const std::string img = folder + "/ext-" + name + ".img";
    std::smatch m;
    const std::string fls = ReadFileText(folder + "/ext-" + name + ".fls.txt");
    ASSERT_TRUE(std::regex_search(fls, m, std::regex(R"(r/r (\d+):\tthirteen\.bin)")));
    const uint32_t inode = uint32_t(std::stoul(m[1]));
    std::vector<uint64_t> expected;
    std::istringstream in(ReadFileText(folder + "/ext-" + name + ".blocks.txt"));
    for (uint64_t b; in >> b;) expected.push_back(b);
    Drive* drive = nullptr;
    {
      CExt3Vol v;
      UnixNode node(kNodeExt);
      ASSERT_NO_FATAL_FAILURE(OpenExtNode(img, inode, &drive, &v, &node));
      const uint64_t blocks = node.size / v.clusterSize + (node.size % v.clusterSize ? 1 : 0);
      std::vector<uint64_t> mapped;
      if (node.extents) {
        ASSERT_TRUE(v.BuildNodeExtents(&node));
        for (uint64_t l = 0; l < blocks; ++l) mapped.push_back(v.extents->VcnToLcn(l));
      } else {
        for (uint64_t l = 0; l < blocks; ++l) mapped.push_back(uint64_t(v.MapBlock(l, node.List(), node.listLength, nullptr)));
      }
      // debugfs lists the indirect block after the direct ones.
      std::vector<uint64_t> data = expected;
      if (!node.extents && data.size() > blocks) data.erase(data.begin() + 12);
      EXPECT_EQ(mapped, data);
      EXPECT_EQ(node.GetFirstSector(v, 512), int64_t(expected[0] * (v.clusterSize / 512)));
    }
    DeleteDrive(&drive);
  }
}

// The folder of 2,000 files on a 1 KiB-block ext4 has its blocks 64 apart,
// between its files' data: read in requests of up to 1 MiB of the volume,
// they give what debugfs gives of the folder, in fewer requests than it has
// pieces. A read error in the data between them costs the folder nothing;
// one on a folder block gives what reading each piece alone gives.
TEST(ExtImages, FolderBlocksReadTogetherAsDebugfsCatsThem) {
  EXT_IMAGES_OR_SKIP(folder);
  GlobalObjectsScope scope;
  const std::string img = folder + "/ext-e4.img";
  std::smatch m;
  const std::string fls = ReadFileText(folder + "/ext-e4.fls.txt");
  ASSERT_TRUE(std::regex_search(fls, m, std::regex(R"(d/d (\d+):\tmany\n)")));
  const uint32_t inode = uint32_t(std::stoul(m[1]));
  const std::string cat = RunCommand("debugfs -R 'cat many' '" + img + "' 2>/dev/null");
  const FamilyDataOps* data = FindDataOps(kVolExt);
  ASSERT_TRUE(data && data->read);
  enum Case { kClean, kBadBetween, kBadFolderBlock };
  for (const Case c : {kClean, kBadBetween, kBadFolderBlock}) {
    SCOPED_TRACE(int(c));
    auto state = std::make_shared<FaultState>();
    FaultyOpener opener(state);
    Drive* drive = nullptr;
    {
      CExt3Vol v;
      UnixNode node(kNodeExt);
      ASSERT_NO_FATAL_FAILURE(OpenExtNode(img, inode, &drive, &v, &node));
      ASSERT_EQ(v.clusterSize, 1024u);
      ASSERT_TRUE(node.extents && node.IsDirectory());
      ASSERT_EQ(node.size, cat.size());
      ASSERT_TRUE(v.BuildNodeExtents(&node));
      // The folder's pieces (runs of blocks), in file order.
      std::vector<std::pair<uint64_t, uint64_t>> pieces;  // first block, count
      for (uint64_t l = 0, left = 0; l < node.size / 1024; l += left) {
        const uint64_t lcn = v.extents->VcnToLcn(l, &left);
        ASSERT_GT(left, 0u);
        pieces.push_back({lcn, left});
      }
      ASSERT_GT(pieces.size(), 8u);
      ASSERT_GT(pieces[1].first, pieces[0].first + pieces[0].second);  // apart
      if (c == kBadBetween) state->bad.push_back({(pieces[0].first + pieces[0].second) * 1024, pieces[1].first * 1024});
      if (c == kBadFolderBlock) state->bad.push_back({pieces[1].first * 1024, pieces[1].first * 1024 + 1024});
      const size_t before = state->CallCount();
      std::vector<uint8_t> got(node.size);
      ASSERT_EQ(v.ReadNodeData(node, 0, got.size(), got.data(), got.size()), int64_t(got.size()));
      if (c == kClean) {
        EXPECT_LT(state->CallCount() - before, pieces.size() / 2);
      }
      EXPECT_EQ(drive->TotalErrors() != 0, c != kClean);
      std::string expected = cat;
      if (c == kBadFolderBlock) {
        expected.clear();
        for (const auto& [first, count] : pieces) {
          std::vector<uint8_t> alone(count * 1024);
          uint32_t read = 0;
          v.ReadClusters(alone.data(), int64_t(first), uint32_t(count), 1024, alone.size(), &read);
          ASSERT_EQ(read, count);
          expected.append(reinterpret_cast<const char*>(alone.data()), alone.size());
        }
        EXPECT_NE(expected, cat);
      }
      EXPECT_TRUE(std::string(reinterpret_cast<const char*>(got.data()), got.size()) == expected);
    }
    DeleteDrive(&drive);
  }
}

// The 64 MiB ext4 (1 KiB blocks) at sector 2048 of a disk without a
// partition table, its primary superblock zeroed: no volume search finds
// it, the Long Scan does from the copy in group 1 (block 8193) and places
// it at 2048; its files are listed as fls lists them on the intact image.
TEST(ExtImages, LongScanFindsAVolumeWithoutItsPrimarySuperBlock) {
  EXT_IMAGES_OR_SKIP(folder);
  const TempFolder temp("ext-long");
  const std::string disk = temp.Path() + "/disk.img";
  const std::string image = folder + "/ext-e4.img";
  ASSERT_EQ(RunCommandStatus("dd if='" + image + "' of='" + disk + "' bs=1M seek=1 conv=sparse status=none && " +
                             "dd if=/dev/zero of='" + disk + "' bs=1024 seek=1025 count=1 conv=notrunc status=none")
                .rc,
            0);
  const std::string trace = temp.Path() + "/trace.txt";
  const DvscanRun r = Dvscan("--long --trace '" + trace + "' '" + disk + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string text = ReadFileText(trace);
  EXPECT_TRUE(std::regex_search(text, std::regex("Long Scan: volume \\d+ of type 4 at 2048\n")));
  EXPECT_EQ(text.find("of type 4 at 2050"), std::string::npos);
  std::map<std::string, bool> listed;
  for (const Listed& l : r.items) listed[l.path] = l.deleted;
  const auto fls = FlsFiles(ReadFileText(folder + "/ext-e4.fls.txt"));
  ASSERT_GT(fls.size(), 2000u);
  for (const auto& [path, deleted] : fls) {
    auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << "not listed: " << path;
    EXPECT_EQ(it->second, deleted) << path;
  }
}

// Scan and Save: each file the walk finds is written at once below "Save
// to" (and not listed); the files equal their sources, the deleted ones
// what icat -r gives, on extent-mapped and block-mapped volumes.
TEST(ExtImages, ScanAndSaveWritesTheFilesDuringTheScan) {
  EXT_IMAGES_OR_SKIP(folder);
  const auto sources = SourceMd5s(folder);
  for (const char* name : {"e4", "e2"}) {
    SCOPED_TRACE(name);
    const TempFolder temp("ext-scansave");
    const std::string dest = temp.Path() + "/saved";
    WriteFileText(temp.Path() + "/options.ini", "[Scan and Save]\nEnabled=1\nSave to=" + dest + "\n");
    const DvscanRun r =
        Dvscan("--options '" + temp.Path() + "/options.ini' '" + folder + "/ext-" + name + ".img'");
    // The two symbolic links are not written: skips, not failures.
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_TRUE(r.items.empty());
    size_t written = 0, gone = 0;
    for (const auto& [path, md5] : sources) {
      if (path.rfind("d/gone", 0) == 0) {
        ++gone;
        continue;
      }
      ASSERT_TRUE(FileExists(dest + "/" + path)) << path;
      EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
      ++written;
    }
    EXPECT_EQ(written, sources.size() - gone);
    std::istringstream deleted(ReadFileText(folder + "/ext-" + std::string(name) + ".deleted.txt"));
    std::string inode, md5, path;
    size_t deletedFiles = 0;
    while (deleted >> inode >> md5 >> path) {
      EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
      ++deletedFiles;
    }
    EXPECT_EQ(deletedFiles, gone);
    // Nothing but the files (and the log) below the destination.
    EXPECT_EQ(RunCommand("find '" + dest + "' -type f ! -name Recovery.log | wc -l"),
              std::to_string(written + deletedFiles) + "\n");
  }
}
