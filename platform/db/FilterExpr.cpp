#include "platform/db/FilterExpr.h"

#include <cmath>
#include <cstring>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

constexpr const char* kOperatorNames[] = {
    "NOTDEFINED", "ISBLANK", "NOTBLANK", "EQ",  "NE",    "GT",    "LT",         "GE",    "LE",    "NOT",
    "AND",        "OR",      "TUPLE2",   "FIELD2", "CONST2", "MINUS", "ADD",      "SUB",   "MUL",   "DIV",
    "MOD",        "REM",     "SUM",      "COUNT", "MIN",   "MAX",   "AVG",        "CONT",  "UDF2",  "CONTINUE2",
    "LIKE",       "IN",      "LIST2",    "UPPER", "LOWER", "FUNC2", "LISTELEM2",  "ASSIGN",
};

std::uint16_t ReadU16(const Byte* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t ReadU32(const Byte* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

[[noreturn]] void Malformed(const String& What) { throw EExprDataError(u"Malformed filter buffer: " + What); }

String Num(Int64 V) { return IntToStr(V); }

}  // namespace

int FilterNodeOperandCount(TFilterNodeClass Class) {
  switch (Class) {
    case ncUnary: return 1;
    case ncBinary: return 2;
    case ncCompare: return 4;
    case ncField: return 2;
    case ncConst: return 3;
    case ncFunction: return 2;
    case ncListElem: return 2;
    default: return -1;
  }
}

String CANOperatorName(std::uint32_t Operator) {
  if (Operator < std::size(kOperatorNames)) return Str(kOperatorNames[Operator]);
  return u"op" + Num(Operator);
}

// ---- reader ------------------------------------------------------------------------------------------

TExprDataReader::TExprDataReader(std::span<const Byte> Data) : FData(Data) {
  if (FData.size() < static_cast<std::size_t>(kExprHeaderSize)) Malformed(u"shorter than its header");
  if (FData.size() > static_cast<std::size_t>(kExprMaxSize)) Malformed(u"larger than 65535 bytes");
  const Byte* p = FData.data();
  if (ReadU16(p) != kExprVersion) Malformed(u"version " + Num(ReadU16(p)) + u" instead of 2");
  if (ReadU16(p + 2) != FData.size())
    Malformed(u"header size " + Num(ReadU16(p + 2)) + u" but " + Num(static_cast<Int64>(FData.size())) + u" bytes");
  if (ReadU16(p + 4) != kExprMarker) Malformed(u"no 0xFFFF marker");
  if (ReadU16(p + 6) != kExprNodeStart) Malformed(u"node area does not start at 10");
  FLiteralStart = ReadU16(p + 8);
  if (FLiteralStart < kExprNodeStart + kExprNodeHeaderSize || static_cast<std::size_t>(FLiteralStart) > FData.size())
    Malformed(u"literal area start " + Num(FLiteralStart) + u" out of bounds");
}

TExprDataReader::Node TExprDataReader::ReadNode(int Offset) const {
  if (Offset < 0 || Offset + kExprNodeHeaderSize > NodeAreaSize())
    Malformed(u"node offset " + Num(Offset) + u" outside the node area");
  const Byte* p = FData.data() + kExprNodeStart + Offset;
  Node n;
  n.Offset = Offset;
  n.Class = ReadU32(p);
  n.Operator = ReadU32(p + 4);
  const int count = FilterNodeOperandCount(static_cast<TFilterNodeClass>(n.Class & 0xFF));
  n.OperandCount = count < 0 ? 0 : count;
  if (Offset + kExprNodeHeaderSize + 2 * n.OperandCount > NodeAreaSize())
    Malformed(u"operands of the node at " + Num(Offset) + u" run past the node area");
  for (int i = 0; i < n.OperandCount; ++i) n.Operands[i] = ReadU16(p + kExprNodeHeaderSize + 2 * i);
  return n;
}

TExprDataReader::Node TExprDataReader::ReadChild(const Node& Parent, int OperandIndex) const {
  if (OperandIndex < 0 || OperandIndex >= Parent.OperandCount)
    Malformed(u"operand " + Num(OperandIndex) + u" of the node at " + Num(Parent.Offset) + u" does not exist");
  const int offset = Parent.Operands[OperandIndex];
  if (offset <= Parent.Offset)
    Malformed(u"the node at " + Num(Parent.Offset) + u" names the node at " + Num(offset) + u" before it");
  return ReadNode(offset);
}

std::span<const Byte> TExprDataReader::Literal(int Offset, int Size) const {
  if (Offset < 0 || Size < 0 || static_cast<std::size_t>(FLiteralStart) + Offset + Size > FData.size())
    Malformed(u"literal of " + Num(Size) + u" bytes at " + Num(Offset) + u" runs past the buffer");
  return FData.subspan(static_cast<std::size_t>(FLiteralStart + Offset), static_cast<std::size_t>(Size));
}

std::string_view TExprDataReader::LiteralText(int Offset, int MaxBytes) const {
  const std::size_t start = static_cast<std::size_t>(FLiteralStart) + static_cast<std::size_t>(Offset);
  if (Offset < 0 || start >= FData.size()) Malformed(u"text literal at " + Num(Offset) + u" outside the buffer");
  std::size_t end = FData.size();
  if (MaxBytes > 0) end = std::min(end, start + static_cast<std::size_t>(MaxBytes));
  const Byte* first = FData.data() + start;
  const void* zero = std::memchr(first, 0, end - start);
  if (!zero) Malformed(u"text literal at " + Num(Offset) + u" has no terminator");
  return std::string_view(reinterpret_cast<const char*>(first), static_cast<const Byte*>(zero) - first);
}

String TExprDataReader::LiteralWideText(int Offset, int MaxBytes) const {
  const std::size_t start = static_cast<std::size_t>(FLiteralStart) + static_cast<std::size_t>(Offset);
  if (Offset < 0 || start >= FData.size()) Malformed(u"text literal at " + Num(Offset) + u" outside the buffer");
  std::size_t end = FData.size();
  if (MaxBytes > 0) end = std::min(end, start + static_cast<std::size_t>(MaxBytes));
  String out;
  for (std::size_t i = start; i + 1 < end; i += 2) {
    const char16_t c = ReadU16(FData.data() + i);
    if (c == 0) return out;
    out += c;
  }
  Malformed(u"text literal at " + Num(Offset) + u" has no terminator");
}

// ---- validation and dump -------------------------------------------------------------------------------

namespace {

// The field type a constant's code and size stand for under Map: the first type (by ordinal) that
// maps to the code and whose literal has that size. ftUnknown when none.
TFieldType ConstantFieldType(const TFieldMap& Map, int Code, int Size) {
  if (Code == kWideTextTypeCode) return ftWideString;
  if (Code < 0 || Code > 255) return ftUnknown;
  auto fits = [&](TFieldType t) {
    switch (t) {
      case ftString: case ftFixedChar: case ftGuid: case ftMemo: case ftFmtMemo: return Size >= 1;
      case ftSmallint: case ftWord: case ftShortint: case ftByte: case ftBoolean: return Size == 2;
      case ftInteger: case ftAutoInc: case ftDate: case ftTime: case ftSingle: return Size == 4;
      case ftLargeint: case ftLongWord: case ftFloat: case ftCurrency: case ftExtended: case ftDateTime:
        return Size == 8;
      case ftBCD: case ftFMTBcd: return Size == 18;
      case ftTimeStamp: case ftOraTimeStamp: case ftTimeStampOffset: return Size == 16;
      default: return false;
    }
  };
  for (int t = 0; t < kFieldTypeCount; ++t)
    if (Map[static_cast<std::size_t>(t)] == Code && fits(static_cast<TFieldType>(t))) return static_cast<TFieldType>(t);
  return ftUnknown;
}

String Quote(const String& S, const char16_t* Prefix) {
  String out = Prefix;
  out += u'\'';
  for (char16_t c : S) {
    if (c == u'\'') out += u'\'';
    out += c;
  }
  out += u'\'';
  return out;
}

String Hex(std::span<const Byte> Bytes) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  String out = u"0x";
  for (Byte b : Bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

String DateText(std::int32_t Days) {
  if (Days <= 0) return u"day " + Num(Days);
  std::uint16_t y, m, d;
  DecodeDate(static_cast<double>(Days - DateDelta), y, m, d);
  return Format(u"%.4d-%.2d-%.2d", {static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)});
}

String TimeText(Int64 MSecs) {
  const Int64 h = MSecs / 3600000, mi = MSecs / 60000 % 60, s = MSecs / 1000 % 60, ms = MSecs % 1000;
  return Format(u"%.2d:%.2d:%.2d.%.3d", {static_cast<int>(h), static_cast<int>(mi), static_cast<int>(s), static_cast<int>(ms)});
}

String DecodeConstant(TFieldType Type, std::span<const Byte> L) {
  const Byte* p = L.data();
  switch (Type) {
    case ftString: case ftFixedChar: case ftGuid: case ftMemo: case ftFmtMemo: {
      if (L.back() != 0) break;
      return Quote(sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(p), L.size() - 1)), u"");
    }
    case ftWideString: {
      if (L.size() < 2) break;
      const std::size_t n = ReadU16(p);
      if (n % 2 != 0 || n + 2 != L.size()) break;
      String s;
      for (std::size_t i = 0; i < n; i += 2) s += static_cast<char16_t>(ReadU16(p + 2 + i));
      return Quote(s, u"u");
    }
    case ftSmallint: case ftShortint: return Num(static_cast<std::int16_t>(ReadU16(p)));
    case ftWord: case ftByte: return Num(ReadU16(p));
    case ftBoolean: return ReadU16(p) != 0 ? u"true" : u"false";
    case ftInteger: case ftAutoInc: return Num(static_cast<std::int32_t>(ReadU32(p)));
    case ftLargeint: case ftLongWord: {
      std::int64_t v;
      std::memcpy(&v, p, 8);
      return Num(v);
    }
    case ftFloat: case ftCurrency: case ftExtended: {
      double v;
      std::memcpy(&v, p, 8);
      return FloatToStr(v, TFormatSettings::Invariant());
    }
    case ftSingle: {
      float v;
      std::memcpy(&v, p, 4);
      return FloatToStr(v, TFormatSettings::Invariant());
    }
    case ftBCD: case ftFMTBcd: {
      TBcd bcd;
      bcd.Precision = p[0];
      bcd.SignSpecialPlaces = p[1];
      std::memcpy(bcd.Fraction, p + 2, 16);
      if (bcd.Precision < 1 || bcd.Precision > 32 || (bcd.SignSpecialPlaces & 0x3F) > bcd.Precision) break;
      String text;
      const int places = bcd.SignSpecialPlaces & 0x3F;
      if (bcd.SignSpecialPlaces & 0x80) text += u'-';
      for (int i = 0; i < bcd.Precision; ++i) {
        if (i == bcd.Precision - places) text += i == 0 ? u"0." : u".";
        const int digit = (i % 2 == 0) ? bcd.Fraction[i / 2] >> 4 : bcd.Fraction[i / 2] & 15;
        text += static_cast<char16_t>(u'0' + digit);
      }
      return u"bcd(" + text + u")";
    }
    case ftDate: return DateText(static_cast<std::int32_t>(ReadU32(p)));
    case ftTime: return TimeText(static_cast<std::int32_t>(ReadU32(p)));
    case ftDateTime: {
      double v;
      std::memcpy(&v, p, 8);
      if (!std::isfinite(v) || v < 0 || v > 1e15) break;
      const Int64 ms = static_cast<Int64>(std::llround(v));
      return DateText(static_cast<std::int32_t>(ms / MSecsPerDay)) + u" " + TimeText(ms % MSecsPerDay);
    }
    case ftTimeStamp: case ftOraTimeStamp: case ftTimeStampOffset: {
      TSQLTimeStamp ts;
      std::memcpy(&ts, p, 16);
      return Format(u"ts(%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d)",
                    {static_cast<int>(ts.Year), static_cast<int>(ts.Month), static_cast<int>(ts.Day),
                     static_cast<int>(ts.Hour), static_cast<int>(ts.Minute), static_cast<int>(ts.Second),
                     static_cast<int>(ts.Fractions)});
    }
    default: break;
  }
  return Hex(L);
}

