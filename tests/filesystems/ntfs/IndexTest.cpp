#include "filesystems/ntfs/NtfsIndex.h"

#include "filesystems/ntfs/FolderPaths.h"
#include "filesystems/ntfs/IndexNames.h"
#include "volumes/NodeTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/FixtureImage.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testbytes::Get16;
using testbytes::Put16;
using testbytes::Put32;
using testbytes::Put64;

struct Entry {
  std::u16string name;
  uint32_t record = 100;
  uint32_t parent = 5;
  uint32_t allocated = 4096;
  bool directory = false;
  int lengthDelta = 0;  // added to the right entry length
  bool subnode = false;
};

// One "$I30" entry.
Bytes MakeEntry(const Entry& e) {
  size_t length = ((2 * e.name.size() + 89) >> 3) * 8 + (e.subnode ? 8 : 0);
  Bytes b(length, 0);
  Put64(b, 0, e.record | (uint64_t(1) << 48));
  Put16(b, 8, uint32_t(length + e.lengthDelta));
  Put16(b, 10, uint32_t(66 + 2 * e.name.size()));
  Put64(b, 16, e.parent | (uint64_t(3) << 48));
  Put64(b, 24, 0x01D0000000000001ull);
  Put64(b, 32, 0x01D0000000000002ull);
  Put64(b, 56, e.allocated);
  Put32(b, 72, e.directory ? 0x10000000 : 0x20);
  b[80] = uint8_t(e.name.size());
  for (size_t i = 0; i < e.name.size(); ++i) Put16(b, 82 + 2 * i, e.name[i]);
  return b;
}

// An INDX record of size bytes (4096: 4072 allocated, 9 strides) in its
// on-disk form: the last word of every 512 bytes moved into the update
// sequence array and replaced by the update-sequence number.
Bytes MakeIndx(const std::vector<Entry>& entries, size_t size = 4096, uint32_t vcn = 7) {
  Bytes r(size, 0);
  std::memcpy(r.data(), "INDX", 4);
  const size_t strides = size / 512;
  Put16(r, 4, 40);
  Put16(r, 6, uint32_t(strides + 1));
  Put64(r, 16, vcn);
  size_t first = (40 + 2 * (strides + 1) + 7) / 8 * 8;
  Put32(r, 24, uint32_t(first - 24));
  size_t pos = first;
  for (const Entry& e : entries) {
    Bytes b = MakeEntry(e);
    std::copy(b.begin(), b.end(), r.begin() + pos);
    pos += b.size();
  }
  // The end entry: 16 bytes, flag 2.
  Put16(r, pos + 8, 16);
  Put16(r, pos + 12, 2);
  pos += 16;
  Put32(r, 28, uint32_t(pos - 24));
  Put32(r, 32, uint32_t(size - 24));
  const uint16_t usn = 0x4242;
  Put16(r, 40, usn);
  for (size_t i = 0; i < strides; ++i) {
    size_t word = (i + 1) * 512 - 2;
    Put16(r, 40 + 2 * (i + 1), Get16(r, word));
    Put16(r, word, usn);
  }
  return r;
}

std::vector<Entry> SomeEntries(int n) {
  std::vector<Entry> out;
  for (int i = 0; i < n; ++i) {
    Entry e;
    e.name = u"file-" + FromUtf8(std::to_string(i)) + u".txt";
    e.record = 100 + i;
    e.parent = 42;
    out.push_back(e);
  }
  return out;
}

std::vector<std::string> Walk(CINDXItem& item) {
  std::vector<std::string> names;
  while (item.GetNextNode() >= 0) names.push_back(ToUtf8(item.name));
  return names;
}

class NtfsIndex : public ::testing::Test {
 protected:
  GlobalObjectsScope scope_;
};

