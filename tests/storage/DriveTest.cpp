#include "storage/Drive.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "tests/support/FaultySource.h"
#include "tests/support/LoopDevice.h"
#include "SysfsFixture.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/DiskList.h"
#include "storage/ImageFiles.h"
#include "storage/RDrive.h"
#include "storage/SDrive.h"

namespace {

constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t k64K = 0x10000;

std::string Hex(const uint8_t* digest) {
  char hex[2 * kMd5DigestSize + 1] = {};
  HexEncode(hex, digest, kMd5DigestSize);
  std::string s(hex);
  for (char& c : s) c = AsciiLower(c);
  return s;
}

std::string Md5Sum(const std::string& command) {
  std::string out = RunCommand(command + " | md5sum");
  return out.substr(0, 32);
}

std::string Md5OfFile(const std::string& path) { return Md5Sum("cat '" + path + "'"); }

std::string DdMd5(const std::string& path, uint32_t bs, uint64_t skip, uint64_t count) {
  return Md5Sum("dd if='" + path + "' bs=" + std::to_string(bs) + " skip=" + std::to_string(skip) +
                " count=" + std::to_string(count) + " status=none");
}

// The md5 of every sector of the drive, read in requests of `request`
// bytes, into the drive's buffer or into one of ours.
std::string Md5OfDrive(Drive& d, uint32_t request, bool ownBuffer) {
  Md5 md5;
  std::vector<uint8_t> mine(request);
  const uint64_t total = d.SectorCount() * d.SectorSize();
  for (uint64_t at = 0; at < total; at += request) {
    uint32_t n = uint32_t(std::min<uint64_t>(request, total - at));
    uint8_t* data = d.ReadSectors(int64_t(at / d.SectorSize()), n, k64K, ownBuffer ? mine.data() : nullptr, true);
    if (!data) return "read failed";
    md5.Update(data, n);
  }
  uint8_t digest[kMd5DigestSize];
  md5.Final(digest);
  return Hex(digest);
}

// A fixture image made by the standard tools; skips without them.
std::string FixtureImage(const std::string& kind) {
  const std::string folder = FixtureCache();
  if (RunFixtureScript("make_fs_images.sh", folder, kind) != 0) return std::string();
  return folder + "/" + kind + ".img";
}


class DriveTest : public testing::Test {
 protected:
  TempFolder temp_{"drive"};
  void SetUp() override {
    g_appState->view = &view;
    dir = temp_.Path();
  }
  void TearDown() override {
    g_appState->view = nullptr;
    SetBlockSourceOpener(nullptr);
  }
  // Opens a drive; null (with the failure recorded) when it cannot.
  std::unique_ptr<Drive> Open(WStringView name) {
    std::unique_ptr<Drive> d;
    try {
      d.reset(CreateDrive(name));
      d->InitDrive(name);
    } catch (const DvCodeError&) {
      ADD_FAILURE() << "cannot open " << ToUtf8(name) << ": " << ToUtf8(LastErrorText());
      return nullptr;
    }
    return d;
  }
  // The last error of a name that must not open.
  WString OpenFails(WStringView name) {
    std::unique_ptr<Drive> d;
    try {
      d.reset(CreateDrive(name));
      d->InitDrive(name);
    } catch (const DvCodeError&) {
      return LastErrorText();
    }
    ADD_FAILURE() << ToUtf8(name) << " opened";
    return WString();
  }
  // A file of the pattern bytes.
  std::string PatternFile(const std::string& name, size_t size) {
    std::string path = dir + "/" + name;
    auto bytes = PatternBytes(size);
    WriteFileText(path, std::string(bytes->begin(), bytes->end()));
    return path;
  }
  std::vector<WString> WaitForLines(size_t n) { return WaitForViewLines(view, n); }

  GlobalObjectsScope scope;
  HeadlessView view;
  std::string dir;
};

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// ------------------------------------------------------------ real images

TEST_F(DriveTest, EverySectorOfRealImagesHasTheFilesMd5) {
  for (const char* kind : {"ntfs", "ext4"}) {
    SCOPED_TRACE(kind);
    std::string img = FixtureImage(kind);
    if (img.empty()) GTEST_SKIP() << "mkntfs or mke2fs missing";
    auto d = Open(FromUtf8(img));
    ASSERT_TRUE(d);
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_TRUE(d->IsImage());
    EXPECT_FALSE(d->IsVolumeDevice());
    EXPECT_EQ(d->SectorSize(), 512u);
    EXPECT_EQ(d->SectorCount(), uint64_t(st.st_size) / 512);
    EXPECT_EQ(d->DefaultBootSector(), 0u);
    const std::string expected = Md5OfFile(img);
    EXPECT_EQ(Md5OfDrive(*d, kMiB, false), expected);
    // Odd request sizes into a caller's buffer come out the same.
    EXPECT_EQ(Md5OfDrive(*d, 300 * 512, true), expected);
    EXPECT_EQ(d->TotalErrors(), 0u);
  }
}

TEST_F(DriveTest, ExtentSliceEqualsDd) {
  std::string img = FixtureImage("ntfs");
  if (img.empty()) GTEST_SKIP() << "mkntfs missing";
  const uint64_t sectors = 16 * kMiB / 512;
  struct Case {
    uint64_t first, last;
  };
  for (Case c : {Case{0, 99}, Case{2048, 4095}, Case{5, 5}, Case{sectors - 1, sectors - 1}, Case{777, 30000}}) {
    SCOPED_TRACE(c.first);
    WString name = FormatW(u"%s<%I64d:%I64d>", FromUtf8(img), int64_t(c.first), int64_t(c.last));
    auto d = Open(name);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Name(), FromUtf8(img)) << "the opened name is the file";
    EXPECT_EQ(d->ExtentFirstSector(), c.first);
    EXPECT_EQ(d->SectorCount(), c.last - c.first + 1);
    EXPECT_EQ(Md5OfDrive(*d, kMiB, false), DdMd5(img, 512, c.first, c.last - c.first + 1));
    // Past the extent's end: zeros.
    uint8_t* data = d->ReadSectors(int64_t(d->SectorCount()), 512, k64K, nullptr, true);
    ASSERT_TRUE(data);
    EXPECT_TRUE(AllZero(data, 512));
  }
  // An extent running past the device is cut at its end.
  auto d = Open(FormatW(u"%s<%I64d:%I64d>", FromUtf8(img), int64_t(sectors - 10), int64_t(sectors + 50)));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->SectorCount(), 10u);
}

