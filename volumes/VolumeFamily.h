// The contract of a file-system family. A family (filesystems/<family>/)
// fills one VolumeFamily and, when it has node records of its own, one
// NodeOps, and registers them here; filesystems/Families.cpp registers every
// family, in priority order, through RegisterFileSystemFamilies(), which the
// start-up root calls. Nothing below the families names one: the volume
// model, the volume search, the sector classifier and the engine find what
// they need by volume type code, node kind nibble or sector kind.
//
// Every hook may be null: a null hook answers as a family that does not
// have the feature yet ("not recognised", "no time", "nothing read"). A
// type code or nibble nobody registered behaves the same way.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/Text.h"
#include "volumes/SectorKinds.h"

class CExtents;
class CVol;
class Drive;
class ScanSink;
struct cnode;
struct DriveOpenFacts;
struct FolderWalk;

// ---- node records, by the high nibble of cnode::kind ----

// Traits of a family's nodes.
inline constexpr uint32_t kNodeTraitCreationTime = 0x01;  // a recovered file also gets the creation time
inline constexpr uint32_t kNodeTraitNoSymlinks = 0x02;    // symbolic links are listed, never recovered
inline constexpr uint32_t kNodeTraitEngineRecovery = 0x04;  // recovered by the engine's record road
inline constexpr uint32_t kNodeTraitFatRecycleBin = 0x08;   // "$RECYCLE.BIN" and INFO2 rules of FAT volumes
// A file may be larger than its volume (holes); still at most kSparseFileLimit bytes.
inline constexpr uint32_t kNodeTraitSparseFiles = 0x10;
inline constexpr uint64_t kSparseFileLimit = uint64_t(1) << 48;

// Nodes carry no virtual operations: what differs by family is looked up in
// this table by the nibble (CreateNode, DeleteNode, cnode::CopyNode,
// GetFileTime, GetTimeText, GetFirstSector, IsBlockMapNode, the
// Properties' location).
struct NodeOps {
  // A new record of the family (low nibble 0); null when out of memory.
  cnode* (*create)() = nullptr;
  // Destroys a record of the family. Null: deleted as a plain cnode.
  void (*destroy)(cnode* node) = nullptr;
  // Copies the family's own fields (both nodes are of the family); false
  // when memory ran out.
  bool (*copyFields)(cnode* to, const cnode* from) = nullptr;
  // One time as a FILETIME (which: 0 last modification, 1 creation, others
  // as the family defines); false when the node has none.
  bool (*fileTime)(const cnode* node, uint64_t* out, int which) = nullptr;
  // The time as display text. Null: FormatDateTime of fileTime.
  WString (*timeText)(const cnode* node, int which) = nullptr;
  // First sector of the node's data, in sectors of sectorSize. Null: from
  // the first run of the node's run list.
  int64_t (*firstSector)(const cnode* node, uint32_t sectorSize) = nullptr;
  // The node reads through a block map, not through extents.
  bool (*blockMapped)(const cnode* node) = nullptr;
  // Where the node lies as the Properties' location row shows it (NTFS: its
  // record's sector; FAT: its first cluster). Null: its id.
  uint64_t (*location)(const cnode& node) = nullptr;
  // The node's whole number where its 32-bit id is only the low half (XFS
  // inode numbers pass 2^32): the folder walk keys the folders it parsed
  // by it. Null: the id.
  uint64_t (*fullId)(const cnode& node) = nullptr;
  uint32_t traits = 0;
};

// ---- finding volumes ----

// A sector that a family's probe accepted, and where its volume lies: the
// volume search fills the first part, the family's locate the second.
struct BootLocate {
  Drive* drive = nullptr;
  uint8_t type = 0;            // what the probe answered
  int64_t position = 0;        // drive sector of the boot sector or superblock
  const uint8_t* sector = nullptr;
  uint32_t sectorBytes = 0;    // the drive's sector size
  // The chunk the search read the sector in: its first drive sector, its
  // sectors and the sector's index in it.
  const uint8_t* chunk = nullptr;
  int64_t chunkStart = 0;
  uint32_t chunkSectors = 0;
  uint32_t indexInChunk = 0;
  int64_t sectorsLeft = 0;     // in the searched region, from `position` on
  // Out: the volume's first drive sector (negative: not placed) and its size
  // in drive sectors (0: the sector does not tell); `boot` holds a copy of
  // the sector, which a family may replace by a longer block it read.
  int64_t start = -1;
  uint64_t size = 0;
  std::vector<uint8_t>* boot = nullptr;
};

