// The Kv memory table on the benchmark's seven operations with 49,999 rows of the benchmark schema:
// Append, and Insert at the cursor after every Post (Append/Insert, seven setters, Post per row; the
// values are drawn beforehand), SaveToStream / LoadFromStream (binary), SaveToFile (text form, as the
// window saves) / LoadFromFile, and EmptyTable. Each is also run at 1/4 and 1/2 of the rows, and Insert
// at 200,000 rows too, so a step that grows faster than the rows shows.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "engines/kv/MemTableKv.h"
#include "platform/classes/Files.h"
#include "platform/sys/CodePage.h"

namespace {

constexpr int kRows = 49999;
constexpr int kLargeRows = 200000;

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
    InitializeMemTableDataKv();
    std::vector<TDrawnRow> r;
    r.reserve(kRows);
    unsigned seed = 20261210;
    auto next = [&seed](unsigned k) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % k;
    };
    for (int i = 1; i <= kLargeRows; ++i) {
      String name(1, static_cast<char16_t>(0x8D75 + next(40)));
      for (unsigned n = next(2) + 1; n > 0; --n) name.push_back(static_cast<char16_t>(0x4E00 + next(20902)));
      r.push_back({i + 1, name, 46000.5 - 365.25 * (15 + next(30)), next(2) == 1,
                   4000 + next(10000) + next(1000) / 1000.0, u"Address for " + name, u"Comment for " + name});
    }
    return r;
  }();
  return rows;
}

std::unique_ptr<TMemTableKv> NewTable() {
  auto t = std::make_unique<TMemTableKv>(nullptr);
  TFieldDefs& defs = t->FieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  defs.Add(u"Comment", ftWideMemo);
  t->CreateDataSet();
  return t;
}

void Fill(TMemTableKv& t, bool append, int rows) {
  const std::vector<TDrawnRow>& drawn = DrawnRows();
  t.DisableControls();
  TField* id = t.FieldByName(u"CustomerID");
  TField* name = t.FieldByName(u"ContactName");
  TField* birthdate = t.FieldByName(u"Birthdate");
  TField* married = t.FieldByName(u"MaritalStatus");
  TField* salary = t.FieldByName(u"Salary");
  TField* address = t.FieldByName(u"Address");
  TField* comment = t.FieldByName(u"Comment");
  for (int i = 0; i < rows; ++i) {
    const TDrawnRow& r = drawn[static_cast<std::size_t>(i)];
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

int Rows(const benchmark::State& state) { return static_cast<int>(state.range(0)); }

void AddRows(benchmark::State& state, bool append) {
  DrawnRows();
  for (auto _ : state) {
    state.PauseTiming();
    auto t = NewTable();
    state.ResumeTiming();
    Fill(*t, append, Rows(state));
    state.PauseTiming();
    if (t->RecordCount() != Rows(state)) state.SkipWithError("row count");
    t.reset();
    state.ResumeTiming();
  }
}

void BM_Append(benchmark::State& state) { AddRows(state, true); }
void BM_Insert(benchmark::State& state) { AddRows(state, false); }

std::unique_ptr<TMemTableKv> Filled(int rows) {
  auto t = NewTable();
  Fill(*t, true, rows);
  return t;
}

String DataFile() { return u"/tmp/bench_kv_TMemTableKv.dat"; }

void BM_SaveToFile(benchmark::State& state) {
  auto t = Filled(Rows(state));
  for (auto _ : state) {
    if (FileExists(DataFile())) DeleteFile(DataFile());
    t->SaveToFile(DataFile(), dfmTextKv);
  }
}

void BM_SaveToStream(benchmark::State& state) {
  auto t = Filled(Rows(state));
  TMemoryStream stream;
  for (auto _ : state) {
    stream.SetSize(0);
    t->SaveToStream(&stream);
  }
  state.counters["bytes"] = static_cast<double>(stream.Size());
}

void BM_EmptyTable(benchmark::State& state) {
  TMemoryStream stream;
  Filled(Rows(state))->SaveToStream(&stream);
  auto t = NewTable();
  for (auto _ : state) {
    state.PauseTiming();
    stream.SetPosition(0);
    t->LoadFromStream(&stream);
    state.ResumeTiming();
    t->EmptyTable();
  }
}

void BM_LoadFromFile(benchmark::State& state) {
  Filled(Rows(state))->SaveToFile(DataFile(), dfmTextKv);
  auto t = NewTable();
  for (auto _ : state) t->LoadFromFile(DataFile());
  if (t->RecordCount() != Rows(state)) state.SkipWithError("row count");
}

void BM_LoadFromStream(benchmark::State& state) {
  TMemoryStream stream;
  Filled(Rows(state))->SaveToStream(&stream);
  auto t = NewTable();
  for (auto _ : state) {
    stream.SetPosition(0);
    t->LoadFromStream(&stream);
  }
  if (t->RecordCount() != Rows(state)) state.SkipWithError("row count");
}

}  // namespace

#define KV_ROWS ->Arg(kRows / 4)->Arg(kRows / 2)->Arg(kRows)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Append) KV_ROWS;
BENCHMARK(BM_Insert) KV_ROWS;
BENCHMARK(BM_Insert)->Arg(kLargeRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveToFile) KV_ROWS;
BENCHMARK(BM_SaveToStream) KV_ROWS;
BENCHMARK(BM_EmptyTable) KV_ROWS;
BENCHMARK(BM_LoadFromFile) KV_ROWS;
BENCHMARK(BM_LoadFromStream) KV_ROWS;

BENCHMARK_MAIN();
