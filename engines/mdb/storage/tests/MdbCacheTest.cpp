#include "engines/mdb/storage/MdbCache.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

namespace {
std::atomic<std::uint32_t> FakeNow{1000};
std::atomic<Int64> FakeMemory{0};
std::uint32_t FakeClock() { return FakeNow.load(); }
Int64 FakeMemoryInUse() { return FakeMemory.load(); }
constexpr std::uint32_t kMinute = 60000;

class MdbCacheTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    FakeNow = 1000;
    FakeMemory = 0;
    MdbCacheSettings().Clock = FakeClock;
    MdbCacheSettings().MemoryInUse = FakeMemoryInUse;
  }
  // Stores committed pages 0..Count-1 in the manager, each starting with "ACSP" and its number at 100.
  void Commit(TMdbMemoryPageManager& M, int Count, std::uint32_t State = 1) {
    TMdbCache& C = *M.Cache();
    for (int i = 0; i < Count; ++i) {
      TMdbPage* P = C.AddPage(7, dbstData, State, false);
      P->PageBuffer()[100] = static_cast<Byte>(P->PageNo());
      C.PutPage(P);
    }
    C.ApplyChanges(State, dbstNone, 0);
  }
  void ReleaseAll(TMdbMemoryPageManager& M) {
    M.Cache()->ClearAllSharedPages();
    for (int n = 0; n < M.AllocatedPageCount(); ++n) M.InternalRemovePage(n);
  }
};
}  // namespace

TEST_F(MdbCacheTest, OneSessionChangesAtATime) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  Commit(M, 1);
  TMdbPage* P = C.GetPage(1, 0, dbstData, 1, true, true, false);
  EXPECT_EQ(NativeCodeOf([&] { C.AddPage(2, dbstData, 1, true); }), 11828);
  EXPECT_EQ(NativeCodeOf([&] { C.GetPage(2, 0, dbstData, 1, true, true, false); }), 11828);
  // Reading is open to everybody meanwhile.
  TMdbPage* R = C.GetPage(2, 0, dbstData, 1, true, false, false);
  C.PutPage(R);
  C.PutPage(P);
  C.ApplyChanges(1, dbstNone, 0);
  EXPECT_EQ(C.ActiveSessionID(), -1);
  C.PutPage(C.AddPage(2, dbstData, 1, false));
  C.CancelChanges();
  EXPECT_EQ(NativeCodeOf([&] { C.GetPage(1, 0, dbstData, 1, true, false, true); }), 11801);
  EXPECT_EQ(NativeCodeOf([&] { C.GetPage(-1, 0, dbstData, 1, true, false, false); }), 11801);
  ReleaseAll(M);
}

TEST_F(MdbCacheTest, AppliedPagesBecomeSharedAndCancelledNumbersGoBack) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  TMdbPage* P = C.AddPage(1, dbstData, 1, true);
  EXPECT_EQ(P->PageNo(), 0);
  EXPECT_TRUE(P->OwnBuffer());
  P->PageBuffer()[50] = 0x55;
  C.ApplyChanges(1, dbstNone, 0);
  EXPECT_EQ(C.SharedCount(), 1);
  EXPECT_EQ(P->FUseCount, 0);
  EXPECT_FALSE(P->FUpdated);
  EXPECT_EQ(M.StoredPage(0)[50], 0x55);
  EXPECT_EQ(M.PageCount(), 1);

  // Added, added and removed again: cancelling gives both numbers back.
  C.PutPage(C.AddPage(1, dbstData, 1, false));
  TMdbPage* Q = C.AddPage(1, dbstData, 1, true);
  C.RemovePage(1, Q->PageNo(), dbstData, 1);
  EXPECT_EQ(NativeCodeOf([&] { C.RemovePage(1, 2, dbstData, 1); }), 11807);
  EXPECT_EQ(M.PageCount(), 3);
  C.CancelChanges();
  EXPECT_EQ(M.PageCount(), 1);
  EXPECT_EQ(C.UpdatedCount(), 0);

  // Removing a committed page releases its number on apply and drops its shared object.
  C.RemovePage(1, 0, dbstData, 1);
  EXPECT_EQ(C.SharedCount(), 1);
  C.ApplyChanges(1, dbstNone, 0);
  EXPECT_EQ(M.PageCount(), 0);
  EXPECT_EQ(C.SharedCount(), 0);
}

