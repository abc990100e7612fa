#include "engines/mdb/storage/MdbAdvancedTableData.h"

#include <cstring>
#include <optional>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTransaction.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SCannotLockTable[] =
    u"Error - cannot lock table in '%s' mode, table name = '%s', FInMemory = %s, SessionID = %d";
constexpr char16_t SCannotLockTableProbe[] = u"Error - cannot lock table in '%s' mode, table name = '%s', SessionID = %d";
constexpr char16_t SCannotLockRecord[] =
    u"Error editing record - cannot lock record in '%s' mode. TableName = '%s', InMemory = %s, SessionID = %d, PageNo = "
    u"%d, PageItemNo = %d";
constexpr char16_t SCursorOnBOF[] = u"Error in table '%s', inMemory = %s - cursor is on BOF position. SessionID = %d";
constexpr char16_t SCursorOnEOF[] = u"Error in table '%s', inMemory = %s - cursor is on EOF position. SessionID = %d";
constexpr char16_t SRecordDoesNotExist[] =
    u"Error in table '%s', inMemory = %s - record does not exist. ID = (%d, %d), SessionID = %d";
constexpr char16_t SInsertViewCheck[] =
    u"Error - cannot insert record in table '%s' from view '%s' with CHECK OPTION. Record with such field values does "
    u"not belong to this view.";
constexpr char16_t SUpdateViewCheck[] =
    u"Error - cannot update record in table '%s' from view '%s' with CHECK OPTION. Record with such field values does "
    u"not belong to this view.";
constexpr char16_t SNotLocalSession[] = u"Error - not a local session object, classname = %s";
constexpr char16_t SAnotherWriter[] =
    u"Error in table '%s', inMemory = %s - another transaction already started table writing. FTransactionID = %d, SessionID = %d";
constexpr char16_t SInvalidRecordCount[] = u"Invalid record count = %d. Limit is %d";
constexpr char16_t SInvalidFieldNo[] = u"Invalid field number - FieldNo = %d, FieldCount = %d";

const char16_t* TrueFalse(bool b) { return b ? u"True" : u"False"; }

std::int32_t SessionIdOf(const TMdbBaseSession* S) { return S ? S->SessionID : -1; }

// A table lock for one operation, released on every way out.
class TTableLockScope {
 public:
  TTableLockScope(TMdbTableData* Table, bool Write, TMdbBaseSession* Session, std::int32_t Code)
      : FTable(Table), FWrite(Write), FSession(Session) {
    std::int32_t c = Code;
    FTable->LockTable(FWrite, FSession, c, false);
  }
  ~TTableLockScope() {
    try {
      FTable->UnlockTable(FWrite, FSession, false);
    } catch (...) {
    }
  }
  TTableLockScope(const TTableLockScope&) = delete;
  TTableLockScope& operator=(const TTableLockScope&) = delete;

 private:
  TMdbTableData* FTable;
  bool FWrite;
  TMdbBaseSession* FSession;
};

// A cursor position kept in place (no allocation on the per-row paths).
struct TPlainPosition {
  bool First, Last;
  TMdbRecordID Id;
  explicit TPlainPosition(const TMdbCursor* C) : First(C->FirstPosition), Last(C->LastPosition), Id(C->CurrentRecordID) {}
  void RestoreTo(TMdbCursor* C) const {
    C->FirstPosition = First;
    C->LastPosition = Last;
    C->CurrentRecordID = Id;
  }
};

}  // namespace

TMdbAdvancedTableData::TMdbAdvancedTableData(TMdbDatabaseData* aDatabaseData) : TMdbTableData(aDatabaseData) {}

TMdbAdvancedTableData::~TMdbAdvancedTableData() { FLockManager.reset(); }

void TMdbAdvancedTableData::ReloadMUD(std::int32_t) {
  FMUDState = FTableState.TableState;
  FMUDLoaded = true;
}

void TMdbAdvancedTableData::ClearAllRecords(std::int32_t) { NotOverridden(u"ClearAllRecords"); }

// ---- lock helpers ----------------------------------------------------------------------------------------

