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
struct cnode;
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
// The same for the entries of an $INDEX_ROOT attribute (from its header;
// `size` bytes available).
int MapRootNodes(const uint8_t* root, size_t size, const std::function<void(const IndexEntryName&)>& take);

// The folders' own indexes: each NTFS folder node with a volume, at its
// home (or, elsewhere, when its found index buffers prove it is its
// volume's: GetMatchingINDXCount), hands the folders its $INDEX_ROOT and
// its index buffers name (VolFilesToParent) to `paths` in its own group;
// the buffers taken are marked used. `groupOf` gives a node's group.
void MapFilesToParent(ScanSink& engine, Drive* drive, NtfsFolderPaths& paths,
                      const std::function<uint32_t(const cnode*)>& groupOf);

// Reads every index buffer the engine lists and enters the folders named in
// them into `paths`: in the group of the NTFS volume that holds the buffer,
// else for every group.
void MapIndexedFolders(ScanSink& engine, Drive* drive, NtfsFolderPaths& paths);
