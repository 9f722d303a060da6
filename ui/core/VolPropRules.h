// The volume properties dialog and its read-boot dialog without their
// windows: the volume's geometry and file-system settings as texts, the
// change of file system, the checks of Save, and the reading of a boot
// sector or superblock from the drive or from a file that makes the volume
// anew. Volumes are made and initialised through the file-system families
// (VolumeMaker), never by a switch on type codes here.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "ui/core/DialogRules.h"

class CVol;
class Drive;

// How the volume dialogs make a volume of a type and initialise it from a
// boot sector or superblock.
class VolumeMaker {
 public:
  virtual ~VolumeMaker() = default;
  // A new volume of the type's class; null above the last type code.
  virtual CVol* Create(uint8_t type) = 0;
  virtual void Delete(CVol* volume) = 0;
  // The volume type code a sector names, 0 for none.
  virtual int Probe(const uint8_t* sector) = 0;
  // Initialises the volume from its boot block (`bytes` read, the rest of
  // the 4096-byte buffer zero) for a volume starting at drive sector
  // `start`: false when no family initialises the type, the block is not
  // usable, or the volume would not lie on the drive.
  virtual bool Init(CVol& volume, const uint8_t* boot, size_t bytes, int64_t start, Drive* drive) = 0;
};
// Through the families' registration by type code.
VolumeMaker& TheVolumeMaker();

// The superblock's place after a volume's start, in sectors, as the type's
// family gives it (Ext 3/4 and HFS+ 2, UFS1 16, UFS2 128, VMFS 2048).
int64_t BootBlockOffset(uint8_t type);
// An inode size the ext and UFS readers take: a power of two of at most
// 4096.
bool ValidInodeSize(int64_t bytes);

// Where the dialog reads a boot block from and what it got.
struct BootSource {
  bool fromDrive = true;
  WString text;  // the sector number (grouped) or the file's path
};

class VolPropRules {
 public:
  enum Control : int {
    kFsCombo = 1070, kCapacityEdit = 1365, kCapacityDisplay = 1257, kStartEdit = 1408, kOffsetDisplay = 1409,
    kSectorCombo = 1086, kClusterCombo = 1406, kClusterLabel = 1393, kBootBox = 1014, kNote = 1425,
  };
  static constexpr std::array<int, 4> kRowLabels = {1394, 1418, 1420, 1426};
  static constexpr std::array<int, 4> kRowEdits = {1411, 1158, 1421, 1422};
  static constexpr int kRowCount = 4;

  // The dialog works on the slot: a change of file system puts a new volume
  // there (the caller owns what the slot holds afterwards).
  VolPropRules(CVol** slot, bool editMode, VolumeMaker& maker, Drive* drive);
  void Init();
  bool EditMode() const { return edit_; }
  CVol* Volume() const { return *slot_; }

  // ---- what the controls show ----
  WString caption;
  WString capacityText, capacityDisplay, startText, offsetDisplay;
  WString sectorText, clusterText, clusterLabel;
  std::vector<WString> fileSystems;  // edit mode: all twelve; view mode: the volume's own
  int fileSystemIndex = -1;
  std::vector<WString> sectorSizes, clusterSizes;
  int clusterIndex = -1;
  std::array<WString, kRowCount> rowLabels, rowTexts;
  std::array<bool, kRowCount> rowShown{}, rowReadOnly{};
  bool bootBoxEnabled = false, bootChecked = false;
  bool okShown = false, okEnabled = false;
  WString okText, cancelText;
  bool EditsReadOnly() const { return !edit_; }

  // ---- commands ----
  void FileSystemChanged(int index);
  void StartTyped(WStringView text);
  void CapacityTyped(WStringView text);
  void RowTyped(int row, WStringView text) { rowTexts[size_t(row)] = WString(text); }
  void SectorChosen(WStringView text) { sectorText = WString(text); }
  void ClusterChosen(WStringView text) { clusterText = WString(text); }
  // Save: the checks, then the volume takes the values.
  DialogVerdict Ok();

  // Reading the boot block: the sector the read-boot dialog offers.
  int64_t DefaultBootSector() const;
  // With the read-boot dialog's answer: the volume is made anew from the
  // block read, or stays as it was (message 582, or 583 for a short UFS2
  // block, which keeps the check box set).
  DialogVerdict ReadBoot(const BootSource& source);

 private:
  void ShowRows();
  void FillClusterList(int64_t value);
  int64_t ClusterValue() const;
  bool ReplaceVolume(CVol* fresh);

  CVol** slot_;
  bool edit_;
  VolumeMaker& maker_;
  Drive* drive_;
};

// The read-boot dialog: from the drive (a sector number) or from a file.
class ReadBootRules {
 public:
  enum Control : int { kDriveRadio = 1044, kSectorLabel = 1424, kSectorEdit = 1158, kFileRadio = 1359,
                       kFileEdit = 1365, kBrowse = 1423 };
  void SetSector(int64_t sector) { sector_ = sector; }
  void Init();
  void SetFromDrive(bool on) { fromDrive = on; }
  bool Enabled(int control) const;
  // OK: the text is not checked here; the properties dialog reads it.
  BootSource Ok(WStringView sectorEditText, WStringView fileEditText) const;
  bool fromDrive = true;
  WString sectorText, fileText;

 private:
  int64_t sector_ = 0;
};
