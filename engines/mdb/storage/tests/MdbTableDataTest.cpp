#include "engines/mdb/storage/MdbTableData.h"

#include <random>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"
#include "engines/mdb/storage/tests/MdbTableFixture.h"

namespace {

TMdbFieldDef* AddField(TMdbFieldDefs& Defs, const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
  TMdbFieldDef* F = Defs.AddCreated();
  F->SetName(Name);
  F->SetFieldDefDataType(Type, Size);
  return F;
}

// A table {ID Int32, Qty Int32, Price Double, Note WideMemo}, plus whatever a test adds.
class MdbTableDataTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    TTestIndex::Keys.clear();
    TTestIndex::ClearedSessions.clear();
    SetMdbIndexFactory([](TMdbBaseIndexManager* M) { return std::make_unique<TTestIndex>(M); });
    AddField(Fields, u"ID", aftInteger);
    AddField(Fields, u"Qty", aftInteger);
    AddField(Fields, u"Price", aftDouble);
    AddField(Fields, u"Note", aftWideMemo);
  }
  void TearDown() override {
    Cursors.clear();
    Table.reset();
    // Definitions hold values, which go back to the runtime before it stops.
    Fields.Clear();
    Indexes.Clear();
    Constraints.Clear();
    SetMdbIndexFactory(nullptr);
    MdbStorageTest::TearDown();
  }
  TTestCursor* Open(TMdbBaseSession* S = nullptr) {
    if (!Table) {
      Table = std::make_unique<TTestTableData>(&Db);
      Table->SetTableName(u"T");
      Table->CreateTable(nullptr, Fields, Indexes, Constraints);
    }
    Cursors.push_back(std::make_unique<TTestCursor>(Table.get(), S ? S : &Session));
    return Cursors.back().get();
  }
  // Posts a row {ID, Qty} (a negative value: NULL).
  TMdbRecordID Post(TTestCursor* C, std::int32_t Id, std::int32_t Qty) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    if (Id >= 0) C->SetFieldData(0, &Id, C->FCurrentRecordBuffer);
    if (Qty >= 0) C->SetFieldData(1, &Qty, C->FCurrentRecordBuffer);
    EXPECT_TRUE(C->Insert());
    return C->CurrentRecordID;
  }
  std::int32_t IntAt(TTestCursor* C, std::int32_t FieldNo) {
    std::int32_t v = -1;
    return C->GetFieldData(FieldNo, &v, C->FCurrentRecordBuffer) ? v : -1;
  }
  void WriteNote(TTestCursor* C, std::u16string_view Text) {
    auto* S = C->InternalCreateBlobStream(false, 3, bomWrite);
    S->Write(Text.data(), static_cast<Int64>(Text.size() * 2));
    S->SetModified(true);
    C->InternalCloseBLOB(3);
  }

  TMdbDatabaseData Db;
  TTestSession Session{1}, Other{2};
  TMdbFieldDefs Fields;
  TMdbIndexDefs Indexes;
  TMdbConstraintDefs Constraints;
  std::unique_ptr<TTestTableData> Table;
  std::vector<std::unique_ptr<TTestCursor>> Cursors;
};

}  // namespace

// ---- cursor base -------------------------------------------------------------------------------------------

