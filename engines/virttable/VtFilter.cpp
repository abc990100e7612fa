#include "engines/virttable/VtFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engines/virttable/VtParser.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace vt {

namespace {

[[noreturn]] void Illegal() { throw Exception(u"Illegal filter expression"); }

bool IsDateCode(Word t) { return t == dtDate || t == dtTime || t == dtDateTime; }

// A text against a date field is read as a date-time.
void AsDate(Variant& v) {
  if (!VarIsStr(v)) return;
  TDateTime d;
  v = TryStrToDateTime(VarToStr(v), d) ? VarFromDateTime(d) : VarAsType(v, varDate);
}

// Case folding of an operand: every text upper-cased under CaseInsensitive (IN list elements too),
// then LOWER( ) / UPPER( ) of the operand node.
void Fold(Variant& v, const TExpressionNode* n, bool CaseInsensitive) {
  if (VarIsArray(v)) {
    if (!CaseInsensitive) return;
    std::vector<Variant> items;
    for (int i = 0, c = VarArrayLength(v); i < c; ++i) {
      Variant e = VarArrayGet(v, VarArrayLowBound(v, 1) + i);
      items.push_back(VarIsStr(e) ? Variant(AnsiUpperCase(VarToStr(e))) : e);
    }
    v = VarArrayOf(items);
    return;
  }
  if (CaseInsensitive && VarIsStr(v)) v = Variant(AnsiUpperCase(VarToStr(v)));
  if (n->LeftOperand && !VarIsNull(v)) {
    if (n->LeftOperand->NodeType == ntLower) v = Variant(AnsiLowerCase(VarToStr(v)));
    else if (n->LeftOperand->NodeType == ntUpper) v = Variant(AnsiUpperCase(VarToStr(v)));
  }
}

// The ordering of two texts that dynamic values use.
int CompareTexts(std::u16string_view a, std::u16string_view b) {
  const int r = sys::CompareStringW(sys::LOCALE_USER_DEFAULT, 0, a, b);
  if (r == 0) return a.compare(b);
  return r - sys::CSTR_EQUAL;
}

// The comparison result of two numbers as dynamic values give it: -1, 0, 1, or 2 when unordered (NaN).
int CompareNumbers(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return 2;
  return a < b ? -1 : (a > b ? 1 : 0);
}

// Where a constant falls among the values of a BCD field (an Int64 scaled by 10,000), as dynamic
// values compare them (a currency against the constant by decimals): the first scaled value that is
// not below the constant (Below) and the first that is above it (Above). The comparison is monotone in
// the scaled value, so a search near the constant's own scaled value finds both; false when they
// cannot be bracketed (the constant is then compared the general way).
bool ScaledBounds(const Variant& Constant, __int128& Below, __int128& Above) {
  auto order = [&](__int128 k) {
    if (k < std::numeric_limits<Int64>::min()) return -1;
    if (k > std::numeric_limits<Int64>::max()) return 1;
    const TVariantRelationship r = VarCompareValue(Variant(Currency::FromScaled(static_cast<Int64>(k))), Constant);
    if (r == vrNotEqual) throw Exception(u"unordered");
    return r == vrLessThan ? -1 : (r == vrEqual ? 0 : 1);
  };
  const long double guess = static_cast<long double>(VarAsType(Constant, varDouble).VDouble()) * 10000.0L;
  if (!std::isfinite(guess)) return false;
  const long double limit = 1e19L;
  const __int128 g = static_cast<__int128>(std::clamp(guess, -limit, limit));
  // The first k in [lo, hi] with order(k) >= Level; the bracket is widened until it holds.
  auto first = [&](int Level) -> __int128 {
    __int128 span = 4;
    __int128 lo = g - span, hi = g + span;
    while (order(lo) >= Level || order(hi) < Level) {
      if (span > (__int128{1} << 66)) throw Exception(u"unbracketed");
      span *= 16;
      lo = g - span;
      hi = g + span;
    }
    while (hi - lo > 1) {
      const __int128 mid = lo + (hi - lo) / 2;
      (order(mid) >= Level ? hi : lo) = mid;
    }
    return hi;
  };
  try {
    Below = first(0);
    Above = first(1);
  } catch (const Exception&) {
    return false;
  }
  return true;
}

bool IsComparison(TExpressionType t) {
  return (t >= ntEqual && t <= ntNoEqual) || (t >= ntLike && t <= ntNotIn);
}

}  // namespace

