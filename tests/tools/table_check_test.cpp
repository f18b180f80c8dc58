// The table checker: sound tables after real work pass, and named damage done to the
// closed table's files at chosen offsets is reported for what it is.

#include "engine/table_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lib/byte_order.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

std::string Joined(const std::vector<std::string>& problems) {
  std::string out;
  for (const std::string& p : problems) out += p + "\n";
  return out;
}

class TableCheckTest : public CursorTest {
 protected:
  // Moves the cursor onto the record with this Id (primary order) and deletes it.
  static void DeleteId(TDataCursor& c, int32_t id) {
    std::vector<uint8_t> image(c.RecordSize());
    c.SetIndexName("");
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      if (IntOf(c, image.data(), "Id") != id) continue;
      c.DeleteRecord(image.data());
      return;
    }
    FAIL() << "no Id " << id;
  }

  static std::string Memo(int32_t id, size_t length) {
    std::string text;
    while (text.size() < length) text += "memo " + std::to_string(id) + "; ";
    text.resize(length);
    return text;
  }

  // The checker over a fresh exclusive cursor on `name`.
  std::vector<std::string> Check(const std::string& name) {
    TDataCursor& c = OpenCursor(name, true);
    std::vector<std::string> problems = CheckTable(*c.Table());
    c.Close();
    return problems;
  }

  // Twenty people, Ids 1 to 20 in record order; Ids 1 to 5 have memos of three blocks
  // (1001 to 1005 bytes with 512-byte blocks), Ids 7 and 9 are deleted afterwards (the
  // free chain is 9 -> 7). Small enough that every index is one leaf.
  void MakeSmallTable() {
    MakeTable("t", People());
    TDataCursor& c = OpenCursor("t", true);
    for (int32_t id = 1; id <= 20; ++id) {
      char name[16];
      std::snprintf(name, sizeof name, "Name%02d", id);
      Add(c, id, name, id * 10, id <= 5 ? Memo(id, 1000 + size_t(id)) : "");
    }
    DeleteId(c, 7);
    DeleteId(c, 9);
    recordSize_ = c.RecordSize();
    memoOffset_ = c.Field(c.FieldNumber("Memo")).Offset();
    c.Close();
    cursors_.clear();
  }

  std::string File(const char* extension) const { return dir_ + "t" + extension; }
  uint64_t RecordAt(int32_t n) const { return 127 + 768 * 4 + uint64_t(n - 1) * recordSize_; }

  // Changes the bytes of a file at `offset`.
  static void Patch(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> data = ReadWholeFile(path);
    ASSERT_LE(offset + bytes.size(), data.size()) << path;
    std::copy(bytes.begin(), bytes.end(), data.begin() + std::ptrdiff_t(offset));
    WriteWholeFile(path, data);
  }
  static std::vector<uint8_t> I32(int32_t v) {
    std::vector<uint8_t> b(4);
    StoreI32(b.data(), v);
    return b;
  }
  // The first BLOB block of record n's memo, read from the data file.
  int32_t MemoBlock(int32_t n) const {
    std::vector<uint8_t> data = ReadWholeFile(File(".DAT"));
    return LoadI32(&data[RecordAt(n) + memoOffset_ + 1]);
  }
  uint64_t BlockAt(int32_t block) const { return 512 + uint64_t(block - 1) * 512; }
  // The leaf entry `entry` (1-based) of secondary index `index`, whose root is its only leaf.
  uint64_t LeafEntryAt(int index, int entry) const {
    std::vector<uint8_t> idx = ReadWholeFile(File(".IDX"));
    const uint8_t* descriptor = &idx[14 + 120 * size_t(index)];
    int32_t root = LoadI32(descriptor + 86);
    int16_t keyLength = LoadI16(descriptor + 31);
    EXPECT_EQ(idx[4096 * size_t(root)], 3) << "the root is not the only leaf";
    return 4096 * uint64_t(root) + 13 + uint64_t(entry - 1) * uint64_t(keyLength + 4);
  }

  uint16_t recordSize_ = 0;
  uint16_t memoOffset_ = 0;
};

