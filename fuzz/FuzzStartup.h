// Every fuzz target starts as the program does: the start-up root's
// registrations (the file-system families among them) come first.
#pragma once
#include "app/Startup.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  return 0;
}
