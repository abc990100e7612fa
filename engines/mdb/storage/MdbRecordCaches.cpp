#include "engines/mdb/storage/MdbRecordCaches.h"

#include <algorithm>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbStorageConst.h"
#include "engines/mdb/storage/MdbTableData.h"

namespace {
constexpr char16_t SDuplicateRecordID[] = u"Error adding record to record map - duplicate record ID = %d %d";
constexpr char16_t SRecordDoesNotExist[] =
    u"Record does not exist, ID = %d, %d. Probably it was deleted by other sessions or by the transaction Rollback.";

TMdbTableData* RequireTableData(TMdbTableData* T) {
  if (T == nullptr) throw EMdbException(10425, SMdbPageNilPointer);
  return T;
}
}  // namespace

// ---- TMdbRecordBitmap ---------------------------------------------------------------------------------

TMdbRecordBitmap::TMdbRecordBitmap(TMdbTableData* aTableData)
    : FVisibleRecords(0, 10, 100), LTableData(RequireTableData(aTableData)) {
  FVisibleRecords.FInMemory = aTableData->FInMemory;
  FVisibleRecords.FTemporary = aTableData->FTemporary;
}

void TMdbRecordBitmap::SetActive(bool Value) {
  FActive = Value;
  FDistinct = false;
  if (!Value) {
    FVisibleRecords.SetSize(0);
    FVisibleRecords.FSorted = true;
    ForgetPositions();
  }
}

void TMdbRecordBitmap::PrepareBitmapForActivation() {
  Int64 n = LTableData->InternalGetRecordCount() / 10;
  if (n <= 0 || n > INT32_MAX) n = 1000;
  // The expected set size, so that showing every record does not reallocate step by step.
  FVisibleRecords.Items.reserve(static_cast<std::size_t>(n));
}

std::int32_t TMdbRecordBitmap::IndexOf(const TMdbRecordID& RecordID) const {
  const auto& A = FVisibleRecords;
  if (A.FSorted || A.ItemCount <= 16) return A.FindRecordByID(RecordID);
  if (FPositions.size() != static_cast<std::size_t>(A.ItemCount)) {
    FPositions.clear();
    FPositions.reserve(static_cast<std::size_t>(A.ItemCount));
    for (std::int32_t i = 0; i < A.ItemCount; ++i) FPositions.emplace(KeyOf(A.Items[i]), i);
  }
  const auto It = FPositions.find(KeyOf(RecordID));
  return It == FPositions.end() ? -1 : It->second;
}

TMdbRecordIDArray& TMdbRecordBitmap::ReorderRecords(bool Sorted) {
  ForgetPositions();
  FVisibleRecords.FSorted = Sorted;
  return FVisibleRecords;
}

void TMdbRecordBitmap::ShowRecord(const TMdbRecordID& RecordID) {
  auto& A = FVisibleRecords;
  if (A.ItemCount == 0) {
    A.Append(RecordID);
    A.FMaxRecordID = RecordID;
    return;
  }
  if (A.FSorted) {
    const int c = A.CompareRecordID(RecordID, A.FMaxRecordID);
    if (c == 0) throw EMdbException(11328, SDuplicateRecordID, {RecordID.PageNo, int(RecordID.PageItemNo)});
    A.Append(RecordID);
    if (c < 0) A.FSorted = false;
    else A.FMaxRecordID = RecordID;
    return;
  }
  // Ids of a set that is not sorted are not checked for duplicates (a filling scan yields each once);
  // an appended id keeps the position map valid.
  if (!FPositions.empty()) FPositions.emplace(KeyOf(RecordID), A.ItemCount);
  A.Append(RecordID);
}

void TMdbRecordBitmap::HideRecord(const TMdbRecordID& RecordID) {
  const std::int32_t i = IndexOf(RecordID);
  if (i < 0) throw EMdbException(11327, SRecordDoesNotExist, {RecordID.PageNo, int(RecordID.PageItemNo)});
  FVisibleRecords.Delete(i);
  ForgetPositions();
}

void TMdbRecordBitmap::InsertVisibleRecord(const TMdbRecordID& RecordID, const TMdbRecordID& PriorRecordID, bool bFirst,
                                           bool bLast) {
  auto& A = FVisibleRecords;
  std::int32_t At;
  if (bLast) {
    At = A.ItemCount;
  } else if (bFirst) {
    At = 0;
  } else {
    const std::int32_t Prior = IndexOf(PriorRecordID);
    if (Prior < 0) throw EMdbException(11332, SRecordDoesNotExist, {PriorRecordID.PageNo, int(PriorRecordID.PageItemNo)});
    At = Prior + 1;
  }
  A.FSorted = false;
  ForgetPositions();
  // Append and move into place: the id lands exactly at At whatever the array's size.
  A.Append(RecordID);
  std::rotate(A.Items.begin() + At, A.Items.begin() + A.ItemCount - 1, A.Items.begin() + A.ItemCount);
}

bool TMdbRecordBitmap::IsRecordVisible(const TMdbRecordID& RecordID) {
  if (FDistinct) {
    ShowRecord(RecordID);
    return true;
  }
  return IndexOf(RecordID) >= 0;
}

