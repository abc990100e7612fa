// The table search over real B-tree indexes: every scan (full, the cursor's own index, an index
// while the cursor shows physical order, an index while the cursor shows another one) against the
// answer read off the records in the cursor's order, forwards, backwards and continued; record
// bitmaps in the cursor's order; contradictions answered without a record read; Locate and FindKey.
#include <algorithm>
#include <functional>
#include <optional>

#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"
#include "engines/mdb/storage/tests/MdbTableFixture.h"

namespace {

class TSearchTable : public TTestTableData {
 public:
  explicit TSearchTable(TMdbDatabaseData* Db) : TTestTableData(Db) {
    FPages = std::make_unique<TMdbMemoryPageManager>();
    FCache = std::make_unique<TMdbTableCache>(FPages.get(), nullptr, -1);
  }
  ~TSearchTable() override {
    FIndexManager.reset();
    FCache.reset();
  }
  TMdbPageManager* GetPageManager() override { return FPages.get(); }
  bool InsertRecord(TMdbCursor*& Cursor) override {
    const bool R = TTestTableData::InsertRecord(Cursor);
    ApplyChanges(GetTableState().TableState, dbstNone, 0);
    return R;
  }
  std::int32_t CompareRecordID(const TMdbRecordID& A, const TMdbRecordID& B) override {
    return A.PageNo == B.PageNo ? 0 : (A.PageNo > B.PageNo ? 1 : -1);
  }
  // The search of the table data itself, not the fixture's visibility stand-in.
  bool IsRecordVisible(TMdbCursor* Cursor) override { return TMdbTableData::IsRecordVisible(Cursor); }

 private:
  std::unique_ptr<TMdbMemoryPageManager> FPages;
};

// An expression that holds when one Int32 field equals a value (or, with Odd, when it is odd); it
// counts the records it is asked about.
class TFieldExpression : public TMdbExpression {
 public:
  TFieldExpression(std::int32_t Offset, std::function<bool(std::int32_t)> Test) : FOffset(Offset), FTest(std::move(Test)) {}
  void ExtractIndexScanConditions(TMdbIndexDefs*, TMdbScanSearchConditionArray*, TList*) override {}
  void AddNode(TMdbExpressionNode*) override {}
  void ParseForFilter(TMdbCursor*, const String&, bool, bool) override {}
  void ParseForLocate(TMdbCursor*, const String&, const Variant&, bool, bool) override {}
  void AssignCursor(TMdbCursor*) override {}
  void AssignCursorBuffer(const Byte* Buffer) override { FBuffer = Buffer; }
  bool GetResult() override {
    ++Reads;
    std::int32_t v;
    std::memcpy(&v, FBuffer + FOffset, 4);
    return FTest(v);
  }
  bool IsEmpty() override { return false; }
  bool IsIncompatible() override { return Incompatible; }
  void PrepareForeignKeyCheck(TMdbCursor*, TMdbCursor*, TMdbIndexDef*, TMdbConstraintDef*) override {}
  void PrepareForeignKeyActionFilter(TMdbCursor*, TMdbCursor*, TMdbIndexDef*, TMdbConstraintDef*) override {}

  int Reads = 0;
  bool Incompatible = false;

