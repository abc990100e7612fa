// The Kv memory table runs the engine conformance suite, its binary save format included.
#include "engines/kv/MemTableKv.h"
#include "platform/db/testing/Conformance.h"

namespace {

TMemTableKv& Kv(TDataSet& DataSet) { return static_cast<TMemTableKv&>(DataSet); }

const conformance::TEngine kKv{
    .Name = "TMemTableKv",
    .Create = [](TComponent* Owner) -> TDataSet* {
      // The reader makes the descriptor classes by name.
      InitializeMemTableDataKv();
      auto* t = new TMemTableKv(Owner);
      AddBenchmarkSchema(t->FieldDefs());
      t->CreateDataSet();
      return t;
    },
    .Empty = [](TDataSet& d) { Kv(d).EmptyTable(); },
    .Save = [](TDataSet& d, TStream& s) { Kv(d).SaveToStream(&s); },
    .Load = [](TDataSet& d, TStream& s) { Kv(d).LoadFromStream(&s); },
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Kv, DataSetConformance, ::testing::Values(kKv), conformance::EngineName);
