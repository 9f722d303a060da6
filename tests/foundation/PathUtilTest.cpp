#include "foundation/PathUtil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LoopDevice.h"
#include "tests/support/TestUtil.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"

namespace {

// Sets (or, with null, removes) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

void MakeDirs(const std::string& path) { ASSERT_EQ(system(("mkdir -p '" + path + "'").c_str()), 0) << path; }

TEST(PathUtil, PhysicalDriveNumber) {
  struct Case {
    WString text;
    int number;
  } cases[] = {{u"\\\\.\\PhysicalDrive2", 2},
               {u"PhysicalDrive2", 2},
               {u"PhysicalDrive13", 13},
               {u"physicaldrive4", 4},
               {u"PhysicalDrive7 (500 GB)", 7},
               {u"PhysicalDrive", -1},
               {u"\\\\.\\PhysicalDrive", -1},
               {u"PhysicalDriveX", -1},
               {u"PhysicalDrive-1", -1},
               {u"PhysicalDrive99999999999", -1},
               {u"\\\\?\\PhysicalDrive1", -1},
               {u"Disk 1", -1},
               {u"", -1}};
  for (const auto& c : cases) EXPECT_EQ(PhysicalDriveNumber(c.text), c.number) << ToUtf8(c.text);
  EXPECT_EQ(PhysicalDrivePath(3), u"PhysicalDrive3");
  EXPECT_EQ(PhysicalDriveNumber(PhysicalDrivePath(12345)), 12345);
}

TEST(PathUtil, DiskLabels) {
  GlobalObjectsScope scope;  // message 351, "Disk "
  struct Case {
    WString label, path;
    int number;
  } cases[] = {{u"Disk 0 - 500.00 GB", u"PhysicalDrive0", 0},
               {u"Disk 12 - WDC WD10EZEX", u"PhysicalDrive12", 12},
               {u"Disk 12", u"Disk 12", 12},  // too short for the path form
               {u"Disk x - 1.00 TB", u"Disk x - 1.00 TB", -1},
               {u"disk 1 - 1.00 TB", u"disk 1 - 1.00 TB", -1},
               {u"C: Local Disk", u"C: Local Disk", -1},
               {u"", u"", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(PhysicalDrivePath(WStringView(c.label)), c.path) << ToUtf8(c.label);
    EXPECT_EQ(DiskNumberFromLabel(c.label), c.number) << ToUtf8(c.label);
  }
}

TEST(PathUtil, DriveLetterNames) {
  struct Case {
    WString text;
    bool isName;
    WString drive;
  } cases[] = {{u"C:", true, u"C:"},          {u"c: Local Disk", true, u"C:"}, {u"Z: ", true, u"Z:"},
               {u"C:\\", false, u"C:\\"},     {u"1: x", false, u"1: x"},        {u"C", false, u"C"},
               {u":", false, u":"},           {u"", false, u""},                {u"CD: x", false, u"CD: x"},
               {u"\u00e9: x", false, u"\u00e9: x"}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsDriveLetterName(c.text), c.isName) << ToUtf8(c.text);
    EXPECT_EQ(DriveFromLabel(c.text), c.drive) << ToUtf8(c.text);
  }
}

TEST(PathUtil, FullPathsAndTrimming) {
  struct Full {
    WString path;
    bool full;
  } full[] = {{u"/", true}, {u"/home/a", true}, {u"//server/share", true}, {u"home/a", false},
              {u"./a", false}, {u"C:\\data", false}, {u"\\\\server\\share", false}, {u"", false}};
  for (const auto& c : full) EXPECT_EQ(IsFullPath(c.path), c.full) << ToUtf8(c.path);

  struct Trim {
    WString in, out;
  } trims[] = {{u"  /home/a/  ", u"/home/a"}, {u"/home/a\\\\ ", u"/home/a"}, {u"\t/x/ / \n", u"/x"},
               {u"/", u"/"},                  {u"///", u"/"},               {u"  ", u""},
               {u"a b ", u"a b"},             {u"", u""}};
  for (const auto& c : trims) EXPECT_EQ(TrimPathEnd(c.in), c.out) << ToUtf8(c.in);
}

TEST(PathUtil, FolderExists) {
  const TempFolder dirTemp("folder_exists");
  std::string dir = dirTemp.Path();
  WriteFileText(dir + "/file", "x");
  ASSERT_EQ(symlink(dir.c_str(), (dir + "/link").c_str()), 0);
  EXPECT_TRUE(FolderExists(FromUtf8(dir)));
  EXPECT_TRUE(FolderExists(FromUtf8(dir + "/")));
  EXPECT_TRUE(FolderExists(FromUtf8(dir + "/link")));
  EXPECT_TRUE(FolderExists(u"/"));
  EXPECT_FALSE(FolderExists(FromUtf8(dir + "/file")));
  EXPECT_FALSE(FolderExists(FromUtf8(dir + "/missing")));
  EXPECT_FALSE(FolderExists(u""));
}

TEST(PathUtil, IsUnderBasePath) {
  GlobalObjectsScope scope;
  ASSERT_EQ(g_appState->windowsFolder, u"/usr");
  const TempFolder dirTemp("base_path");
  std::string dir = dirTemp.Path();
  ASSERT_EQ(symlink("/usr", (dir + "/to_usr").c_str()), 0);
  ASSERT_EQ(symlink("/sys/kernel", (dir + "/to_sys").c_str()), 0);
  struct Case {
    std::string path;
    bool under;
  } cases[] = {{"/usr", true},
               {"/usr/", true},
               {"/usr/lib/x", true},
               {"/usr/new/folder/not/there", true},
               {"//usr//lib", true},
               {"/usr/./lib", true},
               {"/home/../usr/x", true},
               {"/proc", true},
               {"/proc/1/fd", true},
               {"/sys/block", true},
               {"/dev", true},
               {"/dev/sda", true},
               {dir + "/to_usr/recovered", true},        // a link into a system folder
               {dir + "/to_sys", true},
               {dir + "/to_usr/lib/../share", true},     // ".." after a link, as the kernel reads it
               {dir + "/to_usr/../x", false},            // the link's parent is "/"
               {"/usrx", false},
               {"/devices/x", false},
               {"/usr/../home/x", false},
               {"/", false},
               {"/tmp/recovered", false},
               {dir + "/plain", false},
               {"/USR/lib", false},                      // names differ by case here
               {"", false}};
  for (const auto& c : cases) EXPECT_EQ(IsUnderBasePath(FromUtf8(c.path)), c.under) << c.path;

  // Merged /usr: /lib and /bin are links into /usr.
  struct stat st;
  if (lstat("/lib", &st) == 0 && S_ISLNK(st.st_mode)) {
    EXPECT_TRUE(IsUnderBasePath(u"/lib/x"));
  }

  // The settings' folder counts too, and "/" never makes everything a system folder.
  g_appState->windowsFolder = FromUtf8(dir + "/protected/");
  EXPECT_TRUE(IsUnderBasePath(FromUtf8(dir + "/protected")));
  EXPECT_TRUE(IsUnderBasePath(FromUtf8(dir + "/protected/a/b")));
  EXPECT_FALSE(IsUnderBasePath(FromUtf8(dir + "/protectedx")));
  g_appState->windowsFolder = WString(u"/");
  EXPECT_FALSE(IsUnderBasePath(u"/tmp/x"));
  EXPECT_TRUE(IsUnderBasePath(u"/usr/x"));
  g_appState->windowsFolder.clear();
  EXPECT_FALSE(IsUnderBasePath(u"/tmp/x"));
  EXPECT_TRUE(IsUnderBasePath(u"/dev/x"));
}

bool RejectEverything(WStringView) { return false; }
std::string g_rejected;
bool RejectOne(WStringView folder) { return ToUtf8(folder) != g_rejected; }

TEST(PathUtil, InitialBrowseFolder) {
  GlobalObjectsScope scope;
  const TempFolder dirTemp("browse");
  std::string dir = dirTemp.Path();
  MakeDirs(dir + "/kept");
  MakeDirs(dir + "/docs");
  g_appState->defaultFolder = FromUtf8(dir + "/docs");
  WString fallback = FromUtf8(dir + "/fallback");

  EXPECT_EQ(GetInitialBrowseFolder(FromUtf8(dir + "/kept"), fallback, false), FromUtf8(dir + "/kept"));
  EXPECT_EQ(GetInitialBrowseFolder(FromUtf8(dir + "/kept/"), fallback, false), FromUtf8(dir + "/kept"));
  // A deleted folder inside an existing one: the existing parent.
  MakeDirs(dir + "/kept/gone");
  ASSERT_EQ(rmdir((dir + "/kept/gone").c_str()), 0);
  EXPECT_EQ(GetInitialBrowseFolder(FromUtf8(dir + "/kept/gone"), fallback, false), FromUtf8(dir + "/kept"));
  // A file name: its folder.
  WriteFileText(dir + "/kept/session.dvs", "x");
  EXPECT_EQ(GetInitialBrowseFolder(FromUtf8(dir + "/kept/session.dvs"), fallback, false), FromUtf8(dir + "/kept"));
  EXPECT_EQ(GetInitialBrowseFolder(u"/nonexistent_x", u"", false), u"/");
  // Neither the path nor its parent: the fallback, else the documents folder.
  WString lost = FromUtf8(dir + "/no/such/folder");
  EXPECT_EQ(GetInitialBrowseFolder(lost, fallback, false), fallback);
  EXPECT_EQ(GetInitialBrowseFolder(lost, u"", false), FromUtf8(dir + "/docs"));
  EXPECT_EQ(GetInitialBrowseFolder(u"", fallback, true), fallback);  // no check installed

  SetBrowseFolderCheck(RejectOne);
  g_rejected = dir + "/fallback";
  EXPECT_EQ(GetInitialBrowseFolder(lost, fallback, true), FromUtf8(dir + "/docs"));
  EXPECT_EQ(GetInitialBrowseFolder(lost, fallback, false), fallback);  // no check asked for
  SetBrowseFolderCheck(RejectEverything);
  EXPECT_EQ(GetInitialBrowseFolder(lost, fallback, true), u"/");
  EXPECT_EQ(GetInitialBrowseFolder(FromUtf8(dir + "/kept"), fallback, true), FromUtf8(dir + "/kept"));
  SetBrowseFolderCheck(nullptr);
}

TEST(PathUtil, TempFilePathCreatesExclusively) {
  const TempFolder dirTemp("tempfile");
  std::string dir = dirTemp.Path();
  WString a, b;
  ASSERT_TRUE(TempFilePath(FromUtf8(dir), &a));
  int fd = -1;
  ASSERT_TRUE(TempFilePath(FromUtf8(dir + "/"), &b, &fd));
  EXPECT_NE(a, b);
  for (const WString& name : {a, b}) {
    std::string n = ToUtf8(name);
    EXPECT_EQ(n.rfind(dir + "/TMP", 0), 0u) << n;
    struct stat st;
    ASSERT_EQ(stat(n.c_str(), &st), 0) << n;  // created, not only named
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "abc", 3), 3);
  close(fd);
  EXPECT_EQ(ReadFileText(ToUtf8(b)), "abc");

