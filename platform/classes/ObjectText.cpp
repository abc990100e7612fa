#include "platform/classes/ObjectText.h"

#include <locale.h>

#include <algorithm>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/classes/ComponentStreaming.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Utf.h"

static_assert(LDBL_MANT_DIG >= 64, "extended values are carried through long double");

namespace {

using objtext::kLineBreak;
constexpr size_t kStringLineWidth = 64;
constexpr size_t kBinaryLineBytes = 32;

// Number text is always C-locale: the process locale (set by the GUI) must not change the file form.
class CLocaleScope {
 public:
  CLocaleScope() {
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    FOld = uselocale(c_locale);
  }
  ~CLocaleScope() { uselocale(FOld); }

 private:
  locale_t FOld;
};

// ---- 10-byte extended ⇄ long double (exact both ways on a 64-bit-significand or wider long double) ----

long double ExtendedToLongDouble(const Byte in[10]) {
  UInt64 mantissa;
  std::uint16_t se;
  std::memcpy(&mantissa, in, 8);
  std::memcpy(&se, in + 8, 2);
  const bool negative = (se & 0x8000) != 0;
  const int e = se & 0x7FFF;
  long double v;
  if (e == 0x7FFF) {
    v = (mantissa << 1) == 0 ? HUGE_VALL : NAN;
  } else {
    v = std::ldexp(static_cast<long double>(mantissa), (e == 0 ? 1 : e) - 16383 - 63);
  }
  return negative ? -v : v;
}

void LongDoubleToExtended(long double v, Byte out[10]) {
  UInt64 mantissa = 0;
  int e = 0;
  const bool negative = std::signbit(v);
  v = std::fabs(v);
  if (std::isnan(v)) {
    e = 0x7FFF;
    mantissa = UInt64{3} << 62;
  } else if (std::isinf(v)) {
    e = 0x7FFF;
    mantissa = UInt64{1} << 63;
  } else if (v != 0) {
    int exp = 0;
    const long double frac = std::frexp(v, &exp);  // v = frac * 2^exp, frac in [0.5, 1)
    e = exp - 1 + 16383;
    long double scaled = std::ldexp(frac, 64);
    if (e <= 0) {
      scaled = std::ldexp(scaled, e - 1);
      e = 0;
    }
    if (e >= 0x7FFF) {
      e = 0x7FFF;
      mantissa = UInt64{1} << 63;
    } else {
      mantissa = static_cast<UInt64>(scaled);
    }
  }
  std::memcpy(out, &mantissa, 8);
  const std::uint16_t se = static_cast<std::uint16_t>(e | (negative ? 0x8000 : 0));
  std::memcpy(out + 8, &se, 2);
}

// The number of significant digits of the shortest decimal that reads back as V (finite V).
template <class Float>
int ShortestDigits(Float v) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific);
  int digits = 0;
  for (const char* p = text; p != result.ptr && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') ++digits;
  return digits;
}

// ---- exact decimal text without the C library ----------------------------------------------------
// The C library's printing and parsing of long double cost microseconds per value; a table of 50,000
// rows holds 100,000 of them. Values of everyday size (at least 2^-10, below 10^14) are converted here
// with exact integer arithmetic instead, giving the very same text: "%.*g" digits rounded half to even
// on the exact binary value, and the shortest such count (from 15) whose text reads back to the value,
// decided from the rounding error itself rather than by reading the text back. Other values take the
// library route.

using UInt128 = unsigned __int128;

// A finite positive value M x 2^-B with M holding Bits significant bits (top bit set).
struct TBinaryValue {
  UInt64 M;
  int B;
  int Bits;
};

