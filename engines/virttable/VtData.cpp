#include "engines/virttable/VtData.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>


#include "platform/db/FieldTypes.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace vt {

namespace {

[[noreturn]] void Assertion(const char16_t* Text = u"Assertion failure") { throw Exception(String(Text)); }
[[noreturn]] void CannotConvert() { throw EConvertError(String(u"Cannot convert type")); }

template <class T>
void Store(Byte* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

// Process-wide generation counter of item lists.
std::atomic<int> gRefreshIteration{0};

double RoundToScale(double X, int Scale) {
  if (Scale <= 0 || X == 0 || !std::isfinite(X) || std::fabs(X) >= 1125899906842624.0) return X;
  double p = 1;
  for (int i = 0; i < Scale; ++i) p *= 10;
  const double y = X * p;
  if (y == std::trunc(y)) return X;
  return (X >= 0 ? std::trunc(y + 0.5) : std::trunc(y - 0.5)) / p;
}

bool IsNumericVariant(TVarType t) {
  switch (t) {
    case varSmallint: case varInteger: case varSingle: case varDouble: case varCurrency: case varShortInt:
    case varByte: case varWord: case varLongWord: case varInt64: case varUInt64:
      return true;
    default:
      return false;
  }
}

// Date-time double of a slot → framework native forms and back.
double SlotDateToDateTime(const Byte* Slot) { return LoadSlot<double>(Slot); }

}  // namespace

// ---- predicates ----

bool IsBlobDataType(Word DataType) { return DataType == dtBlob || DataType == dtMemo || DataType == dtWideMemo; }
bool IsObjectDataType(Word) { return false; }
bool IsSharedObjectDataType(Word DataType) { return IsBlobDataType(DataType) || IsObjectDataType(DataType); }
bool IsComplexDataType(Word DataType) {
  return DataType == dtExtString || DataType == dtExtWideString || DataType == dtExtVarBytes || DataType == dtVariant ||
         IsSharedObjectDataType(DataType);
}

int GetBufferSize(Word DataType, int Length) {
  switch (DataType) {
    case dtString: return Length + 1;
    case dtWideString: return Length * 2 + 2;
    case dtInt8: case dtInt16: case dtUInt8: case dtUInt16: case dtBoolean: return 2;
    case dtInt64: case dtUInt64: case dtFloat: case dtCurrency: case dtBCD: case dtDate: case dtTime: case dtDateTime:
      return 8;
    case dtExtended: return 10;
    case dtFMTBCD: return 34;
    case dtSQLTimeStamp: return 16;
    case dtSQLTimeStampOffset: return 20;
    case dtBytes: return Length + 1;
    case dtVarBytes: return Length + 2;
    case dtGuid: return 39;
    default: return 4;
  }
}

// ---- TFieldDesc ----

void TFieldDesc::SetDataType(Word Value) {
  FDataType = Value;
  FIsBlob = IsBlobDataType(Value);
  FIsObject = IsObjectDataType(Value);
  FIsSharedObject = IsSharedObjectDataType(Value);
  FIsComplex = IsComplexDataType(Value);
}

void TFieldDesc::Assign(const TFieldDesc& Source) {
  Name = Source.Name;
  ActualName = Source.ActualName;
  SetDataType(Source.DataType());
  SubDataType = Source.SubDataType;
  Length = Source.Length;
  Scale = Source.Scale;
  Size = Source.Size;
  Offset = Source.Offset;
  Required = Source.Required;
  FieldNo = Source.FieldNo;
}

TFieldDesc* TFieldDescs::Add(std::unique_ptr<TFieldDesc> Desc) {
  FItems.push_back(std::move(Desc));
  return FItems.back().get();
}

TFieldDesc* TFieldDescs::FindField(std::u16string_view Name) const {
  for (const auto& d : FItems)
    if (d && !d->HasParent() && AnsiSameText(d->Name, Name)) return d.get();
  for (const auto& d : FItems)
    if (d && ((d->HasParent() && AnsiSameText(d->Name, Name)) || (!d->ActualName.empty() && AnsiSameText(d->ActualName, Name))))
      return d.get();
  return nullptr;
}

TFieldDesc* TFieldDescs::FieldByName(std::u16string_view Name) const {
  if (TFieldDesc* d = FindField(Name)) return d;
  throw Exception(u"Field " + String(Name) + u" not found");
}

// ---- TBlobPool, TSharedObjectTable ----

std::unique_ptr<TSharedObject> TBlobPool::Take(bool IsUnicode) {
  if (FFree.empty()) return std::make_unique<TCompressedBlob>(IsUnicode);
  std::unique_ptr<TSharedObject> blob = std::move(FFree.back());
  FFree.pop_back();
  static_cast<TBlob&>(*blob).Recycle(IsUnicode);
  return blob;
}

void TBlobPool::Give(std::unique_ptr<TSharedObject> Blob) {
  if (Blob->IsRecyclableBlob()) FFree.push_back(std::move(Blob));
}

std::unique_ptr<Byte[]> TBlobPool::TakeChunk() {
  if (FChunks.empty()) return std::make_unique_for_overwrite<Byte[]>(kChunkSize);
  std::unique_ptr<Byte[]> chunk = std::move(FChunks.back());
  FChunks.pop_back();
  return chunk;
}

void TBlobPool::GiveChunk(std::unique_ptr<Byte[]> Chunk) { FChunks.push_back(std::move(Chunk)); }

std::uint32_t TSharedObjectTable::NewHandle() {
  if (!FFree.empty()) {
    const std::uint32_t h = FFree.back();
    FFree.pop_back();
    return h;
  }
  if (FItems.size() >= 0x7FFFFFFF) throw EOutOfMemory(String(msg::SOutOfMemory));
  FItems.emplace_back();
  return static_cast<std::uint32_t>(FItems.size());
}

std::uint32_t TSharedObjectTable::Add(std::unique_ptr<TSharedObject> Object) {
  const std::uint32_t h = NewHandle();
  FItems[h - 1].Object = std::move(Object);
  return h;
}

const Byte* TSharedObjectTable::Keep(const Byte* Data, std::size_t Size) {
  if (Size == 0) return nullptr;
  if (FChunkUsed + Size > TBlobPool::kChunkSize) {
    FChunks.push_back(Pool->TakeChunk());
    FChunkUsed = 0;
  }
  Byte* p = FChunks.back().get() + FChunkUsed;
  std::memcpy(p, Data, Size);
  FChunkUsed += Size;
  return p;
}

std::uint32_t TSharedObjectTable::AddPacked(const Byte* Data, std::size_t Size, bool IsUnicode) {
  if (Size > kMaxPackedBlobSize) Assertion();
  const Byte* kept = Keep(Data, Size);
  const std::uint32_t h = NewHandle();
  TEntry& e = FItems[h - 1];
  e.Data = kept;
  e.Size = static_cast<std::uint32_t>(Size);
  e.Packed = true;
  e.Unicode = IsUnicode;
  return h;
}

bool TSharedObjectTable::RefillPacked(std::uint32_t Handle, const Byte* Data, std::size_t Size) {
  if (!IsPacked(Handle) || Size > kMaxPackedBlobSize) return false;
  TEntry& e = FItems[Handle - 1];
  // The old content's bytes are reused when they were the last kept (a value written twice).
  if (e.Size && !FChunks.empty() && e.Data + e.Size == FChunks.back().get() + FChunkUsed) FChunkUsed -= e.Size;
  e.Data = nullptr;
  e.Size = 0;
  e.Data = Keep(Data, Size);
  e.Size = static_cast<std::uint32_t>(Size);
  return true;
}

TSharedObject* TSharedObjectTable::Unpack(TEntry& Entry) const {
  std::unique_ptr<TSharedObject> object = Pool->Take(Entry.Unicode);
  auto& blob = static_cast<TBlob&>(*object);
  // The state the blob had when it was packed: its content committed, rollback enabled.
  if (Entry.Size) blob.Write(0, Entry.Size, Entry.Data);
  blob.EnableRollback();
  Entry.Object = std::move(object);
  Entry.Packed = false;
  Entry.Data = nullptr;
  Entry.Size = 0;
  return Entry.Object.get();
}

int TSharedObjectTable::RefCount(std::uint32_t Handle) const {
  if (!Handle || Handle > FItems.size()) return 0;
  const TEntry& e = FItems[Handle - 1];
  return e.Packed ? 1 : (e.Object ? e.Object->RefCount() : 0);
}

Int64 TSharedObjectTable::BlobSize(std::uint32_t Handle) const {
  if (!Handle || Handle > FItems.size()) return 0;
  const TEntry& e = FItems[Handle - 1];
  if (e.Packed) return e.Size;
  return e.Object ? static_cast<const TBlob&>(*e.Object).Size() : 0;
}

void TSharedObjectTable::CommitBlob(std::uint32_t Handle) {
  if (!Handle || Handle > FItems.size()) return;
  TEntry& e = FItems[Handle - 1];
  if (e.Packed || !e.Object) return;
  static_cast<TBlob&>(*e.Object).Commit();
  // Only what unpacking gives back exactly is packed: a pool blob alone in its handle, rollback on and
  // nothing parked, plain content in one piece of the default size, null or small.
  if (!e.Object->IsRecyclableBlob()) return;
  auto& blob = static_cast<TCompressedBlob&>(*e.Object);
  if (blob.RefCount() != 1 || !blob.RollbackEnabled() || blob.UseRollback() || blob.PieceSize() != kDefaultPieceSize ||
      blob.Compressed())
    return;
  const TVtBlobData& data = blob.Data();
  const std::size_t pieces = data.PieceCount();
  if (pieces > 1) return;
  const std::size_t size = pieces ? data.Pieces().front().size() : 0;
  if (size > kMaxPackedBlobSize || (size == 0 && !blob.IsNull())) return;
  e.Data = Keep(size ? data.Pieces().front().data() : nullptr, size);
  e.Size = static_cast<std::uint32_t>(size);
  e.Unicode = blob.IsUnicode();
  e.Packed = true;
  Pool->Give(std::move(e.Object));
}

void TSharedObjectTable::CancelBlob(std::uint32_t Handle) {
  if (!Handle || Handle > FItems.size()) return;
  TEntry& e = FItems[Handle - 1];
  if (!e.Packed && e.Object) static_cast<TBlob&>(*e.Object).Cancel();
}

void TSharedObjectTable::AddRef(std::uint32_t Handle) {
  if (TSharedObject* o = Get(Handle)) o->AddRef();
}

void TSharedObjectTable::Release(std::uint32_t Handle) {
  if (!Handle || Handle > FItems.size()) return;
  TEntry& e = FItems[Handle - 1];
  if (e.Packed) {
    e = TEntry{};
    FFree.push_back(Handle);
    return;
  }
  if (!e.Object) return;
  if (e.Object->Release()) {
    Pool->Give(std::move(e.Object));
    FFree.push_back(Handle);
  }
}

void TSharedObjectTable::Clear() {
  for (TEntry& e : FItems)
    if (e.Object) Pool->Give(std::move(e.Object));
  FItems.clear();
  FFree.clear();
  for (auto& chunk : FChunks) Pool->GiveChunk(std::move(chunk));
  FChunks.clear();
  FChunkUsed = TBlobPool::kChunkSize;
}

// ---- TBlockManager ----

std::size_t TBlockManager::ItemStride() const {
  // Items start 8-aligned so their headers are naturally aligned; the record bytes are copied only.
  return (TItemHeader::kItemHeaderSize + static_cast<std::size_t>(FRecordSize) + 7) / 8 * 8;
}

void TBlockManager::SetRecordSize(int Value) {
  if (Value == FRecordSize) return;
  if (FFirstBlock) Assertion();
  FRecordSize = Value;
}

void TBlockManager::PushFree(TItemHeader* Item) {
  Item->Flag = kItemFree;
  Item->Prev = nullptr;
  Item->Next = FFirstFree;
  if (FFirstFree) FFirstFree->Prev = Item;
  FFirstFree = Item;
}

void TBlockManager::UnlinkFree(TItemHeader* Item) {
  if (Item->Prev) Item->Prev->Next = Item->Next;
  else FFirstFree = Item->Next;
  if (Item->Next) Item->Next->Prev = Item->Prev;
}

void TBlockManager::AddFreeBlock() {
  const std::size_t stride = ItemStride();
  const std::size_t bytes = TBlockHeader::kBlockHeaderSize + stride * DefaultItemCount;
  std::uint32_t slab = 0;
  Byte* raw = BlockMemory(bytes, slab);
  auto* block = new (raw) TBlockHeader{};
  block->ItemCount = DefaultItemCount;
  block->Slab = slab;
  block->Next = FFirstBlock;
  if (FFirstBlock) FFirstBlock->Prev = block;
  FFirstBlock = block;
  ++FBlockCount;
  FCarving = block;
}

Byte* TBlockManager::BlockMemory(std::size_t Bytes, std::uint32_t& Slab) {
  if (!FFreeBlocks.empty()) {
    const auto [memory, slab] = FFreeBlocks.back();
    FFreeBlocks.pop_back();
    Slab = slab;
    ++FSlabs[slab].Live;
    return memory;
  }
  if (FCurrentSlab < 0 || FSlabs[static_cast<std::size_t>(FCurrentSlab)].Carved ==
                              FSlabs[static_cast<std::size_t>(FCurrentSlab)].Capacity) {
    // Slabs double from a few blocks up to kSlabBytes; those of that size are whole pages of a reserve.
    // No huge pages are asked for: on a busy machine the kernel's compaction for them stalls a load
    // far longer than the page faults it saves.
    const std::uint32_t previous = FLastCapacity;
    const std::uint32_t most = static_cast<std::uint32_t>(std::max<std::size_t>(1, kSlabBytes / Bytes));
    const std::uint32_t capacity = previous == 0 ? std::min<std::uint32_t>(4, most) : std::min(previous * 2, most);
    TSlab s;
    s.Capacity = capacity;
    s.Size = Bytes * capacity;
    if (s.Size * 2 > kSlabBytes && Bytes <= kSlabBytes) {
      const sys::TPages pages = SlabPages().Take(kSlabBytes);
      if (pages.Memory) {
        // A fresh slab is about to be filled: its pages are committed in one call, not one fault each.
        if (!pages.Dirty) sys::PopulatePages(pages.Memory, pages.Size);
        s.Memory = static_cast<Byte*>(pages.Memory);
        s.Size = pages.Size;
        s.Mapped = true;
        s.Capacity = static_cast<std::uint32_t>(kSlabBytes / Bytes);
      }
    }
    if (!s.Memory) {
      s.Size = Bytes * s.Capacity;
      s.Memory = static_cast<Byte*>(::operator new(s.Size, std::align_val_t{8}));
    }
    FLastCapacity = s.Capacity;
    if (!FReleasedSlabs.empty()) {
      FCurrentSlab = static_cast<std::int32_t>(FReleasedSlabs.back());
      FReleasedSlabs.pop_back();
      FSlabs[static_cast<std::size_t>(FCurrentSlab)] = s;
    } else {
      FSlabs.push_back(s);
      FCurrentSlab = static_cast<std::int32_t>(FSlabs.size() - 1);
    }
  }
  TSlab& s = FSlabs[static_cast<std::size_t>(FCurrentSlab)];
  Slab = static_cast<std::uint32_t>(FCurrentSlab);
  ++s.Live;
  return s.Memory + Bytes * s.Carved++;
}

sys::TPageReserve& TBlockManager::SlabPages() const {
  return Pool && *Pool ? (*Pool)->Pages() : sys::ProcessPageReserve();
}

void TBlockManager::ReleaseSlab(std::uint32_t Slab) {
  TSlab& s = FSlabs[Slab];
  if (s.Mapped) SlabPages().Return({s.Memory, s.Size, true});
  else ::operator delete(s.Memory, std::align_val_t{8});
  s = TSlab{};
}

void TBlockManager::FreeBlockMemory(TBlockHeader* Block) {
  const std::uint32_t slab = Block->Slab;
  TSlab& s = FSlabs[slab];
  if (--s.Live > 0) {
    FFreeBlocks.emplace_back(reinterpret_cast<Byte*>(Block), slab);
    return;
  }
  // The slab's last block went: the slab goes back to the system, and its other blocks leave the list
  // of free blocks.
  std::erase_if(FFreeBlocks, [slab](const auto& f) { return f.second == slab; });
  ReleaseSlab(slab);
  if (FCurrentSlab == static_cast<std::int32_t>(slab)) FCurrentSlab = -1;
  FReleasedSlabs.push_back(slab);
}

TItemHeader* TBlockManager::AllocItem() {
  TItemHeader* item = FFirstFree;
  if (item) {
    if (item->Flag != kItemFree) Assertion();
    UnlinkFree(item);
  } else {
    if (!FCarving || FCarving->CarvedItems == FCarving->ItemCount) AddFreeBlock();
    Byte* raw = reinterpret_cast<Byte*>(FCarving);
    item = new (raw + TBlockHeader::kBlockHeaderSize + ItemStride() * FCarving->CarvedItems++) TItemHeader{};
    item->Block = FCarving;
  }
  item->Flag = kItemUsed;
  item->Prev = item->Next = nullptr;
  ++item->Block->UsedItems;
  return item;
}

void TBlockManager::FreeItem(TItemHeader* Item) {
  if (Item->Flag != kItemUsed) Assertion();
  TBlockHeader* block = Item->Block;
  if (block->UsedItems != 1) {
    --block->UsedItems;
    PushFree(Item);
    return;
  }
  Item->Flag = kItemFree;
  // The block empties: its other handed-out items leave the free list and the block goes.
  const std::size_t stride = ItemStride();
  Byte* raw = reinterpret_cast<Byte*>(block);
  for (Word i = 0; i < block->CarvedItems; ++i) {
    auto* it = reinterpret_cast<TItemHeader*>(raw + TBlockHeader::kBlockHeaderSize + stride * i);
    if (it == Item) continue;
    if (it->Flag != kItemFree) Assertion();
    UnlinkFree(it);
  }
  if (block->Prev) block->Prev->Next = block->Next;
  else FFirstBlock = block->Next;
  if (block->Next) block->Next->Prev = block->Prev;
  if (FCarving == block) FCarving = nullptr;
  --FBlockCount;
  FreeBlockMemory(block);
}

void TBlockManager::FreeAllBlocks() {
  for (std::uint32_t i = 0; i < FSlabs.size(); ++i)
    if (FSlabs[i].Memory) ReleaseSlab(i);
  FSlabs.clear();
  FReleasedSlabs.clear();
  FFreeBlocks.clear();
  FCurrentSlab = -1;
  FLastCapacity = 0;
  FFirstBlock = nullptr;
  FFirstFree = nullptr;
  FCarving = nullptr;
  FBlockCount = 0;
}

// ---- TData ----

TData::TData() = default;
TData::~TData() = default;

void TData::Open() {
  if (FActive) return;
  InitData();
  try {
    InternalOpen();
  } catch (...) {
    FreeData();
    throw;
  }
  FActive = true;
}

void TData::Close() {
  std::exception_ptr failure;
  if (FActive) {
    try {
      InternalClose();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  FActive = false;
  FreeData();
  if (AutoInitFields) ClearFields();
  if (failure) std::rethrow_exception(failure);
}

void TData::InitFields() {
  if (AutoInitFields) {
    FFields.Clear();
    InternalInitFields();
    MakeFieldNamesUnique();
  }
  FHasBlobFields = std::any_of(FFields.begin(), FFields.end(), [](const auto& d) { return d->IsBlob(); });
  FHasComplexFields = std::any_of(FFields.begin(), FFields.end(), [](const auto& d) { return d->IsComplex(); });
  InitRecordSize();
  InitCalcRecordSize();
}

void TData::ClearFields() { FFields.Clear(); }

void TData::InitRecordSize() {
  FDataSize = 0;
  for (const auto& d : FFields) {
    if (d->FieldDescKind == fdkCalculated || d->HasParent()) continue;
    d->Offset = FDataSize;
    if (d->DataType() == dtWideString && (d->Offset & 1)) {
      ++d->Offset;
      ++FDataSize;
    }
    FDataSize += d->Size;
  }
  FRecordSize = FDataSize + FFields.Count();
  if (FRecordSize & 1) ++FRecordSize;
}

void TData::InitCalcRecordSize() {
  FCalcDataSize = 0;
  int k = 0;
  for (const auto& d : FFields) {
    if (d->FieldDescKind != fdkCalculated) continue;
    d->Offset = FRecordSize + FCalcDataSize;
    if (d->DataType() == dtWideString && (d->Offset & 1)) {
      ++d->Offset;
      ++FCalcDataSize;
    }
    FCalcDataSize += d->Size;
    d->ActualFieldNo = ++k;
  }
  FCalcRecordSize = k + FCalcDataSize;
  if (FCalcRecordSize > 0 && (FCalcRecordSize & 1)) ++FCalcRecordSize;
}

void TData::MakeFieldNamesUnique() {
  std::vector<TFieldDesc*> list;
  for (const auto& d : FFields)
    if (!d->HasParent()) {
      d->Reserved = false;
      list.push_back(d.get());
    }
  std::stable_sort(list.begin(), list.end(), [](TFieldDesc* a, TFieldDesc* b) {
    const int c = AnsiCompareText(a->Name, b->Name);
    return c != 0 ? c < 0 : a->FieldNo < b->FieldNo;
  });
  for (std::size_t i = 1; i < list.size(); ++i)
    if (AnsiSameText(list[i - 1]->Name, list[i]->Name)) list[i - 1]->Reserved = list[i]->Reserved = true;
  // Of each group of equal names the first keeps its name; the others (and empty names) get the first
  // free suffix counting from 1 (from 0 for an empty name), so "" "A" "a" gives "_0" "A" "a_1".
  std::vector<String> original;
  for (TFieldDesc* d : list) original.push_back(d->Name);
  for (std::size_t i = 0; i < list.size(); ++i) {
    TFieldDesc* d = list[i];
    const bool first = i == 0 || !AnsiSameText(original[i - 1], d->Name) || d->Name.empty();
    if (!d->Name.empty() && (!d->Reserved || first)) continue;
    const String base = d->Name;
    int n = base.empty() ? 0 : 1;
    String candidate;
    for (;; ++n) {
      candidate = base + u"_" + Str(std::to_string(n));
      const TFieldDesc* other = FFields.FindField(candidate);
      if (!other || other == d) break;
    }
    d->Name = candidate;
  }
  for (const auto& d : FFields) d->Reserved = false;
}

void TData::InitRecord(Byte* RecBuf) const {
  if (FHasComplexFields) std::memset(RecBuf, 0, static_cast<std::size_t>(FRecordSize));
  std::memset(RecBuf + FDataSize, 1, static_cast<std::size_t>(FFields.Count()));
}

bool TData::GetNull(const TFieldDesc& Field, const Byte* RecBuf) const {
  const Byte* ind = Field.FieldDescKind == fdkCalculated
                        ? RecBuf + FRecordSize + FCalcDataSize + Field.ActualFieldNo - 1
                        : RecBuf + FDataSize + Field.FieldNo - 1;
  if (*ind != 1) return false;
  if (Field.IsBlob()) {
    // A blob written through its object while flagged null is not null.
    if (FObjects.BlobSize(LoadSlot<std::uint32_t>(RecBuf + Field.Offset)) > 0) {
      const_cast<Byte*>(ind)[0] = 0;
      return false;
    }
  }
  return true;
}

void TData::SetNull(const TFieldDesc& Field, Byte* RecBuf, bool Value) {
  Byte* ind = Field.FieldDescKind == fdkCalculated ? RecBuf + FRecordSize + FCalcDataSize + Field.ActualFieldNo - 1
                                                   : RecBuf + FDataSize + Field.FieldNo - 1;
  *ind = Value ? 1 : 0;
  if (Value && Field.IsBlob()) {
    const std::uint32_t h = LoadSlot<std::uint32_t>(RecBuf + Field.Offset);
    if (FObjects.IsPacked(h) && FObjects.PackedSize(h) == 0) return;  // null already
    if (TBlob* blob = GetObject(Field, RecBuf)) blob->Clear();
  }
}

void TData::GetFieldData(const TFieldDesc& Field, const Byte* Slot, Byte* Dest) const {
  switch (Field.DataType()) {
    case dtString: {
      std::size_t n = 0;
      while (n < Field.Length && Slot[n]) ++n;
      std::memcpy(Dest, Slot, n);
      Dest[n] = 0;
      break;
    }
    case dtWideString: {
      std::size_t n = 0;
      while (n < Field.Length && (Slot[2 * n] || Slot[2 * n + 1])) ++n;
      std::memcpy(Dest, Slot, 2 * n);
      Dest[2 * n] = Dest[2 * n + 1] = 0;
      break;
    }
    case dtExtString: case dtExtWideString: case dtExtVarBytes: {
      const std::uint32_t h = LoadSlot<std::uint32_t>(Slot);
      if (!h) Assertion();
      const Byte* p = FStringHeap.Data(h);
      if (Field.DataType() == dtExtString) {
        const std::size_t n = ::strnlen(reinterpret_cast<const char*>(p), Field.Length);
        std::memcpy(Dest, p, n);
        Dest[n] = 0;
      } else if (Field.DataType() == dtExtWideString) {
        std::size_t n = 0;
        while (n < Field.Length && (p[2 * n] || p[2 * n + 1])) ++n;
        std::memcpy(Dest, p, 2 * n);
        Dest[2 * n] = Dest[2 * n + 1] = 0;
      } else {
        std::memcpy(Dest, p, LoadSlot<Word>(p) + 2u);
      }
      break;
    }
    case dtInt8: case dtUInt8: Dest[0] = Slot[0]; break;
    case dtDate: Store<std::int32_t>(Dest, DateTimeToNativeDate(SlotDateToDateTime(Slot))); break;
    case dtTime: Store<std::int32_t>(Dest, DateTimeToNativeTime(SlotDateToDateTime(Slot))); break;
    case dtDateTime: Store<double>(Dest, DateTimeToNativeDateTime(SlotDateToDateTime(Slot))); break;
    case dtBCD: {
      const TBcd bcd = CurrencyToBcd(Currency::FromScaled(LoadSlot<Int64>(Slot)));
      std::memcpy(Dest, &bcd, sizeof bcd);
      break;
    }
    case dtBytes: std::memcpy(Dest, Slot, Field.Length); break;
    case dtVarBytes: std::memcpy(Dest, Slot, Field.Length + 2u); break;
    case dtGuid: {
      std::size_t n = 0;
      while (n + 1 < static_cast<std::size_t>(Field.Size) && Slot[n]) ++n;
      std::memcpy(Dest, Slot, n);
      Dest[n] = 0;
      break;
    }
    default: std::memcpy(Dest, Slot, static_cast<std::size_t>(Field.Size)); break;
  }
}

void TData::PutFieldData(const TFieldDesc& Field, Byte* Slot, const Byte* Source, std::size_t SourceSize,
                         bool IsDatabaseValue) {
  switch (Field.DataType()) {
    case dtString: case dtGuid: {
      const std::size_t cap = static_cast<std::size_t>(Field.Size) - 1;
      std::size_t n = 0;
      while (n < cap && n < SourceSize && Source[n]) ++n;
      // A text longer than the slot is cut where no double-byte character is split; one that fits is
      // taken whole (the code page is not consulted).
      if (n == cap && n < SourceSize && Source[n])
        n = sys::CutLength(std::string_view(reinterpret_cast<const char*>(Source), n + 1), cap);
      std::memcpy(Slot, Source, n);
      Slot[n] = 0;
      break;
    }
    case dtWideString: {
      const std::size_t n = WideLength(Source, std::min<std::size_t>(Field.Length, SourceSize / 2));
      std::memcpy(Slot, Source, 2 * n);
      Slot[2 * n] = Slot[2 * n + 1] = 0;
      break;
    }
    case dtExtString: case dtExtWideString: case dtExtVarBytes: {
      FStringHeap.DisposeBuf(LoadSlot<std::uint32_t>(Slot));
      std::uint32_t h = 0;
      if (Field.DataType() == dtExtString) {
        h = FStringHeap.AllocStr(reinterpret_cast<const char*>(Source), false,
                                 static_cast<int>(::strnlen(reinterpret_cast<const char*>(Source), SourceSize)));
      } else if (Field.DataType() == dtExtWideString) {
        int n = 0;
        while (2u * n + 1 < SourceSize && (Source[2 * n] || Source[2 * n + 1])) ++n;
        std::vector<char16_t> w(static_cast<std::size_t>(n) + 1, 0);
        std::memcpy(w.data(), Source, 2u * n);
        h = FStringHeap.AllocWideStr(w.data(), false, n);
      } else {
        const Word count = std::min<Word>(LoadSlot<Word>(Source), Field.Length);
        h = FStringHeap.NewBuf(count + 2);
        Byte* p = FStringHeap.Data(h);
        Store<Word>(p, count);
        std::memcpy(p + 2, Source + 2, count);
      }
      Store<std::uint32_t>(Slot, h);
      break;
    }
    case dtInt8: case dtUInt8: Slot[0] = Source[0]; Slot[1] = 0; break;
    case dtFloat: {
      double v = LoadSlot<double>(Source);
      if (!IsDatabaseValue) v = RoundToScale(v, Field.Scale);
      Store<double>(Slot, v);
      break;
    }
    case dtDate: Store<double>(Slot, NativeDateToDateTime(LoadSlot<std::int32_t>(Source))); break;
    case dtTime: Store<double>(Slot, NativeTimeToDateTime(LoadSlot<std::int32_t>(Source))); break;
    case dtDateTime: Store<double>(Slot, NativeDateTimeToDateTime(LoadSlot<double>(Source))); break;
    case dtBCD: {
      TBcd bcd;
      std::memcpy(&bcd, Source, sizeof bcd);
      Store<Int64>(Slot, BcdToCurrency(bcd).Scaled);
      break;
    }
    case dtBytes: std::memcpy(Slot, Source, std::min<std::size_t>(Field.Length, SourceSize)); break;
    case dtVarBytes: {
      const Word count = std::min<Word>(LoadSlot<Word>(Source), Field.Length);
      Store<Word>(Slot, count);
      std::memcpy(Slot + 2, Source + 2, count);
      break;
    }
    default:
      std::memcpy(Slot, Source, std::min<std::size_t>(static_cast<std::size_t>(Field.Size), SourceSize));
      break;
  }
}

void TData::GetField(const TFieldDesc& Field, const Byte* RecBuf, Byte* Dest, bool& IsBlank) const {
  IsBlank = GetNull(Field, RecBuf);
  if (!Dest || IsBlank || Field.IsBlob()) return;
  GetFieldData(Field, RecBuf + Field.Offset, Dest);
  const Word dt = Field.DataType();
  if (dt >= dtString && dt <= dtExtWideString && (Field.Fixed ? TrimFixedChar : TrimVarChar)) {
    if (dt == dtString || dt == dtExtString) {
      char* s = reinterpret_cast<char*>(Dest);
      for (int i = static_cast<int>(std::strlen(s)) - 1; i >= 0 && s[i] == ' '; --i) s[i] = 0;
    } else {
      char16_t w;
      for (int i = 0;; ++i) {
        std::memcpy(&w, Dest + 2 * i, 2);
        if (!w) {
          for (int k = i - 1; k >= 0; --k) {
            std::memcpy(&w, Dest + 2 * k, 2);
            if (w != u' ') break;
            Dest[2 * k] = Dest[2 * k + 1] = 0;
          }
          break;
        }
      }
    }
  }
}

void TData::PutField(const TFieldDesc& Field, Byte* RecBuf, const Byte* Source, std::size_t SourceSize,
                     bool IsDatabaseValue) {
  if (!Source) {
    SetNull(Field, RecBuf, true);
    return;
  }
  PutFieldData(Field, RecBuf + Field.Offset, Source, SourceSize, IsDatabaseValue);
  bool empty = false;
  if (SetEmptyStrToNull) {
    const Word dt = Field.DataType();
    if (dt == dtString || dt == dtWideString) empty = RecBuf[Field.Offset] == 0 && (dt == dtString || RecBuf[Field.Offset + 1] == 0);
    else if (dt == dtExtString || dt == dtExtWideString) {
      const std::uint32_t h = LoadSlot<std::uint32_t>(RecBuf + Field.Offset);
      const Byte* p = FStringHeap.Data(h);
      empty = !p || (p[0] == 0 && (dt == dtExtString || p[1] == 0));
    }
  }
  SetNull(Field, RecBuf, empty);
}

Variant TData::GetFieldAsVariant(const TFieldDesc& Field, const Byte* RecBuf, bool UseRollback) const {
  if (GetNull(Field, RecBuf)) return Null();
  return GetDataAsVariant(RecBuf + Field.Offset, Field, UseRollback);
}

void TData::PutFieldAsVariant(const TFieldDesc& Field, Byte* RecBuf, const Variant& Value, bool IsDatabaseValue) {
  if (Value.IsNull() || Value.IsEmpty()) {
    SetNull(Field, RecBuf, true);
    return;
  }
  PutDataAsVariant(RecBuf + Field.Offset, Field, Value, IsDatabaseValue);
  SetNull(Field, RecBuf, false);
}

Variant TData::GetDataAsVariant(const Byte* Slot, const TFieldDesc& Field, bool UseRollback) const {
  const bool trim = Field.Fixed ? TrimFixedChar : TrimVarChar;
  switch (Field.DataType()) {
    case dtString: case dtExtString: {
      const char* s = Field.DataType() == dtString ? reinterpret_cast<const char*>(Slot)
                                                   : reinterpret_cast<const char*>(FStringHeap.Data(LoadSlot<std::uint32_t>(Slot)));
      // An out-of-record text may hold more than the field's Length: the read stops there.
      std::size_t n = s ? ::strnlen(s, Field.DataType() == dtString ? static_cast<std::size_t>(Field.Size) : Field.Length) : 0;
      if (trim)
        while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= 32) --n;
      return VarFromAnsi(AnsiString(s ? s : "", n));
    }
    case dtWideString: case dtExtWideString: {
      const Byte* p = Field.DataType() == dtWideString ? Slot : FStringHeap.Data(LoadSlot<std::uint32_t>(Slot));
      String w;
      if (p)
        for (std::size_t i = 0;; ++i) {
          const char16_t c = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
          if (!c || (Field.DataType() == dtWideString && i >= Field.Length)) break;
          w.push_back(c);
        }
      if (trim) {
        while (!w.empty() && w.back() <= 32) w.pop_back();
        return Variant(w);
      }
      return VarFromOleStr(w);
    }
    case dtInt8: return Variant(static_cast<signed char>(Slot[0]));
    case dtInt16: return Variant(LoadSlot<short>(Slot));
    case dtInt32: return Variant(LoadSlot<int>(Slot));
    case dtInt64: return Variant(LoadSlot<long long>(Slot));
    case dtUInt8: return Variant(static_cast<unsigned char>(Slot[0]));
    case dtUInt16: return Variant(LoadSlot<unsigned short>(Slot));
    case dtUInt32: return Variant(LoadSlot<unsigned>(Slot));
    case dtUInt64: {
      Variant v = VarAsType(Variant(static_cast<long long>(0)), varUInt64);
      return VarAsType(Variant(static_cast<long long>(LoadSlot<std::uint64_t>(Slot))), varUInt64);
    }
    case dtSingle: return Variant(static_cast<double>(LoadSlot<float>(Slot)));
    case dtFloat: case dtCurrency: return Variant(LoadSlot<double>(Slot));
    case dtExtended: return Variant(ExtendedToDouble(Slot));
    case dtBCD: return Variant(Currency::FromScaled(LoadSlot<Int64>(Slot)));
    case dtFMTBCD: {
      TBcd bcd;
      std::memcpy(&bcd, Slot, sizeof bcd);
      return VarFMTBcdCreate(bcd);
    }
    case dtDate: case dtTime: case dtDateTime: return VarFromDateTime(LoadSlot<double>(Slot));
    case dtSQLTimeStamp: {
      TSQLTimeStamp ts;
      std::memcpy(&ts, Slot, sizeof ts);
      return VarSQLTimeStampCreate(ts);
    }
    case dtSQLTimeStampOffset: {
      TSQLTimeStampOffset ts;
      std::memcpy(&ts, Slot, sizeof ts);
      return VarSQLTimeStampOffsetCreate(ts);
    }
    case dtBoolean: return Variant(LoadSlot<Word>(Slot) != 0);
    case dtBytes: return VarFromBytes(Slot, Field.Length);
    case dtVarBytes: return VarFromBytes(Slot + 2, LoadSlot<Word>(Slot));
    case dtExtVarBytes: {
      const Byte* p = FStringHeap.Data(LoadSlot<std::uint32_t>(Slot));
      return p ? VarFromBytes(p + 2, LoadSlot<Word>(p)) : VarFromBytes(nullptr, 0);
    }
    case dtBlob: case dtMemo: case dtWideMemo: {
      TBlob* blob = static_cast<TBlob*>(FObjects.Get(LoadSlot<std::uint32_t>(Slot)));
      if (!blob) return Null();
      const bool swap = UseRollback && !blob->UseRollback() && blob->CanRollback();
      if (swap) blob->SetUseRollback(true);
      Variant v;
      try {
        if (Field.DataType() == dtBlob) v = blob->IsNull() ? Null() : VarFromBytes(blob->AsBytes());
        else if (Field.DataType() == dtMemo) v = VarFromAnsi(blob->AsAnsiString());
        else v = Variant(blob->AsWideString());
      } catch (...) {
        if (swap) blob->SetUseRollback(false);
        throw;
      }
      if (swap) blob->SetUseRollback(false);
      return v;
    }
    case dtVariant: {
      const auto* o = static_cast<const TVariantObject*>(FObjects.Get(LoadSlot<std::uint32_t>(Slot)));
      return o ? o->Value : Null();
    }
    case dtGuid: return VarFromAnsi(AnsiString(reinterpret_cast<const char*>(Slot), ::strnlen(reinterpret_cast<const char*>(Slot), 38)));
    default: throw EConvertError(u"Cannot convert type " + Str(std::to_string(Field.DataType())));
  }
}

void TData::PutDataAsVariant(Byte* Slot, const TFieldDesc& Field, const Variant& Value, bool IsDatabaseValue) {
  const TVarType vt = Value.VType();
  const bool numeric = IsNumericVariant(vt);
  const bool text = VarIsStr(Value);
  const bool boolean = vt == varBoolean;
  const bool date = vt == varDate;
  auto asInt32 = [&]() -> int {
    if (numeric || boolean) return static_cast<int>(Value.AsInt64());
    if (text) return StrToInt(Value.AsString());
    CannotConvert();
  };
  switch (Field.DataType()) {
    case dtString: case dtGuid: {
      const AnsiString a = Value.AsAnsiString();
      const std::size_t cap = static_cast<std::size_t>(Field.Size) - 1;
      const std::size_t n = sys::CutLength(a, std::min(a.size(), cap));
      std::memcpy(Slot, a.data(), n);
      Slot[n] = 0;
      return;
    }
    case dtWideString: {
      const String w = Value.AsString();
      const std::size_t n = std::min<std::size_t>(w.size(), static_cast<std::size_t>(Field.Size) / 2 - 1);
      std::memcpy(Slot, w.data(), 2 * n);
      Slot[2 * n] = Slot[2 * n + 1] = 0;
      return;
    }
    case dtExtString: {
      FStringHeap.DisposeBuf(LoadSlot<std::uint32_t>(Slot));
      Store<std::uint32_t>(Slot, 0);
      const AnsiString a = Value.AsAnsiString();
      Store<std::uint32_t>(Slot, FStringHeap.AllocStr(a.c_str(), false, static_cast<int>(a.size())));
      return;
    }
    case dtExtWideString: {
      FStringHeap.DisposeBuf(LoadSlot<std::uint32_t>(Slot));
      Store<std::uint32_t>(Slot, 0);
      const String w = Value.AsString();
      Store<std::uint32_t>(Slot, FStringHeap.AllocWideStr(w.c_str(), false, static_cast<int>(w.size())));
      return;
    }
    case dtInt8: case dtUInt8: Slot[0] = static_cast<Byte>(asInt32()); Slot[1] = 0; return;
    case dtInt16: case dtUInt16: Store<std::int16_t>(Slot, static_cast<std::int16_t>(asInt32())); return;
    case dtInt32: Store<std::int32_t>(Slot, asInt32()); return;
    case dtInt64:
      Store<Int64>(Slot, numeric || boolean ? Value.AsInt64() : static_cast<Int64>(asInt32()));
      return;
    case dtUInt32:
      Store<std::uint32_t>(Slot, numeric || boolean ? static_cast<std::uint32_t>(Value.AsInt64()) : static_cast<std::uint32_t>(asInt32()));
      return;
    case dtUInt64:
      if (vt == varUInt64) Store<std::uint64_t>(Slot, Value.AsUInt64());
      else if (text) Store<Int64>(Slot, asInt32());
      else CannotConvert();
      return;
    case dtSingle: case dtFloat: case dtCurrency: case dtExtended: {
      double v;
      if (vt == varSingle || vt == varDouble || vt == varCurrency) v = IsDatabaseValue ? Value.AsDouble() : RoundToScale(Value.AsDouble(), Field.Scale);
      else if (numeric || date) v = Value.AsDouble();
      else if (text) v = IsDatabaseValue ? StrToFloat(Value.AsString()) : RoundToScale(StrToFloat(Value.AsString()), Field.Scale);
      else CannotConvert();
      if (Field.DataType() == dtSingle) Store<float>(Slot, static_cast<float>(v));
      else if (Field.DataType() == dtExtended) DoubleToExtended(v, *reinterpret_cast<std::uint8_t(*)[10]>(Slot));
      else Store<double>(Slot, v);
      return;
    }
    case dtBCD: Store<Int64>(Slot, Value.AsCurrency().Scaled); return;
    case dtFMTBCD: {
      const TBcd bcd = VarIsFMTBcd(Value) ? Value.VBcd() : StrToBcd(Value.AsString());
      std::memcpy(Slot, &bcd, sizeof bcd);
      return;
    }
    case dtDate: case dtTime: case dtDateTime: Store<double>(Slot, Value.AsDateTime()); return;
    case dtSQLTimeStamp: {
      const TSQLTimeStamp ts = Value.AsSQLTimeStamp();
      std::memcpy(Slot, &ts, sizeof ts);
      return;
    }
    case dtSQLTimeStampOffset: {
      const TSQLTimeStampOffset ts = Value.AsSQLTimeStampOffset();
      std::memcpy(Slot, &ts, sizeof ts);
      return;
    }
    case dtBoolean:
      if (boolean) Store<Word>(Slot, Value.AsBoolean() ? 1 : 0);
      else if (numeric) Store<Word>(Slot, static_cast<Word>(Value.AsInt64()));
      else if (text) Store<Word>(Slot, StrToBool(Value.AsString()) ? 1 : 0);
      else CannotConvert();
      return;
    case dtBytes: {
      if (!VarIsByteArray(Value)) Assertion(u"Invalid VType");
      const std::vector<Byte> b = VarToBytes(Value);
      if (b.size() != Field.Length) Assertion(u"Invalid data size");
      std::memcpy(Slot, b.data(), b.size());
      return;
    }
    case dtVarBytes: {
      if (!VarIsByteArray(Value)) Assertion(u"Invalid VType");
      const std::vector<Byte> b = VarToBytes(Value);
      if (b.size() > Field.Length) Assertion(u"Invalid data size");
      Store<Word>(Slot, static_cast<Word>(b.size()));
      std::memcpy(Slot + 2, b.data(), b.size());
      return;
    }
    case dtExtVarBytes: {
      if (!VarIsByteArray(Value)) Assertion(u"Invalid VType");
      const std::vector<Byte> b = VarToBytes(Value);
      if (b.size() > 0xFFFF) Assertion(u"Invalid data size");
      FStringHeap.DisposeBuf(LoadSlot<std::uint32_t>(Slot));
      const std::uint32_t h = FStringHeap.NewBuf(static_cast<int>(b.size()) + 2);
      Byte* p = FStringHeap.Data(h);
      Store<Word>(p, static_cast<Word>(b.size()));
      std::memcpy(p + 2, b.data(), b.size());
      Store<std::uint32_t>(Slot, h);
      return;
    }
    case dtBlob: case dtMemo: case dtWideMemo: {
      TBlob* blob = static_cast<TBlob*>(FObjects.Get(LoadSlot<std::uint32_t>(Slot)));
      if (!blob) {
        CreateComplexField(Slot - Field.Offset, Field);
        blob = static_cast<TBlob*>(FObjects.Get(LoadSlot<std::uint32_t>(Slot)));
      }
      if (Field.DataType() == dtWideMemo) blob->SetAsWideString(Value.AsString());
      else if (VarIsByteArray(Value)) blob->SetAsBytes(VarToBytes(Value));
      else blob->SetAsAnsiString(Value.AsAnsiString());
      return;
    }
    case dtVariant: {
      auto* o = static_cast<TVariantObject*>(FObjects.Get(LoadSlot<std::uint32_t>(Slot)));
      if (!o) {
        CreateComplexField(Slot - Field.Offset, Field);
        o = static_cast<TVariantObject*>(FObjects.Get(LoadSlot<std::uint32_t>(Slot)));
      }
      o->Value = Value;
      return;
    }
    default: CannotConvert();
  }
}

// ---- complex fields ----

void TData::CreateComplexField(Byte* RecBuf, const TFieldDesc& Field) {
  Byte* slot = RecBuf + Field.Offset;
  switch (Field.DataType()) {
    case dtExtString: case dtExtWideString: case dtExtVarBytes: Store<std::uint32_t>(slot, 0); break;
    // A null blob: its object is made on first use.
    case dtBlob: case dtMemo: case dtWideMemo:
      Store<std::uint32_t>(slot, FObjects.AddPacked(nullptr, 0, Field.DataType() == dtWideMemo));
      break;
    case dtVariant: Store<std::uint32_t>(slot, FObjects.Add(std::make_unique<TVariantObject>())); break;
    default: break;
  }
}

void TData::CreateComplexFields(Byte* RecBuf, bool WithBlob) {
  if (!FHasComplexFields) return;
  for (const auto& d : FFields)
    if (d->IsComplex() && d->FieldDescKind != fdkCalculated && (WithBlob || !d->IsBlob())) CreateComplexField(RecBuf, *d);
}

void TData::AddRefComplexFields(Byte* RecBuf) {
  if (!FHasComplexFields) return;
  for (const auto& d : FFields) {
    if (!d->IsComplex() || d->FieldDescKind == fdkCalculated) continue;
    const std::uint32_t h = LoadSlot<std::uint32_t>(RecBuf + d->Offset);
    switch (d->DataType()) {
      case dtExtString: case dtExtWideString: case dtExtVarBytes: FStringHeap.AddRef(h); break;
      default: FObjects.AddRef(h); break;
    }
  }
}

void TData::FreeComplexField(Byte* RecBuf, const TFieldDesc& Field) {
  Byte* slot = RecBuf + Field.Offset;
  const std::uint32_t h = LoadSlot<std::uint32_t>(slot);
  if (!h) return;
  switch (Field.DataType()) {
    case dtExtString: case dtExtWideString: case dtExtVarBytes:
      if (FStringHeap.Empty()) return;
      if (FStringHeap.RefWord(h) == 101) Store<std::uint32_t>(slot, 0);
      FStringHeap.DisposeBuf(h);
      break;
    default: {
      const int refs = FObjects.RefCount(h);
      if (refs <= 1) Store<std::uint32_t>(slot, 0);
      if (refs > 0) FObjects.Release(h);
      break;
    }
  }
}

void TData::FreeComplexFields(Byte* RecBuf, bool WithBlob) {
  if (!FHasComplexFields) return;
  for (const auto& d : FFields)
    if (d->IsComplex() && d->FieldDescKind != fdkCalculated && (WithBlob || !d->IsBlob())) FreeComplexField(RecBuf, *d);
}

void TData::CopyComplexFields(const Byte* Source, Byte* Dest, bool WithBlob) {
  if (!FHasComplexFields) return;
  for (const auto& d : FFields) {
    if (!d->IsComplex() || d->FieldDescKind == fdkCalculated || (d->IsBlob() && !WithBlob)) continue;
    const std::uint32_t h = LoadSlot<std::uint32_t>(Source + d->Offset);
    switch (d->DataType()) {
      case dtExtString: case dtExtWideString: case dtExtVarBytes: {
        std::uint32_t copy = 0;
        if (h) {
          const int cap = FStringHeap.Capacity(h);
          copy = FStringHeap.NewBuf(cap);
          std::memcpy(FStringHeap.Data(copy), FStringHeap.Data(h), static_cast<std::size_t>(cap));
        }
        Store<std::uint32_t>(Dest + d->Offset, copy);
        break;
      }
      case dtVariant: {
        const auto* from = static_cast<const TVariantObject*>(FObjects.Get(h));
        auto* to = static_cast<TVariantObject*>(FObjects.Get(LoadSlot<std::uint32_t>(Dest + d->Offset)));
        if (from && to) to->Value = from->Value;
        break;
      }
      default: break;
    }
  }
}

// ---- blobs ----

TBlob* TData::GetObject(const TFieldDesc& Field, const Byte* RecBuf) const {
  if (!Field.IsBlob()) throw Exception(String(u"Field is not BLOB"));
  return static_cast<TBlob*>(FObjects.Get(LoadSlot<std::uint32_t>(RecBuf + Field.Offset)));
}

void TData::SetObject(const TFieldDesc& Field, Byte* RecBuf, std::unique_ptr<TBlob> Blob) {
  if (!Field.IsBlob()) throw Exception(String(u"Field is not BLOB"));
  Store<std::uint32_t>(RecBuf + Field.Offset, FObjects.Add(std::move(Blob)));
}

namespace {
TBlob& RequireBlob(TBlob* Blob, const TFieldDesc& Field) {
  if (!Blob) throw Exception(u"Object for field " + Field.Name + u" (" + Str(std::to_string(Field.FieldNo - 1)) + u") = nil");
  return *Blob;
}
}  // namespace

Int64 TData::ReadBlob(const TFieldDesc& Field, const Byte* RecBuf, Int64 Position, Int64 Count, void* Dest,
                      bool FromRollback, bool TrueUnicode) {
  TBlob& blob = RequireBlob(GetObject(Field, RecBuf), Field);
  const bool swap = FromRollback && !blob.UseRollback() && blob.CanRollback();
  if (swap) blob.SetUseRollback(true);
  struct Restore {
    TBlob& B;
    bool On;
    ~Restore() {
      if (On) B.SetUseRollback(false);
    }
  } restore{blob, swap};
  if (TrueUnicode == blob.IsUnicode()) return blob.Read(Position, Count, Dest);
  // Representations differ: convert the whole content and cut the asked range from it.
  std::string bytes;
  if (blob.IsUnicode()) {
    bytes = blob.AsAnsiString();
  } else {
    const String w = blob.AsWideString();
    bytes.assign(reinterpret_cast<const char*>(w.data()), w.size() * 2);
  }
  if (Position < 0 || Position >= static_cast<Int64>(bytes.size())) return 0;
  const Int64 n = Count <= 0 ? static_cast<Int64>(bytes.size()) - Position
                             : std::min<Int64>(Count, static_cast<Int64>(bytes.size()) - Position);
  std::memcpy(Dest, bytes.data() + Position, static_cast<std::size_t>(n));
  return n;
}

void TData::WriteBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Position, Int64 Count, const void* Source,
                      bool TrueUnicode) {
  TBlob& blob = RequireBlob(GetObject(Field, RecBuf), Field);
  blob.EnableRollback();
  if (TrueUnicode == blob.IsUnicode()) {
    blob.Write(Position, Count, Source);
  } else if (blob.IsUnicode()) {
    const String w = sys::AnsiToUtf16(std::string_view(static_cast<const char*>(Source), static_cast<std::size_t>(Count)));
    blob.Write(blob.TranslatePositionToAnsi(0) + (Position ? blob.TranslatePositionToAnsi(Position) : 0),
               static_cast<Int64>(w.size() * 2), w.data());
  } else {
    const std::u16string_view w(static_cast<const char16_t*>(Source), static_cast<std::size_t>(Count / 2));
    const AnsiString a = sys::Utf16ToAnsi(w);
    blob.Write(Position ? blob.TranslatePositionToUni(Position) : 0, static_cast<Int64>(a.size()), a.data());
  }
  SetNull(Field, RecBuf, false);
}

Int64 TData::TruncateBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Size, bool TrueUnicode) {
  TBlob& blob = RequireBlob(GetObject(Field, RecBuf), Field);
  blob.EnableRollback();
  if (TrueUnicode != blob.IsUnicode() && Size > 0)
    Size = blob.IsUnicode() ? blob.TranslatePositionToAnsi(Size) : blob.TranslatePositionToUni(Size);
  blob.Truncate(Size);
  if (Size == 0) SetNull(Field, RecBuf, true);
  return Size;
}

