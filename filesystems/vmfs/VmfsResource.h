// The resource files of the root (".fdc.sf" file descriptors, ".pbc.sf"
// pointer blocks, ".sbc.sf" sub-blocks): their header, and a reader that
// keeps one cluster of resources at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "filesystems/vmfs/VmfsExtents.h"

class CVol;

struct VmfsResourceHeader {
  uint32_t perCluster = 0;        // R
  uint32_t clustersPerGroup = 0;  // C
  uint32_t headerSize = 0;        // H
  uint32_t resourceSize = 0;      // S
  uint64_t groupSize = 0;         // G
  uint32_t total = 0;             // T
  uint32_t groups = 0;            // N
  uint64_t ClusterBytes() const { return uint64_t(perCluster) * resourceSize; }
  // The byte of cluster k's first resource in the file; false for a
  // cluster the header does not have.
  bool ClusterOffset(uint32_t cluster, uint64_t* at) const;
};
// The header's own tests: R, C, S (a multiple of 512) and the counts set,
// G = R x C x S + C x 1024 and N x C x R at least T.
bool ReadVmfsResourceHeader(const uint8_t* bytes, VmfsResourceHeader* out);
// The resource-header test on a file's first bytes (at least 28).
bool IsVMFSFileDescriptor(const uint8_t* header);

class VmfsResourceReader {
 public:
  explicit VmfsResourceReader(uint32_t kind) : kind(kind) {}
  ~VmfsResourceReader();
  VmfsResourceReader(const VmfsResourceReader&) = delete;
  VmfsResourceReader& operator=(const VmfsResourceReader&) = delete;

  uint32_t kind;  // kVmfsResource*
  VmfsResourceHeader header;
  // The file's runs; null while only the bootstrap's cluster is held.
  std::unique_ptr<VmfsExtents> runs;
  uint64_t fileSize = 0;

  // Holds `bytes` as cluster 0 (the descriptors the bootstrap read).
  bool Prime(const uint8_t* bytes, size_t count);
  // The S bytes of the item; null when it is not there (a cluster or item
  // the header does not have, past the file, or a failed read).
  const uint8_t* Item(CVol& volume, uint32_t cluster, uint32_t item);

 private:
  bool Hold(size_t bytes);
  bool Load(CVol& volume, uint32_t cluster);
  uint8_t* cache_ = nullptr;
  size_t cacheBytes_ = 0;
  int64_t cached_ = -1;
  size_t first_ = 0;  // the cluster's first resource in the cache
  size_t held_ = 0;   // bytes of the cluster held from first_
};
