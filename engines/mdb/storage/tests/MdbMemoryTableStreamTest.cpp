#include <cmath>
#include <random>

#include "engines/mdb/runtime/MdbCompression.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/tests/MdbMemoryTableFixture.h"

namespace {

class MdbTableStreamTest : public MdbMemoryTableTest {
 protected:
  // 200 rows {ID, Qty, Note}: every third with a note, every tenth Qty NULL, rows 5 and 77 deleted.
  TMdbMemoryTableData* Filled(const char16_t* Name = u"T", int Rows = 200) {
    TMdbMemoryTableData* T = CreateStandard(Name);
    TMemCursor* C = Open(T);
    for (int i = 0; i < Rows; ++i) {
      std::u16string Note = i % 3 == 0 ? u"note " + std::u16string(static_cast<std::size_t>(i % 17 + 1), u'x') : u"";
      EXPECT_TRUE(C->Post({i, i % 10 == 0 ? -1 : i * 2}, Note, 2));
    }
    for (std::int32_t Slot : {5, 77}) {
      if (Slot >= Rows) continue;
      C->CurrentRecordID = {Slot, 0};
      C->FirstPosition = C->LastPosition = false;
      EXPECT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
      EXPECT_TRUE(C->Delete());
    }
    CloseAll();
    return T;
  }
  std::vector<std::string> RowsOf(TMdbMemoryTableData* T) {
    TMemCursor C(T, &S1);
    C.Open();
    return C.Rows();
  }
  // Loads Bytes into T through a closed cursor named like T.
  void Load(TMdbMemoryTableData* T, const std::vector<Byte>& Bytes, std::size_t Count) {
    TByteViewStream S(Bytes, static_cast<Int64>(Count));
    TMemCursor C(T, &S1);
    T->LoadTableFromStream(&C, &S);
  }
};

// Where two byte strings first differ (their common length when one is a prefix of the other).
std::size_t FirstDifference(const std::vector<Byte>& A, const std::vector<Byte>& B) {
  std::size_t i = 0;
  while (i < A.size() && i < B.size() && A[i] == B[i]) ++i;
  return i;
}

// A saved stream of a two-letter table without comment with its object-id counter blanked: a flip
// that loads may raise the database's counter, which every later save carries.
std::vector<Byte> BlankObjectId(std::vector<Byte> B) {
  std::fill(B.begin() + 78, B.begin() + 86, Byte(0));
  return B;
}

Int64 I64At(const std::vector<Byte>& B, std::size_t Off) {
  Int64 v;
  std::memcpy(&v, B.data() + Off, 8);
  return v;
}
std::int32_t I32At(const std::vector<Byte>& B, std::size_t Off) {
  std::int32_t v;
  std::memcpy(&v, B.data() + Off, 4);
  return v;
}
template <class T>
void Append(std::vector<Byte>& B, const T& v) {
  const auto* p = reinterpret_cast<const Byte*>(&v);
  B.insert(B.end(), p, p + sizeof(T));
}
void AppendWide(std::vector<Byte>& B, std::u16string_view S) {
  Append(B, static_cast<std::int32_t>(S.size() * 2));
  const auto* p = reinterpret_cast<const Byte*>(S.data());
  B.insert(B.end(), p, p + S.size() * 2);
}

}  // namespace

