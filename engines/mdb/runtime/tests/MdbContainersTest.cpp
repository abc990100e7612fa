// The growth policy and the containers, the bit set's stream form with hostile input.
#include "engines/mdb/runtime/MdbContainers.h"

#include <random>

#include "engines/mdb/runtime/MdbStreams.h"
#include "MdbTestSupport.h"
#include "platform/classes/StringList.h"

namespace {

using MdbContainersTest = MdbRuntimeTest;

TEST(MdbContainers, IntegerArrayGrowthSteps) {
  TMdbIntegerArray A(0, 10, 100);
  std::vector<int> Allocations;
  for (int i = 0; i < 400; ++i) {
    const int Before = A.AllocItemCount;
    A.Append(i);
    if (A.AllocItemCount != Before) Allocations.push_back(A.AllocItemCount);
  }
  EXPECT_EQ(Allocations, (std::vector<int>{20, 60, 140, 240, 340, 440}));
  EXPECT_EQ(A.IndexOf(399), 399);
  EXPECT_FALSE(A.Add(5));
  EXPECT_TRUE(A.Add(1000));
  A.Delete(0);
  EXPECT_EQ(A.Items[0], 1);
  // Shrinking lags: a cut happens only when the surplus exceeds the shrink step, which then doubles.
  EXPECT_EQ(A.AllocItemCount, 400);
  EXPECT_EQ(A.deAllocBy(), 20);
  A.SetSize(395);
  EXPECT_EQ(A.AllocItemCount, 400);
  A.SetSize(370);
  EXPECT_EQ(A.AllocItemCount, 370);
  EXPECT_EQ(A.deAllocBy(), 40);
  A.SetSize(350);
  EXPECT_EQ(A.AllocItemCount, 370);
  A.SetSize(0);
  EXPECT_EQ(A.AllocItemCount, 0);
  TMdbIntegerArray B(3, 10, 100);
  B.Assign(&A);
  EXPECT_EQ(B.ItemCount, 0);
}

TEST(MdbContainers, ListIndexErrorsAndRelease) {
  TMdbList L(0, 4, 64);
  int Values[5];
  for (auto& v : Values) L.Add(&v);
  L.Delete(2);
  EXPECT_EQ(L.Count(), 4);
  EXPECT_EQ(L.Items(2), &Values[3]);
  EXPECT_EQ(NativeCodeOf([&] { L.Items(4); }), 11611);
  EXPECT_EQ(NativeCodeOf([&] { L.SetItems(-1, nullptr); }), 11610);
  EXPECT_EQ(NativeCodeOf([&] { L.Delete(9); }), 11612);
  try {
    L.SetCapacity(-1);
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 11613);
    EXPECT_EQ(E.Message(), u"Invalid capacity = $d - Native error: 11613");
  }
  L.Remove(&Values[0]);
  EXPECT_EQ(L.IndexOf(&Values[1]), 0);
  TMdbList One(0, 4, 64);
  One.Add(&Values[0]);
  One.Delete(0);
  EXPECT_EQ(One.Count(), 0);
  EXPECT_EQ(One.Capacity(), 0);
}

TEST(MdbContainers, RecordIDCompareModes) {
  TMdbRecordIDArray A(0, 10, 1000);
  A.FInMemory = true;
  EXPECT_EQ(A.CompareRecordID({5, 1}, {5, 2}), 0);
  A.FInMemory = false;
  A.FTemporary = true;
  EXPECT_EQ(A.CompareRecordID({5, 1}, {9, 0}), 1);
  EXPECT_EQ(A.CompareRecordID({-1, 0}, {1, 0}), 1);  // PageNo unsigned here
  A.FTemporary = false;
  EXPECT_EQ(A.CompareRecordID({5, 1}, {9, 0}), -1);
  EXPECT_EQ(A.CompareRecordID({-1, 0}, {1, 0}), -1);

  // In memory mode the linear search (10 items or fewer) tells ids apart by both fields.
  A.FInMemory = true;
  A.Append({7, 1});
  A.Append({7, 2});
  EXPECT_EQ(A.FindRecordByID({7, 2}), 1);
}

