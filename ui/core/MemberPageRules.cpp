#include "ui/core/MemberPageRules.h"

#include <algorithm>

#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "storage/PartitionTable.h"

// ---- the machine's sources ----

std::vector<MemberSource> MachineMemberSources(const std::vector<int>& setKinds) {
  std::vector<MemberSource> out;
  CDiskList& disks = theDiskList();
  for (size_t i = 0; i < disks.Count(); i++)
    if (const CPhysDisk* d = disks.Disk(i))
      out.push_back({MemberSource::kDisk, d->GetDisplayName(), u"\\\\.\\" + FromUtf8(d->deviceName)});
  for (const WString& p : theImageFiles().Paths()) out.push_back({MemberSource::kImage, p, p});
  for (const WString& n : theDrvAttr().Names()) {
    const int kind = GetRaidType(n);
    if (std::find(setKinds.begin(), setKinds.end(), kind) != setKinds.end() && !IsRaid0OverRaid(n))
      out.push_back({MemberSource::kSet, n, n});
  }
  return out;
}

int MachineDiskCount() { return int(theImageFiles().Count() + theDiskList().Count()); }

namespace {

class MachineMemberInfo : public MemberSourceInfo {
 public:
  bool Measure(const MemberSource& s, uint32_t* sectorSize, int64_t* sectors) override {
    *sectorSize = 512;
    *sectors = 0;
    switch (s.kind) {
      case MemberSource::kDisk:
        if (const CPhysDisk* d = theDiskList().FindDisk(WStringView(s.name))) {
          *sectorSize = d->sectorSize ? d->sectorSize : 512;
          *sectors = int64_t(d->sectorCount);
          return true;
        }
        return false;
      case MemberSource::kImage:
        // Image files are read in 512-byte sectors.
        *sectors = int64_t(theImageFiles().GetSize(s.name) / 512);
        return *sectors > 0;
      case MemberSource::kSet: {
        Drive* d = nullptr;
        bool ok = false;
        try {
          d = CreateDrive(s.name);
          d->InitDrive(s.name);
          *sectorSize = d->SectorSize();
          *sectors = int64_t(d->SectorCount());
          ok = true;
        } catch (const DvCodeError&) {
        } catch (const DvTextError&) {
        }
        DeleteDrive(&d);
        return ok;
      }
      default:
        return false;
    }
  }
  std::vector<PartitionSpan> Partitions(const MemberSource& s) override {
    std::vector<PartitionSpan> out;
    if (s.kind == MemberSource::kDisk) {
      if (const CPhysDisk* d = theDiskList().FindDisk(WStringView(s.name))) {
        const uint64_t ss = d->sectorSize ? d->sectorSize : 512;
        for (const VolumeInfo& v : d->partitions)
          if (!v.extents.empty() && v.extents[0].lengthBytes >= ss)
            out.push_back({int64_t(v.extents[0].startByte / ss), int64_t(v.extents[0].lengthBytes / ss)});
      }
    } else if (s.kind == MemberSource::kImage) {
      if (std::shared_ptr<PartitionTable> t = theImageFiles().GetPartitionTable(s.name))
        for (const PartitionEntry& e : *t) out.push_back({int64_t(e.Start()), int64_t(e.Length())});
    }
    return out;
  }
  bool IsDefined(WStringView definition) override { return theDrvAttr().FindDrvInfo(definition) != nullptr; }
};

WString MiBText(int64_t bytes) { return FormatW(u"%I64d", bytes / RaidPageRules::kMiB); }

WString DefinitionPrefix(int type) {
  switch (type) {
    case kRaid0: return u"RAID0(";
    case kRaid5: return u"RAID5(";
    case kRaidZ1: return u"RAIDZ1(";
    case kRaidCustom: return u"RAID(";
    case kRaid6: return u"RAID6(";
    case kRaidZ2: return u"RAIDZ2(";
    default: return {};
  }
}

}  // namespace

std::unique_ptr<MemberSourceInfo> MakeMachineMemberInfo() { return std::make_unique<MachineMemberInfo>(); }

// ---- RAID disks page ----

