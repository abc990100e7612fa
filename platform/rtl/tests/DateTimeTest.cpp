#include <gtest/gtest.h>

#include <vector>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"

namespace {

TEST(DateTime, EncodeKnownDays) {
  struct Case {
    int y, m, d;
    double value;
  };
  const Case cases[] = {{1899, 12, 30, 0},     {1899, 12, 29, -1},     {1900, 1, 1, 2},       {2000, 1, 1, 36526},
                        {2024, 2, 29, 45351},  {1, 1, 1, -693593},     {9999, 12, 31, 2958465}, {1970, 1, 1, 25569}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeDate(c.y, c.m, c.d), c.value) << c.y << "-" << c.m << "-" << c.d;
    std::uint16_t y, m, d;
    DecodeDate(c.value, y, m, d);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(d, c.d);
  }
}

TEST(DateTime, TryEncodeRejectsInvalidParts) {
  struct Case {
    int y, m, d;
    bool ok;
  };
  const Case cases[] = {{2000, 2, 29, true}, {1900, 2, 29, false}, {2004, 2, 29, true}, {2100, 2, 29, false},
                        {2000, 13, 1, false}, {0, 1, 1, false},    {10000, 1, 1, false}, {2000, 4, 31, false},
                        {2000, 1, 0, false}};
  for (const auto& c : cases) {
    TDateTime v = 123;
    EXPECT_EQ(TryEncodeDate(c.y, c.m, c.d, v), c.ok) << c.y << "-" << c.m << "-" << c.d;
    if (!c.ok) {
      EXPECT_EQ(v, 123);
    }
  }
  try {
    EncodeDate(1900, 2, 29);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Invalid argument to date encode");
  }
  try {
    EncodeTime(24, 0, 0, 1);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Invalid argument to time encode");
  }
  TDateTime t;
  EXPECT_FALSE(TryEncodeTime(12, 60, 0, 0, t));
  EXPECT_FALSE(TryEncodeTime(-1, 0, 0, 0, t));
  EXPECT_FALSE(TryEncodeTime(1, 1, 1, 1000, t));
  EXPECT_TRUE(TryEncodeTime(24, 0, 0, 0, t));
  EXPECT_EQ(t, 1.0);
}

TEST(DateTime, EncodeDecodeTimeAndBeforeTheEpoch) {
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  // Before 1899-12-30 the time still counts forward: 1899-12-29 06:00 is -1.25.
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  std::uint16_t y, mo, d, h, mi, s, ms;
  DecodeDateTime(-1.25, y, mo, d, h, mi, s, ms);
  EXPECT_EQ(y, 1899);
  EXPECT_EQ(mo, 12);
  EXPECT_EQ(d, 29);
  EXPECT_EQ(h, 6);
  DecodeDateTime(EncodeDateTime(2024, 2, 29, 13, 5, 7, 89), y, mo, d, h, mi, s, ms);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}), (std::vector<int>{2024, 2, 29, 13, 5, 7, 89}));
  // Every millisecond of a day decodes to itself.
  for (int msOfDay = 0; msOfDay < MSecsPerDay; msOfDay += 997) {
    const TDateTime v = 45351 + static_cast<double>(msOfDay) / MSecsPerDay;
    DecodeTime(v, h, mi, s, ms);
    EXPECT_EQ(((h * 60 + mi) * 60 + s) * 1000 + ms, msOfDay);
  }
}

TEST(DateTime, DayOfWeekAndLeapYears) {
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 2, 29)), 5);  // Thursday (Sunday = 1)
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);       // Monday
  EXPECT_EQ(DayOfWeek(-1.25), 6);                     // 1899-12-29, Friday
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_EQ(DaysInAMonth(2024, 2), 29);
  EXPECT_EQ(DaysInAMonth(2023, 2), 28);
  EXPECT_EQ(DaysInAMonth(2023, 4), 30);
  EXPECT_EQ(DaysInAMonth(2023, 13), 0);
}

