// Raw-deflate inflation of ZIP members (no zlib header), always into a
// bounded output: a member's sizes come from the disk and are not trusted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Inflates `in` whole into *out, which gets at most `maxOut` bytes. True
// when the stream ended inside the input and fitted; false for data that is
// no deflate stream, a stream cut short, or one that would pass maxOut
// (*out then holds what was inflated up to the fault).
bool InflateRaw(const uint8_t* in, size_t inBytes, size_t maxOut, std::string* out);

// An inflation fed piece by piece, its output growing up to a bound.
class RawInflater {
 public:
  explicit RawInflater(size_t maxOut);
  ~RawInflater();
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  enum Result { kMore, kEnd, kError, kFull };
  // Feeds one piece: kMore wants the next one, kEnd the stream ended, kError
  // the data is no deflate stream, kFull the output reached its bound.
  // After anything but kMore the inflater takes no more input.
  Result Feed(const uint8_t* in, size_t inBytes);
  const std::string& Output() const { return out_; }

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  std::string out_;
  size_t maxOut_;
  bool done_ = false;
};
