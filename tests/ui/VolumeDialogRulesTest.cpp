// The window-free rules of the volume dialogs: the properties of a volume
// (texts, change of file system, the checks of Save, reading a boot block
// from a file) and the volume choice over a drive without volumes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "storage/Drive.h"
#include "storage/PartitionTable.h"
#include "ui/core/BootSectRules.h"
#include "ui/core/VolPropRules.h"
#include "ui/core/VolumeRows.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "volumes/VolumeSearch.h"

namespace {

// Volumes of the base classes; initialisation as the families answer,
// scripted per type.
class FakeMaker : public VolumeMaker {
 public:
  CVol* Create(uint8_t type) override {
    created++;
    return CreateVol(type);
  }
  void Delete(CVol* v) override {
    deleted++;
    DeleteVol(&v);
  }
  int Probe(const uint8_t* sector) override { return sector[0]; }  // the first byte names the kind
  bool Init(CVol& v, const uint8_t* boot, size_t bytes, int64_t start, Drive*) override {
    lastBytes = bytes;
    if (!initOk) return false;
    v.startSector = uint64_t(start);
    v.sizeSectors = boot[1] * 1000u;
    return true;
  }
  bool initOk = true;
  int created = 0, deleted = 0;
  size_t lastBytes = 0;
};

class VolumeDialogRules : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
  FakeMaker maker;
  std::string TempFile(const std::string& name, const std::string& bytes) {
    const std::string path = testing::TempDir() + "dv_vol_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    files.push_back(path);
    return path;
  }
  ~VolumeDialogRules() override {
    for (const std::string& f : files) unlink(f.c_str());
  }
  std::vector<std::string> files;
};

CVol* NewVolume(uint8_t type, uint64_t start = 2048, uint64_t size = 100000) {
  CVol* v = CreateVol(type);
  v->startSector = start;
  v->sizeSectors = size;
  return v;
}

TEST_F(VolumeDialogRules, ViewModeShowsTheVolumeOnly) {
  CVol* v = NewVolume(kVolNtfs);
  auto* n = static_cast<NTFSVol*>(v);
  n->mftSector = 8 * 786432;
  n->mirrorSector = 16;
  VolPropRules r(&v, false, maker, nullptr);
  r.Init();
  EXPECT_FALSE(r.okShown);
  EXPECT_EQ(r.cancelText, u"Close");
  EXPECT_EQ(r.fileSystems, (std::vector<WString>{u"NTFS"}));
  EXPECT_EQ(r.clusterSizes, (std::vector<WString>{u"4,096"}));
  EXPECT_EQ(r.rowTexts[0], u"786,432");
  EXPECT_EQ(r.rowTexts[1], u"2");
  EXPECT_TRUE(r.rowReadOnly[0]);
  EXPECT_FALSE(r.rowShown[2]);
  EXPECT_EQ(r.startText, u"2,048");
  EXPECT_EQ(r.offsetDisplay, u"Offset 1.00 MB");
  EXPECT_TRUE(r.Ok().close);
  DeleteVol(&v);
}

