// Picture parsers on crafted files: the edge cases of the formats and one
// fixture per mended fault (segment lengths below 2, 64-bit skips and
// sizes, directory loops, IFD-typed entries, failed and out-of-drive reads,
// big-endian TIFFs with their directory at the end).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/CarveScan.h"
#include "carving/HdrParse.h"
#include "carving/Pictures.h"
#include "carving/SectorProbe.h"
#include "tests/support/ByteWriter.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, std::initializer_list<int> bytes) {
  for (int x : bytes) b.push_back(uint8_t(x));
}
using testbytes::Append16;
using testbytes::Append32;
using testbytes::AppendBe16;
using testbytes::AppendBe32;

// A JPEG: start of image, a JFIF segment, one scan of `scan` bytes (no 0xFF
// in them), end of image.
Bytes Jpeg(const Bytes& scan) {
  Bytes b;
  Put(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  Put(b, {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  b.insert(b.end(), scan.begin(), scan.end());
  Put(b, {0xFF, 0xD9});
  return b;
}

Bytes Varied(size_t n, int salt = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(1 + (i * 7 + size_t(salt)) % 200);
  return b;
}

FeedResult Feed(const Bytes& file, size_t step = 512, size_t tail = 4096) {
  const Bytes image = WithTail(file, Tail::Random, tail + (512 - file.size() % 512) % 512);
  return FeedFile(image.data(), image.size(), EvenReads(image.size(), step));
}

// ---------------------------------------------------------------- JPEG

TEST(JpegParser, ScanDataMarkersRestartsAndSeveralScans) {
  Bytes scan = Varied(3000);
  scan[100] = 0xFF, scan[101] = 0x00;  // stuffing
  scan[900] = 0xFF, scan[901] = 0xD3;  // restart
  Bytes f = Jpeg(scan);
  // A second scan after a table segment.
  f.resize(f.size() - 2);
  Put(f, {0xFF, 0xC4, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x04, 0x00, 0x00});
  const Bytes more = Varied(700, 3);
  f.insert(f.end(), more.begin(), more.end());
  Put(f, {0xFF, 0xD9});
  for (size_t step : {size_t(1), size_t(7), size_t(512), size_t(65536)}) {
    const FeedResult r = Feed(f, step);
    EXPECT_TRUE(r.recorded) << step << " " << r.Describe();
    EXPECT_EQ(r.size, int64_t(f.size())) << step;
  }
}

TEST(JpegParser, RunsOfOneByteInScanData) {
  for (size_t run : {size_t(999), size_t(1000), size_t(5000)}) {
    Bytes scan = Varied(2000);
    const Bytes same(run, 0x55);
    scan.insert(scan.begin() + 700, same.begin(), same.end());
    const Bytes f = Jpeg(scan);
    const FeedResult whole = Feed(f, 65536);
    EXPECT_EQ(whole.recorded, run < 1000) << run;
    if (run < 1000) {
      EXPECT_EQ(whole.size, int64_t(f.size()));
    }
  }
  // A run goes on across reads: cut in two, or read in sectors, it is as
  // long as it is.
  Bytes scan = Varied(1000);
  const Bytes same(1200, 0x00);
  scan.insert(scan.begin() + 400, same.begin(), same.end());
  const Bytes f = Jpeg(scan);
  const size_t cut = 30 + 400 + 600;
  const Bytes image = WithTail(f, Tail::Zero, 4096);
  for (const auto& reads : {ReadsAt(image.size(), {cut}), EvenReads(image.size(), 512), EvenReads(image.size(), 1)}) {
    const FeedResult r = FeedFile(image.data(), image.size(), reads);
    EXPECT_FALSE(r.recorded) << r.Describe();
  }
  // Stuffing breaks a run.
  Bytes broken = Varied(1000);
  Bytes halves(600, 0x00);
  halves.push_back(0xFF);
  halves.insert(halves.end(), 600, 0x00);
  broken.insert(broken.begin() + 400, halves.begin(), halves.end());
  const Bytes g = Jpeg(broken);
  EXPECT_TRUE(Feed(g, 512).recorded);
  EXPECT_TRUE(Feed(g, 65536).recorded);
}

TEST(JpegParser, SegmentLengthsBelowTwoAreRefused) {
  for (int length : {0, 1}) {
    Bytes f;
    Put(f, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, length, 'J', 'F', 'I', 'F', 0});
    const Bytes rest = Jpeg(Varied(2000));
    f.insert(f.end(), rest.begin() + 2, rest.end());
    const Bytes image = WithTail(f, Tail::Zero, 4096);
    // Whole, and with the length split between two reads.
    for (const auto& reads : {EvenReads(image.size(), 512), ReadsAt(image.size(), {5})}) {
      const FeedResult r = FeedFile(image.data(), image.size(), reads);
      EXPECT_FALSE(r.recorded) << length << " " << r.Describe();
    }
  }
}

TEST(JpegParser, StartOfImageOnlyAsTheFilesOwnMarker) {
  // As a marker after the first: refused.
  Bytes f;
  Put(f, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0, 0, 0xFF, 0xD8});
  const Bytes rest = Jpeg(Varied(600));
  f.insert(f.end(), rest.begin() + 2, rest.end());
  EXPECT_FALSE(Feed(f).recorded);
  // Inside a segment (an EXIF thumbnail): skipped with it.
  Bytes g;
  Put(g, {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x0A, 0xFF, 0xD8, 0xFF, 0xDB, 0xFF, 0xD9, 0x00, 0x00});
  const Bytes rest2 = Jpeg(Varied(600));
  g.insert(g.end(), rest2.begin() + 2, rest2.end());
  const FeedResult r = Feed(g);
  EXPECT_TRUE(r.recorded);
  EXPECT_EQ(r.size, int64_t(g.size()));
}

TEST(JpegParser, AFileThatWouldPassTwoToThe64BytesIsRefused) {
  HdrParse driver;
  const Bytes f = Jpeg(Varied(5000));
  HdrNode* p = driver.Slot(kTypeJpg);
  p->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypeJpg, f.data(), 100), kFileTypePending);
  p->consumed = UINT64_MAX - 50;
  EXPECT_EQ(driver.ParseMore(f.data() + 100, 512, 2), kFileTypePending);
  EXPECT_EQ(p->state, kHdrIdle) << "rejected and reset";
  EXPECT_EQ(driver.ActiveCount(), 0);
}

