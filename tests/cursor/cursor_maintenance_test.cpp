// Table maintenance through the cursor: definition checks, creating, deleting, renaming
// and emptying tables, adding and deleting indexes, the three kinds of restructure (new
// descriptors, an index rebuild, a full copy) with their data-lost reports, progress and
// backups, and reading a closed table's settings.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "lib/byte_order.h"
#include "lib/file_layer.h"
#include "engine/table_check.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

TEST_F(CursorTest, MainPathsOfEveryOperation) {
  session_->SetPrivateDirectory(dir_);
  TDataCursor c(db_);
  c.SetTableName("people");
  c.SetExclusive(true);
  c.CreateTable(People(), false, false);
  c.Open();
  Add(c, 1, "A", 10, "memo one");
  Add(c, 2, "B", 20);
  Add(c, 3, "C", 30, "memo three");
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(People(), false, false); }), VELDOR_TABLEOPEN);
  c.AddIndex(Index("ById2", {1}, true));
  c.SetIndexName("ById2");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3}));
  c.DeleteIndex("ById2", true);
  c.Close();
  TTableDefinition d = People();
  d.Fields[1].SetFieldName("FullName");
  c.RestructureTable(d, false, -1, false);
  c.Open();
  EXPECT_EQ(c.Field(2).FieldName(), "FullName");
  c.Close();
  d.Fields[1].SetDeclaredSize(30);
  c.RestructureTable(d, false, -1, false);
  c.Open();
  EXPECT_EQ(c.Field(2).DeclaredSize(), 30);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3}));
  c.SetToBegin();
  std::vector<uint8_t> image(c.RecordSize());
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  EXPECT_EQ(MemoOf(c, image), "memo one");
  EXPECT_EQ(TextOf(c, image.data(), "FullName"), "A");
  c.EmptyTable();
  EXPECT_EQ(c.GetRecordCount(), 0);
  c.Close();
  EXPECT_TRUE(std::filesystem::exists(dir_ + "people.DBK"));
  c.RenameTable("folk");
  c.DeleteTable();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "folk.DAT"));
}

// What an engine error carried; code 0 when the body raised nothing.
struct TRaised {
  uint16_t Code = 0;
  std::string Field;
  std::string Index;
  std::string Message;
};

TRaised Raised(const std::function<void()>& body) {
  TRaised r;
  try {
    body();
  } catch (const EVELDOREngineError& e) {
    r.Code = e.ErrorCode;
    r.Field = e.ErrorFieldName;
    r.Index = e.ErrorIndexName;
    r.Message = e.Message;
  }
  return r;
}

struct TRow {
  int32_t Id;
  std::string Name;  // empty: null
  int32_t Amount;
  std::string Memo;  // empty: null
};

// One call of the data-lost hook.
using TLoss = std::pair<int, std::string>;

class MaintenanceTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    session_->SetPrivateDirectory(dir_);
  }

  // A closed Exclusive cursor on `name`, owned by the fixture.
  TDataCursor& Closed(const std::string& name = "people") {
    cursors_.push_back(std::make_unique<TDataCursor>(db_));
    TDataCursor& c = *cursors_.back();
    c.SetTableName(name);
    c.SetExclusive(true);
    return c;
  }

  // Creates "people" from `d`, appends `rows` in this order (record numbers 1, 2, ...) and
  // returns the closed Exclusive cursor.
  TDataCursor& Filled(const std::vector<TRow>& rows, const TTableDefinition& d = People()) {
    TDataCursor& c = Closed();
    c.CreateTable(d, false, false);
    c.Open();
    for (const TRow& r : rows) Append(c, r);
    c.Close();
    return c;
  }

  static void Append(TDataCursor& c, const TRow& r) {
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Id", r.Id);
    if (r.Name.empty())
      PutNull(c, image, "Name");
    else
      PutText(c, image, "Name", r.Name);
    PutInt(c, image, "Amount", r.Amount);
    if (!r.Memo.empty()) {
      uint16_t f = c.FieldNumber("Memo");
      ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
      ASSERT_EQ(c.PutBlob(f, image.data(), false, 0, uint32_t(r.Memo.size()), r.Memo.data()), 0);
    }
    c.AppendRecord(image.data());
  }

  static std::vector<TRow> Numbered(int count) {
    std::vector<TRow> rows;
    for (int i = 1; i <= count; ++i)
      rows.push_back({i, "N" + std::to_string(1000 + i), i * 10, i % 3 == 0 ? "memo " + std::to_string(i) : ""});
    return rows;
  }

  // Visits every record in natural order.
  static void EachRecord(TDataCursor& c, const std::function<void(const uint8_t*)>& visit) {
    const int index = c.IndexNumber();
    c.SetIndexNumber(kNaturalOrder);
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) visit(image.data());
    c.SetIndexNumber(index);
  }

  static void DeleteId(TDataCursor& c, int32_t id) {
    const int index = c.IndexNumber();
    c.SetIndexNumber(kNaturalOrder);
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    bool found = false;
    while (!found && c.GetNextRecord(image.data()) == 0)
      if (IntOf(c, image.data(), "Id") == id) {
        c.DeleteRecord(image.data());
        found = true;
      }
    c.SetIndexNumber(index);
    EXPECT_TRUE(found) << "no Id " << id;
  }

  // Id -> row identifier of every record.
  static std::map<int32_t, int32_t> RowIds(TDataCursor& c) {
    std::map<int32_t, int32_t> out;
    EachRecord(c, [&](const uint8_t* r) { out[IntOf(c, r, "Id")] = LoadI32(r + kRowIdOffset); });
    return out;
  }

  // Id -> Memo of every record that has one.
  static std::map<int32_t, std::string> Memos(TDataCursor& c) {
    std::map<int32_t, std::string> out;
    EachRecord(c, [&](const uint8_t* r) {
      if (!IsNull(c, r, "Memo")) out[IntOf(c, r, "Id")] = MemoOf(c, std::vector<uint8_t>(r, r + c.RecordSize()));
    });
    return out;
  }

  static std::vector<std::string> IndexNames(const TTableInformation& info) {
    std::vector<std::string> out;
    for (const TIndexDescriptor& d : info.Indexes) out.push_back(d.Name());
    return out;
  }

  // Every index of the table and natural order hold each of `ids` once, forward and
  // backward, and the counts agree.
  static void ExpectIndexesHold(TDataCursor& c, std::vector<int32_t> ids) {
    std::sort(ids.begin(), ids.end());
    TTableInformation info = c.GetTableInformation();
    EXPECT_EQ(info.RecordCount, int32_t(ids.size()));
    std::vector<int> orders{kNaturalOrder};
    for (size_t i = 0; i < info.Indexes.size(); ++i)
      if (i > 0 || !info.NoPrimaryKey) orders.push_back(int(i));
    for (int order : orders) {
      SCOPED_TRACE("index " + std::to_string(order));
      c.SetIndexNumber(order);
      EXPECT_EQ(c.GetRecordCount(), int64_t(ids.size()));
      std::vector<int32_t> forward = Ids(c), backward = Ids(c, true);
      std::reverse(backward.begin(), backward.end());
      EXPECT_EQ(forward, backward);
      std::sort(forward.begin(), forward.end());
      EXPECT_EQ(forward, ids);
    }
    c.SetIndexNumber(0);
  }

  // The same on the open cursor and again after closing and reopening it.
  static void ExpectConsistent(TDataCursor& c, const std::vector<int32_t>& ids) {
    {
      SCOPED_TRACE("open");
      ExpectIndexesHold(c, ids);
    }
    c.Close();
    c.Open();
    SCOPED_TRACE("reopened");
    ExpectIndexesHold(c, ids);
  }

  std::set<std::string> Files() const {
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) out.insert(entry.path().filename().string());
    return out;
  }
  std::vector<uint8_t> Bytes(const std::string& file) const { return ReadWholeFile(dir_ + file); }
  // The records of a data file with `fields` fields (what follows header and descriptors).
  static std::vector<uint8_t> Records(const std::vector<uint8_t>& data, size_t fields) {
    size_t start = kDataHeaderSize + kFieldDescriptorSize * fields;
    return data.size() < start ? std::vector<uint8_t>{} : std::vector<uint8_t>(data.begin() + long(start), data.end());
  }
  // The blocks of a BLOB file (what follows its header).
  static std::vector<uint8_t> Blocks(const std::vector<uint8_t>& blob) {
    return blob.size() < kBlobHeaderSize ? std::vector<uint8_t>{}
                                         : std::vector<uint8_t>(blob.begin() + long(kBlobHeaderSize), blob.end());
  }
  // The pages of an index file (what follows its header).
  static std::vector<uint8_t> Pages(const std::vector<uint8_t>& index) {
    return index.size() < kIndexHeaderSize ? std::vector<uint8_t>{}
                                           : std::vector<uint8_t>(index.begin() + long(kIndexHeaderSize), index.end());
  }

  // Installs a data-lost hook that records every call and answers with `proceed(call
  // number)` and `stopAsking`.
  static void RecordLosses(TDataCursor& c, std::vector<TLoss>& losses, std::function<bool(size_t)> proceed = nullptr,
                           bool stopAsking = false) {
    c.DataLost = [&losses, proceed, stopAsking](int cause, const std::string& context, bool& go, bool& stop) {
      losses.emplace_back(cause, context);
      if (proceed) go = proceed(losses.size());
      if (stopAsking) stop = true;
    };
  }

  static const std::set<std::string>& PeopleFiles() {
    static const std::set<std::string> files{"people.DAT", "people.IDX", "people.BLB"};
    return files;
  }
};

