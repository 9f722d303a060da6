// Rules of the properties dialog, the Look-for box, the own controls, the
// status bar, the viewing tips, the splash and the menu images.
#include <gtest/gtest.h>

#include "foundation/Messages.h"
#include "platform/Format.h"
#include "ui/core/CheckComboRules.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ControlLook.h"
#include "ui/core/PropertyRules.h"

namespace {

class OwnUiRules : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitMessageTable(); }
};

// ---- preview size ----

TEST_F(OwnUiRules, PreviewSizeTable) {
  struct Case {
    int W, H;
    double scale;
    bool ok;
    int w, h, minBox;
  } cases[] = {
      {4000, 3000, 1.0, true, 320, 240, 160},  // reduced to the bitmap
      {1000, 250, 1.0, true, 320, 80, 160},    // wide: the width decides
      {100, 100, 1.0, true, 100, 100, 160},    // small: its own size
      {640, 100, 1.0, true, 320, 50, 160},     // H < 240 but W >= 320
      {100, 100, 1.25, true, 100, 100, 200},   // the box grows with the scale
      {300, 4000, 1.0, true, 18, 240, 160},    // tall
      {320, 240, 1.0, true, 320, 240, 160},    // exactly the bitmap
      {319, 239, 1.0, true, 319, 239, 160},
      {1, 100000, 1.0, true, 1, 240, 160},     // a sliver keeps one pixel
      {100000, 1, 1.0, true, 320, 1, 160},
      {0, 3000, 1.0, false, 0, 0, 160},        // a decoder's width of 0
      {4000, 0, 1.0, false, 0, 0, 160},
      {-5, 10, 1.0, false, 0, 0, 160},
  };
  for (const Case& c : cases) {
    const PreviewDims d = PreviewSize(c.W, c.H, c.scale);
    EXPECT_EQ(d.ok, c.ok) << c.W << "x" << c.H;
    EXPECT_EQ(d.width, c.w) << c.W << "x" << c.H;
    EXPECT_EQ(d.height, c.h) << c.W << "x" << c.H;
    EXPECT_EQ(d.minBoxWidth, c.minBox) << c.W << "x" << c.H;
    EXPECT_LE(d.width, 320);
    EXPECT_LE(d.height, 240);
  }
}

TEST_F(OwnUiRules, PreviewBoxCentresSmallPictures) {
  const PreviewBox b = PreviewBoxFor(PreviewSize(100, 100, 1.0), 160 + 3 * 8 + 23, 8);
  EXPECT_EQ(b.width, 160);
  EXPECT_EQ(b.height, 160 + 3 * 8 + 23 - 16);
  EXPECT_EQ(b.offsetX, 30);
  EXPECT_EQ(b.offsetY, (b.height - 100) / 2);
  const PreviewBox big = PreviewBoxFor(PreviewSize(4000, 3000, 1.0), 100, 8);
  EXPECT_EQ(big.width, 320);
  EXPECT_EQ(big.height, 240);
  EXPECT_EQ(big.offsetX, 0);
  EXPECT_EQ(big.offsetY, 0);
}

// ---- property rows ----

TEST_F(OwnUiRules, FileRowTable) {
  PropertyRecord r;
  r.flags = PropertyRecord::kDetails | PropertyRecord::kNumber;
  r.name = u"a.jpg";
  r.folder = u"C:\\Pictures";
  r.dateText = u"2024/01/02 03:04";
  r.sizeText = u"12.00 KB";
  r.recordNumber = 42;
  r.numberKind = 1;
  r.location = 0x100000001LL;
  PropertyRows rows = FillPropertyRows(r, false);
  EXPECT_EQ(rows[0], (PropertyRow{u"Filename", u"a.jpg"}));
  EXPECT_EQ(rows[1], (PropertyRow{u"Folder", u"C:\\Pictures"}));
  EXPECT_EQ(rows[2], (PropertyRow{u"Modified Date", u"2024/01/02 03:04"}));
  EXPECT_EQ(rows[3], (PropertyRow{u"Size", u"12.00 KB"}));
  EXPECT_EQ(rows[4], (PropertyRow{u"Record Number", u"42"}));
  EXPECT_EQ(rows[5], PropertyRow{});
  EXPECT_EQ(rows[6], (PropertyRow{u"MFT Entry Sector Number", u"4294967297"}));
  // FAT: the low 32 bits, unsigned; other kinds read "Inode number".
  struct Kind {
    uint8_t kind;
    int64_t location;
    const char16_t* label;
    const char16_t* value;
  } kinds[] = {{2, int64_t(0xFFFFFFFF00000005ULL), u"Cluster Number", u"5"},
               {3, 0xFFFFFFFFLL, u"Cluster Number", u"4294967295"},
               {4, 0x700000007LL, u"Inode number", u"7"},
               {0, -3, u"Inode number", u"-3"}};
  for (const Kind& k : kinds) {
    r.numberKind = k.kind;
    r.location = k.location;
    EXPECT_EQ(FillPropertyRows(r, false)[6], (PropertyRow{k.label, k.value})) << int(k.kind);
  }
  // No record number: row 4 empty; folder row: rows 2, 4, 6 unlabelled.
  r.recordNumber = -1;
  EXPECT_EQ(FillPropertyRows(r, false)[4].value, u"");
  r.displayMode = 1;
  rows = FillPropertyRows(r, false);
  EXPECT_EQ(rows[2].label, u"");
  EXPECT_EQ(rows[4].label, u"");
  EXPECT_EQ(rows[6], PropertyRow{});
}