bool TMdbAdvancedTableData::TryToLockTableIS(std::int32_t SessionID) {
  return FLockManager->LockTable(SessionID, ltIS, nullptr, false);
}
bool TMdbAdvancedTableData::TryToLockTableX(std::int32_t SessionID) {
  return FLockManager->LockTable(SessionID, ltX, nullptr, false);
}
bool TMdbAdvancedTableData::TryToLockTableRW(std::int32_t SessionID) {
  return FLockManager->LockTable(SessionID, ltRW, nullptr, false);
}
bool TMdbAdvancedTableData::TryToLockTableS(std::int32_t SessionID, bool bInTransaction) {
  return FLockManager->LockTable(SessionID, ltS, nullptr, bInTransaction);
}
bool TMdbAdvancedTableData::TryToLockTableIRW(std::int32_t SessionID, bool bInTransaction) {
  return FLockManager->LockTable(SessionID, ltIRW, nullptr, bInTransaction);
}
bool TMdbAdvancedTableData::TryToLockRecordU(std::int32_t SessionID, const TMdbRecordID& RecordID) {
  return FLockManager->LockTable(SessionID, ltU, &RecordID, false);
}
void TMdbAdvancedTableData::TryToUnlockTableIS(std::int32_t SessionID) { FLockManager->UnlockTable(SessionID, ltIS); }
void TMdbAdvancedTableData::TryToUnlockTableS(std::int32_t SessionID) { FLockManager->UnlockTable(SessionID, ltS); }
void TMdbAdvancedTableData::TryToUnlockTableIRW(std::int32_t SessionID) { FLockManager->UnlockTable(SessionID, ltIRW); }
void TMdbAdvancedTableData::TryToUnlockTableRW(std::int32_t SessionID) { FLockManager->UnlockTable(SessionID, ltRW); }
void TMdbAdvancedTableData::TryToUnlockTableX(std::int32_t SessionID) { FLockManager->UnlockTable(SessionID, ltX); }
void TMdbAdvancedTableData::TryToUnlockRecordU(std::int32_t SessionID) { FLockManager->UnlockTable(SessionID, ltU); }
bool TMdbAdvancedTableData::RemoveAllSessionLocks(std::int32_t SessionID) {
  return FLockManager->UnlockSessionAll(SessionID);
}
bool TMdbAdvancedTableData::TryToLockRWForCommit(std::int32_t SessionID) {
  return FLockManager->TryToLockRWForCommit(SessionID);
}
std::uint32_t TMdbAdvancedTableData::GetMaxWaitLockTime() const { return FLockManager->MaxWaitLockTime(); }

void TMdbAdvancedTableData::RaiseLockRefused(std::int32_t Code, const char16_t* Mode, std::int32_t SessionID) const {
  throw EMdbException(Code, SCannotLockTable, {String(Mode), FTableName, String(TrueFalse(FInMemory)), SessionID});
}

void TMdbAdvancedTableData::RaiseRecordLockRefused(std::int32_t Code, std::int32_t SessionID, const TMdbRecordID& Id) const {
  throw EMdbException(Code, SCannotLockRecord,
                      {String(u"U"), FTableName, String(TrueFalse(FInMemory)), SessionID, Id.PageNo, int(Id.PageItemNo)});
}

void TMdbAdvancedTableData::CheckNotOnEnds(TMdbCursor* Cursor, std::int32_t BOFCode, std::int32_t EOFCode) const {
  if (Cursor->FirstPosition)
    throw EMdbException(BOFCode, SCursorOnBOF, {FTableName, String(TrueFalse(FInMemory)), SessionIDOf(Cursor)});
  if (Cursor->LastPosition)
    throw EMdbException(EOFCode, SCursorOnEOF, {FTableName, String(TrueFalse(FInMemory)), SessionIDOf(Cursor)});
}

// ---- the table lock protocol -----------------------------------------------------------------------------

namespace {
// Only a local session opens transactions; any other kind of session is never inside one.
bool InSessionTransaction(TMdbBaseSession* Session) {
  const auto* L = dynamic_cast<const TMdbLocalSession*>(Session);
  return L != nullptr && L->Transaction() != nullptr;
}
}  // namespace

bool TMdbAdvancedTableData::AddToSessionTransaction(TMdbBaseSession* Session) {
  auto* L = dynamic_cast<TMdbLocalSession*>(Session);
  if (L == nullptr) throw EMdbException(11909, SNotLocalSession, {String(Session ? Session->ClassName() : u"nil")});
  return L->Transaction() != nullptr && L->Transaction()->AddTableData(this);
}

bool TMdbAdvancedTableData::LockTable(bool bWriteMode, TMdbBaseSession* Session, std::int32_t& ErrorCode,
                                      bool DoNotLockThread) {
  const std::int32_t Sid = SessionIdOf(Session);
  const bool InTransaction = InSessionTransaction(Session);
  // An exclusive table has one user: nothing to arbitrate, only the transaction to join.
  if (FExclusive) {
    if (InTransaction) {
      TMdbLockGuard G(FTransactionSync, true);
      if (FTransactionCount == 0) {
        FTransactionCount = 1;
        AddToSessionTransaction(Session);
      }
      if (bWriteMode && FTransactionSessionID == -1) {
        FTransactionSessionID = Sid;
        WriterStarted();
      }
    }
    return true;
  }
  bool Taken = false;
  bool Joined = false;
  if (InTransaction && !IsTransactionWriter(Sid)) {
    Joined = AddToSessionTransaction(Session);
    if (Joined && !FLockManager->LockTable(Sid, ltIRW, nullptr, true)) {
      // Left listed, the table would count as joined: the next access would skip the lock, and the
      // transaction's rollback would cancel page changes of the session that does hold the table.
      static_cast<TMdbLocalSession*>(Session)->Transaction()->RemoveTableData(this);
      RaiseLockRefused(ErrorCode, u"IRW", Sid);
    }
    TMdbLockGuard G(FTransactionSync, true);
    if (FTransactionSessionID == -1) {
      if (bWriteMode) {
        FTransactionSessionID = Sid;
        WriterStarted();
      }
    } else if (FTransactionSessionID != Sid && bWriteMode) {
      throw EMdbException(11943, SAnotherWriter, {FTableName, String(TrueFalse(FInMemory)), FTransactionSessionID, Sid});
    }
    if (Joined) ++FTransactionCount;
  } else if (!InTransaction && !IsTransactionWriter(Sid)) {
    const TMdbLockType Type = bWriteMode ? ltRW : ltS;
    if (!FLockManager->LockTable(Sid, Type, nullptr, false))
      RaiseLockRefused(ErrorCode, bWriteMode ? u"RW" : u"S", Sid);
    Taken = true;
  }
  const bool Writer = IsTransactionWriter(Sid);
  try {
    FSessionsSync.WaitAndLockForWrite();
  } catch (...) {
    if (Taken) FLockManager->UnlockTable(Sid, bWriteMode ? ltRW : ltS);
    throw;
  }
  try {
    TMdbLockGuard G(FLockSync, true);
    if (FLockCount == 0) {
      // The state of a memory table is the one in this object: nothing to fetch from a page manager.
      if (!FMUDLoaded || FTableState.TableState != FMUDState) {
        ReloadMUD(Sid);
        FMUDLoaded = true;
        FMUDState = FTableState.TableState;
      }
      FTransactionMUD = Writer;
    }
    ++FLockCount;
    // The transaction holds the table until it ends.
    if (Joined) ++FLockCount;
    if (Writer != FTransactionMUD) {
      ReloadMUD(Sid);
      FTransactionMUD = Writer;
    }
  } catch (...) {
    FSessionsSync.Unlock();
    if (Taken) FLockManager->UnlockTable(Sid, bWriteMode ? ltRW : ltS);
    throw;
  }
  if (DoNotLockThread) FSessionsSync.Unlock();
  return true;
}