// The whole stream of a small table laid out by hand: header, header items, the schema sections as
// their own writers give them, the record block, record 1 with its BLOB position, its item, record 2.
TEST_F(MdbTableStreamTest, SmallUncompressedStreamHasTheDocumentedLayout) {
  TMdbFieldDefs F;
  AddField(F, u"ID", aftInteger);
  AddField(F, u"Note", aftWideMemo);
  TMdbMemoryTableData* T = Create(u"Tiny", F);
  T->FComment = u"c";
  {
    TMemCursor* C = Open(T);
    ASSERT_TRUE(C->Post({7}, u"hi", 1));
    ASSERT_TRUE(C->Post({8}));
    CloseAll();
  }
  const std::vector<Byte> Got = Save(T, acaNone, 0);

  std::vector<Byte> Want = HexBytesOf("41435335 0000000000002240");
  Append(Want, Int64(2));
  Append(Want, Int64(0));
  Append(Want, Int64(0));
  Append(Want, std::int32_t(4096));
  Want.push_back(0);
  Want.push_back(1);
  AppendWide(Want, u"Tiny");
  Append(Want, T->FCreationDate);
  const TMdbTableState St = T->GetTableState();
  const auto* sp = reinterpret_cast<const Byte*>(&St);
  Want.insert(Want.end(), sp, sp + 16);
  AppendWide(Want, u"c");
  Append(Want, Db->ObjectIdSequence().FLastValue);
  // Schema sections, from their own writers.
  {
    TMdbMemoryStream S;
    T->SaveAutoincSequencesToStream(&S);
    T->FieldManager()->SaveToStream(&S);
    T->ConstraintManager()->SaveToStream(&S);
    T->IndexManager()->SaveToStream(&S);
    const auto B = StreamBytes(S);
    EXPECT_EQ(I32At(B, 0), 0);  // no autoincrement sequences
    Want.insert(Want.end(), B.begin(), B.end());
  }
  // Record manager block: 1000 slots (the first allocation), some deleted, first 0, last 1, bitmap.
  TMdbMemoryRecordManager* M = T->MemoryRecordManager();
  Append(Want, std::int32_t(M->AllocatedRecordCount()));
  Want.push_back(0xFF);
  Append(Want, std::int32_t(0));
  Append(Want, std::int32_t(1));
  {
    TMdbMemoryStream S;
    M->SaveToStream(&S);
    const auto B = StreamBytes(S);
    Want.insert(Want.end(), B.begin() + 13, B.end());
  }
  // Record 1: null bitmap (no NULLs), ID 7, BLOB slot = the absolute position of its item.
  const std::int32_t RecSize = T->CalcRecordSize();
  ASSERT_EQ(RecSize, 1 + 4 + 8);
  const Int64 ItemPos = static_cast<Int64>(Want.size()) + RecSize;
  Want.push_back(0);
  Append(Want, std::int32_t(7));
  Append(Want, ItemPos);
  const std::uint32_t Handle = GetBlobHandle(M->SlotBuffer(0), 5);
  const Byte* Block = static_cast<const Byte*>(T->Blobs().Get(Handle));
  ASSERT_NE(Block, nullptr);
  const Int64 L = T->Blobs().Size(Handle) - 12;
  Want.insert(Want.end(), Block, Block + 12);
  Append(Want, L);
  Want.insert(Want.end(), Block + 12, Block + 12 + L);
  // Record 2: Note NULL (bit 1), ID 8, the slot as stored.
  Want.push_back(0x02);
  Append(Want, std::int32_t(8));
  const Byte* Slot2 = M->SlotBuffer(1) + 5;
  Want.insert(Want.end(), Slot2, Slot2 + 8);

  EXPECT_EQ(Got, Want);
  EXPECT_EQ(I64At(Got, static_cast<std::size_t>(ItemPos) - 8), ItemPos);
}

// Save, load, save again gives the same bytes; records keep their slots and values, deleted slots
// stay free; a loaded BLOB reads back and carries the stored marker.
TEST_F(MdbTableStreamTest, SaveLoadSaveIsByteIdentical) {
  for (TMdbCompressionAlgorithm Alg : {acaNone, acaZLIB, acaBZIP}) {
    SCOPED_TRACE(int(Alg));
    TMdbMemoryTableData* A = Filled(Alg == acaNone ? u"A0" : Alg == acaZLIB ? u"A1" : u"A2");
    const std::vector<std::string> RowsA = RowsOf(A);
    const std::vector<Byte> First = Save(A, Alg, 0);
    TMdbMemoryTableData* B = CreateStandard(Alg == acaNone ? u"B0" : Alg == acaZLIB ? u"B1" : u"B2");
    Load(B, First, First.size());
    EXPECT_EQ(B->TableName(), A->TableName());
    EXPECT_EQ(RowsOf(B), RowsA);
    EXPECT_EQ(B->InternalGetRecordCount(), 198);
    // The stream carries the database's object-id counter, which the second table's creation moved on:
    // both tables are saved again from the same database.
    const auto Second = Save(B, Alg, 0);
    const auto Again = Save(A, Alg, 0);
    EXPECT_EQ(FirstDifference(First, Again), 78u);
    EXPECT_TRUE(Second == Again) << "first difference at " << FirstDifference(Second, First) << " of " << First.size();
    TMdbMemoryRecordManager* M = B->MemoryRecordManager();
    EXPECT_TRUE(M->IsSlotDeleted(5));
    EXPECT_TRUE(M->IsSlotDeleted(77));
    EXPECT_EQ(GetBlobMarker(M->SlotBuffer(3), B->FieldDefs().GetDef(2)->FMemoryOffset), kBlobNotModified);
  }
}

