#include "ui/core/ControlLook.h"

#include <algorithm>

#include "foundation/Messages.h"
#include "platform/Format.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ViewLayout.h"

int GlassStateIndex(bool pressed, bool disabled, bool hovering) {
  if (pressed) return 3;
  if (disabled) return 0;
  return hovering ? 2 : 1;
}

Rgb GlassTextColour(bool disabled, bool hovering) {
  if (disabled) return {187, 187, 221};
  return hovering ? Rgb{0, 0, 255} : Rgb{0, 0, 0};
}

IconChoice GlassIcon(bool disabled, bool hovering, bool hasDisabledIcon, bool hasHoverIcon) {
  if (disabled && hasDisabledIcon) return IconChoice::kDisabled;
  if (!disabled && hovering && hasHoverIcon) return IconChoice::kHover;
  return IconChoice::kNormal;
}

int TabStateIndex(bool selected, bool hovering) {
  if (selected) return 1;
  return hovering ? 2 : 0;
}

Rgb TabTextColour(bool selected, bool hovering, bool disabled) {
  if (selected || hovering) return {0, 0, 0};
  if (disabled) return {187, 187, 187};
  return {255, 255, 255};
}

TabInsets TabTextInsets(bool selected) {
  TabInsets t;
  if (selected) {
    t.textBottom = 5;
    t.focusTop = 4;
  } else {
    t.textTop = 4;
    t.focusTop = 12;
  }
  return t;
}

int ImgButtonThemeState(bool disabled, bool pressed, bool hovering, bool focused) {
  if (disabled) return 4;
  if (pressed) return 3;
  if (hovering) return 2;
  if (focused) return 5;
  return 1;
}

IconChoice ImgButtonImage(bool disabled, bool hovering, bool hasDisabled, bool hasHover) {
  if (disabled) return hasDisabled ? IconChoice::kDisabled : IconChoice::kNone;
  if (hovering && hasHover) return IconChoice::kHover;
  return IconChoice::kNormal;
}

Rgb ImgButtonTextColour(Rgb colour, bool pressed, bool handCursor) {
  return pressed && handCursor ? Rgb{8, 69, 34} : colour;
}

ImgButtonLayout LayOutImgButton(int bw, int bh, int w, int h, int th, bool imageAbove, bool hasText,
                                double scale) {
  ImgButtonLayout l;
  if (imageAbove) {
    int g = (bh - h - th) / 3;
    if (g > 5) g = (bh - h - th - 5) / 2;
    l.imageX = (bw - w) / 2;
    l.imageY = g;
    l.textTop = g + h + std::min(g, 5);
    l.textLeft = 0;
  } else {
    const int g = (bh - h) / 2;
    l.imageX = hasText ? int(8 * scale) : (bw - w) / 2;
    l.imageY = g;
    l.textLeft = w + 3;
    l.textTop = (bh - th) / 2;
  }
  return l;
}

int CheckBoxThemeState(bool checked, bool pressed, bool hovering, bool disabled) {
  if (disabled) return checked ? 8 : 4;
  if (pressed) return checked ? 7 : 3;
  if (hovering) return checked ? 6 : 2;
  return checked ? 5 : 1;
}

Rgb CheckTextColour(Rgb colour, bool enabled) { return enabled ? colour : Rgb{170, 170, 170}; }
Rgb StaticTextColour(Rgb colour, bool enabledLook) { return enabledLook ? colour : Rgb{170, 170, 170}; }
Rgb GroupCaptionColour(Rgb colour, bool enabled) { return enabled ? colour : Rgb{170, 170, 170}; }

int ClampSplitter(int pos, int lo, int hi) {
  if (hi < lo) hi = lo;
  return std::clamp(pos, lo, hi);
}

int LookInFaceState(bool disabled, bool pressed, bool hot) {
  if (disabled) return 4;
  if (pressed) return 3;
  return hot ? 2 : 1;
}

bool LookInShowsFocus(bool hasFocus, bool listOpen) { return hasFocus && !listOpen; }
bool LookInShowsText(int selection, int itemData) { return selection >= 0 && itemData > 0; }

