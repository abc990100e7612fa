// Locate and Lookup of TMemDataSet: a binary search over the sort order for the keys that lead it,
// a linear scan for the rest.
#include <algorithm>

#include "engines/virttable/VtDataSet.h"
#include "engines/virttable/VtSort.h"
#include "platform/rtl/SysUtils.h"

namespace {

bool IsTextCode(Word t) { return t >= vt::dtString && t <= vt::dtExtWideString; }

// The key value in the field's own kind, so that it orders as the sort does; false when it cannot be
// read so (the search then goes without the binary part).
bool ToNative(const Variant& Value, const vt::TFieldDesc& F, Variant& Out) {
  if (VarIsNull(Value) || VarIsEmpty(Value)) {
    Out = Null();
    return true;
  }
  try {
    switch (F.DataType()) {
      case vt::dtInt8: case vt::dtInt16: case vt::dtInt32: case vt::dtInt64: case vt::dtUInt8: case vt::dtUInt16:
      case vt::dtUInt32:
        Out = VarAsType(Value, varInt64);
        return true;
      case vt::dtSingle: case vt::dtFloat: case vt::dtCurrency: case vt::dtExtended: case vt::dtBCD:
        Out = VarAsType(Value, varDouble);
        return true;
      case vt::dtDate: case vt::dtTime: case vt::dtDateTime:
        Out = VarAsType(Value, varDate);
        return true;
      case vt::dtBoolean:
        Out = VarAsType(Value, varBoolean);
        return true;
      default:
        if (IsTextCode(F.DataType())) {
          Out = Variant(VarToStr(Value));
          return true;
        }
        return false;
    }
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace

vt::TItemHeader* TMemDataSet::FindItem(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  std::vector<TLocateKey> keys;
  if (!GetLocateKeys(KeyFields, KeyValues, keys) || keys.empty()) return nullptr;
  const unsigned options = ((Options & loCaseInsensitive) ? vt::coCaseInsensitive : 0u) |
                           ((Options & loPartialKey) ? vt::coPartialKey : 0u);
  vt::TMemData& data = *FData;

  struct TKey {
    TField* Field;
    const vt::TFieldDesc* Desc;  // nullptr: a calculated or lookup field, read through the framework
    Variant Value;
    unsigned Options;
    bool Descending;
    vt::TPreparedKey Prepared;  // Value for Desc, converted once
  };
  std::vector<TKey> k;
  for (const TLocateKey& key : keys) {
    const vt::TFieldDesc* d = key.Field->FieldKind() == fkData ? GetFieldDesc(key.Field) : nullptr;
    k.push_back({key.Field, d, key.Value, options, false, {}});
  }

  // The keys that lead the sort order (same case rule, not a partial search) go first, in its order.
  std::size_t p = 0;
  if ((Options & loPartialKey) == 0) {
    for (const vt::TSortColumn& c : data.IndexFields()) {
      if (((vt::GetSortOptions(c) & vt::coCaseInsensitive) != 0) != ((Options & loCaseInsensitive) != 0)) break;
      auto it = std::find_if(k.begin() + static_cast<std::ptrdiff_t>(p), k.end(),
                             [&](const TKey& x) { return x.Desc == c.FieldDesc; });
      if (it == k.end()) break;
      Variant native;
      if (!ToNative(it->Value, *it->Desc, native)) {
        p = 0;
        break;
      }
      it->Value = native;
      it->Options = options | (vt::GetSortOptions(c) & vt::coOrdinalCompare);
      it->Descending = c.DescendingOrder;
      std::iter_swap(k.begin() + static_cast<std::ptrdiff_t>(p), it);
      ++p;
    }
  }

  for (TKey& key : k)
    if (key.Desc) key.Prepared = vt::PrepareKey(data, key.Value, *key.Desc);

  // Key against a record: sign of (key - record), nulls first, reversed for descending columns.
  auto compareKey = [&](const TKey& key, const vt::TItemHeader* item) {
    const bool recNull = data.GetNull(*key.Desc, item->Record());
    const bool keyNull = key.Prepared.IsNull;
    int r;
    if (recNull || keyNull) r = recNull == keyNull ? 0 : (recNull ? 1 : -1);
    else r = vt::CompareKey(data, key.Prepared, *key.Desc, item->Record(), key.Options);
    r = r < 0 ? -1 : (r > 0 ? 1 : 0);
    return key.Descending ? -r : r;
  };
  // Whether a record matches every key from First on (two nulls match, one null does not).
  auto matchFrom = [&](std::size_t First, const vt::TItemHeader* item) {
    for (std::size_t i = First; i < k.size(); ++i) {
      const TKey& key = k[i];
      if (!key.Desc) {
        const Variant have = FieldValueOfItem(key.Field, item);
        if (VarIsNull(have) || VarIsNull(key.Value)) {
          if (VarIsNull(have) != VarIsNull(key.Value)) return false;
          continue;
        }
        if (VarIsStr(key.Value)) {
          String a = VarToStr(have);
          const String b = VarToStr(key.Value);
          if ((Options & loPartialKey) && a.size() > b.size()) a.resize(b.size());
          if (!((Options & loCaseInsensitive) ? AnsiSameText(a, b) : a == b)) return false;
        } else if (!VarSameValue(have, key.Value)) {
          return false;
        }
        continue;
      }
      const bool recNull = data.GetNull(*key.Desc, item->Record());
      const bool keyNull = key.Prepared.IsNull;
      if (recNull || keyNull) {
        if (recNull != keyNull) return false;
        continue;
      }
      if (vt::CompareKey(data, key.Prepared, *key.Desc, item->Record(), key.Options) != 0) return false;
    }
    return true;
  };
  auto visible = [&](const vt::TItemHeader* item) { return !FilterActive() || ItemVisible(item); };

  if (p > 0) {
    const std::vector<vt::TItemHeader*>& items = data.ItemsInOrder();
    auto compare = [&](const vt::TItemHeader* item) {
      for (std::size_t i = 0; i < p; ++i)
        if (const int r = compareKey(k[i], item)) return r;
      return 0;
    };
    // The first row not below the key; the rows equal on the leading keys follow it.
    auto it = std::partition_point(items.begin(), items.end(), [&](const vt::TItemHeader* item) { return compare(item) > 0; });
    for (; it != items.end() && compare(*it) == 0; ++it)
      if (matchFrom(p, *it) && visible(*it)) return *it;
    return nullptr;
  }
  for (vt::TItemHeader* item = const_cast<vt::TItemHeader*>(data.FirstItem()); item; item = item->Next)
    if (matchFrom(0, item) && visible(item)) return item;
  return nullptr;
}
