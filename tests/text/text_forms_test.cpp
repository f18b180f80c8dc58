#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "lib/date_time.h"
#include "lib/exception.h"
#include "lib/text_forms.h"

namespace veldor {
namespace {

TEST(DayNumbers, FixedPointsOfTheCalendar) {
  EXPECT_EQ(EncodeDate(1, 1, 1), 1);
  EXPECT_EQ(EncodeDate(1899, 12, 30), 693594);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 693596);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 719163);
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2);  // 2000 is a leap year
  EXPECT_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1);  // 1900 is not
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 7);                // a Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 7)), 1);                // a Monday
  EXPECT_EQ(DayOfWeek(1), 1);
}

TEST(DayNumbers, DecodeInvertsEncodeAcrossTheRange) {
  for (int32_t day = 1; day <= EncodeDate(9999, 12, 31); day += 997) {
    int y, m, d;
    DecodeDate(day, y, m, d);
    ASSERT_TRUE(IsValidDate(y, m, d)) << day;
    ASSERT_EQ(EncodeDate(y, m, d), day);
  }
  EXPECT_FALSE(IsValidDate(2023, 2, 29));
  EXPECT_TRUE(IsValidDate(2024, 2, 29));
  EXPECT_FALSE(IsValidDate(0, 1, 1));
  EXPECT_FALSE(IsValidDate(10000, 1, 1));
}

TEST(Timestamps, SplitIntoDayAndTime) {
  double ts = MakeTimestamp(EncodeDate(2024, 5, 17), EncodeTime(13, 45, 30, 250));
  EXPECT_EQ(TimestampDate(ts), EncodeDate(2024, 5, 17));
  EXPECT_EQ(TimestampTime(ts), EncodeTime(13, 45, 30, 250));
  EXPECT_EQ(TimestampDate(std::nan("")), 0);
}

