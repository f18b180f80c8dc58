// The table component: name and options, opening the cursor on its index, index and
// field definitions, master-detail ranges, the lookup cursor, and the table's files.
#include "components/table.h"

#include <algorithm>

#include "components/component_errors.h"
#include "components/database.h"
#include "components/session.h"
#include "engine/table_check.h"
#include "lib/code_page.h"
#include "lib/name_text.h"

namespace veldor {

// Holds a database flag of the table for a scope: the database stays open meanwhile.
class TVELDORTable::TFlag {
 public:
  TFlag(TVELDORTable& table, int flag) : Table_(table), Flag_(flag) { Table_.SetDBFlag(Flag_, true); }
  ~TFlag() {
    try {
      Table_.SetDBFlag(Flag_, false);
    } catch (...) {
      ApplicationHandleException();
    }
  }
  TFlag(const TFlag&) = delete;
  TFlag& operator=(const TFlag&) = delete;

 private:
  TVELDORTable& Table_;
  int Flag_;
};

namespace {
constexpr int kFlagExists = 3;       // Exists, CreateTable, DeleteTable and maintenance
constexpr int kFlagFieldDefs = 4;    // InitFieldDefs on a closed table
constexpr int kFlagIndexDefs = 5;    // UpdateIndexDefs on a closed table
}  // namespace

TVELDORTable::TVELDORTable(TComponent* owner)
    : TVELDORDBDataSet(owner), IndexDefs_(this), MasterLink_(this) {
  MasterLink_.OnMasterChange = [this](TMasterDataLink&) { MasterChanged(); };
  MasterLink_.OnMasterDisable = [this](TMasterDataLink&) { MasterDisabled(); };
}

TVELDORTable::~TVELDORTable() {
  Destroy();
  MasterLink_.SetDataSource(nullptr);
}

std::string TVELDORTable::EngineVersion() const { return kComponentEngineVersion; }

// ---- Name and options -----------------------------------------------------------------------

void TVELDORTable::SetTableName(const std::string& name) {
  if (Loading()) {
    TableName_ = name;
    return;
  }
  if (name == TableName_) return;
  CheckInactive();
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    if (!InMemory_) SetDatabaseName(name.substr(0, slash + 1));
    TableName_ = name.substr(slash + 1);
  } else {
    TableName_ = name;
  }
  IndexDefs_.SetUpdated(false);
  FieldDefs().SetUpdated(false);
  DataEvent(dePropertyChange, 0);
}

void TVELDORTable::SetDatabaseName(const std::string& name) {
  TVELDORDBDataSet::SetDatabaseName(InMemory_ ? "Memory" : name);
}

void TVELDORTable::SetExclusive(bool value) {
  CheckInactive();
  Exclusive_ = value;
}

void TVELDORTable::SetReadOnly(bool value) {
  CheckInactive();
  ReadOnly_ = value;
}

void TVELDORTable::SetInMemory(bool value) {
  CheckInactive();
  InMemory_ = value;
  if (value) TVELDORDBDataSet::SetDatabaseName("Memory");
}

void TVELDORTable::CheckClosedWithName() {
  CheckInactive();
  if (TableName_.empty()) ComponentError(SNoTableName);
}

// ---- Opening and closing --------------------------------------------------------------------

std::unique_ptr<TDataCursor> TVELDORTable::MakeCursor(bool exclusive, bool readOnly) {
  auto cursor = std::make_unique<TDataCursor>(DBHandle());
  cursor->SetTableName(TableName_);
  cursor->SetExclusive(exclusive);
  cursor->SetReadOnly(readOnly);
  cursor->SetInMemory(InMemory_);
  TVELDORSession* session = Database() ? Database()->Session() : nullptr;
  cursor->SetPasswordCallback([session](TDataCursor&) { return session && session->PasswordRequest(); });
  return cursor;
}

std::string TVELDORTable::ResolveIndexName(const std::string& value, bool fields) {
  if (!fields) return value;
  IndexDefs_.SetUpdated(false);
  UpdateIndexDefs();
  return IndexDefs_.FindIndexForFields(value).Name;
}