TEST_F(MdbTableStreamTest, HeaderBytesTellHowTheBodyWasStored) {
  TMdbMemoryTableData* T = Filled();
  const std::vector<Byte> Z = Save(T, acaZLIB, 0);
  EXPECT_EQ(std::string(Z.begin(), Z.begin() + 4), "ACS5");
  double V;
  std::memcpy(&V, Z.data() + 4, 8);
  EXPECT_EQ(V, 9.0);
  EXPECT_EQ(I64At(Z, 12), 198);
  EXPECT_EQ(Z[40], 1);
  EXPECT_EQ(Z[41], 1);  // mode 0 is stored as 1
  const std::int32_t Packed = I32At(Z, 36);
  const Int64 BodySize = I64At(Z, 20);
  // The compressed body is the stream's tail; it inflates to exactly the stated size.
  void* Out = nullptr;
  std::int32_t OutSize = static_cast<std::int32_t>(BodySize);
  ASSERT_TRUE(DecompressBuffer(acaZLIB, Z.data() + Z.size() - Packed, Packed, Out, OutSize));
  EXPECT_EQ(OutSize, BodySize);
  FreeRuntimeBuffer(Out);

  const std::vector<Byte> P = Save(T, acaNone, 0);
  EXPECT_EQ(std::vector<Byte>(P.begin() + 20, P.begin() + 36), std::vector<Byte>(16, 0));
  EXPECT_EQ(I32At(P, 36), 4096);
  EXPECT_EQ(P[40], 0);
}

// Which versions load, and the codes of those that do not; a stream older than 5.0 has no creation
// date, state or comment.
TEST_F(MdbTableStreamTest, VersionWindow) {
  TMdbMemoryTableData* A = Filled(u"A", 20);
  A->FComment = u"kept";
  const std::vector<Byte> Saved = Save(A);
  const std::vector<std::string> Rows = RowsOf(A);
  TMdbMemoryTableData* B = CreateStandard(u"B");
  auto WithVersion = [&](double V) {
    std::vector<Byte> S = Saved;
    std::memcpy(S.data() + 4, &V, 8);
    return S;
  };
  struct {
    double Version;
    int Code;
  } const Cases[] = {{9.5, 10162}, {1.0, 10443}, {1.005, 10454}, {1.015, 10455}, {std::nan(""), 10162}};
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Version);
    const auto S = WithVersion(c.Version);
    EXPECT_EQ(NativeCodeOf([&] { Load(B, S, S.size()); }), c.Code);
    EXPECT_EQ(B->TableName(), u"B");
  }
  // 2.0 and 9.0001 are inside the window (a table without BLOBs keeps its positions valid).
  TMdbFieldDefs F;
  AddField(F, u"ID", aftInteger);
  TMdbMemoryTableData* Plain = Create(u"P", F);
  Plain->FComment = u"kept";
  {
    TMemCursor* C = Open(Plain);
    C->Post({1});
    C->Post({2});
    CloseAll();
  }
  const std::vector<Byte> PS = Save(Plain);
  for (double V : {2.0, 4.0, 9.0001}) {
    SCOPED_TRACE(V);
    std::vector<Byte> S = PS;
    std::memcpy(S.data() + 4, &V, 8);
    if (V < 5.0) S.erase(S.begin() + 42 + 4 + 2, S.begin() + 42 + 4 + 2 + 8 + 16 + 4 + 8);
    Load(B, S, S.size());
    EXPECT_EQ(B->FComment, V < 5.0 ? u"" : u"kept");
    EXPECT_EQ(RowsOf(B), RowsOf(Plain));
  }
  EXPECT_EQ(RowsOf(A), Rows);
}

TEST_F(MdbTableStreamTest, ABadSignatureNamesWhatWasRead) {
  TMdbMemoryTableData* A = Filled(u"A", 3);
  std::vector<Byte> S = Save(A);
  S[3] = '6';
  try {
    Load(A, S, S.size());
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 10161);
    EXPECT_EQ(E.Message(), u"Invalid signature = ACS6. Should be ACS5 - Native error: 10161");
  }
}

