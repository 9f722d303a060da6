// The volume and source dialogs in the window, offscreen, on images made by
// sfdisk, mkntfs, mkfs.fat, mke2fs, mtools and qemu-img
// (tests/fixtures/make_volume_dialogs.sh) and compared with mmls, fsstat,
// fls and icat: the volume choice before a Quick Scan, a volume's
// properties, a volume defined by its boot sector (from the drive or a
// file) or by hand, the sector exclusion loaded from a file and honoured by
// a save, the affiliation's volume lines, and a VHD and a spanned set opened
// through their dialogs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "engine/RecoverDriver.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "storage/PartitionTable.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/LoopDevice.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/WindowTest.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/DiskImageDialogs.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OptionDialogs.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "volumes/VolumeFamily.h"
#include "ui/SourceDialogs.h"
#include "ui/VolumeDialogs.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/DialogRules.h"
#include "volumes/Volume.h"
#include "engine/VolumeRecovery.h"
#include "volumes/VolumeSearch.h"
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<std::pair<int64_t, int64_t>> MmlsRows(const std::string& path) {
  std::vector<std::pair<int64_t, int64_t>> out;
  std::istringstream in(Slurp(path));
  int64_t s, n;
  while (in >> s >> n) out.push_back({s, n});
  return out;
}

// "Key: value" of an fsstat report, and its "* Name: a - b" layout lines.
std::string FsstatValue(const std::string& report, const std::string& key) {
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
  return {};
}
int64_t LayoutStart(const std::string& report, const std::string& name) {
  const std::string v = FsstatValue(report, "* " + name);
  return v.empty() ? -1 : std::stoll(v);
}

int64_t Grouped(const WString& text) { return ParseGroupedSigned(text).value_or(-1); }

// The paths fls -r -p lists (files and folders), without the volume label
// and the virtual files.
std::set<std::string> FlsPaths(const std::string& report) {
  std::set<std::string> out;
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    if (path.find("(Volume Label Entry)") != std::string::npos || path[0] == '$') continue;
    out.insert(path);
  }
  return out;
}

class VolumeDialogsTest : public WindowTest {
 protected:
  void SetUp() override {
    const int rc = MakeFixture("make_volume_dialogs.sh");
    if (rc == 77) GTEST_SKIP() << "a tool is missing";
    ASSERT_EQ(rc, 0);
    WindowTest::SetUp();
  }
  std::string Fixture(const std::string& name) { return FixtureCache() + "/voldlg." + name; }
  std::set<std::string> ListedPaths() {
    std::set<std::string> out;
    CMyListCtrl* l = View()->List();
    for (int i = 0; i < l->GetItemCount(); i++) {
      std::string folder = ToUtf8(l->GetItemPath(i));
      for (char& c : folder)
        if (c == '\\') c = '/';
      const size_t slash = folder.find('/');
      folder = slash == std::string::npos ? "" : folder.substr(slash + 1);
      out.insert((folder.empty() ? "" : folder + "/") + ToUtf8(l->GetItemNodeName(i)));
    }
    return out;
  }
  // The volume choice takes what it offers.
  void AcceptVolumeChoice() {
    handlers["CBootSect"] = [](QDialog& d) {
      static_cast<CBootSect&>(d).Init();
      static_cast<CBootSect&>(d).accept();
      return int(QDialog::Accepted);
    };
  }
  // The rows of a Quick Scan of every volume the source offers.
  std::set<std::string> ScanWithEveryVolume(const std::string& source) {
    AcceptVolumeChoice();
    Pick(source);
    QuickScan();
    return ListedPaths();
  }
  // The type page takes the type and, for a set of `disks` members, blocks
  // of 64 KiB; a rotation given is chosen with a parity delay of 1.
  static int ChooseType(CAdvancedVolume& k, const char16_t* type, int disks = 0, int rotation = -1) {
    k.SetTypeText(type);
    if (rotation >= 0) k.SetRotation(rotation);
    k.Init();
    if (disks) {
      k.Ctl<QLineEdit>(AdvancedVolumeRules::kDisksEdit)->setText(QString::number(disks));
      auto* block = k.Ctl<QComboBox>(AdvancedVolumeRules::kBlockCombo);
      block->setCurrentIndex(block->findText(QStringLiteral("64")));
    }
    if (rotation >= 0) {
      auto* box = k.Ctl<QComboBox>(AdvancedVolumeRules::kRotationCombo);
      box->setCurrentIndex(box->findText(ToQ(AdvancedVolumeRules::RotationName(rotation))));
      auto* delay = k.Ctl<QComboBox>(AdvancedVolumeRules::kDelayCombo);
      if (delay->isEditable()) delay->setEditText(QStringLiteral("1"));
      else delay->setCurrentIndex(delay->findText(QStringLiteral("1")));
    }
    k.accept();
    EXPECT_EQ(k.result(), int(QDialog::Accepted));
    return k.result();
  }
  // A member page takes the sources of these names in order (an empty
  // name: the placeholder of a missing disk), then Finish.
  template <class Page>
  static int AddMembers(Page& page, const std::vector<WString>& names) {
    page.Init();
    for (const WString& m : names) {
      int index = -1;
      for (size_t i = 0; i < page.Rules().Disks().size(); i++) {
        const MemberSource& s = page.Rules().Disks()[i];
        if (m.empty() ? s.kind == MemberSource::kPlaceholder : s.name == m) index = int(i);
      }
      EXPECT_GE(index, 0) << ToUtf8(m);
      page.OnDiskChanged(index);
      page.OnAdd();
    }
    page.accept();
    return page.result();
  }
  // The chain dialog takes the base image and its links.
  static int ChooseChain(CChainDskImgsDlg& c, bool vhd, const std::string& base,
                         const std::vector<std::string>& links = {}) {
    c.Init();
    EXPECT_EQ(c.Rules().Vhd(), vhd);
    c.SetBasePath(QString::fromStdString(base));
    for (const std::string& link : links) c.AddLink(QString::fromStdString(link));
    c.accept();
    return c.result();
  }

