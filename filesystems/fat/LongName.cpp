#include "filesystems/fat/LongName.h"

#include "foundation/ByteOrder.h"

using namespace fat;

void LongNameBuffer::Reset() {
  start_ = kLongNameMax;
  buf_[kLongNameMax] = 0;
  checksum_ = 0;
  order_ = 0;
  began_ = false;
  deleted_ = false;
}

bool LongNameBuffer::CheckLFN(const uint8_t* e) {
  const uint8_t order = e[kLfnOrder];
  const bool deletedPiece = order == kDirDeletedMark;
  if (deletedPiece) {
    deleted_ = true;
  } else {
    const int number = order & kLfnNumberMask;
    if (number < 1 || number > kLfnMaxPieces) return false;
  }
  if (e[kDirAttributes] != kAttrLongName || e[kLfnType] != 0 || Le16(e + kLfnZeroCluster) != 0 ||
      (e[1] == 0 && e[2] == 0))
    return false;
  bool broke = false;
  if (!deletedPiece) {
    const int number = order & kLfnNumberMask;
    broke = (order & kLfnLastPiece) != 0 || order_ != number + 1;
    order_ = uint8_t(order & 0xBF);
  }
  if (e[kLfnChecksum] != checksum_ || broke) {
    start_ = kLongNameMax;
    checksum_ = e[kLfnChecksum];
    // A name that does not open with its last piece has lost its end.
    if (!deletedPiece) began_ = (order & kLfnLastPiece) != 0;
  }
  char16_t piece[13];
  size_t n = 0;
  for (size_t off : kLfnCharOffsets) {
    const char16_t c = char16_t(Le16(e + off));
    if (c == 0) break;
    piece[n++] = c;
  }
  if (n > start_) n = start_;  // never more than the room left
  start_ -= n;
  for (size_t i = 0; i < n; ++i) buf_[start_ + i] = piece[i];
  return true;
}
