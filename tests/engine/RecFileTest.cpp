// The recovered-file writer on real files: true lengths after padded
// direct writes, pending bytes, zero runs, times, and failed writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/RecFile.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "tests/support/TestUtil.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return s;
}

class RecFileTest : public testing::Test {
 protected:
  TempFolder temp_{"recfile"};
  GlobalObjectsScope scope_;
  std::string dir_ = temp_.Path();
};

TEST_F(RecFileTest, LengthsComeOutExactWhateverTheWritePattern) {
  // (total size, unit size, size of each Write call)
  struct Case {
    size_t total;
    uint32_t unit, piece;
  } cases[] = {{5, 4096, 5},          {4096, 4096, 4096},     {4097, 4096, 4097},   {65536, 4096, 65536},
               {100000, 4096, 4096},  {100000, 4096, 1000},   {0x100000, 4096, 0x100000},
               {0x100000 + 3, 512, 0x100000 + 3}, {3 * 0x100000 + 17, 4096, 0x100000}, {70000, 65536, 70000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.total << " " << c.unit << " " << c.piece);
    const std::string path = dir_ + "/f" + std::to_string(c.total) + "_" + std::to_string(c.piece);
    const std::string data = Pattern(c.total, c.piece);
    RecFile w;
    ASSERT_GE(w.Open(FromUtf8(path), c.unit), 0) << ToUtf8(LastErrorText());
    for (size_t at = 0; at < c.total; at += c.piece)
      ASSERT_EQ(w.Write(uint32_t(std::min<size_t>(c.piece, c.total - at)), data.data() + at), 1);
    ASSERT_EQ(w.Flush(), 1);
    w.Close();
    EXPECT_EQ(ReadAll(path), data);
  }
}

TEST_F(RecFileTest, SmallUnitMultipleStaysPendingUntilFlush) {
  const std::string path = dir_ + "/pending";
  RecFile w;
  ASSERT_GE(w.Open(FromUtf8(path), 4096), 0);
  const std::string data = Pattern(8192, 1);
  ASSERT_EQ(w.Write(8192, data.data()), 1);
  EXPECT_EQ(w.Pending(), 8192u);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  ASSERT_EQ(w.Flush(), 1);
  w.Close();
  EXPECT_EQ(ReadAll(path), data);
}

TEST_F(RecFileTest, ZerosComeFromTheZeroBufferAndTimesAreSet) {
  const std::string path = dir_ + "/zeros";
  RecFile w;
  ASSERT_GE(w.Open(FromUtf8(path), 4096), 0);
  // Dirty the writer's own buffer first: zeros never come from it.
  const std::string junk(3000, 'J');
  ASSERT_EQ(w.Write(3000, junk.data()), 1);
  ASSERT_EQ(w.WriteZero(0x100000 * 2 + 5), 1);
  ASSERT_EQ(w.Flush(), 1);
  // 2020-01-01 00:00:00 UTC as a FILETIME.
  const uint64_t ft = (1577836800ull + 11644473600ull) * 10000000ull + 1234567;
  w.SetFileTime(0, ft);
  w.Close();
  const std::string got = ReadAll(path);
  ASSERT_EQ(got.size(), 3000u + 0x200005u);
  EXPECT_EQ(got.substr(0, 3000), junk);
  EXPECT_EQ(got.find_first_not_of('\0', 3000), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1577836800);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);
}

TEST_F(RecFileTest, ExclusiveOpenRefusesAnExistingFileAndLinksAreNotFollowed) {
  const std::string path = dir_ + "/exists";
  { std::ofstream(path) << "keep"; }
  RecFile w;
  EXPECT_LT(w.Open(FromUtf8(path), 4096, false, -1, true), 0);
  const std::string target = dir_ + "/target";
  { std::ofstream(target) << "target"; }
  ASSERT_EQ(symlink(target.c_str(), (dir_ + "/link").c_str()), 0);
  EXPECT_LT(w.Open(FromUtf8(dir_ + "/link"), 4096), 0);
  EXPECT_EQ(ReadAll(target), "target");
  EXPECT_EQ(ReadAll(path), "keep");
}

TEST_F(RecFileTest, ExtendToLeavesASparseTailOfTheRealSize) {
  const std::string path = dir_ + "/extend";
  RecFile w;
  ASSERT_GE(w.Open(FromUtf8(path), 4096), 0);
  ASSERT_EQ(w.Write(10, "0123456789"), 1);
  ASSERT_EQ(w.ExtendTo(uint64_t(12) << 20), 1);
  w.Close();
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, int64_t(12) << 20);
  EXPECT_EQ(ReadAll(path).substr(0, 10), "0123456789");
}

