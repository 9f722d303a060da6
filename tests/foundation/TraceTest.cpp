#include "foundation/Trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/TestUtil.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Platform.h"

namespace {

class TraceTest : public testing::Test {
 protected:
  TempFolder temp_{"trace"};
  void SetUp() override {
    SetPromptService(&prompt);
    dir = temp_.Path();
    tracePath = dir + "/wubgrain.txt";
  }
  void TearDown() override {
    theTrace().SetOptions(u"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);
    SetPromptService(nullptr);
  }
  void TraceTo(int keepOpen, int executionPath = 0) {
    theTrace().SetOptions(FromUtf8(tracePath), executionPath, 0, 0, 0, 0, 0, 0, 0, 0, keepOpen, 1);
  }
  GlobalObjectsScope scope;
  ScriptedPrompt prompt;
  std::string dir, tracePath;
};

TEST_F(TraceTest, ErrorMsgWithTextOrSystemError) {
  ErrorMsg(u"Disk full");
  EXPECT_EQ(theTrace().LastErrorText(), u"Disk full");
  EXPECT_EQ(theTrace().LastErrorCode(), -1);

  errno = 0;
  ASSERT_LT(open("/nonexistent/dir/file", O_RDONLY), 0);
  ErrorMsg(nullptr, u"Opening");
  EXPECT_EQ(theTrace().LastErrorCode(), ENOENT);
  EXPECT_EQ(theTrace().LastErrorText(), u"Opening: No such file or directory");

  errno = EACCES;
  ErrorMsg(nullptr, nullptr);
  EXPECT_EQ(theTrace().LastErrorText(), u"Permission denied");

  VErrorMsg(u"Cannot read negative sector %I64d.", int64_t(-5));
  EXPECT_EQ(theTrace().LastErrorText(), u"Cannot read negative sector -5.");
  EXPECT_EQ(theTrace().LastErrorCode(), -1);
}

TEST_F(TraceTest, LastErrorIsCutToItsRoom) {
  ErrorMsg(WString(2000, u'x'));
  EXPECT_EQ(theTrace().LastErrorText().size(), size_t(kLastErrorChars - 1));
}

TEST_F(TraceTest, ShowErrorAndThrowShowsOutOfMemory) {
  EXPECT_THROW(ShowErrorAndThrow(), DvCodeError);
  ASSERT_EQ(prompt.asked().size(), 1u);
  EXPECT_EQ(prompt.asked()[0].text, u"Out of memory.");
  EXPECT_EQ(theTrace().LastErrorText(), u"Out of memory.");
}

TEST_F(TraceTest, FunctionLinesAreIndentedByDepthAndStamped) {
  TraceTo(0, 1);
  {
    TRACE_FN("Drive::ReadSectors");
    TRACE_FN("Drive::IoThread");
  }
  std::string text = ReadFileText(tracePath);
  std::regex line(R"(^( *)([Ee]) (\S+) (\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)$)");
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 4u) << text;
  const char* expect[][3] = {{"", "E", "Drive::ReadSectors"},
                             {"  ", "E", "Drive::IoThread"},
                             {"  ", "e", "Drive::IoThread"},
                             {"", "e", "Drive::ReadSectors"}};
  plat::LocalTime now = plat::Now();
  for (size_t i = 0; i < 4; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
    EXPECT_EQ(m[1].str(), expect[i][0]);
    EXPECT_EQ(m[2].str(), expect[i][1]);
    EXPECT_EQ(m[3].str(), expect[i][2]);
    EXPECT_EQ(std::stoi(m[4].str()), now.year - 2000);
  }
}

TEST_F(TraceTest, NothingIsWrittenWhileTheSwitchIsOff) {
  TraceTo(0, 0);
  { TRACE_FN("Quiet::Function"); }
  EXPECT_EQ(ReadFileText(tracePath), "");
}

TEST_F(TraceTest, WithoutKeepOpenEveryLineIsOnDiskAtOnce) {
  TraceTo(0);
  TracePrintfA("first %d\n", 1);
  EXPECT_EQ(ReadFileText(tracePath), "first 1\n");
  TracePrintfW(u"second %s\n", u"\u00e9");
  EXPECT_EQ(ReadFileText(tracePath), "first 1\nsecond \xC3\xA9\n");
}

TEST_F(TraceTest, KeepOpenBuffersUntilClosedAndAppends) {
  WriteFileText(tracePath, "old\n");
  TraceTo(1);
  TracePrintfA("new\n");
  TraceFileClose();
  EXPECT_EQ(ReadFileText(tracePath), "old\nnew\n");
}

TEST_F(TraceTest, UnopenableTraceFileIsASilentNoOp) {
  theTrace().SetOptions(u"/nonexistent/dir/t.txt", 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
  EXPECT_EQ(TracePrintfA("x"), 0);
  { TRACE_FN("A::B"); }
}

TEST_F(TraceTest, PrintHexWritesCountedBytes) {
  TraceTo(0);
  uint8_t block[4 + 3] = {3, 0, 0, 0, 0x00, 0xAB, 0x7f};
  theTrace().PrintHex(block);
  theTrace().PrintHex(nullptr);
  EXPECT_EQ(ReadFileText(tracePath), "00ab7f\n");
}

// The hex dump's bytes, read back, equal what od reports for the same data.
TEST_F(TraceTest, HexDumpParsesBackLikeOd) {
  std::vector<uint8_t> data(1060);
  std::mt19937 rng(7);
  for (auto& b : data) b = uint8_t(rng());
  std::memcpy(data.data() + 20, "Printable text", 14);
  std::string bin = dir + "/data.bin";
  WriteFileText(bin, std::string(data.begin(), data.end()));

  std::string dump = dir + "/dump.txt";
  FILE* f = fopen(dump.c_str(), "w");
  ASSERT_EQ(HexDumpSector(data.data(), 100, data.size(), 512, f), 0);
  fclose(f);
  std::string text = ReadFileText(dump);

  std::vector<uint8_t> parsed;
  std::stringstream ss(text);
  int headers = 0;
  for (std::string l; std::getline(ss, l);) {
    if (l.rfind("Sector ", 0) == 0) {
      EXPECT_EQ(l, "Sector " + std::to_string(100 + headers));
      ++headers;
      continue;
    }
    if (l.empty()) continue;
    ASSERT_GE(l.size(), 5u + 48 + 4);
    std::string hex = l.substr(5, 48);
    std::stringstream hs(hex);
    for (std::string h; hs >> h;) parsed.push_back(uint8_t(std::stoi(h, nullptr, 16)));
  }
  EXPECT_EQ(headers, 3);
  std::string od = RunCommand("od -An -tx1 -v '" + bin + "'");
  std::vector<uint8_t> fromOd;
  std::stringstream os(od);
  for (std::string h; os >> h;) fromOd.push_back(uint8_t(std::stoi(h, nullptr, 16)));
  ASSERT_EQ(fromOd.size(), data.size());
  EXPECT_EQ(parsed, fromOd);
  EXPECT_NE(text.find("     ....Printable te\n"), std::string::npos) << text.substr(0, 300);
}

TEST_F(TraceTest, HexDumpShortLineIsPaddedAndMinusOneHasNoHeaders) {
  uint8_t data[20];
  for (int i = 0; i < 20; ++i) data[i] = uint8_t('A' + i);
  std::string dump = dir + "/short.txt";
  FILE* f = fopen(dump.c_str(), "w");
  ASSERT_EQ(HexDumpSector(data, -1, sizeof data, 512, f), 0);
  fclose(f);
  std::string expected =
      "0000 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50     ABCDEFGHIJKLMNOP\n"
      "0010 51 52 53 54 " + std::string(36, ' ') + "    QRST\n";
  EXPECT_EQ(ReadFileText(dump), expected);
}

// Sectors written to the trace folder are the bytes dd copies from the source.
TEST_F(TraceTest, TraceSectorsMatchDd) {
  TraceTo(0);
  std::string image = dir + "/image.bin";
  std::vector<uint8_t> data(64 * 512);
  std::mt19937 rng(11);
  for (auto& b : data) b = uint8_t(rng());
  WriteFileText(image, std::string(data.begin(), data.end()));

  const int64_t first = 17;
  const size_t count = 9;
  ASSERT_EQ(WriteTraceSectors(first, count * 512, 512, data.data() + first * 512, "dsk", 255, 0), 1);
  ASSERT_EQ(WriteTraceSectors(first, count * 512, 512, data.data() + first * 512, "dsk", 1, 2), 1);
  std::string plain = dir + "/17_9.dsk", numbered = dir + "/1_2_17_9.dsk";
  std::string ddOut = dir + "/dd.bin";
  std::string cmd = "dd if='" + image + "' of='" + ddOut + "' bs=512 skip=17 count=9 status=none";
  ASSERT_EQ(system(cmd.c_str()), 0);
  EXPECT_EQ(ReadFileText(plain), ReadFileText(ddOut));
  EXPECT_EQ(ReadFileText(numbered), ReadFileText(ddOut));

  std::vector<uint8_t> back(count * 512, 0xEE);
  EXPECT_EQ(ReadTraceSectors(first, back.size(), 512, back.data(), 255, 0), 1);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + first * 512));
  EXPECT_TRUE(prompt.asked().empty());
  EXPECT_EQ(WriteTraceSectors(first, 512, 0, data.data(), "dsk", 255, 0), 0);  // sector size 0 refused
}

