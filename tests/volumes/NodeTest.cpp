#include "volumes/Node.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtentTree.h"
#include "foundation/Globals.h"
#include "foundation/TimeUtil.h"
#include "platform/Text.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "tests/volumes/ExtImage.h"
#include "volumes/DestinationPath.h"
#include "volumes/Extents.h"
#include "volumes/NodeTable.h"
#include "volumes/Streams.h"

namespace {

using fixtures::Bytes;

// ---------------------------------------------------------------- cluster code

TEST(Node, ClusterCode) {
  struct Case {
    uint32_t bytes, sectorSize;
    uint8_t code;
    uint32_t readBack;
  };
  const Case cases[] = {
      {4096, 512, 4, 4096},     // 8 sectors: code 4
      {512, 512, 1, 512},       // one sector
      {1024, 512, 2, 1024},     //
      {65536, 512, 8, 65536},   // 128 sectors
      {4096, 4096, 1, 4096},    // the drive's sector size decides, passed in
      {32768, 4096, 4, 32768},  // 8 sectors of 4096
      {3000, 512, 4, 4096},     // not a power of two: 8 sectors
      {256, 512, 4, 4096},      // smaller than a sector
      {4096, 0, 4, 0},          // no sector size: code 4, nothing to read back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + "/" + std::to_string(c.sectorSize));
    cnode node(kNodeFat | 0x0F);
    node.SetClusterBytes(c.bytes, c.sectorSize);
    EXPECT_EQ(node.kind & kNodeClusterCodeMask, c.code);
    EXPECT_EQ(node.Family(), kNodeFat);
    EXPECT_EQ(node.GetClusterBytes(c.sectorSize), c.readBack);
  }
  cnode zero(kNodeFat);
  EXPECT_EQ(zero.GetClusterBytes(512), 4096u);  // code 0: 8 sectors
  EXPECT_EQ(zero.GetClusterBytes(4096), 32768u);
}

// ---------------------------------------------------------------- records

TEST(Node, CreateAndDelete) {
  cnode* n = CreateNode(kNodeNtfs | 0x04);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->Family(), kNodeNtfs);
  EXPECT_EQ(n->id, kNoNodeId);
  EXPECT_EQ(n->volumeIndex, kNoVolume);
  EXPECT_EQ(n->typeIndex, kNoType);
  auto* s = static_cast<snode*>(n);
  EXPECT_EQ(s->creationTime, 0u);
  EXPECT_EQ(s->position, 0u);
  DeleteNode(&n);
  EXPECT_EQ(n, nullptr);
  DeleteNode(&n);  // null is fine
  EXPECT_EQ(CreateNode(0xA0), nullptr);
  EXPECT_EQ(CreateNode(0xF0), nullptr);
}

// A node with a name, runs, two streams and a chain of two pieces.
snode* RichNode(CNdArray& table) {
  auto* n = static_cast<snode*>(CreateNode(kNodeNtfs));
  n->name = table.InternName(u"report.doc");
  n->runs = reinterpret_cast<uint8_t*>(new XEntry());
  n->flags |= kNodeStreams | kNodeDeleted;
  XEntry* a = n->Pieces();
  a->recordNumber = 70;
  a->runs = MakeRuns(100, 4);
  auto* b = new XEntry();
  b->recordNumber = 71;
  b->runs = MakeRuns(900, 2);
  a->Add(b);
  n->streams = AddStreamSorted(n->streams, MakeRuns(5, 1), table.engineNames.InternName(u"b"), 10, 10);
  n->streams = AddStreamSorted(n->streams, nullptr, table.engineNames.InternName(u"a"), 0, 0);
  n->creationTime = 1;
  n->writeTime = 2;
  n->size = 12345;
  n->id = 42;
  n->parentId = 5;
  return n;
}

