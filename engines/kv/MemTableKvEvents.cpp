// Row events for grids (IMTEventReceiverKv), the insert bookkeeping that lets a grid show the row being
// inserted, and the deferred opening of a table read from a form at design time.
//
// While controls are disabled events are not delivered: the first one is remembered and counted; when
// controls are enabled again one remembered event is delivered as it was and more than one as a single
// whole-view change (-1, mtViewDataChangedKv, -1). A table without receivers pays one test per event.
#include <algorithm>

#include "engines/kv/MemTableKv.h"
#include "platform/classes/TimerHost.h"

void TCustomMemTableKv::AddEventReceiver(TComponent* Receiver) {
  if (!Receiver || std::find(FEventReceivers.begin(), FEventReceivers.end(), Receiver) != FEventReceivers.end()) return;
  FEventReceivers.push_back(Receiver);
  Receiver->FreeNotification(this);
}

int TCustomMemTableKv::RemoveEventReceiver(TComponent* Receiver) {
  const auto it = std::find(FEventReceivers.begin(), FEventReceivers.end(), Receiver);
  if (it == FEventReceivers.end()) return -1;
  const int index = static_cast<int>(it - FEventReceivers.begin());
  FEventReceivers.erase(it);
  Receiver->RemoveFreeNotification(this);
  return index;
}

void TCustomMemTableKv::NotifyEventReceivers(int RowNum, TMTViewEventTypeKv EventType, int OldRowNum) {
  if (!FActive || FEventReceivers.empty()) return;
  if (ControlsDisabled()) {
    if (FMTViewDataEventInactiveCount == 0) {
      FInactiveEventRowNum = RowNum;
      FInactiveEvent = EventType;
      FInactiveEventOldRowNum = OldRowNum;
    }
    FMTViewDataEventInactiveCount = std::min(FMTViewDataEventInactiveCount + 1, 2);
    return;
  }
  // A receiver may unregister (or be destroyed) while events go out: walk a copy, skip the departed.
  const std::vector<TComponent*> receivers = FEventReceivers;
  for (TComponent* r : receivers) {
    if (std::find(FEventReceivers.begin(), FEventReceivers.end(), r) == FEventReceivers.end()) continue;
    if (auto* receiver = dynamic_cast<IMTEventReceiverKv*>(r)) receiver->MTViewDataEvent(RowNum, EventType, OldRowNum);
  }
  FMTViewDataEventInactiveCount = 0;
  // The row being inserted moves down when a row is announced at or above it.
  if (FStateInsert && RowNum >= 0 && FStateInsertRowNum >= RowNum) ++FStateInsertRowNum;
}

void TCustomMemTableKv::ViewDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Event) {
  (void)MemRec;
  DropDetailRows();
  if (!FActive) return;
  if (!FEventReceivers.empty()) switch (Event) {
      case rlnRecAddedKv: NotifyEventReceivers(ViewRowToDataRow(Index), mtRowInsertedKv, -1); break;
      case rlnRecChangedKv: NotifyEventReceivers(ViewRowToDataRow(Index), mtRowChangedKv, -1); break;
      case rlnRecDeletedKv: NotifyEventReceivers(ViewRowToDataRow(Index), mtRowDeletedKv, -1); break;
      case rlnListChangedKv: NotifyEventReceivers(-1, mtViewDataChangedKv, -1); break;
      default: break;
    }
  switch (Event) {
    case rlnRecAddedKv: case rlnRecChangedKv: case rlnRecDeletedKv: case rlnListChangedKv:
      RefetchAfterSharedChange();
      break;
    default: break;
  }
}

void TCustomMemTableKv::RefetchAfterSharedChange() {
  // Only a change of the records made elsewhere: this table's own changes, its view's rebuilds, sorts
  // and tree expansions are refetched by the operations that make them.
  if (FRecordsViewUpdating > 0 || !FRecordsView->InRecordsChange() || State() != dsBrowse) return;
  const int n = FRecordsView->ViewItemsCount();
  if (BufferedRecordCount() > 0) {
    const TMTRecBuf* active = Buf(ActiveBuffer());
    const int row = RowOfBookmark(active->BookmarkData);
    if (row >= 0) FRecordPos = row;
    else if (active->RecordNumber >= 0) FRecordPos = active->RecordNumber;  // the row that took its place
  }
  FRecordPos = std::min(FRecordPos, n - 1);
  Resync(0);
}

