#include "engines/mdb/storage/MdbBTreeIndex.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbNameArray.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

constexpr char16_t SCannotFindKeyPath[] =
    u"Index error - cannot find the key path: SessionID = %d, RecordID.PageNo = %d, RecordID.PageItemNo = %d, "
    u"Items.Count = %d";
constexpr char16_t SInvalidPosition[] = u"Index error: invalid position";
constexpr char16_t SInvalidPageNumber[] = u"Index error: invalid page number";
constexpr char16_t SInvalidGetRecordMode[] = u"Invalid get record mode for index: grmCurrent";
constexpr char16_t SEmptyIndex[] = u"Cannot retreive record from empty index";
constexpr char16_t SRecNoTooLarge[] = u"Cannot set RecNo greater than RecordCount";
constexpr char16_t SInvalidParams[] = u"Index error: invalid params";
constexpr char16_t SEntryNotFound[] = u"Index error: cannot delete entry. Entry not found";
constexpr char16_t SIntegrity[] = u"Index integrity violated. PageNo=%d EntryNo=%d";

TMdbRecordID ReferenceAt(const TMdbBTreePage& Page, std::int32_t Position) {
  TMdbRecordID R;
  std::memcpy(&R, Page.GetPReference(Position), sizeof(R));
  return R;
}

std::int32_t SessionOf(const TMdbCursor* Cursor) {
  return Cursor && Cursor->FSession ? Cursor->FSession->SessionID : -1;
}

// Restores the key layout's compare count to all parts on scope exit.
class TFullCompare {
 public:
  explicit TFullCompare(TMdbBTreeKeyRef& K) : FK(K) {}
  ~TFullCompare() { FK.SetCompareFieldCount(0); }
  TFullCompare(const TFullCompare&) = delete;
  TFullCompare& operator=(const TFullCompare&) = delete;

 private:
  TMdbBTreeKeyRef& FK;
};

}  // namespace

// ---- key path cache ------------------------------------------------------------------------------------

TMdbKeyPathCache::TItem* TMdbKeyPathCache::Find(std::int32_t SessionID) {
  for (TItem& I : FItems)
    if (I.SessionID == SessionID) return &I;
  return nullptr;
}

void TMdbKeyPathCache::GetKeyPath(std::int32_t SessionID, const TMdbRecordID& RecordID, bool Clear, std::uint64_t Stamp,
                                  TMdbKeyPath& Result) {
  Result.Clear();
  TItem* I = Find(SessionID);
  if (I == nullptr) {
    TItem N;
    N.SessionID = SessionID;
    N.RecordID = RecordID;
    N.KeyPath = std::make_unique<TMdbKeyPath>();
    N.Stamp = Stamp;
    FItems.push_back(std::move(N));
    return;
  }
  if (Clear || !(I->RecordID == RecordID) || I->Stamp != Stamp) {
    I->KeyPath->Clear();
    return;
  }
  Result.Assign(*I->KeyPath);
}

void TMdbKeyPathCache::SetKeyPath(std::int32_t SessionID, const TMdbRecordID& RecordID, const TMdbKeyPath& KeyPath,
                                  std::uint64_t Stamp) {
  TItem* I = Find(SessionID);
  if (I == nullptr)
    throw EMdbException(11630, SCannotFindKeyPath,
                        {SessionID, RecordID.PageNo, int(RecordID.PageItemNo), static_cast<int>(FItems.size())});
  I->RecordID = RecordID;
  I->KeyPath->Assign(KeyPath);
  I->Stamp = Stamp;
}

void TMdbKeyPathCache::Clear(std::int32_t SessionID) {
  if (SessionID == -1) {
    FItems.clear();
    return;
  }
  std::erase_if(FItems, [SessionID](const TItem& I) { return I.SessionID == SessionID; });
}

// ---- construction and page access --------------------------------------------------------------------------

TMdbBTreeIndex::TMdbBTreeIndex(TMdbBaseIndexManager* aIndexManager) : TMdbIndex(aIndexManager) {}

TMdbBTreeIndex::~TMdbBTreeIndex() = default;

void TMdbBTreeIndex::PrepareKeyLayout() {
  FKeyRef.Assign(FIndexDef, LTableData);
  FKeyRef.SetReferenceSize(kBTreeLeafReferenceSize);
  for (auto& B : FScratch) B = std::make_unique<TMdbMemBlock>(std::max(FKeyRef.KeySize(), 1), true);
}