// ---------------------------------------------------------------- PNG

Bytes PngChunk(const char* type, const Bytes& data) {
  Bytes b;
  AppendBe32(b, uint32_t(data.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), data.begin(), data.end());
  AppendBe32(b, 0x12345678);
  return b;
}

Bytes Png(const std::vector<size_t>& chunkSizes) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  int k = 0;
  for (size_t n : chunkSizes) {
    const Bytes c = PngChunk(k == 0 ? "IHDR" : "IDAT", Varied(n, k));
    ++k;
    b.insert(b.end(), c.begin(), c.end());
  }
  const Bytes end = PngChunk("IEND", {});
  b.insert(b.end(), end.begin(), end.end());
  return b;
}

TEST(PngParser, ChunksEndingAtReadEndsAndCutHeaders) {
  // The first chunk ends exactly at byte 512, the second at 1024.
  const Bytes f = Png({512 - 8 - 12, 512 - 12, 3000, 0});
  for (size_t step : {size_t(1), size_t(3), size_t(512), size_t(4096)}) {
    const FeedResult r = Feed(f, step);
    EXPECT_TRUE(r.recorded) << step;
    EXPECT_EQ(r.size, int64_t(f.size())) << step;
    EXPECT_EQ(r.type, kTypePng);
  }
}

TEST(PngParser, ChunkTypesMustBeLetters) {
  Bytes f = Png({13, 100});
  f[8 + 4 + 2] = '1';  // "IH1R"
  EXPECT_FALSE(Feed(f).recorded);
}

