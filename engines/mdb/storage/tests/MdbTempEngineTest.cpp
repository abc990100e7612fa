// The temporary engine: the record manager with its spill file and record block, and temporary
// tables of "TEMP" reached through sessions and cursors: generated names, lifetime with the last
// cursor, refused edits, BLOB values in the BLOB file, indexes, and the table stream.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbTempEngine.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"
#include "platform/sys/CodePage.h"

namespace {

bool OnDisk(const String& Name) { return std::filesystem::exists(std::filesystem::path(std::u16string(Name))); }

class MdbTempEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbEngineStartup();
  }
  void TearDown() override {
    SetMdbTemporaryBlockAllocator(nullptr);
    MdbEngineShutdown();
  }
  // Blocks are refused once the manager holds Limit records.
  static void RefuseBlocksFrom(Int64 Limit) {
    SetMdbTemporaryBlockAllocator([Limit](Int64 Size, Int64 Records) -> void* {
      return Records >= Limit ? nullptr : MdbMemoryManager->GetMem(Size);
    });
  }
  static std::vector<Byte> Record(std::int32_t Size, Int64 n) {
    std::vector<Byte> R(static_cast<std::size_t>(Size));
    for (std::size_t i = 0; i < R.size(); ++i) R[i] = static_cast<Byte>((n * 31 + static_cast<Int64>(i)) & 0xFF);
    return R;
  }
  // Every record from the first position on, as GetRecordBuffer hands them out.
  static std::vector<std::vector<Byte>> ReadAll(TMdbTemporaryRecordManager& M) {
    std::vector<std::vector<Byte>> Out;
    std::vector<Byte> Buf(static_cast<std::size_t>(M.RecordBufferSize));
    TMdbNavigationInfo N;
    N.RecordBuffer = Buf.data();
    N.FirstPosition = true;
    N.GetRecordMode = grmNext;
    for (;;) {
      M.GetRecordBuffer(N);
      if (N.GetRecordResult != grrOK) break;
      Out.push_back(Buf);
    }
    return Out;
  }

  std::unique_ptr<TMdbLocalSession> Connect() {
    auto S = std::make_unique<TMdbLocalSession>();
    S->Temporary = true;
    S->FDatabaseName = S->FDatabaseFileName = "TEMP";
    S->SetConnected(true);
    return S;
  }
  struct TCursor {
    std::unique_ptr<TMdbLocalCursor> C;
    TCursor() = default;
    TCursor(TCursor&&) = default;
    ~TCursor() {
      if (C) C->FreeRecordBuffer(C->FCurrentRecordBuffer);
    }
    TMdbLocalCursor* operator->() const { return C.get(); }
  };
  TCursor NewCursor(TMdbLocalSession& S, const String& Name) {
    TCursor O;
    O.C.reset(static_cast<TMdbLocalCursor*>(S.CreateCursor(Name, false)));
    O->FTemporary = true;
    return O;
  }
  // Creates a table under a generated name through C (as the table component does) and opens it.
  void CreateAndOpen(TCursor& C, TMdbFieldDefs& Fields, TMdbIndexDefs* Indexes = nullptr) {
    C->FCreateTableStarted = true;
    C->CreateTable(&Fields, Indexes, nullptr);
    C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    C->FCreateTableStarted = false;
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
  }
  static void Post(TMdbLocalCursor* C, std::int32_t Id) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    C->SetFieldData(0, &Id, C->FCurrentRecordBuffer);
    C->InternalPost(true);
    ASSERT_EQ(C->FErrorCode, 0) << C->FErrorMessage.size();
  }
  static std::int32_t IdOf(TMdbLocalCursor* C) {
    std::int32_t v = -1;
    C->GetFieldData(0, &v, C->FCurrentRecordBuffer);
    return v;
  }
  static TMdbFieldDef* AddField(TMdbFieldDefs& Defs, const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
    TMdbFieldDef* F = Defs.AddCreated();
    F->SetName(Name);
    F->SetFieldDefDataType(Type, Size);
    return F;
  }
  TMdbDatabaseData* Temp() const { return MdbTemporaryDatabase(); }
};

}  // namespace

