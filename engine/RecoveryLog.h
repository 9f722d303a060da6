// The recovery log in the destination folder: "Recovery.log" (or the first
// "Recovery[NNN].log" that is free or is already a recovery log), with a
// UTF-8 byte-order mark and the header line, then a date line whenever the
// date changes and one "time  text" line per message.
#pragma once
#include "platform/Text.h"

inline constexpr char kRecoveryLogHeader[] = "----- Recovery Log -----";

// Opens (or reuses) the log for a recovery into destinationFolder and keeps
// its path in the progress object. False when no log could be made: the
// recovery then runs without one.
bool OpenRecoveryLog(WStringView destinationFolder);
// Appends one message line to the open log (nothing when none is open).
// The log stays open and buffered: lines reach the file at
// FlushRecoveryLog, CloseRecoveryLog or when the buffer fills.
void AppendRecoveryLog(WStringView text);
void FlushRecoveryLog();
bool RecoveryLogIsOpen();
// Flushes and closes the open log (the next run opens its own).
void CloseRecoveryLog();
