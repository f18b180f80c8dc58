// The parser's grammar, constants, option bits and messages, as tables of cases. Every
// parse runs through Parse(), which also checks that no node is lost on any path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/field_types.h"
#include "expression_support.h"
#include "lib/date_time.h"

namespace veldor::test {
namespace {

constexpr uint32_t kAll = kAllowAggregates | kAllowAllColumns | kAllowExtendedPredicates | kAllowParameters;
constexpr uint32_t kExt = kAllowExtendedPredicates;

struct TTreeCase {
  const char* Text;
  uint32_t Options;
  const char* Tree;
};

const std::vector<TTreeCase> kTreeCases = {
    // Precedence and associativity.
    {"a OR b AND c", 0, "(OR a (AND b c))"},
    {"a AND b OR c AND d OR e", 0, "(OR (OR (AND a b) (AND c d)) e)"},
    {"NOT a = 1 AND b", 0, "(AND (NOT (= a i:1)) b)"},
    {"NOT NOT a", 0, "(NOT NOT) |a"},
    {"a = b = c", 0, "(= a b) |="},
    {"a < b > c", 0, "(< a b) |>"},
    {"-a * b", 0, "(* (neg a) b)"},
    {"+a - -b", 0, "(- (pos a) (neg b))"},
    {"a - b - c", 0, "(- (- a b) c)"},
    {"a / b * c", 0, "(* (/ a b) c)"},
    {"a + b * c - d / e", 0, "(- (+ a (* b c)) (/ d e))"},
    {"(a + b) * c", 0, "(* (+ a b) c)"},
    {"a || b + c", 0, "(+ (+ a b) c)"},
    {"a | /* x */ | b", 0, "(+ a b)"},
    // Comparison operators, two-character ones split across blanks and comments.
    {"a <> 1", 0, "(<> a i:1)"},
    {"a < > 1", 0, "(<> a i:1)"},
    {"a </**/= 1", 0, "(<= a i:1)"},
    {"a >\n= 1", 0, "(>= a i:1)"},
    {"a > 1", 0, "(> a i:1)"},
    {"a<1", 0, "(< a i:1)"},
    // Extended predicates.
    {"a IS NULL", kExt, "(= a NULL)"},
    {"a is not null AND b", kExt, "(AND (<> a NULL) b)"},
    {"a LIKE 'x%'", kExt, "(LIKE a 'x%')"},
    {"a NOT LIKE 'x' || b", kExt, "(NOTLIKE a (+ 'x' b))"},
    {"NOT a LIKE 'x'", kExt, "(NOT (LIKE a 'x'))"},
    {"a BETWEEN 1 AND 5 AND b", kExt, "(AND (BETWEEN a i:1 i:5) b)"},
    {"a NOT BETWEEN -1 AND +5", kExt, "(NOTBETWEEN a (neg i:1) (pos i:5))"},
    {"a BETWEEN 1+2 AND 5", kExt, "(BETWEEN a (pos (+ i:1 i:2)) i:5)"},
    {"a IN (1, 2, 'x')", kExt, "(IN a i:1 i:2 'x')"},
    {"a NOT IN (1)", kExt, "(NOTIN a i:1)"},
    {"a IN (b+1, 2)", kExt, "(IN a (pos (+ b i:1)) i:2)"},
    {"a + 1 IN (2) OR c", kExt, "(OR (IN (+ a i:1) i:2) c)"},
    // Primary forms.
    {"TRUE", 0, "TRUE"},
    {"false", 0, "FALSE"},
    {"NULL", 0, "NULL"},
    {"[NULL] = [count]", 0, "(= NULL count)"},
    {"[a b] = \"a b\"", 0, "(= a b 'a b')"},
    {"'it''s'", 0, "'it's'"},
    {"\"say \"\"hi\"\"\"", 0, "'say \"hi\"'"},
    {"\"it''s\"", 0, "'it's'"},
    {"''", 0, "NULL:1"},
    {"#65", 0, "'A'"},
    {"#0", 0, "#0"},
    {"#255", 0, "#255"},
    {"#0065", 0, "'A'"},
    {"2147483647", 0, "i:2147483647"},
    {"2147483648", 0, "L:2147483648"},
    {"9223372036854775807", 0, "L:9223372036854775807"},
    {"9223372036854775808", 0, "f:9.22337203685478e+18"},
    {"123456789012345678901234567890", 0, "f:1.23456789012346e+29"},
    {"1e3", 0, "f:1000"},
    {"1.5", 0, "f:1.5"},
    {".5", 0, "f:0.5"},
    {"2.5E-1", 0, "f:0.25"},
    {"t.name", 0, "t.name"},
    {"[my t].[a col]", 0, "my t.a col"},
    {"\"/data/Parts.DAT\".partno", 0, "Parts.partno"},
    {"'sub/dir/orders.dat'.\"id\"", 0, "orders.id"},
    {"'orders.data'.id", 0, "orders.data.id"},
    {"t.*", kAllowAllColumns, "t.*"},
    {"*", kAllowAllColumns, "*"},
    {"?", kAllowParameters, "?"},
    {"a = ? AND b = ?", kAllowParameters, "(AND (= a ?) (= b ?))"},
    {"CURRENT_DATE", 0, "date"},
    {"current_time", 0, "time"},
    {"CURRENT_TIMESTAMP", 0, "timestamp"},
    {"/* one */ /* two */ a /* three */", 0, "a"},
    {"a /* x */ b", 0, "a |b"},
    {"a . b", 0, "a.b"},
    {"t.5", 0, "t |.5"},  // a float, not the separator
    // Aggregates and functions.
    {"COUNT(*)", kAllowAggregates | kAllowAllColumns, "(COUNT *)"},
    {"sum(a + 1) / Avg(b)", kAllowAggregates, "(/ (SUM (+ a i:1)) (AVG b))"},
    {"MIN(a) + MAX(a) + RUNSUM(a)", kAllowAggregates, "(+ (+ (MIN a) (MAX a)) (RUNSUM a))"},
    {"UPPER(a) || lower(b)", 0, "(+ (UPPER a) (LOWER b))"},
    {"LENGTH(a || 'x')", 0, "(LENGTH (+ a 'x'))"},
    {"ABS(-a)", 0, "(ABS (neg a))"},
    {"SUBSTRING(a FROM 2 FOR 3)", 0, "(SUBSTRING a i:2 i:3)"},
    {"SUBSTRING(a FROM 2)", 0, "(SUBSTRING a i:2)"},
    {"SUBSTRING(a FROM (b+1) FOR 2)", 0, "(SUBSTRING a (pos (+ b i:1)) i:2)"},
    {"REPLACE('x' WITH 'y' IN a)", 0, "(REPLACE a 'x' 'y')"},
    {"POS('x' IN a)", 0, "(POS a 'x')"},
    {"OCCURS('x' IN a)", 0, "(OCCURS a 'x')"},
    {"CAST(a AS INTEGER)", 0, "(CAST a)"},
    {"CAST(a AS CHAR(10))", 0, "(CAST a i:10)"},
    {"TRIM(LEADING ' ' FROM a)", 0, "(TRIM/50 a ' ')"},
    {"TRIM(TRAILING '.' FROM a)", 0, "(TRIM/51 a '.')"},
    {"TRIM(BOTH 'x' FROM a || b)", 0, "(TRIM/52 (+ a b) 'x')"},
    {"EXTRACT(YEAR FROM d)", 0, "(EXTRACT/55 d)"},
    {"EXTRACT(dayofweek FROM d)", 0, "(EXTRACT/59 d)"},
    {"EXTRACT(SECOND FROM d)", 0, "(EXTRACT/62 d)"},
    {"ROUND(a)", 0, "(ROUND a)"},
    {"ROUND(a TO 2)", 0, "(ROUND a i:2)"},
    {"IF(a = 1 THEN 'one' ELSE 'other')", 0, "(IF (= a i:1) 'one' 'other')"},
    {"IF(a > 1 OR b THEN x ELSE y + 1) = 3", 0, "(= (IF (OR (> a i:1) b) x (+ y i:1)) i:3)"},
};

TEST(ExpressionParser, BuildsTheTreesOfTheGrammar) {
  for (const TTreeCase& c : kTreeCases) {
    const TParseResult r = Parse(c.Text, c.Options);
    EXPECT_EQ(r.Message, "") << c.Text;
    EXPECT_EQ(r.Tree, c.Tree) << c.Text;
  }
}

struct TMessageCase {
  const char* Text;
  uint32_t Options;
  const char* Message;  // the message slot; the context name is "test clause"
};

const std::vector<TMessageCase> kMessageCases = {
    // Scanner.
    {"a = 'abc", 0, "Missing single quote after 'abc' in test clause"},
    {"a = \"ab''", 0, "Missing double quote after 'ab''' in test clause"},
    {"[abc", 0, "Missing right bracket after 'abc' in test clause"},
    {"a /* open", 0, "Missing ending comment slash and asterisk in test clause"},
    {"a /* one */ /* two", 0, "Missing ending comment slash and asterisk in test clause"},
    // Options refusing what they do not allow.
    {"a LIKE 'x'", 0, "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in test clause"},
    {"a IS NULL", kAllowAggregates, "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in test clause"},
    {"a NOT IN (1)", 0, "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in test clause"},
    {"SUM(a)", kExt, "Aggregate functions are not allowed in test clause"},
    {"count", 0, "Aggregate functions are not allowed in test clause"},
    {"COUNT(*)", kAllowAggregates, "* (all columns) symbol is not allowed in test clause"},
    {"*", 0, "* (all columns) symbol is not allowed in test clause"},
    {"t.*", 0, "* (all columns) symbol is not allowed in test clause"},
    {"a = ?", kExt, "Parameters are not allowed in test clause"},
    {"a IN (SELECT b FROM t)", kExt, "Sub-select queries are not allowed in test clause"},
    // Predicates.
    {"a IS 1", kExt, "Unknown or unexpected symbol '1' found in test clause"},
    {"a IS NOT 'x'", kExt, "Unknown or unexpected symbol 'x' found in test clause"},
    {"a NOT = 1", kExt, "Unknown or unexpected symbol '=' in test clause"},
    {"a BETWEEN 1 OR 2", kExt, "Expected AND operator in BETWEEN operator, instead found 'OR' in test clause"},
    {"a IN 1", kExt, "Expected left parentheses after IN operator, instead found '1' in test clause"},
    {"a NOT IN 1", kExt, "Expected left parentheses for IN operator, instead found '1' in test clause"},
    {"a IN (1, 2", kExt, "Expected right parentheses after IN operator, instead found '' in test clause"},
    {"a IN ()", kExt, "Unknown or unexpected symbol ')' found in test clause"},
    // Operators and primaries.
    {"a | b", 0, "Second concatenation symbol '|' expected after first concatentation symbol, instead found 'b' in test clause"},
    {"(a + b", 0, "Right parentheses expected, instead found '' in test clause"},
    {"", 0, "Unknown or unexpected symbol '' found in test clause"},
    {"a +", 0, "Unknown or unexpected symbol '' found in test clause"},
    {"- -a", 0, "Unknown or unexpected symbol '-' found in test clause"},
    {"a = )", 0, "Unknown or unexpected symbol ')' found in test clause"},
    {"foo(1)", 0, "Unknown or unexpected function 'foo' found in test clause"},
    {"t.(a)", 0, "Symbol or string expression expected after table correlation name separator '.', instead found '(' in test clause"},
    {"#256", 0, "Character constants (#) must be within the range of 0 to 255 in test clause"},
    {"#", 0, "Character constants (#) must be within the range of 0 to 255 in test clause"},
    {"#99999999999999999999", 0, "Character constants (#) must be within the range of 0 to 255 in test clause"},
    {"1.2.3", 0, "Constant '1.2.3' is not a valid number  in test clause"},
    {"1e", 0, "Constant '1e' is not a valid number  in test clause"},
    {"1e999", 0, "Constant '1e999' is not a valid number  in test clause"},
    // Aggregates.
    {"SUM a", kAllowAggregates, "Left parentheses expectedafter aggregate function 'SUM', instead found 'a' in test clause"},
    {"count(a", kAllowAggregates, "Right parentheses expected after aggregate count function argument, instead found '' in test clause"},
    // Functions.
    {"LOWER a", 0, "Left parentheses expectedafter LOWER keyword, instead found 'a' in test clause"},
    {"LOWER(a b)", 0, "Right parentheses expected after LOWER function argument, instead found 'b' in test clause"},
    {"UPPER a", 0, "Left parentheses expectedafter UPPER keyword, instead found 'a' in test clause"},
    {"UPPER(a", 0, "Right parentheses expected after UPPER function argument, instead found '' in test clause"},
    {"LENGTH 1", 0, "Left parentheses expectedafter LENGTH keyword, instead found '1' in test clause"},
    {"LENGTH(a,", 0, "Right parentheses expected after LENGTH function argument, instead found ',' in test clause"},
    {"ABS", 0, "Left parentheses expectedafter ABS keyword, instead found '' in test clause"},
    {"ABS(a]", 0, "Right parentheses expected after ABS function argument, instead found ']' in test clause"},
    {"SUBSTRING a", 0, "Left parentheses expected after SUBSTRING keyword, instead found 'a' in test clause"},
    {"SUBSTRING(a, 1)", 0, "FROM keyword expected after first SUBSTRING function argument, instead found ',' in test clause"},
    {"SUBSTRING(a FROM 1 TO 2)", 0, "Right parentheses expected after SUBSTRING function arguments, instead found 'TO' in test clause"},
    {"REPLACE a", 0, "Left parentheses expected after REPLACE keyword, instead found 'a' in test clause"},
    {"REPLACE('x' IN a)", 0, "WITH keyword expected after first REPLACE function argument, instead found 'IN' in test clause"},
    {"REPLACE('x' WITH 'y' FROM a)", 0, "IN keyword expected after second REPLACE function argument, instead found 'FROM' in test clause"},
    {"REPLACE('x' WITH 'y' IN a", 0, "Right parentheses expected after REPLACE function arguments, instead found '' in test clause"},
    {"POS 'x'", 0, "Left parentheses expected after POS keyword, instead found 'x' in test clause"},
    {"POS('x' FROM a)", 0, "IN keyword expected after first POS function argument, instead found 'FROM' in test clause"},
    {"POS('x' IN a b", 0, "Right parentheses expected after POS function arguments, instead found 'b' in test clause"},
    {"OCCURS", 0, "Left parentheses expected after OCCURS keyword, instead found '' in test clause"},
    {"OCCURS('x', a)", 0, "IN keyword expected after first OCCURS function argument, instead found ',' in test clause"},
    {"OCCURS('x' IN a", 0, "Right parentheses expected after OCCURS function arguments, instead found '' in test clause"},
    {"CAST a", 0, "Left parentheses expected after CAST keyword, instead found 'a' in test clause"},
    {"CAST(a INTEGER)", 0, "AS keyword expected after first CAST function argument, instead found 'INTEGER' in test clause"},
    {"CAST(a AS INTEGER", 0, "Right parentheses expected after CAST function arguments, instead found '' in test clause"},
    {"CAST(a AS STRING)", 0, "SQL data type keyword expected, instead found 'STRING' in test clause"},
    {"TRIM a", 0, "Left parentheses expected after TRIM keyword, instead found 'a' in test clause"},
    {"TRIM(' ' FROM a)", 0, "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' ' in test clause"},
    {"TRIM(BOTH ' ' IN a)", 0, "FROM keyword expected after second TRIM function argument, instead found 'IN' in test clause"},
    {"TRIM(BOTH ' ' FROM a", 0, "Right parentheses expected after TRIM function arguments, instead found '' in test clause"},
    {"EXTRACT YEAR", 0, "Left parentheses expected after EXTRACT keyword, instead found 'YEAR' in test clause"},
    {"EXTRACT(CENTURY FROM d)", 0, "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, instead found 'CENTURY' in test clause"},
    {"EXTRACT(DAY IN d)", 0, "FROM keyword expected after second EXTRACT function argument, instead found 'IN' in test clause"},
    {"EXTRACT(DAY FROM d", 0, "Right parentheses expected after EXTRACT function arguments, instead found '' in test clause"},
    {"ROUND a", 0, "Left parentheses expectedafter ROUND keyword, instead found 'a' in test clause"},
    {"ROUND(a, 2)", 0, "Right parentheses expected after ROUND function arguments, instead found ',' in test clause"},
    {"IF a", 0, "Left parentheses expectedafter IF keyword, instead found 'a' in test clause"},
    {"IF(a ELSE b)", 0, "THEN keyword expected after first IF function argument, instead found 'ELSE' in test clause"},
    {"IF(a THEN b, c)", 0, "ELSE keyword expected after second IF function argument, instead found ',' in test clause"},
    {"IF(a THEN b ELSE c", 0, "Right parentheses expected after IF function arguments, instead found '' in test clause"},
};

TEST(ExpressionParser, RaisesEveryMessageAsWritten) {
  for (const TMessageCase& c : kMessageCases) {
    EXPECT_EQ(Parse(c.Text, c.Options).Message, c.Message) << c.Text;
  }
}

TEST(ExpressionParser, HavingClauseRefusesPredicatesAndParameters) {
  EXPECT_EQ(Parse("SUM(a) LIKE 'x'", kAllowAggregates, "HAVING clause").Message,
            "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause");
  EXPECT_EQ(Parse("SUM(a) > ?", kAllowAggregates, "HAVING clause").Message, "Parameters are not allowed in HAVING clause");
  EXPECT_EQ(Parse("SUM(a) > 1", kAllowAggregates, "HAVING clause").Tree, "(> (SUM a) i:1)");
}

TEST(ExpressionParser, MessagesSurfaceThroughTheEngine) {
  TExpressionParser filter;
  filter.ErrorCode = VELDOR_INVALIDFILTER;
  filter.TableName = "parts";
  filter.ContextName = "filter expression";
  const TParseResult f = Parse("a LIKE", kExt, "", &filter);
  EXPECT_EQ(f.Full,
            "VELDOR Engine Error # 10051 Filter error for the table 'parts' - Unknown or unexpected symbol '' found in "
            "filter expression");
  EXPECT_EQ(GetLastEngineErrorCode(), VELDOR_INVALIDFILTER);
  EXPECT_EQ(GetEngineErrorContext(kTable), "parts");

  TExpressionParser sql;  // the default: SQL parse errors
  sql.ContextName = "WHERE or JOIN clause";
  const TParseResult s = Parse("a = 'x", kExt, "", &sql);
  EXPECT_EQ(s.Full, "VELDOR Engine Error # 11949 SQL error - Missing single quote after 'x' in WHERE or JOIN clause");

  // A message longer than 255 characters is cut.
  const TParseResult l = Parse("a = '" + std::string(400, 'z'), 0);
  EXPECT_EQ(l.Message.size(), 255u);
}

TEST(ExpressionParser, ConstantsCarryTheirTypesAndValues) {
  TExpressionParser p;
  auto parse = [&](const std::string& text) {
    p.SetExpression(text);
    p.NextToken();
    return p.ParsePrimary(kAll);
  };
  TTokenTree s = parse("'abc'");
  EXPECT_EQ(s->Kind, kTokenConstant);
  EXPECT_EQ(s->DataType, FIELD_STRING);
  EXPECT_EQ(s->DataSize, 4);
  EXPECT_EQ(s->Text, "abc");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->Value.data())), "abc");
  TTokenTree b = parse("TRUE");
  EXPECT_EQ(b->DataSize, 2);
  EXPECT_EQ(LoadI16(b->Value.data()), 1);
  TTokenTree n = parse("NULL");
  EXPECT_EQ(n->IsNull, 1);
  EXPECT_EQ(n->DataType, 0);
  TTokenTree i = parse("42");
  EXPECT_EQ(i->DataSize, 4);
  TTokenTree l = parse("4294967296");
  EXPECT_EQ(l->DataSize, 8);
  EXPECT_EQ(LoadI64(l->Value.data()), 4294967296LL);
  TTokenTree q = parse("?");
  EXPECT_EQ(q->IsParameter, 1);
  EXPECT_EQ(q->Text, "?");
  // A long string grows the value buffer in steps of 256.
  TTokenTree big = parse("'" + std::string(600, 'x') + "'");
  EXPECT_EQ(big->DataSize, 601);
  EXPECT_EQ(big->Capacity, 768);
  EXPECT_EQ(big->Value.size(), 768u);
  // The clock constants read the clock when parsed.
  const int32_t before = CurrentDate();
  TTokenTree d = parse("CURRENT_DATE");
  EXPECT_EQ(d->DataSize, 4);
  EXPECT_GE(LoadI32(d->Value.data()), before);
  EXPECT_LE(LoadI32(d->Value.data()), CurrentDate());
  TTokenTree ts = parse("CURRENT_TIMESTAMP");
  EXPECT_EQ(ts->DataType, FIELD_TIMESTAMP);
  EXPECT_EQ(ts->DataSize, 8);
  EXPECT_GT(LoadDouble(ts->Value.data()), double(before) * kMillisecondsPerDay);
}