TEST(Node, CopyNodeIsDeep) {
  CNdArray table;
  snode* from = RichNode(table);
  cnode* to = CreateNode(kNodeNtfs);
  ASSERT_TRUE(to->CopyNode(from));
  auto* t = static_cast<snode*>(to);
  EXPECT_EQ(t->name, from->name);  // names are shared
  EXPECT_EQ(t->id, 42u);
  EXPECT_EQ(t->size, 12345u);
  EXPECT_EQ(t->writeTime, 2u);
  ASSERT_TRUE(t->HasPieces());
  EXPECT_NE(t->Pieces(), from->Pieces());
  EXPECT_EQ(GetClusterCountAll(t), 6);
  ASSERT_NE(t->streams, nullptr);
  EXPECT_NE(t->streams, from->streams);
  EXPECT_EQ(std::u16string(t->streams->name), u"a");
  // The copy outlives the source (ASan checks nothing is shared).
  cnode* fromHolder = from;
  DeleteNode(&fromHolder);
  EXPECT_EQ(GetClusterCountAll(t), 6);
  EXPECT_EQ(GetLargestLCN(t), 902);
  DeleteNode(&to);

  // Across families only the common fields and the run list go.
  CNdArray t2;
  cnode fat(kNodeFat | 0x02);
  fat.runs = MakeRuns(7, 3);
  fat.name = t2.InternName(u"A.TXT");
  snode s;
  ASSERT_TRUE(s.CopyFATInode(&fat));
  EXPECT_EQ(s.Family(), kNodeNtfs);
  EXPECT_EQ(s.kind & kNodeClusterCodeMask, 2);
  EXPECT_NE(s.runs, fat.runs);
  EXPECT_EQ(GetClusterCountAll(&s), 3);
}

TEST(Node, FindExtNeverDividesByUnknownCount) {
  CNdArray table;
  HTree* pieces = NewPieceTable();
  // The piece table holds record 71's piece; record 72's is missing.
  auto* stored = new XEntry();
  stored->recordNumber = 71;
  stored->firstVcn = 4;
  stored->lastVcn = 5;
  stored->baseRecord = 70;
  stored->runs = MakeRuns(900, 2);
  stored->realSize = 0;
  stored->allocatedSize = 2 * 4096;
  ASSERT_EQ(AddExt(stored, *pieces), stored);

  snode n;
  n.flags |= kNodeStreams;
  auto* a = new XEntry();
  a->recordNumber = 70;
  a->baseRecord = 70;
  a->lastVcn = 3;
  a->runs = MakeRuns(100, 4);
  a->realSize = 20000;
  a->initializedSize = 20000;
  a->allocatedSize = 4 * 4096;
  auto* b = new XEntry();
  b->recordNumber = 71;
  b->firstVcn = 4;
  b->baseRecord = 70;
  a->Add(b);
  n.runs = reinterpret_cast<uint8_t*>(a);
  // All pieces found: sizes from the chain, cluster size 4096 derived.
  EXPECT_FALSE(FindExt(&n, pieces, 512));
  EXPECT_EQ(n.size, 20000u);
  EXPECT_EQ(n.allocatedSize, 6u * 4096);
  EXPECT_EQ(n.GetClusterBytes(512), 4096u);

  // A missing piece: the count is unknown (-1) and the derivation skipped.
  auto* c = new XEntry();
  c->recordNumber = 72;
  c->firstVcn = 6;
  c->baseRecord = 70;
  a->Add(c);
  n.kind = kNodeNtfs | 1;
  n.allocatedSize = 0;
  EXPECT_TRUE(FindExt(&n, pieces, 512));
  EXPECT_EQ(GetClusterCountAll(&n), -1);
  EXPECT_EQ(n.kind & kNodeClusterCodeMask, 1);
  EXPECT_EQ(n.allocatedSize, 0u);

  // A chain of pieces with no clusters at all: count 0, also skipped.
  snode empty;
  empty.flags |= kNodeStreams;
  auto* e = new XEntry();
  e->runs = NewRunList(nullptr, 0);
  e->allocatedSize = 4096;
  empty.runs = reinterpret_cast<uint8_t*>(e);
  EXPECT_FALSE(FindExt(&empty, pieces, 512));
  EXPECT_EQ(empty.kind & kNodeClusterCodeMask, 0);
  FreePieceTable(pieces);
}

// ---------------------------------------------------------------- names

