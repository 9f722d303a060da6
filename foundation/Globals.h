// The objects that live for the whole run, built in a fixed order by one
// call from main and destroyed in the reverse order at exit. The order is
// the start-up root's (app/Startup.cpp), which places the objects of every
// subsystem; the foundation keeps its own objects and builds them alone
// when no list is installed (its own tests and tools).
#pragma once
#include <cstddef>
#include <string>

#include "platform/Events.h"
#include "platform/Text.h"

// Hand-over of found items to the view (set by the view when it has taken a
// batch), the recovery list (set when the view has filled it), and resume
// after a pause.
extern AutoResetEvent* g_eventHandover;
extern AutoResetEvent* g_eventRecovery;
extern AutoResetEvent* g_eventPause;

// Four program-wide texts: Look-for selection, Look-for single-name pattern,
// destination folder (also the scan-and-save folder), and a spare.
enum GlobalText { kLookForText = 0, kLookForPattern = 1, kDestinationFolder = 2, kSpareText = 3 };
WString& GlobalTextRef(GlobalText which);

// One object (or group) of the start-up list.
struct StartupObject {
  void (*build)();
  void (*destroy)();
};
// The foundation's own objects, for the root to place in its list.
extern const StartupObject kStartupEvents;    // the three auto-reset events
extern const StartupObject kStartupTexts;     // the four program-wide texts
extern const StartupObject kStartupMessages;  // the message table (empty)
extern const StartupObject kStartupBufStack;  // frees the main thread's buffers at exit
extern const StartupObject kStartupTrace;     // the trace object
// Installs the start-up list (kept by the caller; null: the foundation's
// own objects in their order). Only while no objects are built.
void SetStartupList(const StartupObject* list, size_t count);

// Builds the start-up objects in order; a second call does nothing.
void BuildGlobalObjects();
// Destroys them in reverse order.
void DestroyGlobalObjects();
bool GlobalObjectsBuilt();

// Application start after the global objects: fills the message table,
// creates the settings object and loads it (platform, language, options
// file at optionsPath, or the support folder's file when empty).
void StartApplication(const std::string& optionsPath = std::string());
void EndApplication();

// For tests and tools: builds the global objects and starts the
// application for the scope's life.
class GlobalObjectsScope {
 public:
  explicit GlobalObjectsScope(bool startApplication = true, const std::string& optionsPath = "/nonexistent");
  ~GlobalObjectsScope();
  GlobalObjectsScope(const GlobalObjectsScope&) = delete;
  GlobalObjectsScope& operator=(const GlobalObjectsScope&) = delete;

 private:
  bool ownsObjects_;
};
