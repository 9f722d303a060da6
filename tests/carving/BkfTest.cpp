// Tape-format backup sets: the parser on the sets of make_bkf.py and on
// broken copies of them (block sizes, streams, names cut by a read, data
// sets, the mended offset and length faults), dates and checksums.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/Bkf.h"
#include "carving/HdrParse.h"
#include "carving/SectorProbe.h"
#include "foundation/ByteOrder.h"
#include "tests/support/ByteWriter.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

using Bytes = std::vector<uint8_t>;

FeedResult Feed(const Bytes& file, Tail tail = Tail::Random, size_t step = 512) {
  const Bytes image = WithTail(file, tail, 4096 + (512 - file.size() % 512) % 512);
  return FeedFile(image.data(), image.size(), EvenReads(image.size(), step));
}

void Rechecksum(Bytes& b, size_t block) {
  uint16_t x = 0;
  for (int i = 0; i < 25; ++i) x ^= Le16(&b[block + 2 * i]);
  testbytes::Put16(b, block + 50, x);
}

size_t Find(const Bytes& b, const char* text, size_t from = 0) {
  for (size_t k = from; k + 4 <= b.size(); ++k)
    if (std::memcmp(&b[k], text, 4) == 0) return k;
  return b.size();
}

std::string Wide(const char* s) {
  std::string w;
  for (; *s; ++s) w += *s, w += '\0';
  return w;
}

