// The Kv table's side of a data driver: attaching it, reading its rows, applying the change log.
#include "engines/kv/MemTableKv.h"

void TCustomMemTableKv::SetDataDriver(TDataDriverKv* Value) {
  if (Value == FDataDriver) return;
  if (Value && FExternalMemData) throw Exception(u"Assigning to DataDriver is not allowed if ExternalMemData is assigned");
  if (Active()) CheckBrowseMode();
  if (FDataDriver) {
    FDataDriver->SetDataDriverConsumer(nullptr);
    FDataDriver->RemoveFreeNotification(this);
  }
  // A driver serves one table: another table that holds it lets it go.
  if (Value)
    if (auto* other = dynamic_cast<TCustomMemTableKv*>(Value->DataDriverConsumer()); other && other != this)
      other->SetDataDriver(nullptr);
  FDataDriver = Value;
  if (Value) {
    Value->SetDataDriverConsumer(this);
    Value->FreeNotification(this);
  }
  DriverStructChanged();
}

void TCustomMemTableKv::Notification(TComponent* AComponent, TOperation Operation) {
  TDataSet::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  if (AComponent == FDataDriver) FDataDriver = nullptr;
  if (AComponent == FExternalMemData) {
    // The other table goes with its data: this one shows its own again.
    if (!HasState(csDestroying)) Close();
    FExternalMemData = nullptr;
    FInternMemTableData = FOwnMemTableData;
    FRecordsView->SetDataObject(FInternMemTableData);
  }
  // A destroyed receiver hears nothing more.
  std::erase(FEventReceivers, AComponent);
}

void TCustomMemTableKv::OpenFromDriver() {
  TDataDriverKv* d = FDataDriver;
  d->SetProviderEOF(true);
  if (FMasterDetailSide != mdsOnSelfKv) SetDriverParamsFromMaster();
  d->GetDataReader();
  // The structure is made again on every opening: from the persistent fields when the table has data
  // fields, else from the provider; mtoPersistentStructKv keeps one that exists.
  bool dataFields = false;
  for (const TField* f : Fields()) dataFields = dataFields || f->FieldKind() == fkData || f->FieldKind() == fkInternalCalc;
  const bool keep = (FOptions & MemTableOptionBit(mtoPersistentStructKv)) != 0 && !FInternMemTableData->IsEmpty();
  if (keep) {
    // the structure stays as it is
  } else if (dataFields) {
    FInternMemTableData->DataStruct()->BuildStructFromFields(Fields());
  } else {
    d->BuildDataStruct(FInternMemTableData->DataStruct());
  }
  // The rows are the provider's: what a previous opening read is dropped.
  FInternMemTableData->RecordsList()->Clear();
  FInternMemTableData->AutoIncrement().Reset();
  d->ReadData(FInternMemTableData, FFetchAllOnOpen ? -1 : 1);
}

int TCustomMemTableKv::ReadFromDriver(int Count) {
  if (!FDataDriver || Count == 0) return 0;
  const TRecordsViewUpdate update(this);
  int read = FDataDriver->ReadData(FRecordsView->MemTableData(), Count);
  while (Count > 0 && read < Count && !FDataDriver->ProviderEOF()) {
    const int more = FDataDriver->ReadData(FRecordsView->MemTableData(), 1);
    if (more == 0) break;
    read += more;
  }
  return read;
}

int TCustomMemTableKv::FetchRecords(int Count) {
  if (!Active()) return 0;
  CheckBrowseMode();
  const int read = ReadFromDriver(Count);
  if (read > 0) Resync(0);
  return read;
}

void TCustomMemTableKv::CursorRefresh() {
  if (FDataDriver) {
    const TRecordsViewUpdate update(this);
    FDataDriver->RefreshReader();
    if (FMasterDetailSide != mdsOnSelfKv) SetDriverParamsFromMaster();
    FInternMemTableData->RecordsList()->Clear();
    ReadFromDriver(FFetchAllOnOpen ? -1 : 1);
  }
  FFilterFailed = false;
}

const TUpdateErrorKv* TCustomMemTableKv::UpdateError() const {
  RequireActive();
  return FDataDriver ? FDataDriver->UpdateError(Rec()) : nullptr;
}
