// Whole pages for stores that hold many fixed-size rows. A fresh mapping is zeroed and committed page by
// page as it is first touched; that first touch (a fault, and the kernel zeroing the page) is what
// dominates filling a large store. So pages a store gives back are kept in a reserve, up to
// kPageReserveLimit bytes in all, and handed to the next store asking for the same size: emptying and
// refilling a table, a load beside the rows it replaces or a save into an emptied stream reuses memory
// the process already holds.
// Memory from the reserve is not zeroed (TPages::Dirty).
#pragma once

#include <cstddef>

namespace sys {

inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
inline constexpr std::size_t kPageReserveLimit = std::size_t{1} << 30;

struct TPages {
  void* Memory = nullptr;
  std::size_t Size = 0;
  bool Dirty = false;  // came from the reserve: holds what its last user left
};

// Size bytes (rounded up to whole pages), readable and writable: from the reserve when it holds a
// range of that size, else freshly mapped and zero. A null Memory when the kernel refuses.
TPages TakePages(std::size_t Size);
// Gives Pages back into the reserve (the oldest ranges there go back to the kernel when it would hold
// more than kPageReserveLimit bytes).
void ReturnPages(const TPages& Pages);
// Pages grown or shrunk to Size bytes (rounded up to whole pages), keeping the bytes they hold up to the
// smaller size; the range may move (its pages are moved, not copied). A null Memory, with Pages still
// good, when the kernel refuses.
TPages ResizePages(const TPages& Pages, std::size_t Size);
// Bytes the reserve holds now.
std::size_t ReservedPages();
// Hands everything in the reserve back to the kernel.
void ReleaseReservedPages();

// Commits the pages of [Memory, Memory + Size) for writing now; a hint only (nothing happens where the
// kernel cannot).
void PopulatePages(void* Memory, std::size_t Size);

}  // namespace sys
