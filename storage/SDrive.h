// A spanned set as one read-only drive: the sector ranges of its members
// follow one another in the order of the definition "SPAN(" extents ")".
// A member is a device or image with its range, or a RAID set (an RDrive)
// with its range.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "storage/Drive.h"

class SDrive : public Drive {
 public:
  SDrive();
  ~SDrive() override;

  bool IsSafeVolume(WStringView destinationPath) override;
  bool IsSafeDrive(int diskNumber) override;
  // Parses and opens (SDrive::Init). Throws DvCodeError{0} with the last
  // error set (message 180 for a malformed definition).
  void InitDrive(WStringView definition) override;
  void CloseDevice() override;
  uint8_t* ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool wait) override;
  void HookExclusiveRanges(const CDrvAttr& attributes) override;

  struct SpanExtent {
    int member = 0;
    uint64_t logicalStart = 0, logicalEnd = 0;  // the set's sectors [start, end)
    uint64_t memberFirst = 0;                   // first sector of the member's range
  };
  int MemberCount() const { return int(members_.size()); }
  Drive* Member(size_t i) const { return i < members_.size() ? members_[i].get() : nullptr; }
  const std::vector<SpanExtent>& Extents() const { return extents_; }
  // Display texts of the members' disks.
  std::vector<WString> ListMemberTexts() const;

 private:
  // A definition that cannot be read: the reason and the character where
  // it lies (1-based), then DvCodeError{0}.
  [[noreturn]] void Refuse(WStringView definition, size_t position, const WString& why);

  std::vector<std::unique_ptr<Drive>> members_;
  std::vector<SpanExtent> extents_;
  size_t currentExtent_ = 0;
  std::unique_ptr<uint8_t, void (*)(void*)> buffer_;
  uint32_t bufferBytes_ = 0;
};
