#include "ui/Commands.h"

#include "foundation/Messages.h"
#include "ui/QtPrompt.h"
#include "ui/core/CommandIds.h"

QString ActionText(WStringView text) {
  QString t = ToQ(text);
  // The menu's stored Scan text has two tabs; one is enough for Qt.
  t.replace(QStringLiteral("\t\t"), QStringLiteral("\t"));
  return t;
}

CommandActions::CommandActions(QObject* parent) : QObject(parent) {
  for (int id : AllCommandIds()) {
    auto* a = new QAction(this);
    a->setData(id);
    a->setObjectName(QStringLiteral("cmd%1").arg(id));
    WString text = MenuItemText(id);
    a->setText(ActionText(text));
    connect(a, &QAction::triggered, this, [this, id] { emit Triggered(id); });
    actions_[id] = a;
  }
}

QAction* CommandActions::Action(int id) const {
  auto it = actions_.find(id);
  return it == actions_.end() ? nullptr : it->second;
}

void CommandActions::SetText(int id, WStringView text) {
  if (QAction* a = Action(id)) a->setText(ActionText(text));
}

void CommandActions::Apply(const ViewState& state) {
  for (auto& [id, action] : actions_) {
    const CommandState cs = ComputeCommandState(id, state);
    action->setEnabled(cs.enabled);
    action->setCheckable(cs.checkable);
    if (cs.checkable) action->setChecked(cs.checked);
    if (cs.textMessage && !Msg(cs.textMessage).empty()) action->setText(ActionText(Msg(cs.textMessage)));
  }
  if (afterApply_) afterApply_(state);
}

void CommandActions::FillMenu(QMenu* menu, const std::vector<MenuItem>& items) {
  for (const MenuItem& item : items) {
    switch (item.kind) {
      case MenuItem::kSeparator:
        menu->addSeparator();
        break;
      case MenuItem::kPopup: {
        QMenu* sub = menu->addMenu(ActionText(item.text));
        sub->setObjectName(QStringLiteral("popup%1").arg(item.command));
        FillMenu(sub, item.children);
        break;
      }
      case MenuItem::kCommand:
        if (QAction* a = Action(item.command)) {
          // Submenu items may carry a text of their own (Session "&Load...").
          if (!item.text.empty() && item.text != MenuItemText(item.command)) a->setText(ActionText(item.text));
          menu->addAction(a);
        }
        break;
    }
  }
}

void CommandActions::FillMenuBar(QMenuBar* bar, const std::vector<MenuItem>& model) {
  for (const MenuItem& top : model) {
    QMenu* m = bar->addMenu(ActionText(top.text));
    FillMenu(m, top.children);
  }
}
