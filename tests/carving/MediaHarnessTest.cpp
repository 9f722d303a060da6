// Every audio, video and backup-set sample (made by ffmpeg and sox, the bkf
// sets by make_bkf.py) fed through the driver as the sector pass feeds it:
// reads of 1, 7, 512, 1000 and 4,096 bytes and 1 MiB, reads cut at every
// structure boundary of the file and a byte either side, and after zero,
// random and text tails. Each must come back with exactly its size and
// type; a transport stream only before zeros (after other bytes its last
// sector is not a stream's end).
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/Media.h"
#include "carving/Mxf.h"
#include "carving/SectorProbe.h"
#include "foundation/ByteOrder.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

struct Sample {
  const char* file;
  uint8_t type;     // probed and recorded
  bool zerosAfter;  // carved only when zeros follow
};

const Sample kSamples[] = {
    {"avi_mpeg4_mp3.avi", kTypeAvi, false},
    {"avi_avix.avi", kTypeAvi, false},
    {"wav_sox.wav", kTypeWav, false},
    {"wav_list.wav", kTypeWav, false},
    {"mov_mpeg4.mov", kTypeMov, false},
    {"mp4_mpeg4.mp4", kTypeMov, false},
    {"mp4_faststart.mp4", kTypeMov, false},
    {"mp3_id3v2.mp3", kTypeMp3, false},
    {"mp3_id3v1.mp3", kTypeMp3, false},
    {"mp3_bare.mp3", kTypeMp3, false},
    {"mp3_48k_q9.mp3", kTypeMp3, false},
    {"mts_m2ts.mts", kTypeMts, true},
    {"mxf_mpeg2.mxf", kTypeMxf, false},
    {"bkf_two_sets.bkf", kTypeBkf, false},
    {"bkf_eotm.bkf", kTypeBkf, false},
    // MPEG-2 Layer III at 22.05 and 24 kHz, MPEG-2.5 at 11.025 kHz.
    {"mp3_22k_sox.mp3", kTypeMp3, false},
    {"mp3_24k_lame.mp3", kTypeMp3, false},
    {"mp3_11k_lame.mp3", kTypeMp3, false},
    // ffmpeg's streams open with a service table; timestamped and plain
    // 188-byte packets.
    {"mts_ffmpeg.mts", kTypeMts, false},
    {"mts_ffmpeg188.mts", kTypeMts, true},
};

uint32_t Be32At(const std::vector<uint8_t>& d, size_t at) { return uint32_t(GetBigEndian(&d[at], 4)); }

// Where the file's own structures begin: chunk, atom, frame, packet, KLV and
// block headers (the first and last 40 of a long run), the fields inside
// them; the reads are cut there and a byte either side.
std::vector<size_t> StructureBoundaries(const std::vector<uint8_t>& d, uint8_t type) {
  std::vector<size_t> starts;
  std::set<size_t> b;
  auto header = [&](size_t at, size_t bytes) {
    for (size_t k = 0; k <= bytes; ++k) b.insert(at + k);
  };
  switch (type) {
    case kTypeAvi:
    case kTypeWav:
      for (size_t at = 0; at + 8 <= d.size();) {
        header(at, 12);
        if (std::memcmp(&d[at], "RIFF", 4) == 0) {
          at += 12;
          continue;
        }
        const uint64_t size = Le32(&d[at + 4]);
        at += 8 + size + (size & 1);
      }
      break;
    case kTypeMov:
      for (size_t at = 0; at + 8 <= d.size() && Be32At(d, at) >= 8; at += Be32At(d, at)) header(at, 8);
      break;
    case kTypeMp3: {
      size_t at = 0;
      if (d[0] == 'I') {
        header(0, 10);
        at = 10 + (size_t(d[6]) << 21 | size_t(d[7]) << 14 | size_t(d[8]) << 7 | d[9]);
      }
      for (uint32_t n; at + 3 <= d.size() && (n = HdrMP3::FrameLength(&d[at])) != 0; at += n) starts.push_back(at);
      b.insert(at);  // the tag, or the end
      break;
    }
    case kTypeMts: {
      const size_t packet = d[0] == 0x47 ? 188 : 192;
      for (size_t at = 0; at + packet <= d.size(); at += packet) starts.push_back(at);
      break;
    }
    case kTypeMxf:
      for (size_t at = 0; at + 17 <= d.size();) {
        header(at, 17);
        uint64_t length = 0;
        uint32_t ber = 0;
        if (!ReadBER(&d[at + 16], d.size() - at - 16, &length, &ber)) break;
        at += 16 + ber + length;
      }
      break;
    case kTypeBkf: {
      // Blocks start every 512 bytes; names and stream headers lie inside.
      for (size_t at = 0; at < d.size(); at += 512) header(at, 12);
      for (size_t at = 0; at + 4 <= d.size(); at += 4)
        if (std::memcmp(&d[at], "STAN", 4) == 0 || std::memcmp(&d[at], "SPAD", 4) == 0 ||
            std::memcmp(&d[at], "CSUM", 4) == 0 || std::memcmp(&d[at], "TFDD", 4) == 0)
          header(at, 22);
      break;
    }
    default:
      break;
  }
  for (size_t k = 0; k < starts.size(); ++k)
    if (k < 40 || k + 40 >= starts.size()) header(starts[k], 4);
  return AroundEach(b, d.size());
}

