// The test engine runs the engine conformance suite it is the model for.
#include "platform/db/testing/Conformance.h"
#include "platform/db/testing/VectorDataSet.h"

namespace {

const conformance::TEngine kVector{
    .Name = "TVectorDataSet",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* ds = new TVectorDataSet(Owner);
      AddBenchmarkSchema(ds->FieldDefs());
      ds->Open();
      return ds;
    },
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Vector, DataSetConformance, ::testing::Values(kVector), conformance::EngineName);
