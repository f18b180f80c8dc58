// Random and mutated expression texts through the parser, the checker, the preparer and the
// evaluator: each must give a tree or an engine error, never a crash, and every node taken
// from the pool must come back. The seed is printed on failure.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/expression.h"
#include "lib/expression_eval.h"
#include "lib/expression_parser.h"
#include "lib/name_text.h"

namespace veldor::test {
namespace {

long Outstanding() {
  return long(ProcessTokenStack().CreatedCount()) - long(ProcessTokenStack().FreeCount());
}

struct TFuzzColumn {
  const char* Name;
  uint8_t Type, SubType;
  int32_t Size;
};

const TFuzzColumn kColumns[] = {
    {"Name", FIELD_STRING, 0, 21},  {"Age", FIELD_INTEGER, 0, 4},     {"Price", FIELD_FLOAT, 0, 8},
    {"Born", FIELD_DATE, 0, 4},     {"At", FIELD_TIME, 0, 4},         {"Stamp", FIELD_TIMESTAMP, 0, 8},
    {"Active", FIELD_BOOLEAN, 0, 2}, {"Notes", FIELD_BLOB, SUBTYPE_MEMO, 8},
    {"Amount", FIELD_BCD, 0, kBCDSize}, {"Big", FIELD_LARGEINT, 0, 8},
};

const TFuzzColumn* Find(const std::string& name) {
  for (const TFuzzColumn& c : kColumns)
    if (SameName(c.Name, name)) return &c;
  return nullptr;
}

const TBindColumn kBind = [](void*, TExpToken& node) {
  const TFuzzColumn* c = Find(node.ColumnName);
  if (!c) return false;
  node.DataType = c->Type;
  node.SubType = c->SubType;
  node.DataSize = c->Size;
  node.Scale = c->Type == FIELD_BCD ? 2 : 0;
  return true;
};

// Every column holds a small non-null value (strings "abc"), except Age, which is NULL.
const TFetchColumn kFetch = [](void*, void*, TExpToken& node) {
  const TFuzzColumn* c = Find(node.ColumnName);
  if (!c || SameName(node.ColumnName, "Age")) {
    node.IsNull = 1;
    return;
  }
  node.IsNull = 0;
  if (c->Type == FIELD_STRING || c->Type == FIELD_BLOB) {
    node.SetStringValue("abc");
    return;
  }
  node.SetDataSize(c->Size);
  std::fill(node.Value.begin(), node.Value.begin() + c->Size, 0);
  if (c->Type == FIELD_BCD) CurrencyToBCD(12345, 2, node.Value.data());
  if (c->Type == FIELD_BOOLEAN || c->Type == FIELD_DATE) node.Value[0] = 7;
};

const char* kSeeds[] = {
    "Name = 'Smi*' AND Age > 3",
    "NOT (Price * 2 >= 10.5) OR Active",
    "UPPER(Name) LIKE 'A%' AND Born BETWEEN '2020-01-01' AND '2024-12-31'",
    "Age IN (1, 2, 3) OR Name IS NULL OR Notes IS NOT NULL",
    "SUBSTRING(Name FROM 2 FOR 3) || 'x' <> \"y\"",
    "IF(Active THEN Age ELSE 0) + ROUND(Price TO 2) > ABS(-3)",
    "EXTRACT(WEEK FROM Stamp) = 1 AND CAST(Price AS INTEGER) < 5",
    "TRIM(BOTH ' ' FROM Name) = 'abc' AND POS('b' IN Name) = 2",
    "REPLACE('a' WITH 'b' IN Name) = 'bbc' AND OCCURS('a' IN Notes) > 0",
    "Stamp - Born > 1 AND At + 1000 > At AND Amount / 3 > 1",
    "LENGTH(Name) * Big / 0 IS NULL AND #65 = 'A' AND [Age] <> 2147483648",
    "LOWER(Name) = 'abc' /* comment */ AND Price <= 1e300 AND Name NOT LIKE '%_%'",
};

const char kAlphabet[] = "()'\"[]#*?+-/|<>=,.%_ 0123456789eEaAzZ\\;:\x01\xe9\xff";
const char* kWords[] = {"AND", "OR", "NOT", "LIKE", "IN", "BETWEEN", "IS", "NULL", "TRUE",
                        "CAST", "AS", "INTEGER", "IF", "THEN", "ELSE", "FROM", "SELECT", "Age",
                        "Name", "Notes", "(", ")", "'", "/*", "*/", "||", "<>"};

std::string Mutate(std::string text, std::mt19937& random) {
  int edits = 1 + int(random() % 4);
  for (int e = 0; e < edits; ++e) {
    size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    switch (random() % 4) {
      case 0: text.insert(at, 1, kAlphabet[random() % (sizeof kAlphabet - 1)]); break;
      case 1:
        if (!text.empty() && at < text.size()) text.erase(at, 1 + random() % 3);
        break;
      case 2: text.insert(at, std::string(" ") + kWords[random() % std::size(kWords)] + " "); break;
      default:
        if (!text.empty() && at < text.size()) text[at] = kAlphabet[random() % (sizeof kAlphabet - 1)];
        break;
    }
  }
  return text;
}

// One text through every stage. Returns which stage it reached (for the coverage check).
int RunOne(const std::string& text) {
  TExpressionParser parser(nullptr);
  parser.ErrorCode = VELDOR_INVALIDFILTER;
  parser.TableName = "fuzz";
  parser.ContextName = "filter expression";
  try {
    parser.SetExpression(text);
    parser.NextToken();
    TTokenTree tree = parser.ParseExpression(kAllowExtendedPredicates);
    if (!tree) return 0;
    CheckExpression(VELDOR_INVALIDFILTER, "", "fuzz", true, kBind, nullptr, nullptr, tree.Get(),
                    "filter expression");
    TTokenTree prepared = PrepareExpression(tree.Get(), nullptr, false, false, 0, 0, kFetch);
    TTokenTree value = EvaluateExpression(prepared.Get(), nullptr, nullptr, 0, 0, kFetch);
    TTokenTree german = EvaluateExpression(tree.Get(), nullptr, nullptr, 0, 0x0407, kFetch);
    return 3;
  } catch (const EVELDOREngineError&) {
    return 1;
  }
}

TEST(ExpressionFuzz, RandomAndMutatedTextsNeverCrashOrLeak) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (const char* s : kSeeds) ASSERT_EQ(RunOne(s), 3) << s;  // the seeds themselves are valid
  int evaluated = 0, refused = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string text;
    if (i % 5 == 0) {
      // Pure noise from the alphabet.
      size_t length = random() % 40;
      for (size_t k = 0; k < length; ++k) text += kAlphabet[random() % (sizeof kAlphabet - 1)];
    } else {
      text = Mutate(kSeeds[random() % std::size(kSeeds)], random);
    }
    long before = Outstanding();
    int stage = RunOne(text);
    ASSERT_EQ(Outstanding(), before) << "nodes not returned for: " << text;
    (stage == 3 ? evaluated : refused) += 1;
  }
  // Both outcomes occur, so the mutations reach the checker and the evaluator.
  EXPECT_GT(evaluated, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace veldor::test