TEST_F(VolumeDialogRules, EditModeOfANewVolume) {
  CVol* v = NewVolume(kVolUnknown, 0, 500000);
  VolPropRules r(&v, true, maker, nullptr);
  r.Init();
  EXPECT_TRUE(r.okShown);
  EXPECT_FALSE(r.okEnabled);  // no file system yet
  EXPECT_EQ(r.okText, u"&Save");
  EXPECT_TRUE(r.startText.empty());
  EXPECT_FALSE(r.bootBoxEnabled);
  EXPECT_EQ(r.fileSystems.size(), 12u);
  EXPECT_EQ(r.fileSystemIndex, -1);
  EXPECT_EQ(r.sectorSizes, (std::vector<WString>{u"512", u"4,096"}));
  EXPECT_EQ(r.clusterSizes.size(), 8u);  // 512 to 65,536
  r.StartTyped(u"2,048");
  EXPECT_TRUE(r.bootBoxEnabled);
  EXPECT_EQ(r.DefaultBootSector(), 2048);
  // Choosing FAT makes a new volume with the same geometry.
  r.FileSystemChanged(kVolFat16 - 1);
  EXPECT_TRUE(r.okEnabled);
  EXPECT_EQ(v->type, kVolFat16);
  EXPECT_EQ(v->sizeSectors, 500000u);
  EXPECT_EQ(r.rowLabels[2], Msg(592));
  EXPECT_EQ(maker.created, 1);
  EXPECT_EQ(maker.deleted, 1);
  // The same again changes nothing.
  r.FileSystemChanged(kVolFat16 - 1);
  EXPECT_EQ(maker.created, 1);
  // ext: the superblock lies two sectors in; UFS2 128; the block label.
  r.FileSystemChanged(kVolExt - 1);
  EXPECT_EQ(r.DefaultBootSector(), 2050);
  EXPECT_EQ(r.clusterLabel, Msg(320));
  EXPECT_TRUE(r.rowReadOnly[0]);
  r.FileSystemChanged(kVolUfs2 - 1);
  EXPECT_EQ(r.DefaultBootSector(), 2048 + 128);
  r.FileSystemChanged(kVolExFat - 1);
  EXPECT_EQ(r.clusterSizes.back(), u"33,554,432");
  r.FileSystemChanged(kVolVmfs - 1);
  EXPECT_EQ(r.clusterSizes.front(), u"1,048,576");
  EXPECT_EQ(r.DefaultBootSector(), 2048 + 2048);
  DeleteVol(&v);
}

TEST_F(VolumeDialogRules, SaveChecks) {
  const struct {
    uint8_t type;
    const char16_t* sector;
    const char16_t* cluster;
    const char16_t* start;
    const char16_t* rows[3];
    int message;
  } cases[] = {
      {kVolFat16, u"512", u"4,096", u"63", {u"1", u"100", u"512"}, 0},
      {kVolFat16, u"512", u"4,096", u"63", {u"1", u"100", u"500"}, 576},
      {kVolFat16, u"512", u"4,096", u"63", {u"32", u"33", u"512"}, 575},
      {kVolFat16, u"512", u"4,096", u"63", {u"32", u"34", u"512"}, 0},
      {kVolFat16, u"512", u"4,096", u"63", {u"0", u"34", u"512"}, 575},
      {kVolFat32, u"512", u"4,096", u"63", {u"32", u"33", u""}, 575},
      {kVolFat16, u"4,096", u"512", u"63", {u"1", u"100", u"512"}, 574},
      {kVolFat16, u"512", u"4,096", u"", {u"1", u"100", u"512"}, 202},
      {kVolNtfs, u"512", u"4,096", u"2048", {u"786432", u"2", u""}, 0},
      {kVolNtfs, u"512", u"4,096", u"2048", {u"78x", u"2", u""}, 376},
  };
  for (const auto& c : cases) {
    CVol* v = NewVolume(c.type, 0, 500000);
    VolPropRules r(&v, true, maker, nullptr);
    r.Init();
    r.SectorChosen(c.sector);
    r.ClusterChosen(c.cluster);
    r.StartTyped(c.start);
    for (int i = 0; i < 3; i++) r.RowTyped(i, c.rows[i]);
    const DialogVerdict verdict = r.Ok();
    EXPECT_EQ(verdict.message, c.message) << int(c.type) << " " << ToUtf8(c.rows[0]) << "/" << ToUtf8(c.rows[1]);
    if (c.message == 202) {
      EXPECT_EQ(verdict.MessageText(), u"Missing Starting sector");
    }
    if (c.message != 0) {
      // A refused Save leaves the volume as it was.
      EXPECT_EQ(v->sectorSize, 512u);
      EXPECT_EQ(v->clusterSize, 4096u);
      EXPECT_EQ(v->startSector, 0u);
    } else {
      EXPECT_EQ(v->startSector, uint64_t(ParseGroupedSigned(c.start).value()));
    }
    if (c.type == kVolNtfs && c.message == 0) {
      EXPECT_EQ(static_cast<NTFSVol*>(v)->mftSector, 786432 * 8);
      EXPECT_EQ(static_cast<NTFSVol*>(v)->mirrorSector, 16);
    }
    DeleteVol(&v);
  }
}

