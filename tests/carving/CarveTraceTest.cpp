// The MXF and BKF traces of the sector pass: with MXF at level 2 every MXF
// key of the ffmpeg sample is traced at the offset a KLV walk finds, with
// its name, partition offsets and the decoded index segment and random
// index pack; with BKF set every descriptor block of the bkf sets is traced
// once with its dates and names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "tests/support/CarveLayIns.h"
#include "carving/Bkf.h"
#include "carving/CarveScan.h"
#include "carving/Mxf.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "tests/support/TempFolder.h"

using namespace carve_test;

namespace {

using Bytes = std::vector<uint8_t>;

// Points the trace file at a temporary file with one trace level set, for
// the life of the object.
class TraceCapture {
 public:
  TraceCapture(const std::string& name, std::atomic<int32_t>& level, int32_t value)
      : folder_("carve_trace"), path_(folder_.Path() + "/" + name), level_(level) {
    oldPath_ = theTrace().TraceFilePath();
    SetPath(FromUtf8(path_));
    old_ = level_.exchange(value);
  }
  ~TraceCapture() {
    level_ = old_;
    TraceFileClose();
    SetPath(oldPath_);
  }
  std::vector<std::string> Lines() {
    TraceFileClose();
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  static void SetPath(const WString& path) {
    theTrace().SetOptions(path, traceExecutionPath, traceRaid, traceMft, traceIo, traceContent, traceCompression,
                          traceUnixFsA, traceUnixFsB, traceHfs, traceKeepFileOpen, traceSequentialSearch);
  }
  TempFolder folder_;
  std::string path_;
  std::atomic<int32_t>& level_;
  WString oldPath_;
  int32_t old_;
};

// A disk of zeros with the file at `sector`.
Bytes DiskWith(const Bytes& file, int64_t sector, size_t after = 8192) {
  Bytes disk(size_t(sector) * 512, 0);
  disk.insert(disk.end(), file.begin(), file.end());
  disk.resize((disk.size() + 511) / 512 * 512 + after, 0);
  return disk;
}

TEST(MxfTrace, LevelOneTracesTheCarvedFile) {
  const Bytes f = LoadSample("mxf_mpeg2.mxf");
  const Bytes disk = DiskWith(f, 40);
  TraceCapture capture("mxf_trace1.txt", traceMxf, 1);
  const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), 1 << 16);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].size, int64_t(f.size()));
  const std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "MXF @ 40, Size " + std::to_string(f.size()));
}

TEST(MxfTrace, LevelTwoTracesEveryKeyAndDecodesTheIndex) {
  const Bytes f = LoadSample("mxf_mpeg2.mxf");
  const int64_t at = 40;
  const Bytes disk = DiskWith(f, at);
  // The KLVs of the file, by a walk from its start.
  struct Klv {
    size_t offset;
    uint64_t length;
  };
  std::vector<Klv> klvs;
  for (size_t k = 0; k + 17 <= f.size();) {
    uint64_t length = 0;
    uint32_t ber = 0;
    ASSERT_TRUE(ReadBER(&f[k + 16], f.size() - k - 16, &length, &ber)) << k;
    klvs.push_back({k, length});
    k += 16 + ber + length;
  }
  for (size_t readBytes : {size_t(4096), size_t(1) << 20}) {
    SCOPED_TRACE("reads of " + std::to_string(readBytes));
    TraceCapture capture("mxf_trace2.txt", traceMxf, 2);
    CarveImage(disk.data(), disk.size(), readBytes);
    const std::vector<std::string> lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("Sector,Offset,Length,ObjID,Label Size,", 0), 0u);
    std::map<std::string, std::string> keyLines;  // "sector,offset" -> line
    for (const std::string& l : lines)
      if (!l.empty() && isdigit(uint8_t(l[0]))) keyLines[l.substr(0, l.find(',', l.find(',') + 1))] = l;
    size_t partitions = 0, indexes = 0, rips = 0;
    for (const Klv& k : klvs) {
      const uint64_t pos = uint64_t(at) * 512 + k.offset;
      const std::string where = FormatA("%I64d,%03x", int64_t(pos / 512), uint32_t(pos % 512));
      const auto it = keyLines.find(where);
      ASSERT_NE(it, keyLines.end()) << "no line for the KLV at " << k.offset;
      const std::string& l = it->second;
      EXPECT_EQ(l.rfind(where + "," + std::to_string(k.length) + ",6,14,43,52,", 0), 0u) << l;
      EXPECT_EQ(l.find("Unknown"), std::string::npos) << l;
      const uint8_t* key = &f[k.offset];
      if (IsMXFPartitionKey(key)) {
        ++partitions;
        const uint8_t* v = key + 16 + (key[16] < 0x80 ? 1 : 1 + (key[16] & 0x7F));
        const std::string offsets = FormatA(",%I64d,%I64d,%I64d", int64_t(GetBigEndian64(v + 8, 8)),
                                            int64_t(GetBigEndian64(v + 16, 8)), int64_t(GetBigEndian64(v + 24, 8)));
        EXPECT_NE(l.find(std::string(",") + MXFPartitionKind(key) + offsets), std::string::npos) << l;
        EXPECT_EQ(GetBigEndian64(v + 8, 8), k.offset) << "this partition";
      }
      if (IsMXFIndexKey(key)) {
        ++indexes;
        EXPECT_NE(l.find(",index"), std::string::npos) << l;
      }
      if (IsMXFRipKey(key)) {
        ++rips;
        EXPECT_NE(l.find(",RIP"), std::string::npos) << l;
      }
    }
    // ffmpeg wrote header, body and footer partitions, one index segment
    // (in the footer) and one random index pack.
    EXPECT_GE(partitions, 3u);
    EXPECT_EQ(indexes, 1u);
    EXPECT_EQ(rips, 1u);
    // The index segment: 2 s at 25 frames a second, one entry per frame.
    size_t editUnits = 0, ripEntries = 0, instance = 0, index = 0;
    for (const std::string& l : lines) {
      if (l == "25/1, Index, 0, 50") ++index;
      if (l.rfind("25/1, EditUnit, ", 0) == 0 && l.find(", stream, 0, ") != std::string::npos) ++editUnits;
      if (l.rfind("RIP, ", 0) == 0) ++ripEntries;
      if (l.rfind("InstanceUID ", 0) == 0) ++instance;
      EXPECT_EQ(l.find("Check"), std::string::npos) << l;
    }
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(instance, 1u);
    EXPECT_EQ(editUnits, 50u);
    EXPECT_EQ(ripEntries, partitions);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "25/1, EditUnit, 0, stream, 0, 0, TempOffset=0, Flags=192"),
              lines.end());
  }
}

