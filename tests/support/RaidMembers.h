// RAID members cut from an image by tests/tools/mkraid.py, and the set's
// definition text over them, for the tests that read or scan through sets.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <memory>
#include <vector>

#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Text.h"
#include "storage/Drive.h"

namespace raid_test {

struct Layout {
  const char* name;
  int level, members, stripe, delay, rotation, mode, order;
};

inline uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// "<0:last>" members of mkraid's files, the ones in `missing` written so.
inline std::string Definition(const Layout& l, const std::string& prefix, uint64_t memberBytes,
                              std::vector<int> missing) {
  const char* kind = l.level == 0 ? "RAID0(" : l.level == 5 ? "RAID5(" : "RAID6(";
  std::string d = kind;
  for (int i = 0; i < l.members; ++i) {
    if (i) d += ",";
    if (std::find(missing.begin(), missing.end(), i) != missing.end()) d += "Missing";
    else d += prefix + std::to_string(i) + "<0:" + std::to_string(memberBytes / 512 - 1) + ">";
  }
  return d + ")";
}

// Writes the members <prefix>0, <prefix>1, ... of the image.
inline bool MkRaid(const Layout& l, const std::string& image, const std::string& prefix) {
  std::ostringstream c;
  c << "python3 '" DV_SOURCE_DIR "/tests/tools/mkraid.py' --level " << l.level << " --members " << l.members
    << " --stripe " << l.stripe << " --delay " << l.delay << " --rotation " << l.rotation << " --mode " << l.mode
    << " --order " << l.order << " '" << image << "' '" << prefix << "'";
  return std::system(c.str().c_str()) == 0;
}

// Opens the set (or any drive) by its text; null when it cannot be opened,
// with the error in *error or, without one, recorded as a failure.
inline std::unique_ptr<Drive> OpenSet(const std::string& definition, std::string* error = nullptr) {
  const WString name = FromUtf8(definition);
  std::unique_ptr<Drive> d;
  try {
    d.reset(CreateDrive(name));
    d->InitDrive(name);
  } catch (const DvCodeError&) {
    if (error) *error = ToUtf8(LastErrorText());
    else ADD_FAILURE() << "cannot open " << definition << ": " << ToUtf8(LastErrorText());
    return nullptr;
  }
  return d;
}

}  // namespace raid_test