TEST_F(MdbTableDataTest, CursorLayoutFieldAccessAndErrors) {
  auto* C = Open();
  // 4 columns: 1 bitmap byte; ID 1, Qty 5, Price 9, Note 17 (8 bytes); E = 25.
  EXPECT_EQ(C->FFieldValuesOffset, 1);
  EXPECT_EQ(C->FBookmarkOffset, 25);
  EXPECT_EQ(C->FKeyOffset, 25);
  EXPECT_EQ(C->FRecordSize, 32);
  EXPECT_EQ(C->FKeyBufferSize, 31);
  EXPECT_EQ(C->FCalculatedFieldsOffset, 32);

  try {
    C->GetFieldData(4, nullptr, C->FCurrentRecordBuffer);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 10005);
    EXPECT_NE(E.Message().find(u"FieldNo = 4, FieldCount = 4"), String::npos);
  }
  const struct { std::function<void()> Call; int Code; } Errors[] = {
      {[&] { C->GetFieldData(-1, nullptr, C->FCurrentRecordBuffer); }, 10005},
      {[&] { C->SetFieldData(4, nullptr, C->FCurrentRecordBuffer); }, 10006},
      {[&] { TMdbVariant V; C->GetFieldValue(&V, 4, true, true); }, 10317},
      {[&] { TMdbVariant V; C->GetFieldValue(&V, 4, false, true); }, 10737},
      {[&] { TMdbVariant V; C->SetFieldValue(&V, 4, true); }, 10318},
      {[&] { TMdbVariant V; C->SetFieldValue(&V, 4, false); }, 10738},
      {[&] { TMdbVariant V(bftWideVarchar); V.SetAsWideString(u"x"); C->SetFieldValue(&V, 3, true); }, 11589},
      {[&] { TMdbVariant V(bftWideVarchar); V.SetAsWideString(u"x"); C->SetFieldValue(&V, 3, false); }, 11591},
      {[&] { C->RenameField(u"Nope", u"X"); }, 30345},
      {[&] { C->RenameField(u"ID", u"qty"); }, 30346},
      {[&] { C->EmptyTable(); }, 30339},
  };
  for (const auto& E : Errors) EXPECT_EQ(NativeCodeOf(E.Call), E.Code);
  C->RenameField(u"ID", u"Key");
  EXPECT_EQ(C->FFieldDefs.GetDef(0)->Name(), u"Key");

  // After a projection visible column 0 may be table column 1.
  C->FVisibleFieldDefs.GetDef(0)->FFieldNoReference = 1;
  C->InternalInitRecord(C->FCurrentRecordBuffer, false);
  const std::int32_t Seven = 7;
  WriteRecordField(1, C->FFieldDefs, &Seven, C->FCurrentRecordBuffer);
  EXPECT_EQ(IntAt(C, 0), 7);
  EXPECT_EQ(IntAt(C, 1), 7);
}

TEST_F(MdbTableDataTest, CursorValuesDefaultsAndPositions) {
  Fields.GetDef(1)->FDefaultValue->SetAsInteger(5);
  auto* C = Open();
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  EXPECT_EQ(IntAt(C, 1), 5);
  EXPECT_EQ(IntAt(C, 0), -1);
  C->FTemporary = true;
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  EXPECT_EQ(IntAt(C, 1), -1);
  C->FTemporary = false;

  // A NULL column reads NULL whatever bytes it holds; an Int32 value into a Double column is cast.
  TMdbVariant V;
  std::memset(C->FCurrentRecordBuffer + 1, 0x55, 4);
  C->GetFieldValue(&V, 0, true, true);
  EXPECT_TRUE(V.IsNull());
  TMdbVariant I(bftSignedInt32);
  I.SetAsInteger(3);
  C->SetFieldValue(&I, 2, false);
  EXPECT_EQ(I.DataType(), bftDouble);
  C->GetFieldValue(&V, 2, false, true);
  EXPECT_EQ(V.AsDouble(), 3.0);

  // Wide CLOBs: empty is NULL; three characters give 8 bytes ending in two zeros.
  C->GetFieldValue(&V, 3, true, true);
  EXPECT_TRUE(V.IsNull());
  WriteNote(C, u"abc");
  C->GetFieldValue(&V, 3, true, true);
  ASSERT_EQ(V.DataSize(), 8);
  EXPECT_EQ(V.PData()[6], 0);
  EXPECT_EQ(V.PData()[7], 0);
  EXPECT_EQ(V.AsWideString().substr(0, 3), u"abc");
  Table->ClearTemporaryBLOBValues(C);
  EXPECT_EQ(Table->Blobs().LiveCount(), 0u);

  // Positions and bookmarks.
  C->FirstPosition = false;
  C->LastPosition = true;
  C->CurrentRecordID = {123456, 7};
  void* Pos = C->SavePosition();
  C->InternalFirst();
  C->CurrentRecordID = {};
  C->RestorePosition(Pos);
  C->FreePosition(Pos);
  EXPECT_EQ(Pos, nullptr);
  EXPECT_FALSE(C->FirstPosition);
  EXPECT_TRUE(C->LastPosition);
  EXPECT_EQ(int(C->CurrentRecordID.PageNo), 123456);
  EXPECT_EQ(int(C->CurrentRecordID.PageItemNo), 7);
  C->GetCalcFieldsAndBookMarkData(true);
  const Byte* B = C->FCurrentRecordBuffer + C->FBookmarkOffset;
  EXPECT_EQ(std::vector<Byte>(B, B + 7), (std::vector<Byte>{0x40, 0xE2, 0x01, 0x00, 7, 0, 3}));
}

