// dvscan: the headless scan driver for tests and benchmarks. It implements
// the view interface without windows and runs the worker exactly as the
// user interface does.
//
//   dvscan [options] SOURCE
//     --long              Long Scan
//     --volume N          scan only volume N of the source's volume table
//     --list FILE         write the found items as tab-separated lines
//     --recover DIR       recover found items into DIR
//     --deleted-only      with --recover: only deleted items
//     --overwrite MODE    newer|rename|overwrite|skip
//     --options FILE      a special options file
//     --stop-after N      a list window of N items: the scan stops at the
//                         item after it (tests)
//     --range FIRST:LAST  Long Scan only sectors FIRST to LAST (inclusive)
//     --exclude FILE      never read the sector ranges of FILE (a first and
//                         a last sector a line)
//     --filter TEXT       list only paths that begin with TEXT ("\a\b")
//                         or match it as a pattern
//     --no-overlap        Long Scan: read and classify one after the other
//     --threads N         the threads a Long Scan tests sectors on (0: one
//                         a processor, the default; 1: every sector in
//                         turn on one; the results are the same)
//     --trace FILE        the trace file (its folder also takes the trace
//                         options' side files)
//     --trace-switches NAME[=N],...
//                         set the named trace switches (a bare name is 1);
//                         the others stay as they are
//     --io-trace          open the binary I/O trace pair in the trace
//                         file's folder once the source is open, as the
//                         Trace dialog's OK does
//     --raid S:D:R[:M:O]  the advanced settings of a RAID source: stripe
//                         KiB ("0.5" for 512 bytes), parity delay,
//                         rotation[, RAID 6 coefficient mode and order]
//     --save-session FILE write the scan to a session file after it
//     --load-session FILE instead of scanning, load a session file (no
//                         SOURCE: the file names it and it is opened again)
//
// The last line on standard output: items=N deleted=M scan_seconds=S, and
// with --recover: saved= skipped= failed= corrupt= identical= recover_seconds=
// (identical: skipped items whose identical copy is already there).
//
// Exit status (the worker's result, RunResult in engine/Worker.h; the
// window's closing message says the same):
//   0  every chosen item saved whole (deliberate skips aside: system files,
//      links, identical copies); without --recover, the scan found items
//   1  an item failed or came out corrupt, reads failed during the scan, or
//      the run could not do what was asked (a bad option, a destination,
//      list, log or session file that cannot be written)
//   2  nothing found
//   3  the source could not be read: it cannot be opened, is not what it
//      claims (a damaged or incomplete virtual disk, a chain out of order),
//      or the session names a source that is not the one it was made on
//   4  stopped (SIGINT stops as the Scan button's abort does; a file being
//      written is removed)
#include <malloc.h>
#include <signal.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Startup.h"
#include "engine/Engine.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoverNtfs.h"
#include "engine/RecoveryLog.h"
#include "engine/SectorDiagnostics.h"
#include "engine/SendObj.h"
#include "engine/SessionService.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/IoTrace.h"
#include "storage/RaidSettings.h"
#include "volumes/DestinationPath.h"
#include "volumes/Node.h"

namespace {

void OnSigint(int) {
  if (g_appState) g_appState->stopRequested.store(1);
}

// Errors go to standard error and are remembered for the exit status.
class ToolPrompt : public PromptService {
 public:
  int MessageBox(WStringView text, WStringView, unsigned style) override {
    if ((style & 0xF0) == kMbIconError) errors++;
    std::fprintf(stderr, "%s\n", ToUtf8(text).c_str());
    // Nobody is there to agree that an output file be replaced.
    if ((style & kMbButtonsMask) == kMbYesNo && text.substr(0, 10) == u"Overwrite ") return kIdNo;
    return (style & kMbButtonsMask) == kMbYesNo || (style & kMbButtonsMask) == kMbYesNoCancel ? kIdYes : kIdOk;
  }
  std::atomic<int> errors{0};
};

// The view: each batch is written out as it arrives, nothing is kept.
class ListView : public ViewSink {
 public:
  FILE* list = nullptr;
  uint64_t items = 0, deleted = 0;
  // With --recover: the files to recover, handed out 100 at a time.
  bool collect = false, deletedOnly = false;
  WString recoverRoot;
  std::vector<RecoveryListEntry> toRecover;
  size_t nextToRecover = 0;
  int percent = 0;
  bool listFailed = false;
  // With --save-session: every item handed over, in order.
  bool keepItems = false;
  std::vector<FoundItem> kept;

