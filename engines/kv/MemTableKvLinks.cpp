// Links of the Kv table to other components: another table's data shown through ExternalMemData, the
// options, and master/detail carried out by the data driver's provider (its parameters take the master's
// values).
#include "engines/kv/MemTableKv.h"

void TCustomMemTableKv::SetExternalMemData(TCustomMemTableKv* Value) {
  if (Value == FExternalMemData) return;
  if (Value == this) throw Exception(u"Circular datalinks are not allowed");
  if (Value && FDataDriver) throw Exception(u"Assigning to ExternalMemData is not allowed if DataDriver is assigned");
  const bool wasActive = Active();
  if (!HasState(csLoading)) Close();
  if (FExternalMemData) FExternalMemData->RemoveFreeNotification(this);
  FExternalMemData = Value;
  if (Value) Value->FreeNotification(this);
  FInternMemTableData = Value ? Value->FOwnMemTableData : FOwnMemTableData;
  FRecordsView->SetDataObject(FInternMemTableData);
  if (wasActive && !HasState(csDestroying)) Open();
}

void TCustomMemTableKv::SetOptions(TMemTableOptionsKv Value) {
  if (Value == FOptions) return;
  FOptions = Value;
  const bool ci = (Value & MemTableOptionBit(mtoTextFieldsCaseInsensitive)) != 0;
  const TFilterOptions fo = ci ? (FilterOptions() | foCaseInsensitive) : (FilterOptions() & ~foCaseInsensitive);
  if (fo != FilterOptions()) SetFilterOptions(fo);
  FRecordsView->SetSortOrderCaseInsensitive(ci);
}

void TCustomMemTableKv::ViewStructChanged() {
  if (!Active() || FInViewStructChanged || HasState(csDestroying)) return;
  FInViewStructChanged = true;
  // The driver would rebuild the structure on reopening: it stands aside meanwhile.
  TDataDriverKv* driver = FDataDriver;
  FDataDriver = nullptr;
  try {
    Close();
    if (FInternMemTableData->DataStruct()->Count() > 0) Open();
  } catch (...) {
    FDataDriver = driver;
    FInViewStructChanged = false;
    throw;
  }
  FDataDriver = driver;
  FInViewStructChanged = false;
}

TDataSet* TCustomMemTableKv::MasterDataSet() const {
  TDataSource* source = MasterSource();
  return source ? source->DataSet() : nullptr;
}

void TCustomMemTableKv::SetDriverParamsFromMaster() {
  TDataSet* master = MasterDataSet();
  if (!FDataDriver || !master || !master->Active() || master->State() == dsSetKey) return;
  FDataDriver->SetReaderParamsFromCursor(master);
  if (FMasterDetailSide == mdsOnSelfAfterProviderKv) {
    const Variant values = MasterKeyValues();
    if (!FMasterValList.Contains(values)) FMasterValList.Add(values);
  }
}

void TCustomMemTableKv::RefreshDetailFromDriver() {
  TDataSet* master = MasterDataSet();
  if (!FDataDriver || !master || !master->Active() || master->State() == dsSetKey || !Active()) return;
  DisableControls();
  try {
    if (FMasterDetailSide == mdsOnProviderKv) {
      if (FDataDriver->RefreshReaderParamsFromCursor(master)) {
        Close();
        Open();
      }
    } else if (FMasterDetailSide == mdsOnSelfAfterProviderKv) {
      // Rows of every master value fetched so far stay; a new value brings its rows from the provider.
      if (!FMasterValList.Contains(MasterKeyValues())) {
        ReadFromDriver(-1);
        FDataDriver->ConsumerClosed(this);
        SetDriverParamsFromMaster();
        FDataDriver->GetDataReader();
        ReadFromDriver(FFetchAllOnOpen ? -1 : 1);
      }
      RefreshRecordsView();
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}
