// The managers a table data object delegates its structure to: the field manager (column definitions
// and autoincrement filling), the index manager (index definitions, the open indexes and key
// maintenance), the abstract index every index class implements, and the sequence manager that feeds
// autoincrement columns. The record manager base is in MdbRecordManager.h, the constraint manager in
// MdbConstraints.h.
//
// Field manager stream: the field list (Int32 count and the field definitions). Index manager stream:
// the index list (Int32 count of the stored definitions and the definitions), then the block of the
// table's page manager.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/storage/MdbMetaDefs.h"

class TStream;
class TMdbCursor;
class TMdbTableData;
class TMdbDatabaseData;
class TMdbBaseSession;
class TMdbRecordBitmap;
class TMdbScanSearchCondition;
class TMdbBaseIndexManager;

class TMdbBaseSequenceManager : public TObject {
  VELLUM_CLASS(TMdbBaseSequenceManager)
 public:
  explicit TMdbBaseSequenceManager(TMdbDatabaseData* aDatabaseData) : FDatabaseData(aDatabaseData) {}

  TMdbSequenceDef* GetSequenceDef(std::int32_t SequenceID) const;  // 30013
  // Draws the next value and records it as the session's last value (30010 for an unknown id).
  Int64 GetNextVal(TMdbBaseSession* Session, std::int32_t SequenceID);
  // An explicit value was stored: the sequence moves up to it (down for negative increments) and the
  // session's last value becomes Value (12296 for an unknown id).
  void GetNextVal(TMdbBaseSession* Session, std::int32_t SequenceID, Int64 Value);
  // The session's last value; 30011 for an unknown id, 30012 when the session drew none.
  Int64 GetLastVal(TMdbBaseSession* Session, std::int32_t SequenceID) const;
  String GenerateSequenceName(bool isAutoinc, const String& ColumnName, const String& TableName) const;

  TMdbSequenceDefs& SequenceDefs() { return FSequenceDefs; }
  TMdbDatabaseData* DatabaseData() const { return FDatabaseData; }

 private:
  TMdbSequenceDefs FSequenceDefs;
  TMdbDatabaseData* FDatabaseData;
};

class TMdbBaseFieldManager : public TObject {
  VELLUM_CLASS(TMdbBaseFieldManager)
 public:
  TMdbBaseFieldManager(TMdbTableData* aTableData, TMdbBaseSequenceManager* aSequenceManager)
      : FTableData(aTableData), FSequenceManager(aSequenceManager) {}
  virtual void LoadFromStream(TStream* Stream);
  virtual void SaveToStream(TStream* Stream);
  // Fills every autoincrement column: a NULL one from its sequence, a present one tells its sequence.
  void ApplyAutoIncValuesToRecordBuffer(TMdbBaseSession* Session, Byte* RecordBuffer);

  TMdbFieldDefs& FieldDefs() { return FFieldDefs; }
  TMdbTableData* TableData() const { return FTableData; }
  TMdbBaseSequenceManager* SequenceManager() const { return FSequenceManager; }
  double EngineVersion = 9.0;

 private:
  TMdbFieldDefs FFieldDefs;
  TMdbTableData* FTableData;
  TMdbBaseSequenceManager* FSequenceManager;
};

// An index of a table. Each index object holds its own copy of its definition. Slots the index class
// does not provide raise 30339.
class TMdbIndex : public TObject {
  VELLUM_CLASS(TMdbIndex)
 public:
  // 11881 for a nil manager, 11882 for a manager without table data.
  explicit TMdbIndex(TMdbBaseIndexManager* aIndexManager);
  TMdbIndex(const TMdbIndex&) = delete;
  TMdbIndex& operator=(const TMdbIndex&) = delete;