TDataCursor* TVELDORTable::CreateHandle() {
  if (TableName_.empty()) ComponentError(SNoTableName);
  IndexDefs_.SetUpdated(false);
  const std::string index = ResolveIndexName();
  std::unique_ptr<TDataCursor> cursor = MakeCursor(Exclusive_, ReadOnly_);
  cursor->Open();
  ReadOnly_ = cursor->ReadOnly();
  cursor->SetIndexName(StoredText(index, "Index name"));
  return OwnHandle(std::move(cursor));
}

void TVELDORTable::AfterOpenCursor() {
  ResolveIndexName();
  UpdateIndexDefs();
  ApplyMasterRange();
}

void TVELDORTable::DestroyHandle() {
  ReleaseLookupCursor();
  TVELDORDBDataSet::DestroyHandle();
}

// ---- Index ----------------------------------------------------------------------------------

void TVELDORTable::SetIndex(const std::string& value, bool fields) {
  if (!Active()) {
    IndexValue_ = value;
    IndexIsFields_ = fields;
    return;
  }
  CheckBrowseMode();
  if (value == IndexValue_ && fields == IndexIsFields_) return;
  const std::string name = ResolveIndexName(value, fields);
  ReleaseLookupCursor();
  SwitchToIndex(name);
  IndexValue_ = value;
  IndexIsFields_ = fields;
  ApplyMasterRange();
  Resync(0);
}

void TVELDORTable::SetIndexName(const std::string& name) { SetIndex(name, false); }

void TVELDORTable::SetIndexFieldNames(const std::string& names) { SetIndex(names, !names.empty()); }

void TVELDORTable::UpdateIndexDefs() {
  if (IndexDefs_.Updated()) return;
  if (TableName_.empty()) ComponentError(SNoTableName);
  TFlag flag(*this, kFlagIndexDefs);
  FieldDefs().Update();
  std::unique_ptr<TDataCursor> temporary;
  TDataCursor* cursor = Handle();
  if (!cursor) {
    temporary = MakeCursor(false, true);
    temporary->Open();
    cursor = temporary.get();
  }
  TTableInformation info = cursor->GetTableInformation();
  IndexDefs_.Clear();
  for (size_t i = 0; i < info.Indexes.size(); ++i) {
    const TIndexDescriptor& d = info.Indexes[i];
    if (i == 0 && d.FieldCount() == 0) continue;  // no primary key fields
    std::string fields;
    for (int k = 0; k < d.FieldCount() && k < kMaxIndexFields; ++k) {
      const int number = d.FieldNumber(k);
      const TFieldDef* def = nullptr;
      for (int j = 0; j < FieldDefs().Count() && !def; ++j)
        if (FieldDefs()[j].FieldNo == number) def = &FieldDefs()[j];
      if (!def) continue;
      if (!fields.empty()) fields += ";";
      fields += def->Name;
    }
    TIndexOptions options = 0;
    if (i == 0) options |= ixPrimary;
    if (d.Descending()) options |= ixDescending;
    if (d.CaseInsensitive()) options |= ixCaseInsensitive;
    if (d.Unique()) options |= ixUnique;
    IndexDefs_.Add(Windows1252ToUtf8(Trimmed(d.Name())), fields, options);
  }
  IndexDefs_.SetUpdated(true);
}

void TVELDORTable::InitFieldDefs() {
  if (Handle()) {
    InternalInitFieldDefs();
    return;
  }
  if (TableName_.empty()) ComponentError(SNoTableName);
  TFlag flag(*this, kFlagFieldDefs);
  std::unique_ptr<TDataCursor> cursor = MakeCursor(false, true);
  cursor->Open();
  FillFieldDefs(FieldDefs(), cursor->Fields());
  FieldDefs().SetUpdated(true);
}

// ---- Master-detail --------------------------------------------------------------------------

void TVELDORTable::SetMasterSource(TDataSource* source) {
  if (source && IsLinkedTo(source)) ComponentError(SCircularDataLink);
  MasterLink_.SetDataSource(source);
}

bool TVELDORTable::ApplyMasterRange() {
  if (!MasterLink_.Active() || MasterLink_.Fields().empty()) return false;
  SetLinkRanges(MasterLink_.Fields());
  return ApplyRangeKeys();
}

