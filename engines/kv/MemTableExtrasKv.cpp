#include "engines/kv/MemTableExtrasKv.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "engines/kv/AggregatesKv.h"
#include "engines/kv/MemTableKv.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

// ---- extra filters ---------------------------------------------------------------------------------------

TMemTableFilterItemKv::TMemTableFilterItemKv(TMemTableFiltersKv* Collection)
    : FCollection(Collection), FFilterExpr(Collection->MemTable(), dsptFilterKv) {}

void TMemTableFilterItemKv::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  FCollection->ItemChanged(this);
}

void TMemTableFilterItemKv::SetFilter(const String& Value) {
  if (Value == FFilter) return;
  const String old = FFilter;
  FFilter = Value;
  if (!FActive) return;
  try {
    FCollection->ItemChanged(this);
  } catch (...) {
    FFilter = old;
    FCollection->ItemChanged(this);
    throw;
  }
}

void TMemTableFilterItemKv::SetOnFilterRecord(const TFilterRecordEvent& Value) {
  FOnFilterRecord = Value;
  if (FActive) FCollection->ItemChanged(this);
}

void TMemTableFilterItemKv::FilterProcChanged() {
  if (FActive) FCollection->ItemChanged(this);
}

void TMemTableFilterItemKv::RecreateFilterExpr() {
  if (FActive && !FFilter.empty() && FCollection->MemTable()->CursorActive()) FFilterExpr.ParseExpression(FFilter);
  else FFilterExpr.Clear();
}

bool TMemTableFilterItemKv::IsCurRecordInFilter(TMemoryRecordKv* MemRec) {
  bool result = FFilterExpr.HasData() ? FFilterExpr.IsCurRecordInFilter(MemRec) : true;
  if (FActive && FOnFilterRecord) FOnFilterRecord(*FCollection->MemTable(), result);
  return result;
}

TMemTableFilterItemKv* TMemTableFiltersKv::Add() {
  FItems.push_back(std::make_unique<TMemTableFilterItemKv>(this));
  return FItems.back().get();
}

int TMemTableFiltersKv::IndexOfFilter(const TMemTableFilterItemKv* Item) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == Item) return static_cast<int>(i);
  return -1;
}

bool TMemTableFiltersKv::Remove(TMemTableFilterItemKv* Item) {
  const int i = IndexOfFilter(Item);
  if (i < 0) return false;
  const bool filtered = Item->Filtered();
  // Kept alive until the active set is rebuilt: while it is still listed as active, the rebuild and the
  // refresh run even when no filter remains.
  std::unique_ptr<TMemTableFilterItemKv> gone = std::move(FItems[static_cast<size_t>(i)]);
  FItems.erase(FItems.begin() + i);
  if (filtered) ItemChanged(nullptr);
  std::erase(FActiveFilterItems, Item);
  return true;
}

void TMemTableFiltersKv::Clear() {
  FItems.clear();
  ItemChanged(nullptr);
}

bool TMemTableFiltersKv::IsCurRecordInFilter(TMemoryRecordKv* MemRec) {
  for (TMemTableFilterItemKv* item : FActiveFilterItems)
    if (!item->IsCurRecordInFilter(MemRec)) return false;
  return true;
}

bool TMemTableFiltersKv::HasEventActiveFilter() const {
  for (TMemTableFilterItemKv* item : FActiveFilterItems)
    if (item->OnFilterRecord()) return true;
  return false;
}

void TMemTableFiltersKv::RecreateFilterExpr() {
  for (auto& item : FItems) item->RecreateFilterExpr();
}

void TMemTableFiltersKv::ItemChanged(TMemTableFilterItemKv* Item) {
  bool any = false;
  for (auto& i : FItems) any = any || i->Filtered();
  if (!Item && !any && FActiveFilterItems.empty()) return;
  FActiveFilterItems.clear();
  for (auto& i : FItems) i->RecreateFilterExpr();
  for (auto& i : FItems)
    if (i->Filtered()) FActiveFilterItems.push_back(i.get());
  if (OnChanged) OnChanged(nullptr);
  if (FMemTable->Active()) FMemTable->RefreshRecordsView();
}

