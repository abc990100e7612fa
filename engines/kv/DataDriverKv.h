// TDataDriverKv: the link of a Kv table to a provider dataset (any TDataSet). It builds the table's
// structure from the reader's fields, reads records into the records list on demand, refreshes one
// record from the provider, and applies the table's change log to the provider record by record under
// a caller-chosen error policy. Every step with a callback calls the callback when assigned and the
// virtual Default... operation otherwise.
//
// Applying (ApplyUpdates), per pending record in change-log order:
//   UpdateRecord succeeds  -> counted and merged (the current values become the committed ones)
//   an EDatabaseError      -> OnUpdateError (default ueaBreakRaiseKv) chooses:
//     ueaBreakRaiseKv      raise it again; this and later changes stay pending
//     ueaBreakAbortKv      keep the error on the record, stop; this and later changes stay pending
//     ueaCountinueKv       merge the change as if applied (the error is dropped), go on
//     ueaRetryKv           keep the error, try the same record again (at most 100 tries, then as
//                          ueaBreakRaiseKv)
//     ueaCountinueSkip     keep the error and the pending change, go on
// A record the update step did not write (its key is not in the provider, no provider, ResolveToDataSet
// off) is an EDatabaseError "Record not found or changed" through the same policy; a record whose
// update fields did not change counts as applied. Other exceptions propagate at once.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engines/kv/MemTableDataKv.h"
#include "platform/db/DB.h"

enum TUpdateErrorActionKv { ueaBreakAbortKv, ueaBreakRaiseKv, ueaCountinueKv, ueaRetryKv, ueaCountinueSkip };

namespace kvmsg {
inline constexpr char16_t SKeyFieldsRequired[] = u"It is required to set DataDriver.KeyFields to refresh record values";
inline constexpr char16_t SKeyNotFound[] = u"Key is not found in ProviderDataSet";
inline constexpr char16_t SRecordNotApplied[] = u"Record not found or changed";
}  // namespace kvmsg

// A provider dataset with parameters offers them this way; master/detail on the provider's side sets
// them from the master's fields of the same names.
class IProviderParamsKv {
 public:
  virtual ~IProviderParamsKv() = default;
  virtual TParams* ProviderParams() = 0;
};

// The failure of a record's last update (it owns a copy of the exception).
class TUpdateErrorKv {
 public:
  explicit TUpdateErrorKv(std::shared_ptr<EDatabaseError> AException) : FException(std::move(AException)) {}
  const EDatabaseError* ExceptionObject() const { return FException.get(); }

 private:
  std::shared_ptr<EDatabaseError> FException;
};

// A dataset bound to a driver: it hears when the structure the driver gives changed.
class IDataDriverConsumerKv {
 public:
  virtual ~IDataDriverConsumerKv() = default;
  virtual void DriverStructChanged() = 0;
};

// A component kept as a side part of another (a grid's own driver, say): the holder is its side parent.
class ISideOwnedComponentKv {
 public:
  virtual ~ISideOwnedComponentKv() = default;
  virtual bool IsSideParentedBy(const TComponent* Component) const = 0;
  virtual void SetSideParent(TComponent* Component) = 0;
};

class TDataDriverKv : public TComponent, public ISideOwnedComponentKv {
  VELLUM_CLASS(TDataDriverKv)
 public:
  explicit TDataDriverKv(TComponent* AOwner);
  ~TDataDriverKv() override;

  using TAssignFieldValueEvent = std::function<void(TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, int, TDataValueVersionKv, TDataSet*)>;
  using TBuildDataStructEvent = std::function<void(TDataDriverKv*, TMTDataStructKv*)>;
  using TProduceDataReaderEvent = std::function<void(TDataDriverKv*, TDataSet*& DataReader, bool& FreeOnEof)>;
  using TReadRecordEvent = std::function<void(TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, bool& ProviderEOF)>;
  using TRecordEvent = std::function<void(TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*)>;
  using TUpdateErrorEvent = std::function<void(TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, TUpdateErrorActionKv&)>;
  TAssignFieldValueEvent OnAssignFieldValue;
  TBuildDataStructEvent OnBuildDataStruct;
  TProduceDataReaderEvent OnProduceDataReader;
  TReadRecordEvent OnReadRecord;
  TRecordEvent OnRefreshRecord;
  TRecordEvent OnUpdateRecord;
  TUpdateErrorEvent OnUpdateError;