TEST_F(DriveTest, BadNamesAreRefused) {
  std::string img = PatternFile("p.img", 64 * 512);
  const WString wimg = FromUtf8(img);
  struct Case {
    WString name;
    WString error;
  };
  const Case cases[] = {
      {wimg + u"<100>", FormatW(Msg(181), wimg + u"<100>")},
      {wimg + u"<a:5>", FormatW(Msg(181), wimg + u"<a:5>")},
      {wimg + u"<5:1>", FormatW(Msg(181), wimg + u"<5:1>")},
      {wimg + u"<:5>", FormatW(Msg(181), wimg + u"<:5>")},
      {wimg + u"<5:>", FormatW(Msg(181), wimg + u"<5:>")},
      {wimg + u"<64:70>", FormatW(Msg(181), wimg + u"<64:70>")},  // starts past the end
      {wimg + u"<1:99999999999999999999>", FormatW(Msg(181), wimg + u"<1:99999999999999999999>")},
      {u"relative/file.img", FormatW(Msg(181), u"relative/file.img")},
      {u"\\\\.\\PhysicalDrive999", FormatW(Msg(149), u"\\\\.\\PhysicalDrive999")},
      {u"PhysicalDrive998<1:2>", FormatW(Msg(149), u"PhysicalDrive998")},
      {WString(1024, u'a'), FormatW(Msg(181), WString(1024, u'a'))},
      {FromUtf8(dir), FromUtf8(dir) + u" is a folder, not a disk or an image file."},
      {u"/dev/null", u"/dev/null is not a disk or an image file."},
      {FromUtf8(dir + "/missing.img"), FromUtf8(dir + "/missing.img: No such file or directory")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name.substr(0, 80)));
    EXPECT_EQ(OpenFails(c.name), c.error.substr(0, kLastErrorChars - 1)) << "the last error keeps 511 characters";
  }
  Drive empty;
  EXPECT_THROW(empty.InitDrive(u""), DvCodeError);
}

TEST_F(DriveTest, CompoundNamesAreNotOpenedAsPlainDrives) {
  // VHD and VMDK names get their own drives (VirtualDiskTest); RAID and
  // spanned sets get theirs, which open their members.
  for (WString name : {u"RAID5(/a.img<0:9>,/b.img<0:9>,Missing)", u"RAID0(/a,/b)", u"SPAN(/a.img<0:9>)"}) {
    SCOPED_TRACE(ToUtf8(name));
    std::unique_ptr<Drive> set(CreateDrive(name));
    ASSERT_TRUE(set);
    EXPECT_TRUE(name[0] == u'R' ? dynamic_cast<RDrive*>(set.get()) != nullptr : dynamic_cast<SDrive*>(set.get()) != nullptr);
    EXPECT_THROW(set->InitDrive(name), DvCodeError);
  }
  Drive* d = CreateDrive(u"/x/disk.img");
  ASSERT_TRUE(d);
  DeleteDrive(&d);
  EXPECT_EQ(d, nullptr);
  DeleteDrive(&d);
  DeleteDrive(nullptr);
}