  // Many threads at once never get the same name.
  std::vector<std::vector<WString>> names(8);
  std::vector<std::thread> threads;
  for (auto& list : names)
    threads.emplace_back([&list, &dir] {
      for (int i = 0; i < 40; ++i) {
        WString n;
        if (TempFilePath(FromUtf8(dir), &n)) list.push_back(n);
      }
    });
  for (auto& t : threads) t.join();
  std::set<WString> all;
  size_t total = 0;
  for (const auto& list : names) {
    total += list.size();
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(total, 320u);
  EXPECT_EQ(all.size(), total);
}

TEST(PathUtil, TempFilePathFailures) {
  const TempFolder dirTemp("tempfile_full");
  std::string dir = dirTemp.Path();
  // Every name the tick-based start can reach is taken.
  for (int i = 0; i < 1999; ++i) WriteFileText(dir + "/TMP" + std::to_string(i), "");
  WString out = u"unchanged";
  EXPECT_FALSE(TempFilePath(FromUtf8(dir), &out));
  EXPECT_EQ(out, u"unchanged");
  EXPECT_EQ(theTrace().LastErrorCode(), EEXIST);

  EXPECT_FALSE(TempFilePath(FromUtf8(dir + "/missing"), &out));
  EXPECT_EQ(out, u"unchanged");
  EXPECT_EQ(theTrace().LastErrorCode(), ENOENT);
  EXPECT_FALSE(TempFilePath(u"", &out));
  EXPECT_EQ(out, u"unchanged");
}

TEST(PathUtil, CreateFileLongPath) {
  const TempFolder dirTemp("long_path");
  std::string dir = dirTemp.Path();
  std::string deep = dir;
  while (deep.size() < 600) deep += "/a_folder_name_of_some_length";
  MakeDirs(deep);
  std::string name = deep + "/file.bin";
  int fd = CreateFileLongPath(FromUtf8(name), O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(write(fd, "xy", 2), 2);
  close(fd);
  EXPECT_EQ(ReadFileText(name), "xy");
  EXPECT_EQ(CreateFileLongPath(FromUtf8(dir + "/missing/file"), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(CreateFileLongPath(u"", O_RDONLY), -1);
}

TEST(PathUtil, ShellFoldersFollowXdg) {
  const TempFolder homeTemp("xdg_home");
  std::string home = homeTemp.Path();
  MakeDirs(home + "/.config");
  MakeDirs(home + "/Desktop");
  WriteFileText(home + "/.config/user-dirs.dirs",
                "# written by xdg-user-dirs-update\n"
                "XDG_DOCUMENTS_DIR=\"$HOME/Docs Here\"\n"
                "XDG_MUSIC_DIR=\"/srv/music/\"\n"
                "  # XDG_PICTURES_DIR=\"$HOME/commented\"\n"
                "XDG_VIDEOS_DIR=\"relative/videos\"\n"
                "XDG_TEMPLATES_DIR=\"$HOMEX/t\"\n"
                "XDG_DOCUMENTS_DIR=\"$HOME/Later \\\"Docs\\\"\"\n");
  ScopedEnv h("HOME", home);
  ScopedEnv c("XDG_CONFIG_HOME", nullptr);
  ScopedEnv d("XDG_DATA_HOME", nullptr);
  ScopedEnv v("XDG_VIDEOS_DIR", "/env/videos");
  ScopedEnv m("XDG_MUSIC_DIR", "/env/music");
  ScopedEnv p("XDG_PICTURES_DIR", nullptr);
  struct Case {
    int code;
    std::string path;
  } cases[] = {{kShellFolderDocuments, home + "/Later \"Docs\""},  // the last assignment wins
               {kShellFolderMusic, "/srv/music"},                  // the file before the variable
               {kShellFolderVideos, "/env/videos"},                // a relative entry is ignored
               {kShellFolderPictures, home},                       // no ~/Pictures: the home folder
               {kShellFolderDesktop, home + "/Desktop"},           // the default name exists
               {kShellFolderTemplates, home},
               {kShellFolderAppData, home + "/.config"},
               {kShellFolderLocalAppData, home + "/.local/share"},
               {kShellFolderPrograms, home + "/.local/share/applications"},
               {kShellFolderCommonPrograms, "/usr/local/share/applications"},
               {kShellFolderProgramFiles, "/opt"}};
  for (const auto& k : cases) EXPECT_EQ(ToUtf8(GetShellFolderPath(k.code)), k.path) << k.code;
  EXPECT_EQ(GetShellFolderPath(0x7777), u"");

  // The configuration folder named by XDG_CONFIG_HOME holds the file.
  const TempFolder cfgTemp("xdg_cfg");
  std::string cfg = cfgTemp.Path();
  WriteFileText(cfg + "/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  ScopedEnv c2("XDG_CONFIG_HOME", cfg);
  ScopedEnv d2("XDG_DATA_HOME", "/data/home/");
  EXPECT_EQ(ToUtf8(GetShellFolderPath(kShellFolderPictures)), home + "/Bilder");
  EXPECT_EQ(ToUtf8(GetShellFolderPath(kShellFolderDocuments)), home);  // not in this file
  EXPECT_EQ(ToUtf8(GetShellFolderPath(kShellFolderAppData)), cfg);
  EXPECT_EQ(ToUtf8(GetShellFolderPath(kShellFolderPrograms)), "/data/home/applications");
}

// ---- sector sizes from a fixture sysfs tree ----

std::string DevName(dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); }

TEST(PathUtil, PathSectorSizeFromSysfsTree) {
  const TempFolder rootTemp("sector_tree");
  std::string root = rootTemp.Path();
  MakeDirs(root + "/data/sub");
  struct stat st;
  ASSERT_EQ(stat((root + "/data").c_str(), &st), 0);
  std::string sys = root + "/sys";
  ScopedEnv s("DELVORA_SYSFS_ROOT", sys);
  ScopedEnv p("DELVORA_PROC_ROOT", root + "/proc");
  WString file = FromUtf8(root + "/data/sub/not/yet/created.bin");

  // A whole disk.
  MakeDirs(sys + "/dev/block/" + DevName(st.st_dev) + "/queue");
  WriteFileText(sys + "/dev/block/" + DevName(st.st_dev) + "/queue/logical_block_size", "4096\n");
  EXPECT_EQ(GetPathSectorSize(file), 4096);
  EXPECT_EQ(GetPathSectorSize(FromUtf8(root + "/data")), 4096);

  // A partition: the entry has no queue; its disk's counts.
  std::error_code ec;
  ASSERT_GT(std::filesystem::remove_all(sys + "/dev/block/" + DevName(st.st_dev), ec), 0u) << ec.message();
  MakeDirs(sys + "/devices/disk/part");
  MakeDirs(sys + "/devices/disk/queue");
  WriteFileText(sys + "/devices/disk/queue/logical_block_size", "2048\n");
  ASSERT_EQ(symlink("../../devices/disk/part", (sys + "/dev/block/" + DevName(st.st_dev)).c_str()), 0);
  EXPECT_EQ(GetPathSectorSize(file), 2048);

  // No entry for the path's device: the block device that mountinfo names
  // as the mount's source (btrfs and other anonymous device numbers).
  ASSERT_EQ(unlink((sys + "/dev/block/" + DevName(st.st_dev)).c_str()), 0);
  struct stat src;
  ASSERT_EQ(stat("/dev/null", &src), 0);
  if (src.st_dev == st.st_dev) GTEST_SKIP() << "test folder shares the device of /dev/null";
  MakeDirs(root + "/proc/self");
  WriteFileText(root + "/proc/self/mountinfo",
                "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                "36 22 " + DevName(st.st_dev) + " / " + root + " rw,relatime shared:5 - btrfs /dev/null rw\n");
  MakeDirs(sys + "/dev/block/" + DevName(src.st_dev) + "/queue");
  WriteFileText(sys + "/dev/block/" + DevName(src.st_dev) + "/queue/logical_block_size", "1024\n");
  EXPECT_EQ(GetPathSectorSize(file), 1024);

  // Nothing at all: 0 with the reason recorded.
  WriteFileText(root + "/proc/self/mountinfo", "36 22 " + DevName(st.st_dev) + " / /x rw - tmpfs tmpfs rw\n");
  EXPECT_EQ(GetPathSectorSize(file), 0);
  EXPECT_EQ(theTrace().LastErrorCode(), ENODEV);

  // A path with no root: 0, and the last error is left alone.
  ErrorMsg(u"marker");
  EXPECT_EQ(GetPathSectorSize(u"relative/file"), 0);
  EXPECT_EQ(GetPathSectorSize(u""), 0);
  EXPECT_EQ(theTrace().LastErrorText(), u"marker");
  EXPECT_EQ(GetDeviceSectorSize(-1), 0);
}

// ---- sector sizes of real loop devices, compared with blockdev ----

class PathUtilLoopDevices : public testing::Test {
 protected:
  TempFolder temp_{"loop_sectors"};
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    if (RunCommand("command -v losetup blockdev").empty()) GTEST_SKIP() << "losetup or blockdev missing";
    dir_ = temp_.Path();
  }
  // The mounts go before their devices.
  void TearDown() override {
    for (const auto& m : mounts_) RunCommand("umount '" + m + "' 2>/dev/null");
    devices_.clear();
  }
  // Attaches a new image of `bytes` with the given logical sector size; empty
  // when losetup refuses (no loop support in this container).
  std::string Attach(int sectorSize, size_t bytes, bool withPartition, const char* extra = "") {
    std::string image = dir_ + "/disk" + std::to_string(devices_.size()) + ".img";
    {
      std::string data(bytes, '\0');
      if (withPartition) {
        // One MBR partition from sector 256 for 1024 sectors.
        unsigned char* e = reinterpret_cast<unsigned char*>(&data[446]);
        e[4] = 0x83;
        e[8] = 0x00, e[9] = 0x01;  // start 256, little-endian
        e[12] = 0x00, e[13] = 0x04;  // count 1024
        data[510] = char(0x55);
        data[511] = char(0xAA);
      }
      WriteFileText(image, data);
    }
    devices_.push_back(
        std::make_unique<LoopDevice>(image, std::string(extra) + " --sector-size " + std::to_string(sectorSize)));
    return devices_.back()->path();
  }
  static int Getss(const std::string& dev) {
    std::string r = Trimmed(RunCommand("blockdev --getss " + dev + " 2>/dev/null"));
    return r.empty() ? -1 : std::stoi(r);
  }

  std::string dir_;
  std::vector<std::unique_ptr<LoopDevice>> devices_;
  std::vector<std::string> mounts_;
};

TEST_F(PathUtilLoopDevices, DeviceAndPathSectorSizes) {
  ScopedEnv s("DELVORA_SYSFS_ROOT", nullptr);
  for (int size : {512, 4096}) {
    std::string dev = Attach(size, 8 << 20, false);
    if (dev.empty()) GTEST_SKIP() << "losetup failed";
    int expected = Getss(dev);
    ASSERT_EQ(expected, size) << dev;
    int fd = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << dev;
    EXPECT_EQ(GetDeviceSectorSize(fd), expected) << dev;
    close(fd);
    EXPECT_EQ(GetPathSectorSize(FromUtf8(dev)), expected) << dev;
  }
  // An image file is not a device.
  int fd = open((dir_ + "/disk0.img").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(GetDeviceSectorSize(fd), 0);
  close(fd);
}

TEST_F(PathUtilLoopDevices, PartitionTakesItsDisksSectorSize) {
  ScopedEnv s("DELVORA_SYSFS_ROOT", nullptr);
  std::string dev = Attach(4096, 16 << 20, true, "-P");
  if (dev.empty()) GTEST_SKIP() << "losetup failed";
  std::string name = dev.substr(5);
  std::string devFile = "/sys/block/" + name + "/" + name + "p1/dev";
  auto waitForPartition = [&devFile] {
    std::string numbers;
    for (int i = 0; i < 20 && numbers.empty(); ++i) {  // the kernel may add it just after losetup returns
      numbers = Trimmed(ReadFileText(devFile));
      if (numbers.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return numbers;
  };
  std::string numbers = waitForPartition();
  if (numbers.empty()) {
    // A kernel without the MBR parser: add the partition by hand.
    RunCommand("partx -a " + dev + " 2>/dev/null");
    numbers = waitForPartition();
  }
  if (numbers.empty()) GTEST_SKIP() << "no partition appeared for " << dev;
  unsigned maj = 0, min = 0;
  ASSERT_EQ(sscanf(numbers.c_str(), "%u:%u", &maj, &min), 2) << numbers;
  // The container may have no device node for it: make one.
  std::string node = dir_ + "/part1";
  ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, makedev(maj, min)), 0) << strerror(errno);
  int expected = Getss(node);
  ASSERT_EQ(expected, 4096);
  EXPECT_EQ(GetPathSectorSize(FromUtf8(node)), expected);
  int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(GetDeviceSectorSize(fd), expected);
  close(fd);
}

TEST_F(PathUtilLoopDevices, FileOnMountedVolume) {
  ScopedEnv s("DELVORA_SYSFS_ROOT", nullptr);
  if (RunCommand("command -v mke2fs").empty()) GTEST_SKIP() << "mke2fs missing";
  for (int size : {4096, 512}) {
    std::string dev = Attach(size, 16 << 20, false);
    if (dev.empty()) GTEST_SKIP() << "losetup failed";
    std::string mnt = dir_ + "/mnt" + std::to_string(size);
    MakeDirs(mnt);
    if (system(("mke2fs -q -F -b 4096 " + dev + " >/dev/null 2>&1").c_str()) != 0) GTEST_SKIP() << "mke2fs failed";
    if (system(("mount " + dev + " '" + mnt + "' 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "mount not allowed";
    mounts_.push_back(mnt);
    int expected = Getss(dev);
    EXPECT_EQ(GetPathSectorSize(FromUtf8(mnt)), expected);
    EXPECT_EQ(GetPathSectorSize(FromUtf8(mnt + "/to/be/created.bin")), expected);
  }
}

}  // namespace
