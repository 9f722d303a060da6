#include "storage/IoThread.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "tests/support/TestUtil.h"
#include "tests/support/FaultySource.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/UiServices.h"
#include "storage/StorageHost.h"

namespace {

constexpr uint32_t kMiB = 0x100000;
constexpr uint32_t k64K = 0x10000;

struct Reader {
  std::shared_ptr<FaultState> state = std::make_shared<FaultState>();
  std::shared_ptr<std::vector<uint8_t>> bytes;
  std::unique_ptr<IOThread> io;

  explicit Reader(size_t size, uint32_t sectorSize = 512) : bytes(PatternBytes(size)) {
    io = std::make_unique<IOThread>(std::make_shared<FaultySource>(state, bytes), sectorSize);
    io->SetEndOffset(size);
  }
  // A waited read; the thread's data.
  const uint8_t* Read(uint64_t offset, uint32_t length, uint32_t piece = k64K) {
    EXPECT_TRUE(io->Submit(offset, length, piece));
    EXPECT_EQ(io->WaitForIO(), 0);
    return io->Data();
  }
  bool SameAsSource(const uint8_t* data, uint64_t offset, size_t from, size_t length) const {
    return memcmp(data + from, bytes->data() + offset + from, length) == 0;
  }
};

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// Sectors whose bit is set in a bitmap, as a list of [first, last] runs.
std::vector<std::pair<uint32_t, uint32_t>> SetRuns(const IOThread& io, IoBitmap which, uint32_t sectors) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  for (uint32_t i = 0; i < sectors; ++i) {
    if (!io.BitSet(which, i)) continue;
    if (!runs.empty() && runs.back().second + 1 == i) runs.back().second = i;
    else runs.push_back({i, i});
  }
  return runs;
}

TEST(IoThread, CleanReadIsOneDeviceCall) {
  Reader r(4 * kMiB);
  const uint8_t* data = r.Read(kMiB, kMiB);
  EXPECT_TRUE(r.SameAsSource(data, kMiB, 0, kMiB));
  EXPECT_EQ(r.io->Result(), kIoClean);
  EXPECT_FALSE(r.io->ReadError());
  EXPECT_FALSE(r.io->BitmapDirty(kBitmapZero));
  EXPECT_FALSE(r.io->BitmapDirty(kBitmapExc));
  EXPECT_EQ(r.io->BytesValid(), kMiB);
  ASSERT_EQ(r.state->CallCount(), 1u);
  EXPECT_EQ(r.state->Calls()[0].offset, uint64_t(kMiB));
  EXPECT_EQ(r.state->Calls()[0].length, size_t(kMiB));
}

// Waits that sleep at once (a pipelined reader) get the same bytes and the
// same zero fill as spinning ones, nested scopes included.
TEST(IoThread, SleepingWaitsReadTheSame) {
  Reader r(4 * kMiB);
  {
    IoWaitsSleep outer;
    {
      IoWaitsSleep inner;
      for (uint64_t at = 0; at < 4 * kMiB; at += kMiB) EXPECT_TRUE(r.SameAsSource(r.Read(at, kMiB), at, 0, kMiB));
    }
    r.state->bad.push_back({kMiB, kMiB + 512});
    const uint8_t* data = r.Read(kMiB, kMiB);
    EXPECT_TRUE(r.io->ReadError());
    EXPECT_TRUE(AllZero(data, k64K)) << "the failed retry piece";
    EXPECT_TRUE(r.SameAsSource(data, kMiB, k64K, kMiB - k64K));
  }
  r.state->bad.clear();
  EXPECT_TRUE(r.SameAsSource(r.Read(kMiB, kMiB), kMiB, 0, kMiB));
}