// Every cut of a saved stream, and random byte flips, into a table that holds rows of its own: a
// failed load raises the engine's error and leaves that table exactly as it was.
TEST_F(MdbTableStreamTest, DamagedStreamsLoseNothingHeld) {
  for (TMdbCompressionAlgorithm Alg : {acaNone, acaZLIB}) {
    SCOPED_TRACE(int(Alg));
    TMdbMemoryTableData* Source = Filled(Alg == acaNone ? u"S0" : u"S1");
    const std::vector<Byte> Good = Save(Source, Alg, 0);
    TMdbMemoryTableData* Target = Filled(Alg == acaNone ? u"T0" : u"T1", 30);
    const std::vector<Byte> Before = Save(Target, acaNone, 0);
    const std::size_t LiveBlobs = Target->Blobs().LiveCount() + Source->Blobs().LiveCount();
    for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
      const int Code = NativeCodeOf([&] { Load(Target, Good, Cut); });
      ASSERT_GT(Code, 0) << "cut at " << Cut;
      ASSERT_EQ(Save(Target, acaNone, 0), Before) << "cut at " << Cut;
    }
    EXPECT_EQ(Save(Target, acaNone, 0), Before);
    EXPECT_EQ(Target->Blobs().LiveCount() + Source->Blobs().LiveCount(), LiveBlobs);

    std::mt19937 Rng(12345);
    for (int Round = 0; Round < 400; ++Round) {
      std::vector<Byte> Bad = Good;
      const std::size_t At = Rng() % Bad.size();
      Bad[At] = static_cast<Byte>(Bad[At] ^ (1u << (Rng() % 8)));
      try {
        Load(Target, Bad, Bad.size());
        // Some flips land in values: what loaded must save and load again, and the table goes back.
        const auto Again = Save(Target, acaNone, 0);
        Load(Target, Again, Again.size());
        Load(Target, Before, Before.size());
      } catch (const EMdbException&) {
        ASSERT_EQ(BlankObjectId(Save(Target, acaNone, 0)), BlankObjectId(Before)) << "flip at " << At;
      }
    }
    EXPECT_EQ(BlankObjectId(Save(Target, acaNone, 0)), BlankObjectId(Before));
  }
}

// A damaged compressed body (the zlib data itself) or a body of another length than the header
// states fails with 11726 and loads nothing.
TEST_F(MdbTableStreamTest, DecompressionFailuresAreErrors) {
  TMdbMemoryTableData* Source = Filled(u"S", 40);
  const std::vector<Byte> Good = Save(Source, acaZLIB, 0);
  TMdbMemoryTableData* Target = Filled(u"T", 5);
  const auto Before = Save(Target);
  std::vector<Byte> Short = Good;
  const Int64 Body = I64At(Good, 20);
  const Int64 Less = Body - 1;
  std::memcpy(Short.data() + 20, &Less, 8);
  EXPECT_EQ(NativeCodeOf([&] { Load(Target, Short, Short.size()); }), 11726);
  std::vector<Byte> Garbled = Good;
  for (std::size_t i = Garbled.size() - 30; i < Garbled.size(); ++i) Garbled[i] = 0x55;
  EXPECT_EQ(NativeCodeOf([&] { Load(Target, Garbled, Garbled.size()); }), 11726);
  EXPECT_EQ(Save(Target), Before);
}

// A table without records writes no record block; a stream of a table with an index keeps it.
TEST_F(MdbTableStreamTest, EmptyTableAndIndexDefinitionsRoundTrip) {
  SetMdbIndexFactory([](TMdbBaseIndexManager* M) { return std::make_unique<TTestIndex>(M); });
  TMdbFieldDefs F;
  AddField(F, u"ID", aftInteger);
  TMdbIndexDefs I;
  TMdbIndexDef* D = I.AddCreated();
  D->SetName(u"ByID");
  D->SetColumnCount(1);
  D->GetIndexColumn(0).FieldName = u"ID";
  TMdbMemoryTableData* A = Create(u"A", F, &I);
  const auto S = Save(A);
  EXPECT_EQ(I64At(S, 12), 0);
  TMdbMemoryStream Schema;
  A->SaveAutoincSequencesToStream(&Schema);
  A->FieldManager()->SaveToStream(&Schema);
  A->ConstraintManager()->SaveToStream(&Schema);
  A->IndexManager()->SaveToStream(&Schema);
  EXPECT_EQ(static_cast<Int64>(S.size()), 42 + 4 + 2 + 8 + 16 + 4 + 8 + Schema.Size());
  TMdbMemoryTableData* B = CreateStandard(u"B");
  Load(B, S, S.size());
  EXPECT_EQ(B->IndexManager()->IndexDefs().Count(), 1);
  EXPECT_EQ(B->IndexManager()->IndexDefs().GetDef(0)->Name(), u"ByID");
  EXPECT_EQ(B->InternalGetRecordCount(), 0);
  EXPECT_EQ(Save(B), Save(A));
}

