// The small source and option dialogs without their windows: the first page
// of the RAID and spanned-volume wizard (volume type, disk count, parity
// rotation, block size, delay), the RAID 6 generator page, the RAID schema
// file page, the chained-image dialog (VHD and VMDK chains) and the partial
// scan dialog.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "ui/core/DialogRules.h"

// ---- volume type page ----

struct VolumeTypeEntry {
  int message;           // its name in the message table
  const char16_t* text;  // the name when the table has none
  int code;              // drive-definition kind (VolumeDefinition.h): 3, 4, 9, 5, 10, 8, 2
  int parity;
};
// In the order of the type list.
const std::vector<VolumeTypeEntry>& VolumeTypes();
struct RotationEntry {
  int message;
  const char16_t* text;
  int code;  // parity rotation of the RAID layouts (RaidMap.h)
};
const std::vector<RotationEntry>& Rotations();

class AdvancedVolumeRules {
 public:
  enum Control : int {
    kTypeCombo = 1070, kDisksEdit = 1158, kDisksLabel = 1449, kDisksNote = 1450, kRotationCombo = 1086,
    kRotationLabel = 1219, kBlockCombo = 1444, kBlockLabel = 1443, kBlockUnit = 1451, kDelayCombo = 1447,
    kDelayLabel = 1452, kDelayNote = 1448,
  };
  // The type names, in order.
  std::vector<WString> TypeNames() const;
  // The entry of a type name (null when none).
  static const VolumeTypeEntry* FindType(WStringView name);
  // "0.5 (512 bytes)", then 1 to 1024 (KiB).
  static std::vector<WString> BlockSizeTexts();
  // The rotation names for a type (empty for a type without rotation).
  static std::vector<WString> RotationNames(int typeCode);
  // The rotation code of a name, -1 for none.
  static int RotationCode(WStringView name);
  static WString RotationName(int code);
  // Bytes of a block-size text: the integer times 1024; "0.5" (within 0.01)
  // is 512; 0 for a text that gives nothing, -1 when the product overflows.
  static int64_t BlockSizeFromText(WStringView text);

  // Selecting a type (its name) sets the enable state of the other fields.
  void SelectType(WStringView name);
  bool Enabled(int control) const;
  int TypeCode() const { return type_ ? type_->code : 0; }
  int ParityCount() const { return type_ ? type_->parity : 0; }

  // "&Next >": the checks, in order, against `availableDisks` (image files
  // plus physical disks). On a close the results below are set.
  DialogVerdict Next(WStringView disksText, WStringView blockText, WStringView delayText,
                     WStringView rotationText, int availableDisks);
  int disks = 0;
  int blockBytes = 0;
  int delay = 0;
  int rotation = -1;

 private:
  const VolumeTypeEntry* type_ = nullptr;
};

// ---- RAID 6 generators ----

class Raid6SettingsRules {
 public:
  enum Control : int { kSequential = 1359, kExponential = 1455, kRotate = 1457, kStatic = 1458, kSkip = 1014 };
  // Rotations 1 and 4 force static generators.
  void SetRotation(int rotationCode);
  void Init();
  bool Enabled(int control) const;
  void SetFormula(int f) { formula = f == 1 ? 1 : 0; }
  void SetStatic(bool on);
  void SetSkip(bool on) { skip = on && staticOrder; }
  // The RAID 6 settings: coefficient mode (0 sequential, 1 exponential) and
  // order (0 rotating with the parity, 1 static, 2 static skipping the
  // parity blocks).
  int CoefficientMode() const { return formula; }
  int Order() const { return !staticOrder ? 0 : skip ? 2 : 1; }

  int formula = 0;
  bool staticOrder = false;
  bool skip = false;

 private:
  bool forcedStatic_ = false;
};

// ---- schema file page ----

class SchemaPageRules {
 public:
  enum Control : int { kPathEdit = 1465 };
  // "&Next >" with the path as typed: `countMembers` gives the disks the
  // file names (0 for an invalid file). On a close `path` and `disks` are
  // set.
  DialogVerdict Next(WStringView typedPath, const std::function<int(WStringView)>& countMembers,
                     int availableDisks);
  WString path;
  int disks = 0;
};

// ---- chained images ----

class ChainRules {
 public:
  enum Control : int {
    kBaseEdit = 1158, kBrowse = 1011, kList = 1053, kAddLink = 1431, kMoveUp = 1434, kMoveDown = 1435,
    kRemove = 1205, kBaseLabel = 1432, kListLabel = 1433,
  };
  static constexpr size_t kMaxLinks = 7;
  explicit ChainRules(bool vhd = true) : vhd_(vhd) {}
  bool Vhd() const { return vhd_; }
  // Caption and label texts of the form.
  WString Caption() const;
  WString BaseLabel() const;
  WString ListLabel() const;
  WString BrowseText() const;
  WString AddText() const;
  // The file dialog's filter ("name|pattern|...").
  WString FileFilter() const;

  void AddLink(WStringView path);
  void Remove();
  void MoveUp();
  void MoveDown();
  void Select(int index) { selection = index >= 0 && size_t(index) < links.size() ? index : -1; }
  bool Enabled(int control) const;
  // OK: the definition text, or message 629 (caption in `caption`).
  DialogVerdict Ok(WStringView basePath, WString* caption);
  // Registers each file of the chain as an image (the registry's Add).
  static void RegisterImages(WStringView definition, const std::function<void(WStringView)>& add);

  std::vector<WString> links;
  int selection = -1;
  WString definition;

 private:
  bool vhd_;
};

// ---- partial scan ----

class RangeRules {
 public:
  enum Control : int { kMaximumEdit = 1158, kSkipEdit = 1169 };
  void SetRange(int32_t skip, int32_t maximum);
  void Reset();
  DialogVerdict Ok(WStringView maximumText, WStringView skipText);
  int32_t skip = 0, maximum = 2147483647;
  WString maximumText, skipText;
};
