// The table component reading a table: names and directories, walking in indexes, field
// definitions, ranges, record numbers and bookmarks, and the refusals of a closed or
// misnamed table.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/components/component_fixture.h"
#include "toolkit/string_field.h"

namespace veldor::test {
namespace {

class TableNavigation : public ComponentTest {};

TEST_F(TableNavigation, TableNameWithADirectoryMovesItIntoDatabaseName) {
  TVELDORTable t;
  t.SetTableName("/data/customer.dat");
  EXPECT_EQ(t.DatabaseName(), "/data/");
  EXPECT_EQ(t.TableName(), "customer.dat");
  t.SetTableName("orders");
  EXPECT_EQ(t.DatabaseName(), "/data/");
  EXPECT_EQ(t.TableName(), "orders");

  TVELDORTable memory;
  memory.SetInMemory(true);
  memory.SetTableName("/data/customer.dat");
  EXPECT_EQ(memory.DatabaseName(), "Memory");
  EXPECT_EQ(memory.TableName(), "customer.dat");
  memory.SetDatabaseName("/elsewhere/");
  EXPECT_EQ(memory.DatabaseName(), "Memory");
}

TEST_F(TableNavigation, WalksThePrimaryIndexAndASecondaryIndexBothWays) {
  MakePeople();
  TVELDORTable& t = Table("PEOPLE.DAT");  // file names match without regard to case
  t.Open();
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(Ids(t, true), (std::vector<int>{5, 4, 3, 2, 1}));

  // ByName is case-insensitive; the NULL name sorts first.
  t.SetIndexName("ByName");
  EXPECT_EQ(Ids(t), (std::vector<int>{5, 4, 2, 3, 1}));
  EXPECT_EQ(t.IndexFieldCount(), 1);
  EXPECT_TRUE(t.IndexCaseInsensitive());
  t.SetIndexFieldNames("Amount");
  EXPECT_EQ(t.IndexName(), "");
  EXPECT_EQ(t.IndexFieldNames(), "Amount");
  EXPECT_EQ(Ids(t), (std::vector<int>{2, 4, 1, 5, 3}));
  t.SetIndexName("");
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(TableNavigation, SwitchingTheIndexKeepsTheCurrentRecord) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 3, 0));
  t.SetIndexName("ByAmount");
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);
  t.Next();
  EXPECT_TRUE(t.Eof());  // 500 is the largest amount
  EXPECT_EQ(t.FieldByName("Amount").AsInteger(), 500);
  EXPECT_EQ(t.BookmarkSize(), t.KeySize());
}

TEST_F(TableNavigation, RecordNumbersAndBookmarks) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetIndexName("ByAmount");
  t.Open();
  t.SetRecNo(3);
  EXPECT_EQ(t.RecNo(), 3);
  EXPECT_EQ(t.FieldByName("Amount").AsInteger(), 300);
  TBookmark mark = t.GetBookmark();
  t.First();
  EXPECT_EQ(t.CompareBookmarks(t.GetBookmark(), mark), -1);
  EXPECT_EQ(t.CompareBookmarks(mark, mark), 0);
  EXPECT_EQ(t.CompareBookmarks({}, mark), 1);
  EXPECT_TRUE(t.BookmarkValid(mark));
  t.GotoBookmark(mark);
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
}

TEST_F(TableNavigation, AnEmptyTableIsEmptyAndItsFieldsAreNull) {
  MakeTable("empty", People());
  TVELDORTable& t = Table("empty");
  t.Open();
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_FALSE(t.FieldByName("Name").GetData(nullptr));
  EXPECT_TRUE(t.FieldByName("Id").IsNull());
}

