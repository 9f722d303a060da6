// Running the image makers of tests/fixtures into the fixture cache.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <string>

// The fixture cache: $DV_FIXTURE_CACHE (ctest sets it), else build/fixtures.
inline std::string FixtureCache() {
  const char* cache = std::getenv("DV_FIXTURE_CACHE");
  return cache && *cache ? std::string(cache) : std::string(DV_BINARY_DIR) + "/fixtures";
}

// Runs tests/fixtures/<script> into `folder`; `tail` adds arguments or
// redirections. The script's exit status (77: a tool, root or device is
// missing), -1 when it did not exit normally. A script returns only when the
// sets it makes are whole in the folder (tests/fixtures/lib.sh, fx_publish).
inline int RunFixtureScript(const std::string& script, const std::string& folder, const std::string& tail = "") {
  std::string command = "bash '" + std::string(DV_SOURCE_DIR) + "/tests/fixtures/" + script + "' '" + folder + "'";
  if (!tail.empty()) command += " " + tail;
  const int rc = std::system(command.c_str());
  return (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
}

// Runs tests/fixtures/<script> into the fixture cache, once per process; the
// cache folder when the script succeeded, else empty (the caller skips).
inline std::string FixtureFolder(const std::string& script) {
  static std::map<std::string, int> status;
  const std::string folder = FixtureCache();
  auto it = status.find(script);
  if (it == status.end()) it = status.emplace(script, RunFixtureScript(script, folder)).first;
  return it->second == 0 ? folder : std::string();
}

// Runs tests/fixtures/<script> into the fixture cache: 0 made (or reused),
// 77 a tool, root or device is missing, else a failure.
inline int MakeFixture(const std::string& script, const std::string& args = "") {
  return RunFixtureScript(script, FixtureCache(), args);
}

// Skips the test when the script cannot make its images here, fails it when
// the script fails.
#define DV_NEED_FIXTURE(script, ...)                                                \
  do {                                                                              \
    const int rc_ = MakeFixture(script, ##__VA_ARGS__);                             \
    if (rc_ == 77) GTEST_SKIP() << script << ": a tool, root or device is missing"; \
    ASSERT_EQ(rc_, 0) << script;                                                    \
  } while (0)
