// The buffer cache against a model: random inserts, removals, touches and shrinks keep
// every number findable, the recency order exact and the sorted selection complete.

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <random>

#include "engine/buffer_cache.h"

namespace veldor {
namespace {

struct TBuffer {
  explicit TBuffer(int32_t number) : Number(number) {}
  int32_t Number;
  TBuffer* Older_ = nullptr;
  TBuffer* Newer_ = nullptr;
};

// Oldest first, as the cache's recency list runs.
std::vector<int32_t> RecencyOf(const TBufferCache<TBuffer>& cache) {
  std::vector<int32_t> order;
  for (const TBuffer* b = cache.Oldest(); b; b = TBufferCache<TBuffer>::Newer(b)) order.push_back(b->Number);
  return order;
}

TEST(BufferCache, FollowsAModelThroughRandomChanges) {
  // Numbers crowd a small range so that probe runs collide and removals shift them.
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    TBufferCache<TBuffer> cache;
    std::map<int32_t, bool> present;
    std::list<int32_t> recency;  // oldest first
    for (int step = 0; step < 20000; ++step) {
      const int32_t n = int32_t(random() % 700) + 1;
      const int op = int(random() % 10);
      const bool has = present.count(n) > 0;
      if (op < 4 && !has) {
        cache.Insert(n, std::make_unique<TBuffer>(n));
        present[n] = true;
        recency.push_back(n);
      } else if (op < 7 && has) {
        std::unique_ptr<TBuffer> b = cache.Remove(n);
        ASSERT_TRUE(b) << n;
        ASSERT_EQ(b->Number, n);
        present.erase(n);
        recency.remove(n);
      } else if (op < 9) {
        TBuffer* b = cache.Touch(n);
        ASSERT_EQ(b != nullptr, has) << n;
        if (has) {
          ASSERT_EQ(b->Number, n);
          recency.remove(n);
          recency.push_back(n);
        }
      } else {
        cache.Shrink();
      }
      ASSERT_EQ(cache.Size(), present.size());
    }
    for (int32_t n = 1; n <= 700; ++n) {
      const TBuffer* b = cache.Find(n);
      ASSERT_EQ(b != nullptr, present.count(n) > 0) << n;
      if (b) {
        EXPECT_EQ(b->Number, n);
      }
    }
    EXPECT_EQ(RecencyOf(cache), std::vector<int32_t>(recency.begin(), recency.end()));
    std::vector<int32_t> odd;
    for (auto [number, b] : cache.Sorted([](const TBuffer& b) { return b.Number % 2 == 1; })) odd.push_back(number);
    std::vector<int32_t> expected;
    for (auto [n, unused] : present)
      if (n % 2 == 1) expected.push_back(n);
    EXPECT_EQ(odd, expected);
    std::vector<std::unique_ptr<TBuffer>> all = cache.TakeAll();
    EXPECT_EQ(all.size(), present.size());
    EXPECT_TRUE(cache.Empty());
    EXPECT_EQ(cache.Find(1), nullptr);
    EXPECT_EQ(cache.Oldest(), nullptr);
  }
}

}  // namespace
}  // namespace veldor
