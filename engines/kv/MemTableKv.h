// TCustomMemTableKv / TMemTableKv: the dataset of the Kv memory table. Its data is one TMemTableDataKv
// named "MemTableData" (MemTableDataKv.h), read through one TRecordsViewKv. Every record buffer the
// framework asks for is a TMTRecBuf from a pool: a buffer reads straight through to its memory record
// until the first write of a data field copies the row's values into it (copy on first write); Post
// copies them into the record.
//
// Bookmarks are 8 bytes: the record's serial number (never reused) and the row it stood at when the
// bookmark was taken; a freed record's bookmark resolves to nothing.
//
// Saves write the data component in the save format (binary, or the platform's object text); loads read
// a whole stream into scratch data and make it the table's only when it was good, so an unknown, empty
// or damaged file or stream leaves the table, its rows and its Active state as they were. SaveToFile
// writes a temporary file beside the target and renames it over the target only when complete.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/kv/DataDriverKv.h"
#include "engines/kv/ExprEvalKv.h"
#include "engines/kv/KvValues.h"
#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/MemTableExtrasKv.h"
#include "engines/kv/MemTableIntfKv.h"
#include "engines/kv/RecordsViewKv.h"
#include "platform/classes/Streams.h"
#include "platform/db/DB.h"

enum TDfmStreamFormatKv { dfmBinaryKv, dfmTextKv };
enum TMasterDetailSideKv { mdsOnSelfKv, mdsOnProviderKv, mdsOnSelfAfterProviderKv };
enum TMemTableOptionKv { mtoPersistentStructKv, mtoTextFieldsCaseInsensitive };
using TMemTableOptionsKv = unsigned;
constexpr TMemTableOptionsKv MemTableOptionBit(TMemTableOptionKv O) { return 1u << static_cast<unsigned>(O); }

class TCustomMemTableKv;

// The sort items of the table: fields by name, with their TField index, data index and type.
class TMTOrderByList : public TOrderByList {
 public:
  explicit TMTOrderByList(TCustomMemTableKv* Table) : FTable(Table) {}

 protected:
  int FieldPosition(const String& Name) const override;

 private:
  TCustomMemTableKv* FTable;
};

// Master key values fetched so far, kept in ascending order (the Kv value comparison).
class TSortedVarlistKv {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const Variant& Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  // Inserts before an equal value; returns the position.
  int Add(const Variant& Value);
  // Binary search; raises "TSortedVarlistKv.FindKeyValueIndex: values is not comparable.".
  bool FindKeyValueIndex(const Variant& Value, int& Index) const;
  bool Contains(const Variant& Value) const {
    int i;
    return FindKeyValueIndex(Value, i);
  }
  void Clear() { FItems.clear(); }

 private:
  std::vector<Variant> FItems;
};

struct TBookmarkDataKv {
  std::int32_t Serial;
  std::int32_t RecViewIndex;
};
static_assert(sizeof(TBookmarkDataKv) == 8);

// One record buffer of the framework (a pool entry).
struct TMTRecBuf {
  bool InUse = false;
  TBookmarkDataKv BookmarkData{0, -1};
  TBookmarkFlag BookmarkFlag = bfCurrent;
  int RecordStatus = -2;
  int RecordNumber = -2;
  TMemoryRecordKv* MemRec = nullptr;
  std::vector<Variant> Values;  // one per TField of the dataset
  bool UseMemRec = false;
  bool NeedUpdateCalcFields = false;
  // Tree mode: the row's node, and the state a new row's node takes when it is posted.
  TMemRecViewKv* RecView = nullptr;
  bool NewTreeNodeExpanded = false;
  bool NewTreeNodeHasChildren = false;

  void SetLength(size_t Len) {
    if (Values.size() != Len) Values.resize(Len);
    Clear();
  }
  void Clear() {
    for (Variant& v : Values) v = Null();
  }
};

class TCustomMemTableKv;

// The tree settings of a table: while Active the table's rows are the visible, expanded nodes of a tree
// in which a record is the child of the record whose KeyFieldName values equal its RefParentFieldName
// values. A value set while the table is being read from a stream applies when loading completes.
class TMemTableTreeListKv : public TPersistent {
  VELLUM_CLASS(TMemTableTreeListKv)
 public:
  explicit TMemTableTreeListKv(TCustomMemTableKv* AMemTable);

