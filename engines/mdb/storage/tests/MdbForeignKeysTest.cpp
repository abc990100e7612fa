// Foreign keys end to end through a session and local cursors on memory tables, the lookups made by
// an equality expression double: the delete and update actions (restrict, cascade, set null, set
// default), the check of a child's key, definition checks, a rolled-back transaction undoing a
// cascade, and the structure changes that carry both halves of a key (drop, rename, delete
// constraint, rename field, indexes).
#include <functional>
#include <map>
#include <string>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbTableData.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

namespace {

// Holds when every target column of the record equals the key captured when it was prepared (NULL
// never matches).
class TKeyEquality : public TMdbExpression {
 public:
  void ExtractIndexScanConditions(TMdbIndexDefs*, TMdbScanSearchConditionArray*, TList*) override {}
  void AddNode(TMdbExpressionNode*) override {}
  void ParseForFilter(TMdbCursor*, const String&, bool, bool) override {}
  void ParseForLocate(TMdbCursor*, const String&, const Variant&, bool, bool) override {}
  void AssignCursor(TMdbCursor*) override {}
  void AssignCursorBuffer(const Byte* Buffer) override { FBuffer = Buffer; }
  bool GetResult() override {
    for (const TColumn& C : FColumns) {
      if (C.Null || IsRecordFieldNull(FBuffer, C.FieldNo)) return false;
      if (std::memcmp(FBuffer + C.Offset, C.Key.data(), C.Key.size()) != 0) return false;
    }
    return true;
  }
  bool IsEmpty() override { return false; }
  bool IsIncompatible() override { return false; }
  void PrepareForeignKeyCheck(TMdbCursor* Referenced, TMdbCursor* Cursor, TMdbIndexDef* Primary,
                              TMdbConstraintDef* Def) override {
    ++Lookups;
    const auto& Columns = static_cast<TMdbConstraintDefForeignKeyAction*>(Def)->Columns;
    for (std::size_t i = 0; i < Columns.size(); ++i)
      Capture(Cursor, Columns[i].ColumnName, Referenced, Primary->GetIndexColumn(int(i)).FieldName);
  }
  void PrepareForeignKeyActionFilter(TMdbCursor* Child, TMdbCursor* Parent, TMdbIndexDef* Primary,
                                     TMdbConstraintDef* Def) override {
    const auto& Columns = static_cast<TMdbConstraintDefForeignKeyAction*>(Def)->Columns;
    for (std::size_t i = 0; i < Columns.size(); ++i)
      Capture(Parent, Primary->GetIndexColumn(int(i)).FieldName, Child, Columns[i].ColumnName);
  }
  static inline int Lookups = 0;