TEST_F(OwnUiRules, RunsRowOnlyWithTraceAndCapped) {
  PropertyRecord r;
  r.flags = PropertyRecord::kDetails | PropertyRecord::kNumber;
  r.recordNumber = 5;
  r.numberKind = 1;
  r.nodeData = {3, 0, 0, 0, 0x11, 0xAB, 0x05, 0x99};
  EXPECT_EQ(FillPropertyRows(r, false)[5], PropertyRow{});
  EXPECT_EQ(FillPropertyRows(r, true)[5], (PropertyRow{u"Runs", u"11ab05"}));
  // A stored length past the block's end is cut to the block.
  r.nodeData = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
  EXPECT_EQ(FillPropertyRows(r, true)[5].value, u"0102");
  // The display limit.
  std::vector<uint8_t> big(4 + 100000, 0xEE);
  big[0] = 0xA0, big[1] = 0x86, big[2] = 0x01;  // 100000
  EXPECT_EQ(RunsHexText(big.data(), big.size()).size(), kRunsDisplayLimit * 2);
  EXPECT_EQ(RunsHexText(big.data(), 3), u"");
  EXPECT_EQ(RunsHexText(nullptr, 0), u"");
}

TEST_F(OwnUiRules, VolumeRowTable) {
  PropertyRecord r;
  r.flags = PropertyRecord::kVolume;
  r.displayMode = 2;
  r.volume.label = u"DATA";
  r.volume.letterCode = 93 + 2;
  r.volume.firstSector = 2048;
  r.volume.sectorCount = 20480;
  r.volume.fileSystem = u"NTFS";
  const PropertyRows rows = FillPropertyRows(r, true);
  EXPECT_EQ(rows[0], (PropertyRow{u"Label", u"DATA"}));
  EXPECT_EQ(rows[1], (PropertyRow{u"Volume", u"2"}));
  EXPECT_EQ(rows[2], PropertyRow{});
  EXPECT_EQ(rows[3], (PropertyRow{u"Starting sector", u"2048"}));
  EXPECT_EQ(rows[4], (PropertyRow{u"Capacity", u"10.00 MB (20480 sectors)"}));
  EXPECT_EQ(rows[5], (PropertyRow{u"File system", u"NTFS"}));
  EXPECT_EQ(rows[6], PropertyRow{});
  EXPECT_EQ(VolumeLetterText('C'), u"C:");
  EXPECT_EQ(VolumeLetterText(93), u"0");
  EXPECT_EQ(VolumeLetterText(255), u"162");
  EXPECT_EQ(VolumeLetterText(256), FormatW(u"%c:", 256));
  // Overflowing products show "?".
  EXPECT_EQ(CapacityText(INT64_MAX / 2, 4096), u"? (4611686018427387903 sectors)");
  EXPECT_EQ(CapacityText(-1, 512), u"? (-1 sectors)");
  EXPECT_EQ(CapacityText(8, 4096), u"32.00 KB (8 sectors)");
}

// ---- Look-for text ----

