#include "foundation/RangeKeyTables.h"

#include <limits>
#include <new>

#include "foundation/Trace.h"

// The containers grow geometrically (std::vector): constant steps made a
// long run of appends copy the whole array again and again.

ARange::ARange() { items_.reserve(kInitialCapacity); }

ARange::~ARange() = default;

void ARange::Add(uint32_t value) {
  // Compared in 64 bits so a last of 0xFFFFFFFF never "extends" to 0.
  if (!items_.empty() && uint64_t(value) == uint64_t(items_.back().last) + 1) {
    items_.back().last = value;
    return;
  }
  if (items_.size() >= size_t(std::numeric_limits<uint32_t>::max())) return;
  try {
    items_.push_back(Run{value, value});
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
}

int32_t KeyPairTable::Append(int row, uint32_t a, uint32_t b, uint64_t value) {
  if (row < 0 || row >= kRows) return -1;
  Row& r = rows_[row];
  if (r.keysA.size() >= size_t(std::numeric_limits<int32_t>::max())) return -1;
  try {
    // Room in every column first, so a failure leaves them the same length.
    const size_t n = r.keysA.size();
    if (n == r.keysA.capacity()) {
      const size_t grown = n < 8 ? 8 : n * 2;
      r.keysA.reserve(grown);
      r.keysB.reserve(grown);
      if (row == 1) values_.reserve(grown);
    }
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
  r.keysA.push_back(uint16_t(a));
  r.keysB.push_back(uint16_t(b));
  if (row == 1) values_.push_back(value);
  return int32_t(r.keysA.size() - 1);
}

int32_t KeyPairTable::Find(int row, uint32_t a, uint32_t b) const {
  if (row < 0 || row >= kRows) return -1;
  const Row& r = rows_[row];
  const uint16_t ka = uint16_t(a), kb = uint16_t(b);
  for (size_t i = 0; i < r.keysA.size(); ++i)
    if (r.keysA[i] == ka && r.keysB[i] == kb) return int32_t(i);
  return -1;
}

int KeyPairTable::MarkSeenAndGet(uint32_t a, uint32_t b, uint64_t* value) {
  Append(0, a, b);
  int32_t i = Find(1, a, b);
  if (i < 0) return 0;
  if (value) *value = values_[size_t(i)];
  return 1;
}

bool KeyPairTable::AddValueAndCheckSeen(uint32_t a, uint32_t b, uint64_t value) {
  Append(1, a, b, value);
  return Find(0, a, b) >= 0;
}

int32_t KeyPairTable::Count(int row) const {
  if (row < 0 || row >= kRows) return 0;
  return int32_t(rows_[row].keysA.size());
}

uint64_t KeyPairTable::Value(int32_t index) const {
  if (index < 0 || size_t(index) >= values_.size()) return 0;
  return values_[size_t(index)];
}