std::uint32_t TData::BlobHandle(const TFieldDesc& Field, const Byte* RecBuf) const {
  if (!Field.IsBlob()) throw Exception(String(u"Field is not BLOB"));
  return LoadSlot<std::uint32_t>(RecBuf + Field.Offset);
}

bool TData::WriteNewPackedBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Position, Int64 Count, const void* Source,
                               bool TrueUnicode) {
  const std::uint32_t h = BlobHandle(Field, RecBuf);
  if (!FObjects.IsPacked(h) || Position != 0 || FObjects.PackedSize(h) != 0 || Count < 0 ||
      static_cast<std::size_t>(Count) > kMaxPackedBlobSize || TrueUnicode != FObjects.PackedUnicode(h))
    return false;
  if (!FObjects.RefillPacked(h, static_cast<const Byte*>(Source), static_cast<std::size_t>(Count))) return false;
  SetNull(Field, RecBuf, false);
  return true;
}

bool TData::TruncateNewPackedBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Size) {
  const std::uint32_t h = BlobHandle(Field, RecBuf);
  if (Size != 0 || !FObjects.IsPacked(h)) return false;
  FObjects.RefillPacked(h, nullptr, 0);
  SetNull(Field, RecBuf, true);
  return true;
}

Int64 TData::GetBlobSize(const TFieldDesc& Field, const Byte* RecBuf, bool FromRollback, bool TrueUnicode) {
  if (GetNull(Field, RecBuf)) return 0;
  TBlob* blob = GetObject(Field, RecBuf);
  if (!blob) return 0;
  const bool swap = FromRollback && !blob->UseRollback() && blob->CanRollback();
  if (swap) blob->SetUseRollback(true);
  Int64 n;
  try {
    n = TrueUnicode == blob->IsUnicode() ? blob->Size() : (blob->IsUnicode() ? blob->GetSizeAnsi() : blob->GetSizeUni());
  } catch (...) {
    if (swap) blob->SetUseRollback(false);
    throw;
  }
  if (swap) blob->SetUseRollback(false);
  return n;
}

