#include <functional>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "MdbStorageTestSupport.h"
#include "engines/mdb/storage/tests/MdbTableFixture.h"

namespace {

TMdbFieldDef* AddField(TMdbFieldDefs& Defs, const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
  TMdbFieldDef* F = Defs.AddCreated();
  F->SetName(Name);
  F->SetFieldDefDataType(Type, Size);
  return F;
}

// The table data of the test database: the fixture's insert path, with the table operations a
// cursor reaches (delete, empty, rename, record delete and update) kept minimal.
class TSessionTableData : public TTestTableData {
 public:
  using TTestTableData::TTestTableData;
  void DeleteTable(TMdbBaseSession*, bool, bool) override {}
  void EmptyTable(TMdbCursor*, bool) override {
    CreateRecordManager();
    ChangeTableState(ltoEmpty);
  }
  void RenameTable(TMdbCursor*, const String& NewTableName) override { SetTableName(NewTableName); }
  bool InsertRecord(TMdbCursor*& Cursor) override {
    if (FailWithMinus8) {
      Cursor->FErrorCode = -8;
      throw EMdbException(11897, u"refused");
    }
    return TTestTableData::InsertRecord(Cursor);
  }
  bool DeleteRecord(TMdbCursor* Cursor) override {
    if (RefuseDelete) return false;
    TMdbRecordID Id = Cursor->CurrentRecordID;
    return RecordManager()->DeleteRecord(Id, Cursor->FSession->SessionID);
  }
  bool UpdateRecord(TMdbCursor* Cursor) override {
    if (RefuseDelete) throw EMdbException(11899, u"no update");
    return RecordManager()->UpdateRecord(Cursor->FCurrentRecordBuffer, Cursor->CurrentRecordID, Cursor->FSession->SessionID);
  }
  bool FailWithMinus8 = false;
  bool RefuseDelete = false;
};

// A memory database whose sessions get ids 1, 2, ... and whose tables are TSessionTableData.
class TTestMemoryDatabase : public TMdbDatabaseData {
 public:
  explicit TTestMemoryDatabase(const AnsiString& Name) {
    FDatabaseName = Name;
    FInMemory = true;
  }
  void ConnectSession(TMdbBaseSession* Session) override {
    Session->SessionID = ++FNextId;
    AddSession(Session);
  }
  TMdbTableData* CreateTableData(TMdbCursor* Cursor) override {
    auto* T = new TSessionTableData(this);
    T->SetTableName(Cursor->FTableName);
    AddTableData(T);
    return T;
  }

 private:
  std::int32_t FNextId = 0;
};

// The component's BLOB stream as the dataset makes it: wraps an engine stream and, when freed,
// closes its field through the cursor.
class TWrapperStream : public TMdbStream {
 public:
  TWrapperStream(TMdbLocalBLOBStream* Inner, TMdbCursor* Cursor, std::int32_t FieldNo, int* Freed)
      : FInner(Inner), FCursor(Cursor), FFieldNo(FieldNo), FFreed(Freed) {
    FInner->FUserBLOBStream = this;
  }
  ~TWrapperStream() override {
    FInner->FUserBLOBStream = nullptr;
    ++*FFreed;
    FCursor->InternalCloseBLOB(FFieldNo);
  }
  Int64 Read(void* B, Int64 n) override { return FInner->Read(B, n); }
  Int64 Write(const void* B, Int64 n) override {
    const Int64 r = FInner->Write(B, n);
    if (r > 0) FInner->SetModified(true);
    return r;
  }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override { return FInner->Seek(Offset, Origin); }