TEST_F(TableCheckTest, SoundTablesPassWhileOpenAndAfterReopening) {
  for (bool primaryKey : {true, false}) {
    SCOPED_TRACE(primaryKey ? "with primary key" : "without primary key");
    const std::string name = primaryKey ? "keyed" : "plain";
    MakeTable(name, People(primaryKey));
    TDataCursor& c = OpenCursor(name, true);
    // Enough records for trees of several levels, BLOB chains of one to five blocks, and
    // deletes and changes that feed and reuse the free chains.
    for (int32_t id = 1; id <= 400; ++id)
      Add(c, id, "Name" + std::to_string(id % 37), id, id % 3 == 0 ? Memo(id, size_t(id * 5 % 2400)) : "");
    for (int32_t id = 7; id <= 400; id += 7) DeleteId(c, id);
    for (int32_t id = 401; id <= 420; ++id) Add(c, id, "Late", id, Memo(id, 700));
    std::vector<uint8_t> image(c.RecordSize());
    c.SetIndexName("");
    c.SetToBegin();
    for (int k = 0; k < 30 && c.GetNextRecord(image.data()) == 0; ++k) {
      ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
      PutText(c, image, "Name", "Changed" + std::to_string(k));
      c.ModifyRecord(image.data());
    }

    TTableChecker checker(*c.Table());
    std::vector<int> percents;
    checker.SetProgress([&](int p) { percents.push_back(p); });
    std::vector<std::string> problems = checker.Run();
    EXPECT_TRUE(problems.empty()) << Joined(problems);
    EXPECT_EQ(checker.LiveRecords(), 420 - 400 / 7);
    // With a primary key the last twenty records took deleted slots.
    EXPECT_EQ(checker.DeletedRecords(), 400 / 7 - (primaryKey ? 20 : 0));
    EXPECT_EQ(checker.IndexesChecked(), primaryKey ? 4 : 3);
    EXPECT_GT(checker.BlobBlocksChecked(), 100);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    c.Close();

    problems = Check(name);
    EXPECT_TRUE(problems.empty()) << Joined(problems);
  }
}

TEST_F(TableCheckTest, AnEmptyTableIsSound) {
  MakeTable("t", People());
  EXPECT_TRUE(Check("t").empty());
}

// One kind of damage: what is changed where, and a phrase the report must contain.
struct TDamage {
  const char* Name;
  std::function<void()> Apply;
  const char* Expected;
};

