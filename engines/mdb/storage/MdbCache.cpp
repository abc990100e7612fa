#include "engines/mdb/storage/MdbCache.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbBTreeIndex.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbStorageConst.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SModificationStarted[] =
    u"Error in TMdbCache - data modification already started. SessionID = %d, FActiveSessionID = %d, StateType = %d, "
    u"State = %d, ClassName = %s, Self = %s";
constexpr char16_t SInvalidGetPage[] = u"Error in TMdbCache.GetPage - invalid parameters. PageNo = %d, SessionID = %d";

String AddressText(const void* p) {
  return IntToHex(static_cast<Int64>(reinterpret_cast<std::uintptr_t>(p) & 0xFFFFFFFFu), 8);
}

// Holds a sync's write lock for a scope when the sync exists.
class TOptionalWriteLock {
 public:
  explicit TOptionalWriteLock(TMdbReadWriteThreadSync* Sync) : FSync(Sync) {
    if (FSync) FSync->WaitAndLockForWrite();
  }
  ~TOptionalWriteLock() {
    if (FSync) FSync->Unlock();
  }
  TOptionalWriteLock(const TOptionalWriteLock&) = delete;
  TOptionalWriteLock& operator=(const TOptionalWriteLock&) = delete;

 private:
  TMdbReadWriteThreadSync* FSync;
};

// ---- the cleaning thread --------------------------------------------------------------------------------

// Access times only feed the idle test (an hour by default), so fetches read a tick the cleaning thread
// refreshes on every wake-up instead of the clock: reading the clock on each fetch cost a fifth of an
// index insert. Zero until a thread runs; Touch then reads the clock.
std::atomic<std::uint32_t> CoarseTicks{0};

class TMdbCacheManagerThread {
 public:
  TMdbCacheManagerThread()
      : FDatabaseThreadSync(nullptr, "DatabaseSync"), FTableThreadSync(nullptr, "TableSync"), FThread([this] { Execute(); }) {
    CoarseTicks.store(CurrentTickCount(), std::memory_order_relaxed);
  }
  ~TMdbCacheManagerThread() {
    Stop();
    CoarseTicks.store(0, std::memory_order_relaxed);
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> G(FWakeLock);
      FTerminated = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  void AddCache(TMdbCache* Cache) {
    if (FTerminated) return;
    auto& [List, Sync] = ListOf(Cache);
    TMdbLockGuard G(*Sync, true);
    List.push_back(Cache);
  }
  void RemoveCache(TMdbCache* Cache) {
    auto& [List, Sync] = ListOf(Cache);
    TMdbLockGuard G(*Sync, true);
    std::erase(List, Cache);
  }
  void SweepAll() {
    for (auto* L : {&FTableCaches, &FDatabaseCaches}) {
      TMdbLockGuard G(*L->second, false);
      for (TMdbCache* C : L->first) {
        try {
          C->ClearSharedCache();
        } catch (...) {
          // A failed sweep of one cache leaves it as it was; the next sweep tries again.
        }
      }
    }
  }

 private:
  using TList = std::pair<std::vector<TMdbCache*>, TMdbReadWriteThreadSyncByCriticalSections*>;
  TList& ListOf(TMdbCache* Cache) { return Cache->IsDatabaseCache() ? FDatabaseCaches : FTableCaches; }
  std::uint32_t Now() const {
    const auto& S = MdbCacheSettings();
    return S.Clock ? S.Clock() : CurrentTickCount();
  }
  void Execute() {
    std::uint32_t LastSweep = Now();
    std::unique_lock<std::mutex> L(FWakeLock);
    while (!FTerminated) {
      L.unlock();
      CoarseTicks.store(CurrentTickCount(), std::memory_order_relaxed);
      if (TickDifference(Now(), LastSweep) > MdbCacheSettings().SweepPeriod) {
        SweepAll();
        LastSweep = Now();
      }
      L.lock();
      FWake.wait_for(L, std::chrono::milliseconds(MdbCacheSettings().ThreadSleep), [this] { return FTerminated.load(); });
    }
  }

  TMdbReadWriteThreadSyncByCriticalSections FDatabaseThreadSync;
  TMdbReadWriteThreadSyncByCriticalSections FTableThreadSync;
  TList FDatabaseCaches{{}, &FDatabaseThreadSync};
  TList FTableCaches{{}, &FTableThreadSync};
  std::mutex FWakeLock;
  std::condition_variable FWake;
  std::atomic<bool> FTerminated{false};
  std::thread FThread;  // last: started once everything above exists
};

std::mutex ThreadLock;
TMdbCacheManagerThread* CacheThread = nullptr;

void RegisterCache(TMdbCache* Cache) {
  std::lock_guard<std::mutex> G(ThreadLock);
  if (CacheThread == nullptr) CacheThread = new TMdbCacheManagerThread();  // owned by the storage unit
  CacheThread->AddCache(Cache);
}

void UnregisterCache(TMdbCache* Cache) {
  std::lock_guard<std::mutex> G(ThreadLock);
  if (CacheThread) CacheThread->RemoveCache(Cache);
}

}  // namespace

