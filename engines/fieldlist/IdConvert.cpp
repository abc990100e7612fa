#include "engines/fieldlist/IdConvert.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace idconv {
namespace {

constexpr std::int32_t kMaxDayNumber = 3652059;  // 9999-12-31

std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

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

// 0001-01-01 is day 1; the civil algorithm counts from 1970-01-01.
constexpr std::int64_t kCivilToDayNumber = 719163;

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool TryEncodeTime(int h, int n, int s, int ms, std::int32_t& result) {
  if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  result = ((h * 60 + n) * 60 + s) * 1000 + ms;
  return true;
}

std::string Ascii(std::u16string_view text) {
  std::string r;
  r.reserve(text.size());
  for (char16_t c : text) {
    if (c > 0x7F) return {};
    r.push_back(static_cast<char>(c));
  }
  return r;
}

std::u16string_view TrimBlanks(std::u16string_view s) {
  while (!s.empty() && s.front() <= u' ') s.remove_prefix(1);
  while (!s.empty() && s.back() <= u' ') s.remove_suffix(1);
  return s;
}

// Reads an unsigned decimal number of 1..maxDigits digits at s[pos].
bool ReadNumber(std::u16string_view s, std::size_t& pos, int maxDigits, int& value) {
  int digits = 0;
  value = 0;
  while (pos < s.size() && s[pos] >= u'0' && s[pos] <= u'9' && digits < maxDigits) {
    value = value * 10 + (s[pos] - u'0');
    ++pos;
    ++digits;
  }
  return digits > 0;
}

bool TryParseTime(std::u16string_view s, std::int32_t& ms) {
  std::size_t pos = 0;
  int h = 0, n = 0, sec = 0, z = 0;
  if (!ReadNumber(s, pos, 2, h) || pos >= s.size() || s[pos] != u':') return false;
  ++pos;
  if (!ReadNumber(s, pos, 2, n)) return false;
  if (pos < s.size() && s[pos] == u':') {
    ++pos;
    if (!ReadNumber(s, pos, 2, sec)) return false;
    if (pos < s.size() && s[pos] == u'.') {
      ++pos;
      std::size_t start = pos;
      if (!ReadNumber(s, pos, 3, z)) return false;
      for (std::size_t k = pos - start; k < 3; ++k) z *= 10;
    }
  }
  if (pos != s.size()) return false;
  return TryEncodeTime(h, n, sec, z, ms);
}

bool TryParseDate(std::u16string_view s, char16_t sep, std::int32_t& dayNumber) {
  std::size_t pos = 0;
  int y = 0, m = 0, d = 0;
  if (!ReadNumber(s, pos, 4, y) || pos >= s.size() || s[pos] != sep) return false;
  ++pos;
  if (!ReadNumber(s, pos, 2, m) || pos >= s.size() || s[pos] != sep) return false;
  ++pos;
  if (!ReadNumber(s, pos, 2, d) || pos != s.size()) return false;
  return TryEncodeDayNumber(y, m, d, dayNumber);
}

}  // namespace

bool TryEncodeDayNumber(int Year, int Month, int Day, std::int32_t& DayNumber) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  DayNumber = static_cast<std::int32_t>(DaysFromCivil(Year, Month, Day) + kCivilToDayNumber);
  return true;
}

bool TryDecodeDayNumber(std::int32_t DayNumber, int& Year, int& Month, int& Day) {
  if (DayNumber < 1 || DayNumber > kMaxDayNumber) return false;
  CivilFromDays(DayNumber - kCivilToDayNumber, Year, Month, Day);
  return true;
}

bool TryTimeStampToDateTime(TTimeStamp Stamp, TDateTime& Result) {
  if (Stamp.Date < 1 || Stamp.Date > kMaxDayNumber || Stamp.Time < 0 || Stamp.Time >= kMSecsPerDay) return false;
  const double days = static_cast<double>(Stamp.Date - kDateDelta);
  const double time = static_cast<double>(Stamp.Time) / kMSecsPerDay;
  Result = days >= 0 ? days + time : days - time;
  return true;
}

