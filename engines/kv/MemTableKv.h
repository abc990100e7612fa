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

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/RecordsViewKv.h"
#include "platform/classes/Streams.h"
#include "platform/db/DB.h"

enum TDfmStreamFormatKv { dfmBinaryKv, dfmTextKv };

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

  void SetLength(size_t Len) {
    if (Values.size() != Len) Values.resize(Len);
    Clear();
  }
  void Clear() {
    for (Variant& v : Values) v = Null();
  }
};

class TCustomMemTableKv;

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

class TCustomMemTableKv : public TDataSet {
  VELLUM_CLASS(TCustomMemTableKv)
 public:
  explicit TCustomMemTableKv(TComponent* AOwner);
  ~TCustomMemTableKv() override;

  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;

  // The data the table shows and its view.
  TRecordsViewKv* RecordsView() const { return FRecordsView; }
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

  void SaveToFile(const String& FileName, TDfmStreamFormatKv Format = dfmBinaryKv);
  void LoadFromFile(const String& FileName);
  // The binary save stream at the stream's position / read from it (atomic; see the file head).
  void SaveToStream(TStream* Stream);
  void LoadFromStream(TStream* Stream);

  // ---- order, status filter and cached updates ----
  // Field names with ASC / DESC, separated by ";" or ","; the view keeps its rows in that order (equal
  // keys in records-list order). An unknown name raises " Field - "name" not found.", another token
  // " Invalid token - "tok""; the order stays as it was then. The cursor goes to the first row.
  const String& SortOrder() const { return FSortOrder; }
  void SetSortOrder(const String& Value);
  // Rows whose record's update status is in the set are shown ([usUnmodified, usModified, usInserted]).
  TUpdateStatusSetKv StatusFilter() const { return FRecordsView->StatusFilter(); }
  void SetStatusFilter(TUpdateStatusSetKv Value);
  // Text comparisons of the sort order ignore case.
  bool SortCaseInsensitive() const { return FRecordsView->SortOrderCaseInsensitive(); }
  void SetSortCaseInsensitive(bool Value);
  // Changes are kept in a change log (with the values before them) until ApplyUpdates merges it or
  // CancelUpdates undoes it.
  bool CachedUpdates() const { return FInternMemTableData->RecordsList()->CachedUpdates(); }
  void SetCachedUpdates(bool Value) { FInternMemTableData->RecordsList()->SetCachedUpdates(Value); }
  // Without a data driver the change log is merged: deleted records go, the rest become unmodified.
  int ApplyUpdates(int MaxErrors = -1);
  void CancelUpdates();
  // Orders two records by the order-by list (records-list order without one, and for equal keys).
  int CompareMemRecords(TMemoryRecordKv* Rec1, TMemoryRecordKv* Rec2, const TOrderByList* List) const;
  // The parsed form of a sort text over this table's fields (see SetSortOrder for the messages).
  std::unique_ptr<TOrderByList> ParseSortOrder(const String& Text) const;
  // Sorts the records list itself by a sort text (the stored order of the records changes).
  void SortByOrderString(const String& Text);

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
  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override;
  TUpdateStatus UpdateStatus() const override;

  // The buffer field access uses now (by state); nullptr when none.
  TMTRecBuf* GetActiveMTRecBuf() const;
  // Stores Value as the field's value in the active buffer (blob streams end here).
  void StoreFieldValue(TField* Field, Variant Value);

 protected:
  void CursorOpen() override;
  void CursorClose() override;
  bool CursorIsOpen() const override { return FActive; }
  void CursorReadFieldDefs() override;
  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override;
  void CursorFirst() override { FRecordPos = -1; }
  void CursorLast() override { FRecordPos = FRecordsView->ViewItemsCount(); }
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
  const Variant& BufValue(const TMTRecBuf* RecBuf, TField* Field) const;
  void BufSetValue(TMTRecBuf* RecBuf, TField* Field, Variant Value);
  void LoadRecBuf(TMemoryRecordKv* MemRec, int RowNum, TMTRecBuf* RecBuf);
  void RecBufToMemRecord(TMTRecBuf* RecBuf, TMemoryRecordKv* MemRec);
  int RowOfBookmark(const TBookmarkDataKv& Bookmark) const;
  void ClearAllRecords();
  // OnFilterRecord hides rows while Filtered: fetches skip them, counts and row numbers count the rest.
  bool FilterActive() const { return Filtered() && OnFilterRecord(); }
  bool RowPasses(int Row, TMTRecBuf* Buffer);
  int FindRow(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options);
  // Runs Body with row Row readable through the fields (dsFilter over a scratch buffer).
  template <class F>
  auto WithRowInFilterState(int Row, F Body);
  void LoadStaged(std::unique_ptr<TMemTableDataKv> Staged);
  void BindView(TMemTableDataKv* Data);

  void ApplySortOrder();
  void RefreshRecordsView();

  String FSortOrder;
  std::vector<std::unique_ptr<TMTRecBuf>> FRecordCache;
  TMemTableDataKv* FInternMemTableData;  // owned as component "MemTableData"
  TRecordsViewKv* FRecordsView;           // owned
  std::vector<TField*> FDataFields;       // by FieldNo - 1
  bool FActive = false;
  bool FReadOnly = false;
  int FRecBufSize = 0;
  int FRecordPos = -1;
  // The scratch buffer of scans (filter counts, Locate, Lookup); fields read it while FScanning.
  mutable TMTRecBuf FScanBuf;
  bool FScanning = false;
};

class TMemTableKv : public TCustomMemTableKv {
  VELLUM_CLASS(TMemTableKv)
 public:
  explicit TMemTableKv(TComponent* AOwner) : TCustomMemTableKv(AOwner) {}
};
