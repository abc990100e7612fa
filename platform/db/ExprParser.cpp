#include "platform/db/ExprParser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/db/DataSet.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

// Deeper nesting than this (parentheses, NOT NOT ..., - - ...) is refused rather than risking the stack.
constexpr int kMaxNesting = 200;

[[noreturn]] void ParseError(const String& What, int Position) {
  throw EExprParserError(What + u" at position " + IntToStr(Position));
}
// The platform's own message, exactly, without a position.
[[noreturn]] void NullError() { throw EExprParserError(String(msg::SExprBadNullTest)); }
[[noreturn]] void ConstError(const char16_t* Message, const String& TypeName = String()) {
  throw EExprParserError(TypeName.empty() ? String(Message) : Format(Message, {TypeName}));
}

bool IsTextType(TFieldType T) {
  switch (T) {
    case ftString: case ftFixedChar: case ftGuid: case ftWideString: case ftFixedWideChar:
    case ftMemo: case ftFmtMemo: case ftWideMemo:
      return true;
    default:
      return false;
  }
}
bool IsWideTextType(TFieldType T) { return T == ftWideString || T == ftFixedWideChar || T == ftWideMemo; }
bool IsIntegerType(TFieldType T) {
  switch (T) {
    case ftSmallint: case ftWord: case ftShortint: case ftByte: case ftInteger: case ftAutoInc:
    case ftLargeint: case ftLongWord:
      return true;
    default:
      return false;
  }
}

void PutU16(std::vector<Byte>& Out, std::size_t At, unsigned V) {
  Out[At] = static_cast<Byte>(V);
  Out[At + 1] = static_cast<Byte>(V >> 8);
}
void AppendBytes(std::vector<Byte>& Out, const void* P, std::size_t N) {
  const Byte* b = static_cast<const Byte*>(P);
  Out.insert(Out.end(), b, b + N);
}
template <class T>
void AppendValue(std::vector<Byte>& Out, T V) {
  AppendBytes(Out, &V, sizeof V);  // the build's targets are little-endian, as the format is
}

// A number as written: integral (no point, no exponent, fits Int64) or not.
struct TNumber {
  bool Integral = false;
  Int64 I = 0;
  double D = 0;
};
TNumber ParseNumberText(std::u16string_view Text) {
  std::string ascii(Text.begin(), Text.end());  // the lexer let through only ASCII digits, sign, '.', e
  TNumber n;
  const char* first = ascii.data();
  const char* last = first + ascii.size();
  if (ascii.find_first_of(".eE") == std::string::npos) {
    auto [p, ec] = std::from_chars(first, last, n.I);
    if (ec == std::errc() && p == last) {
      n.Integral = true;
      n.D = static_cast<double>(n.I);
      return n;
    }
  }
  std::from_chars(first, last, n.D);  // out of range leaves 0; the caller never sees a NaN
  return n;
}

constexpr Int64 Pow10(int N) {
  Int64 v = 1;
  while (N-- > 0) v *= 10;
  return v;
}

// A double that holds a whole number that fits Int64.
bool WholeNumber(double D, Int64& I) {
  if (!std::isfinite(D) || D != std::trunc(D) || D < -9.2233720368547758e18 || D >= 9.2233720368547758e18) return false;
  I = static_cast<Int64>(D);
  return true;
}

// yyyy-mm-dd[( |T)hh:nn[:ss[.zzz]]]: accepted whatever the date format settings say.
bool TryIsoDateTime(std::u16string_view S, TDateTime& Value) {
  std::size_t i = 0;
  auto number = [&](int digits, int& out) {
    out = 0;
    for (int k = 0; k < digits; ++k, ++i) {
      if (i >= S.size() || S[i] < u'0' || S[i] > u'9') return false;
      out = out * 10 + (S[i] - u'0');
    }
    return true;
  };
  auto expect = [&](char16_t c) { return i < S.size() && S[i++] == c; };
  int y, m, d, h = 0, n = 0, s = 0, ms = 0;
  if (!number(4, y) || !expect(u'-') || !number(2, m) || !expect(u'-') || !number(2, d)) return false;
  if (i < S.size()) {
    if (S[i] != u' ' && S[i] != u'T') return false;
    ++i;
    if (!number(2, h) || !expect(u':') || !number(2, n)) return false;
    if (i < S.size()) {
      if (!expect(u':') || !number(2, s)) return false;
      if (i < S.size()) {
        if (!expect(u'.') || !number(3, ms) || i != S.size()) return false;
      }
    }
  }
  return TryEncodeDateTime(y, m, d, h, n, s, ms, Value);
}

}  // namespace

// ==== TFilterExpr: the node writer ==========================================================================
// The parser builds a tree of TExprNode in one vector (children by index); Write lays it out in
// pre-order as the compiled buffer. Constants are typed while parsing (by the field beside them) and
// encoded while writing, so an encoding error is raised with the constant's position.
class TFilterExpr {
 public:
  enum class TKind : Byte { Field, Const, Null, Unary, Binary, Compare, Function, ListElem };
  enum class TLiteral : Byte { Text, Number, Boolean };

  struct TExprNode {
    TKind Kind = TKind::Const;
    TCANOperator Operator = coNOTDEFINED;
    int A = -1;  // Unary/Binary/Compare: first operand; ListElem: element; Function: first argument
    int B = -1;  // Binary/Compare: second operand; ListElem: next element
    int Position = 0;
    // Field: number, type, size, name (in the arena). Const: the type it is written as (ftUnknown:
    // by its literal), TypeSize the field's size (the places of an ftBCD constant).
    int FieldNo = 0;
    TFieldType Type = ftUnknown;
    int TypeSize = 0;
    int TextStart = 0;  // Field: name; Const: text or number as written (arena)
    int TextLength = 0;
    TLiteral Literal = TLiteral::Text;
    bool BoolValue = false;
    // Compare
    bool CaseInsensitive = false;
    int PartialLength = 0;
    // Function
    const char* FunctionName = nullptr;
  };

  TFilterExpr(const TFieldMap& FieldMap, bool UnicodeNames) : FMap(FieldMap), FUnicode(UnicodeNames) {}

  std::vector<TExprNode> Nodes;
  String Arena;  // texts of constants and names, referred to by (start, length)

