// The one search routine of a table data (FindRecord) and the visibility tests built on it.
//
// A search gathers every condition the caller and the cursor impose (a key condition, a search
// expression, the cursor's filter expressions and its range) into one list, lets expressions give
// up the comparisons an index can answer, simplifies the list (a contradiction answers False before
// any record is read), picks at most one index condition or range to drive the scan, and runs one
// of four scans, checking the other conditions on each record it reads:
//   full scan             no index condition drives: the cursor's order is walked
//   current index         the driving index is the cursor's: the index order is the cursor's order
//   index, physical order the cursor shows physical order: the match nearest the start by record id
//   other index           the cursor shows another index: the match nearest by position in it
// With a record bitmap every match is collected (ordered as the cursor shows records) and the
// answer is False; otherwise the first match in the cursor's order from the start is the answer.
#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbScanConditions.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "platform/classes/Lists.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SPointerIsNil[] = u"Pointer is nil";
constexpr char16_t SInvalidConditionNo[] = u"Invalid condition number = %d, count = %d";
constexpr char16_t SNoRecordPosition[] = u"Cannot find record position in index %d, RecordID = %d %d";

// A buffer of the table's record buffer cache (of its own while no cursor has the table open), given
// back on every way out.
class TScanBuffer {
 public:
  TScanBuffer(TMdbRecordBufferCache* Cache, std::int32_t Size) : FCache(Cache) {
    if (Cache) {
      FBuffer = Cache->GetBuffer();
    } else {
      FOwn.emplace(Size);
      FBuffer = FOwn->Get();
    }
  }
  ~TScanBuffer() {
    if (FCache) FCache->FreeBuffer(FBuffer);
  }
  TScanBuffer(const TScanBuffer&) = delete;
  TScanBuffer& operator=(const TScanBuffer&) = delete;
  Byte* Get() const { return FBuffer; }

 private:
  TMdbRecordBufferCache* FCache;
  std::optional<TMdbMemBlock> FOwn;
  Byte* FBuffer = nullptr;
};

// The index's search state, freed on every way out.
class TSearchInfo {
 public:
  explicit TSearchInfo(TMdbIndex* Index) : FIndex(Index), FInfo(Index->CreateSearchInfo()) {}
  ~TSearchInfo() { FIndex->FreeSearchInfo(FInfo); }
  TSearchInfo(const TSearchInfo&) = delete;
  TSearchInfo& operator=(const TSearchInfo&) = delete;
  void* Get() const { return FInfo; }

 private:
  TMdbIndex* FIndex;
  void* FInfo;
};

// Positions in one index, freed on every way out.
class TIndexPositions {
 public:
  explicit TIndexPositions(TMdbIndex* Index) : FIndex(Index) {}
  ~TIndexPositions() {
    for (void*& P : FItems) FIndex->FreeIndexPosition(P);
  }
  TIndexPositions(const TIndexPositions&) = delete;
  TIndexPositions& operator=(const TIndexPositions&) = delete;
  void* New() {
    FItems.reserve(FItems.size() + 1);
    FItems.push_back(FIndex->CreateIndexPosition());
    return FItems.back();
  }
  void DropLast() {
    FIndex->FreeIndexPosition(FItems.back());
    FItems.pop_back();
  }
  void*& operator[](std::size_t i) { return FItems[i]; }
  std::size_t Size() const { return FItems.size(); }
  std::vector<void*>& Items() { return FItems; }

 private:
  TMdbIndex* FIndex;
  std::vector<void*> FItems;
};

TMdbExpression* Evaluable(TMdbBaseExpression* E) {
  auto* X = dynamic_cast<TMdbExpression*>(E);
  if (X == nullptr) RaiseMdbQueryNotAvailable(u"expression evaluation");
  return X;
}

bool IsConditionHolding(TMdbSearchCondition Condition, std::int32_t Order) {
  switch (Condition) {
    case scEqual: return Order == 0;
    case scLower: return Order < 0;
    case scGreater: return Order > 0;
    case scLowerEqual: return Order <= 0;
    case scGreaterEqual: return Order >= 0;
    default: return false;
  }
}

}  // namespace

