// The table object: one physical table (its data, index and BLOB files) shared by every
// cursor of a database that has it open.
//
// `TDataTable` owns the file objects, the open options, the count of cursors using it and
// the table-level operations: open, close, create, delete, rename, empty, flush, header
// verification and table information. It is used by one thread at a time (its database's
// session); between processes, the byte-range locks on its files coordinate access. It
// does not keep cursor positions and does not decide when records are read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "engine/field_types.h"
#include "engine/index_file.h"
#include "engine/table_header.h"

namespace veldor {

class TCollation;
class TDataDirectory;
class TJournal;
class TRecordsBitmap;

// The session settings a table follows; the session owns them and may change them while
// tables are open.
struct TTableSettings {
  bool ForceBufferFlush = false;       // flush operating-system buffers after every write
  bool StrictChangeDetection = false;  // every cursor operation checks for changes first
  uint8_t LockRetryCount = 15;         // retries of a refused record lock
  uint16_t LockWaitTime = 100;         // milliseconds between those retries
  // Bytes of changed records, pages and blocks a transaction keeps in memory before the
  // oldest go to its journal.
  size_t TransactionMemory = size_t(8) << 20;
  // Writes outside transactions go through the journal too (each write-back is then a
  // commit of its own); off, they are written straight to the files.
  bool JournaledWrites = false;
};

// The change counters of a table's three file headers, as a cursor last saw them, and the
// table object's own count of the times it threw away what it held in memory (a rollback,
// an index restored from its backup): the header counters then go back to values a cursor
// may already have seen, so they alone cannot tell it that its view is stale.
struct TChangeCounters {
  int32_t Data = 0;
  int32_t Index = 0;
  int32_t Blob = 0;
  uint32_t Discards = 0;
  bool operator==(const TChangeCounters&) const = default;
};

// What a table is created with, beyond its name.
struct TTableDefinition {
  std::vector<TFieldDescriptor> Fields;  // laid out (offsets and sizes computed)
  // The primary index first (no fields: a table without a user primary key), then the
  // secondary indexes.
  std::vector<TIndexDescriptor> Indexes;
  int16_t Language = 0;
  uint16_t Sort = 0;
  std::string Description;
  std::string Password;
  bool Encrypted = false;
  uint32_t BlobBlockSize = kDefaultBlobBlockSize;
  int16_t UserMajorVersion = 0;
  int16_t UserMinorVersion = 0;
};

class TDataTable {
 public:
  // `directory` is the database's path ending in "/" (empty for in-memory tables);
  // `settings` are the session's (nullptr: the defaults), and must outlive the table.
  TDataTable(TDataDirectory* database, std::string directory,
             const TTableSettings* settings = nullptr);
  ~TDataTable();
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  // ---- Name and options (set before Open or Create) ----
  void SetName(std::string name) { Name_ = std::move(name); }
  const std::string& Name() const { return Name_; }
  const std::string& Directory() const { return Directory_; }
  void SetExclusive(bool value) { Exclusive_ = value; }
  void SetReadOnly(bool value) { ReadOnly_ = value; }
  void SetInMemory(bool value) { InMemory_ = value; }
  void SetTemporary(bool value) { Temporary_ = value; }
  bool Exclusive() const { return Exclusive_; }
  bool ReadOnly() const { return ReadOnly_ || ReadOnlyByAttribute_; }
  bool ReadOnlyByAttribute() const { return ReadOnlyByAttribute_; }
  bool InMemory() const { return InMemory_; }
  bool Temporary() const { return Temporary_; }
  bool IsOpen() const { return Open_; }
  uint16_t OpenCount() const { return OpenCount_; }

  // The names of the table's files.
  std::string DataFileName() const;
  std::string IndexFileName() const;
  std::string BlobFileName() const;
  // The journal beside the files (see engine/journal.h).
  std::string JournalFileName() const;

