#include "diagnostics/TraceRanges.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/SpecialOptions.h"
#include "foundation/UiServices.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

IniFile Options(const TempFolder& temp, const std::string& text) {
  const std::string path = temp.Path() + "/options.txt";
  { std::ofstream(path) << text; }
  IniFile f;
  EXPECT_TRUE(f.Load(path));
  return f;
}

std::string RangeSection(int i, int64_t start, int64_t size, const std::string& runs, int sector = 512,
                         int cluster = 512, int entry = 1024) {
  std::ostringstream o;
  o << "[Range " << i << "]\nStarting Sector=" << start << "\nSize in Sectors=" << size << "\nSector Size=" << sector
    << "\nCluster Size=" << cluster << "\nMFT Entry Size=" << entry << "\n";
  if (!runs.empty()) o << "Runs=" << runs << "\n";
  return o.str();
}

// NTFS mapping pairs for runs of (first cluster, length), as hexadecimal
// text: a header byte with the byte counts, the length, the signed delta.
std::string EncodeRuns(const std::vector<std::pair<int64_t, int64_t>>& runs) {
  std::string hex;
  char b[4];
  auto bytes = [](int64_t v, bool isSigned) {
    int n = 1;
    while (n < 8) {
      const int64_t lo = isSigned ? -(int64_t(1) << (8 * n - 1)) : 0;
      const int64_t hi = (int64_t(1) << (8 * n - 1)) - 1;
      if (v >= lo && v <= hi) break;
      ++n;
    }
    return n;
  };
  int64_t prev = 0;
  for (const auto& [first, length] : runs) {
    const int64_t delta = first - prev;
    prev = first;
    const int nl = bytes(length, false), no = bytes(delta, true);
    std::snprintf(b, sizeof b, "%02x", (no << 4) | nl);
    hex += b;
    for (int i = 0; i < nl; ++i) std::snprintf(b, sizeof b, "%02x", int((length >> (8 * i)) & 0xFF)), hex += b;
    for (int i = 0; i < no; ++i) std::snprintf(b, sizeof b, "%02x", int((uint64_t(delta) >> (8 * i)) & 0xFF)), hex += b;
  }
  return hex + "00";
}

// The clusters of $MFT's $DATA in the recorded `istat IMG 0` of fragmft.
std::vector<int64_t> FragmftMftClusters() {
  const std::string text = RunCommand("xz -dc '" DV_SOURCE_DIR
                                      "/tests/fixtures/ntfs/fragmft.istat.txt.xz' | awk '/^===== 0 /{on=1} "
                                      "on && /^Type: \\$DATA/{d=1; next} d && /^Type:|^=====|^$/{exit} d{print}'");
  std::vector<int64_t> out;
  std::istringstream in(text);
  int64_t c;
  while (in >> c) out.push_back(c);
  return out;
}

struct Prompts {
  ScriptedPrompt prompt;
  explicit Prompts(std::vector<int> answers = {}) : prompt(std::move(answers)) { SetPromptService(&prompt); }
  ~Prompts() { SetPromptService(nullptr); }
};

}  // namespace