void TMdbBTreeIndex::LoadState() { FState = LTableData->GetTableState().TableState; }

TMdbPage* TMdbBTreeIndex::AddBTreePage(std::int32_t SessionID) {
  return LTableData->AddPage(SessionID, dbstIndex, FState, false);
}
TMdbPage* TMdbBTreeIndex::GetBTreePage(std::int32_t SessionID, std::int32_t PageNo) {
  return LTableData->GetPage(SessionID, PageNo, dbstIndex, FState, true, false, false);
}
TMdbPage* TMdbBTreeIndex::GetBTreePageForUpdate(std::int32_t SessionID, std::int32_t PageNo) {
  return LTableData->GetPage(SessionID, PageNo, dbstIndex, FState, true, true, false);
}
void TMdbBTreeIndex::PutBTreePage(TMdbPage* Page) noexcept {
  try {
    LTableData->PutPage(Page);
  } catch (...) {
    // A page that cannot go back stays with its cache, which frees it.
  }
}
void TMdbBTreeIndex::RemoveBTreePage(std::int32_t SessionID, std::int32_t PageNo) {
  LTableData->RemovePage(SessionID, PageNo, dbstIndex, FState);
}
void TMdbBTreeIndex::UpdateBTreePage(std::int32_t SessionID, TMdbPage* Page) {
  LTableData->UpdatePage(SessionID, Page, dbstIndex, FState, false);
}

void TMdbBTreeIndex::NewRoot(std::int32_t SessionID) {
  TMdbBTreePage R(this, AddBTreePage(SessionID));
  R.InitAsRoot();
  R.Update(SessionID);
  FIndexDef.FRootPageNo = R.PageNo();
}

// ---- definition ------------------------------------------------------------------------------------------

void TMdbBTreeIndex::ClearIndexCache(std::int32_t SessionID) { FKeyPathCache.Clear(SessionID); }

void TMdbBTreeIndex::CreateIndex(TMdbCursor* Cursor, TMdbIndexDef* aIndexDef) {
  TMdbIndex::CreateIndex(Cursor, aIndexDef);
  PrepareKeyLayout();
  const std::int32_t S = SessionOf(Cursor);
  LoadState();
  ++FChangeStamp;
  NewRoot(S);
  aIndexDef->FRootPageNo = FIndexDef.FRootPageNo;
  // Every record of the table gets its key, read straight from the record manager in slot order.
  TMdbBaseRecordManager* RM = LTableData->RecordManager();
  if (RM == nullptr || RM->GetRecordCount() == 0) return;
  TMdbMemBlock Buffer(RM->RecordBufferSize, true);
  TMdbNavigationInfo N;
  N.SessionID = S;
  N.IndexID = -1;
  N.GetRecordMode = grmNext;
  N.FirstPosition = true;
  N.RecordBuffer = Buffer.Get();
  for (;;) {
    RM->GetRecordBuffer(N);
    if (N.GetRecordResult != grrOK) break;
    N.FirstPosition = false;
    InsertKey(S, Buffer.Get(), N.RecordID);
  }
}

void TMdbBTreeIndex::CreateIndex(std::int32_t SessionID, std::int32_t PageNo, TMdbIndexDef* aIndexDef) {
  TMdbIndex::CreateIndex(SessionID, PageNo, aIndexDef);
  PrepareKeyLayout();
  LoadState();
  ++FChangeStamp;
  TMdbBTreePage R(this, GetBTreePageForUpdate(SessionID, PageNo));
  R.InitAsRoot();
  R.Update(SessionID);
  FIndexDef.FRootPageNo = PageNo;
  aIndexDef->FRootPageNo = PageNo;
}

void TMdbBTreeIndex::DropIndex(std::int32_t SessionID, bool EmptyIndex) {
  if (!HasTree()) return;
  LoadState();
  ++FChangeStamp;
  FKeyPathCache.Clear(-1);
  const std::int32_t RootNo = FIndexDef.FRootPageNo;
  TMdbBTreePage Root(this, GetBTreePage(SessionID, RootNo));
  if (!EmptyIndex) {
    Root.FreeAllPages(SessionID, -1);
    return;
  }
  Root.FreeAllPages(SessionID, RootNo);
  Root.BeginChange(SessionID);
  Root.InitAsRoot();
  Root.Update(SessionID);
}

