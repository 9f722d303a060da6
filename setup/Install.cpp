#include "setup/Install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "engine/RecoverNtfs.h"
#include "foundation/AppState.h"
#include "foundation/RegKey.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Platform.h"

namespace {

std::string WithoutSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

bool ReadWhole(const std::string& path, std::string* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[1 << 16];
  while (true) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      close(fd);
      errno = e;
      return false;
    }
    if (n == 0) break;
    out->append(buf, size_t(n));
  }
  close(fd);
  return !out->empty();
}

bool WriteAllBytes(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

// The folder is synced so that a rename is on the disk too.
void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

WString W(const std::string& s) { return FromUtf8(s); }

WString SystemText(int err) { return W(std::strerror(err)); }

int AskRetry(const WString& text) { return Prompt().MessageBox(text, kProductName, kMbRetryCancel | kMbIconQuestion); }

WString FailureQuestion(const std::string& path, int err) {
  return FormatW(u"%s\n\n%s\n\nClick Retry to try again, or Cancel to cancel the installation.", W(path),
                 SystemText(err));
}

std::string LanguageCode() {
  if (g_appState && g_appState->languageCode[0]) return std::string(g_appState->languageCode);
  return "en";
}

KeyValue Str(const std::string& s) { return KeyValue{REG_SZ, s}; }
KeyValue Number(uint32_t v) {
  KeyValue k{REG_DWORD, std::string(4, '\0')};
  std::memcpy(k.data.data(), &v, 4);
  return k;
}

std::string StringOf(KeyRoot root, const std::string& key, const char* name) {
  KeyValue v;
  if (KeyStore::GetValue(root, key, name, &v) != 0 || !KeyStore::IsStringType(v.type)) return std::string();
  return v.data;
}

// The manifest's lines, from its multi-string.
std::vector<std::string> ManifestOf(KeyRoot root, const std::string& key) {
  std::vector<std::string> lines;
  KeyValue v;
  if (KeyStore::GetValue(root, key, "Manifest", &v) != 0 || v.type != REG_MULTI_SZ) return lines;
  size_t start = 0;
  while (start < v.data.size()) {
    size_t end = v.data.find('\0', start);
    if (end == std::string::npos) end = v.data.size();
    if (end > start) lines.push_back(v.data.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Manifest lines name absolute paths without "." or ".." components; any
// other line is not ours to remove.
bool IsPlainAbsolute(const std::string& p) {
  if (p.size() < 2 || p[0] != '/') return false;
  size_t start = 1;
  while (start <= p.size()) {
    size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    const std::string part = p.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool SetupRunsAsRoot() {
  if (const char* fake = getenv("DELVORA_TEST_EUID"); fake && *fake) {
    char* end = nullptr;
    const long v = strtol(fake, &end, 10);
    if (end && *end == 0) return v == 0;
  }
  return geteuid() == 0;
}

InstallPlaces PlacesFor(bool everyone) {
  InstallPlaces p;
  p.everyone = everyone;
  if (everyone) {
    const std::string sys = plat::SystemRoot();
    p.programFolder = sys + "/opt/delvora-4.3";
    p.programsRoot = sys + "/usr/local/share/applications";
    p.iconsRoot = sys + "/usr/local/share/icons/hicolor";
    p.binFolder = sys + "/usr/local/bin";
    p.store = KeyRoot::Machine;
  } else {
    const std::string home = WithoutSlash(plat::HomeDir());
    const std::string data = WithoutSlash(plat::DataHomeDir());
    p.programFolder = home + "/.local/opt/delvora-4.3";
    p.programsRoot = data + "/applications";
    p.iconsRoot = data + "/icons/hicolor";
    p.binFolder = home + "/.local/bin";
    p.store = KeyRoot::User;
  }
  return p;
}

std::string QuoteExecArgument(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string EscapeDesktopValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\r') out += "\\r";
    else if (c == ' ' && i == 0) out += "\\s";
    else out.push_back(c);
  }
  return out;
}

bool IsLaunchablePath(const std::string& path) {
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7f || c == '%') return false;
  return !path.empty();
}

std::string UninstallKeyPath() {
  return "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marbrix Delvora 4.3 (" + LanguageCode() + ")";
}

bool PathIsInside(const std::string& path, const std::string& folder) {
  const std::string f = WithoutSlash(folder);
  if (f.empty() || path.compare(0, f.size(), f) != 0) return false;
  return path.size() == f.size() || f == "/" || path[f.size()] == '/';
}

std::string InstalledLocation(KeyRoot* root) {
  for (KeyRoot r : {KeyRoot::Machine, KeyRoot::User}) {
    std::string loc = StringOf(r, UninstallKeyPath(), "InstallLocation");
    if (!loc.empty()) {
      if (root) *root = r;
      return loc;
    }
  }
  return std::string();
}

std::string InstalledEntryId() {
  KeyRoot root = KeyRoot::User;
  if (InstalledLocation(&root).empty()) return std::string();
  const std::string group = WithoutSlash(StringOf(root, UninstallKeyPath(), "StartMenuGroup"));
  for (bool everyone : {root == KeyRoot::Machine, root != KeyRoot::Machine}) {
    const std::string apps = PlacesFor(everyone).programsRoot;
    if (!PathIsInside(group, apps)) continue;
    std::string id = group.size() > apps.size() ? group.substr(apps.size() + 1) + "/" : std::string();
    for (char& c : id)
      if (c == '/') c = '-';
    return id + kDesktopEntryId;
  }
  return kDesktopEntryId;
}

bool IsInstalledCopy(const std::string& programPath) {
  const std::string program = RealPath(programPath);
  if (program.empty()) return false;
  for (KeyRoot r : {KeyRoot::Machine, KeyRoot::User}) {
    const std::string loc = RealPath(StringOf(r, UninstallKeyPath(), "InstallLocation"));
    if (!loc.empty() && PathIsInside(program, loc)) return true;
  }
  return false;
}

std::string InstallInfo::IconFile(int size) const {
  return iconsRoot + "/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/" + kIconName + ".png";
}

std::string InstallInfo::UninstallString() const { return QuoteExecArgument(ProgramFile()) + " /uninstall"; }

std::string InstallInfo::EntryText(bool uninstall) const {
  std::string t = "[Desktop Entry]\nType=Application\nVersion=1.4\n";
  if (uninstall) {
    t += "Name=Uninstall Delvora 4.3\nComment=Remove Delvora 4.3 and everything its setup wrote\n";
    t += "Exec=" + EscapeDesktopValue(UninstallString()) + "\n";
  } else {
    t += "Name=Delvora 4.3\nGenericName=File Recovery\n";
    t += "Comment=Recover lost files from disks, partitions, RAID sets and disk images\n";
    t += "Exec=" + EscapeDesktopValue(QuoteExecArgument(ProgramFile())) + "\n";
  }
  t += "TryExec=" + EscapeDesktopValue(ProgramFile()) + "\n";
  t += std::string("Icon=") + kIconName + "\n";
  t += "Terminal=false\nCategories=System;Filesystem;\n";
  if (!uninstall) t += std::string("StartupWMClass=") + kProgramFileName + "\n";
  return t;
}

void InstallInfo::Created(char kind, const std::string& path) {
  const std::string line = std::string(1, kind) + " " + path;
  for (const auto& m : manifest)
    if (m == line) return;
  manifest.push_back(line);
}

// Folders one by one, each recorded, so that removal takes exactly those.
int InstallInfo::MakeFolders(const std::string& file) {
  while (true) {
    std::vector<std::string> missing;
    std::string folder = Parent(file);
    int err = 0;
    while (!folder.empty() && folder != "/") {
      struct stat st;
      if (lstat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) && stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
          break;
        err = ENOTDIR;
        break;
      }
      if (errno != ENOENT) {
        err = errno;
        break;
      }
      missing.push_back(folder);
      folder = Parent(folder);
    }
    for (size_t i = missing.size(); !err && i-- > 0;) {
      if (mkdir(missing[i].c_str(), 0755) != 0 && errno != EEXIST) {
        err = errno;
        break;
      }
      chmod(missing[i].c_str(), 0755);  // not the umask's choice
      Created('d', missing[i]);
    }
    if (!err) return 1;
    ErrorMsg(u"Error accessing the destination folder");
    const WString text = FormatW(
        u"Error accessing the destination folder\n\n%s\n\n%s\n\nClick Retry to try again, or Cancel to cancel the "
        u"installation.",
        W(Parent(file)), SystemText(err));
    if (AskRetry(text) != kIdRetry) return -1;
  }
}

int InstallInfo::WriteItem(const std::string& target, const std::string& bytes, mode_t mode, bool buildTime,
                           bool link) {
  if (MakeFolders(target) < 0) return -1;
  while (true) {
    struct stat st;
    const bool existed = lstat(target.c_str(), &st) == 0;
    int err = 0;
    if (existed && S_ISDIR(st.st_mode)) err = EISDIR;
    // A temporary name beside the target, then a rename: a failed write
    // never leaves a cut file under the real name.
    std::string temp = Parent(target) + "/." + kProgramFileName + "-setup.XXXXXX";
    if (!err) {
      if (link) {
        const int fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) err = errno;
        else {
          close(fd);
          unlink(temp.c_str());
          if (symlink(bytes.c_str(), temp.c_str()) != 0) err = errno;
        }
      } else {
        const int fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) err = errno;
        else {
          if (fchmod(fd, mode) != 0 || !WriteAllBytes(fd, bytes) || fsync(fd) != 0) err = errno ? errno : EIO;
          uint64_t ft = 0;
          if (!err && buildTime && ParseBuildDate(&ft) && ft) {
            const int64_t secs = FileTimeToUnixTime(ft);
            struct timespec ts[2] = {{time_t(secs), 0}, {time_t(secs), 0}};
            if (futimens(fd, ts) != 0) err = errno;
          }
          if (close(fd) != 0 && !err) err = errno;
        }
      }
      if (!err && rename(temp.c_str(), target.c_str()) != 0) err = errno;
      if (err) unlink(temp.c_str());
    }
    if (!err) {
      SyncFolder(Parent(target));
      if (existed) replacedPaths_.push_back(target);
      Created(link ? 'l' : 'f', target);
      return 1;
    }
    ErrorMsg(W(std::strerror(err)).c_str());
    if (AskRetry(FailureQuestion(target, err)) != kIdRetry) return -1;
  }
}

bool InstallInfo::Install() {
  totalSize = installed = replaced = 0;
  replacedPaths_.clear();
  left.clear();
  // An entry elsewhere stays the only record of that copy: stop.
  const std::string existing = StringOf(store, UninstallKeyPath(), "InstallLocation");
  if (!existing.empty() && WithoutSlash(existing) != WithoutSlash(programFolder)) {
    ShowMessage(kMbIconError, u"%s is already installed in\n\n%s\n\nUninstall that copy first.", kProductVersion,
                W(existing));
    return false;
  }
  // Over the same installation the old record is kept, so that uninstall
  // still takes what the first install created.
  manifest.clear();
  if (!existing.empty()) {
    manifest = ManifestOf(store, UninstallKeyPath());
  }
  ownFrom_ = manifest.size();
  WString root;
  if (CheckPath(W(ProgramFile()), &root, true) >= 0) rootFolder = ToUtf8(root);
  if (CheckPath(W(EntryFile()), &root, true) >= 0) startMenuRoot = ToUtf8(root);

  std::string program;
  if (!ReadWhole(sourceProgram, &program)) {
    const int err = errno ? errno : EIO;
    ShowMessage(kMbIconError, u"%s\n\n%s", W(sourceProgram), SystemText(err));
    return false;
  }
  auto item = [&](const std::string& target, const std::string& bytes, mode_t mode, bool buildTime, bool link,
                  uint32_t bit) {
    const size_t before = replacedPaths_.size();
    if (WriteItem(target, bytes, mode, buildTime, link) < 0) return false;
    if (!link) totalSize += uint32_t(bytes.size());
    installed |= bit;
    if (replacedPaths_.size() != before) replaced |= bit;
    return true;
  };
  bool ok =
      item(ProgramFile(), program, 0755, true, false, 1) && item(EntryFile(), EntryText(false), 0644, false, false, 2);
  for (const auto& icon : icons) ok = ok && item(IconFile(icon.size), icon.png, 0644, false, false, 0);
  if (ok && !binFolder.empty()) ok = item(LinkFile(), ProgramFile(), 0, false, true, 0);
  ok = ok && item(UninstallEntryFile(), EntryText(true), 0644, false, false, 2);
  if (!ok) {
    Remove(true);
    return false;
  }
  WriteUninstallKey();
  installed |= 0x10;
  return true;
}

bool InstallInfo::WriteUninstallKey() {
  const std::string key = UninstallKeyPath();
  // The store's folders and files this write makes are the installation's
  // too ("k": taken back only while the store holds no other key).
  {
    std::vector<std::string> missing;
    for (std::string f = WithoutSlash(KeyStore::StoreDir(store)); !f.empty() && f != "/"; f = Parent(f)) {
      struct stat st;
      if (lstat(f.c_str(), &st) == 0) break;
      missing.push_back(f);
    }
    for (size_t i = missing.size(); i-- > 0;) Created('d', missing[i]);
    for (const std::string& f : {KeyStore::StoreFile(store), KeyStore::StoreDir(store) + "keys.lock"}) {
      struct stat st;
      if (lstat(f.c_str(), &st) != 0) Created('k', f);
    }
  }
  if (KeyStore::CreateKey(store, key) != 0) return false;
  time_t now = time(nullptr);
  struct tm lt {};
  char date[32] = "00000000";
  if (localtime_r(&now, &lt)) snprintf(date, sizeof date, "%04d%02d%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  std::string list;
  for (const auto& m : manifest) list += m + std::string(1, '\0');
  if (!list.empty()) list.pop_back();
  const std::pair<const char*, KeyValue> values[] = {
      {"DisplayName", Str("Delvora 4.3 (" + LanguageCode() + ")")},
      {"DisplayVersion", Str("4.3.1.0")},
      {"DisplayIcon", Str(ProgramFile())},
      {"UninstallString", Str(UninstallString())},
      {"InstallRootLocation", Str(rootFolder)},
      {"InstallLocation", Str(programFolder)},
      {"Publisher", Str("Marbrix Software")},
      {"URLInfoAbout", Str("https://www.delvora.com/")},
      {"InstallDate", Str(date)},
      {"StartMenuGroup", Str(startMenuFolder)},
      {"StartMenuRootGroup", Str(startMenuRoot)},
      {"EstimatedSize", Number(totalSize)},
      {"FileInstalled", Number(installed)},
      {"VersionMajor", Str("4")},
      {"VersionMinor", Str("3")},
      {"Manifest", KeyValue{REG_MULTI_SZ, list}},
  };
  bool ok = true;
  for (const auto& [name, value] : values) {
    if ((std::strcmp(name, "InstallRootLocation") == 0 || std::strcmp(name, "StartMenuRootGroup") == 0) &&
        value.data.empty())
      continue;
    if (KeyStore::SetValue(store, key, name, value) != 0) ok = false;
  }
  return ok;
}

bool InstallInfo::ReadUninstallKey(KeyRoot root) {
  const std::string key = UninstallKeyPath();
  if (KeyStore::KeyExists(root, key) != 0) return false;
  store = root;
  programFolder = StringOf(root, key, "InstallLocation");
  rootFolder = StringOf(root, key, "InstallRootLocation");
  startMenuFolder = StringOf(root, key, "StartMenuGroup");
  startMenuRoot = StringOf(root, key, "StartMenuRootGroup");
  KeyValue v;
  if (KeyStore::GetValue(root, key, "FileInstalled", &v) == 0 && v.data.size() == 4)
    std::memcpy(&installed, v.data.data(), 4);
  manifest = ManifestOf(root, key);
  return true;
}

bool InstallInfo::DeleteWithRetry(const std::string& path, bool ask) {
  while (true) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    const int err = errno;
    if (!ask) return false;
    const WString text = FormatW(u"Could not remove \"%s\"\n\nError code %d: %s", W(path), err, SystemText(err));
    if (Prompt().MessageBox(text, kProductName, kMbRetryCancel | kMbIconError) != kIdRetry) return false;
  }
}

// Only while the root is a true ancestor of the folder, by whole
// components and with case; only empty folders go.
void InstallInfo::RemoveFolderChain(const std::string& folderIn, const std::string& rootIn) {
  std::string folder = WithoutSlash(folderIn);
  const std::string root = WithoutSlash(rootIn);
  while (!root.empty() && folder.size() > root.size() && PathIsInside(folder, root)) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (rmdir(folder.c_str()) == 0 || errno == ENOENT || errno == ENOTEMPTY || errno == EEXIST) break;
      if (attempt == 4) ErrorMsg(nullptr, W(folder).c_str());
      else std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    folder = Parent(folder);
  }
}

