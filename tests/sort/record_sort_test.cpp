// The record sort through the cursor: real tables in a fresh directory, sorted in memory
// (every record cached) and through ".TMP" run files (the table reopened with an empty
// cache, or larger than a chunk), then read back in record order and checked with the
// table checker.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/record_sort.h"
#include "engine/table_check.h"
#include "lib/code_page.h"
#include "lib/file_layer.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

constexpr uint16_t kUsEnglish = 0x0409;

// One record as read back: its number, row identifier and fields.
struct TRow {
  int32_t Number = 0;
  int32_t RowId = 0;
  int32_t Id = 0;
  std::string Name;  // UTF-8
  bool AmountNull = false;
  int32_t Amount = 0;
};

class RecordSortTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    private_ = dir_ + "private/";
    std::filesystem::create_directory(private_);
    session_->SetPrivateDirectory(private_);
  }

  // Id integer, Name string(20), Amount integer, Pad string(250): 293-byte records, so
  // that a chunk is 3578 records and the cache holds 894. No indexes of its own.
  static TTableDefinition Rows(int16_t language = 0) {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Name", FIELD_STRING, 20),
                MakeField(3, "Amount", FIELD_INTEGER), MakeField(4, "Pad", FIELD_STRING, 250)};
    PrepareFieldDefinitions(d.Fields, "t");
    d.Language = language;
    d.Indexes = {TIndexDescriptor()};
    return d;
  }

  TDataCursor& MakeRows(int16_t language = 0) {
    MakeTable("rows", Rows(language));
    return OpenCursor("rows", true);
  }

  // Appends (id, name (UTF-8), amount); `amount` null when `null`.
  static void AddRow(TDataCursor& c, int32_t id, const std::string& name, int32_t amount,
                     bool null = false) {
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Id", id);
    PutText(c, image, "Name", Utf8ToWindows1252(name));
    if (null)
      PutNull(c, image, "Amount");
    else
      PutInt(c, image, "Amount", amount);
    PutText(c, image, "Pad", "pad " + std::to_string(id));
    c.AppendRecord(image.data());
  }

  // The cursor's descriptor of `field`, descending when asked.
  static TFieldDescriptor By(TDataCursor& c, const char* field, bool descending = false) {
    TFieldDescriptor d = c.Field(c.FieldNumber(field));
    d.Bytes[kSortDescendingOffset] = descending ? 1 : 0;
    return d;
  }

  // Every record in record order.
  static std::vector<TRow> Read(TDataCursor& c) {
    std::vector<TRow> rows;
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      TRow r;
      r.Number = c.CurrentRecordNumber();
      r.RowId = LoadI32(image.data() + kRowIdOffset);
      r.Id = IntOf(c, image.data(), "Id");
      r.Name = Windows1252ToUtf8(TextOf(c, image.data(), "Name"));
      r.AmountNull = IsNull(c, image.data(), "Amount");
      r.Amount = IntOf(c, image.data(), "Amount");
      rows.push_back(r);
    }
    return rows;
  }
  static std::vector<int32_t> IdsOf(const std::vector<TRow>& rows) {
    std::vector<int32_t> ids;
    for (const TRow& r : rows) ids.push_back(r.Id);
    return ids;
  }
  static std::vector<std::string> NamesOf(const std::vector<TRow>& rows) {
    std::vector<std::string> names;
    for (const TRow& r : rows) names.push_back(r.Name);
    return names;
  }

  // Records numbered 1..n in order, the header's counts agreeing, and the table sound.
  static void ExpectSound(TDataCursor& c, const std::vector<TRow>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].Number, int32_t(i + 1));
    TDataTable& t = *c.Table();
    EXPECT_EQ(t.DataFile().Header().NextRecordNumber(), int32_t(rows.size()) + 1);
    EXPECT_EQ(t.IndexFile().ActiveRecords(), int32_t(rows.size()));
    EXPECT_EQ(t.DataFile().Size(),
              int64_t(t.DataFile().RecordsStart() + rows.size() * t.RecordSize()));
    EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
  }

  // The ".TMP" files in the private directory.
  int TempFiles() const {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(private_))
      n += entry.path().extension() == ".TMP";
    return n;
  }

  // Closes the table (its last cursor) and opens it again, so that nothing is cached.
  TDataCursor& Reopen(TDataCursor& c) {
    c.Close();
    c.Open();
    return c;
  }

  std::string private_;
};

