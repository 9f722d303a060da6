#include "foundation/AppState.h"

#include <sys/stat.h>

#include <cstring>

#include "foundation/Trace.h"
#include "platform/Memory.h"

AppState* g_appState = nullptr;

namespace {
ScreenDpiQuery g_screenDpi = nullptr;
}  // namespace

void SetScreenDpiQuery(ScreenDpiQuery query) { g_screenDpi = query; }
int ScreenDpi() { return g_screenDpi ? g_screenDpi() : -1; }

AppState::AppState() = default;

AppState::~AppState() { AlignedFree(readBuffer_); }

uint8_t* AppState::GetReadBuffer(size_t size) {
  if (readBuffer_ && readBufferSize_ >= size) return readBuffer_;
  size_t rounded = (size + 65535) & ~size_t(65535);
  if (rounded == 0 || rounded < size) rounded = 65536;
  AlignedFree(readBuffer_);
  readBuffer_ = nullptr;
  readBufferSize_ = 0;
  uint8_t* p = static_cast<uint8_t*>(AlignedAlloc(rounded));  // zero-filled
  if (!p) ShowErrorAndThrow();
  readBuffer_ = p;
  readBufferSize_ = rounded;
  return p;
}

void AppState::RememberFolder(WStringView path, int slot) {
  if (slot < 0 || slot > 3) return;
  size_t cut = path.find_last_of(u"/\\");
  if (cut == WStringView::npos) return;
  WStringView folder = path.substr(0, cut);
  WStringView def = defaultFolder;
  while (!def.empty() && (def.back() == u'/' || def.back() == u'\\')) def.remove_suffix(1);
  if (EqualsNoCase(folder, def)) return;
  lastFolders[size_t(slot)] = WString(folder);
}

int AppState::IsListedFileWithSize(WStringView fileName, int64_t* size) const {
  for (const auto& f : restartFiles) {
    if (!EqualsNoCase(f, fileName)) continue;
    struct stat st;
    if (stat(ToUtf8(fileName).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      if (size) *size = int64_t(st.st_size);
      return 1;
    }
    return 0;
  }
  return 0;
}

void AppState::ResetSkipMaps() {
  // The skip maps themselves come with the scan engine; nothing is open yet.
}

void AppState::FreeOwnedObject() { rawRecovery.reset(); }

void AppState::SetDefaultFolder() {
  std::string home = getenv("HOME") ? getenv("HOME") : "/tmp";
  std::string docs = home + "/Documents";
  struct stat st;
  if (stat(docs.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) docs = home;
  defaultFolder = FromUtf8(docs);
}
