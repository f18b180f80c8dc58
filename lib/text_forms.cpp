#include "lib/text_forms.h"
#include "lib/name_text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "lib/date_time.h"
#include "lib/exception.h"

namespace veldor {
namespace {

// Unsigned decimal digits only, at least one, value at most `limit`.
bool ReadDigits(std::string_view s, int64_t limit, int64_t& value) {
  if (s.empty()) return false;
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > limit) return false;
  }
  return true;
}

[[noreturn]] void Fail(const char* what, std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid " + what);
}

// Syntax of a decimal number: sign, digits, optional fraction, optional exponent. Splits it
// into its parts; false when the text is anything else.
struct TDecimalParts {
  bool Negative = false;
  std::string_view Integer, Fraction;
  int64_t Exponent = 0;
};

bool SplitDecimal(std::string_view text, TDecimalParts& parts) {
  std::string_view s = TrimBlanks(text);
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    parts.Negative = s.front() == '-';
    s.remove_prefix(1);
  }
  size_t i = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  parts.Integer = s.substr(0, i);
  if (i < s.size() && s[i] == '.') {
    size_t start = ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    parts.Fraction = s.substr(start, i - start);
  }
  if (parts.Integer.empty() && parts.Fraction.empty()) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t exponent;
    if (!ReadDigits(s.substr(i), 100000, exponent)) return false;
    parts.Exponent = negative ? -exponent : exponent;
    i = s.size();
  }
  return i == s.size();
}

}  // namespace

std::string DateToText(int32_t dayNumber) {
  int y, m, d;
  DecodeDate(dayNumber, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string TimeToText(int32_t milliseconds) {
  int h, m, s, ms;
  DecodeTime(milliseconds, h, m, s, ms);
  int h12 = h % 12 == 0 ? 12 : h % 12;
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%02d:%02d", h12, m);
  if (s != 0 || ms != 0) {
    // Milliseconds only ever follow seconds, so a time with milliseconds and zero seconds
    // keeps its ":00" and reads back to the same value.
    n += std::snprintf(buf + n, sizeof buf - n, ":%02d", s);
    if (ms != 0) n += std::snprintf(buf + n, sizeof buf - n, ".%d", ms);
  }
  std::snprintf(buf + n, sizeof buf - n, "%s", h < 12 ? " AM" : " PM");
  return buf;
}

std::string TimestampToText(double timestamp) {
  return DateToText(TimestampDate(timestamp)) + " " + TimeToText(TimestampTime(timestamp));
}

std::string BooleanToText(bool value) { return value ? "True" : "False"; }

std::string FloatToText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);  // the C locale: "." separates decimals
  return buf;
}

std::string CurrencyToText(int64_t amount) {
  uint64_t magnitude = amount < 0 ? 0 - uint64_t(amount) : uint64_t(amount);
  std::string text = std::to_string(magnitude / 10000);
  unsigned fraction = unsigned(magnitude % 10000);
  if (fraction != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, ".%04u", fraction);
    std::string f(buf);
    while (f.back() == '0') f.pop_back();
    text += f;
  }
  return amount < 0 ? "-" + text : text;
}

bool TryTextToDate(std::string_view text, int32_t& dayNumber) {
  std::string_view s = TrimBlanks(text);
  size_t first = s.find('-');
  if (first == std::string_view::npos) return false;
  size_t second = s.find('-', first + 1);
  if (second == std::string_view::npos) return false;
  int64_t y, m, d;
  if (!ReadDigits(s.substr(0, first), 99999, y) ||
      !ReadDigits(s.substr(first + 1, second - first - 1), 99, m) ||
      !ReadDigits(s.substr(second + 1), 99, d))
    return false;
  if (!IsValidDate(int(y), int(m), int(d))) return false;
  dayNumber = EncodeDate(int(y), int(m), int(d));
  return true;
}

bool TryTextToTime(std::string_view text, int32_t& milliseconds) {
  // "AM" or "PM" anywhere, in any case, is removed and remembered.
  std::string s(text);
  bool am = false, pm = false;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    char a = FoldAsciiUpper(s[i]), b = FoldAsciiUpper(s[i + 1]);
    if ((a == 'A' || a == 'P') && b == 'M') {
      (a == 'A' ? am : pm) = true;
      s.erase(i, 2);
      break;
    }
  }
  std::string_view rest = TrimBlanks(s);
  size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  int64_t hour, minute, second = 0, millisecond = 0;
  if (!ReadDigits(rest.substr(0, colon), 99, hour)) return false;
  rest.remove_prefix(colon + 1);
  size_t next = rest.find(':');
  std::string_view minutePart = rest.substr(0, next);
  if (!ReadDigits(minutePart, 99, minute)) return false;
  if (next != std::string_view::npos) {
    rest.remove_prefix(next + 1);
    size_t dot = rest.find('.');
    if (!ReadDigits(rest.substr(0, dot), 99, second)) return false;
    if (dot != std::string_view::npos && !ReadDigits(rest.substr(dot + 1), 999, millisecond))
      return false;
  }
  if (pm && hour != 12) hour += 12;
  if (am && hour == 12) hour = 0;
  if (!IsValidTime(int(hour), int(minute), int(second), int(millisecond))) return false;
  milliseconds = EncodeTime(int(hour), int(minute), int(second), int(millisecond));
  return true;
}