  // ---- Table operations ----
  // Opens the files for the first cursor (open count 1); a file with the read-only
  // attribute makes the table read-only. On failure everything opened is closed again.
  // A journal left by a process that died in its commit is replayed first, under the write
  // lock, before anything of the table is read; a read-only open that finds a committed
  // journal writes nothing and raises VELDOR_FILENOACCESS (the table needs a writer to
  // finish the commit).
  void Open();
  // Whether the last Open replayed a committed journal.
  bool JournalReplayed() const { return JournalReplayed_; }
  // Whether a commit of this table (opened exclusively) took effect but its copy into the
  // files failed after the journal's mark: the next operation finishes it
  // (FinishPendingCommit), and until then the commit stands in the journal. Shared tables
  // never keep this mark: the next lock of any process finds and finishes the commit.
  bool CommitPending() const { return PendingCopy_; }
  void FinishPendingCommit();
  // Bytes the journal of the transaction in progress holds (0 without one).
  int64_t JournalSize() const;
  // A further cursor: raises VELDOR_OSEACCES when the table or the request is exclusive,
  // unless the request comes from a clone of an exclusive cursor.
  void AddUser(bool exclusive, bool clone);
  // One cursor closes; the last one writes an exclusive table back (unless a temporary
  // table is closed with `discard`) and closes the files. Never throws from a failed
  // write-back of a table being discarded.
  void Close(bool discard = false);
  // Creates the files from a definition and leaves the table open for one user,
  // exclusively. An open table raises VELDOR_OSEACCES.
  void Create(const TTableDefinition& definition);
  // Delete and rename the files of a closed table (VELDOR_OSEACCES when open). Rename
  // with `toBackup` uses the backup endings, replacing existing backups. A rename on disk is
  // planned in a maintenance record (engine/maintenance_record.h) before the first file
  // moves, so that a process dying half-way leaves a rename the next opener of either name
  // finishes; a file that another program holds open refuses it before anything moves.
  // Delete on disk goes the same way, and takes the table's journal with it.
  void Delete();
  void Rename(const std::string& newName, bool toBackup);
  // Truncates the files to their headers and resets their counters.
  void Empty();
  // Flushes and copies the index file to its ".IBK" name; RestoreIndex copies it back over
  // the open index file (unless `skipCopy`) and optionally deletes the backup.
  void BackupIndex();
  void RestoreIndex(bool skipCopy, bool deleteBackup);
  // Writes back what changed: records, data header, descriptors, then index pages and
  // index header, then BLOB blocks and BLOB header. Nothing for a read-only table; inside a
  // transaction only marks the headers changed.
  void Flush(bool trimCaches = false, bool forceDataHeader = false, bool forceOsFlush = false,
             bool forceIndexHeader = false, bool forceBlobHeader = false);
  // The header checks of an opened table (VELDOR_OLDVERSION, VELDOR_CANNOTLOADLDDRV,
  // VELDOR_HEADERCORRUPT).
  void VerifyHeaders();
  // Checks the format version byte only.
  void VerifyVersion();
  // Re-reads the headers when another process wrote them; drops the caches that are stale.
  bool ReloadIfChanged();

  // ---- Table information ----
  TDataHeader GetHeader() const { return Data_->Header(); }
  std::string Description() const { return Data_->Header().Description(); }
  std::string Password() const { return Data_->Header().Password(); }
  bool Encrypted() const { return Data_->Header().Encrypted(); }
  int16_t Language() const { return Data_->Header().Language(); }
  uint16_t SortId() const { return Data_->Header().SortId(); }
  const TCollation& Collation() const;
  int16_t UserMajorVersion() const { return Data_->Header().UserMajorVersion(); }
  int16_t UserMinorVersion() const { return Data_->Header().UserMinorVersion(); }
  uint16_t FieldCount() const { return uint16_t(Data_->Fields().size()); }
  // Field by number (1-based) or by name (without regard to case); nullptr when absent.
  const TFieldDescriptor* Field(uint16_t number) const;
  const TFieldDescriptor* FieldByName(const std::string& name) const;
  int BlobFieldCount() const { return Data_->Header().BlobFieldCount(); }
  uint32_t BlobBlockSize() const { return Data_->Header().BlobBlockSize(); }
  uint16_t RecordSize() const { return Data_->Header().RecordSize(); }
  int32_t RecordCount() const { return Data_->RecordCount(); }
  int32_t LastAutoInc() const { return Data_->Header().LastAutoInc(); }
  void SetLastAutoInc(int32_t value) { Data_->SetLastAutoInc(value); }
  int32_t NextBlobId() { return Data_->NextBlobId(); }
  // Password and description scrambled when encrypted (a plain table keeps no password);
  // marks the header changed.
  void SetTableInformation(const std::string& password, const std::string& description,
                           int16_t userMajor, int16_t userMinor, int32_t lastAutoInc);

