#include "ui/WindowHelp.h"

#include <QShortcut>
#include <QWidget>

#include "foundation/UiServices.h"
#include "setup/HelpFile.h"

namespace {
WString g_last;
}

int RequestHelpTopic(WStringView topic) {
  g_last = WString(topic);
  return OpenHelpTopic(topic);
}

int RequestHelpTopicOrSay(WStringView topic) {
  const int opened = RequestHelpTopic(topic);
  // The help object says itself why it showed nothing (Cancel, a file it
  // could not write).
  if (opened == 0 && !g_helpFile) ShowMessage(kMbIconInformation, u"%s", u"Help is not available in this version.");
  return opened;
}

const WString& LastHelpTopicRequested() { return g_last; }
void ForgetHelpTopicRequested() { g_last.clear(); }

void AddHelpKey(QWidget* window, WStringView topic) {
  auto* key = new QShortcut(QKeySequence(Qt::Key_F1), window);
  key->setContext(Qt::WidgetWithChildrenShortcut);
  const WString t(topic);
  QObject::connect(key, &QShortcut::activated, window, [t] { RequestHelpTopic(t); });
}
