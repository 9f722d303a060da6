// Inputs the fuzz targets (fuzz/fuzz_record.cpp, fuzz/fuzz_boot.cpp) found
// faults with, kept so the faults stay fixed.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/Globals.h"
#include "tests/filesystems/ntfs/NtfsFixture.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/FixtureImage.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testbytes::Get16;
using testbytes::Get32;
using testbytes::Get64;
using testbytes::Put16;
using testbytes::Put32;
using testbytes::Put64;

// Parses a copy of the record on a drive-less volume; the record must come
// back unchanged.
int Parse(const Bytes& record, uint32_t recordSize) {
  NTFSVol vol;
  vol.SetRecordSize(recordSize);
  Bytes rec = record;
  rec.resize(recordSize, 0);
  const Bytes before = rec;
  inode node(rec.data(), &vol);
  const int rc = node.parseEntry();
  EXPECT_EQ(rec, before);
  node.record = nullptr;
  return rc;
}

// An old-style record (update sequence at 40, so the record number is not
// in the header and the parser first looks for an attribute list), a
// $STANDARD_INFORMATION at 56, then an attribute whose 32-bit length, added
// to its position, wraps around to `wrapTo`.
Bytes WrappingRecord(uint32_t wrapTo) {
  Bytes b(1024, 0);
  std::memcpy(b.data(), "FILE", 4);
  Put16(b, 4, 40);
  Put16(b, 6, 3);
  Put16(b, 16, 1);
  Put16(b, 20, 56);
  Put16(b, 22, ntfs::kRecInUse);
  Put32(b, 24, 0x100);
  Put32(b, 28, 1024);
  Put32(b, 56, 0x10);
  Put32(b, 60, 0x48);
  Put32(b, 56 + 16, 48);
  Put16(b, 56 + 20, 24);
  const uint32_t at = 56 + 0x48;
  Put32(b, at, 0x80);
  Put32(b, at + 4, uint32_t(uint64_t(wrapTo) + 0x100000000ull - at));
  Put32(b, 0x100 - 8, ntfs::kAttrEnd);
  // Update sequence 0x0101 in both strides.
  Put16(b, 40, 0x0101);
  Put16(b, 42, 0);
  Put16(b, 44, 0);
  Put16(b, 510, 0x0101);
  Put16(b, 1022, 0x0101);
  return b;
}

// A length that wraps the 32-bit position back to an earlier attribute once
// looped forever while looking for an attribute list; the record is now
// refused.
TEST(NtfsFuzzRegression, AttributeLengthWrappingBackRefused) {
  GlobalObjectsScope scope;
  EXPECT_EQ(Parse(WrappingRecord(56), 1024), -1);
}

// The input fuzz_record found (a 175-byte record, zero-padded to 1024).
TEST(NtfsFuzzRegression, RecordFoundByFuzzer) {
  GlobalObjectsScope scope;
  static const uint8_t kInput[] = {
      0x46, 0x49, 0x01, 0x00, 0x60, 0x00, 0x40, 0x05, 0x9c, 0xf1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
      0x01, 0x00, 0x38, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0xb8, 0x04, 0x01, 0x01, 0x00, 0x00,
      0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
      0x30, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0xbe, 0xe2, 0x6a, 0x33, 0x30, 0x88, 0xdd, 0x01, 0x66, 0x6a,
      0x7a, 0x33, 0x2d, 0x88, 0xdd, 0x01, 0x66, 0x6a, 0x7a, 0x33, 0x30, 0x88, 0xdd, 0x01, 0xbe, 0xe2, 0x6a, 0x33,
      0x30, 0x88, 0xdd, 0x01, 0x20, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x20, 0x00, 0x04, 0x00, 0xb8, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
      0x20, 0x02, 0x00, 0x00, 0x01, 0xec, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02,
      0x01, 0x02, 0x01, 0x01, 0x01, 0x31, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x01};
  EXPECT_EQ(Parse(Bytes(kInput, kInput + sizeof kInput), 1024), -1);
}

// A non-resident attribute list whose sizes give 64 KiB per cluster on a
// volume of 4 KiB clusters: the list was copied as 64 KiB from a buffer of
// one 4 KiB cluster (a heap over-read the ASan build shows). The list is
// read in the volume's clusters and still gives the file's four pieces and
// its name. Record 64 of the attrlist image, sizes changed in memory.
TEST(NtfsFuzzRegression, AttributeListSizesDisagreeingWithClusters) {
  GlobalObjectsScope scope;
  const std::string img = ntfs_fixture::Image("attrlist");
  if (img.empty()) GTEST_SKIP() << "xz is not installed";
  ntfstest::OpenVolume v;
  ASSERT_TRUE(v.Open(img));
  ASSERT_EQ(v.vol->LoadMftNode(), 0);
  ASSERT_EQ(v.vol->clusterSize, 4096u);
  Bytes rec(v.vol->recordSize);
  ASSERT_TRUE(v.vol->ReadMftRecord(64, rec.data()));
  size_t pos = Get16(rec, 20);
  while (pos + 64 <= rec.size() && Get32(rec, pos) != ntfs::kTypeAttrList && Get32(rec, pos + 4) != 0)
    pos += Get32(rec, pos + 4);
  ASSERT_EQ(Get32(rec, pos), ntfs::kTypeAttrList);
  ASSERT_EQ(rec[pos + 8], 1) << "the list is resident";
  const uint64_t clusters = Get64(rec, pos + 40) / 4096;
  ASSERT_GE(clusters, 1u);
  for (size_t field : {40, 48, 56}) Put64(rec, pos + field, clusters * 65536);

  inode node(rec.data(), v.vol.get());
  ASSERT_EQ(node.parseEntry(), 0) << ToUtf8(node.lastError);
  node.record = nullptr;
  ASSERT_TRUE(v.vol->LoadPieces(&node));
  EXPECT_EQ(node.fileName, u"attrlist.bin");
  size_t pieces = 0;
  for (const XEntry* p = node.Pieces(); p; p = p->next) pieces++;
  EXPECT_EQ(pieces, 4u);
  EXPECT_EQ(node.size, 1200u * 4096);
}

}  // namespace
