// Long names: the pieces (attribute 0x0F entries) in front of a short
// entry, gathered last piece first.
#pragma once
#include <cstddef>
#include <cstdint>

#include "filesystems/fat/Definitions.h"
#include "platform/Text.h"

class LongNameBuffer {
 public:
  LongNameBuffer() { Reset(); }
  void Reset();
  // True when the entry is an acceptable piece; its characters are then in
  // front of those gathered so far (a new name starts when the checksum
  // changes or the piece numbers do not count down).
  bool CheckLFN(const uint8_t* entry);
  bool Empty() const { return start_ == fat::kLongNameMax; }
  // The gathered name names the short entry of this checksum: the same
  // checksum and every piece from the last one down to piece 1 (a name
  // missing a piece would be a wrong name, the short one is true), or
  // deleted pieces (whose numbers and short entry may have changed).
  bool Names(uint8_t shortChecksum) const {
    return !Empty() && ((checksum_ == shortChecksum && began_ && order_ == 1) || deleted_);
  }
  WString Text() const { return WString(buf_ + start_, buf_ + fat::kLongNameMax); }

 private:
  char16_t buf_[fat::kLongNameMax + 1];
  size_t start_ = fat::kLongNameMax;
  uint8_t checksum_ = 0;
  uint8_t order_ = 0;
  bool began_ = false;
  bool deleted_ = false;
};
