#include "foundation/Md5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <sstream>

#include "tests/support/TestUtil.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"

namespace {

std::string Hex(const uint8_t* digest) { return HexText(digest, kMd5DigestSize); }

std::string DigestOf(const std::string& data) {
  uint8_t d[kMd5DigestSize];
  Md5Of(data.data(), data.size(), d);
  return Hex(d);
}

std::string RandomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(rng() & 0xff);
  return s;
}

bool HaveMd5sum() { return system("md5sum --version >/dev/null 2>&1") == 0; }

// The hexadecimal digest md5sum prints for a file.
std::string Md5sum(const std::string& path) { return RunCommand("md5sum '" + path + "'").substr(0, 32); }

// md5sum of each piece of `bytes` bytes of a file, in order.
std::vector<std::string> Md5sumOfPieces(const std::string& file, size_t bytes) {
  const TempFolder pieces("md5pieces");
  std::string out = RunCommand("cd '" + pieces.Path() + "' && split -b " + std::to_string(bytes) + " -d -a 6 '" + file +
                               "' p_ && md5sum p_*");
  std::vector<std::string> sums;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line))
    if (line.size() >= 32) sums.push_back(line.substr(0, 32));
  return sums;
}

TEST(Md5, Rfc1321TestSuite) {
  const struct {
    std::string text, digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DigestOf(c.text), c.digest) << '"' << c.text << '"';
    // Every split into two updates, also an empty one, gives the same digest.
    for (size_t cut = 0; cut <= c.text.size(); ++cut) {
      Md5 md5;
      md5.Update(c.text.data(), cut);
      md5.Update(nullptr, 0);
      md5.Update(c.text.data() + cut, c.text.size() - cut);
      EXPECT_EQ(md5.byteCount(), c.text.size());
      uint8_t d[kMd5DigestSize];
      md5.Final(d);
      EXPECT_EQ(Hex(d), c.digest) << "cut at " << cut;
      EXPECT_EQ(md5.byteCount(), 0u);  // Final restarts the state
    }
  }
}

TEST(Md5, PiecesAndMisalignedBuffersGiveTheOneShotDigest) {
  const std::string data = RandomBytes(5000, 7);
  const std::string whole = DigestOf(data);
  std::mt19937 rng(3);
  for (int round = 0; round < 50; ++round) {
    // Copy to an odd offset so whole blocks are read from unaligned memory.
    size_t shift = size_t(round % 8);
    std::string shifted(shift, 'x');
    shifted += data;
    const char* p = shifted.data() + shift;
    Md5 md5;
    size_t at = 0;
    while (at < data.size()) {
      size_t n = std::min<size_t>(data.size() - at, rng() % 300);
      md5.Update(p + at, n);
      at += n;
    }
    uint8_t d[kMd5DigestSize];
    md5.Final(d);
    ASSERT_EQ(Hex(d), whole) << "round " << round;
  }
}

TEST(Md5, HexEncode) {
  const uint8_t bytes[] = {0x00, 0xab, 0x7f, 0x80, 0xff};
  char16_t wide[11] = u"??????????";
  EXPECT_EQ(HexEncode(wide, bytes, 2), 0);
  EXPECT_EQ(WString(wide, 10), u"00ab??????");  // no terminator written
  char narrow[11] = {};
  HexEncode(narrow, bytes, 5);
  EXPECT_EQ(std::string(narrow), "00ab7f80ff");
  EXPECT_EQ(HexText(bytes, 0), "");
  EXPECT_EQ(HexEncode(static_cast<char*>(nullptr), bytes, 5), 0);
}

class Md5FileTest : public testing::Test {
 protected:
  TempFolder temp_{"md5"};
  void SetUp() override {
    if (!HaveMd5sum()) GTEST_SKIP() << "md5sum is not installed";
    dir = temp_.Path();
  }
  GlobalObjectsScope scope;
  std::string dir;
};

