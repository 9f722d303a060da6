// VMFS structures as plain values: addresses, resource headers, directory
// entries and the family's hooks, on bytes made here.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "filesystems/vmfs/VmfsAddress.h"
#include "filesystems/vmfs/VmfsDirEntry.h"
#include "filesystems/vmfs/VmfsHeader.h"
#include "filesystems/vmfs/VmfsNode.h"
#include "filesystems/vmfs/VmfsResource.h"
#include "tests/support/ByteWriter.h"
#include "volumes/SectorKinds.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

using namespace vmfs;
using testbytes::Put32;

TEST(VmfsStructures, Addresses) {
  EXPECT_EQ(AddressKind(0x1234 << 6 | 1), kAddrFileBlock);
  EXPECT_EQ(FileBlock(0x1234 << 6 | 1), 0x1234u);
  EXPECT_TRUE(ToBeZeroed(0x1234 << 6 | 0x20 | 1));
  // Sub-blocks: cluster in bits 6-27, item in 28-31, and on VMFS 5 two more
  // item bits from 3 and 4.
  const uint32_t sb = (7u << 6) | (5u << 28) | (2u << 3) | 2;
  EXPECT_EQ(SubBlockPlace(sb, false).cluster, 7u);
  EXPECT_EQ(SubBlockPlace(sb, false).item, 5u);
  EXPECT_EQ(SubBlockPlace(sb, true).item, 5u | 32u);
  // Descriptors: cluster in bits 6-20, item from bit 22.
  EXPECT_EQ(DescriptorPlace(0x00800004).item, 2u);
  EXPECT_EQ(DescriptorPlace(0x00800004).cluster, 0u);
  EXPECT_EQ(DescriptorPlace((3u << 6) | (9u << 22) | 4).cluster, 3u);
}

TEST(VmfsStructures, ResourceHeaders) {
  struct Case {
    uint32_t r, c, h, s, g, t, n;
    bool ok;
  };
  const Case cases[] = {
      {32, 16, 0x10000, 2048, 32 * 16 * 2048 + 16 * 1024, 512, 1, true},
      {32, 16, 0x10000, 2048, 12345, 512, 1, false},                       // G not R x C x S + C x 1024
      {32, 16, 0x10000, 2000, 32 * 16 * 2000 + 16 * 1024, 512, 1, false},  // S not whole 512s
      {32, 16, 0x10000, 2048, 32 * 16 * 2048 + 16 * 1024, 0, 1, false},    // no resources
      {32, 16, 0x10000, 2048, 32 * 16 * 2048 + 16 * 1024, 513, 1, false},  // more than N x C x R
      {0, 16, 0x10000, 2048, 16 * 1024, 1, 1, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> h(28);
    const uint32_t v[] = {c.r, c.c, c.h, c.s, c.g, c.t, c.n};
    for (int i = 0; i < 7; ++i) Put32(h, size_t(i) * 4, v[i]);
    VmfsResourceHeader out;
    EXPECT_EQ(ReadVmfsResourceHeader(h.data(), &out), c.ok) << c.g;
    if (!c.ok) continue;
    uint64_t at = 0;
    ASSERT_TRUE(out.ClusterOffset(1, &at));
    EXPECT_EQ(at, 0x10000u + 16 * 1024 + 32 * 2048);
    EXPECT_FALSE(out.ClusterOffset(16, &at));  // one group of 16
  }
}

// A name that fills the entry without a NUL has no end; one that ends
// inside it is taken.
TEST(VmfsStructures, DirectoryEntryNames) {
  std::vector<uint8_t> e(140, 0);
  Put32(e, 0, kTypeFile);
  Put32(e, 4, 0x00400004);
  memcpy(e.data() + 12, "name.txt", 8);
  VmfsDirEntry d = ReadVmfsDirEntry(e.data());
  EXPECT_TRUE(d.nameEnds);
  EXPECT_EQ(d.nameBytes, 8u);
  memset(e.data() + 12, 'x', 128);
  d = ReadVmfsDirEntry(e.data());
  EXPECT_FALSE(d.nameEnds);
}

TEST(VmfsStructures, SuperBlockBlockSizes) {
  std::vector<uint8_t> s(512, 0);
  Put32(s, 0, kSuperMagic);
  for (uint32_t bs : {0x100000u, 0x200000u, 0x400000u, 0x800000u, 0x1000000u, 0x180000u, 0u}) {
    memcpy(s.data() + kSuperBlockSize, &bs, 4);
    const VmfsSuperBlock b = ReadVmfsSuperBlock(s.data());
    EXPECT_EQ(b.BlockSizeUsable(), bs >= 0x100000 && bs <= 0x800000 && !(bs & (bs - 1))) << bs;
  }
}

TEST(VmfsStructures, NodeTimesAndCopies) {
  VmfsNode n;
  n.modifyTime = 1600000000;
  n.changeTime = 1500000000;
  EXPECT_EQ(n.GetTime(0), (1600000000ull + 11644473600ull) * 10000000ull);
  EXPECT_EQ(n.GetTime(1), (1500000000ull + 11644473600ull) * 10000000ull);
  n.resource = kVmfsResourcePointers;
  VmfsNode copy;
  ASSERT_TRUE(copy.CopyNode(&n));
  EXPECT_EQ(copy.resource, kVmfsResourcePointers);
  EXPECT_EQ(copy.modifyTime, n.modifyTime);
}

// The header and the file-system descriptor are kinds 32 and 33, each
// placing its volume.
TEST(VmfsStructures, SectorKindsAndPlaces) {
  std::vector<uint8_t> s(512, 0);
  Put32(s, 0, kHeaderMagic);
  const SectorKindEntry* header = FindSectorKind(kSectVmfsHeader);
  const SectorKindEntry* super = FindSectorKind(kSectVmfsDescriptor);
  ASSERT_TRUE(header && super);
  EXPECT_TRUE(header->test(s.data(), nullptr));
  EXPECT_FALSE(super->test(s.data(), nullptr));
  EXPECT_TRUE(header->visit && super->visit);
  EXPECT_EQ(ProbeVolumeKind(s.data()), kVolVmfs);
  BootLocate w;
  w.sector = s.data();
  w.sectorBytes = 512;
  w.position = 4096;
  FindSearchOps(kVolVmfs)->locate(w);
  EXPECT_EQ(w.start, 2048);
  Put32(s, 0, kSuperMagic);
  w.position = 2048 + 0x1300000 / 512;
  FindSearchOps(kVolVmfs)->locate(w);
  EXPECT_EQ(w.start, 2048);
}
