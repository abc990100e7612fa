#include "engines/vlx/vlxIndex.h"

#include <algorithm>

#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace {
// How many records ahead a pass over records that reads little of each asks for them.
constexpr int kPrefetchAhead = 16;
}  // namespace

// ---- TvlxRefList ----------------------------------------------------------------------------------------

void TvlxRefList::MoveGap(std::size_t To) {
  if (To == FGapStart || FGapLen == 0) {
    FGapStart = To;
    return;
  }
  if (To < FGapStart) {
    // Rows [To, gap) move to the end of the gap.
    std::move_backward(FItems.begin() + static_cast<std::ptrdiff_t>(To),
                       FItems.begin() + static_cast<std::ptrdiff_t>(FGapStart),
                       FItems.begin() + static_cast<std::ptrdiff_t>(FGapStart + FGapLen));
  } else {
    std::move(FItems.begin() + static_cast<std::ptrdiff_t>(FGapStart + FGapLen),
              FItems.begin() + static_cast<std::ptrdiff_t>(To + FGapLen),
              FItems.begin() + static_cast<std::ptrdiff_t>(FGapStart));
  }
  FGapStart = To;
}

void TvlxRefList::Reserve(int N) {
  if (N <= Count()) return;
  MoveGap(static_cast<std::size_t>(Count()));
  const std::size_t want = static_cast<std::size_t>(N);
  FItems.resize(want, nullptr);
  FGapLen = want - FGapStart;
}

void TvlxRefList::Insert(int I, PvlxRecord R) {
  const auto at = static_cast<std::size_t>(I);
  if (FGapLen == 0) {
    // Grow the gap at the insert point: doubling keeps inserts amortised O(1) near the last one.
    const std::size_t count = FItems.size();
    const std::size_t grow = std::max<std::size_t>(16, count);
    MoveGap(count);
    FItems.resize(count + grow, nullptr);
    FGapStart = count;
    FGapLen = grow;
  }
  MoveGap(at);
  FItems[FGapStart] = R;
  ++FGapStart;
  --FGapLen;
}

void TvlxRefList::Delete(int I) {
  const auto at = static_cast<std::size_t>(I);
  MoveGap(at + 1);
  --FGapStart;
  ++FGapLen;
  FItems[FGapStart] = nullptr;
}

void TvlxRefList::AssignNonNull(const std::vector<PvlxRecord>& Rows) {
  FItems.resize(Rows.size());
  const auto end = std::copy_if(Rows.begin(), Rows.end(), FItems.begin(), [](PvlxRecord r) { return r != nullptr; });
  FGapStart = static_cast<std::size_t>(end - FItems.begin());
  FGapLen = FItems.size() - FGapStart;
  std::fill(end, FItems.end(), nullptr);
}

PvlxRecord* TvlxRefList::Contiguous() {
  MoveGap(static_cast<std::size_t>(Count()));
  return FItems.data();
}

// ---- TvlxIndex ------------------------------------------------------------------------------------------

namespace {

bool TypeIndexable(TFieldType T) {
  switch (T) {
    case ftString: case ftSmallint: case ftInteger: case ftWord: case ftBoolean: case ftFloat: case ftCurrency:
    case ftBCD: case ftDate: case ftTime: case ftDateTime: case ftBytes: case ftVarBytes: case ftAutoInc:
    case ftMemo: case ftFmtMemo: case ftFixedChar: case ftWideString: case ftLargeint: case ftADT: case ftArray:
    case ftGuid: case ftTimeStamp: case ftFMTBcd: case ftFixedWideChar: case ftWideMemo: case ftOraTimeStamp:
    case ftOraInterval: case ftLongWord: case ftShortint: case ftByte: case ftExtended: case ftSingle:
      return true;
    default:
      return false;
  }
}

// Holds the store lock, the table's state and its progress for one index operation; all come back on
// every exit.
class TIndexOperation {
 public:
  TIndexOperation(TvlxCustomMemTable* T, TvlxState State, TvlxProgressCode Code) : FT(T), FCode(Code) {
    FT->Progress(0, FCode);
    FOld = FT->TableState();
    FT->SetTableState(State);
    FT->Common()->Lock();
  }
  ~TIndexOperation() {
    FT->Common()->Unlock();
    FT->SetTableState(FOld);
    try {
      FT->Progress(100, FCode);
    } catch (...) {
      HandleCurrentException(FT);
    }
  }
  TIndexOperation(const TIndexOperation&) = delete;
  TIndexOperation& operator=(const TIndexOperation&) = delete;

