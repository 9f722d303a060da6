// Install and uninstall under temporary roots: HOME, the XDG folders, TMPDIR
// and the machine's folders (DELVORA_SYSTEM_ROOT) all lie in a test folder.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "foundation/KeyStore.h"
#include "foundation/TimeUtil.h"
#include "foundation/UiServices.h"
#include "setup/Install.h"
#include "setup/Switches.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

std::string Shell(const std::string& command) { return RunCommand(command); }

std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteText(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { had_ ? (void)setenv(name_, old_.c_str(), 1) : (void)unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// The roots of one test: a user's home with its XDG folders, the machine's
// folders, and a temporary folder; the user id faked by a variable.
class SetupRoots : public testing::Test {
 protected:
  TempFolder temp_{"setup"};
  std::string home, sys, tmp;
  std::unique_ptr<ScopedEnv> env_[8];
  ScriptedPrompt prompt;

  void SetUp() override {
    // Without its own folder a test would write into the machine's.
    ASSERT_FALSE(temp_.Path().empty());
    UseUser("alice", false);
  }
  void TearDown() override {
    SetPromptService(nullptr);
    for (int i = 7; i >= 0; --i) env_[i].reset();
  }

  void UseUser(const std::string& name, bool root) {
    for (int i = 7; i >= 0; --i) env_[i].reset();  // back to the real values first
    home = temp_.Path() + "/home/" + name;
    sys = temp_.Path() + "/system";
    tmp = temp_.Path() + "/tmp";
    for (const auto& d : {home, sys, tmp}) Shell("mkdir -p " + Q(d));
    env_[0] = std::make_unique<ScopedEnv>("HOME", home);
    env_[1] = std::make_unique<ScopedEnv>("XDG_DATA_HOME", home + "/.local/share");
    env_[2] = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", home + "/.config");
    env_[3] = std::make_unique<ScopedEnv>("TMPDIR", tmp);
    env_[4] = std::make_unique<ScopedEnv>("DELVORA_SYSTEM_ROOT", sys);
    env_[5] = std::make_unique<ScopedEnv>("DELVORA_TEST_EUID", root ? "0" : "1000");
    env_[6] = std::make_unique<ScopedEnv>("XDG_DATA_DIRS", sys + "/usr/local/share");
    SetPromptService(&prompt);
  }

  // Every entry below the roots with its type and mode.
  std::string Find() {
    return Shell("cd " + Q(temp_.Path()) + " && find home system tmp -printf '%y %m %p\\n' | sort");
  }

  std::string Stub() {
    const std::string stub = tmp + "/stub.sh";
    WriteText(stub, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$STUB_OUT\"\n", 0755);
    return stub;
  }

  InstallInfo Info(const std::string& program, const std::string& folder = std::string()) {
    // Never the machine's own folders.
    const char* root = getenv("DELVORA_SYSTEM_ROOT");
    if (sys.empty() || !root || sys != root || getenv("HOME") != home) std::abort();
    const InstallPlaces p = PlacesFor(SetupRunsAsRoot());
    InstallInfo info;
    info.programFolder = folder.empty() ? p.programFolder : folder;
    info.startMenuFolder = p.programsRoot + "/" + kDefaultGroup;
    info.iconsRoot = p.iconsRoot;
    info.binFolder = p.binFolder;
    info.store = p.store;
    info.sourceProgram = program;
    info.icons = {{16, "png16"}, {48, "png48"}};
    return info;
  }
};

std::string ManifestFind(const InstallInfo& info, const std::string& root) {
  std::string out;
  for (const auto& m : info.manifest) {
    struct stat st;
    const std::string path = m.substr(2);
    lstat(path.c_str(), &st);
    const char* type = S_ISDIR(st.st_mode) ? "d" : S_ISLNK(st.st_mode) ? "l" : "f";
    char mode[8];
    snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode & 07777));
    out += std::string(type) + " " + mode + " " + path.substr(root.size() + 1) + "\n";
  }
  return out;
}

