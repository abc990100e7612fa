#include "platform/rtl/VariantText.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"

namespace variant_text {

namespace {

constexpr Int64 kMsPerDay = 86400000;

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimBlanks(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

String Digits(Int64 value, int minWidth) {
  String s = IntToStr(value < 0 ? -value : value);
  while (static_cast<int>(s.size()) < minWidth) s.insert(s.begin(), u'0');
  if (value < 0) s.insert(s.begin(), u'-');
  return s;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
constexpr Int64 DaysFromCivil(Int64 y, unsigned m, unsigned d) {
  y -= m <= 2;
  const Int64 era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<Int64>(doe) - 719468;
}

void CivilFromDays(Int64 z, int& year, int& month, int& day) {
  z += 719468;
  const Int64 era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const Int64 y = static_cast<Int64>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

constexpr Int64 kSerialEpoch = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// The serial day and the milliseconds of the day of a date-time (the time of a negative date-time
// counts forward from its day, as the platform keeps dates before 1899-12-30).
bool SplitDateTime(double value, Int64& day, Int64& ms) {
  if (!std::isfinite(value) || std::fabs(value) > 3000000.0) return false;
  const double whole = std::trunc(value);
  day = static_cast<Int64>(whole);
  ms = static_cast<Int64>(std::llround(std::fabs(value - whole) * kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    day += value < 0 ? -1 : 1;
  }
  return true;
}

}  // namespace

// ---- dates ------------------------------------------------------------------------------------------

bool TryEncodeDate(int year, int month, int day, double& serial) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  serial = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kSerialEpoch);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int ms, double& fraction) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 || ms > 999)
    return false;
  fraction = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + ms) / kMsPerDay;
  return true;
}

bool TryDecodeDateTime(double value, DateParts& p) {
  Int64 day = 0, ms = 0;
  if (!SplitDateTime(value, day, ms)) return false;
  CivilFromDays(day + kSerialEpoch, p.Year, p.Month, p.Day);
  if (p.Year < 1 || p.Year > 9999) return false;
  p.Millisecond = static_cast<int>(ms % 1000);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Hour = static_cast<int>(ms / 3600000);
  // 1899-12-30 was a Saturday; DayOfWeek counts from Sunday = 1, as the platform's tables.
  p.DayOfWeek = static_cast<int>(((day % 7) + 7 + 6) % 7) + 1;
  return true;
}

