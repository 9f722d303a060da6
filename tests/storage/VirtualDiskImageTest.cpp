// The virtual-disk drives on files made by qemu-img and qemu-io
// (tests/fixtures/make_vdisk_images.sh) and on the differencing VHD chain
// of tests/fixtures/vdisk (qemu-made parent, children by
// tests/tools/mkvhdchild.py): every sector as qemu-img convert, img_cat and
// vhdimount read it, dvscan's list and recovered files as on the raw image,
// the refusals, the chain rules, a 4096-byte host disk and read errors of
// the files under the drive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/FaultySource.h"
#include "VirtualDiskBuilders.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "storage/VhdDrive.h"
#include "storage/VmdkDrive.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/LoopDevice.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"

using namespace vdisk_test;

namespace {

// The files of make_vdisk_images.sh; empty when they cannot be made.
std::string Files() {
  static std::string folder = [] {
    const std::string cache = FixtureCache();
    if (RunFixtureScript("make_vdisk_images.sh", cache, ">/dev/null 2>&1") != 0) return std::string();
    return cache + "/vdisk";
  }();
  return folder;
}

#define FILES_OR_SKIP(var)                       \
  const std::string var = Files();               \
  if (var.empty()) GTEST_SKIP() << "make_vdisk_images.sh: qemu-utils, sleuthkit or xz missing"

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string Peer(const std::string& dir, const std::string& file, const char* kind) {
  return Trim(ReadFileText(dir + "/" + file + "." + kind + ".md5"));
}

// Opens a drive by its name; null with the failure recorded.
std::unique_ptr<Drive> Open(const std::string& name) {
  std::unique_ptr<Drive> d;
  try {
    d.reset(CreateDrive(FromUtf8(name)));
    d->InitDrive(FromUtf8(name));
  } catch (const DvCodeError&) {
    ADD_FAILURE() << "cannot open " << name << ": " << ToUtf8(LastErrorText());
    return nullptr;
  }
  return d;
}

// The last error of a name that must not open.
std::string Refused(const std::string& name) {
  std::unique_ptr<Drive> d;
  try {
    d.reset(CreateDrive(FromUtf8(name)));
    d->InitDrive(FromUtf8(name));
  } catch (const DvCodeError&) {
    return ToUtf8(LastErrorText());
  }
  ADD_FAILURE() << name << " opened";
  return std::string();
}

// The md5 of every sector, read in requests of `request` bytes into the
// drive's buffer or into one of ours.
std::string DriveMd5(Drive& d, uint32_t request = 0x100000, bool ownBuffer = false) {
  Md5 md5;
  std::vector<uint8_t> mine(request);
  const uint64_t total = d.SectorCount() * d.SectorSize();
  for (uint64_t at = 0; at < total; at += request) {
    const uint32_t n = uint32_t(std::min<uint64_t>(request, total - at));
    uint8_t* data = d.ReadSectors(int64_t(at / d.SectorSize()), n, 0x10000, ownBuffer ? mine.data() : nullptr, true);
    if (!data) return "read failed: " + ToUtf8(LastErrorText());
    md5.Update(data, n);
  }
  uint8_t digest[kMd5DigestSize];
  md5.Final(digest);
  return HexText(digest, sizeof digest);
}

std::string Sector(Drive& d, int64_t sector) {
  uint8_t* p = d.ReadSectors(sector, d.SectorSize(), 0x10000, nullptr, true);
  return p ? std::string(reinterpret_cast<char*>(p), d.SectorSize()) : std::string("read failed");
}

class VirtualDiskImage : public testing::Test {
 protected:
  void SetUp() override { g_appState->view = &view; }
  void TearDown() override {
    g_appState->view = nullptr;
    SetBlockSourceOpener(nullptr);
  }
  GlobalObjectsScope scope;
  HeadlessView view;
};
using VirtualDiskFilesTest = VirtualDiskImage;
using VirtualDiskChainTest = VirtualDiskImage;

// ---- formats ----

TEST_F(VirtualDiskFilesTest, EveryFormatReadsAsItsPeersReadIt) {
  FILES_OR_SKIP(dir);
  const std::string raw = ReadFileText(dir + "/basic.img");
  ASSERT_EQ(raw.size(), 64u << 20);
  struct Case {
    const char* file;
    int kind;  // VHD disk type or VMDK extent kind
    bool compound;
    bool imgcat;
  } cases[] = {
      {"dyn.vhd", 3, true, true},         {"fixed.vhd", 2, false, true},     {"x1m.vhdx", 5, true, false},
      {"x32m.vhdx", 5, true, false},      {"xfixed.vhdx", 5, true, false},   {"sparse.vmdk", 1, false, true},
      {"zg.vmdk", 1, false, true},        {"flat-flat.vmdk", 0, false, true},
  };
  std::mt19937 random(22);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto d = Open(dir + "/" + c.file);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->SectorSize(), 512u);
    EXPECT_EQ(d->SectorCount(), 131072u) << "a fixed disk's footer is no sector of the disk";
    EXPECT_EQ(d->IsCompound(), c.compound);
    if (auto* v = dynamic_cast<VHDDrive*>(d.get())) {
      EXPECT_EQ(v->diskType, c.kind);
    } else if (auto* m = dynamic_cast<VMDKDrive*>(d.get())) {
      EXPECT_EQ(m->extentKind, c.kind);
    } else {
      ADD_FAILURE() << "not a virtual-disk drive";
    }
    const std::string peer = c.file == std::string("flat-flat.vmdk") ? Peer(dir, "flat.vmdk", "qemu")
                                                                     : Peer(dir, c.file, "qemu");
    EXPECT_EQ(DriveMd5(*d), peer) << "qemu-img convert -O raw";
    if (c.imgcat) {
      EXPECT_EQ(DriveMd5(*d, 0x10000, true), Peer(dir, c.file, "imgcat")) << "img_cat";
    }
    // Scattered reads of odd lengths, into our buffer and into the drive's.
    for (int i = 0; i < 200; ++i) {
      const uint32_t sectors = 1 + random() % 700;
      const int64_t first = int64_t(random() % (131072 - sectors));
      std::vector<uint8_t> mine(sectors * 512);
      const bool own = i % 2 == 0;
      uint8_t* p = d->ReadSectors(first, sectors * 512, 0x10000, own ? mine.data() : nullptr, true);
      ASSERT_TRUE(p);
      ASSERT_EQ(memcmp(p, raw.data() + first * 512, sectors * 512), 0) << first << " " << sectors;
    }
    EXPECT_EQ(d->TotalErrors(), 0u);
  }
}