// A failed request is read again in retry pieces; a failing piece no longer
// than the retry piece is zero-filled whole.
TEST(IoThread, FailedPiecesAreRetriedAndZeroFilled) {
  struct Case {
    const char* what;
    uint32_t length, piece;
    uint64_t badByte;        // the one bad 512-byte sector, relative to the request
    uint32_t calls;          // device calls
    uint32_t zeroFirst, zeroLength;  // the zero-filled bytes
  };
  const Case cases[] = {
      {"1 MiB, bad sector inside piece 5", kMiB, k64K, 5 * k64K + 3 * 512, 1 + 16, 5 * k64K, k64K},
      {"1 MiB, bad first sector", kMiB, k64K, 0, 17, 0, k64K},
      {"1 MiB, bad last sector", kMiB, k64K, kMiB - 512, 17, 15 * k64K, k64K},
      {"1 MiB, retry piece 256 KiB", kMiB, 4 * k64K, 600 * 512, 1 + 4, 4 * k64K, 4 * k64K},
      {"retry piece below 64 KiB is raised", kMiB, 4096, 7 * 512, 17, 0, k64K},
      {"64 KiB request is not split", k64K, k64K, 512, 1, 0, k64K},
      {"one-sector request", 512, k64K, 0, 1, 0, 512},
      {"remainder piece is shorter", 100 * 1024, k64K, 80 * 1024, 1 + 2, k64K, 100 * 1024 - k64K},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t base = 3 * kMiB;
    Reader r(8 * kMiB);
    r.state->bad.push_back({base + c.badByte, base + c.badByte + 512});
    const uint8_t* data = r.Read(base, c.length, c.piece);
    EXPECT_EQ(r.state->CallCount(), c.calls);
    EXPECT_EQ(r.io->Result(), kIoReadError);
    EXPECT_TRUE(r.io->ReadError());
    EXPECT_TRUE(AllZero(data + c.zeroFirst, c.zeroLength));
    EXPECT_TRUE(r.SameAsSource(data, base, 0, c.zeroFirst));
    EXPECT_TRUE(r.SameAsSource(data, base, c.zeroFirst + c.zeroLength, c.length - c.zeroFirst - c.zeroLength));
    auto runs = SetRuns(*r.io, kBitmapZero, c.length / 512 + 1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first, c.zeroFirst / 512);
    EXPECT_EQ(runs[0].second, (c.zeroFirst + c.zeroLength) / 512 - 1);
    EXPECT_FALSE(r.io->BitmapDirty(kBitmapExc));
    // The pieces after the first failure are read in ascending order.
    auto calls = r.state->Calls();
    for (size_t i = 2; i < calls.size(); ++i) EXPECT_GT(calls[i].offset, calls[i - 1].offset);
  }
}

// The one-bad-sector request in detail: 15 clean 64 KiB pieces and one
// zero-filled piece, result 6.
TEST(IoThread, OneBadSectorInOneMebibyte) {
  Reader r(2 * kMiB);
  r.state->bad.push_back({9 * k64K + 4096, 9 * k64K + 4096 + 512});
  const uint8_t* data = r.Read(0, kMiB);
  auto calls = r.state->Calls();
  ASSERT_EQ(calls.size(), 17u);
  EXPECT_EQ(calls[0].length, size_t(kMiB));
  int clean = 0;
  for (size_t i = 1; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].length, size_t(k64K));
    EXPECT_EQ(calls[i].offset, uint64_t(i - 1) * k64K);
    const size_t at = size_t(calls[i].offset);
    if (r.SameAsSource(data, 0, at, k64K)) ++clean;
    else EXPECT_TRUE(AllZero(data + at, k64K));
  }
  EXPECT_EQ(clean, 15);
  EXPECT_EQ(r.io->Result(), 6u);
  for (uint32_t s = 0; s < 2048; ++s) EXPECT_EQ(r.io->BitSet(kBitmapZero, s), s / 128 == 9) << s;
}

