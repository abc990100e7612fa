// Key search and index navigation through sessions and local cursors of a started engine: FindKey
// with the component's key buffer (record image and key state), whole and partial keys, ascending
// and descending columns; filter and Locate texts without a query processor; one cursor walking an
// index while another cursor's inserts split its pages; an index added to a temporary table.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "MdbStorageTestSupport.h"
#include "platform/rtl/Variant.h"

namespace {

struct TRow {
  std::int32_t Id, A, B;
};

// The query processor's expression as far as these tests need it: a filter text "A=n" or a Locate
// of one field name and value is an equality of that Int32 field; an empty filter text is refused
// with 30119 as the real parser does.
class TEqualityExpression : public TMdbExpression {
 public:
  void ExtractIndexScanConditions(TMdbIndexDefs*, TMdbScanSearchConditionArray*, TList*) override {}
  void AddNode(TMdbExpressionNode*) override {}
  void ParseForFilter(TMdbCursor* Cursor, const String& Filter, bool, bool) override {
    const std::size_t Eq = Filter.find(u'=');
    if (Eq == String::npos) throw EMdbException(30119, u"Empty filter");
    Bind(Cursor, Filter.substr(0, Eq));
    FValue = 0;
    for (char16_t c : Filter.substr(Eq + 1)) FValue = FValue * 10 + (c - u'0');
  }
  void ParseForLocate(TMdbCursor* Cursor, const String& FieldNames, const Variant& KeyValues, bool, bool) override {
    Bind(Cursor, FieldNames);
    FValue = KeyValues.AsInteger();
  }
  void AssignCursor(TMdbCursor*) override {}
  void AssignCursorBuffer(const Byte* Buffer) override { FBuffer = Buffer; }
  bool GetResult() override {
    std::int32_t v;
    std::memcpy(&v, FBuffer + FOffset, 4);
    return v == FValue;
  }
  bool IsEmpty() override { return false; }
  bool IsIncompatible() override { return false; }
  void PrepareForeignKeyCheck(TMdbCursor*, TMdbCursor*, TMdbIndexDef*, TMdbConstraintDef*) override {}
  void PrepareForeignKeyActionFilter(TMdbCursor*, TMdbCursor*, TMdbIndexDef*, TMdbConstraintDef*) override {}

 private:
  void Bind(TMdbCursor* Cursor, const String& Name) {
    const std::int32_t n = Cursor->FFieldDefs.GetDefNumberByName(Name);
    if (n < 0) throw EMdbException(10323, u"Cannot find field");
    FOffset = Cursor->FFieldDefs.GetDef(n)->FMemoryOffset;
  }
  std::int32_t FOffset = 0, FValue = 0;
  const Byte* FBuffer = nullptr;
};

class MdbCursorSearchTest : public ::testing::Test {
 protected:
  void SetUp() override { MdbEngineStartup(); }
  void TearDown() override {
    Cursors.clear();
    Sessions.clear();
    MdbEngineShutdown();
  }

