#include "platform/sys/Pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <vector>

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

// Ranges given back, oldest first. A request takes the newest range of its size; a range that does not
// fit under the limit pushes out the oldest ones (memory given back last is the likeliest to be asked
// for again: a table refilled, a stream saved into again).
struct TReserve {
  struct TRange {
    void* Memory;
    std::size_t Size;
  };
  std::mutex Lock;
  std::vector<TRange> Ranges;
  std::size_t Bytes = 0;
};
TReserve& Reserve() {
  static TReserve reserve;  // made on first use, from whichever thread asks first
  return reserve;
}

}  // namespace

TPages TakePages(std::size_t Size) {
  if (Size == 0) return {};
  const std::size_t size = RoundUp(Size, PageSize());
  {
    TReserve& r = Reserve();
    const std::lock_guard<std::mutex> guard(r.Lock);
    for (std::size_t i = r.Ranges.size(); i-- > 0;) {
      if (r.Ranges[i].Size != size) continue;
      void* memory = r.Ranges[i].Memory;
      r.Ranges.erase(r.Ranges.begin() + static_cast<std::ptrdiff_t>(i));
      r.Bytes -= size;
      return {memory, size, true};
    }
  }
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return {};
  return {memory, size, false};
}

void ReturnPages(const TPages& Pages) {
  if (Pages.Memory == nullptr) return;
  if (Pages.Size <= kPageReserveLimit) {
    std::vector<TReserve::TRange> evicted;
    bool kept = false;
    {
      TReserve& r = Reserve();
      const std::lock_guard<std::mutex> guard(r.Lock);
      try {
        r.Ranges.push_back({Pages.Memory, Pages.Size});
        r.Bytes += Pages.Size;
        kept = true;
        std::size_t drop = 0;
        while (r.Bytes > kPageReserveLimit) r.Bytes -= r.Ranges[drop++].Size;
        evicted.assign(r.Ranges.begin(), r.Ranges.begin() + static_cast<std::ptrdiff_t>(drop));
        r.Ranges.erase(r.Ranges.begin(), r.Ranges.begin() + static_cast<std::ptrdiff_t>(drop));
      } catch (...) {
        // No room to note a range: this one goes back to the kernel instead.
        if (kept) {
          r.Ranges.pop_back();
          r.Bytes -= Pages.Size;
        }
        kept = false;
      }
    }
    for (const TReserve::TRange& e : evicted) munmap(e.Memory, e.Size);
    if (kept) return;
  }
  munmap(Pages.Memory, Pages.Size);
}

TPages ResizePages(const TPages& Pages, std::size_t Size) {
  const std::size_t size = RoundUp(Size, PageSize());
  void* memory = mremap(Pages.Memory, Pages.Size, size, MREMAP_MAYMOVE);
  if (memory == MAP_FAILED) return {};
  return {memory, size, Pages.Dirty};
}

std::size_t ReservedPages() {
  TReserve& r = Reserve();
  const std::lock_guard<std::mutex> guard(r.Lock);
  return r.Bytes;
}

void ReleaseReservedPages() {
  TReserve& r = Reserve();
  const std::lock_guard<std::mutex> guard(r.Lock);
  for (const TReserve::TRange& e : r.Ranges) munmap(e.Memory, e.Size);
  r.Ranges.clear();
  r.Bytes = 0;
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