  TDataFile& DataFile() { return *Data_; }
  const TDataFile& DataFile() const { return *Data_; }
  TIndexFile& IndexFile() { return *Index_; }
  const TIndexFile& IndexFile() const { return *Index_; }
  // The BLOB file; open only for tables with BLOB fields.
  TBlobFile& BlobFile() { return *Blob_; }
  const TBlobFile& BlobFile() const { return *Blob_; }
  bool HasBlobFile() const { return Blob_->IsOpen(); }
  // Set when the index file was missing at open and was recreated empty: the first cursor
  // rebuilds the "Sys Deleted" index.
  bool IndexFileRecreated() const { return IndexRecreated_; }
  void ClearIndexRecreated() { IndexRecreated_ = false; }

  // ---- Locks between processes (see the protocol in table_locking.cpp) ----
  // Each returns whether the headers were re-read because another process changed them.
  bool LockRecord(int32_t record);
  void UnlockRecord(int32_t record);
  void UnlockAllRecords(bool pendingOnly);
  bool ReadLock();
  void ReadUnlock();
  bool QueryReadLock();
  void QueryReadUnlock();
  bool WriteLock();
  void WriteUnlock();
  void LockTable();
  void UnlockTable();
  bool RecordLockedByProcess(int32_t record) const;
  // The per-cursor marks: a second cursor of this process is refused a record one holds.
  bool RecordLockedByCursor(int32_t record) const;
  void SetRecordLockedByCursor(int32_t record, bool locked);
  bool ReadLocked() const { return ReadLocked_; }
  bool QueryReadLocked() const { return QueryReadLocked_; }
  bool WriteLocked() const { return WriteLocked_; }
  bool TableLocked() const { return TableLocked_; }
  TChangeCounters ChangeCounters() const {
    TChangeCounters c;
    c.Data = Data_->Header().ChangeCounter();
    if (Index_->IsOpen()) c.Index = Index_->Header().ChangeCounter();
    if (Blob_->IsOpen()) c.Blob = Blob_->ChangeCounter();
    c.Discards = Discards_;
    return c;
  }

  // ---- Transactions on this table ----
  // Takes the table lock (the data file's header byte) until the transaction ends; the
  // caches then keep every change in memory. VELDOR_LOCKTIMEOUT when the lock is not had.
  void BeginTransaction();
  // With `end`: writes everything back under the write lock and releases the table lock
  // and the deferred record unlocks. Without: writes back and stays in the transaction.
  void CommitTransaction(bool end, bool forceFlush);
  // Discards every cached change and re-reads the headers; releases the table lock.
  void RollbackTransaction();

  // ---- Atomic changes (maintenance of a table opened exclusively) ----
  // From BeginAtomicChange to CommitAtomicChange every write to the table's files goes to a
  // journal (caches that fill spill there too), so that a process dying at any moment in
  // between leaves the table as it was before, and after the commit's mark as it is after:
  // the next open replays or drops the journal. What was written before is flushed first.
  // Only for a table this process has open exclusively, on disk, outside transactions
  // (anything else: VELDOR_NEEDEXCLACCESS); an in-memory or temporary table, which no crash
  // can outlive, just flushes at the commit. Setting the end of a file (emptying) goes
  // through the journal as well; copying files (CopyTo, CopyFrom) does not and must not be
  // used meanwhile.
  void BeginAtomicChange();
  // Writes everything back into the journal and commits it (see TJournal::Commit): a
  // failure before the mark leaves the files as before the change (the caches are dropped,
  // the headers re-read); after it the change is kept (finished, or left for recovery).
  void CommitAtomicChange();
  // Drops what the change wrote and what the caches hold of it; the table is as before.
  // Never throws.
  void AbandonAtomicChange() noexcept;
  bool InAtomicChange() const { return AtomicChange_; }

