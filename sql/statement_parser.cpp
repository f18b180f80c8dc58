// The statement parser. Every object is built under an owner (a unique_ptr or a
// TTokenTree) and linked into its query before the next token is read, so a raise at any
// point leaves only registered queries behind and loses no node.
#include "sql/statement_parser.h"

#include "sql/parser_support.h"

#include <limits>
#include <utility>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/collation.h"
#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor {

using sql_detail::Cut255;
using sql_detail::TakeColumnNode;

namespace {

constexpr const char* kStatementContext = "SQL statement";

// A correlation prefix as column nodes record it: no directory, no final ".DAT".
std::string BareCorrelation(const std::string& prefix) {
  std::string name = prefix;
  const size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (EndsWithIgnoreCase(name, ".DAT")) name.resize(name.size() - 4);
  return Cut255(name);
}

bool IsAggregate(const TExpToken* node) {
  return node != nullptr && node->Kind == kTokenFunction && node->Code >= kFuncSum && node->Code <= kFuncAvg;
}

uint8_t AggregateKindOf(uint8_t code) {
  switch (code) {
    case kFuncSum: return kAggregateSum;
    case kFuncRunSum: return kAggregateRunSum;
    case kFuncMin: return kAggregateMin;
    case kFuncMax: return kAggregateMax;
    case kFuncAvg: return kAggregateAvg;
    case kFuncCount: return kAggregateCount;
    default: return kAggregateNone;
  }
}

// Marks every comparison of an ON condition with its join side. Walks with its own stack.
void MarkJoinSide(TExpToken* root, uint8_t side) {
  std::vector<TExpToken*> pending;
  if (root != nullptr) pending.push_back(root);
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (node->Kind == kTokenBinary && node->Code >= kOpEqual && node->Code <= kOpLessOrEqual) node->JoinSide = side;
    for (TExpToken* link : {node->Left, node->Right, node->Third})
      if (link != nullptr) pending.push_back(link);
  }
}

// Words after a source table that end it rather than name its correlation.
#define VELDOR_JOIN_STOPS "LEFT", "RIGHT", "INNER", "JOIN", "FULL"

}  // namespace

void SetTableName(TSourceTable& table, const std::string& name) {
  const size_t slash = name.find_last_of('/');
  std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
  if (EndsWithIgnoreCase(file, ".DAT")) file.resize(file.size() - 4);
  table.TableName = Cut255(file);
  if (table.InMemory)
    table.DatabaseName = "Memory";
  else if (slash != std::string::npos)
    table.DatabaseName = Cut255(name.substr(0, slash + 1));
  else
    table.DatabaseName.clear();
  table.CorrelationName = table.TableName;
  table.AliasGiven = 0;
}

void SetCorrelationName(TSourceTable& table, const std::string& name) {
  table.CorrelationName = Cut255(name);
  table.AliasGiven = 1;
}

TStatementParser::TStatementParser(void* owner) : Parser(owner) {
  Parser.ErrorCode = VELDOR_SQLPARSE;
  Parser.ContextName = kStatementContext;
  Parser.SubSelects = this;
  Parser.Parameters = this;
}

TStatementParser::~TStatementParser() { Clear(); }

void TStatementParser::Clear() noexcept {
  ParameterList.clear();
  Queries.clear();
  NextTableNumber = 1;
}

TDataQuery& TStatementParser::NewQuery() {
  Queries.push_back(std::make_unique<TDataQuery>());
  return *Queries.back();
}

TDataQuery& TStatementParser::Prepare(const std::string& text) {
  Clear();
  Parser.ErrorCode = VELDOR_SQLPARSE;
  Parser.TableName.clear();
  Parser.ContextName = kStatementContext;
  Parser.SetExpression(text);
  Parser.NextToken();
  TDataQuery& master = NewQuery();
  ParseStatement(master, false);
  return master;
}

TDataQuery& TStatementParser::PrepareNext() {
  Clear();
  Parser.ContextName = kStatementContext;
  TDataQuery& master = NewQuery();
  ParseStatement(master, false);
  return master;
}

// ---- Scanner helpers ---------------------------------------------------------------------

bool TStatementParser::AtKeywordOf(TWords words) const {
  for (const char* word : words)
    if (Keyword(word)) return true;
  return false;
}

