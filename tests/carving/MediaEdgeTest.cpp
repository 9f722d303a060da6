// The media parsers on crafted files: the edge cases of the formats and one
// fixture per mended fault (MPEG audio headers that would divide by zero,
// 96- and 1,729-byte frames, a last frame ending in a later read, a
// transport stream's last packet, 64-bit RIFF and atom sizes, checked MXF
// offsets and lengths).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/CarveScan.h"
#include "carving/HdrParse.h"
#include "carving/Media.h"
#include "carving/Mxf.h"
#include "carving/SectorProbe.h"
#include "tests/support/ByteWriter.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& b, const void* p, size_t n) {
  const uint8_t* q = static_cast<const uint8_t*>(p);
  b.insert(b.end(), q, q + n);
}
void AppendText(Bytes& b, const char* s) { Append(b, s, std::strlen(s)); }
using testbytes::Append32;
using testbytes::AppendBe32;
using testbytes::AppendBe64;

Bytes Varied(size_t n, int salt = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(1 + (i * 7 + size_t(salt)) % 200);
  return b;
}

FeedResult Feed(const Bytes& file, Tail tail = Tail::Random, size_t step = 512) {
  const Bytes image = WithTail(file, tail, 4096 + (512 - file.size() % 512) % 512);
  return FeedFile(image.data(), image.size(), EvenReads(image.size(), step));
}

// Feeds `bytes` of data that the parser skips (its cursor lies past them)
// without memory behind them: the parser must not look at a byte.
void Skip(HdrParse& driver, int type, uint64_t bytes, int64_t* endSector) {
  static const uint8_t kNothing[1] = {0};
  HdrNode* p = driver.Slot(type);
  while (bytes > 0) {
    const size_t n = size_t(std::min<uint64_t>(bytes, uint64_t(1) << 30));
    ASSERT_GE(p->cursor, n) << "the parser would read skipped data";
    ASSERT_EQ(driver.ParseMore(kNothing, n, ++*endSector), kFileTypePending);
    bytes -= n;
  }
}

// ---------------------------------------------------------------- RIFF

