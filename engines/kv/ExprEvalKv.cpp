#include "engines/kv/ExprEvalKv.h"

#include <cmath>
#include <cstring>

#include "engines/kv/RecordsViewKv.h"
#include "platform/db/DataSet.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace {

constexpr int kMaxDepth = 512;

const TFieldMap& BuildFieldMap() {
  static const TFieldMap map = [] {
    TFieldMap m{};
    auto set = [&m](std::initializer_list<TFieldType> types, int code) {
      for (TFieldType t : types) m[static_cast<size_t>(t)] = static_cast<Byte>(code);
    };
    set({ftUnknown, ftVariant, ftInterface, ftIDispatch, ftShortint, ftByte, ftConnection, ftParams, ftStream, ftObject}, 0);
    set({ftString, ftFixedChar, ftWideString, ftGuid, ftOraInterval}, 1);
    set({ftDate}, 2);
    set({ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftOraBlob, ftOraClob, ftWideMemo}, 3);
    set({ftBoolean}, 4);
    set({ftSmallint}, 5);
    set({ftInteger, ftAutoInc, ftLongWord}, 6);
    set({ftFloat, ftCurrency, ftExtended}, 7);
    set({ftBCD}, 8);
    set({ftBytes}, 9);
    set({ftTime}, 10);
    set({ftDateTime}, 11);
    set({ftWord}, 12);
    set({ftVarBytes}, 15);
    set({ftCursor}, 17);
    set({ftLargeint}, 18);
    set({ftADT}, 20);
    set({ftArray}, 21);
    set({ftReference}, 22);
    set({ftDataSet}, 23);
    set({ftTimeStamp, ftOraTimeStamp}, 24);
    set({ftFMTBcd}, 25);
    set({ftFixedWideChar}, 26);
    set({ftSingle}, 27);
    set({ftTimeStampOffset}, 36);
    return m;
  }();
  return map;
}

// Constant code → the field type whose literal encoding applies.
constexpr TFieldType kConstKinds[27] = {
    ftUnknown, ftString,   ftDate,    ftBlob,     ftBoolean,  ftSmallint, ftInteger, ftFloat,    ftBCD,
    ftBytes,   ftTime,     ftDateTime, ftWord,    ftInteger,  ftUnknown,  ftVarBytes, ftUnknown, ftUnknown,
    ftLargeint, ftLargeint, ftADT,    ftArray,    ftReference, ftDataSet, ftTimeStamp, ftFMTBcd, ftWideString};

enum FunctionId : signed char {
  fnUnknown = -2,
  fnSubstring = 0, fnUpper, fnLower, fnTrim, fnTrimLeft, fnTrimRight,
  fnYear, fnMonth, fnDay, fnHour, fnMinute, fnSecond, fnGetDate, fnDate, fnTime,
  fnSum, fnMin, fnMax, fnAvg, fnCount,
};

constexpr const char* kFunctionNames[] = {"SUBSTRING", "UPPER", "LOWER", "TRIM",   "TRIMLEFT", "TRIMRIGHT", "YEAR",
                                          "MONTH",     "DAY",   "HOUR",  "MINUTE", "SECOND",   "GETDATE",   "DATE",
                                          "TIME",      "SUM",   "MIN",   "MAX",    "AVG",      "COUNT"};

bool SameAsciiText(std::string_view a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (x != y) return false;
  }
  return i == a.size() && b[i] == 0;
}

[[noreturn]] void NotSupported(std::uint32_t Class, std::uint32_t Op) {
  throw Exception(Format(kvmsg::SOperatorNotSupported, {static_cast<int>(Class & 0xFF), static_cast<int>(Op & 0xFF)}));
}

bool IsBlank(const Variant& v) { return v.IsNull() || v.IsEmpty(); }

bool IsText(const Variant& v) {
  const TVarType t = v.VType();
  return t == varOleStr || t == varUString || t == varString;
}