// The same cases once with every record cached and once from the file through run files.
class RecordSortPathTest : public RecordSortTest, public ::testing::WithParamInterface<bool> {
 protected:
  // Leaves the cache as the appends left it (all cached) or, after writing everything
  // back by closing the table, empties it once the cursor has taken its first position
  // (which reads ahead into it).
  void Prepare(TDataCursor& c) {
    if (!GetParam()) return;
    Read(Reopen(c));
    c.Table()->DataFile().DropCache();
  }
  void ExpectPath(const TRecordSortResult& result) {
    EXPECT_EQ(result.InMemory, !GetParam());
    EXPECT_EQ(result.Runs, GetParam() ? 1 : 0);
    EXPECT_EQ(TempFiles(), 0);
  }
};

TEST_P(RecordSortPathTest, DescendingIntegerKeepsRowIdentifiers) {
  TDataCursor& c = MakeRows();
  AddRow(c, 1, "x", 10);
  AddRow(c, 2, "y", 30);
  AddRow(c, 3, "z", 20);
  std::map<int32_t, int32_t> rowIdOf;
  for (const TRow& r : Read(c)) rowIdOf[r.Id] = r.RowId;
  Prepare(c);
  TRecordSortResult result = c.SortRecords({By(c, "Amount", true)}, {}, {});
  ExpectPath(result);
  EXPECT_EQ(result.Records, 3);
  std::vector<TRow> rows = Read(c);
  EXPECT_EQ(IdsOf(rows), (std::vector<int32_t>{2, 3, 1}));
  for (const TRow& r : rows) EXPECT_EQ(r.RowId, rowIdOf[r.Id]) << "Id " << r.Id;
  ExpectSound(c, rows);
  // The order survives closing and reopening the table.
  EXPECT_EQ(IdsOf(Read(Reopen(c))), (std::vector<int32_t>{2, 3, 1}));
}

TEST_P(RecordSortPathTest, DistinctKeepsTheFirstOfEqualFieldsAndCutsTheFile) {
  TDataCursor& c = MakeRows();
  AddRow(c, 1, "A", 1);
  AddRow(c, 2, "B", 2);
  AddRow(c, 3, "A", 3);
  Prepare(c);
  TRecordSortOptions options;
  options.Distinct = true;
  ExpectPath(c.SortRecords({By(c, "Name")}, {}, options));
  std::vector<TRow> rows = Read(c);
  // Equal names tie on the row identifier: the first appended "A" is the one kept.
  EXPECT_EQ(IdsOf(rows), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(c.Table()->DataFile().Header().NextRecordNumber(), 3);
  EXPECT_EQ(c.GetRecordCount(), 2);
  ExpectSound(c, rows);
}

// The BLOB values of the records distinct leaves out go back to the BLOB file's free chain
// (the checker finds no block that nothing owns); the kept record's value is intact.
TEST_P(RecordSortPathTest, DistinctFreesTheValuesOfRecordsLeftOut) {
  TTableDefinition d = People(false);
  d.Indexes = {TIndexDescriptor()};
  MakeTable("people", d);
  TDataCursor& c = OpenCursor("people", true);
  Add(c, 1, "A", 1, "the first memo");
  Add(c, 2, "A", 2, std::string(3000, 'x'));
  Add(c, 3, "B", 3, "the third memo");
  Prepare(c);
  TRecordSortOptions options;
  options.Distinct = true;
  ExpectPath(c.SortRecords({By(c, "Name")}, {}, options));
  std::vector<std::string> memos;
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(image.data()) == 0) memos.push_back(MemoOf(c, image));
  EXPECT_EQ(memos, (std::vector<std::string>{"the first memo", "the third memo"}));
  EXPECT_EQ(CheckTable(*c.Table()), std::vector<std::string>{});
  EXPECT_EQ(IdsOf(Read(c)), (std::vector<int32_t>{1, 3}));
  // And as the files hold it.
  EXPECT_EQ(CheckTable(*Reopen(c).Table()), std::vector<std::string>{});
}