  TMdbLocalSession* Connect(const AnsiString& Database = "MEMORY") {
    auto S = std::make_unique<TMdbLocalSession>();
    (Database == "TEMP" ? S->Temporary : S->InMemory) = true;
    S->FDatabaseName = S->FDatabaseFileName = Database;
    S->SetConnected(true);
    Sessions.push_back(std::move(S));
    return Sessions.back().get();
  }
  // {Id, A, B} Int32 columns; indexes as given: each a list of {column, descending}.
  struct TColumn {
    const char16_t* Name;
    bool Descending = false;
  };
  void Define(std::initializer_list<std::pair<const char16_t*, std::vector<TColumn>>> Indexes) {
    for (const char16_t* Name : {u"Id", u"A", u"B"}) {
      TMdbFieldDef* F = Fields.AddCreated();
      F->SetName(Name);
      F->SetFieldDefDataType(aftInteger, 0);
    }
    for (const auto& [Name, Columns] : Indexes) Indexes_.AddCreated()->Assign(MakeIndex(Name, Columns).get());
  }
  static std::unique_ptr<TMdbIndexDef> MakeIndex(const char16_t* Name, const std::vector<TColumn>& Columns) {
    auto D = std::make_unique<TMdbIndexDef>();
    D->SetName(Name);
    D->SetColumnCount(static_cast<std::int32_t>(Columns.size()));
    for (std::size_t i = 0; i < Columns.size(); ++i) {
      D->GetIndexColumn(static_cast<std::int32_t>(i)).FieldName = Columns[i].Name;
      D->GetIndexColumn(static_cast<std::int32_t>(i)).Descending = Columns[i].Descending;
    }
    return D;
  }
  TMdbLocalCursor* OpenMemory(TMdbLocalSession* S) {
    std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(S->CreateCursor(u"T", false)));
    C->FInMemory = true;
    C->OpenTableByFieldDefs(&Fields, &Indexes_, nullptr);
    return Keep(std::move(C));
  }
  TMdbLocalCursor* Keep(std::unique_ptr<TMdbLocalCursor> C) {
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    Cursors.push_back({std::move(C)});
    return Cursors.back().C.get();
  }
  static void Post(TMdbLocalCursor* C, const TRow& R) {
    Byte* B = C->FCurrentRecordBuffer;
    C->InternalInitRecord(B, true);
    C->SetFieldData(0, &R.Id, B);
    C->SetFieldData(1, &R.A, B);
    C->SetFieldData(2, &R.B, B);
    C->InternalPost(true);
    ASSERT_EQ(C->FErrorCode, 0) << StringToUTF8(C->FErrorMessage);
  }
  static std::int32_t At(TMdbLocalCursor* C, std::int32_t FieldNo) {
    std::int32_t v = -1;
    C->GetFieldData(FieldNo, &v, C->FCurrentRecordBuffer);
    return v;
  }
  static TRow Current(TMdbLocalCursor* C) { return {At(C, 0), At(C, 1), At(C, 2)}; }
  // Every record in the cursor's order, walked forwards.
  static std::vector<TRow> Walk(TMdbLocalCursor* C) {
    std::vector<TRow> Out;
    C->InternalFirst();
    while (C->GetRecordBuffer(grmNext) == grrOK) Out.push_back(Current(C));
    return Out;
  }

  struct TOwned {
    std::unique_ptr<TMdbLocalCursor> C;
    TOwned(std::unique_ptr<TMdbLocalCursor> c) : C(std::move(c)) {}
    TOwned(TOwned&&) = default;
    ~TOwned() {
      if (C) C->FreeRecordBuffer(C->FCurrentRecordBuffer);
    }
  };
  std::vector<std::unique_ptr<TMdbLocalSession>> Sessions;
  std::vector<TOwned> Cursors;
  TMdbFieldDefs Fields;
  TMdbIndexDefs Indexes_;
};

// The key buffer as the table component fills it: the key columns written into a record image, then
// the key state behind the fields (modified, exclusive, key field count); the cursor takes the buffer
// and the count from it.
std::vector<Byte> KeyBuffer(TMdbLocalCursor* C, std::int32_t A, std::int32_t B, std::int32_t Count) {
  std::vector<Byte> K(static_cast<std::size_t>(C->FKeyBufferSize));
  C->InternalInitRecord(K.data(), false);
  C->SetFieldData(1, &A, K.data());
  if (Count > 1) C->SetFieldData(2, &B, K.data());
  K[static_cast<std::size_t>(C->FKeyOffset)] = 1;
  std::memcpy(K.data() + C->FKeyOffset + 2, &Count, 4);
  return K;
}

