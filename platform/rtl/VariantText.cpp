#include "platform/rtl/VariantText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"

namespace variant_text {

namespace {

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

}  // namespace

// ---- dates ------------------------------------------------------------------------------------------

namespace {

// The days the time-stamp form can hold: 0001-01-01 up to the end of 9999-12-31.
constexpr double kFirstDay = -693593.0;
constexpr double kDayAfterLast = 2958466.0;

bool InStampRange(double value) { return std::isfinite(value) && value > kFirstDay - 1 && value < kDayAfterLast; }

}  // namespace

String DateTimeToText(double value) {
  // Out of range there is no calendar date; the serial number is the honest text.
  if (!InStampRange(value)) return FloatToStr(value);
  return DateTimeToStr(value);
}

bool TryTextToDateTime(std::u16string_view text, double& value) { return TryStrToDateTime(text, value); }

bool TryTimeStampToDateTime(const TSQLTimeStamp& ts, double& value) { return TrySQLTimeStampToDateTime(ts, value); }

bool TryTimeStampOffsetToDateTime(const TSQLTimeStampOffset& ts, double& value) {
  return TrySQLTimeStampToDateTime(SQLTimeStampOffsetToSQLTimeStamp(ts), value);
}

bool TryDateTimeToTimeStamp(double value, TSQLTimeStamp& ts) {
  if (!InStampRange(value)) return false;
  const TSQLTimeStamp result = DateTimeToSQLTimeStamp(value);
  if (result.Year < 1) return false;
  ts = result;
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
  const int minutes = ts.TimeZoneHour * 60 + ts.TimeZoneMinute;
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
  double local = 0;
  if (!TryTimeStampOffsetToDateTime(ts, local)) return false;
  const TTimeStamp stamp = DateTimeToTimeStamp(local);
  ms = TimeStampToMSecs(stamp) - (static_cast<Int64>(ts.TimeZoneHour) * 60 + ts.TimeZoneMinute) * 60000;
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
  if (digits.empty()) digits.push_back('0');
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
