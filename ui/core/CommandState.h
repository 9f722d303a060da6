// Enable and check state of every command of the main window, as one pure
// function of the view's state. Menus, the toolbar and the context menus
// share one action per command, and all of them take their state from here.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

struct ViewState {
  int activity = -1;  // the activity code
  int step = 0;       // 0 scan step, 1 save step
  bool scanButtonEnabled = true;
  bool saveButtonEnabled = false;
  bool step2Enabled = false;  // the "Step 2: Save" tab
  bool treeHasFocus = false;
  bool listEnabled = true;
  int64_t listRows = 0;
  int64_t selectedRows = 0;
  bool hasDrvInfo = false;  // a current source record exists
  bool drvInfoNameEmpty = true;
  bool drvInfoSecondEmpty = true;
  int lookInIndex = -1;
  bool lookInEnabled = true;
  bool sourceDriveExists = false;
  bool useFolderNames = true;
  bool skipDeleted = false;
  bool folderDisplay = false;
  int sortColumnFlat = -1;
  int sortColumnFolder = -1;
  std::array<bool, 7> filterEntries{};
  int progressPhase = 0;  // 0 nothing yet, 1 scan running, 2 scan finished, 3 recovery
  bool statusDialogVisible = false;
  bool toolbarVisible = true;
  bool statusBarVisible = true;
  int propertiesState = 0;  // 0 Properties, 1 Preview
};

struct CommandState {
  bool enabled = true;
  bool checkable = false;
  bool checked = false;
  int textMessage = 0;  // message id of a text that follows the state, 0 for none
};

CommandState ComputeCommandState(int commandId, const ViewState& state);

// Every command that has an action.
const std::vector<int>& AllCommandIds();

// Whether the Scan and Save buttons are enabled in a step, from the activity
// code: the shown group is enabled when idle; while a scan (0) or a
// recovery (1) runs the running activity's button keeps its state so that it
// stays usable as Pause. `scanWas`/`saveWas` are the buttons' current states.
struct StepButtons {
  bool scanEnabled;
  bool saveEnabled;
  bool scanGroupEnabled;  // labels, boxes, radios
  bool saveGroupEnabled;  // combo, check box, Browse
};
StepButtons ComputeStepButtons(int step, int activity, bool scanWas, bool saveWas);