// ---- Definitions --------------------------------------------------------------------------------------

TEST_F(MaintenanceTest, DefinitionsAreCheckedInTheEnginesOrderBeforeAnythingIsCreated) {
  auto wide = [](TTableDefinition& d, uint8_t lastSize) {
    d.Fields.push_back(MakeField(5, "Big1", FIELD_STRING, 250));
    d.Fields.push_back(MakeField(6, "Big2", FIELD_STRING, 250));
    d.Fields.push_back(MakeField(7, "Small", FIELD_STRING, lastSize));
    d.Indexes.push_back(Index("ByBig", {5, 6, 7}, true));
  };
  struct TCase {
    const char* what;
    std::function<void(TTableDefinition&)> change;
    uint16_t code;  // 0: accepted
    const char* field;
    const char* index;
  };
  const TCase cases[] = {
      {"a field named 1Name", [](auto& d) { d.Fields[1].SetFieldName("1Name"); }, VELDOR_INVALIDFIELDNAME, "1Name", ""},
      {"fields Name and NAME", [](auto& d) { d.Fields[2].SetFieldName("NAME"); }, VELDOR_INVALIDFIELDNAME, "NAME", ""},
      {"a blank field name", [](auto& d) { d.Fields[2].SetFieldName("   "); }, VELDOR_INVALIDFIELDNAME, nullptr, ""},
      {"a string of 251", [](auto& d) { d.Fields[1].SetDeclaredSize(251); }, VELDOR_INVALIDFLDTYPE, "Name", ""},
      {"a string of 250", [](auto& d) { d.Fields[1].SetDeclaredSize(250); }, 0, nullptr, nullptr},
      {"type 0", [](auto& d) { d.Fields[2].SetFieldType(0); }, VELDOR_INVALIDFLDTYPE, "Amount", ""},
      {"two fields numbered 2", [](auto& d) { d.Fields[2].SetFieldNumber(2); }, VELDOR_INVALIDFLDTYPE, nullptr, ""},
      {"a default that is no integer", [](auto& d) { d.Fields[2].SetDefaultValue("ten"); }, VELDOR_INVALIDVCHKSTRUCT,
       "Amount", ""},
      {"an index over the BLOB", [](auto& d) { d.Indexes.push_back(Index("ByMemo", {4}, false)); },
       VELDOR_SEARCHCOLREQD, nullptr, "ByMemo"},
      {"a key of 523 bytes", [&](auto& d) { wide(d, 17); }, VELDOR_INVALIDKEY, nullptr, "ByBig"},
      {"a key of 522 bytes", [&](auto& d) { wide(d, 16); }, 0, nullptr, nullptr},
      {"a 16-character password",
       [](auto& d) {
         d.Encrypted = true;
         d.Password = "0123456789abcdef";
       },
       VELDOR_INVALIDPASSWORD, nullptr, nullptr},
      {"a blank password",
       [](auto& d) {
         d.Encrypted = true;
         d.Password = "   ";
       },
       VELDOR_INVALIDPASSWORD, nullptr, nullptr},
      {"a 15-character password",
       [](auto& d) {
         d.Encrypted = true;
         d.Password = "0123456789abcde";
       },
       0, nullptr, nullptr},
      {"BLOB block size 63", [](auto& d) { d.BlobBlockSize = 63; }, VELDOR_BLOBLIMIT, nullptr, nullptr},
      {"BLOB block size 64", [](auto& d) { d.BlobBlockSize = 64; }, 0, nullptr, nullptr},
      {"duplicate secondary names", [](auto& d) { d.Indexes.push_back(Index("byname", {3}, false)); },
       VELDOR_INDEXEXISTS, nullptr, "byname"},
      {"a secondary name starting with a digit", [](auto& d) { d.Indexes.push_back(Index("2nd", {3}, false)); },
       VELDOR_INVALIDINDEXNAME, nullptr, "2nd"},
      {"a secondary index over field 9", [](auto& d) { d.Indexes.push_back(Index("ByNine", {9}, false)); },
       VELDOR_INVALIDIDXDESC, "9", "ByNine"},
      {"the primary index over field 9", [](auto& d) { d.Indexes[0].SetFieldNumber(0, 9); }, VELDOR_INVALIDIDXDESC,
       "9", "Primary"},
      {"a language that is not installed", [](auto& d) { d.Language = 0x7777; }, VELDOR_CANNOTLOADLDDRV, nullptr,
       nullptr},
      {"1025 fields",
       [](auto& d) {
         for (uint16_t n = 5; n <= 1025; ++n)
           d.Fields.push_back(MakeField(n, ("F" + std::to_string(n)).c_str(), FIELD_SMALLINT));
       },
       VELDOR_FLDLIMIT, nullptr, nullptr},
      {"33 secondary indexes",
       [](auto& d) {
         for (int i = 0; i < 31; ++i) d.Indexes.push_back(Index(("I" + std::to_string(i)).c_str(), {1}, true));
       },
       VELDOR_INDEXLIMIT, nullptr, nullptr},
      // Two faults at once: the earlier check wins.
      {"password before language",
       [](auto& d) {
         d.Encrypted = true;
         d.Password = "0123456789abcdef";
         d.Language = 0x7777;
         d.Fields[1].SetFieldName("1Name");
       },
       VELDOR_INVALIDPASSWORD, nullptr, nullptr},
      {"language before the BLOB block size",
       [](auto& d) {
         d.Language = 0x7777;
         d.BlobBlockSize = 63;
       },
       VELDOR_CANNOTLOADLDDRV, nullptr, nullptr},
      {"BLOB block size before the fields",
       [](auto& d) {
         d.BlobBlockSize = 63;
         d.Fields[1].SetFieldName("1Name");
       },
       VELDOR_BLOBLIMIT, nullptr, nullptr},
      {"fields in their order",
       [](auto& d) {
         d.Fields[1].SetDeclaredSize(251);
         d.Fields[2].SetFieldName("1Amount");
       },
       VELDOR_INVALIDFLDTYPE, "Name", nullptr},
      {"fields before indexes",
       [](auto& d) {
         d.Fields[2].SetFieldName("1Amount");
         d.Indexes.push_back(Index("ByMemo", {4}, false));
       },
       VELDOR_INVALIDFIELDNAME, "1Amount", nullptr},
      {"the primary index first",
       [](auto& d) {
         d.Indexes[0].SetFieldNumber(0, 9);
         d.Indexes.push_back(Index("byname", {3}, false));
       },
       VELDOR_INVALIDIDXDESC, "9", "Primary"},
      {"indexes in their order",
       [](auto& d) {
         d.Indexes.push_back(Index("ByMemo", {4}, false));
         d.Indexes.push_back(Index("byname", {3}, false));
       },
       VELDOR_SEARCHCOLREQD, nullptr, "ByMemo"},
  };
  TDataCursor& c = Closed("bad");
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.what);
    TTableDefinition d = People();
    k.change(d);
    TRaised r = Raised([&] { c.CreateTable(d, false, false); });
    EXPECT_EQ(r.Code, k.code) << r.Message;
    if (k.field) {
      EXPECT_EQ(r.Field, k.field);
    }
    if (k.index) {
      EXPECT_EQ(r.Index, k.index);
    }
    EXPECT_FALSE(c.IsOpen());
    if (k.code != 0) {
      EXPECT_TRUE(Files().empty()) << "left behind: " << *Files().begin();
    } else {
      EXPECT_TRUE(Files().count("bad.DAT"));
      c.DeleteTable();
    }
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
  }
}

TEST_F(MaintenanceTest, TheIndexFileRefusesAThirtyFirstSecondaryIndex) {
  TTableDefinition d = People();
  for (int i = 0; i < 29; ++i) d.Indexes.push_back(Index(("I" + std::to_string(i)).c_str(), {1}, true));
  TDataCursor& c = Closed();
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(d, false, false); }), VELDOR_INDEXLIMIT);
  d.Indexes.pop_back();
  c.CreateTable(d, true, false);
  c.Open();
  EXPECT_EQ(c.GetTableInformation().Indexes.size(), 31u);
}

TEST_F(MaintenanceTest, ARefusedRestructureChangesNothing) {
  TDataCursor& c = Filled(Numbered(3));
  const std::vector<uint8_t> data = Bytes("people.DAT"), index = Bytes("people.IDX");
  TTableDefinition d = People();
  d.Fields[1].SetDeclaredSize(30);
  d.Fields[2].SetFieldName("NAME");
  TRaised r = Raised([&] { c.RestructureTable(d, false, -1, false); });
  EXPECT_EQ(r.Code, VELDOR_INVALIDFIELDNAME);
  EXPECT_EQ(r.Field, "NAME");
  EXPECT_EQ(ErrorOf([&] { c.RestructureTable(People(), false, -2, false); }), VELDOR_FLDLIMIT);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(Files(), PeopleFiles());
  EXPECT_EQ(Bytes("people.DAT"), data);
  EXPECT_EQ(Bytes("people.IDX"), index);
}

