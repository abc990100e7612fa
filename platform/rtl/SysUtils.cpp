#include "platform/rtl/SysUtils.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace {
char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
bool IsSpaceOrControl(char16_t c) { return c <= u' '; }
}  // namespace

String UpperCase(std::u16string_view S) {
  String r(S);
  for (auto& c : r) c = AsciiUpper(c);
  return r;
}

String LowerCase(std::u16string_view S) {
  String r(S);
  for (auto& c : r) c = AsciiLower(c);
  return r;
}

int CompareText(std::u16string_view S1, std::u16string_view S2) {
  const size_t n = std::min(S1.size(), S2.size());
  for (size_t i = 0; i < n; ++i) {
    const int a = AsciiUpper(S1[i]);
    const int b = AsciiUpper(S2[i]);
    if (a != b) return a - b;
  }
  return static_cast<int>(S1.size()) - static_cast<int>(S2.size());
}

bool SameText(std::u16string_view S1, std::u16string_view S2) {
  return S1.size() == S2.size() && CompareText(S1, S2) == 0;
}

int CompareStr(std::u16string_view S1, std::u16string_view S2) {
  const size_t n = std::min(S1.size(), S2.size());
  for (size_t i = 0; i < n; ++i)
    if (S1[i] != S2[i]) return static_cast<int>(S1[i]) - static_cast<int>(S2[i]);
  return static_cast<int>(S1.size()) - static_cast<int>(S2.size());
}

bool SameStr(std::u16string_view S1, std::u16string_view S2) { return S1 == S2; }

String TrimLeft(std::u16string_view S) {
  size_t b = 0;
  while (b < S.size() && IsSpaceOrControl(S[b])) ++b;
  return String(S.substr(b));
}

String TrimRight(std::u16string_view S) {
  size_t e = S.size();
  while (e > 0 && IsSpaceOrControl(S[e - 1])) --e;
  return String(S.substr(0, e));
}

String AnsiUpperCase(std::u16string_view S) { return sys::UpperCaseW(S); }
String AnsiLowerCase(std::u16string_view S) { return sys::LowerCaseW(S); }
AnsiString AnsiUpperCase(std::string_view S) { return sys::UpperCaseA(S); }
AnsiString AnsiLowerCase(std::string_view S) { return sys::LowerCaseA(S); }

int AnsiCompareText(std::u16string_view S1, std::u16string_view S2) {
  return sys::CompareStringW(sys::LOCALE_USER_DEFAULT, sys::NORM_IGNORECASE, S1, S2) - 2;
}

int AnsiCompareStr(std::u16string_view S1, std::u16string_view S2) {
  return sys::CompareStringW(sys::LOCALE_USER_DEFAULT, 0, S1, S2) - 2;
}

bool AnsiSameText(std::u16string_view S1, std::u16string_view S2) { return AnsiCompareText(S1, S2) == 0; }
bool AnsiSameStr(std::u16string_view S1, std::u16string_view S2) { return AnsiCompareStr(S1, S2) == 0; }

String AnsiToString(std::string_view S) { return sys::AnsiToUtf16(S); }
AnsiString StringToAnsi(std::u16string_view S) { return sys::Utf16ToAnsi(S); }

String Trim(std::u16string_view S) {
  size_t b = 0, e = S.size();
  while (b < e && IsSpaceOrControl(S[b])) ++b;
  while (e > b && IsSpaceOrControl(S[e - 1])) --e;
  return String(S.substr(b, e - b));
}

String IntToStr(Int64 Value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value);
  return String(buf, end);
}

String UIntToStr(UInt64 Value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value);
  return String(buf, end);
}

String IntToHex(UInt64 Value, int Digits) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value, 16);
  String r;
  const int len = static_cast<int>(end - buf);
  if (Digits > len) r.append(static_cast<size_t>(Digits - len), u'0');
  for (const char* p = buf; p < end; ++p) r += static_cast<char16_t>((*p >= 'a' && *p <= 'f') ? *p - 32 : *p);
  return r;
}

String IntToHex(Int64 Value, int Digits) { return IntToHex(static_cast<UInt64>(Value), Digits); }
String IntToHex(int Value, int Digits) { return IntToHex(UInt64{static_cast<std::uint32_t>(Value)}, Digits); }

bool TryStrToInt64(std::u16string_view S, Int64& Value) {
  // Leading and trailing blanks are allowed, a sign, decimal digits, or hex after '$' or "0x".
  size_t i = 0, e = S.size();
  while (i < e && S[i] == u' ') ++i;
  while (e > i && S[e - 1] == u' ') --e;
  if (i == e) return false;
  bool negative = false;
  if (S[i] == u'-' || S[i] == u'+') {
    negative = S[i] == u'-';
    ++i;
  }
  int base = 10;
  if (i < e && S[i] == u'$') {
    base = 16;
    ++i;
  } else if (i + 1 < e && S[i] == u'0' && (S[i + 1] == u'x' || S[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i == e) return false;
  UInt64 acc = 0;
  const UInt64 limit = negative ? UInt64(std::numeric_limits<Int64>::max()) + 1 : UInt64(std::numeric_limits<Int64>::max());
  for (; i < e; ++i) {
    const char16_t c = S[i];
    int d;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else return false;
    if (acc > (limit - d) / base) return false;
    acc = acc * base + d;
  }
  Value = negative ? static_cast<Int64>(0 - acc) : static_cast<Int64>(acc);
  return true;
}

bool TryStrToInt(std::u16string_view S, int& Value) {
  Int64 v;
  if (!TryStrToInt64(S, v) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return false;
  Value = static_cast<int>(v);
  return true;
}

int StrToInt(std::u16string_view S) {
  int v;
  if (!TryStrToInt(S, v)) throw EConvertError(Format(msg::SInvalidInteger, {S}));
  return v;
}

Int64 StrToInt64(std::u16string_view S) {
  Int64 v;
  if (!TryStrToInt64(S, v)) throw EConvertError(Format(msg::SInvalidInteger, {S}));
  return v;
}

Int64 StrToInt64Def(std::u16string_view S, Int64 Default) {
  Int64 v;
  return TryStrToInt64(S, v) ? v : Default;
}

int StrToIntDef(std::u16string_view S, int Default) {
  int v;
  return TryStrToInt(S, v) ? v : Default;
}

String BoolToStr(bool B, bool UseBoolStrs) {
  if (UseBoolStrs) return B ? u"True" : u"False";
  return B ? u"-1" : u"0";
}

bool TryStrToBool(std::u16string_view S, bool& Value) {
  const String t = Trim(S);
  if (SameText(t, u"True")) {
    Value = true;
    return true;
  }
  if (SameText(t, u"False")) {
    Value = false;
    return true;
  }
  double d;
  if (TryStrToFloat(t, d) && d == d) {
    Value = d != 0;
    return true;
  }
  return false;
}

bool StrToBool(std::u16string_view S) {
  bool v;
  if (!TryStrToBool(S, v)) throw EConvertError(Format(msg::SInvalidBoolean, {S}));
  return v;
}

bool StrToBoolDef(std::u16string_view S, bool Default) {
  bool v;
  return TryStrToBool(S, v) ? v : Default;
}
