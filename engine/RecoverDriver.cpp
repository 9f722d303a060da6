#include "engine/RecoverDriver.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/CarvedFiles.h"
#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecFile.h"
#include "engine/RecoverNtfs.h"
#include "engine/RecoveryLog.h"
#include "engine/SendObj.h"
#include "engine/VolumeRecovery.h"
#include "engine/Worker.h"
#include "filesystems/ntfs/Inode.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "volumes/DestinationPath.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

RecoveryTotals g_recoveryTotals;
int g_recoveryListWaitMs = 100000;

namespace {

constexpr size_t kMaxPathChars = 1023;

enum class Choice { Straight, Temporary, Skip, Fail };

struct Existing {
  bool exists = false;
  bool folder = false;  // a real folder, not a link to one
  uint64_t size = 0;
  uint64_t writeTime = 0;  // FILETIME
};

Existing Probe(WStringView path) {
  Existing e;
  struct stat st;
  if (::lstat(ToUtf8(path).c_str(), &st) != 0) return e;
  e.exists = true;
  e.folder = S_ISDIR(st.st_mode);
  e.size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
  e.writeTime = UnixTimeToFileTime(st.st_mtim.tv_sec) + uint64_t(st.st_mtim.tv_nsec / 100);
  return e;
}

bool IsFullCode(int32_t code) { return code == ENOSPC || code == EDQUOT; }

// The destination is full: asks whether to go on after making room (the
// headless answer is No). No stops the run and says which destination is
// full; true for Yes.
bool AskDiskFull(const RecoveryRequest& run, const WString& target) {
  const WString text = FormatW(u"Disk is full saving %s. Replace disk and continue?", target);
  const int answer = run.diskFullAnswer ? run.diskFullAnswer : ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", text);
  if (answer == kIdYes) return true;
  if (g_appState) g_appState->stopRequested = 1;
  g_recoveryTotals.destinationFull = true;
  theTrace().SetLastError(FormatW(u"The destination %s is full: the recovery stopped.", run.destination), ENOSPC);
  return false;
}

// The root itself, or a folder below it whose links all stay below it.
bool FolderResolvesBelowRoot(WStringView root, WStringView folder) {
  WStringView r = root;
  while (r.size() > 1 && r.back() == u'/') r.remove_suffix(1);
  return folder == r || ResolvesBelowRoot(root, folder);
}

WString FolderOf(WStringView path) {
  const size_t s = path.rfind(u'/');
  return s == WStringView::npos ? WString() : WString(path.substr(0, s));
}

// Whether two regular files hold the same bytes.
bool SameContent(const WString& a, const WString& b) {
  struct stat sa, sb;
  if (::stat(ToUtf8(a).c_str(), &sa) != 0 || ::stat(ToUtf8(b).c_str(), &sb) != 0) return false;
  if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size) return false;
  FILE* fa = std::fopen(ToUtf8(a).c_str(), "rb");
  FILE* fb = fa ? std::fopen(ToUtf8(b).c_str(), "rb") : nullptr;
  bool same = fa && fb;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  while (same) {
    const size_t na = std::fread(ba.data(), 1, ba.size(), fa), nb = std::fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) same = false;
    if (na < ba.size()) break;
  }
  if (same && (std::ferror(fa) || std::ferror(fb))) same = false;
  if (fa) std::fclose(fa);
  if (fb) std::fclose(fb);
  return same;
}

// A renamed copy ("name[n].ext") that equals one of the earlier renamed
// copies already there (the base name was compared while writing).
bool EqualsAnEarlierCopy(const WString& path, const WString& written) {
  for (int i = 1; i <= 99; i++) {
    const WString c = RenamedCandidate(path, i);
    if (c == written) break;
    if (SameContent(c, written)) return true;
  }
  return false;
}