 private:
  TvlxCustomMemTable* FT;
  TvlxProgressCode FCode;
  TvlxState FOld = mtstBrowse;
};

}  // namespace

TvlxIndex::TvlxIndex(TvlxIndex* ABase, const String& Name, TvlxCustomMemTable* ADataSet, const String& Fields,
                     TvlxMemTableCompareOptions Options, TvlxIndexType IndexType)
    : FName(Name), FDataSet(ADataSet), FIndexFields(Fields), FIndexOptions(Options), FType(IndexType) {
  FIndexFieldList.Build(ADataSet, Fields);
  for (int i = 0; i < FIndexFieldList.Count(); ++i) {
    const TFieldType t = FIndexFieldList.Fields[static_cast<std::size_t>(i)]->DataType();
    if (!TypeIndexable(t))
      throw EMemTableError(u"TvlxIndex.Create: " + Format(vlxmsg::SDatatypeNotSupported, {static_cast<int>(t)}));
  }
  if (!Fields.empty()) {
    const struct {
      TvlxMemTableCompareOption c;
      TvlxifoOption f;
    } map[] = {{mtcoDescending, mtifoDescending}, {mtcoCaseInsensitive, mtifoCaseInsensitive},
               {mtcoPartialKey, mtifoPartial},     {mtcoIgnoreLocale, mtifoIgnoreLocale},
               {mtcoIgnoreNullKey, mtifoIgnoreNull}, {mtcoNullFirst, mtifoNullFirst}};
    for (const auto& m : map)
      if (Options & m.c)
        for (int i = 0; i < FIndexFieldList.Count(); ++i) FIndexFieldList.Options[static_cast<std::size_t>(i)] |= Bit(m.f);
  }
  Init(ABase, ADataSet);
  if (ABase != nullptr) FIndexFieldList.DefineAdditionalOrderFields(ADataSet, ABase->FIndexFieldList);
}

namespace {
TvlxMemTableCompareOptions IndexOptionsToCompareOptions(TIndexOptions O) {
  TvlxMemTableCompareOptions r = 0;
  if (O & ixUnique) r |= mtcoUnique;
  if (O & ixDescending) r |= mtcoDescending;
  if (O & ixCaseInsensitive) r |= mtcoCaseInsensitive;
  if (O & ixNonMaintained) r |= mtcoNonMaintained;
  return r;
}
}  // namespace

TvlxIndex::TvlxIndex(TvlxIndex* ABase, const TIndexDef& IndexDef, TvlxCustomMemTable* ADataSet)
    : TvlxIndex(nullptr, IndexDef.Name(), ADataSet, IndexDef.Fields(), IndexOptionsToCompareOptions(IndexDef.Options()),
                mtitSorted) {
  if (ABase != nullptr) {
    FBaseIndex = ABase;
    ABase->FDependants.push_back(this);
  }
}

void TvlxIndex::Init(TvlxIndex* ABase, TvlxCustomMemTable* ADataSet) {
  const bool empty = ADataSet->Common()->RecordCount() - ADataSet->Common()->DeletedRecordCount() == 0;
  FSorted = empty && FType == mtitSorted;
  FDirty = !empty;
  FBaseIndex = ABase;
  if (ABase != nullptr) ABase->FDependants.push_back(this);
}

TvlxIndex::~TvlxIndex() {
  FBeingFreed = true;
  FDataSet->IndexDestroying(this);
  if (FBaseIndex != nullptr) {
    auto& d = FBaseIndex->FDependants;
    d.erase(std::remove(d.begin(), d.end(), this), d.end());
  }
  for (TvlxIndex* dep : FDependants) dep->FBaseIndex = nullptr;
  TvlxCommon* c = FDataSet->Common();
  c->_InternalFreeRecord(FRangeStartKey, true, true);
  c->_InternalFreeRecord(FRangeEndKey, true, true);
}

void TvlxIndex::SetRangeStartKey(const TvlxRecord* Value) {
  TvlxCommon* c = FDataSet->Common();
  c->_InternalFreeRecord(FRangeStartKey, true, true);
  FRangeStartKey = Value ? c->CloneRecord(Value, true) : nullptr;
  FIsRange = FRangeStartKey || FRangeEndKey;
}

