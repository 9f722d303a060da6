#include "ui/core/VolPropRules.h"

#include <cstdio>
#include <cstring>

#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "ui/core/VolumeRows.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

constexpr size_t kBootBufferBytes = 4096;

WString Grouped(int64_t v) { return FormatNumber64(v); }

// What the dialog shows of a type: its family's facts; none for a type
// nobody registered.
const VolumeDialogFacts& Facts(uint8_t type) {
  static const VolumeDialogFacts kNone;
  const FamilyType* t = FindFamilyType(type);
  return t ? t->dialog : kNone;
}

}  // namespace

int64_t BootBlockOffset(uint8_t type) { return Facts(type).bootBlockOffset; }

bool ValidInodeSize(int64_t bytes) {
  int exact = 0;
  return bytes > 0 && Log2Ceil(bytes, &exact) <= 12 && exact == 1;
}

VolPropRules::VolPropRules(CVol** slot, bool editMode, VolumeMaker& maker, Drive* drive)
    : slot_(slot), edit_(editMode), maker_(maker), drive_(drive) {}

int64_t VolPropRules::ClusterValue() const {
  const CVol* v = Volume();
  if (!v) return 0;
  if (const FamilyVolumeOps* ops = FindVolumeOps(v->type); ops && ops->clusterValue) return ops->clusterValue(*v);
  return int64_t(v->clusterSize);
}

void VolPropRules::FillClusterList(int64_t value) {
  const VolumeDialogFacts& facts = Facts(Volume() ? Volume()->type : 0);
  const int64_t low = facts.clusterLow, high = facts.clusterHigh;
  clusterSizes.clear();
  clusterIndex = -1;
  for (int64_t c = low; c <= high; c *= 2) {
    if (c == value) clusterIndex = int(clusterSizes.size());
    clusterSizes.push_back(Grouped(c));
  }
  clusterText = Grouped(value);
}

void VolPropRules::ShowRows() {
  const CVol* v = Volume();
  const VolumeDialogFacts& facts = Facts(v ? v->type : 0);
  const std::array<uint16_t, 4>& labels = facts.rowMessages;
  for (int r = 0; r < kRowCount; r++) {
    rowShown[size_t(r)] = labels[size_t(r)] != 0;
    rowLabels[size_t(r)] = labels[size_t(r)] ? Msg(labels[size_t(r)]) : WString();
    const std::optional<int64_t> value = v ? ReadVolumeRow(*v, r) : std::nullopt;
    rowTexts[size_t(r)] = rowShown[size_t(r)] && value ? Grouped(*value) : WString();
    rowReadOnly[size_t(r)] = facts.rowsReadOnly || (!edit_ && facts.rowsTyped);
  }
  clusterLabel = facts.blockLabelled ? Msg(320) : EntryName(599, u"Cluster/&block :");
}

void VolPropRules::Init() {
  CVol* v = Volume();
  if (!v) return;
  caption = v->GetDisplayName() + u" " + StripAccelerator(Msg(271));
  capacityText = Grouped(int64_t(v->sizeSectors));
  capacityDisplay = SizeOfUnits(int64_t(v->sizeSectors), v->sectorSize);
  if (v->startSector != 0 || !edit_) {
    startText = Grouped(int64_t(v->startSector));
    offsetDisplay = FormatW(u"%s %s", Msg(343), SizeOfUnits(int64_t(v->startSector), v->sectorSize));
    bootBoxEnabled = true;
  } else {
    startText.clear();
    offsetDisplay.clear();
    bootBoxEnabled = false;
  }
  ShowRows();
  fileSystems.clear();
  if (edit_) {
    sectorSizes = {u"512", Grouped(4096)};
    sectorText = Grouped(v->sectorSize);
    FillClusterList(ClusterValue());
    for (uint8_t t = 1; t <= kVolLastType; t++) fileSystems.push_back(FileSystemTypeName(t));
    fileSystemIndex = v->type >= 1 && v->type <= kVolLastType ? v->type - 1 : -1;
    okShown = true;
    okEnabled = v->type != 0;
    okText = Msg(84);
    cancelText = EntryName(4, u"Cancel");
  } else {
    sectorText = Grouped(v->sectorSize);
    sectorSizes = {sectorText};
    clusterText = Grouped(ClusterValue());
    clusterSizes = {clusterText};
    clusterIndex = 0;
    fileSystems = {FileSystemTypeName(v->type)};
    fileSystemIndex = 0;
    okShown = false;
    okEnabled = false;
    cancelText = Msg(591);
  }
}