// Index segments as the trace decodes them, and the check that ends a
// malformed one.
TEST(MxfTrace, ObjectPrintChecks) {
  auto tag = [](Bytes& b, uint16_t t, const Bytes& v) {
    b.push_back(uint8_t(t >> 8)), b.push_back(uint8_t(t));
    b.push_back(uint8_t(v.size() >> 8)), b.push_back(uint8_t(v.size()));
    b.insert(b.end(), v.begin(), v.end());
  };
  Bytes good;
  tag(good, 0x3F0B, {0, 0, 0, 30, 0, 0, 0, 1});
  tag(good, 0x3F0C, {0, 0, 0, 0, 0, 0, 0, 7});
  tag(good, 0x3F0D, {0, 0, 0, 0, 0, 0, 0, 2});
  tag(good, 0x3F08, {1});
  tag(good, 0x3F09, {0, 0, 0, 2, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0xFF, 1, 0, 0, 0, 4});
  tag(good, 0x3F0A, {0, 0, 0, 2, 0, 0, 0, 15,                       //
                     0xFE, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 9,  //
                     1, 0, 0x22, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 9});
  {
    TraceCapture capture("objectprint.txt", traceMxf, 2);
    ObjectPrint(good.data(), good.size());
    const std::vector<std::string> lines = capture.Lines();
    const std::vector<std::string> expected = {
        "30/1, Index, 7, 2",
        "30/1, EditUnit, 7, stream, 0, 100, TempOffset=-2, Flags=128",
        "30/1, EditUnit, 7, stream, 1, 113, TempOffset=-2, Flags=128",
        "30/1, EditUnit, 8, stream, 0, 256, TempOffset=1, Flags=34",
        "30/1, EditUnit, 8, stream, 1, 269, TempOffset=1, Flags=34",
    };
    EXPECT_EQ(lines, expected);
  }
  struct Broken {
    Bytes value;
    const char* check;
  };
  Bytes entrySmall;
  tag(entrySmall, 0x3F08, {2});
  tag(entrySmall, 0x3F0A, {0, 0, 0, 1, 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Broken broken[] = {
      {{0x3F, 0x0B, 0}, "Check 1 (ObjectPrint)."},
      {{0x3F, 0x0B, 0, 9, 1}, "Check 2 (ObjectPrint)."},
      {{0x3C, 0x0A, 0, 1, 0}, "Check 3 (ObjectPrint)."},
      {{0x3F, 0x0B, 0, 4, 0, 0, 0, 1}, "Check 4 (ObjectPrint)."},
      {{0x3F, 0x0D, 0, 1, 0}, "Check 5 (ObjectPrint)."},
      {{0x3F, 0x06, 0, 2, 0, 0}, "Check 6 (ObjectPrint)."},
      {{0x3F, 0x08, 0, 2, 0, 0}, "Check 7 (ObjectPrint)."},
      {{0x3F, 0x09, 0, 8, 0, 0, 0, 1, 0, 0, 0, 6}, "Check 8 (ObjectPrint)."},
      {{0x3F, 0x0A, 0, 8, 0, 0, 0, 1, 0, 0, 0, 11}, "Check 9 (ObjectPrint)."},
      {entrySmall, "Check 9a (ObjectPrint)."},
  };
  for (const Broken& b : broken) {
    TraceCapture capture("objectprint_bad.txt", traceMxf, 2);
    ObjectPrint(b.value.data(), b.value.size());
    const std::vector<std::string> lines = capture.Lines();
    ASSERT_FALSE(lines.empty()) << b.check;
    EXPECT_EQ(lines.back(), b.check);
  }
}

// Keys cut by a read's end are traced whole; reads that do not follow each
// other are not joined.
TEST(MxfTrace, KeysAcrossReads) {
  const Bytes f = LoadSample("mxf_mpeg2.mxf");
  const size_t footer = 141824;
  ASSERT_TRUE(IsMXFFooterKey(&f[footer]));
  const uint8_t* v = &f[footer + 17 + 3];
  ASSERT_EQ(f[footer + 16], 0x83);
  const std::string line = "Footer Partition Pack (Closed Complete),footer" +
                           FormatA(",%I64d,%I64d,%I64d", int64_t(GetBigEndian64(v + 8, 8)),
                                   int64_t(GetBigEndian64(v + 16, 8)), int64_t(GetBigEndian64(v + 24, 8)));
  for (size_t cut : {size_t(5), size_t(16), size_t(30), size_t(60)}) {
    // The pack's first `cut` bytes end one read, the rest start the next.
    Bytes a(512, 0), b(f.begin() + footer + cut, f.begin() + footer + cut + 512);
    std::copy(f.begin() + footer, f.begin() + footer + cut, a.end() - cut);
    const std::string where = FormatA("9,%03x,104,6,14,43,52,2,5,1,1,13,1,2,1,1,4,4,0,", uint32_t(512 - cut));
    for (int64_t second : {10, 20}) {
      TraceCapture capture("mxf_cut.txt", traceMxf, 2);
      MXFHdrScan scan;
      scan.Scan(a.data(), a.size(), 9, 512);
      scan.Scan(b.data(), b.size(), second, 512);
      scan.Flush();
      const std::vector<std::string> lines = capture.Lines();
      const auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(where, 0) == 0; });
      if (second == 10) {
        ASSERT_NE(it, lines.end()) << cut;
        EXPECT_EQ(*it, where + line) << cut;
      } else if (cut < 22) {
        EXPECT_EQ(it, lines.end()) << cut;  // too few bytes to trace
      } else if (cut >= 16 + 4 + 32) {
        ASSERT_NE(it, lines.end()) << cut;
        EXPECT_EQ(*it, where + line) << cut;
      } else {
        ASSERT_NE(it, lines.end()) << cut;
        EXPECT_EQ(*it, where + "Footer Partition Pack (Closed Complete),footer") << cut;
      }
    }
  }
}

