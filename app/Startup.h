// The start-up root: the one place that knows every subsystem. It puts the
// global objects of every subsystem in their order and makes every
// registration (the file-system families, and each seam a lower library
// leaves for a higher one to fill). The program, dvscan and the tests of
// the root call it before anything else.
#pragma once
#include <string>

#include "foundation/Globals.h"

// Installs the start-up list and every registration; a second call does
// nothing. Call before BuildGlobalObjects.
void InstallSubsystems();

// For tools and tests: InstallSubsystems, then the global objects and the
// application for the scope's life (GlobalObjectsScope).
class StartupScope {
 public:
  explicit StartupScope(bool startApplication = true, const std::string& optionsPath = "/nonexistent")
      : scope_(startApplication, optionsPath) {}

 private:
  struct Installed {
    Installed() { InstallSubsystems(); }
  } installed_;
  GlobalObjectsScope scope_;
};