TEST_F(MdbTableDataTest, RefreshMovesToNextThenPriorThenFirst) {
  auto* C = Open();
  for (int i = 0; i < 3; ++i) Post(C, i, 0);
  const struct { std::vector<int> Deleted; int Current; int Expected; } Cases[] = {
      {{1}, 1, 2},       // the next record
      {{2}, 2, 0},       // no next: the prior one
  };
  for (const auto& K : Cases) {
    for (int s : K.Deleted) {
      TMdbRecordID Id{s, 0};
      Table->RecordManager()->DeleteRecord(Id, 1);
    }
    C->FirstPosition = C->LastPosition = false;
    C->CurrentRecordID = {K.Current, 0};
    C->InternalRefresh();
    EXPECT_EQ(int(C->CurrentRecordID.PageNo), K.Expected);
    EXPECT_FALSE(C->FirstPosition);
  }
  // Nothing left: before the first record.
  for (int s : {0, 1}) {
    TMdbRecordID Id{s, 0};
    Table->RecordManager()->DeleteRecord(Id, 1);
  }
  C->CurrentRecordID = {1, 0};
  C->InternalRefresh();
  EXPECT_TRUE(C->FirstPosition);
}

// ---- managers ----------------------------------------------------------------------------------------------

TEST_F(MdbTableDataTest, AutoincrementFillsFromPerSessionSequences) {
  AddField(Fields, u"N", aftAutoInc);
  AddField(Fields, u"S", aftAutoIncShortint);
  auto* C = Open();
  auto* C2 = Open(&Other);
  const std::int32_t NField = 4;
  auto Next = [&](TTestCursor* K, std::int32_t Explicit) {
    K->InternalInitRecord(K->FCurrentRecordBuffer, true);
    if (Explicit >= 0) K->SetFieldData(NField, &Explicit, K->FCurrentRecordBuffer);
    EXPECT_TRUE(K->Insert());
    return IntAt(K, NField);
  };
  EXPECT_EQ(Next(C, -1), 1);
  EXPECT_EQ(Next(C, -1), 2);
  auto& Seq = *Table->SequenceManager();
  const std::int32_t SeqId = Table->FieldDefs().GetDef(NField)->FSequenceDefObjectId;
  EXPECT_EQ(Seq.GetLastVal(&Session, SeqId), 2);
  EXPECT_EQ(NativeCodeOf([&] { Seq.GetLastVal(&Other, SeqId); }), 30012);
  EXPECT_EQ(Next(C, 10), 10);
  EXPECT_EQ(Next(C2, -1), 11);
  EXPECT_EQ(Next(C, 5), 5);
  EXPECT_EQ(Seq.GetSequenceDef(SeqId)->FLastValue, 11);
  EXPECT_EQ(Seq.GetLastVal(&Session, SeqId), 5);  // the session's own last value, not the sequence's

  // A Shortint -1 is told to its sequence as 255.
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  const std::int8_t Minus1 = -1;
  C->SetFieldData(5, &Minus1, C->FCurrentRecordBuffer);
  C->Insert();
  EXPECT_EQ(Seq.GetSequenceDef(Table->FieldDefs().GetDef(5)->FSequenceDefObjectId)->FLastValue, 255);

  for (auto [Call, Code] : std::initializer_list<std::pair<std::function<void()>, int>>{
           {[&] { Seq.GetNextVal(&Session, 999); }, 30010},
           {[&] { Seq.GetNextVal(&Session, 999, 1); }, 12296},
           {[&] { Seq.GetLastVal(&Session, 999); }, 30011},
           {[&] { Seq.GetSequenceDef(999); }, 30013}})
    EXPECT_EQ(NativeCodeOf(Call), Code);

  const String Name = Seq.GenerateSequenceName(true, u"N", u"T");
  EXPECT_EQ(Name.substr(0, 14), u"$S_Autoinc$T$N");
  EXPECT_GT(Name.size(), 14u);  // the first candidate is taken
  EXPECT_EQ(Seq.GenerateSequenceName(false, u"N", u"T"), u"$S_Linked$T$N");

  // The sequence block: one definition per autoincrement field, read back equal.
  TMdbMemoryStream S;
  Table->SaveAutoincSequencesToStream(&S);
  const auto Good = StreamBytes(S);
  EXPECT_EQ(Good[0], 2);
  S.SetPosition(0);
  Table->LoadAutoincSequencesFromStream(&S);
  ASSERT_EQ(Seq.SequenceDefs().Count(), 2);
  EXPECT_EQ(Seq.GetSequenceDef(SeqId)->FLastValue, 12);
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    TByteViewStream V(Good, static_cast<Int64>(Cut));
    ASSERT_NE(NativeCodeOf([&] { Table->LoadAutoincSequencesFromStream(&V); }), -1) << Cut;
    ASSERT_EQ(Seq.SequenceDefs().Count(), 2) << Cut;
  }
  // The smallest block that holds a sequence: an unnamed definition is 42 bytes.
  {
    TMdbMemoryStream Small;
    const std::int32_t One = 1;
    Small.Write(&One, 4);
    TMdbSequenceDef().SaveToStream(&Small);
    EXPECT_EQ(Small.Size(), 4 + 42);
    Small.SetPosition(0);
    TTestTableData T(&Db);
    T.CreateSequenceManager();
    T.LoadAutoincSequencesFromStream(&Small);
    EXPECT_EQ(T.SequenceManager()->SequenceDefs().Count(), 1);
  }
  std::mt19937 Rng(131);
  for (int i = 0; i < 300; ++i) {
    auto Bad = Good;
    Bad[Rng() % Bad.size()] ^= static_cast<Byte>(1 + Rng() % 255);
    TByteViewStream V(Bad, static_cast<Int64>(Bad.size()));
    try {
      Table->LoadAutoincSequencesFromStream(&V);
    } catch (const EMdbException&) {
      ASSERT_EQ(Seq.SequenceDefs().Count(), 2);
    }
  }
}