Bytes Chunk(const char* id, const Bytes& data) {
  Bytes b;
  AppendText(b, id);
  Append32(b, uint32_t(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
  return b;
}

Bytes Riff(const char* form, const std::vector<Bytes>& chunks, int32_t sizeDelta = 0) {
  Bytes body;
  AppendText(body, form);
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  Bytes b;
  AppendText(b, "RIFF");
  Append32(b, uint32_t(int64_t(body.size()) + sizeDelta));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes Avi() {
  Bytes list = {'h', 'd', 'r', 'l'};
  const Bytes h = Varied(400);
  list.insert(list.end(), h.begin(), h.end());
  Bytes movi = {'m', 'o', 'v', 'i'};
  const Bytes f = Chunk("00dc", Varied(3001, 5));
  movi.insert(movi.end(), f.begin(), f.end());
  return Riff("AVI ", {Chunk("LIST", list), Chunk("JUNK", Bytes(101, 0)), Chunk("LIST", movi), Chunk("idx1", Varied(64))});
}

TEST(AviParser, ChunkWalkAndOddSizes) {
  const Bytes f = Avi();
  for (size_t step : {size_t(1), size_t(3), size_t(512)}) {
    const FeedResult r = Feed(f, Tail::Random, step);
    EXPECT_TRUE(r.recorded) << step << " " << r.Describe();
    EXPECT_EQ(r.size, int64_t(f.size())) << step;
  }
  // A chunk id that is no RIFF chunk before the expected end: no file.
  Bytes cut = Avi();
  std::memcpy(&cut[12 + 8 + 404], "XXXX", 4);
  EXPECT_FALSE(Feed(cut).recorded);
}

TEST(AviParser, AFurtherRiffChunkIsPartOfTheFile) {
  Bytes f = Avi();
  Bytes movi = {'m', 'o', 'v', 'i'};
  const Bytes c = Chunk("01wb", Varied(777, 9));
  movi.insert(movi.end(), c.begin(), c.end());
  const Bytes avix = Riff("AVIX", {Chunk("LIST", movi)});
  f.insert(f.end(), avix.begin(), avix.end());
  for (Tail tail : {Tail::Zero, Tail::Random, Tail::Text}) {
    const FeedResult r = Feed(f, tail, 100);
    EXPECT_EQ(r.size, int64_t(f.size())) << TailName(tail) << " " << r.Describe();
  }
}

// An odd chunk size of 0xFFFFFFFF rounds up to 2^32 (in 32 bits it became
// 0 and the walk read the chunk's data as the next chunk), and the RIFF
// total of a size of 0xFFFFFFFF is 2^32 + 7.
TEST(AviParser, OddMaximumSizesInSixtyFourBits) {
  Bytes head;
  AppendText(head, "RIFF");
  Append32(head, 0xFFFFFFFFu);
  AppendText(head, "AVI ");
  AppendText(head, "JUNK");
  Append32(head, 0xFFFFFFFFu);
  head.resize(512, 0x11);  // the chunk's first bytes
  HdrParse driver;
  driver.Slot(kTypeAvi)->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypeAvi, head.data(), head.size()), kFileTypePending);
  int64_t end = 1;
  // The chunk ends at 20 + 2^32, past the expected end: the file ends at
  // the first chunk header after it that is no further RIFF chunk.
  const uint64_t chunkEnd = 20 + (uint64_t(1) << 32);
  Skip(driver, kTypeAvi, chunkEnd - 512 - 512, &end);
  if (HasFatalFailure()) return;
  Bytes tail(512, 0x22);
  AppendText(tail, "idx1");
  Append32(tail, 16);
  ASSERT_EQ(driver.ParseMore(tail.data(), tail.size(), ++end), kTypeAvi);
  EXPECT_EQ(driver.Slot(kTypeAvi)->size, chunkEnd);
}

// ---------------------------------------------------------------- WAV

Bytes Wav(int32_t sizeDelta, size_t dataBytes = 3000) {
  Bytes fmt(16, 0);
  fmt[0] = 1, fmt[2] = 2, fmt[4] = 0x44, fmt[5] = 0xAC;
  return Riff("WAVE", {Chunk("fmt ", fmt), Chunk("LIST", Varied(31)), Chunk("data", Varied(dataBytes))}, sizeDelta);
}

TEST(WavParser, RiffSizeExactOrOneOrEightOver) {
  for (int32_t delta : {0, 1, 8}) {
    const Bytes f = Wav(delta, 3000);
    const Bytes w = Wav(0, 3000);
    for (size_t step : {size_t(1), size_t(512)}) {
      const FeedResult r = Feed(f, Tail::Random, step);
      EXPECT_TRUE(r.recorded) << delta << " " << r.Describe();
      EXPECT_EQ(r.size, int64_t(w.size())) << delta;
    }
  }
  // Two over: the walk goes on into what follows, which is no chunk.
  EXPECT_FALSE(Feed(Wav(2), Tail::Zero).recorded);
  // A total below a chunk's end.
  EXPECT_FALSE(Feed(Wav(-2), Tail::Zero).recorded);
  // A chunk id that is no text.
  Bytes bad = Wav(0);
  bad[12 + 24] = 0x01;
  EXPECT_FALSE(Feed(bad).recorded);
}

// A RIFF size near 2^32: the total (size + 8) passes 32 bits.
TEST(WavParser, RiffTotalInSixtyFourBits) {
  const uint32_t riffSize = 0xFFFFFFF8u;
  Bytes head;
  AppendText(head, "RIFF");
  Append32(head, riffSize);
  AppendText(head, "WAVEfmt ");
  Append32(head, 16);
  head.resize(head.size() + 16, 1);
  AppendText(head, "data");
  const uint32_t dataSize = riffSize - 4 - 24 - 8;
  Append32(head, dataSize);
  head.resize(512, 7);
  // The data chunk's end is known at its header: it ends at the total.
  HdrParse driver;
  driver.Slot(kTypeWav)->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypeWav, head.data(), head.size()), kTypeWav);
  EXPECT_EQ(driver.Slot(kTypeWav)->size, uint64_t(riffSize) + 8);
}

// ---------------------------------------------------------------- MOV