void TvlxIndex::SetRangeEndKey(const TvlxRecord* Value) {
  TvlxCommon* c = FDataSet->Common();
  c->_InternalFreeRecord(FRangeEndKey, true, true);
  FRangeEndKey = Value ? c->CloneRecord(Value, true) : nullptr;
  FIsRange = FRangeStartKey || FRangeEndKey;
}

void TvlxIndex::SetEnabled(bool Value) {
  FEnabled = Value;
  if (Value && FDirty) Rebuild();
}

void TvlxIndex::Clear() {
  FReferences.Clear();
  FSorted = FRowOrder;
  FDirty = true;
}

int TvlxIndex::CompareIndexKeys(const TvlxFieldList& L, const TvlxRecord* KeyRecord, const TvlxRecord* ARecord,
                                bool PrimaryOnly, bool Partial, bool NullsUnequal, bool TieBreak) const {
  int r = CompareRecords(*FDataSet->Common(), FDataSet, L, PrimaryOnly ? L.PrimaryCount() : 0, KeyRecord, ARecord,
                         Partial, NullsUnequal);
  if (r == 0 && TieBreak) {
    const bool kn = KeyRecord->RecordNo < 0, an = ARecord->RecordNo < 0;
    if (kn && an) r = KeyRecord->RecordID < ARecord->RecordID ? -1 : (KeyRecord->RecordID > ARecord->RecordID ? 1 : 0);
    else if (kn) r = -1;
    else if (an) r = 1;
    if (L.Count() > 0 && (L.Options[0] & Bit(mtifoDescending))) r = -r;
  }
  return r;
}

bool TvlxIndex::IndexAcceptsRecord(PvlxRecord Record, bool CheckRange) {
  if (CheckRange && FIsRange) {
    if (FRangeStartKey && CompareIndexKeys(FIndexFieldList, FRangeStartKey, Record, true, false, false, false) > 0)
      return false;
    if (FRangeEndKey && CompareIndexKeys(FIndexFieldList, FRangeEndKey, Record, true, false, false, false) < 0)
      return false;
  }
  if (FIsFiltered || OnFilterIndex || FDataSet->OnFilterIndex || FFilterParser) {
    TvlxCustomMemTable::TOverrideBuffer over(*FDataSet, Record);
    bool accept = true;
    if (OnFilterIndex) OnFilterIndex(*FDataSet, this, accept);
    if (accept && FDataSet->OnFilterIndex) FDataSet->OnFilterIndex(*FDataSet, this, accept);
    if (accept && FFilterParser) accept = FDataSet->EvaluateFilter(*FFilterParser, Record);
    return accept;
  }
  return true;
}

void TvlxIndex::SetFilter(const String& Text, TFilterOptions Options) {
  const String text = Trim(Text);
  std::unique_ptr<TvlxExprParser> parser;
  if (!text.empty()) parser = FDataSet->CompileFilter(text, Options);
  FFilterParser = std::move(parser);
  FFilterText = text;
  FDirty = true;
}

void TvlxIndex::Load() {
  Clear();
  FSorted = false;
  FDirty = true;
  TvlxCommon::TLockGuard guard(*FDataSet->Common());
  const bool versioning = FDataSet->Common()->EnableVersioning();
  auto take = [&](PvlxRecord r, bool checkRange) {
    if (r == nullptr) return;
    if (!(FUpdateStatus & StatusBit(r->UpdateStatus))) return;
    if (r->UpdateStatus == usDeleted && !versioning) return;
    if (!IndexAcceptsRecord(r, checkRange)) return;
    FReferences.Add(r);
  };
  if (FBaseIndex != nullptr) {
    TvlxIndex* base = FBaseIndex;
    int lo = 0, hi = base->Count() - 1;
    bool bounded = false;
    if (FIsRange && base->IsOrdered() && base->FIndexFieldList.StartsWith(FIndexFieldList, true, true)) {
      bool f1 = false, f2 = false;
      int i1 = 0, i2 = 0;
      if (FRangeStartKey) base->Search(&FIndexFieldList, FRangeStartKey, mtstFirst, true, false, i1, f1);
      if (FRangeEndKey) base->Search(&FIndexFieldList, FRangeEndKey, mtstLast, true, false, i2, f2);
      if (f1) lo = i1;
      if (f2) hi = i2;
      bounded = f1 && f2;
    }
    FReferences.Reserve(FIsFiltered ? 100 : base->Count());
    for (int i = lo; i <= hi && i < base->Count(); ++i) {
      if (i + kPrefetchAhead <= hi && i + kPrefetchAhead < base->Count())
        __builtin_prefetch(base->FReferences[i + kPrefetchAhead]);
      take(base->FReferences[i], !bounded);
    }
  } else if (TakesEveryStoredRecord(versioning)) {
    // Nothing to test a record for: the rows are the store's list, no record is read.
    FReferences.AssignNonNull(FDataSet->Common()->Records());
  } else {
    const auto& recs = FDataSet->Common()->Records();
    FReferences.Reserve(FIsFiltered ? 100 : static_cast<int>(recs.size()));
    // Each record is read for its status only: asked for well ahead, the reads overlap.
    const std::size_t n = recs.size();
    const auto ahead = static_cast<std::size_t>(kPrefetchAhead);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + ahead < n) __builtin_prefetch(recs[i + ahead]);
      take(recs[i], true);
    }
  }
}