TEST(ExpressionParser, NodesCarryTypesTextAndColumnParts) {
  TExpressionParser p;
  p.SetExpression("a.\"B\" < > 1 AND x || y = 'q' AND ABS(-2.5) > 0 AND POS('a' IN b) > 0");
  p.NextToken();
  TTokenTree t = p.ParseExpression(kExt);
  // ((((col <> 1) AND (x||y = 'q')) AND (ABS > 0)) AND (POS > 0))
  const TExpToken* first = t->Left->Left->Left;
  EXPECT_EQ(first->Text, "< >");
  EXPECT_EQ(first->DataType, FIELD_BOOLEAN);
  EXPECT_EQ(first->Left->Text, "a.B");
  EXPECT_EQ(first->Left->ColumnName, "B");
  EXPECT_EQ(first->Left->CorrelationName, "a");
  const TExpToken* concat = t->Left->Left->Right->Left;
  EXPECT_EQ(concat->Text, "||");
  EXPECT_EQ(concat->Code, kOpAdd);
  const TExpToken* abs = t->Left->Right->Left;
  EXPECT_EQ(abs->DataType, FIELD_FLOAT);        // ABS takes its argument's type,
  EXPECT_EQ(abs->Left->DataType, FIELD_FLOAT);  // which the sign took from its operand
  EXPECT_EQ(abs->Left->DataSize, 0);            // (sizes are the checker's work)
  EXPECT_EQ(t->Right->Left->DataType, FIELD_INTEGER);
  EXPECT_EQ(t->DataType, FIELD_BOOLEAN);
}