  std::u16string_view TextOf(const TExprNode& N) const {
    return std::u16string_view(Arena).substr(static_cast<std::size_t>(N.TextStart), static_cast<std::size_t>(N.TextLength));
  }

  int Add(const TExprNode& N) {
    Account(N);
    Nodes.push_back(N);
    return static_cast<int>(Nodes.size()) - 1;
  }

  // One buffer, allocated once: the node area's size is known exactly from the tree, the literals
  // are appended behind it.
  TExprData Write(int Root) {
    FLitStart = static_cast<std::size_t>(kExprHeaderSize + FNodeBytes);
    FOut.assign(FLitStart, 0);
    FOut.reserve(static_cast<std::size_t>(kExprHeaderSize + FEstimate) + FConstBytes);
    FNodeCursor = 0;
    EmitNode(Root);
    const std::size_t total = FOut.size();
    if (total > static_cast<std::size_t>(kExprMaxSize)) TooLarge(Nodes[static_cast<std::size_t>(Root)].Position);
    PutU16(FOut, 0, kExprVersion);
    PutU16(FOut, 2, static_cast<unsigned>(total));
    PutU16(FOut, 4, kExprMarker);
    PutU16(FOut, 6, kExprNodeStart);
    PutU16(FOut, 8, static_cast<unsigned>(FLitStart));
    return std::move(FOut);
  }

 private:
  static int OperandCount(TKind K) {
    switch (K) {
      case TKind::Unary: return 1;
      case TKind::Compare: return 4;
      case TKind::Const: return 3;
      case TKind::Null: return 0;
      default: return 2;
    }
  }

  [[noreturn]] static void TooLarge(int Position) {
    ParseError(u"Filter expression too large: its compiled form would exceed 65535 bytes", Position);
  }

  // Keeps a running count of the bytes the tree will take, so that an oversized text is refused
  // while parsing instead of after building a huge tree (constants count one byte here; Write checks
  // the exact size).
  void Account(const TExprNode& N) {
    if (N.Kind == TKind::Null) return;
    FNodeBytes += kExprNodeHeaderSize + 2 * OperandCount(N.Kind);
    FEstimate += kExprNodeHeaderSize + 2 * OperandCount(N.Kind);
    if (N.Kind == TKind::Field) FEstimate += FUnicode ? kWideFieldNameSlot : kFieldNameSlot;
    if (N.Kind == TKind::Function) FEstimate += static_cast<int>(std::strlen(N.FunctionName)) + 1;
    if (N.Kind == TKind::Const) {
      FEstimate += 1;
      FConstBytes += static_cast<std::size_t>(N.TextLength) * 2 + 8;
    }
    if (FEstimate + kExprHeaderSize > kExprMaxSize) TooLarge(N.Position);
  }

  std::size_t Reserve(TFilterNodeClass Class, TCANOperator Op, int Operands) {
    const std::size_t at = FNodeCursor;
    FNodeCursor += kExprNodeHeaderSize + 2 * static_cast<std::size_t>(Operands);
    // Every node written was counted when the tree was built; a miscount must not write past the area.
    if (FNodeCursor > static_cast<std::size_t>(FNodeBytes)) throw EExprParserError(u"Filter expression writer: node area overrun");
    const std::uint32_t cls = Class, op = Op;
    std::memcpy(&FOut[kExprNodeStart + at], &cls, 4);
    std::memcpy(&FOut[kExprNodeStart + at + 4], &op, 4);
    return at;
  }
  // Operand i of the node at At; values beyond 16 bits only occur in buffers Write refuses anyway.
  void SetOperand(std::size_t At, int I, std::size_t V) {
    PutU16(FOut, kExprNodeStart + At + kExprNodeHeaderSize + 2 * static_cast<std::size_t>(I), static_cast<unsigned>(V & 0xFFFF));
  }

  std::size_t AppendName(std::u16string_view Name, std::size_t Slot) {
    const std::size_t at = FOut.size();
    if (FUnicode) {
      for (char16_t c : Name) AppendValue<std::uint16_t>(FOut, c);
      AppendValue<std::uint16_t>(FOut, 0);
    } else {
      sys::Utf16ToAnsi(Name, FScratch);
      AppendBytes(FOut, FScratch.data(), FScratch.size());
      FOut.push_back(0);
    }
    if (Slot > 0) FOut.resize(at + Slot, 0);
    return at - FLitStart;
  }

  std::size_t AppendFunctionName(const char* Name) {
    const std::size_t at = FOut.size();
    for (; *Name; ++Name) {
      FOut.push_back(static_cast<Byte>(*Name));
      if (FUnicode) FOut.push_back(0);
    }
    FOut.push_back(0);
    if (FUnicode) FOut.push_back(0);
    return at - FLitStart;
  }

  std::size_t EmitNode(int Index) {
    const TExprNode& N = Nodes[static_cast<std::size_t>(Index)];
    switch (N.Kind) {
      case TKind::Field: {
        const std::size_t at = Reserve(ncField, coFIELD2, 2);
        SetOperand(at, 0, static_cast<std::size_t>(N.FieldNo));
        SetOperand(at, 1, AppendName(TextOf(N), FUnicode ? kWideFieldNameSlot : kFieldNameSlot));
        return at;
      }
      case TKind::Const: {
        const std::size_t at = Reserve(ncConst, coCONST2, 3);
        const std::size_t lit = FOut.size();
        const int code = EncodeConstant(N);
        SetOperand(at, 0, static_cast<std::size_t>(code));
        SetOperand(at, 1, FOut.size() - lit);
        SetOperand(at, 2, lit - FLitStart);
        return at;
      }
      case TKind::Unary: {
        const std::size_t at = Reserve(ncUnary, N.Operator, 1);
        SetOperand(at, 0, EmitNode(N.A));
        return at;
      }
      case TKind::Binary: {
        const std::size_t at = Reserve(ncBinary, N.Operator, 2);
        SetOperand(at, 0, EmitNode(N.A));
        SetOperand(at, 1, EmitNode(N.B));
        return at;
      }
      case TKind::Compare: {
        const std::size_t at = Reserve(ncCompare, N.Operator, 4);
        SetOperand(at, 0, N.CaseInsensitive ? 1 : 0);
        SetOperand(at, 1, static_cast<std::size_t>(N.PartialLength));
        SetOperand(at, 2, EmitNode(N.A));
        SetOperand(at, 3, EmitNode(N.B));
        return at;
      }
      case TKind::Function: {
        const std::size_t at = Reserve(ncFunction, coFUNC2, 2);
        SetOperand(at, 0, AppendFunctionName(N.FunctionName));
        SetOperand(at, 1, N.A >= 0 ? EmitNode(N.A) : 0);
        return at;
      }
      case TKind::ListElem: {
        // Along the chain without recursion: a list may be long.
        const std::size_t first = FNodeCursor;
        std::size_t previous = 0;
        bool any = false;
        for (int e = Index; e >= 0; e = Nodes[static_cast<std::size_t>(e)].B) {
          const std::size_t at = Reserve(ncListElem, coLISTELEM2, 2);
          if (any) SetOperand(previous, 1, at);
          SetOperand(at, 0, EmitNode(Nodes[static_cast<std::size_t>(e)].A));
          previous = at;
          any = true;
        }
        return first;
      }
      case TKind::Null:
        break;
    }
    NullError();  // the parser never leaves one
  }

