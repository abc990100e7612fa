#include "engines/mdb/storage/MdbPage.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbPageManager.h"
#include "engines/mdb/storage/MdbStorageConst.h"

// ---- TMdbPage ------------------------------------------------------------------------------------------

namespace {
TMdbPageManager* RequireManager(TMdbPageManager* M) {
  if (M == nullptr) throw EMdbException(11867, SMdbPageNilPointer);
  return M;
}
}  // namespace

TMdbPage::TMdbPage(TMdbPageManager* aPageManager, TMdbCache* aCache)
    : LPageManager(RequireManager(aPageManager)),
      LCache(aCache),
      FPageHeaderSize(aPageManager->PageHeaderSize()),
      FPageSize(aPageManager->PageSize()) {}

TMdbPage::~TMdbPage() {
  if (FOwnBuffer && FPageBuffer) {
    void* p = FPageBuffer;
    FPageBuffer = nullptr;
    try {
      MdbMemoryManager->FreeAndNilMem(p);
    } catch (const Exception& E) {
      MdbStorageDiagnostic(E.Message());
    }
  }
}

void TMdbPage::AllocPageBuffer() {
  // The new buffer is the page's own; an owned one it replaces is freed rather than lost.
  FreeAndNilPageBuffer();
  FPageBuffer = static_cast<Byte*>(MdbMemoryManager->AllocMem(FPageSize));
  InitPageHeader();
}

void TMdbPage::InitPageHeader() {
  auto* H = PageHeader();
  std::memcpy(H->Signature, kPageSignature, 4);
  H->NextPageNo = -1;
  H->ObjectID = -1;
  H->CRC32 = 0;
  H->PageType = 0;
  H->CRCType = 0;
  H->CipherType = 0;
}

void TMdbPage::FreeAndNilPageBuffer() {
  // A borrowed buffer is the manager's stored page: only the reference is dropped.
  if (FPageBuffer && FOwnBuffer) MdbMemoryManager->FreeAndNilMem(FPageBuffer);
  FPageBuffer = nullptr;
  FOwnBuffer = true;
}

void TMdbPage::EnlargePageBuffer(std::int32_t NewSize) {
  if (FPageBuffer == nullptr) throw EMdbException(20038, SMdbInvalidPageBuffer);
  if (NewSize < FPageSize) throw EMdbException(20039, SMdbInvalidPageModification);
  if (FOwnBuffer) {
    void* p = FPageBuffer;
    MdbMemoryManager->ReallocMemAndClearTail(p, NewSize);
    FPageBuffer = static_cast<Byte*>(p);
  } else {
    auto* Copy = static_cast<Byte*>(MdbMemoryManager->GetMem(NewSize));
    std::memcpy(Copy, FPageBuffer, static_cast<std::size_t>(FPageSize));
    std::memset(Copy + FPageSize, 0, static_cast<std::size_t>(NewSize - FPageSize));
    FPageBuffer = Copy;
    FOwnBuffer = true;
  }
}

void TMdbPage::OwnBufferForOverwrite() {
  if (FOwnBuffer && FPageBuffer) return;
  FPageBuffer = static_cast<Byte*>(MdbMemoryManager->GetMem(FPageSize));
  FOwnBuffer = true;
}

bool TMdbPage::IsHeaderCorrupted() const {
  if (FPageBuffer == nullptr) return true;
  if (FStateType == dbstIndex) return LPageManager->ChecksIndexPageHeader(FPageNo);
  return std::memcmp(FPageBuffer, kPageSignature, 4) != 0;
}

// ---- TMdbSortedPageArray -----------------------------------------------------------------------------

TMdbSortedPageArray::TMdbSortedPageArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy)
    : FPolicy(DefaultAllocBy, MaximumAllocBy) {
  SetSize(Size);
}

void TMdbSortedPageArray::SetSize(std::int32_t NewSize) {
  // Room is kept across shrinking: a change set is emptied at every commit and a shared list loses
  // and regains single pages all the time; giving the room back each time reallocated (and cleared)
  // the arrays on every change. Room is given back only when the list fell far below it.
  if (NewSize < 0) NewSize = 0;
  if (NewSize > FAllocItemCount) {
    const auto Alloc = static_cast<std::int32_t>(FPolicy.NewAllocation(NewSize, ItemCount, FAllocItemCount));
    KeyItems.resize(static_cast<std::size_t>(Alloc));
    ValueItems.resize(static_cast<std::size_t>(Alloc));
    FAllocItemCount = Alloc;
  } else if (NewSize < ItemCount && FAllocItemCount > 1024 && FAllocItemCount > 4 * NewSize) {
    FAllocItemCount = 2 * NewSize;
    KeyItems.resize(static_cast<std::size_t>(FAllocItemCount));
    KeyItems.shrink_to_fit();
    ValueItems.resize(static_cast<std::size_t>(FAllocItemCount));
    ValueItems.shrink_to_fit();
  }
  ItemCount = NewSize;
}

std::int32_t TMdbSortedPageArray::FindPosition(std::int32_t Key) const {
  const auto Begin = KeyItems.begin();
  return static_cast<std::int32_t>(std::lower_bound(Begin, Begin + ItemCount, Key) - Begin);
}

