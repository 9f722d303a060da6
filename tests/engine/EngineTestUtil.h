// Helpers shared by the engine's test files.
#pragma once
#include "engine/SendObj.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"

// Drops the worker's hand-over object, then the test's own, and the view.
inline void DropSendObjs() {
  ReleaseSendObj();
  delete static_cast<SendObj*>(g_appState->sendObj);
  g_appState->sendObj = nullptr;
  g_appState->view = nullptr;
}