TEST(TextForms, WrittenForms) {
  struct {
    std::string actual, expected;
  } cases[] = {
      {DateToText(EncodeDate(2024, 3, 9)), "2024-03-09"},
      {DateToText(EncodeDate(12, 1, 2)), "0012-01-02"},
      {TimeToText(EncodeTime(0, 5, 0, 0)), "12:05 AM"},
      {TimeToText(EncodeTime(12, 0, 0, 0)), "12:00 PM"},
      {TimeToText(EncodeTime(13, 30, 15, 0)), "01:30:15 PM"},
      {TimeToText(EncodeTime(23, 59, 59, 5)), "11:59:59.5 PM"},
      {TimeToText(EncodeTime(9, 0, 0, 120)), "09:00:00.120 AM"},
      {TimestampToText(MakeTimestamp(EncodeDate(1999, 12, 31), EncodeTime(23, 0, 0, 0))),
       "1999-12-31 11:00 PM"},
      {BooleanToText(true), "True"},
      {BooleanToText(false), "False"},
      {FloatToText(2.5), "2.5"},
      {FloatToText(0.1 + 0.2), "0.3"},
      {FloatToText(-1e20), "-1e+20"},
      {CurrencyToText(125000), "12.5"},
      {CurrencyToText(-30000), "-3"},
      {CurrencyToText(1), "0.0001"},
      {CurrencyToText(INT64_MIN), "-922337203685477.5808"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(TextForms, TimesReadBack) {
  // Every written time reads back to itself, milliseconds included.
  for (int32_t ms : {0, 1, 999, 1000, 60000, 300000, 43199999, 43200000, 43200001, 86399999,
                     EncodeTime(0, 0, 0, 500), EncodeTime(12, 0, 0, 7)}) {
    EXPECT_EQ(TextToTime(TimeToText(ms)), ms) << TimeToText(ms);
  }
  EXPECT_EQ(TextToTime("12:05 AM"), EncodeTime(0, 5, 0, 0));
  EXPECT_EQ(TextToTime("pm 3:07"), EncodeTime(15, 7, 0, 0));
  EXPECT_EQ(TextToTime(" 17:20:01.25 "), EncodeTime(17, 20, 1, 25));
  EXPECT_EQ(TextToTime("12:00 pm"), EncodeTime(12, 0, 0, 0));
}

TEST(TextForms, ReadersAcceptAndRefuse) {
  EXPECT_EQ(TextToDate("2024-2-29"), EncodeDate(2024, 2, 29));
  EXPECT_EQ(TextToDate(" 1900-01-01 "), 693596);
  EXPECT_DOUBLE_EQ(TextToTimestamp("2024-05-17 01:02 PM"),
                   MakeTimestamp(EncodeDate(2024, 5, 17), EncodeTime(13, 2, 0, 0)));
  EXPECT_DOUBLE_EQ(TextToTimestamp("2024-05-17"), MakeTimestamp(EncodeDate(2024, 5, 17), 0));
  EXPECT_DOUBLE_EQ(TextToTimestamp("10:30"), EncodeTime(10, 30, 0, 0));
  EXPECT_TRUE(TextToBoolean("tRuE"));
  EXPECT_FALSE(TextToBoolean("FALSE"));
  EXPECT_DOUBLE_EQ(TextToFloat("-1.5e3"), -1500.0);
  EXPECT_DOUBLE_EQ(TextToFloat(".25"), 0.25);
  EXPECT_EQ(TextToCurrency("12.5"), 125000);
  EXPECT_EQ(TextToCurrency("-0.00005"), -1);  // half away from zero
  EXPECT_EQ(TextToCurrency("1.23456e2"), 1234560);
  EXPECT_EQ(TextToCurrency("922337203685477.5807"), INT64_MAX);
  EXPECT_EQ(TextToCurrency("-922337203685477.5808"), INT64_MIN);

  struct {
    const char* text;
    const char* message;
    int which;  // 0 date, 1 time, 2 timestamp, 3 boolean, 4 float, 5 currency
  } failures[] = {
      {"2023-02-29", "'2023-02-29' is not a valid date", 0},
      {"2023/01/01", "'2023/01/01' is not a valid date", 0},
      {"2023-01", "'2023-01' is not a valid date", 0},
      {"", "'' is not a valid date", 0},
      {"1205", "'1205' is not a valid time", 1},
      {"24:00", "'24:00' is not a valid time", 1},
      {"13:00 PM", "'13:00 PM' is not a valid time", 1},
      {"10:6x", "'10:6x' is not a valid time", 1},
      {"2024-01-01 25:00", "'2024-01-01 25:00' is not a valid date and time", 2},
      {"yes", "'yes' is not a valid boolean", 3},
      {"1.2.3", "'1.2.3' is not a valid floating point value", 4},
      {"inf", "'inf' is not a valid floating point value", 4},
      {"0x10", "'0x10' is not a valid floating point value", 4},
      {"1e999", "'1e999' is not a valid floating point value", 4},
      {"922337203685477.5808", "'922337203685477.5808' is not a valid floating point value", 5},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.text);
    try {
      switch (f.which) {
        case 0: TextToDate(f.text); break;
        case 1: TextToTime(f.text); break;
        case 2: TextToTimestamp(f.text); break;
        case 3: TextToBoolean(f.text); break;
        case 4: TextToFloat(f.text); break;
        case 5: TextToCurrency(f.text); break;
      }
      ADD_FAILURE() << "accepted";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message, f.message);
    }
  }
}

TEST(TextForms, IntegersWithRanges) {
  int64_t v = 0;
  EXPECT_TRUE(TryTextToInteger("-32768", INT16_MIN, INT16_MAX, v));
  EXPECT_EQ(v, -32768);
  EXPECT_FALSE(TryTextToInteger("32768", INT16_MIN, INT16_MAX, v));
  EXPECT_TRUE(TryTextToInteger("-9223372036854775808", INT64_MIN, INT64_MAX, v));
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_FALSE(TryTextToInteger("9223372036854775808", INT64_MIN, INT64_MAX, v));
  EXPECT_FALSE(TryTextToInteger("99999999999999999999999", INT64_MIN, INT64_MAX, v));
  EXPECT_FALSE(TryTextToInteger("1.0", INT64_MIN, INT64_MAX, v));
  EXPECT_FALSE(TryTextToInteger("-", INT64_MIN, INT64_MAX, v));
}

}  // namespace
}  // namespace veldor
