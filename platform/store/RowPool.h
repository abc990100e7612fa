// TRowPool: fixed-size row slots in slabs, named by 32-bit slot ids. Slabs are whole pages
// (platform/sys/Pages.h) from a page reserve: the process reserve, or one the pool's owner keeps for its
// own stores (a table and the staging store of its next load), so that memory given back by rows
// dropped is what the next rows are written into, without faulting it in again. A fresh slab after the
// first is committed in one call when it is taken (it is about to be filled), the first one page by page
// as rows touch it (a small table stays small). Slabs after the first of half a huge page or more are
// mapped kSlabsPerMapping at a time, so that they lie mostly on huge pages. A slab holds a power of two slots, at most
// MaxSlotsPerSlab and, past one slot, no more than about SlabBytes, so a wide row does not make every
// slab gigabytes.
//
//   id = slab number << SlabShift | slot within the slab;   slot address = slab + (id & mask) * SlotSize
//
// A slot is zero when Alloc hands it out. Free leaves its bytes as they are until the slot is handed out
// again: a caller may mark a freed slot (a generation, say) and read the mark later. Slots never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rtl/String.h"
#include "platform/sys/Pages.h"

class TRowPool {
 public:
  using Id = std::uint32_t;
  static constexpr std::size_t kSlabsPerMapping = 4;

  // Slabs come from and go back to Reserve (the process reserve when null), which must outlive the pool.
  TRowPool(std::size_t SlotSize, std::uint32_t MaxSlotsPerSlab, std::size_t SlabBytes,
           sys::TPageReserve* Reserve = nullptr);
  ~TRowPool() { Clear(); }
  TRowPool(const TRowPool&) = delete;
  TRowPool& operator=(const TRowPool&) = delete;
  TRowPool(TRowPool&& Other) noexcept;
  TRowPool& operator=(TRowPool&& Other) noexcept;

  std::size_t SlotSize() const { return FSlotSize; }
  std::uint32_t SlotsPerSlab() const { return std::uint32_t{1} << FSlabShift; }
  // Ids handed out so far (live or freed): every id below it names a slot.
  Id End() const { return FNext; }

  // A zeroed slot; raises EOutOfMemory when the kernel refuses a slab or the ids run out.
  Id Alloc();
  void Free(Id Slot) { FFree.push_back(Slot); }
  Byte* At(Id Slot) const { return FSlabs[Slot >> FSlabShift] + std::size_t{Slot & FSlabMask} * FSlotSize; }
  // Every slot freed and every slab returned.
  void Clear();

 private:
  void AddSlab();

  std::size_t FSlotSize;
  sys::TPageReserve* FReserve;
  std::uint32_t FSlabShift = 0;
  std::uint32_t FSlabMask = 0;
  std::vector<Byte*> FSlabs;
  std::vector<std::uint8_t> FDirty;    // per slab: its slots past FNext must be zeroed when handed out
  std::vector<sys::TPages> FMappings;  // one or more slabs each
  std::vector<Id> FFree;
  Id FNext = 0;
};
