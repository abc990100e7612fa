#include "engines/mdb/storage/MdbBTreeIndex.h"

#include <map>
#include <optional>
#include <random>
#include <set>

#include "engines/mdb/runtime/MdbNameArray.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"
#include "engines/mdb/storage/tests/MdbTableFixture.h"

namespace {

// The test table with what the memory tables add: a memory page manager behind the table cache,
// and every insert applied at once.
class TBTreeTable : public TTestTableData {
 public:
  explicit TBTreeTable(TMdbDatabaseData* Db) : TTestTableData(Db) {
    FPages = std::make_unique<TMdbMemoryPageManager>();
    FCache = std::make_unique<TMdbTableCache>(FPages.get(), nullptr, -1);
  }
  ~TBTreeTable() override {
    FIndexManager.reset();
    FCache.reset();
  }
  TMdbPageManager* GetPageManager() override { return FPages.get(); }
  bool InsertRecord(TMdbCursor*& Cursor) override {
    const bool R = TTestTableData::InsertRecord(Cursor);
    Commit();
    return R;
  }
  void Commit() { ApplyChanges(GetTableState().TableState, dbstNone, 0); }
  TMdbMemoryPageManager* Pages() const { return FPages.get(); }

 private:
  std::unique_ptr<TMdbMemoryPageManager> FPages;
};

// A table {K Int32, S String(10), W WideString(8)} with the indexes a test defines.
class MdbBTreeTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    AddField(u"K", aftInteger);
    AddField(u"S", aftString, 10);
    AddField(u"W", aftWideString, 8);
    AddField(u"L", aftWideString, 100);
  }
  void TearDown() override {
    Cursors.clear();
    Table.reset();
    Fields.Clear();
    Indexes.Clear();
    Constraints.Clear();
    MdbStorageTest::TearDown();
  }
  void AddField(const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
    TMdbFieldDef* F = Fields.AddCreated();
    F->SetName(Name);
    F->SetFieldDefDataType(Type, Size);
  }
  struct TColumn {
    const char16_t* Name;
    bool Descending = false;
    bool CaseInsensitive = false;
  };
  void AddIndex(const char16_t* Name, std::initializer_list<TColumn> Columns, bool Unique = false) {
    TMdbIndexDef* D = Indexes.AddCreated();
    D->SetName(Name);
    for (const TColumn& C : Columns) {
      TMdbIndexColumn Col;
      Col.FieldName = C.Name;
      Col.Descending = C.Descending;
      Col.CaseInsensitive = C.CaseInsensitive;
      D->FIndexColumns.push_back(Col);
    }
    D->FUnique = Unique;
  }
  void Create() {
    Table = std::make_unique<TBTreeTable>(&Db);
    Table->SetTableName(u"T");
    Table->CreateTable(nullptr, Fields, Indexes, Constraints);
  }
  TMdbBTreeIndex* Index(std::int32_t i = 0) {
    auto* M = Table->IndexManager();
    return static_cast<TMdbBTreeIndex*>(M->OpenIndex(M->IndexDefs().GetDef(i)->ObjectID()));
  }
  TTestCursor* Open(TMdbBaseSession* S = nullptr) {
    Cursors.push_back(std::make_unique<TTestCursor>(Table.get(), S ? S : &Session));
    return Cursors.back().get();
  }
  // A record buffer {K, S, W}; nullopt / nullptr: NULL.
  std::vector<Byte> Record(std::optional<std::int32_t> K, const char* S = nullptr, const char16_t* W = nullptr) {
    const TMdbFieldDefs& F = Table->FieldDefs();
    std::vector<Byte> R(static_cast<std::size_t>(F.RecordSize()) + 8, 0);
    R[0] = 7;
    if (K) {
      std::memcpy(&R[F.GetDef(0)->FMemoryOffset], &*K, 4);
      SetRecordFieldNull(R.data(), 0, false);
    }
    if (S) {
      std::memcpy(&R[F.GetDef(1)->FMemoryOffset], S, std::strlen(S));
      SetRecordFieldNull(R.data(), 1, false);
    }
    if (W) {
      std::memcpy(&R[F.GetDef(2)->FMemoryOffset], W, std::char_traits<char16_t>::length(W) * 2);
      SetRecordFieldNull(R.data(), 2, false);
    }
    if (K && LongKeys) {
      // The same order as K, in a wide text of 100 characters: 19 keys fill a page.
      String L = Format(u"%05d", {*K});
      L.resize(100, u'~');
      std::memcpy(&R[F.GetDef(3)->FMemoryOffset], L.data(), L.size() * 2);
      SetRecordFieldNull(R.data(), 3, false);
    }
    return R;
  }
  static TMdbRecordID Rid(std::int32_t n) { return {n, 0}; }
  // Record ids of the whole index in order, forward or backward.
  std::vector<std::int32_t> Scan(TMdbBTreeIndex* I, bool Forward) {
    std::vector<std::int32_t> Out;
    TMdbKeyPath P;
    bool Ok = I->StepPosition(Session.SessionID, true, P, Forward);
    while (Ok) {
      TMdbRecordID R;
      I->GetReferenceAtPosition(Session.SessionID, P, R);
      Out.push_back(R.PageNo);
      Ok = I->StepPosition(Session.SessionID, false, P, Forward);
    }
    return Out;
  }
  std::vector<Byte> Stored(std::int32_t PageNo) {
    const Byte* P = Table->Pages()->StoredPage(PageNo);
    return std::vector<Byte>(P, P + 4096);
  }
  static std::int32_t I32(const std::vector<Byte>& B, std::size_t At) {
    std::int32_t v;
    std::memcpy(&v, &B[At], 4);
    return v;
  }
  static std::int32_t U16(const std::vector<Byte>& B, std::size_t At) { return B[At] | (B[At + 1] << 8); }

  bool LongKeys = false;
  TMdbDatabaseData Db;
  TTestSession Session{1}, Other{2};
  TMdbFieldDefs Fields;
  TMdbIndexDefs Indexes;
  TMdbConstraintDefs Constraints;
  std::unique_ptr<TBTreeTable> Table;
  std::vector<std::unique_ptr<TTestCursor>> Cursors;
};

}  // namespace