  // ---- What the files ask of their table ----
  const TTableSettings& Settings() const { return *Settings_; }
  bool ForceBufferFlush() const { return Settings_->ForceBufferFlush; }
  // Whether a file may write changed buffers back to make room. Outside transactions and
  // table locks: yes, straight to the files (unless writes are journaled: the caches then
  // hold them until the next flush). Inside a transaction: once its changed buffers exceed
  // the session's budget, they go to the transaction's journal, which this call starts;
  // below it the caches grow.
  // `growth`: the bytes the cache takes if it may not write back and grows instead;
  // `pastUsualSize`: the cache (records or blocks) holds its usual number of buffers already.
  bool CanWriteBackUnderPressure(size_t growth, bool pastUsualSize = false);
  // Once a transaction's caches have reached the budget: writes them back and trims them
  // to it.
  void FitCachesToBudget();
  // Gives up the unchanged buffers beyond the caches' usual sizes.
  void TrimCaches();
  // Bytes the records, pages and blocks the caches hold take in memory.
  size_t CachedBytes() const;
  // A read may end early only where this process appended records that are not written
  // yet: an exclusive or locked table that has been written since.
  bool AcceptShortRead() const { return (Exclusive_ || TableLocked_ || WriteLocked_) && Written_; }
  void MarkWritten() { Written_ = true; }
  bool Written() const { return Written_; }
  // Whether the table has a primary index defined by the user (its free slots are reused).
  bool HasUserPrimaryKey() const { return Index_->IsOpen() && !Index_->NoUserPrimary(); }

  bool InTransaction() const { return InTransaction_; }

 private:
  // One reader slot on the index file and, with BLOB fields, one on the BLOB file.
  struct TReaderSlots {
    int32_t Index = 0;
    int32_t Blob = 0;
  };
  void TakeReaderSlots(TReaderSlots& slots);
  void ReleaseReaderSlots(TReaderSlots& slots);
  void EnsureLockBitmaps(int32_t record);
  void ReleaseAllLocks() noexcept;
  // Takes back the reader slots a write lock gave up.
  void ResumeReadLocks();
  // The BLOB file's handle for its locks while it is open, else nullptr.
  TFileHandler* BlobLockFile() const { return Blob_->IsOpen() ? Blob_.get() : nullptr; }
  // Forgets every change the caches hold and reads the headers again from the files (a
  // rollback, a failed commit): every cursor re-synchronises at its next operation.
  void DiscardCachedChanges() noexcept;
  void DropBlobCache() {
    if (Blob_->IsOpen()) Blob_->DropCache();
  }

  void CloseFiles();
  void ConfigureFiles(bool exclusive);
  // Rename of a table on disk through a maintenance record.
  void RenameRecorded(const std::string& newName, bool toBackup);
  void OpenFiles();
  // The journal left by a dead process (see the protocol in table_locking.cpp). Whether
  // this table can have one at all.
  bool JournalMayBeFound() const;
  // At an open, before the files are read: settles a dead journal with handles of its own;
  // true when it replayed one. A read-only open raises for a committed one.
  bool SettleJournalAtOpen();
  // With the whole write lock held: settles a dead journal, dropping every cache after a
  // replay; true when it replayed one.
  bool SettleJournalUnderWriteLock();
  // With `slots` just taken: a dead committed journal is settled under the write lock
  // (the slots are given up meanwhile and taken again); true when it replayed one.
  bool SettleJournalAsReader(TReaderSlots& slots);
  // SettleJournalAsReader for a read lock just taken (`held` its flag); on failure the
  // lock is given up before the error leaves.
  bool SettleOrLetGo(TReaderSlots& slots, bool& held);
  [[noreturn]] void RaisePendingCommit() const;
  // The header byte (when asked) and the writer ranges, in the protocol's order; on failure
  // nothing is held. ReleaseWriterLocks gives them back in reverse; false when one was not
  // held.
  void TakeWriterLocks(bool headerByte);
  bool ReleaseWriterLocks(bool headerByte) noexcept;
  // Whether this table's writes can go through a journal (a writable table on disk).
  bool CanJournal() const { return !InMemory_ && !Temporary_ && !ReadOnly(); }
  // Routes the files' writes to the transaction's journal (made when there is none).
  void StartJournal();
  // Sets aside the room the files take once the caches are written back (see
  // TFileHandler::Reserve); VELDOR_WRITEERR with nothing written when the disk or the
  // file size limit refuses.
  void ReserveRoomForWriteBack();
  // The writes of Flush, in their order.
  void WriteEverything(bool forceDataHeader, bool forceOsFlush, bool forceIndexHeader,
                       bool forceBlobHeader);

