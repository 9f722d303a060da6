#include "volumes/ScanSink.h"

#include "foundation/AppState.h"

const AppState& ScanSink::Options() const { return ProgramOptions(); }

const AppState& ProgramOptions() {
  if (g_appState) return *g_appState;
  static const AppState* const defaults = [] {
    auto* s = new AppState();
    s->scanFlag = 3;
    for (int c = 32; c < 256; ++c) s->fileNameCharOk[size_t(c)] = 1;
    for (unsigned char c : std::string_view("\"*/:<>?\\|")) s->fileNameCharOk[c] = 0;
    return s;
  }();
  return *defaults;
}