TEST(DateTime, MonthArithmeticClampsToTheMonthEnd) {
  struct Case {
    int y, m, d;
    int months;
    int ry, rm, rd;
  };
  const Case cases[] = {
      {2000, 2, 29, 12, 2001, 2, 28},  {2000, 2, 29, 48, 2004, 2, 29},  {2000, 2, 29, -12, 1999, 2, 28},
      {2000, 2, 29, 1, 2000, 3, 29},   {2001, 1, 31, 1, 2001, 2, 28},   {2004, 1, 31, 1, 2004, 2, 29},
      {2001, 3, 31, -1, 2001, 2, 28},  {2001, 5, 31, 1, 2001, 6, 30},   {2001, 12, 15, 1, 2002, 1, 15},
      {2001, 1, 15, -1, 2000, 12, 15}, {2001, 1, 15, -13, 1999, 12, 15}, {2001, 1, 31, 0, 2001, 1, 31},
      {2024, 8, 31, -180, 2009, 8, 31}, {2024, 2, 29, -12 * 44, 1980, 2, 29},
  };
  for (const auto& c : cases) {
    const TDateTime r = IncMonth(EncodeDate(c.y, c.m, c.d), c.months);
    EXPECT_EQ(r, EncodeDate(c.ry, c.rm, c.rd)) << c.y << "-" << c.m << "-" << c.d << " + " << c.months;
  }
  // The time of day stays, before the epoch too.
  EXPECT_EQ(IncMonth(EncodeDateTime(2000, 2, 29, 13, 30, 0, 0), 12), EncodeDateTime(2001, 2, 28, 13, 30, 0, 0));
  EXPECT_EQ(IncMonth(-1.25, 1), EncodeDateTime(1900, 1, 29, 6, 0, 0, 0));
  EXPECT_EQ(IncYear(EncodeDate(2000, 2, 29), 1), EncodeDate(2001, 2, 28));
  EXPECT_EQ(IncYear(EncodeDate(2000, 2, 29), 4), EncodeDate(2004, 2, 29));
  EXPECT_THROW(IncMonth(EncodeDate(9999, 12, 1), 1), EConvertError);
  EXPECT_THROW(IncMonth(EncodeDate(1, 1, 1), -1), EConvertError);
}

TEST(DateTime, TimeStamps) {
  struct Case {
    TDateTime value;
    std::int32_t date, time;
  };
  const Case cases[] = {{0, 693594, 0},
                        {1.5, 693595, 43200000},
                        {-1.25, 693593, 21600000},
                        {-0.25, 693594, 21600000},
                        {EncodeDate(1, 1, 1), 1, 0},
                        {EncodeDateTime(2024, 2, 29, 23, 59, 59, 999), 693594 + 45351, 86399999}};
  for (const auto& c : cases) {
    const TTimeStamp ts = DateTimeToTimeStamp(c.value);
    EXPECT_EQ(ts.Date, c.date) << c.value;
    EXPECT_EQ(ts.Time, c.time) << c.value;
    if (c.value != -0.25) {  // -0.25 and 0.25 share a stamp
      EXPECT_EQ(TimeStampToDateTime(ts), c.value);
    }
    EXPECT_EQ(TimeStampToMSecs(ts), std::int64_t{c.date} * MSecsPerDay + c.time);
    const TTimeStamp back = MSecsToTimeStamp(TimeStampToMSecs(ts));
    EXPECT_EQ(back.Date, ts.Date);
    EXPECT_EQ(back.Time, ts.Time);
  }
  try {
    TimeStampToDateTime(TTimeStamp{-1, 1});
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'1.-1' is not a valid timestamp");
  }
  EXPECT_THROW(TimeStampToDateTime(TTimeStamp{0, 0}), EConvertError);
}

TEST(DateTime, SqlTimeStamps) {
  const TDateTime v = EncodeDateTime(2024, 2, 29, 13, 5, 7, 89);
  const TSQLTimeStamp ts = DateTimeToSQLTimeStamp(v);
  EXPECT_EQ(ts.Year, 2024);
  EXPECT_EQ(ts.Month, 2);
  EXPECT_EQ(ts.Day, 29);
  EXPECT_EQ(ts.Hour, 13);
  EXPECT_EQ(ts.Minute, 5);
  EXPECT_EQ(ts.Second, 7);
  EXPECT_EQ(ts.Fractions, 89u);
  EXPECT_EQ(SQLTimeStampToDateTime(ts), v);
  EXPECT_EQ(SQLTimeStampToDateTime(TSQLTimeStamp{}), 0);

  TSQLTimeStamp bad = ts;
  bad.Month = 13;
  TDateTime out = 5;
  EXPECT_FALSE(TrySQLTimeStampToDateTime(bad, out));
  EXPECT_EQ(out, 5);
  try {
    SQLTimeStampToDateTime(bad);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Invalid SQL date/time values");
  }

  const TSQLTimeStampOffset off = DateTimeToSQLTimeStampOffset(v, -5, 30);
  EXPECT_EQ(off.TimeZoneHour, -5);
  EXPECT_EQ(off.TimeZoneMinute, 30);
  EXPECT_EQ(off.Hour, 13);
  EXPECT_EQ(SQLTimeStampOffsetToDateTime(off), v);
}

TEST(DateTime, InjectableClock) {
  SetNowClock([] { return 45351.75; });
  EXPECT_EQ(Now(), 45351.75);
  EXPECT_EQ(Date(), 45351);
  EXPECT_EQ(Time(), 0.75);
  SetNowClock(nullptr);
  const TDateTime now = Now();
  EXPECT_GT(now, EncodeDate(2020, 1, 1));
  EXPECT_LT(now, EncodeDate(2200, 1, 1));
}

}  // namespace
