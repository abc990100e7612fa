#include "engines/fieldlist/IdConvert.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "platform/db/FieldTypes.h"
#include "platform/rtl/SysUtils.h"

namespace idconv {
namespace {

// The fixed text forms: '.' decimal point, ':' between the parts of a time.
const TFormatSettings& FixedSettings() {
  static const TFormatSettings settings = [] {
    TFormatSettings s = TFormatSettings::Invariant();
    s.DecimalSeparator = u'.';
    s.TimeSeparator = u':';
    return s;
  }();
  return settings;
}

bool IsCalendarDay(std::int32_t DayNumber) { return DayNumber >= 1 && DayNumber <= kMaxDayNumber; }

// Calendar date of a day count from 1970-01-01, branch-free.
void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// 0001-01-01 is day 1 of the native count; the civil algorithm counts from 1970-01-01.
constexpr std::int64_t kCivilToDayNumber = 719163;

std::u16string_view TrimBlanks(std::u16string_view s) {
  while (!s.empty() && s.front() <= u' ') s.remove_prefix(1);
  while (!s.empty() && s.back() <= u' ') s.remove_suffix(1);
  return s;
}

}  // namespace

// ---- dates ------------------------------------------------------------------------------------------

bool TryDateTimeToTimeStamp(TDateTime Value, TTimeStamp& Result) {
  // Beyond ±3,000,000 days the runtime's day count would wrap around in 32 bits into the calendar.
  if (!(std::fabs(Value) <= 3.0e6)) return false;
  const TTimeStamp stamp = DateTimeToTimeStamp(Value);
  if (!IsCalendarDay(stamp.Date)) return false;
  Result = stamp;
  return true;
}

bool TryDateTimeToSQLTimeStamp(TDateTime Value, TSQLTimeStamp& Result) {
  // Not DateTimeToSQLTimeStamp (nor DateTimeToTimeStamp): it splits the value into a time stamp twice
  // and walks the months, a quarter slower on the store's per-row SQL time stamp getter.
  if (!(std::fabs(Value) <= 3.0e6)) return false;  // as in TryDateTimeToTimeStamp
  const std::int64_t total = std::llrint(Value * MSecsPerDay);
  const std::int64_t date = total / MSecsPerDay + DateDelta;  // the day toward zero, as DateTimeToTimeStamp
  if (date < 1 || date > kMaxDayNumber) return false;
  TTimeStamp stamp;
  stamp.Date = static_cast<std::int32_t>(date);
  stamp.Time = static_cast<std::int32_t>((total < 0 ? -total : total) % MSecsPerDay);
  int y, m, d;
  CivilFromDays(stamp.Date - kCivilToDayNumber, y, m, d);
  Result.Year = static_cast<std::int16_t>(y);
  Result.Month = static_cast<std::uint16_t>(m);
  Result.Day = static_cast<std::uint16_t>(d);
  std::int32_t t = stamp.Time;
  Result.Fractions = static_cast<std::uint32_t>(t % 1000);
  t /= 1000;
  Result.Second = static_cast<std::uint16_t>(t % 60);
  t /= 60;
  Result.Minute = static_cast<std::uint16_t>(t % 60);
  Result.Hour = static_cast<std::uint16_t>(t / 60);
  return true;
}

bool TryNativeDateToDateTime(std::int32_t Days, TDateTime& Result) {
  if (!IsCalendarDay(Days)) return false;
  Result = NativeDateToDateTime(Days);
  return true;
}

bool TryNativeTimeToDateTime(std::int32_t MSecs, TDateTime& Result) {
  if (MSecs < 0 || MSecs >= MSecsPerDay) return false;
  Result = NativeTimeToDateTime(MSecs);
  return true;
}

bool TryNativeDateTimeToDateTime(double MSecs, TDateTime& Result) {
  // Not MSecsToTimeStamp + TimeStampToDateTime (nor NativeDateTimeToDateTime): the calls cost this
  // per-row path of the getters and of sorting a third more; the result is the same.
  if (!(MSecs >= 0 && MSecs <= 1.0e15)) return false;
  const std::int64_t total = std::llround(MSecs);
  const std::int64_t date = total / MSecsPerDay;
  if (date < 1 || date > kMaxDayNumber) return false;
  const double days = static_cast<double>(date - DateDelta);
  const double time = static_cast<double>(total % MSecsPerDay) / MSecsPerDay;
  Result = days >= 0 ? days + time : days - time;  // the time counts forward before 1899-12-30 too
  return true;
}

namespace {
// FormatDateTime of a value with a calendar date; false for any other.
bool TryFormat(std::u16string_view Picture, TDateTime Value, String& Text) {
  TTimeStamp stamp;
  if (!TryDateTimeToTimeStamp(Value, stamp)) return false;
  Text = FormatDateTime(Picture, Value, FixedSettings());
  return true;
}
}  // namespace

bool TryFormatDate(TDateTime Value, String& Text) { return TryFormat(u"yyyy-mm-dd", Value, Text); }
bool TryFormatTime(TDateTime Value, String& Text) { return TryFormat(u"hh:nn:ss.zzz", Value, Text); }
bool TryFormatDateTime(TDateTime Value, String& Text) {
  // Not FormatDateTime: its text grows twice on the way to 23 characters, this one allocates once.
  TTimeStamp stamp;
  if (!TryDateTimeToTimeStamp(Value, stamp)) return false;
  std::uint16_t y, m, d;
  DecodeDate(Value, y, m, d);
  const std::int32_t t = stamp.Time;
  char buf[48];
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, t / 3600000,
                              t / 60000 % 60, t / 1000 % 60, t % 1000);
  Text = String(buf, buf + n);
  return true;
}

