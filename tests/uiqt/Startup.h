// The start-up options of the main-window tests: no options file, no
// raw-device warning, the window shown without the splash over it (it
// would take the mouse events meant for the window).
#pragma once
#include "ui/DelvoraApp.h"

inline int NoRawDevicesForTests() { return 1; }

inline StartupOptions TestStartupOptions() {
  StartupOptions o;
  o.optionsPath = "/nonexistent";
  o.rawDeviceWarning = false;
  o.show = true;
  o.splash = false;
  o.canOpenRawDevices = NoRawDevicesForTests;
  return o;
}
