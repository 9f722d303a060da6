// How the drive layer reaches the user interface. Status lines of a hanging
// read are produced on the thread that waits for the drive, which may be
// the user-interface thread itself (a drive opened from the view): so a
// line travels as a copy the host owns, and a host must never answer it
// with a blocking call into the user-interface thread (the Qt host queues
// it). Without a host of its own the line goes to the current view's log.
#pragma once
#include "platform/Text.h"

class StorageHost {
 public:
  virtual ~StorageHost() = default;
  // A line for the status dialog's log (at most 256 characters).
  virtual void IoStatusLine(WString line) = 0;
};

// Null restores the default (the current view's LogLine).
void SetStorageHost(StorageHost* host);
StorageHost& theStorageHost();