void RaidPageRules::SetParams(int type, int memberCount, std::vector<MemberSource> sources, MemberSourceInfo* info,
                              int k1, int k2) {
  type_ = type;
  memberCount_ = std::clamp(memberCount, 0, int(kMaxRaidMembers));
  sources_ = std::move(sources);
  info_ = info;
  kept1 = k1;
  kept2 = k2;
}

int RaidPageRules::ParityCount() const {
  if (type_ == kRaid5 || type_ == kRaidZ1) return 1;
  if (type_ == kRaid6 || type_ == kRaidZ2) return 2;
  return 0;
}

int RaidPageRules::DataMembers() const {
  if (type_ == kRaid0) return memberCount_;
  return std::max(0, memberCount_ - (type_ == kRaid5 || type_ == kRaidZ1 ? 1 : 2));
}

bool RaidPageRules::PlaceholderWanted() const { return ParityCount() > 0 && missing_ < ParityCount(); }

void RaidPageRules::SyncPlaceholder() {
  const auto it = std::find_if(combo_.begin(), combo_.end(),
                               [](const MemberSource& s) { return s.kind == MemberSource::kPlaceholder; });
  const bool present = it != combo_.end();
  const WString keep = diskIndex >= 0 && size_t(diskIndex) < combo_.size() ? combo_[size_t(diskIndex)].name : WString();
  // Every parity type gets the placeholder back while fewer members are
  // missing than its parity rebuilds.
  if (PlaceholderWanted() && !present) combo_.push_back({MemberSource::kPlaceholder, Msg(6), u"Missing"});
  if (!PlaceholderWanted() && present) combo_.erase(it);
  if (!keep.empty()) {
    diskIndex = -1;
    for (size_t i = 0; i < combo_.size(); i++)
      if (combo_[i].name == keep) diskIndex = int(i);
  }
}

void RaidPageRules::Init() {
  combo_ = sources_;
  if (haveSaved_) {
    lines_ = saved_;
    if (lines_.size() > size_t(memberCount_)) lines_.resize(size_t(memberCount_));
    saved_.clear();
    haveSaved_ = false;
  }
  missing_ = 0;
  for (const MemberLine& l : lines_) {
    if (l.missing) {
      missing_++;
      continue;
    }
    std::erase_if(combo_, [&](const MemberSource& s) { return s.name == l.extent.name; });
  }
  diskIndex = -1;
  SyncPlaceholder();
  RecomputeMaximum();
  ApplyPerDisk();
}

std::vector<WString> RaidPageRules::PartitionTexts() const {
  std::vector<WString> out{EntryName(310, u"Entire disk (for hardware RAID with a RAID controller)")};
  uint32_t ss = 512;
  int64_t sectors = 0;
  if (info_ && diskIndex >= 0 && size_t(diskIndex) < combo_.size()) info_->Measure(combo_[size_t(diskIndex)], &ss, &sectors);
  for (const PartitionSpan& p : partitions_)
    out.push_back(FormatW(EntryName(324, u"Partition at sector %I64u (%s), size %s"), uint64_t(p.start),
                          SizeOfUnits(p.start, ss), SizeOfUnits(p.length, ss)));
  return out;
}

void RaidPageRules::SelectDisk(int index) {
  diskIndex = index >= 0 && size_t(index) < combo_.size() ? index : -1;
  partitions_.clear();
  partitionIndex = -1;
  if (diskIndex < 0) return;
  const MemberSource& s = combo_[size_t(diskIndex)];
  if (s.kind == MemberSource::kPlaceholder) return;
  if (s.kind == MemberSource::kSet) {
    firstText = u"0";
    return;
  }
  uint32_t ss = 512;
  int64_t sectors = 0;
  if (info_) {
    info_->Measure(s, &ss, &sectors);
    for (const PartitionSpan& p : info_->Partitions(s))
      if (p.length > 0) partitions_.push_back(p);
  }
  for (size_t k = 0; k < partitions_.size(); k++)
    if (partitions_[k].start == lastPartition_.start && partitions_[k].length == lastPartition_.length)
      partitionIndex = int(k) + 1;
  if (partitionIndex > 0) {
    firstText = DecimalText(partitions_[size_t(partitionIndex) - 1].start);
  } else {
    const bool fits = lastPartition_.length > 0 && lastPartition_.start + lastPartition_.length <= sectors;
    firstText = DecimalText(fits ? lastPartition_.start : 0);
  }
}

