// The virtual-disk maps on hand-made files in memory: where a VHD's,
// VHDX's and VMDK's sectors are, the header checks that refuse damaged
// files, and the VHD bitmap finder of the sector pass.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "VirtualDiskBuilders.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "storage/VhdBitmapFinder.h"
#include "storage/VhdFormat.h"
#include "storage/VmdkFormat.h"
#include "tests/support/TempFolder.h"

using namespace vdisk_test;

namespace {

// Messages and the trace need the program's objects.
class VirtualDiskFormat : public testing::Test {
 protected:
  GlobalObjectsScope scope;
};
using VhdMapTest = VirtualDiskFormat;
using VhdxMapTest = VirtualDiskFormat;
using VhdxHeaderTest = VirtualDiskFormat;
using VmdkMapTest = VirtualDiskFormat;
using VhdBitmapFinderTest = VirtualDiskFormat;

constexpr int P = ImageRun::kParent, F = ImageRun::kFile, Z = ImageRun::kZeros, B = ImageRun::kBad;

std::vector<MapRun> Lookup(ImageMap& map, uint64_t sector, uint32_t sectors) {
  std::vector<ImageRun> runs;
  EXPECT_TRUE(map.Lookup(sector, sectors, runs));
  return RunsOf(runs);
}

struct LookupCase {
  const char* what;
  uint64_t sector;
  uint32_t sectors;
  std::vector<MapRun> runs;
};
void ExpectLookups(ImageMap& map, const std::vector<LookupCase>& cases) {
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<MapRun> got = Lookup(map, c.sector, c.sectors);
    EXPECT_EQ(got, c.runs) << RunsText(got);
  }
}