// ---- layout ------------------------------------------------------------------------------------------------

TEST_F(MdbBTreeTest, RootBytesSplitShapeAndCapacities) {
  AddIndex(u"ByK", {{u"K"}});
  Create();
  TMdbBTreeIndex* I = Index();
  EXPECT_EQ(I->KeyRef().KeySize(), 5);
  EXPECT_EQ(I->KeyRef().ReferenceSize(), 6);
  const std::int32_t S = Session.SessionID;
  auto R0 = Record(0);
  I->InsertKey(S, R0.data(), Rid(0));
  Table->Commit();
  const std::int32_t Root = I->IndexDef().FRootPageNo;
  ASSERT_GE(Root, 0);
  const auto Fresh = Stored(Root);
  EXPECT_EQ(std::vector<Byte>(Fresh.begin(), Fresh.begin() + 18),
            HexBytesOf("01 01 FFFFFFFF FFFFFFFF 01 00 0500 0100 0000"));

  for (std::int32_t k = 1; k < 371; ++k) {
    auto R = Record(k);
    I->InsertKey(S, R.data(), Rid(k));
  }
  Table->Commit();
  const auto Top = Stored(Root);
  EXPECT_EQ(Top[0], 1);
  EXPECT_EQ(Top[1], 0);
  ASSERT_EQ(U16(Top, 14), 2);
  // Node entries are 9 bytes: a zero key for the first child, then the second child's first key.
  EXPECT_EQ(std::vector<Byte>(Top.begin() + 18, Top.begin() + 23), std::vector<Byte>(5, 0));
  const std::int32_t A = I32(Top, 23), B = I32(Top, 32);
  EXPECT_EQ(Top[27], 0);
  EXPECT_EQ(I32(Top, 28), 185);
  const auto LA = Stored(A), LB = Stored(B);
  EXPECT_EQ(U16(LA, 14), 185);
  EXPECT_EQ(U16(LB, 14), 186);
  EXPECT_EQ(LA[0], 0);
  EXPECT_EQ(LA[1], 1);
  EXPECT_EQ(I32(LA, 2), -1);
  EXPECT_EQ(I32(LA, 6), B);
  EXPECT_EQ(I32(LB, 2), A);
  EXPECT_EQ(I32(LB, 6), -1);
  I->CheckIntegrity(S);
  // 370 leaf entries of 11 bytes and 453 node entries of 9 bytes fit a page.
  EXPECT_EQ((4096 - 18) / 11, 370);
  EXPECT_EQ((4096 - 18) / 9, 453);
}