void TMdbAdvancedTableData::UnlockTable(bool bWriteMode, TMdbBaseSession* Session, bool DoNotLockThread) {
  if (FExclusive) return;
  const std::int32_t Sid = SessionIdOf(Session);
  // Inside a transaction the locks stay until it ends.
  const bool InTransaction = InSessionTransaction(Session);
  if (!InTransaction && !IsTransactionWriter(Sid)) FLockManager->UnlockTable(Sid, bWriteMode ? ltRW : ltS);
  {
    TMdbLockGuard G(FLockSync, true);
    if (FLockCount > 0) --FLockCount;
  }
  if (!DoNotLockThread) FSessionsSync.Unlock();
}

// ---- the end of a transaction ----------------------------------------------------------------------------

void TMdbAdvancedTableData::Commit(std::int32_t SessionID) {
  if (IsTransactionWriter(SessionID)) {
    if (!FTransactionMUD && FIsTableOpened) ReloadMUD(SessionID);
    SetTableFailureFlag(true);
    ChangeTableState(ltoCommit);
    TableStateChanged();
    ApplyChanges(FTableState.TableState, dbstTableMetaData, FTableState.TableMetaDataState);
    SetTableFailureFlag(false);
    TableStateChanged();
    ForgetRecordChanges();
    FMUDState = FTableState.TableState;
    FMUDLoaded = true;
    FTransactionMUD = false;
  }
  {
    TMdbLockGuard G(FTransactionSync, true);
    FLockManager->FinishTransaction(SessionID);
    if (FTransactionSessionID == SessionID) FTransactionSessionID = -1;
    if (FTransactionCount > 0) --FTransactionCount;
  }
  {
    TMdbLockGuard G(FLockSync, true);
    if (FLockCount > 0) --FLockCount;
  }
  if (FCursorList.empty()) FreeIfNoSessionsConnected();
}

void TMdbAdvancedTableData::Rollback(std::int32_t SessionID) {
  const bool Writer = IsTransactionWriter(SessionID);
  if (Writer) {
    try {
      UndoRecordChanges();
    } catch (...) {
    }
  }
  try {
    CancelChanges();
  } catch (...) {
  }
  {
    TMdbLockGuard G(FTransactionSync, true);
    if (Writer) {
      TMdbLockGuard L(FLockSync, true);
      FTransactionSessionID = -1;
      if (FTransactionMUD && FIsTableOpened) {
        ReloadMUD(SessionID);
        FTransactionMUD = false;
      }
    }
    FLockManager->FinishTransaction(SessionID);
    if (FTransactionCount > 0) --FTransactionCount;
  }
  {
    TMdbLockGuard G(FLockSync, true);
    if (FLockCount > 0) --FLockCount;
  }
  if (FCursorList.empty()) FreeIfNoSessionsConnected();
}

// ---- the commit step and cancelling ----------------------------------------------------------------------

void TMdbAdvancedTableData::CommitStep(TMdbLastTableOperation Operation) {
  ChangeTableState(Operation);
  SetTableFailureFlag(true);
  TableStateChanged();
  ApplyChanges(FTableState.TableState, dbstNone, 0);
  SetTableFailureFlag(false);
  TableStateChanged();
}

void TMdbAdvancedTableData::CancelChangesOutsideTransaction(std::int32_t SessionID) {
  if (IsTransactionWriter(SessionID)) return;
  try {
    CancelChanges();
  } catch (...) {
  }
  ReloadMUD(SessionID);
}

void TMdbAdvancedTableData::ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2) {
  TMdbTableData::ApplyChanges(State1, StateType2, State2);
  FMUDState = State1;
  FMUDLoaded = true;
  FTransactionMUD = false;
}

// ---- keys ------------------------------------------------------------------------------------------------