  TempFolder box_{"voldlg"};
};

struct RowSeen {
  int64_t start = 0, length = 0;
  bool checked = false, volume = false;
  WString text;
};

std::vector<RowSeen> RowsOf(CBootSect& b) {
  std::vector<RowSeen> out;
  BootSectRules& r = b.Rules();
  for (size_t i = 0; i < r.RowCount(); i++) {
    RowSeen s;
    const auto& row = r.RowAt(i);
    s.checked = row.checked;
    s.text = r.RowText(i);
    if (i < r.DriveVolumeRows()) {
      s.volume = true;
      s.start = int64_t(row.volume->startSector);
      s.length = int64_t(row.volume->sizeSectors);
    } else if (row.partition >= 0) {
      const PartitionEntry& e = g_currentDrive->partitionTable->Entry(uint32_t(row.partition));
      s.start = int64_t(e.Start());
      s.length = int64_t(e.Length());
    }
    out.push_back(s);
  }
  return out;
}

}  // namespace

TEST_F(VolumeDialogsTest, VolumeChoiceRowsEqualMmlsAndCancelStops) {
  Pick(Fixture("disk.img"));
  std::vector<RowSeen> rows;
  handlers["CBootSect"] = [&](QDialog& d) {
    auto& b = static_cast<CBootSect&>(d);
    b.Init();
    rows = RowsOf(b);
    return int(QDialog::Rejected);
  };
  View()->OnCommand(cmd::kScan);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle) << "Cancel stops the scan";
  const auto mmls = MmlsRows(Fixture("disk.mmls.txt"));
  ASSERT_EQ(mmls.size(), 4u);
  ASSERT_EQ(rows.size(), 4u);
  // NTFS, FAT32 and ext4 are volumes (checked); the pattern partition is
  // nobody's: "Unknown partition", unchecked.
  std::map<int64_t, RowSeen> byStart;
  for (const RowSeen& r : rows) byStart[r.start] = r;
  for (const auto& [start, length] : mmls) {
    ASSERT_TRUE(byStart.count(start)) << start;
    const RowSeen& r = byStart[start];
    EXPECT_LE(length - r.length, 1) << start;  // NTFS leaves the backup boot sector out
    EXPECT_GE(length - r.length, 0) << start;
  }
  EXPECT_TRUE(byStart[2048].volume && byStart[2048].checked);
  EXPECT_EQ(byStart[2048].text.rfind(u"NTFS ", 0), 0u) << ToUtf8(byStart[2048].text);
  EXPECT_TRUE(byStart[43008].volume && byStart[43008].checked);
  EXPECT_EQ(byStart[43008].text.rfind(u"FAT32 ", 0), 0u) << ToUtf8(byStart[43008].text);
  EXPECT_TRUE(byStart[112640].volume && byStart[112640].checked);
  EXPECT_EQ(byStart[112640].text.rfind(u"Ext 3/4 ", 0), 0u) << ToUtf8(byStart[112640].text);
  EXPECT_FALSE(byStart[153600].checked);
  EXPECT_EQ(byStart[153600].text.rfind(Msg(571) + u" ", 0), 0u) << ToUtf8(byStart[153600].text);
}

TEST_F(VolumeDialogsTest, EmptyDriveGivesOneUnknownRowAndTheLongerHint) {
  Pick(Fixture("empty.img"));
  std::vector<RowSeen> rows;
  WString hint;
  handlers["CBootSect"] = [&](QDialog& d) {
    auto& b = static_cast<CBootSect&>(d);
    b.Init();
    rows = RowsOf(b);
    hint = b.Rules().HintText();
    return int(QDialog::Rejected);
  };
  View()->OnCommand(cmd::kScan);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].start, 0);
  EXPECT_EQ(rows[0].length, 16384);
  EXPECT_FALSE(rows[0].checked);
  EXPECT_EQ(rows[0].text.rfind(Msg(571), 0), 0u);
  EXPECT_EQ(hint, Msg(567) + Msg(637));
}

