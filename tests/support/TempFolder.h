// A test's own temporary folder, gone when the test is.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A fresh folder under the test temp folder ($TEST_TMPDIR, $TMPDIR or /tmp),
// named dv_<name>_XXXXXX. When the object goes, what a test left mounted in
// it is unmounted, loop devices over its files are detached, and the folder
// is removed with everything in it, so an early return or a failed assertion
// leaves nothing behind either. Declare it before the objects that use its
// files, so they go first.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name) {
    std::string pattern = testing::TempDir() + "dv_" + name + "_XXXXXX";
    if (!mkdtemp(pattern.data())) {
      ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
      return;
    }
    chmod(pattern.c_str(), 0755);  // as mkdir makes folders, not mkdtemp's 0700
    path_ = pattern;
  }
  ~TempFolder() { Remove(); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }

 private:
  static bool Under(const std::string& path, const std::string& root) {
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
  }

  // /proc/self/mountinfo writes blanks and a few other bytes as \ooo.
  static std::string Unescape(const std::string& field) {
    std::string out;
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    for (size_t i = 0; i < field.size(); ++i) {
      if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
        out.push_back(char(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
        i += 3;
      } else {
        out.push_back(field[i]);
      }
    }
    return out;
  }

  static void UnmountUnder(const std::string& root) {
    std::vector<std::string> points;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string id, parent, dev, mountRoot, point;
      if (!(fields >> id >> parent >> dev >> mountRoot >> point)) continue;
      point = Unescape(point);
      if (point == root || Under(point, root)) points.push_back(point);
    }
    // The deepest first: a mount inside another goes before it.
    std::sort(points.begin(), points.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& p : points) umount2(p.c_str(), MNT_DETACH);
  }

  static void DetachLoopsUnder(const std::string& root) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("loop", 0) != 0) continue;
      std::ifstream in(entry.path() / "loop" / "backing_file");
      std::string backing;
      if (!std::getline(in, backing)) continue;
      const std::string deleted = " (deleted)";
      if (backing.size() > deleted.size() && backing.compare(backing.size() - deleted.size(), deleted.size(), deleted) == 0)
        backing.resize(backing.size() - deleted.size());
      if (!Under(backing, root)) continue;
      const int fd = open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ioctl(fd, LOOP_CLR_FD, 0);
      close(fd);
    }
  }

  void Remove() {
    if (path_.empty()) return;
    std::error_code ec;
    const std::string root = std::filesystem::weakly_canonical(path_, ec).string();
    if (!ec && !root.empty()) {
      UnmountUnder(root);
      DetachLoopsUnder(root);
    }
    std::filesystem::remove_all(path_, ec);
    if (ec) {
      // A folder a test made read-only: make everything writable, then again.
      std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
      for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
           !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
          std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                       std::filesystem::perm_options::add, ignored);
      }
      ec.clear();
      std::filesystem::remove_all(path_, ec);
    }
    if (ec) ADD_FAILURE() << "cannot remove " << path_ << ": " << ec.message();
    path_.clear();
  }

  std::string path_;
};
