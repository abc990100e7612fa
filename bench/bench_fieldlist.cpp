// The field-list dataset on the benchmark's seven operations with 49,999 rows of the benchmark schema:
// Append and Insert (Append/Insert, seven setters, Post per row; the values are drawn beforehand),
// SaveToStream / LoadFromStream, SaveToFile / LoadFromFile, EmptyDataSet; and the store's per-row getters
// (text, date-time, SQL time stamp, float, currency of the date-time and float columns), with the heap
// allocations they make per row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "EngineBench.h"
#include "FieldListBench.h"
#include "AllocationCounter.h"
#include "engines/fieldlist/IdDataSet.h"


namespace {

using enginebench::kRows;

enginebench::TEngine<TIdMemDataSet> gEngine;

void BM_FieldGetters(benchmark::State& state) {
  TIdMemDataSet& ds = gEngine.Filled(kRows);
  const TIdField* birthdate = ds.IdFieldByName(u"Birthdate");
  const TIdField* salary = ds.IdFieldByName(u"Salary");
  const int rows = ds.RecordCount();
  std::size_t allocations = 0;
  for (auto _ : state) {
    const std::size_t before = static_cast<std::size_t>(benchalloc::Count());
    for (int i = 0; i < rows; ++i) {
      benchmark::DoNotOptimize(birthdate->GetAsString(i));
      benchmark::DoNotOptimize(birthdate->GetAsDateTime(i));
      benchmark::DoNotOptimize(birthdate->GetAsSQLTimeStamp(i));
      benchmark::DoNotOptimize(salary->GetAsString(i));
      benchmark::DoNotOptimize(salary->GetAsCurrency(i));
    }
    allocations = static_cast<std::size_t>(benchalloc::Count()) - before;
  }
  state.counters["allocs/row"] = static_cast<double>(allocations) / rows;
}

}  // namespace

int main(int argc, char** argv) {
  enginebench::SetUpFieldList(gEngine, u"/tmp/bench_fieldlist_TIdMemDataSet.dat");
  gEngine.EmptyName = "BM_EmptyDataSet";
  gEngine.Register();
  benchmark::RegisterBenchmark("BM_FieldGetters", BM_FieldGetters)->Unit(benchmark::kMillisecond);
  return enginebench::RunRegistered(argc, argv);
}
