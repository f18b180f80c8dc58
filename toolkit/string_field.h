// `TStringField`: a fixed-size text column (string, fixed-char, wide-string and GUID kinds).
//
// Native form: Size Windows-1252 characters followed by a NUL (DataSize = Size + 1). Text
// crosses in UTF-8: reading converts the stored characters, writing converts back and
// refuses, naming the field, a character Windows-1252 cannot hold. Text longer than Size
// characters is cut to Size when written, as the engine cuts it when storing; a NUL ends
// it. The data set's Translate hook sees the stored form both ways.
#pragma once

#include "toolkit/fields.h"

namespace veldor {

class TStringField : public TField {
 public:
  explicit TStringField(int size = 20, TFieldType type = ftString);
  int DataSize() const override { return Size() + 1; }

 protected:
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(int64_t value) override;
  double GetAsFloat() const override;
  void SetAsFloatValue(double value) override;
  bool GetAsBoolean() const override;
  void SetAsBooleanValue(bool value) override;
  double GetAsDateTime() const override;
  void SetAsDateTimeValue(double timestamp) override;
  TVariant GetValue() const override { return TVariant(GetAsString()); }

 private:
  // The stored (Windows-1252) text, empty for null.
  std::string StoredValue() const;
};

}  // namespace veldor