  TDataSet* ProviderDataSet() const { return FProviderDataSet; }
  void SetProviderDataSet(TDataSet* Value);
  const String& KeyFields() const { return FKeyFields; }
  void SetKeyFields(const String& Value) { FKeyFields = Value; }
  bool ResolveToDataSet() const { return FResolveToDataSet; }
  void SetResolveToDataSet(bool Value) { FResolveToDataSet = Value; }
  bool ProviderEOF() const { return FProviderEOF; }
  void SetProviderEOF(bool Value);
  TComponent* DataDriverConsumer() const { return FDataDriverConsumer; }
  void SetDataDriverConsumer(TComponent* Value) { FDataDriverConsumer = Value; }

  // The side-parent mechanism (off by default): the holder is streamed as "SideParentName" and found
  // again among the owner's components once loading completes.
  bool SideParentable() const { return FSideParentable; }
  void SetSideParentable(bool Value) { FSideParentable = Value; }
  TComponent* SideParent() const { return FSideParent; }
  bool IsSideParentedBy(const TComponent* Component) const override { return FSideParentable && Component == FSideParent; }
  void SetSideParent(TComponent* Component) override;
  void DefineProperties(TFiler* Filer) override;
  void Loaded() override;

  // A driver whose connection opens later keeps the tables that asked to open meanwhile (none here).
  virtual bool ConnectionIsPostponed() const { return false; }
  virtual void AddPostponedActivationDataSet(TDataSet* ADataSet) { (void)ADataSet; }
  virtual TDataSet* GetDataReader();
  virtual void BuildDataStruct(TMTDataStructKv* DataStruct);
  virtual int ReadData(TMemTableDataKv* MemTableData, int Count);
  virtual void AssignFieldValue(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, int DataFieldIndex,
                                TDataValueVersionKv Version, TDataSet* ReaderDataSet);
  virtual int ApplyUpdates(TMemTableDataKv* MemTableData);
  virtual void UpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec);
  virtual void RefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec);
  virtual void ConsumerClosed(TDataSet* ConsumerDataSet);
  virtual void RefreshReader();
  // Every provider parameter not marked bound takes the value and type of DataSet's field of the same
  // name (and stays unbound); nothing without parameters.
  virtual void SetReaderParamsFromCursor(TDataSet* DataSet);
  // Whether some provider parameter differs from DataSet's field of the same name.
  virtual bool RefreshReaderParamsFromCursor(TDataSet* DataSet);
  // The last update error of a record (by its serial), or nullptr.
  const TUpdateErrorKv* UpdateError(const TMemoryRecordKv* MemRec) const;

 protected:
  virtual void StructBuilt(TMTDataStructKv* DataStruct) { (void)DataStruct; }
  virtual bool DefaultUpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec);
  virtual void DefaultAssignFieldValue(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, int DataFieldIndex,
                                       TDataValueVersionKv Version, TDataSet* ReaderDataSet);
  virtual void DefaultBuildDataStruct(TMTDataStructKv* DataStruct);
  virtual void DefaultProduceDataReader(TDataSet*& DataReader, bool& FreeOnEof);
  virtual void DefaultReadRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, bool& ProviderEOF);
  virtual void DefaultUpdateError(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, TUpdateErrorActionKv& Action);
  virtual void DefaultRefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec);
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // The key field names: KeyFields, or every provider field of a key type.
  String EffectiveKeyFields() const;
  // The reader produced for the current read, while it lasts.
  TDataSet* ReaderDataSet() const { return FReaderDataSet; }
  // Tells the consumer (when it listens) that the structure the driver gives changed.
  void NotifyConsumerStructChanged();

 private:
  // Whether the update step wrote the record (false: not found, nothing to write to).
  bool FLastUpdateApplied = true;
  bool FSideParentable = false;
  TComponent* FSideParent = nullptr;
  String FSideParentName;  // while loading
  String FKeyFields;
  TDataSet* FProviderDataSet = nullptr;
  bool FProviderEOF = true;
  TDataSet* FReaderDataSet = nullptr;
  bool FReaderDataSetFreeOnEof = false;
  bool FResolveToDataSet = true;
  TComponent* FDataDriverConsumer = nullptr;
  std::vector<int> FDataToRecFields;
  std::unordered_map<int, TUpdateErrorKv> FUpdateErrors;  // by record serial
};

// The field types that may form a provider key when KeyFields is empty.
bool IsDefaultKeyFieldTypeKv(TFieldType Type);
