#include "engines/mdb/storage/MdbRecordCaches.h"

#include <algorithm>
#include <vector>

#include "engines/mdb/storage/MdbTableData.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

using MdbRecordCachesTest = MdbStorageTest;

namespace {
// A table data that only counts its records.
class TCountingTableData : public TMdbTableData {
 public:
  Int64 InternalGetRecordCount() override { return Count; }
  Int64 Count = 0;
};
TMdbRecordID Id(std::int32_t PageNo) { return TMdbRecordID{PageNo, 0}; }

std::vector<std::int32_t> Walk(const TMdbRecordBitmap& B, bool Forward) {
  std::vector<std::int32_t> Out;
  TMdbNavigationInfo N;
  N.FirstPosition = Forward;
  N.LastPosition = !Forward;
  N.GetRecordMode = Forward ? grmNext : grmPrior;
  for (;;) {
    B.GetRecord(N);
    if (N.GetRecordResult != grrOK) break;
    N.FirstPosition = N.LastPosition = false;
    const std::int32_t PageNo = N.RecordID.PageNo;
    Out.push_back(PageNo);
  }
  return Out;
}
}  // namespace

TEST_F(MdbRecordCachesTest, ShowingKeepsOrderAndCatchesDuplicatesWhileSorted) {
  EXPECT_EQ(NativeCodeOf([] { TMdbRecordBitmap B(nullptr); }), 10425);
  TCountingTableData T;
  TMdbRecordBitmap B(&T);
  for (int p : {1, 2, 3}) B.ShowRecord(Id(p));
  EXPECT_TRUE(B.VisibleRecords().FSorted);
  EXPECT_EQ(NativeCodeOf([&] { B.ShowRecord(Id(3)); }), 11328);
  EXPECT_EQ(B.GetRecordCount(), 3);
  B.ShowRecord(Id(0));
  EXPECT_FALSE(B.VisibleRecords().FSorted);
  B.ShowRecord(Id(3));  // no longer detected once unsorted
  EXPECT_EQ(B.GetRecordCount(), 5);
}

TEST_F(MdbRecordCachesTest, RecordNumbersAgreeSortedAndUnsorted) {
  TCountingTableData T;
  TMdbRecordBitmap Sorted(&T), Unsorted(&T);
  for (int p = 0; p < 15; ++p) Sorted.ShowRecord(Id(p * 2));
  for (int p = 14; p >= 0; --p) Unsorted.ShowRecord(Id(p * 2));
  for (int p = 0; p < 15; ++p) {
    EXPECT_EQ(Sorted.GetRecNoByRecordID(Id(p * 2)), p + 1);
    EXPECT_EQ(Unsorted.GetRecNoByRecordID(Id(p * 2)), 15 - p);
    EXPECT_EQ(Sorted.GetRecordIDByRecNo(p + 1).PageNo, p * 2);
  }
  EXPECT_EQ(Sorted.GetRecNoByRecordID(Id(3)), -1);
  EXPECT_EQ(NativeCodeOf([&] { Sorted.GetRecordIDByRecNo(0); }), 11326);
  EXPECT_EQ(NativeCodeOf([&] { Sorted.GetRecordIDByRecNo(16); }), 11326);
}

