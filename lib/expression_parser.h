// The scanner and recursive-descent parser of filter expressions and of the expressions
// inside SQL statements.
//
// Owns a private copy of the text and the scanner state; the SQL parser drives the same
// scanner token by token and enters the expression levels wherever its grammar has an
// expression, a column name, a constant or a data type, so every level continues exactly
// where the previous construct stopped. The parser builds trees only: binding columns,
// type checking and evaluation belong to the checker. Every failure is an engine error
// with the parser's `ErrorCode` and `TableName`; a failed parse gives back every node it
// took. One thread at a time per parser.
#pragma once

#include <cstdint>
#include <string>

#include "lib/expression.h"

namespace veldor {

class TExpressionParser;

// Option bits of every parse call: what the caller permits.
inline constexpr uint32_t kAllowAggregates = 1;
inline constexpr uint32_t kAllowAllColumns = 2;
inline constexpr uint32_t kAllowExtendedPredicates = 4;
inline constexpr uint32_t kAllowParameters = 8;
inline constexpr uint32_t kAllowSubSelects = 16;

// Scanner token kinds; any other kind is the code of a one-character token.
inline constexpr int kScanEnd = 0;
inline constexpr int kScanSymbol = 1;
inline constexpr int kScanBracketed = 2;
inline constexpr int kScanString = 3;
inline constexpr int kScanCharacter = 4;
inline constexpr int kScanInteger = 5;
inline constexpr int kScanFloat = 6;

// Nesting deeper than this (parentheses, function arguments) is refused with a parse error
// instead of exhausting the call stack. It is also what bounds the recursion of every pass
// over a parsed tree: the only shapes whose depth the text can make unbounded without
// nesting are operator chains (a OR b OR ..., built down Left) and IN lists (down Right),
// and the passes walk those in loops.
inline constexpr int kMaxExpressionDepth = 256;

// Supplied by the statement that owns the parser when sub-selects can be built. Called
// with the current token on SELECT; parses the SELECT statement with the same scanner and
// leaves the current token after it. Returns the query, which the statement owns and
// frees (the node only refers to it). Raises engine errors as the parser does.
class TSubSelectFactory {
 public:
  virtual ~TSubSelectFactory() = default;
  virtual TDataQuery* ParseSubSelect(TExpressionParser& parser) = 0;
};

// Supplied by a statement to number its `?` parameters in order of appearance. The node
// stays owned by its tree; the list only refers to it while the tree lives.
class TParameterSink {
 public:
  virtual ~TParameterSink() = default;
  virtual void AddParameter(TExpToken* parameter) = 0;
};

class TExpressionParser {
 public:
  // `owner`: the statement or cursor the parser serves (opaque here).
  explicit TExpressionParser(void* owner = nullptr);
  TExpressionParser(const TExpressionParser&) = delete;
  TExpressionParser& operator=(const TExpressionParser&) = delete;

  void* Owner;
  uint16_t ErrorCode;       // raised for every parse error (VELDOR_SQLPARSE or VELDOR_INVALIDFILTER)
  std::string TableName;    // the raised error's table name
  std::string ContextName;  // quoted at the end of every message
  TSubSelectFactory* SubSelects = nullptr;
  TParameterSink* Parameters = nullptr;

  // Copies the text (up to its first NUL) and stands before its first token (kind 0);
  // call NextToken to read it.
  void SetExpression(const std::string& text);
  // Scans the next token and returns its kind. Raises on an open comment, string or
  // bracketed name.
  int NextToken();
  int TokenKind() const { return Kind_; }
  // The current token's text; strings and bracketed names without their delimiters, and
  // every doubled quote of either kind made one.
  std::string TokenText() const;
  // The current token is a symbol equal to `word` without regard to case.
  bool IsKeyword(const char* word) const;
  bool IsToken(int kind) const { return Kind_ == kind; }
  // Remembers the start of the current token; MarkedText gives the source from there to
  // the end of the last consumed token, without CR and LF.
  void MarkStart() { Mark_ = TokenStart_; }
  std::string MarkedText() const;

  // The expression levels. Each starts at the current token, stops at the first token that
  // cannot continue it (left current) and returns the tree, owned by the caller.
  TTokenTree ParseExpression(uint32_t options);
  TTokenTree ParseConjunction(uint32_t options);
  TTokenTree ParseNegation(uint32_t options);
  TTokenTree ParseComparison(uint32_t options);
  TTokenTree ParseAdditive(uint32_t options);
  TTokenTree ParseTerm(uint32_t options);
  TTokenTree ParseUnary(uint32_t options);
  TTokenTree ParsePrimary(uint32_t options);

  // Reads an SQL data type at the current token into `node` (DataType, SubType, the type
  // arguments as node->Right and its Right). When no type keyword stands there: optional
  // reads nothing and leaves DataType 0; otherwise raises.
  void ParseDataType(TExpToken& node, uint32_t options, bool optional);

  // Raises the parser's error with `message` (cut to 255 characters).
  [[noreturn]] void Fail(const std::string& message) const;

 private:
  [[noreturn]] void FailAt(const std::string& fixed) const;       // fixed, token, "' in ", context
  [[noreturn]] void FailFound(const std::string& fixed) const;    // fixed, token, "' found in ", context
  [[noreturn]] void FailContext(const std::string& fixed) const;  // fixed, context

  TTokenTree NewNode(uint8_t kind, uint8_t code, const std::string& text) const;
  TExpToken* ChainItem(TTokenTree item) const;
  unsigned char At(size_t position) const { return position < Length_ ? static_cast<unsigned char>(Text_[position]) : 0; }
  TTokenTree ParseFunction(uint32_t options, const std::string& name);
  TTokenTree ParseAggregate(uint32_t options, uint8_t code);
  TTokenTree ParseNumber();
  TTokenTree ParseCorrelated(uint32_t options, const std::string& prefix);
  void ParsePredicate(uint32_t options, TTokenTree& left);
  void ExpectToken(int kind, const char* fixed);
  void ExpectKeyword(const char* word, const char* fixed);
  void SkipBlanksAndComments();

  size_t Length_ = 0;
  std::string Text_;  // the private copy; Text_[Length_] is the NUL end
  size_t Position_ = 0;
  size_t TokenStart_ = 0;
  int Kind_ = kScanEnd;
  size_t TokenEnd_ = 0;  // end of the current token (after a closing quote or bracket)
  size_t Mark_ = 0;
  size_t PreviousEnd_ = 0;
  int Depth_ = 0;  // nesting of ParsePrimary
};

}  // namespace veldor
