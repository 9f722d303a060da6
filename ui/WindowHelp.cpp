#include "ui/WindowHelp.h"

#include "setup/HelpFile.h"

namespace {
WString g_last;
}

int RequestHelpTopic(WStringView topic) {
  g_last = WString(topic);
  return OpenHelpTopic(topic);
}

const WString& LastHelpTopicRequested() { return g_last; }
void ForgetHelpTopicRequested() { g_last.clear(); }