namespace {

// The subset of the platform's date/time format letters that the settings' formats use.
String FormatDateTimeParts(std::u16string_view f, const DateParts& p, bool withTime) {
  const TFormatSettings& fs = FormatSettings();
  String out;
  String upper;
  for (char16_t c : f) upper += Upper(c);
  const bool twelveHour = upper.find(u"AMPM") != String::npos || upper.find(u"AM/PM") != String::npos ||
                          upper.find(u"A/P") != String::npos;
  bool afterHour = false;
  for (std::size_t i = 0; i < f.size();) {
    const char16_t c = f[i];
    const char16_t u = Upper(c);
    if (c == u'"' || c == u'\'') {
      const std::size_t end = f.find(c, i + 1);
      const std::size_t stop = end == std::u16string_view::npos ? f.size() : end;
      out.append(f.substr(i + 1, stop - i - 1));
      i = stop + 1;
      continue;
    }
    if (u == u'A') {
      const std::u16string_view rest = std::u16string_view(upper).substr(i);
      const bool pm = p.Hour >= 12;
      if (rest.starts_with(u"AMPM")) {
        out += pm ? fs.TimePMString : fs.TimeAMString;
        i += 4;
        continue;
      }
      if (rest.starts_with(u"AM/PM")) {
        out += pm ? u"PM" : u"AM";
        i += 5;
        continue;
      }
      if (rest.starts_with(u"A/P")) {
        out += pm ? u'P' : u'A';
        i += 3;
        continue;
      }
    }
    std::size_t n = 1;
    while (i + n < f.size() && Upper(f[i + n]) == u && u >= u'A' && u <= u'Z') ++n;
    switch (u) {
      case u'Y':
        out += n <= 2 ? Digits(p.Year % 100, 2) : Digits(p.Year, 4);
        afterHour = false;
        break;
      case u'M':
        if (afterHour && n <= 2) {
          out += Digits(p.Minute, static_cast<int>(n));
        } else if (n <= 2) {
          out += Digits(p.Month, static_cast<int>(n));
        } else {
          out += n == 3 ? fs.ShortMonthNames[p.Month - 1] : fs.LongMonthNames[p.Month - 1];
        }
        afterHour = false;
        break;
      case u'D':
        if (n <= 2) out += Digits(p.Day, static_cast<int>(n));
        else if (n == 3) out += fs.ShortDayNames[p.DayOfWeek - 1];
        else if (n == 4) out += fs.LongDayNames[p.DayOfWeek - 1];
        else out += FormatDateTimeParts(n == 5 ? fs.ShortDateFormat : fs.LongDateFormat, p, false);
        afterHour = false;
        break;
      case u'H': {
        int h = p.Hour;
        if (twelveHour) {
          h %= 12;
          if (h == 0) h = 12;
        }
        out += Digits(h, n >= 2 ? 2 : 1);
        afterHour = true;
        break;
      }
      case u'N':
        out += Digits(p.Minute, n >= 2 ? 2 : 1);
        afterHour = false;
        break;
      case u'S':
        out += Digits(p.Second, n >= 2 ? 2 : 1);
        afterHour = false;
        break;
      case u'Z':
        out += Digits(p.Millisecond, n >= 3 ? 3 : 1);
        afterHour = false;
        break;
      case u'C':
        out += FormatDateTimeParts(fs.ShortDateFormat, p, false);
        if (withTime) {
          out += u' ';
          out += FormatDateTimeParts(fs.LongTimeFormat, p, false);
        }
        afterHour = false;
        break;
      case u'T':
        out += FormatDateTimeParts(n >= 2 ? fs.LongTimeFormat : fs.ShortTimeFormat, p, false);
        afterHour = false;
        break;
      case u'/':
        out += fs.DateSeparator;
        break;
      case u':':
        out += fs.TimeSeparator;
        break;
      default:
        out.append(n, c);
        break;
    }
    i += n;
  }
  return out;
}

// Reads an unsigned decimal number of at most maxDigits digits.
bool ReadNumber(std::u16string_view s, std::size_t& pos, int& value, int& digits, int maxDigits = 4) {
  digits = 0;
  value = 0;
  while (pos < s.size() && IsDigit(s[pos]) && digits < maxDigits) {
    value = value * 10 + (s[pos] - u'0');
    ++pos;
    ++digits;
  }
  return digits > 0 && !(pos < s.size() && IsDigit(s[pos]));
}

int ExpandTwoDigitYear(int year) {
  const TFormatSettings& fs = FormatSettings();
  const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const int currentYear = static_cast<int>(std::chrono::year_month_day(today).year());
  const int threshold = currentYear - fs.TwoDigitYearCenturyWindow;
  int result = year + threshold / 100 * 100;
  if (fs.TwoDigitYearCenturyWindow > 0 && result < threshold) result += 100;
  if (fs.TwoDigitYearCenturyWindow == 0) result = year + currentYear / 100 * 100;
  return result;
}

bool ParseTime(std::u16string_view s, std::size_t& pos, double& fraction) {
  const TFormatSettings& fs = FormatSettings();
  int h = 0, m = 0, sec = 0, ms = 0, digits = 0;
  if (!ReadNumber(s, pos, h, digits, 2)) return false;
  if (pos < s.size() && s[pos] == fs.TimeSeparator) {
    ++pos;
    if (!ReadNumber(s, pos, m, digits, 2)) return false;
    if (pos < s.size() && s[pos] == fs.TimeSeparator) {
      ++pos;
      if (!ReadNumber(s, pos, sec, digits, 2)) return false;
      if (pos < s.size() && (s[pos] == fs.DecimalSeparator || s[pos] == u'.')) {
        ++pos;
        if (!ReadNumber(s, pos, ms, digits, 3)) return false;
        if (digits == 1) ms *= 100;
        else if (digits == 2) ms *= 10;
      }
    }
  } else {
    // A bare number is no time: "12" alone is neither a date nor a time.
    return false;
  }
  std::size_t p = pos;
  while (p < s.size() && IsBlank(s[p])) ++p;
  if (p < s.size()) {
    const std::u16string_view rest = s.substr(p);
    auto matches = [&](std::u16string_view marker) {
      return !marker.empty() && rest.size() >= marker.size() && CompareText(rest.substr(0, marker.size()), marker) == 0;
    };
    int shift = -1;
    std::size_t len = 0;
    if (matches(fs.TimeAMString)) { shift = 0; len = fs.TimeAMString.size(); }
    else if (matches(fs.TimePMString)) { shift = 12; len = fs.TimePMString.size(); }
    else if (matches(u"AM")) { shift = 0; len = 2; }
    else if (matches(u"PM")) { shift = 12; len = 2; }
    if (shift >= 0) {
      if (h < 1 || h > 12) return false;
      h = h % 12 + shift;
      pos = p + len;
    }
  }
  return TryEncodeTime(h, m, sec, ms, fraction);
}

// The order of year, month and day in the short date format ("YMD", "MDY", "DMY", ...).
std::string DateOrder() {
  const String& f = FormatSettings().ShortDateFormat;
  std::string order;
  for (char16_t c : f) {
    const char16_t u = Upper(c);
    if ((u == u'Y' || u == u'M' || u == u'D') && order.find(static_cast<char>(u)) == std::string::npos)
      order += static_cast<char>(u);
  }
  if (order.size() != 3) order = "YMD";
  return order;
}

}  // namespace

