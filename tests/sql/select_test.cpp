// SELECT execution where a script cannot look: live results and editing through them, the
// records an indexed join reads, repeated runs, the row limit and the progress callback's
// abort, and the result tables a statement leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/data_file.h"
#include "engine/data_table.h"
#include "sql_fixture.h"

namespace veldor::test {
namespace {

const char kEmpDefinition[] =
    "field Id integer\n"
    "field Name string 20\n"
    "field Dept integer\n"
    "field Salary integer\n"
    "primary Id\n"
    "index ByDept Dept\n"
    "index ByName Name\n";

const char kEmpRows[] =
    "1,Anna,10,3000\n"
    "2,Bob,20,2500\n"
    "3,Carl,10,\n"
    "4,Dora,,4000\n"
    "5,Eve,30,2500\n";

struct SelectTest : ::testing::Test {
  TSqlFixture Fixture;

  void SetUp() override {
    Fixture.MakeTable("emp", kEmpDefinition, kEmpRows, "emp");
    Fixture.MakeTable("dept", "field Code integer\nfield Title string 20\n", "10,Sales\n20,Research\n40,Legal\n",
                      "dept");
  }

  // A table "big" of `count` rows (Id 1..count, K = Id mod 1000, so each K below
  // count - 1000 * (count / 1000) appears count / 1000 + 1 times), with an index on K.
  void MakeBig(int count) {
    std::string rows;
    for (int id = 1; id <= count; ++id) rows += std::to_string(id) + "," + std::to_string(id % 1000) + "\n";
    Fixture.MakeTable("big", "field Id integer\nfield K integer\nprimary Id\nindex ByK K\n", rows, "big");
  }

  std::unique_ptr<TDataCursor> OpenTable(const std::string& name) {
    auto cursor = std::make_unique<TDataCursor>(Fixture.Database);
    cursor->SetTableName(name);
    cursor->Open();
    return cursor;
  }