// ---- scans ----

// What the Quick Scan tells a family's pass over one selected volume.
struct QuickScanStep {
  int progressStart = 0;         // percentage where this volume's share begins
  bool lastVolume = false;       // the last selected volume
  int familyVolumesRead = 0;     // volumes of this family read so far in this scan
};

// Walk bits: where the engine walks a volume's folders from its root.
inline constexpr uint8_t kWalkInQuickScan = 0x01;
inline constexpr uint8_t kWalkInLongScan = 0x02;

// A sector of the Long Scan handed to the family that knows its kind.
struct SectorVisit {
  ScanSink* engine = nullptr;
  Drive* drive = nullptr;
  int kind = kSectNone;
  const uint8_t* sector = nullptr;  // the sector and what follows it in the read
  uint64_t bytesLeft = 0;
  int64_t position = 0;             // drive sector
  // Out: drive sectors the family still needs after this read (carried
  // over into the next one); 0 when done with the sector.
  uint32_t carryOverSectors = 0;
  // Out: bytes from this sector on that the structure needs when fewer are
  // left in the read: the pass joins them with the head of the next read
  // and visits the joined structure again (carry-over).
  uint32_t needBytes = 0;
  // Out: drive sectors the action consumed (0: one sector).
  uint32_t consumedSectors = 0;
  // Out: the index of a volume the action added to the drive's table (-1:
  // none); the pass records the nodes found before it and parses it.
  int32_t volumeFound = -1;
};

// One sector kind a family knows: the classifier's test for it and what the
// Long Scan does with such a sector (both may be null), where the
// classifier tries it and how the pass treats it.
struct SectorKindEntry {
  int kind = kSectNone;
  SectorTest test = nullptr;
  // 1 when the sector was taken (not to be carved), 0 otherwise.
  int (*visit)(SectorVisit& visit) = nullptr;
  // The classifier tries kinds by rank, lowest first (equal ranks in the
  // families' order): a kind whose test also accepts another kind's
  // sectors ranks after it. The engine's own kinds rank 50 (dynamic-disk
  // records), 150 and 160 (the RAID scan's marks), 210 and 220 (VHDX).
  int rank = 1000;
  uint8_t flags = 0;  // kKind*
};

// SectorKindEntry::flags.
inline constexpr uint8_t kKindOverrides = 0x01;    // wins over the kind the sector's first bytes matched
inline constexpr uint8_t kKindRemembered = 0x02;   // the context keeps the last sector of the kind
inline constexpr uint8_t kKindEndsCarving = 0x04;  // a volume structure: ends every file carving has open
inline constexpr uint8_t kKindBootSector = 0x08;   // without an action: the volume it describes joins the table

// ---- sessions ----

class CNdArray;

// A volume's type tail: its numbers in the family's order. The session
// file fixes how many a type has; missing ones are written as 0.
struct SessionTail {
  std::vector<int64_t> numbers;
  std::vector<WString> texts;
};

// A node's kind tail as the session file writes it: numbers on the current
// line (one space apart), line ends, and fields that end their own line.
class SessionTailWriter {
 public:
  virtual void Number(int64_t value) = 0;
  // "S=12" and the like: a tag and its number as one token.
  virtual void Tagged(const char* tag, int64_t value) = 0;
  virtual void EndLine() = 0;
  // A name field (A or U form) and its line end.
  virtual void Name(WStringView name) = 0;
  // A run list (its pair bytes as hexadecimal digits) and its line end.
  virtual void Runs(const uint8_t* bytes, size_t count) = 0;
  // Bytes as one token of hexadecimal digits (no count) and its line end.
  virtual void Digits(const uint8_t* bytes, size_t count) = 0;

