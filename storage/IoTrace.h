// The binary I/O trace recorder. Until the recorder itself is built every
// call records nothing and returns 0, which callers pass on as their result.
#pragma once
#include <cstdint>

#include "foundation/Globals.h"

class IoTrace {
 public:
  void Init() {}
  void Close() {}
  int Open() { return 0; }
  int FlushAndCloseFiles() { return 0; }
  int ReopenFiles() { return 0; }
  int NextTraceRange() { return 0; }
  int LoadTraceOptions() { return 0; }
  int RecordRead(const uint32_t*, const void*) { return 0; }
  int SetChannel(uint8_t) { return 0; }
  int LogOp6(int64_t, uint16_t, uint16_t) { return 0; }
  int LogOp11(int, uint32_t, int64_t) { return 0; }
  int LogFileRecord(const void*, int) { return 0; }
  int LogSector(int64_t, const void*) { return 0; }
  int LogContentSample(int64_t, int, int) { return 0; }
  // A VMFS directory entry (140 bytes) met at drive sector `sector`.
  int LogVmfsRecord(int64_t, const void*) { return 0; }
};

extern IoTrace* g_ioTrace;
IoTrace& theIoTrace();
// The recorder's place in the start-up list (after the trace object).
extern const StartupObject kStartupIoTrace;
