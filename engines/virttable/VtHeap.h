// The string heap of the record set: out-of-record values of the codes dtExtString, dtExtWideString and
// dtExtVarBytes. Small buffers (up to kMaxSmallSize bytes) are carved from blocks of kHeapBlockSize bytes
// and recycled through kSmallClasses free lists in 8-byte size classes; larger ones get their own
// allocation. Each buffer carries a reference word so that records can share a value, and Clear drops
// every block at once.
//
// A buffer is named by a 32-bit handle, never by its address (records hold the handle in a 4-byte
// slot): a small buffer's handle is (block number + 1) << 14 | offset of its data in the block; a large
// one's is kLargeFlag | its number in the large-buffer table. 0 is none.
//
// Small buffer in a block: Int32 capacity (a multiple of 8), UInt16 reference word, capacity data bytes.
// Reference word: 101 = in use with one reference, +1 per further reference, 100 = free.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/rtl/String.h"

namespace vt {

inline constexpr int kHeapBlockSize = 16384;
inline constexpr int kHeapDataSize = kHeapBlockSize - 4;
inline constexpr int kSmallClasses = 250;
inline constexpr int kMaxSmallSize = kSmallClasses * 8;
inline constexpr int kChunkHeaderSize = 6;
inline constexpr std::uint32_t kLargeFlag = 0x80000000u;

class TStringHeap {
 public:
  TStringHeap() = default;
  TStringHeap(const TStringHeap&) = delete;
  TStringHeap& operator=(const TStringHeap&) = delete;

  bool Empty() const { return FEmpty; }
  bool SysGetMem() const { return FSysGetMem; }
  // A buffer of at least Size bytes with one reference; 0 for Size <= 0.
  std::uint32_t NewBuf(int Size);
  // Len -1: up to the zero; Trim drops trailing blanks. A buffer of Len + 1 bytes ending in a zero.
  std::uint32_t AllocStr(const char* Str, bool Trim = false, int Len = -1);
  std::uint32_t AllocWideStr(const char16_t* Str, bool Trim = false, int Len = -1);
  // Drops one reference; "DisposeBuf failed" for a free buffer. 0: nothing.
  void DisposeBuf(std::uint32_t Handle);
  // "AddRefStr failed" for a free buffer. 0: nothing.
  void AddRef(std::uint32_t Handle);
  void Clear();

  Byte* Data(std::uint32_t Handle);
  const Byte* Data(std::uint32_t Handle) const { return const_cast<TStringHeap*>(this)->Data(Handle); }
  int Capacity(std::uint32_t Handle) const;
  Word RefWord(std::uint32_t Handle) const;
  std::size_t BlockCount() const { return FBlocks.size(); }

 private:
  Byte* Header(std::uint32_t Handle);
  std::uint32_t Carve(int Capacity);
  void NewBlock();

  std::vector<std::unique_ptr<Byte[]>> FBlocks;  // the current block is the last
  std::vector<std::unique_ptr<Byte[]>> FLarge;   // by number; freed ones are reset
  std::vector<std::uint32_t> FFreeLarge;
  std::array<std::uint32_t, kSmallClasses + 1> FSmallTab{};  // heads by class (1 .. 250)
  int FFree = kHeapDataSize;
  bool FEmpty = true;
  bool FSysGetMem = false;
};

}  // namespace vt
