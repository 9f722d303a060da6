// A loop device over an image file for the length of a test.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Attaches the image with `losetup -f --show` and further options ("-r",
// "-o N --sizelimit N", "--sector-size 4096", "-P"); the path is empty when
// that is not possible (not root, no loop support). The destructor drops the
// partitions the kernel added and detaches the device.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image, const std::string& options = "") {
    if (geteuid() != 0) return;
    const std::string cmd = "losetup -f --show " + options + " '" + image + "' 2>/dev/null";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[256] = {};
      if (fgets(buf, sizeof buf, p)) path_ = buf;
      pclose(p);
    }
    while (!path_.empty() && (path_.back() == '\n' || path_.back() == ' ')) path_.pop_back();
    if (path_.rfind("/dev/", 0) != 0) path_.clear();
  }
  ~LoopDevice() { Detach(); }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& path() const { return path_; }

  void Detach() {
    if (path_.empty()) return;
    const std::string cmd = "partx -d '" + path_ + "' >/dev/null 2>&1; losetup -d '" + path_ + "' 2>/dev/null";
    const int rc = std::system(cmd.c_str());  // the device may be gone already
    (void)rc;
    path_.clear();
  }

 private:
  std::string path_;
};