TEST_F(MdbTableStreamTest, LoadRaisesTheDatabaseObjectIdOnlyUpwards) {
  TMdbMemoryTableData* A = Filled(u"A", 2);
  std::vector<Byte> S = Save(A);
  const std::size_t At = 42 + 4 + 2 + 8 + 16 + 4;
  const Int64 Current = Db->ObjectIdSequence().FLastValue;
  const Int64 Low = 1, High = Current + 1000;
  std::memcpy(S.data() + At, &Low, 8);
  Load(A, S, S.size());
  EXPECT_EQ(Db->ObjectIdSequence().FLastValue, Current);
  std::memcpy(S.data() + At, &High, 8);
  Load(A, S, S.size());
  EXPECT_EQ(Db->ObjectIdSequence().FLastValue, High);
}

TEST_F(MdbTableStreamTest, NamePeekRestoresThePosition) {
  TMdbMemoryTableData* A = Filled(u"Peeked", 2);
  TMdbMemoryStream S;
  S.Write("prefix", 6);
  A->SaveTableToStream(&S, acaNone, 0, 4096, true);
  S.SetPosition(6);
  EXPECT_EQ(PeekTableNameFromStream(&S), u"Peeked");
  EXPECT_EQ(S.Position(), 6);
  S.SetPosition(S.Size() - 3);
  EXPECT_EQ(PeekTableNameFromStream(&S), u"");
  EXPECT_EQ(S.Position(), S.Size() - 3);
  // Six bytes early the header has no signature, and a version past the window is no table either:
  // neither gives a name.
  S.SetPosition(0);
  EXPECT_EQ(PeekTableNameFromStream(&S), u"");
  EXPECT_EQ(S.Position(), 0);
  const double Future = 10.0;
  S.SetPosition(6 + 4);
  S.Write(&Future, 8);
  S.SetPosition(6);
  EXPECT_EQ(PeekTableNameFromStream(&S), u"");
}

TEST_F(MdbTableStreamTest, SaveAndLoadRefuseWhileACursorHasTheTableOpen) {
  TMdbMemoryTableData* A = Filled(u"A", 2);
  const auto S = Save(A);
  Open(A);
  TMdbMemoryStream Out;
  EXPECT_EQ(NativeCodeOf([&] { A->SaveTableToStream(&Out, acaNone, 0, 4096, false); }), 10153);
  EXPECT_EQ(NativeCodeOf([&] { Load(A, S, S.size()); }), 10152);
}

// The same over a table whose B-tree index spans several pages: every cut of the stream (the index
// pages included) and flips in the index page block raise the engine's error and leave the target's
// rows and index as they were; a flip that loads leaves an index that saves and loads again.
TEST_F(MdbTableStreamTest, DamagedIndexedStreamsLoseNothingHeld) {
  auto Indexed = [&](const char16_t* Name, int Rows) {
    TMdbFieldDefs F;
    AddField(F, u"ID", aftInteger);
    AddField(F, u"Qty", aftInteger);
    TMdbIndexDefs I;
    TMdbIndexDef* D = I.AddCreated();
    D->SetName(u"ByQty");
    TMdbIndexColumn C;
    C.FieldName = u"Qty";
    D->FIndexColumns.push_back(C);
    TMdbMemoryTableData* T = Create(Name, F, &I);
    TMemCursor* Cur = Open(T);
    for (int i = 0; i < Rows; ++i) EXPECT_TRUE(Cur->Post({i, (i * 37) % 101}));
    CloseAll();
    return T;
  };
  TMdbMemoryTableData* Source = Indexed(u"S2", 400);
  const std::vector<Byte> Good = Save(Source);
  TMdbMemoryTableData* Target = Indexed(u"T2", 40);
  const std::vector<Byte> Before = Save(Target);
  ASSERT_GT(Source->GetPageManager()->GetPageCount(), 2);
  // The index pages lie between the schema and the records: whole pages of 4,096 bytes.
  const std::size_t Pages = static_cast<std::size_t>(Source->GetPageManager()->GetPageCount()) * 4096;
  for (std::size_t Cut = 0; Cut < Good.size(); Cut += Cut < 400 ? 1 : 97) {
    const int Code = NativeCodeOf([&] { Load(Target, Good, Cut); });
    ASSERT_GT(Code, 0) << "cut at " << Cut;
    ASSERT_EQ(Save(Target), Before) << "cut at " << Cut;
  }
  std::mt19937 Rng(777);
  const std::size_t Tail = Good.size() - 400 * 9;  // about where the records start
  for (int Round = 0; Round < 100; ++Round) {
    std::vector<Byte> Bad = Good;
    const std::size_t At = Tail - 1 - Rng() % std::min(Pages + 64, Tail);
    Bad[At] = static_cast<Byte>(Bad[At] ^ (1u << (Rng() % 8)));
    try {
      Load(Target, Bad, Bad.size());
      const auto Again = Save(Target);
      Load(Target, Again, Again.size());
      Load(Target, Before, Before.size());
    } catch (const EMdbException&) {
      ASSERT_EQ(BlankObjectId(Save(Target)), BlankObjectId(Before)) << "flip at " << At;
    }
  }
  EXPECT_EQ(BlankObjectId(Save(Target)), BlankObjectId(Before));
}

