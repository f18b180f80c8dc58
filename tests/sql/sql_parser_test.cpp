// The statement parser as tables of cases: for each clause the objects it fills, and for
// every statement-level message a text that produces it, word for word. Every parse runs
// through ParseSql(), which also checks that no node is lost on any path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_support.h"

namespace veldor::test {
namespace {

struct TQueryCase {
  const char* Text;
  std::vector<std::string> Queries;  // Describe() of each query in order of creation
};

void CheckCases(const std::vector<TQueryCase>& cases) {
  for (const TQueryCase& c : cases) {
    const TStatementResult r = ParseSql(c.Text);
    EXPECT_EQ(r.Full, "") << c.Text;
    EXPECT_EQ(r.Queries, c.Queries) << c.Text;
  }
}

TEST(SqlParser, SelectListColumnsAndAliases) {
  CheckCases({
      // Plain columns name themselves; AS, a bare symbol, a bracketed name or a string is an
      // alias; AS x.y takes the second name.
      {"SELECT a, b x, c AS y, d AS t.z, e 'q r', f [s], [n m] FROM t",
       {"SELECT (a>a;a) (b>x;b alias) (c>y;c alias) (d>z;d alias) (e>q r;e alias) (f>s;f alias) ([n m]>n m;n m) "
        "1:t=t"}},
      // "*" and t.* give no result name; aggregates of a plain column record the column and
      // leave the name empty; anything else is an expression; AVG marks the query.
      {"select all distinct * , t.*, count(*), sum(a) s, runsum(a), min(t.a), max(a), avg(a+1), 1+2, upper(a) FROM t",
       {"SELECT DISTINCT (*>;*) (t.*>;t.*) (count(*)>;* agg6) (sum(a)>s;a alias agg1) (runsum(a)>;a agg2) "
        "(min(t.a)>;t.a agg3) (max(a)>;a agg4) (avg(a+1)>; expr agg5) (1+2>; expr) (upper(a)>; expr) 1:t=t AVG"}},
      // The item's text is the source from its first to its last token, without line breaks.
      {"SELECT  a\r\n +  b  AS s FROM t", {"SELECT (a +  b>s; expr alias) 1:t=t"}},
      // Predicates are allowed in the select list.
      {"SELECT a LIKE 'x%' FROM t", {"SELECT (a LIKE 'x%'>; expr) 1:t=t"}},
      // A correlation written as a path ending in .dat is the bare file name.
      {"SELECT '/x/T.dat'.a FROM '/x/T.dat'", {"SELECT ('/x/T.dat'.a>a;T.a) 1:/x/T=T"}},
  });
}

TEST(SqlParser, SelectSourcesAndCorrelationNames) {
  CheckCases({
      // A bare symbol after a table is its correlation, but never a word that follows tables.
      {"SELECT a FROM t x", {"SELECT (a>a;a) 1:t=x!"}},
      {"SELECT a FROM t WHERE a = 1", {"SELECT (a>a;a) 1:t=t where + (= a i:1) sides=0"}},
      {"SELECT a FROM t AS 'my x', u, v AS w", {"SELECT (a>a;a) 1:t=my x! 2:u=u 3:v=w! MULTI"}},
      // MEMORY, paths and ".DAT".
      {"SELECT * FROM MEMORY m, '/data/lib/Customer.dat' c, \"x.DAT\"",
       {"SELECT (*>;*) 1:Memorym@mem=m 2:/data/lib/Customer=c! 3:x=x MULTI"}},
      {"SELECT * FROM t UNION SELECT * FROM t", {"SELECT DISTINCT (*>;*) 1:t=t", "SELECT (*>;*) 2:t=t unionkind=1"}},
  });
  // The words that may follow a table never become its correlation name.
  for (const char* stop : {"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "UNION", "ORDER", "GROUP", "HAVING", "TOP",
                           "RANGE", "WITH", "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "FULL"}) {
    TStatementParser parser;
    try {
      parser.Prepare(std::string("SELECT a FROM t ") + stop + " x");
    } catch (const EVELDOREngineError&) {
    }
    ASSERT_FALSE(parser.Master()->SourceTables.empty()) << stop;
    for (const auto& table : parser.Master()->SourceTables)
      if (table->TableName == "t") {
        EXPECT_EQ(table->CorrelationName, "t") << stop;
      }
  }
}

TEST(SqlParser, SelectJoins) {
  CheckCases({
      // A RIGHT JOIN puts its table first: executed as a left join from it.
      {"SELECT * FROM a RIGHT JOIN b ON a.k = b.k", {"SELECT (*>;*) 2:b=b 1:a=a where + (= a.k b.k) sides=3 MULTI"}},
      {"SELECT * FROM a RIGHT OUTER JOIN b bb ON a.k = bb.k",
       {"SELECT (*>;*) 2:b=bb! 1:a=a where + (= a.k bb.k) sides=3 MULTI"}},
      // ON conditions join Condition by AND, newest on the right, WHERE last; every
      // comparison is marked with its join's side, WHERE's are not.
      {"SELECT * FROM a LEFT OUTER JOIN b ON a.k = b.k AND a.j > b.j JOIN c ON c.k = a.k WHERE a.z = 1",
       {"SELECT (*>;*) 1:a=a 2:b=b 3:c=c where + (AND (AND (AND (= a.k b.k) (> a.j b.j)) (= c.k a.k)) (= a.z i:1)) "
        "sides=2210 MULTI"}},
      // An inner join alone is a condition but not an outer join.
      {"SELECT * FROM a INNER JOIN b ON a.k = b.k, c LEFT JOIN d ON d.x <= c.x",
       {"SELECT (*>;*) 1:a=a 2:b=b 3:c=c 4:d=d where + (AND (= a.k b.k) (<= d.x c.x)) sides=12 MULTI"}},
      {"SELECT * FROM a JOIN b x ON a.k = x.k", {"SELECT (*>;*) 1:a=a 2:b=x! where (= a.k x.k) sides=1 MULTI"}},
      // Parameters are allowed in ON.
      {"SELECT * FROM a JOIN b ON a.k = ?", {"SELECT (*>;*) 1:a=a 2:b=b where (= a.k ?) sides=1 MULTI"}},
  });
}

TEST(SqlParser, SelectTrailingClauses) {
  CheckCases({
      {"SELECT a, count(b) FROM t WHERE a IN (SELECT k FROM u WHERE k > 2) GROUP BY a, t.b, 1 HAVING count(b) > 1 "
       "ORDER BY 2 DESC, name NOCASE TOP 10 WITH LOCKS LANGUAGE 'ANSI Standard' ENCRYPTED WITH 'pw' NOJOINOPTIMIZE",
       {"SELECT (a>a;a) (count(b)>;b agg6) 1:t=t where + (INSELECT a SELECT) sides= group a group t.b group #1 "
        "having (> (COUNT b) i:1) order #2 DESC order name HASGROUP HASHAVING HASORDER NOCASE LOCKS NOJOINOPT "
        "top=10 lang=0 enc=pw on",
        "SELECT SUB (k>k;k) 2:u=u where + (> k i:2) sides=0"}},
      {"SELECT a FROM t ORDER BY t.a ASC, [b c] ASCENDING, 'd' DESCENDING, e",
       {"SELECT (a>a;a) 1:t=t order t.a order b c order d DESC order e HASORDER"}},
      {"SELECT a FROM t WITH LOCKS NOJOINOPTIMIZE", {"SELECT (a>a;a) 1:t=t LOCKS NOJOINOPT"}},
      {"SELECT a FROM t LANGUAGE 'German (Standard)' SORT 'German Phone Book Order'",
       {"SELECT (a>a;a) 1:t=t lang=1031 sort=1"}},
      {"SELECT a FROM t LANGUAGE 'german (swiss)' SORT 'default order'", {"SELECT (a>a;a) 1:t=t lang=2055 sort=0"}},
      // An empty password leaves the result unencrypted.
      {"SELECT a FROM t ENCRYPTED WITH ''", {"SELECT (a>a;a) 1:t=t enc="}},
      // The result table is named like a source table.
      {"SELECT a INTO MEMORY r FROM t", {"SELECT (a>a;a) target=MEMORY:Memoryr 1:t=t"}},
      {"SELECT a INTO MEMORY FROM t", {"SELECT (a>a;a) target=MEMORY:Memory 1:t=t"}},
      {"SELECT a INTO 'res' FROM t", {"SELECT (a>a;a) target=res 1:t=t"}},
      {"SELECT a INTO '/out/Res.DAT' FROM t", {"SELECT (a>a;a) target=/out/Res 1:t=t"}},
      {"SELECT a FROM t;", {"SELECT (a>a;a) 1:t=t"}},
  });
}

TEST(SqlParser, UnionChains) {
  CheckCases({
      // Each member stops after its UNION step; ORDER BY and later clauses are the master's;
      // UNION without ALL makes the master DISTINCT. Table numbers run through the statement.
      {"SELECT a FROM t WHERE a > 1 UNION SELECT b FROM u WITH LOCKS UNION ALL SELECT c FROM v NOJOINOPTIMIZE "
       "ORDER BY 1 TOP 5",
       {"SELECT DISTINCT (a>a;a) 1:t=t where + (> a i:1) sides=0 order #1 HASORDER top=5",
        "SELECT (b>b;b) 2:u=u LOCKS unionkind=1", "SELECT (c>c;c) 3:v=v NOJOINOPT unionkind=2"}},
      {"SELECT a FROM t UNION ALL SELECT b FROM u", {"SELECT (a>a;a) 1:t=t", "SELECT (b>b;b) 2:u=u unionkind=2"}},
  });
  // The chain is linked in order.
  TStatementParser parser;
  TDataQuery& master = parser.Prepare("SELECT a FROM t UNION SELECT b FROM u UNION ALL SELECT c FROM v");
  ASSERT_EQ(parser.AllQueries().size(), 3u);
  EXPECT_EQ(master.UnionQuery, parser.AllQueries()[1].get());
  EXPECT_EQ(master.UnionQuery->UnionQuery, parser.AllQueries()[2].get());
  EXPECT_EQ(master.UnionQuery->UnionQuery->UnionQuery, nullptr);
}

TEST(SqlParser, InsertUpdateDelete) {
  CheckCases({
      // Without a column list the one target "*" stands for every column in table order.
      {"INSERT INTO t VALUES (1, 'x', ?)", {"INSERT target=t 1:t=t set *<-1 value 'x' value ?"}},
      // A string in the column list names a column.
      {"INSERT INTO MEMORY '/d/t.dat' x (a, 'b c', x.d) VALUES (1, 2 + 3, NULL) NOAUTOINC COMMIT INTERVAL 100 FLUSH",
       {"INSERT target=MEMORY:Memoryt 1:Memoryt@mem=x! set a<-1 set b c<-2 + 3 set x.d<-NULL NOAUTOINC interval=100 "
        "FLUSH"}},
      {"INSERT INTO t (a) SELECT b FROM u WHERE b > 0 COMMIT FLUSH",
       {"INSERT target=t 1:t=t set a FLUSH", "SELECT SUB (b>b;b) 2:u=u where + (> b i:0) sides=0"}},
      {"INSERT INTO t SELECT * FROM u NOAUTOINC", {"INSERT target=t 1:t=t set * NOAUTOINC", "SELECT SUB (*>;*) 2:u=u"}},
      // The SELECT of an INSERT may hold a sub-select; that one may not hold another.
      {"INSERT INTO t SELECT a FROM u WHERE a IN (SELECT b FROM v)",
       {"INSERT target=t 1:t=t set *", "SELECT SUB (a>a;a) 2:u=u where + (INSELECT a SELECT) sides=",
        "SELECT SUB (b>b;b) 3:v=v"}},
      {"UPDATE t SET a = 1, 'b' = b + ?, t.c = NULL WHERE a > 0 NOAUTOINC COMMIT INTERVAL 5 NOJOINOPTIMIZE",
       {"UPDATE target=t 1:t=t set a<-1 set b<-b + ? set t.c<-NULL where + (> a i:0) sides=0 NOJOINOPT NOAUTOINC "
        "interval=5"}},
      // FROM repeats the updated table first; more sources follow it.
      {"UPDATE t SET x = 1 FROM t, u", {"UPDATE target=t 1:t=t 2:u=u set x<-1 MULTI"}},
      {"UPDATE t AS a SET x = 1 FROM t a JOIN u ON u.k = a.k WHERE u.z = 1",
       {"UPDATE target=t 1:t=a! 2:u=u set x<-1 where + (AND (= u.k a.k) (= u.z i:1)) sides=10 MULTI"}},
      {"UPDATE t x SET x = 1 FROM t", {"UPDATE target=t 1:t=x! set x<-1"}},
      {"DELETE FROM t", {"DELETE target=t 1:t=t"}},
      {"DELETE FROM MEMORY t d LEFT JOIN u ON u.k = d.k, v WHERE a IN (SELECT b FROM w) COMMIT INTERVAL 10 "
       "NOJOINOPTIMIZE",
       {"DELETE target=MEMORY:Memoryt 1:Memoryt@mem=d! 2:u=u 3:v=v where + (AND (= u.k d.k) (INSELECT a SELECT)) "
        "sides=2 MULTI NOJOINOPT interval=10",
        "SELECT SUB (b>b;b) 4:w=w"}},
  });
}

TEST(SqlParser, TableDefinitions) {
  CheckCases({
      // Every column option in its order, the primary key with every prefix, every table
      // option in its order. A text or value is one token: DEFAULT '-1' gives -1.
      {"CREATE TABLE IF NOT EXISTS '/d/t.dat' (a INTEGER DESCRIPTION 'the a' NOT NULL DEFAULT '-1' MIN 0 MAX 100 "
       "CHARCASE UPPER, 'b c' CHAR(20), [d] DECIMAL(10,2) CHARCASE NOCHANGE, e FLOAT MINIMUM '1.5' MAXIMUM 2, "
       "CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (a, 'b c') COMPRESS FULL, DESCRIPTION 'tbl' BLOB BLOCK SIZE 1024 "
       "LANGUAGE 'German (Standard)' SORT 'Default Order' ENCRYPTED WITH pw USER MAJOR VERSION 2 USER MINOR VERSION 3 "
       "LAST AUTOINC -5)",
       {"CREATE TABLE target=/d/t col(a:a t6 desc=the a NOTNULL default=-1 min=0 max=100 case=2) col('b c':b c t1 i:20) "
        "col([d]:d t8 i:10 i:2 case=0) col(e:e t7 min=1.5 max=2) index(pk:a,b c UNIQUE DESC NOCASE compress=3) "
        "IFNOTEXISTS tdesc=tbl blob=1024 major=2 minor=3 lastautoinc=-5 lang=1031 sort=0 enc=pw on"}},
      {"CREATE TABLE MEMORY t (a AUTOINC, b BLOB(1, 2), PRIMARY KEY (a) COMPRESS NONE, USER MINOR VERSION 4, "
       "LAST AUTOINC +9)",
       {"CREATE TABLE target=MEMORY:Memoryt col(a:a t6/29) col(b:b t3 i:1 i:2) index(:a) minor=4 lastautoinc=9"}},
      // LAST AUTOINC takes an integer constant, signed or not; anything else gives 0.
      {"CREATE TABLE t (a INTEGER LAST AUTOINC x)", {"CREATE TABLE target=t col(a:a t6) lastautoinc=0"}},
      {"CREATE TABLE t (a INTEGER, ASC PRIMARY KEY ((a + 1), b))",
       {"CREATE TABLE target=t col(a:a t6) index(:+,b)"}},
      {"CREATE UNIQUE DESC NOCASE INDEX 'ix' ON MEMORY t (a, b) COMPRESS DUPBYTE",
       {"CREATE INDEX target=MEMORY:Memoryt index(ix:a,b UNIQUE DESC NOCASE compress=1) indexname=ix"}},
      {"CREATE ASCENDING INDEX ix ON '/d/t' (a) COMPRESS TRAILBYTE;",
       {"CREATE INDEX target=/d/t index(ix:a compress=2) indexname=ix"}},
      // Each ALTER change starts with ADD, REDEFINE or DROP; REDEFINE may rename.
      {"ALTER TABLE t ADD COLUMN a INTEGER AT 2 DESCRIPTION 'x' NOT NULL DEFAULT 5 MIN 1 MAX 9 CHARCASE LOWER, "
       "REDEFINE b c CHAR(5), REDEFINE COLUMN d DATE DEFAULT 'x', REDEFINE e, DROP f, DROP COLUMN g, "
       "ADD CONSTRAINT k PRIMARY KEY (a), REDEFINE NOCASE PRIMARY KEY (b) COMPRESS TRAILBYTE, "
       "DROP CONSTRAINT k PRIMARY KEY, DROP PRIMARY KEY, DESCRIPTION 'n' LAST AUTOINC 7 NOBACKUP",
       {"ALTER TABLE target=t col(a:a t6 ADD at=2 desc=x NOTNULL default=5 min=1 max=9 case=1) "
        "col(b:b>c new t1 REDEFINE) col(d:d t2 REDEFINE default=x) col(e:e REDEFINE) col(f:f DROP) col(g:g DROP) "
        "index(k:a ADD) index(:b NOCASE REDEFINE compress=2) index(k: DROP) index(: DROP) NOBACKUP tdesc=n "
        "lastautoinc=7"}},
      {"ALTER TABLE t REDEFINE a b INTEGER NOT NULL", {"ALTER TABLE target=t col(a:a>b new t6 REDEFINE NOTNULL)"}},
      {"ALTER TABLE MEMORY t NOBACKUP", {"ALTER TABLE target=MEMORY:Memoryt NOBACKUP"}},
      {"ALTER TABLE t", {"ALTER TABLE target=t"}},
      {"DROP TABLE IF EXISTS t", {"DROP TABLE target=t IFEXISTS"}},
      {"DROP TABLE MEMORY '/x/t.dat'", {"DROP TABLE target=MEMORY:Memoryt"}},
      {"DROP INDEX t.i", {"DROP INDEX target=t indexname=i"}},
      {"DROP INDEX '/x/t.dat'.[my index]", {"DROP INDEX target=/x/t indexname=my index"}},
  });
}

TEST(SqlParser, StatementsAfterASemicolon) {
  {
    TStatementParser parser;
    EXPECT_EQ(parser.Prepare("SELECT a FROM t; DROP TABLE t").StatementKind, kStatementSelect);
    ASSERT_TRUE(parser.MoreStatements());
    EXPECT_EQ(parser.PrepareNext().StatementKind, kStatementDropTable);
    EXPECT_EQ(parser.Master()->TableName, "t");
  }
  TStatementParser parser;
  TDataQuery& first = parser.Prepare("SELECT a FROM t; UPDATE t SET a = 1 ; DELETE FROM t");
  EXPECT_EQ(first.StatementKind, kStatementSelect);
  ASSERT_TRUE(parser.MoreStatements());
  EXPECT_EQ(parser.PrepareNext().StatementKind, kStatementUpdate);
  EXPECT_EQ(parser.AllQueries().size(), 1u);
  EXPECT_EQ(parser.Master()->SourceTables.front()->TableNumber, 1);
  ASSERT_TRUE(parser.MoreStatements());
  EXPECT_EQ(parser.PrepareNext().StatementKind, kStatementDelete);
  EXPECT_FALSE(parser.MoreStatements());
  // A trailing ";" leaves nothing more to run.
  parser.Prepare("SELECT a FROM t ;  ");
  EXPECT_FALSE(parser.MoreStatements());
  // The next statement is only looked at when it is parsed.
  parser.Prepare("SELECT a FROM t; nonsense");
  EXPECT_TRUE(parser.MoreStatements());
  EXPECT_THROW(parser.PrepareNext(), EVELDOREngineError);
}

TEST(SqlParser, ParametersAreNumberedInOrderOfAppearance) {
  TStatementParser parser;
  parser.Prepare("SELECT a FROM t JOIN u ON u.k = ? WHERE a = ? AND b IN (SELECT c FROM v WHERE c = ?)");
  ASSERT_EQ(parser.Parameters().size(), 3u);
  const TExpToken* condition = parser.Master()->Condition.Get();  // (AND on (AND (= a ?) (IN ...)))
  EXPECT_EQ(parser.Parameters()[0], condition->Left->Right);
  EXPECT_EQ(parser.Parameters()[1], condition->Right->Left->Right);
  EXPECT_EQ(parser.Parameters()[2], parser.AllQueries()[1]->Condition->Right);
  parser.Prepare("INSERT INTO t VALUES (?, 1, ?)");
  ASSERT_EQ(parser.Parameters().size(), 2u);
  EXPECT_EQ(parser.Parameters()[1], parser.Master()->UpdateValues[2]->Expression.Get());
  // A new text starts a new list, even when its parse fails.
  EXPECT_THROW(parser.Prepare("UPDATE t SET a = ? WHERE"), EVELDOREngineError);
  EXPECT_EQ(parser.Parameters().size(), 1u);
}

TEST(SqlParser, SubSelectsAreRegisteredQueries) {
  TStatementParser parser;
  TDataQuery& master = parser.Prepare("SELECT a FROM t WHERE a NOT IN (SELECT b FROM u UNION SELECT c FROM v) OR a = 1");
  ASSERT_EQ(parser.AllQueries().size(), 3u);
  const TExpToken* in = master.Condition->Left;
  ASSERT_EQ(in->Code, kPredNotInSelect);
  EXPECT_EQ(in->Right->Kind, kTokenSubSelect);
  EXPECT_EQ(in->Right->SubQuery, parser.AllQueries()[1].get());
  EXPECT_TRUE(in->Right->SubQuery->IsSubQuery);
  EXPECT_EQ(in->Right->SubQuery->UnionQuery, parser.AllQueries()[2].get());
  EXPECT_TRUE(in->Right->SubQuery->Distinct);
  EXPECT_FALSE(master.Distinct);
}

struct TMessageCase {
  const char* Text;
  const char* Message;
};

// Every statement-level message, and the expression messages whose context the clause sets.
const std::vector<TMessageCase> kMessages = {
    // Dispatch and end of statement.
    {"", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
    {"MERGE t", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'MERGE'"},
    {"CREATE VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"DROP VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"ALTER INDEX i", "TABLE keyword expected, instead found 'INDEX'"},
    {"SELECT a FROM t WHERE a = 1 garbage", "End of SELECT statement expected, instead found 'garbage'"},
    {"INSERT INTO t VALUES (1) x", "End of INSERT statement expected, instead found 'x'"},
    {"UPDATE t SET a = 1 x", "End of UPDATE statement expected, instead found 'x'"},
    {"DELETE FROM t WHERE a = 1 )", "End of DELETE statement expected, instead found ')'"},
    // Table references.
    {"SELECT a FROM", "Table name expected after FROM keyword, instead found ''"},
    {"SELECT a FROM t, 5", "Table name expected after FROM keyword, instead found '5'"},
    {"SELECT a FROM t AS 5", "Symbol or string expected after AS keyword, instead found '5'"},
    {"SELECT a FROM t, u t", "Duplicate table correlation name 't' found in source tables"},
    {"SELECT a FROM t, T", "Duplicate table correlation name 'T' found in source tables"},
    {"SELECT a FROM t JOIN 'x' t ON a = b", "Duplicate table correlation name 't' found in source tables"},
    // SELECT.
    {"SELECT a AS 5 FROM t", "Symbol or string expected after AS keyword, instead found '5'"},
    {"SELECT a AS x.( FROM t", "Symbol or string expected after table correlation name, instead found '('"},
    // Only INTO and FROM end a select item without AS: here FROM itself is the alias.
    {"SELECT a AS FROM t", "FROM keyword expected, instead found 't'"},
    {"SELECT count(sum(a)) FROM t", "Aggregate functions cannot be nested"},
    {"SELECT 1 + count(a) FROM t", "Aggregate functions cannot be used within expressions"},
    {"SELECT upper(max(a)) FROM t", "Aggregate functions cannot be used within expressions"},
    {"SELECT a FROM t WHERE a IN (SELECT b INTO x FROM u)", "The INTO clause can only be used with the master query"},
    {"SELECT a FROM t UNION SELECT b INTO x FROM u", "The INTO clause can only be used with the master query"},
    {"SELECT a INTO 5 FROM t", "Result table name expected in INTO clause, instead found '5'"},
    {"SELECT a t", "FROM keyword expected, instead found ''"},
    {"SELECT a, b c WHERE", "FROM keyword expected, instead found 'WHERE'"},
    {"SELECT a FROM t JOIN", "Table name expected after JOIN keyword, instead found ''"},
    {"SELECT a FROM t JOIN u WHERE a = 1", "ON keyword expected in JOIN clause, instead found 'WHERE'"},
    {"SELECT a FROM t INNER u", "JOIN keyword expected after INNER keyword, instead found 'u'"},
    {"SELECT a FROM t LEFT OUTER u", "JOIN keyword expected after LEFT or OUTER keyword, instead found 'u'"},
    {"SELECT a FROM t RIGHT u", "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'u'"},
    {"SELECT a FROM t FULL OUTER JOIN u ON a = b",
     "Full outer joins are currently not supported in VELDOR SQL SELECT statements"},
    {"SELECT a FROM t x FULL JOIN u ON a = b",
     "Full outer joins are currently not supported in VELDOR SQL SELECT statements"},
    {"SELECT a FROM t WITH a", "LOCKS keyword expected after WITH keyword, instead found 'a'"},
    {"SELECT a FROM t ORDER BY 1 WITH NOLOCKS", "LOCKS keyword expected after WITH keyword, instead found 'NOLOCKS'"},
    {"SELECT a FROM t UNION ALL UPDATE", "SELECT keyword expected, instead found 'UPDATE'"},
    {"SELECT a FROM t GROUP a", "BY keyword expected after GROUP keyword, instead found 'a'"},
    {"SELECT a FROM t GROUP BY 1, (a)", "Column name or column number expected in GROUP BY clause, instead found '('"},
    {"SELECT a FROM t GROUP BY t.(", "Column name or column number expected in GROUP BY clause, instead found '('"},
    {"SELECT a FROM t ORDER a", "BY keyword expected after ORDER keyword, instead found 'a'"},
    {"SELECT a FROM t ORDER BY -1", "Column name or column number expected in ORDER BY clause, instead found '-'"},
    {"SELECT a FROM t ORDER BY 70000", "Column name or column number expected in ORDER BY clause, instead found '70000'"},
    {"SELECT a FROM t TOP x", "Integer value expected after TOP keyword, instead found 'x'"},
    {"SELECT a FROM t TOP 1.5", "Integer value expected after TOP keyword, instead found '1.5'"},
    {"SELECT a FROM t TOP 3000000000", "Integer value expected after TOP keyword, instead found '3000000000'"},
    {"SELECT a FROM t LANGUAGE 'Klingon'", "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
    {"SELECT a FROM t LANGUAGE 'ANSI Standard' SORT 'German Phone Book Order'",
     "Invalid sort constant 'German Phone Book Order' specified after SORT keyword"},
    {"SELECT a FROM t ENCRYPTED 'pw'", "WITH keyword expected after ENCRYPTED keyword, instead found 'pw'"},
    // INSERT.
    {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'"},
    {"INSERT INTO (a) VALUES (1)", "Table name expected after INTO clause, instead found '('"},
    {"INSERT INTO MEMORY (a) VALUES (1)", "Table name expected after INTO keyword, instead found '('"},
    {"INSERT INTO t (a, b VALUES (1)", "Right parentheses expected after list of table columns, instead found 'VALUES'"},
    {"INSERT INTO t VALUES 1", "Left parentheses expected after VALUES keyword, instead found '1'"},
    {"INSERT INTO t VALUES (1, 2", "Right parentheses expected after list of values, instead found ''"},
    {"INSERT INTO t (a) DEFAULT VALUES", "VALUES or SELECT  keyword expected, instead found 'DEFAULT'"},
    {"INSERT INTO t VALUES (1) COMMIT", "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL x",
     "Integer value expected after INTERVAL keyword, instead found 'x'"},
    // UPDATE.
    {"UPDATE (a) SET a = 1", "Table name expected, instead found '('"},
    {"UPDATE MEMORY = 1", "Table name expected, instead found '='"},
    {"UPDATE 5 SET a = 1", "Table name expected, instead found '5'"},
    {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
    {"UPDATE t SET a + 1 = 2", "Assignment (=) operator expected after column name, instead found '+'"},
    {"UPDATE t SET x = 1 FROM u", "The first source table specified in FROM clause must match the table being "
                                  "updated in the UPDATE statement"},
    {"UPDATE t SET x = 1 FROM t y", "The first source table specified in FROM clause must match the table being "
                                    "updated in the UPDATE statement"},
    {"UPDATE t SET x = 1 FROM t FULL JOIN u ON a = b",
     "Full outer joins are currently not supported in VELDOR SQL UPDATE statements"},
    // DELETE.
    {"DELETE t", "FROM keyword expected, instead found 't'"},
    {"DELETE FROM (", "Table name expected after FROM keyword, instead found '('"},
    {"DELETE FROM t FULL JOIN u ON a = b", "Full outer joins are currently not supported in VELDOR SQL DELETE statements"},
    // Expression errors keep the expression parser's form with the clause's context.
    {"SELECT ? FROM t", "Parameters are not allowed in source column expression"},
    {"SELECT a FROM t JOIN u ON a IN (SELECT b FROM v)", "Sub-select queries are not allowed in WHERE or JOIN clause"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE b IN (SELECT c FROM v))",
     "Sub-select queries are not allowed in WHERE or JOIN clause"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM u UNION SELECT b FROM w WHERE b IN (SELECT c FROM v))",
     "Sub-select queries are not allowed in WHERE or JOIN clause"},
    {"INSERT INTO t SELECT a FROM u WHERE a IN (SELECT b FROM u WHERE b IN (SELECT c FROM v))",
     "Sub-select queries are not allowed in WHERE or JOIN clause"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM u", "Expected right parentheses after IN operator, instead found '' in WHERE or JOIN clause"},
    {"SELECT a FROM t WHERE count(a) > 1", "Aggregate functions are not allowed in WHERE or JOIN clause"},
    {"SELECT a FROM t HAVING a LIKE 'x'", "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause"},
    {"SELECT a FROM t HAVING a = ?", "Parameters are not allowed in HAVING clause"},
    {"INSERT INTO t VALUES (count(a))", "Aggregate functions are not allowed in value expression"},
    {"INSERT INTO t (*) VALUES (1)", "* (all columns) symbol is not allowed in table column"},
    {"UPDATE t SET ? = 1", "Parameters are not allowed in table column"},
    {"UPDATE t SET a = b LIKE 'x'", "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in value expression"},
    {"SELECT a FROM t /* open", "Missing ending comment slash and asterisk in SQL statement"},
    // CREATE TABLE.
    {"CREATE TABLE IF t (a INTEGER)", "NOT keyword expected after IF keyword, instead found 't'"},
    {"CREATE TABLE IF NOT t (a INTEGER)", "EXISTS keyword expected after NOT keyword, instead found 't'"},
    {"CREATE TABLE (a INTEGER)", "Table name expected after CREATE TABLE keywords, instead found '('"},
    {"CREATE TABLE MEMORY (a INTEGER)", "Table name expected, instead found '('"},
    {"CREATE TABLE t a INTEGER", "Left parentheses expected before list of table columns, instead found 'a'"},
    {"CREATE TABLE t (a)", "SQL data type keyword expected, instead found ')' in SQL statement"},
    {"CREATE TABLE t (a INTEGER NOT 5)", "NULL keyword expected after NOT keyword, instead found '5'"},
    {"CREATE TABLE t (a CHAR(5) CHARCASE MIXED)",
     "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'MIXED'"},
    {"CREATE TABLE t (a INTEGER DEFAULT -1)", "Right parentheses expected after CREATE TABLE statement, instead found '1'"},
    {"CREATE TABLE t (a INTEGER, CONSTRAINT k KEY (a))", "PRIMARY keyword expected, instead found 'KEY'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY (a))", "KEY keyword expected after PRIMARY keyword, instead found '('"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)", "Left parentheses expected after KEY keyword, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))",
     "Right parentheses expected after primary key clause, instead found 'b'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS ALL)",
     "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'ALL'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS FULL, LANGUAGE 'xx')",
     "Invalid language constant 'xx' specified after LANGUAGE keyword"},
    {"CREATE TABLE t (a INTEGER, LANGUAGE 'German (Standard)' SORT 'Phone Book')",
     "Invalid sort constant 'Phone Book' specified after SORT keyword"},
    {"CREATE TABLE t (a INTEGER BLOB SIZE 512)", "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
    {"CREATE TABLE t (a INTEGER BLOB BLOCK 512)", "SIZE keyword expected after BLOCK keyword, instead found '512'"},
    {"CREATE TABLE t (a INTEGER BLOB BLOCK SIZE x)", "Integer value expected after SIZE keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER BLOB BLOCK SIZE 70000)",
     "Integer value expected after SIZE keyword, instead found '70000'"},
    {"CREATE TABLE t (a INTEGER ENCRYPTED pw)", "WITH keyword expected after ENCRYPTED keyword, instead found 'pw'"},
    {"CREATE TABLE t (a INTEGER USER VERSION 1)", "MAJOR keyword expected after USER keyword, instead found 'VERSION'"},
    {"CREATE TABLE t (a INTEGER USER MAJOR 1)", "VERSION keyword expected after MAJOR keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER USER MAJOR VERSION x)", "Integer value expected after VERSION keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER USER MAJOR VERSION 1 USER MAJOR VERSION 2)",
     "MINOR keyword expected after USER keyword, instead found 'MAJOR'"},
    {"CREATE TABLE t (a INTEGER USER MINOR 1)", "VERSION keyword expected after MINOR keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER LAST 5)", "AUTOINC keyword expected after LAST keyword, instead found '5'"},
    {"CREATE TABLE t (a INTEGER LAST AUTOINC ?)", "Parameters are not allowed in next auto-increment number"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (?))", "Parameters are not allowed in index column"},
    {"CREATE TABLE t (a INTEGER) x", "End of CREATE TABLE statement expected, instead found 'x'"},
    // CREATE INDEX.
    {"CREATE UNIQUE ix ON t (a)", "INDEX keyword expected, instead found 'ix'"},
    {"CREATE INDEX (a)", "Index name expected after INDEX keyword, instead found '('"},
    {"CREATE INDEX ix t (a)", "ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX ix ON (a)", "Table name expected after ON keyword, instead found '('"},
    {"CREATE INDEX ix ON MEMORY (a)", "Table name expected, instead found '('"},
    {"CREATE INDEX ix ON t a", "Left parentheses expected after KEY keyword, instead found 'a'"},
    {"CREATE INDEX ix ON t (a", "Right parentheses expected after primary key clause, instead found ''"},
    {"CREATE INDEX ix ON t (a) COMPRESS x", "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'x'"},
    {"CREATE INDEX ix ON t (a) x", "End of CREATE INDEX statement expected, instead found 'x'"},
    // ALTER TABLE.
    {"ALTER TABLE (a)", "Table name expected after ALTER TABLE keywords, instead found '('"},
    {"ALTER TABLE MEMORY ,", "Table name expected, instead found ','"},
    {"ALTER TABLE t ADD a INTEGER AT x", "Integer value expected after AT keyword, instead found 'x'"},
    {"ALTER TABLE t ADD a", "SQL data type keyword expected, instead found '' in SQL statement"},
    {"ALTER TABLE t DROP CONSTRAINT k KEY", "PRIMARY keyword expected, instead found 'KEY'"},
    {"ALTER TABLE t DROP PRIMARY", "KEY keyword expected after PRIMARY keyword, instead found ''"},
    {"ALTER TABLE t ADD a INTEGER, b INTEGER", "End of ALTER TABLE statement expected, instead found 'b'"},
    {"ALTER TABLE t ADD a INTEGER USER MINOR VERSION 1 NOBACKUP x",
     "End of ALTER TABLE statement expected, instead found 'x'"},
    // DROP TABLE and DROP INDEX.
    {"DROP TABLE IF t", "EXISTS keyword expected after IF keyword, instead found 't'"},
    {"DROP TABLE 5", "Table name expected after TABLE keyword, instead found '5'"},
    {"DROP TABLE MEMORY 5", "Table name expected, instead found '5'"},
    {"DROP TABLE t u", "End of DROP TABLE statement expected, instead found 'u'"},
    {"DROP INDEX (t.i)", "Table name expected after INDEX keyword, instead found '('"},
    {"DROP INDEX i", "Table name expected after INDEX keyword, instead found 'i'"},
    {"DROP INDEX t.", "Symbol or string expression expected after table correlation name separator '.', instead found '' in index name expression"},
    {"DROP INDEX t.i j", "End of DROP INDEX statement expected, instead found 'j'"},
};

TEST(SqlParser, EveryMessageWordForWord) {
  for (const TMessageCase& c : kMessages) {
    const TStatementResult r = ParseSql(c.Text);
    EXPECT_EQ(r.Message, c.Message) << c.Text;
    EXPECT_EQ(r.Code, VELDOR_SQLPARSE) << c.Text;
  }
  // The engine's form around the message.
  EXPECT_EQ(ParseSql("SELECT a FROM t TOP x").Full,
            "VELDOR Engine Error # 11949 SQL error - Integer value expected after TOP keyword, instead found 'x'");
}

}  // namespace
}  // namespace veldor::test