bool VolPropRules::ReplaceVolume(CVol* fresh) {
  if (!fresh) return false;
  CVol* old = *slot_;
  *slot_ = fresh;
  if (old) maker_.Delete(old);
  return true;
}

void VolPropRules::FileSystemChanged(int index) {
  if (!edit_) return;
  okEnabled = true;
  const int type = index + 1;
  CVol* v = Volume();
  if (!v || type < 1 || type > kVolLastType || type == v->type) return;
  CVol* fresh = maker_.Create(uint8_t(type));
  if (!fresh) return;
  fresh->CopyGeometry(*v);
  fresh->drive = v->drive;
  const int64_t cluster = ClusterValue();
  ReplaceVolume(fresh);
  fileSystemIndex = index;
  ShowRows();
  FillClusterList(cluster);
}

void VolPropRules::StartTyped(WStringView text) {
  startText = WString(text);
  const WString t = TrimBlanks(text);
  if (t.empty()) {
    offsetDisplay.clear();
    bootBoxEnabled = false;
    return;
  }
  bootBoxEnabled = true;
  const std::optional<int64_t> v = ParseGroupedSigned(t);
  const uint32_t ss = Volume() ? Volume()->sectorSize : 512;
  offsetDisplay = v ? FormatW(u"%s %s", Msg(343), SizeOfUnits(*v, ss)) : WString();
}

void VolPropRules::CapacityTyped(WStringView text) {
  capacityText = WString(text);
  const std::optional<int64_t> v = ParseGroupedSigned(TrimBlanks(text));
  const uint32_t ss = Volume() ? Volume()->sectorSize : 512;
  capacityDisplay = v ? SizeOfUnits(*v, ss) : WString();
}

DialogVerdict VolPropRules::Ok() {
  CVol* v = Volume();
  if (!edit_ || !v) return DialogVerdict::Close();
  // Every check comes before the volume takes a value.
  const std::optional<int64_t> sector = ParseGroupedSigned(TrimBlanks(sectorText));
  const std::optional<int64_t> cluster = ParseGroupedSigned(TrimBlanks(clusterText));
  if (!sector || (*sector != 512 && *sector != 4096)) return DialogVerdict::Refuse(376, kSectorCombo);
  if (!cluster || *cluster <= 0 || Log2Exact(*cluster) < 0 || *cluster > INT32_MAX)
    return DialogVerdict::Refuse(376, kClusterCombo);
  if (*cluster < *sector) return DialogVerdict::Refuse(574, kClusterCombo);
  const WString start = TrimBlanks(startText);
  if (start.empty())
    return DialogVerdict::Refuse(202, kStartEdit, FormatW(Msg(202), StripAccelerator(Msg(269))));
  const std::optional<int64_t> startSector = ParseGroupedSigned(start);
  if (!startSector) return DialogVerdict::Refuse(376, kStartEdit);
  const std::optional<int64_t> capacity = ParseGroupedSigned(TrimBlanks(capacityText));
  if (!capacity) return DialogVerdict::Refuse(376, kCapacityEdit);
  std::array<int64_t, kRowCount> rows{};
  for (int r = 0; r < kRowCount; r++) {
    if (!rowShown[size_t(r)] || rowReadOnly[size_t(r)]) continue;
    const std::optional<int64_t> value = ParseGroupedSigned(TrimBlanks(rowTexts[size_t(r)]));
    if (!value) return DialogVerdict::Refuse(376, kRowEdits[size_t(r)]);
    rows[size_t(r)] = *value;
  }
  if (const FamilyVolumeOps* ops = FindVolumeOps(v->type); ops && ops->checkSettingRows) {
    int row = 0;
    if (const int message = ops->checkSettingRows(*v, rows.data(), &row))
      return DialogVerdict::Refuse(message, kRowEdits[size_t(row & 3)]);
  }
  if (Facts(v->type).checksInodeSize) {
    const std::optional<int64_t> inodeSize = ReadVolumeRow(*v, 3);
    if (!inodeSize || !ValidInodeSize(*inodeSize)) return DialogVerdict::Refuse(596, 0);
  }
  // A family's own size (a VMFS file block, a ReFS cluster) follows the
  // sector size; one the volume cannot take changes nothing.
  const FamilyVolumeOps* ops = FindVolumeOps(v->type);
  const uint32_t oldSector = v->sectorSize;
  v->SetSectorSize(uint32_t(*sector));
  if (ops && ops->setClusterValue) {
    if (!ops->setClusterValue(*v, uint32_t(*cluster))) {
      v->SetSectorSize(oldSector);
      return DialogVerdict::Refuse(376, kClusterCombo);
    }
  } else {
    v->SetClusterSize(uint32_t(*cluster));
  }
  // The checks passed: the volume takes the values.
  v->startSector = uint64_t(*startSector);
  v->sizeSectors = uint64_t(*capacity);
  if (!WriteVolumeRows(*v, rows.data(), *startSector, drive_, maker_, kBootBufferBytes))
    return DialogVerdict::Refuse(575, kRowEdits[0]);
  return DialogVerdict::Close();
}

