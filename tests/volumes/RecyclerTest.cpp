#include "volumes/Recycler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/FixtureImage.h"
#include "volumes/DestinationPath.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testbytes::Put32;
using testbytes::Put64;
using testbytes::PutUtf16;

// A $I record of version 1: 544 bytes.
Bytes MakeRbi(std::u16string_view path, uint64_t size, uint64_t version = 1) {
  Bytes b(kRbiRecordBytes, 0);
  Put64(b, 0, version);
  Put64(b, 8, size);
  Put64(b, 16, 0x01D5000000000000ull);
  PutUtf16(b, 24, path.substr(0, 260));
  return b;
}

// An INFO2 file of records (path, index, drive, size on disk).
struct Info2Record {
  std::string path8;
  std::u16string path;
  uint32_t index;
  uint32_t size;
};
Bytes MakeInfo2(const std::vector<Info2Record>& records) {
  Bytes b(kInfo2HeaderBytes + records.size() * kInfo2RecordBytes, 0);
  Put32(b, 0, 5);
  Put32(b, 12, kInfo2RecordBytes);
  for (size_t i = 0; i < records.size(); ++i) {
    size_t at = kInfo2HeaderBytes + i * kInfo2RecordBytes;
    std::memcpy(&b[at], records[i].path8.data(), std::min<size_t>(records[i].path8.size(), 259));
    Put32(b, at + 260, records[i].index);
    Put32(b, at + 264, 2);
    Put64(b, at + 268, 0x01C0000000000000ull);
    Put32(b, at + 276, records[i].size);
    PutUtf16(b, at + 280, std::u16string_view(records[i].path).substr(0, 260));
  }
  return b;
}

Info2Record Good(const std::u16string& path, uint32_t index, uint32_t size = 4096) {
  return {ToUtf8(path), path, index, size};
}

const std::u16string kSid = u"S-1-5-21-1004336348-1177238915-682003330-1000";