 private:
  struct TColumn {
    std::int32_t FieldNo, Offset;
    bool Null;
    std::vector<Byte> Key;
  };
  void Capture(TMdbCursor* From, const String& FromName, TMdbCursor* To, const String& ToName) {
    const std::int32_t f = From->FFieldDefs.GetDefNumberByName(FromName);
    const std::int32_t t = To->FFieldDefs.GetDefNumberByName(ToName);
    ASSERT_GE(f, 0);
    ASSERT_GE(t, 0);
    const TMdbFieldDef& F = *From->FFieldDefs.GetDef(f);
    const Byte* Src = From->FCurrentRecordBuffer + F.FMemoryOffset;
    FColumns.push_back({t, To->FFieldDefs.GetDef(t)->FMemoryOffset, IsRecordFieldNull(From->FCurrentRecordBuffer, f),
                        std::vector<Byte>(Src, Src + F.FMemoryDataSize)});
  }
  std::vector<TColumn> FColumns;
  const Byte* FBuffer = nullptr;
};

// Parent P {ID, Name} with primary key ID and rows 1, 2, 99; child C {ID, PID, Q} with primary key
// ID, PID defaulting to 99, rows (10, 1), (11, 1), (12, 2); the key C.PID -> P.ID is added per test.
class MdbForeignKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbEngineStartup();
    SetMdbExpressionFactory([](TMdbBaseSession*, TMdbSQLParams*) { return std::make_unique<TKeyEquality>(); });
    Session.InMemory = true;
    Session.FDatabaseName = Session.FDatabaseFileName = "MEMORY";
    Session.SetConnected(true);
  }
  void TearDown() override {
    Session.SetConnected(false);
    SetMdbExpressionFactory(nullptr);
    MdbEngineShutdown();
  }
  std::unique_ptr<TMdbLocalCursor> NewCursor(const String& Table, bool Exclusive = false) {
    std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(Session.CreateCursor(Table, false)));
    C->FInMemory = true;
    C->FExclusive = Exclusive;
    return C;
  }
  static TMdbIndexDef* AddIndex(TMdbIndexDefs& I, const char16_t* Name, std::initializer_list<const char16_t*> Columns,
                                bool Primary) {
    TMdbIndexDef* D = I.AddCreated();
    D->SetName(Name);
    for (const char16_t* c : Columns) {
      TMdbIndexColumn C;
      C.FieldName = c;
      D->FIndexColumns.push_back(C);
    }
    D->FPrimary = D->FUnique = Primary;
    return D;
  }
  void Create(const String& Table, std::initializer_list<const char16_t*> Names, TMdbIndexDefs& Indexes,
              TMdbConstraintDefs* Constraints = nullptr, TMdbAdvancedFieldType Type = aftInteger) {
    TMdbFieldDefs F;
    for (const char16_t* n : Names) {
      TMdbFieldDef* D = F.AddCreated();
      D->SetName(n);
      D->SetFieldDefDataType(Type, 0);
      if (String(n) == u"PID") {
        D->FDefaultValue = std::make_unique<TMdbVariant>(bftSignedInt32);
        D->FDefaultValue->SetAsInteger(99);
      }
    }
    TMdbConstraintDefs None;
    NewCursor(Table)->CreateTable(&F, &Indexes, Constraints ? Constraints : &None);
  }
  void CreatePair(TMdbConstraintForeignKeyAction OnDelete, TMdbConstraintForeignKeyAction OnUpdate) {
    TMdbIndexDefs PI, CI;
    AddIndex(PI, u"PK_P", {u"ID"}, true);
    AddIndex(CI, u"PK_C", {u"ID"}, true);
    TMdbConstraintDefs PK;
    TMdbConstraintDefPrimary* Primary = PK.AddPK();
    Primary->SetName(u"PK_P_ID");
    Primary->IndexName = u"PK_P";
    Primary->Columns.push_back({u"ID", 0});
    Create(u"P", {u"ID", u"Name"}, PI, &PK);
    for (int id : {1, 2, 99}) Post(u"P", {id, id * 100});
    TMdbConstraintDefs K;
    TMdbConstraintDefPrimary* ChildPrimary = K.AddPK();
    ChildPrimary->SetName(u"PK_C_ID");
    ChildPrimary->IndexName = u"PK_C";
    ChildPrimary->Columns.push_back({u"ID", 0});
    TMdbConstraintDefForeignKey* FK = K.AddFK();
    FK->SetName(u"FK_C_P");
    FK->ReferencedTableName = u"P";
    FK->Columns.push_back({u"PID", 0});
    FK->DeleteAction = OnDelete;
    FK->UpdateAction = OnUpdate;
    Create(u"C", {u"ID", u"PID", u"Q"}, CI, &K);
    for (auto [id, pid] : {std::pair{10, 1}, {11, 1}, {12, 2}}) Post(u"C", {id, pid, 0});
  }
  // Posts a row (-1: NULL); the cursor's error code and message.
  std::pair<int, std::string> Post(const String& Table, std::vector<int> Values) {
    auto C = Open(Table);
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    for (std::size_t i = 0; i < Values.size(); ++i)
      if (Values[i] >= 0) C->SetFieldData(int(i), &Values[i], C->FCurrentRecordBuffer);
      else SetRecordFieldNull(C->FCurrentRecordBuffer, int(i), true);
    C->InternalPost(true);
    return {C->FErrorCode, StringToUTF8(C->FErrorMessage)};
  }
  struct TOpen {
    std::unique_ptr<TMdbLocalCursor> C;
    explicit TOpen(std::unique_ptr<TMdbLocalCursor> c) : C(std::move(c)) {}
    TOpen(TOpen&&) = default;
    ~TOpen() {
      if (!C) return;
      C->FreeRecordBuffer(C->FCurrentRecordBuffer);
      C->FreeRecordBuffer(C->FEditRecordBuffer);
    }
    TMdbLocalCursor* operator->() const { return C.get(); }
  };
  TOpen Open(const String& Table, bool Exclusive = false) {
    TOpen O{NewCursor(Table, Exclusive)};
    O->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    O->FCurrentRecordBuffer = O->AllocateRecordBuffer();
    O->FEditRecordBuffer = O->AllocateRecordBuffer();
    O->InternalFirst();
    return O;
  }
  static int IntAt(TMdbLocalCursor* C, int Field) {
    std::int32_t v = -1;
    return C->GetFieldData(Field, &v, C->FCurrentRecordBuffer) ? v : -1;
  }
  // Stands C on the row whose first column is Id.
  static bool Seek(TMdbLocalCursor* C, int Id) {
    C->InternalFirst();
    while (C->GetRecordBuffer(grmNext) == grrOK)
      if (IntAt(C, 0) == Id) return true;
    return false;
  }
  // Every row as "a,b,..." in physical order.
  std::string Rows(const String& Table) {
    auto C = Open(Table);
    std::string Out;
    const int n = C->FFieldDefs.Count();
    while (C->GetRecordBuffer(grmNext) == grrOK) {
      for (int i = 0; i < n; ++i) Out += std::to_string(IntAt(C.C.get(), i)) + (i + 1 < n ? "," : " ");
    }
    return Out;
  }
  std::pair<int, std::string> Delete(const String& Table, int Id) {
    auto C = Open(Table);
    EXPECT_TRUE(Seek(C.C.get(), Id));
    C->InternalDelete();
    return {C->FErrorCode, StringToUTF8(C->FErrorMessage)};
  }
  std::pair<int, std::string> Update(const String& Table, int Id, int Field, int Value) {
    auto C = Open(Table);
    EXPECT_TRUE(Seek(C.C.get(), Id));
    std::memcpy(C->FEditRecordBuffer, C->FCurrentRecordBuffer, std::size_t(C->FRecordBufferSize));
    C->InternalEdit();
    C->SetFieldData(Field, &Value, C->FCurrentRecordBuffer);
    C->InternalPost(false);
    return {C->FErrorCode, StringToUTF8(C->FErrorMessage)};
  }
  TMdbTableData* Table(const String& Name) {
    auto C = NewCursor(Name);
    return Session.DatabaseData()->FindTableData(C.get());
  }
  TMdbConstraintDefs& ConstraintsOf(const String& Name) { return Table(Name)->ConstraintManager()->ConstraintDefs(); }
  int FKCount(const String& Name, TMdbConstraintType Type) {
    int n = 0;
    TMdbConstraintDefs& D = ConstraintsOf(Name);
    for (int i = 0; i < D.Count(); ++i) n += D.GetDef(i)->ConstraintType() == Type;
    return n;
  }

  TMdbLocalSession Session;
};

