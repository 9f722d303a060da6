// The member pages of the RAID and spanned-volume wizard without their
// windows: the sources a member can come from (physical disks, image files,
// defined sets, the placeholder of a missing disk), the member list with
// its extents, the sizes shown, the button states and the definition text
// each page ends with.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Text.h"
#include "storage/VolumeDefinition.h"
#include "ui/core/DialogRules.h"

// One line of the disk combo box.
struct MemberSource {
  enum Kind { kDisk, kImage, kSet, kPlaceholder };
  Kind kind = kDisk;
  WString text;  // what the box shows
  WString name;  // what the definition names (the device, the image path, the set's text)
};

struct PartitionSpan {
  int64_t start = 0, length = 0;
};

// What the pages ask of the machine about a source.
class MemberSourceInfo {
 public:
  virtual ~MemberSourceInfo() = default;
  // Sector size and size in sectors; false when it cannot be measured.
  virtual bool Measure(const MemberSource& source, uint32_t* sectorSize, int64_t* sectors) = 0;
  // The partitions of a disk or an image (none for a set).
  virtual std::vector<PartitionSpan> Partitions(const MemberSource& source) = 0;
  // Whether a set of that definition text is defined already.
  virtual bool IsDefined(WStringView definition) = 0;
};

// The machine's sources: the physical disks, the registered image files
// and, with `setKinds`, the defined sets of those RAID kinds (a RAID 0 over
// RAID sets left out).
std::vector<MemberSource> MachineMemberSources(const std::vector<int>& setKinds);
// Image files plus physical disks.
int MachineDiskCount();
// Measures disks from the disk list, images from the image registry, sets
// by opening them briefly; partitions from the partition table read from
// the device or file.
std::unique_ptr<MemberSourceInfo> MakeMachineMemberInfo();

// One line of a member list.
struct MemberLine {
  bool missing = false;
  MemberExtent extent;  // name, first, last, sector size, sectors (not for a missing one)
  MemberSource source;  // where it came from (goes back into the box on Remove)
  int64_t regionEnd = 0;  // the member's usable end: its partition's or its device's
};

// ---- RAID disks page ----

class RaidPageRules {
 public:
  enum Control : int {
    kDiskCombo = 1059, kDiskLabel = 1008, kPartitionCombo = 1021, kPartitionLabel = 1020, kFirstEdit = 1058,
    kFirstLabel = 1107, kAdd = 5, kRemove = 6, kList = 1053, kMoveUp = 3, kMoveDown = 4, kPerDiskEdit = 1118,
    kMaximumEdit = 1119, kTotalEdit = 1051, kFinish = 1062, kBack = 1452,
  };
  static constexpr int64_t kMiB = 1048576;

  // Type (3 RAID 0, 4 RAID 5, 5 RAIDZ1, 8 custom, 9 RAID 6, 10 RAIDZ2), the
  // member count with the missing ones, the sources (disks and images) and
  // the machine's answers. The two kept values are the caller's.
  void SetParams(int type, int memberCount, std::vector<MemberSource> sources, MemberSourceInfo* info,
                 int kept1 = 0, int kept2 = 0);
  int Type() const { return type_; }
  int ParityCount() const;
  int DataMembers() const;
  // Fills the disk box (the placeholder for the parity types, the nested
  // sets otherwise are among the sources given) and restores the lines the
  // page had when it was left with Back.
  void Init();

  // The disk box's lines and the partition box's lines.
  const std::vector<MemberSource>& Disks() const { return combo_; }
  std::vector<WString> PartitionTexts() const;
  void SelectDisk(int index);  // -1: none
  void SelectPartition(int index);
  void FirstTyped(WStringView text) { firstText = WString(text); }

  DialogVerdict Add();
  void Remove();
  void MoveUp();
  void MoveDown();
  void Select(int index) { selection = index >= 0 && size_t(index) < lines_.size() ? index : -1; }
  // The per-disk size typed (MiB): false, with the previous value kept, for
  // 0 or more than the maximum (message 376).
  bool PerDiskTyped(WStringView text);

