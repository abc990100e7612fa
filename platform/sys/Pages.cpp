#include "platform/sys/Pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

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

void* Map(std::size_t Size) {
  void* memory = mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

// A mapping of kHugePageSize or more starts on a huge-page boundary (the kernel can back only aligned
// huge pages): it is cut from one kHugePageSize larger, whose ends are given back at once.
TPages MapFresh(std::size_t Size) {
  if (Size < kHugePageSize) {
    void* memory = Map(Size);
    return memory == nullptr ? TPages{} : TPages{memory, Size, false};
  }
  void* raw = Map(Size + kHugePageSize);
  if (raw == nullptr) return {};
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const auto aligned = RoundUp(start, kHugePageSize);
  if (aligned != start) munmap(raw, aligned - start);
  if (const std::size_t tail = start + kHugePageSize - aligned; tail != 0)
    munmap(reinterpret_cast<void*>(aligned + Size), tail);
  return {reinterpret_cast<void*>(aligned), Size, false};
}

// Asks for huge pages over the whole huge pages inside [Memory, Memory + Size): one fault (or one
// populate step) and one TLB entry per 2 MB instead of 512.
void AdviseHuge(void* Memory, std::size_t Size) {
#ifdef MADV_HUGEPAGE
  const auto start = RoundUp(reinterpret_cast<std::uintptr_t>(Memory), kHugePageSize);
  const auto end = (reinterpret_cast<std::uintptr_t>(Memory) + Size) / kHugePageSize * kHugePageSize;
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)Memory;
  (void)Size;
#endif
}

}  // namespace

std::size_t WholePages(std::size_t Size) { return RoundUp(Size, PageSize()); }

TPageReserve::TPageReserve(std::size_t Limit, TPageReserve* Next) : FLimit(Limit), FNext(Next) {}

TPageReserve::~TPageReserve() { Release(); }

TPages TPageReserve::TakeKept(std::size_t Size) {
  const std::lock_guard<std::mutex> guard(FLock);
  // The newest range of the size asked for; else the smallest larger one, cut at its front (memory
  // given back last is the likeliest to be asked for again, whole).
  std::size_t best = FRanges.size();
  for (std::size_t i = FRanges.size(); i-- > 0;) {
    const std::size_t s = FRanges[i].Size;
    if (s == Size) {
      best = i;
      break;
    }
    if (s > Size && (best == FRanges.size() || s < FRanges[best].Size)) best = i;
  }
  if (best == FRanges.size()) return {};
  TRange& r = FRanges[best];
  void* memory = r.Memory;
  const bool gathered = r.Gathered;
  if (r.Size == Size) {
    FRanges.erase(FRanges.begin() + static_cast<std::ptrdiff_t>(best));
  } else {
    r.Memory = static_cast<char*>(r.Memory) + Size;
    r.Size -= Size;
  }
  FBytes -= Size;
  return {memory, Size, true, gathered};
}