struct TTypeCase {
  const char* Text;
  uint8_t Type;
  uint8_t SubType;
  const char* Arguments;  // printed Right chain of the node, "_" for none
};

TEST(ExpressionParser, ReadsDataTypes) {
  const std::vector<TTypeCase> cases = {
      {"SMALLINT", FIELD_SMALLINT, 0, "_"},      {"word", FIELD_WORD, 0, "_"},
      {"INTEGER", FIELD_INTEGER, 0, "_"},        {"INT", FIELD_INTEGER, 0, "_"},
      {"LARGEINT", FIELD_LARGEINT, 0, "_"},      {"AUTOINC", FIELD_INTEGER, SUBTYPE_AUTOINC, "_"},
      {"DECIMAL", FIELD_BCD, 0, "_"},            {"DECIMAL(10)", FIELD_BCD, 0, "i:10"},
      {"DECIMAL(10,2)", FIELD_BCD, 0, "(i:10 _ i:2)"}, {"NUMERIC(8, 3)", FIELD_FLOAT, 0, "(i:8 _ i:3)"},
      {"FLOAT(5)", FIELD_FLOAT, 0, "i:5"},       {"MONEY", FIELD_FLOAT, SUBTYPE_MONEY, "_"},
      {"CHARACTER(20)", FIELD_STRING, 0, "i:20"}, {"CHAR(1)", FIELD_STRING, 0, "i:1"},
      {"VARCHAR(255)", FIELD_STRING, 0, "i:255"}, {"DATE", FIELD_DATE, 0, "_"},
      {"TIME", FIELD_TIME, 0, "_"},              {"TIMESTAMP", FIELD_TIMESTAMP, 0, "_"},
      {"BOOLEAN", FIELD_BOOLEAN, 0, "_"},        {"BYTES", FIELD_BYTES, 0, "_"},
      {"BYTES(16)", FIELD_BYTES, 0, "i:16"},     {"BLOB(1, MEMO)", FIELD_BLOB, 0, "(i:1 _ MEMO)"},
  };
  for (const TTypeCase& c : cases) {
    const long before = Outstanding();
    {
      TExpressionParser p;
      p.SetExpression(std::string(c.Text) + " next");
      p.NextToken();
      TTokenTree node = TTokenTree::New();
      p.ParseDataType(*node, 0, false);
      EXPECT_EQ(node->DataType, c.Type) << c.Text;
      EXPECT_EQ(node->SubType, c.SubType) << c.Text;
      EXPECT_EQ(Show(node->Right), c.Arguments) << c.Text;
      EXPECT_TRUE(p.IsKeyword("NEXT")) << c.Text;
    }
    EXPECT_EQ(Outstanding(), before) << c.Text;
  }
}

