// INSERT, UPDATE and DELETE: binding targets and values, storing values, the statement's
// own transaction with its commit interval, and the row loops.
#include "sql/data_change.h"

#include <algorithm>
#include <cstring>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/name_text.h"
#include "sql/reading_locks.h"
#include "sql/select.h"

namespace veldor {

int32_t DefaultCommitInterval(uint16_t recordSize) {
  return std::clamp<int32_t>(32768 / std::max<int32_t>(recordSize, 1), 1, 8192);
}

namespace {

TSourceTable& TargetOf(TDataQuery& query) {
  for (auto& table : query.SourceTables)
    if (table->IsTarget) return *table;
  return *query.SourceTables.front();
}

const char* StatementName(const TDataQuery& query) {
  return query.StatementKind == kStatementInsert ? "INSERT" : "UPDATE";
}

// Values bind columns by name only: a string constant stays a string, whatever it spells.
bool BindValueColumn(void* owner, TExpToken& node) {
  if (node.Kind == kTokenConstant) return false;
  return BindSourceColumn(*static_cast<TDataQuery*>(owner), node);
}

void BindTargets(TDataQuery& query) {
  TSourceTable& target = TargetOf(query);
  TDataCursor& cursor = *target.Cursor;
  std::vector<std::unique_ptr<TUpdateField>> fields;
  for (auto& field : query.UpdateFields) {
    if (field->ColumnName == "*" && query.StatementKind == kStatementInsert) {
      for (uint16_t n = 1; n <= cursor.FieldCount(); ++n) {
        auto all = std::make_unique<TUpdateField>();
        all->ColumnName = cursor.Field(n).FieldName();
        all->CorrelationName = target.CorrelationName;
        all->ExpressionText = all->ColumnName;
        fields.push_back(std::move(all));
      }
      continue;
    }
    fields.push_back(std::move(field));
  }
  query.UpdateFields = std::move(fields);
  for (auto& field : query.UpdateFields) {
    TTokenTree probe = TTokenTree::New();
    probe->Kind = kTokenColumn;
    probe->ColumnName = field->ColumnName;
    probe->CorrelationName = field->CorrelationName;
    // Only the target's own fields can take values.
    if (field->ColumnName == "*" || !BindSourceColumn(query, *probe) || probe->SourceTable != &target)
      FailSql("Invalid column name '" + field->ColumnName + "'" + " or table correlation name " + "'" +
              field->CorrelationName + "'" + " specified in table columns");
    const TFieldDescriptor& f = cursor.Field(probe->FieldNumber);
    field->FieldNumber = probe->FieldNumber;
    field->ColumnName = f.FieldName();
    field->DataType = f.FieldType();
    field->SubType = f.SubType();
    field->DataSize = f.IsAutoInc() ? 4 : f.SlotSize();
    field->Scale = f.DeclaredScale();
  }
}

// Checks a value; a constant of another type than its column converts to it or fails with
// the messages of a comparison with the column.
void BindValue(TDataQuery& query, TUpdateField& field, TUpdateValue& value) {
  const std::string database = query.SourceTables.front()->Database->Name();
  CheckExpression(VELDOR_SQLPARSE, database, "", false, BindValueColumn, &query, nullptr, value.Expression.Get(),
                  "update values", &SubSelectAnswers());
  TExpToken& root = *value.Expression;
  if (root.Kind != kTokenConstant || root.IsParameter || root.IsNull || root.DataType == field.DataType) return;
  if (field.DataType == FIELD_BLOB || (field.DataType == FIELD_INTEGER && root.DataType == FIELD_INTEGER)) return;
  // The constant is compared with its column as `=` would be: that converts date texts and
  // gives the type messages.
  TTokenTree equal = TTokenTree::New();
  equal->Kind = kTokenBinary;
  equal->Code = kOpEqual;
  equal->Text.assign(1, '=');  // (a literal assigned here trips a false -Wrestrict of GCC 12)
  TTokenTree column = TTokenTree::New();
  column->Kind = kTokenColumn;
  column->Text = field.ColumnName;
  column->ColumnName = field.ColumnName;
  column->CorrelationName = TargetOf(query).CorrelationName;
  equal->Left = column.Release();
  equal->Right = value.Expression.Release();
  struct TGiveBack {
    TTokenTree& Equal;
    TUpdateValue& Value;
    ~TGiveBack() {
      Value.Expression.Reset(Equal->Right);
      Equal->Right = nullptr;
    }
  } giveBack{equal, value};
  CheckExpression(VELDOR_SQLPARSE, database, "", false, BindValueColumn, &query, nullptr, equal.Get(),
                  "update values", &SubSelectAnswers());
  TExpToken& constant = *equal->Right;
  if (constant.DataType == field.DataType) return;
  std::vector<uint8_t> buffer(std::max<size_t>({kConvertBufferSize, constant.Value.size(), size_t(field.DataSize) + 1}), 0);
  std::memcpy(buffer.data(), constant.Value.data(), constant.Value.size());
  if (!ConvertValue(constant.DataType, constant.DataSize, constant.Scale, buffer.data(), field.Scale, field.DataSize,
                    field.DataType, buffer.size()))
    return;  // left as it is: storing it reports the failed conversion
  constant.DataType = field.DataType;
  constant.SubType = field.SubType;
  constant.Scale = field.Scale;
  constant.SetDataSize(std::max<int32_t>(field.DataSize, 1));
  std::fill(constant.Value.begin(), constant.Value.end(), uint8_t(0));
  std::memcpy(constant.Value.data(), buffer.data(), std::min(buffer.size(), constant.Value.size()));
  if (field.DataType == FIELD_STRING) constant.SetDataSize(int32_t(strnlen(reinterpret_cast<const char*>(constant.Value.data()), constant.Value.size())) + 1);
}

void BindDataChange(TQueryStatement& statement, TDataQuery& query) {
  query.Session = statement.Database != nullptr ? statement.Database->Session() : nullptr;
  OpenSourceTables(statement, query);
  query.SourceTables.front()->IsTarget = 1;
  TDataTable& first = *query.SourceTables.front()->Cursor->Table();
  query.Language = uint16_t(first.Language());
  query.Sort = first.SortId();
  if (query.StatementKind != kStatementDelete) {
    BindTargets(query);
    const size_t values = query.InsertQuery != nullptr ? query.InsertQuery->ResultColumns.size()
                                                       : query.UpdateValues.size();
    if (values != query.UpdateFields.size()) FailSql("The number of values must match the number of table columns");
    if (query.InsertQuery == nullptr)
      for (size_t i = 0; i < values; ++i) BindValue(query, *query.UpdateFields[i], *query.UpdateValues[i]);
  }
  if (query.StatementKind != kStatementInsert) {
    CheckCondition(query);
    PlanJoins(query);
  }
  query.Bound = 1;
}

// Stores one value into the target record, raising when it does not convert.
void Store(TDataQuery& query, TDataCursor& target, uint8_t* record, const TUpdateField& field,
           const TExpToken& value, const std::string& text) {
  if (!StoreValue(target, record, field.FieldNumber, value, query.StatementKind == kStatementUpdate))
    FailSql("Type mismatch between column " + field.ColumnName + " and constant value " + text + " in " +
            StatementName(query) + " statement");
}

// The statement's transaction: started when the database has none, committed every
// `Interval` rows when the statement owns it or a COMMIT INTERVAL was given, committed at
// the end and rolled back on an error when the statement owns it.
//
// `reading`, when given, holds the reader slots of the tables the statement reads besides
// its transaction's tables: they are given back before every commit and taken again after
// an intermediate one, so that a commit never waits for a slot while another process's
// commit waits for one of this statement's slots.
class TStatementTransaction {
 public:
  TStatementTransaction(TDataQuery& query, TDataCursor& target, TReadingLocks* reading = nullptr)
      : Query_(query), Target_(target), Database_(*target.Database()), Reading_(reading) {
    Owned_ = !Database_.InTransaction();
    Interval_ = query.CommitIntervalGiven && query.CommitInterval > 0 ? query.CommitInterval
                                                                       : DefaultCommitInterval(target.RecordSize());
    CommitAlong_ = Owned_ || query.CommitIntervalGiven;
    if (Owned_) {
      const int result = Database_.StartTransaction();
      if (result < 0) RaiseTableError(uint16_t(-result), target.TableName());
    }
  }
  ~TStatementTransaction() {
    if (!Owned_ || Done_) return;
    try {
      Database_.RollbackTransaction();
    } catch (...) {
      // The error that ended the statement is the one to report.
    }
  }
  TStatementTransaction(const TStatementTransaction&) = delete;
  TStatementTransaction& operator=(const TStatementTransaction&) = delete;