 private:
  std::int32_t FOffset;
  std::function<bool(std::int32_t)> FTest;
  const Byte* FBuffer = nullptr;
};

constexpr std::int32_t kRows = 240;

// {K Int32, V Int32}: K = i mod 40 (six records per key), V = (i * 7) mod kRows (unique); indexes ByK
// and ByV (unique).
class MdbFindRecordTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    for (const char16_t* Name : {u"K", u"V"}) {
      TMdbFieldDef* F = Fields.AddCreated();
      F->SetName(Name);
      F->SetFieldDefDataType(aftInteger, 0);
    }
    for (const char16_t* Name : {u"K", u"V"}) {
      TMdbIndexDef* D = Indexes.AddCreated();
      D->SetName(String(u"By") + Name);
      TMdbIndexColumn C;
      C.FieldName = Name;
      D->FIndexColumns.push_back(C);
      D->FUnique = Name[0] == u'V';
    }
    Table = std::make_unique<TSearchTable>(&Db);
    Table->SetTableName(u"T");
    Table->CreateTable(nullptr, Fields, Indexes, Constraints);
    Cursor = std::make_unique<TTestCursor>(Table.get(), &Session);
    for (std::int32_t i = 0; i < kRows; ++i) {
      Put(Cursor->FCurrentRecordBuffer, i % 40, (i * 7) % kRows);
      ASSERT_TRUE(Cursor->Insert());
    }
  }
  void TearDown() override {
    Cursor.reset();
    Table.reset();
    MdbStorageTest::TearDown();
  }
  std::int32_t Offset(int Field) const { return Table->FieldDefs().GetDef(Field)->FMemoryOffset; }
  std::int32_t IndexID(int i) const { return Table->IndexManager()->IndexDefs().GetDef(i)->ObjectID(); }
  void Put(Byte* R, std::int32_t K, std::int32_t V) {
    std::memset(R, 0, static_cast<std::size_t>(Table->CalcRecordSize()));
    std::memcpy(R + Offset(0), &K, 4);
    std::memcpy(R + Offset(1), &V, 4);
  }
  std::int32_t Get(const Byte* R, int Field) const {
    std::int32_t v;
    std::memcpy(&v, R + Offset(Field), 4);
    return v;
  }
  // Every record in the cursor's order: (record id, K, V).
  struct TRow {
    std::int32_t Id, K, V;
  };
  std::vector<TRow> InOrder(std::int32_t CursorIndex) {
    std::vector<TRow> Out;
    std::vector<Byte> Buf(static_cast<std::size_t>(Table->CalcRecordSize()));
    TMdbNavigationInfo N;
    N.IndexID = CursorIndex;
    N.RecordBuffer = Buf.data();
    N.FirstPosition = true;
    N.GetRecordMode = grmNext;
    for (;;) {
      Table->InternalGetRecordBuffer(Session.SessionID, N);
      if (N.GetRecordResult != grrOK) break;
      Out.push_back({N.RecordID.PageNo, Get(Buf.data(), 0), Get(Buf.data(), 1)});
    }
    return Out;
  }

  TMdbDatabaseData Db;
  TTestSession Session{1};
  TMdbFieldDefs Fields;
  TMdbIndexDefs Indexes;
  TMdbConstraintDefs Constraints;
  std::unique_ptr<TSearchTable> Table;
  std::unique_ptr<TTestCursor> Cursor;
};

}  // namespace

