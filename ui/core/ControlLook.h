// Rules of the program's own controls that need no window: which state
// picture and which colour each control draws in, where its texts go, the
// splitter's clamping, the status bar's pane width, the viewing tips'
// header and layout, the splash texts, and the menu images.
#pragma once
#include <array>
#include <cstdint>

#include "platform/Text.h"

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// ---- glass and tab buttons ----
// Skin state: pressed 3, else disabled 0, else hovering 2, else 1.
int GlassStateIndex(bool pressed, bool disabled, bool hovering);
Rgb GlassTextColour(bool disabled, bool hovering);
enum class IconChoice { kNone, kNormal, kDisabled, kHover };
// Disabled with a disabled icon: that; hovering with a hover icon: that;
// otherwise the normal icon (a disabled button without one shows it too).
IconChoice GlassIcon(bool disabled, bool hovering, bool hasDisabledIcon, bool hasHoverIcon);
// Tab skin state: selected 1, hovering 2, else 0.
int TabStateIndex(bool selected, bool hovering);
// Selected or hovering black; else disabled (187, 187, 187); else white. A
// selected tab is never drawn disabled.
Rgb TabTextColour(bool selected, bool hovering, bool disabled);
// Text rectangle edges moved in: selected: the bottom 5 up; else the top
// 4 down. Focus rectangle top: 4 (selected) or 12 down.
struct TabInsets {
  int textTop = 0, textBottom = 0, focusTop = 0;
};
TabInsets TabTextInsets(bool selected);

// ---- image button ----
// Themed push-button state: disabled 4, pressed 3, hot 2, defaulted 5
// (focused), else normal 1.
int ImgButtonThemeState(bool disabled, bool pressed, bool hovering, bool focused);
// Disabled: the disabled image or none; hovering: the hover image or the
// normal one; otherwise the normal image.
IconChoice ImgButtonImage(bool disabled, bool hovering, bool hasDisabled, bool hasHover);
// Text colour of an enabled button with its own colour: (8, 69, 34) while
// pressed with the hand cursor, else the colour.
Rgb ImgButtonTextColour(Rgb colour, bool pressed, bool handCursor);
// Where the image and the text go inside a button of width bw and height
// bh: image w x h, text height th.
struct ImgButtonLayout {
  int imageX = 0, imageY = 0;
  int textTop = 0, textLeft = 0;
};
ImgButtonLayout LayOutImgButton(int bw, int bh, int w, int h, int textHeight, bool imageAbove, bool hasText,
                                double scale);

// ---- check box and radio ----
// Themed state: checked pressed 7, hot 6, normal 5, disabled 8; unchecked
// 3, 2, 1, 4 (pressed before hot; disabled overrides).
int CheckBoxThemeState(bool checked, bool pressed, bool hovering, bool disabled);
// Text colour: the own colour when enabled, else (170, 170, 170).
Rgb CheckTextColour(Rgb colour, bool enabled);

// ---- statics, group box, splitter ----
Rgb StaticTextColour(Rgb colour, bool enabledLook);
Rgb GroupCaptionColour(Rgb colour, bool enabled);
inline constexpr Rgb kGroupFrameColour{204, 221, 255};
// The position the splitter reports: pos clamped to lo..hi.
int ClampSplitter(int pos, int lo, int hi);

// ---- Look-in box, closed ----
// 4 disabled, else 3 pressed, else 2 hot, else 1 normal.
int LookInFaceState(bool disabled, bool pressed, bool hot);
// Focus shows with the focus and the list closed.
bool LookInShowsFocus(bool hasFocus, bool listOpen);
// The selection shows only when it is an item (item data > 0).
bool LookInShowsText(int selection, int itemData);
enum class FaceColour { kHighlightText, kWindowText, kGrayText };
FaceColour LookInTextColour(bool showsFocus, bool enabled);

// ---- status bar ----
// The pane's width: 0 for an empty text, else the text width + 2.
int StatusPaneWidth(bool empty, int textWidth);
// The idle update: a pane text other than message 172 becomes the
// remembered text; the pane then shows the remembered text.
WString StatusIdleText(WStringView paneText, WString& remembered);

// ---- viewing tips ----
// Header column widths (Filename, Type, Folder, Volume, Status, Size,
// Modified Date) for a language, times the scale, truncated.
std::array<int, 7> ViewingHeaderWidths(int language, double scale);
extern const int kViewingHeaderMessages[7];
// The height of a tip: its text height times (text width / control width
// + 1), integer division.
int ViewingTipHeight(int textHeight, int textWidth, int controlWidth);
struct ViewingLayout {
  int tip1Y = 0, tip1H = 0, image1Y = 0;
  int tip2Y = 0, tip2H = 0, headerY = 0, headerH = 0;
  int lineY = 0;  // where the etched line goes; the text and OK follow it
};
ViewingLayout LayOutViewingTips(int tip1TextH, int tip1TextW, int tip2TextH, int tip2TextW, int controlWidth,
                                double scale);

// ---- splash ----
struct PixRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const PixRect&) const = default;
};
// The product line from x = min(200, 510 - text width), y 115 to 518,
// 120 + text height.
PixRect SplashProductRect(int textWidth, int textHeight);
// The notice from x 160 to 520, bottom 310, top 310 - text height x
// ceil(text width / 361).
PixRect SplashNoticeRect(int textWidth, int textHeight);
inline constexpr int kSplashWidth = 520, kSplashHeight = 320;
inline constexpr int kSplashMilliseconds = 4500;

// ---- menus ----
// Images of the menu: 0 Scan, 1 Save, 2 running, then the toolbar's images
// + 3. toolbarImage: the image the toolbar button of the command shows, -1
// when the command has no toolbar button.
int GetImageIndex(int command, int activity, int toolbarImage);
// Toolbar button image of a toolbar command by the view's state: Advanced
// Volumes 4, Properties 0 (1 in preview), Folder View 2 (3 in folder
// display), Help Topics 6; -1 for the others.
int ToolbarImageOf(int command, bool preview, bool folderDisplay);
// The shortcut the view binds to a command ("Ctrl+R", "F3"), empty when
// none: this, not the text after a tab in a menu text, is what shows.
// activity: the running activity (Scan and Save read "Ctrl+P" while they
// run, as Pause).
WString BoundShortcutText(int command, int activity = -1);
