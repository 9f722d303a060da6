#include "ui/core/Parallel.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

unsigned ListThreads() {
  // One core stays with the GUI thread, so that the window keeps answering
  // while a worker sorts or filters.
  static const unsigned n = std::clamp(std::thread::hardware_concurrency(), 2u, 9u) - 1;
  return n;
}

unsigned ParallelParts(size_t n, size_t minPerPart) {
  if (minPerPart == 0) minPerPart = 1;
  const size_t byWork = n / minPerPart;
  return unsigned(std::clamp<size_t>(byWork, 1, ListThreads()));
}

namespace {

// Threads kept for the parts of one ParallelFor at a time: starting threads
// for every call costs more than a short pass does (up to milliseconds on a
// virtual machine). They wait for the rest of the process's life.
class PartThreads {
 public:
  static PartThreads& Get() {
    static PartThreads* threads = new PartThreads(ListThreads() - 1);  // never destroyed: its threads never end
    return *threads;
  }
  // Set by the one caller the threads serve; another (or a part calling
  // ParallelFor again) starts threads of its own.
  std::atomic<bool> inUse{false};

  // Runs part(p) for every p in [0, parts): the last on the calling thread,
  // the others on the kept threads (at most their number + 1 parts).
  void Run(unsigned parts, const std::function<void(unsigned)>& part) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      job_ = &part;
      next_ = 0;
      parts_ = parts - 1;
      pending_ = parts - 1;
      ++generation_;
    }
    wake_.notify_all();
    std::exception_ptr failed;
    try {
      part(parts - 1);
    } catch (...) {
      failed = std::current_exception();
    }
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [&] { return pending_ == 0; });
    job_ = nullptr;
    hold.unlock();
    if (failed) std::rethrow_exception(failed);
  }

 private:
  explicit PartThreads(unsigned count) {
    for (unsigned i = 0; i < count; ++i) std::thread([this] { Serve(); }).detach();
  }
  void Serve() {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [&] { return generation_ != seen; });
      seen = generation_;
      while (job_ && next_ < parts_) {
        const unsigned p = next_++;
        const std::function<void(unsigned)>* job = job_;
        hold.unlock();
        (*job)(p);  // a part that throws ends the program, as on a thread of its own
        hold.lock();
        if (--pending_ == 0) done_.notify_one();
      }
    }
  }
  std::mutex lock_;
  std::condition_variable wake_, done_;
  const std::function<void(unsigned)>* job_ = nullptr;
  unsigned next_ = 0, parts_ = 0, pending_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace

void ParallelFor(size_t n, size_t minPerPart, const std::function<void(size_t, size_t, unsigned)>& fn) {
  const unsigned parts = ParallelParts(n, minPerPart);
  if (parts <= 1) {
    fn(0, n, 0);
    return;
  }
  const size_t step = n / parts, extra = n % parts;
  auto begin = [&](unsigned p) { return size_t(p) * step + std::min<size_t>(p, extra); };
  // Parts in range order; the kept threads serve one caller at a time.
  PartThreads& kept = PartThreads::Get();
  if (!kept.inUse.exchange(true, std::memory_order_acquire)) {
    struct Release {
      std::atomic<bool>& flag;
      ~Release() { flag.store(false, std::memory_order_release); }
    } release{kept.inUse};
    kept.Run(parts, [&](unsigned p) { fn(begin(p), begin(p + 1), p); });
    return;
  }
  std::vector<std::thread> threads;
  threads.reserve(parts - 1);
  for (unsigned p = 0; p + 1 < parts; ++p) threads.emplace_back([&fn, &begin, p] { fn(begin(p), begin(p + 1), p); });
  fn(begin(parts - 1), n, parts - 1);
  for (std::thread& t : threads) t.join();
}