// Each field a load checks before it allocates or positions anything, damaged on its own: the site's
// code and a message naming the value read; the target keeps what it held.
TEST_F(MdbTableStreamTest, DamagedFieldsNameTheirSite) {
  const std::vector<Byte> Plain = Save(Filled(u"S0", 20), acaNone, 0);
  const std::vector<Byte> Packed = Save(Filled(u"S1", 20), acaZLIB, 0);
  ASSERT_EQ(I64At(Plain, 12), 19);
  // The first BLOB item stands right after its record, whose last field holds the item's position.
  std::size_t Item = 0;
  for (std::size_t p = 86 + 8; p + 8 <= Plain.size() && Item == 0; ++p)
    if (I64At(Plain, p - 8) == static_cast<Int64>(p)) Item = p;
  ASSERT_NE(Item, 0u);
  const Int64 Left = static_cast<Int64>(Packed.size()) - 86;
  const Int64 PlainSize = static_cast<Int64>(Plain.size());
  const Int64 ItemPos = static_cast<Int64>(Item);
  const Int64 ItemEnd = ItemPos + 20;
  const struct {
    const std::vector<Byte>* Source;
    std::size_t Offset;
    Int64 Value;
    std::size_t Width;
    std::string Message;
  } Cases[] = {
      {&Plain, 12, -1, 8, "Invalid table stream header: record count -1 - Native error: 10160"},
      {&Plain, 12, Int64(1) << 32, 8, "Invalid table stream header: record count 4294967296 - Native error: 10160"},
      {&Plain, 40, 9, 1, "Invalid table stream header: compression algorithm 9 - Native error: 10160"},
      {&Plain, 78, -1, 8, "Invalid table stream header: object id -1 - Native error: 10160"},
      {&Plain, 12, 20, 8, "Invalid table stream body: 20 records announced, 19 in the record block - Native error: 10201"},
      {&Plain, Item - 8, ItemPos + 1, 8,
       "Invalid table stream body: BLOB position " + std::to_string(ItemPos + 1) + ", item at " + std::to_string(ItemPos) +
           " - Native error: 10202"},
      {&Plain, Item + 12, Int64(1) << 40, 8,
       "Invalid table stream body: BLOB item of 1099511627776 bytes, " + std::to_string(PlainSize - ItemEnd) +
           " left - Native error: 10203"},
      {&Packed, 36, Left + 1, 4,
       "Invalid table stream header: compressed size " + std::to_string(Left + 1) + " with " + std::to_string(Left) +
           " bytes left - Native error: 10160"},
      {&Packed, 36, 0, 4, "Invalid table stream header: compressed size 0 with " + std::to_string(Left) +
                              " bytes left - Native error: 10160"},
      {&Packed, 20, Int64(1) << 40, 8,
       "Invalid table stream header: body size 1099511627776 for " + std::to_string(I32At(Packed, 36)) +
           " compressed bytes - Native error: 10160"},
  };
  TMdbMemoryTableData* Target = Filled(u"T0", 7);
  const std::vector<Byte> Before = Save(Target);
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Message);
    std::vector<Byte> Bad = *Case.Source;
    std::memcpy(Bad.data() + Case.Offset, &Case.Value, Case.Width);
    try {
      Load(Target, Bad, Bad.size());
      ADD_FAILURE() << "loaded";
    } catch (const EMdbException& E) {
      EXPECT_EQ(std::string(E.Message().begin(), E.Message().end()), Case.Message);
    }
    EXPECT_EQ(Save(Target), Before);
  }
}
