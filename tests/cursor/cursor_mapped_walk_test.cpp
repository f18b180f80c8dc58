// Walks in index order over records placed in another order: the batches they copy through
// the data file's mapping, and every way such a batch can be wrong. Reads through reads
// (mapping off, in-memory tables, a mapping the system refuses) must give the same rows;
// this process's unwritten records must win over the file; another process's appends,
// empties and refills must be seen, never a stale or missing byte.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "lib/file_mapping.h"
#include "tests/cursor/cursor_fixture.h"
#include "tests/support/child_process.h"

namespace veldor::test {
namespace {

// Mapping switched on or off for a scope.
class TMappingSetting {
 public:
  explicit TMappingSetting(bool allowed) : Old_(FileMappingAllowed()) { SetFileMappingAllowed(allowed); }
  ~TMappingSetting() { SetFileMappingAllowed(Old_); }

 private:
  bool Old_;
};

constexpr int kRows = 700;

std::string NameOf(int32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "n%05d", (id * 7919) % 100000);
  return text;
}

class MappedWalkTest : public CursorTest {
 protected:
  // Ids 1..count appended in a shuffled order, so that no index follows the file.
  static void Fill(TDataCursor& c, int count, int first = 1, int amountBase = 0) {
    std::vector<int32_t> ids(static_cast<size_t>(count));
    std::iota(ids.begin(), ids.end(), first);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(uint32_t(count + first)));
    for (int32_t id : ids) Add(c, id, NameOf(id), amountBase + id);
  }

  // (Id, Amount) of every row, walking the cursor's index forward or backward.
  static std::vector<std::pair<int32_t, int32_t>> Rows(TDataCursor& c, bool backward = false) {
    std::vector<std::pair<int32_t, int32_t>> out;
    std::vector<uint8_t> image(c.RecordSize());
    if (backward) {
      c.SetToEnd();
      while (c.GetPriorRecord(image.data()) == 0) out.emplace_back(IntOf(c, image.data(), "Id"), IntOf(c, image.data(), "Amount"));
    } else {
      c.SetToBegin();
      while (c.GetNextRecord(image.data()) == 0) out.emplace_back(IntOf(c, image.data(), "Id"), IntOf(c, image.data(), "Amount"));
    }
    return out;
  }

  // What a walk of Ids 1..count with Amount = base + Id must give, by Id or by Name.
  static std::vector<std::pair<int32_t, int32_t>> Expected(int count, bool byName, int base = 0) {
    std::vector<int32_t> ids(static_cast<size_t>(count));
    std::iota(ids.begin(), ids.end(), 1);
    if (byName)
      std::sort(ids.begin(), ids.end(), [](int32_t a, int32_t b) {
        return NameOf(a) != NameOf(b) ? NameOf(a) < NameOf(b) : a < b;
      });
    std::vector<std::pair<int32_t, int32_t>> out;
    for (int32_t id : ids) out.emplace_back(id, base + id);
    return out;
  }

  // Every walk a reader makes: both directions in two indexes, and a grid's pages.
  void ExpectWalks(TDataCursor& c, int count, int base = 0) {
    for (bool byName : {false, true}) {
      SCOPED_TRACE(byName ? "by name" : "by id");
      if (byName)
        c.SetIndexName("ByName");
      else
        c.SetIndexNumber(0);
      const auto expected = Expected(count, byName, base);
      EXPECT_EQ(Rows(c), expected);
      auto backward = Rows(c, true);
      std::reverse(backward.begin(), backward.end());
      EXPECT_EQ(backward, expected);
      std::vector<uint8_t> image(c.RecordSize());
      const int64_t page = std::min(40, count);
      for (int64_t first : {int64_t(1), std::min(int64_t(count / 3) + 1, count - page + 1), count - page + 1}) {
        SCOPED_TRACE("page at " + std::to_string(first));
        c.SetToRecNo(first);
        for (int64_t i = 0; i < page; ++i) {
          ASSERT_EQ(i == 0 ? c.GetCurrentRecord(image.data()) : c.GetNextRecord(image.data()), 0);
          EXPECT_EQ(IntOf(c, image.data(), "Id"), expected[size_t(first - 1 + i)].first);
        }
      }
    }
    c.SetIndexNumber(0);
  }
};

