// engines/kv: the Kv memory table. TMemTableDataKv is the data of one table as one component: its
// structure (DataStructKv.h), its records (RecordsListKv.h), its auto-increment counter and the
// listeners (records views, RecordsViewKv.h) that hear of every change, in registration order. The
// dataset TMemTableKv (MemTableKv.h) reads its rows through one records view. The module calls
// platform/db, platform/classes, platform/rtl and platform/sys; the benchmark application creates the
// table, fills it through the framework and times its save, load and empty operations.
//
// ==== Save format ======================================================================================
// The data component written with component streaming (ComponentStreaming.h), binary form; no prefix
// byte anywhere:
//
// | part                    | content                                                                     |
// |-------------------------|-----------------------------------------------------------------------------|
// | signature               | "TPF0"                                                                      |
// | root                    | class "TMemTableDataKv", name "MemTableData"                                |
// | root properties         | "AutoIncCurValue" (integer) only when the counter left its initial value;   |
// |                         | vaNull                                                                      |
// | child "DataStruct"      | when StoreStructInStream: class "TMTDataStructKv", no properties (vaNull),  |
// |                         | one child per descriptor in field order (its class, its component name, its |
// |                         | published attributes by the rules of its PropList, vaNull, vaNull), vaNull  |
// | child "RecordsList"     | when StoreRecordsInStream: class "TRecordsListKv", property "Data" when a   |
// |                         | record exists, vaNull, vaNull (no children)                                 |
// | end of root's children  | vaNull                                                                      |
//
// "Data": vaList, per record (vaList, one value per field in structure order, vaNull), vaNull.
// A value, by the field's type:
//
// | field types                                  | value held      | written as                          |
// |----------------------------------------------|-----------------|-------------------------------------|
// | ftBytes, ftVarBytes, ftBlob, ftGraphic,      | Null            | vaBinary, Int32 0                   |
// | ftParadoxOle, ftDBaseOle, ftTypedBinary,     | bytes / 8-bit   | vaBinary, Int32 n, n bytes          |
// | ftOraBlob                                    | text            |                                     |
// | every other type                             | Null            | vaNil                               |
// |                                              | SQL time stamp  | text "yyyy-mm-ddThh:nn:ss[.zzz]"    |
// |                                              | (with offset)   | + "±hh:nn" when the offset is not 0 |
// |                                              | object ref      | vaNil (references never persist)    |
// |                                              | anything else   | WriteVariant (integers smallest tag,|
// |                                              |                 | vaExtended, vaDate, texts by        |
// |                                              |                 | WriteString, ...)                   |
//
// Loads read into a fresh table data and replace the table's only when the whole stream was good.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engines/kv/DataStructKv.h"
#include "engines/kv/RecordsListKv.h"
#include "platform/classes/Classes.h"
#include "platform/rtl/Init.h"

class TMemTableDataKv;

// A listener bound to one table data (or one view).
class TRecordsListNotificatorKv : public TComponent {
  VELLUM_CLASS(TRecordsListNotificatorKv)
 public:
  explicit TRecordsListNotificatorKv(TComponent* AOwner);
  ~TRecordsListNotificatorKv() override;

  TComponent* DataObject() const { return FDataObject; }
  void SetDataObject(TComponent* Value);

  std::function<void(TMemoryRecordKv*, int, TRecordsListNotification)> OnDataEvent;
  std::function<void(TMemoryRecordKv*, int, int)> OnRecordMoved;
  std::function<void()> OnStructChanged;
  std::function<void(TMemTableDataKv*)> OnApplyUpdates;

  virtual void DoDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action);
  virtual void DoRecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex);
  virtual void DoStructChanged();

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  TComponent* FDataObject = nullptr;
  // FDataObject when it is a table data (row paths ask for it on every record), else nullptr.
  TMemTableDataKv* FMemTableData = nullptr;
};

class TAutoIncrementKv : public TPersistent {
  VELLUM_CLASS(TAutoIncrementKv)
 public:
  TAutoIncrementKv() { Reset(); }
  int Step() const { return FStep; }
  void SetStep(int Value) { FStep = Value; }
  int InitValue() const { return FInitValue; }
  void SetInitValue(int Value);
  int CurValue() const { return FCurValue; }
  void SetCurValue(int Value) { FCurValue = Value; }
  int Promote();
  void Reset() { FCurValue = FInitValue; }
  void Assign(const TPersistent* Source) override;

