// TMemEngineDataSet: the one in-memory dataset engine behind the platform's FD memory table, client
// dataset and ADO dataset. It keeps its rows in a TRowStore (RowStore.h) and saves and loads them in
// the data file format (DataFile.h) under the magic of the concrete class.
//
// Record buffers (the framework's window) are laid out as
//   [record data: TRecordLayout::DataSize()] [calculated area: CalcFieldsSize()] [pad to 8]
//   [bookmark: TRowBookmark, 8 bytes] [flag: TBookmarkFlag, 1 byte] [pad to 8]
// so a fetch copies one block and a post hands the same block to the store.
//
// The cursor is a position: -1 before the first row, Count() after the last, else a row index. Every
// operation the framework starts "on the current row" first puts the cursor on the active buffer's
// bookmark; the store finds a bookmark's position from where the row was last seen, so that costs
// O(1) for the rows just fetched, posted or deleted.
//
// Loading reads into a fresh store and swaps it in only after the whole input checked out, so bad
// input raises and the rows held before stay.
#pragma once

#include <memory>

#include "platform/db/DB.h"
#include "platform/engines/DataFile.h"
#include "platform/engines/RowStore.h"

class TMemEngineDataSet : public TDataSet {
  VELLUM_CLASS(TMemEngineDataSet)
 public:
  TMemEngineDataSet(TComponent* AOwner, const TDataFileMagic& Magic);
  ~TMemEngineDataSet() override;

  // Makes an empty store from FieldDefs and opens the dataset (closing it first when open). Raises
  // EDatabaseError without field definitions or for a definition the store cannot hold.
  void CreateDataSet();
  // Removes every row (cancelling an edit or insert first); the dataset stays open.
  void EmptyDataSet();
  // Kept for the callers that set it; the engine keeps no change log either way, so memory use and
  // speed do not depend on it.
  bool LogChanges() const { return FLogChanges; }
  void SetLogChanges(bool Value) { FLogChanges = Value; }

  // The engine's rows, for the save and load routines of the concrete classes.
  const TDataFileMagic& Magic() const { return FMagic; }
  bool HasStore() const { return FStore != nullptr; }

  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  bool GetFieldData(TField* Field, TValueBuffer Buffer) override;
  void WriteFieldData(TField* Field, TConstValueBuffer Buffer) override;
  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override;
  bool IsSequenced() const override { return !Filtering(); }
  bool GetCurrentRecord(TRecordBuffer Buffer) override;
  // Linear searches over the rows in their order (the engine keeps no indexes). Key fields are
  // ";"-separated; several keys take an array of values. loCaseInsensitive and loPartialKey apply to
  // text values. The filter event, when filtering, hides rows from both.
  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override;

  // Rows are filtered through OnFilterRecord only; a filter expression raises EDatabaseError when
  // filtering is switched on, as the engine has no expression evaluator.
  void SetFiltered(bool Value) override;
  void SetFilterText(const String& Value) override;
  void SetOnFilterRecord(const TFilterRecordEvent& Value) override;

  // Writes the rows (posting a pending edit first). Raises EDatabaseError when there are none to write
  // (never opened or created).
  void SaveRowsToStream(TStream& Stream);
  void SaveRowsToFile(const String& FileName);
  // Reads rows into a fresh store, then replaces the dataset's rows and field definitions and leaves
  // it open. Bad input raises EMemDataFileError and changes nothing.
  void LoadRowsFromStream(TStream& Stream);
  void LoadRowsFromFile(const String& FileName);
  // Replaces the rows with Store (the dataset ends open).
  void AdoptStore(std::unique_ptr<TRowStore> Store);
  TRowStore* Store() const { return FStore.get(); }

 protected:
  void CursorOpen() override;
  void CursorClose() override;
  bool CursorIsOpen() const override { return FCursorOpen; }
  void CursorReadFieldDefs() override;
  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override;
  void CursorFirst() override { FCursor = -1; }
  void CursorLast() override { FCursor = FStore ? static_cast<Int64>(FStore->Count()) : 0; }
  void CursorPost() override;
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

  int GetRecordSize() const override;
  int GetRecordCount() const override;
  int GetRecNo() const override;
  void SetRecNoValue(int Value) override;
  // The framework's choice, but for the row a search probes and dsOldValue, which shows the buffer.
  TRecordBuffer StateBuffer() const override;

 private:
  friend class TMemBlobStream;
  // The column of a data field, or -1 for calculated, lookup and unknown fields.
  int ColumnOf(const TField* Field) const;
  void BuildStoreFromFieldDefs();
  void CopyRowToBuffer(std::size_t Index, TRecordBuffer Buffer);
  TRowBookmark BufferBookmark(TRecordBuffer Buffer) const;
  void BlobWritten(TField* Field);
  bool Filtering() const { return Filtered() && static_cast<bool>(OnFilterRecord()); }
  bool PassesFilter(TRecordBuffer Buffer) { return !Filtering() || RecordPassesFilterEvent(Buffer); }
  void CheckFilterExpression(bool Filtered, const String& Text);
  // The first row (from the start) whose key fields hold KeyValues, or npos.
  std::size_t FindRow(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options, std::vector<Byte>& Probe);

  TDataFileMagic FMagic;
  std::unique_ptr<TRowStore> FStore;
  // While set, fields read this buffer whatever the state: a search reads rows without moving.
  TRecordBuffer FProbeBuffer = nullptr;
  Int64 FCursor = -1;
  bool FCursorOpen = false;
  bool FLogChanges = true;
  std::uint32_t FCalcOffset = 0;
  std::uint32_t FBookmarkOffset = 0;
  std::uint32_t FFlagOffset = 0;
  std::uint32_t FBufferSize = 0;
};