TEST_F(MdbTableDataTest, IndexManagerOpensDropsAndKeepsKeys) {
  auto* I = Indexes.AddCreated();
  I->SetName(u"ByQty");
  I->FIndexColumns = {{u"Qty", 0, 0, 0}, {u"ID", 0, 0, 0}};
  auto* C = Open();
  auto& M = *Table->IndexManager();
  const std::int32_t Id = M.IndexDefs().GetDef(0)->ObjectID();
  EXPECT_EQ(M.IndexDefs().GetDef(0)->FRootPageNo, -1);
  Post(C, 1, 30);
  Post(C, 2, 10);
  EXPECT_EQ(M.IndexDefs().GetDef(0)->FRootPageNo, 7);  // the first key allocated the root
  EXPECT_EQ(TTestIndex::Keys[Id].size(), 2u);
  EXPECT_EQ(M.OpenIndexCount(), 1);

  std::vector<Byte> A(32, 0), B(32, 0);
  const std::int32_t Ten = 10, Thirty = 30;
  WriteRecordField(1, Table->FieldDefs(), &Ten, A.data());
  WriteRecordField(1, Table->FieldDefs(), &Thirty, B.data());
  EXPECT_LT(M.CompareRecordBuffersByIndex(Id, A.data(), B.data(), 0), 0);
  EXPECT_EQ(TTestIndex::LastCompareCount, 2);  // 0 means every column of the index
  EXPECT_EQ(M.OpenIndexCount(), 1);            // open before: left open for whoever holds it
  M.CloseIndex(Id);
  EXPECT_GT(M.CompareRecordBuffersByIndex(Id, B.data(), A.data(), 0), 0);
  EXPECT_EQ(M.OpenIndexCount(), 0);  // opened for the comparison only: closed again
  EXPECT_EQ(NativeCodeOf([&] { M.CompareRecordBuffersByIndex(999, A.data(), B.data(), 0); }), 11497);
  EXPECT_EQ(NativeCodeOf([&] { M.OpenIndex(999); }), 20018);

  // A new index gets an id from the database and is built over the copy the manager keeps.
  TMdbIndexDef New;
  New.SetName(u"ById");
  New.FIndexColumns = {{u"ID", 0, 0, 0}};
  const std::int32_t NewId = M.CreateIndex(C, &New);
  EXPECT_EQ(New.ObjectID(), NewId);
  EXPECT_EQ(M.IndexDefs().GetDefByObjectId(NewId)->FRootPageNo, 1);

  M.DropIndex(1, Id);
  EXPECT_EQ(M.IndexDefs().Count(), 1);
  EXPECT_FALSE(TTestIndex::Keys.contains(Id));
  M.DropAllIndexes(1);
  EXPECT_EQ(M.IndexDefs().Count(), 0);
  EXPECT_EQ(NativeCodeOf([] { TTestIndex X(nullptr); }), 11881);
  TMdbBaseIndexManager Orphan(nullptr);
  EXPECT_EQ(NativeCodeOf([&] { TTestIndex X(&Orphan); }), 11882);
}

// ---- constraints -------------------------------------------------------------------------------------------