TEST_F(MdbCacheTest, CancelLeavesStoredBytesAndSharedPagesAsTheyWere) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  Commit(M, 2);
  std::vector<Byte> Before(M.StoredPage(1), M.StoredPage(1) + 4096);
  TMdbPage* Shared = C.GetPage(2, 1, dbstData, 1, true, false, false);
  for (bool MakeCopy : {false, true}) {
    TMdbPage* P = C.GetPage(1, 1, dbstData, 1, true, true, MakeCopy);
    EXPECT_TRUE(P->OwnBuffer());
    P->PageBuffer()[200] = 0xEE;
    C.PutPage(P);
    C.CancelChanges();
    EXPECT_EQ(std::memcmp(M.StoredPage(1), Before.data(), 4096), 0) << MakeCopy;
    EXPECT_EQ(Shared->PageBuffer()[200], 0) << MakeCopy;
  }
  // A page taken over while another session holds it is never freed under that session.
  TMdbPage* P = C.GetPage(1, 1, dbstData, 1, true, true, false);
  P->PageBuffer()[200] = 0xEE;
  C.PutPage(P);
  C.ApplyChanges(2, dbstNone, 0);
  EXPECT_EQ(M.StoredPage(1)[200], 0xEE);
  EXPECT_EQ(Shared->PageBuffer()[100], 1);  // still readable
  C.PutPage(Shared);
  EXPECT_EQ(C.DetachedCount(), 0);
  ReleaseAll(M);
}

TEST_F(MdbCacheTest, CommitsReachUntouchedPagesWhenTheyAreNextFetched) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  Commit(M, 3, 1);
  // 200 commits that change only page 0: the other pages move on with every one of them.
  std::uint32_t S = 1;
  for (int k = 0; k < 200; ++k, ++S) {
    if (k == 100) {
      // Page 2 falls behind: its state is neither the reference nor the target of the next commit.
      TMdbPage* Q = C.GetPage(2, 2, dbstData, S, true, false, false);
      Q->FState = 77777;
      C.PutPage(Q);
    }
    TMdbPage* P = C.GetPage(1, 0, dbstData, S, true, true, false);
    P->PageBuffer()[200] = static_cast<Byte>(k);
    C.PutPage(P);
    C.ApplyChanges(S + 1, dbstNone, 0);
  }
  TMdbPage* One = C.GetPage(2, 1, dbstData, S, false, false, false);
  EXPECT_EQ(One->FState, S);
  C.PutPage(One);
  // The page that fell behind was dropped and comes back read from the manager in the asked state.
  TMdbPage* Two = C.GetPage(2, 2, dbstData, S, true, false, false);
  EXPECT_EQ(Two->FState, S);
  EXPECT_EQ(Two->PageBuffer()[100], 2);
  C.PutPage(Two);
  EXPECT_EQ(C.SharedCount(), 3);
  EXPECT_EQ(M.StoredPage(0)[200], 199);
  ReleaseAll(M);
}

// Page 1 is never touched while page 0 is committed step by step; page 1 follows a chain of commits
// and is dropped once one commit did not start from the state the one before it ended in.
TEST_F(MdbCacheTest, UntouchedPagesFollowChainedCommitsOnly) {
  struct TCase {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Steps;  // starting state, new state
    std::uint32_t Expected;                                      // page 1's state when next fetched
  };
  const TCase Cases[] = {
      {{{1, 2}, {2, 3}, {3, 4}}, 4},
      {{{1, 2}, {5, 6}, {6, 7}, {7, 8}}, 42},  // dropped: fetched anew in the asked state
      {{{1, 2}, {2, 2}, {2, 3}}, 3},
      {{{1, 1}, {1, 1}}, 1},
  };
  for (const TCase& K : Cases) {
    TMdbMemoryPageManager M;
    TMdbCache& C = *M.Cache();
    Commit(M, 2, 1);
    for (auto [From, To] : K.Steps) {
      TMdbPage* P = C.GetPage(1, 0, dbstData, From, true, true, false);
      C.PutPage(P);
      C.ApplyChanges(To, dbstNone, 0);
    }
    TMdbPage* Q = C.GetPage(2, 1, dbstData, 42, false, false, false);
    EXPECT_EQ(Q->FState, K.Expected) << K.Steps.size();
    C.PutPage(Q);
    ReleaseAll(M);
  }
}

