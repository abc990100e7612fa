#include <algorithm>

#include "platform/db/DataSet.h"

// ==== TDataSource ========================================================================================

TDataSource::TDataSource(TComponent* AOwner) : TComponent(AOwner) {}

TDataSource::~TDataSource() {
  TComponent::SetState(csDestroying, true);
  std::vector<TDataLink*> links;
  links.swap(FDataLinks);
  for (TDataLink* link : links) {
    link->FDataSource = nullptr;
    link->SetActive(false);
  }
  if (FDataSet) FDataSet->RemoveDataSource(this);
  FDataSet = nullptr;
}

void TDataSource::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
}

bool TDataSource::IsLinkedTo(const TDataSet* ADataSet) const {
  int guard = 0;
  for (const TDataSet* ds = ADataSet; ds && guard < 1000; ++guard) {
    const TDataSource* master = ds->DataSource();
    if (!master) break;
    if (master == this) return true;
    ds = master->DataSet();
  }
  return false;
}

void TDataSource::SetDataSet(TDataSet* ADataSet) {
  if (ADataSet == FDataSet) return;
  if (IsLinkedTo(ADataSet)) DatabaseError(msg::SCircularDataLink, this);
  for (TDataLink* link : FDataLinks)
    if (link->GetDetailDataSet() && link->GetDetailDataSet() == ADataSet) DatabaseError(msg::SCircularDataLink, this);
  if (FDataSet) FDataSet->RemoveDataSource(this);
  FDataSet = ADataSet;
  if (FDataSet) FDataSet->AddDataSource(this);
  UpdateState();
}

void TDataSource::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateState();
}

void TDataSource::Edit() {
  if (FAutoEdit && FState == dsBrowse && FDataSet) FDataSet->Edit();
}

void TDataSource::AddDataLink(TDataLink* Link) {
  FDataLinks.push_back(Link);
  if (FDataSet) FDataSet->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* Link) {
  FDataLinks.erase(std::remove(FDataLinks.begin(), FDataLinks.end(), Link), FDataLinks.end());
  if (FDataSet) FDataSet->UpdateBufferCount();
}

void TDataSource::NotifyLinks(TDataEvent Event, std::intptr_t Info) {
  // Detail links first: a detail dataset follows its master before any control paints the master.
  const std::vector<TDataLink*> links = FDataLinks;
  for (TDataLink* link : links)
    if (link->GetDetailDataSet() && std::find(FDataLinks.begin(), FDataLinks.end(), link) != FDataLinks.end())
      link->DataEvent(Event, Info);
  for (TDataLink* link : links)
    if (!link->GetDetailDataSet() && std::find(FDataLinks.begin(), FDataLinks.end(), link) != FDataLinks.end())
      link->DataEvent(Event, Info);
}

void TDataSource::SetState(TDataSetState Value) {
  if (Value == FState) return;
  const TDataSetState prior = FState;
  FState = Value;
  NotifyLinks(deUpdateState, 0);
  if (HasState(csDestroying)) return;
  if (OnStateChange) OnStateChange(this);
  if (prior == dsInactive && OnDataChange) OnDataChange(this, nullptr);
}

void TDataSource::UpdateState() {
  SetState(FEnabled && FDataSet ? FDataSet->State() : dsInactive);
}

void TDataSource::NotifyDataLinks() { NotifyLinks(deUpdateState, 0); }

void TDataSource::DataEvent(TDataEvent Event, std::intptr_t Info) {
  if (Event == deUpdateState) {
    UpdateState();
    return;
  }
  if (FState == dsInactive) return;
  NotifyLinks(Event, Info);
  switch (Event) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(this, reinterpret_cast<TField*>(Info));
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default:
      break;
  }
}

// ==== TDataLink ==========================================================================================

TDataLink::TDataLink() = default;

TDataLink::~TDataLink() {
  if (FDataSource) {
    TDataSource* ds = FDataSource;
    FDataSource = nullptr;
    ds->RemoveDataLink(this);
  }
}

TDataSet* TDataLink::DataSet() const { return FDataSource ? FDataSource->DataSet() : nullptr; }

void TDataLink::SetDataSource(TDataSource* ADataSource) {
  if (ADataSource == FDataSource) return;
  if (FDataSource) FDataSource->RemoveDataLink(this);
  FDataSource = ADataSource;
  if (FDataSource) FDataSource->AddDataLink(this);
  SetActive(FDataSource && FDataSource->State() != dsInactive);
  SetEditing(FDataSource && (FDataSource->State() == dsEdit || FDataSource->State() == dsInsert));
}