// FindKey for every condition with whole and partial keys, on an ascending and a partly descending
// index: the record found is the first of the cursor's order that meets the condition, the cursor
// steps on from it both ways, and a key that matches nothing leaves the cursor where it stood.
TEST_F(MdbCursorSearchTest, FindKeyWithTheKeyBufferOfTheComponent) {
  Define({{u"AB", {{u"A"}, {u"B"}}}, {u"DescA", {{u"A", true}, {u"B"}}}});
  TMdbLocalCursor* C = OpenMemory(Connect());
  constexpr std::int32_t kRows = 1200;  // several index pages
  for (std::int32_t i = 0; i < kRows; ++i) Post(C, {i, i % 12, (i * 37) % kRows});

  const struct {
    std::int32_t A, B, Count;
  } Keys[] = {{3, 0, 1}, {-1, 0, 1}, {12, 0, 1}, {0, 0, 1}, {11, 0, 1}, {5, 5 * 37 % kRows, 2}, {5, 6, 2}, {11, 1199, 2}};
  const TMdbSearchCondition Conditions[] = {scEqual, scLower, scGreater, scLowerEqual, scGreaterEqual};
  for (const char16_t* Index : {u"AB", u"DescA"}) {
    C->SetIndexName(Index);
    ASSERT_NE(C->FIndexID, -1);
    const bool DescA = Index[0] == u'D';
    const std::vector<TRow> Order = Walk(C);
    ASSERT_EQ(Order.size(), static_cast<std::size_t>(kRows));
    // The order's comparison of a row with a key's first Count columns.
    const auto Compare = [&](const TRow& R, std::int32_t A, std::int32_t B, std::int32_t Count) {
      const int c = (R.A > A) - (R.A < A);
      if (c != 0 || Count == 1) return DescA ? -c : c;
      return (R.B > B) - (R.B < B);
    };
    for (const auto& K : Keys)
      for (TMdbSearchCondition Cond : Conditions) {
        const auto Meets = [&](const TRow& R) {
          const int c = Compare(R, K.A, K.B, K.Count);
          switch (Cond) {
            case scEqual: return c == 0;
            case scLower: return c < 0;
            case scGreater: return c > 0;
            case scLowerEqual: return c <= 0;
            default: return c >= 0;
          }
        };
        const auto It = std::find_if(Order.begin(), Order.end(), Meets);
        SCOPED_TRACE(testing::Message() << StringToUTF8(Index) << " key " << K.A << "," << K.B << "/" << K.Count
                                        << " condition " << int(Cond));
        // Stand on a known record first.
        C->SetRecNo(600);
        ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
        const std::int32_t Before = At(C, 0);
        std::vector<Byte> KB = KeyBuffer(C, K.A, K.B, K.Count);
        C->FKeyBuffer = KB.data();
        std::memcpy(&C->FKeyFieldCount, KB.data() + C->FKeyOffset + 2, 4);
        const bool Found = C->FindKey(Cond);
        C->FKeyBuffer = nullptr;
        ASSERT_EQ(Found, It != Order.end());
        ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
        if (!Found) {
          EXPECT_EQ(At(C, 0), Before);
          continue;
        }
        EXPECT_EQ(At(C, 0), It->Id);
        if (It + 1 != Order.end()) {
          ASSERT_EQ(C->GetRecordBuffer(grmNext), grrOK);
          EXPECT_EQ(At(C, 0), (It + 1)->Id);
          ASSERT_EQ(C->GetRecordBuffer(grmPrior), grrOK);
        }
        if (It != Order.begin()) {
          ASSERT_EQ(C->GetRecordBuffer(grmPrior), grrOK);
          EXPECT_EQ(At(C, 0), (It - 1)->Id);
        }
      }
  }
}