  bool Active() const;
  void SetActive(bool Value);
  const String& KeyFieldName() const;
  void SetKeyFieldName(const String& Value);
  const String& RefParentFieldName() const;
  void SetRefParentFieldName(const String& Value);
  bool DefaultNodeExpanded() const;
  void SetDefaultNodeExpanded(bool Value);
  bool DefaultNodeHasChildren() const;
  void SetDefaultNodeHasChildren(bool Value);
  bool FullBuildCheck() const;
  void SetFullBuildCheck(bool Value);
  bool FilterNodeIfParentVisible() const;
  void SetFilterNodeIfParentVisible(bool Value);
  bool LoadingActive() const { return FLoadingActive; }

  // Searches every node the filters show, collapsed branches included, in depth-first order; the found
  // node's branch is expanded and the cursor moves to it. A single key field with options compares as
  // text (partial, case-insensitive).
  virtual bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options);
  virtual void FullCollapse();
  virtual void FullExpand();

 private:
  void RebuildWholeTree(bool Expand);
  TCustomMemTableKv* FMemTable;
  bool FLoadingActive = false;
};

using TMTTreeNodeExpandingEventKv = std::function<void(TCustomMemTableKv* Sender, int RecNo, bool& AllowExpansion)>;
using TRecordsViewTreeNodeExpandingEventKv =
    std::function<void(TCustomMemTableKv* Sender, TMemRecViewKv* Node, bool& AllowExpansion)>;
using TRecordsViewTreeNodeExpandedEventKv = std::function<void(TCustomMemTableKv* Sender, TMemRecViewKv* Node)>;
using TRecordsViewCheckMoveNodeEventKv = std::function<bool(TCustomMemTableKv* Sender, TMemRecViewKv* SourceNode,
                                                            TBaseTreeNodeKv* AppointedParent, int AppointedIndex)>;

class TMemBlobStreamKv : public TMemoryStream {
  VELLUM_CLASS(TMemBlobStreamKv)
 public:
  TMemBlobStreamKv(TField* Field, TBlobStreamMode Mode);
  ~TMemBlobStreamKv() override;
  Int64 Write(const void* Buffer, Int64 Count) override;

 private:
  TField* FField;
  TCustomMemTableKv* FDataSet;
  TMTRecBuf* FBuffer = nullptr;
  bool FModified = false;
};

class TCustomMemTableKv : public TDataSet, public IMemTableKv, public IDataDriverConsumerKv {
  VELLUM_CLASS(TCustomMemTableKv)
 public:
  explicit TCustomMemTableKv(TComponent* AOwner);
  ~TCustomMemTableKv() override;

  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;

