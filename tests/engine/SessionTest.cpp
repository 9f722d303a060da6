// Session files: the format's cases as a table, the readers' robustness
// against cut and damaged files, the sources a load refuses, and the round
// trip of real scans through dvscan (--save-session, then --load-session in
// a new process: the same list, and icat's bytes on recovery).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Session.h"
#include "engine/SessionService.h"
#include "tests/engine/SessionRead.h"
#include "filesystems/fat/FatNode.h"
#include "filesystems/fat/FatSession.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/RaidSettings.h"
#include "filesystems/fat/FatVolume.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/Globals.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/RaidMembers.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Streams.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"

namespace {

// The messages the load reports are the program's own.
const bool kMessages = (InitMessageTable(), true);

// A session written from parts: the sections in order.
struct Parts {
  SessionParms parms;
  std::vector<CVol*> volumes;  // owned by the test's holder
  const CSectRanges* ranges = nullptr;
  uint32_t unit = 512;
  CNdArray nodes;
  std::vector<SessionListItem> list;
};

void Write(const std::string& path, Parts& p) {
  SLSession s(FromUtf8(path));
  s.SaveParms(p.parms);
  s.WriteTwoBytes(0, 0);
  s.SavePartitions(p.volumes);
  s.SaveExclusionRanges(p.ranges, p.unit);
  s.SaveInodes(p.nodes);
  s.SaveList(p.list);
  s.Commit();
}

// Reads every section; "" on success, else the last error.
std::string Read(const std::string& path, std::unique_ptr<SLSession>* keep = nullptr,
                 std::vector<std::pair<int64_t, WString>>* items = nullptr, uint64_t lastUnit = 1 << 20) {
  return ReadSessionFile(path, keep, items, lastUnit);
}

snode* AddNtfsNode(CNdArray& t, int64_t at, const char16_t* name) {
  auto* n = static_cast<snode*>(CreateNode(kNodeNtfs));
  n->name = t.InternName(name);
  while (int64_t(t.Count()) < at) t.SetAt(nullptr);
  t.SetAt(n, at);
  return n;
}

struct VolumesHolder {
  std::vector<CVol*> v;
  ~VolumesHolder() {
    for (CVol*& x : v) DeleteVol(&x);
  }
};

}  // namespace

// ---- the format's cases ----

