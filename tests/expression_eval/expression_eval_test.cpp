// Checking, preparing and evaluating expressions against a one-record table held in the
// test. Each case is parsed from text, checked, prepared and evaluated through the same
// driver, which also checks that every node taken from the pool goes back on every path.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/date_time.h"
#include "lib/expression.h"
#include "lib/expression_eval.h"
#include "lib/expression_parser.h"
#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor::test {
namespace {

long Outstanding() { return long(ProcessTokenStack().CreatedCount()) - long(ProcessTokenStack().FreeCount()); }

struct TColumn {
  std::string Name;
  uint8_t Type, SubType;
  int32_t Size;
  uint8_t Scale;
  std::vector<uint8_t> Bytes;  // empty: NULL
  std::string Text;            // strings and memos
};

std::vector<uint8_t> I16(int16_t v) { std::vector<uint8_t> b(2); StoreI16(b.data(), v); return b; }
std::vector<uint8_t> I32(int32_t v) { std::vector<uint8_t> b(4); StoreI32(b.data(), v); return b; }
std::vector<uint8_t> I64(int64_t v) { std::vector<uint8_t> b(8); StoreI64(b.data(), v); return b; }
std::vector<uint8_t> F64(double v) { std::vector<uint8_t> b(8); StoreDouble(b.data(), v); return b; }
std::vector<uint8_t> Bcd(int64_t amount, int scale) {
  std::vector<uint8_t> b(kBCDSize);
  CurrencyToBCD(amount, scale, b.data());
  return b;
}
const std::vector<uint8_t> kText{1};  // marks a non-NULL string column; the value is in Text

// The table: one record.
const std::vector<TColumn>& Columns() {
  static const std::vector<TColumn> columns = {
      {"Name", FIELD_STRING, 0, 21, 0, kText, "Smithers"},
      {"First", FIELD_STRING, 0, 21, 0, kText, "Name"},
      {"Age", FIELD_INTEGER, 0, 4, 0, I32(42), ""},
      {"Small", FIELD_SMALLINT, 0, 2, 0, I16(2), ""},
      {"Big", FIELD_LARGEINT, 0, 8, 0, I64(std::numeric_limits<int64_t>::max()), ""},
      {"Price", FIELD_FLOAT, 0, 8, 0, F64(3.14159), ""},
      {"Money", FIELD_FLOAT, SUBTYPE_MONEY, 8, 0, F64(2.5), ""},
      {"Amount", FIELD_BCD, 0, kBCDSize, 2, Bcd(125000, 2), ""},
      {"Born", FIELD_DATE, 0, 4, 0, I32(EncodeDate(2024, 3, 10)), ""},  // a Sunday
      {"Died", FIELD_DATE, 0, 4, 0, I32(EncodeDate(2024, 3, 1)), ""},
      {"At", FIELD_TIME, 0, 4, 0, I32(EncodeTime(0, 5, 0, 0)), ""},
      {"Stamp", FIELD_TIMESTAMP, 0, 8, 0, F64(MakeTimestamp(EncodeDate(2024, 3, 10), EncodeTime(13, 45, 30, 250))), ""},
      {"Active", FIELD_BOOLEAN, 0, 2, 0, I16(1), ""},
      {"Notes", FIELD_BLOB, SUBTYPE_MEMO, 8, 0, kText, "long text"},
      {"Raw", FIELD_BYTES, 0, 4, 0, {'a', 'b', 0, 1}, ""},
      {"Nothing", FIELD_INTEGER, 0, 4, 0, {}, ""},
      {"Nothing2", FIELD_INTEGER, 0, 4, 0, {}, ""},
      {"Empty", FIELD_STRING, 0, 21, 0, {}, ""},
  };
  return columns;
}

const TColumn* FindColumn(const std::string& name) {
  for (const TColumn& c : Columns())
    if (SameName(c.Name, name)) return &c;
  return nullptr;
}

std::string g_fetchLog;  // column names in the order they were fetched

const TBindColumn kBinder = [](void*, TExpToken& node) {
  const TColumn* c = FindColumn(node.ColumnName);
  if (c == nullptr) return false;
  node.DataType = c->Type;
  node.SubType = c->SubType;
  node.DataSize = c->Size;
  node.Scale = c->Scale;
  return true;
};

const TFetchColumn kFetcher = [](void*, void*, TExpToken& node) {
  const TColumn* c = FindColumn(node.ColumnName);
  ASSERT_NE(c, nullptr) << node.ColumnName;
  g_fetchLog += (g_fetchLog.empty() ? "" : ",") + c->Name;
  if (c->Bytes.empty()) {
    node.IsNull = 1;
    return;
  }
  node.IsNull = 0;
  if (IsStringLike(c->Type, c->SubType)) {
    node.SetStringValue(c->Text);
  } else {
    node.SetDataSize(c->Size);
    std::copy(c->Bytes.begin(), c->Bytes.end(), node.Value.begin());
  }
};

// A value as the tables below write it.
std::string Show(const TExpToken& v) {
  if (v.IsNull) return "NULL";
  const uint8_t* p = v.Value.data();
  char buf[64];
  switch (v.DataType) {
    case FIELD_STRING: return "'" + std::string(reinterpret_cast<const char*>(p)) + "'";
    case FIELD_BLOB:
      return (v.SubType == SUBTYPE_MEMO ? "memo'" : "blob'") + std::string(reinterpret_cast<const char*>(p)) + "'";
    case FIELD_BOOLEAN: return LoadU16(p) ? "TRUE" : "FALSE";
    case FIELD_SMALLINT: return "s:" + std::to_string(LoadI16(p));
    case FIELD_WORD: return "w:" + std::to_string(LoadU16(p));
    case FIELD_INTEGER: return "i:" + std::to_string(LoadI32(p));
    case FIELD_LARGEINT: return "L:" + std::to_string(LoadI64(p));
    case FIELD_FLOAT:
      std::snprintf(buf, sizeof buf, "%s:%.15g", v.SubType == SUBTYPE_MONEY ? "m" : "f", LoadDouble(p));
      return buf;
    case FIELD_BCD: {
      int64_t amount = 0;
      if (!BCDToCurrency(p, amount)) return "bcd?";
      return "bcd:" + CurrencyToText(amount) + "/" + std::to_string(p[1] & 0x3F);
    }
    case FIELD_DATE: return "date:" + DateToText(LoadI32(p));
    case FIELD_TIME: return "time:" + TimeToText(LoadI32(p));
    case FIELD_TIMESTAMP: return "ts:" + TimestampToText(LoadDouble(p));
    case FIELD_BYTES: {
      std::string out = "bytes:";
      for (int32_t i = 0; i < v.DataSize; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        out += buf;
      }
      return out;
    }
    default: return "type" + std::to_string(v.DataType);
  }
}

struct TSetup {
  uint32_t Options = kAllowExtendedPredicates;
  bool Rewrite = true;
  bool Prepare = true;
  bool NoPartial = false;
  bool CaseInsensitive = false;
  uint16_t Language = 0;
  uint16_t Sort = 0;
  bool Fetch = true;
};

struct TRun {
  std::string Value;    // the evaluated value, "" after an error
  std::string Error;    // the error's message slot, "" when none
  uint16_t Code = 0;
  uint8_t Type = 0, SubType = 0;  // the checked root's type
  int32_t Size = 0;
};

// Parse, check, prepare, evaluate. Every node must be back in the pool afterwards.
TRun Evaluate(const std::string& text, const TSetup& s = TSetup()) {
  TRun run;
  const long before = Outstanding();
  g_fetchLog.clear();
  try {
    TExpressionParser parser;
    parser.ErrorCode = VELDOR_INVALIDFILTER;
    parser.ContextName = "filter expression";
    parser.SetExpression(text);
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(s.Options);
    EXPECT_TRUE(parser.IsToken(kScanEnd)) << text;
    CheckExpression(VELDOR_INVALIDFILTER, "db", "people", s.Rewrite, kBinder, nullptr, nullptr, tree.Get(),
                    "filter expression");
    run.Type = tree->DataType;
    run.SubType = tree->SubType;
    run.Size = tree->DataSize;
    TTokenTree prepared = s.Prepare ? PrepareExpression(tree.Get(), nullptr, s.NoPartial, s.CaseInsensitive,
                                                        s.Language, s.Sort, kFetcher)
                                    : CopyTokenTree(tree.Get());
    TTokenTree value = EvaluateExpression(prepared.Get(), nullptr, nullptr, s.Sort, s.Language,
                                          s.Fetch ? kFetcher : TFetchColumn());
    EXPECT_EQ(value->Kind, kTokenConstant) << text;
    run.Value = Show(*value);
  } catch (const EVELDOREngineError& e) {
    run.Error = e.ErrorMessage;
    run.Code = e.ErrorCode;
  }
  EXPECT_EQ(Outstanding(), before) << "nodes lost: " << text;
  return run;
}

struct TCase {
  const char* Text;
  const char* Value;
};

void RunTable(const std::vector<TCase>& cases, const TSetup& setup = TSetup()) {
  for (const TCase& c : cases) {
    const TRun run = Evaluate(c.Text, setup);
    EXPECT_EQ(run.Error, "") << c.Text;
    EXPECT_EQ(run.Value, c.Value) << c.Text;
  }
}

TEST(ExpressionEvalTest, OperatorsAndNullRules) {
  RunTable({
      // Arithmetic and its result types.
      {"7 / 2", "f:3.5"},
      {"7 / 0", "NULL"},
      {"7.0 / 0", "NULL"},
      {"Age - 2 * Small", "i:38"},
      {"Age + Big - Big", "L:42"},
      {"Price * 2", "f:6.28318"},
      {"Money + 1", "m:3.5"},
      {"1 - Money", "f:-1.5"},
      {"Amount * 2", "bcd:25/2"},
      {"Amount / 3", "bcd:4.17/2"},
      {"Amount + 0.25", "f:12.75"},
      {"-Amount", "bcd:-12.5/2"},
      {"Age + Nothing", "NULL"},
      {"Name + ' ' + First", "'Smithers Name'"},
      {"Name + Empty", "'Smithers'"},
      {"Notes + '!'", "memo'long text!'"},
      // Overflow wraps in two's complement, never undefined.
      {"2147483647 + 1", "i:-2147483648"},
      {"Big + 1", "L:-9223372036854775808"},
      {"Big * 2", "L:-2"},
      {"-(-9223372036854775807 - 1)", "L:-9223372036854775808"},
      {"(-2147483647 - 1) / -1", "f:2147483648"},
      // Dates, times and timestamps.
      {"Born - Died", "i:9"},
      {"Born + 1", "date:2024-03-11"},
      {"1 + Born", "date:2024-03-11"},
      {"Born - 10", "date:2024-02-29"},
      {"At + 60000", "time:12:06 AM"},
      {"At - At", "i:0"},
      {"Stamp + 1", "ts:2024-03-11 01:45:30.250 PM"},
      {"Stamp - Born", "i:0"},
      {"Stamp - At", "i:49230250"},
      {"Stamp - CAST(Born AS TIMESTAMP)", "f:49530250"},
      {"(Stamp + 9223372036854775807) - Born", "NULL"},
      {"EXTRACT(YEAR FROM (Stamp + 9223372036854775807))", "NULL"},
      // Comparisons and NULLs.
      {"Nothing = Nothing2", "TRUE"},
      {"Nothing <> Nothing2", "FALSE"},
      {"Nothing IS NULL", "TRUE"},
      {"Age IS NOT NULL", "TRUE"},
      {"Age < Nothing", "FALSE"},
      {"Age > Nothing", "FALSE"},
      {"Age <> Nothing", "TRUE"},
      {"Nothing < Nothing2", "FALSE"},
      {"Nothing <= Nothing2", "TRUE"},
      {"Empty < 'a'", "TRUE"},
      {"Empty = 'a'", "FALSE"},
      {"Age > 41.5", "TRUE"},
      {"Price > 3", "TRUE"},
      {"Amount = 12.5", "TRUE"},
      {"Amount > 12", "TRUE"},
      {"Born = '2024-03-10'", "TRUE"},
      {"Born < Stamp", "TRUE"},
      {"Born = CAST(Born AS TIMESTAMP)", "TRUE"},
      {"At = '12:05 AM'", "TRUE"},
      {"Stamp > '2024-03-10 1:45 PM'", "TRUE"},
      {"Raw = Raw", "TRUE"},
      {"Active = TRUE", "TRUE"},
      // Booleans: NULL reads as false.
      {"NOT (Nothing = 1)", "TRUE"},
      {"Active AND Age > 40", "TRUE"},
      {"Age > 50 OR Active", "TRUE"},
      {"NOT Active", "FALSE"},
  });
}

TEST(ExpressionEvalTest, AndOrEvaluateTheRightOperandFirst) {
  struct TOrder {
    const char* Text;
    const char* Value;
    const char* Fetched;
  };
  const std::vector<TOrder> cases = {
      {"Age = 1 AND Name = 'x'", "FALSE", "Name"},
      {"Age = 42 AND Name = 'Smithers'", "TRUE", "Name,Age"},
      {"Age = 1 OR Name = 'Smithers'", "TRUE", "Name"},
      {"Age = 42 OR Name = 'x'", "TRUE", "Name,Age"},
      {"Age - Small > 0", "TRUE", "Age,Small"},
      {"IF(Active THEN Age ELSE Nothing)", "i:42", "Active,Age"},
  };
  for (const TOrder& c : cases) {
    const TRun run = Evaluate(c.Text);
    EXPECT_EQ(run.Value, c.Value) << c.Text;
    EXPECT_EQ(g_fetchLog, c.Fetched) << c.Text;
  }
}

TEST(ExpressionEvalTest, Functions) {
  RunTable({
      {"SUBSTRING(Name FROM 2 FOR 3)", "'mit'"},
      {"SUBSTRING(Name FROM 4)", "'thers'"},
      {"SUBSTRING(Name FROM 8 FOR 5)", "'s'"},
      {"SUBSTRING(Name FROM 9)", "NULL"},
      {"SUBSTRING(Empty FROM 1)", "NULL"},
      {"REPLACE('th' WITH 'TH' IN Name)", "'SmiTHers'"},
      {"REPLACE('aa' WITH 'b' IN 'aaaaa')", "'bba'"},
      {"REPLACE('a' WITH 'a' IN 'banana')", "'banana'"},
      {"REPLACE('ab' WITH 'x' IN 'abab') = 'xx'", "TRUE"},
      {"POS('th' IN Name)", "i:4"},
      {"POS('zz' IN Name)", "i:0"},
      {"POS('S' IN Name)", "i:1"},
      {"POS('s' IN 'Smithers')", "i:8"},
      {"OCCURS('aa' IN 'aaaaa')", "i:2"},
      {"OCCURS('x' IN Name)", "i:0"},
      {"TRIM(BOTH 'x' FROM 'xxabxx')", "'ab'"},
      {"TRIM(LEADING 'x' FROM 'xxabxx')", "'abxx'"},
      {"TRIM(TRAILING 'x' FROM 'xxabxx')", "'xxab'"},
      {"TRIM(BOTH 'y' FROM 'yyy')", "NULL"},
      {"TRIM(BOTH ' ' FROM '  a b  ')", "'a b'"},
      {"LENGTH(Name)", "i:8"},
      {"LENGTH(Notes)", "i:9"},
      {"LENGTH(Empty)", "NULL"},
      {"UPPER(Name)", "'SMITHERS'"},
      {"LOWER(Name)", "'smithers'"},
      {"UPPER(Notes)", "memo'LONG TEXT'"},
      {"EXTRACT(YEAR FROM Stamp)", "i:2024"},
      {"EXTRACT(MONTH FROM Stamp)", "i:3"},
      {"EXTRACT(DAY FROM Born)", "i:10"},
      {"EXTRACT(HOUR FROM Stamp)", "i:13"},
      {"EXTRACT(MINUTE FROM Stamp)", "i:45"},
      {"EXTRACT(SECOND FROM Stamp)", "i:30"},
      {"EXTRACT(MINUTE FROM At)", "i:5"},
      {"EXTRACT(HOUR FROM Born)", "i:0"},
      {"EXTRACT(DAYOFWEEK FROM Born)", "i:7"},
      {"EXTRACT(DAYOFWEEK FROM Died)", "i:5"},
      {"EXTRACT(DAYOFWEEK FROM (Nothing + Born))", "NULL"},
      {"IF(Age > 30 THEN 'old' ELSE 'young')", "'old'"},
      {"IF(Age > 50 THEN 'old' ELSE 'young')", "'young'"},
      {"IF(Active THEN 1 ELSE 2)", "i:1"},
      {"IF(Nothing > 1 THEN 1 ELSE NULL)", "NULL"},
      {"IF(Nothing = 1 OR Active THEN NULL ELSE Born)", "NULL"},
      {"ABS(-5)", "i:5"},
      {"ABS(Small - 10)", "i:8"},
      {"ABS(-Small)", "s:2"},
      {"ABS(Price - 10)", "f:6.85841"},
      {"ABS(0 - Amount)", "bcd:12.5/2"},
      {"ABS(Nothing)", "NULL"},
      {"ABS(-9223372036854775807 - 1)", "L:-9223372036854775808"},
      {"ROUND(2.5)", "f:3"},
      {"ROUND(-2.5)", "f:-3"},
      {"ROUND(2.4)", "f:2"},
      {"ROUND(0.0)", "f:0"},
      {"ROUND(Price TO 2)", "f:3.14"},
      {"ROUND(-Price TO 3)", "f:-3.142"},
      {"ROUND(Amount)", "f:13"},
  });
}

TEST(ExpressionEvalTest, ExtractWeek) {
  struct TWeek {
    const char* Date;
    int Week;
  };
  // Week 1 holds 4 January; the days after the last full week belong to the next year's
  // week 1, and a 53-week year keeps its 53rd week.
  const std::vector<TWeek> cases = {
      {"2024-03-10", 10}, {"2024-01-01", 1},  {"2023-01-01", 52}, {"2021-01-03", 53}, {"2020-12-31", 53},
      {"2014-12-29", 1},  {"2014-12-30", 1},  {"2014-12-31", 1},  {"2015-12-28", 53}, {"2015-01-04", 1},
      {"2016-01-04", 1},  {"2016-01-03", 53},
  };
  for (const TWeek& c : cases) {
    const TRun run = Evaluate(std::string("EXTRACT(WEEK FROM CAST('") + c.Date + "' AS DATE))");
    EXPECT_EQ(run.Value, "i:" + std::to_string(c.Week)) << c.Date;
  }
}

TEST(ExpressionEvalTest, CastConversions) {
  RunTable({
      {"CAST(12.9 AS INTEGER)", "i:12"},
      {"CAST(-12.9 AS INTEGER)", "i:-12"},
      {"CAST(Amount AS INTEGER)", "i:12"},
      {"CAST(1e30 AS INTEGER)", "i:0"},
      {"CAST(Price * 1e300 * 1e300 AS LARGEINT)", "L:0"},
      {"CAST(Stamp + 9223372036854775807 AS CHAR(30))", "''"},
      {"CAST(Stamp + 9223372036854775807 AS DATE)", "date:0000-12-31"},
      {"CAST(Big AS SMALLINT)", "s:0"},
      {"CAST(-1 AS WORD)", "w:0"},
      {"CAST(Big AS FLOAT)", "f:9.22337203685478e+18"},
      {"CAST('abc' AS INTEGER)", "i:0"},
      {"CAST(' 17 ' AS INTEGER)", "i:17"},
      {"CAST('12.345' AS DECIMAL(10,2))", "bcd:12.35/2"},
      {"CAST(2.5 AS DECIMAL(10,1))", "bcd:2.5/1"},
      {"CAST(Age AS DECIMAL)", "bcd:42/0"},
      {"CAST(Amount AS CHAR(10))", "'12.5'"},
      {"CAST(2.5 AS CHAR(10))", "'2.5'"},
      {"CAST(Age AS CHAR(10))", "'42'"},
      {"CAST(Name AS CHAR(3))", "'Smi'"},
      {"CAST(Born AS CHAR(20))", "'2024-03-10'"},
      {"CAST(At AS CHAR(20))", "'12:05 AM'"},
      {"CAST(Stamp AS CHAR(40))", "'2024-03-10 01:45:30.250 PM'"},
      {"CAST(Active AS CHAR(5))", "'True'"},
      {"CAST('12:05 AM' AS TIME)", "time:12:05 AM"},
      {"CAST(CAST(At AS CHAR(20)) AS TIME) = At", "TRUE"},
      {"CAST('2024-02-30' AS DATE)", "date:0000-12-31"},  // the zero day number,
      {"CAST('true' AS BOOLEAN)", "TRUE"},
      {"CAST(5 AS BOOLEAN)", "TRUE"},
      {"CAST(TRUE AS SMALLINT)", "s:1"},
      {"CAST(Stamp AS DATE)", "date:2024-03-10"},
      {"CAST(Stamp AS TIME)", "time:01:45:30.250 PM"},
      {"CAST(Born AS TIMESTAMP)", "ts:2024-03-10 12:00 AM"},
      {"CAST('2024-03-10 1:45 PM' AS TIMESTAMP)", "ts:2024-03-10 01:45 PM"},
      {"CAST(Name AS BYTES(3))", "bytes:536d69"},
      {"CAST(Raw AS BYTES(2))", "bytes:6162"},
      {"CAST(Nothing AS CHAR(5))", "NULL"},
      {"CAST(Name AS BLOB(1, 1))", "memo'Smithers'"},
  });
}

TEST(ExpressionEvalTest, ResultTypesAndSizes) {
  struct TTyped {
    const char* Text;
    uint8_t Type, SubType;
    int32_t Size;
  };
  const std::vector<TTyped> cases = {
      {"Name + First", FIELD_STRING, 0, 41},
      {"Name + Notes", FIELD_BLOB, SUBTYPE_MEMO, 8},
      {"Money * 2", FIELD_FLOAT, SUBTYPE_MONEY, 8},
      {"2 * Money", FIELD_FLOAT, SUBTYPE_MONEY, 8},
      {"2 / Money", FIELD_FLOAT, 0, 8},
      {"Small + Small", FIELD_INTEGER, 0, 4},
      {"Small + Big", FIELD_LARGEINT, 0, 8},
      {"Age / Small", FIELD_FLOAT, 0, 8},
      {"Amount + Age", FIELD_BCD, 0, kBCDSize},
      {"Stamp - Stamp", FIELD_FLOAT, 0, 8},
      {"At - 5", FIELD_TIME, 0, 4},
      {"SUBSTRING(Name FROM 3)", FIELD_STRING, 0, 19},
      {"SUBSTRING(Name FROM 3 FOR 4)", FIELD_STRING, 0, 5},
      {"UPPER(Notes)", FIELD_BLOB, SUBTYPE_MEMO, 8},
      {"CAST(Age AS CHAR(10))", FIELD_STRING, 0, 11},
      {"CAST(Name AS BYTES)", FIELD_BYTES, 0, 21},
      {"CAST(Notes AS BLOB(0, 3))", FIELD_BLOB, SUBTYPE_FMTMEMO, 8},
      {"IF(Active THEN Name ELSE 'x')", FIELD_STRING, 0, 21},
      {"ROUND(Amount TO 1)", FIELD_FLOAT, 0, 8},
      {"LENGTH(Name) + POS('a' IN Name)", FIELD_INTEGER, 0, 4},
  };
  for (const TTyped& c : cases) {
    const TRun run = Evaluate(c.Text);
    EXPECT_EQ(run.Error, "") << c.Text;
    EXPECT_EQ(int(run.Type), int(c.Type)) << c.Text;
    EXPECT_EQ(int(run.SubType), int(c.SubType)) << c.Text;
    EXPECT_EQ(run.Size, c.Size) << c.Text;
  }
}

TEST(ExpressionEvalTest, PredicatesAndLike) {
  RunTable({
      {"Name LIKE 'Smi%'", "TRUE"},
      {"Name LIKE 'smi%'", "FALSE"},
      {"Name LIKE '%mi%'", "TRUE"},
      {"Name LIKE 'S_i%s'", "TRUE"},
      {"Name LIKE 'Smithers'", "TRUE"},
      {"Name LIKE 'Smither'", "FALSE"},
      {"Name LIKE '%'", "TRUE"},
      {"Name LIKE '%x%'", "FALSE"},
      {"Name NOT LIKE '%x%'", "TRUE"},
      {"'aXbYbZc' LIKE 'a%b%c'", "TRUE"},
      {"'aXbYbZ' LIKE 'a%b%c'", "FALSE"},
      {"'abc' LIKE '%%c'", "TRUE"},
      {"'ab' LIKE 'a_b'", "FALSE"},
      {"Empty LIKE '%'", "FALSE"},
      {"Empty NOT LIKE '%'", "TRUE"},
      {"Age BETWEEN 30 AND 50", "TRUE"},
      {"Age BETWEEN 42 AND 42", "TRUE"},
      {"Age NOT BETWEEN 30 AND 50", "FALSE"},
      {"Age BETWEEN -5 AND +50", "TRUE"},
      {"Nothing BETWEEN 1 AND 2", "FALSE"},
      {"Born BETWEEN '2024-01-01' AND '2024-12-31'", "TRUE"},
      {"Name BETWEEN 'A' AND 'T'", "TRUE"},
      {"Age IN (1, 42, 3)", "TRUE"},
      {"Age IN (1, 2)", "FALSE"},
      {"Age NOT IN (1, 2)", "TRUE"},
      {"Name IN ('a', 'Smithers')", "TRUE"},
      {"At IN ('1:00 AM', '12:05 AM')", "TRUE"},
      {"Nothing IN (1, NULL)", "TRUE"},
  });
}

// `first`, then `count` - 1 times `joint` and `term`: the long flat chains below.
std::string Chain(const std::string& first, const std::string& joint, const std::string& term, int count) {
  std::string text = first;
  text.reserve(first.size() + size_t(count) * (joint.size() + term.size()));
  for (int i = 1; i < count; ++i) text += joint + term;
  return text;
}

// Chains of 100,000 terms and lists of 200,000 items are ordinary input: checking,
// preparing and evaluating them must work without the call stack growing with them.
// The deciding term stands where the evaluation reaches it last (AND and OR take their
// right operand first, IN its items in order). Nesting stays bounded by the parser's
// limit; the last two cases nest as deep as it allows, with several operators at each
// level, and must evaluate too.
TEST(ExpressionEvalTest, LongChainsAndListsEvaluate) {
  constexpr int kTerms = 100000;
  constexpr int kItems = 200000;
  std::string numbers = "Age IN (";
  for (int i = 0; i < kItems - 1; ++i) numbers += std::to_string(1000 + i) + ", ";
  std::string logic = "Active", arithmetic = "Small";
  for (int level = 0; level < 254; ++level) {
    logic = "Age = 1 OR Age > 0 AND NOT (" + logic + ")";
    arithmetic = "Small + 1 * -(" + arithmetic + ")";
  }
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Chain("Age = 42", " OR ", "Age = 1", kTerms), "TRUE"},
      {Chain("Age = 1", " AND ", "Age > 0", kTerms) + " OR Age = 1", "FALSE"},
      {Chain("Small", " + ", "1", kTerms), "i:100001"},
      {"LENGTH(" + Chain("Name", " || ", "'ab'", kTerms) + ")", "i:200006"},
      {numbers + "42)", "TRUE"},
      {logic, "TRUE"},  // NOT applied 254 times to TRUE
      {arithmetic, "i:2"},
  };
  for (const auto& [text, value] : cases) {
    const TRun run = Evaluate(text);
    EXPECT_EQ(run.Error, "") << text.substr(0, 60);
    EXPECT_EQ(run.Value, value) << text.substr(0, 60);
  }
}