TEST(RecyclerNames, Table) {
  struct Case {
    const char* what;
    bool got, expect;
  };
  const Case cases[] = {
      {"$Reparse is no bin name", IsRecycleBinName(u"$Reparse", 0), false},
      {"$RABC123.doc", IsRecycleBinName(u"$RABC123.doc", u'R'), true},
      {"$RABC12.doc: dot not ninth", IsRecycleBinName(u"$RABC12.doc", u'R'), false},
      {"$RABC123 without a dot", IsRecycleBinName(u"$RABC123", u'R'), true},
      {"$RABC1234 nine without a dot", IsRecycleBinName(u"$RABC1234", u'R'), false},
      {"letter 0 takes I", IsRecycleBinName(u"$IABC123.txt", 0), true},
      {"letter 0 takes R", IsRecycleBinName(u"$rabc123.txt", 0), true},
      {"letter 0 refuses X", IsRecycleBinName(u"$XABC123.txt", 0), false},
      {"R asked, I given", IsRecycleBinName(u"$IABC123.txt", u'R'), false},
      {"no dollar", IsRecycleBinName(u"RABC1234.txt", u'R'), false},
      {"Dc5.txt", IsInfo2DeletedName(u"Dc5.txt"), true},
      {"dc12", IsInfo2DeletedName(u"dc12"), true},
      {"D5 has no letter", IsInfo2DeletedName(u"D5"), false},
      {"Dc without digits", IsInfo2DeletedName(u"Dc.txt"), false},
      {"Dc12a", IsInfo2DeletedName(u"Dc12a"), false},
      {"249 digits", IsInfo2DeletedName(u"Dc" + std::u16string(249, u'7')), true},
      {"250 digits", IsInfo2DeletedName(u"Dc" + std::u16string(250, u'7')), false},
      {"\\Recycled\\", IsRecycledPath(u"\\RECYCLED\\Dc1.txt"), true},
      {"\\$Recycle.Bin\\", IsRecycledPath(u"\\$Recycle.Bin\\x"), true},
      {"\\Recycler\\ is not Recycled", IsRecycledPath(u"\\Recycler\\x"), false},
      {"SID path", IsRecyclerSidPath(u"\\$RECYCLE.BIN\\" + kSid + u"\\"), true},
      {"Recycler SID path", IsRecyclerSidPath(u"\\Recycler\\" + kSid + u"\\Dc1.txt"), true},
      {"short SID path", IsRecyclerSidPath(u"\\$RECYCLE.BIN\\S-1-5-21-1\\"), false},
      {"SID with a letter", IsRecyclerSidPath(u"\\$RECYCLE.BIN\\S-1-5-21-1004336348-1177238915-68200333x-1000\\"), false},
      {"entry in a SID folder", IsRecycleBinEntry(u"$IAB12CD.txt", u"\\$RECYCLE.BIN\\" + kSid + u"\\"), true},
      {"entry elsewhere", IsRecycleBinEntry(u"$IAB12CD.txt", u"\\Users\\" + kSid + u"\\"), false},
      {"recycled item path", IsRecycledItemPath(u"\\Recycled\\Dc3\\a.txt"), true},
      {"recycled $R item path", IsRecycledItemPath(u"\\x\\$RAB12CD.txt"), true},
      {"plain path", IsRecycledItemPath(u"\\Users\\a.txt"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expect) << c.what;
}

TEST(Recycler, AddRBITable) {
  struct Case {
    const char* what;
    Bytes content;
    std::u16string name;
    bool added;
    std::u16string path;  // what is mapped, when added
  };
  Bytes unterminated(kRbiRecordBytes, 0);
  Put64(unterminated, 0, 1);
  PutUtf16(unterminated, 24, u"C:\\" + std::u16string(257, u'x'));  // fills all 520 bytes
  Bytes shortContent = MakeRbi(u"C:\\abcdefghijklmnopqrstuvwxyz", 10);
  shortContent.resize(24 + 20);  // the file ends inside the path
  Bytes version2(kRbiRecordBytes, 0);
  Put64(version2, 0, 2);
  Put32(version2, 24, 17);  // a count before the path
  PutUtf16(version2, 28, u"C:\\work\\plan.txt");
  const Case cases[] = {
      {"plain record", MakeRbi(u"C:\\work\\plan.txt", 1234), u"$IXYZ123.txt", true, u"C:\\work\\plan.txt"},
      {"lower-case drive", MakeRbi(u"c:\\work\\plan.txt", 1234), u"$IXYZ124.txt", false, u""},
      {"no backslash", MakeRbi(u"C:work", 1), u"$IXYZ125.txt", false, u""},
      {"an $R name", MakeRbi(u"C:\\a.txt", 1), u"$RXYZ126.txt", false, u""},
      {"255 characters", MakeRbi(u"C:\\" + std::u16string(252, u'p'), 1), u"$IXYZ127", true,
       u"C:\\" + std::u16string(252, u'p')},
      {"256 characters", MakeRbi(u"C:\\" + std::u16string(253, u'p'), 1), u"$IXYZ128", false, u""},
      {"no terminator in 520 bytes", unterminated, u"$IXYZ129", false, u""},
      {"cut by the content's end", shortContent, u"$IXYZ130", true, u"C:\\abcdefg"},
      {"content shorter than its head", Bytes(20, 0), u"$IXYZ131", false, u""},
      {"version 2 layout", version2, u"$IXYZ132.txt", false, u""},
  };
  Recycler r;
  for (const Case& c : cases) {
    // A copy of exactly the content's size: nothing after it may be read.
    Bytes exact = c.content;
    EXPECT_EQ(r.AddRBI(exact.data(), exact.size(), c.name), c.added) << c.what;
    if (c.added) {
      const char16_t* found = r.Find(c.name, 0);
      ASSERT_NE(found, nullptr) << c.what;
      EXPECT_EQ(std::u16string(found), c.path) << c.what;
    } else {
      EXPECT_EQ(r.Find(c.name, 0), nullptr) << c.what;
    }
  }
  // The same name again adds nothing; the size takes part in lookups.
  Bytes again = MakeRbi(u"C:\\other.txt", 1234);
  EXPECT_FALSE(r.AddRBI(again.data(), again.size(), u"$ixyz123.TXT"));
  EXPECT_NE(r.Find(u"$IXYZ123.TXT", 1234), nullptr);
  EXPECT_EQ(r.Find(u"$IXYZ123.TXT", 1235), nullptr);
  EXPECT_EQ(r.Count(), 3u);
}

TEST(Recycler, NewBinItemsTakeTheirRecordedNames) {
  Recycler r;
  Bytes rbi = MakeRbi(u"C:\\work\\plan.txt", 777);
  ASSERT_TRUE(r.AddRBI(rbi.data(), rbi.size(), u"$IXYZ123.txt"));
  Bytes folder = MakeRbi(u"C:\\Users\\ann\\old", 0);
  ASSERT_TRUE(r.AddRBI(folder.data(), folder.size(), u"$IFOLD01"));
  const std::u16string bin = u"C:\\$RECYCLE.BIN\\" + kSid + u"\\";
  struct Case {
    const char* what;
    std::u16string folder, name;
    uint8_t family;
    bool directory;
    uint64_t size;
    int flag;
    int expect;
    std::u16string newFolder, newName;
  };
  const Case cases[] = {
      {"file in the SID folder", bin, u"$RXYZ123.txt", kNodeFat, false, 777, 1, 1, u"C:\\work\\", u"plan.txt"},
      {"file directly in the bin", u"C:\\$RECYCLE.BIN\\", u"$RXYZ123.txt", kNodeExFat, false, 777, 0, 1,
       u"C:\\work\\", u"plan.txt"},
      {"size differs", bin, u"$RXYZ123.txt", kNodeFat, false, 778, 0, 0, u"", u""},
      {"a folder of FAT: any size", bin, u"$RFOLD01", kNodeFat, true, 4096, 0, 1, u"C:\\Users\\ann\\", u"old"},
      {"inside a recycled folder", bin + u"$RFOLD01\\sub\\", u"inner.txt", kNodeFat, false, 5, 0, 1,
       u"C:\\Users\\ann\\old\\sub\\", u"inner.txt"},
      {"directly in a recycled folder", bin + u"$RFOLD01\\", u"inner.txt", kNodeExFat, false, 5, 0, 1,
       u"C:\\Users\\ann\\old\\", u"inner.txt"},
      {"no record", bin, u"$RNONE01.txt", kNodeFat, false, 1, 0, 0, u"", u""},
      {"not an $R name", bin, u"plan.txt", kNodeFat, false, 777, 0, 0, u"", u""},
      // A bin of any case, on every family's volume.
      {"bin name of another case", u"C:\\$Recycle.Bin\\" + kSid + u"\\", u"$RXYZ123.txt", kNodeFat, false, 777, 0,
       1, u"C:\\work\\", u"plan.txt"},
      {"NTFS node", bin, u"$RXYZ123.txt", kNodeNtfs, false, 777, 0, 1, u"C:\\work\\", u"plan.txt"},
      {"outside a bin", u"C:\\work\\", u"$RXYZ123.txt", kNodeFat, false, 777, 0, 0, u"", u""},
  };
  for (const Case& c : cases) {
    WString path = c.folder;
    RecycledItem item{c.name, c.family, c.directory};
    EXPECT_EQ(r.Remap(&path, &item, c.size, c.flag), c.expect) << c.what;
    EXPECT_EQ(path, c.expect ? c.newFolder : c.folder) << c.what;
    EXPECT_EQ(item.name, c.expect ? c.newName : c.name) << c.what;
  }
}

TEST(Recycler, Info2RecordsMapDriveNumberNames) {
  Recycler r;
  Bytes info2 = MakeInfo2({Good(u"C:\\docs\\a.txt", 5, 512), Good(u"C:\\dir.v2\\noext", 6, 5000 - 5000 % 512),
                           Good(u"D:\\x\\y.tar.gz", 12, 8192)});
  BufferInfo2Source source(info2.data(), info2.size());
  EXPECT_EQ(r.AddInfo2Records(source, u"\\Recycled\\", 4096), 3);
  // Sizes rounded up to whole clusters.
  const char16_t* a = r.Find(u"\\RECYCLED\\DC5.TXT", 4096);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::u16string(a), u"C:\\docs\\a.txt");
  EXPECT_EQ(r.Find(u"\\Recycled\\Dc5.txt", 512), nullptr);
  EXPECT_NE(r.Find(u"\\RECYCLED\\DC6", 8192), nullptr);  // no extension: the dot was in a folder
  EXPECT_NE(r.Find(u"\\RECYCLED\\DD12.GZ", 8192), nullptr);

  // The older bin maps by folder path + name, with flag 0 only.
  WString path = u"\\Recycled\\";
  RecycledItem item{u"Dc5.txt", kNodeNtfs, false};
  EXPECT_EQ(r.Remap(&path, &item, 4096, 1), 0);
  EXPECT_EQ(r.Remap(&path, &item, 4096, 0), 1);
  EXPECT_EQ(path, u"C:\\docs\\");
  EXPECT_EQ(item.name, u"a.txt");

  // NTFS's older bin: "RECYCLER" and a SID folder, any case.
  Recycler ntfs;
  BufferInfo2Source again(info2.data(), info2.size());
  const std::u16string sidBin = u"\\RECYCLER\\" + kSid + u"\\";
  EXPECT_EQ(ntfs.AddInfo2Records(again, sidBin, 4096), 3);
  WString inBin = u"\\Recycler\\" + kSid + u"\\";
  RecycledItem dc5{u"Dc5.txt", kNodeNtfs, false};
  EXPECT_EQ(ntfs.Remap(&inBin, &dc5, 4096, 0), 1);
  EXPECT_EQ(inBin, u"C:\\docs\\");
  EXPECT_EQ(dc5.name, u"a.txt");
}

TEST(Recycler, Info2OnAVolumeWithItsLetter) {
  Recycler r;
  Bytes info2 = MakeInfo2({Good(u"E:\\photos\\trip", 3, 0)});
  BufferInfo2Source source(info2.data(), info2.size());
  ASSERT_EQ(r.AddInfo2Records(source, u"E:\\RECYCLED\\", 4096), 1);
  // A file inside the recycled folder De3.
  WString path = u"E:\\Recycled\\De3\\day1\\";
  RecycledItem item{u"img.jpg", kNodeFat, false};
  ASSERT_EQ(r.Remap(&path, &item, 99999, 0), 1);
  EXPECT_EQ(path, u"E:\\photos\\trip\\day1\\");
  EXPECT_EQ(item.name, u"img.jpg");
}

TEST(Recycler, Info2StopsAfterARunOfBadRecords) {
  Info2Record bad{"", u"", 1, 512};  // empty paths
  Info2Record wrongSize = Good(u"C:\\w.txt", 1, 1000);
  Info2Record lowerDrive{"c:\\l.txt", u"c:\\l.txt", 2, 512};
  struct Case {
    const char* what;
    std::vector<Info2Record> records;
    int expect;
  };
  const Case cases[] = {
      {"four bad then good", {bad, bad, bad, bad, Good(u"C:\\a", 1), Good(u"C:\\b", 2)}, 2},
      {"five bad in a block", {bad, bad, bad, bad, bad, Good(u"C:\\a", 1)}, 0},
      // Four at the end of the first block, five more in the second.
      {"run over two blocks", {Good(u"C:\\a", 1), bad, bad, bad, bad, bad, bad, bad, bad, bad, Good(u"C:\\b", 2)}, 1},
      {"a short run across blocks", {Good(u"C:\\a", 1), bad, bad, bad, bad, bad, bad, Good(u"C:\\b", 2)}, 2},
      {"each kind of bad", {wrongSize, lowerDrive, Good(u"C:\\a", 1)}, 1},
      {"part of a record at the end", {Good(u"C:\\a", 1), Good(u"C:\\b", 2)}, 2},
  };
  for (const Case& c : cases) {
    Recycler r;
    Bytes info2 = MakeInfo2(c.records);
    if (std::string(c.what).find("part") != std::string::npos) info2.resize(info2.size() - 100);
    BufferInfo2Source source(info2.data(), info2.size());
    int expect = std::string(c.what).find("part") != std::string::npos ? 1 : c.expect;
    EXPECT_EQ(r.AddInfo2Records(source, u"C:\\Recycled\\", 512), expect) << c.what;
  }
}

TEST(Recycler, Info2NodeChecks) {
  Bytes info2 = MakeInfo2({Good(u"C:\\a.txt", 1)});
  Bytes header = info2;
  Put32(header, 12, 796);
  uint8_t pairs[] = {0x11, 0x01, 0x20};
  snode node;
  node.runs = NewRunList(pairs, sizeof pairs);
  snode noRuns;
  struct Case {
    const char* what;
    const cnode* node;
    uint8_t volumeType;
    const Bytes* data;
    int expect;
  };
  const Case cases[] = {
      {"NTFS volume", &node, 1, &info2, 1},      {"FAT volume", &node, 3, &info2, 1},
      {"ext volume", &node, 4, &info2, -1},      {"no runs", &noRuns, 1, &info2, -1},
      {"record size 796", &node, 1, &header, -1}, {"no node", nullptr, 1, &info2, -1},
  };
  for (const Case& c : cases) {
    Recycler r;
    BufferInfo2Source source(c.data->data(), c.data->size());
    EXPECT_EQ(r.AddInfo2QS(c.node, c.volumeType, source, u"C:\\Recycled\\", 4096), c.expect) << c.what;
  }
}

TEST(Recycler, RecordedDotsStayBelowTheDestination) {
  GlobalObjectsScope scope;
  Recycler r;
  struct Case {
    std::u16string recorded;
    std::u16string rbi;
  };
  const Case cases[] = {
      {u"C:\\..\\..\\..\\etc\\passwd", u"$IAAAAA1.txt"},
      {u"C:\\a\\..\\..\\..\\..\\x", u"$IAAAAA2"},
      {u"C:\\dir\\..", u"$IAAAAA3"},
      {u"C:\\.\\..\\", u"$IAAAAA4"},  // no last component: not remapped
      {u"C:\\x/../../y\\z", u"$IAAAAA5"},
  };
  const WString root = u"/tmp/dv-dest";
  for (const Case& c : cases) {
    Bytes rbi = MakeRbi(c.recorded, 10);
    ASSERT_TRUE(r.AddRBI(rbi.data(), rbi.size(), c.rbi)) << ToUtf8(c.recorded);
    WString folder = u"C:\\$RECYCLE.BIN\\" + kSid + u"\\";
    std::u16string rname = c.rbi;
    rname[1] = u'R';
    RecycledItem item{rname, kNodeFat, false};
    if (!r.Remap(&folder, &item, 10, 0)) {
      EXPECT_EQ(c.recorded.back(), u'\\');
      continue;
    }
    WString out;
    ASSERT_TRUE(BuildDestinationPath(root, folder, item.name, &out)) << ToUtf8(c.recorded);
    EXPECT_TRUE(IsBelowRoot(root, out)) << ToUtf8(out);
    EXPECT_EQ(ToUtf8(out).find("/../"), std::string::npos) << ToUtf8(out);
  }
}

TEST(Recycler, NodeFormTakesTheInternedName) {
  Recycler r;
  Bytes rbi = MakeRbi(u"C:\\work\\plan.txt", 10);
  ASSERT_TRUE(r.AddRBI(rbi.data(), rbi.size(), u"$IXYZ123.txt"));
  cnode* node = CreateNode(kNodeFat);
  ASSERT_NE(node, nullptr);
  uint8_t oldName[kCountedNameMaxBytes];
  node->name = MakeCountedName(WStringView(u"$RXYZ123.txt"), oldName);
  struct Pool {
    uint8_t buffer[kCountedNameMaxBytes];
    int calls = 0;
  } pool;
  auto intern = [](WStringView name, void* context) -> const uint8_t* {
    Pool* p = static_cast<Pool*>(context);
    ++p->calls;
    return MakeCountedName(name, p->buffer);
  };
  WString path = u"C:\\$RECYCLE.BIN\\" + kSid + u"\\";
  EXPECT_EQ(r.Remap(&path, node, 10, 0, intern, &pool), 1);
  EXPECT_EQ(pool.calls, 1);
  EXPECT_EQ(node->GetNameW(), u"plan.txt");
  EXPECT_EQ(path, u"C:\\work\\");
  node->name = nullptr;
  DeleteNode(&node);
}

// The $I files crafted into the basic image, read from their FILE records.
TEST(Recycler, RecordsFromTheImage) {
  std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "basic.img.xz cannot be unpacked (xz missing?)";
  auto inodes = ntfs_fixture::Inodes("basic");
  const std::string sid = "$RECYCLE.BIN/S-1-5-21-1004336348-1177238915-682003330-1000/";
  Recycler r;
  for (const char* name : {"$IAB12CD.txt", "$IFOLD01"}) {
    ASSERT_TRUE(inodes.count(sid + name)) << name;
    Bytes record = ntfs_fixture::ReadRecord(img, inodes[sid + name]);
    ASSERT_FALSE(record.empty()) << name;
    Bytes content = ntfs_fixture::ResidentValue(record, 0x80);
    ASSERT_EQ(content.size(), kRbiRecordBytes) << name;
    EXPECT_TRUE(r.AddRBI(content.data(), content.size(), FromUtf8(name))) << name;
  }
  // Sizes as the image holds them (fls and istat agree on the names).
  const WString bin = u"C:\\$RECYCLE.BIN\\" + kSid + u"\\";
  WString path = bin;
  RecycledItem item{u"$RAB12CD.txt", kNodeFat, false};
  ASSERT_EQ(r.Remap(&path, &item, 3000, 0), 1);
  EXPECT_EQ(path, u"C:\\Users\\ann\\Documents\\");
  EXPECT_EQ(item.name, u"report.txt");
  path = bin + u"$RFOLD01\\";
  item = {u"inner.txt", kNodeFat, false};
  ASSERT_EQ(r.Remap(&path, &item, 25, 0), 1);
  EXPECT_EQ(path, u"C:\\Users\\ann\\old\\");
}

}  // namespace
