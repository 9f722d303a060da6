// Run lists: where a found file's data lies on the volume, for every file
// system, kept as NTFS mapping pairs behind a 32-bit byte count.
//
// A stored list is one malloc'd block: u32 n (little-endian), then n bytes of
// mapping pairs, no terminating zero. One pair: header (low nibble L = bytes
// of the length, high nibble O = bytes of the offset), L bytes of run length
// in clusters, O bytes of the start cluster minus the previous run's start
// (signed, sign-extended below 8 bytes). Start clusters restart from 0 in
// every list (every NTFS attribute piece starts its own list).
//
// A run is a hole (reads as zeros) when its offset is 0: its start equals the
// previous run's start or, for the first run, is 0.
//
// The 24-byte-per-run arrays of other families (ext4 extents, XFS, VMFS) and
// the node-level walks over lists live here too.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

struct cnode;
struct XEntry;

// ---- stored lists ----

using RunList = uint8_t*;  // owned block as described above, or null

inline constexpr uint32_t kRunListHeaderBytes = 4;
// Largest pair: header, 4 length bytes, 8 offset bytes.
inline constexpr uint32_t kMaxPairBytes = 13;

// Mapping-pair bytes of a list (its count); 0 for null.
uint32_t RunListBytes(const uint8_t* list);
// A new list holding a copy of `count` pair bytes; null when memory runs out
// or count is above 2^32 - 5.
RunList NewRunList(const uint8_t* pairs, size_t count);
// A copy of the whole list (null for null).
RunList CopyRunList(const uint8_t* list);
void FreeRunList(RunList list);
inline void FreeRunList(RunList* holder) {
  FreeRunList(*holder);
  *holder = nullptr;
}

// Decodes the pair at *position (bytes after the count, from 0). 1: one pair,
// position moved behind it; 0: end of list (or a 0 header; position kept);
// -1: a bad pair (length field of 0 or more than 4 bytes, offset field of
// more than 8 bytes, or a pair running past the list).
int ReadNextRun(int64_t* delta, uint32_t* length, const uint8_t* list, uint32_t* position);
// The same over bare pair bytes (an attribute record's mapping pairs).
int ReadNextRunPairs(int64_t* delta, uint32_t* length, const uint8_t* pairs, uint32_t count, uint32_t* position);

// Sum of the run lengths; -1 when a pair fails to decode. *firstDelta (when
// given) = the first pair's offset, 0 for an empty list.
int64_t GetClusterCount(const uint8_t* list, int64_t* firstDelta = nullptr);
// Start cluster of the last run (running sum of the offsets, up to the first
// pair that does not decode); 0 for an empty list.
int64_t GetLastRunLCN(const uint8_t* list);
// Largest (start + length) over the runs that are not holes; -1 when the
// list has no such run.
int64_t GetLargestLCN2(const uint8_t* list);

// Bytes of the smallest unsigned / signed little-endian form (0 for 0).
int UnsignedBytes(uint64_t value);
int SignedBytes(int64_t value);

// Encoded pairs (MakeRuns, RunListEncoder): the offset in the fewest signed
// bytes (none for 0: a hole); the length, like NTFS drivers write it, in the
// fewest bytes that leave the last byte's top bit clear (254 is FE 00), 4
// bytes at most. A pair is at most kMaxPairBytes.

// A new list of exactly one run; null when the length needs more than 4
// bytes or memory runs out.
RunList MakeRuns(int64_t start, uint64_t length);
bool MakeRuns(RunList* out, int64_t start, uint64_t length);

// ---- parsing an NTFS attribute's mapping pairs ----

struct ParsedRuns {
  RunList list = nullptr;  // owned by the caller
  uint64_t clusterCount = 0;
  uint64_t allocatedSize = 0;
  uint64_t realSize = 0;
  uint64_t initializedSize = 0;
};
// Reports a parse problem with the record's disk position; may be null.
using RunReportFn = void (*)(void* context, const char16_t* text);

// A non-resident attribute (header + pairs, `available` bytes readable from
// `attribute`): -1 on a malformed header or pair ("Offset or length invalid
// %02x" reported), 0 otherwise (no list for an attribute shorter than 56
// bytes). A pair cut by the attribute end is reported ("Invalid run exceeding
// attribute length.") and the list ends before it; the stored list never
// holds the terminator.
int parseRuns(const uint8_t* attribute, size_t available, ParsedRuns* out, RunReportFn report = nullptr,
              void* context = nullptr);

