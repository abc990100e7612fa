// The main road of the engine, end to end through a session and cursors: create the seven-field
// benchmark table, post 49,999 rows, save them to a file and to a memory stream (as the all-tables
// form: Int32 count, then the table stream), empty the table, and load both back, comparing every
// field of every row.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "MdbStorageTestSupport.h"
#include "platform/classes/Files.h"
#include "platform/sys/CodePage.h"

namespace {

constexpr std::int32_t kLastCustomerID = 50000;
constexpr std::int32_t kRows = kLastCustomerID - 1;

class MdbMainRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbEngineStartup();
    Session.InMemory = true;
    Session.FDatabaseName = Session.FDatabaseFileName = "MEMORY";
    Session.SetConnected(true);
    auto Add = [&](const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
      TMdbFieldDef* F = Fields.AddCreated();
      F->SetName(Name);
      F->SetFieldDefDataType(Type, Size);
    };
    Add(u"CustomerID", aftInteger);
    Add(u"ContactName", aftString, 10);
    Add(u"Birthdate", aftDateTime);
    Add(u"MaritalStatus", aftBoolean);
    Add(u"Salary", aftDouble);
    Add(u"Address", aftWideString, 20);
    Add(u"Comment", aftWideMemo);
  }
  void TearDown() override {
    Fields.Clear();
    Session.SetConnected(false);
    MdbEngineShutdown();
  }

  std::unique_ptr<TMdbLocalCursor> NewCursor() {
    std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(Session.CreateCursor(u"Customers", false)));
    C->FInMemory = true;
    return C;
  }

  // The values of one row, a pure function of the customer id.
  struct TRow {
    std::uint64_t Scalars[5];  // CustomerID, Birthdate, MaritalStatus, Salary: raw little-endian bytes
    std::string Name;
    std::u16string Address;
    std::u16string Comment;
  };
  static TRow RowOf(std::int32_t Id) {
    TRow R{};
    R.Scalars[0] = static_cast<std::uint32_t>(Id);
    R.Scalars[2] = static_cast<std::uint64_t>(700000 + Id % 3000) | (std::uint64_t(Id * 997 % 86400000) << 32);
    R.Scalars[3] = Id % 2;
    const double Salary = 1000.25 * (Id % 977);
    std::memcpy(&R.Scalars[4], &Salary, 8);
    R.Name = "C" + std::to_string(Id * 7 % 100000000);
    const std::string A = "Street " + std::to_string(Id);
    R.Address.assign(A.begin(), A.end());
    const std::string M = "Comment of customer " + std::to_string(Id) + std::string(Id % 40, '*');
    R.Comment.assign(M.begin(), M.end());
    return R;
  }

  void PostRows(TMdbLocalCursor* C) {
    for (std::int32_t Id = 2; Id <= kLastCustomerID; ++Id) {
      const TRow R = RowOf(Id);
      Byte* B = C->FCurrentRecordBuffer;
      C->InternalInitRecord(B, true);
      C->SetFieldData(0, &R.Scalars[0], B);
      C->SetFieldData(1, R.Name.c_str(), B);
      C->SetFieldData(2, &R.Scalars[2], B);
      C->SetFieldData(3, &R.Scalars[3], B);
      C->SetFieldData(4, &R.Scalars[4], B);
      C->SetFieldData(5, R.Address.c_str(), B);
      TMdbStream* S = C->InternalCreateBlobStream(true, 6, bomWrite);
      S->Write(R.Comment.data(), static_cast<Int64>(R.Comment.size() * 2));
      S->SetModified(true);
      C->InternalCloseBLOB(6);
      C->InternalPost(true);
      ASSERT_EQ(C->FErrorCode, 0) << StringToUTF8(C->FErrorMessage);
    }
  }

  // Every row in slot order, every field compared with the generator.
  void ExpectRows() {
    auto C = NewCursor();
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    ASSERT_EQ(C->GetRecordCount(), kRows);
    C->InternalFirst();
    std::int32_t Id = 2;
    for (; C->GetRecordBuffer(grmNext) == grrOK; ++Id) {
      const TRow R = RowOf(Id);
      const Byte* B = C->FCurrentRecordBuffer;
      for (std::int32_t f : {0, 2, 3, 4}) {
        const TMdbFieldDef& F = *C->FFieldDefs.GetDef(f);
        ASSERT_EQ(std::memcmp(B + F.FMemoryOffset, &R.Scalars[f], static_cast<std::size_t>(F.FMemoryDataSize)), 0)
            << "row " << Id << " field " << f;
      }
      char Name[16] = {};
      ASSERT_TRUE(C->GetFieldData(1, Name, B));
      ASSERT_EQ(Name, R.Name);
      char16_t Address[32] = {};
      ASSERT_TRUE(C->GetFieldData(5, Address, B));
      ASSERT_EQ(std::u16string(Address), R.Address);
      TMdbVariant V;
      C->GetFieldValue(&V, 6, false, true);
      ASSERT_EQ(V.DataSize(), static_cast<std::int32_t>(R.Comment.size() * 2 + 2)) << "row " << Id;
      ASSERT_EQ(std::memcmp(V.PData(), R.Comment.data(), R.Comment.size() * 2), 0);
    }
    EXPECT_EQ(Id, kLastCustomerID + 1);
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
  }

  TMdbLocalSession Session;
  TMdbFieldDefs Fields;
};

