// Tape-format backup sets (bkf): the carving parser follows descriptor
// blocks and data streams from the TAPE block to the end of the last data
// set; the BKF trace lists every descriptor block the sector pass meets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "carving/FieldCarry.h"
#include "carving/HdrNode.h"

// A date of the format's packed 5-byte form.
struct MTFDateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
MTFDateTime ReadMTFDateTime(const uint8_t* packed);

// The common block header's checksum: the XOR of its first 25 16-bit words
// is the 26th (52 bytes readable).
bool CheckBKFChecksum(const uint8_t* block);

// The index 0..9 of a descriptor block id ("TAPE".."SFMB"), or -1.
int BKFBlockIndex(uint32_t id);
// Whether an id is one of the 20 data stream ids.
bool IsBKFStreamId(uint32_t id);

// Traces the descriptor block at `data` (`bytes` readable, at `sector`)
// when it has a known id and a correct checksum.
void ParseBKFDescriptor(const uint8_t* data, size_t bytes, int64_t sector);

class HdrBKF : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

  // Sub-states besides 1 (a block or stream at the cursor): 3 and 6 a
  // descriptor block's fixed part, 4 a stream header, 5 after a data set
  // ended (only a further set goes on).
  static constexpr uint8_t kBlockHead = 3;
  static constexpr uint8_t kStreamHeader = 4;
  static constexpr uint8_t kSetEnded = 5;
  static constexpr uint8_t kBlockFields = 6;
  // The common header up to its checksum: a block's first stream can start
  // no sooner.
  static constexpr uint32_t kCommonHeader = 52;
  static constexpr uint32_t kMaxName = 510;

  uint32_t BlockSize() const { return blockSize_; }
  // The last FILE and DIRB names (as stored: UTF-16 or 8-bit; a DIRB's NUL
  // characters made "\").
  const std::string& FileName() const { return fileName_; }
  const std::string& DirName() const { return dirName_; }

 private:
  uint32_t blockSize_ = 0;
  uint32_t id_ = 0;
  uint8_t head_[88] = {};  // the block's fixed part, or a stream header
  uint32_t need_ = 0;      // bytes of head_ wanted
  uint64_t blockStart_ = 0;
  uint32_t openSets_ = 0;
  bool endOfMedia_ = false;
  FieldCarry<88> carry_;
  std::string fileName_, dirName_;
  std::string* name_ = nullptr;  // the name still being filled
  uint64_t nameFrom_ = 0;        // file offset of its next byte
  uint32_t nameLeft_ = 0;
  bool nameWide_ = false, nameIsDir_ = false;

  void StartName(std::string* name, uint64_t from, uint32_t size, bool wide, bool isDir);
  void CopyName(const uint8_t* b, size_t length);
  // A descriptor block's fixed part is in: its rules, then the cursor to
  // its first stream. 0 to go on, else the parse's result.
  int Block(uint64_t* c);
  // The cursor onto the next 4-byte boundary of the file.
  bool Align(uint64_t* c) const;
  int Accept(uint64_t size, uint64_t c);
  int Fail(uint64_t c);
};