bool TvlxIndex::TakesEveryStoredRecord(bool Versioning) const {
  constexpr TvlxUpdateStatusSet live = StatusBit(usUnmodified) | StatusBit(usModified) | StatusBit(usInserted);
  if ((FUpdateStatus & live) != live || FIsRange) return false;
  if (FIsFiltered || OnFilterIndex || FDataSet->OnFilterIndex || FFilterParser) return false;
  // The store counts its records marked deleted: with none, no record's status needs reading.
  return FDataSet->Common()->DeletedCount() == 0 || (Versioning && (FUpdateStatus & StatusBit(usDeleted)) != 0);
}

void TvlxIndex::SortIndexQuick(PvlxRecord* A, int L, int R) {
  const TvlxFieldList& fl = FIndexFieldList;
  auto above = [&](PvlxRecord x, PvlxRecord y) { return CompareIndexKeys(fl, x, y, false, false, false, true) > 0; };
  while (R - L > 4) {
    const int M = (L + R) / 2;
    if (above(A[L], A[M])) std::swap(A[L], A[M]);
    if (above(A[L], A[R])) std::swap(A[L], A[R]);
    if (above(A[M], A[R])) std::swap(A[M], A[R]);
    std::swap(A[M], A[R - 1]);
    PvlxRecord pivot = A[R - 1];
    int i = L, j = R - 1;
    for (;;) {
      ++i;
      --j;
      while (i <= j && CompareIndexKeys(fl, A[i], pivot, false, false, false, true) < 0) ++i;
      while (j >= i && CompareIndexKeys(fl, A[j], pivot, false, false, false, true) > 0) --j;
      if (i >= j) break;
      std::swap(A[i], A[j]);
    }
    std::swap(A[i], A[R - 1]);
    // Recurse into the smaller side, loop over the larger: the stack stays logarithmic.
    if (j - L < R - (i + 1)) {
      SortIndexQuick(A, L, j);
      L = i + 1;
    } else {
      SortIndexQuick(A, i + 1, R);
      R = j;
    }
  }
}

void TvlxIndex::SortIndexInsertion(PvlxRecord* A, int N) {
  for (int i = 1; i < N; ++i) {
    PvlxRecord x = A[i];
    int j = i;
    while (j > 0 && CompareIndexKeys(FIndexFieldList, A[j - 1], x, false, false, false, true) > 0) {
      A[j] = A[j - 1];
      --j;
    }
    A[j] = x;
  }
}

void TvlxIndex::ReSort() {
  if (FType != mtitSorted) {
    FSorted = true;
    return;
  }
  TIndexOperation op(FDataSet, mtstSort, mtpcSort);
  const int n = FReferences.Count();
  PvlxRecord* rows = FReferences.Contiguous();
  if (n > 1) {
    SortIndexQuick(rows, 0, n - 1);
    SortIndexInsertion(rows, n);
  }
  FSorted = true;
  if (FIndexOptions & mtcoUnique)
    for (int i = 1; i < n; ++i)
      if (CompareIndexKeys(FIndexFieldList, rows[i - 1], rows[i], true, false, true, false) == 0)
        throw EMemTableDupKey(FName + u" : " + u"Duplicate index value. Operation aborted.");
}

void TvlxIndex::Rebuild() {
  if (FDataSet->Active()) {
    Load();
    if (FReferences.Count() > 0) ReSort();
  }
  FSorted = FType == mtitSorted;
  FDirty = false;
  if (FDataSet->CurIndex() == this && FDataSet->RecNoInIndex() >= FReferences.Count())
    FDataSet->SetRecNoInIndex(FReferences.Count() - 1);
}

