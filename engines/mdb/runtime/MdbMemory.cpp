#include "engines/mdb/runtime/MdbMemory.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"

TMdbMemoryManager* MdbMemoryManager = nullptr;
std::uint32_t ManagerReferenceCount = 0;
std::int32_t TempMemoryPageLimit = 1000;

namespace {

// The allocation starts kLeadPad bytes before the header, so the caller's bytes sit on 16 bytes.
constexpr std::size_t kLeadPad = 7;
constexpr std::size_t kHeaderSize = 9;
constexpr std::size_t kFront = kLeadPad + kHeaderSize;  // 16
static_assert(kFront % 16 == 0);

std::uint32_t LoadU32(const void* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void StoreU32(void* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

Int64 SystemFreeMemory() {
  const long Pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long PageSize = ::sysconf(_SC_PAGESIZE);
  if (Pages <= 0 || PageSize <= 0) return 0;
  return Int64(Pages) * PageSize;
}

TMdbFreeMemorySource FreeMemorySource = &SystemFreeMemory;

}  // namespace

void SetMdbFreeMemorySource(TMdbFreeMemorySource Source) { FreeMemorySource = Source ? Source : &SystemFreeMemory; }

Byte TMdbMemoryManager::MethodForSize(Int64 BufferSize) {
  const Int64 Alloc = BufferSize + kGuardOverhead;
  if (Alloc <= 726) return kMethodHeap;
  if (Alloc <= 64500) return kMethodGlobal;
  if (Alloc <= 1048576) return kMethodHeap;
  return kMethodGlobal;
}

Byte TMdbMemoryManager::BlockMethod(const void* Buffer) { return static_cast<const Byte*>(Buffer)[-5]; }

void TMdbMemoryManager::AddTotal(Int64 Delta) {
  // Every block passes here twice: a lock-free update keeps the count off the allocation path's cost.
  Int64 Old = FTotalMemAllocated.load(std::memory_order_relaxed);
  Int64 New;
  do {
    New = Delta < 0 && -Delta >= Old ? 0 : Old + Delta;
  } while (!FTotalMemAllocated.compare_exchange_weak(Old, New, std::memory_order_relaxed));
}

Int64 TMdbMemoryManager::TotalMemAllocated() const { return FTotalMemAllocated.load(std::memory_order_relaxed); }

void* TMdbMemoryManager::GetMem(Int64 BufferSize) {
  if (BufferSize <= 0) throw EMdbException(30286, SMdbCannotAllocateZero);
  if (BufferSize > kMaxBlockSize)
    throw EMdbException(30015, SMdbGetMemError, {Format(SMdbSizeTooLarge, {BufferSize, kMaxBlockSize})});
  const std::size_t Total = kLeadPad + static_cast<std::size_t>(BufferSize + kGuardOverhead);
  auto* Base = static_cast<Byte*>(std::malloc(Total));
  if (Base == nullptr) throw EMdbException(30015, SMdbGetMemError, {std::u16string_view(msg::SOutOfMemory)});
  Byte* P = Base + kFront;
  StoreU32(P - 9, static_cast<std::uint32_t>(BufferSize));
  P[-5] = MethodForSize(BufferSize);
  StoreU32(P - 4, kHeadSignature);
  StoreU32(P + BufferSize, kTailSignature);
  AddTotal(BufferSize);
  return P;
}

void* TMdbMemoryManager::AllocMem(Int64 BufferSize) {
  void* P = GetMem(BufferSize);
  std::memset(P, 0, static_cast<std::size_t>(BufferSize));
  return P;
}

void TMdbMemoryManager::FreeAndNilMem(void*& Buffer) {
  auto* P = static_cast<Byte*>(Buffer);
  if (P == nullptr || LoadU32(P - 4) != kHeadSignature) throw EMdbException(30001, SMdbInvalidPointer);
  const std::uint32_t Size = LoadU32(P - 9);
  const bool TailOk = LoadU32(P + Size) == kTailSignature;
  AddTotal(-Int64(Size));
  // Spoil the signature so that a second free of the same pointer is refused if the memory is reused.
  StoreU32(P - 4, 0);
  std::free(P - kFront);
  Buffer = nullptr;
  if (!TailOk) throw EMdbException(30137, SMdbMemoryOverrun);
}

void TMdbMemoryManager::ReallocMem(void*& Buffer, Int64 BufferSize, bool ClearTail) {
  auto* Old = static_cast<Byte*>(Buffer);
  if (Old == nullptr || LoadU32(Old - 4) != kHeadSignature) throw EMdbException(30002, SMdbInvalidPointer);
  const Int64 OldSize = LoadU32(Old - 9);
  // With the old block intact the system may resize it in place (large blocks are remapped, not
  // copied), which keeps a buffer grown step by step linear in its final size.
  if (BufferSize > 0 && BufferSize <= kMaxBlockSize && LoadU32(Old + OldSize) == kTailSignature) {
    const std::size_t Total = kLeadPad + static_cast<std::size_t>(BufferSize + kGuardOverhead);
    if (auto* Base = static_cast<Byte*>(std::realloc(Old - kFront, Total))) {
      Byte* P = Base + kFront;
      StoreU32(P - 9, static_cast<std::uint32_t>(BufferSize));
      P[-5] = MethodForSize(BufferSize);
      StoreU32(P + BufferSize, kTailSignature);
      if (ClearTail && BufferSize > OldSize) std::memset(P + OldSize, 0, static_cast<std::size_t>(BufferSize - OldSize));
      AddTotal(BufferSize - OldSize);
      Buffer = P;
      return;
    }
  }
  void* New = nullptr;
  MdbWrap(30014, SMdbReallocMemError, false, [&] {
    New = GetMem(BufferSize);
    std::memcpy(New, Old, static_cast<std::size_t>(std::min(OldSize, BufferSize)));
    if (ClearTail && BufferSize > OldSize)
      std::memset(static_cast<Byte*>(New) + OldSize, 0, static_cast<std::size_t>(BufferSize - OldSize));
    void* OldPtr = Old;
    try {
      FreeAndNilMem(OldPtr);
    } catch (...) {
      // The old block is gone (an overrun is reported after freeing it); the new one is the caller's.
      Buffer = New;
      throw;
    }
  });
  Buffer = New;
}

Int64 TMdbMemoryManager::GetMemoryBufferSize(const void* Buffer) const {
  if (Buffer == nullptr) return 0;
  const auto* P = static_cast<const Byte*>(Buffer);
  if (LoadU32(P - 4) != kHeadSignature) throw EMdbException(30005, SMdbInvalidPointer);
  return LoadU32(P - 9);
}

Int64 TMdbMemoryManager::GetFreeMemorySize() const { return FreeMemorySource(); }

void AcquireMemoryManager() {
  if (ManagerReferenceCount == 0) {
    MdbMemoryManager = new TMdbMemoryManager;
    TempMemoryPageLimit = static_cast<std::int32_t>(MdbMemoryManager->GetFreeMemorySize() / 10 / 4096);
  }
  ++ManagerReferenceCount;
}

void ReleaseMemoryManager() {
  if (ManagerReferenceCount >= 2) --ManagerReferenceCount;
  else ManagerReferenceCount = 0;
  if (ManagerReferenceCount == 0 && MdbMemoryManager != nullptr) {
    delete MdbMemoryManager;
    MdbMemoryManager = nullptr;
  }
}

Int64 CalcReallocDelta(Int64 Size) {
  if (Size <= 10240) return 1024;
  if (Size <= 102400) return 10240;
  if (Size <= 1048576) return 102400;
  if (Size <= 10485760) return 1048576;
  if (Size <= 104857600) return 2097152;
  if (Size <= 1073741824) return 10485760;
  return 104857600;
}

void MoveOverlappingBytes(const void* Source, void* Dest, std::int32_t Count) {
  if (Count <= 0) return;
  const auto* S = static_cast<const Byte*>(Source);
  auto* D = static_cast<Byte*>(Dest);
  const std::ptrdiff_t Delta = D - S;
  if (Delta >= 1 && Delta <= 3) {
    for (std::int32_t i = Count - 1; i >= 0; --i) D[i] = S[i];
  } else if (Delta >= -3 && Delta <= -1) {
    for (std::int32_t i = 0; i < Count; ++i) D[i] = S[i];
  } else {
    std::memmove(D, S, static_cast<std::size_t>(Count));
  }
}
