// Tree operations on parsed trees: copy, comparison, the column and aggregate questions,
// the byte form and its reader, and the node pool.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "expression_support.h"
#include "tests/support/child_process.h"

namespace veldor::test {
namespace {

constexpr uint32_t kAll = kAllowAggregates | kAllowAllColumns | kAllowExtendedPredicates | kAllowParameters;

TTokenTree ParseTree(const std::string& text) {
  TExpressionParser p;
  p.SetExpression(text);
  p.NextToken();
  return p.ParseExpression(kAll);
}

const std::vector<const char*> kSamples = {
    "a = 1 AND NOT b LIKE 'x%' OR c IN (1, 2, 3)",
    "IF(a BETWEEN 1 AND 2 THEN SUBSTRING(s FROM 1 FOR 2) ELSE TRIM(BOTH ' ' FROM s))",
    "CAST(x AS DECIMAL(10, 2)) + ROUND(y TO 2) * -SUM(z)",
    "t.a IS NOT NULL AND CURRENT_DATE > d AND 'long' || #65 = ?",
    "COUNT(*) + 2147483648 + 1.5",
};

TEST(ExpressionTree, CopyIsDeepAndEqual) {
  for (const char* text : kSamples) {
    const long before = Outstanding();
    {
      TTokenTree tree = ParseTree(text);
      TTokenTree copy = CopyTokenTree(tree.Get());
      EXPECT_EQ(Show(copy.Get()), Show(tree.Get())) << text;
      EXPECT_TRUE(SameExpression(tree.Get(), copy.Get())) << text;
      EXPECT_NE(copy.Get(), tree.Get());
      EXPECT_NE(copy->Left, tree->Left);
      EXPECT_EQ(copy->Parent, nullptr);
      // Changing the copy leaves the original alone.
      copy->Left->Code = 99;
      EXPECT_FALSE(SameExpression(tree.Get(), copy.Get())) << text;
    }
    EXPECT_EQ(Outstanding(), before) << text;
  }
  EXPECT_FALSE(CopyTokenTree(nullptr));
}

TEST(ExpressionTree, SameExpressionComparesTheNamedFields) {
  struct TCase {
    const char* A;
    const char* B;
    bool Same;
  };
  const std::vector<TCase> cases = {
      {"a + 1", "A + 1", true},            // names without regard to case
      {"T.a", "t.A", true},                // correlation too
      {"\"x.dat\".a", "x.a", true},        // the correlation, not the text, counts
      {"a + 1", "a - 1", false},           // code
      {"a + 1", "a + 2", false},           // value bytes
      {"a + 1", "a + 1.0", false},         // type
      {"a + 1", "a + b", false},           // kind
      {"a", "u.a", false},                 // correlation
      {"a + 1", "(a + 1)", true},          // parentheses make no node
      {"UPPER(a)", "UPPER(a) || b", false},
      {"a IN (1, 2)", "a IN (1)", false},  // shape
      {"NULL", "NULL", true},
      {"''", "NULL", false},               // typed and untyped NULLs
      {"?", "?", true},
  };
  for (const TCase& c : cases) {
    TTokenTree a = ParseTree(c.A);
    TTokenTree b = ParseTree(c.B);
    EXPECT_EQ(SameExpression(a.Get(), b.Get()), c.Same) << c.A << " / " << c.B;
    EXPECT_EQ(SameExpression(b.Get(), a.Get()), c.Same) << c.B << " / " << c.A;
  }
  TTokenTree a = ParseTree("a");
  EXPECT_TRUE(SameExpression(nullptr, nullptr));
  EXPECT_FALSE(SameExpression(a.Get(), nullptr));
}

TEST(ExpressionTree, ColumnAndAggregateQuestions) {
  struct TCase {
    const char* Text;
    bool Column;
    bool Aggregate;
  };
  const std::vector<TCase> cases = {
      {"a", true, false},
      {"1 + 2", false, false},
      {"-a", true, false},
      {"1 + a", true, false},
      {"UPPER(a)", true, false},
      {"SUM(a)", true, true},
      {"COUNT(*)", true, true},
      {"1 + MAX(2)", false, true},
      {"NOT RUNSUM(a) > 1", true, true},
      {"IF(1 = 1 THEN 2 ELSE a)", true, false},
      {"IF(1 = 1 THEN 2 ELSE AVG(a))", true, true},
      {"IF(1 = 1 THEN MIN(2) ELSE 3)", false, true},
      {"SUBSTRING('x' FROM a)", false, false},  // only the first argument counts
      {"'x' LIKE a", false, false},             // only the tested value counts
      {"a BETWEEN 1 AND 2", true, false},
      {"TRUE", false, false},
  };
  for (const TCase& c : cases) {
    TTokenTree t = ParseTree(c.Text);
    EXPECT_EQ(ReferencesColumn(t.Get()), c.Column) << c.Text;
    EXPECT_EQ(ContainsAggregate(t.Get()), c.Aggregate) << c.Text;
  }
  EXPECT_FALSE(ReferencesColumn(nullptr));
  EXPECT_FALSE(ContainsAggregate(nullptr));
}

TEST(ExpressionTree, SerializedFormRoundTrips) {
  for (const char* text : kSamples) {
    TTokenTree tree = ParseTree(text);
    tree->OptimizeLevel = 3;
    tree->Left->FieldNumber = 7;
    const std::vector<uint8_t> bytes = SerializeTokenTree(tree.Get());
    TTokenTree back = DeserializeTokenTree(bytes.data(), bytes.size());
    const bool lossless = std::string(text).find('?') == std::string::npos && std::string(text).find("t.") == std::string::npos;
    if (lossless) {
      EXPECT_EQ(Show(back.Get()), Show(tree.Get())) << text;
      EXPECT_TRUE(SameExpression(back.Get(), tree.Get())) << text;
    } else {  // the form carries neither IsParameter nor the correlation name
      EXPECT_EQ(Show(back.Get()), "(AND (AND (<> a NULL) (> date d)) (= (+ 'long' 'A') c?))");
      EXPECT_EQ(back->Left->Left->Left->Text, "t.a");
    }
    EXPECT_EQ(back->OptimizeLevel, 3);
    EXPECT_EQ(back->Left->FieldNumber, 7);
    EXPECT_EQ(back->Text, tree->Text);
    EXPECT_EQ(tree->LeftOffset, tree->Left->WritePosition);
    EXPECT_EQ(SerializeTokenTree(back.Get()), bytes) << text;  // the same bytes again
  }
  EXPECT_TRUE(SerializeTokenTree(nullptr).empty());
  EXPECT_FALSE(DeserializeTokenTree(nullptr, 0));
}

TEST(ExpressionTree, SerializedLayoutIsDepthFirstWithLengthPrefixedItems) {
  TTokenTree tree = ParseTree("a = 5");
  const std::vector<uint8_t> bytes = SerializeTokenTree(tree.Get());
  // Root record: Text "=" (length 1), Kind 2, Code 3, ...
  ASSERT_GE(bytes.size(), 15u);
  EXPECT_EQ(LoadU32(bytes.data()), 1u);
  EXPECT_EQ(bytes[4], '=');
  EXPECT_EQ(LoadU32(bytes.data() + 5), 1u);
  EXPECT_EQ(bytes[9], kTokenBinary);
  EXPECT_EQ(bytes[14], kOpEqual);
  // The root record ends with three offsets; Left comes right after it, then Right.
  const TExpToken* root = tree.Get();
  EXPECT_EQ(root->WritePosition, 0);
  EXPECT_EQ(size_t(root->LeftOffset), size_t(root->Left->WritePosition));
  EXPECT_LT(root->LeftOffset, root->RightOffset);
  EXPECT_EQ(LoadU32(bytes.data() + root->LeftOffset - 8), 4u);             // the Third item's length
  EXPECT_EQ(LoadU32(bytes.data() + root->LeftOffset - 4), 0u);             // no Third
  EXPECT_EQ(LoadU32(bytes.data() + root->LeftOffset - 12), uint32_t(root->RightOffset));
  EXPECT_EQ(LoadU32(bytes.data() + root->LeftOffset - 20), uint32_t(root->LeftOffset));
}

TEST(ExpressionTree, DamagedBytesAreRefusedCleanly) {
  TTokenTree tree = ParseTree(kSamples[1]);
  const std::vector<uint8_t> good = SerializeTokenTree(tree.Get());
  TTokenTree pair = ParseTree("a = b");
  const long before = Outstanding();
  auto read = [](const std::vector<uint8_t>& bytes) {
    return ErrorOf([&] { DeserializeTokenTree(bytes.data(), bytes.size()); });
  };
  // Every truncation.
  for (size_t n = 1; n < good.size(); ++n) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
    EXPECT_EQ(read(cut), VELDOR_REMOTEINVREQUEST) << n;
  }
  // Every byte replaced by a few hostile values: a clean result or a clean error.
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x7F), uint8_t(0x10)}) {
      std::vector<uint8_t> bad = good;
      bad[i] = v;
      const uint16_t code = read(bad);
      EXPECT_TRUE(code == 0 || code == VELDOR_REMOTEINVREQUEST) << i;
    }
  }
  // A Right offset of 0 is no link; two links to one record, and a record linking to
  // itself (a cycle), are refused.
  std::vector<uint8_t> bytes = SerializeTokenTree(pair.Get());
  const size_t rightAt = size_t(pair->Left->WritePosition) - 12;
  std::vector<uint8_t> unlinked = bytes;
  StoreU32(unlinked.data() + rightAt, 0);
  EXPECT_EQ(read(unlinked), 0);
  std::vector<uint8_t> shared = bytes;
  StoreU32(shared.data() + rightAt, uint32_t(pair->LeftOffset));
  EXPECT_EQ(read(shared), VELDOR_REMOTEINVREQUEST);
  std::vector<uint8_t> selfLink = bytes;  // the Left record's own Left offset
  StoreU32(selfLink.data() + size_t(pair->Right->WritePosition) - 20, uint32_t(pair->LeftOffset));
  EXPECT_EQ(read(selfLink), VELDOR_REMOTEINVREQUEST);
  EXPECT_EQ(Outstanding(), before);
}

