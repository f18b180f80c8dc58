// The expression scanner and parser. Each level builds its nodes under TTokenTree holders
// and links a subtree into its parent before parsing the next operand, so a raise at any
// point frees every node taken so far.
#include "lib/expression_parser.h"

#include <cstring>
#include <limits>
#include <utility>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/date_time.h"
#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor {

namespace {

bool IsSymbolStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

struct TNamedCode {
  const char* Word;
  uint8_t Code;
};

constexpr TNamedCode kAggregates[] = {{"SUM", kFuncSum}, {"RUNSUM", kFuncRunSum}, {"COUNT", kFuncCount},
                                      {"MIN", kFuncMin}, {"MAX", kFuncMax},       {"AVG", kFuncAvg}};

constexpr TNamedCode kFunctions[] = {
    {"LOWER", kFuncLower},     {"UPPER", kFuncUpper},   {"LENGTH", kFuncLength},   {"ABS", kFuncAbs},
    {"SUBSTRING", kFuncSubstring}, {"REPLACE", kFuncReplace}, {"POS", kFuncPos}, {"OCCURS", kFuncOccurs},
    {"CAST", kFuncCast},       {"TRIM", kFuncTrimBoth}, {"EXTRACT", kFuncExtractYear}, {"ROUND", kFuncRound},
    {"IF", kFuncIf}};

constexpr TNamedCode kTrimModes[] = {
    {"LEADING", kFuncTrimLeading}, {"TRAILING", kFuncTrimTrailing}, {"BOTH", kFuncTrimBoth}};

constexpr TNamedCode kExtractParts[] = {
    {"YEAR", kFuncExtractYear},   {"MONTH", kFuncExtractMonth},         {"WEEK", kFuncExtractWeek},
    {"DAY", kFuncExtractDay},     {"DAYOFWEEK", kFuncExtractDayOfWeek}, {"HOUR", kFuncExtractHour},
    {"MINUTE", kFuncExtractMinute}, {"SECOND", kFuncExtractSecond}};

std::string Cut255(const std::string& s) { return s.size() > 255 ? s.substr(0, 255) : s; }

// The correlation name of a prefix: without a directory part and without a final ".DAT".
std::string CorrelationOf(const std::string& prefix) {
  std::string name = prefix;
  const size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (EndsWithIgnoreCase(name, ".DAT")) name.resize(name.size() - 4);
  return name;
}

}  // namespace

TExpressionParser::TExpressionParser(void* owner)
    : Owner(owner), ErrorCode(VELDOR_SQLPARSE), ContextName("SQL statement") {}

// ---- Errors ------------------------------------------------------------------------------

void TExpressionParser::Fail(const std::string& message) const {
  RaiseEngineError(ErrorCode, "", "", "", TableName, "", "", Cut255(message));
}

void TExpressionParser::FailAt(const std::string& fixed) const {
  Fail(fixed + TokenText() + "' in " + ContextName);
}

void TExpressionParser::FailFound(const std::string& fixed) const {
  Fail(fixed + TokenText() + "' found in " + ContextName);
}

void TExpressionParser::FailContext(const std::string& fixed) const { Fail(fixed + ContextName); }

// ---- Scanner -----------------------------------------------------------------------------

void TExpressionParser::SetExpression(const std::string& text) {
  Text_ = text.substr(0, text.find('\0'));
  Length_ = Text_.size();
  Position_ = TokenStart_ = TokenEnd_ = Mark_ = PreviousEnd_ = 0;
  Kind_ = kScanEnd;
}

void TExpressionParser::SkipBlanksAndComments() {
  for (;;) {
    while (At(Position_) >= 1 && At(Position_) <= 32) ++Position_;
    if (At(Position_) == '/' && At(Position_ + 1) == '*') {
      const size_t close = Text_.find("*/", Position_ + 2);
      if (close == std::string::npos) {
        Position_ = TokenStart_ = TokenEnd_ = Length_;
        Kind_ = kScanEnd;
        FailContext("Missing ending comment slash and asterisk in ");
      }
      Position_ = close + 2;
      continue;
    }
    return;
  }
}