TEST(IoThread, ExclusionsAreZeroFilledAndNeverRead) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // relative to the request
    uint32_t result;
    std::vector<std::pair<uint32_t, uint32_t>> reads;  // relative [start, end)
  };
  const Case cases[] = {
      {"wholly excluded", {{0, kMiB}}, kIoWhollyExcluded, {}},
      {"wholly inside a larger range", {{0, 0}}, kIoWhollyExcluded, {}},
      {"excluded head", {{0, 8192}}, kIoExcludedHead, {{8192, kMiB}}},
      {"excluded gap", {{4096, 8192}}, kIoExcludedGap, {{0, 4096}, {8192, kMiB}}},
      {"excluded tail", {{kMiB - 512, kMiB}}, kIoExcludedTail, {{0, kMiB - 512}}},
      {"head, gaps and tail", {{0, 512}, {4096, 5120}, {9000, 10000}, {kMiB - 1024, kMiB}},
       kIoExcludedTail, {{512, 4096}, {5120, 9000}, {10000, kMiB - 1024}}},
      {"range elsewhere", {{2 * kMiB, 3 * kMiB}}, kIoClean, {{0, kMiB}}},
  };
  const uint64_t base = 4 * kMiB;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reader r(8 * kMiB);
    auto set = std::make_shared<CSectRanges>();
    if (std::string(c.what) == "wholly inside a larger range") set->AddRange(base - 5000, base + kMiB + 5000);
    for (auto& g : c.ranges)
      if (g.second > g.first) set->AddRange(base + g.first, base + g.second);
    r.io->SetExclusions(set);
    const uint8_t* data = r.Read(base, kMiB);
    EXPECT_EQ(r.io->Result(), c.result);
    EXPECT_FALSE(r.io->ReadError());
    auto calls = r.state->Calls();
    ASSERT_EQ(calls.size(), c.reads.size());
    uint32_t at = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].offset, base + c.reads[i].first);
      EXPECT_EQ(calls[i].length, size_t(c.reads[i].second - c.reads[i].first));
      EXPECT_TRUE(AllZero(data + at, c.reads[i].first - at));
      EXPECT_TRUE(r.SameAsSource(data, base, c.reads[i].first, c.reads[i].second - c.reads[i].first));
      at = c.reads[i].second;
    }
    EXPECT_TRUE(AllZero(data + at, kMiB - at));
    EXPECT_EQ(r.io->BitmapDirty(kBitmapExc), c.result != kIoClean);
    EXPECT_FALSE(r.io->BitmapDirty(kBitmapZero));
    if (c.result == kIoWhollyExcluded) {
      for (uint32_t s = 0; s < 2048; ++s) ASSERT_TRUE(r.io->BitSet(kBitmapExc, s)) << s;
    }
  }
}

// Every request of a sequence inside the readable gap found last time is
// read without building a white list again, and stays correct.
TEST(IoThread, RequestsInsideTheLastGapAreReadWhole) {
  Reader r(8 * kMiB);
  auto set = std::make_shared<CSectRanges>();
  set->AddRange(0, 4096);
  set->AddRange(6 * kMiB, 6 * kMiB + 4096);
  r.io->SetExclusions(set);
  for (uint64_t off = kMiB; off < 5 * kMiB; off += kMiB) {
    const uint8_t* data = r.Read(off, kMiB);
    EXPECT_TRUE(r.SameAsSource(data, off, 0, kMiB));
    EXPECT_EQ(r.io->Result(), kIoClean);
  }
  EXPECT_EQ(r.state->CallCount(), 4u);
  EXPECT_EQ(set->LastGapFirst(), 4096u);
  EXPECT_EQ(set->LastGapEnd(), uint64_t(6 * kMiB));
}

TEST(IoThread, PastTheEndIsZeroFilled) {
  const uint64_t size = 100 * 512;
  Reader r(size);
  // 8 sectors starting 2 before the end: 2 of data, 6 of zeros.
  const uint8_t* data = r.Read(size - 2 * 512, 8 * 512);
  EXPECT_EQ(r.io->Result(), kIoPastEnd);
  EXPECT_FALSE(r.io->ReadError());
  EXPECT_TRUE(r.SameAsSource(data, size - 1024, 0, 1024));
  EXPECT_TRUE(AllZero(data + 1024, 6 * 512));
  EXPECT_EQ(SetRuns(*r.io, kBitmapZero, 16), (std::vector<std::pair<uint32_t, uint32_t>>{{2, 7}}));
  ASSERT_EQ(r.state->CallCount(), 1u);
  EXPECT_EQ(r.state->Calls()[0].length, 1024u);

  // At and past the end nothing is read.
  for (uint64_t at : {size, size + 512, uint64_t(1) << 62}) {
    data = r.Read(at, 4096);
    EXPECT_EQ(r.io->Result(), kIoPastEnd);
    EXPECT_TRUE(AllZero(data, 4096));
  }
  EXPECT_EQ(r.state->CallCount(), 1u);
}

TEST(IoThread, ShortReads) {
  // A source that ends inside a sector: the sector counts as read.
  Reader r(4096);
  r.state->shortAt = 4096 - 100;
  r.Read(0, 4096);
  EXPECT_EQ(r.io->Result(), kIoShortRead);
  EXPECT_FALSE(r.io->ReadError());
  EXPECT_TRUE(AllZero(r.io->Data() + 3996, 100));
  EXPECT_TRUE(r.io->BitSet(kBitmapZero, 7));
  // One that stops whole sectors short is an error.
  r.state->shortAt = 1024;
  r.Read(0, 4096);
  EXPECT_EQ(r.io->Result(), kIoShortRead);
  EXPECT_TRUE(r.io->ReadError());
  EXPECT_EQ(SetRuns(*r.io, kBitmapZero, 8), (std::vector<std::pair<uint32_t, uint32_t>>{{2, 7}}));
}

