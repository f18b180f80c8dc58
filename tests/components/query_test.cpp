// The query component over real tables: parameters made from ":name" markers and passed
// to the statement, scripts, the row limit, the refusals, long strings as BLOB values, a
// parameter data source that runs the query again, live results edited through the
// component, and progress with abort.
#include "components/query.h"
#include "sql/query.h"
#include "tests/components/component_fixture.h"

namespace veldor::test {
namespace {

class Query : public ComponentTest {
 protected:
  void TearDown() override {
    queries_.clear();
    ComponentTest::TearDown();
  }

  // A query on the test directory with `sql`, owned by the fixture.
  TVELDORQuery& MakeQuery(const std::string& sql) {
    queries_.push_back(std::make_unique<TVELDORQuery>());
    TVELDORQuery& q = *queries_.back();
    q.SetDatabaseName(dir_);
    q.SetSQLText(sql);
    return q;
  }

  // A People table of `count` rows: Id 1.., Amount 10 * Id.
  void MakeRows(const std::string& name, int count) {
    std::vector<TPerson> rows;
    for (int i = 1; i <= count; ++i) rows.push_back({i, "n" + std::to_string(i), 10 * i, ""});
    MakeTable(name, People(), rows);
  }

  std::vector<std::unique_ptr<TVELDORQuery>> queries_;
};

TEST_F(Query, NamedMarkersBecomeParametersWhoseValuesReachTheStatement) {
  MakePeople();
  TVELDORQuery& q = MakeQuery("select * from people\nwhere Amount = :low or Amount = :high");
  ASSERT_EQ(q.ParamCount(), 2);
  EXPECT_EQ(q.Params()[0].Name(), "low");
  EXPECT_EQ(q.Params()[1].Name(), "high");
  EXPECT_EQ(q.Text(), "select * from people\nwhere Amount = ? or Amount = ?");
  q.ParamByName("low").SetAsInteger(100);
  q.ParamByName("high").SetAsInteger(500);
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 3}));
  EXPECT_EQ(q.RowsAffected(), 2);

  // A new text keeps the values of the parameters whose names it still has.
  q.SetSQLText("select * from people where Amount = :LOW or Id = :id");
  EXPECT_FALSE(q.Active());
  ASSERT_EQ(q.ParamCount(), 2);
  EXPECT_EQ(q.Params()[0].AsInteger(), 100);
  EXPECT_TRUE(q.Params()[1].IsNull());
  q.ParamByName("id").SetAsInteger(3);
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 3}));
  q.Close();

  // Changing a value and opening again runs the prepared statement with the new one.
  EXPECT_TRUE(q.Prepared());
  q.ParamByName("id").SetAsInteger(5);
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{2, 5}));
  q.Close();

  // A parameter given no value has no engine type.
  q.SetSQLText("select * from people where Id = :missing");
  EXPECT_EQ(DatabaseMessageOf([&] { q.Open(); }), "No value for parameter 'missing'");
  EXPECT_FALSE(q.Active());
  // Without ParamCheck the markers stay in the text.
  q.SetParamCheck(false);
  q.SetSQLText("select * from people where Id = :other");
  EXPECT_EQ(q.Text(), "select * from people where Id = :other");
  EXPECT_EQ(q.Params()[0].Name(), "missing");
}

TEST_F(Query, AScriptKeepsParamsAndShowsItsLastResult) {
  MakePeople();
  TVELDORQuery& q = MakeQuery("select * from people where Id = :id");
  q.ParamByName("id").SetAsInteger(2);
  const std::string script = "select * from people where Id = 1;\nselect * from people where Id > 3";
  q.SetSQLText(script);
  EXPECT_EQ(q.Text(), script);
  ASSERT_EQ(q.ParamCount(), 1);
  EXPECT_EQ(q.Params()[0].Name(), "id");
  EXPECT_EQ(q.Params()[0].AsInteger(), 2);
  q.Params().Clear();
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{4, 5}));
  EXPECT_EQ(q.RowsAffected(), 3);  // both statements' rows
  q.Close();

  // Only blanks and line breaks after the ";": one statement, with its markers parsed.
  q.SetSQLText("select * from people where Id = :id; \r\n ");
  ASSERT_EQ(q.ParamCount(), 1);
  EXPECT_EQ(q.Text(), "select * from people where Id = ?; \n ");
  q.ParamByName("id").SetAsInteger(3);
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{3}));
}