TMdbCacheSettings& MdbCacheSettings() {
  static TMdbCacheSettings Settings;
  return Settings;
}

void MdbStorageStartup() {
  AcquireMemoryManager();
  RegisterMdbBTreeIndex();
}

void MdbStorageShutdown() {
  {
    std::lock_guard<std::mutex> G(ThreadLock);
    delete CacheThread;  // stops and joins
    CacheThread = nullptr;
  }
  ReleaseMemoryManager();
}

void MdbSweepCachesNow() {
  std::lock_guard<std::mutex> G(ThreadLock);
  if (CacheThread) CacheThread->SweepAll();
}

bool MdbCacheThreadRunning() {
  std::lock_guard<std::mutex> G(ThreadLock);
  return CacheThread != nullptr;
}

// ---- TMdbCache ----------------------------------------------------------------------------------------

TMdbCache::TMdbCache(TMdbPageManager* aPageManager)
    : FSharedPages(std::make_unique<TMdbSortedPageArray>(0, 10, 1000)),
      FSharedSync(std::make_unique<TMdbReadWriteThreadSyncByCriticalSections>(this, "SharedSync")),
      LPageManager(aPageManager) {
  if (aPageManager == nullptr) throw EMdbException(11867, SMdbPageNilPointer);
}

TMdbCache::~TMdbCache() {
  Unregister();
  ClearAllSharedPages();
  try {
    CancelChanges();
  } catch (const Exception& E) {
    MdbStorageDiagnostic(E.Message());
  }
  // Destroying the cache ends every page, held or not.
  for (TMdbPage* P : FDetached) FreePageObject(P);
  FDetached.clear();
}

void TMdbCache::Unregister() noexcept {
  if (!FRegistered) return;
  FRegistered = false;
  try {
    UnregisterCache(this);
  } catch (...) {
  }
}

std::uint32_t TMdbCache::Now() const {
  const auto& S = MdbCacheSettings();
  return S.Clock ? S.Clock() : CurrentTickCount();
}

void TMdbCache::Touch(TMdbPage* Page) const {
  const auto& S = MdbCacheSettings();
  const std::uint32_t Coarse = S.Clock ? 0 : CoarseTicks.load(std::memory_order_relaxed);
  Page->FLastAccessTime = Coarse != 0 ? Coarse : Now();
}

void TMdbCache::FreePageObject(TMdbPage* Page) noexcept {
  std::unique_ptr<TMdbPage> Owned(Page);
}

void TMdbCache::ReleasePage(TMdbPage* Page) noexcept {
  if (Page->FUseCount > 0) {
    Page->FDeleted = true;
    Page->SetParent(nullptr);
    try {
      FDetached.push_back(Page);
      return;
    } catch (...) {
      // No room to keep it: the holder's pointer must stay valid, so it is kept alive unowned-by-list
      // only through this leak report.
      MdbStorageDiagnostic(u"A held page could not be detached");
      return;
    }
  }
  FreePageObject(Page);
}

TMdbPage* TMdbCache::CreatePage(std::int32_t PageNo, TMdbDBStateType StateType, TMdbSortedPageArray* List,
                                std::uint32_t State) {
  auto P = std::make_unique<TMdbPage>(LPageManager, this);
  P->SetPageNo(PageNo);
  LPageManager->InitPage(P.get());
  P->FState = State;
  P->FStateType = StateType;
  P->SetParent(List);
  P->FTableID = -1;
  P->FUpdated = List != FSharedPages.get();
  P->FCheckedGeneration = CurrentGeneration();
  Touch(P.get());
  return P.release();
}

