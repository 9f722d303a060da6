// The volume base: one object per volume a drive holds. It keeps the
// geometry, the place on the drive, the indexes directory parsing fills and
// the readers that map a file's clusters to drive sectors. Each file-system
// family derives its own class (VolumeFactory.h makes them by type code)
// and answers what differs by family through its registration
// (VolumeFamily.h).
//
// A volume reads through the drive that holds it (`drive`; a volume without
// one, such as a test's hand-made volume, reads nothing). Sizes of clusters
// and sectors are the volume's own; the drive's sector size only matters
// when the two differ. Its family asks the run it belongs to (`engine`) for
// the options and the stop request through Options and StopRequested.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Text.h"

class AppState;
class CExtents;
class Drive;
class HTree;
class Recycler;
class ScanSink;
struct cnode;

// Volume type codes.
inline constexpr uint8_t kVolUnknown = 0;
inline constexpr uint8_t kVolNtfs = 1;
inline constexpr uint8_t kVolFat16 = 2;  // FAT12 and FAT16
inline constexpr uint8_t kVolFat32 = 3;
inline constexpr uint8_t kVolExt = 4;
inline constexpr uint8_t kVolUfs1 = 5;
inline constexpr uint8_t kVolUfs2 = 6;
inline constexpr uint8_t kVolHfs = 7;
inline constexpr uint8_t kVolXfs = 8;
inline constexpr uint8_t kVolExFat = 9;
inline constexpr uint8_t kVolVmfs = 10;
inline constexpr uint8_t kVolRefs = 11;
inline constexpr uint8_t kVolZfs = 12;
inline constexpr uint8_t kVolLastType = 12;

// Bit of CVol::scanFlags.
inline constexpr uint8_t kVolScanSelected = 0x01;

inline bool IsFATType(uint8_t type) { return type == kVolFat16 || type == kVolFat32; }

// Each of the two cluster buffers.
inline constexpr size_t kClusterBufferBytes = 0x100000;
// Drive-letter codes from this value on mean "no letter": drive number =
// code - kNoLetterBase.
inline constexpr char16_t kNoLetterBase = 93;

class CVol;
// The carving type (0..30; 255 for none) of a node's file from its first
// bytes (the volume and node let it read further: a zip's member names).
// The start-up root installs the carving sniffer (carving lies above
// volumes).
using NodeTypeSniffer = uint8_t (*)(CVol* volume, const cnode* node, const uint8_t* data, size_t count);
void SetNodeTypeSniffer(NodeTypeSniffer sniffer);

class CVol {
 public:
  CVol();
  // Virtual although volumes are made and destroyed only through the
  // factory: a family whose class is not built yet is a CUnknownVol with
  // its type code, and deleting must not depend on that.
  virtual ~CVol();
  CVol(const CVol&) = delete;
  CVol& operator=(const CVol&) = delete;

  // ---- geometry ----
  // Powers of two only (false otherwise, nothing changes). The
  // sectors-per-cluster triple follows when the cluster is at least a sector.
  bool SetSectorSize(uint32_t bytes);
  bool SetClusterSize(uint32_t bytes);
  // Start sector, size and both sizes.
  void CopyGeometry(const CVol& other);
  // The cluster-size code of a node of this volume (its cluster size on its
  // sector size).
  void SetNodeClusterCode(cnode* node) const;
  // The volume's index in its drive's table (a family's class may keep it
  // in a field of its own too).
  virtual void SetVolumeNumber(uint16_t n) { volumeNumber = n; }

  // ---- names ----
  // "X:" when the path starts with a drive letter, else letter 0.
  void SetDriveLetter(WStringView path);
  bool HasDriveLetter() const { return driveLetter[0] >= u'A' && driveLetter[0] <= u'Z'; }
  // "Volume X:", "Volume N" (codes 93..255: N = code - 93), or "Volume".
  WString GetDisplayName() const;
  // The label as set at initialisation. NTFS and FAT fetch theirs on first
  // use once their readers exist.
  const WString& GetVolumeLabel();
  bool IsRootInode(uint32_t id) const;

  // ---- the run ----
  // The run the volume belongs to answers (its engine); a volume outside
  // any run gets the program's options (ProgramOptions, ScanSink.h) and
  // their stop byte.
  const AppState& Options() const;
  bool StopRequested() const;
  // Waits while the user has paused; false when a stop was asked for.
  bool ContinueAfterPause() const;
  // A reader met a bad extent in the file being recovered: the run's
  // recovery sets the file aside (nothing outside a run).
  void ReportBadExtent() const;

