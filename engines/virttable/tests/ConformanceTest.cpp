// The virtual table runs the engine conformance suite, its binary stream format included.
#include "engines/virttable/VirtTable.h"
#include "platform/db/testing/Conformance.h"

namespace {

TVirtTable& Vt(TDataSet& DataSet) { return static_cast<TVirtTable&>(DataSet); }

const conformance::TEngine kVirtTable{
    .Name = "TVirtTable",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* t = new TVirtTable(Owner);
      AddBenchmarkSchema(t->FieldDefs());
      t->Open();
      return t;
    },
    .Empty = [](TDataSet& d) { Vt(d).Clear(); },
    .Save = [](TDataSet& d, TStream& s) { Vt(d).SaveToStream(&s, true, false); },
    .Load = [](TDataSet& d, TStream& s) { Vt(d).LoadFromStream(&s, true, true); },
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(VirtTable, DataSetConformance, ::testing::Values(kVirtTable), conformance::EngineName);
