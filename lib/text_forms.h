// The engine's fixed text forms of dates, times, timestamps, booleans and numbers.
//
// Used wherever a value meets text: default, minimum and maximum texts of fields, CAST,
// filter and SQL constants. The forms do not follow the user's locale: "." is always the
// decimal separator, dates are year-month-day, times use the 12-hour clock. The Text...
// readers raise EConvertError (a run-time conversion error, not an engine error) with the
// "'%s' is not a valid ..." texts; the Try... forms report failure instead. Stateless.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veldor {

// "2024-03-09": year padded to 4 digits, month and day to 2.
std::string DateToText(int32_t dayNumber);
// "12:05 AM", "01:30:15 PM", "11:59:59.5 PM": seconds only when not zero, milliseconds
// (unpadded) only when not zero.
std::string TimeToText(int32_t milliseconds);
// DateToText, a blank, TimeToText.
std::string TimestampToText(double timestamp);
// "True" or "False".
std::string BooleanToText(bool value);
// Up to 15 significant digits ("%.15g"), "." as the decimal separator.
std::string FloatToText(double value);
// A 64-bit amount with four implied decimals as the shortest decimal text ("12.5", "-3").
std::string CurrencyToText(int64_t amount);

bool TryTextToDate(std::string_view text, int32_t& dayNumber);
bool TryTextToTime(std::string_view text, int32_t& milliseconds);
bool TryTextToTimestamp(std::string_view text, double& timestamp);
bool TryTextToBoolean(std::string_view text, bool& value);
// A decimal number with optional sign, fraction and exponent; surrounding blanks allowed.
// No hexadecimal forms, no infinities or NaN; a value out of the double range fails.
bool TryTextToFloat(std::string_view text, double& value);
// The same syntax read exactly into an amount with four decimals (further decimals are
// rounded half away from zero); fails outside the 64-bit range.
bool TryTextToCurrency(std::string_view text, int64_t& amount);
// A decimal integer with optional sign; fails outside [minimum, maximum].
bool TryTextToInteger(std::string_view text, int64_t minimum, int64_t maximum, int64_t& value);

int32_t TextToDate(std::string_view text);
int32_t TextToTime(std::string_view text);
double TextToTimestamp(std::string_view text);
bool TextToBoolean(std::string_view text);
double TextToFloat(std::string_view text);
int64_t TextToCurrency(std::string_view text);

}  // namespace veldor