TEST_F(VirtualDiskFilesTest, UnallocatedZeroAndWrittenBlocks) {
  FILES_OR_SKIP(dir);
  for (const char* file : {"sp-dyn.vhd", "sp-1m.vhdx", "sp-32m.vhdx", "sp.vmdk", "sp-zg.vmdk"}) {
    SCOPED_TRACE(file);
    auto d = Open(dir + "/" + file);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->SectorCount(), 32768u);
    EXPECT_EQ(DriveMd5(*d), Peer(dir, file, "qemu"));
    EXPECT_EQ(Sector(*d, 3 * 2048), std::string(512, '\x5a'));
    EXPECT_EQ(Sector(*d, 9 * 2048 + 7), std::string(512, '\0'));
    EXPECT_EQ(Sector(*d, 14 * 2048), std::string(512, '\0'));
  }
}

TEST_F(VirtualDiskFilesTest, QuickScanListsAndRecoversAsOnTheRawImage) {
  FILES_OR_SKIP(dir);
  auto dvscan = [](const std::string& args) {
    return RunCommandStatus(std::string(DV_BINARY_DIR) + "/bin/dvscan " + args + " 2>&1");
  };
  const TempFolder tmpTemp("vdisk_scan");
  const std::string tmp = tmpTemp.Path();
  const CommandRun rawRun = dvscan("--list '" + tmp + "/raw.tsv' '" + dir + "/basic.img'");
  ASSERT_EQ(rawRun.rc, 0) << rawRun.out;
  const std::string rawList = ReadFileText(tmp + "/raw.tsv");
  ASSERT_GT(std::count(rawList.begin(), rawList.end(), '\n'), 10);
  std::map<std::string, std::string> icat;
  {
    std::istringstream md5s(ntfs_fixture::Report("basic", "icat-md5"));
    std::string line;
    while (std::getline(md5s, line)) {
      const size_t a = line.find("  "), b = line.find(' ', a + 2);
      if (a == std::string::npos || b == std::string::npos) continue;
      const std::string path = line.substr(b + 1);
      if (path[0] == '$' || path.find("$RECYCLE.BIN") != std::string::npos) continue;
      icat[path] = line.substr(0, a);
    }
  }
  ASSERT_FALSE(icat.empty());
  for (const char* file : {"dyn.vhd", "fixed.vhd", "x1m.vhdx", "x32m.vhdx", "xfixed.vhdx", "sparse.vmdk", "zg.vmdk",
                           "flat-flat.vmdk"}) {
    SCOPED_TRACE(file);
    const std::string out = tmp + "/" + file;
    const CommandRun run = dvscan("--list '" + out + ".tsv' --recover '" + out + ".d' '" + dir + "/" + file + "'");
    ASSERT_EQ(run.rc, 0) << run.out;
    EXPECT_EQ(ReadFileText(out + ".tsv"), rawList);
    EXPECT_NE(run.out.find(" failed=0 corrupt=0"), std::string::npos) << run.out;
    int checked = 0;
    for (const auto& [path, md5] : icat) {
      std::string f = out + ".d/" + path;
      if (path == "plain.bin" && access(f.c_str(), F_OK) != 0) f = out + ".d/plain-link.bin";  // a hard link
      struct stat st;
      if (stat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      EXPECT_EQ(Md5File(f), md5) << path;
      checked++;
    }
    EXPECT_GT(checked, 5);
  }
}

TEST_F(VirtualDiskFilesTest, DamagedAndUnsupportedFilesAreRefused) {
  FILES_OR_SKIP(dir);
  const std::string vhdx = "Invalid VHDX. Could not parse VHDX's Region";
  struct Case {
    std::string name;
    std::string message;
  } cases[] = {
      {dir + "/so.vmdk", "Compressed (stream-optimized) VMDK files are not supported."},
      {dir + "/flat.vmdk",
       dir + "/flat.vmdk is a VMDK text descriptor: open its extent file " + dir + "/flat-flat.vmdk instead."},
      {dir + "/bad-block0.vhd",
       "Invalid VHD header: a block size of 0 bytes (a power of two from 4 KiB to 256 MiB is "
       "needed)."},
      {dir + "/bad-block3m.vhdx", vhdx},
      {dir + "/bad-sector1000.vhdx", vhdx},
      {dir + "/bad-regions.vhdx", vhdx},
      {dir + "/bad-grain0.vmdk", "Invalid VMDK header"},
      {dir + "/bad-capacity.vmdk",
       "Invalid VMDK header: a capacity of 2147483648 sectors needs 32768 grain directory entries, more than fit "
       "before the grains at sector 128."},
      // A bad file anywhere in a chain refuses the chain.
      {"VHD(" + dir + "/bad-block0.vhd|" + dir + "/dyn.vhd)",
       "Invalid VHD header: a block size of 0 bytes (a power of two from 4 KiB to 256 MiB is needed)."},
      {"VMDK(" + dir + "/base.vmdk|" + dir + "/so.vmdk)",
       "Compressed (stream-optimized) VMDK files are not supported."},
      // Members that cannot stand in a definition.
      {"VHD(" + dir + "/dyn.vhd|relative.vhd)",
       "A file of a chained image must be an absolute path without '|' or ')': \"relative.vhd\" in VHD(" + dir +
           "/dyn.vhd|relative.vhd)."},
      {"VHD(" + dir + "/a)b.vhd)", "A file of a chained image must be an absolute path without '|' or ')': \"" + dir +
                                       "/a)b.vhd\" in VHD(" + dir + "/a)b.vhd)."},
      {"VHD()", "A file of a chained image must be an absolute path without '|' or ')': \"\" in VHD()."},
      {"VHD(|)", "A file of a chained image must be an absolute path without '|' or ')': \"\" in VHD(|)."},
      {"VHD(" + dir + "/dyn.vhd||" + dir + "/dyn.vhd)",
       "A file of a chained image must be an absolute path without '|' or ')': \"\" in VHD(" + dir + "/dyn.vhd||" +
           dir + "/dyn.vhd)."},
      {dir + "/missing.vhd", dir + "/missing.vhd: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Refused(c.name), c.message);
  }
  // Nothing stays open: no file is left a protected source.
  EXPECT_FALSE(theTrace().IsProtectedSource(dir + "/so.vmdk"));
  EXPECT_FALSE(theTrace().IsProtectedSource(dir + "/dyn.vhd"));
  // Different sector sizes cannot be chained.
  const TempFolder tmpTemp("vdisk_4k");
  const std::string tmp = tmpTemp.Path();
  VhdxFile v(4 * kMiB, uint32_t(kMiB), 4096, 4 * kMiB);
  WriteFileText(tmp + "/sect4k.vhdx", std::string(v.b.begin(), v.b.end()));
  EXPECT_NE(Refused("VHD(" + tmp + "/sect4k.vhdx|" + dir + "/dyn.vhd)").find("different sector sizes"),
            std::string::npos);
  auto d = Open(tmp + "/sect4k.vhdx");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->SectorSize(), 4096u);
  EXPECT_EQ(d->SectorCount(), 1024u);
  EXPECT_EQ(Sector(*d, 5), std::string(4096, '\0'));
}

TEST_F(VirtualDiskFilesTest, ReadingRules) {
  FILES_OR_SKIP(dir);
  auto state = std::make_shared<FaultState>();
  FaultyOpener opener(state);
  auto d = Open(dir + "/sparse.vmdk");
  ASSERT_TRUE(d);
  // Sector -1: message 362 and no data.
  EXPECT_EQ(d->ReadSectors(-1, 512, 0x10000, nullptr, true), nullptr);
  EXPECT_EQ(LastErrorText(), FormatW(Msg(362), int64_t(-1)));
  // More than the transfer size is refused.
  EXPECT_EQ(d->ReadSectors(0, d->TransferSize() + 512, 0x10000, nullptr, true), nullptr);
  // A second read of the same sectors into the drive's buffer comes from it.
  uint8_t* first = d->ReadSectors(2048, 65536, 0x10000, nullptr, true);
  ASSERT_TRUE(first);
  const std::string kept(reinterpret_cast<char*>(first), 65536);
  const size_t calls = state->CallCount();
  uint8_t* again = d->ReadSectors(2050, 4096, 0x10000, nullptr, true);
  ASSERT_TRUE(again);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(again), 4096), kept.substr(1024, 4096));
  EXPECT_EQ(state->CallCount(), calls);
  // A read asked for without waiting is ended by FinishRead.
  std::vector<uint8_t> mine(4096);
  EXPECT_EQ(d->ReadSectors(2048, 4096, 0x10000, mine.data(), false), Drive::kReadStarted);
  EXPECT_EQ(d->FinishRead(), mine.data());
  EXPECT_EQ(std::string(mine.begin(), mine.end()), kept.substr(0, 4096));
  // Past the end: zeros, no error.
  std::vector<uint8_t> tail(8 * 512, 0xAB);
  ASSERT_TRUE(d->ReadSectors(int64_t(d->SectorCount()) - 2, 8 * 512, 0x10000, tail.data(), true));
  EXPECT_TRUE(std::all_of(tail.begin() + 1024, tail.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(d->TotalErrors(), 0u);
}

TEST_F(VirtualDiskFilesTest, ReadErrorsOfTheFileCountAndAreNotKept) {
  FILES_OR_SKIP(dir);
  const std::string raw = ReadFileText(dir + "/basic.img");
  // dyn.vhd: footer copy, header, then its table at byte 1536.
  auto state = std::make_shared<FaultState>();
  state->bad.push_back({1536, 2048});
  FaultyOpener opener(state);
  auto d = Open(dir + "/dyn.vhd");
  ASSERT_TRUE(d);
  const uint8_t* p = d->ReadSectors(5000, 512, 0x10000, nullptr, true);
  ASSERT_TRUE(p);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 512), std::string(512, '\0'));
  EXPECT_EQ(d->TotalErrors(), 1u) << "an unreadable table is a read error, never a hole";
  state->bad.clear();
  EXPECT_EQ(Sector(*d, 5000), raw.substr(5000 * 512, 512)) << "the zeros were not kept";
  EXPECT_EQ(d->TotalErrors(), 1u);
  // The data of a block.
  const std::string vhd = ReadFileText(dir + "/dyn.vhd");
  const uint32_t entry = GetBigEndian(vhd.data() + 1536, 4);
  state->bad.push_back({(uint64_t(entry) + 1) * 512, (uint64_t(entry) + 2) * 512});
  std::vector<uint8_t> mine(65536);
  ASSERT_TRUE(d->ReadSectors(0, 65536, 0x10000, mine.data(), true));
  EXPECT_EQ(d->TotalErrors(), 2u);
}

