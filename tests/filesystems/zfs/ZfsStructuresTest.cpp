// The ZFS structures in memory: name-value lists, uberblock choice, block
// pointers, the codecs, dnodes and ZAP blocks, edge cases as tables.
#include <gtest/gtest.h>
#include <lz4.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "filesystems/zfs/BlockPointer.h"
#include "filesystems/zfs/Checksum.h"
#include "filesystems/zfs/Compression.h"
#include "filesystems/zfs/Definitions.h"
#include "filesystems/zfs/Dnode.h"
#include "filesystems/zfs/Label.h"
#include "filesystems/zfs/NvList.h"
#include "filesystems/zfs/Zap.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "tests/support/ByteWriter.h"

using namespace zfs;
using testbytes::Put16;
using testbytes::Put32;
using testbytes::Put64;
using testbytes::PutBe32;
using testbytes::PutBe64;

namespace {

// ---- name-value lists ----

// An XDR list as the label holds it, built pair by pair.
class NvWriter {
 public:
  NvWriter() { bytes_ = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}; }
  void Uint64(const std::string& name, uint64_t v) {
    const size_t at = Head(name, kNvTypeUint64, 1);
    Word(uint32_t(v >> 32));
    Word(uint32_t(v));
    Close(at);
  }
  // A nested list: pairs added until EndList go inside it.
  void BeginList(const std::string& name) {
    open_.push_back(Head(name, kNvTypeNvList, 1));
    Word(0);
    Word(1);
  }
  void EndList() {
    Word(0);
    Word(0);
    Close(open_.back());
    open_.pop_back();
  }
  std::vector<uint8_t> Done() {
    std::vector<uint8_t> b = bytes_;
    b.resize(b.size() + 8, 0);
    return b;
  }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  size_t Head(const std::string& name, uint32_t type, uint32_t count) {
    const size_t at = bytes_.size();
    Word(0);  // encoded size, set by Close
    Word(0);
    Word(uint32_t(name.size()));
    for (char c : name) bytes_.push_back(uint8_t(c));
    while (bytes_.size() % 4) bytes_.push_back(0);
    Word(type);
    Word(count);
    return at;
  }
  void Word(uint32_t v) {
    const size_t at = bytes_.size();
    bytes_.resize(at + 4);
    PutBe32(bytes_, at, v);
  }
  void Close(size_t at) { PutBe32(bytes_, at, uint32_t(bytes_.size() - at)); }
  std::vector<uint8_t> bytes_;
  std::vector<size_t> open_;
};

TEST(ZfsNvList, FindsTheVdevSizeAndShiftInsideTheTree) {
  NvWriter w;
  w.Uint64("version", 23);
  w.Uint64("txg", 99);
  w.BeginList("vdev_tree");
  w.Uint64("ashift", 12);
  w.Uint64("asize", 0x0FB80000);
  w.EndList();
  const std::vector<uint8_t> list = w.Done();
  const ZfsLabelList l = ReadZfsLabelList(list.data(), list.size());
  EXPECT_EQ(l.pairs, 5);
  EXPECT_EQ(l.version, 23u);
  EXPECT_EQ(l.txg, 99u);
  EXPECT_EQ(l.ashift, 12u);
  EXPECT_EQ(l.asize, 0x0FB80000u);
}

