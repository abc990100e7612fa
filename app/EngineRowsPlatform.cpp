// The rows of the three platform stand-in engines.
#include "app/EngineTable.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/engines/Engines.h"

namespace {

template <class T>
bool Is(const TDataSet* DataSet) {
  return DataSet->InheritsFrom<T>();
}

// ---- TADODataSet: its recordset saves and opens through a COM stream over ours ----

TDataSet* CreateADO(TComponent* Owner) {
  auto* dataSet = new TADODataSet(Owner);
  AddBenchmarkSchema(dataSet->FieldDefs());
  dataSet->CreateDataSet();
  return dataSet;
}

void SaveADOToStream(TDataSet* DataSet, TStream* Stream) {
  TStreamAdapter adapter(Stream, soReference);
  static_cast<TADODataSet*>(DataSet)->Recordset()->Save(&adapter, adPersistADTG);
}

void LoadADOFromStream(TDataSet* DataSet, TStream* Stream) {
  // An empty stream leaves the dataset as it is.
  if (Stream->Size() <= 0) return;
  auto recordset = std::make_shared<TADORecordset>();
  Stream->SetPosition(0);
  TStreamAdapter adapter(Stream, soReference);
  OleCheck(recordset->Open(&adapter, EmptyParam(), adOpenUnspecified, adLockUnspecified, adCmdUnspecified));
  static_cast<TADODataSet*>(DataSet)->SetRecordset(std::move(recordset));
}

// ---- TClientDataSet ----

TDataSet* CreateClientDataSet(TComponent* Owner) {
  auto* dataSet = new TClientDataSet(Owner);
  AddBenchmarkSchema(dataSet->FieldDefs());
  dataSet->CreateDataSet();
  dataSet->SetLogChanges(false);
  return dataSet;
}

// ---- TFDMemTable: an Append/Insert run is one batch instead of disabled controls ----

TDataSet* CreateFDMemTable(TComponent* Owner) {
  auto* table = new TFDMemTable(Owner);
  AddBenchmarkSchema(table->FieldDefs());
  table->CreateDataSet();
  table->SetLogChanges(false);
  table->FetchOptions().SetRecsMax(300000);
  table->ResourceOptions().SetSilentMode(true);
  table->UpdateOptions().SetLockMode(lmNone);
  table->UpdateOptions().SetLockPoint(lpDeferred);
  table->UpdateOptions().SetFetchGeneratorsPoint(gpImmediate);
  return table;
}

TFDMemTable* FD(TDataSet* DataSet) { return static_cast<TFDMemTable*>(DataSet); }

}  // namespace

extern const TEngineRow kADORow{
    .Kind = TEngineKind::ekADO,
    .IsEngine = &Is<TADODataSet>,
    .Create = &CreateADO,
    .SaveToFile = [](TDataSet* d, const String& f) { static_cast<TADODataSet*>(d)->SaveToFile(f, pfADTG); },
    .SaveToStream = &SaveADOToStream,
    // The recordset offers no emptying: its rows are deleted one by one.
    .EmptyDataSet =
        [](TDataSet* d) {
          d->First();
          while (!d->Eof()) d->Delete();
        },
    .LoadFromFile = [](TDataSet* d, const String& f) { static_cast<TADODataSet*>(d)->LoadFromFile(f); },
    .LoadFromStream = &LoadADOFromStream,
};

extern const TEngineRow kClientDataSetRow{
    .Kind = TEngineKind::ekClientDataSet,
    .IsEngine = &Is<TClientDataSet>,
    .Create = &CreateClientDataSet,
    .SaveToFile = [](TDataSet* d, const String& f) { static_cast<TClientDataSet*>(d)->SaveToFile(f, dfBinary); },
    .SaveToStream = [](TDataSet* d, TStream* s) { static_cast<TClientDataSet*>(d)->SaveToStream(s, dfBinary); },
    .EmptyDataSet = [](TDataSet* d) { static_cast<TClientDataSet*>(d)->EmptyDataSet(); },
    .LoadFromFile = [](TDataSet* d, const String& f) { static_cast<TClientDataSet*>(d)->LoadFromFile(f); },
    .LoadFromStream = [](TDataSet* d, TStream* s) { static_cast<TClientDataSet*>(d)->LoadFromStream(s); },
};

extern const TEngineRow kFDMemTableRow{
    .Kind = TEngineKind::ekFDMemTable,
    .IsEngine = &Is<TFDMemTable>,
    .Create = &CreateFDMemTable,
    .SaveToFile = [](TDataSet* d, const String& f) { FD(d)->SaveToFile(f, sfAuto); },
    .SaveToStream = [](TDataSet* d, TStream* s) { FD(d)->SaveToStream(s, sfAuto); },
    .EmptyDataSet = [](TDataSet* d) { FD(d)->EmptyDataSet(); },
    .LoadFromFile = [](TDataSet* d, const String& f) { FD(d)->LoadFromFile(f, sfAuto); },
    .LoadFromStream = [](TDataSet* d, TStream* s) { FD(d)->LoadFromStream(s, sfAuto); },
    .BeginRows = [](TDataSet* d) { FD(d)->BeginBatch(false); },
    .EndRows = [](TDataSet* d) { FD(d)->EndBatch(); },
};
