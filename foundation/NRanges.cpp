#include "foundation/NRanges.h"

#include <algorithm>
#include <limits>
#include <new>

#include "foundation/Trace.h"

NRanges::NRanges() { items_.reserve(kInitialCapacity); }

NRanges::~NRanges() = default;

int32_t NRanges::Add(uint64_t start, uint64_t end, uint32_t value, uint32_t value2) {
  if (end < start) return Count();
  if (!items_.empty() && start <= items_.back().end) return -1;
  if (items_.size() >= size_t(std::numeric_limits<int32_t>::max())) return -1;
  try {
    // The vector grows geometrically: a constant step would copy the whole
    // list again every few appends.
    items_.push_back(Item{start, end, value, value2});
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
  return Count();
}

std::pair<uint32_t, uint32_t> NRanges::Find(uint64_t position) const {
  // First item that ends at or after the position; it holds the position
  // when it also starts at or before it.
  auto it = std::lower_bound(items_.begin(), items_.end(), position,
                             [](const Item& item, uint64_t p) { return item.end < p; });
  if (it == items_.end() || it->start > position) return {kNotFound, kNotFound};
  return {it->value, it->value2};
}