TEST(ExpressionParser, DataTypeMessagesAndOptionalTypes) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"DECIMAL(10 2)", "Comma expected after first DECIMAL argument, instead found '2' in test clause"},
      {"DECIMAL(10, 2", "Right parentheses expected after DECIMAL data type arguments, instead found '' in test clause"},
      {"NUMERIC(1 x", "Comma expected after first NUMERIC argument, instead found 'x' in test clause"},
      {"NUMERIC(1,2 x", "Right parentheses expected after NUMERIC data type arguments, instead found 'x' in test clause"},
      {"FLOAT(1 x", "Comma expected after first FLOAT argument, instead found 'x' in test clause"},
      {"FLOAT(1,2", "Right parentheses expected after FLOAT data type arguments, instead found '' in test clause"},
      {"CHAR 10", "Left parentheses expected after CHARACTER or CHAR data type, instead found '10' in test clause"},
      {"CHARACTER(10", "Right parentheses expected after CHARACTER or CHAR data type arguments, instead found '' in test clause"},
      {"VARCHAR", "Left parentheses expected after VARCHAR data type, instead found '' in test clause"},
      {"VARCHAR(1,2)", "Right parentheses expected after VARCHAR data type arguments, instead found ',' in test clause"},
      {"BYTES(4", "Right parentheses expected after CHARACTER data type arguments, instead found '' in test clause"},
      {"BLOB", "Left parentheses expected after BLOB data type, instead found '' in test clause"},
      {"BLOB(1)", "Comma expected after first BLOB argument, instead found ')' in test clause"},
      {"BLOB(1, 2", "Right parentheses expected after BLOB data type arguments, instead found '' in test clause"},
      {"TEXT", "SQL data type keyword expected, instead found 'TEXT' in test clause"},
  };
  for (const auto& [text, message] : cases) {
    const long before = Outstanding();
    {
      TExpressionParser p;
      p.ContextName = "test clause";
      p.SetExpression(text);
      p.NextToken();
      TTokenTree node = TTokenTree::New();
      try {
        p.ParseDataType(*node, 0, false);
        ADD_FAILURE() << text << " parsed";
      } catch (const EVELDOREngineError& e) {
        EXPECT_EQ(e.ErrorMessage, message) << text;
      }
    }
    EXPECT_EQ(Outstanding(), before) << text;
  }
  TExpressionParser p;
  p.SetExpression("TEXT");
  p.NextToken();
  TTokenTree node = TTokenTree::New();
  p.ParseDataType(*node, 0, true);
  EXPECT_EQ(node->DataType, 0);
  EXPECT_TRUE(p.IsKeyword("text"));
}