// The shortest "%.*g" text of V from MinDigits to MaxDigits significant digits that reads back to V
// (the MaxDigits text when none does); false when V is outside the fast range. The digits are made
// once; each count is judged by the remainder left after its last digit.
bool FastShortestText(const TBinaryValue& V, bool Negative, int MinDigits, int MaxDigits, char* Out, size_t& Len) {
  if (V.B <= 0 || V.B > 73) return false;
  const UInt64 integer = V.B >= 64 ? 0 : V.M >> V.B;
  if (integer >= 100000000000000ULL) return false;
  const UInt128 one = UInt128{1} << V.B;
  UInt128 frac = V.B >= 64 ? UInt128{V.M} : UInt128{V.M & ((UInt64{1} << V.B) - 1)};
  char digits[32];
  int count = 0;
  int leading_zeros = 0;
  if (integer != 0) {
    char rev[24];
    int n = 0;
    for (UInt64 v = integer; v != 0; v /= 10) rev[n++] = static_cast<char>('0' + v % 10);
    while (n > 0) digits[count++] = rev[--n];
  }
  const int int_digits = count;
  if (int_digits >= MinDigits) return false;
  const UInt128 half = one >> 1;
  const bool power_of_two = V.M == (UInt64{1} << (V.Bits - 1));
  // Digits are made until the first count from MinDigits whose rounded text reads back (the remainder
  // after its last digit decides), else up to MaxDigits.
  UInt128 pow10 = 1;
  int chosen = MaxDigits;
  bool up = false;
  // The digits come from the fraction's bits; below 2^60 of them they are made in 64-bit arithmetic.
  const auto digitsOf = [&](auto f) {
    using T = decltype(f);
    const T mask = static_cast<T>(one - 1);
    const T halfT = static_cast<T>(half);
    const T oneT = static_cast<T>(one);
    while (count < MaxDigits) {
      f *= 10;
      const int d = static_cast<int>(f >> V.B);
      f &= mask;
      pow10 *= 10;
      if (count == 0 && d == 0) {
        // %g's fixed form covers a decimal exponent down to -4.
        if (++leading_zeros > 3) return false;
        continue;
      }
      digits[count++] = static_cast<char>('0' + d);
      if (count < MinDigits) continue;
      // Half to even on the exact remainder, as the C library prints.
      up = f > halfT || (f == halfT && (d & 1) != 0);
      // Does the rounded text read back (round to nearest, ties to even) as this value?
      const UInt128 error = up ? oneT - f : f;
      const bool fits = (!up && power_of_two)
                            ? error * 4 <= pow10  // the neighbour below is half as far; a tie goes to the power
                            : error * 2 < pow10 || (error * 2 == pow10 && (V.M & 1) == 0);
      if (fits) {
        chosen = count;
        break;
      }
    }
    return true;
  };
  if (!(V.B <= 59 ? digitsOf(static_cast<UInt64>(frac)) : digitsOf(frac))) return false;
  count = chosen;
  // Decimal exponent of the first significant digit.
  int exponent = int_digits > 0 ? int_digits - 1 : -(leading_zeros + 1);
  if (up) {
    int i = count - 1;
    while (i >= 0 && digits[i] == '9') digits[i--] = '0';
    if (i >= 0) {
      ++digits[i];
    } else {
      // 99..9 became 100..0: one more integer place, the same digit count.
      digits[0] = '1';
      ++exponent;
    }
  }
  // Fixed form with `count` significant digits: the integer part, then the fraction without its
  // trailing zeros (and without the point when nothing is left).
  size_t n = 0;
  if (Negative) Out[n++] = '-';
  char fraction[64];
  int f = 0;
  if (exponent >= 0) {
    std::memcpy(Out + n, digits, static_cast<size_t>(exponent + 1));
    n += static_cast<size_t>(exponent + 1);
    for (int i = exponent + 1; i < count; ++i) fraction[f++] = digits[i];
  } else {
    Out[n++] = '0';
    for (int i = 0; i < -exponent - 1; ++i) fraction[f++] = '0';
    for (int i = 0; i < count; ++i) fraction[f++] = digits[i];
  }
  while (f > 0 && fraction[f - 1] == '0') --f;
  if (f > 0) {
    Out[n++] = '.';
    std::memcpy(Out + n, fraction, static_cast<size_t>(f));
    n += static_cast<size_t>(f);
  }
  Len = n;
  return true;
}

// A finite nonzero normal extended value (its ten bytes) in the fast form.
bool ExtendedBinaryValue(const Byte in[10], TBinaryValue& V, bool& Negative) {
  UInt64 mantissa;
  std::uint16_t se;
  std::memcpy(&mantissa, in, 8);
  std::memcpy(&se, in + 8, 2);
  const int e = se & 0x7FFF;
  if (e == 0 || e == 0x7FFF || (mantissa >> 63) == 0) return false;
  Negative = (se & 0x8000) != 0;
  V = {mantissa, 16383 + 63 - e, 64};
  return true;
}

bool DoubleBinaryValue(double d, TBinaryValue& V, bool& Negative) {
  UInt64 bits;
  std::memcpy(&bits, &d, 8);
  const int e = static_cast<int>((bits >> 52) & 0x7FF);
  if (e == 0 || e == 0x7FF) return false;
  Negative = (bits >> 63) != 0;
  V = {(bits & ((UInt64{1} << 52) - 1)) | (UInt64{1} << 52), 1075 - e, 53};
  return true;
}

