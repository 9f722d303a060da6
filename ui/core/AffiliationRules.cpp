#include "ui/core/AffiliationRules.h"

#include "foundation/Messages.h"
#include "platform/Format.h"

AffiliationChoice DefaultAffiliation(const AffiliationChoice& current, bool physicalDisk, uint32_t sectorsPerTrack,
                                     int64_t driveSectors) {
  if (current.firstSector != 0 || current.sectorCount != 0) return current;
  AffiliationChoice c = current;
  if (physicalDisk) {
    c.firstSector = sectorsPerTrack;
    c.sectorCount = driveSectors > int64_t(sectorsPerTrack) ? driveSectors - sectorsPerTrack : 0;
  } else {
    // The whole drive: every one of its sectors.
    c.firstSector = 0;
    c.sectorCount = driveSectors;
  }
  return c;
}

void AffiliationRules::SetVolumes(std::vector<AffiliationVolume> volumes, uint32_t sectorSize, int64_t driveSectors) {
  volumes_ = std::move(volumes);
  sectorSize_ = sectorSize ? sectorSize : 512;
  driveSectors_ = driveSectors;
  overrides_.clear();
  for (const AffiliationVolume& v : volumes_) overrides_.push_back(v.sizeOverride);
}

void AffiliationRules::SetAnswer(const AffiliationChoice& answer) { answer_ = answer; }

WString AffiliationRules::SectorsWithSize(int64_t sectors) const {
  return FormatW(u"%s (%s)", Msg(361), SizeOfUnits(sectors, sectorSize_));
}

int64_t AffiliationRules::MaximumFor(int index) const {
  if (index < 0 || size_t(index) >= volumes_.size()) return 0;
  return driveSectors_ - volumes_[size_t(index)].startSector;
}

void AffiliationRules::Init() {
  mode = answer_.mode <= 2 ? answer_.mode : 0;
  firstText = DecimalText(answer_.firstSector);
  numberText = DecimalText(answer_.sectorCount);
  comboIndex = answer_.volumeIndex < volumes_.size() ? int(answer_.volumeIndex) : (volumes_.empty() ? -1 : 0);
  overrideFlag = comboIndex >= 0 && volumes_[size_t(comboIndex)].sizeOverride > 0;
  FillSizeFields();
  FirstTyped(firstText);
  NumberTyped(numberText);
}

std::vector<WString> AffiliationRules::ComboLines() const {
  std::vector<WString> out;
  for (size_t i = 0; i < volumes_.size(); i++) {
    const AffiliationVolume& v = volumes_[i];
    const bool letter = !v.letterName.empty() && v.letterName[0] >= u'A' && v.letterName[0] <= u'Z';
    const WString name = letter ? v.letterName : FormatW(u"%s %d", Msg(90), int(i));
    out.push_back(FormatW(Msg(119), name, SizeOfUnits(v.startSector, sectorSize_), v.startSector,
                          SizeOfUnits(v.sectorCount, sectorSize_), v.sectorCount));
  }
  return out;
}

bool AffiliationRules::Enabled(int control) const {
  const bool user = mode == 2, chosen = mode == 1;
  switch (control) {
    case kFirstEdit:
    case kNumberEdit:
    case kOffsetDisplay:
    case kSizeDisplay:
    case kFirstLabel:
    case kNumberLabel:
      return user;
    case kVolumeCombo:
    case kOverrideBox:
      return chosen;
    case kOverrideNote:
    case kOverrideLabel:
    case kOverrideDisplay:
    case kMaximumLabel:
    case kMaximumDisplay:
    case kOverrideEdit:
    case kMaximumEdit:
      return chosen && overrideFlag;
    default:
      return true;
  }
}

void AffiliationRules::SelectMode(int m) { mode = m >= 0 && m <= 2 ? m : 0; }

void AffiliationRules::SetOverrideFlag(bool on) { overrideFlag = on && comboIndex >= 0; }

void AffiliationRules::SelectVolume(int index) {
  comboIndex = index >= 0 && size_t(index) < volumes_.size() ? index : -1;
  FillSizeFields();
}

void AffiliationRules::FillSizeFields() {
  if (comboIndex < 0) {
    overrideFlag = false;
    overrideText.clear();
    overrideDisplay.clear();
    maximumText.clear();
    maximumDisplay.clear();
    return;
  }
  const int64_t maximum = MaximumFor(comboIndex);
  const int64_t given = volumes_[size_t(comboIndex)].sizeOverride;
  overrideFlag = given > 0;
  const int64_t overriding = given > 0 ? given : maximum;
  overrideText = DecimalText(overriding);
  overrideDisplay = SectorsWithSize(overriding);
  maximumText = DecimalText(maximum);
  maximumDisplay = SectorsWithSize(maximum);
}

bool AffiliationRules::AcceptFirstText(WStringView text) const {
  // An empty text is kept (it reads as 0); a lone "-" starts a negative one.
  return ParseGroupedWithSign(text).has_value();
}

bool AffiliationRules::AcceptNumberText(WStringView text) const {
  return !text.empty() && ParseGroupedSigned(text).has_value();
}

void AffiliationRules::FirstTyped(WStringView text) {
  firstText = WString(text);
  const bool negative = !text.empty() && text[0] == u'-';
  const WStringView digits = negative ? text.substr(1) : text;
  const std::optional<int64_t> v = ParseGroupedSigned(digits);
  if (text.empty() || !v) return;
  offsetDisplay = Msg(343) + FormatW(negative ? u": -%s" : u": %s", SizeOfUnits(*v, sectorSize_));
}

void AffiliationRules::NumberTyped(WStringView text) {
  numberText = WString(text);
  const std::optional<int64_t> v = ParseGroupedSigned(text);
  if (text.empty() || !v) return;
  sizeDisplay = Msg(93) + FormatW(u": %s", SizeOfUnits(*v, sectorSize_));
}

void AffiliationRules::OverrideTyped(WStringView text) {
  overrideText = WString(text);
  overrideDisplay = SectorsWithSize(ParseGroupedSigned(text).value_or(0));
}

DialogVerdict AffiliationRules::Ok() {
  // Every check comes before any override changes: a refused OK, and a
  // Cancel after it, leave the volumes as they were.
  std::vector<int64_t> after(volumes_.size(), 0);
  AffiliationChoice a = answer_;
  a.mode = uint8_t(mode);
  if (mode == 1) {
    if (comboIndex < 0) return DialogVerdict::Refuse(215, kVolumeCombo);
    a.volumeIndex = uint16_t(comboIndex);
    if (overrideFlag) {
      const std::optional<int64_t> v = ParseGroupedSigned(overrideText);
      if (!v || *v < kMinimumOverride || *v > MaximumFor(comboIndex)) return DialogVerdict::Refuse(66, kOverrideEdit);
      after[size_t(comboIndex)] = *v;
    }
  } else if (mode == 2) {
    const std::optional<int64_t> first = ParseGroupedWithSign(firstText);
    if (!first) return DialogVerdict::Refuse(184, kFirstEdit);
    const std::optional<int64_t> count = ParseGroupedSigned(numberText);
    // A volume of no sectors cannot hold a file.
    if (!count || *count <= 0) return DialogVerdict::Refuse(66, kNumberEdit);
    a.firstSector = *first;
    a.sectorCount = *count;
  }
  answer_ = a;
  overrides_ = std::move(after);
  return DialogVerdict::Close();
}
