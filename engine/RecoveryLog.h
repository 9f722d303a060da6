// The recovery log in the destination folder: "Recovery.log" (or the first
// "Recovery[NNN].log" that is free or is already a recovery log), with a
// UTF-8 byte-order mark and the header line, then a date line whenever the
// date changes and one "time  text" line per message.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Text.h"

inline constexpr char kRecoveryLogHeader[] = "----- Recovery Log -----";

// Finds (or makes, with its header) the log for a recovery into
// destinationFolder and keeps its path in the progress object. False when
// no log could be made: the recovery then runs without one.
// The log has one writer, the view's log (ViewSink::LogLine): the window's
// status dialog appends its lines itself; a headless view appends through
// AppendRecoveryLog (OpenRecoveryLog installs it with SetHeadlessLogWriter).
// The engine writes nothing itself.
bool OpenRecoveryLog(WStringView destinationFolder);
// Appends one message line, after a date line at the first line and
// whenever the date changes (nothing when no log is set). The file stays
// open and buffered (64 KiB): lines reach it at FlushRecoveryLog,
// CloseRecoveryLog or when the buffer fills.
void AppendRecoveryLog(WStringView text);
// Appends text as it is (the window's status dialog makes its own date and
// time lines) to the same open file; a failure is kept for RecoveryLogError.
void AppendRecoveryLogText(std::string_view utf8);
void FlushRecoveryLog();
// Whether a log is set for the recovery.
bool RecoveryLogIsOpen();
// Flushes and closes the log (the next run opens its own).
void CloseRecoveryLog();
// The first write to the log that failed in this run ("path: reason"),
// empty when every line went in; kept after CloseRecoveryLog.
WString RecoveryLogError();
// The log's date line: "========== Wednesday, December 9, 2026 ==========\n".
WString RecoveryLogDateLine(int year, int month, int day);

// The "Scan and Save" checkpoint: the count of files handled, kept in a
// file every `interval` files, so that a later run skips what an earlier
// run had done.
class Checkpoint {
 public:
  // Reads the saved count ("%ld") from path; 1 when read, else 0 (the
  // saved point stays 0). The path is kept for Advance's writes.
  int Load(WStringView path);
  // The next checkpoint is the saved point + n.
  void SetInterval(int32_t n);
  // Counts n more files: -1 when this file was done by an earlier run, 1
  // when a checkpoint was written now, else 0.
  int Advance(int32_t n);
  int32_t Count() const { return count_; }
  int32_t SavedPoint() const { return saved_; }
  int32_t NextCheckpoint() const { return next_; }

 private:
  int32_t count_ = 0, saved_ = 0, next_ = 10;
  std::string path_;
};
