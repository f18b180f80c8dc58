// The table-definition statements of the statement parser: CREATE TABLE, CREATE INDEX,
// ALTER TABLE, DROP TABLE and DROP INDEX. They name tables, columns and indexes only;
// nothing is created or opened here.
#include <initializer_list>
#include <memory>

#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "sql/parser_support.h"
#include "sql/statement_parser.h"

namespace veldor {

using sql_detail::Cut255;
using sql_detail::TakeColumnNode;

// ---- CREATE, ALTER, DROP ----------------------------------------------------------------

// The table of a table-definition statement: a name (after an optional MEMORY), no alias.
void TStatementParser::ReadTarget(TDataQuery& query, const char* nameFixed, const char* afterMemoryFixed) {
  if (!AtName()) Expected(nameFixed);
  TSourceTable table;
  if (Keyword("MEMORY")) {
    table.InMemory = 1;
    Next();
    if (!AtName()) Expected(afterMemoryFixed);
  }
  SetTableName(table, Parser.TokenText());
  Next();
  SetTarget(query, table);
}

// A column's name (a primary; a string names the column) and its data type, which the
// name node carries.
std::unique_ptr<TCreateField> TStatementParser::ParseColumnName(bool optionalType) {
  auto field = std::make_unique<TCreateField>();
  field->Expression = ParseIn("table column", 0, TLevel::Primary, &field->ExpressionText);
  TakeColumnNode(field->Expression.Get());
  if (field->Expression->Kind == kTokenColumn) field->ColumnName = field->Expression->ColumnName;
  Parser.ParseDataType(*field->Expression, 0, optionalType);
  return field;
}

// [AT n] (ALTER TABLE only) [DESCRIPTION text] [NOT NULL] [DEFAULT value] [MIN value]
// [MAX value] [CHARCASE UPPER|LOWER|NOCHANGE]. Each text and value is one token.
void TStatementParser::ParseColumnOptions(TCreateField& field, bool alter) {
  auto takeToken = [this]() {
    std::string text = Cut255(Parser.TokenText());
    Next();
    return text;
  };
  if (alter && Keyword("AT")) {
    Next();
    field.Position = uint16_t(ReadInteger("Integer value expected after AT keyword, instead found '", 65535));
  }
  if (Keyword("DESCRIPTION")) {
    Next();
    field.Description = takeToken();
    field.DescriptionGiven = 1;
  }
  if (Keyword("NOT")) {
    Next();
    ExpectKeyword("NULL", "NULL keyword expected after NOT keyword, instead found '");
    field.NotNull = 1;
    field.NotNullGiven = 1;
  }
  if (Keyword("DEFAULT")) {
    Next();
    field.DefaultText = takeToken();
    field.DefaultGiven = 1;
  }
  if (Keyword("MIN") || Keyword("MINIMUM")) {
    Next();
    field.MinimumText = takeToken();
    field.MinimumGiven = 1;
  }
  if (Keyword("MAX") || Keyword("MAXIMUM")) {
    Next();
    field.MaximumText = takeToken();
    field.MaximumGiven = 1;
  }
  if (Keyword("CHARCASE")) {
    Next();
    if (Keyword("UPPER"))
      field.CharCase = kCharCaseUpper;
    else if (Keyword("LOWER"))
      field.CharCase = kCharCaseLower;
    else if (Keyword("NOCHANGE"))
      field.CharCase = kCharCaseNoChange;
    else
      Expected("UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
    field.CharCaseGiven = 1;
    Next();
  }
}

// [CONSTRAINT name] [UNIQUE] [ASC|ASCENDING|DESC|DESCENDING] [NOCASE] PRIMARY KEY (columns)
// [COMPRESS mode].
std::unique_ptr<TCreateIndex> TStatementParser::ParseKeyDefinition() {
  auto index = std::make_unique<TCreateIndex>();
  if (Keyword("CONSTRAINT")) {
    Next();
    if (AtAnyName()) {
      index->IndexName = Cut255(Parser.TokenText());
      Next();
    }
  }
  if (Keyword("UNIQUE")) {
    index->Unique = 1;
    Next();
  }
  if (Keyword("ASC") || Keyword("ASCENDING")) {
    Next();
  } else if (Keyword("DESC") || Keyword("DESCENDING")) {
    index->Descending = 1;
    Next();
  }
  if (Keyword("NOCASE")) {
    index->NoCase = 1;
    Next();
  }
  ExpectKeyword("PRIMARY", "PRIMARY keyword expected, instead found '");
  ExpectKeyword("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
  ParseIndexColumns(*index);
  ParseCompression(*index);
  return index;
}

// ( column, ... ): each a primary in the context "index column", chained through Right.
void TStatementParser::ParseIndexColumns(TCreateIndex& index) {
  if (!Token('(')) Expected("Left parentheses expected after KEY keyword, instead found '");
  Next();
  Parser.MarkStart();
  TExpToken* last = nullptr;
  for (;;) {
    TTokenTree column = ParseIn("index column", 0, TLevel::Primary, nullptr);
    TakeColumnNode(column.Get());
    index.ColumnNames.push_back(column->Kind == kTokenColumn ? column->ColumnName : column->Text);
    if (column->Right != nullptr) {  // a parenthesised operator keeps its operand; Right is the chain's
      TTokenTree wrapper = TTokenTree::New();
      wrapper->Kind = kTokenUnary;
      wrapper->Code = kOpPlusSign;
      wrapper->Text = column->Text;
      wrapper->Left = column.Release();
      column = std::move(wrapper);
    }
    TExpToken* node = column.Get();
    if (last == nullptr)
      index.Columns = std::move(column);
    else
      last->Right = column.Release();
    last = node;
    if (!Token(',')) break;
    Next();
  }
  index.ExpressionText = Cut255(Parser.MarkedText());
  if (!Token(')')) Expected("Right parentheses expected after primary key clause, instead found '");
  Next();
}

void TStatementParser::ParseCompression(TCreateIndex& index) {
  if (!Keyword("COMPRESS")) return;
  Next();
  if (Keyword("FULL"))
    index.Compression = kCompressFull;
  else if (Keyword("DUPBYTE"))
    index.Compression = kCompressDupByte;
  else if (Keyword("TRAILBYTE"))
    index.Compression = kCompressTrailByte;
  else if (Keyword("NONE"))
    index.Compression = kCompressNone;
  else
    Expected("FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '");
  Next();
}

// DESCRIPTION, BLOB BLOCK SIZE, LANGUAGE [SORT], ENCRYPTED WITH, USER MAJOR VERSION,
// USER MINOR VERSION, LAST AUTOINC, in this order, each optional and each optionally
// after a comma.
void TStatementParser::ParseTableOptions(TDataQuery& query) {
  auto comma = [this]() {
    if (Token(',')) Next();
  };
  comma();
  if (Keyword("DESCRIPTION")) {
    Next();
    query.TableDescription = Cut255(Parser.TokenText());
    query.DescriptionGiven = 1;
    Next();
    comma();
  }
  if (Keyword("BLOB")) {
    Next();
    ExpectKeyword("BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
    ExpectKeyword("SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
    query.BlobBlockSize = uint16_t(ReadInteger("Integer value expected after SIZE keyword, instead found '", 65535));
    query.BlobBlockSizeGiven = 1;
    comma();
  }
  if (Keyword("LANGUAGE")) {
    ParseLanguage(query);
    comma();
  }
  if (Keyword("ENCRYPTED")) {
    ParseEncryption(query);
    comma();
  }
  if (Keyword("USER")) {
    Next();
    // USER MINOR VERSION alone is taken as such rather than refused for its missing MAJOR.
    if (!Keyword("MINOR")) {
      ExpectKeyword("MAJOR", "MAJOR keyword expected after USER keyword, instead found '");
      ExpectKeyword("VERSION", "VERSION keyword expected after MAJOR keyword, instead found '");
      query.UserMajorVersion =
          uint16_t(ReadInteger("Integer value expected after VERSION keyword, instead found '", 65535));
      query.UserMajorVersionGiven = 1;
      comma();
      if (Keyword("USER")) {
        Next();
        if (!Keyword("MINOR")) Expected("MINOR keyword expected after USER keyword, instead found '");
      }
    }
    if (Keyword("MINOR")) {
      Next();
      ExpectKeyword("VERSION", "VERSION keyword expected after MINOR keyword, instead found '");
      query.UserMinorVersion =
          uint16_t(ReadInteger("Integer value expected after VERSION keyword, instead found '", 65535));
      query.UserMinorVersionGiven = 1;
      comma();
    }
  }
  if (Keyword("LAST")) {
    Next();
    ExpectKeyword("AUTOINC", "AUTOINC keyword expected after LAST keyword, instead found '");
    TTokenTree number = ParseIn("next auto-increment number", 0, TLevel::Unary, nullptr);
    const TExpToken* constant = number.Get();
    int32_t sign = 1;
    if (constant->Kind == kTokenUnary && constant->Left != nullptr) {
      sign = constant->Code == kOpNegate ? -1 : 1;
      constant = constant->Left;
    }
    int32_t value = 0;
    if (constant->Kind == kTokenConstant && constant->DataType == FIELD_INTEGER && !constant->IsNull)
      value = LoadI32(constant->Value.data());
    query.LastAutoInc = sign < 0 ? int32_t(0u - uint32_t(value)) : value;
    query.LastAutoIncGiven = 1;
    comma();
  }
}

void TStatementParser::ParseCreateTable(TDataQuery& query) {
  Next();  // TABLE
  if (Keyword("IF")) {
    Next();
    ExpectKeyword("NOT", "NOT keyword expected after IF keyword, instead found '");
    ExpectKeyword("EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
    query.IfNotExists = 1;
  }
  ReadTarget(query, "Table name expected after CREATE TABLE keywords, instead found '",
             "Table name expected, instead found '");
  if (!Token('(')) Expected("Left parentheses expected before list of table columns, instead found '");
  Next();
  static constexpr std::initializer_list<const char*> kKeyWords = {"CONSTRAINT", "PRIMARY", "UNIQUE",   "ASC",
                                                                   "ASCENDING",  "DESC",    "DESCENDING", "NOCASE"};
  for (;;) {
    if (Token(')') || AtKeywordOf(kKeyWords) ||
        AtKeywordOf({"DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER", "LAST"}))
      break;
    auto field = ParseColumnName(false);
    ParseColumnOptions(*field, false);
    query.CreateFields.push_back(std::move(field));
    if (!Token(',')) break;
    Next();
  }
  if (AtKeywordOf(kKeyWords)) query.CreateIndexes.push_back(ParseKeyDefinition());
  ParseTableOptions(query);
  if (!Token(')')) Expected("Right parentheses expected after CREATE TABLE statement, instead found '");
  Next();
  ExpectEnd("End of CREATE TABLE statement expected, instead found '");
}

void TStatementParser::ParseCreateIndex(TDataQuery& query) {
  auto index = std::make_unique<TCreateIndex>();
  if (Keyword("UNIQUE")) {
    index->Unique = 1;
    Next();
  }
  if (Keyword("ASC") || Keyword("ASCENDING")) {
    Next();
  } else if (Keyword("DESC") || Keyword("DESCENDING")) {
    index->Descending = 1;
    Next();
  }
  if (Keyword("NOCASE")) {
    index->NoCase = 1;
    Next();
  }
  ExpectKeyword("INDEX", "INDEX keyword expected, instead found '");
  if (!AtName()) Expected("Index name expected after INDEX keyword, instead found '");
  index->IndexName = Cut255(Parser.TokenText());
  query.IndexName = index->IndexName;
  Next();
  ExpectKeyword("ON", "ON keyword expected after index name, instead found '");
  ReadTarget(query, "Table name expected after ON keyword, instead found '", "Table name expected, instead found '");
  TCreateIndex& added = *index;
  query.CreateIndexes.push_back(std::move(index));
  ParseIndexColumns(added);
  ParseCompression(added);
  ExpectEnd("End of CREATE INDEX statement expected, instead found '");
}

void TStatementParser::ParseAlterTable(TDataQuery& query) {
  Next();  // TABLE
  ReadTarget(query, "Table name expected after ALTER TABLE keywords, instead found '",
             "Table name expected, instead found '");
  static constexpr std::initializer_list<const char*> kKeyWords = {"CONSTRAINT", "PRIMARY", "UNIQUE",   "ASC",
                                                                   "ASCENDING",  "DESC",    "DESCENDING", "NOCASE"};
  while (Keyword("ADD") || Keyword("REDEFINE") || Keyword("DROP")) {
    const bool add = Keyword("ADD"), redefine = Keyword("REDEFINE");
    Next();
    if ((add || redefine) && AtKeywordOf(kKeyWords)) {
      auto index = ParseKeyDefinition();
      index->IsAdd = add;
      index->IsRedefine = redefine;
      query.CreateIndexes.push_back(std::move(index));
    } else if (add) {
      if (Keyword("COLUMN")) Next();
      auto field = ParseColumnName(false);
      field->IsAdd = 1;
      ParseColumnOptions(*field, true);
      query.CreateFields.push_back(std::move(field));
    } else if (redefine) {
      if (Keyword("COLUMN")) Next();
      auto field = ParseColumnName(true);
      field->IsRedefine = 1;
      // Another name (with an optional type) renames the column; the option words, a comma
      // and the words of the table options end the change instead.
      if (!Token(kScanEnd) && !Token(';') && !Token(',') &&
          !AtKeywordOf({"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM", "CHARCASE", "BLOB",
                        "LANGUAGE", "ENCRYPTED", "USER", "LAST", "NOBACKUP"})) {
        field->NewExpression = ParseIn("table column", 0, TLevel::Primary, nullptr);
        TakeColumnNode(field->NewExpression.Get());
        if (field->NewExpression->Kind == kTokenColumn) field->NewColumnName = field->NewExpression->ColumnName;
        Parser.ParseDataType(*field->NewExpression, 0, true);
      }
      ParseColumnOptions(*field, true);
      query.CreateFields.push_back(std::move(field));
    } else if (Keyword("CONSTRAINT") || Keyword("PRIMARY")) {
      auto index = std::make_unique<TCreateIndex>();
      if (Keyword("CONSTRAINT")) {
        Next();
        if (AtAnyName()) {
          index->IndexName = Cut255(Parser.TokenText());
          Next();
        }
      }
      ExpectKeyword("PRIMARY", "PRIMARY keyword expected, instead found '");
      ExpectKeyword("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
      index->IsDrop = 1;
      query.CreateIndexes.push_back(std::move(index));
    } else {
      if (Keyword("COLUMN")) Next();
      auto field = ParseColumnName(true);
      field->IsDrop = 1;
      query.CreateFields.push_back(std::move(field));
    }
    if (!Token(',')) break;
    Next();
  }
  ParseTableOptions(query);
  if (Keyword("NOBACKUP")) {
    query.NoBackup = 1;
    Next();
  }
  ExpectEnd("End of ALTER TABLE statement expected, instead found '");
}

void TStatementParser::ParseDropTable(TDataQuery& query) {
  Next();  // TABLE
  if (Keyword("IF")) {
    Next();
    ExpectKeyword("EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
    query.IfExists = 1;
  }
  ReadTarget(query, "Table name expected after TABLE keyword, instead found '", "Table name expected, instead found '");
  ExpectEnd("End of DROP TABLE statement expected, instead found '");
}

// DROP INDEX [MEMORY] table.index, read as one primary: the table from its correlation
// part, the index from its name.
void TStatementParser::ParseDropIndex(TDataQuery& query) {
  Next();  // INDEX
  if (!AtName()) Expected("Table name expected after INDEX keyword, instead found '");
  TSourceTable table;
  if (Keyword("MEMORY")) {
    table.InMemory = 1;
    Next();
  }
  TTokenTree name = ParseIn("index name expression", 0, TLevel::Primary, nullptr);
  if (name->Kind != kTokenColumn || name->CorrelationName.empty())
    Parser.Fail("Table name expected after INDEX keyword, instead found '" + name->Text + "'");
  // The node's text is the prefix as written, ".", then the index name.
  const std::string prefix = name->Text.substr(0, name->Text.size() - name->ColumnName.size() - 1);
  SetTableName(table, prefix);
  SetTarget(query, table);
  query.IndexName = name->ColumnName;
  ExpectEnd("End of DROP INDEX statement expected, instead found '");
}

}  // namespace veldor