// ---- TMemData ----

TMemData::TMemData() {
  FBlockMan.Pool = &FObjects.Pool;
  InitData();
}

TMemData::~TMemData() {
  try {
    Close();
  } catch (...) {
  }
}

void TMemData::InitFields() {
  TData::InitFields();
  FBlockMan.SetRecordSize(FRecordSize);
  FEditScratch.assign(static_cast<std::size_t>(FRecordSize), 0);
  // Sort columns and the filter name descriptors: made again for the new ones.
  ParseIndexFieldNames();
  if (!FFilterText.empty()) SetFilterText(String(FFilterText));
}

void TMemData::ClearFields() {
  FIndexFields.clear();
  FFilter.reset();
  TData::ClearFields();
}

void TMemData::InitData() {
  ++FListVersion;
  FFirst = FLast = FCurrent = FStale = nullptr;
  FBOF = FEOF = true;
  FRecordCount = 0;
  FItemTable.clear();
  FFreeHandles.clear();
  FRefreshIteration = ++gRefreshIteration;
}

void TMemData::FreeData() {
  FPending = nullptr;
  ClearCache();
  // Every complex value of every record is owned by the tables, which drop them in one pass each.
  FObjects.Clear();
  FStringHeap.Clear();
  FBlockMan.FreeAllBlocks();
  InitData();
}