class TraceCapture {
 public:
  explicit TraceCapture(const std::string& name) : path_(folder_.Path() + "/" + name) {
    old_ = theTrace().TraceFilePath();
    Set(FromUtf8(path_));
  }
  ~TraceCapture() {
    TraceFileClose();
    Set(old_);
  }
  std::string Text() {
    TraceFileClose();
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  static void Set(const WString& p) {
    theTrace().SetOptions(p, traceExecutionPath, traceRaid, traceMft, traceIo, traceContent, traceCompression,
                          traceUnixFsA, traceUnixFsB, traceHfs, traceKeepFileOpen, traceSequentialSearch);
  }
  TempFolder folder_{"trace"};
  std::string path_;
  WString old_;
};

// ---- VHD ----

// 8 blocks of 8 KiB (16 sectors, a one-sector bitmap each); the table's 32
// bytes end the header sectors, so data may start at sector 4.
Bytes SmallVhd() {
  Bytes b = DynamicVhd(8 * 8192, 8192, {4, vhd::kUnused, 1, 100000, 21, 38, 0, 0}, 60 * 512);
  b[4 * 512] = 0x10;      // block 0: sector 3 (most significant bit first) ...
  b[4 * 512 + 1] = 0xFF;  // ... and sectors 8 to 15
  b[21 * 512] = b[21 * 512 + 1] = 0xFF;  // block 4: every sector
  return b;                              // block 5: no bit set
}

TEST_F(VhdMapTest, BlocksAndBitmaps) {
  Bytes file = SmallVhd();
  MemoryImageFile bytes(file.data(), file.size());
  VhdLayout layout;
  ASSERT_TRUE(OpenVhdLayout(bytes, 0, &layout)) << ToUtf8(LastErrorText());
  EXPECT_EQ(layout.diskType, 3);
  EXPECT_EQ(layout.sectorSize, 512u);
  EXPECT_EQ(layout.sectorCount, 128u);
  ExpectLookups(*layout.map,
                {
                    // Clear bits are the parent's (zeros without one), set ones the file's.
                    {"bits most significant first",
                     0,
                     16,
                     {{P, 0, 3 * 512}, {F, (5 + 3) * 512, 512}, {P, 0, 4 * 512}, {F, (5 + 8) * 512, 8 * 512}}},
                    {"inside a byte", 2, 2, {{P, 0, 512}, {F, 8 * 512, 512}}},
                    // All ones and below the first data sector: not present;
                    // past the end of the file: the data the table holds is
                    // gone (a file cut short), unreadable.
                    {"entries not present, then cut", 16, 48, {{P, 0, 32 * 512}, {B, 0, 16 * 512}}},
                    {"a whole block", 64, 16, {{F, 22 * 512, 8192}}},
                    {"across blocks", 60, 8, {{B, 0, 4 * 512}, {F, 22 * 512, 4 * 512}}},
                    {"no bit set", 80, 16, {{P, 0, 8192}}},
                    {"entries 0: below the data", 96, 32, {{P, 0, 32 * 512}}},
                });
  // The open tells the cut block: virtual sectors 48 to 63.
  EXPECT_EQ(layout.cut.blocks, 1u);
  EXPECT_EQ(layout.cut.first, 48u);
  EXPECT_EQ(layout.cut.last, 63u);
}

// A block size that does not fit the table (patched): the blocks' data
// would overlap in the file, and every block but the first would read
// another's bytes. Refused naming the block size.
TEST_F(VhdMapTest, BlocksThatOverlapAreRefused) {
  for (const uint32_t block : {16384u, 65536u}) {
    SCOPED_TRACE(block);
    Bytes file = SmallVhd();
    PutBe32(file, 512 + 32, block);
    MemoryImageFile bytes(file.data(), file.size());
    VhdLayout layout;
    EXPECT_FALSE(OpenVhdLayout(bytes, 0, &layout));
    EXPECT_EQ(ToUtf8(LastErrorText()), "Invalid VHD header: its blocks of " + std::to_string(block) +
                                           " bytes overlap in the file (the block size does not fit the block "
                                           "allocation table).");
  }
}

TEST_F(VhdMapTest, LargeBlocksHaveBitmapsOfSeveralSectors) {
  // 4 MiB blocks: 8192 sectors, a bitmap of two sectors, data after both.
  Bytes file = DynamicVhd(8 * kMiB, 4 * kMiB, {4, vhd::kUnused}, 16 * 512);
  file[4 * 512] = 0x80;        // sector 0
  file[5 * 512 + 1] = 0x01;    // bitmap byte 513: sector 4111
  MemoryImageFile bytes(file.data(), file.size());
  VhdLayout layout;
  ASSERT_TRUE(OpenVhdLayout(bytes, 0, &layout));
  auto& map = static_cast<VhdBlockMap&>(*layout.map);
  EXPECT_EQ(map.bitmapSectors, 2u);
  EXPECT_EQ(Lookup(map, 0, 2), (std::vector<MapRun>{{F, 6 * 512, 512}, {P, 0, 512}}));
  EXPECT_EQ(Lookup(map, 4110, 3), (std::vector<MapRun>{{P, 0, 512}, {F, (6 + 4111) * 512, 512}, {P, 0, 512}}));
}

TEST_F(VhdMapTest, DamagedTableAndBitmapReadsAreBadNotHoles) {
  Bytes file = SmallVhd();
  MemoryImageFile bytes(file.data(), file.size());
  VhdLayout layout;
  ASSERT_TRUE(OpenVhdLayout(bytes, 0, &layout));
  bytes.damagedFirst = 4 * 512;  // block 0's bitmap
  bytes.damagedEnd = 5 * 512;
  EXPECT_EQ(Lookup(*layout.map, 0, 16), (std::vector<MapRun>{{B, 0, 8192}}));
  bytes.damagedFirst = bytes.damagedEnd = 0;  // readable again: the bad read was not kept
  EXPECT_EQ(Lookup(*layout.map, 2, 2), (std::vector<MapRun>{{P, 0, 512}, {F, 8 * 512, 512}}));
  // A table page that cannot be read: its blocks are bad, never holes.
  Bytes again = SmallVhd();
  MemoryImageFile damaged(again.data(), again.size());
  damaged.damagedFirst = 1536;
  damaged.damagedEnd = 2048;
  VhdLayout second;
  ASSERT_TRUE(OpenVhdLayout(damaged, 0, &second));
  EXPECT_EQ(Lookup(*second.map, 64, 16), (std::vector<MapRun>{{B, 0, 8192}}));
  damaged.damagedFirst = damaged.damagedEnd = 0;
  EXPECT_EQ(Lookup(*second.map, 64, 16), (std::vector<MapRun>{{F, 22 * 512, 8192}}));
}

TEST_F(VhdMapTest, DynamicHeaderChecks) {
  struct Case {
    const char* what;
    uint32_t blockSize;
    uint64_t tableOffset;
    uint32_t entries;
    bool ok;
  } cases[] = {
      {"good", 8192, 1536, 8, true},
      {"block size 0", 0, 1536, 8, false},
      {"block size not a power of two", 12288, 1536, 8, false},
      {"block size below 4 KiB", 2048, 1536, 32, false},
      {"block size 2^31", 0x80000000u, 1536, 8, false},
      {"table offset inside a sector", 8192, 1537, 8, false},
      {"table past the file", 8192, 60 * 512, 8, false},
      {"table running past the file", 8192, 59 * 512, 200, false},
      {"table smaller than the disk", 8192, 1536, 7, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = SmallVhd();
    PutBe32(file, 512 + 32, c.blockSize);
    PutBe64(file, 512 + 16, c.tableOffset);
    PutBe32(file, 512 + 28, c.entries);
    VhdDynamicHeader h;
    EXPECT_EQ(ParseVhdDynamicHeader(file.data() + 512, file.size(), 8 * 8192, &h), c.ok);
    MemoryImageFile bytes(file.data(), file.size());
    VhdLayout layout;
    EXPECT_EQ(OpenVhdLayout(bytes, 0, &layout), c.ok);
    if (!c.ok) {
      const bool blockSize = c.blockSize < 4096 || (c.blockSize & (c.blockSize - 1)) || c.blockSize > (256u << 20);
      EXPECT_EQ(ToUtf8(LastErrorText()), blockSize
                                             ? "Invalid VHD header: a block size of " + std::to_string(c.blockSize) +
                                                   " bytes (a power of two from 4 KiB to 256 MiB is needed)."
                                             : std::string("Invalid VHD header"));
    }
  }
  Bytes file = SmallVhd();
  memcpy(file.data() + 512, "cxsparsf", 8);
  VhdDynamicHeader h;
  EXPECT_FALSE(ParseVhdDynamicHeader(file.data() + 512, file.size(), 8 * 8192, &h));
  file = SmallVhd();
  PutBe64(file, 512 + 8, 0);  // its own data offset must be all ones
  EXPECT_FALSE(ParseVhdDynamicHeader(file.data() + 512, file.size(), 8 * 8192, &h));
}

TEST_F(VhdMapTest, FooterFields) {
  // The disk's size is the current size (byte 48), not the original one.
  Bytes file = SmallVhd();
  PutBe64(file, 40, 4 * 8192);
  MemoryImageFile bytes(file.data(), file.size());
  VhdLayout layout;
  ASSERT_TRUE(OpenVhdLayout(bytes, 4096, &layout));
  EXPECT_EQ(layout.sectorCount, 128u);
  EXPECT_EQ(layout.sectorSize, 512u) << "VHD sectors are 512 bytes whatever the disk under the file";

  // A fixed disk: raw sectors, its trailing footer not part of the disk.
  Bytes fixed(64 * 1024 + 512, 0x5A);
  Bytes footer(512, 0);
  memcpy(footer.data(), "conectix", 8);
  PutBe64(footer, 16, ~0ull);
  PutBe64(footer, 48, 64 * 1024);
  PutBe32(footer, 60, 2);
  uint32_t sum = 0;
  for (uint8_t c : footer) sum += c;
  PutBe32(footer, 64, ~sum);
  memcpy(fixed.data() + 64 * 1024, footer.data(), 512);
  MemoryImageFile fixedBytes(fixed.data(), fixed.size());
  ASSERT_TRUE(OpenVhdLayout(fixedBytes, 0, &layout));
  EXPECT_EQ(layout.diskType, 2);
  EXPECT_TRUE(layout.fixedFooter);
  EXPECT_EQ(layout.sectorCount, 128u);
  // A bad checksum, or another type, is no footer: the whole file is read.
  fixed[64 * 1024 + 70] ^= 1;
  ASSERT_TRUE(OpenVhdLayout(fixedBytes, 0, &layout));
  EXPECT_FALSE(layout.fixedFooter);
  EXPECT_EQ(layout.sectorCount, 129u);
}

// ---- VHDX ----

// 600 blocks of 32 MiB (chunk ratio 128, 129 entries a chunk) in a file of
// 8 MiB: only the lookups are made, the data is never read.
VhdxFile ChunkedVhdx() {
  VhdxFile v(600 * 32 * kMiB, uint32_t(32 * kMiB), 512, 8 * kMiB);
  v.SetEntry(5, 7, 6);                // block 5, chunk 0: partly present
  v.SetEntry(128, 6, 3);              // chunk 0's bitmap at 3 MiB
  v.SetEntry(130 + 1, 6, 5);          // block 130, chunk 1: fully present
  v.SetEntry(131 + 1, 2, 0);          // block 131: zero
  v.SetEntry(256 + 2, 7, 6);          // block 256, chunk 2: partly, no bitmap
  v.SetEntry(500 + 3, 7, 7);          // block 500, chunk 3: entry on page 0 ...
  v.SetEntry(3 * 129 + 128, 6, 4);    // ... its bitmap entry (515) on page 1
  auto setBits = [&](size_t at, uint32_t first, uint32_t end) {
    for (uint32_t i = first; i < end; ++i) v.b[at + i / 8] |= uint8_t(1u << (i % 8));
  };
  setBits(3 * kMiB, 5 * 65536 + 10, 5 * 65536 + 20);
  setBits(3 * kMiB, 5 * 65536 + 65530, 6 * 65536);
  setBits(4 * kMiB, 116 * 65536, 116 * 65536 + 100);  // block 500 is block 116 of chunk 3
  // A bitmap that belongs to chunk 0's neighbour on the same page, so a
  // lookup that takes the wrong entry shows.
  v.SetEntry(129 + 128, 6, 4);
  return v;
}

TEST_F(VhdxMapTest, BitmapEntryOfEachChunk) {
  VhdxFile v = ChunkedVhdx();
  MemoryImageFile bytes(v.b.data(), v.b.size());
  VhdLayout layout;
  ASSERT_TRUE(OpenVhdLayout(bytes, 0, &layout)) << ToUtf8(LastErrorText());
  EXPECT_EQ(layout.diskType, 5);
  auto& map = static_cast<VhdBlockMap&>(*layout.map);
  EXPECT_EQ(map.chunkRatio, 128u);
  EXPECT_EQ(map.tableEntries, 5u * 129);
  EXPECT_EQ(layout.sectorCount, 600ull * 65536);
  const uint64_t block = 65536;
  const std::vector<LookupCase> cases = {
      {"partly present, chunk 0",
       5 * block,
       65536,
       {{P, 0, 10 * 512}, {F, 6 * kMiB + 10 * 512, 10 * 512}, {P, 0, (65530 - 20) * 512},
        {F, 6 * kMiB + 65530 * 512, 6 * 512}}},
      {"bitmap entry on the next page", 500 * block, 200, {{F, 7 * kMiB, 100 * 512}, {P, 0, 100 * 512}}},
      {"fully present", 130 * block, 8, {{F, 5 * kMiB, 8 * 512}}},
      {"fully present, then zero", 130 * block + 65532, 8, {{F, 5 * kMiB + 65532 * 512, 4 * 512}, {P, 0, 4 * 512}}},
      {"chunk without a bitmap", 256 * block, 8, {{P, 0, 8 * 512}}},
      {"not present", 7 * block, 8, {{P, 0, 8 * 512}}},
  };
  ExpectLookups(*layout.map, cases);
  // A damaged bitmap block is bad, and not kept.
  Bytes fresh = v.b;
  MemoryImageFile damaged(fresh.data(), fresh.size());
  damaged.damagedFirst = 4 * kMiB;
  damaged.damagedEnd = 4 * kMiB + 512;
  VhdLayout second;
  ASSERT_TRUE(OpenVhdLayout(damaged, 0, &second));
  EXPECT_EQ(Lookup(*second.map, 500 * block, 8), (std::vector<MapRun>{{B, 0, 8 * 512}}));
  damaged.damagedFirst = damaged.damagedEnd = 0;
  EXPECT_EQ(Lookup(*second.map, 500 * block, 8), (std::vector<MapRun>{{F, 7 * kMiB, 8 * 512}}));
}

TEST_F(VhdxMapTest, RegionAndMetadataChecks) {
  const std::u16string message = u"Invalid VHDX. Could not parse VHDX's Region";
  struct Case {
    const char* what;
    void (*patch)(VhdxFile&);
  } cases[] = {
      {"block size 3 MiB", [](VhdxFile& v) { Put32(v.b, VhdxFile::kParams, uint32_t(3 * kMiB)); }},
      {"block size 0", [](VhdxFile& v) { Put32(v.b, VhdxFile::kParams, 0); }},
      {"block size 512 KiB", [](VhdxFile& v) { Put32(v.b, VhdxFile::kParams, uint32_t(kMiB / 2)); }},
      {"block size 512 MiB", [](VhdxFile& v) { Put32(v.b, VhdxFile::kParams, uint32_t(512 * kMiB)); }},
      {"logical sector 1000", [](VhdxFile& v) { Put32(v.b, VhdxFile::kLogical, 1000); }},
      {"logical sector 0", [](VhdxFile& v) { Put32(v.b, VhdxFile::kLogical, 0); }},
      {"virtual size 0", [](VhdxFile& v) { Put64(v.b, VhdxFile::kSize, 0); }},
      {"virtual size 1 PiB", [](VhdxFile& v) { Put64(v.b, VhdxFile::kSize, kMiB << 30); }},
      {"region count 5000", [](VhdxFile& v) { Put32(v.b, 0x30000 + 8, 5000); }},
      {"no regions", [](VhdxFile& v) { Put32(v.b, 0x30000 + 8, 0); }},
      {"region signature", [](VhdxFile& v) { v.b[0x30000] = 'R'; }},
      {"BAT past the file", [](VhdxFile& v) { Put64(v.b, 0x30000 + 32, 8 * kMiB); }},
      {"BAT inside a MiB", [](VhdxFile& v) { Put64(v.b, 0x30000 + 32, 2 * kMiB + 4096); }},
      {"metadata count 5000", [](VhdxFile& v) { Put16(v.b, VhdxFile::kMetadata + 10, 5000); }},
      {"metadata signature", [](VhdxFile& v) { v.b[VhdxFile::kMetadata] = 'M'; }},
      {"item past the region", [](VhdxFile& v) { Put32(v.b, VhdxFile::kMetadata + 48, uint32_t(kMiB - 4)); }},
      {"item inside the table", [](VhdxFile& v) { Put32(v.b, VhdxFile::kMetadata + 48, 64); }},
      {"item too short", [](VhdxFile& v) { Put32(v.b, VhdxFile::kMetadata + 52 + 64, 2); }},
      {"item missing", [](VhdxFile& v) { Put16(v.b, VhdxFile::kMetadata + 10, 2); }},
      // 1 MiB blocks of a 200 GiB disk need more entries than 1 MiB of BAT.
      {"BAT too small for the disk",
       [](VhdxFile& v) {
         Put32(v.b, VhdxFile::kParams, uint32_t(kMiB));
         Put64(v.b, VhdxFile::kSize, uint64_t(200) << 30);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VhdxFile v = ChunkedVhdx();
    c.patch(v);
    MemoryImageFile bytes(v.b.data(), v.b.size());
    VhdLayout layout;
    EXPECT_FALSE(OpenVhdLayout(bytes, 0, &layout));
    EXPECT_EQ(LastErrorText(), message);
  }
}

TEST_F(VhdxHeaderTest, RecognisedAndTraced) {
  Bytes h(4096, 0);
  memcpy(h.data(), "head", 4);
  Put64(h, 8, 0x1234);
  Put16(h, 66, 1);
  Put32(h, 68, uint32_t(kMiB));
  Put64(h, 72, kMiB);
  EXPECT_TRUE(IsVHDXHeader(h.data()));
  Bytes bad = h;
  Put64(bad, 72, kMiB + 512);
  EXPECT_FALSE(IsVHDXHeader(bad.data()));
  bad = h;
  Put16(bad, 64, 1);
  EXPECT_FALSE(IsVHDXHeader(bad.data()));
  bad = h;
  Put32(bad, 68, 4096);
  EXPECT_FALSE(IsVHDXHeader(bad.data()));
  bad = h;
  bad[0] = 'H';
  EXPECT_FALSE(IsVHDXHeader(bad.data()));

  TraceCapture trace("vhdx_header_trace.txt");
  DumpVHDXHeader(h.data());
  EXPECT_NE(trace.Text().find("VHDX head seq 1234 - log leng 1048576 - log offset 100000, -log version 0\n"),
            std::string::npos)
      << trace.Text();
}

// ---- VMDK ----

// 256 sectors, grains of 8 sectors, 4 grains a table (32 sectors): the
// directory at sector 1 (8 entries), tables at 10 and 11, grains from 20.
Bytes SmallSparseVmdk() {
  Bytes b = SparseVmdk(256, 8, 4, 1, 44 * 512);
  const uint32_t gd[8] = {0, 10, 11, 1000, 0, 0, 0, 0};
  for (size_t i = 0; i < 8; ++i) Put32(b, 512 + 4 * i, gd[i]);
  const uint32_t t10[4] = {0, 1, 20, 28}, t11[4] = {36, 0, 0, 0};
  for (size_t i = 0; i < 4; ++i) {
    Put32(b, 10 * 512 + 4 * i, t10[i]);
    Put32(b, 11 * 512 + 4 * i, t11[i]);
  }
  return b;
}

TEST_F(VmdkMapTest, DirectoryAndGrains) {
  Bytes file = SmallSparseVmdk();
  MemoryImageFile bytes(file.data(), file.size());
  VmdkLayout layout;
  ASSERT_TRUE(OpenVmdkLayout(bytes, &layout)) << ToUtf8(LastErrorText());
  EXPECT_EQ(layout.extentKind, 1);
  EXPECT_EQ(layout.sectorCount, 256u);
  const std::vector<LookupCase> cases = {
      {"directory entry 0: the whole table from the parent", 0, 32, {{P, 0, 32 * 512}}},
      {"grain 0 parent, 1 zeros, two adjacent grains", 32, 32, {{P, 0, 8 * 512}, {Z, 0, 8 * 512}, {F, 20 * 512, 16 * 512}}},
      {"across two grains that follow each other in the file", 53, 5, {{F, 25 * 512, 5 * 512}}},
      {"second table", 64, 16, {{F, 36 * 512, 8 * 512}, {P, 0, 8 * 512}}},
      {"a table outside the file is bad", 96, 8, {{B, 0, 8 * 512}}},
  };
  ExpectLookups(*layout.map, cases);
}

TEST_F(VmdkMapTest, CopyOnWriteBeyondTheDirectoryReadsZeros) {
  // 64 sectors of 4096 grains of 1 sector a table; one directory entry
  // covers 4096 sectors, the disk has 8192.
  Bytes b = CowdVmdk(8192, 1, 4, 1, (4 + 32 + 8) * 512);
  Put32(b, 4 * 512, 5);  // table at sector 5 (32 sectors of 4096 entries)
  Put32(b, 5 * 512 + 4 * 7, 40);
  MemoryImageFile bytes(b.data(), b.size());
  VmdkLayout layout;
  ASSERT_TRUE(OpenVmdkLayout(bytes, &layout)) << ToUtf8(LastErrorText());
  EXPECT_EQ(layout.extentKind, 2);
  EXPECT_EQ(layout.sectorCount, 8192u);
  EXPECT_EQ(Lookup(*layout.map, 6, 3), (std::vector<MapRun>{{P, 0, 512}, {F, 40 * 512, 512}, {P, 0, 512}}));
  EXPECT_EQ(Lookup(*layout.map, 4095, 3), (std::vector<MapRun>{{P, 0, 512}, {Z, 0, 2 * 512}}));
}

TEST_F(VmdkMapTest, HeaderChecks) {
  struct Case {
    const char* what;
    void (*patch)(Bytes&);
    const char16_t* message;
  } cases[] = {
      {"grain size 0", [](Bytes& b) { Put64(b, 20, 0); }, u"Invalid VMDK header"},
      {"grain size 3", [](Bytes& b) { Put64(b, 20, 3); }, u"Invalid VMDK header"},
      {"grain size 2^40", [](Bytes& b) { Put64(b, 20, uint64_t(1) << 40); }, u"Invalid VMDK header"},
      {"no entries a table", [](Bytes& b) { Put32(b, 44, 0); }, u"Invalid VMDK header"},
      {"capacity 0", [](Bytes& b) { Put64(b, 12, 0); }, u"Invalid VMDK header"},
      {"directory past the file", [](Bytes& b) { Put64(b, 56, 44); }, u"Invalid VMDK header"},
      {"directory running past the file", [](Bytes& b) { Put64(b, 12, uint64_t(1) << 40); }, u"Invalid VMDK header"},
      {"compressed grains", [](Bytes& b) { Put32(b, 8, 0x30003); },
       u"Compressed (stream-optimized) VMDK files are not supported."},
      {"compression algorithm", [](Bytes& b) { Put16(b, 77, 1); },
       u"Compressed (stream-optimized) VMDK files are not supported."},
      {"directory at the end", [](Bytes& b) { Put64(b, 56, ~0ull); },
       u"Compressed (stream-optimized) VMDK files are not supported."},
      {"text descriptor", [](Bytes& b) { memcpy(b.data(), "# Disk DescriptorFile\n", 22); },
       u"This VMDK file is a text descriptor: open the extent file it names instead."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = SmallSparseVmdk();
    c.patch(file);
    MemoryImageFile bytes(file.data(), file.size());
    VmdkLayout layout;
    EXPECT_FALSE(OpenVmdkLayout(bytes, &layout));
    EXPECT_EQ(LastErrorText(), c.message);
  }
  // COWD: grain size and directory count.
  Bytes cow = CowdVmdk(8192, 0, 4, 1, 44 * 512);
  MemoryImageFile cowBytes(cow.data(), cow.size());
  VmdkLayout layout;
  EXPECT_FALSE(OpenVmdkLayout(cowBytes, &layout));
  cow = CowdVmdk(8192, 1, 4, 0, 44 * 512);
  MemoryImageFile noEntries(cow.data(), cow.size());
  EXPECT_FALSE(OpenVmdkLayout(noEntries, &layout));
  // Anything else is a flat extent.
  Bytes flat(3000, 0x42);
  MemoryImageFile flatBytes(flat.data(), flat.size());
  ASSERT_TRUE(OpenVmdkLayout(flatBytes, &layout));
  EXPECT_EQ(layout.extentKind, 0);
  EXPECT_EQ(layout.sectorCount, 6u);
  EXPECT_EQ(Lookup(*layout.map, 4, 2), (std::vector<MapRun>{{F, 2048, 952}, {Z, 0, 72}}));
}

// ---- the VHD bitmap finder ----

// Sectors of a dynamic VHD's data area: at each given sector a bitmap whose
// first `present` bytes are 0xFF (their sectors data) and the rest 0x00
// (their sectors zeros); data sectors elsewhere.
Bytes BitmapArea(size_t sectors, const std::vector<size_t>& bitmaps, size_t present) {
  Bytes b(sectors * 512, 0x77);
  for (size_t at : bitmaps) {
    memset(b.data() + at * 512, 0x00, 512);
    memset(b.data() + at * 512, 0xFF, present);
    const size_t zeroFrom = at + 1 + present * 8, zeroEnd = std::min(sectors, at + 1 + 4096);
    if (zeroFrom < zeroEnd) memset(b.data() + zeroFrom * 512, 0, (zeroEnd - zeroFrom) * 512);
  }
  return b;
}

// Feeds the area in pieces of 100 sectors from sector `first`.
void Feed(VhdBitmapFinder& f, int64_t first, const Bytes& area) {
  for (size_t at = 0; at < area.size(); at += 100 * 512)
    f.AddRange(first + int64_t(at / 512), area.data() + at, std::min<size_t>(100 * 512, area.size() - at));
}

TEST_F(VhdBitmapFinderTest, ReportsBitmapsFollowedByTheirZeroSectors) {
  TraceCapture trace("vhd_bm_trace.txt");
  {
    VhdBitmapFinder f;
    ASSERT_TRUE(f.Init(2048, 4096, 512, 1, 0));
    Feed(f, 1000, BitmapArea(6000, {10}, 256));
  }
  EXPECT_NE(trace.Text().find("VHD bm @ 1010 1\n"), std::string::npos) << trace.Text();
}

TEST_F(VhdBitmapFinderTest, RunsOfBitmapsAndTheThreshold) {
  const Bytes area = BitmapArea(20000, {100, 100 + 4097, 100 + 2 * 4097}, 100);
  for (int64_t threshold : {3, 4}) {
    SCOPED_TRACE(threshold);
    TraceCapture trace("vhd_bm_runs.txt");
    VhdBitmapFinder f;
    ASSERT_TRUE(f.Init(2048, 4096, 512, threshold, 0));
    Feed(f, 0, area);
    f.Flush();
    EXPECT_EQ(f.RunsReported(), threshold == 3 ? 1u : 0u);
    EXPECT_EQ(trace.Text().find("VHD bm @ 100 3\n") != std::string::npos, threshold == 3) << trace.Text();
  }
}

TEST_F(VhdBitmapFinderTest, UnrelatedSectorsAreNotReported) {
  TraceCapture trace("vhd_bm_none.txt");
  struct Case {
    const char* what;
    Bytes area;
  } cases[] = {
      // 0x00 and 0xFF bytes, but data where its clear bits say zeros.
      {"mixed sector before data", BitmapArea(6000, {10}, 256)},
      {"only zeros and ones", Bytes(6000 * 512, 0)},
      {"all 0xFF", Bytes(6000 * 512, 0xFF)},
  };
  memset(cases[0].area.data() + (11 + 256 * 8 + 5) * 512, 0x01, 1);
  memset(cases[1].area.data() + 200 * 512, 0xFF, 512);
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    VhdBitmapFinder f;
    ASSERT_TRUE(f.Init(2048, 4096, 512, 1, 0));
    Feed(f, 0, c.area);
    f.Flush();
    EXPECT_EQ(f.RunsReported(), 0u);
  }
  EXPECT_EQ(trace.Text().find("VHD bm"), std::string::npos) << trace.Text();
}

TEST_F(VhdBitmapFinderTest, PaddingGapsAndClasses) {
  // With a padding of 3 the described sectors start 4 after the bitmap.
  Bytes area(6000 * 512, 0x77);
  memset(area.data() + 10 * 512, 0xFF, 256);
  memset(area.data() + 10 * 512 + 256, 0x00, 256);
  memset(area.data() + (14 + 2048) * 512, 0, 2048 * 512);
  VhdBitmapFinder f;
  ASSERT_TRUE(f.Init(2048, 4096, 512, 1, 3));
  Feed(f, 0, area);
  f.Flush();
  EXPECT_EQ(f.RunsReported(), 1u);
  // A piece that does not follow the last one ends the run first; a piece
  // without data reads as zeros.
  VhdBitmapFinder g;
  ASSERT_TRUE(g.Init(16, 4096, 512, 1, 0));
  const Bytes one = BitmapArea(6000, {10}, 256);
  g.AddRange(0, one.data(), 11 * 512);
  g.AddRange(11, nullptr, 5000 * 512);  // zeros: the bitmap's sectors
  g.AddRange(90000, one.data(), 11 * 512);
  g.Flush();
  EXPECT_EQ(g.RunsReported(), 2u);
  EXPECT_FALSE(VhdBitmapFinder().Init(0, 4096, 512, 1, 0));
  EXPECT_FALSE(VhdBitmapFinder().Init(16, 4096, 1000, 1, 0));
  EXPECT_FALSE(VhdBitmapFinder().Init(16, 4096, 512, 1, -1));
  const uint8_t z[512] = {}, m[4] = {0, 0xFF, 0, 0xFF}, d[4] = {0, 1, 0, 0};
  EXPECT_EQ(VhdBitmapFinder::Classify(z, 512), VhdBitmapFinder::kZero);
  EXPECT_EQ(VhdBitmapFinder::Classify(m, 4), VhdBitmapFinder::kCandidate);
  EXPECT_EQ(VhdBitmapFinder::Classify(d, 4), VhdBitmapFinder::kData);
}

TEST_F(VhdBitmapFinderTest, MadeFromTheOptions) {
  AppState state;
  EXPECT_EQ(MakeVhdBitmapFinder(state), nullptr);
  state.vhdBitmapFinder = std::make_unique<VhdBitmapOptions>();
  state.vhdBitmapFinder->minimumChainLength = 5;
  EXPECT_NE(MakeVhdBitmapFinder(state), nullptr);
  state.vhdBitmapFinder->padding = -4;
  EXPECT_EQ(MakeVhdBitmapFinder(state), nullptr);
}

}  // namespace
