// Names of folders whose records are lost, from the index buffers of their
// parents: an entry of a folder's index names a child (its record, its
// parent's record and its name), so a folder whose FILE record was wiped
// still gets its name and place back from the buffer the Long Scan found.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Text.h"

class Drive;
class NtfsFolderPaths;
class ScanSink;

struct IndexEntryName {
  uint32_t record = 0;
  uint32_t parent = 0;
  WString name;
  bool directory = false;
};

// Reads one "INDX" buffer of `size` bytes (the fix-up is applied to the
// bytes given) and hands each named entry to `take`, at most 200. The
// number of entries read, -1 when the buffer does not parse.
int MapNodes(uint8_t* block, size_t size, const std::function<void(const IndexEntryName&)>& take);

// Reads every index buffer the engine lists and enters the folders named in
// them into `paths`: in the group of the NTFS volume that holds the buffer,
// else for every group.
void MapIndexedFolders(ScanSink& engine, Drive* drive, NtfsFolderPaths& paths);
