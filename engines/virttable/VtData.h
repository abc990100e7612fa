// The record set of the virtual table: field descriptors and the record layout, and TMemData, which
// keeps every record in memory as an item (header + record bytes) of a doubly linked list whose items
// come from blocks of 25.
//
// Record layout (computed by TData::InitRecordSize from the descriptors in list order):
//
// | part       | offset               | size          | contents                                          |
// |------------|----------------------|---------------|---------------------------------------------------|
// | data area  | 0                    | DataSize      | the slots of the stored fields, packed; a         |
// |            |                      |               | dtWideString slot starts at an even offset (one    |
// |            |                      |               | pad byte counted in DataSize when needed)          |
// | null area  | DataSize             | 1 per field   | byte FieldNo - 1: 1 = null, 0 = not null          |
// | (pad)      |                      | 0 or 1        | RecordSize = DataSize + fields, rounded up to even |
//
// Slots of the "reference" codes (dtExtString, dtExtWideString, dtExtVarBytes, blobs, dtVariant) are
// 4 bytes holding a 32-bit handle (0 = none): string-heap values into the record set's TStringHeap,
// blobs and variant objects into its TSharedObjectTable. No address is ever stored in a record, so
// records are plain bytes that may be copied anywhere.
//
// Record numbers. Every item carries Order, its 1-based number among the items. Orders are kept
// lazily: FStale is the first item whose Order may be out of date (none: all are current), and every
// item before it has OrderValid set. A change in the middle only moves that watermark back; asking for
// an item's number renumbers forward from the watermark to that item and no further. Appending stays
// O(1), and an Insert run at one place costs O(1) per row.
//
// Bookmarks (kBookmarkSize bytes, packed, native byte order): Int32 refresh iteration, UInt32 item
// handle, Int32 record number (-1: none), UInt64 item serial. A bookmark finds its item in O(1) through
// the handle, and only when the item at that handle still bears the serial; otherwise (the item was
// deleted or the set was emptied) it falls back to the record number.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "engines/virttable/VtBlob.h"
#include "engines/virttable/VtHeap.h"
#include "platform/rtl/String.h"
#include "platform/rtl/Variant.h"
#include "platform/sys/Pages.h"

namespace vt {

// Internal data type codes: how a value is held in its slot.
enum : Word {
  dtUnknown = 0,
  dtString = 1,
  dtExtString = 2,
  dtWideString = 3,
  dtExtWideString = 4,
  dtInt8 = 7,
  dtInt16 = 8,
  dtInt32 = 9,
  dtInt64 = 10,
  dtUInt8 = 11,
  dtUInt16 = 12,
  dtUInt32 = 13,
  dtUInt64 = 14,
  dtSingle = 15,
  dtFloat = 16,
  dtExtended = 17,
  dtCurrency = 18,
  dtBCD = 19,
  dtFMTBCD = 20,
  dtDate = 21,
  dtTime = 22,
  dtDateTime = 23,
  dtSQLTimeStamp = 24,
  dtSQLTimeStampOffset = 25,
  dtBoolean = 26,
  dtBytes = 27,
  dtVarBytes = 28,
  dtExtVarBytes = 29,
  dtBlob = 30,
  dtMemo = 31,
  dtWideMemo = 32,
  dtVariant = 33,
  dtObject = 34,
  dtReference = 35,
  dtArray = 36,
  dtTable = 37,
  dtGuid = 38,
  dtCursor = 39,
};

bool IsBlobDataType(Word DataType);
bool IsObjectDataType(Word DataType);
bool IsSharedObjectDataType(Word DataType);
// Codes whose slot refers to storage outside the record (string heap, blob, variant object).
bool IsComplexDataType(Word DataType);
// The canonical slot size of a code (Length: characters or bytes).
int GetBufferSize(Word DataType, int Length);

enum TFieldDescKind : Byte { fdkData = 0, fdkCached = 1, fdkCalculated = 2 };

class TFieldDesc {
 public:
  TFieldDesc() = default;
  virtual ~TFieldDesc() = default;

  Word DataType() const { return FDataType; }
  // Also refreshes IsBlob, IsObject, IsSharedObject and IsComplex.
  virtual void SetDataType(Word Value);
  Word MappedDataType() const { return FDataType; }
  // Copies Name, ActualName, DataType, SubDataType, Length, Scale, Size, Offset, Required, FieldNo.
  virtual void Assign(const TFieldDesc& Source);

  bool IsBlob() const { return FIsBlob; }
  bool IsObject() const { return FIsObject; }
  bool IsSharedObject() const { return FIsSharedObject; }
  bool IsComplex() const { return FIsComplex; }
  bool HasParent() const { return false; }