TEST(SessionFormatTest, NamesListRingRangesAndIndexes) {
  const TempFolder temp("session_fmt");
  const std::string file = temp.Path() + "/a.dvs";
  Parts p;
  p.parms.sourceName = u"/images/disk.img";
  p.parms.lookFor = u"*.jpg";
  VolumesHolder vols;
  vols.v.push_back(CreateVol(kVolNtfs));
  vols.v[0]->type = kVolNtfs;
  vols.v[0]->startSector = 2048;
  vols.v[0]->sizeSectors = 100000;
  vols.v[0]->driveLetter[0] = u'C';
  vols.v[0]->label = u"Data";
  p.volumes = vols.v;
  CSectRanges ranges;
  ranges.AddRange(0, 1048576);
  ranges.MakeArrayFromTree();
  p.ranges = &ranges;
  // Indexes 0, 5 and 9 in a table of 12.
  snode* a = AddNtfsNode(p.nodes, 0, u"latin\u00e9.txt");
  AddNtfsNode(p.nodes, 5, u"\u4e2d\u6587.doc");
  AddNtfsNode(p.nodes, 9, u"x");
  while (p.nodes.Count() < 12) p.nodes.SetAt(nullptr);
  a->size = 12345;
  a->volumeIndex = 0;
  a->creationTime = 132000000000000000ull;
  uint8_t pairs[] = {0x11, 0x04, 0x20};
  a->runs = NewRunList(pairs, sizeof pairs);
  a->streams = new NTFSStream(NewRunList(pairs, sizeof pairs), p.nodes.engineNames.InternName(u"Zone"), 7, 7);
  for (int64_t i : {0, 5, 9}) p.list.push_back({i, u"\\dir\\"});
  Write(file, p);

  const std::string text = ReadFileText(file);
  EXPECT_EQ(text.substr(0, 17), "Delvora format 8 ");
  EXPECT_NE(text.find("A 10 latin\xe9.txt\r\n"), std::string::npos);
  EXPECT_NE(text.find("U 12 \x2d\x4e\x87\x65.\0d\0"), std::string::npos);
  EXPECT_NE(text.find("Ex: 1 512\r\n0 2047\r\n"), std::string::npos);
  EXPECT_NE(text.find("Inodes: 12 3\r\n"), std::string::npos);
  // One folder: written once, then the distance 0.
  EXPECT_NE(text.find("0 A 5 \\dir\\\r\n5 0\r\n9 0\r\n"), std::string::npos);
  EXPECT_NE(text.find("s=2\r\n"), std::string::npos);
  EXPECT_EQ(text.find("cfg"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  std::unique_ptr<SLSession> s;
  std::vector<std::pair<int64_t, WString>> items;
  ASSERT_EQ(Read(file, &s, &items), "");
  ASSERT_EQ(s->nodes->Count(), 10u);
  for (uint32_t i = 0; i < 10; i++) EXPECT_EQ(s->nodes->GetAt(i) != nullptr, i == 0 || i == 5 || i == 9) << i;
  const auto* b = static_cast<const snode*>(s->nodes->GetAt(0));
  EXPECT_EQ(b->GetNameW(), u"latin\u00e9.txt");
  EXPECT_EQ(s->nodes->GetAt(5)->GetNameW(), u"\u4e2d\u6587.doc");
  EXPECT_EQ(b->size, 12345u);
  EXPECT_EQ(b->creationTime, 132000000000000000ull);
  EXPECT_EQ(RunListBytes(b->runs), 3u);
  ASSERT_NE(b->streams, nullptr);
  EXPECT_EQ(WString(b->streams->name), u"Zone");
  EXPECT_EQ(b->streams->realSize, 7u);
  ASSERT_EQ(s->volumes.size(), 1u);
  EXPECT_EQ(s->volumes[0]->label, u"Data");
  EXPECT_EQ(s->volumes[0]->startSector, 2048u);
  EXPECT_EQ(s->volumes[0]->driveLetter[0], u'C');
  ASSERT_TRUE(s->exclusions);
  ASSERT_EQ(s->exclusions->List().size(), 1u);
  EXPECT_EQ(s->exclusions->List()[0].first, 0u);
  EXPECT_EQ(s->exclusions->List()[0].end, 1048576u);
  ASSERT_EQ(items.size(), 3u);
  for (const auto& it : items) EXPECT_EQ(it.second, u"\\dir\\");
}

TEST(SessionFormatTest, FormatNumbersAndHeaders) {
  const TempFolder temp("session_hdr");
  const std::string tail = " at 2026/12/10 10:00:00\r\n Parms: 0 0  0 0 0 0 \r\n 0 0\r\nPartitions: 0\r\nEx: 0 512\r\n"
                           "Inodes: 0 0\r\nList items: 0\r\n";
  const struct {
    const char* head;
    bool loads;
  } cases[] = {{"Delvora format 6", false}, {"Delvora format 7", true}, {"Delvora format 8", true},
               {"Delvor format 8", false},  {"Other format 8", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    const std::string f = temp.Path() + "/h.dvs";
    WriteFileText(f, std::string(c.head) + tail);
    const std::string e = Read(f);
    if (c.loads) EXPECT_EQ(e, "");
    else EXPECT_EQ(e, "Software version and session file are incompatible.");
  }
}

// A FAT volume line: the geometry example, and a node of the FAT family.
TEST(SessionFormatTest, FatGeometryAndNodeRoundTrip) {
  FatSessionGeometry g;
  g.sectorsPerFat = 100;
  g.fatCount = 2;
  g.reservedSectors = 32;
  g.rootSectors = 0;
  ASSERT_TRUE(DeriveFatGeometry(4096, 512, 100000, &g));
  EXPECT_EQ(g.sectorsPerCluster, 8u);
  EXPECT_EQ(g.firstDataSector, 232u);
  EXPECT_EQ(g.clusterZeroSector, 216);
  EXPECT_EQ(g.clusterBound, (100000u - 232u) / 8 + 1);
  FatSessionGeometry none = g;
  none.fatCount = 0;
  EXPECT_FALSE(DeriveFatGeometry(4096, 512, 100000, &none));
  EXPECT_FALSE(DeriveFatGeometry(4096, 512, 200, &g));  // areas past the volume

  const TempFolder temp("session_fat");
  const std::string f = temp.Path() + "/f.dvs";
  const std::string head = "Delvora format 8 at 2026/12/10 10:00:00\r\nParms: 0 0  0 0 0 0 \r\n 0 0\r\nPartitions: 1\r\n";
  WriteFileText(f, head + "3 63 100000 2 4096 512 100 2 32 0\r\nA 4 DISK\r\nEx: 0 512\r\nInodes: 1 1\r\ns=0\r\nA 5 a.txt\r\n"
                          "i=0 0 2 0 4294967295 33 10\r\n0 5 1 2 3 4 5 0\r\n6 110203\r\nList items: 1\r\n0 A 1 \\\r\n");
  std::unique_ptr<SLSession> s;
  ASSERT_EQ(Read(f, &s), "");
  ASSERT_EQ(s->volumes.size(), 1u);
  EXPECT_EQ(s->volumes[0]->type, kVolFat32);
  EXPECT_EQ(s->volumes[0]->dataAreaSector, 216u);  // where cluster 0 would lie
  EXPECT_EQ(s->volumes[0]->sectorsPerCluster, 8u);
  EXPECT_EQ(s->volumes[0]->label, u"DISK");
  const auto* n = static_cast<const FATInode*>(s->nodes->GetAt(0));
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->Family(), kNodeFat);
  EXPECT_EQ(n->creationTenMs, 5);
  EXPECT_EQ(n->writeDate, 5);
  EXPECT_EQ(n->accessDate, 3);
  EXPECT_EQ(RunListBytes(n->runs), 3u);

  // And back out: the same tail.
  Parts p;
  p.volumes = s->volumes;
  p.nodes.SetAt(s->nodes->TakeAt(0));
  const std::string g2 = temp.Path() + "/g.dvs";
  Write(g2, p);
  const std::string text = ReadFileText(g2);
  EXPECT_NE(text.find("0 5 1 2 3 4 5 0\r\n6 110203\r\n"), std::string::npos) << text;
}

TEST(SessionFormatTest, CfgLineDecodes) {
  std::string commands;
  const std::string text = EncodeSessionCfg("A100B200P65544J0", false);
  ASSERT_TRUE(DecodeSessionCfg(text, false, &commands));
  EXPECT_EQ(commands, "A100B200P65544J0");
  std::string other;
  ASSERT_TRUE(DecodeSessionCfg(text, true, &other));
  EXPECT_NE(other, commands);
  EXPECT_FALSE(DecodeSessionCfg("1234567", false, &commands));
  EXPECT_FALSE(DecodeSessionCfg("1234567g", false, &commands));
  SessionParms p;
  ASSERT_TRUE(ApplySessionCfg("A100B200P65544", &p));
  EXPECT_EQ(p.partialStart, 100);
  EXPECT_EQ(p.partialSize, 200);
  EXPECT_EQ(p.sizeValue, 8 * 512);
  EXPECT_EQ(p.kind, 1);
  SessionParms q;
  EXPECT_FALSE(ApplySessionCfg("A100", &q));  // no drive-selection values
  EXPECT_FALSE(ApplySessionCfg("P65544X1", &q));

  // Through a file: the cfg line before "Parms:".
  const TempFolder temp("session_cfg");
  const std::string f = temp.Path() + "/c.dvs";
  WriteFileText(f, "Delvora format 8 at x\r\ncfg " + EncodeSessionCfg("A7B9P1", false) +
                       "\r\nParms: 1 0  5 0 0 0 \r\n 0 0\r\n");
  SLSession s(FromUtf8(f));
  SessionParms r;
  s.LoadParms(&r);
  EXPECT_EQ(r.scanMode, 1);
  EXPECT_EQ(r.partialStart, 7);
  EXPECT_EQ(r.partialSize, 9);
  EXPECT_EQ(r.sizeValue, 512);
}

TEST(SessionFormatTest, SourceNamesAreClassified) {
  const struct {
    const char16_t* name;
    int kind;
    const char16_t* normal;
  } cases[] = {{u"raid5(/a,/b,/c)", 1, u"RAID5(/a,/b,/c)"},
               {u"RAID0(/a,/b)", 1, u"RAID0(/a,/b)"},
               {u"span(/a,/b)", 2, u"SPAN(/a,/b)"},
               {u"vhd(/x.vhd)", 3, u"VHD(/x.vhd)"},
               {u"Vmdk(/x)", 3, u"VMDK(/x)"},
               {u"/images/disk.img", 4, u"/images/disk.img"},
               {u"\\\\.\\PhysicalDrive2", 5, u"\\\\.\\PhysicalDrive2"},
               {u"", 0, u""}};
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifySessionSource(c.name), c.kind) << ToUtf8(c.name);
    EXPECT_EQ(NormalizeSessionSource(c.name), c.normal);
  }
}

