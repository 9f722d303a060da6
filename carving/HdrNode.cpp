#include "carving/HdrNode.h"

int HdrNode::Reset() {
  sectorSize = reader ? reader->SectorSize() : 512;
  if (sectorSize == 0) sectorSize = 512;
  state = kHdrIdle;
  enabled = 1;
  consumed = 0;
  size = 0;
  lastSector = -1;
  headerSector = -1;
  cursor = 0;
  counter = 0;
  refinedType = 0;
  sizeUnsure = false;
  return 0;
}

int HdrNode::Parse(const uint8_t*, size_t) { return Reject(); }

bool HdrNode::IsAtOrAfterStart(int64_t sector) const { return state == kHdrIdle && sector >= startLimit; }

int HdrNode::Pending(size_t length) {
  if (consumed > UINT64_MAX - length) return Reject();
  consumed += length;
  cursor = cursor >= length ? cursor - length : 0;
  return 0;
}

int HdrNode::Complete(uint64_t fileSize) {
  if (fileSize == 0) return Reject();
  size = fileSize;
  state = kHdrComplete;
  return 1;
}

int HdrNode::Reject() {
  state = kHdrRejected;
  return -1;
}

bool HdrNode::FileOffset(uint64_t position, uint64_t* offset) const {
  if (consumed > UINT64_MAX - position) return false;
  *offset = consumed + position;
  return true;
}