// Navigation from either end and from a record, on an empty table and on three records; 48-bit ids.
TEST_F(MdbTempEngineTest, RecordManagerNavigationAndRecordIds) {
  EXPECT_EQ(NativeCodeOf([] { TMdbTemporaryRecordManager M(0, 10, 1000); }), 10124);
  TMdbTemporaryRecordManager M(8, 0, 0);
  EXPECT_EQ(M.RecordsPerPage(), 1);
  EXPECT_EQ(M.AllocRecordsBy(), 1);
  EXPECT_TRUE(ReadAll(M).empty());
  TMdbTemporaryRecordManager Three(8, 10, 2);
  for (Int64 n = 0; n < 3; ++n) {
    TMdbRecordID Id;
    ASSERT_TRUE(Three.AddRecord(Record(8, n).data(), Id, -1));
    EXPECT_EQ(TMdbTemporaryRecordManager::RecordNo(Id), n);
  }
  const auto All = ReadAll(Three);
  ASSERT_EQ(All.size(), 3u);
  for (Int64 n = 0; n < 3; ++n) EXPECT_EQ(All[static_cast<std::size_t>(n)], Record(8, n));
  struct TCase {
    bool First, Last;
    TMdbGetRecordMode Mode;
    Int64 From;
    TMdbGetRecordResult Result;
    Int64 To;
  } Cases[] = {
      {true, false, grmPrior, 0, grrBOF, 0},    {true, false, grmCurrent, 0, grrError, 0},
      {false, true, grmNext, 0, grrEOF, 0},     {false, true, grmPrior, 0, grrOK, 2},
      {false, true, grmCurrent, 0, grrError, 0}, {false, false, grmNext, 2, grrEOF, 2},
      {false, false, grmPrior, 0, grrBOF, 0},   {false, false, grmPrior, 2, grrOK, 1},
      {false, false, grmCurrent, 3, grrError, 3}, {false, false, grmCurrent, 1, grrOK, 1},
  };
  std::vector<Byte> Buf(8);
  for (const TCase& C : Cases) {
    TMdbNavigationInfo N;
    N.RecordBuffer = Buf.data();
    N.FirstPosition = C.First;
    N.LastPosition = C.Last;
    N.GetRecordMode = C.Mode;
    N.RecordID = TMdbTemporaryRecordManager::RecordIDOf(C.From);
    Three.GetRecordBuffer(N);
    EXPECT_EQ(N.GetRecordResult, C.Result) << int(C.Mode) << " from " << C.From;
    if (C.Result == grrOK) {
      EXPECT_EQ(TMdbTemporaryRecordManager::RecordNo(N.RecordID), C.To);
      EXPECT_EQ(Buf, Record(8, C.To));
    }
  }
  EXPECT_EQ(Three.GetApproximateRecNo(TMdbTemporaryRecordManager::RecordIDOf(2), -1), 3);
  EXPECT_EQ(Three.GetApproximateRecNo(TMdbTemporaryRecordManager::RecordIDOf(3), -1), -1);

  // The id carries 48 bits: the low 32 in PageNo, the high 16 in PageItemNo, compared as numbers.
  const Int64 Big = 0x0000BEEF80000001LL;
  const TMdbRecordID Id = TMdbTemporaryRecordManager::RecordIDOf(Big);
  EXPECT_EQ(std::uint32_t(Id.PageNo), 0x80000001u);
  EXPECT_EQ(Id.PageItemNo, 0xBEEF);
  EXPECT_EQ(TMdbTemporaryRecordManager::RecordNo(Id), Big);
  TMdbTemporaryTableData T(nullptr, 10, 1000);
  EXPECT_EQ(T.CompareRecordID(Id, TMdbTemporaryRecordManager::RecordIDOf(Big - 1)), 1);
  EXPECT_EQ(T.CompareRecordID(TMdbTemporaryRecordManager::RecordIDOf(5), Id), -1);
  EXPECT_EQ(T.CompareRecordID(Id, Id), 0);
  EXPECT_EQ(T.Int64ToRecordID(T.RecordIDToInt64(Id)), Id);
}