TEST_F(NtfsIndex, CheckINDXSectorTable) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
    size_t available;  // 0: the whole record
    bool expect;
  };
  const Case cases[] = {
      {"plain record", [](Bytes&) {}, 0, true},
      {"one sector of it", [](Bytes&) {}, 512, true},
      {"fewer bytes than a sector", [](Bytes&) {}, 511, false},
      {"update-sequence count 8 for 4072 bytes", [](Bytes& r) { Put16(r, 6, 8); }, 0, false},
      {"allocated size 4000", [](Bytes& r) { Put32(r, 32, 4000); }, 0, false},
      {"odd update-sequence offset", [](Bytes& r) { Put16(r, 4, 41); }, 0, false},
      {"update-sequence number differs", [](Bytes& r) { Put16(r, 510, 0x1111); }, 0, false},
      {"entries offset not a multiple of 8", [](Bytes& r) { Put32(r, 24, Le32(&r[24]) + 4); }, 0, false},
      {"bytes in use not a multiple of 8", [](Bytes& r) { Put32(r, 28, Le32(&r[28]) + 2); }, 0, false},
      {"entries beyond the bytes in use", [](Bytes& r) { Put32(r, 24, 4000); }, 0, false},
      {"entry length 0", [](Bytes& r) { Put16(r, 64 + 8, 0); }, 0, false},
      {"name length 0", [](Bytes& r) { r[64 + 80] = 0; }, 0, false},
      {"entry length off by 8", [](Bytes& r) { Put16(r, 64 + 8, Get16(r, 64 + 8) + 16); }, 0, false},
      {"implausible allocated size", [](Bytes& r) { Put32(r, 64 + 56, 5000); }, 0, false},
  };
  for (const Case& c : cases) {
    Bytes r = MakeIndx(SomeEntries(5));
    c.change(r);
    size_t available = c.available ? c.available : r.size();
    Bytes exact(r.begin(), r.begin() + available);  // nothing past it to read
    uint32_t parent = 99, vcn = 99;
    EXPECT_EQ(CheckINDXSector(exact.data(), exact.size(), &parent, &vcn), c.expect) << c.what;
    if (c.expect) {
      EXPECT_EQ(parent, 42u) << c.what;
      EXPECT_EQ(vcn, 7u) << c.what;
    }
  }
}

TEST_F(NtfsIndex, CheckINDXSectorStopsAtAnEntryPastTheBytesRead) {
  // Long names: the third entry starts inside the first sector and ends
  // beyond it. Its name length lies past the 512 bytes read.
  std::vector<Entry> entries = SomeEntries(3);
  entries[0].name = std::u16string(60, u'a');  // 208 bytes
  entries[1].name = std::u16string(60, u'b');  // 208 bytes: ends at 480
  Bytes r = MakeIndx(entries);
  for (size_t available : {512, 520, 560}) {
    Bytes exact(r.begin(), r.begin() + available);
    EXPECT_TRUE(CheckINDXSector(exact.data(), exact.size(), nullptr, nullptr)) << available;
  }
  // A broken third entry is not looked at while it lies past the bytes read,
  // and is refused once it is all there.
  entries[2].name = u"";  // name length 0
  r = MakeIndx(entries);
  Bytes part(r.begin(), r.begin() + 512);
  EXPECT_TRUE(CheckINDXSector(part.data(), part.size(), nullptr, nullptr));
  EXPECT_FALSE(CheckINDXSector(r.data(), r.size(), nullptr, nullptr));
}

TEST_F(NtfsIndex, SizesOfRecords) {
  for (size_t size : {2048, 4096, 8192}) {
    Bytes r = MakeIndx(SomeEntries(3), size);
    EXPECT_TRUE(CheckINDXSector(r.data(), r.size(), nullptr, nullptr)) << size;
    CINDXItem item;
    ASSERT_EQ(item.SetINDXBuf(r.data(), r.size(), int(size)), 0) << size;
    EXPECT_EQ(Walk(item), (std::vector<std::string>{"file-0.txt", "file-1.txt", "file-2.txt"})) << size;
  }
}

TEST_F(NtfsIndex, WalkTakesEveryField) {
  std::vector<Entry> entries = SomeEntries(2);
  entries[1].directory = true;
  entries[1].subnode = true;  // an entry of a node that has a subnode
  entries[1].name = u"sub folder \u00e9";
  Bytes r = MakeIndx(entries);
  CINDXItem item;
  ASSERT_EQ(item.SetINDXBuf(r.data(), r.size()), 0);
  EXPECT_EQ(item.GetNextNode(), 42);
  EXPECT_EQ(item.fileRecord, 100u);
  EXPECT_EQ(item.parentRecord, 42);
  EXPECT_EQ(ToUtf8(item.name), "file-0.txt");
  EXPECT_EQ(item.creationTime, 0x01D0000000000001ull);
  EXPECT_EQ(item.modificationTime, 0x01D0000000000002ull);
  EXPECT_FALSE(item.isDirectory);
  EXPECT_EQ(item.GetNextNode(), 42);
  EXPECT_EQ(item.fileRecord, 101u);
  EXPECT_EQ(item.name, u"sub folder \u00e9");
  EXPECT_TRUE(item.isDirectory);
  EXPECT_EQ(item.GetNextNode(), -1);  // the end entry is no name
  EXPECT_EQ(item.parentRecord, -1);
}

