// The statistics counters of the current operation and the recovery log's
// path, one object for the whole run.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>

#include "platform/Text.h"

class CProgressAndStats {
 public:
  CProgressAndStats();
  virtual ~CProgressAndStats() = default;
  // Clears the log name and every counter of the operation.
  void Reset();
  void ClearLogName() { logName.clear(); }

  WString logName;
  // Counters of the operation: a block of ten, one, four and four words.
  std::array<std::atomic<uint32_t>, 10> block{};
  std::atomic<uint32_t> single{0};
  std::array<std::atomic<uint32_t>, 4> quad1{};
  std::array<std::atomic<uint32_t>, 4> quad2{};
  // Cleared once at construction only.
  std::array<uint32_t, 3> persistent{};
  int64_t constructedAt = 0;  // local time, seconds since 1970
  WString recoveryLogPath;    // empty when no log is open
};

// Counter slots the scan uses in `block`.
enum : int {
  kStatRecordsRead = 0,
  kStatRecordsParsed = 1,
  kStatItemsFound = 2,
  kStatDeletedFound = 3,
  kStatFoldersFound = 4,
  kStatVolumesScanned = 5,
  kStatRecordsSkipped = 6,
};

CProgressAndStats& theProgressAndStats();