TEST(MdbContainers, RecordIDSortAndSearch) {
  for (bool Temporary : {false, true}) {
    TMdbRecordIDArray A(0, 10, 1000);
    A.FTemporary = Temporary;
    std::mt19937 Rng(5);
    for (int i = 0; i < 500; ++i) A.Insert(int(Rng() % (A.ItemCount + 1)), {int(Rng() % 1000) - 500, Word(Rng() % 4)});
    A.FSorted = false;
    A.Sort();
    for (int i = 1; i < A.ItemCount; ++i) EXPECT_LE(A.CompareRecordID(A.Items[i - 1], A.Items[i]), 0);
    for (int i = 0; i < A.ItemCount; i += 37) EXPECT_EQ(A.CompareRecordID(A.Items[A.FindRecordByID(A.Items[i])], A.Items[i]), 0);
    EXPECT_EQ(A.FindRecordByID({100000, 0}), -1);
  }
}

TEST_F(MdbContainersTest, WideStringList) {
  TMdbWideStringList L;
  int Changes = 0;
  L.FOnChange = [&](TMdbWideStringList*) { ++Changes; };
  L.SetText(u"x\r\ny\rz");
  EXPECT_EQ(L.Count(), 3);
  EXPECT_EQ(L.Text(), u"x\r\ny\r\nz\r\n");
  EXPECT_EQ(L.Add(u"y", true), -1);
  EXPECT_EQ(L.Add(u"Y", true), 3);
  EXPECT_EQ(L.Strings(9), u"");
  L.SetStrings(9, u"ignored");
  EXPECT_FALSE(L.Unicode());
  L.SetStrings(0, u"\u4E00");
  EXPECT_TRUE(L.Unicode());
  EXPECT_EQ(Changes, 5);
  L.SetText(std::u16string_view(u"b\nA\0c", 5));
  L.Sort();
  EXPECT_EQ(L.Text(), u"A\r\nb\r\nc\r\n");

  TStringList Platform;
  Platform.Add(u"p1");
  Platform.Add(u"p2");
  TMdbWideStringList Copy;
  Copy.Assign(&Platform);
  EXPECT_EQ(Copy.Text(), u"p1\r\np2\r\n");
  Copy.Assign(&L);
  EXPECT_EQ(Copy.Text(), L.Text());
  EXPECT_EQ(NativeCodeOf([&] { Copy.Assign(nullptr); }), 11947);
  TPersistent Other;
  EXPECT_EQ(NativeCodeOf([&] { Copy.Assign(&Other); }), 11946);
  EXPECT_EQ(NativeCodeOf([&] { Copy.ExportToTstrings(nullptr); }), 12110);
  TStringList Out;
  Copy.ExportToTstrings(&Out);
  EXPECT_EQ(Out.Count(), 3);
}

TEST_F(MdbContainersTest, BitsArrayStreamForm) {
  TMdbBitsArray B;
  B.SetSize(9);
  B.SetBit(0, true);
  B.SetBit(8, true);
  B.SetBit(8, true);
  EXPECT_EQ(B.NonZeroBitCount(), 2);
  EXPECT_EQ(NativeCodeOf([&] { B.GetBit(9); }), 10394);
  EXPECT_EQ(NativeCodeOf([&] { B.SetBit(-1, true); }), 10395);
  std::int32_t At = -1;
  EXPECT_TRUE(B.Find(false, At));
  EXPECT_EQ(At, 1);
  TMdbMemoryStream S;
  B.SaveToStream(&S);
  const std::vector<Byte> Saved(static_cast<Byte*>(S.Buffer()), static_cast<Byte*>(S.Buffer()) + S.Size());
  EXPECT_EQ(Saved, HexBytes("09000000 02000000 0101"));

  // Shrinking drops the bits beyond the count, so growing again reads zeros.
  B.SetSize(4);
  EXPECT_EQ(B.NonZeroBitCount(), 1);
  B.SetSize(16);
  EXPECT_FALSE(B.GetBit(8));
  EXPECT_EQ(B.NonZeroBitCount(), 1);

  TMdbBitsArray Loaded;
  S.SetPosition(0);
  Loaded.LoadFromStream(&S);
  EXPECT_EQ(Loaded.Size(), 9);
  EXPECT_TRUE(Loaded.GetBit(8));
}

