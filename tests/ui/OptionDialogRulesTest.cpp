// The window-free rules of the option dialogs: number readers, the volume
// affiliation (sizes, typing, OK and its overrides, the command's default
// range), the sector exclusion (Add, Remove, the range file with its
// pieces, and the faults of the file reader), the partial scan window and
// the view's questions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "ui/core/AffiliationRules.h"
#include "ui/core/DialogRules.h"
#include "ui/core/ExclusionRules.h"
#include "ui/core/OptionRules.h"
#include "ui/core/WizardRules.h"

namespace {

class OptionDialogRules : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
  std::string TempFile(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + "dv_opt_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << text;
    files.push_back(path);
    return path;
  }
  ~OptionDialogRules() override {
    for (const std::string& f : files) unlink(f.c_str());
  }
  std::vector<std::string> files;
};

TEST_F(OptionDialogRules, NumberReaders) {
  const struct {
    const char16_t* text;
    int64_t grouped;  // -1: refused
    int64_t withSign;
  } cases[] = {
      {u"", 0, 0},
      {u"0", 0, 0},
      {u"1,000,000", 1000000, 1000000},
      {u"1,,0", 10, 10},
      {u"-2048", -1, -2048},
      {u"-", -1, 0},
      {u"12a", -1, -1},
      {u" 5", -1, -1},
      {u"9223372036854775807", INT64_MAX, INT64_MAX},
      {u"9223372036854775808", -1, -1},
      {u"18446744073709551615", -1, -1},
      {u"99999999999999999999", -1, -1},
  };
  for (const auto& c : cases) {
    const std::optional<int64_t> g = ParseGroupedSigned(c.text);
    EXPECT_EQ(g ? *g : -1, c.grouped) << ToUtf8(c.text);
    const std::optional<int64_t> s = ParseGroupedWithSign(c.text);
    EXPECT_EQ(s ? *s : -1, c.withSign) << ToUtf8(c.text);
  }
  const struct {
    const char16_t* text;
    std::optional<int64_t> want;
  } leading[] = {{u"", 0},       {u"abc", 0},   {u"  42x", 42},           {u"-7", -7},
                 {u"+3", 3},     {u"0.5", 0},   {u"9223372036854775808", std::nullopt},
                 {u"-9223372036854775808", INT64_MIN}};
  for (const auto& c : leading) EXPECT_EQ(ParseLeadingInteger(c.text), c.want) << ToUtf8(c.text);
}

// ---- volume affiliation ----

AffiliationRules TwoVolumes(int64_t driveSectors = 1000000) {
  AffiliationRules r;
  r.SetVolumes({{u"", 2048, 100000, 0}, {u"", 200000, 50000, 0}}, 512, driveSectors);
  r.SetAnswer({1, 0, 0, 0});
  r.Init();
  return r;
}

TEST_F(OptionDialogRules, AffiliationComboLinesNameVolumesByPlace) {
  AffiliationRules r = TwoVolumes();
  const std::vector<WString> lines = r.ComboLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"Volume 0 at offset 1.00 MB (sector number 2048), size 48.83 MB (100000 sectors).");
  EXPECT_EQ(lines[1].substr(0, 9), u"Volume 1 ");
}

TEST_F(OptionDialogRules, AffiliationOverrideBounds) {
  // Maximum of volume 0 = 1,000,000 - 2048.
  const struct {
    const char16_t* text;
    bool closes;
  } cases[] = {
      {u"8191", false},  {u"8192", true},     {u"997952", true}, {u"997953", false},
      {u"997,952", true}, {u"1,000,000", false}, {u"", false},    {u"x", false},
  };
  for (const auto& c : cases) {
    AffiliationRules r = TwoVolumes();
    r.SelectMode(1);
    r.SelectVolume(0);
    r.SetOverrideFlag(true);
    EXPECT_EQ(r.maximumText, u"997952");
    r.OverrideTyped(c.text);
    const DialogVerdict v = r.Ok();
    EXPECT_EQ(v.close, c.closes) << ToUtf8(c.text);
    if (!c.closes) {
      EXPECT_EQ(v.message, 66);
      EXPECT_EQ(v.focus, AffiliationRules::kOverrideEdit);
    } else {
      EXPECT_EQ(r.Overrides()[0], ParseGroupedSigned(c.text).value());
      EXPECT_EQ(r.Overrides()[1], 0);
    }
  }
}

