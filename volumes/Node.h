// Found-file nodes: one small plain record per file or folder a scan finds,
// on any file system. The common head is `cnode`; each family extends it
// with a record of its own. Nodes have no virtual operations: whatever
// differs by family (create, copy, destroy, times) is looked up by the
// family nibble of `kind` in the table the families register
// (NodeOps, VolumeFamily.h). Names live in the node table's pool (NodeTable.h) and
// are never owned by a node.
//
// Names are kept raw here (as the source holds them, decoded to UTF-16): the
// list and the session files show and store them as they are. A name
// becomes a destination file name only through DestinationPath.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"
#include "volumes/RunList.h"

struct NTFSStream;
struct XEntry;
class HTree;

// ---- kind byte: family in the high nibble ----
inline constexpr uint8_t kNodeNtfs = 0x00;
inline constexpr uint8_t kNodeHfs = 0x10;
inline constexpr uint8_t kNodeFat = 0x20;
inline constexpr uint8_t kNodeExt = 0x30;
inline constexpr uint8_t kNodeUfs = 0x40;
inline constexpr uint8_t kNodeXfs = 0x50;
inline constexpr uint8_t kNodeExFat = 0x60;
inline constexpr uint8_t kNodeVmfs = 0x70;
inline constexpr uint8_t kNodeRefs = 0x80;
inline constexpr uint8_t kNodeZfs = 0x90;
inline constexpr uint8_t kNodeFirstInvalid = 0xA0;  // this and above: no record
inline constexpr uint8_t kNodeFamilyMask = 0xF0;
inline constexpr uint8_t kNodeClusterCodeMask = 0x0F;

// ---- flags ----
inline constexpr uint16_t kNodeHandedOver = 0x0001;  // in the engine's tree (or INFO2 read)
inline constexpr uint16_t kNodeDeleted = 0x0002;
inline constexpr uint16_t kNodeStreams = 0x0010;     // NTFS: `runs` holds an XEntry chain
inline constexpr uint16_t kNodeParentIsIndex = 0x0020;  // parentId indexes the node table
inline constexpr uint16_t kNodeGradeMask = 0x0700;   // recovery grade / status, bits 8-10
inline constexpr int kNodeGradeShift = 8;
// Grades a scan gives (shown "Good" and "Poor"), and the statuses a
// recovery leaves in the same bits for display.
inline constexpr uint16_t kGradeGood = 3;
inline constexpr uint16_t kGradePoor = 4;
inline constexpr uint16_t kGradeCorrupt = 1;
inline constexpr uint16_t kGradeFailed = 2;
inline constexpr uint16_t kGradeSaved = 5;
inline constexpr uint16_t kGradeSkipped = 6;
inline constexpr uint16_t GradeBits(uint16_t grade) { return uint16_t(grade << kNodeGradeShift); }
inline constexpr uint16_t kNodeSymlink = 0x8000;
// ---- flags2 ----
inline constexpr uint16_t kNode2Directory = 0x0002;
inline constexpr uint16_t kNode2Compressed = 0x0800;

inline constexpr uint16_t kNoVolume = 0xFFFF;
inline constexpr uint8_t kNoType = 255;
inline constexpr uint32_t kNoNodeId = 0xFFFFFFFFu;
// Sector size of the cluster code when the caller has no drive.
inline constexpr uint32_t kDefaultNodeSectorSize = 512;

struct cnode {
  uint16_t flags = 0;
  uint16_t flags2 = 0;
  uint16_t volumeIndex = kNoVolume;
  uint8_t kind = 0;  // family | cluster-size code
  uint8_t typeIndex = kNoType;
  // A counted run list (RunList.h), owned; with kNodeStreams the first
  // piece of an XEntry chain instead (see Pieces()).
  uint8_t* runs = nullptr;
  const uint8_t* name = nullptr;  // counted name, pooled, not owned
  uint32_t parentId = 0;
  uint32_t id = kNoNodeId;
  uint64_t size = 0;

  cnode() = default;
  explicit cnode(uint8_t kindByte) : kind(kindByte) {}
  // Frees the run list (a chain is freed by the family that made it).
  ~cnode();
  cnode(const cnode&) = delete;
  cnode& operator=(const cnode&) = delete;

  uint8_t Family() const { return kind & kNodeFamilyMask; }
  // The record is an snode (below): the NTFS family's, and the record of
  // carved files.
  bool IsSnode() const { return Family() == kNodeNtfs; }
  bool IsDirectory() const { return (flags2 & kNode2Directory) != 0; }
  // The chain flag has a meaning for NTFS nodes only.
  bool HasPieces() const { return (flags & kNodeStreams) && IsSnode(); }
  XEntry* Pieces() const { return HasPieces() ? reinterpret_cast<XEntry*>(runs) : nullptr; }
  const uint8_t* RunBuffer() const { return HasPieces() ? nullptr : runs; }