 protected:
  ~SessionTailWriter() = default;
};

// Reads back what the writer wrote. Every call checks the file and ends
// the load (a format error naming the position) when it does not fit; a
// family calls Fail for a value it cannot take.
class SessionTailReader {
 public:
  virtual int64_t Number() = 0;
  // A token that must begin with the tag: its number.
  virtual int64_t Tagged(const char* tag) = 0;
  virtual void SkipLine() = 0;
  virtual WString Name() = 0;
  // A run list's pair bytes (empty for none).
  virtual std::vector<uint8_t> Runs() = 0;
  // A token of exactly 2 x count hexadecimal digits as bytes, and the rest
  // of its line.
  virtual std::vector<uint8_t> Digits(size_t count) = 0;
  [[noreturn]] virtual void Fail() = 0;
  // The node table being loaded (its name pools).
  virtual CNdArray& Nodes() = 0;
  // NTFS: the stream records that follow the node's own.
  int64_t extraStreams = 0;

 protected:
  ~SessionTailReader() = default;
};

// ---- the family, in groups ----

// What the volume properties dialog shows and checks for a volume type.
struct VolumeDialogFacts {
  // The settings rows' labels (message ids; 0 hides the row).
  std::array<uint16_t, 4> rowMessages{};
  // The rows can be typed in (edit mode only); else they are shown only
  // when `rowsReadOnly`.
  bool rowsTyped = false;
  bool rowsReadOnly = false;
  // The cluster size is labelled as a block size.
  bool blockLabelled = false;
  // Save refuses an inode size (row 3) the Unix readers cannot take.
  bool checksInodeSize = false;
  // Where the boot block or superblock lies after the volume's start (the
  // read-boot dialog's default sector), how many bytes of it a read must
  // give, and whether the dialog can make a volume from it at all.
  int64_t bootBlockOffset = 0;
  uint32_t bootBlockBytes = 0;
  bool bootBlockReadable = true;
  // The cluster sizes offered (powers of two from low to high).
  uint32_t clusterLow = 512, clusterHigh = 65536;
};

// One volume type code of a family.
struct FamilyType {
  uint8_t code = 0;
  // Its file-system name as lists and dialogs show it.
  const char16_t* name = u"";
  VolumeDialogFacts dialog;
};

// Making and knowing a volume.
struct FamilyVolumeOps {
  // A new volume of the type's class. Null: a CUnknownVol with the type.
  CVol* (*create)(uint8_t type) = nullptr;
  // Fills the volume from its boot or super block found at drive sector
  // `sector` of `drive` (null: the volume's own) with its geometry, start,
  // size and root; false when it is not usable.
  bool (*init)(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) = nullptr;
  // Whether the drive confirms a volume made from a sector the search found
  // (never asked for a volume a caller initialises in place). Null: it does.
  bool (*confirm)(CVol& volume, const uint8_t* boot, Drive& drive) = nullptr;
  // Whether `id` names the volume's root folder.
  bool (*isRootId)(const CVol& volume, uint32_t id) = nullptr;
  // Whether a volume found again is the one the drive knows. Null:
  // SameVolumeDefault.
  bool (*same)(const CVol& known, const CVol& found) = nullptr;
  // Completes the known volume from the one found again.
  void (*completeKnown)(CVol& known, const CVol& found) = nullptr;
  // Reads the volume's label from its file system into `label` (asked by
  // GetVolumeLabel while the label is empty). Null: the label stays as set.
  void (*readLabel)(CVol& volume) = nullptr;
  // The file system this volume is (ext2, ext3 or ext4 by its features).
  // Null: its type's name.
  WString (*fileSystemName)(const CVol& volume) = nullptr;
  // Why the volume is known but not read (a byte order the reader does
  // not take), as the scan's log says it; empty when it is read.
  WString (*notReadReason)(const CVol& volume) = nullptr;
  // The volume properties dialog's settings rows (0..3, in the units shown):
  // false when the volume keeps no such value or its divisor is 0.
  bool (*readSettingRow)(const CVol& volume, int row, int64_t* value) = nullptr;
  // Save's check of typed rows: 0 when they are usable, else the message
  // that refuses them with the row it names in `*row`.
  int (*checkSettingRows)(const CVol& volume, const int64_t* rows, int* row) = nullptr;
  // Typed rows taken back (the volume's sizes and start already set):
  // either as plain fields, or as the boot block they describe (0 bytes
  // when its fields cannot hold them), which `init` then reads.
  void (*writeSettingRows)(CVol& volume, const int64_t* rows) = nullptr;
  size_t (*bootFromSettingRows)(const CVol& volume, const int64_t* rows, uint8_t* buffer, size_t capacity) = nullptr;
  // Where this volume's boot block or superblock lies after its start, in
  // sectors, when its type's dialog fact does not say (UFS2's superblock at
  // 8, 64 or 256 KiB); -1 or null: the fact.
  int64_t (*bootBlockOffset)(const CVol& volume) = nullptr;
  // The dialog's cluster value where it is not the volume's cluster size
  // (VMFS: its file block size; ReFS: its own cluster size), and Save's
  // setter of it (false: a size the volume cannot take). Null: the
  // volume's cluster size, set through CVol::SetClusterSize.
  int64_t (*clusterValue)(const CVol& volume) = nullptr;
  bool (*setClusterValue)(CVol& volume, uint32_t bytes) = nullptr;
};