// Holes between, before and after data: the bytes read back are the data
// with zeros in the holes, the file takes no blocks for a hole of 64 MiB,
// and a resumed file's old bytes in a hole read as zeros too.
TEST_F(RecFileTest, HolesAreSkippedNotWritten) {
  constexpr uint64_t kBig = uint64_t(64) << 20;
  const std::string a = Pattern(5000, 1), b = Pattern(1 << 20, 2);
  struct Step {
    uint64_t hole;  // 0: data
    const std::string* data;
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"hole between", {{0, &a}, {kBig, nullptr}, {0, &b}}},
      {"leading hole", {{kBig, nullptr}, {0, &a}}},
      {"trailing hole", {{0, &b}, {kBig, nullptr}}},
      {"only a hole", {{kBig, nullptr}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_ + "/hole";
    RecFile w;
    ASSERT_GE(w.Open(FromUtf8(path), 4096), 0);
    std::string expected;
    for (const Step& s : c.steps) {
      if (s.data) {
        ASSERT_EQ(w.Write(uint32_t(s.data->size()), s.data->data()), 1);
        expected += *s.data;
      } else {
        ASSERT_EQ(w.WriteHole(s.hole), 1);
        expected += std::string(size_t(s.hole), '\0');
      }
    }
    ASSERT_EQ(w.Flush(), 1);
    EXPECT_EQ(w.Written(), expected.size());
    w.Close();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), expected.size());
    EXPECT_LT(uint64_t(st.st_blocks) * 512, (uint64_t(4) << 20));
    EXPECT_TRUE(ReadAll(path) == expected);
  }
  // Resumed over an earlier run's bytes: the hole there reads as zeros.
  const std::string path = dir_ + "/resumed";
  WriteFileText(path, Pattern(20000, 3));
  RecFile w;
  ASSERT_GE(w.Open(FromUtf8(path), 4096, false, 4096), 0);
  ASSERT_EQ(w.WriteHole(8192), 1);
  ASSERT_EQ(w.Write(100, a.data()), 1);
  ASSERT_EQ(w.Flush(), 1);
  w.Close();
  EXPECT_TRUE(ReadAll(path) == Pattern(20000, 3).substr(0, 4096) + std::string(8192, '\0') + a.substr(0, 100));
}

TEST_F(RecFileTest, WriteOnAFullFileSystemFailsWithTheDiskFullCode) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full missing";
  RecFile w;
  // /dev/full takes the open and refuses every write with ENOSPC.
  ASSERT_GE(w.Open(u"/dev/full", 4096, true, 0), 0) << ToUtf8(LastErrorText());
  const std::string data(5000, 'x');
  EXPECT_EQ(w.Write(5000, data.data()), 0);
  EXPECT_EQ(theTrace().LastErrorCode(), ENOSPC);
  w.Close();
}

}  // namespace

namespace {

// The first write of a file of a known type is checked by the carving probe:
// a header of another kind fails with message 649 and writes nothing.
TEST_F(RecFileTest, FirstWriteIsCheckedAgainstTheExpectedType) {
  ASSERT_NE(RecFile::HeaderTypeTestOf(), nullptr);
  std::string jpg(4096, '\x11');
  jpg[0] = '\xFF', jpg[1] = '\xD8', jpg[2] = '\xFF', jpg[3] = '\xE0';
  std::string tif(4096, '\0');
  tif.replace(0, 8, std::string("II*\0\x08\0\0\0", 8));
  const std::string zeros(4096, '\0');
  std::string compound(4096, '\0');
  compound.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  std::string zip(4096, '\0');
  zip.replace(0, 6, std::string("PK\x03\x04\x14\0", 6));
  struct Case {
    uint8_t expected;
    const std::string* data;
    bool written;
  } cases[] = {{11, &jpg, true}, {11, &zeros, false}, {11, &tif, false}, {23, &tif, true},
               {17, &tif, true},  // a nef's header is a plain TIFF's
               // The first bytes of an xls or ppt are a compound file's, of a
               // docx, pptx or xlsx a zip's.
               {7, &compound, true}, {27, &compound, true}, {20, &compound, true}, {8, &compound, false},
               {30, &zip, true}, {8, &zip, true}, {21, &zip, true}, {28, &zip, true}, {7, &zip, false},
               {255, &zeros, true}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir_ + "/typed" + std::to_string(n++);
    RecFile w;
    ASSERT_GE(w.Open(FromUtf8(path), 4096), 0);
    w.SetExpectedType(c.expected);
    EXPECT_EQ(w.WriteData(reinterpret_cast<const uint8_t*>(c.data->data()), 4096, 0), c.written ? 1 : 0) << n;
    if (!c.written) {
      EXPECT_EQ(ToUtf8(LastErrorText()), "Invalid file header") << n;
      EXPECT_EQ(w.Written(), 0u);
    }
    w.Close();
  }
}

}  // namespace
