// The vlx filter evaluator: compiles a filter text with the platform parser (ExprParser.h) under the vlx
// field map and evaluates the compiled buffer (layout in FilterExpr.h) against one record at a time. The
// record is reached only through TvlxFilterRecord (a field-name resolver and a field-value getter), so the
// evaluator knows nothing of the table's record layout; the table implements that interface over its
// current record buffer.
//
// Every offset, operand and literal is read through the checked reader of FilterExpr.h: a malformed
// buffer raises EMemTableFilterError and is never read past its end. Field names are resolved once per
// compiled buffer and record source, not per record; the only allocations per record are the dynamic
// values themselves (texts, IN lists, function argument lists).
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engines/vlx/vlxCommon.h"
#include "platform/db/ExprParser.h"
#include "platform/db/FilterExpr.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/Variant.h"

namespace vlxmsg {
inline constexpr char16_t SFilterUnknownOperator[] = u"Unknown operator (%d)";
inline constexpr char16_t SFilterUnknownFieldType[] = u"Unknown fieldtype (%d)";
inline constexpr char16_t SFilterOperatorNotSupported[] = u"Operator not supported (%d).";
inline constexpr char16_t SFilterInvalidParameter[] = u"Invalid or missing parameter for function %s";
inline constexpr char16_t SFilterInvalidFunction[] = u"Invalid function name %s";
inline constexpr char16_t SFilterClassOutOfRange[] = u"iClass Out of range (%d)";
inline constexpr char16_t SFilterMalformed[] = u"Malformed filter expression: %s";
}  // namespace vlxmsg

// The vlx table's constant type codes by field type.
const TFieldMap& vlxFilterFieldMap();

// What the evaluator needs of a record.
class TvlxFilterRecord {
 public:
  virtual ~TvlxFilterRecord() = default;
  // The index of the field called Name, passed back to FieldValue; raises when there is none.
  virtual int FieldIndex(const String& Name) const = 0;
  // The field's current value; Null when the field is null.
  virtual Variant FieldValue(int Index) const = 0;
  // The settings DATE and TIME start from; the evaluator copies them before changing them.
  virtual const TFormatSettings& FilterFormatSettings() const { return FormatSettings(); }
};

// Matches Text against Mask: "*" any run, "?" one character, "[abc]", "[a-z]", "[!a]" a set; ASCII letters
// match regardless of case.
bool vlxMatchesMask(std::u16string_view Text, std::u16string_view Mask);

// Per-evaluation state of EvaluateFilterNode.
struct TvlxFilterFrame {
  const TvlxFilterRecord& Record;
  // Field index by node offset, -1 while unresolved; sized to the node area.
  std::vector<int>& FieldIndexes;
  const TFormatSettings& TableSettings;
  // Made only when DATE or TIME changes a format, so a plain evaluation copies nothing.
  std::optional<TFormatSettings> LocalSettings;
  const TFormatSettings& Settings() const { return LocalSettings ? *LocalSettings : TableSettings; }
};

// Evaluates the node at offset Node (in the node area) into Result. Raises EMemTableFilterError.
void EvaluateFilterNode(const TExprDataReader& Buffer, int Node, Variant& Result, TvlxFilterFrame& Frame);

// A compiled buffer with its resolved field names.
class TvlxExprEvaluator {
 public:
  // Checks the header; raises EMemTableFilterError for a buffer that is not a compiled filter.
  explicit TvlxExprEvaluator(TExprData Data);

  // The Boolean result for Record; a null or unassigned root value is false.
  bool Evaluate(const TvlxFilterRecord& Record);
  // The root value itself.
  Variant EvaluateValue(const TvlxFilterRecord& Record);

  const TExprData& Data() const { return FData; }

 private:
  TExprData FData;
  std::vector<int> FFieldIndexes;
  const TvlxFilterRecord* FResolvedFor = nullptr;
};

class TvlxExprParser : public TExprParser {
 public:
  // Compiles Text at once for DataSet's fields (the platform parser raises its own messages).
  TvlxExprParser(TDataSet* DataSet, const String& Text, TFilterOptions Options);

  bool Evaluate(const TvlxFilterRecord& Record) { return FEvaluator.Evaluate(Record); }
  TDataSet* DataSet() const { return FDataset; }

 private:
  TDataSet* FDataset;
  TvlxExprEvaluator FEvaluator;
};