TEST_F(Md5FileTest, AgreesWithMd5sumAcrossBlockAndPaddingBoundaries) {
  const size_t sizes[] = {0,    1,    55,   56,   57,   63,   64,   65,   119,     120,         127,
                          128,  129,  1000, 4095, 4096, 4097, 65535, 65536, 1048575, 1048576, 1048577,
                          3 * 1048576 + 17};
  for (size_t size : sizes) {
    std::string data = RandomBytes(size, size + 1);
    std::string path = dir + "/f" + std::to_string(size);
    WriteFileText(path, data);
    EXPECT_EQ(DigestOf(data), Md5sum(path)) << size << " bytes";
  }
}

TEST_F(Md5FileTest, RealBinaryThroughCHashFile) {
  const std::string bin = "/bin/ls";
  std::string data = ReadFileText(bin);
  ASSERT_FALSE(data.empty());
  std::string copy = dir + "/ls.copy";
  ASSERT_EQ(system(("cp '" + bin + "' '" + copy + "'").c_str()), 0);

  CHashFile h;
  h.SetFile(FromUtf8(copy));
  EXPECT_EQ(h.path(), FromUtf8(copy));
  EXPECT_EQ(h.existingSize(), int64_t(data.size()));
  EXPECT_EQ(h.GetExistingSize(u""), int64_t(data.size()));
  h.InitDigest();
  for (size_t at = 0; at < data.size(); at += 4093) h.Update(data.data() + at, std::min<size_t>(4093, data.size() - at));
  h.Final();
  EXPECT_EQ(Hex(h.digest()), Md5sum(bin));
  EXPECT_EQ(h.MatchesExistingStream(u"", int64_t(data.size())), 0);
}

TEST_F(Md5FileTest, LargeSparseFile) {
#if defined(__SANITIZE_ADDRESS__)
  const int64_t size = int64_t(64) << 20;
#else
  const int64_t size = int64_t(256) << 20;
#endif
  std::string path = dir + "/sparse.bin";
  ASSERT_EQ(system(("truncate -s " + std::to_string(size) + " '" + path + "'").c_str()), 0);
  // Some data in the middle, so the digest is not that of zeros alone.
  ASSERT_EQ(system(("printf 'delvora' | dd of='" + path + "' bs=1 seek=" + std::to_string(size / 2 + 3) +
                    " conv=notrunc status=none")
                       .c_str()),
            0);
  CHashFile h;
  h.SetFile(FromUtf8(path));
  ASSERT_EQ(h.existingSize(), size);
  std::vector<char> zeros(1 << 20, 0);
  h.InitDigest();
  for (int64_t at = 0; at < size; at += int64_t(zeros.size())) {
    if (at == size / 2) {
      std::vector<char> piece(zeros.size(), 0);
      std::memcpy(piece.data() + 3, "delvora", 7);
      h.Update(piece.data(), piece.size());
    } else {
      h.Update(zeros.data(), zeros.size());
    }
  }
  h.Final();
  EXPECT_EQ(Hex(h.digest()), Md5sum(path));
  EXPECT_EQ(h.MatchesExistingStream(u"", size), 0);
}

class HashFileTest : public Md5FileTest {
 protected:
  // Gives the data to h as the recovered copy.
  static void Write(CHashFile& h, const std::string& data) {
    h.InitDigest();
    h.Update(data.data(), data.size());
    h.Final();
  }
};

TEST_F(HashFileTest, CopyMatchesAndOneChangedByteDoesNot) {
  const std::string data = RandomBytes(3 * 1048576 + 4097, 11);  // several pieces and a short tail
  const std::string original = dir + "/orig.bin", existing = dir + "/existing.bin";
  WriteFileText(original, data);
  ASSERT_EQ(system(("cp '" + original + "' '" + existing + "'").c_str()), 0);
  const int64_t size = int64_t(data.size());

  CHashFile h;
  h.SetFile(FromUtf8(existing));
  Write(h, data);
  EXPECT_EQ(h.MatchesExistingStream(u"", size), 0);
  EXPECT_EQ(h.entryCount(), 1u);

  // One byte changed at the start, in the middle and in the last byte.
  for (int64_t at : {int64_t(0), size / 2, size - 1}) {
    ASSERT_EQ(system(("cp '" + original + "' '" + existing + "'").c_str()), 0);
    std::string changed = data;
    changed[size_t(at)] = char(changed[size_t(at)] ^ 0x01);
    WriteFileText(existing, changed);
    h.SetFile(FromUtf8(existing));
    EXPECT_EQ(h.entryCount(), 0u);
    Write(h, data);
    int32_t r = h.MatchesExistingStream(u"", size);
    EXPECT_NE(r, 0) << "byte " << at;
    EXPECT_TRUE(r == 1 || r == -1);
  }
}

