// Creating, testing for and deleting tables through the table component, and the
// maintenance operations it offers.
#include <unistd.h>

#include "tests/components/component_fixture.h"
#include "toolkit/number_fields.h"
#include "toolkit/string_field.h"

namespace veldor::test {
namespace {

class CreateDelete : public ComponentTest {
 protected:
  static void DefineItems(TVELDORTable& t) {
    t.FieldDefs().Add("Id", ftInteger, 0, true);
    t.FieldDefs().Add("Name", ftString, 20);
    t.FieldDefs().Add("Note", ftMemo);
    t.FieldDefs().Add("Price", ftCurrency);
    t.FieldDefs().Add("Cost", ftBCD, 2);
  }
  static void Add(TVELDORTable& t, int id, const std::string& name) {
    t.Append();
    t.FieldByName("Id").SetAsInteger(id);
    t.FieldByName("Name").SetAsString(name);
    t.Post();
  }
  bool FileExists(const std::string& name) { return access((dir_ + name).c_str(), F_OK) == 0; }
};

TEST_F(CreateDelete, CreateWithAPrimaryIndexFromTheDefinitions) {
  TVELDORTable& t = Table("items");
  EXPECT_FALSE(t.Exists());
  DefineItems(t);
  t.IndexDefs().Add("ByName", "Name", ixCaseInsensitive);
  t.IndexDefs().Add("", "Id", ixPrimary | ixUnique);  // moved to the front
  t.CreateTable();
  EXPECT_TRUE(t.Exists());
  EXPECT_TRUE(FileExists("items.DAT"));

  t.Open();
  EXPECT_TRUE(t.Exists());
  Add(t, 3, "c");
  Add(t, 1, "B");
  Add(t, 2, "a");
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3}));
  t.SetIndexName("ByName");
  EXPECT_EQ(Ids(t), (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(t.FieldByName("Price").DataType(), ftCurrency);
  EXPECT_EQ(t.FieldByName("Cost").Size(), 2);
  EXPECT_TRUE(t.FieldByName("Id").Required());
  ASSERT_EQ(t.IndexDefs().Count(), 2);
  EXPECT_EQ(t.IndexDefs()[0].Options, ixPrimary | ixUnique);
  EXPECT_EQ(t.IndexDefs()[1].Options, ixCaseInsensitive);
  EXPECT_EQ(DatabaseMessageOf([&] { t.CreateTable(); }), "Cannot perform this operation on an open dataset");
  EXPECT_EQ(DatabaseMessageOf([&] { t.DeleteTable(); }), "Cannot perform this operation on an open dataset");
}

TEST_F(CreateDelete, AFirstIndexThatIsNotPrimaryGivesNoPrimaryKey) {
  TVELDORTable& t = Table("loose");
  DefineItems(t);
  t.IndexDefs().Add("ByName", "Name", 0);
  t.IndexDefs().Add("ById", "Id", ixUnique);
  t.CreateTable();
  t.Open();
  Add(t, 3, "c");
  Add(t, 1, "a");
  Add(t, 2, "b");
  EXPECT_EQ(Ids(t), (std::vector<int>{3, 1, 2}));  // natural (record) order
  EXPECT_EQ(t.BookmarkSize(), 4);
  ASSERT_EQ(t.IndexDefs().Count(), 2);
  EXPECT_EQ(t.IndexDefs()[0].Name, "ByName");
  EXPECT_EQ(t.IndexDefs()[1].Name, "ById");
  EXPECT_EQ(t.IndexDefs()[1].Options, ixUnique);
  t.SetIndexName("ById");
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3}));
  t.Append();
  t.FieldByName("Id").SetAsInteger(2);
  EXPECT_EQ(EngineCodeOf([&] { t.Post(); }), VELDOR_KEYVIOL);
  t.Cancel();
}

TEST_F(CreateDelete, CreatingAnExistingTableFailsAndChangesNothing) {
  MakePeople();
  TVELDORTable& t = Table();
  DefineItems(t);
  EXPECT_EQ(EngineCodeOf([&] { t.CreateTable(); }), VELDOR_TABLEEXISTS);
  EXPECT_EQ(t.Database(), nullptr);
  t.FieldDefs().Clear();
  t.Open();
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_NE(t.FindField("Amount"), nullptr);
}