TEST(MediaHarness, EverySampleAtEverySplitAndTail) {
  for (const Sample& s : kSamples) {
    const std::vector<uint8_t> file = LoadSample(s.file);
    ASSERT_GE(file.size(), kProbeBytes) << s.file;
    for (Tail tail : {Tail::Zero, Tail::Random, Tail::Text}) {
      const std::vector<uint8_t> image = WithSectorTail(file, tail);
      NamedSplits splits = EvenSplits(image.size());
      splits.push_back({"7 B", EvenReads(image.size(), 7)});
      if (file.size() < 300000) splits.push_back({"1 B", EvenReads(image.size(), 1)});
      for (size_t at : StructureBoundaries(file, s.type))
        splits.push_back({"boundary " + std::to_string(at), ReadsAt(image.size(), {at})});
      const bool expected = !s.zerosAfter || tail == Tail::Zero;
      for (const auto& [name, reads] : splits) {
        const FeedResult r = FeedFile(image.data(), image.size(), reads);
        SCOPED_TRACE(std::string(s.file) + ", " + TailName(tail) + " tail, reads " + name + ": " + r.Describe());
        EXPECT_EQ(r.probed, s.type);
        EXPECT_EQ(r.recorded, expected);
        if (expected) {
          EXPECT_EQ(r.type, s.type);
          EXPECT_EQ(r.size, int64_t(file.size()));
        }
        if (testing::Test::HasFailure()) return;
      }
    }
  }
}

// The media samples one after another on a disk, every sector offered to
// the probe, as the pass carves: each at its place with its size.
TEST(MediaHarness, SamplesSideBySideOnOneDisk) {
  std::vector<uint8_t> disk(8192, 0);
  std::vector<std::pair<int64_t, size_t>> placed;
  for (const Sample& s : kSamples) {
    const std::vector<uint8_t> f = LoadSample(s.file);
    ASSERT_FALSE(f.empty()) << s.file;
    placed.push_back({int64_t(disk.size() / 512), f.size()});
    disk.insert(disk.end(), f.begin(), f.end());
    disk.resize((disk.size() + 4095) / 4096 * 4096 + 4096, 0);
  }
  for (size_t readBytes : {size_t(4096), size_t(65536), size_t(1) << 20}) {
    const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), readBytes);
    ASSERT_EQ(hits.size(), placed.size()) << readBytes;
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].start, placed[i].first) << kSamples[i].file;
      EXPECT_EQ(hits[i].size, int64_t(placed[i].second)) << kSamples[i].file;
      EXPECT_EQ(hits[i].type, kSamples[i].type) << kSamples[i].file;
    }
  }
}

// The sizes the samples are carved to are the files' own: ffprobe's record
// of each (media_probe.txt, written when the samples were made) gives the
// same sizes, and sox's the same length of the sox WAV.
TEST(MediaHarness, SizesAsFfprobeAndSoxGaveThem) {
  std::ifstream in(SampleFolder() + "/media_probe.txt");
  ASSERT_TRUE(in) << "media_probe.txt";
  size_t checked = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string name, rest;
    words >> name >> rest;
    if (rest == "sox:") {
      EXPECT_NE(line.find("Sample Rate : 44100"), std::string::npos) << line;
      EXPECT_NE(line.find("Duration : 00:00:03.00 = 132300 samples"), std::string::npos) << line;
      continue;
    }
    const uint64_t size = std::stoull(rest.substr(rest.rfind(',') + 1));
    EXPECT_EQ(LoadSample(name).size(), size) << name;
    for (const Sample& s : kSamples)
      if (name == s.file) ++checked;
  }
  // Every media sample (the bkf sets have no such tool).
  EXPECT_EQ(checked, std::size(kSamples) - 2);
}

// An ASF header written by ffmpeg's WMA encoder: the probe names it wma,
// and nothing is carved (the wma parser keeps the base parse).
TEST(MediaHarness, WmaIsRecognisedAndNeverCarved) {
  const std::vector<uint8_t> file = LoadSample("wma_wmav2.wma");
  ASSERT_GE(file.size(), kProbeBytes);
  const std::vector<uint8_t> image = WithTail(file, Tail::Zero, 8192);
  const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 4096));
  EXPECT_EQ(r.probed, kTypeWma);
  EXPECT_FALSE(r.recorded) << r.Describe();
  std::vector<uint8_t> disk(4096, 0);
  disk.insert(disk.end(), image.begin(), image.end());
  for (const HdrHit& h : CarveImage(disk.data(), disk.size(), 65536)) EXPECT_EQ(h.size, 0) << h.start;
}

}  // namespace
