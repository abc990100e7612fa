// The virtual table on the benchmark's seven operations with 49,999 rows of the benchmark schema: Append
// and Insert (Append/Insert, seven setters, Post per row; the values are drawn beforehand), an Insert run
// after an Append run (the rows pile up before the last one, as in the window), SaveToStream /
// LoadFromStream, SaveToFile / LoadFromFile and Clear, with the heap allocations per row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "engines/virttable/VirtTable.h"
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

std::unique_ptr<TVirtTable> NewTable() {
  auto t = std::make_unique<TVirtTable>(nullptr);
  TFieldDefs& defs = t->FieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  defs.Add(u"Comment", ftWideMemo);
  t->Open();
  return t;
}

void Fill(TVirtTable& t, bool append) {
  const std::vector<TDrawnRow>& rows = DrawnRows();
  t.DisableControls();
  TField* id = t.FieldByName(u"CustomerID");
  TField* name = t.FieldByName(u"ContactName");
  TField* birthdate = t.FieldByName(u"Birthdate");
  TField* married = t.FieldByName(u"MaritalStatus");
  TField* salary = t.FieldByName(u"Salary");
  TField* address = t.FieldByName(u"Address");
  TField* comment = t.FieldByName(u"Comment");
  for (const TDrawnRow& r : rows) {
    if (append) t.Append();
    else t.Insert();
    id->SetAsInteger(r.Id);
    name->SetAsString(r.Name);
    birthdate->SetAsDateTime(r.Birthdate);
    married->SetAsBoolean(r.Married);
    salary->SetAsFloat(r.Salary);
    address->SetAsString(r.Address);
    comment->SetAsString(r.Comment);
    t.Post();
  }
  t.EnableControls();
}

void AddRows(benchmark::State& state, bool append, bool afterAppend) {
  DrawnRows();
  std::size_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto t = NewTable();
    if (afterAppend) Fill(*t, true);
    const std::size_t before = gAllocations;
    state.ResumeTiming();
    Fill(*t, append);
    state.PauseTiming();
    allocations = gAllocations - before;
    if (t->RecordCount() != kRows * (afterAppend ? 2 : 1)) state.SkipWithError("row count");
    t.reset();
    state.ResumeTiming();
  }
  state.counters["allocs/row"] = static_cast<double>(allocations) / kRows;
}

void BM_Append(benchmark::State& state) { AddRows(state, true, false); }
void BM_Insert(benchmark::State& state) { AddRows(state, false, false); }
void BM_InsertAfterAppend(benchmark::State& state) { AddRows(state, false, true); }

TVirtTable& Filled() {
  static std::unique_ptr<TVirtTable> t = [] {
    auto d = NewTable();
    Fill(*d, true);
    return d;
  }();
  return *t;
}

String DataFile() { return u"/tmp/bench_virttable_TVirtTable.dat"; }

void BM_SaveToFile(benchmark::State& state) {
  TVirtTable& t = Filled();
  for (auto _ : state) {
    if (FileExists(DataFile())) DeleteFile(DataFile());
    t.SaveToFile(DataFile(), true, false);
  }
}

void BM_SaveToStream(benchmark::State& state) {
  TVirtTable& t = Filled();
  TMemoryStream stream;
  for (auto _ : state) {
    stream.SetSize(0);
    t.SaveToStream(&stream, true, false);
  }
  state.counters["bytes"] = static_cast<double>(stream.Size());
}

void BM_Clear(benchmark::State& state) {
  TMemoryStream stream;
  Filled().SaveToStream(&stream);
  auto t = NewTable();
  for (auto _ : state) {
    state.PauseTiming();
    t->LoadFromStream(&stream, true, true);
    state.ResumeTiming();
    t->Clear();
  }
}

void BM_LoadFromFile(benchmark::State& state) {
  Filled().SaveToFile(DataFile());
  auto t = NewTable();
  for (auto _ : state) t->LoadFromFile(DataFile(), true, true);
  if (t->RecordCount() != kRows) state.SkipWithError("row count");
}

void BM_LoadFromStream(benchmark::State& state) {
  TMemoryStream stream;
  Filled().SaveToStream(&stream);
  auto t = NewTable();
  std::size_t allocations = 0;
  for (auto _ : state) {
    const std::size_t before = gAllocations;
    t->LoadFromStream(&stream, true, true);
    allocations = gAllocations - before;
  }
  if (t->RecordCount() != kRows) state.SkipWithError("row count");
  state.counters["allocs/row"] = static_cast<double>(allocations) / kRows;
}

}  // namespace

BENCHMARK(BM_Append)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Insert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertAfterAppend)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveToFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveToStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Clear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFromFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFromStream)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