void TvlxIndex::RebuildDepending() {
  for (TvlxIndex* d : std::vector<TvlxIndex*>(FDependants)) {
    d->Rebuild();
    d->RebuildDepending();
  }
}

bool TvlxIndex::IsDependingOn(const TvlxIndex* AIndex) const {
  for (const TvlxIndex* i = this; i != nullptr; i = i->FBaseIndex)
    if (i == AIndex) return true;
  return false;
}

int TvlxIndex::Search(const TvlxFieldList* FieldList, PvlxRecord KeyRecord, TvlxSearchType SearchType,
                      bool PrimaryOnly, bool RespectFilter, int& Index, bool& Found) {
  const TvlxFieldList& L = FieldList ? *FieldList : FIndexFieldList;
  Found = false;
  Index = 0;
  TIndexOperation op(FDataSet, mtstSearch, mtpcSearch);
  const int n = FReferences.Count();
  if (n == 0) return 0;
  if (!IsOrdered() || FRowOrder)
    return SearchIndexLinear(L, KeyRecord, SearchType, PrimaryOnly, RespectFilter, 0, n - 1, false, Index, Found);
  return SearchIndexBinary(L, KeyRecord, SearchType, PrimaryOnly, RespectFilter, 0, n - 1, Index, Found);
}

int TvlxIndex::SearchIndexBinary(const TvlxFieldList& L, PvlxRecord Key, TvlxSearchType T, bool PrimaryOnly,
                                 bool RespectFilter, int Lo, int Hi, int& Index, bool& Found) {
  int r = 0;
  while (Lo <= Hi) {
    const int mid = (Lo + Hi) / 2;
    r = CompareIndexKeys(L, Key, FReferences[mid], PrimaryOnly, false, false, false);
    if (r < 0) {
      Hi = mid - 1;
    } else if (r > 0) {
      Lo = mid + 1;
    } else {
      if (T == mtstFirst || T == mtstNearestBefore) {
        int k = mid;
        while (k > Lo && CompareIndexKeys(L, Key, FReferences[k - 1], PrimaryOnly, false, false, false) == 0) --k;
        Lo = k;
      } else {
        int k = mid;
        while (k < Hi && CompareIndexKeys(L, Key, FReferences[k + 1], PrimaryOnly, false, false, false) == 0) ++k;
        Hi = k;
      }
      break;
    }
  }
  if (Lo > Hi) {
    Index = Lo;
    Found = false;
    return r;
  }
  return SearchIndexLinear(L, Key, T, PrimaryOnly, RespectFilter, Lo, Hi, true, Index, Found);
}

int TvlxIndex::SearchIndexLinear(const TvlxFieldList& L, PvlxRecord Key, TvlxSearchType T, bool PrimaryOnly,
                                 bool RespectFilter, int Lo, int Hi, bool EarlyStop, int& Index, bool& Found) {
  const bool nearest = T == mtstNearestBefore || T == mtstNearestAfter;
  const bool down = T == mtstLast || T == mtstNearestAfter;
  const bool filtered = RespectFilter && FDataSet->IsFilteredView();
  int r = 0;
  const int total = Hi - Lo + 1;
  for (int step = 0; step < total; ++step) {
    const int pos = down ? Hi - step : Lo + step;
    if (step % 100 == 0 && step > 0) FDataSet->Progress(step * 100 / total, mtpcSearch);
    PvlxRecord row = FReferences[pos];
    r = CompareIndexKeys(L, Key, row, PrimaryOnly, nearest, false, false);
    const bool counted = r != 0 || !filtered || FDataSet->FilterRecord(row, false);
    if (!counted) continue;
    if (down) {
      if (r == 0 || (nearest && r > 0)) {
        Index = pos;
        Found = true;
        return r;
      }
      if (!nearest && r > 0 && IsOrdered() && !FRowOrder) {
        Index = pos;
        Found = false;
        return r;
      }
    } else {
      if (r == 0 || (nearest && r < 0)) {
        Index = pos;
        Found = true;
        return r;
      }
      if (!nearest && r < 0 && EarlyStop) {
        Index = pos;
        Found = false;
        return r;
      }
    }
  }
  Index = down ? Hi : Lo;
  Found = false;
  return r;
}

