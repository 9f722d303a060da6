// The VMFS volume: the file-system area behind the volume manager's header,
// its file block size, and the three resource files of the root through
// which descriptors, pointer blocks and sub-blocks are read. A file's
// blocks become runs in 4 KiB clusters of the area (`dataAreaSector` is
// the area's first sector).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "filesystems/vmfs/Definitions.h"
#include "filesystems/vmfs/VmfsResource.h"
#include "volumes/Volume.h"

struct VmfsDescriptor;
struct VmfsNode;

class CVMFSVol : public CVol {
 public:
  CVMFSVol();
  ~CVMFSVol() override;

  // From the volume manager's header or the file-system descriptor found
  // for a volume starting at drive sector `start`: the geometry, the
  // descriptor bootstrap and the root. 1 on success, 0 when not usable.
  int Init(const uint8_t* header, int64_t start);
  // The file block size (1, 2, 4 or 8 MiB) and what follows from it; false
  // for any other size (nothing changes).
  bool SetBlockSize(uint32_t bytes);

  // One piece of a directory's data (whole 140-byte entries): the nodes made.
  int ParseEntries(const cnode& folder, const uint8_t* data, size_t bytes);
  // The node's mapping into the volume's extents object (a VmfsExtents),
  // from its descriptor (read when `descriptor` is null). *badOut gets the
  // 4 KiB clusters the map knows to be missing (addresses of the wrong
  // kind, blocks past the drive, more addresses than the descriptor or a
  // pointer block holds). False when the node cannot be mapped.
  bool BuildNodeExtents(const cnode& node, const uint8_t* descriptor, uint32_t* badOut);
  // Bytes of the mapped file from `offset` (any offset), at most `capacity`:
  // the bytes delivered (a directory's in whole entries), -1 on failure.
  int64_t ReadFileData(uint64_t offset, uint8_t* buffer, size_t capacity, VmfsExtents* map, bool directory);
  // Where the data the node's map (built last) addresses ends: a size
  // beyond it is no more than zeros.
  uint64_t MappedDataEnd();
  // The 2048 bytes of the descriptor at `address`; false when it cannot be
  // read or is no descriptor.
  bool ReadDescriptor(uint32_t address, uint8_t* out);
  // A node of the volume from a descriptor.
  static void FillNode(VmfsNode& node, const VmfsDescriptor& descriptor);

  std::unique_ptr<VmfsResourceReader> descriptors;  // ".fdc.sf"
  std::unique_ptr<VmfsResourceReader> pointers;     // ".pbc.sf"
  std::unique_ptr<VmfsResourceReader> subBlocks;    // ".sbc.sf"
  uint32_t blockSize = 0, blockShift = 0;
  uint64_t blockMask = 0;
  uint32_t clustersPerBlock = 0, clustersPerBlockShift = 0;
  uint8_t version = 3;
  // The readers were loaded from this volume's disk (clear for a volume a
  // session made: they are loaded from the resource nodes on first use).
  bool resourcesLoaded = false;

 private:
  bool LoadReader(uint32_t kind, const uint8_t* descriptor);
  bool BuildMap(const cnode& node, const uint8_t* descriptor, VmfsExtents& map, uint32_t* badOut);
  bool ReloadReaders();
  bool Bootstrap();
  bool Vmfs5SubBlocks() const { return version >= 5; }
  // File blocks of an address list into runs from cluster `vcn`.
  void AddressRuns(VmfsExtents& map, const uint8_t* addresses, uint32_t count, uint64_t vcn, uint64_t* bad);
  // Clusters of [vcn, vcn + count) that lie inside the file.
  uint64_t InFile(const VmfsExtents& map, uint64_t vcn, uint64_t count) const;
  // Clusters of block `block` that lie on the drive (a cut image).
  uint64_t ClustersOnDrive(uint64_t block) const;
  int64_t ReadMapped(VmfsExtents& map, uint64_t offset, uint8_t* out, size_t count);
  uint8_t* scratch_ = nullptr;  // reads that begin or end inside a cluster
  size_t scratchBytes_ = 0;
};

// Writes each 140-byte directory entry of type 2 to 6 of a buffer to the I/O
// trace recorder.
int TraceVMFSRecords(const uint8_t* buffer, size_t bytes, int64_t sector);
