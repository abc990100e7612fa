// Search, filters, master/detail and sorting of the Kv memory table.
//
// Filters are applied as rows are fetched: the view holds every record, and a row that RecordPassesFilters
// refuses is skipped by fetches, counts and row numbers. In tree mode the tree's node filter calls
// RecordPassesFilters instead, so that the ancestors of a shown node stay shown. The filter text is compiled once per change
// (TDataSetExprParserKv) and evaluated against the stored record itself, so a filter that names only data
// fields neither loads a record buffer nor computes calculated fields for the rows it refuses.
#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "engines/kv/IndexesKv.h"
#include "engines/kv/MemTableKv.h"
#include "platform/classes/ExceptionRoute.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/Collation.h"

namespace {

// The names of a ";"-separated field list, each resolved (FieldByName raises for an unknown name).
std::vector<TField*> FieldsByNames(const TDataSet& DataSet, const String& Names) {
  std::vector<TField*> fields;
  size_t pos = 0;
  for (String name = ExtractFieldName(Names, pos); !name.empty(); name = ExtractFieldName(Names, pos))
    fields.push_back(DataSet.FieldByName(name));
  return fields;
}

// Element j of a key: the single value for one field, element j of an array for several.
const Variant& KeyElement(const Variant& KeyValues, size_t Count, size_t j, Variant& Scratch) {
  if (Count == 1 && !KeyValues.IsArray()) return KeyValues;
  Scratch = KeyValues.IsArray() ? VarArrayGet(KeyValues, VarArrayLowBound(KeyValues, 1) + static_cast<int>(j)) : KeyValues;
  return Scratch;
}

bool IsTextSearchType(TFieldType t) {
  return t == ftString || t == ftMemo || t == ftFmtMemo || t == ftWideString || t == ftWideMemo || t == ftFixedChar ||
         t == ftFixedWideChar;
}

bool IsCaseInsSortType(TFieldType t) {
  return t == ftString || t == ftMemo || t == ftFmtMemo || t == ftFixedChar || t == ftWideString || t == ftOraClob;
}

}  // namespace

template <class F>
auto TCustomMemTableKv::WithRowInFilterState(int Row, F Body) {
  FScanBuf.SetLength(static_cast<size_t>(FieldCount()) + FDataFields.size());
  LoadRecBuf(FRecordsView->GetRec(Row), Row, &FScanBuf);
  const TDataSetState save = SetTempState(dsFilter);
  FScanning = true;
  try {
    auto result = Body();
    FScanning = false;
    RestoreState(save);
    return result;
  } catch (...) {
    FScanning = false;
    RestoreState(save);
    throw;
  }
}

// ---- order-by list and sorted values ---------------------------------------------------------------------

int TMTOrderByList::FieldPosition(const String& Name) const {
  TField* f = FTable->FindField(Name);
  return f ? f->Index() : -1;
}

bool TSortedVarlistKv::FindKeyValueIndex(const Variant& Value, int& Index) const {
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    const int mid = (lo + hi) / 2;
    switch (KvVarCompare(FItems[static_cast<size_t>(mid)], Value)) {
      case vrLessThan: lo = mid + 1; break;
      case vrGreaterThan: hi = mid - 1; break;
      case vrEqual:
        hi = mid - 1;
        lo = mid;
        found = true;
        break;
      default: throw Exception(u"TSortedVarlistKv.FindKeyValueIndex: values is not comparable.");
    }
  }
  Index = lo;
  return found;
}

int TSortedVarlistKv::Add(const Variant& Value) {
  int i;
  FindKeyValueIndex(Value, i);
  FItems.insert(FItems.begin() + i, Value);
  return i;
}

// ---- equality --------------------------------------------------------------------------------------------

