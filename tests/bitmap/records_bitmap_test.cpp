#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "lib/records_bitmap.h"

namespace veldor {
namespace {

// ---- Expected answers from a sorted list of members ---------------------------------------

struct TWalkResult {
  uint32_t Position;
  int32_t Counter;
  bool Found;
  uint32_t Steps;
};

bool operator==(const TWalkResult& a, const TWalkResult& b) {
  return a.Position == b.Position && a.Counter == b.Counter && a.Found == b.Found &&
         a.Steps == b.Steps;
}

std::ostream& operator<<(std::ostream& out, const TWalkResult& r) {
  return out << "{position " << r.Position << ", counter " << r.Counter << ", found "
             << r.Found << ", steps " << r.Steps << "}";
}

int32_t Moved(int32_t counter, int64_t delta) {
  return static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(delta));
}

// The contract of NextMembers, answered from the sorted member list.
TWalkResult ExpectNext(const std::vector<uint32_t>& members, uint32_t position, uint32_t k,
                       int32_t counter) {
  if (k == 0) return {position, counter, true, 0};
  const size_t first = std::upper_bound(members.begin(), members.end(), position) - members.begin();
  const size_t available = members.size() - first;
  if (available >= k) return {members[first + k - 1], Moved(counter, k), true, k};
  if (available == 0) return {position, counter, false, 0};
  return {members.back(), Moved(counter, static_cast<int64_t>(available)), false,
          static_cast<uint32_t>(available)};
}

// The contract of PriorMembers, answered from the sorted member list.
TWalkResult ExpectPrior(const std::vector<uint32_t>& members, uint32_t position, uint32_t k,
                        int32_t counter) {
  if (k == 0) return {position, counter, true, 0};
  const size_t available = std::lower_bound(members.begin(), members.end(), position) - members.begin();
  if (available >= k) return {members[available - k], Moved(counter, -int64_t{k}), true, k};
  if (available == 0) return {position, counter, false, 0};
  return {members.front(), Moved(counter, -static_cast<int64_t>(available)), false,
          static_cast<uint32_t>(available)};
}

uint32_t ExpectCountBefore(const std::vector<uint32_t>& members, uint32_t n) {
  return static_cast<uint32_t>(std::lower_bound(members.begin(), members.end(), n) - members.begin());
}

TWalkResult Next(const TRecordsBitmap& b, uint32_t position, uint32_t k, int32_t counter) {
  const TMembersWalk walk = b.NextMembers(position, k, counter);
  return {position, counter, walk.Found, walk.Steps};
}

TWalkResult Prior(const TRecordsBitmap& b, uint32_t position, uint32_t k, int32_t counter) {
  const TMembersWalk walk = b.PriorMembers(position, k, counter);
  return {position, counter, walk.Found, walk.Steps};
}

std::vector<uint32_t> MembersOf(const TRecordsBitmap& b) {
  std::vector<uint32_t> members;
  for (uint32_t n = 1; n <= b.Size(); ++n)
    if (b.GetBit(n)) members.push_back(n);
  return members;
}

void SetRange(TRecordsBitmap& b, uint32_t from, uint32_t to) {
  for (uint32_t n = from; n <= to; ++n) b.SetBit(n);
}

// Every position 0..size + 2 and a few beyond, with the given k's, both directions.
void CheckAllWalks(const TRecordsBitmap& b, const std::vector<uint32_t>& ks) {
  const std::vector<uint32_t> members = MembersOf(b);
  std::vector<uint32_t> positions;
  for (uint32_t p = 0; p <= b.Size() + 2; ++p) positions.push_back(p);
  positions.push_back(b.Size() + 1000);
  positions.push_back(std::numeric_limits<uint32_t>::max());
  for (uint32_t p : positions) {
    for (uint32_t k : ks) {
      ASSERT_EQ(Next(b, p, k, 7), ExpectNext(members, p, k, 7)) << "next from " << p << " k " << k;
      ASSERT_EQ(Prior(b, p, k, 7), ExpectPrior(members, p, k, 7)) << "prior from " << p << " k " << k;
    }
    ASSERT_EQ(b.CountBefore(p), ExpectCountBefore(members, p)) << "count before " << p;
  }
  ASSERT_EQ(b.Count(), members.size());
}

// ---- Layout and allocation -----------------------------------------------------------------

TEST(RecordsBitmap, CreatedEmpty) {
  TRecordsBitmap b;
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.RoundedSize(), 0u);
  EXPECT_EQ(b.WordCount(), 0u);
  EXPECT_EQ(b.AllocatedSize(), 0u);
  EXPECT_EQ(b.Words(), nullptr);
  EXPECT_EQ(b.Count(), 0u);
  EXPECT_EQ(b.CountBefore(5), 0u);
  b.ClearAll();
  b.SetAll();
  b.Not();
  EXPECT_EQ(b.Count(), 0u);
}