// The run list of a real fragmented $MFT (fragmft, istat), as the options
// file holds it: each record maps where those clusters put it.
TEST(TraceRanges, RunsFromIstatMapEveryRecord) {
  const std::vector<int64_t> clusters = FragmftMftClusters();
  ASSERT_GT(clusters.size(), 100u);
  std::vector<std::pair<int64_t, int64_t>> runs;
  for (int64_t c : clusters) {
    if (!runs.empty() && runs.back().first + runs.back().second == c) ++runs.back().second;
    else runs.emplace_back(c, 1);
  }
  ASSERT_GT(runs.size(), 1u) << "the $MFT is not fragmented";
  const TempFolder temp("ranges");
  const IniFile f =
      Options(temp, "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 2048, 98303, EncodeRuns(runs)));
  Prompts p;
  TraceRanges r;
  ASSERT_EQ(r.Load(f), 1);
  EXPECT_EQ(p.prompt.asked().size(), 0u);
  const uint64_t records = clusters.size() / 2;  // 1,024-byte records in 512-byte clusters
  for (uint64_t n = 0; n < records; ++n) EXPECT_EQ(r.Next(2048 + int64_t(n), n), uint64_t(clusters[2 * n]) * 512) << n;
  EXPECT_EQ(r.Next(2048, records + 10), 0u);  // past the runs
}

// The Part's edge cases and the value checks, as a table.
TEST(TraceRanges, LoadingAsATable) {
  const std::string run = "2120080000";  // 0x20 clusters at 8
  struct Case {
    const char* what;
    std::string text;
    int loaded;
    bool message;
  } cases[] = {
      {"range count 0", "[Trace]\nConfirm=0\nRange Count=0\n" + RangeSection(0, 0, 100, run), 0, false},
      {"range count above 65,535", "[Trace]\nConfirm=0\nRange Count=65536\n" + RangeSection(0, 0, 100, run), 0, false},
      {"three ranges",
       "[Trace]\nConfirm=0\nRange Count=3\n" + RangeSection(0, 0, 100, run) + RangeSection(1, 100, 100, run) +
           RangeSection(2, 200, 100, run),
       3, false},
      {"no Runs in the third range drops all",
       "[Trace]\nConfirm=0\nRange Count=3\n" + RangeSection(0, 0, 100, run) + RangeSection(1, 100, 100, run) +
           RangeSection(2, 200, 100, ""),
       0, true},
      {"sector size 0", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, run, 0), 0, true},
      {"sector size 1024", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, run, 1024, 4096), 0, true},
      {"cluster size 0", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, run, 512, 0), 0, true},
      {"cluster size 3000", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, run, 512, 3000), 0, true},
      {"cluster below the sector", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, run, 4096, 512), 0,
       true},
      {"entry size 0", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, run, 512, 512, 0), 0, true},
      {"bad run text", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 100, "2x"), 0, true},
      {"size 0", "[Trace]\nConfirm=0\nRange Count=1\n" + RangeSection(0, 0, 0, run), 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TempFolder temp("ranges");
    const IniFile f = Options(temp, c.text);
    Prompts p;
    TraceRanges r;
    EXPECT_EQ(r.Load(f), c.loaded);
    EXPECT_EQ(r.Count(), size_t(c.loaded));
    const auto asked = p.prompt.asked();
    EXPECT_EQ(asked.size(), c.message ? 1u : 0u);
    if (c.message && !asked.empty()) {
      EXPECT_EQ(asked[0].text, u"Trace value error.");
    }
  }
}

// Confirm missing: every value is asked for, and a No counts as missing.
TEST(TraceRanges, ConfirmAsksPerValue) {
  const TempFolder temp("ranges");
  const IniFile f = Options(temp, "[Trace]\nRange Count=1\n" + RangeSection(0, 0, 100, "2120080000"));
  {
    Prompts p(std::vector<int>(7, kIdYes));
    TraceRanges r;
    EXPECT_EQ(r.Load(f), 1);
    const auto asked = p.prompt.asked();
    ASSERT_EQ(asked.size(), 7u);
    EXPECT_EQ(asked[0].text, u"[Trace] Range Count=1");
    EXPECT_EQ(asked[6].text, u"[Range 0] Runs=2120080000");
  }
  {
    Prompts p({kIdYes, kIdYes, kIdNo});
    TraceRanges r;
    EXPECT_EQ(r.Load(f), 0);
    const auto asked = p.prompt.asked();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked.back().text, u"Trace value error.");
  }
}

// Ranges out of ascending order are passed once the index has moved on.
TEST(TraceRanges, TheCurrentRangeOnlyMovesForward) {
  const TempFolder temp("ranges");
  const std::string run = "2120080000";  // clusters 8.. : record n at 8 * 512 + n * 1024
  const IniFile f = Options(temp, "[Trace]\nConfirm=0\nRange Count=3\n" + RangeSection(0, 1000, 1000, run) +
                                      RangeSection(1, 0, 500, run) + RangeSection(2, 3000, 1000, run));
  Prompts p;
  TraceRanges r;
  ASSERT_EQ(r.Load(f), 3);
  EXPECT_EQ(r.Next(1500, 1), 8u * 512 + 1024);
  EXPECT_EQ(r.Next(100, 1), 0u);  // before the current range's start
  EXPECT_EQ(r.Next(3500, 2), 8u * 512 + 2048);
  EXPECT_EQ(r.Next(100, 1), 0u);   // range 1 was passed
  EXPECT_EQ(r.Next(4000, 1), 0u);  // past the last
}