// ---- field value list ------------------------------------------------------------------------------------

TMemTableDataFieldValueListKv::TMemTableDataFieldValueListKv(TDataSet* ADataSet)
    : FNotificator(std::make_unique<TRecordsListNotificatorKv>(nullptr)), FFilterExpr(ADataSet, dsptFilterKv),
      FDataSet(ADataSet) {
  FNotificator->OnDataEvent = [this](TMemoryRecordKv*, int, TRecordsListNotification) { SetDataObsolete(); };
  FNotificator->OnStructChanged = [this] { SetDataObsolete(); };
}

TMemTableDataFieldValueListKv::~TMemTableDataFieldValueListKv() = default;

void TMemTableDataFieldValueListKv::SetFieldName(const String& Value) {
  if (Value == FFieldName) return;
  SetDataObsolete();
  FFieldName = Value;
  RefreshValues();
}

void TMemTableDataFieldValueListKv::SetDataObject(TComponent* Value) {
  SetDataObsolete();
  FNotificator->SetDataObject(Value);
}

void TMemTableDataFieldValueListKv::SetFilter(const String& Filter) {
  if (Filter == FFilter) return;
  FFilterExpr.ParseExpression(Filter);
  SetDataObsolete();
  FFilter = Filter;
}

const std::vector<String>& TMemTableDataFieldValueListKv::Values() {
  if (FDataObsoleted) RefreshValues();
  return FValues;
}

void TMemTableDataFieldValueListKv::RefreshValues() {
  FValues.clear();
  auto* data = dynamic_cast<TMemTableDataKv*>(FNotificator->DataObject());
  if (!data) return;
  const TMTDataStructKv* s = data->DataStruct();
  const int index = s->FieldIndex(FFieldName);
  if (index < 0) return;
  const TFieldType type = s->DataFields(index)->DataType();
  switch (type) {
    case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary: case ftCursor: case ftArray:
    case ftReference: case ftDataSet: case ftOraBlob: case ftVariant: case ftConnection: case ftParams: case ftStream:
    case ftObject:
      return;
    default: break;
  }
  const TRecordsListKv* list = data->RecordsList();
  const bool filtered = FFilterExpr.HasData();
  if (type == ftString || type == ftWideString) {
    const bool ci = FDataSet && (FDataSet->FilterOptions() & foCaseInsensitive) != 0;
    for (TMemoryRecordKv* r = list->First(); r; r = TRecordsListKv::Next(r))
      if (!filtered || FFilterExpr.IsCurRecordInFilter(r)) FValues.push_back(VarToStr(r->GetDataValue(index, dvvValueKv)));
    auto less = [ci](const String& a, const String& b) { return (ci ? AnsiCompareText(a, b) : AnsiCompareStr(a, b)) < 0; };
    auto same = [ci](const String& a, const String& b) { return (ci ? AnsiCompareText(a, b) : AnsiCompareStr(a, b)) == 0; };
    std::stable_sort(FValues.begin(), FValues.end(), less);
    FValues.erase(std::unique(FValues.begin(), FValues.end(), same), FValues.end());
  } else {
    std::vector<Variant> keys;
    for (TMemoryRecordKv* r = list->First(); r; r = TRecordsListKv::Next(r))
      if (!filtered || FFilterExpr.IsCurRecordInFilter(r)) keys.push_back(r->GetDataValue(index, dvvValueKv));
    std::stable_sort(keys.begin(), keys.end(), [](const Variant& a, const Variant& b) { return KvVarCompare(a, b) == vrLessThan; });
    for (const Variant& v : keys) {
      String text = KvVarToText(v);
      if (FValues.empty() || FValues.back() != text) FValues.push_back(std::move(text));
    }
  }
  FDataObsoleted = false;
}