// Text that evaluation builds is bounded: concatenation and REPLACE refuse a result past
// kMaxTextResult characters with VELDOR_OSENOMEM before allocating it, where nine nested
// REPLACEs would otherwise build a thousand million bytes.
TEST(ExpressionEvalTest, TextResultsHaveAMaximumSize) {
  ASSERT_EQ(kMaxTextResult, size_t(64) << 20);
  // Two REPLACEs of x by 4,096 x make 2^24 characters, a quarter of the maximum.
  const std::string wide = "'" + std::string(4096, 'x') + "'";
  const std::string quarter = "REPLACE('x' WITH " + wide + " IN REPLACE('x' WITH " + wide + " IN 'x'))";
  const std::string whole = Chain(quarter, " || ", quarter, 4);
  EXPECT_EQ(Evaluate("LENGTH(" + whole + ")").Value, "i:67108864");
  EXPECT_EQ(Evaluate("LENGTH(REPLACE('x' WITH 'xxxx' IN " + quarter + "))").Value, "i:67108864");
  std::string tenfold = "(Name || 'x')";
  for (int i = 0; i < 9; ++i) tenfold = "REPLACE('x' WITH 'xxxxxxxxxx' IN " + tenfold + ")";
  const std::vector<std::string> refused = {
      whole + " || 'x'",
      "Notes || " + quarter + " || " + whole,
      "REPLACE('x' WITH 'xxxxx' IN " + quarter + ")",
      tenfold + " = 'x'",
  };
  for (const std::string& text : refused) {
    const TRun run = Evaluate(text);
    EXPECT_EQ(run.Code, VELDOR_OSENOMEM) << text.substr(0, 60);
    EXPECT_TRUE(run.Value.empty()) << text.substr(0, 60) << " gave " << run.Value.size() << " characters";
  }
}

