// Day numbers, times of day and timestamps as the engine stores them.
//
// A date is a signed 32-bit day number on the proleptic Gregorian calendar, 1 January of
// year 1 being day 1 (30 December 1899 is day 693594); a time is milliseconds since
// midnight (0 to 86399999); a timestamp is day number * 86400000 + milliseconds, held as a
// double. Pure arithmetic plus readers of the local clock; safe from any thread.
#pragma once

#include <cstdint>

namespace veldor {

inline constexpr int32_t kMillisecondsPerDay = 86400000;
inline constexpr int32_t kDayNumber18991230 = 693594;

// True when year 1..9999, month 1..12 and day fit the calendar.
bool IsValidDate(int year, int month, int day);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Day number of a valid date (callers check IsValidDate first).
int32_t EncodeDate(int year, int month, int day);
// Calendar date of any day number (also before day 1, on the proleptic calendar).
void DecodeDate(int32_t dayNumber, int& year, int& month, int& day);

// True when hour 0..23, minute 0..59, second 0..59, millisecond 0..999.
bool IsValidTime(int hour, int minute, int second, int millisecond);
int32_t EncodeTime(int hour, int minute, int second, int millisecond);
// Splits milliseconds since midnight; values outside one day are taken modulo a day.
void DecodeTime(int32_t milliseconds, int& hour, int& minute, int& second, int& millisecond);

double MakeTimestamp(int32_t dayNumber, int32_t milliseconds);
// The day part (floor) and the time of day of a timestamp.
int32_t TimestampDate(double timestamp);
int32_t TimestampTime(double timestamp);

// Monday 1 ... Sunday 7.
int DayOfWeek(int32_t dayNumber);

// The local clock (localtime_r).
int32_t CurrentDate();
int32_t CurrentTime();
double CurrentTimestamp();

}  // namespace veldor
