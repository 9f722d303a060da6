// VMFS images that make_vmfs.py writes and vmfs-tools reads back
// (tests/fixtures/make_vmfs.sh): what dvscan lists and recovers against the
// generator's manifest, debugvmfs ls -l and debugvmfs cat; damaged, cut and
// hostile copies; the Long Scan without the partition entry; sessions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/DvscanRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/Manifest.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

#define NEED_IMAGES()                                           \
  static const std::string dir = FixtureFolder("make_vmfs.sh"); \
  if (dir.empty()) GTEST_SKIP() << "make_vmfs.sh: vmfs-tools, gdisk or python3 missing";

constexpr uint64_t kArea = 0x1100000;  // the file system, from the volume's start

struct Entry {
  std::string kind, md5;
  bool listed = true, readable = true, complete = true;
  uint64_t size = 0;
  long mtime = 0;
};

// The manifest's entries by path, system files included.
std::map<std::string, Entry> Manifest(const std::string& file) {
  std::map<std::string, Entry> out;
  for (const ManifestEntry& m : ReadManifest(file)) {
    Entry e;
    e.kind = m.fields[0];
    e.listed = m.fields[1] == "1";
    e.readable = m.fields[2] == "1";
    e.complete = m.fields[3] == "1";
    e.size = std::stoull(m.fields[4]);
    e.md5 = m.fields[5];
    e.mtime = std::stol(m.fields[6]);
    out[m.path] = e;
  }
  return out;
}

// debugvmfs ls -l reports: path -> size (names as vmfs-tools prints them).
std::map<std::string, uint64_t> PeerListing(const std::string& file) {
  std::map<std::string, uint64_t> out;
  std::ifstream in(file);
  std::string line, folder;
  while (std::getline(in, line)) {
    if (line.rfind("== ", 0) == 0) {
      folder = line.substr(3);
      if (folder.back() != '/') folder += '/';
      continue;
    }
    std::istringstream ss(line);
    std::string mode, links, user, group, date, time;
    uint64_t size = 0;
    if (!(ss >> mode >> links >> user >> group >> size >> date >> time)) continue;
    std::string name;
    std::getline(ss, name);
    if (name.size() < 2) continue;
    name = name.substr(1);
    if (name == "." || name == "..") continue;
    out[(folder + name).substr(1)] = size;
  }
  return out;
}

// debugvmfs cat md5s: path -> md5 ("unreadable" where vmfs-tools failed).
std::map<std::string, std::string> PeerMd5s(const std::string& file) {
  std::map<std::string, std::string> out;
  std::ifstream in(file);
  std::string sum, path;
  while (in >> sum >> path) out[path.substr(1)] = sum;
  return out;
}

std::map<std::string, const Listed*> ByPath(const DvscanRun& r) {
  std::map<std::string, const Listed*> out;
  for (const Listed& l : r.items) out[l.path] = &l;
  return out;
}

std::set<std::pair<std::string, uint64_t>> PathsAndSizes(const DvscanRun& r) {
  std::set<std::pair<std::string, uint64_t>> out;
  for (const Listed& l : r.items) out.insert({l.path, l.size});
  return out;
}

long MTime(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? long(st.st_mtime) : -1;
}

// Overwrites bytes of a file in place.
void Patch(const std::string& file, uint64_t at, const std::vector<uint8_t>& bytes) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(at));
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ReadAt(const std::string& file, uint64_t at, size_t n) {
  std::vector<uint8_t> out(n);
  std::ifstream f(file, std::ios::binary);
  f.seekg(std::streamoff(at));
  f.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  return out;
}

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

std::vector<uint8_t> Le32Bytes(uint32_t v) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

// Where descriptor `item` of cluster 0 lies in a volume image of 1 MiB
// blocks (its descriptor file starts 4 MiB into the area): from the file's
// own header.
uint64_t DescriptorAt(const std::string& image, uint32_t item) {
  const uint64_t fdc = kArea + 0x400000;
  const std::vector<uint8_t> h = ReadAt(image, fdc, 28);
  return fdc + Le32At(h, 8) + uint64_t(Le32At(h, 4)) * 1024 + uint64_t(item) * 2048;
}