void TMdbBTreeIndex::OpenIndex(const TMdbIndexDef* aIndexDef) {
  TMdbIndex::OpenIndex(aIndexDef);
  PrepareKeyLayout();
}

// ---- key maintenance ---------------------------------------------------------------------------------------

void TMdbBTreeIndex::InsertKey(std::int32_t SessionID, const Byte* RecordBuffer, const TMdbRecordID& RecordID) {
  LoadState();
  ++FChangeStamp;
  if (!HasTree()) NewRoot(SessionID);
  Byte* Key = ScratchKey(0);
  FKeyRef.MakeKeyFromRecordBuffer(RecordBuffer, Key);
  const TMdbRecordID Ref = RecordID;
  TMdbKeyPath Path;
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  Root.InsertLeafEntry(SessionID, Key, reinterpret_cast<const Byte*>(&Ref), Path);
}

void TMdbBTreeIndex::DeleteKey(std::int32_t SessionID, const Byte* RecordBuffer, const TMdbRecordID& RecordID) {
  if (!HasTree()) throw EMdbException(20027, SEntryNotFound);
  LoadState();
  ++FChangeStamp;
  Byte* Key = ScratchKey(0);
  FKeyRef.MakeKeyFromRecordBuffer(RecordBuffer, Key);
  const TMdbRecordID Ref = RecordID;
  TMdbKeyPath Path;
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  if (!Root.DeleteLeafEntry(SessionID, Key, reinterpret_cast<const Byte*>(&Ref), Path))
    throw EMdbException(20027, SEntryNotFound);
}

void TMdbBTreeIndex::InsertRecord(TMdbCursor* Cursor) {
  InsertKey(SessionOf(Cursor), Cursor->FCurrentRecordBuffer, Cursor->CurrentRecordID);
}

void TMdbBTreeIndex::DeleteRecord(TMdbCursor* Cursor) {
  DeleteKey(SessionOf(Cursor), Cursor->FCurrentRecordBuffer, Cursor->CurrentRecordID);
}

void TMdbBTreeIndex::UpdateRecord(TMdbCursor* Cursor) {
  if (Cursor->FEditRecordBuffer == nullptr || Cursor->FCurrentRecordBuffer == nullptr)
    throw EMdbException(20077, SMdbPointerIsNil);
  Byte* Old = ScratchKey(1);
  Byte* New = ScratchKey(0);
  FKeyRef.MakeKeyFromRecordBuffer(Cursor->FEditRecordBuffer, Old);
  FKeyRef.MakeKeyFromRecordBuffer(Cursor->FCurrentRecordBuffer, New);
  if (FKeyRef.CompareKeys(Old, New) == 0) return;
  const std::int32_t S = SessionOf(Cursor);
  DeleteKey(S, Cursor->FEditRecordBuffer, Cursor->CurrentRecordID);
  InsertKey(S, Cursor->FCurrentRecordBuffer, Cursor->CurrentRecordID);
}

bool TMdbBTreeIndex::CanInsertRecord(std::int32_t SessionID, const Byte* RecordBuffer) {
  if (!HasTree() || !(FIndexDef.FUnique || FIndexDef.FPrimary)) return true;
  LoadState();
  Byte* Key = ScratchKey(0);
  FKeyRef.MakeKeyFromRecordBuffer(RecordBuffer, Key);
  TMdbKeyPath Path;
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  return !Root.FindByCondition(SessionID, true, Key, scEqual, Path);
}

bool TMdbBTreeIndex::CanUpdateRecord(std::int32_t SessionID, const Byte* OldRecordBuffer, const Byte* NewRecordBuffer) {
  Byte* Old = ScratchKey(1);
  Byte* New = ScratchKey(0);
  FKeyRef.MakeKeyFromRecordBuffer(OldRecordBuffer, Old);
  FKeyRef.MakeKeyFromRecordBuffer(NewRecordBuffer, New);
  if (FKeyRef.CompareKeys(Old, New) == 0) return true;
  return CanInsertRecord(SessionID, NewRecordBuffer);
}

