// Type checking and preparing of expression trees. The checker works in place on the
// parser's tree and raises on the first error; preparing builds a new tree.
//
// Both walk the tree by recursion, except along the two shapes whose length the text
// alone decides: a chain of binary operators (a OR b OR ..., a + b + ..., which the parser
// builds down the Left side) and the item list of IN (down the Right side of the items).
// Those are loops, so a chain of 100,000 terms costs no stack; every other link needs a
// parenthesis or a function call in the text, and the parser bounds how deeply those nest.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/expression_eval.h"
#include "lib/text_forms.h"

namespace veldor {
namespace {

bool IsMemo(const TExpToken* n) { return n->DataType == FIELD_BLOB && n->SubType == SUBTYPE_MEMO; }
bool StringLike(const TExpToken* n) { return IsStringLike(n->DataType, n->SubType); }
bool IsConstant(const TExpToken* n) { return n != nullptr && n->Kind == kTokenConstant; }
bool IsStringConstant(const TExpToken* n) { return IsConstant(n) && n->DataType == FIELD_STRING && !n->IsParameter; }

// A constant, or a sign applied to one.
bool IsSignedConstant(const TExpToken* n) {
  while (n != nullptr && n->Kind == kTokenUnary && (n->Code == kOpNegate || n->Code == kOpPlusSign)) n = n->Left;
  return IsConstant(n);
}

std::string ValueText(const TExpToken* n) {
  const char* p = reinterpret_cast<const char*>(n->Value.data());
  return std::string(p, strnlen(p, n->Value.size()));
}

// The value of a non-NULL integer constant.
bool ConstantInteger(const TExpToken* n, int64_t& value) {
  if (!IsConstant(n) || n->IsNull || n->IsParameter || !IsIntegerType(n->DataType)) return false;
  const uint8_t* p = n->Value.data();
  switch (n->DataType) {
    case FIELD_SMALLINT: value = LoadI16(p); break;
    case FIELD_WORD: value = LoadU16(p); break;
    case FIELD_INTEGER: value = LoadI32(p); break;
    default: value = LoadI64(p); break;
  }
  return true;
}

int32_t FixedSize(uint8_t type) {
  switch (type) {
    case FIELD_DATE: case FIELD_INTEGER: case FIELD_TIME: return 4;
    case FIELD_BLOB: case FIELD_FLOAT: case FIELD_TIMESTAMP: case FIELD_LARGEINT: return 8;
    case FIELD_BOOLEAN: case FIELD_SMALLINT: case FIELD_WORD: return 2;
    case FIELD_BCD: return kBCDSize;
    default: return 0;
  }
}

void SetType(TExpToken* n, uint8_t type, uint8_t subType, int32_t size, uint8_t scale) {
  n->DataType = type;
  n->SubType = subType;
  n->DataSize = size;
  n->Scale = scale;
}

bool IsComparison(uint8_t code) { return code >= kOpEqual && code <= kOpLessOrEqual; }

// A node of a binary operator chain: its Left may be the next node of the chain.
bool IsBinaryNode(const TExpToken* n) {
  return n != nullptr && (n->Kind == kTokenBinary || n->Kind == kTokenStringCompare);
}

// The nodes whose Right is a list of items, each linked to the next through its own Right.
bool HasItemList(const TExpToken* n) {
  return (n->Kind == kTokenPredicate && (n->Code == kPredBetween || n->Code == kPredNotBetween ||
                                         n->Code == kPredInList || n->Code == kPredNotInList)) ||
         (n->Kind == kTokenFunction && (n->Code == kFuncSubstring || n->Code == kFuncReplace || n->Code == kFuncCast));
}

// Operand compatibility of a binary operator.
bool Compatible(uint8_t op, const TExpToken* l, const TExpToken* r) {
  const uint8_t lt = l->DataType, rt = r->DataType;
  const bool rStr = StringLike(r), rInt = IsIntegerType(rt), rNum = IsNumericType(rt);
  if (op == kOpEqual || op == kOpNotEqual) {
    if (lt == FIELD_DATE || lt == FIELD_TIMESTAMP) return rt == 0 || rt == FIELD_DATE || rt == FIELD_TIMESTAMP;
    if (StringLike(l)) return rt == 0 || rStr;
    if (lt == FIELD_BLOB) return rt == 0;
    if (lt == FIELD_BOOLEAN) return rt == 0 || rt == FIELD_BOOLEAN;
    if (IsNumericType(lt)) return rt == 0 || rNum;
    if (lt == FIELD_BYTES) return rt == 0 || rt == FIELD_BYTES;
    if (lt == FIELD_TIME) return rt == 0 || rt == FIELD_TIME;
    return false;
  }
  if (IsComparison(op)) {
    if (lt == FIELD_DATE || lt == FIELD_TIMESTAMP) return rt == FIELD_DATE || rt == FIELD_TIMESTAMP;
    if (StringLike(l)) return rStr;
    if (IsNumericType(lt)) return rNum;
    if (lt == FIELD_TIME) return rt == FIELD_TIME;
    return false;
  }
  switch (op) {
    case kOpAnd: case kOpOr: return lt == FIELD_BOOLEAN && rt == FIELD_BOOLEAN;
    case kOpAdd:
      if (IsDateTimeType(lt)) return rInt;
      if (StringLike(l)) return rStr;
      if (IsIntegerType(lt)) return IsDateTimeType(rt) || rNum;
      if (lt == FIELD_FLOAT || lt == FIELD_BCD) return rNum;
      return false;
    case kOpSubtract:
      if (lt == FIELD_DATE) return rt == FIELD_DATE || rInt;
      if (IsNumericType(lt)) return rNum;
      if (lt == FIELD_TIME) return rt == FIELD_TIME || rInt;
      if (lt == FIELD_TIMESTAMP) return IsDateTimeType(rt) || rInt;
      return false;
    case kOpMultiply: case kOpDivide: return IsNumericType(lt) && rNum;
    default: return false;
  }
}

// The numeric result of + - * on two numeric operands (/ of two integers is a float).
uint8_t NumericResult(uint8_t op, uint8_t lt, uint8_t rt) {
  if (lt == FIELD_FLOAT || rt == FIELD_FLOAT) return FIELD_FLOAT;
  if (lt == FIELD_BCD || rt == FIELD_BCD) return FIELD_BCD;
  if (op == kOpDivide) return FIELD_FLOAT;
  if (lt == FIELD_LARGEINT || rt == FIELD_LARGEINT) return FIELD_LARGEINT;
  return FIELD_INTEGER;
}

// Result type of an arithmetic node whose operands are compatible.
void ArithmeticResult(TExpToken* n, const TExpToken* l, const TExpToken* r) {
  const uint8_t op = n->Code, lt = l->DataType, rt = r->DataType;
  if (op == kOpAdd && StringLike(l)) {
    const bool memo = IsMemo(l) || IsMemo(r);
    // A long chain of string operands declares no more than evaluation can build.
    const int64_t size = std::min<int64_t>(int64_t(l->DataSize) + r->DataSize - 1, int64_t(kMaxTextResult) + 1);
    SetType(n, memo ? FIELD_BLOB : FIELD_STRING, memo ? SUBTYPE_MEMO : 0, memo ? 8 : int32_t(size), 0);
    return;
  }
  uint8_t type = 0;
  if (op == kOpAdd) {
    if (IsDateTimeType(lt)) type = lt;
    else if (IsDateTimeType(rt)) type = rt;
    else type = NumericResult(op, lt, rt);
  } else if (op == kOpSubtract && lt == FIELD_DATE) {
    type = rt == FIELD_DATE ? FIELD_INTEGER : FIELD_DATE;
  } else if (op == kOpSubtract && lt == FIELD_TIME) {
    type = rt == FIELD_TIME ? FIELD_INTEGER : FIELD_TIME;
  } else if (op == kOpSubtract && lt == FIELD_TIMESTAMP) {
    type = rt == FIELD_TIMESTAMP ? FIELD_FLOAT : IsIntegerType(rt) ? FIELD_TIMESTAMP : FIELD_INTEGER;
  } else {
    type = NumericResult(op, lt, rt);
  }
  uint8_t subType = 0;
  if (IsNumericType(type) && IsNumericType(rt)) {
    const bool leftMoney = l->SubType == SUBTYPE_MONEY, rightMoney = r->SubType == SUBTYPE_MONEY;
    if (op == kOpAdd || op == kOpMultiply) {
      if (leftMoney || (l->SubType == 0 && rightMoney)) subType = SUBTYPE_MONEY;
    } else if (leftMoney) {
      subType = SUBTYPE_MONEY;
    }
  }
  const uint8_t scale = type == FIELD_BCD ? std::max(l->Scale, r->Scale) : 0;
  SetType(n, type, subType, FixedSize(type), scale);
}

class TChecker {
 public:
  TChecker(uint16_t code, const std::string& database, const std::string& table, bool rewrite,
           const TBindColumn& bind, void* owner, const std::string& context, TSubSelectSource* subSelects)
      : Code_(code), Database_(database), Table_(table), Rewrite_(rewrite), Bind_(bind), Owner_(owner),
        Context_(context), SubSelects_(subSelects) {}