  // ---- constants ----------------------------------------------------------------------------------------
  // The type a constant is written as when no field stands beside it.
  TFieldType LiteralType(const TExprNode& N) {
    switch (N.Literal) {
      case TLiteral::Boolean: return ftBoolean;
      case TLiteral::Number: {
        const std::u16string_view text = TextOf(N);
        if (text.find_first_of(u".eE") != std::u16string_view::npos) return ftFloat;
        const TNumber n = ParseNumberText(text);
        if (!n.Integral) return ftFloat;
        if (n.I >= std::numeric_limits<std::int32_t>::min() && n.I <= std::numeric_limits<std::int32_t>::max())
          return ftInteger;
        return ftLargeint;
      }
      case TLiteral::Text: break;
    }
    // Text the system code page cannot carry goes as wide text, never as '?'.
    return Representable(TextOf(N)) ? ftString : ftWideString;
  }

  bool Representable(std::u16string_view Text) {
    sys::Utf16ToAnsi(Text, FScratch);
    sys::AnsiToUtf16(FScratch, FScratchWide);
    return FScratchWide == Text;
  }

  std::u16string_view ValueText(const TExprNode& N) const {
    if (N.Literal == TLiteral::Boolean) return N.BoolValue ? u"True" : u"False";
    return TextOf(N);
  }

  [[noreturn]] static void BadType(TFieldType T) { ConstError(msg::SExprBadConst, FieldTypeName(T)); }

  // Appends the literal of N behind the node area and returns its type code.
  int EncodeConstant(const TExprNode& N) {
    TFieldType type = N.Type == ftUnknown ? LiteralType(N) : N.Type;
    if (IsTextType(type)) {
      const std::u16string_view text = ValueText(N);
      if (IsWideTextType(type) || !Representable(text)) {
        if (text.size() * 2 > static_cast<std::size_t>(kExprMaxSize)) TooLarge(N.Position);
        AppendValue<std::uint16_t>(FOut, static_cast<std::uint16_t>(text.size() * 2));
        for (char16_t c : text) AppendValue<std::uint16_t>(FOut, c);
        return kWideTextTypeCode;
      }
      sys::Utf16ToAnsi(text, FScratch);
      if (FScratch.size() > static_cast<std::size_t>(kMaxTextConstantBytes)) ConstError(msg::SExprRangeError);
      AppendBytes(FOut, FScratch.data(), FScratch.size());
      FOut.push_back(0);
      return FMap[ftString];
    }
    if (IsIntegerType(type)) {
      Int64 value = 0;
      if (!IntegerValue(N, type, value)) {
        // A number with a fraction stays one: as an integer it would change what the comparison means.
        type = ftFloat;
      } else {
        Int64 lo = std::numeric_limits<Int64>::min(), hi = std::numeric_limits<Int64>::max();
        switch (type) {
          case ftSmallint: lo = -32768; hi = 32767; break;
          case ftWord: lo = 0; hi = 65535; break;
          case ftShortint: lo = -128; hi = 127; break;
          case ftByte: lo = 0; hi = 255; break;
          case ftInteger: case ftAutoInc: lo = std::numeric_limits<std::int32_t>::min(); hi = std::numeric_limits<std::int32_t>::max(); break;
          case ftLongWord: lo = 0; hi = 4294967295LL; break;
          default: break;
        }
        if (value < lo || value > hi) ConstError(msg::SExprRangeError);
        switch (type) {
          case ftSmallint: case ftWord: case ftShortint: case ftByte:
            AppendValue<std::uint16_t>(FOut, static_cast<std::uint16_t>(value & 0xFFFF));
            break;
          case ftInteger: case ftAutoInc:
            AppendValue<std::int32_t>(FOut, static_cast<std::int32_t>(value));
            break;
          default:
            AppendValue<std::int64_t>(FOut, value);
            break;
        }
        return FMap[type];
      }
    }
    switch (type) {
      case ftBoolean: {
        bool value = false;
        if (N.Literal == TLiteral::Boolean) {
          value = N.BoolValue;
        } else if (N.Literal == TLiteral::Number) {
          value = ParseNumberText(TextOf(N)).D != 0;
        } else if (!TryStrToBool(TextOf(N), value)) {
          BadType(type);
        }
        AppendValue<std::uint16_t>(FOut, value ? 1 : 0);
        return FMap[ftBoolean];
      }
      case ftFloat: case ftCurrency: case ftExtended: case ftSingle: {
        const double value = FloatValue(N, type);
        if (type == ftSingle) {
          if (std::fabs(value) > std::numeric_limits<float>::max()) ConstError(msg::SExprRangeError);
          AppendValue<float>(FOut, static_cast<float>(value));
          return FMap[ftSingle];
        }
        AppendValue<double>(FOut, value);
        return FMap[ftFloat];
      }
      case ftBCD: case ftFMTBcd: {
        TBcd bcd;
        if (N.Literal == TLiteral::Boolean) BadType(type);
        if (!TryStrToBcd(TextOf(N), bcd)) {
          // A number always reads as BCD unless it needs more than 64 digits.
          if (N.Literal == TLiteral::Number) ConstError(msg::SExprRangeError);
          BadType(type);
        }
        if (type == ftBCD) {
          Currency curr;
          if (!BCDToCurr(bcd, curr)) ConstError(msg::SExprRangeError);
          // At least the field's places, more when the value has them: rounding 1.234 to a 2-place field's
          // 1.23 would make "= 1.234" match rows it does not equal.
          int places = 4;
          while (places > 0 && curr.Scaled % Pow10(5 - places) == 0) --places;
          if (!CurrToBCD(curr, bcd, 32, std::max(places, N.TypeSize))) ConstError(msg::SExprRangeError);
        } else if (bcd.Precision > 32) {
          ConstError(msg::SExprRangeError);
        }
        AppendBytes(FOut, &bcd, 18);
        return FMap[ftBCD];
      }
      case ftDate: case ftTime: case ftDateTime: case ftTimeStamp: case ftOraTimeStamp: case ftTimeStampOffset: {
        const TDateTime value = DateTimeValue(N, type);
        const TTimeStamp ts = DateTimeToTimeStamp(value);
        switch (type) {
          case ftDate: AppendValue<std::int32_t>(FOut, ts.Date); break;
          case ftTime: AppendValue<std::int32_t>(FOut, ts.Time); break;
          case ftDateTime: AppendValue<double>(FOut, static_cast<double>(ts.Date) * MSecsPerDay + ts.Time); break;
          case ftTimeStampOffset: {
            const TSQLTimeStampOffset sql = DateTimeToSQLTimeStampOffset(value);
            AppendBytes(FOut, &sql, 16);
            break;
          }
          default: {
            const TSQLTimeStamp sql = DateTimeToSQLTimeStamp(value);
            AppendBytes(FOut, &sql, 16);
            break;
          }
        }
        return FMap[type];
      }
      default:
        BadType(type);
    }
  }

