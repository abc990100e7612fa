#include "engines/mdb/storage/MdbRecordManager.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

using MdbRecordManagerTest = MdbStorageTest;

namespace {
constexpr std::int32_t kSize = 12;  // a null byte, an Int32 at offset 1, padding

std::vector<Byte> Row(std::int32_t Value) {
  std::vector<Byte> R(kSize, 0);
  std::memcpy(R.data() + 1, &Value, 4);
  return R;
}
std::int32_t ValueOf(const Byte* R) {
  std::int32_t v;
  std::memcpy(&v, R + 1, 4);
  return v;
}
TMdbRecordID Add(TMdbMemoryRecordManager& M, std::int32_t Value) {
  TMdbRecordID Id;
  const auto R = Row(Value);
  EXPECT_TRUE(M.AddRecord(R.data(), Id, 1));
  return Id;
}
bool Delete(TMdbMemoryRecordManager& M, std::int32_t Slot) {
  TMdbRecordID Id{Slot, 0};
  return M.DeleteRecord(Id, 1);
}
// Walks the table forwards and returns the values met.
std::vector<std::int32_t> Forward(TMdbMemoryRecordManager& M) {
  std::vector<std::int32_t> Out;
  std::vector<Byte> Buf(kSize);
  TMdbNavigationInfo N;
  N.RecordBuffer = Buf.data();
  N.FirstPosition = true;
  N.GetRecordMode = grmNext;
  for (;;) {
    M.GetRecordBuffer(N);
    if (N.GetRecordResult != grrOK) break;
    Out.push_back(ValueOf(Buf.data()));
  }
  return Out;
}
std::vector<std::int32_t> Backward(TMdbMemoryRecordManager& M) {
  std::vector<std::int32_t> Out;
  std::vector<Byte> Buf(kSize);
  TMdbNavigationInfo N;
  N.RecordBuffer = Buf.data();
  N.LastPosition = true;
  N.GetRecordMode = grmPrior;
  for (;;) {
    M.GetRecordBuffer(N);
    if (N.GetRecordResult != grrOK) break;
    Out.push_back(ValueOf(Buf.data()));
  }
  return Out;
}
}  // namespace

TEST_F(MdbRecordManagerTest, SlotsGrowByTheAllocationStepThenByReallocDelta) {
  EXPECT_EQ(NativeCodeOf([] { TMdbMemoryRecordManager M(nullptr, 0, 1000); }), 10011);
  TMdbMemoryRecordManager M(nullptr, kSize, 1000);
  Add(M, 0);
  EXPECT_EQ(M.AllocatedRecordCount(), 1000);
  for (int i = 1; i < 1000; ++i) Add(M, i);
  EXPECT_EQ(M.AllocatedRecordCount(), 1000);
  const auto Id = Add(M, 1000);
  EXPECT_EQ(Id.PageNo, 1000);
  EXPECT_EQ(M.AllocatedRecordCount(), 1000 + CalcReallocDelta(1001 * kSize) / kSize);
  EXPECT_EQ(M.RecordCount(), 1001);

  TMdbMemoryRecordManager One(nullptr, kSize, 0);
  Add(One, 5);
  EXPECT_EQ(One.AllocatedRecordCount(), 1);
  Add(One, 6);
  EXPECT_EQ(One.AllocatedRecordCount(), 2);

  // The slot count keeps following the fixed steps while the storage beneath grows ahead of it:
  // every record stays intact and every newly counted slot is free in the delete bitmap (the slot
  // bytes themselves come from reused pages and are written whole when a record takes the slot).
  TMdbMemoryRecordManager Big(nullptr, kSize, 1000);
  std::int32_t Expected = 0;
  for (std::int32_t i = 0; i < 30000; ++i) {
    if (i >= Expected) {
      Expected = Expected == 0 ? 1000 : Expected + static_cast<std::int32_t>(CalcReallocDelta(Int64(i + 1) * kSize) / kSize);
      const auto Id = Add(Big, i);
      ASSERT_EQ(Big.AllocatedRecordCount(), Expected) << i;
      for (std::int32_t s = Id.PageNo + 1; s < Expected; s += 97)
        ASSERT_FALSE(Big.IsSlotDeleted(s)) << s;
    } else {
      Add(Big, i);
    }
  }
  for (std::int32_t i = 0; i < 30000; i += 1013) EXPECT_EQ(ValueOf(Big.SlotBuffer(i)), i);
}