// ---- Preconditions ------------------------------------------------------------------------------------

TEST_F(MaintenanceTest, CreateTableNeedsAnExclusiveWritableCursor) {
  TDataCursor c(db_);
  c.SetTableName("people");
  TTableDefinition bad = People();
  bad.Fields[1].SetFieldName("1Name");
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(People(), false, false); }), VELDOR_NEEDEXCLACCESS);
  // The cursor's options are checked before the definition.
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(bad, false, false); }), VELDOR_NEEDEXCLACCESS);
  c.SetReadOnly(true);
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(People(), false, false); }), VELDOR_NEEDEXCLACCESS);
  c.SetExclusive(true);
  EXPECT_EQ(MessageOf([&] { c.CreateTable(People(), false, false); }),
            "VELDOR Engine Error # 11013 Access denied to table 'people'");
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(bad, false, false); }), VELDOR_OSEACCES);
  EXPECT_TRUE(Files().empty());
}

TEST_F(MaintenanceTest, AnExistingTableIsReplacedOnlyWithOverwrite) {
  TDataCursor& c = Filled({{1, "Ann", 10, "kept memo"}, {2, "Bob", 20, ""}});
  EXPECT_EQ(MessageOf([&] { c.CreateTable(People(), false, false); }),
            "VELDOR Engine Error # 13060 The table 'people' already exists");
  c.Open();
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "kept memo"}}));
  c.Close();

  TTableDefinition d = People();
  d.Fields.push_back(MakeField(5, "Extra", FIELD_INTEGER));
  c.CreateTable(d, true, false);
  EXPECT_FALSE(c.IsOpen());
  c.Open();
  EXPECT_EQ(c.FieldCount(), 5);
  EXPECT_EQ(c.GetRecordCount(), 0);
  Append(c, {1, "Ann", 10, "new memo"});
  ExpectConsistent(c, {1});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "new memo"}}));
}

TEST_F(MaintenanceTest, OperationsThatReplaceFilesNeedTheTableClosed) {
  TDataCursor& c = Filled(Numbered(3));
  c.Open();
  EXPECT_EQ(ErrorOf([&] { c.DeleteTable(); }), VELDOR_TABLEOPEN);
  EXPECT_EQ(ErrorOf([&] { c.RenameTable("other"); }), VELDOR_TABLEOPEN);
  EXPECT_EQ(ErrorOf([&] { c.RestructureTable(People(), false, -1, false); }), VELDOR_TABLEOPEN);
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(People(), true, false); }), VELDOR_TABLEOPEN);
  EXPECT_EQ(c.GetRecordCount(), 3);
  c.Close();

  // Another cursor has the table open: the files cannot go.
  TDataCursor& reader = OpenCursor("people");
  TTableDefinition d = People();
  d.Fields[1].SetDeclaredSize(30);
  EXPECT_EQ(ErrorOf([&] { c.DeleteTable(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { c.RenameTable("other"); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { c.RestructureTable(d, false, -1, false); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { c.CreateTable(People(), true, false); }), VELDOR_OSEACCES);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.TableName(), "people");
  EXPECT_EQ(Files(), PeopleFiles());
  EXPECT_EQ(Ids(reader), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(reader.Field(2).DeclaredSize(), 20);
}

TEST_F(MaintenanceTest, IndexAndEmptyOperationsNeedAnExclusiveWritableCursor) {
  Filled(Numbered(3));
  TDataCursor& shared = OpenCursor("people");
  EXPECT_EQ(ErrorOf([&] { shared.AddIndex(Index("ById2", {1}, true)); }), VELDOR_NEEDEXCLACCESS);
  EXPECT_EQ(ErrorOf([&] { shared.DeleteIndex("ByName", true); }), VELDOR_NEEDEXCLACCESS);
  EXPECT_EQ(ErrorOf([&] { shared.EmptyTable(); }), VELDOR_NEEDEXCLACCESS);
  EXPECT_EQ(IndexNames(shared.GetTableInformation()), (std::vector<std::string>{"", "ByName", "ByAmount"}));
  ExpectIndexesHold(shared, {1, 2, 3});
  shared.Close();

  TDataCursor& readOnly = Closed();
  readOnly.SetReadOnly(true);
  TTableDefinition d = People();
  d.Fields[1].SetDeclaredSize(30);
  EXPECT_EQ(ErrorOf([&] { readOnly.RestructureTable(d, false, -1, false); }), VELDOR_OSEACCES);
  readOnly.Open();
  EXPECT_EQ(ErrorOf([&] { readOnly.AddIndex(Index("ById2", {1}, true)); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { readOnly.DeleteIndex("ByName", true); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { readOnly.EmptyTable(); }), VELDOR_OSEACCES);
  ExpectIndexesHold(readOnly, {1, 2, 3});
  readOnly.Close();

  TDataCursor plain(db_);
  plain.SetTableName("people");
  EXPECT_EQ(ErrorOf([&] { plain.RestructureTable(d, false, -1, false); }), VELDOR_NEEDEXCLACCESS);
  EXPECT_EQ(Files(), PeopleFiles());
}

TEST_F(MaintenanceTest, AddIndexRefusesBadDefinitionsAndLeavesTheTable) {
  TTableDefinition wide = People();
  wide.Fields.push_back(MakeField(5, "Big1", FIELD_STRING, 250));
  wide.Fields.push_back(MakeField(6, "Big2", FIELD_STRING, 250));
  wide.Fields.push_back(MakeField(7, "Small", FIELD_STRING, 17));
  TDataCursor& c = Filled(Numbered(4), wide);
  c.Open();
  const struct {
    const char* what;
    TIndexDescriptor index;
    uint16_t code;
  } cases[] = {
      {"no name", Index("", {3}, false), VELDOR_INDEXNAMEREQUIRED},
      {"a name starting with a digit", Index("1st", {3}, false), VELDOR_INVALIDINDEXNAME},
      {"the name of an index in another case", Index("BYNAME", {3}, false), VELDOR_INDEXEXISTS},
      {"the BLOB", Index("ByMemo", {4}, false), VELDOR_SEARCHCOLREQD},
      {"no fields", Index("Empty", {}, false), VELDOR_INVALIDKEY},
      {"523 key bytes", Index("ByBig", {5, 6, 7}, true), VELDOR_INVALIDKEY},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(ErrorOf([&] { c.AddIndex(k.index); }), k.code);
    EXPECT_EQ(IndexNames(c.GetTableInformation()), (std::vector<std::string>{"", "ByName", "ByAmount"}));
  }
  ExpectConsistent(c, {1, 2, 3, 4});
  c.AddIndex(Index("ByBig", {5, 6}, true));
  EXPECT_EQ(IndexNames(c.GetTableInformation()), (std::vector<std::string>{"", "ByName", "ByAmount", "ByBig"}));
}

// ---- Adding and deleting indexes ---------------------------------------------------------------------

TEST_F(MaintenanceTest, AUniqueIndexOverSharedValuesKeepsTheLowestRecordNumber) {
  TTableDefinition d = People();
  d.Indexes.pop_back();  // no index on Amount yet
  // Record 2 shares its amount with record 1 and record 5 with record 3; the removed
  // records come first in primary key order, so the record number alone must decide.
  TDataCursor& c = Filled({{9, "Ivy", 10, "nine"},
                           {1, "Ann", 10, "one"},
                           {5, "Eve", 20, "five"},
                           {3, "Cid", 30, ""},
                           {2, "Bob", 20, "two"}},
                          d);
  c.Open();
  EXPECT_EQ(c.Table()->BlobFile().FirstFreeBlock(), 0);
  const int32_t blocks = c.Table()->BlobFile().BlockCount();
  c.SetIndexName("ByName");
  c.AddIndex(Index("UAmount", {3}, true));

  // The cursor is back on its index, before the first record.
  EXPECT_EQ(c.IndexName(), "ByName");
  std::vector<uint8_t> image(c.RecordSize());
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 3);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 5, 9}));
  c.SetIndexName("UAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{9, 5, 3}));
  ExpectConsistent(c, {9, 5, 3});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{9, "nine"}, {5, "five"}}));

  // The removed records' BLOB blocks and slots are free, each once; their keys are gone, so
  // their Ids can come back.
  EXPECT_NE(c.Table()->BlobFile().FirstFreeBlock(), 0);
  const int32_t slots = c.Table()->RecordCount();
  EXPECT_EQ(slots, 5);
  Append(c, {1, "Ann", 11, "one again"});
  Append(c, {2, "Bob", 21, "two again"});
  Append(c, {7, "Gus", 70, ""});
  EXPECT_EQ(c.Table()->RecordCount(), slots + 1);
  EXPECT_EQ(c.Table()->BlobFile().BlockCount(), blocks);
  EXPECT_EQ(ErrorOf([&] { Append(c, {8, "Hal", 10, ""}); }), VELDOR_KEYVIOL);
  ExpectConsistent(c, {9, 5, 3, 1, 2, 7});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{9, "nine"}, {5, "five"}, {1, "one again"}, {2, "two again"}}));
}

