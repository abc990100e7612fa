// The Kv memory table's row, with the two stream adapters of the window.
#include "app/EngineTable.h"
#include "engines/kv/MemTableKv.h"
#include "platform/classes/ObjectText.h"
#include "platform/db/testing/BenchmarkSchema.h"

namespace {

TMemTableKv* Kv(TDataSet* DataSet) { return static_cast<TMemTableKv*>(DataSet); }

TDataSet* Create(TComponent* Owner) {
  auto* table = new TMemTableKv(Owner);
  AddBenchmarkSchema(table->FieldDefs());
  table->CreateDataSet();
  return table;
}

}  // namespace

// The table's data component, structure and records, in the binary save format.
void SaveKvToStream(TDataSet* DataSet, TStream* Stream) { Kv(DataSet)->SaveToStream(Stream); }

// Refuses a stream whose first bytes fit no form of the save format ("Invalid stream format."); reads
// the binary form. The table keeps its rows and its Active state unless the whole stream was good.
void LoadKvFromStream(TDataSet* DataSet, TStream* Stream) {
  if (DetectComponentStreamFormat(Stream) == TStreamOriginalFormat::sofUnknown)
    throw Exception(u"Invalid stream format.");
  Kv(DataSet)->LoadFromStream(Stream);
}

extern const TEngineRow kKvRow{
    .Kind = TEngineKind::ekKv,
    .IsEngine = [](const TDataSet* d) { return d->InheritsFrom<TMemTableKv>(); },
    .Create = &Create,
    .SaveToFile = [](TDataSet* d, const String& f) { Kv(d)->SaveToFile(f, dfmTextKv); },
    .SaveToStream = &SaveKvToStream,
    .EmptyDataSet = [](TDataSet* d) { Kv(d)->EmptyTable(); },
    .LoadFromFile = [](TDataSet* d, const String& f) { Kv(d)->LoadFromFile(f); },
    .LoadFromStream = &LoadKvFromStream,
    .TestAllSkipsInsertAbove = 50000,
};
