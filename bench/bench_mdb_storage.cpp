// Mdb storage: the memory record manager appending benchmark rows (84 bytes, the benchmark table's
// layout) and its block with the records saved and loaded back into their slots; page cache commits;
// B-tree index inserts, deletes and searches of random Int32 keys beside std::multimap.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbBTreeIndex.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {

constexpr std::int32_t kRowSize = 84;

void BM_AddRecord(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  std::vector<Byte> Row(kRowSize, 0);
  for (auto _ : State) {
    TMdbMemoryRecordManager M(nullptr, kRowSize, 1000);
    TMdbRecordID Id;
    for (std::int32_t i = 0; i < N; ++i) {
      std::memcpy(Row.data() + 1, &i, 4);
      M.AddRecord(Row.data(), Id, 1);
    }
    benchmark::DoNotOptimize(M.RecordCount());
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_AddRecord)->Arg(50000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The floor under AddRecord: taking n rows' worth of fresh memory from the system and writing it once.
// Past the C library's largest reuse threshold (32 MB) every run pays the kernel's page faults; the
// step from 50,000 rows (4 MB) to 500,000 (42 MB) costs this much more per row whatever the engine does.
void BM_FreshMemoryFloor(benchmark::State& State) {
  const auto Bytes = static_cast<std::size_t>(State.range(0)) * kRowSize;
  for (auto _ : State) {
    auto* p = static_cast<Byte*>(std::malloc(Bytes));
    std::memset(p, 1, Bytes);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
  State.SetItemsProcessed(State.iterations() * State.range(0));
}
BENCHMARK(BM_FreshMemoryFloor)->Arg(50000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_RecordBlockSaveLoad(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  TMdbMemoryRecordManager M(nullptr, kRowSize, 1000);
  std::vector<Byte> Row(kRowSize, 0);
  TMdbRecordID Id;
  for (std::int32_t i = 0; i < N; ++i) M.AddRecord(Row.data(), Id, 1);
  for (std::int32_t i = 0; i < N; i += 7) {
    TMdbRecordID D{i, 0};
    M.DeleteRecord(D, 1);
  }
  for (auto _ : State) {
    TMdbMemoryStream S;
    M.SaveToStream(&S);
    for (std::int32_t s = M.FirstRecordID(); s <= M.LastRecordID(); ++s)
      if (!M.IsSlotDeleted(s)) S.Write(M.SlotBuffer(s), kRowSize);
    S.SetPosition(0);
    TMdbMemoryRecordManager L(nullptr, kRowSize, 1000);
    L.LoadFromStream(&S);
    std::int32_t Pos = -1;
    const auto* p = static_cast<const Byte*>(S.Buffer()) + S.Position();
    for (Int64 k = 0; k < M.RecordCount(); ++k, p += kRowSize) L.AddLoadedRecord(p, Pos);
    benchmark::DoNotOptimize(L.RecordCount());
  }
  State.SetItemsProcessed(State.iterations() * M.RecordCount());
}
BENCHMARK(BM_RecordBlockSaveLoad)->Arg(500000)->Unit(benchmark::kMillisecond);

// The commit step runs after every post: with no change set it returns at once.
void BM_EmptyApplyChanges(benchmark::State& State) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  std::uint32_t S = 1;
  for (auto _ : State) C.ApplyChanges(++S, dbstNone, 0);
}
BENCHMARK(BM_EmptyApplyChanges);

// A commit of one changed page among Arg shared ones.
void BM_ApplyChangesOnePage(benchmark::State& State) {
  TMdbMemoryPageManager M;
  TMdbCache& C = *M.Cache();
  std::uint32_t S = 1;
  for (std::int64_t i = 0; i < State.range(0); ++i) C.PutPage(C.AddPage(7, dbstData, S, false));
  C.ApplyChanges(S, dbstNone, 0);
  for (auto _ : State) {
    TMdbPage* P = C.GetPage(7, 0, dbstData, S, true, true, false);
    P->PageBuffer()[100] ^= 1;
    C.PutPage(P);
    C.ApplyChanges(++S, dbstNone, 0);
  }
  C.ClearAllSharedPages();
  for (int n = 0; n < M.AllocatedPageCount(); ++n) M.InternalRemovePage(n);
}
BENCHMARK(BM_ApplyChangesOnePage)->Arg(10)->Arg(1000)->Arg(10000);

// A table {K Int32} with one B-tree index on K over a memory page manager, every change applied at
// once as outside a transaction.
class TIndexedTable : public TMdbTableData {
 public:
  explicit TIndexedTable(TMdbDatabaseData* Db) : TMdbTableData(Db) {
    FPages = std::make_unique<TMdbMemoryPageManager>();
    FCache = std::make_unique<TMdbTableCache>(FPages.get(), nullptr, -1);
    TMdbFieldDefs Fields;
    TMdbFieldDef* F = Fields.AddCreated();
    F->SetName(u"K");
    F->SetFieldDefDataType(aftInteger, 0);
    CreateSequenceManager();
    CreateFieldManager(Fields);
    TMdbIndexDefs Indexes;
    TMdbIndexDef* D = Indexes.AddCreated();
    D->SetName(u"ByK");
    TMdbIndexColumn C;
    C.FieldName = String(u"K");
    D->FIndexColumns.push_back(C);
    CreateIndexManager(Indexes);
    Index = static_cast<TMdbBTreeIndex*>(IndexManager()->OpenIndex(IndexManager()->IndexDefs().GetDef(0)->ObjectID()));
  }
  ~TIndexedTable() override {
    FIndexManager.reset();
    FCache.reset();
  }
  TMdbPageManager* GetPageManager() override { return FPages.get(); }
  void Commit() { ApplyChanges(GetTableState().TableState, dbstNone, 0); }
  TMdbBTreeIndex* Index;

 private:
  std::unique_ptr<TMdbMemoryPageManager> FPages;
};

std::vector<std::int32_t> RandomKeys(std::int32_t N) {
  std::mt19937 Rng(42);
  std::vector<std::int32_t> Keys(static_cast<std::size_t>(N));
  for (auto& k : Keys) k = static_cast<std::int32_t>(Rng());
  return Keys;
}

void Fill(TIndexedTable& T, const std::vector<std::int32_t>& Keys, std::int32_t From, std::int32_t To) {
  Byte Rec[8] = {};
  for (std::int32_t i = From; i < To; ++i) {
    std::memcpy(Rec + 1, &Keys[static_cast<std::size_t>(i)], 4);
    T.Index->InsertKey(1, Rec, {i, 0});
    T.Commit();
  }
}

void BM_BTreeInsertRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  for (auto _ : State) {
    TMdbDatabaseData Db;
    TIndexedTable T(&Db);
    Fill(T, Keys, 0, N);
    State.PauseTiming();
    T.IndexManager()->DropAllIndexes(1);
    T.Commit();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_BTreeInsertRandom)->Arg(50000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_StdMultimapInsertRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  for (auto _ : State) {
    std::multimap<std::int32_t, std::int32_t> M;
    for (std::int32_t i = 0; i < N; ++i) M.emplace(Keys[static_cast<std::size_t>(i)], i);
    benchmark::DoNotOptimize(M.size());
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_StdMultimapInsertRandom)->Arg(50000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_StdMapInsertRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  for (auto _ : State) {
    std::map<std::int32_t, std::int32_t> M;
    for (std::int32_t i = 0; i < N; ++i) M.emplace(Keys[static_cast<std::size_t>(i)], i);
    benchmark::DoNotOptimize(M.size());
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_StdMapInsertRandom)->Arg(50000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// 50,000 random inserts, then every key deleted in another random order (merges down to the root).
void BM_BTreeInsertDeleteRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  std::vector<std::int32_t> Order(static_cast<std::size_t>(N));
  for (std::int32_t i = 0; i < N; ++i) Order[static_cast<std::size_t>(i)] = i;
  std::shuffle(Order.begin(), Order.end(), std::mt19937(7));
  for (auto _ : State) {
    TMdbDatabaseData Db;
    TIndexedTable T(&Db);
    Fill(T, Keys, 0, N);
    Byte Rec[8] = {};
    for (std::int32_t i : Order) {
      std::memcpy(Rec + 1, &Keys[static_cast<std::size_t>(i)], 4);
      T.Index->DeleteKey(1, Rec, {i, 0});
      T.Commit();
    }
    State.PauseTiming();
    T.IndexManager()->DropAllIndexes(1);
    T.Commit();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * N * 2);
}
BENCHMARK(BM_BTreeInsertDeleteRandom)->Arg(50000)->Unit(benchmark::kMillisecond);

// Arg records sharing one key, inserted in a shuffled record order (as reused slots come), then
// deleted in another shuffled order: each delete finds its entry by record id among the equal keys.
void BM_BTreeDeleteEqualKeys(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  std::vector<std::int32_t> In(static_cast<std::size_t>(N)), Out;
  for (std::int32_t i = 0; i < N; ++i) In[static_cast<std::size_t>(i)] = i;
  std::shuffle(In.begin(), In.end(), std::mt19937(3));
  Out = In;
  std::shuffle(Out.begin(), Out.end(), std::mt19937(5));
  Byte Rec[8] = {};
  const std::int32_t Key = 7;
  std::memcpy(Rec + 1, &Key, 4);
  for (auto _ : State) {
    State.PauseTiming();
    TMdbDatabaseData Db;
    TIndexedTable T(&Db);
    for (std::int32_t i : In) {
      T.Index->InsertKey(1, Rec, {i, 0});
      T.Commit();
    }
    State.ResumeTiming();
    for (std::int32_t i : Out) {
      T.Index->DeleteKey(1, Rec, {i, 0});
      T.Commit();
    }
    State.PauseTiming();
    T.IndexManager()->DropAllIndexes(1);
    T.Commit();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_BTreeDeleteEqualKeys)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Point searches of every key of an index of Arg keys.
void BM_BTreeSearchRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  TMdbDatabaseData Db;
  TIndexedTable T(&Db);
  Fill(T, Keys, 0, N);
  Byte Rec[8] = {};
  TMdbScanSearchCondition C;
  C.Condition = scEqual;
  C.KeyRecordBuffer = Rec;
  C.KeyFieldCount = 1;
  for (auto _ : State) {
    std::int64_t Found = 0;
    for (std::int32_t i = 0; i < N; ++i) {
      std::memcpy(Rec + 1, &Keys[static_cast<std::size_t>(i)], 4);
      TMdbBTreeSearchInfo Info;
      TMdbRecordID Id;
      Found += T.Index->FindRecord(1, true, true, &C, nullptr, Rec, Id, &Info);
    }
    benchmark::DoNotOptimize(Found);
  }
  State.SetItemsProcessed(State.iterations() * N);
  T.IndexManager()->DropAllIndexes(1);
  T.Commit();
}
BENCHMARK(BM_BTreeSearchRandom)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_StdMultimapSearchRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  std::multimap<std::int32_t, std::int32_t> M;
  for (std::int32_t i = 0; i < N; ++i) M.emplace(Keys[static_cast<std::size_t>(i)], i);
  for (auto _ : State) {
    std::int64_t Found = 0;
    for (std::int32_t i = 0; i < N; ++i) Found += M.find(Keys[static_cast<std::size_t>(i)]) != M.end();
    benchmark::DoNotOptimize(Found);
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_StdMultimapSearchRandom)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_StdMapSearchRandom(benchmark::State& State) {
  const auto N = static_cast<std::int32_t>(State.range(0));
  const auto Keys = RandomKeys(N);
  std::map<std::int32_t, std::int32_t> M;
  for (std::int32_t i = 0; i < N; ++i) M.emplace(Keys[static_cast<std::size_t>(i)], i);
  for (auto _ : State) {
    std::int64_t Found = 0;
    for (std::int32_t i = 0; i < N; ++i) Found += M.find(Keys[static_cast<std::size_t>(i)]) != M.end();
    benchmark::DoNotOptimize(Found);
  }
  State.SetItemsProcessed(State.iterations() * N);
}
BENCHMARK(BM_StdMapSearchRandom)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  TMdbRuntimeScope Runtime;
  MdbStorageStartup();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  MdbStorageShutdown();
  return 0;
}
