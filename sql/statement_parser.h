// The SQL statement parser: turns one statement text into `TDataQuery` objects.
//
// Owns the expression parser that scans the text, every query it creates for the text (the
// master first, then sub-selects, the SELECT of an INSERT and UNION members in order of
// creation) and the list of the `?` parameters in order of appearance. It is
// keyword-driven: statement keywords are read token by token here, and every expression,
// column name, constant and data type is handed to the expression parser with its clause's
// context name and options. It opens and creates nothing. Statement-level errors raise
// VELDOR_SQLPARSE with their fixed text, the offending token and "'"; expression errors
// keep the expression parser's form. Nothing here recurses on the depth of the text: UNION
// chains are walked in a loop, a sub-select cannot hold another, and the expression parser
// bounds its own nesting. One thread at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "lib/expression_parser.h"
#include "sql/query.h"

namespace veldor {

class TStatementParser : public TSubSelectFactory, public TParameterSink {
 public:
  // `owner`: the statement the parser serves (opaque; the expression parser's owner).
  explicit TStatementParser(void* owner = nullptr);
  ~TStatementParser() override;
  TStatementParser(const TStatementParser&) = delete;
  TStatementParser& operator=(const TStatementParser&) = delete;

  // Takes a new text: frees every query and clears the parameters, then parses the first
  // statement into a new master query. Raises on the first error; the partly filled
  // queries stay registered until the next Prepare or the parser's end.
  TDataQuery& Prepare(const std::string& text);
  // True when a ";" ended the last statement and another one follows it.
  bool MoreStatements() const { return !Parser.IsToken(kScanEnd); }
  // Frees every query, clears the parameters and parses the next statement of the text
  // into a new master query. Precondition: MoreStatements().
  TDataQuery& PrepareNext();

  // Frees every query and clears the parameters. Never throws.
  void Clear() noexcept;

  // Parses one statement into `query` from the current token (which must be its first
  // keyword). `selectOnly` refuses everything but SELECT. The scanner is left after the
  // last token consumed (after the ";" that ended the statement, if any).
  void ParseStatement(TDataQuery& query, bool selectOnly);

  TDataQuery* Master() const { return Queries.empty() ? nullptr : Queries.front().get(); }
  const std::vector<std::unique_ptr<TDataQuery>>& AllQueries() const { return Queries; }
  const std::vector<TExpToken*>& Parameters() const { return ParameterList; }

  TExpressionParser Parser;

  // TSubSelectFactory: a sub-select of IN, parsed into a new registered query.
  TDataQuery* ParseSubSelect(TExpressionParser& parser) override;
  // TParameterSink.
  void AddParameter(TExpToken* parameter) override { ParameterList.push_back(parameter); }

 private:
  // How a SELECT chain is nested: the statement itself, the SELECT of an INSERT, or a
  // sub-select of IN (which may not hold another sub-select).
  enum class TSelectRole { Statement, InsertSelect, SubSelect };
  using TWords = std::initializer_list<const char*>;

  TDataQuery& NewQuery();

  // Scanner helpers.
  bool Keyword(const char* word) const { return Parser.IsKeyword(word); }
  bool Token(int kind) const { return Parser.IsToken(kind); }
  void Next() { Parser.NextToken(); }
  bool AtName() const { return Token(kScanSymbol) || Token(kScanString); }
  bool AtAnyName() const { return AtName() || Token(kScanBracketed); }
  bool AtKeywordOf(TWords words) const;
  [[noreturn]] void Expected(const std::string& fixed) const;
  void ExpectKeyword(const char* word, const char* fixed);
  void ExpectEnd(const char* fixed);
  int32_t ReadInteger(const char* fixed, int32_t maximum = 2147483647);

  enum class TLevel { Expression, Primary, Unary };
  TTokenTree ParseIn(const char* context, uint32_t options, TLevel level, std::string* text);

  // Table references.
  std::unique_ptr<TSourceTable> ReadTableReference(TDataQuery& query, const char* nameFixed,
                                                   const char* afterMemoryFixed, TWords stops,
                                                   const char* extraStop = nullptr);
  void AddSource(TDataQuery& query, std::unique_ptr<TSourceTable> table, bool atFront);
  void SetTarget(TDataQuery& query, const TSourceTable& table);
  void ParseJoins(TDataQuery& query, TWords stops, const char* fullJoinMessage);
  void ParseFromList(TDataQuery& query, TWords stops, const char* fullJoinMessage, bool firstIsTarget);
  void AppendCondition(TDataQuery& query, TTokenTree condition);
  void ParseWhere(TDataQuery& query, bool allowSubSelects);
  void ParseCommit(TDataQuery& query);
  void ParseLanguage(TDataQuery& query);
  void ParseEncryption(TDataQuery& query);

  // Statements.
  void ParseSelectChain(TDataQuery& head, TSelectRole role);
  void ParseSelectBody(TDataQuery& query, TSelectRole role);
  void ParseSelectItem(TDataQuery& query);
  void ParseSelectTail(TDataQuery& query);
  void ParseInsert(TDataQuery& query);
  void ParseUpdate(TDataQuery& query);
  void ParseDelete(TDataQuery& query);
  void ReadTarget(TDataQuery& query, const char* nameFixed, const char* afterMemoryFixed);
  std::unique_ptr<TCreateField> ParseColumnName(bool optionalType);
  void ParseColumnOptions(TCreateField& field, bool alter);
  std::unique_ptr<TCreateIndex> ParseKeyDefinition();
  void ParseIndexColumns(TCreateIndex& index);
  void ParseCompression(TCreateIndex& index);
  void ParseTableOptions(TDataQuery& query);
  void ParseCreateTable(TDataQuery& query);
  void ParseCreateIndex(TDataQuery& query);
  void ParseAlterTable(TDataQuery& query);
  void ParseDropTable(TDataQuery& query);
  void ParseDropIndex(TDataQuery& query);

  std::vector<std::unique_ptr<TDataQuery>> Queries;  // the master first
  std::vector<TExpToken*> ParameterList;             // nodes of the queries' trees
  uint16_t NextTableNumber = 1;
};

// Sets the table's name from `name` as written: the file name without its directory and
// without a final ".DAT"; the database "Memory" for an in-memory table, the directory
// (with its final "/") when the name has one, else empty for the statement's own. The
// correlation name becomes the table name.
void SetTableName(TSourceTable& table, const std::string& name);
// Sets the correlation name (cut to 255 characters) and marks it as given by an alias.
void SetCorrelationName(TSourceTable& table, const std::string& name);

}  // namespace veldor
