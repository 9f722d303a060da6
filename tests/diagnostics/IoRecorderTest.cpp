#include "diagnostics/IoRecorder.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "diagnostics/IoTraceFormat.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "tests/support/TempFolder.h"

namespace {

// The I/O and data-trace switches on for the length of a test.
struct SwitchesOn {
  int32_t io = traceIo, mft = traceMft;
  SwitchesOn() {
    traceIo = 1;
    traceMft = 1;
  }
  ~SwitchesOn() {
    traceIo = io;
    traceMft = mft;
  }
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The files of the folder whose names end in `tail`, sorted.
std::vector<std::string> FilesEnding(const std::string& folder, const std::string& tail) {
  std::vector<std::string> out;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0)
        out.push_back(folder + "/" + n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The folder's trace read back: the log (01, 02, ...) decoded and checked
// against its data file as dviotrace --check does; every test's log must
// pass.
struct Decoded {
  iotrace::Summary summary;
  std::vector<iotrace::Record> records;
  std::vector<uint8_t> data;
  std::vector<uint8_t> ops() const {
    std::vector<uint8_t> o;
    for (const auto& r : records) o.push_back(r.op);
    return o;
  }
};

Decoded DecodeFolder(const std::string& folder) {
  Decoded d;
  const std::vector<std::string> logs = FilesEnding(folder, "_01.bin");
  EXPECT_EQ(logs.size(), 1u) << folder;
  if (logs.empty()) return d;
  const iotrace::FileCheck c =
      iotrace::CheckFiles(logs[0], std::string(), [&](const iotrace::Record& r) { d.records.push_back(r); });
  EXPECT_EQ(c.problem, "") << logs[0];
  d.summary = c.summary;
  d.data = ReadAll(c.dataPath);
  return d;
}

constexpr size_t kHeaderBytes = 9;  // a one-character drive name

}  // namespace

// The Part's edge cases and the encodings, as a table: what is logged and
// the opcodes that come out (header first, end last).
TEST(IoRecorder, RecordsAsTheirOpcodes) {
  const SwitchesOn on;
  std::vector<uint8_t> sectors(256 * 512, 0x5A);
  struct Case {
    const char* what;
    std::function<void(IoRecorder&)> log;
    std::vector<uint8_t> ops;
  } cases[] = {
      {"a read 70,000 sectors on gives a new base first",
       [&](IoRecorder& r) {
         r.RecordRead(0, 3 * 512, 512, sectors.data());
         r.RecordRead(70000, 3 * 512, 512, sectors.data());
       },
       {1, 2, 7, 2, 0}},
      {"two channel changes with nothing between leave one opcode 8",
       [&](IoRecorder& r) {
         r.SetChannel(1);
         r.SetChannel(2);
       },
       {1, 8, 0}},
      {"a record between channel changes keeps both",
       [&](IoRecorder& r) {
         r.SetChannel(1);
         r.LogOp17(5, 1);
         r.SetChannel(2);
       },
       {1, 8, 17, 8, 0}},
      {"sequential reads of one size: opcode 9 once, then 10s",
       [&](IoRecorder& r) {
         for (int i = 0; i < 4; ++i) r.RecordRead(128 * i, 128 * 512, 512, sectors.data());
       },
       {1, 9, 10, 10, 10, 0}},
      {"a read the decoder cannot pack is opcode 2",
       [&](IoRecorder& r) { r.RecordRead(128, 128 * 512, 512, sectors.data()); },
       {1, 2, 0}},
      {"a drive operation, a hit and a stride mismatch",
       [&](IoRecorder& r) {
         r.LogOp11(6, 65536, 100);
         r.LogOp12(3, 200, 0x123456789ull, 70000);
         r.LogOp6(300, 0x1111, 0x2222);
       },
       {1, 11, 12, 6, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TempFolder temp("iorec");
    IoRecorder rec;
    rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
    c.log(rec);
    rec.Close();
    const Decoded d = DecodeFolder(temp.Path());
    ASSERT_TRUE(d.summary.ok) << d.summary.error;
    EXPECT_TRUE(d.summary.zeroPadded);
    EXPECT_EQ(d.ops(), c.ops);
    EXPECT_EQ(d.summary.dataBytes, d.data.size());
  }
}

TEST(IoRecorder, ReadsLandAtTheirSectorsAndDataOffsets) {
  const SwitchesOn on;
  const TempFolder temp("iorec");
  IoRecorder rec;
  rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"disk");
  std::vector<uint8_t> a(3 * 512), b(1000);
  for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(i);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7);
  rec.RecordRead(10, uint32_t(a.size()), 512, a.data());
  rec.RecordRead(70000, uint32_t(b.size()), 512, b.data());  // 2 sectors, the tail zero
  rec.Close();
  const Decoded d = DecodeFolder(temp.Path());
  ASSERT_TRUE(d.summary.ok) << d.summary.error;
  EXPECT_EQ(d.summary.shift, 9u);
  EXPECT_EQ(d.summary.driveName, "disk");
  std::vector<iotrace::Record> reads;
  for (const auto& r : d.records)
    if (r.op == iotrace::kRead || r.op == iotrace::kReadRange) reads.push_back(r);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].sector, 10);
  EXPECT_EQ(reads[0].count, 3u);
  EXPECT_EQ(reads[1].sector, 70000);
  EXPECT_EQ(reads[1].count, 2u);
  EXPECT_EQ(reads[1].dataAt, 3u * 512);
  ASSERT_EQ(d.data.size(), 5u * 512);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), d.data.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), d.data.begin() + 3 * 512));
  EXPECT_EQ(d.data[3 * 512 + 1000], 0);
}