TEST_F(TableNavigation, FieldDefinitionsFollowTheDescriptors) {
  TTableDefinition d;
  d.Fields = {Field(1, "Name", FIELD_STRING, 10), Field(2, "Wide", FIELD_EXTENDED),
              Field(3, "Price", FIELD_FLOAT, 0, SUBTYPE_MONEY), Field(4, "Counter", FIELD_INTEGER, 0, SUBTYPE_AUTOINC),
              Field(5, "Picture", FIELD_BLOB, 0, SUBTYPE_GRAPHIC), Field(6, "Amount", FIELD_BCD),
              Field(7, "When", FIELD_TIMESTAMP), Field(8, "Big", FIELD_LARGEINT)};
  d.Fields[1].SetRequired(true);
  d.Fields[5].SetDeclaredScale(2);
  d.Indexes = {TIndexDescriptor()};
  MakeTable("kinds", d);
  TVELDORTable& t = Table("kinds");
  t.Open();
  // The extended field has no definition and no field.
  ASSERT_EQ(t.FieldDefs().Count(), 7);
  EXPECT_EQ(t.FindField("Wide"), nullptr);
  struct TExpected {
    const char* Name;
    TFieldType Type;
    int Size;
  };
  const TExpected expected[] = {{"Name", ftString, 10},   {"Price", ftCurrency, 0}, {"Counter", ftAutoInc, 0},
                                {"Picture", ftGraphic, 0}, {"Amount", ftBCD, 2},     {"When", ftDateTime, 0},
                                {"Big", ftLargeint, 0}};
  for (const TExpected& e : expected) {
    SCOPED_TRACE(e.Name);
    const TFieldDef& def = t.FieldDefs().FieldDefByName(e.Name);
    EXPECT_EQ(def.DataType, e.Type);
    EXPECT_EQ(def.Size, e.Size);
    EXPECT_EQ(t.FieldByName(e.Name).DataType(), e.Type);
  }
  EXPECT_EQ(t.FieldDefs().FieldDefByName("Price").FieldNo, 3);
  EXPECT_EQ(t.FieldDefs().FieldDefByName("Amount").Precision, 32);
}

TEST_F(TableNavigation, DuplicateFieldNamesBecomeNameAndName_1) {
  // Two descriptors of one name, as a result set joining two tables has them.
  std::vector<TFieldDescriptor> fields = {Field(1, "Name", FIELD_STRING, 10), Field(2, "name", FIELD_STRING, 5),
                                          Field(3, "Name_1", FIELD_INTEGER), Field(4, "NAME", FIELD_INTEGER)};
  TFieldDefs defs;
  FillFieldDefs(defs, fields);
  ASSERT_EQ(defs.Count(), 4);
  EXPECT_EQ(defs[0].Name, "Name");
  EXPECT_EQ(defs[1].Name, "name_1");
  EXPECT_EQ(defs[2].Name, "Name_1_1");  // formed from its own first name
  EXPECT_EQ(defs[3].Name, "NAME_2");
  EXPECT_EQ(defs[3].FieldNo, 4);
  // A hidden result column gets none.
  fields[2].Bytes[252] = 1;
  FillFieldDefs(defs, fields);
  EXPECT_EQ(defs.Count(), 3);
}

TEST_F(TableNavigation, ClosedTableReadsItsDefinitions) {
  MakePeople();
  TVELDORTable& t = Table();
  t.InitFieldDefs();
  EXPECT_EQ(t.FieldDefs().Count(), 4);
  t.UpdateIndexDefs();
  ASSERT_EQ(t.IndexDefs().Count(), 3);
  EXPECT_EQ(t.IndexDefs()[0].Options, ixPrimary | ixUnique);
  EXPECT_EQ(t.IndexDefs()[0].Fields, "Id");
  EXPECT_EQ(t.IndexDefs()[1].Name, "ByName");
  EXPECT_EQ(t.IndexDefs()[1].Options, ixCaseInsensitive);
  EXPECT_EQ(t.IndexDefs()[2].Options, ixUnique);
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(t.Database(), nullptr);  // the flags that held the database are cleared
}