TEST_F(MdbMainRoadTest, CreatePostSaveEmptyAndLoadTheBenchmarkTable) {
  {
    auto C = NewCursor();
    C->OpenTableByFieldDefs(&Fields, nullptr, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    PostRows(C.get());
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
  }

  const String FileName = u"MdbMainRoadTest.dat";
  {
    TMdbFileStream File(FileName, fmCreate);
    NewCursor()->SaveTableToStream(&File, acaZLIB, 0, 0, false, false);
  }
  TMdbMemoryStream All;
  const std::int32_t Count = 1;
  All.Write(&Count, 4);
  NewCursor()->SaveTableToStream(&All, acaZLIB, 0, 0, false, false);
  TMdbMemoryStream Again;
  NewCursor()->SaveTableToStream(&Again, acaZLIB, 0, 0, false, false);
  const auto AllBytes = StreamBytes(All);
  const auto AgainBytes = StreamBytes(Again);
  ASSERT_EQ(std::vector<Byte>(AllBytes.begin() + 4, AllBytes.end()), AgainBytes);

  // Header: signature, version 9.0, the row count, zlib, mode 0 written as 1.
  ASSERT_GE(AgainBytes.size(), 42u);
  EXPECT_EQ(std::memcmp(AgainBytes.data(), "ACS5", 4), 0);
  double Version;
  std::memcpy(&Version, AgainBytes.data() + 4, 8);
  EXPECT_EQ(Version, 9.0);
  Int64 Rows;
  std::memcpy(&Rows, AgainBytes.data() + 12, 8);
  EXPECT_EQ(Rows, kRows);
  EXPECT_EQ(AgainBytes[40], 1);
  EXPECT_EQ(AgainBytes[41], 1);

  NewCursor()->EmptyTable();
  {
    auto C = NewCursor();
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    EXPECT_EQ(C->GetRecordCount(), 0);
  }

  {
    TMdbFileStream File(FileName, fmOpenRead);
    auto C = NewCursor();
    C->FTableName = u"Other";
    C->LoadTableFromStream(&File);
    EXPECT_EQ(C->FTableName, u"Customers");
  }
  std::remove(StringToUTF8(FileName).c_str());
  ExpectRows();

  All.SetPosition(0);
  std::int32_t Tables = 0;
  All.Read(&Tables, 4);
  ASSERT_EQ(Tables, 1);
  NewCursor()->LoadTableFromStream(&All);
  ExpectRows();

  // A corrupted signature is refused and the table it would replace stays whole.
  std::vector<Byte> Bad = AgainBytes;
  Bad[0] = 'X';
  TMdbMemoryStream BadStream;
  FillStream(BadStream, Bad, Bad.size());
  EXPECT_EQ(NativeCodeOf([&] { NewCursor()->LoadTableFromStream(&BadStream); }), 10161);
  ExpectRows();
}

TEST_F(MdbMainRoadTest, RefusedPostStoresNothingAndKeepsTheTableDataCode) {
  TMdbFieldDefs Defs;
  Defs.Assign(Fields);
  TMdbConstraintDefs Constraints;
  Constraints.AddNotNull()->ColumnName = u"CustomerID";
  std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(Session.CreateCursor(u"N", false)));
  C->FInMemory = true;
  C->OpenTableByFieldDefs(&Defs, nullptr, &Constraints);
  C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
  auto PostWithComment = [&](const std::int32_t* Id) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    C->SetFieldData(0, Id, C->FCurrentRecordBuffer);
    TMdbStream* S = C->InternalCreateBlobStream(true, 6, bomWrite);
    EXPECT_EQ(NativeCodeOf([&] { C->InternalCreateBlobStream(true, 6, bomWrite); }), 10115);
    S->Write(u"note", 8);
    S->SetModified(true);
    C->InternalCloseBLOB(6);
    C->InternalPost(true);
  };
  const std::int32_t One = 1;
  PostWithComment(&One);
  ASSERT_EQ(C->FErrorCode, 0);
  PostWithComment(nullptr);
  EXPECT_EQ(C->FErrorCode, -8);
  const String Name = C->FConstraintDefs.GetDef(0)->Name();
  EXPECT_EQ(C->FErrorMessage, u"Error adding record, table name = N, InMemory = -1, Temporary = 0\r\nConstraint '" + Name +
                                  u"' violated. Value in field 'CustomerID' cannot be null - Native error: 30026");
  EXPECT_EQ(C->GetRecordCount(), 1);
  C->FreeRecordBuffer(C->FCurrentRecordBuffer);
  C.reset();
  Defs.Clear();
}

}  // namespace
