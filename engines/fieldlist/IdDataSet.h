// engines/fieldlist: the field-list memory dataset, TIdMemDataSet. Every row is one block of field slots
// in a row list kept in view order (IdRecordStore.h); sorting by a sort text, filtering through the
// OnFilterRecord / OnFilterData events and Locate / Lookup run over that list (IdSorting.h); the rows
// of the view save to and load from the "TD" stream format (IdStreamFormat.h). It owns its record
// store, blob table, sort keys and the fields it makes from VirtualFieldDefs or from a stream. It calls
// platform/db (TDataSet, fields), platform/classes (streams, files), platform/rtl and platform/sys; the
// benchmark application creates it, fills it through the framework's operations and times its save,
// load and empty operations.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engines/fieldlist/IdRecordStore.h"
#include "engines/fieldlist/IdSorting.h"
#include "engines/fieldlist/IdStreamFormat.h"
#include "platform/classes/Streams.h"
#include "platform/db/DB.h"
#include "platform/sys/Pages.h"

class TIdCustomDataSet;

// Index: the data index of the row (its position in the row list), read without moving the cursor.
using TIdFilterDataEvent = std::function<void(TDataSet& DataSet, int Index, bool& Accept)>;

// A blob value of the record buffer of the moment, as a memory stream; written back into the buffer's
// slot when the stream is destroyed after a change.
class TIdBlobStream : public TMemoryStream {
  VELLUM_CLASS(TIdBlobStream)
 public:
  // Raises "Field '%s' cannot be modified" / "Dataset not in edit or insert mode" (the dataset error)
  // when a writable stream is asked for where no value may change.
  TIdBlobStream(TField* Field, TBlobStreamMode Mode);
  ~TIdBlobStream() override;
  Int64 Write(const void* Buffer, Int64 Count) override;

 protected:
  // The stream's memory is the dataset's reusable scratch while no other blob stream holds it: setting
  // a blob value row after row then costs no allocation for the stream itself.
  void* Realloc(Int64& NewCapacity) override;

 private:
  void LoadBlobValue();
  bool FUsesScratch = false;

  TField* FField;
  TIdCustomDataSet* FDataSet;
  TRecordBuffer FRecordBuffer;
  TBlobStreamMode FMode;
  bool FModified = false;
};

class TIdCustomDataSet : public TDataSet {
  VELLUM_CLASS(TIdCustomDataSet)
 public:
  explicit TIdCustomDataSet(TComponent* AOwner);
  ~TIdCustomDataSet() override;

  // ---- properties ----------------------------------------------------------------------------------
  TFieldDefs& VirtualFieldDefs() { return *FVirtualFieldDefs; }
  void SetVirtualFieldDefs(const TFieldDefs& Value);
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  const String& Sort() const { return FSort; }
  // A different text is stored and the rows are sorted by it at once.
  void SetSort(const String& Value);
  const TIdFilterDataEvent& OnFilterData() const { return FOnFilterData; }
  void SetOnFilterData(const TIdFilterDataEvent& Value);
  void SetOnFilterRecord(const TFilterRecordEvent& Value) override;
  void SetFiltered(bool Value) override;
  int DataCount() const { return FStore ? FStore->Count() : 0; }
  int DataIndex() const { return DataIndexOf(RecNo()); }
  bool IsLoading() const { return FIsLoading; }

  // ---- store access ----------------------------------------------------------------------------------
  // The stored field serving AField; nullptr for none or a field without a slot.
  TIdField* IdFieldOf(const TField* AField) const;
  // Raises the dataset error "IdField '%s' not found".
  TIdField* IdFieldByName(const String& AFieldName) const;
  // -1 outside 1 .. RecordCount; else the data index of that record number in the view.
  int DataIndexOf(int ARecNo) const;
  // The rows and layout (nullptr while closed).
  TIdRecordStore* Store() const { return FStore.get(); }
  TBlobTable& Blobs() const { return *FBlobs; }
  // The record buffer field reads and writes address in the present state, or nullptr (StateBuffer).
  TRecordBuffer GetActiveRecBuf() const { return StateBuffer(); }