  virtual void ClearIndexCache(std::int32_t SessionID);
  virtual void CreateIndex(TMdbCursor* Cursor, TMdbIndexDef* aIndexDef);
  virtual void CreateIndex(std::int32_t SessionID, std::int32_t PageNo, TMdbIndexDef* aIndexDef);
  virtual void DropIndex(std::int32_t SessionID, bool EmptyIndex);
  virtual void OpenIndex(const TMdbIndexDef* aIndexDef);
  virtual void GetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& NavigationInfo);
  virtual void* CreateIndexPosition();
  virtual void FreeIndexPosition(void*& IndexPosition);
  virtual bool GetIndexPosition(std::int32_t SessionID, const TMdbRecordID& RecordID, const Byte* RecordBuffer,
                                void* IndexPosition);
  virtual std::int32_t CompareRecordPositionsInIndex(const void* RecordPosition1, const void* RecordPosition2);
  virtual Int64 GetRecNoByRecordID(std::int32_t SessionID, const TMdbRecordID& RecordID, const Byte* RecordBuffer,
                                   TMdbRecordBitmap* Bitmap);
  virtual TMdbRecordID GetRecordIDByRecNo(std::int32_t SessionID, Int64 RecNo, TMdbRecordBitmap* Bitmap);
  virtual void* CreateSearchInfo();
  virtual void FreeSearchInfo(void* SearchInfo);
  virtual bool FindRecord(std::int32_t SessionID, bool Restart, bool GoForward,
                          TMdbScanSearchCondition* StartScanCondition, TMdbScanSearchCondition* EndScanCondition,
                          Byte* RecordBuffer, TMdbRecordID& RecordID, void* SearchInfo);
  virtual std::int32_t CompareRecordBuffersByIndex(const Byte* Buffer1, const Byte* Buffer2,
                                                   std::int32_t IndexFieldCount);
  virtual std::int32_t CompareConditions(const TMdbScanSearchCondition* Condition1,
                                         const TMdbScanSearchCondition* Condition2);
  virtual Int64 GetApproxRangeRecordCount(std::int32_t SessionID, Int64 TableRecordCount,
                                          const TMdbScanSearchCondition* RangeCondition1,
                                          const TMdbScanSearchCondition* RangeCondition2);
  virtual bool CanInsertRecord(std::int32_t SessionID, const Byte* RecordBuffer);
  virtual bool CanUpdateRecord(std::int32_t SessionID, const Byte* OldRecordBuffer, const Byte* NewRecordBuffer);
  virtual void InsertRecord(TMdbCursor* Cursor);
  virtual void DeleteRecord(TMdbCursor* Cursor);
  virtual void UpdateRecord(TMdbCursor* Cursor);

  TMdbIndexDef& IndexDef() { return FIndexDef; }
  TMdbBaseIndexManager* IndexManager() const { return LIndexManager; }
  TMdbTableData* TableData() const { return LTableData; }

 protected:
  [[noreturn]] void NotOverridden(const char16_t* Method) const;
  TMdbIndexDef FIndexDef;
  TMdbBaseIndexManager* LIndexManager;
  TMdbTableData* LTableData;
};

// Makes the index object of a definition (every index class of the engine is the B-tree index, which
// registers itself here when the engine starts).
using TMdbIndexFactory = std::function<std::unique_ptr<TMdbIndex>(TMdbBaseIndexManager* IndexManager)>;
void SetMdbIndexFactory(TMdbIndexFactory Factory);

class TMdbBaseIndexManager : public TObject {
  VELLUM_CLASS(TMdbBaseIndexManager)
 public:
  explicit TMdbBaseIndexManager(TMdbTableData* aTableData) : LTableData(aTableData) {}
  ~TMdbBaseIndexManager() override;

  virtual void LoadFromStream(TStream* Stream);
  virtual void SaveToStream(TStream* Stream);
  virtual void CreateIndexDefs(const TMdbIndexDefs& aIndexDefs) { FIndexDefs.Assign(aIndexDefs); }

  std::int32_t FindIndex(const TMdbWideStringList* FieldNames, const TMdbWideStringList* AscDescList,
                         const TMdbWideStringList* CaseSensitivityList) const {
    return FIndexDefs.FindIndex(FieldNames, AscDescList, CaseSensitivityList);
  }
  TMdbIndex* FindOpenIndex(std::int32_t IndexID) const;
  TMdbIndex* OpenIndex(std::int32_t IndexID);  // 20018 for an unknown id
  void CloseIndex(std::int32_t IndexID);
  // Gives IndexDef a new object id, adds a copy and builds the index; returns the id.
  std::int32_t CreateIndex(TMdbCursor* Cursor, TMdbIndexDef* IndexDef);
  void DropIndex(std::int32_t SessionID, std::int32_t IndexID);
  void DropAllIndexes(std::int32_t SessionID);
  void EmptyIndex(std::int32_t SessionID, std::int32_t IndexID);
  void EmptyAllIndexes(std::int32_t SessionID);
  void ClearIndexCache(std::int32_t SessionID);
  void GetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& NavigationInfo);
  void InsertRecord(TMdbCursor* Cursor);
  void UpdateRecord(TMdbCursor* Cursor);
  void DeleteRecord(TMdbCursor* Cursor);
  // IndexFieldCount 0: all columns (11497 for an unknown id).
  std::int32_t CompareRecordBuffersByIndex(std::int32_t IndexID, const Byte* Buffer1, const Byte* Buffer2,
                                           std::int32_t IndexFieldCount);

  TMdbIndexDefs& IndexDefs() { return FIndexDefs; }
  TMdbTableData* TableData() const { return LTableData; }
  std::int32_t OpenIndexCount() const { return static_cast<std::int32_t>(FOpenIndexList.size()); }

 protected:
  virtual std::unique_ptr<TMdbIndex> NewIndex();

 private:
  TMdbTableData* LTableData;
  TMdbIndexDefs FIndexDefs;
  std::vector<std::unique_ptr<TMdbIndex>> FOpenIndexList;
};