bool IsNumericKind(const Variant& v) {
  switch (v.VType()) {
    case varSmallint: case varInteger: case varInt64: case varSingle: case varDouble: case varCurrency:
    case varDate: case varBoolean: case varShortInt: case varByte: case varWord: case varLongWord: case varUInt64:
      return true;
    default: return false;
  }
}

// A value as text without allocating for the stored text kinds (Null reads as the empty text).
std::u16string_view TextOf(const Variant& v, std::u16string& Scratch) {
  switch (v.VType()) {
    case varOleStr: case varUString: return v.VUString();
    case varString: {
      const AnsiString& a = v.VAnsiString();
      bool ascii = true;
      for (char c : a)
        if (static_cast<unsigned char>(c) >= 0x80) {
          ascii = false;
          break;
        }
      if (ascii) Scratch.assign(a.begin(), a.end());
      else sys::AnsiToUtf16(a, Scratch);
      return Scratch;
    }
    case varNull: case varEmpty: return {};
    default: Scratch = VarToStr(v); return Scratch;
  }
}

int CompareTexts(std::u16string_view a, std::u16string_view b, int Partial, bool CaseIns) {
  if (Partial > 0) {
    a = a.substr(0, std::min(a.size(), static_cast<size_t>(Partial)));
    b = b.substr(0, std::min(b.size(), static_cast<size_t>(Partial)));
  }
  const int r = sys::CompareStringW(sys::LOCALE_USER_DEFAULT, CaseIns ? sys::NORM_IGNORECASE : 0, a, b) - 2;
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

char16_t UpperChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  sys::UpperCaseInPlace(&c, 1);
  return c;
}

bool OperatorHolds(std::uint32_t Op, int Cmp) {
  switch (Op) {
    case coEQ: return Cmp == 0;
    case coNE: return Cmp != 0;
    case coGT: return Cmp > 0;
    case coLT: return Cmp < 0;
    case coGE: return Cmp >= 0;
    default: return Cmp <= 0;
  }
}

template <class T>
T Load(std::span<const Byte> b) {
  T v;
  std::memcpy(&v, b.data(), sizeof(T));
  return v;
}

String TrimChars(std::u16string_view S, std::u16string_view TrimText, bool Left, bool Right) {
  if (TrimText.size() != 1) return String(S);
  const char16_t c = TrimText[0];
  size_t b = 0, e = S.size();
  if (Left)
    while (b < e && S[b] == c) ++b;
  if (Right)
    while (e > b && S[e - 1] == c) --e;
  return String(S.substr(b, e - b));
}

}  // namespace

const TFieldMap& KvFilterFieldMap() { return BuildFieldMap(); }

bool KvLikeMatch(std::u16string_view V, std::u16string_view P, bool CaseIns) {
  auto same = [CaseIns](char16_t a, char16_t b) { return a == b || (CaseIns && UpperChar(a) == UpperChar(b)); };
  // Greedy walk with one backtrack point: the last "%" seen and where its run started in the value.
  size_t i = 0, j = 0, star = std::u16string_view::npos, mark = 0;
  while (j < V.size()) {
    if (i < P.size() && P[i] == u'%') {
      star = i++;
      mark = j;
    } else if (i < P.size() && (P[i] == u'_' || same(P[i], V[j]))) {
      ++i;
      ++j;
    } else if (star != std::u16string_view::npos) {
      i = star + 1;
      j = ++mark;
    } else {
      return false;
    }
  }
  while (i < P.size() && P[i] == u'%') ++i;
  return i == P.size();
}

// ---- holder ----------------------------------------------------------------------------------------------

struct TDataSetExprParserKv::Frame {
  const TExprDataReader& R;
  const TMemoryRecordKv* Rec;
  const TAggregateRowsKv* Rows;
  int Row;
  bool CaseIns;
};

TDataSetExprParserKv::TDataSetExprParserKv(TDataSet* ADataSet, TDataSetExprParserTypeKv ExprParserType)
    : FDataSet(ADataSet), FExprParserType(ExprParserType) {}

