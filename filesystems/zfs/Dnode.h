// A 512-byte dnode parsed into plain values, and the file attributes its
// bonus buffer holds.
#pragma once
#include <cstdint>

#include "filesystems/zfs/Definitions.h"

struct ZfsDnode {
  uint8_t type = 0;
  uint8_t indBlkShift = 0;
  uint8_t levels = 0;
  uint8_t blkPtrCount = 0;
  uint8_t bonusType = 0;
  uint8_t checksum = 0;
  uint8_t compress = 0;
  uint8_t flags = 0;
  uint32_t dataBlockBytes = 0;
  uint16_t bonusLength = 0;
  uint64_t maxBlkId = 0;
  uint64_t used = 0;
  // Where the bonus buffer starts: after the block pointers (2 or 3), else
  // after the first.
  uint32_t BonusOffset() const;
  // The number of data blocks the pointers can reach (0 when the shift or
  // levels make no sense).
  uint64_t ReachableBlocks() const;
};

ZfsDnode ParseZfsDnode(const uint8_t* bytes);

// ZFSIsValidDnode: the shape a dnode must have (type below 54, indirect
// shift 9 to 17, 1 to 7 levels, 1 to 3 pointers, bonus type below 54,
// checksum below 10, compression below 16, a data block size of at most
// 128 KiB, the bonus inside the dnode) and a first pointer with a
// non-zero size (the sector test). `allowHole` takes a first pointer that
// is a hole (an empty file's).
bool ZFSIsValidDnode(const uint8_t* bytes, bool allowHole = false);

// A file's attributes from its bonus: the znode (ZPL version 4 and before)
// or system attributes in the standard layout. Values the bonus does not
// hold stay 0.
struct ZfsFileAttributes {
  bool known = false;
  uint64_t size = 0;
  uint64_t parent = 0;
  uint64_t mtime = 0;  // seconds since 1970
  uint64_t ctime = 0;
  uint64_t mode = 0;  // znodes only
};
ZfsFileAttributes ReadZfsFileAttributes(const uint8_t* dnode, bool systemAttributes);

// The trace dump ("dn_type=%s, dn_indblkshift=%d, dn_levels=%d,
// dn_maxblkid=%d" and the pointers).
void ZFSDumpDnode(const uint8_t* dnode, const char* title);
// The DMU object type's name ("DMU_OT_NONE" .. "DMU_OT_BPOBJ_SUBOBJ"),
// "Invalid" above.
const char* DmuTypeName(uint8_t type);
