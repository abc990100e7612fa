#include "platform/rtl/Bcd.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"

namespace {

// A decimal as digit characters with the last `places` of them after the point.
struct Dec {
  bool negative = false;
  std::string digits;  // '0'-'9'
  int places = 0;

  int IntDigits() const { return static_cast<int>(digits.size()) - places; }
};

[[noreturn]] void Overflow() { throw EBcdOverflowException(String(msg::SBcdOverflow)); }

[[noreturn]] void InvalidValue(std::u16string_view text) {
  throw EBcdException(Format(msg::SInvalidBcdValue, {text}));
}

// Leading integer zeros go, trailing decimal zeros go, zero has no sign.
// The canonical form has at least `places` digits (IntDigits() >= 0), so equal values look equal.
void PadToPlaces(Dec& d) {
  if (static_cast<int>(d.digits.size()) < d.places) d.digits.insert(0, d.places - d.digits.size(), '0');
}

void Canonical(Dec& d) {
  PadToPlaces(d);
  size_t lead = 0;
  while (static_cast<int>(d.digits.size() - lead) > d.places && lead < d.digits.size() && d.digits[lead] == '0') ++lead;
  d.digits.erase(0, lead);
  while (d.places > 0 && !d.digits.empty() && d.digits.back() == '0') {
    d.digits.pop_back();
    --d.places;
  }
  if (d.digits.find_first_not_of('0') == std::string::npos) {
    d.digits.clear();
    d.places = 0;
    d.negative = false;
  }
}

// Keeps `places` decimals, rounding half away from zero.
void RoundPlaces(Dec& d, int places) {
  if (d.places <= places) return;
  PadToPlaces(d);
  const size_t keep = d.digits.size() - static_cast<size_t>(d.places - places);
  const bool up = d.digits[keep] >= '5';
  d.digits.resize(keep);
  d.places = places;
  if (up) {
    int i = static_cast<int>(keep) - 1;
    while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
    if (i >= 0) ++d.digits[i];
    else d.digits.insert(d.digits.begin(), '1');
  }
}

// Fits the 64-digit, 63-place limits: decimals are rounded away first, integer digits never.
bool Fit(Dec& d) {
  Canonical(d);
  if (d.places > kMaxBcdPlaces) RoundPlaces(d, kMaxBcdPlaces);
  Canonical(d);
  if (d.IntDigits() > kMaxBcdDigits) return false;
  if (static_cast<int>(d.digits.size()) > kMaxBcdDigits) {
    RoundPlaces(d, kMaxBcdDigits - d.IntDigits());
    Canonical(d);
    if (static_cast<int>(d.digits.size()) > kMaxBcdDigits) return false;
  }
  return true;
}

TBcd Pack(const Dec& d) {
  TBcd b;
  std::string digits = d.digits;
  int places = d.places;
  if (digits.empty()) digits.push_back('0');
  if (static_cast<int>(digits.size()) < places + 1) {  // at least one integer digit
    digits.insert(0, static_cast<size_t>(places + 1) - digits.size(), '0');
  }
  b.Precision = static_cast<std::uint8_t>(digits.size());
  b.SignSpecialPlaces = static_cast<std::uint8_t>((d.negative ? 0x80 : 0) | places);
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto v = static_cast<std::uint8_t>(digits[i] - '0');
    b.Fraction[i / 2] |= (i % 2 == 0) ? static_cast<std::uint8_t>(v << 4) : v;
  }
  return b;
}

String HexDump(const TBcd& b) {
  String s;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&b);
  for (size_t i = 0; i < sizeof b; ++i) s += IntToHex(static_cast<int>(p[i]), 2);
  return s;
}

// Raises EBcdException for a structure no writer of ours produces (bad precision, places or nibble).
Dec Unpack(const TBcd& b) {
  Dec d;
  const int precision = b.Precision;
  const int places = b.SignSpecialPlaces & 0x3F;
  if (precision > kMaxBcdDigits || places > precision) InvalidValue(HexDump(b));
  d.negative = (b.SignSpecialPlaces & 0x80) != 0;
  d.places = places;
  d.digits.reserve(static_cast<size_t>(precision));
  for (int i = 0; i < precision; ++i) {
    const int v = (i % 2 == 0) ? b.Fraction[i / 2] >> 4 : b.Fraction[i / 2] & 0x0F;
    if (v > 9) InvalidValue(HexDump(b));
    d.digits += static_cast<char>('0' + v);
  }
  Canonical(d);
  return d;
}

