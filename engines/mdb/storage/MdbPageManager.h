// Page managers: the stored bytes of numbered 4,096-byte pages of one table. The memory page manager
// keeps every page in memory; the temporary page manager keeps the first pages in an inner memory
// manager and spills numbers from its memory limit upwards into a temporary stream.
//
// Memory page manager block (little-endian; write / read codes):
//   0   4  Int32   slot count S                       10362 / 10369
//   4   4  Int32   highest number handed out          10363 / 10370
//   8   4  Int32   growth step (kAllocateBy, 50)      10364 / 10371
//  12   2  UInt16  page size (4,096)                  10365 / 10372
//  14   2  UInt16  page header size (0)               10366 / 10373
//  16   4  Int32   live page count                    10367 / 10374
//  20   4  Int32   bitmap bits (= S)                  10398 / 10401
//  24   4  Int32   set bits (= live page count)       10427 / 10426
//  28   ceil(S/8)  bitmap, bit n = bit n mod 8 of byte n div 8
//  then S x page size: every slot's bytes, free slots included   10368 / 10375
// An empty manager writes kEmptyBlockSize (28) bytes.
//
// Temporary page manager block: the inner memory manager's block, its own bitmap (Int32 bits, Int32
// set bits, bytes), Int32 allocated count (11196 / 11202), Int32 memory limit (11197 / 11203), UInt16
// page size (11198 / 11204), UInt16 header size (11199 / 11205), Int32 page count (11200 / 11206), Int64
// spill size S (11201 / 11207) and S bytes of the spill stream.
//
// Readers check every count against the bytes left and against each other before they allocate, read
// into fresh storage and replace the manager's pages only when the whole block was good; a bad block
// raises the read code of the field that failed.
//
// Destructors never throw: a manager destroyed with live pages reports to the storage diagnostic sink;
// CheckAllPagesReleased raises 20023 (memory) / 20036 (temporary) for callers that want the error.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/storage/MdbPage.h"

class TStream;
class TMdbDatabaseCache;
class TMdbTemporaryStream;

inline constexpr std::int32_t kMemoryPageSize = 4096;
inline constexpr std::int32_t kTemporaryPageSize = 4096;

class TMdbPageManager : public TObject {
  VELLUM_CLASS(TMdbPageManager)
 public:
  TMdbPageManager();
  ~TMdbPageManager() override;
  TMdbPageManager(const TMdbPageManager&) = delete;
  TMdbPageManager& operator=(const TMdbPageManager&) = delete;

  virtual std::int32_t GetPageCount() const { return FPageCount; }
  virtual void LoadFromStream(TStream*) {}
  virtual void SaveToStream(TStream*) {}
  virtual std::int32_t DirectAddPage() { return -1; }
  virtual void InitPage(TMdbPage*) {}
  void DirectAddPages(TMdbPageArray* Pages, std::int32_t Count);
  void DirectRemovePages(TMdbPageArray* Pages, std::int32_t Count);
  virtual void InternalAddPage(TMdbPage* aPage) = 0;
  virtual void InternalRemovePage(std::int32_t PageNo) = 0;
  virtual void InternalReadPage(TMdbPage* aPage) = 0;
  virtual void InternalWritePage(TMdbPage* aPage) = 0;
  virtual bool ChecksIndexPageHeader(std::int32_t) const { return false; }
  virtual void FlushFileBuffers() {}
  // Raises the manager's "pages not released" code while pages are live.
  virtual void CheckAllPagesReleased() const {}
  void DirectReadPage(TMdbPage* aPage);   // 11868 nil page, 11869 no buffer
  void DirectWritePage(TMdbPage* aPage);  // 11870 nil page, 11871 no buffer
  void DirectRemovePage(std::int32_t PageNo) { InternalRemovePage(PageNo); }

