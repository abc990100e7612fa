// The records view: the rows the dataset reads, in order. This build shows every record of the table
// data in records-list order (no sort order, no filter beyond the update-status filter's default, which
// every record passes while no cached delete is pending); rows are therefore the records list itself, and
// a row's position is its record's position (O(log n)), so no per-row structure is kept.
#pragma once

#include "engines/kv/MemTableDataKv.h"

class TRecordsViewKv : public TRecordsListNotificatorKv {
  VELLUM_CLASS(TRecordsViewKv)
 public:
  explicit TRecordsViewKv(TComponent* AOwner) : TRecordsListNotificatorKv(AOwner) {}

  TMemTableDataKv* MemTableData() const { return dynamic_cast<TMemTableDataKv*>(FDataObject); }
  TRecordsListKv* List() const { return MemTableData() ? MemTableData()->RecordsList() : nullptr; }
  int Count() const { return List() ? List()->Count() : 0; }
  int ViewItemsCount() const { return Count(); }
  TMemoryRecordKv* GetRec(int Index) const { return List()->GetRec(Index); }
  int IndexOfRec(const TMemoryRecordKv* Rec) const { return List() ? List()->IndexOf(Rec) : -1; }

  TMemoryRecordKv* NewRecord() { return List()->NewRecord(); }
  int AddRecord(TMemoryRecordKv* Rec) { return List()->AddRecord(Rec); }
  int InsertRecord(int Index, TMemoryRecordKv* Rec) {
    const int n = Count();
    return List()->InsertRecord(n == 0 ? 0 : (Index < 0 ? 0 : (Index > n ? n : Index)), Rec);
  }
  void DeleteRecord(int Index) { List()->DeleteRecord(Index); }
  void MergeChangeLog() { List()->MergeChangeLog(); }
  void CancelUpdates() { List()->CancelUpdates(); }

  // Row events, by view position.
  std::function<void(TMemoryRecordKv*, int, TRecordsListNotification)> OnViewDataEvent;

  void DoDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) override {
    TRecordsListNotificatorKv::DoDataEvent(MemRec, Index, Action);
    switch (Action) {
      case rlnRecAddedKv:
      case rlnRecChangedKv:
      case rlnRecDeletedKv:
      case rlnListChangedKv:
      case rlnRecMarkedForDelKv:
        if (OnViewDataEvent) OnViewDataEvent(MemRec, Index, Action);
        break;
      default: break;
    }
  }
};
