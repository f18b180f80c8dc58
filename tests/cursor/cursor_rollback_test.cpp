// What every cursor of a table sees after a rollback, after a sibling cursor's writes and
// after the operations that rewrite files are asked for inside a transaction: the state
// on disk, never a view built from changes that were thrown away.

#include <filesystem>

#include <gtest/gtest.h>

#include "engine/errors.h"
#include "engine/table_check.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

class RollbackTest : public CursorTest {
 protected:
  // The table is sound on disk: closed by every cursor and opened again for the check.
  void ExpectSoundAfterReopen(const std::string& name, int32_t records) {
    cursors_.clear();
    TDataCursor& check = OpenCursor(name);
    EXPECT_EQ(check.GetRecordCount(), records);
    std::vector<std::string> problems = CheckTable(*check.Table());
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems.front());
    cursors_.clear();
  }
};

struct TRollbackCase {
  bool Exclusive;
  bool PrimaryKey;
};

class RollbackCases : public RollbackTest, public ::testing::WithParamInterface<TRollbackCase> {};

TEST_P(RollbackCases, CursorSeesTheTableAsBeforeTheTransaction) {
  const TRollbackCase& p = GetParam();
  MakeTable("t", People(p.PrimaryKey));
  TDataCursor& c = OpenCursor("t", p.Exclusive);
  for (int i = 1; i <= 5; ++i) Add(c, i, "n" + std::to_string(i), i * 10);

  ASSERT_EQ(db_->StartTransaction(), 0);
  for (int i = 6; i <= 8; ++i) Add(c, i, "n" + std::to_string(i), i * 10);
  EXPECT_EQ(c.GetRecordCount(), 8);
  db_->RollbackTransaction();

  EXPECT_EQ(c.GetRecordCount(), 5);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  c.SetToRecNo(7);
  EXPECT_TRUE(c.Eof());
  c.SetToRecNo(5);
  std::vector<uint8_t> image(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 5);
  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c, true), (std::vector<int32_t>{5, 4, 3, 2, 1}));

  // Writing on after the rollback leaves a sound table.
  Add(c, 9, "n9", 90);
  EXPECT_EQ(c.GetRecordCount(), 6);
  ExpectSoundAfterReopen("t", 6);
}

TEST_P(RollbackCases, OriginalCursorSeesItsClonesWrites) {
  const TRollbackCase& p = GetParam();
  MakeTable("t", People(p.PrimaryKey));
  TDataCursor& c = OpenCursor("t", p.Exclusive);
  for (int i = 1; i <= 4; ++i) Add(c, i, "n" + std::to_string(i), i * 10);
  EXPECT_EQ(c.GetRecordCount(), 4);

  std::unique_ptr<TDataCursor> clone = c.Clone();
  clone->SetToBegin();
  std::vector<uint8_t> image(clone->RecordSize());
  ASSERT_EQ(clone->GetNextRecord(image.data()), 0);
  clone->DeleteRecord(image.data());
  Add(*clone, 7, "n7", 70);

  EXPECT_EQ(c.GetRecordCount(), 4);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 3, 4, 7}));
  clone.reset();
  ExpectSoundAfterReopen("t", 4);
}

INSTANTIATE_TEST_SUITE_P(Tables, RollbackCases,
                         ::testing::Values(TRollbackCase{true, true}, TRollbackCase{true, false},
                                           TRollbackCase{false, true},
                                           TRollbackCase{false, false}),
                         [](const ::testing::TestParamInfo<TRollbackCase>& info) {
                           return std::string(info.param.Exclusive ? "Exclusive" : "Shared") +
                                  (info.param.PrimaryKey ? "WithKey" : "WithoutKey");
                         });

TEST_F(RollbackTest, IndexDeletedInsideARolledBackTransactionIsBack) {
  MakeTable("t", People());
  TDataCursor& c = OpenCursor("t", true);
  for (int i = 1; i <= 5; ++i) Add(c, i, "n" + std::to_string(i), 60 - i * 10);

  ASSERT_EQ(db_->StartTransaction(), 0);
  c.DeleteIndex("ByAmount", true);
  EXPECT_THROW(c.SetIndexName("ByAmount"), EVELDOREngineError);
  db_->RollbackTransaction();

  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{5, 4, 3, 2, 1}));
  Add(c, 6, "n6", 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{6, 5, 4, 3, 2, 1}));
  ExpectSoundAfterReopen("t", 6);
}

// Emptying and restructuring rewrite the files directly, which a rollback could not undo:
// they are refused inside a transaction, and the table keeps everything.
TEST_F(RollbackTest, FileRewritesAreRefusedInsideATransaction) {
  MakeTable("t", People());
  {
    TDataCursor& c = OpenCursor("t", true);
    for (int i = 1; i <= 5; ++i) Add(c, i, "n" + std::to_string(i), i, "memo");

    ASSERT_EQ(db_->StartTransaction(), 0);
    try {
      c.EmptyTable();
      ADD_FAILURE() << "EmptyTable inside a transaction was accepted";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode, VELDOR_TABLEOPEN);
    }
    EXPECT_EQ(c.GetRecordCount(), 5);
    db_->RollbackTransaction();
    EXPECT_EQ(c.GetRecordCount(), 5);
  }
  ExpectSoundAfterReopen("t", 5);

  // A restructure is refused before it makes its temporary table.
  TTableDefinition wider = People();
  wider.Fields[1].SetDeclaredSize(40);
  PrepareFieldDefinitions(wider.Fields, "t");
  const std::string priv = dir_ + "private/";
  std::filesystem::create_directory(priv);
  session_->SetPrivateDirectory(priv);
  ASSERT_EQ(db_->StartTransaction(), 0);
  TDataCursor restructure(db_);
  restructure.SetTableName("t");
  restructure.SetExclusive(true);
  try {
    restructure.RestructureTable(wider, true, -1, false);
    ADD_FAILURE() << "RestructureTable inside a transaction was accepted";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_TABLEOPEN);
  }
  db_->RollbackTransaction();
  EXPECT_TRUE(std::filesystem::is_empty(priv));
  ExpectSoundAfterReopen("t", 5);

  // Outside a transaction both work as before.
  TDataCursor& c = OpenCursor("t", true);
  c.EmptyTable();
  EXPECT_EQ(c.GetRecordCount(), 0);
  ExpectSoundAfterReopen("t", 0);
}

}  // namespace
}  // namespace veldor::test
