// The seven operations every engine is measured on, written once so the engines' numbers stay
// comparable: each engine passes what differs (how to make an empty dataset of the benchmark schema,
// how to save, load and empty it) and gets the same benchmarks, the same rows and the same timing
// boundaries. Rows are drawn before any timing so the generator's cost never lands in a measurement.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/classes/Files.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/sys/CodePage.h"

namespace enginebench {

inline constexpr int kRows = 49999;

struct TDrawnRow {
  int Id;
  String Name;
  TDateTime Birthdate;
  bool Married;
  double Salary;
  String Address;
  String Comment;
};

// The first `rows` drawn rows. The sequence is fixed by its seed and grows on demand, so an engine
// that needs more rows than the others still sees the same first ones.
inline const std::vector<TDrawnRow>& DrawnRows(int rows = kRows) {
  static std::vector<TDrawnRow> drawn;
  static unsigned seed = 20261210;
  if (drawn.empty()) sys::SetSystemCodePage(936);
  auto next = [](unsigned k) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % k;
  };
  drawn.reserve(static_cast<std::size_t>(rows));
  for (int i = static_cast<int>(drawn.size()) + 1; i <= rows; ++i) {
    String name(1, static_cast<char16_t>(0x8D75 + next(40)));
    for (unsigned n = next(2) + 1; n > 0; --n) name.push_back(static_cast<char16_t>(0x4E00 + next(20902)));
    drawn.push_back({i + 1, name, 46000.5 - 365.25 * (15 + next(30)), next(2) == 1,
                     4000 + next(10000) + next(1000) / 1000.0, u"Address for " + name, u"Comment for " + name});
  }
  return drawn;
}

// Appends or inserts the first `rows` drawn rows: Append/Insert, seven setters, Post per row.
template <class T>
void Fill(T& ds, bool append, int rows) {
  const std::vector<TDrawnRow>& drawn = DrawnRows(rows);
  ds.DisableControls();
  const TBenchmarkFields f(ds);
  for (int i = 0; i < rows; ++i) {
    const TDrawnRow& r = drawn[static_cast<std::size_t>(i)];
    if (append) ds.Append();
    else ds.Insert();
    f.CustomerID->SetAsInteger(r.Id);
    f.ContactName->SetAsString(r.Name);
    f.Birthdate->SetAsDateTime(r.Birthdate);
    f.MaritalStatus->SetAsBoolean(r.Married);
    f.Salary->SetAsFloat(r.Salary);
    f.Address->SetAsString(r.Address);
    f.Comment->SetAsString(r.Comment);
    ds.Post();
  }
  ds.EnableControls();
}

template <class T>
struct TEngine {
  // An open, empty dataset of the benchmark schema.
  std::function<std::unique_ptr<T>()> NewDataSet;
  std::function<void(T&, const String&)> SaveToFile;
  std::function<void(T&, TStream*)> SaveToStream;
  std::function<void(T&, const String&)> LoadFromFile;
  std::function<void(T&, TStream*)> LoadFromStream;
  std::function<void(T&)> Empty;
  // Each engine's name for emptying is kept so its results line up with its earlier runs.
  std::string EmptyName = "BM_EmptyTable";
  String DataFile;
  // Row counts to run each benchmark at; none means one run at kRows without an argument in the name.
  std::vector<int> RowArgs;
  // When set, Append, Insert and LoadFromStream also report the heap allocations per row.
  std::function<std::size_t()> Allocations;
  // Registers engine-specific benchmarks right after Insert, keeping the report in its usual order.
  std::function<void()> AfterInsert;

  int Rows(const benchmark::State& state) const {
    return RowArgs.empty() ? kRows : static_cast<int>(state.range(0));
  }

  // Filled once per row count and reused: filling is setup, never timed.
  T& Filled(int rows) {
    std::unique_ptr<T>& ds = filled_[rows];
    if (!ds) {
      ds = NewDataSet();
      Fill(*ds, true, rows);
    }
    return *ds;
  }