  // ---- reading ----
  // The 1 MiB cluster buffer of the slot in use, made on first use; out of
  // memory ends in ShowErrorAndThrow.
  uint8_t* GetClusterBuffer();
  int BufferSlot() const { return bufferSlot_; }
  void SetBufferSlot(int slot) { bufferSlot_ = slot & 1; }

  // Reads `count` clusters from `cluster` (volume clusters; FAT, exFAT and
  // VMFS count from their data area, `dataAreaSector`). bytesPerCluster 0
  // is the volume's cluster size. At most bufferBytes / bytesPerCluster
  // clusters are read (with a null buffer, the drive's transfer size);
  // *clustersRead gets the count read. Returns the data (the buffer, or the
  // drive's buffer for a null one) or null: a negative sector sets message
  // 362, a failed read leaves the drive's last error. The volume's sectors
  // need not be the drive's: a read that does not fall on whole drive
  // sectors goes through a bounce buffer.
  uint8_t* ReadClusters(void* buffer, int64_t cluster, uint32_t count, uint32_t bytesPerCluster = 0,
                        size_t bufferBytes = kClusterBufferBytes, uint32_t* clustersRead = nullptr);
  // Reads `bytes` bytes from byte `within` of cluster `cluster` on (clusters
  // counted as ReadClusters counts them) into buffer: a part of a cluster
  // larger than any read buffer (exFAT's up to 32 MiB). Null as
  // ReadClusters.
  uint8_t* ReadClusterBytes(void* buffer, int64_t cluster, uint64_t within, uint32_t bytes);

  // Reads the data of a file whose clusters `extents` maps (null: the
  // volume's), covering byte offset .. offset + length - 1, into `buffer`
  // (null: GetClusterBuffer) of bufferBytes. At most as many clusters as the
  // buffer holds are read; *outBytes = bytes delivered (whole clusters from
  // the one holding `offset`). Holes and gaps read as zeros. Length 0 gives
  // the buffer with 0 bytes. A request that runs past the mapping delivers
  // the clusters before it. Null on failure: message 630 for an offset
  // past the mapping, the reader's error for a failed read.
  uint8_t* ReadInodeDataCm(uint64_t offset, uint64_t length, uint64_t* outBytes, CExtents* extents = nullptr,
                           uint8_t* buffer = nullptr, size_t bufferBytes = kClusterBufferBytes);

  // A node's clusters through its family's reader (after BuildNodeExtents),
  // into the cluster buffer; null when nothing could be read.
  uint8_t* ReadNodeClusters(const cnode* node, int64_t cluster, uint32_t count, uint64_t* outBytes);
  // The one road to a mapped node's bytes: from `offset` (whole clusters),
  // `length` wanted, into buffer (of `capacity`): the bytes delivered, -1
  // on failure. The family's reader, else the volume's extents object.
  int64_t ReadNodeData(const cnode& node, uint64_t offset, uint64_t length, uint8_t* buffer, size_t capacity);

  // Clusters (counted as ReadClusters counts them, of clusterBytes; 0: the
  // volume's size) from this one on lie past the volume's end; UINT64_MAX
  // while the volume's size is not known.
  uint64_t ClusterLimit(uint32_t clusterBytes = 0) const;

  // ---- extents ----
  // Recreates the volume's extents object: `made` (taken over) or a plain
  // table, with the volume's sector and cluster sizes.
  CExtents* CreateExtents(CExtents* made = nullptr);
  void FreeExtents();
  // The one road to a node's mapping: its family maps the node (FAT from
  // its run list, exFAT from its runs or chain, ext from the extent tree
  // whose root `aux` points to, or the node's own copy of it); false when
  // the family cannot map it. The volume's extents object is the node's
  // map afterwards, or none when the family reads the node without one
  // (block maps, inline data).
  bool BuildNodeExtents(const cnode* node, const void* aux = nullptr, uint32_t* corruptOut = nullptr);
  // The one virtual operation: make the work reader ready for the node's
  // runs. The work reader is the NTFS inode record, which comes with the
  // NTFS volume: until then this returns 0 (nothing loaded).
  virtual int LoadNodeRuns(const cnode* node);