void TMdbCache::BeginModification(std::int32_t SessionID, TMdbDBStateType StateType, std::uint32_t State) {
  if (FActiveSessionID != -1 && FActiveSessionID != SessionID)
    throw EMdbException(11828, SModificationStarted,
                        {SessionID, FActiveSessionID, int(StateType), Int64(State), ClassName(), AddressText(this)});
  if (FActiveSessionID == -1) {
    if (!FActiveSync) {
      FActiveSync = std::make_unique<TMdbReadWriteThreadSyncByCriticalSections>(this, "ActiveSync");
      FAddedPages = std::make_unique<TMdbPageArray>(0, 1, 100);
      FDeletedPages = std::make_unique<TMdbPageArray>(0, 1, 100);
      FUpdatedPages = std::make_unique<TMdbSortedPageArray>(0, 10, 1000);
    }
    FActiveSessionID = SessionID;
  }
  if (StateType == dbstTableMetaData) FState2 = State;
  else FState1 = State;
}

void TMdbCache::ReloadPage(TMdbPage* Page) {
  Page->Lock();
  try {
    LPageManager->DirectReadPage(Page);
  } catch (...) {
    Page->Unlock();
    throw;
  }
  Page->Unlock();
}

void TMdbCache::CopyPage(TMdbPage* Source, TMdbPage* Dest) {
  Source->Lock();
  std::memcpy(Dest->PageBuffer(), Source->PageBuffer(), static_cast<std::size_t>(Source->PageSize()));
  Dest->FState = Source->FState;
  Dest->FStateType = Source->FStateType;
  Source->Unlock();
  Touch(Dest);
}

void TMdbCache::OwnCopy(TMdbPage* Page) {
  if (!Page->OwnBuffer()) Page->EnlargePageBuffer(Page->PageSize());
}

void TMdbCache::MakePageShared(TMdbPage* Page) {
  Touch(Page);
  Page->FUpdated = false;
  Page->SetParent(FSharedPages.get());
}

bool TMdbCache::SetPageState(TMdbPage* Page, std::uint32_t State1, std::uint32_t State2, TMdbDBStateType StateType2) {
  const bool Meta = StateType2 != dbstNone && StateType2 == Page->FStateType;
  const std::uint32_t Target = Meta ? State2 : State1;
  const std::uint32_t Reference = Meta ? FState2 : FState1;
  if (!Page->FUpdated && Page->FState != Target && Page->FState != Reference) return false;
  Page->FState = Target;
  return true;
}

void TMdbCache::LogCommit(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2) {
  std::uint32_t Breaks = 0, MetaSteps = 0;
  bool Break = false;
  if (!FCommitLog.empty()) {
    const TCommitStep& Last = FCommitLog.back();
    Breaks = Last.Breaks;
    MetaSteps = Last.MetaSteps;
    Break = Last.State1 != FState1 && Last.State1 != State1;
  }
  FCommitLog.push_back({State1, State2, FState1, FState2, StateType2, Breaks + (Break ? 1u : 0u),
                        MetaSteps + (StateType2 != dbstNone ? 1u : 0u)});
}

bool TMdbCache::SyncPage(TMdbPage* Page) {
  const std::uint64_t Now = CurrentGeneration();
  std::uint64_t g = std::max(Page->FCheckedGeneration, FGenerationBase);
  if (g >= Now) return true;
  const auto At = [&](std::uint64_t Generation) -> const TCommitStep& {
    return FCommitLog[static_cast<std::size_t>(Generation - FGenerationBase)];
  };
  const TCommitStep& First = At(g);
  const TCommitStep& Last = At(Now - 1);
  const std::uint32_t MetaBefore = g == FGenerationBase ? 0 : At(g - 1).MetaSteps;
  if (Last.MetaSteps == MetaBefore) {
    // Only plain steps: the page passes the first one on its own state, then the chain.
    if (!Page->FUpdated && Page->FState != First.State1 && Page->FState != First.Reference1) return false;
    if (Last.Breaks != First.Breaks) return false;
    Page->FState = Last.State1;
    Page->FUpdated = false;
    Page->FCheckedGeneration = Now;
    return true;
  }
  for (; g < Now; ++g) {
    const TCommitStep& S = At(g);
    const bool Meta = S.StateType2 != dbstNone && S.StateType2 == Page->FStateType;
    const std::uint32_t Target = Meta ? S.State2 : S.State1;
    const std::uint32_t Reference = Meta ? S.Reference2 : S.Reference1;
    if (!Page->FUpdated && Page->FState != Target && Page->FState != Reference) return false;
    Page->FState = Target;
    Page->FUpdated = false;
  }
  Page->FCheckedGeneration = Now;
  return true;
}