TEST_F(Query, MaxRowCountLimitsTheResult) {
  MakeRows("people", 30);
  TVELDORQuery& q = MakeQuery("select * from people where Amount > 50");
  q.SetMaxRowCount(10);
  q.Open();
  EXPECT_EQ(q.RecordCount(), 10);
  EXPECT_EQ(Ids(q).front(), 6);
  EXPECT_EQ(q.StmtHandle()->MaxRows, 10);
  q.Close();
  q.SetMaxRowCount(-1);
  EXPECT_EQ(q.StmtHandle()->MaxRows, -1);
  q.Unprepare();
  q.Open();
  EXPECT_EQ(q.RecordCount(), 25);
}

TEST_F(Query, RefusalsLeaveTheQueryClosedAndUnprepared) {
  MakePeople();
  struct TCase {
    const char* Sql;
    const char* Message;
  };
  const TCase cases[] = {{"", "No SQL statement available"}, {"x", "No SQL statement available"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TVELDORQuery& q = MakeQuery(c.Sql);
    EXPECT_EQ(DatabaseMessageOf([&] { q.Open(); }), c.Message);
    EXPECT_EQ(DatabaseMessageOf([&] { q.Prepare(); }), c.Message);
    EXPECT_EQ(DatabaseMessageOf([&] { q.ExecSQL(); }), c.Message);
    EXPECT_FALSE(q.Active());
    EXPECT_FALSE(q.Prepared());
    EXPECT_EQ(q.Database(), nullptr);
  }

  // A statement the engine cannot parse: its error, and nothing prepared.
  TVELDORQuery& bad = MakeQuery("select from people");
  EXPECT_EQ(EngineCodeOf([&] { bad.Open(); }), VELDOR_SQLPARSE);
  EXPECT_FALSE(bad.Prepared());
  EXPECT_EQ(bad.Database(), nullptr);

  // Preparing and unpreparing an open query.
  TVELDORQuery& q = MakeQuery("select * from people");
  q.Open();
  EXPECT_EQ(DatabaseMessageOf([&] { q.Unprepare(); }), "Cannot perform this operation on an open dataset");
  EXPECT_EQ(DatabaseMessageOf([&] { q.ExecSQL(); }), "Cannot perform this operation on an open dataset");
  EXPECT_TRUE(q.Prepared());
  // A parameter source that depends on the query itself.
  TDataSource own;
  own.SetDataSet(&q);
  EXPECT_EQ(DatabaseMessageOf([&] { q.SetDataSource(&own); }), "Circular data links are not allowed.");
  EXPECT_EQ(q.DataSource(), nullptr);
}

TEST_F(Query, PreparingHoldsTheDatabaseUntilUnprepared) {
  MakePeople();
  TVELDORDatabase db;
  db.SetDatabaseName("lib");
  db.SetDirectory(dir_);
  TVELDORQuery& q = MakeQuery("select * from people");
  q.SetDatabaseName("lib");
  q.Prepare();
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(q.Database(), &db);
  q.Open();
  q.Close();
  EXPECT_TRUE(q.Prepared());  // closed but still prepared
  EXPECT_EQ(q.Database(), &db);
  // A database that closes closes and unprepares its queries.
  q.Open();
  db.Close();
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(q.Prepared());
  EXPECT_EQ(q.Database(), nullptr);
  // Changing the database unprepares.
  q.Prepare();
  q.SetDatabaseName(dir_);
  EXPECT_FALSE(q.Prepared());
  q.Open();
  EXPECT_EQ(q.RecordCount(), 5);
}

TEST_F(Query, ChangingTheSqlOfAnOpenQueryClosesIt) {
  MakePeople();
  TVELDORQuery& q = MakeQuery("select * from people");
  q.Open();
  // The same text changes nothing.
  q.SetSQLText("select * from people");
  EXPECT_TRUE(q.Active());
  q.SQL().Add("where Id = 2");
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(q.Prepared());
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{2}));
}

