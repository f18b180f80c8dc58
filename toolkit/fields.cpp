#include "toolkit/fields.h"

#include <cstring>

#include "lib/code_page.h"
#include "lib/name_text.h"
#include "toolkit/binary_fields.h"
#include "toolkit/dataset.h"
#include "toolkit/date_time_fields.h"
#include "toolkit/number_fields.h"
#include "toolkit/string_field.h"

namespace veldor {

TField::TField(TFieldType type, int size) : DataType_(type), Size_(size) {}

void TField::CheckInactive() const {
  if (DataSet_ && DataSet_->Active()) DatabaseError(SDataSetIsOpen);
}

void TField::SetFieldName(const std::string& name) {
  CheckInactive();
  if (DataSet_ && !name.empty()) {
    TField* other = DataSet_->Fields().FindField(name);
    if (other && other != this) DatabaseErrorFmt(SDuplicateFieldName, name);
  }
  FieldName_ = name;
}

void TField::SetFieldKind(TFieldKind kind) {
  CheckInactive();
  FieldKind_ = kind;
}

void TField::SetSize(int size) {
  CheckInactive();
  Size_ = size;
}

int TField::Index() const { return DataSet_ ? DataSet_->Fields().IndexOf(this) : -1; }

void TField::SetLookupDataSet(TDataSet* dataSet) {
  if (dataSet && dataSet == DataSet_) DatabaseErrorFmt(SCircularLookup, FieldName_);
  LookupDataSet_ = dataSet;
  if (DataSet_ && dataSet) DataSet_->FreeNotification(dataSet);
}

bool TField::GetData(void* buffer) const {
  if (Validating_) {
    // OnValidate reads the value about to be written.
    if (!ValidateBuffer_) return false;
    if (buffer) std::memcpy(buffer, ValidateBuffer_, size_t(DataSize()));
    return true;
  }
  if (!DataSet_) return false;
  return DataSet_->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
  if (!DataSet_) DatabaseErrorFmt(SNoSuchField, FieldName_);
  DataSet_->SetFieldData(this, buffer);
}

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  struct TRestore {
    TField& F;
    ~TRestore() {
      F.Validating_ = false;
      F.ValidateBuffer_ = nullptr;
    }
  } restore{*this};
  Validating_ = true;
  ValidateBuffer_ = buffer;
  OnValidate(*this);
}

void TField::AccessError(const char* typeName) const {
  DatabaseErrorFmt(SFieldAccess, DisplayName(), typeName);
}

void TField::RangeError(const std::string& valueText) const {
  DatabaseErrorFmt(SFieldRange, valueText, DisplayName());
}

std::string TField::StoredText(const std::string& text) const {
  std::string out;
  TCodePageProblem problem;
  if (Utf8ToWindows1252(text, out, problem)) return out;
  throw ECodePageError("Field '" + DisplayName() + "': " + CodePageProblemText(text, problem), problem);
}

int32_t TField::AsInteger() const {
  int64_t v = GetAsLargeInt();
  if (v < INT32_MIN || v > INT32_MAX) RangeError(std::to_string(v));
  return int32_t(v);
}

std::string TField::GetAsString() const { AccessError("String"); }
void TField::SetAsStringValue(const std::string&) { AccessError("String"); }
int64_t TField::GetAsLargeInt() const { AccessError("Integer"); }
void TField::SetAsLargeIntValue(int64_t) { AccessError("Integer"); }
double TField::GetAsFloat() const { AccessError("Float"); }
void TField::SetAsFloatValue(double) { AccessError("Float"); }
int64_t TField::GetAsCurrency() const { AccessError("Currency"); }
void TField::SetAsCurrencyValue(int64_t) { AccessError("Currency"); }
bool TField::GetAsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBooleanValue(bool) { AccessError("Boolean"); }
double TField::GetAsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTimeValue(double) { AccessError("DateTime"); }
std::vector<uint8_t> TField::GetAsBytes() const { AccessError("Bytes"); }
void TField::SetAsBytesValue(const std::vector<uint8_t>&) { AccessError("Bytes"); }

