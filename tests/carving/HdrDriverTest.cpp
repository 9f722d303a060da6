// The carving driver and the carving side of the sector pass: starting and
// feeding parsers, the active count, flushing, restarts by a second header,
// the hit list, and the parser base.
#include "carving/HdrParse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "CarveHarness.h"
#include "carving/CarveScan.h"
#include "carving/SectorProbe.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

using Bytes = std::vector<uint8_t>;

// A JPEG header that leaves the parser in its scan data.
Bytes JpegStart() {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
             0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
  b.resize(512, 0x11);
  return b;
}

Bytes PngStart() {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  b.resize(8 + 8 + 13 + 4, 0);
  b.resize(512, 0);
  // Zeros after IHDR: a chunk of length 0 whose type is not letters would
  // end it, so the rest of the sector is one IDAT chunk.
  const size_t at = 8 + 25;
  const uint32_t n = uint32_t(512 - at - 12);
  b[at] = 0, b[at + 1] = 0, b[at + 2] = uint8_t(n >> 8), b[at + 3] = uint8_t(n);
  std::memcpy(&b[at + 4], "IDAT", 4);
  return b;
}

Bytes BmpHeader(uint32_t size) {
  Bytes b(512, 0);
  b[0] = 'B', b[1] = 'M';
  b[2] = uint8_t(size), b[3] = uint8_t(size >> 8), b[4] = uint8_t(size >> 16);
  b[14] = 40, b[26] = 1;
  return b;
}

TEST(HdrNodeBase, ResetAndStartLimit) {
  HdrNode n;
  EXPECT_EQ(n.startLimit, -1);
  EXPECT_TRUE(n.IsAtOrAfterStart(0)) << "a fresh parser is admitted at sector 0";
  n.state = kHdrActive;
  EXPECT_FALSE(n.IsAtOrAfterStart(1000)) << "a running parser never is";
  n.startLimit = 50;
  n.size = 9, n.consumed = 9, n.cursor = 9, n.counter = 9, n.refinedType = 9, n.enabled = 0;
  n.lastSector = 9, n.headerSector = 9, n.sectorSize = 4096;
  EXPECT_EQ(n.Reset(), 0);
  EXPECT_EQ(n.state, kHdrIdle);
  EXPECT_EQ(n.enabled, 1);
  EXPECT_EQ(n.size + n.consumed + n.cursor + n.counter + n.refinedType, 0u);
  EXPECT_EQ(n.lastSector, -1);
  EXPECT_EQ(n.headerSector, -1);
  EXPECT_EQ(n.sectorSize, 512u);
  EXPECT_EQ(n.startLimit, 50) << "the start limit stays";
  EXPECT_FALSE(n.IsAtOrAfterStart(49));
  EXPECT_TRUE(n.IsAtOrAfterStart(50));
  const uint8_t sector[512] = {};
  EXPECT_EQ(n.Parse(sector, sizeof sector), -1) << "the base refuses every header";
  EXPECT_EQ(n.state, kHdrRejected);
}

TEST(HdrDriver, ClassBytesAndKindsNeverCarved) {
  HdrParse d;
  for (int t = 0; t < kFileTypeCount; ++t) {
    const uint8_t expected = t <= kTypeBmap ? 2 : (t == kTypeBmp || t == kTypeMrw) ? 4 : 0;
    EXPECT_EQ(d.Slot(t)->classByte, expected) << t;
  }
  EXPECT_EQ(d.Slot(-1), nullptr);
  EXPECT_EQ(d.Slot(31), nullptr);
  // The tif, nef and cr2 slots are three parsers.
  EXPECT_NE(d.Slot(kTypeTif), d.Slot(kTypeNef));
  EXPECT_NE(d.Slot(kTypeTif), d.Slot(kTypeCr2));
  Bytes gif(512, 0);
  std::memcpy(gif.data(), "GIF89a", 6);
  Bytes wmf(512, 0);
  wmf[0] = 0xD7, wmf[1] = 0xCD, wmf[2] = 0xC6, wmf[3] = 0x9A;
  for (int t : {kTypeGif, kTypeWma, kTypeWmf, kTypeXml}) {
    EXPECT_LT(d.Parse(t, t == kTypeGif ? gif.data() : wmf.data(), 512), 0) << t;
    EXPECT_EQ(d.Slot(t)->state, kHdrIdle) << "reset after the refusal";
  }
  EXPECT_EQ(d.ActiveCount(), 0);
  EXPECT_LT(d.Parse(99, gif.data(), 512), 0);
}