TEST_F(OptionDialogRules, AffiliationRefusedOkKeepsEarlierOverrides) {
  AffiliationRules r;
  r.SetVolumes({{u"", 2048, 100000, 0}, {u"", 200000, 50000, 30000}}, 512, 1000000);
  r.SetAnswer({1, 1, 0, 0});
  r.Init();
  EXPECT_TRUE(r.overrideFlag);
  EXPECT_EQ(r.overrideText, u"30000");
  r.OverrideTyped(u"100");
  EXPECT_FALSE(r.Ok().close);
  // Nothing was cleared: the dialog's answer for Cancel is the volumes' own.
  EXPECT_EQ(r.Overrides(), (std::vector<int64_t>{0, 30000}));
  // Mode 0 or mode 1 without the override clear every override.
  r.SelectMode(0);
  EXPECT_TRUE(r.Ok().close);
  EXPECT_EQ(r.Overrides(), (std::vector<int64_t>{0, 0}));
}

TEST_F(OptionDialogRules, AffiliationUserSpecifiedVolume) {
  const struct {
    const char16_t* first;
    const char16_t* number;
    bool closes;
    int message;
    int64_t wantFirst;
  } cases[] = {
      {u"-2048", u"1,000,000", true, 0, -2048},
      {u"", u"5000", true, 0, 0},
      {u"63", u"0", false, 66, 0},
      {u"63", u"", false, 66, 0},
      {u"6x", u"5000", false, 184, 0},
      {u"9,223,372,036,854,775,808", u"5", false, 184, 0},
  };
  for (const auto& c : cases) {
    AffiliationRules r = TwoVolumes();
    r.SelectMode(2);
    r.FirstTyped(c.first);
    r.NumberTyped(c.number);
    const DialogVerdict v = r.Ok();
    EXPECT_EQ(v.close, c.closes) << ToUtf8(c.first);
    EXPECT_EQ(v.message, c.message) << ToUtf8(c.first);
    if (c.closes) {
      EXPECT_EQ(r.Answer().mode, 2);
      EXPECT_EQ(r.Answer().firstSector, c.wantFirst);
    }
  }
  AffiliationRules r = TwoVolumes();
  r.FirstTyped(u"-2048");
  EXPECT_EQ(r.offsetDisplay, u"Offset: -1.00 MB");
  r.NumberTyped(u"1,000,000");
  EXPECT_EQ(r.sizeDisplay, u"Size: 488.28 MB");
}

