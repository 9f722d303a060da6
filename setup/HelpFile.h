// The help-file object. Until the help file is carried by the program,
// opening a topic shows nothing and reports 0.
#pragma once
#include "platform/Text.h"

class HelpFile {
 public:
  int Open(WStringView topic);
  void UpdateDriveInUse() {}
};

extern HelpFile* g_helpFile;  // made by the application's start-up
// Opens a help topic through the help-file object; 0 when there is none.
int OpenHelpTopic(WStringView topic);