TEST_F(MaintenanceTest, AddedIndexesFollowTheirUniqueAndCaseFlags) {
  TDataCursor& c = Filled({{1, "ann", 10, ""}, {2, "Bob", 20, "m2"}, {3, "ANN", 30, "m3"}, {4, "bob", 40, ""},
                           {5, "Cy", 50, ""}});
  c.Open();
  c.AddIndex(Index("Names", {2}, false));  // equal keys stay
  c.SetIndexName("Names");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 2, 5, 1, 4}));
  ExpectConsistent(c, {1, 2, 3, 4, 5});
  c.AddIndex(Index("NamesNoCase", {2}, true, false, true));
  c.SetIndexName("NamesNoCase");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 5}));
  ExpectConsistent(c, {1, 2, 5});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{2, "m2"}}));
}

TEST_F(MaintenanceTest, InMemoryAndDiskTablesOfOneNameAreApart) {
  TDataCursor& disk = Filled(Numbered(2));
  TDataCursor& memory = Closed();
  memory.SetInMemory(true);
  memory.CreateTable(People(), false, false);
  EXPECT_EQ(ErrorOf([&] { memory.CreateTable(People(), false, false); }), VELDOR_TABLEEXISTS);
  memory.Open();
  EXPECT_EQ(memory.GetRecordCount(), 0);
  Append(memory, {7, "Mem", 70, "in memory"});
  memory.Close();
  EXPECT_EQ(Files(), PeopleFiles());
  disk.Open();
  ExpectConsistent(disk, {1, 2});
  disk.Close();
  memory.Open();
  ExpectConsistent(memory, {7});
  memory.Close();
  memory.DeleteTable();
  EXPECT_FALSE(FileList().FileExists("people.DAT", true));
  EXPECT_EQ(Files(), PeopleFiles());
}

TEST_F(MaintenanceTest, DeleteIndexWithAndWithoutItsDefinition) {
  TDataCursor& c = Filled({{1, "Dan", 40, ""}, {2, "Cat", 10, ""}, {3, "Bea", 30, ""}, {4, "Abe", 20, ""}});
  c.Open();
  EXPECT_EQ(ErrorOf([&] { c.DeleteIndex("NoSuch", true); }), VELDOR_INVALIDINDEXNAME);
  c.SetIndexName("ByAmount");
  c.DeleteIndex(" byname ", true);
  EXPECT_EQ(c.IndexName(), "");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(IndexNames(c.GetTableInformation()), (std::vector<std::string>{"", "ByAmount"}));
  EXPECT_EQ(ErrorOf([&] { c.SetIndexName("ByName"); }), VELDOR_INVALIDINDEXNAME);
  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 4, 3, 1}));
  ExpectConsistent(c, {1, 2, 3, 4});

  // Without remove-definition the definition stays, and so that walking it still meets
  // every record its keys are built again (an empty index would count fewer keys than
  // the table has records).
  c.DeleteIndex("ByAmount", false);
  TTableInformation info = c.GetTableInformation();
  EXPECT_EQ(IndexNames(info), (std::vector<std::string>{"", "ByAmount"}));
  EXPECT_EQ(c.IndexName(), "");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3, 4}));
  Append(c, {5, "Eve", 25, ""});
  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 4, 5, 3, 1}));
  EXPECT_EQ(Ids(c, true), (std::vector<int32_t>{1, 3, 5, 4, 2}));
  c.DeleteRecord(c.RecordBuffer());  // the last one visited: Id 2
  c.SetIndexName("");
  c.Close();
  c.Open();
  EXPECT_EQ(IndexNames(c.GetTableInformation()), (std::vector<std::string>{"", "ByAmount"}));
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 3, 4, 5}));

  // Deleting the primary index leaves a table without primary key fields.
  c.DeleteIndex("", false);
  EXPECT_TRUE(c.GetTableInformation().NoPrimaryKey);
  EXPECT_TRUE(c.NaturalOrder());
  c.SetIndexNumber(kNaturalOrder);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 3, 4, 5}));
  c.Close();
  c.Open();
  EXPECT_TRUE(c.GetTableInformation().NoPrimaryKey);
  EXPECT_EQ(c.GetRecordCount(), 4);
  Append(c, {1, "Dup", 50, ""});  // no primary key to violate
  EXPECT_EQ(c.GetRecordCount(), 5);
}

// ---- Restructure: descriptors only and index rebuilds ----------------------------------------------

TEST_F(MaintenanceTest, RenamesRewriteOnlyDescriptors) {
  TDataCursor& c = Filled({{1, "Cy", 30, "m1"}, {2, "Al", 10, ""}, {3, "Bo", 20, "m3"}});
  const std::vector<uint8_t> data = Bytes("people.DAT"), index = Bytes("people.IDX"), blob = Bytes("people.BLB");
  TTableDefinition d = People();
  d.Fields[1].SetFieldName("Title");
  d.Fields[1].SetDescription("what it is called");
  d.Indexes[1].SetName("ByTitle");
  d.Description = "Staff";
  d.UserMajorVersion = 3;
  d.UserMinorVersion = 7;
  c.RestructureTable(d, false, -1, false);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(Files(), PeopleFiles());  // no backups, no temporary table
  EXPECT_EQ(Records(Bytes("people.DAT"), 4), Records(data, 4));
  EXPECT_EQ(Pages(Bytes("people.IDX")), Pages(index));
  EXPECT_EQ(Blocks(Bytes("people.BLB")), Blocks(blob));

  c.Open();
  EXPECT_EQ(c.Field(2).FieldName(), "Title");
  EXPECT_EQ(c.Field(2).Description(), "what it is called");
  TTableInformation info = c.GetTableInformation();
  EXPECT_EQ(IndexNames(info), (std::vector<std::string>{"", "ByTitle", "ByAmount"}));
  EXPECT_EQ(info.Description, "Staff");
  EXPECT_EQ(info.UserMajorVersion, 3);
  EXPECT_EQ(info.UserMinorVersion, 7);
  EXPECT_EQ(ErrorOf([&] { c.SetIndexName("ByName"); }), VELDOR_INVALIDINDEXNAME);
  c.SetIndexName("bytitle");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 3, 1}));
  ExpectConsistent(c, {1, 2, 3});
}

TEST_F(MaintenanceTest, AnIndexChangeRebuildsTheIndexesInPlace) {
  TDataCursor& c = Filled({{1, "Cy", 30, "m1"}, {2, "Al", 10, ""}, {3, "Bo", 20, "m3"}, {4, "Di", 5, ""}});
  c.Open();
  const int32_t amountRoot = c.GetTableInformation().Indexes[2].RootPage();
  c.Close();
  const std::vector<uint8_t> data = Bytes("people.DAT"), blob = Bytes("people.BLB");
  TTableDefinition d = People();
  d.Indexes[1] = Index("ByName", {2}, false, true);             // now descending
  d.Indexes.push_back(Index("ByNameAmount", {2, 3}, true));  // new
  c.RestructureTable(d, false, -1, false);
  EXPECT_EQ(Records(Bytes("people.DAT"), 4), Records(data, 4));
  EXPECT_EQ(Blocks(Bytes("people.BLB")), Blocks(blob));
  EXPECT_EQ(Files(), (std::set<std::string>{"people.DAT", "people.IDX", "people.BLB", "people.IBK"}));

  c.Open();
  TTableInformation info = c.GetTableInformation();
  EXPECT_EQ(IndexNames(info), (std::vector<std::string>{"", "ByName", "ByAmount", "ByNameAmount"}));
  EXPECT_TRUE(info.Indexes[1].Descending());
  EXPECT_EQ(info.Indexes[2].RootPage(), amountRoot);  // unchanged, not rebuilt
  c.SetIndexName("ByName");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{4, 1, 3, 2}));
  c.SetIndexName("ByNameAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 3, 1, 4}));
  ExpectConsistent(c, {1, 2, 3, 4});
  // The new unique index guards later writes.
  c.AddIndex(Index("Probe", {1}, true));  // any index work on the rebuilt file
  EXPECT_EQ(ErrorOf([&] { Append(c, {5, "Al", 10, ""}); }), VELDOR_KEYVIOL);
  Append(c, {5, "Al", 11, ""});
  ExpectConsistent(c, {1, 2, 3, 4, 5});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}, {3, "m3"}}));
  c.Close();

  // Fewer indexes, one taken from the middle: the later ones move down and are rebuilt.
  d = People();
  d.Indexes.erase(d.Indexes.begin() + 1);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(Files(), PeopleFiles());  // no-backup removed the ".IBK"
  c.Open();
  EXPECT_EQ(IndexNames(c.GetTableInformation()), (std::vector<std::string>{"", "ByAmount"}));
  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{4, 2, 5, 3, 1}));
  ExpectConsistent(c, {1, 2, 3, 4, 5});
}

