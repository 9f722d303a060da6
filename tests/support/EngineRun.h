// Runs of the engine as the view makes them (scan, recovery list,
// recovery), for the engine's tests and the storage tests that scan drives.
#pragma once
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/SendObj.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "volumes/DestinationPath.h"

// The view of an in-process scan: every percentage it is handed.
class PercentView : public HeadlessView {
 public:
  void FoundItems(std::vector<FoundItem>& items, int percent) override {
    {
      std::lock_guard<std::mutex> lock(m);
      percents.push_back(percent);
    }
    HeadlessView::FoundItems(items, percent);
  }
  std::vector<int> percents;
};

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
  ScanRequest request;
  request.drive = drive;
  request.selection = selection;
  std::thread([&] { RunScan(request, &view); }).join();
  return drive;
}

// Recovers the view's list of the last scan's results (the published
// engine) into `destination` on a worker thread, as the view's Save does.
inline void RecoverToFolder(const std::string& destination, ViewSink& view, uint8_t overwriteMode = kOverwriteRename,
                            int diskFullAnswer = 0) {
  RecoveryRequest request;
  request.engine = g_engine;
  request.destination = FromUtf8(destination);
  request.overwriteMode = overwriteMode;
  request.diskFullAnswer = diskFullAnswer;
  std::thread([&] { RunRecovery(request, &view); }).join();
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

// Files every listed item for recovery into `destination` and recovers
// them; false (nothing recovered) when the list cannot be made or is empty.
inline bool RecoverListed(const std::string& destination, HeadlessView& view) {
  std::vector<RecoveryListEntry> list;
  if (!FileRecoveryList(view, destination, &list) || list.empty()) return false;
  view.SetRecoveryList(list);
  RecoverToFolder(destination, view);
  return true;
}
