// The field-list engine runs the engine conformance suite, its "TD" stream format included.
#include "engines/fieldlist/IdDataSet.h"
#include "platform/db/testing/Conformance.h"

namespace {

TIdMemDataSet& Id(TDataSet& DataSet) { return static_cast<TIdMemDataSet&>(DataSet); }

const conformance::TEngine kIdMem{
    .Name = "TIdMemDataSet",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* ds = new TIdMemDataSet(Owner);
      AddBenchmarkSchema(ds->VirtualFieldDefs());
      ds->CreateDataSet();
      return ds;
    },
    .Empty = [](TDataSet& d) { Id(d).EmptyDataSet(); },
    .Save = [](TDataSet& d, TStream& s) { Id(d).SaveToStream(&s); },
    .Load = [](TDataSet& d, TStream& s) { Id(d).LoadFromStream(&s); },
    // Closing frees the fields it made from its definitions; CreateDataSet makes them again.
    .Reopen = [](TDataSet& d) { Id(d).CreateDataSet(); },
    // "TD" streams carry no row count: rows are read until the stream ends.
    .CutBetweenRowsLoads = true,
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(FieldList, DataSetConformance, ::testing::Values(kIdMem), conformance::EngineName);
