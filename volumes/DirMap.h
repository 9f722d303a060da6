// A sorted index over the NTFS entries of the node table, so that a file
// found twice (from the file table and from an index buffer) is entered
// once: entries are found by parent, both times and name.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Text.h"

class CNdArray;
struct cnode;

class CDirMap {
 public:
  CDirMap() = default;
  virtual ~CDirMap() = default;
  CDirMap(const CDirMap&) = delete;
  CDirMap& operator=(const CDirMap&) = delete;

  // Collects the qualifying entries of the table in table order (it keeps a
  // pointer to the table for the searches). NTFS nodes only, and:
  // - folders (flags2 0x0002) without flag 0x8000;
  // - files with none of the flags 0x0001, 0x0020, 0x0080, a name, and a
  //   parent other than record 5 unless they have no volume.
  // Out of memory ends in ShowErrorAndThrow.
  void CreateArray(const CNdArray& table);
  // Sorts by (parent, creation time, write time, name), all signed; the name
  // compares as counted names with ASCII letters folded. The parent of an
  // entry with flag 0x0020 is the record number (id) of the node its parent
  // index names.
  void QuickSort();
  // The index of an entry equal to (parent, first time, second time, name),
  // or -1.
  int64_t FindEntry(uint32_t parent, uint64_t firstTime, uint64_t secondTime, WStringView name) const;

  const std::vector<uint32_t>& Entries() const { return entries_; }
  size_t Count() const { return entries_.size(); }

  // The parent key of a node as the map orders it (its parentId, or through
  // flag 0x0020 the id of the node at that index; -1 for a dangling index).
  static int64_t ParentKey(const CNdArray& table, const cnode* node);

 private:
  int Compare(uint32_t a, uint32_t b) const;
  const CNdArray* table_ = nullptr;
  std::vector<uint32_t> entries_;
};