// A chunk length near 2^32: the skip runs past 4 GiB, so the parser waits
// instead of wrapping back into the bytes it has passed.
TEST(PngParser, SkipsPast4GiBDoNotWrap) {
  Bytes f = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  AppendBe32(f, 0xFFFFFFF0u);
  Put(f, {'I', 'D', 'A', 'T'});
  f.resize(4096, 0);
  // Where a 32-bit cursor would land (8 + 12 + 0xFFFFFFF0 = 2^32 + 4 → 4):
  // a chunk end would be found there and much nonsense read.
  HdrParse driver;
  driver.Slot(kTypePng)->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypePng, f.data(), f.size()), kFileTypePending);
  Bytes iend = PngChunk("IEND", {});
  iend.resize(4096, 0);
  for (int64_t read = 2; read < 40; ++read) ASSERT_EQ(driver.ParseMore(iend.data(), iend.size(), read), 31);
  EXPECT_EQ(driver.ActiveCount(), 1);
  EXPECT_EQ(driver.Slot(kTypePng)->cursor, 8 + 12 + 0xFFFFFFF0ull - 39 * 4096);
}

// ---------------------------------------------------------------- BMP, MRW

// A BMP of `fileSize` with an info header of `infoBytes`: the OS/2 core
// header's 16-bit sides and planes, or the Windows ones' 32-bit sides.
Bytes Bmp(uint32_t fileSize, uint32_t infoBytes = 40) {
  Bytes b = {'B', 'M'};
  Append32(b, fileSize);
  Append32(b, 0);
  Append32(b, 14 + infoBytes);
  Append32(b, infoBytes);
  if (infoBytes == 12) {
    Append16(b, 2);
    Append16(b, 2);
  } else {
    Append32(b, 2);
    Append32(b, 2);
  }
  Append16(b, 1);
  Append16(b, 24);
  b.resize(512, 0);
  return b;
}

// The stated size is the file's, when both headers fit in it.
TEST(BmpParser, SizeFromTheHeaderAtLeastBothHeaders) {
  for (uint32_t info : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
    for (uint32_t size : {0u, 14u, 13 + info, 14 + info, 14 + info + 16, 100000u}) {
      const Bytes f = Bmp(size, info);
      EXPECT_EQ(ProbeSectorSignature(f.data()), kTypeBmp) << info;
      const FeedResult r = Feed(f, 4096, 200000);
      EXPECT_EQ(r.recorded, size >= 14 + info) << info << " " << size;
      if (size >= 14 + info) {
        EXPECT_EQ(r.size, int64_t(size)) << info;
      }
    }
  }
}

TEST(MrwParser, SizeIn64Bits) {
  Bytes f = {0x00, 'M', 'R', 'M'};
  AppendBe32(f, 100);
  f.resize(24, 0);
  AppendBe16(f, 0xFFFF);
  AppendBe16(f, 0xFFFF);
  f.resize(512, 0);
  HdrParse driver;
  driver.Slot(kTypeMrw)->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypeMrw, f.data(), f.size()), kTypeMrw);
  EXPECT_EQ(driver.Slot(kTypeMrw)->size, 100ull + 0xFFFFull * 0xFFFF * 3 / 2 + 8);
  EXPECT_EQ(driver.ActiveCount(), 0);
}

// A size from a header that runs past the drive: the hit ends at the
// drive's end.
TEST(CarveScanHits, AHitEndsAtTheDrivesEnd) {
  Bytes disk(64 * 512, 0);
  Bytes mrw = {0x00, 'M', 'R', 'M'};
  AppendBe32(mrw, 100);
  mrw.resize(24, 0);
  AppendBe16(mrw, 0xFFFF);
  AppendBe16(mrw, 0xFFFF);
  std::copy(mrw.begin(), mrw.end(), disk.begin() + 10 * 512);
  const Bytes bmp = Bmp(1u << 30);
  std::copy(bmp.begin(), bmp.end(), disk.begin() + 20 * 512);
  const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), 4096);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].type, kTypeMrw);
  EXPECT_EQ(hits[0].size, (64 - 10) * 512);
  EXPECT_EQ(hits[0].flags, kHdrClassHeaderSized);
  EXPECT_EQ(hits[1].type, kTypeBmp);
  EXPECT_EQ(hits[1].size, (64 - 20) * 512);
}

