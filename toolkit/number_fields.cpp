#include "toolkit/number_fields.h"

#include <cmath>
#include <cstring>

#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor {

namespace {

[[noreturn]] void NotA(const std::string& text, const char* what) {
  throw EConvertError("'" + text + "' is not a valid " + what);
}

bool FitsInt64(double d) { return d >= -9223372036854775808.0 && d < 9223372036854775808.0; }

}  // namespace

// ---- Whole numbers ----

TIntegerField::TIntegerField(TFieldType type, int width, int64_t minimum, int64_t maximum)
    : TField(type, 0), Width_(width), Min_(minimum), Max_(maximum) {}

bool TIntegerField::Read(int64_t& value) const {
  uint8_t raw[8] = {};
  if (!GetData(raw)) return false;
  switch (DataType()) {
    case ftSmallint: { int16_t v; std::memcpy(&v, raw, 2); value = v; break; }
    case ftWord: { uint16_t v; std::memcpy(&v, raw, 2); value = v; break; }
    case ftLargeint: { int64_t v; std::memcpy(&v, raw, 8); value = v; break; }
    default: { int32_t v; std::memcpy(&v, raw, 4); value = v; break; }
  }
  return true;
}

int64_t TIntegerField::GetAsLargeInt() const {
  int64_t v = 0;
  Read(v);
  return v;
}

void TIntegerField::SetAsLargeIntValue(int64_t value) {
  if (value < Min_ || value > Max_) RangeError(std::to_string(value));
  uint8_t raw[8] = {};
  switch (Width_) {
    case 2: { uint16_t v = uint16_t(value); std::memcpy(raw, &v, 2); break; }
    case 8: std::memcpy(raw, &value, 8); break;
    default: { int32_t v = int32_t(value); std::memcpy(raw, &v, 4); break; }
  }
  SetData(raw);
}

std::string TIntegerField::GetAsString() const {
  int64_t v;
  return Read(v) ? std::to_string(v) : std::string();
}

void TIntegerField::SetAsStringValue(const std::string& text) {
  if (TrimBlanks(text).empty()) return Clear();
  int64_t v;
  if (!TryTextToInteger(text, INT64_MIN, INT64_MAX, v)) {
    double d;
    if (TryTextToFloat(text, d) && std::floor(d) == d) RangeError(Trimmed(text));
    NotA(text, "integer value");
  }
  SetAsLargeIntValue(v);
}

double TIntegerField::GetAsFloat() const { return double(GetAsLargeInt()); }

void TIntegerField::SetAsFloatValue(double value) {
  double r = std::round(value);
  if (!std::isfinite(r) || !FitsInt64(r)) RangeError(FloatToText(value));
  SetAsLargeIntValue(int64_t(r));
}

int64_t TIntegerField::GetAsCurrency() const {
  int64_t v = GetAsLargeInt();
  if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000) RangeError(std::to_string(v));
  return v * 10000;
}

void TIntegerField::SetAsCurrencyValue(int64_t amount) {
  int64_t q = amount / 10000, r = amount % 10000;
  if (r >= 5000) ++q;
  if (r <= -5000) --q;
  SetAsLargeIntValue(q);
}

// ---- Floats ----

double TFloatField::GetAsFloat() const {
  double v = 0;
  uint8_t raw[8];
  if (GetData(raw)) std::memcpy(&v, raw, 8);
  return v;
}

void TFloatField::SetAsFloatValue(double value) {
  if (!std::isfinite(value)) RangeError(FloatToText(value));
  uint8_t raw[8];
  std::memcpy(raw, &value, 8);
  SetData(raw);
}

std::string TFloatField::GetAsString() const {
  return IsNull() ? std::string() : FloatToText(GetAsFloat());
}

void TFloatField::SetAsStringValue(const std::string& text) {
  if (TrimBlanks(text).empty()) return Clear();
  double v;
  if (!TryTextToFloat(text, v)) NotA(text, "floating point value");
  SetAsFloatValue(v);
}

int64_t TFloatField::GetAsLargeInt() const {
  double r = std::round(GetAsFloat());
  if (!FitsInt64(r)) RangeError(FloatToText(GetAsFloat()));
  return int64_t(r);
}

void TFloatField::SetAsLargeIntValue(int64_t value) { SetAsFloatValue(double(value)); }

int64_t TFloatField::GetAsCurrency() const {
  double scaled = std::round(GetAsFloat() * 10000.0);
  if (!FitsInt64(scaled)) RangeError(FloatToText(GetAsFloat()));
  return int64_t(scaled);
}

void TFloatField::SetAsCurrencyValue(int64_t amount) { SetAsFloatValue(double(amount) / 10000.0); }

// ---- Packed decimals ----

bool PackedDecimalToText(const uint8_t* bcd, std::string& text) {
  int precision = bcd[0];
  int scale = bcd[1] & 0x3F;
  bool negative = (bcd[1] & 0x80) != 0;
  if (precision > 64 || scale > precision) return false;
  std::string digits;
  for (int i = 0; i < precision; ++i) {
    int nibble = (i % 2 == 0) ? bcd[2 + i / 2] >> 4 : bcd[2 + i / 2] & 0x0F;
    if (nibble > 9) return false;
    digits += char('0' + nibble);
  }
  std::string whole = digits.substr(0, size_t(precision - scale));
  std::string fraction = digits.substr(size_t(precision - scale));
  size_t firstNonZero = whole.find_first_not_of('0');
  whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  text = whole;
  if (!fraction.empty()) text += "." + fraction;
  if (negative && text != "0") text = "-" + text;
  return true;
}

