// TMemDataSet: the dataset layer of the virtual table. It drives one TMemData record set (VtData.h)
// through the framework's engine slots (platform/db/DataSet.h): record buffers, fetching, posting,
// deleting, bookmarks, field values in the framework's native forms and blob streams.
//
// Record buffer (one block of FRecBufSize bytes):
//
// | part               | offset       | size           | contents                                        |
// |--------------------|--------------|----------------|-------------------------------------------------|
// | record             | 0            | RecordSize     | the record in the record set's layout           |
// | calculated area    | RecordSize   | CalcFieldsSize | the framework's calculated-fields layout        |
// | record information | FRecInfoOfs  | 8              | Int32 record number (-1 new), UInt8 update      |
// |                    |              |                | status, UInt8 bookmark flag, UInt8 reference    |
// |                    |              |                | flag, UInt8 key-exclusive flag                  |
// | bookmark           | FBookmarkOfs | kBookmarkSize  | the record set's TRecBookmark                   |
//
// Filtering: a row is visible when it satisfies the record set's filter expression (cached per row)
// and OnFilterRecord, while Filtered.
#pragma once

#include <memory>

#include "engines/virttable/VtData.h"
#include "engines/virttable/VtDataSetService.h"
#include "platform/db/DB.h"

class TMemDataSet;
namespace vt {
class TVtTimer;
}

// The kind of a cached change handed to OnUpdateRecord, and what the handler answers.
enum TUpdateKind { ukModify = 0, ukInsert = 1, ukDelete = 2 };
enum TUpdateAction { uaFail = 0, uaAbort = 1, uaSkip = 2, uaRetry = 3, uaApplied = 4 };
// The kinds of rows shown while cached updates are on (bits of UpdateRecordTypes).
enum TUpdateRecordType : unsigned { rtModified = 0, rtInserted = 1, rtDeleted = 2, rtUnmodified = 3 };
using TUpdateRecordTypes = unsigned;
inline constexpr TUpdateRecordTypes kDefaultUpdateRecordTypes = (1u << rtModified) | (1u << rtInserted) | (1u << rtUnmodified);
// An OnUpdateRecord answer that lets the dataset's own apply run after the handler.
inline constexpr int kUpdateActionDefault = 10;
using TUpdateRecordEvent = std::function<void(TDataSet& DataSet, TUpdateKind Kind, TUpdateAction& Action)>;
using TUpdateErrorEvent =
    std::function<void(TDataSet& DataSet, EDatabaseError& E, TUpdateKind Kind, TUpdateAction& Action)>;

// Stream access to one blob field of the active record.
class TVtBlobStream : public TStream {
  VELLUM_CLASS(TVtBlobStream)
 public:
  TVtBlobStream(TField* Field, TBlobStreamMode Mode);
  ~TVtBlobStream() override;
  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  void SetSize(Int64 NewSize) override;
  void Truncate();
  // A blob write makes and drops one stream: a few of their blocks are kept for the next ones.
  static void* operator new(std::size_t Size);
  static void operator delete(void* Memory, std::size_t Size) noexcept;

 private:
  TField* FField;
  const vt::TFieldDesc* FFieldDesc = nullptr;
  TMemDataSet* FDataSet;
  TRecordBuffer FBuffer = nullptr;
  TBlobStreamMode FMode;
  bool FOpened = false;
  bool FModified = false;
  bool FUnicode = false;
  bool FNewRecord = false;
  Int64 FPosition = 0;
};

class TMemDataSet : public TDataSet {
  VELLUM_CLASS(TMemDataSet)
 public:
  explicit TMemDataSet(TComponent* AOwner);
  ~TMemDataSet() override;

  vt::TMemData* Data() const { return FData.get(); }
  // The descriptor of a field (by FieldNo, else by name); nullptr when none.
  vt::TFieldDesc* GetFieldDesc(const TField* Field) const;
  vt::TFieldDesc* GetFieldDesc(int FieldNo) const;
  // The buffer field reads and writes use in the present state, or nullptr.
  TRecordBuffer GetActiveRecBuf() const;

