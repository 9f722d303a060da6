// Two small containers for large numbers of fixed-size records: a block
// allocator that never frees an item alone, and a growable array of items
// kept in 4096-byte blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Items are carved from chunks that start at 64 KiB and double up to this
// size, so a scan with millions of items needs a few hundred chunks, not
// one mapping per 64 KiB (the kernel's map-count limit is about 65,000).
inline constexpr size_t kMyAllocFirstChunk = size_t(64) << 10;
inline constexpr size_t kMyAllocMaxChunk = size_t(16) << 20;
// Item sizes above this are refused; an item of one cluster may take its
// size from a disk structure.
inline constexpr size_t kMyAllocMaxItem = size_t(64) << 20;

class CMyAlloc {
 public:
  // Any size from 1 to kMyAllocMaxItem; other sizes are a program error
  // (recorded, DvTextError thrown). Items are spaced so that a power of two
  // up to 4096 is aligned to itself, larger items to 4096, others to 8.
  explicit CMyAlloc(size_t itemSize);
  virtual ~CMyAlloc();
  CMyAlloc(const CMyAlloc&) = delete;
  CMyAlloc& operator=(const CMyAlloc&) = delete;

  // The next item, zero-filled. Out of memory: message 209 as the last error
  // and DvCodeError{0}.
  void* MyAlloc();

  size_t ItemSize() const noexcept { return itemSize_; }
  // Distance between two items of one chunk.
  size_t Stride() const noexcept { return stride_; }
  uint64_t ItemCount() const noexcept { return items_; }
  // Bytes taken from the system (every chunk is zero-filled, so resident).
  uint64_t CommittedBytes() const noexcept { return committed_; }
  size_t ChunkCount() const noexcept { return chunks_.size(); }

 private:
  std::vector<void*> chunks_;
  uint8_t* next_ = nullptr;
  size_t itemsLeft_ = 0;
  size_t itemSize_;
  size_t stride_;
  size_t nextChunkBytes_;
  uint64_t items_ = 0;
  uint64_t committed_ = 0;
};

inline constexpr size_t kMyArrayBlockBytes = 4096;

class CMyArray {
 public:
  // Item sizes from 1 to 4096; others are a program error (recorded,
  // DvTextError thrown).
  explicit CMyArray(size_t itemSize);
  virtual ~CMyArray();
  CMyArray(const CMyArray&) = delete;
  CMyArray& operator=(const CMyArray&) = delete;

  // Copies one item into the next slot (zeros when item is null) and
  // returns its index.
  size_t Append(const void* item);
  // The next slot, zero-filled, without copying.
  void* Add();
  // The item's address; null past the end.
  void* GetAt(size_t index) const noexcept;
  // Binary search of the items by the u64 (host order) in their first eight
  // bytes, which must ascend; the item or null (also for items below 8 bytes).
  void* FindByKey64(uint64_t key) const noexcept;

  size_t Count() const noexcept { return count_; }
  size_t ItemSize() const noexcept { return itemSize_; }
  size_t ItemsPerBlock() const noexcept { return perBlock_; }
  size_t BlockCount() const noexcept { return blocks_.size(); }

 private:
  std::vector<uint8_t*> blocks_;
  size_t count_ = 0;
  size_t itemSize_;
  size_t perBlock_;
  // For power-of-two items: log2 of the item size, block shift and mask;
  // log2 is -1 otherwise.
  int log2_ = -1;
  int blockShift_ = 0;
  size_t mask_ = 0;
  size_t usedInLast_ = 0;
  CMyAlloc alloc_{kMyArrayBlockBytes};
};
