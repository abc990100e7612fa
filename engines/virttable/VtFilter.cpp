#include "engines/virttable/VtFilter.h"

#include "engines/virttable/VtParser.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace vt {

namespace {

[[noreturn]] void Illegal() { throw Exception(u"Illegal filter expression"); }

bool IsDateCode(Word t) { return t == dtDate || t == dtTime || t == dtDateTime; }

}  // namespace

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

TFilterExpression::TFilterExpression(const TData& Data, std::u16string_view Text) : FData(Data) {
  TFilterParser parser(*this, Data, Text);
  FRoot = parser.Parse();
}

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
  if (Node->NodeType == ntField) return FData.GetFieldAsVariant(*Node->FieldDesc, RecBuf);
  return Node->Value;
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
  const TExpressionNode* ln = Node->LeftOperand;
  const TExpressionNode* rn = Node->RightOperand;
  Variant left = OperandValue(ln, RecBuf);
  Variant right = OperandValue(rn, RecBuf);
  const TFieldDesc* lf = ln->NodeType == ntField ? ln->FieldDesc : nullptr;
  const TFieldDesc* rf = rn->NodeType == ntField ? rn->FieldDesc : nullptr;

  // A text against a date field is read as a date-time.
  auto asDate = [](Variant& v) {
    if (!VarIsStr(v)) return;
    TDateTime d;
    v = TryStrToDateTime(VarToStr(v), d) ? VarFromDateTime(d) : VarAsType(v, varDate);
  };
  if (lf && IsDateCode(lf->DataType())) asDate(right);
  if (rf && IsDateCode(rf->DataType())) asDate(left);

  auto fold = [&](Variant& v, const TExpressionNode* n) {
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
  };
  fold(left, ln);
  fold(right, rn);

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

// ---- the record set's filter ----

void TMemData::SetFilterText(const String& Value) {
  // Handing the same blank text again (every open does) costs no walk over the rows.
  if (Value == FFilterText && !FFilter && Trim(Value).empty()) return;
  FFilterText = Value;
  FFilter.reset();
  FilterUpdated();
  if (Trim(Value).empty()) return;
  FFilter = std::make_shared<TFilterExpression>(*this, Value);
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