// A chain of 100,000 terms (every operator chain has this shape: down Left) and a list of
// 200,000 items (down Right) go through every tree operation; once such a tree is given
// back, the pool keeps only a bounded number of its nodes, so one huge expression does
// not hold its memory for the rest of the process.
TEST(ExpressionTree, LongChainsAndListsThroughEveryOperation) {
  std::string chain = "a", list = "1 IN (2";
  for (int i = 1; i < 100000; ++i) chain += " OR 1";
  for (int i = 2; i < 200000; ++i) list += ", 3";
  const std::vector<std::string> texts = {chain, list + ", a)"};
  for (const std::string& text : texts) {
    const long before = Outstanding();
    {
      TTokenTree tree = ParseTree(text);
      TTokenTree copy = CopyTokenTree(tree.Get());
      EXPECT_TRUE(SameExpression(tree.Get(), copy.Get())) << text.substr(0, 20);
      // The column is the last thing a walk from the root reaches (or not at all, in IN).
      EXPECT_EQ(ReferencesColumn(tree.Get()), text[0] == 'a') << text.substr(0, 20);
      EXPECT_FALSE(ContainsAggregate(tree.Get())) << text.substr(0, 20);
      const std::vector<uint8_t> bytes = SerializeTokenTree(copy.Get());
      TTokenTree back = DeserializeTokenTree(bytes.data(), bytes.size());
      EXPECT_TRUE(SameExpression(tree.Get(), back.Get())) << text.substr(0, 20);
    }
    EXPECT_EQ(Outstanding(), before) << text.substr(0, 20);
    EXPECT_LE(ProcessTokenStack().FreeCount(), TExpTokenStack::kMaxFreeNodes);
  }
}