TEST(RecordsBitmap, ClearBitsClearsExactlyTheRangeWithinTheSize) {
  // Ranges inside one word, across word edges, whole words, clamped ends, empty ones.
  const std::pair<uint32_t, uint32_t> ranges[] = {{5, 9},   {1, 32},  {31, 33}, {32, 96}, {33, 64},
                                                  {2, 199}, {0, 300}, {150, 10}, {200, 200}, {64, 65}};
  for (auto [first, last] : ranges) {
    TRecordsBitmap b;
    b.SetSize(200);
    b.SetAll();
    b.ClearBits(first, last);
    for (uint32_t n = 1; n <= 200; ++n)
      ASSERT_EQ(b.GetBit(n), n < std::max(first, 1u) || n > last) << first << ".." << last << " at " << n;
  }
}

TEST(RecordsBitmap, RecordBitPositions) {
  TRecordsBitmap b;
  b.SetSize(64);
  b.SetBit(1);
  EXPECT_EQ(b.Words()[0], 0x00000001u);
  b.SetBit(32);
  EXPECT_EQ(b.Words()[0], 0x80000001u);
  EXPECT_EQ(b.Words()[1], 0u);
  b.SetBit(33);
  EXPECT_EQ(b.Words()[1], 0x00000001u);
  b.ClearBit(1);
  EXPECT_EQ(b.Words()[0], 0x80000000u);
  EXPECT_FALSE(b.GetBit(1));
  EXPECT_TRUE(b.GetBit(32));
  EXPECT_TRUE(b.GetBit(33));
  EXPECT_FALSE(b.GetBit(34));
  EXPECT_EQ(b.Count(), 2u);
}

TEST(RecordsBitmap, SetSize33AndZero) {
  TRecordsBitmap b;
  b.SetSize(33);
  EXPECT_EQ(b.Size(), 33u);
  EXPECT_EQ(b.RoundedSize(), 64u);
  EXPECT_EQ(b.WordCount(), 2u);
  EXPECT_EQ(b.AllocatedSize(), 256u);
  ASSERT_NE(b.Words(), nullptr);
  for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(b.Words()[i], 0u) << "new allocation is zeroed";
  b.SetSize(0);
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.RoundedSize(), 0u);
  EXPECT_EQ(b.WordCount(), 0u);
  EXPECT_EQ(b.AllocatedSize(), 0u);
  EXPECT_EQ(b.Words(), nullptr);
}

TEST(RecordsBitmap, AllocationGrowsIn256ByteStepsAndNeverShrinks) {
  TRecordsBitmap b;
  b.SetSize(1);
  EXPECT_EQ(b.AllocatedSize(), 256u);
  b.SetSize(2048);  // 64 words, exactly 256 bytes
  EXPECT_EQ(b.AllocatedSize(), 256u);
  const uint32_t* first = b.Words();
  b.SetSize(2049);
  EXPECT_EQ(b.AllocatedSize(), 512u);
  EXPECT_EQ(b.WordCount(), 65u);
  b.SetSize(100);
  EXPECT_EQ(b.AllocatedSize(), 512u) << "shrinking keeps the allocation";
  EXPECT_EQ(b.WordCount(), 4u);
  const uint32_t* second = b.Words();
  b.SetSize(4096);
  EXPECT_EQ(b.AllocatedSize(), 512u);
  EXPECT_EQ(b.Words(), second) << "growing within the allocation does not reallocate";
  b.SetSize(100000);
  EXPECT_EQ(b.AllocatedSize(), 12544u);  // 3125 words = 12500 bytes, rounded to 256
  EXPECT_EQ(b.AllocatedSize() % 256, 0u);
  (void)first;
}