 private:
  TMdbLocalBLOBStream* FInner;
  TMdbCursor* FCursor;
  std::int32_t FFieldNo;
  int* FFreed;
};

class MdbLocalCursorTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    MdbCreateDatabaseDataRegistry();
    Memory = new TTestMemoryDatabase("MEMORY");
    DatabaseDataRegistry()->Add(Memory);
    AddField(Fields, u"ID", aftInteger);
    AddField(Fields, u"Name", aftWideString, 10);
    AddField(Fields, u"Note", aftWideMemo);
  }
  void TearDown() override {
    Fields.Clear();
    MdbFreeDatabaseDataRegistry();
    MdbStorageTest::TearDown();
  }
  std::unique_ptr<TMdbLocalSession> Connect(const AnsiString& Name = "MEMORY") {
    auto S = std::make_unique<TMdbLocalSession>();
    S->InMemory = true;
    S->FDatabaseName = S->FDatabaseFileName = Name;
    S->SetConnected(true);
    return S;
  }
  // An open cursor on table T with a current record buffer, freed with the cursor.
  struct TOpen {
    std::unique_ptr<TMdbLocalCursor> C;
    TOpen() = default;
    TOpen(TOpen&&) = default;
    ~TOpen() {
      if (C) C->FreeRecordBuffer(C->FCurrentRecordBuffer);
    }
    TMdbLocalCursor* operator->() const { return C.get(); }
  };
  TOpen Open(TMdbLocalSession& S, TMdbFieldDefs* Defs, const String& Name = u"T") {
    TOpen O;
    O.C.reset(static_cast<TMdbLocalCursor*>(S.CreateCursor(Name, false)));
    O->FInMemory = true;
    O->OpenTableByFieldDefs(Defs, nullptr, nullptr);
    O->FCurrentRecordBuffer = O->AllocateRecordBuffer();
    return O;
  }
  static void Post(TMdbLocalCursor* C, std::int32_t Id) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    C->SetFieldData(0, &Id, C->FCurrentRecordBuffer);
    C->InternalPost(true);
  }
  TSessionTableData* TableOf(TMdbLocalCursor* C) { return static_cast<TSessionTableData*>(C->TableData()); }

  TTestMemoryDatabase* Memory = nullptr;
  TMdbFieldDefs Fields;
};

TEST_F(MdbLocalCursorTest, SessionsBindConnectAndLeaveDatabasesRegistered) {
  auto A = Connect();
  auto B = Connect();
  EXPECT_EQ(A->DatabaseData(), Memory);
  EXPECT_EQ(B->DatabaseData(), Memory);
  EXPECT_NE(A->SessionID, B->SessionID);
  EXPECT_EQ(Memory->GetSessionsCount(), 2);
  {
    auto C = Open(*A, &Fields);
  }
  EXPECT_TRUE(B->TableExists(u"t"));

  // A memory database of a new name is made and registered on connect and outlives its session.
  auto Other = Connect("SCRATCH");
  TMdbDatabaseData* Scratch = Other->DatabaseData();
  ASSERT_NE(Scratch, nullptr);
  EXPECT_NE(Scratch, Memory);
  Other->SetConnected(false);
  EXPECT_FALSE(Other->GetConnected());
  EXPECT_EQ(FindDatabaseData(true, false, "SCRATCH", String()), Scratch);

  // Bound is not connected: TableExists binds; SetConnected(True) then registers the session.
  TMdbLocalSession Bound;
  Bound.InMemory = true;
  Bound.FDatabaseName = Bound.FDatabaseFileName = "MEMORY";
  EXPECT_TRUE(Bound.TableExists(u"T"));
  EXPECT_FALSE(Bound.GetConnected());
  EXPECT_EQ(Bound.SessionID, -1);
  Bound.SetConnected(true);
  EXPECT_TRUE(Bound.GetConnected());
  EXPECT_EQ(Memory->GetSessionsCount(), 3);

  // A freed session leaves its database's list.
  B.reset();
  EXPECT_EQ(Memory->GetSessionsCount(), 2);

  // A database the engine cannot hold refuses the connection and registers nothing.
  const std::int32_t Registered = DatabaseDataRegistry()->Count();
  TMdbLocalSession Disk;
  Disk.FDatabaseName = Disk.FDatabaseFileName = "/tmp/none.db";
  EXPECT_EQ(NativeCodeOf([&] { Disk.SetConnected(true); }), 30901);
  EXPECT_FALSE(Disk.GetConnected());
  EXPECT_FALSE(Disk.IsDatabaseEncrypted());
  EXPECT_EQ(DatabaseDataRegistry()->Count(), Registered);
}

