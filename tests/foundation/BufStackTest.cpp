#include "foundation/BufStack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"

namespace {

// Every test starts and ends with an empty stack on its thread.
class BufStackTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(theBufStack().Depth(), 0);
    theBufStack().FreeAll();
  }
  void TearDown() override {
    EXPECT_EQ(theBufStack().Depth(), 0);
    theBufStack().FreeAll();
  }
};

TEST_F(BufStackTest, SlotReuseAndReplacement) {
  struct Case {
    size_t first, second;
    bool sameRegion;
  };
  const Case cases[] = {
      {4096, 1024, true},    // a smaller request reuses the cached region
      {4096, 4096, true},    // so does an equal one
      {1024, 8192, false},   // a larger one replaces it
      {0, 1, false},         // an empty cached size is still too small
      {100000, 99999, true},
  };
  BufStack& s = theBufStack();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
    s.FreeAll();
    auto* a = static_cast<uint8_t*>(s.Push(c.first, false));
    ASSERT_NE(a, nullptr);
    if (c.first) a[0] = 0x77;
    s.Pop(a);
    auto* b = static_cast<uint8_t*>(s.Push(c.second, false));
    // A new region starts zero-filled; the cached one keeps its bytes.
    if (c.sameRegion) {
      EXPECT_EQ(b, a);
      EXPECT_EQ(b[0], 0x77);
    } else {
      EXPECT_EQ(b[0], 0);
    }
    EXPECT_EQ(s.SlotSize(0), c.sameRegion ? c.first : c.second);
    EXPECT_EQ(s.CachedRegions(), 1);
    std::memset(b, 0x5A, c.second);  // the whole size is usable (ASan checks)
    s.Pop(b);
  }
}

TEST_F(BufStackTest, ZeroFlagOnReusedRegion) {
  BufStack& s = theBufStack();
  auto* a = static_cast<uint8_t*>(s.Push(8192, true));
  for (int i = 0; i < 8192; ++i) ASSERT_EQ(a[i], 0) << i;  // fresh
  std::memset(a, 0xAB, 8192);
  s.Pop(a);
  // Without the flag the last user's bytes are still there.
  auto* b = static_cast<uint8_t*>(s.Push(8192, false));
  ASSERT_EQ(b, a);
  EXPECT_EQ(b[0], 0xAB);
  EXPECT_EQ(b[8191], 0xAB);
  s.Pop(b);
  // With it only the first size bytes are cleared.
  auto* c = static_cast<uint8_t*>(s.Push(4000, true));
  ASSERT_EQ(c, a);
  for (int i = 0; i < 4000; ++i) ASSERT_EQ(c[i], 0) << i;
  EXPECT_EQ(c[4000], 0xAB);
  s.Pop(c);
}

TEST_F(BufStackTest, NestedSlotsAreDistinctAndFreeAllCountsThem) {
  BufStack& s = theBufStack();
  void* a = s.Push(512, false);
  void* b = s.Push(4096, false);
  void* c = s.Push(65536, false);
  EXPECT_EQ(s.Depth(), 3);
  EXPECT_TRUE(a != b && b != c && a != c);
  s.Pop(c);
  s.Pop(b);
  s.Pop(a);
  EXPECT_EQ(s.CachedRegions(), 3);
  EXPECT_EQ(s.FreeAll(), 3);
  EXPECT_EQ(s.CachedRegions(), 0);
  EXPECT_EQ(s.SlotBuffer(0), nullptr);
  EXPECT_EQ(s.SlotSize(2), 0u);
  EXPECT_EQ(s.FreeAll(), 0);
}

TEST_F(BufStackTest, FreeAllKeepsBuffersInUse) {
  BufStack& s = theBufStack();
  auto* a = static_cast<uint8_t*>(s.Push(4096, false));
  void* b = s.Push(4096, false);
  s.Pop(b);  // slot 1 cached, slot 0 held
  EXPECT_EQ(s.FreeAll(), 1);
  EXPECT_EQ(s.SlotBuffer(0), a);
  std::memset(a, 1, 4096);  // still valid
  s.Pop(a);
  EXPECT_EQ(s.FreeAll(), 1);
}

TEST_F(BufStackTest, SixtyFifthPushIsRefusedWithoutDamage) {
  BufStack& s = theBufStack();
  std::vector<void*> held;
  for (int i = 0; i < kBufStackSlots; ++i) held.push_back(s.Push(64, false));
  EXPECT_EQ(s.Depth(), 64);
  EXPECT_THROW(s.Push(64, false), DvTextError);
  EXPECT_EQ(s.Depth(), 64);
  EXPECT_NE(LastErrorText().find(u"overflow"), WString::npos);
  for (int i = kBufStackSlots - 1; i >= 0; --i) s.Pop(held[i]);
  EXPECT_EQ(s.CachedRegions(), 64);
}

