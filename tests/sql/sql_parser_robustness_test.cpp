// Texts that are huge, deeply nested or damaged: each gives a parse or a clean engine
// error, never a crash, and every node goes back to the pool.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "sql_support.h"

namespace veldor::test {
namespace {

TEST(SqlParserRobustness, HugeAndDeepTexts) {
  // 100,000 terms in one condition and in one select list are ordinary input.
  std::string text = "SELECT a FROM t WHERE a = 0";
  for (int i = 1; i < 100000; ++i) text += " OR a = " + std::to_string(i);
  {
    TStatementParser parser;
    EXPECT_NO_THROW(parser.Prepare(text));
  }
  text = "SELECT a";
  for (int i = 0; i < 100000; ++i) text += ", a + 1";
  text += " FROM t";
  EXPECT_EQ(ParseSql(text).Message, "");
  // A long UNION chain is walked in a loop.
  text = "SELECT a FROM t0";
  for (int i = 1; i < 20000; ++i) text += " UNION ALL SELECT a FROM t" + std::to_string(i);
  {
    TStatementParser parser;
    parser.Prepare(text);
    EXPECT_EQ(parser.AllQueries().size(), 20000u);
  }
  // Deep parentheses are refused cleanly wherever an expression stands.
  const std::string open(100000, '(');
  for (const char* prefix : {"SELECT ", "SELECT a FROM t WHERE ", "INSERT INTO t VALUES (",
                                    "UPDATE t SET a = ", "SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE "}) {
    const TStatementResult r = ParseSql(std::string(prefix) + open + "1");
    EXPECT_EQ(r.Code, VELDOR_SQLPARSE) << prefix;
    EXPECT_NE(r.Message.find("nested more than"), std::string::npos) << r.Message;
  }
}

// Seed statements covering every clause, cut, doubled, swapped and sprinkled with stray
// characters. Each mutation must parse or raise VELDOR_SQLPARSE, and lose no node.
TEST(SqlParserRobustness, MutatedStatements) {
  const std::vector<std::string> seeds = {
      "SELECT DISTINCT a, b AS x, count(*), t.* INTO MEMORY r FROM t AS q LEFT OUTER JOIN u ON q.k = u.k "
      "RIGHT JOIN MEMORY v ON v.k = u.k WHERE a IN (SELECT b FROM w WHERE b > ?) AND c LIKE 'x%' WITH LOCKS "
      "UNION ALL SELECT a, b, 1, 2 FROM z GROUP BY 1, q.b HAVING count(a) > 1 ORDER BY 2 DESC, a NOCASE TOP 5 "
      "LANGUAGE 'German (Standard)' SORT 'German Phone Book Order' ENCRYPTED WITH 'pw' NOJOINOPTIMIZE; DELETE FROM t",
      "INSERT INTO '/d/t.dat' x (a, 'b', x.c) VALUES (1, ?, CAST(a AS CHAR(5))) NOAUTOINC COMMIT INTERVAL 10 FLUSH",
      "INSERT INTO t SELECT a FROM u UNION SELECT b FROM v COMMIT FLUSH",
      "UPDATE t a SET x = 1, 'y' = IF(a > 1 THEN 2 ELSE 3) FROM t a JOIN u ON u.k = a.k, v WHERE a.z = ? "
      "NOAUTOINC COMMIT FLUSH NOJOINOPTIMIZE",
      "CREATE TABLE IF NOT EXISTS t (a INTEGER DESCRIPTION 'x' NOT NULL DEFAULT '1' MIN 0 MAX 9 CHARCASE UPPER, "
      "b CHAR(5), CONSTRAINT k UNIQUE DESC NOCASE PRIMARY KEY (a, b) COMPRESS FULL, DESCRIPTION 'd' "
      "BLOB BLOCK SIZE 512 LANGUAGE 'ANSI Standard' ENCRYPTED WITH x USER MAJOR VERSION 1 USER MINOR VERSION 2 "
      "LAST AUTOINC -3)",
      "CREATE UNIQUE NOCASE INDEX i ON MEMORY t (a, 'b') COMPRESS DUPBYTE",
      "ALTER TABLE t ADD COLUMN a INTEGER AT 1 NOT NULL, REDEFINE b c CHAR(3), DROP d, ADD PRIMARY KEY (a), "
      "DROP CONSTRAINT k PRIMARY KEY, DESCRIPTION 'x' NOBACKUP",
      "DROP TABLE IF EXISTS '/x/t.dat'; DROP INDEX MEMORY t.i",
      "DELETE FROM MEMORY t d INNER JOIN u ON u.k = d.k WHERE d.a BETWEEN 1 AND 2 COMMIT INTERVAL 3 NOJOINOPTIMIZE",
  };
  const char* pieces[] = {"(", ")", ",", "'", "\"", "[", "]", ".", "?", "*", "/*", ";", " SELECT ", " FROM ",
                          " JOIN ", " ON ", " UNION ", " WHERE ", " IN (", " AS ", " MEMORY ", " FULL "};
  const unsigned seed = std::random_device{}();
  std::printf("mutation seed %u\n", seed);
  std::mt19937 random(seed);
  int parsed = 0, refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = seeds[random() % seeds.size()];
    const int edits = 1 + int(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text.erase(at, 1 + random() % 12); break;
        case 1: text.insert(at, pieces[random() % (sizeof pieces / sizeof *pieces)]); break;
        case 2: text.resize(at); break;
        default: text.insert(at, text.substr(random() % text.size(), 1 + random() % 30)); break;
      }
    }
    const TStatementResult r = ParseSql(text);
    if (r.Message.empty() && r.Full.empty()) {
      ++parsed;
    } else {
      ++refused;
      EXPECT_EQ(r.Code, VELDOR_SQLPARSE) << "seed " << seed << ": " << text;
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace veldor::test