TEST(IoThread, ZeroFillMarker) {
  Reader r(kMiB);
  g_zeroFillMarker = 1;
  r.state->shortAt = 1024;
  r.Read(0, 4096);
  EXPECT_EQ(g_zeroFillMarker.load(), 1) << "a short read leaves the marker";
  r.state->shortAt = ~0ull;
  r.state->bad.push_back({0, 512});
  r.Read(0, 4096);
  EXPECT_EQ(g_zeroFillMarker.load(), 2);
  g_zeroFillMarker = 0;
  r.Read(0, 4096);
  EXPECT_EQ(g_zeroFillMarker.load(), 0) << "an unset marker stays unset";
}

TEST(IoThread, RefusedRequestsAndResize) {
  Reader r(4 * kMiB);
  EXPECT_FALSE(r.io->Submit(0, 0, k64K));
  EXPECT_FALSE(r.io->Submit(0, kMiB + 512, k64K));
  EXPECT_EQ(r.io->BufferSize(), kMiB);
  r.io->Resize(2 * kMiB + 1);
  EXPECT_EQ(r.io->BufferSize(), 2 * kMiB + 512);
  const uint8_t* data = r.Read(0, 2 * kMiB);
  EXPECT_EQ(r.io->BitmapBytes(), (2 * kMiB / 512 + 1 + 7) / 8);
  EXPECT_TRUE(r.SameAsSource(data, 0, 0, 2 * kMiB));
  EXPECT_TRUE(r.io->Submit(0, 512, k64K));
  EXPECT_FALSE(r.io->Submit(0, 512, k64K)) << "one request at a time";
  EXPECT_EQ(r.io->WaitForIO(), 0);
  // No source: every read fails and is zero-filled.
  r.io->SetSource(nullptr);
  data = r.Read(0, 4096);
  EXPECT_EQ(r.io->Result(), kIoReadError);
  EXPECT_TRUE(AllZero(data, 4096));
}

TEST(IoThread, FourKibibyteSectors) {
  Reader r(kMiB, 4096);
  r.state->bad.push_back({5 * k64K, 5 * k64K + 4096});
  r.Read(0, kMiB);
  EXPECT_EQ(r.io->BitmapBytes(), 32u);
  EXPECT_EQ(SetRuns(*r.io, kBitmapZero, 256), (std::vector<std::pair<uint32_t, uint32_t>>{{80, 95}}));
}

// ------------------------------------------------------------ hanging reads

class HangingRead : public testing::Test {
 protected:
  void SetUp() override { g_appState->view = &view; }
  void TearDown() override { g_appState->view = nullptr; }
  std::vector<WString> WaitForLines(size_t n) { return WaitForViewLines(view, n); }
  GlobalObjectsScope scope;
  HeadlessView view;
};

TEST_F(HangingRead, StatusTextsWhileTheMediumHangs) {
  Reader r(4 * kMiB);
  r.io->SetTimeoutMs(2);
  r.io->SetDisplayName(u"sdz");
  r.state->hangAt.push_back(kMiB + 5000);
  ASSERT_TRUE(r.io->Submit(kMiB, kMiB, k64K));
  int rc = -2;
  std::thread waiter([&] { rc = r.io->WaitForIO(); });
  auto lines = WaitForLines(13);
  r.state->Release();
  waiter.join();
  EXPECT_EQ(rc, 0);
  lines = view.log;
  ASSERT_GE(lines.size(), 13u);
  EXPECT_EQ(size_t(r.io->TimeoutsCounted()), lines.size());
  const WString reading = u"Reading sectors 2048 to 4095 on sdz ...";
  const WString media = FormatW(Msg(381), int64_t(2048), int64_t(4095), u"sdz");
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], i < 9 ? reading : media) << i;
  EXPECT_EQ(media.substr(0, 45), u"Media errors reading sectors 2048 to 4095 on ");
}

