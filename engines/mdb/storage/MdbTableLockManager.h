// The table-level lock manager of one table with locking: which locks each session holds on the table
// and on one of its records, whether a request can be granted, the queue of waiting requests ordered
// by how long they have waited, and the locks kept for a session's transaction until it ends.
//
// Contract:
// - Sessions are identified by their session id. A refused lock is a result: every lock operation
//   returns False after its wait, and the caller raises its own error. Nothing here raises except
//   construction without an owner (11944).
// - A request waits at most MaxWaitLockTime ms (1,000 for in-memory databases; settable so that tests
//   and callers with other limits need not wait the full second), polling with short sleeps.
// - Locks taken inside a transaction (IS, S, IRW, RW) are remembered per session: asking again is
//   granted at once, and FinishTransaction releases them in the order RW, IRW, S, IS.
// - A session record lives while the session holds any lock or waits for one. (Freeing it while it
//   still held S, IRW, RW or U would leave those marked in the table's lock state for good.)
// - Unlocking and finishing a transaction swallow failures so that locks are always released as far
//   as possible.
//
// Concurrency: FThreadSync guards the session records, both session lists and the table lock state;
// FThreadSyncTransactions guards the transaction records. The two are never held at the same time,
// and a waiting request holds neither while it sleeps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbTypes.h"

class TMdbTableData;

#pragma pack(push, 1)
struct TMdbTransactionLockInfo {
  std::int32_t SessionID = 0;
  bool IS = false;
  bool S = false;
  bool IRW = false;
  bool RW = false;
};
#pragma pack(pop)
static_assert(sizeof(TMdbTransactionLockInfo) == 8);
static_assert(sizeof(TMdbSessionLockInfo) == 31);

inline constexpr std::uint32_t kMdbMemoryLockWaitTime = 1000;

class TMdbTableLockManager : public TObject {
  VELLUM_CLASS(TMdbTableLockManager)
 public:
  // Consulted only in file-server mode, which no table of this engine uses.
  using TLockHook = std::function<bool(TMdbSessionLockInfo&)>;
  using TUnlockHook = std::function<void(TMdbSessionLockInfo&)>;

  // aTableData nullptr raises 11944.
  TMdbTableLockManager(TMdbTableData* aTableData, bool aFileServer);
  ~TMdbTableLockManager() override;
  TMdbTableLockManager(const TMdbTableLockManager&) = delete;
  TMdbTableLockManager& operator=(const TMdbTableLockManager&) = delete;

  // PRecordID is the record of a U request, nullptr otherwise.
  bool LockTable(std::int32_t SessionID, TMdbLockType LockType, const TMdbRecordID* PRecordID, bool bInTransaction);
  void UnlockTable(std::int32_t SessionID, TMdbLockType LockType);
  // Releases every lock of the session; always False.
  bool UnlockSessionAll(std::int32_t SessionID);
  // One attempt to take RW for the session's transaction before its commit.
  bool TryToLockRWForCommit(std::int32_t SessionID);
  void FinishTransaction(std::int32_t SessionID);

  bool FileServer() const { return FFileServer; }
  std::uint32_t MaxWaitLockTime() const { return FMaxWaitLockTime; }
  void SetMaxWaitLockTime(std::uint32_t Ms) { FMaxWaitLockTime = Ms; }
  // Where the owner keeps the session id of its transaction writer (-1 none); nullptr = none.
  void SetTransactionSessionIDSource(const std::int32_t* Source) { FTransactionSessionID = Source; }

  TLockHook LockTableInFileServer;
  TUnlockHook UnlockTableInFileServer;
  TUnlockHook ClearWaitLevelInFileServer;

  // Snapshots for diagnostics and tests.
  TMdbTableLockInfo TableLockInfo() const;
  std::size_t SessionLockCount() const;
  std::size_t WaitingCount() const;
  bool HasTransactionLocks(std::int32_t SessionID) const;

 private:
  using TRecord = TMdbSessionLockInfo;

  TRecord* FindRecord(std::int32_t SessionID) const;
  bool IsLockHeld(const TRecord& R, TMdbLockType LockType) const;
  bool IsLockCompatible(const TRecord& R, TMdbLockType LockType, const TMdbRecordID& RecordID) const;
  static bool IsWaitCompatible(const TRecord& R, const TRecord& W);
  static bool HasWaitPrecedence(const TRecord& R, const TRecord& W);
  bool HasPriorWaiter(const TRecord& R) const;
  Byte WaitLevel(const TRecord& R) const;
  std::uint32_t GetRetryDelay(Byte Level) const;
  void GrantLock(TRecord& R, TMdbLockType LockType);
  void ReleaseLock(TRecord& R, TMdbLockType LockType, bool All);
  // One attempt under FThreadSync; R is found or created. Wait state is set as for a waiter.
  bool TryLock(std::int32_t SessionID, TMdbLockType LockType, TRecord*& R, const TMdbRecordID& RecordID);
  void RemoveWaiting(TRecord* R);
  void FreeRecord(TRecord* R);
  static bool HoldsAnything(const TRecord& R);
  // Caller holds FThreadSync; Trans is a copy of the session's transaction record when it has one.
  void InternalUnlock(TRecord* R, bool All, TMdbLockType LockType, const TMdbTransactionLockInfo* Trans,
                      TMdbTransactionLockInfo* TransFlagsToSet);
  TMdbTransactionLockInfo* FindTransaction(std::int32_t SessionID) const;
  void SetTransactionFlags(std::int32_t SessionID, const TMdbTransactionLockInfo& Flags);

  TMdbReadWriteThreadSyncBySingleCriticalSection FThreadSync;
  TMdbReadWriteThreadSyncBySingleCriticalSection FThreadSyncTransactions;
  TMdbReadWriteThreadSyncBySingleCriticalSection FThreadSyncLockTable;
  bool FFileServer;
  std::uint32_t FMaxWaitLockTime = kMdbMemoryLockWaitTime;
  std::uint32_t FNormalDelay = 1;
  std::uint32_t FShortDelay = 0;
  std::uint32_t FMinDelay = 0;
  TMdbTableData* LTableData;
  const std::int32_t* FTransactionSessionID = nullptr;
  TMdbTableLockInfo FTableLockInfo;
  std::vector<std::unique_ptr<TRecord>> FSessionLocks;
  std::vector<TRecord*> FWaitingSessionLocks;
  std::vector<std::unique_ptr<TMdbTransactionLockInfo>> FTransactionLocks;
};
