#include <atomic>
#include <optional>
#include <thread>

#include "engines/mdb/storage/MdbDatabaseData.h"
#include "MdbStorageTestSupport.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "engines/mdb/storage/MdbTableLockManager.h"

namespace {

class MdbTableLockManagerTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    Table = std::make_unique<TMdbTableData>(&Db);
    Locks = std::make_unique<TMdbTableLockManager>(Table.get(), false);
    // Refusals end after one short wait instead of the in-memory second.
    Locks->SetMaxWaitLockTime(5);
  }
  void TearDown() override {
    Locks.reset();
    Table.reset();
    MdbStorageTest::TearDown();
  }

  TMdbDatabaseData Db;
  std::unique_ptr<TMdbTableData> Table;
  std::unique_ptr<TMdbTableLockManager> Locks;
};

constexpr std::int32_t A = 1, B = 2, C = 3;

struct TStep {
  std::int32_t Session;
  TMdbLockType Type;
  std::optional<TMdbRecordID> Record;
  bool Expected;
};

struct TScenario {
  const char* Name;
  std::vector<TStep> Steps;
};

TEST_F(MdbTableLockManagerTest, GrantsAndRefusesByKindAndHolder) {
  const TMdbRecordID R5{5, 0}, R6{6, 0};
  const std::vector<TScenario> Scenarios = {
      {"two openers, a third asks X", {{A, ltIS, {}, true}, {B, ltIS, {}, true}, {C, ltX, {}, false}}},
      {"the only opener takes X", {{A, ltIS, {}, true}, {A, ltX, {}, true}, {B, ltIS, {}, false}}},
      {"X holds everything", {{A, ltIS, {}, true}, {A, ltX, {}, true}, {A, ltRW, {}, true}, {A, ltU, R5, true}}},
      {"RW holder asks again", {{A, ltIS, {}, true}, {A, ltRW, {}, true}, {A, ltS, {}, true}, {A, ltIRW, {}, true}, {A, ltRW, {}, true}}},
      {"RW blocks others", {{A, ltIS, {}, true}, {A, ltRW, {}, true}, {B, ltIS, {}, true}, {B, ltS, {}, false}, {B, ltIRW, {}, false}, {B, ltRW, {}, false}}},
      {"RW refused while another holds S", {{A, ltIS, {}, true}, {A, ltS, {}, true}, {B, ltIS, {}, true}, {B, ltS, {}, true}, {B, ltRW, {}, false}}},
      {"RW granted when only the requester holds S", {{A, ltIS, {}, true}, {A, ltS, {}, true}, {A, ltRW, {}, true}}},
      {"IRW is one writer's, S still shares", {{A, ltIS, {}, true}, {A, ltIRW, {}, true}, {B, ltIS, {}, true}, {B, ltIRW, {}, false}, {B, ltS, {}, true}, {B, ltRW, {}, false}, {A, ltRW, {}, false}}},
      {"U per record", {{A, ltU, R5, true}, {B, ltU, R5, false}, {B, ltU, R6, true}, {A, ltU, R5, true}, {C, ltU, R6, false}}},
  };
  for (const TScenario& S : Scenarios) {
    SCOPED_TRACE(S.Name);
    TMdbTableLockManager M(Table.get(), false);
    M.SetMaxWaitLockTime(5);
    for (std::size_t i = 0; i < S.Steps.size(); ++i) {
      const TStep& St = S.Steps[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(M.LockTable(St.Session, St.Type, St.Record ? &*St.Record : nullptr, false), St.Expected);
    }
    EXPECT_EQ(M.WaitingCount(), 0u);
  }
}

TEST_F(MdbTableLockManagerTest, ReleasesRestoreTheTableState) {
  const TMdbRecordID R5{5, 0};
  ASSERT_TRUE(Locks->LockTable(A, ltIS, nullptr, false));
  ASSERT_TRUE(Locks->LockTable(A, ltS, nullptr, false));
  ASSERT_TRUE(Locks->LockTable(A, ltRW, nullptr, false));
  ASSERT_TRUE(Locks->LockTable(A, ltU, &R5, false));
  ASSERT_TRUE(Locks->LockTable(A, ltU, &R5, false));
  // A refused request of a session that holds nothing leaves no record behind.
  EXPECT_FALSE(Locks->LockTable(B, ltU, &R5, false));
  EXPECT_EQ(Locks->SessionLockCount(), 1u);

  Locks->UnlockTable(A, ltU);
  Locks->UnlockTable(A, ltRW);
  Locks->UnlockTable(A, ltS);
  Locks->UnlockTable(B, ltX);  // nothing held: nothing happens
  TMdbTableLockInfo I = Locks->TableLockInfo();
  EXPECT_EQ(I.NumLockU, 0u);
  EXPECT_EQ(I.NumLockS, 0u);
  EXPECT_EQ(I.LockRWSessionID, -1);
  EXPECT_EQ(I.NumLockIS, 1u);

  // Closing the table while still writing keeps the session's RW recorded until it is released.
  ASSERT_TRUE(Locks->LockTable(A, ltRW, nullptr, false));
  Locks->UnlockTable(A, ltIS);
  EXPECT_EQ(Locks->TableLockInfo().LockRWSessionID, A);
  EXPECT_FALSE(Locks->UnlockSessionAll(A));
  I = Locks->TableLockInfo();
  EXPECT_EQ(I.LockRWSessionID, -1);
  EXPECT_EQ(I.NumLockIS, 0u);
  EXPECT_EQ(Locks->SessionLockCount(), 0u);
  EXPECT_TRUE(Locks->LockTable(B, ltX, nullptr, false));
}

TEST_F(MdbTableLockManagerTest, TransactionKeepsItsLocksUntilItEnds) {
  for (TMdbLockType T : {ltIS, ltS, ltIRW}) ASSERT_TRUE(Locks->LockTable(A, T, nullptr, true));
  EXPECT_TRUE(Locks->HasTransactionLocks(A));
  // Asked again inside the transaction: granted without counting again.
  EXPECT_TRUE(Locks->LockTable(A, ltS, nullptr, true));
  EXPECT_EQ(Locks->TableLockInfo().NumLockS, 1u);

  ASSERT_TRUE(Locks->LockTable(B, ltIS, nullptr, false));
  EXPECT_FALSE(Locks->TryToLockRWForCommit(B));  // no transaction, table not exclusive
  EXPECT_FALSE(Locks->LockTable(B, ltIRW, nullptr, false));
  Locks->UnlockTable(B, ltIS);
  EXPECT_TRUE(Locks->TryToLockRWForCommit(A));
  EXPECT_EQ(Locks->TableLockInfo().LockRWSessionID, A);

  // The last cursor of the session closes inside the transaction: the table stays open for it.
  Locks->UnlockTable(A, ltIS);
  EXPECT_EQ(Locks->TableLockInfo().NumLockIS, 1u);
  EXPECT_FALSE(Locks->LockTable(B, ltX, nullptr, false));

  Locks->FinishTransaction(A);
  const TMdbTableLockInfo I = Locks->TableLockInfo();
  EXPECT_EQ(I.LockRWSessionID, -1);
  EXPECT_EQ(I.LockIRWSessionID, -1);
  EXPECT_EQ(I.NumLockS, 0u);
  EXPECT_EQ(I.NumLockIS, 0u);
  EXPECT_FALSE(Locks->HasTransactionLocks(A));
  EXPECT_EQ(Locks->SessionLockCount(), 0u);
  EXPECT_TRUE(Locks->LockTable(B, ltX, nullptr, false));
}

TEST_F(MdbTableLockManagerTest, ExclusiveReleasedInsideTransactionLeavesWeakerLocks) {
  std::int32_t Writer = A;
  Locks->SetTransactionSessionIDSource(&Writer);
  ASSERT_TRUE(Locks->LockTable(A, ltIS, nullptr, true));
  ASSERT_TRUE(Locks->LockTable(A, ltX, nullptr, true));
  Locks->UnlockTable(A, ltX);
  TMdbTableLockInfo I = Locks->TableLockInfo();
  EXPECT_EQ(I.LockXSessionID, -1);
  EXPECT_EQ(I.LockIRWSessionID, A);
  EXPECT_FALSE(Locks->LockTable(B, ltIRW, nullptr, false));
  Locks->FinishTransaction(A);
  I = Locks->TableLockInfo();
  EXPECT_EQ(I.LockIRWSessionID, -1);
  EXPECT_EQ(I.NumLockIS, 0u);
  EXPECT_EQ(Locks->SessionLockCount(), 0u);
}

TEST_F(MdbTableLockManagerTest, NilOwnerRaises) {
  try {
    TMdbTableLockManager M(nullptr, false);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 11944);
  }
  EXPECT_EQ(TMdbTableLockManager(Table.get(), false).MaxWaitLockTime(), 1000u);
}

