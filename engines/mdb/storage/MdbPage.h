// Pages and page arrays: the page object through which index pages are read and changed, the typed
// view B-tree pages derive from, and the two page-number containers a page cache builds on.
//
// Disk page header (the first 21 bytes of a page buffer that carries it; little-endian, packed):
//   0   4  Signature   "ACSP" (kPageSignature)
//   4   4  NextPageNo  Int32, -1 when stamped
//   8   4  ObjectID    Int32, -1 when stamped
//  12   4  CRC32       UInt32, 0
//  16   2  PageType    UInt16, 0
//  18   1  CRCType     Byte, 0
//  19   1  CipherType  Byte, 0
//  20   1  Reserved    not written (zero in a fresh buffer)
// Only the signature is ever checked; B-tree pages overwrite these bytes with their node header, which
// is why index pages are exempt from the check.
//
// A page either owns its buffer (OwnBuffer) or borrows the buffer its memory page manager stores; a
// borrowed buffer is never freed by the page. Buffers come zero-filled from the engine's memory manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbTypes.h"

class TMdbPageManager;
class TMdbCache;
class TMdbSortedPageArray;

#pragma pack(push, 1)
struct TMdbDiskPageHeader {
  char Signature[4];
  std::int32_t NextPageNo;
  std::int32_t ObjectID;
  std::uint32_t CRC32;
  std::uint16_t PageType;
  Byte CRCType;
  Byte CipherType;
  Byte Reserved;
};
#pragma pack(pop)
static_assert(sizeof(TMdbDiskPageHeader) == 21 && offsetof(TMdbDiskPageHeader, PageType) == 16 &&
              offsetof(TMdbDiskPageHeader, CipherType) == 19);
inline constexpr char kPageSignature[4] = {'A', 'C', 'S', 'P'};

class TMdbPage : public TObject {
  VELLUM_CLASS(TMdbPage)
 public:
  // 11867 for a nil manager. No buffer is allocated.
  TMdbPage(TMdbPageManager* aPageManager, TMdbCache* aCache);
  ~TMdbPage() override;
  TMdbPage(const TMdbPage&) = delete;
  TMdbPage& operator=(const TMdbPage&) = delete;

  // A zero-filled, stamped PageSize buffer owned by the page; an owned buffer it replaces is freed.
  void AllocPageBuffer();
  void InitPageHeader();
  void FreeAndNilPageBuffer();
  // 20038 without a buffer, 20039 when NewSize < PageSize. A borrowed buffer is replaced by an owned
  // copy, so the manager's stored bytes stay as they were.
  void EnlargePageBuffer(std::int32_t NewSize);
  void Lock() { FThreadSync.WaitAndLockForWrite(); }
  void Unlock() { FThreadSync.Unlock(); }
  bool IsHeaderCorrupted() const;

  TMdbDiskPageHeader* PageHeader() const { return reinterpret_cast<TMdbDiskPageHeader*>(FPageBuffer); }
  std::int32_t PageHeaderSize() const { return FPageHeaderSize; }
  Byte* PageData() const { return FPageBuffer ? FPageBuffer + FPageHeaderSize : nullptr; }
  std::int32_t PageDataSize() const { return FPageSize - FPageHeaderSize; }
  std::int32_t PageSize() const { return FPageSize; }
  TMdbPageManager* PageManager() const { return LPageManager; }

  TMdbCache* Cache() const { return LCache; }
  void SetCache(TMdbCache* Value) { LCache = Value; }
  TMdbSortedPageArray* Parent() const { return LParent; }
  void SetParent(TMdbSortedPageArray* Value) { LParent = Value; }
  std::int32_t PageNo() const { return FPageNo; }
  void SetPageNo(std::int32_t Value) { FPageNo = Value; }
  Byte* PageBuffer() const { return FPageBuffer; }
  void SetPageBuffer(Byte* Value) { FPageBuffer = Value; }
  bool OwnBuffer() const { return FOwnBuffer; }
  void SetOwnBuffer(bool Value) { FOwnBuffer = Value; }
  // A page about to be overwritten whole: a borrowed buffer is replaced by an own one whose bytes are
  // left for the caller to fill.
  void OwnBufferForOverwrite();

  bool FUpdated = false;
  bool FDeleted = false;
  std::int32_t FUseCount = 0;
  std::int32_t FSessionID = 0;
  std::uint32_t FState = 0;
  TMdbDBStateType FStateType = dbstData;
  std::uint32_t FLastAccessTime = 0;
  // The commits of its cache this page's state has been brought through (see TMdbCache::SyncPage).
  std::uint64_t FCheckedGeneration = 0;
  std::int32_t FTableID = -1;