TEST_F(TraceTest, MissingOrShortSectorFileAsksThenZeroes) {
  TraceTo(0);
  std::vector<uint8_t> buf(1024, 0xEE);
  prompt.Push(kIdCancel);
  EXPECT_EQ(ReadTraceSectors(5, buf.size(), 512, buf.data(), 255, 0), 0);
  ASSERT_EQ(prompt.asked().size(), 1u);  // Cancel ends the attempts
  EXPECT_EQ(prompt.asked()[0].text, FromUtf8("Missing " + dir + "/5_2.dsk"));
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));

  WriteFileText(dir + "/5_2.dsk", std::string(700, 'x'));  // shorter than asked
  std::fill(buf.begin(), buf.end(), 0xEE);
  prompt.Push(kIdOk);
  prompt.Push(kIdOk);
  EXPECT_EQ(ReadTraceSectors(5, buf.size(), 512, buf.data(), 255, 0), 0);
  EXPECT_EQ(prompt.asked().size(), 3u);  // two attempts, two questions
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(TraceTest, SimulatedReadFolderTakesPrecedence) {
  TraceTo(0);
  const TempFolder otherTemp("simulated");
  std::string other = otherTemp.Path();
  WriteFileText(other + "/3_1.dsk", std::string(512, 'z'));
  g_appState->simulatedReadFolder = FromUtf8(other);
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(ReadTraceSectors(3, 512, 512, buf.data(), 255, 0), 1);
  EXPECT_EQ(buf[0], 'z');
}