TEST_F(MdbRecordManagerTest, AddDeleteNavigateAndRecordNumbers) {
  TMdbMemoryRecordManager M(nullptr, kSize, 1000);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Add(M, i).PageNo, i);
  EXPECT_EQ(M.GetRecordIDByRecNo(4 - 1), 3);  // no deletions: record number n is slot n - 1
  EXPECT_TRUE(Delete(M, 3));
  EXPECT_FALSE(Delete(M, 3));
  EXPECT_FALSE(Delete(M, 10));
  EXPECT_FALSE(M.NoRecordsDeleted());
  const struct { Int64 RecNo; Int64 Slot; } Map[] = {{1, 0}, {3, 2}, {4, 4}, {5, 5}, {9, 9}, {0, -1}, {10, -1}};
  for (const auto& C : Map) {
    EXPECT_EQ(M.GetRecordIDByRecNo(C.RecNo - 1), C.Slot) << C.RecNo;
    if (C.Slot >= 0) {
      EXPECT_EQ(M.GetRecNoByRecordID(C.Slot), C.RecNo) << C.Slot;
    }
  }
  EXPECT_EQ(M.GetRecNoByRecordID(5000), -1);
  EXPECT_EQ(Forward(M), (std::vector<std::int32_t>{0, 1, 2, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Backward(M), (std::vector<std::int32_t>{9, 8, 7, 6, 5, 4, 2, 1, 0}));

  // Highest slot deleted: its number is taken again; a middle slot's is not.
  TMdbRecordID Last{9, 0};
  EXPECT_TRUE(M.DeleteRecord(Last, 1));
  EXPECT_EQ(Last.PageNo, 8);
  EXPECT_EQ(Add(M, 90).PageNo, 9);
  EXPECT_EQ(Add(M, 100).PageNo, 10);
  EXPECT_TRUE(Delete(M, 0));
  EXPECT_EQ(M.FirstRecordID(), 1);
  EXPECT_EQ(Forward(M).front(), 1);

  // Current, beyond-the-ends and from-a-gap steps.
  std::vector<Byte> Buf(kSize);
  const struct { std::int32_t From; TMdbGetRecordMode Mode; TMdbGetRecordResult Result; std::int32_t To; } Steps[] = {
      {3, grmCurrent, grrError, 3}, {4, grmCurrent, grrOK, 4},  {3, grmNext, grrOK, 4},  {3, grmPrior, grrOK, 2},
      {10, grmNext, grrEOF, 11},    {1, grmPrior, grrBOF, 0},   {0, grmNext, grrOK, 1},  {500, grmPrior, grrOK, 10},
      {999, grmNext, grrEOF, 999},  {0, grmPrior, grrBOF, 0},
  };
  for (const auto& S : Steps) {
    TMdbNavigationInfo N;
    N.RecordBuffer = Buf.data();
    N.RecordID.PageNo = S.From;
    N.GetRecordMode = S.Mode;
    M.GetRecordBuffer(N);
    EXPECT_EQ(N.GetRecordResult, S.Result) << S.From << " " << int(S.Mode);
    const std::int32_t Reached = N.RecordID.PageNo;
    if (S.Result == grrOK) {
      EXPECT_EQ(Reached, S.To) << S.From;
    }
  }

  TMdbRecordID Probe{4, 0};
  EXPECT_TRUE(M.IsRecordExists(Probe, 1));
  Probe.PageNo = 3;
  EXPECT_FALSE(M.IsRecordExists(Probe, 1));
  Probe.PageNo = -1;
  EXPECT_FALSE(M.IsRecordExists(Probe, 1));
}

TEST_F(MdbRecordManagerTest, DeletingTheOnlyRecordEmptiesTheManager) {
  TMdbMemoryRecordManager M(nullptr, kSize, 1000);
  Add(M, 1);
  Add(M, 2);
  EXPECT_TRUE(Delete(M, 0));
  EXPECT_TRUE(Delete(M, 1));
  EXPECT_EQ(M.AllocatedRecordCount(), 0);
  EXPECT_EQ(M.FirstRecordID(), 0);
  EXPECT_EQ(M.LastRecordID(), 0);
  EXPECT_EQ(Add(M, 3).PageNo, 0);
  TMdbNavigationInfo N;
  M.Empty(1);
  M.GetRecordBuffer(N);
  EXPECT_EQ(N.GetRecordResult, grrEOF);
}

TEST_F(MdbRecordManagerTest, UpdateAndApproximateRecNo) {
  TMdbMemoryRecordManager M(nullptr, kSize, 1000);
  for (int i = 0; i < 5; ++i) Add(M, i);
  auto R = Row(77);
  EXPECT_TRUE(M.UpdateRecord(R.data(), TMdbRecordID{2, 0}, 1));
  EXPECT_EQ(ValueOf(M.SlotBuffer(2)), 77);
  Delete(M, 3);
  EXPECT_FALSE(M.UpdateRecord(R.data(), TMdbRecordID{3, 0}, 1));
  EXPECT_FALSE(M.UpdateRecord(R.data(), TMdbRecordID{9, 0}, 1));
  const struct { std::int32_t Slot; Int64 Expected; } Cases[] = {{0, 1}, {2, 3}, {4, 5}, {9, -1}};
  // (p - first) / count x (last - first) + 1 with count 4, rounded half to even.
  for (const auto& C : Cases) EXPECT_EQ(M.GetApproximateRecNo(TMdbRecordID{C.Slot, 0}, 1), C.Expected) << C.Slot;
}

TEST_F(MdbRecordManagerTest, BlockRoundTripPutsEveryRecordBackInItsSlot) {
  TMdbMemoryRecordManager M(nullptr, kSize, 16);
  for (int i = 0; i < 20; ++i) Add(M, i * 10);
  for (int s : {0, 3, 8, 9, 19}) Delete(M, s);
  TMdbMemoryStream S;
  M.SaveToStream(&S);
  const Int64 BlockSize = S.Size();
  EXPECT_EQ(BlockSize, 13 + (M.AllocatedRecordCount() + 7) / 8);
  // The table stream writes the live records after the block.
  std::vector<std::int32_t> LiveSlots;
  for (std::int32_t s = M.FirstRecordID(); s <= M.LastRecordID(); ++s)
    if (!M.IsSlotDeleted(s)) {
      LiveSlots.push_back(s);
      S.Write(M.SlotBuffer(s), kSize);
    }
  S.SetPosition(0);
  TMdbMemoryRecordManager L(nullptr, kSize, 16);
  L.LoadFromStream(&S);
  std::int32_t Pos = -1;
  std::vector<Byte> Buf(kSize);
  for (std::size_t i = 0; i < LiveSlots.size(); ++i) {
    S.Read(Buf.data(), kSize);
    L.AddLoadedRecord(Buf.data(), Pos);
    EXPECT_EQ(Pos, LiveSlots[i]);
  }
  EXPECT_EQ(L.RecordCount(), M.RecordCount());
  EXPECT_EQ(Forward(L), Forward(M));
  EXPECT_EQ(L.GetRecNoByRecordID(10), M.GetRecNoByRecordID(10));
  // One record more than the block holds is refused.
  EXPECT_EQ(NativeCodeOf([&] { L.AddLoadedRecord(Buf.data(), Pos); }), 10847);
}

TEST_F(MdbRecordManagerTest, DamagedBlocksRaiseAndKeepTheRecords) {
  TMdbMemoryRecordManager M(nullptr, kSize, 16);
  for (int i = 0; i < 12; ++i) Add(M, i);
  Delete(M, 4);
  TMdbMemoryStream S;
  M.SaveToStream(&S);
  const auto Good = StreamBytes(S);
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    TByteViewStream V(Good, static_cast<Int64>(Cut));
    ASSERT_NE(NativeCodeOf([&] { M.LoadFromStream(&V); }), -1) << Cut;
    ASSERT_EQ(M.RecordCount(), 11);
    ASSERT_EQ(ValueOf(M.SlotBuffer(11)), 11);
  }
  std::mt19937 Rng(7);
  for (int i = 0; i < 300; ++i) {
    auto Bad = Good;
    Bad[Rng() % Bad.size()] ^= static_cast<Byte>(1 + Rng() % 255);
    TByteViewStream V(Bad, static_cast<Int64>(Bad.size()));
    TMdbMemoryRecordManager L(nullptr, kSize, 16);
    if (NativeCodeOf([&] { L.LoadFromStream(&V); }) != -1) continue;
    // A block that still reads must place at most its live records, each inside the slots.
    std::int32_t Pos = -1;
    const auto R = Row(1);
    for (int n = 0; n < 40; ++n) {
      if (NativeCodeOf([&] { L.AddLoadedRecord(R.data(), Pos); }) != -1) break;
      ASSERT_LT(Pos, L.AllocatedRecordCount());
      ASSERT_LE(Pos, L.LastRecordID());
    }
    Forward(L);
  }
}

