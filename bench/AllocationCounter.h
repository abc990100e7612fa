// Counts heap allocations so a benchmark can report how many a row costs. The replacement operators
// are definitions, not inline: include this header in exactly one source file of a benchmark program.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace benchalloc {
inline std::atomic<long long> gAllocations{0};
inline long long Count() { return gAllocations.load(std::memory_order_relaxed); }
}  // namespace benchalloc

void* operator new(std::size_t size) {
  benchalloc::gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The replacements pair malloc with free; the compiler sees operator new's pointers reach free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