TEST_F(NtfsIndex, EntryLengthRule) {
  // Name length 12: e = ((24 + 89) >> 3) * 4 = 56, so 112 or 120.
  struct Case {
    int delta;
    bool subnode;
    bool accepted;
  };
  const Case cases[] = {{0, false, true}, {0, true, true}, {-8, false, false}, {8, true, false}, {16, false, false}};
  for (const Case& c : cases) {
    Entry e;
    e.name = u"twelve-chars";
    e.subnode = c.subnode;
    e.lengthDelta = c.delta;
    ASSERT_EQ(e.name.size(), 12u);
    Bytes r = MakeIndx({e, SomeEntries(1)[0]});
    CINDXItem item;
    ASSERT_EQ(item.SetINDXBuf(r.data(), r.size()), 0);
    EXPECT_EQ(item.GetNextNode() >= 0, c.accepted) << c.delta << " " << c.subnode;
    if (c.accepted) {
      EXPECT_EQ(Get16(MakeEntry(e), 8), c.subnode ? 120 : 112);
    }
  }
}

TEST_F(NtfsIndex, TornStrideIsKeptAndWalked) {
  Bytes r = MakeIndx(SomeEntries(30));
  Put16(r, 1022, 0x7777);  // the second stride never reached the disk
  CINDXItem item;
  ASSERT_EQ(item.SetINDXBuf(r.data(), r.size()), 0);
  EXPECT_EQ(Get16(r, 1022), 0x7777);
  EXPECT_NE(Get16(r, 510), 0x4242);  // the others are mended
  EXPECT_NE(Get16(r, 1534), 0x4242);
  EXPECT_GT(Walk(item).size(), 5u);
}

TEST_F(NtfsIndex, FixUpEvery512BytesWhateverTheSectorSize) {
  // On a volume of 4096-byte sectors the record still carries nine strides.
  Bytes r = MakeIndx(SomeEntries(38));
  CINDXItem item;
  ASSERT_EQ(item.SetINDXBuf(r.data(), r.size(), 4096), 0);
  for (size_t i = 1; i <= 8; ++i) EXPECT_NE(Get16(r, i * 512 - 2), 0x4242) << i;
  EXPECT_EQ(Walk(item).size(), 38u);
}

TEST_F(NtfsIndex, SetINDXBufRefusesInconsistentHeaders) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
    size_t available;
  };
  const Case cases[] = {
      {"bytes in use past the bytes read", [](Bytes&) {}, 1024},
      {"entries offset odd", [](Bytes& r) { Put32(r, 24, 41); }, 0},
      {"bytes in use odd", [](Bytes& r) { Put32(r, 28, 1001); }, 0},
      {"entries at the end", [](Bytes& r) { Put32(r, 24, Le32(&r[28])); }, 0},
      {"header cut", [](Bytes&) {}, 30},
      {"huge update-sequence count", [](Bytes& r) { Put16(r, 6, 0xFFFF); }, 2000},
      {"update-sequence array past the end", [](Bytes& r) { Put16(r, 4, 0xFFF0); }, 0},
  };
  for (const Case& c : cases) {
    Bytes r = MakeIndx(SomeEntries(30));
    c.change(r);
    Bytes exact(r.begin(), r.begin() + (c.available ? c.available : r.size()));
    CINDXItem item;
    if (std::string(c.what).find("update-sequence") != std::string::npos) {
      item.SetINDXBuf(exact.data(), exact.size());  // must stay in bounds
      continue;
    }
    EXPECT_EQ(item.SetINDXBuf(exact.data(), exact.size()), -1) << c.what;
    EXPECT_EQ(item.GetNextNode(), -1) << c.what;
  }
}

TEST_F(NtfsIndex, IndexRootLengthLimits) {
  struct Case {
    uint32_t length;
    size_t size;
    int expect;
  };
  const Case cases[] = {{144, 400, -1}, {152, 400, 0}, {156, 400, -1}, {400, 400, 0}, {408, 400, -1}, {152, 6, -1}};
  for (const Case& c : cases) {
    Bytes a(std::max<size_t>(c.size, 8), 0);
    Put32(a, 0, 0x90);
    Put32(a, 4, c.length);
    CINDXItem item;
    EXPECT_EQ(item.SetBuf(a.data(), c.size), c.expect) << c.length << " " << c.size;
  }
}

