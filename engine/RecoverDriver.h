// The recovery driver of the compute worker: it asks the view for lists of
// up to 100 checked items, builds each item's folder, settles name
// collisions by the overwrite mode, has the file rebuilt (NTFS and carved
// files by the engine, the other file systems by their volume), and reports
// each result to the view in batches and to the recovery log.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/Text.h"

class ViewSink;
class Drive;
struct RecoveryRequest;

// Told the source drive before a recovery writes anything (the help file
// learns whether the program's own drive is part of the source). Null: none.
using RecoveryStartHook = void (*)(Drive* source);
void SetRecoveryStartHook(RecoveryStartHook hook);

// Overwrite modes (the view's overwrite choice, given in the recovery's
// request).
enum : uint8_t { kOverwriteNewer = 0, kOverwriteRename = 1, kOverwriteReplace = 2, kOverwriteSkip = 3 };

// Results of the current run, by status.
struct RecoveryTotals {
  std::atomic<uint32_t> saved{0}, skipped{0}, failed{0}, corrupt{0}, processed{0};
  // Of the skipped: those whose identical copy is already in the destination.
  std::atomic<uint32_t> identical{0};
  // The run stopped because the destination was full (the answer was No).
  std::atomic<bool> destinationFull{false};
  void Reset() {
    saved = skipped = failed = corrupt = processed = identical = 0;
    destinationFull = false;
  }
};
extern RecoveryTotals g_recoveryTotals;

// How long the driver waits for each list from the view (milliseconds).
extern int g_recoveryListWaitMs;

// Recovers the items the view hands out from the request's engine (its
// scan's results) into the request's destination folder, by its overwrite
// mode. Returns 0.
int RecoverFS(const RecoveryRequest& request, ViewSink* view);

// Splits a path at the last "." after the last "/" and inserts "[n]": the
// rename mode's candidate names ("a/b.txt" -> "a/b[1].txt", "a/b" -> "a/b[1]").
WString RenamedCandidate(WStringView path, int n);