void RaidPageRules::SelectPartition(int index) {
  partitionIndex = index >= 0 && size_t(index) <= partitions_.size() ? index : -1;
  if (partitionIndex == 0) {
    firstText = u"0";
  } else if (partitionIndex > 0) {
    lastPartition_ = partitions_[size_t(partitionIndex) - 1];
    firstText = DecimalText(lastPartition_.start);
  }
}

DialogVerdict RaidPageRules::Add() {
  if (diskIndex < 0 || lines_.size() >= size_t(memberCount_)) return {};
  const MemberSource source = combo_[size_t(diskIndex)];
  MemberLine line;
  line.source = source;
  if (source.kind == MemberSource::kPlaceholder) {
    line.missing = true;
    missing_++;
  } else {
    const std::optional<int64_t> first = ParseGroupedSigned(TrimBlanks(firstText));
    if (!first) return DialogVerdict::Refuse(376, kFirstEdit);
    uint32_t ss = 512;
    int64_t sectors = 0;
    if (info_) info_->Measure(source, &ss, &sectors);
    int64_t end = sectors;
    if (partitionIndex > 0) end = partitions_[size_t(partitionIndex) - 1].start + partitions_[size_t(partitionIndex) - 1].length;
    // A member's extent starts inside it.
    if (end > 0 && *first >= end) return DialogVerdict::Refuse(376, kFirstEdit);
    line.extent.name = source.name;
    line.extent.first = *first;
    line.extent.sectorSize = int(ss);
    line.regionEnd = end;
  }
  lines_.push_back(std::move(line));
  selection = int(lines_.size()) - 1;
  if (source.kind != MemberSource::kPlaceholder)
    std::erase_if(combo_, [&](const MemberSource& s) { return s.kind != MemberSource::kPlaceholder && s.name == source.name; });
  diskIndex = -1;
  SyncPlaceholder();
  partitions_.clear();
  partitionIndex = -1;
  firstText.clear();
  RecomputeMaximum();
  ApplyPerDisk();
  return {};
}

void RaidPageRules::Remove() {
  if (selection < 0 || size_t(selection) >= lines_.size()) return;
  const MemberLine line = lines_[size_t(selection)];
  lines_.erase(lines_.begin() + selection);
  selection = -1;
  if (line.missing) {
    missing_--;
    SyncPlaceholder();
  } else {
    combo_.push_back(line.source);
    SyncPlaceholder();
    for (size_t i = 0; i < combo_.size(); i++)
      if (combo_[i].name == line.source.name) diskIndex = int(i);
    firstText = DecimalText(line.extent.first);
  }
  RecomputeMaximum();
  ApplyPerDisk();
}

void RaidPageRules::MoveUp() {
  if (selection <= 0 || size_t(selection) >= lines_.size()) return;
  std::swap(lines_[size_t(selection)], lines_[size_t(selection) - 1]);
  selection--;
}

void RaidPageRules::MoveDown() {
  if (selection < 0 || size_t(selection) + 1 >= lines_.size()) return;
  std::swap(lines_[size_t(selection)], lines_[size_t(selection) + 1]);
  selection++;
}

void RaidPageRules::RecomputeMaximum() {
  int64_t smallest = 0;
  bool any = false;
  for (const MemberLine& l : lines_) {
    if (l.missing || l.regionEnd <= 0) continue;
    const std::optional<int64_t> bytes = CheckedMul(l.regionEnd - l.extent.first, l.extent.sectorSize);
    if (!bytes) continue;
    if (!any || *bytes < smallest) smallest = *bytes;
    any = true;
  }
  maximum_ = any ? smallest : 0;
  if (perDisk_ == 0 || perDisk_ > maximum_) perDisk_ = maximum_;
}

void RaidPageRules::ApplyPerDisk() {
  // Every member gets the same size: lines made before the size changed
  // are brought to it.
  for (MemberLine& l : lines_) {
    if (l.missing) continue;
    l.extent.sectors = l.extent.sectorSize > 0 ? perDisk_ / l.extent.sectorSize : 0;
    l.extent.last = l.extent.sectors > 0 ? l.extent.first + l.extent.sectors - 1 : l.extent.first;
  }
  total_ = CheckedMul(perDisk_, DataMembers()).value_or(0);
}

