// The bulk cell formatter gives exactly what the list's own formatting
// gives: sizes at every unit boundary, dates across time zones and their
// daylight-saving changes (whole-hour, half-hour and quarter-hour zones),
// and every column of file rows.
#include <gtest/gtest.h>

#include <random>

#include "foundation/Globals.h"
#include "foundation/Utilities.h"
#include "tests/support/TestUtil.h"
#include "ui/core/ListText.h"
#include "volumes/Node.h"

namespace {

class Formatter : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
};

TEST_F(Formatter, SizesEqualFormatSize) {
  CellFormatter f;
  WString out;
  std::vector<int64_t> sizes = {0, 1, 1023, 1024, 1025, 1535, 1536, 10485, 1048575, 1048576, 1048577,
                                (int64_t(1) << 30) - 1, int64_t(1) << 30, (int64_t(1) << 40) - 1, int64_t(1) << 40,
                                INT64_MAX, -1, -5000};
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i) sizes.push_back(int64_t(rng() >> (rng() % 63)));
  for (int64_t s : sizes)
    for (bool exact : {false, true}) {
      f.SizeText(s, exact, out);
      ASSERT_EQ(out, FormatSize(s, exact)) << s;
    }
}

TEST_F(Formatter, DatesEqualFormatDateTimeInEveryZone) {
  std::mt19937_64 rng(5);
  for (const char* tz : {"UTC", "Europe/Berlin", "Australia/Lord_Howe", "Asia/Kathmandu", "America/St_Johns"}) {
    SCOPED_TRACE(tz);
    ScopedTimeZone zone(tz);
    CellFormatter f;
    WString out;
    std::vector<uint64_t> times = {0, 1, 116444736000000000ULL, 2650467743999999999ULL, ~0ULL};
    // Each half hour over two years around 2021 (every change of those years).
    for (int64_t s = 1577836800; s < 1640995200 + 86400 * 366; s += 1800)
      times.push_back(uint64_t(s + 11644473600LL) * 10000000ULL + uint64_t(rng() % 10000000));
    for (int i = 0; i < 20000; ++i) times.push_back(rng() % 3000000000000000000ULL);
    for (uint64_t t : times) {
      f.DateText(t, out);
      ASSERT_EQ(out, FormatDateTime(t)) << t;
    }
  }
}

TEST_F(Formatter, FileCellsEqualTheColumns) {
  FoundNodeStore nodes;
  ListStore store;
  const char16_t* paths[] = {u"C:\\a\\b", u"C:", u"^:\\x", u"\\nowhere", u"", u"\x0100:\\wide"};
  for (int i = 0; i < 48; ++i) {
    FoundItem item;
    item.nodeIndex = i;
    item.name = u"n" + FromUtf8(std::to_string(i));
    item.size = uint64_t(i) * 100003;
    item.time = 132000000000000000ULL + uint64_t(i) * 3600ULL * 10000000ULL;
    item.flags = uint16_t((i % 8) << 8);
    nodes.Add(item);
    store.Append(i, paths[i % 6], u"type");
  }
  store.Append(-1, u"C:", u"type");
  CellFormatter f;
  WString out;
  for (size_t r = 0; r < store.Count(); ++r) {
    ListNodeInfo info;
    const ListNodeInfo* node = nodes.GetNode(store.At(r).nodeIndex, info) ? &info : nullptr;
    for (int c = 0; c < kListColumnCount; ++c) {
      f.FileCell(c, store, r, node, out);
      EXPECT_EQ(out, FileCellText(c, store, r, node)) << r << " " << c;
    }
  }
}

}  // namespace
