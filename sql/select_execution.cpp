// Running a bound SELECT: live results, result rows, aggregates, grouping, DISTINCT,
// ORDER BY and TOP, and the answers of IN sub-selects.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "engine/record_sort.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "sql/reading_locks.h"
#include "sql/select.h"

namespace veldor {
namespace {

size_t TextLength(const TExpToken& value) {
  const size_t limit = std::min(value.Value.size(), size_t(std::max(value.DataSize, 0)));
  return strnlen(reinterpret_cast<const char*>(value.Value.data()), limit);
}

// A numeric slot read as the kind of number its type adds and compares as.
struct TNumber {
  bool Float = false;
  double Real = 0;
  int64_t Whole = 0;  // integers, dates, times; BCD as currency
};

TNumber ReadNumber(uint8_t type, const uint8_t* slot) {
  TNumber n;
  switch (type) {
    case FIELD_SMALLINT: n.Whole = int16_t(LoadU16(slot)); break;
    case FIELD_WORD: n.Whole = LoadU16(slot); break;
    case FIELD_INTEGER: case FIELD_DATE: case FIELD_TIME: n.Whole = LoadI32(slot); break;
    case FIELD_LARGEINT: n.Whole = int64_t(LoadU64(slot)); break;
    case FIELD_BCD: BCDToCurrency(slot, n.Whole); break;
    default: n.Float = true; n.Real = LoadDouble(slot); break;
  }
  return n;
}

void WriteNumber(uint8_t type, uint8_t scale, const TNumber& n, uint8_t* slot) {
  switch (type) {
    case FIELD_SMALLINT: case FIELD_WORD: StoreU16(slot, uint16_t(n.Whole)); break;
    case FIELD_INTEGER: case FIELD_DATE: case FIELD_TIME: StoreI32(slot, int32_t(n.Whole)); break;
    case FIELD_LARGEINT: StoreU64(slot, uint64_t(n.Whole)); break;
    case FIELD_BCD: CurrencyToBCD(n.Whole, scale, slot); break;
    default: StoreDouble(slot, n.Real); break;
  }
}

// ---- Sub-selects ----------------------------------------------------------------------------------

class TSubSelectAnswers final : public TSubSelectSource {
 public:
  bool DescribeResult(void*, TExpToken& node, int& columnCount) override {
    const TDataQuery* sub = node.SubQuery;
    if (sub == nullptr) return false;
    columnCount = int(sub->ResultColumns.size());
    if (columnCount < 1) return true;
    const TResultField& first = *sub->ResultColumns.front();
    node.DataType = first.DataType;
    node.SubType = first.SubType;
    node.DataSize = first.DataSize;
    node.Scale = first.Scale;
    return true;
  }

  TTokenTree Evaluate(void*, void*, const TExpToken& node) override {
    TTokenTree value = TTokenTree::New();
    value->Kind = kTokenConstant;
    value->DataType = node.DataType;
    value->IsNull = 1;
    return value;
  }

  // IN compares as `=` does: NULL equals NULL, integers exactly, text by the collation.
  bool Search(void*, void*, const TExpToken& equal) override {
    const TExpToken& tested = *equal.Left;
    TDataQuery* sub = equal.Right != nullptr ? equal.Right->SubQuery : nullptr;
    if (sub == nullptr) return false;
    Load(*sub);
    if (tested.IsNull) return sub->SubSelectHasNull != 0;
    if (IsStringLike(tested.DataType, tested.SubType)) {
      const TCollation& collation = GetCollation(sub->Language, sub->Sort);
      const std::string text(reinterpret_cast<const char*>(tested.Value.data()), TextLength(tested));
      auto less = [&](const std::string& a, const std::string& b) { return collation.Compare(a, b, false) < 0; };
      auto at = std::lower_bound(sub->SubSelectTexts.begin(), sub->SubSelectTexts.end(), text, less);
      return at != sub->SubSelectTexts.end() && collation.Compare(*at, text, false) == 0;
    }
    if (IsNumericType(tested.DataType)) {
      const TNumber n = ReadNumber(tested.DataType, tested.Value.data());
      const bool integer = IsIntegerType(tested.DataType);
      const double real = integer ? double(n.Whole) : n.Float ? n.Real : double(n.Whole) / 10000.0;
      if (integer && std::binary_search(sub->SubSelectIntegers.begin(), sub->SubSelectIntegers.end(), n.Whole))
        return true;
      if (!integer && std::nearbyint(real) == real && std::fabs(real) < 9.2e18 &&
          std::binary_search(sub->SubSelectIntegers.begin(), sub->SubSelectIntegers.end(), int64_t(real)))
        return true;
      return std::binary_search(sub->SubSelectNumbers.begin(), sub->SubSelectNumbers.end(), real);
    }
    for (const TTokenTree& value : sub->SubSelectValues) {
      std::optional<bool> same = CompareValues(kOpEqual, tested, *value);
      if (same && *same) return true;
    }
    return false;
  }

