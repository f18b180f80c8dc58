// The local statement around the parser: binding and running order through the runners of
// the statement kinds, statements after ";", parameter values, callbacks and registration.
// The runners here record what they are given; the real ones belong to the SQL engine.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "engine/session.h"
#include "lib/byte_order.h"
#include "sql/query_statement.h"
#include "sql_support.h"

namespace veldor::test {
namespace {

// Records every bind and run as "bind <n>" / "run <n>" with the query's position in the
// statement's list; a run reports the number of SET columns named "a" times 3 plus those
// named "b" times 4 as its row count.
struct TRecordingRunner : TQueryRunner {
  std::vector<std::string> Log;
  int Position(TQueryStatement& s, const TDataQuery& q) {
    const auto& all = s.Parser().AllQueries();
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i].get() == &q) return int(i);
    return -1;
  }
  void Bind(TQueryStatement& s, TDataQuery& q) override {
    Log.push_back("bind " + std::to_string(Position(s, q)));
    q.CanEdit = q.RequestLive;
  }
  TDataCursor* Run(TQueryStatement& s, TDataQuery& q, int32_t& rows) override {
    Log.push_back("run " + std::to_string(Position(s, q)));
    rows = 0;
    for (const auto& f : q.UpdateFields) rows += f->ColumnName == "a" ? 3 : f->ColumnName == "b" ? 4 : 0;
    return nullptr;
  }
};

struct QueryStatementTest : ::testing::Test {
  TDataSession Session{1};  // tracks statements
  TDataDirectory* Database = Session.OpenDataDirectory("Memory", "");
  TRecordingRunner Runner;
  std::unique_ptr<TQueryStatement> Statement = std::make_unique<TQueryStatement>(Database);
  void SetUp() override { Statement->Runners.fill(&Runner); }
};

TEST_F(QueryStatementTest, QueriesBindAndRunLastCreatedFirst) {
  std::vector<std::string> prepared;
  Statement->PreparedCallback = [&](TQueryStatement&, uint8_t kind, uint8_t live, uint8_t canEdit) {
    prepared.push_back(std::to_string(kind) + "/" + std::to_string(live) + "/" + std::to_string(canEdit));
  };
  Statement->RequestLive = 1;
  Statement->MaxRows = 10;
  Statement->Prepare("SELECT a FROM t WHERE a IN (SELECT b FROM u) UNION SELECT c FROM v");
  EXPECT_EQ(Runner.Log, (std::vector<std::string>{"bind 2", "bind 1", "bind 0"}));
  EXPECT_EQ(Statement->StatementKind, kStatementSelect);
  EXPECT_EQ(Statement->MasterQuery()->MaxRows, 10);
  EXPECT_EQ(Statement->CanEdit, 1);
  EXPECT_EQ(prepared, (std::vector<std::string>{"1/0/1"}));
  Runner.Log.clear();
  Statement->Execute(0);
  EXPECT_EQ(Runner.Log, (std::vector<std::string>{"run 2", "run 1", "run 0"}));
  // Other kinds open their sources for writing and have no row limit.
  Statement->RequestLive = 0;
  Statement->Prepare("DELETE FROM t");
  EXPECT_EQ(Statement->MasterQuery()->RequestLive, 1);
  EXPECT_EQ(Statement->MasterQuery()->MaxRows, -1);
}

TEST_F(QueryStatementTest, StatementsAfterASemicolonRunInTurnAndAddUp) {
  Statement->Prepare("UPDATE t SET a = 1; UPDATE t SET b = 2");
  Runner.Log.clear();
  Statement->Execute(0);
  EXPECT_EQ(Runner.Log, (std::vector<std::string>{"run 0", "bind 0", "run 0"}));
  EXPECT_EQ(Statement->RowCount, 7);
  EXPECT_EQ(Statement->MasterQuery()->UpdateFields[0]->ColumnName, "b");
  EXPECT_GE(Statement->ExecutionTime, 0.0);
}

TEST_F(QueryStatementTest, AKindWithoutARunnerIsRefusedAtPrepare) {
  Statement->Runners[kStatementDropTable] = nullptr;
  try {
    Statement->Prepare("DROP TABLE t");
    FAIL();
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_SQLPARSE);
    EXPECT_EQ(e.ErrorMessage, "Statements of this kind cannot be executed");
  }
  // A failed prepare leaves nothing to run.
  EXPECT_THROW(Statement->Execute(0), EVELDOREngineError);
  EXPECT_THROW(Statement->Prepare("SELECT FROM"), EVELDOREngineError);
  EXPECT_THROW(Statement->Execute(0), EVELDOREngineError);
}

