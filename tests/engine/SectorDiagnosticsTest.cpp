// The sector pass's support traces: which unknown sectors the probe names,
// and the ext4 extent-tree nodes a read holds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/SectorDiagnostics.h"

namespace {

std::vector<uint8_t> Sector(const std::vector<std::pair<size_t, std::string>>& parts) {
  std::vector<uint8_t> s(512, 0);
  for (const auto& [at, text] : parts) std::memcpy(s.data() + at, text.data(), text.size());
  return s;
}

void Put32(std::vector<uint8_t>& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) s[at + i] = uint8_t(v >> (8 * i));
}

}  // namespace

TEST(SectorDiagnostics, ProbeNamesUnknownSectors) {
  struct Case {
    const char* what;
    std::vector<uint8_t> sector;
    const char* expected;
  };
  auto exe = Sector({{0, "MZ"}, {128, std::string("PE\0\0", 4)}});
  Put32(exe, 60, 128);
  auto exeFar = Sector({{0, "MZ"}});
  Put32(exeFar, 60, 0xFFFFFFFEu);  // an offset that wraps a 32-bit sum
  auto exeOut = Sector({{0, "MZ"}});
  Put32(exeOut, 60, 510);  // the signature would run past the sector
  auto counting = Sector({});
  for (uint32_t i = 0; i < 4; i++) Put32(counting, 4 * i, 7 + i);
  const Case cases[] = {
      {"riff", Sector({{0, "RIFF"}, {8, "CDDA"}}), "RIFF"},
      {"ole", Sector({{0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"}}), "MSI"},
      {"executable", exe, "EXE"},
      {"header offset that wraps", exeFar, nullptr},
      {"header past the sector", exeOut, nullptr},
      {"counting words", counting, "COUNT"},
      {"zeros", Sector({}), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const char* got = ProbeUnknownSector(c.sector.data(), c.sector.size(), 5);
    if (!c.expected) {
      EXPECT_EQ(got, nullptr);
    } else {
      ASSERT_NE(got, nullptr);
      EXPECT_STREQ(got, c.expected);
    }
  }
  EXPECT_EQ(ProbeUnknownSector(exe.data(), 63, 0), nullptr);  // too short to tell
}

TEST(SectorDiagnostics, ExtentNodesOfARead) {
  std::vector<uint8_t> read(4096, 0);
  // A leaf of two extents in the second 1 KiB node; a header whose entry
  // count passes its maximum in the third; nothing in the others.
  uint8_t* leaf = read.data() + 1024;
  leaf[0] = 0x0A, leaf[1] = 0xF3, leaf[2] = 2, leaf[4] = 4;
  leaf[12] = 10, leaf[24] = 20;
  uint8_t* bad = read.data() + 2048;
  bad[0] = 0x0A, bad[1] = 0xF3, bad[2] = 5, bad[4] = 4;
  EXPECT_EQ(DumpExtExtentNodes(read.data(), read.size(), 100, 512, 1024), 2);
  EXPECT_EQ(DumpExtExtentNodes(read.data(), read.size(), 100, 512, 0), 0);
  // A maximum the node cannot hold.
  leaf[4] = 0xFF;
  EXPECT_EQ(DumpExtExtentNodes(read.data(), read.size(), 100, 512, 1024), 0);
}
