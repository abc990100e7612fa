// The vlx memory table runs the engine conformance suite, its binary stream format included.
#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/db/testing/Conformance.h"

namespace {

TvlxMemTable& Vlx(TDataSet& DataSet) { return static_cast<TvlxMemTable&>(DataSet); }

TvlxBinaryStreamFormat& Format() {
  static TvlxBinaryStreamFormat format(nullptr);
  return format;
}

const conformance::TEngine kVlx{
    .Name = "TvlxMemTable",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* t = new TvlxMemTable(Owner);
      AddBenchmarkSchema(t->FieldDefs());
      t->CreateTable();
      t->Open();
      return t;
    },
    .Empty = [](TDataSet& d) { Vlx(d).EmptyTable(); },
    .Save = [](TDataSet& d, TStream& s) { Vlx(d).SaveToStreamViaFormat(&s, &Format()); },
    .Load = [](TDataSet& d, TStream& s) { Vlx(d).LoadFromStreamViaFormat(&s, &Format()); },
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Vlx, DataSetConformance, ::testing::Values(kVlx), conformance::EngineName);