void TMemData::Reserve(std::int32_t Count) {
  if (Count <= 0) return;
  const std::size_t n = static_cast<std::size_t>(Count);
  FItemTable.reserve(FItemTable.size() + n);
  std::size_t complex = 0;
  for (const auto& d : FFields) complex += d->IsComplex() && d->FieldDescKind != fdkCalculated;
  if (complex) FObjects.Reserve(FObjects.LiveCount() + n * complex);
}

void TMemData::TakeSpareRoom(TMemData& Emptied) {
  if (FFirst || FPending || Emptied.FFirst || Emptied.FPending) return;
  if (FItemTable.empty() && Emptied.FItemTable.empty()) {
    FItemTable.swap(Emptied.FItemTable);
    FFreeHandles.swap(Emptied.FFreeHandles);
  }
  FObjects.TakeSpareRoom(Emptied.FObjects);
}

void TMemData::SetToBegin() {
  FCurrent = nullptr;
  FBOF = true;
  if (FFirst) FEOF = false;
}

void TMemData::SetToEnd() {
  FCurrent = nullptr;
  FEOF = true;
  if (FFirst) FBOF = false;
}

void TMemData::GetRecord(Byte* RecBuf) {
  if (Bof() || Eof()) return;
  if (FCurrent) {
    if (RecBuf) std::memcpy(RecBuf, FCurrent->Record(), static_cast<std::size_t>(FRecordSize));
    return;
  }
  GetNextRecord(RecBuf);
}

