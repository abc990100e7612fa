// The benchmark's road through the engine: the seven-field table created, filled, saved (to a file
// and as an all-tables stream), emptied and loaded back through a session and a cursor.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "platform/sys/CodePage.h"

namespace {

constexpr std::int32_t kRows = 49999;

// One row of the benchmark table, as the generator of the test makes it for CustomerID Id.
struct TRow {
  std::int32_t Id;
  std::string Contact;
  std::int32_t Date, Time;
  bool Married;
  double Salary;
  std::u16string Address, Comment;
  explicit TRow(std::int32_t i)
      : Id(i),
        Contact("C" + std::to_string(i % 100000)),
        Date(700000 + i % 20000),
        Time((i * 7919) % 86400000),
        Married(i % 3 == 0),
        Salary(1000.0 + i * 0.25),
        Address(u"Street " + std::u16string(static_cast<std::size_t>(i % 9 + 1), char16_t(u'a' + i % 26))),
        Comment(i % 5 == 0 ? u"" : u"comment of row " + std::u16string(static_cast<std::size_t>(i % 40), u'#')) {}
};

class MdbMainRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbEngineStartup();
    Session = std::make_unique<TMdbLocalSession>();
    Session->InMemory = true;
    Session->FDatabaseName = Session->FDatabaseFileName = "MEMORY";
    Session->SetConnected(true);
    auto Add = [&](const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size) {
      TMdbFieldDef* F = Fields.AddCreated();
      F->SetName(Name);
      F->SetFieldDefDataType(Type, Size);
    };
    Add(u"CustomerID", aftInteger, 0);
    Add(u"ContactName", aftString, 10);
    Add(u"Birthdate", aftDateTime, 0);
    Add(u"MaritalStatus", aftBoolean, 0);
    Add(u"Salary", aftDouble, 0);
    Add(u"Address", aftWideString, 20);
    Add(u"Comment", aftWideMemo, 0);
  }
  void TearDown() override {
    Cursor.reset();
    Session.reset();
    Fields.Clear();
    MdbEngineShutdown();
  }
  void OpenCursor() {
    Cursor.reset(static_cast<TMdbLocalCursor*>(Session->CreateCursor(u"Customers", false)));
    Cursor->FInMemory = true;
    Cursor->OpenTableByFieldDefs(&Fields, nullptr, nullptr);
    Cursor->FCurrentRecordBuffer = Cursor->AllocateRecordBuffer();
  }
  void CloseCursor() {
    if (!Cursor) return;
    Cursor->FreeRecordBuffer(Cursor->FCurrentRecordBuffer);
    Cursor->CloseTable();
    Cursor.reset();
  }
  void Set(std::int32_t FieldNo, const void* Value, std::size_t Size) {
    Byte Raw[64] = {};
    std::memcpy(Raw, Value, Size);
    Cursor->SetFieldData(FieldNo, Raw, Cursor->FCurrentRecordBuffer);
  }
  void PostRow(const TRow& R) {
    Byte* B = Cursor->FCurrentRecordBuffer;
    Cursor->InternalInitRecord(B, true);
    Set(0, &R.Id, 4);
    Set(1, R.Contact.c_str(), R.Contact.size() + 1);
    const std::int32_t DT[2] = {R.Date, R.Time};
    Set(2, DT, 8);
    const std::uint16_t Married = R.Married ? 1 : 0;
    Set(3, &Married, 2);
    Set(4, &R.Salary, 8);
    Set(5, R.Address.c_str(), (R.Address.size() + 1) * 2);
    if (!R.Comment.empty()) {
      TMdbStream* S = Cursor->InternalCreateBlobStream(true, 6, bomWrite);
      S->Write(R.Comment.data(), static_cast<Int64>(R.Comment.size() * 2));
      S->SetModified(true);
      Cursor->InternalCloseBLOB(6);
    }
    Cursor->InternalPost(true);
    ASSERT_EQ(Cursor->FErrorCode, 0) << std::string(Cursor->FErrorMessage.begin(), Cursor->FErrorMessage.end());
  }
  // Every row, in order, field by field.
  void ExpectAllRows() {
    OpenCursor();
    ASSERT_EQ(Cursor->GetRecordCount(), kRows);
    Cursor->InternalFirst();
    std::int32_t n = 0;
    while (Cursor->GetRecordBuffer(grmNext) == grrOK) {
      const TRow R(n + 2);
      Byte Raw[64];
      const Byte* B = Cursor->FCurrentRecordBuffer;
      ASSERT_TRUE(Cursor->GetFieldData(0, Raw, B));
      std::int32_t Id;
      std::memcpy(&Id, Raw, 4);
      ASSERT_EQ(Id, R.Id);
      ASSERT_TRUE(Cursor->GetFieldData(1, Raw, B));
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(Raw)), R.Contact);
      ASSERT_TRUE(Cursor->GetFieldData(2, Raw, B));
      std::int32_t DT[2];
      std::memcpy(DT, Raw, 8);
      ASSERT_EQ(DT[0], R.Date);
      ASSERT_EQ(DT[1], R.Time);
      ASSERT_TRUE(Cursor->GetFieldData(3, Raw, B));
      ASSERT_EQ(Raw[0] != 0, R.Married);
      ASSERT_TRUE(Cursor->GetFieldData(4, Raw, B));
      double Salary;
      std::memcpy(&Salary, Raw, 8);
      ASSERT_EQ(Salary, R.Salary);
      ASSERT_TRUE(Cursor->GetFieldData(5, Raw, B));
      ASSERT_EQ(std::u16string(reinterpret_cast<const char16_t*>(Raw)), R.Address);
      std::u16string Comment;
      if (!IsRecordFieldNull(B, 6)) {
        TMdbStream* S = Cursor->InternalCreateBlobStream(false, 6, bomRead);
        Comment.resize(static_cast<std::size_t>(S->Size() / 2));
        S->SetPosition(0);
        S->Read(Comment.data(), S->Size());
        Cursor->InternalCloseBLOB(6);
      }
      ASSERT_EQ(Comment, R.Comment) << "row " << n;
      ++n;
    }
    EXPECT_EQ(n, kRows);
    CloseCursor();
  }

  TMdbFieldDefs Fields;
  std::unique_ptr<TMdbLocalSession> Session;
  std::unique_ptr<TMdbLocalCursor> Cursor;
};

}  // namespace