TEST_F(CreateDelete, DefinitionsTheEngineCannotTakeAreRefused) {
  TVELDORTable& t = Table("bad");
  t.FieldDefs().Add("Id", ftInteger);
  t.IndexDefs().Add("ByNothing", "Missing", 0);
  EXPECT_EQ(DatabaseMessageOf([&] { t.CreateTable(); }), "Field definition 'Missing' not found");
  t.IndexDefs().Clear();
  t.FieldDefs().Add("Anything", ftVariant);
  EXPECT_EQ(EngineCodeOf([&] { t.CreateTable(); }), VELDOR_INVALIDFLDTYPE);
  EXPECT_FALSE(t.Exists());
  TVELDORTable none;
  none.SetDatabaseName(dir_);
  EXPECT_EQ(DatabaseMessageOf([&] { none.CreateTable(); }), "Missing table name.");
  EXPECT_FALSE(none.Exists());
}

TEST_F(CreateDelete, PersistentFieldsServeWhenThereAreNoDefinitions) {
  TVELDORTable& t = Table("fromfields");
  t.AddField<TIntegerField>("Id", fkData).SetRequired(true);
  t.AddField<TStringField>("Name", fkData, 12);
  t.CreateTable();
  t.FieldDefs().Clear();
  t.Open();
  EXPECT_EQ(t.FieldDefs().Count(), 2);
  EXPECT_EQ(t.FieldDefs().FieldDefByName("Name").Size, 12);
  EXPECT_TRUE(t.FieldDefs().FieldDefByName("Id").Required);
}

TEST_F(CreateDelete, DeleteTableRemovesTheFiles) {
  MakePeople();
  TVELDORTable& t = Table();
  EXPECT_TRUE(t.Exists());
  TVELDORTable& other = Table();
  other.Open();
  EXPECT_EQ(EngineCodeOf([&] { t.DeleteTable(); }), VELDOR_OSEACCES);  // in use
  other.Close();
  t.DeleteTable();
  EXPECT_FALSE(t.Exists());
  EXPECT_FALSE(FileExists("people.DAT"));
  EXPECT_FALSE(FileExists("people.IDX"));
  EXPECT_EQ(EngineCodeOf([&] { t.Open(); }), VELDOR_OSENOENT);
}

TEST_F(CreateDelete, InMemoryTablesLiveInTheMemoryDatabase) {
  TVELDORTable t;
  t.SetInMemory(true);
  t.SetTableName("scratch");
  EXPECT_EQ(t.DatabaseName(), "Memory");
  DefineItems(t);
  t.CreateTable();
  EXPECT_TRUE(t.Exists());
  t.Open();
  Add(t, 1, "one");
  EXPECT_EQ(t.Database()->Handle()->Path(), "");
  t.Close();
  t.Open();
  EXPECT_EQ(t.RecordCount(), 1);
  t.Close();
  t.DeleteTable();
  EXPECT_FALSE(t.Exists());
  EXPECT_FALSE(FileExists("scratch.DAT"));
}

TEST_F(CreateDelete, MaintenanceThroughATemporaryExclusiveCursor) {
  MakePeople();
  TVELDORTable& t = Table();
  std::vector<int> progress;
  t.OnIndexProgress = [&](TVELDORTable&, int percent) { progress.push_back(percent); };
  t.AddIndex("ByNameExact", "Name;Amount", ixUnique);
  EXPECT_FALSE(progress.empty());
  t.UpdateIndexDefs();
  ASSERT_NE(t.IndexDefs().Find("ByNameExact"), nullptr);
  EXPECT_EQ(t.IndexDefs().Find("ByNameExact")->Fields, "Name;Amount");

  std::vector<std::string> log;
  std::vector<int> steps;
  t.OnVerifyLog = [&](TVELDORTable&, const std::string& line) { log.push_back(line); };
  t.OnVerifyProgress = [&](TVELDORTable&, const std::string&, int percent) { steps.push_back(percent); };
  EXPECT_TRUE(t.VerifyTable());
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(steps.empty());

  t.SetIndexName("ByNameExact");
  t.Open();
  EXPECT_EQ(Ids(t), (std::vector<int>{5, 4, 2, 1, 3}));  // case counts: "Smith" before "smalley"
  EXPECT_EQ(DatabaseMessageOf([&] { t.EmptyTable(); }), "Cannot perform this operation on an open dataset");
  t.Close();
  t.DeleteIndex("ByNameExact");
  t.SetIndexName("");
  t.EmptyTable();
  t.RenameTable("renamed");
  EXPECT_EQ(t.TableName(), "renamed");
  EXPECT_TRUE(FileExists("renamed.DAT"));
  t.Open();
  EXPECT_TRUE(t.IsEmpty());
  t.UpdateIndexDefs();
  EXPECT_EQ(t.IndexDefs().Find("ByNameExact"), nullptr);
}

}  // namespace
}  // namespace veldor::test