  Word SubDataType = 0;
  bool Updateable = true;
  String Name;
  String ActualName;
  Word Length = 0;
  Word Scale = 0;
  Word FieldNo = 0;
  std::int32_t ActualFieldNo = -1;
  std::int32_t Size = 0;
  std::int32_t Offset = 0;
  bool Required = false;
  bool ReadOnly = false;
  bool IsKey = false;
  bool Fixed = false;
  bool Hidden = false;
  bool HiddenObject = false;
  bool Reserved = false;
  TFieldDescKind FieldDescKind = fdkData;
  bool IsAutoIncrement = false;

 private:
  Word FDataType = dtUnknown;
  bool FIsBlob = false;
  bool FIsObject = false;
  bool FIsSharedObject = false;
  bool FIsComplex = false;
};

class TFieldDescs {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TFieldDesc* operator[](int Index) const { return FItems[static_cast<std::size_t>(Index)].get(); }
  TFieldDesc* Add(std::unique_ptr<TFieldDesc> Desc);
  void Clear() { FItems.clear(); }
  // Case-insensitive, locale-aware; nullptr when absent.
  TFieldDesc* FindField(std::u16string_view Name) const;
  // Raises "Field %s not found".
  TFieldDesc* FieldByName(std::u16string_view Name) const;
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  std::vector<std::unique_ptr<TFieldDesc>> FItems;
};

// A slot's bytes as a value of type T; slots are packed, so never read them through a T*.
template <class T>
T LoadSlot(const Byte* Slot) {
  T v;
  std::memcpy(&v, Slot, sizeof v);
  return v;
}

// UTF-16 characters before the first zero character, at most Most; P need not be aligned.
inline std::size_t WideLength(const Byte* P, std::size_t Most) {
  std::size_t n = 0;
  for (; n + 4 <= Most; n += 4) {
    std::uint64_t x;
    std::memcpy(&x, P + 2 * n, 8);
    if ((x - 0x0001000100010001ull) & ~x & 0x8000800080008000ull) break;  // some character is zero
  }
  while (n < Most && (P[2 * n] | P[2 * n + 1])) ++n;
  return n;
}

// The value of an integer slot (dtInt8 .. dtUInt32; any other code reads as dtUInt32) widened exactly.
inline Int64 IntegerSlotValue(Word DataType, const Byte* Slot) {
  switch (DataType) {
    case dtInt8: return static_cast<signed char>(Slot[0]);
    case dtInt16: return LoadSlot<std::int16_t>(Slot);
    case dtInt32: return LoadSlot<std::int32_t>(Slot);
    case dtInt64: return LoadSlot<std::int64_t>(Slot);
    case dtUInt8: return Slot[0];
    case dtUInt16: return LoadSlot<std::uint16_t>(Slot);
    default: return LoadSlot<std::uint32_t>(Slot);
  }
}

// The size of a record slab of its own mapping (TBlockManager).
inline constexpr std::size_t kRecordSlabBytes = std::size_t{2} << 20;

// An allocator for the tables that grow by one entry per row (item handles, object handles): a large
// buffer is whole pages from the process page reserve and goes back there, so the tables of a load's
// staging set are written into memory the tables of the rows it replaces gave back, not faulted in
// fresh. Small buffers come from the heap.
template <class T>
struct TRowTableAllocator {
  using value_type = T;
  static constexpr std::size_t kMinPagedBytes = std::size_t{256} << 10;
  TRowTableAllocator() = default;
  template <class U>
  TRowTableAllocator(const TRowTableAllocator<U>&) noexcept {}
  T* allocate(std::size_t Count) {
    const std::size_t bytes = Count * sizeof(T);
    if (bytes < kMinPagedBytes) return static_cast<T*>(::operator new(bytes));
    const sys::TPages pages = sys::TakePages(bytes);
    if (!pages.Memory) throw std::bad_alloc();
    // The table fills what it asked for: fresh pages are committed in one call (large pages where the
    // kernel allows) rather than one fault each.
    if (!pages.Dirty) sys::PopulatePages(pages.Memory, pages.Size);
    return static_cast<T*>(pages.Memory);
  }
  void deallocate(T* Memory, std::size_t Count) noexcept {
    const std::size_t bytes = Count * sizeof(T);
    if (bytes < kMinPagedBytes) ::operator delete(Memory);
    else sys::ReturnPages({Memory, sys::WholePages(bytes), true});
  }
  friend bool operator==(const TRowTableAllocator&, const TRowTableAllocator&) { return true; }
};
template <class T>
using TRowTable = std::vector<T, TRowTableAllocator<T>>;

// Blobs that no record holds any more, kept for reuse: emptying a table and loading it again then
// costs no allocation per blob. Shared by a table's record sets (the staging set of a load included),
// together with the byte chunks that hold packed blob content and the pages of the record slabs a
// record set gave back: they stay in the pool's own page reserve (up to sys::kPageReserveLimit, the
// rest passes on to the process reserve), so a table emptied and filled again, or loaded again beside
// the rows it replaces, writes its rows into memory it already has instead of faulting in fresh pages.
// What the reserve holds goes to the process reserve when the table goes.
class TBlobPool {
 public:
  TBlobPool() = default;
  TBlobPool(const TBlobPool&) = delete;
  TBlobPool& operator=(const TBlobPool&) = delete;
  std::unique_ptr<TSharedObject> Take(bool IsUnicode);
  void Give(std::unique_ptr<TSharedObject> Blob);
  std::size_t Count() const { return FFree.size(); }
  std::unique_ptr<Byte[]> TakeChunk();
  void GiveChunk(std::unique_ptr<Byte[]> Chunk);
  static constexpr std::size_t kChunkSize = 64 * 1024;
  // Where record slabs come from and go back to.
  sys::TPageReserve& Pages() { return FPages; }
  std::size_t SpareSlabBytes() const { return FPages.Bytes(); }