TEST_F(OptionDialogRules, AffiliationTyping) {
  AffiliationRules r = TwoVolumes();
  const struct {
    const char16_t* text;
    bool first, number;
  } cases[] = {{u"", true, false},   {u"-", true, false},       {u"12", true, true},  {u"1,2", true, true},
               {u"a", false, false}, {u"-12", true, false},    {u"1 2", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(r.AcceptFirstText(c.text), c.first) << ToUtf8(c.text);
    EXPECT_EQ(r.AcceptNumberText(c.text), c.number) << ToUtf8(c.text);
  }
}

TEST_F(OptionDialogRules, AffiliationEnableStates) {
  AffiliationRules r = TwoVolumes();
  const int user[] = {AffiliationRules::kFirstEdit, AffiliationRules::kNumberEdit, AffiliationRules::kOffsetDisplay};
  const int chosen[] = {AffiliationRules::kVolumeCombo, AffiliationRules::kOverrideBox};
  const int over[] = {AffiliationRules::kOverrideEdit, AffiliationRules::kMaximumEdit, AffiliationRules::kOverrideNote};
  for (int mode = 0; mode <= 2; mode++)
    for (bool flag : {false, true}) {
      r.SelectMode(mode);
      r.SetOverrideFlag(flag);
      for (int c : user) EXPECT_EQ(r.Enabled(c), mode == 2);
      for (int c : chosen) EXPECT_EQ(r.Enabled(c), mode == 1);
      for (int c : over) EXPECT_EQ(r.Enabled(c), mode == 1 && flag);
    }
}

TEST_F(OptionDialogRules, AffiliationDefaultRange) {
  const struct {
    AffiliationChoice current;
    bool physical;
    uint32_t spt;
    int64_t sectors;
    int64_t first, count;
  } cases[] = {
      {{}, true, 63, 1000000, 63, 999937},
      {{}, true, 32, 1000000, 32, 999968},
      // Any other source: every sector of the drive, not one short.
      {{}, false, 63, 1000000, 0, 1000000},
      {{2, 0, 100, 200}, false, 63, 1000000, 100, 200},
      {{2, 0, 0, 200}, true, 63, 1000000, 0, 200},
  };
  for (const auto& c : cases) {
    const AffiliationChoice a = DefaultAffiliation(c.current, c.physical, c.spt, c.sectors);
    EXPECT_EQ(a.firstSector, c.first);
    EXPECT_EQ(a.sectorCount, c.count);
  }
}

// ---- sector exclusion ----

ExclusionRules Exclusion(uint64_t driveSectors = 1000000, uint32_t unit = 512) {
  ExclusionRules r;
  r.SetRanges(nullptr);
  r.SetBounds(0, driveSectors * unit, unit);
  r.SetDriveName(u"/images/disk.img");
  r.Init();
  return r;
}

std::vector<WString> Lines(const ExclusionRules& r) {
  std::vector<WString> out;
  for (size_t i = 0; i < r.LineCount(); i++) out.push_back(r.Line(i));
  return out;
}

TEST_F(OptionDialogRules, ExclusionDriveNames) {
  const struct {
    const char16_t* name;
    int kind;
    const char16_t* text;
  } cases[] = {
      {u"/images/disk.img", 2, u"/images/disk.img"},
      {u"/dev/sdb1", 2, u"/dev/sdb1"},
      {u"\\\\.\\PhysicalDrive3", 0, u"Disk 3"},
      {u"E:", 1, u"E:"},
  };
  for (const auto& c : cases) {
    ExclusionRules r;
    r.SetDriveName(c.name);
    EXPECT_EQ(r.DriveKind(), c.kind) << ToUtf8(c.name);
    EXPECT_EQ(r.DriveText(), c.text);
  }
  ExclusionRules r = Exclusion(1000000);
  EXPECT_EQ(r.RangeText(), u"0 - 999999");
}

TEST_F(OptionDialogRules, ExclusionAdd) {
  const struct {
    const char16_t* first;
    const char16_t* last;
    int message, focus;
  } cases[] = {
      {u"100", u"199", 0, ExclusionRules::kFirstEdit},
      {u"1,000", u"2,000", 0, ExclusionRules::kFirstEdit},
      {u"0", u"999999", 0, ExclusionRules::kFirstEdit},
      {u"0", u"1000000", 183, ExclusionRules::kLastEdit},  // past the drive's last sector
      {u"300", u"299", 0, ExclusionRules::kFirstEdit},      // an empty range: nothing, no message
      {u"301", u"299", 183, ExclusionRules::kFirstEdit},
      {u"18014398509481984", u"18014398509481985", 183, ExclusionRules::kFirstEdit},  // x 512 overflows
      {u"1", u"9223372036854775807", 183, ExclusionRules::kLastEdit},
  };
  for (const auto& c : cases) {
    ExclusionRules r = Exclusion();
    const DialogVerdict v = r.Add(c.first, c.last);
    EXPECT_EQ(v.message, c.message) << ToUtf8(c.first) << " " << ToUtf8(c.last);
    EXPECT_EQ(v.focus, c.focus) << ToUtf8(c.first);
    EXPECT_EQ(r.Changed(), c.message == 0);
  }
  // Adjacent ranges merge into one line.
  ExclusionRules r = Exclusion();
  r.Add(u"100", u"199");
  r.Add(u"200", u"299");
  EXPECT_EQ(Lines(r), (std::vector<WString>{u"100 - 299"}));
  EXPECT_EQ(r.firstText, u"0");
  EXPECT_EQ(r.lastText, u"0");
}

TEST_F(OptionDialogRules, ExclusionRemoveAndResult) {
  ExclusionRules r = Exclusion();
  r.Add(u"10", u"19");
  r.Add(u"40", u"49");
  WString first, last;
  ASSERT_TRUE(r.Remove(0, &first, &last));
  EXPECT_EQ(first, u"10");
  EXPECT_EQ(last, u"19");
  EXPECT_EQ(Lines(r), (std::vector<WString>{u"40 - 49"}));
  std::unique_ptr<CSectRanges> set = r.TakeResult();
  ASSERT_TRUE(set);
  EXPECT_EQ(set->List(), (std::vector<CSectRanges::Range>{{40 * 512, 50 * 512}}));
  // Every range removed: no set is handed back.
  ExclusionRules e = Exclusion();
  e.Add(u"1", u"2");
  e.Remove(0, nullptr, nullptr);
  EXPECT_TRUE(e.CancelAsks());
  EXPECT_EQ(e.TakeResult(), nullptr);
  // The given set is a copy.
  CSectRanges given;
  given.AddRange(512, 1024);
  ExclusionRules c;
  c.SetRanges(&given);
  c.SetBounds(0, 1000 * 512, 512);
  c.Init();
  EXPECT_FALSE(c.CancelAsks());
  EXPECT_EQ(Lines(c), (std::vector<WString>{u"1 - 1"}));
}

TEST_F(OptionDialogRules, ExclusionFileLines) {
  const struct {
    const char* name;
    std::string text;
    std::vector<WString> want;
  } cases[] = {
      {"heading", "First Last\r\n0,99\r\n500 | 600\r\n", {u"0 - 99", u"500 - 600"}},
      {"zero-later", "5 10\n0 20\n", {u"5 - 10"}},
      {"last-zero", "5 0\n7\t9\n", {u"7 - 9"}},
      {"prefix", "12abc,20xyz\n", {u"12 - 20"}},
      {"blank-lines", "\n\n\r\r3 4\n\n", {u"3 - 4"}},
      {"no-end", "8 9", {u"8 - 9"}},
      {"extra-fields", "1 2 3 4\n", {u"1 - 2"}},
      // Dropped: a negative first sector, a last before the first, products
      // past the 64-bit range, numbers past it.
      {"negative", "-5 10\n20 30\n", {u"20 - 30"}},
      {"inverted", "50 40\n20 30\n", {u"20 - 30"}},
      {"overflow", "18014398509481984 18014398509481985\n20 30\n", {u"20 - 30"}},
      {"huge", "1 99999999999999999999\n20 30\n", {u"20 - 30"}},
      {"zero-first-ok", "0 4\n", {u"0 - 4"}},
  };
  for (const auto& c : cases) {
    ExclusionRules r = Exclusion(UINT64_MAX / 1024);
    ASSERT_TRUE(r.LoadFile(TempFile(c.name, c.text)));
    EXPECT_EQ(Lines(r), c.want) << c.name;
    EXPECT_TRUE(r.CancelAsks());
  }
  // No bound check against the drive's end for the file's lines.
  ExclusionRules r = Exclusion(100);
  ASSERT_TRUE(r.LoadFile(TempFile("past-end", "500 600\n")));
  EXPECT_EQ(Lines(r), (std::vector<WString>{u"500 - 600"}));
  // A file that cannot be opened changes nothing.
  ExclusionRules n = Exclusion();
  EXPECT_FALSE(n.LoadFile("/nonexistent/ranges.csv"));
  EXPECT_FALSE(n.CancelAsks());
}

TEST_F(OptionDialogRules, ExclusionFileLinesAcrossPieces) {
  // A line over 128 characters cut by the 1 MiB piece boundary is still
  // one line; so is one cut right after its CR.
  std::string text;
  const std::string lineA = "100" + std::string(200, ' ') + "|" + std::string(200, ' ') + "199\n";
  while (text.size() < 1048576 - 150) text += "7 7\n";
  text += lineA;
  text += "1000 2000\r\n";
  ASSERT_GT(text.size(), 1048576u);
  ExclusionRules r = Exclusion(UINT64_MAX / 1024);
  ASSERT_TRUE(r.LoadFile(TempFile("pieces", text)));
  EXPECT_EQ(Lines(r), (std::vector<WString>{u"7 - 7", u"100 - 199", u"1000 - 2000"}));
  // The reader alone, fed byte by byte.
  CSectRanges set;
  ExclusionFileReader reader(set, 512);
  const std::string small = "10,20\r\n30 | 40\n";
  for (char ch : small) reader.Feed(&ch, 1);
  reader.Finish();
  EXPECT_EQ(reader.Taken(), 2u);
  EXPECT_EQ(set.List(), (std::vector<CSectRanges::Range>{{10 * 512, 21 * 512}, {30 * 512, 41 * 512}}));
}

// ---- partial scan ----

TEST_F(OptionDialogRules, PartialScanWindow) {
  const struct {
    const char16_t* maximum;
    const char16_t* skip;
    bool closes;
    int focus;
  } cases[] = {
      {u"2147483647", u"0", true, 0},
      {u" 100 ", u" 5 ", true, 0},
      {u"0", u"0", false, RangeRules::kMaximumEdit},
      {u"abc", u"0", false, RangeRules::kMaximumEdit},  // reads as 0
      {u"10", u"", false, RangeRules::kSkipEdit},
      {u"10", u"-1", false, RangeRules::kSkipEdit},
      {u"10", u"abc", true, 0},
      {u"2147483648", u"0", false, RangeRules::kMaximumEdit},
      {u"", u"", false, RangeRules::kMaximumEdit},
  };
  for (const auto& c : cases) {
    RangeRules r;
    r.SetRange(7, 70);
    const DialogVerdict v = r.Ok(c.maximum, c.skip);
    EXPECT_EQ(v.close, c.closes) << ToUtf8(c.maximum) << "/" << ToUtf8(c.skip);
    if (!c.closes) {
      EXPECT_EQ(v.message, 376);
      EXPECT_EQ(v.focus, c.focus);
      EXPECT_EQ(r.maximum, 70);
      EXPECT_EQ(r.skip, 7);
    }
  }
  RangeRules r;
  r.SetRange(3, 50);
  EXPECT_EQ(r.skipText, u"3");
  r.Reset();
  ASSERT_TRUE(r.Ok(r.maximumText, r.skipText).close);
  EXPECT_EQ(r.maximum, 2147483647);
  EXPECT_EQ(r.skip, 0);
}

// ---- the view's questions ----

TEST_F(OptionDialogRules, ScanQuestions) {
  EXPECT_TRUE(WantsVolumeChoice(0, false, false, false));
  EXPECT_FALSE(WantsVolumeChoice(1, false, false, false));
  EXPECT_FALSE(WantsVolumeChoice(0, true, false, false));
  EXPECT_FALSE(WantsVolumeChoice(0, false, true, false));
  EXPECT_FALSE(WantsVolumeChoice(0, false, false, true));
  EXPECT_TRUE(WantsUsageTip(1, true, false, 1, 1));
  EXPECT_FALSE(WantsUsageTip(1, true, false, 0, 1));
  EXPECT_FALSE(WantsUsageTip(1, true, false, 1, 2));
  EXPECT_FALSE(WantsUsageTip(0, true, false, 1, 1));
  EXPECT_FALSE(WantsUsageTip(1, false, false, 1, 1));
  EXPECT_TRUE(WantsFourKQuestion(true, 4096));
  EXPECT_FALSE(WantsFourKQuestion(true, 512));
  EXPECT_FALSE(WantsFourKQuestion(false, 4096));
  EXPECT_TRUE(WantsAffiliationBeforeSave(1, 2));
  EXPECT_FALSE(WantsAffiliationBeforeSave(1, 1));
  EXPECT_FALSE(WantsAffiliationBeforeSave(0, 3));
  const WString tip = UsageTipText(u"&Look in:", u"Disk 0 (465.76 GB) - ST500", u"/dev/sda1");
  EXPECT_EQ(tip, u"Usage tip: You may get better results by choosing in \"Look in\":\n\nDisk 0 (465.76 GB) - "
                 u"ST500\n\nDo you want to continue with scanning volume /dev/sda1?");
}

TEST_F(OptionDialogRules, ExclusionCommandSources) {
  const struct {
    const char16_t* name;
    bool applies;
    bool review;  // with ranges, no session
  } cases[] = {
      {u"/images/a.img", true, true},
      {u"\\\\.\\PhysicalDrive0", true, true},
      {u"/dev/sdb1", true, true},
      {u"RAID5(/a.img,Missing,/c.img)", false, false},
      {u"SPAN(/a.img<0:9>,/b.img<0:9>)", false, false},
      {u"VHD(/a.vhd|/b.vhd)", false, false},
      {u"VMDK(/a.vmdk)", false, false},
      {u"/images/a.vhdx", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExclusionApplies(c.name), c.applies) << ToUtf8(c.name);
    EXPECT_EQ(WantsExclusionReview(c.name, true, false), c.review) << ToUtf8(c.name);
    EXPECT_FALSE(WantsExclusionReview(c.name, false, false));
    EXPECT_FALSE(WantsExclusionReview(c.name, true, true));
  }
}

}  // namespace
