#include "storage/IoThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "storage/BlockSource.h"
#include "storage/StorageHost.h"

std::atomic<int32_t> g_zeroFillMarker{0};

struct IOThread::Buffers {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  uint8_t* bitmaps[2] = {nullptr, nullptr};
  uint32_t bitmapBytes = 0;

  Buffers() = default;
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  ~Buffers() {
    AlignedFree(data);
    AlignedFree(bitmaps[0]);
    AlignedFree(bitmaps[1]);
  }
};

struct IOThread::Shared {
  std::mutex m;
  std::condition_variable cv;
  uint32_t sectorSize = 512;
  uint32_t id = 0;

  // The request block, written by the requester under the lock.
  // Written under the lock; read without it by the short spins below.
  std::atomic<uint64_t> requestSeq{0}, doneSeq{0};
  uint64_t takenSeq = 0;  // the thread's own
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t retryPiece = kMinRetryPiece;
  uint8_t* target = nullptr;  // a waiting caller's buffer, or null
  std::shared_ptr<BlockSource> source;
  std::shared_ptr<Buffers> buffers;
  std::shared_ptr<CSectRanges> exclusions;
  uint64_t endOffset = ~0ull;
  std::atomic<bool> exited{false};
  WString displayName;

  // Results of the last finished request, under the lock.
  std::shared_ptr<Buffers> doneBuffers;
  uint32_t bytesValid = 0;
  bool readError = false;
  uint32_t result = kIoClean;
  bool dirty[2] = {false, false};

  // Read by the waiting thread for its status texts, and by the read loop.
  std::atomic<uint64_t> position{0};
  std::atomic<uint32_t> pieceLength{0};
  std::atomic<uint32_t> roundRetryPiece{kMinRetryPiece};
  std::atomic<bool> exit{false};
};

namespace {

std::atomic<uint32_t> g_nextThreadId{1};

// Putting a thread to sleep and waking it costs more than a read served
// from the page cache takes (tens of microseconds, more in a virtual
// machine), so each side looks a little while before it sleeps: the waiter
// for the read, the reader for the next request.
constexpr int64_t kWaitSpinNs = 200'000;
constexpr int64_t kIdleSpinNs = 100'000;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// On a single processor a spin only keeps the other side from running.
const bool g_canSpin = std::thread::hardware_concurrency() > 1;

template <class Ready>
bool SpinFor(int64_t ns, Ready&& ready) {
  if (!g_canSpin) return ready();
  const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns);
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
      CpuRelax();
    }
    if (std::chrono::steady_clock::now() >= until) return ready();
  }
}

// A spin that keeps missing only burns a processor the other side (or the
// caller's own work) could use: after two misses in a row the spin is tried
// again only every 32nd time, to notice when waits turn short again.
bool SpinWorthTrying(int& misses, uint32_t& skipped) {
  if (misses < 2) return true;
  if (++skipped < 32) return false;
  skipped = 0;
  return true;
}

void NoteSpin(bool ready, int& misses) { misses = ready ? 0 : std::min(misses + 1, 2); }

thread_local bool t_waitsSleep = false;

std::shared_ptr<IOThread::Buffers> MakeBuffers(uint32_t bytes, uint32_t sectorSize) {
  auto b = std::make_shared<IOThread::Buffers>();
  uint64_t rounded = (uint64_t(bytes) + sectorSize - 1) / sectorSize * sectorSize;
  if (rounded == 0) rounded = sectorSize;
  if (rounded > 0xFFFFFFFFull - sectorSize) rounded = 0x100000000ull - sectorSize;
  b->size = uint32_t(rounded);
  const uint64_t sectors = rounded / sectorSize;
  b->bitmapBytes = uint32_t((sectors + 7) / 8);
  b->data = static_cast<uint8_t*>(AlignedAlloc(b->size));
  b->bitmaps[0] = static_cast<uint8_t*>(AlignedAlloc(b->bitmapBytes));
  b->bitmaps[1] = static_cast<uint8_t*>(AlignedAlloc(b->bitmapBytes));
  if (!b->data || !b->bitmaps[0] || !b->bitmaps[1]) ShowErrorAndThrow();
  return b;
}

// Sets the bits of sectors first..last (inclusive), whole bytes at a time
// where eight aligned bits fall together.
void SetBits(uint8_t* bitmap, uint32_t bitmapBytes, uint64_t first, uint64_t last) {
  const uint64_t limit = uint64_t(bitmapBytes) * 8;
  if (first >= limit) return;
  if (last >= limit) last = limit - 1;
  uint64_t i = first;
  while (i <= last && (i & 7) != 0) {
    bitmap[i >> 3] |= uint8_t(1u << (i & 7));
    ++i;
  }
  while (i + 7 <= last) {
    bitmap[i >> 3] = 0xFF;
    i += 8;
  }
  for (; i <= last; ++i) bitmap[i >> 3] |= uint8_t(1u << (i & 7));
}