std::int32_t TMdbSortedPageArray::IndexOfKey(std::int32_t Key) const {
  const std::int32_t Pos = FindPosition(Key);
  return Pos < ItemCount && KeyItems[Pos] == Key ? Pos : -1;
}

std::int32_t TMdbSortedPageArray::Find(std::int32_t Key, TMdbPage*& Value) const {
  const std::int32_t i = IndexOfKey(Key);
  Value = i >= 0 ? ValueItems[i] : nullptr;
  return i;
}

void TMdbSortedPageArray::InsertAt(std::int32_t Index, std::int32_t Key, TMdbPage* Value) {
  SetSize(ItemCount + 1);
  std::copy_backward(KeyItems.begin() + Index, KeyItems.begin() + ItemCount - 1, KeyItems.begin() + ItemCount);
  std::copy_backward(ValueItems.begin() + Index, ValueItems.begin() + ItemCount - 1, ValueItems.begin() + ItemCount);
  KeyItems[Index] = Key;
  ValueItems[Index] = Value;
}

void TMdbSortedPageArray::DeleteAt(std::int32_t Index) {
  if (Index < 0 || Index >= ItemCount) return;
  std::copy(KeyItems.begin() + Index + 1, KeyItems.begin() + ItemCount, KeyItems.begin() + Index);
  std::copy(ValueItems.begin() + Index + 1, ValueItems.begin() + ItemCount, ValueItems.begin() + Index);
  SetSize(ItemCount - 1);
}

void TMdbSortedPageArray::Insert(std::int32_t Key, TMdbPage* Value) {
  const std::int32_t Pos = FindPosition(Key);
  if (Pos < ItemCount && KeyItems[Pos] == Key) {
    if (ItemCount == 1) throw EMdbException(11802, SMdbPageAlreadyExists, {Key, 0});
    throw EMdbException(11803, SMdbPageAlreadyExists, {Key, Pos});
  }
  InsertAt(Pos, Key, Value);
}

void TMdbSortedPageArray::Delete(std::int32_t Key, bool IgnoreErrors) {
  if (ItemCount == 0) {
    if (IgnoreErrors) return;
    throw EMdbException(11799, SMdbInvalidItemCountPages, {ItemCount});
  }
  const std::int32_t i = IndexOfKey(Key);
  if (i < 0) {
    if (IgnoreErrors) return;
    throw EMdbException(11800, SMdbElementNotFound, {Key, ItemCount});
  }
  DeleteAt(i);
}

TMdbPage* TMdbSortedPageArray::GetValue(std::int32_t ItemIndex) const {
  return ItemIndex >= 0 && ItemIndex < ItemCount ? ValueItems[ItemIndex] : nullptr;
}

void TMdbSortedPageArray::SetValue(std::int32_t ItemIndex, TMdbPage* Value) {
  if (ItemIndex >= 0 && ItemIndex < ItemCount) ValueItems[ItemIndex] = Value;
}

// ---- TMdbPageArray -----------------------------------------------------------------------------------

TMdbPageArray::TMdbPageArray(std::int32_t Size, std::int32_t DefaultAllocBy, std::int32_t MaximumAllocBy)
    : FPolicy(DefaultAllocBy, MaximumAllocBy) {
  SetSize(Size);
}

void TMdbPageArray::SetSize(std::int32_t NewSize) {
  if (NewSize <= 0) {
    FItems.clear();
    FItems.shrink_to_fit();
    FItemCount = FAllocItemCount = 0;
    return;
  }
  const auto Alloc = static_cast<std::int32_t>(FPolicy.NewAllocation(NewSize, FItemCount, FAllocItemCount));
  if (Alloc != FAllocItemCount) {
    FItems.resize(static_cast<std::size_t>(Alloc));
    FAllocItemCount = Alloc;
  }
  FItemCount = NewSize;
}

std::int32_t TMdbPageArray::Find(std::int32_t Value) const {
  for (std::int32_t i = 0; i < FItemCount; ++i)
    if (FItems[i] == Value) return i;
  return -1;
}

std::int32_t TMdbPageArray::Insert(std::int32_t Value, bool InsertIfNotExist) {
  const std::int32_t i = Find(Value);
  if (i >= 0) {
    if (InsertIfNotExist) return -1;
    throw EMdbException(11812, SMdbPageAlreadyExists, {Value, i});
  }
  SetSize(FItemCount + 1);
  FItems[FItemCount - 1] = Value;
  return FItemCount - 1;
}

void TMdbPageArray::DeleteByPosition(std::int32_t Pos) {
  if (Pos < 0 || Pos >= FItemCount) return;
  for (std::int32_t i = Pos; i + 1 < FItemCount; ++i) FItems[i] = FItems[i + 1];
  SetSize(FItemCount - 1);
}

void TMdbPageArray::Delete(std::int32_t Value) { DeleteByPosition(Find(Value)); }

std::int32_t TMdbPageArray::GetItem(std::int32_t ItemIndex) const {
  return ItemIndex >= 0 && ItemIndex < FItemCount ? FItems[ItemIndex] : -1;
}