  void CheckRoot(TExpToken* parent, TExpToken* node);
  void Check(TExpToken* parent, TExpToken* node);

 private:
  [[noreturn]] void Fail(std::string message) const {
    if (message.size() > 255) message.resize(255);
    RaiseEngineError(Code_, "", "", Database_, Table_, "", "", message);
  }
  [[noreturn]] void FailIn(const std::string& fixed) const { Fail(fixed + Context_); }

  static std::string KindName(const TExpToken* n) {
    switch (n->Kind) {
      case kTokenColumn: return "column";
      case kTokenConstant: return "constant";
      case kTokenFunction: return "function";
      default: return "expression";
    }
  }

  bool Bind(TExpToken* n) const { return Bind_ && Bind_(Owner_, *n); }
  [[noreturn]] void FailColumn(const TExpToken* n) const {
    Fail("Invalid column name '" + n->ColumnName + "'" + " or table correlation name " + "'" + n->CorrelationName +
         "'" + " specified in " + Context_);
  }

  // Undoes rule "string constant read as a column": the node is its string constant again.
  static void RestoreString(TExpToken* n) {
    if (n->Kind != kTokenColumn || !n->BoundFromString) return;
    n->Kind = kTokenConstant;
    n->BoundFromString = 0;
    n->ColumnName.clear();
    n->CorrelationName.clear();
    SetType(n, n->SavedType, n->SavedSubType, n->SavedSize, n->SavedScale);
  }

