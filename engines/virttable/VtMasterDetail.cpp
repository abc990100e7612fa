// Local master/detail of TMemDataSet: the detail link, the links' master values and the per-row test.
#include "engines/virttable/VtClasses.h"
#include "engines/virttable/VtDataSet.h"
#include "engines/virttable/VtSort.h"
#include "engines/virttable/VtTimer.h"

// Follows the master's row and state for one detail dataset.
class TVtDetailDataLink : public TDetailDataLink {
 public:
  explicit TVtDetailDataLink(TMemDataSet* DataSet) : FDataSet(DataSet) {}
  TDataSet* GetDetailDataSet() const override { return FDataSet; }

 protected:
  void ActiveChanged() override {
    if (FDataSet->Active() && (FDataSet->ComponentState() & csDestroying) == 0 && Active()) FDataSet->MasterChanged();
  }
  void RecordChanged(TField* Field) override {
    if (Field && DataSet() && Field->DataSet() != DataSet()) return;
    if (!FDataSet->Active()) return;
    const TDataSetState detail = FDataSet->State();
    if (!Field || (detail != dsEdit && detail != dsInsert && DataSet() && DataSet()->State() != dsInsert))
      FDataSet->MasterChanged();
  }
  void CheckBrowseMode() override {
    if (!FDataSet->Active()) return;
    const TDataSetState detail = FDataSet->State();
    if ((DataSet() && DataSet()->State() != dsInsert) || (detail != dsEdit && detail != dsInsert))
      FDataSet->CheckBrowseMode();
  }

 private:
  TMemDataSet* FDataSet;
};

TDataSource* TMemDataSet::MasterSource() const { return FDataLink ? FDataLink->DataSource() : nullptr; }
TDataSource* TMemDataSet::GetDataSource() const { return MasterSource(); }

bool TMemDataSet::IsLocalMasterDetail() const {
  return MasterSource() && !FMasterFields.empty() && !FDetailFields.empty();
}

void TMemDataSet::SetMasterSource(TDataSource* Value) {
  if (Value == MasterSource()) return;
  if (Value && IsLinkedTo(Value)) DatabaseError(msg::SCircularDataLink, this);
  const bool was = IsLocalMasterDetail();
  if (!FDataLink) FDataLink = std::make_unique<TVtDetailDataLink>(this);
  FDataLink->SetDataSource(Value);
  MasterFieldsChanged(was);
}

void TMemDataSet::SetMasterFields(const String& Value) {
  if (Value == FMasterFields) return;
  const bool was = IsLocalMasterDetail();
  FMasterFields = Value;
  MasterFieldsChanged(was);
}

void TMemDataSet::SetDetailFields(const String& Value) {
  if (Value == FDetailFields) return;
  const bool was = IsLocalMasterDetail();
  FDetailFields = Value;
  MasterFieldsChanged(was);
}

void TMemDataSet::MasterFieldsChanged(bool WasLocal) {
  FMasterDetailOn = IsLocalMasterDetail();
  if (!WasLocal && !FMasterDetailOn) return;
  if (!Active()) return;
  BuildLocalMDLinks();
  CursorPosChanged();
  First();
}

void TMemDataSet::SetDetailDelay(unsigned Value) {
  if (Value == FDetailDelay) return;
  FDetailDelay = Value;
  if (!FDetailRefreshTimer) {
    FDetailRefreshTimer = new vt::TVtTimer(this);  // owned by this component
    FDetailRefreshTimer->SetEnabled(false);
    FDetailRefreshTimer->SetOnTimer([this](TObject*) { RefreshDetail(); });
  }
  FDetailRefreshTimer->SetInterval(Value);
}

void TMemDataSet::RefreshDetail() {
  if (FDetailRefreshTimer) FDetailRefreshTimer->SetEnabled(false);
  if (!Active() || !IsLocalMasterDetail()) return;
  CursorPosChanged();
  First();
}