void TVELDORTable::MasterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  if (ApplyMasterRange()) First();
}

void TVELDORTable::MasterDisabled() {
  if (!Active()) return;
  CheckBrowseMode();
  UpdateCursorPos();
  if (ResetRangeKeys()) Resync(0);
}

void TVELDORTable::DoOnNewRecord() {
  if (MasterLink_.Active()) {
    const std::vector<TField*>& master = MasterLink_.Fields();
    for (size_t i = 0; i < master.size() && int(i) < IndexFieldCount(); ++i)
      IndexField(int(i))->SetValue(master[i]->Value());
  }
  TVELDORDBDataSet::DoOnNewRecord();
}

// ---- The lookup cursor ----------------------------------------------------------------------

void TVELDORTable::ReleaseLookupCursor() {
  LookupCursor_.reset();
  LookupFields_.clear();
}

TDataCursor* TVELDORTable::GetLookupCursor(const std::string& keyFields, bool caseInsensitive) {
  if (LookupCursor_ && keyFields == LookupFields_ && caseInsensitive == LookupCaseInsensitive_)
    return LookupCursor_.get();
  ReleaseLookupCursor();
  if (!Handle() || Handle()->RangeActive()) return nullptr;
  UpdateIndexDefs();
  TIndexDef* def = IndexDefs_.GetIndexForFields(keyFields, caseInsensitive ? 1 : 0);
  if (!def) return nullptr;
  std::unique_ptr<TDataCursor> clone = Handle()->Clone();
  clone->SetIndexName(StoredText(def->Name, "Index name"));
  LookupCursor_ = std::move(clone);
  LookupFields_ = keyFields;
  LookupCaseInsensitive_ = caseInsensitive;
  return LookupCursor_.get();
}

// ---- The table's files ----------------------------------------------------------------------

bool TVELDORTable::Exists() {
  if (Active()) return true;
  if (TableName_.empty()) return false;
  TFlag flag(*this, kFlagExists);
  return DBHandle()->TableExists(TableName_, InMemory_);
}

TIndexDescriptor TVELDORTable::IndexDescriptor(
    const std::string& name, const std::string& fields, TIndexOptions options,
    const std::function<uint16_t(const std::string&)>& number) {
  TIndexDescriptor d;
  d.SetName(StoredText(name, "Index name").substr(0, kMaxFieldNameLength));
  const bool descending = (options & ixDescending) != 0;
  d.SetDescending(descending);
  for (int k = 0; k < kMaxIndexFields; ++k) d.SetFieldDescending(k, descending);
  d.SetCaseInsensitive((options & ixCaseInsensitive) != 0);
  d.SetUnique((options & ixUnique) != 0);
  std::vector<std::string> names = SplitFieldNames(fields);
  if (names.size() > size_t(kMaxIndexFields)) names.resize(size_t(kMaxIndexFields));
  for (size_t k = 0; k < names.size(); ++k) d.SetFieldNumber(int(k), number(names[k]));
  d.SetFieldCount(uint8_t(names.size()));
  return d;
}

