// A trace aid of the sector pass: whether a buffer starts with a run of
// 1024-byte records of one fixed layout; when it does, one trace line per
// record ("rcx @ %I64d %ld": the distance in sectors from the previous hit
// and the record's value). It changes nothing in the scan's results.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class FgmQBW {
 public:
  static constexpr size_t kRecordBytes = 1024;
  // `records` records are tested (the pass uses 4); numbers above `limit`
  // (other than all ones) fail.
  explicit FgmQBW(uint32_t records = 4, uint32_t limit = 0xFFFFFFFEu) : records_(records), limit_(limit) {}
  virtual ~FgmQBW() = default;

  // The buffer must hold records x 1024 bytes. True when all records passed
  // (the lines were written and the sector became the previous hit); the
  // records' values in `values` when given.
  bool Check(const uint8_t* buffer, int64_t sector, std::vector<int64_t>* values = nullptr);
  size_t BytesNeeded() const { return size_t(records_) * kRecordBytes; }

 private:
  bool Passes(const uint8_t* record, bool first, int64_t* value) const;
  uint32_t records_;
  uint32_t limit_;
  int64_t previous_ = 0;
};