TEST(DriveNames, Classifiers) {
  struct Case {
    const char16_t* name;
    bool raid;
    int span;
    bool vhd, vmdk;
  };
  const Case cases[] = {
      {u"RAID5(a,b,c)", true, 0, false, false},  {u"RAID(a,b)", true, 0, false, false},
      {u"RAIDZ1(a,b)", true, 0, false, false},   {u"RAIDZ3(a,b)", false, 0, false, false},
      {u"raid5(a,b)", false, 0, false, false},   {u"RAID0", true, 0, false, false},
      {u"SPAN(/a<0:9>)", false, 1, false, false}, {u"SPAN(/a<0:9>,RAID0(x,y)<0:5>,/c<1:2>)", false, 3, false, false},
      {u"SPAN()", false, 0, false, false},       {u"VHD(/a.vhd)", false, 0, true, false},
      {u"/a/b.vhd", false, 0, true, false},      {u"/a/b.VhDx", false, 0, true, false},
      {u"b.vhd", false, 0, false, false},        {u"/a.vhd", false, 0, true, false},
      {u"VMDK(/a|/b)", false, 0, false, true},   {u"/x.vmdk", false, 0, false, true},
      {u"/x.img", false, 0, false, false},       {u"\\\\.\\PhysicalDrive0", false, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    EXPECT_EQ(Drive::IsRaid(c.name), c.raid);
    EXPECT_EQ(Drive::SpanCount(c.name), c.span);
    EXPECT_EQ(Drive::IsVhdName(c.name), c.vhd);
    EXPECT_EQ(Drive::IsVmdkName(c.name), c.vmdk);
  }
  EXPECT_EQ(Drive::PhysicalDriveNumber(u"\\\\.\\PhysicalDrive3<2048:4095>"), 3);
  EXPECT_EQ(Drive::PhysicalDriveNumber(u"/tmp"), -1);
  EXPECT_FALSE(Drive::IsDriveLetter(u"/tmp"));
  EXPECT_FALSE(Drive::IsDriveLetter(u"C:"));
}

// An image the registry has never seen opens with its real size and is
// registered on the way.
TEST_F(DriveTest, UnknownImageOpensWithItsRealSize) {
  std::string img = PatternFile("odd.img", 1000);
  const WString name = FromUtf8(img);
  EXPECT_LT(theImageFiles().Find(name), 0);
  auto d = Open(name);
  ASSERT_TRUE(d);
  EXPECT_GE(theImageFiles().Find(name), 0);
  EXPECT_EQ(theImageFiles().GetSize(name), 1000u);
  EXPECT_EQ(d->SectorCount(), 2u);
  uint8_t* data = d->ReadSectors(0, 4 * 512, k64K, nullptr, true);
  ASSERT_TRUE(data);
  auto bytes = PatternBytes(1000);
  EXPECT_EQ(memcmp(data, bytes->data(), 1000), 0);
  EXPECT_TRUE(AllZero(data + 1000, 3 * 512 - 488));
  // The tail past the drive is zero-filled first, then the file's short
  // last sector: the short read is the last zero fill.
  EXPECT_EQ(d->IoThread()->Result(), kIoShortRead);
  EXPECT_TRUE(d->IoThread()->BitSet(kBitmapZero, 2));
  EXPECT_FALSE(d->IoThread()->ReadError()) << "the partial last sector counts as read";
  EXPECT_EQ(d->TotalErrors(), 0u);
}

// ------------------------------------------------------------ injected faults

class FaultyDrive : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    img = PatternFile("faulty.img", 8 * kMiB);
    bytes = PatternBytes(8 * kMiB);
    opener = std::make_unique<FaultyOpener>(state);
    drive = Open(FromUtf8(img));
    ASSERT_TRUE(drive);
  }
  void TearDown() override {
    drive.reset();
    opener.reset();
    DriveTest::TearDown();
  }
  bool Same(const uint8_t* data, uint64_t offset, size_t length) {
    return memcmp(data, bytes->data() + offset, length) == 0;
  }
  std::string img;
  std::shared_ptr<std::vector<uint8_t>> bytes;
  std::shared_ptr<FaultState> state = std::make_shared<FaultState>();
  std::unique_ptr<FaultyOpener> opener;
  std::unique_ptr<Drive> drive;
};

TEST_F(FaultyDrive, OneBadSectorGivesFifteenCleanPieces) {
  EXPECT_EQ(state->CallCount(), 0u) << "opening an image reads nothing";
  state->bad.push_back({2 * kMiB + 7 * k64K + 512, 2 * kMiB + 7 * k64K + 1024});
  uint8_t* data = drive->ReadSectors(2 * kMiB / 512, kMiB, k64K, nullptr, true);
  ASSERT_TRUE(data);
  EXPECT_EQ(drive->IoThread()->Result(), 6u);
  EXPECT_EQ(state->CallCount(), 17u);
  int clean = 0;
  for (uint32_t p = 0; p < 16; ++p) {
    if (p == 7) EXPECT_TRUE(AllZero(data + p * k64K, k64K));
    else clean += Same(data + p * k64K, 2 * kMiB + p * k64K, k64K);
  }
  EXPECT_EQ(clean, 15);
  for (uint32_t s = 0; s < 2048; ++s) EXPECT_EQ(drive->IoThread()->BitSet(kBitmapZero, s), s / 128 == 7) << s;
  EXPECT_EQ(drive->TotalErrors(), 1u);
  EXPECT_EQ(drive->ConsecutiveErrors(), 1u);
  // Data patched with zeros is not served from the cache: the medium is
  // asked again.
  drive->ReadSectors(2 * kMiB / 512, kMiB, k64K, nullptr, true);
  EXPECT_EQ(state->CallCount(), 34u);
}