// Entry `index` of the root folder (its data in one file block).
uint64_t RootEntryAt(const std::string& image, uint32_t index) {
  const uint32_t address = Le32At(ReadAt(image, DescriptorAt(image, 0) + 1024, 4), 0);
  return kArea + uint64_t(address >> 6) * 0x100000 + uint64_t(index) * 140;
}

struct Recovered {
  DvscanRun run;
  std::string dest, log;
};

Recovered Recover(const TempFolder& temp, const std::string& args) {
  Recovered r;
  r.dest = temp.Path() + "/out";
  r.run = Dvscan("--recover '" + r.dest + "' " + args);
  r.log = ReadFileText(r.dest + "/Recovery.log");
  return r;
}

// Lists and recovers `image` with the manifest and peer reports of `name`:
// every entry the manifest lists is listed once with its size, equal to
// debugvmfs ls -l; every readable file comes back with the manifest's md5
// (and debugvmfs cat's, where vmfs-tools reads it) and its time; a link is
// listed and not recovered, a file the manifest says is unreadable is not
// made.
void ListAndRecover(const std::string& dir, const std::string& image, const std::string& name) {
  SCOPED_TRACE(image);
  const TempFolder temp("vmfs_recover");
  const Recovered r = Recover(temp, "'" + image + "'");
  // The symbolic link is a skip; in vmfs-nosbc the files in sub-blocks are
  // not read (exit status 1).
  ASSERT_EQ(r.run.rc, name == "vmfs-nosbc" ? 1 : 0) << r.run.err;
  const std::map<std::string, Entry> manifest = Manifest(dir + "/" + name + ".tsv");
  const std::map<std::string, const Listed*> listed = ByPath(r.run);
  EXPECT_EQ(listed.size(), r.run.items.size()) << "an item listed twice";
  std::set<std::string> want, got;
  for (const auto& [path, e] : manifest)
    if (e.listed) want.insert(path);
  for (const auto& [path, l] : listed) got.insert(path);
  EXPECT_EQ(got, want);
  for (const auto& [path, size] : PeerListing(dir + "/" + name + ".ls.txt")) {
    if (!manifest.count(path) || !manifest.at(path).listed) continue;
    ASSERT_TRUE(listed.count(path)) << path;
    if (manifest.at(path).kind != "dir") {
      EXPECT_EQ(listed.at(path)->size, size) << path;
    }
  }
  const std::map<std::string, std::string> peer = PeerMd5s(dir + "/" + name + ".md5.txt");
  for (const auto& [path, e] : manifest) {
    if (!e.listed || e.kind == "dir") continue;
    const std::string out = r.dest + "/" + path;
    if (e.kind == "link" || !e.readable) {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(out))) << path;
      continue;
    }
    EXPECT_EQ(Md5File(out), e.md5) << path;
    if (peer.count(path) && peer.at(path) != "unreadable") {
      EXPECT_EQ(peer.at(path), e.md5) << path;
    }
    EXPECT_EQ(MTime(out), e.mtime) << path;
  }
}

}  // namespace

// Bare VMFS3 (1 MiB blocks) and VMFS5 (8 MiB blocks, sub-block addresses
// with two more item bits), and VMFS5 as the partition of a GPT disk: every
// addressing mode.
TEST(VmfsImage, ListsAndRecoversAsVmfsTools) {
  NEED_IMAGES();
  ListAndRecover(dir, dir + "/vmfs3.img", "vmfs3");
  ListAndRecover(dir, dir + "/vmfs5.img", "vmfs5");
  ListAndRecover(dir, dir + "/vmfs5-gpt.img", "vmfs5");
}

// Without ".sbc.sf" in the root the files in sub-blocks are listed but not
// read (a failed item), the rest as always.
TEST(VmfsImage, WithoutTheSubBlockFileSubBlockFilesAreListedNotRead) {
  NEED_IMAGES();
  ListAndRecover(dir, dir + "/vmfs-nosbc.img", "vmfs-nosbc");
}

