// Ordering the file list: by one of its columns, or into the folder order
// the folder display needs. The sorts work on keys gathered into
// contiguous arrays and give a new order; they never change the list
// themselves, so a worker can compute the order while the window paints the
// old one, and the GUI thread swaps the result in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Text.h"
#include "ui/core/ListStore.h"

class FolderIndex;

// Sort codes: the columns, and 7 the folder order.
enum SortCode : int {
  kSortNone = -1,
  kSortName = 0,
  kSortType = 1,
  kSortFolder = 2,
  kSortVolume = 3,
  kSortStatus = 4,
  kSortSize = 5,
  kSortDate = 6,
  kSortFolderOrder = 7,
};

// Displayed-row entries: a file record index, or a folder row with this bit.
inline constexpr uint32_t kFolderRowBit = 0x80000000u;
inline bool IsFolderEntry(uint32_t entry) { return (entry & kFolderRowBit) != 0; }

// Names: A-Z folded to a-z, then by code unit; a name that is the start of
// the other goes first. 0 equal, negative when a goes first.
int CompareNamesFolded(WStringView a, WStringView b);
// The folder order of two paths: the first characters exactly, later ones
// with a-z folded to A-Z; at the first difference a "\" on either side goes
// first, else the lower code; when one path ends where the other goes on,
// the ended one goes last if the other goes on with "\" and first
// otherwise. Subfolders therefore come before their folder's own files and
// a sibling whose name extends the folder's name comes after them.
int ComparePathOrder(WStringView a, WStringView b);

// The order of every file record for a code, ascending: result[i] is the
// record that goes to place i. Code 7 (folder order): records of one path
// together, the paths in path order (paths that differ only in letter case
// are told apart by an exact comparison), within a path by name, then by
// node index. Other codes leave equal keys in no defined order.
std::vector<uint32_t> SortedRecordOrder(const ListStore& store, const ListNodeSource* nodes, int code);

// Sorts displayed entries ascending. Folder rows go ahead of file rows
// whatever the key. With rowsOfFolder (the open folder's rows) and codes 1,
// 4 and 6 only the block of file rows is sorted, and folder rows that an
// earlier reversal left behind the files are put back ahead of them in
// their earlier order. Folder sizes are worked out when sorting by size.
void SortDisplayedRows(std::vector<uint32_t>& rows, int code, bool rowsOfFolder, const ListStore& store,
                       const ListNodeSource* nodes, FolderIndex* folders);