TEST_F(VirtualDiskFilesTest, DynamicVhdOnADiskOf4096ByteSectors) {
  FILES_OR_SKIP(dir);
  if (getuid() != 0 || !HaveTool("losetup") || !HaveTool("mkfs.ext4")) GTEST_SKIP() << "needs root, losetup, mke2fs";
  const TempFolder tmpTemp("vdisk_host4k");
  const std::string tmp = tmpTemp.Path();
  const std::string img = tmp + "/host.img", mnt = tmp + "/mnt";
  RunCommand("truncate -s 64M '" + img + "' && mkdir -p '" + mnt + "'");
  LoopDevice loop(img, "--sector-size 4096");
  if (loop.path().empty()) GTEST_SKIP() << "no loop device";
  const bool mounted = RunCommandStatus("mkfs.ext4 -q -F '" + loop.path() + "' >/dev/null 2>&1 && mount '" +
                                        loop.path() + "' '" + mnt + "' && cp '" + dir + "/dyn.vhd' '" + mnt +
                                        "/on4k.vhd'")
                           .rc == 0;
  if (mounted) {
    EXPECT_EQ(GetPathSectorSize(FromUtf8(mnt + "/on4k.vhd")), 4096);
    auto d = Open(mnt + "/on4k.vhd");
    if (d) {
      EXPECT_EQ(d->SectorSize(), 512u);
      EXPECT_EQ(d->SectorCount(), 131072u);
      EXPECT_EQ(DriveMd5(*d), Peer(dir, "dyn.vhd", "qemu"));
    }
  }
  RunCommand("umount '" + mnt + "' 2>/dev/null");
  loop.Detach();
  ASSERT_TRUE(mounted);
}