// Groups by Name, summing Amount; the filter drops the group whose sum is 7, and the next
// group's row moves up into its record number.
TEST_P(RecordSortPathTest, GroupingFoldsFinishesAndFiltersGroups) {
  TDataCursor& c = MakeRows();
  AddRow(c, 1, "A", 1);
  AddRow(c, 2, "B", 2);
  AddRow(c, 3, "A", 3);
  AddRow(c, 4, "C", 4);
  AddRow(c, 5, "B", 5);
  AddRow(c, 6, "D", 6);
  const TFieldDescriptor amount = c.Field(c.FieldNumber("Amount"));
  const TFieldDescriptor id = c.Field(c.FieldNumber("Id"));
  std::vector<std::string> calls;
  TRecordSortCallbacks callbacks;
  callbacks.Accumulate = [&](bool start, uint8_t* output, const uint8_t* input) {
    int32_t in = 0, sum = 0, first = 0;
    GetFieldValue(input, id, &first);
    calls.push_back((start ? "start " : "fold ") + std::to_string(first));
    if (start) {
      EXPECT_EQ(output, input);
      return;
    }
    GetFieldValue(input, amount, &in);
    GetFieldValue(output, amount, &sum);
    sum += in;
    PutFieldValue(output, amount, &sum);
  };
  callbacks.Finish = [&](uint8_t* row) {
    int32_t first = 0;
    GetFieldValue(row, id, &first);
    calls.push_back("finish " + std::to_string(first));
    int32_t marked = -first;
    PutFieldValue(row, id, &marked);
  };
  callbacks.Filter = [&](uint8_t* row) {
    int32_t sum = 0;
    GetFieldValue(row, amount, &sum);
    return sum != 7;
  };
  Prepare(c);
  TRecordSortOptions options;
  options.Grouping = options.UseFinish = options.UseFilter = true;
  ExpectPath(c.SortRecords({By(c, "Name")}, callbacks, options));
  EXPECT_EQ(calls, (std::vector<std::string>{"start 1", "fold 3", "start 2", "finish 1", "fold 5",
                                             "start 4", "finish 2", "start 6", "finish 4",
                                             "finish 6"}));
  std::vector<TRow> rows = Read(c);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(NamesOf(rows), (std::vector<std::string>{"A", "C", "D"}));
  EXPECT_EQ(IdsOf(rows), (std::vector<int32_t>{-1, -4, -6}));
  EXPECT_EQ(rows[0].Amount, 4);
  EXPECT_EQ(rows[1].Amount, 4);
  ExpectSound(c, rows);
}

// Nulls have presence byte 0: first ascending, last descending; a second field in the
// other direction orders the ties of the first.
TEST_P(RecordSortPathTest, NullsAndMixedDirections) {
  TDataCursor& c = MakeRows();
  AddRow(c, 1, "B", 1);
  AddRow(c, 2, "A", 0, true);
  AddRow(c, 3, "A", 3);
  AddRow(c, 4, "B", 0, true);
  AddRow(c, 5, "A", 2);
  AddRow(c, 6, "B", 2);
  Prepare(c);
  c.SortRecords({By(c, "Amount")}, {}, {});
  EXPECT_EQ(IdsOf(Read(c)), (std::vector<int32_t>{2, 4, 1, 5, 6, 3}));
  Prepare(c);
  c.SortRecords({By(c, "Amount", true)}, {}, {});
  EXPECT_EQ(IdsOf(Read(c)), (std::vector<int32_t>{3, 5, 6, 1, 2, 4}));
  Prepare(c);
  c.SortRecords({By(c, "Name"), By(c, "Amount", true)}, {}, {});
  EXPECT_EQ(TempFiles(), 0);
  std::vector<TRow> rows = Read(c);
  EXPECT_EQ(IdsOf(rows), (std::vector<int32_t>{3, 5, 2, 6, 1, 4}));
  ExpectSound(c, rows);
}