Bytes Atom(const char* type, size_t bytes) {
  Bytes b;
  AppendBe32(b, uint32_t(bytes));
  AppendText(b, type);
  const Bytes body = Varied(bytes - 8, int(bytes));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes Mov(const std::vector<Bytes>& atoms) {
  Bytes b;
  for (const Bytes& a : atoms) b.insert(b.end(), a.begin(), a.end());
  return b;
}

TEST(MovParser, AtomsAndTheirEnds) {
  const Bytes f = Mov({Atom("ftyp", 20), Atom("wide", 8), Atom("mdat", 5000), Atom("moov", 700)});
  for (size_t step : {size_t(1), size_t(5), size_t(512)}) {
    const FeedResult r = Feed(f, Tail::Zero, step);
    EXPECT_EQ(r.size, int64_t(f.size())) << step << " " << r.Describe();
  }
  // One atom, then unknown data: no file.
  EXPECT_FALSE(Feed(Mov({Atom("ftyp", 24), Atom("junk", 100)})).recorded);
  // The first atom unknown (started by hand: the probe would not).
  const Bytes unknown = Mov({Atom("abcd", 24), Atom("mdat", 100), Atom("moov", 100)});
  const Bytes image = WithTail(unknown, Tail::Zero, 4096);
  EXPECT_FALSE(FeedFileAs(kTypeMov, image.data(), image.size(), EvenReads(image.size(), 512)).recorded);
  // A 64-bit size (size field 1) and a size below 8 reject.
  for (uint32_t size : {1u, 0u, 7u}) {
    Bytes g = Mov({Atom("ftyp", 20), Atom("free", 8)});
    AppendBe32(g, size);
    AppendText(g, "mdat");
    g.resize(g.size() + 64, 0x44);
    g = Mov({g, Atom("moov", 64)});
    EXPECT_FALSE(Feed(g).recorded) << size;
  }
}

// Atom sizes summing past 4 GiB: the total is 64-bit.
TEST(MovParser, TotalPastFourGiB) {
  Bytes head = Mov({Atom("ftyp", 20)});
  AppendBe32(head, 0xFFFFFFF0u);
  AppendText(head, "mdat");
  head.resize(512, 0x55);
  HdrParse driver;
  driver.Slot(kTypeMov)->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypeMov, head.data(), head.size()), kFileTypePending);
  int64_t end = 1;
  const uint64_t mdatEnd = 20 + uint64_t(0xFFFFFFF0u);
  Skip(driver, kTypeMov, mdatEnd - 512 - 512, &end);
  if (HasFatalFailure()) return;
  Bytes last(512, 0x55);
  const Bytes moov = Atom("moov", 300);
  last.insert(last.end(), moov.begin(), moov.end());
  last.resize(last.size() + 64, 0);
  ASSERT_EQ(driver.ParseMore(last.data(), last.size(), ++end), kTypeMov);
  EXPECT_EQ(driver.Slot(kTypeMov)->size, mdatEnd + 300);
}

// ---------------------------------------------------------------- MP3

