// The local cursor: the one concrete cursor of the engine. It keeps no records of its own: it finds
// the shared table data object of its table in its session's database data and delegates every record
// operation to it, passing itself so that the table data reads and writes its buffers and position.
// What it owns is per client: the record-buffer geometry, copies of the table's field, index and
// constraint definitions, the visible (projected) field list, the BLOB streams opened through it, the
// filter expression, the record bitmap, and the outcome of the last post or delete.
//
// Contract:
// - Created closed by the session's cursor factory; the client sets the open flags, then opens
//   (OpenTableByFieldDefs, or OpenTable on a table data another party opened). Record operations are
//   valid only while open.
// - Posting and deleting never raise for a refused or failed record: FErrorCode and FErrorMessage
//   carry the outcome (0 done; -1 insert, -2 update, -3 delete failed; -8 kept when the table data set
//   it; -9 edit, -10 delete, -11 cancel refused on a temporary table).
// - One writer per BLOB field: a second stream opened for writing on the same field raises 10115;
//   any number of readers may be open beside it. Post and cancel settle the write streams; close frees
//   every stream. A released stream is kept (a few at most) and opened again for the next value.
// - The table operations (create, delete, empty, rename, repair, streams, index definitions) close the
//   cursor first and leave it closed; see MdbLocalCursorTable.cpp.
// - Field numbers are never negative: a negative number is refused with the operation's code.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbLocalBLOBStream.h"

class TMdbTableData;
class TMdbDatabaseData;

class TMdbLocalCursor : public TMdbCursor {
  VELLUM_CLASS(TMdbLocalCursor)
 public:
  TMdbLocalCursor() = default;
  ~TMdbLocalCursor() override;

