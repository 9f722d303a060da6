// File records, boot sectors, the MFT run map and the bitmap on hand-made
// bytes: the edge cases real volumes rarely show.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/Globals.h"
#include "tests/support/ByteWriter.h"
#include "volumes/RunList.h"
#include "filesystems/ntfs/DevBitmap.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/MftScan.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "filesystems/ntfs/SysFile.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testbytes::Put16;
using testbytes::Put32;
using testbytes::Put64;

// A FILE record builder: header, attributes appended, end marker, fix-up.
struct Record {
  Bytes b;
  uint32_t pos = 72;
  uint16_t usaCount;
  explicit Record(uint32_t size = 1024, uint16_t usaOffset = 48) : b(size, 0) {
    std::memcpy(b.data(), "FILE", 4);
    usaCount = uint16_t(size / 512 + 1);
    Put16(b, 4, usaOffset);
    Put16(b, 6, usaCount);
    Put16(b, 16, 1);
    Put16(b, 20, 72);
    Put16(b, 22, ntfs::kRecInUse);
    Put32(b, 28, size);
    Put32(b, 44, 77);
  }
  void Resident(uint32_t type, const Bytes& value, const std::u16string& name = u"", uint16_t id = 0) {
    const uint32_t nameAt = 24, valueAt = (24 + uint32_t(name.size()) * 2 + 7) & ~7u;
    const uint32_t len = (valueAt + uint32_t(value.size()) + 7) & ~7u;
    Put32(b, pos, type);
    Put32(b, pos + 4, len);
    b[pos + 9] = uint8_t(name.size());
    Put16(b, pos + 10, uint16_t(nameAt));
    Put16(b, pos + 14, id);
    Put32(b, pos + 16, uint32_t(value.size()));
    Put16(b, pos + 20, uint16_t(valueAt));
    std::memcpy(b.data() + pos + nameAt, name.data(), name.size() * 2);
    std::memcpy(b.data() + pos + valueAt, value.data(), value.size());
    pos += len;
  }
  void Raw(const Bytes& attr) {
    std::memcpy(b.data() + pos, attr.data(), attr.size());
    pos += uint32_t(attr.size());
  }
  // Ends the record and writes the update sequence (number 0x1234).
  Bytes Finish() {
    Put32(b, pos, ntfs::kAttrEnd);
    Put32(b, 24, pos + 8);
    const uint16_t usaOffset = uint16_t(b[4] | (b[5] << 8));
    Put16(b, usaOffset, 0x1234);
    for (uint32_t i = 0; i + 1 < usaCount && (i + 1) * 512 <= b.size(); i++) {
      std::memcpy(b.data() + usaOffset + 2 * (i + 1), b.data() + i * 512 + 510, 2);
      Put16(b, i * 512 + 510, 0x1234);
    }
    return b;
  }
};

Bytes FileName(const std::u16string& name, uint32_t parent, uint8_t space = 1) {
  Bytes v(66 + name.size() * 2, 0);
  Put32(v, 0, parent);
  Put64(v, 8, 1111);
  Put64(v, 16, 2222);
  v[64] = uint8_t(name.size());
  v[65] = space;
  std::memcpy(v.data() + 66, name.data(), name.size() * 2);
  return v;
}

struct VolumeFor {
  NTFSVol vol;
  explicit VolumeFor(uint32_t recordSize) {
    vol.SetRecordSize(recordSize);
    vol.SetClusterSize(4096);
  }
};

TEST(NtfsRecord, FixupOfEveryStrideForEachRecordSize) {
  GlobalObjectsScope scope;
  for (uint32_t size : {1024u, 2048u, 4096u}) {
    SCOPED_TRACE(size);
    Record r(size);
    r.Resident(ntfs::kTypeFileName, FileName(u"a.txt", 5));
    // A value whose last bytes fall on the last stride's fix-up word.
    Bytes tail(size - r.pos - 64, 0xAB);
    r.Resident(ntfs::kTypeData, tail);
    Bytes rec = r.Finish();
    const Bytes before = rec;
    VolumeFor v(size);
    inode node(rec.data(), &v.vol);
    ASSERT_EQ(node.parseEntry(), 0) << ToUtf8(node.lastError);
    EXPECT_EQ(node.errors, 0);
    EXPECT_EQ(node.fileName, u"a.txt");
    ASSERT_EQ(node.residentSize, tail.size());
    EXPECT_EQ(Bytes(node.residentData, node.residentData + node.residentSize), tail);  // every stride repaired
    EXPECT_EQ(rec, before);  // buffer restored
    EXPECT_EQ(node.id, 77u);
    EXPECT_TRUE(node.flags & kInodeNumberFromHeader);
  }
}