TEST(HdrDriver, FilesCompleteAtOnceAreNeverActive) {
  HdrParse d;
  const Bytes bmp = BmpHeader(2000);
  EXPECT_EQ(d.Parse(kTypeBmp, bmp.data(), bmp.size()), kTypeBmp);
  EXPECT_EQ(d.Slot(kTypeBmp)->size, 2000u);
  const Bytes info(512, 0);
  EXPECT_EQ(d.Parse(kTypeInfo2, info.data(), 512), kTypeInfo2);
  EXPECT_EQ(d.Parse(kTypeBmap, info.data(), 512), kTypeBmap);
  EXPECT_EQ(d.ActiveCount(), 0);
  EXPECT_EQ(d.Flush(), 0) << "completed, not yet taken";
}

TEST(HdrDriver, ParseMoreFeedsEachReadOnceAndGoesOnBehindACompletion) {
  HdrParse d;
  const Bytes jpg = JpegStart(), png = PngStart();
  d.Slot(kTypeJpg)->headerSector = 0;
  d.Slot(kTypePng)->headerSector = 1;
  ASSERT_EQ(d.Parse(kTypeJpg, jpg.data(), jpg.size()), kFileTypePending);
  ASSERT_EQ(d.Parse(kTypePng, png.data(), png.size()), kFileTypePending);
  EXPECT_EQ(d.ActiveCount(), 2);

  // A further IDAT chunk of exactly one read.
  Bytes more(512, 0x22);
  more[0] = 0, more[1] = 0, more[2] = 0x01, more[3] = 0xF4;
  std::memcpy(&more[4], "IDAT", 4);
  ASSERT_EQ(d.ParseMore(more.data(), 512, 2), kFileTypePending);
  const uint64_t consumed = d.Slot(kTypeJpg)->consumed;
  // The same end sector again: nobody is fed twice.
  ASSERT_EQ(d.ParseMore(more.data(), 512, 2), kFileTypePending);
  EXPECT_EQ(d.Slot(kTypeJpg)->consumed, consumed);

  // One read that ends both: the PNG's next chunk is IEND, the JPEG's scan
  // data ends with FF D9 after it.
  Bytes end = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82, 0xFF, 0xD9};
  end.resize(512, 0);
  EXPECT_EQ(d.ParseMore(end.data(), 512, 3), kTypeJpg);
  EXPECT_EQ(d.Slot(kTypeJpg)->size, 512u * 2 + 14);
  EXPECT_EQ(d.ActiveCount(), 1);
  d.ResetSlot(kTypeJpg);
  EXPECT_EQ(d.ParseMore(end.data(), 512, 3), kTypePng) << "the parsers behind the completed one";
  EXPECT_EQ(d.Slot(kTypePng)->size, 512u * 2 + 12);
  d.ResetSlot(kTypePng);
  EXPECT_EQ(d.ParseMore(end.data(), 512, 3), kFileTypePending);
  EXPECT_EQ(d.ActiveCount(), 0);
}

TEST(HdrDriver, FlushNamesEachRunningParserOnce) {
  HdrParse d;
  const Bytes jpg = JpegStart(), png = PngStart();
  d.Parse(kTypeJpg, jpg.data(), jpg.size());
  d.Parse(kTypePng, png.data(), png.size());
  EXPECT_EQ(d.Flush(), kTypeJpg);
  EXPECT_EQ(d.ActiveCount(), 1);
  d.ResetSlot(kTypeJpg);
  EXPECT_EQ(d.Flush(), kTypePng);
  d.ResetSlot(kTypePng);
  EXPECT_EQ(d.Flush(), kFileTypePending);
  EXPECT_EQ(d.ActiveCount(), 0);
}