int TExpressionParser::NextToken() {
  PreviousEnd_ = Position_;
  SkipBlanksAndComments();
  size_t p = Position_;
  TokenStart_ = p;
  const unsigned char c = At(p);
  if (p >= Length_) {
    Kind_ = kScanEnd;
  } else if (IsSymbolStart(c)) {
    while (IsSymbolStart(At(p)) || IsDigit(At(p))) ++p;
    Kind_ = kScanSymbol;
  } else if (c == '#') {
    ++p;
    while (IsDigit(At(p))) ++p;
    Kind_ = kScanCharacter;
  } else if (c == '\'' || c == '"') {
    ++p;
    for (;;) {
      if (p >= Length_) {
        const std::string rest = Text_.substr(TokenStart_ + 1);
        Position_ = TokenStart_ = TokenEnd_ = Length_;
        Kind_ = kScanEnd;
        Fail(std::string(c == '\'' ? "Missing single quote after '" : "Missing double quote after '") + rest +
             "' in " + ContextName);
      }
      if (At(p) == c) {
        if (At(p + 1) == c) {
          p += 2;
          continue;
        }
        ++p;
        break;
      }
      ++p;
    }
    Kind_ = kScanString;
  } else if (c == '[') {
    const size_t close = Text_.find(']', p + 1);
    if (close == std::string::npos) {
      const std::string rest = Text_.substr(p + 1);
      Position_ = TokenStart_ = TokenEnd_ = Length_;
      Kind_ = kScanEnd;
      Fail("Missing right bracket after '" + rest + "' in " + ContextName);
    }
    p = close + 1;
    Kind_ = kScanBracketed;
  } else if (IsDigit(c) || (c == '.' && IsDigit(At(p + 1)))) {
    bool digitsOnly = IsDigit(c);
    ++p;
    for (;;) {
      const unsigned char d = At(p);
      if (IsDigit(d)) {
        ++p;
      } else if (d == '.' || d == 'E' || d == 'e') {
        digitsOnly = false;
        ++p;
      } else if ((d == '+' || d == '-') && (At(p - 1) == 'E' || At(p - 1) == 'e')) {
        ++p;
      } else {
        break;
      }
    }
    Kind_ = digitsOnly ? kScanInteger : kScanFloat;
  } else {
    ++p;
    Kind_ = c;
  }
  Position_ = TokenEnd_ = p;
  return Kind_;
}

std::string TExpressionParser::TokenText() const {
  size_t start = TokenStart_, end = TokenEnd_;
  if ((Kind_ == kScanString || Kind_ == kScanBracketed) && end >= start + 2) {
    ++start;
    --end;
  }
  std::string text;
  text.reserve(end - start);
  for (size_t i = start; i < end; ++i) {
    const char ch = Text_[i];
    if ((ch == '"' || ch == '\'') && i + 1 < end && Text_[i + 1] == ch) ++i;
    text.push_back(ch);
  }
  return text;
}

bool TExpressionParser::IsKeyword(const char* word) const {
  return Kind_ == kScanSymbol &&
         EqualsIgnoreCase(std::string_view(Text_).substr(TokenStart_, TokenEnd_ - TokenStart_), word);
}

std::string TExpressionParser::MarkedText() const {
  std::string text;
  for (size_t i = Mark_; i < PreviousEnd_ && i < Length_; ++i)
    if (Text_[i] != '\r' && Text_[i] != '\n') text.push_back(Text_[i]);
  return text;
}

// ---- Node helpers ------------------------------------------------------------------------

TTokenTree TExpressionParser::NewNode(uint8_t kind, uint8_t code, const std::string& text) const {
  TTokenTree node = TTokenTree::New();
  node->Kind = kind;
  node->Code = code;
  node->Text = text;
  return node;
}

// An item of a Right chain (BETWEEN bounds, IN items, SUBSTRING and REPLACE arguments,
// data type arguments) keeps its own Right free for the chain: an item that already uses
// it (a binary operator, a function with a second argument) is wrapped in a unary plus so
// that neither its operand nor the rest of the chain is lost. The wrapper was not written:
// it carries its item's text, so that a message quoting the item quotes what was.
TExpToken* TExpressionParser::ChainItem(TTokenTree item) const {
  if (item->Right == nullptr) return item.Release();
  TTokenTree wrapper = NewNode(kTokenUnary, kOpPlusSign, item->Text);
  wrapper->DataType = item->DataType;
  wrapper->Left = item.Release();
  return wrapper.Release();
}

