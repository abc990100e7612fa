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
    driver->DynaSQLParams().SetUpdateTable(u"PEOPLE");
    driver->DynaSQLParams().SetKeyFields(u"Id");
    driver->DynaSQLParams().SetUpdateFields(u"Name, Age");
    driver->DynaSQLParams().SetOptions(dsoDynamicSQLInsertKv | dsoDynamicSQLUpdateKv | dsoDynamicSQLDeleteKv);
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
      if (TParams* params = c->GetParams()) {
        std::string line;
        for (const auto& p : *params)
          line += sys::Utf16ToUtf8(p->Name()) + "=" + (p->IsNull() ? "null" : sys::Utf16ToUtf8(VarToStr(p->Value()))) + " ";
        passed.push_back(line);
      }
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
  std::vector<std::string> passed;  // the parameters of each command run, "Name=value "
};

// A driver whose commands carry parameters parsed from their text.
class TParamDriver : public TCustomSQLDataDriverKv {
 public:
  TParamDriver() : TCustomSQLDataDriverKv(nullptr) { RecreateCommands(); }

 protected:
  std::unique_ptr<TCustomSQLCommandKv> NewDriverCommand() override {
    return std::make_unique<TParamSQLCommandKv>(this, cthSelectQuery);
  }
};

// A connection provider that runs every command itself and knows one table's columns.
class TFakeConnection : public IConnectionProviderKv {
 public:
  int ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof, bool& Processed) override {
    Texts.push_back(sys::Utf16ToUtf8(Command->FinalText()));
    Cursor = nullptr;
    FreeOnEof = false;
    Processed = true;
    return 1;
  }
  void GetBackUpdatedValues(TCustomSQLDataDriverKv*, TMemoryRecordKv*, TCustomSQLCommandKv*, TDataSet*,
                            bool& Processed) override {
    ++FetchedBack;
    Processed = true;
  }
  bool ConnectionIsPostponed() override { return true; }
  void AddPostponedActivationDataSet(TDataSet* ADataSet) override { Postponed.push_back(ADataSet); }
  TComponent* GetDesignDataBase() override { return &DataBase; }
  bool GetTableFieldNames(const String& TableName, std::vector<String>& FieldNames) override {
    if (TableName != u"PEOPLE") return false;
    FieldNames = {u"NOTE", u"Id", u"Age", u"Extra"};
    return true;
  }
  std::vector<std::string> Texts;
  std::vector<TDataSet*> Postponed;
  int FetchedBack = 0;
  TComponent DataBase{nullptr};
};

class TConsumer : public TComponent, public IDataDriverConsumerKv {
 public:
  TConsumer() : TComponent(nullptr) {}
  void DriverStructChanged() override { ++Changes; }
  int Changes = 0;
};

}  // namespace

TEST_F(KvSQLTest, GeneratedStatements) {
  EXPECT_EQ(Generated(Inserted()), "insert into PEOPLE\n  (Id, Name, Age)\nvalues\n  (:Id, :Name, :Age)\n");
  TMemoryRecordKv* m = Modified(0, 1, Variant(u"Changed"));
  EXPECT_EQ(Generated(m), "update PEOPLE\nset\n Name = :Name,\n Age = :Age\nwhere\n Id = :OLD_Id\n");
  driver->DynaSQLParams().SetSkipUnchangedFields(true);
  EXPECT_EQ(Generated(m), "update PEOPLE\nset\n Name = :Name\nwhere\n Id = :OLD_Id\n");
  TMemoryRecordKv* same = Modified(1, 3, Variant(u"note only"));
  EXPECT_EQ(Generated(same), "");  // no update field changed: nothing to run
  driver->DynaSQLParams().SetKeyFields(u"Id, Name");
  list()->DeleteRecord(2);
  EXPECT_EQ(Generated(list()->GetRec(2)), "delete from PEOPLE\nwhere\n Id = :OLD_Id and\n Name = :OLD_Name\n");
  // The auto-increment field stays out of inserts.
  driver->DynaSQLParams().SetKeyFields(u"Id");
  driver->SpecParams().SetValue(u"AUTO_INCREMENT_FIELD", u"Id");
  EXPECT_EQ(Generated(list()->GetRec(3)), "insert into PEOPLE\n  (Name, Age)\nvalues\n  (:Name, :Age)\n");
  // Long column lists wrap past 70 characters.
  driver->DynaSQLParams().SetUpdateFields(
      u"FirstVeryLongColumnName, SecondVeryLongColumnName, ThirdVeryLongColumnName, FourthVeryLongColumnName");
  EXPECT_EQ(Generated(list()->GetRec(3)),
            "insert into PEOPLE\n  (FirstVeryLongColumnName, SecondVeryLongColumnName, ThirdVeryLongColumnName\n"
            "   , FourthVeryLongColumnName)\nvalues\n"
            "  (:FirstVeryLongColumnName, :SecondVeryLongColumnName, :ThirdVeryLongColumnName\n"
            "   , :FourthVeryLongColumnName)\n");
}

