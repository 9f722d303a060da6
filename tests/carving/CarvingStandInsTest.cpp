#include "carving/HdrAscii.h"
#include "carving/HdrParse.h"
#include "carving/OfficeProps.h"

#include <gtest/gtest.h>

#include "volumes/FileTypes.h"

namespace {

TEST(CarvingStandIns, DriverRefusesEveryHeaderAndHoldsNothingOpen) {
  int engine = 0;
  HdrParse parse(&engine);
  const uint8_t sector[512] = {0xFF, 0xD8, 0xFF, 0xE0};
  for (int type = 0; type < kFileTypeCount; ++type) EXPECT_LT(parse.Parse(type, sector, sizeof(sector)), 0) << type;
  EXPECT_EQ(parse.ParseMore(sector, sizeof(sector), 1), kFileTypePending);
  EXPECT_EQ(parse.Flush(), kFileTypePending);
  EXPECT_EQ(parse.ActiveCount(), 0);
}

TEST(CarvingStandIns, NoTextTypeAndNoOfficeProperties) {
  const char html[] = "<!DOCTYPE html><html><body></body></html>";
  EXPECT_EQ(HdrAscii::SigFind(reinterpret_cast<const uint8_t*>(html), sizeof(html)), kNoFileType);

  uint8_t type = 99;
  WString name = u"x";
  uint64_t time = 0;
  EXPECT_EQ(ReadOfficeXmlProps(0, 4096, nullptr, &type, &name, &time), 0);
  EXPECT_EQ(type, 0);
  EXPECT_TRUE(name == u"Unknown");
  EXPECT_GT(time, 132000000000000000ULL);  // after 2019
  EXPECT_EQ(ReadOfficeXmlProps(0, 0, nullptr, nullptr, nullptr, nullptr), 0);
}

}  // namespace
