// The three stand-in engines run the engine conformance suite, their stream formats included.
#include "platform/db/testing/Conformance.h"
#include "platform/engines/Engines.h"

namespace {

template <class T>
T& As(TDataSet& DataSet) {
  return static_cast<T&>(DataSet);
}

const conformance::TEngine kFDMemTable{
    .Name = "TFDMemTable",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* t = new TFDMemTable(Owner);
      AddBenchmarkSchema(t->FieldDefs());
      t->CreateDataSet();
      return t;
    },
    .Empty = [](TDataSet& d) { As<TFDMemTable>(d).EmptyDataSet(); },
    .Save = [](TDataSet& d, TStream& s) { As<TFDMemTable>(d).SaveToStream(&s, sfAuto); },
    .Load = [](TDataSet& d, TStream& s) { As<TFDMemTable>(d).LoadFromStream(&s, sfAuto); },
};

const conformance::TEngine kClientDataSet{
    .Name = "TClientDataSet",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* t = new TClientDataSet(Owner);
      AddBenchmarkSchema(t->FieldDefs());
      t->CreateDataSet();
      return t;
    },
    .Empty = [](TDataSet& d) { As<TClientDataSet>(d).EmptyDataSet(); },
    .Save = [](TDataSet& d, TStream& s) { As<TClientDataSet>(d).SaveToStream(&s, dfBinary); },
    .Load = [](TDataSet& d, TStream& s) { As<TClientDataSet>(d).LoadFromStream(&s); },
};

const conformance::TEngine kADODataSet{
    .Name = "TADODataSet",
    .Create = [](TComponent* Owner) -> TDataSet* {
      auto* t = new TADODataSet(Owner);
      AddBenchmarkSchema(t->FieldDefs());
      t->CreateDataSet();
      return t;
    },
    .Empty = nullptr,  // the recordset offers no emptying: rows are deleted one by one
    .Save =
        [](TDataSet& d, TStream& s) {
          TStreamAdapter adapter(&s, soReference);
          As<TADODataSet>(d).Recordset()->Save(&adapter, adPersistADTG);
        },
    .Load =
        [](TDataSet& d, TStream& s) {
          auto rs = std::make_shared<TADORecordset>();
          TStreamAdapter adapter(&s, soReference);
          OleCheck(rs->Open(&adapter, EmptyParam(), adOpenUnspecified, adLockUnspecified, adCmdUnspecified));
          As<TADODataSet>(d).SetRecordset(std::move(rs));
        },
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(StandIns, DataSetConformance, ::testing::Values(kFDMemTable, kClientDataSet, kADODataSet),
                         conformance::EngineName);
