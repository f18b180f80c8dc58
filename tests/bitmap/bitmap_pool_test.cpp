#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "engine/errors.h"
#include "lib/records_bitmap.h"

namespace veldor {
namespace {

TEST(RecordsBitmapStack, InitialCapacityIs512) {
  EXPECT_EQ(TRecordsBitmapStack::kInitialCapacity, 512u);
}

TEST(RecordsBitmapStack, EmptyPoolMakesEmptyBitmaps) {
  TRecordsBitmapStack pool;
  EXPECT_EQ(pool.FreeCount(), 0u);
  std::unique_ptr<TRecordsBitmap> b = pool.AcquireBitmap();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Size(), 0u);
  EXPECT_EQ(b->AllocatedSize(), 0u);
  pool.ReleaseBitmap(b);
}

TEST(RecordsBitmapStack, ReleaseNullsTheReferenceAndKeepsTheBitmap) {
  TRecordsBitmapStack pool;
  std::unique_ptr<TRecordsBitmap> b = pool.AcquireBitmap();
  pool.ReleaseBitmap(b);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(pool.FreeCount(), 1u);
  std::unique_ptr<TRecordsBitmap> none;
  pool.ReleaseBitmap(none);
  EXPECT_EQ(pool.FreeCount(), 1u) << "a null reference is ignored";
}

TEST(RecordsBitmapStack, ReusedBitmapIsEmptyEvenWhenGivenBackFull) {
  TRecordsBitmapStack pool;
  std::unique_ptr<TRecordsBitmap> b = pool.AcquireBitmap();
  b->SetSize(1000);
  b->SetAll();
  const TRecordsBitmap* address = b.get();
  pool.ReleaseBitmap(b);
  std::unique_ptr<TRecordsBitmap> again = pool.AcquireBitmap();
  EXPECT_EQ(again.get(), address);
  EXPECT_EQ(again->Size(), 1000u) << "the bitmap is reused as it is";
  EXPECT_EQ(again->AllocatedSize(), 256u) << "and keeps its allocation";
  EXPECT_EQ(again->Count(), 0u);
  for (uint32_t i = 0; i < again->AllocatedSize() / 4; ++i) EXPECT_EQ(again->Words()[i], 0u);
  again->SetSize(2000);  // growing within the allocation uncovers zeroes only
  EXPECT_EQ(again->Count(), 0u);
  pool.ReleaseBitmap(again);
}

TEST(RecordsBitmapStack, HandsOutTheLastGivenBackFirst) {
  TRecordsBitmapStack pool;
  std::unique_ptr<TRecordsBitmap> a = pool.AcquireBitmap();
  std::unique_ptr<TRecordsBitmap> b = pool.AcquireBitmap();
  const TRecordsBitmap* first = a.get();
  const TRecordsBitmap* second = b.get();
  EXPECT_NE(first, second);
  pool.ReleaseBitmap(a);
  pool.ReleaseBitmap(b);
  EXPECT_EQ(pool.FreeCount(), 2u);
  std::unique_ptr<TRecordsBitmap> c = pool.AcquireBitmap();
  std::unique_ptr<TRecordsBitmap> d = pool.AcquireBitmap();
  EXPECT_EQ(c.get(), second);
  EXPECT_EQ(d.get(), first);
  EXPECT_EQ(pool.FreeCount(), 0u);
  pool.ReleaseBitmap(c);
  pool.ReleaseBitmap(d);
}

TEST(RecordsBitmapStack, ClearFreesWhatThePoolHolds) {
  TRecordsBitmapStack pool;
  std::vector<std::unique_ptr<TRecordsBitmap>> taken;
  for (int i = 0; i < 600; ++i) taken.push_back(pool.AcquireBitmap());  // past 512
  for (auto& b : taken) {
    b->SetSize(5000);
    pool.ReleaseBitmap(b);
  }
  EXPECT_EQ(pool.FreeCount(), 600u);
  pool.Clear();
  EXPECT_EQ(pool.FreeCount(), 0u);
  std::unique_ptr<TRecordsBitmap> fresh = pool.AcquireBitmap();
  EXPECT_EQ(fresh->AllocatedSize(), 0u);
  pool.ReleaseBitmap(fresh);
}

// ---- The guard -------------------------------------------------------------------------------

TEST(PooledBitmap, AcquiresOnConstructionAndReleasesOnDestruction) {
  TRecordsBitmapStack pool;
  {
    TPooledBitmap guard(pool);
    ASSERT_TRUE(guard);
    guard->SetSize(10);
    (*guard).SetBit(3);
    EXPECT_EQ(guard.Get()->Count(), 1u);
    EXPECT_EQ(pool.FreeCount(), 0u);
  }
  EXPECT_EQ(pool.FreeCount(), 1u);
}

TEST(PooledBitmap, MoveTransfersAndMovedFromGivesNothingBack) {
  TRecordsBitmapStack pool;
  {
    TPooledBitmap a(pool);
    const TRecordsBitmap* held = a.Get();
    TPooledBitmap b(std::move(a));
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): a moved-from guard is empty
    EXPECT_EQ(b.Get(), held);
    std::vector<TPooledBitmap> guards;
    guards.push_back(std::move(b));
    EXPECT_EQ(guards[0].Get(), held);
    EXPECT_EQ(pool.FreeCount(), 0u);
  }
  EXPECT_EQ(pool.FreeCount(), 1u) << "exactly one bitmap was taken and given back";
}

