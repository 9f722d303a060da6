// The help window (an in-process HTML viewer: browsers refuse to run as
// root) and the warning shown before help is written out (CLaunch).
#pragma once
#include <QDialog>
#include <QWidget>
#include <string>

class QTextBrowser;
class QCheckBox;
class CMainFrame;

class CHelpWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CHelpWindow(QWidget* parent);
  void Show(const std::string& path, const std::string& anchor);
  QTextBrowser* Browser() const { return browser_; }
  std::string Anchor() const { return anchor_; }

 private:
  QTextBrowser* browser_;
  std::string anchor_;
};

class CLaunch : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 230, kTextId = 1217, kCheckId = 1014 };
  explicit CLaunch(QWidget* parent = nullptr);
  bool dontShowAgain = false;
  void accept() override;

 private:
  QCheckBox* check_;
};

// Fills the help object's window seams: the warning, the viewer, the
// view's rows and the current source.
void InstallHelpWindows(CMainFrame* frame);
// The help window shown last (tests), or null.
CHelpWindow* CurrentHelpWindow();