bool TMdbAdvancedTableData::HasIndexes() const { return FIndexManager && FIndexManager->IndexDefs().Count() > 0; }

void TMdbAdvancedTableData::InsertKeys(TMdbCursor* Cursor) {
  TMdbIndexDefs& Defs = FIndexManager->IndexDefs();
  std::int32_t i = 0;
  try {
    for (; i < Defs.Count(); ++i) {
      TMdbIndexDef* D = Defs.GetDef(i);
      TMdbIndex* I = FIndexManager->OpenIndex(D->ObjectID());
      I->InsertRecord(Cursor);
      I->ClearIndexCache(-1);
      // The first key of an empty index allocates its root.
      if (I->IndexDef().FRootPageNo != D->FRootPageNo) D->FRootPageNo = I->IndexDef().FRootPageNo;
    }
  } catch (...) {
    for (std::int32_t j = i - 1; j >= 0; --j) {
      try {
        TMdbIndex* I = FIndexManager->OpenIndex(Defs.GetDef(j)->ObjectID());
        I->DeleteRecord(Cursor);
        I->ClearIndexCache(-1);
      } catch (...) {
      }
    }
    throw;
  }
}

void TMdbAdvancedTableData::DeleteKeys(TMdbCursor* Cursor) {
  TMdbIndexDefs& Defs = FIndexManager->IndexDefs();
  std::int32_t i = 0;
  try {
    for (; i < Defs.Count(); ++i) {
      TMdbIndex* I = FIndexManager->OpenIndex(Defs.GetDef(i)->ObjectID());
      I->DeleteRecord(Cursor);
      I->ClearIndexCache(-1);
    }
  } catch (...) {
    for (std::int32_t j = i - 1; j >= 0; --j) {
      try {
        TMdbIndex* I = FIndexManager->OpenIndex(Defs.GetDef(j)->ObjectID());
        I->InsertRecord(Cursor);
        I->ClearIndexCache(-1);
      } catch (...) {
      }
    }
    throw;
  }
}

void TMdbAdvancedTableData::UpdateKeys(TMdbCursor* Cursor) {
  TMdbIndexDefs& Defs = FIndexManager->IndexDefs();
  std::int32_t i = 0;
  try {
    for (; i < Defs.Count(); ++i) {
      TMdbIndex* I = FIndexManager->OpenIndex(Defs.GetDef(i)->ObjectID());
      I->UpdateRecord(Cursor);
      I->ClearIndexCache(-1);
    }
  } catch (...) {
    // The way back is the same change with old and new swapped.
    std::swap(Cursor->FCurrentRecordBuffer, Cursor->FEditRecordBuffer);
    for (std::int32_t j = i - 1; j >= 0; --j) {
      try {
        TMdbIndex* I = FIndexManager->OpenIndex(Defs.GetDef(j)->ObjectID());
        I->UpdateRecord(Cursor);
        I->ClearIndexCache(-1);
      } catch (...) {
      }
    }
    std::swap(Cursor->FCurrentRecordBuffer, Cursor->FEditRecordBuffer);
    throw;
  }
}

// ---- reads -----------------------------------------------------------------------------------------------

bool TMdbAdvancedTableData::FindRecord(TMdbCursor* Cursor, TMdbBaseExpression* SearchExpression,
                                       TMdbScanSearchCondition* KeyCondition, bool Restart, bool GoForward,
                                       TMdbRecordID& ResultRecordID, TMdbRecordBitmap* RecordBitmap, bool InternalCall,
                                       bool StopAtFirstFoundRecord) {
  if (InternalCall)
    return TMdbTableData::FindRecord(Cursor, SearchExpression, KeyCondition, Restart, GoForward, ResultRecordID,
                                     RecordBitmap, InternalCall, StopAtFirstFoundRecord);
  TTableLockScope L(this, false, Cursor->FSession, 11894);
  return TMdbTableData::FindRecord(Cursor, SearchExpression, KeyCondition, Restart, GoForward, ResultRecordID,
                                   RecordBitmap, InternalCall, StopAtFirstFoundRecord);
}

bool TMdbAdvancedTableData::IsRecordExists(TMdbCursor* Cursor) {
  TTableLockScope L(this, false, Cursor->FSession, 11895);
  return TMdbTableData::IsRecordExists(Cursor);
}

TMdbGetRecordResult TMdbAdvancedTableData::GetRecordBuffer(TMdbCursor* Cursor, TMdbGetRecordMode GetRecordMode) {
  TTableLockScope L(this, false, Cursor->FSession, 11896);
  return TMdbTableData::GetRecordBuffer(Cursor, GetRecordMode);
}

Int64 TMdbAdvancedTableData::GetRecordCount(TMdbCursor* Cursor, bool InternalCall) {
  if (InternalCall) return TMdbTableData::GetRecordCount(Cursor, InternalCall);
  TTableLockScope L(this, false, Cursor->FSession, 11902);
  return TMdbTableData::GetRecordCount(Cursor, InternalCall);
}

void TMdbAdvancedTableData::SetRecNo(TMdbCursor* Cursor, Int64 RecNo) {
  TTableLockScope L(this, false, Cursor->FSession, 11903);
  TMdbTableData::SetRecNo(Cursor, RecNo);
}

