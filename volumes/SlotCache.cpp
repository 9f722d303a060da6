#include "volumes/SlotCache.h"

#include <new>

#include "foundation/Trace.h"

SlotCache::SlotCache(uint32_t count, uint32_t slotSize) : slotSize_(slotSize), count_(count) {
  if (count == 0) return;
  memory_.reset(new (std::nothrow) uint8_t[size_t(count) * slotSize]);
  ages_.reset(new (std::nothrow) uint8_t[count]());
  keys_.reset(new (std::nothrow) int64_t[count]());
  if (!memory_ || !ages_ || !keys_) {
    Free();
    ShowErrorAndThrow();
  }
}

SlotCache::~SlotCache() = default;

void SlotCache::Free() {
  memory_.reset();
  ages_.reset();
  keys_.reset();
  count_ = 0;
  hand_ = 0;
}

bool SlotCache::Lookup(int64_t key, uint32_t* slotOut) {
  if (count_ == 0) {
    if (slotOut) *slotOut = 0;
    return false;
  }
  uint32_t lowest = hand_;
  uint8_t lowestAge = ages_[hand_];
  for (uint32_t visited = 0; visited < count_; ++visited) {
    const uint32_t s = hand_;
    if (ages_[s] != 0 && keys_[s] == key) {
      ages_[s] = 255;
      ++hits;
      if (slotOut) *slotOut = s;
      return true;
    }
    if (ages_[s] < lowestAge) {
      lowestAge = ages_[s];
      lowest = s;
    }
    if (ages_[s] > 1) --ages_[s];
    hand_ = (hand_ + 1) % count_;
  }
  hand_ = lowest;
  ++misses;
  if (slotOut) *slotOut = hand_;
  return false;
}

void SlotCache::SetKey(int64_t key, uint32_t slot) {
  if (slot >= count_) return;
  keys_[slot] = key;
  ages_[slot] = 255;
  hand_ = slot;
}
