// Number ⇄ text: the decimal engine of FloatDecimal.h and the float and currency functions of
// SysUtils.h.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FloatDecimal.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace rtl_detail {

namespace {

void Strip(TDecimal& d) {
  size_t first = d.Digits.find_first_not_of('0');
  if (first == std::string::npos) {
    d.Digits.clear();
    d.Exponent = 0;
    d.Negative = false;
    return;
  }
  if (first) {
    d.Digits.erase(0, first);
    d.Exponent -= static_cast<int>(first);
  }
  d.Digits.erase(d.Digits.find_last_not_of('0') + 1);
}

String Ascii(std::string_view s) { return String(s.begin(), s.end()); }

// Integer digits with thousand separators every three digits from the right.
void AppendGrouped(String& out, std::string_view digits, char16_t separator) {
  for (size_t i = 0; i < digits.size(); ++i) {
    out += static_cast<char16_t>(digits[i]);
    const size_t rest = digits.size() - 1 - i;
    if (separator && rest > 0 && rest % 3 == 0) out += separator;
  }
}

// "d.ddd" + E + sign + exponent; Precision significant digits (trailing zeros kept).
String ExponentText(const TDecimal& d, int precision, int expDigits, bool plusSign, bool keepZeros,
                    const TFormatSettings& s) {
  String out;
  if (d.Negative) out += u'-';
  std::string digits = d.Digits.empty() ? std::string("0") : d.Digits;
  if (keepZeros && static_cast<int>(digits.size()) < precision) digits.append(precision - digits.size(), '0');
  out += static_cast<char16_t>(digits[0]);
  if (digits.size() > 1) {
    out += s.DecimalSeparator;
    for (size_t i = 1; i < digits.size(); ++i) out += static_cast<char16_t>(digits[i]);
  }
  const int e = d.Digits.empty() ? 0 : d.Exponent - 1;
  out += u'E';
  if (e < 0) out += u'-';
  else if (plusSign) out += u'+';
  std::string exp = std::to_string(std::abs(e));
  if (static_cast<int>(exp.size()) < expDigits) exp.insert(0, expDigits - exp.size(), '0');
  out += Ascii(exp);
  return out;
}

// Integer and fraction digit strings of a rounded decimal with at least `decimals` fraction digits.
void SplitFixed(const TDecimal& d, int decimals, std::string& intPart, std::string& fracPart) {
  intPart.clear();
  fracPart.clear();
  const int n = static_cast<int>(d.Digits.size());
  if (d.Exponent > 0) {
    for (int i = 0; i < d.Exponent; ++i) intPart += i < n ? d.Digits[i] : '0';
  } else {
    intPart += '0';  // not an assignment from a literal: GCC 12 warns falsely (-Wrestrict) on that
  }
  for (int i = 0; i < decimals; ++i) {
    const int k = d.Exponent + i;
    fracPart += (k >= 0 && k < n) ? d.Digits[k] : '0';
  }
}

String CurrencyText(const String& number, bool negative, const TFormatSettings& s) {
  const String& c = s.CurrencyString;
  if (!negative) {
    switch (s.CurrencyFormat) {
      case 1: return number + c;
      case 2: return c + u' ' + number;
      case 3: return number + u' ' + c;
      default: return c + number;
    }
  }
  switch (s.NegCurrFormat) {
    case 1: return u'-' + c + number;
    case 2: return c + u'-' + number;
    case 3: return c + number + u'-';
    case 4: return u'(' + number + c + u')';
    case 5: return u'-' + number + c;
    case 6: return number + u'-' + c;
    case 7: return number + c + u'-';
    case 8: return u'-' + number + u' ' + c;
    case 9: return u'-' + c + u' ' + number;
    case 10: return number + u' ' + c + u'-';
    case 11: return c + u' ' + number + u'-';
    case 12: return c + u' ' + u'-' + number;
    case 13: return number + u'-' + u' ' + c;
    case 14: return u'(' + c + u' ' + number + u')';
    case 15: return u'(' + number + u' ' + c + u')';
    default: return u'(' + c + number + u')';
  }
}

}  // namespace