  // ---- carving, recycle bin, raw copy ----
  // The extension of the carving type of the node's first cluster (read
  // through its run list, or its family's mapping), as the installed sniffer
  // names it (a zip as docx, pptx or xlsx by its member names); empty when
  // none is installed, nothing can be read or no type is recognised.
  WString SniffNodeType(const cnode* node);
  // Recycle-bin remapping and INFO2 reading, done by the recycler; 0 (not
  // remapped) until it exists.
  int Remap(cnode* node, WString* path);
  int ScanInfo2(cnode* node);
  // Writes `clusters` clusters of a counted run list into a new file, in
  // pieces of at most 1 MiB, honouring stop and pause. 0 on success, -1
  // (message box and last error) on a failed read or short write.
  int CopyClusterRange(const uint8_t* runList, uint64_t clusters, WStringView fileName);

  static const char16_t* NodeKindName(uint32_t mode);

  // Frees the buffers of a parse: path cache, dirIndex and both cluster
  // buffers. The queue entries belong to the parsing code, which empties
  // the queue before it calls this; the root node and the folder pool stay
  // until the volume goes.
  void FreeBuf();

  // ---- fields ----
  std::unique_ptr<HTree> nodeIndex;  // (id, name, parent id) of every folder found
  std::unique_ptr<HTree> dirIndex;   // folders already parsed
  char16_t driveLetter[3] = {0, u':', 0};
  ScanSink* engine = nullptr;  // the search the volume belongs to; not owned
  // Owned parts whose classes live elsewhere: whoever makes one gives the
  // deleter with it (shared_ptr keeps it), so the base never needs their
  // definitions.
  std::shared_ptr<Recycler> recycler;  // made by the recycle-bin code
  Drive* drive = nullptr;              // not owned; null: none (nothing is read)

  uint32_t clusterSize = 4096, clusterShift = 12, clusterMask = 4095;
  uint32_t sectorSize = 512, sectorShift = 9, sectorMask = 511;
  uint32_t sectorsPerCluster = 8, sectorsPerClusterShift = 3, sectorsPerClusterMask = 7;
  uint8_t type = kVolUnknown;
  uint16_t volumeNumber = 0;
  uint64_t startSector = 0;  // drive sector of the volume's first sector
  WString label;
  uint32_t progressSteps = 100;
  uint64_t sizeSectors = 0;
  // The size the user gave the volume for the affiliation of found files
  // (sectors, 0 for none).
  uint64_t sizeOverride = 0;
  // Bit 0: the volume is scanned (the volume choice clears it for volumes
  // the user left out).
  uint8_t scanFlags = kVolScanSelected;
  // The volume sector that cluster 0 of ReadClusters starts at, set by the
  // family: VMFS's data offset; FAT's and exFAT's first data sector less two
  // clusters (their clusters count from 2), read as signed.
  uint64_t dataAreaSector = 0;
  std::unique_ptr<CExtents> extents;

  // Directory parsing's string pool of folder paths and the root folder
  // (the walk's queue is in FolderWalk.h).
  std::unique_ptr<HTree> folderPaths;
  cnode* rootNode = nullptr;  // owned

  // The one-entry path cache of folder-path building.
  int64_t cachedParentKey = -1;
  WString cachedPath;
  bool cachedFound = false;
  bool cachedNamed = false;
  int64_t cachedTableParent = -1;
  WString lastFolder;

 private:
  Drive* SourceDrive() const;
  uint8_t* ReadBounced(uint8_t* out, uint64_t volumeByte, uint32_t bytes, Drive* d);
  uint8_t* ReadAt(void* buffer, int64_t cluster, uint64_t within, uint32_t bytes, Drive* d);
  uint8_t* clusterBuffers_[2] = {nullptr, nullptr};
  int bufferSlot_ = 0;
};

// The volume of type 0 (not yet known), and for now the stand-in for every
// family whose volume class is not built yet: it carries that family's type
// code and the base's behaviour. Each family replaces it with its class.
class CUnknownVol : public CVol {
 public:
  explicit CUnknownVol(uint8_t typeCode = kVolUnknown) { type = typeCode; }
};

// True when for some power-of-two unit u from lo doubling up to hi,
// count x u - u < size <= count x u; with count 0 true only for size 0.
bool MatchesUnitCount(uint64_t size, uint64_t count, uint64_t lo, uint64_t hi);

// The leading printable bytes (no control character, no DEL) as text,
// decoded as UTF-8; empty when the first byte is not printable.
WString AnsiPrintableToWide(const uint8_t* bytes, size_t length);