 private:
  // The first column of the sub-select's last run, read once per run.
  static void Load(TDataQuery& sub) {
    if (sub.SubSelectLoaded) return;
    sub.SubSelectIntegers.clear();
    sub.SubSelectNumbers.clear();
    sub.SubSelectTexts.clear();
    sub.SubSelectValues.clear();
    sub.SubSelectHasNull = 0;
    TDataCursor* cursor = sub.ResultCursor;
    if (cursor != nullptr && cursor->IsOpen()) {
      std::vector<uint8_t> record(cursor->RecordSize());
      const TFieldDescriptor& f = cursor->Field(1);
      cursor->SetToBegin();
      while (cursor->GetNextRecord(record.data()) == 0) {
        TTokenTree value = TTokenTree::New();
        value->Kind = kTokenConstant;
        value->FieldNumber = 1;
        value->DataType = f.FieldType();
        value->SubType = f.SubType();
        value->Scale = f.DeclaredScale();
        cursor->FetchColumn(record.data(), *value);
        if (value->IsNull) {
          sub.SubSelectHasNull = 1;
        } else if (IsStringLike(value->DataType, value->SubType)) {
          sub.SubSelectTexts.emplace_back(reinterpret_cast<const char*>(value->Value.data()), TextLength(*value));
        } else if (IsIntegerType(value->DataType)) {
          sub.SubSelectIntegers.push_back(ReadNumber(value->DataType, value->Value.data()).Whole);
        } else if (IsNumericType(value->DataType)) {
          const TNumber n = ReadNumber(value->DataType, value->Value.data());
          sub.SubSelectNumbers.push_back(n.Float ? n.Real : double(n.Whole) / 10000.0);
        } else {
          sub.SubSelectValues.push_back(std::move(value));
        }
      }
      const TCollation& collation = GetCollation(sub.Language, sub.Sort);
      std::sort(sub.SubSelectTexts.begin(), sub.SubSelectTexts.end(),
                [&](const std::string& a, const std::string& b) { return collation.Compare(a, b, false) < 0; });
      std::sort(sub.SubSelectIntegers.begin(), sub.SubSelectIntegers.end());
      std::sort(sub.SubSelectNumbers.begin(), sub.SubSelectNumbers.end());
    }
    sub.SubSelectLoaded = 1;
  }
};

// ---- Aggregate values -----------------------------------------------------------------------------

int CompareNumbers(const TNumber& a, const TNumber& b) {
  if (a.Float) return a.Real < b.Real ? -1 : a.Real > b.Real ? 1 : 0;
  return a.Whole < b.Whole ? -1 : a.Whole > b.Whole ? 1 : 0;
}

// Folds the aggregate columns of `input` into `output` (rows of the result table).
class TAggregator {
 public:
  TAggregator(TDataQuery& query, TDataCursor& result) : Query_(query), Result_(result) {
    Carry_.assign(query.ResultColumns.size(), TNumber{});
  }