TEST(ExpressionScanner, TokensKindsTextAndMarks) {
  TExpressionParser p;
  p.SetExpression("  Name_1 [br''x] 'it''s' \"q\"\"\" #12 42 4.5e+3 .5 ( /*c*/ <\xE9t\xE9");
  const std::vector<std::pair<int, std::string>> expected = {
      {kScanSymbol, "Name_1"}, {kScanBracketed, "br'x"}, {kScanString, "it's"}, {kScanString, "q\""},
      {kScanCharacter, "#12"}, {kScanInteger, "42"},     {kScanFloat, "4.5e+3"}, {kScanFloat, ".5"},
      {'(', "("},              {'<', "<"},               {kScanSymbol, "\xE9t\xE9"}, {kScanEnd, ""}};
  EXPECT_EQ(p.TokenKind(), kScanEnd);  // before the first NextToken
  for (const auto& [kind, text] : expected) {
    EXPECT_EQ(p.NextToken(), kind) << text;
    EXPECT_TRUE(p.IsToken(kind)) << text;
    EXPECT_EQ(p.TokenText(), text);
  }
  EXPECT_EQ(p.NextToken(), kScanEnd);  // stays at the end

  p.SetExpression("[select] SELECT 'select'");
  p.NextToken();
  EXPECT_FALSE(p.IsKeyword("SELECT"));
  p.NextToken();
  EXPECT_TRUE(p.IsKeyword("select"));
  p.NextToken();
  EXPECT_FALSE(p.IsKeyword("SELECT"));

  // The marked text runs from the mark to the end of the last consumed token, without
  // line breaks, and not into the blanks or comments after it.
  p.SetExpression("SELECT a +\r\n  b /* c */ , d");
  p.NextToken();
  p.NextToken();
  p.MarkStart();
  TTokenTree t = p.ParseExpression(0);
  EXPECT_EQ(p.MarkedText(), "a +  b");
  EXPECT_TRUE(p.IsToken(','));
}

