// TIdCustomDataSet: the sort order of the row list, the filtered view and Locate / Lookup.
#include <algorithm>
#include <cstring>

#include "engines/fieldlist/IdDataSet.h"
#include "platform/rtl/Format.h"

namespace {
constexpr char16_t SUnsupportedKeyField[] = u"Field '%s' is of an unsupported type";
}

// ---- sorting --------------------------------------------------------------------------------------------

void TIdCustomDataSet::SetSort(const String& Value) {
  if (Value == FSort) return;
  FSort = Value;
  ApplySort(true);
}

int TIdCustomDataSet::CompareRows(const Byte* A, const Byte* B) const {
  if (A == B) return 0;
  for (const TIdSorting& key : FSortings)
    if (const int r = key.CompareRows(A, B)) return r;
  // Equal keys keep the order the rows were made in.
  const std::int32_t a = TIdRecordStore::BookmarkOf(A), b = TIdRecordStore::BookmarkOf(B);
  return a < b ? -1 : (a > b ? 1 : 0);
}

void TIdCustomDataSet::RefetchBuffers() {
  // Resync fetches the row the cursor names, or the next, or the prior one, or shows nothing.
  if (Active()) Resync(0);
}

void TIdCustomDataSet::ApplySort(bool Resort) {
  FSortings.clear();
  if (!FActive || FIsLoading || !FStore) return;
  FSortings = ParseSortText(FSort, [this](std::u16string_view Name) { return IdFieldOf(FindField(Name)); });
  if (Active() && BufferedRecordCount() > 0) UpdateCursorPos();
  if (Resort || !FSortings.empty()) {
    // Binary insertion: rows already in order cost one comparison each.
    const std::span<TRowPool::Id> ids = FStore->Records().Contiguous();
    const TIdRecordStore& store = *FStore;
    for (std::size_t i = 1; i < ids.size(); ++i) {
      const TRowPool::Id id = ids[i];
      const Byte* row = store.RowById(id);
      if (CompareRows(store.RowById(ids[i - 1]), row) <= 0) continue;
      std::size_t lo = 0, hi = i - 1;
      while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (CompareRows(store.RowById(ids[mid]), row) <= 0) lo = mid + 1;
        else hi = mid;
      }
      std::move_backward(ids.begin() + hi, ids.begin() + i, ids.begin() + i + 1);
      ids[hi] = id;
    }
  }
  if (IsFilterActive()) ApplyFilter();
  else RefetchBuffers();
}

void TIdCustomDataSet::KeepCurrentInOrder(bool Moved) {
  const int count = FStore ? FStore->Count() : 0;
  if (Moved && FActive && !FIsLoading && !FSortings.empty() && FCurRec >= 0 && FCurRec < count && count >= 2) {
    const int current = FCurRec;
    const Byte* row = FStore->Row(current);
    const bool afterPrevious = current == 0 || CompareRows(FStore->Row(current - 1), row) <= 0;
    const bool beforeNext = current == count - 1 || CompareRows(row, FStore->Row(current + 1)) <= 0;
    if (!(afterPrevious && beforeNext)) {
      int target;
      if (!afterPrevious) {
        int lo = 0, hi = current;  // the first row above it that orders after it
        while (lo < hi) {
          const int mid = (lo + hi) / 2;
          if (CompareRows(FStore->Row(mid), row) <= 0) lo = mid + 1;
          else hi = mid;
        }
        target = lo;
      } else {
        int lo = current + 1, hi = count;  // the last row below it that orders before it
        while (lo < hi) {
          const int mid = (lo + hi) / 2;
          if (CompareRows(FStore->Row(mid), row) <= 0) lo = mid + 1;
          else hi = mid;
        }
        target = lo - 1;
      }
      FStore->Records().Move(current, target);
      if (FIsFiltered) {
        const int own = FilterPositionOf(current);
        for (std::int32_t& index : FFilters) {
          if (target < current && index >= target && index < current) ++index;
          else if (target > current && index > current && index <= target) --index;
        }
        if (own >= 0) {
          FFilters.erase(FFilters.begin() + own);
          const auto at = std::lower_bound(FFilters.begin(), FFilters.end(), target);
          // Two statements: insert may reallocate, and begin() must be taken after it.
          const auto inserted = FFilters.insert(at, target);
          FFilterCurRec = static_cast<std::int32_t>(inserted - FFilters.begin());
        }
      }
      FCurRec = target;
    }
  }
  if (IsFilterActive() && FCurRec >= 0 && FCurRec < count && !RowPassesFilter(FCurRec)) {
    const int own = FilterPositionOf(FCurRec);
    if (own >= 0) {
      FFilters.erase(FFilters.begin() + own);
      FFilterCurRec = std::min<std::int32_t>(own, static_cast<std::int32_t>(FFilters.size()) - 1);
    }
  }
}