  const std::vector<MemberLine>& Lines() const { return lines_; }
  WString LineText(size_t index) const;
  bool Enabled(int control) const;
  // "&Next >" when RAID 6 with two missing members goes on to its generator
  // page, else "&Finish".
  WString FinishText() const;
  bool WantsGeneratorPage() const { return type_ == kRaid6 && missing_ == 2; }
  // Finish: the definition, or message 672 (too many missing) or 118
  // (defined already).
  DialogVerdict Finish();
  // Back keeps the lines for the next showing.
  void Back();

  int MissingCount() const { return missing_; }
  int64_t PerDiskBytes() const { return perDisk_; }
  int64_t MaximumBytes() const { return maximum_; }
  int64_t TotalBytes() const { return total_; }
  WString PerDiskText() const;
  WString MaximumText() const;
  WString TotalText() const;

  int diskIndex = -1;
  int partitionIndex = -1;  // 0 entire disk, k the k-th partition, -1 none
  WString firstText;
  int selection = -1;
  WString definition;
  int kept1 = 0, kept2 = 0;

 private:
  bool PlaceholderWanted() const;
  void SyncPlaceholder();
  void RecomputeMaximum();
  void ApplyPerDisk();
  std::vector<MemberSource> sources_;
  std::vector<MemberSource> combo_;
  std::vector<PartitionSpan> partitions_;
  std::vector<MemberLine> lines_;
  std::vector<MemberLine> saved_;
  bool haveSaved_ = false;
  MemberSourceInfo* info_ = nullptr;
  int type_ = kRaid0;
  int memberCount_ = 0;
  int missing_ = 0;
  int64_t perDisk_ = 0, maximum_ = 0, total_ = 0;
  PartitionSpan lastPartition_;
};

// ---- spanned volume page ----

class SpanPageRules {
 public:
  enum Control : int {
    kDiskCombo = 1059, kFirstEdit = 1058, kLastEdit = 1040, kMaximumEdit = 1119, kExtentEdit = 1118,
    kAdd = 5, kRemove = 6, kList = 1124, kMoveUp = 3, kMoveDown = 4, kTotalEdit = 1051, kFinish = 1, kBack = 1452,
  };
  void SetSources(std::vector<MemberSource> sources, MemberSourceInfo* info);
  void Init();
  const std::vector<MemberSource>& Disks() const { return sources_; }
  void SelectDisk(int index);
  // The limit of a typed sector is the source's size: false (the edit keeps
  // its text) for a sector at or past it or a text that is no number.
  bool AcceptSectorText(WStringView text) const;
  void FirstTyped(WStringView text);
  void LastTyped(WStringView text);

  DialogVerdict Add();
  void Remove();
  void MoveUp();
  void MoveDown();
  void Select(int index) { selection = index >= 0 && size_t(index) < lines_.size() ? index : -1; }
  bool Enabled(int control) const;
  DialogVerdict Finish();
  void Back();

  const std::vector<MemberLine>& Lines() const { return lines_; }
  WString LineText(size_t index) const;
  int64_t ExtentSectors() const;
  // The extent's size and the total in MiB (bytes / 1 MiB).
  WString ExtentText() const;
  WString TotalText() const;
  WString MaximumText() const;

  int diskIndex = -1;
  WString diskText, firstText, lastText;
  int selection = -1;
  WString definition;

 private:
  std::vector<MemberSource> sources_;
  MemberSourceInfo* info_ = nullptr;
  std::vector<MemberLine> lines_, saved_;
  bool haveSaved_ = false;
  uint32_t sectorSize_ = 512;
  int64_t sectors_ = 0;  // the selected source's size
  int64_t maximum_ = -1;
  int64_t total_ = 0;
};