TEST_F(HashFileTest, ResultSignFollowsTheFirstDifferingDigestByte) {
  // Two one-byte files whose digests differ; the sign is that of
  // (written digest byte - existing digest byte) at the first difference.
  const std::string path = dir + "/one";
  for (const auto& [written, existing] : {std::pair<std::string, std::string>{"a", "b"}, {"b", "a"}}) {
    WriteFileText(path, existing);
    uint8_t dw[kMd5DigestSize], de[kMd5DigestSize];
    Md5Of(written.data(), 1, dw);
    Md5Of(existing.data(), 1, de);
    size_t i = 0;
    while (dw[i] == de[i]) ++i;
    CHashFile h;
    h.SetFile(FromUtf8(path));
    Write(h, written);
    EXPECT_EQ(h.MatchesExistingStream(u"", 1), dw[i] < de[i] ? -1 : 1);
  }
}

TEST_F(HashFileTest, DigestOfAStreamIsMadeOncePerSetFile) {
  const std::string data = RandomBytes(10000, 5);
  const std::string path = dir + "/cached.bin";
  WriteFileText(path, data);
  CHashFile h;
  h.SetFile(FromUtf8(path));
  Write(h, data);
  ASSERT_EQ(h.MatchesExistingStream(u"", 10000), 0);
  // Changed behind its back: the first digest stands until SetFile.
  std::string other = data;
  other[9999] ^= 0x55;
  WriteFileText(path, other);
  EXPECT_EQ(h.MatchesExistingStream(u"", 10000), 0);
  EXPECT_EQ(h.entryCount(), 1u);
  h.SetFile(FromUtf8(path));
  Write(h, data);
  EXPECT_NE(h.MatchesExistingStream(u"", 10000), 0);
}

TEST_F(HashFileTest, LengthsMustAgree) {
  const std::string data = RandomBytes(5000, 9);
  const std::string path = dir + "/len.bin";
  WriteFileText(path, data + "tail");  // the data written is a prefix of it
  CHashFile h;
  h.SetFile(FromUtf8(path));
  Write(h, data);
  EXPECT_EQ(h.MatchesExistingStream(u"", 5000), -1);  // shorter than the existing file
  WriteFileText(path, data.substr(0, 4000));
  h.SetFile(FromUtf8(path));
  Write(h, data);
  EXPECT_EQ(h.MatchesExistingStream(u"", 5000), 1);
  // Same data and length, but the caller expects another length.
  WriteFileText(path, data);
  h.SetFile(FromUtf8(path));
  Write(h, data);
  EXPECT_EQ(h.MatchesExistingStream(u"", 4999), -1);
  EXPECT_EQ(h.MatchesExistingStream(u"", 5000), 0);
  EXPECT_EQ(h.entryCount(), 1u);
}

TEST_F(HashFileTest, NamedStreams) {
  const std::string main = RandomBytes(3000, 1), stream = RandomBytes(777, 2);
  const std::string path = dir + "/withstream.bin";
  WriteFileText(path, main);
  WriteFileText(path + ":Zone.Identifier", stream);
  EXPECT_EQ(ExistingStreamPath(u"/a/b", u"s"), u"/a/b:s");
  EXPECT_EQ(ExistingStreamPath(u"/a/b", u""), u"/a/b");

  CHashFile h;
  h.SetFile(FromUtf8(path));
  EXPECT_EQ(h.GetExistingSize(u""), 3000);
  EXPECT_EQ(h.GetExistingSize(u"Zone.Identifier"), 777);
  EXPECT_EQ(h.GetExistingSize(u"missing"), -1);
  EXPECT_EQ(h.GetExistingSize(u"a/b"), -1);
  Write(h, stream);
  EXPECT_EQ(h.MatchesExistingStream(u"Zone.Identifier", 777), 0);
  EXPECT_NE(h.MatchesExistingStream(u"", 777), 0);
  EXPECT_EQ(h.MatchesExistingStream(u"missing", 777), -1);
  Write(h, main);
  EXPECT_EQ(h.MatchesExistingStream(u"", 3000), 0);
  EXPECT_EQ(h.entryCount(), 2u);  // the failed open is not remembered
}

