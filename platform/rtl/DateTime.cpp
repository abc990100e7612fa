#include "platform/rtl/DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <utility>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"

namespace {

constexpr int kMonthDays[2][13] = {{0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

[[noreturn]] void DateEncodeError() { throw EConvertError(String(msg::SDateEncodeError)); }
[[noreturn]] void TimeEncodeError() { throw EConvertError(String(msg::STimeEncodeError)); }

// Days from 0001-01-01 (day 1) of a valid date.
std::int32_t DayNumber(int y, int m, int d) {
  const int (&table)[13] = kMonthDays[IsLeapYear(y)];
  int days = d;
  for (int i = 1; i < m; ++i) days += table[i];
  const int py = y - 1;
  return py * 365 + py / 4 - py / 100 + py / 400 + days;
}

// The inverse of DayNumber (day >= 1).
void DayNumberToDate(std::int32_t day, int& y, int& m, int& d) {
  constexpr int D1 = 365, D4 = D1 * 4 + 1, D100 = D4 * 25 - 1, D400 = D100 * 4 + 1;
  int t = day - 1;
  y = 1;
  y += (t / D400) * 400;
  t %= D400;
  int i = t / D100;
  int rem = t % D100;
  if (i == 4) {
    i = 3;
    rem += D100;
  }
  y += i * 100;
  t = rem;
  y += (t / D4) * 4;
  t %= D4;
  i = t / D1;
  rem = t % D1;
  if (i == 4) {
    i = 3;
    rem += D1;
  }
  y += i;
  t = rem;
  const int (&table)[13] = kMonthDays[IsLeapYear(y)];
  m = 1;
  while (t >= table[m]) {
    t -= table[m];
    ++m;
  }
  d = t + 1;
}

// The platform's ComposeDateTime: the time counts forward from a date before 1899-12-30 too.
TDateTime Compose(TDateTime date, TDateTime time) {
  return date < 0 ? date - std::fabs(time - std::trunc(time)) : date + std::fabs(time - std::trunc(time));
}

TDateTime SystemNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  TDateTime date, time;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date);
  TryEncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59), static_cast<int>(ms < 0 ? 0 : ms), time);
  return date + time;
}

TNowClock& Clock() {
  static TNowClock clock;
  return clock;
}

}  // namespace

bool IsLeapYear(int Year) { return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0); }

int DaysInAMonth(int Year, int Month) {
  if (Month < 1 || Month > 12) return 0;
  return kMonthDays[IsLeapYear(Year)][Month];
}

int DaysInAYear(int Year) { return IsLeapYear(Year) ? 366 : 365; }

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysInAMonth(Year, Month)) return false;
  Date = DayNumber(Year, Month, Day) - DateDelta;
  return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
  TDateTime d;
  if (!TryEncodeDate(Year, Month, Day, d)) DateEncodeError();
  return d;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time) {
  if (Hour == 24 && Min == 0 && Sec == 0 && MSec == 0) {
    Time = 1.0;
    return true;
  }
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999) return false;
  Time = (Hour * 3600000.0 + Min * 60000.0 + Sec * 1000.0 + MSec) / MSecsPerDay;
  return true;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
  TDateTime t;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, t)) TimeEncodeError();
  return t;
}

bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec, TDateTime& Value) {
  TDateTime d, t;
  if (!TryEncodeDate(Year, Month, Day, d) || !TryEncodeTime(Hour, Min, Sec, MSec, t)) return false;
  Value = Compose(d, t);
  return true;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec) {
  const TDateTime d = EncodeDate(Year, Month, Day);
  return Compose(d, EncodeTime(Hour, Min, Sec, MSec));
}

bool DecodeDateFully(TDateTime Date, std::uint16_t& Year, std::uint16_t& Month, std::uint16_t& Day,
                     std::uint16_t& DOW) {
  const std::int32_t day = DateTimeToTimeStamp(Date).Date;
  if (day <= 0 || day > DayNumber(9999, 12, 31)) {
    Year = Month = Day = DOW = 0;
    return false;
  }
  DOW = static_cast<std::uint16_t>(day % 7 + 1);  // day 1 (0001-01-01) was a Monday
  int y, m, d;
  DayNumberToDate(day, y, m, d);
  Year = static_cast<std::uint16_t>(y);
  Month = static_cast<std::uint16_t>(m);
  Day = static_cast<std::uint16_t>(d);
  return IsLeapYear(y);
}