TEST_F(QueryStatementTest, ParameterValuesComeFromDescriptorsAndARecordBuffer) {
  Statement->Prepare("UPDATE t SET a = ?, b = ? WHERE c = ?");
  // Three parameters: an integer, a string and a BLOB; a NULL integer as well.
  std::vector<uint8_t> descriptors(3 * kFieldDescriptorSize);
  std::vector<uint8_t> record(64, 0);
  TFieldDescriptor integer, text, blob;
  integer.SetFieldType(FIELD_INTEGER);
  integer.SetSlotSize(4);
  integer.SetOffset(0);
  text.SetFieldType(FIELD_STRING);
  text.SetSlotSize(6);
  text.SetOffset(5);
  blob.SetFieldType(FIELD_BLOB);
  blob.SetSubType(SUBTYPE_MEMO);
  blob.SetDeclaredScale(3);
  blob.SetOffset(20);
  integer.ToBytes(&descriptors[0]);
  text.ToBytes(&descriptors[kFieldDescriptorSize]);
  blob.ToBytes(&descriptors[2 * kFieldDescriptorSize]);
  record[0] = 1;
  StoreI32(&record[1], 42);
  record[5] = 1;
  std::memcpy(&record[6], "hello", 6);
  const char memo[] = "memo text";
  const uint8_t* memoBytes = reinterpret_cast<const uint8_t*>(memo);
  record[20] = 1;
  StoreI32(&record[21], 9);
  std::memcpy(&record[25], &memoBytes, sizeof memoBytes);
  EXPECT_EQ(Statement->SetParams(3, descriptors.data(), record.data()), 0);
  const auto& p = Statement->Parser().Parameters();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0]->DataType, FIELD_INTEGER);
  EXPECT_EQ(p[0]->IsNull, 0);
  EXPECT_EQ(LoadI32(p[0]->Value.data()), 42);
  EXPECT_EQ(p[1]->DataType, FIELD_STRING);
  EXPECT_EQ(p[1]->DataSize, 6);
  EXPECT_STREQ(reinterpret_cast<const char*>(p[1]->Value.data()), "hello");
  EXPECT_EQ(p[2]->DataType, FIELD_BLOB);
  EXPECT_EQ(p[2]->SubType, SUBTYPE_MEMO);
  EXPECT_EQ(p[2]->Scale, 0);
  EXPECT_EQ(p[2]->DataSize, 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p[2]->Value.data()), 9), "memo text");
  // A null flag of 0 is NULL; fewer values than parameters leave the rest as they were.
  record[0] = 0;
  EXPECT_EQ(Statement->SetParams(1, descriptors.data(), record.data()), 0);
  EXPECT_EQ(p[0]->IsNull, 1);
  EXPECT_EQ(p[1]->IsNull, 0);
}

TEST_F(QueryStatementTest, MoreValuesThanParametersFail) {
  Statement->Prepare("UPDATE t SET a = ? WHERE b = ?");
  std::vector<uint8_t> descriptors(3 * kFieldDescriptorSize, 0);
  std::vector<uint8_t> record(16, 0);
  try {
    Statement->SetParams(3, descriptors.data(), record.data());
    FAIL();
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_SQLPARSE);
    EXPECT_EQ(e.ErrorMessage, "Internal parameter error");
  }
}

TEST_F(QueryStatementTest, TheStatementIsRegisteredWithItsDatabase) {
  ASSERT_NE(Database->Statements(), nullptr);
  EXPECT_EQ(Database->Statements()->size(), 1u);
  Statement.reset();
  EXPECT_EQ(Database->Statements()->size(), 0u);
  // A database that ends first frees the statement's queries and forgets it.
  const long before = Outstanding();
  Statement = std::make_unique<TQueryStatement>(Database);
  Statement->Runners.fill(&Runner);
  Statement->Prepare("SELECT a + 1 FROM t WHERE a IN (SELECT b FROM u)");
  Session.CloseDataDirectory(Database);
  EXPECT_EQ(Statement->Database, nullptr);
  EXPECT_EQ(Statement->MasterQuery(), nullptr);
  EXPECT_EQ(Outstanding(), before);
}

}  // namespace
}  // namespace veldor::test