// ---------------------------------------------------------------- TIFF

// A little- or big-endian TIFF built from directories of (tag, type,
// count, value) entries; `next` links are given by index.
struct Entry {
  uint16_t tag, type;
  uint32_t count, value;
};

class TiffBuilder {
 public:
  explicit TiffBuilder(bool little) : little_(little) {
    if (little) {
      Put(b, {'I', 'I', 42, 0});
    } else {
      Put(b, {'M', 'M', 0, 42});
    }
    U32(8);
  }
  void U16(uint32_t v) { little_ ? Append16(b, v) : AppendBe16(b, v); }
  void U32(uint32_t v) { little_ ? Append32(b, v) : AppendBe32(b, v); }
  void Set32(size_t at, uint32_t v) {
    Bytes t;
    little_ ? Append32(t, v) : AppendBe32(t, v);
    std::copy(t.begin(), t.end(), b.begin() + long(at));
  }
  // Appends a directory; returns its offset and remembers where its next
  // link is.
  uint32_t Dir(const std::vector<Entry>& entries, uint32_t next = 0) {
    const uint32_t at = uint32_t(b.size());
    U16(uint32_t(entries.size()));
    for (const Entry& e : entries) {
      U16(e.tag);
      U16(e.type);
      U32(e.count);
      if (e.type == 3 && e.count == 1 && !little_) {
        U16(e.value);
        U16(0);
      } else {
        U32(e.value);
      }
    }
    nextAt.push_back(b.size());
    U32(next);
    return at;
  }
  Bytes b;
  std::vector<size_t> nextAt;

 private:
  bool little_;
};

// One strip of `n` bytes at `at`.
std::vector<Entry> Strip(uint32_t at, uint32_t n) {
  return {{256, 4, 1, 8}, {257, 4, 1, 8}, {273, 4, 1, at}, {279, 4, 1, n}};
}

TEST(TiffParser, DirectoryLoopsEndTheWalk) {
  for (bool little : {true, false}) {
    // A → B → A, B holding a sub-directory list that points back to A; B
    // lies outside the first read, so it comes from the disk.
    TiffBuilder t(little);
    const uint32_t a = t.Dir(Strip(4000, 1000));
    t.b.resize(2048, 0);
    const uint32_t b = t.Dir({{256, 4, 1, 8}, {330, 13, 1, a}});
    t.Set32(t.nextAt[0], b);
    t.Set32(t.nextAt[1], a);
    t.b.resize(5000, 7);
    Bytes image = WithTail(t.b, Tail::Zero, 4096 + (512 - t.b.size() % 512));
    MemoryDrive drive(image.data(), image.size());
    const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive);
    EXPECT_TRUE(r.recorded) << little;
    EXPECT_EQ(r.size, 5000) << little;
    EXPECT_EQ(r.type, kTypeNef) << little;
    EXPECT_EQ(drive.reads, 1u) << little;
  }
}

TEST(TiffParser, AtMost1024Directories) {
  TiffBuilder t(true);
  std::vector<uint32_t> dirs;
  dirs.push_back(t.Dir(Strip(100, 100)));
  for (int i = 1; i < 3000; ++i) dirs.push_back(t.Dir({{256, 4, 1, 8}}));
  for (size_t i = 0; i + 1 < dirs.size(); ++i) t.Set32(t.nextAt[i], dirs[i + 1]);
  Bytes image = WithTail(t.b, Tail::Zero, 4096 + (512 - t.b.size() % 512));
  MemoryDrive drive(image.data(), image.size());
  const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive);
  EXPECT_TRUE(r.recorded);
  // The size covers the walk's first 1024 directories only.
  EXPECT_EQ(r.size, int64_t(dirs[1023]) + 18);
}