TDecimal DecimalFromDouble(double value) {
  TDecimal d;
  if (std::isnan(value)) {
    d.Nan = true;
    return d;
  }
  d.Negative = std::signbit(value);
  if (std::isinf(value)) {
    d.Infinite = true;
    return d;
  }
  if (value == 0) {
    d.Negative = false;
    return d;
  }
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, 17);
  (void)ec;
  // "d.ddddddddddddddddde±xx"
  const char* p = buf;
  d.Digits += *p++;
  if (*p == '.') ++p;
  while (p < end && *p != 'e') d.Digits += *p++;
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exp);
  d.Exponent = exp + 1;
  Strip(d);
  d.Negative = std::signbit(value);
  return d;
}

TDecimal DecimalFromScaled(Int64 scaled, int scale) {
  TDecimal d;
  d.Negative = scaled < 0;
  const UInt64 magnitude = scaled < 0 ? 0 - static_cast<UInt64>(scaled) : static_cast<UInt64>(scaled);
  d.Digits = std::to_string(magnitude);
  d.Exponent = static_cast<int>(d.Digits.size()) - scale;
  Strip(d);
  return d;
}

void RoundDecimal(TDecimal& d, int precision, int decimals) {
  if (d.Nan || d.Infinite || d.Digits.empty()) return;
  const int keep = std::min(precision, d.Exponent + decimals);
  const int n = static_cast<int>(d.Digits.size());
  if (keep >= n) return;
  if (keep < 0) {
    d.Digits.clear();
    Strip(d);
    return;
  }
  const bool up = d.Digits[keep] >= '5';
  d.Digits.resize(keep);
  if (up) {
    int i = keep - 1;
    while (i >= 0 && d.Digits[i] == '9') d.Digits[i--] = '0';
    if (i >= 0) {
      ++d.Digits[i];
    } else {
      d.Digits.insert(d.Digits.begin(), '1');
      ++d.Exponent;
    }
  }
  Strip(d);
}

String DecimalToText(TDecimal d, TFloatFormat format, int precision, int digits, const TFormatSettings& s) {
  if (d.Nan) return u"NAN";
  if (d.Infinite) return d.Negative ? u"-INF" : u"INF";
  precision = std::clamp(precision, 1, 19);  // 19: every digit of a Currency
  switch (format) {
    case TFloatFormat::ffGeneral: {
      RoundDecimal(d, precision, 9999);
      if (d.Digits.empty()) return u"0";
      if (d.Exponent > precision || d.Exponent < -3)
        return ExponentText(d, precision, std::clamp(digits, 0, 4), false, false, s);
      std::string intPart, fracPart;
      const int fracDigits = std::max(0, static_cast<int>(d.Digits.size()) - d.Exponent);
      SplitFixed(d, fracDigits, intPart, fracPart);
      String out;
      if (d.Negative) out += u'-';
      out += Ascii(intPart);
      if (!fracPart.empty()) {
        out += s.DecimalSeparator;
        out += Ascii(fracPart);
      }
      return out;
    }
    case TFloatFormat::ffExponent:
      RoundDecimal(d, precision, 9999);
      return ExponentText(d, precision, std::clamp(digits, 0, 4), true, true, s);
    case TFloatFormat::ffFixed:
    case TFloatFormat::ffNumber:
    case TFloatFormat::ffCurrency: {
      digits = std::clamp(digits, 0, 18);
      if (d.Exponent > precision) {
        RoundDecimal(d, precision, 9999);
        return ExponentText(d, precision, digits, true, true, s);
      }
      RoundDecimal(d, precision, digits);
      std::string intPart, fracPart;
      SplitFixed(d, digits, intPart, fracPart);
      String number;
      if (format == TFloatFormat::ffFixed) number = Ascii(intPart);
      else AppendGrouped(number, intPart, s.ThousandSeparator);
      if (digits > 0) {
        number += s.DecimalSeparator;
        number += Ascii(fracPart);
      }
      if (format == TFloatFormat::ffCurrency) return CurrencyText(number, d.Negative, s);
      return d.Negative ? u'-' + number : number;
    }
  }
  return String();
}