TEST(PooledBitmap, MoveAssignmentGivesBackTheOldBitmap) {
  TRecordsBitmapStack pool;
  TPooledBitmap a(pool);
  TPooledBitmap b(pool);
  const TRecordsBitmap* fromB = b.Get();
  a = std::move(b);
  EXPECT_EQ(pool.FreeCount(), 1u);
  EXPECT_EQ(a.Get(), fromB);
  a = std::move(a);  // self-move keeps the bitmap
  EXPECT_EQ(a.Get(), fromB);
  a.Reset();
  EXPECT_FALSE(a);
  EXPECT_EQ(pool.FreeCount(), 2u);
  a.Reset();
  EXPECT_EQ(pool.FreeCount(), 2u);
}

TEST(PooledBitmap, GuardsAcrossPools) {
  TRecordsBitmapStack first, second;
  {
    TPooledBitmap a(first);
    TPooledBitmap b(second);
    a = std::move(b);  // a's bitmap goes back to `first`; a now holds `second`'s
    EXPECT_EQ(first.FreeCount(), 1u);
  }
  EXPECT_EQ(first.FreeCount(), 1u);
  EXPECT_EQ(second.FreeCount(), 1u);
}

// ---- Exception paths -------------------------------------------------------------------------

void FilterStepThatFails(TRecordsBitmapStack& pool) {
  TPooledBitmap left(pool);
  TPooledBitmap right(pool);
  left->SetSize(500);
  right->SetSize(500);
  left->SetAll();
  right->And(*left);
  TPooledBitmap scratch(pool);
  throw std::runtime_error("evaluation failed");
}

TEST(PooledBitmap, ExceptionPathGivesEveryBitmapBack) {
  TRecordsBitmapStack pool;
  EXPECT_THROW(FilterStepThatFails(pool), std::runtime_error);
  EXPECT_EQ(pool.FreeCount(), 3u);
  EXPECT_THROW(FilterStepThatFails(pool), std::runtime_error);
  EXPECT_EQ(pool.FreeCount(), 3u) << "the second run reused the same three";
}

TEST(PooledBitmap, EngineErrorFromTheBitmapGivesItBack) {
  TRecordsBitmapStack pool;
  try {
    TPooledBitmap guard(pool);
    guard->SetSize(TRecordsBitmap::kMaxSize + 1);
    ADD_FAILURE() << "SetSize above the maximum returned";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_OSENOMEM);
  }
  EXPECT_EQ(pool.FreeCount(), 1u);
}

TEST(RecordsBitmapStack, PlainReleaseInACleanUpStep) {
  TRecordsBitmapStack pool;
  std::unique_ptr<TRecordsBitmap> b = pool.AcquireBitmap();
  try {
    b->SetSize(64);
    throw std::runtime_error("failed");
  } catch (const std::runtime_error&) {
    pool.ReleaseBitmap(b);
  }
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(pool.FreeCount(), 1u);
}

