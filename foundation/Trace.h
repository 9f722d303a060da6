// The last error of the program and the diagnostic trace: a text trace file
// with entry/exit and free-form lines, and a trace folder into which sectors
// read from a source can be written and from which they can be replayed.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Format.h"
#include "platform/Text.h"

// Trace switches: zero means off. All set together by Trace::SetOptions.
extern std::atomic<int32_t> traceExecutionPath;
extern std::atomic<int32_t> traceRaid;
extern std::atomic<int32_t> traceMft;
extern std::atomic<int32_t> traceIo;
extern std::atomic<int32_t> traceContent;
extern std::atomic<int32_t> traceCompression;
extern std::atomic<int32_t> traceUnixFsA;
extern std::atomic<int32_t> traceUnixFsB;
extern std::atomic<int32_t> traceHfs;
extern std::atomic<int32_t> traceKeepFileOpen;
extern std::atomic<int32_t> traceSequentialSearch;
// 9999: sectors read are also written to the trace folder; 9998: sectors are
// read from the trace folder instead of the source; 9997: XFS files are saved
// there.
extern std::atomic<int32_t> sectorTraceMode;
// Further trace levels read from the options file ("BKF", "ZFS", "MXF",
// "ZIP", "Drive I/O").
extern std::atomic<int32_t> traceBkf, traceZfs, traceMxf, traceZip, traceDriveIo;
// The Long Scan's record checker (diagnostics): its limit is traceContent.
extern std::atomic<int32_t> traceRecordChecker;
// The RAID scan's rows between content samples (0 and below count as 1).
extern std::atomic<int32_t> traceRaidInterval;

inline constexpr int kLastErrorChars = 512;  // including the terminator

class Trace {
 public:
  Trace();
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // ---- last error ----
  // A copy of the last error text and its code (-1: the program's own text;
  // otherwise the errno value).
  WString LastErrorText() const;
  int32_t LastErrorCode() const;
  void SetLastError(WStringView text, int32_t code);

  // ---- trace file ----
  // Opens the trace file for appending when needed; null when tracing is
  // off or the file cannot be opened. Call under Lock().
  FILE* GetFile();
  // Releases a stream from GetFile that was not kept open.
  void ReleaseFile(FILE* f);
  std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock<std::recursive_mutex>(fileMutex_); }
  void SetOptions(WStringView path, int32_t executionPath, int32_t raid, int32_t mft, int32_t io, int32_t content,
                  int32_t compression, int32_t unixFsA, int32_t unixFsB, int32_t hfs, int32_t keepFileOpen,
                  int32_t sequentialSearch);
  WString TraceFilePath() const;
  // The folder of the trace file (no trailing "/"), empty when unset.
  std::string TraceFolder() const;
  void PrintHex(const void* countedBlock);

  // ---- sector files ----
  // Files opened for writing sectors (a disk image target or a plain file).
  // A source drive (or a member of one) is never opened for writing.
  int OpenSectorFile(const std::string& name, int slot, int64_t* position);
  int64_t WriteHandle(const void* data, size_t bytes, int slot);
  void CloseHandles();
  int sectorTargetIsDevice = 0;
  int sectorFiles[2] = {-1, -1};

  // Sources currently open for reading; sector files never go there.
  void AddProtectedSource(const std::string& path);
  void RemoveProtectedSource(const std::string& path);
  bool IsProtectedSource(const std::string& path) const;

 private:
  friend  // Text written to the trace file as it is (no format).
      void
      TraceFileClose();
  mutable std::mutex errorMutex_;
  WString lastErrorText_;
  int32_t lastErrorCode_ = 0;

  mutable std::recursive_mutex fileMutex_;
  WString traceFilePath_;
  FILE* traceFile_ = nullptr;

  mutable std::mutex protectedMutex_;
  std::vector<std::string> protected_;
};

extern Trace* g_trace;  // built at start-up (see Globals)
Trace& theTrace();

// ---- last error ----
// With a text: that text, code -1. Without: errno and its text, after the
// prefix and ": " when a prefix is given; a trailing CR/LF is stripped.
Trace& ErrorMsg(const char16_t* text, const char16_t* prefix = nullptr);
inline Trace& ErrorMsg(const WString& text) { return ErrorMsg(text.c_str()); }
Trace& VErrorMsgArgs(const char16_t* format, FmtArgs args);
template <class... A>
Trace& VErrorMsg(const char16_t* format, const A&... args) {
  return VErrorMsgArgs(format, {FmtArg(args)...});
}
inline WString LastErrorText() { return theTrace().LastErrorText(); }
// Shows "Out of memory.", records it and throws DvCodeError{0}.
[[noreturn]] void ShowErrorAndThrow();

// ---- trace lines ----
// "E"/"e" lines of the function trace, indented by the thread's nesting
// depth. Callers test traceExecutionPath first (TraceScope does).
void TraceFunction(const char* name, const char* mark);
int TracePrintfAArgs(std::string_view format, FmtArgs args);
int TracePrintfWArgs(WStringView format, FmtArgs args);
template <class... A>
int TracePrintfA(std::string_view format, const A&... args) {
  return TracePrintfAArgs(format, {FmtArg(args)...});
}
template <class... A>
int TracePrintfW(WStringView format, const A&... args) {
  return TracePrintfWArgs(format, {FmtArg(args)...});
}
void TraceFileClose();
// Text written to the trace file as it is (no format).
int TraceText(std::string_view text);
int HexDumpSector(const void* buffer, int64_t sector, size_t length, size_t bytesPerSector, FILE* stream = nullptr);

// Writes an entry line on construction and an exit line on destruction
// when the execution-path trace is on.
class TraceScope {
 public:
  explicit TraceScope(const char* name) : name_(traceExecutionPath.load(std::memory_order_relaxed) ? name : nullptr) {
    if (name_) TraceFunction(name_, "E");
  }
  ~TraceScope() {
    if (name_) TraceFunction(name_, "e");
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  const char* name_;
};
#define DV_TRACE_CAT2(a, b) a##b
#define DV_TRACE_CAT(a, b) DV_TRACE_CAT2(a, b)
#define TRACE_FN(name) TraceScope DV_TRACE_CAT(traceScope_, __LINE__)(name)

// ---- sector files of the trace folder ----
int WriteTraceSectors(int64_t firstSector, size_t byteCount, size_t bytesPerSector, const void* data,
                      const char* extension, unsigned disk, unsigned partition);
int ReadTraceSectors(int64_t firstSector, size_t byteCount, size_t bytesPerSector, void* buffer, unsigned disk,
                     unsigned partition);
std::string TraceSectorFileName(const std::string& folder, int64_t firstSector, size_t byteCount,
                                size_t bytesPerSector, const char* extension, unsigned disk, unsigned partition);

// ---- trace file names ----
// 1 for "wubgrain.txt" or today's date-built name with ".txt", 2 for the
// date-built name with ".mbd", else 0.
int IsTraceFileName(WStringView name);
// The 8-character date-built name for a date (see docs/DESIGN.md).
std::string DateTraceName(int year, int month, int day);