// ---- the table's side ------------------------------------------------------------------------------------

TMemTableFilterItemKv* TCustomMemTableKv::AddExtraFilter(const String& Filter, const TFilterRecordEvent& OnFilterRecord) {
  TMemTableFilterItemKv* item = FExtraFilters->Add();
  try {
    item->SetFilter(Filter);
    item->SetOnFilterRecord(OnFilterRecord);
    item->SetActive(true);
  } catch (...) {
    FExtraFilters->Remove(item);
    throw;
  }
  return item;
}

bool TCustomMemTableKv::UpdateExtraFilter(TMemTableFilterItemKv* Item, const String& Filter,
                                          const TFilterRecordEvent& OnFilterRecord) {
  if (FExtraFilters->IndexOfFilter(Item) < 0) return false;
  if (Item->Filter() != Filter) {
    Item->SetFilter(Filter);
    Item->SetOnFilterRecord(OnFilterRecord);
  } else {
    // Callbacks cannot be compared: setting it again re-filters, as a changed callback logic would.
    Item->SetOnFilterRecord(OnFilterRecord);
  }
  return true;
}

bool TCustomMemTableKv::RemoveExtraFilter(TMemTableFilterItemKv* Item) { return FExtraFilters->Remove(Item); }

std::shared_ptr<TMemTableDataFieldValueListKv> TCustomMemTableKv::GetFieldValueList(const String& FieldName) {
  if (FieldCount() > 0 && !FindField(FieldName)) return nullptr;
  if (FieldCount() == 0 && FInternMemTableData->DataStruct()->FieldIndex(FieldName) < 0) return nullptr;
  auto list = std::make_shared<TMemTableDataFieldValueListKv>(this);
  list->SetDataObject(FRecordsView->MemTableData());
  list->SetFieldName(FieldName);
  return list;
}

void TCustomMemTableKv::GetAggregatedValuesForRange(const TBookmark& FromBM, const TBookmark& ToBM,
                                                    const String& FieldName, std::array<Variant, 5>& ResultArr,
                                                    int AggrFuncs) {
  ResultArr = {Null(), Variant(0), Null(), Null(), Null()};
  if (!Active()) return;
  // Row numbers count the rows the filters show, as RecNo does.
  auto recNoOf = [&](const TBookmark& B) -> int {
    if (B.size() != sizeof(TBookmarkDataKv)) return 0;
    TBookmarkDataKv data;
    std::memcpy(&data, B.data(), sizeof data);
    const int row = RowOfBookmark(data);
    if (row < 0) return 0;
    if (!FilterActive()) return row + 1;
    if (!RecordPassesFilters(FRecordsView->GetRec(row))) return 0;
    int n = 0;
    for (int i = NextCandidateRow(0); i <= row; i = NextCandidateRow(i + 1))
      if (RecordPassesFilters(FRecordsView->GetRec(i))) ++n;
    return n;
  };
  int fromRow = 1, toRow = RecordCount();
  if (!FromBM.empty() && (fromRow = recNoOf(FromBM)) == 0) return;
  if (!ToBM.empty() && (toRow = recNoOf(ToBM)) == 0) return;
  if (fromRow > toRow) return;
  if (FieldName.empty() && AggrFuncs == afCountKv) {
    ResultArr[1] = Variant(toRow - fromRow + 1);
    return;
  }
  const int index = FInternMemTableData->DataStruct()->FieldIndex(FieldName);
  if (index < 0) return;
  Variant& sum = ResultArr[0];
  Variant& min = ResultArr[3];
  Variant& max = ResultArr[4];
  int count = 0;
  const int n = FRecordsView->ViewItemsCount();
  for (int i = NextCandidateRow(0), recNo = 0; i < n && recNo < toRow; i = NextCandidateRow(i + 1)) {
    TMemoryRecordKv* rec = FRecordsView->GetRec(i);
    if (FilterActive() && !RecordPassesFilters(rec)) continue;
    if (++recNo < fromRow) continue;
    const Variant& v = rec->GetDataValue(index, dvvValueKv);
    if (v.IsNull() || v.IsEmpty()) continue;
    if (AggrFuncs & (afCountKv | afAvgKv)) ++count;
    switch (v.VType()) {
      case varSmallint: case varInteger: case varInt64: case varShortInt: case varByte: case varWord: case varLongWord:
      case varUInt64: case varSingle: case varDouble: case varCurrency: case varDate: case varFMTBcd:
        break;
      default: continue;
    }
    if ((AggrFuncs & (afSumKv | afAvgKv)) && v.VType() != varDate) sum = sum.IsNull() ? v : sum + v;
    if ((AggrFuncs & afMinKv) && (min.IsNull() || min > v)) min = v;
    if ((AggrFuncs & afMaxKv) && (max.IsNull() || max < v)) max = v;
  }
  ResultArr[1] = Variant(count);
  if ((AggrFuncs & afAvgKv) && !sum.IsNull() && count > 0) ResultArr[2] = sum / Variant(count);
}