TEST(Node, ConvertNameToWide) {
  GlobalObjectsScope scope;
  struct Case {
    const char* what;
    Bytes bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      {"ascii", {'a', 'b'}, u"ab"},
      {"2-byte", {0xC3, 0xA9}, u"\u00E9"},
      {"3-byte", {0xE4, 0xB8, 0xAD}, u"\u4E2D"},
      {"4-byte to a surrogate pair", {0xF0, 0x9F, 0x98, 0x80}, u"\U0001F600"},
      {"cut 4-byte at the end", {'x', 0xF0, 0x9F, 0x98}, u"x\u00F0\u009F\u0098"},
      {"cut 3-byte at the end", {0xE4, 0xB8}, u"\u00E4\u00B8"},
      {"stray continuation", {0x80, 'a'}, u"\u0080a"},
      {"overlong slash stays no slash", {0xC0, 0xAF}, u"\u00C0\u00AF"},
      {"overlong 3-byte dot", {0xE0, 0x80, 0xAE}, u"\u00E0\u0080\u00AE"},
      {"encoded surrogate", {0xED, 0xA0, 0x80}, u"\u00ED\u00A0\u0080"},
      {"beyond U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, u"\u00F4\u0090\u0080\u0080"},
      {"stops at NUL", {'a', 0, 'b'}, u"a"},
      {"kept raw", {'.', '.'}, u".."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // An exact-size heap copy: a read past the count shows under ASan.
    auto* exact = new uint8_t[c.bytes.size() + 1];
    std::copy(c.bytes.begin(), c.bytes.end(), exact);
    EXPECT_EQ(ConvertNameToWide(exact, c.bytes.size()), c.expected);
    delete[] exact;
  }
  // Buffer form: never ends on half a pair.
  const uint8_t emoji[] = {'a', 0xF0, 0x9F, 0x98, 0x80};
  char16_t out[3];
  EXPECT_EQ(ConvertNameToWide(emoji, sizeof emoji, out, 3), 1);
  EXPECT_EQ(std::u16string(out), u"a");
  EXPECT_EQ(ConvertPathToWide(reinterpret_cast<const uint8_t*>("\\d\xC3\xA9\\x"), 6), u"\\d\u00E9\\x");
}

TEST(Node, SanitizeName) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"aux", u"_ux"},   {u"COM1", u"_OM1"}, {u"lpt9", u"_pt9"}, {u"com0", u"com0"},
      {u"...", u"_.."},   {u"a.", u"a_"},     {u"a ", u"a_"},     {u"..", u"_.."},
      {u".", u"_."},      {u"a:b*c", u"a_b_c"}, {u"x\x01y", u"x_y"}, {u"a/b\\c", u"a_b_c"},
      {u"ok.txt", u"ok.txt"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(ToUtf8(in));
    EXPECT_EQ(SanitizeName(in), out);
  }
}

// ---------------------------------------------------------------- times

uint64_t FileTimeOf(int64_t seconds, uint32_t nanoseconds) {
  return uint64_t(seconds + kFileTimeUnixEpochSeconds) * uint64_t(kFileTimeUnitsPerSecond) + nanoseconds / 100;
}

TEST(Node, FormatDateTimeEdges) {
  ScopedTimeZone tz("UTC");
  EXPECT_EQ(FormatDateTime(0), u"1601/01/01 00:00:00");
  EXPECT_EQ(FormatDateTime(FileTimeOf(0, 0)), u"1970/01/01 00:00:00");
  // 9999-12-31 23:59:59 is the last time shown; a year above 9999 is not.
  const int64_t last = 253402300799;
  EXPECT_EQ(FormatDateTime(FileTimeOf(last, 999999999)), u"9999/12/31 23:59:59");
  EXPECT_EQ(FormatDateTime(FileTimeOf(last + 1, 0)), u"0000/00/00 00:00:00");
  EXPECT_EQ(FormatDateTime(UINT64_MAX), u"0000/00/00 00:00:00");
  {
    ScopedTimeZone india("IST-5:30");
    EXPECT_EQ(FormatDateTime(FileTimeOf(0, 0)), u"1970/01/01 05:30:00");
  }
  snode n;
  n.writeTime = FileTimeOf(86400, 0);
  n.creationTime = FileTimeOf(0, 0);
  EXPECT_EQ(n.GetTimeText(0), u"1970/01/02 00:00:00");
  EXPECT_EQ(n.GetTimeText(1), u"1970/01/01 00:00:00");
  uint64_t t = 7;
  cnode invalid(0xB0);
  EXPECT_FALSE(invalid.GetFileTime(&t, 0));
  EXPECT_EQ(t, 7u);
  EXPECT_EQ(invalid.GetTimeText(0), u"");
}

// ---------------------------------------------------------------- hostile names

std::string Hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