void TMdbCache::SyncAllShared() {
  for (std::int32_t i = FSharedPages->Count() - 1; i >= 0; --i) {
    TMdbPage* P = FSharedPages->GetValue(i);
    if (!SyncPage(P)) {
      FSharedPages->DeleteAt(i);
      ReleasePage(P);
    }
  }
  // Every shared page is now through the whole log; the generation numbers stay as they are.
  FGenerationBase += FCommitLog.size();
  FCommitLog.clear();
}

void TMdbCache::PutIntoShared(TMdbPage* Page) {
  Page->FCheckedGeneration = CurrentGeneration();
  TMdbPage* Old = nullptr;
  const std::int32_t i = FSharedPages->Find(Page->PageNo(), Old);
  if (i >= 0) {
    if (Old != Page) {
      FSharedPages->SetValue(i, Page);
      ReleasePage(Old);
    }
  } else {
    FSharedPages->Insert(Page->PageNo(), Page);
  }
  Page->SetParent(FSharedPages.get());
}

TMdbPage* TMdbCache::GetPage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType, std::uint32_t State,
                             bool ReadPage, bool UpdatePage, bool MakeCopy) {
  if ((MakeCopy && !UpdatePage) || SessionID == -1) throw EMdbException(11801, SInvalidGetPage, {PageNo, SessionID});
  if (UpdatePage) BeginModification(SessionID, StateType, State);
  const bool Owner = FActiveSessionID != -1 && SessionID == FActiveSessionID;
  // The change-set lock is taken by its owner only, always before the shared lock.
  TOptionalWriteLock Active(Owner ? FActiveSync.get() : nullptr);
  if (Owner) {
    TMdbPage* P = nullptr;
    if (FUpdatedPages->Find(PageNo, P) >= 0) {
      ++P->FUseCount;
      Touch(P);
      return P;
    }
  }
  TOptionalWriteLock Shared(FSharedSync.get());
  TMdbPage* P = nullptr;
  std::int32_t SharedIndex = FSharedPages->Find(PageNo, P);
  if (SharedIndex >= 0 && !SyncPage(P)) {
    // Fallen behind a commit: it goes, and the page is read as if it had not been cached.
    FSharedPages->DeleteAt(SharedIndex);
    ReleasePage(P);
    SharedIndex = -1;
    P = nullptr;
  }
  if (SharedIndex >= 0) {
    P->SetParent(FSharedPages.get());
    if (ReadPage && (P->FState != State || P->FStateType != StateType)) {
      try {
        ReloadPage(P);
      } catch (...) {
        FSharedPages->DeleteAt(SharedIndex);
        ReleasePage(P);
        throw;
      }
    }
    if (!UpdatePage) {
      ++P->FUseCount;
      Touch(P);
      return P;
    }
    P->FUpdated = true;
    // The change set works on a copy and the shared object stays where it is until the commit puts
    // the copy in its slot: its holders keep reading the committed bytes, and the shared list is not
    // shifted twice per change (taking the object out and putting it back cost O(cached pages)).
    std::unique_ptr<TMdbPage> Copy(CreatePage(PageNo, StateType, FUpdatedPages.get(), State));
    Copy->OwnBufferForOverwrite();
    CopyPage(P, Copy.get());
    Copy->FUpdated = true;
    Copy->FSessionID = SessionID;
    FUpdatedPages->Insert(PageNo, Copy.get());
    P = Copy.release();
    ++P->FUseCount;
    Touch(P);
    return P;
  }
  // Not cached.
  std::unique_ptr<TMdbPage> New(CreatePage(PageNo, StateType, UpdatePage ? FUpdatedPages.get() : FSharedPages.get(), State));
  if (ReadPage) ReloadPage(New.get());
  if (UpdatePage) {
    std::unique_ptr<TMdbPage> SharedCopy;
    if (MakeCopy) {
      SharedCopy.reset(CreatePage(PageNo, StateType, FSharedPages.get(), State));
      if (ReadPage) ReloadPage(SharedCopy.get());
    }
    OwnCopy(New.get());
    New->FSessionID = SessionID;
    FUpdatedPages->Insert(PageNo, New.get());
    if (SharedCopy) {
      try {
        FSharedPages->Insert(PageNo, SharedCopy.get());
      } catch (...) {
        FUpdatedPages->Delete(PageNo, true);
        throw;
      }
      SharedCopy.release();
    }
  } else {
    FSharedPages->Insert(PageNo, New.get());
  }
  P = New.release();
  ++P->FUseCount;
  Touch(P);
  return P;
}