// ---- FormatFloat ------------------------------------------------------------------------------------

namespace {

struct Section {
  std::u16string_view text;
  int intPlaces = 0;      // '0'/'#' before the point (or before the exponent)
  int intZeros = 0;       // places from the first '0' before the point to the point
  int fracPlaces = 0;     // '0'/'#' after the point
  int fracZeros = 0;      // places up to the last '0' after the point
  bool thousands = false;
  bool scientific = false;
  int expDigits = 0;
  bool hasPoint = false;
};

bool IsQuote(char16_t c) { return c == u'"' || c == u'\''; }

std::vector<std::u16string_view> SplitSections(std::u16string_view f) {
  std::vector<std::u16string_view> out;
  size_t start = 0;
  char16_t quote = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    const char16_t c = f[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (IsQuote(c)) {
      quote = c;
    } else if (c == u';') {
      out.push_back(f.substr(start, i - start));
      start = i + 1;
    }
  }
  out.push_back(f.substr(start));
  return out;
}

Section Analyse(std::u16string_view text) {
  Section s;
  s.text = text;
  char16_t quote = 0;
  bool firstZeroSeen = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (IsQuote(c)) {
      quote = c;
      continue;
    }
    if (s.scientific) continue;
    if (c == u'0' || c == u'#') {
      if (!s.hasPoint) {
        ++s.intPlaces;
        if (c == u'0' && !firstZeroSeen) firstZeroSeen = true;
        if (firstZeroSeen) ++s.intZeros;
      } else {
        ++s.fracPlaces;
        if (c == u'0') s.fracZeros = s.fracPlaces;
      }
    } else if (c == u'.') {
      s.hasPoint = true;
    } else if (c == u',') {
      s.thousands = true;
    } else if ((c == u'E' || c == u'e') && i + 1 < text.size() && (text[i + 1] == u'+' || text[i + 1] == u'-')) {
      s.scientific = true;
      size_t k = i + 2;
      while (k < text.size() && text[k] == u'0') ++k, ++s.expDigits;
    }
  }
  return s;
}

