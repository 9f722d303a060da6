// Names and folders of carved files: running numbers, the Office date form,
// and the EXIF date folders of camera pictures (from the samples exiftool
// and the cr2 layout dated).
#include "carving/CarvedNames.h"

#include <gtest/gtest.h>

#include <vector>

#include "CarveHarness.h"
#include "tests/support/TestUtil.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

TEST(CarvedNames, FileNames) {
  EXPECT_EQ(ToUtf8(CarvedFileName(kTypeJpg, 12)), "jpg000012.jpg");
  EXPECT_EQ(ToUtf8(CarvedFileName(kTypeJpg, 12, 2021, 3, 4)), "jpg000012.jpg") << "a date names Office files only";
  EXPECT_EQ(ToUtf8(CarvedFileName(kTypeDocx, 7, 2021, 3, 4)), "2021-03-04_000007.docx");
  EXPECT_EQ(ToUtf8(CarvedFileName(kTypeXlsx, 1234567, 1999, 12, 31)), "1999-12-31_1234567.xlsx");
  EXPECT_EQ(ToUtf8(CarvedFileName(kTypePptx, 3)), "pptx000003.pptx");
  EXPECT_TRUE(CarvedFileName(kTypeIdx, 1).empty());
  EXPECT_TRUE(CarvedFileName(99, 1).empty());
}

TEST(CarvedNames, ExifDateFolders) {
  struct Case {
    const char* sample;
    int type;
    const char* folder;
  } cases[] = {
      {"jpg_exif.jpg", kTypeJpg, "jpg\\2019-05-17"},  {"cr2_layout.cr2", kTypeCr2, "cr2\\2018-03-04"},
      {"jpg_baseline.jpg", kTypeJpg, "jpg"},          {"png_plasma.png", kTypePng, "png"},
      {"jpg_exif.jpg", kTypePng, "png"},  // only camera kinds get a date folder
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> f = LoadSample(c.sample);
    ASSERT_GE(f.size(), 512u);
    uint64_t time = 1;
    EXPECT_EQ(ToUtf8(CarvedFolder(c.type, f.data(), 512, &time)), c.folder) << c.sample;
    if (std::string(c.folder).find('\\') != std::string::npos) {
      EXPECT_GT(time, 0u) << c.sample;
    } else {
      EXPECT_EQ(time, 0u) << c.sample;
    }
  }
  // The null date cameras write: a folder of its text, no time.
  std::vector<uint8_t> s(512, 0);
  const char null[] = "0000:00:00 00:00:00";
  std::copy(null, null + 19, s.begin() + 40);
  uint64_t time = 5;
  EXPECT_EQ(ToUtf8(CarvedFolder(kTypeTif, s.data(), s.size(), &time)), "tif\\0000-00-00");
  EXPECT_EQ(time, 0u);
}

}  // namespace
