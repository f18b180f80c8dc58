// SELECT: binding a parsed query to its tables and running it into a result.
//
// Binding opens a cursor on every source table, types the result columns and names them,
// decides between a live result (the one source table's own filtered cursor) and a result
// table, plans the joins and makes the result table. Running pushes single-table
// conditions down to the cursors as filters, walks the joined rows with nested loops whose
// inner tables are reached through parameterized filters, writes the result rows, and then
// groups, removes duplicates and sorts the result table with the record sort.
//
// The state lives in the `TDataQuery` (query.h); the query owns its cursors and result
// table. Sub-selects, UNION members and the SELECT of an INSERT run through the same code.
// One thread at a time per statement, like its database.
#pragma once

#include <cstdint>
#include <string>

#include "lib/expression_eval.h"
#include "sql/query_statement.h"

namespace veldor {

// The runner of SELECT statements that every statement starts with.
TQueryRunner& SelectRunner();

// Binds `query` (raises VELDOR_SQLPARSE with the binding messages; errors of the cursors
// pass unchanged). Called for every query of a statement, the last created first.
void BindSelect(TQueryStatement& statement, TDataQuery& query);
// Runs a bound query and returns its result cursor (owned by the query), positioned before
// the first row. A UNION member returns null: its rows went into its chain head's table.
TDataCursor* ExecuteSelect(TQueryStatement& statement, TDataQuery& query);

// ---- Shared with the data-changing statements ----

// Raises VELDOR_SQLPARSE with `message` as it stands.
[[noreturn]] void FailSql(const std::string& message);

// The database a table named with `databaseName` lives in: the statement's own (empty
// name), the in-memory one ("Memory" or `inMemory`) or a directory's, opened for the query
// and closed with it. `memory` tells whether it is the in-memory database.
TDataDirectory* QueryDatabase(TQueryStatement& statement, TDataQuery& query, const std::string& databaseName,
                              bool inMemory, bool& memory);

// Opens a cursor on every source table of `query` through its database, with the
// statement's password callback, and gives each a record buffer. The tables open for
// writing where their files allow it, so that one statement's reading never makes another's
// writing fail; only live results and data-changing statements write through them.
void OpenSourceTables(TQueryStatement& statement, TDataQuery& query);

// Binds a column node to a source table of `query`: with a correlation name in that table
// only, without in the first table that has the field. False when there is none.
bool BindSourceColumn(TDataQuery& query, TExpToken& node);

// The binder, fetcher and sub-select source over a query's source tables (the owner handed
// to the expression functions is the query).
const TBindColumn& SourceBinder();
const TFetchColumn& SourceFetcher();
TSubSelectSource& SubSelectAnswers();

// Checks a WHERE or ON condition over the source tables (the boolean rewrite on); it must
// be boolean.
void CheckCondition(TDataQuery& query);

// Join planning, the push-down of single-table conditions (pass 1: what an index serves;
// pass 2: the rest) and the reordering of joins by the smallest filtered table.
void PlanJoins(TDataQuery& query);
void PushConditions(TDataQuery& query, int pass);
void ReorderJoins(TDataQuery& query);
// Drops every filter the last run installed and forgets the conditions it moved.
void ClearRunState(TDataQuery& query);

class TStatementProgress;

// Calls `row` for every joined row that passes the residual and unindexed conditions,
// driving from the first source table. `row` returns false to stop. The progress is given
// each new percentage of the driving table visited and asked before every row of every
// table; either stops the walk by answering false.
void WalkJoinedRows(TDataQuery& query, const std::function<bool()>& row, TStatementProgress& progress);

// A statement's progress and stop: reports the percentage through the statement's callback
// each time it has grown by the session's progress step, and asks the statement's stop
// request between rows. Once either asked to stop (in this query or an earlier one of the
// statement) every call answers false. Finish reports 100 when the run was not stopped and
// had not reported it.
class TStatementProgress {
 public:
  explicit TStatementProgress(TQueryStatement& statement);
  // False once the run is to stop.
  bool operator()(int percent);
  // Between rows: false once the run is to stop.
  bool Poll();
  void Finish();
  bool Aborted() const;

 private:
  TQueryStatement& Statement_;
  uint16_t Step_;
  int Reported_ = 0;
};

// Stores an expression value into field `field` of `record` of `cursor`, converted to the
// field's type (strings cut to the field's size; BLOBs through an engine-owned buffer that
// the caller frees with FreeAllBlobs after writing the record, replacing what the record's
// BLOB held when `replaceBlob`). NULL clears the field. False when the value did not
// convert: the field then holds its type's zero value.
bool StoreValue(TDataCursor& cursor, uint8_t* record, uint16_t field, const TExpToken& value,
                bool replaceBlob = false);

}  // namespace veldor
