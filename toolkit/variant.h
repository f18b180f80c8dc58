// `TVariant`: one value of any kind a field, a parameter or a search key can hold.
//
// Owns its value (text, bytes, or an array of variants). Text is UTF-8; a date-time is the
// engine's timestamp (day number * 86400000 + milliseconds); a currency is a 64-bit amount
// with four implied decimals. Conversions that cannot be made raise EConvertError. A value
// type; safe to copy between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldor {

class TVariant {
 public:
  enum TKind : uint8_t { vkNull, vkBoolean, vkInteger, vkFloat, vkCurrency, vkDateTime, vkString,
                         vkBytes, vkArray };

  TVariant() = default;
  TVariant(bool value) : Kind_(vkBoolean), Int_(value ? 1 : 0) {}
  TVariant(int value) : Kind_(vkInteger), Int_(value) {}
  TVariant(int64_t value) : Kind_(vkInteger), Int_(value) {}
  TVariant(double value) : Kind_(vkFloat), Float_(value) {}
  TVariant(const char* text) : Kind_(vkString), Text_(text) {}
  TVariant(std::string text) : Kind_(vkString), Text_(std::move(text)) {}
  TVariant(std::vector<TVariant> items) : Kind_(vkArray), Items_(std::move(items)) {}
  static TVariant Currency(int64_t amount);
  static TVariant DateTime(double timestamp);
  static TVariant Bytes(std::vector<uint8_t> bytes);

  TKind Kind() const { return Kind_; }
  bool IsNull() const { return Kind_ == vkNull; }
  bool IsArray() const { return Kind_ == vkArray; }
  bool IsNumeric() const { return Kind_ == vkInteger || Kind_ == vkFloat || Kind_ == vkCurrency; }

  // The text form: strings as they are, numbers and times in the engine's text forms,
  // booleans "True"/"False", null "", bytes as Windows-1252 text made UTF-8.
  std::string AsString() const;
  // Numbers (floats rounded half away from zero, in range), booleans (1/0), numeric text.
  int64_t AsInteger() const;
  double AsFloat() const;
  // The amount with four decimals.
  int64_t AsCurrency() const;
  bool AsBoolean() const;
  // Date-times, numbers taken as timestamps, and text in the date-time, date or time form.
  double AsDateTime() const;
  std::vector<uint8_t> AsBytes() const;
  const std::vector<TVariant>& Items() const;

  // Same kind and value (arrays element by element); a null equals only a null.
  bool operator==(const TVariant& other) const;

 private:
  [[noreturn]] void CannotConvert(const char* to) const;

  TKind Kind_ = vkNull;
  int64_t Int_ = 0;        // boolean, integer, currency
  double Float_ = 0;       // float, date-time
  std::string Text_;       // string, bytes
  std::vector<TVariant> Items_;
};

const char* VariantKindName(TVariant::TKind kind);

}  // namespace veldor
