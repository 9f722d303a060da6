#include "ui/core/AppRules.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "ui/core/CommandIds.h"

int MainWindowWidth(int language, double displayScale) {
  const int units = (language == 1 || language == 3) ? 692 : 665;
  return int(displayScale * units);
}

WString MainWindowTitle() {
  WString t = kProductName;
  t += u" ";
  t += Msg(437);
  t += u" ";
  t += kVersionMajor;
  t += u".";
  t += kVersionMinor;
  return t;
}

WString HelpPathWithChm(WStringView path) {
  WString p(path);
  const size_t dot = p.rfind(u'.');
  if (dot == WString::npos || p.size() - dot != 4) return p;
  WString ext = p.substr(dot + 1);
  for (auto& c : ext)
    if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
  if (ext == u"hlp") p.replace(dot + 1, 3, u"chm");
  return p;
}

WString AboutVersionText(WStringView dateText) {
  return FormatW(u"%s %s %s.%s.%s\n%s", kProductName, Msg(437), kVersionMajor, kVersionMinor, kVersionRevision,
                 dateText);
}

WString ExecutableDateText(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return WString();
  std::tm tm{};
  const time_t t = st.st_mtime;
  localtime_r(&t, &tm);
  char date[16], clock[16];
  std::strftime(date, sizeof date, "%Y/%m/%d", &tm);
  std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
  return FormatW(u"%s %s", FromUtf8(std::string(date).substr(0, 10)), FromUtf8(std::string(clock).substr(0, 8)));
}

WString AboutNoticeText() {
  return u"Delvora reads its sources for reading only and writes recovered files to a folder you choose.";
}

WString RawDeviceWarningText() {
  return u"Delvora cannot open the disks of this computer for reading.\n"
         u"Run it as root, or as a member of the disk group, to scan disks and volumes; "
         u"disk-image files can be scanned as you are.";
}

WString FrameTitle(int sizeType, bool progressShown, int percent, int activity, int language) {
  if (sizeType == 1 && progressShown) {
    const int p = std::clamp(percent, 0, 100);
    WString t = FormatW(activity == 0 ? Msg(121) : Msg(112), p);
    if (language == 3 && p > 1) t += u"s";
    return t;
  }
  if ((sizeType == 3 || sizeType == 4) && progressShown) return WString();
  return MainWindowTitle();
}

namespace {

// The column names of the Arrange and Filter commands, by column code.
int ColumnNameMessage(int column) {
  static const int ids[7] = {45, 109, 39, 90, 96, 93, 68};
  return column >= 0 && column < 7 ? ids[column] : 0;
}

// The text of a command's own string resource where its message is empty.
WString ResourcePrompt(int id) {
  switch (id) {
    case cmd::kSessionLoad:
      return u"Load a previously saved Delvora session file";
    case cmd::kSessionSave:
      return u"Create a file to store the current state of this session";
    case cmd::kDiskImageLoad:
      return u"Load a disk image file";
    default:
      return WString();
  }
}

WString OrResource(int id, int message) {
  const WString& m = Msg(message);
  return m.empty() ? ResourcePrompt(id) : m;
}

}  // namespace

