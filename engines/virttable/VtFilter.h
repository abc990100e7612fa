// Filter expressions of the record set: a text such as Name LIKE 'A%' AND Salary >= 1000 is parsed
// once (by TBoolParser) into a tree of TExpressionNode and evaluated against records.
//
// Grammar:  Expression := Term { OR Term };  Term := Condition { AND Condition };
//           Condition := ( Expression ) | NOT Condition | TRUE | FALSE | Operand Relation
//           Relation := (= | IS | > | < | >= | <= | <> | LIKE | NOT LIKE | IN | NOT IN) Operand
//                     | [NOT] BETWEEN bound AND bound;  IS takes NULL or NOT NULL
//           Operand := string | number | -number | +number | NULL | TRUE | FALSE | field[.field]
//                     | [any text] | ( element, ... ) | LOWER(operand) | UPPER(operand)
// Text equality matches like LIKE (so Name = 'Sm*' is a prefix match) unless NoPartialCompare is on.
// LIKE: % and * any run, _ one character, a backslash makes the next character ordinary; under
// NoPartialCompare a trailing * is an ordinary character.
//
// A field name the record set does not hold may name a field its owner computes (a calculated or
// lookup field, TComputedFieldSource): the owner then computes them once for each record tested.
//
// Evaluation: a comparison of a field of a plain kind (integers, floats, BCD, dates, Boolean, in-record
// and heap texts, memos) with constants is planned once per set of options: the constants are
// converted then, and each record's value is read from its slot (a computed field's from its native
// value, a small memo's from its packed bytes) and compared directly, so a filter makes no dynamic
// value per record. Every other comparison (field against field, binary blobs, FMTBcd, computed
// currency, mixed kinds that compare through text) goes through dynamic values, with the same result.
#pragma once

#include <memory>
#include <vector>

#include "engines/virttable/VtData.h"

namespace vt {

enum TExpressionType : Byte {
  ntEqual = 0, ntMore, ntLess, ntMoreEqual, ntLessEqual, ntNoEqual, ntAnd, ntOr, ntNot, ntField, ntValue,
  ntTrue, ntFalse, ntLike, ntNotLike, ntIn, ntNotIn, ntLower, ntUpper, ntBetween, ntNotBetween,
  ntMatch, ntGlob, ntRegExp
};

struct TExpressionNode {
  TExpressionType NodeType = ntValue;
  TExpressionNode* LeftOperand = nullptr;
  TExpressionNode* RightOperand = nullptr;
  TFieldDesc* FieldDesc = nullptr;
  Variant Value;  // a value node's value; an IN list is an array
  std::int32_t Plan = -1;  // a comparison's plan (TFilterExpression)
};

// Fields a record set does not hold but its owner computes from a record (a dataset's calculated and
// lookup fields), for filter expressions that name them.
class TComputedFieldSource {
 public:
  virtual ~TComputedFieldSource() = default;
  // A descriptor (kind fdkCalculated, the code of the value) of the computed field of Name, living as
  // long as the source; nullptr when there is none.
  virtual TFieldDesc* FindComputedField(std::u16string_view Name) = 0;
  // Computes the fields for Record (once per record under test).
  virtual void ComputeFields(const Byte* Record) = 0;
  // The value of a field as last computed.
  virtual Variant ComputedValue(const TFieldDesc& Field) = 0;
  // The same value in the field's native form (dates as a date-time) in Buffer, grown to the field's
  // size when smaller; false for null.
  virtual bool ComputedData(const TFieldDesc& Field, std::vector<Byte>& Buffer) = 0;
};

// Whether Text matches Pattern by the LIKE rules above (iterative; linear in practice).
bool MatchLikePattern(std::u16string_view Text, std::u16string_view Pattern, bool NoPartialCompare);

class TFilterExpression {
 public:
  // Raises "Illegal filter expression" or "Field %s not found". Computed: where names the record set
  // does not hold are looked up (none: nowhere).
  TFilterExpression(const TData& Data, std::u16string_view Text, TComputedFieldSource* Computed = nullptr);
  ~TFilterExpression();
  TExpressionNode* Root() const { return FRoot; }
  // Whether some field of the expression is a computed one.
  bool UseCalculatedFields() const { return FUseCalculatedFields; }
  bool Eval(const Byte* RecBuf, bool CaseInsensitive, bool NoPartialCompare) const;
  // Whether every comparison was planned for the options of the last Eval (none made yet: false).
  bool AllPlanned() const;
  // Off: every comparison through dynamic values (tests compare the two ways).
  void SetPlannedComparisons(bool Value) {
    FPlanned = Value;
    FPlansFor = -1;
  }

 private:
  struct TCandidate;
  struct TPlan;
  TExpressionNode* NewNode(TExpressionType Type, TExpressionNode* Left = nullptr, TExpressionNode* Right = nullptr);
  bool Eval(const TExpressionNode* Node, const Byte* RecBuf, bool CaseInsensitive, bool NoPartialCompare) const;
  bool EvalGeneral(const TExpressionNode* Node, const Byte* RecBuf, bool CaseInsensitive, bool NoPartialCompare) const;
  bool EvalPlanned(const TPlan& Plan, const TExpressionNode* Node, const Byte* RecBuf) const;
  Variant OperandValue(const TExpressionNode* Node, const Byte* RecBuf) const;
  void MakePlans(bool CaseInsensitive, bool NoPartialCompare) const;
  // The text of a text field (Slot: its slot, or its native value when computed), folded by Plan, into
  // FText; false for a memo without content object (null).
  bool ReadText(const TPlan& Plan, const Byte* Slot) const;
  bool ReadMemoText(const TFieldDesc& Field, const Byte* Slot) const;
  const TData& FData;
  TComputedFieldSource* FComputed;
  std::vector<std::unique_ptr<TExpressionNode>> FNodes;  // every node, freed together
  TExpressionNode* FRoot = nullptr;
  bool FUseCalculatedFields = false;
  bool FPlanned = true;
  mutable std::vector<TPlan> FPlans;
  mutable int FPlansFor = -1;  // the options the plans were made for (-1: none made)
  mutable std::u16string FText;  // a record's text, reused
  mutable std::vector<Byte> FComputedData;  // a computed field's native value, reused
  mutable bool FComputedDone = false;  // the computed fields hold the record under test
  friend class TFilterParser;
};

}  // namespace vt