TEST(ExpressionEvalTest, StringConstantsNamingColumns) {
  RunTable({
      {"'Age' = 42", "TRUE"},              // the constant is read as the column
      {"'Name' = 'Smithers'", "TRUE"},     // the right constant names no column
      {"First = 'Name'", "TRUE"},          // compared with a column: the literal text
      {"'Name' = Name", "FALSE"},          // the left one goes back to its text
      {"'Name' LIKE 'Smi%'", "TRUE"},
      {"Name = 'Nobody'", "FALSE"},
  });
  // Without a fetcher a column from a string constant keeps its text; any other column is an
  // internal error.
  TSetup noFetch;
  noFetch.Fetch = false;
  EXPECT_EQ(Evaluate("'Name' LIKE 'Na%'", noFetch).Value, "TRUE");
  const TRun column = Evaluate("Age = 1", noFetch);
  EXPECT_EQ(column.Code, VELDOR_SQLPARSE);
  EXPECT_EQ(column.Error, "Internal error: Column 'Age' specified illegally");
}

TEST(ExpressionEvalTest, BareBooleanConditionsBecomeComparisons) {
  const long before = Outstanding();
  {
    TExpressionParser parser;
    parser.SetExpression("NOT Active OR IF(Active THEN TRUE ELSE FALSE)");
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(kAllowExtendedPredicates);
    CheckExpression(VELDOR_INVALIDFILTER, "", "", true, kBinder, nullptr, nullptr, tree.Get(), "filter expression");
    const TExpToken* negation = tree->Left;
    ASSERT_EQ(negation->Kind, kTokenUnary);
    const TExpToken* rewritten = negation->Left;
    EXPECT_EQ(rewritten->Kind, kTokenBinary);
    EXPECT_EQ(rewritten->Code, kOpEqual);
    EXPECT_EQ(rewritten->Parent, negation);
    EXPECT_EQ(rewritten->Left->Kind, kTokenColumn);
    EXPECT_EQ(rewritten->Left->ColumnName, "Active");
    EXPECT_EQ(rewritten->Left->Parent, rewritten);
    EXPECT_EQ(rewritten->Right->Text, "True");
    const TExpToken* ifNode = tree->Right;  // an IF used as a condition is rewritten too
    ASSERT_EQ(ifNode->Kind, kTokenBinary);
    ASSERT_EQ(ifNode->Left->Code, kFuncIf);
    EXPECT_EQ(ifNode->Left->Left->Kind, kTokenBinary);  // its own condition, always
    EXPECT_EQ(ifNode->Left->Left->Left->Parent, ifNode->Left->Left);
  }
  {
    // Without the rewrite a bare column stays a column, except as an IF condition.
    TExpressionParser parser;
    parser.SetExpression("IF(Active THEN 1 ELSE 0)");
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(0);
    CheckExpression(VELDOR_SQLPARSE, "", "", false, kBinder, nullptr, nullptr, tree.Get(), "source column");
    EXPECT_EQ(tree->Kind, kTokenFunction);
    EXPECT_EQ(tree->Left->Kind, kTokenBinary);
  }
  EXPECT_EQ(Outstanding(), before);
  TSetup plain;
  plain.Rewrite = false;
  EXPECT_EQ(Evaluate("Active", plain).Value, "TRUE");
  EXPECT_EQ(Evaluate("Active").Value, "TRUE");
}