// The blocks of a folder or file through its extent tree (the reader under
// test; the extent tests check it against debugfs).
std::vector<uint64_t> DataBlocks(const fixtures::ExtImage& image, const uint8_t* inode) {
  ExtExtentReader reader(image.BlockSize(), [&](uint64_t block, uint8_t* buffer) {
    const uint8_t* p = image.Block(block);
    if (p) std::memcpy(buffer, p, image.BlockSize());
    return p != nullptr;
  });
  std::vector<uint64_t> blocks;
  if (!ExtLoadExtents(&reader, fixtures::ExtImage::BlockArea(inode), ext::kInodeBlockAreaBytes)) return blocks;
  for (size_t i = 0; i < reader.RunCount(); ++i)
    for (uint64_t b = reader.Runs()[i].lcn; b < reader.Runs()[i].lcnEnd; ++b) blocks.push_back(b);
  return blocks;
}

struct Found {
  std::u16string folder;  // model path, "\"-separated
  Bytes raw;
  uint32_t inode;
  bool isFolder;
};

// Walks the image from its root the way a folder parser does: "." and ".."
// folder entries are the links, everything else is an entry.
std::vector<Found> Walk(const fixtures::ExtImage& image) {
  std::vector<Found> found;
  std::vector<std::pair<uint32_t, std::u16string>> queue{{2, u"\\"}};
  for (size_t q = 0; q < queue.size(); ++q) {
    const auto [dir, path] = queue[q];
    const uint8_t* inode = image.Inode(dir);
    if (!inode) continue;
    for (const auto& e : image.Entries(DataBlocks(image, inode))) {
      const bool link = e.type == 2 && (e.name == Bytes{'.'} || e.name == Bytes{'.', '.'});
      if (link) continue;
      found.push_back({path, e.name, e.inode, e.type == 2});
      if (e.type == 2 && e.name != Bytes{'l', 'o', 's', 't', '+', 'f', 'o', 'u', 'n', 'd'}) {
        queue.push_back({e.inode, path + ConvertNameToWide(e.name.data(), e.name.size()) + u"\\"});
      }
    }
  }
  return found;
}

