// Maps 64-bit positions to a pair of 32-bit values through closed ranges
// appended in ascending order (the sector pass records, per volume found,
// the sectors it was found in and the node indices added meanwhile).
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class NRanges {
 public:
  struct Item {
    uint64_t start;
    uint64_t end;  // inclusive
    uint32_t value;
    uint32_t value2;
  };
  static constexpr uint32_t kNotFound = 0xFFFFFFFFu;
  static constexpr uint32_t kInitialCapacity = 32;

  NRanges();
  virtual ~NRanges();
  NRanges(const NRanges&) = default;
  NRanges& operator=(const NRanges&) = default;

  // Appends [start, end] with its values and returns the new count. An
  // inverted range (end < start) is ignored and the count returned unchanged.
  // A range that does not start after the last one's end is refused with -1:
  // the binary search in Find depends on ascending, disjoint items.
  int32_t Add(uint64_t start, uint64_t end, uint32_t value, uint32_t value2);

  // (value, value2) of the range holding position, or (kNotFound, kNotFound).
  std::pair<uint32_t, uint32_t> Find(uint64_t position) const;

  int32_t Count() const { return int32_t(items_.size()); }
  size_t Capacity() const { return items_.capacity(); }
  const Item& At(int32_t index) const { return items_[size_t(index)]; }

 private:
  std::vector<Item> items_;
};