TEST_F(MdbCacheTest, ApplyDropsPagesOfOutdatedStatesButNotHeldOnes) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  Commit(M, 3, 5);
  // Page 0 read under state 5, page 1 still stamped 5, page 2 restamped with an old state.
  TMdbPage* Held = C.GetPage(2, 2, dbstData, 5, true, false, false);
  Held->FState = 3;
  TMdbPage* P = C.GetPage(1, 0, dbstData, 6, true, true, false);
  C.PutPage(P);
  C.ApplyChanges(7, dbstNone, 0);
  // 0 was changed (now 7); 1 carried 5, neither 7 nor the session's starting state 6: dropped; 2 is
  // outdated too but held: detached until its holder returns it.
  EXPECT_EQ(C.SharedCount(), 1);
  EXPECT_EQ(C.DetachedCount(), 1);
  EXPECT_EQ(Held->PageBuffer()[100], 2);
  C.PutPage(Held);
  EXPECT_EQ(C.DetachedCount(), 0);
  ReleaseAll(M);
}

TEST_F(MdbCacheTest, SweepFreesIdlePagesAfterAnHourOrAboveTheMemoryThreshold) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  Commit(M, 2);
  TMdbPage* Held = C.GetPage(1, 1, dbstData, 1, true, false, false);
  const struct { std::uint32_t Minutes; Int64 Memory; int Left; } Cases[] = {
      {59, 0, 2}, {59, 20971519, 2}, {59, 20971520, 1}, {61, 0, 1},
  };
  for (const auto& K : Cases) {
    Commit(M, 0);
    C.PutPage(C.GetPage(1, 0, dbstData, 1, true, false, false));  // cached again, accessed now
    FakeNow = FakeNow + K.Minutes * kMinute;
    FakeMemory = K.Memory;
    C.ClearSharedCache();
    EXPECT_EQ(C.SharedCount(), K.Left) << K.Minutes << " " << K.Memory;
    TMdbPage* Found = nullptr;
    EXPECT_GE(C.SharedPages()->Find(1, Found), 0);  // the held page always stays
    FakeMemory = 0;
  }
  C.PutPage(Held);
  ReleaseAll(M);
}

TEST_F(MdbCacheTest, FetchingAndSweepingOnTwoThreadsNeverFreesAHeldPage) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  Commit(M, 4);
  FakeMemory = Int64(1) << 40;  // every unheld page is evictable
  std::atomic<bool> Stop{false};
  std::thread Sweeper([&] {
    while (!Stop) C.ClearSharedCache();
  });
  int Sum = 0;
  for (int i = 0; i < 3000; ++i) {
    TMdbPage* P = C.GetPage(1, i % 4, dbstData, 1, true, false, false);
    Sum += P->PageBuffer()[100];
    C.PutPage(P);
  }
  Stop = true;
  Sweeper.join();
  EXPECT_EQ(Sum, 3000 / 4 * (0 + 1 + 2 + 3));
  ReleaseAll(M);
}

TEST_F(MdbCacheTest, CleaningThreadSweepsAndStopsAtShutdown) {
  EXPECT_TRUE(MdbCacheThreadRunning() || true);
  TMdbMemoryPageManager M;
  EXPECT_TRUE(MdbCacheThreadRunning());
  Commit(M, 3);
  MdbCacheSettings().SweepPeriod = 0;
  MdbCacheSettings().ThreadSleep = 1;
  FakeMemory = Int64(1) << 40;
  FakeNow = FakeNow + 1;  // the sweep period has passed on the injected clock
  for (int i = 0; i < 5000 && M.Cache()->SharedCount() > 0; ++i) {
    FakeNow = FakeNow + 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(M.Cache()->SharedCount(), 0);
  ReleaseAll(M);
}

TEST_F(MdbCacheTest, TableCacheExportsItsPagesToTheDatabaseCache) {
  TMdbMemoryPageManager M;
  TMdbDatabaseCache& D = *M.Cache();
  {
    TMdbTableCache T(&M, &D, 12);
    EXPECT_EQ(D.ChildCount(), 1);
    TMdbPage* P = T.AddPage(1, dbstData, 1, true);
    EXPECT_EQ(P->FTableID, 12);
    T.ApplyChanges(1, dbstNone, 0);
    T.ExportPagesToParent();
    EXPECT_EQ(D.ChildCount(), 0);
    EXPECT_EQ(T.SharedCount(), 0);
    EXPECT_EQ(D.SharedCount(), 1);
  }
  ReleaseAll(M);
}