void TExpressionParser::ExpectToken(int kind, const char* fixed) {
  if (!IsToken(kind)) FailAt(fixed);
  NextToken();
}

void TExpressionParser::ExpectKeyword(const char* word, const char* fixed) {
  if (!IsKeyword(word)) FailAt(fixed);
  NextToken();
}

// ---- Grammar levels ----------------------------------------------------------------------

TTokenTree TExpressionParser::ParseExpression(uint32_t options) {
  TTokenTree left = ParseConjunction(options);
  while (IsKeyword("OR")) {
    TTokenTree node = NewNode(kTokenBinary, kOpOr, TokenText());
    node->DataType = FIELD_BOOLEAN;
    node->Left = left.Release();
    NextToken();
    node->Right = ParseConjunction(options).Release();
    left = std::move(node);
  }
  return left;
}

TTokenTree TExpressionParser::ParseConjunction(uint32_t options) {
  TTokenTree left = ParseNegation(options);
  while (IsKeyword("AND")) {
    TTokenTree node = NewNode(kTokenBinary, kOpAnd, TokenText());
    node->DataType = FIELD_BOOLEAN;
    node->Left = left.Release();
    NextToken();
    node->Right = ParseNegation(options).Release();
    left = std::move(node);
  }
  return left;
}

TTokenTree TExpressionParser::ParseNegation(uint32_t options) {
  if (!IsKeyword("NOT")) return ParseComparison(options);
  TTokenTree node = NewNode(kTokenUnary, kOpNot, TokenText());
  node->DataType = FIELD_BOOLEAN;
  NextToken();
  node->Left = ParseComparison(options).Release();
  return node;
}

TTokenTree TExpressionParser::ParseComparison(uint32_t options) {
  TTokenTree left = ParseAdditive(options);
  uint8_t code = 0;
  std::string text;
  if (IsToken('=')) {
    code = kOpEqual;
    text = "=";
    NextToken();
  } else if (IsToken('<')) {
    NextToken();
    if (IsToken('>')) {
      code = kOpNotEqual;
      text = "< >";
      NextToken();
    } else if (IsToken('=')) {
      code = kOpLessOrEqual;
      text = "< =";
      NextToken();
    } else {
      code = kOpLess;
      text = "<";
    }
  } else if (IsToken('>')) {
    NextToken();
    if (IsToken('=')) {
      code = kOpGreaterOrEqual;
      text = "> =";
      NextToken();
    } else {
      code = kOpGreater;
      text = ">";
    }
  }
  if (code != 0) {
    TTokenTree node = NewNode(kTokenBinary, code, text);
    node->DataType = FIELD_BOOLEAN;
    node->Left = left.Release();
    node->Right = ParseAdditive(options).Release();
    return node;
  }
  if (IsKeyword("NOT") || IsKeyword("LIKE") || IsKeyword("BETWEEN") || IsKeyword("IN") || IsKeyword("IS")) {
    if ((options & kAllowExtendedPredicates) == 0)
      FailContext("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in ");
    ParsePredicate(options, left);
  }
  return left;
}

