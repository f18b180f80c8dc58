// Date, time and date-time field objects.
//
// Native forms, the engine's: a date is a signed 32-bit day number (1 January of year 1
// is day 1), a time signed 32-bit milliseconds since midnight, a date-time an IEEE double
// timestamp (day number * 86400000 + milliseconds). AsDateTime gives and takes that
// timestamp for all three (a date is its midnight, a time is on day 0). Text forms are
// the engine's fixed ones (lib/text_forms.h). Values outside the years 1 to 9999 or a
// day are refused.
#pragma once

#include "toolkit/fields.h"

namespace veldor {

class TDateTimeField : public TField {
 public:
  TDateTimeField() : TDateTimeField(ftDateTime) {}
  int DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }

 protected:
  explicit TDateTimeField(TFieldType type) : TField(type, 0) {}
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  double GetAsDateTime() const override;
  void SetAsDateTimeValue(double timestamp) override;
  double GetAsFloat() const override { return GetAsDateTime(); }
  void SetAsFloatValue(double value) override { SetAsDateTimeValue(value); }
  TVariant GetValue() const override { return TVariant::DateTime(GetAsDateTime()); }
};

class TDateField : public TDateTimeField {
 public:
  TDateField() : TDateTimeField(ftDate) {}
};

class TTimeField : public TDateTimeField {
 public:
  TTimeField() : TDateTimeField(ftTime) {}
};

}  // namespace veldor