void TMdbCache::PutPage(TMdbPage* Page) {
  if (Page == nullptr) return;
  {
    // A shared page (most returns) is guarded by the shared lock alone; its list and flags change
    // only under it.
    TOptionalWriteLock Shared(FSharedSync.get());
    if (Page->Parent() == FSharedPages.get() && !Page->FDeleted) {
      if (Page->FUseCount > 0) --Page->FUseCount;
      Touch(Page);
      return;
    }
  }
  TOptionalWriteLock Active(FActiveSync.get());
  TOptionalWriteLock Shared(FSharedSync.get());
  if (Page->FUseCount > 0) --Page->FUseCount;
  Touch(Page);
  if (!Page->FDeleted || Page->FUseCount > 0) return;
  const auto It = std::find(FDetached.begin(), FDetached.end(), Page);
  if (It != FDetached.end()) {
    FDetached.erase(It);
    FreePageObject(Page);
    return;
  }
  if (FUpdatedPages) {
    TMdbPage* InSet = nullptr;
    const std::int32_t i = FUpdatedPages->Find(Page->PageNo(), InSet);
    if (i >= 0 && InSet == Page) {
      FUpdatedPages->DeleteAt(i);
      FreePageObject(Page);
    }
  }
}

TMdbPage* TMdbCache::AddPage(std::int32_t SessionID, TMdbDBStateType StateType, std::uint32_t State, bool DoNotUse) {
  BeginModification(SessionID, StateType, State);
  TMdbLockGuard G(*FActiveSync, true);
  std::int32_t PageNo = -1;
  for (std::int32_t i = FDeletedPages->Count() - 1; i >= 0; --i) {
    const std::int32_t n = FDeletedPages->GetItem(i);
    TMdbPage* Existing = nullptr;
    if (FUpdatedPages->Find(n, Existing) < 0) {
      PageNo = n;
      FDeletedPages->DeleteByPosition(i);
      break;
    }
  }
  if (PageNo < 0) {
    PageNo = LPageManager->DirectAddPage();
    FAddedPages->Insert(PageNo, true);
  }
  std::unique_ptr<TMdbPage> P(CreatePage(PageNo, StateType, FUpdatedPages.get(), State));
  // A new page starts from zeroed, stamped bytes of its own, whatever the slot held before.
  P->AllocPageBuffer();
  P->FStateType = StateType;
  P->FUseCount = DoNotUse ? 0 : 1;
  P->FSessionID = SessionID;
  P->FUpdated = true;
  Touch(P.get());
  FUpdatedPages->Insert(PageNo, P.get());
  return P.release();
}

void TMdbCache::RemovePage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType, std::uint32_t State) {
  BeginModification(SessionID, StateType, State);
  TMdbLockGuard G(*FActiveSync, true);
  const std::int32_t Index = FDeletedPages->Find(PageNo);
  if (Index >= 0) throw EMdbException(11807, SMdbPageAlreadyExists, {PageNo, Index});
  TMdbPage* P = nullptr;
  const std::int32_t i = FUpdatedPages->Find(PageNo, P);
  if (i >= 0) {
    if (P->FUseCount <= 0) {
      FUpdatedPages->DeleteAt(i);
      FreePageObject(P);
    } else {
      P->FDeleted = true;
    }
  }
  // A number added in this change set stays in the added list too: cancelling gives it back.
  FDeletedPages->Insert(PageNo, true);
}