Int64 TMdbAdvancedTableData::GetRecNo(TMdbCursor* Cursor) {
  TTableLockScope L(this, false, Cursor->FSession, 11904);
  return TMdbTableData::GetRecNo(Cursor);
}

Int64 TMdbAdvancedTableData::LastAutoincValue(std::int32_t FieldNo, TMdbBaseSession* Session) {
  TTableLockScope L(this, false, Session, 11905);
  TMdbFieldDefs& Fields = FieldDefs();
  if (FieldNo < 0 || FieldNo >= Fields.Count()) throw EMdbException(11905, SInvalidFieldNo, {FieldNo, Fields.Count()});
  return FSequenceManager->GetLastVal(Session, Fields.GetDef(FieldNo)->FSequenceDefObjectId);
}

void TMdbAdvancedTableData::SetLastAutoincValue(Int64 Value, std::int32_t FieldNo, TMdbCursor* Cursor) {
  const std::int32_t Sid = SessionIDOf(Cursor);
  TTableLockScope L(this, true, Cursor->FSession, 11906);
  try {
    TMdbFieldDefs& Fields = FieldDefs();
    if (FieldNo < 0 || FieldNo >= Fields.Count()) throw EMdbException(11906, SInvalidFieldNo, {FieldNo, Fields.Count()});
    FSequenceManager->GetSequenceDef(Fields.GetDef(FieldNo)->FSequenceDefObjectId)->FLastValue = Value;
    AfterDataChanged(Sid);
    ChangeTableState(ltoSetAutoInc);
    if (!IsTransactionWriter(Sid)) {
      SetTableFailureFlag(true);
      TableStateChanged();
      ApplyChanges(FTableState.TableState, dbstNone, 0);
      SetTableFailureFlag(false);
      TableStateChanged();
    }
  } catch (...) {
    if (!IsTransactionWriter(Sid)) {
      try {
        CancelChanges();
      } catch (...) {
      }
    }
    ReloadMUD(Sid);
    throw;
  }
}

// ---- changes ---------------------------------------------------------------------------------------------

bool TMdbAdvancedTableData::InsertRecord(TMdbCursor*& Cursor) {
  if (!FRecordManager) throw EMdbException(10531, SNilPointer);
  if (Cursor->FCurrentRecordBuffer == nullptr) throw EMdbException(10532, SNilPointer);
  const std::int32_t Sid = SessionIDOf(Cursor);
  TTableLockScope L(this, true, Cursor->FSession, 11897);
  const TPlainPosition Before(Cursor);
  if (!Cursor->FDirectSetAutoInc) FFieldManager->ApplyAutoIncValuesToRecordBuffer(Cursor->FSession, Cursor->FCurrentRecordBuffer);
  try {
    CheckConstraints(Cursor, Sid, Cursor->FCurrentRecordBuffer, Cursor->FEditRecordBuffer, true, Cursor->CurrentRecordID,
                     false);
    if (Cursor->FIsViewWithCheckOption && !IsRecordVisible(Cursor))
      throw EMdbException(12578, SInsertViewCheck, {FTableName, Cursor->FViewName});
  } catch (...) {
    CancelChangesOutsideTransaction(Sid);
    Cursor->FErrorCode = -8;
    throw;
  }
  TMdbRecordID NewId;
  if (!FRecordManager->AddRecord(Cursor->FCurrentRecordBuffer, NewId, Sid)) {
    CancelChangesOutsideTransaction(Sid);
    return false;
  }
  Cursor->CurrentRecordID = NewId;
  try {
    if (HasIndexes()) InsertKeys(Cursor);
  } catch (...) {
    // The record goes again; its BLOB blocks stay with the cursor's buffer, which still owns them.
    TMdbRecordID Id = NewId;
    FRecordManager->DeleteRecord(Id, Sid);
    CancelChangesOutsideTransaction(Sid);
    Before.RestoreTo(Cursor);
    throw;
  }
  if (IsTransactionWriter(Sid)) NoteRecordChange(TRecordChange::Insert, NewId, nullptr);
  // Stored now: the blocks belong to the stored record.
  if (FBLOBFieldsPresent && FInMemory) ResetStoredBLOBMarkers(Cursor, NewId);
  try {
    AfterDataChanged(Sid);
    if (!IsTransactionWriter(Sid)) CommitStep(ltoInsert);
    Cursor->FirstPosition = Cursor->LastPosition = false;
    if (Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active()) {
      // Where the cursor stood before the insert, for a record the cursor does not show.
      Before.RestoreTo(Cursor);
      void* Pos = Cursor->SavePosition();
      Cursor->FirstPosition = Cursor->LastPosition = false;
      Cursor->CurrentRecordID = NewId;
      try {
        UpdateRecordBitmapAfterInsert(Cursor, Pos);
      } catch (...) {
        Cursor->FreePosition(Pos);
        throw;
      }
      Cursor->FreePosition(Pos);
    }
  } catch (...) {
    // The record is stored and its keys are in place: the table is consistent, only the bookkeeping
    // after it failed.
    CancelChangesOutsideTransaction(Sid);
    throw;
  }
  return true;
}

