// Page caches and the cache-cleaning thread.
//
// A page cache holds the page objects of one page manager: a shared list of committed pages every
// session reads, and one change set that belongs to one session at a time (pages it added, removed or
// is changing). ApplyChanges writes the change set to the page manager and makes it shared;
// CancelChanges drops it. Every page manager owns a TMdbDatabaseCache; a table data owns a
// TMdbTableCache over its page manager.
//
// Copy on write: a page joins the change set with a buffer of its own (a copy of the stored bytes, or
// fresh zeroed and stamped bytes for a new page). So the stored bytes and the shared pages stay as they
// were until ApplyChanges writes the copies back, and CancelChanges can simply free them; page numbers
// handed out for the change set go back to the manager on cancel, also when they were removed again.
//
// Held pages: a page's use count rises under the lock of the list it was found in, and nothing frees
// a page somebody holds: ApplyChanges, CancelChanges and the clearing calls detach a held page instead
// (it is freed by the PutPage that returns its last use).
//
// The cleaning thread sweeps every registered cache every SweepPeriod ms and frees shared pages that
// nobody holds once they were idle for IdleTime ms or the engine holds MemoryThreshold bytes or more.
// Clock, periods and the memory reading are injectable (TMdbCacheSettings). MdbStorageShutdown stops
// and joins the thread.
//
// Lock order: a cache's active (change-set) lock before its shared lock; the thread's list lock before
// a cache's shared lock; a page's own lock only while one page is copied or read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/storage/MdbPage.h"

class TMdbPageManager;

struct TMdbCacheSettings {
  std::uint32_t SweepPeriod = 10000;
  std::uint32_t IdleTime = 3600000;
  Int64 MemoryThreshold = 20971520;
  std::uint32_t ThreadSleep = 100;
  // nullptr: the engine's tick count / the memory manager's total.
  std::uint32_t (*Clock)() = nullptr;
  Int64 (*MemoryInUse)() = nullptr;
};
// The process-wide settings; tests replace them (and restore the defaults with a default-built value).
TMdbCacheSettings& MdbCacheSettings();

class TMdbCache : public TObject {
  VELLUM_CLASS(TMdbCache)
 public:
  explicit TMdbCache(TMdbPageManager* aPageManager);
  ~TMdbCache() override;
  TMdbCache(const TMdbCache&) = delete;
  TMdbCache& operator=(const TMdbCache&) = delete;