TEST_F(MaintenanceTest, AUniqueViolationInARebuildIsReportedAndTheRecordRemoved) {
  const std::vector<TRow> rows{{1, "Alice", 10, "m1"}, {2, "Bob", 20, "m2"}, {3, "Alice", 30, "m3"}, {4, "Carol", 40, ""}};
  TTableDefinition d = People();
  d.Indexes[1].SetUnique(true);

  {
    SCOPED_TRACE("stopped");
    TDataCursor& c = Filled(rows);
    const std::vector<uint8_t> data = Bytes("people.DAT"), index = Bytes("people.IDX"), blob = Bytes("people.BLB");
    std::vector<TLoss> losses;
    RecordLosses(c, losses, [](size_t) { return false; });
    c.RestructureTable(d, false, -1, false);
    EXPECT_EQ(losses, (std::vector<TLoss>{{1, "ByName"}}));
    EXPECT_EQ(Files(), PeopleFiles());
    EXPECT_EQ(Bytes("people.DAT"), data);
    EXPECT_EQ(Bytes("people.IDX"), index);
    EXPECT_EQ(Bytes("people.BLB"), blob);
    c.Open();
    EXPECT_FALSE(c.GetTableInformation().Indexes[1].Unique());
    c.SetIndexName("ByName");
    EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 3, 2, 4}));
    ExpectConsistent(c, {1, 2, 3, 4});
    EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}, {2, "m2"}, {3, "m3"}}));
  }
  TearDown();
  SetUp();
  {
    SCOPED_TRACE("continued");
    TDataCursor& c = Filled(rows);
    std::vector<TLoss> losses;
    RecordLosses(c, losses);
    c.RestructureTable(d, false, -1, false);
    EXPECT_EQ(losses, (std::vector<TLoss>{{1, "ByName"}}));
    c.Open();
    EXPECT_TRUE(c.GetTableInformation().Indexes[1].Unique());
    EXPECT_EQ(c.GetDataHeader().FirstDeleted(), 3);  // the later record of the two
    EXPECT_NE(c.Table()->BlobFile().FirstFreeBlock(), 0);
    c.SetIndexName("ByName");
    EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 4}));
    ExpectConsistent(c, {1, 2, 4});
    EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}, {2, "m2"}}));
    EXPECT_EQ(ErrorOf([&] { Append(c, {5, "Bob", 50, ""}); }), VELDOR_KEYVIOL);
    Append(c, {3, "Dora", 30, "m3 again"});  // takes the freed slot and the freed Id
    EXPECT_EQ(c.Table()->RecordCount(), 4);
    ExpectConsistent(c, {1, 2, 3, 4});
  }
}

TEST_F(MaintenanceTest, APrimaryKeyGivenByARestructureIsBuiltAndEnforced) {
  TDataCursor& c = Filled({{3, "C", 30, ""}, {1, "A", 10, "m1"}, {2, "B", 20, ""}, {1, "D", 40, "m4"}},
                          People(false));
  std::vector<TLoss> losses;
  RecordLosses(c, losses);
  c.RestructureTable(People(), false, -1, false);
  ASSERT_EQ(losses.size(), 1u);
  EXPECT_EQ(losses[0].first, 1);
  c.Open();
  EXPECT_FALSE(c.GetTableInformation().NoPrimaryKey);
  EXPECT_FALSE(c.NaturalOrder());
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3}));
  ExpectConsistent(c, {1, 2, 3});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}}));
  EXPECT_EQ(ErrorOf([&] { Append(c, {1, "E", 50, ""}); }), VELDOR_KEYVIOL);
  Append(c, {4, "E", 50, ""});
  EXPECT_EQ(c.Table()->RecordCount(), 4);  // the removed record's slot is used again
  ExpectConsistent(c, {1, 2, 3, 4});
}

TEST_F(MaintenanceTest, SlotsDeletedBeforeAPrimaryKeyAreReusedAfterIt) {
  TDataCursor& c = Filled(Numbered(6), People(false));
  c.Open();
  c.SetIndexNumber(kNaturalOrder);
  for (int32_t recNo : {5, 2}) {  // delete Ids 5 and 2
    c.SetToRecNo(recNo);
    c.DeleteRecord(c.RecordBuffer());
  }
  c.Close();
  c.RestructureTable(People(), false, -1, false);
  c.Open();
  EXPECT_TRUE(CheckTable(*c.Table()).empty());
  Append(c, {7, "G", 70, ""});
  Append(c, {8, "H", 80, ""});
  EXPECT_EQ(c.Table()->RecordCount(), 6);  // both deleted slots taken again
  EXPECT_TRUE(CheckTable(*c.Table()).empty());
}

TEST_F(MaintenanceTest, RenameOntoAnyExistingFileIsRefusedWhole) {
  Filled(Numbered(3));
  WriteWholeFile(dir_ + "other.BLB", {1, 2, 3});
  TDataCursor& c = Closed();
  EXPECT_EQ(ErrorOf([&] { c.RenameTable("other"); }), VELDOR_TABLEEXISTS);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "people.DAT"));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "people.BLB"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "other.DAT"));
  c.Open();
  EXPECT_EQ(c.GetRecordCount(), 3);
}

// ---- Restructure: full copy ---------------------------------------------------------------------------

TEST_F(MaintenanceTest, ASizeChangeCopiesTheTableAndKeepsRowIdentifiers) {
  for (bool autoInc : {false, true}) {
    SCOPED_TRACE(autoInc ? "with an auto-increment field" : "without an auto-increment field");
    TearDown();
    SetUp();
    TTableDefinition d = People();
    if (autoInc) d.Fields.push_back(MakeField(5, "Seq", FIELD_INTEGER, 0, SUBTYPE_AUTOINC));
    TDataCursor& c = Filled(Numbered(6), d);
    c.Open();
    DeleteId(c, 2);
    DeleteId(c, 4);
    Append(c, {7, "Late", 70, "late memo"});  // reuses a freed slot, gets row id 7
    const std::map<int32_t, int32_t> rowIds = RowIds(c);
    const std::map<int32_t, std::string> memos = Memos(c);
    ASSERT_EQ(rowIds.size(), 5u);
    ASSERT_EQ(rowIds.at(7), 7);
    c.Close();
    const std::vector<uint8_t> data = Bytes("people.DAT"), index = Bytes("people.IDX"), blob = Bytes("people.BLB");

    d.Fields[1].SetDeclaredSize(30);
    c.RestructureTable(d, false, -1, false);
    EXPECT_FALSE(c.IsOpen());
    // The old files became the backups; no temporary table is left in the private directory.
    EXPECT_EQ(Files(), (std::set<std::string>{"people.DAT", "people.IDX", "people.BLB", "people.DBK", "people.IBK",
                                              "people.BBK"}));
    EXPECT_EQ(Records(Bytes("people.DBK"), d.Fields.size()), Records(data, d.Fields.size()));
    EXPECT_EQ(Pages(Bytes("people.IBK")), Pages(index));
    EXPECT_EQ(Bytes("people.BBK").size(), blob.size());

    c.Open();
    EXPECT_EQ(c.Field(2).DeclaredSize(), 30);
    EXPECT_EQ(RowIds(c), rowIds);
    EXPECT_EQ(Memos(c), memos);
    if (autoInc)
      EachRecord(c, [&](const uint8_t* r) { EXPECT_EQ(IntOf(c, r, "Seq"), rowIds.at(IntOf(c, r, "Id"))); });
    EXPECT_EQ(c.GetTableInformation().LastAutoInc, 7);
    Append(c, {8, std::string(30, 'x'), 80, ""});
    EXPECT_EQ(RowIds(c).at(8), 8);
    c.SetIndexName("ByName");
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToEnd();
    ASSERT_EQ(c.GetPriorRecord(image.data()), 0);
    EXPECT_EQ(TextOf(c, image.data(), "Name"), std::string(30, 'x'));
    ExpectConsistent(c, {1, 3, 5, 6, 7, 8});
    c.Close();
  }
}

TEST_F(MaintenanceTest, ACopyThroughAnotherPrivateDirectoryLeavesNothingThere) {
  const std::string priv = dir_ + "private/";
  ASSERT_TRUE(std::filesystem::create_directory(priv));
  session_->SetPrivateDirectory(priv);
  TDataCursor& c = Filled({{1, "A", 10, "m1"}, {2, "B", 20, ""}});
  TTableDefinition d = People();
  d.Fields[1].SetDeclaredSize(30);
  c.RestructureTable(d, false, -1, false);
  EXPECT_TRUE(std::filesystem::is_empty(priv));
  std::set<std::string> expected{"private", "people.DBK", "people.IBK", "people.BBK"};
  expected.insert(PeopleFiles().begin(), PeopleFiles().end());
  EXPECT_EQ(Files(), expected);
  c.Open();
  EXPECT_EQ(c.Field(2).DeclaredSize(), 30);
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}}));
  ExpectConsistent(c, {1, 2});
}

TEST_F(MaintenanceTest, ABlobBlockSizeChangeCarriesTheBlobs) {
  const std::string big(3000, 'q'), small = "tiny";
  TDataCursor& c = Filled({{1, "A", 10, big}, {2, "B", 20, small}, {3, "C", 30, ""}});
  TTableDefinition d = People();
  d.BlobBlockSize = 64;
  c.RestructureTable(d, true, -1, false);
  c.Open();
  EXPECT_EQ(c.GetTableInformation().BlobBlockSize, 64u);
  EXPECT_EQ(c.Table()->BlobFile().BlockSize(), 64u);
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, big}, {2, small}}));
  Append(c, {4, "D", 40, big + small});
  ExpectConsistent(c, {1, 2, 3, 4});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, big}, {2, small}, {4, big + small}}));
}