String DateTimeToText(double value) {
  DateParts p;
  if (!TryDecodeDateTime(value, p)) return FloatToStr(value);
  const bool withTime = p.Hour != 0 || p.Minute != 0 || p.Second != 0 || p.Millisecond != 0;
  return FormatDateTimeParts(u"c", p, withTime);
}

bool TryTextToDateTime(std::u16string_view text, double& value) {
  const std::u16string_view s = TrimBlanks(text);
  if (s.empty()) return false;
  const TFormatSettings& fs = FormatSettings();
  std::size_t pos = 0;
  int first = 0, firstDigits = 0;
  if (!ReadNumber(s, pos, first, firstDigits)) return false;
  if (pos < s.size() && s[pos] == fs.TimeSeparator && fs.TimeSeparator != fs.DateSeparator) {
    pos = 0;
    double t = 0;
    if (!ParseTime(s, pos, t) || pos != s.size()) return false;
    value = t;
    return true;
  }
  const bool iso = firstDigits == 4 && pos < s.size() && s[pos] == u'-' && fs.DateSeparator != u'-';
  const char16_t sep = iso ? u'-' : fs.DateSeparator;
  int numbers[3] = {first, 0, 0};
  int digits[3] = {firstDigits, 0, 0};
  int count = 1;
  while (count < 3 && pos < s.size() && s[pos] == sep) {
    ++pos;
    if (!ReadNumber(s, pos, numbers[count], digits[count])) return false;
    ++count;
  }
  if (count < 2) return false;
  // A trailing separator is allowed ("2024/1/5/" is not; the platform's short forms never end in one).
  int year = 0, month = 0, day = 0, yearDigits = 4;
  if (iso) {
    if (count != 3) return false;
    year = numbers[0];
    month = numbers[1];
    day = numbers[2];
  } else {
    std::string order = DateOrder();
    if (count == 2) {
      order.erase(order.find('Y'), 1);
      const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
      year = static_cast<int>(std::chrono::year_month_day(today).year());
    }
    for (int i = 0; i < count; ++i) {
      switch (order[static_cast<std::size_t>(i)]) {
        case 'Y': year = numbers[i]; yearDigits = digits[i]; break;
        case 'M': month = numbers[i]; break;
        default: day = numbers[i]; break;
      }
    }
    if (yearDigits <= 2) year = ExpandTwoDigitYear(year);
  }
  double date = 0;
  if (!TryEncodeDate(year, month, day, date)) return false;
  if (pos == s.size()) {
    value = date;
    return true;
  }
  if (!(IsBlank(s[pos]) || (iso && s[pos] == u'T'))) return false;
  ++pos;
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  double t = 0;
  if (!ParseTime(s, pos, t)) return false;
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  if (pos != s.size()) return false;
  // Before 1899-12-30 the time counts forward from the day, so it is subtracted from a negative day.
  value = date < 0 ? date - t : date + t;
  return true;
}

