// Dates and times: TDateTime counts days from 1899-12-30 with the time of day as the fraction. A
// negative value is a day before 1899-12-30 with the time still counted forward as |fraction|
// (-1.25 is 1899-12-29 06:00), as the platform does.
//
// Encoding and decoding, month arithmetic, the time-stamp form and the SQL time stamps live here; text
// forms (FormatDateTime, StrToDate, ...) are in SysUtils.h. Now/Date/Time read an injectable clock so
// tests can pin "the current moment".
#pragma once

#include <cstdint>
#include <functional>

using TDateTime = double;
using TDate = double;
using TTime = double;

// Date: days from 0001-01-01 plus one; Time: milliseconds of the day.
struct TTimeStamp {
  std::int32_t Time = 0;
  std::int32_t Date = 0;
};

struct TSQLTimeStamp {
  std::int16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint32_t Fractions = 0;  // milliseconds
};
static_assert(sizeof(TSQLTimeStamp) == 16);

struct TSQLTimeStampOffset {
  std::int16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint32_t Fractions = 0;
  std::int16_t TimeZoneHour = 0;
  std::int16_t TimeZoneMinute = 0;
};
static_assert(sizeof(TSQLTimeStampOffset) == 20);

inline constexpr int HoursPerDay = 24;
inline constexpr int MinsPerHour = 60;
inline constexpr int SecsPerMin = 60;
inline constexpr int MSecsPerSec = 1000;
inline constexpr int MinsPerDay = HoursPerDay * MinsPerHour;
inline constexpr int SecsPerDay = MinsPerDay * SecsPerMin;
inline constexpr int MSecsPerDay = SecsPerDay * MSecsPerSec;
// Days from 0001-01-01 (day 1 in the time stamp) to 1899-12-30: TTimeStamp.Date of TDateTime 0.
inline constexpr std::int32_t DateDelta = 693594;
// Days from 1899-12-30 to 1970-01-01.
inline constexpr std::int32_t UnixDateDelta = 25569;
inline constexpr double MinDateTime = -657434.0;            // 0100-01-01
inline constexpr double MaxDateTime = 2958465.99999999;     // 9999-12-31 23:59:59.999

bool IsLeapYear(int Year);
// 0 for a month outside 1..12.
int DaysInAMonth(int Year, int Month);
int DaysInAYear(int Year);

// ---- encode / decode -------------------------------------------------------------------------------
// Year 1..9999, Month 1..12, Day 1..days of the month. EncodeDate raises EConvertError
// "Invalid argument to date encode", EncodeTime "Invalid argument to time encode".
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date);
TDateTime EncodeDate(int Year, int Month, int Day);
// Hour 0..23, Min 0..59, Sec 0..59, MSec 0..999 (24:00:00.000 is accepted as 1.0, as the platform does).
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time);
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
// The time is added to a non-negative date and subtracted from a negative one.
bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec, TDateTime& Value);
TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec);
// A value outside the time-stamp range decodes as 0/0/0 (DecodeDate) like the platform.
void DecodeDate(TDateTime Date, std::uint16_t& Year, std::uint16_t& Month, std::uint16_t& Day);
// Also gives the day of week, 1 = Sunday .. 7 = Saturday; returns IsLeapYear(Year).
bool DecodeDateFully(TDateTime Date, std::uint16_t& Year, std::uint16_t& Month, std::uint16_t& Day, std::uint16_t& DOW);
void DecodeTime(TDateTime Time, std::uint16_t& Hour, std::uint16_t& Min, std::uint16_t& Sec, std::uint16_t& MSec);
void DecodeDateTime(TDateTime Value, std::uint16_t& Year, std::uint16_t& Month, std::uint16_t& Day, std::uint16_t& Hour,
                    std::uint16_t& Min, std::uint16_t& Sec, std::uint16_t& MSec);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime Date);
TDateTime DateOf(TDateTime Value);  // the date part (trunc)
TDateTime TimeOf(TDateTime Value);  // the time of day, 0 <= t < 1

// ---- the current moment ------------------------------------------------------------------------
// Local wall-clock time from the clock; SetNowClock replaces it (tests), an empty function restores
// the system clock. Not meant to be switched while other threads read it.
using TNowClock = std::function<TDateTime()>;
void SetNowClock(TNowClock Clock);
TDateTime Now();
TDateTime Date();  // today, time 0
TDateTime Time();  // the time of day only

// ---- arithmetic --------------------------------------------------------------------------------
// Moves by whole months keeping the time of day; the day is clamped to the target month's end
// (2000-02-29 + 12 months = 2001-02-28; 2001-01-31 + 1 month = 2001-02-28). Raises EConvertError when
// the result leaves years 1..9999.
TDateTime IncMonth(TDateTime DateTime, int NumberOfMonths = 1);
TDateTime IncYear(TDateTime DateTime, int NumberOfYears = 1);
void IncAMonth(int& Year, int& Month, int& Day, int NumberOfMonths = 1);

// ---- time stamps ---------------------------------------------------------------------------------
// Date = DateDelta + whole days, Time = milliseconds of the day (rounded to the nearest ms).
TTimeStamp DateTimeToTimeStamp(TDateTime DateTime);
// Raises EConvertError "'%d.%d' is not a valid timestamp" for Time < 0 or Date <= 0.
TDateTime TimeStampToDateTime(const TTimeStamp& TimeStamp);
// Milliseconds since 0000-12-31 00:00 (Date × MSecsPerDay + Time), and back.
std::int64_t TimeStampToMSecs(const TTimeStamp& TimeStamp);
TTimeStamp MSecsToTimeStamp(std::int64_t MSecs);

// ---- SQL time stamps ---------------------------------------------------------------------------
TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime DateTime);
// Raises EConvertError "Invalid SQL date/time values" for an invalid stamp; a null stamp (all 0) is 0.
TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& TimeStamp);
bool TrySQLTimeStampToDateTime(const TSQLTimeStamp& TimeStamp, TDateTime& Value);
bool IsValidSQLTimeStamp(const TSQLTimeStamp& TimeStamp);
// The offset is stored, not applied: the stamp shows the wall-clock time of DateTime.
TSQLTimeStampOffset DateTimeToSQLTimeStampOffset(TDateTime DateTime, int TZOffsetHour = 0, int TZOffsetMinute = 0);
// The wall-clock time of the stamp; the offset is ignored (no OS time zone is consulted).
TDateTime SQLTimeStampOffsetToDateTime(const TSQLTimeStampOffset& TimeStamp);
TSQLTimeStamp SQLTimeStampOffsetToSQLTimeStamp(const TSQLTimeStampOffset& TimeStamp);
TSQLTimeStampOffset SQLTimeStampToSQLTimeStampOffset(const TSQLTimeStamp& TimeStamp, int TZOffsetHour = 0,
                                                     int TZOffsetMinute = 0);
