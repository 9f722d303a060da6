// A small clock-style cache of fixed-size slots, keyed by a 64-bit value:
// the FAT32 table cache keeps its pages in one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// A clock-style cache of `count` slots of `slotSize` bytes, keyed by a
// 64-bit value.
class SlotCache {
 public:
  SlotCache(uint32_t count, uint32_t slotSize);
  ~SlotCache();
  SlotCache(const SlotCache&) = delete;
  SlotCache& operator=(const SlotCache&) = delete;

  // From the clock hand, visits every slot once: a slot in use with the key
  // is a hit (the hand stays there); on the way slots age. On a miss the
  // hand goes to the slot of lowest age. *slotOut = the hand's slot.
  bool Lookup(int64_t key, uint32_t* slotOut);
  // The slot now holds `key`, freshly used; the hand moves there.
  void SetKey(int64_t key, uint32_t slot);
  void Free();
  uint8_t* Slot(uint32_t slot) { return memory_ ? memory_.get() + size_t(slot) * slotSize_ : nullptr; }
  uint32_t Count() const { return count_; }
  uint32_t hits = 0;
  uint32_t misses = 0;

 private:
  std::unique_ptr<uint8_t[]> memory_;
  uint32_t slotSize_ = 0;
  std::unique_ptr<uint8_t[]> ages_;
  std::unique_ptr<int64_t[]> keys_;
  uint32_t hand_ = 0;
  uint32_t count_ = 0;
};
