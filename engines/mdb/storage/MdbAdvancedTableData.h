// The table data of a table that several sessions share: a table lock around every read and write,
// a record lock (U) from edit or delete to its end, and the bookkeeping that tells other sessions that
// the table changed. The memory table data builds on it.
//
// Contract:
// - A read takes S (outside a transaction) for the one operation, a write RW; a refused lock raises
//   the operation's own code with "Error - cannot lock table in '%s' mode, table name = '%s',
//   FInMemory = %s, SessionID = %d". The lock is always released again, also when the operation fails.
// - Between LockTable and UnlockTable the calling thread holds FSessionsSync, so the sessions of other
//   threads wait for the whole operation (unless DoNotLockThread).
// - Every data change outside a transaction ends in the commit step: the data state moves on, the
//   failure flag brackets the cache's ApplyChanges.
// - A failed insert, update or delete leaves records and keys exactly as they were: the keys already
//   changed are put back, the record manager's change is undone and the page changes are cancelled.
//   A refused post (constraints) sets the cursor's FErrorCode to -8 before the error goes on.
// - BLOB blocks: a posted record's blocks belong to the stored record only once the record is stored
//   (markers reset after AddRecord); a deleted record's blocks are freed only after the record manager
//   let the record go.
//
// - Inside a session's transaction the table joins it on first access (IRW kept until the end); the
//   first write makes the session the table's writer (another writer: 11943). The writer's changes
//   skip the commit step: index pages stay pending and record changes are noted, so that Commit
//   applies them and Rollback puts records, BLOBs and keys back as they were.
#pragma once

#include <cstdint>
#include <memory>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "engines/mdb/storage/MdbTableLockManager.h"

class TMdbAdvancedTableData : public TMdbTableData {
  VELLUM_CLASS(TMdbAdvancedTableData)
 public:
  explicit TMdbAdvancedTableData(TMdbDatabaseData* aDatabaseData);
  ~TMdbAdvancedTableData() override;

  // ---- virtual operations added --------------------------------------------------------------------
  virtual void ReloadMUD(std::int32_t SessionID);
  virtual void AfterDataChanged(std::int32_t) {}
  // Drops every record with its BLOB blocks (the descendant's record store).
  virtual void ClearAllRecords(std::int32_t SessionID);

  // ---- lock helpers (one call of the lock manager each) --------------------------------------------
  bool TryToLockTableIS(std::int32_t SessionID);
  bool TryToLockTableX(std::int32_t SessionID);
  bool TryToLockTableRW(std::int32_t SessionID);
  bool TryToLockTableS(std::int32_t SessionID, bool bInTransaction);
  bool TryToLockTableIRW(std::int32_t SessionID, bool bInTransaction);
  bool TryToLockRecordU(std::int32_t SessionID, const TMdbRecordID& RecordID);
  void TryToUnlockTableIS(std::int32_t SessionID);
  void TryToUnlockTableS(std::int32_t SessionID);
  void TryToUnlockTableIRW(std::int32_t SessionID);
  void TryToUnlockTableRW(std::int32_t SessionID);
  void TryToUnlockTableX(std::int32_t SessionID);
  void TryToUnlockRecordU(std::int32_t SessionID);
  bool RemoveAllSessionLocks(std::int32_t SessionID);
  bool TryToLockRWForCommit(std::int32_t SessionID);
  std::uint32_t GetMaxWaitLockTime() const;

