// Two sessions of one memory database, connected on two threads (so with two lock owners), sharing a
// table: a lock one holds makes the other wait until it is released, or refuses it after the table's
// wait limit; a transaction's commit waits for the other session's read lock the same way. Every thread
// is joined; a waiter is known to wait when the lock manager lists it, never after a sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/storage/MdbAdvancedTableData.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "engines/mdb/storage/MdbTableLockManager.h"
#include "MdbStorageTestSupport.h"
#include "platform/rtl/SysUtils.h"

namespace {

// Long enough that a healthy run never reaches it: the waiter must be let in by the release.
constexpr std::uint32_t kNoLimit = 60000;
constexpr std::uint32_t kShortLimit = 30;

struct TSide {
  std::unique_ptr<TMdbLocalSession> Session;
  std::unique_ptr<TMdbLocalCursor> Cursor;
};

class MdbSessionLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MdbEngineStartup();
    TMdbFieldDef* F = Fields.AddCreated();
    F->SetName(u"ID");
    F->SetFieldDefDataType(aftInteger, 0);
    Open(A);
    // B connects on a thread of its own: its session id (the lock owner) is that thread's.
    std::thread([&] { Open(B); }).join();
    ASSERT_NE(A.Session->SessionID, B.Session->SessionID);
    Table = dynamic_cast<TMdbMemoryTableData*>(A.Cursor->TableData());
    ASSERT_NE(Table, nullptr);
    ASSERT_EQ(B.Cursor->TableData(), Table);
    for (std::int32_t Id : {1, 2, 3}) Insert(A, Id);
  }
  void TearDown() override {
    for (TSide* S : {&B, &A}) {
      S->Cursor->FreeRecordBuffer(S->Cursor->FCurrentRecordBuffer);
      S->Cursor->CloseTable();
      S->Cursor.reset();
      S->Session->SetConnected(false);
      S->Session.reset();
    }
    Fields.Clear();
    MdbEngineShutdown();
  }

  void Open(TSide& S) {
    S.Session = std::make_unique<TMdbLocalSession>();
    S.Session->InMemory = true;
    S.Session->FDatabaseName = S.Session->FDatabaseFileName = "MEMORY";
    S.Session->SetConnected(true);
    S.Cursor.reset(static_cast<TMdbLocalCursor*>(S.Session->CreateCursor(u"Shared", false)));
    S.Cursor->FInMemory = true;
    S.Cursor->OpenTableByFieldDefs(&Fields, nullptr, nullptr);
    S.Cursor->FCurrentRecordBuffer = S.Cursor->AllocateRecordBuffer();
  }
  static void Prepare(TSide& S, std::int32_t Id) {
    Byte* R = S.Cursor->FCurrentRecordBuffer;
    S.Cursor->InternalInitRecord(R, true);
    S.Cursor->SetFieldData(0, &Id, R);
  }
  static void Insert(TSide& S, std::int32_t Id) {
    Prepare(S, Id);
    S.Cursor->InternalPost(true);
    ASSERT_EQ(S.Cursor->FErrorCode, 0) << Id;
  }
  static void OnFirstRecord(TSide& S) {
    S.Cursor->InternalFirst();
    ASSERT_EQ(S.Cursor->GetRecordBuffer(grmNext), grrOK);
  }
  // Until the lock manager lists a waiter, or the other thread is done without having waited.
  void WaitUntilSomeoneWaits(const std::atomic<bool>& Done) const {
    while (Table->LockManager()->WaitingCount() == 0 && !Done) std::this_thread::yield();
  }

  TMdbFieldDefs Fields;
  TSide A, B;
  TMdbMemoryTableData* Table = nullptr;
};

TEST_F(MdbSessionLockTest, RecordLockIsRefusedAfterTheLimitAndGrantedOnRelease) {
  OnFirstRecord(A);
  A.Cursor->InternalEdit();  // A holds the record's U lock until it posts or cancels
  OnFirstRecord(B);

  Table->SetMaxWaitLockTime(kShortLimit);
  int Code = 0;
  std::thread([&] { Code = NativeCodeOf([&] { B.Cursor->InternalEdit(); }); }).join();
  EXPECT_EQ(Code, 10583);
  EXPECT_EQ(Table->LockManager()->WaitingCount(), 0u);

  Table->SetMaxWaitLockTime(kNoLimit);
  std::atomic<int> Result{-1};
  std::atomic<bool> Done{false};
  std::thread Waiter([&] {
    Result = NativeCodeOf([&] { B.Cursor->InternalEdit(); });
    Done = true;
  });
  WaitUntilSomeoneWaits(Done);
  EXPECT_FALSE(Done);
  A.Cursor->InternalCancel(false);
  Waiter.join();
  EXPECT_EQ(Result, -1);  // granted: no error
  // Now A is the one refused.
  Table->SetMaxWaitLockTime(kShortLimit);
  EXPECT_EQ(NativeCodeOf([&] { A.Cursor->InternalEdit(); }), 10583);
  B.Cursor->InternalCancel(false);
  A.Cursor->InternalEdit();
  A.Cursor->InternalCancel(false);
}

