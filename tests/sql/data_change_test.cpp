// The data-changing and table-definition statements where a script cannot look: how a
// long statement commits along the way, what a refusal half-way leaves, record locks
// after a failed value, auto-increment values, and structure changes checked afterwards
// with the table checker.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "engine/table_check.h"
#include "lib/byte_order.h"
#include "lib/temp_dir.h"
#include "sql/data_change.h"
#include "sql/query_statement.h"
#include "tests/support/child_process.h"

namespace veldor::test {
namespace {

class DataChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDirectory("veldor-sql") + "/";
    session_ = std::make_unique<TDataSession>(0);
    session_->SetPrivateDirectory(dir_);
    session_->SetLockRetryCount(1);
    session_->SetLockWaitTime(1);
    db_ = session_->OpenDataDirectory("", dir_);
  }
  void TearDown() override {
    session_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Runs `sql` and returns the statement's row count.
  int32_t Run(const std::string& sql) {
    TQueryStatement statement(db_);
    statement.Prepare(sql);
    statement.Execute(0);
    return statement.RowCount;
  }

  std::string Error(const std::string& sql) {
    try {
      Run(sql);
    } catch (const EVELDOREngineError& e) {
      return std::to_string(e.ErrorCode) + " " + e.ErrorMessage;
    }
    return "no error";
  }

  std::unique_ptr<TDataCursor> Open(const std::string& table) {
    auto cursor = std::make_unique<TDataCursor>(db_);
    cursor->SetTableName(table);
    cursor->Open();
    return cursor;
  }

  // The integers of field `field` of every record, in record order.
  std::vector<int32_t> Integers(const std::string& table, uint16_t field) {
    auto cursor = Open(table);
    cursor->SetIndexNumber(kNaturalOrder);
    std::vector<uint8_t> record(cursor->RecordSize());
    std::vector<int32_t> out;
    uint8_t value[8] = {};
    cursor->SetToBegin();
    while (cursor->GetNextRecord(record.data()) == 0)
      out.push_back(cursor->GetField(field, record.data(), value) ? -1 : LoadI32(value));
    return out;
  }

  // Appends `count` rows (n, n) to a table whose first two fields are integers.
  void Fill(const std::string& table, int32_t count) {
    auto cursor = Open(table);
    std::vector<uint8_t> record(cursor->RecordSize());
    uint8_t value[4];
    for (int32_t n = 1; n <= count; ++n) {
      cursor->InitRecord(record.data());
      StoreI32(value, n);
      cursor->PutField(1, record.data(), value);
      cursor->PutField(2, record.data(), value);
      cursor->AppendRecord(record.data(), false);
    }
  }

  void ExpectSound(const std::string& table) {
    auto cursor = Open(table);
    EXPECT_EQ(CheckTable(*cursor->Table()), std::vector<std::string>{}) << table;
  }

  std::string dir_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
};

TEST_F(DataChangeTest, ALongUpdateCommitsEveryIntervalOfRows) {
  // 100 bytes a record: 32768 / 100 = 327 rows between commits.
  Run("CREATE TABLE big (k INTEGER, n INTEGER, pad CHAR(79), PRIMARY KEY (k))");
  EXPECT_EQ(Open("big")->RecordSize(), 100);
  EXPECT_EQ(DefaultCommitInterval(100), 327);
  Fill("big", 20000);
  const uint64_t before = db_->CommitCount();
  EXPECT_EQ(Run("UPDATE big SET n = n + 1"), 20000);
  EXPECT_EQ(db_->CommitCount() - before, 20000 / 327 + 1);  // 61 along the way, 1 at the end
  const std::vector<int32_t> n = Integers("big", 2);
  ASSERT_EQ(n.size(), 20000u);
  for (int32_t i = 0; i < 20000; ++i) ASSERT_EQ(n[size_t(i)], i + 2);
  ExpectSound("big");

  // COMMIT INTERVAL sets the interval.
  const uint64_t again = db_->CommitCount();
  EXPECT_EQ(Run("DELETE FROM big WHERE k <= 1000 COMMIT INTERVAL 100"), 1000);
  EXPECT_EQ(db_->CommitCount() - again, 11u);
  // An INSERT of values is one append outside any transaction.
  const uint64_t insert = db_->CommitCount();
  EXPECT_EQ(Run("INSERT INTO big (k, n) VALUES (1, 1)"), 1);
  EXPECT_EQ(db_->CommitCount(), insert);
}

// A long statement that meets a full disk part-way (a file size limit in a process of its
// own) keeps the intervals it committed and says so: the table holds exactly the rows the
// message counts, and is sound.
TEST_F(DataChangeTest, AStatementMeetingAFullDiskSaysWhichRowsStayCommitted) {
  // Narrow rows to read (the SELECT's result table fits under the limit), wide ones to write.
  Run("CREATE TABLE src (k INTEGER, n INTEGER, PRIMARY KEY (k))");
  Run("CREATE TABLE dst (k INTEGER, n INTEGER, pad CHAR(240), PRIMARY KEY (k))");
  Fill("src", 3000);
  // Room for about half of the rows in the target's data file.
  const rlim_t limit = rlim_t(std::filesystem::file_size(dir_ + "dst.DAT") + 1500 * Open("dst")->RecordSize());
  TChildProcess child([&](TChannel& channel) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit r{limit, limit};
    setrlimit(RLIMIT_FSIZE, &r);
    TDataSession session(0);
    session.SetPrivateDirectory(dir_);
    TQueryStatement statement(session.OpenDataDirectory("", dir_));
    try {
      statement.Prepare("INSERT INTO dst (k, n) SELECT k, n FROM src COMMIT INTERVAL 100");
      statement.Execute(0);
    } catch (const EVELDOREngineError& e) {
      const std::string said = e.Message;
      const size_t at = said.rfind(" (");
      const bool told = said.find("committed before the error and stay changed") != std::string::npos;
      channel.Send(told && at != std::string::npos ? std::stoi(said.substr(at + 2)) : -1);
      return 0;
    }
    channel.Send(-2);
    return 0;
  });
  const int32_t committed = child.Receive();
  ASSERT_EQ(child.Join(), 0);
  ASSERT_GT(committed, 0) << "the statement did not fail part-way with the committed rows told";
  EXPECT_LT(committed, 3000);
  EXPECT_EQ(committed % 100, 0);
  EXPECT_EQ(Integers("dst", 1).size(), size_t(committed));
  ExpectSound("dst");
}

