#include "foundation/ByteOrder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace {

// ---------------------------------------------------------------- integers

struct ReadCase {
  std::vector<uint8_t> bytes;
  int n;
  uint64_t expected;
};

TEST(ByteOrder, GetLittleEndian) {
  const ReadCase cases[] = {
      {{0x12}, 1, 0x12},
      {{0x34, 0x12}, 2, 0x1234},
      {{0x56, 0x34, 0x12}, 3, 0x123456},
      {{0x78, 0x56, 0x34, 0x12}, 4, 0x12345678},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 4, 0xFFFFFFFF},
      {{0x78, 0x56, 0x34, 0x12, 0x99}, 5, 0},  // wider than the field
      {{0x12}, 0, 0},
      {{0x12}, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(GetLittleEndian(c.bytes.data(), c.n), c.expected);
  }
}

TEST(ByteOrder, GetBigEndian) {
  const ReadCase cases[] = {
      {{0x12}, 1, 0x12},
      {{0x12, 0x34}, 2, 0x1234},
      {{0x12, 0x34, 0x56}, 3, 0x123456},
      {{0x12, 0x34, 0x56, 0x78}, 4, 0x12345678},
      {{0x12, 0x34, 0x56, 0x78, 0x9A}, 5, 0},
      {{0x12}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(GetBigEndian(c.bytes.data(), c.n), c.expected);
  }
  const uint8_t two[] = {0xEF, 0x53};
  EXPECT_EQ(GetBigEndian16(two), 0xEF53);
}

TEST(ByteOrder, GetBigEndian64) {
  const std::vector<uint8_t> nine = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  const ReadCase cases[] = {
      {nine, 1, 0x01},
      {nine, 5, 0x0102030405},
      {nine, 8, 0x0102030405060708},
      {nine, 9, 0},
      {nine, 0, 0},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8, ~uint64_t(0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(GetBigEndian64(c.bytes.data(), c.n), c.expected);
  }
}

TEST(ByteOrder, GetSignedLittleEndian) {
  struct Case {
    std::vector<uint8_t> bytes;
    int n;
    int64_t expected;
  };
  const Case cases[] = {
      {{0xFF, 0xFF}, 2, -1},
      {{0x00, 0x80}, 2, -32768},
      {{0xFF, 0x7F}, 2, 32767},
      {{0x80}, 1, -128},
      {{0x7F}, 1, 127},
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}, 7, -(int64_t(1) << 55)},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8, -1},
      {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}, 8, int64_t(0x8000000000000001ull)},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 9, 0},  // run lists can claim 15
      {{0xFF}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(GetSignedLittleEndian(c.bytes.data(), c.n), c.expected);
  }
}

