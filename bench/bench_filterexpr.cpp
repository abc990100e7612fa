// Compiling filter texts (platform/db/ExprParser.h) against the benchmark's seven fields.
//
//   Compile/Typical      one filter of the kind a user types: four conditions, a date, a partial text
//   Compile/Terms/N      N "CustomerID = k OR" terms: time per term stays flat as N grows (linear compile)
//
// Counters: ns_per_term (Terms), allocs counted by this program's operator new per compile.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/db/ExprParser.h"
#include "platform/db/testing/VectorDataSet.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#pragma GCC diagnostic ignored "-Wrestrict"

#include "AllocationCounter.h"

namespace {

TFieldMap IdentityMap() {
  TFieldMap m{};
  for (int t = 0; t < kFieldTypeCount; ++t) m[static_cast<std::size_t>(t)] = static_cast<Byte>(t);
  return m;
}

struct Schema {
  TVectorDataSet ds{nullptr};
  Schema() {
    ds.FieldDefs().Add(u"CustomerID", ftInteger);
    ds.FieldDefs().Add(u"ContactName", ftString, 10);
    ds.FieldDefs().Add(u"Birthdate", ftDateTime);
    ds.FieldDefs().Add(u"MaritalStatus", ftBoolean);
    ds.FieldDefs().Add(u"Salary", ftFloat);
    ds.FieldDefs().Add(u"Address", ftWideString, 20);
    ds.FieldDefs().Add(u"Comment", ftWideMemo);
  }
};

void Run(benchmark::State& state, const String& text, int terms) {
  Schema schema;
  const TFieldMap map = IdentityMap();
  long long allocs = 0;
  for (auto _ : state) {
    const long long before = benchalloc::Count();
    TExprParser parser(&schema.ds, text, foCaseInsensitive, poExtSyntax, String(), map, false);
    benchmark::DoNotOptimize(parser.DataSize());
    allocs = benchalloc::Count() - before;
  }
  state.counters["allocs"] = static_cast<double>(allocs);
  if (terms > 0)
    state.counters["ns_per_term"] =
        benchmark::Counter(static_cast<double>(terms), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void CompileTypical(benchmark::State& state) {
  Run(state,
      u"CustomerID > 100 AND ContactName = 'Jo*' AND Birthdate >= '2020-01-01' AND MaritalStatus "
      u"OR Address LIKE '%路%'",
      0);
}

void CompileTerms(benchmark::State& state) {
  const int terms = static_cast<int>(state.range(0));
  String text = u"CustomerID = 0";
  for (int i = 1; i < terms; ++i) text += u" OR CustomerID = " + IntToStr(i);
  Run(state, text, terms);
}

}  // namespace

BENCHMARK(CompileTypical)->Name("Compile/Typical");
BENCHMARK(CompileTerms)->Name("Compile/Terms")->Arg(10)->Arg(50)->Arg(100)->Arg(150)->Arg(200);
BENCHMARK_MAIN();