std::string SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string l; std::getline(s, l);) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TEST_F(SetupRoots, InstallWritesExactlyItsManifestAndUninstallTakesItBack) {
  const std::string program = DV_BINARY_DIR "/bin/delvora";
  ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;
  const std::string before = Find();
  InstallInfo info = Info(program);
  ASSERT_TRUE(info.Install());
  EXPECT_TRUE(prompt.asked().empty());
  // The program: the build's bytes, 0755, the build date (not now).
  EXPECT_EQ(system(("cmp -s " + Q(program) + " " + Q(info.ProgramFile())).c_str()), 0);
  uint64_t built = 0;
  ParseBuildDate(&built);
  EXPECT_EQ(Shell("stat -c '%a %Y' " + Q(info.ProgramFile())),
            "755 " + std::to_string(FileTimeToUnixTime(built)) + "\n");
  // Exactly the manifest was added.
  EXPECT_EQ(Find(), SortedLines(before + ManifestFind(info, temp_.Path())));
  EXPECT_EQ(info.manifest.front(), "d " + home + "/.local");
  // Each entry passes the validator.
  for (const auto& entry : {info.EntryFile(), info.UninstallEntryFile()}) {
    const CommandRun said = RunCommandStatus("desktop-file-validate " + Q(entry) + " 2>&1");
    EXPECT_EQ(said.rc, 0) << said.out;
    EXPECT_EQ(said.out, "") << entry;
  }
  EXPECT_EQ(Shell("readlink " + Q(info.LinkFile())), info.ProgramFile() + "\n");
  // The entry's values and types.
  const std::string key = UninstallKeyPath();
  struct Row {
    const char* name;
    uint32_t type;
    std::string data;
  } rows[] = {{"DisplayName", 1, "Delvora 4.3 (en)"},
              {"DisplayVersion", 1, "4.3.1.0"},
              {"DisplayIcon", 1, info.ProgramFile()},
              {"UninstallString", 1, "\"" + info.ProgramFile() + "\" /uninstall"},
              {"InstallRootLocation", 1, home},
              {"InstallLocation", 1, info.programFolder},
              {"StartMenuGroup", 1, info.startMenuFolder},
              {"StartMenuRootGroup", 1, home},
              {"VersionMajor", 1, "4"},
              {"VersionMinor", 1, "3"}};
  for (const auto& r : rows) {
    KeyValue v;
    ASSERT_EQ(KeyStore::GetValue(KeyRoot::User, key, r.name, &v), 0) << r.name;
    EXPECT_EQ(v.type, r.type) << r.name;
    EXPECT_EQ(v.data, r.data) << r.name;
  }
  for (const char* number : {"EstimatedSize", "FileInstalled"}) {
    KeyValue v;
    ASSERT_EQ(KeyStore::GetValue(KeyRoot::User, key, number, &v), 0);
    EXPECT_EQ(v.type, 4u) << number;
  }
  KeyValue manifest;
  ASSERT_EQ(KeyStore::GetValue(KeyRoot::User, key, "Manifest", &manifest), 0);
  EXPECT_EQ(manifest.type, 7u);

  // The installed copy knows itself; uninstall takes back exactly that.
  EXPECT_TRUE(IsInstalledCopy(info.ProgramFile()));
  EXPECT_EQ(DecideStartup({"delvora"}, info.ProgramFile()), StartupAction::Run);
  EXPECT_EQ(InstalledEntryId(), "Delvora 4.3-marbrix-delvora-4.3");  // as the desktop names it
  // A help file written beside the program goes too.
  WriteText(info.HelpFilePath(), "<html></html>");
  InstallInfo remover;
  ASSERT_TRUE(remover.Remove(false));
  EXPECT_FALSE(IsInstalledCopy(info.ProgramFile()));
  // The key store's folder and files went too: nothing else is kept there.
  EXPECT_EQ(Find(), before);
}

TEST_F(SetupRoots, AFileTheUserAddedStaysWithItsFolder) {
  const std::string before = Find();
  InstallInfo info = Info(Stub());
  ASSERT_TRUE(info.Install());
  WriteText(info.programFolder + "/notes.txt", "mine");
  prompt.Push(kIdOk);
  InstallInfo remover;
  EXPECT_TRUE(remover.Remove(false));
  EXPECT_EQ(ReadText(info.programFolder + "/notes.txt"), "mine");
  EXPECT_NE(access(info.ProgramFile().c_str(), F_OK), 0);
  EXPECT_NE(access(info.EntryFile().c_str(), F_OK), 0);
  EXPECT_NE(access((info.startMenuFolder).c_str(), F_OK), 0);  // empty: gone
}