  // The sort order (see TMemData::SetIndexFieldNames); the current row stays current.
  const String& IndexFieldNames() const { return FIndexFieldNames; }
  void SetIndexFieldNames(const String& Value);
  // Filter is the record set's filter expression (VtFilter.h), in force while Filtered.
  void SetFilterText(const String& Value) override;
  void SetFilterOptions(TFilterOptions Value) override;
  void SetFiltered(bool Value) override;
  void SetOnFilterRecord(const TFilterRecordEvent& Value) override;

  // ---- cached updates (VtDataSetCache.cpp) ----
  // Switched only while inactive ("Cannot perform this operation on an open dataset").
  bool CachedUpdates() const { return FCachedUpdates; }
  void SetCachedUpdates(bool Value);
  bool LocalUpdate() const { return FLocalUpdate; }
  void SetLocalUpdate(bool Value);
  bool UpdatesPending() const;
  // Which rows show while cached updates are on, by their pending change (default: all but deleted
  // ones); read or written outside cached updates: "Not in cached update mode". Writing finishes a
  // pending edit or insert first. Switching cached updates resets it.
  TUpdateRecordTypes UpdateRecordTypes() const;
  void SetUpdateRecordTypes(TUpdateRecordTypes Value);
  // Each pending change goes to OnUpdateRecord (without one it counts as applied); "Update failed"
  // when the handler answers uaFail, a silent abort for uaAbort. Outside cached updates: "Not in
  // cached update mode".
  void ApplyUpdates() { ApplyUpdates(vt::ukUpdate | vt::ukInsert | vt::ukDelete); }
  void ApplyUpdates(vt::TUpdateRecKinds Kinds);
  void CommitUpdates();
  void CancelUpdates();
  void RevertRecord();
  void RestoreUpdates();
  TUpdateStatus UpdateStatus() const override;
  TUpdateRecordEvent OnUpdateRecord;
  TUpdateErrorEvent OnUpdateError;

  // ---- local master/detail (VtMasterDetail.cpp) ----
  // While MasterSource, MasterFields and DetailFields are all set, only rows whose DetailFields equal
  // the master's current MasterFields (";"-separated, paired in turn) are visible; a master without
  // rows shows none. With DetailDelay (milliseconds) the refresh waits until the master has been
  // still that long.
  TDataSource* MasterSource() const;
  void SetMasterSource(TDataSource* Value);
  const String& MasterFields() const { return FMasterFields; }
  void SetMasterFields(const String& Value);
  const String& DetailFields() const { return FDetailFields; }
  void SetDetailFields(const String& Value);
  unsigned DetailDelay() const { return FDetailDelay; }
  void SetDetailDelay(unsigned Value);
  bool IsLocalMasterDetail() const;
  // Shows the rows of the master's current row now.
  void RefreshDetail();
  void GetDetailLinkFields(std::vector<TField*>& MasterFields, std::vector<TField*>& DetailFields) override;

  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;
  bool GetFieldData(TField* Field, TValueBuffer Buffer) override;
  void WriteFieldData(TField* Field, TConstValueBuffer Buffer) override;
  bool GetFieldValue(TField* Field, Variant& Value) override;
  void WriteFieldValue(TField* Field, const Variant& Value) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override;
  bool IsSequenced() const override { return true; }
  // The next (GoForward) or previous visible row that passes Filter and OnFilterRecord, from the
  // start or the end when Restart; the filter is in force for the search even while not Filtered.
  bool FindRecord(bool Restart, bool GoForward) override;
  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override;
  Variant GetStateFieldValue(TDataSetState AState, TField* Field) override;
  void VerifyFieldMatchesDef(TField* Field, TFieldDef* FieldDef) override;
  TFieldClass ChooseFieldClass(TFieldType Type) const override;

