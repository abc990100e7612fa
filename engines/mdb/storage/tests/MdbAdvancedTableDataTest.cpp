#include <atomic>
#include <chrono>
#include <thread>

#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/tests/MdbMemoryTableFixture.h"

namespace {

// An index over the first column that refuses the key 13.
class TRefusingIndex : public TTestIndex {
 public:
  using TTestIndex::TTestIndex;
  void InsertRecord(TMdbCursor* Cursor) override {
    std::int32_t v = 0;
    const TMdbFieldDef* F = LTableData->FieldDefs().GetDef(0);
    std::memcpy(&v, Cursor->FCurrentRecordBuffer + F->FMemoryOffset, 4);
    if (FIndexDef.Name() == u"Second" && v == 13) throw EMdbException(99999, u"refused");
    TTestIndex::InsertRecord(Cursor);
  }
};

class MdbAdvancedTableTest : public MdbMemoryTableTest {
 protected:
  void SetUp() override {
    MdbMemoryTableTest::SetUp();
    TTestIndex::Keys.clear();
  }
  // ID and a memo, with two indexes "First" and "Second" over ID (the second is the one a test's
  // index factory makes refuse).
  TMdbMemoryTableData* CreateNotesWithTwoIndexes() {
    TMdbFieldDefs F;
    AddField(F, u"ID", aftInteger);
    AddField(F, u"Note", aftWideMemo);
    TMdbIndexDefs I;
    for (const char16_t* Name : {u"First", u"Second"}) {
      TMdbIndexDef* D = I.AddCreated();
      D->SetName(Name);
      D->SetColumnCount(1);
      D->GetIndexColumn(0).FieldName = u"ID";
    }
    return Create(u"T", F, &I);
  }
  std::string Message(const std::function<void()>& Body) {
    try {
      Body();
    } catch (const EMdbException& E) {
      return std::string(E.Message().begin(), E.Message().end());
    }
    return "";
  }
  void Goto(TMemCursor* C, std::int32_t Slot) {
    C->CurrentRecordID = {Slot, 0};
    C->FirstPosition = C->LastPosition = false;
    ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
  }
};

}  // namespace

// A NOT NULL refusal stores nothing, tells the cursor -8 and passes the constraint's message on.
TEST_F(MdbAdvancedTableTest, ARefusedInsertStoresNothing) {
  TMdbFieldDefs F;
  AddField(F, u"ID", aftInteger);
  AddField(F, u"Qty", aftInteger);
  TMdbConstraintDefs K;
  TMdbConstraintDefNotNull* N = K.AddNotNull();
  N->SetName(u"QtyNeeded");
  N->ColumnName = u"Qty";
  TMdbMemoryTableData* T = Create(u"T", F, nullptr, &K);
  TMemCursor* C = Open(T);
  ASSERT_TRUE(C->Post({1, 1}));
  const std::uint32_t State = T->GetTableState().TableState;
  EXPECT_EQ(Message([&] { C->Post({2, -1}); }),
            "Constraint 'QtyNeeded' violated. Value in field 'Qty' cannot be null - Native error: 30026");
  EXPECT_EQ(C->FErrorCode, -8);
  EXPECT_EQ(T->InternalGetRecordCount(), 1);
  EXPECT_EQ(T->GetTableState().TableState, State);
  EXPECT_EQ(T->LockManager()->TableLockInfo().LockRWSessionID, -1);
  EXPECT_EQ(T->LockCount(), 0u);
}

// A key that the second index refuses: the first index loses the key again and the record goes.
TEST_F(MdbAdvancedTableTest, AFailedInsertLeavesRecordsAndKeysAsBefore) {
  SetMdbIndexFactory([](TMdbBaseIndexManager* M) { return std::make_unique<TRefusingIndex>(M); });
  TMdbMemoryTableData* T = CreateNotesWithTwoIndexes();
  TMemCursor* C = Open(T);
  ASSERT_TRUE(C->Post({12}, u"twelve", 1));
  const auto Keys = TTestIndex::Keys;
  const std::size_t Blobs = T->Blobs().LiveCount();
  EXPECT_EQ(NativeCodeOf([&] { C->Post({13}, u"thirteen", 1); }), 99999);
  EXPECT_EQ(TTestIndex::Keys, Keys);
  EXPECT_EQ(T->InternalGetRecordCount(), 1);
  // The refused row's note still belongs to the cursor's buffer, which frees it on cancel.
  EXPECT_EQ(T->Blobs().LiveCount(), Blobs + 1);
  C->Cancel(true);
  EXPECT_EQ(T->Blobs().LiveCount(), Blobs);
  ASSERT_TRUE(C->Post({14}, u"fourteen", 1));
  EXPECT_EQ(C->Rows(), (std::vector<std::string>{"0:12,[twelve]", "1:14,[fourteen]"}));
}