void DecodeDate(TDateTime Date, std::uint16_t& Year, std::uint16_t& Month, std::uint16_t& Day) {
  std::uint16_t dow;
  DecodeDateFully(Date, Year, Month, Day, dow);
}

void DecodeTime(TDateTime Time, std::uint16_t& Hour, std::uint16_t& Min, std::uint16_t& Sec, std::uint16_t& MSec) {
  std::int32_t ms = DateTimeToTimeStamp(Time).Time;
  Hour = static_cast<std::uint16_t>(ms / 3600000);
  ms %= 3600000;
  Min = static_cast<std::uint16_t>(ms / 60000);
  ms %= 60000;
  Sec = static_cast<std::uint16_t>(ms / 1000);
  MSec = static_cast<std::uint16_t>(ms % 1000);
}

void DecodeDateTime(TDateTime Value, std::uint16_t& Year, std::uint16_t& Month, std::uint16_t& Day,
                    std::uint16_t& Hour, std::uint16_t& Min, std::uint16_t& Sec, std::uint16_t& MSec) {
  DecodeDate(Value, Year, Month, Day);
  DecodeTime(Value, Hour, Min, Sec, MSec);
}

int DayOfWeek(TDateTime Date) {
  const std::int32_t day = DateTimeToTimeStamp(Date).Date;
  return ((day % 7) + 7) % 7 + 1;
}

TDateTime DateOf(TDateTime Value) { return std::trunc(Value); }

TDateTime TimeOf(TDateTime Value) { return std::fabs(Value - std::trunc(Value)); }

void SetNowClock(TNowClock NewClock) { Clock() = std::move(NewClock); }

TDateTime Now() {
  const TNowClock& clock = Clock();
  return clock ? clock() : SystemNow();
}

TDateTime Date() { return std::trunc(Now()); }

TDateTime Time() { return TimeOf(Now()); }

void IncAMonth(int& Year, int& Month, int& Day, int NumberOfMonths) {
  // Whole years first, then the remaining months, carrying into the year.
  int total = (Month - 1) + NumberOfMonths % 12;
  Year += NumberOfMonths / 12;
  if (total < 0) {
    total += 12;
    --Year;
  } else if (total >= 12) {
    total -= 12;
    ++Year;
  }
  Month = total + 1;
  const int last = DaysInAMonth(Year, Month);
  if (Day > last) Day = last;
}

TDateTime IncMonth(TDateTime DateTime, int NumberOfMonths) {
  std::uint16_t y, m, d;
  DecodeDate(DateTime, y, m, d);
  int year = y, month = m, day = d;
  IncAMonth(year, month, day, NumberOfMonths);
  const TDateTime date = EncodeDate(year, month, day);
  return Compose(date, DateTime);
}

TDateTime IncYear(TDateTime DateTime, int NumberOfYears) {
  const long long months = 12LL * NumberOfYears;
  if (months > 120000 || months < -120000) DateEncodeError();
  return IncMonth(DateTime, static_cast<int>(months));
}

TTimeStamp DateTimeToTimeStamp(TDateTime DateTime) {
  TTimeStamp ts;
  const double msAll = std::nearbyint(DateTime * MSecsPerDay);
  if (!(std::fabs(msAll) < 9.2e18)) return ts;  // NaN or far out of range: the zero stamp
  const std::int64_t ms = static_cast<std::int64_t>(msAll);
  const std::int64_t days = ms / MSecsPerDay;  // truncates toward zero
  ts.Date = static_cast<std::int32_t>(DateDelta + days);
  ts.Time = static_cast<std::int32_t>((ms < 0 ? -ms : ms) % MSecsPerDay);
  return ts;
}

