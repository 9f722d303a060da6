// The program: makes the QApplication, runs the start-up steps and the
// event loop, then the exit steps.
#include <QApplication>
#include <QFont>
#include <cstdio>
#include <cstdlib>

#include "ui/DelvoraApp.h"

int main(int argc, char** argv) {
  const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!hasDisplay && !(platform && *platform)) {
    std::fprintf(stderr,
                 "delvora: no display: neither DISPLAY nor WAYLAND_DISPLAY is set.\n"
                 "Start Delvora from a desktop session (or use dvscan for a scan without windows).\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Delvora"));
  // The dialog faces fall back to DejaVu Sans where Tahoma is missing.
  QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"));
  QFont::insertSubstitution(QStringLiteral("MS Shell Dlg"), QStringLiteral("DejaVu Sans"));
  QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("DejaVu Sans Mono"));
  int rc = 0;
  {
    CDelvoraApp theApp;
    StartupOptions options;
    options.args.assign(argv, argv + argc);
    options.startupSwitches = true;
    if (!theApp.InitInstance(options)) return theApp.ExitInstance(), 1;
    rc = app.exec();
    theApp.ExitInstance();
  }
  return rc;
}