TEST_F(VolumeDialogsTest, PropertiesEqualFsstat) {
  Pick(Fixture("disk.img"));
  const std::string ntfs = Slurp(Fixture("disk.fsstat.1.txt"));
  const std::string fat = Slurp(Fixture("disk.fsstat.2.txt"));
  std::vector<std::array<WString, 4>> seen;
  std::vector<bool> okShown;
  handlers["CVolProp"] = [&](QDialog& d) {
    auto& p = static_cast<CVolProp&>(d);
    p.Init();
    seen.push_back(p.Rules().rowTexts);
    okShown.push_back(p.Rules().okShown);
    return int(QDialog::Rejected);
  };
  handlers["CBootSect"] = [&](QDialog& d) {
    auto& b = static_cast<CBootSect&>(d);
    b.Init();
    for (size_t i = 0; i < b.Rules().DriveVolumeRows(); i++) b.OnOpen(int(i));
    return int(QDialog::Rejected);
  };
  View()->OnCommand(cmd::kScan);
  ASSERT_EQ(seen.size(), 3u);  // NTFS, FAT32 and ext4
  EXPECT_FALSE(okShown[0]) << "view mode has no OK";
  EXPECT_EQ(Grouped(seen[0][0]), std::stoll(FsstatValue(ntfs, "First Cluster of MFT")));
  EXPECT_EQ(Grouped(seen[0][1]), std::stoll(FsstatValue(ntfs, "First Cluster of MFT Mirror")));
  if (seen[1][0].empty()) GTEST_SKIP() << "the FAT rows wait for the FAT family's volume class";
  EXPECT_EQ(Grouped(seen[1][0]), LayoutStart(fat, "FAT 0"));
  EXPECT_EQ(Grouped(seen[1][1]), LayoutStart(fat, "FAT 1"));
}

TEST_F(VolumeDialogsTest, NewVolumeFromBootSectorsOfTheDriveAndOfFiles) {
  Pick(Fixture("disk.img"));
  std::istringstream boot(Slurp(Fixture("ntfs.boot.txt")));
  int64_t ntfsStart = 0, spc = 0, mft = 0, mirror = 0;
  boot >> ntfsStart >> spc >> mft >> mirror;
  struct Case {
    BootSource source;
    int message;          // of ReadBoot
    const char16_t* fs;   // file system shown after it, null: unchanged
  };
  const Case cases[] = {
      {{true, FromUtf8(std::to_string(ntfsStart))}, 0, u"NTFS"},
      {{false, FromUtf8(Fixture("fat.boot.bin"))}, 0, u"FAT32"},
      {{false, FromUtf8(Fixture("fat.short.bin"))}, 582, nullptr},
      {{true, u"12"}, 582, nullptr},  // a sector of no file system
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.source.text));
    WString fsShown;
    std::array<WString, 4> rowsShown;
    DialogVerdict read, save;
    handlers["CVolProp"] = [&](QDialog& d) {
      auto& p = static_cast<CVolProp&>(d);
      p.Init();
      VolPropRules& r = p.Rules();
      EXPECT_TRUE(r.EditMode());
      r.StartTyped(c.source.fromDrive ? c.source.text : WString(u"43,008"));
      read = r.ReadBoot(c.source);
      fsShown = r.fileSystemIndex >= 0 ? r.fileSystems[size_t(r.fileSystemIndex)] : WString();
      rowsShown = r.rowTexts;
      if (read.message) return int(QDialog::Rejected);
      save = r.Ok();
      return int(save.close ? QDialog::Accepted : QDialog::Rejected);
    };
    const size_t askedBefore = prompt.asked().size();
    handlers["CBootSect"] = [&](QDialog& d) {
      auto& b = static_cast<CBootSect&>(d);
      b.Init();
      b.Rules().selection = -1;
      EXPECT_TRUE(b.Rules().AddItemEnabled());
      b.OnContextCommand(BootSectRules::kCommandAdd);
      EXPECT_FALSE(b.Rules().AddItemEnabled()) << "one New volume row at a time";
      const int last = int(b.Rules().RowCount()) - 1;
      EXPECT_EQ(b.Rules().RowText(size_t(last)), Msg(595));
      b.OnOpen(last);
      return int(QDialog::Rejected);
    };
    View()->OnCommand(cmd::kScan);
    EXPECT_EQ(read.message, c.message);
    if (c.fs) {
      EXPECT_EQ(fsShown, c.fs);
      // Both volumes are on the drive already.
      // FAT volumes keep no FAT places until the FAT family's volume class.
      if (WString(c.fs) != u"NTFS") continue;
      EXPECT_TRUE(save.close) << save.message << " " << ToUtf8(save.MessageText());
      bool exists = false;
      for (size_t i = askedBefore; i < prompt.asked().size(); i++) exists |= prompt.asked()[i].text == Msg(572);
      EXPECT_TRUE(exists) << "Volume already exists.";
    }
    if (c.fs && WString(c.fs) == u"NTFS") {
      EXPECT_EQ(Grouped(rowsShown[0]), mft);
      EXPECT_EQ(Grouped(rowsShown[1]), mirror);
    }
  }
}

