// Mdb storage: the memory record manager appending benchmark rows (84 bytes, the benchmark table's
// layout) and its block with the records saved and loaded back into their slots.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbRecordManager.h"

namespace {

constexpr std::int32_t kRowSize = 84;

void BM_AddRecord(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  std::vector<Byte> Row(kRowSize, 0);
  for (auto _ : State) {
    TMdbMemoryRecordManager M(nullptr, kRowSize, 1000);
    TMdbRecordID Id;
    for (std::int32_t i = 0; i < N; ++i) {
      std::memcpy(Row.data() + 1, &i, 4);
      M.AddRecord(Row.data(), Id, 1);
    }
    benchmark::DoNotOptimize(M.RecordCount());
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_AddRecord)->Arg(50000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The floor under AddRecord: taking n rows' worth of fresh memory from the system and writing it once.
// Past the C library's largest reuse threshold (32 MB) every run pays the kernel's page faults; the
// step from 50,000 rows (4 MB) to 500,000 (42 MB) costs this much more per row whatever the engine does.
void BM_FreshMemoryFloor(benchmark::State& State) {
  const auto Bytes = static_cast<std::size_t>(State.range(0)) * kRowSize;
  for (auto _ : State) {
    auto* p = static_cast<Byte*>(std::malloc(Bytes));
    std::memset(p, 1, Bytes);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
  State.SetItemsProcessed(State.iterations() * State.range(0));
}
BENCHMARK(BM_FreshMemoryFloor)->Arg(50000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_RecordBlockSaveLoad(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  TMdbMemoryRecordManager M(nullptr, kRowSize, 1000);
  std::vector<Byte> Row(kRowSize, 0);
  TMdbRecordID Id;
  for (std::int32_t i = 0; i < N; ++i) M.AddRecord(Row.data(), Id, 1);
  for (std::int32_t i = 0; i < N; i += 7) {
    TMdbRecordID D{i, 0};
    M.DeleteRecord(D, 1);
  }
  for (auto _ : State) {
    TMdbMemoryStream S;
    M.SaveToStream(&S);
    for (std::int32_t s = M.FirstRecordID(); s <= M.LastRecordID(); ++s)
      if (!M.IsSlotDeleted(s)) S.Write(M.SlotBuffer(s), kRowSize);
    S.SetPosition(0);
    TMdbMemoryRecordManager L(nullptr, kRowSize, 1000);
    L.LoadFromStream(&S);
    std::int32_t Pos = -1;
    const auto* p = static_cast<const Byte*>(S.Buffer()) + S.Position();
    for (Int64 k = 0; k < M.RecordCount(); ++k, p += kRowSize) L.AddLoadedRecord(p, Pos);
    benchmark::DoNotOptimize(L.RecordCount());
  }
  State.SetItemsProcessed(State.iterations() * M.RecordCount());
}
BENCHMARK(BM_RecordBlockSaveLoad)->Arg(500000)->Unit(benchmark::kMillisecond);

// The commit step runs after every post: with no change set it returns at once.
void BM_EmptyApplyChanges(benchmark::State& State) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  std::uint32_t S = 1;
  for (auto _ : State) C.ApplyChanges(++S, dbstNone, 0);
}
BENCHMARK(BM_EmptyApplyChanges);

// A commit of one changed page among Arg shared ones.
void BM_ApplyChangesOnePage(benchmark::State& State) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  std::uint32_t S = 1;
  for (std::int64_t i = 0; i < State.range(0); ++i) C.PutPage(C.AddPage(7, dbstData, S, false));
  C.ApplyChanges(S, dbstNone, 0);
  for (auto _ : State) {
    TMdbPage* P = C.GetPage(7, 0, dbstData, S, true, true, false);
    P->PageBuffer()[100] ^= 1;
    C.PutPage(P);
    C.ApplyChanges(++S, dbstNone, 0);
  }
  C.ClearAllSharedPages();
  for (int n = 0; n < M.AllocatedPageCount(); ++n) M.InternalRemovePage(n);
}
BENCHMARK(BM_ApplyChangesOnePage)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace

int main(int argc, char** argv) {
  TMdbRuntimeScope Runtime;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
