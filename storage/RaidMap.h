// Stripe maps: how the logical sectors of a RAID set come from its members.
// A range repeats one logical group; each logical extent of the group is
// read by an operation over member sectors (a copy, an XOR, a P/Q rebuild,
// or zeros). RAID 0, 5 and 6 sets get one range built from their layout;
// a schema file (RaidSchema) gives any number of them. RAID-Z blocks are
// laid out over the members by the column map instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr uint8_t kRaidOpZero = 0;
inline constexpr uint8_t kRaidOpXor = 1;  // one item: a copy
inline constexpr uint8_t kRaidOpQ1 = 2;
inline constexpr uint8_t kRaidOpQ2 = 3;
inline constexpr uint8_t kRaidFlagBad = 1;
// An operation has at most this many items.
inline constexpr size_t kMaxRaidItems = 65;

// Parity rotation codes.
inline constexpr int kRotForwardAsymmetric = 0;
inline constexpr int kRotBackwardAsymmetric = 1;
inline constexpr int kRotBackwardSymmetric = 2;
inline constexpr int kRotForwardSymmetric = 3;
inline constexpr int kRotBackwardAsymmetric2 = 4;
inline constexpr int kRotBackwardSymmetric2 = 5;

struct RaidItem {
  int coefficient = 0;  // P/Q operations: 0 P, -1 Q, else the data coefficient
  uint32_t offset = 0;  // member sector inside the member's group
  int member = 0;
};

struct RaidExtent {
  uint32_t length = 0;  // sectors
  uint32_t lso = 0;     // logical sector offset inside the group
  uint8_t op = kRaidOpZero;
  uint8_t flags = 0;
  int gx = 0, gy = 0;
  std::vector<RaidItem> items;
};

struct RaidRange {
  uint64_t startLsn = 0, sizeSectors = 0;
  uint32_t logicalGroupSectors = 0;
  std::vector<RaidExtent> extents;
  // Per member.
  std::vector<uint64_t> startingPsn;  // all ones: not given
  std::vector<uint32_t> physicalGroupSectors;
  std::vector<uint64_t> windowLo, windowHi;  // bytes of one group; lo all ones: not read
  size_t lastExtent = 0;

  void Resize(size_t members);
  // The bytes of one group each member is read for.
  void ComputeWindows(size_t members, uint32_t shift);
  // The extent holding logical offset `lso` of the group (extents must
  // cover the group in order).
  size_t FindExtent(uint32_t lso);
};

struct RaidMapParams {
  uint64_t sectors = 0;    // of the set
  uint32_t members = 0;    // n
  uint32_t stripe = 0;     // sectors, s
  uint32_t group = 1;      // parity group (delay), G
  int rotation = kRotBackwardAsymmetric;
  std::vector<bool> missing;  // per member
  int coefficientMode = 0, order = 0;  // RAID 6
};

namespace RaidMap {
// False for parameters the layouts do not define (RAID 5 rotations 4 and
// 5, RAID 6 rotations 0 and 3, fewer members than the level needs, or a
// map too large); `out` then holds nothing.
bool BuildRaid0(const RaidMapParams& p, std::vector<RaidRange>* out);
bool BuildRaid5(const RaidMapParams& p, std::vector<RaidRange>* out);
bool BuildRaid6(const RaidMapParams& p, std::vector<RaidRange>* out);
// Writes the ranges to the trace.
void TraceRanges(const std::vector<RaidRange>& ranges, size_t members);
}  // namespace RaidMap

// What the members of one stripe row of a RAID 5 or 6 set hold: its data
// members in logical order (with the logical offset of each one's stripe
// in the group), P, and for RAID 6 Q with each data member's coefficient.
struct RaidRowRoles {
  int p = -1, q = -1;
  std::vector<int> data;
  std::vector<uint32_t> lso;
  std::vector<int> coefficient;  // RAID 6: of each data member in Q
};

namespace RaidMap {
// The rows of one group of the layout with every member present (p's
// missing list is ignored), from the map the reads use. False for a
// layout the maps do not define.
bool RowRoles(const RaidMapParams& p, int parity, std::vector<RaidRowRoles>* rows);
}  // namespace RaidMap

// One column of a RAID-Z block.
struct RaidzColumn {
  uint64_t offset = 0;  // member sector, from the start of the member's data area
  int devIdx = 0;
  uint32_t size = 0;    // bytes, whole sectors
  uint8_t* buffer = nullptr;
  uint8_t* readResult = nullptr;
};

namespace RaidMap {
// Lays a block of `size` bytes (whole sectors, at least one) at member
// sector b of the data area over n members with p parity columns (1 or 2),
// sectors of 2^shift bytes: fills offset, devIdx and size of the first
// columns of `table` (room for n) and gives their number. Parity columns
// come first; single parity exchanges columns 0 and 1 when bit 20 of the
// block's byte offset is set.
uint64_t BuildRaidzColumns(uint64_t b, uint64_t size, uint64_t n, uint64_t p, uint32_t shift, RaidzColumn* table);
}  // namespace RaidMap
