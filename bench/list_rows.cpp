// The file list at 1, 5 and 10 million rows: a `find /usr -printf` listing
// replicated under several volume codes and handed to the list window the
// way a scan hands it over (batches of 500 found items), then every bulk
// operation the list offers, each timed with the longest stall of the GUI
// thread (how late a 10 ms timer fires) and compared with a peer where one
// exists:
//   append            mean and worst time per batch, bytes per row
//   sorts             by name, size, date, and into folder order
//   folder display    building the folder rows, then the tree model
//   filters           a full pass (*.h) and an incremental one (> 4 KB); the
//                     full pass and grep -ci alternated three times (best)
//   find              a Find Next that finds nothing
//   checks            Select All and Invert
//   export            the list as UTF-16 CSV
//   peers             LC_ALL=C sort -f --parallel=8 over the names, grep -ci
//                     over the listing, dd writing a file the export's size
// The sorts, the folder rows and the filters run on workers; the time the
// GUI thread takes to swap their result in is reported apart (swap_ms) and
// left out of the stall. Run: bench/run list_rows.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/Startup.h"
#include "foundation/Globals.h"
#include "ui/FolderTree.h"
#include "ui/MyListCtrl.h"
#include "ui/core/Activity.h"
#include "ui/core/ListSort.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

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

// One entry of the listing.
struct Entry {
  WString folder;  // below the volume: "\usr\lib"
  WString name;
  uint64_t size;
  uint64_t time;  // FILETIME
};

const std::vector<Entry>& Listing() {
  static const std::vector<Entry> entries = [] {
    std::vector<Entry> out;
    FILE* p = popen("find /usr -xdev -printf '%h\\t%f\\t%s\\t%T@\\n' 2>/dev/null", "r");
    if (!p) return out;
    char line[8192];
    while (std::fgets(line, sizeof line, p)) {
      std::string s(line);
      if (!s.empty() && s.back() == '\n') s.pop_back();
      const size_t a = s.find('\t'), b = s.find('\t', a + 1), c = s.find('\t', b + 1);
      if (a == std::string::npos || b == std::string::npos || c == std::string::npos) continue;
      Entry e;
      std::string folder = s.substr(0, a);
      std::replace(folder.begin(), folder.end(), '/', '\\');
      e.folder = FromUtf8(folder);
      e.name = FromUtf8(s.substr(a + 1, b - a - 1));
      e.size = std::strtoull(s.c_str() + b + 1, nullptr, 10);
      e.time = uint64_t(std::strtod(s.c_str() + c + 1, nullptr) * 1e7) + 116444736000000000ULL;
      out.push_back(std::move(e));
    }
    pclose(p);
    return out;
  }();
  return entries;
}

// The volume code of a copy: drive letters, then numbered volumes.
char16_t VolumeCode(size_t copy) { return copy < 24 ? char16_t(u'C' + copy) : char16_t(93 + (copy - 24) % 160); }

// How late a 10 ms timer fires while the GUI thread works; ticks that fall
// into a swap are counted apart.
class StallMeter {
 public:
  StallMeter() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const Clock::time_point now = Clock::now();
      ticks_.push_back({last_, now});
      last_ = now;
    });
  }
  void Start() {
    ticks_.clear();
    last_ = Clock::now();
    timer_.start();
  }
  // The longest gap between ticks beyond the 10 ms interval, leaving out
  // gaps that hold the window [swapEnd - swapMs, swapEnd].
  double Stop(Clock::time_point swapEnd = {}, double swapMs = 0) {
    timer_.stop();
    ticks_.push_back({last_, Clock::now()});
    double worst = 0;
    const Clock::time_point swapStart = swapEnd - std::chrono::microseconds(int64_t(swapMs * 1000));
    for (const auto& [a, b] : ticks_) {
      if (swapMs > 0 && a <= swapEnd && b >= swapStart) continue;
      worst = std::max(worst, Ms(a, b) - 10);
    }
    return std::max(0.0, worst);
  }

 private:
  QTimer timer_;
  Clock::time_point last_;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> ticks_;
};

void WaitForIdle(CMyListCtrl& list, bool& done) {
  while (!done) QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  (void)list;
}

double PeerSeconds(const std::string& command) {
  const auto t0 = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return Ms(t0, Clock::now()) / 1000;
}