bool TryTextToTimestamp(std::string_view text, double& timestamp) {
  std::string_view s = TrimBlanks(text);
  size_t blank = s.find(' ');
  int32_t date = 0, time = 0;
  if (blank != std::string_view::npos) {
    if (!TryTextToDate(s.substr(0, blank), date) || !TryTextToTime(s.substr(blank + 1), time))
      return false;
  } else if (s.find(':') != std::string_view::npos) {
    if (!TryTextToTime(s, time)) return false;
  } else if (!TryTextToDate(s, date)) {
    return false;
  }
  timestamp = MakeTimestamp(date, time);
  return true;
}

bool TryTextToBoolean(std::string_view text, bool& value) {
  std::string_view s = TrimBlanks(text);
  if (EqualsIgnoreCase(s, "TRUE")) {
    value = true;
    return true;
  }
  if (EqualsIgnoreCase(s, "FALSE")) {
    value = false;
    return true;
  }
  return false;
}

bool TryTextToFloat(std::string_view text, double& value) {
  TDecimalParts parts;
  if (!SplitDecimal(text, parts)) return false;
  std::string clean(TrimBlanks(text));
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(clean.c_str(), &end);
  if (end != clean.c_str() + clean.size() || !std::isfinite(v)) return false;
  if (errno == ERANGE && std::fabs(v) > 1.0) return false;  // overflow; underflow reads as 0
  value = v;
  return true;
}

bool TryTextToCurrency(std::string_view text, int64_t& amount) {
  TDecimalParts parts;
  if (!SplitDecimal(text, parts)) return false;
  // All digits in order, and the position of the decimal point moved by the exponent.
  std::string digits(parts.Integer);
  digits += parts.Fraction;
  int64_t pointAt = int64_t(parts.Integer.size()) + parts.Exponent;  // digits before the point
  // Value = digits * 10^(pointAt - digits.size()); amount = value * 10^4.
  int64_t shift = pointAt - int64_t(digits.size()) + 4;
  size_t firstNonZero = digits.find_first_not_of('0');
  if (firstNonZero == std::string::npos) {
    amount = 0;
    return true;
  }
  __int128 v = 0;
  const __int128 limit = (__int128(1) << 63);
  int64_t kept = int64_t(digits.size()) + (shift < 0 ? shift : 0);  // digits that stay whole
  for (int64_t i = 0; i < kept; ++i) {
    v = v * 10 + (digits[size_t(i)] - '0');
    if (v > limit) return false;
  }
  for (int64_t i = 0; i < shift; ++i) {
    v *= 10;
    if (v > limit) return false;
  }
  if (shift < 0 && kept >= 0 && size_t(kept) < digits.size() && digits[size_t(kept)] >= '5')
    v += 1;  // round half away from zero on the first dropped digit
  if (v > limit || (!parts.Negative && v == limit)) return false;
  amount = parts.Negative ? int64_t(-v) : int64_t(v);
  return true;
}

bool TryTextToInteger(std::string_view text, int64_t minimum, int64_t maximum, int64_t& value) {
  std::string_view s = TrimBlanks(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  uint64_t magnitude = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (magnitude > (UINT64_MAX - 9) / 10) return false;
    magnitude = magnitude * 10 + uint64_t(c - '0');
  }
  if (magnitude > uint64_t(INT64_MAX) + (negative ? 1 : 0)) return false;
  int64_t v = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  if (v < minimum || v > maximum) return false;
  value = v;
  return true;
}

int32_t TextToDate(std::string_view text) {
  int32_t v;
  if (!TryTextToDate(text, v)) Fail("date", text);
  return v;
}

int32_t TextToTime(std::string_view text) {
  int32_t v;
  if (!TryTextToTime(text, v)) Fail("time", text);
  return v;
}

double TextToTimestamp(std::string_view text) {
  double v;
  if (!TryTextToTimestamp(text, v)) Fail("date and time", text);
  return v;
}

bool TextToBoolean(std::string_view text) {
  bool v;
  if (!TryTextToBoolean(text, v)) Fail("boolean", text);
  return v;
}

double TextToFloat(std::string_view text) {
  double v;
  if (!TryTextToFloat(text, v)) Fail("floating point value", text);
  return v;
}

int64_t TextToCurrency(std::string_view text) {
  int64_t v;
  if (!TryTextToCurrency(text, v)) Fail("floating point value", text);
  return v;
}

}  // namespace veldor