TEST_F(MdbTableDataTest, ConstraintChecksInListOrder) {
  auto* U = Indexes.AddCreated();
  U->SetName(u"UQty");
  U->FUnique = 1;
  U->FIndexColumns = {{u"Qty", 0, 0, 0}};
  auto* P = Indexes.AddCreated();
  P->SetName(u"PK");
  P->FPrimary = 1;
  P->FIndexColumns = {{u"ID", 0, 0, 0}};
  auto* K = Constraints.AddCheck();
  K->ColumnName = u"ID";
  K->MinValue->SetAsInteger(1);
  K->MaxValue->SetAsInteger(10);
  auto* N = Constraints.AddNotNull();
  N->ColumnName = u"Price";
  Constraints.AddFKAction()->SetName(u"Never");
  auto* C = Open();
  auto& M = *Table->ConstraintManager();
  EXPECT_FALSE(M.FEmpty);
  EXPECT_EQ(M.ConstraintDefs().GetDef(0)->Name(), u"$C_Check$ID");
  EXPECT_EQ(M.ConstraintDefs().GetDef(1)->Name(), u"$C_NotNull$Price");
  for (std::int32_t i = 0; i < Table->IndexManager()->IndexDefs().Count(); ++i)
    M.AddConstraintFromIndex(Table->IndexManager()->IndexDefs().GetDef(i));
  ASSERT_EQ(M.ConstraintDefs().Count(), 5);
  EXPECT_EQ(M.ConstraintDefs().GetDef(4)->ConstraintType(), ctPK);
  EXPECT_GT(M.ConstraintDefs().GetDef(4)->ObjectID(), 0);

  const double Price = 1.5;
  auto Check = [&](std::int32_t Id, std::int32_t Qty, bool WithPrice) {
    Byte* R = C->FCurrentRecordBuffer;
    C->InternalInitRecord(R, true);
    if (Id >= 0) C->SetFieldData(0, &Id, R);
    if (Qty >= 0) C->SetFieldData(1, &Qty, R);
    if (WithPrice) C->SetFieldData(2, &Price, R);
    return NativeCodeOf([&] {
      TMdbCursor* Self = C;
      Table->InsertRecord(Self);
    });
  };
  EXPECT_EQ(Check(1, 5, true), -1);
  const struct { std::int32_t Id, Qty; bool Price; int Code; } Cases[] = {
      {0, 6, true, 30029},   // below the CHECK's lower bound
      {11, 6, true, 30030},  // above its upper bound
      {10, 6, false, 30026}, // NOT NULL
      {2, 5, true, 30320},   // a second Qty 5
      {1, 6, true, 30319},   // a second ID 1
      {-1, 7, true, 30330},  // NULL key column, before any uniqueness test
  };
  for (const auto& K2 : Cases) EXPECT_EQ(Check(K2.Id, K2.Qty, K2.Price), K2.Code) << K2.Id << " " << K2.Qty;
  EXPECT_EQ(Check(10, -1, true), -1);  // NULL passes the CHECK and goes through UNIQUE
  try {
    Check(0, 8, true);
  } catch (...) {
  }
  try {
    Byte* R = C->FCurrentRecordBuffer;
    const std::int32_t Zero = 0;
    C->SetFieldData(0, &Zero, R);
    M.CheckConstraints(C, 1, R, nullptr, true, C->CurrentRecordID, false);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_NE(E.Message().find(u"cannot be lower then '1'"), String::npos);
  }

  M.DeleteConstraintForIndexID(Table->IndexManager()->IndexDefs().GetDef(1)->ObjectID());
  EXPECT_EQ(M.ConstraintDefs().Count(), 4);

  // A CHECK bound of another type compares in the common type; one without a common type raises.
  TMdbVariant Text(bftVarchar);
  Text.SetAsString("5");
  const std::int32_t Six = 6;
  EXPECT_EQ(CompareCheckBound(Text, reinterpret_cast<const Byte*>(&Six), 4, bftSignedInt32), cmprLower);
  TMdbVariant Flag(bftLogical);
  Flag.SetAsBoolean(true);
  const TMdbDateTime When{1, 1};
  EXPECT_EQ(NativeCodeOf([&] { CompareCheckBound(Flag, reinterpret_cast<const Byte*>(&When), 8, bftDateTime); }), 30044);
}