// Each search against the records read in the cursor's order: the first match from either end, the
// next match after (before) a record in the middle, and the bitmap of all matches in that order.
TEST_F(MdbFindRecordTest, EveryScanFindsWhatTheCursorsOrderSays) {
  struct TCase {
    const char* Name;
    int KeyIndex;  // -1: no key condition; else the index (0 ByK, 1 ByV) it is on
    TMdbSearchCondition Op;
    std::int32_t Key;
    std::function<bool(std::int32_t, std::int32_t)> Expr;  // nil: none; else on (K, V)
    std::function<bool(std::int32_t, std::int32_t)> Holds;
  };
  const std::vector<TCase> Cases = {
      {"K = 7", 0, scEqual, 7, nullptr, [](int K, int) { return K == 7; }},
      {"K < 5", 0, scLower, 5, nullptr, [](int K, int) { return K < 5; }},
      {"K >= 33", 0, scGreaterEqual, 33, nullptr, [](int K, int) { return K >= 33; }},
      {"V = 77", 1, scEqual, 77, nullptr, [](int, int V) { return V == 77; }},
      {"V > 200 and K odd", 1, scGreater, 200, [](int K, int) { return K % 2 == 1; },
       [](int K, int V) { return V > 200 && K % 2 == 1; }},
      {"K <= 3 and V even", 0, scLowerEqual, 3, [](int, int V) { return V % 2 == 0; },
       [](int K, int V) { return K <= 3 && V % 2 == 0; }},
      {"K = 41 (no record)", 0, scEqual, 41, nullptr, [](int, int) { return false; }},
      {"V odd (full scan)", -1, scNone, 0, [](int, int V) { return V % 2 == 1; }, [](int, int V) { return V % 2 == 1; }},
  };
  for (std::int32_t CursorIndex : {-1, IndexID(0), IndexID(1)}) {
    const std::vector<TRow> Order = InOrder(CursorIndex);
    ASSERT_EQ(Order.size(), static_cast<std::size_t>(kRows));
    for (const TCase& C : Cases) {
      SCOPED_TRACE(std::string(C.Name) + " cursor index " + std::to_string(CursorIndex));
      Cursor->FIndexID = CursorIndex;
      std::vector<Byte> Key(static_cast<std::size_t>(Table->CalcRecordSize()));
      Put(Key.data(), C.Key, C.Key);
      TMdbScanSearchCondition KC;
      KC.Condition = C.Op;
      KC.KeyRecordBuffer = Key.data();
      KC.KeyFieldCount = 1;
      KC.IndexID = C.KeyIndex < 0 ? -1 : IndexID(C.KeyIndex);
      // The expression reads both fields through the record it is pointed at.
      struct TPair : TFieldExpression {
        TPair(std::int32_t OK, std::int32_t OV, std::function<bool(std::int32_t, std::int32_t)> F)
            : TFieldExpression(OK, nullptr), FOK(OK), FOV(OV), FF(std::move(F)) {}
        void AssignCursorBuffer(const Byte* B) override { FB = B; }
        bool GetResult() override {
          std::int32_t k, v;
          std::memcpy(&k, FB + FOK, 4);
          std::memcpy(&v, FB + FOV, 4);
          return FF(k, v);
        }
        std::int32_t FOK, FOV;
        std::function<bool(std::int32_t, std::int32_t)> FF;
        const Byte* FB = nullptr;
      };
      std::optional<TPair> Expr;
      if (C.Expr) Expr.emplace(Offset(0), Offset(1), C.Expr);
      TMdbBaseExpression* X = Expr ? &*Expr : nullptr;
      TMdbScanSearchCondition* KP = C.KeyIndex < 0 ? nullptr : &KC;
      std::vector<std::int32_t> Matches;
      for (const TRow& R : Order)
        if (C.Holds(R.K, R.V)) Matches.push_back(R.Id);

      for (bool Forward : {true, false}) {
        TMdbRecordID Got;
        const bool Found = Table->FindRecord(Cursor.get(), X, KP, true, Forward, Got, nullptr, false, false);
        ASSERT_EQ(Found, !Matches.empty()) << Forward;
        if (Found) {
          EXPECT_EQ(Got.PageNo, Forward ? Matches.front() : Matches.back()) << Forward;
        }
        // Continued from the record in the middle of the cursor's order.
        const std::size_t Mid = Order.size() / 2;
        Cursor->CurrentRecordID = {Order[Mid].Id, 0};
        Put(Cursor->FCurrentRecordBuffer, Order[Mid].K, Order[Mid].V);
        std::optional<std::int32_t> Want;
        if (Forward) {
          for (std::size_t i = Mid + 1; i < Order.size() && !Want; ++i)
            if (C.Holds(Order[i].K, Order[i].V)) Want = Order[i].Id;
        } else {
          for (std::size_t i = Mid; i-- > 0 && !Want;)
            if (C.Holds(Order[i].K, Order[i].V)) Want = Order[i].Id;
        }
        const bool Next = Table->FindRecord(Cursor.get(), X, KP, false, Forward, Got, nullptr, false, false);
        ASSERT_EQ(Next, Want.has_value()) << "continued " << Forward;
        if (Next) {
          EXPECT_EQ(Got.PageNo, *Want) << "continued " << Forward;
        }
      }
      TMdbRecordBitmap B(Table.get());
      TMdbRecordID Unused;
      EXPECT_FALSE(Table->FindRecord(Cursor.get(), X, KP, true, true, Unused, &B, false, false));
      std::vector<std::int32_t> Shown;
      for (std::int32_t i = 0; i < B.VisibleRecords().ItemCount; ++i) {
        const std::int32_t Id = B.VisibleRecords().Items[static_cast<std::size_t>(i)].PageNo;
        Shown.push_back(Id);
      }
      if (C.KeyIndex < 0 || CursorIndex == -1 || IndexID(C.KeyIndex) != CursorIndex || C.Op != scEqual) {
        EXPECT_EQ(Shown, Matches);
      } else {
        // Equal keys may come in any order the index keeps them in.
        std::sort(Shown.begin(), Shown.end());
        std::vector<std::int32_t> Sorted = Matches;
        std::sort(Sorted.begin(), Sorted.end());
        EXPECT_EQ(Shown, Sorted);
      }
    }
  }
}

