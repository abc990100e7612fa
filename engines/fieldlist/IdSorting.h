// Sort keys of the field-list dataset and the value forms its searches compare: a key is one stored
// field with a direction and a case rule; a search value becomes the field's native bytes so that a
// key and a stored value compare with the same TIdField::CompareData.
#pragma once

#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "engines/fieldlist/IdRecordStore.h"
#include "platform/db/FieldTypes.h"
#include "platform/rtl/Variant.h"

class TIdSorting {
 public:
  explicit TIdSorting(TIdField* AIdField) : FIdField(AIdField) {}

  TIdField* IdField() const { return FIdField; }
  bool Descending() const { return FDescending; }
  bool CaseInsensitive() const { return FCaseInsensitive; }
  // "DESC" and "CASE" in any letter case; other tokens are ignored. CASE only counts for text keys.
  void AddOption(std::u16string_view Token);

  // CompareData of a key value (native bytes, empty for null) with a stored row, in the key's direction.
  int CompareKeyWithRow(std::span<const Byte> Bytes, const Byte* Row) const;
  int CompareRows(const Byte* A, const Byte* B) const;
  int CompareIndexes(int AIndex, int BIndex) const;
  // Whether a search with or without case sensitivity may use this key's order.
  bool AcceptsCase(bool ACaseInsensitive) const;

 private:
  TIdField* FIdField;
  bool FDescending = false;
  bool FCaseInsensitive = false;
};

// Splits a sort text into items (at "," and ";") and each item into tokens (at blanks and #7), dropping
// empty ones. Resolve maps a field name to its stored field, or nullptr when the item is to be dropped.
std::vector<TIdSorting> ParseSortText(std::u16string_view Text,
                                      const std::function<TIdField*(std::u16string_view Name)>& Resolve);

// The native bytes of Value for Field's type (empty for Null or Empty; text cut to DataSize bytes, an
// empty text a lone terminator).
// A value of the wrong kind raises the variant conversion error.
TBytes VariantToFieldBytes(const Variant& Value, const TIdField& Field);

// Compares a key text with a stored text value: with loPartialKey and a key that is not empty the row
// text is cut to the key's length; with loCaseInsensitive both are lowered. -1, 0 or 1.
int CompareKeyText(std::u16string_view KeyText, int DataType, std::span<const Byte> RowBytes, TLocateOptions Options);