TEST_F(MdbBTreeTest, CompareKeysNullsDirectionCaseAndCompareCount) {
  AddIndex(u"Mixed", {{u"K", true}, {u"S", false, true}});
  AddIndex(u"Cased", {{u"S"}, {u"W", false, true}});
  Create();
  TMdbBTreeKeyRef& K = Index(0)->KeyRef();
  TMdbBTreeKeyRef& C = Index(1)->KeyRef();
  std::vector<Byte> A(64), B(64);
  auto Cmp = [&](TMdbBTreeKeyRef& Ref, std::vector<Byte> RA, std::vector<Byte> RB, std::int32_t Count = 0) {
    Ref.MakeKeyFromRecordBuffer(RA.data(), A.data());
    Ref.MakeKeyFromRecordBuffer(RB.data(), B.data());
    Ref.SetCompareFieldCount(Count);
    const std::int32_t R = Ref.CompareKeys(A.data(), B.data());
    Ref.SetCompareFieldCount(0);
    return R;
  };
  // Descending first column: 10 sorts before 5; NULL stays lowest... and is negated with the column.
  EXPECT_EQ(Cmp(K, Record(10, "a"), Record(5, "a")), -1);
  EXPECT_EQ(Cmp(K, Record(std::nullopt, "a"), Record(5, "a")), 1);
  EXPECT_EQ(Cmp(K, Record(std::nullopt, "a"), Record(std::nullopt, "a")), 0);
  // Case-insensitive second column, and a compare count of 1 ignores it.
  EXPECT_EQ(Cmp(K, Record(1, "abc"), Record(1, "ABC")), 0);
  EXPECT_NE(Cmp(K, Record(1, "abc"), Record(1, "abd")), 0);
  EXPECT_EQ(Cmp(K, Record(1, "abc"), Record(1, "zzz"), 1), 0);
  EXPECT_EQ(K.CompareFieldCount(), 2);
  // Case-sensitive ANSI column; case-insensitive wide column.
  EXPECT_NE(Cmp(C, Record(0, "abc"), Record(0, "ABC")), 0);
  EXPECT_EQ(Cmp(C, Record(0, "abc", u"Xy"), Record(0, "abc", u"xY")), 0);
  EXPECT_EQ(Cmp(C, Record(0, "abc", u"a"), Record(0, "abc", u"b")), -1);
  EXPECT_EQ(Cmp(C, Record(0, nullptr), Record(0, "")), -1);
  // A key made from a NULL column starts with 1.
  K.MakeKeyFromRecordBuffer(Record(std::nullopt, "a").data(), A.data());
  EXPECT_EQ(A[0], 1);
}

TEST_F(MdbBTreeTest, KeyPathLimitsAndLeafOnlyOperations) {
  TMdbKeyPath P;
  for (std::int32_t i = 0; i < 32; ++i) P.AddItem(i, 0, 1);
  EXPECT_EQ(NativeCodeOf([&] { P.AddItem(32, 0, 1); }), 11660);
  TMdbKeyPath Q;
  Q.AddItem(1, 0, 2);
  EXPECT_EQ(NativeCodeOf([&] { P.Compare(Q); }), 20051);
  TMdbKeyPath R;
  R.AddItem(2, 0, 2);
  EXPECT_EQ(NativeCodeOf([&] { Q.Compare(R); }), 20052);
  R.Items[0].PageNo = 1;
  R.Items[0].EntryNo = 1;
  EXPECT_EQ(Q.Compare(R), -1);
  EXPECT_DOUBLE_EQ(R.GetApproxRecNoInPercents(), 0.5);

  AddIndex(u"ByK", {{u"K"}});
  Create();
  TMdbBTreeIndex* I = Index();
  auto Rec = Record(1);
  I->InsertKey(Session.SessionID, Rec.data(), Rid(1));
  TMdbBTreePage Root(I, I->GetBTreePage(Session.SessionID, I->IndexDef().FRootPageNo));
  TMdbKeyPath Path;
  EXPECT_EQ(NativeCodeOf([&] { Root.InsertNodeEntry(Session.SessionID, nullptr, nullptr, Path); }), 20020);
  EXPECT_EQ(NativeCodeOf([&] { Root.DeleteNodeEntry(Session.SessionID, Path, true, nullptr); }), 20024);
  EXPECT_EQ(NativeCodeOf([&] { I->DeleteKey(Session.SessionID, Record(2).data(), Rid(1)); }), 20027);
  EXPECT_EQ(NativeCodeOf([&] { I->DeleteKey(Session.SessionID, Rec.data(), Rid(9)); }), 20027);
}