// Headers whose first structure runs on past the next sectors (a long
// segment, a long chunk), so the parsers still run at the next header.
Bytes JpegLongSegment() {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0x00};
  b.resize(512, 0x11);
  return b;
}

Bytes PngLongChunk() {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0xEA, 0x60, 'I', 'D', 'A', 'T'};
  b.resize(512, 0x44);
  return b;
}

TEST(CarveScanRoad, ASecondHeaderOfTheSameKindDropsTheOlderFile) {
  Bytes disk = JpegLongSegment();
  for (int i = 0; i < 2; ++i) {
    const Bytes png = PngLongChunk();
    disk.insert(disk.end(), png.begin(), png.end());
  }
  disk.resize(8 * 512, 0x33);
  for (size_t readBytes : {size_t(512), size_t(4096)}) {
    CarveScan scan;
    scan.SetDetection(true);
    for (size_t at = 0; at < disk.size(); at += readBytes)
      scan.ScanRead(disk.data() + at, readBytes, 100 + int64_t(at / 512));
    // The PNG inside the JPEG's segment opened its own hit and closed
    // nothing; the second PNG header restarted the PNG parser, and the
    // older PNG stays without an end.
    ASSERT_EQ(scan.Hits().size(), 3u) << readBytes;
    EXPECT_EQ(scan.Hits()[0].start, 100);
    EXPECT_EQ(scan.Hits()[0].type, kTypeJpg);
    EXPECT_EQ(scan.Hits()[1].start, 101);
    EXPECT_EQ(scan.Hits()[2].start, 102);
    EXPECT_EQ(scan.Hits()[2].type, kTypePng);
    for (const HdrHit& h : scan.Hits()) EXPECT_EQ(h.size, 0);
    EXPECT_EQ(scan.Driver().ActiveCount(), 2);
    EXPECT_EQ(scan.Driver().Slot(kTypePng)->headerSector, 102);
    scan.AbandonOpen();
    EXPECT_EQ(scan.Driver().ActiveCount(), 0);
    EXPECT_EQ(scan.Hits().size(), 3u);
  }
}

// Kinds that finish at once are recorded with their size and class; the
// sink hears every hit; a recognised header the sink takes is not carved.
class Recorder : public CarveSink {
 public:
  void HitSaved(const HdrHit& hit, bool pending) override { saved.push_back({hit, pending}); }
  bool TakeHeader(const uint8_t*, size_t, int type, int64_t) override { return type == takeType; }
  std::vector<std::pair<HdrHit, bool>> saved;
  int takeType = -1;
};

TEST(CarveScanRoad, SinkHearsHitsAndMayTakeHeaders) {
  Bytes disk = BmpHeader(1024);
  disk.resize(7 * 512, 0);
  const Bytes jpg = JpegStart();
  disk.insert(disk.end(), jpg.begin(), jpg.end());
  Bytes tail(512, 0x11);
  tail[100] = 0xFF, tail[101] = 0xD9;
  disk.insert(disk.end(), tail.begin(), tail.end());
  disk.resize(16 * 512, 0);
  Recorder r;
  CarveScan scan(nullptr, &r);
  scan.SetDetection(true);
  scan.ScanRead(disk.data(), 4 * 512, 0);
  scan.ScanRead(disk.data() + 4 * 512, 4 * 512, 4);
  scan.ScanRead(disk.data() + 8 * 512, 8 * 512, 8);
  ASSERT_EQ(r.saved.size(), 3u);
  EXPECT_EQ(r.saved[0].first.type, kTypeBmp);
  EXPECT_FALSE(r.saved[0].second);
  EXPECT_EQ(r.saved[0].first.size, 1024);
  EXPECT_EQ(r.saved[0].first.flags, kHdrClassHeaderSized);
  EXPECT_TRUE(r.saved[1].second) << "the JPEG first waits";
  EXPECT_FALSE(r.saved[2].second);
  EXPECT_EQ(r.saved[2].first.start, 7);
  EXPECT_EQ(r.saved[2].first.size, 512 + 102);
  ASSERT_EQ(scan.Hits().size(), 2u) << "a hit for one header sector is updated in place";

  Recorder taker;
  taker.takeType = kTypeBmp;
  CarveScan scan2(nullptr, &taker);
  scan2.SetDetection(true);
  scan2.ScanRead(disk.data(), 4 * 512, 0);
  EXPECT_TRUE(scan2.Hits().empty());
}

