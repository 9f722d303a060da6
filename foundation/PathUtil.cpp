#include "foundation/PathUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Events.h"
#include "platform/Format.h"
#include "platform/Platform.h"

namespace {
BrowseFolderCheck g_browseFolderCheck = nullptr;
}  // namespace

void SetBrowseFolderCheck(BrowseFolderCheck check) { g_browseFolderCheck = check; }

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// Leading decimal digits as a number; -1 without digits or above INT_MAX.
int LeadingNumber(WStringView text) {
  if (text.empty() || !IsDigit(text[0])) return -1;
  int64_t v = 0;
  for (char16_t c : text) {
    if (!IsDigit(c)) break;
    v = v * 10 + (c - u'0');
    if (v > INT_MAX) return -1;
  }
  return int(v);
}

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v && *v ? std::string(v) : std::string();
}

std::string WithoutTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string HomeFolder() { return WithoutTrailingSlash(plat::HomeDir()); }

bool IsDir(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "." and ".." and repeated slashes folded in an absolute path, without
// looking at the file system; ".." above the root stays at the root.
std::string FoldPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return "/" + path;
  return std::string(cwd) + "/" + path;
}

// The path with its longest existing leading part resolved through symbolic
// links; the part that does not exist yet is appended as written.
std::string ResolveExisting(const std::string& absolute) {
  std::string head = absolute, tail;
  for (;;) {
    char* real = realpath(head.c_str(), nullptr);
    if (real) {
      std::string r(real);
      free(real);
      return FoldPath(tail.empty() ? r : r + "/" + tail);
    }
    size_t cut = head.find_last_of('/');
    if (cut == std::string::npos || head == "/") return FoldPath(absolute);
    std::string last = head.substr(cut + 1);
    tail = tail.empty() ? last : last + "/" + tail;
    head = cut == 0 ? "/" : head.substr(0, cut);
  }
}