TEST_P(RecordSortPathTest, EmptyTable) {
  TDataCursor& c = MakeRows();
  Prepare(c);
  TRecordSortOptions options;
  options.Grouping = true;
  TRecordSortCallbacks callbacks;
  callbacks.Accumulate = [](bool, uint8_t*, const uint8_t*) { ADD_FAILURE() << "no records"; };
  TRecordSortResult result = c.SortRecords({By(c, "Name")}, callbacks, options);
  EXPECT_EQ(result.Records, 0);
  EXPECT_EQ(TempFiles(), 0);
  ExpectSound(c, Read(c));
}

// A callback that fails half-way: its exception comes out, no run file stays, and the
// records are as they were.
TEST_P(RecordSortPathTest, FailingCallbackChangesNothing) {
  TDataCursor& c = MakeRows();
  for (int i = 1; i <= 8; ++i) AddRow(c, i, std::string(1, char('A' + (i * 5) % 8)), i);
  const std::vector<TRow> before = Read(c);
  Prepare(c);
  int folds = 0;
  TRecordSortCallbacks callbacks;
  callbacks.Accumulate = [&](bool, uint8_t*, const uint8_t*) {
    if (++folds == 5) throw std::runtime_error("aggregate overflow");
  };
  TRecordSortOptions options;
  options.Grouping = true;
  EXPECT_THROW(c.SortRecords({By(c, "Name")}, callbacks, options), std::runtime_error);
  EXPECT_EQ(folds, 5);
  EXPECT_EQ(TempFiles(), 0);
  // Both what the process holds and what the files hold.
  std::vector<TRow> after = Read(c);
  EXPECT_EQ(IdsOf(after), IdsOf(before));
  EXPECT_EQ(NamesOf(after), NamesOf(before));
  after = Read(Reopen(c));
  EXPECT_EQ(IdsOf(after), IdsOf(before));
  EXPECT_EQ(NamesOf(after), NamesOf(before));
  ExpectSound(c, after);
}

INSTANTIATE_TEST_SUITE_P(Paths, RecordSortPathTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RunFiles" : "InMemory"; });

// Strings by the table's collation: byte order without a language, the locale's order with
// one (where marks do not count and lower case comes first); case-insensitive keys tie on
// the row identifier. Names are appended B, b, A, a, f, é (row identifiers 1 to 6).
TEST_F(RecordSortTest, StringsFollowTheTableCollation) {
  struct TCase {
    const char* Label;
    int16_t Language;
    bool CaseInsensitive;
    bool Descending;
    std::vector<std::string> Expected;
  };
  const std::vector<TCase> cases = {
      {"bytes", 0, false, false, {"A", "B", "a", "b", "f", "é"}},
      {"bytes, no case", 0, true, false, {"A", "a", "B", "b", "f", "é"}},
      {"bytes, descending", 0, false, true, {"é", "f", "b", "a", "B", "A"}},
      {"locale", kUsEnglish, false, false, {"a", "A", "b", "B", "é", "f"}},
      {"locale, no case", kUsEnglish, true, false, {"A", "a", "B", "b", "é", "f"}},
      {"locale, descending", kUsEnglish, false, true, {"f", "é", "B", "b", "A", "a"}},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Label);
    cursors_.clear();
    if (db_->TableExists("rows", false)) {
      ASSERT_EQ(db_->DeleteTable("rows", false), 0);
    }
    TDataCursor& c = MakeRows(k.Language);
    int32_t id = 0;
    for (const char* name : {"B", "b", "A", "a", "f", "é"}) {
      ++id;
      AddRow(c, id, name, id);
    }
    TRecordSortOptions options;
    options.CaseInsensitive = k.CaseInsensitive;
    c.SortRecords({By(c, "Name", k.Descending)}, {}, options);
    std::vector<TRow> rows = Read(c);
    EXPECT_EQ(NamesOf(rows), k.Expected);
    ExpectSound(c, rows);
  }
}

// Case-insensitive distinct folds names that differ only in case.
TEST_F(RecordSortTest, CaseInsensitiveDistinct) {
  TDataCursor& c = MakeRows(kUsEnglish);
  int32_t id = 0;
  for (const char* name : {"b", "A", "B", "a", "c"}) {
    ++id;
    AddRow(c, id, name, id);
  }
  TRecordSortOptions options;
  options.CaseInsensitive = options.Distinct = true;
  c.SortRecords({By(c, "Name")}, {}, options);
  std::vector<TRow> rows = Read(c);
  EXPECT_EQ(NamesOf(rows), (std::vector<std::string>{"A", "b", "c"}));
  ExpectSound(c, rows);
}

