// The engine-facing half of the main window: dataset creation with the seven-field schema, the
// Append/Insert runs, and the dispatch of the five timed save, load and empty operations.
#include "app/Unit1.h"

#include "engines/fieldlist/IdDataSet.h"
#include "engines/virttable/VirtTable.h"
#include "platform/classes/Files.h"
#include "platform/db/DB.h"
#include "platform/engines/Engines.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Random.h"

namespace {

void AddSchema(TFieldDefs& Defs) {
  Defs.Add(u"CustomerID", ftInteger, 0, false);
  Defs.Add(u"ContactName", ftString, 10, false);
  Defs.Add(u"Birthdate", ftDateTime, 0, false);
  Defs.Add(u"MaritalStatus", ftBoolean, 0, false);
  Defs.Add(u"Salary", ftFloat, 0, false);
  Defs.Add(u"Address", ftWideString, 20, false);
  Defs.Add(u"Comment", ftWideMemo, 0, false);
}

}  // namespace

TEngineKind EngineKindOf(const TDataSet* DataSet) {
  if (DataSet == nullptr) return TEngineKind::ekNone;
  // The order matters only for a class that descends from two of these; it is fixed all the same.
  if (DataSet->InheritsFrom<TADODataSet>()) return TEngineKind::ekADO;
  if (DataSet->InheritsFrom<TClientDataSet>()) return TEngineKind::ekClientDataSet;
  if (DataSet->InheritsFrom<TFDMemTable>()) return TEngineKind::ekFDMemTable;
  // TvlxMemTable, TMdbTable and TMemTableKv are tested here, in this order, as each of those engines
  // is built.
  if (DataSet->InheritsFrom<TVirtTable>()) return TEngineKind::ekVirtTable;
  if (DataSet->InheritsFrom<TIdMemDataSet>()) return TEngineKind::ekIdMem;
  return TEngineKind::ekNone;
}

// ---- creation ----

void TForm1::AddFieldDefs(TDataSet* DataSet) { AddSchema(DataSet->FieldDefs()); }

TFDMemTable* TForm1::CreateFDMemTable() {
  auto* table = new TFDMemTable(this);
  AddFieldDefs(table);
  table->CreateDataSet();
  table->SetLogChanges(false);
  table->FetchOptions().SetRecsMax(300000);
  table->ResourceOptions().SetSilentMode(true);
  table->UpdateOptions().SetLockMode(lmNone);
  table->UpdateOptions().SetLockPoint(lpDeferred);
  table->UpdateOptions().SetFetchGeneratorsPoint(gpImmediate);
  return table;
}

TClientDataSet* TForm1::CreateClientDataSet() {
  auto* dataSet = new TClientDataSet(this);
  AddFieldDefs(dataSet);
  dataSet->CreateDataSet();
  dataSet->SetLogChanges(false);
  return dataSet;
}

TADODataSet* TForm1::CreateADODataSet() {
  auto* dataSet = new TADODataSet(this);
  AddFieldDefs(dataSet);
  dataSet->CreateDataSet();
  return dataSet;
}

TVirtTable* TForm1::CreateVirtTable() {
  auto* table = new TVirtTable(this);
  AddFieldDefs(table);
  table->Open();
  return table;
}

TIdMemDataSet* TForm1::CreateIdMemDataSet() {
  auto* dataSet = new TIdMemDataSet(this);
  AddSchema(dataSet->VirtualFieldDefs());
  dataSet->CreateDataSet();
  return dataSet;
}

// ---- Append and Insert runs ----

