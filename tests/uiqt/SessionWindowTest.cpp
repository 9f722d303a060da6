// The Session commands in the window, offscreen, on the committed NTFS
// image made by mkntfs and ntfs-3g: a Quick Scan saved through "Saving the
// Current Session" and loaded into a fresh window shows the same rows with
// the same statuses; a damaged session file is refused with its message;
// the dialog's checks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/WindowTest.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/SaveSessionDialog.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class SessionWindowTest : public WindowTest {
 protected:
  TempFolder box_{"sessionui"};

  // The session dialog runs answerSession; CSameDrv is cancelled.
  void SetUp() override {
    handlers["CSaveSessionDlg"] = [this](QDialog& d) {
      auto& s = static_cast<CSaveSessionDlg&>(d);
      if (answerSession) answerSession(s);
      return s.result();
    };
    handlers["CSameDrv"] = [](QDialog&) { return int(QDialog::Rejected); };
    WindowTest::SetUp();
  }
  // Each row as its seven cells.
  std::vector<std::string> Rows() {
    std::vector<std::string> out;
    CMyListCtrl* l = View()->List();
    for (int i = 0; i < l->GetItemCount(); i++) {
      std::string row;
      for (int c = 0; c < 7; c++) row += ToUtf8(l->CellText(i, c)) + "|";
      out.push_back(row);
    }
    return out;
  }
  // Saves the session (and no CSV) through the command.
  void SaveTo(const std::string& path) {
    answerSession = [path](CSaveSessionDlg& d) {
      d.saveSession = 1;
      d.createCsv = 0;
      d.sessionName = FromUtf8(path);
      d.WriteControls();
      d.OnOk();
    };
    View()->OnCommand(cmd::kSessionSave);
    answerSession = nullptr;
  }
  std::function<void(CSaveSessionDlg&)> answerSession;
};

#define IMAGE_OR_SKIP(var, name)                     \
  const std::string var = ntfs_fixture::Image(name); \
  if (var.empty()) GTEST_SKIP() << "xz missing: cannot unpack " name

TEST_F(SessionWindowTest, SavedScanLoadsIntoAFreshWindowWithTheSameRows) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  const std::vector<std::string> before = Rows();
  ASSERT_FALSE(before.empty());
  const std::string file = box_.Path() + "/scan.dvs";
  SaveTo(file);
  EXPECT_EQ(LastText(), u"The session has been saved successfully.");
  ASSERT_TRUE(std::filesystem::is_regular_file(file));
  EXPECT_EQ(ReadAll(file).rfind("Delvora", 0), 0u);

  // A new run of the window: nothing scanned, the session loaded.
  app.ExitInstance();
  g_activityCode = kActivityIdle;
  StartWindow();
  ASSERT_EQ(View()->ListRows(), 0);
  ASSERT_TRUE(View()->LoadSession(FromUtf8(file)));
  WaitIdle();
  ASSERT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(Rows(), before);
  EXPECT_NE(View()->LookIn()->FindRow(FromUtf8(img)), -1);
  EXPECT_EQ(View()->LookIn()->Source(View()->LookIn()->currentIndex()), FromUtf8(img));
}