TEST_F(VolumeDialogsTest, FatVolumeDefinedByHandScansAsFlsOfTheIntactCopy) {
  const std::string fsstat = Slurp(Fixture("fat16.fsstat.txt"));
  const int64_t fat0 = LayoutStart(fsstat, "FAT 0"), fat1 = LayoutStart(fsstat, "FAT 1");
  const std::string root = FsstatValue(fsstat, "** Root Directory");
  const int64_t rootSectors = std::stoll(root.substr(root.find('-') + 1)) - std::stoll(root) + 1;
  const std::string cluster = FsstatValue(fsstat, "Cluster Size");
  ASSERT_GT(fat0, 0);
  const VolumeFamily* fat = FindVolumeFamily(kVolFat16);
  if (!fat || !fat->scans || !fat->scans->quickScan) GTEST_SKIP() << "the Quick Scan of FAT waits for the FAT family's folder walk";
  Pick(Fixture("fat16.zero.img"));
  DialogVerdict save;
  handlers["CVolProp"] = [&](QDialog& d) {
    auto& p = static_cast<CVolProp&>(d);
    p.Init();
    VolPropRules& r = p.Rules();
    r.FileSystemChanged(1);  // "FAT"
    r.StartTyped(u"0");
    r.SectorChosen(u"512");
    r.ClusterChosen(FromUtf8(cluster));
    r.CapacityTyped(u"65,536");
    r.RowTyped(0, FromUtf8(std::to_string(fat0)));
    r.RowTyped(1, FromUtf8(std::to_string(fat1)));
    r.RowTyped(2, FromUtf8(std::to_string(rootSectors * 16)));
    save = r.Ok();
    return int(save.close ? QDialog::Accepted : QDialog::Rejected);
  };
  handlers["CBootSect"] = [&](QDialog& d) {
    auto& b = static_cast<CBootSect&>(d);
    b.Init();
    EXPECT_EQ(b.Rules().RowCount(), 1u);
    b.OnToggle(0);  // checking an unknown partition opens its properties
    EXPECT_EQ(b.Rules().DriveVolumeRows(), 1u);
    b.accept();
    return int(QDialog::Accepted);
  };
  QuickScan();
  ASSERT_TRUE(save.close) << save.message;
  EXPECT_EQ(ListedPaths(), FlsPaths(Slurp(Fixture("fat16.fls.txt"))));
}

TEST_F(VolumeDialogsTest, NtfsVolumeDefinedByHandOnABootlessDiskScansAsTheIntactOne) {
  const std::string basic = ntfs_fixture::Image("basic");
  const std::string bootless = ntfs_fixture::BootlessDisk();
  if (basic.empty() || bootless.empty()) GTEST_SKIP() << "xz missing";
  const std::string fsstat = Slurp(ntfs_fixture::FixtureDir() + "/basic.fsstat.txt");
  const int64_t mft = std::stoll(FsstatValue(fsstat, "First Cluster of MFT"));
  const int64_t mirror = std::stoll(FsstatValue(fsstat, "First Cluster of MFT Mirror"));
  const std::string range = FsstatValue(fsstat, "Total Sector Range");
  const int64_t sectors = std::stoll(range.substr(range.find('-') + 1)) + 1;
  AcceptVolumeChoice();
  Pick(basic);
  QuickScan();
  const std::set<std::string> intact = ListedPaths();
  ASSERT_FALSE(intact.empty());

  DialogVerdict save;
  handlers["CVolProp"] = [&](QDialog& d) {
    auto& p = static_cast<CVolProp&>(d);
    p.Init();
    VolPropRules& r = p.Rules();
    EXPECT_FALSE(r.okEnabled) << "no file system chosen yet";
    r.FileSystemChanged(0);  // "NTFS"
    EXPECT_TRUE(r.okEnabled);
    r.StartTyped(u"2,048");
    r.SectorChosen(u"512");
    r.ClusterChosen(FromUtf8(FsstatValue(fsstat, "Cluster Size")));
    r.CapacityTyped(FromUtf8(std::to_string(sectors)));
    r.RowTyped(0, FromUtf8(std::to_string(mft)));
    r.RowTyped(1, FromUtf8(std::to_string(mirror)));
    save = r.Ok();
    return int(save.close ? QDialog::Accepted : QDialog::Rejected);
  };
  handlers["CBootSect"] = [&](QDialog& d) {
    auto& b = static_cast<CBootSect&>(d);
    b.Init();
    // Without its partition table and boot sectors the disk is one unknown
    // partition: checking it opens its properties in edit mode.
    size_t row = b.Rules().RowCount();
    for (size_t i = 0; i < b.Rules().RowCount() && row == b.Rules().RowCount(); i++)
      if (!b.Rules().RowAt(i).volume && b.Rules().RowAt(i).partition >= 0) row = i;
    EXPECT_LT(row, b.Rules().RowCount());
    if (row == b.Rules().RowCount()) return int(QDialog::Rejected);
    b.OnToggle(int(row));
    b.accept();
    return int(QDialog::Accepted);
  };
  prompt.Push(kIdOk);   // "1 disk image file added ..."
  prompt.Push(kIdYes);  // "Clear current scan results?": Yes clears
  Pick(bootless);
  QuickScan();
  ASSERT_TRUE(save.close) << save.message;
  EXPECT_EQ(ListedPaths(), intact);
}