TEST_F(HashFileTest, AbsentOrUnusableTargetReadsNothing) {
  CHashFile fresh;
  EXPECT_EQ(fresh.existingSize(), -1);
  EXPECT_EQ(fresh.path(), u"");
  for (const std::string& target : {dir + "/nothing-here", dir, std::string("/dev/null"), std::string()}) {
    CHashFile h;
    h.SetFile(FromUtf8(target));
    EXPECT_EQ(h.existingSize(), -1) << target;
    EXPECT_EQ(h.path(), u"") << target;
    ErrorMsg(u"sentinel");
    Write(h, "");
    EXPECT_EQ(h.MatchesExistingStream(u"", 0), -1);
    EXPECT_EQ(h.GetExistingSize(u""), -1);
    EXPECT_EQ(h.entryCount(), 0u);
    EXPECT_EQ(LastErrorText(), u"sentinel");  // nothing was tried
  }
  // A path the kernel would cut at an embedded zero names another file.
  WString withZero = FromUtf8(dir + "/x");
  withZero += u'\0';
  withZero += u"y";
  WriteFileText(dir + "/x", "");
  CHashFile h;
  h.SetFile(withZero);
  EXPECT_EQ(h.existingSize(), -1);
}

TEST_F(HashFileTest, EmptyFile) {
  const std::string path = dir + "/empty";
  WriteFileText(path, "");
  CHashFile h;
  h.SetFile(FromUtf8(path));
  EXPECT_EQ(h.existingSize(), 0);
  Write(h, "");
  EXPECT_EQ(Hex(h.digest()), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(h.MatchesExistingStream(u"", 0), 0);
}

// Long paths are used whole: beyond 260 characters they work, and a path
// the system cannot take whole fails instead of being cut to a shorter one
// that could name another (here: identical) file.
TEST_F(HashFileTest, LongPathsAreNeverCut) {
  const std::string data = RandomBytes(4321, 21);
  // About 3900 bytes of folders, each name within the 255-byte limit.
  std::string deep = dir;
  while (deep.size() < 3900) {
    deep += "/" + std::string(std::min<size_t>(200, 3900 - deep.size()), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755) == 0 || errno == EEXIST, true) << deep.size();
  }
  const std::string file = deep + "/f";
  WriteFileText(file, data);
  const std::string stream300(300, 's');
  const std::string full = file + ":" + stream300;
  ASSERT_GE(full.size(), size_t(PATH_MAX));
  // The longest prefix the system could open exists and holds the same data.
  const std::string cut = full.substr(0, PATH_MAX - 1);
  WriteFileText(cut, data);
  ASSERT_EQ(ReadFileText(cut), data);

  CHashFile h;
  h.SetFile(FromUtf8(file));
  ASSERT_EQ(h.existingSize(), 4321);
  Write(h, data);
  EXPECT_EQ(h.MatchesExistingStream(u"", 4321), 0);  // a main path of 3900+ bytes is fine
  EXPECT_EQ(h.GetExistingSize(FromUtf8(stream300)), -1);
  EXPECT_EQ(h.MatchesExistingStream(FromUtf8(stream300), 4321), -1);
  EXPECT_EQ(theTrace().LastErrorCode(), ENAMETOOLONG);

  // Over 260 characters: the stream path is taken whole, so the file at
  // its first 260 characters (identical data) is not mistaken for it.
  const std::string shortDir = dir + "/" + std::string(120, 'e');
  ASSERT_EQ(mkdir(shortDir.c_str(), 0755), 0);
  const std::string shortFile = shortDir + "/g";
  WriteFileText(shortFile, data);
  const std::string stream(200, 't');
  const std::string composed = shortFile + ":" + stream;
  ASSERT_GT(composed.size(), 260u);
  WriteFileText(composed.substr(0, 260), data);
  h.SetFile(FromUtf8(shortFile));
  Write(h, data);
  EXPECT_EQ(h.MatchesExistingStream(FromUtf8(stream), 4321), -1);
  EXPECT_EQ(theTrace().LastErrorCode(), ENOENT);
  WriteFileText(composed, data);
  EXPECT_EQ(h.MatchesExistingStream(FromUtf8(stream), 4321), 0);
}