  void AddRows(benchmark::State& state, bool append) {
    const int rows = Rows(state);
    DrawnRows(rows);
    std::size_t allocations = 0;
    for (auto _ : state) {
      state.PauseTiming();
      auto ds = NewDataSet();
      const std::size_t before = Allocations ? Allocations() : 0;
      state.ResumeTiming();
      Fill(*ds, append, rows);
      state.PauseTiming();
      if (Allocations) allocations = Allocations() - before;
      if (ds->RecordCount() != rows) state.SkipWithError("row count");
      ds.reset();
      state.ResumeTiming();
    }
    if (Allocations) state.counters["allocs/row"] = static_cast<double>(allocations) / rows;
  }

  void SaveFile(benchmark::State& state) {
    T& ds = Filled(Rows(state));
    for (auto _ : state) {
      if (FileExists(DataFile)) DeleteFile(DataFile);
      SaveToFile(ds, DataFile);
    }
  }

  void SaveStream(benchmark::State& state) {
    T& ds = Filled(Rows(state));
    TMemoryStream stream;
    for (auto _ : state) {
      stream.SetSize(0);
      SaveToStream(ds, &stream);
    }
    state.counters["bytes"] = static_cast<double>(stream.Size());
  }

  void EmptyRows(benchmark::State& state) {
    TMemoryStream stream;
    SaveToStream(Filled(Rows(state)), &stream);
    auto ds = NewDataSet();
    for (auto _ : state) {
      state.PauseTiming();
      stream.SetPosition(0);
      LoadFromStream(*ds, &stream);
      state.ResumeTiming();
      Empty(*ds);
    }
  }

  void LoadFile(benchmark::State& state) {
    const int rows = Rows(state);
    SaveToFile(Filled(rows), DataFile);
    auto ds = NewDataSet();
    for (auto _ : state) LoadFromFile(*ds, DataFile);
    if (ds->RecordCount() != rows) state.SkipWithError("row count");
  }

  void LoadStream(benchmark::State& state) {
    const int rows = Rows(state);
    TMemoryStream stream;
    SaveToStream(Filled(rows), &stream);
    auto ds = NewDataSet();
    std::size_t allocations = 0;
    for (auto _ : state) {
      stream.SetPosition(0);
      const std::size_t before = Allocations ? Allocations() : 0;
      LoadFromStream(*ds, &stream);
      if (Allocations) allocations = Allocations() - before;
    }
    if (ds->RecordCount() != rows) state.SkipWithError("row count");
    if (Allocations) state.counters["allocs/row"] = static_cast<double>(allocations) / rows;
  }

  // Applies this engine's row counts and unit to a registered benchmark.
  benchmark::internal::Benchmark* Shape(benchmark::internal::Benchmark* b) const {
    for (int rows : RowArgs) b->Arg(rows);
    return b->Unit(benchmark::kMillisecond);
  }

  // Registers the seven operations; the engine must outlive the benchmark run.
  void Register() {
    auto add = [this](const std::string& name, void (TEngine::*run)(benchmark::State&)) {
      Shape(benchmark::RegisterBenchmark(name.c_str(), [this, run](benchmark::State& state) { (this->*run)(state); }));
    };
    add("BM_Append", &TEngine::Append);
    add("BM_Insert", &TEngine::Insert);
    if (AfterInsert) AfterInsert();
    add("BM_SaveToFile", &TEngine::SaveFile);
    add("BM_SaveToStream", &TEngine::SaveStream);
    add(EmptyName, &TEngine::EmptyRows);
    add("BM_LoadFromFile", &TEngine::LoadFile);
    add("BM_LoadFromStream", &TEngine::LoadStream);
  }

  void Append(benchmark::State& state) { AddRows(state, true); }
  void Insert(benchmark::State& state) { AddRows(state, false); }

 private:
  std::map<int, std::unique_ptr<T>> filled_;
};

// The rest of main() once every benchmark is registered.
inline int RunRegistered(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace enginebench