// ---- faults the reader refuses ----

TEST(SessionFormatTest, BadRecordsEndIn248) {
  const TempFolder temp("session_bad");
  const std::string head = "Delvora format 8 at x\r\nParms: 0 0  0 0 0 0 \r\n 0 0\r\nPartitions: 0\r\nEx: 0 512\r\n";
  const struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"parent index outside the table",
       "Inodes: 2 1\r\ns=0\r\nA 1 a\r\ni=0 65535 32 0 7 32 0\r\n0 0 0 0 0 0 0 0\r\n0 \r\n"},
      {"node index outside the table", "Inodes: 2 1\r\ns=1\r\nA 1 a\r\ni=2 65535 0 0 5 0 0\r\n"},
      {"volume index past the volumes", "Inodes: 2 1\r\ns=1\r\nA 1 a\r\ni=0 3 0 0 5 0 0\r\n"},
      {"name letter", "Inodes: 2 1\r\ns=1\r\nB 1 a\r\n"},
      {"odd U count", "Inodes: 2 1\r\ns=1\r\nU 3 abc\r\n"},
      {"run list longer than the file",
       "Inodes: 2 1\r\ns=0\r\nA 1 a\r\ni=0 65535 0 0 5 32 0\r\n0 0 0 0 0 0 0 0\r\n99999 00\r\n"},
      {"table size past what the records can hold", "Inodes: 100000000 1\r\n"},
      // A record count no product may be formed of (caught by UBSan).
      {"record count past the table", "Inodes: 218 9223372036854775807\r\n"},
      {"no Ex:", "Inodes: 0 0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string f = temp.Path() + "/b.dvs";
    std::string body = c.body;
    if (std::string(c.what) == "no Ex:") {
      WriteFileText(f, "Delvora format 8 at x\r\nParms: 0 0  0 0 0 0 \r\n 0 0\r\nPartitions: 0\r\nInodes: 0 0\r\n");
    } else {
      WriteFileText(f, head + body + "List items: 0\r\n");
    }
    EXPECT_EQ(Read(f).substr(0, 16), "Invalid file @ p");
  }
  // A volume type outside 1-12, and sizes that are not powers of two.
  for (const char* line : {"13 0 100 0 4096 512\r\nA 0 \r\n", "1 0 100 0 4096 500\r\nA 0 \r\n",
                           "1 0 100 0 256 512\r\nA 0 \r\n", "2 0 100 0 4096 512 1 0 1 1\r\nA 0 \r\n"}) {
    SCOPED_TRACE(line);
    const std::string f = temp.Path() + "/v.dvs";
    WriteFileText(f, std::string("Delvora format 8 at x\r\nParms: 0 0  0 0 0 0 \r\n 0 0\r\nPartitions: 1\r\n") + line +
                         "Ex: 0 512\r\nInodes: 0 0\r\nList items: 0\r\n");
    EXPECT_EQ(Read(f).substr(0, 16), "Invalid file @ p");
  }
}