TEST(ExpressionParser, ParametersAndSubSelectsGoThroughTheirInterfaces) {
  struct TSink : TParameterSink {
    std::vector<TExpToken*> List;
    void AddParameter(TExpToken* parameter) override { List.push_back(parameter); }
  } sink;
  TExpressionParser p;
  p.Parameters = &sink;
  p.SetExpression("a = ? OR b IN (?, ?)");
  p.NextToken();
  TTokenTree t = p.ParseExpression(kExt | kAllowParameters);
  ASSERT_EQ(sink.List.size(), 3u);
  EXPECT_EQ(sink.List[0], t->Left->Right);
  EXPECT_EQ(sink.List[1], t->Right->Right);
  EXPECT_EQ(sink.List[2], t->Right->Right->Right);

  // A sub-select body is parsed by the factory from SELECT on; the parser continues at
  // the token it leaves.
  struct TFactory : TSubSelectFactory {
    int Calls = 0;
    TDataQuery* ParseSubSelect(TExpressionParser& parser) override {
      ++Calls;
      EXPECT_TRUE(parser.IsKeyword("SELECT"));
      while (!parser.IsToken(')') && !parser.IsToken(kScanEnd)) parser.NextToken();
      return reinterpret_cast<TDataQuery*>(this);
    }
  } factory;
  p.SubSelects = &factory;
  const TParseResult r = Parse("x NOT IN (SELECT y FROM t) AND z", kExt | kAllowSubSelects, "", &p);
  EXPECT_EQ(r.Tree, "(AND (NOTINSELECT x SELECT) z)");
  EXPECT_EQ(factory.Calls, 1);
  EXPECT_EQ(Parse("x IN (SELECT y", kExt | kAllowSubSelects, "", &p).Message,
            "Expected right parentheses after IN operator, instead found '' in SQL statement");

  p.SetExpression("x IN (SELECT y FROM t)");
  p.NextToken();
  TTokenTree s = p.ParseExpression(kExt | kAllowSubSelects);
  EXPECT_EQ(s->Code, kPredInSelect);
  EXPECT_EQ(s->Right->Kind, kTokenSubSelect);
  EXPECT_EQ(s->Right->Text, "SELECT");
  EXPECT_EQ(s->Right->SubQuery, reinterpret_cast<TDataQuery*>(&factory));

  p.SubSelects = nullptr;
  EXPECT_EQ(Parse("x IN (SELECT y)", kExt | kAllowSubSelects, "", &p).Message,
            "Sub-select queries cannot be parsed without a statement to hold them in SQL statement");
}

