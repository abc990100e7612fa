// Format with the platform's semantics: %s %d %u %x %f %g %e %n %m, "%.nd" minimum digits, width and
// precision, the "-" flag, "*" taken from the arguments, and argument indexes ("%0:s"). An argument of
// the wrong kind for its conversion raises EConvertError, as the platform does.
//
// Directive: "%" [index ":"] ["-"] [width] ["." precision] type; width, precision and index may be "*"
// (taken from the next argument, which must be an integer). Types:
//   d  Int32/Int64, precision = minimum digits (zero padded after the sign)
//   u  as d, a negative Int32 shown as its 32-bit unsigned value, a negative Int64 as 64-bit
//   x  upper-case hex, precision = minimum digits, negative values as two's complement
//   e  scientific "-d.ddd…E+ddd", precision = significant digits (default 15)
//   f  fixed, precision = decimals (default 2);  n  as f with thousand separators
//   g  general, precision = significant digits (default 15), shortest of fixed/scientific
//   m  money: the settings' currency string and patterns, precision = decimals (default CurrencyDecimals)
//   s  String, 8-bit string (system code page) or Char; precision = at most that many characters
//   p  pointer, 16 upper-case hex digits
// e f g n m accept Extended (double) and Currency arguments only. A missing argument raises
// EConvertError "No argument for format '%s'", a wrong kind or unknown type
// "Format '%s' invalid or incompatible with argument" (the %s being the whole format string).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "platform/rtl/Currency.h"
#include "platform/rtl/String.h"

struct TFormatSettings;

// One argument of Format. Holds a view of a text argument: it lives only for the call.
struct TVarRec {
  enum class Kind { Integer, Int64, UInt64, Extended, Currency, Boolean, Char, WideString, AnsiString, Pointer };
  Kind kind;
  union {
    std::int32_t i32;
    Int64 i64;
    UInt64 u64;
    double d;
    bool b;
    char16_t ch;
    const void* p;
  };
  std::u16string_view ws;
  std::string_view as;

  TVarRec(int v) : kind(Kind::Integer), i32(v) {}
  TVarRec(unsigned v) : kind(Kind::Int64), i64(v) {}
  TVarRec(long v) : kind(Kind::Int64), i64(v) {}
  TVarRec(long long v) : kind(Kind::Int64), i64(v) {}
  TVarRec(unsigned long v) : kind(Kind::UInt64), u64(v) {}
  TVarRec(unsigned long long v) : kind(Kind::UInt64), u64(v) {}
  TVarRec(double v) : kind(Kind::Extended), d(v) {}
  TVarRec(bool v) : kind(Kind::Boolean), b(v) {}
  TVarRec(char16_t v) : kind(Kind::Char), ch(v) {}
  TVarRec(const String& v) : kind(Kind::WideString), p(nullptr), ws(v) {}
  TVarRec(std::u16string_view v) : kind(Kind::WideString), p(nullptr), ws(v) {}
  TVarRec(const char16_t* v) : kind(Kind::WideString), p(nullptr), ws(v) {}
  // 8-bit text is taken to hold bytes of the system code page.
  TVarRec(const AnsiString& v) : kind(Kind::AnsiString), p(nullptr), as(v) {}
  TVarRec(const char* v) : kind(Kind::AnsiString), p(nullptr), as(v) {}
  TVarRec(const void* v) : kind(Kind::Pointer), p(v) {}
  TVarRec(Currency v) : kind(Kind::Currency), i64(v.Scaled) {}

  static TVarRec FromCurrency(Int64 scaled) {
    TVarRec r(scaled);
    r.kind = Kind::Currency;
    return r;
  }
};

// Uses the process-wide FormatSettings().
String Format(std::u16string_view Fmt, std::initializer_list<TVarRec> Args);
String Format(std::u16string_view Fmt, std::initializer_list<TVarRec> Args, const TFormatSettings& Settings);
// For callers that collect arguments at run time.
String Format(std::u16string_view Fmt, const TVarRec* Args, std::size_t ArgCount, const TFormatSettings& Settings);