TEST_F(MaintenanceTest, BackupsAreKeptUnlessNoBackupIsSet) {
  auto noMemo = [](TTableDefinition& d) { d.Fields.pop_back(); };
  const struct {
    const char* what;
    std::function<void(TTableDefinition&)> before, change;
    bool noBackup;
    std::set<std::string> files;
  } cases[] = {
      {"copy", nullptr, [](auto& d) { d.Fields[1].SetDeclaredSize(30); }, false,
       {"people.DAT", "people.IDX", "people.BLB", "people.DBK", "people.IBK", "people.BBK"}},
      {"copy without backup", nullptr, [](auto& d) { d.Fields[1].SetDeclaredSize(30); }, true,
       {"people.DAT", "people.IDX", "people.BLB"}},
      {"the only BLOB field dropped", nullptr, noMemo, false,
       {"people.DAT", "people.IDX", "people.DBK", "people.IBK", "people.BBK"}},
      {"a BLOB field added", noMemo, nullptr, true, {"people.DAT", "people.IDX", "people.BLB"}},
      {"rebuild", nullptr, [](auto& d) { d.Indexes[1].SetDescending(true); }, false,
       {"people.DAT", "people.IDX", "people.BLB", "people.IBK"}},
      {"rebuild without backup", nullptr, [](auto& d) { d.Indexes[1].SetDescending(true); }, true,
       {"people.DAT", "people.IDX", "people.BLB"}},
      {"descriptors", nullptr, [](auto& d) { d.Fields[1].SetFieldName("Title"); }, false,
       {"people.DAT", "people.IDX", "people.BLB"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TearDown();
    SetUp();
    TTableDefinition d = People();
    if (k.before) k.before(d);
    TDataCursor& c = Filled({{1, "A", 10, ""}, {2, "B", 20, ""}, {3, "C", 30, ""}}, d);
    d = People();
    if (k.change) k.change(d);
    std::vector<TLoss> losses;
    RecordLosses(c, losses);
    c.RestructureTable(d, k.noBackup, -1, false);
    EXPECT_EQ(Files(), k.files);
    c.Open();
    EXPECT_EQ(c.FieldCount(), d.Fields.size());
    ExpectConsistent(c, {1, 2, 3});
    c.Close();
  }
}

TEST_F(MaintenanceTest, ATypeChangeConvertsValuesAndReportsThoseThatDoNot) {
  TDataCursor& c = Filled({{1, "12", 10, ""}, {2, "abc", 20, "m2"}, {3, "", 30, ""}, {4, "-7", 40, ""}});
  TTableDefinition d = People();
  d.Fields[1].SetFieldType(FIELD_INTEGER);  // Name: string -> integer
  d.Fields[2].SetFieldType(FIELD_STRING);   // Amount: integer -> string
  d.Fields[2].SetDeclaredSize(10);
  d.Fields[3] = MakeField(4, "Memo", FIELD_STRING, 20);  // a BLOB does not become a string
  std::vector<TLoss> losses;
  RecordLosses(c, losses);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(losses, (std::vector<TLoss>{{4, "Name"}, {4, "Memo"}}));
  c.Open();
  EXPECT_EQ(c.Field(2).FieldType(), FIELD_INTEGER);
  EXPECT_EQ(c.Field(3).FieldType(), FIELD_STRING);
  std::map<int32_t, std::pair<std::string, std::string>> values;  // Id -> (Name, Amount)
  EachRecord(c, [&](const uint8_t* r) {
    values[IntOf(c, r, "Id")] = {IsNull(c, r, "Name") ? "null" : std::to_string(IntOf(c, r, "Name")),
                                 TextOf(c, r, "Amount")};
  });
  ASSERT_EQ(values.size(), 4u);  // the record whose value did not convert is kept
  EXPECT_EQ(values[1], std::make_pair(std::string("12"), std::string("10")));
  EXPECT_EQ(values[2].second, "20");
  EXPECT_EQ(values[3], std::make_pair(std::string("null"), std::string("30")));
  EXPECT_EQ(values[4], std::make_pair(std::string("-7"), std::string("40")));
  EXPECT_FALSE(c.Table()->HasBlobFile());
  c.SetIndexName("ByName");  // now over integers: null first, -7 before 12
  std::vector<int32_t> byName = Ids(c);
  ASSERT_EQ(byName.size(), 4u);
  EXPECT_EQ(byName.front(), 3);
  EXPECT_LT(std::find(byName.begin(), byName.end(), 4), std::find(byName.begin(), byName.end(), 1));
  ExpectConsistent(c, {1, 2, 3, 4});
}

TEST_F(MaintenanceTest, NarrowerFieldsCutStringsAndRefuseIntegersOutOfRange) {
  TDataCursor& c = Filled({{1, "Alexander", 70000, ""}, {2, "Bo", 20, ""}, {3, "Cyd", -32768, ""}});
  TTableDefinition d = People();
  d.Fields[1].SetDeclaredSize(3);
  d.Fields[2].SetFieldType(FIELD_SMALLINT);
  std::vector<TLoss> losses;
  RecordLosses(c, losses);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(losses, (std::vector<TLoss>{{4, "Amount"}}));
  c.Open();
  std::map<int32_t, std::pair<std::string, int16_t>> values;
  EachRecord(c, [&](const uint8_t* r) {
    int16_t amount = 0;
    c.GetField(c.FieldNumber("Amount"), r, &amount);
    values[IntOf(c, r, "Id")] = {TextOf(c, r, "Name"), amount};
  });
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[1].first, "Ale");
  EXPECT_EQ(values[2], std::make_pair(std::string("Bo"), int16_t(20)));
  EXPECT_EQ(values[3], std::make_pair(std::string("Cyd"), int16_t(-32768)));
  ExpectConsistent(c, {1, 2, 3});
}

TEST_F(MaintenanceTest, ANewAutoIncrementFieldTakesTheRowIdentifiers) {
  TDataCursor& c = Filled(Numbered(5));
  c.Open();
  DeleteId(c, 2);
  const std::map<int32_t, int32_t> rowIds = RowIds(c);
  c.Close();
  TTableDefinition d = People();
  d.Fields.push_back(MakeField(99, "Seq", FIELD_INTEGER, 0, SUBTYPE_AUTOINC));
  std::vector<TLoss> losses;
  RecordLosses(c, losses);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(losses, std::vector<TLoss>{});
  c.Open();
  EXPECT_EQ(RowIds(c), rowIds);
  EachRecord(c, [&](const uint8_t* r) { EXPECT_EQ(IntOf(c, r, "Seq"), rowIds.at(IntOf(c, r, "Id"))); });
  ExpectConsistent(c, {1, 3, 4, 5});
  Append(c, {6, "Six", 60, ""});
  EXPECT_EQ(RowIds(c).at(6), 6);
}

TEST_F(MaintenanceTest, FieldsAreRenumberedInTheirNewOrderAndNewFieldsGetDefaults) {
  TDataCursor& c = Filled({{1, "Cy", 30, "m1"}, {2, "Al", 10, ""}, {3, "Bo", 20, ""}});
  TTableDefinition d = People();
  std::swap(d.Fields[1], d.Fields[2]);  // Amount (number 3) before Name (number 2)
  TFieldDescriptor extra = MakeField(99, "Extra", FIELD_INTEGER);
  extra.SetDefaultValue("7");
  d.Fields.insert(d.Fields.begin(), extra);
  c.RestructureTable(d, true, -1, false);
  c.Open();
  ASSERT_EQ(c.FieldCount(), 5);
  std::vector<std::string> names;
  for (uint16_t i = 1; i <= 5; ++i) {
    EXPECT_EQ(c.Field(i).FieldNumber(), i);
    names.push_back(c.Field(i).FieldName());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Extra", "Id", "Amount", "Name", "Memo"}));
  TTableInformation info = c.GetTableInformation();
  EXPECT_EQ(info.Indexes[0].FieldNumber(0), 2);
  EXPECT_EQ(info.Indexes[1].FieldNumber(0), 4);
  EXPECT_EQ(info.Indexes[2].FieldNumber(0), 3);
  EachRecord(c, [&](const uint8_t* r) { EXPECT_EQ(IntOf(c, r, "Extra"), 7); });
  c.SetIndexName("ByName");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 3, 1}));
  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 3, 1}));
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}}));
  ExpectConsistent(c, {1, 2, 3});
}

// A copy starts each record from the new defaults, but a kept field that was NULL stays
// NULL: defaults are for new fields and new records.
TEST_F(MaintenanceTest, AKeptNullStaysNullThroughACopy) {
  TDataCursor& c = Filled({{1, "Al", 10, ""}, {2, "", 20, ""}});
  TTableDefinition d = People();
  d.Fields[1].SetDefaultValue("dflt");
  d.Fields[1].SetDeclaredSize(30);
  c.RestructureTable(d, true, -1, false);
  c.Open();
  std::map<int32_t, std::string> names;
  EachRecord(c, [&](const uint8_t* r) {
    names[IntOf(c, r, "Id")] = IsNull(c, r, "Name") ? "<null>" : TextOf(c, r, "Name");
  });
  EXPECT_EQ(names, (std::map<int32_t, std::string>{{1, "Al"}, {2, "<null>"}}));
  EXPECT_EQ(TextOf(c, Blank(c).data(), "Name"), "dflt");
  ExpectConsistent(c, {1, 2});
}

