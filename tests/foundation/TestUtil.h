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

// Runs tests/fixtures/<script> into the fixture cache ($DV_FIXTURE_CACHE, else
// build/fixtures), once per process; the cache folder when the script
// succeeded, else empty (the caller skips).
inline std::string FixtureFolder(const std::string& script) {
  static std::map<std::string, int> status;
  const char* cache = std::getenv("DV_FIXTURE_CACHE");
  const std::string folder = cache && *cache ? cache : std::string(DV_BINARY_DIR) + "/fixtures";
  auto it = status.find(script);
  if (it == status.end()) {
    const std::string command = "bash '" + std::string(DV_SOURCE_DIR) + "/tests/fixtures/" + script + "' '" + folder + "'";
    const int rc = std::system(command.c_str());
    it = status.emplace(script, (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1).first;
  }
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