TEST(ZfsNvList, RefusesWhatIsNoListOrRunsPastItsRoom) {
  NvWriter deep;
  for (int i = 0; i < 20; ++i) deep.BeginList("n");
  deep.Uint64("asize", 7);
  for (int i = 0; i < 20; ++i) deep.EndList();
  NvWriter good;
  good.Uint64("asize", 5);
  good.Uint64("ashift", 9);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int pairs;
    uint64_t asize;
  } cases[] = {
      {"the header as one big-endian word",
       [] {
         std::vector<uint8_t> b = NvWriter().Done();
         b[0] = 0, b[1] = 0, b[2] = 1, b[3] = 1;
         return b;
       }(),
       0, 0},
      // Nested 16 deep at most: the pairs above still count.
      {"lists nested 20 deep", deep.Done(), 17, 0},
      {"a pair's size past the region",
       [&] {
         std::vector<uint8_t> b = good.Done();
         PutBe32(b, 12 + 36, 0x7FFFFFF0);  // the second pair's
         return b;
       }(),
       1, 5},
      {"a pair's size not a multiple of 4",
       [&] {
         std::vector<uint8_t> b = good.Done();
         PutBe32(b, 12, 0x21);
         return b;
       }(),
       0, 0},
      {"a name of 2000 bytes",
       [&] {
         std::vector<uint8_t> b = good.Done();
         PutBe32(b, 12 + 8, 2000);
         return b;
       }(),
       0, 0},
      {"cut inside its first pair",
       [&] {
         std::vector<uint8_t> b = good.Done();
         b.resize(20);
         return b;
       }(),
       0, 0},
  };
  for (const Case& c : cases) {
    const ZfsLabelList l = ReadZfsLabelList(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(l.pairs, c.pairs) << c.what;
    EXPECT_EQ(l.asize, c.asize) << c.what;
  }
}

// ---- uberblocks ----

TEST(ZfsUberblock, TheHighestTxgOrTheOneBackVersionNames) {
  struct Case {
    std::vector<int64_t> txgs;  // per slot, -1: no magic
    int back;
    int slot;
  } cases[] = {
      {{5, 9, 7}, 0, 1}, {{5, 9, 9}, 0, 1},   // equal groups: the lower slot
      {{5, 9, 8}, 1, 2}, {{5, 9, 7}, 1, 1},   // no slot at 9 - 1: the highest
      {{5, 9, 7}, 4, 0}, {{5, 9, 7}, 50, 1},  // back further than txg 0
      {{-1, -1}, 0, -1}, {{-1, 3, -1, 4}, 0, 3},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> slots(c.txgs.size() * kUberblockSlotBytes, 0);
    for (size_t i = 0; i < c.txgs.size(); ++i) {
      if (c.txgs[i] < 0) continue;
      Put64(slots.data() + i * kUberblockSlotBytes + kUbMagic, kUberblockMagic);
      Put64(slots.data() + i * kUberblockSlotBytes + kUbTxg, uint64_t(c.txgs[i]));
    }
    EXPECT_EQ(ChooseZfsUberblock(slots.data(), uint32_t(c.txgs.size()), c.back), c.slot)
        << "back " << c.back << " slot " << c.slot;
  }
}

// ---- block pointers ----

// A pointer of one copy: `asize` 512-byte units at `offset`.
std::vector<uint8_t> Pointer(uint32_t asize, uint64_t offset, uint32_t psize, uint32_t lsize,
                             uint8_t comp = kCompressOff, uint8_t cksum = kCksumFletcher4) {
  std::vector<uint8_t> p(kBlkPtrBytes, 0);
  Put64(p.data(), asize);
  Put64(p.data() + 8, offset);
  Put16(p.data() + kBpLsize, uint16_t(lsize / 512 - 1));
  Put16(p.data() + kBpPsize, uint16_t(psize / 512 - 1));
  p[kBpCompression] = comp;
  p[kBpChecksum] = cksum;
  p[kBpType] = kOtPlainFile;
  p[kBpLevel] = kBpLittleEndian;
  Put64(p.data() + kBpCksum, 1);
  return p;
}