// Plain decimal text "[-]digits[.digits]" of up to 27 significant digits and 26 after the point, as
// the nearest extended value's ten bytes (ties to even). False for any other text or value.
bool FastDecimalToExtended(std::string_view Text, Byte Out[10]) {
  size_t i = 0;
  const bool negative = !Text.empty() && Text[0] == '-';
  if (negative) ++i;
  UInt128 n = 0;
  int significant = 0, after_point = 0;
  bool any = false, point = false;
  for (; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c == '.') {
      if (point) return false;
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    any = true;
    if (point) ++after_point;
    if (n == 0 && c == '0') continue;
    if (++significant > 27) return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (!any || n == 0 || after_point > 26) return false;
  // n / 10^k = (n / 5^k) x 2^-k: the quotient with the numerator shifted to the top carries more than
  // 64 significant bits (5^26 < 2^61), so rounding it to 64 bits is exact.
  UInt64 five = 1;
  for (int k = 0; k < after_point; ++k) five *= 5;
  const auto high = static_cast<UInt64>(n >> 64);
  const int shift = high != 0 ? __builtin_clzll(high) : 64 + __builtin_clzll(static_cast<UInt64>(n));
  n <<= shift;
  UInt128 q = n / five;
  const bool sticky = q * five != n;
  const auto q_high = static_cast<UInt64>(q >> 64);
  const int len = q_high != 0 ? 128 - __builtin_clzll(q_high) : 64 - __builtin_clzll(static_cast<UInt64>(q));
  const int drop = len - 64;
  UInt64 m = static_cast<UInt64>(q >> drop);
  const UInt128 rest = q & ((UInt128{1} << drop) - 1);
  const UInt128 half = UInt128{1} << (drop - 1);
  int exp2 = drop - shift - after_point;  // value = m x 2^exp2
  if (rest > half || (rest == half && (sticky || (m & 1) != 0))) {
    if (++m == 0) {
      m = UInt64{1} << 63;
      ++exp2;
    }
  }
  const int biased = exp2 + 63 + 16383;
  if (biased <= 0 || biased >= 0x7FFF) return false;
  std::memcpy(Out, &m, 8);
  const std::uint16_t se = static_cast<std::uint16_t>(biased | (negative ? 0x8000 : 0));
  std::memcpy(Out + 8, &se, 2);
  return true;
}

std::string SpecialText(bool negative, bool nan) {
  // Signed, so that the text cannot be taken for an identifier named INF or NAN.
  if (nan) return "+NAN";
  return negative ? "-INF" : "+INF";
}

std::string ExtendedText(const Byte in[10]) {
  {
    TBinaryValue fast;
    bool negative;
    char text[64];
    size_t len;
    if (ExtendedBinaryValue(in, fast, negative) && FastShortestText(fast, negative, 15, 21, text, len)) {
      if (std::memchr(text, '.', len) == nullptr) {
        text[len++] = '.';
        text[len++] = '0';
      }
      return std::string(text, len);
    }
  }
  const long double v = ExtendedToLongDouble(in);
  if (!std::isfinite(v)) return SpecialText(std::signbit(v), std::isnan(v));
  CLocaleScope c;
  // Compared with the value's own encoding, not the stored bytes: an unnormal (integer bit clear) has
  // no text that reads back to it, and would get 21 digits where its value needs fewer -- a text that
  // then converts to a binary giving another text.
  Byte canonical[10];
  LongDoubleToExtended(v, canonical);
  char text[64];
  // No count below the shortest one that reads back can read back, so the search starts there: the
  // same text as a search from 15, without the printing and parsing of the counts that cannot do.
  for (int digits = std::max(15, std::min(21, ShortestDigits(v))); digits <= 21; ++digits) {
    std::snprintf(text, sizeof text, "%.*Lg", digits, v);
    Byte back[10];
    LongDoubleToExtended(std::strtold(text, nullptr), back);
    if (std::memcmp(back, canonical, 10) == 0) break;
  }
  // A whole number must still read back as a float, not as an integer value.
  if (std::strpbrk(text, ".eE") == nullptr) return std::string(text) + ".0";
  return text;
}

std::string DoubleText(double v) {
  {
    TBinaryValue fast;
    bool negative;
    char text[64];
    size_t len;
    if (DoubleBinaryValue(v, fast, negative) && FastShortestText(fast, negative, 15, 17, text, len))
      return std::string(text, len);
  }
  if (!std::isfinite(v)) return SpecialText(std::signbit(v), std::isnan(v));
  CLocaleScope c;
  char text[64];
  for (int digits = std::max(15, std::min(17, ShortestDigits(v))); digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  return text;
}

// ExtendedText / DoubleText appended to Out: the common value goes straight in, with no text of its own.
void AppendExtendedText(std::string& Out, const Byte in[10]) {
  TBinaryValue fast;
  bool negative;
  char text[64];
  size_t len;
  if (ExtendedBinaryValue(in, fast, negative) && FastShortestText(fast, negative, 15, 21, text, len)) {
    if (std::memchr(text, '.', len) == nullptr) {
      text[len++] = '.';
      text[len++] = '0';
    }
    Out.append(text, len);
    return;
  }
  Out += ExtendedText(in);
}

void AppendDoubleText(std::string& Out, double v) {
  TBinaryValue fast;
  bool negative;
  char text[64];
  size_t len;
  if (DoubleBinaryValue(v, fast, negative) && FastShortestText(fast, negative, 15, 17, text, len)) {
    Out.append(text, len);
    return;
  }
  Out += DoubleText(v);
}

std::string SingleText(float v) {
  if (!std::isfinite(v)) return SpecialText(std::signbit(v), std::isnan(v));
  CLocaleScope c;
  char text[64];
  for (int digits = 6; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
    if (std::strtof(text, nullptr) == v) break;
  }
  return text;
}

std::string CurrencyText(Int64 scaled) {
  const bool negative = scaled < 0;
  const UInt64 magnitude = negative ? UInt64{0} - static_cast<UInt64>(scaled) : static_cast<UInt64>(scaled);
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
  UInt64 frac = magnitude % 10000;
  if (frac != 0) {
    std::string digits = std::to_string(frac);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text += '.' + digits;
  }
  return text;
}

}  // namespace

namespace objtext {

void AppendIndent(std::string& Out, int Indent) { Out.append(static_cast<size_t>(Indent) * 2, ' '); }

void AppendInteger(std::string& Out, Int64 Value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, Value).ptr;
  Out.append(digits, static_cast<size_t>(end - digits));
}

void AppendExtended(std::string& Out, const Byte (&Bytes)[10]) { AppendExtendedText(Out, Bytes); }

void AppendDate(std::string& Out, double Value) {
  AppendDoubleText(Out, Value);
  Out += 'd';
}

void AppendSingle(std::string& Out, float Value) {
  Out += SingleText(Value);
  Out += 's';
}

void AppendCurrency(std::string& Out, Int64 Scaled) {
  Out += CurrencyText(Scaled);
  Out += 'c';
}

void AppendText(std::string& Out, std::u16string_view S, int Indent) {
  if (S.empty()) {
    Out += "''";
    return;
  }
  // Built in a local buffer handed over in pieces; `line` counts what the current line holds since the
  // text began (or since its last break).
  char buf[512];
  size_t n = 0;
  size_t line = 0;
  bool quoted = false;
  const size_t indent = static_cast<size_t>(Indent + 1) * 2;
  const size_t room = std::min<size_t>(16 + indent, sizeof buf);
  for (size_t i = 0; i < S.size(); ++i) {
    if (n > sizeof buf - room) {
      Out.append(buf, n);
      n = 0;
    }
    if (line >= kStringLineWidth && i > 0) {
      if (quoted) buf[n++] = '\'';
      quoted = false;
      std::memcpy(buf + n, " +\r\n", 4);
      n += 4;
      if (n + indent + 8 > sizeof buf) {
        Out.append(buf, n);
        n = 0;
        AppendIndent(Out, Indent + 1);
      } else {
        std::memset(buf + n, ' ', indent);
        n += indent;
      }
      line = 0;
    }
    const size_t start = n;
    const char16_t c = S[i];
    if (c >= 0x20 && c < 0x7F && c != u'\'') {
      if (!quoted) buf[n++] = '\'';
      quoted = true;
      buf[n++] = static_cast<char>(c);
    } else {
      if (quoted) buf[n++] = '\'';
      quoted = false;
      buf[n++] = '#';
      n = static_cast<size_t>(std::to_chars(buf + n, buf + n + 6, static_cast<unsigned>(c)).ptr - buf);
    }
    line += n - start;
  }
  if (quoted) buf[n++] = '\'';
  Out.append(buf, n);
}

void AppendBinary(std::string& Out, const Byte* Data, size_t Count, int Indent) {
  static const char kHex[] = "0123456789ABCDEF";
  Out += '{';
  for (size_t i = 0; i < Count; ++i) {
    if (i % kBinaryLineBytes == 0) {
      Out += kLineBreak;
      AppendIndent(Out, Indent + 1);
    }
    Out += kHex[Data[i] >> 4];
    Out += kHex[Data[i] & 15];
  }
  Out += '}';
}

}  // namespace objtext

