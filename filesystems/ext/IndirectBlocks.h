// Indirect blocks of ext2/ext3 files whose inodes are gone: the test that
// tells a block of block pointers from other data, and the list of known
// indirect-block numbers ("Ext Pointer Blocks") against which the detail
// trace tests double- and triple-indirect blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Text.h"

// Whether the block (32-bit entries) is a block of pointers: the first
// entry set, each set one above 1 and below `limit`; at least one pair of
// set neighbours, and after 8 entries at least as many steps of `stride`
// (counted twice) as pairs; the first 0 ends them and only zeros follow (a
// block full of pointers passes too). *pointers: how many are set.
bool IsIndirectBlock(const uint8_t* data, size_t bytes, uint64_t limit, uint32_t stride, uint32_t* pointers);

class IndirectBlockList {
 public:
  // The geometry of the "Ext Pointer Blocks" section: the stride between
  // one file's consecutive indirect blocks is block / 4 + 1.
  IndirectBlockList(uint32_t sectorSize, int64_t start, uint64_t volumeSectors, uint32_t blockSize,
                    uint32_t fragmentsPerBlock, uint32_t minimumTripleEntries);

  // The positive leading numbers of the file's lines, sorted, each once
  // ("0", text and negative numbers are no entry). A number not above the
  // one before it shows "Indirect block numbers out of sequence" once per
  // such line. False when the file cannot be read (the last error says
  // why).
  bool LoadFromFile(WStringView path);
  // The same from text (the file's contents).
  void LoadFromText(const char* text, size_t length);
  const std::vector<uint32_t>& Numbers() const { return numbers_; }
  // Lines out of order in the last load.
  uint32_t OutOfOrder() const { return outOfOrder_; }

  // Whether the block looks like a double-indirect block (minimum triple
  // entries 0: at least 10 listed entries and a step) or a triple-indirect
  // one (at least that many listed, at most one step). A listed number met
  // twice in one block fails it.
  bool CheckIndirectBlock(const uint8_t* block, size_t bytes);

  uint32_t stride = 0;
  uint64_t totalBlocks = 0;
  uint32_t minimumTriple = 0;

 private:
  std::vector<uint32_t> numbers_;
  std::vector<uint8_t> marks_;
  uint8_t generation_ = 0;
  uint32_t outOfOrder_ = 0;
};
