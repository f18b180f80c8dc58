#include "lib/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace veldor {
namespace {

// Days from 1970-01-01 to a civil date, and back (H. Hinnant's algorithms).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

// Day number of 1970-01-01.
constexpr int64_t kUnixEpochDay = 719163;

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

int32_t EncodeDate(int year, int month, int day) {
  return int32_t(DaysFromCivil(year, unsigned(month), unsigned(day)) + kUnixEpochDay);
}

void DecodeDate(int32_t dayNumber, int& year, int& month, int& day) {
  int64_t y;
  unsigned m, d;
  CivilFromDays(int64_t(dayNumber) - kUnixEpochDay, y, m, d);
  year = int(y);
  month = int(m);
  day = int(d);
}

bool IsValidTime(int hour, int minute, int second, int millisecond) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59 &&
         millisecond >= 0 && millisecond <= 999;
}

int32_t EncodeTime(int hour, int minute, int second, int millisecond) {
  return ((hour * 60 + minute) * 60 + second) * 1000 + millisecond;
}

void DecodeTime(int32_t milliseconds, int& hour, int& minute, int& second, int& millisecond) {
  int32_t ms = milliseconds % kMillisecondsPerDay;
  if (ms < 0) ms += kMillisecondsPerDay;
  millisecond = ms % 1000;
  ms /= 1000;
  second = ms % 60;
  ms /= 60;
  minute = ms % 60;
  hour = ms / 60;
}

double MakeTimestamp(int32_t dayNumber, int32_t milliseconds) {
  return double(dayNumber) * kMillisecondsPerDay + milliseconds;
}

int32_t TimestampDate(double timestamp) {
  double days = std::floor(timestamp / kMillisecondsPerDay);
  if (!(days >= INT32_MIN && days <= INT32_MAX)) return 0;  // NaN or out of range
  return int32_t(days);
}

int32_t TimestampTime(double timestamp) {
  double days = std::floor(timestamp / kMillisecondsPerDay);
  double rest = std::round(timestamp - days * kMillisecondsPerDay);
  if (!(rest >= 0 && rest < kMillisecondsPerDay)) return 0;
  return int32_t(rest);
}

int DayOfWeek(int32_t dayNumber) {
  // Day 1 (1 January of year 1) was a Monday.
  int r = int((int64_t(dayNumber) - 1) % 7);
  if (r < 0) r += 7;
  return r + 1;
}

namespace {
void LocalNow(int32_t& date, int32_t& time) {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = std::time_t(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  time = EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                    int(ms % 1000));
}
}  // namespace

int32_t CurrentDate() {
  int32_t date, time;
  LocalNow(date, time);
  return date;
}

int32_t CurrentTime() {
  int32_t date, time;
  LocalNow(date, time);
  return time;
}

double CurrentTimestamp() {
  int32_t date, time;
  LocalNow(date, time);
  return MakeTimestamp(date, time);
}

}  // namespace veldor