// Where the cursor stands after a delete, and what goes with the record.
TEST_F(MdbAdvancedTableTest, DeletePositionsAndBLOBs) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* C = Open(T);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(C->Post({i, i}, u"n", 2));
  EXPECT_EQ(T->Blobs().LiveCount(), 4u);
  Goto(C, 1);
  ASSERT_TRUE(C->Delete());
  EXPECT_EQ(std::int32_t(C->CurrentRecordID.PageNo), 2);  // the next record
  EXPECT_EQ(T->Blobs().LiveCount(), 3u);
  Goto(C, 3);
  ASSERT_TRUE(C->Delete());
  EXPECT_EQ(std::int32_t(C->CurrentRecordID.PageNo), 2);  // the last one: the prior record
  EXPECT_FALSE(C->FirstPosition || C->LastPosition);
  Goto(C, 0);
  ASSERT_TRUE(C->Delete());
  Goto(C, 2);
  ASSERT_TRUE(C->Delete());
  EXPECT_TRUE(C->FirstPosition);  // the only one: BOF
  EXPECT_EQ(T->Blobs().LiveCount(), 0u);
  EXPECT_EQ(T->GetLastTableOperation(), ltoDelete);
  C->InternalFirst();
  EXPECT_EQ(Message([&] { C->Delete(); }),
            "Error in table 'T', inMemory = True - cursor is on BOF position. SessionID = 1 - Native error: 11921");
  C->InternalLast();
  EXPECT_EQ(NativeCodeOf([&] { C->Delete(); }), 11922);
  C->CurrentRecordID = {0, 0};
  C->FirstPosition = false;
  C->LastPosition = false;
  EXPECT_EQ(NativeCodeOf([&] { C->Delete(); }), 11923);
  EXPECT_EQ(T->LockManager()->TableLockInfo().NumLockU, 0u);
}

// Edit, update and cancel: the U lock lives from edit to update or cancel; the stored record owns the
// new BLOB and the old block goes.
TEST_F(MdbAdvancedTableTest, EditUpdateAndCancel) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* C = Open(T);
  ASSERT_TRUE(C->Post({1, 10}, u"old", 2));
  Goto(C, 0);
  C->Edit();
  EXPECT_EQ(T->LockManager()->TableLockInfo().NumLockU, 1u);
  std::int32_t Qty = 11;
  C->SetFieldData(1, &Qty, C->FCurrentRecordBuffer);
  C->WriteBlob(2, u"new", false);
  EXPECT_EQ(T->Blobs().LiveCount(), 2u);
  ASSERT_TRUE(C->Update());
  EXPECT_EQ(T->Blobs().LiveCount(), 1u);
  EXPECT_EQ(T->LockManager()->TableLockInfo().NumLockU, 0u);
  EXPECT_EQ(C->Rows(), (std::vector<std::string>{"0:1,11,[new]"}));
  EXPECT_EQ(T->GetLastTableOperation(), ltoUpdate);
  Goto(C, 0);
  C->Edit();
  C->WriteBlob(2, u"dropped", false);
  C->Cancel(false);
  EXPECT_EQ(T->Blobs().LiveCount(), 1u);
  EXPECT_EQ(T->LockManager()->TableLockInfo().NumLockU, 0u);
  EXPECT_EQ(C->Rows(), (std::vector<std::string>{"0:1,11,[new]"}));
}

