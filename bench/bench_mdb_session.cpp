// The Mdb engine posting the benchmark rows through a session and a cursor, beside the field-list
// dataset's Append in the same binary: per row the record is initialised with its defaults, six
// columns are written (the contact name converted to the system code page as a field setter does),
// the Comment goes through a BLOB stream, and the cursor posts. BM_MdbPost runs 50,000 and 200,000
// rows to show the per-row cost does not grow with the table.
#include <benchmark/benchmark.h>

#include <memory>

#include "EngineBench.h"
#include "FieldListBench.h"
#include "engines/fieldlist/IdDataSet.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbEngine.h"
#include "engines/mdb/storage/MdbLocalCursor.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "platform/rtl/SysUtils.h"

namespace {

using enginebench::kRows;

enginebench::TEngine<TIdMemDataSet> gFieldList;

void AddMdbSchema(TMdbFieldDefs& Defs) {
  auto Add = [&](const char16_t* Name, TMdbAdvancedFieldType Type, std::int32_t Size = 0) {
    TMdbFieldDef* F = Defs.AddCreated();
    F->SetName(Name);
    F->SetFieldDefDataType(Type, Size);
  };
  Add(u"CustomerID", aftInteger);
  Add(u"ContactName", aftString, 10);
  Add(u"Birthdate", aftDateTime);
  Add(u"MaritalStatus", aftBoolean);
  Add(u"Salary", aftDouble);
  Add(u"Address", aftWideString, 20);
  Add(u"Comment", aftWideMemo);
}

void BM_MdbPost(benchmark::State& State) {
  const int Rows = static_cast<int>(State.range(0));
  const auto& Drawn = enginebench::DrawnRows(Rows);
  TMdbLocalSession Session;
  Session.InMemory = true;
  Session.FDatabaseName = Session.FDatabaseFileName = "MEMORY";
  Session.SetConnected(true);
  TMdbFieldDefs Fields;
  AddMdbSchema(Fields);
  for (auto _ : State) {
    State.PauseTiming();
    std::unique_ptr<TMdbLocalCursor> C(static_cast<TMdbLocalCursor*>(Session.CreateCursor(u"Customers", false)));
    C->FInMemory = true;
    if (Session.TableExists(u"Customers")) C->DeleteTable(false);
    C->OpenTableByFieldDefs(&Fields, nullptr, nullptr);
    C->FCurrentRecordBuffer = C->AllocateRecordBuffer();
    State.ResumeTiming();
    for (int i = 0; i < Rows; ++i) {
      const enginebench::TDrawnRow& R = Drawn[static_cast<std::size_t>(i)];
      Byte* B = C->FCurrentRecordBuffer;
      C->InternalInitRecord(B, true);
      const std::int32_t Id = R.Id;
      const AnsiString Name = StringToAnsi(R.Name);
      // Room for the widest logical slot; little-endian, so any width reads the same value.
      const std::uint64_t Married = R.Married ? 1 : 0;
      C->SetFieldData(0, &Id, B);
      C->SetFieldData(1, Name.c_str(), B);
      C->SetFieldData(2, &R.Birthdate, B);
      C->SetFieldData(3, &Married, B);
      C->SetFieldData(4, &R.Salary, B);
      C->SetFieldData(5, R.Address.c_str(), B);
      TMdbStream* S = C->InternalCreateBlobStream(true, 6, bomWrite);
      S->Write(R.Comment.data(), static_cast<Int64>(R.Comment.size() * 2));
      S->SetModified(true);
      C->InternalCloseBLOB(6);
      C->InternalPost(true);
      if (C->FErrorCode != 0) State.SkipWithError("post refused");
    }
    State.PauseTiming();
    if (C->GetRecordCount() != Rows) State.SkipWithError("row count");
    C->FreeRecordBuffer(C->FCurrentRecordBuffer);
    C->DeleteTable(false);
    C.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * Rows);
  Fields.Clear();
  Session.SetConnected(false);
}

}  // namespace

int main(int argc, char** argv) {
  MdbEngineStartup();
  enginebench::SetUpFieldList(gFieldList, u"/tmp/bench_mdb_session_fieldlist.dat");
  gFieldList.Register();
  benchmark::RegisterBenchmark("BM_MdbPost", BM_MdbPost)->Arg(kRows)->Arg(200000)->Unit(benchmark::kMillisecond);
  const int Result = enginebench::RunRegistered(argc, argv);
  MdbEngineShutdown();
  return Result;
}
