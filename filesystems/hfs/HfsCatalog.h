// Catalog leaf records: the key (parent id and UTF-16BE name) and the
// folder, file and thread records after it, parsed into plain values; and
// the name as the list shows it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "filesystems/hfs/HfsHeader.h"
#include "platform/Text.h"

struct HfsCatalogKey {
  uint16_t keyLength = 0;
  uint32_t parentId = 0;
  uint16_t nameLength = 0;        // UTF-16 units
  const uint8_t* name = nullptr;  // UTF-16BE, inside the node
};

struct HfsCatalogRecord {
  uint16_t type = 0;
  uint16_t flags = 0;
  uint32_t valence = 0;
  uint32_t id = 0;
  uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0, backupDate = 0;
  uint16_t mode = 0;
  HfsForkData dataFork;  // files
  // Threads.
  uint32_t threadParent = 0;
};

// The key at `rec` with `left` bytes up to the next record: key length + 4
// (the length word and a record type) inside them, a name of at most 255
// units and key length = 2 x name length + 6. False otherwise.
bool ParseHfsCatalogKey(const uint8_t* rec, size_t left, HfsCatalogKey* key);
// The record after the key (`data`, `left` bytes): a folder needs 88, a
// file 248, a thread 10 + 2 x its name length. False for another type or
// too few bytes.
bool ParseHfsCatalogRecord(const uint8_t* data, size_t left, HfsCatalogRecord* out);
// The name as the list shows it: control characters and " * / : < > ? \ |
// become "_", trailing blanks go.
WString HfsNameToWide(const uint8_t* name, uint32_t units);