std::int32_t TMdbBTreeIndex::CompareRecordBuffersByIndex(const Byte* Buffer1, const Byte* Buffer2,
                                                         std::int32_t IndexFieldCount) {
  Byte* A = ScratchKey(0);
  Byte* B = ScratchKey(1);
  FKeyRef.MakeKeyFromRecordBuffer(Buffer1, A);
  FKeyRef.MakeKeyFromRecordBuffer(Buffer2, B);
  TFullCompare Restore(FKeyRef);
  FKeyRef.SetCompareFieldCount(IndexFieldCount);
  return FKeyRef.CompareKeys(A, B);
}

std::int32_t TMdbBTreeIndex::CompareConditions(const TMdbScanSearchCondition* Condition1, const TMdbScanSearchCondition*) {
  switch (Condition1->Condition) {
    case scGreater:
    case scGreaterEqual: return -1;
    case scLower:
    case scLowerEqual: return 1;
    default: return 0;
  }
}

// ---- positions ---------------------------------------------------------------------------------------------

void* TMdbBTreeIndex::CreateIndexPosition() { return new TMdbKeyPath(); }

void TMdbBTreeIndex::FreeIndexPosition(void*& IndexPosition) {
  delete static_cast<TMdbKeyPath*>(IndexPosition);
  IndexPosition = nullptr;
}

bool TMdbBTreeIndex::GetIndexPosition(std::int32_t SessionID, const TMdbRecordID& RecordID, const Byte* RecordBuffer,
                                      void* IndexPosition) {
  auto* P = static_cast<TMdbKeyPath*>(IndexPosition);
  if (P == nullptr) throw EMdbException(10384, SMdbNilPointer);
  if (!HasTree()) return false;
  P->Clear();
  LoadState();
  Byte* Key = nullptr;
  if (RecordBuffer) {
    Key = ScratchKey(1);
    FKeyRef.MakeKeyFromRecordBuffer(RecordBuffer, Key);
  }
  const TMdbRecordID Ref = RecordID;
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  return Root.FindEntry(SessionID, Key, reinterpret_cast<const Byte*>(&Ref), *P);
}

std::int32_t TMdbBTreeIndex::CompareRecordPositionsInIndex(const void* RecordPosition1, const void* RecordPosition2) {
  if (RecordPosition1 == nullptr) throw EMdbException(10384, SMdbNilPointer);
  if (RecordPosition2 == nullptr) throw EMdbException(10385, SMdbNilPointer);
  return static_cast<const TMdbKeyPath*>(RecordPosition1)->Compare(*static_cast<const TMdbKeyPath*>(RecordPosition2));
}

void TMdbBTreeIndex::GetReferenceAtPosition(std::int32_t SessionID, const TMdbKeyPath& Path, TMdbRecordID& RecordID) {
  if (Path.Count == 0) throw EMdbException(20068, SInvalidPosition);
  TMdbBTreePage L(this, GetBTreePage(SessionID, Path.Last().PageNo));
  if (!L.IsLeaf() || Path.Last().EntryNo < 0 || Path.Last().EntryNo >= L.EntryCount())
    throw EMdbException(20068, SInvalidPosition);
  RecordID = ReferenceAt(L, Path.Last().EntryNo);
}

bool TMdbBTreeIndex::GetFirstIndexPosition(std::int32_t SessionID, TMdbKeyPath& Path) {
  if (!HasTree()) return false;
  Path.Clear();
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  return Root.GetFirstPosition(SessionID, Path);
}

bool TMdbBTreeIndex::GetLastIndexPosition(std::int32_t SessionID, TMdbKeyPath& Path) {
  if (!HasTree()) return false;
  Path.Clear();
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  return Root.GetLastPosition(SessionID, Path);
}

bool TMdbBTreeIndex::MoveNext(std::int32_t SessionID, TMdbKeyPath& Path) {
  if (Path.Count == 0) throw EMdbException(20069, SInvalidPosition);
  std::int32_t Level = Path.Count - 1;
  while (Level >= 0 && Path.Items[Level].EntryNo >= Path.Items[Level].EntryCount - 1) --Level;
  if (Level < 0) return false;
  ++Path.Items[Level].EntryNo;
  for (std::int32_t l = Level + 1; l < Path.Count; ++l) {
    std::int32_t Right;
    {
      TMdbBTreePage P(this, GetBTreePage(SessionID, Path.Items[l].PageNo));
      Right = P.RightPageNo();
    }
    if (Right == -1) throw EMdbException(20070, SInvalidPageNumber);
    TMdbBTreePage R(this, GetBTreePage(SessionID, Right));
    Path.Items[l] = {Right, 0, R.EntryCount()};
  }
  return true;
}

