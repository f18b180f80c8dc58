#include <cstring>

#include "tests/tables/table_fixture.h"

namespace veldor::test {
namespace {

class DataFileTest : public TableTest {
 protected:
  TDataTable& Filled(const std::string& name, int n, bool userPrimaryKey = false) {
    TDataTable& t = Create(name, SimpleDefinition(userPrimaryKey));
    for (int i = 1; i <= n; ++i) EXPECT_EQ(Append(t, i, "x"), i);
    t.Flush();
    return t;
  }

  void DeleteRecordNumber(TDataTable& t, int32_t n) {
    TRecordPin r(t.DataFile().GetRecord(n));
    t.DataFile().DeleteRecord(r.Get());
  }
};

TEST_F(DataFileTest, FreeSlotsAreReusedOnlyWithAUserPrimaryKey) {
  for (bool primary : {true, false}) {
    SCOPED_TRACE(primary);
    TDataTable& t = Filled(primary ? "keyed" : "plain", 10, primary);
    DeleteRecordNumber(t, 3);
    DeleteRecordNumber(t, 7);
    EXPECT_EQ(t.DataFile().Header().FirstDeleted(), 7);
    int32_t first = Append(t, 100, "new");
    int32_t second = Append(t, 101, "new");
    if (primary) {
      EXPECT_EQ(first, 7);   // last deleted first
      EXPECT_EQ(second, 3);
      EXPECT_EQ(t.DataFile().Header().FirstDeleted(), 0);
      EXPECT_EQ(t.RecordCount(), 10);
    } else {
      EXPECT_EQ(first, 11);
      EXPECT_EQ(second, 12);
      EXPECT_EQ(t.RecordCount(), 12);
    }
    // The chain survives a reopen.
    t.Close();
    TDataTable& again = OpenTable(primary ? "keyed" : "plain");
    again.VerifyHeaders();
    EXPECT_EQ(IdOf(again, primary ? 7 : 11), 100);
    again.Close();
  }
}

TEST_F(DataFileTest, ReadAheadReadsARunInOneRead) {
  Filled("ahead", 10).Close();
  TDataTable& t = OpenTable("ahead");
  TDataFile& f = t.DataFile();
  f.ResetStatistics();
  EXPECT_EQ(IdOf(t, 5), 5);
  EXPECT_EQ(f.Statistics().BlockReads, 1u);
  EXPECT_EQ(f.Statistics().RecordsRead, 6u);  // slots 5 to 10
  for (int n = 6; n <= 10; ++n) EXPECT_EQ(IdOf(t, n), n);
  EXPECT_EQ(f.Statistics().BlockReads, 1u);
  EXPECT_EQ(f.Statistics().CacheHits, 5u);

  // Backward with a count chosen by the cursor.
  struct Backward : TReadHooks {
    bool BeforeDiskRead() override { ++reads; return true; }
    int ReadAheadCount(int32_t, bool forward, int limit) override {
      EXPECT_FALSE(forward);
      EXPECT_EQ(limit, 4);  // at most the record number
      return 3;
    }
    int reads = 0;
  } hooks;
  TRecordPin r(f.GetRecord(4, false, &hooks));
  EXPECT_EQ(hooks.reads, 1);
  EXPECT_EQ(f.Statistics().BlockReads, 2u);
  EXPECT_EQ(f.Statistics().RecordsRead, 9u);  // slots 2 to 4
  r.Reset();
  EXPECT_EQ(IdOf(t, 2), 2);
  EXPECT_EQ(f.Statistics().BlockReads, 2u);
  EXPECT_EQ(IdOf(t, 1), 1);
  EXPECT_EQ(f.Statistics().BlockReads, 3u);
}

TEST_F(DataFileTest, AChangeSeenBeforeADiskReadAbandonsIt) {
  Filled("changed", 3).Close();
  TDataTable& t = OpenTable("changed");
  struct Changed : TReadHooks {
    bool BeforeDiskRead() override { return false; }
    int ReadAheadCount(int32_t, bool, int) override { return 0; }
  } hooks;
  EXPECT_EQ(t.DataFile().GetRecord(2, true, &hooks), nullptr);
  EXPECT_EQ(t.DataFile().Statistics().BlockReads, 0u);
}

TEST_F(DataFileTest, WriteBackGoesInRunsOfAdjacentSlots) {
  TDataTable& t = Filled("runs", 10);
  TDataFile& f = t.DataFile();
  f.ResetStatistics();
  for (int n : {2, 3, 4, 7, 9, 10}) {
    TRecordPin r(f.GetRecord(n));
    int32_t id = n * 10;
    PutFieldValue(r->Data(), f.Fields()[0], &id);
    r->SetModified();
  }
  {
    // A buffer in use is not written.
    TRecordPin held(f.GetRecord(9));
    EXPECT_TRUE(f.WriteBack(false));
    EXPECT_EQ(f.Statistics().BlockWrites, 3u);  // 2-4, 7, 10
    EXPECT_EQ(f.Statistics().RecordsWritten, 5u);
    EXPECT_TRUE(held->Modified());
  }
  EXPECT_TRUE(f.WriteBack(false));
  EXPECT_EQ(f.Statistics().BlockWrites, 4u);
  EXPECT_FALSE(f.WriteBack(false));
  t.Close();
  TDataTable& again = OpenTable("runs");
  for (int n = 1; n <= 10; ++n)
    EXPECT_EQ(IdOf(again, n), (n >= 2 && n <= 4) || n == 7 || n >= 9 ? n * 10 : n) << n;
}

TEST_F(DataFileTest, BuffersInUseOrModifiedAreNeverEvictedOrRefreshed) {
  // 26-byte records: the file holds more than twice what the cache does.
  const int records = int(kRecordCacheBytes / 26) * 2 + 100;
  TDataTable& t = Filled("cache", records);
  TDataFile& f = t.DataFile();
  t.Close();
  TDataTable& again = OpenTable("cache");
  TDataFile& g = again.DataFile();
  EXPECT_EQ(g.CacheCapacity(), kRecordCacheBytes / 26);
  TRecordPin held(g.GetRecord(1));
  int32_t changed = -1;
  PutFieldValue(held->Data(), g.Fields()[0], &changed);  // not marked modified: only held
  TRecordPin dirty(g.GetRecord(2));
  int32_t kept = -2;
  PutFieldValue(dirty->Data(), g.Fields()[0], &kept);
  dirty->SetModified();
  dirty.Reset();
  for (int n = 3; n <= records; ++n) ASSERT_EQ(IdOf(again, n), n);
  // Record 1 is still the held buffer with its change; record 2 was written back under
  // pressure, not dropped; read-ahead over record 1 again does not refresh it.
  EXPECT_LE(g.CachedCount(), g.CacheCapacity());
  TRecordPin r1(g.GetRecord(1));
  EXPECT_EQ(r1.Get(), held.Get());
  EXPECT_EQ(IdOf(again, 1), -1);
  EXPECT_EQ(IdOf(again, 2), -2);
  (void)f;
}

TEST_F(DataFileTest, DroppingTheCacheLeavesHeldBuffersToTheirHolders) {
  TDataTable& t = Filled("drop", 5);
  TDataFile& f = t.DataFile();
  TRecordPin held(f.GetRecord(3));
  int32_t mark = 333;
  PutFieldValue(held->Data(), f.Fields()[0], &mark);
  held->SetModified();
  f.DropCache();
  EXPECT_EQ(f.CachedCount(), 1u);
  EXPECT_FALSE(held->Modified());  // dropped changes are not written later
  for (int n : {1, 2, 4, 5}) EXPECT_EQ(IdOf(t, n), n);  // fresh buffers, not the held one
  EXPECT_EQ(held->RecordNumber(), 3);
  TRecordPin again(f.GetRecord(3));
  EXPECT_EQ(again.Get(), held.Get());  // still held: the holder keeps what it has
  held.Reset();
  again.Reset();
  // Once free, the kept buffer is read again: the dropped change never reached the file.
  EXPECT_EQ(IdOf(t, 3), 3);
}

TEST_F(DataFileTest, CacheGrowsWhenEverythingIsInUse) {
  const int records = int(kRecordCacheBytes / 26) + 70;
  TDataTable& t = Filled("grow", records);
  TDataFile& f = t.DataFile();
  f.TrimCache();
  std::vector<TRecordPin> pins;
  for (int n = 1; n <= records; ++n) pins.emplace_back(f.GetRecord(n));
  EXPECT_GE(f.CacheCapacity(), size_t(records));
  for (int n = 1; n <= records; ++n) EXPECT_EQ(pins[n - 1]->RecordNumber(), n);
  pins.clear();
  f.TrimCache();
  EXPECT_EQ(f.CachedCount(), kRecordCacheBytes / 26);
}

TEST_F(DataFileTest, EmptyTruncatesAndRestartsNumbering) {
  TDataTable& t = Filled("empty", 5);
  t.Empty();
  EXPECT_EQ(t.DataFile().Size(), int64_t(127 + 2 * 768));
  EXPECT_EQ(Append(t, 9, "again"), 1);
  EXPECT_EQ(t.LastAutoInc(), 1);
  t.Close();
  EXPECT_EQ(ReadWholeFile(dir_ + "empty.DAT").size(), 127u + 2 * 768 + 26);
}

TEST_F(DataFileTest, LimitsAndWrongRecordNumbers) {
  TDataTable& t = Filled("limits", 3);
  TDataFile& f = t.DataFile();
  EXPECT_EQ(ErrorOf([&] { f.GetRecord(0); }), VELDOR_FILECORRUPT);
  EXPECT_EQ(ErrorOf([&] { f.GetRecord(5); }), VELDOR_FILECORRUPT);

  // The 200,000,001st slot is refused and the header stays as it was.
  f.MutableHeader().SetNextRecordNumber(200000001);
  TDataHeader before = f.Header();
  EXPECT_EQ(ErrorOf([&] { f.GetRecord(200000001); }), VELDOR_TABLEFULL);
  EXPECT_EQ(f.Header().Bytes, before.Bytes);
  // So is a slot that would end past 4,000,000,000 bytes (26-byte records: slot 153,846,099).
  int32_t last = int32_t((4000000000ull - (127 + 2 * 768)) / 26);
  f.MutableHeader().SetNextRecordNumber(last + 1);
  EXPECT_EQ(ErrorOf([&] { f.GetRecord(last + 1); }), VELDOR_TABLEFULL);
  f.MutableHeader().SetNextRecordNumber(4);
  t.DataFile().DropCache();

  // Row identifiers wrap from 2147483647 to 1.
  t.SetLastAutoInc(2147483646);
  EXPECT_EQ(f.NextRowId(), 2147483647);
  EXPECT_EQ(f.NextRowId(), 1);
}

TEST_F(DataFileTest, ATruncatedFileIsReportedNotCrashed) {
  Filled("short", 10).Close();
  std::vector<uint8_t> bytes = ReadWholeFile(dir_ + "short.DAT");
  bytes.resize(bytes.size() - 26 * 4);  // slots 7 to 10 gone, header still says 10
  WriteWholeFile(dir_ + "short.DAT", bytes);
  TDataTable& t = OpenTable("short");
  EXPECT_EQ(ErrorOf([&] { t.VerifyHeaders(); }), VELDOR_HEADERCORRUPT);
  // A caller that reads anyway gets clean errors where a read meets the missing slots.
  EXPECT_EQ(ErrorOf([&] { t.DataFile().GetRecord(3); }), VELDOR_READERR);
  EXPECT_EQ(ErrorOf([&] { t.DataFile().GetRecord(8, true, nullptr, false); }), VELDOR_READERR);
  EXPECT_EQ(ErrorOf([&] { t.DataFile().GetRecord(6, true, nullptr, true); }), VELDOR_READERR);
  TRecordPin six(t.DataFile().GetRecord(6, true, nullptr, false));
  EXPECT_EQ(six->RecordNumber(), 6);
}

}  // namespace
}  // namespace veldor::test
