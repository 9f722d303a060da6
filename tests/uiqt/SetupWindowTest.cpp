// The setup windows and the help window, offscreen.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "setup/HelpFile.h"
#include "setup/Install.h"
#include "tests/support/TempFolder.h"
#include "tests/uiqt/WindowTest.h"
#include "ui/Commands.h"
#include "ui/DelvoraApp.h"
#include "ui/HelpWindow.h"
#include "ui/PromptDialogs.h"
#include "ui/SetupWizard.h"
#include "ui/WindowHelp.h"

namespace {

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// F1 as it reaches a window from its focused control.
void PressF1(QWidget* w) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
  QApplication::sendEvent(w->focusWidget() ? w->focusWidget() : w, &press);
}

class SetupWindowTest : public WindowTest {
 protected:
  TempFolder temp_{"setupwin"};
  void SetUp() override {
    WindowTest::SetUp();
    setenv("XDG_RUNTIME_DIR", temp_.Path().c_str(), 1);
    // The help is written beside a program of the test's own.
    if (g_helpFile) g_helpFile->programPath = temp_.Path() + "/delvora";
    handlers["CLaunch"] = [](QDialog&) { return int(QDialog::Accepted); };
  }
  void TearDown() override {
    if (CurrentHelpWindow()) delete CurrentHelpWindow();
    WindowTest::TearDown();
    unsetenv("XDG_RUNTIME_DIR");
  }
};

TEST_F(SetupWindowTest, HelpOpensAtTheTopicOfEachWindow) {
  app.MainFrame()->Commands()->Action(cmd::kHelpTopics)->trigger();
  ASSERT_NE(CurrentHelpWindow(), nullptr);
  EXPECT_EQ(CurrentHelpWindow()->Anchor(), "afxc6ir8");
  EXPECT_TRUE(CurrentHelpWindow()->isVisible());
  EXPECT_NE(CurrentHelpWindow()->Browser()->toPlainText().indexOf(QStringLiteral("how to recover files")), -1);
  // The warning came first: no scan results yet.
  EXPECT_EQ(dialogs, std::vector<std::string>{"CLaunch"});
  QApplication::setActiveWindow(View()->window());
  View()->LookIn()->setFocus();
  QTest::keyClick(View()->LookIn(), Qt::Key_F1);
  EXPECT_EQ(CurrentHelpWindow()->Anchor(), "afxc0ynh");
  // The about box: F1, and its button shows the licence.
  CAboutDlg about(app.MainFrame());
  about.show();
  QApplication::setActiveWindow(&about);
  QTest::keyClick(&about, Qt::Key_F1);
  EXPECT_EQ(CurrentHelpWindow()->Anchor(), "afxc3ol4");
  auto* licence = about.findChild<QPushButton*>(QStringLiteral("ctl1286"));
  ASSERT_NE(licence, nullptr);
  EXPECT_TRUE(licence->isEnabled());
  licence->click();
  EXPECT_EQ(dialogs.back(), "CDlgEula");
  // From a modal dialog the window is its child, so it takes keys.
  CSameDrv same(app.MainFrame());
  same.setWindowModality(Qt::ApplicationModal);
  same.show();
  QApplication::processEvents();
  PressF1(&same);
  EXPECT_EQ(LastHelpTopicRequested(), u"html\\afxc83mt.htm");
  ASSERT_NE(CurrentHelpWindow(), nullptr);
  EXPECT_EQ(CurrentHelpWindow()->parentWidget(), &same);
  EXPECT_EQ(CurrentHelpWindow()->Anchor(), "afxc83mt");
  EXPECT_NE(CurrentHelpWindow()->Browser()->toPlainText().indexOf(QStringLiteral("overriding code yes")), -1);
  same.close();
}

TEST_F(SetupWindowTest, TheOtherDialogsOpenTheirTopics) {
  struct Case {
    std::function<QWidget*()> make;
    const char16_t* topic;
  } cases[] = {{[this] { return new CDuplicate(app.MainFrame()); }, u"html\\afxc11b9.htm"},
               {[this] { return new CSkip(app.MainFrame()); }, u"html\\afxc2xio.htm"}};
  for (auto& c : cases) {
    QWidget* w = c.make();
    w->show();
    QApplication::processEvents();
    PressF1(w);
    EXPECT_EQ(LastHelpTopicRequested(), c.topic);
    delete w;
  }
}