bool TMdbBTreeIndex::MovePrior(std::int32_t SessionID, TMdbKeyPath& Path) {
  if (Path.Count == 0) throw EMdbException(20069, SInvalidPosition);
  std::int32_t Level = Path.Count - 1;
  while (Level >= 0 && Path.Items[Level].EntryNo <= 0) --Level;
  if (Level < 0) return false;
  --Path.Items[Level].EntryNo;
  for (std::int32_t l = Level + 1; l < Path.Count; ++l) {
    std::int32_t Left;
    {
      TMdbBTreePage P(this, GetBTreePage(SessionID, Path.Items[l].PageNo));
      Left = P.LeftPageNo();
    }
    if (Left == -1) throw EMdbException(20071, SInvalidPageNumber);
    TMdbBTreePage L(this, GetBTreePage(SessionID, Left));
    Path.Items[l] = {Left, L.EntryCount() - 1, L.EntryCount()};
  }
  return true;
}

bool TMdbBTreeIndex::StepPosition(std::int32_t SessionID, bool Starting, TMdbKeyPath& Path, bool Forward) {
  if (Starting) return Forward ? GetFirstIndexPosition(SessionID, Path) : GetLastIndexPosition(SessionID, Path);
  return Forward ? MoveNext(SessionID, Path) : MovePrior(SessionID, Path);
}

bool TMdbBTreeIndex::IsPathCurrent(std::int32_t SessionID, const TMdbKeyPath& Path, const TMdbRecordID& RecordID) {
  if (Path.Count == 0) return false;
  try {
    TMdbBTreePage L(this, GetBTreePage(SessionID, Path.Last().PageNo));
    const std::int32_t e = Path.Last().EntryNo;
    return L.IsLeaf() && L.EntryCount() == Path.Last().EntryCount && e >= 0 && e < L.EntryCount() &&
           ReferenceAt(L, e) == RecordID;
  } catch (const EMdbException&) {
    // A page of the cached route is gone: the record is looked up afresh.
    return false;
  }
}

// ---- navigation --------------------------------------------------------------------------------------------

void TMdbBTreeIndex::GetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& N) {
  if (N.GetRecordMode == grmCurrent) throw EMdbException(20053, SInvalidGetRecordMode);
  if (!HasTree()) {
    N.GetRecordResult = grrEOF;
    return;
  }
  LoadState();
  const bool FromEnd = N.FirstPosition || N.LastPosition;
  TMdbKeyPath Path;
  FKeyPathCache.GetKeyPath(SessionID, N.RecordID, FromEnd, FChangeStamp, Path);
  if (!Path.Empty() && !IsPathCurrent(SessionID, Path, N.RecordID)) Path.Clear();
  bool Found = false, Moved = false;
  if (N.FirstPosition) {
    Found = Moved = GetFirstIndexPosition(SessionID, Path);
  } else if (N.LastPosition) {
    Found = Moved = GetLastIndexPosition(SessionID, Path);
  } else {
    Found = !Path.Empty() || GetIndexPosition(SessionID, N.RecordID, N.RecordBuffer, &Path);
    if (Found) Moved = N.GetRecordMode == grmNext ? MoveNext(SessionID, Path) : MovePrior(SessionID, Path);
  }
  // From either end of an empty index there is nothing to move to: that is the end, not an error.
  if (!Found && !FromEnd) {
    N.GetRecordResult = grrError;
    return;
  }
  if (Moved) {
    TMdbRecordID Id;
    GetReferenceAtPosition(SessionID, Path, Id);
    TMdbNavigationInfo Read = N;
    Read.GetRecordMode = grmCurrent;
    Read.FirstPosition = Read.LastPosition = false;
    Read.RecordID = Id;
    LTableData->RecordManager()->GetRecordBuffer(Read);
    if (Read.GetRecordResult != grrOK) {
      N.GetRecordResult = Read.GetRecordResult;
      return;
    }
    N.GetRecordResult = grrOK;
    N.FirstPosition = N.LastPosition = false;
    N.RecordID = Id;
    FKeyPathCache.SetKeyPath(SessionID, Id, Path, FChangeStamp);
    return;
  }
  if (N.GetRecordMode == grmNext) {
    N.GetRecordResult = grrEOF;
    N.LastPosition = true;
    N.FirstPosition = false;
  } else {
    N.GetRecordResult = grrBOF;
    N.FirstPosition = true;
    N.LastPosition = false;
  }
}