bool TCustomMemTableKv::VarValuesEqual(const Variant& A, const Variant& B) {
  if (A.VType() == varInteger && B.VType() == varInteger) return A.VInteger() == B.VInteger();
  try {
    if (A.IsArray() != B.IsArray()) return false;
    if (!A.IsArray()) return A == B;
    if (VarArrayDimCount(A) != VarArrayDimCount(B) || VarArrayLowBound(A, 1) != VarArrayLowBound(B, 1) ||
        VarArrayHighBound(A, 1) != VarArrayHighBound(B, 1))
      return false;
    for (int i = VarArrayLowBound(A, 1); i <= VarArrayHighBound(A, 1); ++i)
      if (!(VarArrayGet(A, i) == VarArrayGet(B, i))) return false;
    return true;
  } catch (...) {
    return false;
  }
}

// ---- filters ---------------------------------------------------------------------------------------------

void TCustomMemTableKv::UpdateFilterExpr() {
  FFilterFailed = false;
  FFilterNeedsBuffer = false;
  if (!Filtered() || Filter().empty()) {
    FFilterExpr->Clear();
    return;
  }
  FFilterExpr->ParseExpression(Filter());
  // Calculated and lookup fields are read through the fields: the candidate row must be in a buffer.
  for (TField* f : Fields())
    if (f->FieldNo() < 1) FFilterNeedsBuffer = true;
}

void TCustomMemTableKv::FilterChanged() {
  if (!Active()) return;
  UpdateFilterExpr();
  RefreshRecordsView();
}

void TCustomMemTableKv::SetFilterText(const String& Value) {
  if (!Active()) {
    TDataSet::SetFilterText(Value);
    return;
  }
  if (Value == Filter()) return;
  CheckBrowseMode();
  const String old = Filter();
  TDataSet::SetFilterText(Value);
  try {
    UpdateFilterExpr();
  } catch (...) {
    // A text that does not compile leaves the filter that was in force.
    TDataSet::SetFilterText(old);
    UpdateFilterExpr();
    throw;
  }
  RefreshRecordsView();
}

void TCustomMemTableKv::SetFiltered(bool Value) {
  if (!Active()) {
    TDataSet::SetFiltered(Value);
    return;
  }
  CheckBrowseMode();
  if (Value == Filtered()) return;
  TDataSet::SetFiltered(Value);
  try {
    UpdateFilterExpr();
  } catch (...) {
    TDataSet::SetFiltered(!Value);
    UpdateFilterExpr();
    throw;
  }
  RefreshRecordsView();
}

void TCustomMemTableKv::SetFilterOptions(TFilterOptions Value) {
  if (Value == FilterOptions()) return;
  if (Active()) CheckBrowseMode();
  TDataSet::SetFilterOptions(Value);
  // Case-insensitive comparisons are compiled into the expression.
  if (Active() && Filtered() && !Filter().empty()) FilterChanged();
}

void TCustomMemTableKv::SetOnFilterRecord(const TFilterRecordEvent& Value) {
  if (!Active()) {
    TDataSet::SetOnFilterRecord(Value);
    return;
  }
  CheckBrowseMode();
  TDataSet::SetOnFilterRecord(Value);
  FFilterFailed = false;
  if (Filtered()) RefreshRecordsView();
}

bool TCustomMemTableKv::RecordPassesFilters(TMemoryRecordKv* MemRec) {
  if (!FiltersSet()) return true;
  if (FFilterFailed) return false;
  const bool event = Filtered() && static_cast<bool>(OnFilterRecord());
  const bool expr = Filtered() && FFilterExpr->HasData();
  const bool extra = FExtraFilters->ActiveFilterCount() > 0;
  const bool buffered = event || (expr && FFilterNeedsBuffer) || (extra && FExtraFilters->HasEventActiveFilter());
  bool result = true;
  TDataSetState save = State();
  const bool wasScanning = FScanning;
  TMTRecBuf saveBuf;
  if (buffered) {
    // A nested pass (a callback that counts rows) must find the outer candidate where it left it.
    if (wasScanning) saveBuf = FScanBuf;
    FScanBuf.SetLength(static_cast<size_t>(FieldCount()) + FDataFields.size());
    LoadRecBuf(MemRec, -1, &FScanBuf);
    save = SetTempState(dsFilter);
    FScanning = true;
  }
  try {
    if (expr) result = FFilterExpr->IsCurRecordInFilter(MemRec);
    if (event) OnFilterRecord()(*this, result);
    if (result && FDetailMode) result = DetailRecordMatches(MemRec);
    if (result && extra) result = FExtraFilters->IsCurRecordInFilter(MemRec);
  } catch (...) {
    // Reported once; the pass stops here and the record does not pass.
    FFilterFailed = true;
    result = false;
    HandleCurrentException(this);
  }
  if (buffered) {
    FScanning = wasScanning;
    if (wasScanning) FScanBuf = std::move(saveBuf);
    RestoreState(save);
  }
  return result;
}