TEST_F(MappedWalkTest, EveryWayOfReadingGivesTheSameRows) {
  struct TCase {
    const char* Name;
    bool InMemory;
    bool Mapping;
  };
  for (const TCase& k : {TCase{"disk, mapped", false, true}, TCase{"disk, read", false, false},
                         TCase{"in memory", true, true}}) {
    SCOPED_TRACE(k.Name);
    TMappingSetting mapping(k.Mapping);
    TDataDirectory* db = k.InMemory ? session_->OpenDataDirectory("Memory", "") : db_;
    TDataCursor c(db);
    c.SetTableName(std::string("walk_") + (k.InMemory ? "m" : k.Mapping ? "a" : "b"));
    c.SetInMemory(k.InMemory);
    c.SetExclusive(true);
    c.CreateTable(People(), true, false);
    c.SetExclusive(false);
    c.Open();
    Fill(c, kRows);
    ExpectWalks(c, kRows);
    // Reopened: nothing comes from what the writes left in the caches.
    c.Close();
    c.Open();
    ExpectWalks(c, kRows);
    c.Close();
  }
}

TEST_F(MappedWalkTest, UnwrittenRecordsWinOverTheFileAndARollbackIsSeen) {
  MakeTable("t", People());
  TDataCursor& c = OpenCursor("t");
  Fill(c, kRows);
  TDataCursor& reader = OpenCursor("t");
  EXPECT_EQ(Rows(reader), Expected(kRows, false));

  // A walk half-way through when a sibling changes rows ahead of it and appends more.
  std::vector<uint8_t> image(reader.RecordSize());
  reader.SetToBegin();
  for (int i = 0; i < kRows / 2; ++i) ASSERT_EQ(reader.GetNextRecord(image.data()), 0);
  ASSERT_EQ(db_->StartTransaction(), 0);
  std::vector<uint8_t> probe = Blank(c);
  for (int32_t id = kRows / 2 + 10; id <= kRows; id += 7) {
    PutInt(c, probe, "Id", id);
    ASSERT_TRUE(c.Find(false, probe.data(), image.data(), 0, false, 1));
    ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
    int32_t amount = -id;
    c.PutField(c.FieldNumber("Amount"), image.data(), &amount);
    c.ModifyRecord(image.data());
  }
  for (int32_t id = kRows + 1; id <= kRows + 50; ++id) Add(c, id, NameOf(id), id);
  std::map<int32_t, int32_t> seen;
  while (reader.GetNextRecord(image.data()) == 0) seen[IntOf(reader, image.data(), "Id")] = IntOf(reader, image.data(), "Amount");
  for (int32_t id = kRows / 2 + 1; id <= kRows + 50; ++id) {
    const bool changed = id <= kRows && (id - (kRows / 2 + 10)) >= 0 && (id - (kRows / 2 + 10)) % 7 == 0;
    ASSERT_EQ(seen[id], changed ? -id : id) << "id " << id;
  }
  EXPECT_EQ(Rows(reader, true).size(), size_t(kRows + 50));

  // Thrown away again: the reader walks the file as it was.
  db_->RollbackTransaction();
  ExpectWalks(reader, kRows);
}

