// The main frame: the single top-level window around the main view, with
// the menu bar, the toolbar, the status bar and the docked status dialog.
// It decides whether the program may close, gives every command its prompt
// and tip, and shows the percentage done in its title while minimised.
#pragma once
#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>
#include <QToolBar>
#include <memory>

#include "platform/Text.h"
#include "ui/core/AppRules.h"

class CDelvoraView;
class CStatusDlg;
class CommandActions;
class CMenuEx;
class CMyStatusBar;

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  CMainFrame();
  ~CMainFrame() override;

  // OnCreate: menu, toolbar, status bar, view and status dialog. False
  // when a part cannot be made.
  bool Create();
  // Ends running workers and drops the view's objects (the view's OnDestroy).
  void ShutDown();

  CDelvoraView* View() const { return view_; }
  CStatusDlg* StatusDialog() const { return statusDlg_; }
  CommandActions* Commands() const { return commands_; }
  QToolBar* ToolBar() const { return toolBar_; }
  QLabel* PromptPane() const { return prompt_; }
  CMyStatusBar* StatusBarPane() const { return statusBar_; }
  CMenuEx* Menu() const { return menu_; }

  void SetFolderViewButton(bool folderView);
  void SetScanSaveItem(bool recover, bool running);
  void SetButtonAndMenuItem(int command, int buttonIndex, int image, int buttonMessage, int menuMessage,
                            bool menuOnly);
  // sizeType: 0 restored, 1 minimised, 2 maximised.
  void UpdateTitle(int sizeType);
  void RepositionStatusDialog();
  void CenterWindow();
  // Shows a command's prompt in the status bar (and fits the pane).
  void ShowPrompt(int commandId);

  void OnStatusPanel();
  void OnHelpFinder();
  void OnAbout();

  // The progress-shown flag and percentage behind the minimised title.
  void SetProgressShown(bool shown, int percent);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  void BuildToolBar();
  void OnCommand(int id);
  int SizeType() const;

  CommandActions* commands_ = nullptr;
  QToolBar* toolBar_ = nullptr;
  QLabel* prompt_ = nullptr;
  CMyStatusBar* statusBar_ = nullptr;
  CMenuEx* menu_ = nullptr;
  CDelvoraView* view_ = nullptr;
  CStatusDlg* statusDlg_ = nullptr;
  bool progressShown_ = false;
  int percent_ = 0;
  bool statusDocked_ = true;
};