void TDataSetExprParserKv::ParseExpression(const String& Expr) {
  const TParserOptions options = FExprParserType == dsptAggregateKv ? (poExtSyntax | poAggregate) : poExtSyntax;
  TExprParser parser(FDataSet, Expr, FDataSet ? FDataSet->FilterOptions() : 0, options, String(), KvFilterFieldMap(),
                     false);
  SetExprData(parser.TakeFilterData());
}

void TDataSetExprParserKv::SetExprData(TExprData Data) {
  FExprData = std::move(Data);
  FConstants.clear();
  FConstantState.clear();
  FFunctionIds.clear();
}

void TDataSetExprParserKv::Clear() { SetExprData(TExprData()); }

void TDataSetExprParserKv::Prepare() {
  const size_t n = FExprData.size();
  if (FConstantState.size() != n) {
    FConstants.assign(n, Variant());
    FConstantState.assign(n, 0);
    FFunctionIds.assign(n, -1);
  }
}

bool TDataSetExprParserKv::IsCurRecordInFilter(const TMemoryRecordKv* Rec) {
  if (!HasData()) return false;
  const Variant v = EvaluateRecord(Rec);
  if (IsBlank(v)) return false;
  if (v.VType() == varBoolean) return v.VBoolean();
  return v.AsBoolean();
}

Variant TDataSetExprParserKv::EvaluateRecord(const TMemoryRecordKv* Rec) {
  Variant result = Null();
  if (!HasData()) return result;
  Prepare();
  const TExprDataReader reader(FExprData);
  Frame f{reader, Rec, nullptr, 0, FDataSet && (FDataSet->FilterOptions() & foCaseInsensitive) != 0};
  const size_t base = FStack.size();
  FDepth = 0;
  try {
    Eval(f, 0, result);
  } catch (...) {
    FStack.resize(base);
    throw;
  }
  return result;
}

void TDataSetExprParserKv::CalcAggregateValue(const TAggregateRowsKv& Rows, Variant& Value) {
  if (!HasData()) {
    Value = Variant(false);
    return;
  }
  Prepare();
  const TExprDataReader reader(FExprData);
  Frame f{reader, nullptr, &Rows, 0, FDataSet && (FDataSet->FilterOptions() & foCaseInsensitive) != 0};
  const size_t base = FStack.size();
  FDepth = 0;
  Value = Null();
  try {
    Eval(f, 0, Value);
  } catch (...) {
    FStack.resize(base);
    throw;
  }
}

void TDataSetExprParserKv::CalcAggregateValue(const TRecordsViewKv* RecordsView, Variant& Value) {
  TAggregateRowsKv rows;
  if (RecordsView) {
    rows.Count = RecordsView->ViewItemsCount();
    rows.Record = [RecordsView](int i) { return RecordsView->GetRec(i); };
  }
  CalcAggregateValue(rows, Value);
}