// ---- per-block digest lists ----

std::vector<std::string> DigestsInFile(const std::string& path) {
  std::string bytes = ReadFileText(path);
  std::vector<std::string> out;
  for (size_t at = 0; at + kMd5DigestSize <= bytes.size(); at += kMd5DigestSize)
    out.push_back(HexText(bytes.data() + at, kMd5DigestSize));
  EXPECT_EQ(bytes.size() % kMd5DigestSize, 0u);
  return out;
}

TEST_F(Md5FileTest, SegmentOutputsFromTheOptionsFile) {
  const std::string options = dir + "/opts.txt";
  const std::string out8 = dir + "/blocks8.md5", out3 = dir + "/blocks3.md5";
  WriteFileText(options, "[Options]\nMD5 Computation Output Counts=3\nMD5 Computation Segment Size1=8\n"
                         "MD5 Output File1=" + out8 + "\nMD5 Computation Segment Size2=3\nMD5 Output File2=" +
                             out3 + "\nMD5 Computation Segment Size3=0\nMD5 Output File3=" + dir + "/unused\n");
  StartApplication(options);
  ASSERT_EQ(g_appState->md5Outputs.size(), 3u);

  const size_t sectors = 2500;  // 312.5 blocks of 8, 833.3 blocks of 3
  const std::string data = RandomBytes(sectors * 512, 33);
  const std::string dataPath = dir + "/disk.bin";
  WriteFileText(dataPath, data);

  Md5SegmentOutputs outputs;
  ASSERT_EQ(outputs.Open(g_appState->md5Outputs, 512), 2);  // segment size 0 is not usable
  EXPECT_TRUE(outputs.active());
  std::mt19937 rng(8);
  size_t at = 0;
  while (at < sectors) {
    size_t n = std::min<size_t>(sectors - at, 1 + rng() % 70);
    outputs.AddSectors(data.data() + at * 512, int64_t(at), n);
    at += n;
  }
  EXPECT_TRUE(outputs.Close());
  EXPECT_FALSE(outputs.active());
  EXPECT_FALSE(access((dir + "/unused").c_str(), F_OK) == 0);

  std::vector<std::string> eight = DigestsInFile(out8), three = DigestsInFile(out3);
  EXPECT_EQ(eight.size(), 313u);
  EXPECT_EQ(eight, Md5sumOfPieces(dataPath, 8 * 512));
  EXPECT_EQ(three.size(), 834u);
  EXPECT_EQ(three, Md5sumOfPieces(dataPath, 3 * 512));
}

TEST_F(Md5FileTest, SegmentOutputsWriteInGatheredRuns) {
  // 1 MiB / 262144 = 4 digests per write: 9 blocks take three writes.
  EXPECT_EQ(Md5SegmentOutputs::DigestsPerWrite(262144), 4u);
  EXPECT_EQ(Md5SegmentOutputs::DigestsPerWrite(1), 1048576u);
  EXPECT_EQ(Md5SegmentOutputs::DigestsPerWrite(3), 349525u);
  EXPECT_EQ(Md5SegmentOutputs::DigestsPerWrite(int64_t(1) << 24), 1u);
  const std::string data = RandomBytes(9 * 262144 - 1000, 4);
  const std::string dataPath = dir + "/bytes.bin", out = dir + "/big.md5";
  WriteFileText(dataPath, data);
  Md5SegmentOutputs outputs;
  ASSERT_EQ(outputs.Open({Md5Output{262144, FromUtf8(out)}}, 1), 1);
  for (size_t at = 0; at < data.size(); at += 100000)
    outputs.AddSectors(data.data() + at, int64_t(at), std::min<size_t>(100000, data.size() - at));
  EXPECT_TRUE(outputs.Close());
  EXPECT_EQ(DigestsInFile(out), Md5sumOfPieces(dataPath, 262144));
}