class TWalker {
 public:
  TWalker(std::span<const Byte> Data, const TFieldMap* Map, bool UnicodeNames)
      : FReader(Data), FMap(Map), FUnicode(UnicodeNames) {}

  // Appends the dump of the tree to Out (nothing is appended while only checking, Map null).
  void Root(String& Out) { Walk(FReader.ReadNode(0), Out); }

 private:
  void Put(String& Out, std::u16string_view Text) {
    if (FMap) Out += Text;
  }

  void Walk(const TExprDataReader::Node& N, String& Out) {
    const auto cls = static_cast<TFilterNodeClass>(N.Class & 0xFF);
    const std::uint32_t op = N.Operator & 0xFF;
    switch (cls) {
      case ncUnary:
        Put(Out, u"(" + CANOperatorName(op) + u" ");
        Walk(FReader.ReadChild(N, 0), Out);
        Put(Out, u")");
        break;
      case ncBinary:
        Put(Out, u"(" + CANOperatorName(op) + u" ");
        Walk(FReader.ReadChild(N, 0), Out);
        Put(Out, u" ");
        if (op == coIN) {
          Put(Out, u"{");
          List(FReader.ReadChild(N, 1), Out);
          Put(Out, u"}");
        } else {
          Walk(FReader.ReadChild(N, 1), Out);
        }
        Put(Out, u")");
        break;
      case ncCompare: {
        if (N.Operands[0] > 1) Malformed(u"case flag " + Num(N.Operands[0]) + u" at node " + Num(N.Offset));
        String head = u"(" + CANOperatorName(op);
        if (N.Operands[0]) head += u"/ci";
        if (N.Operands[1]) head += u"/p" + Num(N.Operands[1]);
        Put(Out, head + u" ");
        Walk(FReader.ReadChild(N, 2), Out);
        Put(Out, u" ");
        Walk(FReader.ReadChild(N, 3), Out);
        Put(Out, u")");
        break;
      }
      case ncField: {
        String name;
        if (FUnicode) {
          FReader.Literal(N.Operands[1], kWideFieldNameSlot);
          name = FReader.LiteralWideText(N.Operands[1], kWideFieldNameSlot);
        } else {
          FReader.Literal(N.Operands[1], kFieldNameSlot);
          if (FMap) name = sys::AnsiToUtf16(FReader.LiteralText(N.Operands[1], kFieldNameSlot));
          else FReader.LiteralText(N.Operands[1], kFieldNameSlot);
        }
        Put(Out, u"[" + name + u":" + Num(N.Operands[0]) + u"]");
        break;
      }
      case ncConst: {
        const int code = N.Operands[0], size = N.Operands[1];
        if (size == 0) Malformed(u"constant of 0 bytes at node " + Num(N.Offset));
        std::span<const Byte> literal = FReader.Literal(N.Operands[2], size);
        if (code == kWideTextTypeCode && (size < 2 || ReadU16(literal.data()) + 2 != size))
          Malformed(u"wide text constant with a wrong byte count at node " + Num(N.Offset));
        if (FMap) Out += u"#" + Num(code) + u":" + DecodeConstant(ConstantFieldType(*FMap, code, size), literal);
        break;
      }
      case ncFunction: {
        String name;
        if (FUnicode) name = FReader.LiteralWideText(N.Operands[0]);
        else if (FMap) name = sys::AnsiToUtf16(FReader.LiteralText(N.Operands[0]));
        else FReader.LiteralText(N.Operands[0]);
        Put(Out, name + u"(");
        if (N.Operands[1] != 0) List(FReader.ReadChild(N, 1), Out);
        Put(Out, u")");
        break;
      }
      case ncListElem:
        Put(Out, u"{");
        List(N, Out);
        Put(Out, u"}");
        break;
      default:
        Malformed(u"node class " + Num(N.Class) + u" at node " + Num(N.Offset));
    }
  }

  // A chain of ncListElem nodes, walked along "next" without recursion.
  void List(TExprDataReader::Node N, String& Out) {
    for (bool first = true;; first = false) {
      if ((N.Class & 0xFF) != ncListElem)
        Malformed(u"a list holds a node of class " + Num(N.Class) + u" at " + Num(N.Offset));
      if (!first) Put(Out, u", ");
      Walk(FReader.ReadChild(N, 0), Out);
      if (N.Operands[1] == 0) break;
      N = FReader.ReadChild(N, 1);
    }
  }

  TExprDataReader FReader;
  const TFieldMap* FMap;
  bool FUnicode;
};

}  // namespace

void CheckFilterExprData(std::span<const Byte> Data, bool UnicodeNames) {
  String none;
  TWalker(Data, nullptr, UnicodeNames).Root(none);
}

String DumpFilterExpr(std::span<const Byte> Data, const TFieldMap& FieldMap, bool UnicodeNames) {
  String out;
  TWalker(Data, &FieldMap, UnicodeNames).Root(out);
  return out;
}
