// The properties dialog with its preview, the menus, the splash, the status
// bar, the viewing tips, the Look-for box and the own controls on the
// offscreen platform.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QWizard>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <QPainter>
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "resources/Icons.h"
#include "tests/support/FixtureRun.h"
#include "tests/uiqt/QtApp.h"
#include "ui/ChkCbBox.h"
#include "ui/Commands.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/ListHeader.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MenuEx.h"
#include "ui/MyListCtrl.h"
#include "ui/MyStatusBar.h"
#include "ui/OwnButtons.h"
#include "ui/OwnControls.h"
#include "ui/PicturePreview.h"
#include "ui/PromptDialogs.h"
#include "ui/PropertyDlg.h"
#include "ui/QtPrompt.h"
#include "ui/SplashWnd.h"
#include "ui/SystemFileTypes.h"
#include "ui/Viewing.h"
#include "ui/WindowHelp.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"

namespace {

std::string PicturesDir() { return std::string(DV_SOURCE_DIR) + "/tests/fixtures/pictures/"; }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool HaveImageMagick() { return std::system("test -x /usr/bin/convert && test -x /usr/bin/identify") == 0; }

// A picture made by ImageMagick at test time, cached in the fixture folder.
std::string MadePicture(const std::string& name, const std::string& args, const std::string& format) {
  const std::string dir = FixtureCache();
  const std::string path = dir + "/pictures-" + name;
  if (std::ifstream(path).good()) return path;
  std::system(("mkdir -p '" + dir + "'").c_str());
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  if (std::system(
          ("/usr/bin/convert " + args + " " + format + ":'" + tmp + "' 2>/dev/null && mv '" + tmp + "' '" + path + "'")
              .c_str()) != 0)
    return {};
  return path;
}

std::pair<int, int> Identify(const std::string& path) {
  FILE* p = popen(("/usr/bin/identify -format '%w %h' '" + path + "[0]'").c_str(), "r");
  int w = 0, h = 0;
  if (p) {
    if (fscanf(p, "%d %d", &w, &h) != 2) w = h = 0;
    pclose(p);
  }
  return {w, h};
}

class OwnUi : public QtAppTest {
 protected:
  static void SetUpTestSuite() {
    QtAppTest::SetUpTestSuite();
    InitMessageTable();
  }
};

// ---- preview ----

TEST_F(OwnUi, PreviewOfCommittedPictures) {
  std::ifstream sizes(PicturesDir() + "sizes.txt");
  std::string name;
  int w = 0, h = 0, n = 0;
  while (sizes >> name >> w >> h) {
    const std::vector<uint8_t> bytes = ReadFile(PicturesDir() + name);
    ASSERT_FALSE(bytes.empty()) << name;
    const DecodedPreview d = DecodePreview(bytes.data(), bytes.size(), 1.0);
    ASSERT_TRUE(d.ok) << name;
    EXPECT_EQ(d.sourceWidth, w) << name;
    EXPECT_EQ(d.sourceHeight, h) << name;
    const PreviewDims want = PreviewSize(w, h, 1.0);
    EXPECT_EQ(d.image.width(), want.width) << name;
    EXPECT_EQ(d.image.height(), want.height) << name;
    n++;
  }
  EXPECT_EQ(n, 6);
  // A cut JPEG, bytes of no picture, nothing: no preview.
  const std::vector<uint8_t> cut = ReadFile(PicturesDir() + "cut.jpg");
  EXPECT_FALSE(DecodePreview(cut.data(), cut.size(), 1.0).ok);
  const std::string wmf = "\xD7\xCD\xC6\x9A\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0";
  EXPECT_FALSE(DecodePreview(reinterpret_cast<const uint8_t*>(wmf.data()), wmf.size(), 1.0).ok);
  EXPECT_FALSE(DecodePreview(nullptr, 0, 1.0).ok);
  // A PNG header that claims a huge picture is refused by the limit.
  std::vector<uint8_t> png = ReadFile(PicturesDir() + "b.png");
  png[16] = 0x00, png[17] = 0x01, png[18] = 0x00, png[19] = 0x00;  // width 65536
  png[20] = 0x00, png[21] = 0x01, png[22] = 0x00, png[23] = 0x00;  // height 65536
  EXPECT_FALSE(DecodePreview(png.data(), png.size(), 1.0).ok);
}

TEST_F(OwnUi, PreviewOfImageMagickPictures) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  struct Case {
    const char* name;
    const char* args;
    const char* format;
  } cases[] = {{"a.jpg", "-size 4000x3000 -seed 3 plasma:fractal", "JPG"},
               {"b.png", "-size 1000x250 gradient:", "PNG"},
               {"c.tif", "rose:", "TIFF"},
               {"d.gif", "logo:", "GIF"},
               {"p.jpg", "-size 1600x1200 -seed 5 plasma:fractal -interlace Plane", "JPG"},
               {"e.bmp", "-size 300x200 gradient:green-yellow -type truecolor", "BMP3"}};
  for (const Case& c : cases) {
    std::string path = MadePicture(c.name, c.args, c.format);
    ASSERT_FALSE(path.empty()) << c.name;
    const auto [w, h] = Identify(path);
    const std::vector<uint8_t> bytes = ReadFile(path);
    const DecodedPreview d = DecodePreview(bytes.data(), bytes.size(), 1.0);
    ASSERT_TRUE(d.ok) << c.name;
    EXPECT_EQ(d.sourceWidth, w) << c.name;
    EXPECT_EQ(d.sourceHeight, h) << c.name;
    const PreviewDims want = PreviewSize(w, h, 1.0);
    EXPECT_EQ(d.image.size(), QSize(want.width, want.height)) << c.name;
    if (std::string(c.name) == "a.jpg") {
      EXPECT_EQ(d.image.size(), QSize(320, 240));
      // The first 4000 bytes: no preview.
      EXPECT_FALSE(DecodePreview(bytes.data(), 4000, 1.0).ok);
    }
  }
}