bool Has(const std::string& Message, const char* Text) { return Message.find(Text) != std::string::npos; }

}  // namespace

TEST_F(MdbForeignKeysTest, DeleteOfAParentRunsTheChildsAction) {
  struct TCase {
    TMdbConstraintForeignKeyAction Action;
    const char* Children;  // C after deleting P 1
    const char* Parents;
  };
  const TCase Cases[] = {
      {cfkaDefault, "10,1,0 11,1,0 12,2,0 ", "1,100 2,200 99,9900 "},
      {cfkaCascade, "12,2,0 ", "2,200 99,9900 "},
      {cfkaSetNull, "10,-1,0 11,-1,0 12,2,0 ", "2,200 99,9900 "},
      {cfkaSetDefault, "10,99,0 11,99,0 12,2,0 ", "2,200 99,9900 "},
      {cfkaNoAction, "10,1,0 11,1,0 12,2,0 ", "2,200 99,9900 "},
  };
  for (const TCase& T : Cases) {
    SCOPED_TRACE(int(T.Action));
    CreatePair(T.Action, cfkaNoAction);
    const auto [Code, Message] = Delete(u"P", 1);
    if (T.Action == cfkaDefault) {
      EXPECT_EQ(Code, -3);
      EXPECT_TRUE(Has(Message, "Cannot delete record(s) in table 'P' - constraint foreign key 'FK_C_P' in table 'C' "
                               "violated - Native error: 11455"))
          << Message;
    } else {
      EXPECT_EQ(Code, 0) << Message;
    }
    EXPECT_EQ(Rows(u"C"), T.Children);
    EXPECT_EQ(Rows(u"P"), T.Parents);
    // Deleting 99: the set-default children would take the key that goes, so the whole delete fails
    // and changes nothing; under every other action nobody references it.
    const std::string ChildrenBefore = Rows(u"C");
    EXPECT_EQ(Delete(u"P", 99).first, T.Action == cfkaSetDefault ? -3 : 0);
    EXPECT_EQ(Rows(u"C"), ChildrenBefore);
    EXPECT_EQ(Rows(u"P").find("99,9900") != std::string::npos, T.Action == cfkaSetDefault);
    NewCursor(u"C")->DeleteTable(true);
    NewCursor(u"P")->DeleteTable(true);
  }
}