// A caller's buffer gets the same bytes and zero fills, whether the read
// goes straight into it (aligned, waited) or through the thread's buffer.
TEST_F(FaultyDrive, CallerBuffersAlignedAndNot) {
  state->bad.push_back({2 * kMiB + 7 * k64K + 512, 2 * kMiB + 7 * k64K + 1024});
  uint8_t* raw = static_cast<uint8_t*>(AlignedAlloc(kMiB + 4096));
  ASSERT_TRUE(raw);
  for (size_t misalign : {size_t(0), size_t(1), size_t(8)}) {
    SCOPED_TRACE(misalign);
    uint8_t* mine = raw + misalign;
    memset(mine, 0xEE, kMiB);
    const size_t before = state->CallCount();
    ASSERT_EQ(drive->ReadSectors(2 * kMiB / 512, kMiB, k64K, mine, true), mine);
    EXPECT_EQ(state->CallCount() - before, 17u);
    EXPECT_EQ(drive->IoThread()->Result(), kIoReadError);
    for (uint32_t p = 0; p < 16; ++p) {
      if (p == 7) EXPECT_TRUE(AllZero(mine + p * k64K, k64K));
      else EXPECT_TRUE(Same(mine + p * k64K, 2 * kMiB + p * k64K, k64K)) << p;
    }
    EXPECT_TRUE(drive->IoThread()->BitSet(kBitmapZero, 7 * 128));
    EXPECT_FALSE(drive->IoThread()->BitSet(kBitmapZero, 6 * 128));
  }
  AlignedFree(raw);
}

// A read started into a caller's buffer and dropped by a close never writes
// into that buffer afterwards (it may be freed by then).
TEST_F(FaultyDrive, DroppedReadLeavesTheCallersBufferAlone) {
  state->hangAt.push_back(0);
  uint8_t* mine = static_cast<uint8_t*>(AlignedAlloc(kMiB));
  ASSERT_TRUE(mine);
  memset(mine, 0x5A, kMiB);
  ASSERT_EQ(drive->ReadSectors(0, kMiB, k64K, mine, false), Drive::kReadStarted);
  ASSERT_TRUE(state->WaitUntilHanging());
  drive->CloseDevice();
  {
    std::lock_guard<std::mutex> lock(state->m);
    state->hangAt.clear();
  }
  state->Release();
  // The next read is served after the dropped one has returned.
  ASSERT_TRUE(drive->ReadSectors(4096, 512, k64K, nullptr, true));
  for (size_t i = 0; i < kMiB; ++i) ASSERT_EQ(mine[i], 0x5A) << i;
  AlignedFree(mine);
}

TEST_F(FaultyDrive, FullyExcludedRequestMakesNoDeviceCall) {
  auto info = std::make_unique<DrvInfo>(FromUtf8(img));
  info->exclusions = std::make_unique<CSectRanges>();
  info->exclusions->AddRange(kMiB, 3 * kMiB);
  theDrvAttr().AddDrvInfo(std::move(info));
  drive->HookExclusiveRanges(theDrvAttr());
  theDrvAttr().DeleteDrvInfo(FromUtf8(img));
  ASSERT_TRUE(drive->Exclusions());
  uint8_t* data = drive->ReadSectors(kMiB / 512, kMiB, k64K, nullptr, true);
  ASSERT_TRUE(data);
  EXPECT_TRUE(AllZero(data, kMiB));
  EXPECT_EQ(drive->IoThread()->Result(), kIoWhollyExcluded);
  EXPECT_EQ(state->CallCount(), 0u);
  // Half in: the readable half is read, the rest zero-filled.
  data = drive->ReadSectors(2 * kMiB / 512 + 1024, kMiB, k64K, nullptr, true);
  EXPECT_EQ(drive->IoThread()->Result(), kIoExcludedHead);
  EXPECT_TRUE(AllZero(data, kMiB / 2));
  EXPECT_TRUE(Same(data + kMiB / 2, 3 * kMiB, kMiB / 2));
  ASSERT_EQ(state->CallCount(), 1u);
  EXPECT_EQ(state->Calls()[0].offset, uint64_t(3 * kMiB));
  EXPECT_EQ(drive->TotalErrors(), 0u) << "exclusions are not read errors";
}

TEST_F(FaultyDrive, ReadsAtTheEnd) {
  const int64_t end = 8 * kMiB / 512;
  struct Case {
    int64_t sector;
    uint32_t dataSectors;
  };
  for (Case c : {Case{end - 2, 2}, Case{end - 4, 4}, Case{end, 0}, Case{end + 100, 0}}) {
    SCOPED_TRACE(c.sector);
    uint8_t* data = drive->ReadSectors(c.sector, 8 * 512, k64K, nullptr, true);
    ASSERT_TRUE(data);
    EXPECT_EQ(drive->IoThread()->Result(), kIoPastEnd);
    EXPECT_TRUE(Same(data, uint64_t(c.sector) * 512, c.dataSectors * 512));
    EXPECT_TRUE(AllZero(data + c.dataSectors * 512, (8 - c.dataSectors) * 512));
  }
  EXPECT_EQ(drive->TotalErrors(), 0u);
  EXPECT_EQ(state->CallCount(), 2u);
}

