#include "engines/vlx/vlxFieldList.h"

#include <algorithm>
#include <cmath>

#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace {

bool Orderable(TFieldType T) {
  switch (T) {
    case ftString: case ftSmallint: case ftInteger: case ftWord: case ftBoolean: case ftFloat: case ftCurrency:
    case ftBCD: case ftDate: case ftTime: case ftDateTime: case ftAutoInc: case ftFixedChar: case ftWideString:
    case ftLargeint: case ftADT: case ftArray: case ftGuid: case ftTimeStamp: case ftFMTBcd: case ftFixedWideChar:
    case ftWideMemo: case ftOraTimeStamp: case ftOraInterval: case ftLongWord: case ftShortint: case ftByte:
    case ftExtended: case ftSingle:
      return true;
    default:
      return false;
  }
}

std::uint32_t LocaleFlags(TvlxifoOptions O) {
  std::uint32_t f = 0;
  if (O & Bit(mtifoCaseInsensitive)) f |= sys::NORM_IGNORECASE;
  if (O & Bit(mtifoIgnoreNonSpace)) f |= sys::NORM_IGNORENONSPACE;
  if (O & Bit(mtifoIgnoreKanatype)) f |= sys::NORM_IGNOREKANATYPE;
  if (O & Bit(mtifoIgnoreSymbols)) f |= sys::NORM_IGNORESYMBOLS;
  if (O & Bit(mtifoIgnoreWidth)) f |= sys::NORM_IGNOREWIDTH;
  return f;
}

template <class T>
int Cmp(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}
template <class T>
T Load(const Byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// Length of a terminated text within Max units.
int TextLength8(const Byte* p, int Max) {
  int n = 0;
  while (n < Max && p[n] != 0) ++n;
  return n;
}
int TextLength16(const Byte* p, int MaxUnits) {
  int n = 0;
  while (n < MaxUnits && (p[2 * n] != 0 || p[2 * n + 1] != 0)) ++n;
  return n;
}

int CompareText8(const Byte* K, int KLen, const Byte* A, int ALen, int LocaleID, TvlxifoOptions O,
                 bool& FullCompare) {
  if (O & Bit(mtifoPartial)) {
    FullCompare = KLen == ALen;
    if (KLen != ALen) ALen = std::min(KLen, ALen);
  }
  const std::string_view k(reinterpret_cast<const char*>(K), static_cast<std::size_t>(KLen));
  const std::string_view a(reinterpret_cast<const char*>(A), static_cast<std::size_t>(ALen));
  if (O & Bit(mtifoIgnoreLocale)) {
    const std::u16string ku = sys::AnsiToUtf16(k), au = sys::AnsiToUtf16(a);
    return (O & Bit(mtifoCaseInsensitive)) ? CompareText(ku, au) : CompareStr(ku, au);
  }
  const int r = sys::CompareStringA(static_cast<sys::LCID>(LocaleID), LocaleFlags(O), k, a);
  if (r == 0) throw EMemTableInvalidLocale(String(vlxmsg::SInvalidLocale));
  return r - 2;
}

int CompareText16(const Byte* K, int KLen, const Byte* A, int ALen, int LocaleID, TvlxifoOptions O,
                  bool& FullCompare) {
  if (O & Bit(mtifoPartial)) {
    FullCompare = KLen == ALen;
    if (KLen != ALen) ALen = std::min(KLen, ALen);
  }
  // Record bytes need not be aligned for char16_t: copy into strings first.
  std::u16string k(static_cast<std::size_t>(KLen), u'\0'), a(static_cast<std::size_t>(ALen), u'\0');
  if (KLen) std::memcpy(k.data(), K, 2 * static_cast<std::size_t>(KLen));
  if (ALen) std::memcpy(a.data(), A, 2 * static_cast<std::size_t>(ALen));
  const auto locale = static_cast<sys::LCID>((O & Bit(mtifoIgnoreLocale)) ? 1024 : LocaleID);
  const int r = sys::CompareStringW(locale, LocaleFlags(O), k, a);
  if (r == 0) throw EMemTableInvalidLocale(String(vlxmsg::SInvalidLocale));
  return r - 2;
}

}  // namespace