// Finding volumes on a drive.
struct FamilySearchOps {
  // The volume type code whose boot block or superblock the sector (a drive
  // sector) is; 0 when it is none of this family's.
  int (*probe)(const uint8_t* sector) = nullptr;
  // Where the volume of a probed sector lies. Null: not placed.
  void (*locate)(BootLocate& where) = nullptr;
  // The type code of a backup boot sector that a volume device keeps in its
  // last sector (read when the search finds nothing else); 0 when not one.
  int (*lastSectorProbe)(const uint8_t* sector) = nullptr;
  // Sectors after the volume's end that still belong to it (the NTFS backup
  // boot sector): the search for the next volume starts after them.
  uint8_t trailingSectors = 0;
  // A volume of this family fills its partition (less its trailing
  // sectors): its partition's last sectors need no search.
  bool fillsPartition = false;
  // Whether a volume that starts inside the drive but runs past its end
  // (a partial image of a failing disk) is kept: its metadata is on the
  // drive. Null: a volume must lie wholly inside the drive.
  bool (*keepsPastDriveEnd)(CVol& volume, Drive& drive) = nullptr;
  // Reads what the first sectors of an opened volume device tell (format
  // time, the volume's sector count); true when they are this family's.
  bool (*driveOpen)(Drive& drive, const uint8_t* firstSectors, uint32_t bytes, DriveOpenFacts* facts) = nullptr;
};

// A file's bytes: one way to map a node and one way to read it, for the
// folder walk, the recovery, the preview and the type sniffer alike.
struct FamilyDataOps {
  // Makes the node's mapping ready on the volume (its extents object, the
  // family's own state); `aux` is what the family's nodes keep beside their
  // runs, `corruptOut` (may be null) counts clusters the map knows to be
  // wrong. False when the node cannot be mapped. Null: nothing is mapped.
  bool (*map)(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut) = nullptr;
  // Reads bytes of the node mapped last, from `offset` (a multiple of the
  // cluster size) into buffer, at most `capacity`: the bytes delivered
  // (whole clusters, less at the end of the mapping), -1 on failure. Null:
  // through the volume's extents object.
  int64_t (*read)(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity) = nullptr;
  // For a node mapped without an extents object (ext's block maps): the
  // byte just past where its data can end at most, UINT64_MAX when not
  // known. Null: not known. The recovery bounds such a file by it as it
  // bounds a mapped one by its map.
  uint64_t (*dataEnd)(CVol& volume, const cnode& node) = nullptr;
  // The extents object `map` leaves is the family's own reading state, not
  // where the data lies on the volume (XFS's local forks, VMFS's
  // sub-blocks and data in the descriptor): the recovery takes no length
  // or holes from it, and the family's reader bounds the file itself.
  bool mapIsPrivate = false;
};

