// What a source is taken for by its content (storage/SourceKind.h): the
// virtual-disk kinds whatever the name, the other image formats and the
// file systems no family reads, each by its magic number at its place.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage/SourceKind.h"
#include "storage/VhdFormat.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, size_t at, const std::string& text) { memcpy(b.data() + at, text.data(), text.size()); }

TEST(SourceKind, ForeignContentByItsMagicAtItsPlace) {
  struct Case {
    const char* what;
    size_t at;
    std::string magic;
    const char16_t* says;
    bool image;
  } cases[] = {
      {"qcow2", 0, "QFI\xfb", u"a QEMU qcow2 disk image", true},
      {"QED", 0, std::string("QED\0", 4), u"a QEMU QED disk image", true},
      {"VDI", 0x40, "\x7f\x10\xda\xbe", u"a VirtualBox VDI disk image", true},
      {"HFS+", 1024, std::string("H+\0\x04", 4), u"an HFS+ volume", false},
      {"HFSX", 1024, std::string("HX\0\x05", 4), u"an HFSX volume", false},
      {"APFS", 32, "NXSB", u"an APFS container", false},
      {"XFS", 0, "XFSB", u"an XFS volume", false},
      {"Btrfs", 65536 + 64, "_BHRfS_M", u"a Btrfs volume", false},
      {"UFS1", 8192 + 1372, std::string("\x54\x19\x01\0", 4), u"a UFS1 volume", false},
      {"UFS2", 65536 + 1372, "\x19\x01\x54\x19", u"a UFS2 volume", false},
      {"ReFS", 3, std::string("ReFS\0\0\0\0", 8), u"a ReFS volume", false},
      {"LUKS", 0, "LUKS\xba\xbe", u"a LUKS encrypted volume", false},
      {"ISO 9660", 32769, "CD001", u"an ISO 9660 file system (a CD or DVD image)", false},
      {"LVM", 512, "LABELONE", u"an LVM physical volume", false},
      {"swap", 4086, "SWAPSPACE2", u"a Linux swap area", false},
      // A file system this version reads is no foreign content.
      {"ext4", 1024 + 0x38, "\x53\xef", u"", false},
      {"NTFS", 3, "NTFS    ", u"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b(kForeignProbeBytes, 0);
    Put(b, c.at, c.magic);
    const ForeignContent seen = DescribeForeignContent(b.data(), b.size());
    EXPECT_EQ(seen.what, c.says);
    EXPECT_EQ(seen.image, c.image);
    // A short place: nothing past it is read, and magic past it is unseen.
    const ForeignContent shortPlace = DescribeForeignContent(b.data(), c.at + c.magic.size() - 1);
    EXPECT_EQ(shortPlace.what, u"");
  }
}

TEST(SourceKind, VirtualDisksByContentTheNameBreaksTheTie) {
  const TempFolder temp("sourcekind");
  Bytes footer(512, 0);
  Put(footer, 0, "conectix");
  footer[11] = 2;                    // features
  for (int i = 16; i < 24; i++) footer[size_t(i)] = 0xFF;  // data offset: none (fixed)
  footer[55] = 0x10;                 // current size 4096
  footer[63] = 2;                    // fixed
  uint32_t sum = 0;
  for (uint8_t c : footer) sum += c;
  sum = ~sum;
  for (int i = 0; i < 4; i++) footer[size_t(64 + i)] = uint8_t(sum >> (24 - 8 * i));
  Bytes fixed(4096, 0x5A);
  fixed.insert(fixed.end(), footer.begin(), footer.end());
  Bytes raw(8192, 0x5A);
  Bytes sparse(4096, 0);
  Put(sparse, 0, "KDMV");
  struct Case {
    std::string name;
    const Bytes* content;
    int kind;  // 1 VHD, 2 VMDK, 0 plain
  } cases[] = {
      {"disk.vpc", &fixed, 1}, {"disk.img", &fixed, 1},    {"disk.vmdk", &fixed, 1},
      {"disk.img2", &sparse, 2}, {"disk.vhd", &sparse, 2}, {"raw.img", &raw, 0},
      {"raw.vhd", &raw, 1},  // nothing in it says otherwise: the name decides
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = temp.Path() + "/" + c.name;
    WriteFileText(path, std::string(c.content->begin(), c.content->end()));
    EXPECT_EQ(VirtualDiskKindOf(FromUtf8(path)), c.kind);
  }
  EXPECT_EQ(VirtualDiskKindOf(u"VHD(/a.img|/b.img)"), 1);
  EXPECT_EQ(VirtualDiskKindOf(u"VMDK(/a.img)"), 2);
  // An extent of the file is its raw sectors.
  EXPECT_EQ(VirtualDiskKindOf(FromUtf8(temp.Path() + "/disk.vpc<0:3>")), 0);
}

}  // namespace