// A real session cut at 64 lengths and with bytes changed at 64 places:
// every load ends in success or message 248 (or a read error), never worse.
TEST(SessionFormatTest, CutAndDamagedFilesNeverCrash) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder temp("session_cut");
  const std::string good = temp.Path() + "/good.dvs";
  const CommandRun run =
      RunCommandStatus(std::string("'") + DV_BINARY_DIR + "/bin/dvscan' --save-session '" + good + "' '" + img + "'");
  ASSERT_EQ(run.rc, 0) << run.out;
  const std::string bytes = ReadFileText(good);
  ASSERT_GT(bytes.size(), 1000u);
  const std::string f = temp.Path() + "/x.dvs";
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245 + 12345; };
  int ok = 0, refused = 0;
  for (int k = 0; k < 128; k++) {
    std::string b = bytes;
    if (k < 64) {
      b.resize(size_t(next() % b.size()));
    } else {
      b[next() % b.size()] ^= char(1 + next() % 255);
    }
    WriteFileText(f, b);
    const std::string e = Read(f);
    if (e.empty()) ok++;
    else {
      refused++;
      const bool known = e.rfind("Invalid file @", 0) == 0 || e.rfind("Software version", 0) == 0;
      EXPECT_TRUE(known) << e;
    }
  }
  EXPECT_GT(refused, 60);
}

// ---- saving ----

TEST(SessionSaveTest, FailedSaveKeepsTheEarlierFile) {
  const TempFolder temp("session_keep");
  const std::string f = temp.Path() + "/s.dvs";
  WriteFileText(f, "earlier");
  SessionSaveRequest r;
  r.path = FromUtf8(f);
  VolumesHolder vols;
  vols.v.push_back(CreateVol(kVolUnknown));  // a volume no session can hold
  NTFSObj engine(nullptr);
  engine.volumes.push_back(vols.v[0]);
  vols.v.clear();
  r.engine = &engine;
  EXPECT_FALSE(SaveSession(r));
  EXPECT_EQ(ReadFileText(f), "earlier");
  EXPECT_EQ(RunCommand("ls -A '" + temp.Path() + "'"), "s.dvs\n");  // no temporary file left
}

