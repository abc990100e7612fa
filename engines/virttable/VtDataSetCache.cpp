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
      // The handler reads the row being applied through the fields, and what it writes to them (or
      // to their NewValue) is what the row keeps.
      TUpdateAction a = uaFail;
      if (FNewCacheRecBuf) {
        UpdateCalculatedFieldsOf(FNewCacheRecBuf);
        TRecordBuffer save = FScanRecBuf;
        FScanRecBuf = FNewCacheRecBuf;
        const TDataSetState s = SetTempState(dsFilter);
        try {
          OnUpdateRecord(*this, kind, a);
        } catch (...) {
          RestoreState(s);
          FScanRecBuf = save;
          throw;
        }
        RestoreState(s);
        FScanRecBuf = save;
      } else {
        RunWithItemInScan(FData->CurrentItem(), [&] { OnUpdateRecord(*this, kind, a); });
      }
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

void TMemDataSet::WithCacheRecBufs(const std::function<void()>& Body) {
  std::vector<Byte> newBuf(static_cast<std::size_t>(FRecBufSize)), oldBuf(static_cast<std::size_t>(FRecBufSize));
  FNewCacheRecBuf = newBuf.data();
  FOldCacheRecBuf = oldBuf.data();
  FData->SetCacheRecBuf(FNewCacheRecBuf, FOldCacheRecBuf);
  struct TDone {
    TMemDataSet& D;
    ~TDone() {
      D.FNewCacheRecBuf = D.FOldCacheRecBuf = nullptr;
      if (D.FData) D.FData->SetCacheRecBuf(nullptr, nullptr);
    }
  } done{*this};
  Body();
}

void TMemDataSet::ApplyUpdates(vt::TUpdateRecKinds Kinds) {
  RequireActive();
  if (State() == dsEdit || State() == dsInsert) Post();
  CheckCachedUpdateMode();
  UpdateCursorPos();
  try {
    WithCacheRecBufs([&] { FData->ApplyUpdates(Kinds); });
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
  WithCacheRecBufs([&] { FData->CommitUpdates(); });
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