TEST_F(MdbRecordCachesTest, NavigationInsertAndHide) {
  TCountingTableData T;
  T.Count = 50;
  TMdbRecordBitmap B(&T);
  B.PrepareBitmapForActivation();
  for (int p : {10, 20, 30}) B.ShowRecord(Id(p));
  EXPECT_TRUE(Walk(B, true).empty());  // inactive: nothing, even with ids present
  TMdbNavigationInfo N;
  B.GetRecord(N);
  EXPECT_EQ(N.GetRecordResult, grrError);
  B.SetActive(true);
  EXPECT_EQ(Walk(B, true), (std::vector<std::int32_t>{10, 20, 30}));
  // After the second-to-last id, at the front, at the end.
  B.InsertVisibleRecord(Id(25), Id(20), false, false);
  B.InsertVisibleRecord(Id(5), Id(0), true, false);
  B.InsertVisibleRecord(Id(99), Id(0), false, true);
  EXPECT_EQ(Walk(B, true), (std::vector<std::int32_t>{5, 10, 20, 25, 30, 99}));
  EXPECT_EQ(Walk(B, false), (std::vector<std::int32_t>{99, 30, 25, 20, 10, 5}));
  EXPECT_EQ(NativeCodeOf([&] { B.InsertVisibleRecord(Id(1), Id(77), false, false); }), 11332);
  B.HideRecord(Id(25));
  EXPECT_EQ(NativeCodeOf([&] { B.HideRecord(Id(25)); }), 11327);
  const struct { bool First, Last; TMdbGetRecordMode Mode; std::int32_t From; TMdbGetRecordResult Result; } Cases[] = {
      {true, false, grmCurrent, 0, grrError}, {true, false, grmPrior, 0, grrBOF}, {false, true, grmNext, 0, grrEOF},
      {false, true, grmCurrent, 0, grrError}, {false, false, grmCurrent, 25, grrError}, {false, false, grmCurrent, 20, grrOK},
      {false, false, grmNext, 99, grrEOF},    {false, false, grmPrior, 5, grrBOF},
  };
  for (const auto& C : Cases) {
    TMdbNavigationInfo Q;
    Q.FirstPosition = C.First;
    Q.LastPosition = C.Last;
    Q.GetRecordMode = C.Mode;
    Q.RecordID = Id(C.From);
    B.GetRecord(Q);
    EXPECT_EQ(Q.GetRecordResult, C.Result) << C.From << " " << int(C.Mode);
  }
  B.SetDistinct(true);
  EXPECT_TRUE(B.IsRecordVisible(Id(1000)));
  B.SetDistinct(false);
  EXPECT_TRUE(B.IsRecordVisible(Id(1000)));
  EXPECT_FALSE(B.IsRecordVisible(Id(1001)));
  B.SetActive(false);
  EXPECT_EQ(B.GetRecordCount(), 0);
}

TEST_F(MdbRecordCachesTest, BufferCacheLendsAndReuses) {
  TMdbRecordBufferCache C(84);
  Byte* A = C.GetBuffer();
  Byte* B = C.GetBuffer();
  EXPECT_NE(A, B);
  C.FreeBuffer(A);
  C.FreeBuffer(A + 1);  // not a pooled address: ignored
  EXPECT_EQ(C.GetBuffer(), A);
  EXPECT_EQ(C.PooledCount(), 2);
  EXPECT_NE(C.GetBuffer(), B);
  EXPECT_EQ(C.PooledCount(), 3);
}

TEST_F(MdbRecordCachesTest, FindCacheClearKeepsItemsInUse) {
  TCountingTableData T;
  TMdbFindRecordCache C(&T);
  for (std::uint32_t Use : {0u, 2u, 0u, 1u}) {
    auto Item = std::make_unique<TMdbFindRecordCacheItem>();
    Item->UseCount = Use;
    Item->SearchExpression = std::make_unique<TObject>();
    C.Add(std::move(Item));
  }
  C.Clear(false);
  EXPECT_EQ(C.Count(), 2);
  C.Clear(true);
  EXPECT_EQ(C.Count(), 0);
}

// A large unsorted set answers through its position map: every lookup agrees with a plain model
// while ids are appended, hidden, inserted in the middle and reordered.
TEST_F(MdbRecordCachesTest, UnsortedSetLookupsFollowEveryChange) {
  TCountingTableData T;
  TMdbRecordBitmap B(&T);
  B.SetActive(true);
  std::vector<std::int32_t> Model;
  for (std::int32_t i = 0; i < 300; ++i) Model.push_back((i * 7919) % 1000 + 1);  // distinct, unsorted
  for (std::int32_t p : Model) B.ShowRecord(Id(p));
  const auto Check = [&](const char* Step) {
    ASSERT_EQ(B.GetRecordCount(), Int64(Model.size())) << Step;
    EXPECT_EQ(Walk(B, true), Model) << Step;
    for (std::size_t i = 0; i < Model.size(); i += 13) {
      EXPECT_TRUE(B.IsRecordVisible(Id(Model[i]))) << Step;
      EXPECT_EQ(B.GetRecNoByRecordID(Id(Model[i])), Int64(i) + 1) << Step;
    }
    EXPECT_FALSE(B.IsRecordVisible(Id(5000))) << Step;
  };
  Check("shown");
  B.ShowRecord(Id(2000));
  Model.push_back(2000);
  Check("appended");
  B.HideRecord(Id(Model[10]));
  Model.erase(Model.begin() + 10);
  Check("hidden");
  B.InsertVisibleRecord(Id(3000), Id(Model[50]), false, false);
  Model.insert(Model.begin() + 51, 3000);
  Check("inserted");
  TMdbRecordIDArray& A = B.ReorderRecords(false);
  std::reverse(A.Items.begin(), A.Items.begin() + A.ItemCount);
  std::reverse(Model.begin(), Model.end());
  Check("reordered");
}
