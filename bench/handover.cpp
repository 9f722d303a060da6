// Hand-over of found items: 1 M synthetic items through the real batch
// protocol (SendObj::AddItem, batches of 500, the hand-over event) to a view
// on another thread that takes each batch, as the user interface does.
// Reports items per second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Startup.h"
#include "engine/SendObj.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"

namespace {

// Takes each batch onto its own thread's queue and releases the worker from
// there, as a view thread would.
class ThreadedView : public HeadlessView {
 public:
  ThreadedView() : thread_([this] { Run(); }) {}
  ~ThreadedView() override {
    {
      std::lock_guard<std::mutex> l(m_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  void FoundItems(std::vector<FoundItem>& items, int) override {
    {
      std::lock_guard<std::mutex> l(m_);
      pending_.swap(items);
      has_ = true;
    }
    items.clear();
    cv_.notify_one();
  }
  std::atomic<uint64_t> taken{0};

 private:
  void Run() {
    std::unique_lock<std::mutex> l(m_);
    while (true) {
      cv_.wait(l, [&] { return has_ || done_; });
      if (has_) {
        taken += pending_.size();
        pending_.clear();
        has_ = false;
        g_eventHandover->Set();
      }
      if (done_) return;
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<FoundItem> pending_;
  bool has_ = false, done_ = false;
  std::thread thread_;
};

void BM_Handover(benchmark::State& state) {
  StartupScope scope;
  const int64_t n = state.range(0);
  for (auto _ : state) {
    ThreadedView view;
    SendObj s;
    s.SetView(&view);
    s.SendMsg2(0, kCodeFoundItems);
    for (int64_t i = 0; i < n; i++) {
      FoundItem f;
      f.nodeIndex = int32_t(i);
      f.name.assign(u"file.txt");
      f.folderPath.assign(u"]:\\folder\\sub");  // volume 0: code 93 and a colon
      f.size = uint64_t(i);
      s.AddItem(std::move(f));
    }
    s.SendMsg2(6000, kCodeFoundItems, false);
    s.SendMsg2(6000, 0);
    if (view.taken != uint64_t(n)) state.SkipWithError("items lost");
  }
  state.counters["items_per_second"] = benchmark::Counter(double(n) * double(state.iterations()),
                                                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Handover)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
