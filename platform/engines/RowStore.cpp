#include "platform/engines/RowStore.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"

namespace {

std::uint32_t AlignUp(std::uint32_t Value, std::uint32_t Alignment) { return (Value + Alignment - 1) & ~(Alignment - 1); }

std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void Store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

}  // namespace

bool DescribeColumn(TColumnType Type, std::int32_t Size, TColumnStorage& Storage, std::uint32_t& NativeSize) {
  const bool sized = Size >= 1 && Size <= kMaxColumnSize;
  Storage = TColumnStorage::Fixed;
  switch (Type) {
    case ftShortint:
    case ftByte:
      NativeSize = 1;
      return true;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      NativeSize = 2;
      return true;
    case ftInteger:
    case ftAutoInc:
    case ftLongWord:
    case ftSingle:
    case ftDate:
    case ftTime:
      NativeSize = 4;
      return true;
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
    case ftLargeint:
      NativeSize = 8;
      return true;
    case ftExtended:
      NativeSize = 10;
      return true;
    case ftTimeStamp:
    case ftOraTimeStamp:
      NativeSize = 16;
      return true;
    case ftTimeStampOffset:
      NativeSize = 20;
      return true;
    case ftBCD:
    case ftFMTBcd:
      NativeSize = 34;
      return true;
    case ftString:
    case ftFixedChar:
    case ftGuid:
      Storage = TColumnStorage::AnsiText;
      NativeSize = static_cast<std::uint32_t>(Size) + 1;
      return sized;
    case ftWideString:
    case ftFixedWideChar:
      Storage = TColumnStorage::WideText;
      NativeSize = (static_cast<std::uint32_t>(Size) + 1) * 2;
      return sized;
    case ftBytes:
      Storage = TColumnStorage::FixedBytes;
      NativeSize = static_cast<std::uint32_t>(Size);
      return sized;
    case ftVarBytes:
      Storage = TColumnStorage::VarBytes;
      NativeSize = static_cast<std::uint32_t>(Size) + 2;
      return sized;
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftTypedBinary:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftOraBlob:
    case ftOraClob:
    case ftWideMemo:
      Storage = TColumnStorage::Blob;
      NativeSize = sizeof(TBlobHandle);
      return true;
    default:
      // Object, reference, variant and interface columns hold more than bytes: not in this store.
      return false;
  }
}

TRecordLayout::TRecordLayout(std::vector<TColumnDef> Columns) : FColumns(std::move(Columns)) {
  FNullBytes = static_cast<std::uint32_t>((FColumns.size() + 7) / 8);
  std::uint32_t offset = FNullBytes;
  FLayouts.reserve(FColumns.size());
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    const TColumnDef& c = FColumns[i];
    TColumnLayout l;
    if (!DescribeColumn(c.Type, c.Size, l.Storage, l.NativeSize))
      throw EDatabaseError(Format(u"Field '%s' has a type or size the memory engine cannot hold", {c.Name}));
    // Values that are read as numbers sit at their natural alignment; text and bytes need none.
    const std::uint32_t align = l.Storage == TColumnStorage::Fixed ? std::min<std::uint32_t>(l.NativeSize, 8)
                                : l.Storage == TColumnStorage::WideText || l.Storage == TColumnStorage::VarBytes ? 2
                                : l.Storage == TColumnStorage::Blob ? 4
                                                                    : 1;
    offset = AlignUp(offset, align);
    l.Offset = offset;
    offset += l.NativeSize;
    if (l.Storage == TColumnStorage::Blob) FBlobColumns.push_back(static_cast<std::uint32_t>(i));
    FLayouts.push_back(l);
  }
  FDataSize = AlignUp(std::max<std::uint32_t>(offset, 1), 8);
}

void TRecordLayout::InitRecord(std::uint8_t* Data) const {
  std::memset(Data, 0, FDataSize);
  for (std::size_t i = 0; i < FColumns.size(); ++i) SetNull(Data, i, true);
}

// ---- row store ----

namespace {
// Each store starts its generations in its own window, so a bookmark taken from one store is stale in
// the next (a load replaces the store). Constant-initialised: no work at program start.
constinit std::atomic<std::uint32_t> gNextGenerationWindow{0};
}  // namespace

TRowStore::TRowStore(const TRecordLayout& Layout)
    : FLayout(Layout),
      FRows(kSlotHeader + Layout.DataSize(), kMaxRowsPerSlab, kSlabBytes),
      FGeneration(gNextGenerationWindow.fetch_add(1u << 24)) {}

// Only the order is reserved: the count comes from a file, and slabs are taken as rows arrive.
void TRowStore::Reserve(std::size_t Rows) { FOrder.Reserve(Rows); }

std::uint32_t TRowStore::SlotGeneration(TRowId Id) const { return Load32(Slot(Id)); }
std::uint32_t TRowStore::SlotHint(TRowId Id) const { return Load32(Slot(Id) + 4); }
void TRowStore::SetSlotHint(TRowId Id, std::size_t Index) { Store32(Slot(Id) + 4, static_cast<std::uint32_t>(Index)); }

TRowId TRowStore::IdAt(std::size_t Index) {
  const TRowId id = FOrder[Index];
  SetSlotHint(id, Index);
  return id;
}

bool TRowStore::IsLive(const TRowBookmark& Bookmark) const {
  // A live slot holds the odd generation it was given; freeing makes it even.
  return Bookmark.Id < FRows.End() && (Bookmark.Generation & 1) != 0 && SlotGeneration(Bookmark.Id) == Bookmark.Generation;
}