TEST(RecordsBitmap, SameSizeDoesNothing) {
  TRecordsBitmap b;
  b.SetSize(40);
  b.SetBit(40);
  b.SetSize(40);
  EXPECT_TRUE(b.GetBit(40));
  EXPECT_EQ(b.Count(), 1u);
}

TEST(RecordsBitmap, GrowingWithinAllocationKeepsOldBits) {
  TRecordsBitmap b;
  b.SetSize(1000);
  b.SetBit(90);
  b.SetBit(999);
  b.SetSize(50);
  EXPECT_EQ(b.Count(), 0u);
  b.SetSize(1000);
  EXPECT_TRUE(b.GetBit(90));
  EXPECT_TRUE(b.GetBit(999));
  EXPECT_EQ(b.Count(), 2u);
}

TEST(RecordsBitmap, GrowingPastAllocationKeepsOldBitsAndZeroesNewBytes) {
  TRecordsBitmap b;
  b.SetSize(2000);
  b.SetBit(1);
  b.SetBit(2000);
  b.SetSize(3000);  // 2001..2048 lie in the old allocation (zero), the rest is new
  EXPECT_EQ(b.AllocatedSize(), 512u);
  EXPECT_TRUE(b.GetBit(1));
  EXPECT_TRUE(b.GetBit(2000));
  EXPECT_EQ(b.Count(), 2u);
  for (uint32_t i = 64; i < 128; ++i) EXPECT_EQ(b.Words()[i], 0u);
}

TEST(RecordsBitmap, SetAllSurvivesGrowthWithinAllocation) {
  // SetAll covers the whole allocation, so records uncovered later are members.
  TRecordsBitmap b;
  b.SetSize(40);
  b.SetAll();
  b.SetSize(100);
  EXPECT_EQ(b.Count(), 100u);
}

TEST(RecordsBitmap, TooLargeSizeRaisesAndLeavesBitmapUnchanged) {
  TRecordsBitmap b;
  b.SetSize(77);
  b.SetBit(5);
  try {
    b.SetSize(TRecordsBitmap::kMaxSize + 1);
    ADD_FAILURE() << "SetSize above the maximum returned";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_OSENOMEM);
  }
  EXPECT_EQ(b.Size(), 77u);
  EXPECT_EQ(b.AllocatedSize(), 256u);
  EXPECT_TRUE(b.GetBit(5));
}

// ---- Whole-set operations ------------------------------------------------------------------

TEST(RecordsBitmap, SetAllCountsOnlySize) {
  TRecordsBitmap b;
  b.SetSize(40);
  b.SetAll();
  EXPECT_EQ(b.Count(), 40u);
  EXPECT_EQ(b.CountBefore(41), 40u);
  EXPECT_EQ(b.CountBefore(1000), 40u);
  for (uint32_t i = 0; i < b.AllocatedSize() / 4; ++i) EXPECT_EQ(b.Words()[i], 0xFFFFFFFFu);
  b.ClearAll();
  EXPECT_EQ(b.Count(), 0u);
  for (uint32_t i = 0; i < b.AllocatedSize() / 4; ++i) EXPECT_EQ(b.Words()[i], 0u);
}

TEST(RecordsBitmap, NotRespectsSize) {
  TRecordsBitmap b;
  b.SetSize(40);
  b.Not();
  EXPECT_EQ(b.Count(), 40u);
  EXPECT_EQ(b.Words()[1], 0xFFFFFFFFu) << "Not inverts whole words";
  EXPECT_EQ(b.Words()[2], 0u) << "but only those of the word count";
  uint32_t position = 0;
  int32_t counter = 0;
  EXPECT_FALSE(b.NextMembers(position, 41, counter).Found);
  EXPECT_EQ(position, 40u);
  EXPECT_EQ(counter, 40);
  b.Not();
  EXPECT_EQ(b.Count(), 0u);
  b.SetBit(3);
  b.SetBit(40);
  b.Not();
  EXPECT_EQ(b.Count(), 38u);
  EXPECT_FALSE(b.GetBit(3));
  EXPECT_FALSE(b.GetBit(40));
  EXPECT_TRUE(b.GetBit(39));
}