int TvlxIndex::SearchRecordID(std::int32_t RecordID) {
  const int n = FReferences.Count();
  for (int i = 0; i < n; ++i)
    if (FReferences[i]->RecordID == RecordID) return i;
  return -1;
}

int TvlxIndex::SearchRecord(const TvlxRecord* KeyRecord) {
  const int n = FReferences.Count();
  if (KeyRecord == nullptr || n == 0) return -1;
  // Compare identities, not keys: a buffer is a copy of its stored record.
  auto same = [&](const TvlxRecord* r) {
    return r->RecordID == KeyRecord->RecordID && r->UniqueRecordID == KeyRecord->UniqueRecordID;
  };
  // The position the record had when it was fetched is the usual answer.
  const int hint = KeyRecord->RecordNo;
  if (hint >= 0 && hint < n && same(FReferences[hint])) return hint;
  int start = 0;
  if (!FRowOrder && IsOrdered() && n > 5) {
    bool found = false;
    int at = 0;
    SearchIndexBinary(FIndexFieldList, const_cast<PvlxRecord>(KeyRecord), mtstFirst, false, false, 0, n - 1, at, found);
    if (found) start = at;
  }
  for (int i = start; i < n; ++i)
    if (same(FReferences[i])) return i;
  for (int i = 0; i < start; ++i)
    if (same(FReferences[i])) return i;
  return -1;
}

// ---- TvlxIndexes ----------------------------------------------------------------------------------------

TvlxIndexes::~TvlxIndexes() {
  FInClear = true;
  // Dependants first (they point at their bases), the row-order index last.
  while (!FIndexes.empty()) FIndexes.pop_back();
}

