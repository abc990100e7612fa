// The virtual table's row.
#include "app/EngineTable.h"
#include "engines/virttable/VirtTable.h"
#include "platform/db/testing/BenchmarkSchema.h"

namespace {

TVirtTable* Vt(TDataSet* DataSet) { return static_cast<TVirtTable*>(DataSet); }

TDataSet* Create(TComponent* Owner) {
  auto* table = new TVirtTable(Owner);
  AddBenchmarkSchema(table->FieldDefs());
  table->Open();
  return table;
}

}  // namespace

extern const TEngineRow kVirtTableRow{
    .Kind = TEngineKind::ekVirtTable,
    .IsEngine = [](const TDataSet* d) { return d->InheritsFrom<TVirtTable>(); },
    .Create = &Create,
    .SaveToFile = [](TDataSet* d, const String& f) { Vt(d)->SaveToFile(f, true, false); },
    .SaveToStream = [](TDataSet* d, TStream* s) { Vt(d)->SaveToStream(s, true, false); },
    .EmptyDataSet = [](TDataSet* d) { Vt(d)->Clear(); },
    .LoadFromFile = [](TDataSet* d, const String& f) { Vt(d)->LoadFromFile(f, true, true); },
    .LoadFromStream = [](TDataSet* d, TStream* s) { Vt(d)->LoadFromStream(s, true, true); },
};