TEST_F(MdbContainersTest, BitsArrayRefusesDamagedStreams) {
  TMdbBitsArray Source;
  Source.SetSize(20);
  for (int i = 0; i < 20; i += 3) Source.SetBit(i, true);
  TMdbMemoryStream Good;
  Source.SaveToStream(&Good);
  const std::vector<Byte> Bytes(static_cast<Byte*>(Good.Buffer()), static_cast<Byte*>(Good.Buffer()) + Good.Size());

  struct Case {
    std::vector<Byte> Data;
    int Code;
  };
  std::vector<Case> Cases = {
      {HexBytes("ffffffff 00000000"), 10401},            // negative bit count
      {HexBytes("09000000 05000000 ff"), 10402},         // bytes missing
      {HexBytes("ffffff7f 00000000"), 10402},            // a huge count with nothing behind it
      {HexBytes("09000000 03000000 0101"), 10426},       // set-bit count disagrees
      {HexBytes("09000000 0a000000 ffff"), 10426},       // more set bits than bits
  };
  for (std::size_t Cut = 0; Cut < Bytes.size(); ++Cut)
    Cases.push_back({std::vector<Byte>(Bytes.begin(), Bytes.begin() + Cut), Cut < 4 ? 10401 : Cut < 8 ? 10426 : 10402});
  for (const auto& C : Cases) {
    TMdbBitsArray Target;
    Target.SetSize(3);
    Target.SetBit(1, true);
    TMdbMemoryStream S;
    S.Write(C.Data.data(), Int64(C.Data.size()));
    S.SetPosition(0);
    EXPECT_EQ(NativeCodeOf([&] { Target.LoadFromStream(&S); }), C.Code) << C.Data.size();
    EXPECT_EQ(Target.Size(), 3);
    EXPECT_TRUE(Target.GetBit(1));
    EXPECT_EQ(Target.NonZeroBitCount(), 1);
  }
  // Random flips: either a clean load whose counts agree, or the site's code.
  std::mt19937 Rng(11);
  for (int Round = 0; Round < 300; ++Round) {
    std::vector<Byte> Data = Bytes;
    Data[Rng() % Data.size()] ^= Byte(1u << (Rng() % 8));
    TMdbBitsArray Target;
    TMdbMemoryStream S;
    S.Write(Data.data(), Int64(Data.size()));
    S.SetPosition(0);
    const int Code = NativeCodeOf([&] { Target.LoadFromStream(&S); });
    if (Code == -1) {
      int Set = 0;
      for (int i = 0; i < Target.Size(); ++i) Set += Target.GetBit(i);
      EXPECT_EQ(Set, Target.NonZeroBitCount());
    } else {
      EXPECT_TRUE(Code == 10401 || Code == 10426 || Code == 10402) << Code;
    }
  }
}

TEST(MdbContainers, BlockHeaderPositions) {
  TMdbCompressedStreamBlockHeadersArray A;
  EXPECT_EQ(A.FindPosition(50), 0);
  for (Int64 i = 0; i < 25; ++i) A.AppendItem({}, 100 + i * 10);
  EXPECT_EQ(A.AllocItemCount, 60);
  EXPECT_EQ(A.FindPosition(0), 0);
  EXPECT_EQ(A.FindPosition(100), 0);
  EXPECT_EQ(A.FindPosition(129), 2);
  EXPECT_EQ(A.FindPosition(130), 3);
  EXPECT_EQ(A.FindPosition(100000), 24);
}

}  // namespace