  // A string constant next to a date, time or timestamp takes that type.
  void ConvertDateString(TExpToken* constant, const TExpToken* other) const;
  void CheckChain(TExpToken* node);
  void CheckOperands(TExpToken* node);
  void CheckFunction(TExpToken* node);
  void CheckCast(TExpToken* node);
  void CheckPredicate(TExpToken* node);
  void CheckBound(TExpToken* node, TExpToken* item, const std::string& name);
  void RewriteBoolean(TExpToken* node);
  void RewriteCondition(TExpToken* node, bool force);

  uint16_t Code_;
  const std::string& Database_;
  const std::string& Table_;
  bool Rewrite_;
  const TBindColumn& Bind_;
  void* Owner_;
  const std::string& Context_;
  TSubSelectSource* SubSelects_;
};

void TChecker::ConvertDateString(TExpToken* constant, const TExpToken* other) const {
  if (!IsStringConstant(constant) || !IsDateTimeType(other->DataType)) return;
  if (!constant->IsNull) {
    const std::string text = ValueText(constant);
    bool ok = false;
    if (other->DataType == FIELD_DATE) {
      int32_t day = 0;
      ok = TryTextToDate(text, day);
      if (ok) StoreI32(constant->Value.data(), day);
    } else if (other->DataType == FIELD_TIME) {
      int32_t ms = 0;
      ok = TryTextToTime(text, ms);
      if (ok) StoreI32(constant->Value.data(), ms);
    } else {
      double ts = 0;
      ok = TryTextToTimestamp(text, ts);
      if (ok) StoreDouble(constant->Value.data(), ts);
    }
    if (!ok) Fail("Date, time, or timestamp expression expected, instead found '" + text + "'" + " in " + Context_);
    std::memset(constant->Value.data() + 8, 0, constant->Value.size() - 8);
  }
  SetType(constant, other->DataType, 0, FixedSize(other->DataType), 0);
}

void TChecker::Check(TExpToken* parent, TExpToken* node) {
  if (node == nullptr) return;
  node->Parent = parent;
  switch (node->Kind) {
    case kTokenConstant:
      if (node->DataType == FIELD_STRING && !node->IsParameter && !node->IsNull) {
        const std::string text = ValueText(node);
        if (!text.empty() && text != "*") {
          node->SavedType = node->DataType;
          node->SavedSubType = node->SubType;
          node->SavedSize = node->DataSize;
          node->SavedScale = node->Scale;
          node->ColumnName = text;
          if (Bind(node)) {
            node->Kind = kTokenColumn;
            node->BoundFromString = 1;
          } else {
            node->ColumnName.clear();
            SetType(node, node->SavedType, node->SavedSubType, node->SavedSize, node->SavedScale);
          }
        }
      }
      break;
    case kTokenColumn:
      if (node->ColumnName != "*" && !Bind(node)) FailColumn(node);
      break;
    case kTokenUnary: {
      Check(node, node->Left);
      const TExpToken* operand = node->Left;
      const uint8_t t = operand ? operand->DataType : 0;
      bool ok;
      if (node->Code == kOpNot) ok = t == FIELD_BOOLEAN;
      else {
        ok = t == FIELD_DATE || t == FIELD_SMALLINT || t == FIELD_INTEGER || t == FIELD_FLOAT || t == FIELD_BCD ||
             t == FIELD_TIME || t == FIELD_TIMESTAMP || t == FIELD_LARGEINT || (node->Code == kOpPlusSign && t == FIELD_WORD);
      }
      if (!ok)
        Fail("Type mismatch between '" + node->Text + "'" + " operator and " + "'" + (operand ? operand->Text : "") +
             "'" + " in " + Context_);
      if (node->Code == kOpNot) {
        SetType(node, FIELD_BOOLEAN, 0, 2, 0);
        RewriteCondition(node->Left, false);
      } else SetType(node, operand->DataType, operand->SubType, operand->DataSize, operand->Scale);
      break;
    }
    case kTokenBinary:
    case kTokenStringCompare:
      CheckChain(node);
      break;
    case kTokenSubSelect: {
      if (SubSelects_ == nullptr) Fail("Internal error: sub-select query without a query engine in " + Context_);
      int columns = 0;
      const bool resolved = SubSelects_->DescribeResult(Owner_, *node, columns);
      if (columns != 1) FailIn("More than 1 column for sub-select  specified in ");
      if (!resolved) FailColumn(node);
      break;
    }
    case kTokenFunction:
      CheckFunction(node);
      break;
    case kTokenPredicate:
      CheckPredicate(node);
      break;
    default:
      break;
  }
}

// Rewrites a boolean column, CAST or IF used as a condition into (node = TRUE). Called by
// the condition's parent after the parent's own type check, so messages quote the
// operand as written.
void TChecker::RewriteCondition(TExpToken* node, bool force) {
  if (node == nullptr || !(Rewrite_ || force) || node->DataType != FIELD_BOOLEAN) return;
  if (node->Kind == kTokenColumn || (node->Kind == kTokenFunction && (node->Code == kFuncCast || node->Code == kFuncIf)))
    RewriteBoolean(node);
}

void TChecker::CheckRoot(TExpToken* parent, TExpToken* node) {
  Check(parent, node);
  if (parent == nullptr || (parent->Kind == kTokenUnary && parent->Code == kOpNot) ||
      (parent->Kind == kTokenBinary && (parent->Code == kOpAnd || parent->Code == kOpOr)))
    RewriteCondition(node, false);
}

void TChecker::RewriteBoolean(TExpToken* node) {
  TTokenTree copy = TTokenTree::New();
  TTokenTree truth = TTokenTree::New();
  copy->CopyFrom(*node);
  for (TExpToken* child : {copy->Left, copy->Right, copy->Third})
    if (child != nullptr && child->Parent == node) child->Parent = copy.Get();
  truth->Kind = kTokenConstant;
  truth->Text = "True";
  SetType(truth.Get(), FIELD_BOOLEAN, 0, 2, 0);
  StoreU16(truth->Value.data(), 1);
  TExpToken* parent = node->Parent;
  node->Clear();
  node->Parent = parent;
  node->Kind = kTokenBinary;
  node->Code = kOpEqual;
  node->Text = "=";
  SetType(node, FIELD_BOOLEAN, 0, 2, 0);
  node->Left = copy.Release();
  node->Right = truth.Release();
  node->Left->Parent = node;
  node->Right->Parent = node;
}

// `node` and the binary nodes below it along Left, in the order recursion would take:
// the innermost Left operand first, then each node's Right operand and its own rules,
// from the bottom of the chain up.
void TChecker::CheckChain(TExpToken* node) {
  std::vector<TExpToken*> chain{node};
  while (IsBinaryNode(chain.back()->Left)) {
    chain.back()->Left->Parent = chain.back();
    chain.push_back(chain.back()->Left);
  }
  Check(chain.back(), chain.back()->Left);
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    Check(*at, (*at)->Right);
    CheckOperands(*at);
  }
}

// The rules of a binary node whose operands are checked.
void TChecker::CheckOperands(TExpToken* node) {
  TExpToken* l = node->Left;
  TExpToken* r = node->Right;
  if (l == nullptr || r == nullptr) return;  // the parser never builds such a node
  if (l->Kind == kTokenColumn && r->Kind == kTokenColumn) {
    if (r->BoundFromString) RestoreString(r);
    else if (l->BoundFromString) RestoreString(l);
  }
  ConvertDateString(l, r);
  ConvertDateString(r, l);
  if (!Compatible(node->Code, l, r))
    Fail("Type mismatch between " + KindName(l) + " " + "'" + l->Text + "'" + " and " + KindName(r) + " " + "'" +
         r->Text + "'" + " in " + Context_);
  if (node->Code == kOpAnd || node->Code == kOpOr) {
    RewriteCondition(l, false);
    RewriteCondition(r, false);
  }
  if (IsComparison(node->Code) || node->Code == kOpAnd || node->Code == kOpOr)
    SetType(node, FIELD_BOOLEAN, 0, 2, 0);
  else
    ArithmeticResult(node, l, r);
}

void TChecker::CheckFunction(TExpToken* node) {
  const uint8_t code = node->Code;
  const std::string& name = node->Text;
  TExpToken* arg = node->Left;
  if (code == kFuncCast) return CheckCast(node);
  if (code == kFuncIf) {
    Check(node, arg);
    TExpToken* yes = node->Right;
    TExpToken* no = node->Third;
    Check(node, yes);
    Check(node, no);
    if (arg == nullptr || arg->DataType != FIELD_BOOLEAN)
      FailIn("First expression argument of IF function must be a boolean type in ");
    RewriteCondition(arg, true);
    const bool yesNull = IsConstant(yes) && yes->IsNull, noNull = IsConstant(no) && no->IsNull;
    if (yesNull && noNull)
      Fail("At least one of the second and third IF expression arguments in " + Context_ + " must be a non-NULL value");
    const TExpToken* typed = yesNull ? no : yes;
    if (!yesNull && !noNull && (yes->DataType != no->DataType || yes->SubType != no->SubType))
      FailIn("Type mismatch between second and third IF expression arguments in ");
    SetType(node, typed->DataType, typed->SubType, std::max(yes->DataSize, no->DataSize),
            std::max(yes->Scale, no->Scale));
    return;
  }
  // Every other function checks its first argument as an expression; the links in Right
  // are constant arguments and are looked at by each rule.
  Check(node, arg);
  if (arg == nullptr) return;
  const uint8_t t = arg->DataType;
  auto stringConstantArgument = [&](TExpToken* a) {
    if (a == nullptr) return false;
    a->Parent = node;
    return IsStringConstant(a);
  };
  switch (code) {
    case kFuncSum: case kFuncRunSum: case kFuncMin: case kFuncMax: case kFuncAvg:
      if (!(IsNumericType(t) || IsDateTimeType(t)))
        Fail(name + " aggregate function " + "must contain a numeric, date, time, or timestamp expression in " + Context_);
      SetType(node, t, arg->SubType, arg->DataSize, arg->Scale);
      return;
    case kFuncCount:
      SetType(node, FIELD_INTEGER, 0, 4, 0);
      return;
    case kFuncUpper: case kFuncLower:
      if (!StringLike(arg)) FailIn("Type mismatch between " + name + " function and function argument in ");
      SetType(node, arg->DataType, arg->SubType, arg->DataSize, 0);
      return;
    case kFuncSubstring: {
      if (!StringLike(arg)) FailIn("Expression argument of SUBSTRING function must be a string or memo in ");
      TExpToken* from = node->Right;
      int64_t start = 0, count = 0;
      if (from) from->Parent = node;
      if (!ConstantInteger(from, start)) FailIn("FROM argument of SUBSTRING function must be an integer constant in ");
      if (start <= 0) FailIn("FROM argument of SUBSTRING function must be an integer constant greater than 0 in ");
      TExpToken* length = from->Right;
      int64_t size = int64_t(arg->DataSize) - start + 1;
      if (length != nullptr) {
        length->Parent = from;
        if (!ConstantInteger(length, count)) FailIn("FOR argument of SUBSTRING function must be an integer constant in ");
        if (count <= 0) FailIn("FOR argument of SUBSTRING function must be an integer constant greater than 0 in ");
        size = count + 1;  // FOR characters and the NUL
      }
      if (IsMemo(arg)) SetType(node, FIELD_BLOB, SUBTYPE_MEMO, 8, 0);
      else SetType(node, FIELD_STRING, 0, int32_t(std::clamp<int64_t>(size, 1, 1 << 30)), 0);
      return;
    }
    case kFuncReplace: {
      if (!StringLike(arg)) FailIn("IN argument of REPLACE function must be a string or memo in ");
      TExpToken* search = node->Right;
      if (!stringConstantArgument(search)) FailIn("Search argument of REPLACE function must be a string constant in ");
      TExpToken* with = search->Right;
      if (with) with->Parent = search;
      if (!IsStringConstant(with)) FailIn("WITH argument of REPLACE function must be a string constant in ");
      SetType(node, arg->DataType, arg->SubType, arg->DataSize, 0);
      return;
    }
    case kFuncPos: case kFuncOccurs: {
      const std::string word = code == kFuncPos ? "POS" : "OCCURS";
      if (!StringLike(arg)) FailIn("Type mismatch between " + word + " function and IN argument in ");
      if (!stringConstantArgument(node->Right))
        FailIn("Search string argument of " + word + " function must be a string constant in ");
      SetType(node, FIELD_INTEGER, 0, 4, 0);
      return;
    }
    case kFuncTrimLeading: case kFuncTrimTrailing: case kFuncTrimBoth: {
      if (!StringLike(arg)) FailIn("FROM argument of TRIM function must be a string or memo in ");
      TExpToken* c = node->Right;
      if (!stringConstantArgument(c) || c->IsNull || ValueText(c).size() != 1)
        FailIn("Trim character argument of TRIM function must be a single character constant in ");
      SetType(node, arg->DataType, arg->SubType, arg->DataSize, 0);
      return;
    }
    case kFuncLength:
      if (!StringLike(arg)) FailIn("Type mismatch between LENGTH function and function argument in ");
      SetType(node, FIELD_INTEGER, 0, 4, 0);
      return;
    case kFuncAbs:
      if (!IsNumericType(t)) FailIn("Expression argument of ABS function must be an integer or floating-point type in ");
      SetType(node, t, arg->SubType, arg->DataSize, arg->Scale);
      return;
    case kFuncRound: {
      if (t != FIELD_FLOAT && t != FIELD_BCD) FailIn("Expression argument of ROUND function must be a floating-point type in ");
      if (TExpToken* places = node->Right) {
        places->Parent = node;
        int64_t n = 0;
        if (!ConstantInteger(places, n)) FailIn("Decimal places argument of ROUND function must be an integer constant in ");
        if (n < 0 || n > 32)
          FailIn("Decimal places argument of ROUND function must be an integer constant between 0 and 32 in ");
      }
      SetType(node, FIELD_FLOAT, 0, 8, 0);
      return;
    }
    default:
      if (code >= kFuncExtractYear && code <= kFuncExtractSecond) {
        if (!IsDateTimeType(t)) FailIn("FROM argument of EXTRACT function must be a date, time, or timestamp in ");
        SetType(node, FIELD_INTEGER, 0, 4, 0);
      }
      return;
  }
}

// Source types each CAST target accepts.
bool CastAccepts(uint8_t target, uint8_t source) {
  switch (target) {
    case FIELD_STRING: case FIELD_BLOB: case FIELD_BYTES: case FIELD_VARBYTES: return true;
    case FIELD_DATE:
      return source == FIELD_STRING || source == FIELD_DATE || source == FIELD_BYTES || source == FIELD_TIMESTAMP ||
             source == FIELD_VARBYTES;
    case FIELD_BOOLEAN:
      return source == FIELD_STRING || source == FIELD_BOOLEAN || source == FIELD_SMALLINT || source == FIELD_INTEGER ||
             source == FIELD_BCD || source == FIELD_BYTES || source == FIELD_WORD || source == FIELD_VARBYTES ||
             source == FIELD_LARGEINT;
    case FIELD_SMALLINT: case FIELD_WORD:
      return source == FIELD_STRING || source == FIELD_BOOLEAN || source == FIELD_SMALLINT || source == FIELD_INTEGER ||
             source == FIELD_FLOAT || source == FIELD_BCD || source == FIELD_BYTES || source == FIELD_WORD ||
             source == FIELD_VARBYTES || source == FIELD_LARGEINT;
    case FIELD_INTEGER:
      return source == FIELD_STRING || source == FIELD_SMALLINT || source == FIELD_INTEGER || source == FIELD_FLOAT ||
             source == FIELD_BCD || source == FIELD_BYTES || source == FIELD_WORD || source == FIELD_VARBYTES;
    case FIELD_FLOAT: case FIELD_BCD: case FIELD_LARGEINT:
      return source == FIELD_STRING || source == FIELD_SMALLINT || source == FIELD_INTEGER || source == FIELD_FLOAT ||
             source == FIELD_BCD || source == FIELD_BYTES || source == FIELD_WORD || source == FIELD_VARBYTES ||
             source == FIELD_LARGEINT;
    case FIELD_TIME:
      return source == FIELD_STRING || source == FIELD_BYTES || source == FIELD_TIME || source == FIELD_TIMESTAMP ||
             source == FIELD_VARBYTES;
    case FIELD_TIMESTAMP:
      return source == FIELD_STRING || source == FIELD_DATE || source == FIELD_BYTES || source == FIELD_TIME ||
             source == FIELD_TIMESTAMP || source == FIELD_VARBYTES;
    default: return false;
  }
}

void TChecker::CheckCast(TExpToken* node) {
  TExpToken* arg = node->Left;
  Check(node, arg);
  TExpToken* first = node->Right;
  TExpToken* second = first ? first->Right : nullptr;
  if (first) first->Parent = node;
  if (second) second->Parent = first;
  const uint8_t target = node->DataType;
  // An untyped NULL casts to anything.
  if (arg != nullptr && arg->DataType != 0 && !CastAccepts(target, arg->DataType))
    Fail("Type mismatch between " + KindName(arg) + " " + "'" + arg->Text + "'" + " and AS argument in " + Context_);
  const int32_t operandSize = arg ? arg->DataSize : 0;
  int64_t value = 0;
  switch (target) {
    case FIELD_STRING: case FIELD_BYTES: case FIELD_VARBYTES:
      if (first == nullptr && target != FIELD_STRING) {
        node->DataSize = operandSize > 0 ? operandSize : 10;
        break;
      }
      if (!ConstantInteger(first, value)) FailIn("Length argument must be an integer in ");
      if (value < 1 || value > kMaxDeclaredSize)
        Fail("Length argument must be an integer greater than 0 and less than or equal to " + std::string("250") +
             " in " + Context_);
      node->DataSize = int32_t(value) + (target == FIELD_STRING ? 1 : 0);
      break;
    case FIELD_FLOAT: case FIELD_BCD:
      // The BCD value itself is the 34-byte packed form, whatever the declared precision.
      node->DataSize = FixedSize(target);
      node->Scale = 0;
      if (second != nullptr) {
        if (!ConstantInteger(second, value)) FailIn("Scale argument must be an integer in ");
        if (target == FIELD_BCD && value > 4)
          Fail("Scale argument must be an integer less than or equal to 4 for the BCD data type " + Context_);
        node->Scale = uint8_t(std::clamp<int64_t>(value, 0, 32));
      }
      break;
    case FIELD_BLOB:
      if (!ConstantInteger(first, value)) FailIn("First BLOB type argument must be an integer in ");
      if (!ConstantInteger(second, value)) FailIn("BLOB type argument must be an integer in ");
      if (value != 1 && value != 2 && value != 3 && value != 5 && value != 7)
        FailIn("BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in ");
      node->SubType = uint8_t(21 + value);
      node->DataSize = operandSize;
      break;
    default:
      node->DataSize = FixedSize(target);
      break;
  }
}

void TChecker::CheckBound(TExpToken* node, TExpToken* item, const std::string& name) {
  RestoreString(item);
  if (!IsSignedConstant(item))
    Fail("Constant expression expected after " + name + " operator, " + "instead found " + "'" + item->Text + "'" +
         " in " + Context_);
  TExpToken* next = item->Right;
  if (item->Kind == kTokenConstant) {
    Check(node, item);
    RestoreString(item);
  } else {
    // A sign over a constant: its Right is the next chain item, never an operand.
    item->Right = nullptr;
    try {
      Check(node, item);
    } catch (...) {
      item->Right = next;
      throw;
    }
    item->Right = next;
  }
  ConvertDateString(item, node->Left);
  if (!Compatible(kOpEqual, node->Left, item))
    Fail("Type mismatch between " + name + " operator and expression " + "'" + item->Text + "'" + " in " + Context_);
}

void TChecker::CheckPredicate(TExpToken* node) {
  std::string name;
  switch (node->Code) {
    case kPredLike: name = "LIKE"; break;
    case kPredNotLike: name = "NOT LIKE"; break;
    case kPredBetween: name = "BETWEEN"; break;
    case kPredNotBetween: name = "NOT BETWEEN"; break;
    case kPredInList: case kPredInSelect: name = "IN"; break;
    default: name = "NOT IN"; break;
  }
  TExpToken* tested = node->Left;
  Check(node, tested);
  auto mismatch = [&](const TExpToken* n) {
    Fail("Type mismatch between " + name + " operator and expression " + "'" + n->Text + "'" + " in " + Context_);
  };
  SetType(node, FIELD_BOOLEAN, 0, 2, 0);
  if (tested == nullptr || node->Right == nullptr) return;  // the parser never builds such a node
  switch (node->Code) {
    case kPredLike: case kPredNotLike: {
      if (!StringLike(tested)) mismatch(tested);
      TExpToken* pattern = node->Right;
      Check(node, pattern);
      RestoreString(pattern);
      if (!IsConstant(pattern))
        Fail("Constant expression expected after " + name + " operator, " + "instead found " + "'" + pattern->Text +
             "'" + " in " + Context_);
      if (pattern->DataType != FIELD_STRING || pattern->IsParameter) mismatch(pattern);
      return;
    }
    case kPredInSelect: case kPredNotInSelect:
      Check(node, node->Right);
      if (!Compatible(kOpEqual, tested, node->Right)) mismatch(node->Right);
      return;
    default: {
      TExpToken* previous = node;
      for (TExpToken* item = node->Right; item != nullptr; item = item->Right) {
        CheckBound(node, item, name);
        item->Parent = previous;
        previous = item;
      }
      return;
    }
  }
}

// ---- Preparing ---------------------------------------------------------------------------

class TPreparer {
 public:
  TPreparer(void* owner, bool noPartial, bool caseInsensitive, uint16_t language, uint16_t sort,
            const TFetchColumn& fetch)
      : Owner_(owner), NoPartial_(noPartial), CaseInsensitive_(caseInsensitive), Language_(language), Sort_(sort),
        Fetch_(fetch) {}

