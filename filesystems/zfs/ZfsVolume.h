// The ZFS pool as one volume (type 12): the label's facts, the meta object
// set (MOS), the datasets whose object sets the walk reads, and the reading
// of a block pointer's copies.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/zfs/BlockPointer.h"
#include "filesystems/zfs/Definitions.h"
#include "filesystems/zfs/Label.h"
#include "filesystems/zfs/OpenNode.h"
#include "volumes/Volume.h"

struct FolderWalk;
struct ZfsNode;

// BlkPtrDvaRead's results (and a data block's, ZfsOpenNode::ReadBlock).
inline constexpr int kZfsReadFailed = 0;
inline constexpr int kZfsReadData = 1;
inline constexpr int kZfsReadHole = 2;
inline constexpr int kZfsReadUnverified = 4;  // no copy passed its checksum: the first readable one

struct ZfsDataset {
  std::string name;                      // "" for the pool's root dataset; "parent/child" below it
  std::unique_ptr<ZfsOpenNode> objects;  // the object set's meta-dnode
  uint64_t rootObject = 0;
  uint64_t zplVersion = 0;  // the master node's "VERSION"; 0 when absent
  bool zvol = false;
};

// The form of the folder the walk reads (its block 0 decides).
enum class ZapForm { kUndecided, kMicro, kFat, kNone };

class CZFSVol : public CVol {
 public:
  CZFSVol();
  ~CZFSVol() override;

  // ---- reading ----
  // BlkPtrDvaRead: the block the pointer describes into out (capacity at
  // least its logical size): its copies in turn, the first whose checksum
  // passes (fletcher-2 and -4; SHA-256 is not verified) and that decodes,
  // else the first readable one. A gang copy is unreadable.
  int BlkPtrDvaRead(const uint8_t* pointer, uint8_t* out, size_t capacity);
  // Blocks that follow one another in a file, each into its room of
  // `capacity` (`outs[i]`): copies that lie one after another on a plain
  // vdev are read in one request (at most 1 MiB) and each checked alone;
  // any that fails there, and every other, goes through BlkPtrDvaRead.
  // results[i] as BlkPtrDvaRead's.
  void ReadBlocks(const uint8_t* const* pointers, uint8_t* const* outs, size_t count, size_t capacity, int* results);
  // Dnode `object` of dataset `index`'s object set.
  bool ReadObjectDnode(int32_t index, uint64_t object, uint8_t* out);
  // CZFSVol::LoadNodeDnode: the node's object opened as `mapped`.
  bool LoadNodeDnode(const ZfsNode& node);

  // ---- the label ----
  uint64_t asize = 0;   // bytes
  uint32_t ashift = 0;  // the vdev's sector shift (0: not known)
  int64_t labelSector = -1;
  // Drive sectors from the volume's start to the sector the label search
  // was given (sessions find the label again from there).
  int64_t labelProbe = 0;
  uint64_t txg = 0;
  int uberblockSlot = -1;
  uint32_t maxDvaSectors = 0;
  uint8_t rootBp[zfs::kBlkPtrBytes] = {};

  // ---- the pool ----
  std::unique_ptr<ZfsOpenNode> mos;
  std::vector<ZfsDataset> datasets;
  // The root DSL directory's children: name and DSL directory object.
  struct Child {
    std::string name;
    uint64_t dslDir = 0;
  };
  std::vector<Child> topChildren;
  size_t nextChild = 0;

  // ---- the data road ----
  std::unique_ptr<ZfsOpenNode> mapped;
  int32_t mappedDataset = -1;
  uint64_t mappedObject = 0;
  bool mappedFolder = false;
  // The folder the walk reads: its key, block size and ZAP form.
  uint64_t walkKey = UINT64_MAX;
  uint32_t walkBlockBytes = 0;
  ZapForm walkForm = ZapForm::kUndecided;

 private:
  bool ReadDva(const ZfsDva& dva, uint32_t bytes, uint8_t* out);
  std::vector<uint8_t> raw_, bounce_, gather_;
};

// The block the locator hands to the initialiser: a tag, the label's facts
// and the active uberblock (the boot block of a ZFS volume).
std::vector<uint8_t> MakeZfsBootBlock(const ZfsLabel& label, int64_t probeSector);

// The MOS object directory's root dataset (its DSL directory object):
// looked up in a micro ZAP; a fat one is not looked into, the root
// dataset is then object 2. 0 for any other block.
uint64_t ZfsRootDatasetDir(const uint8_t* block, size_t bytes);

// InitZFSVol: the volume from the locator's block at drive sector `start`
// (the label's): the MOS, the object directory, the root dataset with its
// master node and root folder (the volume's root node), and the list of
// the pool's top-level datasets. False when a step fails.
bool InitZFSVol(CZFSVol& volume, const uint8_t* boot, int64_t start);

// The walk's key of a folder: its dataset and object.
uint64_t ZfsFolderKey(const cnode& folder);

// CZFSVol::ScanDatasets as the walk's source of roots: with `restart` the
// root dataset's root ("\RootDataset\"); then each next top-level dataset's
// root ("\name\") and its children's ("\name\child\"); a dataset that
// cannot be read is passed over. False when none is left.
bool ScanZfsDatasets(CZFSVol& volume, FolderWalk& walk, bool restart);

// The bytes a folder's walk reads: blocks 0 to the highest block id of the
// object mapped last.
uint64_t ZfsFolderBytes(CVol& volume, const cnode& folder);

// ---- set-up steps (ZfsDatasets.cpp) ----
// Block 0 of object `object` of the object set `set` is the meta-dnode
// of, into *block (its size); false when it cannot be read.
bool ReadZfsObjectBlock0(CZFSVol& volume, ZfsOpenNode& set, uint64_t object, std::vector<uint8_t>* block);
// Opens the head dataset of the MOS's DSL directory `dslDir` (its object
// set, master node, "ROOT" and "VERSION") as a new dataset named `name`:
// its index, or -1. *childZap gets the directory's child ZAP object.
int32_t OpenZfsDataset(CZFSVol& volume, uint64_t dslDir, const std::string& name, uint64_t* childZap);
// The valid entries of a MOS ZAP object's block 0 (a micro ZAP) but the
// pool's own ("$MOS", "$FREE", "$ORIGIN", ".system").
std::vector<CZFSVol::Child> ReadZfsChildDatasets(CZFSVol& volume, uint64_t zapObject);