// ---- plans ----

// How a planned comparison reads the field (by its code).
enum TPlanField : Byte { pfInteger, pfFloat, pfScaled, pfDate, pfBoolean, pfText };

// One constant a field is compared with, converted for the field.
struct TFilterExpression::TCandidate {
  enum TTest : Byte { ctNull, ctInteger, ctFloat, ctScaled, ctBoolean, ctLike, ctText };
  TTest Test = ctNull;
  Int64 I = 0;
  // ctScaled (a BCD field's Int64 scaled by 10,000): values below Below order before the constant,
  // values from Above on after it, the ones between equal it.
  __int128 Below = 0, Above = 0;
  double D = 0;
  bool B = false;
  std::u16string Text;
};

struct TFilterExpression::TPlan {
  bool General = true;  // through dynamic values
  bool Computed = false;  // the field's value comes from the computed-field source
  const TFieldDesc* Desc = nullptr;
  TPlanField Field = pfInteger;
  TExpressionType Case = ntValue;  // ntLower / ntUpper on the field, else ntValue
  bool CaseInsensitive = false;
  std::vector<TCandidate> Candidates;
};

// ---- LIKE ----

bool MatchLikePattern(std::u16string_view Text, std::u16string_view Pattern, bool NoPartialCompare) {
  // Greedy match with one backtrack point: the last wildcard run seen and the text position it
  // started from. Each element is read from the pattern as it goes (escapes included).
  enum { kLit, kOne, kAny };
  auto element = [&](std::size_t j, char16_t& c, std::size_t& next) {
    c = Pattern[j];
    next = j + 1;
    if (c == u'\\') {
      if (j + 1 < Pattern.size()) {
        c = Pattern[j + 1];
        next = j + 2;
      }
      return kLit;
    }
    if (c == u'%') return kAny;
    if (c == u'*') return NoPartialCompare && j + 1 == Pattern.size() ? kLit : kAny;
    if (c == u'_') return kOne;
    return kLit;
  };
  std::size_t i = 0, j = 0;
  std::size_t starJ = std::u16string_view::npos, starI = 0;
  while (i < Text.size()) {
    if (j < Pattern.size()) {
      char16_t c;
      std::size_t next;
      const int k = element(j, c, next);
      if (k == kAny) {
        starJ = next;
        starI = i;
        j = next;
        continue;
      }
      if (k == kOne || c == Text[i]) {
        ++i;
        j = next;
        continue;
      }
    }
    if (starJ == std::u16string_view::npos) return false;
    j = starJ;
    i = ++starI;
  }
  while (j < Pattern.size()) {
    char16_t c;
    std::size_t next;
    if (element(j, c, next) != kAny) return false;
    j = next;
  }
  return true;
}

// ---- parsing ----

class TFilterParser {
 public:
  TFilterParser(TFilterExpression& Owner, const TData& Data, std::u16string_view Text)
      : FOwner(Owner), FData(Data), FParser(Text) {}

  TExpressionNode* Parse() {
    Next();
    TExpressionNode* root = Expression();
    if (FCode != lxEnd) Illegal();
    return root;
  }

 private:
  int Next() { return FCode = FParser.GetNextToken(); }

  TExpressionNode* Expression() {
    TExpressionNode* left = Term();
    while (FCode == bpOr) {
      Next();
      left = FOwner.NewNode(ntOr, left, Term());
    }
    return left;
  }

  TExpressionNode* Term() {
    TExpressionNode* left = Condition();
    while (FCode == bpAnd) {
      Next();
      left = FOwner.NewNode(ntAnd, left, Condition());
    }
    return left;
  }

  bool StartsOperand() const {
    return FCode == bpMinus || FCode == bpPlus || FCode == bpLeftSqBracket || FCode == bpRightSqBracket ||
           FCode == bpLower || FCode == bpUpper || FCode == bpBetween || FCode == lxString || FCode == lxNumber ||
           FCode == lxIdent;
  }