  // The data the table shows and its view.
  TRecordsViewKv* RecordsView() const { return FRecordsView; }
  // The data shown (the table's own component "MemTableData", or ExternalMemData's).
  TMemTableDataKv* MemTableData() const { return FInternMemTableData; }
  TAutoIncrementKv& AutoIncrement() { return FInternMemTableData->AutoIncrement(); }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value);
  // The memory record of the active buffer (nullptr for a new row).
  TMemoryRecordKv* Rec() const;

  // Builds the structure from FieldDefs (or from the fields when there are no definitions) and opens.
  void CreateDataSet();
  // Removes every record of an open table; the structure stays (a closed table is left alone).
  void EmptyTable();
  // Close, then structure, records and counter dropped.
  void DestroyTable();
  // One key index per item of IndexDefs (unique / primary by its options), replacing the indexes of
  // earlier definitions; then every key index is active. Runs on every open.
  void BuildIndexesFromIndexDefs();
  // The definitions are what the user gave (stored with StoreDefs); nothing is derived from the key
  // indexes, so a refresh on an open table at run time only empties them and marks them current.
  void RefreshIndexDefs() override;

  // Storage inside a form: the data component is the table's child "MemTableData" (structure and
  // records) unless a data driver feeds the table or there is no structure; reading a stored table
  // reads that child into the table's own data component (its previous structure and records go).
  void GetChildren(const TGetChildProc& Proc, TComponent* Root) override;
  void ReadState(TReader* Reader) override;

  void SaveToFile(const String& FileName, TDfmStreamFormatKv Format = dfmBinaryKv);
  void LoadFromFile(const String& FileName);
  // The binary save stream at the stream's position / read from it (atomic; see the file head).
  void SaveToStream(TStream* Stream);
  void LoadFromStream(TStream* Stream);
  // The text form of the data component (what converting SaveToStream's bytes gives).
  void SaveTextForm(TStream* Stream);
  // The table data read from text in SaveTextForm's form (nil for other text; see the body).
  std::unique_ptr<TMemTableDataKv> LoadTextForm(TStream* Stream);

  // ---- order, status filter and cached updates ----
  // Field names with ASC / DESC, separated by ";" or ","; the view keeps its rows in that order (equal
  // keys in records-list order). An unknown name raises " Field - "name" not found.", another token
  // " Invalid token - "tok""; the order stays as it was then. The cursor goes to the first row.
  const String& SortOrder() const { return FSortOrder; }
  void SetSortOrder(const String& Value);
  // Rows whose record's update status is in the set are shown ([usUnmodified, usModified, usInserted]).
  TUpdateStatusSetKv StatusFilter() const { return FRecordsView->StatusFilter(); }
  void SetStatusFilter(TUpdateStatusSetKv Value);
  // Changes are kept in a change log (with the values before them) until ApplyUpdates merges it or
  // CancelUpdates undoes it.
  bool CachedUpdates() const { return FInternMemTableData->RecordsList()->CachedUpdates(); }
  void SetCachedUpdates(bool Value) { FInternMemTableData->RecordsList()->SetCachedUpdates(Value); }
  // Without a data driver the change log is merged: deleted records go, the rest become unmodified.
  int ApplyUpdates(int MaxErrors = -1);
  void CancelUpdates();

  // The current buffer's stored value of a field (Null when none).
  bool GetFieldValue(TField* Field, Variant& Value) override;
  // Range check and rounding of BCD values before they are stored.
  void CheckFieldDataVarValue(TField* Field, Variant& VarValue);

  bool GetFieldData(TField* Field, TValueBuffer Buffer) override;
  void WriteFieldData(TField* Field, TConstValueBuffer Buffer) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override;
  bool GetCurrentRecord(TRecordBuffer) override { return false; }

  // ---- search, filters, master/detail and sorting (MemTableKvSearch.cpp) ----
  // The first view row at or after StartRecIndex whose KeyFields equal KeyValues and that the filters
  // show; -1 when none. Options (partial, case-insensitive) compare through the fields.
  int FindRec(const String& KeyFields, const Variant& KeyValues, bool TryUseIndex, int StartRecIndex,
              TLocateOptions Options);
  // Equality of stored values: arrays element by element, Null equal to Null, any error "not equal".
  static bool VarValuesEqual(const Variant& A, const Variant& B);
  // Filter text, OnFilterRecord and master/detail for one record. The first failure of a pass is
  // reported once (the application's exception route); from then on no record passes until the filter
  // changes or the view is refreshed.
  bool RecordPassesFilters(TMemoryRecordKv* MemRec);
  void RefreshRecordsView();
  void SetFilterText(const String& Value) override;
  void SetFiltered(bool Value) override;
  void SetFilterOptions(TFilterOptions Value) override;
  void SetOnFilterRecord(const TFilterRecordEvent& Value) override;
  TDataSetExprParserKv* FilterExpr() const { return FFilterExpr.get(); }
  // The cursor is open (also while Open and Close run, unlike Active()).
  bool CursorActive() const { return FActive; }

  // Extra filters over the table's own (MemTableExtrasKv.cpp): each added one is active at once.
  TMemTableFiltersKv& ExtraFilters() { return *FExtraFilters; }
  TMemTableFilterItemKv* AddExtraFilter(const String& Filter, const TFilterRecordEvent& OnFilterRecord) override;
  bool UpdateExtraFilter(TMemTableFilterItemKv* Item, const String& Filter, const TFilterRecordEvent& OnFilterRecord) override;
  bool RemoveExtraFilter(TMemTableFilterItemKv* Item) override;
  // The distinct values of a field; nullptr for an unknown field.
  std::shared_ptr<TMemTableDataFieldValueListKv> GetFieldValueList(const String& FieldName);
  // The same through the interface; a lookup field lists its lookup dataset's result field.
  std::shared_ptr<IMemTableDataFieldValueListKv> GetFieldValueListIntf(const String& FieldName) override;
  // Sum, count, average, minimum, maximum of a data field over the rows from FromBM to ToBM (empty
  // bookmarks: the first / last row), as RecNo counts them; AggrFuncs of afSumKv ... afMaxKv.
  void GetAggregatedValuesForRange(const TBookmark& FromBM, const TBookmark& ToBM, const String& FieldName,
                                   std::array<Variant, 5>& ResultArr, int AggrFuncs) override;

  TDataSource* MasterSource() const;
  void SetMasterSource(TDataSource* Value);
  const String& MasterFields() const;
  void SetMasterFields(const String& Value);
  const String& DetailFields() const { return FDetailFields; }
  void SetDetailFields(const String& Value);
  TMasterDetailSideKv MasterDetailSide() const { return FMasterDetailSide; }
  void SetMasterDetailSide(TMasterDetailSideKv Value);
  bool DetailMode() const { return FDetailMode; }

  // Sorts the stored records (the records list's order changes) by a sort text / parsed list.
  void SortByOrderString(const String& Text);
  void SortByOrderList(const TMTOrderByList& List);
  // Parses a sort text against the table's fields (the order-by messages on a bad text).
  std::unique_ptr<TMTOrderByList> ParseSortOrder(const String& Text);
  int CompareMemRecords(TMemoryRecordKv* Rec1, TMemoryRecordKv* Rec2, const TMTOrderByList* List);
  static int CompareOrderValues(const Variant& V1, const Variant& V2, bool CaseIns);

  // ---- object fields and aggregate fields (MemTableExtrasKv.cpp) ----
  // The object a TRefObjectField holds in the current buffer (False and nullptr when Null) / stores one
  // (nullptr stores Null); writing needs an editing state.
  bool GetFieldDataAsObject(TField* Field, TObject*& Value);
  void SetFieldDataAsObject(TField* Field, TObject* Value);
  TFieldClass ChooseFieldClass(TFieldType Type) const override;
  // The Active flag of the view's aggregates (the aggregate fields' values).
  bool AggregatesActive() const;
  void SetAggregatesActive(bool Value);
  Variant ReadAggregateValue(TField* Field) override;
  void ResetAggregateField(TField* Field) override;

  // ---- attached data, options and provider-side details (MemTableKvLinks.cpp) ----
  // Another table whose data this one shows (nullptr: its own). The table closes and reopens around
  // the change; "Circular datalinks are not allowed" for itself, and a table with a data driver
  // refuses ("Assigning to ExternalMemData is not allowed if DataDriver is assigned").
  TCustomMemTableKv* ExternalMemData() const { return FExternalMemData; }
  void SetExternalMemData(TCustomMemTableKv* Value);
  // mtoTextFieldsCaseInsensitive makes filters and sorting of text fields case-insensitive.
  TMemTableOptionsKv Options() const { return FOptions; }
  void SetOptions(TMemTableOptionsKv Value);

  // ---- data driver (MemTableKvDriver.cpp) ----
  // The provider link: on open an empty structure is built from the driver and the rows are read
  // (all of them with FetchAllOnOpen, else on demand by FetchRecords, Locate and Last).
  TDataDriverKv* DataDriver() const { return FDataDriver; }
  void SetDataDriver(TDataDriverKv* Value);
  bool FetchAllOnOpen() const { return FFetchAllOnOpen; }
  void SetFetchAllOnOpen(bool Value) { FFetchAllOnOpen = Value; }
  // Reads up to Count more rows (-1: all); returns how many came.
  int ReadFromDriver(int Count);
  int FetchRecords(int Count) override;
  // The last update error of the current record, or nullptr.
  const TUpdateErrorKv* UpdateError() const;
  void DriverStructChanged() override { DispatchDataEvent(dePropertyChange, 0); }

  // ---- moving records (MemTableKvMove.cpp) ----
  // Moves the record of view row FromIndex to where the record of view row ToIndex stands (ToIndex equal
  // to the row count: the end). Rows count from 0; 0 <= FromIndex < count and 0 <= ToIndex <= count,
  // else False and nothing moves. CheckOnly answers without moving. TreeLevel serves tree mode.
  bool MoveRecord(int FromIndex, int ToIndex, int TreeLevel = -1, bool CheckOnly = false);
  // Moves the bookmarked records (in list order) before row ToRecNo (1-based); the bookmarks are
  // renewed and sorted.
  bool MoveRecords(std::vector<TBookmark>& BookmarkList, int ToRecNo, int TreeLevel = -1, bool CheckOnly = false) override;

  // ---- tree mode and instant read (MemTableKvTree.cpp) ----
  TMemTableTreeListKv& TreeList() { return *FTreeList; }
  // Properties of the current row's node (nullptr / -1 / False outside tree mode).
  TMemRecViewKv* TreeNode() const;
  TMemRecViewKv* RecView() const { return TreeNode(); }
  int TreeNodeLevel() const;
  bool TreeNodeExpanded() const { return CurTreeNodeExpanded(); }
  // Asks OnTreeNodeExpanding before expanding; refetches in any case. A new row keeps the value for its
  // node-to-be.
  void SetTreeNodeExpanded(bool Value);
  bool TreeNodeHasChildren() const;
  bool TreeNodeHasVisibleChildren() const { return CurTreeNodeHasVisibleChildren(); }
  void SetTreeNodeHasVisibleChildren(bool Value);
  int TreeNodeChildCount() const;
  bool CurTreeNodeExpanded() const;
  bool CurTreeNodeHasVisibleChildren() const;
  TMTTreeNodeExpandingEventKv OnTreeNodeExpanding;
  TRecordsViewTreeNodeExpandingEventKv OnRecordsViewTreeNodeExpanding;
  TRecordsViewTreeNodeExpandedEventKv OnRecordsViewTreeNodeExpanded;
  TRecordsViewCheckMoveNodeEventKv OnRecordsViewCheckMoveNode;
  // Expands or collapses the node of row RowNum (0-based); the result is the RecNo the cursor should go
  // to when its own row was hidden by the collapse (an ancestor's), else -1.
  int SetRowTreeNodeExpanded(int RowNum, bool Expanded) override;
  bool GetTreeViewMode() override { return FRecordsView->ViewAsTreeList(); }
  int GetPrevRowTreeNodeLevel() override;
  int GetNextRowTreeNodeLevel() override;
  bool ParentHasNextSibling(int Level) override;

  // Instant read: field reads see row RowNum (0-based) until the matching leave, without moving the
  // cursor; enters nest. Writes still go to the active buffer. In insert state the row being inserted
  // reads the values typed so far and the rows after it are read one row lower.
  void InstantReadEnter(int RowNum) override;
  void InstantReadEnter(TMemRecViewKv* RecView, int RowNum);
  void InstantReadEnter(TMemoryRecordKv* MemRec, int RowNum);
  // Raises "TCustomMemTableKv not in instant read mode." without an enter.
  void InstantReadLeave() override;
  bool InstantReadMode() const { return !FInstantBuffers.empty(); }
  int InstantReadCurRow();
  int InstantReadRowCount() override;
  int InstantReadViewRow() override;
  int InstantReadIndexOfBookmark(const TBookmark& Bookmark) override;
  TBookmark GetBookmark() const override;

  // ---- grid events and the rest of the grid interface (MemTableKvEvents.cpp) ----
  // Receivers are components deriving from IMTEventReceiverKv; each is added once and dropped when
  // destroyed. While controls are disabled the events wait: one is delivered as it was, more than one
  // as a single whole-view change.
  void AddEventReceiver(TComponent* Receiver) override;
  int RemoveEventReceiver(TComponent* Receiver) override;
  void NotifyEventReceivers(int RowNum, TMTViewEventTypeKv EventType, int OldRowNum);
  void MTDisableControls() override { DisableControls(); }
  void MTEnableControls(bool ForceUpdateState) override;
  void DispatchDataEvent(TDataEvent Event, std::intptr_t Info) override;
  // Opening while a form is read at design time is deferred to the user-interface thread's loop.
  void SetActive(bool Value) override;
  void Loaded() override;
  // The value of a lookup field for the current record: its lookup dataset's result for the record's
  // key values; Null while that dataset is missing or closed (or holds no such key).
  Variant CalcLookupValue(TField* AField);

  int GetInstantReadCurRow() override { return InstantReadCurRow(); }
  int GetReservedValue() override { return 0; }
  bool GetTreeNodeExpanded() override { return CurTreeNodeExpanded(); }
  bool GetTreeNodeHasVisibleChildren() override { return CurTreeNodeHasVisibleChildren(); }
  int GetTreeNodeLevel() override { return TreeNodeLevel(); }
  TMemoryRecordKv* GetRec() override { return Rec(); }
  String GetSingleCharWildcard() override { return u"_"; }
  String GetMultiCharWildcard() override { return u"%"; }

  // Row of a record in the view / a bookmark for it (its serial, no row hint).
  bool SetToMemRecord(TMemoryRecordKv* Rec) override;
  TBookmark RecToBookmark(TMemoryRecordKv* Rec) const;
  int BookmarkToRecNo(const TBookmark& Bookmark) const;
  int UniBookmarkToRecNo(const TBookmark& Bookmark) const { return BookmarkToRecNo(Bookmark); }
  bool UniBookmarkValid(const TBookmark& Bookmark) { return BookmarkValid(Bookmark); }

  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override;
  TUpdateStatus UpdateStatus() const override;
  TDataSource* GetDataSource() const override { return MasterSource(); }

  // The buffer field access uses now (by state; the newest instant-read buffer unless IgnoreInstantRead);
  // nullptr when none.
  TMTRecBuf* GetActiveMTRecBuf(bool IgnoreInstantRead = false) const;
  // Stores Value as the field's value in the active buffer (blob streams end here).
  void StoreFieldValue(TField* Field, Variant Value);
  // Writes of fields that carry a Variant as it is (ftVariant data fields, TLookupValueFieldKv): the
  // same state and read-only checks as any field write.
  void WriteFieldValue(TField* Field, const Variant& Value) override;

 protected:
  void CursorOpen() override;
  void CursorClose() override;
  void DoAfterOpen() override;
  bool CursorIsOpen() const override { return FActive; }
  void CursorReadFieldDefs() override;
  // An append needs every provider row read first ("Attempt to append a record before all records have
  // been read from DataDriver."): a row appended earlier would stand among the provider's rows.
  void CursorInsert() override;
  // A new row takes the fields' DefaultExpression texts and, in detail mode, the master's values in its
  // DetailFields (so it belongs to the rows shown); then OnNewRecord.
  void DoOnNewRecord() override;
  // The fields made for the structure take its descriptors' display attributes.
  void BuildDefaultFields() override;
  // Calculated and lookup values start Null for every row (a pooled buffer would otherwise show the
  // previous row's value wherever OnCalcFields sets none), except those of fields that keep a value per
  // tree row (IFieldLookupValueKv).
  void ResetCalculatedFields(TRecordBuffer Buffer) override;
  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override;
  void CursorFirst() override { FRecordPos = -1; }
  void CursorLast() override {
    ReadFromDriver(-1);
    FRecordPos = FRecordsView->ViewItemsCount();
  }
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void CursorRefresh() override;
  void CursorPost() override;
  void CursorAddRecord(TRecordBuffer Buffer, bool Append) override;
  void CursorDelete() override;
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
  int GetRecordSize() const override { return FRecBufSize & 0xFFFF; }
  int GetRecordCount() const override;
  int GetRecNo() const override;
  void SetRecNoValue(int Value) override;
  bool GetCanModify() const override { return !FReadOnly; }

 private:
  static TMTRecBuf* Buf(TRecordBuffer B) { return reinterpret_cast<TMTRecBuf*>(B); }
  // The value slot of a field in a buffer: data fields by FieldNo - 1, others after them.
  size_t SlotOf(const TField* Field) const;
  Variant BufValue(const TMTRecBuf* RecBuf, TField* Field) const;
  void BufSetValue(TMTRecBuf* RecBuf, TField* Field, Variant Value);
  void LoadRecBuf(TMemoryRecordKv* MemRec, int RowNum, TMTRecBuf* RecBuf);
  void RecBufToMemRecord(TMTRecBuf* RecBuf, TMemoryRecordKv* MemRec);
  int RowOfBookmark(const TBookmarkDataKv& Bookmark) const;
  void ClearAllRecords();
  // Some filter is in force (filter text or event, master/detail, an extra filter).
  bool FiltersSet() const {
    return FActive && ((Filtered() && (OnFilterRecord() || FFilterExpr->HasData())) || FDetailMode ||
                       FExtraFilters->ActiveFilterCount() > 0);
  }
  // The filters hide rows as they are fetched: fetches skip them, counts and row numbers count the rest.
  // In tree mode the tree's node filter applies them instead (an ancestor of a shown node stays shown),
  // so its rows are already the filtered ones.
  bool FilterActive() const { return FiltersSet() && !FRecordsView->ViewAsTreeList(); }
  // Tree mode: the view's node filter is the table's filters (nullptr in list mode, where fetches filter).
  void WireTreeFilter(bool TreeMode);
  bool RowPasses(int Row, TMTRecBuf* Buffer);
  void UpdateFilterExpr();
  void FilterChanged();
  void UpdateDetailMode(bool Refresh);
  void MasterChanged(TObject* Sender);
  Variant MasterKeyValues() const;
  bool DetailRecordMatches(const TMemoryRecordKv* MemRec) const;
  // Detail rows from a key index. When a key index of the data has exactly the DetailFields, the rows
  // whose detail key equals the master's are the index's matches for the master values: scrolling the
  // master costs O(log n + matches), not a test of every record. The rows are kept in view order and
  // made again on demand after any row event or change of the detail link; without such an index (or
  // in tree mode, or while a data driver still has rows to deliver) every row is a candidate and the
  // filters decide. The other filters still test each candidate.
  const std::vector<int>* DetailRows();
  void DropDetailRows() { FDetailRowsState = TDetailRowsState::Unknown; }
  // The first row at or after Row the filters may show: Row itself without detail rows; INT_MAX when
  // none is left.
  int NextCandidateRow(int Row);
  // The last such row at or before Row; -1 when none.
  int PriorCandidateRow(int Row);
  enum class TDetailRowsState : unsigned char { Unknown, None, Built };
  TDetailRowsState FDetailRowsState = TDetailRowsState::Unknown;
  std::vector<int> FDetailRows;
  int FDetailRowsViewCount = -1;  // the view's row count they were made for
  // A row's key values through the fields (instant read of the row).
  bool RowMatchesThroughFields(int Row, const std::vector<TField*>& Fields, const Variant& KeyValues,
                               TLocateOptions Options);
  // Runs Body with row Row readable through the fields (dsFilter over a scratch buffer).
  template <class F>
  auto WithRowInFilterState(int Row, F Body);
  void LoadStaged(std::unique_ptr<TMemTableDataKv> Staged);
  void BindView(TMemTableDataKv* Data);

  void ApplySortOrder();

  // Tree mode and instant read.
  friend class TMemTableTreeListKv;
  // The cursor to Current's row, or its nearest shown ancestor's; before the first row when neither is
  // shown. The caller refetches.
  void SetToMemRecordQuiet(TMemoryRecordKv* Current);
  TMemRecViewKv* NodeOfBuf(const TMTRecBuf* RecBuf) const;
  bool FExpandingAsked = false;
  bool TreeListExpandedChanging(TMemRecViewKv* Node);
  void TreeListExpandedChanged(TMemRecViewKv* Node);
  TMTRecBuf* PushInstantBuffer();
  TMemoryTreeListKv* Tree() const { return FRecordsView->MemoryTreeList(); }
  bool PlaceTreeNode(TMemRecViewKv* Source, TMemRecViewKv* Target, int Mode, bool CheckOnly, bool& Refused);
  // Calculated values kept outside buffers: internal-calc values in the records (the data's field
  // calculation, wired while open), calculated values of tree rows in their nodes.
  void WireInternalCalc(bool Open);
  // The definitions from the data and internal-calc fields when there are none; notes the field whose
  // AutoGenerateValue is arAutoInc (the last one), whose descriptor then counts by itself.
  void PrepareFieldDefs();
  void MarkAutoIncrementField();
  String FAutoIncrementFieldName;
  void CalcInternalFields(TMemoryRecordKv* MemRec, std::vector<Variant>& Values);
  void CalcLookupBuffer(TMemoryRecordKv* MemRec, TMemRecViewKv* RecView);
  void StoreLookupValues(const TMTRecBuf* Buffer, TMemRecViewKv* RecView);
  // Fields whose values tree rows keep (IFieldLookupValueKv answering True), found on open; a fetched
  // buffer takes their values from its row's node.
  std::vector<TField*> FLookupValueFields;
  void UpdateLookupValueFields();
  bool KeepsLookupValue(const TField* Field) const {
    return !FLookupValueFields.empty() &&
           std::find(FLookupValueFields.begin(), FLookupValueFields.end(), Field) != FLookupValueFields.end();
  }
  void SeedLookupValues(TMTRecBuf* RecBuf);
  // A tree row's values stand at their fields' positions. When fields move (or come and go while the
  // table is closed), every row's values move with their fields, so that no kept value is lost or read
  // through another field. FLookupBufferOrder is the field order the rows' values stand in.
  void SyncLookupBufferOrder();
  std::vector<TField*> FLookupBufferOrder;
  // Buffers that read through a record about to go (Going) or already gone (nullptr: every record the
  // list no longer knows) stop doing so: a record another table deletes from shared data, or a list
  // emptied under this table, leaves no buffer pointing at freed memory.
  void ReleaseGoneRecords(TMemoryRecordKv* Going);
  // Changes this table makes to the records are refetched by the operation that makes them: while one
  // runs (TRecordsViewUpdate), the row events it raises refetch nothing. A change made through another
  // table sharing the data refetches this table's rows at once (in browse state; Post and Cancel refetch
  // an edited table anyway), keeping the cursor on its record, or on the row that took a gone record's
  // place.
  int FRecordsViewUpdating = 0;
  class TRecordsViewUpdate {
   public:
    explicit TRecordsViewUpdate(TCustomMemTableKv* Table) : FTable(Table) { ++FTable->FRecordsViewUpdating; }
    ~TRecordsViewUpdate() { --FTable->FRecordsViewUpdating; }
    TRecordsViewUpdate(const TRecordsViewUpdate&) = delete;
    TRecordsViewUpdate& operator=(const TRecordsViewUpdate&) = delete;

   private:
    TCustomMemTableKv* FTable;
  };
  void RefetchAfterSharedChange();
  // Grid events.
  void ViewDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Event);
  void ViewRecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex);
  int ViewRowToDataRow(int Row) const { return FStateInsert && Row >= FInstantReadCurRowNum ? Row + 1 : Row; }

  String FSortOrder;
  std::vector<std::unique_ptr<TMTRecBuf>> FRecordCache;
  TMemTableDataKv* FInternMemTableData;  // the data shown: FOwnMemTableData, or ExternalMemData's
  TRecordsViewKv* FRecordsView;           // owned
  std::vector<TField*> FDataFields;       // by FieldNo - 1
  bool FActive = false;
  bool FReadOnly = false;
  int FRecBufSize = 0;
  int FRecordPos = -1;
  // The scratch buffer of scans (filter counts, Locate, Lookup); fields read it while FScanning.
  mutable TMTRecBuf FScanBuf;
  bool FScanning = false;

  std::unique_ptr<TDataSetExprParserKv> FFilterExpr;
  bool FFilterNeedsBuffer = false;  // the expression names calculated or lookup fields
  bool FFilterFailed = false;
  std::unique_ptr<TMasterDataLink> FMasterDataLink;
  TMasterDetailSideKv FMasterDetailSide = mdsOnSelfKv;
  String FDetailFields;
  std::vector<TField*> FDetailFieldList;
  std::vector<int> FDetailDataIndexes;
  bool FDetailMode = false;
  Variant FMasterValues;
  TSortedVarlistKv FMasterValList;
  std::unique_ptr<TMemTableFiltersKv> FExtraFilters;
  TDataDriverKv* FDataDriver = nullptr;
  bool FFetchAllOnOpen = false;
  // The driver's rows are read while the table opens.
  void OpenFromDriver();

  // The data shown changed its structure (another table rebuilt it): an open table reopens.
  void ViewStructChanged();
  // Master/detail with the master's values as the provider's parameters.
  void SetDriverParamsFromMaster();
  void RefreshDetailFromDriver();
  TDataSet* MasterDataSet() const;
  TMemTableDataKv* FOwnMemTableData = nullptr;  // owned; FInternMemTableData is the data shown
  TCustomMemTableKv* FExternalMemData = nullptr;
  TMemTableOptionsKv FOptions = 0;
  bool FInViewStructChanged = false;

  std::unique_ptr<TMemTableTreeListKv> FTreeList;
  std::vector<TRecordBuffer> FInstantBuffers;  // newest last
  int FInstantReadCurRowNum = -1;
  std::vector<TComponent*> FEventReceivers;
  bool FStateInsert = false;
  int FStateInsertRowNum = -1;
  int FMTViewDataEventInactiveCount = 0;
  int FInactiveEventRowNum = -1;
  TMTViewEventTypeKv FInactiveEvent = mtViewDataChangedKv;
  int FInactiveEventOldRowNum = -1;
  bool FOldControlsDisabled = false;
  bool FOldActive = false;
  bool FInLoaded = false;
  std::uintptr_t FDeferredOpen = 0;  // the pending deferred open (a one-shot timer), or 0
  void CancelDeferredOpen();
};

class TMemTableKv : public TCustomMemTableKv {
  VELLUM_CLASS(TMemTableKv)
 public:
  explicit TMemTableKv(TComponent* AOwner) : TCustomMemTableKv(AOwner) {}
};
