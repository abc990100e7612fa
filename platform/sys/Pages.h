// Whole pages straight from the kernel, for stores that hold many fixed-size rows. A mapping is zeroed
// and committed page by page as it is first touched, so a large one costs nothing until used; Populate
// asks for the pages at once (one call instead of one fault per page) when they are about to be filled.
#pragma once

#include <cstddef>

namespace sys {

inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

struct TPages {
  void* Memory = nullptr;
  std::size_t Size = 0;
};

// Size bytes of zeroed, readable and writable memory (rounded up to whole pages), or a null Memory when
// the kernel refuses. HugeAligned places the range on a 2 MB boundary and lets the kernel back it with
// huge pages.
TPages MapPages(std::size_t Size, bool HugeAligned = false);
void UnmapPages(const TPages& Pages);
// Commits the pages of [Memory, Memory + Size) for writing now; a hint only (nothing happens where the
// kernel cannot).
void PopulatePages(void* Memory, std::size_t Size);

}  // namespace sys
