// The Kv filter and aggregate expression: TDataSetExprParserKv holds one text compiled by the platform
// parser (ExprParser.h) under the Kv field map, and evaluates the compiled buffer (layout in
// FilterExpr.h) against one memory record (a filter) or over the rows of a view (an aggregate).
//
// Evaluation is a recursive walk; every node yields one Variant. Every offset and literal is read
// through the checked reader of FilterExpr.h, so a malformed buffer raises and is never read past its
// end. Constants are decoded once per compiled text and kept by node; function arguments and IN lists
// go onto one argument stack owned by the holder, so after the first record an evaluation allocates
// nothing but the texts a function computes.
//
// Errors raise the platform's Exception with these texts:
//   "Operator <%d:%d> not supported."            node class and operator the class does not support
//   "Unsupported function: %s"                   a function name outside the table
//   "Incorrect number of arguments in function <%s>"
//   "Unsupported data type: [%d]."               a constant of a kind with no literal form (blob, ...)
// Variant conversion errors propagate unchanged.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engines/kv/RecordsListKv.h"
#include "platform/db/ExprParser.h"
#include "platform/db/FilterExpr.h"
#include "platform/rtl/Variant.h"

class TDataSet;
class TRecordsViewKv;

namespace kvmsg {
inline constexpr char16_t SOperatorNotSupported[] = u"Operator <%d:%d> not supported.";
inline constexpr char16_t SUnsupportedFunction[] = u"Unsupported function: %s";
inline constexpr char16_t SIncorrectArgCount[] = u"Incorrect number of arguments in function <%s>";
inline constexpr char16_t SUnsupportedDataType[] = u"Unsupported data type: [%d].";
}  // namespace kvmsg

enum TDataSetExprParserTypeKv { dsptFilterKv, dsptAggregateKv };

// The constant type codes the Kv table lets the parser write, by field type.
const TFieldMap& KvFilterFieldMap();

// LIKE: "_" one character, "%" any run (backtracking, so every placement of a run is tried). With
// CaseInsensitive both sides are compared upper-cased by the locale's case mapping.
bool KvLikeMatch(std::u16string_view Value, std::u16string_view Pattern, bool CaseInsensitive);

// The rows an aggregate walks: a count and the record at a row.
struct TAggregateRowsKv {
  int Count = 0;
  std::function<TMemoryRecordKv*(int)> Record;
};

class TDataSetExprParserKv {
 public:
  TDataSetExprParserKv(TDataSet* ADataSet, TDataSetExprParserTypeKv ExprParserType);

  // Compiles Expr against the dataset's fields and filter options. A text the parser rejects raises
  // and leaves the previous compiled expression in place; an empty text compiles to nothing.
  void ParseExpression(const String& Expr);
  // Takes a compiled buffer as it stands (checked on use, not here).
  void SetExprData(TExprData Data);
  void Clear();
  bool HasData() const { return !FExprData.empty(); }
  const TExprData& ExprData() const { return FExprData; }
  TDataSetExprParserTypeKv ExprParserType() const { return FExprParserType; }
  TDataSet* DataSet() const { return FDataSet; }

  // False when nothing is compiled; a Null result is False.
  bool IsCurRecordInFilter(const TMemoryRecordKv* Rec);
  // The root value for Rec (Null when nothing is compiled).
  Variant EvaluateRecord(const TMemoryRecordKv* Rec);
  // Value := False when nothing is compiled, else the expression over the rows.
  void CalcAggregateValue(const TAggregateRowsKv& Rows, Variant& Value);
  void CalcAggregateValue(const TRecordsViewKv* RecordsView, Variant& Value);

 private:
  struct Frame;
  void Prepare();
  void Eval(Frame& F, int Node, Variant& Result);
  void EvalFunction(Frame& F, const TExprDataReader::Node& N, Variant& Result);
  // Evaluates the argument list starting at list node Node onto the stack; returns the count.
  int PushList(Frame& F, int Node);
  void EvalAggregate(Frame& F, int Kind, int ListNode, Variant& Result);
  const Variant& Constant(const TExprDataReader& R, const TExprDataReader::Node& N);
  int FunctionId(const TExprDataReader& R, const TExprDataReader::Node& N, std::string_view& Name);

  TDataSet* FDataSet;
  TDataSetExprParserTypeKv FExprParserType;
  TExprData FExprData;
  // By node offset: decoded constants and resolved function ids, filled on first use.
  std::vector<Variant> FConstants;
  std::vector<signed char> FConstantState;  // 0 not decoded, 1 decoded
  std::vector<signed char> FFunctionIds;    // -1 unresolved
  std::vector<Variant> FStack;
  std::u16string FText1, FText2;
  int FDepth = 0;
};