TEST(TiffParser, FieldTypeThirteenIsAFourByteOffset) {
  TiffBuilder t(false);
  const uint32_t sub = t.Dir(Strip(3000, 2000));
  // An EXIF directory pointer and a sub-directory list with type 13; an
  // unknown type 14 later in a directory ends the walk there.
  t.Set32(4, uint32_t(t.b.size()));
  t.Dir({{256, 4, 1, 8}, {273, 4, 1, 600}, {279, 4, 1, 100}, {330, 13, 1, sub}, {34665, 13, 1, sub}});
  t.b.resize(5000, 1);
  const FeedResult r = Feed(t.b, 4096);
  EXPECT_TRUE(r.recorded);
  EXPECT_EQ(r.size, 5000);
  EXPECT_EQ(r.type, kTypeNef);

  TiffBuilder u(true);
  u.Dir({{256, 4, 1, 8}, {273, 4, 1, 600}, {279, 4, 1, 100}, {300, 14, 1, 0}, {273, 4, 1, 0}});
  u.b.resize(1000, 1);
  EXPECT_FALSE(Feed(u.b).recorded) << "a directory that ends early held no complete strip list";
}

TEST(TiffParser, StripsAndTilesAreNotMixedAndBothKindsMustBeThere) {
  TiffBuilder mixed(true);
  mixed.Dir({{256, 4, 1, 8}, {273, 4, 1, 600}, {279, 4, 1, 100}, {324, 4, 1, 700}, {325, 4, 1, 100}});
  mixed.b.resize(1000, 1);
  EXPECT_FALSE(Feed(mixed.b).recorded);
  TiffBuilder half(true);
  half.Dir({{256, 4, 1, 8}, {273, 4, 1, 600}});
  half.b.resize(1000, 1);
  EXPECT_FALSE(Feed(half.b).recorded);
  TiffBuilder none(true);
  const uint32_t a = none.Dir({{256, 4, 1, 8}, {306, 2, 20, 400}});
  none.Set32(none.nextAt[0], none.Dir({{257, 4, 1, 8}}));
  (void)a;
  none.b.resize(1000, 1);
  EXPECT_FALSE(Feed(none.b).recorded) << "no directory holds image data";
  TiffBuilder counts(true);
  counts.Dir({{256, 4, 1, 8}, {273, 4, 2, 600}, {279, 4, 1, 100}});
  counts.b.resize(1000, 1);
  EXPECT_FALSE(Feed(counts.b).recorded) << "offsets and sizes of different counts";
}

TEST(TiffParser, StripArraysOutsideTheFirstRead) {
  TiffBuilder t(false);
  const uint32_t n = 300;
  const uint32_t offsets = 20000, sizes = offsets + 4 * n;
  t.Dir({{256, 4, 1, 8}, {273, 4, n, offsets}, {279, 3, n, sizes}});
  Bytes& f = t.b;
  f.resize(sizes + 2 * n, 0);
  uint32_t at = 30000;
  for (uint32_t k = 0; k < n; ++k) {
    t.Set32(offsets + 4 * k, at);
    f[sizes + 2 * k] = 0;
    f[sizes + 2 * k + 1] = 100;
    at += 100;
  }
  f.resize(at, 9);
  for (size_t step : {size_t(512), size_t(1) << 20}) {
    const FeedResult r = Feed(f, step);
    EXPECT_TRUE(r.recorded) << step;
    EXPECT_EQ(r.size, int64_t(at)) << step;
  }
}

// Reads of the disk that fail, or that would pass the drive's end, reject
// the file; nothing is thrown.
TEST(TiffParser, FailedAndOutOfDriveReadsReject) {
  TiffBuilder t(true);
  const uint32_t second = 9000;
  t.Dir(Strip(2000, 1000), second);
  t.b.resize(second, 3);
  t.Dir(Strip(12000, 1000));
  t.b.resize(13000, 4);
  Bytes image = WithTail(t.b, Tail::Zero, 4096 + (512 - t.b.size() % 512));
  {
    MemoryDrive drive(image.data(), image.size());
    const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive);
    EXPECT_TRUE(r.recorded);
    EXPECT_EQ(r.size, 13000);
  }
  {
    MemoryDrive drive(image.data(), image.size());
    drive.failFrom = second / 512;
    const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive);
    EXPECT_FALSE(r.recorded) << r.Describe();
  }
  {
    // The drive ends before the second directory.
    MemoryDrive drive(image.data(), second - 1000);
    const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive);
    EXPECT_FALSE(r.recorded) << r.Describe();
  }
  {
    // No drive to read from at all: only a file inside the first read is
    // measured.
    HdrParse driver;
    driver.Slot(kTypeTif)->headerSector = 0;
    EXPECT_LT(driver.Parse(kTypeTif, image.data(), 512), 0);
  }
}