bool TCustomMemTableKv::DetailRecordMatches(const TMemoryRecordKv* MemRec) const {
  if (FMasterDetailSide == mdsOnProviderKv) return true;
  const size_t n = FDetailDataIndexes.size();
  if (n == 0) return true;
  if (n == 1) {
    const int i = FDetailDataIndexes[0];
    const Variant& m = FMasterValues.IsArray() ? VarArrayGet(FMasterValues, VarArrayLowBound(FMasterValues, 1)) : FMasterValues;
    return i >= 0 && VarValuesEqual(MemRec->GetDataValue(i, dvvValueKv), m);
  }
  if (!FMasterValues.IsArray() || VarArrayLength(FMasterValues) != static_cast<int>(n)) return false;
  const int lo = VarArrayLowBound(FMasterValues, 1);
  for (size_t j = 0; j < n; ++j) {
    const int i = FDetailDataIndexes[j];
    if (i < 0 || !VarValuesEqual(MemRec->GetDataValue(i, dvvValueKv), VarArrayGet(FMasterValues, lo + static_cast<int>(j))))
      return false;
  }
  return true;
}

const std::vector<int>* TCustomMemTableKv::DetailRows() {
  if (FRecordsView->ViewAsTreeList()) return nullptr;
  if (FDetailRowsState == TDetailRowsState::Built && FDetailRowsViewCount == FRecordsView->ViewItemsCount())
    return &FDetailRows;
  if (FDetailRowsState == TDetailRowsState::None) return nullptr;
  FDetailRowsState = TDetailRowsState::None;
  FDetailRows.clear();
  const size_t n = FDetailDataIndexes.size();
  if (!FActive || !FDetailMode || FMasterDetailSide == mdsOnProviderKv || n == 0) return nullptr;
  if (FDataDriver && !FDataDriver->ProviderEOF()) return nullptr;
  TRecordsListKv* list = FRecordsView->List();
  TMTIndexKv* index = list ? list->Indexes()->GetIndexForFields(FDetailFields) : nullptr;
  if (!index || !index->Active()) return nullptr;
  // The master key in the index's own shape, as DetailRecordMatches reads it.
  Variant key;
  if (n == 1) {
    key = FMasterValues.IsArray() ? VarArrayGet(FMasterValues, VarArrayLowBound(FMasterValues, 1)) : FMasterValues;
  } else if (FMasterValues.IsArray() && VarArrayLength(FMasterValues) == static_cast<int>(n)) {
    key = VarArrayCreate({0, static_cast<int>(n) - 1}, varVariant);
    const int lo = VarArrayLowBound(FMasterValues, 1);
    for (size_t j = 0; j < n; ++j)
      VarArrayPut(key, VarArrayGet(FMasterValues, lo + static_cast<int>(j)), static_cast<int>(j));
  }
  std::vector<TMemoryRecordKv*> matches;
  if (!key.IsEmpty()) {
    try {
      index->FillMatchedRecsList(key, matches);
    } catch (const Exception&) {
      // A master value the index cannot order against its keys: every row is tested instead.
      return nullptr;
    }
  }
  FDetailRows.reserve(matches.size());
  for (const TMemoryRecordKv* rec : matches)
    if (const int row = FRecordsView->IndexOfRec(rec); row >= 0) FDetailRows.push_back(row);
  std::sort(FDetailRows.begin(), FDetailRows.end());
  FDetailRowsViewCount = FRecordsView->ViewItemsCount();
  FDetailRowsState = TDetailRowsState::Built;
  return &FDetailRows;
}