bool RaidPageRules::PerDiskTyped(WStringView text) {
  const std::optional<int64_t> v = ParseGroupedSigned(TrimBlanks(text));
  if (!v || *v == 0 || (maximum_ > 0 && *v > maximum_ / kMiB)) return false;
  std::optional<int64_t> bytes = CheckedMul(*v, kMiB);
  if (!bytes) return false;
  if (maximum_ > 0 && maximum_ >= *bytes && maximum_ - *bytes < kMiB) bytes = maximum_;
  perDisk_ = *bytes;
  ApplyPerDisk();
  return true;
}

WString RaidPageRules::LineText(size_t index) const {
  if (index >= lines_.size()) return {};
  const MemberLine& l = lines_[index];
  return l.missing ? l.source.text : l.extent.Format();
}

bool RaidPageRules::Enabled(int control) const {
  const int n = int(lines_.size());
  const bool room = n < memberCount_;
  const bool disk = diskIndex >= 0 && size_t(diskIndex) < combo_.size();
  const bool placeholder = disk && combo_[size_t(diskIndex)].kind == MemberSource::kPlaceholder;
  switch (control) {
    case kFinish:
      return n == memberCount_ && n > 0;
    case kRemove:
      return selection >= 0 && selection < n;
    case kAdd:
      return room && (placeholder || (disk && !TrimBlanks(firstText).empty()));
    case kDiskCombo:
    case kDiskLabel:
      return room;
    case kFirstEdit:
    case kFirstLabel:
    case kPartitionCombo:
    case kPartitionLabel:
      return room && disk && !placeholder;
    case kMoveUp:
      return n >= 2 && selection > 0 && selection < n;
    case kMoveDown:
      return n >= 2 && selection >= 0 && selection < n - 1;
    case kPerDiskEdit:
      return std::any_of(lines_.begin(), lines_.end(), [](const MemberLine& l) { return !l.missing; });
    default:
      return true;
  }
}

WString RaidPageRules::FinishText() const {
  return WantsGeneratorPage() ? EntryName(530, u"&Next >") : EntryName(515, u"&Finish");
}

DialogVerdict RaidPageRules::Finish() {
  if (missing_ > ParityCount()) return DialogVerdict::Refuse(672, kList);
  WString def = DefinitionPrefix(type_);
  for (size_t i = 0; i < lines_.size(); i++) {
    def += lines_[i].missing ? WString(u"Missing") : lines_[i].extent.Format();
    def += i + 1 < lines_.size() ? u"," : u")";
  }
  if (lines_.empty()) def += u")";
  if (info_ && info_->IsDefined(def)) return DialogVerdict::Refuse(118, kList);
  definition = def;
  saved_ = lines_;
  haveSaved_ = true;
  return DialogVerdict::Close();
}

void RaidPageRules::Back() {
  saved_ = lines_;
  haveSaved_ = true;
}

WString RaidPageRules::PerDiskText() const { return MiBText(perDisk_); }
WString RaidPageRules::MaximumText() const { return MiBText(maximum_); }
WString RaidPageRules::TotalText() const { return MiBText(total_); }

// ---- spanned volume page ----

void SpanPageRules::SetSources(std::vector<MemberSource> sources, MemberSourceInfo* info) {
  sources_ = std::move(sources);
  info_ = info;
}

void SpanPageRules::Init() {
  if (haveSaved_) {
    lines_ = saved_;
    saved_.clear();
    haveSaved_ = false;
  }
  diskIndex = -1;
  for (size_t i = 0; i < sources_.size(); i++)
    if (!diskText.empty() && sources_[i].text == diskText) diskIndex = int(i);
}

void SpanPageRules::SelectDisk(int index) {
  diskIndex = index >= 0 && size_t(index) < sources_.size() ? index : -1;
  sectorSize_ = 512;
  sectors_ = 0;
  maximum_ = -1;
  if (diskIndex < 0) {
    diskText.clear();
    return;
  }
  const MemberSource& s = sources_[size_t(diskIndex)];
  diskText = s.text;
  if (info_) info_->Measure(s, &sectorSize_, &sectors_);
  // The whole source: its first sector to its last.
  maximum_ = sectors_ - 1;
  firstText = u"0";
  lastText = DecimalText(std::max<int64_t>(maximum_, 0));
}