bool TryTimeStampToDateTime(const TSQLTimeStamp& ts, double& value) {
  double date = 0, time = 0;
  if (!TryEncodeDate(ts.Year, ts.Month, ts.Day, date)) return false;
  if (ts.Fractions > 999 || !TryEncodeTime(ts.Hour, ts.Minute, ts.Second, static_cast<int>(ts.Fractions), time))
    return false;
  value = date < 0 ? date - time : date + time;
  return true;
}

bool TryTimeStampOffsetToDateTime(const TSQLTimeStampOffset& ts, double& value) {
  return TryTimeStampToDateTime(TSQLTimeStamp{ts.Year, ts.Month, ts.Day, ts.Hour, ts.Minute, ts.Second, ts.Fractions},
                                value);
}

bool TryDateTimeToTimeStamp(double value, TSQLTimeStamp& ts) {
  DateParts p;
  if (!TryDecodeDateTime(value, p)) return false;
  ts = TSQLTimeStamp{static_cast<std::int16_t>(p.Year), static_cast<std::uint16_t>(p.Month),
                     static_cast<std::uint16_t>(p.Day), static_cast<std::uint16_t>(p.Hour),
                     static_cast<std::uint16_t>(p.Minute), static_cast<std::uint16_t>(p.Second),
                     static_cast<std::uint32_t>(p.Millisecond)};
  return true;
}

bool TryTimeStampToText(const TSQLTimeStamp& ts, String& text) {
  double d = 0;
  if (!TryTimeStampToDateTime(ts, d)) return false;
  text = DateTimeToText(d);
  return true;
}

bool TryTimeStampOffsetToText(const TSQLTimeStampOffset& ts, String& text) {
  double d = 0;
  if (!TryTimeStampOffsetToDateTime(ts, d)) return false;
  const int minutes = ts.TimeZoneHour * 60 + (ts.TimeZoneHour < 0 ? -std::abs(ts.TimeZoneMinute) : std::abs(ts.TimeZoneMinute));
  text = DateTimeToText(d);
  text += minutes < 0 ? u" -" : u" +";
  text += Digits(std::abs(minutes) / 60, 2);
  text += u':';
  text += Digits(std::abs(minutes) % 60, 2);
  return true;
}