TEST(ZfsBlockPointer, CheckedAsThePartSays) {
  struct Case {
    const char* what;
    std::vector<uint8_t> p;
    int result;
  } cases[] = {
      {"128 zero bytes: a hole", std::vector<uint8_t>(kBlkPtrBytes, 0), kBpHole},
      {"a valid pointer", Pointer(8, 100, 4096, 4096), kBpValid},
      {"size 0 with a checksum",
       [] {
         auto p = Pointer(0, 0, 512, 512);
         return p;
       }(),
       kBpInvalid},
      {"a second copy of another size",
       [] {
         auto p = Pointer(8, 100, 4096, 4096);
         Put64(p.data() + 16, 16);
         Put64(p.data() + 24, 300);
         return p;
       }(),
       kBpInvalid},
      {"a second copy of the same size",
       [] {
         auto p = Pointer(8, 100, 4096, 4096);
         Put64(p.data() + 16, 8);
         Put64(p.data() + 24, 300);
         return p;
       }(),
       kBpValid},
      {"an empty second copy with an offset",
       [] {
         auto p = Pointer(8, 100, 4096, 4096);
         Put64(p.data() + 24, 300);
         return p;
       }(),
       kBpInvalid},
      {"checksum type 0", Pointer(8, 100, 4096, 4096, kCompressOff, 0), kBpInvalid},
      {"checksum type 9", Pointer(8, 100, 4096, 4096, kCompressOff, 9), kBpInvalid},
      {"compression 0", Pointer(8, 100, 4096, 4096, 0), kBpInvalid},
      {"compression 16", Pointer(8, 100, 4096, 4096, 16), kBpInvalid},
      {"level 7",
       [] {
         auto p = Pointer(8, 100, 4096, 4096);
         p[kBpLevel] |= 7;
         return p;
       }(),
       kBpInvalid},
  };
  for (const Case& c : cases) EXPECT_EQ(ZFSBlkPtrCheck(c.p.data()), c.result) << c.what;
  // Held to the volume's size when that fits 32 bits.
  EXPECT_EQ(ZFSBlkPtrCheck(Pointer(8, 100, 4096, 4096).data(), 7, 512), kBpInvalid);
  EXPECT_EQ(ZFSBlkPtrCheck(Pointer(8, 100, 4096, 4096).data(), 8, 512), kBpValid);
  // A sector of holes is no pointer array.
  std::vector<uint8_t> array(4 * kBlkPtrBytes, 0);
  EXPECT_EQ(ZFSCheckBlkPtrs(array.data(), 4), 0);
  const auto one = Pointer(8, 100, 4096, 4096);
  std::memcpy(array.data() + kBlkPtrBytes, one.data(), kBlkPtrBytes);
  EXPECT_EQ(ZFSCheckBlkPtrs(array.data(), 4), 1);
}

TEST(ZfsBlockPointer, FieldsAndTheDvaConversions) {
  auto p = Pointer(0x20, 0x123456, 0x4000, 0x20000, kCompressLzjb);
  Put64(p.data() + 16, (uint64_t(1) << 32) | 0x20);
  Put64(p.data() + 24, kDvaGangBit | 0x777);
  const ZfsBlockPointer bp = ParseZfsBlockPointer(p.data());
  EXPECT_EQ(bp.lsize, 0x20000u);
  EXPECT_EQ(bp.psize, 0x4000u);
  EXPECT_EQ(bp.compression, kCompressLzjb);
  EXPECT_EQ(bp.dva[0].SizeSectors(512), 0x20u);
  EXPECT_EQ(bp.dva[0].SizeSectors(4096), 4u);
  EXPECT_EQ(bp.dva[0].OffsetSectors(4096), 0x123456u / 8);
  EXPECT_EQ(bp.dva[1].vdev, 1u);
  EXPECT_TRUE(bp.dva[1].gang);
  EXPECT_EQ(bp.dva[1].offset, 0x777u);
  EXPECT_FALSE(bp.dva[0].gang);
}

// ---- codecs ----

// LZJB as ZFS compresses (for round trips through the decoder).
size_t LzjbCompress(const uint8_t* src, size_t n, uint8_t* dst, size_t room) {
  constexpr int kMatchMax = (1 << kLzjbMatchBits) + (kLzjbMatchMin - 1);
  uint16_t lempel[1024] = {};
  size_t s = 0, d = 0, copymap = 0;
  int copymask = 1 << 7;
  while (s < n) {
    if ((copymask <<= 1) == (1 << 8)) {
      if (d + 1 + 2 * 8 >= room) return n;
      copymask = 1;
      copymap = d;
      dst[d++] = 0;
    }
    if (s + kMatchMax > n) {
      dst[d++] = src[s++];
      continue;
    }
    int hash = (src[s] << 16) + (src[s + 1] << 8) + src[s + 2];
    hash += hash >> 9;
    hash += hash >> 5;
    uint16_t& hp = lempel[hash & 1023];
    const size_t offset = (s - hp) & kLzjbOffsetMask;
    hp = uint16_t(s);
    if (offset && offset <= s && std::memcmp(src + s, src + s - offset, 3) == 0) {
      dst[copymap] |= uint8_t(copymask);
      int mlen = kLzjbMatchMin;
      while (mlen < kMatchMax && src[s + mlen] == src[s - offset + mlen]) ++mlen;
      dst[d++] = uint8_t(((mlen - kLzjbMatchMin) << 2) | (offset >> 8));
      dst[d++] = uint8_t(offset);
      s += size_t(mlen);
    } else {
      dst[d++] = src[s++];
    }
  }
  return d;
}

