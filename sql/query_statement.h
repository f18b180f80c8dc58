// The engine object behind a query component: one SQL text for one database, prepared,
// given parameter values, executed, with its execution figures and callbacks.
//
// Owns its statement parser (and so every TDataQuery of the current statement and the
// list of its `?` parameters). Binding and running a query belong to the runner of its
// statement kind (`TQueryRunner`), which the SQL engine supplies kind by kind; a kind
// without a runner is refused when the statement is prepared, before anything is opened.
// Only the local form lives here. One thread at a time, like its database.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/session.h"
#include "sql/statement_parser.h"

namespace veldor {

class TDataCursor;
class TQueryStatement;

// Binds and runs the queries of one statement kind.
class TQueryRunner {
 public:
  virtual ~TQueryRunner() = default;
  // Binds a parsed query: opens its sources, resolves its columns. Raises on bind errors.
  virtual void Bind(TQueryStatement& statement, TDataQuery& query) = 0;
  // Runs a bound query and returns its result cursor (owned by the query), or null.
  // `rowCount` receives the rows of the result or the rows affected.
  virtual TDataCursor* Run(TQueryStatement& statement, TDataQuery& query, int32_t& rowCount) = 0;
};

class TQueryStatement : public TDatabaseObject {
 public:
  // Registers with `database` (which must outlive the statement or destroy it first).
  explicit TQueryStatement(TDataDirectory* database);
  // Frees every query, then unregisters.
  ~TQueryStatement() override;
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;

  // Frees every query and unregisters; the statement can no longer be prepared against
  // its database.
  void DestroyByDatabase() override;

  // Parses the text's first statement and binds its queries, the last created first; then
  // StatementKind, IsLiveResult and CanEdit are known and the prepared-information callback
  // has been called. Raises VELDOR_SQLPARSE on parse and bind errors; the statement must
  // then be prepared again.
  void Prepare(const std::string& text);
  // Gives values to the first `count` parameters: `descriptors` holds `count` 768-byte
  // field descriptors (type, subtype, scale, slot size, offset); `record` holds each value
  // after its null flag (1 present, 0 NULL) at the descriptor's offset; a BLOB value is a
  // 32-bit size and a pointer to its bytes. More values than parameters raise
  // VELDOR_SQLPARSE "Internal parameter error". Returns 0.
  int SetParams(uint16_t count, const uint8_t* descriptors, const uint8_t* record);
  // Runs the other queries (last created first), then the master; then each statement
  // after a ";" in turn, parsed and bound when it is reached. ExecutionTime and RowCount
  // add up over the statements run. Returns the last statement's result cursor, or null.
  // Running a script again starts again from its first statement (prepared anew), and
  // MaxRows is read at each run.
  TDataCursor* Execute(uint8_t argument);

  TDataDirectory* Database;
  uint8_t RequestLive = 0;
  int32_t MaxRows = -1;
  uint8_t StatementKind = 0;
  uint8_t CanEdit = 0;
  uint8_t IsLiveResult = 0;
  double ExecutionTime = 0;
  int32_t RowCount = 0;

  // The runner of each statement kind (index = kind); not owned. Every kind starts with the
  // SQL engine's own (select.h, data_change.h).
  std::array<TQueryRunner*, 10> Runners{};

  std::function<uint8_t(TQueryStatement&)> PasswordCallback;
  std::function<void(TQueryStatement&, int percent, uint8_t* abort)> ProgressCallback;
  // Asked between rows while a statement runs (every row read or changed, whatever the
  // progress figure does), so that a stop asked for from outside (a signal) is answered
  // at once; true stops the run as an abort from ProgressCallback does. It must be cheap and
  // must not touch the statement or its tables.
  std::function<bool()> StopRequested;
  std::function<void(TQueryStatement&, uint8_t kind, uint8_t live, uint8_t canEdit)> PreparedCallback;
  std::function<void(TQueryStatement&, int32_t value)> CountCallback;

  // Whether the last Execute was stopped (by ProgressCallback or StopRequested). A stop ends
  // the whole statement: the queries after the one stopped produce no rows and change
  // nothing (a change must not act on a sub-select's rows cut short), and the statements
  // after it in a script do not run.
  bool Aborted() const { return Aborted_; }
  void SetAborted() { Aborted_ = true; }

  TStatementParser& Parser() { return Parser_; }
  TDataQuery* MasterQuery() const { return Parser_.Master(); }

 private:
  void BindAll();
  TDataCursor* RunAll(double& seconds, int32_t& rows);

  TStatementParser Parser_;
  bool Prepared_ = false;  // the current statement's queries are parsed and bound
  std::string Text_;       // the text last prepared
  bool AtFirstStatement_ = true;  // the queries are those of the text's first statement
  bool Aborted_ = false;
};

}  // namespace veldor
