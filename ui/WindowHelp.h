// F1 of the program's windows: each opens its own help topic through the
// help-file object. The last topic asked for is kept for tests.
#pragma once
#include "platform/Text.h"

class QWidget;

// F1 anywhere in the window (its children too) opens the topic.
void AddHelpKey(QWidget* window, WStringView topic);

int RequestHelpTopic(WStringView topic);
// The same, and a message saying help is not available when no help file
// opened the topic (F1 and Help Topics are never a dead end).
int RequestHelpTopicOrSay(WStringView topic);
const WString& LastHelpTopicRequested();
void ForgetHelpTopicRequested();