void TStatementParser::Expected(const std::string& fixed) const { Parser.Fail(fixed + Parser.TokenText() + "'"); }

void TStatementParser::ExpectKeyword(const char* word, const char* fixed) {
  if (!Keyword(word)) Expected(fixed);
  Next();
}

void TStatementParser::ExpectEnd(const char* fixed) {
  if (Token(';')) {
    Next();
    return;
  }
  if (!Token(kScanEnd)) Expected(fixed);
}

// An integer token, 0 to `maximum`; anything else fails with `fixed`.
int32_t TStatementParser::ReadInteger(const char* fixed, int32_t maximum) {
  int64_t value = 0;
  if (!Token(kScanInteger) || !TryTextToInteger(Parser.TokenText(), 0, maximum, value))
    Expected(fixed);
  Next();
  return int32_t(value);
}

TTokenTree TStatementParser::ParseIn(const char* context, uint32_t options, TLevel level, std::string* text) {
  Parser.ContextName = context;
  Parser.MarkStart();
  TTokenTree tree = level == TLevel::Expression ? Parser.ParseExpression(options)
                    : level == TLevel::Primary  ? Parser.ParsePrimary(options)
                                                : Parser.ParseUnary(options);
  if (text != nullptr) *text = Cut255(Parser.MarkedText());
  Parser.ContextName = kStatementContext;
  return tree;
}

// ---- Dispatch ----------------------------------------------------------------------------

