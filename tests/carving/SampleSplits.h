// The sample tables' check: one file made by a real tool, followed by zero,
// random and text tails, fed through the driver at reads of 512 bytes,
// 4 KiB, 1 MiB and (unless only whole sectors are wanted) 1,000 bytes, and
// cut once at each of the given offsets.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "CarveHarness.h"
#include "volumes/FileTypes.h"

namespace carve_test {

// The probe must name `probed`; the file must come back as `expected` with
// exactly its size, or (255) not at all.
inline void ExpectSampleAtEverySplit(const std::string& name, const std::vector<uint8_t>& file, uint8_t probed,
                                     uint8_t expected, const std::vector<size_t>& cuts, bool wholeSectors = false) {
  for (Tail tail : {Tail::Zero, Tail::Random, Tail::Text}) {
    const std::vector<uint8_t> image = WithSectorTail(file, tail);
    NamedSplits splits = EvenSplits(image.size());
    if (wholeSectors) std::erase_if(splits, [](const auto& s) { return s.first == "odd 1000 B"; });
    for (size_t at : cuts) splits.push_back({"cut at " + std::to_string(at), ReadsAt(image.size(), {at})});
    for (const auto& [reads, ends] : splits) {
      const FeedResult r = FeedFile(image.data(), image.size(), ends);
      SCOPED_TRACE(name + ", " + TailName(tail) + " tail, reads " + reads + ": " + r.Describe());
      EXPECT_EQ(r.probed, probed);
      if (expected == kNoFileType) {
        EXPECT_FALSE(r.recorded);
      } else {
        EXPECT_TRUE(r.recorded);
        EXPECT_EQ(r.type, expected);
        EXPECT_EQ(r.size, int64_t(file.size()));
      }
      if (testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace carve_test
