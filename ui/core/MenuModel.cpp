#include "ui/core/MenuModel.h"

#include "foundation/Messages.h"
#include "ui/core/CommandIds.h"

namespace {

struct Stored {
  int command;
  const char16_t* text;
};

// The menu's own item texts, shown where the command's message is empty.
const Stored kStored[] = {
    {cmd::kScan, u"&Search\t\tCtrl+S"},
    {cmd::kSave, u"&Recover\tCtrl+R"},
    {cmd::kAdvancedVolumes, u"&Advanced Volumes"},
    {cmd::kProperties, u"Prop&erties..."},
    {cmd::kExit, u"E&xit"},
    {cmd::kFind, u"&Find (in this window)...\tCtrl+F"},
    {cmd::kSelectAll, u"Select &All\tCtrl+A"},
    {cmd::kDeselectAll, u"&Deselect All\tCtrl+D"},
    {cmd::kInvert, u"&Invert Select"},
    {cmd::kTrace, u"&Trace..."},
    {cmd::kToolbar, u"&Toolbar"},
    {cmd::kStatusBar, u"&Status Bar"},
    {cmd::kStatusPanel, u"Status &Panel"},
    {cmd::kFolderView, u"Folder &View"},
    {cmd::kHelpTopics, u"&Help Topics"},
    {cmd::kAbout, u"&About Delvora..."},
};

// Message of a command's item (0 when it has none), with "..." appended
// for the commands whose dialog text needs it.
struct Translation {
  int command;
  int message;
  bool dots;
};
const Translation kTranslate[] = {
    {32778, 86, false},
    {cmd::kScan, 302, false},
    {cmd::kSave, 303, false},
    {cmd::kTrace, 36, true},
    {cmd::kFind, 48, false},
    {cmd::kProperties, 305, false},
    {cmd::kInvert, 276, false},
    {cmd::kFolderView, 261, false},
    {cmd::kArrangePopup, 285, false},
    {cmd::kVolumeAffiliationTip, 359, false},
    {cmd::kPartialScanTip, 357, false},
    {cmd::kDeselectAll, 377, false},
    {cmd::kAdvancedVolumes, 33, false},
    {cmd::kStatusPanel, 561, false},
    {cmd::kSelectAll, 277, false},
    {cmd::kAbout, 308, true},
    {cmd::kExit, 43, false},
    {cmd::kHelpTopics, 52, false},
    {cmd::kToolbar, 267, false},
    {cmd::kStatusBar, 95, false},
};

MenuItem Item(int command, WString text) {
  MenuItem m;
  m.kind = MenuItem::kCommand;
  m.command = command;
  m.text = std::move(text);
  return m;
}
MenuItem Sep() {
  MenuItem m;
  m.kind = MenuItem::kSeparator;
  return m;
}
MenuItem Popup(int replaced, WString text, std::vector<MenuItem> children) {
  MenuItem m;
  m.kind = MenuItem::kPopup;
  m.command = replaced;
  m.text = std::move(text);
  m.children = std::move(children);
  return m;
}
MenuItem Cmd(int command) { return Item(command, MenuItemText(command)); }
WString Dots(int message) { return Msg(message) + u"..."; }

}  // namespace

WString MenuItemText(int command) {
  for (const Translation& t : kTranslate) {
    if (t.command != command) continue;
    if (!Msg(t.message).empty()) return t.dots ? Msg(t.message) + u"..." : Msg(t.message);
    break;
  }
  for (const Stored& s : kStored)
    if (s.command == command) return s.text;
  return WString();
}

std::vector<MenuItem> BuildMainMenu() {
  std::vector<MenuItem> bar;
  // File.
  std::vector<MenuItem> session = {Item(cmd::kSessionLoad, Msg(50)), Item(cmd::kSessionSave, Msg(216))};
  std::vector<MenuItem> image = {Item(cmd::kDiskImageLoad, Msg(50)), Item(cmd::kDiskImageCreate, Dots(108)), Sep(),
                                 Item(cmd::kLoadVmdk, Dots(623)), Item(cmd::kLoadVhd, Dots(624))};
  bar.push_back(Popup(0, u"&File",
                      {Cmd(cmd::kScan), Cmd(cmd::kSave), Cmd(cmd::kAdvancedVolumes), Sep(), Cmd(cmd::kProperties),
                       Sep(), Popup(cmd::kSessionPopup, Msg(16), session), Sep(),
                       Popup(cmd::kDiskImagePopup, Msg(210), image), Sep(), Cmd(cmd::kExit)}));
  // Edit.
  bar.push_back(Popup(0, u"&Edit",
                      {Cmd(cmd::kFind), Sep(), Cmd(cmd::kSelectAll), Cmd(cmd::kDeselectAll), Cmd(cmd::kInvert)}));
  // Options.
  std::vector<MenuItem> scan = {Item(cmd::kPartialScan, Dots(357)), Item(cmd::kSectorExclusion, Dots(69)), Sep(),
                                Item(cmd::kSkipDeleted, Msg(382))};
  std::vector<MenuItem> save = {Item(cmd::kUseFolderNames, Msg(86)), Item(cmd::kVolumeAffiliation, Dots(359)),
                                Item(cmd::kOverwriteMode, Dots(217))};
  bar.push_back(Popup(0, u"&Options",
                      {Popup(cmd::kScanOptionsPopup, Msg(91), scan), Popup(cmd::kSaveOptionsPopup, Msg(615), save),
                       Sep(), Cmd(cmd::kTrace)}));
  // View.
  static const int arrangeMsg[7] = {286, 287, 288, 75, 289, 290, 293};
  std::vector<MenuItem> arrange, filter;
  for (int i = 0; i < 7; i++) {
    arrange.push_back(Item(cmd::kArrangeByColumn[size_t(i)], Msg(arrangeMsg[i])));
    filter.push_back(Popup(cmd::kFilterPopupFirst + i, Msg(arrangeMsg[i]),
                           {Item(cmd::kFilterEditFirst + i, Msg(516)), Item(cmd::kFilterClearFirst + i, Msg(517))}));
  }
  bar.push_back(Popup(0, u"&View",
                      {Cmd(cmd::kToolbar), Cmd(cmd::kStatusBar), Cmd(cmd::kStatusPanel), Sep(),
                       Popup(cmd::kArrangePopup, Msg(285), arrange), Popup(cmd::kFilterPopup, Msg(556), filter), Sep(),
                       Cmd(cmd::kFolderView)}));
  // Help.
  bar.push_back(Popup(0, u"&Help", {Cmd(cmd::kHelpTopics), Sep(), Cmd(cmd::kAbout)}));
  return bar;
}

std::vector<MenuItem> BuildContextMenu(bool preview) {
  return {Item(cmd::kSelect, Msg(378)),     Item(cmd::kDeselect, Msg(379)), Sep(),
          Item(cmd::kSelectAll, Msg(277)),  Item(cmd::kDeselectAll, Msg(377)), Item(cmd::kInvert, Msg(276)), Sep(),
          Item(cmd::kProperties, Msg(preview ? 440 : 305))};
}
