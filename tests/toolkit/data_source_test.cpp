// Data sources and data links: what a link hears, disabled controls, the link's window,
// master-detail links, detail links, and components destroyed in either order.
#include <gtest/gtest.h>

#include "tests/toolkit/memory_dataset.h"

namespace veldor::test {
namespace {

// Records every notice as text.
class TRecordingLink : public TDetailDataLink {
 public:
  std::vector<std::string> Heard;

 protected:
  void ActiveChanged() override { Heard.push_back(Active() ? "active" : "inactive"); }
  void CheckBrowseMode() override { Heard.push_back("check"); }
  void DataSetChanged() override { Heard.push_back("changed"); }
  void DataSetScrolled(int distance) override { Heard.push_back("scrolled " + std::to_string(distance)); }
  void EditingChanged() override { Heard.push_back(Editing() ? "editing" : "not editing"); }
  void RecordChanged(TField* field) override {
    Heard.push_back(field ? "record " + field->FieldName() : "record");
  }
  void UpdateData() override { Heard.push_back("update"); }
};

class DataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds.DefineField("N", ftInteger);
    for (int i = 1; i <= 6; ++i) ds.AddRow({std::to_string(i)});
    source.SetDataSet(&ds);
    link.SetDataSource(&source);
  }
  TMemoryDataSet ds;
  TDataSource source;
  TRecordingLink link;
};

TEST_F(DataSourceTest, LinksHearStateDataAndEdits) {
  std::vector<std::string> sourceHeard;
  source.OnStateChange = [&](TDataSource& s) { sourceHeard.push_back("state " + std::to_string(s.State())); };
  source.OnDataChange = [&](TDataSource&, TField* f) { sourceHeard.push_back(f ? "data " + f->FieldName() : "data"); };
  ds.Open();
  EXPECT_TRUE(link.Active());
  ds.Next();
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(20);
  ds.Post();
  ds.Close();
  EXPECT_EQ(link.Heard,
            (std::vector<std::string>{"active", "check", "scrolled 1", "check", "editing", "record",
                                      "record N", "update", "check", "not editing", "changed",
                                      "inactive"}));
  EXPECT_EQ(sourceHeard, (std::vector<std::string>{"state 1", "data", "state 2", "data", "data N",
                                                   "state 1", "data", "state 0"}));
}

TEST_F(DataSourceTest, DisabledControlsHearOneChangeAtTheEnd) {
  ds.Open();
  link.Heard.clear();
  ds.DisableControls();
  ds.DisableControls();
  ds.Next();
  ds.Last();
  ds.EnableControls();
  EXPECT_TRUE(link.Heard.empty());
  ds.EnableControls();
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"changed"}));
  // A state change while disabled is told when enabled.
  link.Heard.clear();
  ds.DisableControls();
  ds.Edit();
  ds.EnableControls();
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"editing", "changed"}));
  ds.Cancel();
  // A disabled source shows its links an inactive data set.
  source.SetEnabled(false);
  EXPECT_FALSE(link.Active());
  source.SetEnabled(true);
  EXPECT_TRUE(link.Active());
}

TEST_F(DataSourceTest, TheWindowFollowsTheActiveRecord) {
  link.SetBufferCount(3);
  ds.Open();
  EXPECT_EQ(link.RecordCount(), 3);
  EXPECT_EQ(link.ActiveRecord(), 0);
  ds.MoveBy(2);
  EXPECT_EQ(link.ActiveRecord(), 2);
  link.Heard.clear();
  ds.Next();  // past the window: it moves by one
  EXPECT_EQ(link.ActiveRecord(), 2);
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"check", "scrolled 1"}));
  ds.Last();
  EXPECT_EQ(link.ActiveRecord(), 2);
  ds.MoveBy(-2);
  EXPECT_EQ(link.ActiveRecord(), 0);
  link.SetActiveRecord(2);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 6);
  link.SetActiveRecord(0);
  EXPECT_THROW(link.SetActiveRecord(3), std::out_of_range);
  // A smaller window keeps the active record.
  link.SetBufferCount(1);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 4);
  EXPECT_EQ(link.RecordCount(), 1);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 5);
  // A larger window fills with the records around the current one, which stays current.
  link.SetBufferCount(4);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 5);
  EXPECT_EQ(link.RecordCount(), 4);
  int active = link.ActiveRecord();
  std::vector<int> shown;
  for (int row = 0; row < link.RecordCount(); ++row) {
    link.SetActiveRecord(row);
    shown.push_back(ds.FieldByName("N").AsInteger());
  }
  link.SetActiveRecord(active);
  EXPECT_EQ(shown, (std::vector<int>{3, 4, 5, 6}));
  ds.Refresh();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 5);
}