// One MPEG-1 frame: Layer III (FB) or II (FD), the bit-rate and sample-rate
// indexes and the padding bit; its body holds no 0xFF.
Bytes Frame(int bitRate, int sampleRate, int pad, bool layer2 = false) {
  const uint8_t h[3] = {0xFF, uint8_t(layer2 ? 0xFD : 0xFB), uint8_t(bitRate << 4 | sampleRate << 2 | pad << 1)};
  const uint32_t n = HdrMP3::FrameLength(h);
  Bytes b(h, h + 3);
  const Bytes body = Varied(n > 3 ? n - 3 : 0, bitRate);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes Frames(int count, int bitRate = 9, int sampleRate = 0, int pad = 0, bool layer2 = false) {
  Bytes b;
  for (int k = 0; k < count; ++k) {
    const Bytes f = Frame(bitRate, sampleRate, pad, layer2);
    b.insert(b.end(), f.begin(), f.end());
  }
  return b;
}

TEST(Mp3Parser, FrameLengthsOfTheTables) {
  const uint8_t h96[3] = {0xFF, 0xFB, 0x1 << 4 | 1 << 2};             // 32 kb/s, 48 kHz
  const uint8_t h1729[3] = {0xFF, 0xFD, 0xE << 4 | 2 << 2 | 1 << 1};  // Layer II, 384 kb/s, 32 kHz, padded
  const uint8_t h417[3] = {0xFF, 0xFB, 0x9 << 4};                      // 128 kb/s, 44.1 kHz
  EXPECT_EQ(HdrMP3::FrameLength(h96), 96u);
  EXPECT_EQ(HdrMP3::FrameLength(h1729), 1729u);
  EXPECT_EQ(HdrMP3::FrameLength(h417), 417u);
  // Sample-rate index 3 and bit-rate indexes 0 and 15 are no frames (and
  // divide by nothing).
  for (uint8_t third : {uint8_t(0x9 << 4 | 3 << 2), uint8_t(0x0 << 4), uint8_t(0xF << 4)}) {
    const uint8_t h[3] = {0xFF, 0xFB, third};
    EXPECT_EQ(HdrMP3::FrameLength(h), 0u) << int(third);
  }
  // MPEG-2 and 2.5 with their own tables (half the samples per Layer III
  // frame); Layer I, MPEG-2.5 Layer II and the reserved version are not
  // walked.
  struct Row {
    uint8_t second, third;
    uint32_t length;
  };
  const Row rows[] = {
      {0xF3, 0x90, 261},      // MPEG-2 Layer III, 80 kb/s, 22.05 kHz: 72 x 80000 / 22050
      {0xF3, 0x84 | 2, 193},  // 64 kb/s, 24 kHz, padded
      {0xF3, 0x18, 36},       // 8 kb/s, 16 kHz
      {0xF5, 0x90, 522},      // MPEG-2 Layer II, 80 kb/s, 22.05 kHz
      {0xE3, 0x40, 208},      // MPEG-2.5 Layer III, 32 kb/s, 11.025 kHz
      {0xE3, 0xE8, 1440},     // 160 kb/s, 8 kHz
      {0xE5, 0x90, 0},        // MPEG-2.5 Layer II
      {0xEB, 0x90, 0},        // the reserved version
      {0xFF, 0x90, 0},        // MPEG-1 Layer I
      {0xF7, 0x90, 0},        // MPEG-2 Layer I
  };
  for (const Row& r : rows) {
    const uint8_t h[3] = {0xFF, r.second, r.third};
    EXPECT_EQ(HdrMP3::FrameLength(h), r.length) << std::hex << int(r.second) << " " << int(r.third);
  }
}

// MPEG-2 frames make a file as MPEG-1 frames do; a frame of another version
// or layer ends it.
TEST(Mp3Parser, Mpeg2FramesAndAChangeOfVersion) {
  Bytes mpeg2;
  for (int k = 0; k < 8; ++k) {
    Bytes f{0xFF, 0xF3, 0x84};  // 64 kb/s, 24 kHz: 192 bytes
    f.resize(192, uint8_t(0x11 + k));
    mpeg2.insert(mpeg2.end(), f.begin(), f.end());
  }
  FeedResult r = Feed(mpeg2);
  EXPECT_TRUE(r.recorded) << r.Describe();
  EXPECT_EQ(r.size, int64_t(mpeg2.size()));
  Bytes mixed = mpeg2;
  const Bytes one = Frames(6);
  mixed.insert(mixed.end(), one.begin(), one.end());
  r = Feed(mixed);
  EXPECT_EQ(r.size, int64_t(mpeg2.size())) << r.Describe();
}

TEST(Mp3Parser, FourFramesAreNoFileFiveAre) {
  EXPECT_FALSE(Feed(Frames(4)).recorded);
  const Bytes five = Frames(5);
  const FeedResult r = Feed(five);
  EXPECT_TRUE(r.recorded) << r.Describe();
  EXPECT_EQ(r.size, int64_t(five.size()));
}

// The smallest and the largest legal frames are walked.
TEST(Mp3Parser, NinetySixAndSeventeenTwentyNineByteFrames) {
  const Bytes small = Frames(8, 1, 1);
  const Bytes large = Frames(6, 14, 2, 1, true);
  ASSERT_EQ(small.size(), 8u * 96);
  ASSERT_EQ(large.size(), 6u * 1729);
  for (const Bytes* f : {&small, &large}) {
    const FeedResult r = Feed(*f, Tail::Zero, 100);
    EXPECT_TRUE(r.recorded) << r.Describe();
    EXPECT_EQ(r.size, int64_t(f->size()));
  }
}

// A header with sample-rate index 3 (or bit-rate 0 or 15) ends the walk
// before any division: the frames before it are the file.
TEST(Mp3Parser, ReservedIndexesEndTheWalkWithoutADivision) {
  for (uint8_t third : {uint8_t(0x9 << 4 | 3 << 2), uint8_t(0x0 << 4), uint8_t(0xF << 4 | 1 << 2)}) {
    Bytes f = Frames(6);
    const size_t end = f.size();
    f.push_back(0xFF), f.push_back(0xFB), f.push_back(third);
    f.resize(f.size() + 500, 0x41);
    const FeedResult r = Feed(f);
    EXPECT_TRUE(r.recorded) << int(third);
    EXPECT_EQ(r.size, int64_t(end));
    // As the first frame: rejected, no crash.
    Bytes first = {0xFF, 0xFB, third};
    first.resize(2048, 0x41);
    EXPECT_FALSE(Feed(first).recorded);
  }
}

// The last frame ends in a later read than the one it starts in: the size
// is that frame's end, not the later read's start.
TEST(Mp3Parser, LastFrameEndingInTheNextRead) {
  const Bytes f = Frames(7);
  const Bytes image = WithTail(f, Tail::Text, 4096);
  for (size_t cut : {f.size() - 417 + 3, f.size() - 1, f.size() - 200}) {
    const FeedResult r = FeedFile(image.data(), image.size(), ReadsAt(image.size(), {cut}));
    EXPECT_EQ(r.size, int64_t(f.size())) << cut << " " << r.Describe();
  }
}

TEST(Mp3Parser, Id3TagsAtBothEnds) {
  Bytes f = {'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0};  // 128 bytes of tag
  const Bytes tag = Varied(128);
  f.insert(f.end(), tag.begin(), tag.end());
  const Bytes frames = Frames(6);
  f.insert(f.end(), frames.begin(), frames.end());
  AppendText(f, "TAG");
  f.resize(f.size() + 125, 'x');
  const FeedResult r = Feed(f, Tail::Random, 64);
  EXPECT_TRUE(r.recorded) << r.Describe();
  EXPECT_EQ(r.size, int64_t(f.size()));
  // "TA" then another byte: the frames end before the "T".
  Bytes g(f.begin(), f.begin() + 10 + 128 + frames.size());
  AppendText(g, "TAX");
  EXPECT_EQ(Feed(g, Tail::Random, 64).size, int64_t(10 + 128 + frames.size()));
  // A tag size byte with its top bit set, or a footer flag: no file.
  Bytes bad = f;
  bad[8] = 0x81;
  EXPECT_FALSE(Feed(bad).recorded);
  bad = f;
  bad[5] = 0x10;
  EXPECT_FALSE(Feed(bad).recorded);
}

// Random sectors that all start like an MPEG audio frame, with every third
// header byte among them (sample-rate index 3 and bit-rate indexes 0 and 15
// included): many walks are started, none divides by zero, none is carved.
TEST(Mp3Parser, FalseSyncsInRandomSectors) {
  std::mt19937 rng(11);
  const size_t sectors = 8192;
  Bytes disk(sectors * 512);
  for (auto& x : disk) x = uint8_t(rng());
  for (size_t s = 0; s < sectors; ++s) {
    disk[s * 512] = 0xFF;
    disk[s * 512 + 1] = uint8_t(0xFA + s % 4);
    disk[s * 512 + 2] = uint8_t(s / 4);
  }
  // Counts the headers the pass hands to the driver.
  struct Starts : CarveSink {
    size_t mp3 = 0;
    bool TakeHeader(const uint8_t*, size_t, int type, int64_t) override {
      mp3 += type == kTypeMp3;
      return false;
    }
  };
  MemoryDrive drive(disk.data(), disk.size());
  for (size_t readBytes : {size_t(4096), size_t(1) << 20}) {
    Starts starts;
    CarveScan scan(&drive, &starts);
    scan.SetDetection(true);
    for (size_t at = 0; at < disk.size(); at += readBytes)
      scan.ScanRead(disk.data() + at, std::min(readBytes, disk.size() - at), int64_t(at / 512));
    scan.EndPass();
    for (const HdrHit& h : scan.Hits()) EXPECT_EQ(h.size, 0) << "sector " << h.start;
    EXPECT_GT(starts.mp3, sectors / 2) << readBytes;
  }
}

// Frames that start a sector inside a completed MP3 (here every third
// sector: 96-byte frames) are probed after the file completed, in the rest
// of the read that holds its end; they start no further file.
TEST(Mp3Parser, NoFilesInsideACompletedOne) {
  const Bytes f = Frames(400, 1, 1);
  Bytes disk(4096, 0);
  disk.insert(disk.end(), f.begin(), f.end());
  disk.resize(disk.size() + 8192, 0x41);
  disk.insert(disk.end(), f.begin(), f.end());
  disk.resize(disk.size() + 8192, 0x41);
  for (size_t readBytes : {size_t(4096), size_t(65536), size_t(1) << 20}) {
    const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), readBytes);
    ASSERT_EQ(hits.size(), 2u) << readBytes;
    EXPECT_EQ(hits[0].start, 8);
    EXPECT_EQ(hits[1].start, int64_t((4096 + f.size() + 8192) / 512));
    for (const HdrHit& h : hits) EXPECT_EQ(h.size, int64_t(f.size()));
  }
}

