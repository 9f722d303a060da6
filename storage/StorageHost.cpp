#include "storage/StorageHost.h"

#include <atomic>

#include "foundation/AppState.h"
#include "foundation/UiServices.h"

namespace {

class ViewLogHost : public StorageHost {
 public:
  void IoStatusLine(WString line) override {
    if (g_appState && g_appState->view) g_appState->view->LogLine(line);
  }
};

ViewLogHost g_viewLogHost;
std::atomic<StorageHost*> g_host{nullptr};

}  // namespace

void SetStorageHost(StorageHost* host) { g_host.store(host); }

StorageHost& theStorageHost() {
  StorageHost* host = g_host.load();
  return host ? *host : g_viewLogHost;
}