// ---- the tree against a model --------------------------------------------------------------------------

// Random inserts and deletes with many equal keys and NULLs, in an ascending and a descending index,
// checked against a multimap after every batch: integrity, both scan directions, condition searches.
// Some batches are cancelled instead of applied: the tree must be as before. Short keys make wide
// pages; long ones make a tree of four levels with merges across parents.
class MdbBTreeRandomTest : public MdbBTreeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MdbBTreeRandomTest, AgainstMultimap) {
  LongKeys = GetParam();
  const char16_t* Column = LongKeys ? u"L" : u"K";
  AddIndex(u"Up", {{Column}});
  AddIndex(u"Down", {{Column, true}});
  Create();
  const std::int32_t S = Session.SessionID;
  TMdbBTreeIndex* Up = Index(0);
  TMdbBTreeIndex* Down = Index(1);
  std::mt19937 Rng(12345);
  std::map<std::int32_t, std::optional<std::int32_t>> Live;  // record id -> key
  // NULL below every value; a descending column sorts values down with NULL... negated too.
  auto Less = [](std::optional<std::int32_t> a, std::optional<std::int32_t> b) { return a < b; };
  auto CheckModel = [&](TMdbBTreeIndex* I, bool Descending) {
    I->CheckIntegrity(S);
    std::multiset<std::optional<std::int32_t>> Keys;
    for (const auto& [id, k] : Live) Keys.insert(k);
    std::vector<std::optional<std::int32_t>> Expected(Keys.begin(), Keys.end());
    if (Descending) std::reverse(Expected.begin(), Expected.end());
    const auto Fwd = Scan(I, true);
    ASSERT_EQ(Fwd.size(), Expected.size());
    std::set<std::int32_t> Ids(Fwd.begin(), Fwd.end());
    ASSERT_EQ(Ids.size(), Live.size());
    for (std::size_t i = 0; i < Fwd.size(); ++i) ASSERT_EQ(Live.at(Fwd[i]), Expected[i]) << i;
    // Equal keys lie in record-id order, which lets a delete find its entry without a walk.
    for (std::size_t i = 1; i < Fwd.size(); ++i)
      if (Live.at(Fwd[i]) == Live.at(Fwd[i - 1])) {
        ASSERT_LT(Fwd[i - 1], Fwd[i]) << i;
      }
    auto Bwd = Scan(I, false);
    std::reverse(Bwd.begin(), Bwd.end());
    ASSERT_EQ(Bwd, Fwd);
    // Condition searches on a few keys: the first / last qualifying entry, or none.
    for (int t = 0; t < 6; ++t) {
      const std::int32_t k = static_cast<std::int32_t>(Rng() % 60) - (LongKeys ? 0 : 5);
      auto KeyRec = Record(k);
      for (TMdbSearchCondition Op : {scEqual, scLower, scGreater, scLowerEqual, scGreaterEqual}) {
        for (bool First : {true, false}) {
          auto Holds = [&](std::optional<std::int32_t> v) {
            // Entry key (in index order) against the search key.
            const bool lt = Descending ? Less(std::optional<std::int32_t>(k), v) : Less(v, std::optional<std::int32_t>(k));
            const bool gt = Descending ? Less(v, std::optional<std::int32_t>(k)) : Less(std::optional<std::int32_t>(k), v);
            switch (Op) {
              case scEqual: return !lt && !gt;
              case scLower: return lt;
              case scGreater: return gt;
              case scLowerEqual: return !gt;
              default: return !lt;
            }
          };
          std::optional<std::optional<std::int32_t>> Want;
          for (std::size_t i = 0; i < Expected.size(); ++i) {
            const auto& v = Expected[First ? i : Expected.size() - 1 - i];
            if (Holds(v)) {
              Want = v;
              break;
            }
          }
          TMdbScanSearchCondition C;
          C.Condition = Op;
          C.KeyRecordBuffer = KeyRec.data();
          C.KeyFieldCount = 1;
          void* Info = I->CreateSearchInfo();
          TMdbRecordID Got;
          const bool Found = I->FindRecord(S, true, First, &C, nullptr, KeyRec.data(), Got, Info);
          I->FreeSearchInfo(Info);
          ASSERT_EQ(Found, Want.has_value()) << "op " << int(Op) << " first " << First << " key " << k;
          if (Found) {
            ASSERT_EQ(Live.at(Got.PageNo), *Want);
          }
        }
      }
    }
  };
  std::int32_t MaxDepth = 0;
  for (int Batch = 0; Batch < 40; ++Batch) {
    const auto Before = Live;
    const bool Cancel = Batch % 7 == 6;
    const int Ops = 150 + static_cast<int>(Rng() % 600);
    // Grow for the first half, shrink for the second (merges, collapses).
    const unsigned InsertShare = Batch < 20 ? 70 : 30;
    for (int o = 0; o < Ops; ++o) {
      if (Live.empty() || Rng() % 100 < InsertShare) {
        // Record ids come in any order, as reused slots give them.
        std::int32_t id;
        do id = static_cast<std::int32_t>(Rng() % 100000);
        while (Live.count(id) != 0);
        std::optional<std::int32_t> k;
        if (Rng() % 10 != 0) k = static_cast<std::int32_t>(Rng() % 50);
        auto R = Record(k);
        Up->InsertKey(S, R.data(), Rid(id));
        Down->InsertKey(S, R.data(), Rid(id));
        Live[id] = k;
      } else {
        auto it = Live.begin();
        std::advance(it, Rng() % Live.size());
        auto R = Record(it->second);
        Up->DeleteKey(S, R.data(), Rid(it->first));
        Down->DeleteKey(S, R.data(), Rid(it->first));
        Live.erase(it);
      }
    }
    if (Cancel) {
      Table->CancelChanges();
      Live = Before;
    } else {
      Table->Commit();
    }
    CheckModel(Up, false);
    CheckModel(Down, true);
    if (HasFatalFailure()) return;
    TMdbKeyPath P;
    if (Up->GetFirstIndexPosition(S, P)) MaxDepth = std::max(MaxDepth, P.Count);
  }
  EXPECT_GE(MaxDepth, LongKeys ? 3 : 2);
  // Down to nothing: the root collapses back to an empty leaf with its page number.
  const std::int32_t Root = Up->IndexDef().FRootPageNo;
  for (const auto& [id, k] : Live) {
    auto R = Record(k);
    Up->DeleteKey(S, R.data(), Rid(id));
  }
  Table->Commit();
  EXPECT_EQ(Up->IndexDef().FRootPageNo, Root);
  const auto B = Stored(Root);
  EXPECT_EQ(B[0], 1);
  EXPECT_EQ(B[1], 1);
  EXPECT_EQ(U16(B, 14), 0);
  EXPECT_TRUE(Scan(Up, true).empty());
}