// A file block size of 16 MiB and a descriptor of VMFS 6 make no volume;
// VMFS 6 says so.
TEST(VmfsImage, VolumesTheReaderDoesNotTakeAreRefused) {
  NEED_IMAGES();
  for (const char* name : {"vmfs-bs16m", "vmfs6"}) {
    SCOPED_TRACE(name);
    const DvscanRun r = Dvscan(std::string("'") + dir + "/" + name + ".img'");
    // Exit status 2: no volume ("Boot sector not found").
    EXPECT_EQ(r.rc, 2) << r.err;
    EXPECT_TRUE(r.items.empty());
    if (std::string(name) == "vmfs6") {
      EXPECT_NE(r.err.find("VMFS 6 is not read"), std::string::npos) << r.err;
    }
  }
}

// An address of the wrong kind in a file's list: the file comes back with
// zeros there, counted Corrupt with message 476, never Saved.
TEST(VmfsImage, ABadBlockAddressMakesTheFileCorrupt) {
  NEED_IMAGES();
  const TempFolder temp("vmfs_bad");
  const Recovered r = Recover(temp, "'" + dir + "/vmfs-damaged.img'");
  EXPECT_EQ(r.run.rc, 1) << r.run.err;  // bad.bin
  EXPECT_NE(r.log.find("Corrupt: " + r.dest + "/bad.bin"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("256 corrupt cluster(s) were filled with zeroes."), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("Saved: " + r.dest + "/bad.bin"), std::string::npos) << r.log;
  const std::map<std::string, Entry> manifest = Manifest(dir + "/vmfs-damaged.tsv");
  EXPECT_EQ(Md5File(r.dest + "/contig.bin"), manifest.at("contig.bin").md5);
}

// An image cut inside the files' data keeps its volume: what lies before
// the cut comes back exact, and no file of the lost part is logged Saved.
TEST(VmfsImage, ACutImageKeepsTheVolumeWithoutSilentZeros) {
  NEED_IMAGES();
  const TempFolder temp("vmfs_cut");
  const std::string image = temp.Path() + "/cut.img";
  // The metadata lies before the data: 18.5 MiB into the area the cut
  // falls between the blocks of apart.bin, after those of contig.bin.
  ASSERT_EQ(
      std::system(
          ("head -c " + std::to_string(kArea + 37 * 0x80000) + " '" + dir + "/vmfs3.img' >'" + image + "'").c_str()),
      0);
  const Recovered r = Recover(temp, "'" + image + "'");
  const std::map<std::string, Entry> manifest = Manifest(dir + "/vmfs3.tsv");
  int lost = 0, exact = 0;
  for (const auto& [path, e] : manifest) {
    if (!e.listed || e.kind != "file") continue;
    const std::string out = r.dest + "/" + path;
    if (r.log.find("Saved: " + out + "\n") != std::string::npos) {
      EXPECT_EQ(Md5File(out), e.md5) << path << " logged Saved";
      ++exact;
    } else {
      ++lost;
    }
  }
  EXPECT_GT(exact, 0);
  EXPECT_GT(lost, 0) << r.log;
  EXPECT_NE(r.log.find("Corrupt: "), std::string::npos) << r.log;
}

// Hostile names land inside the destination; "." and ".." are the folder
// and its parent, a name that fills its entry without an end is dropped.
TEST(VmfsImage, HostileNamesStayInsideTheDestination) {
  NEED_IMAGES();
  const TempFolder temp("vmfs_hostile");
  const Recovered r = Recover(temp, "'" + dir + "/vmfs-hostile.img'");
  EXPECT_EQ(r.run.rc, 0) << r.run.err;
  std::set<std::string> beside;
  for (const auto& e : std::filesystem::directory_iterator(temp.Path())) beside.insert(e.path().filename());
  EXPECT_EQ(beside, (std::set<std::string>{"out"}));
  std::set<std::string> contents;
  for (const auto& e : std::filesystem::recursive_directory_iterator(r.dest)) {
    if (!e.is_regular_file()) continue;
    EXPECT_EQ(e.path().parent_path(), std::filesystem::path(r.dest)) << e.path();
    const std::string text = ReadFileText(e.path());
    if (text.rfind("hostile", 0) == 0 || text == "plain\n") contents.insert(text);
  }
  // "a/b", "a\b", "../../x", the control characters and 127 bytes, and
  // plain.txt.
  EXPECT_EQ(contents.size(), 6u);
  for (int i : {2, 3, 4, 5, 6}) EXPECT_TRUE(contents.count("hostile " + std::to_string(i) + "\n")) << i;
  EXPECT_TRUE(contents.count("plain\n"));
}

// Damaged copies of the descriptor cluster and of a folder: refused or
// skipped, never a crash or a hang.
TEST(VmfsImage, HostileCopiesAreRefusedOrSkipped) {
  NEED_IMAGES();
  struct Case {
    const char* what;
    uint64_t (*at)(const std::string&);
    uint32_t value;
    bool volume;  // still listed
  };
  const Case cases[] = {
      // A header whose cluster headers reach past the first block.
      {"header size", [](const std::string&) { return kArea + 0x400000 + 8; }, 0x100000, false},
      // Group size not R x C x S + C x 1024.
      {"group size", [](const std::string&) { return kArea + 0x400000 + 16; }, 12345, false},
      // The root's descriptor without its magic.
      {"root magic", [](const std::string& i) { return DescriptorAt(i, 0); }, 0, false},
      // A descriptor's address mode nobody knows: the file is not read.
      {"mode", [](const std::string& i) { return DescriptorAt(i, 12) + 580; }, 77, true},
      // The root's entry of "docs" naming item 40 of a cluster of 32: the
      // folder is skipped, the rest listed.
      {"item past the cluster", [](const std::string& i) { return RootEntryAt(i, 7) + 4; }, (40u << 22) | 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TempFolder temp("vmfs_hostile_copy");
    const std::string image = temp.Path() + "/copy.img";
    std::filesystem::copy_file(dir + "/vmfs3.img", image);
    Patch(image, c.at(image), Le32Bytes(c.value));
    const Recovered r = Recover(temp, "'" + image + "'");
    // Exit status 2 where no volume is left.
    if (c.volume)
      EXPECT_TRUE(r.run.rc == 0 || r.run.rc == 1) << r.run.err;
    else
      EXPECT_EQ(r.run.rc, 2) << r.run.err;
    EXPECT_EQ(!r.run.items.empty(), c.volume);
    if (std::string(c.what) == "item past the cluster") {
      for (const Listed& l : r.run.items) EXPECT_NE(l.path.rfind("docs", 0), 0u) << l.path;
    }
  }
  // A sub-block file whose cluster (R x S) is larger than the file: its
  // reader is refused, the files in sub-blocks are not read.
  const TempFolder temp("vmfs_hostile_sbc");
  const std::string image = temp.Path() + "/copy.img";
  std::filesystem::copy_file(dir + "/vmfs3.img", image);
  const uint64_t sbc = kArea + 8 * 0x100000;  // after the descriptor and pointer-block files
  ASSERT_EQ(Le32At(ReadAt(image, sbc + 12, 4), 0), 65536u);
  Patch(image, sbc, Le32Bytes(1024));
  Patch(image, sbc + 16, Le32Bytes(1024u * 2 * 65536 + 2 * 1024));
  const Recovered r = Recover(temp, "'" + image + "'");
  EXPECT_NE(r.log.find("Failed: " + r.dest + "/docs/small.bin"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("Saved: " + r.dest + "/contig.bin"), std::string::npos) << r.log;
}

// A descriptor whose size says 2^62 bytes: the file is no longer than the
// blocks it addresses, its missing rest counted, and the copy ends at once
// instead of filling the destination with zeros.
TEST(VmfsImage, ASizeBeyondTheVolumeIsBoundedByTheBlocks) {
  NEED_IMAGES();
  const TempFolder temp("vmfs_huge");
  const std::string image = temp.Path() + "/copy.img";
  std::filesystem::copy_file(dir + "/vmfs3.img", image);
  uint32_t address = 0;
  for (uint32_t i = 0; i < 64 && !address; ++i) {
    const std::vector<uint8_t> e = ReadAt(image, RootEntryAt(image, i), 140);
    if (std::string(reinterpret_cast<const char*>(e.data()) + 12) == "contig.bin") address = Le32At(e, 4);
  }
  ASSERT_NE(address, 0u);
  ASSERT_EQ((address >> 6) & 0xFFFF, 0u);  // in the first cluster of descriptors
  const uint64_t huge = uint64_t(1) << 62;
  std::vector<uint8_t> size(8);
  std::memcpy(size.data(), &huge, 8);
  Patch(image, DescriptorAt(image, address >> 22) + 512 + 0x14, size);
  const Recovered r = Recover(temp, "'" + image + "'");
  EXPECT_EQ(r.run.rc, 1) << r.run.err;
  EXPECT_EQ(r.log.find("Saved: " + r.dest + "/contig.bin"), std::string::npos) << r.log;
  std::error_code ec;
  EXPECT_LE(std::filesystem::file_size(r.dest + "/contig.bin", ec), uint64_t(3) * 0x100000) << r.log;
  EXPECT_NE(r.log.find("Saved: " + r.dest + "/docs/small.bin"), std::string::npos) << r.log;
}

// Without its partition entry the Long Scan finds the volume by its header
// (kind 32), and with the header gone by its file-system descriptor (kind
// 33): the listing is the Quick Scan's of the intact disk.
TEST(VmfsImage, LongScanFindsTheVolumeWithoutItsPartitionEntry) {
  NEED_IMAGES();
  const DvscanRun quick = Dvscan("'" + dir + "/vmfs5-gpt.img'");
  ASSERT_EQ(quick.rc, 0) << quick.err;
  ASSERT_FALSE(quick.items.empty());
  const DvscanRun noTable = Dvscan("'" + dir + "/vmfs5-nogpt.img'");
  EXPECT_TRUE(noTable.items.empty()) << "found without the Long Scan";
  const DvscanRun header = Dvscan("--long --skip-headers '" + dir + "/vmfs5-nogpt.img'");
  ASSERT_EQ(header.rc, 0) << header.err;
  EXPECT_EQ(PathsAndSizes(header), PathsAndSizes(quick));
  const TempFolder temp("vmfs_long");
  const std::string image = temp.Path() + "/noheader.img";
  ASSERT_EQ(std::system(("cp --sparse=always '" + dir + "/vmfs5-nogpt.img' '" + image + "'").c_str()), 0);
  Patch(image, 0x100000 + 0x100000, std::vector<uint8_t>(512, 0));
  const DvscanRun super = Dvscan("--long --skip-headers '" + image + "'");
  ASSERT_EQ(super.rc, 0) << super.err;
  EXPECT_EQ(PathsAndSizes(super), PathsAndSizes(quick));
}

// A session lists and recovers what the scan did; with ".fdc.sf" unreadable
// after the save the load says so (message 636) and reads nothing.
TEST(VmfsImage, SessionsRoundTrip) {
  NEED_IMAGES();
  const TempFolder temp("vmfs_session");
  const std::string image = temp.Path() + "/vmfs3.img";
  std::filesystem::copy_file(dir + "/vmfs3.img", image);
  const std::string session = temp.Path() + "/scan.dvs";
  const DvscanRun scan = Dvscan("--save-session '" + session + "' '" + image + "'");
  ASSERT_EQ(scan.rc, 0) << scan.err;
  const TempFolder out1("vmfs_session_out");
  const Recovered loaded = Recover(out1, "--load-session '" + session + "'");
  ASSERT_EQ(loaded.run.rc, 0) << loaded.run.err;
  EXPECT_EQ(PathsAndSizes(loaded.run), PathsAndSizes(scan));
  const std::map<std::string, Entry> manifest = Manifest(dir + "/vmfs3.tsv");
  for (const auto& [path, e] : manifest)
    if (e.listed && e.kind == "file") {
      EXPECT_EQ(Md5File(loaded.dest + "/" + path), e.md5) << path;
    }
  // The descriptor of ".fdc.sf" (item 2) without its magic.
  Patch(image, DescriptorAt(image, 2), std::vector<uint8_t>(4, 0));
  const TempFolder out2("vmfs_session_broken");
  const Recovered broken = Recover(out2, "--load-session '" + session + "'");
  EXPECT_EQ(broken.run.rc, 1);
  EXPECT_NE((broken.log + broken.run.err)
                .find("Failed to reload the VMFS bitmap file \".fdc.sf.\" Please rescan the "
                      "device."),
            std::string::npos)
      << broken.log << broken.run.err;
}