  void OperationStarted() override {}
  void FoundItems(std::vector<FoundItem>& batch, int pc) override {
    percent = pc;
    AdviseLargeHeapPages();
    for (const FoundItem& it : batch) {
      items++;
      const bool del = (it.flags & kNodeDeleted) != 0;
      if (del) deleted++;
      if (list) WriteLine(it, del);
      if (keepItems) {
        FoundItem k;
        k.nodeIndex = it.nodeIndex;
        k.folderPath = it.folderPath;
        k.volumeIndex = it.volumeIndex;
        kept.push_back(std::move(k));
      }
      if (collect && !(it.flags2 & 0x0002) && (!deletedOnly || del)) {
        RecoveryListEntry e;
        e.nodeIndex = it.nodeIndex;
        e.volumeIndex = it.volumeIndex == 0xFFFF ? -1 : int32_t(it.volumeIndex);
        e.recordIndex = int32_t(toRecover.size());
        // An item whose path cannot be made safe keeps an empty path: the
        // recovery reports and skips it.
        if (!BuildDestinationPath(recoverRoot, FolderBelowVolume(it.folderPath), it.name, &e.destinationPath))
          e.destinationPath.clear();
        toRecover.push_back(std::move(e));
      }
    }
    batch.clear();
    if (g_eventHandover) g_eventHandover->Set();
  }
  void StatusItems(std::vector<StatusItem>& batch, int) override {
    batch.clear();
    if (g_eventHandover) g_eventHandover->Set();
  }
  void ProgressText(int, WStringView) override {}
  void FillRecoveryList(std::vector<RecoveryListEntry>& l) override {
    l.clear();
    while (nextToRecover < toRecover.size() && l.size() < size_t(kRecoveryListSize))
      l.push_back(toRecover[nextToRecover++]);
    if (g_eventRecovery) g_eventRecovery->Set();
  }
  // During a recovery the lines go to the recovery log (the engine's
  // buffered writer); otherwise, or without a log, to standard error.
  void LogLine(WStringView line) override {
    if (RecoveryLogIsOpen()) AppendRecoveryLog(line);
    else std::fprintf(stderr, "%s\n", ToUtf8(line).c_str());
  }
  void OperationEnded(int64_t) override {}

 private:
  // The path the Save command writes below its destination (the volume
  // makes no folder), "?" for none (empty name or too long); then size,
  // deleted, status, node, the volume (its number in the source's volume
  // table, empty for none: two volumes' files of one name are told apart)
  // and the kind (file, folder, link), tab-separated.
  void WriteLine(const FoundItem& it, bool del) {
    line_.clear();
    if (paths_.Build(FolderBelowVolume(it.folderPath), it.name, &dest_)) line_.append(dest_, kRootBytes);
    else line_ += '?';
    char number[24];
    line_ += '\t';
    line_.append(number, std::to_chars(number, number + sizeof number, (unsigned long long)it.size).ptr);
    line_ += del ? "\t1\t" : "\t0\t";
    // The Status column as the window shows it: a grade, or a file the
    // scan already knows to be incomplete.
    line_ += it.condition == 328                                       ? "Good"
             : it.condition == 329                                     ? "Poor"
             : (it.flags & kNodeGradeMask) == GradeBits(kGradeCorrupt) ? "Corrupt"
                                                                       : "";
    line_ += '\t';
    line_.append(number, std::to_chars(number, number + sizeof number, int(it.nodeIndex)).ptr);
    line_ += '\t';
    if (it.volumeIndex != 0xFFFF)
      line_.append(number, std::to_chars(number, number + sizeof number, int(it.volumeIndex)).ptr);
    line_ += (it.flags2 & kNode2Directory) ? "\tfolder\n" : it.symlink ? "\tlink\n" : "\tfile\n";
    if (std::fwrite(line_.data(), 1, line_.size(), list) != line_.size()) listFailed = true;
  }

