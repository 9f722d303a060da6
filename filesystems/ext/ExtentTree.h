// ext4 extent trees: the parse of one node (a 12-byte header and 12-byte
// entries, Definitions.h) and the reader that loads a file's tree into a
// CExtents table, one run per leaf entry. The root node is the inode's
// 60-byte block area; the other nodes are blocks read through the volume.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "volumes/Extents.h"

class CVol;

struct ExtExtentNode {
  int depth = 0;
  uint32_t entries = 0;
  uint32_t firstBlock = 0;  // first logical block of the first entry
  // Per entry: first logical block, and the child block (index node) or the
  // physical start and length (leaf, uninitialised flag removed).
  std::vector<uint32_t> firstBlocks;
  std::vector<uint64_t> blocks;
  std::vector<uint32_t> lengths;
  uint64_t totalLength = 0;
};

// length > 11, magic, entries <= max, length >= 12 + 12 x entries.
bool ExtExtentHeaderValid(const uint8_t* node, size_t length);
// 12 + 12 x entries when entries < 5 (fits the inode's 60-byte area), else 0.
uint32_t ExtExtentHeaderSize(const uint8_t* node);
// Valid header, entries > 0, depth <= 16, the first keys (at most 10)
// strictly ascending.
bool ExtParseExtentNode(const uint8_t* node, size_t length, ExtExtentNode* out);

class ExtExtentReader : public CExtents {
 public:
  // Reads one block into the buffer (blockSize bytes); false on failure.
  using BlockReadFn = std::function<bool(uint64_t block, uint8_t* buffer)>;

  // Blocks of the volume's cluster size, read with CVol::ReadClusters.
  explicit ExtExtentReader(CVol* volume);
  ExtExtentReader(uint32_t blockSize, BlockReadFn read);
  ~ExtExtentReader() override;

  // Physical block of the tree's first extent; -1 on a bad header or read.
  int64_t FirstDataBlock(const uint8_t* node, size_t length);
  // Reads `block` into the block buffer; null on failure.
  const uint8_t* ReadBlock(uint64_t block);

  uint32_t BlockSize() const { return blockSize_; }
  const BlockReadFn& ReadFn() const { return read_; }
  CVol* volume = nullptr;

 private:
  uint32_t blockSize_ = 0;
  BlockReadFn read_;
  uint8_t* blockBuffer_ = nullptr;
};

// Loads the tree rooted at `node` into the reader's table. Leaves: one run
// per entry; a leaf going backwards against the table's end fails. Index
// nodes: each child must be a node of depth one less than its parent; a
// child that can't be read, loaded or placed after the runs so far is
// skipped, and no block is visited twice. Returns the header test.
bool ExtLoadExtents(ExtExtentReader* reader, const uint8_t* node, size_t length);
// End (first block + length) of the last extent, descending through the last
// index entries; 0 when a node's depth is not the expected one or a read
// fails.
uint64_t ExtLastLogicalBlock(ExtExtentReader* reader, const uint8_t* node, size_t length, int depth);
// Repairs an index root found in an inode (60-byte area): reads the child
// blocks of up to 4 entries, stopping at the first that is not a valid node
// or whose depth differs from the first child's. With at least one valid
// child the root's depth becomes that depth + 1 and its entry count the
// valid children; *out = ExtLastLogicalBlock of the last valid child, in
// bytes. Returns 12 + 12 x count when *out is non-zero, else 0.
uint32_t ExtCheckIndexChain(uint8_t* node, ExtExtentReader* reader, uint64_t* out);