  std::int32_t PageCount() const { return GetPageCount(); }
  std::int32_t PageSize() const { return FPageSize; }
  std::int32_t PageHeaderSize() const { return FPageHeaderSize; }
  std::int32_t PageDataSize() const { return FPageDataSize; }
  bool Exclusive() const { return FExclusive; }
  void SetExclusive(bool Value) { FExclusive = Value; }
  bool ReadOnly() const { return FReadOnly; }
  TMdbDatabaseCache* Cache() const { return FCache.get(); }
  void ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2);
  void ClearCache();

 protected:
  // Derived destructors free it first: cancelling its change set calls back into the manager.
  std::unique_ptr<TMdbDatabaseCache> FCache;
  bool FDiskPageManager = false;
  std::uint16_t FPageSize = 0;
  std::uint16_t FPageHeaderSize = 0;
  std::uint16_t FPageDataSize = 0;
  std::int32_t FPageCount = 0;
  bool FExclusive = false;
  bool FReadOnly = false;
};

class TMdbMemoryPageManager : public TMdbPageManager {
  VELLUM_CLASS(TMdbMemoryPageManager)
 public:
  static constexpr std::int32_t kAllocateBy = 50;
  static constexpr std::int32_t kEmptyBlockSize = 28;

  TMdbMemoryPageManager();
  ~TMdbMemoryPageManager() override;

  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;
  std::int32_t DirectAddPage() override;
  void InitPage(TMdbPage* aPage) override;
  void InternalAddPage(TMdbPage* aPage) override;
  void InternalRemovePage(std::int32_t PageNo) override;
  void InternalReadPage(TMdbPage* aPage) override;   // 10392 for a number not allocated
  void InternalWritePage(TMdbPage* aPage) override;  // 12294 nil, 12295 corrupted, 10393 not allocated
  void CheckAllPagesReleased() const override;        // 20023

  std::int32_t AllocatedPageCount() const { return FAllocatedPageCount; }
  std::int32_t LastAllocatedPageNo() const { return FLastAllocatedPageNo; }
  const TMdbBitsArray& AllocatedPageMap() const { return FAllocatedPageMap; }
  // The stored bytes of a slot (tests and the page cache's copies).
  Byte* StoredPage(std::int32_t PageNo) const;
  // Drops every page at once, for a store given up whole (a load that failed half way): no page is
  // reported as not released.
  void Discard() noexcept {
    FreeBuffers();
    FPageCount = 0;
  }

 private:
  void FreeBuffers() noexcept;
  TMdbBitsArray FAllocatedPageMap;
  std::int32_t FAllocatedPageCount = 0;
  std::int32_t FAllocateBy = kAllocateBy;
  std::int32_t FLastAllocatedPageNo = 0;
  std::vector<Byte*> FDataPtrs;
  std::unique_ptr<TMdbReadWriteThreadSyncByCriticalSections> FThreadSync;
};

class TMdbTemporaryPageManager : public TMdbPageManager {
  VELLUM_CLASS(TMdbTemporaryPageManager)
 public:
  // MaxMemoryPageCount < 0: TempMemoryPageLimit.
  explicit TMdbTemporaryPageManager(std::int32_t MaxMemoryPageCount = -1);
  ~TMdbTemporaryPageManager() override;

  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;
  std::int32_t DirectAddPage() override;
  void InitPage(TMdbPage* aPage) override;
  void InternalAddPage(TMdbPage* aPage) override;
  void InternalRemovePage(std::int32_t PageNo) override;
  void InternalReadPage(TMdbPage* aPage) override;   // 10396 for a number not allocated
  void InternalWritePage(TMdbPage* aPage) override;  // 12292 nil, 12293 corrupted, 10397 not allocated
  void CheckAllPagesReleased() const override;        // 20036

  std::int32_t MaxMemoryPageCount() const { return FMaxMemoryPageCount; }
  std::int32_t AllocatedPageCount() const { return FAllocatedPageCount; }
  TMdbMemoryPageManager* MemoryPageManager() const { return FMemoryPageManager.get(); }
  TMdbTemporaryStream* TempPageFile() const { return FTempPageFile.get(); }

 private:
  std::int32_t AllocateNumber(TMdbPage* aPage);
  void EnsureSpillStream();
  Int64 SpillPosition(std::int32_t PageNo) const { return Int64(PageNo - FMaxMemoryPageCount) * FPageSize; }
  TMdbBitsArray FAllocatedPageMap;
  std::int32_t FAllocatedPageCount = 0;
  std::unique_ptr<TMdbTemporaryStream> FTempPageFile;
  std::int32_t FMaxMemoryPageCount = 0;
  std::unique_ptr<TMdbMemoryPageManager> FMemoryPageManager;
};