TEST_F(TableCheckTest, EachNamedDamageIsReported) {
  const std::vector<TDamage> cases = {
      {"a key byte in an index page breaks the order",
       [this] { Patch(File(".IDX"), LeafEntryAt(1, 2) + 1, {'Z'}); },  // "Name02" -> "Zame02"
       "index 'ByName': keys out of order"},
      // Name follows the prefix (9 bytes) and Id (flag and 4 bytes); its flag, then "Name03".
      {"a record's field changed under its index entry",
       [this] { Patch(File(".DAT"), RecordAt(3) + 9 + 5 + 1, {'M'}); },
       "record 3: its entry in index 'ByName' has a key that differs from its fields"},
      {"a live record's deleted flag set", [this] { Patch(File(".DAT"), RecordAt(5), {1}); },
       "index 'Sys Deleted' does not match record 5 (deleted"},
      {"a deleted record's flag cleared", [this] { Patch(File(".DAT"), RecordAt(7), {0}); },
       "record 7 has no entry in primary index"},
      {"the free chain of deleted records loops",
       [this] { Patch(File(".DAT"), RecordAt(7) + 1, I32(9)); },  // 9 -> 7 -> 9
       "the free chain of deleted records loops at record 9"},
      {"the live count in the index header", [this] { Patch(File(".IDX"), 3974, I32(19)); },
       "the index header counts 19 live records, the data file holds 18"},
      {"a BLOB block's next link leaves the file",
       [this] { Patch(File(".BLB"), BlockAt(MemoBlock(2)) + 4, I32(9999)); },
       "record 2, field 'Memo': the BLOB chain leads to block 9999"},
      {"a BLOB block's next link leads into another value",
       [this] { Patch(File(".BLB"), BlockAt(MemoBlock(2)) + 4, I32(MemoBlock(3))); },
       "is used twice (also by record 2)"},
      {"a BLOB block's identifier", [this] { Patch(File(".BLB"), BlockAt(MemoBlock(4) + 1) + 10, I32(777)); },
       "carries identifier 777"},
      {"a BLOB value's total length", [this] { Patch(File(".BLB"), BlockAt(MemoBlock(1)) + 14, I32(2000)); },
       "record 1, field 'Memo': the BLOB chain ends after 1001 of 2000 bytes"},
      {"the BLOB free chain takes a used block", [this] { Patch(File(".BLB"), 9, I32(MemoBlock(5))); },
       "is on the free chain and in the value of record 5"},
      // Counts no file of this size holds: the checker must not size anything by them.
      {"the index header counts 0x7fffffff pages", [this] { Patch(File(".IDX"), 9, I32(0x7fffffff)); },
       "the index header counts 2147483646 pages, the file holds "},
      // 7,812,500 is the next block number of the largest file of 512-byte blocks.
      {"the BLOB header counts 7,812,499 blocks", [this] { Patch(File(".BLB"), 13, I32(7812500)); },
       "the BLOB header counts 7812499 blocks, the file holds 15"},
      {"a BLOB chain looping on its first block, with a length near 2 GB",
       [this] {
         const int32_t first = MemoBlock(1);
         Patch(File(".BLB"), 13, I32(7812500));
         Patch(File(".BLB"), BlockAt(first) + 4, I32(first));
         Patch(File(".BLB"), BlockAt(first) + 14, I32(2000000000));
       },
       "record 1, field 'Memo': the first BLOB block 1 gives the length 2000000000, more than the 15 blocks"},
      // Name's null flag follows the prefix (9 bytes) and Id (flag and 4 bytes).
      {"a null flag of 7", [this] { Patch(File(".DAT"), RecordAt(3) + 14, {7}); },
       "record 3, field 'Name': null flag 7 (0 or 1 expected)"},
      {"a string without its terminating zero",
       [this] { Patch(File(".DAT"), RecordAt(4) + 15, std::vector<uint8_t>(21, 'x')); },
       "record 4, field 'Name': a string without its terminating zero"},
  };
  for (const TDamage& damage : cases) {
    SCOPED_TRACE(damage.Name);
    MakeSmallTable();
    ASSERT_TRUE(Check("t").empty());
    cursors_.clear();
    damage.Apply();
    std::vector<std::string> problems = Check("t");
    EXPECT_NE(Joined(problems).find(damage.Expected), std::string::npos)
        << "expected \"" << damage.Expected << "\" among:\n"
        << Joined(problems);
    cursors_.clear();
    for (const char* extension : {".DAT", ".IDX", ".BLB"}) std::filesystem::remove(File(extension));
  }
}

// A data header taken from the file after the open (another process's, say) is not
// checked against the file's size again: the checker does it before it sizes anything.
TEST_F(TableCheckTest, ADataHeaderCountingSlotsTheFileLacksIsReported) {
  MakeSmallTable();
  TDataCursor& c = OpenCursor("t", true);
  TDataHeader& header = c.Table()->DataFile().MutableHeader();
  const int32_t sound = header.NextRecordNumber();
  for (auto [next, expected] : {std::pair<int32_t, const char*>{INT32_MAX, "the data header counts 2147483646 "
                                                                           "record slots, the file holds 20"},
                                {INT32_MIN, "the data header gives the next record number -2147483648"}}) {
    SCOPED_TRACE(next);
    header.SetNextRecordNumber(next);
    std::vector<std::string> problems = CheckTable(*c.Table());
    EXPECT_NE(Joined(problems).find(expected), std::string::npos) << Joined(problems);
  }
  header.SetNextRecordNumber(sound);
  EXPECT_TRUE(CheckTable(*c.Table()).empty());
}