std::vector<uint8_t> Sample(size_t n, int kind) {
  std::vector<uint8_t> b(n);
  std::mt19937 r(uint32_t(n * 7 + kind));
  for (size_t i = 0; i < n; ++i) b[i] = kind == 0 ? uint8_t(r()) : kind == 1 ? uint8_t("zfs block "[i % 10]) : 0;
  if (kind == 2)
    for (size_t i = n / 3; i < n / 2; ++i) b[i] = uint8_t(i);
  return b;
}

TEST(ZfsCodecs, LzjbRoundTripsAndItsEdges) {
  for (size_t n : {1u, 3u, 512u, 4096u, 131072u})
    for (int kind = 0; kind < 3; ++kind) {
      const std::vector<uint8_t> in = Sample(n, kind);
      std::vector<uint8_t> packed(n + 64), out(n, 0xEE);
      const size_t c = LzjbCompress(in.data(), n, packed.data(), packed.size());
      if (c >= n) continue;  // not compressible: stored as it is
      ASSERT_EQ(LZJBDecompress(packed.data(), out.data(), c, n), 0) << n << " " << kind;
      EXPECT_EQ(out, in) << n << " " << kind;
    }
  struct Case {
    const char* what;
    std::vector<uint8_t> stream;
    size_t outBytes;
    int result;
    std::string out;
  } cases[] = {
      {"literals", {0x00, 'a', 'b', 'c'}, 3, 0, "abc"},
      // A copy of 3 + (0x04 >> 2) = 4 bytes from 2 back.
      {"a copy", {0x04, 'x', 'y', 0x04, 0x02}, 6, 0, "xyxyxy"},
      {"a copy running past the output's end", {0x04, 'x', 'y', 0x7C, 0x02}, 5, 0, "xyxyx"},
      {"a copy 0 bytes back", {0x04, 'x', 'y', 0x00, 0x00}, 5, -1, ""},
      {"a copy before the output", {0x02, 'x', 0x00, 0x05}, 4, -1, ""},
      {"input ending before the output is full", {0x00, 'a'}, 3, -1, ""},
      {"a copy item cut", {0x02, 'a', 0x00}, 4, -1, ""},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(c.outBytes, 0);
    EXPECT_EQ(LZJBDecompress(c.stream.data(), out.data(), c.stream.size(), c.outBytes), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(std::string(out.begin(), out.end()), c.out) << c.what;
    }
  }
}