  // False when the value has a fraction (the caller writes it as a float).
  bool IntegerValue(const TExprNode& N, TFieldType Type, Int64& Value) const {
    if (N.Literal == TLiteral::Boolean) BadType(Type);
    const std::u16string_view text = TextOf(N);
    if (N.Literal == TLiteral::Number) {
      const TNumber n = ParseNumberText(text);
      if (n.Integral) {
        Value = n.I;
        return true;
      }
      if (WholeNumber(n.D, Value)) return true;
      if (!std::isfinite(n.D) || std::fabs(n.D) >= 9.2e18) ConstError(msg::SExprRangeError);
      return false;
    }
    if (TryStrToInt64(text, Value)) return true;
    double d;
    if (!TryStrToFloat(text, d) || !std::isfinite(d)) BadType(Type);
    if (WholeNumber(d, Value)) return true;
    if (std::fabs(d) >= 9.2e18) ConstError(msg::SExprRangeError);
    return false;
  }

  double FloatValue(const TExprNode& N, TFieldType Type) const {
    if (N.Literal == TLiteral::Boolean) BadType(Type);
    if (N.Literal == TLiteral::Number) {
      const double d = ParseNumberText(TextOf(N)).D;
      if (!std::isfinite(d)) ConstError(msg::SExprRangeError);
      return d;
    }
    double d;
    if (!TryStrToFloat(TextOf(N), d)) BadType(Type);
    if (!std::isfinite(d)) ConstError(msg::SExprRangeError);
    return d;
  }

  TDateTime DateTimeValue(const TExprNode& N, TFieldType Type) const {
    TDateTime value = 0;
    if (N.Literal == TLiteral::Boolean) BadType(Type);
    if (N.Literal == TLiteral::Number) {
      value = ParseNumberText(TextOf(N)).D;
    } else {
      const String text = Trim(TextOf(N));
      if (!TryStrToDateTime(text, value) && !TryStrToDate(text, value) && !TryStrToTime(text, value) &&
          !TryIsoDateTime(text, value))
        BadType(Type);
    }
    // Years 1 to 9999: the time-stamp forms have no room for more.
    if (!std::isfinite(value) || value <= -693594.0 || value >= 2958466.0) ConstError(msg::SExprRangeError);
    return value;
  }

  const TFieldMap& FMap;
  bool FUnicode;
  int FEstimate = 0;
  int FNodeBytes = 0;
  std::size_t FConstBytes = 0;
  std::size_t FNodeCursor = 0;  // next free offset in the node area
  std::size_t FLitStart = 0;
  TExprData FOut;  // the whole buffer being written: header, node area, then the literals appended
  std::string FScratch;
  String FScratchWide;
};