TEST_F(DataChangeTest, ADeleteRefusedHalfWayLeavesTheTableAsItWas) {
  Run("CREATE TABLE t (k INTEGER, n INTEGER, PRIMARY KEY (k))");
  Fill("t", 50);
  // Another cursor holds record 30: the delete reaches it after 29 deletions and fails.
  auto holder = Open("t");
  holder->SetIndexNumber(kNaturalOrder);
  holder->SetToRecNo(30);
  holder->LockRecord();
  const std::string error = Error("DELETE FROM t");
  EXPECT_NE(error, "no error");
  holder->UnlockRecord();
  holder.reset();
  EXPECT_EQ(Integers("t", 1).size(), 50u);
  ExpectSound("t");
}

TEST_F(DataChangeTest, AValueThatDoesNotConvertUnlocksItsRecordAndChangesNothing) {
  Run("CREATE TABLE t (k INTEGER, n INTEGER, s CHAR(5), PRIMARY KEY (k))");
  Run("INSERT INTO t VALUES (1, 1, '7')");
  Run("INSERT INTO t VALUES (2, 2, 'abc')");
  EXPECT_EQ(Error("UPDATE t SET n = s"),
            std::to_string(VELDOR_SQLPARSE) + " Type mismatch between column n and constant value s in UPDATE statement");
  EXPECT_EQ(Integers("t", 2), (std::vector<int32_t>{1, 2}));
  // Both records can be locked again by anyone.
  auto other = Open("t");
  other->SetIndexNumber(kNaturalOrder);
  for (int64_t r = 1; r <= 2; ++r) {
    other->SetToRecNo(r);
    EXPECT_NO_THROW(other->LockRecord());
    other->UnlockRecord();
  }
  // A value that converts is stored converted.
  EXPECT_EQ(Run("UPDATE t SET n = s WHERE k = 1"), 1);
  EXPECT_EQ(Integers("t", 2), (std::vector<int32_t>{7, 2}));
}

