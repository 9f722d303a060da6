// MXF: the carving parser (a file measured from its header partition
// through its footer partition, read from the disk) and the MXF trace,
// which lists every MXF key the sector pass meets and decodes index table
// segments and random index packs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "carving/HdrNode.h"

// Key tests on 16 bytes.
bool IsMXFKey(const uint8_t* key);         // a key of the MXF structures (packs, sets, fill)
bool IsMXFFooterKey(const uint8_t* key);   // a closed footer partition pack
bool IsMXFIndexKey(const uint8_t* key);    // an index table segment
bool IsMXFRipKey(const uint8_t* key);      // the random index pack
bool IsMXFPartitionKey(const uint8_t* key);  // a header, body or footer partition pack
// "header", "body" or "footer" for a closed complete partition pack; null
// for any other key.
const char* MXFPartitionKind(const uint8_t* key);

// A BER length at `p` (`avail` bytes readable): short form, or long form of
// 1..8 bytes. False when malformed or cut off.
bool ReadBER(const uint8_t* p, size_t avail, uint64_t* length, uint32_t* berBytes);

// The name of a key from the key-name table ("Unknown" when it has none).
// The register version (byte 7) is not compared, nor an essence element's
// count and number.
const char* MXFKeyName(const uint8_t* key);
// Rows in the key-name table.
size_t MXFKeyNameCount();

class HdrMXF : public HdrNode {
 public:
  HdrMXF() = default;
  ~HdrMXF() override;
  int Reset() override;
  // Complete or rejected in one call: the footer partition and what
  // follows it are read from the disk.
  int Parse(const uint8_t* buffer, size_t length) override;

  // Bytes read from the disk at a time.
  static constexpr uint32_t kReadBytes = 8192;

 private:
  uint8_t* work_ = nullptr;
  size_t capacity_ = 0;
  // The bytes in hand: the first buffer, then the last read (file offsets).
  const uint8_t* window_ = nullptr;
  uint64_t windowStart_ = 0;
  uint64_t windowValid_ = 0;
  uint64_t fileRoom_ = 0;  // bytes from the header to the drive's end

  // The bytes at file offset `at`, at least `want` of them unless the drive
  // ends sooner (*avail says how many); null when `at` lies past the
  // drive's end or the read fails.
  const uint8_t* MXFReadAt(uint64_t at, size_t want, size_t* avail);
  void FreeWork();
};

// Decodes the value of an index table segment into trace lines: the
// segment (edit rate, start, duration) and one line per edit unit and delta
// entry; a malformed local tag ends it with a "Check" line. `lineLimit`
// bounds the edit-unit lines.
void ObjectPrint(const uint8_t* value, size_t length, uint64_t lineLimit = uint64_t(1) << 20);

// The MXF trace of the sector pass (trace level 2): one line per MXF key,
// with the partition offsets of partition packs, and the decoded index
// segments and random index packs. Reads that follow each other are joined,
// so keys cut by a read's end are traced whole.
class MXFHdrScan {
 public:
  // One read: `bytes` from sector `firstSector` on.
  void Scan(const uint8_t* buffer, size_t bytes, int64_t firstSector, uint32_t sectorSize);
  // The end of the pass: keys still held are traced with what there is.
  void Flush();

  // Values above this are not collected.
  static constexpr uint64_t kMaxValue = 1048575;
  // Bytes held back at a read's end for the next read.
  static constexpr size_t kCarry = 64;

 private:
  bool headerTraced_ = false;
  uint32_t sectorSize_ = 512;
  uint8_t carry_[kCarry] = {};
  size_t carried_ = 0;
  uint64_t carryAt_ = 0;  // disk byte of carry_[0]
  // A value being collected.
  enum class Collect { None, Index, Rip } collect_ = Collect::None;
  std::vector<uint8_t> value_;
  uint64_t valueAt_ = 0;   // disk byte of value_[0]
  uint64_t valueNeed_ = 0;

  // Keys starting in data[from, to) (data[0] at disk byte `at`; `n` bytes
  // readable).
  void Keys(const uint8_t* data, size_t n, size_t from, size_t to, uint64_t at);
  void Line(const uint8_t* key, size_t avail, uint64_t at);
  // Takes the bytes of data (at disk byte `at`) that the collected value
  // wants next.
  void Feed(const uint8_t* data, size_t n, uint64_t at);
  void Decode();
};
