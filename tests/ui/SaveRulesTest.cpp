// The window-free rules of Scan and Save: destination form and state,
// system folders, result bits, the list's volume code, the recovery list
// (hostile names made safe, unsafe and overlong items refused with their
// reason) and the closing message of a recovery.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "tests/support/TempFolder.h"
#include "ui/core/SaveRules.h"
#include "volumes/DestinationPath.h"

namespace {

class SaveRules : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
};

TEST_F(SaveRules, StatusBitsOfEachResult) {
  const struct {
    int status;
    uint16_t bits;
  } cases[] = {{231, 0x500}, {162, 0x200}, {200, 0x600}, {155, 0x100}, {0, 0}, {328, 0}, {-1, 0}};
  for (const auto& c : cases) EXPECT_EQ(StatusBitsFor(c.status), c.bits) << c.status;
}

TEST_F(SaveRules, DestinationForm) {
  const struct {
    const char16_t* text;
    const char16_t* want;
  } cases[] = {
      {u"/tmp/out", u"/tmp/out"},
      {u"  /tmp/out/ \t", u"/tmp/out"},
      {u"/", u"/"},
      {u"/tmp/out//", u"/tmp/out/"},
      {u"tmp/out", u""},
      {u"", u""},
      {u"   ", u""},
      {u"C:\\Recovered", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(NormaliseDestination(c.text), WString(c.want)) << ToUtf8(c.text);
}

TEST_F(SaveRules, SystemFolders) {
  const struct {
    const char* path;
    bool system;
  } cases[] = {
      {"/etc", true},       {"/etc/x/y", true},  {"/proc/self", true},   {"/sys", true},
      {"/dev/shm/x", true}, {"/boot", true},     {"/usr/share", true},   {"/usr/../etc/x", true},
      {"/etcetera", false}, {"/tmp/etc", false}, {"/home/u/dev", false}, {"/usrx", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSystemFolder(c.path), c.system) << c.path;
}

TEST_F(SaveRules, DestinationState) {
  const TempFolder temp("saverules");
  const std::string base = temp.Path() + "/dest";
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  EXPECT_EQ(ProbeDestination(base + "/absent"), DestinationState::Absent);
  EXPECT_EQ(ProbeDestination(base), DestinationState::Empty);
  { std::ofstream(base + "/file") << "x"; }
  EXPECT_EQ(ProbeDestination(base), DestinationState::NotEmpty);
  EXPECT_EQ(ProbeDestination(base + "/file"), DestinationState::Error);
}

TEST_F(SaveRules, VolumePartOfTheListPath) {
  ASSERT_EQ(Msg(90), u"Volume");
  const WString n0{char16_t(93), u':'}, n12{char16_t(105), u':'}, n162{char16_t(255), u':'};
  const struct {
    WString list;  // as the engine hands it over
    const char16_t* below;
    const char16_t* readable;  // for log lines
  } cases[] = {
      {n0 + u"\\Docs\\a", u"\\Docs\\a", u"Volume 0\\Docs\\a"},
      {n0, u"", u"Volume 0"},
      {n0 + u"\\", u"\\", u"Volume 0\\"},
      {n12 + u"\\x", u"\\x", u"Volume 12\\x"},
      {n162 + u"\\x", u"\\x", u"Volume 162\\x"},
      {u"C:\\Docs", u"\\Docs", u"Volume C:\\Docs"},
      {u"C:", u"", u"Volume C:"},
      {u"c:\\y", u"\\y", u"Volume 6\\y"},  // 'c' is code 99: volume 6
      // No volume part: kept whole.
      {WString{char16_t(256), u':'} + u"\\x", nullptr, nullptr},
      {WString{char16_t(92), u':'} + u"\\x", nullptr, nullptr},
      {u"C:y", nullptr, nullptr},
      {u"\\Docs", nullptr, nullptr},
      {u"\\a:b", nullptr, nullptr},
      {u"", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.list));
    EXPECT_EQ(WString(FolderBelowVolume(c.list)), c.below ? WString(c.below) : c.list);
    EXPECT_EQ(ReadableListPath(c.list), c.readable ? WString(c.readable) : c.list);
  }
}

// A session-like list of records as the view reads them.
struct Rec {
  bool checked;
  WString folder;
  WString name;
  bool readable = true;
};

struct Filled {
  std::vector<RecoveryListEntry> list;
  std::vector<std::pair<int32_t, WString>> refused;
};

Filled Fill(const std::vector<Rec>& recs, bool useFolderNames, const WString& dest = u"/d") {
  Filled out;
  int32_t next = 0;
  FillRecList(
      dest, useFolderNames, &next, int32_t(recs.size()),
      [&](int32_t i, RecListRecord& r) {
        const Rec& s = recs[size_t(i)];
        r.checked = s.checked;
        r.folderPath = s.folder;
        r.name = s.name;
        r.nodeIndex = 1000 + i;
        r.volumeIndex = 0;
        return s.readable;
      },
      out.list, [&](int32_t i, const WString& why) { out.refused.emplace_back(i, why); });
  EXPECT_EQ(next, int32_t(recs.size()));
  return out;
}

WString Repeat(char16_t c, size_t n) { return WString(n, c); }

TEST_F(SaveRules, HostileNamesStayInsideTheDestination) {
  const WString vol{char16_t(93), u':'};
  const WString longName = Repeat(u'n', 296) + u".txt";  // 300 bytes
  const struct {
    Rec rec;
    const char16_t* want;  // nullptr: refused; u"": not listed, not refused
    const char16_t* why;
  } cases[] = {
      {{true, vol + u"\\a", u".."}, u"/d/a/_..", nullptr},
      {{true, vol + u"\\a", u"."}, u"/d/a/_.", nullptr},
      {{true, vol, u"a/b"}, u"/d/a_b", nullptr},
      {{true, vol, u"a\\b"}, u"/d/a_b", nullptr},
      {{true, vol, u"x\x01\x1f\x7f\x85y"}, u"/d/x____y", nullptr},
      {{true, vol + u"\\..\\..\\etc", u"passwd"}, u"/d/_../_../etc/passwd", nullptr},
      {{true, vol + u"\\a/b\\.", u"f"}, u"/d/a_b/_./f", nullptr},
      {{true, u"C:\\Users", u"f"}, u"/d/Users/f", nullptr},
      {{true, vol, u""}, nullptr, u"The item has no name: it is skipped."},
      {{false, vol, u"unchecked"}, u"", nullptr},
      {{true, vol, u"unreadable", false}, u"", nullptr},
  };
  std::vector<Rec> recs;
  for (const auto& c : cases) recs.push_back(c.rec);
  recs.push_back({true, vol + u"\\dir", longName});
  const Filled f = Fill(recs, true);
  size_t listed = 0, refused = 0;
  for (size_t i = 0; i < std::size(cases); i++) {
    SCOPED_TRACE(i);
    const auto& c = cases[i];
    if (c.want == nullptr) {
      ASSERT_LT(refused, f.refused.size());
      EXPECT_EQ(f.refused[refused].first, int32_t(i));
      EXPECT_EQ(f.refused[refused].second, WString(c.why));
      refused++;
    } else if (WString(c.want).empty()) {
      for (const auto& e : f.list) EXPECT_NE(e.recordIndex, int32_t(i));
    } else {
      ASSERT_LT(listed, f.list.size());
      EXPECT_EQ(f.list[listed].destinationPath, WString(c.want));
      EXPECT_EQ(f.list[listed].recordIndex, int32_t(i));
      EXPECT_EQ(f.list[listed].nodeIndex, int32_t(1000 + i));
      EXPECT_EQ(f.list[listed].volumeIndex, 0);
      listed++;
    }
  }
  // The 300-byte name is shortened to a component the destination takes.
  ASSERT_EQ(f.list.size(), listed + 1);
  const WString& last = f.list.back().destinationPath;
  const WString component = last.substr(last.rfind(u'/') + 1);
  EXPECT_LE(Utf8Length(component), kMaxComponentBytes);
  EXPECT_NE(component.find(u'~'), WString::npos);
  EXPECT_EQ(component.substr(component.size() - 4), u".txt");
  EXPECT_EQ(refused, f.refused.size());
  for (const auto& e : f.list) EXPECT_TRUE(IsBelowRoot(u"/d", e.destinationPath)) << ToUtf8(e.destinationPath);
}

TEST_F(SaveRules, OverlongPathsAreRefusedWithTheirReason) {
  const WString vol{char16_t(93), u':'};
  // "/d" and four folders of 200 characters: 806 characters before the
  // name's "/".
  WString folder = vol;
  for (int k = 0; k < 4; k++) folder += u"\\" + Repeat(char16_t(u'a' + k), 200);
  WString deep = vol;  // far past PATH_MAX
  for (int k = 0; k < 30; k++) deep += u"\\" + Repeat(u'z', 200);
  const struct {
    WString folder;
    size_t nameChars;
    bool listed;
  } cases[] = {
      {folder, 215, true},   // 1022 characters: the longest a recovery takes
      {folder, 216, false},  // 1023
      {folder, 250, false},
      {deep, 5, false},  // the destination-path function refuses it
  };
  std::vector<Rec> recs;
  for (const auto& c : cases) recs.push_back({true, c.folder, Repeat(u'n', c.nameChars)});
  const Filled f = Fill(recs, true);
  ASSERT_EQ(f.list.size(), 1u);
  EXPECT_EQ(f.list[0].destinationPath.size(), kMaxRecoveredPathChars);
  EXPECT_EQ(f.list[0].recordIndex, 0);
  ASSERT_EQ(f.refused.size(), 3u);
  for (size_t k = 0; k < 3; k++) {
    EXPECT_EQ(f.refused[k].first, int32_t(k + 1));
    EXPECT_EQ(f.refused[k].second, u"The filename is too long (> 1024)");
  }
  // Without folder names the same items fit.
  const Filled flat = Fill(recs, false);
  EXPECT_EQ(flat.list.size(), 4u);
  EXPECT_TRUE(flat.refused.empty());
}

TEST_F(SaveRules, ListsOfAHundredAndTheRunningIndex) {
  std::vector<Rec> recs;
  for (int i = 0; i < 260; i++) recs.push_back({i % 13 != 0, u"\\f", u"n" + FromUtf8(std::to_string(i))});
  int32_t next = 0;
  std::vector<size_t> sizes;
  std::vector<RecoveryListEntry> list;
  auto record = [&](int32_t i, RecListRecord& r) {
    r.checked = recs[size_t(i)].checked;
    r.folderPath = recs[size_t(i)].folder;
    r.name = recs[size_t(i)].name;
    return true;
  };
  do {
    FillRecList(u"/d", true, &next, int32_t(recs.size()), record, list, {});
    sizes.push_back(list.size());
  } while (list.size() == size_t(kRecoveryListSize));
  // 240 checked: 100, 100, 40; the last short list ends the recovery.
  EXPECT_EQ(sizes, (std::vector<size_t>{100, 100, 40}));
  EXPECT_EQ(next, 260);
  FillRecList(u"/d", true, &next, int32_t(recs.size()), record, list, {});
  EXPECT_TRUE(list.empty());
}

TEST_F(SaveRules, NameClashes) {
  const WString a{char16_t(93), u':'}, b{char16_t(94), u':'};
  const struct {
    std::vector<Rec> recs;
    bool useFolderNames, clash;
  } cases[] = {
      {{{true, a, u"x"}, {true, a + u"\\f", u"x"}}, true, false},
      {{{true, a, u"x"}, {true, a + u"\\f", u"x"}}, false, true},
      {{{true, a + u"\\f", u"x"}, {true, b + u"\\f", u"x"}}, true, true},  // volumes make no folder
      {{{true, a, u"x"}, {false, a, u"x"}}, true, false},
      {{{true, a, u"a/b"}, {true, a, u"a\\b"}}, true, true},  // same once made safe
      {{{true, a, u""}, {true, a, u""}}, true, false},        // refused items never clash
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n++);
    auto record = [&](int32_t i, RecListRecord& r) {
      r.checked = c.recs[size_t(i)].checked;
      r.folderPath = c.recs[size_t(i)].folder;
      r.name = c.recs[size_t(i)].name;
      return true;
    };
    EXPECT_EQ(HasNameClash(u"/d", c.useFolderNames, int32_t(c.recs.size()), record), c.clash);
  }
}

TEST_F(SaveRules, ClosingMessage) {
  // The heading follows the run's result, the one dvscan's exit status
  // comes from: success only when every item was saved whole.
  const WString incomplete =
      u"Not every item was saved whole: see the recovery log for those that failed or came out corrupt.\n\n";
  const struct {
    RunResult result;
    uint32_t saved, failed, skipped, corrupt;
    const char16_t* summary;
    WString want;
  } cases[] = {
      {RunResult::kComplete, 3, 0, 0, 0, u"3 files", Msg(167) + u"\n\n3 files"},
      {RunResult::kComplete, 3, 0, 2, 0, u"", Msg(167) + u"\n\nSaved: 3\nFailed: 0\nSkipped: 2\nCorrupt: 0"},
      // Something failed or came out corrupt: never message 167 above it.
      {RunResult::kIncomplete, 3, 1, 0, 0, u"3 files", incomplete + u"Saved: 3\nFailed: 1\nSkipped: 0\nCorrupt: 0"},
      {RunResult::kIncomplete, 0, 2, 1, 0, u"summary", incomplete + u"Saved: 0\nFailed: 2\nSkipped: 1\nCorrupt: 0"},
      {RunResult::kIncomplete, 0, 0, 0, 1, u"", incomplete + u"Saved: 0\nFailed: 0\nSkipped: 0\nCorrupt: 1"},
      // An error ended the run before anything failed (a full destination).
      {RunResult::kIncomplete, 2, 0, 0, 0, u"", incomplete + u"Saved: 2\nFailed: 0\nSkipped: 0\nCorrupt: 0"},
      // Every item a deliberate skip (identical copies already there).
      {RunResult::kComplete, 0, 0, 10, 0, u"",
       u"Nothing needed saving: every item was skipped (see the recovery log for why).\n\nSaved: 0\nFailed: 0\n"
       u"Skipped: 10\nCorrupt: 0"},
      {RunResult::kComplete, 0, 0, 0, 0, u"", u""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RecoveryClosingText(c.result, c.saved, c.failed, c.skipped, c.corrupt, c.summary), c.want)
        << c.saved << " " << c.failed << " " << c.skipped << " " << c.corrupt;
}

TEST_F(SaveRules, QuickScanOfExt4SaysDeletedFilesNeedALongScan) {
  const WString note =
      u"Deleted files whose block map ext3 or ext4 cleared when it deleted them cannot be listed by a Quick Scan. "
      u"A Long Scan can find their data.";
  const struct {
    bool quick, skipDeleted;
    std::vector<WString> fileSystems;
    bool says;
  } cases[] = {
      {true, false, {u"NTFS", u"Ext4"}, true},
      {true, false, {u"Ext3"}, true},
      {true, false, {u"Ext2", u"FAT32"}, false},  // ext2 keeps the maps
      {true, true, {u"Ext4"}, false},             // deleted files not asked for
      {false, false, {u"Ext4"}, false},           // the Long Scan itself
      {true, false, {}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DeletedFilesUnlistedNote(c.quick, c.skipDeleted, c.fileSystems), c.says ? note : WString());
}

}  // namespace