INSTANTIATE_TEST_SUITE_P(KeySizes, MdbBTreeRandomTest, ::testing::Values(false, true));

TEST_F(MdbBTreeTest, ChangesStayInTheChangeSetUntilApplied) {
  AddIndex(u"ByK", {{u"K"}});
  Create();
  TMdbBTreeIndex* I = Index();
  const std::int32_t S = Session.SessionID;
  for (std::int32_t k = 0; k < 1000; ++k) {
    auto R = Record(k);
    I->InsertKey(S, R.data(), Rid(k));
  }
  Table->Commit();
  const std::int32_t Pages = Table->Pages()->GetPageCount();
  std::vector<std::vector<Byte>> Before;
  for (std::int32_t p = 0; p <= Table->Pages()->LastAllocatedPageNo(); ++p) Before.push_back(Stored(p));
  // Splits and merges in one session's open change set leave the stored bytes alone, and another
  // session keeps reading the committed tree.
  for (std::int32_t k = 0; k < 900; ++k) {
    auto R = Record(k);
    I->DeleteKey(S, R.data(), Rid(k));
  }
  for (std::int32_t k = 2000; k < 2800; ++k) {
    auto R = Record(k);
    I->InsertKey(S, R.data(), Rid(k));
  }
  for (std::int32_t p = 0; p < static_cast<std::int32_t>(Before.size()); ++p) ASSERT_EQ(Stored(p), Before[p]) << p;
  TMdbKeyPath P;
  ASSERT_TRUE(I->GetFirstIndexPosition(Other.SessionID, P));
  TMdbRecordID First;
  I->GetReferenceAtPosition(Other.SessionID, P, First);
  EXPECT_EQ(First.PageNo, 0);
  Table->CancelChanges();
  EXPECT_EQ(Table->Pages()->GetPageCount(), Pages);
  const auto All = Scan(I, true);
  ASSERT_EQ(All.size(), 1000u);
  EXPECT_EQ(All.front(), 0);
  EXPECT_EQ(All.back(), 999);
  I->CheckIntegrity(S);
}

// ---- the index through its table ------------------------------------------------------------------------

