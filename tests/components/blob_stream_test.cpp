// BLOB streams over a table's memo field: reading past the end, writing while editing,
// the refusals outside the edit states, and what a cancel or a post leaves behind.
#include "components/blob_stream.h"
#include "tests/components/component_fixture.h"

namespace veldor::test {
namespace {

class BlobStream : public ComponentTest {
 protected:
  static std::string ReadAll(TStream& s) {
    std::vector<uint8_t> bytes = s.ReadRest();
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_F(BlobStream, ReadingPastTheEndGivesWhatRemainsThenNothing) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 1, 0));  // memo "first memo", 10 bytes
  std::unique_ptr<TStream> s = t.CreateBlobStream(&t.FieldByName("Memo"), bmRead);
  EXPECT_EQ(s->Size(), 10);
  char buffer[8] = {};
  EXPECT_EQ(s->Read(buffer, 8), 8);
  EXPECT_EQ(std::string(buffer, 8), "first me");
  EXPECT_EQ(s->Read(buffer, 8), 2);
  EXPECT_EQ(std::string(buffer, 2), "mo");
  EXPECT_EQ(s->Read(buffer, 8), 0);
  EXPECT_EQ(s->Seek(-4, soEnd), 6);
  EXPECT_EQ(ReadAll(*s), "memo");
  s->Seek(100, soBeginning);
  EXPECT_EQ(s->Read(buffer, 8), 0);
  EXPECT_THROW(s->Seek(-1, soBeginning), EStreamError);
  // A read stream writes nothing.
  EXPECT_EQ(DatabaseMessageOf([&] { s->Write("x", 1); }), "Table is not in edit or insert mode.");
  s.reset();
  EXPECT_EQ(t.Handle()->OpenBlobCount(), 0);

  // An empty memo reads as nothing and is null.
  ASSERT_TRUE(t.Locate("Id", 2, 0));
  EXPECT_TRUE(t.FieldByName("Memo").IsNull());
  EXPECT_EQ(ReadAll(*t.CreateBlobStream(&t.FieldByName("Memo"), bmRead)), "");
}

TEST_F(BlobStream, WritingNeedsAnEditStateAndAWritableField) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  TField& memo = t.FieldByName("Memo");
  EXPECT_EQ(DatabaseMessageOf([&] { t.CreateBlobStream(&memo, bmWrite); }), "Table is not in edit or insert mode.");
  EXPECT_EQ(DatabaseMessageOf([&] { t.CreateBlobStream(&memo, bmReadWrite); }),
            "Table is not in edit or insert mode.");
  memo.SetReadOnly(true);
  t.Edit();
  EXPECT_EQ(DatabaseMessageOf([&] { t.CreateBlobStream(&memo, bmWrite); }), "Field Memo cannot be modified.");
  t.Cancel();
  EXPECT_EQ(t.Handle()->OpenBlobCount(), 0);
}

TEST_F(BlobStream, WritesReachTheTableOnPostAndVanishOnCancel) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  TField& memo = t.FieldByName("Memo");
  int changes = 0;
  memo.OnChange = [&](TField&) { ++changes; };

  ASSERT_TRUE(t.Locate("Id", 1, 0));
  t.Edit();
  {
    std::unique_ptr<TStream> s = t.CreateBlobStream(&memo, bmReadWrite);
    s->Seek(0, soEnd);
    s->WriteBuffer(" and more", 9);
  }
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(memo.Modified());
  EXPECT_EQ(memo.AsString(), "first memo and more");
  t.Post();
  EXPECT_FALSE(memo.Modified());
  EXPECT_EQ(memo.AsString(), "first memo and more");

  // Write mode starts empty; a cancel drops what was written.
  t.Edit();
  {
    std::unique_ptr<TStream> s = t.CreateBlobStream(&memo, bmWrite);
    s->WriteBuffer("gone", 4);
  }
  EXPECT_EQ(memo.AsString(), "gone");
  t.Cancel();
  EXPECT_EQ(memo.AsString(), "first memo and more");

  // Truncating to nothing makes the field null after the post.
  t.Edit();
  {
    TVELDORBlobStream s(&memo, bmReadWrite);
    s.Seek(5, soBeginning);
    s.Truncate();
    EXPECT_EQ(s.Size(), 5);
    s.SetSize(0);
  }
  EXPECT_TRUE(memo.IsNull());
  t.Post();
  EXPECT_TRUE(memo.IsNull());

  // A memo written into a new record.
  t.Append();
  t.FieldByName("Id").SetAsInteger(6);
  t.FieldByName("Amount").SetAsInteger(600);
  memo.SetAsString("new memo");
  t.Post();
  EXPECT_EQ(t.Handle()->OpenBlobCount(), 0);
  t.Close();

  TVELDORTable& again = Table();
  again.Open();
  ASSERT_TRUE(again.Locate("Id", 6, 0));
  EXPECT_EQ(again.FieldByName("Memo").AsString(), "new memo");
  ASSERT_TRUE(again.Locate("Id", 1, 0));
  EXPECT_TRUE(again.FieldByName("Memo").IsNull());
}

TEST_F(BlobStream, AStreamWithoutARecordStaysClosed) {
  MakeTable("empty", People());
  TVELDORTable& t = Table("empty");
  t.Open();
  TVELDORBlobStream s(&t.FieldByName("Memo"), bmRead);
  EXPECT_FALSE(s.Opened());
  char c;
  EXPECT_EQ(s.Read(&c, 1), 0);
  EXPECT_EQ(s.Size(), 0);
}

}  // namespace
}  // namespace veldor::test