// What choosing the driving condition asks of this table.
class TMdbTableScanChoice : public TMdbScanChoiceSource {
 public:
  TMdbTableScanChoice(TMdbTableData* Table, std::int32_t SessionID, const TMdbRecordID& RecordID)
      : FTable(Table), FSessionID(SessionID), FRecordID(RecordID) {}
  bool FindsOneRecord(std::int32_t IndexID) override {
    const TMdbIndexDef* D = FTable->IndexManager()->IndexDefs().GetDefByObjectId(IndexID);
    if (D == nullptr) return false;
    if (D->FUnique || D->FPrimary) return true;
    if (D->FIndexColumns.empty()) return false;
    const TMdbFieldDef* F = FTable->FieldDefs().GetFieldDefByName(D->GetIndexColumn(0).FieldName);
    return F != nullptr && F->IsAutoInc();
  }
  Int64 RecordCount() override { return FTable->InternalGetRecordCount(); }
  Int64 ApproximateRecNo() override {
    return FTable->RecordManager()->GetApproximateRecNo(FRecordID, FSessionID);
  }
  Int64 Estimate(std::int32_t IndexID, const TMdbScanSearchCondition* First,
                 const TMdbScanSearchCondition* Second) override {
    TMdbIndex* I = FTable->IndexManager()->OpenIndex(IndexID);
    if (I == nullptr) throw EMdbException(20058, SPointerIsNil);
    return I->GetApproxRangeRecordCount(FSessionID, RecordCount(), First, Second ? Second : First);
  }
  std::int32_t CompareConditions(std::int32_t IndexID, const TMdbScanSearchCondition* First,
                                 const TMdbScanSearchCondition* Second) override {
    TMdbIndex* I = FTable->IndexManager()->OpenIndex(IndexID);
    if (I == nullptr) throw EMdbException(20059, SPointerIsNil);
    return I->CompareConditions(First, Second);
  }

 private:
  TMdbTableData* FTable;
  std::int32_t FSessionID;
  TMdbRecordID FRecordID;
};

// One search: the conditions, the driving choice and the scans.
class TMdbTableSearch {
 public:
  TMdbTableSearch(TMdbTableData* Table, TMdbCursor* Cursor)
      : FTable(Table), FCursor(Cursor), FSessionID(Cursor->FSession ? Cursor->FSession->SessionID : 0) {}

  bool Run(TMdbBaseExpression* SearchExpression, TMdbScanSearchCondition* KeyCondition, bool Restart, bool GoForward,
           TMdbRecordID& Result, TMdbRecordBitmap* Bitmap, bool StopAtFirst) {
    Prepare(SearchExpression, KeyCondition);
    TList Extracted;
    struct TGiveBack {
      TMdbScanSearchConditionArray& Conditions;
      TList& Info;
      ~TGiveBack() {
        try {
          Conditions.ReturnConditionsToExpressions(&Info);
        } catch (...) {
        }
        Info.Clear();
      }
    } GiveBack{FConditions, Extracted};
    FConditions.ExtractConditionsFromExpressions(&FTable->IndexManager()->IndexDefs(), &Extracted);
    auto Compare = [this](std::int32_t IndexID, const void* K1, const void* K2, std::int32_t Count) {
      return FTable->IndexManager()->CompareRecordBuffersByIndex(IndexID, static_cast<const Byte*>(K1),
                                                                  static_cast<const Byte*>(K2), Count);
    };
    auto Incompatible = [](TMdbBaseExpression* E) { return Evaluable(E)->IsIncompatible(); };
    if (!MdbOptimizeScanConditions(FConditions, Compare, Incompatible)) return false;
    TMdbTableScanChoice Choice(FTable, FSessionID, FCursor->CurrentRecordID);
    MdbChooseScanConditions(FConditions, FCursor->FIndexID, GoForward, Choice, FFirst, FSecond);
    return Scan(Restart, GoForward, Result, Bitmap, StopAtFirst);
  }

