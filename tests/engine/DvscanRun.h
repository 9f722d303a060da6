// Runs the headless driver (bin/dvscan) with a list file and reads the
// listing back.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

struct Listed {
  std::string path;  // relative to the destination, as Save writes it
  uint64_t size = 0;
  bool deleted = false;
  std::string status;
  long node = -1;
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
    if (f.size() == 4) f.push_back("");  // empty last column
    if (f.size() < 5) continue;
    Listed l;
    l.path = f[0];
    l.size = std::stoull(f[1]);
    l.deleted = f[2] == "1";
    l.status = f.size() == 5 ? f[3] : "";
    l.node = std::stol(f.back());
    r.items.push_back(l);
  }
  return r;
}