 private:
  std::vector<std::unique_ptr<TSharedObject>> FFree;
  std::vector<std::unique_ptr<Byte[]>> FChunks;
  sys::TPageReserve FPages{sys::kPageReserveLimit};
};

// Blobs and variant objects of a record set, addressed by 32-bit handles (0 = none). The table owns
// the objects; a record holding a handle holds one reference. Blobs that go return to the pool.
//
// A blob whose committed content is small (kMaxPackedBlobSize bytes or none at all) and that nobody
// shares is kept packed: its bytes in a chunk of the table, no object. The object is made again (from
// the pool) the first time anything asks for it, under the same handle, in exactly the state it had:
// rollback enabled, nothing to roll back, the same content. Loads, appends and saves of small memos
// thus touch a few bytes per row instead of an object graph.
class TSharedObjectTable {
 public:
  std::shared_ptr<TBlobPool> Pool = std::make_shared<TBlobPool>();
  TSharedObjectTable() = default;
  TSharedObjectTable(const TSharedObjectTable&) = delete;
  TSharedObjectTable& operator=(const TSharedObjectTable&) = delete;
  ~TSharedObjectTable() { Clear(); }

  std::uint32_t Add(std::unique_ptr<TSharedObject> Object);
  // A packed blob of Size bytes copied from Data (Size 0: a null blob).
  std::uint32_t AddPacked(const Byte* Data, std::size_t Size, bool IsUnicode);
  // The object of a handle (a packed blob is made into its object first); nullptr for none.
  TSharedObject* Get(std::uint32_t Handle) const {
    if (!Handle || Handle > FItems.size()) return nullptr;
    TEntry& e = FItems[Handle - 1];
    return e.Packed ? Unpack(e) : e.Object.get();
  }
  bool IsPacked(std::uint32_t Handle) const { return Handle && Handle <= FItems.size() && FItems[Handle - 1].Packed; }
  // The bytes of a packed blob (IsPacked only).
  const Byte* PackedData(std::uint32_t Handle) const { return FItems[Handle - 1].Data; }
  std::size_t PackedSize(std::uint32_t Handle) const { return FItems[Handle - 1].Size; }
  bool PackedUnicode(std::uint32_t Handle) const { return FItems[Handle - 1].Unicode; }
  // References of a handle without unpacking it: 0 for none, 1 for a packed blob.
  int RefCount(std::uint32_t Handle) const;
  // Replaces a packed blob's content by Size bytes of Data (Size 0: null), keeping nothing to roll back
  // to; false (nothing done) for a handle that is not packed or content too big to stay packed. Only
  // for a blob whose old content nobody can ask back (the record being inserted).
  bool RefillPacked(std::uint32_t Handle, const Byte* Data, std::size_t Size);
  // A blob's size without unpacking it (0 for none).
  Int64 BlobSize(std::uint32_t Handle) const;
  // Commit of a blob (nothing for a packed one), then packs it when it qualifies.
  void CommitBlob(std::uint32_t Handle);
  // Cancel of a blob's change (a packed one has none).
  void CancelBlob(std::uint32_t Handle);
  void AddRef(std::uint32_t Handle);
  // Drops one reference; the object goes (and its handle is reused) at zero.
  void Release(std::uint32_t Handle);
  // Destroys every object at once.
  void Clear();
  std::size_t LiveCount() const { return FItems.size() - FFree.size(); }
  void Reserve(std::size_t Count) { FItems.reserve(Count); }
  // Takes the room of an emptied table's handle lists when both hold no handle (a load into an
  // emptied table then writes into memory it already has).
  void TakeSpareRoom(TSharedObjectTable& Emptied) {
    if (!FItems.empty() || !Emptied.FItems.empty()) return;
    FItems.swap(Emptied.FItems);
    FFree.swap(Emptied.FFree);
  }