// With blocks refused after 2,500 records: three blocks hold records 0..2,999, the rest spill to a
// temporary file; all read back in order, survive a record block round trip (the load spilling too)
// and the file goes from disk when the manager is emptied.
TEST_F(MdbTempEngineTest, AllocationFailureSpillsAndReadsBack) {
  RefuseBlocksFrom(2500);
  constexpr std::int32_t Size = 24;
  constexpr Int64 Count = 4200;
  TMdbTemporaryRecordManager M(Size, 10, 1000);
  for (Int64 n = 0; n < Count; ++n) {
    TMdbRecordID Id;
    ASSERT_TRUE(M.AddRecord(Record(Size, n).data(), Id, -1));
  }
  EXPECT_EQ(M.BlockCount(), 3u);
  EXPECT_EQ(M.CachedRecordCount(), 3000);
  EXPECT_EQ(M.TempPageRecordCount(), Count - 3000);
  ASSERT_NE(M.TempPageFile(), nullptr);
  const String File = M.TempPageFile()->TempFileName();
  EXPECT_TRUE(OnDisk(File));
  auto All = ReadAll(M);
  ASSERT_EQ(All.size(), std::size_t(Count));
  for (Int64 n = 0; n < Count; n += 97) EXPECT_EQ(All[std::size_t(n)], Record(Size, n)) << n;
  EXPECT_EQ(All.back(), Record(Size, Count - 1));

  TMdbMemoryStream S;
  M.SaveToStream(&S);
  EXPECT_EQ(S.Size(), 24 + Count * Size);
  // The loading manager gets two blocks only: the rest goes to a spill file of its own.
  RefuseBlocksFrom(1500);
  TMdbTemporaryRecordManager L(Size, 10, 1000);
  S.SetPosition(0);
  L.LoadFromStream(&S);
  EXPECT_EQ(S.Position(), S.Size());
  EXPECT_EQ(L.BlockCount(), 2u);
  EXPECT_EQ(L.TempPageRecordCount(), Count - 2000);
  EXPECT_EQ(ReadAll(L), All);
  // Records added after a load keep spilling, in order.
  TMdbRecordID Id;
  ASSERT_TRUE(L.AddRecord(Record(Size, Count).data(), Id, -1));
  EXPECT_EQ(TMdbTemporaryRecordManager::RecordNo(Id), Count);
  std::vector<Byte> Buf(Size);
  ASSERT_TRUE(L.ReadRecord(Count, Buf.data()));
  EXPECT_EQ(Buf, Record(Size, Count));

  M.Empty(-1);
  EXPECT_FALSE(OnDisk(File));
  EXPECT_EQ(M.GetRecordCount(), 0);
  EXPECT_TRUE(ReadAll(M).empty());
}

