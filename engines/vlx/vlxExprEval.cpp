#include "engines/vlx/vlxExprEval.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int kListCapacity = 51;
constexpr double kMSecsPerDay = 86400000.0;

[[noreturn]] void RaiseCode(const char16_t* Fmt, std::uint32_t Code) {
  throw EMemTableFilterError(Format(Fmt, {static_cast<int>(Code)}));
}
[[noreturn]] void RaiseName(const char16_t* Fmt, const String& Name) { throw EMemTableFilterError(Format(Fmt, {Name})); }

template <typename T>
T Load(std::span<const Byte> Bytes) {
  T v;
  std::memcpy(&v, Bytes.data(), sizeof(T));
  return v;
}

bool IsNull(const Variant& v) { return v.IsNull() || v.IsEmpty(); }

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

String AsciiCase(const Variant& v, bool Upper) {
  String s = v.AsString();
  for (char16_t& c : s) {
    if (Upper && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    if (!Upper && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return s;
}

// The constant's literal must hold at least what its type code reads.
std::span<const Byte> ConstLiteral(const TExprDataReader& Buffer, const TExprDataReader::Node& N, int Need) {
  if (N.Operands[1] < Need) {
    throw EMemTableFilterError(Format(vlxmsg::SFilterMalformed, {Str("constant too short for its type")}));
  }
  return Buffer.Literal(N.Operands[2], N.Operands[1]);
}

Variant DecodeConst(const TExprDataReader& Buffer, const TExprDataReader::Node& N) {
  const std::uint16_t Code = N.Operands[0];
  switch (Code) {
    case 1:
      return VarFromAnsi(AnsiString(Buffer.LiteralText(N.Operands[2], N.Operands[1])));
    case 2:
      return Variant(Load<std::int16_t>(ConstLiteral(Buffer, N, 2)));
    case 3:
      return Variant(Load<std::int32_t>(ConstLiteral(Buffer, N, 4)));
    case 4:
      return Variant(Load<std::uint16_t>(ConstLiteral(Buffer, N, 2)));
    case 5:
      return Variant(Load<std::uint16_t>(ConstLiteral(Buffer, N, 2)) != 0);
    case 6:
      return Variant(Load<double>(ConstLiteral(Buffer, N, 8)));
    case 8: {
      TBcd Bcd;
      const auto Bytes = ConstLiteral(Buffer, N, 18);
      Bcd.Precision = Bytes[0];
      Bcd.SignSpecialPlaces = Bytes[1];
      std::memcpy(Bcd.Fraction, Bytes.data() + 2, 16);
      return Variant(BcdToCurrency(Bcd));
    }
    case 9:
      return VarFromDateTime(static_cast<double>(Load<std::int32_t>(ConstLiteral(Buffer, N, 4)) - DateDelta));
    case 10:
      return VarFromDateTime(Load<std::int32_t>(ConstLiteral(Buffer, N, 4)) / kMSecsPerDay);
    case 11: {
      const double Raw = Load<double>(ConstLiteral(Buffer, N, 8));
      if (!std::isfinite(Raw) || std::fabs(Raw) > 9.0e18) {
        throw EMemTableFilterError(Format(vlxmsg::SFilterMalformed, {Str("date-time constant out of range")}));
      }
      const auto MSecs = static_cast<Int64>(std::llround(Raw));
      const Int64 Day = MSecs / 86400000;
      const Int64 MSecOfDay = MSecs % 86400000;
      return VarFromDateTime(static_cast<double>(Day - DateDelta) + MSecOfDay / kMSecsPerDay);
    }
    case 25:
      return Variant(static_cast<long long>(Load<std::int64_t>(ConstLiteral(Buffer, N, 8))));
    case 36: {
      const auto Bytes = ConstLiteral(Buffer, N, 16);
      TSQLTimeStamp Stamp;
      std::memcpy(&Stamp, Bytes.data(), sizeof(Stamp));
      return VarSQLTimeStampCreate(Stamp);
    }
    case 42:
      return Variant(static_cast<unsigned>(Load<std::uint32_t>(ConstLiteral(Buffer, N, 4))));
    case 43:
      return Variant(static_cast<signed char>(ConstLiteral(Buffer, N, 1)[0]));
    case 44:
      return Variant(static_cast<unsigned char>(ConstLiteral(Buffer, N, 1)[0]));
    case kWideTextTypeCode: {
      const auto Count = Load<std::uint16_t>(ConstLiteral(Buffer, N, 2));
      const auto Units = Buffer.Literal(N.Operands[2] + 2, Count / 2 * 2);
      String Text(Count / 2, u'\0');
      std::memcpy(Text.data(), Units.data(), Units.size());
      return Variant(std::move(Text));
    }
    default:
      RaiseCode(vlxmsg::SFilterUnknownFieldType, Code);
  }
}

bool Compare(std::uint32_t Op, const Variant& L, const Variant& R) {
  switch (Op) {
    case coEQ: return L == R;
    case coNE: return !(L == R);
    case coGT: return L > R;
    case coLT: return L < R;
    case coGE: return L >= R;
    default: return L <= R;
  }
}

bool LikeMatch(const Variant& L, const Variant& R) { return vlxMatchesMask(L.AsString(), R.AsString()); }

Variant ListElement(const Variant& Args, int Index) {
  if (!Args.IsArray() || Index > VarArrayHighBound(Args, 1)) return Variant();
  return Args.GetElement(Index);
}

// Start and length as the platform's Copy treats them: a start before 1 counts from 1, a negative length is
// empty, a range past the end stops at the end.
String ClampedCopy(const String& S, Int64 Start, Int64 Length) {
  if (Start < 1) Start = 1;
  const auto Size = static_cast<Int64>(S.size());
  if (Start > Size || Length <= 0) return String();
  if (Length > Size - Start + 1) Length = Size - Start + 1;
  return S.substr(static_cast<std::size_t>(Start - 1), static_cast<std::size_t>(Length));
}

Variant SubstringOf(const String& Name, const Variant& Args) {
  if (!Args.IsArray()) RaiseName(vlxmsg::SFilterInvalidParameter, Name);
  const Variant Text = ListElement(Args, 0);
  if (IsNull(Text)) return Null();
  const Variant StartArg = ListElement(Args, 1);
  const Variant LengthArg = ListElement(Args, 2);
  Int64 Start = 0;
  Int64 Length = 0;
  try {
    const String StartText = StartArg.AsString();
    const auto Comma = StartText.find(u',');
    Start = Comma == String::npos ? StartArg.AsInt64() : StrToInt64(StartText.substr(0, Comma));
    if (!IsNull(LengthArg)) Length = LengthArg.AsInt64();
    if (Length == 0) {
      Length = Comma == String::npos ? std::numeric_limits<Int64>::max() : StrToInt64(StartText.substr(Comma + 1));
    }
  } catch (const EVariantError&) {
    RaiseName(vlxmsg::SFilterInvalidParameter, Name);
  } catch (const EConvertError&) {
    RaiseName(vlxmsg::SFilterInvalidParameter, Name);
  }
  return Variant(ClampedCopy(Text.AsString(), Start, Length));
}

Variant TrimOf(int Which, const Variant& Args) {
  const Variant Text = Args.IsArray() ? ListElement(Args, 0) : Args;
  if (IsNull(Text)) return Null();
  const String S = Text.AsString();
  // With a second argument only that character is trimmed; by default every control character and space.
  const Variant Chars = Args.IsArray() ? ListElement(Args, 1) : Variant();
  const String CharText = IsNull(Chars) ? String() : Chars.AsString();
  auto Trimmed = [&](char16_t c) { return CharText.empty() ? c <= u' ' : c == CharText[0]; };
  std::size_t First = 0;
  std::size_t Last = S.size();
  if (Which != 2) {
    while (First < Last && Trimmed(S[First])) ++First;
  }
  if (Which != 1) {
    while (Last > First && Trimmed(S[Last - 1])) --Last;
  }
  return Variant(S.substr(First, Last - First));
}

Variant DateTimePart(const String& Name, const Variant& Arg) {
  if (IsNull(Arg)) return Null();
  TDateTime Value = 0;
  try {
    Value = Arg.AsDateTime();
  } catch (const EVariantError&) {
    RaiseName(vlxmsg::SFilterInvalidParameter, Name);
  }
  std::uint16_t Year, Month, Day, Hour, Minute, Second, MSec;
  DecodeDateTime(Value, Year, Month, Day, Hour, Minute, Second, MSec);
  std::uint16_t Part = 0;
  if (Name == u"YEAR") Part = Year;
  else if (Name == u"MONTH") Part = Month;
  else if (Name == u"DAY") Part = Day;
  else if (Name == u"HOUR") Part = Hour;
  else if (Name == u"MINUTE") Part = Minute;
  else Part = Second;
  return Variant(static_cast<unsigned short>(Part));
}

Variant DateOrTime(const String& Name, const Variant& Args, TvlxFilterFrame& Frame) {
  const bool IsDate = Name == u"DATE";
  try {
    if (Args.IsArray()) {
      const String Text = ListElement(Args, 0).AsString();
      const String Fmt = ListElement(Args, 1).AsString();
      if (!Frame.LocalSettings) Frame.LocalSettings = Frame.TableSettings;
      if (IsDate) {
        Frame.LocalSettings->ShortDateFormat = Fmt;
        return VarFromDateTime(StrToDate(Text, *Frame.LocalSettings));
      }
      Frame.LocalSettings->ShortTimeFormat = Fmt;
      return VarFromDateTime(StrToTime(Text, *Frame.LocalSettings));
    }
    if (IsNull(Args)) return Null();
    const TDateTime Value = Args.AsDateTime();
    if (IsDate) return Variant(static_cast<int>(std::trunc(Value)));
    return Variant(Value - std::trunc(Value));
  } catch (const EVariantError&) {
    RaiseName(vlxmsg::SFilterInvalidParameter, Name);
  }
}

void EvaluateFunction(const TExprDataReader& Buffer, const TExprDataReader::Node& N, Variant& Result,
                      TvlxFilterFrame& Frame) {
  if ((N.Operator & 0xFF) != coFUNC2) RaiseCode(vlxmsg::SFilterOperatorNotSupported, N.Operator & 0xFF);
  const String Written = AnsiToString(Buffer.LiteralText(N.Operands[0]));
  const String Name = UpperCase(Written);
  Variant Args;
  if (N.Operands[1] != 0) EvaluateFilterNode(Buffer, Buffer.ReadChild(N, 1).Offset, Args, Frame);

  if (Name == u"UPPER" || Name == u"LOWER") {
    Result = IsNull(Args) ? Null() : Variant(AsciiCase(Args, Name == u"UPPER"));
  } else if (Name == u"SUBSTRING") {
    Result = SubstringOf(Written, Args);
  } else if (Name == u"TRIM") {
    Result = TrimOf(0, Args);
  } else if (Name == u"TRIMLEFT") {
    Result = TrimOf(1, Args);
  } else if (Name == u"TRIMRIGHT") {
    Result = TrimOf(2, Args);
  } else if (Name == u"GETDATE") {
    Result = VarFromDateTime(Now());
  } else if (Name == u"YEAR" || Name == u"MONTH" || Name == u"DAY" || Name == u"HOUR" || Name == u"MINUTE" ||
             Name == u"SECOND") {
    Result = DateTimePart(Written, Args);
  } else if (Name == u"DATE" || Name == u"TIME") {
    Result = DateOrTime(Written, Args, Frame);
  } else {
    RaiseName(vlxmsg::SFilterInvalidFunction, Written);
  }
}

void EvaluateList(const TExprDataReader& Buffer, const TExprDataReader::Node& First, Variant& Result,
                  TvlxFilterFrame& Frame) {
  Variant Value;
  TExprDataReader::Node Elem = First;
  if ((Elem.Operator & 0xFF) != coLISTELEM2) RaiseCode(vlxmsg::SFilterOperatorNotSupported, Elem.Operator & 0xFF);
  EvaluateFilterNode(Buffer, Buffer.ReadChild(Elem, 0).Offset, Value, Frame);
  if (Elem.Operands[1] == 0) {
    // One element keeps its own value and kind: converting it to 8-bit text would lose wide text.
    Result = std::move(Value);
    return;
  }
  Variant List = VarArrayCreate({0, kListCapacity - 1}, varVariant);
  int Index = 0;
  for (;;) {
    List.SetElement(Index++, Value);
    if (Elem.Operands[1] == 0) break;
    // The reader insists each next element lies after the previous one, so the chain always ends.
    Elem = Buffer.ReadChild(Elem, 1);
    if (Elem.Class != ncListElem || (Elem.Operator & 0xFF) != coLISTELEM2) {
      if (Elem.Class != ncListElem) RaiseCode(vlxmsg::SFilterClassOutOfRange, Elem.Class);
      RaiseCode(vlxmsg::SFilterOperatorNotSupported, Elem.Operator & 0xFF);
    }
    if (Index >= kListCapacity) List.SetElement(Index, Variant());  // raises the platform's index error
    EvaluateFilterNode(Buffer, Buffer.ReadChild(Elem, 0).Offset, Value, Frame);
  }
  Result = std::move(List);
}

bool InList(const Variant& Left, const Variant& Right) {
  if (!Right.IsArray()) return Left == Right;
  const int High = VarArrayHighBound(Right, 1);
  for (int i = VarArrayLowBound(Right, 1); i <= High; ++i) {
    const Variant Item = Right.GetElement(i);
    if (Item.IsEmpty()) break;
    if (!Item.IsNull() && Left == Item) return true;
  }
  return false;
}

}  // namespace

const TFieldMap& vlxFilterFieldMap() {
  static const TFieldMap Map = [] {
    TFieldMap m{};
    for (int t = 0; t < kFieldTypeCount; ++t) m[static_cast<std::size_t>(t)] = static_cast<Byte>(t);
    m[ftCurrency] = ftFloat;
    m[ftAutoInc] = ftInteger;
    for (TFieldType t : {ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftOraBlob, ftOraClob})
      m[t] = ftBlob;
    for (TFieldType t : {ftFixedChar, ftOraInterval}) m[t] = ftString;
    for (TFieldType t : {ftFixedWideChar, ftWideMemo}) m[t] = ftWideString;
    m[ftOraTimeStamp] = ftTimeStamp;
    for (TFieldType t : {ftUnknown, ftCursor, ftReference, ftDataSet, ftVariant, ftInterface, ftIDispatch, ftConnection,
                         ftParams, ftStream, ftTimeStampOffset, ftObject})
      m[t] = 0;
    return m;
  }();
  return Map;
}

bool vlxMatchesMask(std::u16string_view Text, std::u16string_view Mask) {
  // One mask position against one character; Next receives the position after the token.
  auto TokenMatches = [&](std::size_t M, char16_t C, std::size_t& Next) {
    if (Mask[M] == u'?') {
      Next = M + 1;
      return true;
    }
    if (Mask[M] == u'[') {
      const std::size_t Close = Mask.find(u']', M + 1);
      if (Close != std::u16string_view::npos) {
        Next = Close + 1;
        std::size_t i = M + 1;
        const bool Negate = i < Close && Mask[i] == u'!';
        if (Negate) ++i;
        bool Found = false;
        for (; i < Close; ++i) {
          if (i + 2 < Close && Mask[i + 1] == u'-') {
            const char16_t Lo = AsciiUpper(Mask[i]);
            const char16_t Hi = AsciiUpper(Mask[i + 2]);
            const char16_t Up = AsciiUpper(C);
            if (Up >= Lo && Up <= Hi) Found = true;
            i += 2;
          } else if (AsciiUpper(Mask[i]) == AsciiUpper(C)) {
            Found = true;
          }
        }
        return Found != Negate;
      }
    }
    Next = M + 1;
    return AsciiUpper(Mask[M]) == AsciiUpper(C);
  };
  // Greedy scan with one backtrack point at the last star: linear space, no recursion.
  std::size_t T = 0, M = 0;
  std::size_t StarM = std::u16string_view::npos, StarT = 0;
  while (T < Text.size()) {
    std::size_t Next = 0;
    if (M < Mask.size() && Mask[M] == u'*') {
      StarM = ++M;
      StarT = T;
    } else if (M < Mask.size() && TokenMatches(M, Text[T], Next)) {
      M = Next;
      ++T;
    } else if (StarM != std::u16string_view::npos) {
      M = StarM;
      T = ++StarT;
    } else {
      return false;
    }
  }
  while (M < Mask.size() && Mask[M] == u'*') ++M;
  return M == Mask.size();
}

void EvaluateFilterNode(const TExprDataReader& Buffer, int Node, Variant& Result, TvlxFilterFrame& Frame) {
  const TExprDataReader::Node N = Buffer.ReadNode(Node);
  const std::uint32_t Op = N.Operator & 0xFF;
  switch (N.Class & 0xFF) {
    case ncField: {
      if (Op != coFIELD2) RaiseCode(vlxmsg::SFilterUnknownOperator, Op);
      if (static_cast<std::size_t>(Node) >= Frame.FieldIndexes.size()) {
        throw EMemTableFilterError(Format(vlxmsg::SFilterMalformed, {Str("field node outside the node area")}));
      }
      int& Index = Frame.FieldIndexes[static_cast<std::size_t>(Node)];
      if (Index < 0) Index = Frame.Record.FieldIndex(AnsiToString(Buffer.LiteralText(N.Operands[1], kFieldNameSlot)));
      Result = Frame.Record.FieldValue(Index);
      return;
    }
    case ncConst:
      if (Op == coCONST2) Result = DecodeConst(Buffer, N);
      return;
    case ncUnary: {
      Variant V;
      EvaluateFilterNode(Buffer, Buffer.ReadChild(N, 0).Offset, V, Frame);
      switch (Op) {
        case coISBLANK: Result = IsNull(V); return;
        case coNOTBLANK: Result = !IsNull(V); return;
        case coNOT: Result = IsNull(V) ? Null() : VarNot(V); return;
        case coMINUS: Result = IsNull(V) ? Null() : -V; return;
        case coUPPER:
        case coLOWER: Result = IsNull(V) ? Null() : Variant(AsciiCase(V, Op == coUPPER)); return;
        default: return;
      }
    }
    case ncBinary: {
      Variant L, R;
      EvaluateFilterNode(Buffer, Buffer.ReadChild(N, 0).Offset, L, Frame);
      EvaluateFilterNode(Buffer, Buffer.ReadChild(N, 1).Offset, R, Frame);
      const bool AnyNull = IsNull(L) || IsNull(R);
      switch (Op) {
        case coEQ: case coNE: case coGT: case coLT: case coGE: case coLE:
          Result = !AnyNull && Compare(Op, L, R);
          return;
        case coAND: Result = !AnyNull && VarAnd(L, R).AsBoolean(); return;
        case coOR: Result = !AnyNull && VarOr(L, R).AsBoolean(); return;
        case coADD: Result = AnyNull ? Null() : L + R; return;
        case coSUB: Result = AnyNull ? Null() : L - R; return;
        case coMUL: Result = AnyNull ? Null() : L * R; return;
        case coDIV: Result = AnyNull ? Null() : L / R; return;
        case coMOD: case coREM: Result = AnyNull ? Null() : VarMod(L, R); return;
        case coLIKE: Result = !AnyNull && LikeMatch(L, R); return;
        case coIN: Result = !AnyNull && InList(L, R); return;
        default: RaiseCode(vlxmsg::SFilterOperatorNotSupported, Op);
      }
    }
    case ncCompare: {
      Variant F, C;
      EvaluateFilterNode(Buffer, Buffer.ReadChild(N, 2).Offset, F, Frame);
      EvaluateFilterNode(Buffer, Buffer.ReadChild(N, 3).Offset, C, Frame);
      if (IsNull(F) || IsNull(C)) {
        Result = false;
        return;
      }
      if (Op == coLIKE) {
        // The writer dropped the mask's trailing "*" into the partial length; matching without it would
        // turn "Name LIKE 'J*'" into an exact match.
        Result = N.Operands[1] != 0 ? vlxMatchesMask(F.AsString(), C.AsString() + u'*') : LikeMatch(F, C);
        return;
      }
      if (Op != coEQ && Op != coNE) RaiseCode(vlxmsg::SFilterOperatorNotSupported, Op);
      String A = F.AsString(), B = C.AsString();
      if (N.Operands[0] == 1) {
        A = AnsiUpperCase(A);
        B = AnsiUpperCase(B);
      }
      if (N.Operands[1] != 0) {
        A = A.substr(0, N.Operands[1]);
        B = B.substr(0, N.Operands[1]);
      }
      Result = (A == B) == (Op == coEQ);
      return;
    }
    case ncFunction:
      EvaluateFunction(Buffer, N, Result, Frame);
      return;
    case ncListElem:
      EvaluateList(Buffer, N, Result, Frame);
      return;
    default:
      RaiseCode(vlxmsg::SFilterClassOutOfRange, N.Class & 0xFF);
  }
}

TvlxExprEvaluator::TvlxExprEvaluator(TExprData Data) : FData(std::move(Data)) {
  if (FData.empty()) return;
  try {
    const TExprDataReader Reader(FData);
    FFieldIndexes.assign(static_cast<std::size_t>(Reader.NodeAreaSize()), -1);
  } catch (const EExprDataError& E) {
    throw EMemTableFilterError(Format(vlxmsg::SFilterMalformed, {E.Message()}));
  }
}

Variant TvlxExprEvaluator::EvaluateValue(const TvlxFilterRecord& Record) {
  if (FData.empty()) return Variant(true);
  if (FResolvedFor != &Record) {
    std::fill(FFieldIndexes.begin(), FFieldIndexes.end(), -1);
    FResolvedFor = &Record;
  }
  TvlxFilterFrame Frame{Record, FFieldIndexes, Record.FilterFormatSettings(), std::nullopt};
  Variant Result;
  try {
    const TExprDataReader Reader(FData);
    EvaluateFilterNode(Reader, 0, Result, Frame);
  } catch (const EExprDataError& E) {
    throw EMemTableFilterError(Format(vlxmsg::SFilterMalformed, {E.Message()}));
  }
  return Result;
}

bool TvlxExprEvaluator::Evaluate(const TvlxFilterRecord& Record) {
  const Variant Value = EvaluateValue(Record);
  // A record whose filter value is unknown is not accepted, rather than raising a conversion error.
  if (IsNull(Value)) return false;
  return Value.AsBoolean();
}

TvlxExprParser::TvlxExprParser(TDataSet* DataSet, const String& Text, TFilterOptions Options)
    : TExprParser(DataSet, Text, Options, poExtSyntax, String(), vlxFilterFieldMap(), false),
      FDataset(DataSet),
      FEvaluator(FilterData()) {}