TEST_F(MdbTableLockManagerTest, WaiterIsGrantedOnceTheHolderLetsGo) {
  // A limit no healthy run reaches: the waiter must be woken by the release, not by the limit.
  Locks->SetMaxWaitLockTime(10000);
  ASSERT_TRUE(Locks->LockTable(A, ltIS, nullptr, false));
  ASSERT_TRUE(Locks->LockTable(A, ltX, nullptr, false));
  std::atomic<int> Result{-1};
  std::thread Waiter([&] { Result = Locks->LockTable(B, ltIS, nullptr, false) ? 1 : 0; });
  while (Locks->WaitingCount() == 0) std::this_thread::yield();
  EXPECT_EQ(Result.load(), -1);
  Locks->UnlockTable(A, ltX);
  Waiter.join();
  EXPECT_EQ(Result.load(), 1);
  EXPECT_EQ(Locks->TableLockInfo().NumLockIS, 2u);
  EXPECT_EQ(Locks->WaitingCount(), 0u);

  // Never released: the waiter gives up at the limit and leaves nothing behind.
  Locks->SetMaxWaitLockTime(20);
  std::thread Refused([&] { Result = Locks->LockTable(C, ltX, nullptr, false) ? 1 : 0; });
  Refused.join();
  EXPECT_EQ(Result.load(), 0);
  EXPECT_EQ(Locks->SessionLockCount(), 2u);
}

}  // namespace