int TextToPackedDecimal(std::string_view text, int scale, uint8_t* bcd) {
  std::string_view s = TrimBlanks(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::string digits;  // all mantissa digits
  int point = -1;      // digits before the decimal point
  size_t i = 0;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      digits += s[i];
    } else if (s[i] == '.' && point < 0) {
      point = int(digits.size());
    } else {
      break;
    }
  }
  if (digits.empty()) return 1;
  if (point < 0) point = int(digits.size());
  if (i < s.size()) {
    if (s[i] != 'e' && s[i] != 'E') return 1;
    int64_t exponent;
    if (!TryTextToInteger(s.substr(i + 1), -100000, 100000, exponent)) return 1;
    point += int(exponent);
  }
  // Value = 0.digits * 10^point. Make the integer part and `scale + 1` decimals.
  auto digitAt = [&](int k) { return k >= 0 && k < int(digits.size()) ? digits[size_t(k)] - '0' : 0; };
  std::string whole;
  for (int k = 0; k < point; ++k) whole += char('0' + digitAt(k));
  size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "" : whole.substr(nz);
  std::string fraction;
  for (int k = point; k < point + scale; ++k) fraction += char('0' + digitAt(k));
  bool roundUp = digitAt(point + scale) >= 5;
  std::string all = whole + fraction;
  if (roundUp) {
    int k = int(all.size()) - 1;
    for (; k >= 0 && all[size_t(k)] == '9'; --k) all[size_t(k)] = '0';
    if (k < 0)
      all.insert(all.begin(), '1');
    else
      ++all[size_t(k)];
  }
  if (int(all.size()) > 32) return 2;
  all.insert(all.begin(), size_t(32 - int(all.size())), '0');
  std::memset(bcd, 0, 34);
  bool zero = all.find_first_not_of('0') == std::string::npos;
  bcd[0] = 32;
  bcd[1] = uint8_t(scale & 0x3F) | ((negative && !zero) ? 0x80 : 0);
  for (int k = 0; k < 32; ++k) {
    uint8_t d = uint8_t(all[size_t(k)] - '0');
    bcd[2 + k / 2] |= (k % 2 == 0) ? uint8_t(d << 4) : d;
  }
  return 0;
}

std::string TBCDField::GetAsString() const {
  uint8_t raw[34];
  if (!GetData(raw)) return "";
  std::string text;
  if (!PackedDecimalToText(raw, text))
    DatabaseErrorFmt("Field '%s' holds an invalid packed decimal", DisplayName());
  return text;
}

void TBCDField::SetAsStringValue(const std::string& text) {
  if (TrimBlanks(text).empty()) return Clear();
  if (Size() < 0 || Size() > 32) RangeError(Trimmed(text));
  uint8_t raw[34];
  switch (TextToPackedDecimal(text, Size(), raw)) {
    case 1: NotA(text, "BCD value");
    case 2: RangeError(Trimmed(text));
    default: break;
  }
  SetData(raw);
}

int64_t TBCDField::GetAsCurrency() const {
  std::string text = GetAsString();
  int64_t amount = 0;
  if (!text.empty() && !TryTextToCurrency(text, amount)) RangeError(text);
  return amount;
}

void TBCDField::SetAsCurrencyValue(int64_t amount) { SetAsStringValue(CurrencyToText(amount)); }

double TBCDField::GetAsFloat() const {
  std::string text = GetAsString();
  double v = 0;
  if (!text.empty() && !TryTextToFloat(text, v)) RangeError(text);
  return v;
}

void TBCDField::SetAsFloatValue(double value) {
  if (!std::isfinite(value)) RangeError(FloatToText(value));
  SetAsStringValue(FloatToText(value));
}

int64_t TBCDField::GetAsLargeInt() const {
  int64_t amount = GetAsCurrency();
  int64_t q = amount / 10000, r = amount % 10000;
  if (r >= 5000) ++q;
  if (r <= -5000) --q;
  return q;
}

void TBCDField::SetAsLargeIntValue(int64_t value) { SetAsStringValue(std::to_string(value)); }

TVariant TBCDField::GetValue() const {
  // Within the currency range the value is a currency; beyond it, its exact text.
  std::string text = GetAsString();
  int64_t amount;
  if (TryTextToCurrency(text, amount)) {
    std::string back = CurrencyToText(amount);
    if (back == text) return TVariant::Currency(amount);
  }
  return TVariant(text);
}

// ---- Booleans ----

bool TBooleanField::GetAsBoolean() const {
  uint8_t raw[2] = {};
  if (!GetData(raw)) return false;
  return raw[0] != 0 || raw[1] != 0;
}

void TBooleanField::SetAsBooleanValue(bool value) {
  uint8_t raw[2] = {uint8_t(value ? 1 : 0), 0};
  SetData(raw);
}

std::string TBooleanField::GetAsString() const {
  return IsNull() ? std::string() : BooleanToText(GetAsBoolean());
}

void TBooleanField::SetAsStringValue(const std::string& text) {
  if (TrimBlanks(text).empty()) return Clear();
  bool v;
  if (!TryTextToBoolean(text, v)) NotA(text, "boolean value");
  SetAsBooleanValue(v);
}

}  // namespace veldor