bool InstallInfo::Remove(bool rollback) {
  bool ok = true;
  left.clear();
  if (!rollback) {
    if (!ReadUninstallKey(KeyRoot::Machine) && !ReadUninstallKey(KeyRoot::User)) return false;
  }
  auto isReplaced = [&](const std::string& p) {
    for (const auto& r : replacedPaths_)
      if (r == p) return true;
    return false;
  };
  if (!programFolder.empty()) DeleteWithRetry(HelpFilePath(), false);
  if (!rollback || (installed & 0x10)) {
    const int e = KeyStore::DeleteKey(store, UninstallKeyPath(), true);
    if (e != 0 && e != ENOENT) {
      ok = false;
      left.push_back("the uninstall entry in " + KeyStore::StoreFile(store));
    }
  }
  // The store goes with the entry only when nothing else is kept in it.
  bool storeEmpty = false;
  {
    KeyStore model;
    std::string text;
    struct stat st;
    const std::string file = KeyStore::StoreFile(store);
    if (lstat(file.c_str(), &st) != 0) storeEmpty = true;
    else if (ReadWhole(file, &text) || st.st_size == 0) {
      model.Parse(text);
      storeEmpty = model.KeyCount() == 0;
    }
  }
  if (!manifest.empty()) {
    // A rollback takes back only what this run created.
    const size_t first = rollback ? ownFrom_ : 0;
    for (size_t i = manifest.size(); i-- > first;) {
      const std::string& line = manifest[i];
      if (line.size() < 3 || line[1] != ' ') continue;
      const char kind = line[0];
      const std::string path = line.substr(2);
      if (!IsPlainAbsolute(path)) continue;
      if (rollback && isReplaced(path)) continue;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;  // already gone
      if (kind == 'd') {
        if (!S_ISDIR(st.st_mode)) continue;
        if (rmdir(path.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST) {
          ok = false;
          left.push_back(path);
        }
      } else if (kind == 'k') {
        if (storeEmpty && S_ISREG(st.st_mode)) unlink(path.c_str());
      } else if ((kind == 'f' && S_ISREG(st.st_mode)) || (kind == 'l' && S_ISLNK(st.st_mode))) {
        const bool ask = !rollback && path == ProgramFile();
        if (!DeleteWithRetry(path, ask)) {
          ok = false;
          left.push_back(path);
        }
      }
    }
  } else {
    if (!programFolder.empty()) {
      if ((installed & 1) && (!rollback || !(replaced & 1))) {
        if (!DeleteWithRetry(ProgramFile(), true)) {
          ok = false;
          left.push_back(ProgramFile());
        }
      }
      RemoveFolderChain(programFolder, rootFolder);
    }
    if (!startMenuFolder.empty()) {
      if ((installed & 2) && (!rollback || !(replaced & 2))) {
        for (const std::string& entry : {EntryFile(), UninstallEntryFile()})
          if (!DeleteWithRetry(entry, true)) {
            ok = false;
            left.push_back(entry);
          }
      }
      RemoveFolderChain(startMenuFolder, startMenuRoot);
    }
  }
  // What stays in the program folder (a file the user put there) keeps it.
  struct stat st;
  if (!rollback && !programFolder.empty() && lstat(ProgramFile().c_str(), &st) == 0) {
    bool listed = false;
    for (const auto& l : left) listed = listed || l == ProgramFile();
    if (!listed) left.push_back(ProgramFile());
  }
  return ok;
}