 private:
  struct TEntry {
    std::unique_ptr<TSharedObject> Object;
    const Byte* Data = nullptr;
    std::uint32_t Size = 0;
    bool Packed = false;
    bool Unicode = false;
  };
  TSharedObject* Unpack(TEntry& Entry) const;
  const Byte* Keep(const Byte* Data, std::size_t Size);
  std::uint32_t NewHandle();

  mutable TRowTable<TEntry> FItems;
  TRowTable<std::uint32_t> FFree;
  std::vector<std::unique_ptr<Byte[]>> FChunks;
  std::size_t FChunkUsed = TBlobPool::kChunkSize;
};

// Content up to this size is kept packed; a whole write of it is never compressed.
inline constexpr std::size_t kMaxPackedBlobSize = kMinCompressSize;

enum TItemStatus : Byte { isUnmodified = 0, isUpdated = 1, isAppended = 2, isDeleted = 3 };
enum TItemFilterState : Byte { fsNotChecked = 0, fsNotOmitted = 1, fsOmitted = 2 };
inline constexpr Byte kItemFree = 0xDD;
inline constexpr Byte kItemUsed = 0xEE;

struct TBlockHeader;

// The header of an item; its record follows it directly in the same block.
struct TItemHeader {
  TBlockHeader* Block = nullptr;
  TItemHeader* Prev = nullptr;
  TItemHeader* Next = nullptr;
  std::uint64_t Serial = 0;
  std::uint32_t Handle = 0;
  std::int32_t Order = 0;
  std::int32_t SavedOrder = 0;
  TItemStatus Status = isUnmodified;
  Byte UpdateResult = 5;
  Byte Flag = kItemFree;
  TItemFilterState FilterResult = fsNotChecked;
  bool OrderValid = false;
  Byte* Record() { return reinterpret_cast<Byte*>(this) + kItemHeaderSize; }
  const Byte* Record() const { return reinterpret_cast<const Byte*>(this) + kItemHeaderSize; }
  static constexpr std::size_t kItemHeaderSize = 56;
};
static_assert(sizeof(TItemHeader) <= TItemHeader::kItemHeaderSize);

struct TBlockHeader {
  TBlockHeader* Prev = nullptr;
  TBlockHeader* Next = nullptr;
  Word ItemCount = 0;
  Word UsedItems = 0;
  Word CarvedItems = 0;  // items handed out at least once; the rest of the block is untouched
  std::uint32_t Slab = 0;  // the slab of the manager the block's memory comes from
  static constexpr std::size_t kBlockHeaderSize = 32;
};

// Item slots from blocks of DefaultItemCount items; a block goes back to the allocator as soon as its
// last item is freed. Freed items are reused first; otherwise the newest block hands out its next
// untouched item, so filling a block writes each item once.
//
// Block memory comes from slabs of the manager: a slab holds a few blocks at first, twice as many each
// time up to kSlabBytes (mappings of their own), so a large table costs a few allocations instead of
// one per block. A freed block is reused before a slab is carved further; a slab whose last block
// goes is given back at once.
class TBlockManager {
 public:
  TBlockManager() = default;
  TBlockManager(const TBlockManager&) = delete;
  TBlockManager& operator=(const TBlockManager&) = delete;
  ~TBlockManager() { FreeAllBlocks(); }

  // Whose page reserve mapped slabs come from and go back to (the record set's blob pool, which a
  // load's staging set shares); nullptr: the process reserve.
  const std::shared_ptr<TBlobPool>* Pool = nullptr;

  int RecordSize() const { return FRecordSize; }
  // Only while no block is held.
  void SetRecordSize(int Value);
  TItemHeader* AllocItem();
  void FreeItem(TItemHeader* Item);
  void FreeAllBlocks();
  std::size_t BlockCount() const { return FBlockCount; }
  Word DefaultItemCount = 25;

 private:
  std::size_t ItemStride() const;
  void AddFreeBlock();
  void PushFree(TItemHeader* Item);
  void UnlinkFree(TItemHeader* Item);
  int FRecordSize = 0;
  struct TSlab {
    Byte* Memory = nullptr;
    std::size_t Size = 0;
    std::uint32_t Capacity = 0;  // blocks
    std::uint32_t Carved = 0;
    std::uint32_t Live = 0;
    bool Mapped = false;  // whole pages of a reserve
  };
  static constexpr std::size_t kSlabBytes = kRecordSlabBytes;
  sys::TPageReserve& SlabPages() const;
  Byte* BlockMemory(std::size_t Bytes, std::uint32_t& Slab);
  void FreeBlockMemory(TBlockHeader* Block);
  void ReleaseSlab(std::uint32_t Slab);