TEST(TiffParser, BigEndianWithTheDirectoryAtTheEnd) {
  // As libtiff and ImageMagick write it: data first, the directory last.
  TiffBuilder t(false);
  t.b.resize(3000, 5);
  t.Set32(4, 3000);
  t.Dir(Strip(8, 2992));
  EXPECT_EQ(ProbeSectorSignature(WithTail(t.b, Tail::Zero, 512).data()), kTypeTif);
  const FeedResult r = Feed(t.b);
  EXPECT_TRUE(r.recorded);
  EXPECT_EQ(r.size, int64_t(t.b.size()));
}

}  // namespace

// Strip or tile arrays of random bytes say nothing of the file's size: it
// ends with its directories, and that size is no more than a guess (never
// rated Good), however far the random offsets reach. The tiled picture is
// tiffcp's (tests/fixtures/carve/README.md), placed before 4 MiB of other
// data; the strips are a crafted file's.
TEST(TiffParser, ImageArraysOfRandomBytesGiveTheDirectoriesSize) {
  std::ifstream in(std::string(DV_SOURCE_DIR) + "/tests/fixtures/carve/tif_tiled.tif", std::ios::binary);
  const Bytes tiled((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(tiled.size(), 70794u);
  // Its directory at 70460 (17 entries); tile offsets (9 LONGs) at 70694,
  // byte counts (9 SHORTs) at 70676.
  TiffBuilder strips(true);
  const uint32_t n = 40, offsets = 6000, sizes = offsets + 4 * n;
  strips.Dir({{256, 4, 1, 64}, {257, 4, 1, 64}, {258, 3, 1, 8}, {273, 4, n, offsets}, {279, 4, n, sizes}});
  strips.b.resize(sizes + 4 * n, 0);
  for (uint32_t k = 0; k < n; ++k) {
    strips.Set32(offsets + 4 * k, 8000 + 100 * k);
    strips.Set32(sizes + 4 * k, 100);
  }
  strips.b.resize(8000 + 100 * n, 6);
  struct Case {
    const char* what;
    Bytes file;
    std::vector<std::pair<size_t, size_t>> arrays;  // places of the arrays
    int64_t directoriesEnd;                         // with the fields stored after them
  };
  const Case cases[] = {
      // tiffcp writes the white point and primaries after the directory:
      // they end the file.
      {"tiles", tiled, {{70694, 36}, {70676, 18}}, 70794},
      {"strips", strips.b, {{offsets, 4 * n}, {sizes, 4 * n}}, 8 + 2 + 5 * 12 + 4},
  };
  uint64_t seed = 0x2545F4914F6CDD1Dull;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int round = 0; round < 40; ++round) {
      Bytes disk = c.file;
      if (round > 0)
        for (const auto& [at, bytes] : c.arrays)
          for (size_t k = 0; k < bytes; ++k) {
            seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
            disk[at + k] = uint8_t(seed);
          }
      disk.resize((disk.size() + 511) / 512 * 512 + (4u << 20), 0x5A);
      const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), 4096);
      ASSERT_FALSE(hits.empty());
      EXPECT_EQ(hits[0].start, 0);
      EXPECT_EQ(hits[0].type, kTypeTif);
      if (round == 0) {
        // The picture as it was written: measured whole, and sure.
        EXPECT_EQ(hits[0].size, int64_t(c.file.size()));
        EXPECT_EQ(hits[0].flags & kHdrClassHeaderSized, 0);
        continue;
      }
      EXPECT_EQ(hits[0].size, c.directoriesEnd);
      EXPECT_EQ(hits[0].flags & kHdrClassHeaderSized, kHdrClassHeaderSized);
    }
  }
}