namespace {

// ---- binary → text -----------------------------------------------------------------------------------

class BinaryToText {
 public:
  BinaryToText(TReader& Reader, std::string& Out) : FReader(Reader), FOut(Out) {}

  void Object(int Indent) {
    Enter();
    TFilerFlags flags = 0;
    int child_pos = 0;
    FReader.ReadPrefix(flags, child_pos);
    const std::string class_name = Ident(FReader.ReadStr(), kMaxObjectNameBytes);
    const String raw_name = FReader.ReadStr();
    const std::string name = raw_name.empty() ? std::string() : Ident(raw_name, kMaxObjectNameBytes);
    Indentation(Indent);
    FOut += (flags & ffInherited) ? "inherited " : (flags & ffInline) ? "inline " : "object ";
    if (!name.empty()) FOut += name + ": ";
    FOut += class_name;
    if (flags & ffChildPos) FOut += " [" + std::to_string(child_pos) + "]";
    FOut += kLineBreak;
    while (!FReader.EndOfList()) Property(Indent + 1);
    FReader.ReadListEnd();
    while (!FReader.EndOfList()) Object(Indent + 1);
    FReader.ReadListEnd();
    Indentation(Indent);
    FOut += "end";
    FOut += kLineBreak;
    Leave();
  }

  bool NeedsPreamble() const { return FNonAsciiIdent; }

 private:
  void Property(int Indent) {
    Indentation(Indent);
    const std::string name = Ident(FReader.ReadStr());
    // The words that open or close an object would be read as such, not as a property's name.
    for (const char* word : {"end", "object", "inherited", "inline"})
      if (SameText(Str(name), Str(word))) NotText(u"property name", Str(name));
    FOut += name;
    FOut += " = ";
    Value(Indent);
    FOut += kLineBreak;
  }

 public:
  void Value(int Indent) {
    const TValueType tag = FReader.NextValue();
    switch (tag) {
      case vaList:
        Enter();
        FReader.ReadValue();
        FOut += '(';
        while (!FReader.EndOfList()) {
          FOut += kLineBreak;
          Indentation(Indent + 1);
          Value(Indent + 1);
        }
        FReader.ReadListEnd();
        FOut += ')';
        Leave();
        return;
      case vaInt8:
      case vaInt16:
      case vaInt32:
      case vaInt64: return objtext::AppendInteger(FOut, FReader.ReadInt64());
      case vaExtended: {
        Byte bytes[10];
        FReader.ReadValue();
        FReader.Read(bytes, 10);
        return objtext::AppendExtended(FOut, bytes);
      }
      case vaSingle: {
        float v;
        FReader.ReadValue();
        FReader.Read(&v, 4);
        return objtext::AppendSingle(FOut, v);
      }
      case vaDouble:
      case vaDate: {
        double v;
        FReader.ReadValue();
        FReader.Read(&v, 8);
        AppendDoubleText(FOut, v);
        FOut += tag == vaDate ? 'd' : 'r';
        return;
      }
      case vaCurrency: {
        Int64 v;
        FReader.ReadValue();
        FReader.Read(&v, 8);
        return objtext::AppendCurrency(FOut, v);
      }
      case vaString:
      case vaLString:
      case vaWString:
      case vaUTF8String:
        ReadText(tag);
        return Text(FText, Indent);
      case vaIdent: {
        const String ident = FReader.ReadIdent();
        // These words read back as their own tags, not as an identifier.
        for (const char16_t* word : {u"False", u"True", u"nil", u"Null"})
          if (SameText(ident, word)) NotText(u"identifier", ident);
        FOut += Ident(ident);
        return;
      }
      case vaFalse:
      case vaTrue:
      case vaNil:
      case vaNull: FOut += Ident(FReader.ReadIdent()); return;
      case vaBinary: return Binary(FReader.ReadBinary(), Indent);
      case vaSet: {
        FReader.ReadValue();
        FOut += '[';
        bool first = true;
        for (String name = FReader.ReadStr(); !name.empty(); name = FReader.ReadStr()) {
          if (!first) FOut += ", ";
          FOut += Ident(name);
          first = false;
        }
        FOut += ']';
        return;
      }
      case vaCollection: {
        Enter();
        FReader.ReadValue();
        FOut += '<';
        while (!FReader.EndOfList()) {
          FOut += kLineBreak;
          Indentation(Indent + 1);
          const TValueType next = FReader.NextValue();
          if (next == vaInt8 || next == vaInt16 || next == vaInt32 || next == vaInt64)
            FOut += '[' + std::to_string(FReader.ReadInt64()) + "] ";
          FReader.ReadListBegin();
          FOut += "item";
          FOut += kLineBreak;
          while (!FReader.EndOfList()) Property(Indent + 2);
          FReader.ReadListEnd();
          Indentation(Indent + 1);
          FOut += "end";
        }
        FReader.ReadListEnd();
        FOut += '>';
        Leave();
        return;
      }
    }
    throw EReadError(msg::SInvalidPropertyValue);
  }

