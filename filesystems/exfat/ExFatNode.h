// The exFAT family's found-file node. It keeps the entry set's packed
// timestamps as the file entry holds them; they become file times only when
// asked for. The first cluster is the node's id, the parent folder's first
// cluster its parentId.
#pragma once
#include <cstdint>

#include "platform/Text.h"
#include "volumes/Node.h"

struct ExFatNode : cnode {
  // Timestamps: DOS time in the low word, DOS date in the high word.
  uint32_t createTime = 0;
  uint32_t modifyTime = 0;
  uint32_t accessTime = 0;
  uint16_t attributes = 0;
  uint8_t tenMs[3] = {};      // create, modify, (access: always 0)
  uint8_t utcOffset[3] = {};  // create, modify, access: kept, not applied
  uint8_t generalFlags = 0;   // the stream entry's; bit 1: no FAT chain

  ExFatNode() : cnode(kNodeExFat) {}

  bool NoFatChain() const;
  // which 0: modify, 1: create, 2: access, as a FILETIME of the stored
  // date and time taken as UTC; 0 when the date is not valid.
  uint64_t GetTime(int which) const;
  // The same as "yyyy/MM/dd HH:mm:ss"; "0000/00/00 00:00:00" when invalid.
  WString GetTimeText(int which) const;
};

// A packed DOS date and time and a 10-ms count (0-199) as broken-down
// values; false when they are no valid time (month 1-12, a day the month
// can have, hour below 24, minute below 60, second at most 59).
struct ExFatTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};
bool DecodeExFatTime(uint32_t stamp, uint8_t tenMs, ExFatTime* out);

// For the node model's dispatch on the family nibble.
cnode* CreateExFatNode();
void DestroyExFatNode(cnode* node);
bool CopyExFatNodeFields(cnode* to, const cnode* from);
bool GetExFatNodeFileTime(const cnode* node, uint64_t* out, int which);
WString GetExFatNodeTimeText(const cnode* node, int which);