// ---- TvlxFieldList --------------------------------------------------------------------------------------

void TvlxFieldList::Clear() {
  FCount = 0;
  FPrimaryCount = 0;
  Fields.assign(20, nullptr);
  Options.assign(20, 0);
  FieldOfs.assign(20, 0);
  FieldNo.assign(20, 0);
}

void TvlxFieldList::Grow() {
  const std::size_t n = Fields.size() + 20;
  Fields.resize(n, nullptr);
  Options.resize(n, 0);
  FieldOfs.resize(n, 0);
  FieldNo.resize(n, 0);
}

int TvlxFieldList::Add(TvlxCustomMemTable* ADataSet, TField* AField, TvlxifoOptions AValue) {
  if (static_cast<std::size_t>(FCount) >= Fields.size()) Grow();
  const auto i = static_cast<std::size_t>(FCount);
  Fields[i] = AField;
  Options[i] = AValue;
  FieldOfs[i] = ADataSet->Common()->GetFieldDataOffset(AField);
  FieldNo[i] = AField->FieldNo();
  return FCount++;
}

void TvlxFieldList::Build(TvlxCustomMemTable* ADataSet, const String& AFieldNames, bool AAggregateFieldNaming) {
  Clear();
  std::size_t pos = 0;
  while (pos < AFieldNames.size()) {
    String entry = ExtractFieldName(AFieldNames, pos);
    if (entry.empty()) continue;
    TvlxifoOptions opts = 0;
    const std::size_t colon = entry.find(u':');
    if (colon != String::npos) {
      const String letters = UpperCase(entry.substr(colon + 1));
      entry.resize(colon);
      opts = TvlxCustomMemTable::GetAggregateFieldOption(letters);
      if (opts == 0) opts = TvlxCustomMemTable::GetExtractFieldOption(letters);
      if (opts != 0 && AAggregateFieldNaming) entry = TvlxCustomMemTable::GetAggregateFieldName(entry, opts);
      const struct {
        char16_t c;
        TvlxifoOption o;
      } table[] = {{u'C', mtifoCaseInsensitive}, {u'D', mtifoDescending},     {u'N', mtifoIgnoreNull},
                   {u'P', mtifoPartial},         {u'L', mtifoIgnoreLocale},     {u'S', mtifoIgnoreNonSpace},
                   {u'K', mtifoIgnoreKanatype},  {u'I', mtifoIgnoreSymbols},    {u'W', mtifoIgnoreWidth}};
      if (opts == 0)
        for (const auto& t : table)
          if (letters.find(t.c) != String::npos) opts |= Bit(t.o);
    }
    TField* f = ADataSet->FieldByName(entry);
    const TFieldKind k = f->FieldKind();
    if ((k != fkData && k != fkCalculated && k != fkLookup && k != fkInternalCalc) || !Orderable(f->DataType()))
      DatabaseErrorFmt(u"Can't index on field %s", {f->DisplayName()});
    Add(ADataSet, f, opts);
  }
  FPrimaryCount = FCount;
}

int TvlxFieldList::IndexOf(const TField* Item) const {
  for (int i = 0; i < FCount; ++i)
    if (Fields[static_cast<std::size_t>(i)] == Item) return i;
  return -1;
}

void TvlxFieldList::MergeOptionsTo(TvlxFieldList& AFieldList) const {
  for (int i = 0; i < std::min(FCount, AFieldList.FCount); ++i)
    AFieldList.Options[static_cast<std::size_t>(i)] |= Options[static_cast<std::size_t>(i)];
}

void TvlxFieldList::DefineAdditionalOrderFields(TvlxCustomMemTable* ADataSet, const TvlxFieldList& AFieldList) {
  for (int i = 0; i < AFieldList.FCount; ++i) {
    TField* f = AFieldList.Fields[static_cast<std::size_t>(i)];
    if (IndexOf(f) < 0) Add(ADataSet, f, AFieldList.Options[static_cast<std::size_t>(i)]);
  }
}