TEST_F(FaultyDrive, CacheServesRepeatedReads) {
  uint8_t* a = drive->ReadSectors(100, 64 * 512, k64K, nullptr, true);
  uint8_t* b = drive->ReadSectors(100, 64 * 512, k64K, nullptr, true);
  EXPECT_EQ(a, b);
  uint8_t* inner = drive->ReadSectors(110, 8 * 512, k64K, nullptr, true);
  EXPECT_EQ(inner, a + 10 * 512);
  std::vector<uint8_t> mine(4 * 512);
  EXPECT_EQ(drive->ReadSectors(120, 4 * 512, k64K, mine.data(), true), mine.data());
  EXPECT_TRUE(Same(mine.data(), 120 * 512, 4 * 512));
  EXPECT_EQ(state->CallCount(), 1u);
  // Reaching beyond the cached span, or reading into a caller's buffer
  // after a miss, goes to the device.
  drive->ReadSectors(150, 32 * 512, k64K, nullptr, true);
  EXPECT_EQ(state->CallCount(), 2u);
  drive->ReadSectors(1000, 512, k64K, mine.data(), true);
  drive->ReadSectors(1000, 512, k64K, mine.data(), true);
  EXPECT_EQ(state->CallCount(), 4u);
}

// After two failed requests in a row, a request that follows on directly is
// not split into retry pieces.
TEST_F(FaultyDrive, BadAreaCostsOneReadPerRequest) {
  state->bad.push_back({0, 8 * kMiB});
  std::vector<size_t> callsPerRequest;
  for (int i = 0; i < 4; ++i) {
    size_t before = state->CallCount();
    drive->ReadSectors(int64_t(i) * 2048, kMiB, k64K, nullptr, true);
    callsPerRequest.push_back(state->CallCount() - before);
  }
  EXPECT_EQ(callsPerRequest, (std::vector<size_t>{17, 17, 1, 1}));
  EXPECT_EQ(drive->ConsecutiveErrors(), 4u);
  // A jump elsewhere is split again.
  size_t before = state->CallCount();
  drive->ReadSectors(100, kMiB, k64K, nullptr, true);
  EXPECT_EQ(state->CallCount() - before, 17u);
  state->bad.clear();
  drive->ReadSectors(0, 512, k64K, nullptr, true);
  EXPECT_EQ(drive->ConsecutiveErrors(), 0u);
  EXPECT_EQ(drive->TotalErrors(), 5u);
}

TEST_F(FaultyDrive, RefusedRequests) {
  EXPECT_EQ(drive->ReadSectors(-1, 512, k64K, nullptr, true), nullptr);
  EXPECT_EQ(LastErrorText(), u"Cannot read negative sector -1.");
  EXPECT_EQ(drive->ReadSectors(0, kMiB + 512, k64K, nullptr, true), nullptr);
  drive->FixSize(2 * kMiB);
  uint8_t* data = drive->ReadSectors(0, 2 * kMiB, k64K, nullptr, true);
  ASSERT_TRUE(data);
  EXPECT_TRUE(Same(data, 0, 2 * kMiB));
  EXPECT_EQ(drive->TransferSize(), 2 * kMiB);
  EXPECT_EQ(state->CallCount(), 1u);
  Drive closed;
  EXPECT_EQ(closed.ReadSectors(0, 512, k64K, nullptr, true), nullptr);
}

TEST_F(FaultyDrive, StartedReadIsFinishedLater) {
  std::vector<uint8_t> mine(kMiB);
  EXPECT_EQ(drive->ReadSectors(2048, kMiB, k64K, mine.data(), false), Drive::kReadStarted);
  EXPECT_EQ(drive->FinishRead(), mine.data());
  EXPECT_TRUE(Same(mine.data(), kMiB, kMiB));
  EXPECT_EQ(drive->FinishRead(), nullptr) << "nothing pending";
  // A read started and never finished is finished by the next one.
  EXPECT_EQ(drive->ReadSectors(0, 512, k64K, mine.data(), false), Drive::kReadStarted);
  uint8_t* data = drive->ReadSectors(4096, 512, k64K, nullptr, true);
  EXPECT_TRUE(Same(mine.data(), 0, 512));
  EXPECT_TRUE(Same(data, 4096 * 512, 512));
}

TEST_F(FaultyDrive, SwapByteOrder) {
  g_appState->swapByteOrder = 1;
  std::vector<uint8_t> mine(512);
  drive->ReadSectors(3, 512, k64K, mine.data(), true);
  g_appState->swapByteOrder = 0;
  for (size_t i = 0; i < 512; i += 4)
    for (size_t k = 0; k < 4; ++k) ASSERT_EQ(mine[i + k], (*bytes)[3 * 512 + i + 3 - k]) << i;
}

