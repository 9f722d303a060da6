#include <gtest/gtest.h>

#include <cstdlib>

#if defined(DV_TEST_ROOT)
#include "app/Startup.h"
#elif defined(DV_TEST_FAMILIES)
#include "filesystems/Families.h"
#endif

// Under LeakSanitizer: fontconfig and Qt keep caches for the life of the
// process that they never free; those are not our leaks.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libQt6Core.so\n"
         "leak:libQt6Gui.so\n"
         "leak:libQt6Widgets.so\n";
}

int main(int argc, char** argv) {
  // Tests of the window layer never need a display.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
#if defined(DV_TEST_ROOT)
  InstallSubsystems();
#elif defined(DV_TEST_FAMILIES)
  RegisterFileSystemFamilies();
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