FaceColour LookInTextColour(bool showsFocus, bool enabled) {
  if (!enabled) return FaceColour::kGrayText;
  return showsFocus ? FaceColour::kHighlightText : FaceColour::kWindowText;
}

int StatusPaneWidth(bool empty, int textWidth) { return empty ? 0 : textWidth + 2; }

WString StatusIdleText(WStringView paneText, WString& remembered) {
  if (remembered.empty()) remembered = Msg(172);
  if (paneText != WStringView(Msg(172))) remembered = WString(paneText);
  return remembered;
}

const int kViewingHeaderMessages[7] = {45, 109, 39, 90, 96, 93, 68};

std::array<int, 7> ViewingHeaderWidths(int language, double scale) {
  static const int kWidths[6][7] = {
      {95, 65, 80, 65, 65, 65, 105},   // 0, 1, 6, 7
      {95, 65, 80, 80, 65, 65, 110},   // 2, 9
      {95, 50, 70, 65, 65, 60, 135},   // 3
      {85, 55, 75, 65, 65, 85, 110},   // 4
      {110, 50, 70, 65, 60, 60, 140},  // 5
      {110, 45, 65, 60, 60, 70, 125},  // 8
  };
  int row = 0;
  switch (language) {
    case 2: case 9: row = 1; break;
    case 3: row = 2; break;
    case 4: row = 3; break;
    case 5: row = 4; break;
    case 8: row = 5; break;
    default: row = 0;
  }
  std::array<int, 7> w{};
  for (int i = 0; i < 7; i++) w[size_t(i)] = int(kWidths[row][i] * scale);
  return w;
}

int ViewingTipHeight(int textHeight, int textWidth, int controlWidth) {
  if (controlWidth <= 0) return textHeight;
  return textHeight * (textWidth / controlWidth + 1);
}

ViewingLayout LayOutViewingTips(int t1h, int t1w, int t2h, int t2w, int controlWidth, double scale) {
  ViewingLayout l;
  int y = 20;
  l.tip1Y = y;
  l.tip1H = ViewingTipHeight(t1h, t1w, controlWidth);
  l.image1Y = y + l.tip1H + 6;
  y = l.image1Y + 26 + 20;
  l.tip2Y = y;
  l.tip2H = ViewingTipHeight(t2h, t2w, controlWidth);
  l.headerY = y + l.tip2H + 6;
  l.headerH = int(20 * scale);
  y = l.headerY + l.headerH + 20;
  l.lineY = y;
  return l;
}

PixRect SplashProductRect(int textWidth, int textHeight) {
  return {std::min(200, 510 - textWidth), 115, 518, 120 + textHeight};
}

PixRect SplashNoticeRect(int textWidth, int textHeight) {
  const int lines = (textWidth + 360) / 361;
  return {160, 310 - textHeight * std::max(lines, 0), 520, 310};
}

int GetImageIndex(int command, int activity, int toolbarImage) {
  if (command == cmd::kScan) return activity == 0 ? 2 : 0;
  if (command == cmd::kSave) return activity == 1 ? 2 : 1;
  return toolbarImage >= 0 ? toolbarImage + 3 : -1;
}

int ToolbarImageOf(int command, bool preview, bool folderDisplay) {
  switch (command) {
    case cmd::kAdvancedVolumes: return 4;
    case cmd::kProperties: return preview ? 1 : 0;
    case cmd::kFolderView: return folderDisplay ? 3 : 2;
    case cmd::kHelpTopics: return 6;
    default: return -1;
  }
}

WString BoundShortcutText(int command, int activity) {
  ShortcutInput in;
  in.listEnabled = true;
  in.listRows = 1;
  in.activity = activity;
  in.step = command == cmd::kSave ? 1 : 0;
  in.key = kKeyF3;
  if (MapShortcut(in).command == command) return u"F3";
  in.ctrl = true;
  // Pause first: while Scan or Save runs, Ctrl+P is the key that reaches it.
  for (char k : {'P', 'A', 'D', 'I', 'F', 'R', 'S'}) {
    in.key = k;
    if (MapShortcut(in).command == command) return FormatW(u"Ctrl+%c", int(k));
  }
  return {};
}