void TVELDORTable::CreateTable() {
  CheckClosedWithName();
  if (FieldDefs().Count() == 0) {
    for (int i = 0; i < FieldCount(); ++i) {
      TField* f = Fields()[i];
      if (f->FieldKind() == fkData) FieldDefs().Add(f->FieldName(), f->DataType(), f->Size(), f->Required());
    }
  }
  TTableDefinition definition;
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& def = FieldDefs()[i];
    TFieldDescriptor d;
    d.SetFieldNumber(uint16_t(i + 1));
    d.SetFieldName(StoredText(def.Name, "Field name").substr(0, kMaxFieldNameLength));
    uint8_t type = 0, subType = 0;
    EngineFieldType(def.DataType, type, subType);
    d.SetFieldType(type);
    d.SetSubType(subType);
    if (type == FIELD_STRING || type == FIELD_BYTES || type == FIELD_VARBYTES)
      d.SetDeclaredSize(uint8_t(std::clamp(def.Size, 0, 255)));
    if (type == FIELD_BCD) d.SetDeclaredScale(uint8_t(std::clamp(def.Size, 0, 255)));
    d.SetRequired(def.Required);
    definition.Fields.push_back(d);
  }
  auto number = [this](const std::string& name) -> uint16_t {
    const int at = FieldDefs().IndexOf(name);
    if (at < 0) FieldDefs().FieldDefByName(name);  // raises: no such field definition
    return uint16_t(at + 1);
  };
  // A primary definition that is not the first goes to the front.
  std::vector<const TIndexDef*> indexes;
  for (int i = 0; i < IndexDefs_.Count(); ++i) indexes.push_back(&IndexDefs_[i]);
  auto primary = std::find_if(indexes.begin(), indexes.end(),
                              [](const TIndexDef* d) { return (d->Options & ixPrimary) != 0; });
  if (primary != indexes.end()) std::rotate(indexes.begin(), primary, primary + 1);
  if (indexes.empty() || (indexes.front()->Options & ixPrimary) == 0)
    definition.Indexes.push_back(TIndexDescriptor());
  for (const TIndexDef* d : indexes)
    definition.Indexes.push_back(IndexDescriptor(d->Name, d->Fields, d->Options, number));
  definition.Language = 0;
  definition.Sort = 0;
  definition.BlobBlockSize = 512;
  definition.UserMajorVersion = 1;
  definition.UserMinorVersion = 0;

  TFlag flag(*this, kFlagExists);
  std::unique_ptr<TDataCursor> cursor = MakeCursor(true, false);
  cursor->CreateTable(definition, false, true);
}

void TVELDORTable::DeleteTable() {
  CheckClosedWithName();
  TFlag flag(*this, kFlagExists);
  MakeCursor(true, false)->DeleteTable();
}

void TVELDORTable::EmptyTable() {
  CheckClosedWithName();
  TFlag flag(*this, kFlagExists);
  std::unique_ptr<TDataCursor> cursor = MakeCursor(true, false);
  cursor->Open();
  cursor->EmptyTable();
}

void TVELDORTable::AddIndex(const std::string& name, const std::string& fields, TIndexOptions options) {
  CheckClosedWithName();
  TFlag flag(*this, kFlagExists);
  std::unique_ptr<TDataCursor> cursor = MakeCursor(true, false);
  cursor->Open();
  TDataCursor* c = cursor.get();
  auto number = [c](const std::string& field) {
    return c->FieldNumber(StoredText(field, "Field name"));
  };
  if (OnIndexProgress) cursor->IndexProgress = [this](int percent) { OnIndexProgress(*this, percent); };
  cursor->AddIndex(IndexDescriptor(name, fields, options, number));
  IndexDefs_.SetUpdated(false);
}

void TVELDORTable::DeleteIndex(const std::string& name) {
  CheckClosedWithName();
  TFlag flag(*this, kFlagExists);
  std::unique_ptr<TDataCursor> cursor = MakeCursor(true, false);
  cursor->Open();
  cursor->DeleteIndex(StoredText(name, "Index name"), true);
  IndexDefs_.SetUpdated(false);
}

void TVELDORTable::RenameTable(const std::string& newName) {
  CheckClosedWithName();
  {
    TFlag flag(*this, kFlagExists);
    MakeCursor(true, false)->RenameTable(newName);
  }
  const size_t slash = newName.rfind('/');
  TableName_ = slash == std::string::npos ? newName : newName.substr(slash + 1);
  IndexDefs_.SetUpdated(false);
  FieldDefs().SetUpdated(false);
}

bool TVELDORTable::VerifyTable() {
  CheckClosedWithName();
  TFlag flag(*this, kFlagExists);
  std::unique_ptr<TDataCursor> cursor = MakeCursor(true, true);
  cursor->Open();
  TTableChecker checker(*cursor->Table());
  if (OnVerifyProgress)
    checker.SetProgress([this](int percent) { OnVerifyProgress(*this, "Verifying table", percent); });
  const std::vector<std::string> problems = checker.Run();
  if (OnVerifyLog)
    for (const std::string& problem : problems) OnVerifyLog(*this, Windows1252ToUtf8(problem));
  return problems.empty();
}

}  // namespace veldor