String Render(const Section& sec, const TDecimal& value, const TFormatSettings& settings) {
  TDecimal d = value;
  int exponent10 = 0;  // scientific: the value is shown as mantissa × 10^exponent10
  std::string intPart, fracPart;
  if (sec.scientific) {
    const int intDigits = std::max(1, sec.intPlaces);
    RoundDecimal(d, intDigits + sec.fracPlaces, 9999);
    if (!d.Digits.empty()) {
      exponent10 = d.Exponent - intDigits;
      d.Exponent = intDigits;
    }
  } else {
    RoundDecimal(d, 18, sec.fracPlaces);
  }
  SplitFixed(d, sec.fracPlaces, intPart, fracPart);
  if (intPart == "0") intPart.clear();
  if (static_cast<int>(intPart.size()) < sec.intZeros) intPart.insert(0, sec.intZeros - intPart.size(), '0');
  while (static_cast<int>(fracPart.size()) > sec.fracZeros && !fracPart.empty() && fracPart.back() == '0')
    fracPart.pop_back();

  String out;
  if (value.Negative && !d.Digits.empty()) out += u'-';
  const int places = sec.intPlaces;
  const int len = static_cast<int>(intPart.size());
  int placeIndex = 0, fracIndex = 0;
  bool pointDone = false;
  auto emitInt = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      out += static_cast<char16_t>(intPart[i]);
      const int rest = len - 1 - i;
      if (sec.thousands && rest > 0 && rest % 3 == 0) out += settings.ThousandSeparator;
    }
  };
  auto emitPoint = [&]() {
    if (pointDone) return;
    pointDone = true;
    if (places == 0) emitInt(0, len);
    if (!fracPart.empty()) out += settings.DecimalSeparator;
  };
  char16_t quote = 0;
  const std::u16string_view t = sec.text;
  for (size_t i = 0; i < t.size(); ++i) {
    const char16_t c = t[i];
    if (quote) {
      if (c == quote) quote = 0;
      else out += c;
      continue;
    }
    if (IsQuote(c)) {
      quote = c;
      continue;
    }
    if ((c == u'0' || c == u'#') && !pointDone) {
      const int k = placeIndex++;
      if (k == 0 && len > places) emitInt(0, len - places);  // digits beyond the placeholders
      const int index = len - places + k;
      if (index >= 0) emitInt(index, index + 1);
    } else if ((c == u'0' || c == u'#') && pointDone) {
      if (fracIndex < static_cast<int>(fracPart.size())) out += static_cast<char16_t>(fracPart[fracIndex]);
      ++fracIndex;
    } else if (c == u'.') {
      emitPoint();
    } else if (c == u',') {
      // thousands: placed with the digits
    } else if ((c == u'E' || c == u'e') && i + 1 < t.size() && (t[i + 1] == u'+' || t[i + 1] == u'-')) {
      emitPoint();
      out += c;
      if (exponent10 < 0) out += u'-';
      else if (t[i + 1] == u'+') out += u'+';
      std::string e = std::to_string(std::abs(exponent10));
      if (static_cast<int>(e.size()) < sec.expDigits) e.insert(0, sec.expDigits - e.size(), '0');
      out += Ascii(e);
      i += 1 + sec.expDigits;
    } else {
      out += c;
    }
  }
  if (!pointDone && places == 0 && len > 0) emitInt(0, len);
  return out;
}

}  // namespace

String DecimalToTextFmt(const TDecimal& value, std::u16string_view format, const TFormatSettings& settings) {
  if (value.Nan || value.Infinite || format.empty())
    return DecimalToText(value, TFloatFormat::ffGeneral, 15, 0, settings);
  const auto sections = SplitSections(format);
  // Pick the section by the sign of the value as rounded by the first section.
  Section first = Analyse(sections[0]);
  TDecimal probe = value;
  if (first.scientific) RoundDecimal(probe, std::max(1, first.intPlaces) + first.fracPlaces, 9999);
  else RoundDecimal(probe, 18, first.fracPlaces);
  if (probe.Digits.empty()) {
    if (sections.size() >= 3 && !sections[2].empty()) return Render(Analyse(sections[2]), TDecimal{}, settings);
    return Render(first, TDecimal{}, settings);
  }
  if (value.Negative && sections.size() >= 2 && !sections[1].empty()) {
    TDecimal positive = value;
    positive.Negative = false;
    return Render(Analyse(sections[1]), positive, settings);
  }
  if (value.Exponent > 18 && !first.scientific) return DecimalToText(value, TFloatFormat::ffGeneral, 15, 0, settings);
  return Render(first, value, settings);
}