  void Merge(uint8_t* output, const uint8_t* input) {
    std::vector<uint8_t> in(256), out(256);
    for (const auto& column : Query_.ResultColumns) {
      if (column->AggregateKind == kAggregateNone) continue;
      const uint16_t field = column->ResultFieldNumber;
      const uint8_t type = Result_.Field(field).FieldType();
      const bool inNull = Result_.GetField(field, input, in.data());
      if (column->AggregateKind == kAggregateAvg) MergeCount(column->AvgCountField, output, input);
      if (inNull) continue;
      const bool outNull = Result_.GetField(field, output, out.data());
      if (outNull) {
        Result_.PutField(field, output, in.data());
        continue;
      }
      const TNumber a = ReadNumber(type, out.data());
      const TNumber b = ReadNumber(type, in.data());
      TNumber merged = a;
      switch (column->AggregateKind) {
        case kAggregateMin: if (CompareNumbers(b, a) < 0) merged = b; break;
        case kAggregateMax: if (CompareNumbers(b, a) > 0) merged = b; break;
        default:
          merged.Real = a.Real + b.Real;
          merged.Whole = int64_t(uint64_t(a.Whole) + uint64_t(b.Whole));
          break;
      }
      WriteNumber(type, Result_.Field(field).DeclaredScale(), merged, out.data());
      Result_.PutField(field, output, out.data());
    }
  }

  // A finished group: averages divided out, running sums carried over from earlier groups.
  void Finish(uint8_t* row) {
    std::vector<uint8_t> value(256), count(8);
    for (size_t i = 0; i < Query_.ResultColumns.size(); ++i) {
      const TResultField& column = *Query_.ResultColumns[i];
      const uint16_t field = column.ResultFieldNumber;
      if (column.AggregateKind == kAggregateAvg) {
        const bool null = Result_.GetField(field, row, value.data());
        const bool noCount = Result_.GetField(column.AvgCountField, row, count.data());
        const int32_t n = noCount ? 0 : LoadI32(count.data());
        StoreDouble(value.data(), n == 0 || null ? 0.0 : LoadDouble(value.data()) / double(n));
        Result_.PutField(field, row, value.data());
      } else if (column.AggregateKind == kAggregateRunSum) {
        if (Result_.GetField(field, row, value.data())) continue;
        const uint8_t type = Result_.Field(field).FieldType();
        TNumber total = ReadNumber(type, value.data());
        total.Real += Carry_[i].Real;
        total.Whole = int64_t(uint64_t(total.Whole) + uint64_t(Carry_[i].Whole));
        Carry_[i] = total;
        WriteNumber(type, Result_.Field(field).DeclaredScale(), total, value.data());
        Result_.PutField(field, row, value.data());
      }
    }
  }

 private:
  void MergeCount(uint16_t field, uint8_t* output, const uint8_t* input) {
    uint8_t a[8] = {}, b[8] = {};
    const int32_t x = Result_.GetField(field, output, a) ? 0 : LoadI32(a);
    const int32_t y = Result_.GetField(field, input, b) ? 0 : LoadI32(b);
    StoreI32(a, x + y);
    Result_.PutField(field, output, a);
  }

