// The memory database's stream (tables, then stored functions), its views, and the stored-function
// block, through a real session of the running engine.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbMemoryDatabaseData.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "MdbStorageTestSupport.h"
#include "platform/sys/CodePage.h"

namespace {

// A stand-in for the query processing's processor: "SELECT a, b FROM T1, T2" reads the tables after
// FROM and returns a cursor with one visible field per name before it.
class TViewProcessor : public TMdbLocalSQLProcessor {
 public:
  using TMdbLocalSQLProcessor::TMdbLocalSQLProcessor;
  TMdbCursor* OpenQuery(TMdbWideStringList* TableNames) override {
    const std::size_t From = FSQLText.find(u" FROM ");
    if (From == String::npos) return nullptr;
    if (TableNames) {
      String Rest = FSQLText.substr(From + 6);
      std::size_t p = 0;
      while (p <= Rest.size()) {
        std::size_t q = Rest.find(u',', p);
        if (q == String::npos) q = Rest.size();
        String Name = Rest.substr(p, q - p);
        while (!Name.empty() && Name.front() == u' ') Name.erase(0, 1);
        if (!Name.empty()) TableNames->Add(Name, false);
        p = q + 1;
      }
    }
    Result = std::make_unique<TMdbCursor>();
    const String Select = FSQLText.substr(7, From - 7);
    std::int32_t Fields = 1;
    for (char16_t c : Select) Fields += c == u',';
    for (std::int32_t i = 0; i < Fields; ++i) {
      TMdbFieldDef* F = Result->FVisibleFieldDefs.AddCreated();
      F->SetName(String(u"F") + static_cast<char16_t>(u'0' + i));
      F->SetFieldDefDataType(aftInteger, 0);
    }
    return Result.get();
  }
  void ResetRootAOCursorInResultDataset() override { (void)Result.release(); }
  std::unique_ptr<TMdbCursor> Result;
};

class MdbDatabaseStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbEngineStartup();
    SetMdbSQLProcessorFactory([](TObject*, bool) { return std::make_unique<TViewProcessor>(); });
    Session.InMemory = true;
    Session.FDatabaseName = Session.FDatabaseFileName = "MEMORY";
    Session.SetConnected(true);
    TMdbFieldDef* F = Fields.AddCreated();
    F->SetName(u"ID");
    F->SetFieldDefDataType(aftInteger, 0);
    F = Fields.AddCreated();
    F->SetName(u"NAME");
    F->SetFieldDefDataType(aftWideString, 10);
  }
  void TearDown() override {
    Fields.Clear();
    Session.SetConnected(false);
    SetMdbSQLProcessorFactory(nullptr);
    MdbEngineShutdown();
  }
  TMdbMemoryDatabaseData* Db() { return static_cast<TMdbMemoryDatabaseData*>(Session.DatabaseData()); }
  std::unique_ptr<TMdbLocalCursor> Cursor(const String& Name) {
    std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(Session.CreateCursor(Name, false)));
    C->FInMemory = true;
    return C;
  }
  // A table {ID, NAME} holding one row per id.
  void MakeTable(const String& Name, const std::vector<std::int32_t>& Ids) {
    auto C = Cursor(Name);
    C->CreateTable(&Fields, nullptr, nullptr);
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    for (std::int32_t Id : Ids) {
      C->InternalInitRecord(C->FCurrentRecordBuffer, true);
      C->SetFieldData(0, &Id, C->FCurrentRecordBuffer);
      const std::u16string Text = u"n" + std::u16string(1, static_cast<char16_t>(u'0' + Id % 10));
      C->SetFieldData(1, Text.c_str(), C->FCurrentRecordBuffer);
      C->InternalPost(true);
      ASSERT_EQ(C->FErrorCode, 0);
    }
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
  }
  // The ids of a table in physical order; {-1} when it does not exist.
  std::vector<std::int32_t> Ids(const String& Name) {
    if (!Session.TableExists(Name)) return {-1};
    auto C = Cursor(Name);
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    std::vector<std::int32_t> Out;
    C->InternalFirst();
    while (C->GetRecordBuffer(grmNext) == grrOK) {
      std::int32_t v = 0;
      C->GetFieldData(0, &v, C->FCurrentRecordBuffer);
      Out.push_back(v);
    }
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
    return Out;
  }
  std::vector<Byte> SaveTable(const String& Name) {
    TMdbMemoryStream S;
    Cursor(Name)->SaveTableToStream(&S, acaNone, 0, 0, true, false);
    return StreamBytes(S);
  }
  std::vector<Byte> SaveDatabase(TMdbCompressionAlgorithm Alg = acaNone) {
    TMdbMemoryStream S;
    Session.SaveDatabaseToStream(&S, Alg, 1, 0);
    return StreamBytes(S);
  }
  int Load(const std::vector<Byte>& Bytes, std::size_t Count) {
    TMdbMemoryStream S;
    FillStream(S, Bytes, Count);
    return NativeCodeOf([&] { Session.LoadDatabaseFromStream(&S); });
  }
  void CreateView(const String& Name, const String& Select) { Session.CreateView(Name, Select, nullptr, false, u""); }
  static void Append(std::vector<Byte>& Out, const void* P, std::size_t n) {
    const auto* b = static_cast<const Byte*>(P);
    Out.insert(Out.end(), b, b + n);
  }

  TMdbLocalSession Session;
  TMdbFieldDefs Fields;
};