bool IsAtOrBelow(const std::string& path, const std::string& base) {
  if (base.empty() || base == "/") return false;
  if (path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

std::string ProcRoot() {
  std::string p = Env("DELVORA_PROC_ROOT");
  return p.empty() ? "/proc" : p;
}

// The block device a mount of device number dev comes from, as listed in
// mountinfo (file systems such as btrfs report an anonymous device number
// that has no sysfs entry of its own).
std::string MountSource(dev_t dev) {
  std::ifstream f(ProcRoot() + "/self/mountinfo");
  std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string line;
  while (std::getline(f, line)) {
    // id parent maj:min root mountpoint options [optional fields] - type source super-options
    size_t a = line.find(' ');
    if (a == std::string::npos) continue;
    size_t b = line.find(' ', a + 1);
    if (b == std::string::npos) continue;
    size_t c = line.find(' ', b + 1);
    if (c == std::string::npos || line.compare(b + 1, c - b - 1, want) != 0) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    size_t t = line.find(' ', dash + 3);
    if (t == std::string::npos) continue;
    size_t s = line.find(' ', t + 1);
    std::string source = line.substr(t + 1, s == std::string::npos ? std::string::npos : s - t - 1);
    if (source.rfind("/dev/", 0) == 0) return source;
  }
  return std::string();
}

}  // namespace

// ---- disk names and list labels ----

int PhysicalDriveNumber(WStringView text) {
  static constexpr WStringView kDevicePrefix = u"\\\\.\\";
  static constexpr WStringView kName = u"PhysicalDrive";
  if (text.substr(0, kDevicePrefix.size()) == kDevicePrefix) text.remove_prefix(kDevicePrefix.size());
  if (text.size() <= kName.size() || !EqualsNoCase(text.substr(0, kName.size()), kName)) return -1;
  return LeadingNumber(text.substr(kName.size()));
}

WString PhysicalDrivePath(int diskNumber) { return FormatW(u"PhysicalDrive%d", diskNumber); }

WString PhysicalDrivePath(WStringView label) {
  const WString& prefix = Msg(351);
  if (prefix.empty() || label.size() <= prefix.size() + 7) return WString(label);
  int n = DiskNumberFromLabel(label);
  return n < 0 ? WString(label) : PhysicalDrivePath(n);
}

int DiskNumberFromLabel(WStringView label) {
  const WString& prefix = Msg(351);
  if (prefix.empty() || label.substr(0, prefix.size()) != prefix) return -1;
  return LeadingNumber(label.substr(prefix.size()));
}

bool IsDriveLetterName(WStringView text) {
  return text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == u':' && (text.size() == 2 || text[2] == u' ');
}

WString DriveFromLabel(WStringView label) {
  if (label.size() >= 3 && IsAsciiLetter(label[0]) && label[1] == u':' && label[2] == u' ')
    return WString{AsciiUpper(label[0]), u':'};
  return WString(label);
}

// ---- path tests ----

bool IsFullPath(WStringView path) { return !path.empty() && path[0] == u'/'; }

bool FolderExists(WStringView path) { return !path.empty() && IsDir(ToUtf8(path)); }

bool IsUnderBasePath(WStringView path) {
  if (path.empty()) return false;
  std::string absolute = Absolute(ToUtf8(path));
  std::string written = FoldPath(absolute);
  std::string resolved = ResolveExisting(absolute);

  std::vector<std::string> bases = {"/usr", "/proc", "/sys", "/dev"};
  if (g_appState && !g_appState->windowsFolder.empty())
    bases.push_back(FoldPath(Absolute(ToUtf8(g_appState->windowsFolder))));
  size_t n = bases.size();
  for (size_t i = 0; i < n; ++i) bases.push_back(ResolveExisting(bases[i]));  // e.g. a linked system folder
  for (const auto& b : bases)
    if (IsAtOrBelow(written, b) || IsAtOrBelow(resolved, b)) return true;
  return false;
}

WString TrimPathEnd(WStringView path) {
  while (!path.empty() && IsBlank(path.front())) path.remove_prefix(1);
  while (!path.empty() && IsBlank(path.back())) path.remove_suffix(1);
  bool rooted = !path.empty() && path.front() == u'/';
  while (!path.empty() && (path.back() == u' ' || path.back() == u'/' || path.back() == u'\\')) path.remove_suffix(1);
  if (path.empty() && rooted) return u"/";
  return WString(path);
}

WString GetInitialBrowseFolder(WStringView path, WStringView fallback, bool check) {
  auto accepted = [check](WStringView folder) { return !check || !g_browseFolderCheck || g_browseFolderCheck(folder); };
  WString p(path);
  while (p.size() > 1 && p.back() == u'/') p.pop_back();
  if (!p.empty()) {
    if (FolderExists(p)) return p;
    size_t cut = p.find_last_of(u'/');
    if (cut != WString::npos) {
      WString parent = cut == 0 ? WString(u"/") : p.substr(0, cut);
      if (FolderExists(parent)) return parent;
    }
  }
  if (!fallback.empty() && accepted(fallback)) return WString(fallback);
  WString docs = g_appState && !g_appState->defaultFolder.empty() ? g_appState->defaultFolder
                                                                   : GetShellFolderPath(kShellFolderDocuments);
  if (!docs.empty() && accepted(docs)) return docs;
  return u"/";  // the whole machine, as the computer folder was
}

bool TempFilePath(WStringView folder, WString* out, int* fd) {
  if (folder.empty()) {
    ErrorMsg(u"No folder for a temporary file.");
    return false;
  }
  std::string base = ToUtf8(folder);
  if (base.back() != '/') base.push_back('/');
  int start = int((SteadyNowNs() / 1000000) % 1000);
  for (int i = 0; i < 1000; ++i) {
    std::string name = base + "TMP" + std::to_string(start + i);
    int h = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (h < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      ErrorMsg(nullptr, FromUtf8(name).c_str());
      return false;
    }
    if (fd) *fd = h;
    else close(h);
    if (out) *out = FromUtf8(name);
    return true;
  }
  errno = EEXIST;
  ErrorMsg(nullptr, WString(folder).c_str());
  return false;
}

int CreateFileLongPath(WStringView name, int flags, unsigned mode) {
  if (name.empty()) {
    errno = ENOENT;
    return -1;
  }
  return open(ToUtf8(name).c_str(), flags | O_CLOEXEC, mode_t(mode));
}

// ---- shell folders ----

namespace {

// XDG_<key>_DIR from user-dirs.dirs: "$HOME/..." or an absolute path.
std::string UserDirFromFile(const std::string& key) {
  std::string cfg = Env("XDG_CONFIG_HOME");
  if (cfg.empty()) cfg = HomeFolder() + "/.config";
  std::ifstream f(cfg + "/user-dirs.dirs");
  std::string want = "XDG_" + key + "_DIR=";
  std::string line, found;
  while (std::getline(f, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#' || line.compare(i, want.size(), want) != 0) continue;
    std::string v = line.substr(i + want.size());
    while (!v.empty() && (v.back() == '\r' || v.back() == ' ' || v.back() == '\t')) v.pop_back();
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    std::string unescaped;
    for (size_t k = 0; k < v.size(); ++k) {
      if (v[k] == '\\' && k + 1 < v.size()) ++k;
      unescaped.push_back(v[k]);
    }
    if (unescaped.rfind("$HOME", 0) == 0 && (unescaped.size() == 5 || unescaped[5] == '/'))
      found = HomeFolder() + unescaped.substr(5);
    else if (!unescaped.empty() && unescaped[0] == '/')
      found = unescaped;
    // the last assignment wins, as when the file is sourced
  }
  return found;
}

std::string UserDir(const std::string& key, const char* defaultName) {
  std::string d = UserDirFromFile(key);
  if (d.empty()) {
    std::string v = Env(("XDG_" + key + "_DIR").c_str());
    if (!v.empty() && v[0] == '/') d = v;
  }
  if (d.empty()) {
    std::string home = HomeFolder();
    d = IsDir(home + "/" + defaultName) ? home + "/" + defaultName : home;
  }
  return WithoutTrailingSlash(d);
}

std::string XdgBase(const char* variable, const char* underHome) {
  std::string v = Env(variable);
  if (v.empty() || v[0] != '/') v = HomeFolder() + underHome;
  return WithoutTrailingSlash(v);
}

}  // namespace

WString GetShellFolderPath(int folderCode) {
  std::string p;
  switch (folderCode) {
    case kShellFolderDesktop: p = UserDir("DESKTOP", "Desktop"); break;
    case kShellFolderDocuments: p = UserDir("DOCUMENTS", "Documents"); break;
    case kShellFolderMusic: p = UserDir("MUSIC", "Music"); break;
    case kShellFolderVideos: p = UserDir("VIDEOS", "Videos"); break;
    case kShellFolderPictures: p = UserDir("PICTURES", "Pictures"); break;
    case kShellFolderTemplates: p = UserDir("TEMPLATES", "Templates"); break;
    case kShellFolderAppData: p = XdgBase("XDG_CONFIG_HOME", "/.config"); break;
    case kShellFolderLocalAppData: p = XdgBase("XDG_DATA_HOME", "/.local/share"); break;
    case kShellFolderPrograms: p = XdgBase("XDG_DATA_HOME", "/.local/share") + "/applications"; break;
    // /usr/share belongs to the package manager.
    case kShellFolderCommonPrograms: p = plat::SystemRoot() + "/usr/local/share/applications"; break;
    case kShellFolderProgramFiles: p = plat::SystemRoot() + "/opt"; break;
    default: return WString();
  }
  return FromUtf8(p);
}

// ---- sector sizes ----

int GetDeviceSectorSize(int fd) { return fd < 0 ? 0 : plat::DeviceSectorSize(fd); }

int GetPathSectorSize(WStringView path) {
  if (!IsFullPath(path)) return 0;
  std::string p = FoldPath(ToUtf8(path));
  struct stat st;
  // A file about to be created is on the volume of its nearest existing folder.
  while (stat(p.c_str(), &st) != 0) {
    if ((errno != ENOENT && errno != ENOTDIR) || p == "/") {
      ErrorMsg(nullptr, WString(path).c_str());
      return 0;
    }
    size_t cut = p.find_last_of('/');
    p = cut == 0 ? "/" : p.substr(0, cut);
  }
  int size = plat::PathSectorSize(p);
  if (size <= 0 && !S_ISBLK(st.st_mode)) {
    std::string source = MountSource(st.st_dev);
    if (!source.empty()) size = plat::PathSectorSize(source);
  }
  if (size <= 0) {
    errno = ENODEV;
    ErrorMsg(nullptr, WString(path).c_str());
    return 0;
  }
  return size;
}

bool IsSystemFolder(const std::string& path) {
  // Compared on the resolved path when it exists, so "/x/../etc" and links
  // into a system folder are caught too.
  std::string p = path;
  if (char* real = realpath(path.c_str(), nullptr)) {
    p = real;
    free(real);
  }
  for (const char* root : {"/proc", "/sys", "/dev", "/boot", "/etc", "/usr"}) {
    const std::string r = root;
    if (p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/')) return true;
  }
  return false;
}