  TItemHeader* FFirstFree = nullptr;
  TBlockHeader* FFirstBlock = nullptr;
  TBlockHeader* FCarving = nullptr;  // the block with untouched items, if any
  std::vector<TSlab> FSlabs;
  std::vector<std::uint32_t> FReleasedSlabs;  // entries of FSlabs free for a new slab
  std::vector<std::pair<Byte*, std::uint32_t>> FFreeBlocks;
  std::int32_t FCurrentSlab = -1;  // the slab being carved
  std::uint32_t FLastCapacity = 0;
  std::size_t FBlockCount = 0;
};

#pragma pack(push, 1)
struct TRecBookmark {
  std::int32_t RefreshIteration = 0;
  std::uint32_t Item = 0;
  std::int32_t Order = -1;
  std::uint64_t Serial = 0;
};
#pragma pack(pop)
inline constexpr int kBookmarkSize = static_cast<int>(sizeof(TRecBookmark));
static_assert(kBookmarkSize == 20);

// The abstract record set: descriptors, layout and the value conversions between record slots, the
// dataset framework's native buffers and dynamic values.
class TData {
 public:
  TData();
  TData(const TData&) = delete;
  TData& operator=(const TData&) = delete;
  virtual ~TData();

  // ---- life ----
  bool Active() const { return FActive; }
  void Open();
  void Close();

  // ---- descriptors and layout ----
  TFieldDescs& Fields() { return FFields; }
  const TFieldDescs& Fields() const { return FFields; }
  std::unique_ptr<TFieldDesc> CreateFieldDesc() const { return std::make_unique<TFieldDesc>(); }
  // Descriptors (InternalInitFields when AutoInitFields), unique names, then the layout.
  virtual void InitFields();
  virtual void ClearFields();
  void InitRecordSize();
  void InitCalcRecordSize();
  // Of equal names (case-insensitively) the lowest FieldNo keeps its name, the next get _1, _2, ...;
  // an empty name becomes _0 (or the next free number).
  void MakeFieldNamesUnique();
  int DataSize() const { return FDataSize; }
  int RecordSize() const { return FRecordSize; }
  int CalcRecordSize() const { return FCalcRecordSize; }
  bool HasBlobFields() const { return FHasBlobFields; }
  bool HasComplexFields() const { return FHasComplexFields; }
  bool AutoInitFields = true;
  bool TrimFixedChar = false;
  bool TrimVarChar = false;
  bool SetEmptyStrToNull = false;
  TFieldDesc* FindField(std::u16string_view Name) const { return FFields.FindField(Name); }
  TFieldDesc* FieldByName(std::u16string_view Name) const { return FFields.FieldByName(Name); }

  // ---- records and values ----
  // Zeroes the buffer when there are complex fields, then sets every field null.
  void InitRecord(Byte* RecBuf) const;
  bool GetNull(const TFieldDesc& Field, const Byte* RecBuf) const;
  void SetNull(const TFieldDesc& Field, Byte* RecBuf, bool Value);
  // Slot → the framework's native buffer (FieldTypes.h) / back. Dest sized for the field's native form.
  void GetFieldData(const TFieldDesc& Field, const Byte* Slot, Byte* Dest) const;
  void PutFieldData(const TFieldDesc& Field, Byte* Slot, const Byte* Source, std::size_t SourceSize,
                    bool IsDatabaseValue);
  // IsBlank := null; Dest untouched when null.
  void GetField(const TFieldDesc& Field, const Byte* RecBuf, Byte* Dest, bool& IsBlank) const;
  // Source nullptr: null.
  void PutField(const TFieldDesc& Field, Byte* RecBuf, const Byte* Source, std::size_t SourceSize,
                bool IsDatabaseValue = false);
  Variant GetFieldAsVariant(const TFieldDesc& Field, const Byte* RecBuf, bool UseRollback = false) const;
  // Null or Empty sets null.
  void PutFieldAsVariant(const TFieldDesc& Field, Byte* RecBuf, const Variant& Value, bool IsDatabaseValue = false);
  Variant GetDataAsVariant(const Byte* Slot, const TFieldDesc& Field, bool UseRollback) const;
  void PutDataAsVariant(Byte* Slot, const TFieldDesc& Field, const Variant& Value, bool IsDatabaseValue);

  // ---- complex fields ----
  void CreateComplexFields(Byte* RecBuf, bool WithBlob);
  void CreateComplexField(Byte* RecBuf, const TFieldDesc& Field);
  void AddRefComplexFields(Byte* RecBuf);
  void FreeComplexFields(Byte* RecBuf, bool WithBlob);
  void FreeComplexField(Byte* RecBuf, const TFieldDesc& Field);
  // String-heap values copied into new buffers; variant values copied into Dest's objects.
  void CopyComplexFields(const Byte* Source, Byte* Dest, bool WithBlob);