// ---- properties dialog ----

struct Rows {
  std::vector<PropertyRecord> records;
  bool Get(int pos, bool, PropertyRecord& r) {
    if (pos < 0 || size_t(pos) >= records.size()) return false;
    r = records[size_t(pos)];
    return true;
  }
};

PropertyRecord PictureRecord(const std::string& file, const char16_t* name) {
  PropertyRecord r;
  r.flags = PropertyRecord::kDetails | PropertyRecord::kNumber | PropertyRecord::kPicture;
  r.name = name;
  r.folder = u"C:\\Pictures";
  r.sizeText = u"17.71 KB";
  r.dateText = u"2024/05/06 07:08";
  r.recordNumber = 64;
  r.numberKind = 1;
  r.location = 6291584;
  r.picture = ReadFile(PicturesDir() + file);
  return r;
}

Rows SampleRows() {
  Rows rows;
  rows.records.push_back(PictureRecord("prog.jpg", u"holiday.jpg"));
  rows.records.push_back(PictureRecord("cut.jpg", u"broken.jpg"));
  PropertyRecord v;
  v.flags = PropertyRecord::kVolume;
  v.volume.label = u"DATA";
  v.volume.letterCode = 'E';
  v.volume.firstSector = 2048;
  v.volume.sectorCount = 204800;
  v.volume.fileSystem = u"NTFS";
  rows.records.push_back(v);
  return rows;
}

TEST_F(OwnUi, PropertiesDialogWalksRows) {
  Rows rows = SampleRows();
  CPropertyDlg dlg([&rows](int p, bool t, PropertyRecord& r) { return rows.Get(p, t, r); });
  dlg.SetPosition(0, 2, false);
  dlg.Init();
  dlg.show();
  // All seven rows in sight at every load, the first at the top.
  auto allRowsShown = [&dlg] {
    QTableWidget* t = dlg.Table();
    return t->viewport()->rect().contains(t->visualItemRect(t->item(6, 1))) && t->verticalScrollBar()->value() == 0;
  };
  EXPECT_TRUE(allRowsShown());
  EXPECT_FALSE(dlg.PreviousButton()->isEnabled());
  EXPECT_TRUE(dlg.NextButton()->isEnabled());
  EXPECT_TRUE(dlg.PictureDrawn());
  EXPECT_EQ(dlg.Preview().image.size(), QSize(320, 240));
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Preview in reduced size"));
  EXPECT_EQ(dlg.Table()->item(0, 1)->text(), QStringLiteral("holiday.jpg"));
  EXPECT_EQ(dlg.Table()->item(6, 0)->text(), QStringLiteral("MFT Entry Sector Number"));
  EXPECT_GE(dlg.width(), dlg.MinimumTrackingSize().width());
  dlg.OnNext();
  EXPECT_TRUE(dlg.PictureRequested());
  EXPECT_FALSE(dlg.PictureDrawn());
  EXPECT_EQ(dlg.Box().width, 160);
  EXPECT_TRUE(dlg.PreviousButton()->isEnabled());
  dlg.Table()->scrollToBottom();
  dlg.OnNext();
  EXPECT_TRUE(allRowsShown());
  EXPECT_FALSE(dlg.NextButton()->isEnabled());
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Properties"));
  EXPECT_EQ(dlg.Table()->item(0, 0)->text(), QStringLiteral("Label"));
  EXPECT_EQ(dlg.Table()->item(1, 1)->text(), QStringLiteral("E:"));
  EXPECT_EQ(dlg.Table()->item(3, 1)->text(), QStringLiteral("2048"));
  EXPECT_EQ(dlg.Table()->item(4, 1)->text(), QStringLiteral("100.00 MB (204800 sectors)"));
  EXPECT_EQ(dlg.Table()->item(5, 1)->text(), QStringLiteral("NTFS"));
  // Copy: only from a value that is there.
  EXPECT_FALSE(dlg.OffersCopy(0, 0));
  EXPECT_FALSE(dlg.OffersCopy(2, 1));
  EXPECT_TRUE(dlg.OffersCopy(0, 1));
  dlg.OnCopy(5);
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("NTFS"));
  // F1 opens the dialog's topic.
  ForgetHelpTopicRequested();
  QTest::keyClick(dlg.Table(), Qt::Key_F1);
  EXPECT_EQ(LastHelpTopicRequested(), u"html\\afxc57sj.htm");
  dlg.OnPrevious();
  dlg.OnPrevious();
  EXPECT_FALSE(dlg.PreviousButton()->isEnabled());
  EXPECT_EQ(dlg.Position(), 0);
}

TEST_F(OwnUi, PropertiesDialogRightClickOnLabelShowsNoMenu) {
  Rows rows = SampleRows();
  CPropertyDlg dlg([&rows](int p, bool t, PropertyRecord& r) { return rows.Get(p, t, r); });
  dlg.SetPosition(2, 2, false);
  dlg.Init();
  dlg.show();
  QTest::qWaitForWindowExposed(&dlg);
  bool menuShown = false;
  QTimer::singleShot(50, [&] {
    if (auto* m = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      menuShown = true;
      m->close();
    }
  });
  const QRect label = dlg.Table()->visualItemRect(dlg.Table()->item(0, 0));
  emit dlg.Table()->customContextMenuRequested(label.center());
  QTest::qWait(100);
  EXPECT_FALSE(menuShown);
}

// ---- menus ----