TEST_F(VolumeDialogRules, InodeSizes) {
  const struct {
    int64_t bytes;
    bool ok;
  } cases[] = {{128, true}, {256, true}, {384, false}, {4096, true}, {8192, false}, {0, false}, {-256, false}};
  for (const auto& c : cases) EXPECT_EQ(ValidInodeSize(c.bytes), c.ok) << c.bytes;
  // An ext volume with no superblock read has no inode size: Save refuses.
  CVol* v = NewVolume(kVolExt, 2048, 1000);
  VolPropRules r(&v, true, maker, nullptr);
  r.Init();
  EXPECT_EQ(r.Ok().message, 596);
  DeleteVol(&v);
}

TEST_F(VolumeDialogRules, NtfsRowsWithoutClusterDivisor) {
  CVol* v = NewVolume(kVolNtfs);
  v->SetSectorSize(4096);
  v->SetClusterSize(512);  // below the sector: no sectors per cluster
  EXPECT_EQ(ReadVolumeRow(*v, 0), std::nullopt);
  VolPropRules r(&v, false, maker, nullptr);
  r.Init();
  EXPECT_TRUE(r.rowTexts[0].empty());
  DeleteVol(&v);
}

TEST_F(VolumeDialogRules, ReadBootFromAFile) {
  std::string block(512, '\0');
  block[0] = char(kVolNtfs);
  block[1] = 7;
  const struct {
    const char* name;
    std::string bytes;
    bool initOk;
    int message;
  } cases[] = {
      {"ok.bin", block, true, 0},
      {"short.bin", block.substr(0, 511), true, 582},
      {"none.bin", std::string(512, '\0'), true, 582},
      {"zfs.bin", std::string(1, char(kVolZfs)) + std::string(511, '\0'), true, 582},
      {"past.bin", std::string(1, char(13)) + std::string(511, '\0'), true, 582},
      {"init-fails.bin", block, false, 582},
      {"ufs2.bin", std::string(1, char(kVolUfs2)) + std::string(1023, '\0'), true, 583},
  };
  for (const auto& c : cases) {
    maker.initOk = c.initOk;
    CVol* v = NewVolume(kVolFat16, 0, 500000);
    CVol* before = v;
    VolPropRules r(&v, true, maker, nullptr);
    r.Init();
    r.StartTyped(u"4096");
    const DialogVerdict verdict = r.ReadBoot(BootSource{false, FromUtf8(TempFile(c.name, c.bytes))});
    EXPECT_EQ(verdict.message, c.message) << c.name;
    if (c.message) {
      // The volume stays as it was; only a short UFS2 block keeps the box set.
      EXPECT_EQ(v, before) << c.name;
      EXPECT_EQ(v->type, kVolFat16);
      EXPECT_EQ(r.bootChecked, c.message == 583);
    } else {
      EXPECT_NE(v, before);
      EXPECT_EQ(v->type, kVolNtfs);
      EXPECT_EQ(v->startSector, 4096u);
      EXPECT_EQ(v->sizeSectors, 7000u);
      EXPECT_EQ(r.capacityText, u"7,000");
      EXPECT_EQ(maker.lastBytes, 512u);
    }
    DeleteVol(&v);
  }
  // A file of 512 bytes after one of 4096: the rest of the buffer is zero.
  maker.initOk = true;
  CVol* v = NewVolume(kVolFat16, 0, 500000);
  VolPropRules r(&v, true, maker, nullptr);
  r.Init();
  r.StartTyped(u"0");
  EXPECT_EQ(r.ReadBoot(BootSource{false, u"/nonexistent/boot.bin"}).message, 582);
  DeleteVol(&v);
}

TEST_F(VolumeDialogRules, ReadBootDialog) {
  ReadBootRules r;
  r.SetSector(1234567);
  r.Init();
  EXPECT_EQ(r.sectorText, u"1,234,567");
  EXPECT_TRUE(r.Enabled(ReadBootRules::kSectorEdit));
  EXPECT_FALSE(r.Enabled(ReadBootRules::kBrowse));
  r.SetFromDrive(false);
  EXPECT_FALSE(r.Enabled(ReadBootRules::kSectorEdit));
  EXPECT_TRUE(r.Enabled(ReadBootRules::kFileEdit));
  const BootSource s = r.Ok(u"5", u"  /some/file as typed");
  EXPECT_FALSE(s.fromDrive);
  EXPECT_EQ(s.text, u"  /some/file as typed");
}

