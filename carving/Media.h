// Audio and video parsers: RIFF AVI and WAVE (chunk walks), QuickTime and
// MP4 (top-level atoms), MPEG audio frames (optionally behind an ID3 tag)
// and timestamped transport streams (192-byte packets). Long files keep
// their parser running over many reads; each walk hops from header to
// header and never looks at every byte.
#pragma once
#include <cstddef>
#include <cstdint>

#include "carving/FieldCarry.h"
#include "carving/HdrNode.h"

class HdrAVI : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

  // Sub-states: 1 a RIFF header, 2 a chunk header, 8 a chunk header after
  // the expected end (only a further RIFF goes on).
  static constexpr uint8_t kChunk = 2;
  static constexpr uint8_t kAfterEnd = 8;

 private:
  uint64_t expectedEnd_ = 0;  // the RIFF chunks seen, with their headers
  FieldCarry<12> carry_;
};

class HdrWAV : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

 private:
  uint64_t total_ = 0;  // RIFF size + 8
  FieldCarry<12> carry_;
};

class HdrMOV : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

 private:
  uint32_t atoms_ = 0;
  uint64_t total_ = 0;  // the atoms' sizes: the file offset of the next one
  FieldCarry<8> carry_;
};

class HdrMP3 : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

  // The length in bytes of the MPEG-1, MPEG-2 or MPEG-2.5 Layer II or III
  // frame whose header starts with these three bytes; 0 when they start
  // none (a bit-rate index of 0 or 15, sample-rate index 3, the reserved
  // version, Layer I).
  static uint32_t FrameLength(const uint8_t* header);
  // Fewer frames than this are no file. A file that completes sets the
  // start limit to its end, as a transport stream does.
  static constexpr uint32_t kMinFrames = 5;

 private:
  uint32_t frames_ = 0;
  uint8_t kind_ = 0;  // version and layer bits of the first frame
  uint64_t end_ = 0;  // file offset just past the last frame (or tag)
  FieldCarry<10> carry_;
  int Finish(uint64_t end);
};

class HdrMTS : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

  // Timestamped packets (a 4-byte time code before each 188-byte
  // transport packet, as cameras and Blu-ray write them); plain 188-byte
  // packets when the stream starts with the sync byte.
  static constexpr uint32_t kPacketBytes = 192;
  static constexpr uint32_t kPlainPacketBytes = 188;
  static constexpr uint32_t kMaxPids = 16;
  // A stream of this many bytes or fewer is no file.
  static constexpr uint64_t kMinBytes = 4095;
  // Sub-state: the walk stopped inside a sector whose rest must be zeros.
  static constexpr uint8_t kZeroCheck = 2;

 private:
  struct Pid {
    uint16_t id;
    uint8_t next;  // expected continuity counter
    bool locked;
  };
  Pid pids_[kMaxPids] = {};
  uint32_t pidCount_ = 0;
  uint64_t packets_ = 0;
  uint64_t zeroFrom_ = 0;  // file offsets of the bytes that must be zero
  uint64_t zeroTo_ = 0;
  uint32_t lead_ = 4;  // bytes before the sync byte: 4 or 0
  FieldCarry<8> carry_;
  uint32_t PacketBytes() const { return kPlainPacketBytes + lead_; }
  bool PacketContinues(const uint8_t* header);
  // The walk stopped at the packet whose first bytes are `header` (`held`
  // of them, `header` at the stream's end).
  int Stop(const uint8_t* header, size_t held, const uint8_t* b, size_t length, uint64_t c);
  int ZeroCheck(const uint8_t* b, size_t length, uint64_t from);
  int Finish();
};