TEST_F(SetupWindowTest, TheWizardInstallsAndFinishStartsTheCopy) {
  const std::string home = temp_.Path() + "/home";
  Shell("mkdir -p '" + home + "'");
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  setenv("DELVORA_SYSTEM_ROOT", (temp_.Path() + "/system").c_str(), 1);
  setenv("DELVORA_TEST_EUID", "1000", 1);
  const std::string stub = temp_.Path() + "/stub.sh", out = temp_.Path() + "/argv.txt";
  std::ofstream(stub) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$STUB_OUT\"\n";
  chmod(stub.c_str(), 0755);
  setenv("STUB_OUT", out.c_str(), 1);
  {
    CSetupWizard w;
    w.sourceProgram = stub;
    w.show();
    QApplication::processEvents();
    EXPECT_FALSE(w.button(QWizard::BackButton)->isVisible());
    w.next();
    // The licence: Next only after accepting.
    EXPECT_FALSE(w.button(QWizard::NextButton)->isEnabled());
    w.currentPage()->findChild<QRadioButton*>(QStringLiteral("ctl1320"))->click();
    EXPECT_TRUE(w.button(QWizard::NextButton)->isEnabled());
    w.currentPage()->findChild<QRadioButton*>(QStringLiteral("ctl1321"))->click();
    EXPECT_FALSE(w.button(QWizard::NextButton)->isEnabled());
    w.currentPage()->findChild<QRadioButton*>(QStringLiteral("ctl1320"))->click();
    w.next();
    auto* folder = w.currentPage()->findChild<QLineEdit*>(QStringLiteral("ctl1326"));
    EXPECT_EQ(folder->text().toStdString(), home + "/.local/opt/delvora-4.3");
    w.next();
    // A user installs for himself: Everyone is off and says why.
    auto* everyone = w.currentPage()->findChild<QRadioButton*>(QStringLiteral("ctl1332"));
    EXPECT_FALSE(everyone->isEnabled());
    EXPECT_TRUE(w.currentPage()->findChild<QRadioButton*>(QStringLiteral("ctl1333"))->isChecked());
    EXPECT_EQ(w.currentPage()->findChild<QLineEdit*>(QStringLiteral("ctl1330"))->text(), QStringLiteral("Delvora 4.3"));
    // Back shows the folder typed before.
    w.back();
    EXPECT_EQ(w.currentPage()->findChild<QLineEdit*>(QStringLiteral("ctl1326"))->text().toStdString(),
              home + "/.local/opt/delvora-4.3");
    w.next();
    w.next();
    const QString summary = w.currentPage()->findChild<QPlainTextEdit*>(QStringLiteral("ctl1335"))->toPlainText();
    EXPECT_NE(summary.indexOf(
                  QString::fromStdString(home + "/.local/share/applications/Delvora 4.3/marbrix-delvora-4.3.desktop")),
              -1)
        << summary.toStdString();
    EXPECT_EQ(w.button(QWizard::NextButton)->text(), QStringLiteral("&Install"));
    // Cancel asks first; No keeps the wizard.
    prompt.Push(kIdNo);
    w.reject();
    EXPECT_TRUE(w.isVisible());
    w.next();  // installs
    ASSERT_TRUE(w.installed);
    EXPECT_EQ(w.currentId(), CSetupWizard::kFinish);
    w.button(QWizard::FinishButton)->click();
  }
  const std::string program = home + "/.local/opt/delvora-4.3/delvora";
  for (int i = 0; i < 100 && access(out.c_str(), F_OK) != 0; ++i) usleep(20000);
  std::ifstream f(out);
  std::stringstream s;
  s << f.rdbuf();
  EXPECT_EQ(s.str(), program + "\n");
  EXPECT_EQ(Shell("stat -c %a '" + program + "'"), "755\n");
  InstallInfo remover;
  EXPECT_TRUE(remover.Remove(false));
  EXPECT_NE(access(program.c_str(), F_OK), 0);
  for (const char* v :
       {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "DELVORA_SYSTEM_ROOT", "DELVORA_TEST_EUID", "STUB_OUT"})
    unsetenv(v);
}

