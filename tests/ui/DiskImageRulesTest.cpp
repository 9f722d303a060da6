// The disk-image dialog's controller: the checks of Create, the commands
// of the First sector field, what a typed file name comes to, the space
// shown, and the progress window's texts.
#include <gtest/gtest.h>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "ui/core/DiskImageRules.h"

TEST(DiskImageRules, RangeChecks) {
  GlobalObjectsScope scope;
  struct Case {
    const char16_t *first, *last;
    int message, focus;
    int64_t f, l;
  } cases[] = {
      {u"1,000", u"2,000", 0, 0, 1000, 2000},
      {u"0", u"0", 0, 0, 0, 0},
      {u"12a", u"20", 183, DiskImageRules::kFirstEdit, 0, 0},
      {u"5", u"-3", 183, DiskImageRules::kLastEdit, 0, 0},
      {u"30", u"20", 183, DiskImageRules::kFirstEdit, 0, 0},
      {u"1234567890123", u"5", 202, DiskImageRules::kFirstEdit, 0, 0},
      {u"", u"5", 202, DiskImageRules::kFirstEdit, 0, 0},
      {u"1", u"", 202, DiskImageRules::kLastEdit, 0, 0},
      {u"99999999999999999999", u"5", 202, DiskImageRules::kFirstEdit, 0, 0},
      {u"999,999,999", u"999,999,999", 0, 0, 999999999, 999999999},
  };
  for (const Case& c : cases) {
    int64_t f = -1, l = -1;
    const DialogVerdict v = DiskImageRules::CheckRange(c.first, c.last, &f, &l);
    SCOPED_TRACE(ToUtf8(c.first) + " " + ToUtf8(c.last));
    EXPECT_EQ(v.close, c.message == 0);
    EXPECT_EQ(v.message, c.message);
    EXPECT_EQ(v.focus, c.focus);
    if (v.close) {
      EXPECT_EQ(f, c.f);
      EXPECT_EQ(l, c.l);
    }
  }
  EXPECT_EQ(ToUtf8(DiskImageRules::CheckRange(u"1234567890123", u"5", nullptr, nullptr).MessageText()),
            "Missing First sector");
  EXPECT_EQ(ToUtf8(DiskImageRules::CheckRange(u"1", u"", nullptr, nullptr).MessageText()), "Missing Last sector");
  EXPECT_EQ(DiskImageRules::CheckDestination(u"/x", nullptr).message, 294);
  EXPECT_EQ(DiskImageRules::CheckDestination(u"disks/here", nullptr).message, 294);
  EXPECT_EQ(DiskImageRules::CheckDestination(u"/proc/self", nullptr).message, 144);
  EXPECT_TRUE(DiskImageRules::CheckDestination(u"/tmp", nullptr).close);
}

TEST(DiskImageRules, CommandsAndNames) {
  GlobalObjectsScope scope;
  DiskImageRules r;
  r.firstText = u"  N100 ";
  r.binary = 0;
  DiskImageRules::Typed t = r.ReadCommand(false);
  EXPECT_EQ(t.command, DiskImageRules::Command::Notepad);
  EXPECT_EQ(ToUtf8(t.first), "100");
  r.binary = 1;  // "N" in binary is no command
  EXPECT_EQ(r.ReadCommand(false).command, DiskImageRules::Command::None);
  r.firstText = u"L4096";
  t = r.ReadCommand(false);
  EXPECT_EQ(t.command, DiskImageRules::Command::ShowMembers);
  EXPECT_EQ(t.number, 4096);
  EXPECT_EQ(r.ReadCommand(true).command, DiskImageRules::Command::None);  // a session's drive
  r.firstText = u"P2:777";
  t = r.ReadCommand(false);
  EXPECT_EQ(t.command, DiskImageRules::Command::MapMemberSector);
  EXPECT_EQ(t.member, 2);
  EXPECT_EQ(t.number, 777);
  r.firstText = u"P2";
  EXPECT_EQ(r.ReadCommand(false).member, -1);

  EXPECT_EQ(ToUtf8(DiskImageRules::ProposedName(1000, 2000, true)), "dump_1000_2000.dsk");
  EXPECT_EQ(ToUtf8(DiskImageRules::ProposedName(0, 7, false)), "dump_0_7.txt");
  struct Out {
    const char16_t *folder, *typed;
    const char* path;
    int64_t start;
    int disk, regenerate;
  } outs[] = {
      {u"/out", u"dump_0_7.dsk", "/out/dump_0_7.dsk", 0, -1, 0},
      {u"/out/", u"dump_0_7.dsk<100", "/out/dump_0_7.dsk", 100, -1, 0},
      {u"/out", u"x.dsk<junk", "/out/x.dsk", 0, -1, 0},
      {u"/out", u"<5", "/out/<5", 0, -1, 0},  // a '<' first is part of the name
      {u"/out", u"raid5gen.dsk", "/out/raid5gen.dsk", 0, -1, 1},
      {u"/out", u"raid6gen.dsk<8", "/out/raid6gen.dsk", 8, -1, 2},
      {u"/out", u"Raid6gen.dsk", "/out/Raid6gen.dsk", 0, -1, 0},
      {u"/out", u"\\\\.\\PhysicalDrive3", "\\\\.\\PhysicalDrive3", 0, 3, 0},
  };
  for (const Out& o : outs) {
    const DiskImageRules::Output got = DiskImageRules::ResolveOutput(o.folder, o.typed);
    SCOPED_TRACE(ToUtf8(o.typed));
    EXPECT_EQ(ToUtf8(got.path), o.path);
    EXPECT_EQ(got.startSector, o.start);
    EXPECT_EQ(got.diskNumber, o.disk);
    EXPECT_EQ(got.regenerate, o.regenerate);
  }
}

TEST(DiskImageRules, SpaceAndProgressTexts) {
  GlobalObjectsScope scope;
  DiskImageRules r;
  r.Init(u"/img/disk.img", false, 4096, 512);
  EXPECT_EQ(ToUtf8(r.firstText), "0");
  EXPECT_EQ(ToUtf8(r.lastText), "4095");
  EXPECT_EQ(ToUtf8(r.spaceText), "2");
  r.binary = 0;
  r.lastText = u"2,047";
  r.UpdateSpace();
  EXPECT_EQ(ToUtf8(r.spaceText), "5");
  DiskImageRules session;
  session.Init(u"x", true, 4096, 512);
  EXPECT_FALSE(session.createEnabled);
  EXPECT_TRUE(session.lastText.empty());
  DiskImageRules empty;
  empty.Init(u"x", false, 0, 512);
  EXPECT_EQ(ToUtf8(empty.lastText), "0");

  DumpProgress p;
  p.Start(2048, 512);
  EXPECT_EQ(ToUtf8(p.caption), "0%");
  p.OnBytes(512 * 1024);
  EXPECT_EQ(p.percent, 50);
  EXPECT_EQ(ToUtf8(p.caption), "Creating disk image... 50%");
  EXPECT_EQ(ToUtf8(p.sectorsText), "1024");
  p.OnTick(0.9);
  EXPECT_FALSE(p.elapsedText.empty());
  EXPECT_NE(ToUtf8(p.leftText).find(" of "), std::string::npos) << ToUtf8(p.leftText);
  p.OnBytes(2048 * 512);
  EXPECT_EQ(p.percent, 100);
}