void TForm1::AppendOrInsertRows(TObject* Sender, TDataSet* DataSet) {
  auto* control = dynamic_cast<TControl*>(Sender);
  // A caption that already shows an earlier time still names its operation first.
  const bool append = control != nullptr && control->Caption().find(u"Append") != String::npos;
  const int appendCount = seAppend->Value();
  const int insertCount = seInsert->Value();
  const int count = append ? appendCount : insertCount;

  // Untimed preparation.
  const TEngineKind kind = EngineKindOf(DataSet);
  auto* fdTable = kind == TEngineKind::ekFDMemTable ? static_cast<TFDMemTable*>(DataSet) : nullptr;
  if (kind == TEngineKind::ekMdb && !DataSet->Active()) DataSet->Open();
  if (fdTable != nullptr) fdTable->BeginBatch(false);
  else if (DataSet != nullptr) DataSet->DisableControls();

  StartTiming(Sender);
  std::exception_ptr failure;
  try {
    if (DataSet != nullptr) {
      TField* customerID = DataSet->FieldByName(u"CustomerID");
      TField* contactName = DataSet->FieldByName(u"ContactName");
      TField* birthdate = DataSet->FieldByName(u"Birthdate");
      TField* maritalStatus = DataSet->FieldByName(u"MaritalStatus");
      TField* salary = DataSet->FieldByName(u"Salary");
      TField* address = DataSet->FieldByName(u"Address");
      TField* comment = DataSet->FieldByName(u"Comment");
      for (int i = 1; i <= count - 1; ++i) {
        if (append) DataSet->Append();
        else DataSet->Insert();
        customerID->SetAsInteger(i + 1);
        contactName->SetAsString(RandomContactName());
        const TDateTime now = Now();  // read before the draw
        birthdate->SetAsDateTime(IncMonth(now, -12 * (15 + Random(30))));
        maritalStatus->SetAsBoolean(Random(2) == 1);
        // Two draws in a fixed order: C++ leaves the order of operands unspecified.
        const int whole = 4000 + Random(10000);
        const double fraction = RandomFloat();
        salary->SetAsFloat(whole + fraction);
        // The name as the engine stored it (code page, cut at the field's size), read back twice.
        address->SetAsString(u"Address for " + contactName->AsString());
        comment->SetAsString(u"Comment for " + contactName->AsString());
        DataSet->Post();
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Ending the batch or re-enabling controls is timed; whatever fails, the caption and the button are
  // restored, and the first failure is the one passed on.
  try {
    if (fdTable != nullptr) fdTable->EndBatch();
    else if (DataSet != nullptr) DataSet->EnableControls();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  StopTiming(Sender);
  if (failure) std::rethrow_exception(failure);
}

// ---- the five timed operations ----

namespace {

// Runs Steps between StartTiming and StopTiming; StopTiming runs also when Steps raises.
template <class TSteps>
void Timed(TForm1& Form, TObject* Sender, TSteps&& Steps) {
  Form.StartTiming(Sender);
  try {
    Steps();
  } catch (...) {
    Form.StopTiming(Sender);
    throw;
  }
  Form.StopTiming(Sender);
}

}  // namespace

void TForm1::SaveEngineToFile(TObject* Sender, TDataSet* DataSet) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    const String name = DataFileName(DataSet);
    if (FileExists(name)) DeleteFile(name);
    switch (EngineKindOf(DataSet)) {
      case TEngineKind::ekADO: static_cast<TADODataSet*>(DataSet)->SaveToFile(name, pfADTG); break;
      case TEngineKind::ekClientDataSet: static_cast<TClientDataSet*>(DataSet)->SaveToFile(name, dfBinary); break;
      case TEngineKind::ekFDMemTable: static_cast<TFDMemTable*>(DataSet)->SaveToFile(name, sfAuto); break;
      case TEngineKind::ekVirtTable: static_cast<TVirtTable*>(DataSet)->SaveToFile(name, true, false); break;
      case TEngineKind::ekIdMem: static_cast<TIdMemDataSet*>(DataSet)->SaveToFile(name, false); break;
      default: break;
    }
    if (chkCompressionDecompressionFile->Checked()) ZipDataFile(name);
  });
}

void TForm1::SaveEngineToStream(TObject* Sender, TDataSet* DataSet, TMemoryStream* Stream) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    Stream->SetSize(0);
    switch (EngineKindOf(DataSet)) {
      case TEngineKind::ekADO: SaveADOToStream(DataSet, Stream); break;
      case TEngineKind::ekClientDataSet: static_cast<TClientDataSet*>(DataSet)->SaveToStream(Stream, dfBinary); break;
      case TEngineKind::ekFDMemTable: static_cast<TFDMemTable*>(DataSet)->SaveToStream(Stream, sfAuto); break;
      case TEngineKind::ekVirtTable: static_cast<TVirtTable*>(DataSet)->SaveToStream(Stream, true, false); break;
      case TEngineKind::ekIdMem: static_cast<TIdMemDataSet*>(DataSet)->SaveToStream(Stream, false); break;
      default: break;
    }
  });
}

