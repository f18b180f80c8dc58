// Binding a SELECT: source tables, result columns and their names, UNION checks, the live
// decision, HAVING, ORDER BY, GROUP BY and DISTINCT columns, and the result table.
#include <algorithm>
#include <cstring>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/name_text.h"
#include "sql/select.h"

namespace veldor {

void FailSql(const std::string& message) {
  RaiseEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "", message.substr(0, 255));
}

TDataDirectory* QueryDatabase(TQueryStatement& statement, TDataQuery& query, const std::string& databaseName,
                              bool inMemory, bool& memory) {
  TDataDirectory* own = statement.Database;
  if (own == nullptr) RaiseTableError(VELDOR_NOTINITIALIZED, "");
  memory = inMemory || EqualsIgnoreCase(databaseName, "Memory");
  if (!memory && databaseName.empty()) {
    memory = EqualsIgnoreCase(own->Name(), "Memory");
    return own;
  }
  query.Session = own->Session();
  TDataDirectory* opened = memory ? query.Session->OpenDataDirectory("Memory", "")
                                  : query.Session->OpenDataDirectory("", databaseName);
  query.OpenedDatabases.push_back(opened);
  return opened;
}

namespace {

constexpr size_t kMaxColumns = 1024;
constexpr size_t kMaxNameLength = 30;
const char kAvgCountName[] = "Sys__Avg__Count";


bool IsAggregateNode(const TExpToken* node) {
  return node != nullptr && node->Kind == kTokenFunction && node->Code >= kFuncSum && node->Code <= kFuncAvg;
}

bool IsStar(const TExpToken* node) { return node != nullptr && node->Kind == kTokenColumn && node->ColumnName == "*"; }

std::string DatabaseNameOf(const TDataQuery& query) {
  return query.SourceTables.empty() || query.SourceTables[0]->Database == nullptr
             ? std::string()
             : query.SourceTables[0]->Database->Name();
}

TSourceTable* FindCorrelation(TDataQuery& query, const std::string& correlation) {
  for (auto& table : query.SourceTables)
    if (EqualsIgnoreCase(table->CorrelationName, correlation)) return table.get();
  return nullptr;
}

// The master of the statement and whether `query` belongs to its UNION chain.
bool InMasterUnionChain(TQueryStatement& statement, const TDataQuery& query) {
  for (const TDataQuery* q = statement.MasterQuery(); q != nullptr; q = q->UnionQuery)
    if (q == &query) return true;
  return false;
}

// ---- Result columns ----------------------------------------------------------------------------

std::unique_ptr<TResultField> PlainColumn(TSourceTable& table, uint16_t number) {
  const TFieldDescriptor& field = table.Cursor->Field(number);
  auto column = std::make_unique<TResultField>();
  column->SourceColumnName = field.FieldName();
  column->SourceCorrelation = table.CorrelationName;
  column->ResultName = field.FieldName();
  column->ExpressionText = table.CorrelationName + "." + field.FieldName();
  column->Expression = TTokenTree::New();
  column->Expression->Kind = kTokenColumn;
  column->Expression->Text = column->ExpressionText;
  column->Expression->ColumnName = field.FieldName();
  column->Expression->CorrelationName = table.CorrelationName;
  return column;
}

// `*` and correlation.`*` become the columns they stand for.
void ExpandStars(TDataQuery& query) {
  std::vector<std::unique_ptr<TResultField>> columns;
  for (auto& column : query.ResultColumns) {
    const TExpToken* root = column->Expression.Get();
    if (!IsStar(root)) {
      columns.push_back(std::move(column));
      continue;
    }
    if (column->NameFromAlias == 0)
      FailSql("Invalid use of column correlation name '" + column->ResultName + "'" + " for " + "'" + "*" + "'" +
              " specified in source columns");
    const std::string correlation = root->CorrelationName;
    std::vector<TSourceTable*> tables;
    for (auto& table : query.SourceTables) tables.push_back(table.get());
    std::stable_sort(tables.begin(), tables.end(),
                     [](const TSourceTable* a, const TSourceTable* b) { return a->TableNumber < b->TableNumber; });
    for (TSourceTable* table : tables) {
      if (!correlation.empty() && !EqualsIgnoreCase(table->CorrelationName, correlation)) continue;
      for (uint16_t n = 1; n <= table->Cursor->FieldCount(); ++n) columns.push_back(PlainColumn(*table, n));
    }
    if (!correlation.empty() && FindCorrelation(query, correlation) == nullptr)
      FailSql("Invalid column name '*' or table correlation name '" + correlation + "'" +
              " specified in source columns");
  }
  query.ResultColumns = std::move(columns);
  if (query.ResultColumns.size() > kMaxColumns)
    FailSql("Maximum number of columns (" + std::to_string(kMaxColumns) + ") in result set exceeded");
}

// The type a result column stores, from its checked expression and its aggregate.
void TypeColumn(TResultField& column) {
  const TExpToken& root = *column.Expression;
  column.DataType = root.DataType;
  column.SubType = root.SubType;
  column.DataSize = root.DataSize;
  column.Scale = root.Scale;
  const uint8_t t = column.DataType;
  switch (column.AggregateKind) {
    case kAggregateCount:
      column.DataType = FIELD_INTEGER, column.SubType = 0, column.DataSize = 4, column.Scale = 0;
      break;
    case kAggregateAvg:
      column.DataType = FIELD_FLOAT, column.SubType = 0, column.DataSize = 8, column.Scale = 0;
      break;
    case kAggregateSum: case kAggregateRunSum:
      if (t == FIELD_SMALLINT || t == FIELD_WORD) column.DataType = FIELD_INTEGER, column.DataSize = 4;
      else if (t == FIELD_INTEGER) column.DataType = FIELD_LARGEINT, column.DataSize = 8;
      column.SubType = column.SubType == SUBTYPE_AUTOINC ? 0 : column.SubType;
      break;
    default:
      break;
  }
  if (column.DataType == FIELD_INTEGER && column.SubType == SUBTYPE_AUTOINC) column.SubType = 0;
}

void BindColumns(TQueryStatement& statement, TDataQuery& query) {
  ExpandStars(query);
  size_t aggregates = 0;
  for (auto& column : query.ResultColumns) {
    TExpToken* root = column->Expression.Get();
    if (IsAggregateNode(root)) {  // the parser gave it its AggregateKind
      ++aggregates;
      if (root->Code == kFuncCount && IsStar(root->Left)) {
        column->CountStar = 1;
        column->SourceTable = query.SourceTables.front().get();
      }
    }
    CheckExpression(VELDOR_SQLPARSE, DatabaseNameOf(query), "", false, SourceBinder(), &query, nullptr, root,
                    "source columns", &SubSelectAnswers());
    const TExpToken* plain = column->AggregateKind != kAggregateNone ? root->Left : root;
    if (plain != nullptr && plain->Kind == kTokenColumn && !IsStar(plain)) {
      column->IsExpression = 0;
      auto* table = static_cast<TSourceTable*>(plain->SourceTable);
      column->SourceTable = table;
      column->FieldNumber = plain->FieldNumber;
      if (column->SourceColumnName.empty()) column->SourceColumnName = table->Cursor->Field(plain->FieldNumber).FieldName();
      column->SourceCorrelation = table->CorrelationName;
    } else if (!column->CountStar) {
      column->IsExpression = 1;
      column->SourceColumnName.clear();
      if (column->AggregateKind == kAggregateNone) query.HasExpressionColumns = 1;
    }
    const bool text = root->DataType == FIELD_STRING;
    if (column->AggregateKind == kAggregateNone && column->IsExpression &&
        ((text && root->DataSize - 1 > 250) || ((root->DataType == FIELD_BYTES || root->DataType == FIELD_VARBYTES) &&
                                                root->DataSize > 250)))
      FailSql("Column expression '" + column->ExpressionText + "'" + " exceeds the maximum allowable field size");
    if (column->IsExpression && root->DataType == FIELD_BLOB) query.HasBlobExpression = 1;
    if (column->AggregateKind == kAggregateAvg) query.HasAverages = 1;
    TypeColumn(*column);
  }
  const bool exempt = query.IsSubQuery || (!InMasterUnionChain(statement, query)) ||
                      statement.MasterQuery()->HasGroupBy;
  if (!query.HasGroupBy && aggregates > 0 && aggregates < query.ResultColumns.size() && !exempt)
    FailSql("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
}

// The result names: aliases and default names, unique within the query.
void NameColumns(TDataQuery& query) {
  static const char* const kOfColumn[] = {"", "Sum Of ", "Running Sum Of ", "Min Of ", "Max Of ", "Average Of ",
                                          "Count Of "};
  static const char* const kOfExpression[] = {"Expression", "Sum Of Expr", "Running Sum Of Expr", "Min Of Expr",
                                              "Max Of Expr", "Average Of Expr", "Count Of Expr"};
  std::vector<std::string> used;
  auto taken = [&](const std::string& name) {
    return std::any_of(used.begin(), used.end(), [&](const std::string& u) { return EqualsIgnoreCase(u, name); });
  };
  for (auto& column : query.ResultColumns) {
    std::string name;
    if (column->NameFromAlias == 0 || (!column->ResultName.empty() && column->AggregateKind == kAggregateNone &&
                                       !column->IsExpression)) {
      name = column->ResultName;
    } else if (column->IsExpression) {
      name = kOfExpression[column->AggregateKind];
    } else if (column->AggregateKind != kAggregateNone) {
      name = kOfColumn[column->AggregateKind] + column->SourceColumnName;
    } else {
      name = column->SourceColumnName;
    }
    if (name.size() > kMaxNameLength) name = name.substr(name.size() - kMaxNameLength);
    if (taken(name)) {
      for (int n = 1;; ++n) {
        const std::string suffix = "_" + std::to_string(n);
        std::string base = name;
        if (base.size() + suffix.size() > kMaxNameLength) base = base.substr(base.size() + suffix.size() - kMaxNameLength);
        if (!taken(base + suffix)) {
          name = base + suffix;
          break;
        }
      }
    }
    column->ResultName = name;
    used.push_back(name);
  }
}

// A UNION member must match its partner column by column.
void CheckUnion(TDataQuery& query) {
  const TDataQuery* partner = query.UnionQuery;
  if (partner == nullptr) return;
  const char* kind = partner->UnionKind == kUnionAll ? "UNION ALL" : "UNION";
  if (partner->ResultColumns.size() != query.ResultColumns.size())
    FailSql(std::string("The number of columns  in the ") + kind + " query must match the " +
            " number of columns in the master query");
  for (size_t i = 0; i < query.ResultColumns.size(); ++i) {
    const TResultField& ours = *query.ResultColumns[i];
    const TResultField& theirs = *partner->ResultColumns[i];
    if (ours.DataType != theirs.DataType)
      FailSql("Type mismatch between column expression '" + theirs.ExpressionText + "'" + " in the " + kind +
              " query and " + "column expression " + "'" + ours.ExpressionText + "'" + " in the master query");
  }
}

// ---- ORDER BY, GROUP BY, DISTINCT ---------------------------------------------------------------

// The result column a name or number of ORDER BY or GROUP BY stands for (0-based).
size_t ResolveListColumn(const TDataQuery& query, const std::string& name, const std::string& correlation,
                         uint16_t number, bool orderBy) {
  const char* clause = orderBy ? " specified in ORDER BY clause" : " specified in GROUP BY clause";
  const auto& columns = query.ResultColumns;
  if (name.empty()) {
    if (number < 1 || number > columns.size() || columns[number - 1]->DataType == FIELD_BLOB)
      FailSql("Invalid column number '" + std::to_string(number) + "'" + clause);
    return number - 1;
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    const TResultField& c = *columns[i];
    if (!correlation.empty()) {
      if (EqualsIgnoreCase(c.SourceCorrelation, correlation) && EqualsIgnoreCase(c.SourceColumnName, name) &&
          !c.SourceColumnName.empty())
        return i;
      continue;
    }
    const bool source = !c.SourceColumnName.empty() && EqualsIgnoreCase(c.SourceColumnName, name) &&
                        !(orderBy && c.AggregateKind != kAggregateNone);
    if (source || EqualsIgnoreCase(c.ResultName, name)) return i;
  }
  FailSql("Invalid column name '" + name + "'" + " or table correlation name " + "'" + correlation + "'" + clause);
}

void ResolveLists(TDataQuery& query) {
  if (query.OrderByColumns.size() > kMaxColumns)
    FailSql("Maximum number of columns (1024) in ORDER BY clause exceeded");
  if (query.GroupByColumns.size() > kMaxColumns)
    FailSql("Maximum number of columns (1024) in GROUP BY clause exceeded");
  if (query.Distinct && query.ResultColumns.size() > kMaxColumns)
    FailSql("Maximum number of columns (1024) in DISTINCT clause exceeded");
  query.OrderFields.clear();
  query.OrderDescending.clear();
  query.GroupFields.clear();
  query.DistinctFields.clear();
  for (const auto& item : query.OrderByColumns) {
    const size_t i = ResolveListColumn(query, item->ColumnName, item->CorrelationName, item->ColumnNumber, true);
    if (query.ResultColumns[i]->DataType == FIELD_BLOB)
      FailSql("Invalid column name '" + item->ColumnName + "'" + " or table correlation name " + "'" +
              item->CorrelationName + "'" + " specified in ORDER BY clause");
    query.OrderFields.push_back(query.ResultColumns[i]->ResultFieldNumber);
    query.OrderDescending.push_back(item->Descending);
  }
  for (const auto& item : query.GroupByColumns) {
    const size_t i = ResolveListColumn(query, item->ColumnName, item->CorrelationName, item->ColumnNumber, false);
    if (query.ResultColumns[i]->DataType == FIELD_BLOB)
      FailSql("Invalid BLOB column '" + query.ResultColumns[i]->ResultName + "'" + " specified in GROUP BY clause");
    query.GroupFields.push_back(query.ResultColumns[i]->ResultFieldNumber);
  }
  if (query.Distinct) {
    for (const auto& column : query.ResultColumns) {
      if (column->DataType == FIELD_BLOB)
        FailSql("Invalid BLOB column '" + column->ResultName + "'" + " specified in DISTINCT clause");
      query.DistinctFields.push_back(column->ResultFieldNumber);
    }
  }
  // Grouping or DISTINCT leaves the rows ascending in their columns' order already.
  const std::vector<uint16_t>& sorted = query.HasGroupBy ? query.GroupFields : query.DistinctFields;
  query.OrderBySatisfied =
      query.HasOrderBy && !query.OrderByNoCase && !sorted.empty() && query.OrderFields == sorted &&
      std::none_of(query.OrderDescending.begin(), query.OrderDescending.end(), [](uint8_t d) { return d != 0; });
}

// ---- HAVING --------------------------------------------------------------------------------------

// The result column (by result name, then by source column name) a HAVING name stands for.
const TResultField* HavingColumn(const TDataQuery& query, const TExpToken& node) {
  for (const auto& c : query.ResultColumns)
    if (node.CorrelationName.empty() && EqualsIgnoreCase(c->ResultName, node.ColumnName)) return c.get();
  for (const auto& c : query.ResultColumns)
    if (!c->SourceColumnName.empty() && c->AggregateKind == kAggregateNone &&
        EqualsIgnoreCase(c->SourceColumnName, node.ColumnName) &&
        (node.CorrelationName.empty() || EqualsIgnoreCase(c->SourceCorrelation, node.CorrelationName)))
      return c.get();
  return nullptr;
}

// Turns `node` into a column of the result table standing for `column`.
void MakeResultColumn(TExpToken& node, const TResultField& column) {
  const std::string text = node.Text;
  TExpToken* parent = node.Parent;
  FreeTokenTree(node.Left);
  FreeTokenTree(node.Right);
  FreeTokenTree(node.Third);
  node.Clear();
  node.Kind = kTokenColumn;
  node.Text = text;
  node.Parent = parent;
  node.ColumnName = column.ResultName;
  node.FieldNumber = column.ResultFieldNumber;
}

// HAVING over the result table: each aggregate must be one of the result columns, names
// resolve against the result columns.
void BindHaving(TDataQuery& query) {
  if (!query.HavingCondition) return;
  TTokenTree having = CopyTokenTree(query.HavingCondition.Get());
  std::vector<TExpToken*> pending{having.Get()};
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (IsAggregateNode(node)) {
      TTokenTree probe = CopyTokenTree(node);
      CheckExpression(VELDOR_SQLPARSE, DatabaseNameOf(query), "", false, SourceBinder(), &query, nullptr,
                      probe.Get(), "HAVING clause", &SubSelectAnswers());
      const TResultField* match = nullptr;
      for (const auto& c : query.ResultColumns)
        if (c->AggregateKind != kAggregateNone && SameExpression(c->Expression.Get(), probe.Get())) {
          match = c.get();
          break;
        }
      if (match == nullptr) FailSql("Expression in HAVING clause not found in source columns");
      MakeResultColumn(*node, *match);
      continue;
    }
    for (TExpToken* link : {node->Left, node->Right, node->Third})
      if (link != nullptr) pending.push_back(link);
  }
  TBindColumn bind = [](void* owner, TExpToken& node) {
    auto& q = *static_cast<TDataQuery*>(owner);
    const TResultField* column = HavingColumn(q, node);
    if (column == nullptr) return false;
    node.FieldNumber = column->ResultFieldNumber;
    node.DataType = column->DataType;
    node.SubType = column->SubType;
    node.DataSize = column->DataSize;
    node.Scale = column->Scale;
    node.SourceTable = nullptr;
    return true;
  };
  CheckExpression(VELDOR_SQLPARSE, DatabaseNameOf(query), "", true, bind, &query, nullptr, having.Get(),
                  "HAVING clause", &SubSelectAnswers());
  if (having->DataType != FIELD_BOOLEAN) FailSql("HAVING clause must be a boolean expression");
  query.BoundHaving = std::move(having);
}

// ---- Live results --------------------------------------------------------------------------------

// The index of the one source table whose leading fields are the ORDER BY columns in order,
// all ascending (or all descending for a descending index); -1 when none.
int OrderIndex(TDataQuery& query) {
  TDataCursor& cursor = *query.SourceTables.front()->Cursor;
  const TTableInformation info = cursor.GetTableInformation();
  for (size_t i = 0; i < info.Indexes.size(); ++i) {
    const TIndexDescriptor& index = info.Indexes[i];
    if (index.FieldCount() < int(query.OrderByColumns.size())) continue;
    if (i == 0 && info.NoPrimaryKey) continue;
    bool fits = true;
    for (size_t k = 0; k < query.OrderByColumns.size() && fits; ++k) {
      const TOrderByField& item = *query.OrderByColumns[k];
      uint16_t field = 0;
      if (item.ColumnName.empty()) {
        if (item.ColumnNumber < 1 || item.ColumnNumber > query.ResultColumns.size()) return -1;
        const TResultField& c = *query.ResultColumns[item.ColumnNumber - 1];
        field = c.IsExpression || c.AggregateKind ? 0 : c.FieldNumber;
      } else {
        for (uint16_t n = 1; n <= cursor.FieldCount(); ++n)
          if (EqualsIgnoreCase(cursor.Field(n).FieldName(), item.ColumnName)) field = n;
      }
      const bool descending = (item.Descending != 0) != index.Descending();
      fits = field != 0 && index.FieldNumber(int(k)) == field && !descending && !index.FieldDescending(int(k)) &&
             (cursor.Field(field).FieldType() != FIELD_STRING || index.CaseInsensitive() == (query.OrderByNoCase != 0));
    }
    if (fits) return int(i);
  }
  return -1;
}

bool CanBeLive(TQueryStatement& statement, TDataQuery& query, bool into) {
  const bool alone = statement.Parser().AllQueries().size() == 1 || &query != statement.MasterQuery();
  return query.RequestLive && !into && !query.Distinct && query.SourceTables.size() == 1 && !query.HasGroupBy &&
         !query.SingleGroup && !query.HasHaving && (!query.HasOrderBy || query.OrderByFromIndex) &&
         !query.HasBlobExpression && !query.HasExpressionColumns && alone &&
         std::all_of(query.ResultColumns.begin(), query.ResultColumns.end(),
                     [](const auto& c) { return c->AggregateKind == kAggregateNone; });
}

// ---- Result table ---------------------------------------------------------------------------------

TFieldDescriptor ResultFieldOf(const TResultField& column, uint16_t number) {
  TFieldDescriptor field;
  if (!column.IsExpression && column.AggregateKind == kAggregateNone && column.SourceTable != nullptr) {
    field = column.SourceTable->Cursor->Field(column.FieldNumber);
    field.SetDescription(column.SourceTable->TableName + "." + column.SourceColumnName);
    // Rows of outer joins and UNION members hold values the source's checks refuse.
    field.SetRequired(false);
    field.SetMinValue("");
    field.SetMaxValue("");
    field.SetCalculated(false);
    if (field.IsAutoInc()) field.SetSubType(0);
  } else {
    field.SetFieldType(column.DataType);
    field.SetSubType(column.SubType == SUBTYPE_AUTOINC ? 0 : column.SubType);
    if (column.DataType == FIELD_STRING) field.SetDeclaredSize(uint8_t(std::clamp(column.DataSize - 1, 1, 250)));
    if (column.DataType == FIELD_BYTES || column.DataType == FIELD_VARBYTES)
      field.SetDeclaredSize(uint8_t(std::clamp(column.DataSize, 1, 250)));
    if (column.DataType == FIELD_BCD) field.SetDeclaredScale(column.Scale);
  }
  if (field.FieldType() == FIELD_INTEGER && field.SubType() == SUBTYPE_AUTOINC) field.SetSubType(0);
  if (column.AggregateKind != kAggregateNone) {
    field.SetFieldType(column.DataType);
    if (column.AggregateKind == kAggregateAvg || column.AggregateKind == kAggregateCount) field.SetSubType(0);
  }
  field.SetFieldNumber(number);
  field.SetFieldName(column.ResultName);
  return field;
}

void CreateResultTable(TQueryStatement& statement, TDataQuery& query) {
  TTableDefinition definition;
  uint16_t number = 0;
  for (auto& column : query.ResultColumns) definition.Fields.push_back(ResultFieldOf(*column, ++number));
  for (auto& column : query.ResultColumns) {
    if (column->AggregateKind != kAggregateAvg) continue;
    TFieldDescriptor count;
    count.SetFieldType(FIELD_INTEGER);
    count.SetFieldNumber(++number);
    count.SetFieldName(kAvgCountName + std::to_string(column->ResultFieldNumber));
    column->AvgCountField = number;
    definition.Fields.push_back(count);
  }
  definition.Language = int16_t(query.Language);
  definition.Sort = query.Sort;
  if (query.BlobBlockSizeGiven) definition.BlobBlockSize = query.BlobBlockSize;
  if (query.DescriptionGiven) definition.Description = query.TableDescription;
  definition.UserMajorVersion = int16_t(query.UserMajorVersion);
  definition.UserMinorVersion = int16_t(query.UserMinorVersion);
  if (query.Encrypted) {
    definition.Encrypted = true;
    definition.Password = query.EncryptionPassword;
  }

  const bool named = !query.TableName.empty();
  bool memory = false;
  TDataDirectory* database = nullptr;
  if (query.InMemory || named) {
    database = QueryDatabase(statement, query, query.InMemory ? "Memory" : query.DatabaseName, query.InMemory, memory);
  } else {
    TDataSession* session = statement.Database->Session();
    query.Session = session;
    database = session->OpenDataDirectory("", session->GetPrivateDirectory());
    query.OpenedDatabases.push_back(database);
  }
  const std::string name = named ? query.TableName : database->GetTempTableName(memory);

  auto cursor = std::make_unique<TDataCursor>(database);
  cursor->SetTableName(name);
  cursor->SetInMemory(memory);
  cursor->SetExclusive(true);
  cursor->SetSqlFlags(false, true, false);
  TDataSession* session = database->Session();
  const bool addPassword = query.Encrypted && !session->PasswordExists(query.EncryptionPassword);
  if (addPassword) session->AddPassword(query.EncryptionPassword);
  try {
    cursor->CreateTable(definition, true, true);
    // Made as a plain table and opened as a temporary one: its files go when it closes.
    cursor->SetSqlFlags(false, true, !named);
    cursor->Open();
  } catch (...) {
    if (addPassword) session->DeletePassword(query.EncryptionPassword);
    throw;
  }
  if (addPassword) session->DeletePassword(query.EncryptionPassword);
  query.OwnedResult = std::move(cursor);
  query.ResultCursor = query.OwnedResult.get();
}

}  // namespace

