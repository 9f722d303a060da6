// The command-state table: every command in every activity code.
#include <gtest/gtest.h>

#include "foundation/Globals.h"
#include "ui/core/CommandIds.h"
#include "ui/core/CommandState.h"

namespace {

// A view with results shown, one row selected, a source chosen and its
// record present, in the scan step.
ViewState Busy(int activity) {
  ViewState s;
  s.activity = activity;
  s.step = 0;
  const StepButtons b = ComputeStepButtons(0, activity, activity <= 0, false);
  s.scanButtonEnabled = b.scanEnabled;
  s.saveButtonEnabled = b.saveEnabled;
  s.step2Enabled = true;
  s.listRows = 10;
  s.selectedRows = 1;
  s.hasDrvInfo = true;
  s.drvInfoNameEmpty = false;
  s.drvInfoSecondEmpty = true;
  s.lookInIndex = 2;
  s.lookInEnabled = activity == -1;
  s.sourceDriveExists = true;
  s.progressPhase = 2;
  s.statusDialogVisible = true;
  s.filterEntries = {true, false, false, false, false, false, false};
  s.sortColumnFlat = 5;
  return s;
}

struct Row {
  int command;
  // Expected enabled state for activity -1, 0, 1, 2, 3, 4.
  bool enabled[6];
};

// Columns: idle, scan, recovery, sorting, folder rows, filtering.
const Row kTable[] = {
    {cmd::kScan, {true, true, false, false, false, false}},
    {cmd::kSave, {false, false, false, false, false, false}},  // scan step: Save is hidden
    {cmd::kProperties, {true, true, true, true, true, true}},
    {cmd::kSelectAll, {true, true, false, true, true, true}},
    {cmd::kInvert, {true, true, false, true, true, true}},
    {cmd::kDeselectAll, {true, true, false, true, true, true}},
    {cmd::kSessionLoad, {true, false, false, false, false, false}},
    {cmd::kDiskImageLoad, {true, false, false, false, false, false}},
    {cmd::kPartialScan, {true, false, false, false, false, false}},
    {cmd::kLoadVmdk, {true, false, false, false, false, false}},
    {cmd::kLoadVhd, {true, false, false, false, false, false}},
    {cmd::kSessionSave, {true, false, false, false, false, false}},
    {cmd::kSectorExclusion, {true, false, false, false, false, false}},
    {cmd::kUseFolderNames, {true, true, false, true, true, true}},
    {cmd::kVolumeAffiliation, {true, true, false, true, true, true}},
    {cmd::kOverwriteMode, {true, true, false, true, true, true}},
    {cmd::kSkipDeleted, {true, false, true, true, true, true}},
    {cmd::kAdvancedVolumes, {true, false, false, false, false, false}},
    {cmd::kDiskImageCreate, {true, false, false, false, false, false}},
    {cmd::kFind, {true, true, true, true, true, true}},
    {cmd::kFolderView, {true, false, false, false, false, false}},
    {cmd::kArrangeName, {true, false, false, false, false, false}},
    {cmd::kArrangeVolume, {true, false, false, false, false, false}},
    {cmd::kArrangeDate, {true, false, false, false, false, false}},
    {cmd::kFilterEditFirst, {true, false, false, false, false, false}},
    {cmd::kFilterEditFirst + 6, {true, false, false, false, false, false}},
    {cmd::kFilterClearFirst, {true, false, false, false, false, false}},      // column 0 has a filter
    {cmd::kFilterClearFirst + 1, {false, false, false, false, false, false}},  // column 1 has none
    {cmd::kStatusPanel, {true, true, true, true, true, true}},
    {cmd::kExit, {true, true, true, true, true, true}},
    {cmd::kAbout, {true, true, true, true, true, true}},
    {cmd::kHelpTopics, {true, true, true, true, true, true}},
};

TEST(CommandState, TableInEveryActivityCode) {
  GlobalObjectsScope scope;
  for (const Row& row : kTable) {
    for (int a = -1; a <= 4; a++) {
      const CommandState cs = ComputeCommandState(row.command, Busy(a));
      EXPECT_EQ(cs.enabled, row.enabled[a + 1]) << "command " << row.command << " activity " << a;
    }
  }
}

TEST(CommandState, EveryCommandHasARowOrIsAlwaysOn) {
  GlobalObjectsScope scope;
  // Commands without a rule are enabled whatever the state.
  ViewState s;
  s.activity = 1;
  s.listRows = 0;
  for (int id : {cmd::kTrace, cmd::kExit, cmd::kAbout, cmd::kHelpTopics}) EXPECT_TRUE(ComputeCommandState(id, s).enabled);
  EXPECT_GT(AllCommandIds().size(), 40u);
}

TEST(CommandState, SaveStepDuringRecoveryKeepsSaveForPause) {
  GlobalObjectsScope scope;
  ViewState s = Busy(1);
  s.step = 1;
  const StepButtons b = ComputeStepButtons(1, 1, false, true);
  s.scanButtonEnabled = b.scanEnabled;
  s.saveButtonEnabled = b.saveEnabled;
  EXPECT_TRUE(ComputeCommandState(cmd::kSave, s).enabled);
  EXPECT_EQ(ComputeCommandState(cmd::kSave, s).textMessage, 304);
  EXPECT_FALSE(ComputeCommandState(cmd::kScan, s).enabled);
  EXPECT_FALSE(b.saveGroupEnabled);
}

TEST(CommandState, StepButtonsFollowTheActivity) {
  struct Case {
    int step, activity;
    bool scanWas, saveWas;
    bool scan, save, scanGroup, saveGroup;
  } cases[] = {
      {0, -1, false, false, true, false, true, false},  {1, -1, true, false, false, true, false, true},
      {0, 0, true, false, true, false, false, false},   {0, 0, false, false, false, false, false, false},
      {1, 1, false, true, false, true, false, false},   {0, 2, true, false, false, false, false, false},
      {1, 4, false, true, false, false, false, false},
  };
  for (const Case& c : cases) {
    const StepButtons b = ComputeStepButtons(c.step, c.activity, c.scanWas, c.saveWas);
    EXPECT_EQ(b.scanEnabled, c.scan) << c.step << " " << c.activity;
    EXPECT_EQ(b.saveEnabled, c.save) << c.step << " " << c.activity;
    EXPECT_EQ(b.scanGroupEnabled, c.scanGroup);
    EXPECT_EQ(b.saveGroupEnabled, c.saveGroup);
  }
}

TEST(CommandState, ChecksAndTexts) {
  GlobalObjectsScope scope;
  ViewState s = Busy(-1);
  // Arrange: check on the current sort column, also while disabled.
  EXPECT_TRUE(ComputeCommandState(cmd::kArrangeSize, s).checked);
  EXPECT_FALSE(ComputeCommandState(cmd::kArrangeName, s).checked);
  s.activity = 0;
  EXPECT_FALSE(ComputeCommandState(cmd::kArrangeSize, s).enabled);
  EXPECT_TRUE(ComputeCommandState(cmd::kArrangeSize, s).checked);
  s.folderDisplay = true;
  s.sortColumnFolder = 3;
  EXPECT_TRUE(ComputeCommandState(cmd::kArrangeVolume, s).checked);
  EXPECT_EQ(ComputeCommandState(cmd::kFolderView, s).textMessage, 260);
  s.folderDisplay = false;
  EXPECT_EQ(ComputeCommandState(cmd::kFolderView, s).textMessage, 261);
  EXPECT_EQ(ComputeCommandState(cmd::kScan, s).textMessage, 304);
  s.activity = -1;
  EXPECT_EQ(ComputeCommandState(cmd::kScan, s).textMessage, 302);
  s.skipDeleted = true;
  EXPECT_TRUE(ComputeCommandState(cmd::kSkipDeleted, s).checked);
  s.useFolderNames = false;
  EXPECT_FALSE(ComputeCommandState(cmd::kUseFolderNames, s).checked);
  s.propertiesState = 1;
  EXPECT_EQ(ComputeCommandState(cmd::kProperties, s).textMessage, 440);
}

TEST(CommandState, EdgeRules) {
  ViewState s = Busy(-1);
  // Session Save needs a name and no second text.
  s.drvInfoSecondEmpty = false;
  EXPECT_FALSE(ComputeCommandState(cmd::kSessionSave, s).enabled);
  s.drvInfoSecondEmpty = true;
  s.hasDrvInfo = false;
  EXPECT_FALSE(ComputeCommandState(cmd::kSessionSave, s).enabled);
  EXPECT_FALSE(ComputeCommandState(cmd::kVolumeAffiliation, s).enabled);
  // Properties: the tree's focus alone is enough; two selected rows are not.
  s.selectedRows = 2;
  EXPECT_FALSE(ComputeCommandState(cmd::kProperties, s).enabled);
  s.treeHasFocus = true;
  EXPECT_TRUE(ComputeCommandState(cmd::kProperties, s).enabled);
  // An empty list: no bulk checks, no Folder View, no Arrange.
  s.listRows = 0;
  for (int id : {cmd::kSelectAll, cmd::kInvert, cmd::kDeselectAll, cmd::kFolderView, cmd::kArrangeName})
    EXPECT_FALSE(ComputeCommandState(id, s).enabled) << id;
  // Sector exclusion needs a Look-in row.
  s.lookInIndex = -1;
  EXPECT_FALSE(ComputeCommandState(cmd::kSectorExclusion, s).enabled);
  // Status panel: nothing to show before the first run.
  s.progressPhase = 0;
  EXPECT_FALSE(ComputeCommandState(cmd::kStatusPanel, s).enabled);
  EXPECT_FALSE(ComputeCommandState(cmd::kStatusPanel, s).checked);
}

}  // namespace