TEST(CarveScanRoad, SettingsTurnHeaderDetectionOff) {
  GlobalObjectsScope scope;
  EXPECT_TRUE(CarveScan::DetectionWanted());
  g_appState->skipHeaders = 1;
  EXPECT_FALSE(CarveScan::DetectionWanted());
  CarveScan off;
  const Bytes bmp = BmpHeader(600);
  off.ScanRead(bmp.data(), bmp.size(), 0);
  EXPECT_TRUE(off.Hits().empty());
  g_appState->skipHeaders = 0;
  CarveScan on;
  on.ScanRead(bmp.data(), bmp.size(), 0);
  EXPECT_EQ(on.Hits().size(), 1u);
}

// The start limit keeps a parser from restarting inside the file it found;
// the IDX kind ignores it.
TEST(CarveScanRoad, StartLimits) {
  CarveScan scan;
  scan.SetDetection(true);
  scan.Driver().Slot(kTypeBmp)->startLimit = 10;
  scan.Driver().Slot(kTypeIdx)->startLimit = 10;
  const Bytes bmp = BmpHeader(600);
  scan.ScanRead(bmp.data(), bmp.size(), 9);
  EXPECT_TRUE(scan.Hits().empty());
  scan.ScanRead(bmp.data(), bmp.size(), 10);
  EXPECT_EQ(scan.Hits().size(), 1u);
  scan.Driver().Slot(kTypeBmp)->enabled = 0;
  scan.ScanRead(bmp.data(), bmp.size(), 11);
  EXPECT_EQ(scan.Hits().size(), 1u) << "a disabled parser is not started";
}

TEST(FileTypesRule, AcceptedContentByExpectedType) {
  struct Case {
    int expected, found;
    bool accepted;
  };
  const Case cases[] = {
      {kTypeJpg, kTypeJpg, true},   {kTypeDoc, kTypeXls, true},   {kTypeDoc, kTypePpt, true},
      {kTypeDoc, kTypeDocx, false}, {kTypeZip, kTypeDocx, true},  {kTypeZip, kTypeXlsx, true},
      {kTypeZip, kTypePptx, true},  {kTypeDocx, kTypeZip, false}, {kTypeNef, kTypeTif, true},
      {kTypeTif, kTypeNef, false},  {kTypeTif, kTypeCr2, false},  {kTypeCr2, kTypeCr2, true},
      {kTypeJpg, 255, false},       {255, 255, false},            {kTypeJpg, kTypePng, false},
  };
  for (const Case& c : cases) EXPECT_EQ(CarvedTypeAccepts(c.expected, c.found), c.accepted) << c.expected << " " << c.found;
  EXPECT_TRUE(HdrTypeMatches(kTypeTif, u"raw.NEF"));
  EXPECT_FALSE(HdrTypeMatches(kTypeNef, u"raw.tif"));
}

// A file's first bytes name only the container: the header of a compound
// file is taken for an xls or ppt name, a zip's for docx, pptx and xlsx.
TEST(FileTypesRule, AcceptedHeaderByExpectedType) {
  struct Case {
    int expected, header;
    bool accepted;
  };
  const Case cases[] = {
      {kTypeXls, kTypeDoc, true},   {kTypePpt, kTypeDoc, true},   {kTypeDoc, kTypeDoc, true},
      {kTypeDocx, kTypeZip, true},  {kTypePptx, kTypeZip, true},  {kTypeXlsx, kTypeZip, true},
      {kTypeZip, kTypeZip, true},   {kTypeDocx, kTypeDoc, false}, {kTypeXls, kTypeZip, false},
      {kTypeNef, kTypeTif, true},   {kTypeJpg, kTypePng, false},  {kTypeDoc, kTypeXls, true},
      {kTypeXls, 255, false},       {255, kTypeDoc, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HeaderTypeAccepts(c.expected, c.header), c.accepted) << c.expected << " " << c.header;
}

}  // namespace