const Variant& TDataSetExprParserKv::Constant(const TExprDataReader& r, const TExprDataReader::Node& N) {
  const auto at = static_cast<size_t>(N.Offset);
  if (FConstantState[at]) return FConstants[at];
  const int code = N.Operands[0];
  const int size = N.Operands[1];
  const int lit = N.Operands[2];
  auto bytes = [&](int need) {
    if (size < need) throw EExprDataError(u"Constant literal too short for its type at node " + IntToStr(N.Offset));
    return r.Literal(lit, need);
  };
  Variant v = Null();
  if (code == kWideTextTypeCode) {
    const int len = Load<std::uint16_t>(bytes(2));
    const auto units = r.Literal(lit + 2, len / 2 * 2);
    String s(static_cast<size_t>(len / 2), u'\0');
    if (!units.empty()) std::memcpy(s.data(), units.data(), units.size());
    v = Variant(std::move(s));
  } else if (code == 27) {
    v = Variant(Load<float>(bytes(4)));
  } else if (code < 27) {
    const TFieldType kind = kConstKinds[code];
    switch (kind) {
      case ftString: case ftWideString: {
        const auto b = bytes(size);
        const size_t n = size > 0 ? static_cast<size_t>(size - 1) : 0;
        v = VarFromAnsi(AnsiString(reinterpret_cast<const char*>(b.data()), n));
        break;
      }
      case ftSmallint: v = Variant(Load<std::int16_t>(bytes(2))); break;
      case ftInteger:
        // Unsigned 32-bit fields share the integer code with 64-bit literals.
        if (size >= 8) v = Variant(static_cast<long long>(Load<std::int64_t>(bytes(8))));
        else v = Variant(Load<std::int32_t>(bytes(4)));
        break;
      case ftWord: v = Variant(Load<std::uint16_t>(bytes(2))); break;
      case ftBoolean: v = Variant(Load<std::uint16_t>(bytes(2)) != 0); break;
      case ftFloat: v = Variant(Load<double>(bytes(8))); break;
      case ftBCD: case ftFMTBcd: {
        const auto b = bytes(18);
        TBcd bcd{};
        bcd.Precision = b[0];
        bcd.SignSpecialPlaces = b[1];
        std::memcpy(bcd.Fraction, b.data() + 2, 16);
        Currency c;
        v = BCDToCurr(bcd, c) ? Variant(c) : Null();
        break;
      }
      case ftDate: v = VarFromDateTime(static_cast<double>(Load<std::int32_t>(bytes(4)) - DateDelta)); break;
      case ftTime: v = VarFromDateTime(Load<std::int32_t>(bytes(4)) / static_cast<double>(MSecsPerDay)); break;
      case ftDateTime: {
        const double raw = Load<double>(bytes(8));
        if (!std::isfinite(raw) || std::fabs(raw) > 9.0e18)
          throw EExprDataError(u"Date-time constant out of range at node " + IntToStr(N.Offset));
        const auto ms = static_cast<Int64>(std::llround(raw));
        v = VarFromDateTime(static_cast<double>(ms / MSecsPerDay - DateDelta) +
                            static_cast<double>(ms % MSecsPerDay) / MSecsPerDay);
        break;
      }
      case ftLargeint: v = Variant(static_cast<long long>(Load<std::int64_t>(bytes(8)))); break;
      case ftTimeStamp: {
        TSQLTimeStamp ts;
        std::memcpy(&ts, bytes(16).data(), sizeof ts);
        v = VarSQLTimeStampCreate(ts);
        break;
      }
      case ftUnknown: break;
      default: throw Exception(Format(kvmsg::SUnsupportedDataType, {static_cast<int>(kind)}));
    }
  }
  FConstants[at] = std::move(v);
  FConstantState[at] = 1;
  return FConstants[at];
}

int TDataSetExprParserKv::FunctionId(const TExprDataReader& r, const TExprDataReader::Node& N, std::string_view& Name) {
  const auto at = static_cast<size_t>(N.Offset);
  const std::string_view text = r.LiteralText(N.Operands[0]);
  if (FFunctionIds[at] == -1) {
    signed char id = fnUnknown;
    for (size_t k = 0; k < std::size(kFunctionNames); ++k)
      if (SameAsciiText(text, kFunctionNames[k])) id = static_cast<signed char>(k);
    FFunctionIds[at] = id;
  }
  Name = text;
  return FFunctionIds[at];
}

int TDataSetExprParserKv::PushList(Frame& F, int Node) {
  int count = 0;
  int parentOffset = -1;
  for (;;) {
    const TExprDataReader::Node e = F.R.ReadNode(Node);
    if (e.Offset <= parentOffset) throw EExprDataError(u"List element does not follow its predecessor");
    if ((e.Class & 0xFF) != ncListElem || (e.Operator & 0xFF) != coLISTELEM2) NotSupported(e.Class, e.Operator);
    Variant v = Null();
    Eval(F, F.R.ReadChild(e, 0).Offset, v);
    FStack.push_back(std::move(v));
    ++count;
    parentOffset = e.Offset;
    Node = e.Operands[1];
    if (Node < 1) break;
  }
  return count;
}