// An item the recovery never writes, whatever the destination holds: an
// NTFS metadata file, and a symbolic link of a family that lists links
// without recovering them. True with the reason as the last error: the
// item is a deliberate skip, and nothing is made for it.
bool IsRefusedItem(const cnode& node, WStringView path) {
  const NodeOps* ops = FindNodeOps(node.kind);
  const uint32_t traits = ops ? ops->traits : 0;
  if ((traits & kNodeTraitNoSymlinks) && (node.flags & kNodeSymlink)) {
    VErrorMsg(Msg(505).c_str(), path);
    return true;
  }
  if ((traits & kNodeTraitEngineRecovery) && node.IsSnode() && !(node.flags & kInodeCarved) &&
      IsRefusedSystemFile(static_cast<const snode&>(node))) {
    ErrorMsg(Msg(139));
    return true;
  }
  return false;
}

// One item: the recovery into target (through temporary when given).
// -1 failed, else the count of zero-filled clusters.
int RecoverItem(NTFSObj* engine, int64_t nodeIndex, cnode* node, WStringView target, WStringView temporary,
                CHashFile* hash) {
  const NodeOps* ops = FindNodeOps(node->kind);
  const uint32_t traits = ops ? ops->traits : 0;
  if (node->IsSnode() && (node->flags & kInodeCarved)) return RecoverHdr(engine, nodeIndex, target, temporary, hash);
  if (traits & kNodeTraitEngineRecovery) return RecoverNtfsNode(engine, nodeIndex, target, temporary, false, hash);
  if ((traits & kNodeTraitNoSymlinks) && (node->flags & kNodeSymlink)) {
    VErrorMsg(Msg(505).c_str(), target);
    return -1;
  }
  if (node->volumeIndex == kNoVolume || node->volumeIndex >= engine->volumes.size()) {
    ErrorMsg(Msg(182));
    return -1;
  }
  CVol* vol = engine->volumes[node->volumeIndex];
  const WString writeTo(temporary.empty() ? target : temporary);
  uint32_t corrupt = 0;
  int r = RecoverVolumeNode(vol, node, writeTo, nullptr, &corrupt, hash);
  if (r >= 0 && corrupt) {
    // A file cut at the end of its map comes with its own reason.
    if (r == 0) VErrorMsg(Msg(476).c_str(), int32_t(corrupt));
    r = int(std::min<uint32_t>(corrupt, INT32_MAX));
  }
  if (r < 0) {
    ::unlink(ToUtf8(writeTo).c_str());
    return -1;
  }
  if (!temporary.empty() && MoveFileLong(temporary, target) < 0) {
    ::unlink(ToUtf8(temporary).c_str());
    return -1;
  }
  return r;
}

// Moves a file with a bad extent to folder + its path below the
// destination root, or deletes it when no folder is set.
void SetAsideCorrupt(WStringView root, WStringView target, WStringView folder) {
  WStringView r = root;
  while (r.size() > 1 && r.back() == u'/') r.remove_suffix(1);
  WStringView f = folder;
  while (f.size() > 1 && f.back() == u'/') f.remove_suffix(1);
  if (!f.empty() && target.size() > r.size() + 1 && target.substr(0, r.size()) == r) {
    const WString moved = WString(f) + WString(target.substr(r.size()));
    if (IsBelowRoot(f, moved) && CheckPath(moved) >= 0 && MoveFileLong(target, moved) > 0) return;
  }
  ::unlink(ToUtf8(target).c_str());
}

}  // namespace

WString RenamedCandidate(WStringView path, int n) {
  const size_t slash = path.rfind(u'/');
  const size_t dot = path.rfind(u'.');
  if (dot != WStringView::npos && (slash == WStringView::npos || dot > slash))
    return FormatW(u"%s[%d].%s", path.substr(0, dot), n, path.substr(dot + 1));
  return FormatW(u"%s[%d]", path, n);
}