bool ScaledFromAscii(std::string_view ascii, int scale, Int64& result) {
  // Exact decimal arithmetic: the text's digits shifted to `scale` places, the rest rounded half to even.
  if (ascii.empty()) return false;
  bool negative = false;
  size_t i = 0;
  if (ascii[0] == '-' || ascii[0] == '+') {
    negative = ascii[0] == '-';
    ++i;
  }
  std::string digits;
  int pointPos = -1;
  for (; i < ascii.size() && ascii[i] != 'e' && ascii[i] != 'E'; ++i) {
    if (ascii[i] == '.') pointPos = static_cast<int>(digits.size());
    else if (ascii[i] >= '0' && ascii[i] <= '9') digits += ascii[i];
    else return false;
  }
  if (digits.empty()) return false;
  int exp = 0;
  if (i < ascii.size()) {
    const char* first = ascii.data() + i + 1;
    const char* last = ascii.data() + ascii.size();
    if (first < last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, exp);
    if (ec != std::errc() || end != last) return false;
  }
  if (pointPos < 0) pointPos = static_cast<int>(digits.size());
  const size_t firstNonZero = digits.find_first_not_of('0');
  if (firstNonZero == std::string::npos) {
    result = 0;
    return true;
  }
  if (exp > 400 || exp < -400) return exp < 0 ? (result = 0, true) : false;
  // value = digits × 10^(pointPos + exp - len); scaled = digits × 10^shift
  const int shift = pointPos + exp - static_cast<int>(digits.size()) + scale;
  digits.erase(0, firstNonZero);
  size_t keep = digits.size();
  int roundDigit = -1;
  bool sticky = false;
  if (shift < 0) {
    const size_t drop = static_cast<size_t>(-shift);
    if (drop > digits.size()) {
      keep = 0;
      roundDigit = 0;
    } else {
      keep = digits.size() - drop;
      roundDigit = digits[keep] - '0';
      sticky = digits.find_first_not_of('0', keep + 1) != std::string::npos;
    }
  }
  if (static_cast<long long>(keep) + (shift > 0 ? shift : 0) > 20) return false;
  unsigned __int128 acc = 0;
  for (size_t k = 0; k < keep; ++k) acc = acc * 10 + static_cast<unsigned>(digits[k] - '0');
  for (int k = 0; k < shift; ++k) acc *= 10;
  if (roundDigit > 5 || (roundDigit == 5 && (sticky || (acc & 1)))) ++acc;
  const unsigned __int128 limit =
      static_cast<unsigned __int128>(std::numeric_limits<Int64>::max()) + (negative ? 1 : 0);
  if (acc > limit) return false;
  result = negative ? static_cast<Int64>(0 - static_cast<UInt64>(acc)) : static_cast<Int64>(acc);
  return true;
}

}  // namespace rtl_detail

using rtl_detail::DecimalFromDouble;
using rtl_detail::DecimalFromScaled;
using rtl_detail::DecimalToText;

// ---- floats ---------------------------------------------------------------------------------------------

String FloatToStr(double Value) { return FloatToStr(Value, FormatSettings()); }
String FloatToStr(double Value, const TFormatSettings& Settings) {
  return DecimalToText(DecimalFromDouble(Value), TFloatFormat::ffGeneral, 15, 0, Settings);
}

String FloatToStrF(double Value, TFloatFormat Format, int Precision, int Digits) {
  return FloatToStrF(Value, Format, Precision, Digits, FormatSettings());
}
String FloatToStrF(double Value, TFloatFormat Format, int Precision, int Digits, const TFormatSettings& Settings) {
  return DecimalToText(DecimalFromDouble(Value), Format, Precision, Digits, Settings);
}

String FormatFloat(std::u16string_view Format, double Value) { return FormatFloat(Format, Value, FormatSettings()); }
String FormatFloat(std::u16string_view Format, double Value, const TFormatSettings& Settings) {
  return rtl_detail::DecimalToTextFmt(DecimalFromDouble(Value), Format, Settings);
}

namespace {

// The number as ASCII for from_chars: blanks around, sign, digits, the settings' decimal separator,
// exponent. False for anything else.
bool NormaliseNumber(std::u16string_view s, char16_t decimalSeparator, std::string& out, bool allowExponent) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= u' ') ++b;
  while (e > b && s[e - 1] <= u' ') --e;
  s = s.substr(b, e - b);
  out.clear();
  size_t i = 0;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    if (s[i] == u'-') out += '-';
    ++i;
  }
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= u'0' && c <= u'9') {
      out += static_cast<char>(c);
      digits = true;
    } else if (c == decimalSeparator && !point) {
      out += '.';
      point = true;
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (i < s.size() && allowExponent && (s[i] == u'e' || s[i] == u'E')) {
    out += 'e';
    ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) out += static_cast<char>(s[i++]);
    bool expDigits = false;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
      out += static_cast<char>(s[i]);
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  return i == s.size();
}

