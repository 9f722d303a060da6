// The application object: the start-up steps (messages, settings, the
// help-file object, the raw-device check, the main window sized, centred
// and titled) and the exit steps, and the about box. main() makes the
// QApplication and runs InitInstance; tests run it on the offscreen platform.
#pragma once
#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"

class CMainFrame;
class QLabel;
class QtPrompt;

struct StartupOptions {
  std::string optionsPath;      // special options file; empty: the default place
  bool rawDeviceWarning = true;  // warn when raw devices cannot be opened
  bool show = true;              // show the main window
  bool splash = true;            // the start-up picture over it
  // The command line; the start-up switches and the install-or-run choice
  // run only when asked (the program asks, tests do not).
  std::vector<std::string> args;
  bool startupSwitches = false;
  // For tests: replaces the raw-device test and the screen's scale.
  int (*canOpenRawDevices)() = nullptr;
};

class CDelvoraApp {
 public:
  CDelvoraApp();
  ~CDelvoraApp();
  CDelvoraApp(const CDelvoraApp&) = delete;
  CDelvoraApp& operator=(const CDelvoraApp&) = delete;

  // True when the program is to run its event loop.
  bool InitInstance(const StartupOptions& options);
  int ExitInstance();

  CMainFrame* MainFrame() const { return frame_.get(); }
  QtPrompt* PromptBox() const { return prompt_.get(); }
  // The help-file path after the ".hlp" to ".chm" change.
  const WString& HelpPath() const { return helpPath_; }

  // Runs the about box modally (the About command).
  void OnAppAbout();

 private:
  std::unique_ptr<QtPrompt> prompt_;
  std::unique_ptr<CMainFrame> frame_;
  WString helpPath_;
  bool globalsBuilt_ = false;
};

// Set while pictures can be decoded (QImage always can).
extern int g_gdiPlusAvailable;

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 100, kVersionId = 1090, kNoticeId = 1005, kSeparatorId = 1276, kLicenseId = 1286 };
  explicit CAboutDlg(QWidget* parent = nullptr);
  QString VersionText() const;
  QString NoticeText() const;

 protected:
  bool event(QEvent* e) override;

 private:
  QLabel* version_;
  QLabel* notice_;
};