 private:
  void Prepare(TMdbBaseExpression* SearchExpression, TMdbScanSearchCondition* KeyCondition) {
    if (KeyCondition) FConditions.AddCondition(*KeyCondition);
    if (SearchExpression) FConditions.AddExpression(SearchExpression);
    if (FCursor->FFilterExpression) FConditions.AddExpression(FCursor->FFilterExpression);
    if (FCursor->FSQLFilterExpression) FConditions.AddExpression(FCursor->FSQLFilterExpression);
    // The cursor's range ends are key conditions on its index.
    const auto AddRangeEnd = [&](auto* Buffer, auto KeyFieldCount, auto Condition) {
      if (!Buffer) return;
      TMdbScanSearchCondition C;
      C.KeyRecordBuffer = Buffer;
      C.KeyFieldCount = KeyFieldCount;
      C.Condition = Condition;
      C.IndexID = FCursor->FIndexID;
      FConditions.AddCondition(C);
    };
    AddRangeEnd(FCursor->FRangeStartBuffer, FCursor->FRangeStartKeyFieldCount,
                FCursor->FRangeStartExclusive ? scGreater : scGreaterEqual);
    AddRangeEnd(FCursor->FRangeEndBuffer, FCursor->FRangeEndKeyFieldCount,
                FCursor->FRangeEndExclusive ? scLower : scLowerEqual);
  }

  TMdbScanSearchCondition* Condition(std::int32_t i) { return i < 0 ? nullptr : FConditions.Items[i].get(); }

  // Points every expression at the scan's buffer and decides whether records need a check at all.
  void BindConditions(const Byte* Buffer) {
    FCheckRequired = static_cast<bool>(FCursor->FilterRecord);
    for (std::int32_t i = 0; i < FConditions.Count(); ++i) {
      if (i == FFirst || i == FSecond) continue;
      const TMdbScanSearchCondition& C = *FConditions.Items[i];
      if (C.Expression == nullptr) {
        FCheckRequired = true;
        continue;
      }
      TMdbExpression* E = Evaluable(C.Expression);
      E->AssignCursorBuffer(Buffer);
      if (!E->IsEmpty()) FCheckRequired = true;
    }
  }

  bool Matches(const Byte* Buffer) {
    for (std::int32_t i = 0; i < FConditions.Count(); ++i) {
      if (i == FFirst || i == FSecond) continue;
      const TMdbScanSearchCondition& C = *FConditions.Items[i];
      if (C.Expression != nullptr) {
        auto* E = static_cast<TMdbExpression*>(C.Expression);
        if (!E->IsEmpty() && !E->GetResult()) return false;
        continue;
      }
      if (C.Condition == scNone || C.KeyRecordBuffer == nullptr) return false;
      const std::int32_t Order = FTable->IndexManager()->CompareRecordBuffersByIndex(
          C.IndexID, Buffer, static_cast<const Byte*>(C.KeyRecordBuffer), C.KeyFieldCount);
      if (!IsConditionHolding(C.Condition, Order)) return false;
    }
    if (!FCursor->FilterRecord) return true;
    if (FCursor->Dataset == nullptr) throw EMdbException(11635, SNilPointer);
    TMdbCursor* Engine = FCursor->Dataset->EngineCursor();
    if (Engine == nullptr) throw EMdbException(11636, SNilPointer);
    // The callback reads the record through the dataset's engine cursor.
    Byte* Saved = Engine->FCurrentRecordBuffer;
    struct TRestore {
      TMdbCursor* C;
      Byte* B;
      ~TRestore() { C->FCurrentRecordBuffer = B; }
    } Restore{Engine, Saved};
    Engine->FCurrentRecordBuffer = const_cast<Byte*>(Buffer);
    return FCursor->FilterRecord(Buffer);
  }

  bool ReadByID(const TMdbRecordID& Id, Byte* Buffer) {
    TMdbNavigationInfo N;
    N.GetRecordMode = grmCurrent;
    N.IndexID = -1;
    N.RecordID = Id;
    N.RecordBuffer = Buffer;
    FTable->InternalGetRecordBuffer(FSessionID, N);
    return N.GetRecordResult == grrOK;
  }