TEST_F(VolumeDialogsTest, ExcludedSectorsLoadedFromAFileAreZeroInTheSavedFile) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty() || !HaveTool("istat") || !HaveTool("icat")) GTEST_SKIP() << "xz or The Sleuth Kit missing";
  // The victim: plain.bin (inode 65); its sectors as istat lists them.
  const CommandRun istat = RunCommandStatus("istat '" + image + "' 65");
  ASSERT_EQ(istat.rc, 0);
  std::vector<int64_t> clusters;
  {
    std::istringstream in(istat.out.substr(istat.out.find("Type: $DATA")));
    std::string line;
    std::getline(in, line);
    int64_t c;
    while (in >> c) clusters.push_back(c);
  }
  ASSERT_GE(clusters.size(), 4u);
  const int64_t spc = 8;  // 4096-byte clusters of 512-byte sectors
  // Its second and third clusters, as a failing disk's map lists them: a
  // heading, then "first,last" lines of sectors.
  const std::string map = box_.Path() + "/bad.csv";
  std::set<int64_t> badClusters = {clusters[1], clusters[2]};
  {
    std::ofstream f(map);
    f << "first last\n";
    for (int64_t c : badClusters) f << c * spc << "," << c * spc + spc - 1 << "\r\n";
  }
  Pick(image);
  handlers["CExclusiveRangeDlg"] = [&](QDialog& d) {
    auto& x = static_cast<CExclusiveRangeDlg&>(d);
    x.Init();
    EXPECT_EQ(ToUtf8(x.Rules().DriveText()), image);
    x.LoadFromPath(QString::fromStdString(map));
    EXPECT_GE(x.Rules().LineCount(), 1u);
    x.accept();
    return int(QDialog::Accepted);
  };
  View()->OnCommand(cmd::kSectorExclusion);
  ASSERT_FALSE(dialogs.empty());
  ASSERT_EQ(dialogs.back(), "CExclusiveRangeDlg");
  AcceptVolumeChoice();
  QuickScan();
  ASSERT_GT(View()->List()->GetItemCount(), 0);
  const std::string dest = box_.Path() + "/out";
  View()->OnCommand(cmd::kSelectAll);
  View()->SetOverwriteAlways(true);
  View()->SetStep(1);
  View()->SetSaveTo(QString::fromStdString(dest));
  View()->OnCommand(cmd::kSave);
  WaitIdle();
  EXPECT_EQ(g_recoveryTotals.corrupt.load(), 1u);
  // plain.bin is icat's bytes with the excluded clusters zero; every other
  // file has icat's md5.
  std::string expect = RunCommandStatus("icat '" + image + "' 65").out;
  for (size_t i = 0; i < clusters.size(); i++)
    if (badClusters.count(clusters[i]))
      std::fill(expect.begin() + int64_t(i) * spc * 512,
                expect.begin() + std::min<int64_t>(int64_t(expect.size()), (int64_t(i) + 1) * spc * 512), '\0');
  // plain.bin and plain-link.bin are one record, saved under one name.
  struct stat st;
  const std::string victim = dest + (stat((dest + "/plain.bin").c_str(), &st) == 0 ? "/plain.bin" : "/plain-link.bin");
  const std::string got = Slurp(victim);
  EXPECT_EQ(got.size(), expect.size());
  EXPECT_TRUE(got == expect) << "the excluded clusters are zero, the rest is icat's";
  std::istringstream md5s(Slurp(ntfs_fixture::FixtureDir() + "/basic.icat-md5.txt"));
  std::string line;
  int checked = 0;
  while (std::getline(md5s, line)) {
    std::istringstream f(line);
    std::string md5, inode, path;
    f >> md5 >> inode;
    std::getline(f >> std::ws, path);
    if (path == "plain.bin" || path == "plain-link.bin" || stat((dest + "/" + path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
    checked++;
  }
  EXPECT_GT(checked, 3);
}

TEST_F(VolumeDialogsTest, AffiliationListsTheDrivesVolumes) {
  Pick(Fixture("disk.img"));
  AcceptVolumeChoice();
  QuickScan();
  ASSERT_GE(VolumeCount(*g_currentDrive), 2u);
  std::vector<WString> lines;
  WString maximum;
  handlers["CSelectVP"] = [&](QDialog& d) {
    auto& a = static_cast<CSelectVP&>(d);
    a.Init();
    lines = a.Rules().ComboLines();
    a.Rules().SelectMode(1);
    a.Rules().SelectVolume(1);
    maximum = a.Rules().maximumText;
    return int(QDialog::Rejected);
  };
  View()->OnCommand(cmd::kVolumeAffiliation);
  ASSERT_EQ(lines.size(), size_t(VolumeCount(*g_currentDrive)));
  const int64_t total = int64_t(g_currentDrive->SectorCount());
  const int64_t start = int64_t(VolumeAt(*g_currentDrive, 1)->startSector);
  EXPECT_EQ(Grouped(maximum), total - start);
  EXPECT_NE(lines[0].find(u"(sector number 2048)"), WString::npos) << ToUtf8(lines[0]);
  // The default range of a source that is no physical disk: the whole drive.
  EXPECT_EQ(View()->Affiliation().firstSector, 0);
  EXPECT_EQ(View()->Affiliation().sectorCount, total);
}

TEST_F(VolumeDialogsTest, VhdChainAndSpannedSetOpenAndScanAsTheOriginal) {
  if (!HaveTool("qemu-img") || !HaveTool("split")) GTEST_SKIP() << "qemu-img or split missing";
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "xz missing";
  AcceptVolumeChoice();
  Pick(image);
  QuickScan();
  // The raw image's rows (equal to fls -r -p, MainRoadTest).
  const std::set<std::string> fls = ListedPaths();
  ASSERT_FALSE(fls.empty());
  const std::string vhd = box_.Path() + "/basic.vhd";
  ASSERT_EQ(RunCommandStatus("qemu-img convert -f raw -O vpc -o subformat=fixed '" + image + "' '" + vhd + "' 2>&1").rc,
            0);
  AcceptVolumeChoice();
  handlers["CChainDskImgsDlg"] = [&](QDialog& d) { return ChooseChain(static_cast<CChainDskImgsDlg&>(d), true, vhd); };
  prompt.Push(kIdYes);  // "Clear current scan results?"
  View()->OnCommand(cmd::kLoadVhd);
  const WString definition = u"VHD(" + FromUtf8(vhd) + u")";
  ASSERT_NE(g_currentDrive, nullptr);
  EXPECT_EQ(g_currentDrive->Name(), definition);
  QuickScan();
  EXPECT_EQ(ListedPaths(), fls);

  // The image in three pieces of whole sectors (22, 22 and 20 MiB), put
  // together again through the span page.
  ASSERT_EQ(RunCommandStatus("cd '" + box_.Path() + "' && split -b 22M -d '" + image + "' piece. 2>&1").rc, 0);
  std::vector<WString> pieces;
  for (const char* p : {"piece.00", "piece.01", "piece.02"}) {
    pieces.push_back(FromUtf8(box_.Path() + "/" + p));
    View()->LoadDiskImages({pieces.back()});
  }
  handlers["CAdvancedVolume"] = [](QDialog& d) {
    return ChooseType(static_cast<CAdvancedVolume&>(d), u"Spanned volume");
  };
  handlers["CSpanned"] = [&](QDialog& d) { return AddMembers(static_cast<CSpanned&>(d), pieces); };
  prompt.Push(kIdYes);
  View()->OnCommand(cmd::kAdvancedVolumes);
  ASSERT_NE(g_currentDrive, nullptr);
  EXPECT_EQ(g_currentDrive->Name().rfind(u"SPAN(", 0), 0u) << ToUtf8(g_currentDrive->Name());
  QuickScan();
  EXPECT_EQ(ListedPaths(), fls);
}

// Each dialog as it opens on the partitioned disk, as PNG files, when
// DV_SCREENSHOTS_DIR is set (scripts/screenshots).
TEST_F(VolumeDialogsTest, Screenshots) {
  const char* dir = std::getenv("DV_SCREENSHOTS_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "DV_SCREENSHOTS_DIR not set";
  auto shot = [&](QWidget& w, const char* name) {
    w.show();
    QApplication::processEvents();
    EXPECT_TRUE(w.grab().save(QString::fromUtf8(dir) + QStringLiteral("/dialog-") + QString::fromUtf8(name)));
    w.hide();
  };
  Pick(Fixture("disk.img"));
  handlers["CVolProp"] = [&](QDialog& d) {
    auto& p = static_cast<CVolProp&>(d);
    p.Init();
    shot(p, p.Rules().EditMode() ? "volprop-edit.png" : "volprop-view.png");
    if (p.Rules().EditMode()) {
      CReadBoot rb(&p);
      rb.SetSector(2048);
      rb.Init();
      shot(rb, "readboot.png");
    }
    return int(QDialog::Rejected);
  };
  handlers["CBootSect"] = [&](QDialog& d) {
    auto& b = static_cast<CBootSect&>(d);
    b.Init();
    shot(b, "bootsect.png");
    b.OnOpen(0);
    b.OnContextCommand(BootSectRules::kCommandAdd);
    b.OnOpen(int(b.Rules().RowCount()) - 1);
    b.accept();
    return int(QDialog::Accepted);
  };
  QuickScan();
  CSelectVP affiliation(View());
  std::vector<AffiliationVolume> volumes;
  for (uint32_t i = 0; i < VolumeCount(*g_currentDrive); i++)
    volumes.push_back({u"", int64_t(VolumeAt(*g_currentDrive, i)->startSector),
                       int64_t(VolumeAt(*g_currentDrive, i)->sizeSectors), 0});
  affiliation.SetVolumes(volumes, 512, int64_t(g_currentDrive->SectorCount()));
  affiliation.SetAnswer({1, 1, 0, 0});
  affiliation.Init();
  shot(affiliation, "affiliation.png");
  CExclusiveRangeDlg exclusion(View());
  exclusion.SetBounds(0, g_currentDrive->SectorCount() * 512, 512);
  exclusion.SetDriveName(FromUtf8(Fixture("disk.img")));
  exclusion.Init();
  const std::string map = box_.Path() + "/map.csv";
  std::ofstream(map) << "100,199\n5000 | 5100\n70000,70015\n";
  exclusion.LoadFromPath(QString::fromStdString(map));
  shot(exclusion, "exclusion.png");
  CRange range(View());
  range.SetRange(0, 2147483647);
  shot(range, "partial-scan.png");
  CAdvancedVolume kind(View());
  kind.SetTypeText(u"RAID 5");
  kind.SetRotation(1);
  kind.Init();
  shot(kind, "raid-type.png");
  auto info = MakeMachineMemberInfo();
  CRAID raid(View());
  raid.SetParams(4, 3, MachineMemberSources({}), info.get(), 1, 1);
  raid.Init();
  shot(raid, "raid-members.png");
  CRAID6Settings gen(View());
  gen.SetRotation(0);
  gen.Init();
  shot(gen, "raid6-generators.png");
  CSpanned span(View());
  span.SetSources(MachineMemberSources({3, 4, 8, 9}), info.get());
  span.Init();
  shot(span, "span.png");
  COpenSchemaFile schema(View());
  schema.Init();
  shot(schema, "schema.png");
  for (bool vhd : {true, false}) {
    CChainDskImgsDlg chain(View());
    chain.SetVhd(vhd);
    chain.Init();
    chain.SetBasePath(QStringLiteral("/images/base.") + (vhd ? QStringLiteral("vhd") : QStringLiteral("vmdk")));
    chain.AddLink(QStringLiteral("/images/child1.") + (vhd ? QStringLiteral("vhd") : QStringLiteral("vmdk")));
    shot(chain, vhd ? "chain-vhd.png" : "chain-vmdk.png");
  }
  CDISaveDlg image(View());
  image.Ctl<QCheckBox>(1014)->click();
  shot(image, "disk-image.png");
  CDumpingPrgrsDlg progress(0, -1, 0, 1, nullptr, View());
  progress.SetDriveName(FromUtf8(Fixture("disk.img")));
  shot(progress, "disk-image-progress.png");
}

// An NTFS image striped by a script into two RAID 0 members (64 KiB
// blocks), defined through the type and member pages: its Quick Scan lists
// what the raw image's does.
TEST_F(VolumeDialogsTest, Raid0MembersThroughTheWizardScanAsTheOriginal) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "xz missing";
  const std::set<std::string> raw = ScanWithEveryVolume(image);
  ASSERT_FALSE(raw.empty());
  {
    const std::string bytes = Slurp(image);
    const size_t block = 65536;
    std::ofstream m0(box_.Path() + "/r0-member0.img", std::ios::binary);
    std::ofstream m1(box_.Path() + "/r0-member1.img", std::ios::binary);
    for (size_t i = 0; i * block < bytes.size(); i++)
      (i % 2 ? m1 : m0).write(bytes.data() + i * block, std::streamsize(std::min(block, bytes.size() - i * block)));
  }
  const std::vector<WString> members = {FromUtf8(box_.Path() + "/r0-member0.img"),
                                        FromUtf8(box_.Path() + "/r0-member1.img")};
  prompt.Push(kIdOk);  // "2 disk image files added ..."
  View()->LoadDiskImages(members);
  handlers["CAdvancedVolume"] = [](QDialog& d) { return ChooseType(static_cast<CAdvancedVolume&>(d), u"RAID 0", 2); };
  handlers["CRAID"] = [&](QDialog& d) { return AddMembers(static_cast<CRAID&>(d), members); };
  prompt.Push(kIdYes);  // "Clear current scan results?"
  View()->OnCommand(cmd::kAdvancedVolumes);
  ASSERT_NE(g_currentDrive, nullptr);
  EXPECT_EQ(g_currentDrive->Name().rfind(u"RAID0(", 0), 0u) << ToUtf8(g_currentDrive->Name());
  QuickScan();
  EXPECT_EQ(ListedPaths(), raw);
}

// The same image as a RAID 5 of three members (64 KiB blocks, backward
// asymmetric parity: the parity of row r on member 2 - r mod 3, the data in
// member order around it), written by a script, the second member given
// as "Missing": rebuilt from parity, the set scans as the original.
TEST_F(VolumeDialogsTest, Raid5WithAMissingMemberScansAsTheOriginal) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty()) GTEST_SKIP() << "xz missing";
  const std::set<std::string> raw = ScanWithEveryVolume(image);
  ASSERT_FALSE(raw.empty());
  const size_t block = 65536, n = 3;
  {
    const std::string bytes = Slurp(image);
    std::vector<std::string> m(n);
    const size_t rows = (bytes.size() + 2 * block - 1) / (2 * block);
    for (size_t r = 0; r < rows; r++) {
      const size_t parity = n - 1 - r % n;
      std::string p(block, '\0');
      size_t d = 0;
      for (size_t disk = 0; disk < n; disk++) {
        if (disk == parity) continue;
        std::string b(block, '\0');
        const size_t at = (r * 2 + d++) * block;
        if (at < bytes.size()) b.replace(0, std::min(block, bytes.size() - at), bytes, at, std::min(block, bytes.size() - at));
        for (size_t i = 0; i < block; i++) p[i] = char(p[i] ^ b[i]);
        m[disk] += b;
      }
      m[parity] += p;
    }
    for (size_t i = 0; i < n; i++) std::ofstream(box_.Path() + "/r5-" + std::to_string(i) + ".img", std::ios::binary) << m[i];
  }
  const std::vector<WString> members = {FromUtf8(box_.Path() + "/r5-0.img"), WString(),
                                        FromUtf8(box_.Path() + "/r5-2.img")};
  prompt.Push(kIdOk);
  View()->LoadDiskImages({members[0], members[2]});
  handlers["CAdvancedVolume"] = [](QDialog& d) {
    return ChooseType(static_cast<CAdvancedVolume&>(d), u"RAID 5", 3, 1);
  };
  handlers["CRAID"] = [&](QDialog& d) { return AddMembers(static_cast<CRAID&>(d), members); };
  prompt.Push(kIdYes);  // "Clear current scan results?"
  View()->OnCommand(cmd::kAdvancedVolumes);
  ASSERT_NE(g_currentDrive, nullptr);
  const WString name = g_currentDrive->Name();
  EXPECT_EQ(name.rfind(u"RAID5(", 0), 0u) << ToUtf8(name);
  EXPECT_NE(name.find(u",Missing,"), WString::npos) << ToUtf8(name);
  QuickScan();
  EXPECT_EQ(ListedPaths(), raw);
}

