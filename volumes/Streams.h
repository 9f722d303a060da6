// Named data streams of an NTFS file (a chain sorted by name on the node) and
// the pieces of a stream's data held in extension records (a chain in
// attribute-list order on the node or on a stream). Plain records: whoever
// holds a chain frees it with the functions here.
#pragma once
#include <cstdint>

#include "foundation/HTree.h"
#include "volumes/RunList.h"

struct XEntry;

struct NTFSStream {
  uint64_t initializedSize = 0;
  uint64_t reservedSize = 0;  // kept clear
  uint64_t realSize = 0;
  RunList runs = nullptr;         // owned
  const char16_t* name = nullptr;  // interned in the engine's name table; not owned
  NTFSStream* next = nullptr;
  XEntry* pieces = nullptr;  // owned
  uint16_t flags = 0;

  static constexpr uint16_t kDataInPieces = 0x10;

  NTFSStream() = default;
  // Adopts `runs`.
  NTFSStream(RunList runs, const char16_t* name, uint64_t realSize, uint64_t initializedSize);
  static NTFSStream* NTFSStreamEmpty();
  NTFSStream(const NTFSStream&) = delete;
  NTFSStream& operator=(const NTFSStream&) = delete;
};

// Adds a stream (adopting `runs`) before the first stream whose name is
// greater (code-unit order; a null name is empty), so equal names keep their
// order of arrival. Returns the new head; the old head when memory runs out
// (then `runs` is freed).
NTFSStream* AddStreamSorted(NTFSStream* head, RunList runs, const char16_t* name, uint64_t realSize,
                            uint64_t initializedSize);
// The stream with exactly this name (case-sensitive); null for a null or
// empty name.
NTFSStream* FindStream(NTFSStream* head, const char16_t* name);
const NTFSStream* FindStream(const NTFSStream* head, const char16_t* name);
// A new chain: runs duplicated, names shared, sizes and flags copied, pieces
// not copied. Null for an empty chain or when memory runs out.
NTFSStream* CopyStreamChain(const NTFSStream* head);
// Frees every stream with its runs and pieces.
void FreeStreamChain(NTFSStream* head);

struct XEntry {
  uint64_t recordNumber = 0;  // the low 40 bits name the extension record
  uint64_t baseRecord = 0;
  uint64_t firstVcn = 0;
  uint64_t lastVcn = 0;
  uint64_t realSize = 0;
  uint64_t initializedSize = 0;
  uint64_t allocatedSize = 0;
  uint64_t position = 0;  // disk position of the extension record
  RunList runs = nullptr;  // owned
  int32_t volumeIndex = -1;
  uint32_t clusterCount = 0;
  XEntry* next = nullptr;

  static constexpr uint64_t kRecordMask = 0xFFFFFFFFFFull;

  XEntry() = default;
  ~XEntry();  // frees runs, not the pieces after it
  XEntry(const XEntry&) = delete;
  XEntry& operator=(const XEntry&) = delete;

  // Appends a piece at the tail of the chain that starts here.
  void Add(XEntry* piece);
  // Deletes every piece after `first`; the first belongs to its owner.
  static void FreeChain(XEntry* first);
};

// Deletes a whole chain, first piece included.
void DeleteXEntryChain(XEntry* first);
// A deep copy of a chain (runs duplicated); null for an empty chain or when
// memory runs out.
XEntry* CopyXEntryChain(const XEntry* first);
// Reads a pair of the first piece's list, as ReadNextRun does.
int ReadNextRunExt(int64_t* delta, uint32_t* length, const XEntry* piece, uint32_t* position);

// ---- the piece table (extension records parsed during a scan) ----
// Keyed (record number & kRecordMask, first VCN, base record, 0), the piece
// in column 4. The table owns its pieces: free them with FreePieceTable.
inline constexpr uint32_t kPieceTablePage = 4096;
inline constexpr uint32_t kPieceTableBuckets = 4096;
HTree* NewPieceTable();
void FreePieceTable(HTree* table);

// Enters a parsed extension record's piece into the table, which then owns
// it; a piece already present (same key) is deleted and null returned.
// `creationTime` (the record's FILETIME) only feeds the MFT trace line.
XEntry* AddExt(XEntry* piece, HTree& table, uint64_t creationTime = 0);
// The table's piece for a chain entry (its record number, first VCN and
// base record), or null.
XEntry* FindPiece(const HTree& table, const XEntry& wanted);