// Names: at most 255 characters, 1 byte each unless one is above 255.
TEST(IoRecorder, NamesAreCutToTheirFieldAndWideWhenNeeded) {
  const SwitchesOn on;
  struct Case {
    WString name;
    bool wide;
    size_t chars;
  } cases[] = {{WString(300, u'\u00e9'), false, 255}, {u"a\u4e2db", true, 3}, {WString(256, u'\u4e2d'), true, 255}};
  for (const Case& c : cases) {
    const TempFolder temp("iorec");
    IoRecorder rec;
    rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
    IoTraceFoundFile f;
    f.name = c.name;
    f.size = 1ull << 40;  // six bytes
    rec.LogFoundFile(f);
    rec.Close();
    const Decoded d = DecodeFolder(temp.Path());
    ASSERT_TRUE(d.summary.ok) << d.summary.error;
    ASSERT_EQ(d.records.size(), 3u);
    const iotrace::Record& r = d.records[1];
    EXPECT_EQ(r.op, iotrace::kFoundFile);
    EXPECT_EQ((r.flags & 1) != 0, c.wide);
    EXPECT_EQ(r.value, 1ull << 40);
    EXPECT_EQ(FromUtf8(r.name), c.name.substr(0, c.chars));
  }
}

// A channel opcode whose byte went out with a flushed block is not
// rewritten: the change after it is a record of its own.
TEST(IoRecorder, ChannelIsNotRewrittenAcrossAFlushedBlock) {
  const SwitchesOn on;
  const TempFolder temp("iorec");
  IoRecorder rec;
  rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
  // Opcode 17 records are 7 bytes, opcode 16 9 + name: the log reaches two
  // bytes short of a block, then the channel opcode fills it.
  const size_t want = IoRecorder::kBlockBytes - 2 - kHeaderBytes - 9;
  const size_t tail = want % 7;
  for (size_t i = 0; i < want / 7; ++i) rec.LogOp17(1, 0);
  rec.LogOp16(1, 1, 2, std::string(tail, 'n'));
  rec.SetChannel(1);
  EXPECT_EQ(rec.BlockCount(), 1u);
  rec.SetChannel(2);
  rec.Close();
  const Decoded d = DecodeFolder(temp.Path());
  ASSERT_TRUE(d.summary.ok) << d.summary.error;
  std::vector<uint64_t> channels;
  for (const auto& r : d.records)
    if (r.op == iotrace::kChannel) channels.push_back(r.value);
  EXPECT_EQ(channels, (std::vector<uint64_t>{1, 2}));
}

