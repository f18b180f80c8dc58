// Numeric and boolean field objects.
//
// Native forms (little-endian, the engine's slot encodings): smallint int16, integer and
// auto-increment int32, word uint16, largeint int64, boolean uint16 0/1, float and
// currency IEEE double, BCD the engine's 34-byte packed decimal written with precision 32
// and Size decimals. Whole-number fields refuse values outside their type's range, float
// fields refuse infinities and NaN, and a BCD field refuses what does not fit its 32
// digits; decimals beyond a BCD field's scale are rounded half away from zero.
#pragma once

#include <string>

#include "toolkit/fields.h"

namespace veldor {

// The whole-number kinds: a width and a range; AsFloat and AsCurrency convert exactly.
class TIntegerField : public TField {
 public:
  TIntegerField() : TIntegerField(ftInteger, 4, INT32_MIN, INT32_MAX) {}
  int DataSize() const override { return Width_; }
  int64_t MinValue() const { return Min_; }
  int64_t MaxValue() const { return Max_; }

 protected:
  TIntegerField(TFieldType type, int width, int64_t minimum, int64_t maximum);
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(int64_t value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  int64_t GetAsCurrency() const override;
  void SetAsCurrencyValue(int64_t amount) override;
  TVariant GetValue() const override { return TVariant(GetAsLargeInt()); }

 private:
  bool Read(int64_t& value) const;
  int Width_;
  int64_t Min_, Max_;
};

class TSmallintField : public TIntegerField {
 public:
  TSmallintField() : TIntegerField(ftSmallint, 2, INT16_MIN, INT16_MAX) {}
};

class TWordField : public TIntegerField {
 public:
  TWordField() : TIntegerField(ftWord, 2, 0, UINT16_MAX) {}
};

// The engine gives its value; it is never required of the user when posting.
class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField() : TIntegerField(ftAutoInc, 4, INT32_MIN, INT32_MAX) {}
};

class TLargeintField : public TIntegerField {
 public:
  TLargeintField() : TIntegerField(ftLargeint, 8, INT64_MIN, INT64_MAX) {}
};

class TFloatField : public TField {
 public:
  TFloatField() : TFloatField(ftFloat) {}
  int DataSize() const override { return 8; }

 protected:
  explicit TFloatField(TFieldType type) : TField(type, 0) {}
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(int64_t value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  int64_t GetAsCurrency() const override;
  void SetAsCurrencyValue(int64_t amount) override;
  TVariant GetValue() const override { return TVariant(GetAsFloat()); }
};

// A money amount stored as a double.
class TCurrencyField : public TFloatField {
 public:
  TCurrencyField() : TFloatField(ftCurrency) {}
};

// A packed decimal with Size decimals (0 to 32) and precision 32.
class TBCDField : public TField {
 public:
  explicit TBCDField(int scale = 4) : TField(ftBCD, scale) {}
  int DataSize() const override { return 34; }
  int Precision() const { return 32; }

 protected:
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(int64_t value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  int64_t GetAsCurrency() const override;
  void SetAsCurrencyValue(int64_t amount) override;
  TVariant GetValue() const override;
};

class TBooleanField : public TField {
 public:
  TBooleanField() : TField(ftBoolean, 0) {}
  int DataSize() const override { return 2; }

 protected:
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  bool GetAsBoolean() const override;
  void SetAsBooleanValue(bool value) override;
  TVariant GetValue() const override { return TVariant(GetAsBoolean()); }
};

// ---- Packed decimal text (the engine's 34-byte form) ----

// The shortest decimal text of a packed decimal ("-12.5", "0"); false when the bytes are
// malformed (a digit above 9, precision above 64, scale above precision).
bool PackedDecimalToText(const uint8_t* bcd, std::string& text);
// Writes `text` (sign, digits, optional fraction and exponent, blanks around) with
// precision 32 and `scale` decimals, rounding half away from zero. Returns 0, or 1 for
// text that is no number, 2 for a number whose integer digits do not fit 32 - scale.
int TextToPackedDecimal(std::string_view text, int scale, uint8_t* bcd);

}  // namespace veldor