// A key longer than one index allows (17 fields): the fields past the sixteenth still
// order the records.
TEST_F(RecordSortTest, MoreFieldsThanOneIndexTakes) {
  TTableDefinition d;
  for (uint16_t i = 1; i <= 17; ++i)
    d.Fields.push_back(MakeField(i, ("F" + std::to_string(i)).c_str(), FIELD_INTEGER));
  PrepareFieldDefinitions(d.Fields, "t");
  d.Indexes = {TIndexDescriptor()};
  MakeTable("wide", d);
  TDataCursor& c = OpenCursor("wide", true);
  for (int32_t last : {3, 1, 2}) {
    std::vector<uint8_t> image = Blank(c);
    for (uint16_t i = 1; i <= 16; ++i) {
      int32_t v = 7;
      c.PutField(i, image.data(), &v);
    }
    c.PutField(17, image.data(), &last);
    c.AppendRecord(image.data());
  }
  std::vector<TFieldDescriptor> fields;
  for (uint16_t i = 1; i <= 17; ++i) fields.push_back(c.Field(i));
  fields.back().Bytes[kSortDescendingOffset] = 1;
  c.SortRecords(fields, {}, {});
  std::vector<int32_t> lasts;
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(image.data()) == 0) lasts.push_back(IntOf(c, image.data(), "F17"));
  EXPECT_EQ(lasts, (std::vector<int32_t>{3, 2, 1}));
  EXPECT_EQ(CheckTable(*c.Table()), std::vector<std::string>{});
}

// Run files that cannot be made: the file layer's error comes out and nothing changed.
TEST_F(RecordSortTest, RunFileThatCannotBeCreated) {
  TDataCursor& c = MakeRows();
  for (int i = 1; i <= 5; ++i) AddRow(c, i, std::string(1, char('e' - i)), i);
  const std::vector<TRow> before = Read(Reopen(c));
  c.Table()->DataFile().DropCache();
  session_->SetPrivateDirectory(dir_ + "missing/");
  try {
    c.SortRecords({By(c, "Name")}, {}, {});
    ADD_FAILURE() << "sorted without run files";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_OSENOENT) << e.what();
  }
  std::vector<TRow> after = Read(Reopen(c));
  EXPECT_EQ(IdsOf(after), IdsOf(before));
  ExpectSound(c, after);
}

// An in-memory table's run files are in-memory files of the same names: the first five
// digits of the thread number, a counter from 0, ".TMP", in the private directory.
TEST_F(RecordSortTest, InMemoryTableKeepsItsRunFilesInMemory) {
  TDataTable* t = nullptr;
  ASSERT_EQ(db_->CreateTable("mem", true, Rows(), false, t), 0);
  ASSERT_EQ(db_->CloseTable(t), 0);
  cursors_.push_back(std::make_unique<TDataCursor>(db_));
  TDataCursor& c = *cursors_.back();
  c.SetTableName("mem");
  c.SetInMemory(true);
  c.SetExclusive(true);
  c.Open();
  for (int i = 1; i <= 4; ++i) AddRow(c, i, std::string(1, char('e' - i)), i);
  Read(c);
  c.FlushBuffers(true, false, false, true, true);
  c.Table()->DataFile().DropCache();
  const std::string first = private_ + std::to_string(gettid()).substr(0, 5) + "0.TMP";
  bool inMemory = false, onDisk = true;
  TRecordSortCallbacks callbacks;
  callbacks.Accumulate = [&](bool, uint8_t*, const uint8_t*) {
    inMemory = FileList().FileExists(first, true);
    onDisk = TempFiles() > 0;
  };
  TRecordSortOptions options;
  options.Grouping = true;
  TRecordSortResult result = c.SortRecords({By(c, "Name")}, callbacks, options);
  EXPECT_EQ(result.Runs, 1);
  EXPECT_TRUE(inMemory);
  EXPECT_FALSE(onDisk);
  EXPECT_FALSE(FileList().FileExists(first, true));
  std::vector<TRow> rows = Read(c);
  EXPECT_EQ(IdsOf(rows), (std::vector<int32_t>{4, 3, 2, 1}));
  ExpectSound(c, rows);
}

