#include "foundation/Globals.h"

#include <memory>

#include "foundation/AppState.h"
#include "foundation/BufStack.h"
#include "foundation/Messages.h"
#include "foundation/SpecialOptions.h"
#include "foundation/Trace.h"

AutoResetEvent* g_eventHandover = nullptr;
AutoResetEvent* g_eventRecovery = nullptr;
AutoResetEvent* g_eventPause = nullptr;

namespace {

struct Events {
  AutoResetEvent handover;
  AutoResetEvent recovery;
  AutoResetEvent pause;
  Events() {
    g_eventHandover = &handover;
    g_eventRecovery = &recovery;
    g_eventPause = &pause;
  }
  ~Events() { g_eventPause = g_eventRecovery = g_eventHandover = nullptr; }
};

struct Texts {
  WString texts[4];
};

struct TraceObject {
  Trace trace;
  TraceObject() { g_trace = &trace; }
  ~TraceObject() { g_trace = nullptr; }
};

struct MessagesObject {
  MessageTable messages;
  MessagesObject() { g_messages = &messages; }
  ~MessagesObject() { g_messages = nullptr; }
};

std::unique_ptr<Events> g_events;
std::unique_ptr<Texts> g_texts;
std::unique_ptr<MessagesObject> g_messageTable;
// Buffer stacks are per thread; this one frees the main thread's at exit.
std::unique_ptr<BufStackOwner> g_bufStackOwner;
std::unique_ptr<TraceObject> g_traceObject;
WString g_textsWithoutObjects[4];

template <class T>
void Build(std::unique_ptr<T>& holder) {
  holder = std::make_unique<T>();
}

const StartupObject* g_list = nullptr;
size_t g_listCount = 0;
bool g_built = false;

}  // namespace

const StartupObject kStartupEvents{[] { Build(g_events); }, [] { g_events.reset(); }};
const StartupObject kStartupTexts{[] { Build(g_texts); }, [] { g_texts.reset(); }};
const StartupObject kStartupMessages{[] { Build(g_messageTable); }, [] { g_messageTable.reset(); }};
const StartupObject kStartupBufStack{[] { Build(g_bufStackOwner); }, [] { g_bufStackOwner.reset(); }};
const StartupObject kStartupTrace{[] { Build(g_traceObject); }, [] { g_traceObject.reset(); }};

namespace {

const StartupObject kFoundationList[] = {kStartupEvents, kStartupTexts, kStartupMessages, kStartupBufStack,
                                         kStartupTrace};

const StartupObject* List(size_t* count) {
  if (g_list) {
    *count = g_listCount;
    return g_list;
  }
  *count = sizeof kFoundationList / sizeof kFoundationList[0];
  return kFoundationList;
}

}  // namespace

void SetStartupList(const StartupObject* list, size_t count) {
  if (g_built) return;
  g_list = list;
  g_listCount = list ? count : 0;
}

WString& GlobalTextRef(GlobalText which) {
  int i = int(which) & 3;
  return g_texts ? g_texts->texts[i] : g_textsWithoutObjects[i];
}

void BuildGlobalObjects() {
  if (g_built) return;
  size_t n = 0;
  const StartupObject* list = List(&n);
  for (size_t i = 0; i < n; i++) list[i].build();
  g_built = true;
}

void DestroyGlobalObjects() {
  if (!g_built) return;
  size_t n = 0;
  const StartupObject* list = List(&n);
  for (size_t i = n; i-- > 0;) list[i].destroy();
  g_built = false;
}

bool GlobalObjectsBuilt() { return g_built; }

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