void TDataSetExprParserKv::Eval(Frame& F, int Node, Variant& Result) {
  struct DepthGuard {
    int& d;
    explicit DepthGuard(int& x) : d(x) {
      if (++d > kMaxDepth) {
        --d;
        throw Exception(u"Expression nested too deeply");
      }
    }
    ~DepthGuard() { --d; }
  } guard(FDepth);

  const TExprDataReader::Node n = F.R.ReadNode(Node);
  const std::uint32_t cls = n.Class & 0xFF;
  const std::uint32_t op = n.Operator & 0xFF;
  Result = Null();
  switch (cls) {
    case ncUnary: {
      Variant a = Null();
      Eval(F, F.R.ReadChild(n, 0).Offset, a);
      switch (op) {
        case coISBLANK: case coNOTBLANK: {
          const bool blank = IsText(a) ? TextOf(a, FText1).empty() : IsBlank(a);
          Result = Variant(op == coISBLANK ? blank : !blank);
          return;
        }
        case coNOT:
          if (IsBlank(a)) return;  // NOT of an unknown stays unknown
          if (a.VType() == varBoolean) Result = Variant(!a.VBoolean());
          else if (VarIsOrdinal(a)) Result = Variant((a.AsInt64() & 0xFFFF) == 0);
          else Result = Variant(!a.AsBoolean());
          return;
        case coUPPER: case coLOWER:
          if (IsBlank(a)) return;
          Result = Variant(op == coUPPER ? AnsiUpperCase(TextOf(a, FText1)) : AnsiLowerCase(TextOf(a, FText1)));
          return;
        default: NotSupported(n.Class, n.Operator);
      }
    }
    case ncBinary: {
      Variant a = Null();
      Eval(F, F.R.ReadChild(n, 0).Offset, a);
      if (op == coIN) {
        const size_t base = FStack.size();
        const int count = PushList(F, F.R.ReadChild(n, 1).Offset);
        bool found = false;
        for (int k = 0; k < count && !found; ++k) found = FStack[base + static_cast<size_t>(k)] == a;
        FStack.resize(base);
        Result = Variant(found);
        return;
      }
      Variant b = Null();
      Eval(F, F.R.ReadChild(n, 1).Offset, b);
      switch (op) {
        case coEQ: case coNE: case coGT: case coLT: case coGE: case coLE:
          if (IsText(a) || IsText(b)) {
            Result = Variant(OperatorHolds(op, CompareTexts(TextOf(a, FText1), TextOf(b, FText2), 0, F.CaseIns)));
            return;
          }
          if (op == coEQ && a.VType() == varDate) {
            const TTimeStamp x = DateTimeToTimeStamp(a.AsDateTime());
            const TTimeStamp y = DateTimeToTimeStamp(b.AsDateTime());
            Result = Variant(x.Date == y.Date && x.Time == y.Time);
            return;
          }
          switch (op) {
            case coEQ: Result = Variant(a == b); return;
            case coNE: Result = Variant(!(a == b)); return;
            case coGT: Result = Variant(a > b); return;
            case coLT: Result = Variant(a < b); return;
            case coGE: Result = Variant(a >= b); return;
            default: Result = Variant(a <= b); return;
          }
        case coAND: Result = VarAnd(a, b); return;
        case coOR: Result = VarOr(a, b); return;
        case coADD:
          if (IsBlank(a) && IsBlank(b)) return;
          if (IsText(a) || IsText(b)) {
            String s(TextOf(a, FText1));
            s += TextOf(b, FText2);
            Result = Variant(std::move(s));
            return;
          }
          Result = a + b;
          return;
        case coSUB: Result = a - b; return;
        case coMUL: Result = a * b; return;
        case coDIV: Result = a / b; return;
        case coLIKE: Result = Variant(KvLikeMatch(TextOf(a, FText1), TextOf(b, FText2), F.CaseIns)); return;
        default: NotSupported(n.Class, n.Operator);
      }
    }
    case ncCompare: {
      Variant a = Null(), b = Null();
      Eval(F, F.R.ReadChild(n, 2).Offset, a);
      Eval(F, F.R.ReadChild(n, 3).Offset, b);
      const bool ci = n.Operands[0] == 1;
      switch (op) {
        case coEQ: case coNE: {
          const int c = CompareTexts(TextOf(a, FText1), TextOf(b, FText2), n.Operands[1], ci);
          Result = Variant(op == coEQ ? c == 0 : c != 0);
          return;
        }
        case coLIKE: Result = Variant(KvLikeMatch(TextOf(a, FText1), TextOf(b, FText2), ci)); return;
        default: NotSupported(n.Class, n.Operator);
      }
    }
    case ncField: {
      if (op != coFIELD2) NotSupported(n.Class, n.Operator);
      const int fieldNo = n.Operands[0];
      const TMemoryRecordKv* rec = F.Rec;
      if (!rec && F.Rows && F.Rows->Record && F.Row >= 0 && F.Row < F.Rows->Count) rec = F.Rows->Record(F.Row);
      // Calculated and lookup fields (FieldNo 0) are not stored in records: read them through the dataset,
      // which shows the candidate record while it filters.
      if (rec && fieldNo >= 1) {
        Result = rec->GetDataValue(fieldNo - 1, dvvValueKv);
        return;
      }
      const std::string_view name = F.R.LiteralText(n.Operands[1], kFieldNameSlot);
      if (!FDataSet) return;
      TField* field = FDataSet->FieldByName(AnsiToString(name));
      Result = field->AsVariant();
      return;
    }
    case ncConst:
      if (op != coCONST2) NotSupported(n.Class, n.Operator);
      Result = Constant(F.R, n);
      return;
    case ncFunction: {
      if (op != coFUNC2) NotSupported(n.Class, n.Operator);
      EvalFunction(F, n, Result);
      return;
    }
    case ncListElem: {
      if (op != coLISTELEM2) NotSupported(n.Class, n.Operator);
      const size_t base = FStack.size();
      PushList(F, Node);
      FStack.resize(base);
      Result = Variant(true);
      return;
    }
    default: return;  // classes no writer of ours emits: the value stays Null
  }
}