TEST(RecordsBitmap, AndOrWordByWord) {
  TRecordsBitmap a, b;
  a.SetSize(100);
  b.SetSize(100);
  SetRange(a, 1, 60);
  SetRange(b, 30, 100);
  TRecordsBitmap x;
  x.Assign(a);
  x.And(b);
  EXPECT_EQ(MembersOf(x).front(), 30u);
  EXPECT_EQ(x.Count(), 31u);
  x.Assign(a);
  x.Or(b);
  EXPECT_EQ(x.Count(), 100u);
  x.And(x);
  EXPECT_EQ(x.Count(), 100u);
  x.Or(x);
  EXPECT_EQ(x.Count(), 100u);
}

TEST(RecordsBitmap, AndOrWithFewerWordsTreatMissingWordsAsEmpty) {
  TRecordsBitmap a, shorter;
  a.SetSize(200);
  a.SetAll();
  shorter.SetSize(40);  // two words
  shorter.SetAll();
  a.Or(shorter);
  EXPECT_EQ(a.Count(), 200u);
  a.And(shorter);
  EXPECT_EQ(a.Count(), 64u) << "words 0 and 1 kept whole, words 2..6 cleared";
  TRecordsBitmap empty;
  a.And(empty);
  EXPECT_EQ(a.Count(), 0u);
  a.SetBit(7);
  a.Or(empty);
  EXPECT_EQ(a.Count(), 1u);
}

TEST(RecordsBitmap, AssignCopiesAllocationSizeAndBits) {
  TRecordsBitmap a, b;
  a.SetSize(3000);
  a.SetBit(1);
  a.SetBit(2999);
  a.SetSize(70);  // allocation 512, words beyond the word count hold record 2999
  b.SetSize(10);
  b.Assign(a);
  EXPECT_EQ(b.Size(), 70u);
  EXPECT_EQ(b.RoundedSize(), 96u);
  EXPECT_EQ(b.WordCount(), 3u);
  EXPECT_EQ(b.AllocatedSize(), 512u);
  EXPECT_EQ(b.Count(), 1u);
  b.SetSize(3000);
  EXPECT_TRUE(b.GetBit(2999)) << "the whole allocation is copied";
  b.Assign(b);
  EXPECT_EQ(b.Count(), 2u);
  TRecordsBitmap small;
  small.SetSize(5);
  b.Assign(small);
  EXPECT_EQ(b.AllocatedSize(), 256u);
  EXPECT_EQ(b.Size(), 5u);
  TRecordsBitmap empty;
  b.Assign(empty);
  EXPECT_EQ(b.AllocatedSize(), 0u);
  EXPECT_EQ(b.Words(), nullptr);
  EXPECT_EQ(b.Size(), 0u);
}

// ---- Counting and walking -------------------------------------------------------------------

TEST(RecordsBitmap, CountBeforeSmallArguments) {
  TRecordsBitmap b;
  b.SetSize(10);
  b.SetAll();
  EXPECT_EQ(b.CountBefore(0), 0u);
  EXPECT_EQ(b.CountBefore(1), 0u);
  EXPECT_EQ(b.CountBefore(2), 1u);
  EXPECT_EQ(b.CountBefore(11), 10u);
  EXPECT_EQ(b.CountBefore(std::numeric_limits<uint32_t>::max()), 10u);
}

TEST(RecordsBitmap, NextMembersOnEmptySet) {
  TRecordsBitmap b;
  b.SetSize(100);
  uint32_t position = 0;
  int32_t counter = 0;
  const TMembersWalk walk = b.NextMembers(position, 1, counter);
  EXPECT_FALSE(walk.Found);
  EXPECT_EQ(walk.Steps, 0u);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(counter, 0);
}