// ---- filtering ------------------------------------------------------------------------------------------

bool TIdCustomDataSet::IsFilterActive() const { return Filtered() && (OnFilterRecord() || FOnFilterData); }

void TIdCustomDataSet::SetFiltered(bool Value) {
  if (Value == Filtered()) return;
  TDataSet::SetFiltered(Value);
  ApplyFilter();
}

void TIdCustomDataSet::SetOnFilterRecord(const TFilterRecordEvent& Value) {
  TDataSet::SetOnFilterRecord(Value);
  ApplyFilter();
}

void TIdCustomDataSet::SetOnFilterData(const TIdFilterDataEvent& Value) {
  FOnFilterData = Value;
  if (!OnFilterRecord()) ApplyFilter();
}

bool TIdCustomDataSet::RowPassesFilter(int DataIndex) {
  if (OnFilterRecord()) {
    // The handler reads the row through a buffer of its own, in filter state (the framework's filter
    // buffer): the cursor and the window stay where they are.
    TRecordBuffer buffer = AllocateRecordBuffer();
    bool accept = true;
    try {
      FStore->CopyRecordData(FStore->Row(DataIndex), buffer);
      std::memcpy(buffer, FStore->Row(DataIndex), kBookmarkSize);
      accept = RecordPassesFilterEvent(buffer);
    } catch (...) {
      ReleaseRecordBuffer(buffer);
      throw;
    }
    ReleaseRecordBuffer(buffer);
    return accept;
  }
  bool accept = true;
  if (FOnFilterData) FOnFilterData(*this, DataIndex, accept);
  return accept;
}

void TIdCustomDataSet::AddCurrentToFilter() {
  if (!IsFilterActive()) return;
  const std::int32_t added = std::max<std::int32_t>(FCurRec, 0);
  // The rows at and behind the new one moved up one data index.
  for (std::int32_t& index : FFilters)
    if (index >= added) ++index;
  const auto at = std::lower_bound(FFilters.begin(), FFilters.end(), added);
  // Two statements: insert may reallocate, and begin() must be taken after it.
  const auto inserted = FFilters.insert(at, added);
  FFilterCurRec = static_cast<std::int32_t>(inserted - FFilters.begin());
}

void TIdCustomDataSet::ApplyFilter() {
  if (!Active() || !FStore) return;
  const TDataSetNotifyEvent beforeScroll = BeforeScroll;
  const TDataSetNotifyEvent afterScroll = AfterScroll;
  BeforeScroll = nullptr;
  AfterScroll = nullptr;
  const bool disabledHere = !ControlsDisabled();
  if (disabledHere) DisableControls();
  auto restore = [&] {
    if (disabledHere) EnableControls();
    BeforeScroll = beforeScroll;
    AfterScroll = afterScroll;
  };
  try {
    if (beforeScroll) beforeScroll(*this);
    FFilters.clear();
    FIsFiltered = false;
    if (IsFilterActive()) {
      for (int i = 0, n = FStore->Count(); i < n; ++i)
        if (RowPassesFilter(i)) FFilters.push_back(i);
    }
    FIsFiltered = IsFilterActive();
    FCurRec = -1;
    FFilterCurRec = -1;
    ClearBuffers();
    First();
  } catch (...) {
    restore();
    throw;
  }
  restore();
  if (afterScroll) afterScroll(*this);
}

// ---- Locate and Lookup ----------------------------------------------------------------------------------

int TIdCustomDataSet::BinarySearchFirstSortKey(const TIdSorting& Key, std::span<const Byte> KeyBytes,
                                               bool& Hit) const {
  Hit = false;
  const int count = FStore->Count();
  if (count == 0) return -1;
  int lo = 0, hi = count;  // the first row that does not order before the key
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (Key.CompareKeyWithRow(KeyBytes, FStore->Row(mid)) > 0) lo = mid + 1;
    else hi = mid;
  }
  if (lo == count) return count - 1;
  Hit = Key.CompareKeyWithRow(KeyBytes, FStore->Row(lo)) == 0;
  return lo;
}

