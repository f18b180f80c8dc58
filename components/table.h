// `TVELDORTable`: one physical table through an engine cursor: its name and directory,
// its index (by name or by fields), ranges and the master-detail link, its field and index
// definitions, a cached lookup cursor for Locate, and the operations that test for,
// create, delete and maintain its files.
//
// The table owns its cursor (through the data set), the cached lookup cursor (a clone of
// it) and its index definitions; not its master data source. Maintenance and creation run
// on a closed table through a temporary cursor that lives for the call. One thread at a
// time.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "components/dataset.h"
#include "toolkit/data_source.h"
#include "toolkit/index_defs.h"

namespace veldor {

class TVELDORTable : public TVELDORDBDataSet {
 public:
  using TProgressStepEvent = std::function<void(TVELDORTable&, const std::string& step, int percent)>;
  using TLogEvent = std::function<void(TVELDORTable&, const std::string& message)>;
  using TProgressEvent = std::function<void(TVELDORTable&, int percent)>;

  explicit TVELDORTable(TComponent* owner = nullptr);
  ~TVELDORTable() override;

  std::string EngineVersion() const;
  void SetEngineVersion(const std::string&) {}

  // ---- Name and open options (only while closed) ----
  const std::string& TableName() const { return TableName_; }
  // A name with a directory part ("/data/customer.dat") moves the directory, with its
  // final "/", into DatabaseName and keeps the rest; a later bare name keeps the
  // directory. An in-memory table keeps only the file name.
  void SetTableName(const std::string& name);
  // An in-memory table's database is always "Memory".
  void SetDatabaseName(const std::string& name) override;
  bool Exclusive() const { return Exclusive_; }
  void SetExclusive(bool value);
  // After opening: whether the table really is read-only (read-only files make it so).
  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool value);
  bool InMemory() const { return InMemory_; }
  void SetInMemory(bool value);

  // ---- Index ----
  // Empty: the primary index (natural order on a table without primary key fields).
  std::string IndexName() const { return IndexIsFields_ ? std::string() : IndexValue_; }
  void SetIndexName(const std::string& name);
  // The index covering these ";"-separated fields ("No index for fields '%s'" when none).
  std::string IndexFieldNames() const { return IndexIsFields_ ? IndexValue_ : std::string(); }
  void SetIndexFieldNames(const std::string& names);
  // Filled from the table on demand (UpdateIndexDefs); CreateTable takes what the program
  // put here.
  TIndexDefs& IndexDefs() { return IndexDefs_; }
  void UpdateIndexDefs() override;
  // On a closed table: read from the table through a temporary cursor.
  void InitFieldDefs() override;
  bool StoreDefs() const { return StoreDefs_; }
  void SetStoreDefs(bool value) { StoreDefs_ = value; }

  // ---- Master-detail ----
  TDataSource* MasterSource() const { return MasterLink_.DataSource(); }
  // "Circular data links are not allowed." for a source whose data set depends on this one.
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return MasterLink_.FieldNames(); }
  void SetMasterFields(const std::string& fields) { MasterLink_.SetFieldNames(fields); }
  TDataSource* GetDataSource() const override { return MasterLink_.DataSource(); }

  // ---- The table's files (closed table; engine errors propagate) ----
  // True when open; false without a name; else whether the data file exists.
  bool Exists();
  // From FieldDefs (or the persistent data fields when there are none) and IndexDefs; a
  // first index definition that is not primary gives a table without primary key fields.
  // VELDOR_TABLEEXISTS when the table exists.
  void CreateTable();
  void DeleteTable();
  // Maintenance through an exclusive temporary cursor.
  void EmptyTable();
  void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options);
  void DeleteIndex(const std::string& name);
  // Renames the files; TableName follows.
  void RenameTable(const std::string& newName);
  // Checks every record, index and BLOB chain; each problem goes to OnVerifyLog, the
  // progress to OnVerifyProgress. True when the table is sound.
  bool VerifyTable();

  TProgressStepEvent OnVerifyProgress;
  TLogEvent OnVerifyLog;
  TProgressEvent OnIndexProgress;

 protected:
  TDataCursor* CreateHandle() override;
  void DestroyHandle() override;
  void ReleaseLookupCursor() override;
  TDataCursor* GetLookupCursor(const std::string& keyFields, bool caseInsensitive) override;
  void AfterOpenCursor() override;
  bool GetCanModify() override { return CursorCanModify() && !ReadOnly_; }
  void DoOnNewRecord() override;

 private:
  class TFlag;

  // A cursor on this table, not opened; the caller opens it.
  std::unique_ptr<TDataCursor> MakeCursor(bool exclusive, bool readOnly);
  std::string ResolveIndexName(const std::string& value, bool fields);
  std::string ResolveIndexName() { return ResolveIndexName(IndexValue_, IndexIsFields_); }
  void SetIndex(const std::string& value, bool fields);
  bool ApplyMasterRange();
  void MasterChanged();
  void MasterDisabled();
  TIndexDescriptor IndexDescriptor(const std::string& name, const std::string& fields,
                                   TIndexOptions options,
                                   const std::function<uint16_t(const std::string&)>& number);
  void CheckClosedWithName();

  std::string TableName_;
  bool Exclusive_ = false;
  bool ReadOnly_ = false;
  bool InMemory_ = false;
  bool StoreDefs_ = false;
  std::string IndexValue_;
  bool IndexIsFields_ = false;
  TIndexDefs IndexDefs_;
  TMasterDataLink MasterLink_;
  std::unique_ptr<TDataCursor> LookupCursor_;
  std::string LookupFields_;
  bool LookupCaseInsensitive_ = false;
};

}  // namespace veldor
