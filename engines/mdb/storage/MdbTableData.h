// The table data object: the one object per table that every cursor of every session shares. It
// holds the table's name, state counters and five managers (field, constraint, index, record,
// sequence), the cursors that have it open, the building blocks from which a table is created or
// loaded, record access with BLOB fields and record numbers, and the page access of its indexes.
// Every cursor passes itself to each operation, so that the table data reads and writes that
// cursor's buffers, position and record bitmap. Slots a descendant must provide raise 30339 here.
//
// BLOB fields: a record holds a 32-bit handle into the table's BLOB block table (TMdbBlobHandleTable)
// in the first 4 bytes of the field, zeros in the next 2, and the state word at offset 6: 0x0F0F for
// a block written by the current edit and owned by that buffer, 0xF0F0 for the stored value's block.
// A block is {Int32 NumBlocks, Int64 UncompressedSize, the compressed BLOB stream's bytes}.
//
// Autoincrement sequence block of the table stream: Int32 N (10205 / 10218), then N sequence
// definitions, one per autoincrement field in field order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "engines/mdb/storage/MdbRecordManager.h"
#include "platform/classes/Classes.h"

class TStream;
class TMdbStream;
class TMdbCursor;
class TMdbBaseSession;
class TMdbDatabaseData;
class TMdbPage;
class TMdbPageManager;
class TMdbTableCache;
class TMdbRecordBufferCache;
class TMdbFindRecordCache;
class TMdbRecordBitmap;
class TMdbBaseFieldManager;
class TMdbBaseIndexManager;
class TMdbBaseSequenceManager;
class TMdbBaseConstraintManager;
class TMdbBaseExpression;
class TMdbVariant;
class TMdbWideStringList;
class TMdbLocalBLOBStream;
class TMdbLocalCursor;

class TMdbTableData : public TObject {
  VELLUM_CLASS(TMdbTableData)
 public:
  explicit TMdbTableData(TMdbDatabaseData* aDatabaseData = nullptr);
  ~TMdbTableData() override;
  TMdbTableData(const TMdbTableData&) = delete;
  TMdbTableData& operator=(const TMdbTableData&) = delete;