TEST_F(FaultyDrive, CloseDeviceAndReopenOnDemand) {
  uint8_t* data = drive->ReadSectors(10, 512, k64K, nullptr, true);
  EXPECT_TRUE(Same(data, 10 * 512, 512));
  drive->CloseDevice();
  EXPECT_FALSE(drive->IsOpen());
  data = drive->ReadSectors(10, 512, k64K, nullptr, true);
  EXPECT_TRUE(drive->IsOpen());
  EXPECT_TRUE(Same(data, 10 * 512, 512));
  EXPECT_EQ(state->CallCount(), 2u) << "closing empties the cache";
  // The file gone: reopening fails with the system's text after the name.
  drive->CloseDevice();
  ASSERT_EQ(unlink(img.c_str()), 0);
  EXPECT_THROW(drive->ReadSectors(10, 512, k64K, nullptr, true), DvCodeError);
  EXPECT_EQ(LastErrorText(), FromUtf8(img + ": No such file or directory"));
}

TEST_F(FaultyDrive, HangReportsStatusTexts) {
  drive->IoThread()->SetTimeoutMs(2);
  state->hangAt.push_back(kMiB + 100);
  uint8_t* data = nullptr;
  std::thread reader([&] { data = drive->ReadSectors(kMiB / 512, kMiB, k64K, nullptr, true); });
  auto lines = WaitForLines(12);
  state->Release();
  reader.join();
  ASSERT_TRUE(data);
  EXPECT_TRUE(Same(data, kMiB, kMiB));
  lines = view.log;
  ASSERT_GE(lines.size(), 12u);
  // An image is named by its path.
  const WString reading = FormatW(u"Reading sectors 2048 to 4095 on %s ...", FromUtf8(img));
  const WString media = FormatW(Msg(381), int64_t(2048), int64_t(4095), FromUtf8(img).substr(0, 256));
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], (i < 9 ? reading : media).substr(0, 256)) << i;
}

// Deleting a drive whose reader is blocked: the drive goes at once, the
// reader keeps its buffer and descriptor until its read returns.
TEST_F(FaultyDrive, DeleteWhileTheReaderHangs) {
  state->hangAt.push_back(0);
  drive->IoThread()->SetCloseTimeoutMs(20);
  ASSERT_EQ(drive->ReadSectors(0, kMiB, k64K, nullptr, false), Drive::kReadStarted);
  ASSERT_TRUE(state->WaitUntilHanging());
  drive.reset();
  {
    std::lock_guard<std::mutex> lock(state->m);
    EXPECT_FALSE(state->destroyed);
  }
  EXPECT_FALSE(theTrace().IsProtectedSource(img));
  state->Release();
  ASSERT_TRUE(state->WaitUntilDestroyed());
  EXPECT_FALSE(state->destroyedWhileHanging);
}

// (Without the stop flag, so the close gives up on the read at once.)
TEST_F(FaultyDrive, CloseDeviceWhileTheReaderHangs) {
  state->hangAt.push_back(0);
  ASSERT_EQ(drive->ReadSectors(0, kMiB, k64K, nullptr, false), Drive::kReadStarted);
  ASSERT_TRUE(state->WaitUntilHanging());
  drive->CloseDevice();
  EXPECT_FALSE(drive->IsOpen());
  {
    std::lock_guard<std::mutex> lock(state->m);
    EXPECT_FALSE(state->destroyed) << "the blocked read still holds the source";
    state->hangAt.clear();
  }
  state->Release();
  // The dropped request is read first, then the new one gets its own data.
  uint8_t* data = drive->ReadSectors(4096, 512, k64K, nullptr, true);
  ASSERT_TRUE(data);
  EXPECT_TRUE(Same(data, 4096 * 512, 512));
  EXPECT_TRUE(state->WaitUntilDestroyed()) << "the old source is gone once its read returned";
}

TEST_F(FaultyDrive, DestinationSafety) {
  EXPECT_FALSE(drive->IsSafeVolume(FromUtf8(img)));
  EXPECT_TRUE(drive->IsSafeVolume(FromUtf8(dir + "/recovered")));
  EXPECT_TRUE(drive->IsSafeDrive(0));
  EXPECT_TRUE(drive->ListMembers().empty());
  EXPECT_TRUE(theTrace().IsProtectedSource(img));
}

// ------------------------------------------------------------ helpers

TEST(DriveHelpers, VolumeSizeByProbing) {
  struct Case {
    uint64_t sectors;
    std::vector<uint64_t> badSectors;
  };
  const Case cases[] = {{0, {}},       {1, {}},         {2, {}},        {63, {}},         {64, {}},
                        {1000, {}},    {1001, {}},      {65537, {}},    {1000, {500}},    {5000, {4096}},
                        {3000, {0}},   {300000, {1024, 2048, 4096}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sectors);
    auto state = std::make_shared<FaultState>();
    for (uint64_t b : c.badSectors) state->bad.push_back({b * 512, b * 512 + 512});
    auto bytes = std::make_shared<std::vector<uint8_t>>(c.sectors * 512);
    FaultySource source(state, bytes);
    EXPECT_EQ(GetVolumeSize(source, 512), c.sectors);
    EXPECT_LT(state->CallCount(), 200u);
  }
}

