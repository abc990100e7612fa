// The engine cursor: one session's handle on one open table (or view). It fixes the state every
// cursor carries, the record-buffer layout with field access and position bookkeeping, and the table
// of virtual operations that the local cursor implements over the table data. An operation the
// concrete cursor does not provide raises 30339 naming the operation and the class.
//
// Record buffer of a cursor with n columns (E = last column's MemoryOffset + MemoryDataSize):
//   0 .. ceil(n/8)-1     null bitmap, bit i mod 8 of byte i div 8 set = column i is NULL
//   FieldValuesOffset..  the column values at their memory offsets
//   E .. E+6             bookmark: Int32 PageNo, UInt16 PageItemNo, one flag byte (3 while inserting)
//   E+7 ..               calculated fields of the owning dataset
// RecordSize = E + 7. A key buffer is E + 6 bytes: a record image and, at KeyOffset = E, the owner's
// key state {Byte modified, Byte key-exclusive, Int32 key field count}.
//
// The cursor's owner (a dataset component, or nil) is reached through TMdbCursorOwner: calculated
// fields, filters and index definitions live there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbNameArray.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "platform/rtl/Variant.h"

class TStream;
class TMdbStream;
class TMdbCursor;
class TMdbBaseSession;
class TMdbRecordBitmap;
class TMdbWideStringList;
class TMdbVariant;

inline constexpr std::int32_t kMdbBookmarkSize = 7;
inline constexpr std::int32_t kMdbKeyStateSize = 6;
inline constexpr Byte kMdbBookmarkInsertFlag = 3;

// What a cursor needs of the dataset component that owns it.
class TMdbCursorOwner {
 public:
  virtual ~TMdbCursorOwner() = default;
  // Clears the calculated-field area of Buffer and computes the calculated fields into it.
  virtual void ClearAndGetCalcFields(Byte* Buffer) = 0;
  // Re-applies the owner's filter to its engine cursor (ActivateFilters or DeactivateFilters, then the
  // record-filter hook); 10269 without an engine cursor.
  virtual void ActivateFilters() = 0;
  // Rebuilds the owner's index definitions from Cursor's.
  virtual void UpdateIndexDefinitions(TMdbCursor* Cursor) = 0;
  // The record-filter callback: the owner's answer for the record in Buffer (True without a handler).
  virtual bool FilterRecord(const Byte* Buffer) = 0;
  // The owner's engine cursor, or nil.
  virtual TMdbCursor* EngineCursor() const = 0;
};

using TMdbFilterRecordEvent = std::function<bool(const Byte* Buffer)>;

class TMdbCursor : public TObject {
  VELLUM_CLASS(TMdbCursor)
 public:
  TMdbCursor();
  ~TMdbCursor() override;
  TMdbCursor(const TMdbCursor&) = delete;
  TMdbCursor& operator=(const TMdbCursor&) = delete;