  // ---- operations ------------------------------------------------------------------------------------
  virtual void EmptyDataSet();
  // The rows of the view, sorted and filtered as shown, in the "TD" format. AStream is emptied first
  // and left at position 0. A closed dataset raises the dataset error.
  void SaveToStream(TStream* AStream, bool AExcludeVirtual = false);
  void SaveToFile(const String& AFileName, bool AExcludeVirtual = false);

  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  bool GetCurrentRecord(TRecordBuffer Buffer) override;

  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;
  bool GetFieldData(TField* Field, TValueBuffer Buffer) override;
  void WriteFieldData(TField* Field, TConstValueBuffer Buffer) override;
  Variant GetStateFieldValue(TDataSetState AState, TField* Field) override;
  void CloseBlob(TField* Field) override;

  // The value of a stored field in a row, the platform's dynamic value (Null for null).
  Variant GetAsVariant(const TIdField& AIdField, int AIndex) const;

 protected:
  // Reads a "TD" stream (fields and rows, replacing what the dataset holds) or a "TR" stream (rows
  // into the fields of the open dataset, replacing its rows). Everything is read and checked before the
  // dataset changes: on any error the dataset keeps its fields, rows and state.
  virtual void ReadFromStream(TStream* Stream);
  // Fields for the VirtualFieldDefs items whose names no field bears yet.
  void CreateVirtualFields();
  void SetIsLoading(bool Value);
  // The row list sorted by the sort text (or by bookmark when Resort and there are no keys).
  void ApplySort(bool Resort);
  // After a post or add: moves the current row to its sorted place (when Moved), then offers it to the
  // filter.
  void KeepCurrentInOrder(bool Moved);
  void ApplyFilter();
  bool IsFilterActive() const;

  // ---- framework slots --------------------------------------------------------------------------------
  void CursorOpen() override;
  void CursorClose() override;
  bool CursorIsOpen() const override { return FActive; }
  void CursorReadFieldDefs() override;
  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override;
  void CursorFirst() override;
  void CursorLast() override;
  void CursorPost() override;
  void CursorAddRecord(TRecordBuffer Buffer, bool Append) override;
  void CursorDelete() override;
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
  int GetRecordSize() const override { return FStore ? FStore->RecordSize() : 0; }
  int GetRecordCount() const override;
  int GetRecNo() const override;
  void SetRecNoValue(int Value) override;
  bool GetCanModify() const override { return FIsLoading || !FReadOnly; }
  void ResetCalculatedFields(TRecordBuffer Buffer) override;
  void UpdateCalculatedFields(TRecordBuffer Buffer) override;

  void DoAfterCancel() override;
  void DoAfterClose() override;
  void DoAfterInsert() override;
  void DoAfterOpen() override;
  void DoAfterPost() override;
  void DoBeforeClose() override;
  void DoBeforeInsert() override;
  void DoBeforeOpen() override;
  void DoBeforePost() override;
  void DoOnNewRecord() override;

 private:
  friend class TIdBlobStream;

