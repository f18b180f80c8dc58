// Writes that are refused half-way, on damaged files or on a record changed meanwhile:
// the refusal changes nothing, and nothing stale is left in a slot.

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/errors.h"
#include "engine/table_check.h"
#include "lib/byte_order.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

class RefusalTest : public CursorTest {
 protected:
  // The People table with records 1..n (Id i, Amount i * 10, a memo on every record).
  TDataCursor& Filled(int n, bool primaryKey = true) {
    MakeTable("t", People(primaryKey));
    TDataCursor& c = OpenCursor("t");
    for (int i = 1; i <= n; ++i) Add(c, i, "n" + std::to_string(i), i * 10, "memo " + std::to_string(i));
    return c;
  }

  // Where record `n`'s byte `offset` lies in the data file of a table of `c`'s layout.
  static size_t RecordByte(TDataCursor& c, int32_t n, size_t offset) {
    return 127 + 768 * size_t(c.FieldCount()) + size_t(n - 1) * c.RecordSize() + offset;
  }

  std::string DataFile() const { return dir_ + "t.DAT"; }

  void ExpectSound(TDataCursor& c) {
    std::vector<std::string> problems = CheckTable(*c.Table());
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems.front());
  }

};

// The BLOB step comes after the keys: a value that cannot be stored takes the keys, the
// slot and the counters back with it.
TEST_F(RefusalTest, AppendFailingAtItsBlobsLeavesNoHalfRecord) {
  for (bool primaryKey : {true, false}) {
    SCOPED_TRACE(primaryKey ? "primary key" : "no primary key");
    cursors_.clear();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    TDataCursor& c = Filled(2, primaryKey);
    if (primaryKey) {
      c.SetToRecNo(1);
      c.DeleteRecord(c.RecordBuffer());  // the append below reuses slot 1
    }
    const int32_t before = int32_t(c.GetRecordCount());
    const int32_t lastAutoInc = c.Table()->LastAutoInc();
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Id", 3);
    PutText(c, image, "Name", "n3");
    PutInt(c, image, "Amount", 30);
    const int32_t nowhere = 12345;  // a raw reference to a chain the file does not hold
    c.PutField(c.FieldNumber("Memo"), image.data(), &nowhere);
    EXPECT_EQ(ErrorOf([&] { c.AppendRecord(image.data()); }), VELDOR_MEMOCORRUPT);

    EXPECT_EQ(c.GetRecordCount(), before);
    EXPECT_EQ(c.Table()->LastAutoInc(), lastAutoInc);
    const std::vector<int32_t> kept =
        primaryKey ? std::vector<int32_t>{2} : std::vector<int32_t>{1, 2};
    EXPECT_EQ(Ids(c), kept);
    c.SetIndexName("ByAmount");
    EXPECT_EQ(Ids(c), kept);
    ExpectSound(c);
    // The keys are free: the same record goes in once its value is one.
    Add(c, 3, "n3", 30, "memo 3");
    EXPECT_EQ(c.GetRecordCount(), before + 1);
    cursors_.clear();
    TDataCursor& again = OpenCursor("t");
    ExpectSound(again);
    std::vector<uint8_t> last(again.RecordSize());
    again.SetToEnd();
    ASSERT_EQ(again.GetPriorRecord(last.data()), 0);
    EXPECT_EQ(IntOf(again, last.data(), "Id"), 3);
    EXPECT_EQ(MemoOf(again, last), "memo 3");
  }
}

// A free slot whose "Sys Deleted" key was damaged fails late, at the status key.
TEST_F(RefusalTest, AppendFailingAtTheStatusKeyLeavesNoHalfRecord) {
  {
    TDataCursor& c = Filled(3);
    c.SetToRecNo(2);
    c.DeleteRecord(c.RecordBuffer());
  }
  const size_t rowIdAt = RecordByte(*cursors_.back(), 2, kRowIdOffset);
  cursors_.clear();
  std::vector<uint8_t> bytes = ReadWholeFile(DataFile());
  StoreI32(&bytes[rowIdAt], 777);  // no "Sys Deleted" key (1, 777) exists
  WriteWholeFile(DataFile(), bytes);

  TDataCursor& c = OpenCursor("t");
  EXPECT_EQ(ErrorOf([&] { Add(c, 9, "n9", 90); }), VELDOR_INDEXCORRUPT);
  EXPECT_EQ(c.GetRecordCount(), 2);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 3}));
  cursors_.clear();
  TDataCursor& again = OpenCursor("t");
  EXPECT_EQ(Ids(again), (std::vector<int32_t>{1, 3}));
  again.SetIndexName("ByName");
  EXPECT_EQ(Ids(again), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(ReadWholeFile(DataFile()), bytes);
}