void TMemData::GetNextRecord(Byte* RecBuf) {
  if (Eof()) return;
  if (Bof()) {
    FBOF = false;
    FCurrent = FFirst;
  } else {
    FCurrent = FCurrent ? FCurrent->Next : FFirst;
  }
  if (!FCurrent) {
    FEOF = true;
    return;
  }
  GetRecord(RecBuf);
}

void TMemData::GetPriorRecord(Byte* RecBuf) {
  if (Bof()) return;
  if (Eof()) {
    FEOF = false;
    FCurrent = FLast;
  } else {
    FCurrent = FCurrent ? FCurrent->Prev : FLast;
  }
  if (!FCurrent) {
    FBOF = true;
    return;
  }
  GetRecord(RecBuf);
}

int TMemData::OrderOf(TItemHeader* Item) {
  if (!Item) return 0;
  if (Item->OrderValid) return Item->Order;
  // Renumber forward from the watermark up to Item and no further.
  std::int32_t n = FStale->Prev ? FStale->Prev->Order : 0;
  TItemHeader* it = FStale;
  for (;; it = it->Next) {
    it->Order = ++n;
    it->OrderValid = true;
    if (it == Item) break;
  }
  FStale = it->Next;
  return Item->Order;
}

int TMemData::RecordNo() { return FCurrent ? OrderOf(FCurrent) : 0; }

