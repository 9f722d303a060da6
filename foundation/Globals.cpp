#include "foundation/Globals.h"

#include <memory>

#include "diagnostics/IoTrace.h"
#include "foundation/AppState.h"
#include "foundation/BufStack.h"
#include "foundation/Messages.h"
#include "foundation/SpecialOptions.h"
#include "foundation/Trace.h"

AutoResetEvent* g_eventHandover = nullptr;
AutoResetEvent* g_eventRecovery = nullptr;
AutoResetEvent* g_eventPause = nullptr;

namespace {

// Members in construction order; the compiler destroys them in reverse.
struct StartupObjects {
  AutoResetEvent handover;
  AutoResetEvent recovery;
  AutoResetEvent pause;
  WString texts[4];
  // The progress counters join here, with their subsystem.
  MessageTable messages;
  // Buffer stacks are per thread; this one frees the main thread's at exit.
  BufStackOwner bufStack;
  // The image lists join here with their subsystem. (The RAID parity
  // tables are built on first use: storage/RaidParity.h.)
  Trace trace;
  IoTrace ioTrace;

  StartupObjects() {
    g_eventHandover = &handover;
    g_eventRecovery = &recovery;
    g_eventPause = &pause;
    g_messages = &messages;
    g_trace = &trace;
    ioTrace.Init();
    g_ioTrace = &ioTrace;
  }
  ~StartupObjects() {
    g_ioTrace = nullptr;
    ioTrace.Close();
    g_trace = nullptr;
    g_messages = nullptr;
    g_eventPause = g_eventRecovery = g_eventHandover = nullptr;
  }
};

std::unique_ptr<StartupObjects> g_objects;
WString g_textsWithoutObjects[4];

}  // namespace

WString& GlobalTextRef(GlobalText which) {
  int i = int(which) & 3;
  return g_objects ? g_objects->texts[i] : g_textsWithoutObjects[i];
}

void BuildGlobalObjects() {
  if (!g_objects) g_objects = std::make_unique<StartupObjects>();
}

void DestroyGlobalObjects() { g_objects.reset(); }

bool GlobalObjectsBuilt() { return g_objects != nullptr; }

void StartApplication(const std::string& optionsPath) {
  InitMessageTable();
  if (!g_appState) g_appState = new AppState();
  LoadSpecialOptions(*g_appState, optionsPath);
}

void EndApplication() {
  delete g_appState;
  g_appState = nullptr;
}

GlobalObjectsScope::GlobalObjectsScope(bool startApplication, const std::string& optionsPath)
    : ownsObjects_(!GlobalObjectsBuilt()) {
  BuildGlobalObjects();
  if (startApplication) StartApplication(optionsPath);
}

GlobalObjectsScope::~GlobalObjectsScope() {
  EndApplication();
  if (ownsObjects_) DestroyGlobalObjects();
}