// ---- value list over any dataset --------------------------------------------------------------------------

const std::vector<String>& TDataSetFieldValueListKv::Values() {
  FValues.clear();
  if (!FDataSet || !FDataSet->Active()) return FValues;
  TField* field = FDataSet->FindField(FFieldName);
  if (!field) return FValues;
  std::vector<String> texts;
  FDataSet->DisableControls();
  const TBookmark where = FDataSet->GetBookmark();
  try {
    for (FDataSet->First(); !FDataSet->Eof(); FDataSet->Next()) texts.push_back(field->AsString());
  } catch (...) {
    if (!where.empty() && FDataSet->BookmarkValid(where)) FDataSet->GotoBookmark(where);
    FDataSet->EnableControls();
    throw;
  }
  if (!where.empty() && FDataSet->BookmarkValid(where)) FDataSet->GotoBookmark(where);
  FDataSet->EnableControls();
  std::stable_sort(texts.begin(), texts.end(), [](const String& a, const String& b) { return AnsiCompareStr(a, b) < 0; });
  for (String& t : texts)
    if (FValues.empty() || FValues.back() != t) FValues.push_back(std::move(t));
  return FValues;
}

std::shared_ptr<IMemTableDataFieldValueListKv> TCustomMemTableKv::GetFieldValueListIntf(const String& FieldName) {
  if (TField* f = FindField(FieldName); f && f->FieldKind() == fkLookup)
    return std::make_shared<TDataSetFieldValueListKv>(f->LookupDataSet(), f->LookupResultField());
  return GetFieldValueList(FieldName);
}

// ---- object references ------------------------------------------------------------------------------------

namespace {
struct TObjectHandles {
  std::vector<TObject*> Objects{nullptr};  // handle 0 is nil
  std::unordered_map<const TObject*, std::int32_t> Handles;
};
TObjectHandles& ObjectHandles() {
  static TObjectHandles table;
  return table;
}
}  // namespace

std::int32_t KvObjectHandle(TObject* Object) {
  if (!Object) return 0;
  TObjectHandles& t = ObjectHandles();
  const auto [it, added] = t.Handles.emplace(Object, static_cast<std::int32_t>(t.Objects.size()));
  if (added) t.Objects.push_back(Object);
  return it->second;
}

TObject* KvObjectOfHandle(std::int32_t Handle) {
  const TObjectHandles& t = ObjectHandles();
  return Handle > 0 && static_cast<size_t>(Handle) < t.Objects.size() ? t.Objects[static_cast<size_t>(Handle)] : nullptr;
}

TRefObjectField::TRefObjectField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftUnknown); }

TObject* TRefObjectField::Value() const {
  auto* table = dynamic_cast<TCustomMemTableKv*>(DataSet());
  if (!table) throw Exception(Format(u"Field '%s' has no dataset", {DisplayName()}));
  TObject* object = nullptr;
  table->GetFieldDataAsObject(const_cast<TRefObjectField*>(this), object);
  return object;
}

