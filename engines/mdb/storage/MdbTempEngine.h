// The temporary engine: the tables of the database "TEMP", where query results and other scratch
// tables live. A temporary table is used by the one thread that made its cursor: it takes no locks,
// has no transactions, foreign keys, constraints checks or autoincrement values, and only grows:
// records are appended (TMdbTemporaryRecordManager, which spills to a temporary file when memory
// runs out), never updated or deleted. Its indexes are B-trees in a temporary page manager behind a
// table cache; its BLOB values are appended to one temporary stream, the BLOB file.
//
// Lifetime: the table is named by the database ("TEMPORARY_TABLE_<random>_<thread id>", the name the
// client asked for is not kept) and lives while a cursor has it open. When its last cursor closes it,
// the table deletes itself, unless that cursor is the one creating it (FCreateTableStarted).
// DeleteTable frees the object (a caller must not free it again), except in design mode while
// cursors still have it open.
//
// BLOB value: the field's 8 bytes in the record hold the Int64 position in the BLOB file of
//   0  4  Int32  number of compressed blocks (write 10145 / read 10142)
//   4  8  Int64  uncompressed size
//  12  8  Int64  compressed size L
//  20  L         the compressed blocks, each with its block header
// A replaced value stays in the file until the table is emptied or deleted.
//
// Temporary table stream (no header, no compression), written by SaveTableToStream and read by
// LoadTableFromStream:
//   the field manager's block, the index manager's block (definitions and index pages), the record
//   block (MdbTemporaryRecordManager.h), Int64 S the BLOB file's size (11194 / 11195), S bytes of it.
// A load checks S against the bytes left; a failed load leaves the table as it was.
#pragma once

#include <cstdint>
#include <memory>

#include "engines/mdb/storage/MdbTableData.h"
#include "engines/mdb/storage/MdbTemporaryRecordManager.h"

class TMdbTemporaryStream;

inline constexpr std::int32_t kMdbTemporaryRecordsPerPage = 10;
inline constexpr std::int32_t kMdbTemporaryAllocRecordsBy = 1000;
inline constexpr std::int32_t kMdbTemporaryBLOBHeaderSize = 20;

// A generated table name "TEMPORARY_TABLE_<random>_<thread id>".
String MdbGenerateTemporaryTableName();

class TMdbTemporaryTableData : public TMdbTableData {
  VELLUM_CLASS(TMdbTemporaryTableData)
 public:
  TMdbTemporaryTableData(TMdbDatabaseData* aDatabaseData, std::int32_t RecordsPerPage, std::int32_t AllocRecordsBy);
  ~TMdbTemporaryTableData() override;

  TMdbPageManager* GetPageManager() override;
  void CreateRecordManager() override;
  void LockTableData(bool) override {}
  void UnlockTableData() override {}
  // 10132 without fields, 11426 for a foreign key.
  void CreateTable(TMdbCursor* Cursor, TMdbFieldDefs& FieldDefs, TMdbIndexDefs& IndexDefs,
                   TMdbConstraintDefs& ConstraintDefs) override;
  // Frees this object unless DesignMode is set while cursors have the table open.
  void DeleteTable(TMdbBaseSession* Session, bool Cascade, bool DesignMode) override;
  void EmptyTable(TMdbCursor* Cursor, bool SkipFKCheck) override;
  void LoadTableFromStream(TMdbCursor* Cursor, TStream* Stream) override;
  void SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                         std::int32_t BlockSize, bool SkipCheckIsTableOpened) override;
  void OpenTable(TMdbCursor* Cursor) override;
  // Deletes (and frees) the table when the last cursor closes it, unless that cursor creates it.
  void CloseTable(TMdbCursor* Cursor) override;
  void AddIndex(TMdbIndexDef* IndexDef, TMdbCursor* Cursor) override;
  Int64 RecordIDToInt64(const TMdbRecordID& RecordID) override { return TMdbTemporaryRecordManager::RecordNo(RecordID); }
  TMdbRecordID Int64ToRecordID(Int64 Value) override { return TMdbTemporaryRecordManager::RecordIDOf(Value); }
  std::int32_t CompareRecordID(const TMdbRecordID& RecordID1, const TMdbRecordID& RecordID2) override;
  // 10140 without a BLOB file.
  TMdbStream* InternalCreateBlobStream(TMdbCursor* Cursor, bool ToInsert, std::int32_t FieldNo,
                                       TMdbBLOBOpenMode OpenMode) override;
  void OpenBlobStream(TMdbCursor* Cursor, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode,
                      TMdbLocalBLOBStream& Stream) override;
  // 10144 without a BLOB file; appends the value and points the field at it.
  void WriteBLOBFieldToRecordBuffer(TMdbCursor* Cursor, std::int32_t FieldNo, TMdbLocalBLOBStream* BLOBStream) override;
  void ClearBLOBFieldInRecordBuffer(Byte*, std::int32_t) override {}
  // 10134 without a record manager, 10135 without a current record buffer.
  bool InsertRecord(TMdbCursor*& Cursor) override;
  bool DeleteRecord(TMdbCursor*) override { return false; }
  bool UpdateRecord(TMdbCursor*) override { return false; }
  void DeleteVisibleRecords(TMdbCursor* Cursor) override;  // 11301
  void InternalSetRecNo(TMdbCursor* Cursor, Int64 RecNo) override;  // 10136
  Int64 InternalGetRecNo(TMdbCursor* Cursor) override;              // 10137

  TMdbTemporaryRecordManager* TemporaryRecordManager() const;
  TMdbTemporaryStream* BLOBFile() const { return FBLOBFile.get(); }
  std::int32_t RecordsPerPage() const { return FRecordsPerPage; }
  std::int32_t AllocRecordsBy() const { return FAllocRecordsBy; }

 private:
  void NewBLOBFile();
  void NewPageStore();
  // Drops every index's pages, reporting nothing: the page manager is about to go.
  void ReleaseIndexPages() noexcept;
  void LoadFromStream(TStream* Stream);

  std::unique_ptr<TMdbTemporaryStream> FBLOBFile;
  std::int32_t FRecordsPerPage;
  std::int32_t FAllocRecordsBy;
  std::unique_ptr<TMdbPageManager> FPageManager;
  // Set while the object is being destroyed: closing its cursors then must not delete it again.
  bool FDestroying = false;
};