  TExpressionNode* Condition() {
    switch (FCode) {
      case bpLeftBracket: {
        Next();
        TExpressionNode* e = Expression();
        if (FCode != bpRightBracket) Illegal();
        Next();
        return e;
      }
      case bpNot: Next(); return FOwner.NewNode(ntNot, Condition());
      case bpTrue: Next(); return FOwner.NewNode(ntTrue);
      case bpFalse: Next(); return FOwner.NewNode(ntFalse);
      default: break;
    }
    if (!StartsOperand()) Illegal();
    TExpressionNode* left = Operand();
    return Relation(left);
  }

  TExpressionNode* Relation(TExpressionNode* Left) {
    TExpressionType type;
    switch (FCode) {
      case bpEqual: type = ntEqual; Next(); break;
      case bpMore: type = ntMore; Next(); break;
      case bpLess: type = ntLess; Next(); break;
      case bpMoreEqual: type = ntMoreEqual; Next(); break;
      case bpLessEqual: type = ntLessEqual; Next(); break;
      case bpNoEqual: type = ntNoEqual; Next(); break;
      case bpLike: type = ntLike; Next(); break;
      case bpIn:
        type = ntIn;
        if (Next() != bpLeftBracket) Illegal();
        break;
      case bpBetween: type = ntBetween; Next(); break;
      case bpIs:
        type = ntEqual;
        if (Next() == bpNot) {
          type = ntNoEqual;
          Next();
        }
        if (FCode != bpNull) Illegal();
        break;
      case bpNot:
        switch (Next()) {
          case bpLike: type = ntNotLike; Next(); break;
          case bpIn:
            type = ntNotIn;
            if (Next() != bpLeftBracket) Illegal();
            break;
          case bpBetween:
            type = ntNotBetween;
            Next();
            if (FCode != lxString && FCode != lxNumber) Illegal();
            break;
          default: Illegal();
        }
        break;
      default: Illegal();
    }
    if (type == ntBetween || type == ntNotBetween) {
      TExpressionNode* low = Operand();
      if (FCode != bpAnd) Illegal();
      Next();
      if (FCode != lxString && FCode != lxNumber && FCode != bpMinus && FCode != bpPlus) Illegal();
      TExpressionNode* high = Operand();
      if (type == ntBetween)
        return FOwner.NewNode(ntAnd, FOwner.NewNode(ntMoreEqual, Left, low), FOwner.NewNode(ntLessEqual, Left, high));
      return FOwner.NewNode(ntOr, FOwner.NewNode(ntLess, Left, low), FOwner.NewNode(ntMore, Left, high));
    }
    return FOwner.NewNode(type, Left, Operand());
  }

  static Variant NumberValue(const String& Text) {
    Int64 i;
    if (TryStrToInt64(Text, i)) return Variant(i);
    double d;
    if (!TryStrToFloat(Text, d)) Illegal();
    return Variant(d);
  }

  TExpressionNode* FieldNode(const String& Name) {
    TFieldDesc* desc = FData.FindField(Name);
    if (!desc && FOwner.FComputed) {
      desc = FOwner.FComputed->FindComputedField(Name);
      if (desc) FOwner.FUseCalculatedFields = true;
    }
    if (!desc) throw Exception(u"Field " + Name + u" not found");
    TExpressionNode* n = FOwner.NewNode(ntField);
    n->FieldDesc = desc;
    n->Value = Variant(Name);
    return n;
  }

  String StringText() const {
    // Quotes doubled inside the string stand for one.
    String s = FParser.Lexem();
    const char16_t q = FParser.CharAt(FParser.LexemPos() - 1);
    if (q == u'\'' || q == u'"') {
      const char16_t pair[2] = {q, q};
      for (std::size_t p = 0; (p = s.find(std::u16string_view(pair, 2), p)) != String::npos; ++p) s.erase(p, 1);
    }
    return s;
  }