void TDataLink::SetReadOnly(bool Value) {
  if (Value == FReadOnly) return;
  FReadOnly = Value;
  SetEditing(!FReadOnly && FDataSource && (FDataSource->State() == dsEdit || FDataSource->State() == dsInsert));
}

void TDataLink::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (Value)
    UpdateWindow();
  else
    FFirstRecord = 0;
  ActiveChanged();
}

void TDataLink::SetEditing(bool Value) {
  if (Value == FEditing) return;
  FEditing = Value;
  EditingChanged();
}

void TDataLink::UpdateWindow() {
  TDataSet* ds = DataSet();
  if (!ds || !FActive) return;
  // Keep the dataset's active row inside this link's part of the window.
  const int lo = std::max(0, ds->ActiveRecord() - FBufferCount + 1);
  const int hi = std::max(0, std::min(ds->BufferCount() - FBufferCount, ds->ActiveRecord()));
  FFirstRecord = std::clamp(FFirstRecord, lo, std::max(lo, hi));
}

int TDataLink::ActiveRecord() const {
  TDataSet* ds = DataSet();
  if (!ds || !FActive) return 0;
  return ds->ActiveRecord() - FFirstRecord;
}

void TDataLink::SetActiveRecord(int Value) {
  TDataSet* ds = DataSet();
  if (!ds || !FActive) return;
  ds->FActiveRecord = std::clamp(Value + FFirstRecord, 0, std::max(0, ds->FRecordCount - 1));
}

void TDataLink::SetBufferCount(int Value) {
  Value = std::max(Value, 1);
  if (Value == FBufferCount) return;
  FBufferCount = Value;
  if (TDataSet* ds = DataSet()) ds->UpdateBufferCount();
}

int TDataLink::RecordCount() const {
  TDataSet* ds = DataSet();
  if (!ds || !FActive) return 0;
  return std::min(ds->BufferedRecordCount() - FFirstRecord, FBufferCount);
}

bool TDataLink::Edit() {
  if (!FReadOnly && FDataSource) FDataSource->Edit();
  return FEditing;
}

void TDataLink::UpdateRecord() {
  FUpdating = true;
  try {
    UpdateData();
  } catch (...) {
    FUpdating = false;
    throw;
  }
  FUpdating = false;
}

void TDataLink::DataEvent(TDataEvent Event, std::intptr_t Info) {
  if (Event == deUpdateState) {
    SetActive(FDataSource && FDataSource->State() != dsInactive);
    SetEditing(!FReadOnly && FDataSource && (FDataSource->State() == dsEdit || FDataSource->State() == dsInsert));
    return;
  }
  if (!FActive) return;
  switch (Event) {
    case deFieldChange:
    case deRecordChange:
      if (!FUpdating) RecordChanged(reinterpret_cast<TField*>(Info));
      break;
    case deDataSetChange:
      UpdateWindow();
      DataSetChanged();
      break;
    case deDataSetScroll:
      UpdateWindow();
      DataSetScrolled(static_cast<int>(Info));
      break;
    case deLayoutChange:
      UpdateWindow();
      LayoutChanged();
      break;
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField*>(Info));
      break;
    default:
      break;
  }
}

// ==== TMasterDataLink ====================================================================================

TMasterDataLink::TMasterDataLink(TDataSet* ADataSet) : FDetailDataSet(ADataSet) {}

TMasterDataLink::~TMasterDataLink() { SetDataSource(nullptr); }

void TMasterDataLink::SetFieldNames(const String& Value) {
  if (Value == FFieldNames) return;
  FFieldNames = Value;
  ActiveChanged();
}

void TMasterDataLink::UpdateFields() {
  FFields.clear();
  if (!Active() || !DataSet()) return;
  try {
    DataSet()->GetFieldList(FFields, FFieldNames);
  } catch (...) {
    FFields.clear();
    throw;
  }
}

void TMasterDataLink::ActiveChanged() {
  UpdateFields();
  if (!FDetailDataSet || !FDetailDataSet->Active() || FDetailDataSet->HasState(csDestroying)) return;
  if (Active() && !FFields.empty()) {
    if (OnMasterChange) OnMasterChange(this);
  } else if (OnMasterDisable) {
    OnMasterDisable(this);
  }
}

void TMasterDataLink::CheckBrowseMode() {
  if (FDetailDataSet && FDetailDataSet->Active()) FDetailDataSet->CheckBrowseMode();
}

void TMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TMasterDataLink::RecordChanged(TField* Field) {
  if (!DataSource() || DataSource()->State() == dsSetKey) return;
  if (!FDetailDataSet || !FDetailDataSet->Active() || FFields.empty()) return;
  if (Field && std::find(FFields.begin(), FFields.end(), Field) == FFields.end()) return;
  if (OnMasterChange) OnMasterChange(this);
}
