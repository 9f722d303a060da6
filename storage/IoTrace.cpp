#include "storage/IoTrace.h"

#include <memory>

IoTrace* g_ioTrace = nullptr;

IoTrace& theIoTrace() {
  static IoTrace fallback;
  return g_ioTrace ? *g_ioTrace : fallback;
}

namespace {

// Built reset (both trace files closed), closed at exit.
struct Recorder {
  IoTrace ioTrace;
  Recorder() {
    ioTrace.Init();
    g_ioTrace = &ioTrace;
  }
  ~Recorder() {
    g_ioTrace = nullptr;
    ioTrace.Close();
  }
};
std::unique_ptr<Recorder> g_recorder;

}  // namespace

const StartupObject kStartupIoTrace{[] { g_recorder = std::make_unique<Recorder>(); }, [] { g_recorder.reset(); }};
