#include "carving/Media.h"

#include <algorithm>
#include <cstring>

#include "foundation/ByteOrder.h"

namespace {

bool Is(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// A RIFF chunk's size field, with its 8-byte header.
uint64_t RiffChunkBytes(const uint8_t* header) { return uint64_t(Le32(header + 4)) + 8; }

bool AddChecked(uint64_t a, uint64_t b, uint64_t* sum) {
  if (a > UINT64_MAX - b) return false;
  *sum = a + b;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- AVI

int HdrAVI::Reset() {
  HdrNode::Reset();
  expectedEnd_ = 0;
  carry_.Clear();
  return 0;
}

int HdrAVI::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  uint64_t c = cursor;
  for (;;) {
    if (state == kHdrActive) {
      const uint8_t* h = carry_.Take(b, length, &c, 12);
      if (!h) break;
      if (!Is(h, "RIFF") || !AddChecked(expectedEnd_, RiffChunkBytes(h), &expectedEnd_)) return Reject();
      state = kChunk;
      continue;
    }
    const uint8_t* h = carry_.Take(b, length, &c, 8);
    if (!h) break;
    uint64_t start = 0;
    if (!FileOffset(c, &start)) return Reject();
    start -= 8;
    if (Is(h, "RIFF")) {
      // A further RIFF chunk (an OpenDML continuation): the file goes on to
      // its end. Its form type is skipped.
      if (!AddChecked(expectedEnd_, RiffChunkBytes(h), &expectedEnd_)) return Reject();
      c += 4;
      state = kChunk;
      continue;
    }
    if (state == kChunk && (Is(h, "LIST") || Is(h, "JUNK") || Is(h, "idx1"))) {
      uint64_t size = Le32(h + 4);
      size += size & 1;  // 64 bits: an odd 0xFFFFFFFF rounds to 2^32
      uint64_t chunkEnd = 0;
      if (!AddChecked(start + 8, size, &chunkEnd)) return Reject();
      c += size;
      // Past the expected end only a further RIFF chunk goes on, wherever
      // the read ends.
      state = chunkEnd >= expectedEnd_ ? kAfterEnd : kChunk;
      continue;
    }
    // Anything else ends the file at this chunk header.
    return start >= expectedEnd_ ? Complete(start) : Reject();
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- WAV

int HdrWAV::Reset() {
  HdrNode::Reset();
  total_ = 0;
  carry_.Clear();
  return 0;
}

int HdrWAV::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  uint64_t c = cursor;
  for (;;) {
    if (state == kHdrActive) {
      const uint8_t* h = carry_.Take(b, length, &c, 12);
      if (!h) break;
      if (!Is(h, "RIFF")) return Reject();
      total_ = RiffChunkBytes(h);
      state = 2;
      continue;
    }
    const uint8_t* h = carry_.Take(b, length, &c, 8);
    if (!h) break;
    for (int k = 0; k < 4; ++k) {
      const uint8_t x = h[k];
      if (!((x >= 'A' && x <= 'Z') || (x >= 'a' && x <= 'z') || (x >= '0' && x <= '9') || x == ' ')) return Reject();
    }
    const uint64_t size = Le32(h + 4);
    uint64_t dataStart = 0, end = 0;
    if (!FileOffset(c, &dataStart) || !AddChecked(dataStart, size, &end)) return Reject();
    if (end > total_) return Reject();
    // Writers that count a pad byte, or the chunk header, once too often.
    if (end == total_ || end + 1 == total_ || end + 8 == total_) return Complete(end);
    c += size + (end & 1);
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- MOV

int HdrMOV::Reset() {
  HdrNode::Reset();
  atoms_ = 0;
  total_ = 0;
  carry_.Clear();
  return 0;
}

int HdrMOV::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  if (state == kHdrIdle) state = kHdrActive;
  uint64_t c = cursor;
  for (;;) {
    const uint8_t* h = carry_.Take(b, length, &c, 8);
    if (!h) break;
    const uint8_t* type = h + 4;
    if (Is(type, "moov") || Is(type, "pnot") || Is(type, "mdat") || Is(type, "wide") || Is(type, "free") ||
        Is(type, "PICT") || Is(type, "skip") || Is(type, "ftyp")) {
      // A size below 8 (a 64-bit size, or "to the end") rejects.
      const uint32_t size = GetBigEndian(h, 4);
      if (size < 8 || !AddChecked(total_, size, &total_)) return Reject();
      ++atoms_;
      c += size - 8;
      continue;
    }
    return atoms_ < 2 ? Reject() : Complete(total_);
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- MP3

int HdrMP3::Reset() {
  HdrNode::Reset();
  frames_ = 0;
  kind_ = 0;
  end_ = 0;
  carry_.Clear();
  return 0;
}

uint32_t HdrMP3::FrameLength(const uint8_t* h) {
  // Bits per second by bit-rate index: MPEG-1 Layer III, MPEG-1 Layer II,
  // then MPEG-2 and 2.5 (both layers).
  static const uint32_t kBitRates[3][16] = {
      {0, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 160000, 192000, 224000, 256000, 320000, 0},
      {0, 32000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 160000, 192000, 224000, 256000, 320000, 384000, 0},
      {0, 8000, 16000, 24000, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 144000, 160000, 0}};
  // By version bits (00 MPEG-2.5, 10 MPEG-2, 11 MPEG-1; 01 is reserved).
  static const uint32_t kSampleRates[4][4] = {
      {11025, 12000, 8000, 0}, {0, 0, 0, 0}, {22050, 24000, 16000, 0}, {44100, 48000, 32000, 0}};
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
  const uint32_t version = (h[1] >> 3) & 3;
  const uint32_t layer = (h[1] >> 1) & 3;  // 1 Layer III, 2 Layer II
  const bool mpeg1 = version == 3;
  // MPEG-2.5 is defined for Layer III only.
  if ((layer != 1 && layer != 2) || (version == 0 && layer != 1)) return 0;
  const uint32_t rate = kBitRates[mpeg1 ? layer - 1 : 2][h[2] >> 4];
  const uint32_t sampleRate = kSampleRates[version][(h[2] >> 2) & 3];
  // The free-format and reserved indexes end the walk before any division.
  if (rate == 0 || sampleRate == 0) return 0;
  // A Layer III frame of MPEG-2 and 2.5 holds half as many samples.
  const uint32_t perByte = mpeg1 || layer == 2 ? 144 : 72;
  const uint32_t frame = uint32_t(uint64_t(rate) * perByte / sampleRate) + ((h[2] >> 1) & 1);
  // MPEG-1: 96 bytes (32 kb/s at 48 kHz) to 1,729 (Layer II at 384 kb/s
  // and 32 kHz, padded). MPEG-2 and 2.5: 24 (8 kb/s at 24 kHz) to 1,441.
  if (mpeg1) return frame >= 96 && frame <= 1729 ? frame : 0;
  return frame >= 24 && frame <= 1441 ? frame : 0;
}

int HdrMP3::Finish(uint64_t end) {
  if (frames_ < kMinFrames) return Reject();
  // Frames inside the file that start a sector are no new files: the rest
  // of the read that holds its end is probed after it completed.
  const uint32_t ss = sectorSize ? sectorSize : 512;
  if (headerSector >= 0) startLimit = headerSector + int64_t(std::min<uint64_t>(end / ss + (end % ss != 0), INT64_MAX / 2));
  return Complete(end);
}

int HdrMP3::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  uint64_t c = cursor;
  for (;;) {
    if (state == kHdrActiveId3) {
      const uint8_t* h = carry_.Take(b, length, &c, 10);
      if (!h) break;
      // The tag's size is 28 bits in four 7-bit bytes; no footer, no
      // undefined flags.
      if (std::memcmp(h, "ID3", 3) != 0 || (h[5] & 0x1F) || ((h[6] | h[7] | h[8] | h[9]) & 0x80)) return Reject();
      c += uint64_t(h[6]) << 21 | uint64_t(h[7]) << 14 | uint64_t(h[8]) << 7 | h[9];
      state = kHdrActive;
      continue;
    }
    const uint8_t* h = carry_.Take(b, length, &c, 3);
    if (!h) break;
    uint64_t start = 0;
    if (!FileOffset(c, &start)) return Reject();
    start -= 3;
    if (std::memcmp(h, "TAG", 3) == 0) return Finish(start + 128);
    const uint32_t frame = FrameLength(h);
    // A stream keeps its MPEG version and layer: another one is other data.
    const uint8_t kind = uint8_t(h[1] & 0x1E);
    if (frame == 0 || (frames_ > 0 && kind != kind_)) return Finish(end_);
    kind_ = kind;
    ++frames_;
    c += frame - 3;
    // Kept as a file offset: the last frame may end in a later read.
    end_ = start + frame;
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- MTS

int HdrMTS::Reset() {
  HdrNode::Reset();
  pidCount_ = 0;
  packets_ = 0;
  lead_ = 4;
  zeroFrom_ = zeroTo_ = 0;
  carry_.Clear();
  return 0;
}

bool HdrMTS::PacketContinues(const uint8_t* h) {
  // Time code below 2^30 (timestamped packets), the sync byte, no
  // transport error.
  if (lead_ && h[0] >= 64) return false;
  h += lead_;
  if (h[0] != 0x47 || (h[1] & 0x80)) return false;
  const uint16_t id = uint16_t((h[1] & 0x1F) << 8 | h[2]);
  const uint8_t counter = h[3] & 0x0F;
  Pid* p = nullptr;
  for (uint32_t k = 0; k < pidCount_; ++k)
    if (pids_[k].id == id) p = &pids_[k];
  if (!p) {
    if (pidCount_ == kMaxPids) return false;
    p = &pids_[pidCount_++];
    *p = Pid{id, 0, false};
  }
  if (counter == p->next) {
    if (counter != 0) p->locked = true;
  } else if (p->locked || counter != 0) {
    return false;
  }
  p->next = uint8_t((counter + 1) & 0x0F);
  return true;
}

int HdrMTS::Finish() {
  // Every valid packet counts, whether the stream stops on a sector
  // boundary or inside a sector.
  const uint64_t bytes = packets_ * PacketBytes();
  if (bytes <= kMinBytes) return Reject();
  const uint32_t ss = sectorSize ? sectorSize : 512;
  startLimit = headerSector + int64_t((bytes + ss - 1) / ss);
  return Complete(bytes);
}

int HdrMTS::Stop(const uint8_t* header, size_t held, const uint8_t* b, size_t length, uint64_t c) {
  const uint32_t ss = sectorSize ? sectorSize : 512;
  const uint64_t stop = packets_ * PacketBytes();
  if (stop % ss == 0) return Finish();
  // The rest of the sector must be zeros.
  zeroTo_ = stop + (ss - stop % ss);
  for (uint64_t k = 0; k < held && stop + k < zeroTo_; ++k)
    if (header[k] != 0) return Reject();
  if (stop + held >= zeroTo_) return Finish();
  zeroFrom_ = stop + held;
  state = kZeroCheck;
  return ZeroCheck(b, length, c);
}

int HdrMTS::ZeroCheck(const uint8_t* b, size_t length, uint64_t from) {
  const uint64_t to = std::min<uint64_t>(length, zeroTo_ - consumed);
  for (uint64_t k = from; k < to; ++k)
    if (b[k] != 0) return Reject();
  if (consumed + length >= zeroTo_) return Finish();
  zeroFrom_ = consumed + length;
  cursor = length;
  return Pending(length);
}

int HdrMTS::Parse(const uint8_t* b, size_t length) {
  if (!b) return Reject();
  if (state == kHdrIdle) {
    state = kHdrActive;
    lead_ = length > 0 && b[0] == 0x47 ? 0 : 4;
  }
  if (state == kZeroCheck) return ZeroCheck(b, length, zeroFrom_ - consumed);
  uint64_t c = cursor;
  const size_t held = lead_ + 4;
  for (;;) {
    const uint8_t* h = carry_.Take(b, length, &c, held);
    if (!h) break;
    if (!PacketContinues(h)) return Stop(h, held, b, length, c);
    ++packets_;
    c += PacketBytes() - held;
  }
  cursor = c;
  return Pending(length);
}