// A RAID source keeps its layout: block size, rotation (the kind, shifted
// by 4) and delay in "Parms:", a RAID 6 set's generator choices in the
// two-byte line; a load makes them the set's settings again. A file without
// them (an earlier one, or a source that is no RAID) or with values no
// layout has leaves the settings alone.
TEST(SessionSaveTest, RaidLayoutIsKeptAndTakenBack) {
  const TempFolder temp("session_raid");
  const WString raid6 = u"RAID6(/m/a.img,/m/b.img,/m/c.img,/m/d.img)";
  RaidSettings set;
  set.stripeBytes = 16384;
  set.parityGroup = 16;
  set.rotation = 2;
  set.coefficientMode = 1;
  set.order = 2;
  SetRaidSettings(raid6, set);
  const struct {
    WString source;
    std::string parms, twoBytes;
  } cases[] = {
      {raid6, " 16384 32 16 ", "\r\n 1 2\r\n"},
      {u"raid6(/m/a.img,/m/b.img,/m/c.img,/m/d.img)", " 0 0 0 ", "\r\n 0 0\r\n"},  // no settings stored
      {u"/m/plain.img", " 0 0 0 ", "\r\n 0 0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.source));
    SessionSaveRequest r;
    r.path = FromUtf8(temp.Path() + "/r.dvs");
    r.parms.sourceName = c.source;
    ASSERT_TRUE(SaveSession(r)) << ToUtf8(LastErrorText());
    const std::string text = ReadFileText(temp.Path() + "/r.dvs");
    const size_t at = text.find("Parms: ");
    ASSERT_NE(at, std::string::npos);
    const std::string line = text.substr(at, text.find("\r\n", at) - at);
    EXPECT_NE(line.find(c.parms), std::string::npos) << line;
    EXPECT_NE(text.find(c.twoBytes, at), std::string::npos);
  }

  // Loaded in a run that knows nothing of the set.
  SessionSaveRequest r;
  r.path = FromUtf8(temp.Path() + "/raid6.dvs");
  r.parms.sourceName = raid6;
  ASSERT_TRUE(SaveSession(r));
  ClearRaidSettings();
  SessionParms parms;
  int two[2] = {-1, -1};
  ASSERT_NE(BeginSessionLoad(r.path, &parms, two), nullptr);
  EXPECT_EQ(parms.kind, 2);
  RaidSettings back;
  ASSERT_TRUE(FindRaidSettings(raid6, &back));
  EXPECT_EQ(back.stripeBytes, 16384);
  EXPECT_EQ(back.parityGroup, 16);
  EXPECT_EQ(back.rotation, 2);
  EXPECT_EQ(back.coefficientMode, 1);
  EXPECT_EQ(back.order, 2);

  // An earlier file (size value 0) and values outside every layout.
  const std::string definition = "RAID5(/m/a.img,/m/b.img,/m/c.img)";
  for (const std::string& values : {std::string(" 0 0 0 "), std::string(" 16384 144 1 "), std::string(" 1000 16 1 "),
                                    std::string(" 16384 16 0 ")}) {
    SCOPED_TRACE(values);
    ClearRaidSettings();
    const std::string f = temp.Path() + "/old.dvs";
    WString wide = FromUtf8(definition);
    std::string name;
    for (char16_t ch : wide) name += {char(ch & 0xFF), char(ch >> 8)};
    WriteFileText(f, "Delvora format 8 at x\r\nParms: 0 " + std::to_string(name.size()) + " " + name + values +
                         "0 \r\n 0 0\r\n");
    SessionParms p;
    ASSERT_NE(BeginSessionLoad(FromUtf8(f), &p, two), nullptr) << ToUtf8(LastErrorText());
    EXPECT_FALSE(FindRaidSettings(FromUtf8(definition), &back));
  }
  ClearRaidSettings();
}

TEST(SessionSaveTest, TargetsMustBeFullPathsOfRegularFiles) {
  const TempFolder temp("session_target");
  const struct {
    std::string path;
    bool ok;
  } cases[] = {{temp.Path() + "/new.dvs", true}, {"relative.dvs", false}, {temp.Path(), false},
               {"/dev/null", false},             {"/dev/sda", false},    {temp.Path() + "/", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(CheckSessionTarget(FromUtf8(c.path)), c.ok);
    if (!c.ok) {
      EXPECT_EQ(ToUtf8(LastErrorText()), "'" + c.path + "' is not a valid full-path filename.");
    }
  }
}

// ---- sources ----

TEST(SessionSourceTest, MissingAndSpecialSourcesAreRefused) {
  const TempFolder temp("session_src");
  const std::string fifo = temp.Path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string name;
    std::string error;
  } cases[] = {{temp.Path() + "/gone.img", temp.Path() + "/gone.img does not exist on this computer."},
               {fifo, fifo + " is neither a disk nor a disk image file."},
               {"/dev/null", "/dev/null is neither a disk nor a disk image file."},
               {"\\\\.\\PhysicalDrive999", "\\\\.\\PhysicalDrive999 does not exist on this computer."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SessionParms p;
    p.sourceName = FromUtf8(c.name);
    try {
      Drive* d = OpenSessionSource(p);
      ADD_FAILURE() << "opened";
      DeleteDrive(&d);
    } catch (const DvCodeError&) {
      EXPECT_EQ(ToUtf8(LastErrorText()), c.error);
    }
  }
}

// ---- real scans through dvscan ----

namespace {

std::string Dv(const std::string& args, int* rc) {
  const CommandRun run = RunCommandStatus(std::string("'") + DV_BINARY_DIR + "/bin/dvscan' " + args + " 2>&1");
  *rc = run.rc;
  return run.out;
}

// Checks the recovered files against icat's md5s.
int CheckAgainstIcat(const std::string& name, const std::string& dest) {
  int checked = 0;
  for (const auto& [md5, path] : ntfs_fixture::IcatMd5s(name)) {
    if (path.find("$RECYCLE.BIN") != std::string::npos || path[0] == '$') continue;
    std::string file = dest + "/" + path;
    struct stat st;
    if (path == "plain.bin" && lstat(file.c_str(), &st) != 0) file = dest + "/plain-link.bin";
    if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    EXPECT_EQ(Md5File(file), md5) << path;
    checked++;
  }
  return checked;
}

}  // namespace

// The counts of the summary line without the times.
std::string Counts(const std::string& out) {
  const size_t at = out.rfind("items=");
  if (at == std::string::npos) return "";
  std::string line = out.substr(at, out.find('\n', at) - at);
  std::string kept;
  std::istringstream words(line);
  for (std::string w; words >> w;)
    if (w.find("seconds") == std::string::npos) kept += w + " ";
  return kept;
}

std::string TreeMd5s(const std::string& dir) {
  return RunCommand("cd '" + dir + "' && find . -type f ! -name Recovery.log -print0 | sort -z | xargs -0 -r md5sum");
}

TEST(SessionImageTest, SavedScansLoadWithTheSameListAndBytes) {
  for (const char* name : {"basic", "attrlist", "fragdata", "fragmft", "sect2048", "sect4096", "bigdir", "poor"}) {
    for (const char* mode : {"", "--long"}) {
      SCOPED_TRACE(std::string(name) + " " + mode);
      const std::string img = ntfs_fixture::Image(name);
      if (img.empty()) GTEST_SKIP() << "xz missing";
      if (*mode && std::string(name) != "basic" && std::string(name) != "fragdata") continue;
      const TempFolder temp(std::string("session_") + name);
      const std::string t = temp.Path();
      int rc1 = -1, rc2 = -1;
      // The scan saves its session, then recovers; a new process loads the
      // session and recovers again.
      const std::string out1 = Dv(std::string(mode) + " --skip-headers --save-session '" + t + "/s.dvs' --list '" + t +
                                      "/a.tsv' --recover '" + t + "/scan' '" + img + "'",
                                  &rc1);
      const std::string out2 =
          Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv' --recover '" + t + "/load'", &rc2);
      EXPECT_EQ(rc1, rc2) << out1 << out2;
      EXPECT_EQ(Counts(out1), Counts(out2));
      const std::string a = ReadFileText(t + "/a.tsv");
      EXPECT_GT(a.size(), 40u);
      EXPECT_EQ(a, ReadFileText(t + "/b.tsv"));
      const std::string md5s = TreeMd5s(t + "/load");
      EXPECT_GT(md5s.size(), 40u);
      EXPECT_EQ(TreeMd5s(t + "/scan"), md5s);
      if (std::string(name) != "poor") {
        EXPECT_GT(CheckAgainstIcat(name, t + "/load"), 0);
      }
    }
  }
}

// A RAID 6 set of a layout other than the default (members cut from the
// NTFS fixture by mkraid.py) saved by dvscan loads in a new process that is
// told nothing of the layout: the same list, the same bytes, icat's md5s.
TEST(SessionImageTest, RaidLayoutComesBackWithItsSession) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder temp("session_raid6");
  const std::string t = temp.Path();
  const raid_test::Layout l{"r6", 6, 6, 32768, 1, 5, 1, 2};
  ASSERT_TRUE(raid_test::MkRaid(l, img, t + "/m"));
  const std::string def = raid_test::Definition(l, t + "/m", raid_test::FileSize(t + "/m0"), {});
  int rc1 = -1, rc2 = -1;
  const std::string out1 = Dv("--raid 32:1:5:1:2 --save-session '" + t + "/s.dvs' --list '" + t + "/a.tsv' --recover '" +
                                  t + "/scan' '" + def + "'",
                              &rc1);
  ASSERT_EQ(rc1, 0) << out1;
  const std::string out2 = Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv' --recover '" + t + "/load'", &rc2);
  EXPECT_EQ(rc2, 0) << out2;
  EXPECT_EQ(Counts(out1), Counts(out2));
  const std::string a = ReadFileText(t + "/a.tsv");
  EXPECT_GT(a.size(), 40u);
  EXPECT_EQ(a, ReadFileText(t + "/b.tsv"));
  EXPECT_EQ(TreeMd5s(t + "/scan"), TreeMd5s(t + "/load"));
  EXPECT_GT(CheckAgainstIcat("basic", t + "/load"), 5);
}

// FAT volumes made by mkfs.fat and mtools: the session keeps the table
// geometry the boot sector gives, a load rebuilds the volume as the boot
// sector would (data area, table cache), and the recovered bytes are the
// scan's.
TEST(SessionImageTest, FatScansLoadWithTheirGeometryAndBytes) {
  const std::string folder = FixtureFolder("make_fat_images.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools or mtools missing";
  // fat-frag.img is made with the hostile-name images.
  const int made = MakeFixture("make_hostile_names.sh", "fat");
  if (made == 77) GTEST_SKIP() << "a tool for the fragmented FAT image is missing";
  ASSERT_EQ(made, 0);
  for (const char* name : {"fat12", "fat16", "fat32", "fat-frag"}) {
    SCOPED_TRACE(name);
    const std::string img = folder + "/" + name + ".img";
    const TempFolder temp(std::string("session_") + name);
    const std::string t = temp.Path();
    int rc1 = -1, rc2 = -1;
    const std::string out1 =
        Dv("--save-session '" + t + "/s.dvs' --list '" + t + "/a.tsv' --recover '" + t + "/scan' '" + img + "'", &rc1);
    const std::string out2 =
        Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv' --recover '" + t + "/load'", &rc2);
    ASSERT_EQ(rc1, 0) << out1;
    EXPECT_EQ(rc2, 0) << out2;
    EXPECT_EQ(Counts(out1), Counts(out2));
    const std::string a = ReadFileText(t + "/a.tsv");
    EXPECT_GT(a.size(), 40u);
    EXPECT_EQ(a, ReadFileText(t + "/b.tsv"));
    const std::string md5s = TreeMd5s(t + "/load");
    EXPECT_GT(md5s.size(), 40u);
    EXPECT_EQ(TreeMd5s(t + "/scan"), md5s);

    // The loaded volume against the boot sector's own parse.
    std::unique_ptr<SLSession> s;
    ASSERT_EQ(Read(t + "/s.dvs", &s), "");
    ASSERT_EQ(s->volumes.size(), 1u);
    const auto* loaded = dynamic_cast<const FATVol*>(s->volumes[0]);
    ASSERT_NE(loaded, nullptr);
    const std::string boot = ReadFileText(img).substr(0, 512);
    FATVol parsed(0);
    ASSERT_GT(parsed.BootParse(reinterpret_cast<const uint8_t*>(boot.data())), 0);
    EXPECT_EQ(loaded->fatSize, parsed.fatSize);
    EXPECT_EQ(loaded->fatCount, parsed.fatCount);
    EXPECT_EQ(loaded->reserved, parsed.reserved);
    EXPECT_EQ(loaded->rootSectors, parsed.rootSectors);
    EXPECT_EQ(loaded->dataAreaSector, parsed.dataAreaSector);
    EXPECT_EQ(loaded->rootStart, parsed.rootStart);
    EXPECT_NE(loaded->cache, nullptr);
  }
}

TEST(SessionImageTest, DeletedImageIsNamed) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder temp("session_gone");
  const std::string t = temp.Path();
  ASSERT_EQ(RunCommandStatus("cp '" + img + "' '" + t + "/copy.img'").rc, 0);
  int rc = -1;
  std::string out = Dv("--save-session '" + t + "/s.dvs' '" + t + "/copy.img'", &rc);
  ASSERT_EQ(rc, 0) << out;
  unlink((t + "/copy.img").c_str());
  out = Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv'", &rc);
  EXPECT_EQ(rc, 3) << "the source could not be read";
  EXPECT_NE(out.find(t + "/copy.img does not exist on this computer."), std::string::npos) << out;
}

// A session records what identifies its source: another image of the same
// size put at the path is refused; the same image, copied back, loads.
TEST(SessionImageTest, ReplacedSourceIsRefused) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty() || !HaveTool("mkntfs")) GTEST_SKIP() << "xz or mkntfs missing";
  const TempFolder temp("session_replaced");
  const std::string t = temp.Path();
  ASSERT_EQ(RunCommandStatus("cp '" + img + "' '" + t + "/copy.img' && truncate -s $(stat -c %s '" + img + "') '" + t +
                             "/other.img' && mkntfs -q -F -Q '" + t + "/other.img' >/dev/null 2>&1")
                .rc,
            0);
  int rc = -1;
  std::string out = Dv("--save-session '" + t + "/s.dvs' '" + t + "/copy.img'", &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(ReadFileText(t + "/s.dvs").find("\r\nSource 67108864 512 2 "), std::string::npos);
  const std::string keep = t + "/kept.img";
  ASSERT_EQ(rename((t + "/copy.img").c_str(), keep.c_str()), 0);
  ASSERT_EQ(RunCommandStatus("cp '" + t + "/other.img' '" + t + "/copy.img'").rc, 0);
  out = Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv' --recover '" + t + "/out'", &rc);
  EXPECT_EQ(rc, 3) << out;
  EXPECT_NE(out.find(t + "/copy.img is not the source this session was saved from: its first sectors differ."),
            std::string::npos)
      << out;
  struct stat st;
  EXPECT_NE(stat((t + "/out").c_str(), &st), 0) << "nothing recovered from the other image";
  // A volume's boot block differs though the source's head does not.
  ASSERT_EQ(RunCommandStatus("cp '" + keep + "' '" + t + "/copy.img' && printf 'X' | dd of='" + t +
                             "/copy.img' bs=1 seek=3 conv=notrunc status=none")
                .rc,
            0);
  out = Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv'", &rc);
  EXPECT_EQ(rc, 3) << out;
  EXPECT_NE(out.find("its first sectors differ"), std::string::npos) << out;
  ASSERT_EQ(RunCommandStatus("cp '" + keep + "' '" + t + "/copy.img'").rc, 0);
  out = Dv("--load-session '" + t + "/s.dvs' --list '" + t + "/b.tsv'", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out.find("keeps no identity"), std::string::npos) << out;
}