  // ---- key ranges ----
  // The exclusive flag of the range key being edited; only in state dsSetKey, else "Dataset not in
  // edit or insert mode". Writing it marks the record modified. Field writes in dsSetKey go to that
  // key. Nothing in this engine starts a range: the range keys stay empty and no row is hidden by
  // one; a new sort order clears a range (both keys emptied, every field null).
  bool KeyExclusive() const;
  void SetKeyExclusive(bool Value);
  bool Ranged() const { return FRanged; }

  // The service (made on first need by CreateDataSetService).
  TDataSetService* DataSetService() const;
  // The service's field class for a platform type and an internal code.
  TFieldClass GetFieldClassByService(TFieldType FieldType, Word DataType) const;
  // Numeric fields get value limits from their descriptors when the dataset opens.
  bool NumberRange() const { return FNumberRange; }
  void SetNumberRange(bool Value) { FNumberRange = Value; }

 protected:
  // Hands the record set over (the table makes a record set that knows its owner).
  void BindRecordSet(std::unique_ptr<vt::TMemData> Value) { FData = std::move(Value); }
  std::unique_ptr<vt::TMemData> ReleaseRecordSet() { return std::move(FData); }

  // ---- framework slots ----
  void CursorOpen() override;
  void CursorClose() override;
  bool CursorIsOpen() const override { return FCursorOpen; }
  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override;
  void CursorFirst() override { FData->SetToBegin(); }
  void CursorLast() override { FData->SetToEnd(); }
  void CursorPost() override;
  void CursorAddRecord(TRecordBuffer Buffer, bool Append) override;
  void CursorDelete() override;
  void CursorInsert() override { FInInserting = true; }
  void CursorEdit() override;
  void CursorCancel() override;
  void CursorGotoBookmark(TConstValueBuffer Bookmark) override;
  void CursorSetToRecord(TRecordBuffer Buffer) override;
  void CursorInitRecord(TRecordBuffer Buffer) override;
  TRecordBuffer AllocateRecordBuffer() override;
  void ReleaseRecordBuffer(TRecordBuffer& Buffer) override;
  void ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) override;
  void WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) override;
  TBookmarkFlag ReadBookmarkFlag(TRecordBuffer Buffer) override;
  void WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override;
  void PrepareNewRecord(TRecordBuffer Buffer) override;
  void ResetCalculatedFields(TRecordBuffer Buffer) override;
  int GetRecordSize() const override { return FData ? FData->RecordSize() : 0; }
  int GetRecordCount() const override;
  int GetRecNo() const override;
  void SetRecNoValue(int Value) override;

  // Whether some rows may be hidden (filter, master, cached deletes), and whether a row is shown.
  bool RowsMayBeHidden() const { return FilterActive(); }
  bool RowShown(const vt::TItemHeader* Item) { return ItemVisible(Item); }

  // OnNewRecord (a failure cancels the new row's engine part), then, under a local master, the
  // detail fields take the master's values.
  void DoOnNewRecord() override;
  // Called when the record set must (re)build its descriptors from the definitions or fields.
  virtual void InitRecordSetFields() {}
  // The service a dataset of this class uses.
  virtual std::unique_ptr<TDataSetService> CreateDataSetService() { return std::make_unique<TDataSetService>(this); }
  bool FCursorOpen = false;

 private:
  friend class TVtBlobStream;
  void LayOutBuffers();
  // Whether some rows may be hidden: a filter, or deleted rows kept for cached updates.
  bool FilterActive() const {
    return (FilterOn() && (static_cast<bool>(OnFilterRecord()) || (FData && FData->HasFilterExpression()))) || FRanged ||
           (FData && FData->DeletedCount() > 0) || FMasterDetailOn ||
           (FCachedUpdates && FUpdateRecordTypes != kDefaultUpdateRecordTypes);
  }
  friend class TVtDetailDataLink;
  TDataSource* GetDataSource() const override;
  void MasterChanged();
  void MasterFieldsChanged(bool WasLocal);
  void BuildLocalMDLinks();
  bool MasterDetailAccepts(const vt::TItemHeader* Item);
  struct TLocalMDLink {
    bool IsNull = true;
    Variant Value;
    const vt::TFieldDesc* Detail = nullptr;
  };
  std::unique_ptr<TDataLink> FDataLink;
  std::vector<TLocalMDLink> FLocalMDLinks;
  String FMasterFields;
  String FDetailFields;
  unsigned FDetailDelay = 0;
  vt::TVtTimer* FDetailRefreshTimer = nullptr;  // owned as a component
  bool FMasterDetailOn = false;  // IsLocalMasterDetail, kept for the per-row test
  bool FMasterEmpty = false;
  void ApplyRecord(vt::TUpdateRecKind Kind, vt::TUpdateResult& Action);
  // Runs Body (an apply or commit of the record set) with two record buffers of this dataset handed
  // to the record set as its new- and old-record buffers.
  void WithCacheRecBufs(const std::function<void()>& Body);
  // While cached updates are applied: the row being applied (the handler's reads, its writes and
  // NewValue) and the row before the change (OldValue).
  TRecordBuffer FNewCacheRecBuf = nullptr;
  TRecordBuffer FOldCacheRecBuf = nullptr;
  void CheckCachedUpdateMode() const;
  bool FCachedUpdates = false;
  bool FLocalUpdate = false;
  TUpdateRecordTypes FUpdateRecordTypes = kDefaultUpdateRecordTypes;
  // Hands Filter, Filtered and FilterOptions to the record set.
  void ApplyFilterExpression();
  // After the filter changed: cached outcomes forgotten, the first visible row current.
  void FilterChanged();
  // Whether Item passes OnFilterRecord (read through the scan buffer).
  bool ItemVisible(const vt::TItemHeader* Item);
  // Empties both range keys (complex values released), drops the record set's range filter.
  void ClearRange();
  void ReleaseRangeBuffers();
  std::vector<Byte> FRangeStartBuffer, FRangeEndBuffer;
  TRecordBuffer FRangeCurrentBuffer = nullptr;  // the key edited in dsSetKey
  bool FRanged = false;
  // Filtered, or a FindRecord under way.
  bool FilterOn() const { return Filtered() || FFinding; }
  bool FFinding = false;
  // The calculated and lookup fields a filter expression names (VtDataSet.cpp).
  class TCalcFieldSource;
  std::unique_ptr<TCalcFieldSource> FCalcFieldSource;
  // Runs Body with the fields reading Item's record (state dsFilter).
  void RunWithItemInScan(const vt::TItemHeader* Item, const std::function<void()>& Body);
  // A field's value (calculated and lookup fields too) read from Item's record.
  Variant FieldValueOfItem(TField* Field, const vt::TItemHeader* Item);
  // The first visible item whose fields match the keys (VtSearch.cpp); nullptr for none.
  vt::TItemHeader* FindItem(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options);
  // Runs Body with the scan buffer holding Item's record, as dsFilter.
  template <class F>
  auto WithItemInScan(const vt::TItemHeader* Item, F&& Body) -> decltype(Body());
  std::vector<Byte> FScanBuffer;
  TRecordBuffer FScanRecBuf = nullptr;
  static std::int32_t LoadInt(const Byte* p);

  std::unique_ptr<vt::TMemData> FData;
  std::vector<vt::TFieldDesc*> FDescByFieldNo;  // borrowed from the record set, by FieldNo - 1
  int FRecInfoOfs = 0;
  int FBookmarkOfs = 0;
  int FRecBufSize = 0;
  bool FInInserting = false;
  bool FInEditing = false;
  bool FNumberRange = false;
  String FIndexFieldNames;
  mutable std::unique_ptr<TDataSetService> FDataSetService;
};
