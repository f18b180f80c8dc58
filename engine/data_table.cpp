#include "engine/data_table.h"
#include "lib/name_text.h"

#include <exception>

#include <malloc.h>

#include "engine/errors.h"
#include "engine/journal.h"
#include "engine/maintenance_record.h"
#include "lib/collation.h"
#include "lib/records_bitmap.h"

namespace veldor {
namespace {

}  // namespace

namespace {
const TTableSettings kDefaultSettings;
}  // namespace

TDataTable::TDataTable(TDataDirectory* database, std::string directory,
                       const TTableSettings* settings)
    : Database_(database), Directory_(std::move(directory)),
      Settings_(settings ? settings : &kDefaultSettings),
      ProcessLocks_(std::make_unique<TRecordsBitmap>()),
      CursorLocks_(std::make_unique<TRecordsBitmap>()),
      PendingUnlocks_(std::make_unique<TRecordsBitmap>()),
      Data_(std::make_unique<TDataFile>(this)), Index_(std::make_unique<TIndexFile>(this)),
      Blob_(std::make_unique<TBlobFile>(this)) {
  for (TRecordsBitmap* b : {ProcessLocks_.get(), CursorLocks_.get(), PendingUnlocks_.get()}) {
    b->SetSize(8192);
    b->ClearAll();
  }
}

TDataTable::~TDataTable() {
  Journal_.reset();
  ReleaseAllLocks();
  try {
    if (Open_) CloseFiles();
  } catch (...) {
    // A destructor must not throw; the files are closed as far as possible.
  }
}

std::string TDataTable::DataFileName() const {
  return TableFileName(InMemory_ ? "" : Directory_, Name_, kDataExtension);
}
std::string TDataTable::IndexFileName() const {
  return TableFileName(InMemory_ ? "" : Directory_, Name_, kIndexExtension);
}
std::string TDataTable::BlobFileName() const {
  return TableFileName(InMemory_ ? "" : Directory_, Name_, kBlobExtension);
}
std::string TDataTable::JournalFileName() const {
  if (InMemory_) return TableFileName("", Name_, kJournalExtension);
  return JournalFileNameFor(DataFileName());
}

int64_t TDataTable::JournalSize() const { return Journal_ ? Journal_->Size() : 0; }

void TDataTable::ConfigureFiles(bool exclusive) {
  Data_->SetFileName(DataFileName());
  Index_->SetFileName(IndexFileName());
  Blob_->SetFileName(BlobFileName());
  for (TFileHandler* file : {static_cast<TFileHandler*>(Data_.get()),
                             static_cast<TFileHandler*>(Index_.get()),
                             static_cast<TFileHandler*>(Blob_.get())}) {
    file->SetInMemory(InMemory_);
    file->SetExclusive(exclusive);
    file->SetTemporary(Temporary_);
  }
}

void TDataTable::Open() {
  JournalReplayed_ = false;
  PendingCopy_ = false;
  JournalPath_ = InMemory_ || Temporary_ ? std::string() : JournalFileName();
  JournalReplayed_ = SettleJournalAtOpen();
  OpenFiles();
}

void TDataTable::OpenFiles() {
  OpenCount_ = 1;
  Open_ = true;
  Written_ = false;
  IndexRecreated_ = false;
  ConfigureFiles(Exclusive_);
  try {
    Data_->Open();
    try {
      Index_->Open();
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode != VELDOR_OSENOENT) throw;
      // A lost index file is recreated empty; the first cursor rebuilds "Sys Deleted".
      IndexRecreated_ = true;
      // A reader creates no file: the rebuilt index lives in a scratch in-memory file of
      // this table object, gone when the table closes, and the first writer recreates the
      // file on disk.
      const bool scratch = !InMemory_ && (ReadOnly_ || Data_->ReadOnlyByAttribute());
      if (scratch) {
        Index_->SetInMemory(true);
        Index_->SetTemporary(true);
        Index_->SetFileName(IndexFileName() + "#scratch@" +
                            std::to_string(reinterpret_cast<uintptr_t>(this)));
      }
      Index_->Create();
      Index_->SetNoUserPrimary(true);
      Index_->WriteHeader(true, false);
      if (!scratch) {
        // Reopened to share it as the table is shared (Create leaves it exclusive).
        Index_->Close();
        Index_->SetExclusive(Exclusive_);
        Index_->Open();
      }
    }
    int blobFields = 0;
    for (const TFieldDescriptor& f : Data_->Fields()) blobFields += f.FieldType() == FIELD_BLOB;
    // The BLOB file is opened on the descriptors' word; a header that disagrees is damaged.
    if (blobFields != Data_->Header().BlobFieldCount())
      RaiseTableError(VELDOR_HEADERCORRUPT, Name_);
    if (blobFields > 0) {
      Blob_->SetBlockSize(Data_->Header().BlobBlockSizeField());
      Blob_->Open();
    }
  } catch (...) {
    CloseFiles();
    OpenCount_ = 0;
    throw;
  }
  ReadOnlyByAttribute_ = Data_->ReadOnlyByAttribute() || Index_->ReadOnlyByAttribute() ||
                         (Blob_->IsOpen() && Blob_->ReadOnlyByAttribute());
}