TEST_F(MdbRecordManagerTest, RewriteHandsChangedBlobsToTheStoredRecord) {
  TMdbBlobHandleTable Blobs;
  // Field 0: Int32 at 1; field 1: BLOB slot at 5.
  constexpr std::int32_t Size = 13;
  TMdbMemoryRecordManager M(nullptr, Size, 10);
  M.SetBlobFields({{1, 5}}, &Blobs);
  auto NewBlock = [&] { return Blobs.Add(MdbMemoryManager->AllocMem(kBlobBlockHeaderSize + 4)); };
  std::vector<Byte> R(Size, 0);
  SetBlobHandle(R.data(), 5, NewBlock());
  SetBlobMarker(R.data(), 5, kBlobModified);
  TMdbRecordID Id;
  ASSERT_TRUE(M.AddRecord(R.data(), Id, 1));
  const std::uint32_t First = GetBlobHandle(M.SlotBuffer(0), 5);
  // An update that keeps the stored block changes nothing.
  std::vector<Byte> Same(M.SlotBuffer(0), M.SlotBuffer(0) + Size);
  SetBlobMarker(Same.data(), 5, kBlobNotModified);
  ASSERT_TRUE(M.UpdateRecord(Same.data(), Id, 1));
  EXPECT_EQ(Blobs.LiveCount(), 1u);
  // A new block replaces the stored one, which is freed.
  std::vector<Byte> Changed = Same;
  SetBlobHandle(Changed.data(), 5, NewBlock());
  SetBlobMarker(Changed.data(), 5, kBlobModified);
  ASSERT_TRUE(M.UpdateRecord(Changed.data(), Id, 1));
  EXPECT_EQ(Blobs.LiveCount(), 1u);
  EXPECT_EQ(Blobs.Get(First), nullptr);
  EXPECT_EQ(GetBlobMarker(M.SlotBuffer(0), 5), kBlobNotModified);
  // Setting the field NULL frees the stored block.
  std::vector<Byte> Null = Changed;
  SetRecordFieldNull(Null.data(), 1, true);
  ASSERT_TRUE(M.UpdateRecord(Null.data(), Id, 1));
  EXPECT_EQ(Blobs.LiveCount(), 0u);
}