TEST_F(MdbForeignKeysTest, UpdateOfAParentKeyRunsTheChildsActionAndOtherColumnsRunNone) {
  struct TCase {
    TMdbConstraintForeignKeyAction Action;
    const char* Children;  // C after P 1 -> 5
    const char* Parents;
  };
  const TCase Cases[] = {
      {cfkaDefault, "10,1,0 11,1,0 12,2,0 ", "1,100 2,200 99,9900 "},
      {cfkaCascade, "10,5,0 11,5,0 12,2,0 ", "5,100 2,200 99,9900 "},
      {cfkaSetNull, "10,-1,0 11,-1,0 12,2,0 ", "5,100 2,200 99,9900 "},
      {cfkaSetDefault, "10,99,0 11,99,0 12,2,0 ", "5,100 2,200 99,9900 "},
  };
  for (const TCase& T : Cases) {
    SCOPED_TRACE(int(T.Action));
    CreatePair(cfkaNoAction, T.Action);
    // A column outside the key: no action, whatever it is.
    EXPECT_EQ(Update(u"P", 1, 1, 111).first, 0);
    EXPECT_EQ(Update(u"P", 1, 1, 100).first, 0);
    const auto [Code, Message] = Update(u"P", 1, 0, 5);
    if (T.Action == cfkaDefault) {
      EXPECT_EQ(Code, -2);
      EXPECT_TRUE(Has(Message, "Cannot update record(s) in table 'P' - constraint foreign key 'FK_C_P' in table 'C' "
                               "violated - Native error: 11454"))
          << Message;
    } else {
      EXPECT_EQ(Code, 0) << Message;
    }
    EXPECT_EQ(Rows(u"C"), T.Children);
    EXPECT_EQ(Rows(u"P"), T.Parents);
    NewCursor(u"C")->DeleteTable(true);
    NewCursor(u"P")->DeleteTable(true);
  }
}

TEST_F(MdbForeignKeysTest, AChildsKeyMustBeInTheParentUnlessItIsNull) {
  CreatePair(cfkaDefault, cfkaDefault);
  auto [Code, Message] = Post(u"C", {13, 7, 0});
  EXPECT_EQ(Code, -8);
  EXPECT_TRUE(Has(Message, "Constraint foreign key 'FK_C_P' violated in table 'C' - Native error: 11420")) << Message;
  EXPECT_EQ(Post(u"C", {13, 2, 0}).first, 0);
  EXPECT_EQ(Post(u"C", {14, -1, 0}).first, 0);
  // Changing a child's key is checked too.
  EXPECT_EQ(Update(u"C", 13, 1, 8).first, -8);
  EXPECT_EQ(Update(u"C", 13, 1, 99).first, 0);
  EXPECT_EQ(Rows(u"C"), "10,1,0 11,1,0 12,2,0 13,99,0 14,-1,0 ");
}

