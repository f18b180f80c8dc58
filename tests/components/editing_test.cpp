// Editing through the table component: edit, insert, append, delete and cancel; the
// engine's refusals as EVELDOREngineError with the data set left where it was; the record
// lock held from Edit to Post, seen from another process; new-record handling.
#include "tests/components/component_fixture.h"
#include "lib/code_page.h"
#include "tests/support/child_process.h"

namespace veldor::test {
namespace {

class Editing : public ComponentTest {
 protected:
  // What a second look at the table finds: Id -> Name, in primary order.
  std::vector<std::string> Names() {
    TVELDORTable& t = Table();
    t.Open();
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next())
      out.push_back(std::to_string(t.FieldByName("Id").AsInteger()) + ":" + t.FieldByName("Name").AsString());
    t.Close();
    return out;
  }
};

TEST_F(Editing, EditInsertAppendDeleteAndCancelReachTheTable) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 2, 0));
  t.Edit();
  EXPECT_EQ(t.State(), dsEdit);
  t.FieldByName("Name").SetAsString("Jonas");
  EXPECT_EQ(t.FieldByName("Name").OldValue().AsString(), "Jones");
  t.Post();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Jonas");

  t.Insert();
  EXPECT_EQ(t.RecNo(), -1);
  t.FieldByName("Id").SetAsInteger(6);
  t.FieldByName("Name").SetAsString("Grün");  // UTF-8 in, Windows-1252 stored
  t.FieldByName("Amount").SetAsInteger(600);
  t.Post();
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 6);
  EXPECT_GT(t.RecNo(), 0);

  t.Append();
  t.FieldByName("Id").SetAsInteger(7);
  t.FieldByName("Amount").SetAsInteger(700);
  t.Post();

  ASSERT_TRUE(t.Locate("Id", 1, 0));
  t.Delete();
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 2);

  ASSERT_TRUE(t.Locate("Id", 3, 0));
  t.Edit();
  t.FieldByName("Name").SetAsString("changed");
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "smalley");
  t.Close();

  EXPECT_EQ(Names(), (std::vector<std::string>{"2:Jonas", "3:smalley", "4:Brown", "5:", "6:Grün", "7:"}));
}

TEST_F(Editing, EngineRefusalsLeaveTheDataSetInItsState) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();

  // A duplicate primary key: the insert stays open and nothing was written.
  t.Insert();
  t.FieldByName("Id").SetAsInteger(1);
  t.FieldByName("Amount").SetAsInteger(999);
  try {
    t.Post();
    FAIL() << "no key violation";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_KEYVIOL);
    EXPECT_EQ(e.ErrorTableName, "people");
  }
  EXPECT_EQ(t.State(), dsInsert);
  t.FieldByName("Id").SetAsInteger(8);  // mended, the same post goes through
  t.Post();
  EXPECT_EQ(t.RecordCount(), 6);

  // A duplicate in a unique secondary index while editing.
  ASSERT_TRUE(t.Locate("Id", 2, 0));
  t.Edit();
  t.FieldByName("Amount").SetAsInteger(300);
  EXPECT_EQ(EngineCodeOf([&] { t.Post(); }), VELDOR_KEYVIOL);
  EXPECT_EQ(t.State(), dsEdit);
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Amount").AsInteger(), 100);
  t.Close();
  EXPECT_EQ(Names().size(), 6u);
}

TEST_F(Editing, WritesNeedAnEditStateAndAWritableField) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  EXPECT_EQ(DatabaseMessageOf([&] { t.FieldByName("Name").SetAsString("x"); }),
            "Table is not in edit or insert mode.");
  t.FieldByName("Name").SetReadOnly(true);
  t.Edit();
  EXPECT_EQ(DatabaseMessageOf([&] { t.FieldByName("Name").SetAsString("x"); }), "Field Name cannot be modified.");
  t.FieldByName("Name").SetDisplayLabel("Surname");
  EXPECT_EQ(DatabaseMessageOf([&] { t.FieldByName("Name").Clear(); }), "Field Surname cannot be modified.");
  t.Cancel();
  // Text Windows-1252 cannot hold is refused naming the field; the record is untouched.
  t.FieldByName("Name").SetReadOnly(false);
  t.Edit();
  EXPECT_THROW(t.FieldByName("Name").SetAsString("Жуков"), ECodePageError);
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Smith");
  t.Cancel();
}