// ---------------------------------------------------------------- MTS

// A timestamped transport packet of a PID with a continuity counter.
Bytes Packet(uint16_t pid, uint8_t counter, uint8_t fill = 0x5A) {
  Bytes b(192, fill);
  b[0] = 0x01, b[1] = 0x02, b[2] = 0x03, b[3] = 0x04;
  b[4] = 0x47;
  b[5] = uint8_t(0x40 | (pid >> 8));
  b[6] = uint8_t(pid);
  b[7] = uint8_t(0x10 | (counter & 15));
  return b;
}

// PAT and PMT (PID 0x100) as cameras start, then `count` - 2 packets over
// the PIDs in turn.
Bytes Stream(size_t count, std::vector<uint16_t> pids = {0x1011, 0x1100}) {
  Bytes b;
  const Bytes pat = Packet(0, 0), pmt = Packet(0x100, 0);
  b.insert(b.end(), pat.begin(), pat.end());
  b.insert(b.end(), pmt.begin(), pmt.end());
  std::vector<uint8_t> counters(pids.size(), 0);
  for (size_t k = 2; k < count; ++k) {
    const size_t i = k % pids.size();
    const Bytes p = Packet(pids[i], counters[i]++);
    b.insert(b.end(), p.begin(), p.end());
  }
  return b;
}

