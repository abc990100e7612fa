// Value helpers of the Kv memory table: equality, three-way comparison and text form of stored values
// (the platform's Variant), and the order-by list, the parsed form of a sort text such as
// "Name DESC, Id" that the records view and the dataset keep.
//
// Nulls sort before every value. Arrays compare element by element when they have the same shape;
// an array never equals a scalar.
#pragma once

#include <memory>
#include <vector>

#include "platform/db/FieldTypes.h"
#include "platform/rtl/Variant.h"

bool KvVarEquals(const Variant& A, const Variant& B);
TVariantRelationship KvVarCompare(const Variant& A, const Variant& B);
String KvVarToText(const Variant& A);

struct TOrderByItemKv {
  int FieldIndex = -1;
  int MTFieldIndex = -1;
  bool Desc = false;
  bool CaseIns = false;
  int ExtObjIndex = 0;
  TFieldType DataType = ftUnknown;
};

// The items in sort priority order. The base knows no fields: each owner answers the position of a
// name in its own structure.
class TOrderByList {
 public:
  virtual ~TOrderByList() = default;
  int Count() const { return static_cast<int>(FItems.size()); }
  const TOrderByItemKv& Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  TOrderByItemKv& Items(int Index) { return FItems.at(static_cast<size_t>(Index)); }
  void Clear() { FItems.clear(); }
  void Add(const TOrderByItemKv& Item) { FItems.push_back(Item); }

  // FromIndex counts characters from 1 and moves past the token.
  static String GetToken(const String& Text, size_t& FromIndex);
  // Replaces the items only when the whole text parsed; raises " Field - "name" not found." or
  // " Invalid token - "tok"" and keeps the previous items.
  void ParseOrderByStr(const String& OrderByStr);

 protected:
  virtual int FieldPosition(const String& Name) const {
    (void)Name;
    return -1;
  }

 private:
  std::vector<TOrderByItemKv> FItems;
};