TDateTime TimeStampToDateTime(const TTimeStamp& TimeStamp) {
  if (TimeStamp.Time < 0 || TimeStamp.Date <= 0)
    throw EConvertError(Format(msg::SInvalidTimeStamp, {TimeStamp.Date, TimeStamp.Time}));
  return Compose(static_cast<double>(TimeStamp.Date - DateDelta), static_cast<double>(TimeStamp.Time) / MSecsPerDay);
}

std::int64_t TimeStampToMSecs(const TTimeStamp& TimeStamp) {
  return static_cast<std::int64_t>(TimeStamp.Date) * MSecsPerDay + TimeStamp.Time;
}

TTimeStamp MSecsToTimeStamp(std::int64_t MSecs) {
  TTimeStamp ts;
  ts.Date = static_cast<std::int32_t>(MSecs / MSecsPerDay);
  ts.Time = static_cast<std::int32_t>(MSecs % MSecsPerDay);
  return ts;
}

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime DateTime) {
  TSQLTimeStamp ts;
  std::uint16_t y, mo, d, h, mi, s, ms;
  DecodeDateTime(DateTime, y, mo, d, h, mi, s, ms);
  ts.Year = static_cast<std::int16_t>(y);
  ts.Month = mo;
  ts.Day = d;
  ts.Hour = h;
  ts.Minute = mi;
  ts.Second = s;
  ts.Fractions = ms;
  return ts;
}

bool IsValidSQLTimeStamp(const TSQLTimeStamp& t) {
  return t.Year >= 1 && t.Year <= 9999 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
         t.Day <= DaysInAMonth(t.Year, t.Month) && t.Hour <= 23 && t.Minute <= 59 && t.Second <= 59 &&
         t.Fractions <= 999;
}

bool TrySQLTimeStampToDateTime(const TSQLTimeStamp& t, TDateTime& Value) {
  if (t.Year == 0 && t.Month == 0 && t.Day == 0 && t.Hour == 0 && t.Minute == 0 && t.Second == 0 &&
      t.Fractions == 0) {
    Value = 0;
    return true;
  }
  if (!IsValidSQLTimeStamp(t)) return false;
  return TryEncodeDateTime(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, static_cast<int>(t.Fractions), Value);
}

TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& TimeStamp) {
  TDateTime v;
  if (!TrySQLTimeStampToDateTime(TimeStamp, v)) throw EConvertError(String(msg::SInvalidSQLTimeStamp));
  return v;
}

namespace {

// The date and clock fields the two time stamp forms share; the offset form adds only the zone.
template <class From, class To>
void CopyDateAndClock(const From& f, To& t) {
  t.Year = f.Year;
  t.Month = f.Month;
  t.Day = f.Day;
  t.Hour = f.Hour;
  t.Minute = f.Minute;
  t.Second = f.Second;
  t.Fractions = f.Fractions;
}

}  // namespace

TSQLTimeStampOffset SQLTimeStampToSQLTimeStampOffset(const TSQLTimeStamp& t, int TZOffsetHour, int TZOffsetMinute) {
  TSQLTimeStampOffset r;
  CopyDateAndClock(t, r);
  r.TimeZoneHour = static_cast<std::int16_t>(TZOffsetHour);
  r.TimeZoneMinute = static_cast<std::int16_t>(TZOffsetMinute);
  return r;
}

TSQLTimeStamp SQLTimeStampOffsetToSQLTimeStamp(const TSQLTimeStampOffset& t) {
  TSQLTimeStamp r;
  CopyDateAndClock(t, r);
  return r;
}

TSQLTimeStampOffset DateTimeToSQLTimeStampOffset(TDateTime DateTime, int TZOffsetHour, int TZOffsetMinute) {
  return SQLTimeStampToSQLTimeStampOffset(DateTimeToSQLTimeStamp(DateTime), TZOffsetHour, TZOffsetMinute);
}

TDateTime SQLTimeStampOffsetToDateTime(const TSQLTimeStampOffset& TimeStamp) {
  return SQLTimeStampToDateTime(SQLTimeStampOffsetToSQLTimeStamp(TimeStamp));
}