TEST(RecordsBitmap, NextMembersOnFiveAndNine) {
  TRecordsBitmap b;
  b.SetSize(20);
  b.SetBit(5);
  b.SetBit(9);
  uint32_t position = 0;
  int32_t counter = 0;
  TMembersWalk walk = b.NextMembers(position, 1, counter);
  EXPECT_TRUE(walk.Found);
  EXPECT_EQ(walk.Steps, 1u);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(counter, 1);
  walk = b.NextMembers(position, 3, counter);
  EXPECT_FALSE(walk.Found);
  EXPECT_EQ(walk.Steps, 1u);
  EXPECT_EQ(position, 9u);
  EXPECT_EQ(counter, 2);
  // And backward from after the last.
  position = 21;
  counter = 3;
  walk = b.PriorMembers(position, 1, counter);
  EXPECT_TRUE(walk.Found);
  EXPECT_EQ(position, 9u);
  EXPECT_EQ(counter, 2);
  walk = b.PriorMembers(position, 2, counter);
  EXPECT_FALSE(walk.Found);
  EXPECT_EQ(walk.Steps, 1u);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(counter, 1);
}

TEST(RecordsBitmap, WalksAroundTheEndsAndWithZeroK) {
  TRecordsBitmap b;
  b.SetSize(40);
  b.SetAll();  // bits 41..64 are set in the words but are not members
  for (uint32_t start : {40u, 41u, 42u, 1000u, std::numeric_limits<uint32_t>::max()}) {
    EXPECT_EQ(Next(b, start, 1, 5), (TWalkResult{start, 5, false, 0})) << start;
  }
  EXPECT_EQ(Next(b, 39, 5, 0), (TWalkResult{40, 1, false, 1}));
  for (uint32_t start : {0u, 1u}) {
    EXPECT_EQ(Prior(b, start, 1, 5), (TWalkResult{start, 5, false, 0})) << start;
  }
  EXPECT_EQ(Prior(b, 41, 1, 41), (TWalkResult{40, 40, true, 1}));
  EXPECT_EQ(Prior(b, 42, 1, 41), (TWalkResult{40, 40, true, 1}));
  EXPECT_EQ(Prior(b, std::numeric_limits<uint32_t>::max(), 2, 0), (TWalkResult{39, -2, true, 2}));
  EXPECT_EQ(Next(b, 3, 0, 9), (TWalkResult{3, 9, true, 0}));
  EXPECT_EQ(Prior(b, 3, 0, 9), (TWalkResult{3, 9, true, 0}));
  EXPECT_EQ(Next(b, 0, std::numeric_limits<uint32_t>::max(), 0), (TWalkResult{40, 40, false, 40}));

  TRecordsBitmap empty;  // nothing allocated at all
  for (uint32_t start : {0u, 1u, 2u}) {
    EXPECT_EQ(Next(empty, start, 1, 0), (TWalkResult{start, 0, false, 0}));
    EXPECT_EQ(Prior(empty, start, 1, 0), (TWalkResult{start, 0, false, 0}));
  }
}

TEST(RecordsBitmap, WordBoundaries) {
  for (uint32_t size : {31u, 32u, 33u, 63u, 64u, 65u, 95u, 96u, 97u, 127u, 128u, 129u}) {
    SCOPED_TRACE("size " + std::to_string(size));
    TRecordsBitmap b;
    b.SetSize(size);
    for (uint32_t n : {1u, 31u, 32u, 33u, 63u, 64u, 65u, 96u, 97u, 128u, 129u})
      if (n <= size) b.SetBit(n);
    CheckAllWalks(b, {0, 1, 2, 3, 5, 11, 12});
    b.Not();
    CheckAllWalks(b, {1, 2, 31, 32, 33, 64, 65, 200});
    b.SetAll();
    CheckAllWalks(b, {1, 31, 32, 33, 63, 64, 65, 129, 130});
  }
}

