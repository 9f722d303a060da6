// Rules of the application object and the main frame that need no window:
// the window's width and title, the help-file name, the about texts, the
// minimised title, command prompts and tips, and the docking geometry of
// the status dialog.
#pragma once
#include <cstdint>

#include "platform/Text.h"

// The version in three fixed parts.
inline constexpr char16_t kVersionMajor[] = u"4";
inline constexpr char16_t kVersionMinor[] = u"3";
inline constexpr char16_t kVersionRevision[] = u"1";

// Main window width: 692 units for German (1) and French (3), 665 for every
// other language, times the display scale, truncated.
int MainWindowWidth(int language, double displayScale);
// "Delvora Version 4.3".
WString MainWindowTitle();
// A help path ending in ".hlp" (any case) gets "chm" in place of the three
// letters; any other path is returned unchanged.
WString HelpPathWithChm(WStringView path);
// The about box's version text: the product, "Version", major.minor.revision
// and, on a second line, the executable's date ("%s %s"; empty when unknown).
WString AboutVersionText(WStringView dateText);
// The executable's last-write time as "yyyy/MM/dd HH:mm" style local short
// date (at most 10 characters) and 24-hour time (at most 8): empty for a
// path that does not exist.
WString ExecutableDateText(const std::string& path);
// Notice text of the about box.
WString AboutNoticeText();
// Warning shown at start when raw block devices cannot be opened for reading.
WString RawDeviceWarningText();

// ---- main frame ----

// Title of the frame. `minimised` with `progressShown`: message 121 ("%d%%
// complete") during a scan (activity 0), else message 112 ("%d%% saved"),
// the percentage clamped to 0..100, with "s" appended for French above 1;
// otherwise the normal title. sizeType: 0 restored, 1 minimised, 2
// maximised, 3/4 other (then the title is left alone while progress shows:
// the result is empty, meaning "no change").
WString FrameTitle(int sizeType, bool progressShown, int percent, int activity, int language);

// The status-bar prompt of a command (the part before a line break), and
// its tooltip (the part after the first line break, else the whole text).
// `preview` is the view's Properties state 1. Empty when there is none.
WString CommandPrompt(int commandId, bool preview, WStringView folderViewLabel);
WString CommandTip(int commandId, WStringView folderViewLabel);
// The raw text behind both (the message, or the command's own text where
// the message is empty).
WString CommandPromptSource(int commandId, bool preview, WStringView folderViewLabel);

// Minimum tracking size of the frame: 600 x 480 times the scale, truncated.
void FrameMinimumSize(double displayScale, int* width, int* height);
// The start-up size and the minimum size brought inside a screen's
// available area (its width and height), with room kept for the window
// manager's title bar and borders (decoration, each way): a large scale
// on a small screen never puts the title bar off the screen.
void FitFrameToArea(int areaWidth, int areaHeight, int decoration, int* width, int* height, int* minWidth,
                    int* minHeight);

// The change of the frame's height when the docked status panel shows,
// hides or changes its height. `central` is the height the view and the
// panel share, `needed` what they need at least (the view with a usable
// list, plus the panel while it is shown). The panel takes its room from the
// list: the frame grows only by what the list lacks of its minimum, and only
// into `roomBelow` (the screen's available area under it, so it never moves
// up); it gives back, up to `grownBy` (its own earlier growth), what is no
// longer needed.
int DockedPanelHeightChange(int central, int needed, int grownBy, int roomBelow);

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};
// The status dialog's dock gap: 0, or 5 with desktop composition, plus 1 for
// each of the scales 1.125, 1.375 and 1.5 that the display scale reaches.
int StatusDockGap(bool composition, double displayScale);
// Where a docked status dialog goes under the frame. `docked` is cleared
// when the work area's bottom leaves no room (the dialog then sits on the
// work area's bottom).
Rect DockedStatusRect(const Rect& frame, const Rect& workArea, int gap, int height, bool* docked);

// Whether the frame may close now: 0 close, 1 refuse with message 254
// (a worker runs), 2 ask message 330 first (the list has rows).
int CloseDecision(int busyCounter, int64_t listRows);