int TCustomMemTableKv::NextCandidateRow(int Row) {
  const std::vector<int>* rows = DetailRows();
  if (!rows) return Row;
  const auto it = std::lower_bound(rows->begin(), rows->end(), Row);
  return it == rows->end() ? INT_MAX : *it;
}

int TCustomMemTableKv::PriorCandidateRow(int Row) {
  const std::vector<int>* rows = DetailRows();
  if (!rows) return Row;
  const auto it = std::upper_bound(rows->begin(), rows->end(), Row);
  return it == rows->begin() ? -1 : *(it - 1);
}

void TCustomMemTableKv::RefreshRecordsView() {
  FFilterFailed = false;
  DropDetailRows();
  if (!Active()) return;
  // The tree decides again which nodes its filter shows.
  if (FRecordsView->ViewAsTreeList()) FRecordsView->RefreshFilteredRecsList();
  // The cursor ends on the first row the filters show.
  FRecordPos = -1;
  Resync(0);
}

// ---- search ----------------------------------------------------------------------------------------------

bool TCustomMemTableKv::RowMatchesThroughFields(int Row, const std::vector<TField*>& Fields, const Variant& KeyValues,
                                                TLocateOptions Options) {
  return WithRowInFilterState(Row, [&] {
    Variant scratch;
    for (size_t j = 0; j < Fields.size(); ++j) {
      TField* f = Fields[j];
      const Variant& key = KeyElement(KeyValues, Fields.size(), j, scratch);
      if (IsTextSearchType(f->DataType())) {
        String have = f->AsString();
        const String want = VarToStr(key);
        if ((Options & loPartialKey) != 0 && have.size() > want.size()) have.resize(want.size());
        const bool equal = (Options & loCaseInsensitive) != 0 ? AnsiSameText(have, want) : have == want;
        if (!equal) return false;
      } else if (!VarValuesEqual(f->AsVariant(), key)) {
        return false;
      }
    }
    return true;
  });
}

int TCustomMemTableKv::FindRec(const String& KeyFields, const Variant& KeyValues, bool TryUseIndex, int StartRecIndex,
                               TLocateOptions Options) {
  const std::vector<TField*> fields = FieldsByNames(*this, KeyFields);
  if (fields.empty()) return -1;
  bool throughFields = Options != 0;
  for (TField* f : fields)
    if (f->FieldNo() < 1) throughFields = true;
  const int start = std::max(StartRecIndex, 0);
  // Stored values compared directly (no buffer, no field objects) unless the search needs the fields.
  std::vector<int> indexes;
  std::vector<Variant> keys;
  if (!throughFields) {
    for (size_t j = 0; j < fields.size(); ++j) {
      indexes.push_back(fields[j]->FieldNo() - 1);
      Variant scratch;
      keys.push_back(KeyElement(KeyValues, fields.size(), j, scratch));
    }
  }
  auto scan = [&](int from, int to) {
    for (int i = NextCandidateRow(from); i < to; i = NextCandidateRow(i + 1)) {
      TMemoryRecordKv* rec = FRecordsView->GetRec(i);
      if (throughFields) {
        if (FilterActive() && !RecordPassesFilters(rec)) continue;
        if (RowMatchesThroughFields(i, fields, KeyValues, Options)) return i;
        continue;
      }
      bool hit = true;
      for (size_t j = 0; j < indexes.size() && hit; ++j) hit = VarValuesEqual(rec->GetDataValue(indexes[j], dvvValueKv), keys[j]);
      if (hit && (!FilterActive() || RecordPassesFilters(rec))) return i;
    }
    return -1;
  };
  // A key index of exactly these fields answers without a scan: the smallest visible row at or after
  // the start among the whole run of equal keys.
  TMTIndexKv* index = TryUseIndex && !throughFields
                          ? FInternMemTableData->RecordsList()->Indexes()->GetIndexForFields(KeyFields)
                          : nullptr;
  if (index && index->Active()) {
    std::vector<TMemoryRecordKv*> matches;
    index->FillMatchedRecsList(keys.size() == 1 ? keys[0] : VarArrayOf(keys), matches);
    int first = -1;
    for (TMemoryRecordKv* rec : matches) {
      const int row = FRecordsView->IndexOfRec(rec);
      if (row >= start && (first < 0 || row < first) && (!FilterActive() || RecordPassesFilters(rec))) first = row;
    }
    if (first >= 0 || !FDataDriver) return first;
  }
  int n = FRecordsView->ViewItemsCount();
  int row = scan(start, n);
  // Rows a data driver has not delivered yet are read one at a time until one matches.
  while (row < 0 && FDataDriver && ReadFromDriver(1) > 0) {
    const int from = std::max(n, start);
    n = FRecordsView->ViewItemsCount();
    row = scan(from, n);
  }
  return row;
}