TEST_F(MaintenanceTest, ADroppedFieldIsReportedOncePerRecordUnlessStopAsking) {
  TTableDefinition d = People();
  d.Fields.erase(d.Fields.begin() + 2);  // Amount
  d.Indexes.pop_back();                  // and its index
  for (int hook : {0, 1, 2}) {
    const bool stopAsking = hook == 1;
    SCOPED_TRACE(hook == 0 ? "asking every time" : hook == 1 ? "stop asking" : "no hook");
    TearDown();
    SetUp();
    TDataCursor& c = Filled({{1, "A", 10, "m1"}, {2, "B", 20, ""}, {3, "C", 30, "m3"}, {4, "D", 40, ""}});
    std::vector<TLoss> losses;
    if (hook < 2) RecordLosses(c, losses, nullptr, stopAsking);
    c.RestructureTable(d, false, -1, false);
    EXPECT_EQ(losses, std::vector<TLoss>(hook == 0 ? 4 : hook == 1 ? 1 : 0, {3, "Amount"}));
    c.Open();
    EXPECT_EQ(c.FieldCount(), 3);
    EXPECT_EQ(c.Field(3).FieldName(), "Memo");
    EXPECT_EQ(ErrorOf([&] { c.FieldNumber("Amount"); }), VELDOR_OUTOFRANGE);
    EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "m1"}, {3, "m3"}}));
    ExpectConsistent(c, {1, 2, 3, 4});
    c.Close();
  }
}

TEST_F(MaintenanceTest, RecordsThatDoNotFitTheNewDefinitionAreReportedAndLeftOut) {
  const std::vector<TRow> rows{{1, "Ann", 10, "m1"}, {2, "", 20, "m2"}, {3, "Ann", 30, ""}, {4, "Bob", 99, ""}};
  const struct {
    const char* what;
    std::function<void(TTableDefinition&)> change;
    std::vector<TLoss> losses;
    std::vector<int32_t> kept;
  } cases[] = {
      {"a required field", [](auto& d) { d.Fields[1].SetRequired(true); }, {{2, "Name"}}, {1, 3, 4}},
      {"a maximum", [](auto& d) { d.Fields[2].SetMaxValue("50"); }, {{2, "Amount"}}, {1, 2, 3}},
      {"a minimum", [](auto& d) { d.Fields[2].SetMinValue("15"); }, {{2, "Amount"}}, {2, 3, 4}},
      {"a unique index with a copy",
       [](auto& d) {
         d.Fields[1].SetDeclaredSize(30);
         d.Indexes[1].SetUnique(true);
       },
       {{1, "ByName"}},
       {1, 2, 4}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TearDown();
    SetUp();
    TDataCursor& c = Filled(rows);
    TTableDefinition d = People();
    k.change(d);
    std::vector<TLoss> losses;
    RecordLosses(c, losses);
    c.RestructureTable(d, true, -1, false);
    EXPECT_EQ(losses, k.losses);
    c.Open();
    ExpectConsistent(c, k.kept);
    std::map<int32_t, std::string> memos;
    for (int32_t id : k.kept)
      for (const TRow& r : rows)
        if (r.Id == id && !r.Memo.empty()) memos[id] = r.Memo;
    EXPECT_EQ(Memos(c), memos);
    c.Close();
  }
}

TEST_F(MaintenanceTest, StoppingACopyLeavesTheOldTableAndNoTemporaryTable) {
  TDataCursor& c = Filled({{1, "A", 10, "m1"}, {2, "B", 20, ""}, {3, "C", 30, "m3"}, {4, "D", 40, ""}});
  const std::vector<uint8_t> data = Bytes("people.DAT"), index = Bytes("people.IDX"), blob = Bytes("people.BLB");
  TTableDefinition d = People();
  d.Fields.erase(d.Fields.begin() + 2);
  d.Indexes.pop_back();
  std::vector<TLoss> losses;
  RecordLosses(c, losses, [](size_t call) { return call < 2; });
  const std::string tempName = db_->GetTempTableName(false);
  c.RestructureTable(d, false, -1, false);
  EXPECT_EQ(losses, std::vector<TLoss>(2, {3, "Amount"}));
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(Files(), PeopleFiles());
  EXPECT_EQ(Bytes("people.DAT"), data);
  EXPECT_EQ(Bytes("people.IDX"), index);
  EXPECT_EQ(Bytes("people.BLB"), blob);
  EXPECT_EQ(db_->GetTempTableName(false), tempName);
  c.Open();
  EXPECT_EQ(c.FieldCount(), 4);
  int32_t total = 0;
  EachRecord(c, [&](const uint8_t* r) { total += IntOf(c, r, "Amount"); });
  EXPECT_EQ(total, 100);
  ExpectConsistent(c, {1, 2, 3, 4});
}

TEST_F(MaintenanceTest, AnInMemoryTableIsRestructuredInMemory) {
  TDataDirectory* memory = session_->OpenDataDirectory("Memory", "");
  TDataCursor c(memory);
  c.SetTableName("people");
  c.SetInMemory(true);
  c.SetExclusive(true);
  c.CreateTable(People(), true, false);
  c.Open();
  for (const TRow& r : Numbered(6)) Append(c, r);
  DeleteId(c, 3);
  const std::map<int32_t, int32_t> rowIds = RowIds(c);
  const std::map<int32_t, std::string> memos = Memos(c);
  c.Close();
  const size_t files = FileList().Count();
  const std::string tempName = memory->GetTempTableName(true);

  TTableDefinition d = People();
  d.Fields[1].SetDeclaredSize(40);
  c.RestructureTable(d, false, -1, false);
  EXPECT_TRUE(Files().empty());  // nothing on disk, not even in the private directory
  EXPECT_FALSE(FileList().FileExists("people.DBK", true));
  EXPECT_EQ(memory->GetTempTableName(true), tempName);
  EXPECT_EQ(FileList().Count(), files);
  c.Open();
  EXPECT_EQ(c.Field(2).DeclaredSize(), 40);
  EXPECT_EQ(RowIds(c), rowIds);
  EXPECT_EQ(Memos(c), memos);
  ExpectConsistent(c, {1, 2, 4, 5, 6});
  c.Close();
  c.DeleteTable();
  EXPECT_FALSE(FileList().FileExists("people.DAT", true));
}

TEST_F(MaintenanceTest, AnEncryptedTableIsRestructuredWithTheSessionsPasswords) {
  TTableDefinition d = People();
  d.Encrypted = true;
  d.Password = "secret";
  session_->AddPassword("secret");
  TDataCursor& c = Filled({{1, "Alice", 10, "hidden memo"}, {2, "Bob", 20, ""}}, d);
  auto contains = [](const std::vector<uint8_t>& bytes, const std::string& text) {
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
  };
  ASSERT_FALSE(contains(Bytes("people.DAT"), "Alice"));

  // Without the table's password nothing happens.
  session_->DeleteAllPasswords();
  const std::vector<uint8_t> data = Bytes("people.DAT");
  TTableDefinition wider = d;
  wider.Fields[1].SetDeclaredSize(30);
  EXPECT_EQ(ErrorOf([&] { c.RestructureTable(wider, true, -1, false); }), VELDOR_NOTSUFFTABLERIGHTS);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(Bytes("people.DAT"), data);
  EXPECT_EQ(Files(), PeopleFiles());
  session_->AddPassword("secret");

  // A copy into a new password that the session does not hold: it is lent for the copy.
  d.Fields[1].SetDeclaredSize(30);
  d.Password = "newpw";
  c.RestructureTable(d, true, -1, false);
  EXPECT_FALSE(session_->PasswordExists("newpw"));
  EXPECT_TRUE(session_->PasswordExists("secret"));
  EXPECT_EQ(Files(), PeopleFiles());
  EXPECT_FALSE(contains(Bytes("people.DAT"), "Alice"));
  EXPECT_FALSE(contains(Bytes("people.BLB"), "hidden memo"));
  EXPECT_EQ(ErrorOf([&] { c.Open(); }), VELDOR_NOTSUFFTABLERIGHTS);
  session_->AddPassword("newpw");
  c.Open();
  EXPECT_EQ(c.GetTableInformation().Password, "newpw");
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "hidden memo"}}));
  ExpectConsistent(c, {1, 2});
  c.Close();

  // Only the password changes: the descriptors are rewritten, the new password counts.
  d.Password = "third";
  c.RestructureTable(d, true, -1, false);
  session_->DeleteAllPasswords();
  session_->AddPassword("newpw");
  EXPECT_EQ(ErrorOf([&] { c.Open(); }), VELDOR_NOTSUFFTABLERIGHTS);
  session_->AddPassword("third");
  c.Open();
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2}));
  c.Close();

  // Decrypted: a plain table that opens without any password.
  d.Encrypted = false;
  d.Password = "";
  c.RestructureTable(d, true, -1, false);
  session_->DeleteAllPasswords();
  EXPECT_TRUE(contains(Bytes("people.DAT"), "Alice"));
  c.Open();
  EXPECT_FALSE(c.GetTableInformation().Encrypted);
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "hidden memo"}}));
  ExpectConsistent(c, {1, 2});
}

// ---- Progress and auto-increment ---------------------------------------------------------------------

