#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "ui/core/AppRules.h"
#include "ui/core/CommandIds.h"
#include "ui/core/LookInRows.h"
#include "ui/core/MenuModel.h"
#include "ui/core/ViewLayout.h"

namespace {

TEST(AppRules, WindowWidthByLanguageAndScale) {
  struct Case {
    int language;
    double scale;
    int width;
  } cases[] = {{0, 1.0, 665}, {1, 1.0, 692}, {3, 1.0, 692}, {1, 1.25, 865}, {3, 1.25, 865},
               {2, 1.0, 665}, {0, 1.5, 997}, {4, 2.0, 1330}, {9, 0.8, 532}};
  for (const Case& c : cases) EXPECT_EQ(MainWindowWidth(c.language, c.scale), c.width) << c.language << " " << c.scale;
}

TEST(AppRules, TitleAndVersion) {
  GlobalObjectsScope scope;
  EXPECT_EQ(MainWindowTitle(), u"Delvora Version 4.3");
  EXPECT_EQ(AboutVersionText(u""), u"Delvora Version 4.3.1\n");
  EXPECT_EQ(AboutVersionText(u"2024/05/01 10:11:12"), u"Delvora Version 4.3.1\n2024/05/01 10:11:12");
  EXPECT_TRUE(ExecutableDateText("/nonexistent/delvora").empty());
  const WString own = ExecutableDateText("/proc/self/exe");
  ASSERT_EQ(own.size(), 19u);  // "yyyy/MM/dd HH:mm:ss"
  EXPECT_EQ(own[4], u'/');
  EXPECT_EQ(own[10], u' ');
}

TEST(AppRules, HelpPath) {
  EXPECT_EQ(HelpPathWithChm(u"/opt/delvora/delvora.HLP"), u"/opt/delvora/delvora.chm");
  EXPECT_EQ(HelpPathWithChm(u"/opt/delvora/delvora.hlp"), u"/opt/delvora/delvora.chm");
  EXPECT_EQ(HelpPathWithChm(u"/opt/delvora/delvora.chm"), u"/opt/delvora/delvora.chm");
  EXPECT_EQ(HelpPathWithChm(u"/opt/delvora/delvora"), u"/opt/delvora/delvora");
  EXPECT_EQ(HelpPathWithChm(u"/opt/x.hlpx"), u"/opt/x.hlpx");
}

TEST(AppRules, MinimisedTitle) {
  GlobalObjectsScope scope;
  EXPECT_EQ(FrameTitle(1, true, 37, 0, 0), u"37% complete");
  EXPECT_EQ(FrameTitle(1, true, 137, 0, 0), u"100% complete");
  EXPECT_EQ(FrameTitle(1, true, -5, 0, 0), u"0% complete");
  EXPECT_EQ(FrameTitle(1, true, 40, 1, 0), u"40% saved");
  // French: an "s" from 2 % on.
  EXPECT_EQ(FrameTitle(1, true, 1, 0, 3), u"1% complete");
  EXPECT_EQ(FrameTitle(1, true, 2, 0, 3), u"2% completes");
  // Not minimised, or no progress: the normal title.
  EXPECT_EQ(FrameTitle(0, true, 37, 0, 0), u"Delvora Version 4.3");
  EXPECT_EQ(FrameTitle(1, false, 37, 0, 0), u"Delvora Version 4.3");
  EXPECT_EQ(FrameTitle(2, true, 37, 0, 0), u"Delvora Version 4.3");
  // Other size types leave the title while progress shows.
  EXPECT_TRUE(FrameTitle(3, true, 37, 0, 0).empty());
  EXPECT_EQ(FrameTitle(4, false, 37, 0, 0), u"Delvora Version 4.3");
}

TEST(AppRules, PromptsAndTips) {
  GlobalObjectsScope scope;
  EXPECT_EQ(CommandPrompt(57345, false, u""), u"For Help, Press F1 ");
  EXPECT_EQ(CommandPrompt(cmd::kScan, false, u""), u"Look for files");
  EXPECT_EQ(CommandPrompt(cmd::kProperties, true, u""), u"Preview the selected picture in reduced size.");
  EXPECT_EQ(CommandPrompt(cmd::kProperties, false, u""), u"Display the properties of a selected file");
  EXPECT_EQ(CommandPrompt(cmd::kArrangeSize, false, u""), u"Arrange files by Size");
  EXPECT_EQ(CommandPrompt(cmd::kArrangeVolume, false, u""), u"Arrange files by Volume");
  EXPECT_EQ(CommandPrompt(cmd::kFilterEditFirst + 3, false, u""), u"Filter files by Volume");
  EXPECT_EQ(CommandPrompt(cmd::kFilterClearFirst + 6, false, u""), u"Clear filter from Modified Date");
  EXPECT_EQ(CommandPrompt(cmd::kPartialScanTip, false, u""), u"Partial Scan");
  // Prompt part before the line break, tip part after it.
  EXPECT_EQ(CommandPrompt(cmd::kDeselectAll, false, u""), u"Deselect all files");
  EXPECT_EQ(CommandPrompt(cmd::kHelpTopics, false, u""), u"Open Help");
  EXPECT_EQ(CommandTip(cmd::kHelpTopics, u""), u"Help Topics");
  // Session and disk-image loads come from the commands' own strings.
  EXPECT_EQ(CommandPrompt(cmd::kSessionLoad, false, u""), u"Load a previously saved Delvora session file");
  EXPECT_EQ(CommandPrompt(cmd::kDiskImageLoad, false, u""), u"Load a disk image file");
  // Toolbar tips.
  EXPECT_EQ(CommandTip(cmd::kAdvancedVolumes, u""), u"Reconstruct a broken RAID or spanned volume");
  EXPECT_EQ(CommandTip(cmd::kProperties, u""), u"Display the properties of a selected file");
  EXPECT_EQ(CommandTip(cmd::kFolderView, u"Tree &View"), u"Tree &View");
  EXPECT_TRUE(CommandTip(cmd::kFind, u"").empty());
  EXPECT_TRUE(CommandTip(cmd::kSelectAll, u"").empty());  // not among the tip commands
  EXPECT_EQ(CommandTip(cmd::kScan, u""), u"Look for files");
}

TEST(AppRules, DockingAndClosing) {
  EXPECT_EQ(StatusDockGap(false, 1.0), 0);
  EXPECT_EQ(StatusDockGap(true, 1.0), 5);
  EXPECT_EQ(StatusDockGap(false, 1.125), 1);
  EXPECT_EQ(StatusDockGap(true, 1.5), 8);
  const Rect frame{100, 100, 765, 600};
  const Rect work{0, 0, 1920, 1040};
  bool docked = true;
  EXPECT_EQ(DockedStatusRect(frame, work, 5, 250, &docked), (Rect{105, 605, 760, 855}));
  EXPECT_TRUE(docked);
  const Rect low{100, 700, 765, 1000};
  EXPECT_EQ(DockedStatusRect(low, work, 0, 250, &docked), (Rect{100, 790, 765, 1040}));
  EXPECT_FALSE(docked);
  int w = 0, h = 0;
  FrameMinimumSize(1.25, &w, &h);
  EXPECT_EQ(w, 750);
  EXPECT_EQ(h, 600);
  // The start-up size inside the screen: 2x on a 1600x1000 screen (800x500
  // logical) takes the screen less the decoration; a large screen changes
  // nothing.
  struct FitCase {
    int areaW, areaH, w, h, minW, minH, wantW, wantH, wantMinW, wantMinH;
  };
  for (const FitCase& c : {FitCase{800, 500, 665, 520, 600, 480, 665, 468, 600, 468},
                           FitCase{1600, 1000, 665, 520, 600, 480, 665, 520, 600, 480},
                           FitCase{500, 400, 665, 520, 600, 480, 468, 368, 468, 368}}) {
    int fw = c.w, fh = c.h, fmw = c.minW, fmh = c.minH;
    FitFrameToArea(c.areaW, c.areaH, 32, &fw, &fh, &fmw, &fmh);
    EXPECT_EQ(fw, c.wantW);
    EXPECT_EQ(fh, c.wantH);
    EXPECT_EQ(fmw, c.wantMinW);
    EXPECT_EQ(fmh, c.wantMinH);
  }
  // The docked panel takes its room from the list: the frame grows only by
  // what is lacking, within the room below it, and gives back no more than
  // it took.
  struct DockCase {
    int central, needed, grownBy, roomBelow, want;
  };
  for (const DockCase& c : {DockCase{430, 300, 0, 500, 0},       // room enough: unchanged
                            DockCase{430, 430, 0, 500, 0},       // exactly enough
                            DockCase{430, 530, 0, 500, 100},     // grows by the shortfall
                            DockCase{430, 530, 0, 40, 40},       // no further than the screen
                            DockCase{430, 530, 0, 0, 0},         // at the screen's bottom
                            DockCase{430, 530, 0, -20, 0},       // already past it: never up
                            DockCase{530, 430, 100, 500, -100},  // panel hidden: all given back
                            DockCase{530, 480, 100, 500, -50},   // panel smaller: the surplus
                            DockCase{900, 430, 0, 500, 0}}) {    // the user's own size kept
    SCOPED_TRACE(testing::Message() << c.central << " " << c.needed << " " << c.grownBy << " " << c.roomBelow);
    EXPECT_EQ(DockedPanelHeightChange(c.central, c.needed, c.grownBy, c.roomBelow), c.want);
  }
  EXPECT_EQ(CloseDecision(0, 0), 0);
  EXPECT_EQ(CloseDecision(1, 0), 1);  // a worker runs, even with an empty list
  EXPECT_EQ(CloseDecision(0, 3), 2);
}

TEST(ViewLayout, TableScaleAndBand) {
  const LayoutValues en = ScaledLayout(0, 1.0);
  EXPECT_EQ(en.L[5], 110);
  EXPECT_EQ(en.L[10], 120);
  const LayoutValues de = ScaledLayout(1, 1.5);
  EXPECT_EQ(de.L[6], 255);
  EXPECT_EQ(de.L[7], 34);
  // L7 is at least 20.
  EXPECT_EQ(ScaledLayout(0, 0.8).L[7], 20);
  EXPECT_EQ(ScaledLayout(42, 1.0).L[1], 75);  // unknown language: English
  EXPECT_EQ(TopBandHeight(0.8), 118);
  EXPECT_EQ(TopBandHeight(1.0), 130);
  EXPECT_EQ(TopBandHeight(1.5), 173);
}

TEST(ViewLayout, Geometry) {
  const LayoutValues lv = ScaledLayout(0, 1.0);
  ViewMetrics m;
  m.scanButtonWidth = 80;
  const ViewGeometry g = ComputeViewGeometry(665, 400, lv, 1.0, m);
  EXPECT_EQ(g.scanButton.x, 665 - 10 - 80);
  EXPECT_EQ(g.lookInBox.w, 665 - 80 - 40 - 75 - 75 - 10);
  EXPECT_EQ(g.quickRadio.x, g.lookInBox.w + 30 + 75 + 10);
  EXPECT_EQ(g.modeGroup.x, g.quickRadio.x - 10);
  EXPECT_EQ(g.list, (Box{0, 130, 665, 270}));
  EXPECT_EQ(g.tab2.x, 111);
  m.folderDisplay = true;
  const ViewGeometry f = ComputeViewGeometry(665, 400, lv, 1.0, m);
  EXPECT_EQ(f.list.x, 251);
  EXPECT_EQ(f.tree, (Box{0, 130, 248, 270}));
  EXPECT_EQ(f.splitterBar, (Box{248, 130, 3, 270}));
  EXPECT_EQ(f.splitterMax, 625);
}

TEST(ViewLayout, CaptionsAndShortcuts) {
  GlobalObjectsScope scope;
  StepCaptions on = ComputeStepCaptions(true, 0);
  EXPECT_EQ(on.browse, u"&Browse...");
  EXPECT_EQ(on.save, u"&Save");
  EXPECT_EQ(on.scan, u"Scan");
  StepCaptions off = ComputeStepCaptions(false, 0);
  EXPECT_EQ(off.browse, u"Browse...");
  EXPECT_EQ(off.save, u"Save");
  EXPECT_EQ(off.scan, u"&Scan");

  struct Case {
    int key;
    bool ctrl;
    int activity, step;
    int command;
    bool handled;
  } cases[] = {
      {'S', true, 1, 0, 0, true},               // Ctrl+S during a recovery: nothing
      {'P', true, 1, 1, cmd::kSave, true},      // Ctrl+P pauses the recovery
      {'P', true, 0, 0, cmd::kScan, true},      // and the scan
      {'P', true, -1, 0, 0, true},
      {'R', true, -1, 0, 0, true},              // Ctrl+R in step 1: nothing
      {'R', true, -1, 1, cmd::kSave, true},
      {'S', true, -1, 0, cmd::kScan, true},
      {'S', true, -1, 1, 0, true},
      {'A', true, -1, 0, cmd::kSelectAll, true},
      {'D', true, 2, 0, cmd::kDeselectAll, true},
      {'I', true, -1, 0, cmd::kInvert, true},
      {'F', true, -1, 0, cmd::kFind, false},
      {kKeyF3, false, -1, 0, cmd::kProperties, true},
      {'S', false, -1, 0, 0, false},
      {'X', true, -1, 0, 0, false},
  };
  for (const Case& c : cases) {
    ShortcutInput in;
    in.key = c.key;
    in.ctrl = c.ctrl;
    in.activity = c.activity;
    in.step = c.step;
    in.listRows = 5;
    const ShortcutResult r = MapShortcut(in);
    EXPECT_EQ(r.command, c.command) << char(c.key) << " " << c.activity << " " << c.step;
    EXPECT_EQ(r.handled, c.handled) << char(c.key);
  }
  ShortcutInput enter;
  enter.key = kKeyEnter;
  enter.listHasFocus = true;
  enter.listShowsFolders = true;
  EXPECT_EQ(MapShortcut(enter).command, kCmdOpenFolder);
  enter.listShowsFolders = false;
  EXPECT_FALSE(MapShortcut(enter).handled);
}

// Finds a popup or command item by command id, depth first.
const MenuItem* FindItem(const std::vector<MenuItem>& items, int command) {
  for (const MenuItem& i : items) {
    if (i.command == command && i.kind != MenuItem::kSeparator) return &i;
    if (const MenuItem* f = FindItem(i.children, command)) return f;
  }
  return nullptr;
}

TEST(MenuModel, StructureAndTexts) {
  GlobalObjectsScope scope;
  const std::vector<MenuItem> bar = BuildMainMenu();
  ASSERT_EQ(bar.size(), 5u);
  EXPECT_EQ(bar[0].text, u"&File");
  EXPECT_EQ(bar[4].text, u"&Help");
  // Texts from the message table, else the menu's own.
  EXPECT_EQ(FindItem(bar, cmd::kScan)->text, u"&Scan\tCtrl+S");
  EXPECT_EQ(FindItem(bar, cmd::kSave)->text, u"Sa&ve\tCtrl+V");
  EXPECT_EQ(FindItem(bar, cmd::kExit)->text, u"E&xit");
  EXPECT_EQ(FindItem(bar, cmd::kFind)->text, u"&Find (in this window)...\tCtrl+F");
  EXPECT_EQ(FindItem(bar, cmd::kTrace)->text, u"&Trace...");
  EXPECT_EQ(FindItem(bar, cmd::kAbout)->text, u"&About Delvora...");
  EXPECT_EQ(FindItem(bar, cmd::kFolderView)->text, u"Tree &View");
  EXPECT_EQ(FindItem(bar, cmd::kAdvancedVolumes)->text, u"&Advanced Volumes...");
  // Built submenus.
  const MenuItem* session = FindItem(bar, cmd::kSessionPopup);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->text, u"Sessio&n");
  ASSERT_EQ(session->children.size(), 2u);
  EXPECT_EQ(session->children[1].command, cmd::kSessionSave);
  EXPECT_EQ(FindItem(bar, cmd::kDiskImageCreate)->text, u"&Create...");
  EXPECT_EQ(FindItem(bar, cmd::kLoadVhd)->text, u"Load V&HD Files...");
  const MenuItem* arrange = FindItem(bar, cmd::kArrangePopup);
  ASSERT_EQ(arrange->children.size(), 7u);
  EXPECT_EQ(arrange->children[3].command, cmd::kArrangeVolume);
  const MenuItem* filter = FindItem(bar, cmd::kFilterPopup);
  ASSERT_EQ(filter->children.size(), 7u);
  EXPECT_EQ(filter->children[2].text, u"by &Folder");
  EXPECT_EQ(filter->children[2].children[1].command, cmd::kFilterClearFirst + 2);
  EXPECT_EQ(FindItem(bar, cmd::kScanOptionsPopup)->text, u"&Scan");
  EXPECT_EQ(FindItem(bar, cmd::kSaveOptionsPopup)->text, u"Sa&ve");
  // Context menu.
  const auto ctx = BuildContextMenu(true);
  EXPECT_EQ(ctx.front().text, u"&Select");
  EXPECT_EQ(ctx.back().text, u"Pr&eview\tF3");
  EXPECT_EQ(BuildContextMenu(false).back().text, u"Prop&erties\tF3");
}

TEST(LookInRows, VolumeRowStaysUnder64) {
  GlobalObjectsScope scope;
  EXPECT_EQ(VolumeRowText(u"/dev/sda1", 0, u"", u""), u"/dev/sda1");
  const WString row = VolumeRowText(u"/dev/sda1", int64_t(500107862016), u"DATA", u"/mnt/data");
  EXPECT_EQ(row.substr(0, 10), u"/dev/sda1 ");
  EXPECT_NE(row.find(u" - DATA"), WString::npos);
  EXPECT_NE(row.find(u"[/mnt/data]"), WString::npos);
  const WString longLabel(70, u'x');
  const WString cut = VolumeRowText(u"/dev/nvme0n1p2", 1 << 20, longLabel, u"");
  EXPECT_LT(cut.size(), 64u);
  EXPECT_EQ(cut.find(u"xxxx"), WString::npos);
}

}  // namespace
