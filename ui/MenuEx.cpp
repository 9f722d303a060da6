#include "ui/MenuEx.h"

#include <QAction>
#include <QMenuBar>

#include "foundation/Messages.h"
#include "resources/Icons.h"
#include "resources/Skins.h"
#include "ui/Commands.h"
#include "ui/QtPrompt.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ControlLook.h"
#include "ui/core/MenuModel.h"

namespace {

// Images at every size, so that the toolbar's larger buttons share them.
QIcon ImageIcon(int index) {
  static const dvres::Image kImages[] = {dvres::Image::Scan,       dvres::Image::Save,     dvres::Image::Pause,
                                         dvres::Image::Properties, dvres::Image::Preview,  dvres::Image::TreeView,
                                         dvres::Image::ListView,   dvres::Image::AdvancedVolumes, dvres::Image::Help,
                                         dvres::Image::Help};
  if (index < 0 || index > 9 || index == 8) return QIcon();
  return dvres::Icon(kImages[index]);
}

}  // namespace

CMenuEx::CMenuEx(CommandActions* actions, QObject* parent) : QObject(parent), actions_(actions) {}

bool CMenuEx::Load(QMenuBar* bar) {
  if (!actions_ || !bar) return false;
  std::vector<MenuItem> model = BuildMainMenu();
  // Top-level titles from messages 32, 284, 76, 111, 53 where not empty.
  static const int kTitles[5] = {32, 284, 76, 111, 53};
  for (size_t i = 0; i < model.size() && i < 5; i++)
    if (!Msg(kTitles[i]).empty()) model[i].text = Msg(kTitles[i]);
  actions_->FillMenuBar(bar, model);
  Update(ViewState{});
  return true;
}

int CMenuEx::ActivityFor(int command) const {
  if (command == cmd::kScan && scanRunning_) return 0;
  if (command == cmd::kSave && saveRunning_) return 1;
  return last_.activity;
}

int CMenuEx::ImageIndexOf(int command) const {
  return GetImageIndex(command, ActivityFor(command),
                       ToolbarImageOf(command, last_.propertiesState == 1, last_.folderDisplay));
}

void CMenuEx::Update(const ViewState& state) {
  last_ = state;
  for (auto& [id, action] : actions_->All()) {
    const int index = ImageIndexOf(id);
    if (index >= 0) {
      if (action->property("dvImage").toInt() != index + 1) {
        action->setIcon(ImageIcon(index));
        action->setProperty("dvImage", index + 1);
      }
    }
    // The key shown is the one the view binds, not the text's own hint.
    QString text = action->text();
    const qsizetype tab = text.indexOf(QLatin1Char('\t'));
    if (tab >= 0) text.truncate(tab);
    const WString key = BoundShortcutText(id, ActivityFor(id));
    if (!key.empty()) text += QLatin1Char('\t') + ToQ(key);
    if (text != action->text()) action->setText(text);
  }
}