TEST_F(KvSQLTest, RefusesUpdatesAndDeletesWithoutKeys) {
  driver->DynaSQLParams().SetKeyFields(u"");
  TMemoryRecordKv* m = Modified(0, 1, Variant(u"x"));
  EXPECT_THROW(Generated(m), Exception);
  list()->DeleteRecord(1);
  EXPECT_THROW(Generated(list()->GetRec(1)), Exception);
  driver->DynaSQLParams().SetKeyFields(u"Id");
  driver->DynaSQLParams().SetSkipUnchangedFields(true);
  driver->DynaSQLParams().SetUpdateFields(u"Name, Nope");
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

TEST_F(KvSQLTest, ParameterNames) {
  struct Case {
    const char16_t* text;
    std::vector<String> names;
  } cases[] = {
      {u"select * from T where a = :A and b = :b_1", {u"A", u"b_1"}},
      {u"x = ':no' and y = \":no\" and z = :Z", {u"Z"}},
      {u"'it''s :no' :y", {u"y"}},
      {u"a::int, :A, :a, : b", {u"A"}},  // "::" is a colon; names repeat once, whatever their case
      {u"begin x := 1; end", {}},
      {u"where\n Id = :OLD_Id", {u"OLD_Id"}},
      {u"'unterminated :x", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseSQLParamNames(c.text), c.names) << sys::Utf16ToUtf8(c.text);
}

TEST_F(KvSQLTest, CommandParametersTakeTheRecordsValues) {
  auto pd = std::make_unique<TParamDriver>();
  pd->SetDynaSQLParams(driver->DynaSQLParams());
  driver = std::move(pd);
  EXPECT_EQ(driver->SelectCommand()->CommandType(), cthSelectQuery);
  EXPECT_EQ(driver->GetrecCommand()->CommandType(), cthSelectQuery);
  EXPECT_EQ(driver->UpdateCommand()->CommandType(), cthUpdateQuery);
  EXPECT_FALSE(driver->UpdateCommand()->CommandTypeStored());
  Record();
  Modified(1, 0, Variant(7));  // the key changes: the statement finds the row by the old one
  Modified(0, 1, Variant(u"Changed"));
  Inserted();
  EXPECT_EQ(driver->ApplyUpdates(&data), 3);
  EXPECT_EQ(passed, (std::vector<std::string>{"Name=N2 Age=22 OLD_Id=2 ", "Name=Changed Age=21 OLD_Id=1 ",
                                              "Id=9 Name=New Age=null "}));
  // Hand-written statements get their parameters the same way; a name that is no field is left alone.
  driver->DynaSQLParams().SetOptions(0);
  driver->DeleteSQL().SetText(u"delete from PEOPLE where Id = :OLD_Id and :Other = 1");
  passed.clear();
  list()->DeleteRecord(2);
  EXPECT_EQ(driver->ApplyUpdates(&data), 1);
  EXPECT_EQ(passed, (std::vector<std::string>{"OLD_Id=3 Other=null "}));

  // Master/detail through the select command: parameters from the master's fields of the same names.
  driver->SelectSQL().SetText(u"select * from DETAIL where MasterId = :Id and Kind = :Name");
  TMemTableKv master(nullptr);
  master.FieldDefs().Add(u"Id", ftInteger);
  master.FieldDefs().Add(u"Name", ftString, 10);
  master.CreateDataSet();
  for (int i = 1; i <= 2; ++i) {
    master.Append();
    master.Fields()[0]->SetAsInteger(i);
    master.Fields()[1]->SetAsString(u"k" + IntToStr(i));
    master.Post();
  }
  master.First();
  EXPECT_TRUE(driver->RefreshReaderParamsFromCursor(&master));
  driver->SetReaderParamsFromCursor(&master);
  TParams* params = driver->SelectCommand()->GetParams();
  EXPECT_EQ(params->ParamByName(u"Id")->AsInteger(), 1);
  EXPECT_EQ(params->ParamByName(u"Name")->Value().AsString(), u"k1");
  EXPECT_FALSE(params->ParamByName(u"Id")->Bound());
  EXPECT_FALSE(driver->RefreshReaderParamsFromCursor(&master));
  master.Next();
  EXPECT_TRUE(driver->RefreshReaderParamsFromCursor(&master));
  driver->SelectSQL().SetText(u"select * from DETAIL where MasterId = :Nope");
  EXPECT_THROW(driver->SetReaderParamsFromCursor(&master), Exception);
  // The base command has no parameters: nothing to compare.
  EXPECT_FALSE(TCustomSQLDataDriverKv(nullptr).RefreshReaderParamsFromCursor(&master));
}

TEST_F(KvSQLTest, AConnectionProviderRunsEverything) {
  TFakeConnection connection;
  Record();  // the resolver is not asked while a connection is there
  driver->SetConnectionProvider(&connection);
  auto mssql = CreateServerSpecOperations(u"MSSQL");
  driver->SetServerSpecOperations(mssql.get());
  driver->SpecParams().SetValue(u"AUTO_INCREMENT_FIELD", u"Id");
  EXPECT_TRUE(driver->ConnectionIsPostponed());
  driver->AddPostponedActivationDataSet(nullptr);
  EXPECT_EQ(connection.Postponed.size(), 1u);
  EXPECT_EQ(driver->DesignDataBase(), &connection.DataBase);

  // Update fields from the schema: its columns in the record's order, keys left out.
  driver->DynaSQLParams().SetUpdateFieldListSource(tflsDataBaseSchemaKv);
  Modified(0, 1, Variant(u"x"));
  Inserted();
  EXPECT_EQ(driver->ApplyUpdates(&data), 2);
  EXPECT_TRUE(executed.empty());
  EXPECT_EQ(connection.Texts, (std::vector<std::string>{
                                  "update PEOPLE\nset\n Age = :Age,\n Note = :Note\nwhere\n Id = :OLD_Id\n",
                                  "insert into PEOPLE\n  (Age, Note)\nvalues\n  (:Age, :Note)\n"}));
  EXPECT_EQ(connection.FetchedBack, 2);  // the provider fetched back; no "SELECT @@IDENTITY"
  // Without a provider the schema lists nothing: a modified record has nothing to write.
  driver->SetConnectionProvider(nullptr);
  EXPECT_EQ(Generated(Modified(1, 1, Variant(u"y"))), "");
  EXPECT_FALSE(driver->ConnectionIsPostponed());
  EXPECT_EQ(driver->DesignDataBase(), nullptr);
  {
    TComponent db(nullptr);
    driver->SetDesignDataBase(&db);
    EXPECT_EQ(driver->DesignDataBase(), &db);
  }
  EXPECT_EQ(driver->DesignDataBase(), nullptr);  // dropped when it went away
}

TEST_F(KvSQLTest, MacroObjectsAndCopies) {
  TConsumer consumer;
  driver->SetDataDriverConsumer(&consumer);
  driver->SelectSQL().Add(u"select * from $T %F%");
  driver->UpdateSQL().Add(u"update $T");
  EXPECT_EQ(consumer.Changes, 1);  // only the select command's text shapes the structure
  driver->SetDataDriverConsumer(nullptr);

  driver->MacroVars().SpecMacros().SetFilterMacroName(u"%F%");
  EXPECT_TRUE(driver->MacroVars().SpecMacros().FilterMacroNameStored());
  EXPECT_FALSE(driver->MacroVars().SpecMacros().SortOrderMacroNameStored());
  driver->SetSpecMacrosUsages(smuUseFilterMacroKv | smuFilterAsWhereClauseKv);
  EXPECT_TRUE(driver->FilterTextSupported());
  driver->ApplyFilterText(u"a = 1");
  EXPECT_EQ(sys::Utf16ToUtf8(driver->SelectCommand()->FinalText()), "select * from $T WHERE a = 1\n");
  driver->Macros().SetValue(u"$T", u"PEOPLE");  // a macro change forms the texts again
  EXPECT_EQ(sys::Utf16ToUtf8(driver->SelectCommand()->FinalText()), "select * from PEOPLE WHERE a = 1\n");
  driver->ApplyFilterText(u"");
  EXPECT_EQ(sys::Utf16ToUtf8(driver->SelectCommand()->FinalText()), "select * from PEOPLE \n");

  // A design copy carries commands, special parameters, dynamic-SQL parameters and macros (not the
  // values pushed from a table).
  driver->SpecParams().SetValue(u"GENERATOR", u"G1");
  driver->UpdateCommand()->SetCommandType(cthStoredProc);
  driver->ApplyFilterText(u"b = 2");
  std::unique_ptr<TCustomSQLDataDriverKv> copy = driver->CreateDesignCopy();
  EXPECT_EQ(copy->SelectCommand()->Text(), driver->SelectCommand()->Text());
  EXPECT_EQ(copy->UpdateCommand()->CommandType(), cthStoredProc);
  EXPECT_TRUE(copy->UpdateCommand()->CommandTypeStored());
  EXPECT_EQ(copy->SpecParams().Values(u"GENERATOR"), u"G1");
  EXPECT_EQ(copy->DynaSQLParams().UpdateFields(), u"Name, Age");
  EXPECT_EQ(copy->SpecMacrosUsages(), smuUseFilterMacroKv | smuFilterAsWhereClauseKv);
  EXPECT_TRUE(copy->Macros() == driver->Macros());
  EXPECT_EQ(copy->MacroVars().SpecMacros().FilterMacroName(), u"%F%");
  EXPECT_EQ(sys::Utf16ToUtf8(copy->SelectCommand()->FinalText()), "select * from PEOPLE \n");
}

TEST_F(KvSQLTest, StructureFromTheSelectCommand) {
  Record();
  driver->SpecParams().SetValue(u"AUTO_INCREMENT_FIELD", u"V");
  TMemTableDataKv other(nullptr);
  driver->BuildDataStruct(other.DataStruct());
  ASSERT_EQ(other.DataStruct()->Count(), 1);
  EXPECT_TRUE(other.DataStruct()->DataFields(0)->AutoIncrement());
  SetSQLDataDriverResolver(nullptr);
  try {
    driver->BuildDataStruct(other.DataStruct());
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"SelectCommand.Execute does not get DataSet");
  }
}