// ---- Shared pieces ---------------------------------------------------------------------------------

void OpenSourceTables(TQueryStatement& statement, TDataQuery& query) {
  for (auto& table : query.SourceTables) {
    bool memory = false;
    TDataDirectory* database = QueryDatabase(statement, query, table->DatabaseName, table->InMemory, memory);
    table->Database = database;
    auto cursor = std::make_unique<TDataCursor>(database);
    cursor->SetTableName(table->TableName);
    cursor->SetInMemory(memory);
    cursor->SetSqlFlags(true, false, false);
    if (statement.PasswordCallback) {
      TQueryStatement* owner = &statement;
      cursor->SetPasswordCallback([owner](TDataCursor&) { return owner->PasswordCallback(*owner) != 0; });
    }
    cursor->Open();
    table->Cursor = std::move(cursor);
    table->RecordBuffer.assign(table->Cursor->RecordSize(), 0);
  }
  for (size_t i = 0; i < query.SourceTables.size(); ++i) query.SourceTables[i]->JoinOrder = uint16_t(i + 1);
}

bool BindSourceColumn(TDataQuery& query, TExpToken& node) {
  for (auto& table : query.SourceTables) {
    if (!node.CorrelationName.empty() && !EqualsIgnoreCase(table->CorrelationName, node.CorrelationName)) continue;
    TDataCursor& cursor = *table->Cursor;
    for (uint16_t n = 1; n <= cursor.FieldCount(); ++n) {
      const TFieldDescriptor& f = cursor.Field(n);
      if (!SameName(f.FieldName(), node.ColumnName)) continue;
      node.FieldNumber = n;
      node.DataType = f.FieldType();
      node.SubType = f.SubType();
      node.DataSize = f.IsAutoInc() ? 4 : f.SlotSize();
      node.Scale = f.DeclaredScale();
      node.SourceTable = table.get();
      node.CorrelationName = table->CorrelationName;
      return true;
    }
    if (!node.CorrelationName.empty()) return false;
  }
  return false;
}

