// A RAID set as one read-only drive. Each member is a drive of its own (a
// nested set an RDrive), read on its own I/O thread; a read of the set
// starts every member read it needs before it waits for any, so the members
// are read in parallel. RAID 0, 5 and 6 sets read through a stripe map,
// custom sets through the map of their schema file (RaidMap.h); RAID-Z sets
// read row by row through ReadSectors and block by block through RAIDZRead.
// Missing members (up to the parity count) are rebuilt from parity.
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "storage/Drive.h"
#include "storage/RaidMap.h"
#include "storage/RaidParity.h"
#include "storage/RaidSettings.h"

class RaidMemberRebuild;

class RDrive : public Drive {
 public:
  // Without settings, InitDrive takes those stored for its definition text.
  explicit RDrive(const RaidSettings* settings = nullptr);
  ~RDrive() override;

  // A destination on any member is refused.
  bool IsSafeVolume(WStringView destinationPath) override;
  bool IsSafeDrive(int diskNumber) override;
  // Parses the definition and opens the members. Throws DvCodeError{0}
  // with the last error set (message 180 for a malformed definition).
  void InitDrive(WStringView definition) override;
  void CloseDevice() override;
  // As Drive::ReadSectors; the reads are always waited for.
  uint8_t* ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool wait) override;
  void HookExclusiveRanges(const CDrvAttr& attributes) override;

  // One RAID-Z block of `size` bytes (rounded up to whole units) at
  // member sector `offset` of the data area (after each member's first
  // 4 MiB), into buffer (room for the rounded size) or the drive's own.
  // The columns are laid in units of 2^unitShift bytes (the pool's sector
  // shift; never less than a member sector, which 0 means). 1 on success,
  // 0 on failure.
  int RAIDZRead(void* buffer, uint64_t offset, uint64_t size, uint32_t unitShift = 0);
  // The first present member, or null.
  Drive* FirstMember() const;
  // Re-sizes the transfer buffer for a new per-member request size.
  void FixSize(uint32_t requestBytes);
  // Per member with a window in the last range read: " i:sector" entries.
  WString FormatMemberStarts() const;
  // The member sectors that hold logical sector `logical` on `member`.
  WString FormatMemberSectors(int member, int64_t logical);
  int SecondMemberHook() { return 0; }

  // ---- a lost member, and the members one by one ----
  // Member sectors [sector, sector + bytes) of the set's missing member
  // (`which`: 0 the first, 1 the second of a RAID 6 set) as it held them:
  // data stripes read through the set, parity stripes computed again from
  // their row (RaidMemberRebuild). Kind 1 asks for a RAID 5 member, 2 for
  // a RAID 6 one. Bytes past the end of the members are zeros. The bytes
  // stay in a buffer of the drive's until the next call with this
  // `which`; null (last error set) when the set is not of that kind, has
  // no such member, or a read failed.
  uint8_t* ReadMissing(uint64_t sector, uint32_t bytes, int kind, int which = 0);
  // The index of the i-th present member (i counted from 0), -1 past them.
  int NextMemberIndex(int i) const;

  // ---- the members side by side (the RAID scan, RaidMembers.cpp) ----
  // Starts a read of bytes[i] bytes at member sector `sector` on every
  // present member i (counts past bytes.size() are 0), all before any is
  // awaited, and returns member 0's bytes. Each buffer holds the largest
  // count rounded up to whole sectors, zeros past its member's count. A
  // missing member's bytes are rebuilt when its turn comes: RAID 5 the XOR
  // of the others, RAID 6 as a rebuilt member (ReadMissing), RAID-Z zeros
  // (TFailed set). A failed read gives zeros and sets TFailed and
  // TReadError. Valid until the next TRead.
  const uint8_t* TRead(uint64_t sector, const std::vector<uint32_t>& bytes);
  // The next member's bytes in member order, null past the last. RAID 5:
  // each buffer is XORed into a running XOR; `differing`, when given, is
  // raised by the sectors in which the buffer differs from the XOR of the
  // members before it.
  const uint8_t* TGetNext(uint32_t* differing = nullptr);
  // The member TGetNext (or TRead) returned last.
  int TMember() const;
  bool TFailed() const;
  // A present member's read failed or met read errors since TRead.
  bool TReadError() const;
  // Sectors of member i the set can read from (its length less its start).
  uint64_t MemberLength(size_t i) const;

  // ---- the layout checked against the members' parity ----
  struct ParitySample {
    int mismatched = 0;  // rows whose parity does not match the layout
    int sampled = 0;     // rows read that held anything but zeros
  };
  // A RAID 5 or 6 set with every member: 4 KiB at `offsets` member
  // offsets spread over the members, RAID 5's XOR of all members zero,
  // RAID 6's P and Q as the layout computes them. False when the set
  // cannot be checked so (another kind, a member missing, a layout of a
  // schema file).
  bool SampleParity(ParitySample* out, int offsets = 64);
  // Rows that may fail the sample before the layout is doubted: a member
  // written while the set ran degraded, a row cut by a crash.
  static constexpr int kParityTolerance = 2;
  // Display texts of the members' disks (image members have none).
  std::vector<WString> ListMemberTexts() const;

  // ---- the custom layout (RaidSchema.cpp) ----
  // Loads the ranges of a schema file; 1 on success, 0 (last error set)
  // on failure.
  int LoadSchema(WStringView path);
  // 1 when the text is a valid operation (extent filled); the highest
  // member index met goes to *maxMember when given.
  static int ParseRaidOperation(RaidExtent* extent, std::string_view text, int* maxMember);
  // The highest member index named by the file's "LE" lines + 1; 0 when
  // the file cannot be read or an operation is invalid.
  static int CountSchemaMembers(WStringView path);

  // ---- state ----
  int RaidType() const { return raidType_; }
  bool IsRaidz() const;
  int ParityCount() const;
  uint32_t MemberCount() const { return uint32_t(members_.size()); }
  Drive* Member(size_t i) const { return i < members_.size() ? members_[i].get() : nullptr; }
  int MissingCount() const { return int(missing_.size()); }
  const std::vector<int>& MissingMembers() const { return missing_; }
  int DataMembers() const { return dataMembers_; }
  int StripeBytes() const { return settings_.stripeBytes; }
  const RaidSettings& Settings() const { return settings_; }
  const std::vector<RaidRange>& Ranges() const { return ranges_; }
  uint64_t MemberSectors() const { return memberSectors_; }

 private:
  struct MemberRead;
  [[noreturn]] void ParseFailure(WStringView definition);
  [[noreturn]] void Fail(int message);
  void OpenMember(size_t index, WStringView text, bool nested, int64_t first, int64_t last, bool hasRange);
  bool AllocateBuffer(uint32_t bytes);
  bool ReadThroughRanges(uint64_t sector, uint32_t bytes, uint8_t* out);
  bool ReadRange(RaidRange& range, uint64_t sector, uint32_t sectors, uint8_t* out);
  bool ReadRows(uint64_t byteOffset, uint32_t bytes, uint8_t* out);
  bool ReadRow(uint64_t row, uint32_t from, uint32_t to, uint8_t* out, int treatAsMissing);
  // Starts a member read (never waiting on a plain drive's thread) and
  // ends it; null when the member refused.
  uint8_t* StartMemberRead(size_t member, uint64_t sector, uint32_t bytes);
  uint8_t* FinishMemberRead(size_t member, uint8_t* started);
  bool EnsureMemberTransfer(size_t member, uint64_t bytes);
  void RaiseErrors() { ++totalErrors_; }

  RaidSettings settings_;
  bool haveSettings_ = false;
  int raidType_ = 0;
  std::vector<std::unique_ptr<Drive>> members_;  // null: missing
  std::vector<int64_t> memberStart_;
  std::vector<int> missing_;
  std::vector<RaidRange> ranges_;
  size_t currentRange_ = 0;
  int dataMembers_ = 0;
  uint32_t stripeSectors_ = 0;
  uint64_t rowBytes_ = 0;
  uint64_t memberSectors_ = 0;
  uint32_t memberTransferBytes_ = 0;
  uint32_t requestBytes_ = 0;
  std::unique_ptr<uint8_t, void (*)(void*)> buffer_;
  uint32_t bufferBytes_ = 0;
  GfWork gf_;
  // Windows of the last range read (member sector of the window start, or
  // -1), for FormatMemberStarts.
  std::vector<int64_t> lastWindowSector_;
  std::vector<uint8_t> scratch_;
  uint64_t nextSequential_ = ~0ull;  // the sector after the last request
  // Opening a RAID 5 or 6 set with every member samples its parity; a
  // layout the members do not follow leaves a note for every scan.
  void CheckLayout();
  // ReadMissing's rebuilds and their buffers, by `which`.
  struct MissingState {
    MissingState();
    ~MissingState();
    std::unique_ptr<RaidMemberRebuild> rebuild;
    std::vector<uint8_t> buffer;
  };
  MissingState missingState_[2];
  struct SideBySide;
  struct SideBySideFree {
    void operator()(SideBySide* p) const;
  };
  std::unique_ptr<SideBySide, SideBySideFree> side_;
};