TEST_F(DataSourceTest, AutoEditThroughTheLink) {
  ds.Open();
  EXPECT_TRUE(link.Edit());
  EXPECT_EQ(ds.State(), dsEdit);
  ds.Cancel();
  source.SetAutoEdit(false);
  EXPECT_FALSE(link.Edit());
  link.SetReadOnly(true);
  source.SetAutoEdit(true);
  EXPECT_FALSE(link.Edit());
  EXPECT_EQ(ds.State(), dsBrowse);
}

TEST_F(DataSourceTest, DestroyingEitherSideLeavesTheOtherSound) {
  ds.Open();
  {
    TDataSource second;
    TRecordingLink other;
    other.SetDataSource(&second);
    second.SetDataSet(&ds);
    EXPECT_TRUE(other.Active());
  }  // the link goes first, then its source; the data set forgets both
  ds.Next();
  auto doomed = std::make_unique<TMemoryDataSet>();
  doomed->DefineField("X", ftInteger);
  TDataSource watching;
  TRecordingLink follower;
  follower.SetDataSource(&watching);
  watching.SetDataSet(doomed.get());
  doomed->Open();
  doomed.reset();
  EXPECT_EQ(watching.DataSet(), nullptr);
  EXPECT_FALSE(follower.Active());
  auto source2 = std::make_unique<TDataSource>();
  TRecordingLink orphan;
  orphan.SetDataSource(source2.get());
  source2->SetDataSet(&ds);
  EXPECT_TRUE(orphan.Active());
  source2.reset();
  EXPECT_EQ(orphan.DataSource(), nullptr);
  EXPECT_FALSE(orphan.Active());
}

class MasterDetailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master.DefineField("Id", ftInteger);
    for (int i = 1; i <= 3; ++i) master.AddRow({std::to_string(i)});
    detail.DefineField("Owner", ftInteger);
    detail.DefineField("Line", ftInteger);
    detail.AddRow({"1", "10"});
    detail.AddRow({"2", "20"});
    detail.AddRow({"1", "11"});
    detail.AddRow({"3", "30"});
    detail.AddRow({"2", "21"});
    masterSource.SetDataSet(&master);
    detail.DetailFields = "Owner";
    detail.SetMasterFields("Id");
    detail.SetMasterSource(&masterSource);
  }
  std::vector<int> Lines() {
    std::vector<int> out;
    for (detail.First(); !detail.Eof(); detail.Next()) out.push_back(detail.FieldByName("Line").AsInteger());
    return out;
  }
  TMemoryDataSet master, detail;
  TDataSource masterSource;
};

TEST_F(MasterDetailTest, TheDetailFollowsItsMaster) {
  master.Open();
  detail.Open();
  EXPECT_TRUE(detail.RangeActive());
  EXPECT_EQ(Lines(), (std::vector<int>{10, 11}));
  master.Next();
  EXPECT_EQ(detail.FieldByName("Line").AsInteger(), 20);  // on the first matching record
  EXPECT_EQ(Lines(), (std::vector<int>{20, 21}));
  master.Last();
  EXPECT_EQ(Lines(), (std::vector<int>{30}));
  // A new detail record takes the master's key.
  detail.Append();
  EXPECT_EQ(detail.FieldByName("Owner").AsInteger(), 3);
  detail.FieldByName("Line").SetAsInteger(31);
  // Moving the master posts the detail's edit first.
  master.First();
  EXPECT_EQ(detail.State(), dsBrowse);
  master.Last();
  EXPECT_EQ(Lines(), (std::vector<int>{30, 31}));
  // Closing the master lifts the range.
  master.Close();
  EXPECT_FALSE(detail.RangeActive());
  EXPECT_EQ(Lines().size(), 6u);
}

TEST_F(MasterDetailTest, CircularLinksAreRefused) {
  TDataSource detailSource;
  detailSource.SetDataSet(&detail);
  EXPECT_TRUE(detail.IsLinkedTo(&detailSource));
  EXPECT_TRUE(master.IsLinkedTo(&detailSource));  // detail depends on master
  EXPECT_THROW(master.SetMasterSource(&detailSource), EDatabaseError);
  EXPECT_THROW(detail.SetMasterSource(&detailSource), EDatabaseError);
  EXPECT_FALSE(detail.IsLinkedTo(&masterSource));
  EXPECT_FALSE(master.IsLinkedTo(nullptr));
}

TEST_F(MasterDetailTest, UnknownMasterFieldsRaise) {
  detail.SetMasterFields("Nope");
  EXPECT_THROW(master.Open(), EDatabaseError);
}

}  // namespace
}  // namespace veldor::test