  // ---- virtual operations --------------------------------------------------------------------------
  virtual TMdbPageManager* GetPageManager();
  virtual std::int32_t GetTableID() { return -1; }
  virtual TMdbTableState GetTableState() { return FTableState; }
  virtual void TableStateChanged() {}
  virtual TMdbLastTableOperation GetLastTableOperation() {
    return static_cast<TMdbLastTableOperation>(FTableState.LastTableOperation);
  }
  // Data changes: TableState + 1, 4,294,967,295 wraps to 0. Structure changes: TableMetaDataState + 1,
  // 255 wraps to 0. Both stamp the date and the operation.
  virtual void ChangeTableState(TMdbLastTableOperation Operation);
  virtual void ChangeTableMetaDataState(TMdbLastTableOperation Operation);
  virtual void CreateRecordManager();
  virtual void CreateIndexManager(TMdbIndexDefs& IndexDefs);
  virtual void InitCursorRecordLayout(TMdbCursor* Cursor);
  virtual void LockTableData(bool Write);
  virtual void UnlockTableData();
  virtual void BeforeApplyChanges(std::int32_t) {}
  virtual void FreeIfNoSessionsConnected() {}
  virtual bool LockTable(bool, TMdbBaseSession*, std::int32_t&, bool) { return true; }
  virtual void UnlockTable(bool, TMdbBaseSession*, bool) {}
  virtual void CreateTable(TMdbCursor* Cursor, TMdbFieldDefs& FieldDefs, TMdbIndexDefs& IndexDefs,
                           TMdbConstraintDefs& ConstraintDefs);
  virtual void DeleteTable(TMdbBaseSession* Session, bool Cascade, bool DesignMode);
  virtual void EmptyTable(TMdbCursor* Cursor, bool SkipFKCheck);
  virtual void RenameTable(TMdbCursor* Cursor, const String& NewTableName);
  virtual void AddForeignKey(TMdbCursor* Cursor, TMdbConstraintDefForeignKey* ConstraintDef);
  virtual void DeleteConstraint(TMdbCursor* Cursor, const String& Name, bool Cascade, bool FKPartialDelete);
  virtual void RenameReferenceTableName(TMdbCursor* Cursor, const String& OldName, const String& NewName);
  // 10152 while a cursor has the table open.
  virtual void LoadTableFromStream(TMdbCursor* Cursor, TStream* Stream);
  // 10153 while a cursor has the table open, unless SkipCheckIsTableOpened.
  virtual void SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                                 std::int32_t BlockSize, bool SkipCheckIsTableOpened);
  virtual void OpenTable(TMdbCursor* Cursor);
  virtual void CloseTable(TMdbCursor* Cursor);
  virtual void RenameField(TMdbCursor* Cursor, const String& FieldName, const String& NewFieldName);
  virtual void AddIndex(TMdbIndexDef* IndexDef, TMdbCursor* Cursor);
  virtual void DeleteIndex(std::int32_t IndexID, TMdbCursor* Cursor);
  virtual void EmptyIndex(std::int32_t IndexID, std::int32_t SessionID);
  virtual void DeleteAllIndexes(TMdbCursor* Cursor);
  virtual void EmptyAllIndexes(std::int32_t SessionID);
  virtual TMdbConstraintDefForeignKeyAction* AddForeignKeyAction(TMdbCursor* Cursor,
                                                                 TMdbConstraintDefForeignKey* ConstraintDef,
                                                                 const String& ReferencedTableName,
                                                                 std::int32_t ReferencedTableObjectID);
  virtual Int64 RecordIDToInt64(const TMdbRecordID& RecordID);
  virtual TMdbRecordID Int64ToRecordID(Int64 Value);
  virtual bool FindRecord(TMdbCursor* Cursor, TMdbBaseExpression* SearchExpression, TMdbScanSearchCondition* KeyCondition,
                          bool Restart, bool GoForward, TMdbRecordID& ResultRecordID, TMdbRecordBitmap* RecordBitmap,
                          bool InternalCall, bool StopAtFirstFoundRecord);
  virtual bool IsRecordExists(TMdbCursor* Cursor);
  virtual std::int32_t CompareRecordID(const TMdbRecordID& RecordID1, const TMdbRecordID& RecordID2);
  virtual TMdbGetRecordResult GetRecordBuffer(TMdbCursor* Cursor, TMdbGetRecordMode GetRecordMode);
  virtual TMdbStream* InternalCreateBlobStream(TMdbCursor* Cursor, bool ToInsert, std::int32_t FieldNo,
                                               TMdbBLOBOpenMode OpenMode);
  // Sets Stream (fresh or recycled) on field FieldNo of the cursor's current record: empty for bomWrite
  // or a NULL value, else the stored value.
  virtual void OpenBlobStream(TMdbCursor* Cursor, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode,
                              TMdbLocalBLOBStream& Stream);
  virtual void WriteBLOBFieldToRecordBuffer(TMdbCursor* Cursor, std::int32_t FieldNo, TMdbLocalBLOBStream* BLOBStream);
  virtual void ClearBLOBFieldInRecordBuffer(Byte* RecordBuffer, std::int32_t FieldNo);
  virtual void CheckConstraints(TMdbCursor* Cursor, std::int32_t SessionID, const Byte* NewRecordBuffer,
                                const Byte* OldRecordBuffer, bool ToInsert, const TMdbRecordID& CurrentRecordID,
                                bool SkipFKCheck);
  virtual bool InsertRecord(TMdbCursor*& Cursor);
  virtual bool DeleteRecord(TMdbCursor* Cursor);
  virtual bool UpdateRecord(TMdbCursor* Cursor);
  virtual void EditRecord(TMdbCursor*) {}
  virtual void CancelRecord(TMdbCursor* Cursor, bool ToInsert);
  virtual void DeleteVisibleRecords(TMdbCursor* Cursor);
  virtual void UpdateVisibleRecords(TMdbCursor* Cursor, TMdbWideStringList* FieldNames,
                                    const std::vector<TMdbVariant*>& Values, bool SkipFKCheck);
  virtual Int64 GetRecordCount(TMdbCursor* Cursor, bool InternalCall);
  virtual void SetRecNo(TMdbCursor* Cursor, Int64 RecNo);
  virtual Int64 GetRecNo(TMdbCursor* Cursor);
  virtual void InternalSetRecNo(TMdbCursor* Cursor, Int64 RecNo);
  virtual Int64 InternalGetRecNo(TMdbCursor* Cursor);
  virtual Int64 LastAutoincValue(std::int32_t, TMdbBaseSession*) { return 0; }
  virtual void SetLastAutoincValue(Int64, std::int32_t, TMdbCursor*) {}
  virtual void ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2);

  // The number of live records (0 without a record manager).
  virtual Int64 InternalGetRecordCount();

  // ---- building blocks -----------------------------------------------------------------------------
  void SetTableName(const String& Name);
  void AssignNewObjectIDs(TMdbFieldDefs& Defs);
  void AssignNewObjectIDs(TMdbIndexDefs& Defs);
  void AssignNewObjectIDs(TMdbConstraintDefs& Defs);
  // 10421 for a BLOB field with block size 0.
  void CreateFieldManager(TMdbFieldDefs& FieldDefs);
  void CreateConstraintManager(TMdbConstraintDefs& ConstraintDefs);
  void CreateSequenceManager();
  void CreateAutoincSequences();
  void SaveAutoincSequencesToStream(TStream* Stream);
  void LoadAutoincSequencesFromStream(TStream* Stream);
  // 10131 for a table without fields.
  std::int32_t CalcRecordSize() const;
  void LockCursorList(bool Write);
  void UnlockCursorList();
  void SetTableFailureFlag(bool Value);

  // ---- record access -------------------------------------------------------------------------------
  // One navigation step (10015 without a record manager, 10380 without an index manager, 10016 for a
  // nil buffer).
  void InternalGetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& NavigationInfo);
  bool Locate(TMdbCursor* Cursor, TMdbBaseExpression* SearchExpression);  // 11375 for nil
  bool FindKey(TMdbCursor* Cursor, TMdbSearchCondition SearchCondition);
  void ClearBLOBFieldsInRecordBuffer(Byte* RecordBuffer);
  bool IsBLOBModified(const Byte* RecordBuffer, const TMdbFieldDef& FieldDef) const;
  void SetBLOBModified(bool Modified, Byte* RecordBuffer, const TMdbFieldDef& FieldDef);
  void ClearTemporaryBLOBValues(TMdbCursor* Cursor);
  void SetBLOBValuesModified(bool Modified, TMdbCursor* Cursor);
  void ShowRecord(TMdbCursor* Cursor);
  void UpdateRecordBitmapAfterInsert(TMdbCursor* Cursor, const void* Pos);
  void UpdateRecordBitmapAfterUpdate(TMdbCursor* Cursor);
  // False on an empty table; else the negation of the index's CanInsertRecord (insert) or
  // CanUpdateRecord (update).
  bool IsUniqueConstraintFailed(std::int32_t SessionID, std::int32_t IndexID, const Byte* NewRecordBuffer,
                                const Byte* OldRecordBuffer, bool ToInsert, const TMdbRecordID& CurrentRecordID);
  // The foreign-key lookup (the search over the referenced table) belongs to the index layer.
  virtual bool IsForeignKeyConstraintFailed(TMdbCursor* Cursor, TMdbConstraintDefForeignKey* ConstraintDef);
  // The foreign-key actions a parent record's change or deletion sets off.
  virtual void ExecuteForeignKeyActions(TMdbCursor* Cursor, bool ToUpdate);
  // Is the record in the cursor's current buffer one the cursor may see (range, filters, callback)?
  virtual bool IsRecordVisible(TMdbCursor* Cursor);
  // Is it within the cursor's range (True without one)?
  bool IsRecordInRange(TMdbCursor* Cursor);
  // Fills the cursor's record bitmap with the records its filters and range let through.
  void BuildRecordBitmap(TMdbCursor* Cursor);

  // ---- foreign keys (MdbForeignKeys.cpp) -----------------------------------------------------------
  // A foreign key lives twice: a ctFK constraint in the child and a ctFKAction in the parent (the
  // referenced table), each naming the other. The referenced key is always the parent's primary key.
  // The lookups go through the query processing's expression (PrepareForeignKeyCheck,
  // PrepareForeignKeyActionFilter).
  void LinkForeignKeys(TMdbCursor* Cursor);
  // 11442 no primary key, 11443 column counts differ, 11444 / 11445 a missing field, 11446 types.
  void CheckForeignKeyDefinition(TMdbConstraintDefForeignKeyAction* ConstraintDef, TMdbCursor* ReferencedCursor,
                                 bool SameTable);
  // 11586 at the first record whose key the referenced table does not hold.
  void CheckExistingRecordsForForeignKey(TMdbCursor* Cursor, TMdbCursor* ReferencedCursor,
                                         TMdbConstraintDefForeignKey* ConstraintDef);
  // Does the key of Cursor's current record need no lookup (NULL by the match type)? Mixed: NULL and
  // non-NULL columns under the full match type.
  bool IsForeignKeyNull(TMdbCursor* Cursor, TMdbConstraintDefForeignKeyAction* ConstraintDef, bool& Mixed);
  bool IsPrimaryKeyUpdated(TMdbCursor* Cursor);
  void RenameTableInReferencingTables(TMdbCursor* Cursor, const String& OldName, const String& NewName);
  // A read-only local cursor on the table ConstraintDef names, open and on its first position, with a
  // current record buffer of its own; CloseReferencedTableCursor undoes that (the caller frees it).
  std::unique_ptr<TMdbLocalCursor> OpenReferencedTableCursor(TMdbCursor* SourceCursor,
                                                             TMdbConstraintDefForeignKeyAction* ConstraintDef,
                                                             bool Exclusive, bool SkipTableExistsCheck);
  std::unique_ptr<TMdbLocalCursor> OpenReferencedTableCursorForSession(TMdbBaseSession* Session,
                                                                       TMdbConstraintDefForeignKeyAction* ConstraintDef,
                                                                       bool InMemory, bool Exclusive,
                                                                       bool SkipTableExistsCheck);
  static void CloseReferencedTableCursor(TMdbLocalCursor* Cursor);
  // Closes and frees Cursor on a way out where nothing may raise (cleanup after another error).
  static void CloseAndFreeReferencedTableCursor(std::unique_ptr<TMdbLocalCursor>& Cursor) noexcept;
  // Names beginning (upper-cased) with "MdbFKTNP_" are temporary: the prefix goes (11585 for the prefix
  // alone).
  static String RemoveFKTemporaryNamePrefix(const String& Name);
  static void RemoveFKTemporaryNamePrefixes(TMdbConstraintDefForeignKeyAction* ConstraintDef);
  // The name of the index over exactly these columns; empty when none (11384 for an id without one).
  String FindIndex(TMdbCursor* Cursor, TMdbWideStringList* FieldNamesList, TMdbWideStringList* AscDescList,
                   TMdbWideStringList* CaseSensitivityList);

  // ---- create-table checks -------------------------------------------------------------------------
  // Names are compared upper-cased, by their CRC (two names with one CRC are one name).
  // 11429 no fields, 11432 an unnamed field, 11430 a duplicate field name.
  void CheckFieldDefs(const TMdbFieldDefs& FieldDefs) const;
  // 11433 an unnamed index, 11434 an index without columns, 11428 a duplicate index name, and once
  // every index passed, 11427 for more than one primary index.
  void CheckIndexDefs(const TMdbIndexDefs& IndexDefs) const;
  // 11431 a duplicate constraint name; unnamed constraints get their names later.
  void CheckConstraintDefs(const TMdbConstraintDefs& ConstraintDefs) const;

  // ---- page access of the indexes ------------------------------------------------------------------
  TMdbPage* AddPage(std::int32_t SessionID, TMdbDBStateType StateType, std::uint32_t State, bool DoNotUse);
  void RemovePage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType, std::uint32_t State);
  TMdbPage* GetPage(std::int32_t SessionID, std::int32_t PageNo, TMdbDBStateType StateType, std::uint32_t State,
                    bool ReadPage, bool UpdatePage, bool MakeCopy);
  void PutPage(TMdbPage* Page);
  void UpdatePage(std::int32_t SessionID, TMdbPage* Page, TMdbDBStateType StateType, std::uint32_t State, bool MakeCopy);
  void CancelChanges();

  // ---- properties ----------------------------------------------------------------------------------
  const String& TableName() const { return FTableName; }
  std::uint32_t TableNameCRC() const { return FTableNameCRC; }
  TMdbDatabaseData* DatabaseData() const { return FDatabaseData; }
  TMdbBaseFieldManager* FieldManager() const { return FFieldManager.get(); }
  TMdbBaseRecordManager* RecordManager() const { return FRecordManager.get(); }
  TMdbBaseConstraintManager* ConstraintManager() const { return FConstraintManager.get(); }
  TMdbBaseIndexManager* IndexManager() const { return FIndexManager.get(); }
  TMdbBaseSequenceManager* SequenceManager() const { return FSequenceManager.get(); }
  const std::vector<TMdbCursor*>& CursorList() const { return FCursorList; }
  TMdbRecordBufferCache* RecordBufferCache() const { return FRecordBufferCache.get(); }
  TMdbFindRecordCache* FindRecordCache() const { return FFindRecordCache.get(); }
  TMdbBlobHandleTable& Blobs() { return FBlobs; }
  TMdbFieldDefs& FieldDefs() const;
  bool BLOBFieldsPresent() const { return FBLOBFieldsPresent; }

  bool FDoNotLockDatabaseData = false;
  bool FRepair = false;
  String FComment;
  double FCreationDate = 0;
  TMdbCompression FBLOBCompression;
  bool FActive = false;
  bool FInMemory = true;
  bool FTemporary = false;
  bool FExclusive = false;

 protected:
  [[noreturn]] void NotOverridden(const char16_t* Method) const;
  // A record the set-oriented delete and update are about to delete or change (Old: its bytes before).
  virtual void SetRecordChanging(TMdbCursor*, bool, const Byte*) {}
  // Which actions a run carries out: the restrictions alone can be checked before a change, so that a
  // refused delete or update changes nothing.
  enum class TForeignKeyActions : Byte { All, RestrictOnly, AllButRestrict };
  void RunForeignKeyActions(TMdbCursor* Cursor, bool ToUpdate, TForeignKeyActions Which);
  // The cascade, set-null and set-default updates of the child records an action constraint selects.
  bool PrepareForeignKeyActionCursor(TMdbCursor* ChildCursor, TMdbCursor* ParentCursor,
                                     TMdbConstraintDefForeignKeyAction* ActionDef, bool ToUpdate);
  void ExecuteForeignKeyUpdateAction(TMdbCursor* ChildCursor, TMdbCursor* ParentCursor,
                                     TMdbConstraintDefForeignKeyAction* ActionDef, TMdbConstraintForeignKeyAction Action);
  // Reads the record with Cursor's current id into Buffer; False when it cannot be read.
  bool ReadCurrentRecord(TMdbCursor* Cursor, Byte* Buffer);
  std::int32_t SessionIDOf(const TMdbCursor* Cursor) const;
  void FillVisibleNavigation(TMdbCursor* Cursor, bool Visible, TMdbNavigationInfo& N);
  void FetchVisibleRecord(TMdbCursor* Cursor, bool Visible, Int64 RecNo, TMdbNavigationInfo& N, int Code);

  std::unique_ptr<TMdbReadWriteThreadSync> FThreadSync;
  TMdbDatabaseData* FDatabaseData;
  std::unique_ptr<TMdbTableCache> FCache;
  std::unique_ptr<TMdbRecordBufferCache> FRecordBufferCache;
  std::unique_ptr<TMdbFindRecordCache> FFindRecordCache;
  String FTableName;
  std::uint32_t FTableNameCRC = 0;
  std::unique_ptr<TMdbBaseFieldManager> FFieldManager;
  std::unique_ptr<TMdbBaseConstraintManager> FConstraintManager;
  std::unique_ptr<TMdbBaseIndexManager> FIndexManager;
  std::unique_ptr<TMdbBaseRecordManager> FRecordManager;
  std::unique_ptr<TMdbBaseSequenceManager> FSequenceManager;
  std::vector<TMdbCursor*> FCursorList;
  std::unique_ptr<TMdbReadWriteThreadSync> FCursorListThreadSync;
  bool FBLOBFieldsPresent = false;
  TMdbTableState FTableState;
  TMdbBlobHandleTable FBlobs;
};