  // Makes a data field of the platform's class for Type, named FieldName, attached to this dataset.
  TField* MakeField(const String& FieldName, TFieldType Type, int Size);
  String MakeFieldComponentName(const String& FieldName) const;
  // Every row goes. While no load is staging rows, the blob table is emptied whole (the record buffers
  // let go of their values first): no work per value.
  void ClearRecords();
  // The data index of the row carrying Bookmark (searched from the cursor outward), -1 for none.
  int FindBookmarkIndex(TConstValueBuffer Bookmark) const;
  // Position of a data index in FFilters, -1 when the filter hides it.
  int FilterPositionOf(int DataIndex) const;
  int CompareRows(const Byte* A, const Byte* B) const;
  void AddCurrentToFilter();
  bool RowPassesFilter(int DataIndex);
  // Refetches the window from the cursor (or from the first row when nothing is shown).
  void RefetchBuffers();
  // The search behind Locate and Lookup: a view position or -1.
  int FindRecordIndex(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options);
  int BinarySearchFirstSortKey(const TIdSorting& Key, std::span<const Byte> KeyBytes, bool& Hit) const;
  int FindByFirstSortKey(const TIdSorting& Key, const Variant& Value, TLocateOptions Options) const;
  bool RowMatches(const TIdField& Field, const Variant& Value, int DataIndex, TLocateOptions Options) const;
  // The fields a save writes, with their descriptors; raises the dataset error when closed.
  void CollectSavedFields(bool AExcludeVirtual, std::vector<idstream::TIdFieldDescriptor>& Descriptors,
                          std::vector<const TIdField*>& SavedFields) const;
  // A store with the layout these descriptors and the VirtualFieldDefs items would give the dataset.
  std::unique_ptr<TIdRecordStore> StagingStoreFor(const std::vector<idstream::TIdFieldDescriptor>& Descriptors) const;
  // The names and types of the VirtualFieldDefs items CreateVirtualFields would make, in order.
  std::vector<const TFieldDef*> VirtualDefsToMake(const std::vector<idstream::TIdFieldDescriptor>& Taken) const;
  // Raises what making and opening the fields of Staging (the descriptors, then the virtual fields)
  // would raise, before the dataset is touched: a load must fail whole or not at all.
  void CheckFieldsCanBeMade(const std::vector<idstream::TIdFieldDescriptor>& Descriptors,
                            const TIdRecordStore& Staging) const;
  bool IsVirtualField(const TField* Field) const;

  // The pages of the rows this dataset dropped, kept for its next rows (a load stages its rows beside
  // those it replaces, so they go into memory the previous load gave back).
  std::unique_ptr<sys::TPageReserve> FRowPages;
  std::unique_ptr<TBlobTable> FBlobs;
  std::unique_ptr<TIdRecordStore> FStore;
  std::unique_ptr<TFieldDefs> FVirtualFieldDefs;
  std::vector<TField*> FVirtualFields;   // borrowed: the field list owns them
  std::vector<TField*> FCalcFields;      // borrowed
  std::vector<TIdField*> FIdFieldByNo;  // borrowed from the store, by TField::FieldNo() - 1
  std::vector<std::int32_t> FFilters;
  std::vector<TIdSorting> FSortings;
  TIdFilterDataEvent FOnFilterData;
  std::vector<Byte> FBlobScratch;          // memory of one blob stream at a time
  // Every record buffer this dataset handed out and has not yet released: with the rows, the only
  // holders of blob handles outside a load's staging store.
  std::vector<TRecordBuffer> FLiveBuffers;
  int FStagingLoads = 0;  // loads under way, whose staging rows hold handles into FBlobs too
  bool FBlobScratchInUse = false;
  String FSort;
  std::int32_t FCurRec = -1;
  std::int32_t FFilterCurRec = -1;
  bool FActive = false;
  bool FReadOnly = false;
  bool FIsLoading = false;
  bool FIsFiltered = false;
};

class TIdMemDataSet : public TIdCustomDataSet {
  VELLUM_CLASS(TIdMemDataSet)
 public:
  explicit TIdMemDataSet(TComponent* AOwner) : TIdCustomDataSet(AOwner) {}

  // Closes, makes the fields of VirtualFieldDefs and opens (no rows).
  void CreateDataSet();
  // Removes every row when open; creates the dataset when closed.
  void EmptyDataSet() override;
  // Replaces fields and rows with the stream's; on an error the dataset keeps what it held.
  void LoadFromStream(TStream* AStream);
  // Nothing happens when the file does not exist.
  void LoadFromFile(const String& AFileName);
};