  TExpressionNode* Operand() {
    switch (FCode) {
      case lxString: {
        TExpressionNode* n = FOwner.NewNode(ntValue);
        n->Value = Variant(StringText());
        Next();
        return n;
      }
      case lxNumber: {
        TExpressionNode* n = FOwner.NewNode(ntValue);
        n->Value = NumberValue(FParser.Lexem());
        Next();
        return n;
      }
      case bpMinus:
      case bpPlus: {
        const bool minus = FCode == bpMinus;
        if (Next() != lxNumber) Illegal();
        double d;
        if (!TryStrToFloat(FParser.Lexem(), d)) Illegal();
        TExpressionNode* n = FOwner.NewNode(ntValue);
        n->Value = Variant(minus ? -d : d);
        Next();
        return n;
      }
      case bpNull: {
        TExpressionNode* n = FOwner.NewNode(ntValue);
        n->Value = Null();
        Next();
        return n;
      }
      case bpTrue:
      case bpFalse: {
        TExpressionNode* n = FOwner.NewNode(ntValue);
        n->Value = Variant(FCode == bpTrue);
        Next();
        return n;
      }
      case lxIdent: {
        String name = FParser.Lexem();
        while (Next() == lxSymbol && FParser.Lexem() == u".") {
          if (Next() != lxIdent) Illegal();
          name += u".";
          name += FParser.Lexem();
        }
        return FieldNode(name);
      }
      case bpLeftSqBracket: {
        String name;
        FParser.FOmitBlank = false;
        for (Next(); FCode != bpRightSqBracket; Next()) {
          if (FCode == lxEnd) Illegal();
          name += FParser.Lexem();
        }
        FParser.FOmitBlank = true;
        Next();
        return FieldNode(name);
      }
      case bpLeftBracket: {  // an IN list
        std::vector<Variant> items;
        Next();
        for (;;) {
          String sign;
          if (FCode == bpMinus || FCode == bpPlus) {
            sign = FParser.Lexem();
            Next();
          }
          if (FCode == lxNumber) {
            items.push_back(NumberValue(sign == u"-" ? u"-" + FParser.Lexem() : FParser.Lexem()));
          } else if (FCode == lxString) {
            items.push_back(Variant(sign + StringText()));
          } else {
            Illegal();
          }
          Next();
          if (FCode == lxSymbol && FParser.Lexem() == u",") {
            Next();
            continue;
          }
          if (FCode != bpRightBracket) Illegal();
          Next();
          break;
        }
        TExpressionNode* n = FOwner.NewNode(ntValue);
        n->Value = VarArrayOf(items);
        return n;
      }
      case bpLower:
      case bpUpper: {
        const TExpressionType flag = FCode == bpLower ? ntLower : ntUpper;
        if (Next() != bpLeftBracket) Illegal();
        Next();
        if (FCode != lxString && FCode != lxIdent && FCode != bpLeftSqBracket) Illegal();
        TExpressionNode* n = Operand();
        if (FCode != bpRightBracket) Illegal();
        Next();
        n->LeftOperand = FOwner.NewNode(flag);
        return n;
      }
      default: Illegal();
    }
  }

  TFilterExpression& FOwner;
  const TData& FData;
  TBoolParser FParser;
  int FCode = lxEnd;
};

TFilterExpression::TFilterExpression(const TData& Data, std::u16string_view Text, TComputedFieldSource* Computed)
    : FData(Data), FComputed(Computed) {
  TFilterParser parser(*this, Data, Text);
  FRoot = parser.Parse();
  int plans = 0;
  for (const auto& n : FNodes)
    if (IsComparison(n->NodeType)) n->Plan = plans++;
  FPlans.resize(static_cast<std::size_t>(plans));
}

TFilterExpression::~TFilterExpression() = default;

TExpressionNode* TFilterExpression::NewNode(TExpressionType Type, TExpressionNode* Left, TExpressionNode* Right) {
  FNodes.push_back(std::make_unique<TExpressionNode>());
  TExpressionNode* n = FNodes.back().get();
  n->NodeType = Type;
  n->LeftOperand = Left;
  n->RightOperand = Right;
  return n;
}

// ---- evaluation ----

Variant TFilterExpression::OperandValue(const TExpressionNode* Node, const Byte* RecBuf) const {
  if (Node->NodeType != ntField) return Node->Value;
  const TFieldDesc& f = *Node->FieldDesc;
  if (f.FieldDescKind == fdkCalculated && FComputed) {
    if (!FComputedDone) {
      FComputed->ComputeFields(RecBuf);
      FComputedDone = true;
    }
    return FComputed->ComputedValue(f);
  }
  return FData.GetFieldAsVariant(f, RecBuf);
}

bool TFilterExpression::Eval(const Byte* RecBuf, bool CaseInsensitive, bool NoPartialCompare) const {
  FComputedDone = false;
  if (FPlanned) {
    const int options = (CaseInsensitive ? 1 : 0) | (NoPartialCompare ? 2 : 0);
    if (FPlansFor != options) {
      FPlansFor = -1;
      MakePlans(CaseInsensitive, NoPartialCompare);
      FPlansFor = options;
    }
  }
  return Eval(FRoot, RecBuf, CaseInsensitive, NoPartialCompare);
}

