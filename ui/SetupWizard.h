// The setup windows: the install-or-run choice, the six-page wizard, the
// menu-folder browser and the licence dialog. The rules behind them are in
// setup/ (InstallInfo, the switches).
#pragma once
#include <QDialog>
#include <QWizard>
#include <string>
#include <vector>

#include "setup/Install.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;
class CDlgHeaderCtrl;
class CSetupWizard;

// The start-up switches and, for a copy that is not installed, the
// choice: true to go on into the program.
bool HandleStartupSwitches(const std::vector<std::string>& args);

// A read-only text of several lines (the wizard's licence and summary).
class CMyROMultiEdit;

class CRunModeDlg : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 367, kInstallId = 1342, kRunId = 1343 };
  explicit CRunModeDlg(QWidget* parent = nullptr);
  int choice = -1;  // 0 Install, 1 Run
  void accept() override;

 private:
  QRadioButton* install_;
  QRadioButton* run_;
};

class CDlgEula : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 303, kTextId = 1158 };
  explicit CDlgEula(QWidget* parent = nullptr);
};

class CBrowseStartMenuPrograms : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 362, kTreeId = 1340, kEditId = 1341 };
  // roots: the user's and the common applications folders.
  CBrowseStartMenuPrograms(const QString& group, const std::vector<std::string>& roots, QWidget* parent = nullptr);
  QString group;
  void accept() override;
  QTreeWidget* Tree() const { return tree_; }
  QTreeWidgetItem* Root() const { return root_; }

 private:
  void Fill(const std::vector<std::string>& roots);
  void SelectGroup();
  void OnSelection();
  QTreeWidget* tree_;
  QTreeWidgetItem* root_ = nullptr;
  QLineEdit* edit_;
  QString groupName_;
};

// 0 to go on, -1 to stay on the page (the message has been shown).
int ValidateTargetFolder(QWidget* page, const std::string& folder, QWidget* focus);

class CSetupWizard : public QWizard {
  Q_OBJECT

 public:
  enum Page { kWelcome, kEula, kDestination, kStartMenu, kSummary, kFinish };
  explicit CSetupWizard(QWidget* parent = nullptr);
  QString programFolder;  // shared by the pages
  QString group;
  InstallPlaces places;
  bool installed = false;
  // The menu folder of the chosen group.
  std::string StartMenuFolder() const;
  // The program copied (the running one; a stub in tests) and the file
  // Finish starts.
  std::string sourceProgram = "/proc/self/exe";
  std::string launchProgram;
  std::vector<IconImage> icons;
  void reject() override;
  void done(int result) override;
  // A failed install ends the wizard as cancelled, without asking.
  void EndCancelled() { QWizard::done(QDialog::Rejected); }
};