void TCustomMemTableKv::ReleaseGoneRecords(TMemoryRecordKv* Going) {
  const TRecordsListKv* list = FRecordsView->List();
  auto release = [&](TMTRecBuf* rb) {
    if (!rb->MemRec) return;
    if (Going) {
      if (rb->MemRec != Going) return;
      // Still alive: the buffer keeps a copy of what it showed.
      if (rb->UseMemRec) {
        if (rb->Values.size() < FDataFields.size()) rb->Values.resize(FDataFields.size());
        for (size_t i = 0; i < FDataFields.size() && static_cast<int>(i) < Going->ValueCount(); ++i)
          rb->Values[i] = Going->Value(static_cast<int>(i));
      }
    } else if (list && list->RecordBySerial(rb->BookmarkData.Serial) == rb->MemRec) {
      return;
    }
    rb->UseMemRec = false;
    rb->MemRec = nullptr;
    rb->RecView = nullptr;
  };
  for (auto& e : FRecordCache)
    if (e->InUse) release(e.get());
  release(&FScanBuf);
}

void TCustomMemTableKv::ViewRecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex) {
  (void)MemRec;
  DropDetailRows();
  if (!FActive) return;
  if (!FEventReceivers.empty() && !ControlsDisabled())
    NotifyEventReceivers(ViewRowToDataRow(NewIndex), mtRowMovedKv, ViewRowToDataRow(OldIndex));
  RefetchAfterSharedChange();
}

void TCustomMemTableKv::MTEnableControls(bool ForceUpdateState) {
  if (ControlsDisabled()) {
    NotifyEventReceivers(-1, mtViewDataChangedKv, -1);
    if (ForceUpdateState) DispatchDataEvent(deDisabledStateChange, -1);
  }
  EnableControls();
}

void TCustomMemTableKv::DispatchDataEvent(TDataEvent Event, std::intptr_t Info) {
  const bool disabled = ControlsDisabled();
  if (!FEventReceivers.empty()) {
    if (FActive && FOldControlsDisabled && !disabled) {
      const int count = FMTViewDataEventInactiveCount;
      FMTViewDataEventInactiveCount = 0;
      if (count == 1) NotifyEventReceivers(FInactiveEventRowNum, FInactiveEvent, FInactiveEventOldRowNum);
      else if (count >= 2) NotifyEventReceivers(-1, mtViewDataChangedKv, -1);
    }
    if (Event == deUpdateState) {
      if (State() == dsInsert && !FStateInsert) {
        // The grid shows a row for the record being inserted, at the row the cursor stands on.
        const int row = InstantReadCurRow();
        FStateInsert = true;
        FStateInsertRowNum = row;
        NotifyEventReceivers(row, mtRowInsertedKv, -1);
        FStateInsertRowNum = row;
      } else if (State() == dsBrowse && FStateInsert) {
        FStateInsert = false;
        NotifyEventReceivers(FStateInsertRowNum, mtRowDeletedKv, -1);
        FStateInsertRowNum = -1;
      }
    }
  } else if (Event == deUpdateState && State() != dsInsert) {
    FStateInsert = false;
    FStateInsertRowNum = -1;
  }
  if (Event == deFieldListChange) SyncLookupBufferOrder();
  // The grid's layout changed: tree rows compute their calculated values again.
  if (Event == deLayoutChange && FActive) FRecordsView->UpdateAllLookupBuffer();
  TDataSet::DispatchDataEvent(Event, Info);
  // Open as the framework sees it: closing announces the inactive state before the cursor closes.
  const bool open = FActive && Active();
  if (open && !FOldActive) NotifyEventReceivers(-1, mtViewDataChangedKv, -1);
  FOldControlsDisabled = ControlsDisabled();
  FOldActive = open;
}

// ---- deferred activation --------------------------------------------------------------------------------

void TCustomMemTableKv::SetActive(bool Value) {
  if (Value == Active()) return;
  TTimerHost* host = TimerHost();
  if (Value && FInLoaded && HasState(csDesigning) && host) {
    // The form is still being read: open once its loading is over, from the loop.
    if (FDeferredOpen) return;
    FDeferredOpen = host->StartTimer(0, [this, host] {
      host->StopTimer(FDeferredOpen);
      FDeferredOpen = 0;
      if (FDataDriver && FDataDriver->ConnectionIsPostponed()) FDataDriver->AddPostponedActivationDataSet(this);
      else SetActive(true);
    });
    if (FDeferredOpen) return;
  }
  TDataSet::SetActive(Value);
}

void TCustomMemTableKv::Loaded() {
  FInLoaded = true;
  try {
    TDataSet::Loaded();
    if (FTreeList->LoadingActive()) FTreeList->SetActive(true);
  } catch (...) {
    FInLoaded = false;
    throw;
  }
  FInLoaded = false;
}

void TCustomMemTableKv::CancelDeferredOpen() {
  if (!FDeferredOpen) return;
  if (TTimerHost* host = TimerHost()) host->StopTimer(FDeferredOpen);
  FDeferredOpen = 0;
}
