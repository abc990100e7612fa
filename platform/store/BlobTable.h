// TBlobTable: immutable byte values shared by reference count under 32-bit handles. A row and the
// record buffers copied from it hold the same handle; the value goes when the last holder releases it.
// Handle 0 stands for a null or empty value and is never a live one.
//
// Small values are carved from 64 KB chunks of whole pages from the process page reserve (a chunk goes
// back to the reserve when its last value dies, so a table emptied or dropped and filled again, here or
// in another table, reuses pages the process already holds instead of faulting in fresh ones); larger
// values get an allocation of their own. Neither adding a value nor growing the table moves anything.
// Clear drops every value at once, in time proportional to the chunks and the large values, not to the
// values: the owner calls it when it knows no handle survives anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/rtl/String.h"
#include "platform/store/HandleTable.h"

class TBlobTable {
 public:
  using Handle = std::uint32_t;

  TBlobTable() = default;
  TBlobTable(const TBlobTable&) = delete;
  TBlobTable& operator=(const TBlobTable&) = delete;
  ~TBlobTable();

  // A new value with count 1; 0 for an empty value. Raises EDatabaseError for a value over 2 GB and
  // EOutOfMemory when no handle is left.
  Handle Add(const Byte* Data, std::size_t Length);
  void AddRef(Handle H) {
    if (H != 0) ++FEntries[H].RefCount;
  }
  void Release(Handle H);  // frees at count 0; 0 is ignored
  // The bytes of a live value; empty for 0 or a handle never handed out.
  std::span<const Byte> Bytes(Handle H) const;
  std::uint32_t RefCount(Handle H) const;
  std::size_t LiveCount() const { return FEntries.LiveCount(); }
  // Every value goes, whatever its count; the chunks go back to the page reserve. A handle held
  // anywhere afterwards is stale: the caller must know none is (a later Release of one would drop
  // another value).
  void Clear() noexcept;

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;
  static constexpr std::size_t kSmallValue = 4096;

  struct TEntry {
    Byte* Data = nullptr;
    std::uint32_t Length = 0;
    std::uint32_t RefCount = 0;
    // Small values: chunk index + 1. A value over kSmallValue has its own allocation and this is its
    // place in FLarge.
    std::uint32_t Chunk = 0;
  };
  static bool IsLarge(const TEntry& E) { return E.Length > kSmallValue; }
  struct TChunkPages {
    bool Gathered;  // as the reserve handed the pages out (sys::TPages::Gathered)
    void operator()(Byte* Memory) const noexcept;
  };
  struct TChunk {
    TChunk() : Memory(nullptr, TChunkPages{false}) {}
    std::unique_ptr<Byte, TChunkPages> Memory;
    std::size_t Used = 0;
    std::uint32_t Live = 0;
  };
  static std::unique_ptr<Byte, TChunkPages> NewChunk();
  Byte* Carve(std::size_t Length, std::uint32_t& ChunkNumber);
  void FreeLarge(TEntry& E) noexcept;

  THandleTable<TEntry> FEntries;
  std::vector<TChunk> FChunks;
  std::vector<std::uint32_t> FFreeChunks;
  std::vector<Handle> FLarge;  // the live values with an allocation of their own
  std::uint32_t FCurrentChunk = 0;  // chunk index + 1, 0 for none
};