bool TPageReserve::GatherInto(TPages& Pages) {
  const std::lock_guard<std::mutex> guard(FLock);
  std::size_t filled = 0;
  for (std::size_t i = FRanges.size(); i-- > 0 && filled < Pages.Size;) {
    TRange& r = FRanges[i];
    // A gathered range spans several mappings, which older kernels refuse to move in one call.
    if (r.Gathered) continue;
    const std::size_t n = std::min(r.Size, Pages.Size - filled);
    char* const to = static_cast<char*>(Pages.Memory) + filled;
    // The front n bytes of the range take the place of the fresh pages there.
    if (mremap(r.Memory, n, n, MREMAP_MAYMOVE | MREMAP_FIXED, to) == MAP_FAILED) {
      // The range stays kept, never to be moved again. Some kernels unmap the destination before they
      // refuse: it is mapped afresh there, unless something else took the hole meanwhile.
      r.Gathered = true;
      void* again = mmap(to, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (again == to) break;
      if (again != MAP_FAILED) munmap(again, n);
      if (again == MAP_FAILED && errno == EEXIST) break;  // the destination was never unmapped
      munmap(Pages.Memory, Pages.Size);
      return false;
    }
    filled += n;
    FBytes -= n;
    if (n == r.Size) {
      FRanges.erase(FRanges.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      r.Memory = static_cast<char*>(r.Memory) + n;
      r.Size -= n;
    }
  }
  if (filled != 0) {
    Pages.Dirty = true;
    Pages.Gathered = true;
  }
  // The rest is fresh and about to be written whole.
  AdviseHuge(static_cast<char*>(Pages.Memory) + filled, Pages.Size - filled);
  return true;
}

TPages TPageReserve::Take(std::size_t Size, bool Gather) {
  if (Size == 0) return {};
  const std::size_t size = WholePages(Size);
  if (const TPages kept = TakeKept(size); kept.Memory != nullptr) return kept;
  if (FNext != nullptr) return FNext->Take(size, Gather);
  TPages pages = MapFresh(size);
  if (Gather && pages.Memory != nullptr && size >= kGatherMinimum && !GatherInto(pages)) {
    pages = MapFresh(size);
    if (pages.Memory != nullptr) AdviseHuge(pages.Memory, pages.Size);
  }
  return pages;
}

void TPageReserve::PassOn(void* Memory, std::size_t Size, bool Gathered) {
  if (FNext != nullptr) FNext->Return({Memory, Size, true, Gathered});
  else munmap(Memory, Size);
}

void TPageReserve::Return(const TPages& Pages) {
  if (Pages.Memory == nullptr) return;
  if (Pages.Size <= FLimit) {
    std::vector<TRange> evicted;
    bool kept = false;
    {
      const std::lock_guard<std::mutex> guard(FLock);
      try {
        // Past the limit the oldest ranges make room (the newest are the likeliest to be asked for).
        std::size_t drop = 0;
        std::size_t bytes = FBytes + Pages.Size;
        while (bytes > FLimit) bytes -= FRanges[drop++].Size;
        evicted.assign(FRanges.begin(), FRanges.begin() + static_cast<std::ptrdiff_t>(drop));
        FRanges.push_back({Pages.Memory, Pages.Size, Pages.Gathered});
        FRanges.erase(FRanges.begin(), FRanges.begin() + static_cast<std::ptrdiff_t>(drop));
        FBytes = bytes;
        kept = true;
      } catch (...) {
        // No room to note a range: this one is passed on instead, and nothing kept moves.
        evicted.clear();
      }
    }
    for (const TRange& e : evicted) PassOn(e.Memory, e.Size, e.Gathered);
    if (kept) return;
  }
  PassOn(Pages.Memory, Pages.Size, Pages.Gathered);
}

std::size_t TPageReserve::Bytes() const {
  const std::lock_guard<std::mutex> guard(FLock);
  return FBytes;
}

void TPageReserve::Release() {
  std::vector<TRange> all;
  {
    const std::lock_guard<std::mutex> guard(FLock);
    all.swap(FRanges);
    FBytes = 0;
  }
  for (const TRange& r : all) PassOn(r.Memory, r.Size, r.Gathered);
}

TPageReserve& ProcessPageReserve() {
  // Never destroyed: stores in static objects may give pages back while the process ends.
  alignas(TPageReserve) static unsigned char storage[sizeof(TPageReserve)];
  static TPageReserve* const reserve = new (storage) TPageReserve(kPageReserveLimit, nullptr);
  return *reserve;
}

TPages TakePages(std::size_t Size, bool Gather) { return ProcessPageReserve().Take(Size, Gather); }
void ReturnPages(const TPages& Pages) { ProcessPageReserve().Return(Pages); }
std::size_t ReservedPages() { return ProcessPageReserve().Bytes(); }
void ReleaseReservedPages() { ProcessPageReserve().Release(); }

TPages ResizePages(const TPages& Pages, std::size_t Size) {
  const std::size_t size = WholePages(Size);
  void* memory = mremap(Pages.Memory, Pages.Size, size, MREMAP_MAYMOVE);
  if (memory == MAP_FAILED) return {};
  return {memory, size, Pages.Dirty, Pages.Gathered};
}

void PopulatePages(void* Memory, std::size_t Size) {
  AdviseHuge(Memory, Size);
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