// ---- chains ----

TEST_F(VirtualDiskChainTest, VmdkChains) {
  FILES_OR_SKIP(dir);
  const std::string base = dir + "/base.vmdk", c1 = dir + "/c1.vmdk", c2 = dir + "/c2.vmdk", zc = dir + "/zc.vmdk";
  struct Case {
    std::string name;
    int depth;
    std::string peer;
  } cases[] = {
      {base, 1, "base.vmdk"},
      {"VMDK(" + base + ")", 1, "base.vmdk"},
      {"VMDK(" + base + "|" + c1 + ")", 2, "c1.vmdk"},
      {"VMDK(" + base + "|" + c1 + "|" + c2 + ")", 3, "c2.vmdk"},
      {"VMDK(" + base + "|" + zc + ")", 2, "zc.vmdk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = Open(c.name);
    ASSERT_TRUE(d);
    auto* v = dynamic_cast<VMDKDrive*>(d.get());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->ChainDepth(), c.depth);
    EXPECT_EQ(v->IsCompound(), c.depth > 1);
    EXPECT_EQ(DriveMd5(*d), Peer(dir, c.peer, "qemu"));
  }
  // A zeroed grain (entry 1) reads zeros though the parent holds data.
  auto chain = Open("VMDK(" + base + "|" + zc + ")");
  auto alone = Open(base);
  ASSERT_TRUE(chain && alone);
  EXPECT_EQ(Sector(*alone, 2048 + 5), std::string(512, '\x11'));
  EXPECT_EQ(Sector(*chain, 2048 + 5), std::string(512, '\0'));
  EXPECT_EQ(Sector(*chain, 4096 + 5), std::string(512, '\x41'));
  EXPECT_EQ(Sector(*chain, 8192 * 2 + 5), std::string(512, '\x12')) << "from the parent";
  // A child without its parent is refused naming the parent; a chain out of
  // order naming the order its ids give.
  EXPECT_EQ(Refused(c2), c2 +
                             " is a differencing image: its parent \"c1.vmdk\" is needed. Open the parent and this "
                             "file together as a chained image, oldest first: VMDK(" +
                             c1 + "|" + c2 + ").");
  EXPECT_EQ(Refused("VMDK(" + base + "|" + c2 + "|" + c1 + ")"),
            "The files of the chained image are not in order: " + base + " is not the parent of " + c2 +
                ". Oldest first, they are VMDK(" + base + "|" + c1 + "|" + c2 + ").");
}