// How each configuration of a filter or a WHERE clause compares strings.
TEST(ExpressionEvalTest, PreparedComparisons) {
  TSetup filter;
  TSetup sql;
  sql.NoPartial = true;
  TSetup noCase;
  noCase.CaseInsensitive = true;
  TSetup raw;
  raw.Prepare = false;
  struct TPrepared {
    const char* Text;
    const TSetup* Setup;
    const char* Value;
  };
  const std::vector<TPrepared> cases = {
      {"Name = 'Smi*'", &filter, "TRUE"},
      {"Name <> 'Smi*'", &filter, "FALSE"},
      {"Name = 'Smx*'", &filter, "FALSE"},
      {"Name = 'Smi*'", &sql, "FALSE"},
      {"'Smi*' = 'Smi*'", &sql, "TRUE"},
      {"Name = 'smithers'", &filter, "FALSE"},
      {"Name = 'smithers'", &noCase, "TRUE"},
      {"Name = 'smi*'", &noCase, "TRUE"},
      {"Name < 'smithers'", &noCase, "TRUE"},  // ordering keeps case: 'S' < 's'
      {"Age = 42.5", &filter, "TRUE"},         // the constant is truncated to the column's type
      {"Age = 42.5", &raw, "FALSE"},
      {"Small < 2.5", &filter, "FALSE"},
      {"Small < 2.5", &raw, "TRUE"},
      {"Age = 4200000000", &filter, "FALSE"},  // does not fit the column: compared as it is
      {"Age IN (1, 42.7)", &filter, "TRUE"},
      {"Age BETWEEN 42.9 AND 43", &filter, "TRUE"},
      {"Born = CAST(Stamp AS TIMESTAMP)", &filter, "FALSE"},  // not a constant: compared as it is
      {"Amount = 12.5", &filter, "TRUE"},
      {"Price > 3", &filter, "TRUE"},
      {"Name LIKE 'Smi%'", &filter, "TRUE"},
      {"Name NOT LIKE 'Smi%'", &filter, "FALSE"},
      {"Empty NOT LIKE 'Smi%'", &filter, "TRUE"},
  };
  for (const TPrepared& c : cases) {
    const TRun run = Evaluate(c.Text, *c.Setup);
    EXPECT_EQ(run.Error, "") << c.Text;
    EXPECT_EQ(run.Value, c.Value) << c.Text;
  }
}

