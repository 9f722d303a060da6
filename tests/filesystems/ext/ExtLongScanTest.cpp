// The ext Long Scan on images whose files no folder walk reaches
// (tests/fixtures/make_ext_long.sh, and copies of make_ext.sh's images
// damaged with debugfs and dd), compared with what tsk_recover and
// PhotoRec get of them and with the sources' md5s.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/ext/DirBlocks.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/LongScan.h"
#include "filesystems/ext/NameTrees.h"
#include "filesystems/ext/SuperBlock.h"
#include "foundation/Globals.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/filesystems/ext/ExtFixture.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/NullScanSink.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

#define LONG_IMAGES_OR_SKIP(var, kind)                                                          \
  const int rc_ = MakeFixture("make_ext_long.sh", kind);                                        \
  if (rc_ == 77) GTEST_SKIP() << "e2fsprogs, sleuthkit, testdisk, imagemagick or root missing"; \
  ASSERT_EQ(rc_, 0) << "make_ext_long.sh " << kind;                                             \
  const std::string var = FixtureCache()

// "<md5>  <path>" lines: md5 -> path (the first of equal files).
std::map<std::string, std::string> Md5ToPath(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.size() > 34) out.emplace(line.substr(0, 32), line.substr(34));
  return out;
}

std::set<std::string> Md5Set(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.size() >= 32) out.insert(line.substr(0, 32));
  return out;
}

// "<md5>  <path>" of every file recovered below dest.
std::string RecoveredMd5s(const std::string& dest) {
  return RunCommand("cd '" + dest +
                    "' && find . -type f ! -name Recovery.log -printf '%P\\0' | sort -z | xargs -0 -r md5sum");
}

size_t CountOf(const std::set<std::string>& a, const std::set<std::string>& b) {
  size_t n = 0;
  for (const std::string& m : a) n += b.count(m);
  return n;
}

std::string Basename(const std::string& p) { return p.substr(p.rfind('/') + 1); }

std::string TextMd5(const std::string& bytes) {
  Md5 m;
  m.Update(bytes.data(), bytes.size());
  uint8_t d[kMd5DigestSize];
  m.Final(d);
  return HexText(d, sizeof d);
}

std::string OptionsFile(const TempFolder& t, const std::string& text) {
  const std::string path = t.Path() + "/options.ini";
  WriteFileText(path, text);
  return path;
}

}  // namespace

// A reformatted ext4 (mke2fs over a filled volume): the Long Scan recovers
// at least as many of the old files bit-exactly as tsk_recover -e does, and
// a file it names has its own name (its folder's block survived) or a made-up
// one, never another file's.
TEST(ExtLongScan, ReformattedVolumeGivesItsOldFiles) {
  LONG_IMAGES_OR_SKIP(folder, "reformat");
  const auto sources = Md5ToPath(ReadFileText(folder + "/extlong-reformat.src.md5.txt"));
  ASSERT_EQ(sources.size(), 200u);
  std::set<std::string> sourceMd5s;
  for (const auto& [md5, path] : sources) sourceMd5s.insert(md5);
  const size_t tsk = CountOf(Md5Set(ReadFileText(folder + "/extlong-reformat.tsk.md5.txt")), sourceMd5s);
  ASSERT_GT(tsk, 50u);
  const TempFolder temp("extlong-reformat");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--long --recover '" + dest + "' '" + folder + "/extlong-reformat.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  size_t exact = 0, named = 0;
  std::istringstream in(RecoveredMd5s(dest));
  for (std::string line; std::getline(in, line);) {
    const std::string md5 = line.substr(0, 32), path = line.substr(34);
    auto it = sources.find(md5);
    if (it == sources.end()) continue;
    ++exact;
    const std::string name = Basename(path);
    if (name == Basename(it->second)) ++named;
    else EXPECT_EQ(name.rfind("file", 0), 0u) << path << " holds " << it->second;
  }
  EXPECT_GE(exact, tsk);
  EXPECT_GT(named, 0u);
  // Quick Scan: the new, empty volume.
  const DvscanRun quick = Dvscan("'" + folder + "/extlong-reformat.img'");
  EXPECT_EQ(quick.items.size(), 1u);  // lost+found
  // "Scan Ext4 ET Only" leaves the sweep out: none of the old files.
  const TempFolder t2("extlong-reformat-et");
  const DvscanRun et = Dvscan("--long --options '" + OptionsFile(t2, "[Ext Options]\nScan Ext4 ET Only=1\n") + "' '" +
                              folder + "/extlong-reformat.img'");
  EXPECT_LT(et.items.size(), 10u);
}