// The differencing chain of tests/fixtures/vdisk, unpacked into the cache.
std::string DiffChain() {
  static std::string folder = [] {
    const std::string out = FixtureCache() + "/diffchain";
    return RunFixtureScript("vdisk/unpack_diffchain.sh", out, ">/dev/null 2>&1") == 0 ? out : std::string();
  }();
  return folder;
}

// "md5  child vhdiN" lines of the recorded vhdimount views.
std::map<std::string, std::string> RecordedViews() {
  std::map<std::string, std::string> views;
  std::istringstream in(ReadFileText(std::string(DV_SOURCE_DIR) + "/tests/fixtures/vdisk/diffchain.peers.txt"));
  std::string line;
  std::regex rx("^([0-9a-f]{32})  (\\S+) (vhdi\\d+)$");
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_match(line, m, rx)) views[m[2].str() + " " + m[3].str()] = m[1];
  return views;
}

TEST_F(VirtualDiskChainTest, DifferencingVhdChainsReadAsVhdimountShowsThem) {
  const std::string dir = DiffChain();
  if (dir.empty()) GTEST_SKIP() << "xz or tar missing";
  const std::map<std::string, std::string> views = RecordedViews();
  ASSERT_EQ(views.size(), 54u);
  if (HaveTool("vhdiinfo")) {
    // The generator's files are what the format says: a differential disk
    // naming its parent's identifier.
    const std::string info = RunCommand("vhdiinfo '" + dir + "/c1.vhd' 2>&1");
    EXPECT_NE(info.find("Disk type\t\t: Differential"), std::string::npos) << info;
    const std::string parent = ReadFileText(dir + "/p.vhd").substr(68, 16);
    char id[40];
    const auto* u = reinterpret_cast<const uint8_t*>(parent.data());
    snprintf(id, sizeof id, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1], u[2],
             u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    EXPECT_NE(info.find(std::string("Parent identifier\t: ") + id), std::string::npos) << info << id;
  }
  auto chain = [&](int children) {
    std::string name = "VHD(" + dir + "/p.vhd";
    for (int i = 1; i <= children; ++i) name += "|" + dir + "/c" + std::to_string(i) + ".vhd";
    return name + ")";
  };
  struct Case {
    int children;
    int depth;
    std::string view;
  } cases[] = {
      {0, 1, "c1.vhd vhdi1"},  // the parent alone: qemu's dynamic disk
      {1, 2, "c1.vhd vhdi2"},
      {2, 3, "c2.vhd vhdi3"},  // 4 MiB blocks: bitmaps of two sectors
      {3, 4, "c3.vhd vhdi4"},
      {8, 8, "c7.vhd vhdi8"},  // nine files: the first eight are opened
      {9, 8, "c7.vhd vhdi8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.children);
    auto d = Open(chain(c.children));
    ASSERT_TRUE(d);
    auto* v = dynamic_cast<VHDDrive*>(d.get());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->ChainDepth(), c.depth);
    EXPECT_EQ(v->diskType, c.children ? 4 : 3);
    EXPECT_EQ(DriveMd5(*d, 0x100000, c.children % 2 == 1), views.at(c.view));
  }
  EXPECT_NE(views.at("c7.vhd vhdi8"), views.at("c8.vhd vhdi9"));
  // A child alone is refused, naming its parent from the header and the
  // locator; chains out of order name the order the unique ids give.
  const std::string c1 = dir + "/c1.vhd", c2 = dir + "/c2.vhd", p = dir + "/p.vhd";
  EXPECT_EQ(Refused(c1), c1 +
                             " is a differencing image: its parent \"p.vhd\" or \".\\p.vhd\" is needed. Open the "
                             "parent and this file together as a chained image, oldest first: VHD(" +
                             p + "|" + c1 + ").");
  EXPECT_EQ(Refused("VHD(" + c1 + "|" + p + ")"), "The files of the chained image are not in order: the oldest file, " +
                                                      c1 +
                                                      ", is itself a differencing image. Oldest first, they are "
                                                      "VHD(" +
                                                      p + "|" + c1 + ").");
  EXPECT_EQ(Refused("VHD(" + p + "|" + c2 + "|" + c1 + ")"),
            "The files of the chained image are not in order: " + p + " is not the parent of " + c2 +
                ". Oldest first, they are VHD(" + p + "|" + c1 + "|" + c2 + ").");
}

