// The window-free rules of the source dialogs: the RAID and spanned-volume
// wizard's pages (type page, RAID members, RAID 6 generators, spanned
// extents, schema file), the chained-image dialog, and the RAID settings
// the pages give.
#include <gtest/gtest.h>

#include <map>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "storage/VolumeDefinition.h"
#include "ui/core/MemberPageRules.h"
#include "ui/core/OptionRules.h"
#include "ui/core/WizardRules.h"

namespace {

class SourceDialogRules : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
};

// Sources of fixed sizes and partitions, and a list of defined sets.
class FakeSources : public MemberSourceInfo {
 public:
  struct Facts {
    uint32_t sectorSize = 512;
    int64_t sectors = 0;
    std::vector<PartitionSpan> partitions;
  };
  std::map<WString, Facts> facts;
  std::vector<WString> defined;
  bool Measure(const MemberSource& s, uint32_t* sectorSize, int64_t* sectors) override {
    auto it = facts.find(s.name);
    if (it == facts.end()) return false;
    *sectorSize = it->second.sectorSize;
    *sectors = it->second.sectors;
    return true;
  }
  std::vector<PartitionSpan> Partitions(const MemberSource& s) override {
    auto it = facts.find(s.name);
    return it == facts.end() ? std::vector<PartitionSpan>{} : it->second.partitions;
  }
  bool IsDefined(WStringView d) override {
    for (const WString& w : defined)
      if (w == d) return true;
    return false;
  }
};

std::vector<MemberSource> Images(int n) {
  std::vector<MemberSource> out;
  for (int i = 0; i < n; i++) {
    const WString p = u"/img/m" + FromUtf8(std::to_string(i)) + u".img";
    out.push_back({MemberSource::kImage, p, p});
  }
  return out;
}

FakeSources SizedImages(int n, int64_t sectors) {
  FakeSources f;
  for (const MemberSource& s : Images(n)) f.facts[s.name] = {512, sectors, {}};
  return f;
}

int IndexOf(const RaidPageRules& r, MemberSource::Kind kind, WStringView name = {}) {
  for (size_t i = 0; i < r.Disks().size(); i++)
    if (r.Disks()[i].kind == kind && (name.empty() || r.Disks()[i].name == name)) return int(i);
  return -1;
}

void AddImage(RaidPageRules& r, WStringView name) {
  r.SelectDisk(IndexOf(r, MemberSource::kImage, name));
  r.Add();
}

void AddMissing(RaidPageRules& r) {
  r.SelectDisk(IndexOf(r, MemberSource::kPlaceholder));
  r.Add();
}

// ---- type page ----

TEST_F(SourceDialogRules, TypePageBlockSizes) {
  const struct {
    const char16_t* text;
    int64_t bytes;
  } cases[] = {{u"0.5 (512 bytes)", 512}, {u"64", 65536}, {u"1", 1024},    {u"1024", 1048576},
               {u"0.49", 512},            {u"0.3", 0},     {u"", 0},        {u"abc", 0},
               {u"99999999999", -1},      {u"3000000", -1}};
  for (const auto& c : cases) EXPECT_EQ(AdvancedVolumeRules::BlockSizeFromText(c.text), c.bytes) << ToUtf8(c.text);
  EXPECT_EQ(AdvancedVolumeRules::BlockSizeTexts().size(), 12u);
}