// A free chain whose head names a live record: the append is refused before it writes.
TEST_F(RefusalTest, FreeChainHeadOnALiveRecordIsRefusedBeforeAnyChange) {
  {
    TDataCursor& c = Filled(3);
    c.SetToRecNo(3);
    c.DeleteRecord(c.RecordBuffer());
  }
  cursors_.clear();
  std::vector<uint8_t> bytes = ReadWholeFile(DataFile());
  StoreI32(&bytes[9], 1);  // the header's first deleted record: live record 1
  WriteWholeFile(DataFile(), bytes);

  TDataCursor& c = OpenCursor("t");
  EXPECT_EQ(ErrorOf([&] { Add(c, 9, "n9", 90); }), VELDOR_FILECORRUPT);
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 1);
  EXPECT_EQ(TextOf(c, image.data(), "Name"), "n1");
  EXPECT_EQ(MemoOf(c, image), "memo 1");
  EXPECT_EQ(c.GetRecordCount(), 2);
  cursors_.clear();
  EXPECT_EQ(ReadWholeFile(DataFile()), bytes);
}

// A negative BLOB reference on disk names no buffer, even while the cursor has one open.
TEST_F(RefusalTest, NegativeStoredBlobReferenceIsDamage) {
  size_t slotAt = 0;
  {
    TDataCursor& c = Filled(2);
    slotAt = RecordByte(c, 2, c.Field(c.FieldNumber("Memo")).Offset() + 1);
  }
  cursors_.clear();
  std::vector<uint8_t> bytes = ReadWholeFile(DataFile());
  StoreI32(&bytes[slotAt], -1);
  WriteWholeFile(DataFile(), bytes);

  TDataCursor& c = OpenCursor("t");
  const uint16_t memo = c.FieldNumber("Memo");
  std::vector<uint8_t> first(c.RecordSize()), second(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(first.data()), 0);
  ASSERT_EQ(c.OpenBlob(memo, first.data(), kBlobOwnerCaller, false, kBlobRead), 0);  // handle -1
  ASSERT_EQ(c.GetNextRecord(second.data()), 0);
  EXPECT_EQ(c.OpenBlob(memo, second.data(), kBlobOwnerCaller, false, kBlobRead), VELDOR_MEMOCORRUPT);
  char out[16] = {};
  uint32_t got = 0;
  EXPECT_EQ(c.GetBlob(memo, second.data(), false, 0, 6, out, got), VELDOR_MEMOCORRUPT);
  EXPECT_EQ(got, 0u);
  // The first record's own buffer still answers for it.
  EXPECT_EQ(c.GetBlob(memo, first.data(), false, 0, 6, out, got), 0);
  EXPECT_EQ(std::string(out, got), "memo 1");
}

// An edit posted without a lock is compared with the record as the cursor read it, as a
// delete is: a change made in between by another cursor is not overwritten.
TEST_F(RefusalTest, StaleModifyIsRefused) {
  TDataCursor& reader = Filled(2);
  TDataCursor& other = OpenCursor("t");
  std::vector<uint8_t> mine(reader.RecordSize());
  reader.SetToBegin();
  ASSERT_EQ(reader.GetNextRecord(mine.data()), 0);

  std::vector<uint8_t> theirs(other.RecordSize());
  other.SetToBegin();
  ASSERT_EQ(other.GetNextRecord(theirs.data()), 0);
  PutText(other, theirs, "Name", "changed");
  other.ModifyRecord(theirs.data());

  PutInt(reader, mine, "Amount", 11);
  EXPECT_EQ(ErrorOf([&] { reader.ModifyRecord(mine.data()); }), VELDOR_KEYORRECDELETED);
  std::vector<uint8_t> now(reader.RecordSize());
  reader.SetToBegin();
  ASSERT_EQ(reader.GetNextRecord(now.data()), 0);
  EXPECT_EQ(TextOf(reader, now.data(), "Name"), "changed");
  EXPECT_EQ(IntOf(reader, now.data(), "Amount"), 10);
  // The record was left unlocked, and an edit of the current record goes through.
  PutInt(reader, now, "Amount", 11);
  reader.ModifyRecord(now.data());
  EXPECT_EQ(IntOf(reader, reader.RecordBuffer(), "Amount"), 11);
  EXPECT_EQ(TextOf(reader, reader.RecordBuffer(), "Name"), "changed");
}