  TTokenTree Copy(const TExpToken* node, TExpToken* parent);

 private:
  // A copy of `node` alone, without links, whose Parent is `parent`.
  static TTokenTree Bare(const TExpToken* node, TExpToken* parent) {
    TTokenTree copy = TTokenTree::New();
    copy->CopyFrom(*node);
    copy->Parent = parent;
    copy->Left = copy->Right = copy->Third = nullptr;
    return copy;
  }
  // Copies the items of source's Right list into copy's, one after the other.
  void CopyItems(const TExpToken* source, TExpToken* copy);
  // The changes preparing makes to one node whose links are copied (and prepared).
  void Rewrite(TExpToken* n);
  // The constant under any signs, or null.
  static TExpToken* UnderSigns(TExpToken* n) {
    while (n != nullptr && n->Kind == kTokenUnary && (n->Code == kOpNegate || n->Code == kOpPlusSign)) n = n->Left;
    return IsConstant(n) ? n : nullptr;
  }
  // Replaces the constant operand in `slot` by its value, converted to `left`'s type.
  void Fold(TExpToken*& slot, const TExpToken* left);

  void* Owner_;
  bool NoPartial_, CaseInsensitive_;
  uint16_t Language_, Sort_;
  const TFetchColumn& Fetch_;
};

void TPreparer::Fold(TExpToken*& slot, const TExpToken* left) {
  if (UnderSigns(slot) == nullptr || left == nullptr) return;
  TExpToken* next = slot->Right;  // a chain item's link to the next item; evaluation ignores it
  TTokenTree value = EvaluateExpression(slot, nullptr, Owner_, Sort_, Language_, Fetch_);
  value->Kind = kTokenConstant;
  value->Text = slot->Text;
  if (!value->IsNull && !IsStringLike(value->DataType, value->SubType) && value->DataType != left->DataType &&
      left->DataType != 0) {
    std::vector<uint8_t> buffer(std::max<size_t>(kConvertBufferSize, value->Value.size()), 0);
    std::memcpy(buffer.data(), value->Value.data(), value->Value.size());
    if (ConvertValue(value->DataType, value->DataSize, value->Scale, buffer.data(), left->Scale, left->DataSize,
                     left->DataType, buffer.size())) {
      value->SetDataSize(left->DataSize);
      std::memcpy(value->Value.data(), buffer.data(), std::min(buffer.size(), value->Value.size()));
      value->DataType = left->DataType;
      value->SubType = left->SubType;
      value->Scale = left->Scale;
    }
  }
  value->Parent = slot->Parent;
  slot->Right = nullptr;
  FreeTokenTree(slot);
  slot = value.Release();
  slot->Right = next;
}

// Every copied node is linked into the copy before anything below it is copied, so a
// failure part way frees all of it with the root. A chain of binary nodes down Left is
// copied in one loop and prepared from its bottom up, as recursion would.
TTokenTree TPreparer::Copy(const TExpToken* node, TExpToken* parent) {
  if (node == nullptr) return TTokenTree();
  TTokenTree root = Bare(node, parent);
  std::vector<std::pair<const TExpToken*, TExpToken*>> chain{{node, root.Get()}};  // (source, copy)
  while (IsBinaryNode(chain.back().first) && IsBinaryNode(chain.back().first->Left)) {
    auto [source, copy] = chain.back();
    copy->Left = Bare(source->Left, copy).Release();
    chain.emplace_back(source->Left, copy->Left);
  }
  auto [bottom, bottomCopy] = chain.back();
  bottomCopy->Left = Copy(bottom->Left, bottomCopy).Release();
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    auto [source, copy] = *at;
    if (HasItemList(source))
      CopyItems(source, copy);
    else
      copy->Right = Copy(source->Right, copy).Release();
    copy->Third = Copy(source->Third, copy).Release();
    Rewrite(copy);
  }
  return root;
}