bool TFilterExpression::Eval(const TExpressionNode* Node, const Byte* RecBuf, bool CaseInsensitive,
                             bool NoPartialCompare) const {
  switch (Node->NodeType) {
    case ntAnd:
      return Eval(Node->LeftOperand, RecBuf, CaseInsensitive, NoPartialCompare) &&
             Eval(Node->RightOperand, RecBuf, CaseInsensitive, NoPartialCompare);
    case ntOr:
      return Eval(Node->LeftOperand, RecBuf, CaseInsensitive, NoPartialCompare) ||
             Eval(Node->RightOperand, RecBuf, CaseInsensitive, NoPartialCompare);
    case ntNot: return !Eval(Node->LeftOperand, RecBuf, CaseInsensitive, NoPartialCompare);
    case ntTrue: return true;
    case ntFalse: return false;
    case ntField: case ntValue: case ntLower: case ntUpper: throw Exception(u"Assertion failure");
    default: break;
  }
  if (FPlansFor >= 0 && Node->Plan >= 0) {
    const TPlan& plan = FPlans[static_cast<std::size_t>(Node->Plan)];
    if (!plan.General) return EvalPlanned(plan, Node, RecBuf);
  }
  return EvalGeneral(Node, RecBuf, CaseInsensitive, NoPartialCompare);
}

bool TFilterExpression::EvalGeneral(const TExpressionNode* Node, const Byte* RecBuf, bool CaseInsensitive,
                                    bool NoPartialCompare) const {
  const TExpressionNode* ln = Node->LeftOperand;
  const TExpressionNode* rn = Node->RightOperand;
  Variant left = OperandValue(ln, RecBuf);
  Variant right = OperandValue(rn, RecBuf);
  const TFieldDesc* lf = ln->NodeType == ntField ? ln->FieldDesc : nullptr;
  const TFieldDesc* rf = rn->NodeType == ntField ? rn->FieldDesc : nullptr;

  if (lf && IsDateCode(lf->DataType())) AsDate(right);
  if (rf && IsDateCode(rf->DataType())) AsDate(left);
  Fold(left, ln, CaseInsensitive);
  Fold(right, rn, CaseInsensitive);

  const TExpressionType type = Node->NodeType;
  if (type >= ntMore && type <= ntLessEqual) {
    if (VarIsNull(left) || VarIsNull(right)) return false;
    const TVariantRelationship r = VarCompareValue(left, right);
    switch (type) {
      case ntMore: return r == vrGreaterThan;
      case ntLess: return r == vrLessThan;
      case ntMoreEqual: return r == vrGreaterThan || r == vrEqual;
      default: return r == vrLessThan || r == vrEqual;
    }
  }

  const bool isLike = type == ntLike || type == ntNotLike;
  const bool isBool = (lf && lf->DataType() == dtBoolean) || (rf && rf->DataType() == dtBoolean);
  auto matches = [&](const Variant& cand) {
    // A null only ever equals a null (an empty text is not null).
    if (VarIsNull(left) || VarIsNull(cand)) return VarIsNull(left) && VarIsNull(cand);
    if ((!NoPartialCompare || isLike) && (VarIsStr(left) || (VarIsStr(cand) && type != ntEqual)))
      return MatchLikePattern(VarToStr(left), VarToStr(cand), NoPartialCompare);
    if (isBool) return VarAsType(left, varBoolean).VBoolean() == VarAsType(cand, varBoolean).VBoolean();
    return VarCompareValue(left, cand) == vrEqual;
  };
  bool hit = false;
  if (VarIsArray(right)) {
    const int low = VarArrayLowBound(right, 1);
    for (int i = 0, c = VarArrayLength(right); i < c && !hit; ++i) hit = matches(VarArrayGet(right, low + i));
  } else {
    hit = matches(right);
  }
  const bool negate = type == ntNoEqual || type == ntNotLike || type == ntNotIn;
  return negate ? !hit : hit;
}

bool TFilterExpression::AllPlanned() const {
  if (FPlansFor < 0) return false;
  for (const TPlan& plan : FPlans)
    if (plan.General) return false;
  return true;
}