struct Piece {
  uint32_t start;
  uint32_t length;
};

struct Round {
  IOThread::Shared& s;
  uint64_t offset;
  IOThread::Buffers& b;
  uint8_t* data;  // where the bytes go: b.data or the caller's buffer
  uint32_t result = kIoClean;
  bool readError = false;
  bool dirty[2] = {false, false};

  void ZeroFill(uint32_t start, uint32_t length, IoBitmap which, bool touchMarker) {
    if (length == 0) return;
    if (touchMarker) {
      int32_t expected = g_zeroFillMarker.load();
      while (expected != 0 && !g_zeroFillMarker.compare_exchange_weak(expected, 2)) {
      }
    }
    memset(data + start, 0, length);
    const uint32_t ss = s.sectorSize;
    SetBits(b.bitmaps[which], b.bitmapBytes, start / ss, (uint64_t(start) + length - 1) / ss);
    dirty[which] = true;
    if (traceIo)
      TracePrintfA("%s %I64d %I64d\n", which == kBitmapZero ? "Zero" : "Exc", int64_t((offset + start) / ss),
                   int64_t((offset + start + length - 1) / ss));
  }
};

// Reads one request into the buffers. False when the exit flag ended it.
bool RunRound(IOThread::Shared& s, uint64_t offset, uint32_t length, uint32_t retryPiece, BlockSource* source,
              IOThread::Buffers& b, CSectRanges* exclusions, uint64_t endOffset, Round& r) {
  const uint32_t ss = s.sectorSize;
  if (retryPiece < kMinRetryPiece) retryPiece = kMinRetryPiece;
  retryPiece -= retryPiece % ss;
  s.roundRetryPiece.store(retryPiece);
  if (length > b.size) length = b.size;
  memset(b.bitmaps[0], 0, b.bitmapBytes);
  memset(b.bitmaps[1], 0, b.bitmapBytes);

  // The end of the drive first: nothing past it is read, with or without
  // exclusions.
  uint32_t readable = length;
  if (offset >= endOffset) readable = 0;
  else if (endOffset - offset < length) readable = uint32_t(endOffset - offset);
  if (readable < length) {
    r.ZeroFill(readable, length - readable, kBitmapZero, true);
    r.result = kIoPastEnd;
  }

  std::vector<Piece> stack;  // read from the back, so pushed in descending order
  if (readable > 0) {
    const uint64_t readEnd = offset + readable;
    if (exclusions && !(offset >= exclusions->LastGapFirst() && readEnd <= exclusions->LastGapEnd())) {
      const uint32_t n = exclusions->MakeWhiteList(offset, readable);
      const auto& starts = exclusions->PieceStarts();
      const auto& ends = exclusions->PieceEnds();
      if (n == 0) {
        r.ZeroFill(0, readable, kBitmapExc, true);
        r.result = kIoWhollyExcluded;
      } else {
        if (starts[0] > 0) {
          r.ZeroFill(0, starts[0], kBitmapExc, true);
          r.result = kIoExcludedHead;
        }
        for (uint32_t i = 1; i < n; ++i) {
          if (starts[i] > ends[i - 1]) {
            r.ZeroFill(ends[i - 1], starts[i] - ends[i - 1], kBitmapExc, true);
            r.result = kIoExcludedGap;
          }
        }
        if (ends[n - 1] < readable) {
          r.ZeroFill(ends[n - 1], readable - ends[n - 1], kBitmapExc, true);
          r.result = kIoExcludedTail;
        }
        for (uint32_t i = n; i-- > 0;) stack.push_back(Piece{starts[i], ends[i] - starts[i]});
      }
    } else {
      stack.push_back(Piece{0, readable});
    }
  }

  while (!stack.empty()) {
    const Piece p = stack.back();
    stack.pop_back();
    const uint64_t position = offset + p.start;
    s.position.store(position);
    s.pieceLength.store(p.length);
    int64_t n;
    int err = 0;
    if (position > uint64_t(INT64_MAX) || !source) {
      n = -1;
      err = source ? EINVAL : EBADF;
    } else {
      n = source->ReadAt(r.data + p.start, p.length, position);
      err = errno;
    }
    // Checked before anything else: after a close gave up on this thread the
    // drive and the program's objects may be gone.
    if (s.exit.load()) return false;
    if (n >= 0 && uint64_t(n) >= p.length) continue;
    if (n >= 0) {
      r.result = kIoShortRead;
      const uint32_t got = uint32_t(n);
      r.ZeroFill(p.start + got, p.length - got, kBitmapZero, false);
      const uint64_t roundedUp = (uint64_t(got) + ss - 1) / ss * ss;
      if (roundedUp != p.length) r.readError = true;
      continue;
    }
    r.readError = true;
    errno = err;
    ErrorMsg(nullptr, u"Read error");
    if (traceIo) {
      TracePrintfA("rc=%ld, count=%ld workBuf=%p offset=%ld readSize=%ld readOffset=%I64d\n", int32_t(err), int32_t(0),
                   static_cast<const void*>(r.data), int32_t(p.start), int32_t(p.length), int64_t(position));
      TracePrintfA("Read error: %s\n", ToUtf8(LastErrorText()));
    }
    if (p.length > retryPiece && p.length > ss) {
      const uint32_t count = (p.length + retryPiece - 1) / retryPiece;
      for (uint32_t k = count; k-- > 0;) {
        const uint32_t start = k * retryPiece;
        stack.push_back(Piece{p.start + start, std::min(retryPiece, p.length - start)});
      }
    } else {
      r.ZeroFill(p.start, p.length, kBitmapZero, true);
      r.result = kIoReadError;
    }
  }
  return true;
}