TEST(ZfsCodecs, ZleGzipAndLz4) {
  // ZLE: a run of 3 literals, 70 zeros (a length byte of 70 + 64 - 1), 1 literal.
  const std::vector<uint8_t> zle = {2, 'a', 'b', 'c', 70 + 64 - 1, 0, 'z'};
  std::vector<uint8_t> out(74, 0xEE);
  ASSERT_EQ(ZleDecompress(zle.data(), out.data(), zle.size(), out.size(), kZleLevel), 0);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(out[72], 0);
  EXPECT_EQ(out[73], 'z');
  EXPECT_EQ(ZleDecompress(zle.data(), out.data(), zle.size(), 75, kZleLevel), -1) << "short of the output";
  const std::vector<uint8_t> zleOver = {9, 'a', 'b'};
  EXPECT_EQ(ZleDecompress(zleOver.data(), out.data(), zleOver.size(), out.size(), kZleLevel), -1) << "past the input";

  const std::vector<uint8_t> text = Sample(70000, 1);
  std::vector<uint8_t> gz(compressBound(text.size()));
  uLongf gzBytes = gz.size();
  ASSERT_EQ(compress2(gz.data(), &gzBytes, text.data(), text.size(), 6), Z_OK);
  std::vector<uint8_t> back(text.size());
  EXPECT_EQ(ZfsDecompress(kCompressGzip1 + 5, gz.data(), back.data(), gzBytes + 100, back.size()), 0);
  EXPECT_EQ(back, text);
  EXPECT_EQ(GzipDecompress(gz.data(), back.data(), gzBytes / 2, back.size()), -1) << "a cut stream";

  for (int kind = 0; kind < 3; ++kind) {
    const std::vector<uint8_t> in = Sample(131072, kind);
    std::vector<uint8_t> block(4 + size_t(LZ4_compressBound(int(in.size()))));
    const int n =
        LZ4_compress_default(reinterpret_cast<const char*>(in.data()), reinterpret_cast<char*>(block.data() + 4),
                             int(in.size()), int(block.size() - 4));
    ASSERT_GT(n, 0);
    std::vector<uint8_t> v(4);
    PutBe32(v, 0, uint32_t(n));
    std::memcpy(block.data(), v.data(), 4);
    std::vector<uint8_t> dec(in.size(), 0xEE);
    EXPECT_EQ(ZfsDecompress(kCompressLz4, block.data(), dec.data(), size_t(n) + 4, dec.size()), 0) << kind;
    EXPECT_EQ(dec, in) << kind;
    EXPECT_EQ(Lz4Decompress(block.data(), dec.data(), size_t(n) + 3, dec.size()), -1) << "length past psize - 4";
    PutBe32(v, 0, 0xFFFFFFFFu);
    std::memcpy(block.data(), v.data(), 4);
    EXPECT_EQ(Lz4Decompress(block.data(), dec.data(), size_t(n) + 4, dec.size()), -1) << "a huge length";
  }
  std::vector<uint8_t> junk = {0, 0, 0, 4, 0xF0, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Lz4Decompress(junk.data(), out.data(), junk.size(), out.size()), -1) << "a block the decoder refuses";
  EXPECT_EQ(ZfsDecompress(4, junk.data(), out.data(), junk.size(), out.size()), -2) << "'empty' is no codec";
  EXPECT_EQ(ZfsDecompress(kCompressOff, text.data(), back.data(), 100, 512), 0);
  EXPECT_EQ(back[99], text[99]);
  EXPECT_EQ(back[100], 0);
}

TEST(ZfsChecksums, FletcherByTheirDefinitions) {
  // 68 bytes: the four-lane sum's tail of one word too.
  std::vector<uint8_t> b(68);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 37 + 1);
  uint64_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
  for (size_t i = 0; i + 16 <= b.size(); i += 16) {
    a0 += testbytes::Get64(b, i);
    a1 += testbytes::Get64(b, i + 8);
    b0 += a0;
    b1 += a1;
  }
  EXPECT_EQ(Fletcher2(b.data(), b.size()), (ZfsChecksum{{a0, a1, b0, b1}}));
  // Fletcher-4 runs in four lanes: every length of words, big values too.
  std::vector<uint8_t> big(4096);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(0xF0 + i * 131);
  for (size_t n = 0; n <= big.size(); n += n < 64 ? 4 : 452) {
    uint64_t w[4] = {};
    for (size_t i = 0; i < n; i += 4) {
      w[0] += testbytes::Get32(big, i);
      w[1] += w[0];
      w[2] += w[1];
      w[3] += w[2];
    }
    EXPECT_EQ(Fletcher4(big.data(), n), (ZfsChecksum{{w[0], w[1], w[2], w[3]}})) << n;
  }
  EXPECT_NE(Fletcher4(big.data(), 64, true), Fletcher4(big.data(), 64));
}

// ---- dnodes ----

