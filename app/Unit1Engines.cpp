// The engine-facing half of the main window: dataset creation, the Append/Insert runs and the dispatch
// of the timed operations.
#include "app/Engines.h"
#include "app/Unit1.h"

TEngineKind EngineKindOf(const TDataSet* DataSet) {
  if (DataSet == nullptr) return TEngineKind::ekNone;
  if (DataSet->InheritsFrom<TADODataSet>()) return TEngineKind::ekADO;
  if (DataSet->InheritsFrom<TClientDataSet>()) return TEngineKind::ekClientDataSet;
  if (DataSet->InheritsFrom<TFDMemTable>()) return TEngineKind::ekFDMemTable;
  if (DataSet->InheritsFrom<TIdMemDataSet>()) return TEngineKind::ekIdMem;
  return TEngineKind::ekNone;
}

void TForm1::AddFieldDefs(TDataSet*) {}
TFDMemTable* TForm1::CreateFDMemTable() { return new TFDMemTable(this); }
TClientDataSet* TForm1::CreateClientDataSet() { return new TClientDataSet(this); }
TADODataSet* TForm1::CreateADODataSet() { return new TADODataSet(this); }
TIdMemDataSet* TForm1::CreateIdMemDataSet() { return new TIdMemDataSet(this); }

void TForm1::AppendOrInsertRows(TObject* Sender, TDataSet*) {
  StartTiming(Sender);
  StopTiming(Sender);
}
void TForm1::SaveEngineToFile(TObject* Sender, TDataSet*) {
  StartTiming(Sender);
  StopTiming(Sender);
}
void TForm1::SaveEngineToStream(TObject* Sender, TDataSet*, TMemoryStream*) {
  StartTiming(Sender);
  StopTiming(Sender);
}
void TForm1::EmptyEngine(TObject* Sender, TDataSet*) {
  StartTiming(Sender);
  StopTiming(Sender);
}
void TForm1::LoadEngineFromFile(TObject* Sender, TDataSet*) {
  StartTiming(Sender);
  StopTiming(Sender);
}
void TForm1::LoadEngineFromStream(TObject* Sender, TDataSet*, TMemoryStream*) {
  StartTiming(Sender);
  StopTiming(Sender);
}
void TForm1::SaveADOToStream(TDataSet*, TStream*) {}
void TForm1::LoadADOFromStream(TDataSet*, TStream*) {}