bool TMdbAdvancedTableData::PlainDeleteRecord(TMdbCursor* Cursor) {
  CheckNotOnEnds(Cursor, 11921, 11922);
  if (!FRecordManager) throw EMdbException(10560, SNilPointer);
  const std::int32_t Sid = SessionIDOf(Cursor);
  const TMdbRecordID Target = Cursor->CurrentRecordID;
  if (!TryToLockRecordU(Sid, Target)) RaiseRecordLockRefused(10562, Sid, Target);
  bool Result = false;
  try {
    TTableLockScope L(this, true, Cursor->FSession, 11898);
    try {
      if (!FRecordManager->IsRecordExists(Target, Sid))
        throw EMdbException(11923, SRecordDoesNotExist,
                            {FTableName, String(TrueFalse(FInMemory)), Target.PageNo, int(Target.PageItemNo), Sid});
      const TPlainPosition Before(Cursor);
      Byte* const Own = Cursor->FCurrentRecordBuffer;
      TMdbMemBlock Stored(CalcRecordSize(), true);
      TMdbMemBlock Scratch(Cursor->FRecordBufferSize > 0 ? Cursor->FRecordBufferSize : CalcRecordSize(), true);
      // The neighbour the cursor stands on afterwards: the next record, else the prior one.
      bool HasNeighbour = false;
      TMdbRecordID Neighbour;
      Cursor->FCurrentRecordBuffer = Scratch.Get();
      try {
        if (TMdbTableData::GetRecordBuffer(Cursor, grmNext) == grrOK) {
          HasNeighbour = true;
          Neighbour = Cursor->CurrentRecordID;
        } else {
          Before.RestoreTo(Cursor);
          if (TMdbTableData::GetRecordBuffer(Cursor, grmPrior) == grrOK) {
            HasNeighbour = true;
            Neighbour = Cursor->CurrentRecordID;
          }
        }
      } catch (...) {
        Cursor->FCurrentRecordBuffer = Own;
        Before.RestoreTo(Cursor);
        throw;
      }
      Before.RestoreTo(Cursor);
      // The keys come out of the stored record, which a scratch buffer holds while they do.
      TMdbNavigationInfo N;
      N.SessionID = Sid;
      N.GetRecordMode = grmCurrent;
      N.RecordID = Target;
      N.RecordBuffer = Stored.Get();
      FRecordManager->GetRecordBuffer(N);
      if (N.GetRecordResult != grrOK) {
        Cursor->FCurrentRecordBuffer = Own;
        throw EMdbException(11923, SRecordDoesNotExist,
                            {FTableName, String(TrueFalse(FInMemory)), Target.PageNo, int(Target.PageItemNo), Sid});
      }
      Cursor->FCurrentRecordBuffer = Stored.Get();
      try {
        // A child that forbids the delete is found before anything changes.
        if (FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsDeleteExists())
          RunForeignKeyActions(Cursor, false, TForeignKeyActions::RestrictOnly);
        if (HasIndexes()) DeleteKeys(Cursor);
        TMdbRecordID Id = Target;
        if (!FRecordManager->DeleteRecord(Id, Sid)) {
          if (HasIndexes()) {
            // Keys back as they were.
            TMdbIndexDefs& Defs = FIndexManager->IndexDefs();
            for (std::int32_t i = 0; i < Defs.Count(); ++i) {
              TMdbIndex* I = FIndexManager->OpenIndex(Defs.GetDef(i)->ObjectID());
              I->InsertRecord(Cursor);
              I->ClearIndexCache(-1);
            }
          }
          Cursor->FCurrentRecordBuffer = Own;
          CancelChangesOutsideTransaction(Sid);
          return false;
        }
      } catch (...) {
        Cursor->FCurrentRecordBuffer = Own;
        throw;
      }
      Cursor->FCurrentRecordBuffer = Own;
      if (IsTransactionWriter(Sid)) NoteRecordChange(TRecordChange::Delete, Target, Stored.Get());
      // Only now that the record is gone do its BLOB blocks go.
      ClearBLOBFieldsInRecordBuffer(Stored.Get());
      Result = true;
      if (FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsDeleteExists())
        RunForeignKeyActions(Cursor, false, TForeignKeyActions::AllButRestrict);
      AfterDataChanged(Sid);
      if (!IsTransactionWriter(Sid)) CommitStep(ltoDelete);
      if (Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active() && Cursor->FRecordBitmap->IsRecordVisible(Target))
        Cursor->FRecordBitmap->HideRecord(Target);
      if (FRecordManager->GetRecordCount() == 0 || !HasNeighbour) {
        Cursor->InternalFirst();
      } else {
        Cursor->FirstPosition = Cursor->LastPosition = false;
        Cursor->CurrentRecordID = Neighbour;
      }
    } catch (...) {
      CancelChangesOutsideTransaction(Sid);
      throw;
    }
  } catch (...) {
    try {
      TryToUnlockRecordU(Sid);
    } catch (...) {
    }
    throw;
  }
  TryToUnlockRecordU(Sid);
  return Result;
}