  // Paths below "/r", given without it.
  static constexpr size_t kRootBytes = 3;
  DestinationPathCache paths_{u"/r"};
  std::string dest_, line_;
};

// mkdir -p through the engine's own folder maker: each missing folder of
// the path is created; an existing one must be a folder. False with the
// reason otherwise.
bool MakeFolders(const std::string& path, std::string* why) {
  if (CheckPath(FromUtf8(path) + u"/x") >= 0) return true;
  *why = ToUtf8(LastErrorText());
  return false;
}

// "FIRST:LAST" (inclusive sectors) into the settings' Long Scan range, and
// an exclusion file (a first and last sector a line) into the drive's
// exclusion set.
bool ApplyLongScanOptions(Drive& drive, const std::string& range, const std::string& excludePath, bool noOverlap,
                          std::string* why) {
  if (noOverlap) g_appState->longScanOverlap = 0;
  if (!range.empty()) {
    long long first = 0, last = 0;
    char tail = 0;
    if (std::sscanf(range.c_str(), "%lld:%lld%c", &first, &last, &tail) != 2 || first < 0 || last < first) {
      *why = "--range: expected FIRST:LAST with 0 <= FIRST <= LAST, got \"" + range + "\"";
      return false;
    }
    g_appState->longScanFirstSector = first;
    g_appState->longScanLastSector = last;
  }
  if (!excludePath.empty()) {
    FILE* f = std::fopen(excludePath.c_str(), "r");
    if (!f) {
      *why = excludePath + ": " + std::strerror(errno);
      return false;
    }
    auto set = std::make_shared<CSectRanges>();
    const uint64_t ss = drive.SectorSize(), base = drive.ExtentFirstSector();
    char line[256];
    int lineNo = 0;
    bool ok = true;
    while (std::fgets(line, sizeof line, f)) {
      lineNo++;
      long long first = 0, last = 0;
      const int n = std::sscanf(line, "%lld %lld", &first, &last);
      if (n <= 0) continue;  // an empty line
      if (n != 2 || first < 0 || last < first || uint64_t(last) >= (UINT64_MAX / ss) - base - 1) {
        *why = excludePath + ":" + std::to_string(lineNo) + ": expected a first and a last sector";
        ok = false;
        break;
      }
      set->AddRange((base + uint64_t(first)) * ss, (base + uint64_t(last) + 1) * ss);
    }
    std::fclose(f);
    if (!ok) return false;
    drive.SetExclusionSet(std::move(set));
  }
  return true;
}

// --trace-switches: "name[=value],..." (a bare name is 1); the switches it
// does not name keep their values.
bool ApplyTraceSwitches(const std::string& list, std::string* why) {
  struct Switch {
    const char* name;
    int32_t value;
  };
  Switch main[] = {{"execution-path", traceExecutionPath},
                   {"raid", traceRaid},
                   {"mft", traceMft},
                   {"io", traceIo},
                   {"content", traceContent},
                   {"compression", traceCompression},
                   {"unix-a", traceUnixFsA},
                   {"unix-b", traceUnixFsB},
                   {"hfs", traceHfs},
                   {"keep-open", traceKeepFileOpen},
                   {"sequential", traceSequentialSearch}};
  struct Extra {
    const char* name;
    std::atomic<int32_t>* target;
  };
  const Extra extras[] = {{"sector-mode", &sectorTraceMode},
                          {"bkf", &traceBkf},
                          {"zfs", &traceZfs},
                          {"mxf", &traceMxf},
                          {"zip", &traceZip},
                          {"drive-io", &traceDriveIo},
                          {"record-checker", &traceRecordChecker},
                          {"file-records", &traceFileRecords},
                          {"ext-extents", &traceExtExtentBytes},
                          {"raid-interval", &traceRaidInterval}};
  std::vector<std::pair<std::atomic<int32_t>*, int32_t>> sets;
  size_t at = 0;
  while (at <= list.size()) {
    size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(at, end - at);
    at = end + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string text = eq == std::string::npos ? "1" : item.substr(eq + 1);
    char* stop = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &stop, 10);
    if (errno || !stop || *stop || text.empty() || v < INT32_MIN || v > INT32_MAX) {
      *why = "--trace-switches: \"" + item + "\" needs a number";
      return false;
    }
    bool known = false;
    for (Switch& m : main)
      if (key == m.name) m.value = int32_t(v), known = true;
    for (const Extra& x : extras)
      if (key == x.name) sets.emplace_back(x.target, int32_t(v)), known = true;
    if (!known) {
      *why = "--trace-switches: unknown switch \"" + key + "\"";
      return false;
    }
  }
  theTrace().SetOptions(theTrace().TraceFilePath(), main[0].value, main[1].value, main[2].value, main[3].value,
                        main[4].value, main[5].value, main[6].value, main[7].value, main[8].value, main[9].value,
                        main[10].value);
  for (auto& [target, value] : sets) target->store(value);
  return true;
}