TEST_F(MdbLocalCursorTest, SessionNamedValuesAndDatabaseParams) {
  TMdbLocalSession S;
  EXPECT_EQ(S.SessionID, -1);
  EXPECT_FALSE(S.Temporary || S.InMemory);
  ASSERT_NE(S.SessionVariables(), nullptr);
  EXPECT_EQ(TMdbBaseSession().SessionVariables(), nullptr);
  TMdbSessionComponentManager Handle;
  S.SetSessionComponentManager(&Handle);
  EXPECT_EQ(S.SessionComponentManager(), &Handle);

  // Names differing only in case are two values; setting an existing one replaces it in place.
  S.SetSequenceValue(u"Seq", 1);
  S.SetSequenceValue(u"SEQ", 2);
  S.SetSequenceValue(u"Seq", 3);
  ASSERT_EQ(S.SessionNamedObjectList().size(), 2u);
  auto ValueOf = [&](const char16_t* N) {
    return static_cast<TMdbSessionNamedObjectSequenceValue*>(S.GetNamedObject(N))->Value;
  };
  EXPECT_EQ(ValueOf(u"Seq"), 3);
  EXPECT_EQ(ValueOf(u"SEQ"), 2);
  EXPECT_EQ(S.GetNamedObject(u"seq"), nullptr);

  S.FDatabaseName = "MEMORY";
  S.FSessionName = "Main";
  S.InMemory = true;
  S.CaseInsensitive = true;
  TMdbSQLDatabaseParams P;
  P.Params = &Handle;
  S.SetDatabaseParams(P);
  EXPECT_EQ(P.Session, &S);
  EXPECT_TRUE(P.ParamsSet && P.InMemory && P.CaseInsensitive && P.RequestLive);
  EXPECT_EQ(P.DatabaseName, "MEMORY");
  EXPECT_EQ(P.SessionName, "Main");
  EXPECT_EQ(P.Params, nullptr);
}