WString CommandPromptSource(int id, bool preview, WStringView folderViewLabel) {
  if (const int column = cmd::ArrangeColumn(id); column >= 0) return FormatW(Msg(291), Msg(ColumnNameMessage(column)));
  if (id >= cmd::kFilterEditFirst && id < cmd::kFilterEditFirst + 7)
    return FormatW(Msg(552), Msg(ColumnNameMessage(id - cmd::kFilterEditFirst)));
  if (id >= cmd::kFilterClearFirst && id < cmd::kFilterClearFirst + 7)
    return FormatW(Msg(553), Msg(ColumnNameMessage(id - cmd::kFilterClearFirst)));
  switch (id) {
    case 57345:
    case 107:
      return Msg(172) + u" ";
    case cmd::kScan: return Msg(239);
    case cmd::kSave: return Msg(238);
    case cmd::kTrace: return Msg(173);
    case cmd::kFind: return Msg(301);
    case cmd::kProperties: return preview ? Msg(220) : Msg(278);
    case cmd::kInvert: return Msg(279);
    case cmd::kFolderView: return Msg(262).empty() ? WString(folderViewLabel) : Msg(262);
    case cmd::kVolumeAffiliationTip: return Msg(359);
    case cmd::kPartialScanTip: return StripAccelerator(Msg(357));
    case cmd::kSessionLoad: return OrResource(id, 445);
    case cmd::kSessionSave: return OrResource(id, 156);
    case cmd::kDiskImageLoad: return OrResource(id, 446);
    case cmd::kPartialScan: return Msg(401);
    case cmd::kSectorExclusion: return Msg(400);
    case cmd::kUseFolderNames: return Msg(348);
    case cmd::kVolumeAffiliation: return Msg(347);
    case cmd::kOverwriteMode: return Msg(346);
    case cmd::kDeselectAll: return Msg(402);
    case cmd::kSkipDeleted: return Msg(352);
    case cmd::kAdvancedVolumes: return Msg(62);
    case cmd::kDiskImageCreate: return Msg(256);
    case cmd::kStatusPanel: return Msg(562);
    case cmd::kSelectAll: return Msg(280);
    case cmd::kExit: return Msg(223);
    case cmd::kHelpTopics: return Msg(208);
    case cmd::kToolbar: return Msg(268);
    case cmd::kStatusBar: return Msg(237);
    default: return WString();
  }
}

WString CommandPrompt(int id, bool preview, WStringView folderViewLabel) {
  WString t = CommandPromptSource(id, preview, folderViewLabel);
  const size_t nl = t.find(u'\n');
  if (nl != WString::npos && nl >= 1) t.resize(nl);
  return t;
}

WString CommandTip(int id, WStringView folderViewLabel) {
  switch (id) {
    case cmd::kScan: case cmd::kSave: case cmd::kTrace: case cmd::kFolderView: case cmd::kVolumeAffiliationTip:
    case cmd::kPartialScanTip: case cmd::kAdvancedVolumes: case cmd::kStatusPanel: case cmd::kAbout:
    case cmd::kExit: case cmd::kHelpTopics: case cmd::kToolbar: case cmd::kStatusBar:
      break;
    case cmd::kProperties:
      return Msg(278);
    case cmd::kFind:
      return Msg(48);
    default:
      return WString();
  }
  WString t = CommandPromptSource(id, false, folderViewLabel);
  const size_t nl = t.find(u'\n');
  if (nl != WString::npos) t = t.substr(nl + 1);
  return t;
}

void FrameMinimumSize(double scale, int* width, int* height) {
  *width = int(600 * scale);
  *height = int(480 * scale);
}

void FitFrameToArea(int areaWidth, int areaHeight, int decoration, int* width, int* height, int* minWidth,
                    int* minHeight) {
  if (areaWidth <= 0 || areaHeight <= 0) return;
  const int w = std::max(1, areaWidth - decoration), h = std::max(1, areaHeight - decoration);
  *minWidth = std::min(*minWidth, w);
  *minHeight = std::min(*minHeight, h);
  *width = std::min(*width, w);
  *height = std::min(*height, h);
}

int DockedPanelHeightChange(int central, int needed, int grownBy, int roomBelow) {
  if (needed > central) return std::max(0, std::min(needed - central, roomBelow));
  return -std::min(central - needed, std::max(0, grownBy));
}

int StatusDockGap(bool composition, double scale) {
  int g = composition ? 5 : 0;
  for (double step : {1.125, 1.375, 1.5})
    if (scale >= step) g++;
  return g;
}

Rect DockedStatusRect(const Rect& frame, const Rect& work, int gap, int height, bool* docked) {
  Rect r;
  r.left = frame.left + gap;
  r.top = frame.bottom + gap;
  r.right = r.left + frame.Width() - 2 * gap;
  r.bottom = r.top + height;
  if (r.bottom > work.bottom) {
    r.bottom = work.bottom;
    r.top = work.bottom - height;
    if (docked) *docked = false;
  }
  return r;
}

int CloseDecision(int busy, int64_t rows) {
  if (busy > 0) return 1;
  if (rows > 0) return 2;
  return 0;
}