void TDataSetExprParserKv::EvalFunction(Frame& F, const TExprDataReader::Node& N, Variant& Result) {
  std::string_view name;
  const int id = FunctionId(F.R, N, name);
  if (id == fnUnknown) throw Exception(Format(kvmsg::SUnsupportedFunction, {AnsiToString(name)}));
  const int first = N.Operands[1];
  // Arguments by structure (counted without evaluating: aggregates evaluate theirs per row).
  int count = 0;
  for (int at = first, prev = N.Offset; at > 0; ++count) {
    if (at <= prev) throw EExprDataError(u"List element does not follow its predecessor");
    prev = at;
    at = F.R.ReadNode(at).Operands[1];
  }
  auto requireCount = [&](int lo, int hi) {
    if (count < lo || count > hi) {
      throw Exception(Format(kvmsg::SIncorrectArgCount, {AnsiToString(name)}));
    }
  };
  switch (id) {
    case fnSubstring: requireCount(2, 3); break;
    case fnTrim: case fnTrimLeft: case fnTrimRight: requireCount(1, 2); break;
    case fnGetDate: requireCount(0, 0); break;
    case fnCount: requireCount(0, 1); break;
    default: requireCount(1, 1); break;
  }
  if (id >= fnSum) {
    EvalAggregate(F, id, first, Result);
    return;
  }
  const size_t base = FStack.size();
  if (count > 0) PushList(F, first);
  struct Pop {
    std::vector<Variant>& s;
    size_t b;
    ~Pop() { s.resize(b); }
  } pop{FStack, base};
  auto arg = [&](int k) -> const Variant& { return FStack[base + static_cast<size_t>(k)]; };
  switch (id) {
    case fnSubstring: {
      if (IsBlank(arg(0))) return;
      const std::u16string_view s = TextOf(arg(0), FText1);
      Int64 start = arg(1).AsInt64();
      if (start < 1) start = 1;
      const auto size = static_cast<Int64>(s.size());
      Int64 len = count == 3 ? arg(2).AsInt64() : size;
      if (start > size || len <= 0) {
        Result = Variant(String());
        return;
      }
      len = std::min(len, size - start + 1);
      Result = Variant(String(s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(len))));
      return;
    }
    case fnUpper: case fnLower:
      if (IsBlank(arg(0))) return;
      Result = Variant(id == fnUpper ? AnsiUpperCase(TextOf(arg(0), FText1)) : AnsiLowerCase(TextOf(arg(0), FText1)));
      return;
    case fnTrim: case fnTrimLeft: case fnTrimRight: {
      if (IsBlank(arg(0))) return;
      const std::u16string_view trim = count == 2 ? TextOf(arg(1), FText2) : std::u16string_view(u" ");
      Result = Variant(TrimChars(TextOf(arg(0), FText1), trim, id != fnTrimRight, id != fnTrimLeft));
      return;
    }
    case fnYear: case fnMonth: case fnDay: case fnHour: case fnMinute: case fnSecond: {
      if (IsBlank(arg(0))) return;
      std::uint16_t y, mo, d, h, mi, s, ms;
      DecodeDateTime(arg(0).AsDateTime(), y, mo, d, h, mi, s, ms);
      const std::uint16_t parts[] = {y, mo, d, h, mi, s};
      Result = Variant(static_cast<unsigned short>(parts[id - fnYear]));
      return;
    }
    case fnGetDate: Result = VarFromDateTime(Now()); return;
    case fnDate: case fnTime: {
      if (IsBlank(arg(0))) return;
      const double dt = arg(0).AsDateTime();
      Result = VarFromDateTime(id == fnDate ? std::trunc(dt) : dt - std::trunc(dt));
      return;
    }
    default: return;
  }
}