// A range given through the cursor (the component's key buffers, whole or partial keys, either end
// exclusive or open) shows exactly the records between its bounds in index order, both ways, with
// their count and record numbers; resetting it shows the whole table again.
TEST_F(MdbCursorSearchTest, RangesThroughTheCursor) {
  Define({{u"AB", {{u"A"}, {u"B"}}}, {u"DescA", {{u"A", true}, {u"B"}}}});
  TMdbLocalCursor* C = OpenMemory(Connect());
  constexpr std::int32_t kRows = 600;
  for (std::int32_t i = 0; i < kRows; ++i) Post(C, {i, i % 12, (i * 37) % kRows});
  const struct {
    std::int32_t StartA, StartB, StartCount;  // StartCount 0: no start bound
    std::int32_t EndA, EndB, EndCount;
    bool StartExclusive, EndExclusive;
  } Ranges[] = {
      {3, 0, 1, 5, 0, 1, false, false}, {3, 0, 1, 5, 0, 1, true, true},   {3, 100, 2, 3, 400, 2, false, true},
      {3, 100, 2, 4, 0, 1, true, false}, {0, 0, 0, 2, 0, 1, false, false}, {9, 0, 1, 0, 0, 0, false, false},
      {7, 0, 1, 6, 0, 1, false, false}, {20, 0, 1, 30, 0, 1, false, false},
  };
  for (const char16_t* Index : {u"AB", u"DescA"}) {
    C->SetIndexName(Index);
    const bool DescA = Index[0] == u'D';
    const std::vector<TRow> Order = Walk(C);
    const auto Compare = [&](const TRow& R, std::int32_t A, std::int32_t B, std::int32_t Count) {
      const int c = (R.A > A) - (R.A < A);
      if (c != 0 || Count == 1) return DescA ? -c : c;
      return (R.B > B) - (R.B < B);
    };
    for (const auto& G : Ranges) {
      SCOPED_TRACE(testing::Message() << StringToUTF8(Index) << " " << G.StartA << "," << G.StartB << "/" << G.StartCount
                                      << " .. " << G.EndA << "," << G.EndB << "/" << G.EndCount);
      std::vector<std::int32_t> Expected;
      for (const TRow& R : Order) {
        const int s = G.StartCount ? Compare(R, G.StartA, G.StartB, G.StartCount) : 1;
        const int e = G.EndCount ? Compare(R, G.EndA, G.EndB, G.EndCount) : -1;
        if ((s > 0 || (s == 0 && !G.StartExclusive)) && (e < 0 || (e == 0 && !G.EndExclusive))) Expected.push_back(R.Id);
      }
      std::vector<Byte> From = KeyBuffer(C, G.StartA, G.StartB, G.StartCount);
      std::vector<Byte> To = KeyBuffer(C, G.EndA, G.EndB, G.EndCount);
      C->ApplyRange(G.StartCount ? From.data() : nullptr, G.EndCount ? To.data() : nullptr, G.StartCount, G.EndCount,
                    G.StartExclusive, G.EndExclusive);
      EXPECT_EQ(C->GetRecordCount(), static_cast<Int64>(Expected.size()));
      std::vector<std::int32_t> Forward, Backward;
      for (const TRow& R : Walk(C)) Forward.push_back(R.Id);
      C->InternalLast();
      while (C->GetRecordBuffer(grmPrior) == grrOK) Backward.push_back(At(C, 0));
      EXPECT_EQ(Forward, Expected);
      std::reverse(Backward.begin(), Backward.end());
      EXPECT_EQ(Backward, Expected);
      if (Expected.size() > 2) {
        C->SetRecNo(2);
        ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
        EXPECT_EQ(At(C, 0), Expected[1]);
        EXPECT_EQ(C->GetRecNo(), 2);
      }
      C->ResetRange();
      EXPECT_EQ(C->GetRecordCount(), kRows);
    }
    EXPECT_EQ(Walk(C).size(), static_cast<std::size_t>(kRows));
  }
}