TEST(RecordsBitmap, WalksAcrossRunsOfFullAndEmptyWords) {
  TRecordsBitmap b;
  const uint32_t size = 64 * 40 + 17;
  b.SetSize(size);
  SetRange(b, 10 * 32 + 1, 30 * 32);  // words 10..29 full: records 321..960
  b.SetBit(1601);                     // alone in word 50
  SetRange(b, 1700, 1800);            // partial words around full ones
  b.SetBit(size);
  EXPECT_EQ(b.Count(), 640u + 1 + 101 + 1);

  EXPECT_EQ(Next(b, 0, 1, 0), (TWalkResult{321, 1, true, 1}));
  EXPECT_EQ(Next(b, 0, 640, 0), (TWalkResult{960, 640, true, 640}));
  EXPECT_EQ(Next(b, 0, 641, 0), (TWalkResult{1601, 641, true, 641}));
  EXPECT_EQ(Next(b, 330, 64, 0), (TWalkResult{394, 64, true, 64}));
  EXPECT_EQ(Next(b, 960, 1, 0), (TWalkResult{1601, 1, true, 1}));
  EXPECT_EQ(Next(b, 0, 10000, 0), (TWalkResult{size, 743, false, 743}));
  EXPECT_EQ(Prior(b, size + 1, 2, 743), (TWalkResult{1800, 741, true, 2}));
  EXPECT_EQ(Prior(b, 1601, 1, 100), (TWalkResult{960, 99, true, 1}));
  EXPECT_EQ(Prior(b, 1601, 640, 640), (TWalkResult{321, 0, true, 640}));
  EXPECT_EQ(Prior(b, 1601, 641, 640), (TWalkResult{321, 0, false, 640}));
  EXPECT_EQ(b.CountBefore(321), 0u);
  EXPECT_EQ(b.CountBefore(961), 640u);
  EXPECT_EQ(b.CountBefore(size), 742u);
  EXPECT_EQ(b.CountBefore(size + 1), 743u);

  CheckAllWalks(b, {1, 2, 32, 63, 64, 65, 639, 640, 641, 700, 743, 744});
}

TEST(RecordsBitmap, OutOfRangeBitsAreSafe) {
  TRecordsBitmap b;
  b.SetSize(40);
  // Our own invariant: callers size the bitmap first. Debug builds assert.
  EXPECT_DEBUG_DEATH(b.SetBit(41), "record outside the bitmap");
  EXPECT_DEBUG_DEATH(b.SetBit(0), "record outside the bitmap");
  EXPECT_DEBUG_DEATH(b.ClearBit(4000000000u), "record outside the bitmap");
  EXPECT_DEBUG_DEATH((void)b.GetBit(41), "record outside the bitmap");
  TRecordsBitmap empty;
  EXPECT_DEBUG_DEATH((void)empty.GetBit(1), "record outside the bitmap");
  EXPECT_DEBUG_DEATH(empty.SetBit(1), "record outside the bitmap");
#ifdef NDEBUG
  // A release build answers false and changes nothing.
  EXPECT_FALSE(b.GetBit(41));
  EXPECT_FALSE(b.GetBit(0));
  EXPECT_EQ(b.Words()[1], 0u);
  EXPECT_EQ(b.Count(), 0u);
  EXPECT_FALSE(empty.GetBit(1));
#endif
}

// ---- Randomized model test ------------------------------------------------------------------

// The physical state of a bitmap, bit by bit over its whole allocation, following the rules
// of SetSize, ClearAll, SetAll, Assign, And, Or and Not; members are bits 0..size - 1.
struct TBitmapModel {
  std::vector<bool> Bits;  // AllocatedBytes * 8 bits
  uint32_t Size = 0;

  uint32_t WordCount() const { return (Size + 31) / 32; }

