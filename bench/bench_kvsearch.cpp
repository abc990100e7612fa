// The Kv memory table's searches, filters and trees over 12,500 / 25,000 / 50,000 rows of the benchmark
// schema: Locate of the last row by a stored value (a direct scan), through a key index (O(log n)) and
// through the fields (partial, case-insensitive), a filter refresh (a new filter text, then RecordCount),
// the same in tree mode, and a tree of as many nodes built in shuffled parent order, then sorted. Each
// figure should grow linearly with the rows (n log n for the tree's sort). Master scrolling over a detail
// with a key index on its detail field stays flat as the detail grows; without the index it is linear.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "engines/kv/IndexesKv.h"
#include "engines/kv/MemTableKv.h"
#include "engines/kv/TreeListKv.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/rtl/SysUtils.h"

namespace {

std::unique_ptr<TMemTableKv> Table(int Rows) {
  auto t = std::make_unique<TMemTableKv>(nullptr);
  AddBenchmarkSchema(t->FieldDefs());
  t->CreateDataSet();
  TField* id = t->FieldByName(u"CustomerID");
  TField* name = t->FieldByName(u"ContactName");
  TField* salary = t->FieldByName(u"Salary");
  for (int i = 1; i <= Rows; ++i) {
    t->Append();
    id->SetAsInteger(i);
    name->SetAsString(u"Name" + IntToStr(i));
    salary->SetAsFloat(i % 1000);
    t->Post();
  }
  return t;
}

void BM_LocateByValue(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto t = Table(n);
  for (auto _ : state) benchmark::DoNotOptimize(t->Locate(u"CustomerID", Variant(n), 0));
}

void BM_LocateByIndex(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto t = Table(n);
  TMTIndexKv* index = t->MemTableData()->RecordsList()->Indexes()->Add();
  index->SetFields(u"CustomerID");
  index->SetActive(true);
  for (auto _ : state) benchmark::DoNotOptimize(t->Locate(u"CustomerID", Variant(n), 0));
}

void BM_LocateThroughFields(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto t = Table(n);
  const String key = u"NAME" + IntToStr(n);
  for (auto _ : state) benchmark::DoNotOptimize(t->Locate(u"ContactName", Variant(key), loCaseInsensitive | loPartialKey));
}

void BM_FilterRefresh(benchmark::State& state) {
  auto t = Table(static_cast<int>(state.range(0)));
  t->SetFiltered(true);
  int k = 0;
  for (auto _ : state) {
    t->SetFilterText(u"Salary > " + IntToStr(100 + (k++ % 2)) + u" AND ContactName LIKE 'Name%'");
    benchmark::DoNotOptimize(t->RecordCount());
  }
}

// Tree mode: a record is the child of the record whose CustomerID equals its Salary (i % 1000), so the
// first thousand records hold the rest. A new filter decides every node's visibility again.
void BM_TreeFilterRefresh(benchmark::State& state) {
  auto t = Table(static_cast<int>(state.range(0)));
  t->TreeList().SetKeyFieldName(u"CustomerID");
  t->TreeList().SetRefParentFieldName(u"Salary");
  t->TreeList().SetActive(true);
  t->TreeList().FullExpand();
  t->SetFiltered(true);
  int k = 0;
  for (auto _ : state) {
    t->SetFilterText(u"CustomerID > " + IntToStr(40000 + (k++ % 2)));
    benchmark::DoNotOptimize(t->RecordCount());
  }
}

void BM_ShuffledTreeBuild(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::mt19937 rng(7);
  std::vector<int> parent(static_cast<size_t>(n));
  for (int i = 1; i < n; ++i) parent[static_cast<size_t>(i)] = std::uniform_int_distribution<int>(0, i - 1)(rng) - 1;
  for (auto _ : state) {
    TTreeListKv tree;
    std::vector<TBaseTreeNodeKv*> nodes(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      const int p = i == 0 ? -1 : parent[static_cast<size_t>(i)];
      nodes[static_cast<size_t>(i)] = tree.AddChild(String(), p < 0 ? nullptr : nodes[static_cast<size_t>(p)],
                                                    reinterpret_cast<void*>(static_cast<intptr_t>(n - i)));
    }
    tree.SortData(nullptr, true,
                  [](void*, TBaseTreeNodeKv* a, TBaseTreeNodeKv* b, void*) {
                    const auto x = reinterpret_cast<intptr_t>(a->Data()), y = reinterpret_cast<intptr_t>(b->Data());
                    return x < y ? -1 : (x > y ? 1 : 0);
                  },
                  nullptr);
    benchmark::DoNotOptimize(tree.GetFirst());
  }
}

// Master/detail: a master of Rows / 50 departments over a detail of Rows rows (50 per department, spread
// through the table). One iteration moves the master one row (wrapping) and counts the detail's rows.
// With a key index on the detail field each step costs O(log n + 50); without it every detail row is
// tested, O(n).
void DetailScroll(benchmark::State& state, bool Indexed) {
  const int n = static_cast<int>(state.range(0));
  const int depts = n / 50;
  auto detail = std::make_unique<TMemTableKv>(nullptr);
  AddBenchmarkSchema(detail->FieldDefs());
  if (Indexed) detail->IndexDefs().Add(u"ByDept", u"Salary", TIndexOptions{});
  detail->CreateDataSet();
  TField* id = detail->FieldByName(u"CustomerID");
  TField* dept = detail->FieldByName(u"Salary");
  for (int i = 1; i <= n; ++i) {
    detail->Append();
    id->SetAsInteger(i);
    dept->SetAsFloat(i % depts);
    detail->Post();
  }
  auto master = std::make_unique<TMemTableKv>(nullptr);
  master->FieldDefs().Add(u"Dept", ftFloat);
  master->CreateDataSet();
  for (int d = 0; d < depts; ++d) {
    master->Append();
    master->FieldByName(u"Dept")->SetAsFloat(d);
    master->Post();
  }
  TDataSource source(nullptr);
  source.SetDataSet(master.get());
  master->First();
  detail->SetMasterSource(&source);
  detail->SetMasterFields(u"Dept");
  detail->SetDetailFields(u"Salary");
  for (auto _ : state) {
    master->Next();
    if (master->Eof()) master->First();
    benchmark::DoNotOptimize(detail->RecordCount());
  }
  if (detail->RecordCount() != 50) state.SkipWithError("wrong detail rows");
}

void BM_DetailScrollIndexed(benchmark::State& state) { DetailScroll(state, true); }
void BM_DetailScrollUnindexed(benchmark::State& state) { DetailScroll(state, false); }

}  // namespace

BENCHMARK(BM_DetailScrollIndexed)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DetailScrollUnindexed)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LocateByValue)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocateByIndex)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocateThroughFields)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterRefresh)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeFilterRefresh)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShuffledTreeBuild)->Arg(12500)->Arg(25000)->Arg(50000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  InitializeMemTableDataKv();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
