#include "ui/core/CommandState.h"
#include <cstddef>

#include "ui/core/CommandIds.h"

namespace {

bool Idle(const ViewState& s) { return s.activity == -1; }

}  // namespace

CommandState ComputeCommandState(int id, const ViewState& s) {
  CommandState r;
  const bool rows = s.listRows > 0;
  switch (id) {
    case cmd::kScan:
      r.enabled = s.step == 0 && s.scanButtonEnabled;
      r.textMessage = s.activity == 0 ? 304 : 302;
      return r;
    case cmd::kSave:
      r.enabled = s.step == 1 && s.saveButtonEnabled;
      r.textMessage = s.activity == 1 ? 304 : 303;
      return r;
    case cmd::kProperties:
      r.enabled = s.treeHasFocus || (s.listEnabled && s.selectedRows == 1);
      r.textMessage = s.propertiesState == 1 ? 440 : 305;
      return r;
    case cmd::kSelectAll:
    case cmd::kInvert:
    case cmd::kDeselectAll:
      r.enabled = s.activity != 1 && rows && s.listEnabled;
      return r;
    case cmd::kSelect:
    case cmd::kDeselect:
      // Context-menu items: refined by the context menu from the item under it.
      r.enabled = s.activity != 1 && rows && s.listEnabled;
      return r;
    case cmd::kSessionLoad:
    case cmd::kDiskImageLoad:
    case cmd::kPartialScan:
    case cmd::kLoadVmdk:
    case cmd::kLoadVhd:
      r.enabled = Idle(s);
      return r;
    case cmd::kSessionSave:
      r.enabled = Idle(s) && s.hasDrvInfo && !s.drvInfoNameEmpty && s.drvInfoSecondEmpty;
      return r;
    case cmd::kSectorExclusion:
      r.enabled = Idle(s) && s.lookInIndex >= 0;
      return r;
    case cmd::kUseFolderNames:
      r.enabled = s.activity != 1;
      r.checkable = true;
      r.checked = s.useFolderNames;
      return r;
    case cmd::kVolumeAffiliation:
      r.enabled = s.activity != 1 && s.step2Enabled && s.hasDrvInfo;
      return r;
    case cmd::kOverwriteMode:
      r.enabled = s.activity != 1;
      return r;
    case cmd::kSkipDeleted:
      r.enabled = s.activity != 0;
      r.checkable = true;
      r.checked = s.skipDeleted;
      return r;
    case cmd::kAdvancedVolumes:
      r.enabled = s.lookInEnabled;
      return r;
    case cmd::kDiskImageCreate:
      r.enabled = s.sourceDriveExists && Idle(s);
      return r;
    case cmd::kFind:
      r.enabled = s.listEnabled;
      return r;
    case cmd::kFolderView:
      r.enabled = Idle(s) && rows;
      r.textMessage = s.folderDisplay ? 260 : 261;
      return r;
    case cmd::kStatusPanel:
      r.enabled = s.progressPhase != 0;
      r.checkable = true;
      r.checked = s.progressPhase != 0 && s.statusDialogVisible;
      return r;
    case cmd::kToolbar:
      r.checkable = true;
      r.checked = s.toolbarVisible;
      return r;
    case cmd::kStatusBar:
      r.checkable = true;
      r.checked = s.statusBarVisible;
      return r;
    default:
      break;
  }
  if (const int column = cmd::ArrangeColumn(id); column >= 0) {
    r.enabled = Idle(s) && rows;
    r.checkable = true;
    // The check follows the current display's sort column, also while disabled.
    r.checked = (s.folderDisplay ? s.sortColumnFolder : s.sortColumnFlat) == column;
    return r;
  }
  if (id >= cmd::kFilterEditFirst && id < cmd::kFilterEditFirst + 7) {
    r.enabled = Idle(s) && rows;
    return r;
  }
  if (id >= cmd::kFilterClearFirst && id < cmd::kFilterClearFirst + 7) {
    r.enabled = Idle(s) && s.filterEntries[std::size_t(id - cmd::kFilterClearFirst)];
    return r;
  }
  // Commands without an update rule (Exit, About, Help Topics, Trace) are
  // always available.
  return r;
}

const std::vector<int>& AllCommandIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> v = {cmd::kScan,          cmd::kSave,           cmd::kTrace,           cmd::kFind,
                          cmd::kProperties,    cmd::kInvert,         cmd::kFolderView,      cmd::kSessionLoad,
                          cmd::kSessionSave,   cmd::kDiskImageLoad,  cmd::kPartialScan,     cmd::kSectorExclusion,
                          cmd::kUseFolderNames, cmd::kVolumeAffiliation, cmd::kOverwriteMode, cmd::kSelect,
                          cmd::kDeselect,      cmd::kDeselectAll,    cmd::kSkipDeleted,     cmd::kAdvancedVolumes,
                          cmd::kDiskImageCreate, cmd::kStatusPanel,  cmd::kLoadVmdk,        cmd::kLoadVhd,
                          cmd::kSelectAll,     cmd::kAbout,          cmd::kExit,            cmd::kHelpTopics,
                          cmd::kToolbar,       cmd::kStatusBar};
    for (int a : cmd::kArrangeByColumn) v.push_back(a);
    for (int i = 0; i < 7; i++) v.push_back(cmd::kFilterEditFirst + i);
    for (int i = 0; i < 7; i++) v.push_back(cmd::kFilterClearFirst + i);
    return v;
  }();
  return ids;
}

StepButtons ComputeStepButtons(int step, int activity, bool scanWas, bool saveWas) {
  StepButtons b{};
  const bool idle = activity == -1;
  b.scanGroupEnabled = step == 0 && idle;
  b.saveGroupEnabled = step == 1 && idle;
  b.scanEnabled = b.scanGroupEnabled;
  b.saveEnabled = b.saveGroupEnabled;
  // The button of the running activity keeps its state for Pause.
  if (activity == 0 || activity == 1) {
    b.scanEnabled = scanWas && step == 0;
    b.saveEnabled = saveWas && step == 1;
  }
  return b;
}
