// Transactions through a local session and cursor on an indexed memory table with a BLOB field: a
// rollback of inserts, updates and deletes that split and merge index pages leaves records, BLOB
// blocks and keys exactly as they were; a commit keeps them; the session's codes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/storage/MdbBTreeIndex.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "MdbStorageTestSupport.h"
#include "platform/sys/CodePage.h"

namespace {

class MdbTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbEngineStartup();
    Session.InMemory = true;
    Session.FDatabaseName = Session.FDatabaseFileName = "MEMORY";
    Session.SetConnected(true);
    TMdbFieldDef* F = Fields.AddCreated();
    F->SetName(u"ID");
    F->SetFieldDefDataType(aftInteger, 0);
    F = Fields.AddCreated();
    F->SetName(u"Note");
    F->SetFieldDefDataType(aftWideMemo, 0);
    TMdbIndexDef* D = Indexes.AddCreated();
    D->SetName(u"ByID");
    TMdbIndexColumn C;
    C.FieldName = u"ID";
    D->FIndexColumns.push_back(C);
    Cursor.reset(static_cast<TMdbLocalCursor*>(Session.CreateCursor(u"T", false)));
    Cursor->FInMemory = true;
    Cursor->OpenTableByFieldDefs(&Fields, &Indexes, nullptr);
    Cursor->FCurrentRecordBuffer = Cursor->AllocateRecordBuffer();
  }
  void TearDown() override {
    Cursor->FreeRecordBuffer(Cursor->FCurrentRecordBuffer);
    Cursor->CloseTable();
    Cursor.reset();
    Fields.Clear();
    Indexes.Clear();
    Session.SetConnected(false);
    MdbEngineShutdown();
  }

  void SetNote(std::int32_t Id, bool ToInsert) {
    if (Id % 5 == 0) return;  // every fifth record has no note
    const std::u16string Note = u"note " + std::u16string(static_cast<std::size_t>(Id % 37), u'x') +
                                std::u16string(1, static_cast<char16_t>(u'A' + Id % 26));
    TMdbStream* S = Cursor->InternalCreateBlobStream(ToInsert, 1, bomWrite);
    S->Write(Note.data(), static_cast<Int64>(Note.size() * 2));
    S->SetModified(true);
    Cursor->InternalCloseBLOB(1);
  }
  void Insert(std::int32_t Id) {
    Byte* B = Cursor->FCurrentRecordBuffer;
    Cursor->InternalInitRecord(B, true);
    Cursor->SetFieldData(0, &Id, B);
    SetNote(Id, true);
    Cursor->InternalPost(true);
    ASSERT_EQ(Cursor->FErrorCode, 0) << Id;
  }
  // Moves to the n-th record in physical order (0-based).
  void MoveTo(std::int32_t n) {
    Cursor->InternalFirst();
    for (std::int32_t i = 0; i <= n; ++i) ASSERT_EQ(Cursor->GetRecordBuffer(grmNext), grrOK);
  }
  void Update(std::int32_t n, std::int32_t NewId) {
    MoveTo(n);
    Cursor->InternalEdit();
    ASSERT_EQ(Cursor->FErrorCode, 0);
    Cursor->SetFieldData(0, &NewId, Cursor->FCurrentRecordBuffer);
    SetNote(NewId, false);
    Cursor->InternalPost(false);
    ASSERT_EQ(Cursor->FErrorCode, 0);
  }
  void Delete(std::int32_t n) {
    MoveTo(n);
    Cursor->InternalDelete();
    ASSERT_EQ(Cursor->FErrorCode, 0);
  }

  // Everything a rollback must put back: records in physical order with their BLOB bytes, the index
  // order, the live BLOB blocks, and an intact B-tree.
  std::string Dump(bool WithLiveBlobCount = true) {
    TMdbTableData* T = Cursor->TableData();
    const std::int32_t IndexID = T->IndexManager()->IndexDefs().GetDef(0)->ObjectID();
    auto* Index = dynamic_cast<TMdbBTreeIndex*>(T->IndexManager()->OpenIndex(IndexID));
    EXPECT_NE(Index, nullptr);
    if (Index) Index->CheckIntegrity(Session.SessionID);
    const TMdbFieldDef& Note = *T->FieldDefs().GetDef(1);
    const TMdbFieldDef& Id = *T->FieldDefs().GetDef(0);
    std::string Out;
    std::vector<Byte> Buf(static_cast<std::size_t>(T->CalcRecordSize()));
    for (std::int32_t Order : {-1, IndexID}) {
      TMdbNavigationInfo N;
      N.IndexID = Order;
      N.RecordBuffer = Buf.data();
      N.FirstPosition = true;
      N.GetRecordMode = grmNext;
      for (;;) {
        T->InternalGetRecordBuffer(Session.SessionID, N);
        if (N.GetRecordResult != grrOK) break;
        std::int32_t v;
        std::memcpy(&v, Buf.data() + Id.FMemoryOffset, 4);
        const std::int32_t Slot = N.RecordID.PageNo;
        Out += std::to_string(Slot) + ":" + std::to_string(v);
        if (!IsRecordFieldNull(Buf.data(), 1)) {
          const std::uint32_t h = GetBlobHandle(Buf.data(), Note.FMemoryOffset);
          const auto* P = static_cast<const char*>(T->Blobs().Get(h));
          Out += P ? "=" + std::string(P, static_cast<std::size_t>(T->Blobs().Size(h))) : "=<dangling>";
        }
        Out += ";";
      }
      Out += "|";
    }
    // Inside a transaction the blocks its changes replaced stay until it ends.
    return WithLiveBlobCount ? Out + std::to_string(T->Blobs().LiveCount()) : Out;
  }

  TMdbLocalSession Session;
  TMdbFieldDefs Fields;
  TMdbIndexDefs Indexes;
  std::unique_ptr<TMdbLocalCursor> Cursor;
};

}  // namespace

