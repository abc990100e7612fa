// The vlx memory table on the benchmark's seven operations with 49,999 rows of the benchmark schema:
// Append, and Insert at the cursor after every Post (Append/Insert, seven setters, Post per row; the
// values are drawn beforehand), SaveToStream / LoadFromStream and SaveToFile / LoadFromFile through a
// default TvlxBinaryStreamFormat, and EmptyTable. Each row is also run at 1/4 and 1/2 of the rows,
// so a step that grows faster than the rows shows.
#include <benchmark/benchmark.h>

#include <memory>

#include "EngineBench.h"
#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"

namespace {

using enginebench::kRows;

// One format for every run, so making it is never part of a timed save or load.
TvlxBinaryStreamFormat& Format() {
  static TvlxBinaryStreamFormat format;
  return format;
}

}  // namespace

int main(int argc, char** argv) {
  enginebench::TEngine<TvlxMemTable> engine;
  engine.NewDataSet = [] {
    auto t = std::make_unique<TvlxMemTable>(nullptr);
    AddBenchmarkSchema(t->FieldDefs());
    t->CreateTable();
    t->Open();
    return t;
  };
  engine.SaveToFile = [](TvlxMemTable& t, const String& file) { t.SaveToFileViaFormat(file, &Format()); };
  engine.SaveToStream = [](TvlxMemTable& t, TStream* stream) { t.SaveToStreamViaFormat(stream, &Format()); };
  engine.LoadFromFile = [](TvlxMemTable& t, const String& file) { t.LoadFromFileViaFormat(file, &Format()); };
  engine.LoadFromStream = [](TvlxMemTable& t, TStream* stream) { t.LoadFromStreamViaFormat(stream, &Format()); };
  engine.Empty = [](TvlxMemTable& t) { t.EmptyTable(); };
  engine.DataFile = u"/tmp/bench_vlx_TvlxMemTable.dat";
  engine.RowArgs = {kRows / 4, kRows / 2, kRows};
  engine.Register();
  return enginebench::RunRegistered(argc, argv);
}