bool TryDateTimeToTimeStamp(TDateTime Value, TTimeStamp& Result) {
  if (!std::isfinite(Value) || std::fabs(Value) > 3.0e6) return false;
  const std::int64_t total = std::llrint(Value * kMSecsPerDay);
  const std::int64_t days = total / kMSecsPerDay;  // toward zero, as the platform's div
  const std::int64_t date = days + kDateDelta;
  if (date < 1 || date > kMaxDayNumber) return false;
  Result.Date = static_cast<std::int32_t>(date);
  Result.Time = static_cast<std::int32_t>((total < 0 ? -total : total) % kMSecsPerDay);
  return true;
}

bool TryMSecsToDateTime(double MSecs, TDateTime& Result) {
  if (!std::isfinite(MSecs) || MSecs < 0 || MSecs > 1.0e15) return false;
  const std::int64_t total = std::llround(MSecs);
  TTimeStamp stamp;
  stamp.Date = static_cast<std::int32_t>(total / kMSecsPerDay);
  stamp.Time = static_cast<std::int32_t>(total % kMSecsPerDay);
  return TryTimeStampToDateTime(stamp, Result);
}

bool TryDateTimeToMSecs(TDateTime Value, double& MSecs) {
  TTimeStamp stamp;
  if (!TryDateTimeToTimeStamp(Value, stamp)) return false;
  MSecs = static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
  return true;
}

bool TryDateTimeToSQLTimeStamp(TDateTime Value, TSQLTimeStamp& Result) {
  TTimeStamp stamp;
  int y, m, d;
  if (!TryDateTimeToTimeStamp(Value, stamp) || !TryDecodeDayNumber(stamp.Date, y, m, d)) return false;
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

bool TrySQLTimeStampToDateTime(const TSQLTimeStamp& Stamp, TDateTime& Result) {
  TTimeStamp stamp;
  if (!TryEncodeDayNumber(Stamp.Year, Stamp.Month, Stamp.Day, stamp.Date)) return false;
  if (Stamp.Fractions > 999 ||
      !TryEncodeTime(Stamp.Hour, Stamp.Minute, Stamp.Second, static_cast<int>(Stamp.Fractions), stamp.Time))
    return false;
  return TryTimeStampToDateTime(stamp, Result);
}

namespace {
bool Decode(TDateTime value, int& y, int& m, int& d, std::int32_t& time) {
  TTimeStamp stamp;
  if (!TryDateTimeToTimeStamp(value, stamp) || !TryDecodeDayNumber(stamp.Date, y, m, d)) return false;
  time = stamp.Time;
  return true;
}
String FromAscii(const char* s) { return String(s, s + std::strlen(s)); }
}  // namespace

bool TryFormatDate(TDateTime Value, String& Text) {
  int y, m, d;
  std::int32_t t;
  if (!Decode(Value, y, m, d, t)) return false;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  Text = FromAscii(buf);
  return true;
}

bool TryFormatTime(TDateTime Value, String& Text) {
  int y, m, d;
  std::int32_t t;
  if (!Decode(Value, y, m, d, t)) return false;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t / 3600000, t / 60000 % 60, t / 1000 % 60, t % 1000);
  Text = FromAscii(buf);
  return true;
}

bool TryFormatDateTime(TDateTime Value, String& Text) {
  int y, m, d;
  std::int32_t t;
  if (!Decode(Value, y, m, d, t)) return false;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, t / 3600000, t / 60000 % 60,
                t / 1000 % 60, t % 1000);
  Text = FromAscii(buf);
  return true;
}

bool TryTextToDateTime(std::u16string_view Text, char16_t DateSeparator, TDateTime& Result) {
  const std::u16string_view s = TrimBlanks(Text);
  if (s.empty()) return false;
  TTimeStamp stamp;
  const std::size_t blank = s.find(u' ');
  if (blank == std::u16string_view::npos) {
    if (s.find(u':') != std::u16string_view::npos) {
      // A time alone stands on 1899-12-30.
      stamp.Date = kDateDelta;
      if (!TryParseTime(s, stamp.Time)) return false;
    } else {
      stamp.Time = 0;
      if (!TryParseDate(s, DateSeparator, stamp.Date)) return false;
    }
  } else {
    if (!TryParseDate(s.substr(0, blank), DateSeparator, stamp.Date)) return false;
    if (!TryParseTime(TrimBlanks(s.substr(blank)), stamp.Time)) return false;
  }
  return TryTimeStampToDateTime(stamp, Result);
}

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

