// Query parameters and the parser of ":name" markers in SQL text.
//
// `TParams` owns its `TParam`s in order of appearance; a parameter owns its value (a
// TVariant, text in UTF-8). A marker is one parameter: a name that appears twice makes
// two parameters, because the statement binds its "?" by position. Text values are
// checked when set: a character Windows-1252 cannot hold is refused naming the parameter.
// One thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "toolkit/db_common.h"
#include "toolkit/variant.h"

namespace veldor {

enum TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParam {
 public:
  TParam(std::string name, TFieldType type, TParamType paramType)
      : Name_(std::move(name)), DataType_(type), ParamType_(paramType) {}

  const std::string& Name() const { return Name_; }
  void SetName(const std::string& name) { Name_ = name; }
  TFieldType DataType() const { return DataType_; }
  void SetDataType(TFieldType type) { DataType_ = type; }
  TParamType ParamType() const { return ParamType_; }
  void SetParamType(TParamType type) { ParamType_ = type; }
  // Set when a value was given by the program (not taken from a data source).
  bool Bound() const { return Bound_; }
  void SetBound(bool value) { Bound_ = value; }

  bool IsNull() const { return Value_.IsNull(); }
  const TVariant& Value() const { return Value_; }
  // Sets the value and Bound; an unknown data type is taken from the value's kind
  // (text: ftString, whole number: ftInteger or ftLargeint, float ftFloat, currency
  // ftCurrency, boolean ftBoolean, date-time ftDateTime, bytes ftBlob).
  void SetValue(const TVariant& value);
  // Null value; type and Bound stay.
  void Clear() { Value_ = TVariant(); }

  // Typed setters: the type becomes the setter's, the value is set, Bound is set.
  void SetAsString(const std::string& text);
  void SetAsMemo(const std::string& text);
  void SetAsSmallInt(int16_t value);
  void SetAsInteger(int32_t value);
  void SetAsWord(uint16_t value);
  void SetAsLargeInt(int64_t value);
  void SetAsFloat(double value);
  void SetAsCurrency(int64_t amount);
  // A decimal text kept exactly (ftBCD, four decimals when passed on).
  void SetAsBCD(const std::string& text);
  void SetAsBoolean(bool value);
  void SetAsDate(double timestamp);
  void SetAsTime(double timestamp);
  void SetAsDateTime(double timestamp);
  void SetAsBlob(const std::vector<uint8_t>& bytes);

  std::string AsString() const { return Value_.AsString(); }
  int64_t AsInteger() const { return Value_.AsInteger(); }
  double AsFloat() const { return Value_.AsFloat(); }
  bool AsBoolean() const { return Value_.AsBoolean(); }
  double AsDateTime() const { return Value_.AsDateTime(); }

  // Bytes of the native form of the value for the data type (as a field of that type
  // holds it): text length + 1 for the text kinds, the byte count for bytes and BLOB
  // kinds, the fixed width of the others; 0 for ftUnknown or a null value.
  int GetDataSize() const;
  // Writes the native form (GetDataSize bytes): Windows-1252 text with a NUL, little-
  // endian numbers, day numbers, milliseconds, timestamps, a packed decimal with four
  // decimals, the raw bytes. Nothing for a null value. Raises when the value does not
  // convert to the type.
  void GetData(void* buffer) const;

  // Takes type, parameter type, value and Bound of `source` (not its name).
  void AssignValue(const TParam& source);

 private:
  void Set(TFieldType type, const TVariant& value);

  std::string Name_;
  TFieldType DataType_;
  TParamType ParamType_;
  bool Bound_ = false;
  TVariant Value_;
};

class TParams {
 public:
  TParams() = default;
  TParams(const TParams&) = delete;
  TParams& operator=(const TParams&) = delete;

  int Count() const { return int(Items_.size()); }
  TParam& operator[](int index) const { return *Items_.at(size_t(index)); }
  TParam& CreateParam(TFieldType type, const std::string& name, TParamType paramType);
  void Clear() { Items_.clear(); }
  // The first parameter of that name (without regard to ASCII case), or null.
  TParam* FindParam(const std::string& name) const;
  // As FindParam; "Parameter '%s' not found" when there is none.
  TParam& ParamByName(const std::string& name) const;
  // Every parameter takes the value of the first same-named parameter of `source`.
  void AssignValues(const TParams& source);
  // Moves the parameters of `other` into this list, replacing its own.
  void Swap(TParams& other) { Items_.swap(other.Items_); }

  // Returns `sql` with each ":name" marker replaced by "?" and, with `doCreate`, appends
  // one input parameter of unknown type per marker, in order. A name is a run of
  // letters, digits, "_" and bytes from 128 up; "::" stands for one literal ":". Markers
  // inside '...' or "..." strings (quotes doubled inside count as text), [bracketed]
  // names and /* comments */ are text. A string, bracketed name or comment that is not
  // closed raises EDatabaseError naming where it starts. Linear in the text, without
  // recursion.
  std::string ParseSQL(const std::string& sql, bool doCreate);

 private:
  std::vector<std::unique_ptr<TParam>> Items_;
};

}  // namespace veldor