TEST_F(VirtualDiskChainTest, EveryFileOfTheChainIsProtected) {
  const std::string dir = DiffChain();
  if (dir.empty()) GTEST_SKIP() << "xz or tar missing";
  const std::string p = dir + "/p.vhd", c1 = dir + "/c1.vhd", c2 = dir + "/c2.vhd";
  {
    auto d = Open("VHD(" + p + "|" + c1 + "|" + c2 + ")");
    ASSERT_TRUE(d);
    auto* v = dynamic_cast<VHDDrive*>(d.get());
    ASSERT_TRUE(v);
    const std::vector<SourceIdentity> ids = v->ChainIdentities();
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0].imagePath, c2);
    EXPECT_EQ(ids[2].imagePath, p);
    for (const std::string& f : {p, c1, c2}) {
      EXPECT_TRUE(theTrace().IsProtectedSource(f)) << f;
      EXPECT_FALSE(d->IsSafeVolume(FromUtf8(f))) << f;
    }
    const TempFolder otherTemp("vdisk_dest");
    const std::string other = otherTemp.Path();
    EXPECT_TRUE(d->IsSafeVolume(FromUtf8(other + "/out")));
  }
  for (const std::string& f : {p, c1, c2}) EXPECT_FALSE(theTrace().IsProtectedSource(f)) << f;
}

