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

}  // namespace
}  // namespace veldor::test