  void SetSize(uint32_t n) {
    if (n == Size) return;
    const uint32_t words = (n + 31) / 32;
    const size_t bytes = (size_t{words} * 4 + 255) / 256 * 256;
    if (bytes == 0) {
      Bits.clear();
    } else if (bytes * 8 > Bits.size()) {
      Bits.resize(bytes * 8, false);
    }
    Size = n;
  }
  void Set(uint32_t n, bool value) { Bits[n - 1] = value; }
  void Fill(bool value) { std::fill(Bits.begin(), Bits.end(), value); }
  void Not() {
    for (size_t i = 0; i < size_t{WordCount()} * 32; ++i) Bits[i] = !Bits[i];
  }
  void And(const TBitmapModel& o) {
    const size_t common = size_t{std::min(WordCount(), o.WordCount())} * 32;
    for (size_t i = 0; i < size_t{WordCount()} * 32; ++i) Bits[i] = i < common && Bits[i] && o.Bits[i];
  }
  void Or(const TBitmapModel& o) {
    const size_t common = size_t{std::min(WordCount(), o.WordCount())} * 32;
    for (size_t i = 0; i < common; ++i) Bits[i] = Bits[i] || o.Bits[i];
  }
  std::vector<uint32_t> Members() const {
    std::vector<uint32_t> members;
    for (uint32_t i = 0; i < Size; ++i)
      if (Bits[i]) members.push_back(i + 1);
    return members;
  }
};

uint64_t TestSeed() {
  const char* text = std::getenv("VELDOR_TEST_SEED");
  if (text != nullptr && *text != '\0') return std::strtoull(text, nullptr, 10);
  return std::random_device{}();
}

class TModelRun {
 public:
  explicit TModelRun(uint64_t seed) : Random(seed) {}

