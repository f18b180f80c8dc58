// Editing: edit, insert, append, post, cancel, delete, their events and error events,
// browse-mode checks, required fields, read-only data, calculated fields and old values.
#include <gtest/gtest.h>

#include "tests/toolkit/memory_dataset.h"

namespace veldor::test {
namespace {

class EditingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds.DefineField("N", ftInteger);
    ds.DefineField("Name", ftString, 10);
    for (int i = 1; i <= 4; ++i) ds.AddRow({std::to_string(i), "r" + std::to_string(i)});
  }
  // The N values in storage order.
  std::vector<int> Stored() {
    std::vector<int> out;
    ds.DisableControls();
    TBookmark here = ds.GetBookmark();
    for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName("N").AsInteger());
    ds.GotoBookmark(here);
    ds.EnableControls();
    return out;
  }
  void Log(const char* name, TDataSet::TDataSetNotifyEvent& event) {
    event = [this, name](TDataSet&) { log.push_back(name); };
  }

  TMemoryDataSet ds;
  std::vector<std::string> log;
};

TEST_F(EditingTest, EditPostsAndCancelRestores) {
  ds.Open();
  ds.Next();
  ds.Edit();
  EXPECT_EQ(ds.State(), dsEdit);
  ds.FieldByName("Name").SetAsString("changed");
  EXPECT_TRUE(ds.Modified());
  EXPECT_EQ(ds.FieldByName("Name").OldValue().AsString(), "r2");
  EXPECT_EQ(ds.FieldByName("Name").NewValue().AsString(), "changed");
  ds.Post();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "changed");
  ds.Edit();
  ds.FieldByName("Name").SetAsString("dropped");
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "changed");
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 2);
  // Writing outside the edit states is refused.
  EXPECT_THROW(ds.FieldByName("Name").SetAsString("x"), EDatabaseError);
  EXPECT_THROW(ds.Post(), EDatabaseError);
}

TEST_F(EditingTest, InsertGoesBeforeTheActiveRecordAndAppendAtTheEnd) {
  ds.Open();
  ds.MoveBy(2);  // on 3
  ds.Insert();
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_FALSE(ds.Modified());
  EXPECT_TRUE(ds.GetBookmark().empty());  // a record being inserted has none yet
  ds.FieldByName("N").SetAsInteger(30);
  ds.Post();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 30);  // the new record is current
  EXPECT_EQ(Stored(), (std::vector<int>{1, 2, 30, 3, 4}));
  ds.First();
  ds.Append();
  ds.FieldByName("N").SetAsInteger(50);
  ds.Post();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 50);
  EXPECT_EQ(Stored(), (std::vector<int>{1, 2, 30, 3, 4, 50}));
  // A cancelled insert leaves the records and the position as they were.
  ds.First();
  ds.Next();
  ds.Insert();
  ds.FieldByName("N").SetAsInteger(99);
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 2);
  EXPECT_EQ(Stored(), (std::vector<int>{1, 2, 30, 3, 4, 50}));
}

TEST_F(EditingTest, InsertWithAFullRingKeepsEveryRecord) {
  TDataSource source;
  struct : TDataLink {} link;
  link.SetBufferCount(3);
  link.SetDataSource(&source);
  source.SetDataSet(&ds);
  ds.Open();
  ds.MoveBy(2);  // the ring is full and the active record is its last
  ds.Insert();
  ds.FieldByName("N").SetAsInteger(25);
  ds.Post();
  EXPECT_EQ(Stored(), (std::vector<int>{1, 2, 25, 3, 4}));
  ds.Insert();
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 25);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 3);
}

TEST_F(EditingTest, DeleteMovesToTheNextRecordOrThePriorAtTheEnd) {
  ds.Open();
  ds.Next();
  ds.Delete();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 3);
  ds.Last();
  ds.Delete();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 3);
  EXPECT_EQ(Stored(), (std::vector<int>{1, 3}));
  // Delete while inserting only cancels the insert.
  ds.Insert();
  ds.Delete();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Stored(), (std::vector<int>{1, 3}));
  ds.Delete();
  ds.Delete();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_THROW(ds.Delete(), EDatabaseError);
  // Edit on an empty data set inserts.
  ds.Edit();
  EXPECT_EQ(ds.State(), dsInsert);
}

TEST_F(EditingTest, EventsRunInOrder) {
  Log("BeforeEdit", ds.BeforeEdit);
  Log("AfterEdit", ds.AfterEdit);
  Log("BeforePost", ds.BeforePost);
  Log("AfterPost", ds.AfterPost);
  Log("BeforeInsert", ds.BeforeInsert);
  Log("AfterInsert", ds.AfterInsert);
  Log("OnNewRecord", ds.OnNewRecord);
  Log("BeforeCancel", ds.BeforeCancel);
  Log("AfterCancel", ds.AfterCancel);
  Log("BeforeDelete", ds.BeforeDelete);
  Log("AfterDelete", ds.AfterDelete);
  Log("BeforeScroll", ds.BeforeScroll);
  Log("AfterScroll", ds.AfterScroll);
  ds.Open();
  log.clear();
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(10);
  ds.Next();  // browse mode first: posts the modified record
  ds.Insert();
  ds.Cancel();
  ds.Delete();
  EXPECT_EQ(log, (std::vector<std::string>{
                     "BeforeEdit", "AfterEdit", "BeforePost", "AfterPost", "BeforeScroll",
                     "AfterScroll", "BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert",
                     "AfterScroll", "BeforeCancel", "AfterCancel", "BeforeDelete", "BeforeScroll",
                     "AfterDelete", "AfterScroll"}));
  // An unmodified edit is cancelled, not posted, when the data set moves.
  log.clear();
  ds.Edit();
  ds.Next();
  EXPECT_EQ(log[2], "BeforeCancel");
}