TEST(NtfsRecord, FixupMismatchFlaggedAndStillParsed) {
  GlobalObjectsScope scope;
  Record r;
  r.Resident(ntfs::kTypeFileName, FileName(u"b.txt", 5));
  Bytes rec = r.Finish();
  Put16(rec, 1022, 0x9999);
  VolumeFor v(1024);
  inode node(rec.data(), &v.vol);
  EXPECT_EQ(node.parseEntry(), 0);
  EXPECT_EQ(node.errors & kInodeErrFixup, kInodeErrFixup);
  EXPECT_EQ(node.fileName, u"b.txt");
}

// A record read through a RAID set of the wrong layout is out of place: a
// record of another number, a torn stride, no record at all. A record not
// in use, or one of the older header without its number, is in place
// wherever it lies.
TEST(NtfsRecord, RecordInPlaceTable) {
  GlobalObjectsScope scope;
  struct Case {
    const char* what;
    uint32_t size;
    uint16_t usaOffset;
    uint64_t readAs;
    void (*damage)(Bytes&);
    bool inPlace;
  } cases[] = {
      {"its own number", 1024, 48, 77, nullptr, true},
      {"4096 bytes", 4096, 48, 77, nullptr, true},
      {"another number", 1024, 48, 78, nullptr, false},
      {"not in use, another number", 1024, 48, 78, [](Bytes& b) { Put16(b, 22, 0); }, true},
      {"older header", 1024, 42, 78, nullptr, true},
      {"torn last stride", 2048, 48, 77, [](Bytes& b) { Put16(b, 2046, 0x9999); }, false},
      {"zeros", 1024, 48, 77, [](Bytes& b) { std::fill(b.begin(), b.end(), 0); }, false},
      {"array past the first stride", 1024, 48, 77, [](Bytes& b) { Put16(b, 6, 300); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Record r(c.size, c.usaOffset);
    r.Resident(ntfs::kTypeFileName, FileName(u"a.txt", 5));
    Bytes rec = r.Finish();
    if (c.damage) c.damage(rec);
    const Bytes before = rec;
    EXPECT_EQ(NTFS::RecordInPlace(rec.data(), c.size, c.readAs), c.inPlace);
    EXPECT_EQ(rec, before);
  }
}

TEST(NtfsRecord, UpdateSequenceArrayOutsideFirstStrideIsNotApplied) {
  GlobalObjectsScope scope;
  Record r(1024, 506);  // 506 + 2 x 3 passes 510
  r.Resident(ntfs::kTypeFileName, FileName(u"c.txt", 5));
  Bytes rec = r.Finish();
  const Bytes before = rec;
  VolumeFor v(1024);
  inode node(rec.data(), &v.vol);
  node.parseEntry();
  EXPECT_EQ(node.errors & kInodeErrFixup, kInodeErrFixup);
  EXPECT_EQ(rec, before);
}

TEST(NtfsRecord, BytesInUseChecked) {
  GlobalObjectsScope scope;
  Record r;
  Bytes rec = r.Finish();
  Put32(rec, 24, 40);
  VolumeFor v(1024);
  inode node(rec.data(), &v.vol);
  EXPECT_EQ(node.parseEntry(), -1);
  EXPECT_EQ(node.lastError, u"Invalid MFT record length 40.");
}

// Attributes too short for the fields read from them fail the record.
TEST(NtfsRecord, ShortAttributesRefused) {
  GlobalObjectsScope scope;
  struct Case {
    uint32_t type;
    size_t valueBytes;
    const char16_t* message;
  } cases[] = {
      {ntfs::kTypeStandard, 34, u"Invalid offset to file times."},   // attribute word cut
      {ntfs::kTypeFileName, 64, u"Invalid offset to filename length."},  // name space byte missing
      {ntfs::kTypeFileName, 30, u"Invalid offset to file times."},
  };
  for (const Case& c : cases) {
    Record r;
    Bytes value(c.valueBytes, 0);
    r.Resident(c.type, value);
    // Cut the attribute to exactly its value (the builder pads to 8).
    Put32(r.b, 72 + 4, uint32_t(24 + c.valueBytes + 7) & ~7u);
    Bytes rec = r.Finish();
    VolumeFor v(1024);
    inode node(rec.data(), &v.vol);
    const uint32_t len = uint32_t(24 + c.valueBytes + 7) & ~7u;
    if (len >= 24 + (c.type == ntfs::kTypeStandard ? 36u : 66u)) continue;
    EXPECT_EQ(node.parseEntry(), -1);
    EXPECT_EQ(node.lastError, c.message);
  }
}

TEST(NtfsRecord, Win32NameWinsOverDosNameInEitherOrder) {
  GlobalObjectsScope scope;
  for (bool dosFirst : {true, false}) {
    Record r;
    if (dosFirst) r.Resident(ntfs::kTypeFileName, FileName(u"LONGNA~1.TXT", 5, ntfs::kNameSpaceDos));
    r.Resident(ntfs::kTypeFileName, FileName(u"long name.txt", 5, 1));
    if (!dosFirst) r.Resident(ntfs::kTypeFileName, FileName(u"LONGNA~1.TXT", 5, ntfs::kNameSpaceDos));
    Bytes rec = r.Finish();
    VolumeFor v(1024);
    inode node(rec.data(), &v.vol);
    ASSERT_EQ(node.parseEntry(), 0);
    EXPECT_EQ(node.fileName, u"long name.txt");
  }
}

// An attribute-list entry shorter than its fixed part ends the list; a
// proper one names the record's own attribute, which gives an old-format
// record its number.
TEST(NtfsRecord, AttributeListEntries) {
  GlobalObjectsScope scope;
  auto entry = [](uint32_t type, uint16_t len, uint32_t recordNo, uint8_t id) {
    Bytes e(len, 0);
    Put32(e, 0, type);
    Put16(e, 4, len);
    e[7] = 26;
    Put32(e, 16, recordNo);
    if (len > 24) e[24] = id;
    return e;
  };
  for (uint16_t len : {uint16_t(32), uint16_t(24)}) {
    Record r(1024, 42);
    Bytes list = entry(ntfs::kTypeData, len, 1234, 3);
    Bytes more = entry(ntfs::kTypeFileName, 32, 1234, 2);
    list.insert(list.end(), more.begin(), more.end());
    r.Resident(ntfs::kTypeAttrList, list);
    r.Resident(ntfs::kTypeFileName, FileName(u"x.bin", 5), u"", 2);
    r.Resident(ntfs::kTypeData, Bytes(8, 1), u"", 3);
    Bytes rec = r.Finish();
    VolumeFor v(1024);
    inode node(rec.data(), &v.vol);
    ASSERT_EQ(node.parseEntry(), 0);
    if (len == 32) {
      EXPECT_EQ(node.id, 1234u);
      EXPECT_TRUE(node.flags & kInodeNumberKnown);
    } else {
      EXPECT_EQ(node.id, kNoNodeId);
      EXPECT_EQ(node.lastError, u"AttrList: Attribute leng > Length in use.");
    }
  }
}

TEST(NtfsVolume, BootParseCases) {
  GlobalObjectsScope scope;
  struct Case {
    uint16_t sectorSize;
    uint8_t spc;
    uint64_t total, mft, mirror;
    int8_t perRecord;
    bool ok;
    uint32_t recordSize;
  } cases[] = {
      {4096, 1, 100000, 4, 50, 1, true, 4096},
      {4096, 1, 100000, 4, 50, -10, true, 1024},
      {512, 8, 100000, 4, 50, 2, true, 1024},  // 8192: ignored
      {512, 8, 100000, 4, 50, -11, true, 2048},
      {512, 8, 1999, 4, 50, -10, false, 1024},
      {512, 8, 100000, 4, 0, -10, false, 1024},
      {256, 8, 100000, 4, 50, -10, false, 1024},
      {8192, 1, 100000, 4, 50, -10, false, 1024},
      {512, 8, 100000, 0x4000000000000000ull, 50, -10, false, 1024},  // cluster x sectors overflows
  };
  for (const Case& c : cases) {
    Bytes s(512, 0);
    Put16(s, 11, c.sectorSize);
    s[13] = c.spc;
    Put64(s, 40, c.total);
    Put64(s, 48, c.mft);
    Put64(s, 56, c.mirror);
    s[64] = uint8_t(c.perRecord);
    NTFSVol v;
    EXPECT_EQ(NTFS::BootParse(&v, s.data()), c.ok) << c.sectorSize << " " << c.total << " " << c.mft;
    if (c.ok) {
      EXPECT_EQ(v.recordSize, c.recordSize);
    }
  }
}

// Records smaller than a cluster: the byte offset picks the cluster.
TEST(NtfsVolume, MftRunMapPlacesRecordsByByteOffset) {
  MFTRunMap m;
  m.SetClusterSize(4096);
  m.SetRecordSize(1024);
  const uint8_t pairs[] = {0x11, 0x02, 0x10, 0x11, 0x02, 0x20};  // 2 at 16, 2 at 48
  RunList list = NewRunList(pairs, sizeof pairs);
  ASSERT_GT(m.BuildVCNMappingTable(list), 0);
  FreeRunList(list);
  EXPECT_EQ(m.MapRecord(0), 16u * 4096);
  EXPECT_EQ(m.MapRecord(3), 16u * 4096 + 3072);
  EXPECT_EQ(m.MapRecord(4), 17u * 4096);
  EXPECT_EQ(m.MapRecord(8), 48u * 4096);
  EXPECT_EQ(m.MapRecord(17), 0u);
  MFTRunMap big;
  big.SetClusterSize(512);
  big.SetRecordSize(4096);
  const uint8_t p2[] = {0x11, 0x20, 0x10};
  list = NewRunList(p2, sizeof p2);
  big.BuildVCNMappingTable(list);
  FreeRunList(list);
  EXPECT_EQ(big.MapRecord(1), (16u + 8) * 512);
}

TEST(NtfsBitmap, RateFreeRun) {
  struct Case {
    int64_t a, b, c, d;
    int grade;
  } cases[] = {
      {100, 256, 100, 0, 1}, {150, 256, 100, 50, 1}, {300, 256, 25, 0, 0}, {5, 5, 1, 5, 0},
      {300, 0, 25, 0, 0},  // b = 0
      {1000, 256, 90, 0, 4},
      {256, 256, 90, 0, 2},
  };
  for (const Case& c : cases) {
    uint8_t status[2] = {1, 0xF0};
    EXPECT_EQ(CDevBitmap::RateFreeRun(c.a, c.b, c.c, c.d, status), c.grade);
    EXPECT_EQ(status[1], 0xF0 | c.grade);
  }
  const uint8_t a[2] = {6, 0x80}, b[2] = {1, 0x00}, c[2] = {6, 0x00};
  EXPECT_TRUE(CDevBitmap::IsRecoverableStatus(a));
  EXPECT_TRUE(CDevBitmap::IsRecoverableStatus(b));
  EXPECT_FALSE(CDevBitmap::IsRecoverableStatus(c));
}

// A bitmap whose pages are already loaded: page boundaries and limits.
TEST(NtfsBitmap, CheckFreeAcrossPages) {
  GlobalObjectsScope scope;
  NTFSVol vol;
  vol.SetClusterSize(4096);
  vol.totalSectors = 8 * 32768 * 3;
  CDevBitmap bm(&vol);
  bm.allocatedSize = 3 * 4096;
  ASSERT_TRUE(bm.InitBM());
  EXPECT_EQ(bm.bitsPerPage, 32768u);
  std::vector<Bytes> pages(3, Bytes(4096, 0));
  pages[1][0] = 0x01;  // cluster 32768 in use
  for (uint32_t c = 100; c < 103; c++) pages[0][c / 8] |= uint8_t(1 << (c % 8));
  bm.pages = {pages[0].data(), pages[1].data(), pages[2].data()};
  uint64_t limit = 10;
  EXPECT_EQ(bm.CheckFree(95, 10, &limit), 1);  // 3 of 10 in use, limit 10
  EXPECT_EQ(limit, 3u);
  limit = 1;
  EXPECT_EQ(bm.CheckFree(95, 10, &limit), 0);
  limit = 1;
  EXPECT_EQ(bm.CheckFree(32760, 8, &limit), 1);
  limit = 1;
  EXPECT_EQ(bm.CheckFree(32760, 9, &limit), 0);
  limit = 1;
  EXPECT_EQ(bm.CheckFree(3 * 32768, 1, &limit), -1);
  bm.pages.clear();
}

// A $Bitmap claiming far more clusters than the volume has is not trusted.
TEST(NtfsBitmap, OversizedBitmapIsUnknown) {
  GlobalObjectsScope scope;
  NTFSVol vol;
  vol.SetClusterSize(4096);
  vol.totalSectors = 8 * 1000;
  CDevBitmap bm(&vol);
  bm.allocatedSize = uint64_t(1) << 40;
  EXPECT_FALSE(bm.InitBM());
  EXPECT_EQ(bm.count, 0u);
  uint64_t limit = 1;
  EXPECT_EQ(bm.CheckFree(0, 1, &limit), -1);
}

TEST(NtfsSysFile, SlotsFollowTheFirstRecord) {
  GlobalObjectsScope scope;
  SysFile sys;
  inode r5, r0, r1;
  r5.recordBytes = r0.recordBytes = r1.recordBytes = 1024;
  r5.position = 1000;
  r0.position = 990;
  r1.position = 993;
  EXPECT_TRUE(sys.ProcSysFile(5, &r5));
  EXPECT_EQ(sys.base, 990);
  EXPECT_TRUE(sys.ProcSysFile(0, &r0));
  EXPECT_FALSE(sys.ProcSysFile(1, &r1));
  SysFile single;
  EXPECT_TRUE(single.ProcSysFile(2, &r1));
  EXPECT_EQ(single.FlushSysFile(), nullptr);
}

}  // namespace