TEST(ByteOrder, PutLittleEndianRoundTripsAndRefusesWideCounts) {
  struct Case {
    uint64_t value;
    int n;
    bool wide;
    std::vector<uint8_t> expected;  // of a buffer initially all 0xAA
  };
  const Case cases[] = {
      {0x12345678, 4, false, {0x78, 0x56, 0x34, 0x12, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {0x12345678, 2, false, {0x78, 0x56, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {0x12345678, 5, false, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {0x12345678, 0, false, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {0x0102030405060708, 8, true, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xAA}},
      {0x0102030405060708, 3, true, {0x08, 0x07, 0x06, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {0x0102030405060708, 9, true, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
      {0x0102030405060708, -2, true, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<uint8_t> buffer(9, 0xAA);
    if (c.wide) {
      PutLittleEndian64(buffer.data(), c.value, c.n);
    } else {
      PutLittleEndian(buffer.data(), uint32_t(c.value), c.n);
    }
    EXPECT_EQ(buffer, c.expected);
  }
  // Unaligned round trip through an odd offset.
  uint8_t raw[16] = {};
  PutLittleEndian64(raw + 3, 0xFEDCBA9876543210ull, 8);
  EXPECT_EQ(uint64_t(GetSignedLittleEndian(raw + 3, 8)), 0xFEDCBA9876543210ull);
  PutLittleEndian(raw + 1, 0xCAFEBABE, 4);
  EXPECT_EQ(GetLittleEndian(raw + 1, 4), 0xCAFEBABEu);
}

TEST(ByteOrder, Swaps) {
  static_assert(Swap16(0x1234) == 0x3412);
  static_assert(Swap32(0x12345678) == 0x78563412);
  static_assert(Swap64(0x0102030405060708) == 0x0807060504030201);

  uint8_t raw[17];
  for (int i = 0; i < 17; ++i) raw[i] = uint8_t(i);
  SwapBytes16InPlace(raw + 1);
  EXPECT_EQ(raw[1], 2);
  EXPECT_EQ(raw[2], 1);
  EXPECT_EQ(SwapBytes32InPlace(raw + 3), GetBigEndian(raw + 3, 4));
  EXPECT_EQ(GetLittleEndian(raw + 3, 4), 0x03040506u);
  EXPECT_EQ(SwapBytes64InPlace(raw + 7), GetBigEndian64(raw + 7, 8));
  EXPECT_EQ(GetBigEndian64(raw + 7, 8), 0x0E0D0C0B0A090807ull);

  struct Case {
    size_t length;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {4, {4, 3, 2, 1, 5, 6, 7, 8, 9, 10}},
      {10, {4, 3, 2, 1, 8, 7, 6, 5, 9, 10}},  // the partial word stays
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> buffer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    SwapArray32InPlace(buffer.data(), c.length);
    EXPECT_EQ(buffer, c.expected);
  }
}

TEST(ByteOrder, CompareUInt64LE) {
  struct Case {
    uint64_t a, b;
    int expected;
  };
  const Case cases[] = {
      {0, 0, 0},
      {1, 2, -1},
      {2, 1, 1},
      {0x0100000000000000, 0x00FFFFFFFFFFFFFF, 1},  // the high byte decides
      {0x00000000000000FF, 0x0000000000000100, -1},
      {~uint64_t(0), ~uint64_t(0), 0},
  };
  for (const auto& c : cases) {
    uint8_t a[9], b[9];
    PutLittleEndian64(a + 1, c.a, 8);
    PutLittleEndian64(b + 1, c.b, 8);
    EXPECT_EQ(CompareUInt64LE(a + 1, b + 1), c.expected) << c.a << " vs " << c.b;
  }
}

// ---------------------------------------------------------------- hex text

TEST(ByteOrder, HexDigitsAndParse) {
  const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10},
                                         {'F', 15}, {'g', -1}, {'G', -1}, {' ', -1}, {'\xFF', -1}};
  for (auto [c, v] : digits) EXPECT_EQ(HexDigitValue(c), v) << int(c);

  struct Case {
    const char* text;
    int length;
    uint64_t plain;
    bool ok;
    uint64_t checked;
  };
  const Case cases[] = {
      {"1F", 2, 31, true, 31},
      {"1f", 2, 31, true, 31},
      {"", 0, 0, true, 0},
      {"1F", 1, 1, true, 1},
      {"FFFFFFFFFFFFFFFF", 16, ~uint64_t(0), true, ~uint64_t(0)},
      {"10000000000000000", 17, 0, false, 0},  // 17 digits wrap in the plain form
      {"1G", 2, 15, false, 0},                 // 1 * 16 + (-1)
      {"G", 1, ~uint64_t(0), false, 0},        // -1
      {"1F", -1, 0, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseHex(c.text, c.length), c.plain);
    uint64_t out = 0xDEAD;
    EXPECT_EQ(ParseHexChecked(c.text, c.length, &out), c.ok);
    EXPECT_EQ(out, c.ok ? c.checked : 0xDEAD);
  }
}

TEST(ByteOrder, HexToBytes) {
  struct Case {
    const char* text;
    size_t outSize;
    bool ok;
    std::vector<uint8_t> checked;  // the whole 4-byte output, initially 0xAA
  };
  const Case cases[] = {
      {"00ff7A", 4, true, {0x00, 0xFF, 0x7A, 0xAA}},
      {"", 4, true, {0xAA, 0xAA, 0xAA, 0xAA}},
      {"0102030405", 4, false, {0xAA, 0xAA, 0xAA, 0xAA}},  // output too small
      {"012", 4, false, {0xAA, 0xAA, 0xAA, 0xAA}},         // odd length
      {"01x2", 4, false, {0xAA, 0xAA, 0xAA, 0xAA}},        // bad digit
      {"01020304", 4, true, {0x01, 0x02, 0x03, 0x04}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<uint8_t> out(4, 0xAA);
    EXPECT_EQ(HexToBytesChecked(c.text, std::strlen(c.text), out.data(), c.outSize), c.ok);
    EXPECT_EQ(out, c.checked);
  }
  // The plain form: length / 2 bytes, a bad digit counting as -1.
  uint8_t out[3] = {0xAA, 0xAA, 0xAA};
  HexToBytes("1FG0a", out, 5);
  EXPECT_EQ(out[0], 0x1F);
  EXPECT_EQ(out[1], uint8_t(-16));
  EXPECT_EQ(out[2], 0xAA);
}

// ---------------------------------------------------------------- counted names

TEST(ByteOrder, MakeCountedName) {
  struct Case {
    WString text;
    uint8_t count;
    uint8_t flag;
  };
  const Case cases[] = {
      {u"", 0, 0},
      {u"abc", 3, 0},
      {WString(300, u'x'), 255, 0},
      {u"caf\u00E9", 4, 0},        // below 256 still fits 8 bits
      {u"ab\u0100c", 4, 1},        // one wide character makes all wide
      {WString(255, u'a') + u"\u4E2D", 255, 0},  // past the kept 255: ignored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    uint8_t fixed[kCountedNameMaxBytes];
    ASSERT_EQ(MakeCountedName(c.text, fixed), fixed);
    EXPECT_EQ(fixed[0], c.count);
    EXPECT_EQ(fixed[1], c.flag);
    for (int i = 0; i < c.count; ++i) {
      char16_t ch = c.flag ? char16_t(GetLittleEndian(fixed + 2 + 2 * i, 2)) : fixed[2 + i];
      ASSERT_EQ(ch, c.text[i]) << i;
    }
    std::unique_ptr<uint8_t[]> heap(MakeCountedName(c.text, nullptr));
    ASSERT_TRUE(heap);
    EXPECT_EQ(std::memcmp(heap.get(), fixed, 2 + size_t(c.count) * (c.flag ? 2 : 1)), 0);
  }
  uint8_t fromPointer[kCountedNameMaxBytes];
  MakeCountedName(u"Zx", fromPointer);
  EXPECT_EQ(fromPointer[0], 2);
  EXPECT_EQ(fromPointer[2], 'Z');
  MakeCountedName(static_cast<const char16_t*>(nullptr), fromPointer);
  EXPECT_EQ(fromPointer[0], 0);
}

TEST(ByteOrder, CompareCountedNames) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool exact;
    int expected;
  };
  const Case cases[] = {
      {u"abc", u"ABC", false, 0},
      {u"abc", u"ABC", true, 1},  // 'a' > 'A' at position 1
      {u"ABC", u"abc", true, -1},
      {u"abc", u"abd", false, -3},
      {u"abd", u"abc", false, 3},
      {u"ab", u"abc", false, -3},  // prefix: the shorter count plus one
      {u"abc", u"ab", false, 3},
      {u"", u"a", false, -1},
      {u"", u"", true, 0},
      {u"ab\u0100", u"AB\u0100", false, 0},  // 16-bit against 16-bit
      {u"AB\u0100", u"ab", false, 3},
      {u"xA", u"xa\u0100", true, -2},  // 8-bit against 16-bit
      {u"[", u"a", false, -1},          // '[' stays below 'a' unfolded
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.a) + " / " + ToUtf8(c.b));
    uint8_t a[kCountedNameMaxBytes], b[kCountedNameMaxBytes];
    MakeCountedName(c.a, a);
    MakeCountedName(c.b, b);
    EXPECT_EQ(CompareCountedNames(a, b, c.exact), c.expected);
  }
}

TEST(ByteOrder, DupCountedBuffer) {
  struct Case {
    int32_t length;
    int32_t maxLength;
    bool copies;
  };
  const Case cases[] = {
      {5, 100, true}, {5, 5, true}, {6, 5, false}, {0, 100, false}, {-1, 100, false}, {5, 0, false},
  };
  uint8_t block[1 + 4 + 6] = {};
  for (int i = 0; i < 6; ++i) block[5 + i] = uint8_t(0x41 + i);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    PutLittleEndian(block + 1, uint32_t(c.length), 4);  // unaligned on purpose
    uint8_t* out = block;  // any non-null value, to see it overwritten
    std::unique_ptr<uint8_t[]> copy(DupCountedBuffer(&out, block + 1, c.maxLength));
    EXPECT_EQ(out, copy.get());
    ASSERT_EQ(copy != nullptr, c.copies);
    if (copy) {
      EXPECT_EQ(std::memcmp(copy.get(), block + 1, 4 + size_t(c.length)), 0);
    }
  }
  EXPECT_EQ(DupCountedBuffer(nullptr, nullptr, 10), nullptr);
}

// ---------------------------------------------------------------- real images

// Runs the fixture script for one kind of image; returns its exit code (77:
// a tool is missing) and sets the folder the image and report are in.
int MakeImage(const std::string& kind, std::string* folder) {
  *folder = FixtureCache();
  return RunFixtureScript("make_fs_images.sh", *folder, kind);
}

std::vector<uint8_t> ReadBytes(const std::string& path, size_t offset, size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(count);
  in.seekg(std::streamoff(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(count));
  if (size_t(in.gcount()) != count) bytes.clear();
  return bytes;
}

// "key: value", "key = value" and "KEY=value" lines, split at the first ':'
// or '=', both sides trimmed; the first line with a key wins.
std::map<std::string, std::string> ReadReport(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::ifstream in(path);
  std::string line;
  auto trim = [](std::string s) {
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  };
  while (std::getline(in, line)) {
    size_t at = line.find_first_of(":=");
    if (at == std::string::npos) continue;
    fields.emplace(trim(line.substr(0, at)), trim(line.substr(at + 1)));
  }
  return fields;
}

uint64_t Number(const std::map<std::string, std::string>& fields, const std::string& key) {
  auto it = fields.find(key);
  if (it == fields.end()) {
    ADD_FAILURE() << "report has no " << key;
    return 0;
  }
  const std::string& text = it->second;
  if (text.rfind("0x", 0) == 0) {
    uint64_t v = 0;
    EXPECT_TRUE(ParseHexChecked(text.c_str() + 2, int(text.size() - 2), &v)) << key << ": " << text;
    return v;
  }
  return std::strtoull(text.c_str(), nullptr, 10);
}

// UUID text with or without dashes as its bytes, via the checked hex reader.
std::vector<uint8_t> UuidBytes(std::string text) {
  std::erase(text, '-');
  std::vector<uint8_t> bytes(16);
  EXPECT_TRUE(HexToBytesChecked(text.data(), text.size(), bytes.data(), bytes.size())) << text;
  return bytes;
}

TEST(ByteOrderImages, NtfsBootSectorMatchesNtfsinfo) {
  std::string folder;
  int rc = MakeImage("ntfs", &folder);
  if (rc == 77) GTEST_SKIP() << "NTFS tools not installed";
  ASSERT_EQ(rc, 0);
  auto boot = ReadBytes(folder + "/ntfs.img", 0, 512);
  ASSERT_EQ(boot.size(), 512u);
  auto report = ReadReport(folder + "/ntfs.txt");

  ASSERT_EQ(std::memcmp(boot.data() + 3, "NTFS    ", 8), 0);
  uint32_t bytesPerSector = GetLittleEndian(&boot[0x0B], 2);
  uint32_t sectorsPerCluster = GetLittleEndian(&boot[0x0D], 1);
  uint64_t totalSectors = uint64_t(GetSignedLittleEndian(&boot[0x28], 8));
  uint64_t mftLcn = uint64_t(GetSignedLittleEndian(&boot[0x30], 8));
  uint64_t mirrorLcn = uint64_t(GetSignedLittleEndian(&boot[0x38], 8));
  uint64_t serial = uint64_t(GetSignedLittleEndian(&boot[0x48], 8));

  EXPECT_EQ(bytesPerSector, Number(report, "Sector Size"));
  EXPECT_EQ(bytesPerSector * sectorsPerCluster, Number(report, "Cluster Size"));
  EXPECT_EQ(totalSectors / sectorsPerCluster, Number(report, "Volume Size in Clusters"));
  EXPECT_EQ(mftLcn, Number(report, "LCN of Data Attribute for FILE_MFT"));
  EXPECT_EQ(mirrorLcn, Number(report, "LCN of Data Attribute for File_MFTMirr"));
  // blkid shows the serial as 16 hex digits of the little-endian value.
  const std::string& uuid = report["UUID"];
  uint64_t reported = 0;
  ASSERT_TRUE(ParseHexChecked(uuid.data(), int(uuid.size()), &reported)) << uuid;
  EXPECT_EQ(serial, reported);
  EXPECT_EQ(Swap64(serial), GetBigEndian64(&boot[0x48], 8));
}

TEST(ByteOrderImages, Ext4SuperblockMatchesDumpe2fs) {
  std::string folder;
  int rc = MakeImage("ext4", &folder);
  if (rc == 77) GTEST_SKIP() << "ext4 tools not installed";
  ASSERT_EQ(rc, 0);
  auto sb = ReadBytes(folder + "/ext4.img", 1024, 1024);
  ASSERT_EQ(sb.size(), 1024u);
  auto report = ReadReport(folder + "/ext4.txt");

  uint32_t magic = GetLittleEndian(&sb[0x38], 2);
  EXPECT_EQ(magic, 0xEF53u);
  EXPECT_EQ(magic, Number(report, "Filesystem magic number"));
  EXPECT_EQ(GetLittleEndian(&sb[0x00], 4), Number(report, "Inode count"));
  uint64_t blocks = GetLittleEndian(&sb[0x04], 4);
  if (GetLittleEndian(&sb[0x60], 4) & 0x80)  // 64-bit feature: high half at 0x150
    blocks |= uint64_t(GetLittleEndian(&sb[0x150], 4)) << 32;
  EXPECT_EQ(blocks, Number(report, "Block count"));
  EXPECT_EQ(1024u << GetLittleEndian(&sb[0x18], 4), Number(report, "Block size"));
  EXPECT_EQ(std::vector<uint8_t>(&sb[0x68], &sb[0x78]), UuidBytes(report["Filesystem UUID"]));
  std::string name(reinterpret_cast<const char*>(&sb[0x78]), 16);
  name.resize(std::strlen(name.c_str()));
  EXPECT_EQ(name, report["Filesystem volume name"]);
  EXPECT_EQ(name, "delvora-ext4");
}

TEST(ByteOrderImages, XfsSuperblockMatchesXfsDb) {
  std::string folder;
  int rc = MakeImage("xfs", &folder);
  if (rc == 77) GTEST_SKIP() << "XFS tools not installed";
  ASSERT_EQ(rc, 0);
  auto sb = ReadBytes(folder + "/xfs.img", 0, 512);
  ASSERT_EQ(sb.size(), 512u);
  auto report = ReadReport(folder + "/xfs.txt");

  EXPECT_EQ(GetBigEndian(&sb[0], 4), 0x58465342u);  // "XFSB"
  EXPECT_EQ(GetBigEndian(&sb[0], 4), Number(report, "magicnum"));
  EXPECT_EQ(GetBigEndian(&sb[4], 4), Number(report, "blocksize"));
  EXPECT_EQ(GetBigEndian64(&sb[8], 8), Number(report, "dblocks"));
  EXPECT_EQ(std::vector<uint8_t>(&sb[32], &sb[48]), UuidBytes(report["uuid"]));
  EXPECT_EQ(GetBigEndian64(&sb[56], 8), Number(report, "rootino"));
  EXPECT_EQ(GetBigEndian(&sb[84], 4), Number(report, "agblocks"));
  EXPECT_EQ(GetBigEndian(&sb[88], 4), Number(report, "agcount"));
  // The big-endian readers agree with a swap of the little-endian ones.
  EXPECT_EQ(GetBigEndian(&sb[4], 4), Swap32(GetLittleEndian(&sb[4], 4)));
}

}  // namespace
