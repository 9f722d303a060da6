// The rows of the "Look in" box as text: volumes by block device with size
// and label, then the physical disks, then the Refresh action row.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"

struct LookInRow {
  int group = 0;     // 2 logical volumes, 3 physical drives, 4 actions
  WString text;      // what the row shows
  WString source;    // the name a Drive is created from (empty for actions)
};

// "/dev/sda1 (465.76 GB) - label": the size and the label each only while
// the row stays under 64 characters; the mount point in brackets likewise.
WString VolumeRowText(WStringView device, int64_t sizeBytes, WStringView label, WStringView mountPoint);
// The rows from the machine's disk list (reads sysfs).
std::vector<LookInRow> MachineLookInRows();
