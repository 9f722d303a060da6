// Small helpers every test program may use.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Md5.h"
#include "foundation/UiServices.h"
#include "tests/support/TempFolder.h"

inline std::string ReadFileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Each line of a tab-separated text cut to its first `count` columns.
inline std::string FirstColumns(const std::string& text, size_t count) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t at = 0;
    for (size_t k = 0; k < count && at != std::string::npos; k++) {
      at = line.find('\t', at);
      if (at != std::string::npos && k + 1 < count) at++;
    }
    out += line.substr(0, at) + "\n";
  }
  return out;
}

inline void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

// Standard output of a shell command.
inline std::string RunCommand(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Standard output (and whatever the command line redirects into it) and exit
// status of a shell command; the status is -1 when it did not exit normally.
struct CommandRun {
  int rc = -1;
  std::string out;
};
inline CommandRun RunCommandStatus(const std::string& cmd) {
  CommandRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// Whether a tool is on the PATH.
inline bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Sets TZ for the scope and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

// MD5 of a file's bytes as lower-case hex; "missing" when it cannot be opened.
inline std::string Md5File(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "missing";
  Md5 m;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) m.Update(buf, n);
  fclose(f);
  uint8_t d[kMd5DigestSize];
  m.Final(d);
  return HexText(d, sizeof d);
}

// The view's log once it has at least n lines, or after about 15 seconds
// whatever it has.
inline std::vector<WString> WaitForViewLines(HeadlessView& view, size_t n) {
  for (int i = 0; i < 3000; ++i) {
    {
      std::lock_guard<std::mutex> lock(view.m);
      if (view.log.size() >= n) return view.log;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> lock(view.m);
  return view.log;
}

// One 512-byte sector of a disk image (zeros past its end).
inline std::vector<uint8_t> SectorAt(const std::string& image, uint64_t sector) {
  std::vector<uint8_t> s(512);
  std::ifstream in(image, std::ios::binary);
  in.seekg(std::streamoff(sector * 512));
  in.read(reinterpret_cast<char*>(s.data()), 512);
  return s;
}

// "name value" lines, as the fixture scripts record where they put things.
inline std::map<std::string, uint64_t> ReadNameValues(const std::string& path) {
  std::map<std::string, uint64_t> out;
  std::ifstream in(path);
  std::string name;
  uint64_t value;
  while (in >> name >> value) out[name] = value;
  return out;
}