// Two sessions on two threads: a record being edited by one is refused to the other (after the
// injected limit), another record is not; a write waits while a read of another thread runs.
TEST_F(MdbAdvancedTableTest, TwoThreadsAndTheirLocks) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* A = Open(T, &S1);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(A->Post({i, i}));
  Goto(A, 1);
  A->Edit();
  std::string Refused;
  int DeleteCode = 0;
  bool OtherRecord = false;
  std::thread([&] {
    TMemCursor B(T, &S2);
    B.Open();
    B.CurrentRecordID = {1, 0};
    B.FirstPosition = B.LastPosition = false;
    Refused = Message([&] { B.Edit(); });
    DeleteCode = NativeCodeOf([&] { B.Delete(); });
    B.CurrentRecordID = {2, 0};
    B.Edit();
    OtherRecord = true;
    B.Cancel(false);
  }).join();
  EXPECT_EQ(Refused,
            "Error editing record - cannot lock record in 'U' mode. TableName = 'T', InMemory = True, SessionID = 2, PageNo "
            "= 1, PageItemNo = 0 - Native error: 10583");
  EXPECT_EQ(DeleteCode, 10562);
  EXPECT_TRUE(OtherRecord);
  A->Cancel(false);

  // A read in progress on this thread (S and the table's session lock held): the other thread's
  // insert waits until it ends, then goes through.
  T->SetMaxWaitLockTime(5000);
  std::int32_t Code = 0;
  T->LockTable(false, &S1, Code, false);
  std::atomic<bool> Inserted{false};
  std::thread Writer([&] {
    TMemCursor B(T, &S2);
    B.Open();
    Inserted = B.Post({9, 9});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(Inserted);
  T->UnlockTable(false, &S1, false);
  Writer.join();
  EXPECT_TRUE(Inserted);
  EXPECT_EQ(T->InternalGetRecordCount(), 4);

  // Refused after the limit, with the lock's own message.
  T->SetMaxWaitLockTime(30);
  T->LockTable(false, &S1, Code, false);
  std::string WriteRefused;
  std::thread([&] {
    TMemCursor B(T, &S2);
    B.Open();
    WriteRefused = Message([&] { B.Post({10, 10}); });
  }).join();
  T->UnlockTable(false, &S1, false);
  EXPECT_EQ(WriteRefused,
            "Error - cannot lock table in 'RW' mode, table name = 'T', FInMemory = True, SessionID = 2 - Native error: 11897");
  EXPECT_EQ(T->InternalGetRecordCount(), 4);
}

// Exclusive opening: refused while another session has the table open, and it keeps others out.
TEST_F(MdbAdvancedTableTest, ExclusiveOpen) {
  TMdbMemoryTableData* T = CreateStandard();
  Open(T, &S1);
  TMemCursor X(T, &S2, true);
  EXPECT_EQ(Message([&] { X.Open(); }),
            "Error - cannot lock table in 'X' mode, table name = 'T', SessionID = 2 - Native error: 11912");
  EXPECT_FALSE(X.FIsOpen);
  CloseAll();
  EXPECT_FALSE(T->IsTableOpened());
  X.Open();
  TMemCursor Other(T, &S1);
  EXPECT_EQ(NativeCodeOf([&] { Other.Open(); }), 11913);
  X.CloseTable();
  EXPECT_EQ(T->LockManager()->SessionLockCount(), 0u);
}

TEST_F(MdbAdvancedTableTest, DeleteVisibleRecordsEmptiesTheTableInOneStep) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* C = Open(T);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(C->Post({i, i}, i % 2 ? u"odd" : u"", 2));
  T->DeleteVisibleRecords(C);
  EXPECT_EQ(T->InternalGetRecordCount(), 0);
  EXPECT_EQ(T->Blobs().LiveCount(), 0u);
  EXPECT_TRUE(C->FirstPosition);
  ASSERT_TRUE(C->Post({1, 1}));
  EXPECT_EQ(std::int32_t(C->CurrentRecordID.PageNo), 0);
}

TEST_F(MdbAdvancedTableTest, AutoincValues) {
  TMdbFieldDefs F;
  AddField(F, u"ID", aftAutoInc);
  AddField(F, u"Qty", aftInteger);
  TMdbMemoryTableData* T = Create(u"T", F);
  TMemCursor* C = Open(T);
  ASSERT_TRUE(C->Post({-1, 5}));
  ASSERT_TRUE(C->Post({-1, 6}));
  EXPECT_EQ(T->LastAutoincValue(0, &S1), 2);
  T->SetLastAutoincValue(100, 0, C);
  EXPECT_EQ(T->GetLastTableOperation(), ltoSetAutoInc);
  ASSERT_TRUE(C->Post({-1, 7}));
  EXPECT_EQ(C->IntAt(0), 101);
  EXPECT_EQ(NativeCodeOf([&] { T->LastAutoincValue(0, &S2); }), 30012);
}