void TMemData::SetRecordNo(int Value) {
  if (!FFirst || Value <= 0 || Value > FRecordCount) return;
  const int valid = FStale ? (FStale->Prev ? FStale->Prev->Order : 0) : FRecordCount;
  TItemHeader* it;
  if (Value > valid) {
    it = FStale;
    while (it && OrderOf(it) != Value) it = it->Next;
  } else {
    // Walk from the nearest of the first item, the current item and the last current-numbered item.
    it = FFirst;
    int at = 1;
    const TItemHeader* lastValid = FStale ? FStale->Prev : FLast;
    if (FCurrent && FCurrent->OrderValid && std::abs(FCurrent->Order - Value) < Value - at) {
      it = FCurrent;
      at = FCurrent->Order;
    }
    if (lastValid && valid - Value < std::abs(at - Value)) {
      it = const_cast<TItemHeader*>(lastValid);
      at = valid;
    }
    while (at < Value) it = it->Next, ++at;
    while (at > Value) it = it->Prev, --at;
  }
  if (it) {
    FCurrent = it;
    FBOF = FEOF = false;
  }
}

TItemHeader* TMemData::NewItem() {
  TItemHeader* item = FBlockMan.AllocItem();
  item->Status = isUnmodified;
  item->UpdateResult = 5;
  item->FilterResult = fsNotChecked;
  item->Order = item->SavedOrder = 0;
  item->OrderValid = false;
  // Serials need only differ within one item list: a bookmark of another list has another iteration.
  item->Serial = ++FLastSerial;
  if (!FFreeHandles.empty()) {
    item->Handle = FFreeHandles.back();
    FFreeHandles.pop_back();
    FItemTable[item->Handle - 1] = item;
  } else {
    FItemTable.push_back(item);
    item->Handle = static_cast<std::uint32_t>(FItemTable.size());
  }
  return item;
}

