#include "engine/session.h"

#include <algorithm>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "engine/errors.h"
#include "engine/journal.h"
#include "engine/maintenance_record.h"
#include "engine/table_header.h"
#include "lib/collation.h"
#include "lib/file_layer.h"
#include "lib/records_bitmap.h"
#include "lib/name_text.h"

namespace veldor {
namespace {

constexpr size_t kNotFound = size_t(-1);
constexpr size_t kShortStringLength = 255;

std::string Trim(const std::string& text) { return TrimControls(text); }

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// What a database is found again by: the canonical path ending in "/" when the directory
// exists, else the path as given.
std::string DirectoryKey(const std::string& path) {
  char resolved[PATH_MAX];
  struct stat info;
  if (realpath(path.c_str(), resolved) == nullptr || stat(resolved, &info) != 0 ||
      !S_ISDIR(info.st_mode))
    return path;
  return WithTrailingSlash(resolved);
}

std::string CurrentDirectory() {
  std::error_code error;
  std::filesystem::path current = std::filesystem::current_path(error);
  // A current directory that no longer exists: names stay relative to it.
  if (error) return "./";
  return WithTrailingSlash(Trim(current.string()));
}

// The registry's identity of a table name: its data file name without a directory.
std::string TableIdentity(const std::string& trimmedName) {
  return TableFileName("", trimmedName, kDataExtension);
}

std::string ShortString(const std::string& text) { return text.substr(0, kShortStringLength); }

void RemoveFirst(std::vector<TDatabaseObject*>& list, TDatabaseObject* object) {
  for (auto it = list.begin(); it != list.end(); ++it)
    if (*it == object) {
      list.erase(it);
      return;
    }
}

// Asks every object of `list`, last first, to destroy itself; one that does not unregister
// is taken off the list so that the loop ends.
void DestroyTracked(std::vector<TDatabaseObject*>& list) {
  while (!list.empty()) {
    TDatabaseObject* object = list.back();
    try {
      object->DestroyByDatabase();
    } catch (...) {
      // The database is going away; the object's failure cannot be reported from here.
    }
    if (!list.empty() && list.back() == object) list.pop_back();
  }
}

// Closes a table that opened but could not join a transaction; the first failure is the
// one its caller reports.
void CloseAfterFailure(TDataTable& table) noexcept {
  try {
    if (table.IsOpen()) table.Close();
  } catch (...) {
  }
}

}  // namespace

// ---- TDataDirectory --------------------------------------------------------------------------

TDataDirectory::TDataDirectory(TDataSession* session, std::string name, std::string path,
                               std::string key)
    : Session_(session), Name_(ShortString(name)), Path_(std::move(path)), Key_(std::move(key)) {
  if (Session_->TrackObjects() != 0) {
    Cursors_.emplace();
    Statements_.emplace();
  }
}

TDataDirectory::~TDataDirectory() {
  try {
    RollbackTransaction();
  } catch (...) {
    // Every table has been rolled back as far as it could be; nothing is left to report to.
  }
  if (Statements_) DestroyTracked(*Statements_);
  if (Cursors_) DestroyTracked(*Cursors_);
  while (!Tables_.empty()) Tables_.pop_back();
}

size_t TDataDirectory::FindIndex(const std::string& trimmedName, bool inMemory) const {
  std::string identity = TableIdentity(trimmedName);
  for (size_t i = 0; i < Tables_.size(); ++i)
    if (Tables_[i]->InMemory() == inMemory &&
        EqualsIgnoreCase(TableIdentity(Tables_[i]->Name()), identity))
      return i;
  return kNotFound;
}

size_t TDataDirectory::IndexOf(const TDataTable* table) const {
  for (size_t i = 0; i < Tables_.size(); ++i)
    if (Tables_[i].get() == table) return i;
  return kNotFound;
}

TDataTable* TDataDirectory::FindTable(const std::string& name, bool inMemory) const {
  size_t i = FindIndex(Trim(name), inMemory);
  return i == kNotFound ? nullptr : Tables_[i].get();
}

std::unique_ptr<TDataTable> TDataDirectory::MakeTable(const std::string& trimmedName,
                                                      bool inMemory) {
  auto table = std::make_unique<TDataTable>(this, Path_, &Session_->TableSettings());
  table->SetName(trimmedName);
  table->SetInMemory(inMemory);
  return table;
}

void TDataDirectory::DropTable(size_t index) {
  std::unique_ptr<TDataTable> table = std::move(Tables_[index]);
  Tables_.erase(Tables_.begin() + std::ptrdiff_t(index));
  // A table kept for a transaction that has ended still has its files open: its last close
  // writes an exclusive table back and releases its locks.
  if (table->IsOpen()) table->Close();
}

void TDataDirectory::DropIfUnused(size_t index) {
  const TDataTable& table = *Tables_[index];
  if (table.OpenCount() == 0 && !table.InTransaction()) DropTable(index);
}

void TDataDirectory::FinishMaintenance(const std::string& trimmedName, bool inMemory,
                                       bool readOnly) const {
  // Nothing of an in-memory table outlives its process, and so nothing is left to finish.
  if (!inMemory) TMaintenanceRecord::Recover(Path_, trimmedName, readOnly);
}

void TDataDirectory::DropJournal(const std::string& trimmedName, bool inMemory) const {
  if (inMemory) return;
  TFileHandler journal(JournalFileNameFor(TableFileName(Path_, trimmedName, kDataExtension)));
  if (journal.Exists()) journal.Delete();
}

int TDataDirectory::OpenTable(const std::string& name, bool exclusive, bool inMemory, bool clone,
                              const TTableOpenOptions& options, TDataTable*& table) {
  table = nullptr;
  std::string trimmed = Trim(name);
  size_t index = FindIndex(trimmed, inMemory);
  if (index != kNotFound) {
    TDataTable* found = Tables_[index].get();
    if (found->OpenCount() > 0) {
      if ((found->Exclusive() || exclusive) && !clone) return -int(VELDOR_OSEACCES);
      found->AddUser(exclusive, clone);
      table = found;
      return 0;
    }
    if (found->IsOpen()) {
      // Kept for a transaction: its files are open with its first opener's sharing and its
      // caches hold the uncommitted changes, so it is reused as it is. Reopening would
      // lose those changes; an exclusive request cannot have a table opened shared.
      if (exclusive && !found->Exclusive()) return -int(VELDOR_OSEACCES);
      found->AddUser(false, true);
      table = found;
      return 0;
    }
    found->SetExclusive(exclusive);
    found->SetReadOnly(options.ReadOnly);
    found->SetTemporary(options.Temporary);
    try {
      if (!options.Temporary) FinishMaintenance(trimmed, inMemory, options.ReadOnly);
      found->Open();
      if (InTransaction_) found->BeginTransaction();
    } catch (...) {
      CloseAfterFailure(*found);
      DropTable(index);
      throw;
    }
    table = found;
    return 0;
  }
  if (!options.Temporary) FinishMaintenance(trimmed, inMemory, options.ReadOnly);
  std::unique_ptr<TDataTable> fresh = MakeTable(trimmed, inMemory);
  fresh->SetExclusive(exclusive);
  fresh->SetReadOnly(options.ReadOnly);
  fresh->SetTemporary(options.Temporary);
  fresh->Open();
  if (InTransaction_) {
    try {
      fresh->BeginTransaction();
    } catch (...) {
      CloseAfterFailure(*fresh);
      throw;
    }
  }
  table = fresh.get();
  Tables_.push_back(std::move(fresh));
  return 0;
}

int TDataDirectory::CreateTable(const std::string& name, bool inMemory,
                                const TTableDefinition& definition, bool temporary,
                                TDataTable*& table) {
  table = nullptr;
  std::string trimmed = Trim(name);
  size_t index = FindIndex(trimmed, inMemory);
  if (index != kNotFound) {
    const TDataTable& found = *Tables_[index];
    if (found.OpenCount() > 0 || found.IsOpen()) return -int(VELDOR_OSEACCES);
  }
  if (!temporary) FinishMaintenance(trimmed, inMemory, false);
  if (index == kNotFound) {
    Tables_.push_back(MakeTable(trimmed, inMemory));
    index = Tables_.size() - 1;
  }
  TDataTable* target = Tables_[index].get();
  target->SetExclusive(true);
  target->SetInMemory(inMemory);
  target->SetReadOnly(false);
  target->SetTemporary(temporary);
  try {
    target->Create(definition);
    // A journal left beside the name belonged to a table that is gone: replayed into this
    // one at its first open, it would damage it.
    if (!temporary) DropJournal(trimmed, inMemory);
  } catch (...) {
    DropTable(index);
    throw;
  }
  table = target;
  return 0;
}

int TDataDirectory::CloseTable(TDataTable* table, bool discard) {
  size_t index = IndexOf(table);
  if (index == kNotFound) return -int(VELDOR_OSENOENT);
  if (table->OpenCount() > 0) {
    try {
      table->Close(discard);
    } catch (...) {
      DropIfUnused(index);
      throw;
    }
  }
  DropIfUnused(index);
  return 0;
}

int TDataDirectory::DeleteTable(const std::string& name, bool inMemory) {
  std::string trimmed = Trim(name);
  size_t index = FindIndex(trimmed, inMemory);
  if (index != kNotFound) {
    TDataTable& found = *Tables_[index];
    if (found.OpenCount() > 0 || found.IsOpen()) return -int(VELDOR_OSEACCES);
  }
  FinishMaintenance(trimmed, inMemory, false);
  if (index != kNotFound) {
    Tables_[index]->Delete();
    DropTable(index);
  } else {
    MakeTable(trimmed, inMemory)->Delete();
  }
  return 0;
}

int TDataDirectory::RenameTable(const std::string& name, bool inMemory, const std::string& newName,
                                bool toBackup) {
  std::string trimmed = Trim(name);
  size_t index = FindIndex(trimmed, inMemory);
  if (index != kNotFound) {
    TDataTable& found = *Tables_[index];
    if (found.OpenCount() > 0 || found.IsOpen()) return -int(VELDOR_OSEACCES);
  }
  // Both names are settled first: a rename of either that did not finish is finished.
  FinishMaintenance(trimmed, inMemory, false);
  if (!toBackup) FinishMaintenance(Trim(newName), inMemory, false);
  if (index != kNotFound) {
    Tables_[index]->Rename(Trim(newName), toBackup);
    return 0;
  }
  MakeTable(trimmed, inMemory)->Rename(Trim(newName), toBackup);
  return 0;
}

bool TDataDirectory::TableExists(const std::string& name, bool inMemory) const {
  // In-memory table files carry no directory, whatever the database's key. On disk, an
  // unfinished maintenance decides, as its next opener will finish or undo it.
  if (!inMemory) {
    if (std::optional<bool> after = TMaintenanceRecord::DataFileAfterRecovery(Key_, Trim(name)))
      return *after;
  }
  return FileList().FileExists(TableFileName(inMemory ? "" : Key_, Trim(name), kDataExtension),
                               inMemory);
}

std::string TDataDirectory::GetTempTableName(bool inMemory) const {
  std::string prefix = std::to_string(std::llabs(static_cast<long long>(gettid()))).substr(0, 5);
  for (unsigned long long n = 0;; ++n) {
    std::string candidate = prefix + std::to_string(n) + kDataExtension;
    if (!TableExists(candidate, inMemory)) return candidate;
  }
}

int TDataDirectory::StartTransaction() {
  if (InTransaction_) return 0;
  int result = 0;
  try {
    for (const std::unique_ptr<TDataTable>& table : Tables_) table->BeginTransaction();
    InTransaction_ = true;
    return 0;
  } catch (const EVELDOREngineError& e) {
    result = -int(e.ErrorCode);
  } catch (...) {
    try {
      RollbackTransaction();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
  try {
    RollbackTransaction();
  } catch (const EVELDOREngineError&) {
    // Already reporting why the transaction did not start.
  }
  return result;
}

void TDataDirectory::CommitTransaction(bool endTransaction, bool forceFlush) {
  ++CommitCount_;
  for (size_t i = Tables_.size(); i-- > 0;) {
    Tables_[i]->CommitTransaction(endTransaction, forceFlush);
    DropIfUnused(i);
  }
  InTransaction_ = false;
}

void TDataDirectory::RollbackTransaction() {
  std::exception_ptr failure;
  for (size_t i = Tables_.size(); i-- > 0;) {
    try {
      Tables_[i]->RollbackTransaction();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    try {
      DropIfUnused(i);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  InTransaction_ = false;
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::RegisterCursor(TDatabaseObject* cursor) {
  if (Cursors_) Cursors_->push_back(cursor);
}
void TDataDirectory::UnregisterCursor(TDatabaseObject* cursor) {
  if (Cursors_) RemoveFirst(*Cursors_, cursor);
}
void TDataDirectory::RegisterStatement(TDatabaseObject* statement) {
  if (Statements_) Statements_->push_back(statement);
}
void TDataDirectory::UnregisterStatement(TDatabaseObject* statement) {
  if (Statements_) RemoveFirst(*Statements_, statement);
}
const std::vector<TDatabaseObject*>* TDataDirectory::Cursors() const {
  return Cursors_ ? &*Cursors_ : nullptr;
}
const std::vector<TDatabaseObject*>* TDataDirectory::Statements() const {
  return Statements_ ? &*Statements_ : nullptr;
}

// ---- TDataSession ----------------------------------------------------------------------------

TDataSession::TDataSession(int32_t trackObjects)
    : TrackObjects_(trackObjects), WorkingDirectory_(CurrentDirectory()) {}

TDataSession::~TDataSession() {
  DeleteAllPasswords();
  while (!Directories_.empty()) Directories_.pop_back();
}

TDataDirectory* TDataSession::OpenDataDirectory(const std::string& name,
                                                const std::string& directory, bool /*byName*/) {
  return OpenLocalDataDirectory(name, directory);
}

TDataDirectory* TDataSession::OpenLocalDataDirectory(const std::string& name,
                                                     const std::string& directory) {
  bool memory = EqualsIgnoreCase(Trim(name), "Memory");
  std::string trimmed = Trim(directory);
  std::string path, key;
  if (memory) {
    path = trimmed.empty() ? "" : WithTrailingSlash(trimmed);
    key = path;
  } else {
    path = trimmed.empty() ? WorkingDirectory_ : WithTrailingSlash(trimmed);
    key = DirectoryKey(path);
  }
  for (const std::unique_ptr<TDataDirectory>& open : Directories_)
    if (open->Key() == key) {
      open->AddReference();
      return open.get();
    }
  Directories_.push_back(std::make_unique<TDataDirectory>(this, name, path, key));
  Directories_.back()->AddReference();
  return Directories_.back().get();
}

void TDataSession::CloseDataDirectory(TDataDirectory* directory, bool /*noRequest*/) {
  for (auto it = Directories_.begin(); it != Directories_.end(); ++it) {
    if (it->get() != directory) continue;
    if (directory->OpenCount() == 0) return;
    directory->ReleaseReference();
    if (directory->OpenCount() > 0) return;
    std::unique_ptr<TDataDirectory> closing = std::move(*it);
    Directories_.erase(it);
    return;
  }
}

void TDataSession::SetPrivateDirectory(const std::string& path) {
  std::string trimmed = Trim(path);
  // A blank value would otherwise become "/", the root directory.
  if (trimmed.empty()) return;
  PrivateDirectory_ = WithTrailingSlash(trimmed);
}

const std::string& TDataSession::GetPrivateDirectory() const {
  return PrivateDirectory_.empty() ? WorkingDirectory_ : PrivateDirectory_;
}

void TDataSession::SetProgressSteps(uint16_t steps) {
  if (steps != ProgressSteps_) ProgressSteps_ = steps;
}

uint16_t TDataSession::ProgressStepPercent() const {
  if (ProgressSteps_ == 0) return 100;
  // More than 100 steps would give steps of 0 percent, which a progress loop never leaves.
  return ProgressSteps_ > 100 ? 1 : uint16_t(100 / ProgressSteps_);
}

void TDataSession::SetForceBufferFlush(bool value) {
  if (value != Settings_.ForceBufferFlush) Settings_.ForceBufferFlush = value;
}
void TDataSession::SetStrictChangeDetection(bool value) {
  if (value != Settings_.StrictChangeDetection) Settings_.StrictChangeDetection = value;
}
void TDataSession::SetLockRetryCount(uint8_t value) {
  if (value != Settings_.LockRetryCount) Settings_.LockRetryCount = value;
}
void TDataSession::SetLockWaitTime(uint16_t value) {
  if (value != Settings_.LockWaitTime) Settings_.LockWaitTime = value;
}
void TDataSession::SetTransactionMemory(size_t bytes) {
  Settings_.TransactionMemory = std::max<size_t>(bytes, size_t(64) << 10);
}
void TDataSession::SetJournaledWrites(bool value) { Settings_.JournaledWrites = value; }

void TDataSession::AddPassword(const std::string& password) {
  if (password.empty() || PasswordExists(password)) return;
  Passwords_.push_back(ShortString(password));
}

void TDataSession::DeletePassword(const std::string& password) {
  std::string stored = ShortString(password);
  for (auto it = Passwords_.begin(); it != Passwords_.end(); ++it)
    if (*it == stored) {
      Passwords_.erase(it);
      return;
    }
}

bool TDataSession::PasswordExists(const std::string& password) const {
  std::string stored = ShortString(password);
  for (const std::string& entry : Passwords_)
    if (entry == stored) return true;
  return false;
}

// ---- The engine ------------------------------------------------------------------------------

namespace {

struct TEngineState {
  std::mutex Lock;  // guards the three members below
  bool Started = false;
  std::unique_ptr<TDataSession> DefaultSession;  // the session InitEngine made
  TDataSession* CurrentSession = nullptr;
};

TEngineState& Engine() {
  static TEngineState state;
  return state;
}

}  // namespace

void InitEngine() {
  TEngineState& engine = Engine();
  std::lock_guard<std::mutex> guard(engine.Lock);
  if (engine.Started) return;
  engine.Started = true;
  // The shared pools are made on first use; touching them here makes them exist before the
  // first session does, in the order the engine depends on them.
  ProcessBitmapStack();
  LanguageCharMaps();
  FileList();
  // Byte order's case tables come from ICU's case mapping, whose data loads on first use:
  // at start-up rather than in the first table open of the process.
  GetCollation(0, 0);
  engine.DefaultSession = std::make_unique<TDataSession>(0);
  engine.CurrentSession = engine.DefaultSession.get();
}

void ShutdownEngine() {
  TEngineState& engine = Engine();
  std::lock_guard<std::mutex> guard(engine.Lock);
  if (!engine.Started) return;
  engine.DefaultSession.reset();
  engine.CurrentSession = nullptr;
  // The file list and the character maps live until the process ends (handlers closing
  // during static destruction still find them); the bitmap pool gives its memory back.
  ProcessBitmapStack().Clear();
  engine.Started = false;
}

TDataSession* GetDefaultEngineSession() {
  TEngineState& engine = Engine();
  {
    std::lock_guard<std::mutex> guard(engine.Lock);
    if (engine.Started) return engine.CurrentSession;
  }
  RaiseEngineError(VELDOR_NOTINITIALIZED, "", "", "", "", "", "", "");
}

void SetCurrentEngineSession(TDataSession* session) {
  TEngineState& engine = Engine();
  std::lock_guard<std::mutex> guard(engine.Lock);
  engine.CurrentSession = session;
}

}  // namespace veldor