TEST_F(Editing, RequiredFieldsAndValidationOfTheEngine) {
  TTableDefinition d = People();
  d.Fields[1].SetRequired(true);
  d.Fields[2].SetMinValue("0");
  MakeTable("strict", d);
  TVELDORTable& t = Table("strict");
  t.Open();
  t.Append();
  t.FieldByName("Id").SetAsInteger(1);
  EXPECT_EQ(DatabaseMessageOf([&] { t.Post(); }), "Field 'Name' must have a value");
  t.FieldByName("Name").SetAsString("n");
  t.FieldByName("Amount").SetAsInteger(-5);
  EXPECT_EQ(EngineCodeOf([&] { t.Post(); }), VELDOR_MINVALERR);
  EXPECT_EQ(t.State(), dsInsert);
  t.Cancel();
  EXPECT_TRUE(t.IsEmpty());
}

TEST_F(Editing, CopyOnAppendCopiesTheCurrentRecordWithItsMemo) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetCopyOnAppend(true);
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 1, 0));
  t.Append();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Smith");
  EXPECT_EQ(t.FieldByName("Memo").AsString(), "first memo");
  EXPECT_EQ(t.FieldByName("Name").OldValue().AsString(), "Smith");
  t.FieldByName("Id").SetAsInteger(9);
  t.FieldByName("Amount").SetAsInteger(900);
  t.Post();
  ASSERT_TRUE(t.Locate("Id", 9, 0));
  EXPECT_EQ(t.FieldByName("Memo").AsString(), "first memo");
  ASSERT_TRUE(t.Locate("Id", 1, 0));
  EXPECT_EQ(t.FieldByName("Memo").AsString(), "first memo");

  // OnNewRecord runs after the copy and may refuse the record.
  t.OnNewRecord = [](TDataSet& d) { d.FieldByName("Amount").SetAsInteger(1); };
  t.Insert();
  EXPECT_EQ(t.FieldByName("Amount").AsInteger(), 1);
  t.Cancel();
  t.OnNewRecord = [](TDataSet&) { Abort(); };
  EXPECT_THROW(t.Insert(), EAbort);
  EXPECT_EQ(t.State(), dsBrowse);
  EXPECT_EQ(t.RecordCount(), 6);
}

// The record lock taken by Edit holds against another process until Post; a record the
// other process changed meanwhile refuses the edit.
TEST_F(Editing, RecordLockIsHeldFromEditToPost) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 2, 0));
  t.Edit();

  TChildProcess child([&](TChannel& channel) -> int {
    TVELDORSession session;
    session.SetSessionName("Child");
    session.SetLockRetryCount(0);
    TVELDORTable other;
    other.SetSessionName("Child");
    other.SetTableName(dir_ + "people");
    other.Open();
    if (!other.Locate("Id", 2, 0)) return 10;
    if (EngineCodeOf([&] { other.Edit(); }) != VELDOR_RECLOCKFAILED) return 11;
    if (other.State() != dsBrowse) return 12;
    // Another record is free.
    if (!other.Locate("Id", 3, 0)) return 13;
    other.Edit();
    other.FieldByName("Name").SetAsString("ByChild");
    other.Post();
    channel.Send(1);
    if (channel.Receive() != 2) return 14;
    other.Refresh();  // the parent's post is newer than what this process holds
    if (!other.Locate("Id", 2, 0)) return 15;
    other.Edit();  // free now
    other.FieldByName("Name").SetAsString("ChildToo");
    other.Post();
    channel.Send(3);
    return 0;
  });
  ASSERT_EQ(child.Receive(), 1);
  t.FieldByName("Name").SetAsString("Parent");
  t.Post();
  child.Send(2);
  EXPECT_EQ(child.Receive(), 3);
  EXPECT_EQ(child.Join(), 0);

  // The parent's ring still holds the image from before the child's change.
  EXPECT_EQ(EngineCodeOf([&] { t.Edit(); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(t.State(), dsBrowse);
  t.Refresh();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "ChildToo");
  t.Edit();
  t.Cancel();
  t.Close();
  EXPECT_EQ(Names()[2], "3:ByChild");
}

}  // namespace
}  // namespace veldor::test