TEST(ExpressionEvalTest, PrepareBuildsPrefixComparisons) {
  struct TShape {
    const char* Text;
    bool NoPartial;
    uint8_t Kind;
    int32_t Partial;
    const char* Constant;  // the right operand's text after preparing
  };
  const std::vector<TShape> cases = {
      {"Name = 'Smi*'", false, kTokenStringCompare, 3, "Smi"},
      {"Name = 'Smi*'", true, kTokenStringCompare, 0, "Smi*"},
      {"Name = 'Smi'", false, kTokenBinary, 0, "Smi"},
      {"Name LIKE 'Smi%'", false, kTokenStringCompare, 3, "Smi"},
      {"Name LIKE 'Smi%'", true, kTokenStringCompare, 3, "Smi"},
      {"Name LIKE '%mi%'", false, kTokenPredicate, 0, "%mi%"},
      {"Name LIKE 'S_i%'", false, kTokenPredicate, 0, "S_i%"},
      {"Name LIKE '%'", false, kTokenPredicate, 0, "%"},
  };
  const long before = Outstanding();
  for (const TShape& c : cases) {
    TExpressionParser parser;
    parser.SetExpression(c.Text);
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(kAllowExtendedPredicates);
    CheckExpression(VELDOR_INVALIDFILTER, "", "", true, kBinder, nullptr, nullptr, tree.Get(), "filter expression");
    TTokenTree prepared = PrepareExpression(tree.Get(), nullptr, c.NoPartial, false, 0, 0, kFetcher);
    EXPECT_EQ(int(prepared->Kind), int(c.Kind)) << c.Text;
    EXPECT_EQ(prepared->PartialLength, c.Partial) << c.Text;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(prepared->Right->Value.data())), c.Constant) << c.Text;
    EXPECT_EQ(prepared->Right->Parent, prepared.Get()) << c.Text;
    // The original tree is untouched.
    EXPECT_EQ(tree->PartialLength, 0) << c.Text;
  }
  EXPECT_EQ(Outstanding(), before);
}

