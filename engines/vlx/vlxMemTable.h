// TvlxCustomMemTable / TvlxMemTable: the dataset of the vlx engine (contract: platform/db/DataSet.h).
// The table keeps no records itself: they live in a TvlxCommon store (vlxCommon.h) that this table
// owns. A record buffer of the framework is a store record; the cursor is a position (FRecNo) in the
// current index (vlxIndex.h). Fetching copies a record's header and fixed area only; var-length values
// stay in the stored record's blocks until a buffer writes its own.
//
// Record buffer bookmark area (12 bytes at the store's bookmark offset + TableID × 12):
//
// | bytes | content                                                   |
// |-------|-----------------------------------------------------------|
// | 0-3   | RecordID of the stored record the buffer was fetched from |
// | 4     | TBookmarkFlag                                             |
// | 8-11  | that record's UniqueRecordID                              |
//
// Bookmark (BookmarkSize 12): RecordID, the store's DataID, UniqueRecordID. A bookmark is valid while
// the store was not emptied since (same DataID), its slot still holds the record with that
// UniqueRecordID and the record is not deleted; anything else reads as "Invalid record ", never as
// another record.
//
// Saving and loading go through a stream format object (vlxStreamFormat.h): SaveViaFormat and
// LoadViaFormat run its prepare, run and finish steps.
#pragma once

#include <exception>
#include <functional>
#include <memory>

#include "engines/vlx/vlxExprEval.h"
#include "engines/vlx/vlxIndex.h"

class TvlxCustomStreamFormat;
class TvlxCustomDeltaHandler;
class TvlxCustomMemTable;

// The filter evaluator's view of a table: fields by their position in the table's field list, values read
// through the field access the table points at the record under test.
class TvlxTableFilterAccess final : public TvlxFilterRecord {
 public:
  explicit TvlxTableFilterAccess(TvlxCustomMemTable& T) : FTable(T) {}
  int FieldIndex(const String& Name) const override;
  Variant FieldValue(int Index) const override;

 private:
  TvlxCustomMemTable& FTable;
};

// The link of a detail table to its master source.
class TvlxMasterDataLink final : public TMasterDataLink {
  VELLUM_CLASS(TvlxMasterDataLink)
 public:
  explicit TvlxMasterDataLink(TvlxCustomMemTable* ATable);
};

enum TvlxState { mtstBrowse, mtstLoad, mtstSave, mtstEmpty, mtstPack, mtstCheckPoint, mtstSearch, mtstUpdate, mtstSort };
enum TvlxProgressCode {
  mtpcLoad,
  mtpcSave,
  mtpcEmpty,
  mtpcPack,
  mtpcCheckPoint,
  mtpcSearch,
  mtpcCopy,
  mtpcUpdate,
  mtpcSort,
};
using TvlxProgressCodes = unsigned;  // bit n = TvlxProgressCode n
enum TvlxMemTableStorageType { mtstDataSet, mtstStream, mtstBinaryStream, mtstFile, mtstBinaryFile };

using TvlxOnProgress = std::function<void(TDataSet& DataSet, int Percentage, TvlxProgressCode Code)>;
using TvlxOnSaveLoad = std::function<void(TDataSet& DataSet, TvlxMemTableStorageType StorageType, TStream* Stream)>;
using TvlxOnRecordAccept = std::function<void(TDataSet& DataSet, bool& Accept)>;
using TvlxOnSaveLoadField = std::function<void(TDataSet& DataSet, int FieldNo, TField* Field)>;
using TvlxOnCompress = std::function<void(TDataSet& Dataset, TStream* UnCompressedStream, TStream* CompressedStream)>;
using TvlxOnDeCompress = std::function<void(TDataSet& Dataset, TStream* CompressedStream, TStream* DeCompressedStream)>;
using TvlxOnSetupField = std::function<void(TDataSet& DataSet, TField* Field, Byte& FieldFlags)>;
using TvlxOnCompareFields =
    std::function<void(TDataSet& DataSet, TField* AFld, const Byte* KeyField, const Byte* AField, TFieldType FieldType,
                       TvlxifoOptions Options, bool& FullCompare, int& Result)>;