bool TMdbAdvancedTableData::PlainUpdateRecord(TMdbCursor* Cursor) {
  CheckNotOnEnds(Cursor, 11917, 11918);
  if (!FRecordManager) throw EMdbException(10560, SNilPointer);
  const std::int32_t Sid = SessionIDOf(Cursor);
  TTableLockScope L(this, true, Cursor->FSession, 11899);
  const TMdbRecordID Target = Cursor->CurrentRecordID;
  if (!FRecordManager->IsRecordExists(Target, Sid))
    throw EMdbException(11916, SRecordDoesNotExist,
                        {FTableName, String(TrueFalse(FInMemory)), Target.PageNo, int(Target.PageItemNo), Sid});
  try {
    CheckConstraints(Cursor, Sid, Cursor->FCurrentRecordBuffer, Cursor->FEditRecordBuffer, false, Target, false);
    if (Cursor->FIsViewWithCheckOption && !IsRecordVisible(Cursor))
      throw EMdbException(12579, SUpdateViewCheck, {FTableName, Cursor->FViewName});
  } catch (...) {
    CancelChangesOutsideTransaction(Sid);
    Cursor->FErrorCode = -8;
    throw;
  }
  const bool UpdateActions = FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsUpdateExists();
  try {
    // A child that forbids changing the key is found before anything changes.
    if (UpdateActions) RunForeignKeyActions(Cursor, true, TForeignKeyActions::RestrictOnly);
  } catch (...) {
    CancelChangesOutsideTransaction(Sid);
    throw;
  }
  try {
    // The writer of a transaction keeps the stored bytes for its rollback.
    std::optional<TMdbMemBlock> Undo;
    if (IsTransactionWriter(Sid)) {
      Undo.emplace(CalcRecordSize(), true);
      TMdbNavigationInfo N;
      N.SessionID = Sid;
      N.GetRecordMode = grmCurrent;
      N.RecordID = Target;
      N.RecordBuffer = Undo->Get();
      FRecordManager->GetRecordBuffer(N);
    }
    const bool Keys = HasIndexes();
    if (Keys) {
      // The old keys come from the stored record, whatever the cursor's edit buffer holds.
      TMdbMemBlock Old(Cursor->FRecordBufferSize > 0 ? Cursor->FRecordBufferSize : CalcRecordSize(), true);
      TMdbNavigationInfo N;
      N.SessionID = Sid;
      N.GetRecordMode = grmCurrent;
      N.RecordID = Target;
      N.RecordBuffer = Old.Get();
      FRecordManager->GetRecordBuffer(N);
      Byte* const Edit = Cursor->FEditRecordBuffer;
      Cursor->FEditRecordBuffer = Old.Get();
      try {
        UpdateKeys(Cursor);
      } catch (...) {
        Cursor->FEditRecordBuffer = Edit;
        throw;
      }
      if (!FRecordManager->UpdateRecord(Cursor->FCurrentRecordBuffer, Target, Sid)) {
        std::swap(Cursor->FCurrentRecordBuffer, Cursor->FEditRecordBuffer);
        try {
          UpdateKeys(Cursor);
        } catch (...) {
        }
        std::swap(Cursor->FCurrentRecordBuffer, Cursor->FEditRecordBuffer);
        Cursor->FEditRecordBuffer = Edit;
        CancelChangesOutsideTransaction(Sid);
        return false;
      }
      Cursor->FEditRecordBuffer = Edit;
    } else if (!FRecordManager->UpdateRecord(Cursor->FCurrentRecordBuffer, Target, Sid)) {
      CancelChangesOutsideTransaction(Sid);
      return false;
    }
    if (Undo) NoteRecordChange(TRecordChange::Update, Target, Undo->Get());
    if (UpdateActions) RunForeignKeyActions(Cursor, true, TForeignKeyActions::AllButRestrict);
    if (FBLOBFieldsPresent && FInMemory) ResetStoredBLOBMarkers(Cursor, Target);
    AfterDataChanged(Sid);
    if (!IsTransactionWriter(Sid)) CommitStep(ltoUpdate);
    if (Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active()) UpdateRecordBitmapAfterUpdate(Cursor);
    TryToUnlockRecordU(Sid);
  } catch (...) {
    CancelChangesOutsideTransaction(Sid);
    throw;
  }
  return true;
}

void TMdbAdvancedTableData::EditRecord(TMdbCursor* Cursor) {
  CheckNotOnEnds(Cursor, 11919, 11920);
  const std::int32_t Sid = SessionIDOf(Cursor);
  if (!IsTransactionWriter(Sid)) {
    // A probe: no other session is writing the table right now.
    if (!TryToLockTableIRW(Sid, false)) throw EMdbException(10552, SCannotLockTableProbe, {String(u"IRW"), FTableName, Sid});
    TryToUnlockTableIRW(Sid);
  }
  if (!TryToLockRecordU(Sid, Cursor->CurrentRecordID)) RaiseRecordLockRefused(10583, Sid, Cursor->CurrentRecordID);
}

void TMdbAdvancedTableData::CancelRecord(TMdbCursor* Cursor, bool ToInsert) {
  TMdbTableData::CancelRecord(Cursor, ToInsert);
  if (!ToInsert) TryToUnlockRecordU(SessionIDOf(Cursor));
}

