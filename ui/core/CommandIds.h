// Command ids of the main window: menus, toolbar, context menus and
// shortcut keys all name a command by one of these numbers.
#pragma once
#include <array>

namespace cmd {
enum : int {
  kScan = 32781,
  kSave = 32783,
  kTrace = 32785,
  kFind = 32791,
  kProperties = 32793,
  kInvert = 32794,
  kFolderView = 32796,
  kFilterPopupFirst = 32797,  // 32797..32803: per-column filter popups
  kArrangePopup = 32805,
  kArrangeName = 32806,
  kArrangeType = 32807,
  kArrangeFolder = 32808,
  kArrangeStatus = 32809,
  kArrangeSize = 32810,
  kArrangeDate = 32811,
  kVolumeAffiliationTip = 32814,
  kPartialScanTip = 32816,
  kDiskImagePopup = 32817,
  kSessionPopup = 32820,
  kSessionLoad = 32821,
  kSessionSave = 32822,
  kDiskImageLoad = 32823,
  kPartialScan = 32825,
  kSectorExclusion = 32826,
  kUseFolderNames = 32827,
  kVolumeAffiliation = 32828,
  kOverwriteMode = 32829,
  kScanOptionsPopup = 32830,
  kSaveOptionsPopup = 32831,
  kSelect = 32834,
  kDeselect = 32835,
  kDeselectAll = 32836,
  kArrangeVolume = 32837,
  kSkipDeleted = 32839,
  kAdvancedVolumes = 32842,
  kDiskImageCreate = 32844,
  kFilterEdit = 32845,   // the column heading's filter menu: "Edit filter..."
  kFilterClear = 32846,  // "Clear filter"
  kFilterPopup = 32848,
  kFilterEditFirst = 32849,   // 32849..32855: edit the filter of column id - 32849
  kFilterClearFirst = 32856,  // 32856..32862: clear the filter of column id - 32856
  kStatusPanel = 32864,
  kLoadVmdk = 32870,
  kLoadVhd = 32871,
  kSelectAll = 57642,
  kAbout = 57664,
  kExit = 57665,
  kHelpTopics = 57667,
  kToolbar = 59392,
  kStatusBar = 59393,
};

// Arrange commands by column code (Name 0, Type 1, Folder 2, Volume 3,
// Status 4, Size 5, Date 6).
inline constexpr std::array<int, 7> kArrangeByColumn = {kArrangeName,   kArrangeType, kArrangeFolder, kArrangeVolume,
                                                        kArrangeStatus, kArrangeSize, kArrangeDate};
// Column code of an Arrange command, -1 for any other command.
inline constexpr int ArrangeColumn(int id) {
  for (int i = 0; i < 7; i++)
    if (kArrangeByColumn[i] == id) return i;
  return -1;
}
}  // namespace cmd
