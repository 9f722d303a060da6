#include "filesystems/hfs/HfsExtentsRecord.h"

#include "filesystems/hfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace hfs;

bool ParseHfsExtentsRecord(const uint8_t* rec, size_t left, HfsExtentsRecord* out) {
  if (left < kExtRecordBytes || GetBigEndian16(rec + kExtKeyLength) != kExtKeyLengthValue) return false;
  out->forkType = rec[kExtKeyForkType];
  out->fileId = GetBigEndian(rec + kExtKeyFileId, 4);
  out->startBlock = GetBigEndian(rec + kExtKeyStartBlock, 4);
  ReadHfsExtents(rec + kExtRecordExtents, out->extents);
  return true;
}