void TDataTable::AddUser(bool exclusive, bool clone) {
  if ((Exclusive_ || exclusive) && !clone) RaiseTableError(VELDOR_OSEACCES, Name_);
  ++OpenCount_;
}

void TDataTable::Close(bool discard) {
  if (OpenCount_ > 0) --OpenCount_;
  if (OpenCount_ > 0 || InTransaction_) return;
  if (Open_ && Exclusive_ && !ReadOnly()) {
    if (Temporary_ && discard) {
      Data_->DropCache();
      Index_->DropCaches();
      DropBlobCache();
    } else {
      try {
        Flush(false, false, false);
      } catch (...) {
        ReleaseAllLocks();
        CloseFiles();
        throw;
      }
    }
  }
  ReleaseAllLocks();
  CloseFiles();
}

void TDataTable::CloseFiles() {
  Open_ = false;
  Journal_.reset();
  // Both files are closed even when the first close fails; the first failure is raised.
  std::exception_ptr failure;
  for (TFileHandler* file : {static_cast<TFileHandler*>(Index_.get()),
                             static_cast<TFileHandler*>(Blob_.get())}) {
    try {
      file->Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  try {
    Data_->Close();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  ReadOnlyByAttribute_ = false;
  if (failure) std::rethrow_exception(failure);
}

void TDataTable::Create(const TTableDefinition& definition) {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  JournalPath_.clear();  // named once the data file exists (see StartJournal)
  PendingCopy_ = false;
  OpenCount_ = 1;
  Open_ = true;
  Exclusive_ = true;
  Written_ = false;
  ConfigureFiles(true);
  try {
    Data_->CreateTable(definition.Language, definition.Sort, definition.UserMajorVersion,
                       definition.UserMinorVersion, definition.BlobBlockSize, definition.Fields,
                       definition.Description, definition.Password, definition.Encrypted);
    Index_->Create();
    TIndexDescriptor primary = definition.Indexes.empty() ? TIndexDescriptor{} : definition.Indexes[0];
    Index_->AddPrimaryIndex(primary, definition.Fields);
    for (size_t i = 1; i < definition.Indexes.size(); ++i)
      Index_->AddSecondaryIndex(definition.Indexes[i], definition.Fields);
    bool blobs = false;
    for (const TFieldDescriptor& f : definition.Fields) blobs |= f.FieldType() == FIELD_BLOB;
    if (blobs) {
      Blob_->SetBlockSize(definition.BlobBlockSize);
      Blob_->Create();
    }
    Data_->WriteHeader(true, false);
    Data_->WriteDescriptors();
    Index_->WriteHeader(true, false);
    if (blobs) Blob_->WriteHeader(true, false);
  } catch (...) {
    CloseFiles();
    OpenCount_ = 0;
    throw;
  }
}

void TDataTable::Delete() {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  ConfigureFiles(false);
  if (InMemory_ || !Data_->Exists()) {
    Data_->Delete();  // a missing data file raises VELDOR_OSENOENT
    if (Index_->Exists()) Index_->Delete();
    if (Blob_->Exists()) Blob_->Delete();
    return;
  }
  // On disk the files go through a record, so that a process dying half-way leaves a
  // deletion the next opener finishes, not a table without its index file. The journal of
  // a table that is gone has nothing left to put right: it goes with it.
  TMaintenanceRecord record(Directory_, Name_, TMaintenanceKind::Delete);
  for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension}) {
    const std::string file = record.FileOf(Name_, extension);
    TFileHandler probe(record.Directory() + file);
    if (!probe.Exists()) continue;
    // A file another program holds open refuses the deletion before anything goes.
    probe.SetExclusive(true);
    probe.Open();
    probe.Close();
    record.AddMove(file, "", "", false);
  }
  // With the files free, a journal beside them is a dead writer's.
  const std::string journal = JournalFileName();
  if (DiskFileExists(journal)) record.AddMove(journal.substr(journal.rfind('/') + 1), "", "", false);
  record.Write(true);
  record.Finish();
}

void TDataTable::Rename(const std::string& newName, bool toBackup) {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  std::string directory = InMemory_ ? "" : Directory_;
  ConfigureFiles(false);
  struct TMove {
    TFileHandler* File;
    const char* Extension;
    const char* BackupExtension;
  };
  const TMove moves[] = {{Data_.get(), kDataExtension, kDataBackupExtension},
                         {Index_.get(), kIndexExtension, kIndexBackupExtension},
                         {Blob_.get(), kBlobExtension, kBlobBackupExtension}};
  // A file already standing under the new name would leave the table half renamed, under
  // a name that opens neither table: refuse before moving anything.
  if (!toBackup && !SameName(newName, Name_)) {
    for (const TMove& move : moves) {
      TFileHandler existing(TableFileName(directory, newName, move.Extension), InMemory_);
      if (existing.Exists()) RaiseTableError(VELDOR_TABLEEXISTS, newName);
    }
  }
  if (!InMemory_ && !SameName(newName, Name_)) {
    RenameRecorded(newName, toBackup);
    if (!toBackup) Name_ = newName;
    return;
  }
  // In memory nothing outlives the process; a change of case only leaves every file found
  // under either spelling at any moment.
  std::vector<std::pair<TFileHandler*, std::string>> moved;  // file, its name before
  try {
    for (const TMove& move : moves) {
      if (!move.File->Exists()) continue;
      std::string target =
          TableFileName(directory, newName, toBackup ? move.BackupExtension : move.Extension);
      if (toBackup) {
        TFileHandler old(target, InMemory_);
        if (old.Exists()) old.Delete();
      }
      std::string before = move.File->FileName();
      move.File->Rename(target);
      moved.emplace_back(move.File, before);
    }
  } catch (...) {
    // Put back what was renamed, so that the table keeps one name.
    for (auto& [file, before] : moved) {
      try {
        file->Rename(before);
      } catch (...) {
      }
    }
    throw;
  }
  if (!toBackup) Name_ = newName;
}

void TDataTable::RenameRecorded(const std::string& newName, bool toBackup) {
  // A journal beside the files holds changes to them: the table is opened once, which
  // replays a committed one and drops another, so that the files move complete.
  if (TFileHandler(JournalFileName()).Exists()) {
    const bool exclusive = Exclusive_;
    Exclusive_ = true;
    try {
      Open();
      Close();
    } catch (...) {
      Exclusive_ = exclusive;
      throw;
    }
    Exclusive_ = exclusive;
    ConfigureFiles(false);
  }
  TMaintenanceRecord record(Directory_, Name_, TMaintenanceKind::Rename);
  const char* const endings[][2] = {{kDataExtension, kDataBackupExtension},
                                    {kIndexExtension, kIndexBackupExtension},
                                    {kBlobExtension, kBlobBackupExtension}};
  for (const auto& ending : endings) {
    const std::string from = record.FileOf(Name_, ending[0]);
    TFileHandler file(record.Directory() + from);
    if (!file.Exists()) continue;
    // Every file must be free before the record commits the rename: one that another
    // program holds open is refused now, not half-way.
    file.SetExclusive(true);
    file.Open();
    file.Close();
    record.AddMove(from, record.FileOf(toBackup ? Name_ : newName, ending[toBackup ? 1 : 0]), "",
                   toBackup);
  }
  if (!toBackup) record.AddTwin(newName);
  record.Write(true);
  record.Finish();
}

void TDataTable::Empty() {
  Data_->Empty();
  Index_->Empty();
  if (Blob_->IsOpen()) Blob_->Empty();
  Flush(false, true, false, true, true);
}

void TDataTable::BackupIndex() {
  Flush();
  Index_->CopyTo(TableFileName(InMemory_ ? "" : Directory_, Name_, kIndexBackupExtension));
}

void TDataTable::RestoreIndex(bool skipCopy, bool deleteBackup) {
  std::string backup = TableFileName(InMemory_ ? "" : Directory_, Name_, kIndexBackupExtension);
  if (!skipCopy) {
    ++Discards_;
    Index_->DropCaches();
    Index_->CopyFrom(backup);
    // The copy may be shorter than what the index had grown to: cut the rest.
    TFileHandler source(backup, InMemory_);
    source.Open();
    int64_t size = source.Size();
    source.Close();
    {
      TFileSection section(*Index_);
      Index_->Seek(0, size);
      Index_->Write(nullptr, 0);
    }
    Index_->HeaderChangedByOthers();
    Index_->Close();
    Index_->Open();
  }
  if (deleteBackup) {
    TFileHandler file(backup, InMemory_);
    if (file.Exists()) file.Delete();
  }
}

void TDataTable::Flush(bool trimCaches, bool forceDataHeader, bool forceOsFlush,
                       bool forceIndexHeader, bool forceBlobHeader) {
  if (!Open_ || ReadOnly()) return;
  if (PendingCopy_) FinishPendingCommit();
  bool blobs = Blob_->IsOpen();
  if (InTransaction_) {
    if (Data_->HeaderChanged()) Data_->MarkHeaderChanged();
    if (Index_->HeaderChanged()) Index_->MarkHeaderChanged();
    if (blobs && Blob_->HeaderChanged()) Blob_->MarkHeaderChanged();
    return;
  }
  if (Journal_ || (CanJournal() && (Committing_ || Settings_->JournaledWrites))) {
    // Everything goes to the journal, which then commits: the files take all of it or,
    // should the process die, none of it.
    StartJournal();
    WriteEverything(forceDataHeader, forceOsFlush, forceIndexHeader, forceBlobHeader);
    // Everything is in the journal now: the caches shrink before the copy needs its buffers.
    if (trimCaches) TrimCaches();
    if (AtomicChange_) return;  // the change commits as one, at its end
    try {
      Journal_->Commit();
    } catch (...) {
      if (!Journal_->Sealed()) throw;  // nothing committed: the caller goes back
      // Committed: the journal holds the change durably and only its copy into the files
      // failed. It is given up as a dead process's would be and finished at once if it
      // can be (this process holds the whole write lock, or the exclusive open); else by
      // the next lock of any process, or, on an exclusive table, by this one's next step.
      Journal_.reset();
      try {
        std::array<TFileHandler*, kJournalFiles> files = {Data_.get(), Index_.get(),
                                                          Blob_->IsOpen() ? Blob_.get() : nullptr};
        TJournal::Settle(JournalPath_, files, Name_);
      } catch (...) {
        if (Exclusive_) PendingCopy_ = true;
      }
      return;
    }
    Journal_.reset();
  } else {
    // Room first: a disk that fills must not stop the writes between a record and its
    // index keys or its memo's blocks.
    try {
      ReserveRoomForWriteBack();
    } catch (...) {
      // Nothing was written. A shared table's caches hold only the operation that failed,
      // which goes with them; an exclusive table's hold earlier changes too, kept for a
      // later write-back.
      if (!Exclusive_) DiscardCachedChanges();
      throw;
    }
    WriteEverything(forceDataHeader, forceOsFlush, forceIndexHeader, forceBlobHeader);
    if (trimCaches) TrimCaches();
  }
}

void TDataTable::BeginAtomicChange() {
  if (AtomicChange_) return;
  if (!Open_ || !Exclusive_ || ReadOnly() || InTransaction_)
    RaiseTableError(VELDOR_NEEDEXCLACCESS, Name_);
  if (!CanJournal()) {
    // Nothing of an in-memory or temporary table outlives the process.
    AtomicChange_ = true;
    return;
  }
  Flush();
  StartJournal();
  AtomicChange_ = true;
}

void TDataTable::CommitAtomicChange() {
  if (!AtomicChange_) return;
  AtomicChange_ = false;
  if (!Journal_) {
    Flush();
    return;
  }
  Committing_ = true;
  try {
    Flush();
  } catch (...) {
    Committing_ = false;
    if (Journal_ && !Journal_->Sealed()) {
      Journal_->Discard();
      Journal_.reset();
      DiscardCachedChanges();
    }
    Journal_.reset();
    throw;
  }
  Committing_ = false;
}

void TDataTable::AbandonAtomicChange() noexcept {
  if (!AtomicChange_) return;
  AtomicChange_ = false;
  if (Journal_) {
    try {
      Journal_->Discard();
    } catch (...) {
      // A journal that cannot be removed has no mark: the next open drops it.
    }
    Journal_.reset();
  }
  DiscardCachedChanges();
}

void TDataTable::DiscardCachedChanges() noexcept {
  ++Discards_;
  Data_->DropCache();
  Index_->DropCaches();
  DropBlobCache();
  try {
    Data_->ReadHeader();
    Index_->ReloadHeader();
    if (Blob_->IsOpen()) Blob_->ReloadHeader();
  } catch (...) {
    // The headers are read again at the next lock or open; the caller's error stands.
  }
}

void TDataTable::ReserveRoomForWriteBack() {
  // Each file ends where its header says, grown by no more than its cache holds.
  const TDataHeader& data = Data_->Header();
  Data_->Reserve(int64_t(Data_->RecordsStart() +
                         uint64_t(std::max(data.NextRecordNumber() - 1, 0)) * data.RecordSize()),
                 int64_t(Data_->CachedBytes()));
  Index_->Reserve(int64_t(kPageSize) * Index_->Header().NextPageNumber(), int64_t(Index_->CachedBytes()));
  if (Blob_->IsOpen())
    Blob_->Reserve(int64_t(kBlobHeaderSize) +
                       int64_t(std::max(Blob_->Header().NextBlockNumber() - 1, 0)) * int64_t(Blob_->BlockSize()),
                   int64_t(Blob_->CachedCount() * Blob_->BlockSize()));
}

void TDataTable::TrimCaches() {
  Data_->TrimCache();
  Index_->TrimCaches();
  if (Blob_->IsOpen()) Blob_->TrimCache();
}

void TDataTable::WriteEverything(bool forceDataHeader, bool forceOsFlush, bool forceIndexHeader,
                                 bool forceBlobHeader) {
  Data_->WriteBack(forceOsFlush);
  Data_->WriteHeader(forceDataHeader, forceOsFlush);
  Data_->WriteDescriptors();
  Index_->WriteBack(forceOsFlush);
  Index_->WriteHeader(forceIndexHeader, forceOsFlush);
  if (Blob_->IsOpen()) {
    Blob_->WriteBack(forceOsFlush);
    Blob_->WriteHeader(forceBlobHeader, forceOsFlush);
  }
}

void TDataTable::StartJournal() {
  if (Journal_) return;
  CachesFitted_ = false;
  std::array<TFileHandler*, kJournalFiles> files = {Data_.get(), Index_.get(),
                                                    Blob_->IsOpen() ? Blob_.get() : nullptr};
  if (JournalPath_.empty()) JournalPath_ = JournalFileName();
  Journal_ = std::make_unique<TJournal>(JournalPath_, files, Name_);
  Journal_->Attach();
}

bool TDataTable::CanWriteBackUnderPressure(size_t growth, bool pastUsualSize) {
  if (!InTransaction_ && !TableLocked_) return Journal_ != nullptr || !Settings_->JournaledWrites || !CanJournal();
  if (!InTransaction_ || !CanJournal()) return false;
  if (CachesFitted_) return true;
  if (CachedBytes() + growth < Settings_->TransactionMemory) {
    // Below the budget the caches grow, except the record and block caches past their usual
    // size: what they hold is written once and reaches the journal at the commit anyway,
    // while the index pages, which every change walks, make better use of the memory.
    if (!pastUsualSize) return false;
    StartJournal();
    return true;
  }
  StartJournal();
  FitCachesToBudget();
  return true;
}

void TDataTable::FitCachesToBudget() {
  // From here on the caches hold what the budget allows and write back when full. Records
  // and blocks give way to the index pages: a record is appended or changed once, while
  // every change walks the index trees.
  Data_->WriteBack(false);
  Data_->TrimCache();
  size_t others = Data_->CachedBytes() + kJournalWorkingBytes;
  if (Blob_->IsOpen()) {
    Blob_->WriteBack(false);
    Blob_->TrimCache();
    others += Blob_->CachedCount() * Blob_->BlockSize();
  }
  const size_t budget = Settings_->TransactionMemory;
  Index_->LimitCaches(budget > others * 2 ? budget - others : budget / 2);
  CachesFitted_ = true;
  // What the caches gave up goes back to the system now, not when the transaction ends.
  malloc_trim(0);
}

size_t TDataTable::CachedBytes() const {
  size_t bytes = Data_->CachedBytes();
  bytes += Index_->CachedBytes();
  if (Blob_->IsOpen()) bytes += Blob_->CachedCount() * Blob_->BlockSize();
  return bytes;
}

void TDataTable::VerifyHeaders() {
  std::vector<TFieldDescriptor>& fields = Data_->MutableFields();
  VerifyDataHeader(Data_->Header(), fields, uint64_t(Data_->Size()), Name_);
  if (!IndexRecreated_) Index_->VerifyHeader(fields);
  if (Blob_->IsOpen()) Blob_->VerifyHeader();
}

void TDataTable::VerifyVersion() {
  if (Data_->Header().FormatVersion() != kFormatVersion ||
      Index_->Header().FormatVersion() != kFormatVersion)
    RaiseTableError(VELDOR_OLDVERSION, Name_);
  if (Blob_->IsOpen()) Blob_->VerifyVersion();
}

bool TDataTable::ReloadIfChanged() {
  bool changed = false;
  if (Index_->HeaderChangedByOthers()) {
    Index_->DropCaches();
    Data_->ReadHeader();
    Data_->DropCache();
    changed = true;
  } else if (Data_->HeaderChangedByOthers()) {
    Data_->DropCache();
    changed = true;
  }
  if (Blob_->IsOpen() && Blob_->HeaderChangedByOthers()) {
    Blob_->DropCache();
    changed = true;
  }
  return changed;
}

const TCollation& TDataTable::Collation() const {
  return GetCollation(uint16_t(Language()), SortId());
}

const TFieldDescriptor* TDataTable::Field(uint16_t number) const {
  const auto& fields = Data_->Fields();
  if (number < 1 || number > fields.size()) return nullptr;
  return &fields[number - 1];
}

const TFieldDescriptor* TDataTable::FieldByName(const std::string& name) const {
  for (const TFieldDescriptor& f : Data_->Fields())
    if (SameName(f.FieldName(), name)) return &f;
  return nullptr;
}

void TDataTable::SetTableInformation(const std::string& password, const std::string& description,
                                     int16_t userMajor, int16_t userMinor, int32_t lastAutoInc) {
  TDataHeader& header = Data_->MutableHeader();
  header.SetPassword(password);
  header.SetDescription(description);
  header.SetUserMajorVersion(userMajor);
  header.SetUserMinorVersion(userMinor);
  header.SetLastAutoInc(lastAutoInc);
  Data_->SetHeaderChanged();
}

}  // namespace veldor