void TvlxIndexes::Clear() {
  FInClear = true;
  for (std::size_t i = FIndexes.size(); i-- > 0;) {
    TvlxIndex* ix = FIndexes[i].get();
    if (ix == FRowOrderIndex) {
      ix->Clear();
      continue;
    }
    FIndexes.erase(FIndexes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  FInClear = false;
}

TvlxIndex* TvlxIndexes::AddIndex(std::unique_ptr<TvlxIndex> Index) {
  FIndexes.push_back(std::move(Index));
  return FIndexes.back().get();
}

TvlxIndex* TvlxIndexes::Add(const TIndexDef& IndexDef) {
  if (IndexDef.Fields().empty()) throw EMemTableError(String(u"Missing Name or FieldNames in IndexDef!"));
  return AddIndex(std::make_unique<TvlxIndex>(FRowOrderIndex, IndexDef, FDataSet));
}

void TvlxIndexes::DeleteIndex(TvlxIndex* Index) {
  if (Index == nullptr || Index == FRowOrderIndex) return;
  for (TvlxIndex* d : std::vector<TvlxIndex*>(Index->DependantIndexes())) DeleteIndex(d);
  for (std::size_t i = 0; i < FIndexes.size(); ++i)
    if (FIndexes[i].get() == Index) {
      std::unique_ptr<TvlxIndex> gone = std::move(FIndexes[i]);
      FIndexes.erase(FIndexes.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

TvlxIndex* TvlxIndexes::Get(std::u16string_view IndexName) const {
  for (const auto& i : FIndexes)
    if (SameText(i->Name(), IndexName)) return i.get();
  return nullptr;
}

TvlxIndex* TvlxIndexes::GetByFieldNames(std::u16string_view FieldNames) const {
  for (const auto& i : FIndexes)
    if (!i->IsRowOrder() && SameText(i->IndexFields(), FieldNames)) return i.get();
  return nullptr;
}

void TvlxIndexes::EmptyAll() {
  for (const auto& i : FIndexes) i->Clear();
}
void TvlxIndexes::ResetEmpty() {
  for (const auto& i : FIndexes) {
    i->FReferences.Clear();
    i->FSorted = i->FRowOrder || i->FType == mtitSorted;
    i->FDirty = false;
  }
}

void TvlxIndexes::ReBuildAll() {
  for (std::size_t k = 0; k < FIndexes.size(); ++k) FIndexes[k]->Rebuild();
}
void TvlxIndexes::MarkAllDirty() {
  for (const auto& i : FIndexes) {
    i->FSorted = false;
    i->FDirty = true;
  }
}

int TvlxIndexes::Search(const TvlxFieldList& FieldList, PvlxRecord KeyRecord, TvlxSearchType SearchType,
                        bool PrimaryOnly, bool RespectFilter, bool AutoAddIdx, int& Index, bool& Found) {
  TvlxIndex* cur = FDataSet->CurIndex();
  Found = false;
  Index = -1;
  TvlxIndex* use = nullptr;
  if (cur->IsOrdered() && !cur->IsRowOrder()) {
    for (std::size_t i = FIndexes.size(); i-- > 0;) {
      TvlxIndex* ix = FIndexes[i].get();
      if (ix->IsOrdered() && !ix->IsRowOrder() && ix->IndexFieldList().StartsWith(FieldList, true, true)) {
        use = ix;
        break;
      }
    }
  }
  if (use == nullptr && AutoAddIdx) {
    String names = FieldList.GetAsString();
    const TvlxMemTableCompareOptions opts = (FieldList.LocateOptions & 1) ? TvlxMemTableCompareOptions{mtcoCaseInsensitive} : 0u;
    use = Get(kAutoIndexPrefix + names);
    if (use == nullptr) {
      use = AddIndex(std::make_unique<TvlxIndex>(cur, kAutoIndexPrefix + names, FDataSet, names, opts, mtitSorted));
      use->Rebuild();
    }
  }
  if (use != nullptr) {
    TvlxFieldList copy = FieldList;
    use->IndexFieldList().MergeOptionsTo(copy);
    int at = 0;
    const int r = use->Search(&copy, KeyRecord, SearchType, PrimaryOnly, RespectFilter, at, Found);
    if (!Found) return r;
    if (use == cur) {
      Index = at;
      return r;
    }
    // The hit must also be a row of the current index.
    const int pos = cur->SearchRecord(use->References()[at]);
    Found = pos >= 0 && pos < cur->Count();
    Index = Found ? pos : -1;
    return r;
  }
  TvlxFieldList copy = FieldList;
  int at = 0;
  const int r = cur->Search(&copy, KeyRecord, SearchType, PrimaryOnly, RespectFilter, at, Found);
  Index = Found ? at : -1;
  (void)r;
  return 0;
}

void TvlxIndexes::CheckRecordUniqueness(PvlxRecord ARecord, const TvlxRecord* ActualRecord) {
  if (!FDataSet->EnableIndexes()) return;
  for (const auto& ixp : FIndexes) {
    TvlxIndex* ix = ixp.get();
    if (!(ix->IndexOptions() & mtcoUnique) || !ix->Enabled() || (ix->IndexOptions() & mtcoNonMaintained)) continue;
    if (ix->IsDirty()) ix->Rebuild();
    int at = 0;
    bool found = false;
    ix->Search(nullptr, ARecord, mtstFirst, true, false, at, found);
    // Two null keys are equal here, unlike in the sort.
    for (int i = found ? at : ix->Count(); i < ix->Count(); ++i) {
      PvlxRecord row = ix->References()[i];
      if (ix->CompareIndexKeys(ix->IndexFieldList(), ARecord, row, true, false, false, false) != 0) break;
      if (ActualRecord == nullptr || row->RecordID != ActualRecord->RecordID ||
          row->UniqueRecordID != ActualRecord->UniqueRecordID)
        throw EMemTableDupKey(ix->Name() + u" : " + u"Duplicate index value. Operation aborted.");
    }
  }
}

void TvlxIndexes::ReflectToIndexes(TvlxIndexUpdateHow How, PvlxRecord OldRecord, PvlxRecord NewRecord, int RecordPos,
                                   bool) {
  FDataSet->SetReposRecNo(-1);
  TvlxIndex* cur = FDataSet->CurIndex();
  const bool versioning = FDataSet->Common()->EnableVersioning();
  for (std::size_t k = 0; k < FIndexes.size(); ++k) {
    TvlxIndex* ix = FIndexes[k].get();
    const bool isCur = ix == cur;
    if ((ix->IndexOptions() & mtcoNonMaintained) || !ix->Enabled() ||
        (!FDataSet->EnableIndexes() && !(How == mtiuhDelete && isCur))) {
      if (!(ix->IsRowOrder() && How == mtiuhEdit)) {
        ix->FSorted = false;
        ix->FDirty = true;
      }
      continue;
    }
    if (ix->IsDirty()) continue;  // rebuilt as a whole when next needed
    ix->FSorted = ix->IndexType() == mtitSorted;
    auto place = [&](PvlxRecord rec, bool last) {
      int at = ix->Count();
      if (!ix->IsRowOrder() && ix->Count() > 0) {
        bool found = false;
        int pos = 0;
        const int r = ix->Search(nullptr, rec, last ? mtstLast : mtstFirst, false, false, pos, found);
        if (found && last) at = pos + 1;
        else if (!(r > 0 && pos >= ix->Count() - 1 && !found)) at = std::min(pos, ix->Count());
        if (found && !last) at = pos;
      }
      return at;
    };
    switch (How) {
      case mtiuhEdit: {
        if (ix->IsRowOrder()) break;
        const bool showsModified = (ix->UpdateStatus() & StatusBit(usModified)) != 0;
        const bool keysDiffer =
            ix->CompareIndexKeys(ix->IndexFieldList(), OldRecord, NewRecord, false, false, false, false) != 0;
        if (!showsModified || keysDiffer) {
          const int old = (isCur && RecordPos >= 0 && RecordPos < ix->Count() && ix->References()[RecordPos] == OldRecord)
                              ? RecordPos
                              : ix->SearchRecord(OldRecord);
          if (old >= 0) ix->References().Delete(old);
          if (showsModified && ix->IndexAcceptsRecord(NewRecord, true)) {
            // Place by the new key, but the stored record is the one that stays.
            int at = ix->Count();
            if (ix->Count() > 0) {
              bool found = false;
              int pos = 0;
              ix->Search(nullptr, NewRecord, mtstLast, false, false, pos, found);
              at = found ? pos + 1 : std::min(pos, ix->Count());
              if (!found) {
                // pos is where the scan stopped: the first row above the key.
                at = 0;
                while (at < ix->Count() &&
                       ix->CompareIndexKeys(ix->IndexFieldList(), NewRecord, ix->References()[at], false, false, false,
                                            false) >= 0)
                  ++at;
              }
            }
            ix->References().Insert(at, OldRecord);
            if (isCur) {
              FDataSet->SetReposRecNo(at);
              OldRecord->RecordNo = at;
            }
          }
        } else if (isCur) {
          FDataSet->SetReposRecNo(NewRecord->RecordNo);
        }
        break;
      }
      case mtiuhDelete: {
        if ((ix->UpdateStatus() & StatusBit(usDeleted)) && versioning && !ix->IsRowOrder()) {
          if (!(ix->UpdateStatus() & StatusBit(OldRecord->UpdateStatus)) && ix->IndexAcceptsRecord(OldRecord, true)) {
            const int at = place(OldRecord, false);
            ix->References().Insert(at, OldRecord);
            if (isCur) {
              FDataSet->SetReposRecNo(at);
              OldRecord->RecordNo = at;
            }
          }
        } else if (ix->Count() > 0) {
          int pos = -1;
          if (isCur && RecordPos >= 0 && RecordPos < ix->Count() && ix->References()[RecordPos] == OldRecord)
            pos = RecordPos;
          else
            pos = ix->SearchRecord(OldRecord);
          if (pos >= 0) {
            ix->References().Delete(pos);
            if (isCur) FDataSet->SetReposRecNo(pos);
          }
        }
        break;
      }
      case mtiuhInsert:
      case mtiuhAppend: {
        if (!(ix->UpdateStatus() & StatusBit(usInserted)) || !ix->IndexAcceptsRecord(NewRecord, true)) break;
        int at;
        if (ix->IsRowOrder()) {
          at = (isCur && RecordPos >= 0 && How == mtiuhInsert) ? std::min(RecordPos, ix->Count()) : ix->Count();
        } else if (ix->Count() == 0) {
          at = 0;
        } else {
          bool found = false;
          int pos = 0;
          ix->Search(nullptr, NewRecord, mtstLast, false, false, pos, found);
          if (found) {
            at = pos + 1;
          } else {
            at = 0;
            // First row whose key is above the new one (binary: the index is ordered).
            int lo = 0, hi = ix->Count();
            while (lo < hi) {
              const int mid = (lo + hi) / 2;
              if (ix->CompareIndexKeys(ix->IndexFieldList(), NewRecord, ix->References()[mid], false, false, false,
                                       false) >= 0)
                lo = mid + 1;
              else
                hi = mid;
            }
            at = lo;
          }
        }
        ix->References().Insert(at, NewRecord);
        if (isCur) {
          FDataSet->SetReposRecNo(at);
          NewRecord->RecordNo = at;
        }
        break;
      }
    }
  }
}
