// The virtual table on the benchmark's seven operations with 49,999 rows of the benchmark schema: Append
// and Insert (Append/Insert, seven setters, Post per row; the values are drawn beforehand), an Insert run
// after an Append run (the rows pile up before the last one, as in the window), SaveToStream /
// LoadFromStream, SaveToFile / LoadFromFile and Clear, with the heap allocations per row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

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

// A filled table (Append run); setup of the sort, filter and search benchmarks.
std::unique_ptr<TVirtTable> Filled() {
  auto t = gEngine.NewDataSet();
  enginebench::Fill(*t, true, kRows);
  return t;
}

// Inserts into a table sorted by CustomerID: each new row moves to its place by neighbour
// exchanges (linear in the rows), random or descending keys.
void BM_SortedInsert(benchmark::State& state) {
  const bool reverse = state.range(0) != 0;
  std::vector<int> keys(kRows);
  unsigned seed = 7;
  for (int i = 0; i < kRows; ++i) keys[static_cast<std::size_t>(i)] = reverse ? kRows - i : static_cast<int>((seed = seed * 1103515245u + 12345u) >> 8) % 1000000;
  for (auto _ : state) {
    state.PauseTiming();
    auto t = gEngine.NewDataSet();
    t->SetIndexFieldNames(u"CustomerID");
    TField* id = t->FieldByName(u"CustomerID");
    state.ResumeTiming();
    for (int k : keys) {
      t->Append();
      id->SetAsInteger(k);
      t->Post();
    }
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
}

void BM_Sort(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto t = Filled();
    state.ResumeTiming();
    t->SetIndexFieldNames(u"ContactName;CustomerID DESC");
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
}

void BM_Filter(benchmark::State& state) {
  auto t = Filled();
  int n = 0;
  long long allocations = 0;
  for (auto _ : state) {
    const long long before = benchalloc::Count();
    t->SetFiltered(false);
    t->SetFilterText(state.range(0) ? u"ContactName LIKE '%\x8D75%'" : u"Salary > 9000 AND MaritalStatus = TRUE");
    t->SetFiltered(true);
    n = t->RecordCount();
    allocations = benchalloc::Count() - before;
  }
  state.counters["rows"] = n;
  // The text's parse and the view's buffers; nothing per row tested.
  state.counters["allocs/row"] = static_cast<double>(allocations) / kRows;
}

// 1,000 Locate calls on CustomerID: sorted by it (binary search) or not (scan).
void BM_Locate(benchmark::State& state) {
  auto t = Filled();
  if (state.range(0)) t->SetIndexFieldNames(u"CustomerID");
  int found = 0;
  long long allocations = 0;
  for (auto _ : state) {
    found = 0;
    const long long before = benchalloc::Count();
    for (int i = 0; i < 1000; ++i) found += t->Locate(u"CustomerID", Variant(2 + (i * 4999) % kRows), 0) ? 1 : 0;
    allocations = benchalloc::Count() - before;
  }
  state.counters["found"] = found;
  // Per call: the keys and the view's resync, whatever the number of rows scanned.
  state.counters["allocs/locate"] = static_cast<double>(allocations) / 1000;
}

void BM_XmlLoad(benchmark::State& state) {
  std::string doc =
      "<xml><s:Schema id='RowsetSchema'><s:ElementType name='row'>"
      "<s:AttributeType name='ID'><s:datatype dt:type='int' dt:maxlength='4'/></s:AttributeType>"
      "<s:AttributeType name='Name'><s:datatype dt:type='string' dt:maxlength='20'/></s:AttributeType>"
      "<s:AttributeType name='Pay'><s:datatype dt:type='float' dt:maxlength='8'/></s:AttributeType>"
      "<s:AttributeType name='Born'><s:datatype dt:type='dateTime' rs:dbtype='variantdate' dt:maxlength='16'/>"
      "</s:AttributeType></s:ElementType></s:Schema><rs:data>\n";
  for (int i = 1; i <= kRows; ++i)
    doc += "<z:row ID='" + std::to_string(i) + "' Name='name " + std::to_string(i % 977) + "' Pay='" +
           std::to_string(i % 9000) + ".25' Born='1990-01-02T03:04:05'/>\n";
  doc += "</rs:data></xml>\n";
  TMemoryStream s;
  s.WriteBuffer(doc.data(), static_cast<Int64>(doc.size()));
  for (auto _ : state) {
    TVirtTable t(nullptr);
    t.LoadFromStream(&s);
    if (!t.Active()) t.Open();
    if (t.RecordCount() != kRows) state.SkipWithError("row count");
  }
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
    benchmark::RegisterBenchmark("BM_SortedInsert", BM_SortedInsert)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Sort", BM_Sort)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Filter", BM_Filter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Locate", BM_Locate)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_XmlLoad", BM_XmlLoad)->Unit(benchmark::kMillisecond);
  };
  gEngine.Register();
  return enginebench::RunRegistered(argc, argv);
}