bool TCustomMemTableKv::Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  CheckBrowseMode();
  if (IsEmpty()) return false;
  const int row = FindRec(KeyFields, KeyValues, true, 0, Options);
  if (row < 0) return false;
  DoBeforeScroll();
  FRecordPos = row;
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

Variant TCustomMemTableKv::Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) {
  const int row = FindRec(KeyFields, KeyValues, true, 0, 0);
  if (row < 0) return Null();
  std::vector<TField*> fields;
  GetLookupResultFields(ResultFields, fields);
  return WithRowInFilterState(row, [&] { return LookupResult(fields, [](TField* f) { return f->AsVariant(); }); });
}

bool TCustomMemTableKv::SetToMemRecord(TMemoryRecordKv* Rec) {
  RequireActive();
  const int row = FRecordsView->IndexOfRec(Rec);
  if (row < 0 || (FilterActive() && !RecordPassesFilters(Rec))) return false;
  CheckBrowseMode();
  DoBeforeScroll();
  FRecordPos = row;
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

TBookmark TCustomMemTableKv::RecToBookmark(TMemoryRecordKv* Rec) const {
  const TBookmarkDataKv data{Rec ? Rec->HashCode() : 0, -1};
  TBookmark b(sizeof data);
  std::memcpy(b.data(), &data, sizeof data);
  return b;
}

int TCustomMemTableKv::BookmarkToRecNo(const TBookmark& Bookmark) const {
  if (Bookmark.size() != sizeof(TBookmarkDataKv)) return 0;
  TBookmarkDataKv data;
  std::memcpy(&data, Bookmark.data(), sizeof data);
  return RowOfBookmark(data) + 1;
}

// ---- master/detail ---------------------------------------------------------------------------------------

TDataSource* TCustomMemTableKv::MasterSource() const { return FMasterDataLink->DataSource(); }

void TCustomMemTableKv::SetMasterSource(TDataSource* Value) {
  if (Value && Value->DataSet() == this) DatabaseError(u"Circular datalinks are not allowed", this);
  FMasterDataLink->SetDataSource(Value);
  UpdateDetailMode(true);
}

const String& TCustomMemTableKv::MasterFields() const { return FMasterDataLink->FieldNames(); }

void TCustomMemTableKv::SetMasterFields(const String& Value) {
  FMasterDataLink->SetFieldNames(Value);
  UpdateDetailMode(true);
}

void TCustomMemTableKv::SetDetailFields(const String& Value) {
  const String old = FDetailFields;
  FDetailFields = Value;
  try {
    UpdateDetailMode(true);
  } catch (...) {
    // An unknown name leaves the detail link as it was.
    FDetailFields = old;
    UpdateDetailMode(false);
    throw;
  }
}

void TCustomMemTableKv::SetMasterDetailSide(TMasterDetailSideKv Value) {
  if (Value == FMasterDetailSide) return;
  FMasterDetailSide = Value;
  UpdateDetailMode(false);
  if (!FDetailMode || !Active()) return;
  if (Value == mdsOnProviderKv) {
    Close();
    Open();
  } else {
    RefreshRecordsView();
  }
}

Variant TCustomMemTableKv::MasterKeyValues() const {
  const std::vector<TField*>& fields = FMasterDataLink->Fields();
  if (fields.empty()) return Variant();
  if (fields.size() == 1) return fields[0]->AsVariant();
  std::vector<Variant> values;
  for (TField* f : fields) values.push_back(f->AsVariant());
  return VarArrayOf(values);
}

void TCustomMemTableKv::UpdateDetailMode(bool Refresh) {
  DropDetailRows();
  FDetailFieldList.clear();
  FDetailDataIndexes.clear();
  if (FieldCount() > 0 && !FDetailFields.empty()) {
    FDetailFieldList = FieldsByNames(*this, FDetailFields);
    for (TField* f : FDetailFieldList) FDetailDataIndexes.push_back(f->FieldNo() - 1);
  }
  const bool linkActive = FMasterDataLink->Active();
  bool mode;
  if (FMasterDetailSide == mdsOnProviderKv) mode = linkActive;
  else mode = !FDetailFieldList.empty() && linkActive && !FMasterDataLink->Fields().empty();
  if (mode != FDetailMode) {
    FDetailMode = mode;
    FMasterValues = mode && FMasterDetailSide != mdsOnProviderKv ? MasterKeyValues() : Variant();
  }
  if (!Refresh || !Active()) return;
  if (FMasterDetailSide == mdsOnSelfKv) RefreshRecordsView();
  else RefreshDetailFromDriver();
}

void TCustomMemTableKv::MasterChanged(TObject* Sender) {
  (void)Sender;
  const bool oldMode = FDetailMode;
  UpdateDetailMode(false);
  if (FMasterDetailSide == mdsOnProviderKv) return RefreshDetailFromDriver();
  const Variant values = FDetailMode ? MasterKeyValues() : Variant();
  if (oldMode != FDetailMode || (FDetailMode && !VarValuesEqual(FMasterValues, values))) {
    FMasterValues = values;
    DropDetailRows();
    if (!Active()) return;
    if (FMasterDetailSide == mdsOnSelfAfterProviderKv) RefreshDetailFromDriver();
    else RefreshRecordsView();
  }
}

// ---- sorting ---------------------------------------------------------------------------------------------

std::unique_ptr<TMTOrderByList> TCustomMemTableKv::ParseSortOrder(const String& Text) {
  auto list = std::make_unique<TMTOrderByList>(this);
  list->ParseOrderByStr(Text);
  for (int i = 0; i < list->Count(); ++i) {
    TOrderByItemKv& item = list->Items(i);
    TField* f = Fields()[static_cast<size_t>(item.FieldIndex)];
    item.DataType = f->DataType();
    item.MTFieldIndex = f->FieldNo() - 1;
    item.CaseIns = (FilterOptions() & foCaseInsensitive) != 0;
  }
  return list;
}

int TCustomMemTableKv::CompareOrderValues(const Variant& V1, const Variant& V2, bool CaseIns) {
  const bool m1 = V1.IsNull() || V1.IsEmpty(), m2 = V2.IsNull() || V2.IsEmpty();
  if (m1 || m2) return m1 == m2 ? 0 : (m1 ? -1 : 1);
  if (CaseIns) {
    const int r = AnsiCompareText(VarToStr(V1), VarToStr(V2));
    return r == 0 ? 0 : (r < 0 ? -1 : 1);
  }
  switch (VarCompareValue(V1, V2)) {
    case vrLessThan: return -1;
    case vrGreaterThan: return 1;
    default: return 0;
  }
}

int TCustomMemTableKv::CompareMemRecords(TMemoryRecordKv* Rec1, TMemoryRecordKv* Rec2, const TMTOrderByList* List) {
  if (List && List->Count() > 0 && FieldCount() > 0) {
    bool viaFields = false;
    for (int k = 0; k < List->Count(); ++k)
      if (List->Items(k).MTFieldIndex < 0) viaFields = true;
    if (!viaFields) {
      for (int k = 0; k < List->Count(); ++k) {
        const TOrderByItemKv& item = List->Items(k);
        const bool ci = item.CaseIns && IsCaseInsSortType(item.DataType);
        int r = CompareOrderValues(Rec1->GetDataValue(item.MTFieldIndex, dvvValueKv),
                                   Rec2->GetDataValue(item.MTFieldIndex, dvvValueKv), ci);
        if (item.Desc) r = -r;
        if (r != 0) return r;
      }
    } else {
      // Calculated keys: each record's values through the fields.
      auto values = [&](TMemoryRecordKv* rec) {
        std::vector<Variant> v;
        const int row = FRecordsView->IndexOfRec(rec);
        WithRowInFilterState(row, [&] {
          for (int k = 0; k < List->Count(); ++k) v.push_back(Fields()[static_cast<size_t>(List->Items(k).FieldIndex)]->AsVariant());
          return 0;
        });
        return v;
      };
      const std::vector<Variant> a = values(Rec1), b = values(Rec2);
      for (int k = 0; k < List->Count(); ++k) {
        const TOrderByItemKv& item = List->Items(k);
        int r = CompareOrderValues(a[static_cast<size_t>(k)], b[static_cast<size_t>(k)],
                                   item.CaseIns && IsCaseInsSortType(item.DataType));
        if (item.Desc) r = -r;
        if (r != 0) return r;
      }
    }
  }
  return Rec1->Index() - Rec2->Index();
}

void TCustomMemTableKv::SortByOrderString(const String& Text) {
  if (Text.empty()) return;
  const std::unique_ptr<TMTOrderByList> list = ParseSortOrder(Text);
  SortByOrderList(*list);
}

void TCustomMemTableKv::SortByOrderList(const TMTOrderByList& List) {
  if (!Active() || FRecordsView->ViewItemsCount() == 0) return;
  CheckBrowseMode();
  if (InstantReadMode()) throw Exception(u"Sort data in InstantReadMode is not allowed.");
  const TRecordsViewUpdate update(this);
  bool viaFields = false;
  for (int k = 0; k < List.Count(); ++k)
    if (List.Items(k).MTFieldIndex < 0) viaFields = true;
  if (viaFields) {
    // Calculated keys are read once per record, not once per comparison.
    std::vector<std::vector<Variant>> keys(static_cast<size_t>(FRecordsView->ViewItemsCount()));
    for (int i = 0; i < FRecordsView->ViewItemsCount(); ++i)
      WithRowInFilterState(i, [&] {
        for (int k = 0; k < List.Count(); ++k)
          keys[static_cast<size_t>(i)].push_back(Fields()[static_cast<size_t>(List.Items(k).FieldIndex)]->AsVariant());
        return 0;
      });
    const TRecordsListKv* list = FRecordsView->List();
    std::unordered_map<const TMemoryRecordKv*, size_t> at;
    for (int i = 0; i < list->Count(); ++i) at[list->GetRec(i)] = static_cast<size_t>(i);
    FRecordsView->List()->SortData([&](TMemoryRecordKv* a, TMemoryRecordKv* b) {
      const size_t ia = at[a], ib = at[b];
      for (int k = 0; k < List.Count(); ++k) {
        const TOrderByItemKv& item = List.Items(k);
        int r = CompareOrderValues(keys[ia][static_cast<size_t>(k)], keys[ib][static_cast<size_t>(k)],
                                   item.CaseIns && IsCaseInsSortType(item.DataType));
        if (item.Desc) r = -r;
        if (r != 0) return r;
      }
      return 0;  // the sort is stable
    });
  } else {
    FRecordsView->List()->SortData([&](TMemoryRecordKv* a, TMemoryRecordKv* b) { return CompareMemRecords(a, b, &List); });
  }
  Resync(0);
}
