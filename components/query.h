// `TVELDORQuery`: SQL text run through an engine statement, its result shown as a record
// set. It keeps the SQL lines and the parameters made from their ":name" markers, prepares
// the statement on the query's database, hands it the parameter values, runs it and takes
// the statement's result cursor as its own; a second data source can feed the values of
// parameters the program left unbound, and moving that source's data set runs the query
// again.
//
// The query owns its statement (and so, through it, the result cursor: closing the query
// does not destroy the cursor, unpreparing does), its parameters and the parameter data
// link; not the parameter data source nor its data set. While prepared it holds its
// database open (database flag 1). Text is UTF-8 here and Windows-1252 in the statement.
// One thread at a time; progress events run inside Open and ExecSQL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/dataset.h"
#include "sql/query_statement.h"
#include "toolkit/data_source.h"
#include "toolkit/params.h"
#include "toolkit/strings.h"

namespace veldor {

class TVELDORQuery;

// The link to the data set that gives values to unbound parameters: its moves and its
// opening run the query again; its request for browse mode reaches the query.
class TVELDORQueryDataLink : public TDetailDataLink {
 public:
  explicit TVELDORQueryDataLink(TVELDORQuery& query) : Query_(query) {}
  TDataSet* DetailDataSet() const override;

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void CheckBrowseMode() override;

 private:
  TVELDORQuery& Query_;
};

class TVELDORQuery : public TVELDORDBDataSet {
 public:
  // AbortQuery starts false; setting it ends the running statement early (a SELECT keeps
  // the rows it produced so far).
  using TQueryProgressEvent = std::function<void(TVELDORQuery&, int percentDone, bool& abortQuery)>;
  using TSaveProgressEvent = std::function<void(TVELDORQuery&, int percentDone)>;

  explicit TVELDORQuery(TComponent* owner = nullptr);
  // Closes and unprepares; errors are shown, not raised.
  ~TVELDORQuery() override;

  std::string EngineVersion() const;
  void SetEngineVersion(const std::string&) {}

  // ---- SQL text and parameters ----
  // The lines of the SQL text; one or more statements separated by ";". Changing them
  // closes and unprepares the query and (with ParamCheck, for a text that is not a script)
  // rebuilds Params from the ":name" markers, keeping the values of same-named parameters.
  TStrings& SQL() { return SQL_; }
  // Does nothing for the same lines; otherwise closes, unprepares and takes them.
  void SetSQL(const TStrings& lines);
  // Convenience: SetSQL with the lines of `text`.
  void SetSQLText(const std::string& text);
  // The text the statement gets: the lines joined by line feeds, markers replaced by "?"
  // (a script unchanged).
  const std::string& Text() const { return Text_; }
  TParams& Params() { return Params_; }
  // "Parameter '%s' not found" when there is none.
  TParam& ParamByName(const std::string& name) { return Params_.ParamByName(name); }
  int ParamCount() const { return Params_.Count(); }
  bool ParamCheck() const { return ParamCheck_; }
  void SetParamCheck(bool value) { ParamCheck_ = value; }

  // ---- Parameter data source ----
  TDataSource* DataSource() const { return DataLink_.DataSource(); }
  // "Circular data links are not allowed." for a source whose data set depends on this
  // query.
  void SetDataSource(TDataSource* source);
  TDataSource* GetDataSource() const override { return DataLink_.DataSource(); }

  // ---- Options ----
  bool RequestLive() const { return RequestLive_; }
  // Only while closed; a prepared query is unprepared so that the next open asks again.
  void SetRequestLive(bool value);
  int32_t MaxRowCount() const { return MaxRowCount_; }
  // -1: no limit. Also handed to a prepared statement (which applies it when it binds).
  void SetMaxRowCount(int32_t value);
  bool ReadOnly() const { return ReadOnly_; }
  // Only while closed.
  void SetReadOnly(bool value);
  // Unprepares first (the statement lives on the old database).
  void SetDatabaseName(const std::string& name) override;

  // ---- Preparing and running ----
  bool Prepared() const { return Prepared_; }
  // "Cannot perform this operation on an open dataset" on an open query. Preparing: "No
  // SQL statement available" for a text shorter than 2 characters; parse and bind errors
  // propagate as engine errors and leave the query unprepared.
  void SetPrepared(bool value);
  void Prepare() { SetPrepared(true); }
  void Unprepare() { SetPrepared(false); }
  // Runs the statement without opening the query (for statements that return no rows; a
  // SELECT runs too and its result simply is not shown): prepares when needed, passes the
  // parameter values, executes; RowsAffected and ExecutionTime tell the figures. Only on
  // a closed query.
  void ExecSQL();
  // Rows the last run returned or changed, and its time in seconds (a script adds up its
  // statements); -1 and 0 before any run.
  int32_t RowsAffected() const { return RowsAffected_; }
  double ExecutionTime() const { return ExecutionTime_; }
  // The engine statement while prepared, else null. Owned by the query.
  TQueryStatement* StmtHandle() const { return Statement_.get(); }
  // Closes and unprepares (the database component closing its data sets).
  void CloseDataSet() override;

  // ---- Stored only ----
  // The opaque block a form keeps as "Data"; dropped whenever the SQL text changes.
  const std::vector<uint8_t>& Data() const { return Data_; }
  void SetData(std::vector<uint8_t> data) { Data_ = std::move(data); }

  TQueryProgressEvent OnQueryProgress;
  TSaveProgressEvent OnSaveProgress;  // nothing fires it

 protected:
  TDataCursor* CreateHandle() override;
  void SetDBFlag(int flag, bool value) override;
  bool GetCanModify() override { return CursorCanModify() && !ReadOnly_; }
  bool IsSequenced() override;
  bool SqlResultHandle() const override { return true; }

 private:
  friend class TVELDORQueryDataLink;

  void QueryChanged();
  // The statement, prepared with Text_ (the query's own flag holds the database).
  void PrepareStatement();
  void FreeStatement();
  // Unbound parameters take the values of the data source's same-named fields.
  void SetParamsFromDataSource();
  void PassParams();
  // Executes the prepared statement and copies its figures; returns its result cursor.
  TDataCursor* Run();
  // Runs the query again with the values of the data source's current record.
  void RefreshParams();

  TStringList SQL_;
  std::string Text_;
  TParams Params_;
  bool ParamCheck_ = true;
  bool RequestLive_ = false;
  int32_t MaxRowCount_ = -1;
  bool ReadOnly_ = false;
  bool Prepared_ = false;
  std::unique_ptr<TQueryStatement> Statement_;
  TVELDORQueryDataLink DataLink_;
  int32_t RowsAffected_ = -1;
  double ExecutionTime_ = 0;
  std::vector<uint8_t> Data_;
};

}  // namespace veldor