  bool Scan(bool Restart, bool GoForward, TMdbRecordID& Result, TMdbRecordBitmap* Bitmap, bool StopAtFirst) {
    if (FFirst == -1) return FullScan(Restart, GoForward, Result, Bitmap);
    if (FFirst >= FConditions.Count()) throw EMdbException(10382, SInvalidConditionNo, {FFirst, FConditions.Count()});
    if (FCursor->FIndexID == -1) return ScanByOtherOrder(nullptr, Restart, GoForward, Result, Bitmap, StopAtFirst);
    if (FCursor->FIndexID == Condition(FFirst)->IndexID) return ScanByCurrentIndex(Restart, GoForward, Result, Bitmap);
    TMdbIndex* CursorIndex = FTable->IndexManager()->OpenIndex(FCursor->FIndexID);
    return ScanByOtherOrder(CursorIndex, Restart, GoForward, Result, Bitmap, StopAtFirst);
  }

  bool FullScan(bool Restart, bool GoForward, TMdbRecordID& Result, TMdbRecordBitmap* Bitmap) {
    if (Bitmap && FConditions.Count() == 0 && !FCursor->FilterRecord) return false;
    TScanBuffer Buffer(FTable->RecordBufferCache(), FTable->CalcRecordSize());
    BindConditions(Buffer.Get());
    TMdbNavigationInfo N;
    N.IndexID = FCursor->FIndexID;
    N.RecordID = FCursor->CurrentRecordID;
    N.GetRecordMode = GoForward ? grmNext : grmPrior;
    N.FirstPosition = Restart && GoForward;
    N.LastPosition = Restart && !GoForward;
    N.RecordBuffer = Buffer.Get();
    for (;;) {
      FTable->InternalGetRecordBuffer(FSessionID, N);
      if (N.GetRecordResult != grrOK) return false;
      if (!Matches(Buffer.Get())) continue;
      if (Bitmap) {
        Bitmap->ShowRecord(N.RecordID);
        continue;
      }
      Result = N.RecordID;
      return true;
    }
  }

  bool ScanByCurrentIndex(bool Restart, bool GoForward, TMdbRecordID& Result, TMdbRecordBitmap* Bitmap) {
    TMdbIndex* Index = FTable->IndexManager()->OpenIndex(Condition(FFirst)->IndexID);
    TScanBuffer Buffer(FTable->RecordBufferCache(), FTable->CalcRecordSize());
    TMdbRecordID Id = FCursor->CurrentRecordID;
    if (!Restart && !ReadByID(Id, Buffer.Get())) return false;
    BindConditions(Buffer.Get());
    TSearchInfo Info(Index);
    while (Index->FindRecord(FSessionID, Restart, GoForward, Condition(FFirst), Condition(FSecond), Buffer.Get(), Id,
                             Info.Get())) {
      Restart = false;
      if (FCheckRequired && (!ReadByID(Id, Buffer.Get()) || !Matches(Buffer.Get()))) continue;
      if (Bitmap) {
        Bitmap->ShowRecord(Id);
        continue;
      }
      Result = Id;
      return true;
    }
    return false;
  }