void TvlxFieldList::SetOptions(TvlxCustomMemTable* ADataSet, TvlxifoOption AOption, const String& AFieldNames) {
  TvlxFieldList named;
  named.Build(ADataSet, AFieldNames);
  for (int i = 0; i < FCount; ++i) {
    auto& o = Options[static_cast<std::size_t>(i)];
    if (named.IndexOf(Fields[static_cast<std::size_t>(i)]) >= 0) o |= Bit(AOption);
    else o &= ~Bit(AOption);
  }
}

bool TvlxFieldList::StartsWith(const TvlxFieldList& AList, bool ASameCase, bool AOnlyPrimary) const {
  const int n = AOnlyPrimary ? AList.FPrimaryCount : AList.FCount;
  if (FCount < n) return false;
  for (int i = 0; i < n; ++i) {
    const auto u = static_cast<std::size_t>(i);
    if (Fields[u] != AList.Fields[u]) return false;
    if (ASameCase && ((Options[u] ^ AList.Options[u]) & Bit(mtifoCaseInsensitive))) return false;
  }
  return true;
}

String TvlxFieldList::GetAsString() const {
  String s;
  for (int i = 0; i < FCount; ++i) {
    if (i) s += u';';
    s += Fields[static_cast<std::size_t>(i)]->FieldName();
  }
  return s;
}

// ---- comparison -----------------------------------------------------------------------------------------

int ComparePCharExact(const char* A, const char* B) { return CompareStr(sys::AnsiToUtf16(A), sys::AnsiToUtf16(B)); }
int ComparePCharNoCase(const char* A, const char* B) { return CompareText(sys::AnsiToUtf16(A), sys::AnsiToUtf16(B)); }

int CompareFieldValues(const Byte* K, int KeyLength, const Byte* A, int ALength, TFieldType FieldType, int Size,
                       int LocaleID, TvlxifoOptions O, bool& FullCompare) {
  FullCompare = true;
  int r = 0;
  switch (FieldType) {
    case ftString: case ftFixedChar: case ftGuid: case ftOraInterval: case ftMemo: {
      // Memos are whole blocks; other texts end at their terminator within the value.
      const bool memo = FieldType == ftMemo;
      const int kmax = KeyLength >= 0 ? KeyLength : TvlxCommon::ValueBytes(FieldType, Size);
      const int amax = ALength >= 0 ? ALength : TvlxCommon::ValueBytes(FieldType, Size);
      const int kl = memo ? kmax : TextLength8(K, kmax);
      const int al = memo ? amax : TextLength8(A, amax);
      r = CompareText8(K, kl, A, al, LocaleID, O, FullCompare);
      if (O & Bit(mtifoIgnoreLocale)) r = r < 0 ? -1 : (r > 0 ? 1 : 0);
      break;
    }
    case ftWideString: case ftFixedWideChar: case ftWideMemo: {
      const bool memo = FieldType == ftWideMemo;
      const int kmax = (KeyLength >= 0 ? KeyLength : TvlxCommon::ValueBytes(FieldType, Size)) / 2;
      const int amax = (ALength >= 0 ? ALength : TvlxCommon::ValueBytes(FieldType, Size)) / 2;
      const int kl = memo ? kmax : TextLength16(K, kmax);
      const int al = memo ? amax : TextLength16(A, amax);
      r = CompareText16(K, kl, A, al, LocaleID, O, FullCompare);
      break;
    }
    case ftSmallint: r = Cmp(Load<std::int16_t>(K), Load<std::int16_t>(A)); break;
    case ftWord: r = Cmp(Load<std::uint16_t>(K), Load<std::uint16_t>(A)); break;
    case ftBoolean: r = Cmp(Load<std::uint16_t>(K) != 0, Load<std::uint16_t>(A) != 0); break;
    case ftInteger: case ftAutoInc: case ftShortint: case ftByte: case ftDate: case ftTime:
      r = Cmp(Load<std::int32_t>(K), Load<std::int32_t>(A));
      break;
    case ftLongWord: r = Cmp(Load<std::uint32_t>(K), Load<std::uint32_t>(A)); break;
    case ftLargeint: r = Cmp(Load<std::int64_t>(K), Load<std::int64_t>(A)); break;
    case ftFloat: case ftCurrency: case ftDateTime: r = Cmp(Load<double>(K), Load<double>(A)); break;
    case ftExtended: r = Cmp(ExtendedToDouble(K), ExtendedToDouble(A)); break;
    case ftBCD: case ftFMTBcd: {
      TBcd kb, ab;
      std::memcpy(&kb, K, sizeof(TBcd));
      std::memcpy(&ab, A, sizeof(TBcd));
      Currency kc{}, ac{};
      if (BCDToCurr(kb, kc) && BCDToCurr(ab, ac)) r = Cmp(kc.Scaled, ac.Scaled);
      break;
    }
    case ftTimeStamp: case ftOraTimeStamp: {
      for (int i = 0; i < 6 && r == 0; ++i) r = Cmp(Load<std::uint16_t>(K + 2 * i), Load<std::uint16_t>(A + 2 * i));
      if (r == 0) r = Cmp(Load<std::uint32_t>(K + 12), Load<std::uint32_t>(A + 12));
      break;
    }
    default:
      return 0;
  }
  if (O & Bit(mtifoDescending)) r = -r;
  return r;
}