// With an expression installed, a filter through the cursor shows the matching records both ways
// and inside a range; a refused filter text leaves no filter behind; Locate finds and loads the
// record or leaves the cursor where it stood.
TEST_F(MdbCursorSearchTest, FiltersAndLocateThroughTheCursor) {
  SetMdbExpressionFactory([](TMdbBaseSession*, TMdbSQLParams*) { return std::make_unique<TEqualityExpression>(); });
  struct TReset {
    ~TReset() { SetMdbExpressionFactory(nullptr); }
  } Reset;
  Define({{u"AB", {{u"A"}, {u"B"}}}});
  TMdbLocalCursor* C = OpenMemory(Connect());
  for (std::int32_t i = 0; i < 500; ++i) Post(C, {i, i % 7, (i * 37) % 500});
  const auto Ids = [&] {
    std::vector<std::int32_t> Out;
    for (const TRow& R : Walk(C)) Out.push_back(R.Id);
    return Out;
  };
  for (const char16_t* Index : {u"", u"AB"}) {
    C->SetIndexName(Index);
    const std::vector<TRow> Order = Walk(C);
    std::vector<std::int32_t> Expected;
    for (const TRow& R : Order)
      if (R.A == 3) Expected.push_back(R.Id);
    C->ActivateFilters(u"A=3", false, false);
    EXPECT_EQ(C->GetRecordCount(), static_cast<Int64>(Expected.size()));
    EXPECT_EQ(Ids(), Expected);
    std::vector<std::int32_t> Backward;
    C->InternalLast();
    while (C->GetRecordBuffer(grmPrior) == grrOK) Backward.push_back(At(C, 0));
    std::reverse(Backward.begin(), Backward.end());
    EXPECT_EQ(Backward, Expected);
    // A refused text: the old filter is gone and so is its record set.
    EXPECT_EQ(NativeCodeOf([&] { C->ActivateFilters(u"", false, false); }), 30119);
    EXPECT_EQ(C->FFilterExpression, nullptr);
    EXPECT_EQ(C->GetRecordCount(), 500);
    EXPECT_EQ(Ids().size(), 500u);
    C->ActivateFilters(u"A=3", false, false);
    C->DeactivateFilters();
    EXPECT_EQ(C->GetRecordCount(), 500);
  }
  // A filter inside a range of the index.
  std::vector<Byte> From = KeyBuffer(C, 2, 0, 1), To = KeyBuffer(C, 4, 0, 1);
  C->ApplyRange(From.data(), To.data(), 1, 1, false, false);
  C->ActivateFilters(u"B=211", false, false);
  std::vector<std::int32_t> Expected;
  for (std::int32_t i = 0; i < 500; ++i)
    if (i % 7 >= 2 && i % 7 <= 4 && (i * 37) % 500 == 211) Expected.push_back(i);
  ASSERT_EQ(Expected, std::vector<std::int32_t>{303});
  EXPECT_EQ(Ids(), Expected);
  // FindKey sees only what the range and filter let through.
  const struct {
    std::int32_t A;
    TMdbSearchCondition Cond;
    std::int32_t Found;  // -1: nothing
  } Keys[] = {{5, scEqual, -1}, {1, scEqual, -1}, {4, scGreater, -1}, {2, scEqual, 303},
              {2, scGreaterEqual, 303}, {4, scLowerEqual, 303}, {1, scGreater, 303}};
  for (const auto& K : Keys) {
    std::vector<Byte> KB = KeyBuffer(C, K.A, 0, 1);
    C->FKeyBuffer = KB.data();
    C->FKeyFieldCount = 1;
    const bool Found = C->FindKey(K.Cond);
    C->FKeyBuffer = nullptr;
    EXPECT_EQ(Found, K.Found != -1) << K.A << " " << int(K.Cond);
    if (Found && K.Found != -1) {
      ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
      EXPECT_EQ(At(C, 0), K.Found);
    }
  }
  C->DeactivateFilters();
  C->ResetRange();

  C->SetRecNo(10);
  ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
  const std::int32_t Before = At(C, 0);
  ASSERT_TRUE(C->Locate(u"B", Variant(37 * 11 % 500), false, false));
  EXPECT_EQ(At(C, 0), 11);
  EXPECT_EQ(At(C, 2), 37 * 11 % 500);
  C->SetRecNo(10);
  EXPECT_FALSE(C->Locate(u"B", Variant(9999), false, false));
  ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
  EXPECT_EQ(At(C, 0), Before);
}

