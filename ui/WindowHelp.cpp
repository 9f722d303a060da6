#include "ui/WindowHelp.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
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

namespace {
// F1 anywhere in the window: the application's filter sees the key before
// the focused control does.
class HelpKeyFilter : public QObject {
 public:
  HelpKeyFilter(QWidget* window, WStringView topic) : QObject(window), window_(window), topic_(topic) {}
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::KeyPress || static_cast<QKeyEvent*>(e)->key() != Qt::Key_F1 ||
        static_cast<QKeyEvent*>(e)->modifiers() != Qt::NoModifier)
      return false;
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || w->window() != window_) return false;
    RequestHelpTopic(topic_);
    return true;
  }

 private:
  QWidget* window_;
  WString topic_;
};
}  // namespace

void AddHelpKey(QWidget* window, WStringView topic) { qApp->installEventFilter(new HelpKeyFilter(window, topic)); }