// An absolute path for a file that may not exist yet.
std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string out = path;
  if (char* cwd = getcwd(nullptr, 0)) {
    out = std::string(cwd) + "/" + path;
    std::free(cwd);
  }
  return out;
}

// Exit statuses (see the table at the top).
enum ExitStatus : int {
  kExitComplete = 0,
  kExitIncomplete = 1,
  kExitNothingFound = 2,
  kExitSourceUnreadable = 3,
  kExitStopped = 4,
};

int Usage() {
  std::fprintf(stderr,
               "usage: dvscan [--long] [--volume N] [--list FILE] [--recover DIR] [--deleted-only]\n"
               "              [--overwrite newer|rename|overwrite|skip] [--options FILE] [--stop-after N]\n"
               "              [--range FIRST:LAST] [--exclude FILE] [--filter TEXT] [--no-overlap] [--threads N]\n"
               "              [--skip-headers] [--trace FILE] [--raid STRIPE_KIB:DELAY:ROTATION[:MODE:ORDER]]\n"
               "              [--trace-switches NAME[=N],...] [--io-trace] [--save-session FILE] SOURCE\n"
               "       dvscan --load-session FILE [--list FILE] [--recover DIR] [...]\n"
               "exit status: 0 every chosen item saved whole (skips aside), or without --recover items found;\n"
               "             1 an item failed or came out corrupt, reads failed, or the run could not do what\n"
               "               was asked (a bad option, a destination or output file that cannot be written);\n"
               "             2 nothing found; 3 the source could not be read (or a session's source changed);\n"
               "             4 stopped (SIGINT)\n");
  return kExitIncomplete;
}

// The command line as given; ParseArguments fills it.
struct Options {
  std::string source, listPath, recoverDir, optionsPath = "/nonexistent", overwrite, raidSettings;
  std::string saveSessionPath, loadSessionPath;
  bool longScan = false, deletedOnly = false, skipHeaders = false, noOverlap = false, ioTrace = false;
  std::string rangeText, excludePath, filterText, traceSwitches, tracePath;
  bool haveFilter = false;
  long volume = -1;
  unsigned long long stopAfter = 0;
  long threads = -1;

  // False when the usage text is due: an unknown option, one without its
  // value or with a bad one, or not exactly one of SOURCE and
  // --load-session.
  bool ParseArguments(int argc, char** argv);
};