 private:
  // The text value of tag Tag into FText, as TReader::ReadString decodes it, into buffers kept between
  // values (a table has a few texts per row).
  void ReadText(TValueType Tag) {
    FReader.ReadValue();
    const Int64 left = FReader.Stream()->Size() - FReader.Position();
    if (Tag == vaWString) {
      std::int32_t count;
      FReader.Read(&count, 4);
      if (count < 0 || static_cast<Int64>(count) * 2 > left - 4) throw EReadError(msg::SReadError);
      FText.resize(static_cast<size_t>(count));
      FReader.Read(FText.data(), static_cast<Int64>(count) * 2);
      return;
    }
    Int64 n;
    if (Tag == vaString) {
      n = FReader.ReadByte();
      if (n > left - 1) throw EReadError(msg::SReadError);
    } else {
      std::int32_t length;
      FReader.Read(&length, 4);
      if (length < 0 || length > left - 4) throw EReadError(msg::SReadError);
      n = length;
    }
    FBytes.resize(static_cast<size_t>(n));
    FReader.Read(FBytes.data(), n);
    if (Tag == vaUTF8String) {
      sys::Utf8ToUtf16(FBytes, FText);
    } else if (std::all_of(FBytes.begin(), FBytes.end(), [](char c) { return static_cast<Byte>(c) < 0x80; })) {
      FText.assign(FBytes.begin(), FBytes.end());
    } else {
      sys::AnsiToUtf16(FBytes, FText, sys::CP_ACP);
    }
  }

  void Text(std::u16string_view S, int Indent) { objtext::AppendText(FOut, S, Indent); }
  void Binary(const std::vector<Byte>& Bytes, int Indent) { objtext::AppendBinary(FOut, Bytes.data(), Bytes.size(), Indent); }

  // Names and identifiers are written bare, so only those the text parser reads back as one
  // identifier can be: a letter or underscore (or any non-ASCII character), then those or digits or dots.
  std::string Ident(const String& S, std::size_t MaxBytes = 255) {
    bool valid = !S.empty() && S[0] != u'.' && !(S[0] >= u'0' && S[0] <= u'9');
    for (char16_t c : S)
      if (!(c >= 0x80 || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
            c == u'_' || c == u'.'))
        valid = false;
    if (!valid) NotText(u"name", S);
    UTF8String utf8 = StringToUTF8(S);
    // The length the text's binary would write: a name read from bytes that were not UTF-8 grows when
    // written back, and past its limit the way back would fail.
    if (utf8.size() > MaxBytes) NotText(u"name", S);
    for (char c : utf8)
      if (static_cast<Byte>(c) >= 0x80) FNonAsciiIdent = true;
    return utf8;
  }

  [[noreturn]] static void NotText(std::u16string_view What, const String& Value) {
    throw EReadError(Format(u"The %s '%s' has no text form", {String(What), Value}));
  }

  void Indentation(int Indent) { objtext::AppendIndent(FOut, Indent); }
  void Enter() {
    if (++FDepth > kMaxNestingDepth) throw EReadError(msg::SInvalidImage);
  }
  void Leave() { --FDepth; }

  TReader& FReader;
  std::string& FOut;
  std::string FBytes;
  std::u16string FText;
  bool FNonAsciiIdent = false;
  int FDepth = 0;
};

// ---- text → binary -----------------------------------------------------------------------------------

enum class Tok { End, Ident, Integer, Float, String, Symbol };

// A number token ("1.5", "2d", "-3e5s", "7.25c") written as TextToBinary writes it; a bad one raises
// TNumberError with the parser's words.
struct TNumberError {
  const char* What;
};

void CheckNumberEnd(const std::string& text, const char* end) {
  if (end == nullptr || *end != '\0' || text.empty()) throw TNumberError{"invalid number"};
}

Int64 ParseCurrency(const std::string& text) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative || (!text.empty() && text[0] == '+')) ++i;
  UInt64 whole = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    whole = whole * 10 + static_cast<UInt64>(text[i] - '0');
    if (whole > static_cast<UInt64>(INT64_MAX) / 10000) throw TNumberError{"currency out of range"};
    digits = true;
  }
  UInt64 frac = 0;
  int places = 0;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (places == 4) throw TNumberError{"currency has more than four decimal places"};
      frac = frac * 10 + static_cast<UInt64>(text[i] - '0');
      ++places;
      digits = true;
    }
  }
  if (!digits || i != text.size()) throw TNumberError{"invalid currency"};
  while (places++ < 4) frac *= 10;
  const UInt64 magnitude = whole * 10000 + frac;
  if (magnitude > static_cast<UInt64>(INT64_MAX) + (negative ? 1 : 0)) throw TNumberError{"currency out of range"};
  return negative ? static_cast<Int64>(UInt64{0} - magnitude) : static_cast<Int64>(magnitude);
}