  // ---- virtual operations, in slot order ----------------------------------------------------------
  virtual void SetCaseInsensitive(bool Value) { FCaseInsensitive = Value; }
  virtual void CreateTable(TMdbFieldDefs* FieldDefs, TMdbIndexDefs* IndexDefs, TMdbConstraintDefs* ConstraintDefs);
  virtual void DeleteTable(bool Cascade);
  virtual void EmptyTable();
  virtual void RenameTable(const String& NewTableName);
  // Base: renames the column in FieldDefs; 30345 when absent, 30346 when the new name is taken.
  virtual void RenameField(const String& FieldName, const String& NewFieldName);
  virtual bool RepairTable(AnsiString& Log, TMdbBaseSession* NewSession, TMdbConstraintDefs* ConstraintDefs);
  virtual void AddForeignKey(TMdbConstraintDefForeignKey* ConstraintDef);
  virtual void DeleteConstraint(const String& Name, bool Cascade, bool FKPartialDelete);
  virtual void LoadTableFromStream(TStream* Stream);
  virtual void SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                                 std::int32_t BlockSize, bool SkipCheckIsTableOpened, bool DoNotCloseTable);
  virtual String ExportTableToSQL(bool ExportStructure, bool AddDropTableCommand, bool ExportIndexes,
                                  bool AddDropIndexCommand, bool ExportData, bool ExportBLOBFields,
                                  bool UseBracketsForNames, bool ExportForeignKeys);
  virtual void InternalInitFieldDefs();
  virtual void OpenTableByFieldDefs(TMdbFieldDefs* FieldDefs, TMdbIndexDefs* IndexDefs,
                                    TMdbConstraintDefs* ConstraintDefs);
  virtual void UpdateTableDefinitions() {}
  virtual void CloseTable();
  // Base: every column NULL; then, for an insert into a table that is not temporary, the defaults.
  virtual void InternalInitRecord(Byte* RecordBuffer, bool InsertMode);
  virtual TMdbIndexDefs* GetIndexDefs() { return &FIndexDefs; }
  virtual void AddIndex(TMdbIndexDef* IndexDef);
  virtual void DeleteIndex(const String& Name);
  virtual void DeleteAllIndexes();
  virtual String FindIndex(TMdbWideStringList* FieldNamesList, TMdbWideStringList* AscDescList,
                           TMdbWideStringList* CaseSensitivityList);
  virtual bool IsTemporaryTable();
  virtual bool IsMemoryTable();
  virtual bool IsRecordExists();
  virtual Int64 GetRecordCount();
  virtual TMdbGetRecordResult GetRecordBuffer(TMdbGetRecordMode GetRecordMode);
  virtual void SetRecNo(Int64 Value);
  virtual Int64 GetRecNo();
  virtual void InternalRefresh();
  virtual void InternalInsert() {}
  virtual void InternalEdit();
  virtual void InternalCancel(bool ToInsert);
  virtual void InternalPost(bool ToInsert);
  virtual void InternalDelete();
  virtual void DeleteVisibleRecords();
  virtual void UpdateVisibleRecords(TMdbWideStringList* FieldNames, const std::vector<TMdbVariant*>& Values,
                                    bool SkipFKCheck);
  virtual void DisableRecordBitmap();
  virtual void ApplyProjection(TMdbWideStringList* FieldNamesList, TMdbWideStringList* AliasList);
  virtual void ActivateFilters(const String& FilterText, bool CaseInsensitive, bool PartialKey);
  virtual void DeactivateFilters();
  virtual bool Locate(const String& KeyFields, const Variant& KeyValues, bool CaseInsensitive, bool PartialKey);
  virtual bool FindKey(TMdbSearchCondition SearchCondition);
  virtual void ResetRange();
  virtual void ApplyRange(Byte* StartBuffer, Byte* EndBuffer, std::int32_t StartKeyFieldCount,
                          std::int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive);
  virtual void SetSQLFilter(TMdbBaseExpression* FilterExpr);
  virtual TMdbStream* InternalCreateBlobStream(bool ToInsert, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode);
  virtual void InternalCloseBLOB(std::int32_t FieldNo);
  virtual void ClearBLOBStreams(bool WriteOnly);
  virtual Int64 LastAutoincValue(std::int32_t FieldNo);
  virtual void SetLastAutoincValue(Int64 Value, std::int32_t FieldNo);
  virtual TMdbTableState GetTableState();
  virtual void LockTable(bool bWriteMode);
  virtual void UnlockTable(bool bWriteMode);

  // ---- fields and values ---------------------------------------------------------------------------
  void SetIndexName(const String& Value);
  // FieldNo counts in VisibleFieldDefs (10005 at or past their count): False for NULL.
  bool GetFieldData(std::int32_t FieldNo, void* Buffer, const Byte* RecordBuffer) const;
  // Buffer nil sets NULL (10006 for a bad FieldNo).
  void SetFieldData(std::int32_t FieldNo, const void* Buffer, Byte* RecordBuffer) const;
  // DirectAccess: FieldNo counts in FieldDefs (10317), else in VisibleFieldDefs (10737).
  void GetFieldValue(TMdbVariant* Value, std::int32_t FieldNo, bool DirectAccess, bool CopyFlag);
  // aFieldNo counts in VisibleFieldDefs, as the stream routines do.
  void GetBLOBValue(TMdbVariant* V, std::int32_t aFieldNo);
  // Codes 10318 / 10738 for a bad number, 11589 / 11591 for a present value into a BLOB column. The
  // caller's value is cast to the column's type. RecordBuffer nil: CurrentRecordBuffer.
  void SetFieldValue(TMdbVariant* Value, std::int32_t FieldNo, bool DirectAccess, Byte* RecordBuffer = nullptr);

  // ---- buffers and positions -----------------------------------------------------------------------
  // A zero-filled record buffer of RecordBufferSize bytes; the first call also makes TempRecordBuffer.
  Byte* AllocateRecordBuffer();
  void FreeRecordBuffer(Byte*& Buffer);
  Byte* AllocateKeyRecordBuffer();
  void InternalInitKeyBuffer(Byte* RecordBuffer);
  void InternalFirst() {
    FirstPosition = true;
    LastPosition = false;
  }
  void InternalLast() {
    FirstPosition = false;
    LastPosition = true;
  }
  // An 8-byte block {Byte First, Byte Last, Int32 PageNo, UInt16 PageItemNo}.
  void* SavePosition() const;
  void RestorePosition(const void* Pos);
  void FreePosition(void*& Pos) const;
  void GetCalcFieldsAndBookMarkData(bool bInsert);
  bool IsIndexApplied() const { return FIndexID != -1; }
  bool IsFilterApplied() const { return FFilterExpression || FilterRecord || FSQLFilterExpression; }
  bool IsRangeApplied() const { return FRangeStartBuffer || FRangeEndBuffer; }
  bool IsViewRestricted() const { return IsFilterApplied() || IsRangeApplied(); }
  void UpdateIndexDefinitions();
  // Sets the record layout fields from FieldDefs (with a bookmark and CalcFieldsSize extra bytes).
  void SetRecordLayout(std::int32_t CalcFieldsSize = 0);

  // ---- state ---------------------------------------------------------------------------------------
  std::int32_t FMemoryTableAllocBy = 1000;
  bool FSettingProjection = false;
  bool FIsProjectionSet = false;
  String FComment;
  String FTableName;
  String FIndexName;
  std::int32_t FIndexID = -1;
  bool FReadOnly = false;
  bool FExclusive = false;
  bool FInMemory = false;
  bool FTemporary = false;
  TMdbBaseSession* FSession = nullptr;
  bool FIsOpen = false;
  bool FPhysicalOrder = false;
  TObject* FCurrentRecordPositionInIndex = nullptr;
  Byte* FTempRecordBuffer = nullptr;
  Byte* FCurrentRecordBuffer = nullptr;
  Byte* FEditRecordBuffer = nullptr;
  TMdbConstraintDefs FConstraintDefs;
  TMdbCompression FBLOBCompression;
  TMdbFieldDefs FFieldDefs;
  TMdbFieldDefs FVisibleFieldDefs;
  TMdbIndexDefs FIndexDefs;
  std::vector<TMdbStream*> FBLOBStreams;  // owned by the concrete cursor
  std::unique_ptr<TMdbRecordBitmap> FRecordBitmap;
  bool FIsClientCursor = false;
  bool FCreateTableStarted = false;
  bool FRandomOrder = false;
  bool FSkipTableExistsCheck = false;
  bool FDirectSetAutoInc = false;
  bool FCaseInsensitive = false;
  bool FIsView = false;
  bool FIsViewWithCheckOption = false;
  String FViewName;
  String FViewColumns;
  String FViewSelect;
  std::int32_t FErrorCode = 0;
  String FErrorMessage;
  bool FIsDesignMode = false;
  std::int32_t FRecordBufferSize = 0;
  std::int32_t FRecordSize = 0;
  std::int32_t FKeyBufferSize = 0;
  std::int32_t FKeyOffset = 0;
  std::int32_t FKeyFieldCount = 0;
  std::int32_t FFieldValuesOffset = 0;
  std::int32_t FCalculatedFieldsOffset = 0;
  std::int32_t FBookmarkOffset = 0;
  TMdbBaseExpression* FFilterExpression = nullptr;     // owned by the concrete cursor
  TMdbBaseExpression* FSQLFilterExpression = nullptr;  // owned by the concrete cursor
  Byte* FKeyBuffer = nullptr;
  Byte* FRangeStartBuffer = nullptr;
  Byte* FRangeEndBuffer = nullptr;
  bool FRangeStartExclusive = false;
  bool FRangeEndExclusive = false;
  std::int32_t FRangeStartKeyFieldCount = 0;
  std::int32_t FRangeEndKeyFieldCount = 0;
  bool FRepair = false;
  TMdbRecordID CurrentRecordID;
  bool FirstPosition = false;
  bool LastPosition = false;
  TMdbFilterRecordEvent FilterRecord;
  TMdbCursorOwner* Dataset = nullptr;

 protected:
  [[noreturn]] void NotOverridden(const char16_t* Method) const;
  const TMdbFieldDef& VisibleToTableField(std::int32_t FieldNo, int Code, std::int32_t& TableFieldNo) const;
};