TEST(MtsParser, StopInsideASectorBeforeZerosOrOtherBytes) {
  const Bytes f = Stream(30);  // 5,760 bytes: stops at byte 128 of a sector
  ASSERT_EQ(ProbeSectorSignature(WithTail(f, Tail::Zero, 512).data()), kTypeMts);
  for (size_t step : {size_t(1), size_t(100), size_t(512), size_t(4096)}) {
    const FeedResult r = Feed(f, Tail::Zero, step);
    EXPECT_TRUE(r.recorded) << step << " " << r.Describe();
    // Every valid packet counts.
    EXPECT_EQ(r.size, int64_t(f.size())) << step;
    EXPECT_FALSE(Feed(f, Tail::Random, step).recorded) << step;
  }
  // A non-zero byte at the sector's last place.
  Bytes image = WithTail(f, Tail::Zero, 4096);
  image[(f.size() / 512 + 1) * 512 - 1] = 1;
  EXPECT_FALSE(FeedFile(image.data(), image.size(), EvenReads(image.size(), 512)).recorded);
}

TEST(MtsParser, StopOnASectorBoundary) {
  const Bytes f = Stream(24);  // 4,608 bytes: nine sectors
  for (Tail tail : {Tail::Zero, Tail::Random}) {
    const FeedResult r = Feed(f, tail, 512);
    EXPECT_EQ(r.size, int64_t(f.size())) << TailName(tail);
  }
}

TEST(MtsParser, SmallStreamsAreNoFile) {
  EXPECT_FALSE(Feed(Stream(21), Tail::Zero).recorded);  // 4,032 bytes
  EXPECT_EQ(Feed(Stream(22), Tail::Zero).size, 22 * 192);
}

// Each walk below stops on a sector boundary (after a multiple of eight
// packets), where no zeros are needed, or at the file's end before zeros.
TEST(MtsParser, ContinuityCounters) {
  // A locked PID that skips a counter ends the stream there.
  Bytes f = Stream(40);
  f[192 * 32 + 7] = uint8_t(0x10 | ((f[192 * 32 + 7] + 1) & 15));
  EXPECT_EQ(Feed(f, Tail::Random).size, 32 * 192);
  // An unlocked PID restarting at 0 goes on; one jumping elsewhere stops.
  Bytes g = Stream(30, {0x1011});
  const Bytes restart = Packet(0x1234, 0), again = Packet(0x1234, 0), on = Packet(0x1234, 1);
  for (const Bytes* p : {&restart, &again, &on}) g.insert(g.end(), p->begin(), p->end());
  EXPECT_EQ(Feed(g, Tail::Zero).size, 33 * 192);
  Bytes h = Stream(32, {0x1011});
  const Bytes jump = Packet(0x1234, 5);
  h.insert(h.end(), jump.begin(), jump.end());
  EXPECT_EQ(Feed(h, Tail::Random).size, 32 * 192);
  // A 17th PID stops the walk (PAT and PMT are two of the 16).
  std::vector<uint16_t> pids;
  for (uint16_t k = 0; k < 14; ++k) pids.push_back(uint16_t(0x200 + k));
  Bytes many = Stream(32, pids);
  const Bytes seventeenth = Packet(0x300, 0);
  many.insert(many.end(), seventeenth.begin(), seventeenth.end());
  EXPECT_EQ(Feed(many, Tail::Random).size, 32 * 192);
  // A transport error or a time code of 2^30 or more ends it too.
  Bytes err = Stream(40);
  err[192 * 24 + 5] |= 0x80;
  EXPECT_EQ(Feed(err, Tail::Random).size, 24 * 192);
  Bytes late = Stream(40);
  late[192 * 32] = 0x40;
  EXPECT_EQ(Feed(late, Tail::Random).size, 32 * 192);
}