  // ---- overridden operations -----------------------------------------------------------------------
  bool LockTable(bool bWriteMode, TMdbBaseSession* Session, std::int32_t& ErrorCode, bool DoNotLockThread) override;
  void UnlockTable(bool bWriteMode, TMdbBaseSession* Session, bool DoNotLockThread) override;
  bool FindRecord(TMdbCursor* Cursor, TMdbBaseExpression* SearchExpression, TMdbScanSearchCondition* KeyCondition,
                  bool Restart, bool GoForward, TMdbRecordID& ResultRecordID, TMdbRecordBitmap* RecordBitmap,
                  bool InternalCall, bool StopAtFirstFoundRecord) override;
  bool IsRecordExists(TMdbCursor* Cursor) override;
  TMdbGetRecordResult GetRecordBuffer(TMdbCursor* Cursor, TMdbGetRecordMode GetRecordMode) override;
  bool InsertRecord(TMdbCursor*& Cursor) override;
  bool DeleteRecord(TMdbCursor* Cursor) override;
  bool UpdateRecord(TMdbCursor* Cursor) override;
  void EditRecord(TMdbCursor* Cursor) override;
  void CancelRecord(TMdbCursor* Cursor, bool ToInsert) override;
  void DeleteVisibleRecords(TMdbCursor* Cursor) override;
  void UpdateVisibleRecords(TMdbCursor* Cursor, TMdbWideStringList* FieldNames, const std::vector<TMdbVariant*>& Values,
                            bool SkipFKCheck) override;
  Int64 GetRecordCount(TMdbCursor* Cursor, bool InternalCall) override;
  void SetRecNo(TMdbCursor* Cursor, Int64 RecNo) override;
  Int64 GetRecNo(TMdbCursor* Cursor) override;
  Int64 LastAutoincValue(std::int32_t FieldNo, TMdbBaseSession* Session) override;
  void SetLastAutoincValue(Int64 Value, std::int32_t FieldNo, TMdbCursor* Cursor) override;
  void ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2) override;

  // The end of a session's transaction for this table.
  void Commit(std::int32_t SessionID);
  void Rollback(std::int32_t SessionID);

  TMdbTableLockManager* LockManager() const { return FLockManager.get(); }
  std::uint32_t LockCount() const { return FLockCount; }
  std::int32_t TransactionSessionID() const { return FTransactionSessionID; }
  // Some session's open transaction lists the table: its rollback still needs the table's records.
  bool HeldByTransaction() const { return FTransactionCount != 0; }
  bool IsTableOpened() const { return FIsTableOpened; }

 protected:
  enum class TRecordChange : Byte { Insert, Update, Delete };
  // The writer's record changes, for its rollback: Old holds the stored bytes before an update or a
  // delete (nil for an insert). The memory table keeps them; the BLOB blocks they name stay alive.
  virtual void NoteRecordChange(TRecordChange, const TMdbRecordID&, const Byte*) {}
  // The table got a transaction writer.
  virtual void WriterStarted() {}
  // Puts the noted records back (newest first) and frees what the transaction added.
  virtual void UndoRecordChanges() {}
  // Keeps the changes: drops the notes and frees the blocks the changes replaced.
  virtual void ForgetRecordChanges() {}
  // Joins Session's transaction; True when the table joined now (11909 for another kind of session).
  bool AddToSessionTransaction(TMdbBaseSession* Session);

  // The commit step of a data change outside a transaction.
  void CommitStep(TMdbLastTableOperation Operation);
  // Used on every failure of a change: the pending page changes go, unless the session's transaction
  // owns them.
  void CancelChangesOutsideTransaction(std::int32_t SessionID);
  bool IsTransactionWriter(std::int32_t SessionID) const {
    return FTransactionSessionID != -1 && FTransactionSessionID == SessionID;
  }
  // Once a record is stored its BLOB blocks belong to it: the markers of the cursor's buffer and of the
  // stored copy read "not modified".
  virtual void ResetStoredBLOBMarkers(TMdbCursor* Cursor, const TMdbRecordID&) { SetBLOBValuesModified(false, Cursor); }
  [[noreturn]] void RaiseLockRefused(std::int32_t Code, const char16_t* Mode, std::int32_t SessionID) const;
  [[noreturn]] void RaiseRecordLockRefused(std::int32_t Code, std::int32_t SessionID, const TMdbRecordID& Id) const;
  void CheckNotOnEnds(TMdbCursor* Cursor, std::int32_t BOFCode, std::int32_t EOFCode) const;

  // A transaction's writer notes the set-oriented changes too, so that its rollback undoes them.
  void SetRecordChanging(TMdbCursor* Cursor, bool Update, const Byte* Old) override;
  // The change itself; the public operations wrap it in a transaction of its own when foreign-key
  // actions of the table change other records and the session has none open.
  bool PlainDeleteRecord(TMdbCursor* Cursor);
  bool PlainUpdateRecord(TMdbCursor* Cursor);
  void PlainDeleteVisibleRecords(TMdbCursor* Cursor);
  void PlainUpdateVisibleRecords(TMdbCursor* Cursor, TMdbWideStringList* FieldNames,
                                 const std::vector<TMdbVariant*>& Values, bool SkipFKCheck);
  // Some action constraint cascades or sets values on delete (update).
  bool ActionsChangeOtherRecords(bool ToUpdate) const;

  // Key upkeep over every index, undoing the indexes already changed when one fails.
  void InsertKeys(TMdbCursor* Cursor);
  void DeleteKeys(TMdbCursor* Cursor);
  void UpdateKeys(TMdbCursor* Cursor);
  bool HasIndexes() const;

  TMdbReadWriteThreadSyncBySingleCriticalSection FLockSync;
  std::uint32_t FLockCount = 0;
  TMdbReadWriteThreadSyncBySingleCriticalSection FSessionsSync;
  bool FMUDLoaded = false;
  std::uint32_t FMUDState = 0;
  bool FTransactionMUD = false;
  bool FIsTableOpened = false;
  TMdbReadWriteThreadSyncBySingleCriticalSection FTransactionSync;
  std::uint32_t FTransactionCount = 0;
  std::int32_t FTransactionSessionID = -1;
  std::unique_ptr<TMdbTableLockManager> FLockManager;
};