// A VMDK chain (qemu-img: a base and a delta link written to by qemu-io)
// through its dialog scans as the chain converted to a raw image.
TEST_F(VolumeDialogsTest, VmdkChainScansAsItsRawConversion) {
  const std::string image = ntfs_fixture::Image("basic");
  if (image.empty() || !HaveTool("qemu-img") || !HaveTool("qemu-io")) GTEST_SKIP() << "xz or qemu tools missing";
  const std::string base = box_.Path() + "/base.vmdk", link = box_.Path() + "/link.vmdk",
                    flat = box_.Path() + "/chain.raw";
  const std::string q = "qemu-img convert -f raw -O vmdk '" + image + "' '" + base + "' && qemu-img create -q -f vmdk -b '" +
                        base + "' -F vmdk '" + link + "' && qemu-io -c 'write -P 0x5a 63M 64k' '" + link +
                        "' >/dev/null && qemu-img convert -O raw '" + link + "' '" + flat + "' 2>&1";
  ASSERT_EQ(RunCommandStatus(q).rc, 0);
  AcceptVolumeChoice();
  Pick(flat);
  QuickScan();
  const std::set<std::string> raw = ListedPaths();
  ASSERT_FALSE(raw.empty());
  handlers["CChainDskImgsDlg"] = [&](QDialog& d) {
    return ChooseChain(static_cast<CChainDskImgsDlg&>(d), false, base, {link});
  };
  prompt.Push(kIdYes);  // "Clear current scan results?"
  View()->OnCommand(cmd::kLoadVmdk);
  ASSERT_NE(g_currentDrive, nullptr);
  EXPECT_EQ(g_currentDrive->Name(), u"VMDK(" + FromUtf8(base) + u"|" + FromUtf8(link) + u")");
  EXPECT_EQ(g_currentDrive->SectorCount() * g_currentDrive->SectorSize(), uint64_t(Slurp(flat).size()));
  QuickScan();
  EXPECT_EQ(ListedPaths(), raw);
}