TEST_F(MdbLocalCursorTest, SessionRefusalsCarryTheirCodes) {
  TMdbLocalSession Unbound;
  const struct { std::function<void()> Call; int Code; } Cases[] = {
      {[&] { Unbound.FlushFileBuffers(); }, 11235},
      {[&] { Unbound.StartTransaction(); }, 10813},
      {[&] { Unbound.Commit(false); }, 10815},
      {[&] { Unbound.Rollback(); }, 10817},
      {[&] { Unbound.SetTableComment(u"T", u"c"); }, 11969},
      {[&] { Unbound.CreateStoredFunction(u"x"); }, 12000},
      {[&] { Unbound.CreateStoredFunction(static_cast<TObject*>(nullptr), u"x"); }, 12104},
      {[&] { TObject* F; String S; Unbound.ParseStoredFunction(nullptr, nullptr, F, S); }, 12108},
      {[&] { Unbound.DropStoredFunction(u"x"); }, 12001},
      {[&] { Unbound.AlterStoredFunction(u"x", u"y"); }, 12209},
      {[&] { Unbound.AlterStoredFunctionRename(u"x", u"y"); }, 12223},
      {[&] { Unbound.ExecuteStoredFunction(u"x", nullptr, nullptr); }, 12002},
      {[&] { Unbound.FindStoredFunction(u"x"); }, 12003},
      {[&] { Unbound.GetStoredFunctionByName(u"x"); }, 12475},
      {[&] { TMdbSQLParams* P; Unbound.ParseStoredFunctionParams(nullptr, nullptr, nullptr, P); }, 12090},
      {[&] { Unbound.GetStoredFunctions(static_cast<TStrings*>(nullptr), nullptr, false); }, 12004},
      {[&] { Unbound.GetStoredFunctions(static_cast<TMdbWideStringList*>(nullptr), nullptr, false); }, 12005},
      {[&] { String S; Unbound.ExportStoredFunctionsToSQL(S); }, 12139},
      {[&] { Unbound.CreateView(u"V", u"select 1", nullptr, false, u""); }, 12565},
      {[&] { Unbound.DropView(u"V", false); }, 12566},
      {[&] { TMdbBaseSession().CreateDatabase(); }, 10888},
  };
  for (const auto& C : Cases) EXPECT_EQ(NativeCodeOf(C.Call), C.Code);

  auto S = Connect();
  EXPECT_EQ(NativeCodeOf([&] { S->Commit(false); }), 10816);
  try {
    S->Rollback();
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 10818);
    EXPECT_NE(E.Message().find(u"'MEMORY'"), String::npos);
  }
  EXPECT_EQ(NativeCodeOf([&] { S->CreateDatabase(); }), 20092);

  auto* Temp = new TTestMemoryDatabase("TEMP");
  Temp->FInMemory = false;
  Temp->FTemporary = true;
  DatabaseDataRegistry()->Add(Temp);
  TMdbLocalSession T;
  T.Temporary = true;
  T.SetConnected(true);
  EXPECT_EQ(T.DatabaseData(), Temp);
  EXPECT_EQ(NativeCodeOf([&] { T.StartTransaction(); }), 10831);

  // A cursor from the factory is closed and carries the name and the session.
  std::unique_ptr<TMdbCursor> C(S->CreateCursor(u"Nope", true));
  EXPECT_NE(dynamic_cast<TMdbLocalCursor*>(C.get()), nullptr);
  EXPECT_FALSE(C->FIsOpen);
  EXPECT_EQ(C->FTableName, u"Nope");
  EXPECT_EQ(C->FSession, S.get());
}

TEST_F(MdbLocalCursorTest, OpenCreatesReCreatesInDesignModeAndRefusesMissingTables) {
  auto S = Connect();
  TMdbFieldDefs None;
  for (TMdbFieldDefs* Defs : {static_cast<TMdbFieldDefs*>(nullptr), &None}) {
    std::unique_ptr<TMdbCursor> C(S->CreateCursor(u"T", false));
    C->FInMemory = true;
    EXPECT_EQ(NativeCodeOf([&] { C->OpenTableByFieldDefs(Defs, nullptr, nullptr); }), 12434);
    EXPECT_FALSE(C->FIsOpen);
  }
  EXPECT_FALSE(S->TableExists(u"T"));

  auto C = Open(*S, &Fields);
  EXPECT_TRUE(C->FIsOpen);
  EXPECT_EQ(C->FFieldDefs.Count(), 3);
  EXPECT_EQ(C->FBookmarkOffset, C->FFieldDefs.RecordSize());
  EXPECT_EQ(C->FRecordBufferSize, C->FBookmarkOffset + 7);
  EXPECT_EQ(C->FKeyBufferSize, C->FBookmarkOffset + 6);
  TMdbTableData* Table = C->TableData();
  C->OpenTableByFieldDefs(&Fields, nullptr, nullptr);  // open already: nothing
  EXPECT_EQ(C->TableData(), Table);
  C->CloseTable();

  // Design mode with a wider Name re-creates the empty table, but never one that holds records.
  TMdbFieldDefs Wider;
  Wider.Assign(Fields);
  Wider.GetDef(1)->SetFieldDefDataType(aftWideString, 20);
  auto Design = [&](TMdbFieldDefs* Defs) {
    TOpen D;
    D.C.reset(static_cast<TMdbLocalCursor*>(S->CreateCursor(u"T", false)));
    D->FInMemory = true;
    D->FIsDesignMode = true;
    D->OpenTableByFieldDefs(Defs, nullptr, nullptr);
    return D->FFieldDefs.GetDef(1)->FFieldSize;
  };
  EXPECT_EQ(Design(&Wider), 20);
  {
    auto P = Open(*S, nullptr);
    Post(P.C.get(), 1);
    ASSERT_EQ(P->FErrorCode, 0);
  }
  EXPECT_EQ(Design(&Fields), 20);
}