// Replaces `left` by the predicate (or IS node) that has it as its tested value.
void TExpressionParser::ParsePredicate(uint32_t options, TTokenTree& left) {
  if (IsKeyword("IS")) {
    std::string text = TokenText();
    NextToken();
    bool negated = false;
    if (IsKeyword("NOT")) {
      negated = true;
      text += " " + TokenText();
      NextToken();
    }
    if (!IsKeyword("NULL")) FailFound("Unknown or unexpected symbol '");
    TTokenTree node = NewNode(kTokenBinary, negated ? kOpNotEqual : kOpEqual, text);
    node->DataType = FIELD_BOOLEAN;
    node->Left = left.Release();
    TTokenTree null = NewNode(kTokenConstant, 0, "NULL");
    null->IsNull = 1;
    node->Right = null.Release();
    left = std::move(node);
    NextToken();
    return;
  }
  bool negated = false;
  std::string text;
  if (IsKeyword("NOT")) {
    negated = true;
    text = TokenText() + " ";
    NextToken();
    if (!IsKeyword("LIKE") && !IsKeyword("BETWEEN") && !IsKeyword("IN")) FailAt("Unknown or unexpected symbol '");
  }
  text += TokenText();
  TTokenTree node = NewNode(kTokenPredicate, 0, text);
  node->DataType = FIELD_BOOLEAN;
  if (IsKeyword("LIKE")) {
    node->Code = negated ? kPredNotLike : kPredLike;
    node->Left = left.Release();
    NextToken();
    node->Right = ParseAdditive(options).Release();
  } else if (IsKeyword("BETWEEN")) {
    node->Code = negated ? kPredNotBetween : kPredBetween;
    node->Left = left.Release();
    NextToken();
    node->Right = ChainItem(ParseAdditive(options));
    if (!IsKeyword("AND")) FailAt("Expected AND operator in BETWEEN operator, instead found '");
    NextToken();
    node->Right->Right = ChainItem(ParseAdditive(options));
  } else {  // IN
    node->Code = negated ? kPredNotInList : kPredInList;
    node->Left = left.Release();
    NextToken();
    if (!IsToken('('))
      FailAt(negated ? "Expected left parentheses for IN operator, instead found '"
                     : "Expected left parentheses after IN operator, instead found '");
    NextToken();
    if (IsKeyword("SELECT")) {
      if ((options & kAllowSubSelects) == 0) FailContext("Sub-select queries are not allowed in ");
      node->Code = negated ? kPredNotInSelect : kPredInSelect;
      node->Right = NewNode(kTokenSubSelect, 0, "SELECT").Release();
      if (SubSelects == nullptr)
        FailContext("Sub-select queries cannot be parsed without a statement to hold them in ");
      node->Right->SubQuery = SubSelects->ParseSubSelect(*this);
    } else {
      TExpToken** slot = &node->Right;
      for (;;) {
        *slot = ChainItem(ParseAdditive(options));
        slot = &(*slot)->Right;
        if (!IsToken(',')) break;
        NextToken();
      }
    }
    if (!IsToken(')')) FailAt("Expected right parentheses after IN operator, instead found '");
    NextToken();
  }
  left = std::move(node);
}

TTokenTree TExpressionParser::ParseAdditive(uint32_t options) {
  TTokenTree left = ParseTerm(options);
  for (;;) {
    uint8_t code;
    std::string text;
    if (IsToken('+')) {
      code = kOpAdd;
      text = "+";
    } else if (IsToken('-')) {
      code = kOpSubtract;
      text = "-";
    } else if (IsToken('|')) {
      NextToken();
      if (!IsToken('|'))
        FailAt("Second concatenation symbol '|' expected after first concatentation symbol, instead found '");
      code = kOpAdd;
      text = "||";
    } else {
      return left;
    }
    TTokenTree node = NewNode(kTokenBinary, code, text);
    node->DataType = left->DataType;
    node->Left = left.Release();
    NextToken();
    node->Right = ParseTerm(options).Release();
    left = std::move(node);
  }
}

TTokenTree TExpressionParser::ParseTerm(uint32_t options) {
  TTokenTree left = ParseUnary(options);
  while (IsToken('*') || IsToken('/')) {
    TTokenTree node = NewNode(kTokenBinary, IsToken('*') ? kOpMultiply : kOpDivide, TokenText());
    node->DataType = left->DataType;
    node->Left = left.Release();
    NextToken();
    node->Right = ParseUnary(options).Release();
    left = std::move(node);
  }
  return left;
}

TTokenTree TExpressionParser::ParseUnary(uint32_t options) {
  if (!IsToken('+') && !IsToken('-')) return ParsePrimary(options);
  TTokenTree node = NewNode(kTokenUnary, IsToken('-') ? kOpNegate : kOpPlusSign, TokenText());
  NextToken();
  node->Left = ParsePrimary(options).Release();
  node->DataType = node->Left->DataType;
  return node;
}

