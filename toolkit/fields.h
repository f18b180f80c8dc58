// Field objects: one `TField` per column a data set shows, and `TFields`, their list.
//
// A field owns its settings (name, kind, size, flags, lookup definition, events), not its
// value: values live in the data set's record buffers, read and written through the data
// set in the field's native form (the engine's slot encodings). Every text form a field
// gives or takes is UTF-8, converted only by lib/'s code-page pair; a character that
// Windows-1252 cannot hold is refused naming the field. One thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/db_common.h"
#include "toolkit/variant.h"

namespace veldor {

class TDataSet;
class TStream;

class TField {
 public:
  using TFieldNotifyEvent = std::function<void(TField&)>;

  virtual ~TField() = default;
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // ---- Identity and settings (name, kind, size: only while the data set is closed) ----
  TDataSet* DataSet() const { return DataSet_; }
  const std::string& FieldName() const { return FieldName_; }
  void SetFieldName(const std::string& name);
  const std::string& DisplayLabel() const { return DisplayLabel_; }
  void SetDisplayLabel(const std::string& label) { DisplayLabel_ = label; }
  // The display label, or the field name when there is none.
  const std::string& DisplayName() const { return DisplayLabel_.empty() ? FieldName_ : DisplayLabel_; }
  TFieldType DataType() const { return DataType_; }
  TFieldKind FieldKind() const { return FieldKind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return FieldKind_ == fkCalculated; }
  bool Lookup() const { return FieldKind_ == fkLookup; }
  // The number of the field definition it is bound to (1-based); 0 while unbound and for
  // calculated and lookup fields.
  int FieldNo() const { return FieldNo_; }
  // Declared size: characters of a string, bytes of a bytes field, decimals of a BCD.
  int Size() const { return Size_; }
  void SetSize(int size);
  bool Required() const { return Required_; }
  void SetRequired(bool value) { Required_ = value; }
  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool value) { ReadOnly_ = value; }
  bool Visible() const { return Visible_; }
  void SetVisible(bool value) { Visible_ = value; }
  const std::string& Origin() const { return Origin_; }
  void SetOrigin(const std::string& origin) { Origin_ = origin; }
  // Position among the data set's fields.
  int Index() const;
  // Offset of a calculated or lookup field's value in the calculated-fields area of a
  // record buffer (its has-value byte, then DataSize bytes); set when fields are bound.
  int Offset() const { return Offset_; }

  // ---- Lookup definition (lookup fields) ----
  // The data set searched, the ";"-separated fields of this data set whose values are the
  // key, the fields of the lookup data set they are compared with, and the field whose
  // value is taken. The data set forgets a lookup data set that is destroyed.
  TDataSet* LookupDataSet() const { return LookupDataSet_; }
  void SetLookupDataSet(TDataSet* dataSet);
  std::string KeyFields, LookupKeyFields, LookupResultField;

  // ---- Events ----
  // After a value was written through this field (the data set's field-change notice).
  TFieldNotifyEvent OnChange;
  // Before a value is written: the handler reads the new value through the field's
  // getters and raises to refuse it.
  TFieldNotifyEvent OnValidate;

  // ---- Native data ----
  // Bytes of the native form (0 for BLOB fields, whose values are streams).
  virtual int DataSize() const = 0;
  // Copies the native value into `buffer` (DataSize bytes; may be null to ask only for
  // null) and returns true when the field is not null. False without a data set.
  bool GetData(void* buffer) const;
  // Writes a native value (null clears the field) through the data set; the data set
  // checks state and read-only rules and calls Validate.
  void SetData(const void* buffer);
  // Runs OnValidate with `buffer` as the value the getters see.
  void Validate(const void* buffer);
  virtual bool IsNull() const { return !GetData(nullptr); }
  virtual bool IsBlob() const { return false; }
  virtual void Clear() { SetData(nullptr); }
  // For BLOB fields: a BLOB stream wrote to the field of the current record.
  bool Modified() const { return Modified_; }
  void SetModified(bool value) { Modified_ = value; }