TEST_F(MdbLocalCursorTest, PostDeleteAndEditReportThroughErrorCode) {
  TMdbConstraintDefs Constraints;
  Constraints.AddNotNull()->ColumnName = u"ID";
  auto S = Connect();
  TOpen C;
  C.C.reset(static_cast<TMdbLocalCursor*>(S->CreateCursor(u"T", false)));
  C->FInMemory = true;
  C->OpenTableByFieldDefs(&Fields, nullptr, &Constraints);
  C->FCurrentRecordBuffer = C->AllocateRecordBuffer();

  Post(C.C.get(), 7);
  EXPECT_EQ(C->FErrorCode, 0);
  EXPECT_EQ(C->GetRecordCount(), 1);
  const Byte* Mark = C->FCurrentRecordBuffer + C->FBookmarkOffset;
  EXPECT_EQ(Mark[6], 3);

  // A refused record: nothing stored, the adding-record text, a line break and the cause.
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  C->CurrentRecordID = {};
  C->InternalPost(true);
  EXPECT_EQ(C->FErrorCode, -1);
  const String Head = u"Error adding record, table name = T, InMemory = -1, Temporary = 0\r\n";
  EXPECT_EQ(C->FErrorMessage.substr(0, Head.size()), Head);
  EXPECT_GT(C->FErrorMessage.size(), Head.size());
  EXPECT_EQ(Mark[6], 3);
  EXPECT_EQ(C->GetRecordCount(), 1);

  TableOf(C.C.get())->FailWithMinus8 = true;
  Post(C.C.get(), 8);
  EXPECT_EQ(C->FErrorCode, -8);
  TableOf(C.C.get())->FailWithMinus8 = false;

  // Deleting and updating the record at the bookmark.
  C->InternalFirst();
  ASSERT_EQ(C->GetRecordBuffer(grmNext), grrOK);
  TableOf(C.C.get())->RefuseDelete = true;
  C->InternalDelete();
  EXPECT_EQ(C->FErrorCode, -3);
  EXPECT_TRUE(C->FErrorMessage.empty());
  C->InternalPost(false);
  EXPECT_EQ(C->FErrorCode, -2);
  EXPECT_EQ(C->FErrorMessage.substr(0, 23), u"Error updating record: ");
  TableOf(C.C.get())->RefuseDelete = false;
  C->InternalDelete();
  EXPECT_EQ(C->FErrorCode, 0);
  EXPECT_EQ(C->GetRecordCount(), 0);

  // A temporary table refuses edit, delete and cancel through the code alone.
  C->TableData()->FTemporary = true;
  C->InternalEdit();
  EXPECT_EQ(C->FErrorCode, -9);
  C->InternalDelete();
  EXPECT_EQ(C->FErrorCode, -10);
  C->InternalCancel(true);
  EXPECT_EQ(C->FErrorCode, -11);
  C->TableData()->FTemporary = false;
}