TEST(Node, HostileNamesStayInsideTheDestination) {
  GlobalObjectsScope scope;
  DV_NEED_FIXTURE("make_hostile_names.sh", "names");
  const std::string folder = FixtureCache();
  fixtures::ExtImage image;
  ASSERT_TRUE(image.Open(folder + "/hostile-names.img"));
  const std::vector<Found> found = Walk(image);

  // What the walk found is what the image was made with.
  std::set<std::string> manifest, walked;
  {
    std::istringstream in(ReadFileText(folder + "/hostile-names.names.txt"));
    std::string dir, kind, hex;
    while (in >> dir >> kind >> hex) manifest.insert(kind + " " + hex);
  }
  for (const Found& f : found) {
    if (f.raw == Bytes{'l', 'o', 's', 't', '+', 'f', 'o', 'u', 'n', 'd'}) continue;
    walked.insert(std::string(f.isFolder ? "d " : "r ") + Hex(f.raw));
  }
  EXPECT_EQ(walked, manifest);

  // Expected last components by the raw name's hex; long names checked
  // separately.
  const std::map<std::string, std::u16string> expected = {
      {"615c62", u"a_b"},
      {"63746c011b5b33316d580a", u"ctl__[31mX_"},
      {"746162096e616d65", u"tab_name"},
      {"656d6f6a692df09f98802e747874", u"emoji-\U0001F600.txt"},
      {"636f6e", u"con"},
      {"747261696c2e", u"trail."},
      {"626c616e6b20", u"blank "},
      {"2e2e2e", u"..."},
      {"2e68696464656e", u".hidden"},
      {"737562", u"sub"},
      {"433a", u"C:"},
      {"4449522e", u"DIR."},
      {"2e2e", u"_.."},
      {"2e2e2f2e2e2f657363617065", u".._.._escape"},
      {"612f62", u"a_b"},
      {"706c61696e2e747874", u"plain.txt"},
      {"696e2d632e747874", u"in-c.txt"},
      {"78", u"x"},
  };

  const TempFolder destTemp("hostile");
  const std::string dest = destTemp.Path();
  const WString root = FromUtf8(dest + "/out");
  ASSERT_EQ(mkdir((dest + "/out").c_str(), 0755), 0);
  CNdArray table;
  std::set<WString> paths;
  size_t checked = 0;
  for (const Found& f : found) {
    if (f.isFolder) continue;
    SCOPED_TRACE(Hex(f.raw));
    // Through the node model: raw name pooled, read back unchanged.
    snode* node = static_cast<snode*>(CreateNode(kNodeNtfs));
    const WString decoded = ConvertNameToWide(f.raw.data(), f.raw.size());
    node->name = table.InternName(decoded);
    node->id = f.inode;
    ASSERT_GE(table.SetAt(node), 0);
    EXPECT_EQ(node->GetNameW(), decoded);

    WString path;
    ASSERT_TRUE(BuildDestinationPath(root, f.folder, node->GetNameW(), &path));
    EXPECT_TRUE(IsBelowRoot(root, path));
    EXPECT_TRUE(paths.insert(path).second) << "two names met: " << ToUtf8(path);
    const WString last = path.substr(path.rfind(u'/') + 1);
    auto it = expected.find(Hex(f.raw));
    if (it != expected.end()) {
      EXPECT_EQ(last, it->second);
      ++checked;
    } else {
      // The two long names: at most 255 bytes of UTF-8, extension kept.
      EXPECT_LE(Utf8Length(last), kMaxComponentBytes);
      EXPECT_GT(Utf8Length(decoded), 240u);
      const WString ext = decoded.substr(decoded.rfind(u'.'));
      EXPECT_EQ(last.substr(last.size() - ext.size()), ext);
      if (Utf8Length(decoded) > kMaxComponentBytes) {
        EXPECT_TRUE(std::regex_search(ToUtf8(last), std::regex("~[0-9a-f]{8}\\.txt$"))) << ToUtf8(last);
        EXPECT_EQ(last.substr(0, 100), decoded.substr(0, 100));
      } else {
        EXPECT_EQ(last, decoded);
      }
      ++checked;
    }
    // Folder components of the model path are made safe the same way.
    if (f.folder == u"\\C:\\") {
      EXPECT_EQ(path, root + u"/C:/in-c.txt");
    }

    // Written for real: every file lands below the destination.
    const std::string utf8 = ToUtf8(path);
    const std::string parent = utf8.substr(0, utf8.rfind('/'));
    ASSERT_EQ(std::system(("mkdir -p '" + parent + "'").c_str()), 0);
    WriteFileText(utf8, "x");
    EXPECT_TRUE(ResolvesBelowRoot(root, path));
  }
  EXPECT_EQ(checked, 17u);
  // Nothing landed beside the destination folder.
  EXPECT_EQ(RunCommand("ls -A '" + dest + "'"), "out\n");
  EXPECT_EQ(RunCommand("find '" + dest + "/out' -type f | wc -l"), std::to_string(paths.size()) + "\n");
}

// Modification times of real inodes format as istat prints them.
TEST(Node, FormatDateTimeMatchesIstat) {
  GlobalObjectsScope scope;
  DV_NEED_FIXTURE("make_hostile_names.sh", "names");
  ScopedTimeZone tz("UTC");
  const std::string folder = FixtureCache();
  fixtures::ExtImage image;
  ASSERT_TRUE(image.Open(folder + "/hostile-names.img"));
  const std::regex modified(R"(File Modified:\s+(\d{4})-(\d\d)-(\d\d) (\d\d:\d\d:\d\d))");
  for (const char* tag : {"con", "plain"}) {
    SCOPED_TRACE(tag);
    const std::string text = ReadFileText(folder + "/hostile-names." + tag + ".istat.txt");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, modified));
    const std::regex inodeLine(R"(inode: (\d+))");
    std::smatch n;
    ASSERT_TRUE(std::regex_search(text, n, inodeLine));
    const uint8_t* inode = image.Inode(uint32_t(std::stoul(n[1])));
    ASSERT_NE(inode, nullptr);
    int64_t seconds;
    uint32_t ns;
    image.ModificationTime(inode, &seconds, &ns);
    snode node;
    node.writeTime = FileTimeOf(seconds, ns);
    const std::string want = std::string(m[1]) + "/" + std::string(m[2]) + "/" + std::string(m[3]) + " " +
                             std::string(m[4]);
    EXPECT_EQ(ToUtf8(node.GetTimeText(0)), want);
  }
}

}  // namespace