// Emptying and deleting a table: refused while it is open; a deleted table keeps no records, keys or
// BLOB blocks.
TEST_F(MdbAdvancedTableTest, EmptyAndDeleteTable) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* C = Open(T);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(C->Post({i, i}, u"n", 2));
  TMemCursor Closed(T, &S1);
  EXPECT_EQ(Message([&] { T->EmptyTable(&Closed, false); }),
            "Cannot delete table 'T'. Table is open by another dataset - Native error: 10072");
  EXPECT_EQ(NativeCodeOf([&] { T->DeleteTable(&S1, false, false); }), 20017);
  EXPECT_EQ(NativeCodeOf([&] { T->DeleteTable(nullptr, false, false); }), 11885);
  CloseAll();
  T->EmptyTable(&Closed, false);
  EXPECT_EQ(T->InternalGetRecordCount(), 0);
  EXPECT_EQ(T->Blobs().LiveCount(), 0u);
  EXPECT_EQ(T->GetLastTableOperation(), ltoEmpty);
  TMemCursor* D = Open(T);
  ASSERT_TRUE(D->Post({1, 1}, u"n", 2));
  CloseAll();
  T->DeleteTable(&S1, false, false);
  EXPECT_EQ(T->InternalGetRecordCount(), 0);
  EXPECT_EQ(T->Blobs().LiveCount(), 0u);
  EXPECT_EQ(T->LockManager()->SessionLockCount(), 0u);
}

TEST_F(MdbAdvancedTableTest, RenameTable) {
  TMdbMemoryTableData* T = CreateStandard(u"T");
  CreateStandard(u"U");
  TMemCursor C(T, &S1);
  EXPECT_EQ(Message([&] { T->RenameTable(&C, u"u"); }),
            "Cannot rename table 'T' to 'u' - table with such name already exists - Native error: 11491");
  const auto Meta = T->GetTableState().TableMetaDataState;
  T->RenameTable(&C, u"V");
  EXPECT_EQ(T->TableName(), u"V");
  EXPECT_TRUE(Db->TableExists(nullptr, u"v"));
  EXPECT_EQ(T->GetTableState().TableMetaDataState, Meta + 1);
  EXPECT_EQ(T->GetLastTableOperation(), ltoRename);
}

// The three checks of a new table's definitions, in the order a table is checked.
TEST_F(MdbAdvancedTableTest, CreateTableChecks) {
  struct TCase {
    std::vector<const char16_t*> Fields, Indexes, Constraints;
    int PrimaryCount;
    bool EmptyIndex;
    int Code;
  };
  const TCase Cases[] = {
      {{}, {}, {}, 0, false, 11989},
      {{u"A", u""}, {}, {}, 0, false, 11432},
      {{u"A", u"a"}, {}, {}, 0, false, 11430},
      {{u"A"}, {u""}, {}, 0, false, 11433},
      {{u"A"}, {u"I"}, {}, 0, true, 11434},
      {{u"A"}, {u"I", u"i"}, {}, 0, false, 11428},
      {{u"A"}, {u"I", u"J"}, {}, 2, false, 11427},
      {{u"A"}, {}, {u"", u"", u"K", u"k"}, 0, false, 11431},
      {{u"A"}, {}, {u"", u"", u"K"}, 0, false, 0},
  };
  int n = 0;
  for (const TCase& c : Cases) {
    SCOPED_TRACE(n);
    TMdbFieldDefs F;
    for (const char16_t* Name : c.Fields) AddField(F, Name, aftInteger);
    TMdbIndexDefs I;
    for (const char16_t* Name : c.Indexes) {
      TMdbIndexDef* D = I.AddCreated();
      D->SetName(Name);
      if (!c.EmptyIndex) {
        D->SetColumnCount(1);
        D->GetIndexColumn(0).FieldName = u"A";
      }
      D->FPrimary = I.Count() <= c.PrimaryCount;
    }
    TMdbConstraintDefs K;
    for (const char16_t* Name : c.Constraints) {
      TMdbConstraintDefNotNull* N = K.AddNotNull();
      N->SetName(Name);
      N->ColumnName = u"A";
    }
    const std::u16string Name = u"C" + std::u16string(1, char16_t(u'0' + n++));
    EXPECT_EQ(NativeCodeOf([&] { Create(Name.c_str(), F, &I, &K); }), c.Code == 0 ? -1 : c.Code);
  }
  TMdbFieldDefs F;
  AddField(F, u"Qty", aftInteger);
  AddField(F, u"qty", aftInteger);
  EXPECT_EQ(Message([&] { Create(u"Dup", F); }),
            "Cannot create table 'Dup'. Duplicate field name 'QTY' - Native error: 11430");
}