// The Quick Scan, the folder walk, the Long Scan and carving.
struct FamilyScanOps {
  // The family's own pass over one selected volume: 1 when it read the
  // volume, 0 when it could not.
  int (*quickScan)(CVol& volume, ScanSink& engine, const QuickScanStep& step) = nullptr;
  // A family's own volume pass in place of the ordinary scan (the XFS and
  // ext Long Scans), asked by SearchFS for each selected volume and by the
  // Long Scan for a volume it found: the family decides from
  // volume.Options() whether it runs. 1 when it ran: the ordinary scan
  // (SearchFS: its volumes and its sector pass; a found volume: its parse)
  // is then skipped; 0 otherwise.
  int (*ownVolumePass)(CVol& volume, ScanSink& engine) = nullptr;
  // Else the engine walks the volume's folders from its root (kWalk* bits),
  // with this parser of one piece of a folder's data: every entry becomes a
  // node handed to AddDirEntryNode. Returns the number of entries made.
  uint8_t walkFolders = 0;
  int (*parseEntries)(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) = nullptr;
  // A folder whose size is not whole clusters is damaged and not walked.
  bool folderSizeInClusters = false;
  // A volume of several folder trees (a pool's datasets): queues the roots
  // of the next tree on the walk (with `restart`, of the first), each with
  // its path; false when none is left. Null: one tree from the volume's
  // root node, "\".
  bool (*nextRoots)(CVol& volume, FolderWalk& walk, bool restart) = nullptr;
  // The key a folder counts as parsed under (null: its id), where ids
  // repeat across trees.
  uint64_t (*folderKey)(const cnode& folder) = nullptr;
  // The bytes of a folder the walk reads, once it is mapped (null: its
  // size), where the size the list shows is not its data's.
  uint64_t (*folderBytes)(CVol& volume, const cnode& folder) = nullptr;
  // The sector kinds the family knows (tests and actions).
  std::span<const SectorKindEntry> sectorKinds;
  // A volume the Long Scan found (through ProcBootCm) is parsed.
  void (*parseFoundVolume)(CVol& volume, ScanSink& engine) = nullptr;
  // In a Long Scan, after the folder walk of each of the family's volumes
  // (the selected ones and those the sector pass finds): the family's own
  // pass over what the walk did not list (ext's inode sweep).
  void (*afterLongScanWalk)(CVol& volume, ScanSink& engine) = nullptr;
  // Whether the run's options end the Long Scan after the volumes' passes,
  // without the sector pass (the mapping passes still run).
  bool (*endsBeforeSectorPass)(ScanSink& engine) = nullptr;
  // After the sector pass: the family ties its orphan nodes to their
  // folders and volumes and hands over every node of its nibble not shown
  // yet (the drive's volume table gives the volumes).
  void (*finishLongScan)(ScanSink& engine, Drive* drive) = nullptr;
  // A header hit that the family takes itself (the raw recovery of a file
  // system's files from its block maps), offered between the header probe
  // and the carving parser: 1 when taken (it is then not carved).
  int (*takeCarvedHit)(ScanSink& engine, Drive* drive, const uint8_t* sector, uint64_t bytesLeft, uint8_t carvingType,
                       int64_t position) = nullptr;
  // An internal carving kind the family sizes (NTFS's folder index
  // records): its carving type index, and the record's byte count from its
  // first `length` bytes, 0 when they are not one; `counter` gets the
  // record's number in its file.
  uint8_t carvedKind = 0xFF;
  uint64_t (*sizeCarvedKind)(const uint8_t* bytes, size_t length, uint32_t* counter) = nullptr;
};

// Sessions: a volume's type tail (numbers only) and, for the family's
// nibble, a node's kind tail, written and read back in the family's order.
// Reading a volume tail also derives what the volume computes from them;
// false for values it cannot take (the load then fails).
struct FamilySessionOps {
  void (*writeVolumeTail)(const CVol& volume, SessionTail& tail) = nullptr;
  bool (*readVolumeTail)(CVol& volume, const SessionTail& tail) = nullptr;
  void (*writeNodeTail)(const cnode& node, SessionTailWriter& out) = nullptr;
  void (*readNodeTail)(cnode& node, SessionTailReader& in) = nullptr;
};