TEST(BkfTrace, EveryDescriptorBlockOnce) {
  // Both sets on one disk, the lines that make_bkf.py recorded for them.
  const Bytes a = LoadSample("bkf_two_sets.bkf"), b = LoadSample("bkf_eotm.bkf");
  Bytes disk(4096, 0);
  const int64_t atA = int64_t(disk.size() / 512);
  disk.insert(disk.end(), a.begin(), a.end());
  disk.resize(disk.size() + 4096, 0);
  const int64_t atB = int64_t(disk.size() / 512);
  disk.insert(disk.end(), b.begin(), b.end());
  disk.resize(disk.size() + 4096, 0);
  std::vector<std::string> expected = BkfBlockLines("bkf_two_sets.bkf", atA);
  for (const std::string& l : BkfBlockLines("bkf_eotm.bkf", atB)) expected.push_back(l);
  ASSERT_EQ(expected.size(), 29u);
  TraceCapture capture("bkf_trace.txt", traceBkf, 1);
  const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), 1 << 16);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].size, int64_t(a.size()));
  EXPECT_EQ(hits[1].size, int64_t(b.size()));
  std::vector<std::string> traced;
  for (const std::string& l : capture.Lines())
    if (l.rfind("BKF ", 0) == 0) traced.push_back(l);
  EXPECT_EQ(traced, expected);
}

// The parser's own lines with the data trace on.
TEST(BkfTrace, AcceptedAndErrorLines) {
  const Bytes f = LoadSample("bkf_two_sets.bkf");
  {
    TraceCapture capture("bkf_accepted.txt", traceMft, 1);
    const Bytes image = WithTail(f, Tail::Zero, 4096);
    EXPECT_TRUE(FeedFile(image.data(), image.size(), EvenReads(image.size(), 4096)).recorded);
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Accepted at 24 3 000"), lines.end());
  }
  Bytes g = f;
  std::memcpy(&g[2668], "STAX", 4);
  TraceCapture capture("bkf_error.txt", traceMft, 1);
  const Bytes image = WithTail(g, Tail::Zero, 4096);
  EXPECT_FALSE(FeedFile(image.data(), image.size(), EvenReads(image.size(), 4096)).recorded);
  const std::vector<std::string> lines = capture.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Error at 0 5 070"), lines.end());
}

}  // namespace