namespace {

// Asks the view for the next list of checked items and waits for it (up to
// g_recoveryListWaitMs): false when it did not come (the last error says
// so). A longer list is cut to kRecoveryListSize.
bool NextList(ViewSink* view, std::vector<RecoveryListEntry>& list) {
  if (g_eventRecovery) g_eventRecovery->Reset();
  view->FillRecoveryList(list);
  if (g_eventRecovery && !g_eventRecovery->Wait(g_recoveryListWaitMs)) {
    ErrorMsg(u"The list of files to recover did not come.");
    return false;
  }
  TracePrintfA("%ld files received\n", int32_t(list.size()));
  if (list.size() > size_t(kRecoveryListSize)) list.resize(kRecoveryListSize);
  return true;
}

// The item's folder, checked once per run (items of one folder need not
// come together, so every folder's result is kept): the folders made (and
// those already there) may not lead out through a link planted in the
// destination; the file itself is opened without following a link. 1 made
// now, 0 there already, -1 refused (a later item of a folder made now reads
// 0).
int CheckFolderOnce(std::unordered_map<WString, int>& checked, const WString& root, const WString& folder,
                    const WString& path) {
  auto known = checked.find(folder);
  if (known != checked.end()) {
    if (known->second < 0) ErrorMsg(u"The destination folder could not be made.");
    return known->second == 1 ? 0 : known->second;
  }
  int check;
  if (!FolderResolvesBelowRoot(root, folder)) {
    check = -1;
  } else {
    check = CheckPath(path);
    if (check >= 0 && !FolderResolvesBelowRoot(root, folder)) check = -1;
  }
  if (check < 0 && LastErrorText() == Msg(252))
    ErrorMsg(u"The destination path does not lie inside the destination folder.");
  checked.emplace(folder, check);
  return check;
}

// Where the item goes and how, by the overwrite mode: straight to its path
// (or the first free "name[n].ext"), through a temporary file that replaces
// the existing one, skipped, or failed (every renamed name taken).
Choice ChooseTarget(const RecoveryRequest& run, const cnode* node, const WString& path, int folderCheck,
                    CHashFile* hash, WString* target) {
  *target = path;
  const bool empty = node->size == 0;
  const Existing ex = Probe(path);
  int64_t listed = 0;
  const bool restart = run.engine->Options().IsListedFileWithSize(path, &listed) && listed > 0;
  if (folderCheck == 1 || restart || !ex.exists) return Choice::Straight;
  // A folder there already (made for an item of this run, or by an earlier
  // save) takes the folder's files: it is reused, never renamed.
  if (node->IsDirectory() && ex.folder) return Choice::Straight;
  Choice choice = Choice::Fail;
  uint8_t mode = run.overwriteMode;
  if (mode == kOverwriteSkip || (empty && ex.size > 0)) {
    choice = Choice::Skip;
  } else if (mode == kOverwriteReplace) {
    choice = Choice::Temporary;
  } else if (mode == kOverwriteNewer) {
    uint64_t t = 0;
    node->GetFileTime(&t, 0);
    if (ex.writeTime > t) choice = Choice::Skip;
    else if (ex.writeTime < t) choice = Choice::Temporary;
    else if (empty) choice = Choice::Skip;
    else if (ex.size > 0) mode = kOverwriteRename;
    else choice = Choice::Temporary;
  }
  if (mode == kOverwriteRename || mode > kOverwriteSkip) {
    hash->SetFile(path);
    choice = Choice::Fail;
    for (int i = 1; i <= 99; i++) {
      WString c = RenamedCandidate(path, i);
      if ((i == 1 || i == 10) && c.size() >= kMaxPathChars) {
        ErrorMsg(Msg(24));
        break;
      }
      if (!Probe(c).exists) {
        *target = std::move(c);
        return Choice::Straight;
      }
    }
    if (LastErrorText() != Msg(24)) ErrorMsg(u"Every name from [1] to [99] exists already: nothing was overwritten.");
  }
  return choice;
}

// Writes one item to its target as chosen: a folder is made; a file is
// recovered, asking once whether to go on when the disk is full, and set
// aside when a reader met a bad extent in it. -1 failed, else the count of
// zero-filled clusters (1 at least for a set-aside file, *badExtent set).
int WriteItem(const RecoveryRequest& run, const RecoveryListEntry& e, cnode* node, const WString& root,
              const WString& folder, const WString& target, Choice choice, CHashFile* hash, bool* badExtent,
              bool* asked) {
  NTFSObj* engine = run.engine;
  if (node->IsDirectory()) {
    int result = -1;
    for (int attempt = 0; attempt < 2 && result < 0; attempt++) {
      result = (::mkdir(ToUtf8(target).c_str(), 0755) == 0 || errno == EEXIST) ? 0 : -1;
      if (result < 0) ErrorMsg(nullptr, target.c_str());
      if (result >= 0 || !IsFullCode(theTrace().LastErrorCode()) || attempt == 1) break;
      *asked = true;
      if (!AskDiskFull(run, target)) break;
    }
    return result;
  }
  // The readers report a bad extent of this file to the run (ReportBadExtent).
  const AppState& options = engine->Options();
  engine->badExtent = 0;
  int result = -1;
  for (int attempt = 0; attempt < 2; attempt++) {
    WString temp;
    if (choice == Choice::Temporary) {
      int fd = -1;
      if (!TempFilePath(folder, &temp, &fd)) {
        result = -1;
        if (IsFullCode(theTrace().LastErrorCode()) && attempt == 0) {
          *asked = true;
          if (AskDiskFull(run, target)) continue;
        }
        break;
      }
      // The temporary file becomes the item: it gets the mode of every
      // recovered file, not a temporary file's.
      ::fchmod(fd, RecoveredFileMode());
      ::close(fd);
    }
    result = RecoverItem(engine, e.nodeIndex, node, target, temp, choice == Choice::Straight ? hash : nullptr);
    if (result >= 0 || !IsFullCode(theTrace().LastErrorCode()) || attempt == 1) break;
    // The disk is full: ask whether to go on after making room.
    *asked = true;
    if (!AskDiskFull(run, target)) break;
  }
  // A reader met a bad extent in this file: it is set aside in the
  // corrupt-files folder (same path below it) or deleted.
  if (result >= 0 && options.skipFilesOnBadExtents && engine->badExtent) {
    SetAsideCorrupt(root, target, options.corruptFilesFolder);
    if (result == 0) result = 1;
    *badExtent = true;
  }
  return result;
}

// The item's status: in the node's grade bits for the list, in the totals,
// to the view's log (with the reason for failed, corrupt and refused
// items) and to the hand-over. Skipped keeps nothing of the grade; failed
// keeps the lowest grade bit, as the list has always shown it.
void ReportItem(ViewSink* view, SendObj* send, const RecoveryListEntry& e, cnode* node, const WString& path, int result,
                bool skipped, bool badExtent, bool identical) {
  g_recoveryTotals.processed++;
  g_recoveryCounters.processed++;
  // A deleted or rebuilt file's grade, before the status takes its bits.
  const uint16_t grade = node ? uint16_t((node->flags & kNodeGradeMask) >> kNodeGradeShift) : 0;
  int16_t status;
  if (skipped) {
    if (node) node->flags = uint16_t((node->flags & ~GradeBits(kGradeCorrupt)) | GradeBits(kGradeSkipped));
    status = kStatusSkipped;
    g_recoveryTotals.skipped++;
    if (identical) g_recoveryTotals.identical++;
  } else if (result > 0 || badExtent) {
    if (node) node->flags = uint16_t((node->flags & ~kNodeGradeMask) | GradeBits(kGradeCorrupt));
    status = kStatusCorrupt;
    g_recoveryTotals.corrupt++;
  } else if (result == 0) {
    if (node) node->flags = uint16_t((node->flags & ~kNodeGradeMask) | GradeBits(kGradeSaved));
    status = kStatusSaved;
    g_recoveryTotals.saved++;
  } else {
    if (node) node->flags = uint16_t((node->flags & ~GradeBits(kGradePoor)) | GradeBits(kGradeFailed));
    status = kStatusFailed;
    g_recoveryTotals.failed++;
  }
  view->LogLine(Msg(status) + u" " + path);
  if (status == kStatusSaved && (grade == kGradeGood || grade == kGradePoor))
    view->LogLine(grade == kGradeGood
                      ? Msg(328) + u": " + path + u": its clusters were free when the scan read the volume."
                      : Msg(329) + u": " + path +
                            u": some of its clusters belong to other files now or could not be told; the data may "
                            u"not be the file's own.");
  if (status == kStatusFailed || status == kStatusCorrupt ||
      (skipped && node && !LastErrorText().empty() && LastErrorText() != Msg(252))) {
    const WString why = LastErrorText();
    view->LogLine(path);
    view->LogLine(why);
  }
  if (send) send->AddItemStatus(e.recordIndex, status);
}

}  // namespace