void TForm1::EmptyEngine(TObject* Sender, TDataSet* DataSet) {
  Timed(*this, Sender, [&] {
    switch (EngineKindOf(DataSet)) {
      case TEngineKind::ekADO:
        DataSet->First();
        while (!DataSet->Eof()) DataSet->Delete();
        break;
      case TEngineKind::ekClientDataSet: static_cast<TClientDataSet*>(DataSet)->EmptyDataSet(); break;
      case TEngineKind::ekFDMemTable: static_cast<TFDMemTable*>(DataSet)->EmptyDataSet(); break;
      case TEngineKind::ekVirtTable: static_cast<TVirtTable*>(DataSet)->Clear(); break;
      case TEngineKind::ekIdMem: static_cast<TIdMemDataSet*>(DataSet)->EmptyDataSet(); break;
      default: break;
    }
  });
}

void TForm1::LoadEngineFromFile(TObject* Sender, TDataSet* DataSet) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    const String name = DataFileName(DataSet);
    if (chkCompressionDecompressionFile->Checked()) UnzipDataFile(ChangeFileExt(name, u".zip"));
    // A data file never saved loads nothing.
    if (!FileExists(name)) return;
    switch (EngineKindOf(DataSet)) {
      case TEngineKind::ekADO: static_cast<TADODataSet*>(DataSet)->LoadFromFile(name); break;
      case TEngineKind::ekClientDataSet: static_cast<TClientDataSet*>(DataSet)->LoadFromFile(name); break;
      case TEngineKind::ekFDMemTable: static_cast<TFDMemTable*>(DataSet)->LoadFromFile(name, sfAuto); break;
      case TEngineKind::ekVirtTable: static_cast<TVirtTable*>(DataSet)->LoadFromFile(name, true, true); break;
      case TEngineKind::ekIdMem:
        DataSet->Close();
        static_cast<TIdMemDataSet*>(DataSet)->LoadFromFile(name);
        break;
      default: break;
    }
  });
}

void TForm1::LoadEngineFromStream(TObject* Sender, TDataSet* DataSet, TMemoryStream* Stream) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    Stream->SetPosition(0);
    switch (EngineKindOf(DataSet)) {
      case TEngineKind::ekADO: LoadADOFromStream(DataSet, Stream); break;
      case TEngineKind::ekClientDataSet: static_cast<TClientDataSet*>(DataSet)->LoadFromStream(Stream); break;
      case TEngineKind::ekFDMemTable: static_cast<TFDMemTable*>(DataSet)->LoadFromStream(Stream, sfAuto); break;
      case TEngineKind::ekVirtTable: static_cast<TVirtTable*>(DataSet)->LoadFromStream(Stream, true, true); break;
      case TEngineKind::ekIdMem: static_cast<TIdMemDataSet*>(DataSet)->LoadFromStream(Stream); break;
      default: break;
    }
  });
}

// ---- the ADO stream adapters ----

void TForm1::SaveADOToStream(TDataSet* DataSet, TStream* Stream) {
  TStreamAdapter adapter(Stream, soReference);
  static_cast<TADODataSet*>(DataSet)->Recordset()->Save(&adapter, adPersistADTG);
}

void TForm1::LoadADOFromStream(TDataSet* DataSet, TStream* Stream) {
  // An empty stream leaves the dataset as it is.
  if (Stream->Size() <= 0) return;
  auto recordset = std::make_shared<TADORecordset>();
  Stream->SetPosition(0);
  TStreamAdapter adapter(Stream, soReference);
  OleCheck(recordset->Open(&adapter, EmptyParam(), adOpenUnspecified, adLockUnspecified, adCmdUnspecified));
  static_cast<TADODataSet*>(DataSet)->SetRecordset(std::move(recordset));
}