void DoubleToExtended(double Value, Byte* Bytes10) {
  std::uint64_t bits;
  std::memcpy(&bits, &Value, 8);
  const std::uint16_t sign = (bits >> 63) ? 0x8000 : 0;
  const int dexp = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t frac = bits & ((std::uint64_t(1) << 52) - 1);
  std::uint64_t mant = 0;
  int exp = 0;
  if (dexp == 0x7FF) {
    exp = 0x7FFF;
    mant = (std::uint64_t(1) << 63) | (frac << 11);
  } else if (dexp == 0) {
    if (frac != 0) {
      mant = frac << 11;
      exp = 1 - 1023 + 16383;
      while ((mant & (std::uint64_t(1) << 63)) == 0) {
        mant <<= 1;
        --exp;
      }
    }
  } else {
    exp = dexp - 1023 + 16383;
    mant = (std::uint64_t(1) << 63) | (frac << 11);
  }
  const std::uint16_t se = static_cast<std::uint16_t>(sign | exp);
  std::memcpy(Bytes10, &mant, 8);
  std::memcpy(Bytes10 + 8, &se, 2);
}

String FloatToText(double Value) {
  if (std::isnan(Value)) return u"NAN";
  if (std::isinf(Value)) return Value > 0 ? u"INF" : u"-INF";
  if (Value == 0) return u"0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14e", Value);  // 15 significant digits: d.dddddddddddddde±x
  const char* e = std::strchr(buf, 'e');
  const int exponent = std::atoi(e + 1);
  std::string out;
  if (exponent >= 15 || exponent < -5) {
    std::string mantissa(static_cast<const char*>(buf), e);
    if (mantissa.find('.') != std::string::npos) {
      while (mantissa.back() == '0') mantissa.pop_back();
      if (mantissa.back() == '.') mantissa.pop_back();
    }
    out = mantissa + "E" + std::to_string(exponent);
  } else {
    std::snprintf(buf, sizeof buf, "%.*f", 14 - exponent, Value);
    out = buf;
    if (out.find('.') != std::string::npos) {
      while (out.back() == '0') out.pop_back();
      if (out.back() == '.') out.pop_back();
    }
  }
  return String(out.begin(), out.end());
}

bool TryTextToFloat(std::u16string_view Text, double& Result) {
  const std::string s = Ascii(TrimBlanks(Text));
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
  const char* b = s.data();
  if (*b == '+') ++b;
  double v = 0;
  auto [end, ec] = std::from_chars(b, s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
  Result = v;
  return true;
}

bool TryDoubleToCurrency(double Value, Currency& Result) {
  const double scaled = Value * Currency::kScale;
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2233720368547e18) return false;
  Result.Scaled = std::llrint(scaled);
  return true;
}

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

TBcd CurrencyToBcd(Currency Value, int Precision, int Scale) {
  TBcd r;
  const bool negative = Value.Scaled < 0;
  UInt64 magnitude = negative ? UInt64(0) - UInt64(Value.Scaled) : UInt64(Value.Scaled);
  // Bring the four decimals of currency to Scale decimals (Scale below 4 drops digits, rounding half up).
  for (int k = Scale; k < 4; ++k) {
    const UInt64 rest = magnitude % 10;
    magnitude = magnitude / 10 + (rest >= 5 && k == 3 ? 1 : 0);
  }
  __int128 digits = magnitude;
  for (int k = 4; k < Scale; ++k) digits *= 10;
  r.Precision = static_cast<std::uint8_t>(Precision);
  r.SignSpecialPlaces = static_cast<std::uint8_t>((negative && magnitude != 0 ? 0x80 : 0) | (Scale & 0x3F));
  for (int i = Precision - 1; i >= 0; --i) {
    const int digit = static_cast<int>(digits % 10);
    digits /= 10;
    if (i % 2 == 0)
      r.Fraction[i / 2] = static_cast<std::uint8_t>((r.Fraction[i / 2] & 0x0F) | (digit << 4));
    else
      r.Fraction[i / 2] = static_cast<std::uint8_t>((r.Fraction[i / 2] & 0xF0) | digit);
  }
  return r;
}

}  // namespace idconv