Int64 TMdbRecordBitmap::GetRecNoByRecordID(const TMdbRecordID& RecordID) const {
  const std::int32_t i = IndexOf(RecordID);
  return i < 0 ? -1 : Int64(i) + 1;
}

TMdbRecordID TMdbRecordBitmap::GetRecordIDByRecNo(Int64 RecNo) const {
  if (RecNo < 1 || RecNo > FVisibleRecords.ItemCount)
    throw EMdbException(11326, SMdbInvalidItemNumber, {RecNo - 1, FVisibleRecords.ItemCount});
  return FVisibleRecords.Items[static_cast<std::size_t>(RecNo - 1)];
}

void TMdbRecordBitmap::GetRecord(TMdbNavigationInfo& Info) const {
  const auto& A = FVisibleRecords;
  if (!FActive) {
    Info.GetRecordResult = grrError;
    return;
  }
  if (A.ItemCount == 0) {
    Info.GetRecordResult = grrEOF;
    return;
  }
  const TMdbGetRecordMode Mode = Info.GetRecordMode;
  if (Info.FirstPosition) {
    if (Mode == grmNext) {
      Info.RecordID = A.Items[0];
      Info.GetRecordResult = grrOK;
    } else {
      Info.GetRecordResult = Mode == grmPrior ? grrBOF : grrError;
    }
    return;
  }
  if (Info.LastPosition) {
    if (Mode == grmPrior) {
      Info.RecordID = A.Items[static_cast<std::size_t>(A.ItemCount - 1)];
      Info.GetRecordResult = grrOK;
    } else {
      Info.GetRecordResult = Mode == grmNext ? grrEOF : grrError;
    }
    return;
  }
  const TMdbRecordID Current = Info.RecordID;
  const std::int32_t i = IndexOf(Current);
  if (i < 0) {
    Info.GetRecordResult = grrError;
    return;
  }
  if (Mode == grmCurrent) {
    Info.GetRecordResult = grrOK;
  } else if (Mode == grmNext) {
    if (i + 1 >= A.ItemCount) {
      Info.GetRecordResult = grrEOF;
    } else {
      Info.RecordID = A.Items[static_cast<std::size_t>(i + 1)];
      Info.GetRecordResult = grrOK;
    }
  } else {
    if (i == 0) {
      Info.GetRecordResult = grrBOF;
    } else {
      Info.RecordID = A.Items[static_cast<std::size_t>(i - 1)];
      Info.GetRecordResult = grrOK;
    }
  }
}

// ---- TMdbRecordBufferCache -----------------------------------------------------------------------------

TMdbRecordBufferCache::~TMdbRecordBufferCache() {
  for (Byte*& p : FBuffers) {
    try {
      MdbMemoryManager->FreeAndNilMem(p);
    } catch (...) {
    }
  }
}

Byte* TMdbRecordBufferCache::GetBuffer() {
  TMdbLockGuard G(FSync, true);
  const auto n = static_cast<std::int32_t>(FBuffers.size());
  if (n == 0 || FUsedBuffers.NonZeroBitCount() == n) {
    FBuffers.reserve(FBuffers.size() + 1);
    auto* p = static_cast<Byte*>(MdbMemoryManager->AllocMem(FBufferSize));
    FBuffers.push_back(p);
    try {
      FUsedBuffers.SetSize(n + 1);
    } catch (...) {
      FBuffers.pop_back();
      MdbMemoryManager->FreeAndNilMem(p);
      throw;
    }
    FUsedBuffers.SetBit(n, true);
    return p;
  }
  std::int32_t Free = -1;
  if (!FUsedBuffers.Find(false, Free)) throw EMdbException(11763, SMdbPageNilPointer);
  FUsedBuffers.SetBit(Free, true);
  return FBuffers[static_cast<std::size_t>(Free)];
}

void TMdbRecordBufferCache::FreeBuffer(const Byte* Buffer) {
  TMdbLockGuard G(FSync, true);
  const auto It = std::find(FBuffers.begin(), FBuffers.end(), Buffer);
  if (It != FBuffers.end()) FUsedBuffers.SetBit(static_cast<std::int32_t>(It - FBuffers.begin()), false);
}

// ---- TMdbFindRecordCache -------------------------------------------------------------------------------

void TMdbFindRecordCache::Clear(bool bClearAll) {
  TMdbLockGuard G(FSync, true);
  if (bClearAll) {
    FItems.clear();
    return;
  }
  std::erase_if(FItems, [](const auto& Item) { return Item->UseCount == 0; });
}

TMdbFindRecordCacheItem* TMdbFindRecordCache::Add(std::unique_ptr<TMdbFindRecordCacheItem> Item) {
  TMdbLockGuard G(FSync, true);
  FItems.push_back(std::move(Item));
  return FItems.back().get();
}

std::int32_t TMdbFindRecordCache::Count() {
  TMdbLockGuard G(FSync, true);
  return static_cast<std::int32_t>(FItems.size());
}
