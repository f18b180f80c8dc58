// Engine sessions and databases, and the engine's start and end.
//
// A `TDataSession` owns the session-wide settings, the table passwords the user gave and
// the databases it has open. A `TDataDirectory` is one open database (a directory of table
// files, or the in-memory database "Memory"): it owns the registry of its table objects, so
// that every cursor of the session opening one physical table shares one `TDataTable`, and
// the database's transaction state. Cursors and statements are not owned here.
//
// Threading: neither class takes a lock; a session and its databases are used by one thread
// at a time. Tables shared with other sessions or processes are coordinated by the file
// locks of the table layer. The engine's started flag and the current session reference
// are process-wide and guarded by one mutex (session.cpp).
//
// Only the local behaviour lives here. A remote session (`Remote`) will send its requests
// from these same entry points; the local code never looks at the flag.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/data_table.h"

namespace veldor {

class TDataSession;

// Something a database keeps track of for its session when the session's TrackObjects is
// nonzero: an open cursor or statement. The database never owns it. When the database is
// destroyed with the object still registered it calls DestroyByDatabase, which must free
// the object (or at least close it) and unregister it.
class TDatabaseObject {
 public:
  virtual ~TDatabaseObject() = default;
  virtual void DestroyByDatabase() = 0;
};

// The open options of a table that the database passes to the table object unchanged.
struct TTableOpenOptions {
  bool ReadOnly = false;
  bool Temporary = false;
};

// One open database. Made and destroyed only by its session (OpenDataDirectory and
// CloseDataDirectory, or the session's end); a pointer to it stays valid until then.
//
// Registry: a table is found again by its name (blanks trimmed, without regard to case, the
// ".DAT" ending not significant) together with its in-memory flag. Every registered table
// is open; one with open count 0 is kept only because it is part of a transaction.
//
// Result codes: the operations returning `int` give 0 or the negated engine code of the
// registry's own refusals (-11013 VELDOR_OSEACCES, -11010 VELDOR_OSENOENT); the caller
// raises it with the table and database names. Failures of the table layer (missing files,
// corrupt headers, locks) are raised as EVELDOREngineError unchanged.
class TDataDirectory {
 public:
  TDataDirectory(TDataSession* session, std::string name, std::string path, std::string key);
  // Rolls back any transaction, frees the tracked statements and then cursors, then every
  // registered table. Never throws.
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession* Session() const { return Session_; }
  int32_t RemoteHandle() const { return RemoteHandle_; }
  // The name it was opened with (empty for a plain directory).
  const std::string& Name() const { return Name_; }
  // The directory ending in "/" that table file names are appended to; empty for "Memory"
  // without a directory.
  const std::string& Path() const { return Path_; }
  // What the database is found again by: the canonical form of Path ending in "/" when the
  // directory exists, else Path itself ("Memory": Path itself).
  const std::string& Key() const { return Key_; }
  int32_t OpenCount() const { return OpenCount_; }
  bool InTransaction() const { return InTransaction_; }

  // ---- Table registry ----
  // Finds or makes the shared table object of `name` and opens it for one more user;
  // `table` receives it (owned by this database; valid until its last CloseTable, or until
  // the transaction it is kept for ends). -11013 when the registered table is in use and
  // it or this request is exclusive, unless `clone` (a clone of an open cursor). A table
  // already in use keeps the options of its first opener. A new table that fails to open
  // is not registered, and its error is raised. Inside a transaction the table joins it.
  // A maintenance of the table that a process left unfinished is finished or undone first
  // (a reader raises VELDOR_FILENOACCESS instead when files would have to move; one still
  // running raises VELDOR_OSEACCES: the table is in use).
  int OpenTable(const std::string& name, bool exclusive, bool inMemory, bool clone,
                const TTableOpenOptions& options, TDataTable*& table);
  // Registers the table exclusively and creates its files; `table` receives it, open for
  // one user. -11013 when a table of that name is registered and open. A table whose files
  // cannot be created is not left registered.
  int CreateTable(const std::string& name, bool inMemory, const TTableDefinition& definition,
                  bool temporary, TDataTable*& table);
  // One user closes `table` (`discard` is passed to the table's close). The last user
  // frees it unless it is kept for a transaction. -11010 when it is not registered here.
  int CloseTable(TDataTable* table, bool discard = false);
  // Delete or rename the files of a table that is not open. -11013 when it is registered
  // and in use or kept open for a transaction. A registered table renamed stays registered
  // under its new name. Both settle an unfinished maintenance of their names first; a
  // deleted table's journal goes with it.
  int DeleteTable(const std::string& name, bool inMemory);
  int RenameTable(const std::string& name, bool inMemory, const std::string& newName,
                  bool toBackup = false);
  // Whether the data file of `name` exists: on disk in Key, or among the in-memory files.
  // A maintenance left unfinished beside it decides as its next opener will finish it (see
  // TMaintenanceRecord::DataFileAfterRecovery).
  bool TableExists(const std::string& name, bool inMemory) const;
  // The first of prefix + "0.DAT", prefix + "1.DAT", ... that TableExists denies, where the
  // prefix is the first five digits of the calling thread's id.
  std::string GetTempTableName(bool inMemory) const;