TEST_F(MdbForeignKeysTest, MatchTypesDecideWhichKeysAreLookedUp) {
  TMdbIndexDefs PI;
  AddIndex(PI, u"PK", {u"A", u"B"}, true);
  Create(u"P2", {u"A", u"B"}, PI);
  Post(u"P2", {1, 1});
  struct TCase {
    TMdbConstraintForeignKeyMatchType Match;
    int A, B;
    int Code;     // of the post
    int Lookups;  // of the parent
  };
  const TCase Cases[] = {
      {cfkmtDefault, 1, -1, 0, 0}, {cfkmtDefault, 2, 2, -8, 1}, {cfkmtDefault, 1, 1, 0, 1},
      {cfkmtFull, 1, -1, -8, 0},   {cfkmtFull, -1, -1, 0, 0},   {cfkmtFull, 1, 1, 0, 1},
      {cfkmtPartial, -1, -1, 0, 0}, {cfkmtPartial, 3, -1, -8, 1},
  };
  int n = 0;
  for (const TCase& T : Cases) {
    SCOPED_TRACE(std::to_string(T.Match) + " " + std::to_string(T.A) + " " + std::to_string(T.B));
    const String Name = u"K" + String(1, char16_t(u'0' + ++n));
    TMdbConstraintDefs K;
    TMdbConstraintDefForeignKey* FK = K.AddFK();
    FK->SetName(Name);
    FK->ReferencedTableName = u"P2";
    FK->MatchType = T.Match;
    FK->Columns = {{u"A", 0}, {u"B", 0}};
    TMdbIndexDefs None;
    Create(Name, {u"A", u"B"}, None, &K);
    TKeyEquality::Lookups = 0;
    EXPECT_EQ(Post(Name, {T.A, T.B}).first, T.Code);
    EXPECT_EQ(TKeyEquality::Lookups, T.Lookups);
  }
}

TEST_F(MdbForeignKeysTest, DefinitionsAreCheckedBeforeAnythingIsLinked) {
  TMdbIndexDefs PI, None;
  AddIndex(PI, u"PK", {u"ID"}, true);
  Create(u"P", {u"ID", u"Name"}, PI);
  Create(u"NoKey", {u"ID"}, None);
  struct TCase {
    const char16_t* Parent;
    std::vector<const char16_t*> Columns;
    TMdbAdvancedFieldType Type;
    int Code;
  };
  const TCase Cases[] = {
      {u"NoKey", {u"X"}, aftInteger, 11442},
      {u"P", {u"X", u"Y"}, aftInteger, 11443},
      {u"P", {u"Missing"}, aftInteger, 11444},
      {u"P", {u"X"}, aftWideMemo, 11446},
      {u"Nowhere", {u"X"}, aftInteger, 12434},
  };
  for (const TCase& T : Cases) {
    SCOPED_TRACE(T.Code);
    TMdbConstraintDefs K;
    TMdbConstraintDefForeignKey* FK = K.AddFK();
    FK->SetName(u"FK");
    FK->ReferencedTableName = T.Parent;
    for (const char16_t* c : T.Columns) FK->Columns.push_back({c, 0});
    TMdbIndexDefs CI;
    // The missing column is missing only from the definition check, not from the constraint's link.
    const bool Missing = T.Code == 11444;
    if (Missing) {
      EXPECT_EQ(NativeCodeOf([&] { Create(u"C", {u"Y"}, CI, &K, T.Type); }), 11419);
      continue;
    }
    EXPECT_EQ(NativeCodeOf([&] { Create(u"C", {u"X", u"Y"}, CI, &K, T.Type); }), T.Code);
  }
  // Nothing was linked to the parent by a refused table.
  EXPECT_EQ(FKCount(u"P", ctFKAction), 0);
}

TEST_F(MdbForeignKeysTest, AddingAKeyChecksTheRecordsAndAddsBothHalves) {
  TMdbIndexDefs PI, CI;
  AddIndex(PI, u"PK", {u"ID"}, true);
  Create(u"P", {u"ID", u"Name"}, PI);
  Post(u"P", {1, 0});
  Create(u"C", {u"ID", u"PID"}, CI);
  Post(u"C", {10, 1});
  Post(u"C", {11, 3});
  auto Add = [&](const char16_t* Name, const char16_t* Column, bool Exclusive = true) {
    auto C = Open(u"C", Exclusive);
    TMdbConstraintDefForeignKey FK;
    FK.SetName(Name);
    FK.ReferencedTableName = u"P";
    FK.Columns.push_back({Column, 0});
    return NativeCodeOf([&] { C->AddForeignKey(&FK); });
  };
  EXPECT_EQ(Add(u"FK", u"PID", false), 11583);
  EXPECT_EQ(Add(u"FK", u"Nope"), 11587);
  EXPECT_EQ(Add(u"FK", u"PID"), 11586);
  EXPECT_EQ(FKCount(u"C", ctFK), 0);
  EXPECT_EQ(FKCount(u"P", ctFKAction), 0);
  Post(u"P", {3, 0});
  const std::uint8_t Meta = Table(u"C")->GetTableState().TableMetaDataState;
  EXPECT_EQ(Add(u"FK", u"PID"), -1);
  EXPECT_EQ(Table(u"C")->GetLastTableOperation(), ltoAddForeignKey);
  EXPECT_NE(Table(u"C")->GetTableState().TableMetaDataState, Meta);
  EXPECT_EQ(Add(u"fk", u"PID"), 11588);
  ASSERT_EQ(FKCount(u"C", ctFK), 1);
  ASSERT_EQ(FKCount(u"P", ctFKAction), 1);
  auto* Child = static_cast<TMdbConstraintDefForeignKey*>(ConstraintsOf(u"C").GetDefByName(u"FK"));
  auto* Action = static_cast<TMdbConstraintDefForeignKeyAction*>(ConstraintsOf(u"P").GetDefByName(Child->ReferencedFKName));
  ASSERT_NE(Action, nullptr);
  EXPECT_EQ(StringToUTF8(Action->ReferencedTableName), "C");
  EXPECT_EQ(StringToUTF8(Action->ReferencedFKName), "FK");
  // Now enforced.
  EXPECT_EQ(Post(u"C", {12, 4}).first, -8);
}

