#include "foundation/QuadBuffer.h"

#include <cstring>

#include "platform/Memory.h"
#include "foundation/Trace.h"

QuadBuffer::QuadBuffer() {
  block_ = static_cast<uint8_t*>(AlignedAlloc(1024));
  if (!block_) ShowErrorAndThrow();
  blockSize_ = 1024;
  capacity_[0] = 1024;
}

QuadBuffer::~QuadBuffer() { AlignedFree(block_); }

void QuadBuffer::Free() {
  AlignedFree(block_);
  block_ = nullptr;
  blockSize_ = 0;
  for (int i = 0; i < kQuadSections; ++i) used_[i] = capacity_[i] = 0;
}

void QuadBuffer::Clear() {
  for (uint64_t& u : used_) u = 0;
}

uint64_t QuadBuffer::UsedBefore(int n) const noexcept {
  if (n > kQuadSections) n = kQuadSections;
  uint64_t sum = 0;
  for (int i = 0; i < n; ++i) sum += capacity_[i];
  return sum;
}

uint64_t QuadBuffer::SectionSize(int section) const noexcept {
  if (!ValidSection(section)) return 0;
  return wanted_[section] ? wanted_[section] : capacity_[section];
}

uint64_t QuadBuffer::Used(int section) const noexcept { return ValidSection(section) ? used_[section] : 0; }
uint64_t QuadBuffer::Capacity(int section) const noexcept { return ValidSection(section) ? capacity_[section] : 0; }
uint64_t QuadBuffer::WantedSize(int section) const noexcept { return ValidSection(section) ? wanted_[section] : 0; }

uint8_t* QuadBuffer::Section(int section) noexcept {
  return ValidSection(section) && block_ ? block_ + UsedBefore(section) : nullptr;
}

const uint8_t* QuadBuffer::Section(int section) const noexcept {
  return ValidSection(section) && block_ ? block_ + UsedBefore(section) : nullptr;
}

bool QuadBuffer::SetWantedSize(int section, uint64_t size) {
  if (!ValidSection(section) || size > kQuadBufferMaxBytes) {
    VErrorMsg(u"Carry-over section %d: size %I64u refused.", section, size);
    return false;
  }
  wanted_[section] = size;
  return true;
}

void QuadBuffer::Grow(int section, uint64_t newCapacity) {
  uint64_t growth = newCapacity - capacity_[section];
  uint64_t newSize = blockSize_ + growth;
  auto* fresh = static_cast<uint8_t*>(AlignedAlloc(newSize ? newSize : 1));
  if (!fresh) ShowErrorAndThrow();
  uint64_t from = 0, to = 0;
  for (int i = 0; i < kQuadSections; ++i) {
    if (block_ && used_[i]) std::memcpy(fresh + to, block_ + from, used_[i]);
    from += capacity_[i];
    to += i == section ? newCapacity : capacity_[i];
  }
  AlignedFree(block_);
  block_ = fresh;
  blockSize_ = newSize;
  capacity_[section] = newCapacity;
}

uint8_t* QuadBuffer::Append(const void* bytes, uint64_t count, int section) {
  if (!ValidSection(section) || (!bytes && count)) {
    VErrorMsg(u"Carry-over section %d: bad append.", section);
    return nullptr;
  }
  // Every term is capped before it is added, so nothing can wrap.
  if (count > kQuadBufferMaxBytes || used_[section] + count > kQuadBufferMaxBytes) {
    VErrorMsg(u"Carry-over section %d: %I64u bytes refused.", section, count);
    return nullptr;
  }
  uint64_t need = used_[section] + count;
  if (need > capacity_[section] || !block_) {
    uint64_t newCapacity = need > wanted_[section] ? need : wanted_[section];
    if (newCapacity < capacity_[section]) newCapacity = capacity_[section];
    if (blockSize_ + (newCapacity - capacity_[section]) > kQuadBufferMaxBytes) {
      VErrorMsg(u"Carry-over section %d: %I64u bytes refused.", section, count);
      return nullptr;
    }
    Grow(section, newCapacity);
  }
  uint8_t* start = block_ + UsedBefore(section);
  if (count) std::memcpy(start + used_[section], bytes, count);
  used_[section] = need;
  return start;
}