using TvlxOnFilterIndex = std::function<void(TDataSet& DataSet, TvlxIndex* Index, bool& Accept)>;
using TvlxOnUserAggregate = std::function<void(TDataSet& DataSet, int UserFunction, int Count, double Value,
                                               double& Accumulator)>;
using TvlxOnSetupFieldProperties = std::function<void(TDataSet& DataSet, TField* Field)>;

enum TvlxMemTableCopyTableOption : unsigned {
  mtcpoStructure = 1u << 0,
  mtcpoOnlyActiveFields = 1u << 1,
  mtcpoProperties = 1u << 2,
  mtcpoLookup = 1u << 3,
  mtcpoCalculated = 1u << 4,
  mtcpoAppend = 1u << 5,
  mtcpoFieldIndex = 1u << 6,
  mtcpoDontDisableIndexes = 1u << 7,
  mtcpoIgnoreErrors = 1u << 8,
  mtcpoLookupAsData = 1u << 9,
  mtcpoCalculatedAsData = 1u << 10,
  mtcpoStringAsWideString = 1u << 11,
  mtcpoWideStringUTF8 = 1u << 12,
};
using TvlxMemTableCopyTableOptions = unsigned;
enum TvlxMemTableUpdateFlag : unsigned { mtufEdit = 1u << 0, mtufAppend = 1u << 1, mtufDontClear = 1u << 2 };
using TvlxMemTableUpdateFlags = unsigned;

// The table's hold on its store: an owner frees it, an attached table only refers to it.
struct TvlxStoreRef {
  bool Owns = true;
  TvlxStoreRef() = default;
  TvlxStoreRef(std::default_delete<TvlxCommon>) {}  // NOLINT: a plain unique_ptr hands over ownership
  explicit TvlxStoreRef(bool AOwns) : Owns(AOwns) {}
  void operator()(TvlxCommon* C) const {
    if (Owns) delete C;
  }
};

class TvlxCustomMemTable : public TDataSet {
  VELLUM_CLASS(TvlxCustomMemTable)
 public:
  explicit TvlxCustomMemTable(TComponent* AOwner);
  ~TvlxCustomMemTable() override;

  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;

  // ---- structure -----------------------------------------------------------------------------------
  // Builds the table from FieldDefs (or, when empty, from the fields); the table stays closed.
  void CreateTable();
  void DeleteTable();
  // Removes every record of the store; the table stays open. Bookmarks taken before are invalid after.
  void EmptyTable();
  int DeleteRecords();
  void ClearModified();
  void ResetAutoInc();