TEST_F(SetupWindowTest, TheMenuBrowserShowsBothTreesOnce) {
  const std::string user = temp_.Path() + "/user/applications", common = temp_.Path() + "/common/applications";
  Shell("mkdir -p '" + user + "/Tools/Disk' '" + user + "/Games' '" + common + "/Tools/Net' '" + common + "/Office'");
  CBrowseStartMenuPrograms dlg(QStringLiteral("Delvora 4.3"), {user, common});
  std::set<std::string> shown;
  std::function<void(QTreeWidgetItem*, const std::string&)> walk = [&](QTreeWidgetItem* i, const std::string& at) {
    for (int c = 0; c < i->childCount(); ++c) {
      const std::string p = at + "/" + i->child(c)->text(0).toStdString();
      EXPECT_TRUE(shown.insert(p).second) << p;
      walk(i->child(c), p);
    }
  };
  walk(dlg.Root(), "");
  const std::string found =
      Shell("cd '" + user + "' && find . -mindepth 1 -type d; cd '" + common + "' && find . -mindepth 1 -type d");
  std::set<std::string> expected;
  std::stringstream s(found);
  for (std::string l; std::getline(s, l);) expected.insert(l.substr(1));
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(dlg.Root()->text(0), QStringLiteral("applications"));
  // Tools with the group gives Tools/Delvora 4.3.
  QTreeWidgetItem* tools = nullptr;
  for (int c = 0; c < dlg.Root()->childCount(); ++c)
    if (dlg.Root()->child(c)->text(0) == QStringLiteral("Tools")) tools = dlg.Root()->child(c);
  ASSERT_NE(tools, nullptr);
  dlg.Tree()->setCurrentItem(tools);
  dlg.accept();
  EXPECT_EQ(dlg.group, QStringLiteral("Tools/Delvora 4.3"));
  // A group naming folders that do not exist adds them.
  CBrowseStartMenuPrograms deep(QStringLiteral("New/Sub/Delvora 4.3"), {user, common});
  EXPECT_EQ(deep.Tree()->currentItem()->text(0), QStringLiteral("Sub"));
  deep.accept();
  EXPECT_EQ(deep.group, QStringLiteral("New/Sub/Delvora 4.3"));
}

TEST_F(SetupWindowTest, Screenshots) {
  const char* dir = std::getenv("DV_SCREENSHOTS_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "DV_SCREENSHOTS_DIR not set";
  auto shot = [&](QWidget& w, const QString& name) {
    w.show();
    QApplication::processEvents();
    EXPECT_TRUE(w.grab().save(QString::fromUtf8(dir) + QStringLiteral("/setup-") + name + QStringLiteral(".png")));
  };
  CRunModeDlg mode;
  shot(mode, QStringLiteral("runmode"));
  CSetupWizard w;
  shot(w, QStringLiteral("wizard-1"));
  w.next();
  shot(w, QStringLiteral("wizard-2"));
  w.currentPage()->findChild<QRadioButton*>(QStringLiteral("ctl1320"))->click();
  for (int page = 3; page <= 5; ++page) {
    w.next();
    shot(w, QStringLiteral("wizard-%1").arg(page));
  }
  CDlgEula eula;
  shot(eula, QStringLiteral("eula"));
  CLaunch launch;
  shot(launch, QStringLiteral("launch"));
  const std::string user = temp_.Path() + "/apps";
  Shell("mkdir -p '" + user + "/Tools' '" + user + "/Games'");
  CBrowseStartMenuPrograms browse(QStringLiteral("Delvora 4.3"), {user});
  shot(browse, QStringLiteral("browse"));
  app.MainFrame()->Commands()->Action(cmd::kHelpTopics)->trigger();
  ASSERT_NE(CurrentHelpWindow(), nullptr);
  shot(*CurrentHelpWindow(), QStringLiteral("help"));
}

}  // namespace