  TDataDirectory* Database_;
  std::string Directory_;
  std::string Name_;
  uint16_t OpenCount_ = 0;
  bool Open_ = false;
  bool Exclusive_ = false;
  bool ReadOnly_ = false;
  bool ReadOnlyByAttribute_ = false;
  bool InMemory_ = false;
  bool Temporary_ = false;
  bool InTransaction_ = false;
  bool TableLocked_ = false;
  bool WriteLocked_ = false;
  bool WriteLockInMemory_ = false;  // taken inside a transaction: no system lock behind it
  bool CachesFitted_ = false;  // the transaction's caches reached the budget and were trimmed to it
  bool Written_ = false;
  // While the table lock is held: records from here on were appended under it, and their
  // locks are this process's marks alone (see LockRecord).
  int32_t UnsharedFrom_ = INT32_MAX;
  bool IndexRecreated_ = false;
  bool JournalReplayed_ = false;
  bool PendingCopy_ = false;  // see CommitPending
  // The journal's name, worked out at the open from the data file's own name.
  std::string JournalPath_;
  bool Committing_ = false;  // a commit's write-back: it goes through the journal
  bool AtomicChange_ = false;  // see BeginAtomicChange: the journal commits only at its end
  uint32_t Discards_ = 0;  // see TChangeCounters
  const TTableSettings* Settings_;
  bool ReadLocked_ = false;
  bool QueryReadLocked_ = false;
  TReaderSlots ReadSlots_;
  TReaderSlots QuerySlots_;
  // Read locks given up while the write lock is held (a writer's ranges cover them).
  bool ReadSuspended_ = false;
  bool QueryReadSuspended_ = false;
  std::unique_ptr<TRecordsBitmap> ProcessLocks_;   // records this process holds
  std::unique_ptr<TRecordsBitmap> CursorLocks_;    // records some cursor of it holds
  std::unique_ptr<TRecordsBitmap> PendingUnlocks_; // unlocks deferred by the table lock
  std::unique_ptr<TDataFile> Data_;
  std::unique_ptr<TIndexFile> Index_;
  std::unique_ptr<TBlobFile> Blob_;
  // The journal of the transaction (or journaled write-back) in progress; overlays the
  // files above while it exists, so it is declared after them and dropped first.
  std::unique_ptr<TJournal> Journal_;
};

// The check made for a cursor before its records, pages or blocks are read from a file:
// unless every operation already checks (strict change detection), take the table's read
// lock, which re-reads the headers that another process wrote, and report a change when
// the counters the cursor saved are no longer the table's. The cursor then re-synchronises.
class TChangeCheck : public TReadHooks {
 public:
  TChangeCheck(TDataTable& table, const TChangeCounters& saved) : Table_(table), Saved_(saved) {}
  bool BeforeDiskRead() override {
    if (Table_.Settings().StrictChangeDetection) return true;
    Table_.ReadLock();
    return Table_.ChangeCounters() == Saved_;
  }
  int ReadAheadCount(int32_t, bool, int) override { return 0; }

 private:
  TDataTable& Table_;
  const TChangeCounters& Saved_;
};

}  // namespace veldor