  size_t TableCount() const { return Tables_.size(); }
  TDataTable* Table(size_t index) const { return Tables_[index].get(); }
  // The registered table of `name` and `inMemory`, or nullptr.
  TDataTable* FindTable(const std::string& name, bool inMemory) const;

  // ---- Transactions ----
  // Begins the transaction on every registered table in order. Does nothing when one is
  // active. When a table cannot begin (VELDOR_LOCKTIMEOUT), every table is rolled back,
  // the database stays outside a transaction and the negated code is returned; nothing
  // is raised for it.
  int StartTransaction();
  // Commits every table from the last to the first and frees those no cursor uses. Without
  // `endTransaction` the tables stay in their transaction (intermediate commit) but the
  // database no longer counts as in one. A table's failure is raised; the tables not yet
  // committed and the database stay in the transaction, so the caller can roll back.
  void CommitTransaction(bool endTransaction, bool forceFlush);
  // Commits made since the database was opened (each CommitTransaction call counts).
  uint64_t CommitCount() const { return CommitCount_; }
  // Rolls back every table from the last to the first and frees those no cursor uses; every
  // table is rolled back even when one fails, and the first failure is raised afterwards.
  void RollbackTransaction();

  // ---- Tracked cursors and statements (only when the session's TrackObjects is nonzero) ----
  void RegisterCursor(TDatabaseObject* cursor);
  void UnregisterCursor(TDatabaseObject* cursor);
  void RegisterStatement(TDatabaseObject* statement);
  void UnregisterStatement(TDatabaseObject* statement);
  // The lists, or nullptr when objects are not tracked.
  const std::vector<TDatabaseObject*>* Cursors() const;
  const std::vector<TDatabaseObject*>* Statements() const;

  // Raise or lower OpenCount (never below 0); neither destroys the database.
  void AddReference() { ++OpenCount_; }
  void ReleaseReference() {
    if (OpenCount_ > 0) --OpenCount_;
  }

 private:
  size_t FindIndex(const std::string& trimmedName, bool inMemory) const;
  size_t IndexOf(const TDataTable* table) const;
  std::unique_ptr<TDataTable> MakeTable(const std::string& trimmedName, bool inMemory);
  // Removes entry `index` and frees it, closing its files first when they are still open.
  void DropTable(size_t index);
  void DropIfUnused(size_t index);
  // Finishes or undoes a maintenance that a process left unfinished beside the name (see
  // engine/maintenance_record.h) before anything touches the table's files.
  void FinishMaintenance(const std::string& trimmedName, bool inMemory, bool readOnly) const;
  // Removes the journal beside the name of a table that is made anew.
  void DropJournal(const std::string& trimmedName, bool inMemory) const;

  TDataSession* Session_;
  int32_t RemoteHandle_ = 0;
  std::string Name_;
  std::string Path_;
  std::string Key_;
  std::vector<std::unique_ptr<TDataTable>> Tables_;
  std::optional<std::vector<TDatabaseObject*>> Cursors_;
  std::optional<std::vector<TDatabaseObject*>> Statements_;
  int32_t OpenCount_ = 0;
  bool InTransaction_ = false;
  uint64_t CommitCount_ = 0;
};

// One engine session: settings, passwords and open databases.
class TDataSession {
 public:
  // Captures the process's current directory as the working directory. With a nonzero
  // `trackObjects` every database keeps lists of its open cursors and statements.
  explicit TDataSession(int32_t trackObjects = 0);
  // Deletes all passwords and destroys every database still open (latest first).
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  int32_t TrackObjects() const { return TrackObjects_; }
  bool Remote() const { return Remote_; }
  // The current directory at creation, ending in "/".
  const std::string& WorkingDirectory() const { return WorkingDirectory_; }

