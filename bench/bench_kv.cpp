// The Kv memory table on the benchmark's seven operations with 49,999 rows of the benchmark schema:
// Append, and Insert at the cursor after every Post (Append/Insert, seven setters, Post per row; the
// values are drawn beforehand), SaveToStream / LoadFromStream (binary), SaveToFile (text form, as the
// window saves) / LoadFromFile, and EmptyTable. Each is also run at 1/4 and 1/2 of the rows, and Insert
// at 200,000 rows too, so a step that grows faster than the rows shows.
#include <benchmark/benchmark.h>

#include <memory>

#include "EngineBench.h"
#include "engines/kv/MemTableKv.h"

namespace {

using enginebench::kRows;
constexpr int kLargeRows = 200000;

}  // namespace

int main(int argc, char** argv) {
  InitializeMemTableDataKv();
  // Drawn up front so the large Insert's setup matches the others'.
  enginebench::DrawnRows(kLargeRows);
  enginebench::TEngine<TMemTableKv> engine;
  engine.NewDataSet = [] {
    auto t = std::make_unique<TMemTableKv>(nullptr);
    AddBenchmarkSchema(t->FieldDefs());
    t->CreateDataSet();
    return t;
  };
  engine.SaveToFile = [](TMemTableKv& t, const String& file) { t.SaveToFile(file, dfmTextKv); };
  engine.SaveToStream = [](TMemTableKv& t, TStream* stream) { t.SaveToStream(stream); };
  engine.LoadFromFile = [](TMemTableKv& t, const String& file) { t.LoadFromFile(file); };
  engine.LoadFromStream = [](TMemTableKv& t, TStream* stream) { t.LoadFromStream(stream); };
  engine.Empty = [](TMemTableKv& t) { t.EmptyTable(); };
  engine.DataFile = u"/tmp/bench_kv_TMemTableKv.dat";
  engine.RowArgs = {kRows / 4, kRows / 2, kRows};
  engine.AfterInsert = [&engine] {
    benchmark::RegisterBenchmark("BM_Insert", [&engine](benchmark::State& state) { engine.Insert(state); })
        ->Arg(kLargeRows)
        ->Unit(benchmark::kMillisecond);
  };
  engine.Register();
  return enginebench::RunRegistered(argc, argv);
}