// An opcode-4 record far larger than the buffer (255 x 65,535 bytes) goes
// out in whole blocks; the 128th block starts log file 02 and the data
// file keeps its name.
TEST(IoRecorder, HugeRunListsRotateTheLog) {
  const SwitchesOn on;
  const TempFolder temp("iorec");
  IoRecorder rec;
  rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
  const std::string data = rec.DataPath();
  IoTraceFoundFile f;
  f.name = u"big";
  f.runLists.assign(255, std::vector<uint8_t>(65535, 0x11));
  for (int i = 0; i < 5; ++i) rec.LogFoundFile(f);
  EXPECT_GE(rec.BlockCount(), 128u);
  EXPECT_EQ(rec.FoundFiles(), 5u);
  const std::string log = rec.LogPath();
  EXPECT_EQ(log.substr(log.size() - 7), "_02.bin");
  EXPECT_EQ(rec.DataPath(), data);
  rec.Close();
  struct stat st;
  EXPECT_EQ(stat((log.substr(0, log.size() - 7) + "_01.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(128 * IoRecorder::kBlockBytes));
  const Decoded d = DecodeFolder(temp.Path());
  ASSERT_TRUE(d.summary.ok) << d.summary.error;
  EXPECT_EQ(d.ops(), (std::vector<uint8_t>{1, 3, 4, 3, 4, 3, 4, 3, 4, 3, 4, 0}));
  EXPECT_EQ(d.records[2].count, 255u);
  EXPECT_EQ(d.records[2].value, 255u * 65535);
}

// The file number carries (09 to 10) and ends at 99.
TEST(IoRecorder, LogNumberCarriesAndEndsAt99) {
  const SwitchesOn on;
  struct Case {
    int from;
    const char* next;  // null: "Too many trace files"
  } cases[] = {{9, "_10.bin"}, {19, "_20.bin"}, {99, nullptr}};
  for (const Case& c : cases) {
    const TempFolder temp("iorec");
    IoRecorder rec;
    rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
    rec.SetRotationForTest(c.from, IoRecorder::kBlocksPerFile - 1);
    for (size_t i = 0; i < IoRecorder::kBlockBytes / 7 + 1; ++i) EXPECT_NO_THROW(rec.LogOp17(1, 0));
    if (c.next) {
      EXPECT_TRUE(rec.IsOpen());
      const std::string log = rec.LogPath();
      EXPECT_EQ(log.substr(log.size() - 7), c.next);
    } else {
      // File 99 keeps room for the end: the record that would need its
      // last block is left out and the trace ends whole.
      EXPECT_FALSE(rec.IsOpen());
      EXPECT_EQ(rec.Problem(), u"Too many trace files");
    }
    rec.Close();
    // The numbers skipped here leave a gap dviotrace would stop at: the
    // files written, one after another, still read as one whole log.
    std::vector<uint8_t> log;
    for (const std::string& f : FilesEnding(temp.Path(), ".bin")) {
      if (f.compare(f.size() - 7, 7, "_00.bin") == 0) continue;
      const std::vector<uint8_t> part = ReadAll(f);
      log.insert(log.end(), part.begin(), part.end());
    }
    size_t records = 0;
    const iotrace::Summary s =
        iotrace::Decode(log.data(), log.size(), [&](const iotrace::Record& r) { records += r.op == iotrace::kOp17; });
    EXPECT_TRUE(s.ok) << s.error;
    EXPECT_TRUE(s.zeroPadded);
    if (!c.next) {
      EXPECT_EQ(records, (IoRecorder::kBlockBytes - kHeaderBytes - 1) / 7);
    }
  }
}

// A folder that refuses a write ends the trace, never the caller: the log
// is cut to its last whole record and ended, the data file cut to match
// (a file-size limit stands in for a full disk).
TEST(IoRecorder, ARefusedWriteEndsTheTraceWhole) {
  const SwitchesOn on;
  std::vector<uint8_t> read(256 * 1024, 0x3C);
  IoTraceFoundFile big;
  big.name = u"big";
  big.runLists.assign(255, std::vector<uint8_t>(6000, 0x11));  // 1.5 MB: two blocks go out
  struct Case {
    const char* what;
    rlim_t limit;
    std::function<void(IoRecorder&)> log;
    std::vector<uint8_t> ops;  // the opcodes kept
    size_t dataBytes;
  } cases[] = {
      {"the log's second block is refused inside a record",
       600 * 1024,
       [&](IoRecorder& r) {
         r.LogOp17(1, 1);
         r.LogOp17(2, 2);
         r.LogFoundFile(big);
         r.LogOp17(3, 3);
       },
       {1, 17, 17, 0},
       0},
      // Reads 1-4 fill the stage and go out whole; read 9 finds the data
      // file full halfway through reads 5-8: reads 7 and on are left out.
      {"the data file is refused halfway through its staged reads",
       1536 * 1024,
       [&](IoRecorder& r) {
         for (int i = 0; i < 12; ++i) r.RecordRead(100000 * i + 1, uint32_t(read.size()), 512, read.data());
       },
       {1, 2, 7, 2, 7, 2, 7, 2, 7, 2, 7, 2, 0},
       6 * 256 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TempFolder temp("iorec");
    IoRecorder rec;
    rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit lower = old;
    lower.rlim_cur = c.limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lower), 0);
    EXPECT_NO_THROW(c.log(rec));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(rec.IsOpen());
    EXPECT_NE(rec.Problem().find(u"File too large"), WString::npos) << ToUtf8(rec.Problem());
    rec.Close();
    const Decoded d = DecodeFolder(temp.Path());
    ASSERT_TRUE(d.summary.ok) << d.summary.error;
    EXPECT_EQ(d.ops(), c.ops);
    EXPECT_EQ(d.data.size(), c.dataBytes);
  }
}

// Closed for reopening and reopened: the log goes on where it was, the
// data file at its end, and the result reads as one trace.
TEST(IoRecorder, FlushCloseAndReopenContinue) {
  const SwitchesOn on;
  const TempFolder temp("iorec");
  IoRecorder rec;
  rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
  std::vector<uint8_t> s(512, 1);
  rec.RecordRead(1, 512, 512, s.data());
  rec.LogOp17(1, 7);
  rec.FlushAndCloseFiles();
  EXPECT_FALSE(rec.IsOpen());
  rec.ReopenFiles();
  EXPECT_TRUE(rec.IsOpen());
  s.assign(512, 2);
  rec.RecordRead(3, 512, 512, s.data());
  rec.Close();
  const Decoded d = DecodeFolder(temp.Path());
  ASSERT_TRUE(d.summary.ok) << d.summary.error;
  EXPECT_EQ(d.ops(), (std::vector<uint8_t>{1, 2, 17, 2, 0}));
  ASSERT_EQ(d.data.size(), 1024u);
  EXPECT_EQ(d.data[0], 1);
  EXPECT_EQ(d.data[512], 2);
  EXPECT_EQ(ReadAll(FilesEnding(temp.Path(), "_01.bin")[0]).size() % 4096, 0u);
}

// Reads need the I/O switch, records the data-trace switch; a closed
// recorder logs nothing.
TEST(IoRecorder, SwitchesGateWhatIsRecorded) {
  const SwitchesOn on;
  const TempFolder temp("iorec");
  IoRecorder rec;
  std::vector<uint8_t> s(512, 1);
  EXPECT_EQ(rec.RecordRead(1, 512, 512, s.data()), 0);  // closed
  rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
  traceIo = 0;
  rec.RecordRead(1, 512, 512, s.data());
  rec.LogOp17(1, 1);
  traceIo = 1;
  traceMft = 0;
  rec.RecordRead(3, 512, 512, s.data());
  rec.LogOp17(1, 1);
  rec.Close();
  const Decoded d = DecodeFolder(temp.Path());
  ASSERT_TRUE(d.summary.ok) << d.summary.error;
  EXPECT_EQ(d.ops(), (std::vector<uint8_t>{1, 17, 2, 0}));
}

// The files are made for the owner only, never through a planted link.
TEST(IoRecorder, FilesAreTheOwnersAndLinksAreNotFollowed) {
  const SwitchesOn on;
  const TempFolder temp("iorec");
  {
    IoRecorder rec;
    rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
    const std::string data = rec.DataPath();
    rec.Close();
    struct stat st;
    ASSERT_EQ(stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  // Links in the places of the data files of this and the next seconds.
  const std::string victim = temp.Path() + "/victim";
  { std::ofstream(victim) << "keep"; }
  const std::time_t now = std::time(nullptr);
  for (int i = 0; i < 3; ++i) {
    const std::time_t at = now + i;
    std::tm t{};
    gmtime_r(&at, &t);
    char name[64];
    std::snprintf(name, sizeof name, "/Marbrix_%02d%02d%02d_%02d%02d%02d_00.bin", t.tm_year % 100, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    const std::string link = temp.Path() + name;
    unlink(link.c_str());
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  }
  IoRecorder again;
  EXPECT_THROW(again.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x"), DvCodeError);
  EXPECT_FALSE(again.IsOpen());
  EXPECT_EQ(ReadAll(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}