// The loader holds a node to the bounds a scan holds it to: a size edited
// past its volume is a bad file (248), not a 4 EiB recovery, on every
// family's nodes.
TEST(SessionImageTest, EditedSizesPastTheVolumeAreRefused) {
  const std::string ntfs = ntfs_fixture::Image("basic");
  if (ntfs.empty()) GTEST_SKIP() << "xz missing";
  const std::string fat = FixtureFolder("make_fat_images.sh");
  std::vector<std::string> images = {ntfs};
  if (!fat.empty()) images.push_back(fat + "/fat32.img");
  const TempFolder temp("session_sizes");
  const std::string t = temp.Path();
  for (const std::string& img : images) {
    SCOPED_TRACE(img);
    int rc = -1;
    std::string out = Dv("--save-session '" + t + "/s.dvs' '" + img + "'", &rc);
    ASSERT_EQ(rc, 0) << out;
    const std::string text = ReadFileText(t + "/s.dvs");
    // The size of the first node: the last number of its "i=" line.
    size_t at = text.find("\r\ni=");
    ASSERT_NE(at, std::string::npos);
    const std::string pastTheImage = std::to_string(std::filesystem::file_size(img) + 1);
    for (const std::string& size :
         {std::string("4611686018427387904"), std::string("18446744073709551615"), std::string("-1"), pastTheImage}) {
      SCOPED_TRACE(size);
      std::string edited = text;
      const size_t end = edited.find("\r\n", at + 2);
      const size_t last = edited.rfind(' ', end);
      edited.replace(last + 1, end - last - 1, size);
      std::ofstream(t + "/e.dvs", std::ios::binary | std::ios::trunc) << edited;
      out = Dv("--load-session '" + t + "/e.dvs' --list '" + t + "/e.tsv' --recover '" + t + "/out'", &rc);
      EXPECT_EQ(rc, 3) << out;
      EXPECT_NE(out.find("Invalid file @ position"), std::string::npos) << out;
    }
  }
}