TEST_F(MdbLocalCursorTest, BlobStreamsOneWriterPerFieldAndWrittenBackOnce) {
  auto S = Connect();
  auto C = Open(*S, &Fields);
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  auto* W = C->InternalCreateBlobStream(true, 2, bomWrite);
  EXPECT_EQ(NativeCodeOf([&] { C->InternalCreateBlobStream(true, 2, bomReadWrite); }), 10115);
  C->InternalCreateBlobStream(true, 2, bomRead);
  C->InternalCreateBlobStream(true, 2, bomRead);
  EXPECT_EQ(C->FBLOBStreams.size(), 3u);
  for (int n : {-1, 3}) {
    EXPECT_EQ(NativeCodeOf([&] { C->InternalCreateBlobStream(true, n, bomRead); }), 10110);
    EXPECT_EQ(NativeCodeOf([&] { C->InternalCloseBLOB(n); }), 10118);
  }

  // The wrapper's own close writes the value back; the engine stream is freed once.
  int Freed = 0;
  auto* Wrapper = new TWrapperStream(static_cast<TMdbLocalBLOBStream*>(W), C.C.get(), 2, &Freed);
  const char16_t Text[] = u"abc";
  Wrapper->Write(Text, 6);
  C->InternalCloseBLOB(2);
  EXPECT_EQ(Freed, 1);
  EXPECT_TRUE(C->FBLOBStreams.empty());
  TMdbVariant V;
  C->GetFieldValue(&V, 2, false, true);
  EXPECT_EQ(V.DataSize(), 8);

  // Post settles write streams only; reads survive until close.
  C->SetFieldData(0, &Freed, C->FCurrentRecordBuffer);
  C->InternalCreateBlobStream(true, 2, bomRead);
  C->InternalCreateBlobStream(true, 2, bomWrite)->Write("zz", 2);
  C->InternalPost(true);
  EXPECT_EQ(C->FErrorCode, 0);
  EXPECT_EQ(C->FBLOBStreams.size(), 1u);
  C->CloseTable();
  EXPECT_TRUE(C->FBLOBStreams.empty());
}

TEST_F(MdbLocalCursorTest, ProjectionMapsVisibleFields) {
  auto S = Connect();
  auto C = Open(*S, &Fields);
  TMdbWideStringList Names, Aliases, Three;
  Names.Add(u"Note", false);
  Names.Add(u"ID", false);
  Aliases.Add(u"", false);
  Aliases.Add(u"Key", false);
  for (auto* N : {u"a", u"b", u"c"}) Three.Add(N, false);
  try {
    C->ApplyProjection(&Names, &Three);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 10321);
    EXPECT_NE(E.Message().find(u"L1 = 2, L2 = 3"), String::npos);
  }
  TMdbWideStringList Missing, One;
  Missing.Add(u"Nope", false);
  One.Add(u"", false);
  EXPECT_EQ(NativeCodeOf([&] { C->ApplyProjection(&Missing, &One); }), 10323);
  EXPECT_EQ(C->FVisibleFieldDefs.Count(), 3);

  C->ApplyProjection(&Names, &Aliases);
  ASSERT_EQ(C->FVisibleFieldDefs.Count(), 2);
  EXPECT_EQ(C->FVisibleFieldDefs.GetDef(0)->FFieldNoReference, 2);
  EXPECT_EQ(C->FVisibleFieldDefs.GetDef(1)->Name(), u"Key");
  const std::int32_t Id = 42;
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  C->SetFieldData(1, &Id, C->FCurrentRecordBuffer);
  std::int32_t Back = 0;
  EXPECT_TRUE(C->GetFieldData(1, &Back, C->FCurrentRecordBuffer));
  EXPECT_EQ(Back, 42);
  EXPECT_FALSE(C->GetFieldData(0, nullptr, C->FCurrentRecordBuffer));

  // A BLOB read through the projection opens the column the visible entry shows, by either numbering.
  TMdbStream* W = C->InternalCreateBlobStream(true, 0, bomWrite);
  W->Write(u"memo", 8);
  W->SetModified(true);
  C->InternalCloseBLOB(0);
  for (const bool Direct : {false, true}) {
    TMdbVariant V;
    C->GetFieldValue(&V, Direct ? 2 : 0, Direct, true);
    ASSERT_EQ(V.DataSize(), 10) << Direct;
    EXPECT_EQ(std::u16string_view(reinterpret_cast<const char16_t*>(V.PData()), 4), u"memo");
  }
}

