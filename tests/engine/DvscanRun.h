// Runs the headless driver (bin/dvscan) with a list file and reads the
// listing back.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

struct Listed {
  std::string path;  // relative to the destination, as Save writes it
  uint64_t size = 0;
  bool deleted = false;
  std::string status;
  long node = -1;
  std::string volume;  // the volume's number, empty for none
  std::string kind;    // file, folder, link
};

struct DvscanRun {
  int rc = -1;
  std::string out, err;
  std::vector<Listed> items;
  std::string header;
};

inline DvscanRun Dvscan(const std::string& args) {
  DvscanRun r;
  const TempFolder temp("dvscan");
  const std::string tmp = temp.Path() + "/run";
  const std::string cmd = "'" DV_BINARY_DIR "/bin/dvscan' --list '" + tmp + ".tsv' " + args + " >'" + tmp +
                          ".out' 2>'" + tmp + ".err'";
  const int rc = std::system(cmd.c_str());
  r.rc = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  r.out = RunCommand("cat '" + tmp + ".out'");
  r.err = RunCommand("cat '" + tmp + ".err'");
  std::ifstream in(tmp + ".tsv");
  std::string line;
  std::getline(in, r.header);
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) f.push_back(col);
    if (f.size() < 5) continue;
    Listed l;
    l.path = f[0];
    l.size = std::stoull(f[1]);
    l.deleted = f[2] == "1";
    l.status = f[3];
    l.node = std::stol(f[4]);
    if (f.size() > 5) l.volume = f[5];
    if (f.size() > 6) l.kind = f[6];
    r.items.push_back(l);
  }
  return r;
}

// Runs tests/fixtures/<script> once per process into the fixture cache's
// `subfolder`: the folder, or empty (with *skip set when a tool, root or
// FUSE is missing).
inline std::string FixtureSetFolder(const std::string& script, const std::string& subfolder, std::string* skip) {
  static std::map<std::string, int> status;
  const std::string folder = FixtureCache() + "/" + subfolder;
  auto it = status.find(script);
  if (it == status.end()) it = status.emplace(script, RunFixtureScript(script, folder, ">/dev/null 2>&1")).first;
  if (it->second == 77) *skip = "mkntfs, ntfs-3g, sleuthkit, root or FUSE missing";
  return it->second == 0 ? folder : "";
}