Int64 TMdbBTreeIndex::GetRecNoByRecordID(std::int32_t SessionID, const TMdbRecordID& RecordID, const Byte* RecordBuffer,
                                         TMdbRecordBitmap* Bitmap) {
  TMdbKeyPath P;
  if (!GetIndexPosition(SessionID, RecordID, RecordBuffer, &P)) return -1;
  const bool Visible = Bitmap && Bitmap->Active();
  Int64 n = 0;
  std::int32_t Left;
  {
    TMdbBTreePage L(this, GetBTreePage(SessionID, P.Last().PageNo));
    if (Visible) {
      for (std::int32_t i = 0; i <= P.Last().EntryNo; ++i)
        if (Bitmap->IsRecordVisible(ReferenceAt(L, i))) ++n;
    } else {
      n += P.Last().EntryNo + 1;
    }
    Left = L.LeftPageNo();
  }
  while (Left != -1) {
    TMdbBTreePage L(this, GetBTreePage(SessionID, Left));
    if (Visible) {
      for (std::int32_t i = 0; i < L.EntryCount(); ++i)
        if (Bitmap->IsRecordVisible(ReferenceAt(L, i))) ++n;
    } else {
      n += L.EntryCount();
    }
    Left = L.LeftPageNo();
  }
  return n;
}

TMdbRecordID TMdbBTreeIndex::GetRecordIDByRecNo(std::int32_t SessionID, Int64 RecNo, TMdbRecordBitmap* Bitmap) {
  LoadState();
  TMdbKeyPath P;
  if (!GetFirstIndexPosition(SessionID, P)) throw EMdbException(20074, SEmptyIndex);
  const bool Visible = Bitmap && Bitmap->Active();
  Int64 Running = 0;
  std::int32_t No = P.Last().PageNo;
  while (No != -1) {
    TMdbBTreePage L(this, GetBTreePage(SessionID, No));
    const std::int32_t Count = L.EntryCount();
    if (Visible) {
      for (std::int32_t i = 0; i < Count; ++i) {
        const TMdbRecordID R = ReferenceAt(L, i);
        if (Bitmap->IsRecordVisible(R) && ++Running == RecNo) return R;
      }
    } else {
      if (Running + Count >= RecNo) return ReferenceAt(L, static_cast<std::int32_t>(RecNo - 1 - Running));
      Running += Count;
    }
    No = L.RightPageNo();
  }
  throw EMdbException(20075, SRecNoTooLarge);
}

// ---- range scans -------------------------------------------------------------------------------------------

void* TMdbBTreeIndex::CreateSearchInfo() { return new TMdbBTreeSearchInfo(); }

void TMdbBTreeIndex::FreeSearchInfo(void* SearchInfo) { delete static_cast<TMdbBTreeSearchInfo*>(SearchInfo); }

bool TMdbBTreeIndex::FindConditionPosition(std::int32_t SessionID, bool First, const TMdbScanSearchCondition* Condition,
                                           std::int32_t FieldCount, TMdbKeyPath& Path) {
  Path.Clear();
  if (!HasTree()) return false;
  const Byte* Key = nullptr;
  if (Condition->KeyRecordBuffer) {
    Byte* K = ScratchKey(1);
    FKeyRef.MakeKeyFromRecordBuffer(static_cast<const Byte*>(Condition->KeyRecordBuffer), K);
    Key = K;
  }
  TFullCompare Restore(FKeyRef);
  FKeyRef.SetCompareFieldCount(FieldCount);
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  return Root.FindByCondition(SessionID, First, Key, Key ? Condition->Condition : scNone, Path);
}

