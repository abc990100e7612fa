#include "platform/rtl/SysUtils.h"

#include <charconv>
#include <limits>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"

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
  if (!TryStrToInt(S, v)) throw EConvertError(Format(u"'%s' is not a valid integer value", {S}));
  return v;
}

Int64 StrToInt64(std::u16string_view S) {
  Int64 v;
  if (!TryStrToInt64(S, v)) throw EConvertError(Format(u"'%s' is not a valid integer value", {S}));
  return v;
}

int StrToIntDef(std::u16string_view S, int Default) {
  int v;
  return TryStrToInt(S, v) ? v : Default;
}