// A refusal re-reads the record the other cursor changed, but the caller still holds its old
// image: whatever the caller tries with that image next is refused too, and so is an edit
// after a count that noticed the change without showing the record. Each case is a list of
// steps taken with the stale image; every one must fail and leave the other's change.
TEST_F(RefusalTest, RefusalDoesNotMakeAStaleImageCurrent) {
  enum TStep { kModify, kDelete, kLockedRead, kCount };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
  };
  const std::vector<TCase> cases = {
      {"delete, then modify", {kDelete, kModify}},
      {"modify, then delete", {kModify, kDelete}},
      {"modify twice", {kModify, kModify}},
      {"locked read, then modify", {kLockedRead, kModify}},
      {"count, then modify", {kCount, kModify}},
      {"count, delete, modify", {kCount, kDelete, kModify}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    cursors_.clear();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    TDataCursor& reader = Filled(3);
    TDataCursor& other = OpenCursor("t");
    std::vector<uint8_t> stale(reader.RecordSize());
    reader.SetToBegin();
    ASSERT_EQ(reader.GetNextRecord(stale.data()), 0);

    std::vector<uint8_t> theirs(other.RecordSize());
    other.SetToBegin();
    ASSERT_EQ(other.GetNextRecord(theirs.data()), 0);
    PutText(other, theirs, "Name", "changed");
    other.ModifyRecord(theirs.data());

    std::vector<uint8_t> edit = stale;
    PutInt(reader, edit, "Amount", 11);
    for (TStep step : c.Steps) {
      switch (step) {
        case kModify:
          EXPECT_EQ(ErrorOf([&] { reader.ModifyRecord(edit.data()); }), VELDOR_KEYORRECDELETED);
          break;
        case kDelete:
          EXPECT_EQ(ErrorOf([&] { reader.DeleteRecord(stale.data()); }), VELDOR_KEYORRECDELETED);
          break;
        case kLockedRead: {
          std::vector<uint8_t> copy = stale;
          EXPECT_EQ(ErrorOf([&] { reader.GetCurrentRecord(copy.data(), true); }), VELDOR_KEYORRECDELETED);
          break;
        }
        case kCount:
          EXPECT_EQ(reader.GetRecordCount(), 3);
          break;
      }
    }
    std::vector<uint8_t> now(other.RecordSize());
    other.SetToBegin();
    ASSERT_EQ(other.GetNextRecord(now.data()), 0);
    EXPECT_EQ(TextOf(other, now.data(), "Name"), "changed");
    EXPECT_EQ(IntOf(other, now.data(), "Amount"), 10);
    EXPECT_EQ(other.GetRecordCount(), 3);

    // Shown the record as it is, the reader edits it; nothing was left locked.
    ASSERT_EQ(reader.GetCurrentRecord(now.data()), 0);
    PutInt(reader, now, "Amount", 11);
    reader.ModifyRecord(now.data());
    EXPECT_EQ(IntOf(reader, reader.RecordBuffer(), "Amount"), 11);
    EXPECT_EQ(TextOf(reader, reader.RecordBuffer(), "Name"), "changed");
    ExpectSound(reader);
  }
}

// A deleted slot keeps no reference to the BLOB chain that was freed.
TEST_F(RefusalTest, DeletedRecordKeepsNoBlobReference) {
  size_t slotAt = 0, flagAt = 0;
  {
    TDataCursor& c = Filled(3);
    const TFieldDescriptor& memo = c.Field(c.FieldNumber("Memo"));
    slotAt = RecordByte(c, 2, memo.Offset() + 1);
    flagAt = RecordByte(c, 2, memo.Offset());
    c.SetToRecNo(2);
    c.DeleteRecord(c.RecordBuffer());
    ExpectSound(c);
  }
  cursors_.clear();
  std::vector<uint8_t> bytes = ReadWholeFile(DataFile());
  EXPECT_EQ(LoadI32(&bytes[slotAt]), 0);
  EXPECT_EQ(LoadI32(&bytes[slotAt + 4]), 0);
  EXPECT_EQ(bytes[flagAt], 0);
}

// A leaf that links to itself (under a header that claims every page there can be) ends a
// walk in index order and a filter's key marking with an index error, not with a silently
// short answer or a walk in a circle.
TEST_F(RefusalTest, LeafChainRunningInACircleIsDamage) {
  MakeTable("t", People());
  {
    TDataCursor& c = OpenCursor("t", true);
    for (int i = 1; i <= 3000; ++i) Add(c, i, "n" + std::to_string(i), i);
  }
  cursors_.clear();
  const std::string index = dir_ + "t.IDX";
  std::vector<uint8_t> bytes = ReadWholeFile(index);
  int leaves = 0;
  for (size_t page = 4096; page + 4096 <= bytes.size(); page += 4096) {
    if (bytes[page] != 2) continue;  // leaves that are not the root
    StoreI32(&bytes[page + 7], int32_t(page / 4096));
    ++leaves;
  }
  ASSERT_GT(leaves, 4);
  StoreI32(&bytes[9], 0x7fffffff);  // the header's next page number
  WriteWholeFile(index, bytes);

  TDataCursor& c = OpenCursor("t");
  c.SetIndexName("ByAmount");
  EXPECT_EQ(ErrorOf([&] { Ids(c); }), VELDOR_INDEXCORRUPT);
  TFilter* f = c.AddFilter(nullptr, "Amount < 1000", false, false, true, false);
  // The activation counts from two descents; its bitmap, walked along the chain, is built
  // when the cursor is first used.
  EXPECT_EQ(ErrorOf([&] {
              c.ActivateFilter(f);
              c.Eof();
            }),
            VELDOR_INDEXCORRUPT);
}

}  // namespace
}  // namespace veldor::test
