#include "platform/rtl/MemoryBudget.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/rtl/Exceptions.h"

namespace {
std::atomic<std::size_t> gLoadMemoryLimit{0};
}  // namespace

std::size_t AvailableMemory() {
  if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kb = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr)
      found = std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1;
    std::fclose(f);
    if (found) return static_cast<std::size_t>(kb) * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) : 0;
}

void SetLoadMemoryLimit(std::size_t Bytes) { gLoadMemoryLimit.store(Bytes); }
std::size_t LoadMemoryLimit() { return gLoadMemoryLimit.load(); }

TMemoryBudget::TMemoryBudget() : FLimit(LoadMemoryLimit()) {
  if (FLimit == 0) {
    const std::size_t available = AvailableMemory();
    // Unknown: no cap of our own; the allocator's failure is still turned into the error.
    FLimit = available == 0 ? static_cast<std::size_t>(-1) : available / 4 * 3;
  }
}

void TMemoryBudget::Charge(std::size_t Bytes) {
  if (Bytes > FLimit - FCharged) throw EOutOfMemory(msg::SOutOfMemory);
  FCharged += Bytes;
}
