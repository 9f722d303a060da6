// A VMFS file's map on a volume of the generated image, its size claiming
// more than its descriptor's addresses hold: the addresses there are read,
// the clusters past them count as missing, never read.
#include <gtest/gtest.h>

#include <string>

#include "filesystems/vmfs/VmfsExtents.h"
#include "filesystems/vmfs/VmfsNode.h"
#include "filesystems/vmfs/VmfsVolume.h"
#include "foundation/Globals.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "volumes/VolumeSearch.h"

TEST(VmfsMap, AddressesPastTheDescriptorAreMissing) {
  GlobalObjectsScope scope;
  const std::string dir = FixtureFolder("make_vmfs.sh");
  if (dir.empty()) GTEST_SKIP() << "make_vmfs.sh: vmfs-tools, gdisk or python3 missing";
  Drive* d = CreateDrive(FromUtf8(dir + "/vmfs3.img"));
  ASSERT_TRUE(d);
  d->InitDrive(FromUtf8(dir + "/vmfs3.img"));
  ScanPartitions(*d);
  ASSERT_GE(VolumeCount(*d), 1u);
  auto* v = dynamic_cast<CVMFSVol*>(VolumeAt(*d, 0));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->blockSize, 1u << 20);
  // contig.bin: three file blocks in the descriptor of item 12.
  VmfsNode n;
  n.id = (12u << 22) | 4;
  n.SetClusterBytes(4096, 512);
  struct Case {
    uint64_t size;
    uint32_t missing;
  };
  // 256 addresses of 1 MiB: what lies past them (44 blocks of 256 clusters)
  // is missing; within them the zero addresses are holes.
  for (const Case& c : {Case{2109497, 0}, Case{300ull << 20, 44 * 256}}) {
    n.size = c.size;
    uint32_t bad = 99;
    ASSERT_TRUE(v->BuildNodeExtents(n, nullptr, &bad));
    EXPECT_EQ(bad, c.missing) << c.size;
    auto* map = dynamic_cast<VmfsExtents*>(v->extents.get());
    ASSERT_TRUE(map);
    ASSERT_EQ(map->RunCount(), 1u);  // the three blocks are adjacent
    EXPECT_EQ(map->Runs()[0].Length(), 3u * 256);
  }
  DeleteDrive(&d);
}