void TMdbAdvancedTableData::PlainDeleteVisibleRecords(TMdbCursor* Cursor) {
  const std::int32_t Sid = SessionIDOf(Cursor);
  TTableLockScope L(this, true, Cursor->FSession, 11900);
  try {
    const Int64 Total = InternalGetRecordCount();
    const bool Filtered = Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active();
    const Int64 Visible = Filtered ? Cursor->FRecordBitmap->GetRecordCount() : Total;
    if (Visible == 0) return;
    if (Total < Visible) throw EMdbException(11311, SInvalidRecordCount, {Visible, Total});
    const bool Actions = FConstraintManager && FConstraintManager->ConstraintDefs().ForeignKeysActionsDeleteExists();
    // A transaction's writer deletes record by record: each deletion can be undone.
    if (Visible < Total || Actions || IsTransactionWriter(Sid)) {
      TMdbTableData::DeleteVisibleRecords(Cursor);
    } else if (FInMemory) {
      ClearAllRecords(Sid);
      if (FIndexManager) FIndexManager->EmptyAllIndexes(Sid);
    } else {
      FRecordManager->Empty(Sid);
      if (FIndexManager) FIndexManager->EmptyAllIndexes(Sid);
    }
    AfterDataChanged(Sid);
    if (!IsTransactionWriter(Sid)) CommitStep(ltoDelete);
    Cursor->InternalFirst();
  } catch (...) {
    CancelChangesOutsideTransaction(Sid);
    throw;
  }
}

void TMdbAdvancedTableData::PlainUpdateVisibleRecords(TMdbCursor* Cursor, TMdbWideStringList* FieldNames,
                                                      const std::vector<TMdbVariant*>& Values, bool SkipFKCheck) {
  const std::int32_t Sid = SessionIDOf(Cursor);
  TTableLockScope L(this, true, Cursor->FSession, 11901);
  try {
    TMdbTableData::UpdateVisibleRecords(Cursor, FieldNames, Values, SkipFKCheck);
    AfterDataChanged(Sid);
    if (!IsTransactionWriter(Sid)) CommitStep(ltoUpdate);
  } catch (...) {
    CancelChangesOutsideTransaction(Sid);
    throw;
  }
}

// ---- changes that reach other tables -------------------------------------------------------------------

namespace {

// Outside a transaction, a change whose foreign-key actions change other tables runs in a transaction
// of its own: when an action fails half-way (a child refusing its new key, say), the rollback puts
// back the parent and every child already changed.
class TImplicitTransaction {
 public:
  TImplicitTransaction(TMdbBaseSession* Session, bool Needed) {
    auto* L = dynamic_cast<TMdbLocalSession*>(Session);
    if (!Needed || L == nullptr || L->GetInTransaction() || L->DatabaseData() == nullptr ||
        L->DatabaseData()->FTemporary)
      return;
    L->StartTransaction();
    FSession = L;
  }
  ~TImplicitTransaction() {
    if (!FSession) return;
    try {
      FSession->Rollback();
    } catch (...) {
    }
  }
  void Commit() {
    if (!FSession) return;
    TMdbLocalSession* S = FSession;
    FSession = nullptr;
    S->Commit(false);
  }

 private:
  TMdbLocalSession* FSession = nullptr;
};

}  // namespace

bool TMdbAdvancedTableData::ActionsChangeOtherRecords(bool ToUpdate) const {
  if (!FConstraintManager) return false;
  const TMdbConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  if (!Defs.ForeignKeysActionsExists) return false;
  for (std::int32_t i = 0; i < Defs.Count(); ++i) {
    if (Defs.GetDef(i)->ConstraintType() != ctFKAction) continue;
    const auto* A = static_cast<const TMdbConstraintDefForeignKeyAction*>(Defs.GetDef(i));
    const TMdbConstraintForeignKeyAction Action = ToUpdate ? A->UpdateAction : A->DeleteAction;
    if (Action != cfkaDefault && Action != cfkaNoAction) return true;
  }
  return false;
}

bool TMdbAdvancedTableData::DeleteRecord(TMdbCursor* Cursor) {
  TImplicitTransaction T(Cursor->FSession, ActionsChangeOtherRecords(false));
  const bool R = PlainDeleteRecord(Cursor);
  T.Commit();
  return R;
}

bool TMdbAdvancedTableData::UpdateRecord(TMdbCursor* Cursor) {
  TImplicitTransaction T(Cursor->FSession, ActionsChangeOtherRecords(true));
  const bool R = PlainUpdateRecord(Cursor);
  T.Commit();
  return R;
}

void TMdbAdvancedTableData::DeleteVisibleRecords(TMdbCursor* Cursor) {
  TImplicitTransaction T(Cursor->FSession, ActionsChangeOtherRecords(false));
  PlainDeleteVisibleRecords(Cursor);
  T.Commit();
}

void TMdbAdvancedTableData::UpdateVisibleRecords(TMdbCursor* Cursor, TMdbWideStringList* FieldNames,
                                                 const std::vector<TMdbVariant*>& Values, bool SkipFKCheck) {
  TImplicitTransaction T(Cursor->FSession, ActionsChangeOtherRecords(true));
  PlainUpdateVisibleRecords(Cursor, FieldNames, Values, SkipFKCheck);
  T.Commit();
}

void TMdbAdvancedTableData::SetRecordChanging(TMdbCursor* Cursor, bool Update, const Byte* Old) {
  if (IsTransactionWriter(SessionIDOf(Cursor)))
    NoteRecordChange(Update ? TRecordChange::Update : TRecordChange::Delete, Cursor->CurrentRecordID, Old);
}
