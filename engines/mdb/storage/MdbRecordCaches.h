// Three helpers a table data object keeps for its cursors:
//   TMdbRecordBitmap        the record ids a filtered, ranged or searched cursor may see, in its
//                           navigation order (an ordered id array, not a bit set); it answers
//                           navigation, record numbers and visibility while it is active.
//   TMdbRecordBufferCache   a pool of scratch record buffers of one size, lent and returned.
//   TMdbFindRecordCache     compiled search expressions of Locate calls kept for reuse.
// The record bitmap belongs to one cursor and has no lock; the two caches lock every operation.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbTypes.h"

class TMdbTableData;

class TMdbRecordBitmap : public TObject {
  VELLUM_CLASS(TMdbRecordBitmap)
 public:
  explicit TMdbRecordBitmap(TMdbTableData* aTableData);  // 10425 for nil

  void SetActive(bool Value);
  void SetIndexed(bool Value) { FIndexed = Value; }
  void PrepareBitmapForActivation();
  Int64 GetRecordCount() const { return FVisibleRecords.ItemCount; }
  void ShowRecord(const TMdbRecordID& RecordID);    // 11328 for a duplicate while sorted
  void HideRecord(const TMdbRecordID& RecordID);    // 11327 when absent
  void InsertVisibleRecord(const TMdbRecordID& RecordID, const TMdbRecordID& PriorRecordID, bool bFirst,
                           bool bLast);             // 11332 when PriorRecordID is absent
  bool IsRecordVisible(const TMdbRecordID& RecordID);
  Int64 GetRecNoByRecordID(const TMdbRecordID& RecordID) const;
  TMdbRecordID GetRecordIDByRecNo(Int64 RecNo) const;  // 11326 outside 1..count
  void GetRecord(TMdbNavigationInfo& NavigationInfo) const;

  bool Active() const { return FActive; }
  bool Indexed() const { return FIndexed; }
  bool Distinct() const { return FDistinct; }
  void SetDistinct(bool Value) { FDistinct = Value; }
  TMdbTableData* TableData() const { return LTableData; }
  const TMdbRecordIDArray& VisibleRecords() const { return FVisibleRecords; }
  // Reorders the ids in place (a scan sorting them into its order); sorted tells whether the new
  // order is ascending by record id.
  TMdbRecordIDArray& ReorderRecords(bool Sorted);

 private:
  std::int32_t IndexOf(const TMdbRecordID& RecordID) const;
  static std::uint64_t KeyOf(const TMdbRecordID& R) {
    return (std::uint64_t(std::uint32_t(R.PageNo)) << 16) | R.PageItemNo;
  }
  void ForgetPositions() { FPositions.clear(); }
  TMdbRecordIDArray FVisibleRecords;
  // Id -> position, built on the first lookup in an unsorted set and kept while ids are only
  // appended; any other change drops it. Lookups (visibility, navigation, record numbers) would
  // otherwise scan the whole set each time.
  mutable std::unordered_map<std::uint64_t, std::int32_t> FPositions;
  TMdbTableData* LTableData;
  bool FActive = false;
  bool FIndexed = false;
  bool FDistinct = false;
};

class TMdbRecordBufferCache : public TObject {
  VELLUM_CLASS(TMdbRecordBufferCache)
 public:
  explicit TMdbRecordBufferCache(std::int32_t aBufferSize) : FBufferSize(aBufferSize) {}
  ~TMdbRecordBufferCache() override;
  // A buffer of BufferSize bytes lent to the caller; its bytes are whatever the last borrower left.
  Byte* GetBuffer();
  // Returns a lent buffer to the pool; an address not in the pool is ignored.
  void FreeBuffer(const Byte* Buffer);
  std::int32_t BufferSize() const { return FBufferSize; }
  std::int32_t PooledCount() const { return static_cast<std::int32_t>(FBuffers.size()); }

 private:
  TMdbReadWriteThreadSyncBySingleCriticalSection FSync;
  std::vector<Byte*> FBuffers;
  TMdbBitsArray FUsedBuffers;
  std::int32_t FBufferSize;
};

struct TMdbFindRecordCacheItem {
  std::uint32_t FieldNamesCRC = 0;
  std::unique_ptr<TObject> SearchExpression;  // a compiled search expression, owned
  std::uint32_t UseCount = 0;
};

class TMdbFindRecordCache : public TObject {
  VELLUM_CLASS(TMdbFindRecordCache)
 public:
  explicit TMdbFindRecordCache(TMdbTableData* aTableData) : LTableData(aTableData) {}
  ~TMdbFindRecordCache() override { Clear(true); }
  // All items, or only those not in use.
  void Clear(bool bClearAll);
  // Takes ownership of Item and returns it.
  TMdbFindRecordCacheItem* Add(std::unique_ptr<TMdbFindRecordCacheItem> Item);
  std::int32_t Count();

 private:
  TMdbReadWriteThreadSyncBySingleCriticalSection FSync;
  std::vector<std::unique_ptr<TMdbFindRecordCacheItem>> FItems;
  TMdbTableData* LTableData;
};
