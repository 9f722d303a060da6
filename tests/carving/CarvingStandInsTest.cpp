#include <gtest/gtest.h>

#include "carving/OfficeProps.h"

namespace {

TEST(CarvingStandIns, NoOfficeProperties) {
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