TEST(ExpressionEvalTest, LanguageComparisons) {
  constexpr uint16_t kGerman = 0x0407, kSwedish = 0x041D;
  struct TLang {
    const char* Text;
    uint16_t Language;
    const char* Value;
  };
  // a-umlaut (0xE4): after every ASCII letter in byte order, between a and b in German,
  // after z in Swedish.
  const std::vector<TLang> cases = {
      {"'\xE4' < 'b'", 0, "FALSE"},
      {"'\xE4' < 'b'", kGerman, "TRUE"},
      {"'\xE4' < 'b'", kSwedish, "FALSE"},
      {"'\xE4' > 'z'", 0, "TRUE"},
      {"'\xE4' > 'z'", kGerman, "FALSE"},
      {"'\xE4' > 'z'", kSwedish, "TRUE"},
      {"'abc' < 'ABD'", 0, "FALSE"},
      {"'abc' < 'ABD'", kGerman, "TRUE"},
      {"'M\xFCller' LIKE 'M_ller'", kGerman, "TRUE"},
      {"'M\xFCller' LIKE 'Mu%'", kGerman, "TRUE"},  // a prefix comparison: marks are ignored
      {"'M\xFCller' LIKE 'Mu%'", 0, "FALSE"},
      {"UPPER('\xE9t\xE9')", kGerman, "'\xC9T\xC9'"},
      {"LOWER('\xC9T\xC9')", kSwedish, "'\xE9t\xE9'"},
      {"UPPER('abc')", 0, "'ABC'"},
  };
  for (const TLang& c : cases) {
    TSetup setup;
    setup.Language = c.Language;
    const TRun run = Evaluate(c.Text, setup);
    EXPECT_EQ(run.Error, "") << c.Text;
    EXPECT_EQ(run.Value, c.Value) << c.Text << " language " << c.Language;
  }
  TSetup noCase;
  noCase.CaseInsensitive = true;
  noCase.Language = kGerman;
  EXPECT_EQ(Evaluate("Name = 'SMITHERS'", noCase).Value, "TRUE");
  noCase.Language = 0;
  EXPECT_EQ(Evaluate("Name = 'SMITHERS'", noCase).Value, "TRUE");
}