void TMemDataSet::MasterChanged() {
  TDataSource* source = MasterSource();
  TDataSet* master = source ? source->DataSet() : nullptr;
  if (!master || !master->Active() || master->State() == dsSetKey) return;
  BuildLocalMDLinks();
  if (FDetailRefreshTimer && FDetailRefreshTimer->Interval() != 0) {
    // Restarting waits a full interval from the master's last move.
    FDetailRefreshTimer->SetEnabled(false);
    FDetailRefreshTimer->SetEnabled(true);
  } else {
    RefreshDetail();
  }
}

void TMemDataSet::GetDetailLinkFields(std::vector<TField*>& MasterFields, std::vector<TField*>& DetailFields) {
  MasterFields.clear();
  DetailFields.clear();
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master || FMasterFields.empty() || FDetailFields.empty() || !master->Active()) return;
  std::size_t mp = 0, dp = 0;
  for (;;) {
    const String m = ExtractFieldName(FMasterFields, mp);
    const String d = ExtractFieldName(FDetailFields, dp);
    if (m.empty() || d.empty()) break;
    if (TField* mf = master->FindField(m)) {
      MasterFields.push_back(mf);
      if (TField* df = FindField(d)) DetailFields.push_back(df);
    }
  }
}

void TMemDataSet::BuildLocalMDLinks() {
  FLocalMDLinks.clear();
  FMasterDetailOn = IsLocalMasterDetail();
  FMasterEmpty = false;
  if (!FMasterDetailOn || !FData) return;
  TDataSet* master = MasterSource()->DataSet();
  if (!master || !master->Active()) return;
  if (!vt::IsVtClass<TMemDataSet>(master)) throw Exception(u"Master dataset must be inherited from TMemDataSet");
  FMasterEmpty = master->IsEmpty();
  std::size_t mp = 0, dp = 0;
  for (;;) {
    const String m = ExtractFieldName(FMasterFields, mp);
    const String d = ExtractFieldName(FDetailFields, dp);
    if (m.empty() || d.empty()) break;
    TField* mf = master->FindField(m);
    TField* df = FindField(d);
    if (!mf || !df) continue;
    TLocalMDLink link;
    link.Detail = FData->FindField(df->FieldName());
    if (!link.Detail) throw Exception(u"Field " + df->FieldName() + u" not found");
    link.IsNull = mf->IsNull();
    if (!link.IsNull) link.Value = mf->AsVariant();
    FLocalMDLinks.push_back(std::move(link));
  }
}

bool TMemDataSet::MasterDetailAccepts(const vt::TItemHeader* Item) {
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (master && master->Active() && FMasterEmpty) return false;
  for (const TLocalMDLink& link : FLocalMDLinks) {
    const bool recNull = FData->GetNull(*link.Detail, Item->Record());
    if (link.IsNull || recNull) {
      if (link.IsNull != recNull) return false;
      continue;
    }
    if (vt::CompareValues(*FData, link.Value, *link.Detail, Item->Record(), 0) != 0) return false;
  }
  return true;
}

void TMemDataSet::DoOnNewRecord() {
  try {
    TDataSet::DoOnNewRecord();
  } catch (...) {
    CursorCancel();  // the new row's blobs go with it
    throw;
  }
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master || !master->Active() || FMasterFields.empty() || FDetailFields.empty()) return;
  // A new detail row belongs to the master's row: its link fields start with the master's values.
  std::size_t mp = 0, dp = 0;
  for (;;) {
    const String m = ExtractFieldName(FMasterFields, mp);
    const String d = ExtractFieldName(FDetailFields, dp);
    if (m.empty() || d.empty()) break;
    TField* from = master->FindField(m);
    TField* to = FindField(d);
    if (!from || !to || to->ReadOnly()) continue;
    if (from->IsNull()) to->Clear();
    else if (to->DataType() == ftLargeint) to->SetAsLargeInt(VarAsType(from->AsVariant(), varInt64).VInt64());
    else to->SetAsVariant(from->AsVariant());
  }
}
