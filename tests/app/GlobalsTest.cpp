#include "foundation/Globals.h"

#include <gtest/gtest.h>

#include <thread>

#include "storage/IoTrace.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"

namespace {

TEST(Globals, BuiltEmptyThenStartedThenTornDown) {
  ASSERT_FALSE(GlobalObjectsBuilt());
  BuildGlobalObjects();
  ASSERT_TRUE(g_eventHandover && g_eventRecovery && g_eventPause && g_trace && g_messages && g_ioTrace);
  EXPECT_EQ(theMessages().FilledCount(), 0);  // filled by the application's start
  EXPECT_EQ(g_appState, nullptr);
  EXPECT_FALSE(g_eventHandover->IsSet());
  EXPECT_EQ(theTrace().TraceFilePath(), u"");
  StartApplication("/nonexistent");
  EXPECT_GT(theMessages().FilledCount(), 0);
  ASSERT_NE(g_appState, nullptr);
  EndApplication();
  DestroyGlobalObjects();
  EXPECT_FALSE(GlobalObjectsBuilt());
  EXPECT_EQ(g_trace, nullptr);
  EXPECT_EQ(g_eventHandover, nullptr);
}

TEST(Globals, EventsAutoResetAndTimeOut) {
  GlobalObjectsScope scope;
  EXPECT_FALSE(g_eventHandover->Wait(10));
  std::thread setter([] { g_eventHandover->Set(); });
  EXPECT_TRUE(g_eventHandover->Wait(5000));
  setter.join();
  EXPECT_FALSE(g_eventHandover->IsSet());  // taken by the wait
}

}  // namespace