TEST(ExpressionEvalTest, CheckMessages) {
  constexpr uint32_t kAggregates = kAllowExtendedPredicates | kAllowAggregates;
  struct TMessage {
    const char* Text;
    const char* Message;
    uint32_t Options = kAllowExtendedPredicates;
  };
  const std::string in = " in filter expression";
  const std::vector<TMessage> cases = {
      {"Bogus = 1", "Invalid column name 'Bogus' or table correlation name '' specified in filter expression"},
      {"p.Bogus = 1", "Invalid column name 'Bogus' or table correlation name 'p' specified in filter expression"},
      {"Age + Name", "Type mismatch between column 'Age' and column 'Name' in filter expression"},
      {"(Age + 1) = Name", "Type mismatch between expression '+' and column 'Name' in filter expression"},
      {"NULL = Age", "Type mismatch between constant 'NULL' and column 'Age' in filter expression"},
      {"Age < NULL", "Type mismatch between column 'Age' and constant 'NULL' in filter expression"},
      {"LENGTH(Name) = Born", "Type mismatch between function 'LENGTH' and column 'Born' in filter expression"},
      {"Active AND Age", "Type mismatch between column 'Active' and column 'Age' in filter expression"},
      {"Born + Born", "Type mismatch between column 'Born' and column 'Born' in filter expression"},
      {"Notes = Raw", "Type mismatch between column 'Notes' and column 'Raw' in filter expression"},
      {"NOT Age", "Type mismatch between 'NOT' operator and 'Age' in filter expression"},
      {"-Name", "Type mismatch between '-' operator and 'Name' in filter expression"},
      {"Born = 'notadate'", "Date, time, or timestamp expression expected, instead found 'notadate' in filter expression"},
      {"At > '25:00'", "Date, time, or timestamp expression expected, instead found '25:00' in filter expression"},
      {"SUM(Name) > 1", "SUM aggregate function must contain a numeric, date, time, or timestamp expression in filter expression", kAggregates},
      {"UPPER(Age) = 'x'", "Type mismatch between UPPER function and function argument in filter expression"},
      {"SUBSTRING(Age FROM 1)", "Expression argument of SUBSTRING function must be a string or memo in filter expression"},
      {"SUBSTRING(Name FROM Age)", "FROM argument of SUBSTRING function must be an integer constant in filter expression"},
      {"SUBSTRING(Name FROM 0)", "FROM argument of SUBSTRING function must be an integer constant greater than 0 in filter expression"},
      {"SUBSTRING(Name FROM 1 FOR 'x')", "FOR argument of SUBSTRING function must be an integer constant in filter expression"},
      {"SUBSTRING(Name FROM 1 FOR 0)", "FOR argument of SUBSTRING function must be an integer constant greater than 0 in filter expression"},
      {"REPLACE('a' WITH 'b' IN Age)", "IN argument of REPLACE function must be a string or memo in filter expression"},
      {"REPLACE(First WITH 'b' IN Name)", "Search argument of REPLACE function must be a string constant in filter expression"},
      {"REPLACE('a' WITH First IN Name)", "WITH argument of REPLACE function must be a string constant in filter expression"},
      {"POS('a' IN Age)", "Type mismatch between POS function and IN argument in filter expression"},
      {"POS(First IN Name)", "Search string argument of POS function must be a string constant in filter expression"},
      {"OCCURS('a' IN Age)", "Type mismatch between OCCURS function and IN argument in filter expression"},
      {"OCCURS(5 IN Name)", "Search string argument of OCCURS function must be a string constant in filter expression"},
      {"TRIM(BOTH 'a' FROM Age)", "FROM argument of TRIM function must be a string or memo in filter expression"},
      {"TRIM(BOTH 'ab' FROM Name)", "Trim character argument of TRIM function must be a single character constant in filter expression"},
      {"LENGTH(Age)", "Type mismatch between LENGTH function and function argument in filter expression"},
      {"EXTRACT(YEAR FROM Name)", "FROM argument of EXTRACT function must be a date, time, or timestamp in filter expression"},
      {"IF(Age THEN 1 ELSE 2)", "First expression argument of IF function must be a boolean type in filter expression"},
      {"IF(Active THEN NULL ELSE NULL)", "At least one of the second and third IF expression arguments in filter expression must be a non-NULL value"},
      {"IF(Active THEN 1 ELSE 'x')", "Type mismatch between second and third IF expression arguments in filter expression"},
      {"IF(Active THEN Price ELSE Money)", "Type mismatch between second and third IF expression arguments in filter expression"},
      {"ABS(Name)", "Expression argument of ABS function must be an integer or floating-point type in filter expression"},
      {"ROUND(Age)", "Expression argument of ROUND function must be a floating-point type in filter expression"},
      {"ROUND(Price TO Age)", "Decimal places argument of ROUND function must be an integer constant in filter expression"},
      {"ROUND(Price TO 33)", "Decimal places argument of ROUND function must be an integer constant between 0 and 32 in filter expression"},
      {"CAST(Born AS INTEGER)", "Type mismatch between column 'Born' and AS argument in filter expression"},
      {"CAST(Active AS INTEGER)", "Type mismatch between column 'Active' and AS argument in filter expression"},
      {"CAST(Age + 1 AS DATE)", "Type mismatch between expression '+' and AS argument in filter expression"},
      {"CAST(Name AS CHAR(0))", "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
      {"CAST(Name AS CHAR(251))", "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
      {"CAST(Name AS CHAR('x'))", "Length argument must be an integer in filter expression"},
      {"CAST(Name AS BYTES(0))", "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
      {"CAST(Price AS DECIMAL(10, 5))", "Scale argument must be an integer less than or equal to 4 for the BCD data type filter expression"},
      {"CAST(Price AS DECIMAL(10, 'x'))", "Scale argument must be an integer in filter expression"},
      {"CAST(Notes AS BLOB('a', 1))", "First BLOB type argument must be an integer in filter expression"},
      {"CAST(Notes AS BLOB(1, 'a'))", "BLOB type argument must be an integer in filter expression"},
      {"CAST(Notes AS BLOB(1, 4))", "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in filter expression"},
      {"Age LIKE 'a%'", "Type mismatch between LIKE operator and expression 'Age' in filter expression"},
      {"Name LIKE First", "Constant expression expected after LIKE operator, instead found 'First' in filter expression"},
      {"Name NOT LIKE 5", "Type mismatch between NOT LIKE operator and expression '5' in filter expression"},
      {"Age BETWEEN Small AND 5", "Constant expression expected after BETWEEN operator, instead found 'Small' in filter expression"},
      {"Age BETWEEN 'a' AND 5", "Type mismatch between BETWEEN operator and expression 'a' in filter expression"},
      {"Born NOT BETWEEN 'x' AND '2024-01-01'", "Date, time, or timestamp expression expected, instead found 'x' in filter expression"},
      {"Age IN (1, Name)", "Constant expression expected after IN operator, instead found 'Name' in filter expression"},
      {"Age NOT IN ('x')", "Type mismatch between NOT IN operator and expression 'x' in filter expression"},
      // An item that is an operation quotes that operation, not the node that holds it in
      // the list; a sign the user wrote is quoted as written.
      {"Age IN (2 * 1)", "Constant expression expected after IN operator, instead found '*' in filter expression"},
      {"Age NOT BETWEEN 1 AND Age * 2", "Constant expression expected after NOT BETWEEN operator, instead found '*' in filter expression"},
      {"Name IN ('a', SUBSTRING(Name FROM 2))", "Constant expression expected after IN operator, instead found 'SUBSTRING' in filter expression"},
      {"Age IN (+(2 * 1))", "Constant expression expected after IN operator, instead found '+' in filter expression"},
  };
  for (const TMessage& c : cases) {
    TSetup setup;
    setup.Options = c.Options;
    const TRun run = Evaluate(c.Text, setup);
    EXPECT_EQ(run.Code, VELDOR_INVALIDFILTER) << c.Text;
    EXPECT_EQ(run.Error, c.Message) << c.Text;
  }
}

TEST(ExpressionEvalTest, CheckErrorsCarryTheCallersContext) {
  const long before = Outstanding();
  {
    TExpressionParser parser;
    parser.SetExpression("Age = Name");
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(0);
    try {
      CheckExpression(VELDOR_SQLPARSE, "mydb", "people", false, kBinder, nullptr, nullptr, tree.Get(),
                      "WHERE or JOIN clause");
      ADD_FAILURE() << "no error";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode, VELDOR_SQLPARSE);
      EXPECT_EQ(e.ErrorDatabaseName, "mydb");
      EXPECT_EQ(e.ErrorTableName, "people");
      EXPECT_EQ(e.ErrorMessage, "Type mismatch between column 'Age' and column 'Name' in WHERE or JOIN clause");
    }
  }
  {
    // A very long column name: the message is cut to 255 characters.
    TExpressionParser parser;
    parser.SetExpression(std::string(300, 'x') + " = 1");
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(0);
    try {
      CheckExpression(VELDOR_SQLPARSE, "", "", false, kBinder, nullptr, nullptr, tree.Get(), "ctx");
      ADD_FAILURE() << "no error";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorMessage.size(), 255u);
    }
  }
  EXPECT_EQ(Outstanding(), before);
}

uint16_t ErrorOfEval(const TExpToken* node) {
  try {
    EvaluateExpression(node, nullptr, nullptr, 0, 0, kFetcher);
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

TEST(ExpressionEvalTest, SubSelectsNeedAQueryEngine) {
  const long before = Outstanding();
  {
    TTokenTree select = TTokenTree::New();
    select->Kind = kTokenSubSelect;
    select->Text = "SELECT";
    EXPECT_EQ(ErrorOfEval(select.Get()), VELDOR_SQLPARSE);
    TTokenTree in = TTokenTree::New();
    in->Kind = kTokenPredicate;
    in->Code = kPredInSelect;
    in->DataType = FIELD_BOOLEAN;
    in->Left = AcquireToken();
    in->Left->Kind = kTokenConstant;
    in->Left->DataType = FIELD_INTEGER;
    in->Right = select.Release();
    EXPECT_EQ(ErrorOfEval(in.Get()), VELDOR_SQLPARSE);

    // With one, IN asks it with an = node of the tested value and the sub-select.
    struct TFake : TSubSelectSource {
      bool DescribeResult(void*, TExpToken& node, int& columns) override {
        columns = 1;
        node.DataType = FIELD_INTEGER;
        node.DataSize = 4;
        return true;
      }
      TTokenTree Evaluate(void*, void*, const TExpToken&) override { return TTokenTree::New(); }
      bool Search(void*, void*, const TExpToken& equal) override {
        return equal.Code == kOpEqual && equal.Right->Kind == kTokenSubSelect &&
               LoadI32(equal.Left->Value.data()) == 42;
      }
    } fake;
    StoreI32(in->Left->Value.data(), 42);
    in->Left->DataSize = 4;
    CheckExpression(VELDOR_SQLPARSE, "", "", false, kBinder, nullptr, nullptr, in.Get(), "ctx", &fake);
    EXPECT_EQ(Show(*EvaluateExpression(in.Get(), nullptr, nullptr, 0, 0, kFetcher, &fake)), "TRUE");
    in->Code = kPredNotInSelect;
    EXPECT_EQ(Show(*EvaluateExpression(in.Get(), nullptr, nullptr, 0, 0, kFetcher, &fake)), "FALSE");
  }
  EXPECT_EQ(Outstanding(), before);
}

}  // namespace
}  // namespace veldor::test