  TDataQuery& Query_;
  TDataCursor& Result_;
  std::vector<TNumber> Carry_;
};

// ---- Result rows ----------------------------------------------------------------------------------

TTokenTree IntegerValue(int32_t n) {
  TTokenTree value = TTokenTree::New();
  value->Kind = kTokenConstant;
  value->DataType = FIELD_INTEGER;
  value->SetDataSize(4);
  StoreI32(value->Value.data(), n);
  return value;
}

// Fills `record` (of the result cursor) from the current joined row: the row's own values,
// and for aggregates the values one row contributes (COUNT 1 or 0, AVG's count beside it).
void BuildRow(TDataQuery& query, TDataCursor& result, uint8_t* record) {
  const uint16_t columns = uint16_t(query.ResultColumns.size());
  result.InitRecord(record);
  for (uint16_t i = 0; i < std::min<uint16_t>(columns, result.FieldCount()); ++i) {
    const TResultField& column = *query.ResultColumns[i];
    const uint16_t field = uint16_t(i + 1);
    const TExpToken* root = column.Expression.Get();
    if (column.CountStar) {
      StoreValue(result, record, field, *IntegerValue(1));
      continue;
    }
    const TExpToken* argument = column.AggregateKind != kAggregateNone ? root->Left : root;
    TTokenTree value =
        EvaluateExpression(argument, nullptr, &query, query.Sort, query.Language, SourceFetcher(), &SubSelectAnswers());
    if (column.AggregateKind == kAggregateCount) {
      StoreValue(result, record, field, *IntegerValue(value->IsNull ? 0 : 1));
      continue;
    }
    StoreValue(result, record, field, *value);
    if (column.AggregateKind == kAggregateAvg && column.AvgCountField != 0)
      StoreValue(result, record, column.AvgCountField, *IntegerValue(value->IsNull ? 0 : 1));
  }
}

// The single group of a query whose columns are all aggregates, before its first row:
// NULL sums, extremes and averages, zero counts.
void EmptyGroup(TDataQuery& query, TDataCursor& result, uint8_t* record) {
  result.InitRecord(record);
  for (const auto& column : query.ResultColumns) {
    result.PutField(column->ResultFieldNumber, record, nullptr);
    if (column->AggregateKind == kAggregateCount)
      StoreValue(result, record, column->ResultFieldNumber, *IntegerValue(0));
    if (column->AvgCountField != 0) StoreValue(result, record, column->AvgCountField, *IntegerValue(0));
  }
}

std::vector<TFieldDescriptor> SortFields(TDataCursor& result, const std::vector<uint16_t>& fields,
                                         const std::vector<uint8_t>* descending) {
  std::vector<TFieldDescriptor> out;
  for (size_t i = 0; i < fields.size(); ++i) {
    TFieldDescriptor f = result.Field(fields[i]);
    if (descending != nullptr && (*descending)[i] != 0) f.Bytes[kSortDescendingOffset] = 1;
    out.push_back(f);
  }
  return out;
}

// Keeps the first `count` rows of the result table.
void KeepFirstRows(TDataCursor& result, int32_t count) {
  std::vector<uint8_t> record(result.RecordSize());
  int64_t rows = result.GetRecordCount();
  result.SetToEnd();
  while (rows > count && result.GetPriorRecord(record.data()) == 0) {
    result.DeleteRecord(record.data(), false);
    --rows;
  }
}

TDataCursor* RunLive(TDataQuery& query) {
  TSourceTable& table = *query.SourceTables.front();
  ClearRunState(query);
  PushConditions(query, 2);
  if (query.ResidualCondition) {
    // Conditions with sub-selects are judged row by row through a callback filter.
    TDataQuery* q = &query;
    TSourceTable* t = &table;
    TFilter* filter = table.Cursor->AddFilter(
        nullptr, nullptr, true, false, false, true,
        [q, t](void*, TDataCursor&, const uint8_t* record, int32_t) {
          std::memcpy(t->RecordBuffer.data(), record, t->RecordBuffer.size());
          return IsTrueValue(EvaluateExpression(q->ResidualCondition.Get(), nullptr, q, q->Sort, q->Language,
                                                SourceFetcher(), &SubSelectAnswers())
                                 .Get());
        });
    table.Cursor->ActivateFilter(filter);
    table.PushedFilters.push_back(filter);
  }
  table.Cursor->SetToBegin();
  query.RowCount = int32_t(table.Cursor->GetRecordCount());
  return table.Cursor.get();
}

}  // namespace

// ---- Shared pieces ---------------------------------------------------------------------------------

TStatementProgress::TStatementProgress(TQueryStatement& statement)
    : Statement_(statement), Step_(statement.Database->Session()->ProgressStepPercent()) {}

bool TStatementProgress::operator()(int percent) {
  if (Statement_.Aborted()) return false;
  if (!Statement_.ProgressCallback || percent < Reported_ + Step_) return true;
  Reported_ = percent;
  uint8_t abort = 0;
  Statement_.ProgressCallback(Statement_, percent, &abort);
  if (abort != 0) Statement_.SetAborted();
  return abort == 0;
}

bool TStatementProgress::Poll() {
  if (Statement_.Aborted()) return false;
  if (!Statement_.StopRequested || !Statement_.StopRequested()) return true;
  Statement_.SetAborted();
  return false;
}

void TStatementProgress::Finish() {
  if (Statement_.Aborted() || !Statement_.ProgressCallback || Reported_ >= 100) return;
  uint8_t abort = 0;
  Statement_.ProgressCallback(Statement_, 100, &abort);
}

bool TStatementProgress::Aborted() const { return Statement_.Aborted(); }

const TBindColumn& SourceBinder() {
  static const TBindColumn bind = [](void* owner, TExpToken& node) {
    return BindSourceColumn(*static_cast<TDataQuery*>(owner), node);
  };
  return bind;
}

const TFetchColumn& SourceFetcher() {
  static const TFetchColumn fetch = [](void*, void*, TExpToken& node) {
    auto* table = static_cast<TSourceTable*>(node.SourceTable);
    if (table == nullptr || !table->Cursor || table->NullRow) {
      node.IsNull = 1;
      if (table != nullptr && table->NullRow) {
        node.SetDataSize(std::max(node.DataSize, 1));
        std::fill(node.Value.begin(), node.Value.end(), uint8_t(0));
      }
      return;
    }
    table->Cursor->FetchColumn(table->RecordBuffer.data(), node);
  };
  return fetch;
}

TSubSelectSource& SubSelectAnswers() {
  static TSubSelectAnswers answers;
  return answers;
}

bool StoreValue(TDataCursor& cursor, uint8_t* record, uint16_t number, const TExpToken& value, bool replaceBlob) {
  const TFieldDescriptor& field = cursor.Field(number);
  if (value.IsNull) {
    cursor.PutField(number, record, nullptr);
    return true;
  }
  const bool text = IsStringLike(value.DataType, value.SubType);
  if (field.FieldType() == FIELD_BLOB) {
    const uint32_t length = uint32_t(text ? TextLength(value) : size_t(std::max(value.DataSize, 0)));
    if (length == 0) {
      cursor.PutField(number, record, nullptr);
      return true;
    }
    uint16_t code = cursor.OpenBlob(number, record, kBlobOwnerEngine, false, kBlobRead | kBlobWrite);
    if (code == 0 && replaceBlob) code = cursor.TruncateBlob(number, record, false, 0);
    if (code == 0) code = cursor.PutBlob(number, record, false, 0, length, value.Value.data());
    if (code != 0) RaiseTableError(code, cursor.TableName());
    return true;
  }
  std::vector<uint8_t> slot(std::max<size_t>({kConvertBufferSize, field.SlotSize() + size_t(1), value.Value.size()}), 0);
  bool converted = true;
  if (field.FieldType() == FIELD_STRING && text) {
    std::memcpy(slot.data(), value.Value.data(), std::min<size_t>(TextLength(value), field.DeclaredSize()));
  } else {
    std::memcpy(slot.data(), value.Value.data(), std::min(value.Value.size(), slot.size()));
    const bool same = value.DataType == field.FieldType() ||
                      (field.IsAutoInc() && value.DataType == FIELD_INTEGER);
    if (!same)
      converted = ConvertValue(value.DataType, value.DataSize, value.Scale, slot.data(), field.DeclaredScale(),
                               field.SlotSize(), field.FieldType(), slot.size());
    if (field.FieldType() == FIELD_STRING) slot[field.DeclaredSize()] = 0;
  }
  cursor.PutField(number, record, slot.data());
  return converted;
}

TDataCursor* ExecuteSelect(TQueryStatement& statement, TDataQuery& query) {
  if (!query.Bound) FailSql("The statement must be prepared before it is executed");
  if (query.IsLiveResult) return RunLive(query);
  TDataCursor& result = query.UnionHead != nullptr ? *query.UnionHead->ResultCursor : *query.ResultCursor;
  // The rows are read from one state of every source table: no other process commits to
  // them from the first filter built to the last row read (the statement usually holds
  // these locks already, over all of its queries; then nothing is taken here).
  TReadingLocks locks;
  if (query.WithLocks) locks.LockTables(query);
  locks.LockReading(query);
  // The last query of a UNION chain runs first and empties the table the chain fills.
  if (query.UnionQuery == nullptr) result.EmptyTable();
  query.SubSelectLoaded = 0;

  ClearRunState(query);
  PushConditions(query, 1);
  ReorderJoins(query);
  PushConditions(query, 2);

  TStatementProgress progress(statement);

  std::vector<uint8_t> record(result.RecordSize());
  TAggregator aggregator(query, result);
  if (query.SingleGroup) {
    std::vector<uint8_t> group(result.RecordSize());
    EmptyGroup(query, result, group.data());
    if (query.CountStarOnly && !query.ResidualCondition && !query.UnindexedCondition) {
      StoreValue(result, group.data(), 1, *IntegerValue(int32_t(query.SourceTables.front()->Cursor->GetRecordCount())));
    } else {
      WalkJoinedRows(query, [&] {
        BuildRow(query, result, record.data());
        aggregator.Merge(group.data(), record.data());
        result.FreeAllBlobs(false);
        return true;
      }, progress);
      aggregator.Finish(group.data());
    }
    result.AppendRecord(group.data(), false);
  } else {
    // Without a later sort or grouping, TOP stops the production like MaxRows.
    const bool reshaped = query.Distinct || query.HasGroupBy || (query.HasOrderBy && !query.OrderBySatisfied) ||
                          query.UnionHead != nullptr || query.UnionQuery != nullptr;
    int64_t limit = query.MaxRows >= 0 ? query.MaxRows : -1;
    if (query.TopCount > 0 && !reshaped && (limit < 0 || query.TopCount < limit)) limit = query.TopCount;
    int64_t produced = result.GetRecordCount();
    if (limit < 0 || produced < limit) {
      WalkJoinedRows(query, [&] {
        BuildRow(query, result, record.data());
        result.AppendRecord(record.data(), false);
        result.FreeAllBlobs(false);
        return limit < 0 || ++produced < limit;
      }, progress);
    }
  }
  progress.Finish();
  // Grouping, DISTINCT and ORDER BY work on the result table alone.
  locks.Release();

  if (query.UnionHead == nullptr) {
    if (query.Distinct) {
      TRecordSortOptions options;
      options.Distinct = true;
      result.SortRecords(SortFields(result, query.DistinctFields, nullptr), {}, options);
    }
    if (query.HasGroupBy) {
      TRecordSortOptions options;
      options.Grouping = true;
      options.UseFinish = true;
      options.UseFilter = static_cast<bool>(query.BoundHaving);
      TRecordSortCallbacks callbacks;
      callbacks.Accumulate = [&](bool start, uint8_t* output, const uint8_t* input) {
        if (!start) aggregator.Merge(output, input);
      };
      callbacks.Finish = [&](uint8_t* row) { aggregator.Finish(row); };
      callbacks.Filter = [&](uint8_t* row) {
        TFetchColumn fetch = [&result](void*, void* image, TExpToken& node) {
          result.FetchColumn(static_cast<const uint8_t*>(image), node);
        };
        return IsTrueValue(EvaluateExpression(query.BoundHaving.Get(), row, &query, query.Sort, query.Language,
                                              fetch, &SubSelectAnswers())
                               .Get());
      };
      result.SortRecords(SortFields(result, query.GroupFields, nullptr), callbacks, options);
    }
    if (query.HasOrderBy && !query.OrderBySatisfied) {
      TRecordSortOptions options;
      options.CaseInsensitive = query.OrderByNoCase != 0;
      result.SortRecords(SortFields(result, query.OrderFields, &query.OrderDescending), {}, options);
    }
    if (query.TopCount > 0) KeepFirstRows(result, query.TopCount);
  }
  result.SetToBegin();
  query.RowCount = int32_t(result.GetRecordCount());
  return query.UnionHead != nullptr ? nullptr : &result;
}

namespace {

class TSelectRunner final : public TQueryRunner {
 public:
  void Bind(TQueryStatement& statement, TDataQuery& query) override { BindSelect(statement, query); }
  TDataCursor* Run(TQueryStatement& statement, TDataQuery& query, int32_t& rowCount) override {
    TDataCursor* cursor = ExecuteSelect(statement, query);
    rowCount = query.RowCount;
    return cursor;
  }
};

}  // namespace

TQueryRunner& SelectRunner() {
  static TSelectRunner runner;
  return runner;
}

}  // namespace veldor
