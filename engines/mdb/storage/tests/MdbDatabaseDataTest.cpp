#include <functional>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "MdbStorageTestSupport.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

// A database whose tables are plain table data objects named after the cursor's table.
class TTablesDatabase : public TMdbDatabaseData {
 public:
  TTablesDatabase(const AnsiString& Name, bool InMemory, bool Temporary, int* Freed = nullptr) : FFreed(Freed) {
    FDatabaseName = Name;
    FInMemory = InMemory;
    FTemporary = Temporary;
  }
  ~TTablesDatabase() override {
    if (FFreed) ++*FFreed;
  }
  TMdbTableData* CreateTableData(TMdbCursor* Cursor) override {
    auto* T = new TMdbTableData(this);
    T->SetTableName(Cursor->FTableName);
    AddTableData(T);
    return T;
  }

 private:
  int* FFreed;
};

class MdbDatabaseDataTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    MdbCreateDatabaseDataRegistry();
  }
  void TearDown() override {
    MdbFreeDatabaseDataRegistry();
    MdbStorageTest::TearDown();
  }
  TMdbTableData* Open(TMdbDatabaseData& Db, const String& Name) {
    TMdbCursor C;
    C.FTableName = Name;
    return Db.FindOrCreateTableData(&C);
  }
  template <class F>
  static int CodeOf(F&& Body) {
    try {
      Body();
    } catch (const EMdbException& E) {
      return E.NativeError;
    }
    return 0;
  }
};

TEST_F(MdbDatabaseDataTest, RegistryFindsByKindAndNameCRC) {
  auto* Memory = new TTablesDatabase("MEMORY", true, false);
  auto* Temp = new TTablesDatabase("TEMP", false, true);
  auto* File = new TTablesDatabase("", false, false);
  File->FDatabaseNameUnicode = u"C:\\data\\Shop.mdb";
  for (TMdbDatabaseData* D : {static_cast<TMdbDatabaseData*>(Memory), static_cast<TMdbDatabaseData*>(Temp),
                              static_cast<TMdbDatabaseData*>(File)})
    DatabaseDataRegistry()->Add(D);

  struct TCase {
    bool InMemory, Temporary;
    AnsiString Name;
    String Unicode;
    TMdbDatabaseData* Expected;
  };
  const TCase Cases[] = {
      {true, false, "memory", u"", Memory},        {true, false, "MeMoRy", u"ignored", Memory},
      {true, false, "TEMP", u"", nullptr},         {false, true, "temp", u"", Temp},
      {false, true, "MEMORY", u"", nullptr},       {true, true, "MEMORY", u"", nullptr},
      {false, false, "", u"c:\\DATA\\shop.mdb", File}, {false, false, "memory", u"", Memory},
      {false, false, "other", u"", nullptr},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(FindDatabaseData(C.InMemory, C.Temporary, C.Name, C.Unicode), C.Expected);
  }

  // A database leaves the registry when it is freed; shutdown frees the rest.
  delete Temp;
  EXPECT_EQ(DatabaseDataRegistry()->Count(), 2);
  EXPECT_EQ(FindDatabaseData(false, true, "TEMP", u""), nullptr);
}