int64_t VolPropRules::DefaultBootSector() const {
  const int64_t start = ParseGroupedSigned(TrimBlanks(startText)).value_or(0);
  const uint8_t type = fileSystemIndex >= 0 && edit_ ? uint8_t(fileSystemIndex + 1) : (Volume() ? Volume()->type : 0);
  // The volume itself may know better than its type.
  if (const CVol* v = Volume(); v && v->type == type)
    if (const FamilyVolumeOps* ops = FindVolumeOps(type); ops && ops->bootBlockOffset)
      if (const int64_t at = ops->bootBlockOffset(*v); at >= 0) return start + at;
  return start + BootBlockOffset(type);
}

DialogVerdict VolPropRules::ReadBoot(const BootSource& source) {
  auto fail = [this](int message) {
    bootChecked = message == 583;
    return DialogVerdict::Refuse(message, 0);
  };
  // A zero-filled buffer: a short file is never classified with the bytes
  // of an earlier read.
  std::vector<uint8_t> buffer(kBootBufferBytes, 0);
  size_t got = 0;
  if (source.fromDrive) {
    const std::optional<int64_t> sector = ParseGroupedSigned(TrimBlanks(source.text));
    if (!sector || !drive_) return fail(582);
    try {
      const uint8_t* data = drive_->ReadSectors(*sector, uint32_t(kBootBufferBytes), Drive::kRetryPiece, buffer.data(), true);
      if (!data || data == Drive::kReadStarted) return fail(582);
    } catch (const DvCodeError&) {
      return fail(582);
    }
    got = kBootBufferBytes;
  } else {
    FILE* f = std::fopen(ToUtf8(TrimBlanks(source.text)).c_str(), "rb");
    if (!f) return fail(582);
    got = std::fread(buffer.data(), 1, kBootBufferBytes, f);
    std::fclose(f);
    if (got < 512) return fail(582);
  }
  const std::optional<int64_t> start = ParseGroupedSigned(TrimBlanks(startText));
  if (!start) return fail(582);
  const int kind = maker_.Probe(buffer.data());
  if (kind <= 0) return fail(582);
  const FamilyType* known = FindFamilyType(uint8_t(kind));
  if (!known || kind > kVolLastType) return fail(582);
  if (got < known->dialog.bootBlockBytes) return fail(583);
  // The new volume is made aside and takes the slot only when it could be
  // initialised; otherwise the volume stays as it was.
  if (!known->dialog.bootBlockReadable) return fail(582);
  CVol* fresh = maker_.Create(uint8_t(kind));
  if (!fresh) return fail(582);
  fresh->CopyGeometry(*Volume());
  fresh->drive = drive_;
  fresh->startSector = uint64_t(*start);
  if (!maker_.Init(*fresh, buffer.data(), got, *start, drive_)) {
    maker_.Delete(fresh);
    return fail(582);
  }
  ReplaceVolume(fresh);
  bootChecked = false;
  Init();
  return DialogVerdict{};
}

// ---- read-boot dialog ----

void ReadBootRules::Init() {
  fromDrive = true;
  sectorText = FormatNumber64(sector_);
}

bool ReadBootRules::Enabled(int control) const {
  switch (control) {
    case kSectorEdit:
    case kSectorLabel:
      return fromDrive;
    case kFileEdit:
    case kBrowse:
      return !fromDrive;
    default:
      return true;
  }
}

BootSource ReadBootRules::Ok(WStringView sectorEditText, WStringView fileEditText) const {
  BootSource s;
  s.fromDrive = fromDrive;
  s.text = WString(fromDrive ? sectorEditText : fileEditText);
  if (s.text.size() > 1024) s.text.resize(1024);
  return s;
}