bool Parse(std::u16string_view s, Dec& d) {
  size_t i = 0, e = s.size();
  while (i < e && s[i] <= u' ') ++i;
  while (e > i && s[e - 1] <= u' ') --e;
  d = Dec{};
  if (i < e && (s[i] == u'-' || s[i] == u'+')) d.negative = s[i++] == u'-';
  bool point = false, any = false;
  const char16_t sep = FormatSettings().DecimalSeparator;
  for (; i < e; ++i) {
    const char16_t c = s[i];
    if (c >= u'0' && c <= u'9') {
      d.digits += static_cast<char>(c);
      if (point) ++d.places;
      any = true;
    } else if ((c == u'.' || c == sep) && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  if (i < e && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    bool negExp = false;
    if (i < e && (s[i] == u'-' || s[i] == u'+')) negExp = s[i++] == u'-';
    int exp = 0;
    bool expDigits = false;
    for (; i < e && s[i] >= u'0' && s[i] <= u'9'; ++i) {
      if (exp < 100000) exp = exp * 10 + (s[i] - u'0');
      expDigits = true;
    }
    if (!expDigits || exp > 1000) return false;
    if (negExp) {
      d.places += exp;
    } else if (exp <= d.places) {
      d.places -= exp;
    } else {
      d.digits.append(static_cast<size_t>(exp - d.places), '0');
      d.places = 0;
    }
    if (d.places > 1000) return false;
  }
  return i == e;
}

int CompareDec(const Dec& a, const Dec& b) {
  const bool aZero = a.digits.empty(), bZero = b.digits.empty();
  if (aZero && bZero) return 0;
  const int sa = aZero ? 0 : (a.negative ? -1 : 1);
  const int sb = bZero ? 0 : (b.negative ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  // Same sign: compare magnitudes, then flip for negatives.
  int r = 0;
  if (a.IntDigits() != b.IntDigits()) {
    r = a.IntDigits() < b.IntDigits() ? -1 : 1;
  } else {
    const size_t n = std::max(a.digits.size(), b.digits.size());
    for (size_t i = 0; i < n && r == 0; ++i) {
      const char x = i < a.digits.size() ? a.digits[i] : '0';
      const char y = i < b.digits.size() ? b.digits[i] : '0';
      if (x != y) r = x < y ? -1 : 1;
    }
  }
  return sa < 0 ? -r : r;
}

}  // namespace

int BcdPrecision(const TBcd& Bcd) { return Bcd.Precision; }
int BcdScale(const TBcd& Bcd) { return Bcd.SignSpecialPlaces & 0x3F; }
bool IsBcdNegative(const TBcd& Bcd) { return (Bcd.SignSpecialPlaces & 0x80) != 0 && !IsBcdZero(Bcd); }

bool IsBcdZero(const TBcd& Bcd) {
  const int n = std::min<int>(Bcd.Precision, kMaxBcdDigits);
  for (int i = 0; i < n; ++i)
    if (BcdDigit(Bcd, i) != 0) return false;
  return true;
}

int BcdDigit(const TBcd& Bcd, int Index) {
  if (Index < 0 || Index >= kMaxBcdDigits) return 0;
  return (Index % 2 == 0) ? Bcd.Fraction[Index / 2] >> 4 : Bcd.Fraction[Index / 2] & 0x0F;
}

TBcd NullBcd() { return Pack(Dec{}); }

TBcd IntegerToBcd(Int64 Value) {
  Dec d;
  d.negative = Value < 0;
  d.digits = std::to_string(Value < 0 ? 0 - static_cast<UInt64>(Value) : static_cast<UInt64>(Value));
  Canonical(d);
  return Pack(d);
}

Int64 BcdToInt64(const TBcd& Bcd, bool Truncate) {
  Dec d = Unpack(Bcd);
  if (Truncate) {
    d.digits.resize(static_cast<size_t>(std::max(0, d.IntDigits())));
    d.places = 0;
  } else {
    RoundPlaces(d, 0);
  }
  Canonical(d);
  if (d.digits.size() > 19) Overflow();
  const UInt64 magnitude = d.digits.empty() ? 0 : std::stoull(d.digits);
  const UInt64 limit = static_cast<UInt64>(std::numeric_limits<Int64>::max()) + (d.negative ? 1 : 0);
  if (magnitude > limit) Overflow();
  return d.negative ? static_cast<Int64>(0 - magnitude) : static_cast<Int64>(magnitude);
}

bool NormalizeBcd(const TBcd& In, TBcd& Out, int Precision, int Places) {
  if (Precision < 1 || Precision > kMaxBcdDigits || Places < 0 || Places > Precision || Places > kMaxBcdPlaces)
    return false;
  Dec d = Unpack(In);
  RoundPlaces(d, Places);
  Canonical(d);
  if (d.IntDigits() > Precision - Places) return false;
  // Pad: integer zeros in front, decimal zeros behind.
  d.digits.append(static_cast<size_t>(Places - d.places), '0');
  d.places = Places;
  d.digits.insert(0, static_cast<size_t>(Precision - static_cast<int>(d.digits.size())), '0');
  TBcd b;
  b.Precision = static_cast<std::uint8_t>(Precision);
  b.SignSpecialPlaces = static_cast<std::uint8_t>(((d.negative && d.digits.find_first_not_of('0') != std::string::npos) ? 0x80 : 0) | Places);
  for (size_t i = 0; i < d.digits.size(); ++i) {
    const auto v = static_cast<std::uint8_t>(d.digits[i] - '0');
    b.Fraction[i / 2] |= (i % 2 == 0) ? static_cast<std::uint8_t>(v << 4) : v;
  }
  Out = b;
  return true;
}

bool CurrToBCD(Currency Curr, TBcd& Bcd, int Precision, int Decimals) {
  Dec d;
  d.negative = Curr.Scaled < 0;
  d.digits = std::to_string(Curr.Scaled < 0 ? 0 - static_cast<UInt64>(Curr.Scaled) : static_cast<UInt64>(Curr.Scaled));
  d.places = 4;
  if (d.digits.size() < 5) d.digits.insert(0, 5 - d.digits.size(), '0');
  Canonical(d);
  return NormalizeBcd(Pack(d), Bcd, Precision, Decimals);
}

bool BCDToCurr(const TBcd& Bcd, Currency& Curr) {
  Dec d = Unpack(Bcd);
  // Four places, extra ones rounded half to even (the Currency rule).
  PadToPlaces(d);
  if (d.places > 4) {
    const size_t keep = d.digits.size() - static_cast<size_t>(d.places - 4);
    const char first = d.digits[keep];
    const bool sticky = d.digits.find_first_not_of('0', keep + 1) != std::string::npos;
    const bool odd = keep > 0 && (d.digits[keep - 1] - '0') % 2 == 1;
    d.digits.erase(d.digits.begin() + static_cast<std::ptrdiff_t>(keep), d.digits.end());
    d.places = 4;
    if (first > '5' || (first == '5' && (sticky || odd))) {
      int i = static_cast<int>(keep) - 1;
      while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
      if (i >= 0) ++d.digits[i];
      else d.digits.insert(d.digits.begin(), '1');
    }
  }
  d.digits.append(static_cast<size_t>(4 - d.places), '0');
  const size_t first = d.digits.find_first_not_of('0');
  if (first == std::string::npos) {
    Curr = Currency{};
    return true;
  }
  const std::string magnitudeText = d.digits.substr(first);
  if (magnitudeText.size() > 19) return false;
  const UInt64 magnitude = std::stoull(magnitudeText);
  const UInt64 limit = static_cast<UInt64>(std::numeric_limits<Int64>::max()) + (d.negative ? 1 : 0);
  if (magnitude > limit) return false;
  Curr.Scaled = d.negative ? static_cast<Int64>(0 - magnitude) : static_cast<Int64>(magnitude);
  return true;
}

TBcd CurrencyToBcd(Currency Curr) {
  TBcd b;
  if (!CurrToBCD(Curr, b)) Overflow();
  return b;
}

Currency BcdToCurrency(const TBcd& Bcd) {
  Currency c;
  if (!BCDToCurr(Bcd, c)) Overflow();
  return c;
}

TBcd DoubleToBcd(double Value) {
  if (!std::isfinite(Value)) Overflow();
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::scientific);
  (void)ec;
  Dec d;
  if (!Parse(String(buf, end), d) || !Fit(d)) Overflow();
  return Pack(d);
}

double BcdToDouble(const TBcd& Bcd) {
  const Dec d = Unpack(Bcd);
  if (d.digits.empty()) return 0.0;
  std::string text = d.negative ? "-" : "";
  text += d.digits;
  text += "e-" + std::to_string(d.places);
  double v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return v;
}

bool TryStrToBcd(std::u16string_view S, TBcd& Bcd) {
  Dec d;
  if (!Parse(S, d) || !Fit(d)) return false;
  Bcd = Pack(d);
  return true;
}

TBcd StrToBcd(std::u16string_view S) {
  Dec d;
  if (!Parse(S, d)) InvalidValue(S);
  if (!Fit(d)) Overflow();
  return Pack(d);
}

String BcdToStr(const TBcd& Bcd) {
  const Dec d = Unpack(Bcd);
  if (d.digits.empty()) return u"0";
  String s;
  if (d.negative) s += u'-';
  const int intDigits = d.IntDigits();
  if (intDigits <= 0) s += u'0';
  for (int i = 0; i < intDigits; ++i) s += static_cast<char16_t>(d.digits[i]);
  if (d.places > 0) {
    s += FormatSettings().DecimalSeparator;
    for (int i = 0; i < -intDigits; ++i) s += u'0';
    for (size_t i = static_cast<size_t>(std::max(0, intDigits)); i < d.digits.size(); ++i)
      s += static_cast<char16_t>(d.digits[i]);
  }
  return s;
}

int BcdCompare(const TBcd& A, const TBcd& B) { return CompareDec(Unpack(A), Unpack(B)); }
