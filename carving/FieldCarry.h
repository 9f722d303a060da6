// A fixed-size field of a carved file that may be cut by the end of a read:
// the media and backup parsers take their headers through it, so where a
// read ends never changes what they decide.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

template <size_t Capacity>
class FieldCarry {
 public:
  // The `need` bytes from position *c of the buffer on, with what an earlier
  // buffer left here in front of them; *c moves past the bytes taken. Null
  // while the field is incomplete (the buffer is used up). The pointer holds
  // until the next call.
  const uint8_t* Take(const uint8_t* b, size_t length, uint64_t* c, size_t need) {
    if (need > Capacity) return nullptr;
    if (have_ == 0 && *c <= length && need <= length - *c) {
      const uint8_t* p = b + *c;
      *c += need;
      return p;
    }
    while (have_ < need && *c < length) bytes_[have_++] = b[(*c)++];
    if (have_ < need) return nullptr;
    have_ = 0;
    return bytes_;
  }
  // Grows a field just taken from this buffer by Take (its first `have`
  // bytes at `field`) to `need` bytes; the same contract as Take.
  const uint8_t* Extend(const uint8_t* field, size_t have, const uint8_t* b, size_t length, uint64_t* c,
                        size_t need) {
    if (need > Capacity || have > need) return nullptr;
    if (have_ == 0) {
      // The field lies whole in this buffer so far: go on there when the
      // rest does too.
      if (field != bytes_ && need - have <= length - *c) {
        *c += need - have;
        return field;
      }
      if (field != bytes_) std::memmove(bytes_, field, have);
      have_ = have;
    }
    return Take(b, length, c, need);
  }
  // Bytes of an incomplete field held so far.
  size_t Held() const { return have_; }
  const uint8_t* HeldBytes() const { return bytes_; }
  void Clear() { have_ = 0; }

 private:
  uint8_t bytes_[Capacity] = {};
  size_t have_ = 0;
};
