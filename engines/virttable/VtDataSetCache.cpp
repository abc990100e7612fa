// Cached updates of TMemDataSet: the switches and the apply step handed to the record set.
#include "engines/virttable/VtDataSet.h"

void TMemDataSet::CheckCachedUpdateMode() const {
  if (!FCachedUpdates) DatabaseError(u"Not in cached update mode", this);
}

void TMemDataSet::SetCachedUpdates(bool Value) {
  if (Value == FCachedUpdates) return;
  RequireInactive();
  FCachedUpdates = Value;
  FUpdateRecordTypes = kDefaultUpdateRecordTypes;
  if (FData) FData->SetCachedUpdates(Value);
}

TUpdateRecordTypes TMemDataSet::UpdateRecordTypes() const {
  CheckCachedUpdateMode();
  return FUpdateRecordTypes;
}

void TMemDataSet::SetUpdateRecordTypes(TUpdateRecordTypes Value) {
  CheckCachedUpdateMode();
  Value &= 0xF;
  if (Active()) {
    UpdateCursorPos();
    if (State() == dsEdit || State() == dsInsert) {
      UpdateRecord();
      if (Modified()) Post();
      else Cancel();
    }
  }
  FUpdateRecordTypes = Value;
  if (!Active()) return;
  // The row under the cursor may be one that no longer shows.
  CursorPosChanged();
  Resync(0);
  First();
}

void TMemDataSet::SetLocalUpdate(bool Value) {
  FLocalUpdate = Value;
  if (FData) FData->LocalUpdate = Value;
}

bool TMemDataSet::UpdatesPending() const { return FData && FData->UpdatesPending(); }

TUpdateStatus TMemDataSet::UpdateStatus() const {
  if (!FCachedUpdates) return usUnmodified;
  const TRecordBuffer buf = State() == dsCalcFields ? CalcBuffer() : GetActiveRecBuf();
  if (!buf || State() == dsInsert) return State() == dsInsert ? usInserted : usUnmodified;
  return static_cast<TUpdateStatus>(buf[FRecInfoOfs + 4]);
}

void TMemDataSet::ApplyRecord(vt::TUpdateRecKind Kind, vt::TUpdateResult& Action) {
  const TUpdateKind kind = Kind == vt::ukUpdate ? ukModify : (Kind == vt::ukInsert ? ukInsert : ukDelete);
  int action = uaFail;
  const bool modified = Modified();
  try {
    bool ownApply = true;
    if (OnUpdateRecord) {
      // The handler reads the row being applied through the fields.
      TUpdateAction a = uaFail;
      RunWithItemInScan(FData->CurrentItem(), [&] { OnUpdateRecord(*this, kind, a); });
      action = a;
      if (action == uaFail) DatabaseError(u"Update failed", this);
      if (action == uaAbort) throw EAbort(u"Operation aborted");
      ownApply = action == kUpdateActionDefault;
    }
    if (ownApply) action = uaApplied;  // nothing stands behind this table to apply to
  } catch (EDatabaseError& e) {
    if (!OnUpdateError) throw;
    TUpdateAction a = uaFail;
    OnUpdateError(*this, e, kind, a);
    if (a == uaFail) throw;
    if (a == uaAbort) throw EAbort(u"Operation aborted");
    action = a;
  }
  SetModified(modified);
  Action = static_cast<vt::TUpdateResult>(action);
}

void TMemDataSet::ApplyUpdates(vt::TUpdateRecKinds Kinds) {
  RequireActive();
  if (State() == dsEdit || State() == dsInsert) Post();
  CheckCachedUpdateMode();
  UpdateCursorPos();
  try {
    FData->ApplyUpdates(Kinds);
  } catch (...) {
    CursorPosChanged();
    Resync(0);
    throw;
  }
  CursorPosChanged();
  Resync(0);
}

void TMemDataSet::CommitUpdates() {
  CheckCachedUpdateMode();
  if (!Active()) return;
  if (State() == dsEdit || State() == dsInsert) Post();
  UpdateCursorPos();
  FData->CommitUpdates();
  CursorPosChanged();
  Resync(0);
}

void TMemDataSet::CancelUpdates() {
  if (!FData) return;
  if (Active()) {
    if (State() == dsEdit || State() == dsInsert) Cancel();
    UpdateCursorPos();
  }
  FData->CancelUpdates();
  if (Active()) {
    CursorPosChanged();
    Resync(0);
    if (IsEmpty() || Bof()) First();
  }
}

void TMemDataSet::RevertRecord() {
  CheckCachedUpdateMode();
  RequireActive();
  if (State() == dsEdit || State() == dsInsert) Cancel();
  UpdateCursorPos();
  FData->RevertRecord();
  CursorPosChanged();
  Resync(0);
}

void TMemDataSet::RestoreUpdates() {
  CheckCachedUpdateMode();
  if (FData) FData->RestoreUpdates();
  if (Active()) Resync(0);
}