TEST(DriveHelpers, CoveredRangesFiltersAndRelease) {
  GlobalObjectsScope scope;
  const TempFolder dirTemp("covered");
  std::string dir = dirTemp.Path();
  std::string img = dir + "/c.img";
  WriteFileText(img, std::string(kMiB, '\0'));
  Drive d;
  d.InitDrive(FromUtf8(img));
  const NodeRun runs[] = {{10, 2}, {-1, 3}, {100, 4}};  // clusters of 4096 at volume sector 8
  d.AddNodeRanges(runs, 3, 8, 4096, true, 0, ~0ull);
  ASSERT_TRUE(d.Covered());
  std::vector<CSectRanges::Range> expected = {{8 * 512 + 10 * 4096, 8 * 512 + 12 * 4096},
                                              {8 * 512 + 100 * 4096, 8 * 512 + 104 * 4096}};
  EXPECT_EQ(d.Covered()->List(), expected);
  // Only file bytes [4096, 6 * 4096): the second cluster of the first run
  // and the first cluster of the third.
  d.ReleaseBuffers();
  d.AddNodeRanges(runs, 3, 8, 4096, false, 4096, 6 * 4096);
  expected = {{8 * 512 + 11 * 4096, 8 * 512 + 12 * 4096}, {8 * 512 + 100 * 4096, 8 * 512 + 101 * 4096}};
  EXPECT_EQ(d.Covered()->List(), expected);

  WString second = u"*.jpg";
  d.SetFilter(u"*.doc,<temp*>", &second);
  ASSERT_TRUE(d.Filter());
  EXPECT_TRUE(d.Filter()->Match(u"a.doc"));
  ASSERT_TRUE(d.SecondFilter());
  ASSERT_TRUE(d.SecondText());
  WString plain = u"name";
  d.SetFilter(u"*", &plain);
  EXPECT_FALSE(d.Filter());
  EXPECT_FALSE(d.SecondFilter());
  EXPECT_EQ(*d.SecondText(), u"name");
  d.ReleaseBuffers();
  EXPECT_FALSE(d.SecondText());
  EXPECT_FALSE(d.Covered());
}

// ------------------------------------------------------------ loop devices

// Which sources were opened for direct reads.
struct OpenRecorder {
  std::vector<bool> direct;
  OpenRecorder() {
    SetBlockSourceOpener([this](const std::string& path, bool allowDirect) -> std::unique_ptr<BlockSource> {
      direct.push_back(allowDirect);
      return FileBlockSource::Open(path, allowDirect);
    });
  }
  ~OpenRecorder() { SetBlockSourceOpener(nullptr); }
};

int DiskNumberOf(const std::string& devicePath) {
  theDiskList().Refresh();
  for (size_t i = 0; i < theDiskList().Count(); ++i)
    if (theDiskList().Disk(i)->devicePath == devicePath) return theDiskList().Disk(i)->DiskNumber();
  return -1;
}

TEST_F(DriveTest, LoopDeviceAsPhysicalDiskAndAsPath) {
  std::string img = FixtureImage("ntfs");
  if (img.empty()) GTEST_SKIP() << "mkntfs missing";
  LoopDevice loop(img);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device (needs root)";
  const int number = DiskNumberOf(loop.path());
  ASSERT_GE(number, 0) << "a loop device with a backing file is a listed disk";
  const std::string expected = Md5OfFile(img);
  OpenRecorder recorder;
  for (WString name : {FormatW(u"\\\\.\\PhysicalDrive%d", number), FromUtf8(loop.path())}) {
    SCOPED_TRACE(ToUtf8(name));
    auto d = Open(name);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->DevicePath(), loop.path());
    EXPECT_EQ(d->DiskNumber(), number);
    EXPECT_FALSE(d->IsVolumeDevice());
    EXPECT_FALSE(d->IsImage());
    EXPECT_EQ(Drive::PhysicalDriveNumber(name), number);
    EXPECT_FALSE(Drive::IsDriveLetter(name));
    EXPECT_EQ(d->SectorSize(), 512u);
    EXPECT_EQ(d->SectorCount(), 16u * kMiB / 512);
    EXPECT_EQ(d->DefaultBootSector(), theDiskList().Disk(size_t(number))->defaultBootSector);
    EXPECT_EQ(Md5OfDrive(*d, kMiB, false), expected);
    EXPECT_FALSE(d->IsSafeDrive(number));
    EXPECT_TRUE(d->IsSafeDrive(number + 1000));
    EXPECT_EQ(d->ListMembers().size(), 1u);
  }
  EXPECT_EQ(recorder.direct, (std::vector<bool>{true, true})) << "block devices are read with O_DIRECT";
  auto slice = Open(FormatW(u"\\\\.\\PhysicalDrive%d<2048:4095>", number));
  ASSERT_TRUE(slice);
  EXPECT_EQ(slice->Name(), FormatW(u"\\\\.\\PhysicalDrive%d", number));
  EXPECT_EQ(Md5OfDrive(*slice, kMiB, false), DdMd5(img, 512, 2048, 2048));
}