// Conditions that contradict each other, or an equality no field can hold, answer False before any
// record is read; a cursor's range narrows the key condition.
TEST_F(MdbFindRecordTest, ContradictionsReadNothingAndRangesNarrow) {
  TFieldExpression E(Offset(1), [](std::int32_t) { return true; });
  std::vector<Byte> Low(static_cast<std::size_t>(Table->CalcRecordSize())), High = Low;
  Put(Low.data(), 3, 3);
  Put(High.data(), 5, 5);
  struct TCase {
    TMdbSearchCondition Key;     // on ByK, key 5
    TMdbSearchCondition RangeEnd;  // the cursor's range end on ByK, key 3
    bool Incompatible;
    bool Any;
  } Cases[] = {
      {scGreater, scLower, false, false},
      {scEqual, scLowerEqual, false, false},
      {scLower, scLowerEqual, false, true},
      {scLower, scLowerEqual, true, false},
  };
  Cursor->FIndexID = IndexID(0);
  for (const auto& C : Cases) {
    E.Reads = 0;
    E.Incompatible = C.Incompatible;
    TMdbScanSearchCondition KC;
    KC.Condition = C.Key;
    KC.KeyRecordBuffer = High.data();
    KC.KeyFieldCount = 1;
    KC.IndexID = IndexID(0);
    Cursor->FRangeEndBuffer = Low.data();
    Cursor->FRangeEndKeyFieldCount = 1;
    Cursor->FRangeEndExclusive = C.RangeEnd == scLower;
    TMdbRecordID Got;
    const bool Found = Table->FindRecord(Cursor.get(), &E, &KC, true, true, Got, nullptr, false, false);
    EXPECT_EQ(Found, C.Any);
    if (!C.Any) {
      EXPECT_EQ(E.Reads, 0);
    }
    if (Found) {
      std::vector<Byte> R(static_cast<std::size_t>(Table->CalcRecordSize()));
      TMdbNavigationInfo N;
      N.RecordID = Got;
      N.IndexID = -1;
      N.RecordBuffer = R.data();
      Table->InternalGetRecordBuffer(Session.SessionID, N);
      EXPECT_LE(Get(R.data(), 0), 3);
    }
  }
  Cursor->FRangeEndBuffer = nullptr;
}

// The record bitmap of a range and a filter, visibility of single records, and FindKey / Locate.
TEST_F(MdbFindRecordTest, BitmapVisibilityFindKeyAndLocate) {
  std::vector<Byte> From(static_cast<std::size_t>(Table->CalcRecordSize())), To = From;
  Put(From.data(), 10, 10);
  Put(To.data(), 12, 12);
  TFieldExpression Even(Offset(1), [](std::int32_t V) { return V % 2 == 0; });
  Cursor->FIndexID = IndexID(0);
  Cursor->FRangeStartBuffer = From.data();
  Cursor->FRangeStartKeyFieldCount = 1;
  Cursor->FRangeEndBuffer = To.data();
  Cursor->FRangeEndKeyFieldCount = 1;
  Cursor->FRangeEndExclusive = true;
  Cursor->FFilterExpression = &Even;
  Table->BuildRecordBitmap(Cursor.get());
  ASSERT_TRUE(Cursor->FRecordBitmap && Cursor->FRecordBitmap->Active());
  std::int32_t Expected = 0;
  for (std::int32_t i = 0; i < kRows; ++i) Expected += (i % 40 == 10 || i % 40 == 11) && ((i * 7) % kRows) % 2 == 0;
  EXPECT_EQ(Cursor->FRecordBitmap->GetRecordCount(), Expected);
  // Visibility of one record: range and filter, each failing on its own.
  const struct {
    std::int32_t K, V;
    bool Visible;
  } Records[] = {{10, 4, true}, {11, 4, true}, {12, 4, false}, {9, 4, false}, {10, 3, false}};
  for (const auto& R : Records) {
    Put(Cursor->FCurrentRecordBuffer, R.K, R.V);
    EXPECT_EQ(Table->IsRecordVisible(Cursor.get()), R.Visible) << R.K << " " << R.V;
  }
  Cursor->FFilterExpression = nullptr;
  Cursor->FRangeStartBuffer = Cursor->FRangeEndBuffer = nullptr;
  Cursor->FRecordBitmap.reset();

  // FindKey on the cursor's unique index; Locate by an expression, the cursor left where it was when
  // nothing is found.
  Cursor->FIndexID = IndexID(1);
  std::vector<Byte> KeyBuffer(static_cast<std::size_t>(Table->CalcRecordSize()));
  Put(KeyBuffer.data(), 0, 21);
  Cursor->FKeyBuffer = KeyBuffer.data();
  Cursor->FKeyFieldCount = 1;
  ASSERT_TRUE(Table->FindKey(Cursor.get(), scEqual));
  const std::int32_t Found = Cursor->CurrentRecordID.PageNo;
  EXPECT_EQ(Found, 3);  // 3 * 7 = 21
  Cursor->FKeyBuffer = nullptr;
  TFieldExpression Is77(Offset(1), [](std::int32_t V) { return V == 77; });
  ASSERT_TRUE(Table->Locate(Cursor.get(), &Is77));
  EXPECT_EQ(Get(Cursor->FCurrentRecordBuffer, 1), 77);
  const std::int32_t At = Cursor->CurrentRecordID.PageNo;
  TFieldExpression Never(Offset(1), [](std::int32_t) { return false; });
  EXPECT_FALSE(Table->Locate(Cursor.get(), &Never));
  const std::int32_t After = Cursor->CurrentRecordID.PageNo;
  EXPECT_EQ(After, At);
}
