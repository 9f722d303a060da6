// The help carried by the program: its topics and links, and where it is
// written out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "foundation/UiServices.h"
#include "setup/HelpFile.h"
#include "storage/Drive.h"
#include "tests/support/TempFolder.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::set<std::string> Anchors() {
  const std::string html(HelpFile::Content());
  std::set<std::string> names;
  const std::regex name("<a name=\"([^\"]+)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), name); it != std::sregex_iterator(); ++it)
    names.insert((*it)[1]);
  return names;
}

TEST(HelpContent, EveryTopicOfTheSourcesHasItsSectionAndEveryLinkResolves) {
  const std::set<std::string> names = Anchors();
  // Every topic a window names.
  std::set<std::string> topics;
  const std::regex topic("afxc[0-9a-z]{4}");
  for (const auto& e : std::filesystem::recursive_directory_iterator(DV_SOURCE_DIR "/ui")) {
    if (e.path().extension() != ".cpp") continue;
    const std::string text = ReadText(e.path());
    for (auto it = std::sregex_iterator(text.begin(), text.end(), topic); it != std::sregex_iterator(); ++it)
      topics.insert((*it)[0]);
  }
  topics.insert("afxc7bqf");  // the trace dialog's
  EXPECT_GE(topics.size(), 23u);
  for (const auto& t : topics) EXPECT_TRUE(names.count(t)) << t;
  const std::string html(HelpFile::Content());
  const std::regex link("href=\"#([^\"]+)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), link); it != std::sregex_iterator(); ++it)
    EXPECT_TRUE(names.count((*it)[1])) << (*it)[1];
  // The same-drive section gives the word the dialog wants.
  const size_t same = html.find("<a name=\"afxc83mt\"");
  ASSERT_NE(same, std::string::npos);
  EXPECT_NE(html.find("<b>yes</b>", same), std::string::npos);
  EXPECT_EQ(HelpFile::AnchorOf(u"html\\afxc0ynh.htm"), "afxc0ynh");
  if (access("/usr/bin/xmllint", X_OK) == 0) {
    EXPECT_EQ(system("xmllint --html --noout " DV_SOURCE_DIR "/setup/help/delvora-help.html 2>/dev/null"), 0);
  }
}

// A drive that answers IsSafeVolume as told.
class FakeDrive : public Drive {
 public:
  explicit FakeDrive(bool safe) : safe_(safe) {}
  bool IsSafeVolume(WStringView) override { return safe_; }

 private:
  bool safe_;
};

class HelpPlaces : public testing::Test {
 protected:
  TempFolder temp_{"help"};
  std::string program, runtime;
  void SetUp() override {
    program = temp_.Path() + "/prog/delvora";
    std::filesystem::create_directories(temp_.Path() + "/prog");
    std::ofstream(program) << "x";
    unsetenv("XDG_RUNTIME_DIR");
  }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
};

TEST_F(HelpPlaces, ThePlaceFollowsTheDriveStateAndTheDevices) {
  // /dev/shm is a tmpfs: another device than the test folder's disk.
  const bool shm = access("/dev/shm", W_OK) == 0;
  struct Case {
    int state;
    bool otherDevice;
    bool besideProgram;
  } cases[] = {{-1, false, true}, {1, false, true}, {0, false, true}, {-1, true, false}, {1, true, true}, {0, true, false}};
  for (const auto& c : cases) {
    if (c.otherDevice && !shm) continue;
    SCOPED_TRACE(std::to_string(c.state) + (c.otherDevice ? " other device" : " same device"));
    TempFolder run(c.otherDevice ? "help_run" : "help_run");
    std::string runDir = run.Path();
    std::string shmDir;
    if (c.otherDevice) {
      char pattern[] = "/dev/shm/dv_help_XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      shmDir = runDir = pattern;
    }
    setenv("XDG_RUNTIME_DIR", runDir.c_str(), 1);
    {
      HelpFile help;
      help.programPath = program;
      help.driveState = c.state;
      const std::string path = help.Extract();
      EXPECT_EQ(path, c.besideProgram ? program + ".html" : runDir + "/delvora.html");
      EXPECT_EQ(ReadText(path), std::string(HelpFile::Content()));
      std::filesystem::remove(program + ".html");
    }
    if (!shmDir.empty()) std::filesystem::remove_all(shmDir);
  }
}

TEST_F(HelpPlaces, AFileIsReusedRewrittenWhenStaleAndALinkIsReplaced) {
  setenv("XDG_RUNTIME_DIR", (temp_.Path()).c_str(), 1);
  HelpFile help;
  help.programPath = program;
  const std::string path = help.Extract();
  ASSERT_EQ(path, program + ".html");
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  EXPECT_EQ(help.Extract(), path);  // the same bytes: not written again
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  std::ofstream(path) << "stale";
  EXPECT_EQ(help.Extract(), path);
  EXPECT_EQ(ReadText(path), std::string(HelpFile::Content()));
  // A link planted at the place is replaced; its target stays as it was.
  const std::string target = temp_.Path() + "/target.txt";
  std::ofstream(target) << "keep";
  std::filesystem::remove(path);
  std::filesystem::create_symlink(target, path);
  EXPECT_EQ(HelpFile::CompareHelpFile(path, HelpFile::Content()), 0);
  EXPECT_EQ(help.Extract(), path);
  EXPECT_EQ(ReadText(target), "keep");
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(HelpPlaces, WithoutARuntimeFolderAPrivateFolderIsMadeAndRemoved) {
  TempFolder tmp("help_tmp");
  setenv("TMPDIR", tmp.Path().c_str(), 1);
  std::string folder;
  {
    HelpFile help;
    help.programPath = "/nonexistent-folder/delvora";  // beside it cannot be written
    const std::string path = help.Extract();
    ASSERT_FALSE(path.empty());
    folder = path.substr(0, path.rfind('/'));
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_NE(access(folder.c_str(), F_OK), 0);
  unsetenv("TMPDIR");
}

TEST_F(HelpPlaces, TheWarningComesWithoutResultsAndOkWithTheBoxEndsIt) {
  setenv("XDG_RUNTIME_DIR", temp_.Path().c_str(), 1);
  HelpFile help;
  help.programPath = program;
  int asked = 0, shown = 0;
  int answer = kIdCancel;
  bool tick = false;
  help.askLaunch = [&](bool* dontShow) {
    ++asked;
    *dontShow = tick;
    return answer;
  };
  help.show = [&](const std::string&, const std::string& anchor) {
    ++shown;
    EXPECT_EQ(anchor, "afxc0ynh");
    return true;
  };
  FakeDrive safe(true);
  help.currentDrive = [&]() -> Drive* { return &safe; };
  help.listRows = [] { return 0; };  // no scan results
  EXPECT_EQ(help.Open(u"html\\afxc0ynh.htm"), 0);  // Cancel: nothing
  EXPECT_EQ(shown, 0);
  answer = kIdOk;
  tick = true;
  EXPECT_EQ(help.Open(u"html\\afxc0ynh.htm"), 1);
  EXPECT_EQ(help.Open(u"html\\afxc0ynh.htm"), 1);  // not asked again
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(shown, 2);
  // With results on a safe source there is no warning at all.
  HelpFile quiet;
  quiet.programPath = program;
  quiet.askLaunch = help.askLaunch;
  quiet.show = help.show;
  quiet.currentDrive = help.currentDrive;
  quiet.listRows = [] { return 5; };
  EXPECT_EQ(quiet.Open(u"html\\afxc0ynh.htm"), 1);
  EXPECT_EQ(asked, 2);
  // The recovery tells the drive: once unsafe, unsafe for the run.
  FakeDrive unsafe(false);
  quiet.UpdateDriveInUse(&unsafe);
  EXPECT_EQ(quiet.driveState.load(), 0);
  quiet.UpdateDriveInUse(&safe);
  EXPECT_EQ(quiet.driveState.load(), 0);
}

}  // namespace