TEST(ExpressionParser, HostileInputGivesCleanErrors) {
  const std::string deep(100000, '(');
  EXPECT_EQ(Parse(deep, 0).Message, "Expression nested more than 256 levels deep at '(' in test clause");
  EXPECT_EQ(Parse(std::string(255, '(') + "1" + std::string(255, ')'), 0).Tree, "i:1");
  EXPECT_EQ(Parse("UPPER(" + std::string(300, '(') + "a", 0).Message.substr(0, 30), "Expression nested more than 25");
  // Long flat chains are loops, not recursion, and the tree operations walk them with
  // their own stacks.
  std::string sum = "1";
  for (int i = 0; i < 100000; ++i) sum += "+1";
  EXPECT_EQ(Parse(sum, 0).Message, "");
  std::string list = "a IN (0";
  for (int i = 0; i < 50000; ++i) list += ",1";
  EXPECT_EQ(Parse(list + ")", kExt).Message, "");
  EXPECT_EQ(Parse(list, kExt).Message, "Expected right parentheses after IN operator, instead found '' in test clause");
  // Garbage: every byte value as the start of a text.
  for (int c = 1; c < 256; ++c) {
    const std::string text = std::string(1, char(c)) + " x";
    Parse(text, kAll);  // the driver checks the pool; any result is acceptable
  }
  EXPECT_EQ(Parse(std::string("a\0 = 'b", 7), 0).Tree, "a");  // the text ends at a NUL
}

}  // namespace
}  // namespace veldor::test