void WriteNumberToken(std::string& text, TWriter& Writer) {
  char suffix = 0;
  const char last = text.back();
  if (last == 's' || last == 'c' || last == 'd' || last == 'r') {
    suffix = last;
    text.pop_back();
  }
  if (suffix == 'c') return Writer.WriteCurrency(Currency::FromScaled(ParseCurrency(text)));
  if (suffix == 0) {
    Byte bytes[10];
    if (FastDecimalToExtended(text, bytes)) {
      Writer.WriteValue(vaExtended);
      Writer.Write(bytes, 10);
      return;
    }
  } else if ((suffix == 'd' || suffix == 'r') && !text.empty() && text[0] != '+') {
    // The same correctly rounded value the C library reads, without its cost.
    double v;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
    if (ec == std::errc() && end == text.data() + text.size())
      return suffix == 'd' ? Writer.WriteDate(v) : Writer.WriteDouble(v);
  }
  CLocaleScope c;
  char* end = nullptr;
  switch (suffix) {
    case 's': {
      const float v = std::strtof(text.c_str(), &end);
      CheckNumberEnd(text, end);
      return Writer.WriteSingle(v);
    }
    case 'd':
    case 'r': {
      const double v = std::strtod(text.c_str(), &end);
      CheckNumberEnd(text, end);
      return suffix == 'd' ? Writer.WriteDate(v) : Writer.WriteDouble(v);
    }
    default: {
      const long double v = std::strtold(text.c_str(), &end);
      CheckNumberEnd(text, end);
      Byte bytes[10];
      LongDoubleToExtended(v, bytes);
      Writer.WriteValue(vaExtended);
      Writer.Write(bytes, 10);
    }
  }
}

class TextToBinary {
 public:
  TextToBinary(std::string_view Text, TWriter& Writer) : FText(Text), FWriter(Writer) { Next(); }

  void Root() {
    FWriter.WriteSignature();
    Object();
  }

 private:
  void Object() {
    Enter();
    TFilerFlags flags = 0;
    if (IsWord("inherited"))
      flags = ffInherited;
    else if (IsWord("inline"))
      flags = ffInline;
    else if (!IsWord("object"))
      Error("object expected");
    Next();
    String name;
    String class_name = ExpectIdent();
    if (IsSymbol(':')) {
      Next();
      name = class_name;
      class_name = ExpectIdent();
    }
    int child_pos = 0;
    if (IsSymbol('[')) {
      Next();
      child_pos = static_cast<int>(ExpectInteger());
      flags |= ffChildPos;
      ExpectSymbol(']');
    }
    if (flags != 0) {
      FWriter.WriteByte(static_cast<Byte>(kFilerPrefixMask | flags));
      if (flags & ffChildPos) FWriter.WriteInteger(child_pos);
    }
    FWriter.WriteObjectName(class_name);
    FWriter.WriteObjectName(name);
    while (!IsWord("end") && !IsWord("object") && !IsWord("inherited") && !IsWord("inline")) Property();
    FWriter.WriteListEnd();
    while (!IsWord("end")) Object();
    FWriter.WriteListEnd();
    Next();
    Leave();
  }

  void Property() {
    FWriter.WriteStr(ExpectIdent());
    ExpectSymbol('=');
    Value();
  }

  void Value() {
    switch (FTok) {
      case Tok::Integer: {
        Int64 v = 0;
        const auto [end, ec] = std::from_chars(FToken.data(), FToken.data() + FToken.size(), v);
        if ((ec != std::errc() || end != FToken.data() + FToken.size()) && !TryStrToInt64(Str(FToken), v))
          Error("integer out of range");
        FWriter.WriteInteger(v);
        Next();
        return;
      }
      case Tok::Float: return Number();
      case Tok::String: {
        const String s = StringValue();
        FWriter.WriteString(s);
        return;
      }
      case Tok::Ident: {
        if (IsWord("False")) FWriter.WriteValue(vaFalse);
        else if (IsWord("True")) FWriter.WriteValue(vaTrue);
        else if (IsWord("nil")) FWriter.WriteValue(vaNil);
        else FWriter.WriteIdent(UTF8ToString(FToken));
        Next();
        return;
      }
      case Tok::Symbol:
        break;
      case Tok::End: Error("value expected");
    }
    if ((FToken == "-" || FToken == "+") && SignedSpecialFollows()) {
      const std::string sign = FToken;
      Next();
      FToken = sign + FToken;
      return Number();
    }
    switch (FToken[0]) {
      case '(':
        Enter();
        Next();
        FWriter.WriteListBegin();
        while (!IsSymbol(')')) {
          // vaNull closes a list: a Null inside one would end it early and corrupt what follows.
          if (IsWord("Null")) Error("Null is not allowed in a list");
          Value();
        }
        FWriter.WriteListEnd();
        Next();
        Leave();
        return;
      case '[':
        Next();
        FWriter.WriteValue(vaSet);
        while (!IsSymbol(']')) {
          FWriter.WriteStr(ExpectIdent());
          if (IsSymbol(',')) Next();
          else if (!IsSymbol(']')) Error("',' or ']' expected");
        }
        FWriter.WriteByte(0);
        Next();
        return;
      case '{': return BinaryValue();
      case '<':
        Enter();
        Next();
        FWriter.WriteValue(vaCollection);
        while (!IsSymbol('>')) {
          if (IsSymbol('[')) {
            Next();
            FWriter.WriteInteger(ExpectInteger());
            ExpectSymbol(']');
          }
          if (!IsWord("item")) Error("item expected");
          Next();
          FWriter.WriteListBegin();
          while (!IsWord("end")) Property();
          FWriter.WriteListEnd();
          Next();
        }
        FWriter.WriteListEnd();
        Next();
        Leave();
        return;
      default: Error("value expected");
    }
  }

