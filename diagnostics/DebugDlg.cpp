#include "diagnostics/DebugDlg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/IoTrace.h"

namespace {

constexpr char16_t kFolderMessage[] =
    u"Please read and check the WARNING above and specify the full path of the trace folder (e.g. c:\\trace).";

WString FileNamePart(WStringView path) {
  const size_t cut = path.find_last_of(u'/');
  return WString(cut == WStringView::npos ? path : path.substr(cut + 1));
}

}  // namespace

int32_t ParseContentCode(WStringView code) {
  const WStringView prefix(kContentCodePrefix);
  if (code.size() < 3 || code.size() > 15 || code.size() <= prefix.size()) return -1;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (code[i] != prefix[i]) return -1;
  int64_t n = 0;
  for (size_t i = prefix.size(); i < code.size(); ++i) {
    if (code[i] < u'0' || code[i] > u'9') return -1;
    n = n * 10 + (code[i] - u'0');
    if (n > INT32_MAX) return -1;
  }
  return int32_t(n);
}

void CDebugDlg::Start() {
  tracePath = theTrace().TraceFilePath();
  if (tracePath.empty()) return;
  executionPath = traceExecutionPath != 0;
  raid = traceRaid != 0;
  mft = traceMft != 0;
  io = traceIo != 0;
  content = traceContent > 0;
  contentCount = traceContent;
  compression = traceCompression != 0;
  unixFs = traceUnixFsA != 0;
  hfs = traceHfs != 0;
  buffering = traceKeepFileOpen != 0;
  sequential = traceSequentialSearch != 0;
  warningRead = true;
  const size_t cut = tracePath.find_last_of(u'/');
  folder = cut == WString::npos ? WString() : tracePath.substr(0, cut + 1);
  interval = sectorTraceMode;
}

void CDebugDlg::OnUnixFsBox(bool checked) {
  unixFs = checked;
  if (checked && interval == 0) interval = 1;
}

void CDebugDlg::OnHfsBox(bool checked) {
  hfs = checked;
  if (checked && interval == 0) interval = 1;
}

void CDebugDlg::OnContentBox(bool checked, const Asks& asks) {
  content = checked;
  if (!checked) {
    contentCount = 0;
    return;
  }
  WString code;
  if (asks.contentCode && asks.contentCode(&code)) {
    const int32_t n = ParseContentCode(code);
    if (n >= 0) {
      contentCount = n;
      contentCodeEntered = true;
    }
  }
  if (contentCount <= 10) {
    contentCount = 0;
    content = false;
  }
}

bool CDebugDlg::CheckFolder() {
  const WString f = TrimPathEnd(folder);
  if (f.size() <= 2) {
    ShowError(kFolderMessage);
    return false;
  }
  if (g_currentDrive && !g_currentDrive->IsSafeVolume(f + u"/")) {
    ShowError(u"The trace folder cannot reside on the drive holding the lost data.");
    return false;
  }
  if (IsUnderBasePath(f) || IsSystemFolder(ToUtf8(f))) {
    ShowError(u"Data cannot be saved to the Windows system folder.");
    return false;
  }
  if (!IsFullPath(f)) {
    ShowError(kFolderMessage);
    return false;
  }
  return true;
}

bool CDebugDlg::CheckTraceFileName(const Asks& asks) {
  WString name = FileNamePart(tracePath);
  int kind = name.empty() ? 0 : IsTraceFileName(name);
  if (kind == 0) {
    if (!asks.traceFileName || !asks.traceFileName(&name)) return false;
    kind = IsTraceFileName(name);
    if (kind == 0) {
      ShowError(u"Invalid trace filename.");
      tracePath.clear();
      return false;
    }
    tracePath = TrimPathEnd(folder) + u"/" + FileNamePart(name);
  }
  // The function trace needs the second kind of name.
  if (kind == 1) executionPath = false;
  return true;
}

bool CDebugDlg::OpenTraceFile(const Asks& asks) {
  const std::string path = ToUtf8(tracePath);
  struct stat st;
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  if (lstat(path.c_str(), &st) == 0) {
    const int answer = asks.replaceOrAppend ? asks.replaceOrAppend(tracePath) : 2;
    if (answer == 2) return false;
    if (answer == 0) flags |= O_TRUNC;
  }
  const int fd = open(path.c_str(), flags, 0600);
  if (fd < 0) {
    ShowError(u"%s: %s", tracePath, FromUtf8(std::strerror(errno)));
    return false;
  }
  close(fd);
  return true;
}

CDebugDlg::Result CDebugDlg::OnOk(const Asks& asks) {
  if (!CheckFolder()) return Result::kStay;
  tracePath = TrimPathEnd(folder) + u"/" + FileNamePart(tracePath);
  if (!CheckTraceFileName(asks)) return Result::kStay;
  if (!OpenTraceFile(asks)) return Result::kStay;
  const bool fourK = !g_currentDrive || g_currentDrive->SectorSize() != 4096;
  if (fourK && GetPathSectorSize(TrimPathEnd(folder)) == 4096) {
    const int answer = ShowMessage(kMbOkCancel | kMbIconWarning,
                                   u"Enabling debugging before choosing a drive in \"Look In\" may reduce trace "
                                   u"performance. Do you want to continue?");
    if (answer == kIdCancel) return Result::kCancel;
  }
  traceRecordChecker = contentCount >= 1 && contentCodeEntered ? 1 : 0;
  theTrace().SetOptions(tracePath, executionPath, raid, mft, io, contentCount, compression, unixFs, unixFs, hfs,
                        buffering, sequential);
  sectorTraceMode = interval;
  try {
    theIoTrace().Open(tracePath);
  } catch (const DvCodeError&) {
    ShowError(u"%s", LastErrorText());
    return Result::kStay;
  }
  const unsigned info = kMbIconWarning;
  if (interval == 9998) ShowMessage(info, u"Reading sectors from trace folder");
  else if (interval == 9999) ShowMessage(info, u"Writing sectors to trace folder");
  else if (interval == 9997) ShowMessage(info, u"Save XFS files to trace folder");
  return Result::kOk;
}
