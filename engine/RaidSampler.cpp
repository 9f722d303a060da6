#include "engine/RaidSampler.h"

#include "engine/RaidScan.h"
#include "storage/RDrive.h"

RaidSampler::RaidSampler(const RDrive& set, RaidScanSink& sink, uint32_t threshold)
    : set_(set), sink_(sink), threshold_(threshold) {
  // A missing member is one that holds nothing worth keeping.
  setMembers_ = int(set.MemberCount());
  tolerance_ = setMembers_ <= 2 ? 0 : setMembers_ == 3 ? 1 : 2;
  const int present = setMembers_ - set.MissingCount();
  blocks_.assign(size_t(present > 0 ? present : 0), nullptr);
  bytes_.assign(blocks_.size(), 0);
}

int RaidSampler::Add(const uint8_t* block, uint32_t value, int index, uint32_t bytes) {
  if (index < 0 || size_t(index) >= blocks_.size()) return 0;
  blocks_[size_t(index)] = block;
  bytes_[size_t(index)] = bytes;
  if (value >= threshold_) ++count_;
  if (size_t(index) + 1 < blocks_.size()) return 0;
  const int enough = tolerance_ + count_ >= setMembers_ ? 1 : 0;
  count_ = 0;
  return enough;
}

int RaidSampler::Record(const uint32_t* position) {
  int result = 0;
  for (size_t i = 0; i < blocks_.size(); ++i) {
    if (!blocks_[i]) continue;
    const int member = set_.NextMemberIndex(int(i));
    if (member < 0) continue;
    result = sink_.Channel(member);
    result = sink_.Block(member, position, blocks_[i], bytes_[i]);
  }
  return result;
}
