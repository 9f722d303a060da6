// The carving samples (tests/fixtures/carve) laid into raw images by
// layin.py, made once per test program into a temporary folder that goes
// when the program ends; and the trace lines make_bkf.py recorded for the
// backup-set samples.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

inline std::string CarveSampleFolder() { return std::string(DV_SOURCE_DIR) + "/tests/fixtures/carve"; }

struct Laid {
  std::string layin, name, type;
  uint64_t offset = 0, size = 0;
  std::string md5;
};

class LayIns {
 public:
  static const LayIns& Get() {
    static LayIns instance;
    return instance;
  }
  TempFolder folder{"carve_layin"};
  std::string dir;  // empty when the images could not be made
  std::vector<Laid> rows;

 private:
  LayIns() {
    if (!HaveTool("python3")) return;
    dir = folder.Path();
    const std::string cmd = "python3 '" + CarveSampleFolder() + "/layin.py' '" + CarveSampleFolder() + "' '" + dir +
                            "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) {
      ADD_FAILURE() << cmd;
      dir.clear();
      return;
    }
    std::ifstream in(dir + "/manifest.txt");
    Laid r;
    while (in >> r.layin >> r.name >> r.type >> r.offset >> r.size >> r.md5) rows.push_back(r);
  }
};

// The "BKF " trace lines of the backup-set sample `name` laid in at drive
// sector `first` (bkf_blocks.txt: the sample, the block's offset, the line
// with "{S}" for its sector).
inline std::vector<std::string> BkfBlockLines(const std::string& name, int64_t first) {
  std::vector<std::string> out;
  std::ifstream in(CarveSampleFolder() + "/bkf_blocks.txt");
  for (std::string sample, line; in >> sample && std::getline(in, line);) {
    if (sample != name) continue;
    std::istringstream s(line);
    uint64_t offset = 0;
    s >> offset;
    std::string text;
    std::getline(s, text);
    text = text.substr(1);
    text.replace(text.find("{S}"), 3, std::to_string(first + int64_t(offset / 512)));
    out.push_back(text);
  }
  return out;
}
