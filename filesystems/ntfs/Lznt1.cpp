#include "filesystems/ntfs/Lznt1.h"

#include <cstring>
#include <memory>
#include <new>

#include "foundation/Messages.h"
#include "foundation/Trace.h"

namespace {

constexpr int64_t kChunkBytes = 4096;

int64_t Corrupt(int errorClass, int64_t detail) {
  VErrorMsg(Msg(147).c_str(), errorClass, static_cast<int32_t>(detail));
  if (traceCompression.load(std::memory_order_relaxed))
    TracePrintfW(u"Lznt1Decompress: %s\n", LastErrorText());
  return -1;
}

// Expands one compressed chunk's tokens [in, end) into out, which holds
// the chunk's output from chunkStart and may grow up to limit. Returns the
// new output position, or null after recording the error.
uint8_t* ExpandChunk(const uint8_t* in, const uint8_t* end, uint8_t* chunkStart, uint8_t* limit,
                     const uint8_t* inputBase, const uint8_t* outputBase) {
  uint8_t* out = chunkStart;
  while (in < end) {
    uint8_t flags = *in++;
    for (int bit = 0; bit < 8 && in < end; ++bit, flags >>= 1) {
      if (!(flags & 1)) {
        if (out >= limit) {
          Corrupt(kLznt1ErrOverflow, out - outputBase);
          return nullptr;
        }
        *out++ = *in++;
        continue;
      }
      if (end - in < 2) {
        Corrupt(kLznt1ErrOverrun, in - inputBase);
        return nullptr;
      }
      uint16_t token = static_cast<uint16_t>(in[0] | (in[1] << 8));
      in += 2;
      // The further into the chunk, the more bits go to the offset.
      unsigned lengthMask = 0xFFF;
      unsigned offsetShift = 12;
      for (int64_t pos = (out - chunkStart) - 1; pos >= 0x10; pos >>= 1) {
        lengthMask >>= 1;
        --offsetShift;
      }
      int64_t offset = (token >> offsetShift) + 1;
      int64_t length = (token & lengthMask) + 3;
      if (offset > out - chunkStart) {
        Corrupt(kLznt1ErrBackRef, offset);
        return nullptr;
      }
      if (length > limit - out) {
        Corrupt(kLznt1ErrOverflow, out - outputBase);
        return nullptr;
      }
      const uint8_t* from = out - offset;
      if (offset >= length) {
        std::memcpy(out, from, static_cast<size_t>(length));
        out += length;
      } else {
        // Overlapping: repeats the last offset bytes.
        for (int64_t i = 0; i < length; ++i) *out++ = from[i];
      }
    }
  }
  return out;
}

}  // namespace

int64_t Lznt1Decompress(uint8_t* input, int unitCount, int unitSize, int* unitsConsumed, uint8_t* output) {
  if (unitsConsumed) *unitsConsumed = 0;
  if (!input || unitCount < 0 || unitSize <= 0) return Corrupt(kLznt1ErrOverrun, 0);

  const int64_t inputBytes = static_cast<int64_t>(unitCount) * unitSize;
  int64_t capacity = static_cast<int64_t>(kLznt1MaxUnits) * unitSize;
  std::unique_ptr<uint8_t[]> own;
  uint8_t* outBase = output;
  if (!outBase) {
    // The result goes back over the input, so it may not outgrow it.
    if (capacity > inputBytes) capacity = inputBytes;
    own.reset(new (std::nothrow) uint8_t[static_cast<size_t>(capacity) + 1]);
    if (!own) {
      ErrorMsg(Msg(209).c_str());
      return -1;
    }
    outBase = own.get();
  }

  const uint8_t* in = input;
  const uint8_t* const inEnd = input + inputBytes;
  uint8_t* out = outBase;
  uint8_t* const limit = outBase + capacity;

  while (out < limit && inEnd - in >= 2) {
    uint16_t header = static_cast<uint16_t>(in[0] | (in[1] << 8));
    if (header == 0) {
      // End of the data. Nearly full output is completed with zeroes.
      if (limit - out < unitSize) {
        std::memset(out, 0, static_cast<size_t>(limit - out));
        out = limit;
      }
      break;
    }
    if ((out - outBase) % kChunkBytes != 0) return Corrupt(kLznt1ErrBoundary, out - outBase);
    int64_t length = (header & 0xFFF) + 1;
    if (length > inEnd - (in + 2)) return Corrupt(kLznt1ErrOverrun, in - input);
    const uint8_t* data = in + 2;
    in = data + length;
    if (!(header & 0x8000)) {
      if (length > limit - out) return Corrupt(kLznt1ErrOverflow, out - outBase);
      std::memcpy(out, data, static_cast<size_t>(length));
      out += length;
    } else {
      out = ExpandChunk(data, in, out, limit, input, outBase);
      if (!out) return -1;
    }
  }

  int64_t produced = out - outBase;
  if (unitsConsumed) *unitsConsumed = static_cast<int>(((in - input) + unitSize - 1) / unitSize);
  if (own) std::memcpy(input, own.get(), static_cast<size_t>(produced));
  return produced;
}
