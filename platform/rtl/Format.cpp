#include "platform/rtl/Format.h"

#include <charconv>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FloatDecimal.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

[[noreturn]] void InvalidFormat(std::u16string_view fmt) {
  String m = msg::SInvalidFormat;
  const size_t at = m.find(u"%s");
  m.replace(at, 2, fmt);
  throw EConvertError(m);
}

[[noreturn]] void ArgumentMissing(std::u16string_view fmt) {
  String m = msg::SArgumentMissing;
  const size_t at = m.find(u"%s");
  m.replace(at, 2, fmt);
  throw EConvertError(m);
}

void AppendAscii(String& out, const char* first, const char* last) {
  for (const char* p = first; p < last; ++p) out += static_cast<char16_t>(*p);
}

template <typename T>
void AppendNumber(String& out, T value, int base, bool upper = true) {
  char buf[72];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, base);
  (void)ec;
  if (upper)
    for (char* p = buf; p < end; ++p)
      if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 32);
  AppendAscii(out, buf, end);
}

// Digits of an unsigned magnitude with at least `minDigits` digits, after an optional minus.
String IntegerText(bool negative, UInt64 magnitude, int base, int minDigits) {
  String digits;
  AppendNumber(digits, magnitude, base);
  if (minDigits > static_cast<int>(digits.size())) digits.insert(0, minDigits - digits.size(), u'0');
  return negative ? u'-' + digits : digits;
}

UInt64 Magnitude(Int64 v) { return v < 0 ? 0 - static_cast<UInt64>(v) : static_cast<UInt64>(v); }

}  // namespace

String Format(std::u16string_view Fmt, std::initializer_list<TVarRec> Args) {
  return Format(Fmt, Args.begin(), Args.size(), FormatSettings());
}

String Format(std::u16string_view Fmt, std::initializer_list<TVarRec> Args, const TFormatSettings& Settings) {
  return Format(Fmt, Args.begin(), Args.size(), Settings);
}