// Inline-data files removed through the mount survive in their inodes: at
// least tsk_recover -e's bit-exact count.
TEST(ExtLongScan, RemovedInlineFilesFromTheirInodes) {
  LONG_IMAGES_OR_SKIP(folder, "inline");
  const auto sources = Md5ToPath(ReadFileText(folder + "/extlong-inline.src.md5.txt"));
  ASSERT_EQ(sources.size(), 40u);
  std::set<std::string> sourceMd5s;
  for (const auto& [md5, path] : sources) sourceMd5s.insert(md5);
  const size_t tsk = CountOf(Md5Set(ReadFileText(folder + "/extlong-inline.tsk.md5.txt")), sourceMd5s);
  ASSERT_GE(tsk, 36u);
  const TempFolder temp("extlong-inline");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--long --recover '" + dest + "' '" + folder + "/extlong-inline.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_GE(CountOf(Md5Set(RecoveredMd5s(dest)), sourceMd5s), tsk);
  std::set<std::string> listed;
  for (const Listed& l : r.items) EXPECT_TRUE(listed.insert(l.path).second) << "twice: " << l.path;
}

// A folder's inode cleared (debugfs clri): the Long Scan lists what it held
// under their names, bit-exactly; on the image of hostile names, with "sub"
// cleared, every file stays inside the destination.
TEST(ExtLongScan, ClearedFolderListsItsSubtreeByName) {
  EXT_IMAGES_OR_SKIP(folder);
  const auto sources = SourceMd5s(folder);
  const TempFolder temp("ext-clri");
  const std::string img = temp.Path() + "/e4.img";
  ASSERT_EQ(RunCommandStatus("cp --sparse=always '" + folder + "/ext-e4.img' '" + img +
                             "' && debugfs -w -R 'clri /d/a' '" + img + "' 2>/dev/null")
                .rc,
            0);
  const std::string dest = temp.Path() + "/out";
  const DvscanRun quick = Dvscan("'" + img + "'");
  for (const Listed& l : quick.items) EXPECT_NE(l.path, "d/a/b/c/e/deep.txt");
  const DvscanRun r = Dvscan("--long --recover '" + dest + "' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::set<std::string> listed;
  for (const Listed& l : r.items) EXPECT_TRUE(listed.insert(l.path).second) << "twice: " << l.path;
  EXPECT_TRUE(listed.count("d/a/b/c/e/deep.txt"));
  EXPECT_EQ(Md5File(dest + "/d/a/b/c/e/deep.txt"), sources.at("d/a/b/c/e/deep.txt"));

  DV_NEED_FIXTURE("make_hostile_names.sh", "names");
  const std::string hostile = temp.Path() + "/hostile.img";
  ASSERT_EQ(RunCommandStatus("cp --sparse=always '" + FixtureCache() + "/hostile-names.img' '" + hostile +
                             "' && debugfs -w -R 'clri /sub' '" + hostile + "' 2>/dev/null")
                .rc,
            0);
  const std::string dest2 = temp.Path() + "/hostile";
  const DvscanRun h = Dvscan("--long --recover '" + dest2 + "/out' '" + hostile + "'");
  ASSERT_EQ(h.rc, 0) << h.err;
  EXPECT_EQ(RunCommand("ls -A '" + dest2 + "'"), "out\n");
  EXPECT_EQ(RunCommand("find '" + dest2 + "' -type l | wc -l"), "0\n");
}

// The files debugfs removed are listed once by a Long Scan (the walk finds
// them, the sweep leaves them), with the bytes icat -r gives.
TEST(ExtLongScan, RemovedFilesListedOnce) {
  EXT_IMAGES_OR_SKIP(folder);
  for (const char* name : {"e4", "e2"}) {
    SCOPED_TRACE(name);
    const TempFolder temp("ext-once");
    const std::string dest = temp.Path() + "/out";
    const DvscanRun r = Dvscan("--long --recover '" + dest + "' '" + folder + "/ext-" + name + ".img'");
    ASSERT_EQ(r.rc, 0) << r.err;
    std::map<std::string, int> listed;
    for (const Listed& l : r.items) listed[l.path]++;
    std::istringstream deleted(ReadFileText(folder + "/ext-" + name + ".deleted.txt"));
    std::string inode, md5, path;
    int gone = 0;
    while (deleted >> inode >> md5 >> path) {
      EXPECT_EQ(listed[path], 1) << path;
      EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
      ++gone;
    }
    EXPECT_EQ(gone, 3);
    for (const auto& [p, n] : listed) EXPECT_EQ(n, 1) << p;
  }
}

// The primary superblock zeroed on 1 KiB and 4 KiB blocks: the Long Scan
// finds the volume from a group's copy and lists what fls listed before.
TEST(ExtLongScan, PrimarySuperBlockZeroed) {
  EXT_IMAGES_OR_SKIP(folder);
  for (const char* name : {"e2", "e3"}) {
    SCOPED_TRACE(name);
    const TempFolder temp("ext-nosb");
    const std::string img = temp.Path() + "/x.img";
    ASSERT_EQ(RunCommandStatus("cp --sparse=always '" + folder + "/ext-" + name + ".img' '" + img +
                               "' && dd if=/dev/zero of='" + img + "' bs=1024 seek=1 count=1 conv=notrunc status=none")
                  .rc,
              0);
    const DvscanRun r = Dvscan("--long '" + img + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    std::map<std::string, bool> listed;
    for (const Listed& l : r.items) listed[l.path] = l.deleted;
    const auto fls = FlsFiles(ReadFileText(folder + "/ext-" + name + ".fls.txt"));
    ASSERT_GT(fls.size(), 2000u);
    for (const auto& [path, deleted] : fls) {
      auto it = listed.find(path);
      ASSERT_NE(it, listed.end()) << "not listed: " << path;
      EXPECT_EQ(it->second, deleted) << path;
    }
  }
}

// "Ext Long Scan": the sweep, the directory blocks and the placing alone
// list every file the Quick Scan lists, under the same paths.
TEST(ExtLongScan, ExtLongScanOptionListsTheQuickScansFiles) {
  EXT_IMAGES_OR_SKIP(folder);
  const TempFolder temp("ext-option");
  const std::string options = OptionsFile(temp, "[Ext Options]\nExt Long Scan=1\n");
  for (const char* name : {"e4", "e2", "e3", "e4k", "metabig", "inline"}) {
    SCOPED_TRACE(name);
    const std::string img = folder + "/ext-" + name + ".img";
    const DvscanRun quick = Dvscan("'" + img + "'");
    const DvscanRun own = Dvscan("--options '" + options + "' '" + img + "'");
    ASSERT_EQ(own.rc, 0) << own.err;
    std::map<std::string, bool> got;
    for (const Listed& l : own.items) EXPECT_TRUE(got.emplace(l.path, l.deleted).second) << "twice: " << l.path;
    const auto fls = FlsFiles(ReadFileText(folder + "/ext-" + name + ".fls.txt"), true);
    size_t files = 0;
    for (const Listed& l : quick.items) {
      if (fls.count(l.path)) continue;  // a folder: not listed by itself
      ++files;
      auto it = got.find(l.path);
      ASSERT_NE(it, got.end()) << "not listed: " << l.path;
      EXPECT_EQ(it->second, l.deleted) << l.path;
    }
    EXPECT_GT(files, 2000u);
  }
}

// "Start Inode Number" and "Last Inode Number" bound the sweep (the last
// one exclusive, at most the volume's last inode): the files of the inodes
// inside, as fls numbers them.
TEST(ExtLongScan, InodeRange) {
  EXT_IMAGES_OR_SKIP(folder);
  const std::string fls = ReadFileText(folder + "/ext-e2.fls.txt");
  std::map<uint32_t, std::string> byInode;  // live regular files
  const std::regex file(R"(r/r (\d+):\t(.*))");
  std::istringstream in(fls);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_match(line, m, file) && m[2].str().find('/') == std::string::npos) byInode[std::stoul(m[1])] = m[2];
  }
  ASSERT_GT(byInode.size(), 6u);
  const uint32_t first = byInode.begin()->first;
  struct Case {
    int64_t start, last;
  };
  const Case cases[] = {{first, first + 3}, {first + 2, first + 3}, {first + 1, 1 << 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.last));
    const TempFolder temp("ext-range");
    const std::string options =
        OptionsFile(temp, "[Ext Options]\nExt Long Scan=1\nStart Inode Number=" + std::to_string(c.start) +
                              "\nLast Inode Number=" + std::to_string(c.last) + "\n");
    const DvscanRun r = Dvscan("--options '" + options + "' '" + folder + "/ext-e2.img'");
    ASSERT_EQ(r.rc, r.items.empty() ? 2 : 0) << r.err;  // 2: nothing found
    std::set<std::string> got;
    for (const Listed& l : r.items) got.insert(l.path);
    for (const auto& [inode, name] : byInode) {
      const bool inside = inode >= c.start && inode < c.last;
      EXPECT_EQ(got.count(DestinationOf(name)) != 0, inside) << name << " " << inode;
    }
  }
}