TEST_F(SourceDialogRules, TypePageNext) {
  const struct {
    const char16_t* type;
    const char16_t* disks;
    const char16_t* block;
    int available;
    int message, focus;
  } cases[] = {
      {u"RAID 6", u"3", u"64", 9, 665, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 6", u"4", u"64", 9, 0, 0},
      {u"RAIDZ2 (double parity)", u"3", u"", 9, 665, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 5", u"4", u"64", 3, 0, 0},  // three data disks on three sources
      {u"RAID 5", u"5", u"64", 3, 246, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 5", u"2", u"64", 9, 225, AdvancedVolumeRules::kDisksEdit},
      {u"RAIDZ1 (single parity)", u"2", u"", 9, 225, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 0", u"1", u"64", 9, 224, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 0", u"0", u"64", 9, 376, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 0", u"x", u"64", 9, 376, AdvancedVolumeRules::kDisksEdit},
      {u"RAID 0", u"2", u"", 9, 376, AdvancedVolumeRules::kBlockCombo},
      {u"RAID 0", u"2", u"0.3", 9, 376, AdvancedVolumeRules::kBlockCombo},
      {u"RAID 0", u"2", u"99999999999", 9, 376, AdvancedVolumeRules::kBlockCombo},
      {u"RAID 0", u"2", u"0.5 (512 bytes)", 9, 0, 0},
      // No disk count, no block size for these.
      {u"Spanned volume", u"", u"", 0, 0, 0},
      {u"Custom RAID", u"", u"", 0, 0, 0},
      {u"no such type", u"4", u"64", 9, 376, AdvancedVolumeRules::kTypeCombo},
  };
  for (const auto& c : cases) {
    AdvancedVolumeRules r;
    r.SelectType(c.type);
    const DialogVerdict v = r.Next(c.disks, c.block, u"16", AdvancedVolumeRules::RotationName(2), c.available);
    EXPECT_EQ(v.message, c.message) << ToUtf8(c.type) << " " << ToUtf8(c.disks);
    EXPECT_EQ(v.focus, c.focus) << ToUtf8(c.type);
    EXPECT_EQ(v.close, c.message == 0);
    if (v.close) {
      EXPECT_EQ(r.delay, 16);
      EXPECT_EQ(r.rotation, 2);
    }
  }
}

TEST_F(SourceDialogRules, TypePageFieldsFollowTheType) {
  const struct {
    const char16_t* type;
    bool rotation, block, disks;
    size_t rotations;
  } cases[] = {
      {u"RAID 0", false, true, true, 0},  {u"RAID 5", true, true, true, 4},          {u"RAID 6", true, true, true, 4},
      {u"RAIDZ1 (single parity)", false, false, true, 0}, {u"Spanned volume", false, false, false, 0},
      {u"Custom RAID", false, false, false, 0},
  };
  for (const auto& c : cases) {
    AdvancedVolumeRules r;
    r.SelectType(c.type);
    EXPECT_EQ(r.Enabled(AdvancedVolumeRules::kRotationCombo), c.rotation) << ToUtf8(c.type);
    EXPECT_EQ(r.Enabled(AdvancedVolumeRules::kDelayCombo), c.rotation);
    EXPECT_EQ(r.Enabled(AdvancedVolumeRules::kBlockCombo), c.block);
    EXPECT_EQ(r.Enabled(AdvancedVolumeRules::kDisksEdit), c.disks);
    EXPECT_EQ(AdvancedVolumeRules::RotationNames(r.TypeCode()).size(), c.rotations);
  }
  // RAID 5 offers the symmetric and asymmetric rotations, RAID 6 the shifted ones.
  EXPECT_EQ(AdvancedVolumeRules::RotationNames(kRaid6)[2], u"Backward symmetric, shift 2");
  EXPECT_EQ(AdvancedVolumeRules::RotationCode(u"Backward asymmetric, shift 2"), 4);
}

// ---- RAID 6 generators and the settings ----

TEST_F(SourceDialogRules, GeneratorPageSettings) {
  const struct {
    int rotation;
    int formula;
    bool statik, skip;
    int mode, order;
    bool rotateEnabled;
  } cases[] = {
      {2, 0, false, false, 0, 0, true},  {2, 1, false, true, 1, 0, true}, {2, 1, true, false, 1, 1, true},
      {2, 0, true, true, 0, 2, true},
      // Rotations 1 and 4 force static generators.
      {1, 0, false, false, 0, 1, false}, {4, 1, false, true, 1, 2, false},
  };
  for (const auto& c : cases) {
    Raid6SettingsRules r;
    r.SetRotation(c.rotation);
    r.Init();
    r.SetFormula(c.formula);
    r.SetStatic(c.statik);
    r.SetSkip(c.skip);
    EXPECT_EQ(r.CoefficientMode(), c.mode);
    EXPECT_EQ(r.Order(), c.order) << c.rotation << c.statik << c.skip;
    EXPECT_EQ(r.Enabled(Raid6SettingsRules::kRotate), c.rotateEnabled);
    EXPECT_EQ(r.Enabled(Raid6SettingsRules::kSkip), r.staticOrder);
  }
  const RaidSettings s = SettingsFromPages(65536, 16, 2, 1, 2, u"/x/schema.txt");
  EXPECT_EQ(s.stripeBytes, 65536);
  EXPECT_EQ(s.parityGroup, 16);
  EXPECT_EQ(s.rotation, 2);
  EXPECT_EQ(s.coefficientMode, 1);
  EXPECT_EQ(s.order, 2);
  EXPECT_EQ(s.schemaPath, u"/x/schema.txt");
  EXPECT_EQ(SettingsFromPages(0, 0, -1, 0, 0, u"").parityGroup, 1);
}

// ---- RAID members ----

TEST_F(SourceDialogRules, RaidPageDefinitionWithAMissingMember) {
  FakeSources f = SizedImages(3, 204800);
  RaidPageRules r;
  r.SetParams(kRaid5, 3, Images(3), &f);
  r.Init();
  AddImage(r, u"/img/m0.img");
  AddMissing(r);
  AddImage(r, u"/img/m2.img");
  EXPECT_TRUE(r.Enabled(RaidPageRules::kFinish));
  EXPECT_EQ(r.FinishText(), u"&Finish");
  ASSERT_TRUE(r.Finish().close);
  EXPECT_EQ(r.definition, u"RAID5(/img/m0.img<0:204799>,Missing,/img/m2.img<0:204799>)");
  EXPECT_EQ(r.TotalText(), u"200");  // two data members of 100 MiB
  // Defined already.
  f.defined.push_back(r.definition);
  const DialogVerdict again = r.Finish();
  EXPECT_EQ(again.message, 118);
}

TEST_F(SourceDialogRules, RaidPageMissingMembers) {
  FakeSources f = SizedImages(4, 204800);
  {
    RaidPageRules r;
    r.SetParams(kRaid5, 3, Images(3), &f);
    r.Init();
    AddMissing(r);
    // RAID 5 keeps no placeholder after the first missing member.
    EXPECT_EQ(IndexOf(r, MemberSource::kPlaceholder), -1);
  }
  {
    RaidPageRules r;
    r.SetParams(kRaid6, 4, Images(4), &f);
    r.Init();
    AddMissing(r);
    EXPECT_GE(IndexOf(r, MemberSource::kPlaceholder), 0);
    AddMissing(r);
    EXPECT_EQ(IndexOf(r, MemberSource::kPlaceholder), -1);
    EXPECT_EQ(r.FinishText(), u"&Next >");
    AddImage(r, u"/img/m2.img");
    AddImage(r, u"/img/m3.img");
    ASSERT_TRUE(r.Finish().close);
    EXPECT_EQ(r.definition, u"RAID6(Missing,Missing,/img/m2.img<0:204799>,/img/m3.img<0:204799>)");
    // Removing a missing line brings the placeholder back.
    r.Select(0);
    r.Remove();
    EXPECT_GE(IndexOf(r, MemberSource::kPlaceholder), 0);
  }
  {
    // RAIDZ1 gets the placeholder back too when its missing member goes.
    RaidPageRules r;
    r.SetParams(kRaidZ1, 3, Images(3), &f);
    r.Init();
    AddMissing(r);
    r.Select(0);
    r.Remove();
    EXPECT_GE(IndexOf(r, MemberSource::kPlaceholder), 0);
  }
}

TEST_F(SourceDialogRules, RaidPageSizes) {
  FakeSources f;
  f.facts[u"/img/m0.img"] = {512, 409600, {}};
  f.facts[u"/img/m1.img"] = {512, 204800 + 100, {}};  // 100 MiB and 100 sectors
  f.facts[u"/img/m2.img"] = {512, 409600, {{2048, 300000}}};
  RaidPageRules r;
  r.SetParams(kRaid0, 3, Images(3), &f);
  r.Init();
  AddImage(r, u"/img/m0.img");
  EXPECT_EQ(r.PerDiskText(), u"200");
  AddImage(r, u"/img/m1.img");
  // The smaller member sets the size, exactly, and the first line follows.
  EXPECT_EQ(r.MaximumBytes(), (204800 + 100) * 512);
  EXPECT_EQ(r.PerDiskBytes(), r.MaximumBytes());
  EXPECT_EQ(r.LineText(0), u"/img/m0.img<0:204899>");
  // A partition of the third member.
  r.SelectDisk(IndexOf(r, MemberSource::kImage, u"/img/m2.img"));
  ASSERT_EQ(r.PartitionTexts().size(), 2u);
  r.SelectPartition(1);
  EXPECT_EQ(r.firstText, u"2048");
  r.Add();
  EXPECT_EQ(r.LineText(2), u"/img/m2.img<2048:206947>");
  // Per-disk edits: 0, past the maximum, and a whole number of MiB.
  EXPECT_FALSE(r.PerDiskTyped(u"0"));
  EXPECT_FALSE(r.PerDiskTyped(u"101"));
  EXPECT_FALSE(r.PerDiskTyped(u"x"));
  EXPECT_TRUE(r.PerDiskTyped(u"50"));
  EXPECT_EQ(r.PerDiskBytes(), 50 * RaidPageRules::kMiB);
  EXPECT_EQ(r.LineText(0), u"/img/m0.img<0:102399>");
  EXPECT_EQ(r.TotalText(), u"150");
  EXPECT_TRUE(r.PerDiskTyped(u"100"));  // the maximum lies within the next MiB: taken exactly
  EXPECT_EQ(r.PerDiskBytes(), r.MaximumBytes());
  // Removing every real member leaves no maximum and no size edit.
  for (int i = 0; i < 3; i++) {
    r.Select(0);
    r.Remove();
  }
  EXPECT_EQ(r.MaximumBytes(), 0);
  EXPECT_FALSE(r.Enabled(RaidPageRules::kPerDiskEdit));
  // A first sector past the member is refused.
  r.SelectDisk(IndexOf(r, MemberSource::kImage, u"/img/m1.img"));
  r.FirstTyped(u"999999");
  EXPECT_EQ(r.Add().message, 376);
}

TEST_F(SourceDialogRules, RaidPageButtons) {
  FakeSources f = SizedImages(3, 2048);
  RaidPageRules r;
  r.SetParams(kRaid5, 3, Images(3), &f);
  r.Init();
  EXPECT_FALSE(r.Enabled(RaidPageRules::kAdd));
  EXPECT_FALSE(r.Enabled(RaidPageRules::kFinish));
  r.SelectDisk(IndexOf(r, MemberSource::kPlaceholder));
  EXPECT_TRUE(r.Enabled(RaidPageRules::kAdd));
  EXPECT_FALSE(r.Enabled(RaidPageRules::kFirstEdit));
  r.Add();
  AddImage(r, u"/img/m1.img");
  EXPECT_TRUE(r.Enabled(RaidPageRules::kMoveUp));
  EXPECT_FALSE(r.Enabled(RaidPageRules::kMoveDown));
  r.MoveUp();
  EXPECT_EQ(r.LineText(0), u"/img/m1.img<0:2047>");
  AddImage(r, u"/img/m2.img");
  EXPECT_FALSE(r.Enabled(RaidPageRules::kDiskCombo));
  EXPECT_TRUE(r.Enabled(RaidPageRules::kFinish));
  // Back keeps the lines for the next showing.
  r.Back();
  r.Init();
  EXPECT_EQ(r.Lines().size(), 3u);
  EXPECT_EQ(IndexOf(r, MemberSource::kImage, u"/img/m1.img"), -1);
}

TEST_F(SourceDialogRules, RaidPageTooManyMissing) {
  FakeSources f = SizedImages(3, 2048);
  RaidPageRules r;
  r.SetParams(kRaid5, 3, Images(3), &f);
  r.Init();
  AddMissing(r);
  // The placeholder is gone after one; a second missing line can only come
  // from an earlier showing (Back after a RAID 6 type).
  RaidPageRules six;
  six.SetParams(kRaid6, 3, Images(3), &f);
  six.Init();
  AddMissing(six);
  AddMissing(six);
  AddImage(six, u"/img/m0.img");
  six.Back();
  six.SetParams(kRaid5, 3, Images(3), &f);
  six.Init();
  EXPECT_EQ(six.MissingCount(), 2);
  EXPECT_EQ(six.Finish().message, 672);
}

// ---- spanned extents ----

TEST_F(SourceDialogRules, SpanPage) {
  FakeSources f;
  f.facts[u"/img/m0.img"] = {512, 20480, {}};
  f.facts[u"/img/m1.img"] = {4096, 2560, {}};
  SpanPageRules r;
  r.SetSources(Images(2), &f);
  r.Init();
  EXPECT_FALSE(r.Enabled(SpanPageRules::kFinish));
  r.SelectDisk(0);
  EXPECT_EQ(r.firstText, u"0");
  EXPECT_EQ(r.lastText, u"20479");
  EXPECT_EQ(r.MaximumText(), u"20479");
  // The limit is the source's size: its last sector passes, one more not.
  EXPECT_TRUE(r.AcceptSectorText(u"20479"));
  EXPECT_FALSE(r.AcceptSectorText(u"20480"));
  EXPECT_FALSE(r.AcceptSectorText(u"1x"));
  r.LastTyped(u"10239");
  EXPECT_EQ(r.ExtentText(), u"5");
  r.Add();
  // The same disk again for a second extent.
  r.SelectDisk(0);
  r.FirstTyped(u"10240");
  r.Add();
  EXPECT_EQ(r.TotalText(), u"10");
  // 4096-byte sectors: bytes / 1 MiB, not sectors / 2048.
  r.SelectDisk(1);
  EXPECT_EQ(r.ExtentText(), u"10");
  r.Add();
  EXPECT_EQ(r.TotalText(), u"20");
  r.Select(2);
  r.Remove();
  EXPECT_EQ(r.TotalText(), u"10");
  EXPECT_EQ(r.lastText, u"2559");
  ASSERT_TRUE(r.Finish().close);
  EXPECT_EQ(r.definition, u"SPAN(/img/m0.img<0:10239>,/img/m0.img<10240:20479>)");
  f.defined.push_back(r.definition);
  EXPECT_EQ(r.Finish().message, 118);
  r.Back();
  EXPECT_TRUE(r.definition.empty());
}

// ---- schema file ----

TEST_F(SourceDialogRules, SchemaPage) {
  auto count = [](WStringView p) { return p == u"/s/four.txt" ? 4 : p == u"/s/nine.txt" ? 9 : 0; };
  const struct {
    const char16_t* typed;
    int available;
    int message;
    int disks;
  } cases[] = {
      {u"", 9, 668, 0}, {u"   ", 9, 668, 0}, {u"/s/bad.txt", 9, 668, 0},
      {u"/s/nine.txt", 8, 246, 0}, {u"/s/four.txt", 4, 0, 4}, {u" /s/four.txt ", 9, 0, 4},
  };
  for (const auto& c : cases) {
    SchemaPageRules r;
    const DialogVerdict v = r.Next(c.typed, count, c.available);
    EXPECT_EQ(v.message, c.message) << ToUtf8(c.typed);
    EXPECT_EQ(r.disks, c.disks);
    EXPECT_EQ(v.close, c.message == 0);
  }
}

// ---- chained images ----

TEST_F(SourceDialogRules, ChainDefinitions) {
  ChainRules vhd(true);
  vhd.AddLink(u"/v/child1.vhd");
  vhd.AddLink(u"/v/child2.vhd");
  ASSERT_TRUE(vhd.Ok(u"/v/parent.vhd", nullptr).close);
  EXPECT_EQ(vhd.definition, u"VHD(/v/parent.vhd|/v/child1.vhd|/v/child2.vhd)");
  std::vector<WString> registered;
  ChainRules::RegisterImages(vhd.definition, [&](WStringView p) { registered.emplace_back(p); });
  EXPECT_EQ(registered, (std::vector<WString>{u"/v/parent.vhd", u"/v/child1.vhd", u"/v/child2.vhd"}));

  const struct {
    bool vhd;
    const char16_t* text;
    const char16_t* caption;
  } empties[] = {{true, u"The parent disk image cannot be empty!", u"Load VHD Files"},
                 {false, u"The base disk image cannot be empty!", u"Load VMDK Files"}};
  for (const auto& c : empties) {
    ChainRules r(c.vhd);
    WString caption;
    const DialogVerdict v = r.Ok(u"  ", &caption);
    EXPECT_FALSE(v.close);
    EXPECT_EQ(v.MessageText(), c.text);
    EXPECT_EQ(caption, c.caption);
    EXPECT_EQ(v.focus, ChainRules::kBaseEdit);
  }
  ChainRules vmdk(false);
  for (int i = 0; i < 7; i++) {
    EXPECT_TRUE(vmdk.Enabled(ChainRules::kAddLink)) << i;
    vmdk.AddLink(u"/v/l" + FromUtf8(std::to_string(i)) + u".vmdk");
  }
  EXPECT_FALSE(vmdk.Enabled(ChainRules::kAddLink));
  vmdk.AddLink(u"/v/eighth.vmdk");
  EXPECT_EQ(vmdk.links.size(), 7u);
  // Moving and removing follow the selection.
  vmdk.Select(0);
  EXPECT_FALSE(vmdk.Enabled(ChainRules::kMoveUp));
  EXPECT_TRUE(vmdk.Enabled(ChainRules::kMoveDown));
  vmdk.MoveDown();
  EXPECT_EQ(vmdk.links[1], u"/v/l0.vmdk");
  EXPECT_EQ(vmdk.selection, 1);
  vmdk.Select(6);
  vmdk.Remove();
  EXPECT_EQ(vmdk.selection, 5);
  EXPECT_TRUE(vmdk.Enabled(ChainRules::kAddLink));
}

}  // namespace