bool TryTextToTimeStampOffset(std::u16string_view text, TSQLTimeStampOffset& ts) {
  std::u16string_view s = TrimBlanks(text);
  int offsetMinutes = 0;
  // "+hh:mm" at the end, after a blank or directly after the time.
  if (s.size() > 6) {
    const std::u16string_view tail = s.substr(s.size() - 6);
    if ((tail[0] == u'+' || tail[0] == u'-') && IsDigit(tail[1]) && IsDigit(tail[2]) && tail[3] == u':' &&
        IsDigit(tail[4]) && IsDigit(tail[5])) {
      const int h = (tail[1] - u'0') * 10 + (tail[2] - u'0');
      const int m = (tail[4] - u'0') * 10 + (tail[5] - u'0');
      if (h > 14 || m > 59) return false;
      offsetMinutes = (h * 60 + m) * (tail[0] == u'-' ? -1 : 1);
      s = TrimBlanks(s.substr(0, s.size() - 6));
    }
  }
  double d = 0;
  TSQLTimeStamp base;
  if (!TryTextToDateTime(s, d) || !TryDateTimeToTimeStamp(d, base)) return false;
  ts = TSQLTimeStampOffset{base.Year, base.Month, base.Day, base.Hour, base.Minute, base.Second, base.Fractions,
                           static_cast<std::int16_t>(offsetMinutes / 60), static_cast<std::int16_t>(offsetMinutes % 60)};
  return true;
}

bool TimeStampOffsetToUtcMs(const TSQLTimeStampOffset& ts, Int64& ms) {
  double check = 0;
  if (!TryTimeStampOffsetToDateTime(ts, check)) return false;
  const Int64 days = DaysFromCivil(ts.Year, ts.Month, ts.Day);
  const Int64 local = days * kMsPerDay + ((ts.Hour * 60 + ts.Minute) * 60 + ts.Second) * 1000 + ts.Fractions;
  ms = local - (static_cast<Int64>(ts.TimeZoneHour) * 60 + ts.TimeZoneMinute) * 60000;
  return true;
}

// ---- decimals ---------------------------------------------------------------------------------------

namespace {

void Normalize(Decimal& d) {
  std::size_t lead = 0;
  while (lead < d.Digits.size() && d.Digits[lead] == '0') ++lead;
  d.Digits.erase(0, lead);
  while (d.Scale > 0 && !d.Digits.empty() && d.Digits.back() == '0') {
    d.Digits.pop_back();
    --d.Scale;
  }
  if (d.Digits.empty()) {
    d.Scale = 0;
    d.Negative = false;
  }
}

// Both magnitudes as digit strings of one scale and one length.
void Align(const Decimal& a, const Decimal& b, std::string& x, std::string& y, int& scale) {
  scale = std::max(a.Scale, b.Scale);
  x = a.Digits + std::string(static_cast<std::size_t>(scale - a.Scale), '0');
  y = b.Digits + std::string(static_cast<std::size_t>(scale - b.Scale), '0');
  const std::size_t len = std::max(x.size(), y.size());
  x.insert(0, len - x.size(), '0');
  y.insert(0, len - y.size(), '0');
}

std::string AddMagnitudes(const std::string& x, const std::string& y) {  // same length
  std::string r(x.size() + 1, '0');
  int carry = 0;
  for (std::size_t i = x.size(); i-- > 0;) {
    const int s = (x[i] - '0') + (y[i] - '0') + carry;
    r[i + 1] = static_cast<char>('0' + s % 10);
    carry = s / 10;
  }
  r[0] = static_cast<char>('0' + carry);
  return r;
}

std::string SubMagnitudes(const std::string& x, const std::string& y) {  // x >= y, same length
  std::string r(x.size(), '0');
  int borrow = 0;
  for (std::size_t i = x.size(); i-- > 0;) {
    int s = (x[i] - '0') - (y[i] - '0') - borrow;
    borrow = s < 0;
    if (s < 0) s += 10;
    r[i] = static_cast<char>('0' + s);
  }
  return r;
}

// Rounds the magnitude to `places` fractional digits, ties to even.
void RoundTo(Decimal& d, int places) {
  if (d.Scale <= places) return;
  const std::size_t drop = static_cast<std::size_t>(d.Scale - places);
  std::string digits = d.Digits;
  if (digits.size() < drop + 1) digits.insert(0, drop + 1 - digits.size(), '0');
  const std::string kept = digits.substr(0, digits.size() - drop);
  const std::string gone = digits.substr(digits.size() - drop);
  bool up = false;
  if (gone[0] > '5') up = true;
  else if (gone[0] == '5') up = gone.find_first_not_of('0', 1) != std::string::npos || ((kept.back() - '0') & 1);
  d.Digits = kept;
  d.Scale = places;
  if (up) {
    const std::string one = std::string(kept.size() - 1, '0') + "1";
    d.Digits = AddMagnitudes(kept, one);
  }
  Normalize(d);
}

}  // namespace