// ==== the parser ===============================================================================================
namespace {

enum class TTok : Byte {
  End, Name, QuotedName, Text, Number, LParen, RParen, Comma, Plus, Minus, Star, Slash,
  Eq, Ne, Lt, Gt, Le, Ge,
};

struct TToken {
  TTok Kind = TTok::End;
  int Start = 0;  // index in the text
  int End = 0;
};

// Name equals the upper-case ASCII Word, ignoring the case of ASCII letters.
bool SameAscii(std::u16string_view Name, const char* Word) {
  std::size_t i = 0;
  for (; i < Name.size() && Word[i] != '\0'; ++i) {
    char16_t c = Name[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    if (c != static_cast<unsigned char>(Word[i])) return false;
  }
  return i == Name.size() && Word[i] == '\0';
}

bool IsNameStart(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 0x80; }
bool IsNameChar(char16_t c) { return IsNameStart(c) || (c >= u'0' && c <= u'9') || c == u'.' || c == u'$'; }
bool IsBlank(char16_t c) { return c <= u' ' || c == 0x3000; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

struct TFunctionInfo {
  const char* Name;
  int MinArgs;
  int MaxArgs;
  bool Aggregate;
  bool TextResult;  // the result is the first argument's text (its kind types constants beside it)
};
constexpr TFunctionInfo kFunctions[] = {
    {"UPPER", 1, 1, false, true},   {"LOWER", 1, 1, false, true},     {"SUBSTRING", 2, 3, false, true},
    {"TRIM", 1, 2, false, true},    {"TRIMLEFT", 1, 2, false, true},  {"TRIMRIGHT", 1, 2, false, true},
    {"GETDATE", 0, 0, false, false}, {"YEAR", 1, 1, false, false},    {"MONTH", 1, 1, false, false},
    {"DAY", 1, 1, false, false},    {"HOUR", 1, 1, false, false},     {"MINUTE", 1, 1, false, false},
    {"SECOND", 1, 1, false, false}, {"DATE", 1, 2, false, false},     {"TIME", 1, 2, false, false},
    {"SUM", 1, 1, true, false},     {"COUNT", 0, 1, true, false},     {"MIN", 1, 1, true, true},
    {"MAX", 1, 1, true, true},      {"AVG", 1, 1, true, false},
};

class TParser {
 public:
  using TKind = TFilterExpr::TKind;
  using TLiteral = TFilterExpr::TLiteral;
  using TExprNode = TFilterExpr::TExprNode;

  TParser(TDataSet* DataSet, std::u16string_view Text, TFilterOptions FilterOptions, TParserOptions Options,
          bool UnicodeNames, TFilterExpr& Writer)
      : FDataSet(DataSet), FText(Text), FFilterOptions(FilterOptions), FOptions(Options), FUnicodeNames(UnicodeNames),
        W(Writer) {}

  TExprData Compile() {
    // The tree never outgrows what a 65,535-byte buffer holds (about 5,500 nodes); it grows by doubling.
    W.Nodes.reserve(16);
    W.Arena.reserve(FText.size());
    Next();
    if (FTok.Kind == TTok::End) return {};
    int root = ParseOr();
    if (FTok.Kind != TTok::End) ParseError(u"End of expression expected", Pos());
    root = Condition(CheckNotNull(root));
    return W.Write(root);
  }

 private:
  // ---- tokens ---------------------------------------------------------------------------------------------
  int Pos() const { return FTok.Start + 1; }
  std::u16string_view TokText() const {
    return FText.substr(static_cast<std::size_t>(FTok.Start), static_cast<std::size_t>(FTok.End - FTok.Start));
  }
  bool IsKeyword(const char16_t* Word) const { return FTok.Kind == TTok::Name && SameText(TokText(), Word); }

  void Next() {
    std::size_t i = static_cast<std::size_t>(FTok.End);
    while (i < FText.size() && IsBlank(FText[i])) ++i;
    FTok.Start = static_cast<int>(i);
    if (i >= FText.size()) {
      FTok.Kind = TTok::End;
      FTok.End = FTok.Start;
      return;
    }
    const char16_t c = FText[i];
    const char16_t c2 = i + 1 < FText.size() ? FText[i + 1] : u'\0';
    std::size_t end = i + 1;
    TTok kind;
    if (c == u'\'') {
      // '' inside the text is a quote; the text ends at a lone quote.
      for (;;) {
        if (end >= FText.size()) ParseError(u"Unterminated text constant starting", static_cast<int>(i) + 1);
        if (FText[end] == u'\'') {
          if (end + 1 < FText.size() && FText[end + 1] == u'\'') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
      kind = TTok::Text;
    } else if (c == u'[' || c == u'"') {
      const char16_t close = c == u'[' ? u']' : u'"';
      while (end < FText.size() && FText[end] != close) ++end;
      if (end >= FText.size()) ParseError(u"Unterminated field name starting", static_cast<int>(i) + 1);
      ++end;
      kind = TTok::QuotedName;
    } else if (IsDigit(c) || (c == u'.' && IsDigit(c2))) {
      end = i;
      while (end < FText.size() && IsDigit(FText[end])) ++end;
      if (end < FText.size() && FText[end] == u'.') {
        ++end;
        while (end < FText.size() && IsDigit(FText[end])) ++end;
      }
      if (end < FText.size() && (FText[end] == u'e' || FText[end] == u'E')) {
        std::size_t e = end + 1;
        if (e < FText.size() && (FText[e] == u'+' || FText[e] == u'-')) ++e;
        if (e >= FText.size() || !IsDigit(FText[e])) ParseError(u"Exponent digits expected", static_cast<int>(e) + 1);
        while (e < FText.size() && IsDigit(FText[e])) ++e;
        end = e;
      }
      if (end < FText.size() && IsNameChar(FText[end])) ParseError(u"Invalid number", static_cast<int>(i) + 1);
      kind = TTok::Number;
    } else if (IsNameStart(c)) {
      while (end < FText.size() && IsNameChar(FText[end])) ++end;
      kind = TTok::Name;
    } else {
      switch (c) {
        case u'(': kind = TTok::LParen; break;
        case u')': kind = TTok::RParen; break;
        case u',': kind = TTok::Comma; break;
        case u'+': kind = TTok::Plus; break;
        case u'-': kind = TTok::Minus; break;
        case u'*': kind = TTok::Star; break;
        case u'/': kind = TTok::Slash; break;
        case u'=': kind = TTok::Eq; break;
        case u'<':
          if (c2 == u'>') kind = TTok::Ne, end = i + 2;
          else if (c2 == u'=') kind = TTok::Le, end = i + 2;
          else kind = TTok::Lt;
          break;
        case u'>':
          if (c2 == u'=') kind = TTok::Ge, end = i + 2;
          else kind = TTok::Gt;
          break;
        case u'!':
          if (c2 != u'=') ParseError(u"Invalid character '!'", static_cast<int>(i) + 1);
          kind = TTok::Ne;
          end = i + 2;
          break;
        default:
          ParseError(u"Invalid character '" + String(1, c) + u"'", static_cast<int>(i) + 1);
      }
    }
    FTok.Kind = kind;
    FTok.End = static_cast<int>(end);
  }

  void Expect(TTok Kind, const char16_t* What) {
    if (FTok.Kind != Kind) ParseError(String(What) + u" expected", Pos());
    Next();
  }

  struct TDepth {
    explicit TDepth(TParser& P) : FP(P) {
      if (++FP.FDepth > kMaxNesting) ParseError(u"Expression nested too deeply", FP.Pos());
    }
    ~TDepth() { --FP.FDepth; }
    TParser& FP;
  };

  // ---- node helpers -----------------------------------------------------------------------------------------
  TExprNode& N(int I) { return W.Nodes[static_cast<std::size_t>(I)]; }

  int Unary(TCANOperator Op, int A, int Position) {
    TExprNode n;
    n.Kind = TKind::Unary;
    n.Operator = Op;
    n.A = A;
    n.Position = Position;
    return W.Add(n);
  }
  int Binary(TCANOperator Op, int A, int B, int Position) {
    TExprNode n;
    n.Kind = TKind::Binary;
    n.Operator = Op;
    n.A = A;
    n.B = B;
    n.Position = Position;
    return W.Add(n);
  }
  int Constant(TLiteral Literal, std::u16string_view Text, bool Bool, int Position) {
    TExprNode n;
    n.Kind = TKind::Const;
    n.Literal = Literal;
    n.TextStart = static_cast<int>(W.Arena.size());
    n.TextLength = static_cast<int>(Text.size());
    W.Arena += Text;
    n.BoolValue = Bool;
    n.Position = Position;
    return W.Add(n);
  }

  int CheckNotNull(int I) {
    if (N(I).Kind == TKind::Null) NullError();
    return I;
  }

  // A Boolean field standing as a whole condition is compared with false, so every evaluator sees a
  // comparison where a condition is due.
  int Condition(int I) {
    if (N(I).Kind != TKind::Field || N(I).Type != ftBoolean) return I;
    const int position = N(I).Position;
    const int falseConst = Constant(TLiteral::Boolean, u"", false, position);
    N(falseConst).Type = ftBoolean;
    return Binary(coNE, I, falseConst, position);
  }

  // The field type (and size) that types a constant standing beside node I: a field's own; for a
  // text-valued function (UPPER, ..., MIN, MAX) that of its first argument when that is text (any
  // type for MIN and MAX).
  bool TypeHint(int I, TFieldType& Type, int& Size) {
    for (int depth = 0; depth < kMaxNesting; ++depth) {
      const TExprNode& n = N(I);
      if (n.Kind == TKind::Field) {
        Type = n.Type;
        Size = n.TypeSize;
        return true;
      }
      if (n.Kind != TKind::Function || n.A < 0) return false;
      const bool minMax = std::strcmp(n.FunctionName, "MIN") == 0 || std::strcmp(n.FunctionName, "MAX") == 0;
      bool textResult = false;
      for (const TFunctionInfo& f : kFunctions)
        if (f.Name == n.FunctionName) textResult = f.TextResult;
      if (!textResult) return false;
      I = N(n.A).A;  // the first argument's element
      if (!minMax) {
        TFieldType t;
        int s;
        if (!TypeHint(I, t, s) || !IsTextType(t)) return false;
        Type = t;
        Size = s;
        return true;
      }
    }
    return false;
  }

  void TypeConstantBeside(int Const, int Other, bool TextOnly) {
    if (N(Const).Kind != TKind::Const || N(Const).Type != ftUnknown) return;
    TFieldType type;
    int size = 0;
    if (!TypeHint(Other, type, size)) return;
    if (TextOnly && !IsTextType(type)) return;
    N(Const).Type = type;
    N(Const).TypeSize = size;
  }

  static TCANOperator Mirror(TCANOperator Op) {
    switch (Op) {
      case coGT: return coLT;
      case coLT: return coGT;
      case coGE: return coLE;
      case coLE: return coGE;
      default: return Op;
    }
  }

  // =, <>, <, >, <=, >=, LIKE between A and B, with the rewrites of FilterExpr.h.
  int Comparison(TCANOperator Op, int A, int B, int Position) {
    const bool aNull = N(A).Kind == TKind::Null, bNull = N(B).Kind == TKind::Null;
    if (aNull || bNull) {
      if ((Op != coEQ && Op != coNE) || (aNull && bNull)) NullError();
      return Unary(Op == coEQ ? coISBLANK : coNOTBLANK, aNull ? B : A, Position);
    }
    if (Op != coLIKE && N(A).Kind == TKind::Const && N(B).Kind == TKind::Field) {
      std::swap(A, B);
      Op = Mirror(Op);
    }
    TypeConstantBeside(B, A, Op == coLIKE);
    TypeConstantBeside(A, B, Op == coLIKE);
    const TExprNode& field = N(A);
    TExprNode& constant = N(B);
    if ((Op == coEQ || Op == coNE || Op == coLIKE) && field.Kind == TKind::Field && IsTextType(field.Type) &&
        constant.Kind == TKind::Const && constant.Literal != TLiteral::Boolean && constant.TextLength > 0) {
      int partial = 0;
      if ((FFilterOptions & foNoPartialCompare) == 0 && constant.Literal == TLiteral::Text && constant.TextLength >= 2 &&
          W.Arena[static_cast<std::size_t>(constant.TextStart + constant.TextLength - 1)] == u'*') {
        --constant.TextLength;
        partial = constant.TextLength;
      }
      const bool ci = (FFilterOptions & foCaseInsensitive) != 0;
      if (ci || partial > 0) {
        TExprNode n;
        n.Kind = TKind::Compare;
        n.Operator = Op;
        n.A = A;
        n.B = B;
        n.CaseInsensitive = ci;
        n.PartialLength = partial;
        n.Position = Position;
        return W.Add(n);
      }
    }
    return Binary(Op, A, B, Position);
  }

  // ---- grammar ------------------------------------------------------------------------------------------------
  int ParseOr() {
    int left = ParseAnd();
    while (IsKeyword(u"OR")) {
      const int position = Pos();
      Next();
      const int right = ParseAnd();
      left = Binary(coOR, Condition(CheckNotNull(left)), Condition(CheckNotNull(right)), position);
    }
    return left;
  }

  int ParseAnd() {
    int left = ParseNot();
    while (IsKeyword(u"AND")) {
      const int position = Pos();
      Next();
      const int right = ParseNot();
      left = Binary(coAND, Condition(CheckNotNull(left)), Condition(CheckNotNull(right)), position);
    }
    return left;
  }

  int ParseNot() {
    if (!IsKeyword(u"NOT")) return ParseComparison();
    TDepth depth(*this);
    const int position = Pos();
    Next();
    const int operand = ParseNot();
    return Unary(coNOT, Condition(CheckNotNull(operand)), position);
  }

  int ParseComparison() {
    const int left = ParseAdditive();
    const int position = Pos();
    TCANOperator op = coNOTDEFINED;
    switch (FTok.Kind) {
      case TTok::Eq: op = coEQ; break;
      case TTok::Ne: op = coNE; break;
      case TTok::Lt: op = coLT; break;
      case TTok::Gt: op = coGT; break;
      case TTok::Le: op = coLE; break;
      case TTok::Ge: op = coGE; break;
      default: break;
    }
    int result;
    if (op != coNOTDEFINED) {
      Next();
      result = Comparison(op, left, ParseAdditive(), position);
    } else if (IsKeyword(u"IS")) {
      Next();
      bool negate = false;
      if (IsKeyword(u"NOT")) {
        negate = true;
        Next();
      }
      if (!IsKeyword(u"NULL")) ParseError(u"NULL expected", Pos());
      Next();
      result = Unary(negate ? coNOTBLANK : coISBLANK, CheckNotNull(left), position);
    } else {
      bool negate = false;
      if (IsKeyword(u"NOT")) {
        negate = true;
        Next();
        if (!IsKeyword(u"LIKE") && !IsKeyword(u"IN")) ParseError(u"LIKE or IN expected", Pos());
      }
      if (IsKeyword(u"LIKE")) {
        Next();
        const int right = ParseAdditive();
        if (N(left).Kind == TKind::Null || N(right).Kind == TKind::Null) NullError();
        result = Comparison(coLIKE, left, right, position);
      } else if (IsKeyword(u"IN")) {
        Next();
        result = ParseInList(CheckNotNull(left), position);
      } else {
        return left;
      }
      if (negate) result = Unary(coNOT, result, position);
    }
    switch (FTok.Kind) {
      case TTok::Eq: case TTok::Ne: case TTok::Lt: case TTok::Gt: case TTok::Le: case TTok::Ge:
        ParseError(u"Comparisons do not chain: AND or OR expected", Pos());
      default:
        break;
    }
    if (IsKeyword(u"LIKE") || IsKeyword(u"IN") || IsKeyword(u"IS"))
      ParseError(u"Comparisons do not chain: AND or OR expected", Pos());
    return result;
  }

  int ParseInList(int Left, int Position) {
    Expect(TTok::LParen, u"'('");
    int head = -1, tail = -1;
    for (;;) {
      const int element = CheckNotNull(ParseAdditive());
      TypeConstantBeside(element, Left, false);
      tail = ListElem(element, tail);
      if (head < 0) head = tail;
      if (FTok.Kind != TTok::Comma) break;
      Next();
    }
    Expect(TTok::RParen, u"')' or ','");
    return Binary(coIN, Left, head, Position);
  }

  // Appends a list element after Tail (-1 for the first); returns the new element.
  int ListElem(int Element, int Tail) {
    TExprNode n;
    n.Kind = TKind::ListElem;
    n.Operator = coLISTELEM2;
    n.A = Element;
    n.Position = N(Element).Position;
    const int e = W.Add(n);
    if (Tail >= 0) N(Tail).B = e;
    return e;
  }

  void RequireExtSyntax(const char16_t* What, int Position) {
    if ((FOptions & poExtSyntax) == 0) ParseError(String(What) + u" need the extended syntax option", Position);
  }

  int ParseAdditive() {
    int left = ParseMultiplicative();
    while (FTok.Kind == TTok::Plus || FTok.Kind == TTok::Minus) {
      const TCANOperator op = FTok.Kind == TTok::Plus ? coADD : coSUB;
      const int position = Pos();
      RequireExtSyntax(u"Arithmetic operators", position);
      Next();
      const int right = ParseMultiplicative();
      left = Binary(op, CheckNotNull(left), CheckNotNull(right), position);
    }
    return left;
  }

  int ParseMultiplicative() {
    int left = ParseUnary();
    while (FTok.Kind == TTok::Star || FTok.Kind == TTok::Slash) {
      const TCANOperator op = FTok.Kind == TTok::Star ? coMUL : coDIV;
      const int position = Pos();
      RequireExtSyntax(u"Arithmetic operators", position);
      Next();
      const int right = ParseUnary();
      left = Binary(op, CheckNotNull(left), CheckNotNull(right), position);
    }
    return left;
  }

  int ParseUnary() {
    if (FTok.Kind != TTok::Minus && FTok.Kind != TTok::Plus) return ParsePrimary();
    TDepth depth(*this);
    const bool minus = FTok.Kind == TTok::Minus;
    const int position = Pos();
    Next();
    const int operand = CheckNotNull(ParseUnary());
    TExprNode& n = N(operand);
    if (n.Kind == TKind::Const && n.Literal == TLiteral::Number) {
      if (minus) {
        // The literal's text carries the sign: "-5", and "--5" back to "5".
        if (n.TextLength > 0 && W.Arena[static_cast<std::size_t>(n.TextStart)] == u'-') {
          ++n.TextStart;
          --n.TextLength;
        } else {
          const std::size_t start = W.Arena.size();
          W.Arena += u'-';
          W.Arena.append(W.Arena, static_cast<std::size_t>(n.TextStart), static_cast<std::size_t>(n.TextLength));
          n.TextStart = static_cast<int>(start);
          ++n.TextLength;
        }
        n.Position = position;
      }
      return operand;
    }
    RequireExtSyntax(u"Arithmetic operators", position);
    if (!minus) return operand;
    const int zero = Constant(TLiteral::Number, u"0", false, position);
    return Binary(coSUB, zero, operand, position);
  }

  int ParsePrimary() {
    const int position = Pos();
    switch (FTok.Kind) {
      case TTok::Number: {
        const int c = Constant(TLiteral::Number, TokText(), false, position);
        Next();
        return c;
      }
      case TTok::Text: {
        // Unquote: drop the outer quotes and halve the doubled ones.
        const std::u16string_view raw = TokText().substr(1, TokText().size() - 2);
        FScratch.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
          FScratch += raw[i];
          if (raw[i] == u'\'') ++i;
        }
        const int c = Constant(TLiteral::Text, FScratch, false, position);
        Next();
        return c;
      }
      case TTok::QuotedName: {
        const std::u16string_view name = TokText().substr(1, TokText().size() - 2);
        const int f = FieldRef(name, position);
        Next();
        return f;
      }
      case TTok::LParen: {
        TDepth depth(*this);
        Next();
        const int inner = ParseOr();
        Expect(TTok::RParen, u"')'");
        return inner;
      }
      case TTok::Name: {
        if (IsKeyword(u"NULL")) {
          TExprNode n;
          n.Kind = TKind::Null;
          n.Position = position;
          Next();
          return W.Add(n);
        }
        if (IsKeyword(u"TRUE") || IsKeyword(u"FALSE")) {
          const int c = Constant(TLiteral::Boolean, u"", IsKeyword(u"TRUE"), position);
          Next();
          return c;
        }
        if (IsKeyword(u"AND") || IsKeyword(u"OR") || IsKeyword(u"NOT") || IsKeyword(u"LIKE") || IsKeyword(u"IN") ||
            IsKeyword(u"IS"))
          ParseError(u"Operand expected", position);
        const std::u16string_view name = TokText();
        // A name followed by "(" is a function call.
        std::size_t after = static_cast<std::size_t>(FTok.End);
        while (after < FText.size() && IsBlank(FText[after])) ++after;
        if (after < FText.size() && FText[after] == u'(') return ParseFunction(name, position);
        const int f = FieldRef(name, position);
        Next();
        return f;
      }
      default:
        ParseError(u"Operand expected", position);
    }
  }

  int FieldRef(std::u16string_view Name, int Position) {
    if ((FOptions & poAggregate) != 0 && FAggregateDepth == 0)
      ParseError(u"Field '" + String(Name) + u"' must stand inside an aggregate function", Position);
    TExprNode n;
    n.Kind = TKind::Field;
    n.Position = Position;
    n.TextStart = static_cast<int>(W.Arena.size());
    if (TField* field = FDataSet ? FDataSet->FindField(Name) : nullptr) {
      n.FieldNo = field->FieldNo();
      n.Type = field->DataType();
      n.TypeSize = field->Size();
      W.Arena += field->ParentField() ? field->FullName() : field->FieldName();
    } else if (TFieldDef* def = FDataSet && FDataSet->FieldCount() == 0 ? FDataSet->FieldDefs().FindDef(Name) : nullptr) {
      n.FieldNo = def->FieldNo();
      n.Type = def->DataType();
      n.TypeSize = def->Size();
      W.Arena += def->Name();
    } else {
      throw EExprParserError(Format(msg::SFieldNotFound, {String(Name)}));
    }
    n.TextLength = static_cast<int>(W.Arena.size()) - n.TextStart;
    const std::u16string_view fieldName = W.TextOf(n);
    const std::size_t bytes = FUnicodeNames ? fieldName.size() * 2 : sys::AnsiLength(fieldName);
    if (bytes + (FUnicodeNames ? 2 : 1) > static_cast<std::size_t>(FUnicodeNames ? kWideFieldNameSlot : kFieldNameSlot))
      ParseError(u"Field name '" + String(fieldName) + u"' is too long for a filter expression", Position);
    return W.Add(n);
  }

  int ParseFunction(std::u16string_view Name, int Position) {
    const TFunctionInfo* info = nullptr;
    for (const TFunctionInfo& f : kFunctions)
      if (SameAscii(Name, f.Name)) info = &f;
    if (!info) ParseError(u"Unknown function '" + String(Name) + u"'", Position);
    if (info->Aggregate) {
      if ((FOptions & poAggregate) == 0)
        ParseError(u"Aggregate function " + Str(info->Name) + u" not allowed in a filter", Position);
      if (FAggregateDepth > 0) ParseError(u"Aggregate functions do not nest", Position);
    } else {
      RequireExtSyntax(u"Functions", Position);
    }
    TDepth depth(*this);
    Next();  // the name
    Next();  // "("
    int head = -1, tail = -1, count = 0;
    if (info->Aggregate) ++FAggregateDepth;
    if (FTok.Kind == TTok::Star && std::strcmp(info->Name, "COUNT") == 0) {
      Next();  // COUNT(*) counts rows: no argument
    } else if (FTok.Kind != TTok::RParen) {
      for (;;) {
        const int argument = CheckNotNull(ParseOr());
        if (head >= 0 && count == 1 && std::strncmp(info->Name, "TRIM", 4) == 0)
          TypeConstantBeside(argument, N(head).A, true);
        tail = ListElem(argument, tail);
        if (head < 0) head = tail;
        ++count;
        if (FTok.Kind != TTok::Comma) break;
        Next();
      }
    }
    if (info->Aggregate) --FAggregateDepth;
    Expect(TTok::RParen, count > 0 ? u"')' or ','" : u"')'");
    const bool countStar = std::strcmp(info->Name, "COUNT") == 0 && count == 0;
    if ((count < info->MinArgs || count > info->MaxArgs) && !countStar) {
      String expected = IntToStr(info->MinArgs);
      if (info->MaxArgs != info->MinArgs) expected += u" to " + IntToStr(info->MaxArgs);
      ParseError(Str(info->Name) + u" takes " + expected + (info->MaxArgs == 1 ? u" argument" : u" arguments"),
                 Position);
    }
    TExprNode n;
    n.Kind = TKind::Function;
    n.Operator = coFUNC2;
    n.A = head;
    n.FunctionName = info->Name;
    n.Position = Position;
    return W.Add(n);
  }

 private:
  TDataSet* FDataSet;
  std::u16string_view FText;
  TFilterOptions FFilterOptions;
  TParserOptions FOptions;
  bool FUnicodeNames;
  TFilterExpr& W;
  TToken FTok;
  int FDepth = 0;
  int FAggregateDepth = 0;
  String FScratch;
};

}  // namespace

TExprParser::TExprParser(TDataSet* DataSet, const String& Text, TFilterOptions FilterOptions,
                         TParserOptions ParserOptions, const String& FieldName, const TFieldMap& FieldMap,
                         bool UnicodeEnabled)
    : FText(Text), FFilterOptions(FilterOptions), FParserOptions(ParserOptions), FFieldName(FieldName) {
  TFilterExpr writer(FieldMap, UnicodeEnabled);
  TParser parser(DataSet, FText, FilterOptions, ParserOptions, UnicodeEnabled, writer);
  FFilterData = parser.Compile();
}

TExprParser::~TExprParser() = default;
