// The dataset framework's per-row path: Append, the field setters, Post, 50,000 rows a run, through the
// vector-of-rows test engine (platform/db/testing/VectorDataSet.h), the way the benchmark window drives
// every engine (field objects looked up once, controls disabled for the run).
//
//   AppendPost/Schema7        the benchmark's seven fields, rows stored by the test engine
//   AppendPost/Fixed6         the six fixed-size fields (no wide memo), rows stored
//   AppendPost/Fixed6Overwrite the six fixed fields with the engine keeping only the last row: what is left
//                             is the framework's own share of a row (plus the engine's buffer copies)
//   AppendPost/Fixed6/5000    the same as Fixed6 on a tenth of the rows: the difference to 50,000 rows is
//                             the test engine's fresh row memory (malloc and page faults), not the framework
//
// Counters: ns_per_row, and allocs_per_row counted by this program's operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <vector>

#include "platform/db/testing/VectorDataSet.h"
#include "platform/rtl/DateTime.h"

// GCC inlines the replaced global operators below and then mistakes malloc/free for a mismatched
// new/delete pair (and string copies around them for overlaps).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#pragma GCC diagnostic ignored "-Wrestrict"

#include "AllocationCounter.h"

namespace {

constexpr int kDefaultRows = 50000;

enum class Shape { Schema7, Fixed6, Fixed6Overwrite };

void AddSchema(TDataSet& ds, bool withMemo) {
  auto& defs = ds.FieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  if (withMemo) defs.Add(u"Comment", ftWideMemo);
}

void AppendPost(benchmark::State& state, Shape shape) {
  const int kRows = state.range(0);
  const bool memo = shape == Shape::Schema7;
  // Values made before the run: the caller's strings are not the framework's cost.
  const std::vector<String> names = {u"赵一", u"钱二三", u"孙四", u"李五六"};
  const std::vector<String> addresses = {u"Address for 赵一", u"Address for 钱二三", u"Address for 孙四",
                                         u"Address for 李五六"};
  const std::vector<String> comments = {u"Comment for 赵一", u"Comment for 钱二三", u"Comment for 孙四",
                                        u"Comment for 李五六"};
  const TDateTime birth = EncodeDate(1990, 5, 17) + 0.5;
  long long allocations = 0;
  double nanoseconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto ds = std::make_unique<TVectorDataSet>(nullptr);
    AddSchema(*ds, memo);
    ds->Open();
    ds->Reserve(static_cast<std::size_t>(kRows));
    ds->SetKeepOnlyLastRow(shape == Shape::Fixed6Overwrite);
    TField* id = ds->FieldByName(u"CustomerID");
    TField* name = ds->FieldByName(u"ContactName");
    TField* born = ds->FieldByName(u"Birthdate");
    TField* married = ds->FieldByName(u"MaritalStatus");
    TField* salary = ds->FieldByName(u"Salary");
    TField* address = ds->FieldByName(u"Address");
    TField* comment = memo ? ds->FieldByName(u"Comment") : nullptr;
    // One warm-up row: scratch buffers and converters are made once per run, not per row.
    ds->Append();
    name->SetAsString(names[0]);
    ds->Post();
    ds->DisableControls();
    const long long before = benchalloc::Count();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();

    for (int i = 0; i < kRows; ++i) {
      const std::size_t k = static_cast<std::size_t>(i) & 3;
      ds->Append();
      id->SetAsInteger(i + 2);
      name->SetAsString(names[k]);
      born->SetAsDateTime(birth);
      married->SetAsBoolean((i & 1) != 0);
      salary->SetAsFloat(4000.0 + i);
      address->SetAsString(addresses[k]);
      if (comment) comment->SetAsString(comments[k]);
      ds->Post();
    }

    const auto stop = std::chrono::steady_clock::now();
    state.PauseTiming();
    nanoseconds += std::chrono::duration<double, std::nano>(stop - start).count();
    allocations += benchalloc::Count() - before;
    ds->EnableControls();
    benchmark::DoNotOptimize(ds->RowCount());
    ds.reset();
    state.ResumeTiming();
  }
  const double rows = static_cast<double>(kRows) * static_cast<double>(state.iterations());
  state.counters["ns_per_row"] = nanoseconds / rows;
  state.counters["allocs_per_row"] = static_cast<double>(allocations) / rows;
}

BENCHMARK_CAPTURE(AppendPost, Schema7, Shape::Schema7)->Arg(kDefaultRows)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(AppendPost, Fixed6, Shape::Fixed6)->Arg(kDefaultRows)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(AppendPost, Fixed6Overwrite, Shape::Fixed6Overwrite)->Arg(kDefaultRows)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
