// The driver-written HFS+ images kept in tests/fixtures/hfs (made by
// make_hfs_driver.sh through guestfish, so runs without a virtual machine
// test them), unpacked into the fixture cache with their reports beside
// them.
#pragma once
#include <cstdlib>
#include <string>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

// The folder holding hfs-grown.img and hfs-grown-leaf.img with their
// reports under make_hfs_driver.sh's names; empty when xz is missing.
inline std::string CommittedHfsFolder() {
  static const std::string folder = [] {
    if (!HaveTool("xz")) return std::string();
    const std::string src = std::string(DV_SOURCE_DIR) + "/tests/fixtures/hfs";
    const std::string dst = FixtureCache() + "/hfs-committed";
    // Unpacked under a name of this process and renamed into place:
    // concurrent tests never see half a file.
    const std::string cmd =
        "mkdir -p '" + dst + "' && cd '" + src + "' && for f in *.xz *.txt; do o='" + dst +
        "/'\"${f%.xz}\"; if [ ! -s \"$o\" ] || [ \"$f\" -nt \"$o\" ]; then "
        "if [ \"${f%.xz}\" != \"$f\" ]; then xz -dc \"$f\" >\"$o.$$\"; else cp \"$f\" \"$o.$$\"; fi "
        "&& mv \"$o.$$\" \"$o\" || exit 1; fi; done";
    return std::system(cmd.c_str()) == 0 ? dst : std::string();
  }();
  return folder;
}
