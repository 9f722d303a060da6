// The main window started offscreen for a test: a scripted prompt service,
// dialogs recorded and answered by their class name, and the steps most
// window tests take (pick a source in "Look in", scan, wait for the end).
#pragma once
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/uiqt/QtApp.h"
#include "tests/uiqt/Startup.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"

class WindowTest : public QtAppTest {
 protected:
  void SetUp() override { StartWindow(); }
  void TearDown() override {
    if (!started_) return;
    SetPromptService(&prompt);
    app.ExitInstance();
    started_ = false;
    SetDialogRunner({});
    g_activityCode = kActivityIdle;
    g_busyCounter = 0;
  }
  // Starts the application (again, after app.ExitInstance()).
  void StartWindow(const StartupOptions& options = TestStartupOptions()) {
    ASSERT_TRUE(app.InitInstance(options));
    started_ = true;
    SetPromptService(&prompt);
    SetDialogRunner([this](QDialog& d) { return Answer(d); });
    QApplication::processEvents();
  }
  // Records the dialog's class; its handler answers, else it is accepted.
  int Answer(QDialog& d) {
    const std::string name = d.metaObject()->className();
    dialogs.push_back(name);
    auto it = handlers.find(name);
    return it != handlers.end() ? it->second(d) : int(QDialog::Accepted);
  }
  CDelvoraView* View() { return app.MainFrame()->View(); }
  void WaitIdle() {
    for (int i = 0; i < 6000 && (g_activityCode.load() != kActivityIdle || g_busyCounter.load() != 0); i++)
      QTest::qWait(10);
    QApplication::processEvents();
  }
  // An image file (an absolute path) is loaded first; a listed source is
  // taken as it is.
  void Pick(const std::string& source) {
    if (source[0] == '/') View()->LoadDiskImages({FromUtf8(source)});
    const int row = View()->LookIn()->FindRow(FromUtf8(source));
    ASSERT_GE(row, 0) << source;
    View()->LookIn()->setCurrentIndex(row);
    View()->OnLookInSelChange();
    ASSERT_NE(g_currentDrive, nullptr);
  }
  void QuickScan() {
    View()->OnCommand(cmd::kScan);
    WaitIdle();
  }
  // Loads and picks the image and runs a Quick Scan to its end.
  void ScanImage(const std::string& image) {
    Pick(image);
    if (HasFatalFailure()) return;
    View()->OnCommand(cmd::kScan);
    ASSERT_EQ(g_activityCode.load(), kActivityScan);
    WaitIdle();
    ASSERT_EQ(g_activityCode.load(), kActivityIdle);
  }
  WString LastText() const { return prompt.asked().empty() ? WString() : prompt.asked().back().text; }
  bool Asked(const WString& text) const {
    for (const auto& q : prompt.asked())
      if (q.text == text) return true;
    return false;
  }

  CDelvoraApp app;
  ScriptedPrompt prompt;
  std::vector<std::string> dialogs;
  std::map<std::string, std::function<int(QDialog&)>> handlers;
  bool started_ = false;
};