TEST_F(Md5FileTest, SegmentOutputsEndOpenBlocksAtAGap) {
  const std::string data = RandomBytes(64 * 512, 6);
  const std::string out = dir + "/gap.md5";
  Md5SegmentOutputs outputs;
  ASSERT_EQ(outputs.Open({Md5Output{8, FromUtf8(out)}}, 512), 1);
  outputs.AddSectors(data.data(), 0, 5);                 // sectors 0-4
  outputs.AddSectors(data.data() + 5 * 512, 100, 16);    // sectors 100-115
  outputs.AddSectors(data.data() + 21 * 512, 116, 3);    // sectors 116-118
  EXPECT_TRUE(outputs.Close());
  auto digestOf = [&](size_t firstSector, size_t count) {
    return DigestOf(data.substr(firstSector * 512, count * 512));
  };
  std::vector<std::string> expected = {digestOf(0, 5), digestOf(5, 8), digestOf(13, 8), digestOf(21, 3)};
  EXPECT_EQ(DigestsInFile(out), expected);
}

TEST_F(Md5FileTest, SegmentDigestsGoToTheTraceWhenTheFileCannotBeMade) {
  const std::string tracePath = dir + "/wubgrain.txt";
  theTrace().SetOptions(FromUtf8(tracePath), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
  const std::string data = RandomBytes(16 * 512, 12);
  Md5SegmentOutputs outputs;
  ASSERT_EQ(outputs.Open({Md5Output{8, FromUtf8(dir + "/no/such/folder/x.md5")}, Md5Output{-4, u"y"}}, 512), 1);
  outputs.AddSectors(data.data(), 1000, 16);
  EXPECT_FALSE(outputs.Close());
  theTrace().SetOptions(u"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);

  std::string expected = "MD5 output 2 ignored: segment size -4\n";
  for (int block = 0; block < 2; ++block) {
    uint8_t d[kMd5DigestSize];
    Md5Of(data.data() + block * 4096, 4096, d);
    uint64_t lo = 0, hi = 0;
    for (int i = 7; i >= 0; --i) {
      lo = (lo << 8) | d[i];
      hi = (hi << 8) | d[8 + i];
    }
    expected += "MD5_8 " + std::to_string(1000 + 8 * block) + " " + std::to_string(lo) + " " + std::to_string(hi) +
                "\n";
  }
  EXPECT_EQ(ReadFileText(tracePath), expected);
}

TEST(Md5SegmentOutputs, RefusesBadInput) {
  GlobalObjectsScope scope;
  const TempFolder dirTemp("md5seg");
  std::string dir = dirTemp.Path();
  Md5SegmentOutputs outputs;
  EXPECT_EQ(outputs.Open({Md5Output{8, FromUtf8(dir + "/a")}}, 0), 0);
  EXPECT_EQ(outputs.Open({Md5Output{8, FromUtf8(dir + "/a")}}, 65537), 0);
  EXPECT_EQ(outputs.Open({Md5Output{Md5SegmentOutputs::kMaxSegmentSectors + 1, FromUtf8(dir + "/a")}}, 512), 0);
  EXPECT_FALSE(outputs.active());
  outputs.AddSectors("x", 0, 1);  // nothing open: ignored
  // Two outputs naming one file: the second does not write into it.
  ASSERT_EQ(outputs.Open({Md5Output{1, FromUtf8(dir + "/a")}, Md5Output{2, FromUtf8(dir + "/a")}}, 512), 2);
  std::string sector(512, 'z');
  outputs.AddSectors(nullptr, 0, 1);
  outputs.AddSectors(sector.data(), -1, 1);
  outputs.AddSectors(sector.data(), INT64_MAX, 1);
  outputs.AddSectors(sector.data(), 0, SIZE_MAX / 2);
  outputs.AddSectors(sector.data(), 0, 1);
  EXPECT_FALSE(outputs.Close());  // the second had no usable file
  EXPECT_EQ(DigestsInFile(dir + "/a"), std::vector<std::string>{DigestOf(sector)});
}

}  // namespace
