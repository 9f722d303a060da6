#include "storage/IoTrace.h"

IoTrace* g_ioTrace = nullptr;

IoTrace& theIoTrace() {
  static IoTrace fallback;
  return g_ioTrace ? *g_ioTrace : fallback;
}
