// CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX: the parsed column
// and key definitions turned into field and index descriptors and handed to the work
// cursor's table maintenance.
#include <algorithm>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/name_text.h"
#include "sql/data_change.h"
#include "sql/select.h"

namespace veldor {
namespace {

constexpr size_t kMaxTableFields = 1024;

// The type, subtype, declared size and scale a column's type node gives, its arguments
// checked as a CAST target's are.
void TypeOf(TDataQuery& query, const TExpToken& typeNode, TFieldDescriptor& field) {
  TTokenTree cast = TTokenTree::New();
  cast->Kind = kTokenFunction;
  cast->Code = kFuncCast;
  cast->Text = "CAST";
  cast->DataType = typeNode.DataType;
  cast->SubType = typeNode.SubType;
  cast->Left = AcquireToken();
  cast->Left->Kind = kTokenConstant;
  cast->Left->IsNull = 1;
  cast->Left->Text = "NULL";
  cast->Right = CopyTokenTree(typeNode.Right).Release();
  CheckExpression(VELDOR_SQLPARSE, "", query.TableName, false, nullptr, &query, nullptr, cast.Get(), "table column");
  field.SetFieldType(typeNode.DataType);
  field.SetSubType(typeNode.DataType == FIELD_BLOB ? cast->SubType : typeNode.SubType);
  field.SetDeclaredSize(0);
  field.SetDeclaredScale(0);
  if (typeNode.DataType == FIELD_STRING) field.SetDeclaredSize(uint8_t(cast->DataSize - 1));
  if (typeNode.DataType == FIELD_BYTES) field.SetDeclaredSize(uint8_t(cast->DataSize));
  if (typeNode.DataType == FIELD_BCD) field.SetDeclaredScale(cast->Scale);
}

void ApplyOptions(const TCreateField& column, TFieldDescriptor& field, bool onlyGiven) {
  if (!onlyGiven || column.DescriptionGiven) field.SetDescription(column.Description);
  if (!onlyGiven || column.NotNullGiven) field.SetRequired(column.NotNull != 0);
  if (!onlyGiven || column.CharCaseGiven) field.SetCharCase(column.CharCase);
  if (!onlyGiven || column.MinimumGiven) field.SetMinValue(column.MinimumText);
  if (!onlyGiven || column.MaximumGiven) field.SetMaxValue(column.MaximumText);
  if (!onlyGiven || column.DefaultGiven) field.SetDefaultValue(column.DefaultText);
  field.SetCalculated(false);
}

TFieldDescriptor NewField(TDataQuery& query, const TCreateField& column, uint16_t number) {
  TFieldDescriptor field;
  field.SetFieldNumber(number);
  field.SetFieldName(column.ColumnName);
  TypeOf(query, *column.Expression, field);
  ApplyOptions(column, field, false);
  return field;
}

// An index descriptor whose key columns are found by name in `fields` (0 when missing).
TIndexDescriptor IndexOf(const TCreateIndex& index, const std::vector<TFieldDescriptor>& fields, bool primary) {
  TIndexDescriptor d;
  if (!primary) d.SetName(index.IndexName);
  d.SetDescending(index.Descending != 0);
  d.SetCaseInsensitive(index.NoCase != 0);
  d.SetUnique(index.Unique != 0);
  d.SetCompression(index.Compression);
  d.SetFieldCount(uint8_t(std::min<size_t>(index.ColumnNames.size(), 255)));
  for (size_t k = 0; k < index.ColumnNames.size() && k < 16; ++k) {
    uint16_t number = 0;
    for (const TFieldDescriptor& f : fields)
      if (EqualsIgnoreCase(TrimBlanks(f.FieldName()), TrimBlanks(index.ColumnNames[k]))) {
        number = f.FieldNumber();
        break;
      }
    d.SetFieldNumber(int(k), number);
  }
  return d;
}

// The cursor a structure statement works through, on its target table.
TDataCursor& WorkCursor(TDataQuery& query, bool writable) {
  TDataCursor& cursor = *query.WorkCursor;
  if (cursor.IsOpen()) cursor.Close();
  cursor.SetExclusive(writable);
  cursor.SetReadOnly(false);
  cursor.SetSqlFlags(false, false, false);
  return cursor;
}

// Closes the work cursor when a step fails or ends.
struct TCloseAfter {
  TDataCursor& Cursor;
  ~TCloseAfter() {
    try {
      Cursor.Close();
    } catch (...) {
    }
  }
};

void BindTableDefinition(TQueryStatement& statement, TDataQuery& query) {
  query.Session = statement.Database != nullptr ? statement.Database->Session() : nullptr;
  bool memory = false;
  TDataDirectory* database = QueryDatabase(statement, query, query.DatabaseName, query.InMemory, memory);
  auto cursor = std::make_unique<TDataCursor>(database);
  cursor->SetTableName(query.TableName);
  cursor->SetInMemory(memory);
  if (statement.PasswordCallback) {
    TQueryStatement* owner = &statement;
    cursor->SetPasswordCallback([owner](TDataCursor&) { return owner->PasswordCallback(*owner) != 0; });
  }
  query.WorkCursor = std::move(cursor);
  query.Bound = 1;
}

void ExecuteCreateTable(TDataQuery& query) {
  if (query.CreateFields.size() > kMaxTableFields) RaiseTableError(VELDOR_FLDLIMIT, query.TableName);
  TTableDefinition definition;
  uint16_t number = 0;
  for (const auto& column : query.CreateFields) definition.Fields.push_back(NewField(query, *column, ++number));
  definition.Indexes.emplace_back();
  if (!query.CreateIndexes.empty()) definition.Indexes[0] = IndexOf(*query.CreateIndexes.front(), definition.Fields, true);
  definition.Language = int16_t(query.LanguageCode);
  definition.Sort = query.SortCode;
  if (query.BlobBlockSizeGiven) definition.BlobBlockSize = query.BlobBlockSize;
  definition.Description = query.TableDescription;
  definition.Encrypted = query.Encrypted != 0 && !query.EncryptionPassword.empty();
  definition.Password = definition.Encrypted ? query.EncryptionPassword : std::string();
  definition.UserMajorVersion = int16_t(query.UserMajorVersionGiven ? query.UserMajorVersion : 1);
  definition.UserMinorVersion = int16_t(query.UserMinorVersion);
  TDataCursor& cursor = WorkCursor(query, true);
  if (query.IfNotExists && cursor.Database()->TableExists(cursor.TableName(), cursor.InMemory())) return;
  cursor.CreateTable(definition, false, true);
  // LAST AUTOINC n: the new, empty table is made again with n as its last auto-increment
  // value, so that the first record gets n + 1.
  if (query.LastAutoIncGiven) cursor.RestructureTable(definition, true, query.LastAutoInc, true);
}

void ExecuteCreateIndex(TDataQuery& query) {
  TDataCursor& cursor = WorkCursor(query, true);
  cursor.Open();
  TCloseAfter close{cursor};
  TIndexDescriptor index = IndexOf(*query.CreateIndexes.front(), cursor.Fields(), false);
  cursor.AddIndex(index);
}

// A working field's place by name, or the "not found" message.
size_t FindColumn(const std::vector<TFieldDescriptor>& fields, const std::string& name) {
  for (size_t i = 0; i < fields.size(); ++i)
    if (EqualsIgnoreCase(TrimBlanks(fields[i].FieldName()), TrimBlanks(name))) return i;
  FailSql("Column " + name + " not found");
}

void ExecuteAlterTable(TDataQuery& query) {
  TDataCursor& cursor = WorkCursor(query, true);
  cursor.Open();
  TTableInformation info;
  std::vector<TFieldDescriptor> fields;
  std::vector<TIndexDescriptor> indexes;
  {
    TCloseAfter close{cursor};
    info = cursor.GetTableInformation();
    if (!query.EncryptionGiven) {
      query.Encrypted = info.Encrypted;
      query.EncryptionPassword = info.Password;
    }
    if (!query.LanguageGiven) query.LanguageCode = uint16_t(info.Language);
    if (!query.SortGiven) query.SortCode = info.Sort;
    if (!query.BlobBlockSizeGiven) query.BlobBlockSize = uint16_t(info.BlobBlockSize);
    if (!query.DescriptionGiven) query.TableDescription = info.Description;
    if (!query.UserMajorVersionGiven) query.UserMajorVersion = uint16_t(info.UserMajorVersion);
    if (!query.UserMinorVersionGiven) query.UserMinorVersion = uint16_t(info.UserMinorVersion);

    fields = info.Fields;
    uint16_t highest = 0;
    for (const TFieldDescriptor& f : fields) highest = std::max(highest, f.FieldNumber());
    for (const auto& change : query.CreateFields) {
      const size_t n = fields.size();
      if (change->Position != 0 && change->Position > n)
        FailSql("AT column position must be between 1 and " + std::to_string(n));
      if (change->IsAdd) {
        if (n + 1 > kMaxTableFields) RaiseTableError(VELDOR_FLDLIMIT, query.TableName);
        TFieldDescriptor field = NewField(query, *change, ++highest);
        fields.insert(change->Position != 0 ? fields.begin() + (change->Position - 1) : fields.end(), field);
      } else if (change->IsRedefine) {
        size_t at = FindColumn(fields, change->ColumnName);
        if (change->Position != 0) {
          TFieldDescriptor moved = fields[at];
          fields.erase(fields.begin() + std::ptrdiff_t(at));
          at = change->Position - 1;
          fields.insert(fields.begin() + std::ptrdiff_t(at), moved);
        }
        TFieldDescriptor& field = fields[at];
        const TExpToken* type = !change->NewColumnName.empty() && change->NewExpression ? change->NewExpression.Get()
                                                                                        : change->Expression.Get();
        if (type != nullptr && type->DataType != 0) TypeOf(query, *type, field);
        if (!change->NewColumnName.empty()) field.SetFieldName(change->NewColumnName);
        ApplyOptions(*change, field, true);
      } else if (change->IsDrop) {
        fields.erase(fields.begin() + std::ptrdiff_t(FindColumn(fields, change->ColumnName)));
      }
    }

    indexes = info.Indexes;
    if (indexes.empty()) indexes.emplace_back();
    if (!query.CreateIndexes.empty()) {
      const TCreateIndex& key = *query.CreateIndexes.front();
      if (key.IsAdd && !info.NoPrimaryKey) FailSql("Cannot REDEFINE the primary key using the ADD keyword");
      if (key.IsDrop)
        indexes[0] = TIndexDescriptor();
      else
        indexes[0] = IndexOf(key, fields, true);
    }
  }
  TTableDefinition definition;
  definition.Fields = fields;
  definition.Indexes = indexes;
  definition.Language = int16_t(query.LanguageCode);
  definition.Sort = query.SortCode;
  definition.BlobBlockSize = query.BlobBlockSize;
  definition.Description = query.TableDescription;
  definition.Encrypted = query.Encrypted != 0 && !query.EncryptionPassword.empty();
  definition.Password = definition.Encrypted ? query.EncryptionPassword : std::string();
  definition.UserMajorVersion = int16_t(query.UserMajorVersion);
  definition.UserMinorVersion = int16_t(query.UserMinorVersion);
  TDataCursor& again = WorkCursor(query, true);
  again.RestructureTable(definition, query.NoBackup != 0, query.LastAutoIncGiven ? query.LastAutoInc : -1, true);
}

void ExecuteDropTable(TDataQuery& query) {
  TDataCursor& cursor = WorkCursor(query, true);
  if (query.IfExists && !cursor.Database()->TableExists(cursor.TableName(), cursor.InMemory())) return;
  cursor.DeleteTable();
}

void ExecuteDropIndex(TDataQuery& query) {
  TDataCursor& cursor = WorkCursor(query, true);
  cursor.Open();
  TCloseAfter close{cursor};
  cursor.DeleteIndex(EqualsIgnoreCase(query.IndexName, "PRIMARY") ? std::string() : query.IndexName, true);
}

class TTableDefinitionRunner final : public TQueryRunner {
 public:
  void Bind(TQueryStatement& statement, TDataQuery& query) override { BindTableDefinition(statement, query); }
  TDataCursor* Run(TQueryStatement&, TDataQuery& query, int32_t& rowCount) override {
    switch (query.StatementKind) {
      case kStatementCreateTable: ExecuteCreateTable(query); break;
      case kStatementCreateIndex: ExecuteCreateIndex(query); break;
      case kStatementAlterTable: ExecuteAlterTable(query); break;
      case kStatementDropTable: ExecuteDropTable(query); break;
      case kStatementDropIndex: ExecuteDropIndex(query); break;
      default: break;
    }
    rowCount = 0;
    query.RowCount = 0;
    return nullptr;
  }
};

}  // namespace

TQueryRunner& TableDefinitionRunner() {
  static TTableDefinitionRunner runner;
  return runner;
}

}  // namespace veldor