std::vector<uint8_t> Dnode(uint8_t type, uint8_t pointers, uint16_t bonusLength = 0) {
  std::vector<uint8_t> d(kDnodeBytes, 0);
  d[kDnType] = type;
  d[kDnIndBlkShift] = 14;
  d[kDnLevels] = 1;
  d[kDnBlkPtrCount] = pointers;
  d[kDnBonusType] = kOtZnode;
  Put16(d.data() + kDnDataBlkSectors, 1);
  Put16(d.data() + kDnBonusLength, bonusLength);
  Put64(d.data() + kDnBlkPtrs, 1);  // a first copy of one unit
  return d;
}

TEST(ZfsDnode, ShapeAndBonusPlace) {
  struct Case {
    const char* what;
    std::vector<uint8_t> d;
    bool valid;
  } cases[] = {
      {"a file", Dnode(kOtPlainFile, 1, 264), true},
      {"type 54", Dnode(54, 1), false},
      {"no pointers", Dnode(kOtPlainFile, 0), false},
      {"four pointers", Dnode(kOtPlainFile, 4), false},
      {"a bonus of 321 bytes", Dnode(kOtPlainFile, 1, 321), false},
      {"a bonus past the dnode's end with three pointers", Dnode(kOtPlainFile, 3, 100), false},
      {"indirect shift 18",
       [] {
         auto d = Dnode(kOtPlainFile, 1);
         d[kDnIndBlkShift] = 18;
         return d;
       }(),
       false},
      {"8 levels",
       [] {
         auto d = Dnode(kOtPlainFile, 1);
         d[kDnLevels] = 8;
         return d;
       }(),
       false},
      {"data blocks of 256 KiB",
       [] {
         auto d = Dnode(kOtPlainFile, 1);
         Put16(d.data() + kDnDataBlkSectors, 512);
         return d;
       }(),
       false},
      {"a first pointer without size",
       [] {
         auto d = Dnode(kOtPlainFile, 1);
         Put64(d.data() + kDnBlkPtrs, 0);
         return d;
       }(),
       false},
  };
  for (const Case& c : cases) EXPECT_EQ(ZFSIsValidDnode(c.d.data()), c.valid) << c.what;
  auto empty = Dnode(kOtPlainFile, 1, 264);
  Put64(empty.data() + kDnBlkPtrs, 0);
  EXPECT_TRUE(ZFSIsValidDnode(empty.data(), true)) << "an empty file's hole";
  for (auto [pointers, at] : {std::pair{1, 192}, {2, 320}, {3, 448}, {0, 192}, {5, 192}})
    EXPECT_EQ(ParseZfsDnode(Dnode(kOtPlainFile, uint8_t(pointers)).data()).BonusOffset(), uint32_t(at)) << pointers;
}

TEST(ZfsDnode, AttributesOfAZnodeAndOfSystemAttributes) {
  auto z = Dnode(kOtPlainFile, 1, 264);
  Put64(z.data() + 192 + kZnSize, 5000);
  Put64(z.data() + 192 + kZnParent, 34);
  Put64(z.data() + 192 + kZnMtime, 1500000000);
  Put64(z.data() + 192 + kZnCtime, 1600000000);
  Put64(z.data() + 192 + kZnMode, 0100644);
  ZfsFileAttributes a = ReadZfsFileAttributes(z.data(), false);
  EXPECT_EQ(a.size, 5000u);
  EXPECT_EQ(a.parent, 34u);
  EXPECT_EQ(a.mtime, 1500000000u);
  EXPECT_EQ(a.ctime, 1600000000u);
  EXPECT_EQ(a.mode, 0100644u);
  // System attributes at the Part's offsets: 208, 240, 272, 288.
  auto s = Dnode(kOtPlainFile, 1, 112);
  s[kDnBonusType] = kOtSa;
  Put64(s.data() + 208, 777);
  Put64(s.data() + 240, 4);
  Put64(s.data() + 272, 1400000000);
  Put64(s.data() + 288, 1400000001);
  a = ReadZfsFileAttributes(s.data(), true);
  EXPECT_EQ(a.size, 777u);
  EXPECT_EQ(a.parent, 4u);
  EXPECT_EQ(a.mtime, 1400000000u);
  EXPECT_EQ(a.ctime, 1400000001u);
  // With three pointers the bonus (64 bytes at 448) holds only the first
  // fields: the rest stay 0.
  auto three = Dnode(kOtPlainFile, 3, 64);
  Put64(three.data() + 448 + kZnMtime, 123);
  a = ReadZfsFileAttributes(three.data(), false);
  EXPECT_EQ(a.mtime, 123u);
  EXPECT_EQ(a.size, 0u);
}