class OwnUiFrame : public OwnUi {
 protected:
  void SetUp() override {
    StartupOptions o;
    o.optionsPath = "/nonexistent";
    o.rawDeviceWarning = false;
    o.show = true;
    o.splash = false;
    o.canOpenRawDevices = [] { return 1; };
    ASSERT_TRUE(app.InitInstance(o));
    SetDialogRunner([this](QDialog& d) {
      shown.push_back(d.metaObject()->className());
      return int(QDialog::Accepted);
    });
  }
  void TearDown() override {
    g_activityCode = kActivityIdle;
    app.ExitInstance();
    SetDialogRunner({});
  }
  CDelvoraView* View() { return app.MainFrame()->View(); }
  CDelvoraApp app;
  std::vector<std::string> shown;
};

// Text and command of each item, "-" for a separator, ">" for a popup.
void Walk(QMenu* m, std::vector<std::string>& out, const std::string& prefix) {
  for (QAction* a : m->actions()) {
    if (a->isSeparator()) {
      out.push_back(prefix + "-");
    } else if (a->menu()) {
      out.push_back(prefix + ">" + a->text().toStdString());
      Walk(a->menu(), out, prefix + "  ");
    } else {
      out.push_back(prefix + a->text().toStdString() + " " + std::to_string(a->data().toInt()));
    }
  }
}

TEST_F(OwnUiFrame, MenuBarAsTheTablesSay) {
  QMenuBar* bar = app.MainFrame()->menuBar();
  std::vector<std::string> titles;
  for (QAction* a : bar->actions()) titles.push_back(a->text().toStdString());
  EXPECT_EQ(titles, (std::vector<std::string>{"&File", "&Edit", "&Options", "&View", "&Help"}));
  std::vector<std::string> items;
  Walk(bar->actions()[0]->menu(), items, "");
  const std::vector<std::string> file = {"&Scan\tCtrl+S 32781",
                                         "Sa&ve\tCtrl+R 32783",
                                         "&Advanced Volumes... 32842",
                                         "-",
                                         "Prop&erties\tF3 32793",
                                         "-",
                                         ">Sessio&n",
                                         "  &Load... 32821",
                                         "  &Save... 32822",
                                         "-",
                                         ">Disk &Image",
                                         "  &Load... 32823",
                                         "  &Create... 32844",
                                         "  -",
                                         "  Load &VMDK Files... 32870",
                                         "  Load V&HD Files... 32871",
                                         "-",
                                         "E&xit 57665"};
  EXPECT_EQ(items, file);
  items.clear();
  Walk(bar->actions()[1]->menu(), items, "");
  EXPECT_EQ(items,
            (std::vector<std::string>{"&Find (in this window)...\tCtrl+F 32791", "-", "Select &All\tCtrl+A 57642",
                                      "&Deselect All\tCtrl+D 32836", "&Invert Selection\tCtrl+I 32794"}));
  items.clear();
  Walk(bar->actions()[4]->menu(), items, "");
  EXPECT_EQ(items, (std::vector<std::string>{"&Help Topics 57667", "-", "&About Delvora... 57664"}));
  // Images: toolbar commands and Scan and Save carry one.
  CommandActions* c = app.MainFrame()->Commands();
  for (int id : {cmd::kScan, cmd::kSave, cmd::kProperties, cmd::kFolderView, cmd::kAdvancedVolumes, cmd::kHelpTopics})
    EXPECT_FALSE(c->Action(id)->icon().isNull()) << id;
  EXPECT_TRUE(c->Action(cmd::kExit)->icon().isNull());
  EXPECT_EQ(app.MainFrame()->Menu()->ImageIndexOf(cmd::kScan), 0);
  // While a scan runs the Scan item shows the running image and Ctrl+P.
  g_activityCode = kActivityScan;
  View()->RefreshCommands();
  EXPECT_EQ(app.MainFrame()->Menu()->ImageIndexOf(cmd::kScan), 2);
  EXPECT_TRUE(c->Action(cmd::kScan)->text().endsWith(QStringLiteral("\tCtrl+P")));
  g_activityCode = kActivityIdle;
  View()->RefreshCommands();
  EXPECT_EQ(app.MainFrame()->Menu()->ImageIndexOf(cmd::kScan), 0);
  // A disabled item's icon is drawn greyed by the style from its own picture.
  QAction* save = c->Action(cmd::kSave);
  EXPECT_FALSE(save->isEnabled());
  const QImage normal = save->icon().pixmap(16, QIcon::Normal).toImage();
  const QImage grey = save->icon().pixmap(16, QIcon::Disabled).toImage();
  EXPECT_NE(normal, grey);
}

// ---- splash ----

TEST_F(OwnUi, SplashShowsOnceHidesOnClickAndTimer) {
  QWidget owner;
  owner.resize(700, 500);
  owner.show();
  CSplashWnd::Hide();  // one left by an earlier start-up
  CSplashWnd::EnableSplash(false);
  CSplashWnd::ShowSplash(&owner, 10000);
  EXPECT_EQ(CSplashWnd::Current(), nullptr);
  CSplashWnd::EnableSplash(true);
  CSplashWnd::ShowSplash(&owner, 10000);
  CSplashWnd* first = CSplashWnd::Current();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->size(), QSize(520, 320));
  CSplashWnd::ShowSplash(&owner, 10000);
  EXPECT_EQ(CSplashWnd::Current(), first);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  EXPECT_TRUE(QApplication::sendEvent(first, &press));
  EXPECT_TRUE(press.isAccepted());
  EXPECT_EQ(CSplashWnd::Current(), nullptr);
  QApplication::processEvents();
  // The timer.
  CSplashWnd::ShowSplash(&owner, 30);
  EXPECT_NE(CSplashWnd::Current(), nullptr);
  for (int i = 0; i < 200 && CSplashWnd::Current(); i++) QTest::qWait(10);
  EXPECT_EQ(CSplashWnd::Current(), nullptr);
  CSplashWnd::EnableSplash(false);
}