TEST_F(MdbForeignKeysTest, ARolledBackTransactionUndoesTheCascade) {
  CreatePair(cfkaCascade, cfkaCascade);
  const std::string Parents = Rows(u"P"), Children = Rows(u"C");
  Session.StartTransaction();
  EXPECT_EQ(Delete(u"P", 1).first, 0);
  EXPECT_EQ(Update(u"P", 2, 0, 6).first, 0);
  EXPECT_EQ(Rows(u"C"), "12,6,0 ");
  Session.Rollback();
  EXPECT_EQ(Rows(u"P"), Parents);
  EXPECT_EQ(Rows(u"C"), Children);
  // The keys are back too: the restored child rows are found through their indexes again.
  EXPECT_EQ(Post(u"C", {10, 2, 0}).first, -8);
  EXPECT_EQ(Post(u"P", {1, 0}).first, -8);
  EXPECT_EQ(Post(u"P", {6, 0}).first, 0);
}

TEST_F(MdbForeignKeysTest, DroppingAndRenamingCarryBothHalves) {
  CreatePair(cfkaDefault, cfkaDefault);
  EXPECT_EQ(NativeCodeOf([&] { NewCursor(u"P")->DeleteTable(false); }), 11481);
  // A rename follows into the child, and a temporary key name loses its prefix there.
  static_cast<TMdbConstraintDefForeignKey*>(ConstraintsOf(u"C").GetDef(ConstraintsOf(u"C").GetDefNumberByName(u"FK_C_P")))
      ->SetName(u"MdbFKTNP_FK_C_P");
  NewCursor(u"P")->RenameTable(u"Parent");
  auto* FK = static_cast<TMdbConstraintDefForeignKey*>(ConstraintsOf(u"C").GetDefByName(u"FK_C_P"));
  ASSERT_NE(FK, nullptr);
  EXPECT_EQ(StringToUTF8(FK->ReferencedTableName), "Parent");
  EXPECT_EQ(Table(u"C")->GetLastTableOperation(), ltoRenameReferencedTableName);
  EXPECT_EQ(Delete(u"Parent", 1).first, -3);
  EXPECT_EQ(Post(u"C", {13, 7, 0}).first, -8);
  // Dropping the parent with Cascade takes the key out of the child first.
  NewCursor(u"Parent")->DeleteTable(true);
  EXPECT_EQ(FKCount(u"C", ctFK), 0);
  EXPECT_EQ(Post(u"C", {13, 7, 0}).first, 0);

  EXPECT_EQ(StringToUTF8(TMdbTableData::RemoveFKTemporaryNamePrefix(u"mdbfktnp_X")), "X");
  EXPECT_EQ(StringToUTF8(TMdbTableData::RemoveFKTemporaryNamePrefix(u"MdbFK")), "MdbFK");
  EXPECT_EQ(NativeCodeOf([] { TMdbTableData::RemoveFKTemporaryNamePrefix(u"MdbFKTNP_"); }), 11585);
}