TEST_F(OwnUiRules, TidyTable) {
  struct Case {
    const char16_t *in, *out;
  } cases[] = {
      {u"  *.jpg; *.png  ", u"*.jpg;*.png"},
      {u"*.jpg , *.png", u"*.jpg,*.png"},
      {u"*.jpg,,,*.png;;*.gif", u"*.jpg,*.png;*.gif"},
      {u"***.doc", u"*.doc"},
      {u"a*?*b", u"a*b"},
      {u"?*x", u"*x"},
      {u", ,", u","},
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(TidyLookForText(c.in), c.out) << ToUtf8(c.in);
}

TEST_F(OwnUiRules, FindAndClassifyTables) {
  struct Find {
    const char16_t *text, *pattern;
    int at;
  } finds[] = {
      {u"*.jpg,*.png", u"*.png", 6}, {u"*.jpg,*.png", u"*.pn", -1}, {u"*.jpeg,*.jpg", u"*.jpg", 7},
      {u"*", u"*", 0},               {u"a*,*", u"*", 3},            {u"", u"*", -1},
      {u"*.JPG", u"*.jpg", -1},
  };
  for (const Find& f : finds) EXPECT_EQ(FindLookForPattern(f.text, f.pattern), f.at) << ToUtf8(f.text);
  struct Cls {
    const char16_t* p;
    int c;
  } cls[] = {{u"*", -1}, {u"*?", -1}, {u"x**", -1}, {u"?", 0},   {u"*.jpg", 1}, {u"*.", 1},
             {u"*.*", 0}, {u"*.a?", 0}, {u"a.jpg", 0}, {u"*.t\"x", 0}, {u"*.tar gz", 1}, {u"", 0}};
  for (const Cls& c : cls) EXPECT_EQ(ClassifyLookForPattern(c.p), c.c) << ToUtf8(c.p);
}

TEST_F(OwnUiRules, UpdateAndSplitTables) {
  EXPECT_EQ(UpdateLookForText(u"", u"jpg", true), u"*.jpg");
  EXPECT_EQ(UpdateLookForText(u"*.jpg", u"png", true), u"*.jpg,*.png");
  EXPECT_EQ(UpdateLookForText(u"*.jpg,*.png", u"png", true), u"*.jpg,*.png");
  EXPECT_EQ(UpdateLookForText(u"*.jpg,*.png", u"jpg", false), u"*.png");
  EXPECT_EQ(UpdateLookForText(u"*.jpg;;*.png", u"png", false), u"*.jpg");
  EXPECT_EQ(UpdateLookForText(u"*,*.jpg", u"*", false), u"*.jpg");
  EXPECT_EQ(UpdateLookForText(u"*.jpg", u"pg", false), u"*.jpg");
  struct Split {
    const char16_t *text, *names, *folders, *scanFolders;
  } splits[] = {
      {u"C:\\Docs\\*.doc", u"*.doc", u"C:\\Docs\\", u"C:\\Docs\\"},
      {u"C:/Docs/*.doc", u"*.doc", u"C:\\Docs\\", u"C:\\Docs\\"},
      {u"C:\\Docs\\", u"*", u"C:\\Docs\\", u"C:\\Docs\\"},
      {u"*.jpg,*.png", u"*.jpg,*.png", u"*,*", u""},
      {u"C:\\A\\*.doc;D:\\B\\*.xls", u"*.doc,*.xls", u"C:\\A\\,D:\\B\\", u""},
      {u"*.jpg", u"*.jpg", u"*", u""},
  };
  for (const Split& s : splits) {
    const LookForSplit r = SplitLookForText(s.text);
    EXPECT_EQ(r.names, s.names) << ToUtf8(s.text);
    EXPECT_EQ(r.folders, s.folders) << ToUtf8(s.text);
    EXPECT_EQ(ScanFolderPatterns(r), s.scanFolders) << ToUtf8(s.text);
  }
}

TEST_F(OwnUiRules, CheckComboModelCases) {
  CheckComboModel m;
  m.SetLines({u"*", u"jpg", u"png", u"jpeg", u"pg"});
  // Two lines on an empty text, then the first unchecked.
  m.Toggle(1);
  m.Toggle(2);
  EXPECT_EQ(m.Text(), u"*.jpg,*.png");
  m.Toggle(1);
  EXPECT_EQ(m.Text(), u"*.png");
  EXPECT_FALSE(m.Checked(1));
  EXPECT_TRUE(m.Checked(2));
  // Checking a line while line 0 is checked unchecks line 0 and its "*".
  m.SetAll(true);
  EXPECT_EQ(m.Text(), u"*");
  m.Toggle(3);
  EXPECT_FALSE(m.Checked(0));
  EXPECT_EQ(m.Text(), u"*.jpeg");
  // "*" among others: line 0 and "*" alone after the drop-down.
  m.SetText(u"*.jpg, *");
  m.DropDown();
  EXPECT_TRUE(m.Checked(0));
  for (size_t i = 1; i < m.LineCount(); i++) EXPECT_FALSE(m.Checked(i));
  EXPECT_EQ(m.Text(), u"*");
  // "*.*" is neither: nothing checked.
  m.SetAll(false);
  m.SetText(u"*.*");
  m.DropDown();
  for (size_t i = 0; i < m.LineCount(); i++) EXPECT_FALSE(m.Checked(i));
  // Typed patterns check their lines; an unknown extension checks none; a
  // line the text no longer names is unchecked; "pg" is not found in "jpg".
  m.SetText(u" *.jpg ; *.xyz ");
  m.DropDown();
  EXPECT_EQ(m.Text(), u"*.jpg;*.xyz");
  EXPECT_TRUE(m.Checked(1));
  EXPECT_FALSE(m.Checked(4));
  EXPECT_FALSE(m.Checked(3));
  m.SetText(u"*.png");
  m.DropDown();
  EXPECT_FALSE(m.Checked(1));
  EXPECT_TRUE(m.Checked(2));
  m.SetText(u"*.xyz");
  m.DropDown();
  for (size_t i = 0; i < m.LineCount(); i++) EXPECT_FALSE(m.Checked(i));
  EXPECT_EQ(m.LineOf(u"pg"), 4);
  EXPECT_EQ(m.LineOf(u"p"), -1);
}

// ---- own controls ----

TEST_F(OwnUiRules, GlassAndTabTables) {
  struct G {
    bool pressed, disabled, hover;
    int state;
    Rgb text;
  } glass[] = {{true, false, false, 3, {0, 0, 0}},       {false, true, false, 0, {187, 187, 221}},
               {false, false, true, 2, {0, 0, 255}},     {false, false, false, 1, {0, 0, 0}},
               {true, false, true, 3, {0, 0, 255}}};
  for (const G& g : glass) {
    EXPECT_EQ(GlassStateIndex(g.pressed, g.disabled, g.hover), g.state);
    EXPECT_EQ(GlassTextColour(g.disabled, g.hover), g.text);
  }
  // A disabled glass button with no disabled icon shows the normal icon.
  EXPECT_EQ(GlassIcon(true, false, false, true), IconChoice::kNormal);
  EXPECT_EQ(GlassIcon(true, false, true, true), IconChoice::kDisabled);
  EXPECT_EQ(GlassIcon(false, true, true, true), IconChoice::kHover);
  EXPECT_EQ(GlassIcon(false, true, true, false), IconChoice::kNormal);
  struct T {
    bool selected, hover, disabled;
    int state;
    Rgb text;
  } tabs[] = {{true, false, false, 1, {0, 0, 0}},  {true, false, true, 1, {0, 0, 0}},  // never drawn disabled
              {false, true, false, 2, {0, 0, 0}},  {false, false, true, 0, {187, 187, 187}},
              {false, false, false, 0, {255, 255, 255}}};
  for (const T& t : tabs) {
    EXPECT_EQ(TabStateIndex(t.selected, t.hover), t.state);
    EXPECT_EQ(TabTextColour(t.selected, t.hover, t.disabled), t.text);
  }
  EXPECT_EQ(TabTextInsets(true).textBottom, 5);
  EXPECT_EQ(TabTextInsets(true).focusTop, 4);
  EXPECT_EQ(TabTextInsets(false).textTop, 4);
  EXPECT_EQ(TabTextInsets(false).focusTop, 12);
}

TEST_F(OwnUiRules, ImageButtonAndCheckTables) {
  struct S {
    bool disabled, pressed, hover, focused;
    int state;
  } states[] = {{true, true, true, true, 4}, {false, true, true, true, 3}, {false, false, true, true, 2},
                {false, false, false, true, 5}, {false, false, false, false, 1}};
  for (const S& s : states) EXPECT_EQ(ImgButtonThemeState(s.disabled, s.pressed, s.hover, s.focused), s.state);
  EXPECT_EQ(ImgButtonImage(true, false, false, false), IconChoice::kNone);
  EXPECT_EQ(ImgButtonImage(true, true, true, true), IconChoice::kDisabled);
  EXPECT_EQ(ImgButtonImage(false, true, false, false), IconChoice::kNormal);
  EXPECT_EQ(ImgButtonImage(false, true, false, true), IconChoice::kHover);
  EXPECT_EQ(ImgButtonTextColour({255, 255, 255}, true, true), (Rgb{8, 69, 34}));
  EXPECT_EQ(ImgButtonTextColour({255, 255, 255}, true, false), (Rgb{255, 255, 255}));
  // Image above text: 80 x 70 button, 32 x 32 image, 14 high text.
  ImgButtonLayout l = LayOutImgButton(80, 70, 32, 32, 14, true, true, 1.0);
  EXPECT_EQ(l.imageX, 24);
  EXPECT_EQ(l.imageY, (70 - 32 - 14 - 5) / 2);  // g = 8 > 5
  EXPECT_EQ(l.textTop, l.imageY + 32 + 5);
  l = LayOutImgButton(80, 50, 32, 32, 14, true, true, 1.0);
  EXPECT_EQ(l.imageY, 1);
  EXPECT_EQ(l.textTop, 1 + 32 + 1);
  l = LayOutImgButton(100, 24, 16, 16, 14, false, true, 1.5);
  EXPECT_EQ(l.imageX, 12);
  EXPECT_EQ(l.imageY, 4);
  EXPECT_EQ(l.textLeft, 19);
  EXPECT_EQ(LayOutImgButton(100, 24, 16, 16, 14, false, false, 1.5).imageX, 42);
  struct C {
    bool checked, pressed, hover, disabled;
    int state;
  } checks[] = {{true, true, true, false, 7},  {true, false, true, false, 6}, {true, false, false, false, 5},
                {true, true, true, true, 8},   {false, true, true, false, 3}, {false, false, true, false, 2},
                {false, false, false, false, 1}, {false, true, false, true, 4}};
  for (const C& c : checks) EXPECT_EQ(CheckBoxThemeState(c.checked, c.pressed, c.hover, c.disabled), c.state);
  EXPECT_EQ(CheckTextColour({255, 255, 255}, false), (Rgb{170, 170, 170}));
  EXPECT_EQ(StaticTextColour({255, 0, 0}, false), (Rgb{170, 170, 170}));
  EXPECT_EQ(StaticTextColour({255, 0, 0}, true), (Rgb{255, 0, 0}));
  EXPECT_EQ(GroupCaptionColour({0xFF, 0xAE, 0x29}, false), (Rgb{170, 170, 170}));
}

TEST_F(OwnUiRules, SplitterAndLookInFace) {
  struct Sp {
    int pos, lo, hi, out;
  } sp[] = {{5, 30, 760, 30}, {900, 30, 760, 760}, {250, 30, 760, 250}, {-40, 30, 760, 30}, {50, 30, 10, 30}};
  for (const Sp& s : sp) EXPECT_EQ(ClampSplitter(s.pos, s.lo, s.hi), s.out);
  EXPECT_EQ(LookInFaceState(true, true, true), 4);
  EXPECT_EQ(LookInFaceState(false, true, true), 3);
  EXPECT_EQ(LookInFaceState(false, false, true), 2);
  EXPECT_EQ(LookInFaceState(false, false, false), 1);
  EXPECT_TRUE(LookInShowsFocus(true, false));
  EXPECT_FALSE(LookInShowsFocus(true, true));
  EXPECT_FALSE(LookInShowsText(-1, 0));
  EXPECT_FALSE(LookInShowsText(0, -3));  // a heading
  EXPECT_TRUE(LookInShowsText(1, 3));
  EXPECT_EQ(LookInTextColour(true, true), FaceColour::kHighlightText);
  EXPECT_EQ(LookInTextColour(false, true), FaceColour::kWindowText);
  EXPECT_EQ(LookInTextColour(true, false), FaceColour::kGrayText);
}

// ---- status bar, viewing tips, splash ----

TEST_F(OwnUiRules, StatusBarPane) {
  EXPECT_EQ(StatusPaneWidth(true, 50), 0);
  EXPECT_EQ(StatusPaneWidth(false, 50), 52);
  WString remembered;
  EXPECT_EQ(StatusIdleText(u"For Help, Press F1", remembered), u"For Help, Press F1");
  EXPECT_EQ(StatusIdleText(u"Scanning", remembered), u"Scanning");
  EXPECT_EQ(StatusIdleText(u"For Help, Press F1", remembered), u"Scanning");
}

TEST_F(OwnUiRules, ViewingTipsTables) {
  EXPECT_EQ(ViewingHeaderWidths(0, 1.0), (std::array<int, 7>{95, 65, 80, 65, 65, 65, 105}));
  EXPECT_EQ(ViewingHeaderWidths(5, 1.0)[6], 140);
  EXPECT_EQ(ViewingHeaderWidths(5, 1.25)[6], 175);
  EXPECT_EQ(ViewingHeaderWidths(9, 1.0)[3], 80);
  EXPECT_EQ(ViewingHeaderWidths(8, 1.5)[0], 165);
  EXPECT_EQ(ViewingTipHeight(13, 300, 400), 13);
  EXPECT_EQ(ViewingTipHeight(13, 900, 400), 39);
  const ViewingLayout a = LayOutViewingTips(13, 300, 13, 300, 400, 1.0);
  const ViewingLayout b = LayOutViewingTips(13, 300, 13, 2000, 400, 1.0);
  EXPECT_EQ(a.tip1Y, 20);
  EXPECT_EQ(a.image1Y, 20 + 13 + 6);
  EXPECT_EQ(a.tip2Y, a.image1Y + 26 + 20);
  EXPECT_EQ(a.headerY, a.tip2Y + 13 + 6);
  EXPECT_EQ(a.lineY, a.headerY + 20 + 20);
  // A long tip pushes the header and the line down.
  EXPECT_EQ(b.headerY - a.headerY, 13 * 5);
  EXPECT_EQ(b.lineY - a.lineY, 13 * 5);
}

TEST_F(OwnUiRules, SplashRects) {
  EXPECT_EQ(SplashProductRect(200, 20), (PixRect{200, 115, 518, 140}));
  EXPECT_EQ(SplashProductRect(400, 20), (PixRect{110, 115, 518, 140}));
  EXPECT_EQ(SplashNoticeRect(361, 13), (PixRect{160, 297, 520, 310}));
  EXPECT_EQ(SplashNoticeRect(362, 13), (PixRect{160, 284, 520, 310}));
  EXPECT_EQ(SplashNoticeRect(0, 13), (PixRect{160, 310, 520, 310}));
}

// ---- menus ----

TEST_F(OwnUiRules, MenuImagesAndShortcuts) {
  EXPECT_EQ(GetImageIndex(cmd::kScan, -1, -1), 0);
  EXPECT_EQ(GetImageIndex(cmd::kScan, 0, -1), 2);
  EXPECT_EQ(GetImageIndex(cmd::kScan, 1, -1), 0);
  EXPECT_EQ(GetImageIndex(cmd::kSave, -1, -1), 1);
  EXPECT_EQ(GetImageIndex(cmd::kSave, 1, -1), 2);
  EXPECT_EQ(GetImageIndex(cmd::kProperties, -1, ToolbarImageOf(cmd::kProperties, false, false)), 3);
  EXPECT_EQ(GetImageIndex(cmd::kProperties, -1, ToolbarImageOf(cmd::kProperties, true, false)), 4);
  EXPECT_EQ(GetImageIndex(cmd::kFolderView, -1, ToolbarImageOf(cmd::kFolderView, false, true)), 6);
  EXPECT_EQ(GetImageIndex(cmd::kAdvancedVolumes, -1, ToolbarImageOf(cmd::kAdvancedVolumes, false, false)), 7);
  EXPECT_EQ(GetImageIndex(cmd::kHelpTopics, -1, ToolbarImageOf(cmd::kHelpTopics, false, false)), 9);
  EXPECT_EQ(GetImageIndex(cmd::kExit, -1, ToolbarImageOf(cmd::kExit, false, false)), -1);
  struct K {
    int command, activity;
    const char16_t* text;
  } keys[] = {{cmd::kScan, -1, u"Ctrl+S"},      {cmd::kSave, -1, u"Ctrl+R"},  // not the stored Ctrl+V
              {cmd::kScan, 0, u"Ctrl+P"},       {cmd::kSave, 1, u"Ctrl+P"},
              {cmd::kProperties, -1, u"F3"},    {cmd::kSelectAll, -1, u"Ctrl+A"},
              {cmd::kDeselectAll, -1, u"Ctrl+D"}, {cmd::kInvert, -1, u"Ctrl+I"},
              {cmd::kFind, -1, u"Ctrl+F"},      {cmd::kExit, -1, u""}};
  for (const K& k : keys) EXPECT_EQ(BoundShortcutText(k.command, k.activity), k.text) << k.command;
}

}  // namespace
