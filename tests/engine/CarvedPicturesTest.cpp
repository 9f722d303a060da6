// The carving samples on an NTFS volume made by mkntfs and ntfs-3g
// (tests/fixtures/make_carve_ntfs.sh), saved by dvscan with "Verify Known
// Extensions" set: every picture comes back md5-exact (the nef too, whose
// header is a plain TIFF's), the .jpg whose first cluster was overwritten
// fails with "Invalid file header" and leaves no file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace {

struct Saved {
  int rc = -1;
  std::string dir, log;
};

Saved SaveAll(const TempFolder& folder, const std::string& image, bool verify) {
  Saved s;
  s.dir = folder.Path();
  const std::string opts = s.dir + "/options.txt";
  WriteFileText(opts, verify ? "[Options]\nVerify Known Extensions=1\n" : "[Options]\n");
  const std::string cmd = "'" DV_BINARY_DIR "/bin/dvscan' --options '" + opts + "' --recover '" + s.dir + "/out' '" +
                          image + "' >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  s.rc = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  s.log = ReadFileText(s.dir + "/out/Recovery.log");
  return s;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(VerifyKnownExtensions, ABrokenHeaderFailsTheRestComesBackExact) {
  const std::string folder = FixtureFolder("make_carve_ntfs.sh");
  if (folder.empty()) GTEST_SKIP() << "mkntfs, ntfs-3g, sleuthkit, root or FUSE missing";
  const std::string image = folder + "/carve_ntfs.img";
  for (bool verify : {true, false}) {
    SCOPED_TRACE(verify ? "verify" : "no verify");
    const TempFolder temp(verify ? "carve_verify" : "carve_plain");
    const Saved s = SaveAll(temp, image, verify);
    // The broken picture refused by the header check is a failed item.
    EXPECT_EQ(s.rc, verify ? 1 : 0);
    std::istringstream md5s(ReadFileText(folder + "/carve_ntfs.md5"));
    std::string md5, path;
    int checked = 0;
    while (md5s >> md5 >> path) {
      const std::string out = s.dir + "/out/" + path;
      if (verify && path == "pics/broken.jpg") {
        EXPECT_FALSE(Exists(out));
        continue;
      }
      ASSERT_TRUE(Exists(out)) << path;
      EXPECT_EQ(Md5File(out), md5) << path;
      ++checked;
    }
    EXPECT_GE(checked, 20);
    if (verify) {
      EXPECT_NE(s.log.find("Failed: " + s.dir + "/out/pics/broken.jpg"), std::string::npos) << s.log;
      EXPECT_NE(s.log.find("Invalid file header"), std::string::npos) << s.log;
    } else {
      EXPECT_EQ(s.log.find("Invalid file header"), std::string::npos) << s.log;
    }
  }
}

}  // namespace
