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
}  // namespace
}  // namespace veldor::test
