#include "engines/mdb/storage/MdbPageManager.h"

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

using MdbPageManagerTest = MdbStorageTest;

namespace {
void RemoveAll(TMdbPageManager& M, std::int32_t Upto) {
  for (std::int32_t n = 0; n < Upto; ++n) M.InternalRemovePage(n);
}
}  // namespace

TEST_F(MdbPageManagerTest, NumbersAreDenseAndTheLowestFreeIsReused) {
  TMdbMemoryPageManager M;
  EXPECT_EQ(M.DirectAddPage(), 0);
  EXPECT_EQ(M.DirectAddPage(), 1);
  EXPECT_EQ(M.DirectAddPage(), 2);
  EXPECT_EQ(M.AllocatedPageCount(), 50);
  M.DirectRemovePage(1);
  M.DirectRemovePage(1);  // twice: the count must not drop again
  EXPECT_EQ(M.PageCount(), 2);
  EXPECT_EQ(M.DirectAddPage(), 1);
  EXPECT_EQ(M.PageCount(), 3);
  for (int n = 3; n < 50; ++n) ASSERT_EQ(M.DirectAddPage(), n);
  EXPECT_EQ(M.AllocatedPageCount(), 50);
  EXPECT_EQ(M.DirectAddPage(), 50);
  EXPECT_EQ(M.AllocatedPageCount(), 100);
  EXPECT_NE(M.StoredPage(99), nullptr);
  EXPECT_EQ(M.LastAllocatedPageNo(), 50);
  RemoveAll(M, 51);
  EXPECT_EQ(M.PageCount(), 0);
  EXPECT_NO_THROW(M.CheckAllPagesReleased());
}

TEST_F(MdbPageManagerTest, ReadingBorrowsTheStoredBytesAndWritingCopiesAnOwnedBuffer) {
  TMdbMemoryPageManager M;
  TMdbPage P(&M, nullptr);
  M.InternalAddPage(&P);
  EXPECT_EQ(P.PageBuffer(), M.StoredPage(0));
  TMdbPage Own(&M, nullptr);
  Own.AllocPageBuffer();
  Own.SetPageNo(0);
  Own.PageBuffer()[100] = 7;
  M.DirectWritePage(&Own);
  EXPECT_EQ(M.StoredPage(0)[100], 7);
  EXPECT_EQ(std::memcmp(M.StoredPage(0), "ACSP", 4), 0);
  Own.PageBuffer()[0] = 'X';
  EXPECT_EQ(NativeCodeOf([&] { M.DirectWritePage(&Own); }), 12295);
  M.DirectReadPage(&Own);
  EXPECT_FALSE(Own.OwnBuffer());
  EXPECT_EQ(Own.PageBuffer(), M.StoredPage(0));
  M.DirectRemovePage(0);
  EXPECT_EQ(NativeCodeOf([&] { M.DirectReadPage(&Own); }), 10392);
  Own.SetPageNo(0);
  Own.FreeAndNilPageBuffer();
  EXPECT_EQ(NativeCodeOf([&] { M.DirectReadPage(&Own); }), 11869);
  EXPECT_EQ(NativeCodeOf([&] { M.DirectWritePage(nullptr); }), 11870);
}

TEST_F(MdbPageManagerTest, DestroyingWithLivePagesReportsAndFreesEverything) {
  {
    TMdbMemoryPageManager M;
    M.DirectAddPage();
    EXPECT_EQ(NativeCodeOf([&] { M.CheckAllPagesReleased(); }), 20023);
  }
  ASSERT_EQ(Diagnostics.size(), 1u);
  EXPECT_NE(Diagnostics[0].find(u"Index pages are not released"), String::npos);
  {
    TMdbTemporaryPageManager T(2);
    T.DirectAddPage();
    T.DirectAddPage();
    T.DirectAddPage();
    EXPECT_EQ(NativeCodeOf([&] { T.CheckAllPagesReleased(); }), 20036);
  }
  EXPECT_GE(Diagnostics.size(), 2u);
}

TEST_F(MdbPageManagerTest, BlockLayoutAndRoundTrip) {
  TMdbMemoryPageManager Empty;
  TMdbMemoryStream S0;
  Empty.SaveToStream(&S0);
  const auto Bytes0 = StreamBytes(S0);
  const std::vector<Byte> Golden = {0, 0, 0, 0, 0, 0, 0, 0, 50, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes0, Golden);

  TMdbMemoryPageManager M;
  M.DirectAddPage();
  M.DirectAddPage();
  M.DirectRemovePage(0);
  M.StoredPage(1)[7] = 0x42;
  M.StoredPage(49)[4095] = 0x43;  // a free slot's bytes travel too
  TMdbMemoryStream S;
  M.SaveToStream(&S);
  EXPECT_EQ(S.Size(), 204835);
  TMdbMemoryPageManager L;
  S.SetPosition(0);
  L.LoadFromStream(&S);
  EXPECT_EQ(S.Position(), S.Size());
  EXPECT_EQ(L.AllocatedPageCount(), 50);
  EXPECT_EQ(L.LastAllocatedPageNo(), 1);
  EXPECT_EQ(L.PageCount(), 1);
  EXPECT_FALSE(L.AllocatedPageMap().GetBit(0));
  EXPECT_TRUE(L.AllocatedPageMap().GetBit(1));
  for (int n = 0; n < 50; ++n) ASSERT_EQ(std::memcmp(L.StoredPage(n), M.StoredPage(n), 4096), 0) << n;
  EXPECT_EQ(L.DirectAddPage(), 0);
  RemoveAll(L, 2);
  M.DirectRemovePage(1);
}