void TRefObjectField::SetValue(TObject* Value) {
  auto* table = dynamic_cast<TCustomMemTableKv*>(DataSet());
  if (!table) throw Exception(Format(u"Field '%s' has no dataset", {DisplayName()}));
  table->SetFieldDataAsObject(this, Value);
}

Variant TRefObjectField::GetAsVariant() const {
  TObject* object = Value();
  return object ? Variant(KvObjectHandle(object)) : Variant(Null());
}

void TRefObjectField::AssignVariantValue(const Variant& Value) {
  SetValue(Value.IsNull() || Value.IsEmpty() ? nullptr : KvObjectOfHandle(Value.AsInteger()));
}

bool TCustomMemTableKv::GetFieldDataAsObject(TField* Field, TObject*& Value) {
  Value = nullptr;
  Variant v;
  if (!GetFieldValue(Field, v) || v.IsNull() || v.IsEmpty()) return false;
  Value = KvObjectOfHandle(v.AsInteger());
  return Value != nullptr;
}

void TCustomMemTableKv::SetFieldDataAsObject(TField* Field, TObject* Value) {
  const TDataSetState s = State();
  if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter && s != dsNewValue &&
      s != dsInternalCalc)
    DatabaseError(msg::SNotEditing, this);
  StoreFieldValue(Field, Value ? Variant(KvObjectHandle(Value)) : Variant(Null()));
  if (s != dsCalcFields && s != dsFilter && s != dsNewValue && s != dsInternalCalc)
    DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

TFieldClass TCustomMemTableKv::ChooseFieldClass(TFieldType Type) const {
  if (Type == ftUnknown) return TFieldClass::Of<TRefObjectField>();
  return TDataSet::ChooseFieldClass(Type);
}

// ---- aggregate fields -------------------------------------------------------------------------------------

namespace {
int AggIndexOf(TDataSet& DataSet, const TField* Field) {
  int i = 0;
  for (TField* f : DataSet.AggFields()) {
    if (f == Field) return i;
    if (dynamic_cast<TAggregateField*>(f)) ++i;
  }
  return -1;
}
}  // namespace

bool TCustomMemTableKv::AggregatesActive() const { return FRecordsView->Aggregates()->Active(); }

void TCustomMemTableKv::SetAggregatesActive(bool Value) {
  TMTAggregatesKv* aggregates = FRecordsView->Aggregates();
  if (Value == aggregates->Active()) return;
  aggregates->SetActive(Value);
  if (Active() && AggFields().Count() > 0) {
    aggregates->Reset();
    UpdateCursorPos();
    Resync(0);
  }
}

Variant TCustomMemTableKv::ReadAggregateValue(TField* Field) {
  TMTAggregatesKv* aggregates = FRecordsView->Aggregates();
  if (!aggregates->Active() || !GetActiveMTRecBuf()) return Null();
  const int i = AggIndexOf(*this, Field);
  return i >= 0 && i < aggregates->Count() ? aggregates->GetItem(i)->Value() : Variant(Null());
}

void TCustomMemTableKv::ResetAggregateField(TField* Field) {
  TMTAggregatesKv* aggregates = FRecordsView->Aggregates();
  const int i = AggIndexOf(*this, Field);
  if (i < 0 || i >= aggregates->Count()) return;
  TMTAggregateKv* item = aggregates->GetItem(i);
  aggregates->BeginUpdate();
  try {
    item->Assign(Field);
  } catch (...) {
    aggregates->EndUpdate();
    throw;
  }
  aggregates->EndUpdate();
  item->Reset();
  item->Recalc();
  if (Active()) DispatchDataEvent(deDataSetChange, 0);
}

void TCustomMemTableKv::DoAfterOpen() {
  if (AggFields().Count() > 0) FRecordsView->Aggregates()->Reset();
  TDataSet::DoAfterOpen();
}
