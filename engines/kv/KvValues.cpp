#include "engines/kv/KvValues.h"

#include "platform/rtl/SysUtils.h"

namespace {

bool SameShape(const Variant& A, const Variant& B) {
  return VarArrayDimCount(A) == VarArrayDimCount(B) && VarArrayLowBound(A, 1) == VarArrayLowBound(B, 1) &&
         VarArrayHighBound(A, 1) == VarArrayHighBound(B, 1);
}

TVariantRelationship ScalarCompare(const Variant& A, const Variant& B) {
  const bool an = A.IsNull(), bn = B.IsNull();
  if (an && bn) return vrEqual;
  if (an) return vrLessThan;
  if (bn) return vrGreaterThan;
  return VarCompareValue(A, B);
}

}  // namespace

bool KvVarEquals(const Variant& A, const Variant& B) {
  try {
    const bool aa = A.IsArray(), ba = B.IsArray();
    if (aa != ba) return false;
    if (aa) {
      if (!SameShape(A, B)) return false;
      const int lo = VarArrayLowBound(A, 1), hi = VarArrayHighBound(A, 1);
      if (hi < lo) return false;
      for (int i = lo; i <= hi; ++i)
        if (!(A.GetElement(i) == B.GetElement(i))) return false;
      return true;
    }
    if (A.IsEmpty() != B.IsEmpty()) return false;
    return A == B;
  } catch (...) {
    return false;
  }
}

TVariantRelationship KvVarCompare(const Variant& A, const Variant& B) {
  const bool aa = A.IsArray(), ba = B.IsArray();
  if (aa != ba) return vrNotEqual;
  if (!aa) return ScalarCompare(A, B);
  if (!SameShape(A, B)) return vrNotEqual;
  const int lo = VarArrayLowBound(A, 1), hi = VarArrayHighBound(A, 1);
  if (hi < lo) return vrNotEqual;
  for (int i = lo; i <= hi; ++i) {
    const TVariantRelationship r = ScalarCompare(A.GetElement(i), B.GetElement(i));
    if (r != vrEqual) return r;
  }
  return vrEqual;
}

String KvVarToText(const Variant& A) {
  if (!A.IsArray()) return VarToStr(A);
  String s = u"[";
  const int lo = VarArrayLowBound(A, 1), hi = VarArrayHighBound(A, 1);
  for (int i = lo; i <= hi; ++i) {
    s += KvVarToText(A.GetElement(i));
    if (i < hi) s += u", ";
  }
  // An array without elements has no opening bracket in its text form, only the closing one.
  if (hi < lo) s.clear();
  s += u"]";
  return s;
}

String TOrderByList::GetToken(const String& Text, size_t& FromIndex) {
  const size_t n = Text.size();
  size_t i = FromIndex == 0 ? 0 : FromIndex - 1;
  while (i < n && Text[i] == u' ') ++i;
  String token;
  if (i >= n) {
    FromIndex = i + 1;
    return token;
  }
  if (Text[i] == u',' || Text[i] == u';') {
    token = Text.substr(i, 1);
    FromIndex = i + 2;
    return token;
  }
  if (Text[i] == u'[') {
    ++i;
    const size_t start = i;
    while (i < n && Text[i] != u']' && Text[i] != 0) ++i;
    token = Text.substr(start, i - start);
    if (i < n && Text[i] == u']') ++i;
    FromIndex = i + 1;
    return token;
  }
  const size_t start = i;
  while (i < n && Text[i] != u' ' && Text[i] != u',' && Text[i] != u';' && Text[i] != 0) ++i;
  token = Text.substr(start, i - start);
  FromIndex = i + 1;
  return token;
}

void TOrderByList::ParseOrderByStr(const String& OrderByStr) {
  std::vector<TOrderByItemKv> parsed;
  size_t from = 1;
  String token = GetToken(OrderByStr, from);
  if (token.empty()) {
    FItems.clear();
    return;
  }
  while (!token.empty()) {
    const int pos = FieldPosition(token);
    if (pos < 0) throw Exception(u" Field - \"" + token + u"\" not found.");
    TOrderByItemKv item;
    item.FieldIndex = item.MTFieldIndex = pos;
    token = GetToken(OrderByStr, from);
    for (;;) {
      const String upper = AnsiUpperCase(token);
      if (upper == u"ASC") {
      } else if (upper == u"DESC") {
        item.Desc = true;
      } else {
        break;
      }
      token = GetToken(OrderByStr, from);
    }
    if (!token.empty() && token != u"," && token != u";") throw Exception(u" Invalid token - \"" + token + u"\"");
    parsed.push_back(item);
    if (!token.empty()) token = GetToken(OrderByStr, from);
  }
  FItems = std::move(parsed);
}