// An encrypted table's records stay scrambled in the run files too; a plain table's show.
TEST_F(RecordSortTest, EncryptedTableScramblesItsRunFiles) {
  session_->AddPassword("secret");
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    cursors_.clear();
    if (db_->TableExists("rows", false)) {
      ASSERT_EQ(db_->DeleteTable("rows", false), 0);
    }
    TTableDefinition d = Rows();
    d.Encrypted = encrypted;
    d.Password = encrypted ? "secret" : "";
    MakeTable("rows", d);
    TDataCursor& c = OpenCursor("rows", true);
    for (int i = 1; i <= 6; ++i) AddRow(c, i, std::string(1, char('g' - i)), i);
    Read(Reopen(c));
    c.Table()->DataFile().DropCache();
    const std::string needle = "pad 3";
    bool plainInRuns = false;
    int calls = 0;
    TRecordSortCallbacks callbacks;
    callbacks.Accumulate = [&](bool, uint8_t*, const uint8_t*) {
      ++calls;
      for (const auto& entry : std::filesystem::directory_iterator(private_)) {
        const std::vector<uint8_t> bytes = ReadWholeFile(entry.path().string());
        plainInRuns |= std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
      }
    };
    TRecordSortOptions options;
    options.Grouping = true;
    EXPECT_EQ(c.SortRecords({By(c, "Name")}, callbacks, options).Runs, 1);
    EXPECT_EQ(calls, 6);
    EXPECT_EQ(plainInRuns, !encrypted);
    std::vector<TRow> rows = Read(Reopen(c));
    EXPECT_EQ(IdsOf(rows), (std::vector<int32_t>{6, 5, 4, 3, 2, 1}));
    ExpectSound(c, rows);
  }
}

// A table of 8000 records, more than two chunks and far more than the cache holds: sorted
// through at least two run files, which the merge sees and which are gone afterwards.
// Checked against a model, plain and then grouped.
TEST_F(RecordSortTest, LargeTableMergesRunFiles) {
  ASSERT_EQ(SortChunkRecords(293), 3578);
  TDataCursor& c = MakeRows();
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::multimap<std::tuple<std::string, int32_t>, int32_t> model;  // (name, -amount) -> id
  std::map<int32_t, int32_t> sums;                                 // amount -> sum of ids
  const int kRecords = 8000;
  for (int32_t id = 1; id <= kRecords; ++id) {
    std::string name(1 + random() % 3, 'a');
    for (char& ch : name) ch = char('a' + random() % 26);
    const int32_t amount = int32_t(random() % 500);
    AddRow(c, id, name, amount);
    model.emplace(std::make_tuple(name, -amount), id);
    sums[amount] += id;
  }
  // Name ascending, Amount descending; equal pairs keep their appending order (row ids).
  TRecordSortResult result = c.SortRecords({By(c, "Name"), By(c, "Amount", true)}, {}, {});
  EXPECT_FALSE(result.InMemory);
  EXPECT_EQ(result.Runs, 3);
  EXPECT_EQ(TempFiles(), 0);
  std::vector<int32_t> expected;
  for (const auto& [key, id] : model) expected.push_back(id);
  std::vector<TRow> rows = Read(c);
  EXPECT_EQ(IdsOf(rows), expected);
  ExpectSound(c, rows);

  // A grouping that fails after more than a chunk of output rows: still nothing changed.
  int folds = 0;
  TRecordSortCallbacks failing;
  failing.Accumulate = [&](bool, uint8_t*, const uint8_t*) {
    if (++folds == 5000) throw std::runtime_error("aggregate overflow");
  };
  TRecordSortOptions grouping;
  grouping.Grouping = true;
  EXPECT_THROW(c.SortRecords({By(c, "Pad")}, failing, grouping), std::runtime_error);
  EXPECT_EQ(TempFiles(), 0);
  EXPECT_EQ(IdsOf(Read(c)), expected);

  // Grouped by Amount: Id sums the group's Ids. The merge's callbacks see the run files by
  // their names (thread number, counter): three runs, and the grouped output in a fourth.
  const TFieldDescriptor id = c.Field(c.FieldNumber("Id"));
  const std::string prefix = std::to_string(gettid()).substr(0, 5);
  std::set<std::string> seen;
  TRecordSortCallbacks callbacks;
  callbacks.Accumulate = [&](bool start, uint8_t* output, const uint8_t* input) {
    for (const auto& entry : std::filesystem::directory_iterator(private_))
      seen.insert(entry.path().filename().string());
    if (start) return;
    int32_t sum = 0, in = 0;
    GetFieldValue(output, id, &sum);
    GetFieldValue(input, id, &in);
    sum += in;
    PutFieldValue(output, id, &sum);
  };
  TRecordSortOptions options;
  options.Grouping = true;
  result = c.SortRecords({By(c, "Amount")}, callbacks, options);
  EXPECT_EQ(result.Runs, 3);
  EXPECT_EQ(seen, (std::set<std::string>{prefix + "0.TMP", prefix + "1.TMP", prefix + "2.TMP",
                                         prefix + "3.TMP"}));
  EXPECT_EQ(TempFiles(), 0);
  rows = Read(c);
  ASSERT_EQ(rows.size(), sums.size());
  size_t i = 0;
  for (const auto& [amount, sum] : sums) {
    EXPECT_EQ(rows[i].Amount, amount);
    EXPECT_EQ(rows[i].Id, sum);
    ++i;
  }
  ExpectSound(c, rows);
}