// An image file on a file system of a 4096-byte-sector device (a loop
// device made with --sector-size 4096): opening it asks whether to read it
// in 4096-byte sectors; No reads it in 512-byte ones and its Quick Scan
// lists what the image's does where it lies on an ordinary file system.
TEST_F(VolumeDialogsTest, FourKQuestionForAnImageOnA4096ByteSectorDevice) {
  const std::string basic = ntfs_fixture::Image("basic");
  if (basic.empty()) GTEST_SKIP() << "xz missing";
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  const std::string backing = box_.Path() + "/fs4k.img", mnt = box_.Path() + "/mnt";
  ASSERT_EQ(std::system(("truncate -s 96M '" + backing + "' && mkdir '" + mnt + "'").c_str()), 0);
  LoopDevice loop(backing, "--sector-size 4096");
  if (loop.path().empty()) GTEST_SKIP() << "no loop device here";
  if (RunCommand("blockdev --getss " + loop.path()) != "4096\n") GTEST_SKIP() << "no 4096-byte loop sectors";
  if (std::system(("mkfs.ext4 -q -F '" + loop.path() + "' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "mkfs.ext4 failed";
  // Unmounted (lazily: the view may still hold the image) before the loop
  // device goes.
  struct Mount {
    std::string at;
    ~Mount() {
      if (!at.empty()) (void)std::system(("umount -l '" + at + "' 2>/dev/null").c_str());
    }
  } mount;
  if (std::system(("mount '" + loop.path() + "' '" + mnt + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no loop mount here";
  mount.at = mnt;
  const std::string image = mnt + "/basic.img";
  ASSERT_EQ(std::system(("cp '" + basic + "' '" + image + "'").c_str()), 0);

  AcceptVolumeChoice();
  Pick(basic);
  EXPECT_FALSE(Asked(Msg(663))) << "an image on 512-byte sectors asks nothing";
  QuickScan();
  const std::set<std::string> plain = ListedPaths();
  ASSERT_FALSE(plain.empty());

  prompt.Push(kIdOk);   // "1 disk image file added ..."
  prompt.Push(kIdYes);  // "Clear current scan results?"
  prompt.Push(kIdNo);   // the 4K question: keep 512-byte sectors
  Pick(image);
  EXPECT_TRUE(Asked(Msg(663)));
  EXPECT_EQ(g_currentDrive->HostSectorSize(), 4096u);
  EXPECT_EQ(g_currentDrive->SectorSize(), 512u);
  QuickScan();
  EXPECT_EQ(ListedPaths(), plain);
  // The image is let go before the file system is unmounted.
  TearDown();
  started_ = false;
}