bool ParseDecimal(std::u16string_view text, Decimal& value, bool useSettings) {
  const std::u16string_view s = TrimBlanks(text);
  const char16_t sep = useSettings ? FormatSettings().DecimalSeparator : u'.';
  Decimal d;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) d.Negative = s[i++] == u'-';
  bool any = false, point = false;
  for (; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (IsDigit(c)) {
      d.Digits += static_cast<char>(c);
      if (point) ++d.Scale;
      any = true;
    } else if (c == sep && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  if (i < s.size()) {
    if (s[i] != u'e' && s[i] != u'E') return false;
    ++i;
    bool negExp = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negExp = s[i++] == u'-';
    int exp = 0;
    bool expDigits = false;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      exp = exp * 10 + (s[i] - u'0');
      expDigits = true;
      if (exp > 400) return false;
    }
    if (!expDigits || i != s.size()) return false;
    if (negExp) {
      d.Scale += exp;
    } else {
      const int shift = std::min(exp, d.Scale);
      d.Scale -= shift;
      d.Digits.append(static_cast<std::size_t>(exp - shift), '0');
    }
  }
  Normalize(d);
  value = d;
  return true;
}

String DecimalToText(const Decimal& value) {
  String out;
  if (value.Negative) out += u'-';
  std::string digits = value.Digits;
  if (static_cast<int>(digits.size()) <= value.Scale) digits.insert(0, static_cast<std::size_t>(value.Scale) + 1 - digits.size(), '0');
  const std::size_t intLen = digits.size() - static_cast<std::size_t>(value.Scale);
  for (std::size_t i = 0; i < intLen; ++i) out += static_cast<char16_t>(digits[i]);
  if (value.Scale > 0) {
    out += FormatSettings().DecimalSeparator;
    for (std::size_t i = intLen; i < digits.size(); ++i) out += static_cast<char16_t>(digits[i]);
  }
  return out;
}

Decimal DecimalFromUInt64(UInt64 value) {
  Decimal d;
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  d.Digits.assign(buf, r.ptr);
  Normalize(d);
  return d;
}

Decimal DecimalFromScaled(Int64 scaled, int places) {
  Decimal d = DecimalFromUInt64(scaled < 0 ? 0 - static_cast<UInt64>(scaled) : static_cast<UInt64>(scaled));
  d.Negative = scaled < 0;
  d.Scale = places;
  Normalize(d);
  return d;
}

Decimal DecimalFromDouble(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  Decimal d;
  ParseDecimal(Str(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf))), d, false);
  return d;
}

double DecimalToDouble(const Decimal& value) {
  std::string s = value.Negative ? "-" : "";
  s += value.Digits.empty() ? "0" : value.Digits;
  s += "e-" + std::to_string(value.Scale);
  double d = 0;
  std::from_chars(s.data(), s.data() + s.size(), d);
  return d;
}

bool DecimalToScaled(const Decimal& value, int places, Int64& scaled) {
  Decimal d = value;
  RoundTo(d, places);
  std::string digits = d.Digits + std::string(static_cast<std::size_t>(places - d.Scale), '0');
  if (digits.size() > 19) return false;
  UInt64 magnitude = 0;
  for (char c : digits) magnitude = magnitude * 10 + static_cast<UInt64>(c - '0');
  const UInt64 limit = d.Negative ? static_cast<UInt64>(std::numeric_limits<Int64>::max()) + 1
                                  : static_cast<UInt64>(std::numeric_limits<Int64>::max());
  if (magnitude > limit) return false;
  scaled = d.Negative ? static_cast<Int64>(0 - magnitude) : static_cast<Int64>(magnitude);
  return true;
}