TEST_F(TableNavigation, ReadOnlyReadsTrueOnReadOnlyFiles) {
  MakePeople();
  for (const char* ext : {".DAT", ".IDX", ".BLB"}) chmod((dir_ + "people" + ext).c_str(), 0444);
  TVELDORTable& t = Table();
  t.SetReadOnly(false);
  t.Open();
  EXPECT_TRUE(t.ReadOnly());
  EXPECT_FALSE(t.CanModify());
  EXPECT_EQ(DatabaseMessageOf([&] { t.Edit(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(t.RecordCount(), 5);
}

TEST_F(TableNavigation, RangesWithKeyBuffers) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetIndexName("ByAmount");
  t.Open();
  t.SetRange({TVariant(200)}, {TVariant(400)});
  EXPECT_TRUE(t.RangeActive());
  EXPECT_EQ(Ids(t), (std::vector<int>{4, 1, 5}));
  EXPECT_EQ(t.RecordCount(), 3);

  // Only a start: to the end of the index.
  t.SetRangeStart();
  t.FieldByName("Amount").SetAsInteger(400);
  t.Post();
  t.SetRangeEnd();
  t.Post();  // nothing set: no end
  t.ApplyRange();
  EXPECT_EQ(Ids(t), (std::vector<int>{5, 3}));

  // Start above end: empty.
  t.SetRange({TVariant(450)}, {TVariant(150)});
  EXPECT_TRUE(t.IsEmpty());

  // A cancelled key edit restores the range start.
  t.SetRange({TVariant(100)}, {TVariant(200)});
  t.EditRangeStart();
  t.FieldByName("Amount").SetAsInteger(150);
  t.Cancel();
  t.ApplyRange();
  EXPECT_EQ(Ids(t), (std::vector<int>{2, 4}));

  t.CancelRange();
  EXPECT_FALSE(t.RangeActive());
  EXPECT_EQ(t.RecordCount(), 5);
}

TEST_F(TableNavigation, KeySearchesAndTheirRefusals) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetIndexName("ByAmount");
  t.Open();
  EXPECT_TRUE(t.FindKey({TVariant(200)}));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 4);
  EXPECT_FALSE(t.FindKey({TVariant(250)}));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 4);  // an exact search that fails stays
  t.FindNearest({TVariant(250)});
  EXPECT_EQ(t.FieldByName("Amount").AsInteger(), 300);

  t.SetKey();
  EXPECT_EQ(t.State(), dsSetKey);
  EXPECT_EQ(DatabaseMessageOf([&] { t.FieldByName("Name").SetAsString("x"); }),
            "Field Name is not in the current index.");
  t.Cancel();
  EXPECT_EQ(t.State(), dsBrowse);
  EXPECT_EQ(DatabaseMessageOf([&] { t.FindKey({TVariant(1), TVariant(2)}); }), "Field index out of range.");
  EXPECT_EQ(t.State(), dsBrowse);
  EXPECT_EQ(DatabaseMessageOf([&] { t.IndexField(1); }), "Field index out of range.");

  // A field the program left out of its persistent fields cannot be an index field.
  TVELDORTable& narrow = Table();
  narrow.AddField<TStringField>("Name", fkData, 20);
  narrow.Open();
  EXPECT_EQ(DatabaseMessageOf([&] { narrow.IndexField(0); }), "Cannot access index field Id.");
}

TEST_F(TableNavigation, NamesAndOptionsThatFailTheOpen) {
  MakePeople();
  TVELDORTable none;
  EXPECT_EQ(DatabaseMessageOf([&] { none.Open(); }), "Missing table name.");
  EXPECT_EQ(DatabaseMessageOf([&] { none.InitFieldDefs(); }), "Missing table name.");

  // A data set that makes no cursor fails its open and lets its database go again.
  TVELDORDBDataSet bare;
  bare.SetDatabaseName(dir_);
  EXPECT_EQ(DatabaseMessageOf([&] { bare.Open(); }), "Error creating table handle.");
  EXPECT_FALSE(bare.Active());
  EXPECT_EQ(bare.Database(), nullptr);

  TVELDORTable& missing = Table("nosuch");
  EXPECT_EQ(EngineCodeOf([&] { missing.Open(); }), VELDOR_OSENOENT);
  EXPECT_FALSE(missing.Active());
  EXPECT_EQ(missing.Handle(), nullptr);

  TVELDORTable& wrongIndex = Table();
  wrongIndex.SetIndexFieldNames("Memo");
  EXPECT_EQ(DatabaseMessageOf([&] { wrongIndex.Open(); }), "No index for fields 'Memo'");
  EXPECT_FALSE(wrongIndex.Active());
  wrongIndex.SetIndexName("NoSuchIndex");
  EXPECT_EQ(EngineCodeOf([&] { wrongIndex.Open(); }), VELDOR_INVALIDINDEXNAME);
  EXPECT_FALSE(wrongIndex.Active());

  TVELDORTable& t = Table();
  t.Open();
  for (auto change : std::vector<std::function<void()>>{[&] { t.SetTableName("other"); },
                                                         [&] { t.SetExclusive(true); },
                                                         [&] { t.SetReadOnly(true); },
                                                         [&] { t.SetInMemory(true); },
                                                         [&] { t.SetDatabaseName("/x/"); }})
    EXPECT_EQ(DatabaseMessageOf(change), "Cannot perform this operation on an open dataset");
  // An index change that fails leaves the table open on its index.
  EXPECT_EQ(EngineCodeOf([&] { t.SetIndexName("NoSuchIndex"); }), VELDOR_INVALIDINDEXNAME);
  EXPECT_TRUE(t.Active());
  EXPECT_EQ(t.RecordCount(), 5);
}

TEST_F(TableNavigation, ExclusiveOpenConflictsWithAnotherOpen) {
  MakePeople();
  TVELDORTable& shared = Table();
  shared.Open();
  TVELDORTable& exclusive = Table();
  exclusive.SetExclusive(true);
  EXPECT_EQ(EngineCodeOf([&] { exclusive.Open(); }), VELDOR_OSEACCES);
  EXPECT_FALSE(exclusive.Active());
  shared.Close();
  exclusive.Open();
  EXPECT_TRUE(exclusive.Active());
}

}  // namespace
}  // namespace veldor::test
