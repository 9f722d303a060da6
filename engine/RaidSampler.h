// For one stripe position, the block each present member holds: kept for
// the recording when enough members hold data worth keeping (a value at or
// above the threshold), each under its member's channel.
#pragma once
#include <cstdint>
#include <vector>

class RDrive;
class RaidScanSink;

class RaidSampler {
 public:
  RaidSampler(const RDrive& set, RaidScanSink& sink, uint32_t threshold);

  // Stores member `index`'s block (index counts present members from 0).
  // At the last one: 1 when the tolerance and the members at or above the
  // threshold make up the set's member count (a missing member is below it) (the count then starts again), else 0;
  // 0 for the others.
  int Add(const uint8_t* block, uint32_t value, int index, uint32_t bytes);
  // Each stored block under the channel of its member (NextMemberIndex),
  // with the position words.
  int Record(const uint32_t* position);

  int Tolerance() const { return tolerance_; }
  int Members() const { return int(blocks_.size()); }

 private:
  const RDrive& set_;
  RaidScanSink& sink_;
  uint32_t threshold_;
  int count_ = 0;
  int tolerance_;
  int setMembers_ = 0;
  std::vector<const uint8_t*> blocks_;
  std::vector<uint32_t> bytes_;
};