std::size_t TRowStore::IndexOf(const TRowBookmark& Bookmark) {
  if (!IsLive(Bookmark)) return npos;
  // Rows move only by inserts and deletes elsewhere, so the row is usually at or near its old place.
  const std::size_t found = FindNear(Count(), SlotHint(Bookmark.Id), [&](std::size_t I) { return FOrder[I] == Bookmark.Id; });
  if (found == kNotFound) return npos;
  SetSlotHint(Bookmark.Id, found);
  return found;
}

TRowId TRowStore::AllocateRow() {
  if (FRows.End() == UINT32_MAX) throw EDatabaseError(u"The memory engine holds too many rows");
  const TRowId id = FRows.Alloc();
  FGeneration += 2;
  Store32(Slot(id), FGeneration + 1);  // odd: live
  return id;
}

void TRowStore::FreeRow(TRowId Id) {
  std::uint8_t* data = Slot(Id) + kSlotHeader;
  for (std::uint32_t c : FLayout.BlobColumns()) FreeBlob(BlobHandleAt(data, FLayout.Column(c).Offset));
  std::uint8_t* slot = Slot(Id);
  Store32(slot, Load32(slot) + 1);  // even: free (the pool keeps the mark until the slot is reused)
  FRows.Free(Id);
}

TRowId TRowStore::InsertRow(std::size_t Index, const std::uint8_t* Source) {
  if (Index > Count()) Index = Count();
  const TRowId id = AllocateRow();
  std::uint8_t* data = Slot(id) + kSlotHeader;
  std::memcpy(data, Source, FLayout.DataSize());
  for (std::uint32_t c : FLayout.BlobColumns()) {
    const std::uint32_t offset = FLayout.Column(c).Offset;
    SetBlobHandleAt(data, offset, AdoptBlob(BlobHandleAt(data, offset), 0));
  }
  try {
    FOrder.Insert(Index, id);
  } catch (...) {
    FreeRow(id);
    throw;
  }
  SetSlotHint(id, Index);
  return id;
}

void TRowStore::UpdateRow(TRowId Id, const std::uint8_t* Source) {
  std::uint8_t* data = Slot(Id) + kSlotHeader;
  // The blob handles are settled first: a handle the row keeps must not be freed with the old ones.
  for (std::uint32_t c : FLayout.BlobColumns()) {
    const std::uint32_t offset = FLayout.Column(c).Offset;
    const TBlobHandle old_handle = BlobHandleAt(data, offset);
    const TBlobHandle new_handle = AdoptBlob(BlobHandleAt(Source, offset), old_handle);
    if (old_handle != new_handle) FreeBlob(old_handle);
    SetBlobHandleAt(data, offset, new_handle);
  }
  for (std::size_t c = 0; c < FLayout.ColumnCount(); ++c) {
    const TColumnLayout& l = FLayout.Column(c);
    if (l.Storage != TColumnStorage::Blob) std::memcpy(data + l.Offset, Source + l.Offset, l.NativeSize);
  }
  std::memcpy(data, Source, FLayout.NullBytes());
}

void TRowStore::DeleteAt(std::size_t Index) {
  FreeRow(FOrder.Remove(Index));
}

void TRowStore::Clear() {
  FOrder.Clear();
  FRows.Clear();
  FBlobs.Clear();
}

TBlobHandle TRowStore::NewBlob(const void* Owner) {
  TBlobHandle h;
  try {
    h = FBlobs.Add();
  } catch (const std::length_error&) {
    throw EDatabaseError(u"The memory engine holds too many blobs");
  }
  FBlobs[h].State = TBlobState::Pending;
  FBlobs[h].Owner = Owner;
  return h;
}

TBlobHandle TRowStore::AdoptBlob(TBlobHandle Handle, TBlobHandle Current) {
  if (Handle == Current) return Handle;
  if (!IsBlob(Handle)) return 0;
  if (FBlobs[Handle].State == TBlobState::Pending) {
    FBlobs[Handle].State = TBlobState::Owned;
    FBlobs[Handle].Owner = nullptr;
    return Handle;
  }
  // Another row's blob: the new row gets its own copy so the two never free one blob twice.
  const TBlobHandle copy = NewBlob();
  FBlobs[copy].Bytes = FBlobs[Handle].Bytes;
  FBlobs[copy].State = TBlobState::Owned;
  return copy;
}

void TRowStore::FreeBlob(TBlobHandle Handle) {
  if (!IsBlob(Handle)) return;
  std::vector<std::uint8_t>().swap(FBlobs[Handle].Bytes);
  FBlobs[Handle].State = TBlobState::Free;
  FBlobs[Handle].Owner = nullptr;
  FBlobs.Free(Handle);
}

void TRowStore::DiscardPending(std::uint8_t* Data) {
  for (std::uint32_t c : FLayout.BlobColumns()) {
    const std::uint32_t offset = FLayout.Column(c).Offset;
    const TBlobHandle h = BlobHandleAt(Data, offset);
    if (IsPendingFor(h, Data)) {
      FreeBlob(h);
      SetBlobHandleAt(Data, offset, 0);
    }
  }
}

TBlobHandle TRowStore::BlobHandleAt(const std::uint8_t* Data, std::uint32_t Offset) { return Load32(Data + Offset); }
void TRowStore::SetBlobHandleAt(std::uint8_t* Data, std::uint32_t Offset, TBlobHandle Handle) { Store32(Data + Offset, Handle); }