void TFilterExpression::MakePlans(bool CaseInsensitive, bool NoPartialCompare) const {
  for (const auto& node : FNodes) {
    if (node->Plan < 0) continue;
    TPlan& plan = FPlans[static_cast<std::size_t>(node->Plan)];
    plan = TPlan{};
    const TExpressionNode* ln = node->LeftOperand;
    const TExpressionNode* rn = node->RightOperand;
    // A field of a plain kind on the left, constants on the right.
    if (ln->NodeType != ntField || rn->NodeType != ntValue) continue;
    const TFieldDesc& f = *ln->FieldDesc;
    plan.Desc = &f;
    plan.Computed = f.FieldDescKind == fdkCalculated;
    if (plan.Computed && !FComputed) continue;
    switch (f.DataType()) {
      case dtInt8: case dtInt16: case dtInt32: case dtInt64: case dtUInt8: case dtUInt16: case dtUInt32:
        plan.Field = pfInteger;
        break;
      // A computed currency field's value is a currency, which orders by decimals, not as a float.
      case dtCurrency: if (plan.Computed) continue; [[fallthrough]];
      case dtSingle: case dtFloat: plan.Field = pfFloat; break;
      case dtBCD: if (plan.Computed) continue; plan.Field = pfScaled; break;
      case dtDate: case dtTime: case dtDateTime: plan.Field = pfDate; break;
      case dtBoolean: plan.Field = pfBoolean; break;
      case dtString: case dtWideString: plan.Field = pfText; break;
      case dtExtString: case dtExtWideString: case dtMemo: case dtWideMemo:
        if (plan.Computed) continue;
        plan.Field = pfText;
        break;
      default: continue;
    }
    if (ln->LeftOperand) {
      // LOWER( ) / UPPER( ) make any other value a text: through dynamic values.
      if (plan.Field != pfText) continue;
      plan.Case = ln->LeftOperand->NodeType;
    }
    plan.CaseInsensitive = CaseInsensitive;
    const TExpressionType type = node->NodeType;
    const bool ordering = type >= ntMore && type <= ntLessEqual;
    const bool isLike = type == ntLike || type == ntNotLike;
    // The conversions the general way makes for every record, made once; a value they fail on is
    // left to the general way, which fails as it always did (and only when the node is reached).
    try {
      Variant right = rn->Value;
      if (plan.Field == pfDate) AsDate(right);
      Fold(right, rn, CaseInsensitive);
      std::vector<Variant> values;
      if (VarIsArray(right)) {
        if (ordering) continue;
        const int low = VarArrayLowBound(right, 1);
        for (int i = 0, c = VarArrayLength(right); i < c; ++i) values.push_back(VarArrayGet(right, low + i));
      } else {
        values.push_back(right);
      }
      bool general = false;
      for (const Variant& v : values) {
        TCandidate c;
        if (VarIsEmpty(v)) {
          general = true;
          break;
        }
        if (VarIsNull(v)) {
          plan.Candidates.push_back(std::move(c));
          continue;
        }
        const bool isStr = VarIsStr(v);
        auto number = [&] {
          switch (VarType(v)) {
            case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
            case varInt64:
              c.Test = TCandidate::ctInteger;
              c.I = VarAsType(v, varInt64).VInt64();
              c.D = static_cast<double>(c.I);
              return true;
            case varSingle: case varDouble: case varDate:
              c.Test = TCandidate::ctFloat;
              c.D = VarAsType(v, varDouble).VDouble();
              return true;
            default: return false;
          }
        };
        switch (plan.Field) {
          case pfText:
            if (!ordering && (!NoPartialCompare || isLike)) {
              c.Test = TCandidate::ctLike;
            } else {
              if (!isStr) general = true;
              c.Test = TCandidate::ctText;
            }
            c.Text = VarToStr(v);
            break;
          case pfBoolean:
            if (ordering || (isStr && type != ntEqual && (!NoPartialCompare || isLike))) general = true;
            else {
              c.Test = TCandidate::ctBoolean;
              c.B = VarAsType(v, varBoolean).VBoolean();
            }
            break;
          case pfScaled:
            if (isStr || !number() || !ScaledBounds(v, c.Below, c.Above)) general = true;
            else c.Test = TCandidate::ctScaled;
            break;
          default:
            if (isStr || !number()) general = true;
            break;
        }
        if (general) break;
        plan.Candidates.push_back(std::move(c));
      }
      if (general) {
        plan.Candidates.clear();
        continue;
      }
    } catch (const Exception&) {
      plan.Candidates.clear();
      continue;
    }
    plan.General = false;
  }
}