TEST_F(TraceTest, SectorFileNeverOpensASourceForWriting) {
  std::string source = dir + "/source.img";
  WriteFileText(source, std::string(4096, 's'));
  theTrace().AddProtectedSource(source);
  int64_t pos = 0;
  EXPECT_EQ(theTrace().OpenSectorFile(source, 0, &pos), -1);
  EXPECT_EQ(theTrace().sectorFiles[0], -1);
  EXPECT_EQ(ReadFileText(source), std::string(4096, 's'));
  theTrace().RemoveProtectedSource(source);

  std::string out = dir + "/out.img";
  WriteFileText(out, "abc");
  int fd = theTrace().OpenSectorFile(out, 1, nullptr);  // a file is appended to
  ASSERT_GE(fd, 0);
  EXPECT_EQ(theTrace().WriteHandle("def", 3, 1), 3);
  theTrace().CloseHandles();
  EXPECT_EQ(theTrace().sectorFiles[1], -1);
  EXPECT_EQ(ReadFileText(out), "abcdef");
}

TEST_F(TraceTest, TraceFileNames) {
  plat::LocalTime t = plat::Now();
  std::string today = DateTraceName(t.year, t.month, t.day);
  ASSERT_EQ(today.size(), 8u);
  EXPECT_NE(DateTraceName(t.year, t.month, t.day == 1 ? 2 : 1), today);
  struct Case {
    std::string name;
    int kind;
  } cases[] = {
      {"wubgrain.txt", 1},          {"WUBGRAIN.TXT", 1},         {today + ".txt", 1},
      {today + ".mbd", 2},          {"/var/log/" + today + ".MBD", 2}, {"C:\\x\\" + today + ".txt", 1},
      {"x/wubgrain.txt", 0},        {"disk.img", 0},             {today + ".dat", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(IsTraceFileName(FromUtf8(c.name)), c.kind) << c.name;
}

TEST_F(TraceTest, ConcurrentErrorsNeverTear) {
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k)
    threads.emplace_back([k] {
      WString text(100, char16_t(u'a' + k));
      for (int i = 0; i < 2000; ++i) {
        ErrorMsg(text);
        WString seen = theTrace().LastErrorText();
        EXPECT_EQ(seen.size(), 100u);
        EXPECT_EQ(seen.find_first_not_of(seen[0]), WString::npos);
      }
    });
  for (auto& t : threads) t.join();
}

}  // namespace

// The trace file and the sector files never write through a planted link
// (the folder is often /tmp, the program may run as root), and new ones
// are the owner's only.
TEST_F(TraceTest, TraceAndSectorFilesDoNotFollowLinks) {
  const std::string victim = dir + "/victim";
  { std::ofstream(victim) << "keep"; }
  ASSERT_EQ(symlink(victim.c_str(), tracePath.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (dir + "/7_1.dsk").c_str()), 0);
  TraceTo(0);
  EXPECT_EQ(TracePrintfA("line\n"), 0);
  const uint8_t sector[512] = {1};
  EXPECT_EQ(WriteTraceSectors(7, 512, 512, sector, "dsk", 255, 0), 0);
  EXPECT_EQ(ReadFileText(victim), "keep");
  unlink(tracePath.c_str());
  EXPECT_GT(TracePrintfA("line\n"), 0);
  struct stat st;
  ASSERT_EQ(stat(tracePath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A path that differs only in case is another file on Linux.
TEST_F(TraceTest, PathDifferingOnlyInCaseSwitchesFiles) {
  TraceTo(1);
  TracePrintfA("first\n");
  const std::string upper = dir + "/WUBGRAIN.TXT";
  theTrace().SetOptions(FromUtf8(upper), 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);
  TracePrintfA("second\n");
  TraceFileClose();
  EXPECT_EQ(ReadFileText(tracePath), "first\n");
  EXPECT_EQ(ReadFileText(upper), "second\n");
}