TEST_F(SessionWindowTest, DamagedSessionFilesAreRefusedWithTheirMessage) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  const std::string file = box_.Path() + "/good.dvs";
  SaveTo(file);
  const std::string good = ReadAll(file);
  ASSERT_GT(good.size(), 64u);
  const std::vector<std::string> before = Rows();
  // Damage in the sections read before the worker starts is refused at
  // once; damage in the list ends the worker's run, never in a crash.
  struct Case {
    const char* name;
    std::string bytes;
    bool refused;
  } cases[] = {
      {"empty", "", true},
      {"garbage", std::string(300, 'x'), true},
      {"header only", good.substr(0, 20), true},
      {"no list", good.substr(0, good.find("List")), true},
      {"half", good.substr(0, good.size() / 2), true},
      {"one byte short", good.substr(0, good.size() - 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = box_.Path() + "/bad.dvs";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
    // Rows on the screen: "Clear current scan results?" is answered Yes.
    const bool rows = View()->ListRows() > 0;
    if (rows) prompt.Push(kIdYes);
    const size_t asked = prompt.asked().size();
    const bool started = View()->LoadSession(FromUtf8(path));
    WaitIdle();
    ASSERT_EQ(g_activityCode.load(), kActivityIdle);
    EXPECT_EQ(started, !c.refused);
    if (!started) {
      // The file's own message; rows are kept unless the question cleared them.
      ASSERT_GT(prompt.asked().size(), asked);
      EXPECT_FALSE(LastText().empty());
      EXPECT_NE(LastText(), u"Clear current scan results?");
      if (prompt.asked().size() == asked + 1) EXPECT_EQ(Rows(), rows ? before : std::vector<std::string>{});
    }
  }
  // A missing file says so, naming it.
  const size_t asked = prompt.asked().size();
  EXPECT_FALSE(View()->LoadSession(FromUtf8(box_.Path() + "/none.dvs")));
  ASSERT_GT(prompt.asked().size(), asked);
  EXPECT_FALSE(LastText().empty());
}

TEST_F(SessionWindowTest, ASessionOfADeletedImageNamesIt) {
  IMAGE_OR_SKIP(img, "basic");
  const std::string copy = box_.Path() + "/gone.img";
  std::filesystem::copy_file(img, copy);
  ScanImage(copy);
  const std::string file = box_.Path() + "/gone.dvs";
  SaveTo(file);
  app.ExitInstance();
  g_activityCode = kActivityIdle;
  std::filesystem::remove(copy);
  StartWindow();
  EXPECT_FALSE(View()->LoadSession(FromUtf8(file)));
  EXPECT_EQ(LastText(), FromUtf8(copy + " does not exist on this computer."));
  EXPECT_EQ(View()->ListRows(), 0);
}

// The dialog's checks: OK needs a box checked; CSV needs list display; a
// relative name, an existing folder and a device node are refused with the
// focus on that name.
TEST_F(SessionWindowTest, SaveSessionDialogChecks) {
  {
    CSaveSessionDlg d(View(), false, nullptr);
    EXPECT_TRUE(d.OkButton()->isEnabled());
    d.Ctl<QCheckBox>(CSaveSessionDlg::kSaveSession)->click();
    EXPECT_FALSE(d.OkButton()->isEnabled());
    EXPECT_FALSE(d.Control(CSaveSessionDlg::kSessionName)->isEnabled());
    d.Ctl<QCheckBox>(CSaveSessionDlg::kCreateCsv)->click();
    EXPECT_TRUE(d.OkButton()->isEnabled());
    EXPECT_TRUE(d.Control(CSaveSessionDlg::kCsvName)->isEnabled());
  }
  {
    CSaveSessionDlg d(View(), true, nullptr);
    const size_t asked = prompt.asked().size();
    d.Ctl<QCheckBox>(CSaveSessionDlg::kCreateCsv)->click();
    ASSERT_EQ(prompt.asked().size(), asked + 1);
    EXPECT_EQ(LastText(), u"This function requires the file display to be in List View. Click 'List View' on the "
                          u"toolbar and try again.");
    EXPECT_FALSE(d.Ctl<QCheckBox>(CSaveSessionDlg::kCreateCsv)->isChecked());
    EXPECT_EQ(d.createCsv, 0);
  }
  const std::string folder = box_.Path();
  struct Case {
    std::string name;
    bool csv;
  } cases[] = {{"relative.dvs", false}, {folder, false}, {"/dev/null", false}, {"list.csv", true},
               {folder, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSaveSessionDlg d(View(), false, nullptr);
    d.show();
    QApplication::setActiveWindow(&d);
    d.saveSession = c.csv ? 0 : 1;
    d.createCsv = c.csv ? 1 : 0;
    (c.csv ? d.csvName : d.sessionName) = FromUtf8(c.name);
    d.WriteControls();
    const size_t asked = prompt.asked().size();
    d.OnOk();
    EXPECT_NE(d.result(), QDialog::Accepted);
    ASSERT_EQ(prompt.asked().size(), asked + 1);
    EXPECT_EQ(LastText(), FromUtf8("'" + c.name + "' is not a valid full-path filename."));
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), d.Control(c.csv ? CSaveSessionDlg::kCsvName : CSaveSessionDlg::kSessionName));
  }
}

// Saving with only the CSV request writes the list and no session, and
// still says the session was saved.
TEST_F(SessionWindowTest, OnlyTheCsvRequestWritesTheList) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  const std::string csv = box_.Path() + "/list.csv";
  answerSession = [&](CSaveSessionDlg& d) {
    d.saveSession = 0;
    d.createCsv = 1;
    d.csvName = FromUtf8(csv);
    d.WriteControls();
    d.OnOk();
  };
  View()->OnCommand(cmd::kSessionSave);
  EXPECT_EQ(LastText(), u"The session has been saved successfully.");
  const std::string text = ReadAll(csv);
  EXPECT_GT(text.size(), 100u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box_.Path()), {}), 1);
}

}  // namespace