// ---- ZAP ----

std::vector<uint8_t> MicroZap(const std::vector<std::pair<std::string, uint64_t>>& entries, size_t bytes = 512) {
  std::vector<uint8_t> b(bytes, 0);
  Put64(b.data(), kZbtMicro);
  size_t at = kMzHeaderBytes;
  for (const auto& [name, value] : entries) {
    Put64(b.data() + at, value);
    std::memcpy(b.data() + at + kMzName, name.data(), std::min(name.size(), kMzNameBytes));
    at += kMzEntryBytes;
  }
  return b;
}

TEST(ZfsZap, MicroEntriesAndLookups) {
  auto b = MicroZap({{"ROOT", 34}, {"", 0}, {"VERSION", 4}, {"x", 9}});
  b[kMzHeaderBytes + 3 * kMzEntryBytes + kMzName + 5] = 'q';  // a byte after the NUL: damaged
  int damaged = 0;
  std::vector<std::string> names;
  ForEachMicroZapEntry(
      b.data(), b.size(), kMzHeaderBytes,
      [](const ZapEntry& e, void* c) {
        static_cast<std::vector<std::string>*>(c)->emplace_back(reinterpret_cast<const char*>(e.name), e.nameBytes);
        return true;
      },
      &names, &damaged);
  EXPECT_EQ(names, (std::vector<std::string>{"ROOT", "VERSION"}));
  EXPECT_EQ(damaged, 1);
  uint64_t v = 0;
  EXPECT_TRUE(LookupMicroZap(b.data(), b.size(), "VERSION", &v)) << "past an emptied entry";
  EXPECT_EQ(v, 4u);
  EXPECT_FALSE(LookupMicroZap(b.data(), b.size(), "ROO", &v));
  // The object directory: looked up in a micro ZAP, object 2 in a fat one.
  EXPECT_EQ(ZfsRootDatasetDir(MicroZap({{"config", 5}, {"root_dataset", 2}}).data(), 512), 2u);
  EXPECT_EQ(ZfsRootDatasetDir(MicroZap({{"config", 5}}).data(), 512), 0u);
  std::vector<uint8_t> fat(512, 0);
  Put64(fat.data(), kZbtHeader);
  EXPECT_EQ(ZfsRootDatasetDir(fat.data(), fat.size()), kFatObjectDirRootDataset);
  Put64(fat.data(), kZbtLeaf);
  EXPECT_EQ(ZfsRootDatasetDir(fat.data(), fat.size()), 0u);
}

