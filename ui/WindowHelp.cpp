#include "ui/WindowHelp.h"

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
  if (opened == 0) ShowMessage(kMbIconInformation, u"%s", u"Help is not available in this version.");
  return opened;
}

const WString& LastHelpTopicRequested() { return g_last; }
void ForgetHelpTopicRequested() { g_last.clear(); }