TEST_F(MdbSessionLockTest, CommitWaitsForTheOtherSessionsReadLock) {
  const std::int32_t Bid = B.Session->SessionID;
  A.Session->StartTransaction();
  Insert(A, 100);
  ASSERT_TRUE(Table->TryToLockTableS(Bid, false));  // B in the middle of a read

  // Refused after the limit: everything the transaction did is rolled back.
  Table->SetMaxWaitLockTime(kShortLimit);
  EXPECT_EQ(NativeCodeOf([&] { A.Session->Commit(false); }), 10826);
  EXPECT_FALSE(A.Session->GetInTransaction());
  EXPECT_EQ(A.Cursor->GetRecordCount(), 3);
  EXPECT_EQ(Table->TransactionSessionID(), -1);

  // Granted once B's read ends, on the committing thread.
  A.Session->StartTransaction();
  Insert(A, 101);
  Table->SetMaxWaitLockTime(kNoLimit);
  std::atomic<int> Result{0};
  std::atomic<bool> Done{false};
  std::thread Committer([&] {
    Result = NativeCodeOf([&] { A.Session->Commit(false); });
    Done = true;
  });
  WaitUntilSomeoneWaits(Done);
  EXPECT_FALSE(Done);
  Table->TryToUnlockTableS(Bid);
  Committer.join();
  EXPECT_EQ(Result, -1);
  EXPECT_FALSE(A.Session->GetInTransaction());
  EXPECT_EQ(B.Cursor->GetRecordCount(), 4);
}

TEST_F(MdbSessionLockTest, SecondTransactionWaitsForTheWriterAndMayNotWriteBesideIt) {
  A.Session->StartTransaction();
  Insert(A, 100);
  ASSERT_EQ(Table->TransactionSessionID(), A.Session->SessionID);

  // B's own transaction cannot join the table while A's writes it: refused after the limit.
  B.Session->StartTransaction();
  Table->SetMaxWaitLockTime(kShortLimit);
  int Code = 0;
  std::thread([&] {
    Prepare(B, 200);
    TMdbCursor* C = B.Cursor.get();
    Code = NativeCodeOf([&] { Table->InsertRecord(C); });
  }).join();
  EXPECT_EQ(Code, 11897);

  // It waits for A's commit and then writes.
  Table->SetMaxWaitLockTime(kNoLimit);
  std::atomic<int> Result{0};
  std::atomic<bool> Done{false};
  std::thread Writer([&] {
    Prepare(B, 201);
    TMdbCursor* C = B.Cursor.get();
    Result = NativeCodeOf([&] { Table->InsertRecord(C); });
    Done = true;
  });
  WaitUntilSomeoneWaits(Done);
  EXPECT_FALSE(Done);  // a refused join left behind would let B skip the lock and fail at once
  A.Session->Commit(false);
  Writer.join();
  EXPECT_EQ(Result, -1);
  EXPECT_EQ(Table->TransactionSessionID(), B.Session->SessionID);
  B.Session->Commit(false);
  EXPECT_EQ(A.Cursor->GetRecordCount(), 5);

  // A writer whose locks were dropped (RemoveAllLocks) still owns the table's writing: a second
  // transaction that now gets in may read but not write.
  A.Session->StartTransaction();
  Insert(A, 102);
  A.Session->RemoveAllLocks();
  B.Session->StartTransaction();
  Prepare(B, 202);
  TMdbCursor* C = B.Cursor.get();
  try {
    Table->InsertRecord(C);
    ADD_FAILURE() << "a second writer was let in";
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 11943);
    EXPECT_NE(E.Message().find(u"another transaction already started table writing. FTransactionID = " +
                               IntToStr(A.Session->SessionID) + u", SessionID = " + IntToStr(B.Session->SessionID)),
              String::npos);
  }
  B.Session->Rollback();
  A.Session->Rollback();
  EXPECT_EQ(A.Cursor->GetRecordCount(), 5);
}

}  // namespace
