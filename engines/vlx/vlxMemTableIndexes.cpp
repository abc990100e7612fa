// The table's choice of index, its status filter and record filter, and the detail field list.
#include <algorithm>

#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/SysUtils.h"

void TvlxCustomMemTable::SwitchToIndex(TvlxIndex* Index) {
  if (Index == nullptr) Index = FIndexes->RowOrderIndex();
  if (Index == FCurIndex) return;
  std::int32_t recordID = -1, uniqueID = -1;
  if (Active()) {
    CheckBrowseMode();
    if (!IsEmpty()) {
      const TvlxRecord* b = Rec(ActiveBuffer());
      recordID = b->RecordID;
      uniqueID = b->UniqueRecordID;
    }
    if (FCurIndex != nullptr) UpdateCursorPos();
  }
  if (!Index->IsOrdered()) Index->Rebuild();
  if (Index->IsRowOrder()) {
    FIndexFieldNames.clear();
    FIndexName.clear();
  } else {
    FIndexFieldNames = Index->IndexFields();
    FIndexName = Index->Name();
  }
  FCurIndex = Index;
  FIndexList = Index->IndexFieldList();
  FRecNo = std::min(FRecNo, Index->Count() - 1);
  if (!Active() || FRecNo < 0) {
    if (Active()) Resync(0);
    return;
  }
  try {
    TvlxCommon::TLockGuard lock(*FCommon);
    const TvlxRecord* stored = FCommon->StoredRecord(recordID);
    int pos = -1;
    if (stored != nullptr && stored->UniqueRecordID == uniqueID) pos = Index->SearchRecord(stored);
    if (pos < 0 || pos >= Index->Count() || !FilterRecord(Index->References()[pos], false)) {
      FRecNo = -1;
      CursorPosChanged();
      First();
      return;
    }
    FRecNo = pos;
    CursorPosChanged();
    Resync(rmExact | rmCenter);
  } catch (...) {
    // The table stays usable: on its first record, and the caller learns why.
    FRecNo = -1;
    CursorPosChanged();
    try {
      First();
    } catch (...) {
      HandleCurrentException(this);
    }
    throw;
  }
}

void TvlxCustomMemTable::SetIndexFieldNames(const String& Value) {
  if (!Active()) {
    FIndexFieldNames = Value;
    if (!Value.empty()) FIndexName.clear();
    return;
  }
  FMasterDetailRelationChanged = true;
  if (Value.empty()) {
    SwitchToIndex(nullptr);
    return;
  }
  TvlxIndex* ix = FIndexes->GetByFieldNames(Value);
  if (ix == nullptr) {
    // A new default index replaces an earlier one made the same way.
    if (TvlxIndex* old = FIndexes->Get(kDefaultIndexName)) {
      if (FCurIndex != nullptr && FCurIndex->IsDependingOn(old)) SwitchToIndex(nullptr);
      FIndexes->DeleteIndex(old);
    }
    TvlxIndex* base = FCurIndex != nullptr && FCurIndex->IsRowOrder() ? FCurIndex : FIndexes->RowOrderIndex();
    ix = FIndexes->AddIndex(std::make_unique<TvlxIndex>(base, kDefaultIndexName, this, Value, 0, mtitSorted));
    ix->Rebuild();
  }
  SwitchToIndex(ix);
}

void TvlxCustomMemTable::SetIndexName(const String& Value) {
  if (!Active()) {
    FIndexName = Value;
    if (!Value.empty()) FIndexFieldNames.clear();
    return;
  }
  if (Value.empty()) {
    SwitchToIndex(nullptr);
    return;
  }
  if (TvlxIndex* ix = FIndexes->Get(Value)) SwitchToIndex(ix);
}

void TvlxCustomMemTable::SetIndexDefs(const TIndexDefs& Value) { IndexDefs().Assign(&Value); }

void TvlxCustomMemTable::CreateIndexes() {
  DestroyIndexes();
  for (int i = 0; i < IndexDefs().Count(); ++i) FIndexes->Add(*IndexDefs()[i]);
}

void TvlxCustomMemTable::DestroyIndexes() {
  FIndexes->Clear();
  if (FCurIndex == nullptr) FCurIndex = FIndexes->RowOrderIndex();
}

void TvlxCustomMemTable::UpdateIndexes() {
  bool refresh = false;
  for (int i = FIndexes->Count() - 1; i >= 0; --i) {
    if (i >= FIndexes->Count()) continue;
    TvlxIndex* ix = FIndexes->Items(i);
    if (ix->IsRowOrder() || ix == FSortIndex || IndexDefs().IndexOf(ix->Name()) >= 0) continue;
    // Indexes the table makes for itself stay; only those of removed definitions go.
    if (ix->Name().starts_with(u"__MT__")) continue;
    if (FCurIndex != nullptr && FCurIndex->IsDependingOn(ix)) {
      FCurIndex = FIndexes->RowOrderIndex();
      FIndexFieldNames.clear();
      refresh = true;
    }
    FIndexes->DeleteIndex(ix);
  }
  for (int i = 0; i < IndexDefs().Count(); ++i)
    if (FIndexes->Get(IndexDefs()[i]->Name()) == nullptr) FIndexes->Add(*IndexDefs()[i]);
  for (int i = 0; i < FIndexes->Count(); ++i) {
    TvlxIndex* ix = FIndexes->Items(i);
    if (ix->IsDirty()) {
      ix->Rebuild();
      if (ix == FCurIndex && Active()) refresh = true;
    }
  }
  if (refresh && Active() && State() == dsBrowse) Resync(0);
}

