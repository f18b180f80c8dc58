// The local statement: parse, bind through the kind's runner, set parameters, run.
#include "sql/query_statement.h"

#include <chrono>
#include <cstring>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "sql/data_change.h"
#include "sql/reading_locks.h"
#include "sql/select.h"

namespace veldor {

TQueryStatement::TQueryStatement(TDataDirectory* database) : Database(database), Parser_(this) {
  Runners[kStatementSelect] = &SelectRunner();
  for (uint8_t kind : {kStatementInsert, kStatementUpdate, kStatementDelete}) Runners[kind] = &DataChangeRunner();
  for (uint8_t kind : {kStatementCreateTable, kStatementAlterTable, kStatementDropTable, kStatementCreateIndex,
                       kStatementDropIndex})
    Runners[kind] = &TableDefinitionRunner();
  if (Database != nullptr) Database->RegisterStatement(this);
}

TQueryStatement::~TQueryStatement() { DestroyByDatabase(); }

void TQueryStatement::DestroyByDatabase() {
  Prepared_ = false;
  Parser_.Clear();
  if (Database != nullptr) Database->UnregisterStatement(this);
  Database = nullptr;
}

void TQueryStatement::Prepare(const std::string& text) {
  Prepared_ = false;
  Text_ = text;
  AtFirstStatement_ = true;
  StatementKind = CanEdit = IsLiveResult = 0;
  Parser_.Prepare(text);
  BindAll();
  Prepared_ = true;
}

// Binds the current statement's queries, the last created first, through their kind's
// runner; the master takes the statement's live request and row limit.
void TQueryStatement::BindAll() {
  TDataQuery& master = *Parser_.Master();
  StatementKind = master.StatementKind;
  master.RequestLive = master.StatementKind == kStatementSelect ? RequestLive : 1;
  master.MaxRows = master.StatementKind == kStatementSelect ? MaxRows : -1;
  const auto& queries = Parser_.AllQueries();
  for (auto q = queries.rbegin(); q != queries.rend(); ++q) {
    TQueryRunner* runner = (*q)->StatementKind < Runners.size() ? Runners[(*q)->StatementKind] : nullptr;
    if (runner == nullptr) Parser_.Parser.Fail("Statements of this kind cannot be executed");
    runner->Bind(*this, **q);
  }
  CanEdit = master.CanEdit;
  IsLiveResult = master.IsLiveResult;
  if (PreparedCallback) PreparedCallback(*this, StatementKind, IsLiveResult, CanEdit);
}

int TQueryStatement::SetParams(uint16_t count, const uint8_t* descriptors, const uint8_t* record) {
  const auto& parameters = Parser_.Parameters();
  if (count > parameters.size()) Parser_.Parser.Fail("Internal parameter error");
  for (uint16_t i = 0; i < count; ++i) {
    const TFieldDescriptor field = TFieldDescriptor::FromBytes(descriptors + size_t(i) * kFieldDescriptorSize);
    TExpToken& node = *parameters[i];
    const uint8_t* slot = record + field.Offset();
    node.DataType = field.FieldType();
    node.SubType = field.SubType();
    node.IsNull = slot[0] == 0 ? 1 : 0;
    if (field.FieldType() == FIELD_BLOB) {
      const int32_t size = LoadI32(slot + 1);
      const uint8_t* bytes = nullptr;
      std::memcpy(&bytes, slot + 5, sizeof bytes);
      node.Scale = 0;
      node.SetDataSize(size);
      if (size > 0 && bytes != nullptr) std::memcpy(node.Value.data(), bytes, size_t(size));
    } else {
      node.Scale = field.DeclaredScale();
      node.SetDataSize(field.SlotSize());
      std::memcpy(node.Value.data(), slot + 1, field.SlotSize());
    }
  }
  return 0;
}

// Runs the other queries from the last created to the second, then the master.
//
// The SELECT queries of a statement (its sub-selects, UNION members, the SELECT of an
// INSERT ... SELECT, and a SELECT master) read one state of every table they name: the
// locks of all of them are taken before the first runs (the table locks of WITH LOCKS
// first, then the query read locks) and held until the last has run. A data-changing
// master writes; the reading locks are given back before it runs, and it locks what it
// reads itself, after its transaction's table locks (a reader slot held while the same
// statement waits for a table lock would wait for any writer that waits for the slot).
TDataCursor* TQueryStatement::RunAll(double& seconds, int32_t& rows) {
  const auto& queries = Parser_.AllQueries();
  TReadingLocks reading;
  for (const auto& query : queries)
    if (query->StatementKind == kStatementSelect && query->WithLocks) reading.LockTables(*query);
  for (const auto& query : queries)
    if (query->StatementKind == kStatementSelect) reading.LockReading(*query);
  TDataCursor* cursor = nullptr;
  for (size_t i = queries.size(); i-- > 0;) {
    TDataQuery& query = *queries[i];
    if (query.StatementKind != kStatementSelect) reading.Release();
    const auto start = std::chrono::steady_clock::now();
    int32_t count = 0;
    TDataCursor* result = Runners[query.StatementKind]->Run(*this, query, count);
    query.ExecutionTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    query.RowCount = count;
    if (i == 0) {
      cursor = result;
      seconds = query.ExecutionTime;
      rows = count;
    }
  }
  return cursor;
}

TDataCursor* TQueryStatement::Execute(uint8_t /*argument*/) {
  if (!Prepared_) Parser_.Parser.Fail("The statement must be prepared before it is executed");
  // A script ran up to its last statement: running it again starts from its first.
  if (!AtFirstStatement_) Prepare(Text_);
  TDataQuery& master = *Parser_.Master();
  if (master.StatementKind == kStatementSelect) master.MaxRows = MaxRows;
  Aborted_ = false;
  double seconds = 0;
  int32_t rows = 0;
  TDataCursor* cursor = RunAll(seconds, rows);
  ExecutionTime = seconds;
  RowCount = rows;
  while (!Aborted_ && Parser_.MoreStatements()) {
    Prepared_ = false;
    AtFirstStatement_ = false;
    Parser_.PrepareNext();
    BindAll();
    Prepared_ = true;
    cursor = RunAll(seconds, rows);
    ExecutionTime += seconds;
    RowCount += rows;
  }
  return cursor;
}

}  // namespace veldor