TEST_F(Query, AFilterLastsOneOpeningOfTheStatementsCursor) {
  MakePeople();
  // The result cursor stays with the statement between openings, live or not.
  for (const bool live : {false, true}) {
    SCOPED_TRACE(live);
    TVELDORQuery& q = MakeQuery("select * from people");
    q.SetRequestLive(live);
    q.SetFilterText("Id > 2");
    q.SetFiltered(true);
    q.Open();
    EXPECT_EQ(Ids(q), (std::vector<int>{3, 4, 5}));
    q.Close();
    q.SetFilterText("Id < 2");
    q.Open();
    EXPECT_EQ(Ids(q), (std::vector<int>{1}));
  }
}

TEST_F(Query, LongStringsTravelAsBlobValues) {
  MakePeople();
  TVELDORQuery& q = MakeQuery("select * from people where Id = :id or Name = :name");
  q.ParamByName("id").SetAsInteger(1);
  for (const size_t length : {size_t(250), size_t(251)}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'q');
    q.ParamByName("name").SetAsString(text);
    q.Open();
    const TExpToken& node = *q.StmtHandle()->Parser().Parameters()[1];
    EXPECT_EQ(node.DataType, length > 250 ? FIELD_BLOB : FIELD_STRING);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(node.Value.data()), length), text);
    EXPECT_EQ(Ids(q), (std::vector<int>{1}));
    q.Close();
  }

  // A BLOB value reaches the table whole: a memo parameter, or a string one too long for a
  // string, into the memo column; a string column keeps what it holds of a long string.
  TVELDORQuery& insert = MakeQuery("insert into people (Id, Name, Amount, Memo) values (:id, :name, :amount, :memo)");
  for (const int length : {1, 251, 600}) {
    SCOPED_TRACE(length);
    insert.ParamByName("id").SetAsInteger(100 + length);
    insert.ParamByName("amount").SetAsInteger(100 + length);
    insert.ParamByName("name").SetAsString(std::string(size_t(length) + 250, 'n'));
    if (length == 251)
      insert.ParamByName("memo").SetAsString(std::string(size_t(length), 'm'));
    else
      insert.ParamByName("memo").SetAsMemo(std::string(size_t(length), 'm'));
    insert.ExecSQL();
    EXPECT_EQ(insert.RowsAffected(), 1);
  }
  TVELDORTable& t = Table();
  t.Open();
  for (const int length : {1, 251, 600}) {
    SCOPED_TRACE(length);
    ASSERT_TRUE(t.Locate("Id", 100 + length, 0));
    EXPECT_EQ(t.FieldByName("Name").AsString(), std::string(20, 'n'));
    EXPECT_EQ(t.FieldByName("Memo").AsString(), std::string(size_t(length), 'm'));
  }
}

TEST_F(Query, TextIsUtf8OutsideAndWindows1252InTheEngine) {
  MakeTable("people", People(), {{1, "Gr\xfcn", 10, ""}, {2, "Green", 20, ""}});
  TVELDORQuery& q = MakeQuery("select * from people where Name = 'Gr\u00fcn'");
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{1}));
  EXPECT_EQ(q.FieldByName("Name").AsString(), "Gr\u00fcn");
  q.SetSQLText("select * from people where Name = :name");
  q.ParamByName("name").SetAsString("Gr\u00fcn");
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{1}));
  q.Close();
  // A character the engine's code page lacks is refused, naming the text.
  q.SetSQLText("select * from people where Name = '\u03a9'");
  EXPECT_NE(DatabaseMessageOf([&] { q.Open(); }).find("SQL text"), std::string::npos);
  EXPECT_FALSE(q.Prepared());
}

TEST_F(Query, StatementsWithoutAResultRunThroughExecSQLButDoNotOpen) {
  MakePeople();
  TVELDORQuery& q = MakeQuery("update people set Name = :name where Id = :id or Id = :other");
  q.ParamByName("name").SetAsString("set");
  q.ParamByName("id").SetAsInteger(2);
  q.ParamByName("other").SetAsInteger(4);
  q.ExecSQL();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.RowsAffected(), 2);

  // Opening it runs it, then finds no result to show.
  q.ParamByName("id").SetAsInteger(1);
  q.ParamByName("other").SetAsInteger(99);
  EXPECT_EQ(DatabaseMessageOf([&] { q.Open(); }), "Error creating table handle.");
  EXPECT_FALSE(q.Active());
  EXPECT_TRUE(q.Prepared());
  EXPECT_EQ(q.RowsAffected(), 1);
  q.SetSQLText("delete from people where Id = 99");
  EXPECT_EQ(DatabaseMessageOf([&] { q.Open(); }), "Error creating table handle.");
  EXPECT_EQ(q.RowsAffected(), 0);

  TVELDORTable& t = Table();
  t.Open();
  std::vector<std::string> names;
  for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("Name").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"set", "set", "smalley", "set", ""}));
}

