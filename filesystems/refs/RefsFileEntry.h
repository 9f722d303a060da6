// A file entry's value: its two times, size and where its extent index's
// root lies in the page.
#pragma once
#include <cstdint>

struct RefsEntry;

struct RefsFileEntry {
  bool ok = false;  // every check of the value passed
  uint64_t time1 = 0, time2 = 0;
  uint64_t size = 0;
  uint32_t rootOffset = 0;  // in the page
};
RefsFileEntry ReadRefsFileEntry(const uint8_t* page, const RefsEntry& entry);

// An extent of an extent index (a 32-byte value): ReFS clusters.
struct RefsExtent {
  uint64_t logical = 0, count = 0, physical = 0;
};
RefsExtent ReadRefsExtent(const uint8_t* value);
