// Helpers shared by the engine's test files.
#pragma once
#include <string>
#include <thread>

#include "engine/SendObj.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "volumes/DestinationPath.h"

// Drops the worker's hand-over object, then the test's own, and the view.
inline void DropSendObjs() {
  ReleaseSendObj();
  delete static_cast<SendObj*>(g_appState->sendObj);
  g_appState->sendObj = nullptr;
  g_appState->view = nullptr;
}

// Opens an image file as the current drive and scans it with `selection`
// on a worker thread, as the view's Scan does; the drive, for DeleteDrive.
inline Drive* ScanDriveImage(const std::string& image, ViewSink& view, const ScanSelection& selection = {}) {
  Drive* drive = CreateDrive(FromUtf8(image));
  drive->InitDrive(FromUtf8(image));
  g_currentDrive = drive;
  g_selection = selection;
  g_selection.name = drive->DisplayName();
  std::thread([&] { ComputeThreadProc(&view); }).join();
  return drive;
}

// The recovery list of every found file (folders left out) under `dest`,
// with the paths the Save command makes; false when a path cannot be made.
inline bool FileRecoveryList(const HeadlessView& view, const std::string& dest, std::vector<RecoveryListEntry>* list) {
  list->clear();
  for (const FoundItem& it : view.found) {
    if (it.flags2 & 2) continue;
    RecoveryListEntry e;
    e.nodeIndex = it.nodeIndex;
    e.recordIndex = int32_t(list->size());
    if (!BuildDestinationPath(FromUtf8(dest), FolderBelowVolume(it.folderPath), it.name, &e.destinationPath))
      return false;
    list->push_back(e);
  }
  return true;
}