// A storage host of its own takes the lines instead of the view.
TEST_F(HangingRead, LinesGoToTheStorageHost) {
  struct Host : StorageHost {
    std::mutex m;
    std::vector<WString> lines;
    void IoStatusLine(WString line) override {
      std::lock_guard<std::mutex> lock(m);
      lines.push_back(std::move(line));
    }
    size_t Count() {
      std::lock_guard<std::mutex> lock(m);
      return lines.size();
    }
  } host;
  SetStorageHost(&host);
  Reader r(4 * kMiB);
  r.io->SetTimeoutMs(2);
  r.io->SetDisplayName(u"sdz");
  r.state->hangAt.push_back(0);
  ASSERT_TRUE(r.io->Submit(0, kMiB, k64K));
  std::thread waiter([&] { r.io->WaitForIO(); });
  for (int i = 0; i < 3000 && host.Count() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  r.state->Release();
  waiter.join();
  SetStorageHost(nullptr);
  ASSERT_GE(host.lines.size(), 2u);
  EXPECT_EQ(host.lines[0], u"Reading sectors 0 to 2047 on sdz ...");
  std::lock_guard<std::mutex> lock(view.m);
  EXPECT_TRUE(view.log.empty());
}

TEST_F(HangingRead, RetryPiecesReportMediaErrorsAtOnce) {
  struct Case {
    const char* what;
    uint32_t length;
    bool failFirst;  // the whole request fails first, then a piece hangs
    uint64_t hangAt;
    int64_t first, last;
  };
  const Case cases[] = {
      {"request of one retry piece", k64K, false, 1000, 0, 127},
      {"hang in a retry piece", kMiB, true, 3 * k64K + 10, 3 * 128, 4 * 128 - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    view.log.clear();
    Reader r(4 * kMiB);
    // Long enough that the first, failing whole read never times out on a
    // loaded machine; only the hanging piece does.
    r.io->SetTimeoutMs(50);
    r.io->SetDisplayName(u"img");
    if (c.failFirst) {
      r.state->bad.push_back({kMiB - 512, kMiB});  // the whole read fails on the last piece
      r.state->hangOnlyUpTo = k64K;                // and the fourth piece hangs
    }
    r.state->hangAt.push_back(c.hangAt);
    ASSERT_TRUE(r.io->Submit(0, c.length, k64K));
    int rc = -2;
    std::thread waiter([&] { rc = r.io->WaitForIO(); });
    auto lines = WaitForLines(3);
    r.state->Release();
    waiter.join();
    EXPECT_EQ(rc, 0);
    ASSERT_GE(lines.size(), 3u);
    // A machine too busy to start the first read within the time-out says
    // so first; the media error must still be the next line.
    size_t k = 0;
    while (k + 1 < lines.size() && lines[k].rfind(u"Reading sectors 0 to ", 0) == 0) ++k;
    EXPECT_EQ(lines[k], FormatW(Msg(381), c.first, c.last, u"img"));
  }
}

// Closing while a read is blocked in the kernel: the thread is detached and
// keeps its buffer and its source (and so the descriptor) until the read
// returns; only then are they freed.
TEST(IoThreadClose, BlockedReaderKeepsItsBufferAndDescriptor) {
  const TempFolder dirTemp("ioclose");
  std::string dir = dirTemp.Path();
  std::string path = dir + "/img";
  WriteFileText(path, std::string(kMiB, 'x'));
  auto state = std::make_shared<FaultState>();
  std::unique_ptr<BlockSource> file = FileBlockSource::Open(path, false);
  ASSERT_TRUE(file);
  const int fd = file->Descriptor();
  state->hangAt.push_back(0);
  auto io = std::make_unique<IOThread>(std::make_shared<FaultySource>(state, std::move(file)), 512);
  io->SetEndOffset(kMiB);
  io->SetCloseTimeoutMs(20);
  ASSERT_TRUE(io->Submit(0, kMiB, k64K));
  ASSERT_TRUE(state->WaitUntilHanging());
  EXPECT_FALSE(io->Close()) << "the blocked reader is detached";
  io.reset();
  // The descriptor is still the reader's: nothing else can get its number.
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
  {
    std::lock_guard<std::mutex> lock(state->m);
    EXPECT_FALSE(state->destroyed);
  }
  // The read returns and writes the whole buffer (ASan would catch a
  // freed one); then the thread frees everything itself.
  state->Release();
  ASSERT_TRUE(state->WaitUntilDestroyed());
  EXPECT_FALSE(state->destroyedWhileHanging);
  for (int i = 0; i < 1000 && fcntl(fd, F_GETFD) != -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(IoThreadClose, IdleThreadIsJoined) {
  Reader r(kMiB);
  r.Read(0, 4096);
  EXPECT_TRUE(r.io->Close());
  EXPECT_TRUE(r.io->Close());
  EXPECT_FALSE(r.io->Submit(0, 512, k64K));
}

}  // namespace