TEST_F(VirtualDiskChainTest, DestinationInsideALoopMountOfAParentIsRefused) {
  FILES_OR_SKIP(dir);
  if (getuid() != 0 || !HaveTool("mkfs.ext4") || !HaveTool("qemu-img")) GTEST_SKIP() << "needs root, mke2fs";
  // A flat extent holding an ext4 volume (with its descriptor, which qemu
  // needs to chain to it), a sparse child over it.
  const TempFolder tmpTemp("vdisk_loopdest");
  const std::string tmp = tmpTemp.Path();
  const std::string base = tmp + "/base-flat.vmdk", child = tmp + "/child.vmdk", mnt = tmp + "/mnt";
  ASSERT_EQ(RunCommandStatus("cd '" + tmp + "' && truncate -s 16M ext.img && mkfs.ext4 -q -F ext.img && "
                             "qemu-img convert -O vmdk -o subformat=monolithicFlat ext.img base.vmdk && "
                             "qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk && mkdir -p mnt")
                .rc,
            0);
  auto d = Open("VMDK(" + base + "|" + child + ")");
  ASSERT_TRUE(d);
  EXPECT_EQ(Sector(*d, 2).substr(56, 2), "\x53\xEF") << "the ext4 superblock, through the child";
  if (RunCommandStatus("mount -o loop,ro '" + base + "' '" + mnt + "' 2>/dev/null").rc == 0) {
    EXPECT_FALSE(d->IsSafeVolume(FromUtf8(mnt + "/recovered")));
    RunCommand("umount '" + mnt + "'");
  } else {
    ADD_FAILURE() << "cannot loop-mount " << base;
  }
  EXPECT_TRUE(d->IsSafeVolume(FromUtf8(tmp + "/recovered")));
  d.reset();
}

