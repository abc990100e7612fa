// The field-list dataset on the benchmark's seven operations with 49,999 rows of the benchmark schema:
// Append and Insert (Append/Insert, seven setters, Post per row; the values are drawn beforehand),
// SaveToStream / LoadFromStream, SaveToFile / LoadFromFile, EmptyDataSet; and the store's per-row getters
// (text, date-time, SQL time stamp, float, currency of the date-time and float columns), with the heap
// allocations they make per row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "engines/fieldlist/IdDataSet.h"
#include "platform/classes/Files.h"
#include "platform/sys/CodePage.h"

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

constexpr int kRows = 49999;

struct TDrawnRow {
  int Id;
  String Name;
  TDateTime Birthdate;
  bool Married;
  double Salary;
  String Address;
  String Comment;
};

const std::vector<TDrawnRow>& DrawnRows() {
  static const std::vector<TDrawnRow> rows = [] {
    sys::SetSystemCodePage(936);
    std::vector<TDrawnRow> r;
    r.reserve(kRows);
    unsigned seed = 20261210;
    auto next = [&seed](unsigned k) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % k;
    };
    for (int i = 1; i <= kRows; ++i) {
      String name(1, static_cast<char16_t>(0x8D75 + next(40)));
      for (unsigned n = next(2) + 1; n > 0; --n) name.push_back(static_cast<char16_t>(0x4E00 + next(20902)));
      r.push_back({i + 1, name, 46000.5 - 365.25 * (15 + next(30)), next(2) == 1,
                   4000 + next(10000) + next(1000) / 1000.0, u"Address for " + name, u"Comment for " + name});
    }
    return r;
  }();
  return rows;
}

std::unique_ptr<TIdMemDataSet> NewDataSet() {
  auto ds = std::make_unique<TIdMemDataSet>(nullptr);
  TFieldDefs& defs = ds->VirtualFieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  defs.Add(u"Comment", ftWideMemo);
  ds->CreateDataSet();
  return ds;
}

void Fill(TIdMemDataSet& ds, bool append) {
  const std::vector<TDrawnRow>& rows = DrawnRows();
  ds.DisableControls();
  TField* id = ds.FieldByName(u"CustomerID");
  TField* name = ds.FieldByName(u"ContactName");
  TField* birthdate = ds.FieldByName(u"Birthdate");
  TField* married = ds.FieldByName(u"MaritalStatus");
  TField* salary = ds.FieldByName(u"Salary");
  TField* address = ds.FieldByName(u"Address");
  TField* comment = ds.FieldByName(u"Comment");
  for (const TDrawnRow& r : rows) {
    if (append) ds.Append();
    else ds.Insert();
    id->SetAsInteger(r.Id);
    name->SetAsString(r.Name);
    birthdate->SetAsDateTime(r.Birthdate);
    married->SetAsBoolean(r.Married);
    salary->SetAsFloat(r.Salary);
    address->SetAsString(r.Address);
    comment->SetAsString(r.Comment);
    ds.Post();
  }
  ds.EnableControls();
}

void AddRows(benchmark::State& state, bool append) {
  DrawnRows();
  for (auto _ : state) {
    state.PauseTiming();
    auto ds = NewDataSet();
    state.ResumeTiming();
    Fill(*ds, append);
    state.PauseTiming();
    if (ds->RecordCount() != kRows) state.SkipWithError("row count");
    ds.reset();
    state.ResumeTiming();
  }
}

void BM_Append(benchmark::State& state) { AddRows(state, true); }
void BM_Insert(benchmark::State& state) { AddRows(state, false); }

TIdMemDataSet& Filled() {
  static std::unique_ptr<TIdMemDataSet> ds = [] {
    auto d = NewDataSet();
    Fill(*d, true);
    return d;
  }();
  return *ds;
}

String DataFile() { return u"/tmp/bench_fieldlist_TIdMemDataSet.dat"; }

void BM_SaveToFile(benchmark::State& state) {
  TIdMemDataSet& ds = Filled();
  for (auto _ : state) {
    if (FileExists(DataFile())) DeleteFile(DataFile());
    ds.SaveToFile(DataFile());
  }
}

void BM_SaveToStream(benchmark::State& state) {
  TIdMemDataSet& ds = Filled();
  TMemoryStream stream;
  for (auto _ : state) {
    stream.SetSize(0);
    ds.SaveToStream(&stream);
  }
  state.counters["bytes"] = static_cast<double>(stream.Size());
}

void BM_EmptyDataSet(benchmark::State& state) {
  TMemoryStream stream;
  Filled().SaveToStream(&stream);
  auto ds = NewDataSet();
  for (auto _ : state) {
    state.PauseTiming();
    ds->LoadFromStream(&stream);
    state.ResumeTiming();
    ds->EmptyDataSet();
  }
}

void BM_LoadFromFile(benchmark::State& state) {
  Filled().SaveToFile(DataFile());
  auto ds = NewDataSet();
  for (auto _ : state) {
    ds->Close();
    ds->LoadFromFile(DataFile());
  }
  if (ds->RecordCount() != kRows) state.SkipWithError("row count");
}

void BM_LoadFromStream(benchmark::State& state) {
  TMemoryStream stream;
  Filled().SaveToStream(&stream);
  auto ds = NewDataSet();
  for (auto _ : state) {
    stream.SetPosition(0);
    ds->LoadFromStream(&stream);
  }
  if (ds->RecordCount() != kRows) state.SkipWithError("row count");
}

void BM_FieldGetters(benchmark::State& state) {
  TIdMemDataSet& ds = Filled();
  const TIdField* birthdate = ds.IdFieldByName(u"Birthdate");
  const TIdField* salary = ds.IdFieldByName(u"Salary");
  const int rows = ds.RecordCount();
  std::size_t allocations = 0;
  for (auto _ : state) {
    const std::size_t before = gAllocations;
    for (int i = 0; i < rows; ++i) {
      benchmark::DoNotOptimize(birthdate->GetAsString(i));
      benchmark::DoNotOptimize(birthdate->GetAsDateTime(i));
      benchmark::DoNotOptimize(birthdate->GetAsSQLTimeStamp(i));
      benchmark::DoNotOptimize(salary->GetAsString(i));
      benchmark::DoNotOptimize(salary->GetAsCurrency(i));
    }
    allocations = gAllocations - before;
  }
  state.counters["allocs/row"] = static_cast<double>(allocations) / rows;
}

}  // namespace

BENCHMARK(BM_Append)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Insert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveToFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveToStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmptyDataSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFromFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFromStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FieldGetters)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