TVariant TField::Value() const {
  if (IsNull()) return TVariant();
  return GetValue();
}

void TField::SetValue(const TVariant& value) {
  switch (value.Kind()) {
    case TVariant::vkNull: Clear(); break;
    case TVariant::vkBoolean: SetAsBoolean(value.AsBoolean()); break;
    case TVariant::vkInteger: SetAsLargeInt(value.AsInteger()); break;
    case TVariant::vkFloat: SetAsFloat(value.AsFloat()); break;
    case TVariant::vkCurrency: SetAsCurrency(value.AsCurrency()); break;
    case TVariant::vkDateTime: SetAsDateTime(value.AsDateTime()); break;
    case TVariant::vkString: SetAsString(value.AsString()); break;
    case TVariant::vkBytes: SetAsBytes(value.AsBytes()); break;
    case TVariant::vkArray: AccessError("Array");
  }
}

namespace {
TVariant ValueInState(const TField& field, TDataSetState state) {
  TDataSet* ds = field.DataSet();
  if (!ds) return TVariant();
  TDataSetState saved = ds->SetTempState(state);
  struct TRestore {
    TDataSet* D;
    TDataSetState S;
    ~TRestore() { D->RestoreState(S); }
  } restore{ds, saved};
  return field.Value();
}
}  // namespace

TVariant TField::OldValue() const { return ValueInState(*this, dsOldValue); }
TVariant TField::NewValue() const { return ValueInState(*this, dsNewValue); }

// ---- TFields ----

TField* TFields::FindField(const std::string& name) const {
  for (const auto& f : List_)
    if (EqualsIgnoreCase(f->FieldName(), name)) return f.get();
  return nullptr;
}

TField& TFields::FieldByName(const std::string& name) const {
  TField* f = FindField(name);
  if (!f) DatabaseErrorFmt(SNoSuchField, name);
  return *f;
}

TField* TFields::FieldByNumber(int fieldNo) const {
  for (const auto& f : List_)
    if (f->FieldNo() == fieldNo && f->FieldKind() == fkData) return f.get();
  return nullptr;
}

int TFields::IndexOf(const TField* field) const {
  for (size_t i = 0; i < List_.size(); ++i)
    if (List_[i].get() == field) return int(i);
  return -1;
}

std::unique_ptr<TField> CreateFieldOfType(TFieldType type, int size) {
  switch (type) {
    case ftString: case ftFixedChar: case ftWideString: case ftGuid:
      return std::make_unique<TStringField>(size, type);
    case ftSmallint: return std::make_unique<TSmallintField>();
    case ftInteger: return std::make_unique<TIntegerField>();
    case ftWord: return std::make_unique<TWordField>();
    case ftAutoInc: return std::make_unique<TAutoIncField>();
    case ftLargeint: return std::make_unique<TLargeintField>();
    case ftBoolean: return std::make_unique<TBooleanField>();
    case ftFloat: return std::make_unique<TFloatField>();
    case ftCurrency: return std::make_unique<TCurrencyField>();
    case ftBCD: return std::make_unique<TBCDField>(size);
    case ftDate: return std::make_unique<TDateField>();
    case ftTime: return std::make_unique<TTimeField>();
    case ftDateTime: return std::make_unique<TDateTimeField>();
    case ftBytes: return std::make_unique<TBytesField>(size);
    case ftVarBytes: return std::make_unique<TVarBytesField>(size);
    case ftMemo: case ftFmtMemo: case ftOraClob: return std::make_unique<TMemoField>(type);
    case ftGraphic: return std::make_unique<TGraphicField>();
    case ftBlob: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary: case ftOraBlob:
      return std::make_unique<TBlobField>(type);
    default:
      DatabaseErrorFmt(SFieldTypeUnsupported, FieldTypeName(type));
  }
}

}  // namespace veldor