bool SpanPageRules::AcceptSectorText(WStringView text) const {
  const std::optional<int64_t> v = ParseGroupedSigned(text);
  return v && *v < sectors_;
}

void SpanPageRules::FirstTyped(WStringView text) { firstText = WString(text); }
void SpanPageRules::LastTyped(WStringView text) { lastText = WString(text); }

int64_t SpanPageRules::ExtentSectors() const {
  const std::optional<int64_t> a = ParseGroupedSigned(firstText);
  const std::optional<int64_t> b = ParseGroupedSigned(lastText);
  if (!a || !b || *b < *a) return 0;
  return *b - *a + 1;
}

WString SpanPageRules::ExtentText() const {
  return MiBText(CheckedMul(ExtentSectors(), sectorSize_).value_or(0));
}
WString SpanPageRules::TotalText() const { return MiBText(total_); }
WString SpanPageRules::MaximumText() const { return maximum_ >= 0 ? DecimalText(maximum_) : WString(); }

DialogVerdict SpanPageRules::Add() {
  const int64_t n = ExtentSectors();
  if (diskIndex < 0 || n <= 0 || TrimBlanks(firstText).empty()) return {};
  MemberLine line;
  line.source = sources_[size_t(diskIndex)];
  line.extent.name = line.source.name;
  line.extent.first = ParseGroupedSigned(firstText).value_or(0);
  line.extent.last = line.extent.first + n - 1;
  line.extent.sectors = n;
  line.extent.sectorSize = int(sectorSize_);
  line.regionEnd = sectors_;
  total_ += CheckedMul(n, sectorSize_).value_or(0);
  lines_.push_back(std::move(line));
  selection = int(lines_.size()) - 1;
  diskIndex = -1;
  diskText.clear();
  return {};
}

void SpanPageRules::Remove() {
  if (selection < 0 || size_t(selection) >= lines_.size()) return;
  const MemberLine line = lines_[size_t(selection)];
  lines_.erase(lines_.begin() + selection);
  selection = -1;
  diskIndex = -1;
  for (size_t i = 0; i < sources_.size(); i++)
    if (sources_[i].name == line.source.name) diskIndex = int(i);
  diskText = line.source.text;
  sectorSize_ = uint32_t(line.extent.sectorSize);
  sectors_ = line.regionEnd;
  maximum_ = sectors_ - 1;
  firstText = DecimalText(line.extent.first);
  lastText = DecimalText(line.extent.last);
  total_ -= line.extent.Bytes();
}

void SpanPageRules::MoveUp() {
  if (selection <= 0 || size_t(selection) >= lines_.size()) return;
  std::swap(lines_[size_t(selection)], lines_[size_t(selection) - 1]);
  selection--;
}

void SpanPageRules::MoveDown() {
  if (selection < 0 || size_t(selection) + 1 >= lines_.size()) return;
  std::swap(lines_[size_t(selection)], lines_[size_t(selection) + 1]);
  selection++;
}

bool SpanPageRules::Enabled(int control) const {
  const int n = int(lines_.size());
  switch (control) {
    case kFinish:
      return n >= 1;
    case kRemove:
      return selection >= 0 && selection < n;
    case kFirstEdit:
    case kLastEdit:
      return !diskText.empty();
    case kAdd:
      return !diskText.empty() && !TrimBlanks(firstText).empty() && ExtentSectors() > 0;
    case kMoveUp:
      return n >= 2 && selection > 0 && selection < n;
    case kMoveDown:
      return n >= 2 && selection >= 0 && selection < n - 1;
    default:
      return true;
  }
}

WString SpanPageRules::LineText(size_t index) const { return index < lines_.size() ? lines_[index].extent.Format() : WString(); }

DialogVerdict SpanPageRules::Finish() {
  WString def = u"SPAN(";
  for (size_t i = 0; i < lines_.size(); i++) {
    if (i) def += u",";
    def += lines_[i].extent.Format();
  }
  def += u")";
  if (info_ && info_->IsDefined(def)) return DialogVerdict::Refuse(118, kList);
  definition = def;
  return DialogVerdict::Close();
}

void SpanPageRules::Back() {
  saved_ = lines_;
  haveSaved_ = true;
  definition.clear();
}
