// Master-detail: a detail table whose range follows its master's fields through a data
// source, new detail records taking the master's values, and the links that are refused.
#include "tests/components/component_fixture.h"

namespace veldor::test {
namespace {

class MasterDetail : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    MakeTable("owners", People(), {{1, "Smith", 10, ""}, {2, "Jones", 20, ""}, {3, "Brown", 30, ""}});
    // Items: ItemId (primary), OwnerId, Label; "ByOwner" on OwnerId, not unique.
    TTableDefinition items;
    items.Fields = {Field(1, "ItemId", FIELD_INTEGER), Field(2, "OwnerId", FIELD_INTEGER),
                    Field(3, "Label", FIELD_STRING, 10)};
    items.Indexes = {Index("", {1}, true), Index("ByOwner", {2}, false)};
    MakeTable("items", items);
    TVELDORTable& t = Table("items");
    t.Open();
    const int rows[][2] = {{10, 1}, {11, 1}, {12, 2}, {13, 1}, {14, 3}, {15, 3}};
    for (const auto& row : rows) {
      t.Append();
      t.FieldByName("ItemId").SetAsInteger(row[0]);
      t.FieldByName("OwnerId").SetAsInteger(row[1]);
      t.Post();
    }
    t.Close();
  }

  static std::vector<int> ItemIds(TDataSet& t) {
    std::vector<int> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName("ItemId").AsInteger());
    return out;
  }
};

TEST_F(MasterDetail, TheDetailFollowsEveryMoveOfTheMaster) {
  TVELDORTable& master = Table("owners");
  TDataSource source;
  source.SetDataSet(&master);
  TVELDORTable& detail = Table("items");
  detail.SetIndexName("ByOwner");
  detail.SetMasterSource(&source);
  detail.SetMasterFields("Id");
  master.Open();
  detail.Open();
  EXPECT_EQ(ItemIds(detail), (std::vector<int>{10, 11, 13}));
  EXPECT_EQ(detail.RecordCount(), 3);

  int scrolls = 0;
  detail.AfterScroll = [&](TDataSet&) { ++scrolls; };
  master.Next();
  EXPECT_EQ(detail.FieldByName("ItemId").AsInteger(), 12);
  EXPECT_EQ(detail.RecordCount(), 1);
  EXPECT_GT(scrolls, 0);
  master.Last();
  EXPECT_EQ(ItemIds(detail), (std::vector<int>{14, 15}));
  master.First();
  EXPECT_EQ(detail.FieldByName("ItemId").AsInteger(), 10);

  // A new detail record takes the master's key into its index field.
  master.Next();
  detail.Append();
  EXPECT_EQ(detail.FieldByName("OwnerId").AsInteger(), 2);
  detail.FieldByName("ItemId").SetAsInteger(16);
  detail.Post();
  EXPECT_EQ(ItemIds(detail), (std::vector<int>{12, 16}));

  // A master that closes lets go of the range.
  master.Close();
  EXPECT_FALSE(detail.RangeActive());
  EXPECT_EQ(detail.RecordCount(), 7);
  master.Open();
  EXPECT_EQ(detail.RecordCount(), 3);

  // Changing the detail's index applies the master range again.
  detail.SetIndexFieldNames("OwnerId");
  EXPECT_TRUE(detail.RangeActive());
  EXPECT_EQ(ItemIds(detail), (std::vector<int>{10, 11, 13}));
}

TEST_F(MasterDetail, CircularLinksAreRefused) {
  TVELDORTable& a = Table("owners");
  TVELDORTable& b = Table("items");
  TDataSource sourceA, sourceB;
  sourceA.SetDataSet(&a);
  sourceB.SetDataSet(&b);
  b.SetMasterSource(&sourceA);
  EXPECT_EQ(DatabaseMessageOf([&] { a.SetMasterSource(&sourceB); }), "Circular data links are not allowed.");
  EXPECT_EQ(DatabaseMessageOf([&] { a.SetMasterSource(&sourceA); }), "Circular data links are not allowed.");
  EXPECT_EQ(a.MasterSource(), nullptr);
}

TEST_F(MasterDetail, AMasterFieldTheDetailIndexLacksFailsClearly) {
  TVELDORTable& master = Table("owners");
  TDataSource source;
  source.SetDataSet(&master);
  TVELDORTable& detail = Table("items");
  detail.SetIndexName("ByOwner");
  detail.SetMasterSource(&source);
  detail.SetMasterFields("Id;Amount");  // two master fields, a one-field index
  master.Open();
  EXPECT_EQ(DatabaseMessageOf([&] { detail.Open(); }), "Field index out of range.");
  EXPECT_FALSE(detail.Active());
  detail.SetMasterFields("Id");
  detail.Open();
  EXPECT_EQ(detail.RecordCount(), 3);
}

}  // namespace
}  // namespace veldor::test