// A completed stream is not restarted by the packets inside it that look
// like a start; after its end a new one is.
TEST(MtsParser, StartLimitKeepsTheParserOutOfItsOwnFile) {
  // PAT and PMT, 14 video packets, PAT and PMT again (counter 0: an
  // unlocked restart) on a sector start, then video to 64 packets.
  Bytes f;
  uint8_t video = 0;
  for (size_t k = 0; k < 64; ++k) {
    const Bytes p = (k == 0 || k == 16) ? Packet(0, 0) : (k == 1 || k == 17) ? Packet(0x100, 0) : Packet(0x1011, video++);
    f.insert(f.end(), p.begin(), p.end());
  }
  ASSERT_EQ(ProbeSectorSignature(&f[192 * 16]), kTypeMts);
  // A zero sector between the two streams: one that went on straight into
  // the next would run into that one's counters.
  Bytes disk(4096, 0);
  disk.insert(disk.end(), f.begin(), f.end());
  disk.resize(disk.size() + 512, 0);
  disk.insert(disk.end(), f.begin(), f.end());
  disk.resize(disk.size() + 8192, 0);
  const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), 4096);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].start, 8);
  EXPECT_EQ(hits[0].size, int64_t(f.size()));
  EXPECT_EQ(hits[1].start, 9 + int64_t(f.size() / 512));
  EXPECT_EQ(hits[1].size, int64_t(f.size()));
}

// ---------------------------------------------------------------- MXF

const uint8_t kHeaderKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
const uint8_t kFooterKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                0x0D, 0x01, 0x02, 0x01, 0x01, 0x04, 0x04, 0x00};
const uint8_t kFillKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x02,
                              0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00};
const uint8_t kIndexKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01,
                               0x0D, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00};
const uint8_t kRipKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                             0x0D, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};

void Klv(Bytes& b, const uint8_t* key, const Bytes& value, bool shortBer = false) {
  Append(b, key, 16);
  if (shortBer && value.size() < 128) {
    b.push_back(uint8_t(value.size()));
  } else {
    b.push_back(0x83);
    b.push_back(uint8_t(value.size() >> 16)), b.push_back(uint8_t(value.size() >> 8)), b.push_back(uint8_t(value.size()));
  }
  b.insert(b.end(), value.begin(), value.end());
}

Bytes PackValue(uint64_t thisPartition, uint64_t footer, uint64_t indexBytes) {
  Bytes v = {0, 1, 0, 3, 0, 0, 0, 1};  // versions, KAG
  AppendBe64(v, thisPartition);
  AppendBe64(v, 0);
  AppendBe64(v, footer);
  AppendBe64(v, 0);  // header bytes
  AppendBe64(v, indexBytes);
  v.resize(88 + 8, 0);
  return v;
}

// Header partition, essence (fill), footer partition, index segment, fill,
// random index pack; `footerAt` and `indexBytes` may be forced.
Bytes Mxf(bool shortHeaderBer = false, int64_t footerAt = -1, int64_t indexBytes = -1) {
  Bytes body;
  Klv(body, kFillKey, Varied(3000));
  const size_t headerBytes = 16 + (shortHeaderBer ? 1 : 4) + 96;
  const uint64_t footer = footerAt >= 0 ? uint64_t(footerAt) : headerBytes + body.size();
  Bytes f;
  Klv(f, kHeaderKey, PackValue(0, footer, 0), shortHeaderBer);
  f.insert(f.end(), body.begin(), body.end());
  Bytes index;
  Klv(index, kIndexKey, Varied(200));
  Klv(index, kFillKey, Bytes(30, 0));
  Klv(f, kFooterKey, PackValue(footer, footer, indexBytes >= 0 ? uint64_t(indexBytes) : index.size()));
  f.insert(f.end(), index.begin(), index.end());
  Bytes rip(12 * 2 + 4, 0);
  Klv(f, kRipKey, rip);
  return f;
}

TEST(MxfParser, MeasuredThroughTheFooter) {
  const Bytes f = Mxf();
  for (Tail tail : {Tail::Zero, Tail::Random, Tail::Text}) {
    const FeedResult r = Feed(f, tail, 512);
    EXPECT_TRUE(r.recorded) << TailName(tail) << " " << r.Describe();
    EXPECT_EQ(r.size, int64_t(f.size()));
  }
  // Ending exactly at the drive's end.
  const FeedResult atEnd = FeedFileAs(kTypeMxf, f.data(), f.size(), EvenReads(f.size(), 512));
  EXPECT_EQ(atEnd.size, int64_t(f.size()));
}