void TMemData::InvalidateFrom(TItemHeader* Item) {
  // Items from Item up to the old watermark lose their numbers; those after it had none already.
  for (TItemHeader* it = Item; it && it != FStale; it = it->Next) it->OrderValid = false;
  FStale = Item;
}

void TMemData::AddRecord(const Byte* RecBuf) {
  if (!FIndexFields.empty()) {
    AddRecordSorted(RecBuf);
    return;
  }
  ++FListVersion;
  TItemHeader* item = NewItem();
  if (Eof() || !FFirst) {
    item->Prev = FLast;
    if (FLast) FLast->Next = item;
    else FFirst = item;
    FLast = item;
    if (!FStale) {
      item->Order = item->Prev ? item->Prev->Order + 1 : 1;
      item->OrderValid = true;
    }
  } else {
    TItemHeader* before = Bof() || !FCurrent ? FFirst : FCurrent;
    item->Next = before;
    item->Prev = before->Prev;
    if (before->Prev) before->Prev->Next = item;
    else FFirst = item;
    before->Prev = item;
    if (before->OrderValid || before == FStale) InvalidateFrom(item);
  }
  FCurrent = item;
  FBOF = FEOF = false;
  std::memcpy(item->Record(), RecBuf, static_cast<std::size_t>(FRecordSize));
  if (FHasBlobFields)
    for (const auto& d : FFields)
      if (d->IsBlob()) FObjects.CommitBlob(LoadSlot<std::uint32_t>(item->Record() + d->Offset));
  ++FRecordCount;
  if (CacheActive()) CacheInserted(item);
}

