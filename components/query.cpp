// The query component: SQL text and parameters, preparing and running the statement,
// passing parameter values as field descriptors and a record buffer, the parameter data
// link, and progress.
#include "components/query.h"

#include <cstring>

#include "components/component_errors.h"
#include "components/database.h"
#include "components/session.h"
#include "engine/field_types.h"
#include "lib/code_page.h"

namespace veldor {

namespace {

constexpr int kFlagPrepared = 1;  // held while the statement exists

// Strings longer than this go to the statement as BLOB values.
constexpr int kLongestStringValue = 250;
// A BLOB value's slot: its 32-bit length, then the address of its bytes.
constexpr int kBlobSlotSize = 4 + int(sizeof(const char*));

bool IsTextType(TFieldType type) {
  return type == ftString || type == ftFixedChar || type == ftWideString || type == ftGuid;
}

// The lines joined by line feeds, without a final one: one line of one character is a
// text of one character.
std::string JoinLines(const TStrings& lines) {
  std::string text;
  for (int i = 0; i < lines.Count(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

// A script: something other than blanks and line breaks follows the first ";".
bool IsScript(const std::string& text) {
  const size_t semicolon = text.find(';');
  if (semicolon == std::string::npos) return false;
  return text.find_first_not_of(" \t\r\n", semicolon + 1) != std::string::npos;
}

// The slot a parameter's value takes in the record buffer when it is not a BLOB value:
// its data size, and for a null value the width its type has (a text's empty form).
int ValueSlotSize(const TParam& param) {
  if (!param.IsNull()) return param.GetDataSize();
  if (IsTextType(param.DataType())) return 1;
  switch (param.DataType()) {
    case ftSmallint: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftAutoInc: case ftDate: case ftTime: return 4;
    case ftFloat: case ftCurrency: case ftDateTime: case ftLargeint: return 8;
    case ftBCD: return 34;
    default: return 0;
  }
}

// The bytes of a BLOB value: text in its stored form, byte values as they are.
std::string BlobBytes(const TParam& param) {
  if (param.IsNull()) return std::string();
  if (param.Value().Kind() == TVariant::vkBytes) {
    const std::vector<uint8_t> bytes = param.Value().AsBytes();
    return std::string(bytes.begin(), bytes.end());
  }
  return StoredText(param.AsString(), "Parameter '" + param.Name() + "'");
}

}  // namespace

// ---- The parameter data link ----------------------------------------------------------------

TDataSet* TVELDORQueryDataLink::DetailDataSet() const { return &Query_; }

void TVELDORQueryDataLink::ActiveChanged() {
  if (Query_.Active()) Query_.RefreshParams();
}

void TVELDORQueryDataLink::RecordChanged(TField* field) {
  if (!field && Query_.Active()) Query_.RefreshParams();
}

void TVELDORQueryDataLink::CheckBrowseMode() {
  if (Query_.Active()) Query_.CheckBrowseMode();
}

// ---- Life -----------------------------------------------------------------------------------

TVELDORQuery::TVELDORQuery(TComponent* owner) : TVELDORDBDataSet(owner), DataLink_(*this) {
  SQL_.OnChange = [this](TStringList&) { QueryChanged(); };
}

TVELDORQuery::~TVELDORQuery() {
  Destroy();
  try {
    FreeStatement();
  } catch (...) {
    ApplicationHandleException();
  }
  DataLink_.SetDataSource(nullptr);
}

std::string TVELDORQuery::EngineVersion() const { return kComponentEngineVersion; }

// ---- SQL text and parameters ----------------------------------------------------------------

void TVELDORQuery::SetSQL(const TStrings& lines) {
  if (SQL_.Equals(lines)) return;
  Close();
  SetPrepared(false);
  SQL_.Assign(lines);
}

void TVELDORQuery::SetSQLText(const std::string& text) {
  TStringList lines;
  lines.SetText(text);
  SetSQL(lines);
}

void TVELDORQuery::QueryChanged() {
  const std::string text = JoinLines(SQL_);
  if (Loading()) {
    Text_ = IsScript(text) ? text : Params_.ParseSQL(text, false);
    return;
  }
  Close();
  SetPrepared(false);
  Data_.clear();
  // A text whose markers cannot be parsed leaves nothing to run.
  Text_.clear();
  if (ParamCheck_ && !IsScript(text)) {
    TParams made;
    Text_ = made.ParseSQL(text, true);
    made.AssignValues(Params_);
    Params_.Swap(made);
  } else {
    Text_ = text;
  }
  DataEvent(dePropertyChange, 0);
}

void TVELDORQuery::SetDataSource(TDataSource* source) {
  if (source && IsLinkedTo(source)) ComponentError(SCircularDataLink);
  DataLink_.SetDataSource(source);
}

// ---- Options --------------------------------------------------------------------------------

void TVELDORQuery::SetRequestLive(bool value) {
  if (value == RequestLive_) return;
  CheckInactive();
  SetPrepared(false);
  RequestLive_ = value;
}

void TVELDORQuery::SetMaxRowCount(int32_t value) {
  MaxRowCount_ = value;
  if (Statement_) Statement_->MaxRows = value;
}

void TVELDORQuery::SetReadOnly(bool value) {
  CheckInactive();
  ReadOnly_ = value;
}

void TVELDORQuery::SetDatabaseName(const std::string& name) {
  if (name == DatabaseName()) return;
  SetPrepared(false);
  TVELDORDBDataSet::SetDatabaseName(name);
}

bool TVELDORQuery::IsSequenced() {
  // A live result is the source table's own cursor under the statement's filters.
  return TVELDORDBDataSet::IsSequenced() && !(Statement_ && Statement_->IsLiveResult);
}

// ---- Preparing ------------------------------------------------------------------------------

void TVELDORQuery::SetPrepared(bool value) {
  if (Handle()) DatabaseError(SDataSetOpen);
  if (value == Prepared_) return;
  if (value)
    PrepareStatement();
  else
    FreeStatement();
}

void TVELDORQuery::PrepareStatement() {
  const std::string text = StoredText(Text_, "SQL text");
  if (text.size() < 2) ComponentError(SNoSQLStatement);
  SetDBFlag(kFlagPrepared, true);
  try {
    auto statement = std::make_unique<TQueryStatement>(DBHandle());
    statement->RequestLive = RequestLive_ ? 1 : 0;
    statement->MaxRows = MaxRowCount_;
    TVELDORSession* session = Database() ? Database()->Session() : nullptr;
    statement->PasswordCallback = [session](TQueryStatement&) -> uint8_t {
      return session && session->PasswordRequest() ? 1 : 0;
    };
    statement->Prepare(text);
    Statement_ = std::move(statement);
    Prepared_ = true;
  } catch (...) {
    try {
      SetDBFlag(kFlagPrepared, false);
    } catch (...) {
      ApplicationHandleException();
    }
    throw;
  }
}

void TVELDORQuery::FreeStatement() {
  std::unique_ptr<TQueryStatement> statement = std::move(Statement_);
  Prepared_ = false;
  statement.reset();
  SetDBFlag(kFlagPrepared, false);
}

void TVELDORQuery::SetDBFlag(int flag, bool value) {
  if (!value && DBFlag(flag) && Statement_) {
    bool last = true;
    for (int other = 0; other < 16 && last; ++other) last = other == flag || !DBFlag(other);
    // The statement lives on the database that clearing the last flag closes.
    if (last) {
      Statement_.reset();
      Prepared_ = false;
    }
  }
  TVELDORDBDataSet::SetDBFlag(flag, value);
}

void TVELDORQuery::CloseDataSet() {
  Close();
  SetPrepared(false);
}

// ---- Running --------------------------------------------------------------------------------

TDataCursor* TVELDORQuery::CreateHandle() {
  if (SQL_.Count() == 0) ComponentError(SNoSQLStatement);
  SetPrepared(true);
  return Run();
}

void TVELDORQuery::ExecSQL() {
  CheckInactive();
  if (SQL_.Count() == 0) ComponentError(SNoSQLStatement);
  SetPrepared(true);
  Run();
}

TDataCursor* TVELDORQuery::Run() {
  if (DataSource()) SetParamsFromDataSource();
  if (Params_.Count() > 0) PassParams();
  Statement_->ProgressCallback = [this](TQueryStatement&, int percent, uint8_t* abort) {
    if (!OnQueryProgress) return;
    bool abortQuery = *abort != 0;
    OnQueryProgress(*this, percent, abortQuery);
    *abort = abortQuery ? 1 : 0;
  };
  TDataCursor* cursor = Statement_->Execute(OnQueryProgress ? 1 : 0);
  RowsAffected_ = Statement_->RowCount;
  ExecutionTime_ = Statement_->ExecutionTime;
  return cursor;
}

void TVELDORQuery::SetParamsFromDataSource() {
  TDataSet* source = DataSource()->DataSet();
  if (!source) return;
  source->FieldDefs().Update();
  for (int i = 0; i < Params_.Count(); ++i) {
    TParam& param = Params_[i];
    if (param.Bound()) continue;
    TField& field = source->FieldByName(param.Name());
    param.SetDataType(field.DataType());
    param.SetValue(field.Value());
    param.SetBound(false);
  }
}

void TVELDORQuery::PassParams() {
  const int count = Params_.Count();
  std::vector<TFieldDescriptor> fields(static_cast<size_t>(count));
  std::vector<std::string> blobs(static_cast<size_t>(count));  // the bytes BLOB values point at
  std::vector<bool> isBlob(static_cast<size_t>(count));
  int offset = 0;
  for (int i = 0; i < count; ++i) {
    const TParam& param = Params_[i];
    const TFieldType type = param.DataType();
    int slot = ValueSlotSize(param);
    // Long strings, and byte values longer than a slot can say, go as BLOB values too.
    const bool blob = IsBlobType(type) ||
                      (IsTextType(type) && slot - 1 > kLongestStringValue) ||
                      ((type == ftBytes || type == ftVarBytes) && slot > 255);
    uint8_t engineType = 0, subType = 0;
    const bool mapped = EngineFieldType(type, engineType, subType);
    if (!blob && !mapped) ComponentError(SNoParameterValue, param.Name());
    TFieldDescriptor& f = fields[size_t(i)];
    f.SetFieldNumber(uint16_t(i + 1));
    f.SetFieldName(StoredText(param.Name(), "Parameter name").substr(0, kMaxFieldNameLength));
    if (blob) {
      slot = kBlobSlotSize;
      f.SetFieldType(FIELD_BLOB);
      f.SetSubType(engineType == FIELD_BLOB ? subType : 0);
      blobs[size_t(i)] = BlobBytes(param);
      isBlob[size_t(i)] = true;
    } else {
      f.SetFieldType(engineType);
      if (engineType == FIELD_BCD) {
        // Packed decimals travel with four decimals.
        f.SetScaleCopy(4);
        f.SetDeclaredScale(4);
      }
    }
    f.SetSlotSize(uint8_t(slot));
    f.SetOffset(uint16_t(offset));
    offset += slot + 1;
  }

  std::vector<uint8_t> descriptors(size_t(count) * kFieldDescriptorSize, 0);
  std::vector<uint8_t> record(size_t(offset), 0);
  for (int i = 0; i < count; ++i) {
    const TParam& param = Params_[i];
    const TFieldDescriptor& f = fields[size_t(i)];
    f.ToBytes(descriptors.data() + size_t(i) * kFieldDescriptorSize);
    uint8_t* at = record.data() + f.Offset();
    at[0] = param.IsNull() ? 0 : 1;
    if (isBlob[size_t(i)]) {
      const std::string& bytes = blobs[size_t(i)];
      const int32_t length = int32_t(bytes.size());
      const char* address = bytes.data();
      std::memcpy(at + 1, &length, 4);
      std::memcpy(at + 5, &address, sizeof address);
    } else if (!param.IsNull()) {
      param.GetData(at + 1);
    }
  }
  const int code = Statement_->SetParams(uint16_t(count), descriptors.data(), record.data());
  if (code != 0) RaiseTableError(uint16_t(code), "");
}

void TVELDORQuery::RefreshParams() {
  DisableControls();
  struct TEnable {
    TDataSet& D;
    ~TEnable() { D.EnableControls(); }
  } enable{*this};
  TDataSet* source = DataSource() ? DataSource()->DataSet() : nullptr;
  if (source && source->Active() && source->State() != dsSetKey) {
    Close();
    Open();
  }
}

}  // namespace veldor
