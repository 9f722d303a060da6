#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/Text.h"
#include "storage/IoThread.h"

class RecFile;
class CHashFile;
struct RecMemory;

// The output of a recovery: the writer or the caller's memory.
struct Sink {
  RecFile* file = nullptr;
  RecMemory* memory = nullptr;
  CHashFile* hash = nullptr;
  bool Put(const uint8_t* data, size_t n);
  bool Zeros(uint64_t n);
  // n bytes of a hole: zeros to the hash and to memory, nothing written to
  // a file (RecFile::WriteHole).
  bool Hole(uint64_t n);
};

// A large file's data is written on a thread of its own while the next
// pieces are read: from a fast source the reads and the writes then overlap
// instead of adding up. Pieces are filled by the reading side in order and
// written in that order; the hash is the reading side's. While it lives,
// the reading thread's I/O waits sleep instead of spinning: the spin would
// take a processor from the writer.
class PieceWriter {
 public:
  static constexpr int kBuffers = 3;
  // Files at least this long go through a writer thread.
  static constexpr uint64_t kMinFileBytes = 0x800000;

  // The buffers are the calling thread's scratch slots 2 to 4.
  PieceWriter(RecFile* file, size_t bufferBytes);
  ~PieceWriter() { Abandon(); }
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  // Room for n more bytes, contiguous with the bytes committed so far when
  // they fit the piece being filled; null when a write has failed.
  uint8_t* Room(size_t n);
  void Commit(size_t n) { fill_ += n; }
  // n zero bytes after the data so far; false when a write has failed.
  bool Zeros(uint64_t n, CHashFile* hash);
  // The same as a hole: nothing is written over it.
  bool Hole(uint64_t n, CHashFile* hash);
  // Writes what is left and ends the thread; false (last error the
  // write's) when a write failed.
  bool Finish();
  // Ends the thread without writing what is queued; the last error stays
  // the reading side's unless a write failed first.
  void Abandon();

 private:
  struct Job {
    int buffer;  // -1: zeros, -2: a hole
    size_t bytes;
    uint64_t zeros;
  };
  bool Queue(int kind, uint64_t n, CHashFile* hash);

  void SubmitLocked();
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  void Run();

  RecFile* const file_;
  const size_t bytes_;
  uint8_t* buffers_[kBuffers] = {};
  bool busy_[kBuffers] = {};
  int current_ = -1;  // the piece being filled
  size_t fill_ = 0;
  std::deque<Job> jobs_;
  std::mutex mutex_;
  std::condition_variable queued_, done_;
  bool stop_ = false, abandon_ = false, failed_ = false;
  WString errorText_;
  int32_t errorCode_ = 0;
  std::thread thread_;
  IoWaitsSleep sleepingWaits_;
};
