#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// A fresh folder under the test temp folder.
inline std::string MakeTempDir(const std::string& name) {
  std::string dir = testing::TempDir() + "dv_" + name + "_" + std::to_string(getpid());
  std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
  return dir;
}

inline std::string ReadFileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
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

// The fixture cache: $DV_FIXTURE_CACHE, else `fallback`.
inline std::string FixtureCache(const std::string& fallback = std::string(DV_BINARY_DIR) + "/fixtures") {
  const char* cache = std::getenv("DV_FIXTURE_CACHE");
  return cache && *cache ? std::string(cache) : fallback;
}

// Runs tests/fixtures/<script> into `folder`; `tail` adds arguments or
// redirections. The script's exit status (77: a tool, root or device is
// missing), -1 when it did not exit normally.
inline int RunFixtureScript(const std::string& script, const std::string& folder, const std::string& tail = "") {
  std::string command = "bash '" + std::string(DV_SOURCE_DIR) + "/tests/fixtures/" + script + "' '" + folder + "'";
  if (!tail.empty()) command += " " + tail;
  const int rc = std::system(command.c_str());
  return (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
}

// Runs tests/fixtures/<script> into the fixture cache ($DV_FIXTURE_CACHE, else
// build/fixtures), once per process; the cache folder when the script
// succeeded, else empty (the caller skips).
inline std::string FixtureFolder(const std::string& script) {
  static std::map<std::string, int> status;
  const std::string folder = FixtureCache();
  auto it = status.find(script);
  if (it == status.end()) it = status.emplace(script, RunFixtureScript(script, folder)).first;
  return it->second == 0 ? folder : std::string();
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
