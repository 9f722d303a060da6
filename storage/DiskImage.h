// A copy of a range of sectors of a drive into a file (or a device): the
// raw sectors, a hex listing, or a missing member of a RAID set rebuilt
// from the others. The copy runs on a thread of its own; whoever shows its
// progress reads the bytes copied from the callback and asks it to stop
// through the cancel flag.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "platform/Text.h"

class Drive;

// What the copy thread gets: the range (first advances as it copies), the
// output and what it reports back.
struct DumpJob {
  int64_t first = 0;
  int64_t last = -1;  // inclusive
  // The listing (text format only); the copy closes it.
  FILE* text = nullptr;
  const std::atomic<int>* cancel = nullptr;
  int binary = 1;
  // 0 a plain copy; 1 the missing member of a RAID 5 set; 2 the missing
  // member(s) of a RAID 6 set (the second, when two are missing, into the
  // second sector file).
  int regenerate = 0;
  int error = 0;  // set when the copy stopped on a failure
  // Called from the copy thread with the bytes copied so far, about once
  // a second after the first 100 pieces.
  std::function<void(uint64_t total)> progress;
};

// The copy thread's work: reads through `drive`, writes binary output to
// the trace object's sector files (opened by the caller) or the listing to
// job.text. 0 when the range was done or the cancel flag seen, 1 when it
// stopped on a failure (job.error set, the last error saying why). The
// drive is closed again at the end.
int CopyDiskImageThread(Drive& drive, DumpJob& job);

// Bytes of output per sector of a hex listing.
uint64_t ListingBytesPerSector(uint32_t sectorSize);
// The disk space a copy needs, in MiB rounded up; 0 for a negative or an
// empty range.
int64_t DiskImageSpaceMiB(int64_t first, int64_t last, bool binary, uint32_t sectorSize);

// The two member files of a RAID 6 rebuild: the 7th-, 6th- and 5th-last
// characters of the path replaced by '_', '0' and '1' (then '2'), so
// ".../raid6gen.dsk" gives ".../raid6_01.dsk" and ".../raid6_02.dsk".
// Empty for a path of fewer than 7 characters.
WString RebuildMemberPath(WStringView path, int second);
// 2 for a final name component "raid6gen.dsk", 1 for "raid5gen.dsk"
// (exactly, case counts), else 0.
int RebuildKindOfName(WStringView path);