TEST_F(NtfsIndex, GetINDXOwnerTable) {
  Bytes r = MakeIndx(SomeEntries(2));
  EXPECT_EQ(GetINDXOwner(r.data(), r.size()), 42u | (uint64_t(3) << 48));
  Bytes odd = r;
  Put32(odd, 24, 36);
  EXPECT_EQ(GetINDXOwner(odd.data(), odd.size()), 0u);
  Bytes far = r;
  Put32(far, 24, 240);  // would start at 264
  EXPECT_EQ(GetINDXOwner(far.data(), far.size()), 0u);
  Put32(far, 24, 224);  // starts at 248: allowed
  EXPECT_EQ(GetINDXOwner(far.data(), far.size()), Le64(&far[248 + 16]));
  EXPECT_EQ(GetINDXOwner(r.data(), 60), 0u);  // its parent reference not read
}

// ---- real folders written by ntfs-3g ----

// Names fls lists directly in a folder (path prefix "folder/").
std::vector<std::string> FlsNames(const std::string& image, const std::string& folder) {
  std::vector<std::string> out;
  for (const std::string& line : ntfs_fixture::Lines(ntfs_fixture::Report(image, "fls"))) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string path = line.substr(tab + 1);
    if (path.rfind(folder + "/", 0) != 0) continue;
    std::string name = path.substr(folder.size() + 1);
    if (name.find('/') != std::string::npos || name.find(':') != std::string::npos) continue;
    out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Walks every INDX buffer of a folder's $INDEX_ALLOCATION, read at the
// clusters istat lists; one index record per cluster.
std::vector<std::string> IndxNames(const std::string& image, const std::string& path, uint64_t folder,
                                   size_t cluster, int sectorSize) {
  std::vector<std::string> names;
  std::vector<uint64_t> clusters =
      ntfs_fixture::IstatClusters(ntfs_fixture::IstatOf(image, folder), "$INDEX_ALLOCATION");
  EXPECT_GT(clusters.size(), 0u);
  for (size_t i = 0; i < clusters.size(); ++i) {
    Bytes r = ntfs_fixture::ReadAt(path, clusters[i] * cluster, 4096);
    EXPECT_EQ(r.size(), 4096u);
    if (r.size() != 4096 || std::memcmp(r.data(), "INDX", 4) != 0) continue;
    uint32_t parent = 0, vcn = 0;
    EXPECT_TRUE(CheckINDXSector(r.data(), r.size(), &parent, &vcn)) << i;
    EXPECT_EQ(parent, folder) << i;
    EXPECT_EQ(vcn, i * 4096 / cluster) << i;
    CINDXItem item;
    EXPECT_EQ(item.SetINDXBuf(r.data(), r.size(), sectorSize), 0) << i;
    while (item.GetNextNode() >= 0) {
      EXPECT_EQ(item.parentRecord, int64_t(folder));
      names.push_back(ToUtf8(item.name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

Bytes ReadRecord(const std::string& img, uint64_t number) { return ntfs_fixture::ReadRecord(img, number); }

// The names of a folder's $INDEX_ROOT; false when the record or the
// attribute is missing.
bool RootNames(const std::string& img, uint64_t number, std::vector<std::string>* names) {
  Bytes r = ReadRecord(img, number);
  if (r.empty()) return false;
  size_t at = Get16(r, 20);
  while (at + 8 <= r.size() && Le32(&r[at]) != 0xFFFFFFFF && Le32(&r[at + 4]) > 0) {
    if (Le32(&r[at]) == 0x90) {
      CINDXItem item;
      // An index root with no named entry is shorter than the least length.
      if (item.SetBuf(&r[at], r.size() - at) != 0) return Le32(&r[at + 4]) <= 144;
      while (item.GetNextNode() >= 0) {
        EXPECT_EQ(item.parentRecord, int64_t(number));
        names->push_back(ToUtf8(item.name));
      }
      return true;
    }
    at += Le32(&r[at + 4]);
  }
  return false;
}

TEST_F(NtfsIndex, BigFolderIndexGivesTheNamesFlsLists) {
  std::string img = ntfs_fixture::Image("bigdir");
  if (img.empty()) GTEST_SKIP() << "bigdir.img.xz cannot be unpacked (xz missing?)";
  auto inodes = ntfs_fixture::Inodes("bigdir");
  std::vector<std::string> fls = FlsNames("bigdir", "big");
  ASSERT_EQ(fls.size(), 1500u);
  std::vector<std::string> names = IndxNames("bigdir", img, inodes["big"], 4096, 512);
  ASSERT_TRUE(RootNames(img, inodes["big"], &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, fls);
}

TEST_F(NtfsIndex, FolderOnA4096ByteSectorVolume) {
  std::string img = ntfs_fixture::Image("sect4096");
  if (img.empty()) GTEST_SKIP() << "sect4096.img.xz cannot be unpacked (xz missing?)";
  auto inodes = ntfs_fixture::Inodes("sect4096");
  std::vector<std::string> fls = FlsNames("sect4096", "dir");
  ASSERT_EQ(fls.size(), 200u);
  std::vector<std::string> names = IndxNames("sect4096", img, inodes["dir"], 4096, 4096);
  ASSERT_TRUE(RootNames(img, inodes["dir"], &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, fls);
}

TEST_F(NtfsIndex, IndexRootOfSmallFolders) {
  std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "basic.img.xz cannot be unpacked (xz missing?)";
  const std::string sid = "$RECYCLE.BIN/S-1-5-21-1004336348-1177238915-682003330-1000";
  // A folder of one file keeps its index in the record.
  for (const std::string& folder : {sid + "/$RFOLD01"}) {
    uint64_t inode = ntfs_fixture::FlsInode("basic", folder);
    ASSERT_NE(inode, 0u) << folder;
    std::vector<std::string> names;
    ASSERT_TRUE(RootNames(img, inode, &names)) << folder;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, FlsNames("basic", folder)) << folder;
  }
}

// Folder names from index buffers: every named entry, at most 200 a
// buffer; an inconsistent buffer gives -1.
TEST_F(NtfsIndex, MapNodesTakesTheNamedEntries) {
  std::vector<Entry> entries = SomeEntries(3);
  entries[1].directory = true;
  Bytes r = MakeIndx(entries);
  std::vector<IndexEntryName> got;
  EXPECT_EQ(MapNodes(r.data(), r.size(), [&](const IndexEntryName& e) { got.push_back(e); }), 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].record, 101u);
  EXPECT_EQ(got[1].parent, 42u);
  EXPECT_EQ(got[1].name, u"file-1.txt");
  EXPECT_TRUE(got[1].directory);
  EXPECT_FALSE(got[0].directory);
  Bytes many = MakeIndx(SomeEntries(300), 65536);
  size_t n = 0;
  EXPECT_EQ(MapNodes(many.data(), many.size(), [&](const IndexEntryName&) { n++; }), 200);
  EXPECT_EQ(n, 200u);
  Bytes cut = MakeIndx(entries);
  EXPECT_EQ(MapNodes(cut.data(), 100, [](const IndexEntryName&) {}), -1);
}

// Paths through folders known only by an index entry.
TEST_F(NtfsIndex, IndexedFoldersInPaths) {
  struct Case {
    const char* what;
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, std::u16string>> indexed;  // group, record, parent, name
    uint32_t group, parent;
    std::u16string path;
  };
  const uint32_t any = NtfsFolderPaths::kAnyGroup;
  const std::vector<Case> cases = {
      {"a folder under the root", {{0, 70, 5, u"d03"}}, 0, 70, u"\\d03\\"},
      {"two levels", {{0, 70, 5, u"d03"}, {0, 71, 70, u"a"}}, 0, 71, u"\\d03\\a\\"},
      {"another group's name is not used", {{1, 70, 5, u"d03"}}, 0, 70, u"\\Extra files\\Folder70\\"},
      {"a name for every group", {{any, 70, 5, u"d03"}}, 3, 70, u"\\d03\\"},
      {"a long name replaces the short one", {{0, 70, 5, u"LONGNA~1"}, {0, 70, 5, u"Long name"}}, 0, 70,
       u"\\Long name\\"},
      {"a short name never replaces a long one", {{0, 70, 5, u"Long name"}, {0, 70, 5, u"LONGNA~1"}}, 0, 70,
       u"\\Long name\\"},
      {"a loop breaks off", {{0, 70, 71, u"x"}, {0, 71, 70, u"y"}}, 0, 70, u"\\Extra files\\Folder70\\y\\x\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CNdArray nodes;
    NtfsFolderPaths paths(nodes);
    for (const auto& [group, record, parent, name] : c.indexed) paths.AddIndexedFolder(group, record, parent, name);
    EXPECT_EQ(ToUtf8(paths.Path(c.group, c.parent).path), ToUtf8(c.path));
  }
}

}  // namespace
