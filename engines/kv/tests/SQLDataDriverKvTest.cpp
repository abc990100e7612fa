#include "KvTestSupport.h"
#include "engines/kv/SQLDataDriverKv.h"
#include "platform/sys/Utf.h"

namespace {

// A records list of (Id, Name, Age, Note) under cached updates, with one record of each update kind.
class KvSQLTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    InitializeDataDriverKv();
    TFieldDefs defs(nullptr);
    defs.Add(u"Id", ftInteger);
    defs.Add(u"Name", ftString, 20);
    defs.Add(u"Age", ftInteger);
    defs.Add(u"Note", ftString, 20);
    data.DataStruct()->BuildStructFromFieldDefs(defs);
    list()->SetCachedUpdates(true);
    for (int i = 1; i <= 3; ++i) {
      TMemoryRecordKv* r = list()->NewRecord();
      r->SetDataValue(0, dvvValueKv, Variant(i));
      r->SetDataValue(1, dvvValueKv, Variant(u"N" + IntToStr(i)));
      r->SetDataValue(2, dvvValueKv, Variant(20 + i));
      list()->FetchRecord(r);
    }
    driver = std::make_unique<TCustomSQLDataDriverKv>(nullptr);
    driver->DynaSQLParams().UpdateTable = u"PEOPLE";
    driver->DynaSQLParams().KeyFields = u"Id";
    driver->DynaSQLParams().UpdateFields = u"Name, Age";
    driver->DynaSQLParams().Options = dsoDynamicSQLInsertKv | dsoDynamicSQLUpdateKv | dsoDynamicSQLDeleteKv;
  }
  void TearDown() override {
    driver.reset();
    FinalizeDataDriverKv();
  }
  TRecordsListKv* list() { return data.RecordsList(); }
  TMemoryRecordKv* Modified(int Index, int Field, const Variant& Value) {
    TMemoryRecordKv* r = list()->GetRec(Index);
    r->Edit();
    r->SetDataValue(Field, dvvValueKv, Value);
    r->Post();
    return r;
  }
  TMemoryRecordKv* Inserted() {
    TMemoryRecordKv* r = list()->NewRecord();
    r->SetDataValue(0, dvvValueKv, Variant(9));
    r->SetDataValue(1, dvvValueKv, Variant(u"New"));
    list()->AddRecord(r);
    return r;
  }
  std::string Generated(TMemoryRecordKv* Rec) {
    driver->GenerateDynamicSQLCommand(Rec, driver->ServiceCommand());
    return sys::Utf16ToUtf8(driver->ServiceCommand()->Text());
  }
  // A resolver that records every command text and answers key queries with a one-row cursor.
  std::vector<std::string> Record(bool Answer = true) {
    auto resolver = std::make_unique<TSQLDataDriverResolver>();
    resolver->OnExecuteCommand = [this, Answer](TCustomSQLDataDriverKv*, TCustomSQLCommandKv* c, TDataSet*& cursor,
                                                bool& freeOnEof, bool& processed) {
      executed.push_back(sys::Utf16ToUtf8(c->FinalText()));
      processed = Answer;
      if (c->CommandType() == cthSelectQuery) {
        auto* one = new TMemTableKv(nullptr);
        one->FieldDefs().Add(u"V", ftInteger);
        one->CreateDataSet();
        one->Append();
        one->Fields()[0]->SetAsInteger(4242);
        one->Post();
        cursor = one;
        freeOnEof = true;
      }
      return Answer ? 1 : -1;
    };
    SetSQLDataDriverResolver(std::move(resolver));
    return {};
  }
  TMemTableDataKv data{nullptr};
  std::unique_ptr<TCustomSQLDataDriverKv> driver;
  std::vector<std::string> executed;
};

}  // namespace

