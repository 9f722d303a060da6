// ext directory blocks: the entries of a folder's data become nodes handed
// to the folder walk, live ones and the deleted ones whose records survive
// in the space a live entry's record length covers.
#pragma once
#include <cstddef>
#include <cstdint>

class CVol;
class CUnixVol;
struct cnode;

// One directory record as the bytes hold it.
struct ExtDirEntry {
  uint32_t inode = 0;
  uint16_t recordLength = 0;
  uint8_t nameLength = 0;
  uint8_t fileType = 0;
  const uint8_t* name = nullptr;
};

// The record at `at` of a block of `bytes`: false when its record length
// does not fit what is left or is below name length + 8.
bool ReadExtDirEntry(const uint8_t* block, size_t bytes, size_t at, ExtDirEntry* out);

// Parses a piece of a folder's data (whole blocks of the volume): each
// entry becomes a node handed to AddDirEntryNode. Returns the number of
// inodes looked up.
int ParseUnixEntries(CUnixVol* volume, const cnode* folder, const uint8_t* data, size_t bytes);

// The family's entry parser (FamilyScanOps::parseEntries).
int ParseExtEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes);