 private:
  int FStep = -1;
  int FInitValue = -1;
  int FCurValue = -1;
};

class TMemTableDataKv : public TComponent {
  VELLUM_CLASS(TMemTableDataKv)
 public:
  explicit TMemTableDataKv(TComponent* AOwner);
  ~TMemTableDataKv() override;

  TMTDataStructKv* DataStruct() const { return FDataStruct; }
  TRecordsListKv* RecordsList() const { return FRecordsList; }
  TAutoIncrementKv& AutoIncrement() { return FAutoIncrement; }
  bool IsEmpty() const { return FDataStruct->Count() == 0; }
  bool StoreStructInStream() const { return FStoreStructInStream; }
  void SetStoreStructInStream(bool Value) { FStoreStructInStream = Value; }
  bool StoreRecordsInStream() const { return FStoreRecordsInStream; }
  void SetStoreRecordsInStream(bool Value) { FStoreRecordsInStream = Value; }
  const std::vector<int>& IncFieldIndexes() const { return FIncFieldIndexes; }

  void AddNotificator(TRecordsListNotificatorKv* Item);
  void RemoveNotificator(TRecordsListNotificatorKv* Item);
  int NotificatorCount() const { return static_cast<int>(FNotificators.size()); }
  bool HasApplyUpdatesListener() const;

  // Calculated fields: OnFieldCalculation gets one Empty value per field and fills those it computes;
  // every field marked Calculated then takes its value (Null when left Empty). The records list runs it
  // for a new record before anyone hears of it, and for a posted record before the changing
  // notification, so indexes and listeners see the computed values. Assigning another handler
  // recalculates every record at once.
  using TFieldCalculationKv = std::function<void(TMemoryRecordKv* MemRec, std::vector<Variant>& FieldValues)>;
  const TFieldCalculationKv& OnFieldCalculation() const { return FOnFieldCalculation; }
  void SetOnFieldCalculation(TFieldCalculationKv Value);
  void CalculateFields(TMemoryRecordKv* MemRec);

  // Restructure: BeginRestruct hands out a scratch copy of the structure for the caller to change
  // ("MemTableData already in RestructMode." while one is open); CancelRestruct drops it. CommitRestruct
  // makes the changed structure the table's and carries every record over (same serial, same position,
  // so bookmarks hold): a field keeps its values when a field of the same name remains (converted to
  // the new type; a value that does not convert becomes Null), new fields start Null. Pending cached
  // updates refuse it ("Cannot restructure while cached updates are pending."); the mode stays open.
  TMTDataStructKv* BeginRestruct();
  void CancelRestruct();
  void CommitRestruct();
  bool RestructMode() const { return FRestructMode; }

  void DataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action);
  void RecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex);
  void StructChanged();
  void AssignAutoIncValues(TMemoryRecordKv* MemRec);
  void DestroyTable();
  void ResetRecords();

  // Moves the structure, records and counter of Other into this data and Other's into Other: a load
  // that read a whole stream into scratch data makes it this table's in one step. Listeners stay.
  void SwapContents(TMemTableDataKv& Other);

  // The save stream, binary form, written / read in full (the read goes into this data, which the
  // caller hands in fresh; see the file head).
  void WriteToStream(TStream* Stream);
  void ReadFromStream(TStream* Stream);

  void DefineProperties(TFiler* Filer) override;
  void GetChildren(const TGetChildProc& Proc, TComponent* Root) override;
  TComponent* GetChildOwner() override { return this; }
  void ReadState(TReader* Reader) override;

 private:
  TMTDataStructKv* FDataStruct;   // owned as component "DataStruct"
  TRecordsListKv* FRecordsList;   // owned as component "RecordsList"
  TAutoIncrementKv FAutoIncrement;
  std::vector<int> FIncFieldIndexes;
  std::vector<TRecordsListNotificatorKv*> FNotificators;
  bool FStoreStructInStream = false;
  bool FStoreRecordsInStream = false;
  TFieldCalculationKv FOnFieldCalculation;
  std::unique_ptr<TMTDataStructKv> FNewDataStruct;
  bool FRestructMode = false;
};

// Registers the stream classes with the class registry (and unregisters them at shutdown).
void RegisterMemTableDataKvUnit(TUnitList& Units);
void InitializeMemTableDataKv();
void FinalizeMemTableDataKv();