TEST_F(EditingTest, OnNewRecordValuesAreNotModificationsAndAnAbortLeavesNoRecord) {
  ds.OnNewRecord = [](TDataSet& d) { d.FieldByName("Name").SetAsString("default"); };
  ds.Open();
  ds.Append();
  EXPECT_FALSE(ds.Modified());
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "default");
  ds.Next();  // not modified: cancelled
  EXPECT_EQ(Stored().size(), 4u);
  ds.OnNewRecord = [](TDataSet&) { Abort(); };
  ds.First();
  EXPECT_THROW(ds.Insert(), EAbort);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 1);
  EXPECT_EQ(Stored().size(), 4u);
}

// The error events decide: fail passes the error on, abort turns it silent, retry runs
// the operation again (here after the handler fixed the value).
TEST_F(EditingTest, PostErrorEventFailsAbortsOrRetries) {
  ds.UniqueField = "N";
  ds.Open();
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(2);  // taken by the second record
  EXPECT_THROW(ds.Post(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsEdit);

  int calls = 0;
  ds.OnPostError = [&](TDataSet&, const EDatabaseError& e, TDataAction& action) {
    ++calls;
    EXPECT_STREQ(e.what(), "Duplicate key in N");
    action = daAbort;
  };
  EXPECT_THROW(ds.Post(), EAbort);
  EXPECT_EQ(ds.State(), dsEdit);

  ds.OnPostError = [&](TDataSet& d, const EDatabaseError&, TDataAction& action) {
    ++calls;
    d.FieldByName("N").SetAsInteger(100);
    action = daRetry;
  };
  ds.Post();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Stored(), (std::vector<int>{100, 2, 3, 4}));
}

TEST_F(EditingTest, RequiredReadOnlyAndValidation) {
  ds.Open();
  ds.Close();
  TMemoryDataSet strict;
  strict.DefineField("Id", ftAutoInc, 0, true);
  strict.DefineField("Must", ftString, 5, true);
  strict.Open();
  strict.Append();
  try {
    strict.Post();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'Must' must have a value");  // the auto-increment is not asked
  }
  strict.FieldByName("Must").SetAsString("x");
  strict.Post();
  strict.Close();

  auto& name = ds.AddField<TStringField>("Name", fkData, 10);
  ds.Open();
  name.OnValidate = [](TField& f) {
    if (f.AsString() == "bad") DatabaseError("refused");
  };
  ds.Edit();
  EXPECT_THROW(name.SetAsString("bad"), EDatabaseError);
  EXPECT_EQ(name.AsString(), "r1");  // the refused value never reached the record
  name.SetReadOnly(true);
  EXPECT_THROW(name.SetAsString("ok"), EDatabaseError);
  ds.Cancel();
  ds.ReadOnlyData = true;
  EXPECT_FALSE(ds.CanModify());
  EXPECT_THROW(ds.Edit(), EDatabaseError);
  EXPECT_THROW(ds.Append(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
}

// Calculated fields: computed for every record read, recomputed when a data field
// changes while editing (with AutoCalcFields), and never written outside the calculation.
TEST_F(EditingTest, CalculatedFieldsFollowTheRecord) {
  ds.AddField<TIntegerField>("N", fkData);
  auto& twice = ds.AddField<TIntegerField>("Twice", fkCalculated);
  auto& label = ds.AddField<TStringField>("Label", fkCalculated, 12);
  int runs = 0;
  ds.OnCalcFields = [&](TDataSet& d) {
    ++runs;
    if (!d.FieldByName("N").IsNull()) d.FieldByName("Twice").SetAsInteger(2 * d.FieldByName("N").AsInteger());
    d.FieldByName("Label").SetAsString("#" + d.FieldByName("N").AsString());
  };
  ds.Open();
  EXPECT_GT(ds.CalcFieldsSize(), 0);
  EXPECT_EQ(twice.AsInteger(), 2);
  ds.Last();
  EXPECT_EQ(twice.AsInteger(), 8);
  EXPECT_EQ(label.AsString(), "#4");
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(21);
  EXPECT_EQ(twice.AsInteger(), 42);
  ds.Cancel();
  ds.SetAutoCalcFields(false);
  ds.Edit();
  int before = runs;
  ds.FieldByName("N").SetAsInteger(5);
  EXPECT_EQ(runs, before);
  EXPECT_EQ(twice.AsInteger(), 8);
  ds.Cancel();
  // A calculation that writes a data field is refused.
  ds.OnCalcFields = [](TDataSet& d) { d.FieldByName("N").SetAsInteger(0); };
  EXPECT_THROW(ds.First(), EDatabaseError);
}

}  // namespace
}  // namespace veldor::test
