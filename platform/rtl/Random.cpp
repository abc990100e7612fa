#include "platform/rtl/Random.h"

#include <atomic>
#include <chrono>
#include <utility>

namespace {

std::atomic<std::uint32_t> g_seed{0};

std::uint32_t Next() {
  const std::uint32_t seed = g_seed.load(std::memory_order_relaxed) * 134775813u + 1u;
  g_seed.store(seed, std::memory_order_relaxed);
  return seed;
}

}  // namespace

std::int32_t Random(std::int32_t Range) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(Next()) * Range) >> 32);
}

double RandomFloat() { return Next() * (1.0 / 4294967296.0); }

std::int32_t RandomRange(std::int32_t From, std::int32_t To) {
  if (From > To) std::swap(From, To);
  return From + Random(To - From);
}

void Randomize() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count() ^
                   std::chrono::system_clock::now().time_since_epoch().count();
  SetRandSeed(static_cast<std::uint32_t>(now ^ (now >> 32)));
}

void SetRandSeed(std::uint32_t Seed) { g_seed.store(Seed, std::memory_order_relaxed); }

std::uint32_t GetRandSeed() { return g_seed.load(std::memory_order_relaxed); }
