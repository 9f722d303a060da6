// Every picture sample made by real tools, fed through the driver as the
// sector pass feeds it: at reads of 512 bytes, 4 KiB and 1 MiB, at every
// structure boundary of the file (and a byte either side), with zero, random
// and text tails. Each must come back with exactly its size and type.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "SampleSplits.h"
#include "carving/SectorProbe.h"
#include "foundation/ByteOrder.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

struct Sample {
  const char* file;
  uint8_t probed;    // what the probe names at its first sector
  uint8_t expected;  // the recorded type; 255: no file is carved
};

const Sample kSamples[] = {
    {"jpg_baseline.jpg", kTypeJpg, kTypeJpg},
    {"jpg_progressive.jpg", kTypeJpg, kTypeJpg},
    {"jpg_exif.jpg", kTypeJpg, kTypeJpg},
    {"jpg_thumb.jpg", kTypeJpg, kTypeJpg},
    {"png_plasma.png", kTypePng, kTypePng},
    {"png_gradient.png", kTypePng, kTypePng},
    {"bmp3_small.bmp", kTypeBmp, kTypeBmp},
    {"bmp3_big.bmp", kTypeBmp, kTypeBmp},
    {"bmp_v5.bmp", kTypeBmp, kTypeBmp},  // ImageMagick's default 124-byte header
    {"tif_lzw.tif", kTypeTif, kTypeTif},
    {"tif_msb.tif", kTypeTif, kTypeTif},
    {"tif_tiffcp_be.tif", kTypeTif, kTypeTif},
    {"tif_tiled.tif", kTypeTif, kTypeTif},
    {"tif_multi.tif", kTypeTif, kTypeTif},
    {"tif_big.tif", kTypeTif, kTypeTif},
    {"nef_subifd.tif", kTypeTif, kTypeNef},
    {"cr2_layout.cr2", kTypeTif, kTypeCr2},
    {"mrw_layout.mrw", kTypeMrw, kTypeMrw},
    // Recognised, never carved.
    {"gif_plasma.gif", kTypeGif, kNoFileType},
    // A flat picture's scan data is long runs of one byte: refused.
    {"jpg_flat.jpg", kTypeJpg, kNoFileType},
};

uint16_t Be16At(const std::vector<uint8_t>& d, size_t at) { return uint16_t(d[at] << 8 | d[at + 1]); }

// Offsets where the file's own structures begin and end: JPEG markers and
// segment lengths, PNG chunk headers, TIFF directories; the reads are cut
// there and a byte either side.
std::vector<size_t> StructureBoundaries(const std::vector<uint8_t>& d) {
  std::set<size_t> b;
  if (d.size() > 4 && d[0] == 0xFF && d[1] == 0xD8) {
    size_t at = 2;
    bool scan = false;
    while (at + 4 <= d.size()) {
      if (!scan) {
        if (d[at] != 0xFF) break;
        b.insert(at);
        b.insert(at + 2);
        b.insert(at + 3);
        const uint8_t m = d[at + 1];
        if (m == 0xD9) break;
        const size_t length = Be16At(d, at + 2);
        if (m == 0xDA) scan = true;
        at += 2 + length;
        b.insert(at);
      } else {
        // Entropy-coded data: a boundary at every marker but stuffing.
        while (at + 1 < d.size() && !(d[at] == 0xFF && d[at + 1] != 0x00)) ++at;
        if (at + 1 >= d.size()) break;
        b.insert(at);
        b.insert(at + 1);
        const uint8_t m = d[at + 1];
        if (m == 0xD9) break;
        if (m >= 0xD0 && m <= 0xD7) {
          at += 2;
        } else {
          scan = false;
        }
      }
    }
  } else if (d.size() > 8 && d[0] == 0x89 && d[1] == 'P') {
    size_t at = 8;
    while (at + 12 <= d.size()) {
      for (size_t k = 0; k <= 8; ++k) b.insert(at + k);
      at += 12 + GetBigEndian(&d[at], 4);
    }
  } else if (d.size() > 8 && (d[0] == 'I' || d[0] == 'M')) {
    const bool le = d[0] == 'I';
    auto u16 = [&](size_t at) { return le ? Le16(&d[at]) : Be16At(d, at); };
    auto u32 = [&](size_t at) { return le ? Le32(&d[at]) : uint32_t(GetBigEndian(&d[at], 4)); };
    size_t at = u32(4);
    for (int k = 0; k < 64 && at > 7 && at + 2 <= d.size(); ++k) {
      b.insert(at);
      b.insert(at + 2);
      const size_t count = u16(at);
      if (at + 6 + 12 * count > d.size()) break;
      at = u32(at + 2 + 12 * count);
    }
  } else {
    for (size_t k : {1, 2, 6, 14, 26, 28, 54}) b.insert(k);
  }
  return AroundEach(b, d.size());
}

TEST(SampleHarness, EverySampleAtEverySplitAndTail) {
  for (const Sample& s : kSamples) {
    const std::vector<uint8_t> file = LoadSample(s.file);
    ASSERT_GE(file.size(), kProbeBytes) << s.file;
    // The pass's reads are whole sectors: a parser that measures its file
    // in its first call always has the header sector.
    const bool oneCall = s.probed != kTypeJpg && s.probed != kTypePng;
    std::vector<size_t> cuts;
    for (size_t at : StructureBoundaries(file))
      if (!oneCall || at >= kProbeBytes) cuts.push_back(at);
    ExpectSampleAtEverySplit(s.file, file, s.probed, s.expected, cuts);
    if (testing::Test::HasFailure()) return;
  }
}

// Files laid one after another on a disk, every sector offered to the probe:
// a TIFF parser that has measured a big-endian file reads the next
// little-endian one as little-endian, and back.
TEST(SampleHarness, ByteOrderFollowsEveryTiffHeader) {
  const char* order[] = {"tif_lzw.tif", "tif_msb.tif", "tif_tiled.tif", "tif_tiffcp_be.tif", "cr2_layout.cr2",
                         "nef_subifd.tif", "tif_lzw.tif"};
  std::vector<uint8_t> disk(4096, 0);
  std::vector<std::pair<int64_t, size_t>> placed;
  for (const char* name : order) {
    const std::vector<uint8_t> f = LoadSample(name);
    ASSERT_FALSE(f.empty()) << name;
    placed.push_back({int64_t(disk.size() / 512), f.size()});
    disk.insert(disk.end(), f.begin(), f.end());
    disk.resize((disk.size() + 4095) / 4096 * 4096 + 4096, 0);
  }
  for (size_t readBytes : {size_t(4096), size_t(1) << 20}) {
    const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), readBytes);
    ASSERT_EQ(hits.size(), placed.size()) << readBytes;
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].start, placed[i].first) << order[i];
      EXPECT_EQ(hits[i].size, int64_t(placed[i].second)) << order[i];
    }
  }
}

}  // namespace