void TStatementParser::ParseStatement(TDataQuery& query, bool selectOnly) {
  if (selectOnly && !Keyword("SELECT")) Expected("SELECT keyword expected, instead found '");
  if (Keyword("SELECT")) {
    query.StatementKind = kStatementSelect;
    ParseSelectChain(query, query.IsSubQuery ? TSelectRole::SubSelect : TSelectRole::Statement);
  } else if (Keyword("INSERT")) {
    query.StatementKind = kStatementInsert;
    ParseInsert(query);
  } else if (Keyword("UPDATE")) {
    query.StatementKind = kStatementUpdate;
    ParseUpdate(query);
  } else if (Keyword("DELETE")) {
    query.StatementKind = kStatementDelete;
    ParseDelete(query);
  } else if (Keyword("CREATE")) {
    Next();
    if (Keyword("TABLE")) {
      query.StatementKind = kStatementCreateTable;
      ParseCreateTable(query);
    } else if (AtKeywordOf({"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
      query.StatementKind = kStatementCreateIndex;
      ParseCreateIndex(query);
    } else {
      Expected("TABLE or INDEX keyword expected, instead found '");
    }
  } else if (Keyword("ALTER")) {
    Next();
    if (!Keyword("TABLE")) Expected("TABLE keyword expected, instead found '");
    query.StatementKind = kStatementAlterTable;
    ParseAlterTable(query);
  } else if (Keyword("DROP")) {
    Next();
    if (Keyword("TABLE")) {
      query.StatementKind = kStatementDropTable;
      ParseDropTable(query);
    } else if (Keyword("INDEX")) {
      query.StatementKind = kStatementDropIndex;
      ParseDropIndex(query);
    } else {
      Expected("TABLE or INDEX keyword expected, instead found '");
    }
  } else {
    Expected("SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
  }
}

TDataQuery* TStatementParser::ParseSubSelect(TExpressionParser& parser) {
  // The IN predicate's context comes back for its ")" and for the rest of its condition.
  const std::string context = parser.ContextName;
  TDataQuery& query = NewQuery();
  query.IsSubQuery = 1;
  ParseStatement(query, true);
  parser.ContextName = context;
  return &query;
}

// ---- Table references --------------------------------------------------------------------

std::unique_ptr<TSourceTable> TStatementParser::ReadTableReference(TDataQuery& query, const char* nameFixed,
                                                                   const char* afterMemoryFixed, TWords stops,
                                                                   const char* extraStop) {
  if (!AtName()) Expected(nameFixed);
  auto table = std::make_unique<TSourceTable>();
  table->Query = &query;
  if (Keyword("MEMORY")) {
    table->InMemory = 1;
    Next();
    if (!AtName()) Expected(afterMemoryFixed);
  }
  SetTableName(*table, Parser.TokenText());
  Next();
  if (Keyword("AS")) {
    Next();
    if (!AtName()) Expected("Symbol or string expected after AS keyword, instead found '");
    SetCorrelationName(*table, Parser.TokenText());
    Next();
  } else if (Token(kScanString) ||
             (Token(kScanSymbol) && !AtKeywordOf(stops) && (extraStop == nullptr || !Keyword(extraStop)))) {
    SetCorrelationName(*table, Parser.TokenText());
    Next();
  }
  return table;
}

void TStatementParser::AddSource(TDataQuery& query, std::unique_ptr<TSourceTable> table, bool atFront) {
  for (const auto& other : query.SourceTables)
    if (EqualsIgnoreCase(other->CorrelationName, table->CorrelationName))
      Parser.Fail("Duplicate table correlation name '" + table->CorrelationName + "' found in source tables");
  table->TableNumber = NextTableNumber++;
  if (atFront)
    query.SourceTables.insert(query.SourceTables.begin(), std::move(table));
  else
    query.SourceTables.push_back(std::move(table));
}

void TStatementParser::SetTarget(TDataQuery& query, const TSourceTable& table) {
  query.InMemory = table.InMemory;
  query.TableName = table.TableName;
  query.DatabaseName = table.DatabaseName;
}

void TStatementParser::AppendCondition(TDataQuery& query, TTokenTree condition) {
  if (!query.Condition) {
    query.Condition = std::move(condition);
    return;
  }
  TTokenTree both = TTokenTree::New();
  both->Kind = kTokenBinary;
  both->Code = kOpAnd;
  both->Text = "AND";
  both->DataType = FIELD_BOOLEAN;
  both->Left = query.Condition.Release();
  both->Right = condition.Release();
  query.Condition = std::move(both);
}

// Any number of joins after a source table.
void TStatementParser::ParseJoins(TDataQuery& query, TWords stops, const char* fullJoinMessage) {
  for (;;) {
    uint8_t side;
    if (Keyword("JOIN")) {
      side = kJoinSideInner;
    } else if (Keyword("INNER")) {
      Next();
      if (!Keyword("JOIN")) Expected("JOIN keyword expected after INNER keyword, instead found '");
      side = kJoinSideInner;
    } else if (Keyword("LEFT") || Keyword("RIGHT")) {
      side = Keyword("LEFT") ? kJoinSideLeft : kJoinSideRight;
      Next();
      if (Keyword("OUTER")) Next();
      if (!Keyword("JOIN"))
        Expected(side == kJoinSideLeft ? "JOIN keyword expected after LEFT or OUTER keyword, instead found '"
                                       : "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
    } else if (Keyword("FULL")) {
      Parser.Fail(fullJoinMessage);
    } else {
      return;
    }
    Next();
    query.MultiTable = 1;
    auto table = ReadTableReference(query, "Table name expected after JOIN keyword, instead found '",
                                    "Table name expected after JOIN keyword, instead found '", stops, "ON");
    AddSource(query, std::move(table), side == kJoinSideRight);
    if (!Keyword("ON")) Expected("ON keyword expected in JOIN clause, instead found '");
    Next();
    TTokenTree on = ParseIn("WHERE or JOIN clause", kAllowExtendedPredicates | kAllowParameters,
                            TLevel::Expression, nullptr);
    MarkJoinSide(on.Get(), side);
    if (side != kJoinSideInner) query.HasCondition = 1;
    AppendCondition(query, std::move(on));
  }
}

// Source tables separated by commas, each with its joins. With `firstIsTarget` the first
// table is the statement's target (DELETE).
void TStatementParser::ParseFromList(TDataQuery& query, TWords stops, const char* fullJoinMessage,
                                     bool firstIsTarget) {
  bool first = true;
  for (;;) {
    auto table = ReadTableReference(query, "Table name expected after FROM keyword, instead found '",
                                    "Table name expected after FROM keyword, instead found '", stops);
    if (first && firstIsTarget) SetTarget(query, *table);
    AddSource(query, std::move(table), false);
    ParseJoins(query, stops, fullJoinMessage);
    first = false;
    if (!Token(',')) return;
    Next();
    query.MultiTable = 1;
  }
}

void TStatementParser::ParseWhere(TDataQuery& query, bool allowSubSelects) {
  if (!Keyword("WHERE")) return;
  Next();
  const uint32_t options =
      kAllowExtendedPredicates | kAllowParameters | (allowSubSelects ? kAllowSubSelects : 0u);
  TTokenTree where = ParseIn("WHERE or JOIN clause", options, TLevel::Expression, nullptr);
  query.HasCondition = 1;
  AppendCondition(query, std::move(where));
}

// COMMIT [INTERVAL n] [FLUSH], at least one of the two.
void TStatementParser::ParseCommit(TDataQuery& query) {
  if (!Keyword("COMMIT")) return;
  Next();
  if (!Keyword("INTERVAL") && !Keyword("FLUSH"))
    Expected("INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
  for (int i = 0; i < 2; ++i) {
    if (Keyword("INTERVAL") && !query.CommitIntervalGiven) {
      Next();
      query.CommitInterval = ReadInteger("Integer value expected after INTERVAL keyword, instead found '");
      query.CommitIntervalGiven = 1;
    } else if (Keyword("FLUSH") && !query.CommitFlush) {
      Next();
      query.CommitFlush = 1;
    }
  }
}

// LANGUAGE name [SORT name].
void TStatementParser::ParseLanguage(TDataQuery& query) {
  if (!Keyword("LANGUAGE")) return;
  Next();
  const std::string language = Parser.TokenText();
  if (!AtName() || !LanguageNameValid(language))
    Parser.Fail("Invalid language constant '" + language + "' specified after LANGUAGE keyword");
  query.LanguageCode = LanguageIdOfName(language);
  query.LanguageGiven = 1;
  Next();
  if (!Keyword("SORT")) return;
  Next();
  const std::string sort = Parser.TokenText();
  if (!AtName() || !SortOrderValid(query.LanguageCode, sort))
    Parser.Fail("Invalid sort constant '" + sort + "' specified after SORT keyword");
  query.SortCode = uint16_t(SortIdOfName(query.LanguageCode, sort));
  query.SortGiven = 1;
  Next();
}

// ENCRYPTED WITH password; an empty password leaves the table unencrypted.
void TStatementParser::ParseEncryption(TDataQuery& query) {
  if (!Keyword("ENCRYPTED")) return;
  Next();
  ExpectKeyword("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
  std::string password;
  if (AtAnyName() || Token(kScanInteger)) {
    password = Cut255(Parser.TokenText());
    Next();
  }
  query.EncryptionPassword = password;
  query.Encrypted = password.empty() ? 0 : 1;
  query.EncryptionGiven = 1;
}

// ---- SELECT ------------------------------------------------------------------------------

// At SELECT. The chain's members are parsed one after another; the clauses after the
// chain belong to its first query.
void TStatementParser::ParseSelectChain(TDataQuery& head, TSelectRole role) {
  TDataQuery* current = &head;
  for (;;) {
    ParseSelectBody(*current, role);
    if (!Keyword("UNION")) break;
    Next();
    uint8_t kind = kUnionDistinct;
    if (Keyword("ALL")) {
      kind = kUnionAll;
      Next();
    } else {
      head.Distinct = 1;
    }
    if (!Keyword("SELECT")) Expected("SELECT keyword expected, instead found '");
    TDataQuery& member = NewQuery();
    member.StatementKind = kStatementSelect;
    member.UnionKind = kind;
    current->UnionQuery = &member;
    current = &member;
  }
  ParseSelectTail(head);
  if (role == TSelectRole::Statement) ExpectEnd("End of SELECT statement expected, instead found '");
}

// Steps from SELECT through WITH LOCKS and NOJOINOPTIMIZE: what every UNION member has.
void TStatementParser::ParseSelectBody(TDataQuery& query, TSelectRole role) {
  Next();  // SELECT
  if (Keyword("ALL")) Next();
  if (Keyword("DISTINCT")) {
    query.Distinct = 1;
    Next();
  }
  for (;;) {
    ParseSelectItem(query);
    if (!Token(',')) break;
    Next();
  }

  if (Keyword("INTO")) {
    if (&query != Master()) Parser.Fail("The INTO clause can only be used with the master query");
    Next();
    // The result table is named like a source table: a path names its directory, and
    // MEMORY the in-memory database; the name itself may be left out after MEMORY.
    TSourceTable result;
    if (Keyword("MEMORY")) {
      result.InMemory = 1;
      result.DatabaseName = "Memory";
      Next();
      if (Token(kScanString) || (Token(kScanSymbol) && !Keyword("FROM"))) {
        SetTableName(result, Parser.TokenText());
        Next();
      }
    } else {
      if (!AtName()) Expected("Result table name expected in INTO clause, instead found '");
      SetTableName(result, Parser.TokenText());
      Next();
    }
    SetTarget(query, result);
  }

  ExpectKeyword("FROM", "FROM keyword expected, instead found '");
  if (role == TSelectRole::InsertSelect)
    ParseFromList(query,
                  {VELDOR_JOIN_STOPS, "WHERE", "UNION", "ORDER", "GROUP", "HAVING", "TOP", "RANGE", "WITH",
                   "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "NOAUTOINC", "COMMIT"},
                  "Full outer joins are currently not supported in VELDOR SQL SELECT statements", false);
  else
    ParseFromList(query,
                  {VELDOR_JOIN_STOPS, "WHERE", "UNION", "ORDER", "GROUP", "HAVING", "TOP", "RANGE", "WITH",
                   "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE"},
                  "Full outer joins are currently not supported in VELDOR SQL SELECT statements", false);

  ParseWhere(query, role != TSelectRole::SubSelect);
  if (Keyword("WITH")) {
    Next();
    ExpectKeyword("LOCKS", "LOCKS keyword expected after WITH keyword, instead found '");
    query.WithLocks = 1;
  }
  if (Keyword("NOJOINOPTIMIZE")) {
    query.NoJoinOptimize = 1;
    Next();
  }
}

void TStatementParser::ParseSelectItem(TDataQuery& query) {
  auto field = std::make_unique<TResultField>();
  field->Expression = ParseIn("source column expression", kAllowAggregates | kAllowAllColumns | kAllowExtendedPredicates,
                              TLevel::Expression, &field->ExpressionText);
  const TExpToken* root = field->Expression.Get();
  if (IsAggregate(root)) {
    if (ContainsAggregate(root->Left)) Parser.Fail("Aggregate functions cannot be nested");
    field->AggregateKind = AggregateKindOf(root->Code);
    if (root->Code == kFuncAvg) query.HasAverages = 1;
    if (root->Left != nullptr && root->Left->Kind == kTokenColumn) {
      field->SourceColumnName = root->Left->ColumnName;
      field->SourceCorrelation = root->Left->CorrelationName;
    } else {
      field->IsExpression = 1;
    }
  } else if (ContainsAggregate(root)) {
    Parser.Fail("Aggregate functions cannot be used within expressions");
  } else if (root->Kind == kTokenColumn) {
    field->SourceColumnName = root->ColumnName;
    field->SourceCorrelation = root->CorrelationName;
    if (root->ColumnName != "*") field->ResultName = root->ColumnName;
  } else {
    field->IsExpression = 1;
  }

  if (Keyword("AS")) {
    Next();
    if (!AtAnyName()) Expected("Symbol or string expected after AS keyword, instead found '");
    field->ResultName = Cut255(Parser.TokenText());
    Next();
    if (Token('.')) {
      Next();
      if (!AtAnyName()) Expected("Symbol or string expected after table correlation name, instead found '");
      field->ResultName = Cut255(Parser.TokenText());
      Next();
    }
    field->NameFromAlias = 0;
  } else if (Token(kScanString) || Token(kScanBracketed) ||
             (Token(kScanSymbol) && !Keyword("INTO") && !Keyword("FROM"))) {
    field->ResultName = Cut255(Parser.TokenText());
    field->NameFromAlias = 0;
    Next();
  }
  query.ResultColumns.push_back(std::move(field));
}

// GROUP BY, HAVING, ORDER BY, TOP, WITH LOCKS, LANGUAGE, ENCRYPTED WITH, NOJOINOPTIMIZE.
void TStatementParser::ParseSelectTail(TDataQuery& query) {
  // A GROUP BY or ORDER BY item: a name, `correlation.name`, or a column number.
  auto readItem = [this](std::string& name, std::string& correlation, uint16_t& number, const char* fixed) {
    if (Token(kScanInteger)) {
      int64_t value = 0;
      if (!TryTextToInteger(Parser.TokenText(), 0, 65535, value)) Expected(fixed);
      number = uint16_t(value);
      Next();
      return;
    }
    if (!AtAnyName()) Expected(fixed);
    name = Cut255(Parser.TokenText());
    Next();
    if (Token('.')) {
      Next();
      if (!AtAnyName()) Expected(fixed);
      correlation = BareCorrelation(name);
      name = Cut255(Parser.TokenText());
      Next();
    }
  };

  if (Keyword("GROUP")) {
    Next();
    ExpectKeyword("BY", "BY keyword expected after GROUP keyword, instead found '");
    query.HasGroupBy = 1;
    for (;;) {
      auto item = std::make_unique<TGroupByField>();
      readItem(item->ColumnName, item->CorrelationName, item->ColumnNumber,
               "Column name or column number expected in GROUP BY clause, instead found '");
      query.GroupByColumns.push_back(std::move(item));
      if (!Token(',')) break;
      Next();
    }
  }
  if (Keyword("HAVING")) {
    Next();
    query.HavingCondition = ParseIn("HAVING clause", kAllowAggregates, TLevel::Expression, nullptr);
    query.HasHaving = 1;
  }
  if (Keyword("ORDER")) {
    Next();
    ExpectKeyword("BY", "BY keyword expected after ORDER keyword, instead found '");
    query.HasOrderBy = 1;
    for (;;) {
      auto item = std::make_unique<TOrderByField>();
      readItem(item->ColumnName, item->CorrelationName, item->ColumnNumber,
               "Column name or column number expected in ORDER BY clause, instead found '");
      if (Keyword("ASC") || Keyword("ASCENDING")) {
        Next();
      } else if (Keyword("DESC") || Keyword("DESCENDING")) {
        item->Descending = 1;
        Next();
      }
      query.OrderByColumns.push_back(std::move(item));
      if (!Token(',')) break;
      Next();
    }
    if (Keyword("NOCASE")) {
      query.OrderByNoCase = 1;
      Next();
    }
  }
  if (Keyword("TOP")) {
    Next();
    query.TopCount = ReadInteger("Integer value expected after TOP keyword, instead found '");
  }
  if (Keyword("WITH")) {
    Next();
    ExpectKeyword("LOCKS", "LOCKS keyword expected after WITH keyword, instead found '");
    query.WithLocks = 1;
  }
  ParseLanguage(query);
  ParseEncryption(query);
  if (Keyword("NOJOINOPTIMIZE")) {
    query.NoJoinOptimize = 1;
    Next();
  }
}

// ---- INSERT, UPDATE, DELETE --------------------------------------------------------------

namespace {

void TakeTargetColumn(TUpdateField& field) {
  TExpToken* node = field.Expression.Get();
  TakeColumnNode(node);
  if (node->Kind == kTokenColumn) {
    field.ColumnName = node->ColumnName;
    field.CorrelationName = node->CorrelationName;
  }
}

}  // namespace

void TStatementParser::ParseInsert(TDataQuery& query) {
  Next();  // INSERT
  ExpectKeyword("INTO", "INTO keyword expected, instead found '");
  auto table = ReadTableReference(query, "Table name expected after INTO clause, instead found '",
                                  "Table name expected after INTO keyword, instead found '", {"VALUES", "SELECT"});
  SetTarget(query, *table);
  AddSource(query, std::move(table), false);

  if (Token('(')) {
    Next();
    for (;;) {
      auto field = std::make_unique<TUpdateField>();
      field->Expression = ParseIn("table column", 0, TLevel::Primary, &field->ExpressionText);
      TakeTargetColumn(*field);
      query.UpdateFields.push_back(std::move(field));
      if (!Token(',')) break;
      Next();
    }
    if (!Token(')')) Expected("Right parentheses expected after list of table columns, instead found '");
    Next();
  } else {
    auto all = std::make_unique<TUpdateField>();
    all->ColumnName = "*";
    all->ExpressionText = "*";
    query.UpdateFields.push_back(std::move(all));
  }

  if (Keyword("VALUES")) {
    Next();
    if (!Token('(')) Expected("Left parentheses expected after VALUES keyword, instead found '");
    Next();
    for (;;) {
      auto value = std::make_unique<TUpdateValue>();
      value->Expression = ParseIn("value expression", kAllowParameters, TLevel::Expression, &value->ExpressionText);
      query.UpdateValues.push_back(std::move(value));
      if (!Token(',')) break;
      Next();
    }
    if (!Token(')')) Expected("Right parentheses expected after list of values, instead found '");
    Next();
  } else if (Keyword("SELECT")) {
    TDataQuery& select = NewQuery();
    select.IsSubQuery = 1;
    select.StatementKind = kStatementSelect;
    query.InsertQuery = &select;
    ParseSelectChain(select, TSelectRole::InsertSelect);
  } else {
    Expected("VALUES or SELECT  keyword expected, instead found '");
  }

  if (Keyword("NOAUTOINC")) {
    query.NoAutoInc = 1;
    Next();
  }
  ParseCommit(query);
  ExpectEnd("End of INSERT statement expected, instead found '");
}

void TStatementParser::ParseUpdate(TDataQuery& query) {
  Next();  // UPDATE
  auto target = ReadTableReference(query, "Table name expected, instead found '",
                                   "Table name expected, instead found '", {"SET"});
  SetTarget(query, *target);
  TSourceTable& updated = *target;
  AddSource(query, std::move(target), false);

  ExpectKeyword("SET", "SET keyword expected, instead found '");
  for (;;) {
    auto field = std::make_unique<TUpdateField>();
    field->Expression = ParseIn("table column", 0, TLevel::Primary, &field->ExpressionText);
    TakeTargetColumn(*field);
    query.UpdateFields.push_back(std::move(field));
    if (!Token('=')) Expected("Assignment (=) operator expected after column name, instead found '");
    Next();
    auto value = std::make_unique<TUpdateValue>();
    value->Expression = ParseIn("value expression", kAllowParameters, TLevel::Expression, &value->ExpressionText);
    query.UpdateValues.push_back(std::move(value));
    if (!Token(',')) break;
    Next();
  }

  if (Keyword("FROM")) {
    Next();
    static constexpr const char* kFull = "Full outer joins are currently not supported in VELDOR SQL UPDATE statements";
    const TWords stops = {VELDOR_JOIN_STOPS, "WHERE", "NOAUTOINC", "COMMIT", "NOJOINOPTIMIZE"};
    // The first table names the updated table again; it is that table, not another source.
    auto first = ReadTableReference(query, "Table name expected after FROM keyword, instead found '",
                                    "Table name expected after FROM keyword, instead found '", stops);
    if (first->InMemory != updated.InMemory || !EqualsIgnoreCase(first->TableName, updated.TableName) ||
        !EqualsIgnoreCase(first->DatabaseName, updated.DatabaseName) ||
        (first->AliasGiven && !EqualsIgnoreCase(first->CorrelationName, updated.CorrelationName)))
      Parser.Fail(
          "The first source table specified in FROM clause must match the table being updated in the UPDATE "
          "statement");
    ParseJoins(query, stops, kFull);
    if (Token(',')) {
      Next();
      query.MultiTable = 1;
      ParseFromList(query, stops, kFull, false);
    }
  }
  ParseWhere(query, true);
  if (Keyword("NOAUTOINC")) {
    query.NoAutoInc = 1;
    Next();
  }
  ParseCommit(query);
  if (Keyword("NOJOINOPTIMIZE")) {
    query.NoJoinOptimize = 1;
    Next();
  }
  ExpectEnd("End of UPDATE statement expected, instead found '");
}

void TStatementParser::ParseDelete(TDataQuery& query) {
  Next();  // DELETE
  ExpectKeyword("FROM", "FROM keyword expected, instead found '");
  ParseFromList(query, {VELDOR_JOIN_STOPS, "WHERE", "COMMIT", "NOJOINOPTIMIZE"},
                "Full outer joins are currently not supported in VELDOR SQL DELETE statements", true);
  ParseWhere(query, true);
  ParseCommit(query);
  if (Keyword("NOJOINOPTIMIZE")) {
    query.NoJoinOptimize = 1;
    Next();
  }
  ExpectEnd("End of DELETE statement expected, instead found '");
}

}  // namespace veldor
