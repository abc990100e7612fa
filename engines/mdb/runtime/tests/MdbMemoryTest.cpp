// The guarded memory manager: method by size, guards, totals, reallocation and the growth helpers.
#include "engines/mdb/runtime/MdbMemory.h"

#include <cstring>

#include "MdbTestSupport.h"

namespace {

using MdbMemoryTest = MdbRuntimeTest;

TEST_F(MdbMemoryTest, MethodFollowsTheAllocationSize) {
  struct Case {
    Int64 Size;
    Byte Method;
  };
  const Case Cases[] = {{1, 0}, {713, 0}, {714, 2}, {64487, 2}, {64488, 0}, {1048563, 0}, {1048564, 2}};
  for (const auto& C : Cases) {
    EXPECT_EQ(TMdbMemoryManager::MethodForSize(C.Size), C.Method) << C.Size;
    void* p = MdbMemoryManager->GetMem(C.Size);
    EXPECT_EQ(TMdbMemoryManager::BlockMethod(p), C.Method);
    EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(p), C.Size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    MdbMemoryManager->FreeAndNilMem(p);
    EXPECT_EQ(p, nullptr);
  }
}

TEST_F(MdbMemoryTest, RefusedSizes) {
  EXPECT_EQ(NativeCodeOf([] { MdbMemoryManager->GetMem(0); }), 30286);
  EXPECT_EQ(NativeCodeOf([] { MdbMemoryManager->GetMem(-5); }), 30286);
  EXPECT_EQ(NativeCodeOf([] { MdbMemoryManager->GetMem(TMdbMemoryManager::kMaxBlockSize + 1); }), 30015);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), 0);
}

TEST_F(MdbMemoryTest, GuardsCatchOverrunsAndForeignPointers) {
  void* p = MdbMemoryManager->GetMem(10);
  static_cast<Byte*>(p)[10] = 0;  // one byte past the end: the tail signature
  EXPECT_EQ(NativeCodeOf([&] { MdbMemoryManager->FreeAndNilMem(p); }), 30137);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), 0);

  alignas(16) Byte Foreign[32] = {};
  void* f = Foreign + 16;
  EXPECT_EQ(NativeCodeOf([&] { MdbMemoryManager->FreeAndNilMem(f); }), 30001);
  EXPECT_EQ(f, Foreign + 16);
  EXPECT_EQ(NativeCodeOf([&] { MdbMemoryManager->ReallocMem(f, 20, false); }), 30002);
  EXPECT_EQ(NativeCodeOf([&] { MdbMemoryManager->GetMemoryBufferSize(f); }), 30005);
  EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(nullptr), 0);
}

TEST_F(MdbMemoryTest, TotalsAndReallocation) {
  const Int64 Before = MdbMemoryManager->TotalMemAllocated();
  void* p = MdbMemoryManager->AllocMem(100);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), Before + 100);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(static_cast<Byte*>(p)[i], 0);
  MdbMemoryManager->FreeAndNilMem(p);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), Before);

  void* b = MdbMemoryManager->GetMem(10);
  std::memset(b, 0xAB, 10);
  MdbMemoryManager->ReallocMemAndClearTail(b, 20);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<Byte*>(b)[i], 0xAB);
  for (int i = 10; i < 20; ++i) EXPECT_EQ(static_cast<Byte*>(b)[i], 0);
  MdbMemoryManager->ReallocMem(b, 10, false);
  EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(b), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<Byte*>(b)[i], 0xAB);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), Before + 10);
  // A failing reallocation reports as 30014 and leaves the block.
  void* keep = b;
  EXPECT_EQ(NativeCodeOf([&] { MdbMemoryManager->ReallocMem(b, 0, false); }), 30014);
  EXPECT_EQ(b, keep);
  // An overrun of the old block is reported by the reallocation, which still hands out the new one.
  static_cast<Byte*>(b)[10] = 1;
  EXPECT_EQ(NativeCodeOf([&] { MdbMemoryManager->ReallocMem(b, 30, false); }), 30014);
  EXPECT_NE(b, keep);
  EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(b), 30);
  MdbMemoryManager->FreeAndNilMem(b);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), Before);
}

Int64 FakeFree() { return Int64(4096) * 10 * 777; }

TEST(MdbMemoryLifetime, ReferencesAndPageLimit) {
  ASSERT_EQ(MdbMemoryManager, nullptr);
  SetMdbFreeMemorySource(&FakeFree);
  AcquireMemoryManager();
  AcquireMemoryManager();
  EXPECT_EQ(TempMemoryPageLimit, 777);
  ReleaseMemoryManager();
  EXPECT_NE(MdbMemoryManager, nullptr);
  ReleaseMemoryManager();
  EXPECT_EQ(MdbMemoryManager, nullptr);
  ReleaseMemoryManager();  // one too many is harmless
  EXPECT_EQ(ManagerReferenceCount, 0u);
  SetMdbFreeMemorySource(nullptr);
}

TEST(MdbMemoryHelpers, ReallocDeltaSteps) {
  struct Case {
    Int64 Size, Step;
  };
  const Case Cases[] = {{0, 1024},           {10240, 1024},         {10241, 10240},         {102400, 10240},
                        {102401, 102400},    {1048576, 102400},     {1048577, 1048576},     {10485760, 1048576},
                        {10485761, 2097152}, {104857600, 2097152},  {104857601, 10485760},  {1073741824, 10485760},
                        {1073741825, 104857600}};
  for (const auto& C : Cases) EXPECT_EQ(CalcReallocDelta(C.Size), C.Step) << C.Size;
}

TEST(MdbMemoryHelpers, MoveOverlappingBytes) {
  for (int D : {-5, -3, -1, 0, 1, 3, 5}) {
    Byte Buf[32];
    for (int i = 0; i < 32; ++i) Buf[i] = Byte(i);
    Byte Expected[32];
    std::memcpy(Expected, Buf, 32);
    std::memmove(Expected + 10 + D, Expected + 10, 8);
    MoveOverlappingBytes(Buf + 10, Buf + 10 + D, 8);
    EXPECT_EQ(std::memcmp(Buf, Expected, 32), 0) << D;
  }
  Byte abcd[8] = {'a', 'b', 'c', 'd', 0};
  MoveOverlappingBytes(abcd, abcd + 1, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(abcd), 5), "aabcd");
  MoveOverlappingBytes(abcd, abcd + 1, 0);
  EXPECT_EQ(abcd[1], 'a');
}

}  // namespace
