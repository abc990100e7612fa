#include "engines/mdb/storage/MdbTableLockManager.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

bool KeptForTransaction(TMdbLockType T) { return T == ltIS || T == ltS || T == ltIRW || T == ltRW; }

bool TransactionFlag(const TMdbTransactionLockInfo& I, TMdbLockType T) {
  switch (T) {
    case ltIS: return I.IS;
    case ltS: return I.S;
    case ltIRW: return I.IRW;
    case ltRW: return I.RW;
    default: return false;
  }
}

void SetTransactionFlag(TMdbTransactionLockInfo& I, TMdbLockType T) {
  switch (T) {
    case ltIS: I.IS = true; break;
    case ltS: I.S = true; break;
    case ltIRW: I.IRW = true; break;
    case ltRW: I.RW = true; break;
    default: break;
  }
}

void SleepMs(std::uint32_t Ms) {
  if (Ms == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

}  // namespace

TMdbTableLockManager::TMdbTableLockManager(TMdbTableData* aTableData, bool aFileServer)
    : FFileServer(aFileServer), LTableData(aTableData) {
  if (aTableData == nullptr) throw EMdbException(11944, SMdbNilPointer);
  // In-memory databases wait one second at most and retry every millisecond; the fast first retries
  // come from GetRetryDelay.
  FMaxWaitLockTime = kMdbMemoryLockWaitTime;
  FNormalDelay = 1;
  FTableLockInfo.LockXSessionID = -1;
  FTableLockInfo.LockIRWSessionID = -1;
  FTableLockInfo.LockRWSessionID = -1;
}

TMdbTableLockManager::~TMdbTableLockManager() {
  TMdbLockGuard G(FThreadSync, true);
  for (auto& R : FSessionLocks) {
    try {
      InternalUnlock(R.get(), true, ltIS, nullptr, nullptr);
    } catch (...) {
    }
  }
  FWaitingSessionLocks.clear();
  FSessionLocks.clear();
  FTransactionLocks.clear();
}

// ---- lookups -----------------------------------------------------------------------------------------

TMdbTableLockManager::TRecord* TMdbTableLockManager::FindRecord(std::int32_t SessionID) const {
  for (const auto& R : FSessionLocks)
    if (R->SessionID == SessionID) return R.get();
  return nullptr;
}

TMdbTransactionLockInfo* TMdbTableLockManager::FindTransaction(std::int32_t SessionID) const {
  for (const auto& T : FTransactionLocks)
    if (T->SessionID == SessionID) return T.get();
  return nullptr;
}

bool TMdbTableLockManager::HoldsAnything(const TRecord& R) {
  return R.NumLocksIS > 0 || R.NumLocksS > 0 || R.NumLocksIRW > 0 || R.LockRW || R.LockU || R.LockX;
}

// ---- decisions ---------------------------------------------------------------------------------------

bool TMdbTableLockManager::IsLockHeld(const TRecord& R, TMdbLockType LockType) const {
  if (R.LockX) return true;
  switch (LockType) {
    case ltIS: return R.NumLocksIS > 0;
    case ltRW: return R.LockRW;
    case ltIRW: return R.NumLocksIRW > 0 || R.LockRW;
    case ltS: return R.NumLocksS > 0 || R.NumLocksIRW > 0 || R.LockRW;
    default: return false;
  }
}

bool TMdbTableLockManager::IsLockCompatible(const TRecord& R, TMdbLockType LockType, const TMdbRecordID& RecordID) const {
  const TMdbTableLockInfo& T = FTableLockInfo;
  switch (LockType) {
    case ltIS: return R.NumLocksIS > 0 || T.LockXSessionID == -1;
    case ltS: return R.NumLocksS > 0 || T.LockRWSessionID == -1;
    case ltIRW: return R.NumLocksIRW > 0 || (T.LockIRWSessionID == -1 && T.LockRWSessionID == -1);
    case ltRW: {
      if (T.LockRWSessionID != -1) return false;
      if (T.LockIRWSessionID != -1 && T.LockIRWSessionID != R.SessionID) return false;
      if (T.NumLockS == 0) return true;
      if (R.NumLocksS == 0) return false;
      return std::none_of(FSessionLocks.begin(), FSessionLocks.end(),
                          [&](const auto& O) { return O.get() != &R && O->NumLocksS > 0; });
    }
    case ltU:
      return std::none_of(FSessionLocks.begin(), FSessionLocks.end(), [&](const auto& O) {
        return O.get() != &R && O->LockU && O->LockedRecordID == RecordID;
      });
    case ltX: return T.LockXSessionID == -1 && T.NumLockIS <= R.NumLocksIS;
  }
  return false;
}

bool TMdbTableLockManager::IsWaitCompatible(const TRecord& R, const TRecord& W) {
  if (&R == &W) return true;
  switch (R.WaitLockType) {
    case ltIS: return !W.LockX;
    case ltS:
    case ltIRW:
    case ltRW: return W.WaitLockType == ltIS || W.WaitLockType == ltU || W.WaitLockType == ltX;
    case ltU: return (W.LockU && !(W.LockedRecordID == R.LockedRecordID)) || (!W.LockU && !W.LockX);
    case ltX: return false;
  }
  return false;
}

bool TMdbTableLockManager::HasWaitPrecedence(const TRecord& R, const TRecord& W) {
  if (R.WaitLockType == ltX && W.WaitLockType == ltIS) return true;
  if (R.WaitLockType == ltU || R.WaitLockType == ltIS) return false;
  return (R.NumLocksS > 0 && W.NumLocksS == 0) || R.NumLocksIRW > 0;
}

Byte TMdbTableLockManager::WaitLevel(const TRecord& R) const { return ProgressFromTicks(R.WaitTime, FMaxWaitLockTime); }

bool TMdbTableLockManager::HasPriorWaiter(const TRecord& R) const {
  const Byte Own = WaitLevel(R);
  for (const TRecord* W : FWaitingSessionLocks) {
    if (W == &R || HasWaitPrecedence(R, *W) || IsWaitCompatible(R, *W)) continue;
    if (WaitLevel(*W) > Own) return true;
  }
  return false;
}

std::uint32_t TMdbTableLockManager::GetRetryDelay(Byte Level) const {
  if (Level < 128) return FMaxWaitLockTime / 256 + 1;
  if (Level > 192) return FMinDelay;
  return FNormalDelay;
}

// ---- grant and release -------------------------------------------------------------------------------

void TMdbTableLockManager::GrantLock(TRecord& R, TMdbLockType LockType) {
  TMdbTableLockInfo& T = FTableLockInfo;
  switch (LockType) {
    case ltIS: ++R.NumLocksIS; ++T.NumLockIS; break;
    case ltS: ++R.NumLocksS; ++T.NumLockS; break;
    case ltIRW: ++R.NumLocksIRW; T.LockIRWSessionID = R.SessionID; break;
    case ltRW: R.LockRW = true; T.LockRWSessionID = R.SessionID; break;
    case ltX: R.LockX = true; T.LockXSessionID = R.SessionID; break;
    case ltU:
      // One U lock per session: a repeated grant moves it and must not count it twice, or the
      // table's U count would never return to 0.
      if (!R.LockU) ++T.NumLockU;
      R.LockU = true;
      break;
  }
}

void TMdbTableLockManager::ReleaseLock(TRecord& R, TMdbLockType LockType, bool All) {
  TMdbTableLockInfo& T = FTableLockInfo;
  auto DropCount = [All](std::uint32_t& Own, std::uint32_t& Table) {
    if (All) {
      Table = Own < Table ? Table - Own : 0;
      Own = 0;
    } else {
      if (Own > 0) --Own;
      if (Table > 0) --Table;
    }
  };
  switch (LockType) {
    case ltIS: DropCount(R.NumLocksIS, T.NumLockIS); break;
    case ltS: DropCount(R.NumLocksS, T.NumLockS); break;
    case ltIRW:
      if (All)
        R.NumLocksIRW = 0;
      else if (R.NumLocksIRW > 0)
        --R.NumLocksIRW;
      if (R.NumLocksIRW == 0 && T.LockIRWSessionID == R.SessionID) T.LockIRWSessionID = -1;
      break;
    case ltRW:
      R.LockRW = false;
      if (T.LockRWSessionID == R.SessionID) T.LockRWSessionID = -1;
      break;
    case ltX:
      R.LockX = false;
      if (T.LockXSessionID == R.SessionID) T.LockXSessionID = -1;
      break;
    case ltU:
      R.LockU = false;
      if (T.NumLockU > 0) --T.NumLockU;
      break;
  }
}

void TMdbTableLockManager::RemoveWaiting(TRecord* R) {
  R->IsWaiting = false;
  std::erase(FWaitingSessionLocks, R);
}

void TMdbTableLockManager::FreeRecord(TRecord* R) {
  std::erase(FWaitingSessionLocks, R);
  std::erase_if(FSessionLocks, [R](const auto& P) { return P.get() == R; });
}

bool TMdbTableLockManager::TryLock(std::int32_t SessionID, TMdbLockType LockType, TRecord*& R, const TMdbRecordID& RecordID) {
  TMdbLockGuard G(FThreadSync, true);
  if (R == nullptr) R = FindRecord(SessionID);
  // A request granted at its first attempt never waited: its start is stamped only when it must wait
  // (or when its wait level is needed against other waiters), which keeps the clock off the common path.
  bool Fresh = false;
  if (R == nullptr) {
    auto New = std::make_unique<TRecord>();
    New->SessionID = SessionID;
    New->IsWaiting = true;
    New->WaitLockType = LockType;
    if (LockType == ltU) New->LockedRecordID = RecordID;
    R = New.get();
    FSessionLocks.push_back(std::move(New));
    FWaitingSessionLocks.push_back(R);
    Fresh = true;
  } else if (!R->IsWaiting) {
    R->IsWaiting = true;
    R->WaitLockType = LockType;
    if (LockType == ltU) R->LockedRecordID = RecordID;
    FWaitingSessionLocks.push_back(R);
    Fresh = true;
  }
  bool Granted = IsLockHeld(*R, LockType);
  if (!Granted) {
    Granted = IsLockCompatible(*R, LockType, RecordID);
    if (Granted && FWaitingSessionLocks.size() > 1) {
      if (Fresh) {
        R->WaitTime = CurrentTickCount();
        Fresh = false;
      }
      Granted = !HasPriorWaiter(*R);
    }
    if (Granted && FFileServer && LockTableInFileServer) Granted = LockTableInFileServer(*R);
  }
  if (Granted) {
    RemoveWaiting(R);
    GrantLock(*R, LockType);
  } else if (Fresh) {
    R->WaitTime = CurrentTickCount();
  }
  return Granted;
}

// ---- operations --------------------------------------------------------------------------------------

bool TMdbTableLockManager::LockTable(std::int32_t SessionID, TMdbLockType LockType, const TMdbRecordID* PRecordID,
                                     bool bInTransaction) {
  const bool Kept = bInTransaction && KeptForTransaction(LockType);
  if (Kept) {
    TMdbLockGuard G(FThreadSyncTransactions, false);
    const TMdbTransactionLockInfo* T = FindTransaction(SessionID);
    if (T != nullptr && TransactionFlag(*T, LockType)) return true;
  }
  const TMdbRecordID RecordID = PRecordID ? *PRecordID : TMdbRecordID{};
  bool Granted = false;
  bool ShortSleep = false;
  for (;;) {
    TRecord* R = nullptr;
    if (TryLock(SessionID, LockType, R, RecordID)) {
      Granted = true;
      break;
    }
    std::uint32_t WaitTime = 0;
    Byte Level = 0;
    {
      TMdbLockGuard G(FThreadSync, true);
      WaitTime = R->WaitTime;
      Level = WaitLevel(*R);
    }
    if (TickDifference(CurrentTickCount(), WaitTime) > FMaxWaitLockTime) break;
    SleepMs(ShortSleep ? 1 : GetRetryDelay(Level));
    ShortSleep = !ShortSleep;
  }
  if (!Granted) {
    TMdbLockGuard G(FThreadSync, true);
    if (TRecord* R = FindRecord(SessionID)) {
      RemoveWaiting(R);
      if (HoldsAnything(*R)) {
        if (FFileServer && ClearWaitLevelInFileServer) ClearWaitLevelInFileServer(*R);
      } else {
        FreeRecord(R);
      }
    }
    return false;
  }
  if (Kept) {
    TMdbTransactionLockInfo Flags;
    SetTransactionFlag(Flags, LockType);
    SetTransactionFlags(SessionID, Flags);
  }
  return true;
}

void TMdbTableLockManager::SetTransactionFlags(std::int32_t SessionID, const TMdbTransactionLockInfo& Flags) {
  TMdbLockGuard G(FThreadSyncTransactions, true);
  TMdbTransactionLockInfo* T = FindTransaction(SessionID);
  if (T == nullptr) {
    auto New = std::make_unique<TMdbTransactionLockInfo>();
    New->SessionID = SessionID;
    T = New.get();
    FTransactionLocks.push_back(std::move(New));
  }
  T->IS = T->IS || Flags.IS;
  T->S = T->S || Flags.S;
  T->IRW = T->IRW || Flags.IRW;
  T->RW = T->RW || Flags.RW;
}

void TMdbTableLockManager::InternalUnlock(TRecord* R, bool All, TMdbLockType LockType, const TMdbTransactionLockInfo* Trans,
                                          TMdbTransactionLockInfo* TransFlagsToSet) {
  if (!All && Trans != nullptr && TransFlagsToSet != nullptr) {
    if (LockType == ltX) {
      // The session keeps the table for its transaction: while X is still held these attempts are
      // granted, so the transaction goes on with the weaker locks after X is gone.
      const TMdbRecordID None{};
      if (!Trans->IS && TryLock(R->SessionID, ltIS, R, None)) TransFlagsToSet->IS = true;
      const bool Writer = FTransactionSessionID != nullptr && *FTransactionSessionID == R->SessionID;
      if (Writer && !Trans->IRW) {
        if (TryLock(R->SessionID, ltIRW, R, None)) TransFlagsToSet->IRW = true;
      } else if (!Trans->S) {
        if (TryLock(R->SessionID, ltS, R, None)) TransFlagsToSet->S = true;
      }
      if (R->IsWaiting) RemoveWaiting(R);
    } else if (LockType == ltIS && R->NumLocksIS == 1) {
      // The last cursor of the session closed inside its transaction: the table stays open for the
      // transaction until it ends.
      TransFlagsToSet->IS = true;
      return;
    }
  }
  auto ReleaseIfHeld = [&](TMdbLockType T) {
    bool Held = false;
    switch (T) {
      case ltIS: Held = R->NumLocksIS > 0; break;
      case ltS: Held = R->NumLocksS > 0; break;
      case ltIRW: Held = R->NumLocksIRW > 0; break;
      case ltRW: Held = R->LockRW; break;
      case ltU: Held = R->LockU; break;
      case ltX: Held = R->LockX; break;
    }
    // Releasing a type the session does not hold would clear another session's table lock state.
    if (!Held) return;
    if (FFileServer && UnlockTableInFileServer && T != ltIS) UnlockTableInFileServer(*R);
    ReleaseLock(*R, T, All);
  };
  if (All) {
    for (TMdbLockType T : {ltIS, ltS, ltIRW, ltRW, ltU, ltX}) ReleaseIfHeld(T);
  } else {
    ReleaseIfHeld(LockType);
  }
}

void TMdbTableLockManager::UnlockTable(std::int32_t SessionID, TMdbLockType LockType) {
  try {
    std::unique_ptr<TMdbTransactionLockInfo> Trans;
    {
      TMdbLockGuard G(FThreadSyncTransactions, false);
      if (const TMdbTransactionLockInfo* T = FindTransaction(SessionID)) Trans = std::make_unique<TMdbTransactionLockInfo>(*T);
    }
    TMdbTransactionLockInfo NewFlags;
    {
      TMdbLockGuard G(FThreadSync, true);
      TRecord* R = FindRecord(SessionID);
      if (R == nullptr) return;
      InternalUnlock(R, false, LockType, Trans.get(), &NewFlags);
      if (!HoldsAnything(*R) && !R->IsWaiting) FreeRecord(R);
    }
    if (Trans && (NewFlags.IS || NewFlags.S || NewFlags.IRW || NewFlags.RW)) SetTransactionFlags(SessionID, NewFlags);
  } catch (...) {
  }
}

bool TMdbTableLockManager::UnlockSessionAll(std::int32_t SessionID) {
  try {
    TMdbLockGuard G(FThreadSync, true);
    if (TRecord* R = FindRecord(SessionID)) {
      InternalUnlock(R, true, ltIS, nullptr, nullptr);
      FreeRecord(R);
    }
  } catch (...) {
  }
  return false;
}

bool TMdbTableLockManager::TryToLockRWForCommit(std::int32_t SessionID) {
  bool HasIRW = false;
  {
    TMdbLockGuard G(FThreadSyncTransactions, false);
    const TMdbTransactionLockInfo* T = FindTransaction(SessionID);
    if (T == nullptr) return LTableData->FExclusive;
    HasIRW = T->IRW;
  }
  if (!HasIRW) return LTableData->FExclusive;
  bool Granted = false;
  try {
    TRecord* R = nullptr;
    Granted = TryLock(SessionID, ltRW, R, TMdbRecordID{});
  } catch (...) {
    Granted = false;
  }
  if (Granted) {
    TMdbTransactionLockInfo Flags;
    Flags.RW = true;
    SetTransactionFlags(SessionID, Flags);
  }
  return Granted;
}

void TMdbTableLockManager::FinishTransaction(std::int32_t SessionID) {
  try {
    {
      TMdbLockGuard G(FThreadSync, true);
      if (TRecord* R = FindRecord(SessionID)) RemoveWaiting(R);
    }
    std::unique_ptr<TMdbTransactionLockInfo> Trans;
    {
      TMdbLockGuard G(FThreadSyncTransactions, true);
      auto It = std::find_if(FTransactionLocks.begin(), FTransactionLocks.end(),
                             [SessionID](const auto& T) { return T->SessionID == SessionID; });
      if (It != FTransactionLocks.end()) {
        Trans = std::move(*It);
        FTransactionLocks.erase(It);
      }
    }
    if (!Trans) return;
    TMdbLockGuard G(FThreadSync, true);
    TRecord* R = FindRecord(SessionID);
    if (R == nullptr) return;
    if (Trans->RW) InternalUnlock(R, false, ltRW, nullptr, nullptr);
    if (Trans->IRW) InternalUnlock(R, false, ltIRW, nullptr, nullptr);
    if (Trans->S) InternalUnlock(R, false, ltS, nullptr, nullptr);
    if (Trans->IS) InternalUnlock(R, false, ltIS, nullptr, nullptr);
    if (!HoldsAnything(*R)) FreeRecord(R);
  } catch (...) {
  }
}

// ---- snapshots ---------------------------------------------------------------------------------------

TMdbTableLockInfo TMdbTableLockManager::TableLockInfo() const {
  auto& Sync = const_cast<TMdbReadWriteThreadSyncBySingleCriticalSection&>(FThreadSync);
  TMdbLockGuard G(Sync, false);
  return FTableLockInfo;
}

std::size_t TMdbTableLockManager::SessionLockCount() const {
  auto& Sync = const_cast<TMdbReadWriteThreadSyncBySingleCriticalSection&>(FThreadSync);
  TMdbLockGuard G(Sync, false);
  return FSessionLocks.size();
}

std::size_t TMdbTableLockManager::WaitingCount() const {
  auto& Sync = const_cast<TMdbReadWriteThreadSyncBySingleCriticalSection&>(FThreadSync);
  TMdbLockGuard G(Sync, false);
  return FWaitingSessionLocks.size();
}

bool TMdbTableLockManager::HasTransactionLocks(std::int32_t SessionID) const {
  auto& Sync = const_cast<TMdbReadWriteThreadSyncBySingleCriticalSection&>(FThreadSyncTransactions);
  TMdbLockGuard G(Sync, false);
  return FindTransaction(SessionID) != nullptr;
}