TEST_F(MdbBTreeTest, UniqueIndexRefusesEqualKeysIncludingNull) {
  AddIndex(u"U", {{u"K"}}, true);
  Create();
  auto* C = Open();
  TMdbBTreeIndex* I = Index();
  auto Post = [&](std::optional<std::int32_t> K) {
    auto R = Record(K);
    std::memcpy(C->FCurrentRecordBuffer, R.data(), static_cast<std::size_t>(Table->FieldDefs().RecordSize()));
    ASSERT_TRUE(C->Insert());
  };
  Post(5);
  Post(std::nullopt);
  EXPECT_FALSE(I->CanInsertRecord(Session.SessionID, Record(5).data()));
  EXPECT_FALSE(I->CanInsertRecord(Session.SessionID, Record(std::nullopt).data()));
  EXPECT_TRUE(I->CanInsertRecord(Session.SessionID, Record(6).data()));
  // An update that keeps its key is allowed; one onto another record's key is not.
  EXPECT_TRUE(I->CanUpdateRecord(Session.SessionID, Record(5).data(), Record(5, "x").data()));
  EXPECT_FALSE(I->CanUpdateRecord(Session.SessionID, Record(7).data(), Record(5).data()));
  EXPECT_TRUE(I->CanUpdateRecord(Session.SessionID, Record(5).data(), Record(8).data()));
}

TEST_F(MdbBTreeTest, NavigationRecordNumbersAndAnotherSessionsSplit) {
  AddIndex(u"Down", {{u"K", true}});
  Create();
  auto* C = Open();
  for (std::int32_t k = 0; k < 300; ++k) {
    auto R = Record(k * 2);
    std::memcpy(C->FCurrentRecordBuffer, R.data(), static_cast<std::size_t>(Table->FieldDefs().RecordSize()));
    ASSERT_TRUE(C->Insert());
  }
  TMdbBTreeIndex* I = Index();
  const std::int32_t IndexID = I->IndexDef().ObjectID();
  std::vector<Byte> Buf(static_cast<std::size_t>(Table->FieldDefs().RecordSize()));
  auto KeyOf = [&] {
    std::int32_t v;
    std::memcpy(&v, &Buf[Table->FieldDefs().GetDef(0)->FMemoryOffset], 4);
    return v;
  };
  TMdbNavigationInfo N;
  N.IndexID = IndexID;
  N.RecordBuffer = Buf.data();
  N.FirstPosition = true;
  N.GetRecordMode = grmNext;
  Table->IndexManager()->GetRecordBuffer(Session.SessionID, N);
  ASSERT_EQ(N.GetRecordResult, grrOK);
  EXPECT_EQ(KeyOf(), 598);
  EXPECT_EQ(I->GetRecNoByRecordID(Session.SessionID, N.RecordID, Buf.data(), nullptr), 1);
  for (int i = 0; i < 5; ++i) Table->IndexManager()->GetRecordBuffer(Session.SessionID, N);
  EXPECT_EQ(KeyOf(), 588);
  // Another session fills the page under this position until it splits; the next step still
  // lands on the true successor.
  auto* D = Open(&Other);
  for (std::int32_t k = 0; k < 400; ++k) {
    auto R = Record(587);
    std::memcpy(D->FCurrentRecordBuffer, R.data(), static_cast<std::size_t>(Table->FieldDefs().RecordSize()));
    ASSERT_TRUE(D->Insert());
  }
  I->CheckIntegrity(Session.SessionID);
  Table->IndexManager()->GetRecordBuffer(Session.SessionID, N);
  ASSERT_EQ(N.GetRecordResult, grrOK);
  EXPECT_EQ(KeyOf(), 587);
  EXPECT_EQ(I->GetRecNoByRecordID(Session.SessionID, N.RecordID, Buf.data(), nullptr), 7);
  EXPECT_EQ(I->GetRecordIDByRecNo(Session.SessionID, 7, nullptr), N.RecordID);
  EXPECT_EQ(I->GetRecordIDByRecNo(Session.SessionID, 700, nullptr).PageNo, Scan(I, true).back());
  EXPECT_EQ(NativeCodeOf([&] { I->GetRecordIDByRecNo(Session.SessionID, 701, nullptr); }), 20075);
  // The last record, then the end.
  N.LastPosition = true;
  N.GetRecordMode = grmPrior;
  Table->IndexManager()->GetRecordBuffer(Session.SessionID, N);
  EXPECT_EQ(KeyOf(), 0);
  N.GetRecordMode = grmNext;
  Table->IndexManager()->GetRecordBuffer(Session.SessionID, N);
  EXPECT_EQ(N.GetRecordResult, grrEOF);
  EXPECT_TRUE(N.LastPosition);
  N.GetRecordMode = grmCurrent;
  EXPECT_EQ(NativeCodeOf([&] { I->GetRecordBuffer(Session.SessionID, N); }), 20053);
  // A bitmap hiding the first record in index order numbers the second 1.
  TMdbRecordBitmap Bitmap(Table.get());
  for (const auto& R : Scan(I, true)) Bitmap.ShowRecord(Rid(R));
  const TMdbRecordID Top = I->GetRecordIDByRecNo(Session.SessionID, 1, nullptr);
  const TMdbRecordID Second = I->GetRecordIDByRecNo(Session.SessionID, 2, nullptr);
  Bitmap.HideRecord(Top);
  Bitmap.SetActive(true);
  EXPECT_EQ(I->GetRecordIDByRecNo(Session.SessionID, 1, &Bitmap), Second);
  TMdbNavigationInfo Cur;
  Cur.RecordID = Second;
  Cur.RecordBuffer = Buf.data();
  Table->RecordManager()->GetRecordBuffer(Cur);
  EXPECT_EQ(I->GetRecNoByRecordID(Session.SessionID, Second, Buf.data(), &Bitmap), 1);
}