  void RowDone() {
    ++Rows_;
    if (!CommitAlong_ || Rows_ % Interval_ != 0) return;
    if (Reading_) Reading_->Release();
    Database_.CommitTransaction(false, Query_.CommitFlush != 0);
    Committed_ = Rows_;
    Target_.AcceptOwnChanges();
    if (Reading_) Reading_->LockReading(Query_);
  }
  // An error that ends the statement after some of its intervals were committed says so:
  // those rows stay changed, and only the rest is rolled back.
  void TellCommitted(Exception& error) const {
    if (Committed_ > 0 && !Done_)
      error.Message += " (" + std::to_string(Committed_) + (Committed_ == 1 ? " row was" : " rows were") +
                       " committed before the error and stay changed; the rest is rolled back)";
  }
  void Finish() {
    if (Reading_) Reading_->Release();
    if (Owned_) Database_.CommitTransaction(true, Query_.CommitFlush != 0);
    Done_ = true;
  }
  int32_t Rows() const { return Rows_; }

 private:
  TDataQuery& Query_;
  TDataCursor& Target_;
  TDataDirectory& Database_;
  TReadingLocks* Reading_;
  bool Owned_ = false;
  bool CommitAlong_ = false;
  bool Done_ = false;
  int32_t Interval_ = 1;
  int32_t Rows_ = 0;
  int32_t Committed_ = 0;  // rows of the intervals committed so far
};

TTokenTree EvaluateValue(TDataQuery& query, const TExpToken* expression) {
  return EvaluateExpression(expression, nullptr, &query, query.Sort, query.Language, SourceFetcher(),
                            &SubSelectAnswers());
}

int32_t ExecuteInsert(TDataQuery& query) {
  TDataCursor& target = *TargetOf(query).Cursor;
  target.SetSuppressAutoInc(query.NoAutoInc != 0);
  std::vector<uint8_t> record(target.RecordSize());
  target.InitRecord(record.data());
  try {
    for (size_t i = 0; i < query.UpdateFields.size(); ++i) {
      TTokenTree value = EvaluateValue(query, query.UpdateValues[i]->Expression.Get());
      Store(query, target, record.data(), *query.UpdateFields[i], *value, query.UpdateValues[i]->ExpressionText);
    }
    target.AppendRecord(record.data(), false);
  } catch (...) {
    target.FreeAllBlobs(false);
    throw;
  }
  target.FreeAllBlobs(false);
  return 1;
}

int32_t ExecuteInsertSelect(TQueryStatement& statement, TDataQuery& query) {
  TDataCursor& target = *TargetOf(query).Cursor;
  TDataQuery& select = *query.InsertQuery;
  TDataCursor* source = select.ResultCursor;
  TStatementProgress progress(statement);
  // A statement stopped while its SELECT ran inserts nothing: the SELECT's rows are cut
  // short. Nor does it start a transaction (which may wait for other processes' locks).
  if (source == nullptr || !progress.Poll()) return 0;
  target.SetSuppressAutoInc(query.NoAutoInc != 0);
  std::vector<uint8_t> row(source->RecordSize());
  std::vector<uint8_t> record(target.RecordSize());
  const int64_t total = source->GetRecordCount();
  int64_t read = 0;
  TStatementTransaction transaction(query, target);
  try {
    source->SetToBegin();
    while (progress.Poll() && source->GetNextRecord(row.data()) == 0) {
      target.InitRecord(record.data());
      try {
        for (size_t i = 0; i < query.UpdateFields.size(); ++i) {
          TTokenTree value = TTokenTree::New();
          value->FieldNumber = uint16_t(i + 1);
          source->FetchColumn(row.data(), *value);
          const TFieldDescriptor& f = source->Field(uint16_t(i + 1));
          value->DataType = f.FieldType();
          value->SubType = f.SubType();
          value->Scale = f.DeclaredScale();
          Store(query, target, record.data(), *query.UpdateFields[i], *value, select.ResultColumns[i]->ExpressionText);
        }
        target.AppendRecord(record.data(), false);
      } catch (...) {
        target.FreeAllBlobs(false);
        throw;
      }
      target.FreeAllBlobs(false);
      transaction.RowDone();
      if (total > 0 && !progress(int(++read * 100 / total))) break;
    }
    progress.Finish();
    transaction.Finish();
  } catch (Exception& e) {
    transaction.TellCommitted(e);
    throw;
  }
  return transaction.Rows();
}

int32_t ExecuteChange(TQueryStatement& statement, TDataQuery& query) {
  TSourceTable& target = TargetOf(query);
  TDataCursor& cursor = *target.Cursor;
  if (query.StatementKind == kStatementUpdate) cursor.SetSuppressAutoInc(query.NoAutoInc != 0);
  // The rows are selected from one state of the tables: the transaction's table locks keep
  // other processes' writes out of the target's database (its tables are locked before any
  // row is looked at), and the tables of other databases are read under their query read
  // locks, taken after the table locks.
  TStatementProgress progress(statement);
  // A statement stopped while a sub-select ran changes nothing: its answers are cut short.
  if (!progress.Poll()) return 0;
  TReadingLocks reading;
  TStatementTransaction transaction(query, cursor, &reading);
  reading.LockReading(query);
  ClearRunState(query);
  PushConditions(query, 1);
  ReorderJoins(query);
  PushConditions(query, 2);
  std::vector<uint8_t> image(cursor.RecordSize());
  try {
    WalkJoinedRows(query, [&] {
      if (query.StatementKind == kStatementDelete) {
        cursor.DeleteRecord(target.RecordBuffer.data(), false);
      } else {
        cursor.LockRecord(0);
        struct TUnlock {
          TDataCursor& Cursor;
          ~TUnlock() {
            try {
              Cursor.UnlockRecord(0);
            } catch (...) {
            }
            Cursor.FreeAllBlobs(false);
          }
        } unlock{cursor};
        image = target.RecordBuffer;
        for (size_t i = 0; i < query.UpdateFields.size(); ++i) {
          TTokenTree value = EvaluateValue(query, query.UpdateValues[i]->Expression.Get());
          Store(query, cursor, image.data(), *query.UpdateFields[i], *value, query.UpdateValues[i]->ExpressionText);
        }
        cursor.ModifyRecord(image.data(), false, false);
      }
      transaction.RowDone();
      return true;
    }, progress);
    progress.Finish();
    transaction.Finish();
  } catch (Exception& e) {
    transaction.TellCommitted(e);
    throw;
  }
  return transaction.Rows();
}

class TDataChangeRunner final : public TQueryRunner {
 public:
  void Bind(TQueryStatement& statement, TDataQuery& query) override { BindDataChange(statement, query); }
  TDataCursor* Run(TQueryStatement& statement, TDataQuery& query, int32_t& rowCount) override {
    if (query.StatementKind == kStatementInsert)
      rowCount = query.InsertQuery != nullptr ? ExecuteInsertSelect(statement, query) : ExecuteInsert(query);
    else
      rowCount = ExecuteChange(statement, query);
    query.RowCount = rowCount;
    return nullptr;
  }
};

}  // namespace

TQueryRunner& DataChangeRunner() {
  static TDataChangeRunner runner;
  return runner;
}

}  // namespace veldor
