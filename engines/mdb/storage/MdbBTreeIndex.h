// The B-tree index: the index class of every index definition of a table (it registers itself with
// the index manager's factory when the storage layer starts). It owns the key layout of its
// definition, reaches its B+tree (MdbBTree.h) through the table data's page cache, and offers
// navigation in index order, record numbers, range scans with start and end conditions, range-size
// estimates, uniqueness checks and key maintenance on insert, update and delete.
//
// A per-session key path cache remembers where each session's last record sits in the tree, so that
// Next and Prior need not search again. A cached path is used only while the tree is unchanged since
// it was cached (every change moves the index's change stamp) and while its leaf entry still holds
// the record it was cached for; otherwise the record is looked up afresh.
//
// Operations on one index object do not run concurrently (callers hold the table data's locks): the
// key layout's compare count and the scratch key buffers are shared by its operations.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbBTree.h"
#include "engines/mdb/storage/MdbManagers.h"

class TMdbPageManager;

class TMdbKeyPathCache : public TObject {
  VELLUM_CLASS(TMdbKeyPathCache)
 public:
  TMdbKeyPathCache() = default;
  // Copies the session's path into Result. The path comes back empty when the session had no entry
  // (one is added), when Clear is set, when the entry is for another record or was cached under
  // another change stamp.
  void GetKeyPath(std::int32_t SessionID, const TMdbRecordID& RecordID, bool Clear, std::uint64_t Stamp,
                  TMdbKeyPath& Result);
  // 11630 when the session has no entry.
  void SetKeyPath(std::int32_t SessionID, const TMdbRecordID& RecordID, const TMdbKeyPath& KeyPath, std::uint64_t Stamp);
  // -1: every session.
  void Clear(std::int32_t SessionID);
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }

 private:
  struct TItem {
    std::int32_t SessionID = 0;
    TMdbRecordID RecordID;
    std::unique_ptr<TMdbKeyPath> KeyPath;
    std::uint64_t Stamp = 0;
  };
  TItem* Find(std::int32_t SessionID);
  std::vector<TItem> FItems;
};

// The state of one range scan (FindRecord) between calls.
struct TMdbBTreeSearchInfo {
  bool GoForward = true;
  bool Started = false;
  std::unique_ptr<TMdbKeyPath> EndPosition;
  TMdbKeyPath Position;
};

class TMdbBTreeIndex : public TMdbIndex {
  VELLUM_CLASS(TMdbBTreeIndex)
 public:
  explicit TMdbBTreeIndex(TMdbBaseIndexManager* aIndexManager);
  ~TMdbBTreeIndex() override;

  void ClearIndexCache(std::int32_t SessionID) override;
  void CreateIndex(TMdbCursor* Cursor, TMdbIndexDef* aIndexDef) override;
  void CreateIndex(std::int32_t SessionID, std::int32_t PageNo, TMdbIndexDef* aIndexDef) override;
  void DropIndex(std::int32_t SessionID, bool EmptyIndex) override;
  void OpenIndex(const TMdbIndexDef* aIndexDef) override;
  void GetRecordBuffer(std::int32_t SessionID, TMdbNavigationInfo& NavigationInfo) override;
  void* CreateIndexPosition() override;
  void FreeIndexPosition(void*& IndexPosition) override;
  bool GetIndexPosition(std::int32_t SessionID, const TMdbRecordID& RecordID, const Byte* RecordBuffer,
                        void* IndexPosition) override;
  std::int32_t CompareRecordPositionsInIndex(const void* RecordPosition1, const void* RecordPosition2) override;
  Int64 GetRecNoByRecordID(std::int32_t SessionID, const TMdbRecordID& RecordID, const Byte* RecordBuffer,
                           TMdbRecordBitmap* Bitmap) override;
  TMdbRecordID GetRecordIDByRecNo(std::int32_t SessionID, Int64 RecNo, TMdbRecordBitmap* Bitmap) override;
  void* CreateSearchInfo() override;
  void FreeSearchInfo(void* SearchInfo) override;
  bool FindRecord(std::int32_t SessionID, bool Restart, bool GoForward, TMdbScanSearchCondition* StartScanCondition,
                  TMdbScanSearchCondition* EndScanCondition, Byte* RecordBuffer, TMdbRecordID& RecordID,
                  void* SearchInfo) override;
  std::int32_t CompareRecordBuffersByIndex(const Byte* Buffer1, const Byte* Buffer2, std::int32_t IndexFieldCount) override;
  std::int32_t CompareConditions(const TMdbScanSearchCondition* Condition1,
                                 const TMdbScanSearchCondition* Condition2) override;
  Int64 GetApproxRangeRecordCount(std::int32_t SessionID, Int64 TableRecordCount,
                                  const TMdbScanSearchCondition* RangeCondition1,
                                  const TMdbScanSearchCondition* RangeCondition2) override;
  bool CanInsertRecord(std::int32_t SessionID, const Byte* RecordBuffer) override;
  bool CanUpdateRecord(std::int32_t SessionID, const Byte* OldRecordBuffer, const Byte* NewRecordBuffer) override;
  void InsertRecord(TMdbCursor* Cursor) override;
  void DeleteRecord(TMdbCursor* Cursor) override;
  void UpdateRecord(TMdbCursor* Cursor) override;

