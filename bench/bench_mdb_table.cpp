// The Mdb memory table at engine level, beside the field-list dataset in the same binary: posting the
// benchmark's rows through a session and a cursor (the values converted to the record's forms, the
// Comment through its BLOB stream, one post per row), compared with the field-list Append; and the
// 49,999-row table stream saved and loaded with zlib level 1, compared with zlib's own compression and
// decompression of the same body bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "EngineBench.h"
#include "FieldListBench.h"
#include "engines/fieldlist/IdDataSet.h"
#include "engines/mdb/runtime/MdbCompression.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "platform/rtl/SysUtils.h"

namespace {

using enginebench::kRows;

enginebench::TEngine<TIdMemDataSet> gFieldList;

struct TMdb {
  std::unique_ptr<TMdbLocalSession> Session;
  TMdbFieldDefs Fields;
  int Tables = 0;

  TMdb() {
    Session = std::make_unique<TMdbLocalSession>();
    Session->InMemory = true;
    Session->FDatabaseName = Session->FDatabaseFileName = "MEMORY";
    Session->SetConnected(true);
    auto Add = [&](const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size) {
      TMdbFieldDef* F = Fields.AddCreated();
      F->SetName(Name);
      F->SetFieldDefDataType(Type, Size);
    };
    Add(u"CustomerID", aftInteger, 0);
    Add(u"ContactName", aftString, 10);
    Add(u"Birthdate", aftDateTime, 0);
    Add(u"MaritalStatus", aftBoolean, 0);
    Add(u"Salary", aftDouble, 0);
    Add(u"Address", aftWideString, 20);
    Add(u"Comment", aftWideMemo, 0);
  }
  static String TableName(int No) {
    String Name = u"T";
    Name += IntToStr(No);
    return Name;
  }
  // An open cursor on a new, empty table (with Indexes when given).
  std::unique_ptr<TMdbLocalCursor> NewTable(TMdbIndexDefs* Indexes = nullptr) {
    std::unique_ptr<TMdbLocalCursor> C(
        static_cast<TMdbLocalCursor*>(Session->CreateCursor(TableName(++Tables), false)));
    C->FInMemory = true;
    C->OpenTableByFieldDefs(&Fields, Indexes, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    return C;
  }
  static void Close(std::unique_ptr<TMdbLocalCursor>& C) {
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
    C->CloseTable();
  }
  static void Post(TMdbLocalCursor* C, const enginebench::TDrawnRow& R) {
    Byte* B = C->FCurrentRecordBuffer;
    C->InternalInitRecord(B, true);
    C->SetFieldData(0, &R.Id, B);
    char Name[16] = {};
    const AnsiString A = StringToAnsi(R.Name);
    std::memcpy(Name, A.data(), std::min<std::size_t>(A.size(), 15));
    C->SetFieldData(1, Name, B);
    const TMdbDateTime D = DateTimeToMdbDateTime(R.Birthdate);
    C->SetFieldData(2, &D, B);
    const std::uint16_t Married = R.Married ? 1 : 0;
    C->SetFieldData(3, &Married, B);
    C->SetFieldData(4, &R.Salary, B);
    C->SetFieldData(5, R.Address.c_str(), B);
    if (!R.Comment.empty()) {
      TMdbStream* S = C->InternalCreateBlobStream(true, 6, bomWrite);
      S->Write(R.Comment.data(), static_cast<Int64>(R.Comment.size() * 2));
      S->SetModified(true);
      C->InternalCloseBLOB(6);
    }
    C->InternalPost(true);
  }
};

TMdb* gMdb = nullptr;

void BM_MdbPost(benchmark::State& State) {
  const int Rows = static_cast<int>(State.range(0));
  const auto& Drawn = enginebench::DrawnRows(Rows);
  for (auto _ : State) {
    State.PauseTiming();
    auto C = gMdb->NewTable();
    State.ResumeTiming();
    for (int i = 0; i < Rows; ++i) TMdb::Post(C.get(), Drawn[static_cast<std::size_t>(i)]);
    State.PauseTiming();
    if (C->GetRecordCount() != Rows) State.SkipWithError("row count");
    TMdb::Close(C);
    C->DeleteTable(true);
    C.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * Rows);
}

// Posting into a table with B-tree indexes on CustomerID (rising keys), Salary (random) and ContactName
// (random, many repeats): the time per row must not grow with the rows.
void BM_MdbPostIndexed(benchmark::State& State) {
  const int Rows = static_cast<int>(State.range(0));
  const auto& Drawn = enginebench::DrawnRows(Rows);
  TMdbIndexDefs Indexes;
  for (const char16_t* Field : {u"CustomerID", u"Salary", u"ContactName"}) {
    TMdbIndexDef* I = Indexes.AddCreated();
    String Name = u"By";
    Name += Field;
    I->SetName(Name);
    TMdbIndexColumn Col;
    Col.FieldName = Field;
    I->FIndexColumns.push_back(Col);
  }
  for (auto _ : State) {
    State.PauseTiming();
    auto C = gMdb->NewTable(&Indexes);
    State.ResumeTiming();
    for (int i = 0; i < Rows; ++i) TMdb::Post(C.get(), Drawn[static_cast<std::size_t>(i)]);
    State.PauseTiming();
    if (C->GetRecordCount() != Rows) State.SkipWithError("row count");
    TMdb::Close(C);
    C->DeleteTable(true);
    C.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * Rows);
}

// A filled table's stream and the body bytes inside it (for zlib's own figures).
struct TSaved {
  std::unique_ptr<TMdbLocalCursor> Cursor;
  std::vector<Byte> Body;
  std::vector<Byte> Packed;
};
TSaved& Saved() {
  static TSaved S;
  if (S.Cursor) return S;
  S.Cursor = gMdb->NewTable();
  const auto& Drawn = enginebench::DrawnRows(kRows);
  for (int i = 0; i < kRows; ++i) TMdb::Post(S.Cursor.get(), Drawn[static_cast<std::size_t>(i)]);
  TMdb::Close(S.Cursor);
  TMdbMemoryStream M;
  S.Cursor->SaveTableToStream(&M, acaZLIB, 1, 0, true, false);
  const auto* P = static_cast<const Byte*>(M.Buffer());
  std::int32_t Packed;
  Int64 BodySize;
  std::memcpy(&Packed, P + 36, 4);
  std::memcpy(&BodySize, P + 20, 8);
  S.Packed.assign(P + M.Size() - Packed, P + M.Size());
  void* Out = nullptr;
  std::int32_t OutSize = static_cast<std::int32_t>(BodySize);
  DecompressBuffer(acaZLIB, S.Packed.data(), Packed, Out, OutSize);
  S.Body.assign(static_cast<Byte*>(Out), static_cast<Byte*>(Out) + OutSize);
  FreeRuntimeBuffer(Out);
  return S;
}

void BM_MdbSaveZlib1(benchmark::State& State) {
  TSaved& S = Saved();
  TMdbMemoryStream M;
  for (auto _ : State) {
    M.SetSize(0);
    S.Cursor->SaveTableToStream(&M, acaZLIB, 1, 0, true, false);
  }
  State.counters["bytes"] = static_cast<double>(M.Size());
}

void BM_ZlibCompressBody(benchmark::State& State) {
  TSaved& S = Saved();
  for (auto _ : State) {
    void* Out = nullptr;
    std::int32_t OutSize = 0;
    CompressBuffer(acaZLIB, 1, S.Body.data(), static_cast<std::int32_t>(S.Body.size()), Out, OutSize);
    benchmark::DoNotOptimize(OutSize);
    FreeRuntimeBuffer(Out);
  }
  State.counters["bytes"] = static_cast<double>(S.Body.size());
}

void BM_MdbLoadZlib1(benchmark::State& State) {
  TSaved& S = Saved();
  TMdbMemoryStream M;
  S.Cursor->SaveTableToStream(&M, acaZLIB, 1, 0, true, false);
  for (auto _ : State) {
    M.SetPosition(0);
    S.Cursor->LoadTableFromStream(&M);
  }
}

void BM_ZlibDecompressBody(benchmark::State& State) {
  TSaved& S = Saved();
  for (auto _ : State) {
    void* Out = nullptr;
    std::int32_t OutSize = static_cast<std::int32_t>(S.Body.size());
    DecompressBuffer(acaZLIB, S.Packed.data(), static_cast<std::int32_t>(S.Packed.size()), Out, OutSize);
    benchmark::DoNotOptimize(OutSize);
    FreeRuntimeBuffer(Out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  MdbEngineStartup();
  gMdb = new TMdb();
  enginebench::SetUpFieldList(gFieldList, u"bench_mdb_table_fieldlist.dat");
  gFieldList.Register();
  benchmark::RegisterBenchmark("BM_MdbPost", BM_MdbPost)->Arg(kRows)->Arg(200000)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MdbPostIndexed", BM_MdbPostIndexed)
      ->Arg(50000)
      ->Arg(100000)
      ->Arg(200000)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MdbSaveZlib1", BM_MdbSaveZlib1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ZlibCompressBody", BM_ZlibCompressBody)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MdbLoadZlib1", BM_MdbLoadZlib1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ZlibDecompressBody", BM_ZlibDecompressBody)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete gMdb;
  MdbEngineShutdown();
  return 0;
}