bool TMdbBTreeIndex::PositionAtStart(std::int32_t SessionID, bool Restart, bool GoForward, TMdbScanSearchCondition* Start,
                                     Byte* RecordBuffer, const TMdbRecordID& RecordID, TMdbBTreeSearchInfo& Info,
                                     bool& Landed) {
  TMdbKeyPath& P = Info.Position;
  if (Start) {
    TMdbKeyPath StartPos;
    if (!FindConditionPosition(SessionID, GoForward, Start, Start->KeyFieldCount, StartPos)) return false;
    if (Restart) {
      P.Assign(StartPos);
      return true;
    }
    TMdbKeyPath Current;
    if (!GetIndexPosition(SessionID, RecordID, RecordBuffer, &Current)) return false;
    const std::int32_t c = Current.Compare(StartPos);
    if (GoForward ? c < 0 : c > 0) {
      // A scan continued from a record before its start begins at the start itself, in either
      // direction, and never yields what lies before it.
      P.Assign(StartPos);
      Landed = true;
    } else {
      P.Assign(Current);
    }
    return true;
  }
  if (Restart) return GoForward ? GetFirstIndexPosition(SessionID, P) : GetLastIndexPosition(SessionID, P);
  return GetIndexPosition(SessionID, RecordID, RecordBuffer, &P);
}

bool TMdbBTreeIndex::FindRecordStep(std::int32_t SessionID, bool Restart, bool GoForward, TMdbScanSearchCondition* Start,
                                    TMdbScanSearchCondition* End, Byte* RecordBuffer, TMdbRecordID& RecordID,
                                    TMdbBTreeSearchInfo& Info) {
  bool Landed = false;
  if (Restart || !Info.Started) {
    if (!PositionAtStart(SessionID, Restart, GoForward, Start, RecordBuffer, RecordID, Info, Landed)) return false;
    if (!Info.Started && Start) {
      const TMdbScanSearchCondition* E = End ? End : Start;
      auto EndPos = std::make_unique<TMdbKeyPath>();
      if (!FindConditionPosition(SessionID, !GoForward, E, E->KeyFieldCount, *EndPos)) return false;
      Info.EndPosition = std::move(EndPos);
    }
  }
  if (!Restart && !Landed && !(GoForward ? MoveNext(SessionID, Info.Position) : MovePrior(SessionID, Info.Position)))
    return false;
  if (Info.EndPosition) {
    const std::int32_t c = Info.Position.Compare(*Info.EndPosition);
    if (GoForward ? c > 0 : c < 0) return false;
  }
  GetReferenceAtPosition(SessionID, Info.Position, RecordID);
  if (!Info.Started) {
    Info.GoForward = GoForward;
    Info.Started = true;
  }
  return true;
}

bool TMdbBTreeIndex::FindRecord(std::int32_t SessionID, bool Restart, bool GoForward,
                                TMdbScanSearchCondition* StartScanCondition, TMdbScanSearchCondition* EndScanCondition,
                                Byte* RecordBuffer, TMdbRecordID& RecordID, void* SearchInfo) {
  if (SearchInfo == nullptr) throw EMdbException(20077, SMdbPointerIsNil);
  auto& Info = *static_cast<TMdbBTreeSearchInfo*>(SearchInfo);
  if (Restart && Info.Started) throw EMdbException(20078, SInvalidParams);
  if (!HasTree()) return false;
  LoadState();
  TFullCompare Restore(FKeyRef);
  return FindRecordStep(SessionID, Restart, GoForward, StartScanCondition, EndScanCondition, RecordBuffer, RecordID, Info);
}

Int64 TMdbBTreeIndex::GetApproxRangeRecordCount(std::int32_t SessionID, Int64 TableRecordCount,
                                                const TMdbScanSearchCondition* RangeCondition1,
                                                const TMdbScanSearchCondition* RangeCondition2) {
  if (!HasTree()) return 0;
  LoadState();
  const TMdbScanSearchCondition* Lower = RangeCondition1;
  const TMdbScanSearchCondition* Upper = RangeCondition2;
  if (Lower && Upper && CompareConditions(RangeCondition1, RangeCondition2) >= 0) std::swap(Lower, Upper);
  double A = 0.0, B = 1.0;
  std::int32_t FieldCount = Lower ? Lower->KeyFieldCount : (Upper ? Upper->KeyFieldCount : 0);
  TMdbKeyPath P;
  if (Lower) {
    if (!FindConditionPosition(SessionID, true, Lower, FieldCount, P)) return 0;
    A = P.GetApproxRecNoInPercents();
  }
  if (Upper) {
    if (!FindConditionPosition(SessionID, false, Upper, FieldCount, P)) return 0;
    B = P.GetApproxRecNoInPercents();
  }
  const auto R = static_cast<Int64>(std::llround((B - A) * double(TableRecordCount)));
  return std::clamp<Int64>(R, 0, TableRecordCount);
}