void ThreadBody(std::shared_ptr<IOThread::Shared> s, int descriptor) {
  if (traceIo) TracePrintfA("Thread %08x starting with Dev %d\n", s->id, descriptor);
  int idleMisses = 0;
  uint32_t idleSkipped = 0;
  for (;;) {
    uint64_t seq, offset;
    uint32_t length, retryPiece;
    std::shared_ptr<BlockSource> source;
    std::shared_ptr<IOThread::Buffers> buffers;
    std::shared_ptr<CSectRanges> exclusions;
    uint64_t endOffset;
    uint8_t* target;
    {
      std::unique_lock<std::mutex> lock(s->m);
      s->cv.wait(lock, [&] { return s->exit.load() || s->requestSeq.load() != s->takenSeq; });
      if (s->exit.load()) break;
      seq = s->takenSeq = s->requestSeq.load();
      offset = s->offset;
      length = s->length;
      retryPiece = s->retryPiece;
      target = s->target;
      s->target = nullptr;
      source = s->source;
      buffers = s->buffers;
      exclusions = s->exclusions;
      endOffset = s->endOffset;
    }
    Round r{*s, offset, *buffers, target ? target : buffers->data};
    if (!RunRound(*s, offset, length, retryPiece, source.get(), *buffers, exclusions.get(), endOffset, r)) break;
    {
      std::lock_guard<std::mutex> lock(s->m);
      s->doneSeq.store(seq);
      s->doneBuffers = buffers;
      s->bytesValid = std::min(length, buffers->size);
      s->readError = r.readError;
      s->result = r.result;
      s->dirty[0] = r.dirty[0];
      s->dirty[1] = r.dirty[1];
    }
    s->cv.notify_all();
    // The next request of a sequential reader usually follows at once.
    if (SpinWorthTrying(idleMisses, idleSkipped))
      NoteSpin(SpinFor(kIdleSpinNs,
                       [&] { return s->exit.load() || s->requestSeq.load(std::memory_order_acquire) != seq; }),
               idleMisses);
  }
  {
    std::lock_guard<std::mutex> lock(s->m);
    s->exited.store(true);
  }
  s->cv.notify_all();
}

}  // namespace

IoWaitsSleep::IoWaitsSleep() : previous_(t_waitsSleep) { t_waitsSleep = true; }
IoWaitsSleep::~IoWaitsSleep() { t_waitsSleep = previous_; }

IOThread::IOThread(std::shared_ptr<BlockSource> source, uint32_t sectorSize, uint32_t bufferBytes)
    : shared_(std::make_shared<Shared>()), sectorSize_(sectorSize) {
  if (sectorSize_ < 512 || (sectorSize_ & (sectorSize_ - 1)) != 0) sectorSize_ = 512;
  shared_->sectorSize = sectorSize_;
  shared_->id = g_nextThreadId.fetch_add(1);
  shared_->source = std::move(source);
  shared_->buffers = MakeBuffers(bufferBytes, sectorSize_);
  resultBuffers_ = shared_->buffers;
  if (traceIo) TracePrintfA("IO thread %08x\n", shared_->id);
  try {
    thread_ = std::thread(ThreadBody, shared_, shared_->source ? shared_->source->Descriptor() : -1);
  } catch (const std::system_error&) {
    ErrorMsg(nullptr, u"IO thread");
    throw DvCodeError{0};
  }
}

IOThread::~IOThread() { Close(); }

void IOThread::SetEndOffset(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->endOffset = bytes;
}

uint64_t IOThread::EndOffset() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->endOffset;
}

void IOThread::SetExclusions(std::shared_ptr<CSectRanges> set) {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->exclusions = std::move(set);
}

void IOThread::SetSource(std::shared_ptr<BlockSource> source) {
  std::shared_ptr<BlockSource> old;
  {
    std::lock_guard<std::mutex> lock(shared_->m);
    old = std::move(shared_->source);
    shared_->source = std::move(source);
  }
  // `old` is released here, outside the lock; a round still reading from it
  // holds its own reference, so its descriptor stays open until it returns.
}