TTokenTree TExpressionParser::ParsePrimary(uint32_t options) {
  struct TDepth {
    int& Depth;
    explicit TDepth(int& depth) : Depth(++depth) {}
    ~TDepth() { --Depth; }
  } depth(Depth_);
  if (Depth_ > kMaxExpressionDepth)
    Fail("Expression nested more than " + std::to_string(kMaxExpressionDepth) + " levels deep at '" + TokenText() +
         "' in " + ContextName);

  switch (Kind_) {
    case kScanSymbol: {
      const std::string name = TokenText();
      for (const TNamedCode& a : kAggregates)
        if (IsKeyword(a.Word)) return ParseAggregate(options, a.Code);
      for (const TNamedCode& f : kFunctions)
        if (IsKeyword(f.Word)) return ParseFunction(options, f.Word);
      if (IsKeyword("TRUE") || IsKeyword("FALSE")) {
        TTokenTree node = NewNode(kTokenConstant, 0, name);
        node->DataType = FIELD_BOOLEAN;
        node->SetDataSize(2);
        StoreI16(node->Value.data(), IsKeyword("TRUE") ? 1 : 0);
        NextToken();
        return node;
      }
      if (IsKeyword("NULL")) {
        TTokenTree node = NewNode(kTokenConstant, 0, name);
        node->IsNull = 1;
        NextToken();
        return node;
      }
      if (IsKeyword("CURRENT_DATE") || IsKeyword("CURRENT_TIME") || IsKeyword("CURRENT_TIMESTAMP")) {
        TTokenTree node = NewNode(kTokenConstant, 0, name);
        if (IsKeyword("CURRENT_DATE")) {
          node->DataType = FIELD_DATE;
          node->SetDataSize(4);
          StoreI32(node->Value.data(), CurrentDate());
        } else if (IsKeyword("CURRENT_TIME")) {
          node->DataType = FIELD_TIME;
          node->SetDataSize(4);
          StoreI32(node->Value.data(), CurrentTime());
        } else {
          node->DataType = FIELD_TIMESTAMP;
          node->SetDataSize(8);
          StoreDouble(node->Value.data(), CurrentTimestamp());
        }
        NextToken();
        return node;
      }
      NextToken();
      if (IsToken('.')) return ParseCorrelated(options, name);
      if (IsToken('(')) Fail("Unknown or unexpected function '" + name + "' found in " + ContextName);
      TTokenTree node = NewNode(kTokenColumn, 0, name);
      node->ColumnName = Cut255(name);
      return node;
    }
    case kScanBracketed: {
      const std::string name = TokenText();
      NextToken();
      if (IsToken('.')) return ParseCorrelated(options, name);
      TTokenTree node = NewNode(kTokenColumn, 0, name);
      node->ColumnName = Cut255(name);
      return node;
    }
    case kScanString: {
      const std::string text = TokenText();
      NextToken();
      if (IsToken('.')) return ParseCorrelated(options, text);
      TTokenTree node = NewNode(kTokenConstant, 0, text);
      node->DataType = FIELD_STRING;
      node->SetStringValue(text);
      if (text.empty()) node->IsNull = 1;
      return node;
    }
    case kScanCharacter: {
      const std::string text = TokenText();
      int value = -1;
      for (size_t i = 1; i < text.size(); ++i) {
        value = (value < 0 ? 0 : value) * 10 + (text[i] - '0');
        if (value > 255) break;
      }
      if (value < 0 || value > 255)
        Fail("Character constants (#) must be within the range of 0 to 255 in " + ContextName);
      TTokenTree node = NewNode(kTokenConstant, 0, text);
      node->DataType = FIELD_STRING;
      node->SetDataSize(2);
      node->Value[0] = uint8_t(value);
      node->Value[1] = 0;
      NextToken();
      return node;
    }
    case kScanInteger:
    case kScanFloat:
      return ParseNumber();
    case '(': {
      NextToken();
      TTokenTree inner = ParseExpression(options);
      if (!IsToken(')')) FailAt("Right parentheses expected, instead found '");
      NextToken();
      return inner;
    }
    case '*': {
      if ((options & kAllowAllColumns) == 0) FailContext("* (all columns) symbol is not allowed in ");
      TTokenTree node = NewNode(kTokenColumn, 0, "*");
      node->ColumnName = "*";
      NextToken();
      return node;
    }
    case '?': {
      if ((options & kAllowParameters) == 0) FailContext("Parameters are not allowed in ");
      TTokenTree node = NewNode(kTokenConstant, 0, "?");
      node->IsParameter = 1;
      NextToken();
      if (Parameters != nullptr) Parameters->AddParameter(node.Get());
      return node;
    }
    default:
      FailFound("Unknown or unexpected symbol '");
  }
}