TEST_F(MdbBTreeTest, RangeScansAndEstimates) {
  AddIndex(u"ByK", {{u"K"}});
  Create();
  TMdbBTreeIndex* I = Index();
  const std::int32_t S = Session.SessionID;
  // Keys 0..999, each twice.
  for (std::int32_t n = 0; n < 2000; ++n) {
    auto R = Record(n % 1000);
    I->InsertKey(S, R.data(), Rid(n));
  }
  Table->Commit();
  auto Run = [&](TMdbSearchCondition StartOp, std::int32_t StartKey, std::optional<std::pair<TMdbSearchCondition, std::int32_t>> End,
                 bool Forward) {
    auto SK = Record(StartKey);
    std::vector<Byte> EK;
    TMdbScanSearchCondition Start, Stop;
    Start.Condition = StartOp;
    Start.KeyRecordBuffer = SK.data();
    Start.KeyFieldCount = 1;
    if (End) {
      EK = Record(End->second);
      Stop.Condition = End->first;
      Stop.KeyRecordBuffer = EK.data();
      Stop.KeyFieldCount = 1;
    }
    void* Info = I->CreateSearchInfo();
    std::vector<std::int32_t> Keys;
    TMdbRecordID Id;
    bool Restart = true;
    while (I->FindRecord(S, Restart, Forward, &Start, End ? &Stop : nullptr, SK.data(), Id, Info)) {
      Keys.push_back(Id.PageNo % 1000);
      Restart = false;
    }
    EXPECT_EQ(NativeCodeOf([&] { I->FindRecord(S, true, Forward, &Start, nullptr, SK.data(), Id, Info); }),
              Keys.empty() ? -1 : 20078);
    I->FreeSearchInfo(Info);
    return Keys;
  };
  auto ge10 = Run(scGreaterEqual, 10, std::nullopt, true);
  ASSERT_EQ(ge10.size(), 1980u);
  EXPECT_EQ(ge10.front(), 10);
  EXPECT_EQ(ge10.back(), 999);
  EXPECT_EQ(Run(scEqual, 10, std::nullopt, true), (std::vector<std::int32_t>{10, 10}));
  EXPECT_EQ(Run(scGreater, 10, std::make_pair(scLowerEqual, 12), true), (std::vector<std::int32_t>{11, 11, 12, 12}));
  EXPECT_EQ(Run(scLower, 3, std::nullopt, false), (std::vector<std::int32_t>{2, 2, 1, 1, 0, 0}));
  EXPECT_TRUE(Run(scGreater, 999, std::nullopt, true).empty());

  // A scan continued from a record before its start yields the start first, in both directions.
  for (bool Forward : {true, false}) {
    auto SK = Record(500);
    TMdbScanSearchCondition Start;
    Start.Condition = Forward ? scGreaterEqual : scLowerEqual;
    Start.KeyRecordBuffer = SK.data();
    Start.KeyFieldCount = 1;
    auto Cur = Record(Forward ? 3 : 900);
    TMdbRecordID Id = Rid(Forward ? 3 : 900);
    void* Info = I->CreateSearchInfo();
    ASSERT_TRUE(I->FindRecord(S, false, Forward, &Start, nullptr, Cur.data(), Id, Info));
    EXPECT_EQ(Id.PageNo % 1000, 500) << Forward;
    I->FreeSearchInfo(Info);
  }

  auto Lo = Record(5), Hi = Record(10), Far = Record(2000);
  TMdbScanSearchCondition G, L, Beyond;
  G.Condition = scGreater;
  G.KeyRecordBuffer = Lo.data();
  G.KeyFieldCount = 1;
  L.Condition = scLower;
  L.KeyRecordBuffer = Hi.data();
  L.KeyFieldCount = 1;
  Beyond.Condition = scGreater;
  Beyond.KeyRecordBuffer = Far.data();
  Beyond.KeyFieldCount = 1;
  const Int64 Est = I->GetApproxRangeRecordCount(S, 2000, &L, &G);
  EXPECT_GE(Est, 6);
  EXPECT_LE(Est, 10);
  EXPECT_EQ(I->GetApproxRangeRecordCount(S, 2000, &Beyond, &L), 0);
  EXPECT_EQ(I->CompareConditions(&G, &L), -1);
  EXPECT_EQ(I->CompareConditions(&L, &G), 1);
}