// A session whose list paths climb with ".." and whose names hold "/"
// recovers inside the destination all the same.
TEST(SessionImageTest, HostilePathsStayInsideTheDestination) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder temp("session_hostile");
  const std::string t = temp.Path();
  int rc = -1;
  std::string out = Dv("--save-session '" + t + "/s.dvs' '" + img + "'", &rc);
  ASSERT_EQ(rc, 0) << out;
  std::unique_ptr<SLSession> s;
  std::vector<std::pair<int64_t, WString>> items;
  ASSERT_EQ(Read(t + "/s.dvs", &s, &items), "");
  SessionParms parms;
  parms.sourceName = FromUtf8(img);
  std::vector<SessionListItem> list;
  for (const auto& it : items) {
    cnode* n = s->nodes->GetAt(it.first);
    if (n && !n->IsDirectory()) n->name = s->nodes->InternName(u"x/../../" + n->GetNameW());
    list.push_back({it.first, u"\\..\\..\\..\\escape" + it.second});
  }
  {
    SLSession w(FromUtf8(t + "/h.dvs"));
    w.SaveParms(parms);
    w.WriteTwoBytes(0, 0);
    w.SavePartitions(s->volumes);
    w.SaveExclusionRanges(nullptr, 512);
    w.SaveInodes(*s->nodes);
    w.SaveList(list);
    w.Commit();
  }
  ASSERT_EQ(mkdir((t + "/in").c_str(), 0755), 0);
  out = Dv("--load-session '" + t + "/h.dvs' --recover '" + t + "/in/dest'", &rc);
  EXPECT_NE(out.find("saved="), std::string::npos) << out;
  // Nothing outside the destination: the temp folder holds only what the
  // test put there.
  EXPECT_EQ(RunCommand("cd '" + t + "' && ls -A"), "h.dvs\nin\ns.dvs\n");
  EXPECT_EQ(RunCommand("cd '" + t + "/in' && ls -A"), "dest\n");
  EXPECT_NE(RunCommand("cd '" + t + "/in/dest' && find . -type f | wc -l"), "0\n");
}