TTokenTree TExpressionParser::ParseNumber() {
  const std::string text = TokenText();
  TTokenTree node = NewNode(kTokenConstant, 0, text);
  int64_t integer = 0;
  if (Kind_ == kScanInteger &&
      TryTextToInteger(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), integer)) {
    node->DataType = FIELD_INTEGER;
    node->SetDataSize(4);
    StoreI32(node->Value.data(), int32_t(integer));
  } else if (Kind_ == kScanInteger && TryTextToInteger(text, std::numeric_limits<int64_t>::min(),
                                                       std::numeric_limits<int64_t>::max(), integer)) {
    node->DataType = FIELD_LARGEINT;
    node->SetDataSize(8);
    StoreI64(node->Value.data(), integer);
  } else {
    double value = 0;
    if (!TryTextToFloat(text, value))
      Fail("Constant '" + text + "' is not a valid number  in " + ContextName);
    node->DataType = FIELD_FLOAT;
    node->SetDataSize(8);
    StoreDouble(node->Value.data(), value);
  }
  NextToken();
  return node;
}

// At the "." after a correlation prefix.
TTokenTree TExpressionParser::ParseCorrelated(uint32_t options, const std::string& prefix) {
  NextToken();
  std::string name;
  if (Kind_ == kScanSymbol || Kind_ == kScanBracketed || Kind_ == kScanString) {
    name = TokenText();
  } else if (IsToken('*')) {
    if ((options & kAllowAllColumns) == 0) FailContext("* (all columns) symbol is not allowed in ");
    name = "*";
  } else {
    FailAt("Symbol or string expression expected after table correlation name separator '.', instead found '");
  }
  TTokenTree node = NewNode(kTokenColumn, 0, prefix + "." + name);
  node->ColumnName = Cut255(name);
  node->CorrelationName = Cut255(CorrelationOf(prefix));
  NextToken();
  return node;
}

// At the aggregate's keyword.
TTokenTree TExpressionParser::ParseAggregate(uint32_t options, uint8_t code) {
  const std::string name = TokenText();
  if ((options & kAllowAggregates) == 0) FailContext("Aggregate functions are not allowed in ");
  TTokenTree node = NewNode(kTokenFunction, code, name);
  NextToken();
  if (!IsToken('('))
    Fail("Left parentheses expectedafter aggregate function '" + name + "', instead found '" + TokenText() +
         "' in " + ContextName);
  NextToken();
  node->Left = ParseAdditive(options).Release();
  if (!IsToken(')'))
    Fail("Right parentheses expected after aggregate " + name + " function argument, instead found '" +
         TokenText() + "' in " + ContextName);
  NextToken();
  return node;
}

