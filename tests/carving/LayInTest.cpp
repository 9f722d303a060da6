// Disks whose metadata is gone: the samples laid into raw images by
// tests/fixtures/carve/layin.py, carved as the sector pass carves (every
// sector offered to the probe), read through memory and through a real
// drive; the volumes' type sniffer on nodes whose runs point at the
// samples; and 256 MiB of random bytes, which must give nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/DriveReader.h"
#include "carving/OfficeProps.h"
#include "carving/SectorProbe.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "storage/Drive.h"
#include "tests/support/CarveLayIns.h"
#include "tests/support/TestUtil.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"

using namespace carve_test;

namespace {

std::string Md5Text(const uint8_t* data, size_t n) {
  uint8_t digest[kMd5DigestSize];
  Md5Of(data, n, digest);
  char hex[2 * kMd5DigestSize + 1] = {};
  HexEncode(hex, digest, kMd5DigestSize);
  return hex;
}

std::unique_ptr<Drive> OpenImage(const std::string& path) {
  std::unique_ptr<Drive> drive(CreateDrive(FromUtf8(path)));
  drive->InitDrive(FromUtf8(path));
  return drive;
}

// Archives and documents may hold files of other kinds (pictures stored in
// an archive, say) that are carved too; nothing else may be.
bool HoldsOtherFiles(const Laid& r) {
  return r.type == "zip" || r.type == "docx" || r.type == "xlsx" || r.type == "pptx" || r.type == "doc" ||
         r.type == "xls" || r.type == "ppt" || r.type == "pdf";
}

void CheckHits(const std::vector<HdrHit>& hits, const std::vector<uint8_t>& image, const std::string& layin,
               const std::string& how) {
  const std::vector<Laid>& rows = LayIns::Get().rows;
  std::map<int64_t, const HdrHit*> done;
  for (const HdrHit& h : hits) {
    EXPECT_NE(h.type, kTypeGif) << how;
    EXPECT_NE(h.type, kTypeWma) << how;
    if (h.size > 0) done[h.start] = &h;
  }
  std::map<int64_t, bool> laid;
  for (const Laid& r : rows) {
    if (r.layin != layin) continue;
    SCOPED_TRACE(how + ": " + r.name + " at " + std::to_string(r.offset));
    const auto it = done.find(int64_t(r.offset / 512));
    if (r.type == "none") {
      EXPECT_EQ(it, done.end());
      continue;
    }
    ASSERT_NE(it, done.end());
    laid[it->first] = true;
    const HdrHit& h = *it->second;
    EXPECT_EQ(ToUtf8(FileTypeExtension(h.type)), r.type);
    EXPECT_EQ(uint64_t(h.size), r.size);
    ASSERT_LE(r.offset + uint64_t(h.size), image.size());
    EXPECT_EQ(Md5Text(image.data() + r.offset, size_t(h.size)), r.md5);
  }
  for (const auto& [start, hit] : done) {
    if (laid.count(start)) continue;
    bool inside = false;
    for (const Laid& r : rows) {
      if (r.layin != layin || !HoldsOtherFiles(r)) continue;
      const uint64_t at = uint64_t(start) * 512;
      inside = inside || (at > r.offset && at + uint64_t(hit->size) <= r.offset + r.size);
    }
    EXPECT_TRUE(inside) << how << ": nothing else is carved: " << FileTypeName(hit->type) << " at " << start;
  }
}

TEST(LayIn, EverySampleFromBothLayIns) {
  const LayIns& l = LayIns::Get();
  if (l.dir.empty()) GTEST_SKIP() << "python3 missing";
  ASSERT_GT(l.rows.size(), 30u);
  for (const char* layin : {"slack", "raw"}) {
    const std::vector<uint8_t> image = LoadFile(l.dir + "/" + layin + ".img");
    ASSERT_FALSE(image.empty()) << layin;
    for (size_t readBytes : {size_t(65536), size_t(1) << 20}) {
      CheckHits(CarveImage(image.data(), image.size(), readBytes), image, layin,
                std::string(layin) + " in reads of " + std::to_string(readBytes));
    }
  }
}

// The same through a drive opened on the image, as the engine reads it.
TEST(LayIn, ThroughADriveReader) {
  const LayIns& l = LayIns::Get();
  if (l.dir.empty()) GTEST_SKIP() << "python3 missing";
  GlobalObjectsScope scope;
  const std::string path = l.dir + "/raw.img";
  const std::unique_ptr<Drive> drive = OpenImage(path);
  DriveHdrReader reader(drive.get());
  const std::vector<uint8_t> image = LoadFile(path);
  ASSERT_EQ(uint64_t(reader.SectorCount()) * 512, image.size());
  CheckHits(CarveImage(image.data(), image.size(), 1 << 20, 512, &reader), image, "raw", "drive reads");
  // Outside the drive: refused before the drive is asked.
  std::vector<uint8_t> buffer(4096);
  EXPECT_FALSE(reader.ReadSectors(reader.SectorCount() - 1, 2, buffer.data()));
  EXPECT_FALSE(reader.ReadSectors(-1, 1, buffer.data()));
  EXPECT_TRUE(reader.ReadSectors(reader.SectorCount() - 1, 1, buffer.data()));
}

// A node whose runs point at a laid-in sample: the volume names its type
// from the first cluster through the sniffer the start-up root installs.
TEST(LayIn, VolumesSniffTheTypeOfANodesFirstCluster) {
  const LayIns& l = LayIns::Get();
  if (l.dir.empty()) GTEST_SKIP() << "python3 missing";
  SetNodeTypeSniffer(&SniffNodeCarvedType);  // as the root does
  GlobalObjectsScope scope;
  const std::unique_ptr<Drive> drive = OpenImage(l.dir + "/slack.img");
  CVol volume;
  volume.drive = drive.get();
  volume.type = kVolNtfs;
  ASSERT_TRUE(volume.SetSectorSize(512));
  ASSERT_TRUE(volume.SetClusterSize(4096));
  size_t sniffed = 0;
  for (const Laid& r : l.rows) {
    if (r.layin != "slack") continue;
    snode node;
    node.runs = MakeRuns(int64_t(r.offset / 4096), (r.size + 4095) / 4096);
    node.SetClusterBytes(4096, 512);
    node.size = r.size;
    std::string want = r.type;
    if (want == "none") want = r.name.substr(r.name.rfind('.') + 1);  // gif, and the flat jpg
    if (want == "nef") want = "tif";  // the first bytes are a plain TIFF header
    if (want == "xls" || want == "ppt") want = "doc";  // a compound file is told by its directory
    EXPECT_EQ(ToUtf8(volume.SniffNodeType(&node)), want) << r.name;
    ++sniffed;
  }
  EXPECT_GT(sniffed, 30u);
  // Nothing to read: no type.
  snode empty;
  EXPECT_TRUE(volume.SniffNodeType(&empty).empty());
  EXPECT_TRUE(volume.SniffNodeType(nullptr).empty());
}

// A generator of random sectors by position, so that a TIFF walk can read
// any of them again.
class RandomDrive : public HdrReader {
 public:
  RandomDrive(uint64_t seed, int64_t sectors) : seed_(seed), sectors_(sectors) {}
  static uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }
  void Fill(int64_t sector, uint32_t count, uint8_t* out) const {
    for (uint64_t w = 0; w < uint64_t(count) * 64; ++w) {
      const uint64_t v = Mix(seed_ ^ (uint64_t(sector) * 64 + w));
      std::memcpy(out + 8 * w, &v, 8);
    }
  }
  bool ReadSectors(int64_t sector, uint32_t count, uint8_t* buffer) override {
    if (sector < 0 || sector + int64_t(count) > sectors_) return false;
    Fill(sector, count, buffer);
    return true;
  }
  int64_t SectorCount() const override { return sectors_; }
  uint32_t SectorSize() const override { return 512; }

 private:
  uint64_t seed_;
  int64_t sectors_;
};

TEST(LayIn, RandomBytesGiveNothing) {
  std::random_device device;
  const uint64_t seed = (uint64_t(device()) << 32) | device();
  const int64_t sectors = (256 << 20) / 512;
  RandomDrive drive(seed, sectors);
  CarveScan scan(&drive);
  scan.SetDetection(true);
  std::vector<uint8_t> buffer(1 << 20);
  const uint32_t perRead = uint32_t(buffer.size() / 512);
  for (int64_t s = 0; s < sectors; s += perRead) {
    drive.Fill(s, perRead, buffer.data());
    scan.ScanRead(buffer.data(), buffer.size(), s);
  }
  scan.AbandonOpen();
  for (const HdrHit& h : scan.Hits())
    EXPECT_EQ(h.size, 0) << "seed " << seed << ": " << FileTypeName(h.type) << " at " << h.start;
}

}  // namespace
