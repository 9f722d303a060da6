// Geometry and surface rules of the main view that need no window: the
// per-language layout table, the top band, where every control goes for a
// client size, the step captions, and the shortcut keys.
#pragma once
#include <array>
#include <cstdint>

#include "platform/Text.h"

struct LayoutValues {
  std::array<int, 11> L{};
};
// The layout table's row for a language (0..9; others use English), each
// value times the display scale, truncated; L7 at least 20.
LayoutValues ScaledLayout(int language, double displayScale);
// max(75, trunc(scale x 87)) + 43.
int TopBandHeight(double displayScale);

struct Box {
  int x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Box&) const = default;
};

// Sizes the layout depends on besides the client size.
struct ViewMetrics {
  int scanButtonWidth = 80, scanButtonHeight = 64;
  int saveButtonWidth = 80, saveButtonHeight = 64;
  int browseButtonWidth = 90, browseButtonHeight = 23;
  int comboHeight = 22;
  int radioWidth = 70, radioHeight = 20;
  int splitter = 250;
  bool folderDisplay = false;
};

struct ViewGeometry {
  Box tab1, tab2;
  Box lookForLabel, lookForBox, lookInLabel, lookInBox;
  Box modeGroup, quickRadio, longRadio;
  Box scanButton;
  Box saveToLabel, saveToCombo, useFolderNames, browseButton, saveButton;
  Box tree, splitterBar, list;
  int splitterMin = 30, splitterMax = 0;
};

ViewGeometry ComputeViewGeometry(int cx, int cy, const LayoutValues& lv, double displayScale, const ViewMetrics& m);

// Captions that follow the save group's state: Browse, Save and Scan.
struct StepCaptions {
  WString browse, save, scan;
};
StepCaptions ComputeStepCaptions(bool saveGroupEnabled, int language);

// The Scan button while a scan runs reads message 97 ("&Pause"), else 91.
// The wider of the two decides the button's width.

// Shortcut keys of the view. Keys: 'A','D','I','F','P','R','S', or one of
// the values below.
enum ViewKey : int { kKeyF3 = 0x72, kKeyEnter = 0x0D, kKeyBackspace = 0x08 };
struct ShortcutInput {
  int key = 0;
  bool ctrl = false;
  bool listHasFocus = false;
  // The list or the folder tree has the focus: Ctrl+A, D and I act on the
  // found items only then, so a text field keeps its own Ctrl+A.
  bool resultsHaveFocus = true;
  bool listShowsFolders = false;
  bool listEnabled = true;
  int64_t listRows = 0;
  int activity = -1;
  int step = 0;
};
// The command the key runs (0 for none), and whether the key is consumed.
// Open-folder and parent-folder keys give the pseudo commands below.
enum : int { kCmdOpenFolder = -1, kCmdParentFolder = -2 };
struct ShortcutResult {
  int command = 0;
  bool handled = false;
};
ShortcutResult MapShortcut(const ShortcutInput& in);
