#include "toolkit/date_time_fields.h"

#include <cmath>
#include <cstring>

#include "lib/date_time.h"
#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor {

namespace {
// Timestamps of 1 January 0001 00:00 and of the end of 31 December 9999.
constexpr double kFirstMoment = double(kMillisecondsPerDay);
constexpr double kEndOfTime = 3652060.0 * kMillisecondsPerDay;
}  // namespace

double TDateTimeField::GetAsDateTime() const {
  uint8_t raw[8] = {};
  if (!GetData(raw)) return 0;
  switch (DataType()) {
    case ftDate: { int32_t day; std::memcpy(&day, raw, 4); return MakeTimestamp(day, 0); }
    case ftTime: { int32_t ms; std::memcpy(&ms, raw, 4); return double(ms); }
    default: { double ts; std::memcpy(&ts, raw, 8); return ts; }
  }
}

void TDateTimeField::SetAsDateTimeValue(double timestamp) {
  uint8_t raw[8] = {};
  switch (DataType()) {
    case ftDate: {
      if (!std::isfinite(timestamp) || timestamp < kFirstMoment || timestamp >= kEndOfTime)
        RangeError(FloatToText(timestamp));
      int32_t day = TimestampDate(timestamp);
      std::memcpy(raw, &day, 4);
      break;
    }
    case ftTime: {
      if (!std::isfinite(timestamp) || std::fabs(timestamp) >= 1e15) RangeError(FloatToText(timestamp));
      int32_t ms = TimestampTime(timestamp);
      std::memcpy(raw, &ms, 4);
      break;
    }
    default:
      if (!std::isfinite(timestamp) || timestamp < kFirstMoment || timestamp >= kEndOfTime)
        RangeError(FloatToText(timestamp));
      std::memcpy(raw, &timestamp, 8);
      break;
  }
  SetData(raw);
}

std::string TDateTimeField::GetAsString() const {
  if (IsNull()) return "";
  double ts = GetAsDateTime();
  switch (DataType()) {
    case ftDate: return DateToText(TimestampDate(ts));
    case ftTime: return TimeToText(TimestampTime(ts));
    default: return TimestampToText(ts);
  }
}

void TDateTimeField::SetAsStringValue(const std::string& text) {
  if (TrimBlanks(text).empty()) return Clear();
  double ts = 0;
  int32_t part = 0;
  bool ok = false;
  if (DataType() == ftTime) {
    ok = TryTextToTime(text, part);
    ts = part;
  } else if (TryTextToTimestamp(text, ts)) {
    ok = true;
  } else if (TryTextToDate(text, part)) {
    ok = true;
    ts = MakeTimestamp(part, 0);
  }
  if (!ok) {
    const char* what = DataType() == ftDate ? "date" : DataType() == ftTime ? "time" : "date and time";
    throw EConvertError("'" + text + "' is not a valid " + std::string(what));
  }
  SetAsDateTimeValue(ts);
}

}  // namespace veldor
