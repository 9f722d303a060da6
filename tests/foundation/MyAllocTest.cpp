#include "foundation/MyAlloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/Trace.h"
#include "platform/Errors.h"

namespace {

int CountMappings() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int n = 0;
  while (std::getline(maps, line)) ++n;
  return n;
}

// ---------------------------------------------------------------- CMyAlloc

TEST(CMyAlloc, ItemsAreDistinctAlignedZeroedAndKeepTheirBytes) {
  struct Case {
    size_t itemSize, stride, alignment;
    int count;
  };
  const Case cases[] = {
      {1, 1, 1, 200000},         {4, 4, 4, 100000},          {8, 8, 8, 100000},
      {16, 16, 16, 50000},       {24, 24, 8, 50000},         {40, 40, 8, 50000},
      {100, 104, 8, 20000},      {4096, 4096, 4096, 300},    {6000, 8192, 4096, 100},
      {8192, 8192, 4096, 100},   {65536, 65536, 4096, 40},   {131072, 131072, 4096, 20},
      {2 << 20, 2 << 20, 4096, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.itemSize);
    CMyAlloc a(c.itemSize);
    EXPECT_EQ(a.ItemSize(), c.itemSize);
    EXPECT_EQ(a.Stride(), c.stride);
    std::vector<uint8_t*> items;
    for (int i = 0; i < c.count; ++i) {
      auto* p = static_cast<uint8_t*>(a.MyAlloc());
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u) << i;
      ASSERT_EQ(p[0], 0);
      ASSERT_EQ(p[c.itemSize - 1], 0);
      // Both ends carry the item's number, so any overlap shows below.
      p[c.itemSize - 1] = uint8_t(i >> 3);
      p[0] = uint8_t(i);
      items.push_back(p);
    }
    for (int i = 0; i < c.count; ++i) {
      ASSERT_EQ(items[i][0], uint8_t(i)) << i;
      if (c.itemSize > 1) {
        ASSERT_EQ(items[i][c.itemSize - 1], uint8_t(i >> 3)) << i;
      }
    }
    std::sort(items.begin(), items.end());
    for (size_t i = 1; i < items.size(); ++i) ASSERT_GE(size_t(items[i] - items[i - 1]), c.itemSize);
    EXPECT_EQ(a.ItemCount(), uint64_t(c.count));
    uint64_t payload = uint64_t(c.count) * c.stride;
    EXPECT_GE(a.CommittedBytes(), payload);
    // The last chunk is the only slack.
    EXPECT_LE(a.CommittedBytes(), payload + std::max(kMyAllocMaxChunk, c.stride));
  }
}

TEST(CMyAlloc, ChunksGrowSoMillionsOfItemsNeedFewMappings) {
  const int before = CountMappings();
  auto a = std::make_unique<CMyAlloc>(32);
  for (int i = 0; i < 4'000'000; ++i) static_cast<uint8_t*>(a->MyAlloc())[31] = 1;
  // 128 MB: 64 KiB regions would be 2,000 chunks (and as many mappings).
  EXPECT_LE(a->ChunkCount(), 20u);
  EXPECT_LT(CountMappings() - before, 40);
  a.reset();
  // A small user stays small.
  CMyAlloc small(64);
  small.MyAlloc();
  EXPECT_EQ(small.CommittedBytes(), kMyAllocFirstChunk);
}

TEST(CMyAlloc, UnsupportedItemSizesAreRefused) {
  for (size_t size : {size_t(0), kMyAllocMaxItem + 1, ~size_t(0)}) {
    SCOPED_TRACE(size);
    EXPECT_THROW(CMyAlloc a(size), DvTextError);
    EXPECT_NE(LastErrorText().find(u"item size"), WString::npos);
  }
  EXPECT_NO_THROW(CMyAlloc a(kMyAllocMaxItem));
}

// ---------------------------------------------------------------- CMyArray