int TIdCustomDataSet::FindByFirstSortKey(const TIdSorting& Key, const Variant& Value, TLocateOptions Options) const {
  const TIdField& field = *Key.IdField();
  const TBytes keyBytes = VariantToFieldBytes(Value, field);
  bool hit;
  const int found = BinarySearchFirstSortKey(Key, keyBytes, hit);
  if (found < 0 || (!hit && (Options & loPartialKey) == 0)) return -1;
  return RowMatches(field, Value, found, Options) ? found : -1;
}

bool TIdCustomDataSet::RowMatches(const TIdField& Field, const Variant& Value, int DataIndex,
                                  TLocateOptions Options) const {
  const std::span<const Byte> stored = Field.BlockBytes(FStore->Row(DataIndex));
  // Null matches null only, and a value never matches null (an empty text included).
  if (Value.IsNull() || stored.empty()) return Value.IsNull() && stored.empty();
  if (IsTextType(Field.DataType())) return CompareKeyText(Value.AsString(), Field.DataType(), stored, Options) == 0;
  return Field.CompareData(VariantToFieldBytes(Value, Field), stored, false) == 0;
}

int TIdCustomDataSet::FindRecordIndex(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  CheckBrowseMode();
  if (BufferedRecordCount() > 0) UpdateCursorPos();
  std::vector<TLocateKey> locateKeys;
  const bool matchable = GetLocateKeys(KeyFields, KeyValues, locateKeys);
  for (const TLocateKey& key : locateKeys)
    if (IdFieldOf(key.Field) == nullptr) DatabaseErrorFmt(SUnsupportedKeyField, {key.Field->FieldName()}, this);
  const int count = GetRecordCount();
  if (count == 0 || !matchable) return -1;

  // A partial key on a descending key has its matches on both sides of where the key itself would
  // stand: only the scan finds the first of them.
  if (locateKeys.size() == 1 && !FIsFiltered && !FSortings.empty() &&
      FSortings[0].IdField() == IdFieldOf(locateKeys[0].Field) &&
      FSortings[0].AcceptsCase((Options & loCaseInsensitive) != 0) &&
      !((Options & loPartialKey) != 0 && FSortings[0].Descending()))
    return FindByFirstSortKey(FSortings[0], locateKeys[0].Value, Options);

  // The scan: every row of the view in order; each key's bytes are made once.
  struct TKey {
    const TIdField* Field;
    Variant Value;
    TBytes Bytes;
    bool ByText;
  };
  std::vector<TKey> keys;
  keys.reserve(locateKeys.size());
  for (const TLocateKey& locateKey : locateKeys) {
    const TIdField* f = IdFieldOf(locateKey.Field);
    TKey key{f, locateKey.Value, {}, false};
    key.ByText = IsTextType(f->DataType());
    if (!key.Value.IsNull() && !key.ByText) key.Bytes = VariantToFieldBytes(key.Value, *f);
    keys.push_back(std::move(key));
  }
  for (int position = 0; position < count; ++position) {
    const int index = FIsFiltered ? FFilters[position] : position;
    const Byte* row = FStore->Row(index);
    bool all = true;
    for (const TKey& key : keys) {
      const std::span<const Byte> stored = key.Field->BlockBytes(row);
      bool match;
      if (key.Value.IsNull() || stored.empty()) match = key.Value.IsNull() && stored.empty();
      else if (key.ByText) match = CompareKeyText(key.Value.AsString(), key.Field->DataType(), stored, Options) == 0;
      else match = key.Field->CompareData(key.Bytes, stored, false) == 0;
      if (!match) {
        all = false;
        break;
      }
    }
    if (all) return position;
  }
  return -1;
}

bool TIdCustomDataSet::Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  const int position = FindRecordIndex(KeyFields, KeyValues, Options);
  SetFound(position >= 0);
  if (position < 0) return false;
  if (RecNo() == position + 1) {
    RefetchBuffers();
  } else {
    SetRecNoValue(position + 1);
  }
  return true;
}

Variant TIdCustomDataSet::Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) {
  const int position = FindRecordIndex(KeyFields, KeyValues, 0);
  if (position < 0) return Null();
  const int index = FIsFiltered ? FFilters[position] : position;
  std::vector<TField*> fields;
  GetLookupResultFields(ResultFields, fields);
  return LookupResult(fields, [&](TField* field) {
    const TIdField* f = IdFieldOf(field);
    return f != nullptr ? GetAsVariant(*f, index) : Null();
  });
}