TEST_F(KvSQLTest, GeneratedStatements) {
  EXPECT_EQ(Generated(Inserted()), "insert into PEOPLE\n  (Id, Name, Age)\nvalues\n  (:Id, :Name, :Age)\n");
  TMemoryRecordKv* m = Modified(0, 1, Variant(u"Changed"));
  EXPECT_EQ(Generated(m), "update PEOPLE\nset\n Name = :Name,\n Age = :Age\nwhere\n Id = :OLD_Id\n");
  driver->DynaSQLParams().SkipUnchangedFields = true;
  EXPECT_EQ(Generated(m), "update PEOPLE\nset\n Name = :Name\nwhere\n Id = :OLD_Id\n");
  TMemoryRecordKv* same = Modified(1, 3, Variant(u"note only"));
  EXPECT_EQ(Generated(same), "");  // no update field changed: nothing to run
  driver->DynaSQLParams().KeyFields = u"Id, Name";
  list()->DeleteRecord(2);
  EXPECT_EQ(Generated(list()->GetRec(2)), "delete from PEOPLE\nwhere\n Id = :OLD_Id and\n Name = :OLD_Name\n");
  // The auto-increment field stays out of inserts.
  driver->DynaSQLParams().KeyFields = u"Id";
  driver->SpecParams().SetValue(u"AUTO_INCREMENT_FIELD", u"Id");
  EXPECT_EQ(Generated(list()->GetRec(3)), "insert into PEOPLE\n  (Name, Age)\nvalues\n  (:Name, :Age)\n");
  // Long column lists wrap past 70 characters.
  driver->DynaSQLParams().UpdateFields =
      u"FirstVeryLongColumnName, SecondVeryLongColumnName, ThirdVeryLongColumnName, FourthVeryLongColumnName";
  EXPECT_EQ(Generated(list()->GetRec(3)),
            "insert into PEOPLE\n  (FirstVeryLongColumnName, SecondVeryLongColumnName, ThirdVeryLongColumnName\n"
            "   , FourthVeryLongColumnName)\nvalues\n"
            "  (:FirstVeryLongColumnName, :SecondVeryLongColumnName, :ThirdVeryLongColumnName\n"
            "   , :FourthVeryLongColumnName)\n");
}

TEST_F(KvSQLTest, RefusesUpdatesAndDeletesWithoutKeys) {
  driver->DynaSQLParams().KeyFields = u"";
  TMemoryRecordKv* m = Modified(0, 1, Variant(u"x"));
  EXPECT_THROW(Generated(m), Exception);
  list()->DeleteRecord(1);
  EXPECT_THROW(Generated(list()->GetRec(1)), Exception);
  driver->DynaSQLParams().KeyFields = u"Id";
  driver->DynaSQLParams().SkipUnchangedFields = true;
  driver->DynaSQLParams().UpdateFields = u"Name, Nope";
  try {
    Generated(m);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Invalid field name \"Nope\" in field list \"Name,Nope\"");
  }
}

TEST_F(KvSQLTest, Macros) {
  struct Case {
    unsigned usages;
    const char16_t* text;
    const char* formed;
  } cases[] = {
      {smuFilterAsWhereClauseKv | smuSortOrderAsOrderByClauseKv, u"select * from T %Filter% %SortOrder%",
       "select * from T %Filter% %SortOrder%\n"},
      {smuUseFilterMacroKv | smuFilterAsWhereClauseKv | smuUseSortOrderMacroKv | smuSortOrderAsOrderByClauseKv,
       u"select * from T %Filter% %SortOrder%", "select * from T WHERE a > 1 ORDER BY b\n"},
      {smuUseFilterMacroKv | smuFilterAsWhereClauseKv, u"x '%Filter%%' %Filter%", "x '%Filter%' WHERE a > 1\n"},
      {smuUseFilterMacroKv | smuFilterWithANDPrecedingKv, u"where 1=1 %Filter%", "where 1=1 AND (a > 1)\n"},
      {smuUseSortOrderMacroKv | smuSortOrderWithCommaPrecedingKv, u"order by a%SortOrder% -- $T",
       "order by a, b -- PEOPLE\n"},
  };
  driver->Macros().SetValue(u"$T", u"PEOPLE");
  for (const Case& c : cases) {
    driver->SetSpecMacrosUsages(c.usages);
    driver->ApplyFilterText(u"a > 1");
    driver->ApplyOrderByText(u"b");
    driver->SelectCommand()->SetCommandText({c.text});
    EXPECT_EQ(sys::Utf16ToUtf8(driver->SelectCommand()->FinalText()), c.formed) << sys::Utf16ToUtf8(c.text);
  }
  EXPECT_FALSE(TCustomSQLDataDriverKv(nullptr).FilterTextSupported());
  EXPECT_FALSE(TCustomSQLDataDriverKv(nullptr).OrderByTextSupported());
}