TEST_F(MdbTableDataTest, ConstraintNamesLinksAndForeignKeyMirrors) {
  for (int i = 0; i < 2; ++i) Constraints.AddNotNull()->ColumnName = u"Qty";
  auto* F = Constraints.AddFK();
  F->SetName(u"FK");
  F->Columns = {{u"Qty", 0}};
  F->DeleteAction = cfkaCascade;
  Open();
  auto& M = *Table->ConstraintManager();
  EXPECT_EQ(M.ConstraintDefs().GetDef(0)->Name(), u"$C_NotNull$Qty");
  EXPECT_NE(M.ConstraintDefs().GetDef(1)->Name(), u"$C_NotNull$Qty");
  EXPECT_EQ(M.ConstraintDefs().GetDef(1)->Name().substr(0, 14), u"$C_NotNull$Qty");
  const auto& LF = static_cast<const TMdbConstraintDefForeignKey&>(*M.ConstraintDefs().GetDef(2));
  EXPECT_EQ(LF.Columns[0].ColumnObjectID, Table->FieldDefs().GetDef(1)->ObjectID());
  // With SkipFKCheck no foreign key is looked up.
  const std::int32_t One = 1;
  Byte* R = Cursors[0]->FCurrentRecordBuffer;
  Cursors[0]->InternalInitRecord(R, false);
  Cursors[0]->SetFieldData(1, &One, R);
  M.CheckConstraints(Cursors[0].get(), 1, R, nullptr, true, {}, true);

  // Mirrors in the parent: "FK_Action", then a unique name for a second foreign key named "FK".
  auto* A1 = M.AddForeignKeyAction(&LF, u"Child1", -1);
  auto* A2 = M.AddForeignKeyAction(&LF, u"Child2", -1);
  EXPECT_EQ(A1->Name(), u"FK_Action");
  EXPECT_EQ(A2->Name().substr(0, 10), u"FK_Action_");
  EXPECT_NE(A2->Name(), A1->Name());
  EXPECT_EQ(A1->ReferencedFKName, u"FK");
  EXPECT_EQ(A1->DeleteAction, cfkaCascade);
  EXPECT_TRUE(M.ConstraintDefs().ForeignKeysActionsExists);

  // Unnamed keys cannot be named; unknown names raise the site's code.
  TMdbBaseConstraintManager Other(Table.get());
  Other.ConstraintDefs().AddPK();
  EXPECT_EQ(NativeCodeOf([&] { Other.FillConstraintAutoNames(); }), 30038);
  EXPECT_EQ(NativeCodeOf([&] { Other.LinkObjectIds(); }), 30325);
  Other.ConstraintDefs().Clear();
  Other.ConstraintDefs().AddCheck()->ColumnName = u"Nope";
  EXPECT_EQ(NativeCodeOf([&] { Other.LinkObjectIds(); }), 30027);
  Other.ConstraintDefs().Clear();
  Other.LinkObjectIds();
  EXPECT_TRUE(Other.FEmpty);
}

// ---- table data core ---------------------------------------------------------------------------------------

TEST_F(MdbTableDataTest, StateCountersWrapAndOpenCloseKeepCaches) {
  TTestTableData T(&Db);
  T.ChangeTableMetaDataState(ltoAddIndex);
  T.ChangeTableState(ltoInsert);
  EXPECT_EQ(T.GetLastTableOperation(), ltoInsert);
  for (std::uint32_t i = 0; i < 254; ++i) T.ChangeTableMetaDataState(ltoRename);
  EXPECT_EQ(int(T.GetTableState().TableMetaDataState), 255);
  T.ChangeTableMetaDataState(ltoRename);
  EXPECT_EQ(int(T.GetTableState().TableMetaDataState), 0);
  T.SetTableFailureFlag(true);
  EXPECT_EQ(int(T.GetTableState().TableFailureFlags), 1);
  T.SetTableFailureFlag(false);
  EXPECT_EQ(int(T.GetTableState().TableFailureFlags), 0);
  EXPECT_EQ(NativeCodeOf([&] { T.CalcRecordSize(); }), 10131);

  TMdbFieldDefs Blob;
  AddField(Blob, u"B", aftBlob)->FBLOBBlockSize = 0;
  EXPECT_EQ(NativeCodeOf([&] { T.CreateFieldManager(Blob); }), 10421);

  auto* I = Indexes.AddCreated();
  I->SetName(u"I");
  I->FIndexColumns = {{u"ID", 0, 0, 0}};
  auto* C1 = Open();
  auto* C2 = Open();
  auto* C3 = Open(&Other);
  C3->FExclusive = true;
  Table->IndexManager()->OpenIndex(Table->IndexManager()->IndexDefs().GetDef(0)->ObjectID());
  for (auto* C : {C1, C2, C3}) Table->OpenTable(C);
  EXPECT_NE(Table->RecordBufferCache(), nullptr);
  EXPECT_EQ(NativeCodeOf([&] { Table->LoadTableFromStream(C1, nullptr); }), 10152);
  EXPECT_EQ(NativeCodeOf([&] { Table->SaveTableToStream(nullptr, acaNone, 0, 0, false); }), 10153);
  Table->SaveTableToStream(nullptr, acaNone, 0, 0, true);

  Table->CloseTable(C1);
  EXPECT_TRUE(TTestIndex::ClearedSessions.empty());  // C2 of the same session is still open
  EXPECT_TRUE(Table->FExclusive);
  Table->CloseTable(C3);
  EXPECT_EQ(TTestIndex::ClearedSessions, std::vector<std::int32_t>{2});
  EXPECT_FALSE(Table->FExclusive);
  Table->CloseTable(C2);
  EXPECT_EQ(Table->RecordBufferCache(), nullptr);
  EXPECT_EQ(Table->FindRecordCache(), nullptr);
  Table->OpenTable(C2);
  EXPECT_NE(Table->RecordBufferCache(), nullptr);
  C2->FSession = nullptr;
  EXPECT_EQ(NativeCodeOf([&] { Table->CloseTable(C2); }), 11631);
}

