// The vlx memory table's row: a table made from the schema and opened, saved and loaded through one
// default TvlxBinaryStreamFormat that the window owns (made with the first table).
#include "app/EngineTable.h"
#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/db/testing/BenchmarkSchema.h"

namespace {

TvlxMemTable* Vlx(TDataSet* DataSet) { return static_cast<TvlxMemTable*>(DataSet); }

// The format among the owner's components; a table without an owner shares one of this module's.
TvlxBinaryStreamFormat* FvlxBinary(const TComponent* Owner) {
  if (Owner != nullptr)
    for (int i = 0; i < Owner->ComponentCount(); ++i)
      if (auto* f = dynamic_cast<TvlxBinaryStreamFormat*>(Owner->Components(i))) return f;
  static TvlxBinaryStreamFormat shared(nullptr);
  return &shared;
}

TvlxBinaryStreamFormat* FormatOf(TDataSet* DataSet) { return FvlxBinary(DataSet->Owner()); }

TDataSet* CreatevlxMemTable(TComponent* Owner) {
  auto* table = new TvlxMemTable(Owner);
  AddBenchmarkSchema(table->FieldDefs());
  table->CreateTable();
  table->Open();
  if (Owner != nullptr && FvlxBinary(Owner)->Owner() != Owner) new TvlxBinaryStreamFormat(Owner);
  return table;
}

}  // namespace

extern const TEngineRow kvlxRow{
    .Kind = TEngineKind::ekvlx,
    .IsEngine = [](const TDataSet* d) { return d->InheritsFrom<TvlxMemTable>(); },
    .Create = &CreatevlxMemTable,
    .SaveToFile = [](TDataSet* d, const String& f) { Vlx(d)->SaveToFileViaFormat(f, FormatOf(d)); },
    .SaveToStream = [](TDataSet* d, TStream* s) { Vlx(d)->SaveToStreamViaFormat(s, FormatOf(d)); },
    .EmptyDataSet = [](TDataSet* d) { Vlx(d)->EmptyTable(); },
    .LoadFromFile = [](TDataSet* d, const String& f) { Vlx(d)->LoadFromFileViaFormat(f, FormatOf(d)); },
    .LoadFromStream = [](TDataSet* d, TStream* s) { Vlx(d)->LoadFromStreamViaFormat(s, FormatOf(d)); },
};