TEST(ExpressionPool, AcquireReleaseAndClear) {
  TExpTokenStack pool;
  EXPECT_EQ(pool.FreeCount(), 0u);
  TExpToken* a = pool.AcquireToken();
  EXPECT_EQ(pool.CreatedCount(), 1u);
  EXPECT_EQ(a->Capacity, 256);
  EXPECT_EQ(a->Value.size(), 256u);
  a->Text = "x";
  a->Kind = 4;
  a->SetDataSize(300);
  a->Value[299] = 9;
  EXPECT_EQ(a->Capacity, 512);
  TExpToken* keep = a;
  pool.ReleaseToken(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(pool.FreeCount(), 1u);
  TExpToken* b = pool.AcquireToken();
  EXPECT_EQ(b, keep);  // the free node comes back, cleared
  EXPECT_EQ(pool.CreatedCount(), 1u);
  EXPECT_EQ(b->Text, "");
  EXPECT_EQ(b->Kind, 0);
  EXPECT_EQ(b->Capacity, 256);
  EXPECT_EQ(b->Value.size(), 256u);
  for (uint8_t v : b->Value) ASSERT_EQ(v, 0);
  pool.ReleaseToken(b);
  TExpToken* none = nullptr;
  pool.ReleaseToken(none);
  EXPECT_EQ(pool.FreeCount(), 1u);
}

TEST(ExpressionPool, SharedByThreads) {
  const long before = Outstanding();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        TTokenTree tree = ParseTree(kSamples[size_t(i) % kSamples.size()]);
        TTokenTree copy = CopyTokenTree(tree.Get());
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(Outstanding(), before);
}

}  // namespace
}  // namespace veldor::test