TEST_F(MdbDatabaseDataTest, TablesAreOwnedListedAndFoundByName) {
  int Freed = 0;
  auto* Db = new TTablesDatabase("MEMORY", true, false, &Freed);
  DatabaseDataRegistry()->Add(Db);

  EXPECT_TRUE(Db->GetTablesInfo(true).empty());
  EXPECT_FALSE(Db->TableExists(nullptr, u""));
  TMdbTableData* Orders = Open(*Db, u"Orders");
  TMdbTableData* Customers = Open(*Db, u"customers");
  EXPECT_EQ(Open(*Db, u"ORDERS"), Orders);  // found again by name CRC, not created twice
  EXPECT_EQ(Db->TableDataCount(), 2);
  EXPECT_TRUE(Db->TableExists(nullptr, u"CUSTOMERS"));
  EXPECT_FALSE(Db->TableExists(nullptr, u"Items"));

  Orders->ChangeTableState(ltoInsert);
  EXPECT_EQ(Db->GetTableState(u"orders").TableState, 1u);
  EXPECT_EQ(Db->GetTableState(u"Items").TableState, 0u);

  TMdbWideStringList List;
  Db->GetTablesList(nullptr, &List);
  ASSERT_EQ(List.Count(), 2);
  EXPECT_EQ(List.Strings(0), u"Orders");
  const TMdbTableInfoArray Sorted = Db->GetTablesInfo(true);
  ASSERT_EQ(Sorted.size(), 2u);
  EXPECT_EQ(Sorted[0].TableName, u"customers");
  EXPECT_EQ(Sorted[1].TableState.TableState, 1u);

  // A table freed by someone else leaves the list without being freed twice.
  delete Customers;
  EXPECT_EQ(Db->TableDataCount(), 1);
  EXPECT_FALSE(Db->TableExists(nullptr, u"customers"));

  // Shutdown frees the registered databases and with them their tables.
  MdbFreeDatabaseDataRegistry();
  EXPECT_EQ(Freed, 1);
  EXPECT_EQ(DatabaseDataRegistry(), nullptr);
}

TEST_F(MdbDatabaseDataTest, BaseAnswersAndRefusals) {
  TTablesDatabase Db("MEMORY", true, false);
  Db.FDatabaseNameUnicode = u"MEMORY";
  EXPECT_FALSE(Db.IsDatabaseEncrypted(nullptr));
  EXPECT_TRUE(Db.IsDatabaseEncryptedByPassword(nullptr));
  EXPECT_EQ(Db.FindView(nullptr, u"V"), nullptr);
  EXPECT_EQ(CodeOf([&] { Db.CreateView(nullptr, u"V", nullptr); }), 12562);
  EXPECT_EQ(CodeOf([&] { Db.DropView(nullptr, u"V", false); }), 12563);

  String SQL;
  TMdbWideStringList Names, Scripts;
  const std::pair<int, std::function<void()>> StoredFunctionCases[] = {
      {12006, [&] { Db.CreateStoredFunction(static_cast<TMdbBaseSession*>(nullptr), u"x"); }},
      {12105, [&] { Db.CreateStoredFunction(static_cast<TObject*>(nullptr), u"x"); }},
      {12107, [&] { TObject* F = nullptr; Db.ParseStoredFunction(nullptr, nullptr, nullptr, F, SQL); }},
      {12007, [&] { Db.DropStoredFunction(nullptr, u"f"); }},
      {12208, [&] { Db.AlterStoredFunction(nullptr, u"f", u"x"); }},
      {12224, [&] { Db.AlterStoredFunctionRename(nullptr, u"f", u"g"); }},
      {12008, [&] { Db.ExecuteStoredFunction(nullptr, u"f", nullptr, nullptr); }},
      {12009, [&] { Db.FindStoredFunction(u"f"); }},
      {12476, [&] { Db.GetStoredFunctionByName(u"f", nullptr); }},
      {12010, [&] { Db.GetStoredFunctions(static_cast<TStrings*>(nullptr), nullptr, true); }},
      {12011, [&] { Db.GetStoredFunctions(&Names, &Scripts, true); }},
      {12138, [&] { Db.ExportStoredFunctionsToSQL(SQL); }},
  };
  SQL = u"kept";
  for (const auto& [Code, Body] : StoredFunctionCases) EXPECT_EQ(CodeOf(Body), Code);
  EXPECT_TRUE(SQL.empty());  // the parse clears the script before it fails
  TMdbSQLParams* Params = nullptr;
  EXPECT_EQ(Db.ParseStoredFunctionParams(nullptr, nullptr, nullptr, nullptr, Params), nullptr);
  try {
    Db.FindStoredFunction(u"f");
  } catch (const EMdbException& E) {
    EXPECT_NE(E.Message().find(u"DatabaseName = 'MEMORY', DatabaseNameUnicode = 'MEMORY', InMemory = True"), String::npos);
  }

  TMdbDatabaseData Base;
  TMdbCursor C;
  C.FTableName = u"T";
  EXPECT_EQ(CodeOf([&] { Base.FindOrCreateTableData(&C); }), 30339);
}

}  // namespace
