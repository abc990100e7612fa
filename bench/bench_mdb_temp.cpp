// The temporary record manager: 1,000,000 records appended and read back in order, all in memory
// and with every record from the half-way mark spilled to its temporary file (blocks refused there),
// beside the memory record manager appending the same records.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbTemporaryRecordManager.h"

namespace {

constexpr std::int32_t kRowSize = 84;

// Range 0: records; range 1: the record count from which blocks are refused (0: never).
void BM_TemporaryAppendAndRead(benchmark::State& State) {
  const Int64 N = State.range(0);
  const Int64 SpillFrom = State.range(1);
  if (SpillFrom > 0) {
    SetMdbTemporaryBlockAllocator([SpillFrom](Int64 Size, Int64 Records) -> void* {
      return Records >= SpillFrom ? nullptr : MdbMemoryManager->GetMem(Size);
    });
  }
  std::vector<Byte> Row(kRowSize, 0), Back(kRowSize, 0);
  for (auto _ : State) {
    TMdbTemporaryRecordManager M(kRowSize, 10, 1000);
    TMdbRecordID Id;
    for (Int64 i = 0; i < N; ++i) {
      std::memcpy(Row.data() + 1, &i, 8);
      M.AddRecord(Row.data(), Id, -1);
    }
    TMdbNavigationInfo Nav;
    Nav.RecordBuffer = Back.data();
    Nav.FirstPosition = true;
    Nav.GetRecordMode = grmNext;
    Int64 Read = 0;
    for (;;) {
      M.GetRecordBuffer(Nav);
      if (Nav.GetRecordResult != grrOK) break;
      ++Read;
    }
    if (Read != N) State.SkipWithError("records lost");
    benchmark::DoNotOptimize(Read);
  }
  SetMdbTemporaryBlockAllocator(nullptr);
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_TemporaryAppendAndRead)->Args({1000000, 0})->Args({1000000, 500000})->Unit(benchmark::kMillisecond);

void BM_MemoryAppend(benchmark::State& State) {
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
BENCHMARK(BM_MemoryAppend)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  TMdbRuntimeScope Runtime;
  MdbStorageStartup();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  MdbStorageShutdown();
  return 0;
}