void TMdbCache::UpdatePage(std::int32_t SessionID, TMdbPage* Page, TMdbDBStateType StateType, std::uint32_t State,
                           bool MakeCopy) {
  BeginModification(SessionID, StateType, State);
  TMdbLockGuard A(*FActiveSync, true);
  TMdbLockGuard S(*FSharedSync, true);
  TMdbPage* InSet = nullptr;
  if (FUpdatedPages->Find(Page->PageNo(), InSet) >= 0 && InSet == Page) return;
  TMdbPage* InShared = nullptr;
  std::int32_t SharedIndex = FSharedPages->Find(Page->PageNo(), InShared);
  if (SharedIndex >= 0 && !SyncPage(InShared)) {
    FSharedPages->DeleteAt(SharedIndex);
    ReleasePage(InShared);
    SharedIndex = -1;
  }
  if (MakeCopy) {
    std::unique_ptr<TMdbPage> Copy(CreatePage(Page->PageNo(), Page->FStateType, FSharedPages.get(), Page->FState));
    OwnCopy(Copy.get());
    CopyPage(Page, Copy.get());
    Copy->FUseCount = Page->FUseCount > 0 ? Page->FUseCount - 1 : 0;
    OwnCopy(Page);
    FUpdatedPages->Insert(Page->PageNo(), Page);
    if (SharedIndex >= 0) FSharedPages->SetValue(SharedIndex, Copy.release());
    else FSharedPages->Insert(Page->PageNo(), Copy.release());
  } else {
    OwnCopy(Page);
    FUpdatedPages->Insert(Page->PageNo(), Page);
    if (SharedIndex >= 0 && InShared == Page) FSharedPages->DeleteAt(SharedIndex);
  }
  Page->FSessionID = SessionID;
  Page->FUpdated = true;
  Page->SetParent(FUpdatedPages.get());
}

void TMdbCache::ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2) {
  if (FActiveSessionID == -1) return;
  TMdbLockGuard A(*FActiveSync, true);
  TMdbLockGuard S(*FSharedSync, true);
  // A page the manager would refuse is found before anything is written: a failed apply leaves the
  // stored bytes as they were and the change set in place for CancelChanges.
  for (std::int32_t i = 0; i < FUpdatedPages->Count(); ++i) {
    TMdbPage* P = FUpdatedPages->GetValue(i);
    if (!P->FDeleted && P->IsHeaderCorrupted())
      throw EMdbException(12295, SMdbCannotWriteCorruptedPage,
                          {P->PageNo(), int(P->FStateType), LPageManager->ClassName(), AddressText(LPageManager)});
  }
  for (std::int32_t i = 0; i < FUpdatedPages->Count(); ++i) {
    TMdbPage* P = FUpdatedPages->GetValue(i);
    if (P->FDeleted) continue;
    LPageManager->DirectWritePage(P);
  }
  // The step is logged before the changed pages join the shared list: they are already in its state.
  LogCommit(State1, StateType2, State2);
  for (std::int32_t i = 0; i < FUpdatedPages->Count(); ++i) {
    TMdbPage* P = FUpdatedPages->GetValue(i);
    if (P->FDeleted) {
      ReleasePage(P);
      continue;
    }
    SetPageState(P, State1, State2, StateType2);
    MakePageShared(P);
    PutIntoShared(P);
  }
  FUpdatedPages->SetSize(0);
  for (std::int32_t i = 0; i < FDeletedPages->Count(); ++i) {
    const std::int32_t n = FDeletedPages->GetItem(i);
    try {
      LPageManager->DirectRemovePage(n);
    } catch (...) {
    }
    TMdbPage* Old = nullptr;
    const std::int32_t k = FSharedPages->Find(n, Old);
    if (k >= 0) {
      FSharedPages->DeleteAt(k);
      ReleasePage(Old);
    }
  }
  FDeletedPages->SetSize(0);
  FAddedPages->SetSize(0);
  if (FCommitLog.size() >= std::max<std::size_t>(64, static_cast<std::size_t>(FSharedPages->Count()))) SyncAllShared();
  FActiveSessionID = -1;
}

void TMdbCache::CancelChanges() {
  if (FActiveSessionID == -1) return;
  TMdbLockGuard A(*FActiveSync, true);
  TMdbLockGuard S(*FSharedSync, true);
  FActiveSessionID = -1;
  for (std::int32_t i = 0; i < FAddedPages->Count(); ++i) {
    try {
      LPageManager->DirectRemovePage(FAddedPages->GetItem(i));
    } catch (...) {
    }
  }
  FAddedPages->SetSize(0);
  FDeletedPages->SetSize(0);
  for (std::int32_t i = 0; i < FUpdatedPages->Count(); ++i) ReleasePage(FUpdatedPages->GetValue(i));
  FUpdatedPages->SetSize(0);
}

