#include "storage/ImageFiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/TestUtil.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"

namespace {

class ImageFilesTest : public testing::Test {
 protected:
  TempFolder temp_{"images"};
  void SetUp() override { dir = temp_.Path(); }
  std::string File(const std::string& name, size_t size) {
    std::string path = dir + "/" + name;
    WriteFileText(path, std::string(size, 'x'));
    return path;
  }
  GlobalObjectsScope scope;
  std::string dir;
};

TEST_F(ImageFilesTest, SizesAndTableDeviceSizes) {
  CImgFile images;
  struct Case {
    size_t bytes;
    uint64_t tableSectors;
  };
  for (Case c : {Case{1000, 2}, Case{512, 1}, Case{0, 0}, Case{1 << 20, 2048}}) {
    SCOPED_TRACE(c.bytes);
    const WString path = FromUtf8(File("i" + std::to_string(c.bytes) + ".img", c.bytes));
    EXPECT_EQ(images.Find(path), -1);
    EXPECT_EQ(images.GetSize(path), 0u);
    ASSERT_EQ(images.AddW(path), 0);
    EXPECT_GE(images.Find(path), 0);
    EXPECT_EQ(images.GetSize(path), c.bytes);
    EXPECT_EQ(images.GetTableDeviceSectors(path), c.tableSectors);
    EXPECT_EQ(images.AddW(path), 0) << "a second registration is a no-op";
  }
  EXPECT_EQ(images.Count(), 4u);
}

// Linux names files with case: another case is another file, but another
// spelling of the same file (a link, "/./") finds the entry.
TEST_F(ImageFilesTest, SpellingsOfOneFile) {
  CImgFile images;
  std::string path = File("disk.img", 4096);
  ASSERT_EQ(images.AddW(FromUtf8(path)), 0);
  ASSERT_EQ(symlink(path.c_str(), (dir + "/link.img").c_str()), 0);
  EXPECT_EQ(images.Find(FromUtf8(dir + "/link.img")), 0);
  EXPECT_EQ(images.Find(FromUtf8(dir + "/./disk.img")), 0);
  EXPECT_EQ(images.Find(FromUtf8(dir + "/DISK.img")), -1);
  File("DISK.img", 100);
  EXPECT_EQ(images.Find(FromUtf8(dir + "/DISK.img")), -1);
  // A deleted image's inode number given to a new file is not the image.
  ASSERT_EQ(unlink(path.c_str()), 0);
  std::string other = File("other.img", 1000);
  EXPECT_EQ(images.Find(FromUtf8(other)), -1);
  EXPECT_EQ(images.GetSize(FromUtf8(other)), 0u);
  EXPECT_EQ(images.Find(FromUtf8(path)), 0) << "the registered text still finds its entry";
}

TEST_F(ImageFilesTest, RefusedPaths) {
  CImgFile images;
  const WString missing = FromUtf8(dir + "/missing.img");
  EXPECT_EQ(images.AddW(missing), -1);
  EXPECT_EQ(LastErrorText(), missing + u": No such file or directory");
  EXPECT_EQ(images.AddW(FromUtf8(dir)), -1);
  EXPECT_EQ(LastErrorText(), FromUtf8(dir) + u": Is a directory");
  EXPECT_EQ(images.AddW(u""), -1);
  EXPECT_EQ(images.Count(), 0u);
}

TEST_F(ImageFilesTest, GrowsByEight) {
  CImgFile images;
  EXPECT_EQ(images.Capacity(), 8u);
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(images.AddW(FromUtf8(File("g" + std::to_string(i) + ".img", 512))), 0);
    EXPECT_EQ(images.Capacity(), i < 8 ? 8u : 16u) << i;
  }
  std::vector<WString> paths = images.Paths();
  ASSERT_EQ(paths.size(), 9u);
  EXPECT_EQ(paths[8], FromUtf8(dir + "/g8.img"));
}

}  // namespace