// Each way an install can fail ends with the roots as they were.
TEST_F(SetupRoots, AFailedOrCancelledInstallRollsBack) {
  struct Case {
    const char* what;
    std::function<void(InstallInfo&)> prepare;
    std::vector<int> answers;
  } cases[] = {
      {"a regular file where the group folder should be",
       [](InstallInfo& i) {
         Shell("mkdir -p " + Q(i.startMenuFolder.substr(0, i.startMenuFolder.rfind('/'))));
         WriteText(i.startMenuFolder, "in the way");
       },
       {kIdRetry, kIdCancel}},
      {"a program that cannot be read", [](InstallInfo& i) { i.sourceProgram = "/nonexistent/delvora"; }, {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    InstallInfo info = Info(Stub());
    c.prepare(info);
    const std::string before = Find();
    for (int a : c.answers) prompt.Push(a);
    EXPECT_FALSE(info.Install());
    EXPECT_EQ(prompt.remaining(), 0u);
    EXPECT_EQ(Find(), before);
    EXPECT_EQ(KeyStore::KeyExists(KeyRoot::User, UninstallKeyPath()), ENOENT);
  }
}

TEST_F(SetupRoots, AFullDestinationRollsBack) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string dest = tmp + "/small";
  Shell("mkdir -p " + Q(dest));
  ASSERT_EQ(mount("tmpfs", dest.c_str(), "tmpfs", 0, "size=1M"), 0);
  const std::string big = tmp + "/big.bin";
  Shell("head -c 3000000 /dev/urandom > " + Q(big) + " && chmod 755 " + Q(big));
  const std::string before = Find();
  InstallInfo info = Info(big, dest + "/delvora");
  prompt.Push(kIdCancel);
  EXPECT_FALSE(info.Install());
  ASSERT_FALSE(prompt.asked().empty());
  EXPECT_NE(prompt.asked().back().text.find(u"No space left on device"), WString::npos);
  EXPECT_EQ(Find(), before);
  umount(dest.c_str());
}

TEST_F(SetupRoots, InstallingOverAnInstallationKeepsOneRecord) {
  const std::string stub = Stub();
  const std::string before = Find();
  InstallInfo first = Info(stub);
  ASSERT_TRUE(first.Install());
  InstallInfo second = Info(Stub());
  ASSERT_TRUE(second.Install());
  EXPECT_EQ(second.manifest, first.manifest);  // the first record kept
  // A second destination is stopped, naming the installed copy.
  InstallInfo elsewhere = Info(Stub(), home + "/other/delvora");
  EXPECT_FALSE(elsewhere.Install());
  ASSERT_EQ(prompt.asked().size(), 1u);
  EXPECT_NE(prompt.asked()[0].text.find(FromUtf8(first.programFolder)), WString::npos);
  InstallInfo remover;
  ASSERT_TRUE(remover.Remove(false));
  EXPECT_EQ(Find(), before);
}

TEST_F(SetupRoots, ARootInstallIsSeenByEveryUser) {
  UseUser("root", true);
  InstallInfo info = Info(Stub());
  EXPECT_EQ(info.programFolder, sys + "/opt/delvora-4.3");
  ASSERT_TRUE(info.Install());
  EXPECT_EQ(info.LinkFile(), sys + "/usr/local/bin/delvora");
  UseUser("bob", false);
  EXPECT_TRUE(IsInstalledCopy(info.ProgramFile()));
  EXPECT_EQ(DecideStartup({"delvora"}, info.ProgramFile()), StartupAction::Run);
  UseUser("root", true);
  InstallInfo remover;
  EXPECT_TRUE(remover.Remove(false));
  EXPECT_NE(access((sys + "/opt/delvora-4.3").c_str(), F_OK), 0);
}

// The desktop starts the entry's program with exactly its path, and lists
// it with its name, icon and command line.
TEST_F(SetupRoots, TheDesktopStartsAndListsTheEntry) {
  if (access("/usr/bin/gio", X_OK) != 0) GTEST_SKIP() << "gio (libglib2.0-bin) is missing";
  const std::string folder = home + "/odd \"name\" $HOME \\ x/delvora";
  InstallInfo info = Info(Stub(), folder);
  ASSERT_TRUE(info.Install());
  const std::string out = tmp + "/argv.txt";
  ScopedEnv o("STUB_OUT", out);
  const CommandRun said = RunCommandStatus("gio launch " + Q(info.EntryFile()) + " 2>&1");
  EXPECT_EQ(said.rc, 0) << said.out;
  for (int i = 0; i < 100 && access(out.c_str(), F_OK) != 0; ++i) usleep(20000);
  EXPECT_EQ(ReadText(out), info.ProgramFile() + "\n");
  if (access("/usr/bin/python3", X_OK) == 0 && system("/usr/bin/python3 -c 'import gi' 2>/dev/null") == 0) {
    const std::string listed = Shell(
        "/usr/bin/python3 -c \"import gi; gi.require_version('Gio', '2.0'); from gi.repository import Gio\n"
        "for a in Gio.AppInfo.get_all():\n"
        "  if 'marbrix' in a.get_id(): print(a.get_id(), '|', a.get_name(), '|', a.get_icon().to_string(), "
        "'|', a.get_commandline())\" 2>&1");
    // The menu's view: the entry's id, name, icon and command line.
    EXPECT_NE(listed.find("Delvora 4.3-marbrix-delvora-4.3.desktop | Delvora 4.3 | marbrix-delvora | " +
                          QuoteExecArgument(info.ProgramFile())),
              std::string::npos)
        << listed;
    EXPECT_NE(listed.find("Uninstall Delvora 4.3 | marbrix-delvora"), std::string::npos) << listed;
  }
  InstallInfo remover;
  EXPECT_TRUE(remover.Remove(false));
}

TEST(SetupRules, PathsAreComparedByWholeComponents) {
  struct Case {
    const char* path;
    const char* folder;
    bool inside;
  } cases[] = {{"/opt/Delvora 4.30/delvora", "/opt/Delvora 4.3", false},
               {"/opt/Delvora 4.3/delvora", "/opt/Delvora 4.3", true},
               {"/opt/Delvora 4.3", "/opt/Delvora 4.3/", true},
               {"/opt/delvora 4.3/delvora", "/opt/Delvora 4.3", false},
               {"/anything", "/", true}};
  for (const auto& c : cases) EXPECT_EQ(PathIsInside(c.path, c.folder), c.inside) << c.path << " in " << c.folder;
}

TEST(SetupRules, ExecArgumentsAreQuotedAndEscaped) {
  struct Case {
    const char* path;
    const char* value;  // as the entry's file holds it
  } cases[] = {{"/opt/delvora", "\"/opt/delvora\""}, {"/a b/d", "\"/a b/d\""},         {"/a\"b/d", "\"/a\\\\\"b/d\""},
               {"/a$b/d", "\"/a\\\\$b/d\""},         {"/a\\b/d", "\"/a\\\\\\\\b/d\""}, {"/a`b/d", "\"/a\\\\`b/d\""}};
  for (const auto& c : cases) EXPECT_EQ(EscapeDesktopValue(QuoteExecArgument(c.path)), c.value) << c.path;
  EXPECT_FALSE(IsLaunchablePath("/opt/100%/d"));
  EXPECT_FALSE(IsLaunchablePath("/opt/a\nb"));
  EXPECT_TRUE(IsLaunchablePath("/opt/a b"));
}

TEST(SetupRules, SwitchesAreWholeArguments) {
  struct Case {
    std::vector<std::string> args;
    bool uninstall;
  } cases[] = {{{"delvora", "/uninstall"}, true},
               {{"delvora", "--uninstall"}, true},
               {{"delvora", "/mnt/x/uninstall-notes.img"}, false},
               {{"delvora", "/uninstallx"}, false},
               {{"/uninstall"}, false}};  // the program's own name is no switch
  for (const auto& c : cases) EXPECT_EQ(HasUninstallSwitch(c.args), c.uninstall) << c.args.back();
  // The build's copy never asks; a copy elsewhere does, Run preselected
  // for a file named like the program.
  EXPECT_EQ(DecideStartup({"delvora"}, DV_BINARY_DIR "/bin/delvora"), StartupAction::Run);
  EXPECT_EQ(DecideStartup({"delvora"}, "/usr/bin/true"), StartupAction::Run);
  TempFolder t("switches");
  ASSERT_FALSE(t.Path().empty());
  const std::string copy = t.Path() + "/Delvora";
  WriteText(copy, "x", 0755);
  EXPECT_EQ(DecideStartup({"delvora"}, copy), StartupAction::AskRunMode);
  EXPECT_TRUE(PreselectRun(copy));
  EXPECT_FALSE(PreselectRun(t.Path() + "/setup"));
}

TEST_F(SetupRoots, UninstallAnsweredNoRemovesNothing) {
  InstallInfo info = Info(Stub());
  ASSERT_TRUE(info.Install());
  const std::string before = Find();
  prompt.Push(kIdNo);
  RunUninstall();
  EXPECT_EQ(Find(), before);
  prompt.Push(kIdYes);
  prompt.Push(kIdOk);
  RunUninstall();
  ASSERT_EQ(prompt.asked().size(), 3u);
  EXPECT_NE(prompt.asked()[2].text.find(u"was successfully removed"), WString::npos);
  EXPECT_NE(access(info.ProgramFile().c_str(), F_OK), 0);
}

}  // namespace