TEST(CMyArray, LayoutOfItemsInBlocks) {
  struct Case {
    size_t itemSize, perBlock;
  };
  const Case cases[] = {{1, 4096}, {8, 512}, {16, 256}, {24, 170}, {40, 102}, {100, 40}, {2048, 2}, {3000, 1}, {4096, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.itemSize);
    CMyArray arr(c.itemSize);
    EXPECT_EQ(arr.ItemsPerBlock(), c.perBlock);
    EXPECT_EQ(arr.GetAt(0), nullptr);
    for (size_t i = 0; i <= c.perBlock; ++i) arr.Add();
    EXPECT_EQ(arr.BlockCount(), 2u);
    auto* first = static_cast<uint8_t*>(arr.GetAt(0));
    auto* nextBlock = static_cast<uint8_t*>(arr.GetAt(c.perBlock));
    // Item perBlock opens the second block; the one before ends the first.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % kMyArrayBlockBytes, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nextBlock) % kMyArrayBlockBytes, 0u);
    EXPECT_NE(nextBlock, first);
    EXPECT_EQ(static_cast<uint8_t*>(arr.GetAt(c.perBlock - 1)), first + (c.perBlock - 1) * c.itemSize);
    EXPECT_EQ(arr.GetAt(c.perBlock + 1), nullptr);
  }
}

TEST(CMyArray, AppendAndGetAtKeepEveryItem) {
  // More than 1024 blocks, so the directory passes the size of one page.
  for (size_t itemSize : {size_t(1), size_t(8), size_t(16), size_t(24), size_t(40), size_t(4096)}) {
    SCOPED_TRACE(itemSize);
    CMyArray arr(itemSize);
    const size_t count = std::min<size_t>(arr.ItemsPerBlock() * 1500 + 7, 400'000);
    std::vector<uint8_t> item(itemSize);
    for (size_t i = 0; i < count; ++i) {
      std::memset(item.data(), int(i * 7 + 1), itemSize);
      item[0] = uint8_t(i);
      ASSERT_EQ(arr.Append(item.data()), i);
    }
    ASSERT_EQ(arr.Count(), count);
    for (size_t i = 0; i < count; ++i) {
      auto* p = static_cast<const uint8_t*>(arr.GetAt(i));
      ASSERT_NE(p, nullptr);
      ASSERT_EQ(p[0], uint8_t(i)) << i;
      ASSERT_EQ(p[itemSize - 1], itemSize == 1 ? uint8_t(i) : uint8_t(i * 7 + 1)) << i;
    }
    EXPECT_EQ(arr.GetAt(count), nullptr);
    EXPECT_EQ(arr.GetAt(~size_t(0)), nullptr);
  }
}

TEST(CMyArray, NullItemAndAddGiveZeroedSlots) {
  CMyArray arr(40);
  uint8_t ones[40];
  std::memset(ones, 0xFF, sizeof ones);
  arr.Append(ones);
  EXPECT_EQ(arr.Append(nullptr), 1u);
  auto* added = static_cast<uint8_t*>(arr.Add());
  EXPECT_EQ(added, arr.GetAt(2));
  for (size_t i : {size_t(1), size_t(2)}) {
    auto* p = static_cast<uint8_t*>(arr.GetAt(i));
    EXPECT_TRUE(std::all_of(p, p + 40, [](uint8_t b) { return b == 0; })) << i;
  }
  EXPECT_EQ(static_cast<uint8_t*>(arr.GetAt(0))[39], 0xFF);
}

TEST(CMyArray, FindByKey64AgainstAModel) {
  std::mt19937_64 rng(42);
  for (size_t itemSize : {size_t(8), size_t(16), size_t(24), size_t(40)}) {
    for (size_t count : {size_t(0), size_t(1), size_t(2), size_t(171), size_t(5000)}) {
      SCOPED_TRACE(testing::Message() << itemSize << " x " << count);
      std::vector<uint64_t> keys(count);
      for (auto& k : keys) k = rng() % (count * 4 + 1) * 2;  // even keys; odd ones are absent
      std::sort(keys.begin(), keys.end());
      keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
      CMyArray arr(itemSize);
      std::vector<uint8_t> item(itemSize);
      for (uint64_t k : keys) {
        std::memcpy(item.data(), &k, 8);
        arr.Append(item.data());
      }
      for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(arr.FindByKey64(keys[i]), arr.GetAt(i)) << keys[i];
      for (uint64_t probe : {uint64_t(1), uint64_t(3), count * 8 + 3, ~uint64_t(0)})
        EXPECT_EQ(arr.FindByKey64(probe), nullptr) << probe;
    }
  }
  CMyArray narrow(4);  // no room for the key
  uint32_t v = 0;
  narrow.Append(&v);
  EXPECT_EQ(narrow.FindByKey64(0), nullptr);
}

TEST(CMyArray, UnsupportedItemSizesAreRefused) {
  for (size_t size : {size_t(0), size_t(4097), size_t(65536)}) {
    SCOPED_TRACE(size);
    EXPECT_THROW(CMyArray a(size), DvTextError);
  }
}

}  // namespace