// ---- building lists ----

class RunListEncoder {
 public:
  RunListEncoder() = default;
  ~RunListEncoder();
  RunListEncoder(const RunListEncoder&) = delete;
  RunListEncoder& operator=(const RunListEncoder&) = delete;

  // 1: added; 0: added, but the same (first, last) cluster pair was added
  // before (reported once: later duplicates are no longer looked for);
  // -1: refused, nothing added (start - previous start overflows, the list
  // would pass 4 GiB, or memory runs out).
  int AddRun(int64_t start, uint32_t length);
  // Fills virtual clusters from TotalClusters() up to toCluster: first the
  // clusters that follow the last run on disk, as far as nextStart, then a
  // hole. 1, or -1 when a run was refused.
  int AddGap(uint64_t toCluster, uint64_t nextStart);
  // The list (count + pairs): into `buffer` when given (null when it holds
  // fewer than Used() + 4 bytes), else a new block freed with FreeRunList.
  // Null when nothing was added.
  RunList Export(uint8_t* buffer = nullptr, size_t bufferSize = 0) const;

  uint32_t RunCount() const { return runCount; }
  uint64_t TotalClusters() const { return totalClusters; }
  uint32_t Used() const { return used; }
  const uint8_t* Pairs() const { return buf; }

 private:
  struct PairHash {
    size_t operator()(const std::pair<int64_t, int64_t>& p) const noexcept;
  };
  bool Reserve(uint32_t more);

  uint8_t* buf = nullptr;
  uint32_t capacity = 0;
  uint32_t used = 0;
  uint32_t lastLength = 0;
  int64_t lastStart = 0;
  uint32_t runCount = 0;
  uint64_t totalClusters = 0;
  // (first, last) cluster of every run from the second run on; dropped after
  // the first duplicate.
  std::unordered_set<std::pair<int64_t, int64_t>, PairHash>* seen = nullptr;
  int64_t firstStart = 0;
  uint32_t firstLength = 0;
  bool checking = true;
};

// ---- run arrays ----

// One run of a run array or of an extents table: virtual clusters from `vcn`
// mapped to logical clusters lcn .. lcnEnd - 1. A hole entry keeps the
// previous entry's LCN and reads as zeros.
struct ExtentRun {
  uint64_t vcn = 0;
  uint64_t lcn = 0;
  uint64_t lcnEnd = 0;  // exclusive
  uint32_t flags = 0;
  uint32_t reserved = 0;
  uint64_t Length() const { return lcnEnd >= lcn ? lcnEnd - lcn : 0; }
  bool IsHole() const { return (flags & kHole) != 0; }
  static constexpr uint32_t kHole = 0x1;
};
using RunArray = std::vector<ExtentRun>;

// Appends `added` to `holder` (adopting it when the holder is empty) and
// clears `added`. False when memory runs out (nothing changes then).
bool AppendRuns(RunArray& holder, RunArray& added);
// True when every run starts at or after the previous run's end VCN and ends
// at or below volumeClusters; the first failure is traced ("run %ld out of
// sequence" / "run %ld too large") under the Unix file-system switch.
bool ValidateRuns(const ExtentRun* runs, size_t count, uint64_t volumeClusters);
// Drops the runs that fail those tests (each traced); returns the count kept.
size_t PruneRuns(RunArray& holder, uint64_t volumeClusters);

// ---- nodes ----

// Appends the list `second` to `first`: an empty `first` adopts it (first
// takes ownership, second becomes null); a `second` of one byte or less
// changes nothing. Otherwise the first run of `second` (which counts from
// cluster 0 like every list) is re-expressed against the last start cluster
// of `first`. The one place where a list is rebased. False when `second`
// does not decode or memory runs out (`first` unchanged, `second` kept).
bool MergeMappingPairs(RunList* first, RunList* second);

// The first cluster after the highest data run (GetLargestLCN2) over the
// node's list, or over every piece of its extension-record chain (each piece
// counts from cluster 0); -1 when there is no data run.
int64_t GetLargestLCN(const cnode* node);
// Clusters of all runs of the node (of every piece of its chain); -1 when a
// piece has no list or a list does not decode; 0 without runs.
int64_t GetClusterCountAll(const cnode* node);
// The same walks over an extension-record chain.
int64_t GetLargestLCN(const XEntry* chain);
int64_t GetClusterCountAll(const XEntry* chain);
