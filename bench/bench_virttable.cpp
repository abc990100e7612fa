// The virtual table on the benchmark's seven operations with 49,999 rows of the benchmark schema: Append
// and Insert (Append/Insert, seven setters, Post per row; the values are drawn beforehand), an Insert run
// after an Append run (the rows pile up before the last one, as in the window), SaveToStream /
// LoadFromStream, SaveToFile / LoadFromFile and Clear, with the heap allocations per row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "EngineBench.h"
#include "engines/virttable/VirtTable.h"

// Counts heap allocations so a benchmark can report how many a row costs.
namespace {
std::size_t gAllocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The replacements pair malloc with free; the compiler sees operator new's pointers reach free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using enginebench::kRows;

enginebench::TEngine<TVirtTable> gEngine;

// An Insert run over a table an Append run has already filled: the rows pile up before the last one,
// as in the window. The Append run is setup.
void BM_InsertAfterAppend(benchmark::State& state) {
  enginebench::DrawnRows(kRows);
  std::size_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto t = gEngine.NewDataSet();
    enginebench::Fill(*t, true, kRows);
    const std::size_t before = gAllocations;
    state.ResumeTiming();
    enginebench::Fill(*t, false, kRows);
    state.PauseTiming();
    allocations = gAllocations - before;
    if (t->RecordCount() != kRows * 2) state.SkipWithError("row count");
    t.reset();
    state.ResumeTiming();
  }
  state.counters["allocs/row"] = static_cast<double>(allocations) / kRows;
}

}  // namespace

int main(int argc, char** argv) {
  gEngine.NewDataSet = [] {
    auto t = std::make_unique<TVirtTable>(nullptr);
    AddBenchmarkSchema(t->FieldDefs());
    t->Open();
    return t;
  };
  gEngine.SaveToFile = [](TVirtTable& t, const String& file) { t.SaveToFile(file, true, false); };
  gEngine.SaveToStream = [](TVirtTable& t, TStream* stream) { t.SaveToStream(stream, true, false); };
  gEngine.LoadFromFile = [](TVirtTable& t, const String& file) { t.LoadFromFile(file, true, true); };
  gEngine.LoadFromStream = [](TVirtTable& t, TStream* stream) { t.LoadFromStream(stream, true, true); };
  gEngine.Empty = [](TVirtTable& t) { t.Clear(); };
  gEngine.EmptyName = "BM_Clear";
  gEngine.DataFile = u"/tmp/bench_virttable_TVirtTable.dat";
  gEngine.Allocations = [] { return gAllocations; };
  gEngine.AfterInsert = [] {
    benchmark::RegisterBenchmark("BM_InsertAfterAppend", BM_InsertAfterAppend)->Unit(benchmark::kMillisecond);
  };
  gEngine.Register();
  return enginebench::RunRegistered(argc, argv);
}