namespace {
std::atomic<RecoveryStartHook> g_recoveryStartHook{nullptr};
}

void SetRecoveryStartHook(RecoveryStartHook hook) { g_recoveryStartHook = hook; }

int RecoverFS(const RecoveryRequest& request, ViewSink* view) {
  TRACE_FN("RecoverFS");
  NTFSObj* engine = request.engine;
  if (RecoveryStartHook hook = g_recoveryStartHook.load()) hook(engine ? engine->drive : nullptr);
  SendObj* send = g_appState ? static_cast<SendObj*>(g_appState->sendObj) : nullptr;
  g_recoveryTotals.Reset();
  CProgressAndStats& stats = theProgressAndStats();
  const WString& root = request.destination;
  // Every way out (end of the lists, time-out, stop, an exception from a
  // writer) hands the results made so far to the view and to the log.
  struct ExitFlush {
    SendObj* send = nullptr;
    bool armed = false;
    ~ExitFlush() {
      if (armed && send) send->SendMsg2(6000, kCodeStatusEdge, false);
      FlushRecoveryLog();
    }
  } exitFlush;
  exitFlush.send = send;
  if (!engine || !engine->nodes || root.empty() || !view) {
    ErrorMsg(u"Nothing to recover: no scan results or no destination folder.");
    return 0;
  }
  // Nothing is made on the destination before it has passed the check: a
  // folder made first would already be a write to the source.
  if (engine->drive && !engine->drive->IsSafeVolume(root)) {
    ErrorMsg(Msg(292));
    g_recoveryTotals.failed++;
    ShowError(u"%s", Msg(292));
    return 0;
  }
  // The destination folder's own chain (the "x" stands for a file).
  CheckPath(root + u"/x");
  stats.phase = 3;
  auto hash = std::make_unique<CHashFile>();
  std::vector<RecoveryListEntry> lists[2];
  int current = 0;
  TracePrintfA("Requesting rec list 0\n");
  if (!NextList(view, lists[0]) || lists[0].empty()) return 0;
  if (send) send->SendMsg2(0, kCodeStatusEdge, true);
  exitFlush.armed = true;
  if (!RecoveryLogIsOpen())
    view->LogLine(u"No recovery log could be made in the destination folder: recovering without one.");

  std::unordered_map<WString, int> checkedFolders;
  // An item (or a folder) meeting the log's own name goes by the first
  // renamed name ("Recovery[1].log"), where the overwrite mode applies as
  // anywhere: the log is never replaced, nor made a folder's name.
  const WString logPath = stats.recoveryLogPath;
  const WString logAlias = logPath.empty() ? WString() : RenamedCandidate(logPath, 1);
  auto besideLog = [&](const WString& p) -> WString {
    if (logPath.empty() || p.size() < logPath.size() || p.compare(0, logPath.size(), logPath) != 0 ||
        (p.size() > logPath.size() && p[logPath.size()] != u'/'))
      return p;
    return logAlias + p.substr(logPath.size());
  };
  bool ended = false;
  while (!ended) {
    std::vector<RecoveryListEntry>& list = lists[current];
    const bool full = list.size() == size_t(kRecoveryListSize);
    for (size_t k = 0; k < list.size() && !ended; k++) {
      RecoveryListEntry& e = list[k];
      ErrorMsg(Msg(252));
      cnode* node = engine->nodes->GetAt(e.nodeIndex);
      const WString path = besideLog(e.destinationPath);
      int result = -1;
      bool skipped = false, badExtent = false, asked = false, identical = false;
      // The name the item was written under (a renamed one when a file of
      // its name was there): the log names what is on the disk.
      WString written = path;
      if (!node) {
        VErrorMsg(u"Item %d is not in the scan's results.", int32_t(e.nodeIndex));
      } else if (path.size() >= kMaxPathChars) {
        ErrorMsg(Msg(24));
      } else if (NodeHasTrait(node->kind, kNodeTraitNoSymlinks) && (node->flags & kNodeSymlink)) {
        // A link is listed, never written: a deliberate skip.
        skipped = true;
        VErrorMsg(Msg(505).c_str(), path);
      } else if (!IsBelowRoot(root, path) || FolderOf(path).empty()) {
        // Never written anywhere but below the destination folder.
        skipped = true;
        ErrorMsg(u"The destination path does not lie inside the destination folder: the item is skipped.");
      } else if (IsRefusedItem(*node, path)) {
        skipped = true;
      } else {
        const WString folder = FolderOf(path);
        const WString name(WStringView(path).substr(folder.size() + 1));
        stats.SetProgressText(FormatW(Msg(558), name, folder));
        view->ProgressText(4, FormatW(Msg(558), name, folder));
        const int check = CheckFolderOnce(checkedFolders, root, folder, path);
        WString target = path;
        const Choice choice = check >= 0 ? ChooseTarget(request, node, path, check, hash.get(), &target) : Choice::Fail;
        if (choice == Choice::Skip) skipped = true;
        else if (choice != Choice::Fail)
          result = WriteItem(request, e, node, root, folder, target, choice, hash.get(), &badExtent, &asked);
        if (choice == Choice::Straight || choice == Choice::Temporary) written = target;
        // Saved again under a new name: an earlier renamed copy may already
        // hold the same bytes.
        if (result == 0 && !badExtent && target != path && !node->IsDirectory() &&
            request.overwriteMode != kOverwriteReplace && EqualsAnEarlierCopy(path, target)) {
          ::unlink(ToUtf8(target).c_str());
          ErrorMsg(Msg(468));
          result = -1;
        }
        // A file identical to the item is already there: nothing needed
        // saving, and nothing was written.
        if (result < 0 && !skipped && LastErrorText() == Msg(468)) {
          skipped = identical = true;
          written = path;
        }
        // A folder that could not be made for want of room asks too.
        if (result < 0 && !skipped && !asked && IsFullCode(theTrace().LastErrorCode())) {
          const WString why = LastErrorText();
          if (AskDiskFull(request, path)) checkedFolders.erase(folder);
          else ErrorMsg(why);
        }
      }
      ReportItem(view, send, e, node, written, result, skipped, badExtent, identical);
      ErrorMsg(Msg(252));
      engine->WaitWhilePaused();
      if (engine->StopRequested()) ended = true;
      e.destinationPath.clear();
    }
    if (ended || !full) break;
    // The next list; the results so far still go out when it does not come.
    const int other = 1 - current;
    TracePrintfA("Requesting rec list %ld\n", int32_t(other));
    if (!NextList(view, lists[other]) || lists[other].empty()) break;
    current = other;
  }
  return 0;
}
