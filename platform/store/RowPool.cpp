#include "platform/store/RowPool.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/rtl/Exceptions.h"

TRowPool::TRowPool(std::size_t SlotSize, std::uint32_t MaxSlotsPerSlab, std::size_t SlabBytes,
                   sys::TPageReserve* Reserve)
    : FSlotSize(std::max<std::size_t>(SlotSize, 1)), FReserve(Reserve != nullptr ? Reserve : &sys::ProcessPageReserve()) {
  while ((std::uint64_t{1} << (FSlabShift + 1)) <= MaxSlotsPerSlab && (std::size_t{2} << FSlabShift) * FSlotSize <= SlabBytes)
    ++FSlabShift;
  FSlabMask = (std::uint32_t{1} << FSlabShift) - 1;
}

TRowPool::TRowPool(TRowPool&& Other) noexcept
    : FSlotSize(Other.FSlotSize),
      FReserve(Other.FReserve),
      FSlabShift(Other.FSlabShift),
      FSlabMask(Other.FSlabMask),
      FSlabs(std::move(Other.FSlabs)),
      FDirty(std::move(Other.FDirty)),
      FMappings(std::move(Other.FMappings)),
      FFree(std::move(Other.FFree)),
      FNext(std::exchange(Other.FNext, 0)) {
  Other.FSlabs.clear();
  Other.FDirty.clear();
  Other.FMappings.clear();
  Other.FFree.clear();
}

TRowPool& TRowPool::operator=(TRowPool&& Other) noexcept {
  if (this != &Other) {
    Clear();
    FSlotSize = Other.FSlotSize;
    FReserve = Other.FReserve;
    FSlabShift = Other.FSlabShift;
    FSlabMask = Other.FSlabMask;
    FSlabs = std::move(Other.FSlabs);
    FDirty = std::move(Other.FDirty);
    FMappings = std::move(Other.FMappings);
    FFree = std::move(Other.FFree);
    FNext = std::exchange(Other.FNext, 0);
    Other.FSlabs.clear();
    Other.FDirty.clear();
    Other.FMappings.clear();
    Other.FFree.clear();
  }
  return *this;
}

void TRowPool::AddSlab() {
  const std::size_t bytes = std::size_t{SlotsPerSlab()} * FSlotSize;
  // Past the first, slabs of half a huge page or more come several to a mapping, so that most of them
  // lies on whole huge pages (a slab of 1.6 MB alone would get none).
  const std::size_t count = !FSlabs.empty() && sys::WholePages(bytes) >= sys::kHugePageSize / 2 ? kSlabsPerMapping : 1;
  FSlabs.reserve(FSlabs.size() + count);
  FDirty.reserve(FDirty.size() + count);
  FMappings.reserve(FMappings.size() + 1);
  const std::size_t stride = sys::WholePages(bytes);
  const sys::TPages pages = FReserve->Take(stride * count);
  if (pages.Memory == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  if (!pages.Dirty && !FSlabs.empty()) sys::PopulatePages(pages.Memory, pages.Size);
  for (std::size_t i = 0; i < count; ++i) {
    FSlabs.push_back(static_cast<Byte*>(pages.Memory) + i * stride);
    FDirty.push_back(pages.Dirty);
  }
  FMappings.push_back(pages);
}

TRowPool::Id TRowPool::Alloc() {
  if (!FFree.empty()) {
    const Id id = FFree.back();
    FFree.pop_back();
    std::memset(At(id), 0, FSlotSize);
    return id;
  }
  if (FNext == UINT32_MAX) throw EOutOfMemory(String(msg::SOutOfMemory));
  const std::size_t slab = FNext >> FSlabShift;
  if (slab >= FSlabs.size()) AddSlab();
  const Id id = FNext++;
  if (FDirty[slab]) std::memset(At(id), 0, FSlotSize);  // fresh pages are zero already
  return id;
}

void TRowPool::Clear() {
  for (const sys::TPages& p : FMappings) FReserve->Return(p);
  FSlabs.clear();
  FDirty.clear();
  FMappings.clear();
  FFree.clear();
  FFree.shrink_to_fit();
  FNext = 0;
}