// Until the query processor is installed, filter and Locate texts are refused with 30900 naming
// the expression; the cursor keeps its records, its count and its position.
TEST_F(MdbCursorSearchTest, FilterAndLocateTextsNeedTheQueryProcessor) {
  Define({{u"AB", {{u"A"}, {u"B"}}}});
  TMdbLocalCursor* C = OpenMemory(Connect());
  for (std::int32_t i = 0; i < 20; ++i) Post(C, {i, i % 3, i});
  C->SetRecNo(7);
  ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
  const std::int32_t Before = At(C, 0);
  const std::function<void()> Calls[] = {
      [&] { C->ActivateFilters(u"A = 1", false, false); },
      [&] { C->ActivateFilters(u"A = 1", true, true); },
      [&] { C->Locate(u"A", Variant(1), false, false); },
      [&] { C->Locate(u"A;B", Variant(1), true, true); },
  };
  for (const auto& Call : Calls) {
    try {
      Call();
      ADD_FAILURE() << "no exception";
    } catch (const EMdbException& E) {
      EXPECT_EQ(E.NativeError, kMdbQueryNotAvailableCode);
      EXPECT_NE(StringToUTF8(E.Message()).find("Error - Expression is not available: no query processor is installed"),
                std::string::npos)
          << StringToUTF8(E.Message());
    }
    EXPECT_EQ(C->FFilterExpression, nullptr);
    EXPECT_EQ(C->GetRecordCount(), 20);
    ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
    EXPECT_EQ(At(C, 0), Before);
  }
  EXPECT_EQ(Walk(C).size(), 20u);
}

// One cursor walks an index while another cursor, of its own session or of another, inserts keys on
// both sides of it until the pages split many times: the walk stays in key order, meets every key it
// had not passed (old or new) and none twice.
TEST_F(MdbCursorSearchTest, WalkSurvivesAnotherCursorsSplits) {
  Define({{u"ByB", {{u"B"}}}});
  TMdbLocalSession* S = Connect();
  TMdbLocalCursor* Walker = OpenMemory(S);
  for (std::int32_t i = 0; i < 1000; ++i) Post(Walker, {i, 0, i * 8});
  for (bool SameSession : {true, false}) {
    SCOPED_TRACE(SameSession ? "same session" : "other session");
    TMdbLocalCursor* Writer = OpenMemory(SameSession ? S : Connect());
    Walker->SetIndexName(u"ByB");
    std::set<std::int32_t> Keys;
    for (const TRow& R : Walk(Walker)) Keys.insert(R.B);
    std::set<std::int32_t> Expected = Keys, Seen;
    const std::size_t Before = Keys.size();
    const std::int32_t Phase = SameSession ? 1 : 3;  // fresh keys each round: odd residues of 8
    std::int32_t Last = -1, Steps = 0, NextId = 100000 * (Phase + 1);
    Walker->InternalFirst();
    while (Walker->GetRecordBuffer(grmNext) == grrOK) {
      const std::int32_t B = At(Walker, 2);
      ASSERT_GT(B, Last);
      ASSERT_TRUE(Seen.insert(B).second);
      Last = B;
      if (++Steps % 50 != 0) continue;
      // 60 keys spread over the whole range, crowded near the walker on both sides.
      for (std::int32_t j = 0; j < 60; ++j) {
        const std::int32_t Around = B + (j % 2 ? 1 : -1) * 8 * (j / 2) + Phase;
        const std::int32_t Key = j < 40 ? Around : ((j * 997 + Steps * 131) % 1000) * 8 + Phase + 2 * (Steps % 2);
        if (Key < 0 || Keys.count(Key)) continue;
        Keys.insert(Key);
        if (Key > B) Expected.insert(Key);
        Post(Writer, {NextId++, 1, Key});
      }
    }
    EXPECT_EQ(Seen, Expected);
    EXPECT_EQ(Walk(Walker).size(), Keys.size());
    EXPECT_GT(Keys.size(), Before + 1000);  // several times a leaf's worth
  }
}