TEST_F(BufStackTest, PopOfAnythingButTheTopIsRefused) {
  BufStack& s = theBufStack();
  EXPECT_THROW(s.Pop(nullptr), DvTextError);  // empty
  void* a = s.Push(100, false);
  void* b = s.Push(100, false);
  int local = 0;
  for (void* wrong : {a, static_cast<void*>(&local), static_cast<void*>(nullptr)}) {
    EXPECT_THROW(s.Pop(wrong), DvTextError);
    EXPECT_EQ(s.Depth(), 2);
  }
  EXPECT_NE(LastErrorText().find(u"not its top"), WString::npos);
  s.Pop(b);
  s.Pop(a);
}

TEST_F(BufStackTest, PopCheckedUnwindsPastLeakedPushes) {
  BufStack& s = theBufStack();
  void* a = s.Push(100, false);
  s.Push(100, false);  // a callee that forgot to pop
  s.Push(100, false);
  EXPECT_FALSE(s.PopChecked(a));
  EXPECT_EQ(s.Depth(), 0);
  int local = 0;
  void* b = s.Push(100, false);
  EXPECT_FALSE(s.PopChecked(&local));  // unknown: nothing changes
  EXPECT_EQ(s.Depth(), 1);
  EXPECT_TRUE(s.PopChecked(b));
}

TEST_F(BufStackTest, GuardPopsOnErrorPaths) {
  BufStack& s = theBufStack();
  auto parse = [&](int failAtDepth) {
    BufStackGuard outer(4096, true);
    BufStackGuard inner(512);
    EXPECT_EQ(s.Depth(), 2);
    if (failAtDepth == 2) throw DvCodeError{7};
    {
      BufStackGuard third(100);
      if (failAtDepth == 3) throw DvTextError{u"bad record"};
    }
    return s.Depth();
  };
  EXPECT_EQ(parse(0), 2);
  EXPECT_EQ(s.Depth(), 0);
  EXPECT_THROW(parse(2), DvCodeError);
  EXPECT_EQ(s.Depth(), 0);
  EXPECT_THROW(parse(3), DvTextError);
  EXPECT_EQ(s.Depth(), 0);
  EXPECT_EQ(s.CachedRegions(), 3);
}

TEST_F(BufStackTest, GuardReleaseHandsTheBufferOver) {
  BufStack& s = theBufStack();
  void* handed;
  {
    BufStackGuard g(2048);
    handed = g.Release();
  }
  EXPECT_EQ(s.Depth(), 1);
  s.Pop(handed);
}

TEST_F(BufStackTest, GuardOutOfOrderIsCaughtInDebugAndRepaired) {
  // A leaked push under a guard: debug builds stop; release builds record it
  // and unwind so the caller's frame is consistent again.
  EXPECT_DEBUG_DEATH(
      {
        {
          BufStackGuard g(100);
          theBufStack().Push(100, false);
        }
        EXPECT_EQ(theBufStack().Depth(), 0);
        EXPECT_NE(LastErrorText().find(u"below its top"), WString::npos);
      },
      "out of order");
}

TEST_F(BufStackTest, AbsurdSizeIsOutOfMemory) {
  GlobalObjectsScope scope;
  EXPECT_THROW(theBufStack().Push(size_t(kBufStackMaxBytes) + 1, false), DvCodeError);
  EXPECT_EQ(theBufStack().Depth(), 0);
  EXPECT_EQ(LastErrorText(), u"Out of memory.");
}

TEST_F(BufStackTest, EachThreadHasItsOwnStack) {
  BufStack& s = theBufStack();
  void* mine = s.Push(4096, false);
  const void* theirs = nullptr;
  int theirDepth = -1;
  std::thread t([&] {
    BufStack& other = theBufStack();
    theirDepth = other.Depth();
    BufStackGuard g(4096);
    theirs = g.get();
    std::memset(g.get(), 0xEE, 4096);
  });  // the thread's regions are freed when it ends (ASan checks for leaks)
  t.join();
  EXPECT_EQ(theirDepth, 0);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(s.Depth(), 1);
  s.Pop(mine);
}

TEST_F(BufStackTest, StartUpOwnerFreesTheMainThreadsRegions) {
  {
    GlobalObjectsScope scope;
    BufStackGuard a(4096), b(8192);
  }
  EXPECT_EQ(theBufStack().CachedRegions(), 0);
}

}  // namespace
