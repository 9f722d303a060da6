// The drive's own reader thread. Every read of a drive runs here, so that
// the requesting thread can wait with a time-out, tell the user which
// sectors a hanging medium is stuck on, and get zeros (with a bitmap saying
// which sectors) where the medium fails, the drive ends or the user
// excluded sectors.
//
// Ownership: the buffer, the bitmaps, the block source (and so its
// descriptor) and the exclusion set of a request are held by reference
// counts that the thread shares. Closing never frees what a read blocked in
// the kernel may still use: when the thread does not end within the close
// time-out it is detached, and it frees them itself when the read returns.
// The thread writes into a caller's memory only for a request the caller
// waits for (it stays blocked until the read has returned, so the memory
// cannot go away under the read); a request started without waiting is read
// into the thread's buffer and copied on the caller's side.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Text.h"

class BlockSource;
class CSectRanges;

// Why the last zero fill of a request happened.
enum IoResultCode : uint32_t {
  kIoClean = 0,
  kIoExcludedHead = 1,
  kIoExcludedGap = 2,
  kIoExcludedTail = 3,
  kIoWhollyExcluded = 4,
  kIoPastEnd = 5,
  kIoReadError = 6,
  kIoShortRead = 7,
};

enum IoBitmap : int { kBitmapZero = 0, kBitmapExc = 1 };

inline constexpr uint32_t kIoBufferBytes = 0x100000;
inline constexpr uint32_t kMinRetryPiece = 0x10000;
inline constexpr int kIoWaitTimeoutMs = 6000;
inline constexpr int kIoCloseTimeoutMs = 5000;
// Time-outs after which a hang is reported as media errors.
inline constexpr int kIoTimeoutsBeforeMediaError = 9;

// The zero-fill marker: a reader that wants to know whether its data was
// patched with zeros sets it to 1; every zero fill (read error, exclusion,
// end of the drive) turns a non-zero value into 2. The zeros after a short
// read leave it alone.
extern std::atomic<int32_t> g_zeroFillMarker;

// While one lives, the calling thread's waits for its reads sleep at once
// instead of spinning first: for a reader that is one stage of a pipeline
// (another thread writes what it read), where the spin only takes a
// processor from the other stage.
class IoWaitsSleep {
 public:
  IoWaitsSleep();
  ~IoWaitsSleep();
  IoWaitsSleep(const IoWaitsSleep&) = delete;
  IoWaitsSleep& operator=(const IoWaitsSleep&) = delete;

 private:
  bool previous_;
};

class IOThread {
 public:
  // Starts the thread. The sector size must be a power of two from 512;
  // out of memory ends in ShowErrorAndThrow.
  IOThread(std::shared_ptr<BlockSource> source, uint32_t sectorSize, uint32_t bufferBytes = kIoBufferBytes);
  ~IOThread();
  IOThread(const IOThread&) = delete;
  IOThread& operator=(const IOThread&) = delete;

  // ---- settings; change them only while no request is pending ----
  // End of the readable area in absolute bytes; beyond it reads are zeros.
  void SetEndOffset(uint64_t bytes);
  uint64_t EndOffset() const;
  // Byte ranges never read (null: none). The set is shared, not copied: the
  // thread keeps the white list it makes in it.
  void SetExclusions(std::shared_ptr<CSectRanges> set);
  // The source reads go to (null: closed; a read then fails).
  void SetSource(std::shared_ptr<BlockSource> source);
  bool HasSource() const;
  // A new buffer of that many bytes (rounded up to whole sectors) with its
  // bitmaps; the old one lives on while a request still uses it. Out of
  // memory ends in ShowErrorAndThrow.
  void Resize(uint32_t bytes);
  uint32_t BufferSize() const;
  uint32_t SectorSize() const { return sectorSize_; }
  // Wait time-out in milliseconds (6000 unless a test shortens it).
  void SetTimeoutMs(int ms) { timeoutMs_ = ms > 0 ? ms : 1; }
  int TimeoutMs() const { return timeoutMs_; }
  void SetCloseTimeoutMs(int ms) { closeTimeoutMs_ = ms >= 0 ? ms : 0; }
  // Name shown in the status texts of a hanging read.
  void SetDisplayName(WStringView name);

  // ---- requests ----
  // Starts reading length bytes (at most BufferSize()) at the absolute byte
  // offset; failed reads are retried in pieces of the retry piece (at least
  // 64 KiB). With a target the bytes (and zero fills) go there instead of
  // the thread's buffer: only for a caller that waits for the request and
  // never abandons it, with memory aligned for direct reads. False when a
  // request is already pending or the length is 0 or too large.
  bool Submit(uint64_t offset, uint32_t length, uint32_t retryPiece, uint8_t* target = nullptr);
  bool Pending() const { return pending_.load(); }
  // Waits for the pending request, reporting each time-out to the view
  // (message 420, then 381). 0 when the request is done (also when none was
  // pending); -1 when the thread has ended without finishing it.
  int WaitForIO();
  // Waits at most ms milliseconds without reporting; true when done.
  bool WaitForIOFor(int ms);
  // Gives up on the pending request (a device being closed): its results
  // are never taken, and the next request is served after it.
  void Abandon() { pending_ = false; }
  // Time-outs counted by the last wait.
  int TimeoutsCounted() const { return timeouts_; }

  // ---- results of the last finished request ----
  // The bytes of the request (zeros where nothing could be read), valid
  // until the next request or Resize.
  uint8_t* Data() const;
  uint32_t BytesValid() const { return bytesValid_; }
  bool ReadError() const { return readError_; }
  uint32_t Result() const { return result_; }
  // Bit i is sector i of the request; BitmapDirty says whether any is set.
  const uint8_t* Bitmap(IoBitmap which) const;
  uint32_t BitmapBytes() const;
  bool BitmapDirty(IoBitmap which) const { return dirty_[which]; }
  bool BitSet(IoBitmap which, uint32_t sectorIndex) const;

  // Ends the thread: waits up to the close time-out, then detaches it if it
  // is still blocked in a read (the last error says so). True when the
  // thread was joined. The object is unusable afterwards.
  bool Close();

  struct Shared;
  struct Buffers;

 private:
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  uint32_t sectorSize_;
  int timeoutMs_ = kIoWaitTimeoutMs;
  int closeTimeoutMs_ = kIoCloseTimeoutMs;
  // Also cleared by a close on another thread while the requester waits.
  std::atomic<bool> pending_{false};
  uint64_t seq_ = 0;
  int timeouts_ = 0;
  // The waiter's spin: misses in a row, waits since it was last tried.
  int spinMisses_ = 0;
  uint32_t spinSkipped_ = 0;
  // Copied from the shared block when a request ends, so readers on the
  // requesting thread need no lock.
  std::shared_ptr<Buffers> resultBuffers_;
  uint32_t bytesValid_ = 0;
  bool readError_ = false;
  uint32_t result_ = kIoClean;
  bool dirty_[2] = {false, false};
};