TEST_F(MdbTableDataTest, TableStateWrapsAtTheLargestUInt32) {
  struct TWrap : TTestTableData {
    using TTestTableData::TTestTableData;
    void Set(std::uint32_t v) { FTableState.TableState = v; }
  } T(&Db);
  T.Set(UINT32_MAX);
  T.ChangeTableState(ltoDelete);
  EXPECT_EQ(std::uint32_t(T.GetTableState().TableState), 0u);
  EXPECT_EQ(int(T.GetTableState().LastTableOperation), int(ltoDelete));
}

// ---- record access -----------------------------------------------------------------------------------------

TEST_F(MdbTableDataTest, NavigationAndRecordNumbers) {
  auto* C = Open();
  C->CurrentRecordID = {5, 0};
  EXPECT_EQ(Table->GetRecordBuffer(C, grmNext), grrEOF);
  EXPECT_EQ(int(C->CurrentRecordID.PageNo), 5);  // untouched
  C->InternalFirst();
  Table->SetRecNo(C, 2);  // nothing on an empty table
  EXPECT_TRUE(C->FirstPosition);
  for (int i = 0; i < 3; ++i) Post(C, 10 + i, i);
  C->InternalFirst();
  EXPECT_EQ(Table->GetRecNo(C), -1);
  Table->SetRecNo(C, 10);
  EXPECT_EQ(Table->GetRecNo(C), 3);
  EXPECT_EQ(Table->GetRecordBuffer(C, grmCurrent), grrOK);
  EXPECT_EQ(IntAt(C, 0), 12);
  EXPECT_EQ(Table->GetRecordBuffer(C, grmPrior), grrOK);
  EXPECT_EQ(IntAt(C, 0), 11);
  EXPECT_TRUE(Table->IsRecordExists(C));

  // A filtered cursor walks its record bitmap.
  C->FilterRecord = [](const Byte*) { return true; };
  C->FRecordBitmap = std::make_unique<TMdbRecordBitmap>(Table.get());
  C->FRecordBitmap->ShowRecord({0, 0});
  C->FRecordBitmap->ShowRecord({2, 0});
  C->FRecordBitmap->SetActive(true);
  EXPECT_EQ(Table->GetRecordCount(C, false), 2);
  Table->SetRecNo(C, 2);
  EXPECT_EQ(int(C->CurrentRecordID.PageNo), 2);
  EXPECT_EQ(Table->GetRecNo(C), 2);
  C->InternalFirst();
  EXPECT_EQ(Table->GetRecordBuffer(C, grmNext), grrOK);
  EXPECT_EQ(IntAt(C, 0), 10);
  EXPECT_EQ(Table->GetRecordBuffer(C, grmNext), grrOK);
  EXPECT_EQ(IntAt(C, 0), 12);
  EXPECT_EQ(NativeCodeOf([&] { Table->Locate(C, nullptr); }), 11375);
}

