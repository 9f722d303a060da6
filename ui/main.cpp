#include <cstdio>

#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/SpecialOptions.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Platform.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  BuildGlobalObjects();
  int rc = 0;
  try {
    StartApplication();
    printf("%s\n", ToUtf8(kProductVersion).c_str());
    printf("messages: %d texts\n", theMessages().FilledCount());
    printf("options file: %s\n", SpecialOptionsPath().c_str());
    printf("raw device access: %s\n", plat::CanOpenRawDevices() ? "yes" : "no");
    printf("The window of the program is not built yet.\n");
  } catch (const DvCodeError&) {
    fprintf(stderr, "%s\n", ToUtf8(LastErrorText()).c_str());
    rc = 1;
  } catch (const DvTextError& e) {
    fprintf(stderr, "%s\n", ToUtf8(e.text).c_str());
    rc = 1;
  }
  EndApplication();
  DestroyGlobalObjects();
  return rc;
}