TEST_F(MdbDatabaseStreamTest, TwoTablesAndNoStoredFunctionsStreamAsCountTablesAndEmptyBlock) {
  MakeTable(u"A", {1, 2});
  MakeTable(u"B", {3});
  std::vector<Byte> Expected;
  const std::int32_t N = 2;
  Append(Expected, &N, 4);
  const auto A = SaveTable(u"A"), B = SaveTable(u"B");
  Expected.insert(Expected.end(), A.begin(), A.end());
  Expected.insert(Expected.end(), B.begin(), B.end());
  // {Count 0, State 0}, then two empty name arrays {8, 0}.
  const std::int32_t Block[6] = {0, 0, 8, 0, 8, 0};
  Append(Expected, Block, sizeof Block);
  EXPECT_EQ(SaveDatabase(), Expected);
}

TEST_F(MdbDatabaseStreamTest, RoundTripReplacesNamedTablesKeepsOthersAndBringsStoredFunctions) {
  MakeTable(u"A", {1, 2, 3});
  MakeTable(u"B", {4});
  Db()->StoredFunctionManager()->AddStoredFunction(u"F1", u"CREATE FUNCTION F1() RETURNS INTEGER BEGIN RETURN 1; END");
  Db()->StoredFunctionManager()->AddStoredFunction(u"f2", u"CREATE FUNCTION f2() RETURNS INTEGER BEGIN RETURN 2; END");
  for (auto Alg : {acaNone, acaZLIB}) {
    const auto Bytes = SaveDatabase(Alg);
    Cursor(u"A")->EmptyTable();
    Cursor(u"B")->DeleteTable(true);
    MakeTable(u"C", {9});
    ASSERT_EQ(Load(Bytes, Bytes.size()), -1);
    EXPECT_EQ(Ids(u"A"), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(Ids(u"B"), (std::vector<std::int32_t>{4}));
    EXPECT_EQ(Ids(u"C"), (std::vector<std::int32_t>{9}));
    Cursor(u"C")->DeleteTable(true);
    EXPECT_EQ(Session.FindStoredFunction(u"F2"), u"CREATE FUNCTION f2() RETURNS INTEGER BEGIN RETURN 2; END");
    String SQL = u"-- functions";
    Session.ExportStoredFunctionsToSQL(SQL);
    EXPECT_EQ(SQL, u"-- functions\r\nCREATE FUNCTION F1() RETURNS INTEGER BEGIN RETURN 1; END\r\n"
                   u"CREATE FUNCTION f2() RETURNS INTEGER BEGIN RETURN 2; END");
  }
  TMdbWideStringList Names, Scripts;
  Session.GetStoredFunctions(&Names, &Scripts, true);
  EXPECT_EQ(Names.Count(), 2);
  EXPECT_EQ(Names.Strings(1), u"f2");
}

TEST_F(MdbDatabaseStreamTest, StreamEndingAfterItsTablesLoadsWithoutStoredFunctions) {
  MakeTable(u"A", {1});
  Db()->StoredFunctionManager()->AddStoredFunction(u"F", u"CREATE FUNCTION F() RETURNS INTEGER BEGIN RETURN 1; END");
  const std::vector<Byte> Tables = [&] {
    std::vector<Byte> Out;
    const std::int32_t N = 1;
    Append(Out, &N, 4);
    const auto A = SaveTable(u"A");
    Out.insert(Out.end(), A.begin(), A.end());
    return Out;
  }();
  Cursor(u"A")->DeleteTable(true);
  ASSERT_EQ(Load(Tables, Tables.size()), -1);
  EXPECT_EQ(Ids(u"A"), (std::vector<std::int32_t>{1}));
  // No block: the functions the database held stay.
  EXPECT_FALSE(Session.FindStoredFunction(u"F").empty());
}

// Every cut and a sweep of damaged bytes: the load fails with the code of the site that read the bad
// bytes (or succeeds), and a failed load leaves the tables and functions the database held as they were.
TEST_F(MdbDatabaseStreamTest, DamagedStreamsFailWithTheirSiteAndKeepThePreviousDatabase) {
  MakeTable(u"A", {5, 6, 7});
  MakeTable(u"B", {8});
  const std::u16string_view Script = u"CREATE FUNCTION F() RETURNS INTEGER BEGIN RETURN 1; END";
  Db()->StoredFunctionManager()->AddStoredFunction(u"F", String(Script));
  const auto Good = SaveDatabase();
  // The previous database: A with other rows, no B, another function.
  Cursor(u"B")->DeleteTable(true);
  Cursor(u"A")->DeleteTable(true);
  MakeTable(u"A", {1});
  auto Restore = [&] {
    TMdbStoredFunctionManager Other(Db());
    Other.AddStoredFunction(u"OLD", u"old");
    Db()->StoredFunctionManager()->TakeOver(Other);
  };
  Restore();
  auto ExpectPrevious = [&](const std::string& What) {
    EXPECT_EQ(Ids(u"A"), (std::vector<std::int32_t>{1})) << What;
    EXPECT_EQ(Ids(u"B"), (std::vector<std::int32_t>{-1})) << What;
    EXPECT_EQ(Session.FindStoredFunction(u"OLD"), u"old") << What;
  };
  // The block: header, one function header, the name array {8 + 4 + 2}, the SQL text array.
  const std::size_t TablesEnd = Good.size() - (8 + 24 + 14 + 12 + 2 * Script.size());
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    if (Cut == TablesEnd) continue;  // a stream ending after its tables is whole
    const int Code = Load(Good, Cut);
    ASSERT_GT(Code, 0) << "cut " << Cut;
    ExpectPrevious("cut " + std::to_string(Cut));
    if (::testing::Test::HasFailure()) return;
  }
  // The sites of the database stream's own items.
  struct TCut {
    std::size_t At;
    int Code;
  };
  for (const TCut& C : {TCut{2, 11760}, TCut{TablesEnd + 3, 12013}, TCut{TablesEnd + 8 + 10, 12471},
                        TCut{TablesEnd + 8 + 24 + 6, 12015}, TCut{Good.size() - 1, 12016}})
    EXPECT_EQ(Load(Good, C.At), C.Code) << "cut " << C.At;
  for (std::size_t At = 0; At < Good.size(); At += 3) {
    std::vector<Byte> Bad = Good;
    Bad[At] ^= 0xA5;
    if (Load(Bad, Bad.size()) > 0) {
      ExpectPrevious("byte " + std::to_string(At));
    } else {
      // A damaged byte the reader cannot tell (a record's value): the load went through; back to the
      // previous database for the next round.
      // (the damaged byte may have renamed a table: only what is there goes)
      for (const char16_t* Name : {u"A", u"B"})
        if (Session.TableExists(Name)) Cursor(Name)->DeleteTable(true);
      MakeTable(u"A", {1});
      Restore();
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST_F(MdbDatabaseStreamTest, CountsAreCheckedAgainstTheBytesLeft) {
  struct TCase {
    std::int32_t TableCount;
    std::vector<std::int32_t> Block;  // after the table count; empty: none
    int Code;
  };
  const TCase Cases[] = {
      {-1, {}, 11760},
      {0x7FFFFFFF, {}, 11760},
      {1, {}, 11760},                                // a table announced, no bytes for it
      {0, {-1, 0, 8, 0, 8, 0}, 12471},               // negative function count
      {0, {0x7FFFFFFF, 0, 8, 0, 8, 0}, 12471},       // Count x 24 wraps a 32-bit product
      {0, {0x0AAAAAAB, 0, 8, 0, 8, 0}, 12471},       // 24 x Count just past 2^32
      {0, {1, 0, 0, 0, 0, 0, 0, 0, 8, 0, 8, 0}, 12015},  // one header, no name
      {0, {0, 0, 8, 0, 8, 0}, -1},
  };
  for (const TCase& C : Cases) {
    std::vector<Byte> Bytes;
    Append(Bytes, &C.TableCount, 4);
    Append(Bytes, C.Block.data(), C.Block.size() * 4);
    EXPECT_EQ(Load(Bytes, Bytes.size()), C.Code) << C.TableCount << " / " << (C.Block.empty() ? 0 : C.Block[0]);
  }
}

TEST_F(MdbDatabaseStreamTest, LoadIsRefusedWhileATableItReplacesIsOpen) {
  MakeTable(u"A", {1});
  const auto Bytes = SaveDatabase();
  MakeTable(u"B", {2});
  const auto WithB = SaveDatabase();
  auto Open = Cursor(u"A");
  Open->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  EXPECT_EQ(Load(WithB, WithB.size()), 10152);
  Open->CloseTable();
  EXPECT_EQ(Ids(u"B"), (std::vector<std::int32_t>{2}));  // untouched, not loaded twice
  EXPECT_EQ(Load(Bytes, Bytes.size()), -1);
}

// ---- views -----------------------------------------------------------------------------------------------

TEST_F(MdbDatabaseStreamTest, ViewRules) {
  MakeTable(u"A", {1});
  CreateView(u"V1", u"SELECT ID FROM A");
  CreateView(u"V2", u"SELECT ID FROM V1");
  CreateView(u"V3", u"SELECT ID, NAME FROM A");
  EXPECT_TRUE(Session.TableExists(u"v1"));
  struct TCase {
    std::function<void()> Body;
    int Code;
  };
  TMdbWideStringList ThreeColumns;
  for (const char16_t* c : {u"X", u"Y", u"Z"}) ThreeColumns.Add(c, false);
  const TCase Cases[] = {
      {[&] { CreateView(u"a", u"SELECT ID FROM A"); }, 12623},
      {[&] { CreateView(u"V1", u"SELECT ID FROM A"); }, 12623},
      {[&] { CreateView(u"V9", u"SELECT 1"); }, 12570},
      {[&] { Session.CreateView(u"V9", u"SELECT ID, NAME FROM A", &ThreeColumns, false, u""); }, 12577},
      {[&] { Session.DropView(u"NOPE", false); }, 12624},
      {[&] { Session.DropView(u"V1", false); }, 12625},
      {[&] { Cursor(u"A")->DeleteTable(false); }, 12626},
  };
  for (const TCase& C : Cases) EXPECT_EQ(NativeCodeOf(C.Body), C.Code);
  EXPECT_EQ(Db()->ViewCount(), 3);
  EXPECT_EQ(Ids(u"A"), (std::vector<std::int32_t>{1}));

  // A view's columns name the result's fields; more result fields than names are accepted.
  TMdbWideStringList One;
  One.Add(u"Renamed", false);
  Session.CreateView(u"V4", u"SELECT ID, NAME FROM A", &One, true, u"four");
  std::unique_ptr<TMdbViewDef> V(Session.FindView(u"v4"));
  ASSERT_TRUE(V);
  EXPECT_EQ(V->ColumnNames->GetString(0), u"Renamed");
  EXPECT_TRUE(V->WithCheckOption);
  EXPECT_EQ(V->Comment, u"four");

  // Views are listed after the tables; infos mark them as created views.
  TMdbWideStringList Names;
  Session.GetTablesList(&Names);
  EXPECT_EQ(Names.Text(), u"A\r\nV1\r\nV2\r\nV3\r\nV4\r\n");
  const TMdbTableInfoArray Infos = Session.GetTablesInfo(false);
  ASSERT_EQ(Infos.size(), 5u);
  EXPECT_EQ(Infos[0].TableName, u"A");
  EXPECT_NE(Infos[0].TableState.LastTableOperation, ltoCreateView);
  EXPECT_EQ(Infos[4].TableName, u"V4");
  EXPECT_EQ(Infos[4].Comment, u"four");
  EXPECT_EQ(Infos[4].TableState.LastTableOperation, ltoCreateView);
  EXPECT_EQ(Infos[4].TableState.LastModificationDate, Infos[4].CreationDate);

  // The database stream counts the table only and loads back without views in it.
  const auto Bytes = SaveDatabase();
  std::int32_t N = 0;
  std::memcpy(&N, Bytes.data(), 4);
  EXPECT_EQ(N, 1);
  EXPECT_EQ(Load(Bytes, Bytes.size()), -1);
  EXPECT_EQ(Db()->ViewCount(), 4);

  // CASCADE takes the views reading the name; a table's delete takes the views reading the table.
  Session.DropView(u"V2", false);
  Session.DropView(u"V1", true);
  EXPECT_FALSE(Session.TableExists(u"V1"));
  Cursor(u"A")->DeleteTable(true);
  EXPECT_EQ(Db()->ViewCount(), 0);
  EXPECT_FALSE(Session.TableExists(u"A"));
}

}  // namespace
