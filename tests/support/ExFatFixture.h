// The exFAT images kept in tests/fixtures/exfat (made by make_exfat.sh
// through exfat-fuse, so runs without FUSE test them too), unpacked into
// the fixture cache with their recorded peer reports beside them.
#pragma once
#include <cstdlib>
#include <string>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

// The folder holding exfat.img, exfat-hostile.img and exfat-disk.img with
// their reports under make_exfat.sh's names; empty when xz is missing.
inline std::string CommittedExFatFolder() {
  static const std::string folder = [] {
    if (!HaveTool("xz")) return std::string();
    const std::string src = std::string(DV_SOURCE_DIR) + "/tests/fixtures/exfat";
    const std::string dst = FixtureCache() + "/exfat-committed";
    // Each file is unpacked (or copied) under a name of this process and
    // renamed into place: concurrent tests never see half a file.
    const std::string cmd = "mkdir -p '" + dst + "' && cd '" + src +
                            "' && for f in *.xz *.txt; do o='" + dst +
                            "/'\"${f%.xz}\"; if [ ! -s \"$o\" ] || [ \"$f\" -nt \"$o\" ]; then "
                            "if [ \"${f%.xz}\" != \"$f\" ]; then xz -dc \"$f\" >\"$o.$$\"; else cp \"$f\" \"$o.$$\"; fi "
                            "&& mv \"$o.$$\" \"$o\" || exit 1; fi; done";
    return std::system(cmd.c_str()) == 0 ? dst : std::string();
  }();
  return folder;
}