// A family: who it is, and each group it has (null: none of that group's
// features).
struct VolumeFamily {
  const char* name = "";  // its folder under filesystems/
  std::span<const FamilyType> types;
  uint8_t nodeFamily = 0xFF;  // its kind nibble (Node.h), 0xFF for none
  const NodeOps* nodeOps = nullptr;
  const FamilyVolumeOps* volume = nullptr;
  const FamilySearchOps* search = nullptr;
  const FamilyDataOps* data = nullptr;
  const FamilyScanOps* scans = nullptr;
  const FamilySessionOps* sessions = nullptr;
};

// Registers the family for each of its type codes, its nibble and its
// sector kinds; a later registration of the same codes replaces the
// earlier one. The order of first registration is the families' priority
// (the order probes and drive-open checks are asked in).
void RegisterVolumeFamily(const VolumeFamily& family);
// Installs (or with null removes) the family of one type code only, and
// returns the one it replaces (tests plug in families of their own).
const VolumeFamily* RegisterVolumeFamily(uint8_t type, const VolumeFamily* family);
// Forgets every registration.
void ClearVolumeFamilies();

const VolumeFamily* FindVolumeFamily(uint8_t type);
// The groups of the type's family; null when the type or its family's
// group is not registered.
const FamilyVolumeOps* FindVolumeOps(uint8_t type);
const FamilySearchOps* FindSearchOps(uint8_t type);
const FamilyDataOps* FindDataOps(uint8_t type);
const FamilyScanOps* FindScanOps(uint8_t type);
const FamilySessionOps* FindSessionOps(uint8_t type);
// The registered type's entry (its name and dialog facts); null when none.
const FamilyType* FindFamilyType(uint8_t type);
// The type's file-system name ("NTFS", "Ext 3/4"); empty when nobody
// registered the type.
WString FileSystemTypeName(uint8_t type);
// The file system the volume is: its family's answer for the volume (ext2,
// ext3, ext4), else its type's name.
WString VolumeFileSystemName(const CVol& volume);
// The node operations of a kind byte's nibble; null when none are
// registered.
const NodeOps* FindNodeOps(uint8_t kind);
// The family whose nibble the kind byte has; null when none registered one.
const VolumeFamily* FindNodeFamily(uint8_t kind);
// Whether the kind byte's family has the node trait (kNodeTrait*).
bool NodeHasTrait(uint8_t kind, uint32_t trait);
// The entry registered for a sector kind; null when none.
const SectorKindEntry* FindSectorKind(int kind);
// Every registered sector kind in the families' order; the count changes
// (and `RegistryGeneration` with it) whenever a family is registered.
const std::vector<const SectorKindEntry*>& RegisteredSectorKinds();
uint64_t RegistryGeneration();
// The registered families in priority order.
const std::vector<const VolumeFamily*>& VolumeFamilies();
// The sizing of an internal carving kind; null when no family sizes it.
using CarvedKindSizer = uint64_t (*)(const uint8_t* bytes, size_t length, uint32_t* counter);
CarvedKindSizer FindCarvedKindSizer(uint8_t carvingType);

// ---- helpers the families and the volume model share ----

// The volume type code the sector is the boot block or superblock of: each
// family's probe in priority order; 0 for none.
int ProbeVolumeKind(const uint8_t* sector);
// The same-volume test of families without one of their own: same type,
// start and cluster size, and sizes (when both are known) within 100
// sectors above and `slackBelow` + 100 sectors below.
bool SameVolumeDefault(const CVol& known, const CVol& found);
bool SameVolumeSize(const CVol& known, const CVol& found, uint64_t slackBelow);
// Recreates the volume's extents object for the node and sets its cluster
// size and sector size: false when the node's cluster size cannot be.
bool PrepareNodeExtents(CVol& volume, const cnode& node);
// A map of the node's counted run list: the prepared extents object loaded
// with it, its total what the runs hold (FAT), whatever size the node says.
bool MapRunList(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut);