bool TFilterExpression::ReadText(const TPlan& Plan, const Byte* Slot) const {
  // As the field's dynamic value reads it: up to the terminator or the field's length, trimmed when
  // the record set trims, 8-bit texts decoded by the system code page; a memo whole.
  const TFieldDesc& f = *Plan.Desc;
  const Byte* slot = Slot;
  const bool trim = !Plan.Computed && (f.Fixed ? FData.TrimFixedChar : FData.TrimVarChar);
  if (Plan.Computed) {
    // The native value: zero-terminated in a buffer of the field's size.
    const std::size_t room = FComputedData.size();
    if (f.DataType() == dtString) {
      const char* s = reinterpret_cast<const char*>(slot);
      sys::AnsiToUtf16(std::string_view(s, ::strnlen(s, room ? room - 1 : 0)), FText);
    } else {
      FText.clear();
      for (std::size_t k = 0; 2 * k + 1 < room; ++k) {
        const char16_t c = static_cast<char16_t>(slot[2 * k] | (slot[2 * k + 1] << 8));
        if (!c) break;
        FText.push_back(c);
      }
    }
  } else if (f.IsBlob()) {
    if (!ReadMemoText(f, slot)) return false;
  } else if (f.DataType() == dtString || f.DataType() == dtExtString) {
    const char* s = f.DataType() == dtString ? reinterpret_cast<const char*>(slot)
                                             : reinterpret_cast<const char*>(FData.StringHeap().Data(LoadSlot<std::uint32_t>(slot)));
    std::size_t n = s ? ::strnlen(s, f.DataType() == dtString ? static_cast<std::size_t>(f.Size) : f.Length) : 0;
    if (trim)
      while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= 32) --n;
    sys::AnsiToUtf16(std::string_view(s ? s : "", n), FText);
  } else {
    FText.clear();
    const Byte* p = f.DataType() == dtWideString ? slot : FData.StringHeap().Data(LoadSlot<std::uint32_t>(slot));
    if (p)
      for (std::size_t k = 0;; ++k) {
        const char16_t c = static_cast<char16_t>(p[2 * k] | (p[2 * k + 1] << 8));
        if (!c || (f.DataType() == dtWideString && k >= f.Length)) break;
        FText.push_back(c);
      }
    if (trim)
      while (!FText.empty() && FText.back() <= 32) FText.pop_back();
  }
  if (Plan.CaseInsensitive) sys::UpperCaseInPlace(FText.data(), FText.size());
  if (Plan.Case == ntLower) sys::LowerCaseInPlace(FText.data(), FText.size());
  else if (Plan.Case == ntUpper) sys::UpperCaseInPlace(FText.data(), FText.size());
  return true;
}

bool TFilterExpression::ReadMemoText(const TFieldDesc& Field, const Byte* Slot) const {
  // A memo reads as its whole content: 8-bit bytes decoded by the system code page, or UTF-16LE. Small
  // content is read from its packed bytes (asking for the object would make one for every row); a
  // plain object from its pieces; anything else (compressed, or held in the other text form) as the
  // object gives it.
  const std::uint32_t h = LoadSlot<std::uint32_t>(Slot);
  if (!h) return false;
  const TSharedObjectTable& objects = FData.Objects();
  const bool wide = Field.DataType() == dtWideMemo;
  auto decode = [&](const Byte* p, std::size_t n) {
    if (wide) {
      FText.clear();
      for (std::size_t k = 0; 2 * k + 1 < n; ++k) FText.push_back(static_cast<char16_t>(p[2 * k] | (p[2 * k + 1] << 8)));
    } else {
      sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(p), n), FText);
    }
  };
  if (objects.IsPacked(h) && objects.PackedUnicode(h) == wide) {
    decode(objects.PackedData(h), objects.PackedSize(h));
    return true;
  }
  auto* blob = static_cast<TBlob*>(objects.Get(h));
  if (!blob) return false;
  const auto& pieces = blob->Data().Pieces();
  if (blob->IsUnicode() == wide && !static_cast<const TCompressedBlob*>(blob)->Compressed() && pieces.size() == 1) {
    decode(pieces.front().data(), pieces.front().size());
    return true;
  }
  if (wide) FText = blob->AsWideString();
  else sys::AnsiToUtf16(blob->AsAnsiString(), FText);
  return true;
}