// A record block that does not fit the manager, or is cut short, raises its field's code and leaves
// the manager's records as they were.
TEST_F(MdbTempEngineTest, RecordBlockRefusesBadInput) {
  TMdbTemporaryRecordManager Source(16, 10, 4);
  for (Int64 n = 0; n < 10; ++n) {
    TMdbRecordID Id;
    ASSERT_TRUE(Source.AddRecord(Record(16, n).data(), Id, -1));
  }
  TMdbMemoryStream S;
  Source.SaveToStream(&S);
  const std::vector<Byte> Good = StreamBytes(S);
  ASSERT_EQ(Good.size(), 24u + 160u);
  auto With = [&](std::size_t At, const void* Value, std::size_t n) {
    std::vector<Byte> B = Good;
    std::memcpy(B.data() + At, Value, n);
    return B;
  };
  const std::int32_t OtherSize = 12, NoRecordsPerBlock = 0;
  const Int64 TooMany = 11, Negative = -1;
  struct TCase {
    const char* Name;
    std::vector<Byte> Bytes;
    int Code;
  } Cases[] = {
      {"record size not the table's", With(0, &OtherSize, 4), 11217},
      {"0 records per block", With(20, &NoRecordsPerBlock, 4), 11224},
      {"more records than bytes", With(4, &TooMany, 8), 11218},
      {"negative count", With(4, &Negative, 8), 11218},
      {"cut in the size", std::vector<Byte>(Good.begin(), Good.begin() + 2), 11217},
      {"cut in the count", std::vector<Byte>(Good.begin(), Good.begin() + 9), 11218},
      {"cut in records per page", std::vector<Byte>(Good.begin(), Good.begin() + 13), 11219},
      {"cut in the page size", std::vector<Byte>(Good.begin(), Good.begin() + 17), 11220},
      {"cut in records per block", std::vector<Byte>(Good.begin(), Good.begin() + 21), 11224},
  };
  TMdbTemporaryRecordManager Target(16, 10, 4);
  TMdbRecordID Id;
  ASSERT_TRUE(Target.AddRecord(Record(16, 99).data(), Id, -1));
  for (const TCase& C : Cases) {
    TMdbMemoryStream In;
    FillStream(In, C.Bytes, C.Bytes.size());
    EXPECT_EQ(NativeCodeOf([&] { Target.LoadFromStream(&In); }), C.Code) << C.Name;
    const auto Left = ReadAll(Target);
    ASSERT_EQ(Left.size(), 1u) << C.Name;
    EXPECT_EQ(Left[0], Record(16, 99)) << C.Name;
  }
  TMdbMemoryStream In;
  FillStream(In, Good, Good.size());
  Target.LoadFromStream(&In);
  EXPECT_EQ(ReadAll(Target), ReadAll(Source));
}

