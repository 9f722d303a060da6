// The binary I/O trace: a data file of every sector range read and a log of
// opcodes for the reads and what the readers found. This is the interface
// its callers see; the recorder itself lives above (diagnostics/IoRecorder.h)
// and the start-up root installs it. Without it every call records nothing
// and returns 0, which callers pass on as their result.
//
// Reads are recorded while a trace is open and the I/O switch is on; the
// readers' records while the data-trace switch (traceMft) is on. The
// recorder tests the switches itself, so callers need not.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "platform/Text.h"

// A found file as opcodes 3 and 4 log it. Plain values, so every family
// can hand its nodes over.
struct IoTraceFoundFile {
  WString name;
  uint64_t parent = 0;  // 5 bytes are logged; 0 when absent
  // The record's two 64-bit positions (an NTFS file reference and the
  // record's own number, say); the second is logged (5 bytes) only when
  // they differ.
  uint64_t position = 0;
  uint64_t secondPosition = 0;
  int64_t recordSector = 0;
  bool hasExtra = false;
  uint32_t extra = 0;
  uint64_t size = 0;
  bool directory = false;
  bool withoutRuns = false;
  // Each entry is one run list (raw bytes, at most 65,535 are logged);
  // an empty entry logs as "none". At most 255 entries are logged.
  std::vector<std::vector<uint8_t>> runLists;
};

class IoTrace {
 public:
  virtual ~IoTrace() = default;
  virtual void Init() {}
  virtual void Close() {}
  // Opens the pair in the folder of the trace file (Trace::TraceFolder).
  // 0, or throws DvCodeError with the last error set.
  virtual int Open() { return 0; }
  virtual int Open(WStringView) { return 0; }
  // With the drive's sector-size shift and name for the header.
  virtual int Open(WStringView, uint32_t, WStringView) { return 0; }
  virtual bool IsOpen() const { return false; }
  virtual int FlushAndCloseFiles() { return 0; }
  virtual int ReopenFiles() { return 0; }
  // The position the trace range holding `sector` gives MFT record
  // `record` (its run map's volume byte position), 0 outside every range.
  virtual int NextTraceRange() { return 0; }
  virtual uint64_t NextTraceRange(int64_t, uint64_t) { return 0; }
  // Loads the trace ranges from the options file (the support folder's
  // when no path is given). The number of ranges loaded.
  virtual int LoadTraceOptions() { return 0; }
  virtual int LoadTraceOptions(const std::string&) { return 0; }
  // record: first sector (low, high word), byte count, retry piece; data:
  // the bytes read (count rounded up to whole sectors of the header's size).
  virtual int RecordRead(const uint32_t*, const void*) { return 0; }
  // A read of `bytes` at `sector` of a drive with `sectorSize`-byte sectors.
  virtual int RecordRead(int64_t, uint32_t, uint32_t, const void*) { return 0; }
  virtual int SetChannel(uint8_t) { return 0; }
  virtual int LogOp5(int64_t, uint64_t, uint32_t) { return 0; }
  // An NTFS record whose two strides end in different words.
  virtual int LogOp6(int64_t, uint16_t, uint16_t) { return 0; }
  // 6: a read as asked; 7: as sent to the device (absolute sector).
  virtual int LogOp11(int, uint32_t, int64_t) { return 0; }
  // A carved or signature hit.
  virtual int LogOp12(uint8_t, int64_t, uint64_t, uint32_t) { return 0; }
  virtual int LogOp15(int64_t, uint32_t, uint32_t) { return 0; }
  virtual int LogOp16(uint8_t, int64_t, uint32_t, std::string_view) { return 0; }
  virtual int LogOp17(int64_t, uint32_t) { return 0; }
  virtual int LogOp20(uint8_t, uint16_t, uint64_t, int64_t) { return 0; }
  virtual int LogOp23(uint8_t, int64_t, uint32_t, bool, uint32_t, uint64_t) { return 0; }
  virtual int LogOp24(int64_t, const uint32_t*, uint8_t) { return 0; }
  virtual int LogOp25(bool, int64_t, uint32_t, std::string_view) { return 0; }
  // A found file (opcode 3, then 4 with its run lists).
  virtual int LogFoundFile(const IoTraceFoundFile&) { return 0; }
  // An HFS+ catalog leaf record (opcodes 18 and 19) with `room` bytes
  // after it in its node; 0 or the record's size.
  virtual int LogFileRecord(const void*, int) { return 0; }
  virtual int LogSector(int64_t, const void*) { return 0; }
  virtual int LogContentSample(int64_t, int, int) { return 0; }
  // A VMFS directory entry (140 bytes) met at drive sector `sector`.
  virtual int LogVmfsRecord(int64_t, const void*) { return 0; }
};

extern IoTrace* g_ioTrace;
IoTrace& theIoTrace();
// The stand-in's place in the start-up list (after the trace object); the
// root puts the recorder's there instead.
extern const StartupObject kStartupIoTrace;