TEST_F(MdbLocalCursorTest, TableOperationsThroughACursor) {
  auto S = Connect();
  {
    auto C = Open(*S, &Fields);
    Post(C.C.get(), 1);
    Post(C.C.get(), 2);
  }
  auto Fresh = [&](const String& Name) {
    std::unique_ptr<TMdbCursor> C(S->CreateCursor(Name, false));
    C->FInMemory = true;
    return C;
  };
  TMdbMemoryStream Out;
  const struct { std::function<void()> Call; int Code; } Cases[] = {
      {[&] { Fresh(u"Nope")->SaveTableToStream(&Out, acaNone, 0, 0, false, false); }, 10154},
      {[&] { Fresh(u"Nope")->EmptyTable(); }, 10073},
      {[&] { Fresh(u"Nope")->RenameTable(u"X"); }, 10151},
      {[&] { Fresh(u"Nope")->DeleteTable(false); }, 12563},  // a memory database tries a view
      {[&] { TMdbLocalCursor C; C.SaveTableToStream(&Out, acaNone, 0, 0, false, false); }, 11762},
      {[&] {
         TMdbLocalSession Unbound;
         TMdbLocalCursor C;
         C.FSession = &Unbound;
         C.SaveTableToStream(&Out, acaNone, 0, 0, false, false);
       },
       11761},
  };
  for (const auto& C : Cases) EXPECT_EQ(NativeCodeOf(C.Call), C.Code);

  // A cursor that does not say it is in memory still leaves a memory database's table registered.
  {
    std::unique_ptr<TMdbCursor> Plain(S->CreateCursor(u"T", false));
    Plain->RenameTable(u"T");
    EXPECT_TRUE(S->TableExists(u"T"));
  }

  AnsiString Log;
  EXPECT_TRUE(Fresh(u"T")->RepairTable(Log, nullptr, nullptr));
  EXPECT_TRUE(Log.empty());

  Fresh(u"T")->EmptyTable();
  EXPECT_EQ(Memory->GetTableState(u"T").LastTableOperation, ltoEmpty);
  {
    auto C = Open(*S, nullptr);
    EXPECT_EQ(C->GetRecordCount(), 0);
    Post(C.C.get(), 3);
  }

  // A create the table refuses leaves the old table and its records; one it accepts replaces them.
  TMdbFieldDefs NoFields;
  EXPECT_NE(NativeCodeOf([&] { Fresh(u"T")->CreateTable(&NoFields, nullptr, nullptr); }), -1);
  EXPECT_EQ(Memory->TableDataCount(), 1);
  {
    auto C = Open(*S, nullptr);
    EXPECT_EQ(C->GetRecordCount(), 1);
  }
  Fresh(u"T")->CreateTable(&Fields, nullptr, nullptr);
  EXPECT_EQ(Memory->TableDataCount(), 1);
  {
    auto C = Open(*S, nullptr);
    EXPECT_EQ(C->GetRecordCount(), 0);
  }
  auto R = Fresh(u"T");
  R->RenameTable(u"U");
  EXPECT_EQ(R->FTableName, u"U");
  EXPECT_TRUE(S->TableExists(u"U"));
  Fresh(u"U")->DeleteTable(false);
  EXPECT_FALSE(S->TableExists(u"U"));
  EXPECT_EQ(Memory->TableDataCount(), 0);
}

}  // namespace