TEST_F(KvSQLTest, ExecutionThroughTheResolverOnly) {
  // No resolver callback, no connection: nothing runs.
  TDataSet* cursor = reinterpret_cast<TDataSet*>(1);
  bool freeOnEof = true;
  EXPECT_EQ(driver->UpdateCommand()->Execute(cursor, freeOnEof), -1);
  EXPECT_EQ(cursor, nullptr);
  SetSQLDataDriverResolver(nullptr);
  EXPECT_EQ(driver->UpdateCommand()->Execute(cursor, freeOnEof), -1);
  // A record whose command nothing ran is not applied.
  Modified(0, 1, Variant(u"x"));
  EXPECT_THROW(driver->ApplyUpdates(&data), EDatabaseError);
  EXPECT_TRUE(list()->HasCachedChanges());
  // With a recording resolver every statement runs and the change log empties.
  Record();
  Inserted();
  EXPECT_EQ(driver->ApplyUpdates(&data), 2);
  ASSERT_EQ(executed.size(), 2u);
  EXPECT_EQ(executed[0], "update PEOPLE\nset\n Name = :Name,\n Age = :Age\nwhere\n Id = :OLD_Id\n");
  EXPECT_EQ(executed[1], "insert into PEOPLE\n  (Id, Name, Age)\nvalues\n  (:Id, :Name, :Age)\n");
  EXPECT_FALSE(list()->HasCachedChanges());
}

TEST_F(KvSQLTest, ServerOperations) {
  Record();
  auto oracle = CreateServerSpecOperations(u"Oracle");
  ASSERT_TRUE(oracle);
  driver->SetServerSpecOperations(oracle.get());
  driver->SpecParams().SetValue(u"SEQUENCE", u"PEOPLE_SEQ");
  driver->SpecParams().SetValue(u"SEQUENCE_FIELD", u"Age");
  TMemoryRecordKv* r = Inserted();
  EXPECT_EQ(driver->ApplyUpdates(&data), 1);
  ASSERT_EQ(executed.size(), 2u);
  EXPECT_EQ(executed[0], "SELECT PEOPLE_SEQ.nextval FROM dual\n");  // before the insert
  EXPECT_EQ(executed[1].substr(0, 18), "insert into PEOPLE");
  EXPECT_EQ(r->GetDataValue(2).AsInteger(), 4242);
  executed.clear();
  auto mssql = CreateServerSpecOperations(u"MSSQL");
  driver->SetServerSpecOperations(mssql.get());
  driver->SpecParams().SetValue(u"AUTO_INCREMENT_FIELD", u"Id");
  TMemoryRecordKv* s = Inserted();
  EXPECT_EQ(driver->ApplyUpdates(&data), 1);
  ASSERT_EQ(executed.size(), 2u);
  EXPECT_EQ(executed[1], "SELECT @@IDENTITY\n");  // after the insert
  EXPECT_EQ(s->GetDataValue(0).AsInteger(), 4242);
  try {
    RegisterServerSpecOperations(u"Oracle", [] { return std::make_unique<TOracleSpecOperationsKv>(); });
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Server type with name: \"Oracle\" is already registered");
  }
  for (const char16_t* name : {u"AnsiServer", u"Interbase", u"Infromix", u"DB2", u"Sybase", u"MSAccess"})
    EXPECT_EQ(CreateServerSpecOperations(name)->GetServerTypeName(), name);
}