TEST_F(DriveTest, FourKibibyteSectorLoopDevice) {
  std::string img = FixtureImage("ntfs");
  if (img.empty()) GTEST_SKIP() << "mkntfs missing";
  LoopDevice loop(img, "--sector-size 4096");
  if (loop.path().empty()) GTEST_SKIP() << "no loop device (needs root)";
  const WString path = FromUtf8(loop.path());
  const std::string expected = Md5OfFile(img);
  OpenRecorder recorder;
  {
    auto d = Open(path);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->SectorSize(), 4096u);
    EXPECT_EQ(d->Shift(), 12u);
    EXPECT_EQ(d->SectorCount(), 16u * kMiB / 4096);
    EXPECT_EQ(d->SectorsPer4G(), 0x100000u);
    EXPECT_FALSE(d->Forced512());
    EXPECT_EQ(Md5OfDrive(*d, kMiB, false), expected);
    auto slice = Open(path + u"<1:2>");
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->ExtentFirstSector(), 1u);
    EXPECT_EQ(slice->SectorCount(), 2u);
    EXPECT_EQ(Md5OfDrive(*slice, kMiB, false), DdMd5(img, 4096, 1, 2));
  }
  // "Forced 512": 512-byte sectors, read through the page cache.
  for (WString listed : {path, FormatW(u"PhysicalDrive%d", DiskNumberOf(loop.path()))}) {
    SCOPED_TRACE(ToUtf8(listed));
    g_appState->forcedDevices[0] = {listed};
    recorder.direct.clear();
    auto d = Open(path);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->Forced512());
    EXPECT_EQ(d->SectorSize(), 512u);
    EXPECT_EQ(d->SectorCount(), 16u * kMiB / 512);
    EXPECT_EQ(recorder.direct, std::vector<bool>{false});
    EXPECT_EQ(Md5OfDrive(*d, kMiB, false), expected);
    EXPECT_EQ(Md5OfDrive(*d, 7 * 512, true), expected);
    // The suffix counts the device's own sectors.
    auto slice = Open(path + u"<1:2>");
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->ExtentFirstSector(), 8u);
    EXPECT_EQ(slice->SectorCount(), 16u);
    EXPECT_EQ(Md5OfDrive(*slice, kMiB, false), DdMd5(img, 4096, 1, 2));
  }
  g_appState->forcedDevices[0].clear();
}

// A block device that is not a listed whole disk plays the volume's part:
// its first sectors are checked for NTFS and FAT.
TEST_F(DriveTest, VolumeDevice) {
  std::string ntfs = FixtureImage("ntfs");
  if (ntfs.empty()) GTEST_SKIP() << "mkntfs missing";
  if (getuid() != 0) GTEST_SKIP() << "needs root for losetup";
  SysfsFixture noDisks("drive_volume");
  theDiskList().Refresh();
  static int calls;
  static uint32_t bytesSeen;
  calls = 0;
  SetDriveOpenProbe([](Drive&, const uint8_t* first, uint32_t bytes, DriveOpenFacts* facts) {
    ++calls;
    bytesSeen = bytes;
    facts->recentlyFormatted = memcmp(first + 3, "NTFS", 4) == 0;
    return true;
  });
  {
    LoopDevice loop(ntfs);
    if (loop.path().empty()) GTEST_SKIP() << "no loop device";
    auto d = Open(FromUtf8(loop.path()));
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->IsVolumeDevice());
    EXPECT_TRUE(Drive::IsDriveLetter(FromUtf8(loop.path())));
    EXPECT_EQ(d->DefaultBootSector(), 0u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(bytesSeen, 8u * 512);
    EXPECT_EQ(d->recentlyFormatted, 1u);
    EXPECT_EQ(Md5OfDrive(*d, kMiB, false), Md5OfFile(ntfs));
  }
  SetDriveOpenProbe(nullptr);
  if (!RunCommand("ls /usr/sbin/mkfs.fat 2>/dev/null").empty()) {
    std::string fat = dir + "/fat.img";
    RunCommand("truncate -s 40M '" + fat + "' && /usr/sbin/mkfs.fat -F 32 '" + fat + "' >/dev/null 2>&1");
    LoopDevice loop(fat);
    auto d = Open(FromUtf8(loop.path()));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->SectorCount(), 40u * 2048);
    // A FAT boot sector claiming more sectors than the device has does not
    // stretch the drive past the device's end.
    std::string boot = ReadFileText(fat).substr(0, 512);
    uint32_t huge = 0x7FFFFFFF;
    boot.replace(32, 4, reinterpret_cast<const char*>(&huge), 4);
    int fd = open(fat.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, boot.data(), 512, 0), 512);
    close(fd);
    RunCommand("blockdev --flushbufs '" + loop.path() + "'");
    auto again = Open(FromUtf8(loop.path()));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->SectorCount(), 40u * 2048);
  }
}

TEST_F(DriveTest, VanishedDeviceIsReportedOffline) {
  std::string img = FixtureImage("ext4");
  if (img.empty()) GTEST_SKIP() << "mke2fs missing";
  LoopDevice loop(img);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device (needs root)";
  auto d = Open(FromUtf8(loop.path()));
  ASSERT_TRUE(d);
  d->CloseDevice();
  SetBlockSourceOpener([](const std::string&, bool) -> std::unique_ptr<BlockSource> {
    errno = ENXIO;
    return nullptr;
  });
  EXPECT_THROW(d->ReadSectors(0, 512, k64K, nullptr, true), DvCodeError);
  EXPECT_EQ(LastErrorText(), FormatW(Msg(131), FromUtf8(loop.path())));
}

}  // namespace
