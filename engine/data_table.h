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

#include "engine/data_file.h"
#include "engine/field_types.h"
#include "engine/index_file.h"
#include "engine/table_header.h"

namespace veldor {

class TCollation;
class TDataDirectory;

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
  // `directory` is the database's path ending in "/" (empty for in-memory tables).
  TDataTable(TDataDirectory* database, std::string directory);
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

  // ---- Table operations ----
  // Opens the files for the first cursor (open count 1); a file with the read-only
  // attribute makes the table read-only. On failure everything opened is closed again.
  void Open();
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
  // with `toBackup` uses the backup endings, replacing existing backups.
  void Delete();
  void Rename(const std::string& newName, bool toBackup);
  // Truncates the files to their headers and resets their counters.
  void Empty();
  // Flushes and copies the index file to its ".IBK" name; RestoreIndex copies it back over
  // the open index file (unless `skipCopy`) and optionally deletes the backup.
  void BackupIndex();
  void RestoreIndex(bool skipCopy, bool deleteBackup);
  // Writes back what changed: records, data header, descriptors, then index pages and
  // index header. Nothing for a read-only table; inside a transaction only marks the
  // headers changed.
  void Flush(bool trimCaches = false, bool forceDataHeader = false, bool forceOsFlush = false,
             bool forceIndexHeader = false);
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
  // Set when the index file was missing at open and was recreated empty: the first cursor
  // rebuilds the "Sys Deleted" index.
  bool IndexFileRecreated() const { return IndexRecreated_; }

  // ---- What the files ask of their table ----
  bool ForceBufferFlush() const { return ForceBufferFlush_; }
  void SetForceBufferFlush(bool value) { ForceBufferFlush_ = value; }
  // Records may be written back to make room only when no uncommitted change can be among
  // them: not inside a transaction or a table lock of this process.
  bool CanWriteBackUnderPressure() const { return !InTransaction_ && !TableLocked_; }
  // A read may end early only where this process appended records that are not written
  // yet: an exclusive or locked table that has been written since.
  bool AcceptShortRead() const { return (Exclusive_ || TableLocked_ || WriteLocked_) && Written_; }
  void MarkWritten() { Written_ = true; }
  bool Written() const { return Written_; }
  // Whether the table has a primary index defined by the user (its free slots are reused).
  bool HasUserPrimaryKey() const { return Index_->IsOpen() && !Index_->NoUserPrimary(); }

  bool InTransaction() const { return InTransaction_; }

 private:
  void CloseFiles();
  void ConfigureFiles(bool exclusive);

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
  bool Written_ = false;
  bool IndexRecreated_ = false;
  bool ForceBufferFlush_ = false;
  std::unique_ptr<TDataFile> Data_;
  std::unique_ptr<TIndexFile> Index_;
};

}  // namespace veldor
