// File list fill: records appended in batches of 500 to the record store
// alone and to the list window (table model and QTableView), for 1 M and
// 10 M rows. Reports the mean and worst time per batch and the bytes per
// row (the store's own count and the process's resident growth).
// BM_ListAppend tells the window of every batch (FinishInserting);
// BM_ListAppendLive is the scan's road (FinishInsertingSoon, the window
// learns of new rows at most every 100 ms), with the events processed after
// every batch so that the timer and the repaints are counted in.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "app/Startup.h"
#include "foundation/Globals.h"
#include "ui/MyListCtrl.h"

namespace {

int64_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return int64_t(resident) * sysconf(_SC_PAGESIZE);
}

QApplication& App() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char name[] = "bench_list_rows";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

constexpr int kBatch = 500;
const char16_t* const kFolders[] = {u"C:\\Users\\me\\Pictures", u"C:\\Windows\\Temp", u"D:\\work\\src\\ui",
                                    u"C:\\Program Files\\x"};
const char16_t* const kTypes[] = {u"JPG file", u"DOC file", u"TXT file", u"file"};

template <class Append, class Commit>
void Fill(benchmark::State& state, Append append, Commit commit, const ListStore& store) {
  const int64_t rows = state.range(0);
  const int64_t before = ResidentBytes();
  double worst = 0, total = 0;
  for (int64_t done = 0; done < rows; done += kBatch) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      const int64_t n = done + i;
      append(int32_t(n), kFolders[n & 3], kTypes[(n >> 2) & 3]);
    }
    commit();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    worst = std::max(worst, ms);
    total += ms;
  }
  const double batches = double(rows / kBatch);
  state.counters["ms_per_batch"] = total / batches;
  state.counters["worst_batch_ms"] = worst;
  state.counters["store_bytes_per_row"] = double(store.MemoryBytes()) / double(rows);
  state.counters["rss_bytes_per_row"] = double(ResidentBytes() - before) / double(rows);
}

void BM_StoreAppend(benchmark::State& state) {
  StartupScope scope;
  for (auto _ : state) {
    auto store = std::make_unique<ListStore>();
    Fill(
        state, [&](int32_t n, const char16_t* folder, const char16_t* type) { store->Append(n, folder, type); }, [] {},
        *store);
  }
}

void BM_ListAppend(benchmark::State& state) {
  App();
  StartupScope scope;
  for (auto _ : state) {
    auto list = std::make_unique<CMyListCtrl>();
    list->resize(800, 600);
    list->show();
    QApplication::processEvents();
    Fill(
        state,
        [&](int32_t n, const char16_t* folder, const char16_t* type) { list->AppendRecord(n, folder, type); },
        [&] {
          list->FinishInserting();
          QApplication::processEvents();
        },
        list->Store());
    // Scroll to the end and paint once.
    const auto t0 = std::chrono::steady_clock::now();
    list->scrollToBottom();
    list->viewport()->repaint();
    state.counters["scroll_paint_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
}

void BM_ListAppendLive(benchmark::State& state) {
  App();
  StartupScope scope;
  for (auto _ : state) {
    auto list = std::make_unique<CMyListCtrl>();
    list->resize(800, 600);
    list->show();
    QApplication::processEvents();
    const int64_t before = ResidentBytes();
    int64_t shows = 0;
    QObject::connect(list->Model(), &QAbstractItemModel::rowsInserted, [&] { ++shows; });
    Fill(
        state,
        [&](int32_t n, const char16_t* folder, const char16_t* type) { list->AppendRecord(n, folder, type); },
        [&] {
          list->FinishInsertingSoon();
          QApplication::processEvents();
        },
        list->Store());
    // The end of the scan: the last rows shown at once.
    auto t0 = std::chrono::steady_clock::now();
    list->FinishInserting();
    QApplication::processEvents();
    state.counters["final_show_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    state.counters["window_inserts"] = double(shows);
    // Resident growth with every row known to the window.
    state.counters["rss_bytes_per_row"] = double(ResidentBytes() - before) / double(state.range(0));
    if (list->Model()->rowCount() != state.range(0)) state.SkipWithError("rows missing after the last insert");
    t0 = std::chrono::steady_clock::now();
    list->scrollToBottom();
    list->viewport()->repaint();
    state.counters["scroll_paint_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
}

}  // namespace

BENCHMARK(BM_StoreAppend)->Arg(1000000)->Arg(10000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListAppend)->Arg(1000000)->Arg(10000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListAppendLive)->Arg(1000000)->Arg(10000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
