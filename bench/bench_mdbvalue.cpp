// Mdb values on the per-row paths: Compare and GetBinaryHash over a million values of one type (no
// engine buffer may be taken for them: the "blocks" counter must stay 0), the Int32 <-> text
// conversion, and LIKE with many "%" over a long value.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "engines/mdb/runtime/MdbLike.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "platform/sys/CodePage.h"

namespace {

constexpr int kValues = 1000000;

struct Runtime {
  Runtime() {
    sys::SetSystemCodePage(936);
    MdbRuntimeStartup();
  }
  ~Runtime() { MdbRuntimeShutdown(); }
};

std::vector<std::unique_ptr<TMdbVariant>> MakeValues(TMdbBaseFieldType T) {
  std::vector<std::unique_ptr<TMdbVariant>> V;
  V.reserve(kValues);
  for (int i = 0; i < kValues; ++i) {
    auto P = std::make_unique<TMdbVariant>();
    const int X = static_cast<int>((i * 2654435761u) % 1000003);
    if (T == bftSignedInt32) P->SetAsInteger(X);
    if (T == bftDouble) P->SetAsDouble(X * 0.5);
    if (T == bftVarchar) {
      std::string S = std::to_string(X);
      S.resize(10, 'x');
      P->SetAsString(S);
    }
    V.push_back(std::move(P));
  }
  return V;
}

void BM_Compare(benchmark::State& State) {
  Runtime R;
  const auto T = static_cast<TMdbBaseFieldType>(State.range(0));
  const auto V = MakeValues(T);
  Int64 Blocks = 0;
  for (auto _ : State) {
    const Int64 Before = MdbMemoryManager->TotalMemAllocated();
    int Lower = 0;
    for (int i = 1; i < kValues; ++i) Lower += V[i - 1]->Compare(V[i].get(), false, false, false) == cmprLower;
    benchmark::DoNotOptimize(Lower);
    Blocks += MdbMemoryManager->TotalMemAllocated() != Before;
  }
  State.counters["blocks"] = static_cast<double>(Blocks);
  State.SetItemsProcessed(State.iterations() * (kValues - 1));
}
BENCHMARK(BM_Compare)->Arg(bftSignedInt32)->Arg(bftDouble)->Arg(bftVarchar)->Unit(benchmark::kMillisecond);

void BM_Hash(benchmark::State& State) {
  Runtime R;
  const auto V = MakeValues(static_cast<TMdbBaseFieldType>(State.range(0)));
  for (auto _ : State) {
    std::uint32_t H = 0;
    for (const auto& P : V) H ^= P->GetBinaryHash();
    benchmark::DoNotOptimize(H);
  }
  State.SetItemsProcessed(State.iterations() * kValues);
}
BENCHMARK(BM_Hash)->Arg(bftSignedInt32)->Arg(bftDouble)->Arg(bftVarchar)->Unit(benchmark::kMillisecond);

void BM_ConvertInt32ToTextAndBack(benchmark::State& State) {
  Runtime R;
  for (auto _ : State) {
    for (int i = 0; i < 100000; ++i) {
      const std::int32_t X = i * 7919;
      std::int32_t Size = 0;
      TMdbBufferOwner Text(ConvertData(&X, 4, bftSignedInt32, bftVarchar, Size));
      TMdbBufferOwner Back(ConvertData(Text.Get(), Size, bftVarchar, bftSignedInt32, Size));
      benchmark::DoNotOptimize(Back.Get());
    }
  }
  State.SetItemsProcessed(State.iterations() * 100000);
}
BENCHMARK(BM_ConvertInt32ToTextAndBack)->Unit(benchmark::kMillisecond);

void BM_LikeManyPercent(benchmark::State& State) {
  Runtime R;
  const std::string Value(10000, 'a');
  const std::string Pattern = std::string(40, '%') + "b";
  for (auto _ : State) benchmark::DoNotOptimize(MatchLikeAnsi(Value, Pattern, State.range(0) != 0));
}
BENCHMARK(BM_LikeManyPercent)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
