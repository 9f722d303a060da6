// A block source for tests: bytes from memory or from a real file, reads
// that fail with EIO when they touch chosen byte ranges, reads that block at
// chosen offsets until the test releases them, and a log of every call that
// reached it.
#pragma once
#include <errno.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/BlockSource.h"

// Shared between the test and the source, which the drive owns and may
// outlive the test's handle on it.
struct FaultState {
  std::mutex m;
  std::condition_variable cv;
  struct Call {
    uint64_t offset;
    size_t length;
  };
  std::vector<Call> calls;
  std::vector<std::pair<uint64_t, uint64_t>> bad;  // [first, end) bytes
  std::vector<uint64_t> hangAt;                     // a read covering one of these blocks
  size_t hangOnlyUpTo = ~size_t(0);                 // ... when it is no longer than this
  uint64_t shortAt = ~0ull;                         // reads stop here (a short count)
  bool released = false;
  int hanging = 0;         // reads blocked right now
  bool destroyed = false;  // the source's destructor ran
  bool destroyedWhileHanging = false;
  bool writeAfterRelease = true;
  size_t failAfterCalls = ~size_t(0);  // every read after this many calls fails
  std::atomic<int> delayMs{0};         // each read takes this long (a failing disk)

  size_t CallCount() {
    std::lock_guard<std::mutex> lock(m);
    return calls.size();
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(m);
    return calls;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m);
    released = true;
    cv.notify_all();
  }
  // Blocks until a read hangs (or the limit of polls passes).
  bool WaitUntilHanging() {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(30), [&] { return hanging > 0; });
  }
  bool WaitUntilDestroyed() {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(30), [&] { return destroyed; });
  }
};

class FaultySource : public BlockSource {
 public:
  // Bytes from memory.
  FaultySource(std::shared_ptr<FaultState> state, std::shared_ptr<const std::vector<uint8_t>> bytes)
      : state_(std::move(state)), bytes_(std::move(bytes)) {}
  // Bytes from a real source (an image file), with its facts.
  FaultySource(std::shared_ptr<FaultState> state, std::unique_ptr<BlockSource> inner)
      : state_(std::move(state)), inner_(std::move(inner)) {}
  ~FaultySource() override {
    std::lock_guard<std::mutex> lock(state_->m);
    if (state_->hanging > 0) state_->destroyedWhileHanging = true;
    state_->destroyed = true;
    state_->cv.notify_all();
  }

  int64_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    bool fail = false;
    {
      std::unique_lock<std::mutex> lock(state_->m);
      state_->calls.push_back({offset, length});
      if (state_->calls.size() > state_->failAfterCalls) fail = true;
      for (uint64_t h : state_->hangAt) {
        if (h >= offset && h < offset + length && length <= state_->hangOnlyUpTo) {
          ++state_->hanging;
          state_->cv.notify_all();
          state_->cv.wait(lock, [&] { return state_->released; });
          --state_->hanging;
          break;
        }
      }
      for (auto& r : state_->bad)
        if (r.first < offset + length && offset < r.second) fail = true;
    }
    if (const int ms = state_->delayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    // After a long hang the caller may have given up; the memory written
    // here must still be the reader's own.
    if (state_->writeAfterRelease) memset(buffer, 0xA5, length);
    if (fail) {
      errno = EIO;
      return -1;
    }
    size_t wanted = length;
    if (state_->shortAt < offset + length) wanted = state_->shortAt > offset ? size_t(state_->shortAt - offset) : 0;
    if (inner_) {
      int64_t n = inner_->ReadAt(buffer, wanted, offset);
      return n;
    }
    if (offset >= bytes_->size()) return 0;
    size_t n = std::min<size_t>(wanted, bytes_->size() - size_t(offset));
    memcpy(buffer, bytes_->data() + offset, n);
    return int64_t(n);
  }
  int Descriptor() const override { return inner_ ? inner_->Descriptor() : -1; }
  bool GetFacts(DeviceFacts* facts) const override {
    if (inner_) return inner_->GetFacts(facts);
    facts->sizeBytes = bytes_->size();
    return true;
  }

 private:
  std::shared_ptr<FaultState> state_;
  std::shared_ptr<const std::vector<uint8_t>> bytes_;
  std::unique_ptr<BlockSource> inner_;
};

// Bytes that differ at every position (a counter in each 4-byte word), so a
// piece read from the wrong place shows.
inline std::shared_ptr<std::vector<uint8_t>> PatternBytes(size_t size) {
  auto v = std::make_shared<std::vector<uint8_t>>(size);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    uint32_t word = uint32_t(i / 4) * 2654435761u;
    memcpy(v->data() + i, &word, 4);
  }
  return v;
}

// Installs an opener that wraps the real source of every drive opened in
// its lifetime in a FaultySource sharing one state.
class FaultyOpener {
 public:
  explicit FaultyOpener(std::shared_ptr<FaultState> state) {
    SetBlockSourceOpener([state](const std::string& path, bool direct) -> std::unique_ptr<BlockSource> {
      std::unique_ptr<BlockSource> inner = FileBlockSource::Open(path, direct);
      if (!inner) return nullptr;
      return std::make_unique<FaultySource>(state, std::move(inner));
    });
  }
  ~FaultyOpener() { SetBlockSourceOpener(nullptr); }
  FaultyOpener(const FaultyOpener&) = delete;
  FaultyOpener& operator=(const FaultyOpener&) = delete;
};