bool SpecialFloat(std::u16string_view s, double& value) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= u' ') ++b;
  while (e > b && s[e - 1] <= u' ') --e;
  const String t = UpperCase(s.substr(b, e - b));
  if (t == u"NAN") value = std::numeric_limits<double>::quiet_NaN();
  else if (t == u"INF" || t == u"+INF") value = std::numeric_limits<double>::infinity();
  else if (t == u"-INF") value = -std::numeric_limits<double>::infinity();
  else return false;
  return true;
}

[[noreturn]] void InvalidFloat(std::u16string_view S) { throw EConvertError(Format(msg::SInvalidFloat, {S})); }

}  // namespace

bool TryStrToFloat(std::u16string_view S, double& Value) { return TryStrToFloat(S, Value, FormatSettings()); }
bool TryStrToFloat(std::u16string_view S, double& Value, const TFormatSettings& Settings) {
  std::string ascii;
  if (!NormaliseNumber(S, Settings.DecimalSeparator, ascii, true)) return SpecialFloat(S, Value);
  double v;
  const char* first = ascii.data();
  const char* last = ascii.data() + ascii.size();
  auto [end, ec] = std::from_chars(first, last, v);
  if (ec != std::errc() || end != last) return false;
  Value = v;
  return true;
}

double StrToFloat(std::u16string_view S) { return StrToFloat(S, FormatSettings()); }
double StrToFloat(std::u16string_view S, const TFormatSettings& Settings) {
  double v;
  if (!TryStrToFloat(S, v, Settings)) InvalidFloat(S);
  return v;
}

double StrToFloatDef(std::u16string_view S, double Default) { return StrToFloatDef(S, Default, FormatSettings()); }
double StrToFloatDef(std::u16string_view S, double Default, const TFormatSettings& Settings) {
  double v;
  return TryStrToFloat(S, v, Settings) ? v : Default;
}

// ---- currency -----------------------------------------------------------------------------------------

String CurrToStr(Currency Value) { return CurrToStr(Value, FormatSettings()); }
String CurrToStr(Currency Value, const TFormatSettings& Settings) {
  return DecimalToText(DecimalFromScaled(Value.Scaled, 4), TFloatFormat::ffGeneral, 19, 0, Settings);
}

String CurrToStrF(Currency Value, TFloatFormat Format, int Digits) {
  return CurrToStrF(Value, Format, Digits, FormatSettings());
}
String CurrToStrF(Currency Value, TFloatFormat Format, int Digits, const TFormatSettings& Settings) {
  return DecimalToText(DecimalFromScaled(Value.Scaled, 4), Format, 19, Digits, Settings);
}

bool TryStrToCurr(std::u16string_view S, Currency& Value) { return TryStrToCurr(S, Value, FormatSettings()); }
bool TryStrToCurr(std::u16string_view S, Currency& Value, const TFormatSettings& Settings) {
  std::string ascii;
  if (!NormaliseNumber(S, Settings.DecimalSeparator, ascii, true)) return false;
  Int64 scaled;
  if (!rtl_detail::ScaledFromAscii(ascii, 4, scaled)) return false;
  Value.Scaled = scaled;
  return true;
}

Currency StrToCurr(std::u16string_view S) { return StrToCurr(S, FormatSettings()); }
Currency StrToCurr(std::u16string_view S, const TFormatSettings& Settings) {
  Currency v;
  if (!TryStrToCurr(S, v, Settings)) InvalidFloat(S);
  return v;
}

Currency StrToCurrDef(std::u16string_view S, Currency Default) { return StrToCurrDef(S, Default, FormatSettings()); }
Currency StrToCurrDef(std::u16string_view S, Currency Default, const TFormatSettings& Settings) {
  Currency v;
  return TryStrToCurr(S, v, Settings) ? v : Default;
}