TEST(BkfParser, DatesChecksumsAndIds) {
  const Bytes f = LoadSample("bkf_two_sets.bkf");
  ASSERT_FALSE(f.empty());
  EXPECT_TRUE(CheckBKFChecksum(f.data()));
  EXPECT_EQ(ProbeSectorSignature(f.data()), kTypeBkf);
  const MTFDateTime t = ReadMTFDateTime(&f[88]);
  EXPECT_EQ(t.year, 2019);
  EXPECT_EQ(t.month, 5);
  EXPECT_EQ(t.day, 17);
  EXPECT_EQ(t.hour, 10);
  EXPECT_EQ(t.minute, 20);
  EXPECT_EQ(t.second, 30);
  const uint8_t packed[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const MTFDateTime m = ReadMTFDateTime(packed);
  EXPECT_EQ(m.year, 16383);
  EXPECT_EQ(m.second, 63);
  Bytes broken = f;
  broken[20] ^= 1;
  EXPECT_FALSE(CheckBKFChecksum(broken.data()));
  EXPECT_NE(ProbeSectorSignature(broken.data()), kTypeBkf);
  EXPECT_EQ(BKFBlockIndex(Le32("TAPE")), 0);
  EXPECT_EQ(BKFBlockIndex(Le32("SFMB")), 9);
  EXPECT_EQ(BKFBlockIndex(Le32("STAN")), -1);
  EXPECT_TRUE(IsBKFStreamId(Le32("MFID")));
  EXPECT_FALSE(IsBKFStreamId(Le32("TAPE")));
}

TEST(BkfParser, BlockSizesOf512And1024Only) {
  for (const char* name : {"bkf_two_sets.bkf", "bkf_eotm.bkf"}) {
    const Bytes f = LoadSample(name);
    const FeedResult r = Feed(f);
    EXPECT_TRUE(r.recorded) << name << " " << r.Describe();
    EXPECT_EQ(r.size, int64_t(f.size())) << name;
    Bytes big = f;
    testbytes::Put16(big, 84, 4096);
    Rechecksum(big, 0);
    ASSERT_EQ(ProbeSectorSignature(big.data()), kTypeBkf);
    EXPECT_FALSE(Feed(big).recorded) << name;
  }
}

// A block whose first stream would start inside its own common header left
// the walk on the same block for ever; it rejects now.
TEST(BkfParser, FirstStreamInsideTheCommonHeaderRejects) {
  const Bytes f = LoadSample("bkf_two_sets.bkf");
  for (uint16_t offset : {0, 10, 51}) {
    Bytes g = f;
    testbytes::Put16(g, 1536 + 8, offset);  // the VOLB block
    EXPECT_FALSE(Feed(g).recorded) << offset;
  }
  // A FILE block whose first stream starts before its name descriptor ends.
  Bytes h = f;
  testbytes::Put16(h, 2560 + 8, 84);
  EXPECT_FALSE(Feed(h).recorded);
}

TEST(BkfParser, UnknownStreamIdRejects) {
  Bytes f = LoadSample("bkf_two_sets.bkf");
  std::memcpy(&f[Find(f, "STAN")], "STAX", 4);
  EXPECT_FALSE(Feed(f).recorded);
}

TEST(BkfParser, BadNameDescriptorsReject) {
  const Bytes f = LoadSample("bkf_two_sets.bkf");
  Bytes g = f;
  testbytes::Put16(g, 2560 + 84, 0);  // FILE name size 0
  EXPECT_FALSE(Feed(g).recorded);
  g = f;
  testbytes::Put16(g, 2560 + 84, 511);
  EXPECT_FALSE(Feed(g).recorded);
  g = f;
  testbytes::Put16(g, 2560 + 86, 87);  // FILE name inside the fixed part
  EXPECT_FALSE(Feed(g).recorded);
  g = f;
  testbytes::Put16(g, 2048 + 82, 83);  // DIRB name inside the fixed part
  EXPECT_FALSE(Feed(g).recorded);
}

// The second set goes on after the first one's ESET and filemark; a set end
// followed by anything but an SSET ends the file there.
TEST(BkfParser, DataSets) {
  const Bytes f = LoadSample("bkf_two_sets.bkf");
  const size_t secondSet = 9216;
  ASSERT_EQ(std::memcmp(&f[secondSet], "SSET", 4), 0);
  const Bytes first(f.begin(), f.begin() + secondSet);
  for (Tail tail : {Tail::Zero, Tail::Random, Tail::Text}) {
    const FeedResult r = Feed(first, tail);
    EXPECT_EQ(r.size, int64_t(secondSet)) << TailName(tail) << " " << r.Describe();
  }
  // After the filemark that follows an ESET only an SSET may start a block.
  Bytes g = f;
  std::memcpy(&g[secondSet], "VOLB", 4);
  EXPECT_EQ(Feed(g).size, int64_t(secondSet));
  // An ESET followed by anything but a one-block filemark rejects.
  Bytes h = f;
  testbytes::Put16(h, 8704 + 8, 256);
  EXPECT_FALSE(Feed(h).recorded);
}

// A FILE name cut by a read's end is completed from the next read.
TEST(BkfParser, NameSplitAcrossReads) {
  const Bytes f = LoadSample("bkf_two_sets.bkf");
  const size_t file = 4096;
  ASSERT_EQ(std::memcmp(&f[file], "FILE", 4), 0);
  const size_t nameAt = file + Le16(&f[file + 86]), nameBytes = Le16(&f[file + 84]);
  const std::string expected = Wide("report with a long name.txt");
  ASSERT_EQ(nameBytes, expected.size());
  for (size_t cut : {file + 40, nameAt, nameAt + 1, nameAt + 13, nameAt + nameBytes - 1}) {
    HdrParse driver;
    HdrNode* p = driver.Slot(kTypeBkf);
    p->headerSector = 0;
    ASSERT_EQ(driver.Parse(kTypeBkf, f.data(), cut), kFileTypePending) << cut;
    ASSERT_EQ(driver.ParseMore(f.data() + cut, 5000 - cut, 10), kFileTypePending) << cut;
    EXPECT_EQ(static_cast<HdrBKF*>(p)->FileName(), expected) << cut;
    EXPECT_EQ(static_cast<HdrBKF*>(p)->DirName(), Wide("docs\\")) << cut;
    EXPECT_EQ(static_cast<HdrBKF*>(p)->BlockSize(), 512u);
  }
}

// A stream over 4 GiB: all 64 bits of its length move the walk.
TEST(BkfParser, StreamLengthOverFourGiB) {
  Bytes f = LoadSample("bkf_two_sets.bkf");
  const size_t stan = Find(f, "STAN");
  const uint64_t length = Le64(&f[stan + 8]);
  const uint64_t big = length + (uint64_t(1) << 32);
  for (int k = 0; k < 8; ++k) f[stan + 8 + k] = uint8_t(big >> (8 * k));
  // The disk: the file up to the stream's data, 4 GiB that are never
  // looked at, then the rest of the file.
  const size_t dataAt = stan + 22;
  HdrParse driver;
  HdrNode* p = driver.Slot(kTypeBkf);
  p->headerSector = 0;
  ASSERT_EQ(driver.Parse(kTypeBkf, f.data(), dataAt), kFileTypePending);
  static const uint8_t kNothing[1] = {0};
  int64_t end = 1;
  for (int k = 0; k < 4; ++k) {
    ASSERT_GE(p->cursor, uint64_t(1) << 30);
    ASSERT_EQ(driver.ParseMore(kNothing, size_t(1) << 30, ++end), kFileTypePending);
  }
  Bytes rest(f.begin() + dataAt, f.end());
  rest.resize(rest.size() + 512, 0x5A);
  ASSERT_EQ(driver.ParseMore(rest.data(), rest.size(), ++end), kTypeBkf);
  EXPECT_EQ(p->size, f.size() + (uint64_t(1) << 32));
}

}  // namespace
