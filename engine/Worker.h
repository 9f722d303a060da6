// The compute worker: one thread runs a scan or a recovery from start to
// end and talks to the view only through the view interface and the
// hand-over batches; the view stops or pauses it through the settings
// object's stop and pause bytes and the resume event. A run carries its own
// state: what it is asked for is its request, and the scan's engine object
// is made by the run (then published as g_engine, Engine.h).
#pragma once
#include <cstdint>
#include <memory>

#include "engine/RecoverDriver.h"
#include "platform/Text.h"

class ViewSink;
class Drive;
class NTFSObj;
class SLSession;

// What the view chose for a scan.
struct ScanSelection {
  uint8_t operation = 0;      // 0 scan, 1 recovery
  uint8_t scanMode = 0;       // 0 quick, 1 long
  uint8_t selectionKind = 0;  // 0 whole drive, 1 one volume, 2 a user-defined volume
  uint16_t selectedVolume = 0;
  int64_t userStart = 0, userCount = 0;
  WString name;                 // display name of the source
  int64_t startSector = 0;      // where the volume search starts
  int64_t overrideStart = -1;   // -1: not set
  uint8_t forbidDefaultVolume = 0;
};

// A scan as the view (or a tool, or a test) asks for it: the source, the
// selection (its operation is the scan's), a loaded session to list
// instead of scanning (taken by the run), and for Scan and Save the
// destination folder (empty: none) and the answer to a full disk when
// nobody can be asked (0: the prompt service).
struct ScanRequest {
  Drive* drive = nullptr;
  ScanSelection selection;
  std::shared_ptr<SLSession> session;
  WString destination;
  int diskFullAnswer = 0;
};
// A recovery: the scan whose results are recovered (its engine, in the
// window and the tools the published g_engine), the destination folder
// (made and checked by the caller, its recovery log opened there), the
// overwrite mode (RecoverDriver.h) and the answer to a full disk when
// nobody can be asked (0: the prompt service).
struct RecoveryRequest {
  NTFSObj* engine = nullptr;
  WString destination;
  uint8_t overwriteMode = kOverwriteRename;
  int diskFullAnswer = 0;
};
// The one entry of a run: runs the worker on the calling thread with the
// request; returns when the run has ended. 0. A scan first deletes the
// last scan's published engine, then makes its own and publishes it at
// once (the view's stop and its end read it).
int RunScan(const ScanRequest& request, ViewSink* view);
int RunRecovery(const RecoveryRequest& request, ViewSink* view);

// Frees the last run's hand-over object (the next run or the end of the
// program does it otherwise).
void ReleaseSendObj();
// The scan driver, on the run's engine. Returns 0.
int SearchFS(const ScanRequest& request, NTFSObj& engine, ViewSink* view);
// Prepares drive and engine for a scan: the drive's volume table (its
// volume search when the table is empty, then a boot-sector search of 2 MiB
// from the selection's start; the default volume when nothing was found),
// or the request's session's tables. Returns 0.
int SetupNTFS(NTFSObj& engine, const ScanRequest& request);
// Display flags: bit 0 deleted files, bit 1 existing ones.
uint8_t GetScanFlags(uint8_t scanMode, uint8_t driveFlag, WStringView driveName);

// How a run ended. One table serves dvscan's exit status (the value) and
// the window's closing message.
enum class RunResult : int {
  kComplete = 0,          // every chosen item saved whole (deliberate skips aside); a scan found items
  kIncomplete = 1,        // an item failed or came out corrupt; reads failed; an error ended the run
  kNothingFound = 2,      // a scan that listed nothing
  kSourceUnreadable = 3,  // the source could not be opened or read as what it claims
  kStopped = 4,           // stopped by the user (the Scan or Save button, SIGINT)
};
// The result of the last run, set before the view hears its end.
RunResult LastRunResult();
// The error that ended the last run (shown to the user already); empty
// when none did.
const WString& RunFailureText();
// The code a scan's reader throws when the source holds nothing it can
// read (DvCodeError{kNothingReadable}, the reason in the last error): the
// run ends as kNothingFound.
inline constexpr int kNothingReadable = 424;

// The elapsed-time text of the last run (message 60).
const WString& ElapsedText();
// Why the last scan's results may be incomplete (read errors), empty when
// it read everything it asked for; set before the view hears the end.
const WString& ScanEndingText();