  // The driving index is not the cursor's order: every match of its range is read, and the one
  // nearest the start in the cursor's order (physical when CursorIndex is nil) is the answer.
  bool ScanByOtherOrder(TMdbIndex* CursorIndex, bool Restart, bool GoForward, TMdbRecordID& Result,
                        TMdbRecordBitmap* Bitmap, bool StopAtFirst) {
    TMdbIndex* Index = FTable->IndexManager()->OpenIndex(Condition(FFirst)->IndexID);
    TScanBuffer Buffer(FTable->RecordBufferCache(), FTable->CalcRecordSize());
    const TMdbRecordID Start = FCursor->CurrentRecordID;
    std::unique_ptr<TIndexPositions> Positions;
    void* StartPosition = nullptr;
    if (CursorIndex) {
      Positions = std::make_unique<TIndexPositions>(CursorIndex);
      if (!Restart) {
        auto Fail = [&](int Code) {
          throw EMdbException(Code, SNoRecordPosition, {FCursor->FIndexID, Start.PageNo, std::int32_t(Start.PageItemNo)});
        };
        TMdbNavigationInfo N;
        N.GetRecordMode = grmCurrent;
        N.IndexID = -1;
        N.RecordID = Start;
        N.RecordBuffer = Buffer.Get();
        FTable->InternalGetRecordBuffer(FSessionID, N);
        if (N.GetRecordResult != grrOK) Fail(10387);
        if (FTable->CompareRecordID(N.RecordID, Start) != 0) Fail(10415);
        StartPosition = Positions->New();
        if (!CursorIndex->GetIndexPosition(FSessionID, Start, Buffer.Get(), StartPosition)) Fail(10386);
      }
    }
    BindConditions(Buffer.Get());
    TSearchInfo Info(Index);
    // Forward: the lowest match (above the start unless restarting); backward: the highest.
    auto Better = [&](std::int32_t Order) { return GoForward ? Order < 0 : Order > 0; };
    auto BeyondStart = [&](std::int32_t Order) { return GoForward ? Order > 0 : Order < 0; };
    bool Found = false;
    TMdbRecordID Best;
    void* BestPosition = nullptr;
    std::vector<std::int32_t> Shown;  // bitmap entries' positions in Positions, by match
    bool First = true;
    TMdbRecordID Id = Start;
    while (Index->FindRecord(FSessionID, First, GoForward, Condition(FFirst), Condition(FSecond), Buffer.Get(), Id,
                             Info.Get())) {
      First = false;
      const bool Read = ReadByID(Id, Buffer.Get());
      if (!Read || (FCheckRequired && !Matches(Buffer.Get()))) continue;
      if (StopAtFirst && !Bitmap) {
        Result = Id;
        return true;
      }
      if (CursorIndex == nullptr) {
        if (Bitmap) {
          Bitmap->ShowRecord(Id);
          continue;
        }
        if (!Restart && !BeyondStart(FTable->CompareRecordID(Id, Start))) continue;
        if (!Found || Better(FTable->CompareRecordID(Id, Best))) {
          Best = Id;
          Found = true;
        }
        continue;
      }
      void* P = Positions->New();
      if (!CursorIndex->GetIndexPosition(FSessionID, Id, Buffer.Get(), P))
        throw EMdbException(Bitmap ? 11331 : 10432, SNoRecordPosition,
                            {FCursor->FIndexID, Id.PageNo, std::int32_t(Id.PageItemNo)});
      if (Bitmap) {
        Bitmap->ShowRecord(Id);
        if (StopAtFirst) return false;
        Shown.push_back(static_cast<std::int32_t>(Positions->Size() - 1));
        continue;
      }
      if ((!Restart && !BeyondStart(CursorIndex->CompareRecordPositionsInIndex(P, StartPosition))) ||
          (Found && !Better(CursorIndex->CompareRecordPositionsInIndex(P, BestPosition)))) {
        Positions->DropLast();
        continue;
      }
      Best = Id;
      BestPosition = P;
      Found = true;
    }
    if (Bitmap) {
      if (!FCursor->FRandomOrder) SortBitmap(*Bitmap, CursorIndex, Positions.get(), Shown);
      return false;
    }
    if (Found) Result = Best;
    return Found;
  }

  // The collected ids in the cursor's order: physical, or by their positions in the cursor's index.
  void SortBitmap(TMdbRecordBitmap& Bitmap, TMdbIndex* CursorIndex, TIndexPositions* Positions,
                  const std::vector<std::int32_t>& Shown) {
    if (CursorIndex == nullptr) {
      TMdbRecordIDArray& A = Bitmap.ReorderRecords(false);
      A.Sort();
      A.FSorted = true;
      return;
    }
    TMdbRecordIDArray& A = Bitmap.ReorderRecords(false);
    const std::size_t n = std::min<std::size_t>(Shown.size(), static_cast<std::size_t>(A.ItemCount));
    if (n < 2) return;
    std::vector<std::size_t> Order(n);
    std::iota(Order.begin(), Order.end(), std::size_t(0));
    std::stable_sort(Order.begin(), Order.end(), [&](std::size_t a, std::size_t b) {
      return CursorIndex->CompareRecordPositionsInIndex((*Positions)[static_cast<std::size_t>(Shown[a])],
                                                        (*Positions)[static_cast<std::size_t>(Shown[b])]) < 0;
    });
    std::vector<TMdbRecordID> Sorted(n);
    for (std::size_t i = 0; i < n; ++i) Sorted[i] = A.Items[Order[i]];
    std::copy(Sorted.begin(), Sorted.end(), A.Items.begin());
  }