// ---- status bar ----

TEST_F(OwnUi, StatusBarPaneFitsItsText) {
  CMyStatusBar bar;
  int refreshed = 0;
  bool minimised = false;
  bar.SetFrameHooks([&] { return minimised; }, [&] { refreshed++; });
  bar.SetPaneText(0, QString());
  EXPECT_EQ(bar.Pane()->width(), 0);
  const QString text = QStringLiteral("Reading sectors 2048 to 4095 of /dev/sdb");
  bar.SetPaneText(0, text);
  EXPECT_EQ(bar.Pane()->minimumWidth(), QFontMetrics(bar.Pane()->font()).horizontalAdvance(text) + 2);
  EXPECT_EQ(refreshed, 0);
  minimised = true;
  bar.SetPaneText(0, QStringLiteral("12% complete"));
  EXPECT_EQ(refreshed, 1);
  minimised = false;
  // The F1 prompt gives way to the last other text at the idle update.
  bar.OnIdleUpdate();
  EXPECT_EQ(bar.PaneText(), QStringLiteral("12% complete"));
  bar.SetPaneText(0, ToQ(Msg(172)));
  bar.OnIdleUpdate();
  EXPECT_EQ(bar.PaneText(), QStringLiteral("12% complete"));
  // Texts shown the QStatusBar way land in the pane too.
  bar.showMessage(QStringLiteral("Done"));
  EXPECT_EQ(bar.PaneText(), QStringLiteral("Done"));
  // The idle update comes by itself, without a call: it remembers "Done"
  // and puts it back over the F1 prompt.
  QTest::qWait(300);
  bar.SetPaneText(0, ToQ(Msg(172)));
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar.PaneText() == QStringLiteral("Done"); }, 2000));
}

// ---- viewing tips ----

TEST_F(OwnUi, ViewingTipsHeaderAndLayout) {
  g_activityCode = kActivityScan;
  CViewing during(nullptr, nullptr);
  during.show();
  during.grab();
  EXPECT_NE(during.Header()->LastFilterIcon(0), -1);
  for (int c = 1; c < 7; c++) EXPECT_EQ(during.Header()->LastFilterIcon(c), -1) << c;
  g_activityCode = kActivityIdle;
  CViewing idle(nullptr, nullptr);
  idle.show();
  idle.grab();
  // Every column in sight shows its icon (the illustration is cut at the
  // dialog's edge).
  for (int c = 0; c < 7; c++)
    if (idle.Header()->sectionViewportPosition(c) + idle.Header()->sectionSize(c) <= idle.Header()->width())
      EXPECT_NE(idle.Header()->LastFilterIcon(c), -1) << c;
  EXPECT_NE(idle.Header()->LastFilterIcon(3), -1);
  EXPECT_TRUE(idle.Header()->MouseDisabled());
  EXPECT_EQ(idle.Header()->sectionSize(6), int(105 * (g_appState ? g_appState->displayScale : 1.0)));
  // A long tip pushes the header, the line and OK down; the window grows.
  const int headerY = idle.Header()->y(), okY = idle.OkButton()->y(), h = idle.height();
  idle.Tip(2)->setText(idle.Tip(2)->text().repeated(6));
  idle.LayOut();
  EXPECT_GT(idle.Header()->y(), headerY);
  EXPECT_GT(idle.OkButton()->y(), okY);
  EXPECT_GT(idle.height(), h);
  EXPECT_GE(idle.height(), idle.OkButton()->geometry().bottom() + 10);
  // No help of its own.
  ForgetHelpTopicRequested();
  QTest::keyClick(&idle, Qt::Key_F1);
  EXPECT_TRUE(LastHelpTopicRequested().empty());
}

TEST_F(OwnUiFrame, ViewingTipsCentredOverTheView) {
  CViewing dlg(View(), View()->List(), View());
  const QPoint want(View()->mapToGlobal(QPoint(0, 0)).x() + (View()->width() - dlg.frameGeometry().width()) / 2,
                    View()->List()->mapToGlobal(QPoint(0, 0)).y() + int(30 * g_appState->displayScale));
  EXPECT_EQ(dlg.RequestedPosition(), want);
}

// ---- Look-for box ----

class LookFor : public OwnUi {
 protected:
  void SetUp() override {
    box = new CMBChkCbBox(&top);
    other = new QLineEdit(&top);
    other->move(0, 60);
    box->setGeometry(0, 0, 300, 24);
    box->AddLine(QStringLiteral("All Files (*)"), u"*");
    static const FileTypeIndex types = [] {
      FileTypeIndex index;
      LoadSystemFileTypes(index, 2);
      return index;
    }();
    for (const auto& [text, ext] : types.LookForRows()) box->AddLine(ToQ(text), ext);
    box->SetAll(true);
    top.resize(400, 300);
    top.show();
    top.activateWindow();
    QTest::qWaitForWindowActive(&top);
  }
  void TearDown() override {
    if (box->PopupOpen()) box->hidePopup();
  }
  void ClickLine(int line) {
    QAbstractItemView* v = box->view();
    const QRect r = v->visualRect(v->model()->index(line, 0));
    QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  }
  int LineOf(const char16_t* ext) {
    for (int i = 0; i < box->LineCount(); i++)
      if (box->itemData(i, Qt::UserRole).toString() == QString::fromUtf16(ext)) return i;
    return -1;
  }
  QWidget top;
  CMBChkCbBox* box = nullptr;
  QLineEdit* other = nullptr;
};

