// One QAction per command id, shared by the menu bar, the toolbar and the
// context menus. The enable and check state of every action comes from
// ComputeCommandState over the view's state; texts that follow the state
// (Scan/Pause, Properties/Preview, Tree/List View) change with it.
#pragma once
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QObject>

#include <functional>
#include <map>
#include <vector>

#include "ui/core/CommandState.h"
#include "ui/core/MenuModel.h"

class CommandActions : public QObject {
  Q_OBJECT
 public:
  explicit CommandActions(QObject* parent = nullptr);

  QAction* Action(int commandId) const;
  const std::map<int, QAction*>& All() const { return actions_; }

  // Applies the state of every command.
  void Apply(const ViewState& state);
  // Sets the text of one command's action (menus show the text after a tab
  // as the accelerator).
  void SetText(int commandId, WStringView text);

  // Fills a menu bar (or a menu) from the menu model, using these actions.
  void FillMenuBar(QMenuBar* bar, const std::vector<MenuItem>& model);
  void FillMenu(QMenu* menu, const std::vector<MenuItem>& items);
  // Called at the end of every Apply (the menu's images follow the state).
  void SetAfterApply(std::function<void(const ViewState&)> hook) { afterApply_ = std::move(hook); }

 signals:
  void Triggered(int commandId);

 private:
  std::map<int, QAction*> actions_;
  std::function<void(const ViewState&)> afterApply_;
};

// "&Scan\tCtrl+S" as a Qt action text (Qt shows the part after the tab as
// the shortcut column).
QString ActionText(WStringView text);