// The file keeps no record size for an NTFS volume: a loaded volume takes
// it from its boot sector, so records of 2048 and 4096 bytes (fsstat's
// "Size of MFT Entries") are read whole after a load.
TEST(SessionImageTest, LoadedNtfsVolumesTakeTheRecordSizeOfTheirBootSector) {
  GlobalObjectsScope scope;
  for (const char* name : {"basic", "sect2048", "sect4096"}) {
    SCOPED_TRACE(name);
    const std::string img = ntfs_fixture::Image(name);
    if (img.empty()) GTEST_SKIP() << "xz missing";
    const std::string fsstat = ntfs_fixture::Report(name, "fsstat");
    const std::string key = "Size of MFT Entries: ";
    const size_t at = fsstat.find(key);
    ASSERT_NE(at, std::string::npos);
    const uint32_t expected = uint32_t(std::stoul(fsstat.substr(at + key.size())));

    const TempFolder temp(std::string("session_records_") + name);
    int rc = -1;
    const std::string out = Dv("--save-session '" + temp.Path() + "/s.dvs' '" + img + "'", &rc);
    ASSERT_EQ(rc, 0) << out;
    std::unique_ptr<SLSession> s;
    ASSERT_EQ(Read(temp.Path() + "/s.dvs", &s), "");
    ASSERT_FALSE(s->volumes.empty());
    Drive* drive = CreateDrive(FromUtf8(img));
    ASSERT_NE(drive, nullptr);
    drive->InitDrive(FromUtf8(img));
    {
      NTFSObj engine(drive);
      engine.TakeSession(*s);
      const auto* v = dynamic_cast<const NTFSVol*>(engine.volumes[0]);
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(v->recordSize, expected);
    }
    DeleteDrive(&drive);
  }
}

// Sessions written by an earlier build (tests/fixtures/sessions, made by its
// make_sessions.sh) load in this one: the same list, and every file that
// build recovered from them comes back with the same bytes. They name their
// source by the path they were saved with; the test puts its own copy of the
// image there.
namespace {

// Replaces the source path of a session file's "Parms:" line.
bool RewriteSessionSource(const std::string& path, const std::string& source) {
  std::string text = ReadFileText(path);
  const size_t parms = text.find("Parms: ");
  if (parms == std::string::npos) return false;
  const size_t lengthAt = text.find(' ', parms + 7) + 1;
  const size_t lengthEnd = text.find(' ', lengthAt);
  if (lengthAt == 0 || lengthEnd == std::string::npos) return false;
  const size_t bytes = size_t(std::stoul(text.substr(lengthAt, lengthEnd - lengthAt)));
  std::string wide;
  for (char c : source) wide += std::string{c, '\0'};
  text.replace(lengthAt, lengthEnd + 1 + bytes - lengthAt, std::to_string(wide.size()) + " " + wide);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return true;
}

}  // namespace

TEST(SessionImageTest, SessionsOfAnEarlierBuildLoad) {
  if (!HaveTool("xz")) GTEST_SKIP() << "xz missing";
  const std::string fixtures = std::string(DV_SOURCE_DIR) + "/tests/fixtures/";
  const struct {
    const char* name;
    const char* image;  // the compressed image, under tests/fixtures/
  } cases[] = {
      {"ntfs-basic", "ntfs/basic.img.xz"}, {"ntfs-basic-long", "ntfs/basic.img.xz"},
      {"exfat", "exfat/exfat.img.xz"},     {"fat16", "sessions/fat16.img.xz"},
      {"fat16-long", "sessions/fat16.img.xz"}, {"ext4", "sessions/ext4.img.xz"},
      {"ext4-long", "sessions/ext4.img.xz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempFolder temp(std::string("oldsession_") + c.name);
    const std::string t = temp.Path(), image = t + "/source.img", session = t + "/s.dvs";
    ASSERT_EQ(RunCommandStatus("xz -dc '" + fixtures + c.image + "' > '" + image + "' && xz -dc '" + fixtures +
                               "sessions/" + c.name + ".dvs.xz' > '" + session + "'")
                  .rc,
              0);
    ASSERT_TRUE(RewriteSessionSource(session, image));
    int rc = -1;
    const std::string out =
        Dv("--load-session '" + session + "' --list '" + t + "/list.tsv' --recover '" + t + "/out'", &rc);
    // Files of that build keep no identity of their source: they load
    // unchecked, and the log says so.
    EXPECT_NE(out.find("keeps no identity of its source (an earlier version saved it): it is not checked"),
              std::string::npos)
        << out;
    // The lists of that build had five columns; the volume and kind came later.
    EXPECT_EQ(FirstColumns(ReadFileText(t + "/list.tsv"), 5),
              ReadFileText(fixtures + "sessions/" + c.name + ".list.tsv"))
        << out;
    const std::string md5s = TreeMd5s(t + "/out");
    std::istringstream expected(ReadFileText(fixtures + "sessions/" + c.name + ".md5.txt"));
    int files = 0;
    for (std::string line; std::getline(expected, line); files++)
      EXPECT_NE(md5s.find(line + "\n"), std::string::npos) << line << "\n" << out;
    EXPECT_GT(files, 0);
  }
}
