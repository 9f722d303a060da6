#include "carving/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

struct RawInflater::Stream {
  z_stream z{};
  bool ready = false;
};

RawInflater::RawInflater(size_t maxOut) : stream_(std::make_unique<Stream>()), maxOut_(maxOut) {
  // A negative window size: raw deflate, as ZIP stores it.
  stream_->ready = inflateInit2(&stream_->z, -15) == Z_OK;
  done_ = !stream_->ready;
}

RawInflater::~RawInflater() {
  if (stream_->ready) inflateEnd(&stream_->z);
}

RawInflater::Result RawInflater::Feed(const uint8_t* in, size_t inBytes) {
  if (done_) return kError;
  z_stream& z = stream_->z;
  constexpr size_t kStep = 64 * 1024;
  size_t left = inBytes;
  const uint8_t* next = in;
  do {
    const uInt take = uInt(std::min<size_t>(left, UINT_MAX));
    z.next_in = const_cast<Bytef*>(next);
    z.avail_in = take;
    do {
      if (out_.size() >= maxOut_) {
        done_ = true;
        return kFull;
      }
      const size_t room = std::min(kStep, maxOut_ - out_.size());
      const size_t had = out_.size();
      out_.resize(had + room);
      z.next_out = reinterpret_cast<Bytef*>(&out_[had]);
      z.avail_out = uInt(room);
      const int r = inflate(&z, Z_NO_FLUSH);
      out_.resize(had + (room - z.avail_out));
      if (r == Z_STREAM_END) {
        done_ = true;
        return kEnd;
      }
      if (r == Z_BUF_ERROR) break;  // wants input (or output room: the loop gives it)
      if (r != Z_OK) {
        done_ = true;
        return kError;
      }
    } while (z.avail_in > 0 || z.avail_out == 0);
    const size_t used = take - z.avail_in;
    next += used;
    left -= used;
    if (used == 0 && z.avail_in > 0) break;
  } while (left > 0);
  return kMore;
}

bool InflateRaw(const uint8_t* in, size_t inBytes, size_t maxOut, std::string* out) {
  RawInflater inflater(maxOut);
  const RawInflater::Result r = inflater.Feed(in, inBytes);
  if (out) *out = inflater.Output();
  return r == RawInflater::kEnd;
}
