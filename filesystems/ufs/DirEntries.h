// UFS folder data: its entries (in chunks of 512 bytes) become nodes
// handed to the folder walk. Nothing on UFS keeps a deleted entry's inode
// (its mode and pointers are freed): only live entries are read.
#pragma once
#include <cstddef>
#include <cstdint>

class CVol;
struct cnode;

// One entry as the layout reads it (the name length at 7 and the type at
// 6, or the other way round with "UFS Keep Length And Type Order").
struct UfsDirEntry {
  uint32_t inode = 0;
  uint16_t recordLength = 0;
  uint8_t nameLength = 0;
  uint8_t type = 0;
  const uint8_t* name = nullptr;
};
// The entry at `at` of a chunk of `bytes`: false when its record length is
// 0, not a multiple of 4, shorter than its name needs or past the chunk.
bool ReadUfsDirEntry(const uint8_t* chunk, size_t bytes, size_t at, uint8_t nameLengthAt, uint8_t typeAt,
                     UfsDirEntry* out);

// The family's entry parser (FamilyScanOps::parseEntries): the number of
// inodes looked up.
int ParseUfsEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes);
