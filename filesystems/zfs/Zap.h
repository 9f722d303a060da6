// ZAP objects: the micro form (one block of 64-byte entries) and the
// leaves of the fat form (a hash table of chunk chains).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// A block's type word: kZbtMicro, kZbtHeader, kZbtLeaf, or anything else.
uint64_t ZapBlockType(const uint8_t* block, size_t bytes);

struct ZapEntry {
  const uint8_t* name = nullptr;  // not terminated
  size_t nameBytes = 0;
  uint64_t value = 0;
};

// Called for each entry; return false to stop.
using ZapVisitor = bool (*)(const ZapEntry& entry, void* context);

// One micro-ZAP entry (64 bytes): valid when its name is not empty and
// every byte after the name's NUL is zero; 0 valid, 1 empty (all zero), 2
// damaged.
int ReadMicroZapEntry(const uint8_t* entry, ZapEntry* out);
// The valid entries of a micro-ZAP block from `from` (64 in block 0) to its
// last whole entry; damaged ones counted in *damaged. The number visited.
int ForEachMicroZapEntry(const uint8_t* block, size_t bytes, size_t from, ZapVisitor visit, void* context,
                         int* damaged = nullptr);
// An exact name among a micro-ZAP block's valid entries.
bool LookupMicroZap(const uint8_t* block, size_t bytes, std::string_view name, uint64_t* value);

// The entries of one fat-ZAP leaf of `bytes` (a power of two): each hash
// slot's chain is followed (at most as many steps as the leaf has chunks);
// a chunk number past the count, or a chunk of the wrong type, ends its
// chain; names are at most 256 bytes, values 8-byte integers. The number
// visited.
int ForEachFatZapLeafEntry(const uint8_t* leaf, size_t bytes, ZapVisitor visit, void* context);