int CompareRecords(const TvlxCommon& Store, TvlxCustomMemTable* Table, const TvlxFieldList& L, int AFieldCount,
                   const TvlxRecord* AKeyRecord, const TvlxRecord* ARecord, bool APartial, bool ANullsUnequal) {
  if (AKeyRecord == nullptr || ARecord == nullptr) return 0;
  const int n = (AFieldCount <= 0 || AFieldCount >= L.Count()) ? L.Count() : AFieldCount;
  int result = 0;
  bool full = true;
  for (int i = 0; i < n; ++i) {
    const auto u = static_cast<std::size_t>(i);
    TvlxifoOptions o = L.Options[u];
    if (APartial) o |= Bit(mtifoPartial);
    const int ofs = L.FieldOfs[u];
    const Byte* kslot = AKeyRecord->Data + ofs;
    const Byte* aslot = ARecord->Data + ofs;
    const bool kNull = kslot[0] == 0, aNull = aslot[0] == 0;
    if (kNull && (o & Bit(mtifoIgnoreNull))) continue;
    full = true;
    if (!kNull && !aNull) {
      TField* f = L.Fields[u];
      const int fno = L.FieldNo[u];
      const Byte* kv = kslot + 1;
      const Byte* av = aslot + 1;
      int kl = -1, al = -1;
      if (fno >= 1 && Store.IsVarLength(fno - 1)) {
        const std::uint32_t kh = Store.ResolveBlock(AKeyRecord, ofs);
        const std::uint32_t ah = Store.ResolveBlock(ARecord, ofs);
        kv = Store.Blocks().Bytes(kh);
        kl = static_cast<int>(Store.Blocks().Length(kh));
        av = Store.Blocks().Bytes(ah);
        al = static_cast<int>(Store.Blocks().Length(ah));
      }
      if (Table != nullptr && Table->OnCompareFields) {
        result = 0;
        Table->OnCompareFields(*Table, f, kv, av, f->DataType(), o, full, result);
      } else {
        result = CompareFieldValues(kv, kl, av, al, f->DataType(), f->Size(), Store.LocaleID(), o, full);
      }
    } else {
      const bool nullFirst = (o & Bit(mtifoNullFirst)) != 0;
      const bool desc = (o & Bit(mtifoDescending)) != 0;
      int base;  // the NullFirst 0, Descending 0 column
      if (!kNull && aNull) base = -1;
      else if (kNull && !aNull) base = 1;
      else base = ANullsUnequal ? -1 : 0;
      if (kNull && aNull && !ANullsUnequal) result = 0;
      else result = (nullFirst != desc) ? -base : base;
      if (kNull && aNull && ANullsUnequal) result = (nullFirst != desc) ? 1 : -1;
    }
    if (result != 0 || !full) return result;
  }
  return result;
}