// At the function's keyword; `word` is its upper-case name.
TTokenTree TExpressionParser::ParseFunction(uint32_t options, const std::string& word) {
  uint8_t code = 0;
  for (const TNamedCode& f : kFunctions)
    if (word == f.Word) code = f.Code;
  TTokenTree node = NewNode(kTokenFunction, code, TokenText());
  NextToken();

  if (word == "LOWER" || word == "UPPER" || word == "LENGTH" || word == "ABS") {
    ExpectToken('(', ("Left parentheses expectedafter " + word + " keyword, instead found '").c_str());
    node->Left = ParseAdditive(options).Release();
    ExpectToken(')', ("Right parentheses expected after " + word + " function argument, instead found '").c_str());
    if (word == "LENGTH") {
      node->DataType = FIELD_INTEGER;
    } else if (word == "ABS") {
      const TExpToken& argument = *node->Left;
      node->DataType = argument.DataType;
      node->SubType = argument.SubType;
      node->SetDataSize(argument.DataSize);
      node->Scale = argument.Scale;
    } else {
      node->DataType = FIELD_STRING;
    }
    return node;
  }
  if (word == "SUBSTRING") {
    node->DataType = FIELD_STRING;
    ExpectToken('(', "Left parentheses expected after SUBSTRING keyword, instead found '");
    node->Left = ParseAdditive(options).Release();
    ExpectKeyword("FROM", "FROM keyword expected after first SUBSTRING function argument, instead found '");
    node->Right = ChainItem(ParsePrimary(options));
    if (IsKeyword("FOR")) {
      NextToken();
      node->Right->Right = ChainItem(ParsePrimary(options));
    }
    ExpectToken(')', "Right parentheses expected after SUBSTRING function arguments, instead found '");
    return node;
  }
  if (word == "REPLACE") {
    node->DataType = FIELD_STRING;
    ExpectToken('(', "Left parentheses expected after REPLACE keyword, instead found '");
    node->Right = ChainItem(ParseAdditive(options));
    ExpectKeyword("WITH", "WITH keyword expected after first REPLACE function argument, instead found '");
    node->Right->Right = ChainItem(ParseAdditive(options));
    ExpectKeyword("IN", "IN keyword expected after second REPLACE function argument, instead found '");
    node->Left = ParsePrimary(options).Release();
    ExpectToken(')', "Right parentheses expected after REPLACE function arguments, instead found '");
    return node;
  }
  if (word == "POS" || word == "OCCURS") {
    node->DataType = FIELD_INTEGER;
    ExpectToken('(', ("Left parentheses expected after " + word + " keyword, instead found '").c_str());
    node->Right = ParseAdditive(options).Release();
    ExpectKeyword("IN", ("IN keyword expected after first " + word + " function argument, instead found '").c_str());
    node->Left = ParsePrimary(options).Release();
    ExpectToken(')', ("Right parentheses expected after " + word + " function arguments, instead found '").c_str());
    return node;
  }
  if (word == "CAST") {
    ExpectToken('(', "Left parentheses expected after CAST keyword, instead found '");
    node->Left = ParseExpression(options).Release();
    ExpectKeyword("AS", "AS keyword expected after first CAST function argument, instead found '");
    ParseDataType(*node, options, false);
    ExpectToken(')', "Right parentheses expected after CAST function arguments, instead found '");
    return node;
  }
  if (word == "TRIM") {
    node->DataType = FIELD_STRING;
    ExpectToken('(', "Left parentheses expected after TRIM keyword, instead found '");
    uint8_t mode = 0;
    for (const TNamedCode& m : kTrimModes)
      if (IsKeyword(m.Word)) mode = m.Code;
    if (mode == 0) FailAt("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
    node->Code = mode;
    NextToken();
    node->Right = ParsePrimary(options).Release();
    ExpectKeyword("FROM", "FROM keyword expected after second TRIM function argument, instead found '");
    node->Left = ParseAdditive(options).Release();
    ExpectToken(')', "Right parentheses expected after TRIM function arguments, instead found '");
    return node;
  }
  if (word == "EXTRACT") {
    node->DataType = FIELD_INTEGER;
    ExpectToken('(', "Left parentheses expected after EXTRACT keyword, instead found '");
    uint8_t part = 0;
    for (const TNamedCode& p : kExtractParts)
      if (IsKeyword(p.Word)) part = p.Code;
    if (part == 0)
      FailAt(
          "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, "
          "instead found '");
    node->Code = part;
    NextToken();
    ExpectKeyword("FROM", "FROM keyword expected after second EXTRACT function argument, instead found '");
    node->Left = ParsePrimary(options).Release();
    ExpectToken(')', "Right parentheses expected after EXTRACT function arguments, instead found '");
    return node;
  }
  if (word == "ROUND") {
    node->DataType = FIELD_FLOAT;
    ExpectToken('(', "Left parentheses expectedafter ROUND keyword, instead found '");
    node->Left = ParseAdditive(options).Release();
    if (IsKeyword("TO")) {
      NextToken();
      node->Right = ParseAdditive(options).Release();
    }
    ExpectToken(')', "Right parentheses expected after ROUND function arguments, instead found '");
    return node;
  }
  // IF
  ExpectToken('(', "Left parentheses expectedafter IF keyword, instead found '");
  node->Left = ParseExpression(options).Release();
  ExpectKeyword("THEN", "THEN keyword expected after first IF function argument, instead found '");
  node->Right = ParseAdditive(options).Release();
  ExpectKeyword("ELSE", "ELSE keyword expected after second IF function argument, instead found '");
  node->Third = ParseAdditive(options).Release();
  ExpectToken(')', "Right parentheses expected after IF function arguments, instead found '");
  return node;
}

// ---- Data types --------------------------------------------------------------------------

void TExpressionParser::ParseDataType(TExpToken& node, uint32_t options, bool optional) {
  struct TPlainType {
    const char* Word;
    uint8_t Type;
    uint8_t SubType;
  };
  static constexpr TPlainType kPlain[] = {
      {"SMALLINT", FIELD_SMALLINT, 0}, {"WORD", FIELD_WORD, 0},          {"INTEGER", FIELD_INTEGER, 0},
      {"INT", FIELD_INTEGER, 0},       {"LARGEINT", FIELD_LARGEINT, 0}, {"AUTOINC", FIELD_INTEGER, SUBTYPE_AUTOINC},
      {"MONEY", FIELD_FLOAT, SUBTYPE_MONEY}, {"DATE", FIELD_DATE, 0},    {"TIME", FIELD_TIME, 0},
      {"TIMESTAMP", FIELD_TIMESTAMP, 0}, {"BOOLEAN", FIELD_BOOLEAN, 0}};
  for (const TPlainType& t : kPlain) {
    if (IsKeyword(t.Word)) {
      node.DataType = t.Type;
      node.SubType = t.SubType;
      NextToken();
      return;
    }
  }
  // DECIMAL, NUMERIC and FLOAT: optional ( precision [, scale] ).
  const char* scaled = IsKeyword("DECIMAL") ? "DECIMAL" : IsKeyword("NUMERIC") ? "NUMERIC" : IsKeyword("FLOAT") ? "FLOAT" : nullptr;
  if (scaled != nullptr) {
    const std::string word = scaled;
    node.DataType = word == "DECIMAL" ? FIELD_BCD : FIELD_FLOAT;
    node.SubType = 0;
    NextToken();
    if (IsToken('(')) {
      NextToken();
      node.Right = ChainItem(ParsePrimary(options));
      if (IsToken(',')) {
        NextToken();
        node.Right->Right = ChainItem(ParsePrimary(options));
        if (!IsToken(')')) FailAt("Right parentheses expected after " + word + " data type arguments, instead found '");
      } else if (!IsToken(')')) {
        FailAt("Comma expected after first " + word + " argument, instead found '");
      }
      NextToken();
    }
    return;
  }
  if (IsKeyword("CHARACTER") || IsKeyword("CHAR") || IsKeyword("VARCHAR")) {
    const std::string label = IsKeyword("VARCHAR") ? "VARCHAR" : "CHARACTER or CHAR";
    node.DataType = FIELD_STRING;
    node.SubType = 0;
    NextToken();
    ExpectToken('(', ("Left parentheses expected after " + label + " data type, instead found '").c_str());
    node.Right = ChainItem(ParsePrimary(options));
    ExpectToken(')', ("Right parentheses expected after " + label + " data type arguments, instead found '").c_str());
    return;
  }
  if (IsKeyword("BYTES")) {
    node.DataType = FIELD_BYTES;
    node.SubType = 0;
    NextToken();
    if (IsToken('(')) {
      NextToken();
      node.Right = ChainItem(ParsePrimary(options));
      ExpectToken(')', "Right parentheses expected after CHARACTER data type arguments, instead found '");
    }
    return;
  }
  if (IsKeyword("BLOB")) {
    node.DataType = FIELD_BLOB;
    node.SubType = 0;
    NextToken();
    ExpectToken('(', "Left parentheses expected after BLOB data type, instead found '");
    node.Right = ChainItem(ParsePrimary(options));
    ExpectToken(',', "Comma expected after first BLOB argument, instead found '");
    node.Right->Right = ChainItem(ParsePrimary(options));
    ExpectToken(')', "Right parentheses expected after BLOB data type arguments, instead found '");
    return;
  }
  if (!optional) FailAt("SQL data type keyword expected, instead found '");
}

}  // namespace veldor