TEST_F(Query, AParameterSourceRunsTheQueryAgainWhenItsDataSetMoves) {
  MakePeople();
  MakeRows("orders", 6);
  TVELDORTable& master = Table("people");
  TDataSource source;
  source.SetDataSet(&master);
  // The order of the master's Id.
  TVELDORQuery& q = MakeQuery("select * from orders where Id = :Id");
  q.SetDataSource(&source);
  master.Open();
  q.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{1}));
  int opened = 0;
  q.AfterOpen = [&](TDataSet&) { ++opened; };
  master.Next();
  EXPECT_EQ(Ids(q), (std::vector<int>{2}));
  master.Last();
  EXPECT_EQ(Ids(q), (std::vector<int>{5}));
  EXPECT_EQ(opened, 2);
  EXPECT_FALSE(q.Params()[0].Bound());
  // A master that closes and opens again runs it with its first record.
  master.Close();
  EXPECT_TRUE(q.Active());
  master.Open();
  EXPECT_EQ(Ids(q), (std::vector<int>{1}));

  // A value the program gives wins over the source's.
  q.ParamByName("Id").SetAsInteger(6);
  master.Next();
  EXPECT_EQ(Ids(q), (std::vector<int>{6}));

  // An edit of a live result is posted before the master moves and the query runs again.
  q.Close();
  q.SetRequestLive(true);
  q.Params()[0].Clear();
  q.Params()[0].SetBound(false);
  q.Open();
  q.Edit();
  q.FieldByName("Name").SetAsString("kept");
  master.Next();
  EXPECT_EQ(q.State(), dsBrowse);
  master.Prior();
  EXPECT_EQ(q.FieldByName("Name").AsString(), "kept");
}

TEST_F(Query, ALiveResultIsEditedThroughTheQuery) {
  MakePeople();
  TVELDORQuery& q = MakeQuery("select * from people where Amount >= 300");
  q.SetRequestLive(true);
  q.Open();
  ASSERT_TRUE(q.StmtHandle()->IsLiveResult);
  EXPECT_TRUE(q.CanModify());
  ASSERT_TRUE(q.Locate("Id", 3, 0));
  q.Edit();
  q.FieldByName("Name").SetAsString("Smalley");
  q.Post();
  q.Close();

  TVELDORTable& t = Table();
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 3, 0));
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Smalley");
  t.Close();

  // ReadOnly refuses edits of the same live result.
  q.SetReadOnly(true);
  q.Open();
  EXPECT_FALSE(q.CanModify());
  EXPECT_EQ(DatabaseMessageOf([&] { q.Edit(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(q.State(), dsBrowse);
}

TEST_F(Query, ProgressIsReportedAndAbortEndsTheRun) {
  MakeRows("people", 40);
  TVELDORQuery& q = MakeQuery("select Id, Amount from people");
  std::vector<int> percents;
  q.OnQueryProgress = [&](TVELDORQuery&, int percent, bool&) { percents.push_back(percent); };
  q.Open();
  EXPECT_EQ(q.RecordCount(), 40);
  ASSERT_GE(percents.size(), 2u);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(percents.back(), 100);
  q.Close();

  percents.clear();
  q.OnQueryProgress = [&](TVELDORQuery&, int percent, bool& abort) {
    percents.push_back(percent);
    abort = percent >= 50;
  };
  q.Open();
  EXPECT_LT(q.RecordCount(), 40);
  EXPECT_GE(q.RecordCount(), 15);
  EXPECT_LT(percents.back(), 100);
  q.Close();

  // ExecSQL runs it without opening the query.
  q.OnQueryProgress = nullptr;
  q.ExecSQL();
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.RowsAffected(), 40);
  EXPECT_GE(q.ExecutionTime(), 0.0);
}

}  // namespace
}  // namespace veldor::test