  // Key maintenance by record buffer and id (the cursor operations above and index building).
  void InsertKey(std::int32_t SessionID, const Byte* RecordBuffer, const TMdbRecordID& RecordID);
  void DeleteKey(std::int32_t SessionID, const Byte* RecordBuffer, const TMdbRecordID& RecordID);  // 20027

  // ---- page access of the page algorithms ------------------------------------------------------------
  TMdbPage* AddBTreePage(std::int32_t SessionID);
  TMdbPage* GetBTreePage(std::int32_t SessionID, std::int32_t PageNo);
  TMdbPage* GetBTreePageForUpdate(std::int32_t SessionID, std::int32_t PageNo);
  void PutBTreePage(TMdbPage* Page) noexcept;
  void RemoveBTreePage(std::int32_t SessionID, std::int32_t PageNo);
  void UpdateBTreePage(std::int32_t SessionID, TMdbPage* Page);

  // ---- positions -------------------------------------------------------------------------------------
  void GetReferenceAtPosition(std::int32_t SessionID, const TMdbKeyPath& Path, TMdbRecordID& RecordID);  // 20068
  bool GetFirstIndexPosition(std::int32_t SessionID, TMdbKeyPath& Path);
  bool GetLastIndexPosition(std::int32_t SessionID, TMdbKeyPath& Path);
  bool MoveNext(std::int32_t SessionID, TMdbKeyPath& Path);   // 20069 / 20070
  bool MovePrior(std::int32_t SessionID, TMdbKeyPath& Path);  // 20069 / 20071
  bool StepPosition(std::int32_t SessionID, bool Starting, TMdbKeyPath& Path, bool Forward);

  // Checks the whole tree (20028..20034); a diagnostic.
  void CheckIntegrity(std::int32_t SessionID);

  TMdbBTreeKeyRef& KeyRef() { return FKeyRef; }
  // Scratch key buffers of the page algorithms (merges, separator repairs).
  Byte* ScratchKey(std::int32_t Which) const { return FScratch[Which]->Get(); }
  std::uint32_t State() const { return FState; }
  std::uint64_t ChangeStamp() const { return FChangeStamp; }
  TMdbKeyPathCache& KeyPathCache() { return FKeyPathCache; }

 private:
  void PrepareKeyLayout();
  void LoadState();
  bool HasTree() const { return FIndexDef.FRootPageNo >= 0; }
  void NewRoot(std::int32_t SessionID);
  bool IsPathCurrent(std::int32_t SessionID, const TMdbKeyPath& Path, const TMdbRecordID& RecordID);
  bool FindConditionPosition(std::int32_t SessionID, bool First, const TMdbScanSearchCondition* Condition,
                             std::int32_t FieldCount, TMdbKeyPath& Path);
  bool PositionAtStart(std::int32_t SessionID, bool Restart, bool GoForward, TMdbScanSearchCondition* Start,
                       Byte* RecordBuffer, const TMdbRecordID& RecordID, TMdbBTreeSearchInfo& Info, bool& Landed);
  bool FindRecordStep(std::int32_t SessionID, bool Restart, bool GoForward, TMdbScanSearchCondition* Start,
                      TMdbScanSearchCondition* End, Byte* RecordBuffer, TMdbRecordID& RecordID, TMdbBTreeSearchInfo& Info);

  TMdbBTreeKeyRef FKeyRef;
  TMdbReadWriteThreadSyncBySingleCriticalSection FThreadSync;
  TMdbKeyPathCache FKeyPathCache;
  // 0, 1: record keys; 2, 3: the page algorithms' scratch.
  std::unique_ptr<TMdbMemBlock> FScratch[4];
  std::uint32_t FState = 0;
  std::uint64_t FChangeStamp = 0;
};

// Makes the B-tree index the index class of every definition (run by the storage layer's start-up).
void RegisterMdbBTreeIndex();

// Checks the index pages a stream brought before any index uses them: every tree's root and child
// pages allocated and reached once, entry counts within the page capacity, key sizes those of the
// definitions, the tree no deeper than 32 levels and all its leaves on one level. A bad page raises
// 20028 "Index integrity violated. PageNo=%d EntryNo=%d".
void CheckLoadedIndexPages(TMdbTableData* TableData, TMdbPageManager* PageManager, const TMdbIndexDefs& IndexDefs);
