#include "diagnostics/DebugFn.h"

#include <gtest/gtest.h>

// The prompt accepts any name (a disk-image name too); it only trims.
TEST(DebugFn, OkTrimsAndAcceptsAnyName) {
  CDebugFn fn;
  fn.OnOk(u"  /mnt/images/disk 1.img \t\n");
  EXPECT_EQ(fn.GetFileName(), u"/mnt/images/disk 1.img");
  fn.OnOk(u"   ");
  EXPECT_EQ(fn.GetFileName(), u"");
}