// Tables of "TEMP" through sessions and cursors: generated names, deletion with the last cursor,
// refused edits, record numbers, and the refusals at creation.
TEST_F(MdbTempEngineTest, TablesLiveWithTheirCursorsUnderGeneratedNames) {
  auto S = Connect();
  EXPECT_EQ(S->SessionID, 0);
  TMdbFieldDefs Fields;
  AddField(Fields, u"ID", aftInteger);
  TCursor A = NewCursor(*S, u"Result");
  TCursor B = NewCursor(*S, u"Result");
  CreateAndOpen(A, Fields);
  CreateAndOpen(B, Fields);
  const String NameA = A->FTableName, NameB = B->FTableName;
  EXPECT_NE(NameA, NameB);
  EXPECT_EQ(NameA.rfind(u"TEMPORARY_TABLE_", 0), 0u);
  EXPECT_TRUE(A->IsTemporaryTable());
  EXPECT_FALSE(A->IsMemoryTable());
  EXPECT_FALSE(Temp()->TableExists(S.get(), u"Result"));

  for (std::int32_t i = 0; i < 3; ++i) Post(A.C.get(), 10 + i);
  EXPECT_EQ(A->GetRecordCount(), 3);
  A->InternalFirst();
  std::vector<std::int32_t> Seen;
  while (A->GetRecordBuffer(grmNext) == grrOK) Seen.push_back(IdOf(A.C.get()));
  EXPECT_EQ(Seen, (std::vector<std::int32_t>{10, 11, 12}));
  // Record numbers at or below 1 name the first record.
  for (Int64 RecNo : {0, 1}) {
    A->SetRecNo(3);
    A->TableData()->InternalSetRecNo(A.C.get(), RecNo);
    ASSERT_EQ(A->GetRecordBuffer(grmCurrent), grrOK);
    EXPECT_EQ(IdOf(A.C.get()), 10) << RecNo;
    EXPECT_EQ(A->GetRecNo(), 1);
  }
  A->SetRecNo(3);
  ASSERT_EQ(A->GetRecordBuffer(grmCurrent), grrOK);
  EXPECT_EQ(IdOf(A.C.get()), 12);
  // Records are only appended.
  A->InternalEdit();
  EXPECT_EQ(A->FErrorCode, -9);
  A->InternalDelete();
  EXPECT_EQ(A->FErrorCode, -10);
  A->InternalCancel(false);
  EXPECT_EQ(A->FErrorCode, -11);
  EXPECT_EQ(A->GetRecordCount(), 3);
  EXPECT_EQ(NativeCodeOf([&] { A->DeleteVisibleRecords(); }), 11301);

  // A second cursor on A's table keeps it while A closes; the last close deletes it.
  TCursor A2 = NewCursor(*S, NameA);
  A2->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  A->CloseTable();
  EXPECT_TRUE(Temp()->TableExists(S.get(), NameA));
  A2->CloseTable();
  EXPECT_FALSE(Temp()->TableExists(S.get(), NameA));
  TCursor Again = NewCursor(*S, NameA);
  EXPECT_EQ(Temp()->FindTableData(Again.C.get()), nullptr);
  EXPECT_EQ(NativeCodeOf([&] { Again->OpenTableByFieldDefs(nullptr, nullptr, nullptr); }), 12434);
  // The cursor that creates a table does not delete it by closing.
  B->FCreateTableStarted = true;
  B->CloseTable();
  EXPECT_TRUE(Temp()->TableExists(S.get(), NameB));
  B->FCreateTableStarted = false;
  B->DeleteTable(true);
  EXPECT_FALSE(Temp()->TableExists(S.get(), NameB));

  TMdbFieldDefs NoFields;
  TCursor C = NewCursor(*S, u"X");
  EXPECT_EQ(NativeCodeOf([&] { C->CreateTable(&NoFields, nullptr, nullptr); }), 10132);
  TMdbConstraintDefs WithFK;
  WithFK.AddFK()->SetName(u"FK1");
  EXPECT_EQ(NativeCodeOf([&] { C->CreateTable(&Fields, nullptr, &WithFK); }), 11426);
  EXPECT_EQ(Temp()->TableDataCount(), 0);
}