  // The rows of a table in its primary index order.
  std::vector<std::string> TableRows(const std::string& name) {
    auto cursor = OpenTable(name);
    cursor->SetIndexNumber(0);
    return PrintResult(*cursor).Rows;
  }
};

std::vector<std::string> Rows(std::initializer_list<const char*> rows) { return {rows.begin(), rows.end()}; }

TEST_F(SelectTest, ALiveResultIsTheTablesOwnCursorAndTakesEdits) {
  TQueryStatement statement(Fixture.Database);
  statement.RequestLive = 1;
  statement.Prepare("SELECT * FROM emp WHERE Id > 1 ORDER BY Name");
  EXPECT_EQ(statement.IsLiveResult, 1);
  EXPECT_EQ(statement.CanEdit, 1);
  TDataCursor* cursor = statement.Execute(0);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(statement.RowCount, 4);
  // The table's own cursor: every field of the table, the WHERE as a filter, the index order.
  TPrintedResult before = PrintResult(*cursor);
  EXPECT_EQ(before.Columns, Rows({"Id", "Name", "Dept", "Salary"}));
  EXPECT_EQ(before.Rows, Rows({"2,Bob,20,2500", "3,Carl,10,NULL", "4,Dora,NULL,4000", "5,Eve,30,2500"}));

  // Edit the second row (Carl) through the result.
  std::vector<uint8_t> record(cursor->RecordSize());
  cursor->SetToBegin();
  ASSERT_EQ(cursor->GetNextRecord(record.data()), 0);
  ASSERT_EQ(cursor->GetNextRecord(record.data()), 0);
  ASSERT_EQ(cursor->GetCurrentRecord(record.data(), true), 0);
  tool::PutText(*cursor, cursor->FieldNumber("Salary"), record.data(), "2750");
  cursor->ModifyRecord(record.data());

  EXPECT_EQ(TableRows("emp"), Rows({"1,Anna,10,3000", "2,Bob,20,2500", "3,Carl,10,2750", "4,Dora,NULL,4000",
                                    "5,Eve,30,2500"}));
}

TEST_F(SelectTest, AQueryThatCannotBeLiveIsCopiedEvenWhenLiveIsAsked) {
  struct TCase {
    const char* Sql;
    std::vector<std::string> Rows;
  };
  const TCase cases[] = {
      {"SELECT e.Name, d.Title FROM emp e, dept d WHERE e.Dept = d.Code AND e.Id = 2", {"Bob,Research"}},
      {"SELECT DISTINCT Salary FROM emp WHERE Salary IS NOT NULL", {"2500", "3000", "4000"}},
      {"SELECT Dept, COUNT(Id) FROM emp WHERE Dept IS NOT NULL GROUP BY Dept", {"10,2", "20,1", "30,1"}},
      {"SELECT COUNT(*) FROM emp", {"5"}},
      // No index serves this order.
      {"SELECT Name, Salary FROM emp WHERE Id < 4 ORDER BY Salary DESC", {"Anna,3000", "Bob,2500", "Carl,NULL"}},
      {"SELECT Name FROM emp WHERE Dept IN (SELECT Code FROM dept WHERE Title = 'Sales')", {"Anna", "Carl"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TQueryStatement statement(Fixture.Database);
    statement.RequestLive = 1;
    statement.Prepare(c.Sql);
    EXPECT_EQ(statement.IsLiveResult, 0);
    TDataCursor* cursor = statement.Execute(0);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(PrintResult(*cursor).Rows, c.Rows);
  }
}

// K = 7 appears in 3 of 3000 rows; "small" has one row per K asked for.
TEST_F(SelectTest, AnIndexedInnerTableReadsOnlyItsMatchingRecords) {
  MakeBig(3000);
  Fixture.MakeTable("small", "field K integer\nfield Label string 10\n", "7,seven\n123,other\n", "small");
  auto probe = OpenTable("big");
  TDataFile& bigFile = probe->Table()->DataFile();

  TQueryStatement statement(Fixture.Database);
  statement.Prepare("SELECT s.Label, b.Id FROM small s, big b WHERE s.K = b.K");
  bigFile.ResetStatistics();
  TDataCursor* cursor = statement.Execute(0);
  ASSERT_NE(cursor, nullptr);
  std::vector<std::string> rows = PrintResult(*cursor).Rows;
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, Rows({"other,1123", "other,123", "other,2123", "seven,1007", "seven,2007", "seven,7"}));
  // Six matching records, each fetched a few times at most; a scan of the inner table for
  // each outer row would fetch 6000.
  // The counts are the inner table's: its six records were read to make the rows.
  EXPECT_GE(bigFile.Statistics().Fetches, 6u);
  EXPECT_LE(bigFile.Statistics().Fetches, 30u);

  // A single-table condition served by the index reads the matches only, too.
  TQueryStatement single(Fixture.Database);
  single.Prepare("SELECT Id FROM big WHERE K = 999");
  bigFile.ResetStatistics();
  cursor = single.Execute(0);
  ASSERT_NE(cursor, nullptr);
  rows = PrintResult(*cursor).Rows;
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, Rows({"1999", "2999", "999"}));
  EXPECT_GE(bigFile.Statistics().Fetches, 3u);
  EXPECT_LE(bigFile.Statistics().Fetches, 15u);
}

TEST_F(SelectTest, RunningAPreparedStatementAgainGivesTheSameRows) {
  const char* statements[] = {
      "SELECT e.Name, d.Title FROM emp e LEFT JOIN dept d ON e.Dept = d.Code ORDER BY 1",
      "SELECT Dept, SUM(Salary) FROM emp GROUP BY Dept",
      "SELECT DISTINCT Salary FROM emp",
      "SELECT COUNT(*), MAX(Salary) FROM emp",
      "SELECT Name FROM emp UNION ALL SELECT Title FROM dept",
  };
  for (const char* sql : statements) {
    SCOPED_TRACE(sql);
    TQueryStatement statement(Fixture.Database);
    statement.Prepare(sql);
    TDataCursor* cursor = statement.Execute(0);
    ASSERT_NE(cursor, nullptr);
    const std::vector<std::string> first = PrintResult(*cursor).Rows;
    const int32_t firstCount = statement.RowCount;
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(firstCount, int32_t(first.size()));
    cursor = statement.Execute(0);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(PrintResult(*cursor).Rows, first);
    EXPECT_EQ(statement.RowCount, firstCount);
  }
}

TEST_F(SelectTest, ARerunSeesTheTablesAsTheyAreNow) {
  // Opened before the statement, so that the table is writable whatever the statement's
  // cursors ask for: a table shared in one database keeps the options of its first opener.
  auto emp = OpenTable("emp");
  TQueryStatement statement(Fixture.Database);
  statement.Prepare(
      "SELECT e.Name, d.Title, e.Salary FROM emp e, dept d WHERE e.Dept = d.Code AND e.Salary > 2600 ORDER BY 1");
  TDataCursor* cursor = statement.Execute(0);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(PrintResult(*cursor).Rows, Rows({"Anna,Sales,3000"}));
  std::vector<uint8_t> record(emp->RecordSize());
  emp->InitRecord(record.data());
  for (auto [field, text] : {std::pair{"Id", "6"}, {"Name", "Finn"}, {"Dept", "20"}, {"Salary", "3500"}})
    tool::PutText(*emp, emp->FieldNumber(field), record.data(), text);
  emp->AppendRecord(record.data(), false);
  cursor = statement.Execute(0);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(PrintResult(*cursor).Rows, Rows({"Anna,Sales,3000", "Finn,Research,3500"}));
  EXPECT_EQ(statement.RowCount, 2);
}

TEST_F(SelectTest, MaxRowsLimitsTheRowsProduced) {
  TQueryStatement statement(Fixture.Database);
  statement.MaxRows = 2;
  statement.Prepare("SELECT Name FROM emp WHERE Salary IS NOT NULL");
  TDataCursor* cursor = statement.Execute(0);
  ASSERT_NE(cursor, nullptr);
  const std::vector<std::string> rows = PrintResult(*cursor).Rows;
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(statement.RowCount, 2);
  for (const std::string& row : rows) EXPECT_TRUE(row == "Anna" || row == "Bob" || row == "Dora" || row == "Eve") << row;

  // Without a limit (negative), every row.
  TQueryStatement unlimited(Fixture.Database);
  unlimited.Prepare("SELECT Name FROM emp WHERE Salary IS NOT NULL");
  cursor = unlimited.Execute(0);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(unlimited.RowCount, 4);
}

TEST_F(SelectTest, ProgressRunsToOneHundredAndAnAbortKeepsTheRowsSoFar) {
  MakeBig(3000);
  const char sql[] = "SELECT Id, K + 1 FROM big";
  {
    std::vector<int> reported;
    TQueryStatement statement(Fixture.Database);
    statement.ProgressCallback = [&](TQueryStatement&, int percent, uint8_t*) { reported.push_back(percent); };
    statement.Prepare(sql);
    ASSERT_NE(statement.Execute(0), nullptr);
    EXPECT_EQ(statement.RowCount, 3000);
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_EQ(reported.back(), 100);
    // Steps of 5 percent by default: about 20 reports, not one per record.
    EXPECT_LE(reported.size(), 21u);
  }
  int calls = 0;
  TQueryStatement statement(Fixture.Database);
  statement.ProgressCallback = [&](TQueryStatement&, int percent, uint8_t* abort) {
    ++calls;
    if (percent >= 30) *abort = 1;
  };
  statement.Prepare(sql);
  TDataCursor* cursor = statement.Execute(0);
  ASSERT_NE(cursor, nullptr);
  const std::vector<std::string> rows = PrintResult(*cursor).Rows;
  EXPECT_EQ(statement.RowCount, int32_t(rows.size()));
  EXPECT_GE(rows.size(), 800u);
  EXPECT_LT(rows.size(), 1000u);
  // The rows produced are the first ones of the driving table, complete.
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), "1,2");
  EXPECT_GT(calls, 0);
}