bool Options::ParseArguments(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--long") longScan = true;
    else if (a == "--no-overlap") noOverlap = true;
    else if (a == "--io-trace") ioTrace = true;
    else if (a == "--trace-switches" && value(&traceSwitches)) {
    }
    else if (a == "--range" && value(&rangeText)) {
    } else if (a == "--exclude" && value(&excludePath)) {
    } else if (a == "--filter" && value(&filterText)) {
      haveFilter = true;
    }
    else if (a == "--trace" && value(&tracePath)) {
    } else if (a == "--deleted-only") deletedOnly = true;
    // A test option: the sector pass looks for no file headers.
    else if (a == "--skip-headers") skipHeaders = true;
    else if (a == "--volume" && value(&v)) {
      char* end = nullptr;
      errno = 0;
      volume = std::strtol(v.c_str(), &end, 10);
      if (errno || !end || *end || volume < 0 || volume > 65534) return false;
    } else if (a == "--list" && value(&listPath)) {
    } else if (a == "--recover" && value(&recoverDir)) {
    } else if (a == "--overwrite" && value(&overwrite)) {
      if (overwrite != "newer" && overwrite != "rename" && overwrite != "overwrite" && overwrite != "skip")
        return false;
    } else if (a == "--options" && value(&optionsPath)) {
    } else if (a == "--raid" && value(&raidSettings)) {
    } else if (a == "--save-session" && value(&saveSessionPath)) {
    } else if (a == "--load-session" && value(&loadSessionPath)) {
    } else if (a == "--stop-after" && value(&v)) {
      stopAfter = std::strtoull(v.c_str(), nullptr, 10);
    } else if (a == "--threads" && value(&v)) {
      char* end = nullptr;
      threads = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || threads < 0 || threads > 64) return false;
    } else if (!a.empty() && a[0] != '-' && source.empty()) {
      source = a;
    } else {
      return false;
    }
  }
  return source.empty() != loadSessionPath.empty();
}

// One run of the tool: its options and what each step leaves for the next,
// in the order Run takes them. A step that fails has said why on standard
// error and answers false; the run then ends with status 1.
struct ToolRun : Options {
  ToolRun(const Options& options, ToolPrompt& toolPrompt) : Options(options), prompt(toolPrompt) {}
  int Run();

  // The settings object and the trace from the options.
  bool ApplySettings();
  bool OpenList();
  // The source by absolute path, with its RAID settings.
  bool ResolveSource();
  // The source, or the session file and the source it names.
  bool OpenSource();
  bool ApplyScanLimits();
  // The recovery's destination: checked against the source, made, resolved.
  bool PrepareDestination();
  // --io-trace: the binary pair in the trace folder, never on the source.
  bool OpenIoTrace();
  // The worker's scan, the session save and the recovery; then the report
  // and the end of the run. The exit status.
  int ScanAndRecover();
  // The messages of an incomplete result and the last line; the exit status.
  int Report(RunResult scanResult, int scanErrors, RunResult recoveryResult, double seconds, bool sessionFailed,
             double recoverSeconds);

  ToolPrompt& prompt;
  ListView view;
  WString name;
  Drive* drive = nullptr;
  std::unique_ptr<SLSession> loaded;
  SessionParms sessionParms;
};

int ToolRun::Run() {
  if (!ApplySettings() || !OpenList() || !ResolveSource()) return kExitIncomplete;
  if (!OpenSource()) return kExitSourceUnreadable;
  if (!ApplyScanLimits() || !PrepareDestination() || !OpenIoTrace()) return kExitIncomplete;
  const int status = ScanAndRecover();
  theIoTrace().Close();
  return status;
}

bool ToolRun::OpenIoTrace() {
  if (!ioTrace) return true;
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "--io-trace: %s\n", why.c_str());
    DeleteDrive(&drive);
    if (view.list) std::fclose(view.list);
    SetPromptService(nullptr);
    return false;
  };
  const std::string folder = theTrace().TraceFolder();
  if (folder.empty()) return fail("needs --trace FILE");
  if (!drive->IsSafeVolume(FromUtf8(folder + "/"))) return fail(ToUtf8(Msg(292)));
  try {
    theIoTrace().Open(theTrace().TraceFilePath(), drive->Shift(), drive->DisplayName());
  } catch (const DvCodeError&) {
    return fail(ToUtf8(LastErrorText()));
  }
  return true;
}

