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
};

// Whether Text matches Pattern by the LIKE rules above (iterative; linear in practice).
bool MatchLikePattern(std::u16string_view Text, std::u16string_view Pattern, bool NoPartialCompare);

class TFilterExpression {
 public:
  // Raises "Illegal filter expression" or "Field %s not found".
  TFilterExpression(const TData& Data, std::u16string_view Text);
  TExpressionNode* Root() const { return FRoot; }
  bool Eval(const Byte* RecBuf, bool CaseInsensitive, bool NoPartialCompare) const {
    return Eval(FRoot, RecBuf, CaseInsensitive, NoPartialCompare);
  }

 private:
  TExpressionNode* NewNode(TExpressionType Type, TExpressionNode* Left = nullptr, TExpressionNode* Right = nullptr);
  bool Eval(const TExpressionNode* Node, const Byte* RecBuf, bool CaseInsensitive, bool NoPartialCompare) const;
  Variant OperandValue(const TExpressionNode* Node, const Byte* RecBuf) const;
  const TData& FData;
  std::vector<std::unique_ptr<TExpressionNode>> FNodes;  // every node, freed together
  TExpressionNode* FRoot = nullptr;
  friend class TFilterParser;
};

}  // namespace vt