// A stop request is asked between rows, and a stop ends the whole statement: the query
// stopped keeps its rows so far, the queries after it produce and change nothing (they
// would work from answers cut short), the statements after it in a script do not run, and
// the next run starts afresh.
TEST_F(SelectTest, AStopRequestEndsTheWholeStatementAtOnce) {
  MakeBig(3000);
  struct TCase {
    const char* Sql;
    int StopAfter;    // polls answered "go on" before the stop
    int32_t MaxRows;  // rows of the master's result at most (-1: not a SELECT)
  };
  const std::vector<TCase> cases = {
      {"SELECT Id, K FROM big", 40, 40},
      {"SELECT Id FROM emp WHERE Id IN (SELECT Id FROM big)", 20, 0},
      {"DELETE FROM big WHERE Id IN (SELECT Id FROM big WHERE K < 500)", 100, -1},
      {"INSERT INTO big SELECT Id + 5000, K FROM big", 100, -1},
      {"SELECT Id FROM big; DELETE FROM big", 10, 10},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    const std::vector<std::string> before = TableRows("big");
    int polls = 0, aborts = 0;
    TQueryStatement statement(Fixture.Database);
    statement.StopRequested = [&] { return ++polls > c.StopAfter; };
    statement.ProgressCallback = [&](TQueryStatement&, int, uint8_t* abort) { aborts += *abort; };
    statement.Prepare(c.Sql);
    TDataCursor* cursor = statement.Execute(0);
    EXPECT_TRUE(statement.Aborted());
    EXPECT_EQ(aborts, 0);
    if (c.MaxRows >= 0) {
      ASSERT_NE(cursor, nullptr);
      EXPECT_LE(PrintResult(*cursor).Rows.size(), size_t(c.MaxRows));
    } else {
      EXPECT_EQ(statement.RowCount, 0);
    }
    EXPECT_EQ(TableRows("big"), before);
    // Run again without a stop: everything, from the start.
    statement.StopRequested = nullptr;
    statement.Execute(0);
    EXPECT_FALSE(statement.Aborted());
  }
  EXPECT_EQ(TableRows("big").size(), 0u);  // the script's DELETE ran on the last run
}

bool IsTableFile(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(), ::toupper);
  return extension == ".DAT" || extension == ".IDX" || extension == ".BLB";
}

TEST_F(SelectTest, ResultTablesAreGoneWithTheStatement) {
  const char* statements[] = {
      "SELECT Name, Salary FROM emp ORDER BY Salary",
      "SELECT Dept, AVG(Salary) FROM emp GROUP BY Dept",
      "SELECT Name FROM emp WHERE Dept IN (SELECT Code FROM dept) UNION SELECT Title FROM dept",
  };
  for (const char* sql : statements) {
    SCOPED_TRACE(sql);
    {
      TQueryStatement statement(Fixture.Database);
      statement.Prepare(sql);
      ASSERT_NE(statement.Execute(0), nullptr);
      std::vector<std::string> files = Fixture.PrivateFiles();
      EXPECT_TRUE(std::any_of(files.begin(), files.end(), IsTableFile)) << "no result table in the private directory";
    }
    for (const std::string& name : Fixture.PrivateFiles()) EXPECT_FALSE(IsTableFile(name)) << name << " left behind";
  }
  // The fixture tables themselves are untouched.
  EXPECT_EQ(TableRows("emp").size(), 5u);
}

}  // namespace
}  // namespace veldor::test