  void Number() {
    FNumber = FToken;
    Next();
    try {
      WriteNumberToken(FNumber, FWriter);
    } catch (const TNumberError& e) {
      Error(e.What);
    }
  }

  // Runs of 'quoted' text and #nnn codes, joined directly or across lines with "+".
  String StringValue() {
    String s;
    for (;;) {
      s += FString;
      Next();
      // "+INF" and "+NAN" after a text in a list are values of their own, not a continuation.
      if (IsSymbol('+') && !SignedSpecialFollows()) {
        Next();
        if (FTok != Tok::String) Error("string expected after '+'");
        continue;
      }
      // Only "+" joins: a text on the next line is the next value of the list.
      break;
    }
    return s;
  }

  void BinaryValue() {
    // Hex digits up to '}', blanks between them ignored; read straight from the text.
    std::vector<Byte> bytes;
    int pending = -1;
    for (;; ++FPos) {
      if (FPos >= FText.size()) Error("'}' expected");
      const char c = FText[FPos];
      if (c == '}') break;
      if (c == '\n') ++FLine;
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
      int d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      if (d < 0) Error("invalid binary value");
      if (pending < 0) {
        pending = d;
      } else {
        bytes.push_back(static_cast<Byte>(pending * 16 + d));
        pending = -1;
      }
    }
    if (pending >= 0) Error("odd number of hex digits");
    ++FPos;
    FWriter.WriteBinary(bytes.data(), static_cast<Int64>(bytes.size()));
    Next();
  }

  // The current token is a sign glued to INF or NAN.
  bool SignedSpecialFollows() const {
    return FTok == Tok::Symbol && FPos < FText.size() && (FText[FPos] == 'I' || FText[FPos] == 'N');
  }

  // ---- tokens ----
  static bool IdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || static_cast<Byte>(c) >= 0x80;
  }
  static bool IdentPart(char c) { return IdentStart(c) || (c >= '0' && c <= '9') || c == '.'; }
  static bool Digit(char c) { return c >= '0' && c <= '9'; }

  void Next() {
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (c == '\n') ++FLine;
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f') break;
      ++FPos;
    }
    FToken.clear();
    if (FPos >= FText.size()) {
      FTok = Tok::End;
      return;
    }
    const size_t start = FPos;
    const char c = FText[FPos];
    if (IdentStart(c)) {
      while (FPos < FText.size() && IdentPart(FText[FPos])) ++FPos;
      FToken.assign(FText.substr(start, FPos - start));
      FTok = Tok::Ident;
      return;
    }
    if (Digit(c) || ((c == '-' || c == '+') && FPos + 1 < FText.size() && (Digit(FText[FPos + 1]) || FText[FPos + 1] == '.'))) {
      ++FPos;
      bool is_float = false;
      while (FPos < FText.size()) {
        const char d = FText[FPos];
        if (Digit(d)) {
          ++FPos;
        } else if (d == '.' || d == 'e' || d == 'E') {
          is_float = true;
          ++FPos;
          if ((d == 'e' || d == 'E') && FPos < FText.size() && (FText[FPos] == '-' || FText[FPos] == '+')) ++FPos;
        } else {
          break;
        }
      }
      if (FPos < FText.size() && (FText[FPos] == 's' || FText[FPos] == 'c' || FText[FPos] == 'd' || FText[FPos] == 'r')) {
        is_float = true;
        ++FPos;
      }
      FToken.assign(FText.substr(start, FPos - start));
      FTok = is_float ? Tok::Float : Tok::Integer;
      return;
    }
    if (c == '\'' || c == '#') {
      FString.clear();
      while (FPos < FText.size() && (FText[FPos] == '\'' || FText[FPos] == '#')) {
        if (FText[FPos] == '#') {
          ++FPos;
          unsigned code = 0;
          size_t n = 0;
          while (FPos < FText.size() && Digit(FText[FPos])) {
            code = code * 10 + static_cast<unsigned>(FText[FPos++] - '0');
            if (code > 0xFFFF) Error("character code out of range");
            ++n;
          }
          if (n == 0) Error("character code expected");
          FString += static_cast<char16_t>(code);
          continue;
        }
        // A quoted run: '' is an apostrophe; the bytes inside are UTF-8 when someone typed them.
        ++FPos;
        {
          // The common run, plain ASCII up to its closing quote, goes straight in.
          size_t stop = FPos;
          bool ascii = true;
          while (stop < FText.size() && FText[stop] != '\'' && FText[stop] != '\n' && FText[stop] != '\r') {
            ascii = ascii && static_cast<Byte>(FText[stop]) < 0x80;
            ++stop;
          }
          if (ascii && stop < FText.size() && FText[stop] == '\'' &&
              (stop + 1 >= FText.size() || FText[stop + 1] != '\'')) {
            FString.append(FText.begin() + static_cast<std::ptrdiff_t>(FPos),
                           FText.begin() + static_cast<std::ptrdiff_t>(stop));
            FPos = stop + 1;
            continue;
          }
        }
        std::string run;
        for (;;) {
          if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r') Error("unterminated string");
          if (FText[FPos] == '\'') {
            if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
              run += '\'';
              FPos += 2;
              continue;
            }
            ++FPos;
            break;
          }
          run += FText[FPos++];
        }
        FString += UTF8ToString(run);
      }
      FTok = Tok::String;
      return;
    }
    ++FPos;
    FToken.assign(1, c);
    FTok = Tok::Symbol;
  }

  bool IsWord(const char* word) const {
    if (FTok != Tok::Ident) return false;
    // ASCII words, compared without case and without building texts.
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
      if (i >= FToken.size()) return false;
      char a = FToken[i], b = word[i];
      if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
      if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
      if (a != b) return false;
    }
    return i == FToken.size();
  }
  bool IsSymbol(char c) const { return FTok == Tok::Symbol && FToken[0] == c; }
  void ExpectSymbol(char c) {
    if (!IsSymbol(c)) Error(std::string("'") + c + "' expected");
    Next();
  }
  String ExpectIdent() {
    if (FTok != Tok::Ident) Error("identifier expected");
    String s = UTF8ToString(FToken);
    Next();
    return s;
  }
  Int64 ExpectInteger() {
    Int64 v = 0;
    if (FTok != Tok::Integer || !TryStrToInt64(Str(FToken), v)) Error("integer expected");
    Next();
    return v;
  }
  [[noreturn]] void Error(const std::string& what) const {
    throw EParserError(Format(u"Line %d: %s", {FLine, Str(what)}));
  }
  void Enter() {
    if (++FDepth > kMaxNestingDepth) Error("nesting too deep");
  }
  void Leave() { --FDepth; }

  std::string_view FText;
  TWriter& FWriter;
  size_t FPos = 0;
  int FLine = 1;
  Tok FTok = Tok::End;
  std::string FToken;
  std::string FNumber;
  String FString;
  int FDepth = 0;
};