bool TryTextToDateTime(std::u16string_view Text, TDateTime& Result) {
  // The settings of the system, with '-' between the parts of a date when the text has one; a copy,
  // so the global separator never changes under another thread.
  TFormatSettings settings = FormatSettings();
  if (Text.find(u'-') != std::u16string_view::npos) settings.DateSeparator = u'-';
  TDateTime value;
  if (!TryStrToDateTime(Text, value, settings)) return false;
  Result = value;
  return true;
}

// ---- floating point ---------------------------------------------------------------------------------

double ExtendedToDouble(const Byte* Bytes10) {
  std::uint64_t mant;
  std::uint16_t se;
  std::memcpy(&mant, Bytes10, 8);
  std::memcpy(&se, Bytes10 + 8, 2);
  const bool negative = (se & 0x8000) != 0;
  const int exp = se & 0x7FFF;
  double r;
  if (exp == 0 && mant == 0) {
    r = 0.0;
  } else if (exp == 0x7FFF) {
    r = (mant << 1) == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else {
    r = std::ldexp(static_cast<double>(mant), exp - 16383 - 63);
  }
  return negative ? -r : r;
}

String FloatToText(double Value) { return FloatToStr(Value, FixedSettings()); }

bool TryTextToFloat(std::u16string_view Text, double& Result) {
  // The store has always read a '+' right before a minus sign as nothing: "+-2" is -2.
  const std::u16string_view s = TrimBlanks(Text);
  const std::u16string_view number = s.size() > 1 && s[0] == u'+' && s[1] == u'-' ? s.substr(1) : s;
  double v;
  if (!TryStrToFloat(number, v, FixedSettings()) || !std::isfinite(v)) return false;
  Result = v;
  return true;
}

// ---- currency and packed decimals -------------------------------------------------------------------

bool TryDoubleToCurrency(double Value, Currency& Result) { return Currency::TryFromDouble(Value, Result); }

// CurrToStr(Value, FixedSettings()) gives the same text but allocates up to twice more on long values.
String CurrencyToText(Currency Value) {
  const bool negative = Value.Scaled < 0;
  const UInt64 magnitude = negative ? UInt64(0) - UInt64(Value.Scaled) : UInt64(Value.Scaled);
  std::string out = std::to_string(magnitude / Currency::kScale);
  UInt64 frac = magnitude % Currency::kScale;
  if (frac != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04llu", static_cast<unsigned long long>(frac));
    std::string f(buf);
    while (f.back() == '0') f.pop_back();
    out += "." + f;
  }
  if (negative) out.insert(out.begin(), '-');
  return String(out.begin(), out.end());
}

bool TryTextToCurrency(std::u16string_view Text, Currency& Result) {
  double v;
  return TryTextToFloat(Text, v) && TryDoubleToCurrency(v, Result);
}

bool TryBcdToCurrency(const TBcd& Bcd, Currency& Result) {
  const int precision = Bcd.Precision;
  const int places = Bcd.SignSpecialPlaces & 0x3F;
  if (precision > 64 || places > precision) return false;
  const int intDigits = precision - places;
  __int128 scaled = 0;
  int roundDigit = 0;
  for (int i = 0; i < precision; ++i) {
    const int digit = (i % 2 == 0) ? Bcd.Fraction[i / 2] >> 4 : Bcd.Fraction[i / 2] & 0x0F;
    if (digit > 9) return false;
    if (i < intDigits + 4) {
      scaled = scaled * 10 + digit;
      if (scaled > (__int128(1) << 64)) return false;
    } else if (i == intDigits + 4) {
      roundDigit = digit;
    }
  }
  for (int k = places; k < 4; ++k) scaled *= 10;
  if (roundDigit >= 5) scaled += 1;
  if ((Bcd.SignSpecialPlaces & 0x80) != 0) scaled = -scaled;
  if (scaled > std::numeric_limits<Int64>::max() || scaled < std::numeric_limits<Int64>::min()) return false;
  Result.Scaled = static_cast<Int64>(scaled);
  return true;
}

TBcd CurrencyToBcd(Currency Value) {
  TBcd r;
  CurrToBCD(Value, r, 32, 4);  // 19 digits at most: always fits
  return r;
}

}  // namespace idconv
