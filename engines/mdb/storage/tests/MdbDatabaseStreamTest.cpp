// The memory database's stream (tables, then stored functions), its views, the stored-function block
// and the SQL script export, through a real session of the running engine.
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
#include "platform/rtl/DateTime.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"
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
    // Nothing may be reported on the way: a failed load gives up its half-read pages silently.
    SetMdbStorageDiagnosticSink([this](const String& Text) { Diagnostics.push_back(StringToUTF8(Text)); });
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
    SetMdbStorageDiagnosticSink(nullptr);
    EXPECT_TRUE(Diagnostics.empty()) << Diagnostics.front();
  }
  TMdbMemoryDatabaseData* Db() { return static_cast<TMdbMemoryDatabaseData*>(Session.DatabaseData()); }
  std::unique_ptr<TMdbLocalCursor> Cursor(const String& Name) {
    std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(Session.CreateCursor(Name, false)));
    C->FInMemory = true;
    return C;
  }
  // A table {ID, NAME} holding one row per id.
  void MakeTable(const String& Name, const std::vector<std::int32_t>& Ids, bool Indexed = false) {
    auto C = Cursor(Name);
    TMdbIndexDefs Indexes;
    if (Indexed) {
      TMdbIndexDef* I = Indexes.AddCreated();
      I->SetName(u"ByName");
      I->FIndexColumns = {{u"NAME", 0, 1, 1}};
    }
    C->CreateTable(&Fields, &Indexes, nullptr);
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
  std::vector<std::string> Diagnostics;
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

// Every cut and a sweep of damaged bytes (table A carries a B-tree index, its pages in its stream): the load fails with the code of the site that read the bad
// bytes (or succeeds), and a failed load leaves the tables and functions the database held as they were.
TEST_F(MdbDatabaseStreamTest, DamagedStreamsFailWithTheirSiteAndKeepThePreviousDatabase) {
  MakeTable(u"A", {5, 6, 7}, true);
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
  SCOPED_TRACE(Good.size());
  // The block: header, one function header, the name array {8 + 4 + 2}, the SQL text array.
  const std::size_t TablesEnd = Good.size() - (8 + 24 + 14 + 12 + 2 * Script.size());
  // Every byte near the items the readers check (heads, definitions, the block at the end); inside
  // the index pages, which are copied whole, every 97th.
  const auto Near = [&](std::size_t At, std::size_t Stride) {
    return At < 700 || At + 400 > Good.size() || At % Stride == 0;
  };
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    if (Cut == TablesEnd || !Near(Cut, 97)) continue;  // a stream ending after its tables is whole
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
    if (!Near(At, 293)) continue;
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

// ---- SQL script export ----------------------------------------------------------------------------------

class MdbSQLExportTest : public MdbDatabaseStreamTest {
 protected:
  struct TCol {
    const char16_t* Name;
    TMdbAdvancedFieldType Type;
    std::int32_t Size;
  };
  // A table of the given columns; Fill posts its rows through the open cursor.
  void Make(const String& Name, std::initializer_list<TCol> Cols, TMdbIndexDefs* Indexes = nullptr,
            TMdbConstraintDefs* Constraints = nullptr, const std::function<void(TMdbLocalCursor*)>& Fill = {}) {
    TMdbFieldDefs Defs;
    for (const TCol& Col : Cols) {
      TMdbFieldDef* F = Defs.AddCreated();
      F->SetName(Col.Name);
      F->SetFieldDefDataType(Col.Type, Col.Size);
    }
    auto C = Cursor(Name);
    C->CreateTable(&Defs, Indexes, Constraints);
    if (!Fill) return;
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    Fill(C.get());
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
  }
  static void Post(TMdbLocalCursor* C, const std::vector<std::function<void(TMdbVariant&)>>& Values) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    for (std::size_t i = 0; i < Values.size(); ++i) {
      if (!Values[i]) continue;
      TMdbVariant V;
      Values[i](V);
      C->SetFieldValue(&V, static_cast<std::int32_t>(i), false, C->FCurrentRecordBuffer);
    }
    C->InternalPost(true);
    ASSERT_EQ(C->FErrorCode, 0) << StringToUTF8(C->FErrorMessage);
  }
  String Export(const String& Name, bool Structure, bool Data, bool Brackets = false) {
    auto C = Cursor(Name);
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    return C->ExportTableToSQL(Structure, false, false, false, Data, false, Brackets, false);
  }
};

TEST_F(MdbSQLExportTest, StructureLinesAndBrackets) {
  Make(u"T", {{u"ID", aftInteger, 0}, {u"NAME", aftString, 20}});
  EXPECT_EQ(Export(u"T", true, false), u"CREATE TABLE MEMORY T (\r\n\tID INTEGER,\r\n\tNAME STRING (20)\r\n);\r\n");
  EXPECT_EQ(Export(u"T", true, false, true),
            u"CREATE TABLE MEMORY [T] (\r\n\t[ID] INTEGER,\r\n\t[NAME] STRING (20)\r\n);\r\n");
}

TEST_F(MdbSQLExportTest, IndexesConstraintsDefaultsAndCommentWithQuote) {
  TMdbIndexDefs Indexes;
  auto* P = Indexes.AddCreated();
  P->SetName(u"PK");
  P->FPrimary = 1;
  P->FIndexColumns = {{u"ID", 0, 0, 0}, {u"NAME", 0, 1, 1}};
  auto* U = Indexes.AddCreated();
  U->SetName(u"ByName");
  U->FUnique = 1;
  U->FIndexColumns = {{u"NAME", 0, 1, 0}, {u"ID", 0, 0, 1}};
  TMdbConstraintDefs Constraints;
  Constraints.AddNotNull()->ColumnName = u"NAME";
  auto* K = Constraints.AddCheck();
  K->ColumnName = u"ID";
  K->MinValue->SetAsInteger(1);
  Make(u"T", {{u"ID", aftInteger, 0}, {u"NAME", aftWideString, 8}, {u"N", aftWideMemo, 0}}, &Indexes, &Constraints);
  Db()->SetTableComment(u"T", u"Bob's table");
  auto C = Cursor(u"T");
  C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  C->FFieldDefs.GetDef(1)->FDefaultValue->SetAsWideString(u"it's");
  const String Got = C->ExportTableToSQL(true, true, true, true, false, false, false, false);
  EXPECT_EQ(Got,
            u"DROP TABLE MEMORY T CASCADE;\r\n"
            u"CREATE TABLE MEMORY T (\r\n"
            u"\tID INTEGER MINVALUE 1,\r\n"
            u"\tNAME WIDESTRING (8) DEFAULT 'it''s' NOT NULL,\r\n"
            u"\tN WIDEMEMO BLOBBLOCKSIZE " + IntToStr(C->FFieldDefs.GetDef(2)->FBLOBBlockSize) +
                u" BLOBCOMPRESSIONALGORITHM NONE BLOBCOMPRESSIONMODE " + IntToStr(C->FFieldDefs.GetDef(2)->FBLOBCompressionMode) +
                u",\r\n"
                u"PRIMARY KEY PK (ID, NAME DESC NOCASE)\r\n"
                u") COMMENT 'Bob''s table';\r\n"
                u"DROP INDEX IF EXISTS MEMORY T.ByName;\r\n"
                u"CREATE UNIQUE INDEX ByName ON MEMORY T (\r\n\tNAME DESC,\r\n\tID NOCASE\r\n);\r\n");
}

TEST_F(MdbSQLExportTest, ValueFormsKeepTextAndUseAPointForDecimals) {
  const double Stamp = EncodeDate(2023, 7, 4) + (9 * 3600000.0 + 5 * 60000 + 3 * 1000 + 7) / 86400000.0;
  Make(u"V", {{u"S", aftWideString, 20}, {u"A", aftString, 20}, {u"D", aftDouble, 0}, {u"T", aftDateTime, 0},
              {u"I", aftInteger, 0}},
       nullptr, nullptr, [&](TMdbLocalCursor* C) {
         Post(C, {[](TMdbVariant& V) { V.SetAsWideString(u"O'Brien \u03A9\u4E2D"); },
                  [](TMdbVariant& V) { V.SetAsWideString(u"plain"); }, [](TMdbVariant& V) { V.SetAsDouble(1.5); },
                  [&](TMdbVariant& V) { V.SetAsTDateTime(Stamp); }, nullptr});
       });
  const char16_t Saved = FormatSettings().DecimalSeparator;
  FormatSettings().DecimalSeparator = u',';
  const String Got = Export(u"V", false, true);
  FormatSettings().DecimalSeparator = Saved;
  EXPECT_EQ(Got, u"INSERT INTO MEMORY V VALUES (\r\n"
                 u"\t'O''Brien \u03A9\u4E2D',\r\n"
                 u"\t'plain',\r\n"
                 u"\t1.5,\r\n"
                 u"\tTODATE('7/4/2023 9:5:3:7','M/D/YYYY H24:N:S:Z'),\r\n"
                 u"\tNULL\r\n"
                 u");\r\n");
}

TEST_F(MdbSQLExportTest, BlobFieldsLeftOutOrWrittenInBase64AndTheCursorStaysPut) {
  Make(u"B", {{u"M", aftBlob, 0}, {u"ID", aftInteger, 0}}, nullptr, nullptr, [&](TMdbLocalCursor* C) {
    for (std::int32_t Id : {7, 8}) {
      C->InternalInitRecord(C->FCurrentRecordBuffer, true);
      C->SetFieldData(1, &Id, C->FCurrentRecordBuffer);
      if (Id == 7) {
        TMdbStream* S = C->InternalCreateBlobStream(true, 0, bomWrite);
        S->Write("abc", 3);
        S->SetModified(true);
        C->InternalCloseBLOB(0);
      }
      C->InternalPost(true);
    }
  });
  EXPECT_EQ(Export(u"B", false, true),
            u"INSERT INTO MEMORY B (ID) VALUES (\r\n\t7\r\n);\r\nINSERT INTO MEMORY B (ID) VALUES (\r\n\t8\r\n);\r\n");
  auto C = Cursor(u"B");
  C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
  Byte* Buffer = C->FCurrentRecordBuffer;
  C->InternalFirst();
  ASSERT_EQ(C->GetRecordBuffer(grmNext), grrOK);
  const std::int32_t At = C->CurrentRecordID.PageNo;
  EXPECT_EQ(C->ExportTableToSQL(false, false, false, false, true, true, true, false),
            u"INSERT INTO MEMORY [B] VALUES (\r\n\tTOBLOB ('YWJj',MIME64),\r\n\t7\r\n);\r\n"
            u"INSERT INTO MEMORY [B] VALUES (\r\n\tNULL,\r\n\t8\r\n);\r\n");
  EXPECT_EQ(C->FCurrentRecordBuffer, Buffer);
  const std::int32_t Now = C->CurrentRecordID.PageNo;
  EXPECT_EQ(Now, At);
  EXPECT_TRUE(C->FBLOBStreams.empty());
  C->FreeRecordBuffer(C->FCurrentRecordBuffer);
}

TEST_F(MdbSQLExportTest, ForeignKeyClausesAndTheDatabaseScript) {
  Make(u"C", {{u"PID", aftInteger, 0}});
  TMdbConstraintDefForeignKey* Fk = nullptr;
  {
    auto C = Cursor(u"C");
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    Fk = C->FConstraintDefs.AddFK();
    Fk->SetName(u"FK1");
    Fk->Columns = {{u"PID", 0}};
    Fk->ReferencedTableName = u"P";
    struct TCase {
      TMdbConstraintForeignKeyMatchType Match;
      TMdbConstraintForeignKeyAction Delete, Update;
      const char16_t* Tail;
    };
    const TCase Cases[] = {
        {cfkmtDefault, cfkaDefault, cfkaCascade, u"REFERENCES P  ON UPDATE CASCADE;"},
        {cfkmtFull, cfkaSetNull, cfkaNoAction, u"REFERENCES P MATCH FULL ON DELETE SET NULL ON UPDATE NO ACTION;"},
        {cfkmtPartial, cfkaSetDefault, cfkaDefault, u"REFERENCES P MATCH PARTIAL ON DELETE SET DEFAULT;"},
    };
    for (const TCase& K : Cases) {
      Fk->MatchType = K.Match;
      Fk->DeleteAction = K.Delete;
      Fk->UpdateAction = K.Update;
      EXPECT_EQ(C->ExportTableToSQL(false, false, false, false, false, false, false, true),
                String(u"ALTER TABLE MEMORY C ADD FOREIGN KEY FK1 (PID) ") + K.Tail);
    }
    EXPECT_EQ(C->FTableName, u"C");
  }
  // The database: tables and views in list order, the (empty) foreign-key part, then the functions.
  CreateView(u"W", u"SELECT PID FROM C");
  Db()->StoredFunctionManager()->AddStoredFunction(u"F", u"CREATE FUNCTION F");
  EXPECT_EQ(Session.ExportDatabaseToSQL(true, false, false, false, false, false, false, true, true, false),
            u"CREATE TABLE MEMORY C (\r\n\tPID INTEGER\r\n);\r\n\r\n\r\nCREATE FUNCTION F");
  const String WithView = Session.ExportDatabaseToSQL(true, true, false, false, false, false, false, false, false, true);
  EXPECT_NE(WithView.find(u"DROP VIEW W CASCADE;\r\nCREATE VIEW W AS\r\nSELECT PID FROM C\r\n;\r\n"), String::npos)
      << StringToUTF8(WithView);
  // Functions but no table: nothing at all.
  Cursor(u"C")->DeleteTable(true);
  EXPECT_EQ(Session.ExportDatabaseToSQL(true, false, false, false, false, false, false, true, true, true), u"");
}

}  // namespace