TEST_F(DataChangeTest, InsideACallersTransactionNothingIsCommittedOrRolledBackByTheStatement) {
  Run("CREATE TABLE t (k INTEGER, n INTEGER, PRIMARY KEY (k))");
  Fill("t", 10);
  ASSERT_EQ(db_->StartTransaction(), 0);
  const uint64_t before = db_->CommitCount();
  EXPECT_EQ(Run("UPDATE t SET n = 0 WHERE k <= 5"), 5);
  EXPECT_EQ(db_->CommitCount(), before);
  EXPECT_NE(Error("INSERT INTO t SELECT k, n FROM t"), "no error");  // key violation at once
  EXPECT_TRUE(db_->InTransaction());
  db_->RollbackTransaction();
  EXPECT_EQ(Integers("t", 2), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(DataChangeTest, AutoIncrementValuesAreAssignedUnlessNoAutoIncIsGiven) {
  Run("CREATE TABLE later (id AUTOINC, v INTEGER, LAST AUTOINC 1000)");
  Run("INSERT INTO later (v) VALUES (1)");
  EXPECT_EQ(Integers("later", 1), (std::vector<int32_t>{1001}));
  ExpectSound("later");
  Run("CREATE TABLE t (id AUTOINC, v INTEGER)");
  Run("INSERT INTO t (v) VALUES (10)");
  Run("INSERT INTO t (id, v) VALUES (50, 20)");
  Run("INSERT INTO t (id, v) VALUES (40, 30) NOAUTOINC");
  EXPECT_EQ(Integers("t", 1), (std::vector<int32_t>{1, 2, 40}));
  EXPECT_EQ(Run("INSERT INTO t (v) SELECT v FROM t"), 3);
  EXPECT_EQ(Integers("t", 1), (std::vector<int32_t>{1, 2, 40, 41, 42, 43}));
}

TEST_F(DataChangeTest, StructureChangesKeepTheDataAndLeaveSoundTables) {
  Run("CREATE TABLE t (a INTEGER, b CHAR(10), c DATE, PRIMARY KEY (a))");
  for (int i = 1; i <= 300; ++i)
    Run("INSERT INTO t VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "', '2024-01-02')");
  for (const char* change : {"ALTER TABLE t ADD d INTEGER AT 1", "ALTER TABLE t REDEFINE b bb",
                             "ALTER TABLE t REDEFINE bb CHAR(20)", "CREATE INDEX byb ON t (bb)",
                             "ALTER TABLE t ADD x INTEGER, DROP x", "ALTER TABLE t DROP PRIMARY KEY",
                             "ALTER TABLE t ADD PRIMARY KEY (a)", "DROP INDEX t.byb",
                             "ALTER TABLE t REDEFINE PRIMARY KEY (a, bb)", "DROP INDEX t.primary"}) {
    SCOPED_TRACE(change);
    Run(change);
    ExpectSound("t");
    TQueryStatement count(db_);
    count.Prepare("SELECT COUNT(*) FROM t WHERE a > 0");
    count.Execute(0);
    std::vector<uint8_t> row(count.MasterQuery()->ResultCursor->RecordSize());
    count.MasterQuery()->ResultCursor->GetNextRecord(row.data());
    uint8_t value[4];
    count.MasterQuery()->ResultCursor->GetField(1, row.data(), value);
    EXPECT_EQ(LoadI32(value), 300);
  }
  auto cursor = Open("t");
  EXPECT_EQ(cursor->FieldCount(), 4);
  EXPECT_EQ(cursor->Field(1).FieldName(), "d");
  EXPECT_EQ(cursor->Field(3).FieldName(), "bb");
  EXPECT_EQ(cursor->Field(3).DeclaredSize(), 20);
  EXPECT_TRUE(cursor->GetTableInformation().NoPrimaryKey);
}

TEST_F(DataChangeTest, StructureStatementsRefuseWithTheirMessages) {
  Run("CREATE TABLE t (a INTEGER, b CHAR(10), c DATE, PRIMARY KEY (a))");
  const std::string sql = std::to_string(VELDOR_SQLPARSE) + " ";
  EXPECT_EQ(Error("ALTER TABLE t ADD z INTEGER AT 4"), sql + "AT column position must be between 1 and 3");
  EXPECT_EQ(Error("ALTER TABLE t DROP x"), sql + "Column x not found");
  EXPECT_EQ(Error("ALTER TABLE t ADD PRIMARY KEY (a)"), sql + "Cannot REDEFINE the primary key using the ADD keyword");
  EXPECT_EQ(Error("CREATE TABLE t (a INTEGER)").substr(0, 5), std::to_string(VELDOR_TABLEEXISTS));
  EXPECT_EQ(Error("CREATE TABLE IF NOT EXISTS t (a INTEGER)"), "no error");
  EXPECT_EQ(Error("DROP TABLE IF EXISTS nothere"), "no error");
  EXPECT_EQ(Error("CREATE INDEX i ON t (nothere)").substr(0, 5), std::to_string(VELDOR_INVALIDKEY));
  // More than 1024 fields are refused before anything is made.
  std::string wide = "CREATE TABLE wide (";
  for (int i = 1; i <= 1025; ++i) wide += (i > 1 ? ", f" : "f") + std::to_string(i) + " SMALLINT";
  EXPECT_EQ(Error(wide + ")").substr(0, 4), std::to_string(VELDOR_FLDLIMIT));
  EXPECT_FALSE(db_->TableExists("wide", false));
  // A CREATE TABLE with defaults: language 0, block size 512, version 1.0, no primary key.
  Run("CREATE TABLE plain (a INTEGER)");
  const TTableInformation info = Open("plain")->GetTableInformation();
  EXPECT_TRUE(info.NoPrimaryKey);
  EXPECT_EQ(info.Language, 0);
  EXPECT_EQ(info.BlobBlockSize, 512u);
  EXPECT_EQ(info.UserMajorVersion, 1);
  EXPECT_EQ(info.UserMinorVersion, 0);
}

}  // namespace
}  // namespace veldor::test
