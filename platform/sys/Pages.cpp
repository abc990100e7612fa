#include "platform/sys/Pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace sys {
namespace {
std::size_t PageSize() {
  static const std::size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
  }();
  return size;
}
std::size_t RoundUp(std::size_t Value, std::size_t To) { return (Value + To - 1) / To * To; }
}  // namespace

TPages MapPages(std::size_t Size, bool HugeAligned) {
  if (Size == 0) return {};
  const std::size_t size = RoundUp(Size, HugeAligned ? kHugePageSize : PageSize());
  // Over-map by one huge page and trim both ends, so the kept range starts on a 2 MB boundary.
  const std::size_t mapped = HugeAligned ? size + kHugePageSize : size;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return {};
  if (!HugeAligned) return {raw, size};
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageSize - 1) & ~(kHugePageSize - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = aligned + size;
  if (start + mapped > end) munmap(reinterpret_cast<void*>(end), start + mapped - end);
  void* memory = reinterpret_cast<void*>(aligned);
  madvise(memory, size, MADV_HUGEPAGE);
  return {memory, size};
}

void UnmapPages(const TPages& Pages) {
  if (Pages.Memory != nullptr) munmap(Pages.Memory, Pages.Size);
}

void PopulatePages(void* Memory, std::size_t Size) {
#ifdef MADV_POPULATE_WRITE
  const std::size_t page = PageSize();
  const auto start = RoundUp(reinterpret_cast<std::uintptr_t>(Memory), page);
  const auto end = (reinterpret_cast<std::uintptr_t>(Memory) + Size) / page * page;
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)Memory;
  (void)Size;
#endif
}

}  // namespace sys