namespace {

class TCountingProcessor : public TMdbSQLProcessor {
 public:
  void UpdateParams() override {
    TMdbSQLProcessor::UpdateParams();
    ++Updates;
  }
  int Updates = 0;
};

TEST_F(MdbLocalCursorTest, ProcessorBaseAndQueryServicesWithoutQueryProcessing) {
  TCountingProcessor P;
  P.FSQLParams->AddCreated()->SetAsInteger(1);
  const struct { int Value; bool NeverOpened; int Updates; bool Changed; } Steps[] = {
      {1, true, 0, false}, {1, false, 0, false}, {2, false, 1, true}, {2, false, 1, false}};
  for (const auto& S : Steps) {
    P.FSQLParams->GetValue(0)->SetAsInteger(S.Value);
    P.FNeverOpened = S.NeverOpened;
    P.FRowsAffected = 9;
    EXPECT_EQ(P.OpenQuery(nullptr), nullptr);
    EXPECT_EQ(P.Updates, S.Updates);
    EXPECT_EQ(P.ParamsChanged(), S.Changed);
    EXPECT_EQ(P.ParamsHash(), P.SQLParams()->GetHashValue());
    EXPECT_EQ(P.RowsAffected(), 0);
  }

  auto S = Connect();
  auto C = Open(*S, &Fields);
  EXPECT_EQ(NativeCodeOf([&] { C->ActivateFilters(u"ID = 1", false, false); }), kMdbQueryNotAvailableCode);
  EXPECT_EQ(C->FFilterExpression, nullptr);
  EXPECT_EQ(NativeCodeOf([&] { S->InternalCreateSQLProcessor(u"select 1"); }), kMdbQueryNotAvailableCode);
  TMdbStoredFunctionManager M(Memory);
  TMdbMemoryStream Block;
  M.Save(&Block);
  EXPECT_EQ(Block.Size(), 24);
  Block.SetPosition(0);
  M.Load(&Block, false);
  EXPECT_EQ(M.Count(), 0);
  EXPECT_EQ(NativeCodeOf([&] { M.CreateStoredFunction(S.get(), u"create function f"); }), kMdbQueryNotAvailableCode);
  EXPECT_EQ(NativeCodeOf([&] { M.ExecuteStoredFunction(S.get(), u"f", nullptr, nullptr); }), kMdbQueryNotAvailableCode);
  EXPECT_EQ(M.GetStoredFunctionByName(u"f", S.get()), nullptr);
  M.AddStoredFunction(u"f", u"create function f");
  EXPECT_EQ(NativeCodeOf([&] { M.GetStoredFunctionByName(u"F", S.get()); }), kMdbQueryNotAvailableCode);
  // The connected session forwards to its database, which here has no manager and says so.
  EXPECT_EQ(NativeCodeOf([&] { S->ExecuteStoredFunction(u"f", nullptr, nullptr); }), 12008);
  EXPECT_EQ(NativeCodeOf([&] { S->GetStoredFunctionByName(u"f"); }), 12476);
  TMdbSQLParams* Params = nullptr;
  EXPECT_EQ(S->ParseStoredFunctionParams(nullptr, nullptr, nullptr, Params), nullptr);
}

}  // namespace

// Cursor refusals by code and message: a field renamed in a table that does not exist or through a
// session bound to no database, a BLOB stream asked of a cursor whose table was closed.
TEST_F(MdbLocalCursorTest, CursorRefusalsCarryTheirMessages) {
  auto S = Connect();
  TMdbLocalSession Unbound;
  auto Closed = Open(*S, &Fields);
  Closed->CloseTable();
  const struct {
    std::function<void()> Call;
    const char* Message;
  } Cases[] = {
      {[&] {
         std::unique_ptr<TMdbCursor> C(S->CreateCursor(u"Nope", false));
         C->FInMemory = true;
         C->RenameField(u"ID", u"Key");
       },
       "Table not found, table name = Nope - Native error: 11166"},
      {[&] {
         TMdbLocalCursor C;
         C.FSession = &Unbound;
         C.FTableName = u"T";
         C.RenameField(u"ID", u"Key");
       },
       "Nil pointer occured - Native error: 11166"},
      // Closing drops the field list: the field number is refused before the missing table is met.
      {[&] { Closed->InternalCreateBlobStream(false, 2, bomRead); },
       "Invalid field number - FieldNo = 2, FieldCount = 0 - Native error: 10110"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Message);
    try {
      Case.Call();
      ADD_FAILURE() << "not refused";
    } catch (const EMdbException& E) {
      EXPECT_EQ(std::string(E.Message().begin(), E.Message().end()), Case.Message);
    }
  }
  EXPECT_FALSE(S->TableExists(u"Nope"));
}