// Dropping a session's locks frees its table and record locks in every table of the database, and
// another session gets them at once.
TEST_F(MdbAdvancedTableTest, RemoveAllLocksReleasesEveryLockOfTheSession) {
  TMdbMemoryTableData* T = CreateStandard();
  TMdbMemoryTableData* U = CreateStandard(u"U");
  TMemCursor* A = Open(T, &S1);
  ASSERT_TRUE(A->Post({1, 1}));
  Goto(A, 0);
  A->Edit();
  std::int32_t Code = 0;
  ASSERT_TRUE(U->LockTable(true, &S1, Code, false));
  ASSERT_GT(T->LockManager()->SessionLockCount(), 0u);
  ASSERT_GT(U->LockManager()->SessionLockCount(), 0u);
  Db->RemoveAllLocks(S2.SessionID);
  EXPECT_GT(T->LockManager()->SessionLockCount(), 0u);

  Db->RemoveAllLocks(S1.SessionID);
  EXPECT_EQ(T->LockManager()->SessionLockCount(), 0u);
  EXPECT_EQ(U->LockManager()->SessionLockCount(), 0u);
  EXPECT_TRUE(U->LockTable(true, &S2, Code, false));
  U->UnlockTable(true, &S2, false);
  TMemCursor* B = Open(T, &S2);
  Goto(B, 0);
  EXPECT_NO_THROW(B->Edit());
  B->Cancel(false);
}

namespace {
// Notes the first column of the buffer each key delete is handed.
class TKeyNotingIndex : public TTestIndex {
 public:
  using TTestIndex::TTestIndex;
  void DeleteRecord(TMdbCursor* Cursor) override {
    std::int32_t v = 0;
    std::memcpy(&v, Cursor->FCurrentRecordBuffer + LTableData->FieldDefs().GetDef(0)->FMemoryOffset, 4);
    Deleted.push_back(v);
    TTestIndex::DeleteRecord(Cursor);
  }
  static inline std::vector<std::int32_t> Deleted;
};
}  // namespace

// The index manager takes a record's keys out by the stored record, and the cursor's buffer (here
// changed as an edit leaves it) is not overwritten.
TEST_F(MdbAdvancedTableTest, IndexKeysDeletedByTheStoredRecordLeaveTheCursorBuffer) {
  SetMdbIndexFactory([](TMdbBaseIndexManager* M) { return std::make_unique<TKeyNotingIndex>(M); });
  TKeyNotingIndex::Deleted.clear();
  TMdbFieldDefs F;
  AddField(F, u"ID", aftInteger);
  TMdbIndexDefs I;
  TMdbIndexDef* D = I.AddCreated();
  D->SetName(u"ByID");
  D->SetColumnCount(1);
  D->GetIndexColumn(0).FieldName = u"ID";
  TMdbMemoryTableData* T = Create(u"T", F, &I);
  TMemCursor* C = Open(T);
  ASSERT_TRUE(C->Post({5}));
  ASSERT_TRUE(C->Post({6}));
  Goto(C, 0);
  const std::int32_t Edited = 77;
  C->SetFieldData(0, &Edited, C->FCurrentRecordBuffer);
  const std::vector<Byte> Before(C->FCurrentRecordBuffer, C->FCurrentRecordBuffer + C->FRecordBufferSize);
  T->IndexManager()->DeleteRecord(C);
  EXPECT_EQ(TKeyNotingIndex::Deleted, std::vector<std::int32_t>{5});
  EXPECT_EQ(std::vector<Byte>(C->FCurrentRecordBuffer, C->FCurrentRecordBuffer + C->FRecordBufferSize), Before);
}