 private:
  TMdbPageManager* LPageManager;
  TMdbCache* LCache;
  TMdbSortedPageArray* LParent = nullptr;
  std::int32_t FPageNo = -1;
  Byte* FPageBuffer = nullptr;
  bool FOwnBuffer = true;
  std::int32_t FPageHeaderSize = 0;
  std::int32_t FPageSize = 0;
  TMdbReadWriteThreadSyncBySingleCriticalSection FThreadSync;
};

// A typed view of one page; B-tree pages derive from it.
class TMdbPageController : public TObject {
  VELLUM_CLASS(TMdbPageController)
 public:
  explicit TMdbPageController(TMdbPage* aPage = nullptr) : LPage(aPage) {}
  TMdbPage* Page() const { return LPage; }
  void SetPage(TMdbPage* Value) { LPage = Value; }
  std::int32_t PageNo() const { return LPage->PageNo(); }
  void SetPageNo(std::int32_t Value) { LPage->SetPageNo(Value); }
  std::int32_t PageSize() const { return LPage->PageSize(); }
  Byte* PageBuffer() const { return LPage->PageBuffer(); }
  void SetPageBuffer(Byte* Value) { LPage->SetPageBuffer(Value); }
  bool OwnBuffer() const { return LPage->OwnBuffer(); }
  void SetOwnBuffer(bool Value) { LPage->SetOwnBuffer(Value); }
  std::int32_t UseCount() const { return LPage->FUseCount; }
  void SetUseCount(std::int32_t Value) { LPage->FUseCount = Value; }
  TMdbPageManager* PageManager() const { return LPage->PageManager(); }
  void EnlargePageBuffer(std::int32_t NewSize) { LPage->EnlargePageBuffer(NewSize); }

 protected:
  TMdbPage* LPage;
};

// Page number -> page, ascending by number; does not own the pages.
class TMdbSortedPageArray : public TObject {
  VELLUM_CLASS(TMdbSortedPageArray)
 public:
  TMdbSortedPageArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy);
  void SetSize(std::int32_t NewSize);
  // The index of Key with its page, or -1 and nil.
  std::int32_t Find(std::int32_t Key, TMdbPage*& Value) const;
  // 11802 (one item) / 11803 for a key already present.
  void Insert(std::int32_t Key, TMdbPage* Value);
  // Without IgnoreErrors: 11799 when empty, 11800 for a missing key.
  void Delete(std::int32_t Key, bool IgnoreErrors);
  TMdbPage* GetValue(std::int32_t ItemIndex) const;
  void SetValue(std::int32_t ItemIndex, TMdbPage* Value);
  std::int32_t GetKey(std::int32_t ItemIndex) const { return KeyItems[ItemIndex]; }
  // The index of Key, or where it would be inserted.
  std::int32_t FindPosition(std::int32_t Key) const;
  std::int32_t IndexOfKey(std::int32_t Key) const;
  void InsertAt(std::int32_t Index, std::int32_t Key, TMdbPage* Value);
  void DeleteAt(std::int32_t Index);
  std::int32_t Count() const { return ItemCount; }
  std::int32_t AllocItemCount() const { return FAllocItemCount; }

  std::vector<std::int32_t> KeyItems;
  std::vector<TMdbPage*> ValueItems;
  std::int32_t ItemCount = 0;

 private:
  std::int32_t FAllocItemCount = 0;
  TMdbGrowthPolicy FPolicy;
};

// Distinct page numbers in insertion order.
class TMdbPageArray : public TObject {
  VELLUM_CLASS(TMdbPageArray)
 public:
  TMdbPageArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy);
  // The new index; for a value present -1 with InsertIfNotExist, else 11812.
  std::int32_t Insert(std::int32_t Value, bool InsertIfNotExist);
  std::int32_t Find(std::int32_t Value) const;
  void Delete(std::int32_t Value);
  void DeleteByPosition(std::int32_t Pos);
  std::int32_t GetItem(std::int32_t ItemIndex) const;
  void SetSize(std::int32_t NewSize);
  std::int32_t Count() const { return FItemCount; }

 private:
  std::vector<std::int32_t> FItems;
  std::int32_t FItemCount = 0;
  std::int32_t FAllocItemCount = 0;
  TMdbGrowthPolicy FPolicy;
};