// Inserts that split index pages, updates of keys and notes (one set NULL, one note given), and
// deletes that merge pages, inside a transaction: rolled back, everything is as before; the same
// changes committed stay, and a later rollback of nothing changes nothing.
TEST_F(MdbTransactionTest, RollbackPutsRecordsBlobsAndKeysBack) {
  for (std::int32_t i = 0; i < 800; ++i) Insert(i * 2);
  const std::string Before = Dump();
  auto Changes = [&] {
    for (std::int32_t i = 0; i < 700; ++i) Insert(i * 2 + 1);      // splits
    for (std::int32_t n = 0; n < 300; n += 3) Update(n, 5000 + n);  // keys move, notes change
    Update(10, 10);                                                 // a note set NULL
    Update(11, 7771);                                               // a note given
    for (std::int32_t k = 0; k < 600; ++k) Delete(k % 7 == 0 ? 0 : 400);  // merges
    Delete(0);                                                       // the first
  };
  Session.StartTransaction();
  EXPECT_TRUE(Session.GetInTransaction());
  Changes();
  const std::string Changed = Dump(false);
  EXPECT_NE(Changed, Before);
  Session.Rollback();
  EXPECT_FALSE(Session.GetInTransaction());
  EXPECT_EQ(Dump(), Before);

  // Outside a transaction the same changes give the same table; committed, they stay.
  Session.StartTransaction();
  Changes();
  Session.Commit(false);
  EXPECT_EQ(Dump(false), Changed);
  const std::string Committed = Dump();
  Session.StartTransaction();
  Session.Rollback();
  EXPECT_EQ(Dump(), Committed);
}

// Deleting every record and inserting others, rolled back: the emptied record store comes back.
TEST_F(MdbTransactionTest, RollbackOfATableEmptiedRecordByRecord) {
  for (std::int32_t i = 0; i < 50; ++i) Insert(i);
  const std::string Before = Dump();
  Session.StartTransaction();
  for (std::int32_t i = 0; i < 50; ++i) Delete(i % 2 == 0 ? 0 : (49 - i) / 2);
  EXPECT_EQ(Cursor->GetRecordCount(), 0);
  for (std::int32_t i = 0; i < 5; ++i) Insert(100 + i);
  Session.Rollback();
  EXPECT_EQ(Dump(), Before);
  // A transaction left open when the session goes is rolled back.
  Session.StartTransaction();
  Delete(3);
  Insert(999);
  Session.FTransaction.reset();
  EXPECT_EQ(Dump(), Before);
}

// A table an open transaction lists is neither deleted nor emptied, even with no cursor on it: the
// rollback still puts its records back.
TEST_F(MdbTransactionTest, TableHeldByATransactionIsNotDeletedOrEmptied) {
  for (std::int32_t i = 0; i < 10; ++i) Insert(i);
  const std::string Before = Dump();
  Session.StartTransaction();
  Delete(2);
  Insert(50);
  Cursor->CloseTable();
  std::unique_ptr<TMdbLocalCursor> Other(static_cast<TMdbLocalCursor*>(Session.CreateCursor(u"T", false)));
  Other->FInMemory = true;
  EXPECT_EQ(NativeCodeOf([&] { Other->DeleteTable(false); }), 10838);
  EXPECT_EQ(NativeCodeOf([&] { Other->EmptyTable(); }), 10072);
  EXPECT_EQ(NativeCodeOf([&] { Other->CreateTable(&Fields, &Indexes, nullptr); }), 10838);
  Session.Rollback();
  Cursor->OpenTableByFieldDefs(&Fields, &Indexes, nullptr);
  EXPECT_EQ(Dump(), Before);
}

TEST_F(MdbTransactionTest, SessionCodes) {
  EXPECT_EQ(NativeCodeOf([&] { Session.Commit(false); }), 10816);
  EXPECT_EQ(NativeCodeOf([&] { Session.Rollback(); }), 10818);
  Session.StartTransaction();
  EXPECT_EQ(NativeCodeOf([&] { Session.StartTransaction(); }), 10814);
  Session.Commit(false);
  EXPECT_FALSE(Session.GetInTransaction());
}
