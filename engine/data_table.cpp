#include "engine/data_table.h"

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
      Data_(std::make_unique<TDataFile>(this)) {}

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

void TDataTable::Open() {
  OpenCount_ = 1;
  Open_ = true;
  Written_ = false;
  Data_->SetFileName(DataFileName());
  Data_->SetInMemory(InMemory_);
  Data_->SetExclusive(Exclusive_);
  Data_->SetTemporary(Temporary_);
  try {
    Data_->Open();
  } catch (...) {
    CloseFiles();
    OpenCount_ = 0;
    throw;
  }
  ReadOnlyByAttribute_ = Data_->ReadOnlyByAttribute();
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
  Data_->Close();
  ReadOnlyByAttribute_ = false;
}

void TDataTable::Create(const TTableDefinition& definition) {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  OpenCount_ = 1;
  Open_ = true;
  Exclusive_ = true;
  Written_ = false;
  Data_->SetFileName(DataFileName());
  Data_->SetInMemory(InMemory_);
  Data_->SetExclusive(true);
  Data_->SetTemporary(Temporary_);
  try {
    Data_->CreateTable(definition.Language, definition.Sort, definition.UserMajorVersion,
                       definition.UserMinorVersion, definition.BlobBlockSize, definition.Fields,
                       definition.Description, definition.Password, definition.Encrypted);
    Data_->WriteHeader(true, false);
    Data_->WriteDescriptors();
  } catch (...) {
    CloseFiles();
    OpenCount_ = 0;
    throw;
  }
}

void TDataTable::Delete() {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  Data_->SetInMemory(InMemory_);
  Data_->SetFileName(DataFileName());
  Data_->Delete();
}

void TDataTable::Rename(const std::string& newName, bool toBackup) {
  if (Open_) RaiseTableError(VELDOR_OSEACCES, Name_);
  std::string directory = InMemory_ ? "" : Directory_;
  Data_->SetInMemory(InMemory_);
  Data_->SetFileName(DataFileName());
  if (Data_->Exists()) {
    std::string target =
        TableFileName(directory, newName, toBackup ? kDataBackupExtension : kDataExtension);
    if (toBackup) {
      TDataFile old(this);
      old.SetInMemory(InMemory_);
      old.SetFileName(target);
      if (old.Exists()) old.Delete();
    }
    Data_->Rename(target);
  }
  if (!toBackup) Name_ = newName;
}

void TDataTable::Empty() {
  Data_->Empty();
  Flush(false, true, false);
}

void TDataTable::Flush(bool trimCaches, bool forceDataHeader, bool forceOsFlush) {
  if (!Open_ || ReadOnly()) return;
  if (InTransaction_) {
    if (Data_->HeaderChanged()) Data_->MarkHeaderChanged();
    return;
  }
  Data_->WriteBack(forceOsFlush);
  Data_->WriteHeader(forceDataHeader, forceOsFlush);
  Data_->WriteDescriptors();
  if (trimCaches) Data_->TrimCache();
}

void TDataTable::VerifyHeaders() {
  std::vector<TFieldDescriptor>& fields = Data_->MutableFields();
  VerifyDataHeader(Data_->Header(), fields, uint64_t(Data_->Size()), Name_);
}

void TDataTable::VerifyVersion() {
  if (Data_->Header().FormatVersion() != kFormatVersion) RaiseTableError(VELDOR_OLDVERSION, Name_);
}

bool TDataTable::ReloadIfChanged() {
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