void CheckCondition(TDataQuery& query) {
  if (!query.Condition) return;
  TBindColumn bind = [](void* owner, TExpToken& node) {
    auto& q = *static_cast<TDataQuery*>(owner);
    if (!node.CorrelationName.empty() && FindCorrelation(q, node.CorrelationName) == nullptr)
      FailSql("Table correlation name '" + node.CorrelationName + "'" +
              " referenced in WHERE clause is not defined in the FROM clause");
    return BindSourceColumn(q, node);
  };
  CheckExpression(VELDOR_SQLPARSE, DatabaseNameOf(query), "", true, bind, &query, nullptr, query.Condition.Get(),
                  "WHERE or JOIN clause", &SubSelectAnswers());
  if (query.Condition->DataType != FIELD_BOOLEAN) FailSql("WHERE or JOIN clause must be a boolean expression");
}

void BindSelect(TQueryStatement& statement, TDataQuery& query) {
  query.Session = statement.Database != nullptr ? statement.Database->Session() : nullptr;
  if (query.Distinct && query.HasGroupBy) query.Distinct = 0;
  const bool into = !query.TableName.empty() || query.InMemory;
  if (into) query.RequestLive = 0;
  // Sources open for writing at the table level even when nothing writes through them: a
  // table object opened read-only would make every later cursor of the process on that
  // table read-only too (an UPDATE beside an open SELECT, INSERT INTO t SELECT ... FROM t).
  OpenSourceTables(statement, query);
  TDataTable& first = *query.SourceTables.front()->Cursor->Table();
  query.Language = query.LanguageGiven ? query.LanguageCode : uint16_t(first.Language());
  query.Sort = query.LanguageGiven || query.SortGiven ? query.SortCode : first.SortId();

  BindColumns(statement, query);
  NameColumns(query);
  for (size_t i = 0; i < query.ResultColumns.size(); ++i) query.ResultColumns[i]->ResultFieldNumber = uint16_t(i + 1);
  CheckUnion(query);

  if (!query.HasGroupBy) {
    if (query.HasHaving) FailSql("A GROUP BY clause must exist in order to use the HAVING clause");
    query.SingleGroup = std::all_of(query.ResultColumns.begin(), query.ResultColumns.end(),
                                    [](const auto& c) { return c->AggregateKind != kAggregateNone; });
    query.CountStarOnly = query.SingleGroup && query.SourceTables.size() == 1 && query.ResultColumns.size() == 1 &&
                          query.ResultColumns.front()->CountStar;
  }
  if (query.RequestLive && query.HasOrderBy && query.SourceTables.size() == 1) {
    const int index = OrderIndex(query);
    query.OrderByFromIndex = index >= 0;
    if (index >= 0) query.SourceTables.front()->Cursor->SetIndexNumber(index);
  }
  CheckCondition(query);
  PlanJoins(query);

  if (CanBeLive(statement, query, into)) {
    query.IsLiveResult = 1;
    query.CanEdit = query.RequestLive;
    query.ResultCursor = query.SourceTables.front()->Cursor.get();
    query.Bound = 1;
    return;
  }
  query.IsLiveResult = query.CanEdit = 0;
  BindHaving(query);
  ResolveLists(query);
  // UNION members write into the table of the chain's head, made when the head is bound.
  const bool member = std::any_of(statement.Parser().AllQueries().begin(), statement.Parser().AllQueries().end(),
                                  [&](const auto& q) { return q->UnionQuery == &query; });
  if (!member) {
    CreateResultTable(statement, query);
    for (TDataQuery* m = query.UnionQuery; m != nullptr; m = m->UnionQuery) m->UnionHead = &query;
  }
  query.Bound = 1;
}

}  // namespace veldor