// BLOB values go to the BLOB file, each write appending one; an empty value is NULL. An index orders
// the records; a saved table loads under a new name with its records, order, index and values.
TEST_F(MdbTempEngineTest, BlobFileIndexesAndTheTableStream) {
  auto S = Connect();
  TMdbFieldDefs Fields;
  AddField(Fields, u"ID", aftInteger);
  AddField(Fields, u"Note", aftWideMemo);
  TMdbIndexDefs Indexes;
  TMdbIndexDef* D = Indexes.AddCreated();
  D->SetName(u"ByID");
  TMdbIndexColumn Col;
  Col.FieldName = u"ID";
  D->FIndexColumns.push_back(Col);
  TCursor C = NewCursor(*S, u"R");
  CreateAndOpen(C, Fields, &Indexes);
  auto* T = static_cast<TMdbTemporaryTableData*>(C->TableData());
  ASSERT_NE(T->BLOBFile(), nullptr);
  auto WriteNote = [&](const std::string& Text) {
    TMdbStream* B = C->InternalCreateBlobStream(false, 1, bomWrite);
    if (!Text.empty()) B->Write(Text.data(), Int64(Text.size()));
    B->SetModified(true);
    C->InternalCloseBLOB(1);
  };
  auto ReadNote = [&]() -> std::string {
    if (IsRecordFieldNull(C->FCurrentRecordBuffer, 1)) return "<null>";
    TMdbStream* B = C->InternalCreateBlobStream(false, 1, bomRead);
    std::string Out(static_cast<std::size_t>(B->Size()), '\0');
    B->SetPosition(0);
    B->Read(Out.data(), Int64(Out.size()));
    C->InternalCloseBLOB(1);
    return Out;
  };
  const std::int32_t Ids[] = {5, 3, 9, 1};
  for (std::int32_t Id : Ids) {
    C->InternalInitRecord(C->FCurrentRecordBuffer, true);
    C->SetFieldData(0, &Id, C->FCurrentRecordBuffer);
    if (Id == 5) {
      // Written, replaced and written again: three values in the file, the record names the last.
      WriteNote("first");
      WriteNote("second value");
      WriteNote(std::string(300000, 'z'));
    } else if (Id == 9) {
      WriteNote("");
    } else {
      WriteNote("note " + std::to_string(Id));
    }
    C->InternalPost(true);
    ASSERT_EQ(C->FErrorCode, 0);
  }
  const Int64 FileSize = T->BLOBFile()->Size();
  EXPECT_GT(FileSize, 3 * kMdbTemporaryBLOBHeaderSize + 17);
  auto Notes = [&](TMdbLocalCursor* Cur) {
    std::vector<std::pair<std::int32_t, std::string>> Out;
    Cur->InternalFirst();
    while (Cur->GetRecordBuffer(grmNext) == grrOK) Out.emplace_back(IdOf(Cur), ReadNote());
    return Out;
  };
  const std::vector<std::pair<std::int32_t, std::string>> Physical = {
      {5, std::string(300000, 'z')}, {3, "note 3"}, {9, "<null>"}, {1, "note 1"}};
  EXPECT_EQ(Notes(C.C.get()), Physical);
  C->SetIndexName(u"ByID");
  const auto ByID = Notes(C.C.get());
  ASSERT_EQ(ByID.size(), 4u);
  EXPECT_EQ(ByID[0].first, 1);
  EXPECT_EQ(ByID[1].first, 3);
  EXPECT_EQ(ByID[2].first, 5);
  EXPECT_EQ(ByID[3].first, 9);
  EXPECT_EQ(ByID[2].second, std::string(300000, 'z'));

  TMdbMemoryStream Saved;
  C->SaveTableToStream(&Saved, acaNone, 0, 0, true, true);
  EXPECT_EQ(Saved.Position(), Saved.Size());
  const String OldName = C->FTableName;
  TCursor L = NewCursor(*S, u"R");
  Saved.SetPosition(0);
  L->LoadTableFromStream(&Saved);
  EXPECT_NE(L->FTableName, OldName);
  EXPECT_EQ(L->FTableName.rfind(u"TEMPORARY_TABLE_", 0), 0u);
  ASSERT_TRUE(Temp()->TableExists(S.get(), L->FTableName));
  L->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  L->FCurrentRecordBuffer = L->AllocateRecordBuffer();
  std::swap(C.C, L.C);  // ReadNote reads through C
  EXPECT_EQ(Notes(C.C.get()), Physical);
  C->SetIndexName(u"ByID");
  EXPECT_EQ(Notes(C.C.get()), ByID);
  EXPECT_EQ(static_cast<TMdbTemporaryTableData*>(C->TableData())->BLOBFile()->Size(), FileSize);
  // A stream cut anywhere in its BLOB size or values is refused and leaves nothing registered.
  const Int64 Tables = Temp()->TableDataCount();
  const std::vector<Byte> Bytes = StreamBytes(Saved);
  for (std::size_t Cut : {Bytes.size() - 1, Bytes.size() - std::size_t(FileSize) - 3}) {
    TMdbMemoryStream Short;
    FillStream(Short, Bytes, Cut);
    TCursor X = NewCursor(*S, u"R");
    EXPECT_EQ(NativeCodeOf([&] { X->LoadTableFromStream(&Short); }), 11195) << Cut;
    EXPECT_EQ(Temp()->TableDataCount(), Tables);
  }
  // The last cursors' closes delete both tables.
  C->CloseTable();
  L->CloseTable();
  EXPECT_EQ(Temp()->TableDataCount(), 0);
}