TEST_F(MdbBTreeTest, IndexBuildDropEmptyAndLoadedPageChecks) {
  Create();
  auto* C = Open();
  for (std::int32_t k = 0; k < 1500; ++k) {
    auto R = Record(1500 - k);
    std::memcpy(C->FCurrentRecordBuffer, R.data(), static_cast<std::size_t>(Table->FieldDefs().RecordSize()));
    ASSERT_TRUE(C->Insert());
  }
  TMdbIndexDef Def;
  Def.SetName(u"Late");
  TMdbIndexColumn Col;
  Col.FieldName = u"K";
  Def.FIndexColumns.push_back(Col);
  const std::int32_t Id = Table->IndexManager()->CreateIndex(C, &Def);
  Table->Commit();
  TMdbBTreeIndex* I = Index();
  EXPECT_EQ(I->IndexDef().ObjectID(), Id);
  I->CheckIntegrity(Session.SessionID);
  const auto All = Scan(I, true);
  ASSERT_EQ(All.size(), 1500u);
  EXPECT_EQ(All.front(), 1499);  // key 1 was posted last
  CheckLoadedIndexPages(Table.get(), Table->Pages(), Table->IndexManager()->IndexDefs());

  // Corrupted pages are refused before any index walks them.
  const std::int32_t Root = I->IndexDef().FRootPageNo;
  Byte* RootBytes = Table->Pages()->StoredPage(Root);
  const auto Saved = std::vector<Byte>(RootBytes, RootBytes + 4096);
  const struct {
    std::size_t At;
    std::vector<Byte> Bytes;
  } Cuts[] = {
      {14, {0xFF, 0x01}},                     // more entries than a page holds
      {12, {0x06, 0x00}},                     // a key size not the definition's
      {0, {0x00}},                            // the root not marked as root
      {23, {0xE7, 0x03, 0x00, 0x00}},         // a child page that is not allocated
      {23, {static_cast<Byte>(Root), static_cast<Byte>(Root >> 8), 0, 0}},  // a child that is the root
  };
  for (const auto& Cut : Cuts) {
    std::memcpy(RootBytes, Saved.data(), 4096);
    std::memcpy(RootBytes + Cut.At, Cut.Bytes.data(), Cut.Bytes.size());
    EXPECT_EQ(NativeCodeOf([&] { CheckLoadedIndexPages(Table.get(), Table->Pages(), Table->IndexManager()->IndexDefs()); }),
              20028)
        << Cut.At;
  }
  std::memcpy(RootBytes, Saved.data(), 4096);

  const std::int32_t Before = Table->Pages()->GetPageCount();
  EXPECT_GT(Before, 3);
  Table->IndexManager()->EmptyIndex(Session.SessionID, Id);
  Table->Commit();
  EXPECT_EQ(Table->Pages()->GetPageCount(), 1);
  EXPECT_TRUE(Scan(Index(), true).empty());
  Table->IndexManager()->DropIndex(Session.SessionID, Id);
  Table->Commit();
  EXPECT_EQ(Table->Pages()->GetPageCount(), 0);
  EXPECT_EQ(Table->IndexManager()->IndexDefs().Count(), 0);
}