TEST_F(LookFor, ClicksToggleLinesAndKeepTheListOpen) {
  EXPECT_EQ(box->Text(), u"*");
  EXPECT_TRUE(box->LineChecked(0));
  box->showPopup();
  ASSERT_TRUE(box->view()->isVisible());
  ClickLine(LineOf(u"jpg"));
  EXPECT_TRUE(box->view()->isVisible());
  EXPECT_FALSE(box->LineChecked(0));  // line 0 gives way
  ClickLine(LineOf(u"png"));
  EXPECT_TRUE(box->view()->isVisible());
  EXPECT_EQ(box->Text(), u"*.jpg,*.png");
  EXPECT_EQ(box->currentIndex(), -1);
  ClickLine(LineOf(u"jpg"));
  EXPECT_EQ(box->Text(), u"*.png");
  ClickLine(0);
  EXPECT_EQ(box->Text(), u"*");
  EXPECT_FALSE(box->LineChecked(LineOf(u"png")));
  box->hidePopup();
  EXPECT_FALSE(box->view()->isVisible());
}

TEST_F(LookFor, TypedTextChecksLinesAndFocusLossTidiesOnce) {
  QSignalSpy spy(box, &CMBChkCbBox::lookForChanged);
  box->setFocus();
  box->lineEdit()->setText(QStringLiteral("*.jpg; *.gif"));
  box->SetTextChanged(true);
  other->setFocus();
  QApplication::processEvents();
  EXPECT_EQ(box->lineEdit()->text(), QStringLiteral("*.jpg;*.gif"));
  EXPECT_EQ(spy.count(), 1);
  box->showPopup();
  EXPECT_TRUE(box->LineChecked(LineOf(u"jpg")));
  EXPECT_TRUE(box->LineChecked(LineOf(u"gif")));
  EXPECT_FALSE(box->LineChecked(LineOf(u"png")));
  EXPECT_FALSE(box->LineChecked(0));
  box->hidePopup();
  EXPECT_EQ(box->NamePatterns(), u"*.jpg,*.gif");
  EXPECT_EQ(box->FolderPatterns(), u"");
  box->lineEdit()->setText(QStringLiteral("/home/me/*.doc"));
  box->SetTextChanged(true);
  EXPECT_EQ(box->NamePatterns(), u"*.doc");
  EXPECT_EQ(box->FolderPatterns(), u"\\home\\me\\");
}