// ---- The process's pool ----------------------------------------------------------------------

TEST(ProcessBitmapStack, OnePoolForTheProcess) {
  TRecordsBitmapStack* seen[4] = {};
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = &ProcessBitmapStack(); });
  for (auto& t : threads) t.join();
  for (auto* s : seen) EXPECT_EQ(s, &ProcessBitmapStack());
}

TEST(ProcessBitmapStack, FreeFunctionsAndDefaultGuardUseIt) {
  TRecordsBitmapStack& pool = ProcessBitmapStack();
  const size_t before = pool.FreeCount();
  std::unique_ptr<TRecordsBitmap> b = AcquireBitmap();
  b->SetSize(100);
  b->SetAll();
  ReleaseBitmap(b);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(pool.FreeCount(), std::max<size_t>(before, 1));
  {
    TPooledBitmap guard;
    EXPECT_EQ(guard->Count(), 0u);
    EXPECT_EQ(pool.FreeCount(), std::max<size_t>(before, 1) - 1);
  }
  EXPECT_EQ(pool.FreeCount(), std::max<size_t>(before, 1));
}

// Runs at exit after the process's pool is gone (it was registered before the pool was made).
void UseBitmapsAfterThePoolIsGone() {
  std::unique_ptr<TRecordsBitmap> b = AcquireBitmap();
  b->SetSize(100);
  ReleaseBitmap(b);
  if (b != nullptr) _exit(3);
  TPooledBitmap guard;
  guard->SetSize(10);
}

TEST(ProcessBitmapStackDeathTest, SafeDuringStaticDestruction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, pool not yet made
  EXPECT_EXIT(
      {
        std::atexit(UseBitmapsAfterThePoolIsGone);
        TPooledBitmap early;  // makes the pool after the handler was registered
        early->SetSize(50);
        early.Reset();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- Threads ---------------------------------------------------------------------------------

// Each thread takes up to three bitmaps at a time, checks they come out empty, marks them
// with its own pattern, and checks the marks are intact before giving them back: a bitmap
// handed to two threads at once would show up as a wrong count.
void Hammer(TRecordsBitmapStack* pool, int threadCount, int rounds) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<uint32_t>(t * 7919 + 1));
      for (int round = 0; round < rounds; ++round) {
        std::vector<TPooledBitmap> held;
        const int count = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < count; ++i) held.push_back(pool ? TPooledBitmap(*pool) : TPooledBitmap());
        for (auto& g : held) {
          const uint32_t size = 1 + random() % 3000;
          g->SetSize(size);
          if (g->Count() != 0) ++failures;
          for (uint32_t n = 1u + static_cast<uint32_t>(t); n <= size; n += static_cast<uint32_t>(threadCount) + 1) g->SetBit(n);
        }
        if (round % 16 == 0) std::this_thread::yield();
        for (auto& g : held) {
          const uint32_t size = g->Size();
          const uint32_t first = 1u + static_cast<uint32_t>(t), stride = static_cast<uint32_t>(threadCount) + 1;
          const uint32_t expected = size >= first ? (size - first) / stride + 1 : 0;
          if (g->Count() != expected) ++failures;
        }
        if (random() % 2 == 0) held.clear();  // else the guards go out of scope
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(RecordsBitmapStack, ManyThreadsAcquireAndRelease) {
  TRecordsBitmapStack pool;
  Hammer(&pool, 8, 10000);
  EXPECT_GE(pool.FreeCount(), 1u);
  EXPECT_LE(pool.FreeCount(), 8u * 3) << "never more bitmaps than were held at once";
}

TEST(ProcessBitmapStack, ManyThreadsAcquireAndRelease) {
  Hammer(nullptr, 8, 10000);
  EXPECT_GE(ProcessBitmapStack().FreeCount(), 1u);
  EXPECT_LE(ProcessBitmapStack().FreeCount(), 8u * 3 + 4);
}

}  // namespace
}  // namespace veldor