String Format(std::u16string_view Fmt, const TVarRec* Args, std::size_t ArgCount, const TFormatSettings& Settings) {
  String out;
  out.reserve(Fmt.size() + 16);
  size_t next = 0;  // the next argument
  auto fetch = [&]() -> const TVarRec& {
    if (next >= ArgCount) ArgumentMissing(Fmt);
    return Args[next++];
  };
  // Widths and precisions are held to the bound of literal ones whichever way they arrive: negating
  // INT_MIN is undefined, and INT_MAX would build a string of 2^31 characters.
  constexpr int kMaxWidth = 1'000'000;
  auto fetchInt = [&]() -> int {
    const TVarRec& a = fetch();
    if (a.kind != TVarRec::Kind::Integer) InvalidFormat(Fmt);
    if (a.i32 > kMaxWidth || a.i32 < -kMaxWidth) InvalidFormat(Fmt);
    return a.i32;
  };
  const size_t n = Fmt.size();
  size_t i = 0;
  while (i < n) {
    // Literal text up to the next '%'.
    const size_t pct = Fmt.find(u'%', i);
    if (pct == std::u16string_view::npos) {
      out.append(Fmt.substr(i));
      break;
    }
    out.append(Fmt.substr(i, pct - i));
    i = pct + 1;
    if (i >= n) InvalidFormat(Fmt);
    if (Fmt[i] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    // [index ":"] ["-"] [width] ["." prec] type
    auto readNumber = [&](int& value) -> bool {  // digits or '*'; false when neither
      if (i < n && Fmt[i] == u'*') {
        value = fetchInt();
        ++i;
        return true;
      }
      if (i >= n || Fmt[i] < u'0' || Fmt[i] > u'9') return false;
      value = 0;
      while (i < n && Fmt[i] >= u'0' && Fmt[i] <= u'9') {
        value = value * 10 + (Fmt[i] - u'0');
        if (value > kMaxWidth) InvalidFormat(Fmt);
        ++i;
      }
      return true;
    };
    int width = 0, precision = -1, number = 0;
    bool left = false;
    bool have = readNumber(number);
    if (have && i < n && Fmt[i] == u':') {
      if (number < 0) InvalidFormat(Fmt);
      next = static_cast<size_t>(number);
      ++i;
      have = false;
    }
    if (!have) {
      if (i < n && Fmt[i] == u'-') {
        left = true;
        ++i;
      }
      have = readNumber(number);
    }
    if (have) width = number;
    if (width < 0) {  // a negative width from '*' justifies left
      left = true;
      width = -width;
    }
    if (i < n && Fmt[i] == u'.') {
      ++i;
      if (!readNumber(precision)) precision = 0;
      if (precision < 0) precision = -1;  // a negative '*' precision means the default
    }
    if (i >= n) InvalidFormat(Fmt);
    char16_t type = Fmt[i++];
    if (type >= u'A' && type <= u'Z') type = static_cast<char16_t>(type + 32);

    String text;
    using K = TVarRec::Kind;
    switch (type) {
      case u'd': {
        const TVarRec& a = fetch();
        if (a.kind == K::Integer) text = IntegerText(a.i32 < 0, Magnitude(a.i32), 10, precision);
        else if (a.kind == K::Int64) text = IntegerText(a.i64 < 0, Magnitude(a.i64), 10, precision);
        else if (a.kind == K::UInt64) text = IntegerText(false, a.u64, 10, precision);
        else InvalidFormat(Fmt);
        break;
      }
      case u'u': {
        const TVarRec& a = fetch();
        if (a.kind == K::Integer) text = IntegerText(false, static_cast<std::uint32_t>(a.i32), 10, precision);
        else if (a.kind == K::Int64) text = IntegerText(false, static_cast<UInt64>(a.i64), 10, precision);
        else if (a.kind == K::UInt64) text = IntegerText(false, a.u64, 10, precision);
        else InvalidFormat(Fmt);
        break;
      }
      case u'x': {
        const TVarRec& a = fetch();
        if (a.kind == K::Integer) text = IntegerText(false, static_cast<std::uint32_t>(a.i32), 16, precision);
        else if (a.kind == K::Int64) text = IntegerText(false, static_cast<UInt64>(a.i64), 16, precision);
        else if (a.kind == K::UInt64) text = IntegerText(false, a.u64, 16, precision);
        else InvalidFormat(Fmt);
        break;
      }
      case u'e':
      case u'f':
      case u'g':
      case u'n':
      case u'm': {
        const TVarRec& a = fetch();
        rtl_detail::TDecimal d;
        if (a.kind == K::Extended) d = rtl_detail::DecimalFromDouble(a.d);
        else if (a.kind == K::Currency) d = rtl_detail::DecimalFromScaled(a.i64, 4);
        else InvalidFormat(Fmt);
        const int fixedPrecision = a.kind == K::Currency ? 19 : 18;  // every digit of a Currency
        switch (type) {
          case u'e':
            text = rtl_detail::DecimalToText(d, TFloatFormat::ffExponent, precision < 0 ? 15 : precision, 3, Settings);
            break;
          case u'f':
            text = rtl_detail::DecimalToText(d, TFloatFormat::ffFixed, fixedPrecision, precision < 0 ? 2 : precision, Settings);
            break;
          case u'g':
            text = rtl_detail::DecimalToText(d, TFloatFormat::ffGeneral, precision < 0 ? 15 : precision, 3, Settings);
            break;
          case u'n':
            text = rtl_detail::DecimalToText(d, TFloatFormat::ffNumber, fixedPrecision, precision < 0 ? 2 : precision, Settings);
            break;
          default:
            text = rtl_detail::DecimalToText(d, TFloatFormat::ffCurrency, fixedPrecision,
                                             precision < 0 ? Settings.CurrencyDecimals : precision, Settings);
            break;
        }
        break;
      }
      case u's': {
        const TVarRec& a = fetch();
        if (a.kind == K::WideString) text = a.ws;
        else if (a.kind == K::AnsiString) text = sys::AnsiToUtf16(a.as);
        else if (a.kind == K::Char) text = String(1, a.ch);
        else InvalidFormat(Fmt);
        if (precision >= 0 && static_cast<size_t>(precision) < text.size()) text.resize(precision);
        break;
      }
      case u'p': {
        const TVarRec& a = fetch();
        if (a.kind != K::Pointer) InvalidFormat(Fmt);
        text = IntegerText(false, reinterpret_cast<std::uintptr_t>(a.p), 16, 16);
        break;
      }
      default:
        InvalidFormat(Fmt);
    }
    if (width > 0 && static_cast<size_t>(width) > text.size()) {
      const size_t pad = width - text.size();
      if (left) {
        out += text;
        out.append(pad, u' ');
      } else {
        out.append(pad, u' ');
        out += text;
      }
    } else {
      out += text;
    }
  }
  return out;
}