TEST_F(MdbForeignKeysTest, DeletingConstraintsRemovesThePartner) {
  CreatePair(cfkaDefault, cfkaDefault);
  {
    auto C = Open(u"C", true);
    EXPECT_EQ(NativeCodeOf([&] { C->DeleteConstraint(u"Nope", false, false); }), 11482);
    C->DeleteConstraint(u"FK_C_P", false, false);
  }
  EXPECT_EQ(FKCount(u"C", ctFK), 0);
  EXPECT_EQ(FKCount(u"P", ctFKAction), 0);
  EXPECT_EQ(Delete(u"P", 1).first, 0);

  // A primary key others reference goes only with Cascade, and takes their keys with it.
  NewCursor(u"C")->DeleteTable(true);
  NewCursor(u"P")->DeleteTable(true);
  CreatePair(cfkaDefault, cfkaDefault);
  auto P = Open(u"P", true);
  const String PK = [&] {
    TMdbConstraintDefs& D = ConstraintsOf(u"P");
    for (int i = 0; i < D.Count(); ++i)
      if (D.GetDef(i)->ConstraintType() == ctPK) return D.GetDef(i)->Name();
    return String();
  }();
  ASSERT_FALSE(PK.empty());
  EXPECT_EQ(NativeCodeOf([&] { P->DeleteConstraint(PK, false, false); }), 11483);
  P->DeleteConstraint(PK, true, false);
  EXPECT_EQ(FKCount(u"C", ctFK), 0);
  EXPECT_EQ(Table(u"P")->IndexManager()->IndexDefs().Count(), 0);
  EXPECT_EQ(ConstraintsOf(u"P").Count(), 0);
}

TEST_F(MdbForeignKeysTest, RenameFieldAndIndexOperations) {
  CreatePair(cfkaDefault, cfkaDefault);
  struct TCase {
    const char16_t* Table;
    const char16_t* From;
    const char16_t* To;
    int Code;
  };
  const TCase Cases[] = {
      {u"C", u"Nope", u"X", 30343}, {u"C", u"Q", u"id", 30344}, {u"C", u"ID", u"X", 11489},
      {u"C", u"PID", u"X", 11488},  {u"C", u"Q", u"Qty", -1},
  };
  for (const TCase& T : Cases) {
    SCOPED_TRACE(T.Code);
    EXPECT_EQ(NativeCodeOf([&] { NewCursor(T.Table)->RenameField(T.From, T.To); }), T.Code);
  }
  EXPECT_NE(Table(u"C")->FieldDefs().GetFieldDefByName(u"Qty"), nullptr);
  EXPECT_EQ(Table(u"C")->GetLastTableOperation(), ltoRenameField);

  auto C = Open(u"C", true);
  TMdbIndexDef ByQty;
  ByQty.SetName(u"ByQty");
  ByQty.FIndexColumns.push_back({u"Qty", 0, 0, 0});
  ByQty.FUnique = 1;
  const TMdbTableState Before = Table(u"C")->GetTableState();
  C->AddIndex(&ByQty);
  EXPECT_EQ(Table(u"C")->GetLastTableOperation(), ltoAddIndex);
  EXPECT_NE(Table(u"C")->GetTableState().TableMetaDataState, Before.TableMetaDataState);
  EXPECT_NE(Table(u"C")->GetTableState().TableState, Before.TableState);
  EXPECT_EQ(NativeCodeOf([&] { C->AddIndex(&ByQty); }), 20022);
  // The unique constraint the index implies came with it (all rows hold Q = 0).
  EXPECT_EQ(Post(u"C", {13, 2, 0}).first, -8);
  TMdbWideStringList Names, Asc, Case;
  Names.Add(u"Qty", false);
  Asc.Add(u"", false);
  Case.Add(u"", false);
  EXPECT_EQ(StringToUTF8(C->FindIndex(&Names, &Asc, &Case)), "ByQty");
  Names.SetStrings(0, u"PID");
  EXPECT_EQ(StringToUTF8(C->FindIndex(&Names, &Asc, &Case)), "");
  EXPECT_EQ(NativeCodeOf([&] { C->DeleteIndex(u"Nope"); }), 20021);
  C->DeleteIndex(u"ByQty");
  EXPECT_EQ(Table(u"C")->GetLastTableOperation(), ltoDeleteIndex);
  EXPECT_EQ(Post(u"C", {13, 2, 0}).first, 0);
  C->DeleteAllIndexes();
  EXPECT_EQ(Table(u"C")->IndexManager()->IndexDefs().Count(), 0);
}
