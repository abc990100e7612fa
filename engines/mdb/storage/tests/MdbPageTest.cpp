#include "engines/mdb/storage/MdbPage.h"

#include <cstring>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

using MdbPageTest = MdbStorageTest;

TEST_F(MdbPageTest, NewPageHasNoBufferAndTheStampIsPinned) {
  TMdbMemoryPageManager M;
  TMdbPage P(&M, nullptr);
  EXPECT_EQ(P.PageBuffer(), nullptr);
  EXPECT_EQ(P.PageNo(), -1);
  EXPECT_EQ(P.FStateType, dbstData);
  EXPECT_EQ(P.FTableID, -1);
  EXPECT_TRUE(P.IsHeaderCorrupted());
  P.AllocPageBuffer();
  const Byte Stamp[21] = {'A', 'C', 'S', 'P', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(P.PageBuffer(), Stamp, 21), 0);
  for (int i = 21; i < 4096; ++i) ASSERT_EQ(P.PageBuffer()[i], 0) << i;
  EXPECT_FALSE(P.IsHeaderCorrupted());
  EXPECT_EQ(NativeCodeOf([] { TMdbPage Q(nullptr, nullptr); }), 11867);
}

TEST_F(MdbPageTest, HeaderCheckExemptsIndexPages) {
  TMdbMemoryPageManager M;
  TMdbPage P(&M, nullptr);
  P.AllocPageBuffer();
  P.PageBuffer()[3] = 'Q';
  EXPECT_TRUE(P.IsHeaderCorrupted());
  P.FStateType = dbstIndex;
  EXPECT_FALSE(P.IsHeaderCorrupted());
}

TEST_F(MdbPageTest, EnlargeKeepsTheStoredBytesOfABorrowedBuffer) {
  TMdbMemoryPageManager M;
  TMdbPage P(&M, nullptr);
  EXPECT_EQ(NativeCodeOf([&] { P.EnlargePageBuffer(8192); }), 20038);
  M.InternalAddPage(&P);
  ASSERT_FALSE(P.OwnBuffer());
  Byte* Stored = M.StoredPage(P.PageNo());
  Stored[10] = 0x5A;
  EXPECT_EQ(NativeCodeOf([&] { P.EnlargePageBuffer(4095); }), 20039);
  P.EnlargePageBuffer(8192);
  EXPECT_TRUE(P.OwnBuffer());
  EXPECT_NE(P.PageBuffer(), Stored);
  EXPECT_EQ(std::memcmp(P.PageBuffer(), Stored, 4096), 0);
  P.PageBuffer()[10] = 1;
  EXPECT_EQ(Stored[10], 0x5A);
  EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(P.PageBuffer()), 8192);
  M.InternalRemovePage(P.PageNo());
}

TEST_F(MdbPageTest, SortedPageArrayKeepsKeysAscendingAndReportsDuplicates) {
  TMdbSortedPageArray A(0, 10, 1000);
  for (int k : {5, 1, 9, 3}) A.Insert(k, nullptr);
  ASSERT_EQ(A.Count(), 4);
  EXPECT_EQ((std::vector<int>{A.GetKey(0), A.GetKey(1), A.GetKey(2), A.GetKey(3)}), (std::vector<int>{1, 3, 5, 9}));
  try {
    A.Insert(3, nullptr);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 11803);
    EXPECT_NE(E.Message().find(u"PageNo = 3, index = 1"), String::npos);
  }
  TMdbSortedPageArray One(0, 10, 1000);
  One.Insert(7, nullptr);
  EXPECT_EQ(NativeCodeOf([&] { One.Insert(7, nullptr); }), 11802);

  TMdbSortedPageArray B(0, 10, 1000);
  EXPECT_EQ(NativeCodeOf([&] { B.Delete(1, false); }), 11799);
  B.Delete(1, true);
  for (int k : {1, 3, 5}) B.Insert(k, nullptr);
  B.Delete(4, true);
  EXPECT_EQ(B.Count(), 3);
  try {
    B.Delete(4, false);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 11800);
    EXPECT_NE(E.Message().find(u"Key = 4, itemCount = 3"), String::npos);
  }
  TMdbPage* V = reinterpret_cast<TMdbPage*>(&B);
  B.SetValue(1, V);
  TMdbPage* Found = nullptr;
  EXPECT_EQ(B.Find(3, Found), 1);
  EXPECT_EQ(Found, V);
  EXPECT_EQ(B.Find(4, Found), -1);
  EXPECT_EQ(Found, nullptr);
  EXPECT_EQ(B.GetValue(7), nullptr);
  const struct { int Key; int Pos; } Positions[] = {{0, 0}, {1, 0}, {2, 1}, {5, 2}, {6, 3}};
  for (const auto& C : Positions) EXPECT_EQ(B.FindPosition(C.Key), C.Pos) << C.Key;
}

TEST_F(MdbPageTest, PageArrayKeepsInsertionOrder) {
  TMdbPageArray A(0, 1, 100);
  for (int v : {8, 2, 6, 4}) A.Insert(v, false);
  EXPECT_EQ(A.Insert(8, true), -1);
  EXPECT_EQ(A.Count(), 4);
  EXPECT_EQ(NativeCodeOf([&] { A.Insert(6, false); }), 11812);
  A.DeleteByPosition(1);
  EXPECT_EQ((std::vector<int>{A.GetItem(0), A.GetItem(1), A.GetItem(2)}), (std::vector<int>{8, 6, 4}));
  A.Delete(99);
  A.Delete(8);
  EXPECT_EQ(A.Find(4), 1);
  EXPECT_EQ(A.GetItem(5), -1);
}
