// The guarded memory manager through which every Mdb engine buffer is allocated and freed, and two
// helpers of the engine's growable buffers (CalcReallocDelta, MoveOverlappingBytes).
//
// Guarded block, as laid out in memory (never written to a file):
//   P - 9   UInt32  the caller's size (the size asked for)
//   P - 5   Byte    allocation method: kMethodHeap (0) or kMethodGlobal (2), chosen by the allocation
//                   size (caller's size + kGuardOverhead): up to 726 and 64,501..1,048,576 bytes the
//                   heap, otherwise the "global" allocator. Both are malloc on Linux; the byte is
//                   kept because diagnostics and tests read it.
//   P - 4   UInt32  kHeadSignature 0xACCACCAC
//   P       size    the caller's bytes (the pointer handed out)
//   P+size  UInt32  kTailSignature 0xACCEACCE
// Seven bytes of padding precede the header so that P is 16-byte aligned: engine code reads 8-byte
// values straight out of these buffers.
//
// A pointer whose head signature is wrong is refused (30001 / 30002 / 30005) and nothing is freed; a
// block whose tail was overwritten is freed and then reported (30137). Sizes of 0 or less raise 30286,
// sizes whose block would not fit the 32-bit size field 30015.
//
// Lifetime: AcquireMemoryManager / ReleaseMemoryManager count references to the shared instance
// MdbMemoryManager (MdbRuntimeStartup takes one); the first acquisition fixes TempMemoryPageLimit from
// the free physical memory, whose reading is injectable for tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/classes/Classes.h"

class TMdbMemoryManager : public TObject {
  VELLUM_CLASS(TMdbMemoryManager)
 public:
  static constexpr Byte kMethodHeap = 0;
  static constexpr Byte kMethodGlobal = 2;
  static constexpr std::uint32_t kHeadSignature = 0xACCACCAC;
  static constexpr std::uint32_t kTailSignature = 0xACCEACCE;
  static constexpr Int64 kGuardOverhead = 13;
  static constexpr Int64 kMaxBlockSize = Int64(UINT32_MAX) - kGuardOverhead;

  void* GetMem(Int64 BufferSize);
  void* AllocMem(Int64 BufferSize);
  void FreeAndNilMem(void*& Buffer);
  template <class T>
  void FreeAndNilMem(T*& Buffer) {
    void* p = Buffer;
    try {
      FreeAndNilMem(p);
    } catch (...) {
      Buffer = static_cast<T*>(p);
      throw;
    }
    Buffer = nullptr;
  }
  void ReallocMem(void*& Buffer, Int64 BufferSize, bool ClearTail);
  void ReallocMemAndClearTail(void*& Buffer, Int64 BufferSize) { ReallocMem(Buffer, BufferSize, true); }
  Int64 GetMemoryBufferSize(const void* Buffer) const;
  Int64 GetFreeMemorySize() const;
  Int64 TotalMemAllocated() const;

  // The allocation method a request of BufferSize bytes gets.
  static Byte MethodForSize(Int64 BufferSize);
  // The method byte recorded in a block (for tests and diagnostics).
  static Byte BlockMethod(const void* Buffer);

 private:
  void AddTotal(Int64 Delta);
  std::atomic<Int64> FTotalMemAllocated{0};
};

extern TMdbMemoryManager* MdbMemoryManager;
extern std::uint32_t ManagerReferenceCount;
extern std::int32_t TempMemoryPageLimit;

void AcquireMemoryManager();
void ReleaseMemoryManager();

// The free physical memory reading; nullptr restores the system's.
using TMdbFreeMemorySource = Int64 (*)();
void SetMdbFreeMemorySource(TMdbFreeMemorySource Source);

Int64 CalcReallocDelta(Int64 Size);
void MoveOverlappingBytes(const void* Source, void* Dest, std::int32_t Count);

// Owns one block of the shared manager; frees it on scope exit.
class TMdbMemBlock {
 public:
  TMdbMemBlock() = default;
  explicit TMdbMemBlock(Int64 Size, bool Zeroed = false)
      : FPtr(Zeroed ? MdbMemoryManager->AllocMem(Size) : MdbMemoryManager->GetMem(Size)) {}
  ~TMdbMemBlock() { Reset(); }
  TMdbMemBlock(const TMdbMemBlock&) = delete;
  TMdbMemBlock& operator=(const TMdbMemBlock&) = delete;
  Byte* Get() const { return static_cast<Byte*>(FPtr); }
  void Reset() noexcept {
    if (FPtr) {
      try {
        MdbMemoryManager->FreeAndNilMem(FPtr);
      } catch (...) {
        FPtr = nullptr;
      }
    }
  }

 private:
  void* FPtr = nullptr;
};
