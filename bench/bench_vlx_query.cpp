// The vlx memory table beyond the seven operations, on the benchmark's 49,999 rows (and 1/4, 1/2 of
// them, so a step growing faster than the rows shows):
//
//   Locate/N       Locate by CustomerID with AutoAddIndexes: the first search makes the index, the
//                  timed ones search it by halves (one Locate per iteration, keys spread over the rows)
//   Filter/N       Filter "Salary > 9000 and MaritalStatus" switched on, then a filtered RecordCount
//                  (one pass) and a walk over the visible rows; counter allocs_per_row: allocations of
//                  the RecordCount pass per row (0: evaluation allocates nothing for these fields)
//   GroupBy/N      GroupBy on MaritalStatus with SUM, AVG and COUNT of Salary into another table
#include <benchmark/benchmark.h>

#include <memory>

#include "EngineBench.h"
#include "engines/vlx/vlxMemTable.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#pragma GCC diagnostic ignored "-Wrestrict"

#include "AllocationCounter.h"

namespace {

using enginebench::kRows;

std::unique_ptr<TvlxMemTable> Filled(int Rows) {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  AddBenchmarkSchema(t->FieldDefs());
  t->CreateTable();
  t->Open();
  enginebench::Fill(*t, true, Rows);
  return t;
}

void Locate(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  auto t = Filled(rows);
  t->SetAutoAddIndexes(true);
  t->Locate(u"CustomerID", Variant(2), 0);
  int k = 0;
  for (auto _ : state) {
    const int id = 2 + (k * 7919) % rows;
    ++k;
    benchmark::DoNotOptimize(t->Locate(u"CustomerID", Variant(id), 0));
  }
  state.SetItemsProcessed(state.iterations());
}

void Filter(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  auto t = Filled(rows);
  t->SetFilterText(u"Salary > 9000 and MaritalStatus");
  int visible = 0;
  long long allocs = 0;
  for (auto _ : state) {
    t->SetFiltered(true);
    const long long before = benchalloc::Count();
    visible = t->RecordCount();
    allocs = benchalloc::Count() - before;
    for (t->First(); !t->Eof(); t->Next()) {
    }
    t->SetFiltered(false);
  }
  state.counters["visible"] = visible;
  state.counters["allocs_per_row"] = static_cast<double>(allocs) / rows;
  state.SetItemsProcessed(state.iterations() * rows);
}

void GroupBy(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  auto t = Filled(rows);
  TvlxMemTable dest(nullptr);
  for (auto _ : state) t->GroupBy(&dest, u"MaritalStatus", u"MaritalStatus;Salary:SUM;Salary:AVG;Salary:COUNT");
  state.counters["groups"] = dest.RecordCount();
  state.SetItemsProcessed(state.iterations() * rows);
}

}  // namespace

int main(int argc, char** argv) {
  for (auto* b : {benchmark::RegisterBenchmark("Locate", Locate), benchmark::RegisterBenchmark("Filter", Filter),
                  benchmark::RegisterBenchmark("GroupBy", GroupBy)})
    b->Arg(kRows / 4)->Arg(kRows / 2)->Arg(kRows)->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