  // ---- Values (each kind raises "Cannot access field ... as type ..." where it has no
  // such form; text setters convert from UTF-8, an empty text clears non-text fields) ----
  std::string AsString() const { return GetAsString(); }
  void SetAsString(const std::string& text) { SetAsStringValue(text); }
  int32_t AsInteger() const;
  void SetAsInteger(int32_t value) { SetAsLargeInt(value); }
  int64_t AsLargeInt() const { return GetAsLargeInt(); }
  void SetAsLargeInt(int64_t value) { SetAsLargeIntValue(value); }
  double AsFloat() const { return GetAsFloat(); }
  void SetAsFloat(double value) { SetAsFloatValue(value); }
  // 64-bit amount with four implied decimals.
  int64_t AsCurrency() const { return GetAsCurrency(); }
  void SetAsCurrency(int64_t amount) { SetAsCurrencyValue(amount); }
  bool AsBoolean() const { return GetAsBoolean(); }
  void SetAsBoolean(bool value) { SetAsBooleanValue(value); }
  // Engine timestamp: day number * 86400000 + milliseconds.
  double AsDateTime() const { return GetAsDateTime(); }
  void SetAsDateTime(double timestamp) { SetAsDateTimeValue(timestamp); }
  std::vector<uint8_t> AsBytes() const { return GetAsBytes(); }
  void SetAsBytes(const std::vector<uint8_t>& bytes) { SetAsBytesValue(bytes); }
  // Null for a null field, else the value in the field's own kind.
  TVariant Value() const;
  // Null clears; other kinds go through the matching setter.
  void SetValue(const TVariant& value);
  // The value before editing (the data set's old-value state) and the edited value.
  TVariant OldValue() const;
  TVariant NewValue() const;

 protected:
  TField(TFieldType type, int size);

  virtual std::string GetAsString() const;
  virtual void SetAsStringValue(const std::string& text);
  virtual int64_t GetAsLargeInt() const;
  virtual void SetAsLargeIntValue(int64_t value);
  virtual double GetAsFloat() const;
  virtual void SetAsFloatValue(double value);
  virtual int64_t GetAsCurrency() const;
  virtual void SetAsCurrencyValue(int64_t amount);
  virtual bool GetAsBoolean() const;
  virtual void SetAsBooleanValue(bool value);
  virtual double GetAsDateTime() const;
  virtual void SetAsDateTimeValue(double timestamp);
  virtual std::vector<uint8_t> GetAsBytes() const;
  virtual void SetAsBytesValue(const std::vector<uint8_t>& bytes);
  virtual TVariant GetValue() const = 0;

  [[noreturn]] void AccessError(const char* typeName) const;
  [[noreturn]] void RangeError(const std::string& valueText) const;
  // The Windows-1252 form of UTF-8 `text`; ECodePageError naming this field otherwise.
  std::string StoredText(const std::string& text) const;
  // Raises unless the field's data set is closed (or it has none).
  void CheckInactive() const;

 private:
  friend class TDataSet;
  friend class TFields;

  TDataSet* DataSet_ = nullptr;
  std::string FieldName_;
  std::string DisplayLabel_;
  TFieldType DataType_;
  TFieldKind FieldKind_ = fkData;
  int FieldNo_ = 0;
  int Size_;
  bool Required_ = false;
  bool ReadOnly_ = false;
  bool Visible_ = true;
  bool Modified_ = false;
  std::string Origin_;
  int Offset_ = 0;
  TDataSet* LookupDataSet_ = nullptr;
  // While OnValidate runs: the value its getters see.
  const void* ValidateBuffer_ = nullptr;
  bool Validating_ = false;
};

// The fields of one data set, in order. Owns them.
class TFields {
 public:
  int Count() const { return int(List_.size()); }
  TField* operator[](int index) const { return List_.at(size_t(index)).get(); }
  // By name without regard to ASCII case, or null.
  TField* FindField(const std::string& name) const;
  // As FindField; "Field '%s' not found" when there is none.
  TField& FieldByName(const std::string& name) const;
  // The data field bound to field definition `fieldNo`, or null.
  TField* FieldByNumber(int fieldNo) const;
  int IndexOf(const TField* field) const;

 private:
  friend class TDataSet;
  std::vector<std::unique_ptr<TField>> List_;
};

// A new field object of the class that shows `type` (TStringField for the text kinds,
// TIntegerField, ..., TBlobField for the binary BLOB kinds). EDatabaseError "Field type
// %s has no field class" for kinds no engine type maps to.
std::unique_ptr<TField> CreateFieldOfType(TFieldType type, int size);

}  // namespace veldor
