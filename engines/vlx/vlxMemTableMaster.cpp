// Master/detail: a detail table shows the records whose detail fields equal the master's current
// values, through a sorted index "__MT__DETAIL_" whose range is the master key. A master value that is
// null leaves its key field unrestricted (the index ignores null keys). GotoCurrent positions a table
// on another table's current record of the same store.
#include <algorithm>

#include "engines/vlx/vlxMemTable.h"

namespace {
constexpr char16_t SSelfReferencing[] = u"Selfreferencing master/detail relations not allowed.";
}

TvlxMasterDataLink::TvlxMasterDataLink(TvlxCustomMemTable* ATable) : TMasterDataLink(ATable) {
  OnMasterChange = [ATable](TObject*) { ATable->MasterChanged(); };
  OnMasterDisable = [ATable](TObject*) { ATable->MasterDisabled(); };
}

TDataSource* TvlxCustomMemTable::GetDataSource() const { return FMasterLink ? FMasterLink->DataSource() : nullptr; }

TDataSource* TvlxCustomMemTable::MasterSource() const { return GetDataSource(); }

void TvlxCustomMemTable::SetMasterSource(TDataSource* Value) {
  if (Value != nullptr && IsLinkedTo(Value)) DatabaseError(SSelfReferencing, this);
  if (!FMasterLink) {
    if (Value == nullptr) return;
    FMasterLink = std::make_unique<TvlxMasterDataLink>(this);
  }
  FMasterLink->SetDataSource(Value);
  if (Active()) {
    BuildDetailFieldList();
    MasterChanged();
  }
}

String TvlxCustomMemTable::MasterFields() const { return FMasterLink ? FMasterLink->FieldNames() : String(); }

void TvlxCustomMemTable::SetMasterFields(const String& Value) {
  if (!FMasterLink) FMasterLink = std::make_unique<TvlxMasterDataLink>(this);
  FMasterLink->SetFieldNames(Value);
  if (Active()) BuildDetailFieldList();
}

void TvlxCustomMemTable::BuildDetailFieldList() {
  if (FDetailFieldNames.empty()) FDetailIndexList.Clear();
  else FDetailIndexList.Build(this, FDetailFieldNames);
}

void TvlxCustomMemTable::SetDetailFields(const String& Value) {
  FDetailFieldNames = Value;
  FMasterDetailRelationChanged = true;
  if (Active()) {
    BuildDetailFieldList();
    MasterChanged();
  }
}

void TvlxCustomMemTable::MasterChanged() {
  if (!Active()) return;
  const TvlxFieldList& keys = FDetailIndexList.Count() > 0 ? FDetailIndexList : FIndexList;
  const int n = FMasterLink && FMasterLink->Active() && FMasterLinkUsed
                    ? static_cast<int>(FMasterLink->Fields().size())
                    : 0;
  if (n == 0 || keys.Count() == 0) {
    // No restriction: any detail index goes.
    if (FDetailIndex != nullptr) {
      FIndexes->DeleteIndex(FDetailIndex);
      First();
    }
    return;
  }
  CheckBrowseMode();
  if (FMasterKey == nullptr) FMasterKey = FCommon->_InternalAllocRecord();
  const int m = std::min(n, keys.Count());
  for (int i = 0; i < keys.Count(); ++i) {
    TField* f = keys.Fields[static_cast<std::size_t>(i)];
    PopulateField(FMasterKey, f, i < m ? FMasterLink->Fields()[static_cast<std::size_t>(i)]->AsVariant() : Null());
  }
  FCommon->ClearModifiedFlags();
  if (FMasterDetailRelationChanged && FDetailIndex != nullptr) FIndexes->DeleteIndex(FDetailIndex);
  bool made = false;
  if (FDetailIndex == nullptr) {
    const String fields = FDetailIndexList.Count() > 0 ? FDetailFieldNames : FIndexFieldNames;
    TvlxIndex* base = FCurIndex != nullptr ? FCurIndex : FIndexes->RowOrderIndex();
    FDetailIndex = FIndexes->AddIndex(
        std::make_unique<TvlxIndex>(base, kDetailIndexName, this, fields, mtcoIgnoreNullKey, mtitSorted));
    FMasterDetailRelationChanged = false;
    made = true;
  }
  FDetailIndex->SetRangeStartKey(FMasterKey);
  FDetailIndex->SetRangeEndKey(FMasterKey);
  FDetailIndex->Rebuild();
  FDetailIndex->RebuildDepending();
  if (made) {
    SwitchToIndex(FDetailIndex);
  } else {
    CursorPosChanged();
    ClearBuffers();
  }
  FRecNo = -1;
  First();
}

void TvlxCustomMemTable::MasterDisabled() {
  UpdateIsFiltered();
  if (Active()) First();
}

void TvlxCustomMemTable::GotoCurrent(TDataSet& DataSet) {
  auto* other = dynamic_cast<TvlxCustomMemTable*>(&DataSet);
  if (!DataSet.Active() || DataSet.IsEmpty() || other == nullptr) return;
  PvlxRecord r = other->ActiveRecordBuffer();
  if (r == nullptr) return;
  RequireActive();
  CheckBrowseMode();
  int pos = -1;
  {
    TvlxCommon::TLockGuard lock(*FCommon);
    const TvlxRecord* stored = other->Common() == FCommon.get() ? StoredRecordOf(r) : nullptr;
    if (stored != nullptr) pos = PositionInCurrent(stored, -1);
    if (pos < 0 || pos >= FCurIndex->Count() || !FilterRecord(FCurIndex->References()[pos], false))
      DatabaseError(msg::SRecordNotFound, this);
  }
  DoBeforeScroll();
  FRecNo = pos;
  CursorPosChanged();
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

void TvlxCustomMemTable::ApplyMasterValues() {
  if (!FMasterLink || !FMasterLink->Active() || FMasterLink->Fields().empty()) return;
  const TvlxFieldList& keys = FDetailIndexList.Count() > 0 ? FDetailIndexList : FIndexList;
  const int m = std::min(static_cast<int>(FMasterLink->Fields().size()), keys.Count());
  for (int i = 0; i < m; ++i)
    keys.Fields[static_cast<std::size_t>(i)]->SetAsVariant(FMasterLink->Fields()[static_cast<std::size_t>(i)]->AsVariant());
}
