#include "engines/virttable/VtSort.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engines/virttable/VtParser.h"
#include "engines/virttable/VtTimeStamp.h"
#include "platform/db/DataSet.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

namespace vt {

namespace {

template <class T>
int Cmp(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

constexpr double kDateTolerance = 1.15e-8;

int CmpDate(double a, double b) {
  if (std::fabs(a - b) < kDateTolerance) return 0;
  return a < b ? -1 : 1;
}

std::uint32_t CollationFlags(unsigned Options) {
  return sys::SORT_STRINGSORT | ((Options & coCaseInsensitive) ? sys::NORM_IGNORECASE : 0u);
}

// A text slot as a view: 8-bit texts in place; UTF-16 texts copied (slots are packed, so not aligned)
// into a buffer the caller keeps and reuses.
std::string_view AnsiView(const TData& D, const TFieldDesc& F, const Byte* Rec) {
  const Byte* slot = Rec + F.Offset;
  const char* s = F.DataType() == dtString ? reinterpret_cast<const char*>(slot)
                                           : reinterpret_cast<const char*>(D.StringHeap().Data(LoadSlot<std::uint32_t>(slot)));
  if (!s) return {};
  std::size_t n = ::strnlen(s, F.DataType() == dtString ? static_cast<std::size_t>(F.Size) : F.Length + 1u);
  if (F.Fixed ? D.TrimFixedChar : D.TrimVarChar)
    while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= 32) --n;
  return {s, n};
}

void WideInto(const TData& D, const TFieldDesc& F, const Byte* Rec, std::u16string& Out) {
  Out.clear();
  const Byte* slot = Rec + F.Offset;
  const Byte* p = F.DataType() == dtWideString ? slot : D.StringHeap().Data(LoadSlot<std::uint32_t>(slot));
  if (!p) return;
  const std::size_t limit = F.DataType() == dtWideString ? F.Length : SIZE_MAX;
  for (std::size_t i = 0; i < limit; ++i) {
    const char16_t c = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    if (!c) break;
    Out.push_back(c);
  }
  if (F.Fixed ? D.TrimFixedChar : D.TrimVarChar)
    while (!Out.empty() && Out.back() <= 32) Out.pop_back();
}

int CompareBytes(const Byte* A, std::size_t LenA, const Byte* B, std::size_t LenB, unsigned Options) {
  if (Options & coPartialCompare) {
    if (LenA > LenB) return 1;
    if (LenA == 0) return 0;
    return std::search(B, B + LenB, A, A + LenA) != B + LenB ? 0 : 1;
  }
  if (Options & coPartialKey) {
    if (LenA > LenB) return 1;
    const int c = LenA ? std::memcmp(A, B, LenA) : 0;
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  const std::size_t n = std::min(LenA, LenB);
  const int c = n ? std::memcmp(A, B, n) : 0;
  if (c) return c < 0 ? -1 : 1;
  return Cmp(LenA, LenB);
}

std::pair<const Byte*, std::size_t> BytesOf(const TData& D, const TFieldDesc& F, const Byte* Rec) {
  const Byte* slot = Rec + F.Offset;
  switch (F.DataType()) {
    case dtBytes: return {slot, F.Length};
    case dtVarBytes: return {slot + 2, LoadSlot<Word>(slot)};
    default: {
      const Byte* p = D.StringHeap().Data(LoadSlot<std::uint32_t>(slot));
      return p ? std::pair<const Byte*, std::size_t>{p + 2, LoadSlot<Word>(p)} : std::pair<const Byte*, std::size_t>{nullptr, 0};
    }
  }
}

bool IsTextCode(Word t) { return t >= dtString && t <= dtExtWideString; }

thread_local std::u16string tWideA, tWideB;

}  // namespace

unsigned GetSortOptions(const TSortColumn& Column) {
  switch (Column.SortType) {
    case stCaseInsensitive: return coCaseInsensitive;
    case stBinary: return coOrdinalCompare;
    default: return 0;
  }
}

int CompareAnsiStr(std::string_view S1, std::string_view S2, unsigned Options) {
  if (Options & coOrdinalCompare) {
    const std::size_t n = std::min(S1.size(), S2.size());
    const int c = n ? std::memcmp(S1.data(), S2.data(), n) : 0;
    if (c) return c < 0 ? -1 : 1;
    return Cmp(S1.size(), S2.size());
  }
  if (S1.empty() || S2.empty()) return Cmp(S1.size(), S2.size());
  return sys::CompareStringA(sys::LOCALE_USER_DEFAULT, CollationFlags(Options), S1.data(), static_cast<int>(S1.size()),
                             S2.data(), static_cast<int>(S2.size())) - 2;
}

int CompareWideStr(std::u16string_view S1, std::u16string_view S2, unsigned Options) {
  if (Options & coOrdinalCompare) {
    const int c = S1.compare(S2);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (S1.empty() || S2.empty()) return Cmp(S1.size(), S2.size());
  return sys::CompareStringW(sys::LOCALE_USER_DEFAULT, CollationFlags(Options), S1, S2) - 2;
}

int MatchWideStr(std::u16string_view Sub, std::u16string_view Str, unsigned Options) {
  if (Options & coPartialCompare) {
    if (Options & coCaseInsensitive) return AnsiUpperCase(Str).find(AnsiUpperCase(Sub)) != String::npos ? 0 : 1;
    return Str.find(Sub) != std::u16string_view::npos ? 0 : 1;
  }
  if (Options & coPartialKey) {
    if (Str.size() < Sub.size()) return 1;
    if (!Sub.empty()) Str = Str.substr(0, Sub.size());
  }
  return CompareWideStr(Sub, Str, Options);
}

int CompareRecordFields(const TData& D, const TFieldDesc& F, const Byte* RecA, const Byte* RecB, unsigned Options) {
  const Byte* a = RecA + F.Offset;
  const Byte* b = RecB + F.Offset;
  switch (F.DataType()) {
    case dtString: case dtExtString:
      return CompareAnsiStr(AnsiView(D, F, RecA), AnsiView(D, F, RecB), Options);
    case dtWideString: case dtExtWideString:
      WideInto(D, F, RecA, tWideA);
      WideInto(D, F, RecB, tWideB);
      return CompareWideStr(tWideA, tWideB, Options);
    case dtInt8: return Cmp(static_cast<signed char>(a[0]), static_cast<signed char>(b[0]));
    case dtInt16: return Cmp(LoadSlot<std::int16_t>(a), LoadSlot<std::int16_t>(b));
    case dtInt32: return Cmp(LoadSlot<std::int32_t>(a), LoadSlot<std::int32_t>(b));
    case dtInt64: return Cmp(LoadSlot<std::int64_t>(a), LoadSlot<std::int64_t>(b));
    case dtUInt8: return Cmp(a[0], b[0]);
    case dtUInt16: return Cmp(LoadSlot<std::uint16_t>(a), LoadSlot<std::uint16_t>(b));
    case dtUInt32: return Cmp(LoadSlot<std::uint32_t>(a), LoadSlot<std::uint32_t>(b));
    case dtUInt64: return Cmp(LoadSlot<std::uint64_t>(a), LoadSlot<std::uint64_t>(b));
    case dtSingle: return Cmp(LoadSlot<float>(a), LoadSlot<float>(b));
    case dtFloat: case dtCurrency: return Cmp(LoadSlot<double>(a), LoadSlot<double>(b));
    case dtExtended: {
      TExtended80Rec x, y;
      std::memcpy(&x, a, sizeof x);
      std::memcpy(&y, b, sizeof y);
      return Cmp(ExtendedToDouble(x), ExtendedToDouble(y));
    }
    case dtBCD: return Cmp(LoadSlot<std::int64_t>(a), LoadSlot<std::int64_t>(b));
    case dtDate: case dtTime: case dtDateTime: return CmpDate(LoadSlot<double>(a), LoadSlot<double>(b));
    case dtSQLTimeStamp: return CompareSQLTimeStamps(LoadSlot<TSQLTimeStamp>(a), LoadSlot<TSQLTimeStamp>(b));
    case dtSQLTimeStampOffset: {
      const int c = CompareSQLTimeStampOffsets(LoadSlot<TSQLTimeStampOffset>(a), LoadSlot<TSQLTimeStampOffset>(b));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case dtBoolean: return Cmp(LoadSlot<Word>(a) != 0, LoadSlot<Word>(b) != 0);
    case dtBytes: case dtVarBytes: case dtExtVarBytes: {
      const auto x = BytesOf(D, F, RecA);
      const auto y = BytesOf(D, F, RecB);
      return CompareBytes(x.first, x.second, y.first, y.second, Options);
    }
    case dtGuid:
      return CompareAnsiStr(std::string_view(reinterpret_cast<const char*>(a), ::strnlen(reinterpret_cast<const char*>(a), 38)),
                            std::string_view(reinterpret_cast<const char*>(b), ::strnlen(reinterpret_cast<const char*>(b), 38)),
                            Options | coCaseInsensitive);
    default: {
      // Blobs, FMTBCD and variants: through their dynamic values.
      const Variant x = D.GetDataAsVariant(a, F, false);
      const Variant y = D.GetDataAsVariant(b, F, false);
      if (VarIsNull(x) || VarIsNull(y)) return Cmp(!VarIsNull(x), !VarIsNull(y));
      if (VarIsStr(x) || VarIsStr(y) || F.IsBlob())
        return CompareWideStr(VarToStr(x), VarToStr(y), Options);
      switch (VarCompareValue(x, y)) {
        case vrLessThan: return -1;
        case vrGreaterThan: return 1;
        case vrEqual: return 0;
        default: return Cmp(static_cast<int>(VarType(x)), static_cast<int>(VarType(y)));
      }
    }
  }
}

int CompareValues(const TData& D, const Variant& Value, const TFieldDesc& F, const Byte* Rec, unsigned Options) {
  const Byte* slot = Rec + F.Offset;
  const Word t = F.DataType();
  if (VarIsStr(Value) || IsTextCode(t) || F.IsBlob() || t == dtGuid) {
    if (t == dtBytes || t == dtVarBytes || t == dtExtVarBytes) {
      const auto y = BytesOf(D, F, Rec);
      if (VarIsByteArray(Value)) {
        const std::vector<Byte> key = VarToBytes(Value);
        return CompareBytes(key.data(), key.size(), y.first, y.second, Options);
      }
      const AnsiString key = Value.AsAnsiString();
      return CompareBytes(reinterpret_cast<const Byte*>(key.data()), key.size(), y.first, y.second, Options);
    }
    String fieldText;
    if (t == dtString || t == dtExtString) {
      const std::string_view v = AnsiView(D, F, Rec);
      fieldText = VarToStr(VarFromAnsi(AnsiString(v)));
    } else if (t == dtWideString || t == dtExtWideString) {
      WideInto(D, F, Rec, tWideB);
      fieldText = tWideB;
    } else if (t == dtSQLTimeStamp) {
      const TSQLTimeStamp ts = LoadSlot<TSQLTimeStamp>(slot);
      fieldText = FormatSQLTimeStamp(ts.Fractions ? u"ddddd tt.zzz" : u"ddddd tt", ts, FormatSettings());
    } else if (t == dtSQLTimeStampOffset) {
      fieldText = SQLTimeStampOffsetToText(LoadSlot<TSQLTimeStampOffset>(slot), u"", FormatSettings());
    } else if (t == dtBoolean) {
      fieldText = LoadSlot<Word>(slot) ? u"True" : u"False";
    } else {
      const Variant fv = D.GetDataAsVariant(slot, F, false);
      if (VarIsArray(fv)) throw EConvertError(u"Cannot convert type");
      fieldText = VarToStr(fv);
    }
    String key = VarToStr(Value);
    unsigned opts = Options;
    if (t == dtBCD || t == dtFMTBCD || t == dtGuid) opts |= coCaseInsensitive;
    if (IsTextCode(t) && (F.Fixed ? D.TrimFixedChar : D.TrimVarChar)) {
      while (!key.empty() && key.back() <= 32) key.pop_back();
    }
    return MatchWideStr(key, fieldText, opts);
  }
  switch (t) {
    case dtInt8: case dtInt16: case dtInt32: case dtInt64: case dtUInt8: case dtUInt16: case dtUInt32: {
      const Int64 f = IntegerSlotValue(t, slot);
      if (VarIsOrdinal(Value) && VarType(Value) != varUInt64) return Cmp(static_cast<Int64>(VarAsType(Value, varInt64).VInt64()), f);
      const double v = VarAsType(Value, varDouble).VDouble();
      return Cmp(v, static_cast<double>(f));
    }
    case dtUInt64: {
      const UInt64 f = LoadSlot<std::uint64_t>(slot);
      if (VarType(Value) == varUInt64) return Cmp(Value.VUInt64(), f);
      return Cmp(VarAsType(Value, varDouble).VDouble(), static_cast<double>(f));
    }
    case dtDate: case dtTime: case dtDateTime:
      return CmpDate(VarAsType(Value, varDate).VDate(), LoadSlot<double>(slot));
    case dtBoolean: {
      const bool v = VarAsType(Value, varBoolean).VBoolean();
      return Cmp(v, LoadSlot<Word>(slot) != 0);
    }
    case dtSQLTimeStamp:
      return CompareSQLTimeStamps(VarIsSQLTimeStamp(Value) ? Value.VSQLTimeStamp()
                                                           : DateTimeToSQLTimeStamp(VarAsType(Value, varDate).VDate()),
                                  LoadSlot<TSQLTimeStamp>(slot));
    case dtSQLTimeStampOffset: {
      const TSQLTimeStampOffset v = VarIsSQLTimeStampOffset(Value)
                                        ? Value.VSQLTimeStampOffset()
                                        : DateTimeToSQLTimeStampOffset(VarAsType(Value, varDate).VDate());
      const int c = CompareSQLTimeStampOffsets(v, LoadSlot<TSQLTimeStampOffset>(slot));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    default: {
      const Variant fv = D.GetDataAsVariant(slot, F, false);
      if (VarIsNull(fv)) return 1;
      switch (VarCompareValue(Value, fv)) {
        case vrLessThan: return -1;
        case vrGreaterThan: return 1;
        case vrEqual: return 0;
        default: return Cmp(static_cast<int>(VarType(Value)), static_cast<int>(VarType(fv)));
      }
    }
  }
}

TPreparedKey PrepareKey(const TData& D, const Variant& Value, const TFieldDesc& F) {
  TPreparedKey k;
  k.Value = Value;
  k.IsNull = VarIsNull(Value) || VarIsEmpty(Value);
  if (k.IsNull) return k;
  const Word t = F.DataType();
  try {
    if (IsTextCode(t)) {
      k.Text = VarToStr(Value);
      if (F.Fixed ? D.TrimFixedChar : D.TrimVarChar)
        while (!k.Text.empty() && k.Text.back() <= 32) k.Text.pop_back();
      k.Kind = TPreparedKey::pkText;
      return k;
    }
    if (VarIsStr(Value)) return k;  // compared with the field's text
    switch (t) {
      case dtInt8: case dtInt16: case dtInt32: case dtInt64: case dtUInt8: case dtUInt16: case dtUInt32:
        if (VarIsOrdinal(Value) && VarType(Value) != varUInt64) {
          k.I = VarAsType(Value, varInt64).VInt64();
          k.Kind = TPreparedKey::pkInteger;
        } else {
          k.D = VarAsType(Value, varDouble).VDouble();
          k.Kind = TPreparedKey::pkFloat;
        }
        break;
      case dtDate: case dtTime: case dtDateTime:
        k.D = VarAsType(Value, varDate).VDate();
        k.Kind = TPreparedKey::pkDate;
        break;
      case dtBoolean:
        k.B = VarAsType(Value, varBoolean).VBoolean();
        k.Kind = TPreparedKey::pkBoolean;
        break;
      default: break;
    }
  } catch (const Exception&) {
    k.Kind = TPreparedKey::pkGeneral;  // the general way raises as it always did
  }
  return k;
}

int CompareKey(const TData& D, const TPreparedKey& Key, const TFieldDesc& F, const Byte* Rec, unsigned Options) {
  const Byte* slot = Rec + F.Offset;
  switch (Key.Kind) {
    case TPreparedKey::pkText:
      if (F.DataType() == dtString || F.DataType() == dtExtString) sys::AnsiToUtf16(AnsiView(D, F, Rec), tWideB);
      else WideInto(D, F, Rec, tWideB);
      return MatchWideStr(Key.Text, tWideB, Options);
    case TPreparedKey::pkInteger:
    case TPreparedKey::pkFloat: {
      const Int64 f = IntegerSlotValue(F.DataType(), slot);
      return Key.Kind == TPreparedKey::pkInteger ? Cmp(Key.I, f) : Cmp(Key.D, static_cast<double>(f));
    }
    case TPreparedKey::pkDate: return CmpDate(Key.D, LoadSlot<double>(slot));
    case TPreparedKey::pkBoolean: return Cmp(Key.B, LoadSlot<Word>(slot) != 0);
    default: return CompareValues(D, Key.Value, F, Rec, Options);
  }
}

// ---- the sort order of TMemData ----

void TMemData::SetIndexFieldNames(const String& Value) {
  if (Value == FIndexFieldNames) return;
  FIndexFieldNames = Value;
  if (FFields.Count() == 0 && !FActive) return;
  ParseIndexFieldNames();
  if (FActive) SortItems();
}

void TMemData::ParseIndexFieldNames() {
  FIndexFields.clear();
  const String text = Trim(FIndexFieldNames);
  if (text.empty()) return;
  TBoolParser parser(text);
  parser.FQuotedString = true;
  parser.FOmitKeywords = true;
  std::vector<TSortColumn> columns;
  auto invalid = [] { throw Exception(u"Invalid IndexFieldNames format!"); };
  auto isSeparator = [&](int code) {
    return code == lxSymbol && (parser.Lexem() == u";" || parser.Lexem() == u",");
  };
  int code = parser.GetNextToken();
  while (code != lxEnd) {
    if (isSeparator(code)) {  // an empty entry
      code = parser.GetNextToken();
      continue;
    }
    String name;
    if (code == bpLeftSqBracket) {
      // Everything up to the closing bracket, blanks kept.
      parser.FOmitBlank = false;
      for (code = parser.GetNextToken(); code != bpRightSqBracket; code = parser.GetNextToken()) {
        if (code == lxEnd) invalid();
        name += parser.Lexem();
      }
      parser.FOmitBlank = true;
    } else if (code == lxIdent || code == lxNumber || code == lxString) {
      name = parser.Lexem();
    } else {
      invalid();
    }
    TFieldDesc* desc = FindField(name);
    if (!desc && name.size() >= 2 && ((name.front() == u'\'' && name.back() == u'\'' && name.size() >= 3) ||
                                      (name.front() == u'"' && name.back() == u'"')))
      desc = FindField(std::u16string_view(name).substr(1, name.size() - 2));
    if (!desc) throw Exception(u"Field " + name + u" not found");
    TSortColumn column;
    column.FieldDesc = desc;
    bool haveDirection = false, haveKind = false;
    for (code = parser.GetNextToken(); code == lxIdent; code = parser.GetNextToken()) {
      const String m = UpperCase(parser.Lexem());
      if (m == u"ASC" || m == u"DESC") {
        if (haveDirection) invalid();
        haveDirection = true;
        column.DescendingOrder = m == u"DESC";
      } else if (m == u"CIS" || m == u"CS" || m == u"BIN") {
        if (haveKind) invalid();
        haveKind = true;
        column.SortType = m == u"CIS" ? stCaseInsensitive : (m == u"BIN" ? stBinary : stCaseSensitive);
      } else {
        invalid();
      }
    }
    columns.push_back(column);
    if (code == lxEnd) break;
    if (!isSeparator(code)) invalid();
    code = parser.GetNextToken();
  }
  FIndexFields = std::move(columns);
}

int TMemData::CompareItemRecords(const Byte* RecBuf1, const Byte* RecBuf2) const {
  for (const TSortColumn& c : FIndexFields) {
    const TFieldDesc& f = *c.FieldDesc;
    const bool n1 = GetNull(f, RecBuf1), n2 = GetNull(f, RecBuf2);
    int r;
    if (n1 || n2) r = n1 == n2 ? 0 : (n1 ? -1 : 1);
    else r = CompareRecordFields(*this, f, RecBuf1, RecBuf2, GetSortOptions(c));
    if (r != 0) return c.DescendingOrder ? (r < 0 ? 1 : -1) : (r < 0 ? -1 : 1);
  }
  return 0;
}

const std::vector<TItemHeader*>& TMemData::ItemsInOrder() {
  if (FOrderCacheVersion != FListVersion) {
    FOrderCache.clear();
    FOrderCache.reserve(static_cast<std::size_t>(FRecordCount));
    for (TItemHeader* it = FFirst; it; it = it->Next) FOrderCache.push_back(it);
    FOrderCacheVersion = FListVersion;
  }
  return FOrderCache;
}

void TMemData::AddRecordSorted(const Byte* RecBuf) {
  const std::vector<TItemHeader*>& order = ItemsInOrder();
  // After the last row that does not sort after the new one.
  const auto at = std::upper_bound(order.begin(), order.end(), RecBuf, [this](const Byte* r, const TItemHeader* x) {
    return CompareItemRecords(r, x->Record()) < 0;
  });
  const std::size_t index = static_cast<std::size_t>(at - order.begin());
  TItemHeader* succ = at == order.end() ? nullptr : *at;
  TItemHeader* item = NewItem();
  item->Next = succ;
  item->Prev = succ ? succ->Prev : FLast;
  if (item->Prev) item->Prev->Next = item;
  else FFirst = item;
  if (succ) succ->Prev = item;
  else FLast = item;
  if (!succ && !FStale) {
    item->Order = item->Prev ? item->Prev->Order + 1 : 1;
    item->OrderValid = true;
  } else if (succ && (succ->OrderValid || succ == FStale)) {
    InvalidateFrom(item);
  }
  FOrderCache.insert(FOrderCache.begin() + static_cast<std::ptrdiff_t>(index), item);
  FOrderCacheVersion = ++FListVersion;
  FCurrent = item;
  FBOF = FEOF = false;
  std::memcpy(item->Record(), RecBuf, static_cast<std::size_t>(FRecordSize));
  if (FHasBlobFields)
    for (const auto& d : FFields)
      if (d->IsBlob())
        if (TBlob* b = GetObject(*d, item->Record())) b->Commit();
  ++FRecordCount;
  if (CacheActive()) CacheInserted(item);
}

void TMemData::RelinkItems(const std::vector<TItemHeader*>& Items) {
  ++FListVersion;
  TItemHeader* prev = nullptr;
  std::int32_t n = 0;
  for (TItemHeader* it : Items) {
    it->Prev = prev;
    if (prev) prev->Next = it;
    it->Order = ++n;
    it->OrderValid = true;
    prev = it;
  }
  if (prev) prev->Next = nullptr;
  FFirst = Items.empty() ? nullptr : Items.front();
  FLast = prev;
  FStale = nullptr;
}

void TMemData::SortItems() {
  if ((FIndexFields.empty() && !FOrderSaved) || !FFirst) return;
  std::vector<TItemHeader*> items;
  items.reserve(static_cast<std::size_t>(FRecordCount));
  for (TItemHeader* it = FFirst; it; it = it->Next) items.push_back(it);
  if (!FIndexFields.empty()) {
    if (!FOrderSaved) {
      // The order to come back to is the list position now (the numbers may be stale).
      std::int32_t n = 0;
      for (TItemHeader* it : items) it->SavedOrder = ++n;
      FOrderSaved = true;
    }
    std::stable_sort(items.begin(), items.end(), [this](const TItemHeader* a, const TItemHeader* b) {
      return CompareItemRecords(a->Record(), b->Record()) < 0;
    });
  } else {
    // Rows from before the save by their saved position; rows made since come last, in list order.
    std::stable_sort(items.begin(), items.end(), [](const TItemHeader* a, const TItemHeader* b) {
      const bool pa = a->SavedOrder > 0, pb = b->SavedOrder > 0;
      if (pa != pb) return pa;
      return pa && a->SavedOrder < b->SavedOrder;
    });
    FOrderSaved = false;
  }
  RelinkItems(items);
}

void TMemData::MoveItemToSortedPlace(int Direction) {
  if (FIndexFields.empty() || !FCurrent || Direction == 0) return;
  TItemHeader* item = FCurrent;
  // Find the new place first (the item that will follow it), then relink once.
  TItemHeader* succ;
  if (Direction < 0) {
    TItemHeader* at = item;
    while (at->Prev && CompareItemRecords(item->Record(), at->Prev->Record()) < 0) at = at->Prev;
    if (at == item) return;
    succ = at;
  } else {
    TItemHeader* at = item;
    while (at->Next && CompareItemRecords(item->Record(), at->Next->Record()) > 0) at = at->Next;
    if (at == item) return;
    succ = at->Next;
  }
  ++FListVersion;
  // Out of the list: the numbers after it go stale (as for a delete).
  if (item->OrderValid) InvalidateFrom(item->Next);
  else if (FStale == item) FStale = item->Next;
  if (item->Prev) item->Prev->Next = item->Next;
  else FFirst = item->Next;
  if (item->Next) item->Next->Prev = item->Prev;
  else FLast = item->Prev;
  // In again before succ (at the end without one): stale from there when that lies in numbered rows.
  item->OrderValid = false;
  item->Next = succ;
  item->Prev = succ ? succ->Prev : FLast;
  if (item->Prev) item->Prev->Next = item;
  else FFirst = item;
  if (succ) succ->Prev = item;
  else FLast = item;
  if (succ ? (succ->OrderValid || succ == FStale) : FStale == nullptr) InvalidateFrom(item);
}

}  // namespace vt
