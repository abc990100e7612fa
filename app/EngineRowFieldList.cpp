// The field-list engine's row.
#include "app/EngineTable.h"
#include "engines/fieldlist/IdDataSet.h"
#include "platform/db/testing/BenchmarkSchema.h"

namespace {

TIdMemDataSet* Id(TDataSet* DataSet) { return static_cast<TIdMemDataSet*>(DataSet); }

TDataSet* Create(TComponent* Owner) {
  auto* dataSet = new TIdMemDataSet(Owner);
  // The engine takes its fields from its own definitions, not the framework's.
  AddBenchmarkSchema(dataSet->VirtualFieldDefs());
  dataSet->CreateDataSet();
  return dataSet;
}

}  // namespace

extern const TEngineRow kIdMemRow{
    .Kind = TEngineKind::ekIdMem,
    .IsEngine = [](const TDataSet* d) { return d->InheritsFrom<TIdMemDataSet>(); },
    .Create = &Create,
    .SaveToFile = [](TDataSet* d, const String& f) { Id(d)->SaveToFile(f, false); },
    .SaveToStream = [](TDataSet* d, TStream* s) { Id(d)->SaveToStream(s, false); },
    .EmptyDataSet = [](TDataSet* d) { Id(d)->EmptyDataSet(); },
    // A file load replaces the fields too: the dataset is closed first.
    .LoadFromFile =
        [](TDataSet* d, const String& f) {
          d->Close();
          Id(d)->LoadFromFile(f);
        },
    .LoadFromStream = [](TDataSet* d, TStream* s) { Id(d)->LoadFromStream(s); },
};