TEST(MxfParser, ShortFormHeaderLengthIsRefused) { EXPECT_FALSE(Feed(Mxf(true)).recorded); }

// The footer's offset and the lengths come from the disk: a footer past
// the drive, a sum that would pass 2^64, an index count or a KLV length
// that leaves the drive, all reject.
TEST(MxfParser, OffsetsAndLengthsAreChecked) {
  EXPECT_FALSE(Feed(Mxf(false, 1 << 30)).recorded);
  EXPECT_FALSE(Feed(Mxf(false, int64_t(UINT64_MAX >> 1))).recorded);
  EXPECT_FALSE(Feed(Mxf(false, 500)).recorded) << "no footer key there";
  EXPECT_FALSE(Feed(Mxf(false, -1, int64_t(1) << 40)).recorded);
  // An 8-byte BER length past the drive after the footer.
  Bytes f = Mxf();
  Append(f, kFillKey, 16);
  f.push_back(0x88);
  AppendBe64(f, UINT64_MAX - 8);
  EXPECT_FALSE(Feed(f).recorded);
  Bytes g = Mxf();
  Append(g, kFillKey, 16);
  g.push_back(0x88);
  AppendBe64(g, uint64_t(1) << 33);
  EXPECT_FALSE(Feed(g).recorded);
}

TEST(MxfParser, ReadsThatFailReject) {
  const Bytes f = Mxf();
  const Bytes image = WithTail(f, Tail::Zero, 4096);
  MemoryDrive drive(image.data(), image.size());
  drive.failFrom = int64_t(f.size() / 512);
  EXPECT_FALSE(FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive).recorded);
  drive.failFrom = -1;
  EXPECT_TRUE(FeedFile(image.data(), image.size(), EvenReads(image.size(), 512), 512, &drive).recorded);
  EXPECT_GT(drive.reads, 0u);
}

TEST(MxfParser, NeverCountedAsActive) {
  const Bytes image = WithTail(Mxf(), Tail::Zero, 4096);
  MemoryDrive drive(image.data(), image.size());
  HdrParse driver(&drive);
  driver.Slot(kTypeMxf)->headerSector = 0;
  EXPECT_EQ(driver.Parse(kTypeMxf, image.data(), 512), kTypeMxf);
  EXPECT_EQ(driver.ActiveCount(), 0);
}

TEST(MxfKeys, TestsAndBer) {
  EXPECT_TRUE(IsMXFKey(kFillKey));
  EXPECT_TRUE(IsMXFKey(kHeaderKey));
  EXPECT_TRUE(IsMXFFooterKey(kFooterKey));
  EXPECT_FALSE(IsMXFFooterKey(kHeaderKey));
  EXPECT_TRUE(IsMXFIndexKey(kIndexKey));
  EXPECT_TRUE(IsMXFRipKey(kRipKey));
  EXPECT_STREQ(MXFPartitionKind(kHeaderKey), "header");
  EXPECT_STREQ(MXFPartitionKind(kFooterKey), "footer");
  uint8_t open[16];
  std::memcpy(open, kHeaderKey, 16);
  open[14] = 0x01;
  EXPECT_EQ(MXFPartitionKind(open), nullptr);
  EXPECT_TRUE(IsMXFPartitionKey(open));
  uint64_t n = 0;
  uint32_t ber = 0;
  const uint8_t shortForm[] = {0x7F}, longForm[] = {0x82, 0x01, 0x00}, bad[] = {0x80}, tooLong[] = {0x89};
  EXPECT_TRUE(ReadBER(shortForm, 1, &n, &ber));
  EXPECT_EQ(n, 127u);
  EXPECT_TRUE(ReadBER(longForm, 3, &n, &ber));
  EXPECT_EQ(n, 256u);
  EXPECT_EQ(ber, 3u);
  EXPECT_FALSE(ReadBER(longForm, 2, &n, &ber));
  EXPECT_FALSE(ReadBER(bad, 1, &n, &ber));
  EXPECT_FALSE(ReadBER(tooLong, 1, &n, &ber));
  EXPECT_STREQ(MXFKeyName(kFillKey), "KLV Fill Item");
  EXPECT_STREQ(MXFKeyName(kRipKey), "Random Index Pack");
  EXPECT_GT(MXFKeyNameCount(), 400u);
}

}  // namespace