  // ---- Databases ----
  // The database of `directory` (trimmed; empty: the working directory) or, with `name`
  // "Memory" (any case), the in-memory database (of `directory` when one is given). An
  // open database with the same key is shared: its OpenCount rises and it is returned.
  // `byName` concerns remote sessions only. The session owns the result.
  TDataDirectory* OpenDataDirectory(const std::string& name, const std::string& directory,
                                    bool byName = false);
  // Lowers the database's OpenCount and destroys it at 0. A database not of this session,
  // or one whose count is already 0, is left alone. `noRequest` concerns remote sessions.
  void CloseDataDirectory(TDataDirectory* directory, bool noRequest = false);
  size_t DirectoryCount() const { return Directories_.size(); }
  TDataDirectory* Directory(size_t index) const { return Directories_[index].get(); }

  // ---- Directories and settings ----
  // An empty (or blank) path is ignored; otherwise the trimmed path ending in "/".
  void SetPrivateDirectory(const std::string& path);
  // The private directory, or the working directory when none was set.
  const std::string& GetPrivateDirectory() const;
  uint16_t ProgressSteps() const { return ProgressSteps_; }
  void SetProgressSteps(uint16_t steps);
  // Percent per progress step: 100 / ProgressSteps, 100 for 0 steps, and at least 1.
  uint16_t ProgressStepPercent() const;
  void SetForceBufferFlush(bool value);
  void SetStrictChangeDetection(bool value);
  void SetLockRetryCount(uint8_t value);
  void SetLockWaitTime(uint16_t value);
  // The bytes of changed records, pages and blocks a transaction keeps in memory before
  // the oldest go to its journal (at least 64 KB; default 8 MB).
  void SetTransactionMemory(size_t bytes);
  // Writes outside transactions through the journal as well: each write-back becomes a
  // commit that survives a crash whole, at the price of syncs per write. Off by default.
  void SetJournaledWrites(bool value);
  // The settings every table of this session follows; tables keep its address, so it
  // lives as long as the session and changes reach open tables at once.
  const TTableSettings& TableSettings() const { return Settings_; }

  // ---- Passwords (compared exactly, case counts) ----
  // Empty passwords and passwords already listed are ignored.
  void AddPassword(const std::string& password);
  // Removes the first entry equal to `password`.
  void DeletePassword(const std::string& password);
  void DeleteAllPasswords() { Passwords_.clear(); }
  bool PasswordExists(const std::string& password) const;
  const std::vector<std::string>& Passwords() const { return Passwords_; }

 private:
  TDataDirectory* OpenLocalDataDirectory(const std::string& name, const std::string& directory);

  int32_t TrackObjects_;
  bool Remote_ = false;
  std::string WorkingDirectory_;
  std::string PrivateDirectory_;
  uint16_t ProgressSteps_ = 20;
  TTableSettings Settings_;
  std::vector<std::string> Passwords_;
  std::vector<std::unique_ptr<TDataDirectory>> Directories_;  // in order of opening
};

// ---- The engine ----
// Starts the engine: prepares the foundation's shared pools and makes a default session
// (TrackObjects 0) the current one. A second call does nothing.
void InitEngine();
// Ends the engine: frees the default session InitEngine made (a session installed with
// SetCurrentEngineSession belongs to whoever made it), clears the current reference and
// empties the shared record-bitmap pool. Does nothing when the engine is not started.
void ShutdownEngine();
// The current session (not owned by the caller). Raises VELDOR_NOTINITIALIZED before
// InitEngine.
TDataSession* GetDefaultEngineSession();
// Replaces the current session reference; the caller keeps ownership of `session`.
void SetCurrentEngineSession(TDataSession* session);

}  // namespace veldor
