#include <thread>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/tests/MdbMemoryTableFixture.h"

namespace {

std::vector<std::string> RegisteredNames() {
  std::vector<std::string> Names;
  TMdbDatabaseDataRegistry* R = DatabaseDataRegistry();
  if (R == nullptr) return Names;
  for (std::int32_t i = 0; i < R->Count(); ++i) {
    const TMdbDatabaseData* D = R->Get(i);
    Names.push_back(std::string(D->FDatabaseName.begin(), D->FDatabaseName.end()) + (D->FInMemory ? "/mem" : "") +
                    (D->FTemporary ? "/temp" : ""));
  }
  return Names;
}

}  // namespace

TEST(MdbEngine, StartupRegistersMemoryAndTempAndShutdownLeavesNothing) {
  sys::SetSystemCodePage(936);
  const std::uint32_t RefsBefore = ManagerReferenceCount;
  MdbEngineStartup();
  EXPECT_TRUE(MdbEngineStarted());
  EXPECT_EQ(RegisteredNames(), (std::vector<std::string>{"MEMORY/mem", "TEMP/temp"}));
  ASSERT_NE(MdbMemoryDatabase(), nullptr);
  EXPECT_NE(dynamic_cast<TMdbMemoryDatabaseData*>(MdbMemoryDatabase()), nullptr);
  ASSERT_NE(MdbTemporaryDatabase(), nullptr);
  EXPECT_EQ(FindDatabaseData(true, false, AnsiString("memory"), String()), MdbMemoryDatabase());
  // A table in MEMORY goes with the engine; the first page cache started the cleaning thread.
  {
    TMdbCursor Namer;
    Namer.FTableName = u"T";
    TMdbFieldDefs F;
    TMdbFieldDef* D = F.AddCreated();
    D->SetName(u"ID");
    D->SetFieldDefDataType(aftInteger, 0);
    TMdbIndexDefs I;
    TMdbConstraintDefs C;
    MdbMemoryDatabase()->CreateTableData(&Namer)->CreateTable(&Namer, F, I, C);
  }
  EXPECT_TRUE(MdbCacheThreadRunning());
  // Nested start-ups are counted.
  MdbEngineStartup();
  MdbEngineShutdown();
  EXPECT_EQ(RegisteredNames().size(), 2u);
  MdbEngineShutdown();
  EXPECT_FALSE(MdbEngineStarted());
  EXPECT_EQ(DatabaseDataRegistry(), nullptr);
  EXPECT_EQ(MdbMemoryDatabase(), nullptr);
  EXPECT_FALSE(MdbCacheThreadRunning());
  EXPECT_EQ(ManagerReferenceCount, RefsBefore);
}

class MdbMemoryDatabaseTest : public MdbMemoryTableTest {};

TEST_F(MdbMemoryDatabaseTest, SessionIdsAreThreadIds) {
  TTestSession A{-1}, B{-1}, C{-1};
  Db->ConnectSession(&A);
  Db->ConnectSession(&B);
  std::thread([&] { Db->ConnectSession(&C); }).join();
  EXPECT_GT(A.SessionID, 0);
  EXPECT_EQ(A.SessionID, B.SessionID);
  EXPECT_NE(C.SessionID, A.SessionID);
  EXPECT_EQ(Db->GetSessionsCount(), 3);
  for (auto* S : {&A, &B, &C}) Db->DisconnectSession(S);
  EXPECT_EQ(Db->GetSessionsCount(), 0);
  EXPECT_EQ(Db->FLockParams.RetryCount, 1000);
  EXPECT_EQ(Db->FLockParams.Delay, 1);
}

TEST_F(MdbMemoryDatabaseTest, TablesAndTheirComments) {
  TMdbMemoryTableData* T = CreateStandard(u"Orders");
  EXPECT_EQ(Db->TableDataCount(), 1);
  EXPECT_TRUE(Db->TableExists(nullptr, u"ORDERS"));
  TMdbCursor Finder;
  Finder.FTableName = u"orders";
  EXPECT_EQ(Db->FindOrCreateTableData(&Finder), T);
  EXPECT_EQ(T->AllocRecordsBy(), Finder.FMemoryTableAllocBy);
  Db->SetTableComment(u"ORDERS", u"all of them");
  EXPECT_EQ(Db->GetTableComment(u"Orders"), u"all of them");
  EXPECT_EQ(Db->GetTableComment(u"Other"), u"");
  Db->SetTableComment(u"Other", u"x");  // nothing happens
  EXPECT_EQ(Db->TableDataCount(), 1);
}