bool TFilterExpression::EvalPlanned(const TPlan& Plan, const TExpressionNode* Node, const Byte* RecBuf) const {
  const TFieldDesc& f = *Node->LeftOperand->FieldDesc;
  const TExpressionType type = Node->NodeType;
  bool leftNull;
  const Byte* slot;
  if (Plan.Computed) {
    if (!FComputedDone) {
      FComputed->ComputeFields(RecBuf);
      FComputedDone = true;
    }
    leftNull = !FComputed->ComputedData(f, FComputedData);
    slot = FComputedData.data();
  } else {
    leftNull = FData.GetNull(f, RecBuf);
    slot = RecBuf + f.Offset;
  }
  // The field's value: a number (integers exactly), a Boolean, or a text read into FText once.
  Int64 i = 0;
  double d = 0;
  bool b = false;
  if (!leftNull) {
    switch (Plan.Field) {
      case pfInteger:
        i = IntegerSlotValue(f.DataType(), slot);
        d = static_cast<double>(i);
        break;
      case pfFloat: d = f.DataType() == dtSingle ? static_cast<double>(LoadSlot<float>(slot)) : LoadSlot<double>(slot); break;
      case pfScaled: i = LoadSlot<Int64>(slot); break;
      case pfDate: d = LoadSlot<double>(slot); break;
      case pfBoolean: b = LoadSlot<Word>(slot) != 0; break;
      case pfText: leftNull = !ReadText(Plan, slot); break;
    }
  }
  auto compare = [&](const TCandidate& c) {
    if (Plan.Field == pfText) return CompareTexts(FText, c.Text);
    if (c.Test == TCandidate::ctScaled) return i < c.Below ? -1 : (i < c.Above ? 0 : 1);
    if (Plan.Field == pfInteger && c.Test == TCandidate::ctInteger) return i < c.I ? -1 : (i > c.I ? 1 : 0);
    return CompareNumbers(d, c.D);
  };
  if (type >= ntMore && type <= ntLessEqual) {
    const TCandidate& c = Plan.Candidates.front();
    if (leftNull || c.Test == TCandidate::ctNull) return false;
    const int r = compare(c);
    if (r == 2) return false;
    switch (type) {
      case ntMore: return r > 0;
      case ntLess: return r < 0;
      case ntMoreEqual: return r >= 0;
      default: return r <= 0;
    }
  }
  bool hit = false;
  for (const TCandidate& c : Plan.Candidates) {
    if (leftNull || c.Test == TCandidate::ctNull) hit = leftNull && c.Test == TCandidate::ctNull;
    else if (c.Test == TCandidate::ctLike) hit = MatchLikePattern(FText, c.Text, (FPlansFor & 2) != 0);
    else if (c.Test == TCandidate::ctBoolean) hit = b == c.B;
    else hit = compare(c) == 0;
    if (hit) break;
  }
  const bool negate = type == ntNoEqual || type == ntNotLike || type == ntNotIn;
  return negate ? !hit : hit;
}

// ---- the record set's filter ----

void TMemData::SetFilterText(const String& Value) {
  // Handing the same blank text again (every open does) costs no walk over the rows.
  if (Value == FFilterText && !FFilter && Trim(Value).empty()) return;
  FFilterText = Value;
  FFilter.reset();
  FilterUpdated();
  if (Trim(Value).empty()) return;
  FFilter = std::make_shared<TFilterExpression>(*this, Value, ComputedFields);
}

bool TMemData::ItemPassesFilter(TItemHeader* Item) {
  if (!FFilter) return true;
  if (Item->FilterResult == fsNotChecked)
    Item->FilterResult = FFilter->Eval(Item->Record(), FilterCaseInsensitive, FilterNoPartialCompare) ? fsNotOmitted
                                                                                                      : fsOmitted;
  return Item->FilterResult == fsNotOmitted;
}

void TMemData::FilterUpdated() {
  for (TItemHeader* it = FFirst; it; it = it->Next) it->FilterResult = fsNotChecked;
}

}  // namespace vt