TEST_F(MaintenanceTest, ProgressRisesInTheSessionsStepsToOneHundred) {
  session_->SetProgressSteps(4);
  TDataCursor& c = Filled(Numbered(100));
  std::vector<int> index, restructure;
  c.IndexProgress = [&](int percent) { index.push_back(percent); };
  c.RestructureProgress = [&](int percent) { restructure.push_back(percent); };
  const std::vector<int> quarters{25, 50, 75, 100};

  c.Open();
  c.AddIndex(Index("ById2", {1}, true));
  EXPECT_EQ(index, quarters);
  c.Close();

  TTableDefinition d = People();
  d.Indexes[1].SetDescending(true);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(restructure, quarters);

  restructure.clear();
  d.Fields[1].SetDeclaredSize(30);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(restructure, quarters);

  // One step of 100 percent.
  restructure.clear();
  session_->SetProgressSteps(0);
  d.Fields[1].SetDeclaredSize(25);
  c.RestructureTable(d, true, -1, false);
  EXPECT_EQ(restructure, std::vector<int>{100});
  c.Open();
  EXPECT_EQ(c.GetRecordCount(), 100);
}

TEST_F(MaintenanceTest, TheLastAutoIncrementValueIsKeptOrSet) {
  const struct {
    const char* what;
    std::function<void(TTableDefinition&)> change;
  } kinds[] = {
      {"descriptors", [](auto& d) { d.Fields[3].SetFieldName("Notes"); }},
      {"rebuild", [](auto& d) { d.Indexes[1].SetDescending(true); }},
      {"copy", [](auto& d) { d.Fields[1].SetDeclaredSize(30); }},
  };
  for (const auto& k : kinds) {
    for (int32_t value : {-1, 100}) {
      SCOPED_TRACE(std::string(k.what) + " " + std::to_string(value));
      TearDown();
      SetUp();
      TDataCursor& c = Filled(Numbered(3));
      TTableDefinition d = People();
      k.change(d);
      c.RestructureTable(d, true, value, false);
      const int32_t expected = value == -1 ? 3 : value;
      EXPECT_EQ(c.GetDataHeader().LastAutoInc(), expected);
      c.Open();
      EXPECT_EQ(c.GetTableInformation().LastAutoInc, expected);
      Append(c, {50, "New", 500, ""});
      EXPECT_EQ(RowIds(c).at(50), expected + 1);
      c.Close();
    }
  }
}

TEST_F(MaintenanceTest, ManyPagesOfKeysSurviveRemovalsRebuildsAndCopies) {
  std::vector<TRow> rows;
  for (int i = 1; i <= 1200; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "N%04d", i % 400);
    rows.push_back({i, name, i, i % 50 == 0 ? "memo " + std::to_string(i) : ""});
  }
  TDataCursor& c = Filled(rows);
  std::vector<int32_t> kept;
  std::map<int32_t, std::string> memos;
  for (int i = 1; i <= 400; ++i) {
    kept.push_back(i);
    if (i % 50 == 0) memos[i] = "memo " + std::to_string(i);
  }
  c.Open();
  ASSERT_GT(c.Table()->IndexFile().PageCount(), 12);  // trees of several levels' worth of pages
  c.AddIndex(Index("UName", {2}, true));
  ExpectConsistent(c, kept);
  EXPECT_EQ(Memos(c), memos);
  c.Close();

  TTableDefinition d = People();
  d.Indexes.push_back(Index("UName", {2}, true, true));
  c.RestructureTable(d, true, -1, false);  // UName now descending: a rebuild
  c.Open();
  c.SetIndexName("UName");
  EXPECT_EQ(Ids(c).front(), 399);
  ExpectConsistent(c, kept);
  c.Close();
  d.Fields[1].SetDeclaredSize(8);
  c.RestructureTable(d, true, -1, false);  // a copy
  c.Open();
  ExpectConsistent(c, kept);
  EXPECT_EQ(Memos(c), memos);
}

// ---- Settings of a closed table, emptying, renaming ----------------------------------------------

TEST_F(MaintenanceTest, SettingsOfAClosedTable) {
  TTableDefinition d = People();
  d.Description = "Staff";
  d.UserMajorVersion = 2;
  d.UserMinorVersion = 5;
  d.BlobBlockSize = 1024;
  TDataCursor& c = Filled(Numbered(3), d);
  c.Open();
  const uint16_t recordSize = c.RecordSize();
  const TTableInformation open = c.GetTableInformation();
  c.Close();

  TDataHeader h = c.GetDataHeader();
  EXPECT_EQ(h.FieldCount(), 4);
  EXPECT_EQ(h.RecordSize(), recordSize);
  EXPECT_EQ(h.NextRecordNumber(), 4);
  EXPECT_EQ(h.LastAutoInc(), 3);
  EXPECT_EQ(h.BlobBlockSize(), 1024u);
  EXPECT_EQ(h.Description(), "Staff");
  EXPECT_EQ(h.UserMajorVersion(), 2);
  EXPECT_EQ(h.UserMinorVersion(), 5);
  EXPECT_FALSE(h.Encrypted());

  TTableInformation info = c.GetTableInformation();
  EXPECT_FALSE(c.IsOpen());
  ASSERT_EQ(info.Fields.size(), 4u);
  for (size_t i = 0; i < info.Fields.size(); ++i) EXPECT_EQ(info.Fields[i].Bytes, open.Fields[i].Bytes);
  ASSERT_EQ(info.Indexes.size(), 3u);
  for (size_t i = 0; i < info.Indexes.size(); ++i) EXPECT_EQ(info.Indexes[i].Bytes, open.Indexes[i].Bytes);
  EXPECT_EQ(IndexNames(info), (std::vector<std::string>{"", "ByName", "ByAmount"}));
  EXPECT_FALSE(info.NoPrimaryKey);
  EXPECT_EQ(info.RecordSize, recordSize);
  EXPECT_EQ(info.BlobBlockSize, 1024u);
  EXPECT_EQ(info.Description, "Staff");
  EXPECT_EQ(info.UserMajorVersion, 2);
  EXPECT_EQ(info.UserMinorVersion, 5);
  EXPECT_EQ(info.LastAutoInc, 3);
  EXPECT_EQ(info.RecordCount, 3);
  // Nothing was left open: the table can be taken exclusively and deleted.
  c.Open();
  c.Close();
  c.DeleteTable();
  EXPECT_TRUE(Files().empty());
}

TEST_F(MaintenanceTest, AClosedEncryptedTableShowsItsSettingsOnlyWithThePassword) {
  TTableDefinition d = People();
  d.Encrypted = true;
  d.Password = "secret";
  d.Description = "Vault";
  session_->AddPassword("secret");
  TDataCursor& c = Filled(Numbered(2), d);
  session_->DeleteAllPasswords();
  EXPECT_EQ(ErrorOf([&] { c.GetDataHeader(); }), VELDOR_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(ErrorOf([&] { c.GetTableInformation(); }), VELDOR_NOTSUFFTABLERIGHTS);
  int asked = 0;
  c.SetPasswordCallback([&](TDataCursor&) {
    session_->AddPassword(++asked == 1 ? "wrong" : "secret");
    return true;
  });
  TDataHeader h = c.GetDataHeader();
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(h.Encrypted());
  EXPECT_EQ(h.Description(), "Vault");
  EXPECT_EQ(h.Password(), "secret");
  TTableInformation info = c.GetTableInformation();
  EXPECT_EQ(info.Description, "Vault");
  EXPECT_EQ(info.RecordCount, 2);
}

TEST_F(MaintenanceTest, EmptyTableLeavesAnEmptyUsableTable) {
  TDataCursor& c = Filled({{1, "A", 10, std::string(3000, 'm')}, {2, "B", 20, ""}, {3, "C", 30, "m3"}});
  c.Open();
  c.SetIndexName("ByAmount");
  c.EmptyTable();
  EXPECT_TRUE(c.IsOpen());
  EXPECT_EQ(c.GetRecordCount(), 0);
  std::vector<uint8_t> image(c.RecordSize());
  EXPECT_EQ(c.GetNextRecord(image.data()), VELDOR_EOF);
  ExpectIndexesHold(c, {});
  EXPECT_EQ(Bytes("people.DAT").size(), kDataHeaderSize + 4 * kFieldDescriptorSize);
  EXPECT_EQ(c.Table()->BlobFile().BlockCount(), 0);
  EXPECT_EQ(IndexNames(c.GetTableInformation()), (std::vector<std::string>{"", "ByName", "ByAmount"}));

  // The same keys and BLOBs fit again.
  Append(c, {1, "A", 10, "again"});
  Append(c, {3, "C", 30, ""});
  EXPECT_EQ(ErrorOf([&] { Append(c, {4, "D", 10, ""}); }), VELDOR_KEYVIOL);
  ExpectConsistent(c, {1, 3});
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "again"}}));
}

TEST_F(MaintenanceTest, RenameAndDeleteTakeAllThreeFiles) {
  TDataCursor& c = Filled({{1, "A", 10, "memo"}, {2, "B", 20, ""}});
  c.RenameTable(dir_ + "staff.dat");
  EXPECT_EQ(c.TableName(), "staff");
  EXPECT_EQ(Files(), (std::set<std::string>{"staff.DAT", "staff.IDX", "staff.BLB"}));
  c.Open();
  EXPECT_EQ(Memos(c), (std::map<int32_t, std::string>{{1, "memo"}}));
  ExpectConsistent(c, {1, 2});
  c.Close();
  c.DeleteTable();
  EXPECT_TRUE(Files().empty());
}

}  // namespace
}  // namespace veldor::test
