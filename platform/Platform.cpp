#include "platform/Platform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

namespace plat {

namespace {
std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s.push_back('/');
  return s;
}
std::string Env(const char* name) {
  const char* v = getenv(name);
  return v && *v ? std::string(v) : std::string();
}
int ReadIntFile(const std::string& path) {
  std::ifstream f(path);
  int v = 0;
  if (f >> v) return v;
  return 0;
}
}  // namespace

bool CanOpenRawDevices() {
  if (geteuid() == 0) return true;
  // Members of the disk group can read block devices.
  const char* probes[] = {"/dev/sda", "/dev/nvme0n1", "/dev/vda", "/dev/xvda"};
  for (const char* p : probes) {
    int fd = open(p, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return true;
    }
  }
  return false;
}

std::string HomeDir() {
  std::string h = Env("HOME");
  return WithSlash(h.empty() ? "/tmp" : h);
}

std::string SupportDir() {
  std::string d = Env("DELVORA_SUPPORT_DIR");
  return WithSlash(d.empty() ? HomeDir() + ".config/marbrix" : d);
}

std::string SystemRoot() {
  std::string r = Env("DELVORA_SYSTEM_ROOT");
  while (!r.empty() && r.back() == '/') r.pop_back();
  return r;
}

std::string DataHomeDir() {
  std::string x = Env("XDG_DATA_HOME");
  return WithSlash(x.empty() ? HomeDir() + ".local/share" : x);
}

std::string ConfigDir() {
  std::string x = Env("XDG_CONFIG_HOME");
  return WithSlash((x.empty() ? HomeDir() + ".config" : x) + "/delvora");
}

std::string TempDir() {
  std::string t = Env("TMPDIR");
  return WithSlash(t.empty() ? "/tmp" : t);
}

std::string ExecutablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, size_t(n));
}

std::string SysfsRoot() {
  std::string s = Env("DELVORA_SYSFS_ROOT");
  return s.empty() ? "/sys" : s;
}

std::string ProcRoot() {
  std::string s = Env("DELVORA_PROC_ROOT");
  return s.empty() ? "/proc" : s;
}

int DeviceSectorSize(int fd) {
  int size = 0;
  if (ioctl(fd, BLKSSZGET, &size) != 0) return 0;
  return size;
}

int PathSectorSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  dev_t dev = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
  std::string base = SysfsRoot() + "/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  int v = ReadIntFile(base + "/queue/logical_block_size");
  if (v == 0) v = ReadIntFile(base + "/../queue/logical_block_size");  // a partition: ask its disk
  return v;
}

LocalTime Now() {
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace plat