void TDataSetExprParserKv::EvalAggregate(Frame& F, int Kind, int ListNode, Variant& Result) {
  const int rows = F.Rows ? F.Rows->Count : 0;
  if (Kind == fnCount && ListNode == 0) {
    Result = Variant(rows);
    return;
  }
  if (rows < 1) {
    if (Kind == fnCount) Result = Variant(0);
    return;
  }
  const TExprDataReader::Node elem = F.R.ReadNode(ListNode);
  if ((elem.Class & 0xFF) != ncListElem || (elem.Operator & 0xFF) != coLISTELEM2) NotSupported(elem.Class, elem.Operator);
  const int argNode = F.R.ReadChild(elem, 0).Offset;
  const int savedRow = F.Row;
  Variant acc = Null();
  int counted = 0;
  Variant v;
  for (int row = 0; row < rows; ++row) {
    F.Row = row;
    v = Null();
    Eval(F, argNode, v);
    switch (Kind) {
      case fnSum: case fnAvg:
        if (!IsBlank(v) && IsNumericKind(v)) {
          acc = counted == 0 ? v : acc + v;
          ++counted;
        }
        break;
      case fnMin: case fnMax: {
        // Null values take no part: a Null would otherwise win every MIN and lose every MAX.
        if (IsBlank(v)) break;
        if (counted++ == 0) {
          acc = v;
          break;
        }
        bool replace;
        if (acc.VType() == varString || v.VType() == varString) {
          const int c = CompareTexts(TextOf(v, FText1), TextOf(acc, FText2), 0, false);
          replace = Kind == fnMin ? c < 0 : c > 0;
        } else {
          replace = Kind == fnMin ? v < acc : v > acc;
        }
        if (replace) acc = v;
        break;
      }
      case fnCount:
        if (!IsBlank(v)) ++counted;
        break;
      default: break;
    }
  }
  F.Row = savedRow;
  switch (Kind) {
    case fnSum: Result = counted ? acc : Variant(static_cast<unsigned char>(0)); return;
    case fnAvg: Result = counted ? acc / Variant(counted) : Null(); return;
    case fnCount: Result = Variant(counted); return;
    default: Result = acc; return;
  }
}