TEST_F(LookFor, ArrowsAndWheelSwallowedWhileClosed) {
  box->setFocus();
  const QString before = box->lineEdit()->text();
  QTest::keyClick(box, Qt::Key_Down);
  QTest::keyClick(box, Qt::Key_PageDown);
  QWheelEvent wheel(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(box, &wheel);
  EXPECT_EQ(box->currentIndex(), -1);
  EXPECT_EQ(box->lineEdit()->text(), before);
  EXPECT_FALSE(box->PopupOpen());
}

TEST_F(OwnUiFrame, LookForLinesAreTheSystemsFileTypes) {
  std::ifstream globs("/usr/share/mime/globs2");
  if (!globs) GTEST_SKIP() << "no /usr/share/mime/globs2";
  std::set<std::string> known;
  std::string line;
  while (std::getline(globs, line)) {
    const size_t at = line.find(":*.");
    if (at != std::string::npos) {
      std::string ext = line.substr(at + 3);
      const size_t colon = ext.find(':');
      if (colon != std::string::npos) ext.resize(colon);
      for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
      known.insert(ext);
    }
  }
  auto* box = dynamic_cast<CMBChkCbBox*>(View()->Control(CDelvoraView::kLookFor));
  ASSERT_NE(box, nullptr);
  ASSERT_GT(box->LineCount(), 100);
  EXPECT_EQ(box->itemData(0, Qt::UserRole).toString(), QStringLiteral("*"));
  std::set<std::string> lines;
  for (int i = 1; i < box->LineCount(); i++) {
    const std::string ext = box->itemData(i, Qt::UserRole).toString().toStdString();
    lines.insert(ext);
    EXPECT_TRUE(known.count(ext)) << ext;
    EXPECT_TRUE(box->itemText(i).endsWith(QStringLiteral(" (*.") + QString::fromStdString(ext) + ")"))
        << box->itemText(i).toStdString();
    EXPECT_FALSE(box->itemText(i).startsWith(QStringLiteral("CLSID")));
  }
  EXPECT_EQ(lines.count("exe"), 0u);
  for (const char* ext : {"jpg", "png", "gif", "pdf", "zip", "docx"}) EXPECT_EQ(lines.count(ext), 1u) << ext;
  // The Type column reads the same index.
  EXPECT_FALSE(View()->TypeIndex().Description(u"jpg").empty());
}

// ---- own controls ----

TEST_F(OwnUi, ButtonsHoverAndStates) {
  QWidget top;
  auto* img = new CImgButton(&top);
  img->setText(QStringLiteral("&Scan"));
  img->SetImages(QPixmap(32, 32), QPixmap(), QPixmap());
  img->SetHandCursor(true);
  img->SetLayout(true, false);
  img->setGeometry(0, 0, 90, 70);
  top.show();
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(img, &enter);
  EXPECT_TRUE(img->Hovering());
  img->grab();
  EXPECT_TRUE(img->Underlined());
  EXPECT_EQ(img->LastImage(), IconChoice::kNormal);  // no hover picture
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(img, &leave);
  EXPECT_FALSE(img->Hovering());
  img->grab();
  EXPECT_FALSE(img->Underlined());
  img->setEnabled(false);
  img->grab();
  EXPECT_EQ(img->LastImage(), IconChoice::kNone);  // disabled without a disabled picture
  EXPECT_EQ(img->LastThemeState(), 4);
  // Glass: disabled without a disabled icon shows the normal one.
  auto* glass = new CGlassBtnCtrl(&top);
  glass->SetIcons(QIcon(QPixmap(16, 16)), QIcon(), QIcon(), 16, 16);
  glass->setText(QStringLiteral("&Browse..."));
  glass->resize(100, 24);
  glass->setEnabled(false);
  glass->grab();
  EXPECT_EQ(glass->LastIcon(), IconChoice::kNormal);
  EXPECT_EQ(glass->LastState(), 0);
  EXPECT_EQ(glass->LastTextColour(), (Rgb{187, 187, 221}));
  // A tab set selected is enabled and never drawn in the disabled colours.
  auto* tab = new CTabBtnCtrl(&top);
  tab->setText(QStringLiteral("Step &2: Save"));
  tab->resize(120, 35);
  tab->setEnabled(false);
  tab->SetSelected(true);
  EXPECT_TRUE(tab->isEnabled());
  tab->grab();
  EXPECT_EQ(tab->LastState(), 1);
  EXPECT_EQ(tab->LastTextColour(), (Rgb{0, 0, 0}));
  // Check box and radio: theme states; classic when themes are off.
  auto* check = new CMyCheckboxCtrl(&top);
  check->setText(QStringLiteral("Use folder &names"));
  check->resize(160, 20);
  check->setChecked(true);
  check->grab();
  EXPECT_EQ(check->LastThemeState(), 5);
  EXPECT_TRUE(check->LastDrawThemed());
  check->setEnabled(false);
  check->grab();
  EXPECT_EQ(check->LastThemeState(), 8);
  SetOwnControlsThemed(false);
  auto* radio = new CMyRadioBtnCtrl(&top);
  radio->setText(QStringLiteral("&Quick"));
  radio->resize(100, 20);
  for (QWidget* w : std::initializer_list<QWidget*>{img, glass, tab, check, radio}) w->grab();
  EXPECT_FALSE(radio->LastDrawThemed());
  EXPECT_FALSE(check->LastDrawThemed());
  EXPECT_FALSE(img->LastDrawThemed());
  EXPECT_FALSE(glass->LastDrawThemed());
  EXPECT_FALSE(tab->LastDrawThemed());
  EXPECT_EQ(radio->LastThemeState(), 1);
  SetOwnControlsThemed(true);
}

TEST_F(OwnUi, StaticsAndGroupBox) {
  QWidget top;
  auto* s = new CMyStatic(QStringLiteral("Save &to"), &top);
  s->SetFontInfo(80, Rgb{255, 0, 0}, QStringLiteral("Tahoma"));
  s->resize(100, 20);
  s->grab();
  EXPECT_EQ(s->LastTextColour(), (Rgb{255, 0, 0}));
  EXPECT_TRUE(s->SetEnabledLook(false));
  s->grab();
  EXPECT_EQ(s->LastTextColour(), (Rgb{170, 170, 170}));
  EXPECT_FALSE(s->SetEnabledLook(true));
  auto* g = new CMyGroupBoxCtrl(QString(), &top);
  g->resize(100, 60);
  g->grab();
  EXPECT_FALSE(g->LastDrewCaption());
  g->setTitle(QStringLiteral("Mode"));
  g->SetFontInfo(80, Rgb{0xFF, 0xAE, 0x29}, QStringLiteral("Tahoma"));
  g->setEnabled(false);
  g->grab();
  EXPECT_TRUE(g->LastDrewCaption());
  EXPECT_EQ(g->LastCaptionColour(), (Rgb{170, 170, 170}));
}

TEST_F(OwnUi, SplitterDragReportsClampedPositions) {
  QWidget top;
  top.resize(800, 400);
  CDlgSplitterCtrl bar(false, QRect(248, 50, 3, 300), &top);
  bar.SetRange(30, 760);
  top.show();
  QSignalSpy spy(&bar, &CDlgSplitterCtrl::splitterMoved);
  QTest::mousePress(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(1, 10));
  EXPECT_TRUE(bar.Dragging());
  QMouseEvent move1(QEvent::MouseMove, QPointF(-400, 10), bar.mapToGlobal(QPointF(-400, 10)), Qt::NoButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&bar, &move1);
  QMouseEvent move2(QEvent::MouseMove, QPointF(50, 10), bar.mapToGlobal(QPointF(50, 10)), Qt::NoButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(&bar, &move2);
  QTest::mouseRelease(&bar, Qt::LeftButton, Qt::NoModifier, QPoint(900, 10));
  EXPECT_FALSE(bar.Dragging());
  ASSERT_EQ(spy.count(), 3);
  EXPECT_EQ(spy[0][0].toInt(), 30);
  EXPECT_EQ(spy[1][0].toInt(), 298);
  EXPECT_EQ(spy[2][0].toInt(), 760);
}

TEST_F(OwnUi, EnterInReadOnlyEditPressesTheWizardsDefault) {
  QWizard wizard;
  auto* page1 = new CMyPP;
  auto* edit = new CMyROEdit(page1);
  edit->setText(QStringLiteral("/opt/delvora"));
  auto* page2 = new CMyPP;
  wizard.addPage(page1);
  wizard.addPage(page2);
  wizard.show();
  QTest::qWaitForWindowExposed(&wizard);
  EXPECT_EQ(page1->palette().color(QPalette::Window), QColor(Qt::white));
  const int first = wizard.currentId();
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_NE(wizard.currentId(), first);
  EXPECT_EQ(edit->text(), QStringLiteral("/opt/delvora"));
}

TEST_F(OwnUi, BannerTakesItsParentsWidth) {
  QWidget page;
  page.resize(500, 300);
  auto* banner = new CDlgHeaderCtrl(&page);
  banner->SetTitle(QStringLiteral("Select Destination Folder"));
  banner->SetSubtitle(QStringLiteral("Where should the program be installed?"));
  page.show();
  banner->grab();
  EXPECT_EQ(banner->width(), 500);
  EXPECT_GT(banner->height(), 10);
}

// ---- the view's own controls ----

TEST_F(OwnUi, ClosedLookInFacePerState) {
  QWidget top;
  auto* box = new CLookInCb(&top);
  box->setGeometry(0, 0, 300, 24);
  box->AddItem(QStringLiteral("/dev/sda1 (10.00 GB)"), 2, u"/dev/sda1");
  top.show();
  box->setCurrentIndex(-1);
  box->grab();
  EXPECT_TRUE(box->LastFaceText().isEmpty());
  EXPECT_EQ(box->LastFaceState(), 1);
  box->setCurrentIndex(0);  // the heading
  box->grab();
  EXPECT_TRUE(box->LastFaceText().isEmpty());
  box->setCurrentIndex(1);
  box->grab();
  EXPECT_EQ(box->LastFaceText(), QStringLiteral("/dev/sda1 (10.00 GB)"));
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(box, &enter);
  box->grab();
  EXPECT_EQ(box->LastFaceState(), 2);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(box, &leave);
  box->grab();
  EXPECT_EQ(box->LastFaceState(), 1);
  box->setEnabled(false);
  box->grab();
  EXPECT_EQ(box->LastFaceState(), 4);
  box->setEnabled(true);
  top.activateWindow();
  QTest::qWaitForWindowActive(&top);
  box->setFocus();
  box->grab();
  EXPECT_EQ(box->LastFaceFocus(), box->hasFocus());
}

TEST_F(OwnUiFrame, StepTabsMarkTheCurrentStep) {
  auto* tab1 = dynamic_cast<CTabBtnCtrl*>(View()->Control(CDelvoraView::kTab1));
  auto* tab2 = dynamic_cast<CTabBtnCtrl*>(View()->Control(CDelvoraView::kTab2));
  ASSERT_TRUE(tab1 && tab2);
  tab1->grab();
  tab2->grab();
  EXPECT_TRUE(tab1->Selected());
  EXPECT_EQ(tab1->LastState(), 1);
  EXPECT_EQ(tab2->LastState(), 0);
  EXPECT_FALSE(tab2->isEnabled());
  View()->SetStep(1);
  tab1->grab();
  tab2->grab();
  EXPECT_FALSE(tab1->Selected());
  EXPECT_TRUE(tab2->Selected());
  EXPECT_EQ(tab1->LastState(), 0);
  EXPECT_EQ(tab2->LastState(), 1);
  View()->SetStep(0);
}

TEST_F(OwnUiFrame, TypedLookForTextIsWhatTheScanTakes) {
  auto* box = dynamic_cast<CMBChkCbBox*>(View()->Control(CDelvoraView::kLookFor));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->Text(), u"*");
  box->lineEdit()->setText(QStringLiteral(" *.jpg , *.png "));
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(box, &out);
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_EQ(GlobalTextRef(kLookForText), box->Text());
  EXPECT_EQ(box->Text(), u"*.jpg,*.png");
}

}  // namespace