  TMdbTableData* FTable;
  TMdbCursor* FCursor;
  std::int32_t FSessionID;
  TMdbScanSearchConditionArray FConditions;
  std::int32_t FFirst = -1;
  std::int32_t FSecond = -1;
  bool FCheckRequired = true;
};

bool TMdbTableData::FindRecord(TMdbCursor* Cursor, TMdbBaseExpression* SearchExpression,
                               TMdbScanSearchCondition* KeyCondition, bool Restart, bool GoForward,
                               TMdbRecordID& ResultRecordID, TMdbRecordBitmap* RecordBitmap, bool,
                               bool StopAtFirstFoundRecord) {
  if (Cursor == nullptr) throw EMdbException(11375, SNilPointer);
  if (InternalGetRecordCount() == 0) return false;
  if (!FIndexManager) throw EMdbException(10380, SNilPointer);
  TMdbTableSearch Search(this, Cursor);
  return Search.Run(SearchExpression, KeyCondition, Restart, GoForward, ResultRecordID, RecordBitmap,
                    StopAtFirstFoundRecord);
}

void TMdbTableData::BuildRecordBitmap(TMdbCursor* Cursor) {
  if (!Cursor->FRecordBitmap) Cursor->FRecordBitmap = std::make_unique<TMdbRecordBitmap>(this);
  TMdbRecordBitmap& B = *Cursor->FRecordBitmap;
  B.SetActive(false);
  B.SetIndexed(Cursor->FIndexID != -1);
  B.PrepareBitmapForActivation();
  if (InternalGetRecordCount() == 0) return;
  Byte* SavedBuffer = Cursor->FCurrentRecordBuffer;
  void* SavedPosition = Cursor->SavePosition();
  TMdbMemBlock Scratch(CalcRecordSize(), true);
  struct TRestore {
    TMdbCursor* C;
    Byte* Buffer;
    void* Position;
    ~TRestore() {
      C->FCurrentRecordBuffer = Buffer;
      C->RestorePosition(Position);
      C->FreePosition(Position);
    }
  } Restore{Cursor, SavedBuffer, SavedPosition};
  Cursor->FCurrentRecordBuffer = Scratch.Get();
  Cursor->FirstPosition = true;
  Cursor->LastPosition = false;
  TMdbRecordID Unused;
  FindRecord(Cursor, nullptr, nullptr, true, true, Unused, &B, true, false);
  B.SetActive(true);
}

bool TMdbTableData::IsRecordInRange(TMdbCursor* Cursor) {
  if (!Cursor->IsRangeApplied()) return true;
  const Byte* R = Cursor->FCurrentRecordBuffer;
  if (Cursor->FRangeStartBuffer) {
    const std::int32_t Order = FIndexManager->CompareRecordBuffersByIndex(Cursor->FIndexID, R, Cursor->FRangeStartBuffer,
                                                                          Cursor->FRangeStartKeyFieldCount);
    if (Order < 0 || (Order == 0 && Cursor->FRangeStartExclusive)) return false;
  }
  if (Cursor->FRangeEndBuffer) {
    const std::int32_t Order = FIndexManager->CompareRecordBuffersByIndex(Cursor->FIndexID, R, Cursor->FRangeEndBuffer,
                                                                          Cursor->FRangeEndKeyFieldCount);
    if (Order > 0 || (Order == 0 && Cursor->FRangeEndExclusive)) return false;
  }
  return true;
}

bool TMdbTableData::IsRecordVisible(TMdbCursor* Cursor) {
  if (!IsRecordInRange(Cursor)) return false;
  for (TMdbBaseExpression* Filter : {Cursor->FFilterExpression, Cursor->FSQLFilterExpression}) {
    if (Filter == nullptr) continue;
    TMdbExpression* E = Evaluable(Filter);
    E->AssignCursorBuffer(Cursor->FCurrentRecordBuffer);
    if (!E->IsEmpty() && !E->GetResult()) return false;
  }
  return !Cursor->FilterRecord || Cursor->FilterRecord(Cursor->FCurrentRecordBuffer);
}
