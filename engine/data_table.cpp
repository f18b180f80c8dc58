#include "engine/data_table.h"

#include <exception>

#include "engine/errors.h"
#include "lib/collation.h"

namespace veldor {
namespace {

bool SameNameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

TDataTable::TDataTable(TDataDirectory* database, std::string directory)
    : Database_(database), Directory_(std::move(directory)),
      Data_(std::make_unique<TDataFile>(this)), Index_(std::make_unique<TIndexFile>(this)) {}

TDataTable::~TDataTable() {
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

void TDataTable::ConfigureFiles(bool exclusive) {
  Data_->SetFileName(DataFileName());
  Index_->SetFileName(IndexFileName());
  for (TFileHandler* file : {static_cast<TFileHandler*>(Data_.get()),
                             static_cast<TFileHandler*>(Index_.get())}) {
    file->SetInMemory(InMemory_);
    file->SetExclusive(exclusive);
    file->SetTemporary(Temporary_);
  }
}

void TDataTable::Open() {
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
      Index_->Create();
      Index_->SetNoUserPrimary(true);
      Index_->WriteHeader(true, false);
      Index_->Close();
      Index_->SetExclusive(Exclusive_);
      Index_->Open();
    }
  } catch (...) {
    CloseFiles();
    OpenCount_ = 0;
    throw;
  }
  ReadOnlyByAttribute_ = Data_->ReadOnlyByAttribute() || Index_->ReadOnlyByAttribute();
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
    } else {
      try {
        Flush(false, false, false);
      } catch (...) {
        CloseFiles();
        throw;
      }
    }
  }
  CloseFiles();
}

void TDataTable::CloseFiles() {
  Open_ = false;
  // Both files are closed even when the first close fails; the first failure is raised.
  std::exception_ptr failure;
  try {
    Index_->Close();
  } catch (...) {
    failure = std::current_exception();
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
    Data_->WriteHeader(true, false);
    Data_->WriteDescriptors();
    Index_->WriteHeader(true, false);
  } catch (...) {
    CloseFiles();
    OpenCount_ = 0;
    throw;
  }
}

void TDataTable::Delete() {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  ConfigureFiles(false);
  Data_->Delete();
  if (Index_->Exists()) Index_->Delete();
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
                         {Index_.get(), kIndexExtension, kIndexBackupExtension}};
  for (const TMove& move : moves) {
    if (!move.File->Exists()) continue;
    std::string target =
        TableFileName(directory, newName, toBackup ? move.BackupExtension : move.Extension);
    if (toBackup) {
      TFileHandler old(target, InMemory_);
      if (old.Exists()) old.Delete();
    }
    move.File->Rename(target);
  }
  if (!toBackup) Name_ = newName;
}

void TDataTable::Empty() {
  Data_->Empty();
  Index_->Empty();
  Flush(false, true, false, true);
}

void TDataTable::BackupIndex() {
  Flush();
  Index_->CopyTo(TableFileName(InMemory_ ? "" : Directory_, Name_, kIndexBackupExtension));
}

void TDataTable::RestoreIndex(bool skipCopy, bool deleteBackup) {
  std::string backup = TableFileName(InMemory_ ? "" : Directory_, Name_, kIndexBackupExtension);
  if (!skipCopy) {
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
                       bool forceIndexHeader) {
  if (!Open_ || ReadOnly()) return;
  if (InTransaction_) {
    if (Data_->HeaderChanged()) Data_->MarkHeaderChanged();
    if (Index_->HeaderChanged()) Index_->MarkHeaderChanged();
    return;
  }
  Data_->WriteBack(forceOsFlush);
  Data_->WriteHeader(forceDataHeader, forceOsFlush);
  Data_->WriteDescriptors();
  Index_->WriteBack(forceOsFlush);
  Index_->WriteHeader(forceIndexHeader, forceOsFlush);
  if (trimCaches) {
    Data_->TrimCache();
    Index_->TrimCaches();
  }
}

void TDataTable::VerifyHeaders() {
  std::vector<TFieldDescriptor>& fields = Data_->MutableFields();
  VerifyDataHeader(Data_->Header(), fields, uint64_t(Data_->Size()), Name_);
  if (!IndexRecreated_) Index_->VerifyHeader(fields);
}

void TDataTable::VerifyVersion() {
  if (Data_->Header().FormatVersion() != kFormatVersion ||
      Index_->Header().FormatVersion() != kFormatVersion)
    RaiseTableError(VELDOR_OLDVERSION, Name_);
}

bool TDataTable::ReloadIfChanged() {
  if (Index_->HeaderChangedByOthers()) {
    Index_->DropCaches();
    Data_->ReadHeader();
    Data_->DropCache();
    return true;
  }
  if (!Data_->HeaderChangedByOthers()) return false;
  Data_->DropCache();
  return true;
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
    if (SameNameNoCase(f.FieldName(), name)) return &f;
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
