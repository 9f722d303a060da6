// One QApplication for every Qt layer test in this program. Include this
// header in any test file that needs widgets; the first fixture or test that
// calls EnsureQtApp() makes the application, later calls reuse it. It lives
// until the program ends (a QApplication cannot be made twice).
#pragma once

#include <QApplication>

#include <cstdlib>

inline QApplication& EnsureQtApp() {
  if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char name[] = "uiqt_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Fixture base for tests needing the application.
#include <gtest/gtest.h>
class QtAppTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureQtApp(); }
};