TEST_F(MdbTableDataTest, BlobFieldsThroughTheTableData) {
  auto* C = Open();
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  const std::int32_t One = 1;
  C->SetFieldData(0, &One, C->FCurrentRecordBuffer);
  WriteNote(C, u"stored value");
  ASSERT_TRUE(C->Insert());
  const TMdbFieldDef& Note = *Table->FieldDefs().GetDef(3);
  EXPECT_EQ(GetBlobMarker(Table->Memory()->SlotBuffer(0), Note.FMemoryOffset), kBlobNotModified);
  EXPECT_EQ(Table->Blobs().LiveCount(), 1u);

  // Read back through a fresh read of the record.
  std::memset(C->FCurrentRecordBuffer, 0, 32);
  C->CurrentRecordID = {0, 0};
  ASSERT_EQ(Table->GetRecordBuffer(C, grmCurrent), grrOK);
  TMdbVariant V;
  C->GetFieldValue(&V, 3, true, true);
  EXPECT_EQ(V.AsWideString().substr(0, 12), u"stored value");
  // The slot holds a handle and two zero bytes, never an address.
  const Byte* Slot = C->FCurrentRecordBuffer + Note.FMemoryOffset;
  EXPECT_EQ(Slot[4] | Slot[5], 0);

  // bomWrite starts from an empty value; a read-only stream refuses writes.
  auto* W = C->InternalCreateBlobStream(false, 3, bomWrite);
  EXPECT_EQ(W->Size(), 0);
  C->InternalCloseBLOB(3);
  auto* R = C->InternalCreateBlobStream(false, 3, bomRead);
  EXPECT_EQ(NativeCodeOf([&] { R->Write("x", 1); }), 10115);
  EXPECT_EQ(NativeCodeOf([&] { R->SetSize(0); }), 10116);
  C->InternalCloseBLOB(3);

  // An edit's value replaces the previous edit's block; an empty value over the stored one only
  // makes the field NULL: the stored block stays with the stored record.
  WriteNote(C, u"edit 1");
  WriteNote(C, u"edit 2");
  EXPECT_EQ(Table->Blobs().LiveCount(), 2u);
  WriteNote(C, u"");
  EXPECT_EQ(Table->Blobs().LiveCount(), 1u);
  EXPECT_TRUE(IsRecordFieldNull(C->FCurrentRecordBuffer, 3));
  ASSERT_EQ(Table->GetRecordBuffer(C, grmCurrent), grrOK);
  WriteNote(C, u"");
  EXPECT_EQ(Table->Blobs().LiveCount(), 1u);
  C->GetFieldValue(&V, 3, true, true);
  EXPECT_TRUE(V.IsNull());
  // Opening a NULL field for reading gives an empty stream.
  auto* E = C->InternalCreateBlobStream(false, 3, bomRead);
  EXPECT_EQ(E->Size(), 0);
  C->InternalCloseBLOB(3);
}

TEST_F(MdbTableDataTest, DeleteAndUpdateVisibleRecords) {
  auto* C = Open();
  for (int i = 0; i < 5; ++i) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    C->SetFieldData(0, &i, C->FCurrentRecordBuffer);
    WriteNote(C, u"n");
    ASSERT_TRUE(C->Insert());
  }
  EXPECT_EQ(Table->Blobs().LiveCount(), 5u);

  auto Names = std::make_unique<TMdbWideStringList>();
  Names->Add(u"Qty", false);
  Names->Add(u"ID", false);
  TMdbVariant Q(bftSignedInt32);
  Q.SetAsInteger(42);
  try {
    Table->UpdateVisibleRecords(C, Names.get(), {&Q}, false);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 11448);
    EXPECT_NE(E.Message().find(u"ItemNo = 1, ItemCount = 2"), String::npos);
  }
  auto Bad = std::make_unique<TMdbWideStringList>();
  Bad->Add(u"Nope", false);
  EXPECT_EQ(NativeCodeOf([&] { Table->UpdateVisibleRecords(C, Bad.get(), {&Q}, false); }), 11447);

  // Only the visible records: 1 and 3.
  C->FilterRecord = [](const Byte*) { return true; };
  C->FRecordBitmap = std::make_unique<TMdbRecordBitmap>(Table.get());
  C->FRecordBitmap->ShowRecord({1, 0});
  C->FRecordBitmap->ShowRecord({3, 0});
  C->FRecordBitmap->SetActive(true);
  auto One = std::make_unique<TMdbWideStringList>();
  One->Add(u"qty", false);
  Table->UpdateVisibleRecords(C, One.get(), {&Q}, false);
  EXPECT_EQ(C->FEditRecordBuffer, nullptr);
  for (int s = 0; s < 5; ++s) {
    std::int32_t v = 0;
    const bool Present = ReadRecordField(1, Table->FieldDefs(), &v, Table->Memory()->SlotBuffer(s));
    EXPECT_EQ(Present, s == 1 || s == 3) << s;
    if (Present) {
      EXPECT_EQ(v, 42);
    }
  }
  EXPECT_EQ(Table->Blobs().LiveCount(), 5u);  // an update keeps the stored BLOBs

  Table->DeleteVisibleRecords(C);
  EXPECT_EQ(Table->InternalGetRecordCount(), 3);
  EXPECT_EQ(Table->Blobs().LiveCount(), 3u);
  C->FilterRecord = nullptr;
  C->FRecordBitmap.reset();
  Table->DeleteVisibleRecords(C);
  EXPECT_EQ(Table->InternalGetRecordCount(), 0);
  EXPECT_EQ(Table->Blobs().LiveCount(), 0u);
}