// A fat-ZAP leaf of 16 KiB with entries placed by the test.
class Leaf {
 public:
  static constexpr size_t kBytes = 16384, kHash = kBytes >> 5, kChunks = (kBytes - 2 * kHash) / 24 - 2;
  Leaf() : b_(kBytes, 0) {
    Put64(b_.data(), kZbtLeaf);
    for (size_t i = 0; i < kHash; ++i) Put16(b_.data() + kLeafHeaderBytes + 2 * i, kChainEnd);
  }
  uint8_t* Chunk(size_t i) { return b_.data() + kLeafHeaderBytes + 2 * kHash + 24 * i; }
  // An entry in chunk `at` (name chunks and value chunk after it), chained
  // in front of slot `slot`'s chain.
  size_t Add(size_t slot, const std::string& name, uint64_t value) {
    const size_t at = next_;
    const size_t nameChunks = (name.size() + 1 + 20) / 21;
    uint8_t* e = Chunk(at);
    e[0] = kChunkEntry;
    e[kLeValueIntLen] = 8;
    Put16(e + kLeNext, testbytes::Get16(b_, kLeafHeaderBytes + 2 * slot));
    Put16(e + kLeNameChunk, uint16_t(at + 1));
    Put16(e + kLeNameLength, uint16_t(name.size() + 1));
    Put16(e + kLeValueChunk, uint16_t(at + 1 + nameChunks));
    const std::string z = name + '\0';
    for (size_t k = 0; k < nameChunks; ++k) {
      uint8_t* a = Chunk(at + 1 + k);
      a[0] = kChunkArray;
      std::memcpy(a + kLaData, z.data() + 21 * k, std::min<size_t>(21, z.size() - 21 * k));
      Put16(a + kLaNext, k + 1 < nameChunks ? uint16_t(at + 2 + k) : kChainEnd);
    }
    uint8_t* val = Chunk(at + 1 + nameChunks);
    val[0] = kChunkArray;
    std::vector<uint8_t> be(8);
    PutBe64(be, 0, value);
    std::memcpy(val + kLaData, be.data(), 8);
    Put16(val + kLaNext, kChainEnd);
    Put16(b_.data() + kLeafHeaderBytes + 2 * slot, uint16_t(at));
    next_ = at + 2 + nameChunks;
    return at;
  }
  std::vector<uint8_t>& Bytes() { return b_; }

 private:
  std::vector<uint8_t> b_;
  size_t next_ = 0;
};

std::vector<std::pair<std::string, uint64_t>> LeafEntries(const std::vector<uint8_t>& b) {
  std::vector<std::pair<std::string, uint64_t>> out;
  ForEachFatZapLeafEntry(
      b.data(), b.size(),
      [](const ZapEntry& e, void* c) {
        static_cast<std::vector<std::pair<std::string, uint64_t>>*>(c)->emplace_back(
            std::string(reinterpret_cast<const char*>(e.name), e.nameBytes), e.value);
        return true;
      },
      &out);
  return out;
}

TEST(ZfsZap, FatLeafChainsAndDamage) {
  Leaf l;
  l.Add(3, "first", 0x4000000000000010ull);
  l.Add(3, "behind the first", 17);  // chained in front: read first
  l.Add(9, std::string(60, 'n'), 18);
  using Entries = std::vector<std::pair<std::string, uint64_t>>;
  EXPECT_EQ(LeafEntries(l.Bytes()),
            (Entries{{"behind the first", 17}, {"first", 0x4000000000000010ull}, {std::string(60, 'n'), 18}}));
  struct Case {
    const char* what;
    std::function<void(Leaf&)> harm;
    size_t entries;
  } cases[] = {
      {"a chain's next past the chunks", [](Leaf& x) { Put16(x.Chunk(0) + kLeNext, uint16_t(Leaf::kChunks)); }, 3},
      {"a chain looping on itself", [](Leaf& x) { Put16(x.Chunk(0) + kLeNext, 0); }, 3},
      {"a slot naming an array chunk", [](Leaf& x) { Put16(x.Bytes().data() + kLeafHeaderBytes + 2 * 9, 1); }, 2},
      {"a name of 300 bytes", [](Leaf& x) { Put16(x.Chunk(0) + kLeNameLength, 301); }, 2},
      {"a name chunk past the chunks", [](Leaf& x) { Put16(x.Chunk(0) + kLeNameChunk, 0xFFF0); }, 2},
      {"a value of 4-byte integers", [](Leaf& x) { x.Chunk(0)[kLeValueIntLen] = 4; }, 2},
  };
  for (const Case& c : cases) {
    Leaf x;
    x.Add(3, "first", 1);
    x.Add(3, "second", 2);
    x.Add(9, "third", 3);
    // Chunk 0 is "first"'s entry, behind "second".
    c.harm(x);
    EXPECT_EQ(LeafEntries(x.Bytes()).size(), c.entries) << c.what;
  }
  std::vector<uint8_t> notLeaf = l.Bytes();
  Put64(notLeaf.data(), kZbtHeader);
  EXPECT_TRUE(LeafEntries(notLeaf).empty());
}

}  // namespace