// Cuts at every byte and flipped bytes: a bad block raises a code and leaves the loaded state alone.
TEST_F(MdbPageManagerTest, DamagedBlocksRaiseAndKeepTheManager) {
  TMdbMemoryPageManager M;
  M.DirectAddPage();
  M.DirectAddPage();
  M.StoredPage(0)[9] = 9;
  TMdbMemoryStream S;
  M.SaveToStream(&S);
  const auto Good = StreamBytes(S);
  RemoveAll(M, 2);

  TMdbMemoryPageManager Target;
  Target.DirectAddPage();
  Target.StoredPage(0)[1] = 0x77;
  auto Unchanged = [&] {
    return Target.PageCount() == 1 && Target.AllocatedPageCount() == 50 && Target.StoredPage(0)[1] == 0x77 &&
           Target.AllocatedPageMap().GetBit(0);
  };
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    TByteViewStream V(Good, static_cast<Int64>(Cut));
    const int Code = NativeCodeOf([&] { Target.LoadFromStream(&V); });
    ASSERT_GE(Code, 10369) << Cut;
    ASSERT_TRUE(Unchanged()) << Cut;
  }
  std::mt19937 Rng(22);
  const std::size_t HeaderAndMap = 28 + 7;
  int Raised = 0;
  for (int i = 0; i < 200; ++i) {
    auto Bad = Good;
    const std::size_t At = Rng() % HeaderAndMap;
    Bad[At] ^= static_cast<Byte>(1 + Rng() % 255);
    TByteViewStream V(Bad, static_cast<Int64>(Bad.size()));
    TMdbMemoryPageManager Fresh;
    const int Code = NativeCodeOf([&] { Fresh.LoadFromStream(&V); });
    if (Code != -1) {
      ++Raised;
      ASSERT_EQ(Fresh.PageCount(), 0);
    } else {
      // A flip that still reads as a sound block (a free slot's bit pattern cannot do that: counts are
      // checked) must leave a manager that can hand out and release its pages.
      RemoveAll(Fresh, Fresh.AllocatedPageCount());
    }
  }
  EXPECT_GT(Raised, 150);
  RemoveAll(Target, 1);
}

TEST_F(MdbPageManagerTest, TemporaryManagerSpillsAboveItsLimit) {
  TMdbTemporaryPageManager T(2);
  EXPECT_EQ(T.DirectAddPage(), 0);
  EXPECT_EQ(T.DirectAddPage(), 1);
  EXPECT_EQ(T.TempPageFile(), nullptr);
  EXPECT_EQ(T.DirectAddPage(), 2);
  TMdbPage P3(&T, nullptr);
  T.InternalAddPage(&P3);
  EXPECT_EQ(P3.PageNo(), 3);
  EXPECT_TRUE(P3.OwnBuffer());
  P3.PageBuffer()[4000] = 0x33;
  T.DirectWritePage(&P3);
  EXPECT_EQ(T.TempPageFile()->Size(), 8192);
  EXPECT_EQ(T.DirectAddPage(), 4);
  TMdbPage R(&T, nullptr);
  R.AllocPageBuffer();
  R.SetPageNo(3);
  T.DirectReadPage(&R);
  EXPECT_EQ(R.PageBuffer()[4000], 0x33);
  T.DirectRemovePage(0);
  EXPECT_EQ(T.DirectAddPage(), 5);
  EXPECT_EQ(T.MemoryPageManager()->PageCount(), 1);

  TMdbPage Low(&T, nullptr);
  Low.SetPageNo(1);
  T.InitPage(&Low);
  EXPECT_FALSE(Low.OwnBuffer());
  T.DirectRemovePage(0);
  EXPECT_EQ(NativeCodeOf([&] {
              Low.SetPageNo(0);
              Low.AllocPageBuffer();
              T.DirectReadPage(&Low);
            }),
            10396);

  TMdbMemoryStream S;
  T.SaveToStream(&S);
  const auto Good = StreamBytes(S);
  TMdbTemporaryPageManager L(7);
  S.SetPosition(0);
  L.LoadFromStream(&S);
  EXPECT_EQ(L.MaxMemoryPageCount(), 2);
  EXPECT_EQ(L.PageCount(), T.PageCount());
  TMdbPage R2(&L, nullptr);
  R2.AllocPageBuffer();
  R2.SetPageNo(3);
  L.DirectReadPage(&R2);
  EXPECT_EQ(R2.PageBuffer()[4000], 0x33);

  TMdbTemporaryPageManager Target(2);
  for (std::size_t Cut = 0; Cut < Good.size(); Cut += (Cut < 300 || Good.size() - Cut < 300) ? 1 : 97) {
    TByteViewStream V(Good, static_cast<Int64>(Cut));
    ASSERT_NE(NativeCodeOf([&] { Target.LoadFromStream(&V); }), -1) << Cut;
    ASSERT_EQ(Target.PageCount(), 0);
    ASSERT_EQ(Target.AllocatedPageCount(), 0);
  }
  for (int n = 0; n < 6; ++n) {
    T.InternalRemovePage(n);
    L.InternalRemovePage(n);
  }
}
