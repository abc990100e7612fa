// The virtual table on the benchmark's seven operations with 49,999 rows of the benchmark schema: Append
// and Insert (Append/Insert, seven setters, Post per row; the values are drawn beforehand), an Insert run
// after an Append run (the rows pile up before the last one, as in the window), SaveToStream /
// LoadFromStream, SaveToFile / LoadFromFile and Clear, with the heap allocations per row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "EngineBench.h"
#include "AllocationCounter.h"
#include "engines/virttable/VirtTable.h"


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
    const std::size_t before = static_cast<std::size_t>(benchalloc::Count());
    state.ResumeTiming();
    enginebench::Fill(*t, false, kRows);
    state.PauseTiming();
    allocations = static_cast<std::size_t>(benchalloc::Count()) - before;
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
  gEngine.Allocations = [] { return static_cast<std::size_t>(benchalloc::Count()); };
  gEngine.AfterInsert = [] {
    benchmark::RegisterBenchmark("BM_InsertAfterAppend", BM_InsertAfterAppend)->Unit(benchmark::kMillisecond);
  };
  gEngine.Register();
  return enginebench::RunRegistered(argc, argv);
}