  // ---- store and settings --------------------------------------------------------------------------
  TvlxCommon* Common() const { return FCommon.get(); }
  TvlxPerformance Performance() const { return FCommon->Performance(); }
  void SetPerformance(TvlxPerformance Value);
  bool Standalone() const { return FCommon->Standalone(); }
  void SetStandalone(bool Value);
  int AttachMaxCount() const { return FCommon->AttachMaxCount(); }
  void SetAttachMaxCount(int Value) { FCommon->SetAttachMaxCount(Value); }
  int AttachCount() const { return FCommon->AttachCount(); }
  bool EnableVersioning() const { return FCommon->EnableVersioning(); }
  void SetEnableVersioning(bool Value) { FCommon->SetEnableVersioning(Value); }
  bool IsDataModified() const { return FCommon->IsDataModified(); }
  int LocaleID() const { return FCommon->LocaleID(); }
  void SetLocaleID(int Value) { FCommon->SetLocaleID(Value); }
  int AutoIncMinValue() const { return FCommon->AutoIncMin(); }
  void SetAutoIncMinValue(int Value) { FCommon->SetAutoIncMin(Value); }
  int AutoIncValue() const { return FCommon->AutoIncMax(); }
  int DeletedRecordsCount() const { return FCommon->DeletedCount(); }
  TvlxState TableState() const { return FState; }
  void SetTableState(TvlxState Value) { FState = Value; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  bool IgnoreReadOnly() const { return FIgnoreReadOnly; }
  void SetIgnoreReadOnly(bool Value) { FIgnoreReadOnly = Value; }
  bool IgnoreAutoIncPopulation() const { return FIgnoreAutoIncPopulation; }
  void SetIgnoreAutoIncPopulation(bool Value) { FIgnoreAutoIncPopulation = Value; }
  bool AutoReposition() const { return FAutoReposition; }
  void SetAutoReposition(bool Value) { FAutoReposition = Value; }
  bool RecalcOnIndex() const { return FRecalcOnIndex; }
  void SetRecalcOnIndex(bool Value) { FRecalcOnIndex = Value; }
  bool RecalcOnFetch() const { return FRecalcOnFetch; }
  void SetRecalcOnFetch(bool Value) { FRecalcOnFetch = Value; }
  int LoadLimit() const { return FLoadLimit; }
  void SetLoadLimit(int Value) { FLoadLimit = Value; }
  int LoadCount() const { return FLoadCount; }
  bool LoadedCompletely() const { return FLoadedCompletely; }
  int SaveLimit() const { return FSaveLimit; }
  void SetSaveLimit(int Value) { FSaveLimit = Value; }
  int SaveCount() const { return FSaveCount; }
  bool SavedCompletely() const { return FSavedCompletely; }
  TvlxProgressCodes ProgressFlags() const { return FProgressFlags; }
  void SetProgressFlags(TvlxProgressCodes Value) { FProgressFlags = Value; }
  String Version() const { return u"7.69.00 Standard Edition"; }
  std::uint32_t RecordTag() const;
  void SetRecordTag(std::uint32_t Value);
  TvlxCustomDeltaHandler* DeltaHandler() const { return FDeltaHandler; }
  void SetDeltaHandler(TvlxCustomDeltaHandler* Value);
  bool AttachedAutoRefresh() const { return FAttachedAutoRefresh; }
  void SetAttachedAutoRefresh(bool Value) { FAttachedAutoRefresh = Value; }

  void Progress(int Pct, TvlxProgressCode Code);
  // Hold the store lock across several operations; field-change events only pass meanwhile.
  void Lock();
  void Unlock();

  // ---- indexes, filters ------------------------------------------------------------------------------
  TvlxIndexes& Indexes() { return *FIndexes; }
  TvlxIndex* CurIndex() const { return FCurIndex; }
  bool EnableIndexes() const { return FEnableIndexes; }
  void SetEnableIndexes(bool Value) { FEnableIndexes = Value; }
  bool AutoAddIndexes() const { return FAutoAddIndexes; }
  void SetAutoAddIndexes(bool Value) { FAutoAddIndexes = Value; }
  // Makes Index (nullptr: the row-order index) current, keeping the current record.
  void SwitchToIndex(TvlxIndex* Index);
  const String& IndexFieldNames() const { return FIndexFieldNames; }
  void SetIndexFieldNames(const String& Value);
  const String& IndexName() const { return FIndexName; }
  void SetIndexName(const String& Value);
  void SetIndexDefs(const TIndexDefs& Value);
  void CreateIndexes();
  void DestroyIndexes();
  void UpdateIndexes();
  void IndexDestroying(TvlxIndex* Index);
  bool RangeActive() const { return FCurIndex != nullptr && FCurIndex->Name() == kRangeIndexName; }
  TvlxUpdateStatusSet StatusFilter() const { return FStatusFilter; }
  void SetStatusFilter(TvlxUpdateStatusSet Value);
  void UpdateIsFiltered();
  bool IsFilteredView() const { return FIsFiltered; }
  bool FilterRecord(PvlxRecord ARecord, bool ForceUseFilter);
  void SetFiltered(bool Value) override;
  void SetOnFilterRecord(const TFilterRecordEvent& Value) override;
  void BuildDetailFieldList();
  void MasterChanged();
  const String& DetailFields() const { return FDetailFieldNames; }
  void SetDetailFields(const String& Value);

  // ---- filter text, search, master/detail (vlxMemTableFilter.cpp, vlxMemTableMaster.cpp) -------------
  void SetFilterText(const String& Value) override;
  // The compiled table filter, none without a filter text (or while closed).
  TvlxExprParser* FilterParser() const { return FFilterParser.get(); }
  // Compiles Text for this table's fields.
  std::unique_ptr<TvlxExprParser> CompileFilter(const String& Text, TFilterOptions Options);
  // Parser's result with the table's field access pointed at Record.
  bool EvaluateFilter(TvlxExprParser& Parser, PvlxRecord Record);
  bool FindRecord(bool Restart, bool GoForward) override;
  TDataSource* MasterSource() const;
  void SetMasterSource(TDataSource* Value);
  String MasterFields() const;
  void SetMasterFields(const String& Value);
  void MasterDisabled();
  // A new detail record takes the master's values in its detail fields.
  void ApplyMasterValues();
  // Puts this table on the record current in DataSet (a table of the same store); raises "Record not
  // found" when this table does not show it.
  void GotoCurrent(TDataSet& DataSet);

  // ---- versions, transactions, attached tables (vlxMemTableVersions.cpp) ------------------------------
  TvlxVersioningMode VersioningMode() const { return FCommon->VersioningMode(); }
  void SetVersioningMode(TvlxVersioningMode Value) { FCommon->SetVersioningMode(Value); }
  int TransactionLevel() const { return FCommon->TransactionLevel(); }
  void StartTransaction();
  void Commit();
  void Rollback();
  TvlxCustomMemTable* AttachedTo() const { return FAttachedTo; }
  void SetAttachedTo(TvlxCustomMemTable* Value);
  void CloseAttachedTables();
  // The store's owner is going: this table takes a fresh store of its own.
  void DetachFromDyingStore();
  // Brings an active table in browse state back in line after its store changed under it.
  void RefreshAfterStoreChange();

  // ---- copying, persistence, grouping and aggregation (vlxMemTableCopy.cpp, vlxMemTableAggregate.cpp) --
  // Copies from Source's current record to its end; the number of records posted.
  int CopyRecords(TDataSet* Source, TDataSet* Destination, int Count, bool IgnoreErrors,
                  const String& Mapping = String(), bool WideStringAsUTF8 = false);
  void LoadFromDataSet(TDataSet* Source, TvlxMemTableCopyTableOptions CopyOptions, const String& Mapping = String());
  void SaveToDataSet(TDataSet* Destination, TvlxMemTableCopyTableOptions CopyOptions,
                     const String& Mapping = String());
  void UpdateToDataSet(TDataSet* Destination, const String& KeyFields, TvlxMemTableUpdateFlags Flags,
                       const String& Mapping = String());
  void UpdateToDataSet(TDataSet* Destination, const String& KeyFields, const String& Mapping = String()) {
    UpdateToDataSet(Destination, KeyFields, mtufEdit | mtufAppend, Mapping);
  }
  void CreateTableAs(TDataSet* Source, TvlxMemTableCopyTableOptions CopyOptions);
  TField* CreateFieldAs(TField* Field, bool AForceAsData);
  void CopyFieldProperties(TField* Source, TField* Destination);
  void CopyFieldsProperties(TDataSet* Source, TDataSet* Destination);
  void SavePersistent();
  void LoadPersistent();
  const String& PersistentFile() const { return FPersistentFile; }
  void SetPersistentFile(const String& Value) { FPersistentFile = Value; }
  bool PersistentBackup() const { return FPersistentBackup; }
  void SetPersistentBackup(bool Value) { FPersistentBackup = Value; }
  const String& PersistentBackupExt() const { return FPersistentBackupExt; }
  void SetPersistentBackupExt(const String& Value) { FPersistentBackupExt = Value; }
  TvlxCustomStreamFormat* PersistentFormat() const { return FPersistentFormat; }
  void SetPersistentFormat(TvlxCustomStreamFormat* Value) { FPersistentFormat = Value; }
  bool PersistentSaved() const { return FPersistentSaved; }
  TvlxCustomStreamFormat* CommaTextFormat() const { return FCommaTextFormat; }
  void SetCommaTextFormat(TvlxCustomStreamFormat* Value) { FCommaTextFormat = Value; }
  TvlxCustomStreamFormat* AllDataFormat() const { return FAllDataFormat; }
  void SetAllDataFormat(TvlxCustomStreamFormat* Value) { FAllDataFormat = Value; }
  // The table through CommaTextFormat, one character per byte (lossless in any code page).
  String CommaText();
  void SetCommaText(const String& Value);
  Variant AllData();
  void SetAllData(const Variant& Value);
  void GroupBy(TvlxCustomMemTable* ADestDataset, const String& AGroupFields, const String& AAggregateFields);
  void GroupBy(TvlxCustomMemTable* ADestDataset, const TvlxFieldList& ASourceGroupFieldList,
               const TvlxFieldList& ASourceAggregateFieldList, const TvlxFieldList& ADestAggregateFieldList);
  Variant Aggregate(const String& AAggregateFields);
  static String GetAggregateFieldName(const String& AFieldName, TvlxifoOptions AOptions);
  static TvlxifoOptions GetAggregateFieldOption(const String& AAggregateFunction);
  static TvlxifoOptions GetExtractFieldOption(const String& AExtractOption);
  void SetActive(bool Value) override;

  // ---- saving and loading ----------------------------------------------------------------------------
  void SaveToFileViaFormat(const String& FileName, TvlxCustomStreamFormat* AFormat);
  void SaveToStreamViaFormat(TStream* Stream, TvlxCustomStreamFormat* AFormat);
  void LoadFromFileViaFormat(const String& FileName, TvlxCustomStreamFormat* AFormat);
  void LoadFromStreamViaFormat(TStream* Stream, TvlxCustomStreamFormat* AFormat);
  void SaveViaFormat(TStream* Stream, TvlxCustomStreamFormat* Format);
  void LoadViaFormat(TStream* Stream, TvlxCustomStreamFormat* Format);

  // ---- framework pass-throughs (stream formats, blob streams, indexes) --------------------------------
  TDataSetState __SetTempState(TDataSetState Value) { return SetTempState(Value); }
  void __RestoreState(TDataSetState Value) { RestoreState(Value); }
  void __ClearCalcFields(TRecordBuffer Buffer) { ResetCalculatedFields(Buffer); }
  void __GetCalcFields(TRecordBuffer Buffer) { UpdateCalculatedFields(Buffer); }
  int RecNoInIndex() const { return FRecNo; }
  void SetRecNoInIndex(int Value) { FRecNo = Value; }
  void SetReposRecNo(int Value) { FReposRecNo = Value; }
  bool MasterLinkUsed() const { return FMasterLinkUsed; }
  void SetMasterLinkUsed(bool Value) { FMasterLinkUsed = Value; }
  bool Persistent() const { return FPersistent; }
  void SetPersistent(bool Value) { FPersistent = Value; }
  TvlxIndex* DetailIndex() const { return FDetailIndex; }
  TvlxIndex* RangeIndex() const { return FRangeIndex; }
  // The record field reads and writes work on, by state (or the override).
  PvlxRecord ActiveRecordBuffer();
  PvlxRecord OverrideActiveRecordBuffer() const { return FOverrideActiveRecordBuffer; }
  void SetOverrideActiveRecordBuffer(PvlxRecord Value) { FOverrideActiveRecordBuffer = Value; }
  // Sets the override buffer for a scope.
  class TOverrideBuffer {
   public:
    TOverrideBuffer(TvlxCustomMemTable& T, PvlxRecord R) : FT(T), FOld(T.FOverrideActiveRecordBuffer) {
      T.FOverrideActiveRecordBuffer = R;
    }
    ~TOverrideBuffer() { FT.FOverrideActiveRecordBuffer = FOld; }
    TOverrideBuffer(const TOverrideBuffer&) = delete;
    TOverrideBuffer& operator=(const TOverrideBuffer&) = delete;

   private:
    TvlxCustomMemTable& FT;
    PvlxRecord FOld;
  };
  // A blob stream's write-back failed; the next Post raises it.
  void SetPendingBlobError(std::exception_ptr E) { FPendingBlobError = std::move(E); }
  // Called by the store.
  void EmptyTableStep();
  void DetachedFromStore() { FTableID = -1; }
  int TableID() const { return FTableID; }
  // Writes a dynamic value into a record's slot (keys, auto-increment values).
  void PopulateField(PvlxRecord Record, TField* Field, const Variant& Value);

  // ---- dataset operations --------------------------------------------------------------------------
  bool GetFieldData(TField* Field, TValueBuffer Buffer) override;
  void WriteFieldData(TField* Field, TConstValueBuffer Buffer) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override;
  bool IsSequenced() const override { return !Filtered(); }
  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override;
  // Fills Record's fields named by FieldNames from Values (one value, or an array of one per field).
  void PopulateRecord(PvlxRecord Record, const TvlxFieldList& Fields, const Variant& Values);
  TUpdateStatus UpdateStatus() const override;
  bool IsFieldInIndex(TField* Field) const override;
  void CloseBlob(TField* Field) override;
  void DispatchDataEvent(TDataEvent Event, std::intptr_t Info) override;

  // ---- callbacks -------------------------------------------------------------------------------------
  TvlxOnProgress OnProgress;
  TvlxOnSaveLoad OnSave, OnLoad;
  TvlxOnRecordAccept OnSaveRecord, OnLoadRecord;
  TvlxOnSaveLoadField OnSaveField, OnLoadField;
  TvlxOnCompress OnCompressBlobStream;
  TvlxOnDeCompress OnDecompressBlobStream;
  TvlxOnSetupField OnSetupField;
  TvlxOnCompareFields OnCompareFields;
  TvlxOnFilterIndex OnFilterIndex;
  TvlxOnUserAggregate OnUserAggregate;
  TvlxOnSetupFieldProperties OnSetupFieldProperties;

 protected:
  void CursorOpen() override;
  void CursorClose() override;
  bool CursorIsOpen() const override { return FIsOpen; }
  void CursorReadFieldDefs() override;
  void HandleEngineException() override {}
  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override;
  void CursorFirst() override { FRecNo = -1; }
  void CursorLast() override { FRecNo = FCurIndex ? FCurIndex->Count() : 0; }
  void CursorPost() override;
  void CursorAddRecord(TRecordBuffer Buffer, bool Append) override;
  void CursorDelete() override;
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
  void ResetCalculatedFields(TRecordBuffer Buffer) override;
  int GetRecordSize() const override { return FCommon->TotalRecordSize(); }
  int GetRecordCount() const override;
  int GetRecNo() const override;
  void SetRecNoValue(int Value) override;
  bool GetCanModify() const override { return FIgnoreReadOnly || !FReadOnly; }
  void DoAfterOpen() override;
  void DoBeforeClose() override;
  void DoOnNewRecord() override;
  void DoBeforePost() override;
  void DoAfterPost() override;
  void DoAfterDelete() override;

  TDataSource* GetDataSource() const override;

  bool NextVisibleRecord(bool ForceUseFilter);
  bool PriorVisibleRecord(bool ForceUseFilter);

 private:
  friend class TvlxCustomStreamFormat;
  friend class TvlxCustomBinaryStreamFormat;
  friend class TvlxBlobStream;

  static PvlxRecord Rec(TRecordBuffer B) { return reinterpret_cast<PvlxRecord>(B); }
  Byte* BookmarkArea(const TvlxRecord* R) const {
    return R->Data + FCommon->StartBookmarks() + FTableID * kvlxBookmarkEntrySize;
  }
  // The stored record a buffer stands for (same RecordID and UniqueRecordID), else nullptr.
  PvlxRecord StoredRecordOf(const TvlxRecord* Buffer) const;
  // The position of a stored record in the current index, trying Hint first; -1 when absent.
  int PositionInCurrent(const TvlxRecord* Stored, int Hint) const;
  void StoreNewRecord(PvlxRecord Buffer, TvlxIndexUpdateHow How, int RecordPos);
  void RaisePendingBlobError();
  // The position in the current index of the first record matching the key, or -1.
  int LocateRecord(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options);

  int FTableID = 0;
  std::unique_ptr<TvlxCommon, TvlxStoreRef> FCommon;
  std::unique_ptr<TvlxIndexes> FIndexes;
  PvlxRecord FFilterRecord = nullptr;
  bool FIgnoreReadOnly = false;
  bool FIgnoreAutoIncPopulation = false;
  TvlxIndex* FCurIndex = nullptr;
  TvlxIndex* FSortIndex = nullptr;
  TvlxIndex* FDetailIndex = nullptr;
  TvlxIndex* FRangeIndex = nullptr;
  TvlxIndex* FGroupIndex = nullptr;
  bool FEnableIndexes = true;
  bool FAutoAddIndexes = false;
  TvlxState FState = mtstBrowse;
  bool FMasterDetailRelationChanged = false;
  bool FMasterLinkUsed = true;
  bool FIsOpen = false;
  int FRecNo = -1;
  int FReposRecNo = -1;
  int FLoadLimit = -1, FLoadCount = -1;
  bool FLoadedCompletely = false;
  int FSaveLimit = -1, FSaveCount = -1;
  bool FSavedCompletely = false;
  TvlxCustomDeltaHandler* FDeltaHandler = nullptr;
  PvlxRecord FOverrideActiveRecordBuffer = nullptr;
  TvlxUpdateStatusSet FStatusFilter = 0;
  bool FAttachedAutoRefresh = true;
  TField* FAutoIncField = nullptr;
  bool FRecalcOnFetch = true;
  bool FReadOnly = false;
  bool FPersistent = false;
  TvlxFieldList FDetailIndexList, FIndexList;
  bool FRecalcOnIndex = false;
  String FIndexFieldNames, FDetailFieldNames, FIndexName;
  bool FAutoReposition = false;
  TvlxProgressCodes FProgressFlags = (1u << mtpcLoad) | (1u << mtpcSave) | (1u << mtpcCopy);
  bool FIsFiltered = false;
  std::unique_ptr<TvlxExprParser> FFilterParser;
  std::unique_ptr<TvlxTableFilterAccess> FFilterAccess;
  std::unique_ptr<TvlxMasterDataLink> FMasterLink;
  TvlxCustomMemTable* FAttachedTo = nullptr;
  PvlxRecord FMasterKey = nullptr;
  String FPersistentFile, FPersistentBackupExt;
  bool FPersistentBackup = false;
  bool FPersistentSaved = false;
  bool FPersistentLoading = false;
  TvlxCustomStreamFormat* FPersistentFormat = nullptr;
  TvlxCustomStreamFormat* FCommaTextFormat = nullptr;
  TvlxCustomStreamFormat* FAllDataFormat = nullptr;
  TvlxIndex* FGroupIndexOwned = nullptr;
  // Makes this table the owner of a new empty store.
  void TakeOwnStore();
  std::exception_ptr FPendingBlobError;
  // The memory of one blob stream at a time: setting a memo row after row allocates no stream buffer.
  std::vector<Byte> FBlobScratch;
  bool FBlobScratchInUse = false;
};

class TvlxMemTable : public TvlxCustomMemTable {
  VELLUM_CLASS(TvlxMemTable)
 public:
  explicit TvlxMemTable(TComponent* AOwner) : TvlxCustomMemTable(AOwner) {}
};

// The value of a blob field in the table's current record buffer as a memory stream; a changed value is
// written back into the buffer when the stream is destroyed (a failure there is raised by the next Post).
class TvlxBlobStream : public TMemoryStream {
  VELLUM_CLASS(TvlxBlobStream)
 public:
  // Raises "Field %s is read only" / "Dataset is not in edit mode." for a writable stream where no value
  // may change.
  TvlxBlobStream(TField* Field, TBlobStreamMode Mode);
  ~TvlxBlobStream() override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  void Truncate();

 private:
  void LoadFromRecord();
  void StoreToRecord();
  void* Realloc(Int64& NewCapacity) override;
  bool FUsesScratch = false;

  PvlxRecord FWorkBuffer = nullptr;
  TField* FField;
  TvlxCustomMemTable* FDataSet;
  TBlobStreamMode FMode;
  int FFieldNo;
  int FSlotOffset = 0;
  bool FModified = false;
};