// What each entry point refuses, by its own code and message: cursor ends, a vanished record, field
// numbers out of range, a view's check option, a cursor without buffers.
TEST_F(MdbAdvancedTableTest, RefusalsCarryTheirCodesAndMessages) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* C = Open(T);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(C->Post({i, i}, u"n", 2));
  Goto(C, 1);
  ASSERT_TRUE(C->Delete());
  TMemCursor Unopened(T, &S1);
  TMdbCursor* U = &Unopened;
  auto At = [&](bool First, bool Last, std::int32_t Slot) {
    C->CurrentRecordID = {Slot, 0};
    C->FirstPosition = First;
    C->LastPosition = Last;
  };
  auto ViewRejects = [&] {
    C->FIsViewWithCheckOption = true;
    C->FViewName = u"V";
    C->FilterRecord = [](const Byte*) { return false; };
  };
  const struct {
    std::function<void()> Call;
    const char* Message;
  } Cases[] = {
      {[&] { At(true, false, 0), C->Update(); },
       "Error in table 'T', inMemory = True - cursor is on BOF position. SessionID = 1 - Native error: 11917"},
      {[&] { At(false, true, 0), C->Update(); },
       "Error in table 'T', inMemory = True - cursor is on EOF position. SessionID = 1 - Native error: 11918"},
      {[&] { At(true, false, 0), C->Edit(); },
       "Error in table 'T', inMemory = True - cursor is on BOF position. SessionID = 1 - Native error: 11919"},
      {[&] { At(false, true, 0), C->Edit(); },
       "Error in table 'T', inMemory = True - cursor is on EOF position. SessionID = 1 - Native error: 11920"},
      {[&] { At(false, false, 1), C->Update(); },
       "Error in table 'T', inMemory = True - record does not exist. ID = (1, 0), SessionID = 1 - Native error: 11916"},
      {[&] { T->LastAutoincValue(-1, &S1); }, "Invalid field number - FieldNo = -1, FieldCount = 3 - Native error: 11905"},
      {[&] { T->SetLastAutoincValue(5, 3, C); }, "Invalid field number - FieldNo = 3, FieldCount = 3 - Native error: 11906"},
      {[&] { T->InsertRecord(U); }, "Nil pointer occured - Native error: 10532"},
      {[&] { ViewRejects(), C->Post({7, 7}); },
       "Error - cannot insert record in table 'T' from view 'V' with CHECK OPTION. Record with such field values does "
       "not belong to this view. - Native error: 12578"},
      {[&] { Goto(C, 2), ViewRejects(), C->Update(); },
       "Error - cannot update record in table 'T' from view 'V' with CHECK OPTION. Record with such field values does "
       "not belong to this view. - Native error: 12579"},
  };
  const std::vector<std::string> Rows = C->Rows();
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Message);
    C->FErrorCode = 0;
    EXPECT_EQ(Message(Case.Call), Case.Message);
    C->FIsViewWithCheckOption = false;
    C->FilterRecord = nullptr;
    EXPECT_EQ(C->Rows(), Rows);
    EXPECT_EQ(T->LockManager()->TableLockInfo().LockRWSessionID, -1);
  }
}

// While another session holds the table for writing, every entry point of this one is refused after
// the limit with its own code, and changes nothing.
TEST_F(MdbAdvancedTableTest, EveryEntryPointNamesItsLockRefusal) {
  TMdbMemoryTableData* T = CreateStandard();
  TMemCursor* C = Open(T);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(C->Post({i, i}, u"n", 2));
  const std::vector<std::string> Rows = C->Rows();
  Goto(C, 1);
  T->SetMaxWaitLockTime(1);
  const std::size_t Held = T->LockManager()->SessionLockCount();
  ASSERT_TRUE(T->TryToLockTableRW(2));
  TMdbRecordID Found;
  TMdbWideStringList Names;
  const struct {
    std::function<void()> Call;
    const char* Mode;
    int Code;
  } Cases[] = {
      {[&] { T->FindRecord(C, nullptr, nullptr, true, true, Found, nullptr, false, true); }, "S", 11894},
      {[&] { T->IsRecordExists(C); }, "S", 11895},
      {[&] { T->GetRecordBuffer(C, grmCurrent); }, "S", 11896},
      {[&] { C->Post({9, 9}); }, "RW", 11897},
      {[&] { C->Delete(); }, "RW", 11898},
      {[&] { C->Update(); }, "RW", 11899},
      {[&] { T->DeleteVisibleRecords(C); }, "RW", 11900},
      {[&] { T->UpdateVisibleRecords(C, &Names, {}, false); }, "RW", 11901},
      {[&] { T->GetRecordCount(C, false); }, "S", 11902},
      {[&] { T->SetRecNo(C, 1); }, "S", 11903},
      {[&] { T->GetRecNo(C); }, "S", 11904},
      {[&] { T->LastAutoincValue(0, &S1); }, "S", 11905},
      {[&] { T->SetLastAutoincValue(5, 0, C); }, "RW", 11906},
  };
  for (const auto& Case : Cases) {
    const std::string Want = std::string("Error - cannot lock table in '") + Case.Mode +
                             "' mode, table name = 'T', FInMemory = True, SessionID = 1 - Native error: " +
                             std::to_string(Case.Code);
    EXPECT_EQ(Message(Case.Call), Want);
  }
  // Editing only probes that no other session writes the table.
  EXPECT_EQ(Message([&] { C->Edit(); }),
            "Error - cannot lock table in 'IRW' mode, table name = 'T', SessionID = 1 - Native error: 10552");
  T->TryToUnlockTableRW(2);
  EXPECT_EQ(T->LockManager()->SessionLockCount(), Held);
  EXPECT_EQ(T->LockManager()->TableLockInfo().NumLockU, 0u);
  EXPECT_EQ(C->Rows(), Rows);
}

