#include "foundation/MyAlloc.h"

#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/Memory.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"

namespace {

[[noreturn]] void OutOfMemory() {
  const WString& text = Msg(209);
  ErrorMsg(text.empty() ? u"Out of memory." : text.c_str());
  throw DvCodeError{0};
}

// Room for one more entry, doubling (never one entry or page at a time).
template <class T>
void GrowForOne(std::vector<T>& v) {
  if (v.size() < v.capacity()) return;
  try {
    v.reserve(v.capacity() < 16 ? 16 : v.capacity() * 2);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  } catch (const std::length_error&) {
    OutOfMemory();
  }
}

[[noreturn]] void BadItemSize(const char16_t* container, size_t size) {
  WString text = FormatW(u"Internal error: %s item size %I64u is not supported.", container, uint64_t(size));
  ErrorMsg(text);
  throw DvTextError{text};
}

size_t StrideFor(size_t itemSize) {
  if (itemSize >= kPageAlign) return (itemSize + kPageAlign - 1) & ~(kPageAlign - 1);
  if (std::has_single_bit(itemSize) || itemSize < 8) return std::bit_ceil(itemSize);
  return (itemSize + 7) & ~size_t(7);
}

}  // namespace

// ---------------------------------------------------------------- CMyAlloc

CMyAlloc::CMyAlloc(size_t itemSize) : itemSize_(itemSize) {
  if (itemSize == 0 || itemSize > kMyAllocMaxItem) BadItemSize(u"block allocator", itemSize);
  stride_ = StrideFor(itemSize);
  nextChunkBytes_ = stride_ > kMyAllocFirstChunk ? stride_ : kMyAllocFirstChunk;
}

CMyAlloc::~CMyAlloc() {
  for (void* c : chunks_) AlignedFree(c);
}

void* CMyAlloc::MyAlloc() {
  if (itemsLeft_ == 0) {
    size_t perChunk = nextChunkBytes_ / stride_;
    size_t bytes = perChunk * stride_;
    GrowForOne(chunks_);
    void* chunk = AlignedAlloc(bytes);
    if (!chunk) OutOfMemory();
    chunks_.push_back(chunk);
    committed_ += bytes;
    next_ = static_cast<uint8_t*>(chunk);
    itemsLeft_ = perChunk;
    // Small users stay small; large ones soon take big chunks.
    size_t limit = stride_ > kMyAllocMaxChunk ? stride_ : kMyAllocMaxChunk;
    nextChunkBytes_ = nextChunkBytes_ >= limit / 2 ? limit : nextChunkBytes_ * 2;
  }
  void* item = next_;
  next_ += stride_;
  --itemsLeft_;
  ++items_;
  return item;
}

// ---------------------------------------------------------------- CMyArray

CMyArray::CMyArray(size_t itemSize) : itemSize_(itemSize) {
  if (itemSize == 0 || itemSize > kMyArrayBlockBytes) BadItemSize(u"item array", itemSize);
  perBlock_ = kMyArrayBlockBytes / itemSize;
  if (std::has_single_bit(itemSize)) {
    log2_ = std::countr_zero(itemSize);
    blockShift_ = 12 - log2_;
    mask_ = (kMyArrayBlockBytes - 1) >> log2_;
  }
  usedInLast_ = perBlock_;  // no block yet: the first slot needs one
}

CMyArray::~CMyArray() = default;

void* CMyArray::Add() {
  if (usedInLast_ == perBlock_) {
    GrowForOne(blocks_);
    blocks_.push_back(static_cast<uint8_t*>(alloc_.MyAlloc()));
    usedInLast_ = 0;
  }
  void* slot = blocks_.back() + usedInLast_ * itemSize_;
  ++usedInLast_;
  ++count_;
  return slot;
}

size_t CMyArray::Append(const void* item) {
  void* slot = Add();
  if (item) std::memcpy(slot, item, itemSize_);
  return count_ - 1;
}

void* CMyArray::GetAt(size_t index) const noexcept {
  if (index >= count_) return nullptr;
  if (log2_ >= 0) return blocks_[index >> blockShift_] + ((index & mask_) << log2_);
  return blocks_[index / perBlock_] + (index % perBlock_) * itemSize_;
}

void* CMyArray::FindByKey64(uint64_t key) const noexcept {
  if (itemSize_ < sizeof(uint64_t)) return nullptr;
  size_t lo = 0, hi = count_;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    void* item = GetAt(mid);
    uint64_t k;
    std::memcpy(&k, item, sizeof k);
    if (k == key) return item;
    if (k < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  return nullptr;
}
