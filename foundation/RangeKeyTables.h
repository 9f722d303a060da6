// Two small containers of the NTFS code. ARange collects ascending 32-bit
// numbers (record numbers) as runs of consecutive values. KeyPairTable lets
// the record parser learn a record's own number: it matches the (type, id)
// pairs of the attributes a record holds against the pairs its attribute
// list names, whichever side is seen first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class ARange {
 public:
  struct Run {
    uint32_t first;
    uint32_t last;  // inclusive
  };
  static constexpr uint32_t kInitialCapacity = 32;

  ARange();
  virtual ~ARange();
  ARange(const ARange&) = default;
  ARange& operator=(const ARange&) = default;

  // Extends the last run when value is its last + 1, else starts a new run.
  // Only ascending neighbours merge.
  void Add(uint32_t value);

  uint32_t Count() const { return uint32_t(items_.size()); }
  size_t Capacity() const { return items_.capacity(); }
  const Run& At(uint32_t index) const { return items_[index]; }

 private:
  std::vector<Run> items_;
};

class KeyPairTable {
 public:
  // Row 0: pairs the record's attributes showed; row 1: pairs the attribute
  // list named, each with the record reference it gave.
  static constexpr int kRows = 2;

  KeyPairTable() = default;
  ~KeyPairTable() = default;
  KeyPairTable(const KeyPairTable&) = default;
  KeyPairTable& operator=(const KeyPairTable&) = default;

  // Appends (a, b) to a row (value only kept in row 1). Keys are kept as
  // their low 16 bits. Returns the new index, or -1 for a bad row.
  int32_t Append(int row, uint32_t a, uint32_t b, uint64_t value = 0);
  // First index of the row whose keys equal a and b on their low 16 bits,
  // or -1.
  int32_t Find(int row, uint32_t a, uint32_t b) const;

  // Records that the record holds (a, b). 1 with *value set when the
  // attribute list already named the pair, else 0.
  int MarkSeenAndGet(uint32_t a, uint32_t b, uint64_t* value);
  // Records that the attribute list names (a, b) with value; true when the
  // record already showed the pair.
  bool AddValueAndCheckSeen(uint32_t a, uint32_t b, uint64_t value);

  int32_t Count(int row) const;
  uint64_t Value(int32_t index) const;

 private:
  struct Row {
    std::vector<uint16_t> keysA;
    std::vector<uint16_t> keysB;
  };
  Row rows_[kRows];
  std::vector<uint64_t> values_;  // parallel to row 1
};