bool IOThread::HasSource() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->source != nullptr;
}

void IOThread::Resize(uint32_t bytes) {
  auto fresh = MakeBuffers(bytes, sectorSize_);
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->buffers = std::move(fresh);
}

uint32_t IOThread::BufferSize() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->buffers->size;
}

void IOThread::SetDisplayName(WStringView name) {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->displayName = WString(name);
}

bool IOThread::Submit(uint64_t offset, uint32_t length, uint32_t retryPiece, uint8_t* target) {
  if (pending_ || length == 0 || !thread_.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(shared_->m);
    if (length > shared_->buffers->size || shared_->exited) return false;
    shared_->offset = offset;
    shared_->length = length;
    shared_->retryPiece = retryPiece;
    shared_->target = target;
    shared_->position.store(offset);
    shared_->pieceLength.store(length);
    seq_ = ++shared_->requestSeq;
  }
  pending_ = true;
  shared_->cv.notify_all();
  return true;
}

bool IOThread::WaitForIOFor(int ms) {
  if (!pending_) return true;
  std::unique_lock<std::mutex> lock(shared_->m);
  return shared_->cv.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                              [&] { return shared_->doneSeq >= seq_ || shared_->exited; });
}

int IOThread::WaitForIO() {
  timeouts_ = 0;
  if (!pending_) return 0;
  Shared& s = *shared_;
  auto done = [&] { return s.doneSeq.load(std::memory_order_acquire) >= seq_ || s.exited.load(); };
  if (!t_waitsSleep && SpinWorthTrying(spinMisses_, spinSkipped_))
    NoteSpin(SpinFor(kWaitSpinNs, done), spinMisses_);
  std::unique_lock<std::mutex> lock(shared_->m);
  while (!s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs_), done)) {
    ++timeouts_;
    const uint64_t position = s.position.load();
    const uint32_t piece = s.pieceLength.load();
    const int id = (piece > s.roundRetryPiece.load() && timeouts_ <= kIoTimeoutsBeforeMediaError) ? 420 : 381;
    const int64_t first = int64_t(position / sectorSize_);
    const int64_t last = int64_t((position + piece) / sectorSize_) - 1;
    WString text = FormatW(Msg(id), first, last, s.displayName);
    if (text.size() > 256) text.resize(256);
    lock.unlock();
    if (traceIo) TracePrintfA("WaitForIO: %s\n", ToUtf8(text));
    theStorageHost().IoStatusLine(text);
    lock.lock();
  }
  pending_ = false;
  if (s.doneSeq < seq_) {
    ErrorMsg(u"The drive's reader ended before the read was done.");
    return -1;
  }
  resultBuffers_ = s.doneBuffers;
  bytesValid_ = s.bytesValid;
  readError_ = s.readError;
  result_ = s.result;
  dirty_[0] = s.dirty[0];
  dirty_[1] = s.dirty[1];
  return 0;
}

uint8_t* IOThread::Data() const { return resultBuffers_->data; }

const uint8_t* IOThread::Bitmap(IoBitmap which) const { return resultBuffers_->bitmaps[which & 1]; }

uint32_t IOThread::BitmapBytes() const { return resultBuffers_->bitmapBytes; }

bool IOThread::BitSet(IoBitmap which, uint32_t sectorIndex) const {
  if (sectorIndex / 8 >= resultBuffers_->bitmapBytes) return false;
  return (resultBuffers_->bitmaps[which & 1][sectorIndex / 8] >> (sectorIndex & 7)) & 1;
}

bool IOThread::Close() {
  if (!thread_.joinable()) return true;
  if (traceIo) TracePrintfA("IO thread %08x closing\n", shared_->id);
  {
    std::lock_guard<std::mutex> lock(shared_->m);
    shared_->exit.store(true);
  }
  shared_->cv.notify_all();
  bool ended;
  {
    std::unique_lock<std::mutex> lock(shared_->m);
    ended = shared_->cv.wait_for(lock, std::chrono::milliseconds(closeTimeoutMs_), [&] { return shared_->exited.load(); });
  }
  pending_ = false;
  if (ended) {
    thread_.join();
    if (traceIo) TracePrintfA("rc=%ld\n", int32_t(0));
    return true;
  }
  // Blocked in the kernel: the thread keeps the buffers and the source (and
  // so the descriptor number) until its read returns, then frees them.
  VErrorMsg(u"The reader of %s did not end within %d ms; it is left to finish on its own.", shared_->displayName,
            closeTimeoutMs_);
  if (traceIo) TracePrintfA("rc=%ld\n", int32_t(ETIMEDOUT));
  thread_.detach();
  return false;
}
