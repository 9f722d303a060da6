// Up to four growing byte sections in one block. The sector pass and the
// RAID scan carry a structure that a read chunk cut in two over to the next
// read in it, one section per kind of structure.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr int kQuadSections = 4;
// Sizes come from disk structures (record sizes, directory runs); a section
// or block above this is refused rather than allocated.
inline constexpr uint64_t kQuadBufferMaxBytes = uint64_t(64) << 20;

class QuadBuffer {
 public:
  // A 1024-byte block, all of it section 0. Out of memory ends in
  // ShowErrorAndThrow.
  QuadBuffer();
  ~QuadBuffer();
  QuadBuffer(const QuadBuffer&) = delete;
  QuadBuffer& operator=(const QuadBuffer&) = delete;

  // Returns the block; every capacity and used length becomes 0 (wanted
  // sizes stay), and the next Append makes a new block.
  void Free();
  // Every section becomes empty; capacities and wanted sizes stay.
  void Clear();

  // Offset of section n in the block: the capacities of sections 0 to n-1.
  // n is clamped to 0..4.
  uint64_t UsedBefore(int n) const noexcept;
  // The wanted size of the section when set, else its capacity (0 for a bad
  // section number).
  uint64_t SectionSize(int section) const noexcept;

  // Appends count bytes behind the section's used bytes, growing the section
  // to the larger of its wanted size and the new length when needed (other
  // sections keep their bytes). Returns the start of the section; null, with
  // the last error set and nothing changed, for a bad section number, null
  // bytes, or a section or block that would pass kQuadBufferMaxBytes. Out of
  // memory ends in ShowErrorAndThrow.
  uint8_t* Append(const void* bytes, uint64_t count, int section);

  // 0 clears it. False (last error set) for a bad section or a size above
  // kQuadBufferMaxBytes.
  bool SetWantedSize(int section, uint64_t size);

  uint64_t Used(int section) const noexcept;
  uint64_t Capacity(int section) const noexcept;
  uint64_t WantedSize(int section) const noexcept;
  // Start of the section; null for a bad section number or without a block.
  uint8_t* Section(int section) noexcept;
  const uint8_t* Section(int section) const noexcept;
  uint64_t BlockSize() const noexcept { return blockSize_; }

 private:
  static bool ValidSection(int section) noexcept { return section >= 0 && section < kQuadSections; }
  void Grow(int section, uint64_t newCapacity);

  uint64_t used_[kQuadSections] = {};
  uint8_t* block_ = nullptr;
  uint64_t blockSize_ = 0;  // always the sum of the capacities
  uint64_t capacity_[kQuadSections] = {};
  uint64_t wanted_[kQuadSections] = {};
};