void TMdbCache::ClearAllSharedPages() {
  TMdbLockGuard S(*FSharedSync, true);
  for (std::int32_t i = 0; i < FSharedPages->Count(); ++i) ReleasePage(FSharedPages->GetValue(i));
  FSharedPages->SetSize(0);
}

bool TMdbCache::CanEvict(const TMdbPage* Page) const {
  if (Page->FUseCount != 0) return false;
  const auto& Settings = MdbCacheSettings();
  if (TickDifference(Now(), Page->FLastAccessTime) > Settings.IdleTime) return true;
  const Int64 InUse = Settings.MemoryInUse ? Settings.MemoryInUse() : MdbMemoryManager->TotalMemAllocated();
  return InUse >= Settings.MemoryThreshold;
}

void TMdbCache::ClearSharedCache() {
  TMdbLockGuard S(*FSharedSync, true);
  SyncAllShared();
  for (std::int32_t i = FSharedPages->Count() - 1; i >= 0; --i) {
    TMdbPage* P = FSharedPages->GetValue(i);
    if (CanEvict(P)) {
      FSharedPages->DeleteAt(i);
      FreePageObject(P);
    }
  }
}

std::int32_t TMdbCache::SharedCount() {
  TMdbLockGuard S(*FSharedSync, true);
  SyncAllShared();
  return FSharedPages->Count();
}
std::int32_t TMdbCache::UpdatedCount() {
  TOptionalWriteLock A(FActiveSync.get());
  return FUpdatedPages ? FUpdatedPages->Count() : 0;
}
std::int32_t TMdbCache::DetachedCount() {
  TMdbLockGuard S(*FSharedSync, true);
  SyncAllShared();
  return static_cast<std::int32_t>(FDetached.size());
}

// ---- TMdbDatabaseCache / TMdbTableCache ------------------------------------------------------------------

TMdbDatabaseCache::TMdbDatabaseCache(TMdbPageManager* aPageManager) : TMdbCache(aPageManager) {
  RegisterCache(this);
  FRegistered = true;
}

TMdbDatabaseCache::~TMdbDatabaseCache() { Unregister(); }

void TMdbDatabaseCache::AddChild(TMdbCache* Cache) {
  TMdbLockGuard G(FChildrenSync, true);
  FChildren.push_back(Cache);
}
void TMdbDatabaseCache::DeleteChildren(TMdbCache* Cache) {
  TMdbLockGuard G(FChildrenSync, true);
  std::erase(FChildren, Cache);
}
std::int32_t TMdbDatabaseCache::ChildCount() {
  TMdbLockGuard G(FChildrenSync, true);
  return static_cast<std::int32_t>(FChildren.size());
}

TMdbTableCache::TMdbTableCache(TMdbPageManager* aPageManager, TMdbDatabaseCache* aParentCache, std::int32_t aTableID)
    : TMdbCache(aPageManager), FTableID(aTableID) {
  LParentCache = aParentCache;
  if (aParentCache) {
    aParentCache->AddChild(this);
    FAddedToParentCache = true;
  }
  RegisterCache(this);
  FRegistered = true;
}

TMdbTableCache::~TMdbTableCache() {
  Unregister();
  try {
    CancelChanges();
  } catch (...) {
  }
  try {
    ExportPagesToParent();
  } catch (...) {
  }
  if (FAddedToParentCache && LParentCache) static_cast<TMdbDatabaseCache*>(LParentCache)->DeleteChildren(this);
}

TMdbPage* TMdbTableCache::CreatePage(std::int32_t PageNo, TMdbDBStateType StateType, TMdbSortedPageArray* List,
                                     std::uint32_t State) {
  TMdbPage* P = TMdbCache::CreatePage(PageNo, StateType, List, State);
  P->FTableID = FTableID;
  return P;
}

void TMdbTableCache::ExportPagesToParent() {
  if (LParentCache == nullptr || FTableID == -1) return;
  if (FAddedToParentCache) {
    static_cast<TMdbDatabaseCache*>(LParentCache)->DeleteChildren(this);
    FAddedToParentCache = false;
  }
  TMdbLockGuard Own(*FSharedSync, true);
  TMdbLockGuard Parent(*LParentCache->FSharedSync, true);
  SyncAllShared();
  for (std::int32_t i = 0; i < FSharedPages->Count(); ++i) {
    TMdbPage* P = FSharedPages->GetValue(i);
    P->SetCache(LParentCache);
    LParentCache->PutIntoShared(P);
  }
  FSharedPages->SetSize(0);
}