// ---- diagnostics -------------------------------------------------------------------------------------------

void TMdbBTreeIndex::CheckIntegrity(std::int32_t SessionID) {
  if (!HasTree()) return;
  LoadState();
  TMdbKeyPath Path;
  TMdbBTreePage Root(this, GetBTreePage(SessionID, FIndexDef.FRootPageNo));
  Root.CheckIntegrity(SessionID, Path);
}

// ---- registration and loaded pages -------------------------------------------------------------------------

void RegisterMdbBTreeIndex() {
  SetMdbIndexFactory([](TMdbBaseIndexManager* M) { return std::make_unique<TMdbBTreeIndex>(M); });
}

namespace {

std::int32_t HeaderInt32(const Byte* P, std::int32_t Offset) {
  std::int32_t V;
  std::memcpy(&V, P + Offset, 4);
  return V;
}
std::int32_t HeaderUInt16(const Byte* P, std::int32_t Offset) {
  std::uint16_t V;
  std::memcpy(&V, P + Offset, 2);
  return V;
}

}  // namespace

void CheckLoadedIndexPages(TMdbTableData* TableData, TMdbPageManager* PageManager, const TMdbIndexDefs& IndexDefs) {
  if (PageManager == nullptr) return;
  TMdbPage Scratch(PageManager, nullptr);
  Scratch.AllocPageBuffer();
  std::vector<bool> Seen;
  auto Bad = [](std::int32_t PageNo, std::int32_t EntryNo) { throw EMdbException(20028, SIntegrity, {PageNo, EntryNo}); };
  struct TItem {
    std::int32_t PageNo, Depth;
  };
  std::vector<TItem> Stack;
  std::vector<std::int32_t> Children;
  for (std::int32_t d = 0; d < IndexDefs.Count(); ++d) {
    const TMdbIndexDef& Def = *IndexDefs.GetDef(d);
    if (Def.FRootPageNo < 0) continue;
    TMdbBTreeKeyRef K;
    K.Assign(Def, TableData);
    std::int32_t LeafDepth = -1;
    Stack.assign(1, {Def.FRootPageNo, 0});
    while (!Stack.empty()) {
      const TItem It = Stack.back();
      Stack.pop_back();
      if (It.Depth >= kMaxKeyPathLevels) Bad(It.PageNo, 0);
      if (It.PageNo < 0) Bad(It.PageNo, 0);
      if (static_cast<std::size_t>(It.PageNo) >= Seen.size()) Seen.resize(static_cast<std::size_t>(It.PageNo) + 1);
      if (Seen[static_cast<std::size_t>(It.PageNo)]) Bad(It.PageNo, 0);
      Seen[static_cast<std::size_t>(It.PageNo)] = true;
      Scratch.SetPageNo(It.PageNo);
      try {
        PageManager->DirectReadPage(&Scratch);
      } catch (const EMdbException&) {
        Bad(It.PageNo, 0);
      }
      const Byte* B = Scratch.PageBuffer();
      const bool Leaf = B[1] != 0;
      const bool Root = B[0] != 0;
      const std::int32_t KeySize = HeaderUInt16(B, 12);
      const std::int32_t Count = HeaderUInt16(B, 14);
      if (Root != (It.Depth == 0) || B[11] != 0 || HeaderUInt16(B, 16) != 0 || KeySize != K.KeySize()) Bad(It.PageNo, 0);
      const std::int32_t EntrySize = KeySize + (Leaf ? kBTreeLeafReferenceSize : kBTreeNodeReferenceSize);
      if (Count > (Scratch.PageSize() - kBTreeNodeHeaderSize) / EntrySize) Bad(It.PageNo, Count);
      if (Leaf) {
        if (LeafDepth == -1) LeafDepth = It.Depth;
        if (LeafDepth != It.Depth) Bad(It.PageNo, 0);
        continue;
      }
      if (Count == 0) Bad(It.PageNo, 0);
      Children.clear();
      for (std::int32_t i = 0; i < Count; ++i)
        Children.push_back(HeaderInt32(B, kBTreeNodeHeaderSize + i * EntrySize + KeySize));
      for (auto c = Children.rbegin(); c != Children.rend(); ++c) Stack.push_back({*c, It.Depth + 1});
    }
  }
}