void TMemData::InsertRecord(const Byte* RecBuf) { AddRecord(RecBuf); }

Byte* TMemData::NewRecord() {
  if (FPending) Assertion();
  FPending = NewItem();
  Byte* rec = FPending->Record();
  std::memset(rec, 0, static_cast<std::size_t>(FRecordSize));
  std::memset(rec + FDataSize, 1, static_cast<std::size_t>(FFields.Count()));
  return rec;
}

void TMemData::AppendNewRecord() {
  TItemHeader* item = FPending;
  if (!item) Assertion();
  FPending = nullptr;
  ++FListVersion;
  item->Prev = FLast;
  if (FLast) FLast->Next = item;
  else FFirst = item;
  FLast = item;
  if (!FStale) {
    item->Order = item->Prev ? item->Prev->Order + 1 : 1;
    item->OrderValid = true;
  }
  FCurrent = item;
  FBOF = FEOF = false;
  ++FRecordCount;
}

void TMemData::DropNewRecord() {
  TItemHeader* item = FPending;
  if (!item) return;
  FPending = nullptr;
  FreeComplexFields(item->Record(), true);
  FItemTable[item->Handle - 1] = nullptr;
  FFreeHandles.push_back(item->Handle);
  item->Serial = 0;
  FBlockMan.FreeItem(item);
}

void TMemData::AppendRecord(const Byte* RecBuf) {
  SetToEnd();
  AddRecord(RecBuf);
}

void TMemData::PutRecord(const Byte* RecBuf) {
  if (!FCurrent) Assertion();
  FCurrent->FilterResult = fsNotChecked;
  std::memcpy(FCurrent->Record(), RecBuf, static_cast<std::size_t>(FRecordSize));
}

void TMemData::UpdateRecord(const Byte* RecBuf) {
  if (!FCurrent) Assertion();
  const int d = FIndexFields.empty() ? 0 : CompareItemRecords(RecBuf, FCurrent->Record());
  if (CacheActive()) CacheBeforeUpdate(FCurrent);
  PutRecord(RecBuf);
  DetachSavedBlobs(FCurrent);
  MoveItemToSortedPlace(d);
}

void TMemData::FinishEdit(Byte* RecBuf, bool Cache) {
  if (!FCurrent) Assertion();
  Byte* tmp = FEditScratch.data();
  std::memcpy(tmp, FCurrent->Record(), static_cast<std::size_t>(FRecordSize));
  const int d = FIndexFields.empty() ? 0 : CompareItemRecords(RecBuf, FCurrent->Record());
  if (Cache && CacheActive()) CacheBeforeUpdate(FCurrent);
  PutRecord(RecBuf);
  DetachSavedBlobs(FCurrent);
  MoveItemToSortedPlace(d);
  if (FHasBlobFields)
    for (const auto& f : FFields)
      if (f->IsBlob()) FObjects.CommitBlob(LoadSlot<std::uint32_t>(RecBuf + f->Offset));
  FreeComplexFields(tmp, false);
}

void TMemData::DeleteItem(TItemHeader* Item) {
  ++FListVersion;
  if (Item->OrderValid) {
    InvalidateFrom(Item->Next);
    if (!FStale) FStale = nullptr;
  } else if (FStale == Item) {
    FStale = Item->Next;
  }
  TItemHeader* next = Item->Next;
  TItemHeader* prev = Item->Prev;
  if (prev) prev->Next = next;
  else FFirst = next;
  if (next) next->Prev = prev;
  else FLast = prev;
  if (FCurrent == Item) {
    FCurrent = next ? next : prev;
    if (!FCurrent) FBOF = FEOF = true;
  }
  FreeComplexFields(Item->Record(), true);
  FItemTable[Item->Handle - 1] = nullptr;
  FFreeHandles.push_back(Item->Handle);
  Item->Serial = 0;
  FBlockMan.FreeItem(Item);
}

void TMemData::DeleteRecord() {
  if (!FCurrent) return;
  if (CacheActive()) {
    CacheDelete();
    return;
  }
  DeleteItem(FCurrent);
  --FRecordCount;
}

void TMemData::EditRecord(Byte* RecBuf) {
  // The stored record takes private copies of the non-blob complex values; the edit buffer keeps the
  // references it had, so a cancel can throw the buffer's away without touching the stored ones.
  if (!FCurrent || !FHasComplexFields) return;
  Byte* tmp = FEditScratch.data();
  std::memcpy(tmp, FCurrent->Record(), static_cast<std::size_t>(FRecordSize));
  CreateComplexFields(tmp, false);
  CopyComplexFields(RecBuf, tmp, false);
  PutRecord(tmp);
}

void TMemData::PostRecord(Byte* RecBuf) { FinishEdit(RecBuf, true); }

void TMemData::CancelRecord(Byte* RecBuf) {
  if (FHasBlobFields)
    for (const auto& d : FFields)
      if (d->IsBlob()) FObjects.CancelBlob(LoadSlot<std::uint32_t>(RecBuf + d->Offset));
  FreeComplexFields(RecBuf, false);
}

TItemHeader* TMemData::ItemOfHandle(std::uint32_t Handle, std::uint64_t Serial) const {
  if (!Handle || Handle > FItemTable.size()) return nullptr;
  TItemHeader* item = FItemTable[Handle - 1];
  return item && item->Serial == Serial && item->Flag == kItemUsed ? item : nullptr;
}

void TMemData::GetBookmark(TRecBookmark& Bookmark) {
  Bookmark.RefreshIteration = FRefreshIteration;
  Bookmark.Item = FCurrent ? FCurrent->Handle : 0;
  Bookmark.Serial = FCurrent ? FCurrent->Serial : 0;
  // In a sorted list rows land anywhere: a stale number is not worked out for every bookmark (0:
  // not known; the handle and serial find the row).
  Bookmark.Order = !FCurrent ? -1 : (FIndexFields.empty() || FCurrent->OrderValid ? OrderOf(FCurrent) : 0);
}

void TMemData::SetToBookmark(const TRecBookmark& Bookmark) {
  if (Bookmark.RefreshIteration == FRefreshIteration)
    if (TItemHeader* item = ItemOfHandle(Bookmark.Item, Bookmark.Serial)) {
      FCurrent = item;
      FBOF = FEOF = false;
      return;
    }
  if (Bookmark.Order != -1) SetRecordNo(Bookmark.Order);
}

TItemHeader* TMemData::ItemOf(const TRecBookmark& Bookmark) const {
  return Bookmark.RefreshIteration == FRefreshIteration ? ItemOfHandle(Bookmark.Item, Bookmark.Serial) : nullptr;
}

bool TMemData::BookmarkValid(const TRecBookmark& Bookmark) {
  // A bookmark of this generation is valid exactly while its row lives; one of an earlier generation
  // (before emptying or reloading) can only be judged by its record number.
  if (Bookmark.RefreshIteration == FRefreshIteration && Bookmark.Item != 0)
    return ItemOfHandle(Bookmark.Item, Bookmark.Serial) != nullptr;
  return Bookmark.Order >= 1 && Bookmark.Order <= FRecordCount;
}

int TMemData::CompareBookmarks(const TRecBookmark* B1, const TRecBookmark* B2) {
  if (B1 && B2 && B1->RefreshIteration == B2->RefreshIteration && B1->RefreshIteration == FRefreshIteration) {
    if (B1->Item == B2->Item && B1->Serial == B2->Serial) return 0;
    TItemHeader* i1 = ItemOfHandle(B1->Item, B1->Serial);
    TItemHeader* i2 = ItemOfHandle(B2->Item, B2->Serial);
    if (i1 && i2) {
      const int a = OrderOf(i1);
      const int b = OrderOf(i2);
      return a < b ? -1 : (a > b ? 1 : 0);
    }
  }
  if (!B1 && !B2) return 0;
  if (!B1) return 1;
  if (!B2) return -1;
  return B1->Order < B2->Order ? -1 : (B1->Order > B2->Order ? 1 : 0);
}

}  // namespace vt