namespace {

// A second index that refuses to take or give up one key: the first index has changed already.
class TStubbornIndex : public TTestIndex {
 public:
  using TTestIndex::TTestIndex;
  static inline std::int32_t Refused = -1;
  void InsertRecord(TMdbCursor* Cursor) override {
    Check(Cursor);
    TTestIndex::InsertRecord(Cursor);
  }
  void DeleteRecord(TMdbCursor* Cursor) override {
    Check(Cursor);
    TTestIndex::DeleteRecord(Cursor);
  }
  void UpdateRecord(TMdbCursor* Cursor) override {
    Check(Cursor);
    TTestIndex::UpdateRecord(Cursor);
  }

 private:
  void Check(TMdbCursor* Cursor) const {
    std::int32_t v = 0;
    std::memcpy(&v, Cursor->FCurrentRecordBuffer + LTableData->FieldDefs().GetDef(0)->FMemoryOffset, 4);
    if (FIndexDef.Name() == u"Second" && v == Refused) throw EMdbException(99999, u"refused");
  }
};

}  // namespace

// An update or a delete that the second index refuses: the first index gets its key back, the record
// and its note stay as stored, the record lock goes.
TEST_F(MdbAdvancedTableTest, AFailedUpdateOrDeleteLeavesRecordsAndKeysAsBefore) {
  SetMdbIndexFactory([](TMdbBaseIndexManager* M) { return std::make_unique<TStubbornIndex>(M); });
  TStubbornIndex::Refused = -1;
  TMdbMemoryTableData* T = CreateNotesWithTwoIndexes();
  TMemCursor* C = Open(T);
  for (std::int32_t v : {11, 12}) ASSERT_TRUE(C->Post({v}, u"note", 1));
  const auto Keys = TTestIndex::Keys;
  const std::vector<std::string> Rows = C->Rows();
  const std::size_t Blobs = T->Blobs().LiveCount();
  const struct {
    const char* What;
    std::int32_t Refused;
    bool Edited;
    std::function<void()> Call;
  } Cases[] = {
      {"update to a refused key", 13, true,
       [&] {
         Goto(C, 0);
         C->Edit();
         const std::int32_t v = 13;
         C->SetFieldData(0, &v, C->FCurrentRecordBuffer);
         C->Update();
       }},
      {"delete of a refused key", 12, false,
       [&] {
         Goto(C, 1);
         C->Delete();
       }},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TStubbornIndex::Refused = Case.Refused;
    EXPECT_EQ(NativeCodeOf(Case.Call), 99999);
    TStubbornIndex::Refused = -1;
    if (Case.Edited) C->Cancel(false);
    EXPECT_EQ(TTestIndex::Keys, Keys);
    EXPECT_EQ(C->Rows(), Rows);
    EXPECT_EQ(T->Blobs().LiveCount(), Blobs);
    EXPECT_EQ(T->LockManager()->TableLockInfo().NumLockU, 0u);
  }
  Goto(C, 1);
  ASSERT_TRUE(C->Delete());
  EXPECT_EQ(C->Rows(), (std::vector<std::string>{"0:11,[note]"}));
}
