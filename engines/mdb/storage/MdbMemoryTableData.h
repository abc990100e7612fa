// The table data of an in-memory table: the memory record manager for the rows, a memory page manager
// for the index pages, the table operations with their locks and cache commits, record numbers, and
// the table stream, the one file format of a table.
//
// Table stream (little-endian):
//
//   header, 42 bytes, written as one block (write 10156 / read 10160)
//     0  4  signature "ACS5"
//     4  8  format version, Double 9.0 (a reader takes 1.020001 .. 9.0001)
//    12  8  Int64 record count
//    20  8  Int64 body size before compression; 0 when not compressed
//    28  8  reserved, zeros (ignored)
//    36  4  Int32 the caller's block size (not compressed) / the compressed body size
//    40  1  compression algorithm (0 none, 1 zlib, 2 bzip2, 3 PPM)
//    41  1  compression mode, 0 written as 1
//   header items, never compressed                                 write / read
//     table name            wide string                            10157 / 10163
//     creation date         Double (TDateTime)       from 5.0      11982 / 11980
//     table state           16 bytes (TMdbTableState) from 5.0    11983 / 11981
//     comment               wide string              from 5.0      11962 / 11963
//     object-id sequence    Int64, the database's last object id  10416 / 10417
//   body, compressed as one block when an algorithm is given
//     1  autoincrement sequences (Int32 N, N sequence definitions)
//     2  field list        3  constraint list
//     4  index list, then the page manager block with the raw index pages (written through the index
//        manager and its indexes)
//     5  only when there are records: the record manager block, then every live record in slot order:
//        the record bytes (10200 / 10197 with BLOBs; read 10201) with each non-NULL BLOB slot holding
//        the Int64 body position of its item; then, per non-NULL BLOB field in field order, the item
//        {12-byte block header, Int64 L} (10198 / 10203) and L data bytes (10199 / 10204). Items follow
//        their record directly.
//   BLOB positions count in the body: the target stream uncompressed, the uncompressed body otherwise.
//
// Reading never trusts the stream: sizes and counts are checked against the bytes left and the header
// against itself before anything is allocated, a stored BLOB position must be the one the item is read
// from, the record count must be the record block's live count. A load is staged: the table's managers,
// pages, records and BLOB blocks are set aside and come back untouched when anything fails; the old
// ones are dropped only once the whole stream was read. A save always rewrites the header at its start
// and leaves the stream positioned after what it wrote, also when it fails.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/storage/MdbAdvancedTableData.h"

class TMdbPageManager;
class TMdbMemoryRecordManager;

inline constexpr char kMdbTableStreamSignature[4] = {'A', 'C', 'S', '5'};
inline constexpr double kMdbTableStreamVersion = 9.0;
inline constexpr std::int32_t kMdbTableStreamHeaderSize = 42;
// The largest body a load accepts (also the largest a save writes compressed).
inline constexpr Int64 kMdbMaxTableStreamBody = Int64(INT32_MAX);

class TMdbMemoryTableData : public TMdbAdvancedTableData {
  VELLUM_CLASS(TMdbMemoryTableData)
 public:
  TMdbMemoryTableData(TMdbDatabaseData* aDatabaseData, std::int32_t AllocRecordsBy);
  ~TMdbMemoryTableData() override;

  TMdbPageManager* GetPageManager() override;
  void CreateRecordManager() override;
  void CreateTable(TMdbCursor* Cursor, TMdbFieldDefs& FieldDefs, TMdbIndexDefs& IndexDefs,
                   TMdbConstraintDefs& ConstraintDefs) override;
  void DeleteTable(TMdbBaseSession* Session, bool Cascade, bool DesignMode) override;
  void EmptyTable(TMdbCursor* Cursor, bool SkipFKCheck) override;
  void RenameTable(TMdbCursor* Cursor, const String& NewTableName) override;
  void OpenTable(TMdbCursor* Cursor) override;
  void CloseTable(TMdbCursor* Cursor) override;
  void AddForeignKey(TMdbCursor* Cursor, TMdbConstraintDefForeignKey* ConstraintDef) override;
  void DeleteConstraint(TMdbCursor* Cursor, const String& Name, bool Cascade, bool FKPartialDelete) override;
  void AddIndex(TMdbIndexDef* IndexDef, TMdbCursor* Cursor) override;
  void DeleteIndex(std::int32_t IndexID, TMdbCursor* Cursor) override;
  void DeleteAllIndexes(TMdbCursor* Cursor) override;
  void EmptyIndex(std::int32_t IndexID, std::int32_t SessionID) override;
  void EmptyAllIndexes(std::int32_t SessionID) override;
  void LoadTableFromStream(TMdbCursor* Cursor, TStream* Stream) override;
  void SaveTableToStream(TStream* Stream, TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                         std::int32_t BlockSize, bool SkipCheckIsTableOpened) override;
  Int64 RecordIDToInt64(const TMdbRecordID& RecordID) override { return RecordID.PageNo; }
  TMdbRecordID Int64ToRecordID(Int64 Value) override;
  std::int32_t CompareRecordID(const TMdbRecordID& RecordID1, const TMdbRecordID& RecordID2) override;
  void InternalSetRecNo(TMdbCursor* Cursor, Int64 RecNo) override;
  Int64 InternalGetRecNo(TMdbCursor* Cursor) override;
  void ClearAllRecords(std::int32_t SessionID) override;

  TMdbMemoryRecordManager* MemoryRecordManager() const;
  std::int32_t LoadedRecordCount() const { return FLoadedRecordCount; }
  std::int32_t AllocRecordsBy() const { return FAllocRecordsBy; }
  // The limit of one lock wait (ms); tests shorten it.
  void SetMaxWaitLockTime(std::uint32_t Ms) { FLockManager->SetMaxWaitLockTime(Ms); }

 protected:
  void ResetStoredBLOBMarkers(TMdbCursor* Cursor, const TMdbRecordID& RecordID) override;
  void NoteRecordChange(TRecordChange Change, const TMdbRecordID& RecordID, const Byte* Old) override;
  void WriterStarted() override { FBlobs.SetDeferFrees(true); }
  void UndoRecordChanges() override;
  void ForgetRecordChanges() override;

 private:
  struct TSavedContent;
  // Body under the table data's lock (and the cursor list's), its page changes applied after it or
  // cancelled when it fails.
  template <class F>
  void Guarded(bool CursorList, F&& Body);
  void WriteBody(TStream* Body);
  // About the size of the body WriteBody writes (an upper bound unless the index pages are many).
  Int64 BodySizeEstimate();
  void ReadBody(TStream* Body, double Version, std::vector<std::uint32_t>& NewHandles);
  void NewPageStore();
  // Frees the BLOB blocks of every live record of Records, read with Fields' layout.
  void FreeRecordBLOBs(TMdbMemoryRecordManager* Records, TMdbFieldDefs& Fields);

  struct TUndo {
    TRecordChange Change;
    std::int32_t Slot;
    std::vector<Byte> Old;  // the stored bytes before an update or a delete
  };
  std::vector<TUndo> FUndo;
  std::int32_t FLoadedRecordCount = 0;
  std::int32_t FAllocRecordsBy;
  bool FDestroying = false;
  std::unique_ptr<TMdbPageManager> FPageManager;
};

// The name of the table whose stream starts at Stream's position, read as a load reads it (signature
// and version checked); empty when that fails. The position is always restored.
String PeekTableNameFromStream(TStream* Stream);
