// The vlx memory table on the benchmark's seven operations with 49,999 rows of the benchmark schema:
// Append, and Insert at the cursor after every Post (Append/Insert, seven setters, Post per row; the
// values are drawn beforehand), SaveToStream / LoadFromStream and SaveToFile / LoadFromFile through a
// default TvlxBinaryStreamFormat, and EmptyTable. Each row is also run at 1/4 and 1/2 of the rows,
// so a step that grows faster than the rows shows.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/classes/Files.h"
#include "platform/sys/CodePage.h"

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

std::unique_ptr<TvlxMemTable> NewTable() {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  TFieldDefs& defs = t->FieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  defs.Add(u"Comment", ftWideMemo);
  t->CreateTable();
  t->Open();
  return t;
}

void Fill(TvlxMemTable& t, bool append, int rows) {
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

std::unique_ptr<TvlxMemTable> Filled(int rows) {
  auto t = NewTable();
  Fill(*t, true, rows);
  return t;
}

String DataFile() { return u"/tmp/bench_vlx_TvlxMemTable.dat"; }

void BM_SaveToFile(benchmark::State& state) {
  auto t = Filled(Rows(state));
  TvlxBinaryStreamFormat format;
  for (auto _ : state) {
    if (FileExists(DataFile())) DeleteFile(DataFile());
    t->SaveToFileViaFormat(DataFile(), &format);
  }
}

void BM_SaveToStream(benchmark::State& state) {
  auto t = Filled(Rows(state));
  TvlxBinaryStreamFormat format;
  TMemoryStream stream;
  for (auto _ : state) {
    stream.SetSize(0);
    t->SaveToStreamViaFormat(&stream, &format);
  }
  state.counters["bytes"] = static_cast<double>(stream.Size());
}

void BM_EmptyTable(benchmark::State& state) {
  TvlxBinaryStreamFormat format;
  TMemoryStream stream;
  Filled(Rows(state))->SaveToStreamViaFormat(&stream, &format);
  auto t = NewTable();
  for (auto _ : state) {
    state.PauseTiming();
    stream.SetPosition(0);
    t->LoadFromStreamViaFormat(&stream, &format);
    state.ResumeTiming();
    t->EmptyTable();
  }
}

void BM_LoadFromFile(benchmark::State& state) {
  TvlxBinaryStreamFormat format;
  Filled(Rows(state))->SaveToFileViaFormat(DataFile(), &format);
  auto t = NewTable();
  for (auto _ : state) t->LoadFromFileViaFormat(DataFile(), &format);
  if (t->RecordCount() != Rows(state)) state.SkipWithError("row count");
}

void BM_LoadFromStream(benchmark::State& state) {
  TvlxBinaryStreamFormat format;
  TMemoryStream stream;
  Filled(Rows(state))->SaveToStreamViaFormat(&stream, &format);
  auto t = NewTable();
  for (auto _ : state) {
    stream.SetPosition(0);
    t->LoadFromStreamViaFormat(&stream, &format);
  }
  if (t->RecordCount() != Rows(state)) state.SkipWithError("row count");
}

}  // namespace

#define VLX_ROWS ->Arg(kRows / 4)->Arg(kRows / 2)->Arg(kRows)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Append) VLX_ROWS;
BENCHMARK(BM_Insert) VLX_ROWS;
BENCHMARK(BM_SaveToFile) VLX_ROWS;
BENCHMARK(BM_SaveToStream) VLX_ROWS;
BENCHMARK(BM_EmptyTable) VLX_ROWS;
BENCHMARK(BM_LoadFromFile) VLX_ROWS;
BENCHMARK(BM_LoadFromStream) VLX_ROWS;

BENCHMARK_MAIN();