  // ---- table operations ----------------------------------------------------------------------------
  void CreateTable(TMdbFieldDefs* FieldDefs, TMdbIndexDefs* IndexDefs, TMdbConstraintDefs* ConstraintDefs) override;
  void DeleteTable(bool Cascade) override;
  void EmptyTable() override;
  void RenameTable(const String& NewTableName) override;
  void RenameField(const String& FieldName, const String& NewFieldName) override;
  bool RepairTable(AnsiString& Log, TMdbBaseSession* NewSession, TMdbConstraintDefs* ConstraintDefs) override;
  void AddForeignKey(TMdbConstraintDefForeignKey* ConstraintDef) override;
  void DeleteConstraint(const String& Name, bool Cascade, bool FKPartialDelete) override;
  void LoadTableFromStream(TStream* Stream) override;
  void SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                         std::int32_t BlockSize, bool SkipCheckIsTableOpened, bool DoNotCloseTable) override;
  void UpdateTableDefinitions() override;
  TMdbIndexDefs* GetIndexDefs() override;
  void AddIndex(TMdbIndexDef* IndexDef) override;
  void DeleteIndex(const String& Name) override;
  void DeleteAllIndexes() override;
  String FindIndex(TMdbWideStringList* FieldNamesList, TMdbWideStringList* AscDescList,
                   TMdbWideStringList* CaseSensitivityList) override;

  // ---- open and close ------------------------------------------------------------------------------
  void InternalInitFieldDefs() override;
  void OpenTableByFieldDefs(TMdbFieldDefs* FieldDefs, TMdbIndexDefs* IndexDefs,
                            TMdbConstraintDefs* ConstraintDefs) override;
  void CloseTable() override;
  // Attaches the cursor to a table data object another party opened; closing leaves it open.
  void OpenTable(TMdbTableData* aTableData);
  void FreeSavedPosition();

  // ---- records -------------------------------------------------------------------------------------
  bool IsTemporaryTable() override;
  bool IsMemoryTable() override;
  bool IsRecordExists() override;
  Int64 GetRecordCount() override;
  TMdbGetRecordResult GetRecordBuffer(TMdbGetRecordMode GetRecordMode) override;
  void SetRecNo(Int64 Value) override;
  Int64 GetRecNo() override;
  void InternalEdit() override;
  void InternalCancel(bool ToInsert) override;
  void InternalPost(bool ToInsert) override;
  void InternalDelete() override;
  void DeleteVisibleRecords() override;
  void UpdateVisibleRecords(TMdbWideStringList* FieldNames, const std::vector<TMdbVariant*>& Values,
                            bool SkipFKCheck) override;
  void DisableRecordBitmap() override;
  void ApplyProjection(TMdbWideStringList* FieldNamesList, TMdbWideStringList* AliasList) override;
  void ActivateFilters(const String& FilterText, bool CaseInsensitive, bool PartialKey) override;
  void DeactivateFilters() override;
  bool Locate(const String& KeyFields, const Variant& KeyValues, bool CaseInsensitive, bool PartialKey) override;
  bool FindKey(TMdbSearchCondition SearchCondition) override;
  void ResetRange() override;
  void ApplyRange(Byte* StartBuffer, Byte* EndBuffer, std::int32_t StartKeyFieldCount, std::int32_t EndKeyFieldCount,
                  bool StartExclusive, bool EndExclusive) override;
  void SetSQLFilter(TMdbBaseExpression* FilterExpr) override;
  TMdbStream* InternalCreateBlobStream(bool ToInsert, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode) override;
  void InternalCloseBLOB(std::int32_t FieldNo) override;
  void ClearBLOBStreams(bool WriteOnly) override;
  Int64 LastAutoincValue(std::int32_t FieldNo) override;
  void SetLastAutoincValue(Int64 Value, std::int32_t FieldNo) override;
  TMdbTableState GetTableState() override;
  void LockTable(bool bWriteMode) override;
  void UnlockTable(bool bWriteMode) override;

  TMdbTableData* TableData() const { return FTableData; }

  TMdbTableData* FTableData = nullptr;
  TMdbDatabaseData* FDatabaseData = nullptr;
  void* FSavedPosition = nullptr;
  Byte* FSavedRecordBuffer = nullptr;
  bool FDoNotCloseTableData = false;
  bool FDoNotUnlockTable = false;

 private:
  // Is the table data registered in its database (found there and left there by every operation)?
  bool RegisteredTables() const;
  // The session's database data; Code with "Nil pointer occured" when the session is not bound.
  TMdbDatabaseData* RequireDatabaseData(int Code);
  void ReloadDefinitionCopies();
  // Deletes the table of Old (freeing Old) now that New stands in its place; when the delete is
  // refused, New goes instead and the old table stays.
  void ReplaceTableData(TMdbTableData* Old, TMdbTableData* New, bool Cascade);
  // The session's database data (11761-style failure left to each caller).
  TMdbDatabaseData* SessionDatabaseData() const;
  // Frees a private table data object (one the operation made for a cursor neither in memory nor
  // temporary) and forgets the table data.
  void ReleaseTableData();
  // Frees one BLOB stream of FBLOBStreams at Index, through its component wrapper when there is one
  // (whose destruction closes the field again), and removes it from the list.
  void ReleaseBLOBStream(std::size_t Index, std::int32_t TableFieldNo, bool WriteBack);
  // Keeps a released stream of this cursor for the next InternalCreateBlobStream, or frees it.
  void RecycleBLOBStream(TMdbStream* S) noexcept;
  bool IsDefinitionDifferent(const TMdbFieldDefs& Fields, const TMdbIndexDefs* Indexes,
                             const TMdbConstraintDefs* Constraints) const;
  void CopyRecordsForRepair(TMdbLocalCursor* Target, AnsiString& Log);

  static constexpr std::size_t kSpareBLOBStreams = 4;
  // Released BLOB streams kept for reuse (each with a small buffer); freed when the table closes.
  std::vector<std::unique_ptr<TMdbLocalBLOBStream>> FSpareBLOBStreams;
};