  // ---- blobs ----
  // Raises "Field is not BLOB"; nullptr when the slot holds none.
  TBlob* GetObject(const TFieldDesc& Field, const Byte* RecBuf) const;
  void SetObject(const TFieldDesc& Field, Byte* RecBuf, std::unique_ptr<TBlob> Blob);
  // Positions and counts in the caller's representation (TrueUnicode: UTF-16).
  Int64 ReadBlob(const TFieldDesc& Field, const Byte* RecBuf, Int64 Position, Int64 Count, void* Dest,
                 bool FromRollback, bool TrueUnicode);
  void WriteBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Position, Int64 Count, const void* Source,
                 bool TrueUnicode);
  Int64 TruncateBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Size, bool TrueUnicode);
  Int64 GetBlobSize(const TFieldDesc& Field, const Byte* RecBuf, bool FromRollback, bool TrueUnicode);
  // The blob handle in a blob field's slot (0: none), without making the blob's object.
  std::uint32_t BlobHandle(const TFieldDesc& Field, const Byte* RecBuf) const;
  // Writes of a record being inserted, whose blobs nobody else holds and whose old content nobody asks
  // back: a packed blob takes small whole content (Position 0 of an empty blob, no conversion) or an
  // emptying in place, without becoming an object. False: nothing done, take the general path.
  bool WriteNewPackedBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Position, Int64 Count, const void* Source,
                          bool TrueUnicode);
  bool TruncateNewPackedBlob(const TFieldDesc& Field, Byte* RecBuf, Int64 Size);

  TStringHeap& StringHeap() { return FStringHeap; }
  const TStringHeap& StringHeap() const { return FStringHeap; }
  TSharedObjectTable& Objects() { return FObjects; }
  const TSharedObjectTable& Objects() const { return FObjects; }

 protected:
  virtual void InternalInitFields() {}
  virtual void InitData() {}
  virtual void FreeData() {}
  virtual void InternalOpen() {}
  virtual void InternalClose() {}

  TFieldDescs FFields;
  TStringHeap FStringHeap;
  TSharedObjectTable FObjects;
  int FDataSize = 0;
  int FRecordSize = 0;
  int FCalcDataSize = 0;
  int FCalcRecordSize = 0;
  bool FHasBlobFields = false;
  bool FHasComplexFields = false;
  bool FActive = false;
};

// Compare options of value comparisons (bit values).
enum : unsigned {
  coCaseInsensitive = 1,
  coPartialKey = 2,
  coPartialCompare = 4,
  coOrdinalCompare = 8,
  coInvertNullOrder = 16,
};

enum TSortType : Byte { stCaseSensitive = 0, stCaseInsensitive = 1, stBinary = 2 };

// One column of the sort order (IndexFieldNames).
struct TSortColumn {
  TFieldDesc* FieldDesc = nullptr;
  bool DescendingOrder = false;
  TSortType SortType = stCaseSensitive;
};
unsigned GetSortOptions(const TSortColumn& Column);

class TFilterExpression;  // VtFilter.h
class TComputedFieldSource;  // VtFilter.h
struct TCacheState;       // VtCache.cpp
struct TCacheEntry;       // VtCache.cpp

enum TUpdateResult : Byte { urFail = 0, urAbort, urSkip, urRetry, urApplied, urNone, urSuspended };
enum TUpdateRecKind : unsigned { ukUpdate = 1, ukInsert = 2, ukDelete = 4 };
using TUpdateRecKinds = unsigned;
// (kind, var action, the change is the last one queued)
using TApplyRecordEvent = std::function<void(TUpdateRecKind Kind, TUpdateResult& Action, bool LastItem)>;

// The in-memory record set.
class TMemData : public TData {
 public:
  TMemData();
  ~TMemData() override;

  void InitFields() override;
  void ClearFields() override;

