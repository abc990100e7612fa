// Value comparison of the record set, shared by sorting (IndexFieldNames), locating and the
// master/detail filter. The sort order itself lives in TMemData (VtData.h); its code is VtSort.cpp.
//
// All results are the sign of (first - second): negative, 0 or positive. Texts compare by the user's
// locale collation (string sort; coCaseInsensitive folds case) or, with coOrdinalCompare, by bytes /
// UTF-16 code units. Date-time values closer than 1.15e-8 days (about a millisecond) are equal.
// Boolean slots are 2 bytes and compared as nonzero.
#pragma once

#include "engines/virttable/VtData.h"

namespace vt {

// The field of two records of D's layout, both not null.
int CompareRecordFields(const TData& D, const TFieldDesc& F, const Byte* RecA, const Byte* RecB, unsigned Options);
// A value against the field of a record (not null, Value not null): numbers and dates numerically,
// texts as texts; a text against a field of another kind compares with the field's rendered text
// (so "10" is below 9). Options as above, with coPartialKey (Value is a prefix) and coPartialCompare
// (Value occurs somewhere). Raises EConvertError "Cannot convert type" when the field has no text form.
int CompareValues(const TData& D, const Variant& Value, const TFieldDesc& F, const Byte* Rec, unsigned Options);

// A key value prepared once for comparisons with one field: texts decoded and trimmed as the field
// is, numbers and dates converted, so that CompareKey allocates nothing per record for the plain
// kinds (texts, integers, dates, Booleans). Other kinds keep the value and go through CompareValues.
struct TPreparedKey {
  enum TKind : Byte { pkGeneral, pkText, pkInteger, pkFloat, pkDate, pkBoolean };
  Variant Value;
  bool IsNull = false;
  TKind Kind = pkGeneral;
  std::u16string Text;
  Int64 I = 0;
  double D = 0;
  bool B = false;
};
TPreparedKey PrepareKey(const TData& D, const Variant& Value, const TFieldDesc& F);
// CompareValues(D, Key.Value, F, Rec, Options), Key not null.
int CompareKey(const TData& D, const TPreparedKey& Key, const TFieldDesc& F, const Byte* Rec, unsigned Options);

// Text comparisons (see above); Match* give 0 on a partial hit under coPartialKey / coPartialCompare.
int CompareWideStr(std::u16string_view S1, std::u16string_view S2, unsigned Options);
int MatchWideStr(std::u16string_view Sub, std::u16string_view Str, unsigned Options);
int CompareAnsiStr(std::string_view S1, std::string_view S2, unsigned Options);

}  // namespace vt