void TvlxCustomMemTable::IndexDestroying(TvlxIndex* Index) {
  if (!FIndexes) return;
  if (Index == FIndexes->RowOrderIndex()) {
    FCurIndex = nullptr;
  } else if (FCurIndex != nullptr && FCurIndex->IsDependingOn(Index)) {
    FCurIndex = Index->Base() != nullptr ? Index->Base() : FIndexes->RowOrderIndex();
    FRecNo = std::min(FRecNo, FCurIndex->Count() - 1);
    if (Active() && State() == dsBrowse) {
      CursorPosChanged();
      ClearBuffers();
    }
  }
  if (FSortIndex == Index) FSortIndex = nullptr;
  if (FGroupIndex == Index) FGroupIndex = nullptr;
  if (FGroupIndexOwned == Index) FGroupIndexOwned = nullptr;
  if (FDetailIndex == Index) FDetailIndex = nullptr;
  if (FRangeIndex == Index) FRangeIndex = nullptr;
}

void TvlxCustomMemTable::SetStatusFilter(TvlxUpdateStatusSet Value) {
  if (Active()) {
    CheckBrowseMode();
    UpdateCursorPos();
  }
  if (Value == FStatusFilter) return;
  FStatusFilter = Value;
  UpdateIsFiltered();
  if (Active()) Resync(0);
}

// ---- search ---------------------------------------------------------------------------------------------

void TvlxCustomMemTable::PopulateRecord(PvlxRecord Record, const TvlxFieldList& Fields, const Variant& Values) {
  if (VarIsArray(Values) && VarArrayDimCount(Values) > 1)
    throw EMemTableError(String(u"Values variant array has invalid dimension count"));
  if (Fields.Count() == 0) throw EMemTableError(String(vlxmsg::SNoFields));
  if (!VarIsArray(Values)) {
    if (Fields.Count() > 1) throw EMemTableError(String(u"More fields than values"));
    PopulateField(Record, Fields.Fields[0], Values);
    return;
  }
  const int low = VarArrayLowBound(Values, 1), high = VarArrayHighBound(Values, 1);
  if (Fields.Count() > high - low + 1) throw EMemTableError(String(u"More fields than values"));
  for (int i = 0; i < Fields.Count(); ++i)
    PopulateField(Record, Fields.Fields[static_cast<std::size_t>(i)], VarArrayGet(Values, low + i));
}

int TvlxCustomMemTable::LocateRecord(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  if (VarIsArray(KeyValues) && VarArrayDimCount(KeyValues) > 1)
    throw EMemTableError(String(u"Values variant array has invalid dimension count"));
  CheckBrowseMode();
  TvlxFieldList list;
  list.Build(this, KeyFields);
  list.LocateOptions = (Options & loCaseInsensitive) ? 1u : 0u;
  for (int i = 0; i < list.Count(); ++i) {
    auto& o = list.Options[static_cast<std::size_t>(i)];
    if (Options & loCaseInsensitive) o |= Bit(mtifoCaseInsensitive);
    if (Options & loPartialKey) o |= Bit(mtifoPartial);
  }
  PvlxRecord key = FCommon->_InternalAllocRecord();
  try {
    PopulateRecord(key, list, KeyValues);
    int pos = -1;
    bool found = false;
    FIndexes->Search(list, key, mtstFirst, true, true, FAutoAddIndexes, pos, found);
    FCommon->_InternalFreeRecord(key, true, false);
    return found ? pos : -1;
  } catch (...) {
    FCommon->_InternalFreeRecord(key, true, false);
    throw;
  }
}

bool TvlxCustomMemTable::Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  DoBeforeScroll();
  const int pos = LocateRecord(KeyFields, KeyValues, Options);
  SetFound(pos >= 0);
  if (pos < 0) return false;
  FRecNo = pos;
  CursorPosChanged();
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

Variant TvlxCustomMemTable::Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) {
  const int pos = LocateRecord(KeyFields, KeyValues, 0);
  SetFound(pos >= 0);
  if (pos < 0) return Null();
  PvlxRecord found = FCurIndex->References()[pos];
  TOverrideBuffer over(*this, found);
  // Calculated results are computed on the found record; the cursor does not move.
  if (CalcFieldsSize() > 0) UpdateCalculatedFields(reinterpret_cast<TRecordBuffer>(found));
  return FieldValues(ResultFields);
}