// Each item's Parent is the item before it (the list's owner for the first), as the
// checker links them.
void TPreparer::CopyItems(const TExpToken* source, TExpToken* copy) {
  TExpToken** slot = &copy->Right;
  TExpToken* previous = copy;
  for (const TExpToken* item = source->Right; item != nullptr; item = item->Right) {
    *slot = Bare(item, previous).Release();
    TExpToken* made = *slot;
    made->Left = Copy(item->Left, made).Release();
    made->Third = Copy(item->Third, made).Release();
    Rewrite(made);
    previous = made;
    slot = &made->Right;
  }
}

void TPreparer::Rewrite(TExpToken* n) {
  if (n->Kind == kTokenBinary && (n->Code == kOpEqual || n->Code == kOpNotEqual)) {
    if (TExpToken* constant = UnderSigns(n->Right); constant != nullptr && constant->DataType == FIELD_STRING &&
                                                    !constant->IsParameter) {
      const std::string text = constant->IsNull ? std::string() : ValueText(constant);
      const bool star = !text.empty() && text.back() == '*';
      if (star || CaseInsensitive_) {
        n->Kind = kTokenStringCompare;
        n->CaseInsensitive = CaseInsensitive_ ? 1 : 0;
        if (star && !NoPartial_) {
          n->PartialLength = int32_t(text.size() - 1);
          constant->SetStringValue(text.substr(0, text.size() - 1));
        }
        return;
      }
    }
  }
  if (n->Kind == kTokenPredicate && (n->Code == kPredLike || n->Code == kPredNotLike) && IsStringConstant(n->Right) &&
      !n->Right->IsNull) {
    const std::string pattern = ValueText(n->Right);
    if (pattern.size() > 1 && pattern.find('_') == std::string::npos && pattern.find('%') == pattern.size() - 1) {
      n->Text = n->Code == kPredLike ? "=" : "<>";
      n->Kind = kTokenStringCompare;
      n->Code = n->Code == kPredLike ? kOpEqual : kOpNotEqual;
      n->PartialLength = int32_t(pattern.size() - 1);
      n->CaseInsensitive = 0;
      n->Right->SetStringValue(pattern.substr(0, pattern.size() - 1));
    }
    return;
  }
  if (n->Kind == kTokenBinary && IsComparison(n->Code)) {
    Fold(n->Right, n->Left);
  } else if (n->Kind == kTokenPredicate && (n->Code == kPredBetween || n->Code == kPredNotBetween ||
                                            n->Code == kPredInList || n->Code == kPredNotInList)) {
    for (TExpToken** slot = &n->Right; *slot != nullptr; slot = &(*slot)->Right) Fold(*slot, n->Left);
  }
}

}  // namespace

void CheckExpression(uint16_t errorCode, const std::string& databaseName, const std::string& tableName,
                     bool rewriteBooleans, const TBindColumn& bind, void* owner, TExpToken* parent, TExpToken* node,
                     const std::string& contextName, TSubSelectSource* subSelects) {
  TChecker checker(errorCode, databaseName, tableName, rewriteBooleans, bind, owner, contextName, subSelects);
  checker.CheckRoot(parent, node);
}

TTokenTree PrepareExpression(const TExpToken* node, void* owner, bool noPartialCompare, bool caseInsensitive,
                             uint16_t language, uint16_t sort, const TFetchColumn& fetch) {
  TPreparer preparer(owner, noPartialCompare, caseInsensitive, language, sort, fetch);
  return preparer.Copy(node, nullptr);
}

}  // namespace veldor