bool ToolRun::ApplySettings() {
  if (!traceSwitches.empty()) {
    std::string why;
    if (!ApplyTraceSwitches(traceSwitches, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      SetPromptService(nullptr);
      return false;
    }
  }
  if (skipHeaders) g_appState->skipHeaders = 1;
  if (threads >= 0) g_appState->workThreads = uint8_t(threads);
  if (!tracePath.empty()) {
    theTrace().SetOptions(FromUtf8(tracePath), traceExecutionPath, traceRaid, traceMft, traceIo, traceContent,
                          traceCompression, traceUnixFsA, traceUnixFsB, traceHfs, traceKeepFileOpen,
                          traceSequentialSearch);
  }
  if (stopAfter) {
    g_appState->searchFirst = 0;
    g_appState->searchLimit = uint32_t(std::min<unsigned long long>(stopAfter, UINT32_MAX));
  }
  return true;
}

bool ToolRun::OpenList() {
  if (!listPath.empty()) {
    view.list = std::fopen(listPath.c_str(), "w");
    if (!view.list) {
      std::fprintf(stderr, "%s: %s\n", listPath.c_str(), std::strerror(errno));
      SetPromptService(nullptr);
      return false;
    }
    // A million lines: large writes, not one per 4 KiB.
    std::setvbuf(view.list, nullptr, _IOFBF, 1 << 20);
    std::fprintf(view.list, "path\tsize\tdeleted\tstatus\tnode\tvolume\tkind\n");
  }
  return true;
}

bool ToolRun::ResolveSource() {
  // Image files are named by absolute path.
  if (!source.empty() && source[0] != '/' && source.rfind("\\\\.\\", 0) != 0) {
    if (char* real = realpath(source.c_str(), nullptr)) {
      source = real;
      std::free(real);
    }
  }
  name = FromUtf8(source);
  if (!raidSettings.empty()) {
    RaidSettings settings;
    if (!ParseRaidSettingsText(FromUtf8(raidSettings), &settings)) {
      std::fprintf(stderr, "--raid %s: %s\n", raidSettings.c_str(), ToUtf8(Msg(376)).c_str());
      SetPromptService(nullptr);
      return false;
    }
    SetRaidSettings(name, settings);
  }
  return true;
}

bool ToolRun::OpenSource() {
  if (!loadSessionPath.empty()) {
    // The session names its source and is opened as the Load command does.
    try {
      int twoBytes[2] = {0, 0};
      loaded = BeginSessionLoad(FromUtf8(AbsolutePath(loadSessionPath)), &sessionParms, twoBytes);
      drive = OpenSessionSource(sessionParms);
      ReadSessionSections(*loaded, *drive);
    } catch (const DvCodeError&) {
      std::fprintf(stderr, "%s: %s\n", loadSessionPath.c_str(), ToUtf8(LastErrorText()).c_str());
      loaded.reset();
      DeleteDrive(&drive);
      if (view.list) std::fclose(view.list);
      SetPromptService(nullptr);
      return false;
    }
    source = ToUtf8(sessionParms.sourceName);
  } else {
    try {
      drive = CreateDrive(name);
      drive->InitDrive(name);
    } catch (const DvCodeError&) {
      // The error names the source itself as a rule; never twice.
      const std::string why = ToUtf8(LastErrorText());
      if (why.find(source) != std::string::npos) std::fprintf(stderr, "%s\n", why.c_str());
      else std::fprintf(stderr, "%s: %s\n", source.c_str(), why.c_str());
      DeleteDrive(&drive);
      if (view.list) std::fclose(view.list);
      SetPromptService(nullptr);
      return false;
    }
  }
  return true;
}

bool ToolRun::ApplyScanLimits() {
  if (!rangeText.empty() || !excludePath.empty() || noOverlap || haveFilter) {
    std::string why;
    if (!ApplyLongScanOptions(*drive, rangeText, excludePath, noOverlap, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      DeleteDrive(&drive);
      SetPromptService(nullptr);
      return false;
    }
    if (haveFilter) {
      const WString filter = FromUtf8(filterText);
      drive->SetFilter(u"", &filter);
    }
  }
  return true;
}

bool ToolRun::PrepareDestination() {
  if (!recoverDir.empty()) {
    // A relative destination lies below the working folder. Nothing is
    // made on it before it has passed the source rule: a folder made on a
    // mount of the source would be a write to it.
    const std::string given = recoverDir;
    recoverDir = AbsolutePath(recoverDir);
    if (!drive->IsSafeVolume(FromUtf8(recoverDir))) {
      std::fprintf(stderr, "%s: %s\n", given.c_str(), ToUtf8(Msg(292)).c_str());
      DeleteDrive(&drive);
      if (view.list) std::fclose(view.list);
      SetPromptService(nullptr);
      return false;
    }
    // The destination is made with every missing parent, and named by
    // absolute path.
    std::string why;
    if (!MakeFolders(recoverDir, &why)) {
      std::fprintf(stderr, "%s: cannot create the destination folder: %s\n", given.c_str(), why.c_str());
      DeleteDrive(&drive);
      if (view.list) std::fclose(view.list);
      SetPromptService(nullptr);
      return false;
    }
    if (char* real = realpath(recoverDir.c_str(), nullptr)) {
      recoverDir = real;
      std::free(real);
    } else {
      std::fprintf(stderr, "%s: %s\n", recoverDir.c_str(), std::strerror(errno));
      DeleteDrive(&drive);
      if (view.list) std::fclose(view.list);
      SetPromptService(nullptr);
      return false;
    }
    view.collect = true;
    view.deletedOnly = deletedOnly;
    view.recoverRoot = FromUtf8(recoverDir);
  }
  return true;
}

int ToolRun::ScanAndRecover() {
  g_appState->view = &view;
  ScanRequest scan;
  scan.drive = drive;
  scan.selection.scanMode = loaded ? uint8_t(sessionParms.scanMode) : longScan ? 1 : 0;
  view.keepItems = !saveSessionPath.empty();
  scan.session = std::move(loaded);
  scan.destination = GlobalTextRef(kDestinationFolder);  // Scan and Save's "Save to"
  scan.selection.selectionKind = volume >= 0 ? 1 : 0;
  scan.selection.selectedVolume = uint16_t(volume >= 0 ? volume : 0);

  const auto t0 = std::chrono::steady_clock::now();
  std::thread worker([&] { RunScan(scan, &view); });
  worker.join();
  const RunResult scanResult = LastRunResult();
  const int scanErrors = prompt.errors.load();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  bool sessionFailed = false;
  if (!saveSessionPath.empty() && !prompt.errors && !g_appState->stopRequested && g_engine) {
    SessionSaveRequest save;
    save.path = FromUtf8(AbsolutePath(saveSessionPath));
    save.parms = sessionParms;
    save.parms.scanMode = scan.selection.scanMode;
    save.parms.sourceName = loaded || !loadSessionPath.empty() ? sessionParms.sourceName : name;
    save.drive = drive;
    save.engine = g_engine;
    save.list.reserve(view.kept.size());
    for (const FoundItem& it : view.kept) save.list.push_back(SessionItemOf(it, g_engine->volumes));
    if (!SaveSession(save)) {
      std::fprintf(stderr, "%s\n", ToUtf8(LastErrorText()).c_str());
      sessionFailed = true;
    }
  }

  double recoverSeconds = -1;
  RunResult recoveryResult = RunResult::kComplete;
  if (!recoverDir.empty() && !prompt.errors && !g_appState->stopRequested) {
    RecoveryRequest recovery;
    recovery.engine = g_engine;
    recovery.destination = view.recoverRoot;
    recovery.overwriteMode = overwrite == "newer"       ? kOverwriteNewer
                             : overwrite == "overwrite" ? kOverwriteReplace
                             : overwrite == "skip"      ? kOverwriteSkip
                                                        : kOverwriteRename;
    recovery.diskFullAnswer = kIdNo;  // headless: a full disk stops the run
    if (!OpenRecoveryLog(view.recoverRoot)) std::fprintf(stderr, "no recovery log: recovering without one\n");
    const auto r0 = std::chrono::steady_clock::now();
    std::thread rec([&] { RunRecovery(recovery, &view); });
    rec.join();
    recoveryResult = LastRunResult();
    recoverSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - r0).count();
    CloseRecoveryLog();
  }

  const int rc = Report(scanResult, scanErrors, recoveryResult, seconds, sessionFailed, recoverSeconds);
  delete g_engine;
  g_engine = nullptr;
  ReleaseSendObj();
  g_appState->view = nullptr;
  DeleteDrive(&drive);
  SetPromptService(nullptr);
  return rc;
}

int ToolRun::Report(RunResult scanResult, int scanErrors, RunResult recoveryResult, double seconds, bool sessionFailed,
                    double recoverSeconds) {
  // One table for the exit status (the worker's results): whatever left
  // the result incomplete was said on standard error (an error box, the
  // scan's ending after read errors, a full destination, failed or corrupt
  // items, the log) and gives 1; the list still holds everything that was
  // found. A stop wins; an unreadable source comes next.
  const bool recovered = recoverSeconds >= 0;
  bool incomplete = sessionFailed || scanResult == RunResult::kIncomplete ||
                    (recovered && recoveryResult == RunResult::kIncomplete) ||
                    // an error box nothing else accounts for
                    (scanErrors && scanResult == RunResult::kComplete) || (prompt.errors > scanErrors && recovered);
  if (recovered) {
    // A script must tell "nothing saved" from success.
    if (g_recoveryTotals.destinationFull) {
      std::fprintf(stderr, "%s is full: the recovery stopped after %u item(s).\n", recoverDir.c_str(),
                   g_recoveryTotals.processed.load());
    }
    if (const uint32_t failed = g_recoveryTotals.failed.load())
      std::fprintf(stderr, "%u item(s) could not be saved.\n", failed);
    if (const uint32_t corrupt = g_recoveryTotals.corrupt.load())
      std::fprintf(stderr, "%u item(s) were saved incomplete (Corrupt): see the recovery log.\n", corrupt);
    const WString logError = RecoveryLogError();
    if (!logError.empty()) {
      std::fprintf(stderr, "The recovery log could not be written: %s\n", ToUtf8(logError).c_str());
      incomplete = true;
    }
  }
  if (view.list && (std::fclose(view.list) != 0 || view.listFailed)) {
    std::fprintf(stderr, "%s: write failed\n", listPath.c_str());
    incomplete = true;
  }
  int rc = kExitComplete;
  if (scanResult == RunResult::kStopped || (recovered && recoveryResult == RunResult::kStopped)) rc = kExitStopped;
  else if (scanResult == RunResult::kSourceUnreadable) rc = kExitSourceUnreadable;
  else if (incomplete) rc = kExitIncomplete;
  else if (scanResult == RunResult::kNothingFound) rc = kExitNothingFound;
  if (recovered) {
    std::printf("items=%llu deleted=%llu scan_seconds=%.3f saved=%u skipped=%u failed=%u corrupt=%u "
                "identical=%u recover_seconds=%.3f\n",
                (unsigned long long)view.items, (unsigned long long)view.deleted, seconds,
                g_recoveryTotals.saved.load(), g_recoveryTotals.skipped.load(), g_recoveryTotals.failed.load(),
                g_recoveryTotals.corrupt.load(), g_recoveryTotals.identical.load(), recoverSeconds);
  } else {
    std::printf("items=%llu deleted=%llu scan_seconds=%.3f\n", (unsigned long long)view.items,
                (unsigned long long)view.deleted, seconds);
  }
  std::fflush(stdout);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  // A scan keeps a million small nodes and frees each batch of found items:
  // the heap grows in large steps and is not given back between batches
  // (each give-back was taken again by the next batch).
  mallopt(M_TOP_PAD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  // Every thread's memory in the one heap whose growth goes to large pages
  // (each batch, see FoundItems).
  mallopt(M_ARENA_MAX, 1);
  AdviseLargeHeapPages();
  Options options;
  if (!options.ParseArguments(argc, argv)) return Usage();

  StartupScope scope(true, options.optionsPath);
  ToolPrompt prompt;
  SetPromptService(&prompt);
  struct sigaction sa {};
  sa.sa_handler = OnSigint;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);

  ToolRun run(options, prompt);
  return run.Run();
}