// Raw recovery: the files removed from an ext2 of 4 KiB blocks are found
// by their headers and rebuilt from their indirect blocks: every JPEG
// PhotoRec gets bit-exactly comes back with its original as its start
// (whole blocks), the ZIP kinds bit-exactly (the 5 MB one through its
// double-indirect block), the DOCX by "..\..\x" inside the destination.
TEST(ExtLongScan, RawRecoveryFromIndirectBlocks) {
  LONG_IMAGES_OR_SKIP(folder, "raw");
  const auto sources = Md5ToPath(ReadFileText(folder + "/extlong-raw.src.md5.txt"));
  ASSERT_EQ(sources.size(), 7u);
  const std::set<std::string> photorec = Md5Set(ReadFileText(folder + "/extlong-raw.photorec.md5.txt"));
  const TempFolder temp("extlong-raw");
  const std::string dest = temp.Path() + "/out";
  const std::string sectors = ReadFileText(folder + "/extlong-raw.sectors.txt");
  const std::string options = OptionsFile(
      temp, "[Unix Raw Recovery]\nSector Size=512\nBlock Size=4096\nVolume Starting Sector=0\nVolume Size=" +
                sectors.substr(0, sectors.find('\n')) + "\nFragments Per Block=1\nSave To=" + temp.Path() +
                "/unused\n");
  const DvscanRun r =
      Dvscan("--long --options '" + options + "' --recover '" + dest + "' '" + folder + "/extlong-raw.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(RunCommand("ls -A '" + temp.Path() + "'"), "options.ini\nout\n");
  // The recovered files by kind.
  std::vector<std::string> jpgs;
  std::set<std::string> md5s;
  std::istringstream in(RecoveredMd5s(dest));
  for (std::string line; std::getline(in, line);) {
    const std::string path = line.substr(34);
    if (path.rfind("Extra files/jpg/", 0) == 0) jpgs.push_back(path);
    md5s.insert(line.substr(0, 32));
  }
  // The ZIP kinds bit-exactly.
  for (const auto& [md5, path] : sources)
    if (path.find(".jpg") == std::string::npos) {
      EXPECT_TRUE(md5s.count(md5)) << path;
    }
  // Each JPEG begins with one of the originals (their sizes recorded), at
  // least as many as PhotoRec got bit-exactly.
  std::map<std::string, uint64_t> sizes;  // md5 -> size
  {
    std::istringstream s(ReadFileText(folder + "/extlong-raw.sizes.txt"));
    uint64_t size = 0;
    std::string path;
    while (s >> size >> path)
      for (const auto& [md5, p] : sources)
        if (p == path) sizes[md5] = size;
  }
  size_t peer = 0;
  std::set<std::string> matched;
  for (const auto& [md5, path] : sources) {
    if (path.find(".jpg") == std::string::npos) continue;
    peer += photorec.count(md5);
    for (const std::string& ours : jpgs) {
      const std::string bytes = ReadFileText(dest + "/" + ours);
      if (sizes.count(md5) && bytes.size() >= sizes[md5] && TextMd5(bytes.substr(0, sizes[md5])) == md5)
        matched.insert(md5);
    }
  }
  EXPECT_EQ(peer, 3u);
  EXPECT_GE(matched.size(), peer);
  // The DOCX's author is its folder.
  bool docx = false;
  for (const Listed& l : r.items) docx |= l.path.rfind("Extra files/docx/_../_../x/", 0) == 0;
  EXPECT_TRUE(docx);
}

// A cut image holds a volume's first groups only: the backup superblocks
// on it confirm the volume, those past its end are no place at all.
TEST(ExtLongScan, BackupsPastTheDrivesEndDoNotCount) {
  EXT_IMAGES_OR_SKIP(folder);
  GlobalObjectsScope scope;
  const std::string sb = RunCommand("dd if='" + folder + "/ext-e4.img' bs=1024 skip=1 count=1 status=none");
  struct Case {
    int64_t lastSector;  // of the drive over the image
    bool confirmed;
    bool otherCountConfirmed;  // a superblock of another block count
  };
  // 64 MiB of 1 KiB blocks: 8 groups of 8 MiB, copies in groups 1, 3, 5, 7.
  const Case cases[] = {
      {131071, true, false},  // the whole image
      {40959, true, false},   // 20 MiB: the copy in group 1 alone
      {16394, true, false},   // just group 1's copy
      {16385, true, true},    // no copy on the drive: the primary stands alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastSector);
    const WString name = FormatW(u"%s<0:%I64d>", FromUtf8(folder + "/ext-e4.img"), c.lastSector);
    Drive* d = CreateDrive(name);
    ASSERT_NE(d, nullptr);
    d->InitDrive(name);
    ASSERT_EQ(d->SectorCount(), uint64_t(c.lastSector + 1));
    EXPECT_EQ(FindExt3BackupSuperBlock(*d, 0, reinterpret_cast<const uint8_t*>(sb.data())), c.confirmed);
    std::string other = sb;
    other[4] ^= 1;  // the block count
    EXPECT_EQ(FindExt3BackupSuperBlock(*d, 0, reinterpret_cast<const uint8_t*>(other.data())), c.otherCountConfirmed);
    DeleteDrive(&d);
  }
}

// The sector pass's action on a folder's first block: the volumes of the
// drive that place it on their block grid, inside them, best in the group
// of its "." folder, name its entries; a block cut by the read's end asks
// for the bytes it needs.
TEST(ExtLongScan, DirectoryBlockPlacedByItsVolumes) {
  EXT_IMAGES_OR_SKIP(folder);
  GlobalObjectsScope scope;
  const std::string img = folder + "/ext-e4k.img";
  const std::string blocks = RunCommand("debugfs -R 'blocks /d' '" + img + "' 2>/dev/null");
  const uint64_t block = std::stoull(blocks);
  ASSERT_GT(block, 0u);
  const std::string data =
      RunCommand("dd if='" + img + "' bs=4096 skip=" + std::to_string(block) + " count=1 status=none");
  ASSERT_EQ(data.size(), 4096u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  const std::string sb = RunCommand("dd if='" + img + "' bs=1024 skip=1 count=1 status=none");
  struct Case {
    const char* what;
    int64_t position;             // drive sector the block is met at
    uint64_t bytesLeft;           // in the read from it
    std::vector<int64_t> starts;  // the volumes' starts
    int taken;
    uint32_t need;
    std::vector<bool> named;  // per volume
  };
  const int64_t at = int64_t(block * 8);
  const Case cases[] = {
      {"its volume", at, 4096, {0}, 1, 0, {true}},
      {"off the block grid", at + 1, 4096, {0}, 0, 0, {false}},
      {"cut by the read's end", at, 512, {0}, 0, 4096, {false}},
      {"two volumes a block apart: both place it", at, 4096, {0, 8}, 1, 0, {true, true}},
      {"past a volume's end", at, 4096, {at}, 0, 0, {false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Drive* d = CreateDrive(FromUtf8(img));
    ASSERT_NE(d, nullptr);
    d->InitDrive(FromUtf8(img));
    std::vector<CExt3Vol*> volumes;
    for (int64_t start : c.starts) {
      auto* v = new CExt3Vol();
      v->drive = d;
      ASSERT_TRUE(InitUnixVol(v, reinterpret_cast<const uint8_t*>(sb.data()), start, 512));
      // "past a volume's end": one block of volume before the sector.
      if (start == at) v->startSector = uint64_t(at - 8), v->sizeSectors = 8;
      int32_t index = -1;
      ASSERT_TRUE(AddVolume(*d, v, 0, &index));
      volumes.push_back(v);
    }
    SectorVisit visit;
    visit.drive = d;
    visit.kind = kSectUnixDir;
    visit.sector = bytes;
    visit.bytesLeft = c.bytesLeft;
    visit.position = c.position;
    EXPECT_EQ(ScanUnixDirSector(visit), c.taken);
    EXPECT_EQ(visit.needBytes, c.need);
    for (size_t k = 0; k < volumes.size(); ++k) {
      const bool named =
          volumes[k]->HasTrees() && volumes[k]->Trees().File(0) == nullptr && volumes[k]->Trees().FileCount() > 0;
      EXPECT_EQ(named, c.named[k]) << k;
    }
    DeleteDrive(&d);
  }
}

// A Long Scan's session keeps the files the sweep found by their inodes and
// those raw recovery rebuilt: loaded in a new process, the same list and
// the same bytes.
TEST(ExtLongScan, SessionsOfSweptAndRawFiles) {
  {
    LONG_IMAGES_OR_SKIP(folder, "reformat");
    (void)folder;
  }
  LONG_IMAGES_OR_SKIP(folder, "raw");
  const std::string sectors = ReadFileText(folder + "/extlong-raw.sectors.txt");
  struct Case {
    const char* image;
    std::string options;
    size_t minFiles;
  };
  const Case cases[] = {
      {"extlong-reformat.img", "", 150},
      {"extlong-raw.img",
       "[Unix Raw Recovery]\nSector Size=512\nBlock Size=4096\nVolume Starting Sector=0\nVolume Size=" +
           sectors.substr(0, sectors.find('\n')) + "\nFragments Per Block=1\nSave To=/unused\n",
       7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const TempFolder temp("ext-long-session");
    const std::string t = temp.Path();
    const std::string options = c.options.empty() ? "" : "--options '" + OptionsFile(temp, c.options) + "' ";
    const DvscanRun a = Dvscan("--long " + options + "--save-session '" + t + "/s.dvs' --recover '" + t + "/scan' '" +
                               folder + "/" + c.image + "'");
    ASSERT_EQ(a.rc, 0) << a.err;
    const DvscanRun b = Dvscan("--load-session '" + t + "/s.dvs' --recover '" + t + "/load'");
    ASSERT_EQ(b.rc, 0) << b.err;
    std::multiset<std::string> pa, pb;
    for (const Listed& l : a.items) pa.insert(l.path);
    for (const Listed& l : b.items) pb.insert(l.path);
    EXPECT_EQ(pa, pb);
    const std::string md5s = RecoveredMd5s(t + "/load");
    EXPECT_EQ(RecoveredMd5s(t + "/scan"), md5s);
    EXPECT_GE(size_t(std::count(md5s.begin(), md5s.end(), '\n')), c.minFiles);
  }
}

// "Exit After Long Scan" 1: the Long Scan ends after the sweep of its ext
// volume (no sector pass: raw recovery, which rides on it, finds nothing);
// 0 keeps the pass.
TEST(ExtLongScan, ExitAfterLongScanLeavesTheSectorPassOut) {
  LONG_IMAGES_OR_SKIP(folder, "raw");
  const std::string sectors = ReadFileText(folder + "/extlong-raw.sectors.txt");
  const std::string raw =
      "[Unix Raw Recovery]\nSector Size=512\nBlock Size=4096\nVolume Starting Sector=0\n"
      "Volume Size=" +
      sectors.substr(0, sectors.find('\n')) + "\nFragments Per Block=1\nSave To=/unused\n";
  for (int exitAfter : {0, 1}) {
    SCOPED_TRACE(exitAfter);
    const TempFolder temp("ext-exit");
    const std::string options =
        OptionsFile(temp, raw + "[Ext Options]\nExit After Long Scan=" + std::to_string(exitAfter) + "\n");
    const DvscanRun r = Dvscan("--long --options '" + options + "' '" + folder + "/extlong-raw.img'");
    ASSERT_EQ(r.rc, 0) << r.err;
    size_t rebuilt = 0;
    for (const Listed& l : r.items) rebuilt += l.path.rfind("Extra files/", 0) == 0 && l.size > 0;
    EXPECT_EQ(rebuilt, exitAfter ? 0u : 7u);
  }
}

// The sweep for folder blocks goes on past a piece it cannot read: that
// piece reads as zeros (the drive counts it), the folders after it are
// still named.
TEST(ExtLongScan, DirectoryBlockSweepGoesOnPastAReadError) {
  EXT_IMAGES_OR_SKIP(folder);
  GlobalObjectsScope scope;
  const std::string img = folder + "/ext-e4.img";
  const uint64_t first = std::stoull(RunCommand("debugfs -R 'blocks /many' '" + img + "' 2>/dev/null"));
  ASSERT_GT(first, 4096u);
  const uint32_t manyInode = uint32_t(std::stoul(
      RunCommand("debugfs -R 'stat /many' '" + img + "' 2>/dev/null | sed -n 's/^Inode: \\([0-9]*\\).*/\\1/p'")));
  for (const bool bad : {false, true}) {
    SCOPED_TRACE(bad);
    auto state = std::make_shared<FaultState>();
    // A megabyte well before the folder's blocks cannot be read.
    if (bad) state->bad.push_back({0x200000, 0x300000});
    FaultyOpener opener(state);
    Drive* d = CreateDrive(FromUtf8(img));
    ASSERT_NE(d, nullptr);
    d->InitDrive(FromUtf8(img));
    {
      const std::string sb = RunCommand("dd if='" + img + "' bs=1024 skip=1 count=1 status=none");
      CExt3Vol v;
      v.drive = d;
      ASSERT_TRUE(InitUnixVol(&v, reinterpret_cast<const uint8_t*>(sb.data()), 0, 512));
      NullScanSink sink;
      ScanDirBlocks(v, sink);
      EXPECT_EQ(d->TotalErrors() != 0, bad);
      const UnixNameTrees::Name* f0000 = nullptr;
      for (uint32_t n = 0; n <= v.inodeCount && !f0000; ++n)
        if (const UnixNameTrees::Name* k = v.HasTrees() ? v.Trees().File(n) : nullptr)
          if (ToUtf8(v.Trees().NameText(*k)) == "f0000") f0000 = k;
      ASSERT_NE(f0000, nullptr) << v.Trees().FileCount() << " names, errors " << d->TotalErrors();
      EXPECT_EQ(f0000->parent, manyInode);
    }
    DeleteDrive(&d);
  }
}

// Which volume a folder block's "." names it in: ext counts inodes from 1,
// so the last inode of group 0 is group 0's (the volume that places the
// block in its group 0 names it, the one that places it in group 1 does
// not).
TEST(ExtLongScan, DirectoryBlockGroupCountsInodesFromOne) {
  EXT_IMAGES_OR_SKIP(folder);
  GlobalObjectsScope scope;
  const std::string img = folder + "/ext-e4k.img";
  const std::string sb = RunCommand("dd if='" + img + "' bs=1024 skip=1 count=1 status=none");
  Drive* d = CreateDrive(FromUtf8(img));
  ASSERT_NE(d, nullptr);
  d->InitDrive(FromUtf8(img));
  {
    CExt3Vol probe;
    ASSERT_TRUE(InitUnixVol(&probe, reinterpret_cast<const uint8_t*>(sb.data()), 0, 512));
    const uint32_t ipg = probe.inodesPerGroup;
    const int64_t blockSectors = probe.clusterSize / 512;
    // Block 1 of volume A (group 0) is block blocksPerGroup + 1 of volume B
    // (group 1).
    const int64_t position = int64_t(probe.blocksPerGroup + 1) * blockSectors;
    std::vector<CExt3Vol*> vols;
    for (const int64_t start : {int64_t(0), position - blockSectors}) {
      auto* v = new CExt3Vol();
      v->drive = d;
      ASSERT_TRUE(InitUnixVol(v, reinterpret_cast<const uint8_t*>(sb.data()), start, 512));
      int32_t index = -1;
      ASSERT_TRUE(AddVolume(*d, v, 0, &index));
      vols.push_back(v);
    }
    // A folder block whose "." is the last inode of group 0.
    std::vector<uint8_t> block(probe.clusterSize, 0);
    auto record = [&](size_t at, uint32_t inode, const char* name, uint8_t type, uint16_t length) {
      testbytes::Put32(block, at, inode);
      testbytes::Put16(block, at + 4, length);
      block[at + 6] = uint8_t(strlen(name));
      block[at + 7] = type;
      memcpy(&block[at + 8], name, strlen(name));
    };
    record(0, ipg, ".", 2, 12);
    record(12, 2, "..", 2, 12);
    record(24, 12345, "named.txt", 1, uint16_t(block.size() - 24));
    SectorVisit visit;
    visit.drive = d;
    visit.kind = kSectUnixDir;
    visit.sector = block.data();
    visit.bytesLeft = block.size();
    visit.position = position;
    EXPECT_EQ(ScanUnixDirSector(visit), 1);
    auto named = [](CExt3Vol* v) { return v->HasTrees() && v->Trees().File(12345) != nullptr; };
    EXPECT_FALSE(named(vols[0]));  // block 257 (or so): group 1 of the volume at 0
    EXPECT_TRUE(named(vols[1]));   // block 1: group 0
  }
  DeleteDrive(&d);
}

// The sweep's last inode is the volume's last: a file there is found.
TEST(ExtLongScan, SweepReachesTheLastInode) {
  EXT_IMAGES_OR_SKIP(folder);
  const TempFolder temp("ext-last");
  const std::string img = temp.Path() + "/e2.img";
  const std::string count =
      RunCommand("dumpe2fs -h '" + folder + "/ext-e2.img' 2>/dev/null | sed -n 's/^Inode count: *//p'");
  ASSERT_FALSE(count.empty());
  const uint32_t last = uint32_t(std::stoul(count));
  // The inode of a small file copied to the last slot.
  const std::string fls = ReadFileText(folder + "/ext-e2.fls.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fls, m, std::regex(R"(r/r (\d+):\tsmall\.txt)")));
  ASSERT_EQ(
      RunCommandStatus("cp --sparse=always '" + folder + "/ext-e2.img' '" + img + "' && debugfs -w -R 'copy_inode <" +
                       m[1].str() + "> <" + std::to_string(last) + ">' '" + img + "' 2>/dev/null")
          .rc,
      0);
  const std::string options = OptionsFile(temp, "[Ext Options]\nExt Long Scan=1\n");
  const DvscanRun r = Dvscan("--options '" + options + "' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  bool found = false;
  for (const Listed& l : r.items) found |= l.path == "Extra files/file" + std::to_string(last);
  EXPECT_TRUE(found);
}
