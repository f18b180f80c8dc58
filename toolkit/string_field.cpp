#include "toolkit/string_field.h"

#include <cstring>
#include <vector>

#include "lib/code_page.h"
#include "lib/text_forms.h"
#include "toolkit/dataset.h"

namespace veldor {

TStringField::TStringField(int size, TFieldType type) : TField(type, size) {}

std::string TStringField::StoredValue() const {
  std::vector<char> buffer(size_t(DataSize()) + 1, 0);
  if (!GetData(buffer.data())) return "";
  std::string stored(buffer.data(), strnlen(buffer.data(), size_t(Size())));
  return DataSet() ? DataSet()->Translate(stored, false) : stored;
}

std::string TStringField::GetAsString() const { return Windows1252ToUtf8(StoredValue()); }

void TStringField::SetAsStringValue(const std::string& text) {
  std::string stored = StoredText(text);
  if (DataSet()) stored = DataSet()->Translate(stored, true);
  size_t length = strnlen(stored.data(), stored.size());
  if (length > size_t(Size())) length = size_t(Size());
  std::vector<char> buffer(size_t(DataSize()), 0);
  std::memcpy(buffer.data(), stored.data(), length);
  SetData(buffer.data());
}

int64_t TStringField::GetAsLargeInt() const {
  std::string s = StoredValue();
  int64_t v;
  if (!TryTextToInteger(s, INT64_MIN, INT64_MAX, v))
    throw EConvertError("'" + Windows1252ToUtf8(s) + "' is not a valid integer value");
  return v;
}

void TStringField::SetAsLargeIntValue(int64_t value) { SetAsStringValue(std::to_string(value)); }

double TStringField::GetAsFloat() const { return TextToFloat(StoredValue()); }

void TStringField::SetAsFloatValue(double value) { SetAsStringValue(FloatToText(value)); }

bool TStringField::GetAsBoolean() const { return TextToBoolean(StoredValue()); }

void TStringField::SetAsBooleanValue(bool value) { SetAsStringValue(BooleanToText(value)); }

double TStringField::GetAsDateTime() const { return TextToTimestamp(StoredValue()); }

void TStringField::SetAsDateTimeValue(double timestamp) {
  SetAsStringValue(TimestampToText(timestamp));
}

}  // namespace veldor