  // A number in 0..n - 1; n must be positive.
  uint32_t Below(uint32_t n) {
    EXPECT_GT(n, 0u) << "test bug: Below(0)";
    return n == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, n - 1)(Random);
  }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

  // A size that is not a multiple of 32 (most of the time), small or up to a few
  // allocation steps, so that runs, word boundaries and reallocation all happen.
  uint32_t RandomSize() {
    uint32_t n;
    switch (Below(4)) {
      case 0: n = 1 + Below(100); break;
      case 1: n = 1 + Below(2100); break;
      case 2: n = 1 + Below(6000); break;
      default: n = 1 + Below(20000); break;
    }
    if (n % 32 == 0 && !OneIn(8)) n += 1 + Below(31);
    return n;
  }

  void Resize(TRecordsBitmap& b, TBitmapModel& m, uint32_t n) {
    b.SetSize(n);
    m.SetSize(n);
  }

  // One random change to `b`; `other` is the second operand of And, Or and Assign.
  void Mutate(TRecordsBitmap& b, TBitmapModel& m, TRecordsBitmap& other, TBitmapModel& om) {
    const uint32_t choice = Below(100);
    if (b.Size() == 0 && choice < 60) {
      Resize(b, m, RandomSize());
      return;
    }
    if (choice < 30) {  // single records
      for (uint32_t i = 0, n = 1 + Below(20); i < n; ++i) {
        const uint32_t r = 1 + Below(b.Size());
        const bool value = !OneIn(3);
        if (value) b.SetBit(r); else b.ClearBit(r);
        m.Set(r, value);
      }
    } else if (choice < 50) {  // a run, often spanning whole words
      const uint32_t from = 1 + Below(b.Size());
      const uint32_t to = std::min(b.Size(), from + Below(OneIn(2) ? 40 : 600));
      const bool value = OneIn(2);
      for (uint32_t r = from; r <= to; ++r) {
        if (value) b.SetBit(r); else b.ClearBit(r);
        m.Set(r, value);
      }
    } else if (choice < 62) {  // resize: shrink, grow within or past the allocation, free
      const uint32_t kind = Below(10);
      uint32_t n;
      if (kind == 0) n = 0;
      else if (kind < 4 && b.Size() != 0) n = 1 + Below(b.Size());
      else if (kind < 7 && b.AllocatedSize() != 0) n = b.AllocatedSize() * 8 - Below(200);
      else n = RandomSize();
      Resize(b, m, n);
    } else if (choice < 72) {  // And / Or with a second bitmap, usually of the same size
      if (!OneIn(4)) Resize(other, om, b.Size());
      if (OneIn(2)) {
        b.And(other);
        m.And(om);
      } else {
        b.Or(other);
        m.Or(om);
      }
    } else if (choice < 80) {
      b.Not();
      m.Not();
    } else if (choice < 84) {
      b.SetAll();
      m.Fill(true);
    } else if (choice < 87) {
      b.ClearAll();
      m.Fill(false);
    } else if (choice < 90) {
      b.Assign(other);
      m = om;
    } else {  // change the second operand
      if (OneIn(3)) Resize(other, om, RandomSize());
      if (other.Size() != 0) {
        for (uint32_t i = 0, n = 1 + Below(200); i < n; ++i) {
          const uint32_t r = 1 + Below(other.Size());
          other.SetBit(r);
          om.Set(r, true);
        }
        if (OneIn(3)) {
          other.Not();
          om.Not();
        }
      }
    }
  }

  void Compare(const TRecordsBitmap& b, const TBitmapModel& m) {
    ASSERT_EQ(b.Size(), m.Size);
    ASSERT_EQ(b.WordCount(), m.WordCount());
    ASSERT_EQ(b.RoundedSize(), m.WordCount() * 32);
    ASSERT_EQ(size_t{b.AllocatedSize()} * 8, m.Bits.size());
    for (size_t w = 0; w < m.Bits.size() / 32; ++w) {
      uint32_t word = 0;
      for (uint32_t i = 0; i < 32; ++i)
        if (m.Bits[w * 32 + i]) word |= uint32_t{1} << i;
      ASSERT_EQ(b.Words()[w], word) << "word " << w;
    }
    const std::vector<uint32_t> members = m.Members();
    ASSERT_EQ(b.Count(), members.size());
    const uint32_t size = b.Size();
    auto randomPosition = [&]() -> uint32_t {
      switch (Below(8)) {
        case 0: return 0;
        case 1: return size + 1;
        case 2: return size + Below(3);
        case 3: return members.empty() ? 1 : members[Below(static_cast<uint32_t>(members.size()))];
        default: return Below(size + 2);
      }
    };
    for (int i = 0; i < 25; ++i) {
      const uint32_t n = randomPosition();
      ASSERT_EQ(b.CountBefore(n), ExpectCountBefore(members, n)) << "count before " << n;
    }
    auto randomK = [&]() -> uint32_t {
      switch (Below(6)) {
        case 0: return 1;
        case 1: return Below(3);
        case 2: return 1 + Below(70);
        case 3: return static_cast<uint32_t>(members.size()) + Below(3);
        default: return 1 + Below(static_cast<uint32_t>(members.size()) + 2);
      }
    };
    for (int i = 0; i < 40; ++i) {
      const uint32_t p = randomPosition();
      const uint32_t k = randomK();
      const int32_t counter = static_cast<int32_t>(Below(1000)) - 500;
      ASSERT_EQ(Next(b, p, k, counter), ExpectNext(members, p, k, counter))
          << "next from " << p << " k " << k << " size " << size;
      ASSERT_EQ(Prior(b, p, k, counter), ExpectPrior(members, p, k, counter))
          << "prior from " << p << " k " << k << " size " << size;
    }
    for (int i = 0; i < 10 && size != 0; ++i) {
      const uint32_t r = 1 + Below(size);
      ASSERT_EQ(b.GetBit(r), m.Bits[r - 1]) << "record " << r;
    }
  }

  std::mt19937_64 Random;
};

TEST(RecordsBitmap, RandomizedAgainstModel) {
  const uint64_t seed = TestSeed();
  std::cout << "RandomizedAgainstModel seed " << seed << " (set VELDOR_TEST_SEED to repeat)" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  TModelRun run(seed);
  TRecordsBitmap a, other;
  TBitmapModel ma, mother;
  for (int batch = 0; batch < 1500; ++batch) {
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (int i = 0, n = 1 + static_cast<int>(run.Below(12)); i < n; ++i) {
      run.Mutate(a, ma, other, mother);
    }
    run.Compare(a, ma);
    if (HasFatalFailure()) return;
    run.Compare(other, mother);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace veldor
