// The bytes a missing member of a RAID 5 or 6 set held, rebuilt from the
// others: its data stripes read through the set (which rebuilds them from
// parity), its parity stripes computed again from the row's data (P the
// XOR, Q the weighted sum in GF(2^8)). Used to write a new member in place
// of a lost one.
#pragma once
#include <cstdint>
#include <vector>

class RDrive;

class RaidMemberRebuild {
 public:
  // Prepares the rebuild of the set's `which`-th missing member (0 the
  // first). False, with the last error set, when the set has no such
  // member or is not a RAID 5 or 6 set with a layout of its own.
  bool Init(RDrive& set, int which);
  // The member's index in the set, and its length in sectors.
  int Member() const { return member_; }
  uint64_t Sectors() const { return sectors_; }
  // Member sectors [sector, sector + bytes / sector size) into out. False
  // (last error set) when a read of the set was refused.
  bool Read(uint64_t sector, uint32_t bytes, uint8_t* out);

 private:
  struct Source {
    uint32_t lso = 0;  // logical offset in the group of the data stripe
    uint8_t coefficient = 0;
  };
  // A run of the member's group: data at a logical offset, or parity over
  // the data stripes of its row.
  struct Piece {
    uint32_t offset = 0, length = 0;
    int role = 0;  // 0 data, 1 P, 2 Q
    uint32_t lso = 0;
    std::vector<Source> sources;
  };
  bool ReadLogical(uint64_t logical, uint32_t bytes, uint8_t* out);

  RDrive* set_ = nullptr;
  int member_ = -1;
  uint64_t sectors_ = 0;
  uint32_t groupSectors_ = 0;    // of the member
  uint32_t logicalGroup_ = 0;    // of the set
  uint32_t shift_ = 9;
  uint32_t maxRead_ = 0;
  std::vector<Piece> pieces_;    // by offset, covering the group
  std::vector<uint8_t> scratch_;
};