TEST_F(MdbRecordManagerTest, CarvedBlobBlocksKeepTheirBytesAndGiveTheirSlabBack) {
  TMdbBlobHandleTable Blobs;
  const Int64 Before = MdbMemoryManager->TotalMemAllocated();
  // Enough small blocks to fill several slabs, each filled with its own byte; one too large to carve.
  std::vector<std::uint32_t> Handles;
  std::vector<Int64> Sizes;
  std::mt19937 Rng(7);
  Int64 Carved = 0;
  while (Carved < 3 * TMdbBlobHandleTable::kSlabSize) {
    const Int64 n = 13 + static_cast<Int64>(Rng() % 4000);
    std::uint32_t h = 0;
    auto* P = static_cast<Byte*>(Blobs.Carve(n, h));
    ASSERT_NE(h, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(P) % 16, 0u);
    std::memset(P, static_cast<int>(Handles.size() & 0xFF), static_cast<std::size_t>(n));
    Handles.push_back(h);
    Sizes.push_back(n);
    Carved += n;
  }
  std::uint32_t Large = 0;
  Blobs.Carve(TMdbBlobHandleTable::kMaxCarvedBlock + 1, Large);
  EXPECT_EQ(Blobs.Size(Large), TMdbBlobHandleTable::kMaxCarvedBlock + 1);
  EXPECT_GE(Blobs.SlabCount(), 3u);
  for (std::size_t i = 0; i < Handles.size(); ++i) {
    ASSERT_EQ(Blobs.Size(Handles[i]), Sizes[i]);
    const auto* P = static_cast<const Byte*>(Blobs.Get(Handles[i]));
    for (Int64 k = 0; k < Sizes[i]; ++k) ASSERT_EQ(P[k], static_cast<Byte>(i & 0xFF)) << i;
  }
  // Freeing every other block keeps every slab; freeing the rest gives back all but the one carved from.
  for (std::size_t i = 0; i < Handles.size(); i += 2) Blobs.Free(Handles[i]);
  EXPECT_GE(Blobs.SlabCount(), 3u);
  for (std::size_t i = 1; i < Handles.size(); i += 2)
    ASSERT_EQ(static_cast<const Byte*>(Blobs.Get(Handles[i]))[Sizes[i] - 1], static_cast<Byte>(i & 0xFF));
  for (std::size_t i = 1; i < Handles.size(); i += 2) Blobs.Free(Handles[i]);
  EXPECT_EQ(Blobs.SlabCount(), 1u);
  EXPECT_EQ(Blobs.LiveCount(), 1u);
  EXPECT_EQ(Blobs.Get(Handles[0]), nullptr);
  EXPECT_EQ(Blobs.Size(Handles[0]), 0);
  // Handles are reused; the slab still carved from starts over once empty.
  std::uint32_t Again = 0;
  Blobs.Carve(100, Again);
  EXPECT_NE(std::find(Handles.begin(), Handles.end(), Again), Handles.end());
  Blobs.Clear();
  EXPECT_EQ(Blobs.SlabCount(), 0u);
  EXPECT_EQ(Blobs.LiveCount(), 0u);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), Before);
}
