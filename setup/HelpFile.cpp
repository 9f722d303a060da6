#include "setup/HelpFile.h"

HelpFile* g_helpFile = nullptr;

int HelpFile::Open(WStringView) { return 0; }

int OpenHelpTopic(WStringView topic) { return g_helpFile ? g_helpFile->Open(topic) : 0; }