// An index added to a temporary table that already holds records orders the cursor by it, both
// ways, and answers FindKey; records posted afterwards take their place in it.
TEST_F(MdbCursorSearchTest, IndexAddedToATemporaryTable) {
  Define({});
  TMdbLocalSession* S = Connect("TEMP");
  std::unique_ptr<TMdbLocalCursor> Owner(static_cast<TMdbLocalCursor*>(S->CreateCursor(u"Result", false)));
  Owner->FTemporary = true;
  Owner->FCreateTableStarted = true;
  Owner->CreateTable(&Fields, nullptr, nullptr);
  Owner->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
  Owner->FCreateTableStarted = false;
  TMdbLocalCursor* C = Keep(std::move(Owner));
  constexpr std::int32_t kRows = 2500;  // spans more than one record block and index page
  for (std::int32_t i = 0; i < kRows; ++i) Post(C, {i, (i * 7919) % kRows, i % 5});
  auto Def = MakeIndex(u"ByA", {{u"A", true}});
  C->AddIndex(Def.get());
  C->SetIndexName(u"ByA");
  ASSERT_NE(C->FIndexID, -1);
  Post(C, {kRows, kRows, 0});
  Post(C, {kRows + 1, -1, 0});
  // A record whose key is NULL: lowest, so last in this descending order.
  C->InternalInitRecord(C->FCurrentRecordBuffer, true);
  const std::int32_t NullId = kRows + 2;
  C->SetFieldData(0, &NullId, C->FCurrentRecordBuffer);
  C->InternalPost(true);
  ASSERT_EQ(C->FErrorCode, 0);

  std::vector<std::int32_t> Forward, Backward;
  for (const TRow& R : Walk(C)) Forward.push_back(R.A);
  ASSERT_EQ(Forward.back(), -1);  // the NULL key reads as no value
  Forward.pop_back();
  C->InternalLast();
  ASSERT_EQ(C->GetRecordBuffer(grmPrior), grrOK);
  EXPECT_EQ(At(C, 0), NullId);
  while (C->GetRecordBuffer(grmPrior) == grrOK) Backward.push_back(At(C, 1));
  std::vector<std::int32_t> Expected{-1, kRows};
  for (std::int32_t i = 0; i < kRows; ++i) Expected.push_back(i);
  std::sort(Expected.rbegin(), Expected.rend());
  EXPECT_EQ(Forward, Expected);
  std::reverse(Expected.begin(), Expected.end());
  EXPECT_EQ(Backward, Expected);

  for (const std::int32_t A : {0, 1234, kRows, -1}) {
    std::vector<Byte> KB = KeyBuffer(C, A, 0, 1);
    C->FKeyBuffer = KB.data();
    C->FKeyFieldCount = 1;
    ASSERT_TRUE(C->FindKey(scEqual)) << A;
    C->FKeyBuffer = nullptr;
    ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
    EXPECT_EQ(At(C, 1), A);
  }
  // A NULL key column finds the NULL record.
  std::vector<Byte> NullKey(static_cast<std::size_t>(C->FKeyBufferSize));
  C->InternalInitRecord(NullKey.data(), false);
  C->FKeyBuffer = NullKey.data();
  C->FKeyFieldCount = 1;
  ASSERT_TRUE(C->FindKey(scEqual));
  C->FKeyBuffer = nullptr;
  ASSERT_EQ(C->GetRecordBuffer(grmCurrent), grrOK);
  EXPECT_EQ(At(C, 0), NullId);
  EXPECT_EQ(NativeCodeOf([&] { C->AddIndex(Def.get()); }), 20022);
}

}  // namespace