void BM_ListRows(benchmark::State& state) {
  App();
  StartupScope scope;
  const int64_t rows = state.range(0);
  const std::vector<Entry>& listing = Listing();
  if (listing.empty()) {
    state.SkipWithError("no listing of /usr");
    return;
  }
  const std::string tmp = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/bench_list_rows." +
                          std::to_string(getpid());
  mkdir(tmp.c_str(), 0755);
  for (auto _ : state) {
    auto nodes = std::make_unique<FoundNodeStore>();
    auto list = std::make_unique<CMyListCtrl>();
    list->SetNodeSource(nodes.get());
    list->resize(900, 600);
    list->show();
    QApplication::processEvents();
    StallMeter meter;
    std::string stalls;
    auto stall = [&](const char* name, double ms) {
      state.counters[std::string(name) + "_stall_ms"] = ms;
    };

    // ---- append: the scan's hand-over road ----
    const int64_t residentBefore = ResidentBytes();
    double worst = 0, total = 0, takeMs = 0;
    int64_t batches = 0;
    std::vector<FoundItem> batch;
    batch.reserve(500);
    for (int64_t done = 0; done < rows;) {
      batch.clear();
      for (int i = 0; i < 500 && done < rows; ++i, ++done) {
        const Entry& e = listing[size_t(done) % listing.size()];
        FoundItem f;
        f.nodeIndex = int32_t(done);
        f.folderPath = WString(1, VolumeCode(size_t(done) / listing.size())) + u":" + e.folder;
        f.name = e.name;
        f.size = e.size;
        f.time = e.time;
        f.volumeIndex = 0;
        batch.push_back(std::move(f));
      }
      const auto t0 = Clock::now();
      list->AppendFoundItems(batch, nodes.get(), 0, nullptr);
      const auto t1 = Clock::now();
      QApplication::processEvents();
      const double ms = Ms(t0, Clock::now());
      takeMs += Ms(t0, t1);
      worst = std::max(worst, ms);
      total += ms;
      ++batches;
    }
    state.counters["append_ms_per_batch"] = total / double(batches);
    state.counters["append_worst_ms"] = worst;
    state.counters["append_take_ms_per_batch"] = takeMs / double(batches);
    state.counters["list_bytes_per_row"] = double(list->MemoryBytes()) / double(rows);
    state.counters["node_facts_bytes_per_row"] = double(nodes->MemoryBytes()) / double(rows);
    state.counters["rss_bytes_per_row"] = double(ResidentBytes() - residentBefore) / double(rows);
    {
      const auto t0 = Clock::now();
      list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
      list->viewport()->repaint();
      state.counters["scroll_paint_ms"] = Ms(t0, Clock::now());
    }

    // ---- sorts on the worker ----
    bool finished = false;
    Clock::time_point finishedAt;
    QObject::connect(list.get(), &CMyListCtrl::sortFinished, [&] {
      finished = true;
      finishedAt = Clock::now();
    });
    auto sort = [&](int code, const char* name) {
      finished = false;
      meter.Start();
      const auto t0 = Clock::now();
      list->StartSort(code);
      WaitForIdle(*list, finished);
      state.counters[std::string("sort_") + name + "_s"] = Ms(t0, finishedAt) / 1000;
      state.counters[std::string("sort_") + name + "_swap_ms"] = list->LastSwapMs();
      stall((std::string("sort_") + name).c_str(), meter.Stop(finishedAt, list->LastSwapMs()));
    };
    sort(kSortName, "name");
    sort(kSortSize, "size");
    sort(kSortDate, "date");
    const auto folderStart = Clock::now();
    sort(kSortFolderOrder, "folder_order");

    // ---- folder rows and the tree model ----
    {
      bool ready = false;
      Clock::time_point readyAt;
      QObject::connect(list.get(), &CMyListCtrl::folderRowsReady, [&] {
        ready = true;
        readyAt = Clock::now();
      });
      meter.Start();
      const auto t0 = Clock::now();
      if (list->ToggleDisplay() < 0) WaitForIdle(*list, ready);
      else readyAt = Clock::now();
      state.counters["folder_build_s"] = Ms(t0, readyAt) / 1000;
      state.counters["folder_order_plus_build_s"] = Ms(folderStart, readyAt) / 1000;
      state.counters["folder_build_swap_ms"] = list->LastSwapMs();
      stall("folder_build", meter.Stop(readyAt, list->LastSwapMs()));
      state.counters["folder_rows"] = double(list->Folders() ? list->Folders()->Count() : 0);
      const auto t1 = Clock::now();
      CMyTreeCtrl tree(list.get());
      tree.resize(300, 600);
      tree.show();
      tree.expandToDepth(1);
      QApplication::processEvents();
      state.counters["tree_model_ms"] = Ms(t1, Clock::now());
      list->ToggleDisplay();
      g_activityCode = -1;
    }

    // The names, one a line, for the grep peer.
    const std::string names = tmp + "/names.txt";
    {
      std::ofstream out(names, std::ios::binary);
      for (int64_t i = 0; i < rows; ++i) out << ToUtf8(listing[size_t(i) % listing.size()].name) << '\n';
    }
    const std::string grep = "grep -ci '\\.h$' '" + names + "' >/dev/null";

    // ---- filters ----
    {
      bool done = false;
      Clock::time_point doneAt;
      QObject::connect(list.get(), &CMyListCtrl::filterFinished, [&] {
        done = true;
        doneAt = Clock::now();
      });
      auto name = std::make_unique<FilterCriterion>();
      name->op = 0;
      name->SetPattern(u"*.h");
      meter.Start();
      auto t0 = Clock::now();
      list->SetFilter(kColName, std::move(name));
      WaitForIdle(*list, done);
      state.counters["filter_full_s"] = Ms(t0, doneAt) / 1000;
      state.counters["filter_full_swap_ms"] = list->LastSwapMs();
      stall("filter_full", meter.Stop(doneAt, list->LastSwapMs()));
      state.counters["filter_rows"] = double(list->RowCount());
      double bestFilter = Ms(t0, doneAt) / 1000, bestGrep = PeerSeconds(grep);
      if (bestGrep < 0) bestGrep = 1e9;
      auto size = std::make_unique<FilterCriterion>();
      size->kind = kFilterSize;
      size->op = 2;
      size->value = 4096;
      done = false;
      meter.Start();
      t0 = Clock::now();
      list->SetFilter(kColSize, std::move(size));
      WaitForIdle(*list, done);
      state.counters["filter_incremental_s"] = Ms(t0, doneAt) / 1000;
      stall("filter_incremental", meter.Stop(doneAt, list->LastSwapMs()));
      done = false;
      list->ClearFilter(kColSize);
      WaitForIdle(*list, done);
      list->ClearFilter(kColName);
      QApplication::processEvents();
      // The full pass and grep twice more, one after the other: the best of
      // each of three (the machine may be shared).
      for (int round = 0; round < 2; ++round) {
        auto again = std::make_unique<FilterCriterion>();
        again->op = 0;
        again->SetPattern(u"*.h");
        done = false;
        t0 = Clock::now();
        list->SetFilter(kColName, std::move(again));
        WaitForIdle(*list, done);
        bestFilter = std::min(bestFilter, Ms(t0, doneAt) / 1000);
        list->ClearFilter(kColName);
        QApplication::processEvents();
        const double g = PeerSeconds(grep);
        if (g >= 0) bestGrep = std::min(bestGrep, g);
      }
      state.counters["filter_full_best_s"] = bestFilter;
      state.counters["peer_grep_ci_best_s"] = bestGrep;
    }

    // ---- find that finds nothing ----
    {
      FindOptions o;
      o.text = u"no such text in any cell";
      meter.Start();
      const auto t0 = Clock::now();
      const auto hit = list->FindNext(PlanFind(list->RowCount(), -1, -1, true), o);
      state.counters["find_none_s"] = Ms(t0, Clock::now()) / 1000;
      stall("find_none", meter.Stop());
      if (hit.first >= 0) state.SkipWithError("found what is not there");
    }

    // ---- checks ----
    {
      meter.Start();
      auto t0 = Clock::now();
      list->CheckAll(true);
      QApplication::processEvents();
      state.counters["select_all_ms"] = Ms(t0, Clock::now());
      t0 = Clock::now();
      list->InvertChecks();
      QApplication::processEvents();
      state.counters["invert_ms"] = Ms(t0, Clock::now());
      stall("checks", meter.Stop());
    }

    // ---- export ----
    const std::string csv = tmp + "/list.csv";
    {
      meter.Start();
      const auto t0 = Clock::now();
      const bool ok = list->ExportList(QString::fromStdString(csv));
      const double s = Ms(t0, Clock::now()) / 1000;
      stall("export", meter.Stop());
      struct stat st {};
      stat(csv.c_str(), &st);
      state.counters["export_s"] = s;
      state.counters["export_MB_per_s"] = double(st.st_size) / 1e6 / s;
      if (!ok) state.SkipWithError("export failed");
      // dd writing a file of the same size.
      const double dd = PeerSeconds("dd if=/dev/zero of='" + tmp + "/dd.bin' bs=1M count=" +
                                    std::to_string(st.st_size >> 20) + " status=none");
      state.counters["peer_dd_MB_per_s"] = dd > 0 ? double(st.st_size >> 20) * 1.048576 / dd : 0;
      unlink(csv.c_str());
      unlink((tmp + "/dd.bin").c_str());
    }

    // ---- peers over the listing ----
    {
      state.counters["peer_sort_f_s"] = PeerSeconds("LC_ALL=C sort -f --parallel=8 -S 25% '" + names + "' >/dev/null");
      state.counters["peer_grep_ci_s"] = PeerSeconds(grep);
      unlink(names.c_str());
    }
    list.reset();
    nodes.reset();
  }
  rmdir(tmp.c_str());
}

}  // namespace

BENCHMARK(BM_ListRows)->Arg(1000000)->Arg(5000000)->Arg(10000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
