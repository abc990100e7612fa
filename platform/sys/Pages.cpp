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

// Ranges given back, by size. Few sizes are in use at once (one per row width), so a linear search of
// the buckets is enough.
struct TReserve {
  struct TBucket {
    std::size_t Size;
    std::vector<void*> Ranges;
  };
  std::mutex Lock;
  std::vector<TBucket> Buckets;
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
    for (TReserve::TBucket& b : r.Buckets) {
      if (b.Size != size || b.Ranges.empty()) continue;
      void* memory = b.Ranges.back();
      b.Ranges.pop_back();
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
  {
    TReserve& r = Reserve();
    const std::lock_guard<std::mutex> guard(r.Lock);
    if (r.Bytes + Pages.Size <= kPageReserveLimit) {
      TReserve::TBucket* bucket = nullptr;
      for (TReserve::TBucket& b : r.Buckets)
        if (b.Size == Pages.Size) bucket = &b;
      try {
        if (bucket == nullptr) bucket = &r.Buckets.emplace_back(TReserve::TBucket{Pages.Size, {}});
        bucket->Ranges.push_back(Pages.Memory);
        r.Bytes += Pages.Size;
        return;
      } catch (...) {
        // No room to note the range: it goes back to the kernel instead.
      }
    }
  }
  munmap(Pages.Memory, Pages.Size);
}

std::size_t ReservedPages() {
  TReserve& r = Reserve();
  const std::lock_guard<std::mutex> guard(r.Lock);
  return r.Bytes;
}

void ReleaseReservedPages() {
  TReserve& r = Reserve();
  const std::lock_guard<std::mutex> guard(r.Lock);
  for (TReserve::TBucket& b : r.Buckets)
    for (void* range : b.Ranges) munmap(range, b.Size);
  r.Buckets.clear();
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