constexpr Byte kUtf8Preamble[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

void ObjectBinaryToText(TStream* Input, TStream* Output) {
  // Nothing reaches Output unless the whole object converted; a bad stream leaves Input where it was.
  const Int64 start = Input->Position();
  std::string text;
  // The text of a typical table is two to three times its binary: one allocation, no regrowth copies.
  text.reserve(static_cast<size_t>(std::max<Int64>(Input->Size() - start, 0)) * 3);
  bool preamble = false;
  try {
    TReader reader(Input, kDefaultFilerBufferSize);
    reader.ReadSignature();
    BinaryToText converter(reader, text);
    converter.Object(0);
    preamble = converter.NeedsPreamble();
  } catch (...) {
    Input->SetPosition(start);
    throw;
  }
  if (preamble) Output->WriteBuffer(kUtf8Preamble, 3);
  Output->WriteBuffer(text.data(), static_cast<Int64>(text.size()));
}

void objtext::AppendValue(std::string& Out, TStream* Input, int Indent) {
  TReader reader(Input, kDefaultFilerBufferSize);
  BinaryToText converter(reader, Out);
  converter.Value(Indent);
  reader.FlushBuffer();
}

void objtext::WriteNumber(std::string_view Token, TWriter& Writer) {
  std::string text(Token);
  if (text.empty()) throw EParserError(u"invalid number");
  try {
    WriteNumberToken(text, Writer);
  } catch (const TNumberError& e) {
    throw EParserError(Str(e.What));
  }
}

void ObjectTextToBinary(TStream* Input, TStream* Output) {
  const Int64 start = Input->Position();
  const Int64 size = Input->Size() - start;
  std::string text(static_cast<size_t>(std::max<Int64>(size, 0)), '\0');
  TMemoryStream binary;
  // The binary of a table is about half its text: room for it up front, no regrowth copies.
  binary.SetCapacity(std::max<Int64>(size, 0) / 2 + 4096);
  try {
    if (!text.empty()) Input->ReadBuffer(text.data(), static_cast<Int64>(text.size()));
    std::string_view view(text);
    if (view.size() >= 3 && std::memcmp(view.data(), kUtf8Preamble, 3) == 0) view.remove_prefix(3);
    TWriter writer(&binary, kDefaultFilerBufferSize);
    TextToBinary converter(view, writer);
    converter.Root();
    writer.FlushBuffer();
  } catch (...) {
    Input->SetPosition(start);
    throw;
  }
  binary.SaveToStream(Output);
}

TStreamOriginalFormat TestStreamFormat(TStream* Stream) {
  const Int64 pos = Stream->Position();
  Byte b[4] = {0, 0, 0, 0};
  Int64 got = 0;
  try {
    got = Stream->Read(b, 4);
  } catch (...) {
    Stream->SetPosition(pos);
    throw;
  }
  Stream->SetPosition(pos);
  (void)got;
  if (b[0] == 0xFF || std::memcmp(b, kSignature, 4) == 0 || (b[0] | b[1] | b[2] | b[3]) == 0)
    return TStreamOriginalFormat::sofBinary;
  switch (b[0]) {
    case 9:
    case 11:
    case 13:
    case ' ':
    case 'i':
    case 'I':
    case 'o':
    case 'O': return TStreamOriginalFormat::sofText;
    default: break;
  }
  if (std::memcmp(b, kUtf8Preamble, 3) == 0) return TStreamOriginalFormat::sofUTF8Text;
  return TStreamOriginalFormat::sofUnknown;
}