// ---- the volume choice over a drive ----

class DriveOnImage {
 public:
  explicit DriveOnImage(const std::string& path, size_t bytes) : path_(path) {
    std::ofstream f(path, std::ios::binary);
    f.seekp(std::streamoff(bytes - 1));
    f.put('\0');
    f.close();
    drive = CreateDrive(FromUtf8(path));
    drive->InitDrive(FromUtf8(path));
    ScanPartitions(*drive);
  }
  ~DriveOnImage() {
    DeleteDrive(&drive);
    unlink(path_.c_str());
  }
  Drive* drive = nullptr;

 private:
  std::string path_;
};

TEST_F(VolumeDialogRules, VolumeChoiceOfAnEmptyDrive) {
  DriveOnImage d(testing::TempDir() + "dv_vol_empty_" + std::to_string(getpid()) + ".img", 8 << 20);
  BootSectRules r(*d.drive, maker);
  r.Init();
  ASSERT_EQ(r.RowCount(), 1u);
  EXPECT_EQ(r.RowText(0), u"Unknown partition 8.00 MB (at offset 0 KB)");
  EXPECT_FALSE(r.RowAt(0).checked);
  EXPECT_EQ(r.HintText(), Msg(567) + Msg(637));
  // No selection: Properties greyed; Add offers a new row once.
  EXPECT_FALSE(r.PropertiesItemEnabled());
  EXPECT_TRUE(r.AddItemEnabled());
  EXPECT_EQ(r.AddItemText(), u"&Add\u2026 (Experts only)");
  r.AddNewRow();
  EXPECT_EQ(r.RowCount(), 2u);
  EXPECT_EQ(r.RowText(1), u"New volume");
  EXPECT_FALSE(r.AddItemEnabled());
  EXPECT_EQ(r.selection, 1);
  // Checking the partition row opens its properties; Cancel leaves it
  // unchecked and deletes the volume made for it.
  EXPECT_TRUE(r.Toggle(0));
  CVol** slot = r.VolumeSlot(0);
  ASSERT_TRUE(slot && *slot);
  EXPECT_EQ((*slot)->type, kVolUnknown);
  EXPECT_EQ((*slot)->sizeSectors, uint64_t(8 << 20) / 512);
  EXPECT_TRUE(r.EditsRow(0));
  r.PropertiesClosed(0, false);
  EXPECT_FALSE(r.RowAt(0).checked);
  EXPECT_EQ(r.RowAt(0).volume, nullptr);
  // OK with a volume: the drive takes it; the same again is refused.
  for (int round = 0; round < 2; round++) {
    r.Toggle(1);
    CVol** s = r.VolumeSlot(r.RowCount() - 1);
    ASSERT_TRUE(s && *s);
    CVol* fresh = CreateVol(kVolNtfs);
    fresh->CopyGeometry(**s);
    fresh->startSector = 0;
    fresh->sizeSectors = 16000;
    DeleteVol(s);
    *s = fresh;
    const DialogVerdict v = r.PropertiesClosed(r.RowCount() - 1, true);
    if (round == 0) {
      EXPECT_EQ(v.message, 0);
      EXPECT_EQ(VolumeCount(*d.drive), 1u);
      EXPECT_EQ(r.DriveVolumeRows(), 1u);
      EXPECT_TRUE(r.RowAt(0).checked);
      EXPECT_EQ(r.RowText(0).substr(0, 14), u"NTFS Volume 0 ");
      r.AddNewRow();
    } else {
      EXPECT_EQ(v.message, 572);
      EXPECT_EQ(VolumeCount(*d.drive), 1u);
    }
  }
  // OK leaves the unchecked volumes out of the scan.
  r.Toggle(0);
  r.Ok();
  EXPECT_EQ(VolumeAt(*d.drive, 0)->scanFlags & kVolScanSelected, 0);
}

}  // namespace