  // ---- cursor ----
  bool Bof() const { return !FCurrent && FBOF; }
  bool Eof() const { return !FCurrent && FEOF; }
  void SetToBegin();
  void SetToEnd();
  // Copies the current record; at Bof/Eof nothing.
  void GetRecord(Byte* RecBuf);
  void GetNextRecord(Byte* RecBuf);
  void GetPriorRecord(Byte* RecBuf);
  int RecordCount() const { return FRecordCount; }
  // The current item's number, 0 without one.
  int RecordNo();
  // Nothing for a number no item has.
  void SetRecordNo(int Value);
  int RefreshIteration() const { return FRefreshIteration; }
  // Frees every record; descriptors and layout stay, the record set stays open.
  void EmptyData() { FreeData(); }
  // Room for Count more records in the tables that grow by record (a load knows its count).
  void Reserve(std::int32_t Count);
  // Takes the room of the per-record tables of Emptied, a record set holding no record, while this
  // one holds none either.
  void TakeSpareRoom(TMemData& Emptied);
  // Building a record in place (a load): NewRecord gives the record of a new item outside the list,
  // all null with no complex values; then exactly one of AppendNewRecord (linked at the end, as
  // AppendRecord, its blobs already committed) or DropNewRecord (its complex values and item freed).
  Byte* NewRecord();
  void AppendNewRecord();
  void DropNewRecord();

  // ---- changes ----
  // Before the current item (at Eof: at the end; at Bof: first); the new item becomes current.
  void InsertRecord(const Byte* RecBuf);
  void AppendRecord(const Byte* RecBuf);
  void PutRecord(const Byte* RecBuf);
  void UpdateRecord(const Byte* RecBuf);
  void DeleteRecord();
  // Edit protocol around the dataset's edit buffer.
  void EditRecord(Byte* RecBuf);
  void PostRecord(Byte* RecBuf);
  void CancelRecord(Byte* RecBuf);

  // ---- bookmarks ----
  void GetBookmark(TRecBookmark& Bookmark);
  void SetToBookmark(const TRecBookmark& Bookmark);
  bool BookmarkValid(const TRecBookmark& Bookmark);
  int CompareBookmarks(const TRecBookmark* B1, const TRecBookmark* B2);

  // ---- direct walks (the stream writer) ----
  const TItemHeader* FirstItem() const { return FFirst; }
  const TItemHeader* LastItem() const { return FLast; }
  TItemHeader* CurrentItem() const { return FCurrent; }
  TBlockManager& BlockMan() { return FBlockMan; }
  // The number of an item (renumbering forward from the watermark up to it when needed).
  int OrderOf(TItemHeader* Item);
  // The live item a bookmark of this generation names, or nullptr.
  TItemHeader* ItemOf(const TRecBookmark& Bookmark) const;
  // Makes Item (of this record set) current.
  void SetCurrentItem(TItemHeader* Item) {
    FCurrent = Item;
    FBOF = FEOF = false;
  }

  // ---- sort order (VtSort.cpp) ----
  // A list of field names separated by ";" or ",", each with up to two modifiers: ASC / DESC and
  // CIS / CS / BIN. Raises "Invalid IndexFieldNames format!" or "Field %s not found" (no columns
  // are left then; the text is kept). While open, a change sorts; an empty text restores the order the
  // rows had before the first sort.
  const String& IndexFieldNames() const { return FIndexFieldNames; }
  void SetIndexFieldNames(const String& Value);
  int IndexFieldCount() const { return static_cast<int>(FIndexFields.size()); }
  const std::vector<TSortColumn>& IndexFields() const { return FIndexFields; }
  void ParseIndexFieldNames();
  void SortItems();
  // -1, 0 or 1 by the sort columns.
  int CompareItemRecords(const Byte* RecBuf1, const Byte* RecBuf2) const;
  // Moves the current item towards the start (< 0) or the end (> 0) until it is in order.
  void MoveItemToSortedPlace(int Direction);
  // Every item in list order, made again only after the list changed (binary search over the order).
  const std::vector<TItemHeader*>& ItemsInOrder();

  // ---- filter expression (VtFilter.cpp) ----
  const String& FilterText() const { return FFilterText; }
  // Parses the text (a blank text: no filter). Raises "Illegal filter expression" or "Field %s not
  // found"; then no expression is in force but the text stays.
  void SetFilterText(const String& Value);
  bool FilterCaseInsensitive = false;
  bool FilterNoPartialCompare = false;
  // Where the filter looks up names the record set does not hold (the owner's computed fields); set
  // before the text, owned by the owner.
  TComputedFieldSource* ComputedFields = nullptr;
  bool HasFilterExpression() const { return FFilter != nullptr; }
  const TFilterExpression* FilterExpression() const { return FFilter.get(); }
  // Whether Item's record satisfies the filter expression (true without one); cached in the item.
  bool ItemPassesFilter(TItemHeader* Item);
  // Forgets every cached filter outcome.
  void FilterUpdated();
  // The range filter of the owner (true: the record lies in the key range); none: no range.
  std::function<bool(const Byte* RecBuf)> FilterRangeFunc;