  // Cluster-size code in the low nibble of `kind`, relative to the sector
  // size of the volume the caller reads (never a hidden current drive):
  // log2(bytes / sectorSize) + 1; 4 (8 sectors) when the quotient is 8, not
  // a power of two, or the sizes make no sense; code 0 reads as 8 sectors.
  void SetClusterBytes(uint32_t bytes, uint32_t sectorSize = kDefaultNodeSectorSize);
  // Cluster bytes for the code; 0 when the code overflows 32 bits.
  uint32_t GetClusterBytes(uint32_t sectorSize = kDefaultNodeSectorSize) const;

  // The counted name as text; empty for no name.
  WString GetNameW() const;
  // The same into a holder, replacing what it had; false for no name.
  bool GetNameW(WString* holder) const;

  // Copies the common fields (the name shared), duplicates the run list or
  // the extension-record chain, then the family's own fields when both nodes
  // are of the same family. A node's family is fixed when it is made (it
  // says which record to destroy): from another family only the cluster
  // code is taken. False when memory runs out (a copy is then missing).
  bool CopyNode(const cnode* from);

  // One time as a FILETIME: which 0 = last modification, 1 = creation (FAT
  // also 2 = last access). False, *out untouched, for a family without a
  // time reader yet and for invalid kinds.
  bool GetFileTime(uint64_t* out, int which = 0) const;
  // The same time as display text; empty when there is none.
  WString GetTimeText(int which = 0) const;

  // First sector of the node's data, in sectors of sectorSize: the first run's
  // start cluster x (cluster bytes / sectorSize); 0 without runs.
  int64_t GetFirstSector(uint32_t sectorSize = kDefaultNodeSectorSize) const;
};

// The NTFS node.
struct snode : cnode {
  uint64_t creationTime = 0;  // FILETIME
  uint64_t writeTime = 0;     // FILETIME
  uint64_t validSize = 0;
  uint64_t allocatedSize = 0;
  NTFSStream* streams = nullptr;  // owned
  uint64_t position = 0;          // disk position of the record the node came from

  snode() : cnode(kNodeNtfs) {}
  // Frees the streams, the extension-record chain and the run list.
  ~snode();

  bool CopySnodeFields(const snode* from);
  // No runs and no stream with data.
  bool IsEmpty() const;
  // Fills this node from a FAT node: common fields, the run list copied,
  // size also as both other sizes; the cluster code, not the family.
  bool CopyFATInode(const cnode* fat);
  int64_t GetFirstSector(uint32_t sectorSize) const;
};

// A new node of the family (low nibble ignored); null for a family whose
// record is not built yet and for invalid kinds.
cnode* CreateNode(uint8_t kind);
// Destroys the node by family and clears the holder.
void DeleteNode(cnode** holder);
// The node reads through a block map rather than extents (UFS nodes, and
// ext nodes whose inode uses no extent tree).
bool IsBlockMapNode(const cnode* node);

// First piece of the node's chain held in the extension record `recordNumber`
// (low 40 bits compared); null without a chain.
XEntry* FindExtInNode(const cnode* node, uint64_t recordNumber);

// NTFS nodes with several streams: fills the chain's pieces that have no
// runs yet from the piece table (zeroed when absent), sets size and valid
// size from the chain when still zero and, when the cluster count is known
// (not 0 or -1), derives the cluster size from the allocated bytes. `sectorSize`
// is the volume's, for the cluster code. True when a piece was missing.
bool FindExt(snode* node, const HTree* pieceTable, uint32_t sectorSize = kDefaultNodeSectorSize);

// ---- names ----

// An 8-bit on-disk name to UTF-16 (count bytes; stops at a NUL). With the
// configured code page (settings "Ext Options" / "Code page") through the
// system converter; without one, or when that fails, as UTF-8: well-formed
// sequences of 2 to 4 bytes (4-byte forms as surrogate pairs); any other
// byte (a stray continuation, an overlong or cut sequence) stands for
// itself as a Latin-1 character, so no byte ever turns into "/", "." or
// another ASCII character it was not. The name is not otherwise changed.
WString ConvertNameToWide(const uint8_t* bytes, size_t count);
// Buffer form: writes at most capacity - 1 units and a terminator; returns
// the length written (0 when capacity is 0).
int ConvertNameToWide(const uint8_t* bytes, size_t count, char16_t* out, size_t capacity);
// A "\"-separated 8-bit path, component by component, keeping the "\".
WString ConvertPathToWide(const uint8_t* bytes, size_t count);

// The name rules of the original's target file system, for callers that must
// make a name acceptable to a FAT/NTFS-like destination (never "." or ".."):
// cuts at the first NUL; control characters and " * / : < > ? \ | become "_";
// "con", "prn", "aux", "nul" and "com1".."lpt9" (any case) get "_" first; a
// name made only of dots gets "_" first (so "." and ".." become "_." and
// "_.."); a trailing blank or dot becomes "_". Returns the new length; the
// text (count units, room for a terminator after them) is terminated.
int SanitizeName(char16_t* text, int count);
WString SanitizeName(WStringView text);

// ---- times ----

// FILETIME to local time, "yyyy/MM/dd HH:mm:ss"; "0000/00/00 00:00:00" when
// the local year passes 9999 (or the conversion fails).
WString FormatDateTime(uint64_t fileTime);