bool DecimalFromBcd(const TBcd& bcd, Decimal& value) {
  const int precision = bcd.Precision;
  const int places = bcd.SignSpecialPlaces & 0x3F;
  if (precision > 64 || places > precision) return false;
  Decimal d;
  for (int i = 0; i < precision; ++i) {
    const int byte = bcd.Fraction[i / 2];
    const int nibble = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    if (nibble > 9) return false;
    d.Digits += static_cast<char>('0' + nibble);
  }
  d.Scale = places;
  d.Negative = (bcd.SignSpecialPlaces & 0x80) != 0;
  Normalize(d);
  value = d;
  return true;
}

bool DecimalToBcd(const Decimal& value, TBcd& bcd) {
  Decimal d = value;
  Normalize(d);
  const int intDigits = std::max(0, static_cast<int>(d.Digits.size()) - d.Scale);
  if (intDigits > 64) return false;
  if (d.Scale > 63 || intDigits + d.Scale > 64) {
    RoundTo(d, std::min(63, 64 - intDigits));
    if (std::max(0, static_cast<int>(d.Digits.size()) - d.Scale) > 64) return false;
  }
  std::string digits = d.Digits;
  if (static_cast<int>(digits.size()) < d.Scale) digits.insert(0, static_cast<std::size_t>(d.Scale) - digits.size(), '0');
  if (digits.empty()) digits = "0";
  TBcd out;
  out.Precision = static_cast<std::uint8_t>(digits.size());
  out.SignSpecialPlaces = static_cast<std::uint8_t>((d.Negative ? 0x80 : 0) | d.Scale);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const int nibble = digits[i] - '0';
    out.Fraction[i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? nibble << 4 : nibble);
  }
  bcd = out;
  return true;
}

int CompareDecimals(const Decimal& a, const Decimal& b) {
  if (a.Negative != b.Negative) return a.Negative ? -1 : 1;
  std::string x, y;
  int scale = 0;
  Align(a, b, x, y, scale);
  const int c = x.compare(y);
  const int magnitude = c < 0 ? -1 : (c > 0 ? 1 : 0);
  return a.Negative ? -magnitude : magnitude;
}

Decimal AddDecimals(const Decimal& a, const Decimal& b) {
  std::string x, y;
  Decimal r;
  Align(a, b, x, y, r.Scale);
  if (a.Negative == b.Negative) {
    r.Digits = AddMagnitudes(x, y);
    r.Negative = a.Negative;
  } else if (x >= y) {
    r.Digits = SubMagnitudes(x, y);
    r.Negative = a.Negative;
  } else {
    r.Digits = SubMagnitudes(y, x);
    r.Negative = b.Negative;
  }
  Normalize(r);
  return r;
}

Decimal SubDecimals(const Decimal& a, const Decimal& b) {
  Decimal negB = b;
  if (!negB.Digits.empty()) negB.Negative = !negB.Negative;
  return AddDecimals(a, negB);
}

Decimal MulDecimals(const Decimal& a, const Decimal& b) {
  Decimal r;
  if (a.Digits.empty() || b.Digits.empty()) return r;
  std::vector<int> acc(a.Digits.size() + b.Digits.size(), 0);
  for (std::size_t i = a.Digits.size(); i-- > 0;)
    for (std::size_t j = b.Digits.size(); j-- > 0;) acc[i + j + 1] += (a.Digits[i] - '0') * (b.Digits[j] - '0');
  for (std::size_t k = acc.size(); k-- > 1;) {
    acc[k - 1] += acc[k] / 10;
    acc[k] %= 10;
  }
  for (int v : acc) r.Digits += static_cast<char>('0' + v);
  r.Scale = a.Scale + b.Scale;
  r.Negative = a.Negative != b.Negative;
  Normalize(r);
  return r;
}

}  // namespace variant_text