// Values no writer of their type's encoding produces, each damaged in the data file of a
// table whose records first hold the edges of every range (and pass).
TEST_F(TableCheckTest, EachImpossibleStoredValueIsReported) {
  TTableDefinition d;
  d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Born", FIELD_DATE),
              MakeField(3, "At", FIELD_TIME),    MakeField(4, "Stamp", FIELD_TIMESTAMP),
              MakeField(5, "Price", FIELD_BCD),  MakeField(6, "Yes", FIELD_BOOLEAN),
              MakeField(7, "Name", FIELD_STRING, 5)};
  d.Fields[4].SetDeclaredScale(2);
  PrepareFieldDefinitions(d.Fields, "kinds");
  d.Indexes = {PrimaryKeyOn(1)};
  struct TRow {
    int32_t Day, Ms;
    double Stamp;
    int64_t Cents;
    uint16_t Yes;
    const char* Name;
  };
  // Record 1 the upper edges, record 2 nulls only, record 3 the lower edges (a timestamp
  // of day 0 is what a time alone gives).
  const TRow high{3652059, 86399999, 3652060.0 * 86400000 - 1, 99999999, 1, "abcde"};
  const TRow low{1, 0, 0, 0, 0, "a"};
  auto make = [&] {
    MakeTable("kinds", d);
    TDataCursor& c = OpenCursor("kinds", true);
    for (int32_t id = 1; id <= 3; ++id) {
      std::vector<uint8_t> image = Blank(c);
      PutInt(c, image, "Id", id);
      if (id != 2) {
        const TRow& r = id == 1 ? high : low;
        c.PutField(c.FieldNumber("Born"), image.data(), &r.Day);
        c.PutField(c.FieldNumber("At"), image.data(), &r.Ms);
        uint8_t stamp[8];
        StoreDouble(stamp, r.Stamp);
        c.PutField(c.FieldNumber("Stamp"), image.data(), stamp);
        uint8_t bcd[kBCDSize];
        ASSERT_TRUE(CurrencyToBCD(r.Cents * 100, 2, bcd));
        c.PutField(c.FieldNumber("Price"), image.data(), bcd);
        c.PutField(c.FieldNumber("Yes"), image.data(), &r.Yes);
        PutText(c, image, "Name", r.Name);
      }
      c.AppendRecord(image.data());
    }
    c.Close();
    cursors_.clear();
  };
  make();
  const uint16_t recordSize = uint16_t(RecordSizeOf(d.Fields));
  auto slot = [&](int32_t record, const char* field) {
    for (const TFieldDescriptor& f : d.Fields)
      if (f.FieldName() == field) return 127 + 768 * 7 + uint64_t(record - 1) * recordSize + f.Offset() + 1;
    ADD_FAILURE() << field;
    return uint64_t(0);
  };
  const std::string data = dir_ + "kinds.DAT";
  struct TCase {
    const char* Name;
    int32_t Record;
    const char* Field;
    int Offset;  // from the slot's first byte; -1 is the null flag
    std::vector<uint8_t> Bytes;
    const char* Expected;
  };
  const std::vector<uint8_t> nan(8, 0xff);
  const std::vector<TCase> cases = {
      {"a day number of 2147483647", 1, "Born", 0, I32(2147483647),
       "record 1, field 'Born': a day number of 2147483647, outside the years 1 to 9999"},
      {"a day number of 0", 3, "Born", 0, I32(0), "record 3, field 'Born': a day number of 0"},
      {"a time of 2147483647", 1, "At", 0, I32(2147483647), "record 1, field 'At': a time of 2147483647 ms"},
      {"a negative time", 3, "At", 0, I32(-1), "record 3, field 'At': a time of -1 ms"},
      {"a timestamp that is no number", 1, "Stamp", 0, nan, "record 1, field 'Stamp': a timestamp of"},
      {"a BCD digit above 9", 1, "Price", 2, {0xfa}, "record 1, field 'Price': a packed decimal that does not read"},
      {"a BCD precision beyond its digits", 3, "Price", 0, {65}, "record 3, field 'Price': a packed decimal"},
      {"a boolean of 2", 3, "Yes", 0, {2}, "record 3, field 'Yes': a boolean of 2 (0 or 1 expected)"},
      {"bytes after a string's terminating zero", 3, "Name", 2, {'z'},
       "record 3, field 'Name': bytes after the string's terminating zero"},
      {"an empty string marked present", 3, "Name", 0, {0}, "record 3, field 'Name': an empty string marked present"},
      {"a null value with bytes in its slot", 2, "Born", 1, {1}, "record 2, field 'Born': null, yet its slot holds bytes"},
      {"a null flag of 7", 2, "At", -1, {7}, "record 2, field 'At': null flag 7"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    cursors_.clear();
    ASSERT_TRUE(Check("kinds").empty()) << Joined(Check("kinds"));
    cursors_.clear();
    const std::vector<uint8_t> sound = ReadWholeFile(data);
    Patch(data, uint64_t(int64_t(slot(c.Record, c.Field)) + c.Offset), c.Bytes);
    std::vector<std::string> problems = Check("kinds");
    EXPECT_NE(Joined(problems).find(c.Expected), std::string::npos)
        << "expected \"" << c.Expected << "\" among:\n"
        << Joined(problems);
    cursors_.clear();
    WriteWholeFile(data, sound);
  }
}

}  // namespace
}  // namespace veldor::test