// What the sort refuses, before anything changes.
TEST_F(RecordSortTest, Refusals) {
  struct TCase {
    const char* Label;
    uint16_t Code;
    std::function<void(TDataCursor*&)> Setup;  // may replace the cursor
    std::function<std::vector<TFieldDescriptor>(TDataCursor&)> Fields;
  };
  auto byName = [](TDataCursor& c) { return std::vector<TFieldDescriptor>{By(c, "Name")}; };
  const std::vector<TCase> cases = {
      {"a shared cursor", VELDOR_NEEDEXCLACCESS,
       [this](TDataCursor*& c) {
         c->Close();
         c = &OpenCursor("rows", false);
       },
       byName},
      {"a second user of the table", VELDOR_TABLEOPEN,
       [this](TDataCursor*& c) { cursors_.push_back(c->Clone()); }, byName},
      {"a deleted record", VELDOR_KEYORRECDELETED,
       [](TDataCursor*& c) {
         std::vector<uint8_t> image(c->RecordSize());
         c->SetToBegin();
         ASSERT_EQ(c->GetNextRecord(image.data()), 0);
         c->DeleteRecord(image.data());
       },
       byName},
      {"an index of its own", VELDOR_INDEXLIMIT,
       [](TDataCursor*& c) {
         c->AddIndex(Index("ByName", {2}, false));
       },
       byName},
      {"a field number the table lacks", VELDOR_OUTOFRANGE, nullptr,
       [](TDataCursor& c) {
         TFieldDescriptor d = By(c, "Name");
         d.SetFieldNumber(9);
         return std::vector<TFieldDescriptor>{d};
       }},
      {"another table's field", VELDOR_INVALIDFLDTYPE, nullptr,
       [](TDataCursor& c) {
         TFieldDescriptor d = By(c, "Name");
         d.SetFieldType(FIELD_INTEGER);
         return std::vector<TFieldDescriptor>{d};
       }},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Label);
    cursors_.clear();
    if (db_->TableExists("rows", false)) {
      ASSERT_EQ(db_->DeleteTable("rows", false), 0);
    }
    TDataCursor* c = &MakeRows();
    AddRow(*c, 1, "b", 1);
    AddRow(*c, 2, "a", 2);
    AddRow(*c, 3, "c", 3);
    if (k.Setup) k.Setup(c);
    const std::vector<TRow> before = Read(*c);
    try {
      c->SortRecords(k.Fields(*c), {}, {});
      ADD_FAILURE() << "not refused";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode, k.Code) << e.what();
    }
    EXPECT_EQ(IdsOf(Read(*c)), IdsOf(before));
    EXPECT_EQ(TempFiles(), 0);
  }
}

}  // namespace
}  // namespace veldor::test