TEST_F(VirtualDiskChainTest, CopyOnWriteBaseUnderAHostedSparseChild) {
  // A copy-on-write extent: 16384 sectors, grains of 8 sectors, one grain
  // table of 4096 entries at sector 8, grains from sector 40.
  const TempFolder tmpTemp("vdisk_cowd");
  const std::string tmp = tmpTemp.Path();
  Bytes cow = CowdVmdk(16384, 8, 4, 2, (40 + 3 * 8) * 512);
  Put32(cow, 4 * 512, 8);
  Put32(cow, 4 * 512 + 4, 0);
  Put32(cow, 8 * 512 + 4 * 0, 40);
  Put32(cow, 8 * 512 + 4 * 3, 48);
  Put32(cow, 8 * 512 + 4 * 4, 56);
  for (int g = 0; g < 3; ++g) memset(cow.data() + (40 + 8 * g) * 512, 0xC0 + g, 8 * 512);
  WriteFileText(tmp + "/base.vmdk", std::string(cow.begin(), cow.end()));
  // The child: 8 grains a table; grain 0 zeroed, grain 4 its own, the
  // second table absent (the parent's).
  Bytes kid = SparseVmdk(16384, 8, 8, 1, 24 * 512);
  for (uint32_t t = 0; t < 256; ++t) Put32(kid, 512 + 4 * t, t == 0 ? 4 : 0);
  Put32(kid, 4 * 512 + 4 * 0, 1);
  Put32(kid, 4 * 512 + 4 * 4, 16);
  memset(kid.data() + 16 * 512, 0xD4, 8 * 512);
  WriteFileText(tmp + "/child.vmdk", std::string(kid.begin(), kid.end()));

  auto base = Open(tmp + "/base.vmdk");
  ASSERT_TRUE(base);
  EXPECT_EQ(dynamic_cast<VMDKDrive*>(base.get())->extentKind, 2);
  EXPECT_EQ(base->SectorCount(), 16384u);
  auto d = Open("VMDK(" + tmp + "/base.vmdk|" + tmp + "/child.vmdk)");
  ASSERT_TRUE(d);
  std::string want(16384 * 512, '\0');
  memset(want.data() + 3 * 8 * 512, 0xC1, 8 * 512);   // grain 3: the parent's
  memset(want.data() + 4 * 8 * 512, 0xD4, 8 * 512);   // grain 4: the child's
  std::string got(16384 * 512, 'x');
  for (int64_t s = 0; s < 16384; s += 2048)
    ASSERT_TRUE(d->ReadSectors(s, 2048 * 512, 0x10000, got.data() + s * 512, true));
  EXPECT_TRUE(got == want) << "grain 0 zeroed in the child, grain 3 from the copy-on-write base";
  EXPECT_EQ(Sector(*base, 1).substr(0, 1), "\xC0");
}

TEST_F(VirtualDiskChainTest, NamesGiveTheirDrives) {
  struct Case {
    const char16_t* name;
    bool vhd;
  } cases[] = {{u"/x/disk.VHDX", true}, {u"VHD(/a.vhd|/b.vhd)", true}, {u"/x/disk.vhd", true},
               {u"/x/disk.vmdk", false}, {u"VMDK(/a.vmdk)", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    Drive* d = CreateDrive(c.name);
    ASSERT_TRUE(d);
    EXPECT_EQ(dynamic_cast<VHDDrive*>(d) != nullptr, c.vhd);
    EXPECT_EQ(dynamic_cast<VMDKDrive*>(d) != nullptr, !c.vhd);
    EXPECT_THROW(d->InitDrive(c.name), DvCodeError) << "no such files";
    DeleteDrive(&d);
    EXPECT_EQ(d, nullptr);
  }
}

}  // namespace
