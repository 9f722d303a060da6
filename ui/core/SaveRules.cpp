#include "ui/core/SaveRules.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <unordered_set>

#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "volumes/DestinationPath.h"
#include "volumes/Volume.h"

uint16_t StatusBitsFor(int status) {
  switch (status) {
    case 231: return 0x500;
    case 162: return 0x200;
    case 200: return 0x600;
    case 155: return 0x100;
    default: return 0;
  }
}

WString NormaliseDestination(WStringView text) {
  size_t a = 0, b = text.size();
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  while (a < b && blank(text[a])) a++;
  while (b > a && blank(text[b - 1])) b--;
  WString t(text.substr(a, b - a));
  if (t.empty() || t[0] != u'/') return {};
  if (t.size() > 1 && t.back() == u'/') t.pop_back();
  return t;
}

bool DestinationIsReadOnly(const std::string& path) {
  std::string probe = path;
  struct statvfs vs;
  while (!probe.empty() && statvfs(probe.c_str(), &vs) != 0) {
    const size_t slash = probe.find_last_of('/');
    probe = slash == 0 ? std::string("/") : slash == std::string::npos ? std::string() : probe.substr(0, slash);
    if (probe == "/") {
      if (statvfs("/", &vs) != 0) probe.clear();
      break;
    }
  }
  return !probe.empty() && (vs.f_flag & ST_RDONLY);
}

void MakeDestinationFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); at++)
    if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
}

DestinationState ProbeDestination(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? DestinationState::Error : DestinationState::Absent;
  }
  int entries = 0;
  while (dirent* e = readdir(d)) {
    (void)e;
    if (++entries >= 3) break;  // "." and ".." count
  }
  closedir(d);
  return entries >= 3 ? DestinationState::NotEmpty : DestinationState::Empty;
}

namespace {

bool DestinationOf(const WString& destination, bool useFolderNames, const RecListRecord& r, WString* out) {
  return BuildDestinationPath(destination, useFolderNames ? FolderBelowVolume(r.folderPath) : WStringView(), r.name,
                              out);
}

}  // namespace

WString ReadableListPath(WStringView listPath) {
  if (FolderBelowVolume(listPath).size() == listPath.size()) return WString(listPath);
  const char16_t code = listPath[0];
  WString out =
      code <= u'Z' ? FormatW(u"%s %c:", Msg(90), code) : FormatW(u"%s %d", Msg(90), int(code - kNoLetterBase));
  out += listPath.substr(2);
  return out;
}

void FillRecList(const WString& destination, bool useFolderNames, int32_t* next, int32_t total,
                 const std::function<bool(int32_t, RecListRecord&)>& record, std::vector<RecoveryListEntry>& list,
                 const std::function<void(int32_t, const WString&)>& refused) {
  list.clear();
  while (*next < total && list.size() < size_t(kRecoveryListSize)) {
    const int32_t i = (*next)++;
    RecListRecord r;
    if (!record(i, r) || !r.checked) continue;
    RecoveryListEntry e;
    WString why;
    if (r.name.empty()) {
      why = u"The item has no name: it is skipped.";
    } else if (!DestinationOf(destination, useFolderNames, r, &e.destinationPath) || e.destinationPath.empty()) {
      why = theTrace().LastErrorCode() == ENAMETOOLONG
                ? Msg(24)
                : WString(u"The destination path does not lie inside the destination folder: the item is skipped.");
    } else if (e.destinationPath.size() > kMaxRecoveredPathChars) {
      why = Msg(24);
    }
    if (!why.empty()) {
      if (refused) refused(i, why);
      continue;
    }
    e.nodeIndex = r.nodeIndex;
    e.volumeIndex = r.volumeIndex;
    e.recordIndex = i;
    list.push_back(std::move(e));
  }
}

bool HasNameClash(const WString& destination, bool useFolderNames, int32_t total,
                  const std::function<bool(int32_t, RecListRecord&)>& record) {
  std::unordered_set<WString> seen;
  int64_t checked = 0;
  for (int32_t i = 0; i < total; i++) {
    RecListRecord r;
    if (!record(i, r) || !r.checked) continue;
    if (++checked > 100000) return true;  // too many to test: assume a clash
    WString path;
    if (!DestinationOf(destination, useFolderNames, r, &path) || path.empty()) continue;
    if (!seen.insert(std::move(path)).second) return true;
  }
  return false;
}

WString RecoveryClosingText(RunResult result, uint32_t saved, uint32_t failed, uint32_t skipped, uint32_t corrupt,
                            WStringView summary) {
  WString counts =
      FormatW(u"%s %u\n%s %u\n%s %u\n%s %u", Msg(231), saved, Msg(162), failed, Msg(200), skipped, Msg(155), corrupt);
  if (result == RunResult::kIncomplete || failed + corrupt > 0)
    return FormatW(
        u"Not every item was saved whole: see the recovery log for those that failed or came out "
        u"corrupt.\n\n%s",
        counts);
  if (saved > 0) return FormatW(u"%s\n\n%s", Msg(167), summary.empty() ? WStringView(counts) : summary);
  if (skipped > 0)
    return FormatW(u"Nothing needed saving: every item was skipped (see the recovery log for why).\n\n%s", counts);
  return {};
}

WString RecoveryStoppedText(uint32_t notHandled, uint32_t saved, uint32_t failed, uint32_t skipped, uint32_t corrupt) {
  return FormatW(u"Saving was stopped: %s checked %s not saved.\n\n%s %u\n%s %u\n%s %u\n%s %u",
                 FormatNumber64(notHandled), notHandled == 1 ? u"item was" : u"items were", Msg(231), saved, Msg(162),
                 failed, Msg(200), skipped, Msg(155), corrupt);
}

WString DeletedFilesUnlistedNote(bool quickScan, bool skipDeleted, const std::vector<WString>& fileSystems) {
  if (!quickScan || skipDeleted) return {};
  bool ext = false;
  for (const WString& name : fileSystems) ext = ext || name == u"Ext3" || name == u"Ext4";
  if (!ext) return {};
  return u"Deleted files whose block map ext3 or ext4 cleared when it deleted them cannot be listed by a Quick "
         u"Scan. A Long Scan can find their data.";
}

WString ScanStoppedText(int64_t found) {
  return FormatW(u"Scanning was stopped: %s %s found before the stop.", FormatNumber64(found),
                 found == 1 ? u"item was" : u"items were");
}