namespace {

// Renders this windows and controls for scripts/screenshots.
TEST_F(OwnUiFrame, Screenshots) {
  const char* dir = std::getenv("DV_SCREENSHOTS_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "DV_SCREENSHOTS_DIR not set";
  const QString out = QString::fromUtf8(dir) + QStringLiteral("/");
  auto shot = [&](QWidget* w, const char* name) {
    QApplication::processEvents();
    ASSERT_TRUE(w->grab().save(out + QString::fromUtf8(name)));
  };
  // Properties: picture, no preview, volume.
  Rows rows = SampleRows();
  {
    CPropertyDlg dlg([&rows](int p, bool t, PropertyRecord& r) { return rows.Get(p, t, r); }, app.MainFrame());
    dlg.SetPosition(0, 2, false);
    dlg.Init();
    dlg.show();
    shot(&dlg, "20-properties-picture.png");
    dlg.OnNext();
    shot(&dlg, "21-properties-no-preview.png");
    dlg.OnNext();
    shot(&dlg, "22-properties-volume.png");
  }
  // Each top menu open.
  QMenuBar* bar = app.MainFrame()->menuBar();
  int n = 0;
  for (QAction* top : bar->actions()) {
    QMenu* m = top->menu();
    m->popup(QPoint(0, 0));
    QApplication::processEvents();
    const std::string name = "23-menu-" + std::to_string(n++) + ".png";
    shot(m, name.c_str());
    m->hide();
  }
  // The Scan item while a scan runs.
  g_activityCode = kActivityScan;
  app.MainFrame()->SetScanSaveItem(false, true);
  View()->RefreshCommands();
  bar->actions()[0]->menu()->popup(QPoint(0, 0));
  shot(bar->actions()[0]->menu(), "24-menu-file-scanning.png");
  bar->actions()[0]->menu()->hide();
  g_activityCode = kActivityIdle;
  app.MainFrame()->SetScanSaveItem(false, false);
  View()->RefreshCommands();
  // Splash.
  CSplashWnd::Hide();
  CSplashWnd::EnableSplash(true);
  CSplashWnd::ShowSplash(app.MainFrame(), 60000);
  shot(CSplashWnd::Current(), "25-splash.png");
  CSplashWnd::Hide();
  CSplashWnd::EnableSplash(false);
  // Viewing tips, at the end of a scan and later.
  g_activityCode = kActivityScan;
  {
    CViewing tips(View(), View()->List(), View());
    tips.show();
    shot(&tips, "26-viewing-tips-after-scan.png");
  }
  g_activityCode = kActivityIdle;
  {
    CViewing tips(View(), View()->List(), View());
    tips.show();
    shot(&tips, "27-viewing-tips-idle.png");
  }
  // The open Look-for box with two types checked.
  auto* box = dynamic_cast<CMBChkCbBox*>(View()->Control(CDelvoraView::kLookFor));
  box->lineEdit()->setText(QStringLiteral("*.jpg,*.png"));
  box->showPopup();
  QApplication::processEvents();
  QWidget* popup = box->view()->window();
  {
    QPixmap whole(app.MainFrame()->size());
    whole.fill(Qt::white);
    QPainter p(&whole);
    app.MainFrame()->render(&p);
    const QPoint at = popup->mapToGlobal(QPoint(0, 0)) - app.MainFrame()->mapToGlobal(QPoint(0, 0));
    popup->render(&p, at);
    p.end();
    ASSERT_TRUE(whole.save(out + QStringLiteral("28-look-for-open.png")));
  }
  box->hidePopup();
  box->SetAll(true);
  // A gallery of every own control in every state.
  QWidget gallery;
  gallery.setObjectName(QStringLiteral("gallery"));
  gallery.resize(760, 520);
  gallery.setAutoFillBackground(true);
  QPalette pal = gallery.palette();
  pal.setColor(QPalette::Window, QColor(0x1f, 0x4e, 0x8c));
  gallery.setPalette(pal);
  auto label = [&](const QString& t, int x, int y) {
    auto* l = new CMyStatic(t, &gallery);
    l->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"));
    l->setGeometry(x, y, 200, 16);
    return l;
  };
  const char* states[] = {"normal", "hot", "pressed", "disabled"};
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  for (int i = 0; i < 4; i++) {
    const int x = 10 + i * 185;
    label(QString::fromLatin1(states[i]), x, 6);
    auto* img = new CImgButton(&gallery);
    img->setText(QStringLiteral("&Scan"));
    img->setIcon(dvres::Icon(dvres::Image::Scan));
    img->setIconSize(QSize(32, 32));
    img->SetLayout(true, false);
    img->SetFontInfo(110, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
    img->SetHandCursor(true);
    img->setGeometry(x, 26, 90, 66);
    auto* glass = new CGlassBtnCtrl(&gallery);
    glass->setText(QStringLiteral("&Browse..."));
    glass->SetIcons(dvres::Icon(dvres::Image::Browse), QIcon(), QIcon(), 16, 16);
    glass->setGeometry(x, 100, 120, 26);
    auto* tab = new CTabBtnCtrl(&gallery);
    tab->setText(QStringLiteral("Step &1: Scan"));
    tab->SetIcons(dvres::Icon(dvres::Image::Scan), QIcon(), QIcon(), 16, 16);
    tab->setGeometry(x, 134, 120, 35);
    auto* tabSel = new CTabBtnCtrl(&gallery);
    tabSel->setText(QStringLiteral("Step &2: Save"));
    tabSel->SetIcons(dvres::Icon(dvres::Image::Save), QIcon(), QIcon(), 16, 16);
    tabSel->setGeometry(x, 172, 120, 35);
    tabSel->SetSelected(true);
    auto* check = new CMyCheckboxCtrl(&gallery);
    check->setText(QStringLiteral("Use folder &names"));
    check->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
    check->setChecked(i % 2 == 0);
    check->setGeometry(x, 214, 170, 20);
    auto* radio = new CMyRadioBtnCtrl(&gallery);
    radio->setText(QStringLiteral("&Quick"));
    radio->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
    radio->setChecked(i % 2 == 1);
    radio->setGeometry(x, 238, 170, 20);
    auto* look = new CLookInCb(&gallery);
    look->AddItem(QStringLiteral("/dev/sda1 (10.00 GB)"), 2, u"/dev/sda1");
    look->setCurrentIndex(1);
    look->setGeometry(x, 264, 170, 24);
    auto* st = label(QStringLiteral("Loo&k for:"), x, 294);
    auto* grp = new CMyGroupBoxCtrl(QStringLiteral("Mode"), &gallery);
    grp->SetFontInfo(80, Rgb{0xFF, 0xAE, 0x29}, QStringLiteral("Tahoma"));
    grp->setGeometry(x, 314, 170, 50);
    QList<QWidget*> all{img, glass, tab, tabSel, check, radio, look, grp};
    if (i == 1)
      for (QWidget* w : all) QApplication::sendEvent(w, &enter);
    if (i == 2) {
      img->setDown(true), glass->setDown(true), check->setDown(true), radio->setDown(true);
      tab->setDown(true);
      QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
      look->setProperty("dummy", 1);
      (void)press;
    }
    if (i == 3) {
      for (QWidget* w : all) w->setEnabled(false);
      st->SetEnabledLook(false);
    }
  }
  auto* edit = new CMyROEdit(&gallery);
  edit->setText(QStringLiteral("/opt/delvora (read-only)"));
  edit->setGeometry(10, 380, 250, 24);
  // The banner spans the top of its page.
  auto* page = new QWidget(&gallery);
  page->setGeometry(280, 372, 470, 90);
  page->setAutoFillBackground(true);
  QPalette pagePal = page->palette();
  pagePal.setColor(QPalette::Window, QColor(0xf0, 0xf0, 0xf0));
  page->setPalette(pagePal);
  auto* banner = new CDlgHeaderCtrl(page);
  banner->SetTitle(QStringLiteral("Select Destination Folder"));
  banner->SetSubtitle(QStringLiteral("Where should the program be installed?"));
  auto* split = new CDlgSplitterCtrl(false, QRect(10, 440, 3, 70), &gallery);
  (void)split;
  label(QStringLiteral("splitter bar at the left"), 20, 466);
  auto* grpEmpty = new CMyGroupBoxCtrl(QString(), &gallery);
  grpEmpty->setGeometry(200, 440, 150, 60);
  gallery.show();
  QApplication::processEvents();
  shot(&gallery, "29-own-controls.png");
  // The main view with its own controls.
  shot(app.MainFrame(), "30-main-window-own-controls.png");
}

}  // namespace