  // ---- cached updates (VtCache.cpp) ----
  // While on, inserts, updates and deletes are kept as pending changes: updated rows keep their
  // record from before the first change, deleted rows stay in the list with status isDeleted (the
  // dataset hides them), and a queue lists the changed rows in the order of their first change.
  // Turning it off cancels what is pending.
  bool CachedUpdates() const { return FCachedUpdates; }
  void SetCachedUpdates(bool Value);
  bool LocalUpdate = false;  // changes are made directly even with cached updates on
  // One OnApplyRecord call per queued change of the kinds asked for; the answer is kept per row.
  // NewCacheRecBuf and OldCacheRecBuf hold the record and the record before the change for the call.
  void ApplyUpdates(TUpdateRecKinds Kinds = ukUpdate | ukInsert | ukDelete);
  // Applies what is pending, then forgets the saved states of every applied change.
  void CommitUpdates();
  // Every pending change undone.
  void CancelUpdates();
  // The current row's pending change undone.
  void RevertRecord();
  // After a failed apply: the saved states an apply overwrote come back.
  void RestoreUpdates();
  // The current row as it was before its first change (itself when unchanged).
  void GetOldRecord(Byte* RecBuf);
  bool UpdatesPending() const;
  int DeletedCount() const;
  TApplyRecordEvent OnApplyRecord;
  const Byte* NewCacheRecBuf() const;
  const Byte* OldCacheRecBuf() const;
  // Buffers of at least RecordSize bytes the owner keeps (its own record buffers) for the next applies
  // to fill in place of the record set's own; nullptr for both goes back to those. The callback may
  // change the new-record buffer: what it holds afterwards is written back into the row.
  void SetCacheRecBuf(Byte* NewBuf, Byte* OldBuf);

 protected:
  void InitData() override;
  void FreeData() override;

 private:
  TItemHeader* NewItem();
  void DeleteItem(TItemHeader* Item);
  void AddRecord(const Byte* RecBuf);
  // Into a sorted list: its place by binary search over ItemsInOrder, which is kept up to date.
  void AddRecordSorted(const Byte* RecBuf);
  // Marks Item and everything after it up to the old watermark stale, and makes Item the watermark.
  void InvalidateFrom(TItemHeader* Item);
  TItemHeader* ItemOfHandle(std::uint32_t Handle, std::uint64_t Serial) const;

  TBlockManager FBlockMan;
  TRowTable<TItemHeader*> FItemTable;  // by handle - 1; nullptr for a free handle
  TRowTable<std::uint32_t> FFreeHandles;
  TItemHeader* FFirst = nullptr;
  TItemHeader* FLast = nullptr;
  TItemHeader* FCurrent = nullptr;
  TItemHeader* FStale = nullptr;
  TItemHeader* FPending = nullptr;
  std::uint64_t FLastSerial = 0;
  std::vector<Byte> FEditScratch;
  // Sort order: the columns, the text, and whether SavedOrder holds the order before the first sort.
  std::vector<TSortColumn> FIndexFields;
  String FIndexFieldNames;
  bool FOrderSaved = false;
  // Relinks the items in the order of Items and renumbers them all.
  void RelinkItems(const std::vector<TItemHeader*>& Items);
  String FFilterText;
  std::shared_ptr<TFilterExpression> FFilter;
  // ItemsInOrder's cache, valid while FListVersion equals the version it was made at.
  std::vector<TItemHeader*> FOrderCache;
  std::uint64_t FListVersion = 1;
  std::uint64_t FOrderCacheVersion = 0;
  bool FCachedUpdates = false;
  std::shared_ptr<TCacheState> FCache;
  bool CacheActive() const { return FCachedUpdates && !LocalUpdate; }
  void CacheInserted(TItemHeader* Item);
  void CacheBeforeUpdate(TItemHeader* Item);
  void CacheDelete();
  // Drops the queue and its saved records without touching the rows (the record set is emptied).
  void ClearCache();
  void RestoreFromRollback(TItemHeader* Item, std::vector<Byte>& Rollback);
  // Undoes one queued change (taken out of the queue already) and frees its saved records.
  void UndoCacheEntry(TCacheEntry& Entry);
  // A saved record (rollback or restore copy) of Source: see VtCache.cpp.
  void CopyRecordShared(const Byte* Source, std::vector<Byte>& Dest);
  // Before the changed blobs of Item are committed: saved records sharing one get its content from
  // before the change as a blob of their own.
  void DetachSavedBlobs(TItemHeader* Item);
  // The end of an edit of the current row through RecBuf (EditRecord first): the row takes RecBuf,
  // its blobs are committed, the values RecBuf replaced are released and the row moves to its sorted
  // place; Cache: the change is recorded as a pending one.
  void FinishEdit(Byte* RecBuf, bool Cache);
  void ReleaseRecordCopy(std::vector<Byte>& Copy);
  int FRecordCount = 0;
  int FRefreshIteration = 0;
  bool FBOF = true;
  bool FEOF = true;
};

}  // namespace vt
