#include "filesystems/ntfs/Lznt1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Trace.h"
#include "platform/Text.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/FixtureImage.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testbytes::Append16;

// A stored chunk of the given bytes.
Bytes Stored(const Bytes& data) {
  Bytes out;
  Append16(out, 0x3000 | static_cast<unsigned>(data.size() - 1));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A compressed chunk around the given token bytes (flags included).
Bytes Compressed(const Bytes& tokens) {
  Bytes out;
  Append16(out, 0xB000 | static_cast<unsigned>(tokens.size() - 1));
  out.insert(out.end(), tokens.begin(), tokens.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Fill(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

// Offset bits of a back-reference at a position of its chunk.
int LengthBits(size_t pos) {
  int l = 12;
  for (size_t p = pos - 1; pos > 0 && p >= 0x10; p >>= 1) --l;
  return l;
}

// A plain greedy LZNT1 compressor, an independent writer of the format for
// round trips (longest match, brute force: test data only).
Bytes Compress(const Bytes& data) {
  Bytes out;
  for (size_t start = 0; start < data.size(); start += 4096) {
    size_t n = std::min<size_t>(4096, data.size() - start);
    const uint8_t* c = data.data() + start;
    Bytes tokens;
    size_t pos = 0;
    while (pos < n) {
      size_t flagAt = tokens.size();
      tokens.push_back(0);
      for (int bit = 0; bit < 8 && pos < n; ++bit) {
        int l = LengthBits(pos);
        size_t maxLen = (size_t(1) << l) - 1 + 3, maxOff = size_t(1) << (16 - l);
        size_t bestLen = 0, bestOff = 0;
        for (size_t off = 1; off <= std::min(pos, maxOff); ++off) {
          size_t len = 0;
          while (len < maxLen && pos + len < n && c[pos + len] == c[pos + len - off]) ++len;
          if (len > bestLen) bestLen = len, bestOff = off;
        }
        if (bestLen >= 3) {
          tokens[flagAt] |= static_cast<uint8_t>(1 << bit);
          Append16(tokens, static_cast<unsigned>(((bestOff - 1) << l) | (bestLen - 3)));
          pos += bestLen;
        } else {
          tokens.push_back(c[pos++]);
        }
      }
    }
    Bytes chunk(c, c + n);
    Bytes piece = tokens.size() < n ? Compressed(tokens) : Stored(chunk);
    out.insert(out.end(), piece.begin(), piece.end());
  }
  return out;
}

struct Result {
  int64_t produced;
  int consumed;
  Bytes out;
  std::string error;
};

// Decompresses input (padded with zeroes to unitCount * unitSize) into an
// output of exactly 16 units, so a sanitizer sees any stray write.
Result Expand(Bytes input, int unitSize, int unitCount = -1) {
  if (unitCount < 0) unitCount = static_cast<int>((input.size() + unitSize - 1) / unitSize);
  input.resize(size_t(unitCount) * unitSize);
  Result r;
  r.out.assign(size_t(kLznt1MaxUnits) * unitSize, 0xEE);
  theTrace().SetLastError(u"", 0);
  r.consumed = -7;
  r.produced = Lznt1Decompress(input.data(), unitCount, unitSize, &r.consumed, r.out.data());
  r.error = ToUtf8(LastErrorText());
  if (r.produced >= 0) r.out.resize(size_t(r.produced));
  return r;
}

class Lznt1 : public ::testing::Test {
 protected:
  GlobalObjectsScope scope_;
};

TEST_F(Lznt1, StoredChunkIsCopiedUnchanged) {
  Bytes data = Fill(4096, 3);
  Result r = Expand(Stored(data), 4096);
  ASSERT_EQ(r.produced, 4096);
  EXPECT_EQ(r.out, data);
  EXPECT_EQ(r.consumed, 2);  // 4098 bytes read
}

TEST_F(Lznt1, HandMadeTokens) {
  struct Case {
    const char* what;
    Bytes tokens;
    std::string expect;
  };
  const Case cases[] = {
      {"literals only", {0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x00, 'i'}, "abcdefghi"},
      // "abc" then a reference 3 back of length 6: 12 length bits at
      // position 3, token ((3-1)<<12)|(6-3).
      {"overlapping reference", {0x08, 'a', 'b', 'c', 0x03, 0x20}, "abcabcabc"},
      // One byte repeated: offset 1, length 3 + 97.
      {"run of one byte", {0x02, 'z', 0x61, 0x00}, std::string(101, 'z')},
  };
  for (const Case& c : cases) {
    Result r = Expand(Compressed(c.tokens), 512);
    ASSERT_EQ(r.produced, int64_t(c.expect.size())) << c.what << " " << r.error;
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()), c.expect) << c.what;
  }
}

TEST_F(Lznt1, PositionDependentSplitRoundTrips) {
  // Texts with repeats at every distance and position exercise every split
  // between offset and length bits; random bytes give stored chunks.
  std::mt19937 rng(5);
  std::vector<Bytes> inputs;
  std::string text;
  for (int i = 0; text.size() < 20000; ++i) text += "line " + std::to_string(i * 37 % 1000) + " of some text\n";
  inputs.emplace_back(text.begin(), text.end());
  Bytes mixed;
  for (int i = 0; i < 12000; ++i) mixed.push_back(static_cast<uint8_t>(rng() % 4 ? 'a' + rng() % 3 : rng()));
  inputs.push_back(mixed);
  Bytes random(9000);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  inputs.push_back(random);
  inputs.push_back(Bytes(4096 * 16, 0));
  for (size_t k = 0; k < inputs.size(); ++k) {
    Bytes packed = Compress(inputs[k]);
    Result r = Expand(packed, 4096);
    ASSERT_EQ(r.produced, int64_t(inputs[k].size())) << k << " " << r.error;
    EXPECT_EQ(r.out, inputs[k]) << k;
  }
}

TEST_F(Lznt1, ErrorsCarryTheirClass) {
  Bytes short10 = Compressed({0x00, '0', '1', '2', '3', '4', '5', '6', '7', 0x00, '8', '9'});
  struct Case {
    const char* what;
    Bytes input;
    int unitSize;
    const char* error;
  };
  const Case cases[] = {
      {"second chunk not on a 4096-byte boundary", Cat({short10, short10}), 512, "The file is corrupt. (1 10)"},
      {"reference before its chunk", Cat({Stored(Fill(4096, 1)), Compressed({0x02, 'x', 0x00, 0x10})}), 4096,
       "The file is corrupt. (2 2)"},
      {"reference at the first byte", Compressed({0x01, 0x00, 0x00}), 512, "The file is corrupt. (2 1)"},
      {"stored chunk larger than the output", Stored(Fill(2000, 1)), 100, "The file is corrupt. (3 0)"},
      {"reference larger than the output", Compressed({0x02, 'z', 0xFF, 0x0F}), 100, "The file is corrupt. (3 1)"},
      {"chunk longer than the input", Cat({{0xFF, 0xBF}, Fill(100, 1)}), 102, "The file is corrupt. (4 0)"},
      {"reference cut by the chunk end", Compressed({0x02, 'a', 0x01}), 512, "The file is corrupt. (4 4)"},
  };
  for (const Case& c : cases) {
    Result r = Expand(c.input, c.unitSize);
    EXPECT_EQ(r.produced, -1) << c.what;
    EXPECT_EQ(r.error, c.error) << c.what;
  }
}

TEST_F(Lznt1, LastChunkEndingAtTheInputEndIsKept) {
  // A stored chunk, then a last chunk of header, flag and 1 to 3 literals
  // that ends exactly where the input does: fewer than six bytes.
  Bytes first = Fill(4096, 9);
  for (int literals = 0; literals <= 3; ++literals) {
    Bytes tail = {0x00};
    for (int i = 0; i < literals; ++i) tail.push_back(static_cast<uint8_t>('A' + i));
    Bytes input = Cat({Stored(first), literals ? Compressed(tail) : Bytes{0x00, 0x00}});
    Result r = Expand(input, static_cast<int>(input.size()), 1);
    ASSERT_EQ(r.produced, 4096 + literals) << literals << " " << r.error;
    EXPECT_TRUE(std::equal(first.begin(), first.end(), r.out.begin()));
    for (int i = 0; i < literals; ++i) EXPECT_EQ(r.out[4096 + i], 'A' + i);
    EXPECT_EQ(r.consumed, 1);
  }
  // A lone stored byte as the whole input.
  Result r = Expand({0x00, 0x30, 'q'}, 3, 1);
  ASSERT_EQ(r.produced, 1);
  EXPECT_EQ(r.out[0], 'q');
}

TEST_F(Lznt1, ZeroHeaderCompletesANearlyFullOutput) {
  // Units of 512: the output holds 8192 bytes.
  struct Case {
    size_t produced;
    int64_t expect;
  };
  const Case cases[] = {{8191, 8192}, {7681, 8192}, {7680, 7680}, {4096, 4096}};
  for (const Case& c : cases) {
    Bytes input = Stored(Fill(4096, 1));
    if (c.produced > 4096) input = Cat({input, Stored(Fill(c.produced - 4096, 2))});
    input.push_back(0);
    input.push_back(0);
    Result r = Expand(input, 512);
    ASSERT_EQ(r.produced, c.expect) << c.produced;
    for (size_t i = c.produced; i < size_t(r.produced); ++i) ASSERT_EQ(r.out[i], 0) << c.produced;
    // The zero header is no input read.
    EXPECT_EQ(r.consumed, int((input.size() - 2 + 511) / 512)) << c.produced;
  }
}

TEST_F(Lznt1, UnitsConsumedRoundUp) {
  Bytes data = Fill(2500, 6);
  Bytes input = Stored(data);  // 2502 bytes: three units of 1024
  Result r = Expand(input, 1024, 5);
  ASSERT_EQ(r.produced, 2500) << r.error;
  EXPECT_EQ(r.consumed, 3);
  // Without a place for the count.
  Bytes in2 = Compress(Bytes(3 * 4096, 'k'));
  in2.resize(4096);
  Bytes out(16 * 4096);
  EXPECT_EQ(Lznt1Decompress(in2.data(), 1, 4096, nullptr, out.data()), 3 * 4096);
}

TEST_F(Lznt1, InPlaceResultStaysWithinTheInput) {
  // Decompressing over the input: a result that fits is copied back...
  Bytes data = Fill(1000, 4);
  data.insert(data.end(), 3000, 'r');
  Bytes packed = Compress(data);
  ASSERT_LT(packed.size(), 1024u);
  std::vector<uint8_t> buf(packed);
  buf.resize(8 * 1024);  // eight units of 1024: room for the 4000 bytes
  EXPECT_EQ(Lznt1Decompress(buf.data(), 8, 1024, nullptr, nullptr), 4000);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
  // ...one that would pass the input's end is an overflow, and the input
  // is left as it was.
  buf.assign(packed.begin(), packed.end());
  buf.resize(2 * 1024);
  Bytes before = buf;
  EXPECT_EQ(Lznt1Decompress(buf.data(), 2, 1024, nullptr, nullptr), -1);
  EXPECT_EQ(ToUtf8(LastErrorText()).substr(0, 24), "The file is corrupt. (3 ");
  EXPECT_EQ(buf, before);
}

TEST_F(Lznt1, BadArgumentsFail) {
  Bytes in(16), out(16 * 16);
  EXPECT_EQ(Lznt1Decompress(in.data(), 1, 0, nullptr, out.data()), -1);
  EXPECT_EQ(Lznt1Decompress(in.data(), -1, 16, nullptr, out.data()), -1);
  EXPECT_EQ(Lznt1Decompress(nullptr, 1, 16, nullptr, out.data()), -1);
  int consumed = -1;
  EXPECT_EQ(Lznt1Decompress(in.data(), 0, 16, &consumed, out.data()), 0);
  EXPECT_EQ(consumed, 0);
}

// Files of a compressed folder written by ntfs-3g, rebuilt unit by unit from
// the run lists ntfsinfo printed, match the md5 of icat.
TEST_F(Lznt1, RealCompressedFilesMatchIcat) {
  std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "basic.img.xz cannot be unpacked (xz missing?)";
  auto inodes = ntfs_fixture::Inodes("basic");
  const char* files[] = {"comp/text.txt",  "comp/rand70000.bin", "comp/rand131072.bin", "comp/mixed.bin",
                         "comp/s4097.txt", "comp/s4098.txt",     "comp/s4099.txt"};
  const int kCluster = 4096;
  int compressedUnits = 0;
  for (const char* name : files) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(inodes.count(name));
    uint64_t ino = inodes[name];
    std::string istat = ntfs_fixture::IstatOf("basic", ino);
    size_t at = istat.find("size: ", istat.find("Type: $DATA (128-"));
    ASSERT_NE(at, std::string::npos);
    uint64_t size = std::stoull(istat.substr(at + 6));
    std::vector<uint64_t> clusters = ntfs_fixture::NtfsinfoClusters("basic", ino, "$DATA (0x80)");
    ASSERT_FALSE(clusters.empty());
    Bytes file;
    for (size_t u = 0; u < clusters.size(); u += 16) {
      size_t end = std::min(clusters.size(), u + 16);
      Bytes packed;
      bool hole = false;
      for (size_t i = u; i < end; ++i) {
        if (clusters[i] == 0) {
          hole = true;
          continue;
        }
        Bytes c = ntfs_fixture::ReadAt(img, clusters[i] * kCluster, kCluster);
        ASSERT_EQ(c.size(), size_t(kCluster));
        packed.insert(packed.end(), c.begin(), c.end());
      }
      if (!hole) {
        file.insert(file.end(), packed.begin(), packed.end());
        continue;
      }
      ++compressedUnits;
      Bytes out(16 * kCluster);
      int consumed = 0;
      int units = static_cast<int>(packed.size() / kCluster);
      int64_t n = Lznt1Decompress(packed.data(), units, kCluster, &consumed, out.data());
      ASSERT_GE(n, 0) << ToUtf8(LastErrorText());
      EXPECT_LE(consumed, units);
      file.insert(file.end(), out.begin(), out.begin() + n);
      if (n < 16 * kCluster) file.resize(u * kCluster + 16 * kCluster, 0);
    }
    ASSERT_GE(file.size(), size);
    file.resize(size);
    uint8_t digest[kMd5DigestSize];
    Md5Of(file.data(), file.size(), digest);
    EXPECT_EQ(HexText(digest, sizeof digest), ntfs_fixture::IcatMd5("basic", ino));
  }
  EXPECT_GE(compressedUnits, 6);
}

}  // namespace
