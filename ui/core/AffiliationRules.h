// The volume affiliation dialog without its window: which volume the files
// to be recovered belong to (the program decides, one of the drive's
// volumes, optionally with a larger size, or a volume the user describes by
// its first sector and size), the texts it shows, the checks of what is
// typed, and the command's default range.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Text.h"
#include "ui/core/DialogRules.h"

// The answer the view keeps between runs (cleared by every new scan).
struct AffiliationChoice {
  uint8_t mode = 0;          // 0 program decides, 1 a volume of the drive, 2 user-specified
  uint16_t volumeIndex = 0;  // mode 1
  int64_t firstSector = 0;   // mode 2
  int64_t sectorCount = 0;
};

// The range offered first when the view has none (first and count both
// 0): for a physical disk the sectors after the first track, for any other
// source the whole drive. An answer with a range is returned unchanged.
AffiliationChoice DefaultAffiliation(const AffiliationChoice& current, bool physicalDisk, uint32_t sectorsPerTrack,
                                     int64_t driveSectors);

// One volume of the drive as the dialog reads it.
struct AffiliationVolume {
  WString letterName;  // "X:" for a drive-letter volume, else empty
  int64_t startSector = 0;
  int64_t sectorCount = 0;
  int64_t sizeOverride = 0;  // 0 for none
};

class AffiliationRules {
 public:
  enum Control : int {
    kProgramDecides = 1044, kChosenVolume = 1154, kUserSpecified = 1155, kVolumeCombo = 1037,
    kOverrideBox = 1014, kOverrideNote = 1234, kOverrideLabel = 1254, kOverrideEdit = 1255,
    kOverrideDisplay = 1256, kMaximumLabel = 1257, kMaximumDisplay = 1258, kMaximumEdit = 1259,
    kFirstLabel = 1163, kFirstEdit = 1039, kOffsetDisplay = 1159, kNumberLabel = 1164, kNumberEdit = 1118,
    kSizeDisplay = 1160, kIntro = 1161,
  };
  // The smallest size override, in sectors.
  static constexpr int64_t kMinimumOverride = 8192;

  void SetVolumes(std::vector<AffiliationVolume> volumes, uint32_t sectorSize, int64_t driveSectors);
  void SetAnswer(const AffiliationChoice& answer);
  // Fills every text from the volumes and the answer.
  void Init();

  // One line per volume, in list order.
  std::vector<WString> ComboLines() const;
  // Whether a control is enabled now.
  bool Enabled(int control) const;

  // The radios (0, 1, 2), the check box and the combo box.
  void SelectMode(int mode);
  void SetOverrideFlag(bool on);
  void SelectVolume(int index);
  // Typing. The edits of the first sector and the size refuse a text they
  // cannot read (false: the edit keeps its text); the override edit takes
  // anything and shows what it reads.
  bool AcceptFirstText(WStringView text) const;
  bool AcceptNumberText(WStringView text) const;
  void FirstTyped(WStringView text);
  void NumberTyped(WStringView text);
  void OverrideTyped(WStringView text);

  // OK. On a close the answer and the overrides are set; a refusal changes
  // neither (the drive's volumes keep the overrides they had).
  DialogVerdict Ok();
  AffiliationChoice Answer() const { return answer_; }
  // Per volume, the override it carries after OK (0 for none).
  const std::vector<int64_t>& Overrides() const { return overrides_; }

  // ---- what the controls show ----
  int mode = 0;
  int comboIndex = -1;
  bool overrideFlag = false;
  WString firstText, numberText, overrideText, overrideDisplay, maximumText, maximumDisplay;
  WString offsetDisplay, sizeDisplay;

 private:
  void FillSizeFields();
  int64_t MaximumFor(int index) const;
  WString SectorsWithSize(int64_t sectors) const;

  std::vector<AffiliationVolume> volumes_;
  uint32_t sectorSize_ = 512;
  int64_t driveSectors_ = 0;
  AffiliationChoice answer_;
  std::vector<int64_t> overrides_;
};