TEST_F(MdbMainRoadTest, CreatePostSaveEmptyLoad) {
  OpenCursor();
  for (std::int32_t Id = 2; Id <= kRows + 1; ++Id) PostRow(TRow(Id));
  CloseCursor();

  // To a file, zlib mode 0; and as an all-tables stream (Int32 count, then the table stream).
  const std::filesystem::path File = std::filesystem::temp_directory_path() / "MdbMainRoadTest.dat";
  const String FileName = String(File.u16string());
  {
    TMdbFileStream F(FileName, TMdbFileStream::kCreate);
    OpenCursor();
    Cursor->SaveTableToStream(&F, acaZLIB, 0, 0, true, false);
    CloseCursor();
  }
  TMdbMemoryStream All;
  const std::int32_t Count = 1;
  All.Write(&Count, 4);
  Cursor.reset(static_cast<TMdbLocalCursor*>(Session->CreateCursor(u"Customers", false)));
  Cursor->SaveTableToStream(&All, acaZLIB, 0, 0, true, false);
  TMdbMemoryStream Again;
  Cursor->SaveTableToStream(&Again, acaZLIB, 0, 0, true, false);
  Cursor.reset();
  ASSERT_EQ(All.Size() - 4, Again.Size());
  EXPECT_EQ(std::memcmp(static_cast<const Byte*>(All.Buffer()) + 4, Again.Buffer(), static_cast<std::size_t>(Again.Size())), 0);

  // The header: "ACS5", 9.0, the record count, zlib, mode 1.
  const auto* H = static_cast<const Byte*>(Again.Buffer());
  EXPECT_EQ(std::memcmp(H, "ACS5", 4), 0);
  double Version;
  std::memcpy(&Version, H + 4, 8);
  EXPECT_EQ(Version, 9.0);
  Int64 Records;
  std::memcpy(&Records, H + 12, 8);
  EXPECT_EQ(Records, kRows);
  EXPECT_EQ(H[40], 1);
  EXPECT_EQ(H[41], 1);

  Cursor.reset(static_cast<TMdbLocalCursor*>(Session->CreateCursor(u"Customers", false)));
  Cursor->EmptyTable();
  Cursor.reset();
  OpenCursor();
  EXPECT_EQ(Cursor->GetRecordCount(), 0);
  CloseCursor();

  {
    TMdbFileStream F(FileName, 0);
    Cursor.reset(static_cast<TMdbLocalCursor*>(Session->CreateCursor(u"Customers", false)));
    Cursor->LoadTableFromStream(&F);
    Cursor.reset();
  }
  ExpectAllRows();
  std::filesystem::remove(File);

  Cursor.reset(static_cast<TMdbLocalCursor*>(Session->CreateCursor(u"Customers", false)));
  Cursor->EmptyTable();
  All.SetPosition(0);
  std::int32_t Tables = 0;
  All.Read(&Tables, 4);
  ASSERT_EQ(Tables, 1);
  Cursor->LoadTableFromStream(&All);
  Cursor.reset();
  ExpectAllRows();

  // A damaged signature is refused and the table stays as it was.
  std::vector<Byte> Bad(H, H + Again.Size());
  Bad[0] = 'X';
  TMdbMemoryStream BadStream;
  BadStream.Write(Bad.data(), static_cast<Int64>(Bad.size()));
  BadStream.SetPosition(0);
  Cursor.reset(static_cast<TMdbLocalCursor*>(Session->CreateCursor(u"Customers", false)));
  try {
    Cursor->LoadTableFromStream(&BadStream);
    ADD_FAILURE() << "a damaged signature loaded";
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 10161);
  }
  Cursor.reset();
}