TEST_F(MappedWalkTest, AnotherProcessGrowingEmptyingAndRefillingTheFileIsSeen) {
  // Every operation compares the counters, so that a walk notices the other process even
  // when all it reads is cached.
  session_->SetStrictChangeDetection(true);
  MakeTable("t", People());
  TDataCursor& writer = OpenCursor("t");
  Fill(writer, kRows);
  writer.Close();
  TDataCursor& reader = OpenCursor("t");
  ExpectWalks(reader, kRows);

  TChildProcess child([&](TChannel& channel) -> int {
    TDataSession session(0);
    TDataCursor c(session.OpenDataDirectory("", dir_));
    c.SetTableName("t");
    c.Open();
    if (channel.Receive() != 1) return 2;
    Fill(c, 300, kRows + 1);  // the file grows
    channel.Send(1);
    if (channel.Receive() != 2) return 3;
    // Every row deleted, and fewer, other rows put into the freed slots.
    std::vector<uint8_t> image(c.RecordSize());
    for (c.SetToBegin(); c.GetNextRecord(image.data()) == 0; c.SetToBegin()) c.DeleteRecord(image.data());
    Fill(c, 40, 1, 1000);
    channel.Send(2);
    if (channel.Receive() != 3) return 4;
    // Emptied (which takes the table alone) and refilled.
    c.Close();
    c.SetExclusive(true);
    c.Open();
    c.EmptyTable();
    Fill(c, 20, 1, 2000);
    channel.Send(3);
    return 0;
  });

  // Half a walk, then the file grows under it: the rest of the walk reaches the new rows.
  std::vector<uint8_t> image(reader.RecordSize());
  reader.SetToBegin();
  for (int i = 0; i < kRows / 2; ++i) ASSERT_EQ(reader.GetNextRecord(image.data()), 0);
  child.Send(1);
  ASSERT_EQ(child.Receive(), 1);
  int32_t last = 0, rows = kRows / 2;
  while (reader.GetNextRecord(image.data()) == 0) {
    last = IntOf(reader, image.data(), "Id");
    ++rows;
  }
  EXPECT_EQ(last, kRows + 300);
  EXPECT_EQ(rows, kRows + 300);
  ExpectWalks(reader, kRows + 300);

  child.Send(2);
  ASSERT_EQ(child.Receive(), 2);
  ExpectWalks(reader, 40, 1000);
  EXPECT_EQ(reader.GetRecordCount(), 40);

  reader.Close();
  child.Send(3);
  ASSERT_EQ(child.Receive(), 3);
  EXPECT_EQ(child.Join(), 0);
  reader.Open();
  ExpectWalks(reader, 20, 2000);
}

// A walk standing on a record whose window was filled under one range or filter, when the
// range or the filter changes and the cursor stays where it was: the next steps follow the
// new set, not the window.
TEST_F(MappedWalkTest, StepsAfterARangeOrFilterChangeFollowTheNewSet) {
  MakeTable("t", People());
  TDataCursor& c = OpenCursor("t");
  Fill(c, kRows);
  std::vector<uint8_t> image(c.RecordSize());
  auto walkTo = [&](int32_t id) {
    c.SetToBegin();
    for (int32_t i = 1; i <= id; ++i) ASSERT_EQ(c.GetNextRecord(image.data()), 0);
    ASSERT_EQ(IntOf(c, image.data(), "Id"), id);
  };
  auto rest = [&] {
    std::vector<int32_t> ids;
    while (c.GetNextRecord(image.data()) == 0) ids.push_back(IntOf(c, image.data(), "Id"));
    return ids;
  };

  walkTo(40);
  TFilter* f = c.AddFilter(nullptr, "Amount <> 41 AND Amount <> 43", false, false, true, false);
  c.ActivateFilter(f);
  std::vector<int32_t> ids = rest();
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[0], 42);
  EXPECT_EQ(ids[1], 44);
  EXPECT_EQ(ids.size(), size_t(kRows - 42));
  c.DropFilter(nullptr);

  walkTo(40);
  std::vector<uint8_t> low = Blank(c), high = Blank(c);
  PutInt(c, low, "Id", 30);
  PutInt(c, high, "Id", 45);
  c.SetRange(false, low.data(), 0, high.data(), 0);
  ids = rest();
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.back(), 45);
  EXPECT_TRUE(std::all_of(ids.begin(), ids.end(), [](int32_t id) { return id >= 30 && id <= 45; }));
}

TEST_F(MappedWalkTest, AMappingTheSystemRefusesFallsBackToReads) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's own reservations leave no room for an address-space limit";
#else
  MakeTable("t", People());
  {
    TDataCursor& c = OpenCursor("t");
    Fill(c, kRows);
  }
  EXPECT_EQ(RunInChild([&] {
              // Room for everything but a 4 GiB mapping.
              long pages = 0;
              std::ifstream("/proc/self/statm") >> pages;
              const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(1) << 30);
              rlimit r{limit, limit};
              if (setrlimit(RLIMIT_AS, &r) != 0) return 2;
              TDataSession session(0);
              TDataCursor c(session.OpenDataDirectory("", dir_));
              c.SetTableName("t");
              c.Open();
              for (bool byName : {false, true}) {
                if (byName) c.SetIndexName("ByName");
                if (Rows(c) != Expected(kRows, byName)) return 3;
              }
              return 0;
            }),
            0);
#endif
}

}  // namespace
}  // namespace veldor::test
