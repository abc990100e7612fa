// TExprParser: the framework's filter-expression parser. It compiles a filter (or aggregate) text
// against a dataset's fields into the buffer of FilterExpr.h, through its node writer TFilterExpr (private
// to ExprParser.cpp: it owns the parse tree, types and encodes the constants and lays the buffer out); the
// memory-table engines keep the buffer and evaluate it per record. Compiling is one pass over the text
// (linear in its length); the parse tree lives in one growing node vector and the output buffer, with
// nothing allocated per node.
//
// Syntax (keywords and function names in any case; precedence from loosest to tightest):
//   OR;  AND;  NOT;  comparison = <> != < > <= >=, [NOT] LIKE, [NOT] IN (list), IS [NOT] NULL;
//   + -;  * /;  unary - +;  operands: a field name (bare, or in [brackets] or "double quotes" when it
//   holds spaces or other characters or is a keyword; a bare name followed by "(" is a function), a text in single quotes ('' for a quote), an integer, decimal
//   or exponent number (the decimal point is always "."), NULL, TRUE, FALSE, a function call, or an
//   expression in parentheses. Comparisons do not chain (a = b = c is an error). NOT applies to the
//   whole comparison after it (NOT a = 1 is NOT (a = 1)). Functions: see FilterExpr.h.
// Options: poExtSyntax allows functions and arithmetic; without it a text may use only comparisons,
//   LIKE, IN, IS NULL, AND, OR and NOT. poAggregate allows the aggregate functions and then requires
//   every field to stand inside one (an aggregate expression has no current record); aggregates do
//   not nest. poDefaultExpr, poUseOrigNames, poFieldNameGiven and poFieldDepend are accepted for
//   callers that pass them and change nothing here.
// NULL may stand only beside = or <> (and in IS [NOT] NULL): anything else raises "NULL only allowed
//   with '=' and '<>'". An empty or blank text compiles to nothing (DataSize() 0).
//
// Errors raise EExprParserError (an EDatabaseError): syntax errors name what was expected and the
// 1-based character position ("')' expected at position 12"); a constant that cannot take its field's
// type raises "Constant is not correct type %s" (the type's name), one outside the type's range or a
// text over 255 bytes "Constant out of range"; an unknown field "Field '%s' not found"; a text whose
// compiled form would exceed 65,535 bytes, or a field name longer than its 257-byte slot, a message
// saying so. The parser holds no buffer after a failed compile.
#pragma once

#include <cstdint>

#include "platform/db/FilterExpr.h"
#include "platform/db/FieldTypes.h"

class TDataSet;
class TField;

VELLUM_DECLARE_EXCEPTION(EExprParserError, EDatabaseError)

enum TParserOption : unsigned {
  poExtSyntax = 1u << 0,
  poAggregate = 1u << 1,
  poDefaultExpr = 1u << 2,
  poUseOrigNames = 1u << 3,
  poFieldNameGiven = 1u << 4,
  poFieldDepend = 1u << 5,
};
using TParserOptions = unsigned;

namespace msg {
inline constexpr char16_t SExprBadNullTest[] = u"NULL only allowed with '=' and '<>'";
inline constexpr char16_t SExprRangeError[] = u"Constant out of range";
inline constexpr char16_t SExprBadConst[] = u"Constant is not correct type %s";
}  // namespace msg

class TExprParser {
 public:
  // Compiles Text at once. DataSet supplies the fields (its Fields, or its FieldDefs while it has no
  // fields); it may be null for a text without field names. FieldMap chooses the constants' type codes.
  // UnicodeEnabled writes field and function names as UTF-16 (see FilterExpr.h).
  TExprParser(TDataSet* DataSet, const String& Text, TFilterOptions FilterOptions, TParserOptions ParserOptions,
              const String& FieldName, const TFieldMap& FieldMap, bool UnicodeEnabled);
  ~TExprParser();
  TExprParser(const TExprParser&) = delete;
  TExprParser& operator=(const TExprParser&) = delete;

  const TExprData& FilterData() const { return FFilterData; }
  // Hands the buffer over (the parser is empty afterwards).
  TExprData TakeFilterData() { return std::move(FFilterData); }
  int DataSize() const { return static_cast<int>(FFilterData.size()); }
  const String& Text() const { return FText; }
  TFilterOptions FilterOptions() const { return FFilterOptions; }
  TParserOptions ParserOptions() const { return FParserOptions; }
  const String& FieldName() const { return FFieldName; }

 private:
  String FText;
  TFilterOptions FFilterOptions;
  TParserOptions FParserOptions;
  String FFieldName;
  TExprData FFilterData;
};
