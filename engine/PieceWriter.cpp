#include "engine/PieceWriter.h"

#include <algorithm>
#include <cstring>

#include "engine/RecFile.h"
#include "engine/RecoverNtfs.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"

namespace {

bool StopAsked() { return g_appState && g_appState->stopRequested; }

}  // namespace

bool Sink::Put(const uint8_t* data, size_t n) {
  if (hash) hash->Update(data, n);
  if (memory) {
    const size_t room = memory->capacity - std::min(memory->capacity, memory->used);
    const size_t k = std::min(room, n);
    if (k) std::memcpy(memory->data + memory->used, data, k);
    memory->used += k;
    return true;
  }
  while (n) {
    const uint32_t k = uint32_t(std::min<size_t>(n, 0x40000000));
    if (!file->Write(k, data)) return false;
    data += k;
    n -= k;
  }
  return true;
}

bool Sink::Zeros(uint64_t n) {
  const uint8_t* z = ZeroBuffer();
  if (memory && !hash) {
    // Memory past the caller's capacity is dropped anyway.
    const size_t room = memory->capacity - std::min(memory->capacity, memory->used);
    n = std::min<uint64_t>(n, room);
  }
  while (n) {
    if (StopAsked()) {
      ErrorMsg(u"Stopped.");
      return false;
    }
    const size_t k = size_t(std::min<uint64_t>(n, kZeroBufferBytes));
    if (!Put(z, k)) return false;
    n -= k;
  }
  return true;
}

namespace {

// n zeros into the hash, the stop byte polled each MiB.
bool HashZeros(CHashFile* hash, uint64_t n) {
  const uint8_t* z = ZeroBuffer();
  while (n) {
    if (StopAsked()) {
      ErrorMsg(u"Stopped.");
      return false;
    }
    const size_t k = size_t(std::min<uint64_t>(n, kZeroBufferBytes));
    hash->Update(z, k);
    n -= k;
  }
  return true;
}

}  // namespace

bool Sink::Hole(uint64_t n) {
  if (!file) return Zeros(n);
  if (hash && !HashZeros(hash, n)) return false;
  return file->WriteHole(n) != 0;
}

PieceWriter::PieceWriter(RecFile* file, size_t bufferBytes) : file_(file), bytes_(bufferBytes) {
  for (int i = 0; i < kBuffers; i++) {
    buffers_[i] = ThreadScratchBuffer(2 + i, bufferBytes);
    if (!buffers_[i]) ShowErrorAndThrow();
  }
  thread_ = std::thread([this] { Run(); });
}

uint8_t* PieceWriter::Room(size_t n) {
  if (n > bytes_) return nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  if (current_ >= 0 && fill_ + n > bytes_) SubmitLocked();
  while (current_ < 0 && !failed_) {
    for (int i = 0; i < kBuffers; i++) {
      if (!busy_[i]) {
        current_ = i;
        fill_ = 0;
        break;
      }
    }
    if (current_ < 0) done_.wait(lock);
  }
  if (failed_) return nullptr;
  return buffers_[current_] + fill_;
}

bool PieceWriter::Zeros(uint64_t n, CHashFile* hash) { return Queue(-1, n, hash); }

bool PieceWriter::Hole(uint64_t n, CHashFile* hash) { return Queue(-2, n, hash); }

bool PieceWriter::Queue(int kind, uint64_t n, CHashFile* hash) {
  if (hash && !HashZeros(hash, n)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ >= 0) SubmitLocked();
  if (failed_) return false;
  jobs_.push_back(Job{kind, 0, n});
  queued_.notify_one();
  return true;
}

bool PieceWriter::Finish() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_ >= 0 && fill_) SubmitLocked();
    stop_ = true;
    queued_.notify_one();
  }
  Join();
  if (failed_) theTrace().SetLastError(errorText_, errorCode_);
  return !failed_;
}

void PieceWriter::Abandon() {
  if (!thread_.joinable()) return;
  const WString text = LastErrorText();
  const int32_t code = theTrace().LastErrorCode();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandon_ = stop_ = true;
    queued_.notify_one();
  }
  Join();
  if (failed_)
    theTrace().SetLastError(errorText_, errorCode_);
  else
    theTrace().SetLastError(text, code);
}

void PieceWriter::SubmitLocked() {
  if (fill_) {
    busy_[current_] = true;
    jobs_.push_back(Job{current_, fill_, 0});
    queued_.notify_one();
  }
  current_ = -1;
  fill_ = 0;
}

void PieceWriter::Run() {
  Sink out;
  out.file = file_;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    queued_.wait(lock, [this] { return !jobs_.empty() || stop_; });
    if (jobs_.empty() || abandon_) break;
    const Job job = jobs_.front();
    jobs_.pop_front();
    const bool skip = failed_;
    lock.unlock();
    bool ok = true;
    if (!skip) {
      try {
        if (job.buffer == -1) {
          ok = out.Zeros(job.zeros);
        } else if (job.buffer == -2) {
          ok = out.Hole(job.zeros);
        } else {
          // Whole writer buffers at a time: each goes out from our
          // memory as it is, never through the writer's own buffer.
          const uint8_t* p = buffers_[job.buffer];
          const size_t step = std::max<size_t>(file_->Capacity(), 4096);
          for (size_t left = job.bytes; left && ok;) {
            const size_t k = std::min(left, step);
            ok = out.Put(p, k);
            p += k;
            left -= k;
          }
        }
      } catch (...) {
        ok = false;
      }
    }
    lock.lock();
    if (!ok && !failed_) {
      errorText_ = LastErrorText();
      errorCode_ = theTrace().LastErrorCode();
      failed_ = true;
    }
    if (job.buffer >= 0) busy_[job.buffer] = false;
    done_.notify_one();
  }
  done_.notify_one();
}