  virtual TMdbPage* CreatePage(std::int32_t PageNo, TMdbDBStateType StateType, TMdbSortedPageArray* List,
                               std::uint32_t State);
  // 11801 for MakeCopy without UpdatePage or session -1; 11828 when another session is changing.
  TMdbPage* GetPage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType, std::uint32_t State,
                    bool ReadPage, bool UpdatePage, bool MakeCopy);
  void PutPage(TMdbPage* Page);
  TMdbPage* AddPage(std::int32_t SessionID, TMdbDBStateType StateType, std::uint32_t State, bool DoNotUse);
  void RemovePage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType, std::uint32_t State);  // 11807
  void UpdatePage(std::int32_t SessionID, TMdbPage* Page, TMdbDBStateType StateType, std::uint32_t State, bool MakeCopy);
  void ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2);
  void CancelChanges();
  void ClearAllSharedPages();
  void ClearSharedCache();
  // Whether a shared page may be freed by a sweep now.
  bool CanEvict(const TMdbPage* Page) const;

  TMdbPageManager* PageManager() const { return LPageManager; }
  std::int32_t ActiveSessionID() const { return FActiveSessionID; }
  std::int32_t SharedCount();
  std::int32_t UpdatedCount();
  std::int32_t DetachedCount();
  TMdbSortedPageArray* SharedPages() const { return FSharedPages.get(); }
  TMdbSortedPageArray* UpdatedPages() const { return FUpdatedPages.get(); }
  virtual bool IsDatabaseCache() const { return false; }

 protected:
  void LockSharedPages() { FSharedSync->WaitAndLockForWrite(); }
  void UnlockSharedPages() { FSharedSync->Unlock(); }
  // Frees a page nobody holds; a held one is detached and freed by its last PutPage.
  void ReleasePage(TMdbPage* Page) noexcept;
  void FreePageObject(TMdbPage* Page) noexcept;
  void Unregister() noexcept;

  std::unique_ptr<TMdbSortedPageArray> FSharedPages;
  std::unique_ptr<TMdbReadWriteThreadSyncByCriticalSections> FSharedSync;
  TMdbPageManager* LPageManager;
  std::int32_t FActiveSessionID = -1;
  std::unique_ptr<TMdbPageArray> FAddedPages;
  std::unique_ptr<TMdbPageArray> FDeletedPages;
  std::unique_ptr<TMdbSortedPageArray> FUpdatedPages;
  std::unique_ptr<TMdbReadWriteThreadSyncByCriticalSections> FActiveSync;
  std::uint32_t FState1 = 0;
  std::uint32_t FState2 = 0;
  TMdbCache* LParentCache = nullptr;
  std::vector<TMdbPage*> FDetached;  // held pages no list owns any more; owned here
  bool FRegistered = false;

 private:
  friend class TMdbTableCache;
  void BeginModification(std::int32_t SessionID, TMdbDBStateType StateType, std::uint32_t State);
  void ReloadPage(TMdbPage* Page);
  void CopyPage(TMdbPage* Source, TMdbPage* Dest);
  void MakePageShared(TMdbPage* Page);
  bool SetPageState(TMdbPage* Page, std::uint32_t State1, std::uint32_t State2, TMdbDBStateType StateType2);
  void OwnCopy(TMdbPage* Page);
  void PutIntoShared(TMdbPage* Page);
  void Touch(TMdbPage* Page) const;
  std::uint32_t Now() const;

  // A commit moves every shared page's state on (or drops a page whose state fell behind). Rather
  // than visiting every shared page, a commit is logged and a page is brought through the commits it
  // missed when it is next fetched or swept; the log is replayed into all pages once it is as long as
  // the shared list, so a commit costs O(pages changed) amortised.
  // Breaks and MetaSteps count, from the start of the log up to this step, the steps a data page
  // cannot come through from the step before (its state would be neither the target nor the
  // reference) and the steps that move metadata states. A page is brought through any stretch of
  // plain steps in O(1): it has to pass the first, and no step after it may be a break.
  struct TCommitStep {
    std::uint32_t State1, State2, Reference1, Reference2;
    TMdbDBStateType StateType2;
    std::uint32_t Breaks, MetaSteps;
  };
  void LogCommit(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2);
  std::uint64_t CurrentGeneration() const { return FGenerationBase + FCommitLog.size(); }
  // False when the page fell behind and must go. Callers hold the shared lock.
  bool SyncPage(TMdbPage* Page);
  void SyncAllShared();
  std::vector<TCommitStep> FCommitLog;
  std::uint64_t FGenerationBase = 0;
};

class TMdbDatabaseCache : public TMdbCache {
  VELLUM_CLASS(TMdbDatabaseCache)
 public:
  explicit TMdbDatabaseCache(TMdbPageManager* aPageManager);
  ~TMdbDatabaseCache() override;
  bool IsDatabaseCache() const override { return true; }
  void AddChild(TMdbCache* Cache);
  void DeleteChildren(TMdbCache* Cache);
  std::int32_t ChildCount();

 private:
  std::vector<TMdbCache*> FChildren;
  TMdbReadWriteThreadSyncBySingleCriticalSection FChildrenSync;
};

class TMdbTableCache : public TMdbCache {
  VELLUM_CLASS(TMdbTableCache)
 public:
  TMdbTableCache(TMdbPageManager* aPageManager, TMdbDatabaseCache* aParentCache, std::int32_t aTableID);
  ~TMdbTableCache() override;
  TMdbPage* CreatePage(std::int32_t PageNo, TMdbDBStateType StateType, TMdbSortedPageArray* List,
                       std::uint32_t State) override;
  // Moves every shared page into the parent's shared list (replacing the parent's page of a number).
  void ExportPagesToParent();
  std::int32_t TableID() const { return FTableID; }
  void SetTableID(std::int32_t Value) { FTableID = Value; }

 private:
  std::int32_t FTableID = -1;
  bool FAddedToParentCache = false;
};

// The storage layer's start-up and shut-down, run in explicit order after the runtime's: start-up
// registers the B-tree index as the index class; shut-down stops and joins the cache-cleaning thread
// (started by the first cache).
void MdbStorageStartup();
void MdbStorageShutdown();
// Runs one sweep of every registered cache on the calling thread (tests, tools).
void MdbSweepCachesNow();
bool MdbCacheThreadRunning();
